// draw_paths: the geometry of the draw dialect's curved figures, as plain
// points (no cairo here): elliptic arcs between two points as cubic Bézier
// pieces, Catmull-Rom splines as polylines, quadratic curves raised to
// cubic ones, and the rounded box and ellipse outlines built from those.
// The back end (draw_cairo) feeds the points to its path.
#pragma once

#include <vector>

#include "gui/backend/draw_matrix.h"

namespace kel::gui::draw {

// An elliptic arc (axes along x and y) from `from` to `to` with radii rx, ry:
// the larger of the two possible arcs with `large`, running clockwise on the
// y-down target with `clockwise`. Radii too small to reach are scaled up as
// far as needed; a zero radius makes the arc a straight line. Appends cubic
// pieces as three points each (control 1, control 2, end).
void elliptic_arc(point from, point to, double rx, double ry, bool large, bool clockwise, std::vector<point>& cubics);

// The arc of the ellipse around `centre` from parametric angle t0 through
// the signed sweep dt (radians): cubic pieces of at most 90 degrees each.
void ellipse_sweep(point centre, double rx, double ry, double t0, double dt, std::vector<point>& cubics);

// A Catmull-Rom curve through the points (at least three), each segment
// made of 25 straight pieces; the start point is not repeated in `out`.
// Open: the end points are their own outer neighbours; closed: neighbours
// wrap and the closing segments back to the first point are added.
void catmull_rom(const point* points, int count, bool closed, std::vector<point>& out);

// The cubic control points of the quadratic curve p0 -> p2 with control p1.
void raise_quadratic(point p0, point p1, point p2, point& c1, point& c2);

}  // namespace kel::gui::draw
