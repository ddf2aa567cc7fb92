#!/usr/bin/env bash
# Runs the tests under valgrind memcheck; any memory error, and any leak of
# any kind, fails the run.
#
#   tests/run_memcheck.sh <build-dir> [--quick]
#
# 1. The tests that drive the executable run natively, with valgrind put in
#    front of every run of varlix and varlix-unpack through VARLIX_TEST_WRAPPER (valgrind's
#    error exit code changes the exit code those tests expect, and its report
#    the lines they compare). Tests that cannot run wrapped, such as those
#    under ulimit -v, skip themselves.
# 2. Every test executable runs under valgrind itself, for the library code
#    it calls (the processes it starts are not followed).
#
# --quick leaves out of step 2 the two bulk decoder tests (thousands of
# streams through the decoders, which allocate nothing; the sanitizer build
# and the fuzz targets cover them), for a run of about a minute.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 <build-dir> [--quick]" >&2
    exit 2
fi
build=$1
quick=${2:-}
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
export VARLIX_SOURCE_DIR=${VARLIX_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}

memcheck=(valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all -q)
drives_executable=(test_cli test_extract_command test_archive test_environment_faults test_unpack
    test_unpack_hostile test_unpack_media)
bulk=(test_explode_diff test_roundtrip)

failed=()
run() {
    local label=$1
    shift
    local started=$SECONDS status=0
    "$@" >"$build/memcheck-logs/$label.log" 2>&1 || status=$?
    echo "-- $label: exit $status, $((SECONDS - started)) s"
    if [ "$status" -ne 0 ]; then
        failed+=("$label")
        tail -n 40 "$build/memcheck-logs/$label.log" | sed 's/^/   | /'
    fi
}

mkdir -p "$build/memcheck-logs"
for test in "${drives_executable[@]}"; do
    run "$test-wrapped" env VARLIX_TEST_WRAPPER="${memcheck[*]}" "$build/tests/$test"
done
for path in "$build"/tests/test_*; do
    [ -f "$path" ] && [ -x "$path" ] || continue
    test=$(basename "$path")
    if [ "$quick" = --quick ] && [[ " ${bulk[*]} " == *" $test "* ]]; then
        echo "-- $test: left out (--quick)"
        continue
    fi
    run "$test" "${memcheck[@]}" "$path"
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "memcheck failed: ${failed[*]} (logs in $build/memcheck-logs)"
    exit 1
fi
echo "memcheck: no error and no leak"
