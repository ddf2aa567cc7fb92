#!/bin/sh
# run_under_wine.sh - runs a Windows program under wine for the tests, in a
# wine prefix of the build's own, never the user's ~/.wine:
#   tools/run_under_wine.sh --prefix DIR PROGRAM.exe [ARGUMENT...]
#   tools/run_under_wine.sh --prefix DIR --start    set DIR up and keep a wine server for it
#   tools/run_under_wine.sh --prefix DIR --stop     stop that server and what runs in DIR
# Without --prefix, WINEPREFIX names the prefix; one of the two is needed.
# make windows-test uses build-windows/wine-prefix and sets this up itself:
#   VARLIX_EXE=build-windows/varlix.exe \
#   VARLIX_TEST_WRAPPER="tools/run_under_wine.sh --prefix build-windows/wine-prefix" ctest ...
#
# A prefix that wine has not set up yet is set up first (wineboot -i, then
# wineserver -w, which returns once the prefix is written), once, under a
# lock, so that wine's first-run lines ("wine: created the configuration
# directory ...") never reach a program's output. Whatever wine itself still
# writes to standard error, a "wine: " line or a debug channel's
# "0024:err:..." line, goes to DIR/wine-messages.log; every other line the
# program writes is passed on.
#
# SIGINT and SIGTERM sent to this script are passed on to the program.
#
# Windows writes text streams with CR LF line ends, and the tests expect LF.
# So the CR before each line end is taken out of the program's standard
# output and standard error, and out of the lines it appended to its log
# (the file after the first "--log" that has an argument after it). Nothing
# else is changed: extracted members are compared as the program wrote them.
set -u

prefix=${WINEPREFIX:-}
if [ "${1:-}" = "--prefix" ] && [ $# -ge 2 ]; then
    prefix=$2
    shift 2
fi
if [ -z "$prefix" ]; then
    echo "run_under_wine.sh: no wine prefix: give --prefix DIR or set WINEPREFIX" >&2
    exit 125
fi
case $prefix in
/*) ;;
*) prefix=$(pwd)/$prefix ;;
esac
export WINEPREFIX="$prefix"
# Without a display nothing asks; with one, wine would offer to install its
# .NET and HTML runtimes into a new prefix.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export WINEDEBUG="${WINEDEBUG:--all}"
messages=$prefix/wine-messages.log
wine_lines='^wine: |^([0-9a-f]{4}:){1,2}(err|fixme|warn|trace):'

prefix_is_ready() {
    [ -f "$prefix/system.reg" ] && [ -f "$prefix/.update-timestamp" ]
}

# wineboot returns before the wine server has written the prefix out;
# wineserver -w waits for that.
prepare_prefix() {
    for tool in wine wineboot wineserver; do
        command -v "$tool" >/dev/null || { echo "run_under_wine.sh: $tool is not installed" \
            "(on Debian: apt-get install wine wine64)" >&2; return 1; }
    done
    mkdir -p "$prefix" || return 1
    (
        flock 9 || exit 1
        if ! prefix_is_ready; then
            echo "== wineboot -i in $prefix" >>"$messages"
            wineboot -i >>"$messages" 2>&1 && wineserver -w >>"$messages" 2>&1
            prefix_is_ready || { echo "run_under_wine.sh: wine could not set up $prefix" \
                "(see $messages)" >&2; exit 1; }
        fi
    ) 9>"$prefix/.prepare.lock"
}

case ${1:-} in
--start)
    prepare_prefix || exit 1
    # The server outlives its last program by a minute, so that a failed run
    # leaves nothing behind for long; each wine start is several times
    # quicker while it runs.
    wineserver -p60 >>"$messages" 2>&1
    echo "$(wine --version 2>/dev/null), prefix $prefix; wine's own messages go to $messages"
    exit 0
    ;;
--stop)
    wineserver -k >>"$messages" 2>&1
    wineserver -w >>"$messages" 2>&1
    exit 0
    ;;
"")
    echo "run_under_wine.sh: no program to run" >&2
    exit 125
    ;;
esac
prefix_is_ready || prepare_prefix || exit 125

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
# In the background, so that SIGINT and SIGTERM sent to this script are
# passed on to the program (wine makes SIGINT the console's Ctrl-C), with
# the signal dispositions and the standard input that the shell gives a
# background command put back.
exec 3<&0
env --default-signal=INT,TERM wine "$@" <&3 3<&- >"$out" 2>"$err" &
program=$!
exec 3<&-
trap 'kill -INT "$program" 2>/dev/null' INT
trap 'kill -TERM "$program" 2>/dev/null' TERM
while :; do
    wait "$program"
    status=$?
    kill -0 "$program" 2>/dev/null || break
done
# Text ends its lines with CR LF on Windows; what varlix-unpack -c writes is
# a member's bytes, passed on as they are.
binary_output=false
for arg in "$@"; do
    case $arg in -c | --stdout) binary_output=true ;; esac
done
if $binary_output; then cat "$out"; else sed 's/\r$//' "$out"; fi
grep -E "$wine_lines" "$err" >>"$messages"
sed -E -e "\\#$wine_lines#d" -e 's/\r$//' "$err" >&2
rm -f "$out" "$err"

if [ -n "$log" ] && [ -f "$log" ]; then
    kept=$(mktemp)
    head -c "$log_size" "$log" >"$kept"
    tail -c +"$((log_size + 1))" "$log" | sed 's/\r$//' >>"$kept"
    cat "$kept" >"$log"
    rm -f "$kept"
fi
exit "$status"
