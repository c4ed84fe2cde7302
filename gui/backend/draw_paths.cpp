// draw_paths: arcs, splines and raised quadratics as points (see the header).
#include "gui/backend/draw_paths.h"

#include <algorithm>
#include <cmath>

namespace kel::gui::draw {

namespace {

// One cubic piece of the unit-circle arc from t0 to t1 (|t1 - t0| <= pi/2),
// stretched onto the ellipse.
void cubic_piece(point centre, double rx, double ry, double t0, double t1, std::vector<point>& cubics) {
    const double k = 4.0 / 3.0 * std::tan((t1 - t0) / 4.0);
    const double c0 = std::cos(t0), s0 = std::sin(t0), c1 = std::cos(t1), s1 = std::sin(t1);
    cubics.push_back({centre.x + rx * (c0 - k * s0), centre.y + ry * (s0 + k * c0)});
    cubics.push_back({centre.x + rx * (c1 + k * s1), centre.y + ry * (s1 - k * c1)});
    cubics.push_back({centre.x + rx * c1, centre.y + ry * s1});
}

}  // namespace

void ellipse_sweep(point centre, double rx, double ry, double t0, double dt, std::vector<point>& cubics) {
    if (!std::isfinite(dt) || !std::isfinite(t0)) return;
    const int pieces = std::max(1, static_cast<int>(std::ceil(std::fabs(dt) / (M_PI / 2) - 1e-9)));
    const double step = dt / pieces;
    for (int i = 0; i < pieces; ++i) cubic_piece(centre, rx, ry, t0 + i * step, t0 + (i + 1) * step, cubics);
}

void elliptic_arc(point from, point to, double rx, double ry, bool large, bool clockwise, std::vector<point>& cubics) {
    rx = std::fabs(rx);
    ry = std::fabs(ry);
    if (from.x == to.x && from.y == to.y) return;
    if (rx == 0 || ry == 0 || !std::isfinite(rx) || !std::isfinite(ry)) {
        cubics.push_back(from);
        cubics.push_back(to);
        cubics.push_back(to);
        return;
    }
    // The centre from the end points: half the chord in the ellipse's
    // unit-circle space, then the centre on the side the flags choose.
    const double hx = (from.x - to.x) / 2, hy = (from.y - to.y) / 2;
    double lambda = (hx * hx) / (rx * rx) + (hy * hy) / (ry * ry);
    if (lambda > 1) {
        const double grow = std::sqrt(lambda);
        rx *= grow;
        ry *= grow;
        lambda = 1;
    }
    const double num = rx * rx * ry * ry - rx * rx * hy * hy - ry * ry * hx * hx;
    const double den = rx * rx * hy * hy + ry * ry * hx * hx;
    double root = den > 0 ? std::sqrt(std::max(0.0, num / den)) : 0;
    if (large == clockwise) root = -root;
    const double cxp = root * rx * hy / ry, cyp = -root * ry * hx / rx;
    const point centre{cxp + (from.x + to.x) / 2, cyp + (from.y + to.y) / 2};
    const double t0 = std::atan2((hy - cyp) / ry, (hx - cxp) / rx);
    const double t1 = std::atan2((-hy - cyp) / ry, (-hx - cxp) / rx);
    double dt = t1 - t0;
    if (clockwise && dt < 0) dt += 2 * M_PI;
    if (!clockwise && dt > 0) dt -= 2 * M_PI;
    ellipse_sweep(centre, rx, ry, t0, dt, cubics);
    // The last point lands exactly on the requested end.
    if (!cubics.empty()) cubics.back() = to;
}

void catmull_rom(const point* p, int n, bool closed, std::vector<point>& out) {
    auto at = [&](int i) -> point {
        if (closed) return p[((i % n) + n) % n];
        return p[std::clamp(i, 0, n - 1)];
    };
    const int segments = closed ? n : n - 1;
    for (int s = 0; s < segments; ++s) {
        const point p0 = at(s - 1), p1 = at(s), p2 = at(s + 1), p3 = at(s + 2);
        for (int k = 1; k <= 25; ++k) {
            const double t = k * 0.04, t2 = t * t, t3 = t2 * t;
            auto blend = [&](double a0, double a1, double a2, double a3) {
                return 0.5 * (2 * a1 + (a2 - a0) * t + (2 * a0 - 5 * a1 + 4 * a2 - a3) * t2 +
                              (3 * (a1 - a2) + a3 - a0) * t3);
            };
            out.push_back({blend(p0.x, p1.x, p2.x, p3.x), blend(p0.y, p1.y, p2.y, p3.y)});
        }
    }
}

void raise_quadratic(point p0, point p1, point p2, point& c1, point& c2) {
    c1 = {p0.x + 2.0 / 3.0 * (p1.x - p0.x), p0.y + 2.0 / 3.0 * (p1.y - p0.y)};
    c2 = {p2.x + 2.0 / 3.0 * (p1.x - p2.x), p2.y + 2.0 / 3.0 * (p1.y - p2.y)};
}

}  // namespace kel::gui::draw
