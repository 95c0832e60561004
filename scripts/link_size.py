#!/usr/bin/env python3
"""What the library takes in a linked program, from the GNU ld link map.

Sums the input sections the map lists as coming from the library's archive
(libfat16.a) after garbage collection: flash is code, constants and the
initial values of data (.text, .rodata, .data); static RAM is .data, .bss
and COMMON. Prints both and the largest functions. With --max-flash and
--max-ram, fails (exit 1) when the program takes more.

Usage: link_size.py MAP [--label TEXT] [--top N] [--max-flash B] [--max-ram B]
"""
import re
import sys

SECTION = re.compile(r"^ (\.[\w.$]+|COMMON)\s*(?:(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s+(.*))?$")
PLACED = re.compile(r"^\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s+(.*)$")
ARCHIVE = "libfat16.a("


def library_sections(path):
    """(section name, size, member) of every placed input section of the library."""
    out = []
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    try:
        start = lines.index("Linker script and memory map")
    except ValueError:
        sys.exit(f"{path}: no memory map in this file")
    pending = None
    for line in lines[start:]:
        if pending is not None:
            m = PLACED.match(line)
            if m:
                name = pending
                pending = None
                size, where = int(m.group(2), 16), m.group(3)
                if ARCHIVE in where and size > 0:
                    out.append((name, size, where.split(ARCHIVE)[1].rstrip(")")))
                continue
            pending = None
        m = SECTION.match(line)
        if not m:
            continue
        if m.group(2) is None:
            pending = m.group(1)  # address, size and file follow on the next line
            continue
        size, where = int(m.group(3), 16), m.group(4)
        if ARCHIVE in where and size > 0:
            out.append((m.group(1), size, where.split(ARCHIVE)[1].rstrip(")")))
    return out


def kind(name):
    for prefix, k in ((".text", "code"), (".rodata", "const"), (".data", "data"), (".bss", "bss"),
                      ("COMMON", "bss")):
        if name == prefix or name.startswith(prefix + "."):
            return k
    return None


def main(argv):
    args = argv[1:]
    if not args:
        sys.exit(__doc__)
    path = args.pop(0)
    label, top, max_flash, max_ram = path, 10, None, None
    while args:
        opt = args.pop(0)
        value = args.pop(0) if args else None
        if opt == "--label":
            label = value
        elif opt == "--top":
            top = int(value)
        elif opt == "--max-flash":
            max_flash = int(value)
        elif opt == "--max-ram":
            max_ram = int(value)
        else:
            sys.exit(f"unknown option {opt}")
    totals = {"code": 0, "const": 0, "data": 0, "bss": 0}
    functions = []
    for name, size, member in library_sections(path):
        k = kind(name)
        if k is None:
            continue
        totals[k] += size
        if k == "code":
            functions.append((size, name[len(".text."):] if name.startswith(".text.") else name, member))
    flash = totals["code"] + totals["const"] + totals["data"]
    ram = totals["data"] + totals["bss"]
    print(f"{label}: flash {flash} (code {totals['code']}, constants {totals['const']}, "
          f"data {totals['data']}), static RAM {ram}")
    if top > 0:
        print("  largest functions (bytes):")
        for size, name, member in sorted(functions, reverse=True)[:top]:
            print(f"    {size:6d} {name} ({member})")
    failed = False
    if max_flash is not None and flash > max_flash:
        print(f"  flash {flash} is past its limit of {max_flash}")
        failed = True
    if max_ram is not None and ram > max_ram:
        print(f"  static RAM {ram} is past its limit of {max_ram}")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
