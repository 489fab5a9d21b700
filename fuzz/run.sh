#!/bin/bash
# Builds the fuzz targets (Clang, AddressSanitizer and UBSan, in
# build/fuzz) and runs each for the given number of seconds (default 10).
# Each target starts from its seeds in fuzz/corpus/<target> and keeps what
# it finds in build/fuzz/corpus/<target>; a crash leaves its input in
# build/fuzz/artifacts/ and makes the script fail.
#
#   fuzz/run.sh [seconds] [target...]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-10}"
shift || true
build="$root/build/fuzz"
targets=("$@")

(cd "$root" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz) || exit 1
# Every target the build makes, unless the command line names some.
if [ ${#targets[@]} -eq 0 ]; then
    mapfile -t targets <"$build/fuzz/targets.txt"
fi

sim="$(mktemp -d)"
trap 'rm -rf "$sim"' EXIT
export CELLVARO_SIM_DIR="$sim"
unset CELLVARO_MACHINE CELLVARO_TRACE

failed=0
mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    log="$build/fuzz/$t.log"
    "$build/fuzz/${t}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ $rc -eq 0 ]; then
        printf '%-16s ok      %10s runs in %ss\n' "$t" "${runs:-?}" "$seconds"
    else
        failed=1
        printf '%-16s FAILED  (exit %d), see %s\n' "$t" "$rc" "$log"
        grep -E 'ERROR|check failed|Test unit written' "$log" | head -5
    fi
done
exit $failed
