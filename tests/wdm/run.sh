#!/bin/bash
# Runs inside the fresh prefix that tests/windows/wine-run.sh made:
# installs the test driver's devices, lets the Wine session end so that the
# registry is written and the next session starts the driver, then runs
# the test program.
#
#   run.sh INSTALLER INF TEST_PROGRAM [ARGS...]
#
# Every wait is bounded; the test program itself waits (bounded) for the
# driver's interfaces.
set -u
if [ $# -lt 3 ]; then
    echo "usage: $0 INSTALLER INF TEST_PROGRAM [ARGS...]" >&2
    exit 2
fi
installer=$1
inf=$2
shift 2

if ! timeout 120 wine "$installer" "$inf"; then
    echo "$0: installing the test driver failed" >&2
    exit 1
fi
if ! timeout 60 wineserver -w; then
    echo "$0: wineserver did not settle after the installation" >&2
    exit 1
fi
exec wine "$@"
