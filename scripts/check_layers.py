#!/usr/bin/env python3
"""Fails on an include that crosses the source layers the wrong way.

The areas stack as errors < packet < header < package < module: an area may include its own
files and those of the areas below it, never above. Only py_* files may include Python.h, the
datetime API or NumPy, and only py_* files may include another py_* header.

    python3 scripts/check_layers.py [src dir]
"""

from __future__ import annotations

import pathlib
import re
import sys

ORDER = ["errors", "packet", "header", "package", "module"]
PYTHON_HEADERS = re.compile(r"#include\s*<(Python\.h|datetime\.h|numpy/[^>]*)>")
LOCAL = re.compile(r'#include\s*"([a-z_]+)/([^"]+)"')


def problems(src: pathlib.Path) -> list[str]:
    found = []
    for path in sorted(src.rglob("*.[ch]pp")):
        relative = path.relative_to(src)
        area = relative.parts[0]
        is_binding = path.name.startswith("py_")
        for number, line in enumerate(path.read_text().splitlines(), 1):
            where = f"{relative}:{number}"
            if not is_binding and PYTHON_HEADERS.search(line):
                found.append(f"{where}: only py_* files may include {line.split()[1]}")
            match = LOCAL.search(line)
            if not match:
                continue
            target_area, target = match.groups()
            if target_area not in ORDER:
                found.append(f"{where}: includes {target_area}/, which is no source area")
            elif ORDER.index(target_area) > ORDER.index(area):
                found.append(f"{where}: {area}/ may not include {target_area}/{target}")
            if not is_binding and pathlib.PurePath(target).name.startswith("py_"):
                found.append(f"{where}: the core may not include {target_area}/{target}")
    return found


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    found = problems(src)
    for line in found:
        print(line)
    files = sum(1 for _ in src.rglob("*.[ch]pp"))
    print(f"{len(found)} forbidden include(s) in {files} files under {src}/")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
