# What the benchmarks share; sourced after they set `measure` (the
# fat16-measure helper). `require_built PROGRAM...` stops with a hint when
# one was not built; `have_mtools` is 1 when mtools is installed; `work` is
# a temporary folder removed on exit; `timed COMMAND...` runs a step under
# fat16-measure and prints its wall time; `median [NUMBER...]` prints the
# median of the numbers given, or of those on standard input.

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
