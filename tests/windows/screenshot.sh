#!/bin/bash
# Takes a screenshot of cellvaro.exe's outcome-4 message box (no misc driver
# under Wine) with the Japanese text rendered in Noto Sans CJK JP.
#
#   tests/windows/screenshot.sh [BUILD_DIR [OUTPUT_PNG]]
#
# Defaults: build/windows and docs/screenshot-outcome4.png, relative to the
# repository. Build first: cmake --preset windows && cmake --build --preset windows
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ "${1:-}" = "--inner" ]; then
    # Runs inside wine-run.sh: the prefix is fresh and DISPLAY is set.
    exe=$2
    out=$3
    wine "$exe" >/dev/null 2>&1 &
    window=
    for _ in $(seq 150); do
        window=$(xwininfo -root -tree 2>/dev/null | awk '/ "Cellvaro": /{print $1; exit}')
        [ -n "$window" ] && break
        sleep 0.2
    done
    if [ -z "$window" ]; then
        echo "$0: no window captioned Cellvaro appeared" >&2
        exit 1
    fi
    # Take the picture once two shots in a row agree: the box has painted.
    # The shots are compared as PPM, which carries no time stamps.
    shots=$(mktemp -d)
    for i in $(seq 20); do
        sleep 0.3
        import -window "$window" "ppm:$shots/$i.ppm" 2>/dev/null || continue
        if [ -f "$shots/$((i - 1)).ppm" ] && cmp -s "$shots/$((i - 1)).ppm" "$shots/$i.ppm"; then
            import -window "$window" -strip -define png:exclude-chunks=date,time "$out"
            status=$?
            rm -rf "$shots"
            exit "$status"
        fi
    done
    rm -rf "$shots"
    echo "$0: the box did not settle" >&2
    exit 1
fi

build=$(cd "${1:-$root/build/windows}" && pwd) || exit 1
out=${2:-$root/docs/screenshot-outcome4.png}
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
if [ ! -f "$build/cellvaro.exe" ]; then
    echo "$0: $build/cellvaro.exe not found; build the windows preset first" >&2
    exit 1
fi

CELLVARO_WINE_TIMEOUT=120 "$here/wine-run.sh" "$build/tests/windows/screenshot-wineprefix" -- \
    "$0" --inner "$(cd "$build" && pwd)/cellvaro.exe" "$out" || exit 1
echo "$out"
