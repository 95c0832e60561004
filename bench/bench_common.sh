# What the benchmarks share; sourced after they set `measure` (the
# fat16-measure helper). `require_built PROGRAM...` stops with a hint when
# one was not built; `have_mtools` is 1 when mtools is installed; `work` is
# a temporary folder removed on exit; `timed COMMAND...` runs a step under
# fat16-measure and prints its wall time; `median [NUMBER...]` prints the
# median of the numbers given, or of those on standard input;
# `make_driver_tree DIR` makes the driver's tree in DIR.

require_built() {
    for t in "$@"; do
        [ -x "$t" ] || { echo "missing $t: build first (cmake --build --preset default)" >&2; exit 2; }
    done
}

have_mtools=1
command -v mcopy >/dev/null 2>&1 || have_mtools=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

timed() {
    "$measure" "$@" >/dev/null 2>"$work/step.time" || { cat "$work/step.time" >&2; exit 1; }
    tail -n 1 "$work/step.time" | cut -d' ' -f1
}

median() {
    if [ $# -gt 0 ]; then printf '%s\n' "$@"; else cat; fi |
        sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The driver's tree: OK with 1,000 files of 200,000 bytes and 112-character
# names (in pass i, 0..39, character i counts up from 'a' through 'y';
# characters before it are 'z' by then), CREATE_FOLDER_TEST with an empty
# file, and the 26 nested folders A/B/.../Z.
make_driver_tree() {
    local tree=$1
    mkdir -p "$tree/OK" "$tree/CREATE_FOLDER_TEST" "$tree/A/B/C/D/E/F/G/H/I/J/K/L/M/N/O/P/Q/R/S/T/U/V/W/X/Y/Z"
    : >"$tree/CREATE_FOLDER_TEST/DFDFDFDFDFDFDFDFSDFSDZEMK.TXT"
    head -c 200000 /dev/urandom >"$work/readed.rar"
    local a84 rest letters zs="" tail_part
    a84=$(printf '%84s' '' | tr ' ' a)
    rest=$(printf '%15s' '' | tr ' ' A)$(printf '%9s' '' | tr ' ' a)
    letters=abcdefghijklmnopqrstuvwxy
    for ((i = 0; i < 40; i++)); do
        tail_part=${a84:i+1}$rest
        for ((j = 0; j < 25; j++)); do
            cp "$work/readed.rar" "$tree/OK/$zs${letters:j:1}$tail_part.rar"
        done
        zs=${zs}z
    done
}
