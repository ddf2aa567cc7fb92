#!/bin/sh
# run_under_wine.sh - runs varlix.exe (or varlix-unpack.exe) under wine for the tests, as in
#   VARLIX_EXE=build-windows/varlix.exe VARLIX_TEST_WRAPPER=tools/run_under_wine.sh ctest ...
# (make windows-test does this).
#
# Windows writes text streams with CR LF line ends, and the tests expect LF.
# So the CR before each line end is taken out of the program's standard
# output and standard error, and out of the lines it appended to its log
# (the file after the first "--log" that has an argument after it). Nothing
# else is changed: extracted members are compared as the program wrote them.
log=
previous=
for arg in "$@"; do
    if [ "$previous" = "--log" ] && [ -z "$log" ]; then
        log=$arg
    fi
    previous=$arg
done
log_size=0
if [ -n "$log" ] && [ -f "$log" ]; then
    log_size=$(wc -c <"$log")
fi

out=$(mktemp) err=$(mktemp)
WINEDEBUG=${WINEDEBUG:--all} wine "$@" >"$out" 2>"$err"
status=$?
sed 's/\r$//' "$out"
sed 's/\r$//' "$err" >&2
rm -f "$out" "$err"

if [ -n "$log" ] && [ -f "$log" ]; then
    kept=$(mktemp)
    head -c "$log_size" "$log" >"$kept"
    tail -c +"$((log_size + 1))" "$log" | sed 's/\r$//' >>"$kept"
    cat "$kept" >"$log"
    rm -f "$kept"
fi
exit $status
