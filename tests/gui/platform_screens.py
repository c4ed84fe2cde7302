#!/usr/bin/python3
"""The platform object on the test display: init opens it, the screens are
the monitors xdpyinfo reports (scaled by the desktop's DPI, which
GDK_DPI_SCALE multiplies), the desktop's metrics replace the boot's, and the
script function get-current-screen starts the GUI itself.

usage: platform_screens.py KEL_BINARY   (run under tests/gui/xdisplay.py)"""
import os
import re
import subprocess
import sys
import tempfile

SCRIPT = r"""Kel []
s: get-current-screen
print mold reduce [same? s system/view/screens/1 length? system/view/screens]
print mold reduce [s/offset s/size s/data s/type]
e: first system/view/platform/fetch-all-screens
print mold reduce [e/1 e/2 e/3 handle? e/4]
m: system/view/metrics
print mold reduce [m/dpi m/screen-size select m/misc 'scroller select m/colors 'text select m/colors 'window select m/colors 'panel]
print mold system/view/platform/get-screen-size 0
print system/view/platform/all-windows-closed?
"""
DEADLINE = 120  # guards against a hang only


def xdpyinfo_size():
    out = subprocess.run(["xdpyinfo"], capture_output=True, text=True, check=True).stdout
    w, h = re.search(r"dimensions:\s+(\d+)x(\d+) pixels", out).groups()
    return int(w), int(h)


def main():
    kel = sys.argv[1]
    scale = float(os.environ.get("GDK_DPI_SCALE", "1"))
    dpi = round(96 * scale)
    w, h = xdpyinfo_size()
    logical = "%dx%d" % (int(w / scale), int(h / scale))
    want = [
        "[true 1]",
        "[0x0 %s %s screen]" % (logical, repr(scale)),
        "[0x0 %dx%d %s true]" % (w, h, repr(scale)),
        # the light theme at 96 DPI: the same values the boot publishes
        "[%d %dx%d 15x15 0.0.0 255.255.255 246.245.244]" % (dpi, w * 96 // dpi, h * 96 // dpi),
        "%dx%d" % (w * 96 // dpi, h * 96 // dpi),
        "true",
    ]
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False) as f:
        f.write(SCRIPT)
    try:
        got = subprocess.run([kel, f.name], capture_output=True, text=True, timeout=DEADLINE)
    finally:
        os.unlink(f.name)
    lines = got.stdout.splitlines()
    failed = 0
    if got.returncode != 0:
        print("FAIL status %d: %s" % (got.returncode, got.stderr))
        failed += 1
    for i, line in enumerate(want):
        have = lines[i] if i < len(lines) else "(nothing)"
        if have != line:
            print("FAIL line %d: got %s, want %s" % (i + 1, have, line))
            failed += 1
    print("%d passed, %d failed" % (len(want) - min(failed, len(want)), failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
