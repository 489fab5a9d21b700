#!/bin/bash
# Times one whole run of the hosted utility with hyperfine: the secure run
# (session driver 1.0.9, handshake, two batteries examined) beside a run of
# the same notebook whose driver takes capsules in clear. The difference is
# the cost of the session. The secure run's mean must stay under 80 ms.
#
#   bench/e2e.sh                      builds cellvaro in build/hosted
#   CELLVARO_BUILD_DIR=build/mine bench/e2e.sh
#
# Each run shows its box with hold_ms 0 (hyperfine discards the output).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${CELLVARO_BUILD_DIR:-$root/build/hosted}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
target_ms=80

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target cellvaro >/dev/null
exe="$build/cellvaro"

work="$(mktemp -d /tmp/cellvaro-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
export CELLVARO_SIM_DIR="$work/sim"
unset CELLVARO_TRACE CELLVARO_COMMAND_LINE

secure="$root/sim/machines/two-batteries.json"
clear="$root/sim/machines/two-batteries-clear.json"
# Both notebooks must end as expected before they are timed.
for m in "$secure" "$clear"; do
    status=0
    CELLVARO_MACHINE="$m" "$exe" /Silent || status=$?
    if [ "$status" -ne 0 ]; then
        echo "bench/e2e.sh: $(basename "$m") ended with $status, not 0" >&2
        exit 1
    fi
done

hyperfine --warmup 5 --min-runs 40 --shell=none --export-json "$work/result.json" \
    -n "secure run (session, two batteries)" "env CELLVARO_MACHINE=$secure $exe" \
    -n "clear-mode run (same notebook)" "env CELLVARO_MACHINE=$clear $exe"

python3 - "$work/result.json" "$target_ms" <<'EOF'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
target = float(sys.argv[2])
secure, clear = results[0], results[1]
ms = lambda s: s * 1000.0
for name, r in (("secure run", secure), ("clear run ", clear)):
    print("%s: mean %.1f ms, sd %.1f ms, min %.1f ms, max %.1f ms, user CPU %.1f ms"
          % (name, ms(r["mean"]), ms(r["stddev"]), ms(r["min"]), ms(r["max"]), ms(r["user"])))
print("session cost: %.1f ms" % (ms(secure["mean"] - clear["mean"])))
if ms(secure["mean"]) >= target:
    print("secure run is over the %.0f ms target" % target)
    sys.exit(1)
print("secure run is under the %.0f ms target" % target)
EOF
