#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build/fuzz, then runs each one on its
# seed corpus and its crash regressions for a bounded time.
#
#   fuzz/run.sh [SECONDS] [FUZZER...]
#
# SECONDS is each fuzzer's time (default 60); FUZZER is image, names or ops
# (default: all three). Inputs libFuzzer finds new are kept in
# build/fuzz/corpus/FUZZER, crash inputs in build/fuzz/artifacts. The exit
# status is non-zero when a fuzzer found a crash, a sanitizer report, a hang
# (-timeout) or ran out of memory. Without clang or libFuzzer (Debian:
# clang and libclang-rt-14-dev) it says so and exits 0.
#
# FUZZ_CXX selects the compiler (default clang++), FUZZ_JOBS the parallel
# compilations (default 2), FUZZ_TIMEOUT the seconds after which one input
# counts as a hang (default 10), and FUZZ_ARGS adds libFuzzer options.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -eq 0 ] && fuzzers=(image names ops)
case "$seconds" in
'' | *[!0-9]*)
    echo "usage: fuzz/run.sh [SECONDS] [image|names|ops ...]" >&2
    exit 2
    ;;
esac
for f in "${fuzzers[@]}"; do
    if [ ! -f "fuzz/${f}_fuzzer.cpp" ]; then
        echo "fuzz/run.sh: no fuzzer named '$f' (image, names, ops)" >&2
        exit 2
    fi
done

cxx=${FUZZ_CXX:-clang++}
jobs=${FUZZ_JOBS:-2}
hang_seconds=${FUZZ_TIMEOUT:-10}
out=build/fuzz
mkdir -p "$out/obj" "$out/artifacts"

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzz/run.sh: $cxx not found; skipping the fuzzers (install clang and libclang-rt-14-dev)"
    exit 0
fi
probe="$out/probe.cpp"
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' >"$probe"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe" -o "$out/probe" >"$out/probe.log" 2>&1; then
    echo "fuzz/run.sh: $cxx cannot link libFuzzer with the sanitizers; skipping the fuzzers"
    echo "  (install libclang-rt-14-dev; the linker said:)"
    sed 's/^/    /' "$out/probe.log" | head -5
    exit 0
fi

flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Wpedantic
    -fsanitize=address,undefined -fno-sanitize-recover=undefined)
layers=(common disk volume dir namespace file check)
includes=(-Iinclude)
for layer in "${layers[@]}"; do includes+=("-Isrc/$layer"); done

# The library, instrumented for coverage, compiled once for all fuzzers.
sources=()
for layer in "${layers[@]}"; do
    for src in src/"$layer"/*.cpp; do sources+=("$src"); done
done
echo "== building the library with $cxx"
objects=()
for src in "${sources[@]}"; do
    obj="$out/obj/$(echo "$src" | tr '/' '_').o"
    objects+=("$obj")
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find src include -name '*.h' -newer "$obj" -print -quit)" ]; then
        "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -fno-exceptions -fno-rtti "${includes[@]}" \
            -c "$src" -o "$obj" &
        while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    fi
done
wait

for f in "${fuzzers[@]}"; do
    echo "== building ${f}_fuzzer"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "${includes[@]}" "fuzz/${f}_fuzzer.cpp" "${objects[@]}" \
        -o "$out/${f}_fuzzer"
done

status=0
for f in "${fuzzers[@]}"; do
    work="$out/corpus/$f"
    mkdir -p "$work"
    echo "== running ${f}_fuzzer for ${seconds} s"
    log="$out/${f}_fuzzer.log"
    set +e
    # New inputs go to the first directory (build/fuzz/corpus), never into
    # the committed seeds.
    "$out/${f}_fuzzer" -max_total_time="$seconds" -timeout="$hang_seconds" -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/${f}-" ${FUZZ_ARGS:-} \
        "$work" "fuzz/corpus/$f" "fuzz/regressions/$f" >"$log" 2>&1
    rc=$?
    set -e
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$log" || true
    if [ $rc -ne 0 ]; then
        echo "!! ${f}_fuzzer failed (exit $rc); its report:"
        grep -E -A40 'ERROR: |SUMMARY: |fuzz harness: |model and library|fs_check found|==[0-9]+==' "$log" | head -80
        ls -1 "$out/artifacts/${f}-"* 2>/dev/null | sed 's/^/   artifact: /'
        status=1
    fi
done
exit $status
