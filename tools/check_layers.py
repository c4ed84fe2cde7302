#!/usr/bin/env python3
# check_layers: the CTest entry that keeps includes pointing one way. Every
# `#include "folder/..."` line in the runtime's folders must name a folder of
# the same layer or one below it:
#   platform < kernel < datatypes < services < evaluator < library, console, gui < app
# A lower layer reaches a higher one only through a hook the higher one
# installs at start-up. tests/, bench/ and tools/ sit above every layer and
# are not checked. tools/layer_exceptions.txt lists the upward includes not yet
# turned into hooks ("file: folder/header" per line); the list may only
# shrink: an upward include missing from it fails, and so does a listed one
# that no longer exists. Exit status 1 lists every offending line.
import os
import re
import sys

LAYERS = {
    "platform": 0,
    "kernel": 1,
    "datatypes": 2,
    "services": 3,
    "evaluator": 4,
    "library": 5,
    "console": 5,
    "gui": 5,
    "app": 6,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/')
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".inc")


def offending_lines(root):
    for folder, rank in LAYERS.items():
        top = os.path.join(root, folder)
        for dirpath, _, files in os.walk(top):
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = m.group(1)
                        if target in LAYERS and LAYERS[target] > rank:
                            header = line.split('"')[1]
                            yield os.path.relpath(path, root), number, header


def exceptions(root):
    path = os.path.join(root, "tools", "layer_exceptions.txt")
    listed = set()
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.split("#", 1)[0].strip()
                if line:
                    listed.add(line)
    return listed


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    listed = exceptions(root)
    found = set()
    failures = []
    for path, number, header in offending_lines(root):
        key = f"{path}: {header}"
        found.add(key)
        if key not in listed:
            failures.append(f"{path}:{number}: includes {header}, a higher layer")
    for key in sorted(listed - found):
        failures.append(f"{key}: listed in tools/layer_exceptions.txt but no longer included; remove the line")
    for line in failures:
        print(line)
    if failures:
        return 1
    print(f"includes point one way ({len(found)} listed exception(s) left)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
