#!/usr/bin/env bash
# Benchmark of fat16-driver against mtools doing the same job.
#
# Each round runs the driver's whole first run (image creation included) on
# a 200,000-byte "readed.rar" in a fresh folder, then has mtools do the same
# job on the same geometry (format an image, `mcopy -s` the driver's tree in
# and out again), and, when a baseline driver is given, runs that driver the
# same way: the programs alternate round by round on the same host state.
# Prints each round, the medians of the wall times, the driver's CPU time,
# peak memory and the sector reads and writes its device counted.
#
# Usage: bench/driver_bench.sh [BUILD_DIR] [ROUNDS] [BASELINE_DRIVER]
#        (default build/default, 3 rounds, no baseline)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build/default}")
rounds=${2:-3}
baseline=${3:-}
driver=$build/fat16-driver
measure=$build/bench/fat16-measure
. "$here/bench_common.sh"
require_built "$driver" "$measure" ${baseline:+"$baseline"}

head -c 200000 /dev/urandom >"$work/readed.rar"

# Runs driver $1 in a fresh folder $2; prints "wall cpu peak".
run_driver() {
    rm -rf "$2"
    mkdir "$2"
    cp "$work/readed.rar" "$2/"
    (cd "$2" && printf '\n\n\n\n' | FAT16_DRIVER_STATS="$2.stats" "$measure" "$1" >/dev/null 2>"$2.time")
    cat "$2.time"
}

run_mtools() {
    rm -rf "$work/mtools"
    mkdir -p "$work/mtools/out"
    cp -r "$work/driver/CREATE_FOLDER_TEST" "$work/driver/A" "$work/driver/OK" "$work/mtools/"
    cat >"$work/mtools/job.sh" <<JOB
set -e
cd "$work/mtools"
export MTOOLS_SKIP_CHECK=1
truncate -s 247463936 image.img
mformat -T 483328 -c 64 -r 64 -L 256 -i image.img ::
mcopy -s -i image.img CREATE_FOLDER_TEST A OK ::/
mcopy -s -n -i image.img ::/CREATE_FOLDER_TEST ::/A ::/OK out/
JOB
    "$measure" bash "$work/mtools/job.sh" 2>"$work/mtools.time" >/dev/null
    tail -n 1 "$work/mtools.time"
}

: >"$work/d.wall"
: >"$work/b.wall"
: >"$work/m.wall"
for ((r = 1; r <= rounds; r++)); do
    read -r d_wall d_cpu d_peak < <(run_driver "$driver" "$work/driver")
    echo "$d_wall" >>"$work/d.wall"
    line="round $r: fat16-driver $d_wall s"
    if [ "$have_mtools" = 1 ]; then
        read -r m_wall _ _ < <(run_mtools)
        echo "$m_wall" >>"$work/m.wall"
        line="$line, mtools $m_wall s"
    fi
    if [ -n "$baseline" ]; then
        read -r b_wall _ _ < <(run_driver "$baseline" "$work/baseline")
        echo "$b_wall" >>"$work/b.wall"
        line="$line, baseline driver $b_wall s"
    fi
    echo "$line"
done

reads=$(awk '/sector_reads/ {print $2}' "$work/driver.stats")
writes=$(awk '/sector_writes/ {print $2}' "$work/driver.stats")
files=$(find "$work/driver/OK" -type f | wc -l)
anon=$(awk '/RssAnon/ {print $2}' "$work/driver.stats")
mapped=$(awk '/RssFile/ {print $2}' "$work/driver.stats")
d_median=$(median <"$work/d.wall")
echo "fat16-driver, first run with a 200,000-byte readed.rar ($files files exported), $rounds rounds"
printf '  wall time      %8.3f s (median)\n' "$d_median"
printf '  CPU time       %8.3f s (last round)\n' "$d_cpu"
printf '  peak memory    %8d KiB (at the end: %s KiB of its own, %s KiB of the mapped image and program)\n' \
    "$d_peak" "${anon:-?}" "${mapped:-?}"
printf '  sector reads   %8d\n' "$reads"
printf '  sector writes  %8d\n' "$writes"
if [ -n "$baseline" ]; then
    b_median=$(median <"$work/b.wall")
    printf 'baseline driver  %8.3f s (median)\n' "$b_median"
    if cmp -s "$work/driver/fat16.img" "$work/baseline/fat16.img"; then
        echo "  the two drivers' images are identical"
    else
        echo "  the two drivers' images DIFFER"
    fi
fi
if [ "$have_mtools" = 1 ]; then
    m_median=$(median <"$work/m.wall")
    same=$(diff -r "$work/driver/OK" "$work/mtools/out/OK" >/dev/null && echo "identical" || echo "DIFFERENT")
    echo "mtools, format + mcopy -s in + mcopy -s out of the same tree (copy back: $same)"
    printf '  wall time      %8.3f s (median)\n' "$m_median"
    awk -v d="$d_median" -v m="$m_median" 'BEGIN { printf "mtools / fat16-driver wall time: %.1f\n", m / d }'
else
    echo "mtools is not installed: no comparison"
fi
