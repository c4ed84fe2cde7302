// draw_matrix: the 2D affine matrices of the draw dialect, in the row-vector
// convention the dialect's `matrix [a b c d e f]` is written in: a point
// (x, y) maps to (a x + c y + e, b x + d y + f). The drawing matrix, the
// clip corners and the tests all go through these helpers, so the cairo back
// end converts in one place (to_cairo) and nowhere else guesses an order.
//
// `then(first, second)` is the matrix that applies `first` and then
// `second`. A draw command's new matrix N is combined with the current K as
// then(N, K): the new operation acts in the current local coordinates.
// Angles are degrees, growing clockwise on the y-down target.
#pragma once

#include <cmath>

namespace kel::gui::draw {

struct affine {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
};

struct point {
    double x = 0, y = 0;
};

inline point apply(const affine& m, point p) { return {m.a * p.x + m.c * p.y + m.e, m.b * p.x + m.d * p.y + m.f}; }

inline affine then(const affine& first, const affine& second) {
    const affine& n = first;
    const affine& k = second;
    return {n.a * k.a + n.b * k.c,       n.a * k.b + n.b * k.d,       n.c * k.a + n.d * k.c,
            n.c * k.b + n.d * k.d,       n.e * k.a + n.f * k.c + k.e, n.e * k.b + n.f * k.d + k.f};
}

inline double radians(double degrees) { return degrees * (M_PI / 180.0); }

inline affine translation(double x, double y) { return {1, 0, 0, 1, x, y}; }

// Rotation by `degrees` about `centre`.
inline affine rotation(double degrees, point centre) {
    const double r = radians(degrees);
    const double s = std::sin(r), co = std::cos(r);
    return {co, s, -s, co, centre.x - co * centre.x + s * centre.y, centre.y - s * centre.x - co * centre.y};
}

inline affine scaling(double sx, double sy, point centre) {
    return {sx, 0, 0, sy, centre.x - sx * centre.x, centre.y - sy * centre.y};
}

// Skew by the angles about `centre`: x moves by tan(ax) per unit of y, y by
// tan(ay) per unit of x.
inline affine skewing(double ax, double ay, point centre) {
    const double tx = std::tan(radians(ax)), ty = std::tan(radians(ay));
    return {1, ty, tx, 1, -centre.y * tx, -centre.x * ty};
}

// The inverse, or false (and `m` untouched) when the matrix is singular or
// not finite.
inline bool invert(affine& m) {
    const double det = m.a * m.d - m.b * m.c;
    if (det == 0 || !std::isfinite(det)) return false;
    const double inv = 1.0 / det;
    const affine r{m.d * inv,
                   -m.b * inv,
                   -m.c * inv,
                   m.a * inv,
                   (m.c * m.f - m.d * m.e) * inv,
                   (m.b * m.e - m.a * m.f) * inv};
    if (!std::isfinite(r.a) || !std::isfinite(r.b) || !std::isfinite(r.c) || !std::isfinite(r.d) ||
        !std::isfinite(r.e) || !std::isfinite(r.f))
        return false;
    m = r;
    return true;
}

}  // namespace kel::gui::draw
