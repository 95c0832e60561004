#!/usr/bin/env bash
# Builds the library for an ARM Cortex-M4 (the cortex-m preset: -Os -mthumb,
# no host file device, warnings are errors) and prints what it takes there:
# code and static data of its objects (arm-none-eabi-size), with and without
# fs_check, the largest static records, and the worst stack depth of every
# public call (frames from -fstack-usage, calls from -fcallgraph-info, see
# scripts/stack_depth.py). Needs gcc-arm-none-eabi, libnewlib-arm-none-eabi
# and python3.
# Usage: scripts/embedded_size.sh [--top N]   (N: public calls listed, 0 all)
set -euo pipefail
cd "$(dirname "$0")/.."
top=25
if [ "${1:-}" = "--top" ]; then top=$2; fi

cmake --preset cortex-m >/dev/null
cmake --build --preset cortex-m >/dev/null
objects=build/cortex-m/CMakeFiles/fat16.dir

echo "Library for Cortex-M4 ($(arm-none-eabi-gcc -dumpversion), -Os -mthumb), bytes:"
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
python3 scripts/stack_depth.py "$objects" "${headers[@]}" --top "$top"
