# draw_shapes: reference renderings for the draw dialect. Each case is a draw
# block and the same figure described once as a path with its stroke style;
# from that description the figure is rendered twice, by rsvg-convert (as
# SVG, miter limit 5, dashes in user units) and by pycairo, and each
# rendering is compared with the image Kel drew, by ImageMagick's
# `compare -metric AE -fuzz 10%`, within a small budget of differing pixels.
#   draw_shapes.py --list             name TAB draw block, one case a line
#   draw_shapes.py NAME KEL.png       compares Kel's drawing of the case
# The closing line is "N passed, N failed"; the exit status is 0 when both
# references agree.
import math
import os
import subprocess
import sys
import tempfile

import cairo

SIZE = 100
BUDGET = 60  # differing pixels allowed: edges anti-aliased a little apart


def arc_op(cx, cy, rx, ry, start, sweep):
    """The arc of the draw dialect (screen angles in degrees, clockwise) as
    parametric angles, with the flags an SVG arc needs."""
    def param(a):
        a = math.radians(a)
        return math.atan2(rx * math.sin(a), ry * math.cos(a)) if rx != ry else a
    t0, t1 = param(start), param(start + sweep)
    if sweep >= 0:
        while t1 <= t0:
            t1 += 2 * math.pi
    else:
        while t1 >= t0:
            t1 -= 2 * math.pi
    return ("A", cx, cy, rx, ry, t0, t1)


def arc_point(op, t):
    _, cx, cy, rx, ry, _, _ = op
    return cx + rx * math.cos(t), cy + ry * math.sin(t)


def catmull_rom(points, closed):
    n = len(points)
    out = [points[0]]
    segments = n if closed else n - 1
    for s in range(segments):
        def at(i):
            return points[i % n] if closed else points[max(0, min(n - 1, i))]
        p0, p1, p2, p3 = at(s - 1), at(s), at(s + 1), at(s + 2)
        for k in range(1, 26):
            t = k * 0.04
            out.append(tuple(0.5 * (2 * b + (c - a) * t + (2 * a - 5 * b + 4 * c - d) * t * t
                                    + (3 * (b - c) + d - a) * t ** 3)
                             for a, b, c, d in zip(p0, p1, p2, p3)))
    return out


def rounded(x0, y0, x1, y1, r):
    return [("M", x0 + r, y0), ("L", x1 - r, y0), arc_op(x1 - r, y0 + r, r, r, -90, 90), ("L", x1, y1 - r),
            arc_op(x1 - r, y1 - r, r, r, 0, 90), ("L", x0 + r, y1), arc_op(x0 + r, y1 - r, r, r, 90, 90),
            ("L", x0, y0 + r), arc_op(x0 + r, y0 + r, r, r, 180, 90), ("Z",)]


def pie(cx, cy, rx, ry, start, sweep):
    op = arc_op(cx, cy, rx, ry, start, sweep)
    return [("M", cx, cy), ("L",) + arc_point(op, op[5]), op, ("Z",)]


def turned(points, degrees, dx, dy):
    a = math.radians(degrees)
    return [(dx + x * math.cos(a) - y * math.sin(a), dy + x * math.sin(a) + y * math.cos(a)) for x, y in points]


def polyline(points, closed=False):
    ops = [("M",) + points[0]] + [("L",) + p for p in points[1:]]
    return ops + [("Z",)] if closed else ops


def case(name, block, ops, width=1.0, join="miter", cap="butt", dashes=None, fill=None):
    return dict(name=name, block=block, ops=ops, width=width, join=join, cap=cap, dashes=dashes, fill=fill)


V = [(15, 80), (50, 20), (85, 80)]
SPLINE = [(10, 50), (35, 15), (65, 85), (90, 40)]
CASES = [
    case("join-miter", "line-width 10 line 15x80 50x20 85x80", polyline(V), 10),
    case("join-round", "line-width 10 line-join round line 15x80 50x20 85x80", polyline(V), 10, "round"),
    case("join-bevel", "line-width 10 line-join bevel line 15x80 50x20 85x80", polyline(V), 10, "bevel"),
    # a miter 7 half-widths long: bevelled under the limit of 5 widths, where a
    # limit of 10 would draw the point
    case("join-sharp", "line-width 6 line 10x60 80x50 10x40", polyline([(10, 60), (80, 50), (10, 40)]), 6),
    case("cap-flat", "line-width 12 line 20x50 80x50", polyline([(20, 50), (80, 50)]), 12),
    case("cap-square", "line-width 12 line-cap square line 20x50 80x50", polyline([(20, 50), (80, 50)]), 12,
         cap="square"),
    case("cap-round", "line-width 12 line-cap round line 20x50 80x50", polyline([(20, 50), (80, 50)]), 12,
         cap="round"),
    case("dashes", "line-width 4 line-pattern 3 2 line 10x50 90x50", polyline([(10, 50), (90, 50)]), 4,
         dashes=[12, 8]),
    case("dashes-join", "line-width 3 line-pattern 4 1 2 line 15x80 50x20 85x80", polyline(V), 3,
         dashes=[12, 3, 6]),
    case("arc-small", "line-width 3 arc 50x50 40x25 30 100", [arc_op(50, 50, 40, 25, 30, 100)], 3),
    case("arc-large", "line-width 3 arc 50x50 40x25 30 200", [arc_op(50, 50, 40, 25, 30, 200)], 3),
    case("arc-back", "line-width 3 arc 50x50 30x40 -20 -230", [arc_op(50, 50, 30, 40, -20, -230)], 3),
    case("arc-closed", "line-width 2 fill-pen 200.40.40 arc 50x50 40x40 10 120 closed",
         pie(50, 50, 40, 40, 10, 120), 2, fill=(200, 40, 40)),
    case("arc-closed-large", "line-width 2 fill-pen 40.40.200 arc 50x50 45x30 200 250 closed",
         pie(50, 50, 45, 30, 200, 250), 2, fill=(40, 40, 200)),
    case("spline-open", "line-width 3 spline 10x50 35x15 65x85 90x40", polyline(catmull_rom(SPLINE, False)), 3),
    case("spline-closed", "line-width 3 spline 10x50 35x15 65x85 90x40 closed",
         polyline(catmull_rom(SPLINE, True), True), 3),
    case("curve-quadratic", "line-width 3 curve 10x90 50x0 90x90", [("M", 10, 90), ("Q", 50, 0, 90, 90)], 3),
    case("curve-cubic", "line-width 3 curve 10x90 20x0 90x10 80x90",
         [("M", 10, 90), ("C", 20, 0, 90, 10, 80, 90)], 3),
    case("box-rounded", "line-width 3 fill-pen 250.200.0 box 10x20 90x80 15", rounded(10, 20, 90, 80, 15), 3,
         fill=(250, 200, 0)),
    case("box-rounded-wide", "line-width 2 box 10x40 90x60 30", rounded(10, 40, 90, 60, 10), 2),
    case("ellipse", "line-width 3 fill-pen 0.160.0 circle 50x50 40 20",
         [arc_op(50, 50, 40, 20, 0, 360), ("Z",)], 3, fill=(0, 160, 0)),
    case("polygon-even-odd", "fill-pen 0.0.200 polygon 10x10 90x10 90x90 10x90 10x10 30x30 70x30 70x70 30x70 30x30",
         polyline([(10, 10), (90, 10), (90, 90), (10, 90), (10, 10), (30, 30), (70, 30), (70, 70), (30, 70),
                   (30, 30)], True), 1, fill=(0, 0, 200)),
    case("rotated-box", "line-width 4 translate 50x50 rotate 30 box -30x-15 30x15",
         polyline(turned([(-30, -15), (30, -15), (30, 15), (-30, 15)], 30, 50, 50), True), 4),
]


def svg_of(c):
    d = []
    for op in c["ops"]:
        k = op[0]
        if k == "A":
            _, cx, cy, rx, ry, t0, t1 = op
            x0, y0 = arc_point(op, t0)
            if not d:
                d.append("M %f %f" % (x0, y0))
            # A full turn is two halves: SVG cannot draw one arc back to its start.
            steps = 2 if abs(t1 - t0) >= 2 * math.pi - 1e-9 else 1
            for i in range(1, steps + 1):
                t = t0 + (t1 - t0) * i / steps
                x, y = arc_point(op, t)
                large = 1 if abs(t1 - t0) / steps > math.pi else 0
                sweep = 1 if t1 > t0 else 0
                d.append("A %f %f 0 %d %d %f %f" % (rx, ry, large, sweep, x, y))
        elif k == "Z":
            d.append("Z")
        else:
            d.append(k + " " + " ".join("%f" % v for v in op[1:]))
    fill = "rgb(%d,%d,%d)" % c["fill"] if c["fill"] else "none"
    dash = ' stroke-dasharray="%s"' % " ".join(str(x) for x in c["dashes"]) if c["dashes"] else ""
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d">'
            '<rect width="%d" height="%d" fill="white"/>'
            '<path d="%s" fill="%s" fill-rule="evenodd" stroke="black" stroke-width="%s" stroke-linejoin="%s"'
            ' stroke-linecap="%s" stroke-miterlimit="5"%s/></svg>'
            % (SIZE, SIZE, SIZE, SIZE, " ".join(d), fill, c["width"], c["join"], c["cap"], dash))


def cairo_render(c, path):
    surface = cairo.ImageSurface(cairo.FORMAT_ARGB32, SIZE, SIZE)
    cr = cairo.Context(surface)
    cr.set_source_rgb(1, 1, 1)
    cr.paint()
    current = None
    for op in c["ops"]:
        k = op[0]
        if k == "M":
            cr.move_to(*op[1:])
            current = op[1:]
        elif k == "L":
            cr.line_to(*op[1:])
            current = op[1:]
        elif k == "C":
            cr.curve_to(*op[1:])
            current = op[5:]
        elif k == "Q":
            (x0, y0), (x1, y1), (x2, y2) = current, op[1:3], op[3:5]
            cr.curve_to(x0 + 2 / 3 * (x1 - x0), y0 + 2 / 3 * (y1 - y0), x2 + 2 / 3 * (x1 - x2),
                        y2 + 2 / 3 * (y1 - y2), x2, y2)
            current = (x2, y2)
        elif k == "A":
            _, cx, cy, rx, ry, t0, t1 = op
            m = cr.get_matrix()
            cr.translate(cx, cy)
            cr.scale(rx, ry)
            (cr.arc if t1 > t0 else cr.arc_negative)(0, 0, 1, t0, t1)
            cr.set_matrix(m)
            current = arc_point(op, t1)
        elif k == "Z":
            cr.close_path()
    cr.set_fill_rule(cairo.FILL_RULE_EVEN_ODD)
    if c["fill"]:
        cr.set_source_rgb(*(v / 255 for v in c["fill"]))
        cr.fill_preserve()
    cr.set_source_rgb(0, 0, 0)
    cr.set_line_width(c["width"])
    cr.set_line_join({"miter": cairo.LINE_JOIN_MITER, "round": cairo.LINE_JOIN_ROUND,
                      "bevel": cairo.LINE_JOIN_BEVEL}[c["join"]])
    cr.set_line_cap({"butt": cairo.LINE_CAP_BUTT, "round": cairo.LINE_CAP_ROUND,
                     "square": cairo.LINE_CAP_SQUARE}[c["cap"]])
    cr.set_miter_limit(5)
    if c["dashes"]:
        cr.set_dash(c["dashes"])
    cr.stroke()
    surface.write_to_png(path)


def differing(a, b):
    p = subprocess.run(["compare", "-metric", "AE", "-fuzz", "10%", a, b, "null:"], capture_output=True, text=True)
    try:
        return int(float(p.stderr.split()[0]))
    except (ValueError, IndexError):
        return 10 ** 9


def main():
    if sys.argv[1:] == ["--list"]:
        for c in CASES:
            print("%s\t%s" % (c["name"], c["block"]))
        return 0
    name, drawn = sys.argv[1], sys.argv[2]
    c = next(c for c in CASES if c["name"] == name)
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        svg, by_svg, by_cairo = (os.path.join(tmp, f) for f in ("case.svg", "svg.png", "cairo.png"))
        with open(svg, "w") as f:
            f.write(svg_of(c))
        subprocess.run(["rsvg-convert", "-o", by_svg, svg], check=True)
        cairo_render(c, by_cairo)
        for label, ref in (("rsvg-convert", by_svg), ("pycairo", by_cairo)):
            n = differing(drawn, ref)
            if n > BUDGET:
                failed += 1
                print("%s: %d pixels differ from %s" % (name, n, label))
    print("%d passed, %d failed" % (2 - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
