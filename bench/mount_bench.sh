#!/usr/bin/env bash
# Benchmark of `fat16 mount` against `fat16 import` moving the same data:
# one 256 MiB file, and the driver's tree (OK with 1,000 files of 200,000
# bytes and 112-character names, CREATE_FOLDER_TEST with an empty file, and
# the 26 nested folders A/B/.../Z). Each round formats a fresh volume for
# every step (1 GiB of 16 KiB clusters for the big file, 256 MiB of the
# default clusters for the tree) and runs, alternating on the same host file-system
# state: `fat16 import`, then `cp` onto the mount (the time runs from the
# cp to the end of the unmount, when the mount process has written
# everything and exited; mounting is not counted). Every volume is checked
# with `fat16 check`, and the first round's copies are exported and
# compared with the source. Prints each round, the medians and the ratios.
#
# Needs /dev/fuse, fusermount3 and a tool built with libfuse3.
# Usage: bench/mount_bench.sh [BUILD_DIR] [ROUNDS]   (default build/default, 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build/default}")
rounds=${2:-3}
tool=$build/src/tool/fat16
measure=$build/bench/fat16-measure
. "$here/bench_common.sh"
require_built "$tool" "$measure"
"$tool" mount --help >/dev/null 2>&1 || { echo "$tool was built without 'mount' (libfuse3)" >&2; exit 2; }
command -v fusermount3 >/dev/null || { echo "fusermount3 is not installed" >&2; exit 2; }

# The big file, alone in its folder (import copies a folder's contents).
mkdir -p "$work/big"
head -c $((256 << 20)) /dev/urandom >"$work/big/big.bin"

tree=$work/tree
make_driver_tree "$tree"

cd "$work"
mkdir -p m
now() { date +%s.%N; }

# A fresh volume for step $1 (big or tree) in v.img.
fresh() {
    rm -f v.img
    if [ "$1" = big ]; then
        "$tool" -i v.img format --size 1G --cluster-size 16K >/dev/null
    else
        "$tool" -i v.img format --size 256M >/dev/null
    fi
}

# The volume is clean, and in the first round holds exactly `source`.
verify() {
    local what=$1 source=$2 round=$3
    "$tool" -i v.img check >/dev/null || { echo "$what: fat16 check found problems" >&2; exit 1; }
    if [ "$round" = 1 ]; then
        rm -rf out
        "$tool" -i v.img -q export out
        diff -r "$source" out >/dev/null || { echo "$what: the volume differs from the source" >&2; exit 1; }
    fi
}

# `fat16 import` of folder $2 for step $1; prints the seconds.
run_import() {
    fresh "$1"
    timed "$tool" -i v.img -q import "$2"
}

# cp of folder $2's contents onto the mount for step $1, with the unmount;
# prints the seconds.
run_mount() {
    fresh "$1"
    "$tool" -i v.img mount -f m 2>mount.err &
    local pid=$! i
    for ((i = 0; i < 500; i++)); do
        mountpoint -q m && break
        sleep 0.02
    done
    mountpoint -q m || { cat mount.err >&2; exit 1; }
    local start end
    start=$(now)
    cp -r "$2/." m/
    fusermount3 -u m
    wait "$pid"
    end=$(now)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }'
}

files=$(find "$tree" -type f | wc -l)
echo "256 MiB file; tree of $files files ($(du -sm "$tree" | cut -f1) MB); $rounds rounds, import and mount alternating"
echo
printf '  %-6s %14s %14s %14s %14s\n' round "import big" "cp big" "import tree" "cp tree"
ib=() mb=() it=() mt=()
for ((r = 1; r <= rounds; r++)); do
    ib+=("$(run_import big "$work/big")")
    verify "import big" "$work/big" "$r"
    mb+=("$(run_mount big "$work/big")")
    verify "cp big" "$work/big" "$r"
    it+=("$(run_import tree "$tree")")
    verify "import tree" "$tree" "$r"
    mt+=("$(run_mount tree "$tree")")
    verify "cp tree" "$tree" "$r"
    printf '  %-6s %12s s %12s s %12s s %12s s\n' "$r" "${ib[-1]}" "${mb[-1]}" "${it[-1]}" "${mt[-1]}"
done
mib=$(median "${ib[@]}")
mmb=$(median "${mb[@]}")
mit=$(median "${it[@]}")
mmt=$(median "${mt[@]}")
echo
printf '  %-6s %12s s %12s s %12s s %12s s\n' median "$mib" "$mmb" "$mit" "$mmt"
awk -v ib="$mib" -v mb="$mmb" -v it="$mit" -v mt="$mmt" 'BEGIN {
    printf "mount speed / import speed: big file %.2f, tree %.2f (target: at least 0.5)\n", ib / mb, it / mt }'
