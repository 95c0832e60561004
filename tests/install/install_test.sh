#!/usr/bin/env bash
# Installs the built project into a scratch prefix and builds the C example
# of the library's documentation against the installed copy three ways: a
# CMake project with find_package(fat16), pkg-config, and a plain compiler
# line. Then runs it and reads the file it wrote back with mtools.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

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

libdir=$(dirname "$(find "$prefix" -name libfat16.a | head -n 1)")
test -f "$prefix/include/fat16.h"
test -f "$libdir/cmake/fat16/fat16Config.cmake"
test -f "$libdir/pkgconfig/fat16.pc"

# find_package(fat16)
mkdir "$work/consumer"
cp "$work/app.c" "$work/consumer/"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(fat16 REQUIRED)
add_executable(app app.c)
target_link_libraries(app PRIVATE fat16::fat16)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer/build" >/dev/null

# A plain compiler line, and pkg-config where it is installed.
cc -std=c11 -Wall -Wextra -Werror "$work/app.c" -I"$prefix/include" -L"$libdir" -lfat16 -o "$work/app-plain"
if command -v pkg-config >/dev/null 2>&1; then
    # shellcheck disable=SC2046
    cc -std=c11 -Wall -Werror "$work/app.c" $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs fat16) \
        -o "$work/app-pkg"
else
    echo "pkg-config is not installed; the pkg-config build was skipped"
fi

mkdir "$work/run"
(cd "$work/run" && "$work/consumer/build/app" >/dev/null)
test "$(stat -c %s "$work/run/fat16.img")" = 247463936
if command -v mtype >/dev/null 2>&1; then
    out=$(MTOOLS_SKIP_CHECK=1 mtype -i "$work/run/fat16.img" ::/LOGS/BOOT.TXT)
    test "$out" = "hello"
fi
echo "installed copy builds and runs the example"
