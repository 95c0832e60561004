#!/usr/bin/env python3
"""Worst stack depth of each public call of the library.

Reads the call graph and the frame sizes gcc writes with
-fcallgraph-info=su (one .ci file per object, in VCG form), and the names
the installed headers declare. The depth of a function is its own frame plus
the deepest of its callees; a call through a pointer (the device's
callbacks, the clock) and calls into the C library (memcpy, memset, strchr)
are counted as 0 bytes and marked. Fails when the graph has recursion or a
frame of dynamic size, since then no bound can be given.

Usage: stack_depth.py OBJECT_DIR HEADER... [--top N]
"""
import os
import re
import sys

NODE = re.compile(r'node: \{ title: "([^"]*)" label: "([^"]*)"')
EDGE = re.compile(r'edge: \{ sourcename: "([^"]*)" targetname: "([^"]*)"')
FRAME = re.compile(r"\\n(\d+) bytes \(([a-z,]+)\)$")
DECLARED = re.compile(r"^[A-Za-z_][\w \*]*?\b([a-z_][a-z0-9_]*)\(", re.M)
INDIRECT = "__indirect_call"


def read_graph(obj_dir):
    frames = {}  # title -> (bytes, qualifier, readable name)
    calls = {}  # title -> set of titles
    for root, _, files in os.walk(obj_dir):
        for name in files:
            if not name.endswith(".ci"):
                continue
            with open(os.path.join(root, name), encoding="utf-8") as f:
                for line in f:
                    m = NODE.match(line)
                    if m:
                        frame = FRAME.search(m.group(2))
                        if frame:
                            readable = m.group(2).split("\\n")[0]
                            frames[m.group(1)] = (int(frame.group(1)), frame.group(2), readable)
                        continue
                    m = EDGE.match(line)
                    if m:
                        calls.setdefault(m.group(1), set()).add(m.group(2))
    return frames, calls


def public_names(headers):
    names = set()
    for header in headers:
        with open(header, encoding="utf-8") as f:
            text = f.read()
        # Declarations only: no comments, no inline helpers (static, so not
        # part of the library's symbols), no bodies of records.
        text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
        text = text.replace('extern "C" {', "")
        while True:
            stripped = re.sub(r"\{[^{}]*\}", ";", text)
            if stripped == text:
                break
            text = stripped
        for m in DECLARED.finditer(text):
            if not m.group(0).lstrip().startswith(("typedef", "return", "#", "static")):
                names.add(m.group(1))
    return names


def main():
    args = sys.argv[1:]
    top = 0
    if "--top" in args:
        i = args.index("--top")
        top = int(args[i + 1])
        del args[i : i + 2]
    if len(args) < 2:
        sys.exit(__doc__)
    frames, calls = read_graph(args[0])
    if not frames:
        sys.exit("no call graph (.ci files) under " + args[0] + ": build with -fcallgraph-info=su")
    dynamic = [t for t, f in frames.items() if f[1] != "static"]
    if dynamic:
        sys.exit("frames of dynamic size: " + ", ".join(frames[t][2] for t in dynamic))

    depth = {}  # title -> (bytes, next title on the deepest path, reaches a pointer call, reaches libc)
    state = {}
    cycles = []

    def visit(title, stack):
        if title in depth:
            return depth[title]
        if state.get(title) == "open":
            cycles.append(stack[stack.index(title) :] + [title])
            return (0, None, False, False)
        if title not in frames:  # outside the library
            result = (0, None, title == INDIRECT, title != INDIRECT)
            depth[title] = result
            return result
        state[title] = "open"
        best, best_next, indirect, libc = 0, None, False, False
        for callee in sorted(calls.get(title, ())):
            d, _, i, c = visit(callee, stack + [title])
            indirect = indirect or i
            libc = libc or c
            if d > best or best_next is None:
                best, best_next = d, callee
        state[title] = "done"
        result = (frames[title][0] + best, best_next, indirect, libc)
        depth[title] = result
        return result

    for title in sorted(frames):
        visit(title, [])
    if cycles:
        print("recursion in the call graph:")
        for cycle in cycles:
            print("  " + " -> ".join(frames.get(t, (0, "", t))[2] or t for t in cycle))
        sys.exit(1)

    public = public_names(args[1:])
    rows = sorted(((depth[t][0], t) for t in frames if t in public), key=lambda r: (-r[0], r[1]))
    missing = sorted(public - set(frames))
    print("%-32s %6s  %s" % ("public call", "stack", "deepest path (frame bytes)"))
    for n, (d, title) in enumerate(rows):
        if top and n >= top:
            print("... %d more, each %d bytes or less" % (len(rows) - top, rows[top][0]))
            break
        path = []
        t = title
        while t in frames:
            path.append("%s %d" % (t.split(":")[-1], frames[t][0]))
            t = depth[t][1]
        marks = ("  +callback" if depth[title][2] else "") + ("  +libc" if depth[title][3] else "")
        print("%-32s %6d  %s%s" % (title, d, " > ".join(path), marks))
    if rows:
        print("worst: %s, %d bytes" % (rows[0][1], rows[0][0]))
    if missing:
        print("declared but not built: " + ", ".join(missing))


if __name__ == "__main__":
    main()
