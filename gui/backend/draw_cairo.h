// draw_cairo: the draw dialect's back end on cairo, drawing into images
// without a display. A `canvas` lives from begin to end of one drawing: it
// copies the image's straight-alpha pixels premultiplied into a cairo ARGB32
// surface, keeps the drawing state (pens, line settings, font, matrix,
// clips, anti-aliasing) in one plain struct that `push` saves by value, and
// at the end writes the surface back un-premultiplied. The walker
// (draw_walker) calls one member per command; the curved geometry comes
// from draw_paths, the colours and matrices from draw_colour and
// draw_matrix. cairo and Pango are reached only through the text() table of
// platform/gui_libs.h.
//
// State is never kept in cairo's own save stack: the matrix, anti-aliasing
// and clips are re-applied from `state`, so restoring a saved state cannot
// disagree with what cairo holds. Clips are device-space polygons, each one
// narrowing the clip in force.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gui/backend/draw_matrix.h"
#include "kernel/value.h"
#include "platform/gui_libs.h"

namespace kel::gui::draw {

enum class join_kind : uint8_t { miter, miter_bevel, round, bevel };
enum class cap_kind : uint8_t { flat, square, round };

struct clip_polygon {
    point corners[4];
};

struct state {
    uint32_t pen_colour = 0;  // packed (draw_colour.h): opaque black
    uint32_t fill_colour = 0;
    uint32_t text_colour = 0;
    bool pen_on = true;
    bool fill_on = false;
    bool pen_on_before_zero_width = true;  // what a non-zero width brings back
    bool text_colour_pinned = false;
    bool anti_alias = true;
    join_kind join = join_kind::miter;
    cap_kind cap = cap_kind::flat;
    double line_width = 1.0;
    std::vector<double> dashes;  // in multiples of the line width
    affine matrix;
    const PangoFontDescription* font = nullptr;  // borrowed; null: the default
    size_t clip_count = 0;
};

class canvas {
public:
    canvas() = default;
    canvas(const canvas&) = delete;
    canvas& operator=(const canvas&) = delete;
    ~canvas() { end(); }

    // Starts drawing on the image (a cell that stays rooted until end); false
    // when cairo cannot be opened or the surface cannot be made.
    bool begin(const kel_value* image);
    // Writes the pixels back and releases everything; runs once.
    void end();

    // State.
    state save() const { return now_; }
    void restore(const state& saved);

    // Pens and lines.
    void pen_colour(uint32_t packed);
    void pen_off();
    void fill_colour(uint32_t packed);
    void fill_off();
    void line_width(double width);
    void line_join(join_kind join) { now_.join = join; }
    void line_cap(cap_kind cap) { now_.cap = cap; }
    void line_pattern(std::vector<double> dashes) { now_.dashes = std::move(dashes); }
    void anti_alias(bool on);
    void font(const PangoFontDescription* description, bool has_colour, uint32_t colour);

    // Shapes.
    void line(const point* points, int count);
    void polygon(const point* points, int count);
    void box(point a, point b, double radius);
    void ellipse(point centre, double rx, double ry);
    void arc(point centre, double rx, double ry, double start_degrees, double sweep_degrees, bool closed);
    void curve(const point* points, int count);
    void spline(const point* points, int count, bool closed);
    void text(point at, const std::string& utf8);

    // Clips and matrices.
    void clip_rectangle(point a, point b);
    void combine(const affine& operation);
    void set_matrix(const affine& m);
    const affine& matrix() const { return now_.matrix; }

private:
    // False when nothing can be drawn: a singular matrix or a coordinate
    // that is not finite (cairo would stop drawing for good).
    bool drawable(const point* points, int count, double extra = 0) const;
    void apply_matrix();
    void apply_clips();
    void clip_to(const clip_polygon& c);
    void fill_and_stroke(bool fillable);
    void stroke_only();
    void set_source(uint32_t packed);
    void append_cubics(const std::vector<point>& cubics);

    const platform::gui_libs::text_table* t_ = nullptr;
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    std::vector<uint32_t> pixels_;
    kel_value image_{};
    int32_t width_ = 0, height_ = 0;
    state now_;
    std::vector<clip_polygon> clips_;
    bool degenerate_ = false;  // the matrix is singular: shapes are skipped
};

// The font description `font` and `text` use for a font object: the default
// face until font objects carry descriptions of their own.
const PangoFontDescription* font_description(const kel_value* font_object);

}  // namespace kel::gui::draw
