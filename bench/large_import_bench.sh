#!/usr/bin/env bash
# Benchmark of a large import: a 1 GiB volume's worth of files (by default
# 4,000 files of 256 KiB in 8 directories of 500) into a 1 GiB volume of
# 16 KiB clusters, with `fat16 import`, beside `mcopy -s` doing the same into
# a volume of the same geometry, and beside the floor: the same bytes copied
# into one host file (`cat` of every file into a 1 GiB image-sized file).
# Each round runs the three one after the other (A B C A B C ...) on the same
# host file-system state; prints each round and the medians. Both volumes
# are compared with the tree afterwards (fat16 export, mcopy -s out).
#
# Usage: bench/large_import_bench.sh [BUILD_DIR] [ROUNDS] [FILES]
#        (default build/default, 3 rounds, 4000 files)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build/default}")
rounds=${2:-3}
count=${3:-4000}
tool=$build/src/tool/fat16
measure=$build/bench/fat16-measure
. "$here/bench_common.sh"
require_built "$tool" "$measure"

tree=$work/tree
per_dir=500
for ((i = 0; i < count; i++)); do
    d=$tree/dir$((i / per_dir))
    [ -d "$d" ] || mkdir -p "$d"
    head -c 262144 /dev/urandom >"$d/file$(printf '%05d' "$i").bin"
done
bytes=$(du -sb "$tree" | cut -f1)

echo "tree: $count files of 256 KiB ($((bytes / 1048576)) MiB) in $(((count + per_dir - 1) / per_dir)) directories;" \
    "1 GiB volumes of 16 KiB clusters; $rounds rounds"
echo
printf '  %-6s %14s %14s %14s\n' round "fat16 import" "mcopy -s" "cat (floor)"
cd "$work"
ft=() mt=() ct=()
for ((r = 1; r <= rounds; r++)); do
    rm -f tool.img m.img floor.img
    "$tool" -i tool.img format --size 1G --cluster-size 16K >/dev/null
    ft+=("$(timed "$tool" -i tool.img -q import "$tree")")
    if [ "$have_mtools" = 1 ]; then
        truncate -s 1G m.img
        mformat -T 2097152 -c 32 -i m.img ::
        cd "$tree"
        mt+=("$(timed mcopy -s -i "$work/m.img" $(ls) ::/)")
        cd "$work"
    fi
    truncate -s 1G floor.img
    ct+=("$(timed sh -c "find '$tree' -type f | sort | xargs cat > '$work/floor.img'")")
    printf '  %-6s %12s s %12s s %12s s\n' "$r" "${ft[-1]}" "${mt[-1]:--}" "${ct[-1]}"
done
echo
mf=$(median "${ft[@]}")
mc=$(median "${ct[@]}")
if [ "$have_mtools" = 1 ]; then
    mm=$(median "${mt[@]}")
    printf '  %-6s %12s s %12s s %12s s\n' median "$mf" "$mm" "$mc"
else
    printf '  %-6s %12s s %14s %12s s\n' median "$mf" "-" "$mc"
fi

# The last round's volumes hold the tree.
rm -rf out m-out
"$tool" -i tool.img -q export out
diff -r "$tree" out >/dev/null && echo "fat16 volume: identical to the tree" || echo "fat16 volume: DIFFERENT"
if command -v fsck.fat >/dev/null 2>&1; then
    fsck.fat -n tool.img >/dev/null 2>&1 && echo "fsck.fat -n: clean" || echo "fsck.fat -n: PROBLEMS"
fi
if [ "$have_mtools" = 1 ]; then
    mkdir m-out
    mcopy -s -n -i m.img '::/*' m-out/
    diff -r "$tree" m-out >/dev/null && echo "mtools volume: identical to the tree" || echo "mtools volume: DIFFERENT"
    awk -v f="$mf" -v m="$mm" -v c="$mc" 'BEGIN {
        printf "median wall time: mcopy -s / fat16 %.1f, fat16 / floor %.1f\n", m / f, f / c }'
else
    awk -v f="$mf" -v c="$mc" 'BEGIN { printf "median wall time: fat16 / floor %.1f\n", f / c }'
fi
