#!/usr/bin/env bash
# Compares what a shared build of the library exports with what its
# installed headers declare: every exported symbol must be declared there
# (nothing internal leaks out) and every declared function and record must
# be exported (none was hidden by mistake).
# Usage: exports_test.sh SHARED_LIBRARY INCLUDE_DIR
set -euo pipefail
library=$1
include=$2
for tool in nm cc; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is not installed; exports not checked"
        exit 0
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Declared names: the headers without comments (the compiler strips them),
# then the name before '(' of each declaration, and the name of each record.
for header in "$include"/*.h; do
    cc -fpreprocessed -dD -E -P -x c "$header"
done | grep -vE '^[[:space:]]*(typedef|static|return|#)' |
    sed -nE 's/^[A-Za-z_][A-Za-z0-9_ *]*[ *]([A-Za-z_][A-Za-z0-9_]*)(\(|\[[^]]*\];|;).*/\1/p' |
    sort -u >"$work/declared"
nm -D --defined-only "$library" | awk 'NF >= 3 && $2 ~ /^[A-Z]$/ { print $3 }' | sed 's/@.*//' |
    grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u >"$work/exported"

if [ ! -s "$work/declared" ] || [ ! -s "$work/exported" ]; then
    echo "nothing declared in $include or nothing exported by $library"
    exit 1
fi
leaked=$(comm -13 "$work/declared" "$work/exported")
hidden=$(comm -23 "$work/declared" "$work/exported")
if [ -n "$leaked" ]; then
    echo "exported by $library but declared in no installed header:"
    printf '%s\n' "$leaked" | sed 's/^/  /'
fi
if [ -n "$hidden" ]; then
    echo "declared in the installed headers but not exported by $library:"
    printf '%s\n' "$hidden" | sed 's/^/  /'
fi
[ -z "$leaked" ] && [ -z "$hidden" ] || exit 1
echo "$(wc -l <"$work/exported") symbols exported, exactly those the headers declare"
