#!/usr/bin/env bash
# Prints the include graph between the source folders and checks that it
# runs one way: each folder includes only folders of its own layer or below,
#   base, json -> platform -> project -> music, media -> export, publish
#   -> editor -> app -> main.cpp, tools
# and that no two folders include each other. Exit status 1 on a violation.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 - "$@" <<'PY'
import os, re, sys
layer = {"base": 0, "json": 0, "platform": 1, "project": 2, "music": 3, "media": 3,
         "export": 4, "publish": 4, "editor": 5, "app": 6, "main": 7, "tools": 7}
edges = {}
def folder_of(path):
    parts = path.split("/")
    if parts[0] == "tools": return "tools"
    return parts[1] if len(parts) > 2 else "main"
for top in ("src", "tools"):
    for root, _, names in os.walk(top):
        for name in names:
            if not name.endswith((".cpp", ".h")): continue
            path = os.path.join(root, name)
            here = folder_of(path)
            with open(path, errors="replace") as text:
                for line in text:
                    m = re.match(r'#include "([^"/]+)/', line)
                    if m and m.group(1) != here:
                        edges.setdefault((here, m.group(1)), []).append(path)
bad = 0
for (a, b), paths in sorted(edges.items()):
    note = ""
    if b not in layer or layer[b] > layer[a]:
        note = "  <- upward"; bad = 1
    elif (b, a) in edges:
        note = "  <- circle"; bad = 1
    print(f"{a:8} -> {b:8} ({len(paths)} includes){note}")
    if note:
        for p in paths: print("           " + p)
sys.exit(bad)
PY
