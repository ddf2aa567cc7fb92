#!/usr/bin/env bash
# Measures the tool's resource bounds and prints the figures:
#
# 1. Peak resident memory (GNU time, %M) while extracting a member of about
#    64 MiB: it must be at most the member's compressed size plus 4 MiB, since
#    the member is read into memory whole but decoded straight to the output.
#    PASS or FAIL, and the exit status says which.
# 2. The time to open and list an archive of 4096 members with a 1 MiB
#    directory, the most the header allows, against a one-member archive:
#    the median of several runs of `varlix --list`, for people to read.
# 3. The time the whole-installer reader takes to open 3-volume sets of 1024
#    and 4096 members in 16 folders, in process: four times the members should
#    cost about four times as much, never sixteen.
#
#   bench/resource_bounds.sh <build-dir> [data-dir] [runs]
#
# <build-dir> holds a build configured with -DVARLIX_BENCH=ON. The archives
# are made by make_resource_archives in <data-dir> (default
# <build-dir>/resource-data) unless already there.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 <build-dir> [data-dir] [runs]" >&2
    exit 2
fi
build=$1
data=${2:-$build/resource-data}
runs=${3:-11}
varlix=$build/varlix
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed for peak memory" >&2; exit 2; }

mkdir -p "$data"
if [ ! -e "$data/large.z" ] || [ ! -e "$data/wide.z" ] || [ ! -e "$data/set-4096/_SETUP.3" ]; then
    echo "making the archives in $data"
    "$build/bench/make_resource_archives" "$data"
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The listing's columns: name, "offset", offset, "compressed", size, "expands to", size.
packed=$("$varlix" --list "$data/large.z" | awk 'NR == 2 { print $5 }')
unpacked=$("$varlix" --list "$data/large.z" | awk 'NR == 2 { print $8 }')

peak_kib=0
for _ in 1 2 3; do
    /usr/bin/time -o "$scratch/time" -f %M "$varlix" "$data/large.z" large.bin "$scratch/out" \
        2>/dev/null
    [ "$(stat -c %s "$scratch/out")" = "$unpacked" ] || { echo "extraction failed" >&2; exit 1; }
    kib=$(tail -n 1 "$scratch/time")
    [ "$kib" -gt "$peak_kib" ] && peak_kib=$kib
    rm -f "$scratch/out"
done
bound_kib=$(( (packed + 1023) / 1024 + 4096 ))

echo "Extraction of a member of $unpacked bytes, $packed compressed:"
printf '  peak resident memory        %8d KiB (%.1f MiB), the highest of 3 runs\n' \
    "$peak_kib" "$(echo "$peak_kib / 1024" | bc -l)"
printf '  bound, compressed + 4 MiB   %8d KiB (%.1f MiB)\n' \
    "$bound_kib" "$(echo "$bound_kib / 1024" | bc -l)"
if [ "$peak_kib" -le "$bound_kib" ]; then
    verdict=PASS
else
    verdict=FAIL
fi
echo "  $verdict: $((bound_kib - peak_kib)) KiB to spare"

# Wall time of one run of the command in $@, in microseconds.
time_once() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $(( (end - start) / 1000 ))
}

median_of_runs() {
    local times=()
    for ((i = 0; i < runs; ++i)); do
        times+=("$(time_once "$@")")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'
}

"$build/tools/make_demo_archive" "$scratch/one.z" 2>/dev/null ||
    echo "(no make_demo_archive; the one-member figure is left out)"
echo
echo "Opening and listing, median of $runs runs of varlix --list:"
wide_us=$(median_of_runs "$varlix" --list "$data/wide.z")
members=$("$varlix" --list "$data/wide.z" | awk 'NR == 1 { print $1 }')
printf '  %-44s %8.2f ms\n' "$members members, 1 MiB directory, $(stat -c %s "$data/wide.z") bytes" \
    "$(echo "$wide_us / 1000" | bc -l)"
if [ -e "$scratch/one.z" ]; then
    one_us=$(median_of_runs "$varlix" --list "$scratch/one.z")
    printf '  %-44s %8.2f ms\n' "the 4-member example archive (start-up, exit)" \
        "$(echo "$one_us / 1000" | bc -l)"
fi

echo
echo "Opening a 3-volume set in 16 folders with arc_open_installer, median of $runs runs:"
for members in 1024 4096; do
    read -r us count < <("$build/bench/installer_open_time" "$data/set-$members/_SETUP.2" "$runs")
    printf '  %-44s %8.2f ms\n' "$count members, given volume 2" "$(echo "$us / 1000" | bc -l)"
done

[ "$verdict" = PASS ]
