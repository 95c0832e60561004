#!/usr/bin/env bash
# Builds the library for an ARM Cortex-M4 (the cortex-m preset, every
# feature; cortex-m-min, the smallest configuration; cortex-m-read-only,
# that configuration reading only: -Os -mthumb, no host file device,
# warnings are errors) and prints what it takes there:
#
# - as a firmware links it: examples/firmware.c, a data logger's calls,
#   linked with --gc-sections against the cortex-m library, and with
#   -DFIRMWARE_MIN (the fewest calls) against the cortex-m-min library,
#   with -DFIRMWARE_READ_ONLY (a boot loader's) against cortex-m-read-only; the
#   library's flash and static RAM from the link map, and its largest
#   functions (scripts/link_size.py);
# - the code and static data of the whole library's objects
#   (arm-none-eabi-size), and the worst stack depth of every public call
#   (frames from -fstack-usage, calls from -fcallgraph-info, see
#   scripts/stack_depth.py).
#
# Fails when a firmware's flash or static RAM, or the worst stack depth,
# grows past the limits below (the numbers when they were last lowered), so
# that nothing grows back. Needs gcc-arm-none-eabi, libnewlib-arm-none-eabi
# and python3.
# Usage: scripts/embedded_size.sh [--top N]   (N: public calls listed, 0 all)
set -euo pipefail
cd "$(dirname "$0")/.."
top=25
if [ "${1:-}" = "--top" ]; then top=$2; fi

# Limits: bytes of flash and static RAM of each firmware, and of stack.
full_flash=25067
full_ram=2386
min_flash=17534
min_ram=1353
read_only_flash=8910
read_only_ram=1320
max_stack=1312

for preset in cortex-m cortex-m-min cortex-m-read-only; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done

# Links examples/firmware.c against the library of preset $1 with the
# defines given after it; writes the map to build/$1/firmware$2.map.
link_firmware() {
    local preset=$1 suffix=$2
    shift 2
    local includes=(-Iinclude)
    for layer in common disk volume dir namespace file check; do includes+=(-Isrc/$layer); done
    # The options the library was built with, as its users must see them.
    local defines=()
    mapfile -t defines < <(sed -n 's/^CXX_DEFINES = //p' "build/$preset/CMakeFiles/fat16.dir/flags.make" | tr ' ' '\n' |
        grep '^-DFS_' || true)
    arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -Os -ffunction-sections -fdata-sections "${includes[@]}" \
        "${defines[@]}" "$@" examples/firmware.c "build/$preset/libfat16.a" --specs=nosys.specs \
        -Wl,--gc-sections -Wl,-Map="build/$preset/firmware$suffix.map" -o "build/$preset/firmware$suffix.elf"
}

echo "Firmware for Cortex-M4 ($(arm-none-eabi-gcc -dumpversion), -Os -mthumb, --gc-sections), the library's part:"
status=0
link_firmware cortex-m ""
python3 scripts/link_size.py build/cortex-m/firmware.map --label "every feature, a data logger's calls" --top 8 \
    --max-flash "$full_flash" --max-ram "$full_ram" | arm-none-eabi-c++filt || status=1
link_firmware cortex-m-min "-min" -DFIRMWARE_MIN
python3 scripts/link_size.py build/cortex-m-min/firmware-min.map --label "smallest configuration, the fewest calls" \
    --top 8 --max-flash "$min_flash" --max-ram "$min_ram" | arm-none-eabi-c++filt || status=1
link_firmware cortex-m-read-only "-read-only" -DFIRMWARE_READ_ONLY
python3 scripts/link_size.py build/cortex-m-read-only/firmware-read-only.map \
    --label "smallest configuration that only reads, a boot loader's calls" --top 8 \
    --max-flash "$read_only_flash" --max-ram "$read_only_ram" | arm-none-eabi-c++filt || status=1
echo

objects=build/cortex-m/CMakeFiles/fat16.dir
echo "The whole library (every feature), bytes:"
mapfile -t all < <(find "$objects" -name '*.obj' | sort)
mapfile -t core < <(printf '%s\n' "${all[@]}" | grep -v '/check/check\.cpp\.obj$')
total() {
    arm-none-eabi-size "$@" | awk 'NR > 1 { t += $1; d += $2; b += $3 }
        END { printf "%7d %7d %7d %13d\n", t, d, b, d + b }'
}
printf '%-28s %7s %7s %7s %13s\n' "" text data bss "static RAM"
printf '%-28s %s\n' "without fs_check" "$(total "${core[@]}")"
printf '%-28s %s\n' "with fs_check" "$(total "${all[@]}")"
echo
echo "Per source file (text data bss):"
arm-none-eabi-size "${all[@]}" | awk 'NR > 1 { n = $6; sub(/.*fat16\.dir\/src\//, "", n); sub(/\.obj$/, "", n)
    printf "  %-26s %6d %5d %5d\n", n, $1, $2, $3 }'
echo
echo "Largest static records (bytes):"
arm-none-eabi-nm -S -t d -C "${all[@]}" 2>/dev/null | awk '$3 ~ /^[bBdD]$/' | sort -k2,2nr | head -n 12 |
    awk '{ n = $0; sub(/^[^ ]+ [^ ]+ [^ ]+ /, "", n); printf "  %6d %s\n", $2, n }'
echo
echo "Worst stack depth of each public call (bytes; library frames only):"
headers=()
for layer in common disk volume dir namespace file check; do headers+=("src/$layer/fat16_$layer.h"); done
python3 scripts/stack_depth.py "$objects" "${headers[@]}" --top "$top" | tee build/cortex-m/stack.txt
worst=$(sed -n 's/^worst: .*, \([0-9]*\) bytes$/\1/p' build/cortex-m/stack.txt)
if [ -n "$worst" ] && [ "$worst" -gt "$max_stack" ]; then
    echo "the worst stack depth, $worst bytes, is past its limit of $max_stack"
    status=1
fi
exit $status
