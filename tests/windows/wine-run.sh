#!/bin/bash
# Runs a command against a fresh 32-bit Wine prefix on a private X server.
#
#   wine-run.sh PREFIX_DIR -- COMMAND [ARGS...]
#
# Deletes and recreates PREFIX_DIR (its last path element must contain
# "wineprefix"), starts Xvfb on a free display, maps the Japanese UI fonts
# to Noto Sans CJK JP, runs COMMAND with WINEPREFIX, WINEARCH and DISPLAY
# exported, and exits with COMMAND's status. Every wait is bounded; the
# command itself gets CELLVARO_WINE_TIMEOUT seconds (default 300).
#
# On a machine whose kernel runs no 32-bit x86 programs (ia32 emulation
# switched off) 32-bit Wine cannot start at all: the script says so and
# exits with status 77, which CTest reports as a skipped test.
set -u
kSkipped=77

if [ $# -lt 3 ] || [ "$2" != "--" ]; then
    echo "usage: $0 PREFIX_DIR -- COMMAND [ARGS...]" >&2
    exit 2
fi
prefix=$1
shift 2
case "$prefix" in
    /*wineprefix*) ;;
    *) echo "$0: PREFIX_DIR must be an absolute path whose name contains 'wineprefix'" >&2; exit 2 ;;
esac
case "$(basename "$prefix")" in
    *wineprefix*) ;;
    *) echo "$0: PREFIX_DIR must be an absolute path whose name contains 'wineprefix'" >&2; exit 2 ;;
esac

# 32-bit Wine runs on the i386 loader; if the kernel refuses to execute
# it, no Wine test can run on this machine.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo "$0: SKIPPED: this machine cannot execute 32-bit x86 programs" \
         "(/lib/ld-linux.so.2 does not start; the kernel's ia32 emulation is off)," \
         "so 32-bit Wine cannot run here" >&2
    exit $kSkipped
fi

export WINEARCH=win32
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

xvfb_pid=
workdir=$(mktemp -d)
cleanup() {
    timeout 20 wineserver -k >/dev/null 2>&1
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A private X server; -displayfd lets it pick a free display number itself.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$workdir/display" >/dev/null 2>"$workdir/xvfb.log" &
xvfb_pid=$!
display=
for _ in $(seq 100); do
    display=$(head -n1 "$workdir/display" 2>/dev/null)
    [ -n "$display" ] && break
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then break; fi
    sleep 0.1
done
if [ -z "$display" ]; then
    echo "$0: Xvfb did not start" >&2
    cat "$workdir/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$display"

# A fresh prefix for every run: nothing carries over from an earlier one.
timeout 20 wineserver -k >/dev/null 2>&1
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
if ! timeout 180 wineboot -i >"$workdir/wineboot.log" 2>&1; then
    echo "$0: wineboot -i failed" >&2
    cat "$workdir/wineboot.log" >&2
    exit 1
fi

# Marlett draws the caption buttons; Debian's fonts-wine has it, but this
# Wine does not look there on its own.
if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
fi

# Wine's dialog font Tahoma has no Japanese glyphs; Wine links it to the
# Japanese UI fonts, which are replaced here by Noto Sans CJK JP.
# With no window manager on the server, Wine draws the captions itself.
cat >"$workdir/settings.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"MS UI Gothic"="Noto Sans CJK JP"
"MS Gothic"="Noto Sans CJK JP"
"MS PGothic"="Noto Sans CJK JP"

EOF
if ! timeout 60 wine regedit /S "$(winepath -w "$workdir/settings.reg" 2>/dev/null)" >/dev/null 2>&1; then
    echo "$0: could not write the registry settings" >&2
    exit 1
fi
if ! timeout 60 wineserver -w; then
    echo "$0: wineserver did not settle" >&2
    exit 1
fi

timeout --kill-after=10 "${CELLVARO_WINE_TIMEOUT:-300}" "$@"
status=$?
if [ "$status" -eq 124 ]; then
    echo "$0: command timed out" >&2
fi
exit "$status"
