#!/usr/bin/env bash
# Benchmark of the `fat16` tool against mtools moving the same tree.
#
# Builds the driver's tree on the host (OK with 1,000 files of 200,000 bytes
# and 112-character names, CREATE_FOLDER_TEST with an empty
# DFDFDFDFDFDFDFDFSDFSDZEMK.TXT, and the 26 nested folders A/B/.../Z), then
# times, each step on its own: `fat16 format`, `fat16 import` of the tree
# into the fresh image and `fat16 export` of the whole volume; and the same
# with mtools in the same run: mformat of the same geometry, `mcopy -s` in
# and `mcopy -s` out. Both copies out are compared with the tree.
#
# Usage: bench/tool_bench.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build/default}")
tool=$build/src/tool/fat16
measure=$build/bench/fat16-measure
for t in "$tool" "$measure"; do
    [ -x "$t" ] || { echo "missing $t: build first (cmake --build --preset default)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir -p "$tree/OK" "$tree/CREATE_FOLDER_TEST" "$tree/A/B/C/D/E/F/G/H/I/J/K/L/M/N/O/P/Q/R/S/T/U/V/W/X/Y/Z"
: >"$tree/CREATE_FOLDER_TEST/DFDFDFDFDFDFDFDFSDFSDZEMK.TXT"
head -c 200000 /dev/urandom >"$work/readed.rar"

# The driver's 1,000 names: in pass i (0..39) character i counts up from
# 'a' through 'y'; characters before it are 'z' by then.
a84=$(printf '%84s' '' | tr ' ' a)
rest=$(printf '%15s' '' | tr ' ' A)$(printf '%9s' '' | tr ' ' a)
letters=abcdefghijklmnopqrstuvwxy
zs=""
for ((i = 0; i < 40; i++)); do
    tail_part=${a84:i+1}$rest
    for ((j = 0; j < 25; j++)); do
        cp "$work/readed.rar" "$tree/OK/$zs${letters:j:1}$tail_part.rar"
    done
    zs=${zs}z
done
files=$(find "$tree" -type f | wc -l)

# Runs a step under fat16-measure; prints "wall cpu" of it.
timed() {
    local out=$1
    shift
    "$measure" "$@" >/dev/null 2>"$work/$out.time" || { cat "$work/$out.time" >&2; exit 1; }
    tail -n 1 "$work/$out.time"
}

row() { printf '  %-28s %8.3f s %8.3f s\n' "$1" "$2" "$3"; }

echo "tree: $files files ($(du -sm "$tree" | cut -f1) MB)"
echo
printf '  %-28s %10s %10s\n' "" "wall" "CPU"
cd "$work"
read -r f_wall f_cpu _ < <(timed tformat "$tool" -i tool.img format)
read -r i_wall i_cpu _ < <(timed timport "$tool" -i tool.img -q import "$tree")
read -r e_wall e_cpu _ < <(timed texport "$tool" -i tool.img -q export "$work/tool-out")
same=$(diff -r "$tree" "$work/tool-out" >/dev/null && echo identical || echo DIFFERENT)
row "fat16 format" "$f_wall" "$f_cpu"
row "fat16 import" "$i_wall" "$i_cpu"
row "fat16 export ($same)" "$e_wall" "$e_cpu"
if command -v fsck.fat >/dev/null 2>&1; then
    fsck.fat -n tool.img 2>&1 | grep -v -e "^fsck.fat " -e "Label '' stored" -e "Auto-removing label" \
        -e "Leaving filesystem unchanged" -e " files, " -e '^$' | sed 's/^/  fsck.fat: /' || true
fi

if ! command -v mcopy >/dev/null 2>&1; then
    echo "mtools is not installed: no comparison"
    exit 0
fi
export MTOOLS_SKIP_CHECK=1
cd "$tree"
read -r mf_wall mf_cpu _ < <(timed mformat bash -c "truncate -s 247463936 '$work/m.img' &&
    mformat -T 483328 -c 64 -r 64 -L 256 -i '$work/m.img' ::")
read -r mi_wall mi_cpu _ < <(timed mimport mcopy -s -i "$work/m.img" CREATE_FOLDER_TEST A OK ::/)
mkdir "$work/m-out"
read -r me_wall me_cpu _ < <(timed mexport mcopy -s -n -i "$work/m.img" ::/CREATE_FOLDER_TEST ::/A ::/OK "$work/m-out/")
msame=$(diff -r "$tree" "$work/m-out" >/dev/null && echo identical || echo DIFFERENT)
row "truncate + mformat" "$mf_wall" "$mf_cpu"
row "mcopy -s in" "$mi_wall" "$mi_cpu"
row "mcopy -s out ($msame)" "$me_wall" "$me_cpu"
echo
awk -v ti="$i_wall" -v te="$e_wall" -v mi="$mi_wall" -v me="$me_wall" 'BEGIN {
    printf "wall time, mcopy -s / fat16: in %.1f, out %.1f, both %.1f\n", mi / ti, me / te, (mi + me) / (ti + te) }'
