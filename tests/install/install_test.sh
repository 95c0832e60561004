#!/usr/bin/env bash
# Installs the built project into a scratch prefix and builds the C example
# of the library's documentation against the installed copy three ways: a
# CMake project with find_package(fat16), pkg-config, and a plain compiler
# line. Then runs it and reads the file it wrote back with mtools. Does the
# same with a shared build of the library (BUILD_SHARED_LIBS=ON), configured,
# built and installed here, and checks what that library exports.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/app.c" <<'C'
#include "fat16.h"

int main(void) {
    if (disk_open_image() != FS_OK) return 1;      /* creates fat16.img when it is missing */
    fs_format_if_blank(0, 6, 483328);
    fs_init();
    fs_mkdir("C:\\LOGS");
    fs_create_file("C:\\LOGS\\boot.txt");
    uint8_t h = fs_open("C:\\LOGS\\boot.txt");
    fs_write(h, (const uint8_t *)"hello\n", 6);
    fs_close(h);
    return 0;
}
C

# Runs program $2 in a fresh folder $1 and reads back the file it wrote.
run_example() {
    mkdir "$1"
    (cd "$1" && "$2" >/dev/null)
    test "$(stat -c %s "$1/fat16.img")" = 247463936
    if command -v mtype >/dev/null 2>&1; then
        out=$(MTOOLS_SKIP_CHECK=1 mtype -i "$1/fat16.img" ::/LOGS/BOOT.TXT)
        test "$out" = "hello"
    fi
}

# Builds the example against the copy installed at $1 (library file $2) in
# folder $3: with find_package, a plain compiler line and pkg-config.
build_example() {
    local prefix=$1 library=$2 dir=$3
    local libdir
    libdir=$(dirname "$(find "$prefix" -name "$library" | head -n 1)")
    test -f "$prefix/include/fat16.h"
    test -f "$libdir/cmake/fat16/fat16Config.cmake"
    test -f "$libdir/pkgconfig/fat16.pc"
    mkdir "$dir"
    # find_package(fat16)
    mkdir "$dir/consumer"
    cp "$work/app.c" "$dir/consumer/"
    cat >"$dir/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(fat16 REQUIRED)
add_executable(app app.c)
target_link_libraries(app PRIVATE fat16::fat16)
CMAKE
    cmake -S "$dir/consumer" -B "$dir/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$dir/consumer/build" >/dev/null
    # A plain compiler line, and pkg-config where it is installed.
    cc -std=c11 -Wall -Wextra -Werror "$work/app.c" -I"$prefix/include" -L"$libdir" -lfat16 -o "$dir/app-plain"
    if command -v pkg-config >/dev/null 2>&1; then
        # shellcheck disable=SC2046
        cc -std=c11 -Wall -Werror "$work/app.c" $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs fat16) \
            -o "$dir/app-pkg"
    else
        echo "pkg-config is not installed; the pkg-config build was skipped"
    fi
    echo "$libdir"
}

# The static library of the build under test.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
build_example "$work/prefix" libfat16.a "$work/static" >/dev/null
run_example "$work/run" "$work/static/consumer/build/app"
echo "installed copy builds and runs the example"

# A shared build of the same sources: libfat16.so.MAJOR, and the programs
# built against it load it (the plain and pkg-config ones from the library
# path) and run the example as the static one does.
cmake -S "$source" -B "$work/shared-build" -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE=Release \
    -DFAT16_BUILD_TESTS=OFF -DFAT16_BUILD_PROGRAMS=OFF >/dev/null
cmake --build "$work/shared-build" -j2 >/dev/null
cmake --install "$work/shared-build" --prefix "$work/shared-prefix" >/dev/null
libdir=$(build_example "$work/shared-prefix" libfat16.so "$work/shared" | tail -n 1)
major=$(sed -nE 's/^project\(fat16 VERSION ([0-9]+)\..*/\1/p' "$source/CMakeLists.txt")
test -L "$libdir/libfat16.so"
test -f "$(realpath "$libdir/libfat16.so.$major")"
if command -v readelf >/dev/null 2>&1; then
    readelf -d "$libdir/libfat16.so" | grep -q "Library soname: \[libfat16.so.$major\]"
    readelf -d "$work/shared/consumer/build/app" | grep -q "Shared library: \[libfat16.so.$major\]"
fi
run_example "$work/shared-run" "$work/shared/consumer/build/app"
for app in app-plain app-pkg; do
    if [ -x "$work/shared/$app" ]; then
        LD_LIBRARY_PATH="$libdir" run_example "$work/shared-run-$app" "$work/shared/$app"
    fi
done
"$source/tests/install/exports_test.sh" "$libdir/libfat16.so" "$work/shared-prefix/include"
echo "installed shared library (libfat16.so.$major) builds and runs the example"
