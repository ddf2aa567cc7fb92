#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on the generated seeds and fails
# on any finding.
#
#   fuzz/run_fuzzers.sh <build-dir> <seconds-per-target> [targets at once]
#
# <build-dir> holds a build configured with -DVARLIX_FUZZ=ON. The seeds are
# written afresh to <build-dir>/fuzz-seeds; what each target adds to them is
# kept in <build-dir>/fuzz-corpus/<target> and read again by the next run;
# logs go to <build-dir>/fuzz-logs and crashing inputs to
# <build-dir>/fuzz-artifacts, where they stop later runs until removed.
# Targets run two at a time unless told otherwise; FUZZ_TARGETS names fewer
# of them, FUZZ_FLAGS adds libFuzzer options (for example -use_value_profile=1).
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 <build-dir> <seconds-per-target> [targets at once]" >&2
    exit 2
fi
build=$1
seconds=$2
at_once=${3:-2}
# shellcheck disable=SC2206
targets=(${FUZZ_TARGETS:-fuzz_archive fuzz_installer fuzz_explode fuzz_explode_diff fuzz_roundtrip})

# The longest input each target mutates up to: an archive or stream of a few
# windows, or data that its repeats turn into up to 128 KiB.
declare -A max_len=([fuzz_archive]=8192 [fuzz_installer]=16384 [fuzz_explode]=8192 [fuzz_explode_diff]=8192
                    [fuzz_roundtrip]=8192)

# A finding stays until it is dealt with (turned into a regression test and
# removed), so that a later run cannot bury it.
if compgen -G "$build/fuzz-artifacts/*" >/dev/null; then
    echo "earlier findings are waiting in $build/fuzz-artifacts; deal with them first:" >&2
    ls -l "$build/fuzz-artifacts" >&2
    exit 1
fi

seeds=$build/fuzz-seeds
rm -rf "$seeds"
"$build/fuzz/make_fuzz_seeds" "$seeds"
mkdir -p "$build/fuzz-logs" "$build/fuzz-artifacts"

# fuzz_archive and fuzz_installer write their files under TMPDIR, and
# libFuzzer's timed exit skips their clean-up: they go to a directory of this
# run, in memory where possible (creating and removing files on a disk makes
# those targets several times slower), removed at the end.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    TMPDIR=$(mktemp -d /dev/shm/varlix-fuzz-XXXXXX)
else
    TMPDIR=$(mktemp -d "$build/fuzz-tmp-XXXXXX")
fi
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_target() {
    local target=$1
    local corpus=$build/fuzz-corpus/$target
    mkdir -p "$corpus"
    local status=0
    # shellcheck disable=SC2086
    "$build/fuzz/$target" "$corpus" "$seeds/$target" \
        -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$target-" ${FUZZ_FLAGS:-} \
        >"$build/fuzz-logs/$target.log" 2>&1 || status=$?
    # This runs in its own subshell: the second line of times is the CPU time of the
    # fuzzer and of any jobs it started.
    times >"$build/fuzz-logs/$target.cpu"
    return $status
}

# What a run ended with: libFuzzer's last status line and its totals.
summarize() {
    local target=$1 status=$2 log=$build/fuzz-logs/$1.log
    echo "-- $target: exit $status, CPU time user/system $(tail -n 1 "$build/fuzz-logs/$target.cpu")"
    grep -E '^#[0-9]+[[:space:]]+DONE|^Done [0-9]+ runs|^stat::(number_of_executed_units|peak_rss_mb|new_units_added)' \
        "$log" | sed 's/^/   /' || true
}

failed=0
for ((i = 0; i < ${#targets[@]}; i += at_once)); do
    batch=("${targets[@]:i:at_once}")
    pids=()
    for target in "${batch[@]}"; do
        run_target "$target" &
        pids+=($!)
    done
    for j in "${!batch[@]}"; do
        status=0
        wait "${pids[$j]}" || status=$?
        summarize "${batch[$j]}" "$status"
        if [ "$status" -ne 0 ]; then
            failed=1
            echo "   finding; the end of its log ($build/fuzz-logs/${batch[$j]}.log):"
            tail -n 40 "$build/fuzz-logs/${batch[$j]}.log" | sed 's/^/   | /'
        fi
    done
done

if compgen -G "$build/fuzz-artifacts/*" >/dev/null; then
    echo "inputs kept by libFuzzer in $build/fuzz-artifacts:"
    ls -l "$build/fuzz-artifacts"
    failed=1
fi
exit $failed
