#!/usr/bin/env bash
# Benchmark of the `fat16` tool against mtools moving the same tree.
#
# Builds the driver's tree on the host (OK with 1,000 files of 200,000 bytes
# and 112-character names, CREATE_FOLDER_TEST with an empty
# DFDFDFDFDFDFDFDFSDFSDZEMK.TXT, and the 26 nested folders A/B/.../Z), then
# in each round times, one step at a time and alternating the two tools on
# the same host file-system state: `fat16 format --layout driver`,
# `fat16 import` of the tree and `fat16 export` of the whole volume; then
# mformat of the same geometry, `mcopy -s` in and `mcopy -s` out. Every copy
# out is compared with the tree. Prints each round and the medians.
#
# Usage: bench/tool_bench.sh [BUILD_DIR] [ROUNDS]   (default build/default, 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build/default}")
rounds=${2:-3}
tool=$build/src/tool/fat16
measure=$build/bench/fat16-measure
. "$here/bench_common.sh"
require_built "$tool" "$measure"

tree=$work/tree
make_driver_tree "$tree"
files=$(find "$tree" -type f | wc -l)

echo "tree: $files files ($(du -sm "$tree" | cut -f1) MB), $rounds rounds, fat16 and mtools alternating"
echo
printf '  %-6s %12s %12s %12s %12s\n' round "fat16 in" "fat16 out" "mcopy in" "mcopy out"
cd "$work"
ti=() te=() mi=() me=()
same=identical
for ((r = 1; r <= rounds; r++)); do
    rm -rf tool.img tool-out m.img m-out
    timed "$tool" -i tool.img format --layout driver >/dev/null
    ti+=("$(timed "$tool" -i tool.img -q import "$tree")")
    te+=("$(timed "$tool" -i tool.img -q export "$work/tool-out")")
    diff -r "$tree" "$work/tool-out" >/dev/null || same="DIFFERENT (fat16)"
    if [ "$have_mtools" = 1 ]; then
        (
            export MTOOLS_SKIP_CHECK=1
            truncate -s 247463936 m.img
            mformat -T 483328 -c 64 -r 64 -L 256 -i m.img ::
        )
        cd "$tree"
        mi+=("$(MTOOLS_SKIP_CHECK=1 timed mcopy -s -i "$work/m.img" CREATE_FOLDER_TEST A OK ::/)")
        mkdir "$work/m-out"
        me+=("$(MTOOLS_SKIP_CHECK=1 timed mcopy -s -n -i "$work/m.img" ::/CREATE_FOLDER_TEST ::/A ::/OK "$work/m-out/")")
        cd "$work"
        diff -r "$tree" "$work/m-out" >/dev/null || same="DIFFERENT (mtools)"
    fi
    printf '  %-6s %10s s %10s s %10s s %10s s\n' "$r" "${ti[-1]}" "${te[-1]}" "${mi[-1]:--}" "${me[-1]:--}"
done
mti=$(median "${ti[@]}")
mte=$(median "${te[@]}")
echo
printf '  %-6s %10s s %10s s' median "$mti" "$mte"
if [ "$have_mtools" = 0 ]; then
    echo
    echo "mtools is not installed: no comparison (copies out: $same)"
    exit 0
fi
mmi=$(median "${mi[@]}")
mme=$(median "${me[@]}")
printf ' %10s s %10s s\n' "$mmi" "$mme"
echo
echo "copies out: $same"
if command -v fsck.fat >/dev/null 2>&1; then
    fsck.fat -n tool.img 2>&1 | grep -v -e "^fsck.fat " -e "Label '' stored" -e "Auto-removing label" \
        -e "Leaving filesystem unchanged" -e " files, " -e '^$' | sed 's/^/  fsck.fat: /' || true
fi
awk -v ti="$mti" -v te="$mte" -v mi="$mmi" -v me="$mme" 'BEGIN {
    printf "median wall time, mcopy -s / fat16: in %.1f, out %.1f, both %.1f\n", mi / ti, me / te, (mi + me) / (ti + te) }'
