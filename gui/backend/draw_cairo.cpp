// draw_cairo: the canvas of one drawing into an image (see the header).
#include "gui/backend/draw_cairo.h"

#include <algorithm>
#include <cmath>

#include "datatypes/image.h"
#include "gui/backend/draw_colour.h"
#include "gui/backend/draw_paths.h"

namespace kel::gui::draw {

namespace {

// cairo measures the miter limit against the whole stroke width; the
// dialect's limit of 10 half-widths is 5 here.
constexpr double miter_limit = 5.0;

uint32_t premultiply(uint32_t word) {
    const uint32_t a = word >> 24;
    if (a == 255) return word;
    if (a == 0) return 0;
    auto channel = [a](uint32_t c) { return (c * a + 127) / 255; };
    return (a << 24) | (channel((word >> 16) & 0xFF) << 16) | (channel((word >> 8) & 0xFF) << 8) |
           channel(word & 0xFF);
}

uint32_t unpremultiply(uint32_t word) {
    const uint32_t a = word >> 24;
    if (a == 255 || a == 0) return a == 0 ? 0 : word;
    auto channel = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
    return (a << 24) | (channel((word >> 16) & 0xFF) << 16) | (channel((word >> 8) & 0xFF) << 8) |
           channel(word & 0xFF);
}

cairo_matrix_t to_cairo(const affine& m) { return cairo_matrix_t{m.a, m.b, m.c, m.d, m.e, m.f}; }

}  // namespace

const PangoFontDescription* font_description(const kel_value*) {
    static PangoFontDescription* standard = nullptr;
    if (!standard) {
        const auto* t = platform::gui_libs::text();
        if (t) standard = t->pango_font_description_from_string("Sans 10");
    }
    return standard;
}

bool canvas::begin(const kel_value* image) {
    t_ = platform::gui_libs::text();
    if (!t_) return false;
    image_ = *image;
    image::pixel_lock lock = image::lock_pixels(image, false);
    width_ = lock.width;
    height_ = lock.height;
    pixels_.resize(static_cast<size_t>(width_) * static_cast<size_t>(height_));
    for (int32_t y = 0; y < height_; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(reinterpret_cast<const char*>(lock.pixels) +
                                                            static_cast<ptrdiff_t>(y) * lock.stride);
        uint32_t* out = pixels_.data() + static_cast<size_t>(y) * width_;
        for (int32_t x = 0; x < width_; ++x) out[x] = premultiply(row[x]);
    }
    image::unlock_pixels(lock);
    surface_ = t_->cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(pixels_.data()),
                                                       CAIRO_FORMAT_ARGB32, width_, height_, width_ * 4);
    if (t_->cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) {
        t_->cairo_surface_destroy(surface_);
        surface_ = nullptr;
        return false;
    }
    cr_ = t_->cairo_create(surface_);
    now_ = state{};
    clips_.clear();
    t_->cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_EVEN_ODD);
    t_->cairo_set_miter_limit(cr_, miter_limit);
    apply_matrix();
    anti_alias(true);
    return true;
}

void canvas::end() {
    if (!cr_) return;
    t_->cairo_destroy(cr_);
    cr_ = nullptr;
    t_->cairo_surface_flush(surface_);
    t_->cairo_surface_destroy(surface_);
    surface_ = nullptr;
    image::pixel_lock lock = image::lock_pixels(&image_, true);
    const int32_t w = std::min(width_, lock.width), h = std::min(height_, lock.height);
    for (int32_t y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(lock.pixels) +
                                                static_cast<ptrdiff_t>(y) * lock.stride);
        const uint32_t* in = pixels_.data() + static_cast<size_t>(y) * width_;
        for (int32_t x = 0; x < w; ++x) row[x] = unpremultiply(in[x]);
    }
    image::unlock_pixels(lock);
    pixels_.clear();
    pixels_.shrink_to_fit();
}

void canvas::restore(const state& saved) {
    const bool clips_changed = saved.clip_count != clips_.size();
    const bool aa_changed = saved.anti_alias != now_.anti_alias;
    now_ = saved;
    if (clips_changed) {
        clips_.resize(std::min(clips_.size(), saved.clip_count));
        apply_clips();
    }
    apply_matrix();
    if (aa_changed) anti_alias(saved.anti_alias);
}

// --- pens and lines -------------------------------------------------------------

void canvas::pen_colour(uint32_t packed) {
    now_.pen_colour = packed;
    if (!now_.text_colour_pinned) now_.text_colour = packed;
    if (now_.line_width == 0) {
        now_.pen_on_before_zero_width = true;
        now_.pen_on = false;
    } else {
        now_.pen_on = true;
    }
}

void canvas::pen_off() {
    now_.pen_on = false;
    if (now_.line_width == 0) now_.pen_on_before_zero_width = false;
}

void canvas::fill_colour(uint32_t packed) {
    now_.fill_colour = packed;
    now_.fill_on = true;
}

void canvas::fill_off() { now_.fill_on = false; }

void canvas::line_width(double width) {
    if (!std::isfinite(width)) width = 0;
    if (width == now_.line_width) return;
    if (width == 0) {
        now_.pen_on_before_zero_width = now_.pen_on;
        now_.pen_on = false;
    } else if (now_.line_width == 0) {
        now_.pen_on = now_.pen_on_before_zero_width;
    }
    now_.line_width = width;
}

void canvas::anti_alias(bool on) {
    now_.anti_alias = on;
    t_->cairo_set_antialias(cr_, on ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
}

void canvas::font(const PangoFontDescription* description, bool has_colour, uint32_t colour) {
    now_.font = description;
    now_.text_colour_pinned = has_colour;
    now_.text_colour = has_colour ? colour : now_.pen_colour;
}

// --- painting -------------------------------------------------------------------

void canvas::set_source(uint32_t packed) {
    const rgba c = unpack_colour(packed);
    t_->cairo_set_source_rgba(cr_, c.r, c.g, c.b, c.a);
}

void canvas::stroke_only() {
    if (!now_.pen_on) {
        t_->cairo_new_path(cr_);
        return;
    }
    set_source(now_.pen_colour);
    t_->cairo_set_line_width(cr_, std::fabs(now_.line_width));
    t_->cairo_set_line_join(cr_, now_.join == join_kind::round   ? CAIRO_LINE_JOIN_ROUND
                                 : now_.join == join_kind::bevel ? CAIRO_LINE_JOIN_BEVEL
                                                                 : CAIRO_LINE_JOIN_MITER);
    t_->cairo_set_line_cap(cr_, now_.cap == cap_kind::round    ? CAIRO_LINE_CAP_ROUND
                                : now_.cap == cap_kind::square ? CAIRO_LINE_CAP_SQUARE
                                                               : CAIRO_LINE_CAP_BUTT);
    bool dashed = false;
    if (!now_.dashes.empty()) {
        std::vector<double> lengths;
        lengths.reserve(now_.dashes.size());
        double total = 0;
        for (double d : now_.dashes) {
            lengths.push_back(std::fabs(d) * now_.line_width);
            total += lengths.back();
        }
        // cairo refuses a pattern whose lengths are all 0: that stays solid.
        if (total > 0 && std::isfinite(total)) {
            t_->cairo_set_dash(cr_, lengths.data(), static_cast<int>(lengths.size()), 0);
            dashed = true;
        }
    }
    if (!dashed) t_->cairo_set_dash(cr_, nullptr, 0, 0);
    t_->cairo_stroke(cr_);
}

void canvas::fill_and_stroke(bool fillable) {
    if (fillable && now_.fill_on) {
        set_source(now_.fill_colour);
        t_->cairo_fill_preserve(cr_);
    }
    stroke_only();
}

void canvas::append_cubics(const std::vector<point>& cubics) {
    for (size_t i = 0; i + 2 < cubics.size(); i += 3)
        t_->cairo_curve_to(cr_, cubics[i].x, cubics[i].y, cubics[i + 1].x, cubics[i + 1].y, cubics[i + 2].x,
                           cubics[i + 2].y);
}

// --- shapes ---------------------------------------------------------------------

bool canvas::drawable(const point* p, int n, double extra) const {
    if (degenerate_ || !std::isfinite(extra)) return false;
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(p[i].x) || !std::isfinite(p[i].y)) return false;
    return true;
}

void canvas::line(const point* p, int n) {
    if (n < 2 || !drawable(p, n)) return;
    t_->cairo_new_path(cr_);
    t_->cairo_move_to(cr_, p[0].x, p[0].y);
    for (int i = 1; i < n; ++i) t_->cairo_line_to(cr_, p[i].x, p[i].y);
    fill_and_stroke(n > 2);
}

void canvas::polygon(const point* p, int n) {
    if (!drawable(p, n)) return;
    t_->cairo_new_path(cr_);
    t_->cairo_move_to(cr_, p[0].x, p[0].y);
    for (int i = 1; i < n; ++i) t_->cairo_line_to(cr_, p[i].x, p[i].y);
    t_->cairo_close_path(cr_);
    fill_and_stroke(true);
}

void canvas::box(point a, point b, double radius) {
    const point corners[2] = {a, b};
    if (!drawable(corners, 2, radius)) return;
    const double x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    const double x1 = std::max(a.x, b.x), y1 = std::max(a.y, b.y);
    t_->cairo_new_path(cr_);
    double r = std::fabs(radius);
    r = std::min({r, (x1 - x0) / 2, (y1 - y0) / 2});
    if (!(r > 0)) {
        t_->cairo_rectangle(cr_, x0, y0, x1 - x0, y1 - y0);
    } else {
        std::vector<point> cubics;
        t_->cairo_move_to(cr_, x0 + r, y0);
        t_->cairo_line_to(cr_, x1 - r, y0);
        ellipse_sweep({x1 - r, y0 + r}, r, r, -M_PI / 2, M_PI / 2, cubics);
        append_cubics(cubics);
        cubics.clear();
        t_->cairo_line_to(cr_, x1, y1 - r);
        ellipse_sweep({x1 - r, y1 - r}, r, r, 0, M_PI / 2, cubics);
        append_cubics(cubics);
        cubics.clear();
        t_->cairo_line_to(cr_, x0 + r, y1);
        ellipse_sweep({x0 + r, y1 - r}, r, r, M_PI / 2, M_PI / 2, cubics);
        append_cubics(cubics);
        cubics.clear();
        t_->cairo_line_to(cr_, x0, y0 + r);
        ellipse_sweep({x0 + r, y0 + r}, r, r, M_PI, M_PI / 2, cubics);
        append_cubics(cubics);
        t_->cairo_close_path(cr_);
    }
    fill_and_stroke(true);
}

void canvas::ellipse(point centre, double rx, double ry) {
    if (!drawable(&centre, 1, rx + ry)) return;
    std::vector<point> cubics;
    ellipse_sweep(centre, std::fabs(rx), std::fabs(ry), 0, 2 * M_PI, cubics);
    t_->cairo_new_path(cr_);
    t_->cairo_move_to(cr_, centre.x + std::fabs(rx), centre.y);
    append_cubics(cubics);
    t_->cairo_close_path(cr_);
    fill_and_stroke(true);
}

void canvas::arc(point centre, double rx, double ry, double start_degrees, double sweep_degrees, bool closed) {
    if (!drawable(&centre, 1, rx + ry + start_degrees + sweep_degrees)) return;
    if (std::fabs(sweep_degrees) >= 359.999) {
        ellipse(centre, rx, ry);
        return;
    }
    double a0 = radians(start_degrees), a1 = radians(start_degrees + sweep_degrees);
    // Angles measured on the screen become the ellipse's parametric angles.
    if (rx != ry) {
        a0 = std::atan2(rx * std::sin(a0), ry * std::cos(a0));
        a1 = std::atan2(rx * std::sin(a1), ry * std::cos(a1));
    }
    const point from{centre.x + std::cos(a0) * rx, centre.y + std::sin(a0) * ry};
    const point to{centre.x + std::cos(a1) * rx, centre.y + std::sin(a1) * ry};
    std::vector<point> cubics;
    elliptic_arc(from, to, rx, ry, std::fabs(sweep_degrees) >= 180, sweep_degrees >= 0, cubics);
    t_->cairo_new_path(cr_);
    if (closed) {
        t_->cairo_move_to(cr_, centre.x, centre.y);
        t_->cairo_line_to(cr_, from.x, from.y);
    } else {
        t_->cairo_move_to(cr_, from.x, from.y);
    }
    append_cubics(cubics);
    if (closed) t_->cairo_close_path(cr_);
    fill_and_stroke(closed);
}

void canvas::curve(const point* p, int n) {
    if (!drawable(p, n)) return;
    t_->cairo_new_path(cr_);
    t_->cairo_move_to(cr_, p[0].x, p[0].y);
    if (n == 3) {
        point c1, c2;
        raise_quadratic(p[0], p[1], p[2], c1, c2);
        t_->cairo_curve_to(cr_, c1.x, c1.y, c2.x, c2.y, p[2].x, p[2].y);
    } else {
        t_->cairo_curve_to(cr_, p[1].x, p[1].y, p[2].x, p[2].y, p[3].x, p[3].y);
    }
    fill_and_stroke(true);
}

void canvas::spline(const point* p, int n, bool closed) {
    if (!drawable(p, n)) return;
    if (n == 2) {
        line(p, 2);
        return;
    }
    std::vector<point> pieces;
    catmull_rom(p, n, closed, pieces);
    t_->cairo_new_path(cr_);
    t_->cairo_move_to(cr_, p[0].x, p[0].y);
    for (const point& q : pieces) t_->cairo_line_to(cr_, q.x, q.y);
    if (closed) t_->cairo_close_path(cr_);
    fill_and_stroke(true);
}

void canvas::text(point at, const std::string& utf8) {
    if (!drawable(&at, 1)) return;
    PangoLayout* layout = t_->pango_cairo_create_layout(cr_);
    if (!layout) return;
    PangoContext* pc = t_->pango_layout_get_context(layout);
    t_->pango_cairo_context_set_resolution(pc, 96.0);
    cairo_font_options_t* options = t_->cairo_font_options_create();
    t_->cairo_font_options_set_antialias(options, now_.anti_alias ? CAIRO_ANTIALIAS_GRAY : CAIRO_ANTIALIAS_NONE);
    t_->pango_cairo_context_set_font_options(pc, options);
    t_->cairo_font_options_destroy(options);
    t_->pango_layout_context_changed(layout);
    const PangoFontDescription* description = now_.font ? now_.font : font_description(nullptr);
    if (description) t_->pango_layout_set_font_description(layout, description);
    t_->pango_layout_set_text(layout, utf8.data(), static_cast<int>(utf8.size()));
    t_->cairo_new_path(cr_);
    t_->cairo_move_to(cr_, at.x, at.y);
    set_source(now_.text_colour);
    t_->pango_cairo_show_layout(cr_, layout);
    t_->cairo_new_path(cr_);
    (t_->g_object_unref)(layout);
}

// --- clips and matrices ---------------------------------------------------------

void canvas::apply_matrix() {
    // cairo stops drawing for good after a singular matrix; such a matrix
    // draws nothing anyway, so the canvas skips shapes until a usable matrix
    // comes back.
    affine inverse = now_.matrix;
    degenerate_ = !invert(inverse);
    if (degenerate_) return;
    const cairo_matrix_t m = to_cairo(now_.matrix);
    t_->cairo_set_matrix(cr_, &m);
}

// Narrows cairo's clip by one device-space polygon (under the identity matrix).
void canvas::clip_to(const clip_polygon& c) {
    t_->cairo_new_path(cr_);
    t_->cairo_move_to(cr_, c.corners[0].x, c.corners[0].y);
    for (int i = 1; i < 4; ++i) t_->cairo_line_to(cr_, c.corners[i].x, c.corners[i].y);
    t_->cairo_close_path(cr_);
    t_->cairo_clip(cr_);
}

void canvas::apply_clips() {
    t_->cairo_reset_clip(cr_);
    t_->cairo_identity_matrix(cr_);
    for (const clip_polygon& c : clips_) clip_to(c);
    apply_matrix();
}

void canvas::clip_rectangle(point a, point b) {
    // A clip under a singular matrix or with a corner that is not finite
    // leaves nothing drawable.
    const point corners[2] = {a, b};
    if (!drawable(corners, 2)) a = b = point{0, 0};
    const affine& m = now_.matrix;
    clip_polygon c{{apply(m, a), apply(m, {b.x, a.y}), apply(m, b), apply(m, {a.x, b.y})}};
    clips_.push_back(c);
    now_.clip_count = clips_.size();
    t_->cairo_identity_matrix(cr_);
    clip_to(c);
    apply_matrix();
}

void canvas::combine(const affine& operation) { set_matrix(then(operation, now_.matrix)); }

void canvas::set_matrix(const affine& m) {
    now_.matrix = m;
    apply_matrix();
}

}  // namespace kel::gui::draw
