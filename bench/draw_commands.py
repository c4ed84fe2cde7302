# The companion of bench/draw_commands.cpp: the same 10,000 lines, boxes,
# circles and texts drawn with pycairo and PangoCairo onto an 800x600 image
# (white, like a new Kel image), one layout per text as the dialect makes.
# Prints the best of five runs in milliseconds.
#   python3 bench/draw_commands.py [commands]
import math
import sys
import time

import cairo
import gi

gi.require_version("Pango", "1.0")
gi.require_version("PangoCairo", "1.0")
from gi.repository import Pango, PangoCairo  # noqa: E402

COMMANDS = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
MASK = (1 << 64) - 1


def shapes():
    state = 1
    out = []

    def nxt(r):
        nonlocal state
        state = (state * 6364136223846793005 + 1442695040888963407) & MASK
        return (state >> 33) % r

    for k in range(COMMANDS):
        x, y, u, v, r = nxt(800), nxt(600), nxt(800), nxt(600), nxt(50) + 1
        out.append((k % 4, x, y, u, v, r))
    return out


SHAPES = shapes()
FONT = Pango.FontDescription.from_string("Sans 10")


def draw():
    surface = cairo.ImageSurface(cairo.FORMAT_ARGB32, 800, 600)
    cr = cairo.Context(surface)
    cr.set_source_rgb(1, 1, 1)
    cr.paint()
    cr.set_miter_limit(5)
    cr.set_line_width(1)
    for kind, x, y, u, v, r in SHAPES:
        if kind == 0:
            cr.move_to(x, y)
            cr.line_to(u, v)
            cr.set_source_rgb(0, 0, 0)
            cr.stroke()
        elif kind in (1, 2):
            if kind == 1:
                cr.rectangle(min(x, u), min(y, v), abs(u - x), abs(v - y))
            else:
                cr.arc(x, y, r, 0, 2 * math.pi)
            cr.set_source_rgb(200 / 255, 100 / 255, 50 / 255)
            cr.fill_preserve()
            cr.set_source_rgb(0, 0, 0)
            cr.stroke()
        else:
            layout = PangoCairo.create_layout(cr)
            layout.set_font_description(FONT)
            layout.set_text("drawn text", -1)
            cr.move_to(x, y)
            cr.set_source_rgb(0, 0, 0)
            PangoCairo.show_layout(cr, layout)
    surface.flush()


best = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    draw()
    best = min(best, (time.perf_counter() - t0) * 1000)
print("python pycairo draw %d commands on 800x600: %.1f ms" % (COMMANDS, best))
