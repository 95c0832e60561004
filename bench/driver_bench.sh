#!/usr/bin/env bash
# Benchmark of fat16-driver against mtools doing the same job.
#
# Runs the driver's whole first run (image creation included) on a
# 200,000-byte "readed.rar" in a temporary folder and prints its wall time,
# CPU time, peak memory and the sector reads and writes the image device
# counted. Then mtools does the same job on the same geometry: format an
# image, copy the equivalent host tree in with `mcopy -s`, and copy it back
# out with `mcopy -s`; the ratio of the wall times closes the report.
#
# Usage: bench/driver_bench.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build/default}")
driver=$build/fat16-driver
measure=$build/bench/fat16-measure
for tool in "$driver" "$measure"; do
    [ -x "$tool" ] || { echo "missing $tool: build first (cmake --build --preset default)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/driver"
head -c 200000 /dev/urandom >"$work/driver/readed.rar"

# The driver, from an empty folder (it creates the 247 MB image itself).
(cd "$work/driver" && printf '\n\n\n\n' |
    FAT16_DRIVER_STATS="$work/stats" "$measure" "$driver" >/dev/null 2>"$work/driver.time")
read -r d_wall d_cpu d_peak <"$work/driver.time"
reads=$(awk '/sector_reads/ {print $2}' "$work/stats")
writes=$(awk '/sector_writes/ {print $2}' "$work/stats")
files=$(find "$work/driver/OK" -type f | wc -l)
anon=$(awk '/RssAnon/ {print $2}' "$work/stats")
mapped=$(awk '/RssFile/ {print $2}' "$work/stats")

echo "fat16-driver, first run with a 200,000-byte readed.rar ($files files exported)"
printf '  wall time      %8.3f s\n' "$d_wall"
printf '  CPU time       %8.3f s\n' "$d_cpu"
printf '  peak memory    %8d KiB (at the end: %s KiB of its own, %s KiB of the mapped image and program)\n' \
    "$d_peak" "${anon:-?}" "${mapped:-?}"
printf '  sector reads   %8d\n' "$reads"
printf '  sector writes  %8d\n' "$writes"

if ! command -v mcopy >/dev/null 2>&1; then
    echo "mtools is not installed: no comparison"
    exit 0
fi

# mtools: the same tree in and out of a volume of the same geometry.
mkdir "$work/mtools" "$work/mtools/out"
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
read -r m_wall m_cpu m_peak < <(tail -n 1 "$work/mtools.time")
same=$(diff -r "$work/driver/OK" "$work/mtools/out/OK" >/dev/null && echo "identical" || echo "DIFFERENT")

echo "mtools, format + mcopy -s in + mcopy -s out of the same tree (copy back: $same)"
printf '  wall time      %8.3f s\n' "$m_wall"
printf '  CPU time       %8.3f s\n' "$m_cpu"
printf '  peak memory    %8d KiB\n' "$m_peak"
awk -v d="$d_wall" -v m="$m_wall" 'BEGIN { printf "mtools / fat16-driver wall time: %.1f\n", m / d }'
