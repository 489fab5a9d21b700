#!/bin/bash
# Valgrind memcheck over whole runs of the normal build:
#   valgrind_runs.sh CELLVARO_EXE
# the embedded default notebook (a recalled pack), a session driver with
# two clear packs, and the same with the Blowfish context's allocation
# failing. Any memcheck error or definite leak fails the run (status 99);
# each run must also end with its outcome.
set -u
exe="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export CELLVARO_SIM_DIR="$work/sim"
unset CELLVARO_TRACE CELLVARO_COMMAND_LINE

two_packs='{"misc_driver": {"driver_version": "1.0.9.0", "model": "HT-K60A", "slot_word": 5,
  "batteries": [{"part_number": "HT-QBLP21", "date": "2013-06-01"},
                {"part_number": "HT-QBLP23", "date": "2015-03-01"}]},
 "battery_class": [{"design_capacity": 46080}, {"design_capacity": 92160}]'
printf '%s}\n' "$two_packs" >"$work/two_packs.json"
printf '%s, "heap": {"fail_allocation": 5}}\n' "$two_packs" >"$work/no_context.json"

failed=0
run() {  # name, expected status, machine file or "" for the default
    local name="$1" expected="$2" machine="$3"
    # No machine file: the variable unset (set but empty is refused).
    local machine_setting=(-u CELLVARO_MACHINE)
    [ -n "$machine" ] && machine_setting=("CELLVARO_MACHINE=$machine")
    env "${machine_setting[@]}" valgrind -q --error-exitcode=99 --leak-check=full \
        "$exe" /Silent 2>"$work/$name.log"
    local rc=$?
    if [ "$rc" -ne "$expected" ]; then
        echo "$name: exit status $rc, expected $expected"
        cat "$work/$name.log"
        failed=1
    else
        echo "$name: $rc, no memcheck errors"
    fi
}
run default 255 ""
run two_packs 0 "$work/two_packs.json"
run no_context 4 "$work/no_context.json"
exit $failed
