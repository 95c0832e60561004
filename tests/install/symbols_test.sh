#!/usr/bin/env bash
# Lists the external symbols the library archive defines and fails on any
# that a program linking it could collide with: every one must carry a layer
# prefix or be one of the global records.
# Usage: symbols_test.sh LIBRARY_ARCHIVE
set -euo pipefail
archive=$1
if ! command -v nm >/dev/null; then
    echo "nm is not installed; symbols not checked"
    exit 0
fi
allowed='^(disk_|fs_|fat_|cluster_|dir_|lfn_|cursor_|path_|walk_|handle_|file_|str_|name_|newname_|le_)'
records='^(VolumeGeometry|DirCursor|FoundEntry|CursorSlot|CurrentDir|open_files|walk_path)$'
# "T name" lines of defined global symbols, demangled, without argument lists;
# the names sanitizer and coverage builds add are theirs, not the library's.
symbols=$(nm -g --defined-only -C "$archive" | awk 'NF >= 3 { $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
    sed 's/(.*//' | grep -Ev '^(__odr_asan|__asan|__ubsan|__gcov|__llvm)' | sort -u)
if [ -z "$symbols" ]; then
    echo "no symbols found in $archive"
    exit 1
fi
bad=$(printf '%s\n' "$symbols" | grep -Ev "$allowed" | grep -Ev "$records" || true)
if [ -n "$bad" ]; then
    echo "symbols without a layer prefix in $archive:"
    printf '%s\n' "$bad" | sed 's/^/  /'
    exit 1
fi
echo "$(printf '%s\n' "$symbols" | wc -l) external symbols, every one prefixed"
