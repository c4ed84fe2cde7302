#!/usr/bin/python3
"""`kel` names none of the GUI libraries among the shared objects it needs at
start-up: they are opened at the first drawing, text measure or window, so a
script that uses none of them does not pay for mapping them.

usage: needed_libraries.py KEL_BINARY"""
import re
import subprocess
import sys

GUI_LIBRARIES = re.compile(r"lib(gtk|gdk|gdk_pixbuf|glib|gobject|gio|cairo|pango|harfbuzz|fontconfig|freetype|X11|xcb)[-.]")


def main():
    dynamic = subprocess.run(["readelf", "-d", sys.argv[1]], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    if not needed:
        sys.exit("no NEEDED entries read from readelf")
    linked = [lib for lib in needed if GUI_LIBRARIES.match(lib)]
    for lib in linked:
        print("FAIL kel needs %s at start-up" % lib)
    print("%d passed, %d failed" % (len(needed) - len(linked), len(linked)))
    sys.exit(1 if linked else 0)


if __name__ == "__main__":
    main()
