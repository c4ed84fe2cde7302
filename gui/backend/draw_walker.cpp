// draw_walker: the draw dialect's walker and entry points (see the header).
//
// The command words are interned once per drawing into a table of canonical
// symbols, so `Box` and `box` are the same command. Each command reads its
// arguments through the small readers below: a required argument that is
// missing or of another type raises `draw-invalid` at its position, an
// optional one is taken only when the next value has its type. Words are
// resolved to their values only where a command says so. The commands of
// gradients, patterns, bitmaps, images, shadows and shape paths are checked
// here in full and then refused as not done yet.
#include "gui/backend/draw_walker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/image.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "gui/backend/draw_cairo.h"
#include "gui/backend/draw_colour.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/ownership.h"
#include "kernel/print.h"
#include "kernel/stack.h"
#include "library/boot.h"
#include "platform/gui_libs.h"

namespace kel::gui {

namespace {

using draw::point;

// The words the walker knows, in the order of `word_id`.
constexpr const char* word_names[] = {
    "pen", "fill-pen", "line", "box", "line-width", "line-join", "line-cap", "line-pattern", "triangle",
    "polygon", "circle", "ellipse", "anti-alias", "font", "text", "arc", "curve", "spline", "image", "shadow",
    "clip", "shape", "rotate", "scale", "translate", "skew", "transform", "push", "matrix", "reset-matrix",
    "invert-matrix",
    // not commands: arguments
    "off", "closed", "miter", "miter-bevel", "round", "bevel", "square", "flat", "linear", "radial", "diamond",
    "pattern", "bitmap", "pad", "repeat", "reflect", "tile", "flip-x", "flip-y", "flip-xy", "clamp", "border",
    "crop", "inset", "replace", "intersect", "union", "xor", "exclude"};
enum word_id : int {
    w_pen, w_fill_pen, w_line, w_box, w_line_width, w_line_join, w_line_cap, w_line_pattern, w_triangle,
    w_polygon, w_circle, w_ellipse, w_anti_alias, w_font, w_text, w_arc, w_curve, w_spline, w_image, w_shadow,
    w_clip, w_shape, w_rotate, w_scale, w_translate, w_skew, w_transform, w_push, w_matrix, w_reset_matrix,
    w_invert_matrix,
    command_count,
    w_off = command_count, w_closed, w_miter, w_miter_bevel, w_round, w_bevel, w_square, w_flat, w_linear,
    w_radial, w_diamond, w_pattern, w_bitmap, w_pad, w_repeat, w_reflect, w_tile, w_flip_x, w_flip_y, w_flip_xy,
    w_clamp, w_border, w_crop, w_inset, w_replace, w_intersect, w_union, w_xor, w_exclude,
    word_count
};
static_assert(sizeof word_names / sizeof word_names[0] == word_count);

// Thrown past the walk when system/view/silent? asks a failing walk to stop
// without an error.
struct quiet_stop {};

bool silent_q() {
    const kel_value* silent = boot::system_field("view", "silent?");
    return silent && logic::truthy(silent);
}

struct walker {
    draw::canvas& canvas;
    bool report_only;
    int base_depth;  // the cycle stack's depth when the drawing began
    uint32_t ids[word_count];

    // The block being walked and the position of the value being read.
    kel_value block{};
    int32_t tail = 0;

    // --- errors -------------------------------------------------------------------
    [[noreturn]] void raise(const char* id, const kel_value* arg) {
        const kel_value copy = *arg;
        const int extra = cycles::depth() - base_depth;
        if (extra > 0) cycles::pop_n(extra);
        if (silent_q()) throw quiet_stop{};
        fire(error_category::script, id, &copy);
    }
    [[noreturn]] void invalid_at(int32_t index) {
        const kel_value* v = index < tail ? block::ks_abs_at(&block, index) : nullptr;
        if (v && type_of(v) == types::block && series_node(v) == series_node(&block)) raise("draw-infinite", v);
        kel_value at = block;
        set_series_head(&at, index);
        raise("draw-invalid", &at);
    }

    // --- readers ------------------------------------------------------------------
    const kel_value* at(int32_t i) const { return i < tail ? block::ks_abs_at(&block, i) : nullptr; }
    static bool point_q(const kel_value* v) {
        return v && (type_of(v) == types::pair || type_of(v) == types::point2d);
    }
    static bool number_q(const kel_value* v) {
        return v && (type_of(v) == types::integer || type_of(v) == types::float_);
    }
    static bool scale_q(const kel_value* v) { return number_q(v) || (v && type_of(v) == types::percent); }
    static double number_of(const kel_value* v) {
        return type_of(v) == types::integer ? static_cast<double>(get_integer(v)) : get_float(v);
    }
    static point point_of(const kel_value* v) {
        if (type_of(v) == types::pair) return {static_cast<double>(pair_x(v)), static_cast<double>(pair_y(v))};
        return {get_float32(v, 1), get_float32(v, 2)};
    }
    int word_of(const kel_value* v) const {
        if (!v || type_of(v) != types::word) return -1;
        const uint32_t sym = symbol::resolve(word_symbol(v));
        for (int k = 0; k < word_count; ++k)
            if (ids[k] == sym) return k;
        return -2;  // a word, none of the dialect's
    }
    bool word_is(const kel_value* v, int id) const {
        return v && type_of(v) == types::word && symbol::resolve(word_symbol(v)) == ids[id];
    }
    // The value of a word, or null when it has none.
    static const kel_value* value_of(const kel_value* word) {
        const kel_value* slot = _context::bound_slot(word);
        return slot && !unset_q(slot) ? slot : nullptr;
    }
    // A colour: a tuple, or (with `words`) a word whose value is a tuple.
    bool colour_q(const kel_value* v, bool words, uint32_t* packed = nullptr) const {
        uint32_t p = 0;
        if (!v) return false;
        if (type_of(v) == types::word && words) v = value_of(v);
        if (!v || !draw::pack_colour(v, p)) return false;
        if (packed) *packed = p;
        return true;
    }

    point need_point(int32_t& i) {
        const kel_value* v = at(i);
        if (!point_q(v)) invalid_at(i);
        return point_of(block::ks_abs_at(&block, i++));
    }
    double need_number(int32_t& i) {
        const kel_value* v = at(i);
        if (!number_q(v)) invalid_at(i);
        ++i;
        return number_of(v);
    }
    double need_scale(int32_t& i) {
        const kel_value* v = at(i);
        if (!scale_q(v)) invalid_at(i);
        ++i;
        return type_of(v) == types::percent ? get_float(v) : number_of(v);
    }
    int need_word(int32_t& i) {
        const kel_value* v = at(i);
        if (!v || type_of(v) != types::word) invalid_at(i);
        ++i;
        return word_of(v);
    }
    kel_value need_block(int32_t& i) {
        const kel_value* v = at(i);
        if (!v || type_of(v) != types::block) invalid_at(i);
        ++i;
        return *v;
    }
    bool maybe_point(int32_t& i, point& p) {
        const kel_value* v = at(i);
        if (!point_q(v)) return false;
        p = point_of(v);
        ++i;
        return true;
    }
    bool maybe_number(int32_t& i, double& d) {
        const kel_value* v = at(i);
        if (!number_q(v)) return false;
        d = number_of(v);
        ++i;
        return true;
    }
    bool maybe_block(int32_t& i, kel_value& b) {
        const kel_value* v = at(i);
        if (!v || type_of(v) != types::block) return false;
        b = *v;
        ++i;
        return true;
    }
    bool maybe_word(int32_t& i, int id) {
        if (!word_is(at(i), id)) return false;
        ++i;
        return true;
    }
    // All the points that follow.
    void points(int32_t& i, std::vector<point>& out) {
        out.clear();
        point p;
        while (maybe_point(i, p)) out.push_back(p);
    }
    // The optional target 'pen or 'fill-pen of a matrix command; another
    // lit-word is refused.
    bool maybe_target(int32_t& i) {
        const kel_value* v = at(i);
        if (!v || type_of(v) != types::lit_word) return false;
        const uint32_t sym = symbol::resolve(word_symbol(v));
        if (sym != ids[w_pen] && sym != ids[w_fill_pen]) invalid_at(i);
        ++i;
        return true;
    }

    [[noreturn]] static void not_done() { fire(error_category::internal, "not-done"); }

    // --- walking ------------------------------------------------------------------
    void walk(const kel_value* commands);
    int32_t command(int id, int32_t i);
    int32_t pen(bool fill, int32_t i);
    int32_t gradient(int32_t i);
    int32_t image(int32_t i);
    int32_t shadow(int32_t i);
    int32_t clip(int32_t i);
    int32_t matrix_command(int id, int32_t i);

    // Draws a nested block with the state saved around it; the state comes
    // back whatever the inner walk did.
    template <class Setup>
    void nested(const kel_value& inner, Setup&& setup) {
        const draw::state saved = canvas.save();
        const kel_value outer = block;
        const int32_t outer_tail = tail;
        try {
            setup();
            walk(&inner);
        } catch (...) {
            canvas.restore(saved);
            block = outer;
            tail = outer_tail;
            throw;
        }
        canvas.restore(saved);
        block = outer;
        tail = outer_tail;
    }
};

void walker::walk(const kel_value* commands) {
    const kel_value here = *commands;
    const uint32_t node = series_node(&here);
    if (cycles::find_q(node)) raise("draw-infinite", &here);
    cycles::push(node);
    const kel_value outer = block;
    const int32_t outer_tail = tail;
    block = here;
    const int32_t length = block::ks_length_q(&here);
    const int32_t head = series_head(&here);
    tail = length > 0 ? head + length : head;
    for (int32_t i = head; i < tail;) {
        const kel_value* v = block::ks_abs_at(&block, i);
        switch (type_of(v)) {
            case types::word: {
                const int id = word_of(v);
                if (id < 0 || id >= command_count) invalid_at(i);
                i = command(id, i + 1);
                break;
            }
            case types::set_word: {
                // The word keeps the block at the value after it, so a script
                // can find and change the command's arguments.
                kel_value word = *v;
                kel_value after = block;
                set_series_head(&after, i + 1);
                _context::set_bound(&word, &after);
                ++i;
                // An owner's change handler may have shortened the block.
                tail = std::min(tail, head + std::max(block::ks_length_q(&here), 0));
                break;
            }
            case types::block: {
                const kel_value inner = *v;
                walk(&inner);
                block = here;
                tail = length > 0 ? head + length : head;
                ++i;
                break;
            }
            default:
                invalid_at(i);
        }
    }
    block = outer;
    tail = outer_tail;
    cycles::pop();
}

int32_t walker::command(int id, int32_t i) {
    std::vector<point> pts;
    switch (id) {
        case w_pen:
        case w_fill_pen:
            return pen(id == w_fill_pen, i);
        case w_line: {
            const int32_t start = i;
            points(i, pts);
            if (pts.size() == 1) invalid_at(start + 1);
            canvas.line(pts.data(), static_cast<int>(pts.size()));
            return i;
        }
        case w_box: {
            const point a = need_point(i), b = need_point(i);
            double radius = 0;
            maybe_number(i, radius);
            canvas.box(a, b, radius);
            return i;
        }
        case w_line_width:
            canvas.line_width(need_number(i));
            return i;
        case w_line_join: {
            const int w = need_word(i);
            canvas.line_join(w == w_round ? draw::join_kind::round
                             : w == w_bevel ? draw::join_kind::bevel
                             : w == w_miter_bevel ? draw::join_kind::miter_bevel
                                                  : draw::join_kind::miter);
            return i;
        }
        case w_line_cap: {
            const int w = need_word(i);
            canvas.line_cap(w == w_round ? draw::cap_kind::round
                            : w == w_square ? draw::cap_kind::square
                                            : draw::cap_kind::flat);
            return i;
        }
        case w_line_pattern: {
            std::vector<double> dashes;
            for (const kel_value* v = at(i); v && type_of(v) == types::integer; v = at(++i))
                dashes.push_back(get_integer(v));
            canvas.line_pattern(std::move(dashes));
            return i;
        }
        case w_triangle: {
            const point p[3] = {need_point(i), need_point(i), need_point(i)};
            canvas.polygon(p, 3);
            return i;
        }
        case w_polygon: {
            points(i, pts);
            if (pts.size() < 3) invalid_at(i);
            canvas.polygon(pts.data(), static_cast<int>(pts.size()));
            return i;
        }
        case w_circle: {
            const point c = need_point(i);
            const double rx = need_number(i);
            double ry = rx;
            maybe_number(i, ry);
            canvas.ellipse(c, rx, ry);
            return i;
        }
        case w_ellipse: {
            const point corner = need_point(i), size = need_point(i);
            canvas.ellipse({corner.x + size.x / 2, corner.y + size.y / 2}, size.x / 2, size.y / 2);
            return i;
        }
        case w_anti_alias:
            canvas.anti_alias(need_word(i) != w_off);
            return i;
        case w_font: {
            const kel_value* v = at(i);
            if (v && type_of(v) == types::word) v = value_of(v);
            if (!v || type_of(v) != types::object) invalid_at(i);
            ++i;
            const kel_value font = *v;
            const kel_value colour_word = *word::from_c_string("color");
            const int32_t field = object::index_of_word(&font, &colour_word);
            uint32_t colour = 0;
            const bool pinned = field >= 0 && draw::pack_colour(object::get_values(&font) + field, colour);
            canvas.font(draw::font_description(&font), pinned, colour);
            return i;
        }
        case w_text: {
            const point p = need_point(i);
            const kel_value* v = at(i);
            if (!v || (type_of(v) != types::string && type_of(v) != types::object)) invalid_at(i);
            ++i;
            if (type_of(v) == types::object) not_done();  // face text layouts come with the faces
            kel_value text = *v;
            int32_t count = -1;
            const char* utf8 = unicode::to_utf8(&text, &count);
            canvas.text(p, std::string(utf8, static_cast<size_t>(count)));
            return i;
        }
        case w_arc: {
            const point c = need_point(i), r = need_point(i);
            const double start = need_number(i), sweep = need_number(i);
            const bool closed = maybe_word(i, w_closed);
            canvas.arc(c, r.x, r.y, start, sweep, closed);
            return i;
        }
        case w_curve: {
            pts.push_back(need_point(i));
            pts.push_back(need_point(i));
            pts.push_back(need_point(i));
            point p;
            if (maybe_point(i, p)) pts.push_back(p);
            canvas.curve(pts.data(), static_cast<int>(pts.size()));
            return i;
        }
        case w_spline: {
            points(i, pts);
            if (pts.size() < 2) invalid_at(i);
            const bool closed = maybe_word(i, w_closed);
            canvas.spline(pts.data(), static_cast<int>(pts.size()), closed);
            return i;
        }
        case w_image:
            return image(i);
        case w_shadow:
            return shadow(i);
        case w_clip:
            return clip(i);
        case w_shape:
            need_block(i);
            not_done();
        case w_push: {
            const kel_value inner = need_block(i);
            nested(inner, [] {});
            return i;
        }
        default:
            return matrix_command(id, i);
    }
}

// pen and fill-pen: off, a colour, a gradient, a pattern or a bitmap.
int32_t walker::pen(bool fill, int32_t i) {
    const kel_value* v = at(i);
    if (!v) invalid_at(i);
    uint32_t packed = 0;
    const int w = word_of(v);
    if (w == w_off) {
        fill ? canvas.fill_off() : canvas.pen_off();
        return i + 1;
    }
    if (w == w_linear || w == w_radial || w == w_diamond) return gradient(i + 1);
    if (w == w_pattern) {
        ++i;
        need_point(i);
        point p;
        if (maybe_point(i, p)) maybe_point(i, p);
        const int tile = word_of(at(i));
        if (tile >= w_tile && tile <= w_clamp) ++i;
        need_block(i);
        not_done();
    }
    if (w == w_bitmap) {
        ++i;
        const kel_value* word = at(i);
        const kel_value* image = word && type_of(word) == types::word ? value_of(word) : nullptr;
        if (!image || type_of(image) != types::image) invalid_at(i);
        ++i;
        point p;
        if (maybe_point(i, p)) maybe_point(i, p);
        const int tile = word_of(at(i));
        if (tile >= w_tile && tile <= w_clamp) ++i;
        not_done();
    }
    if (!colour_q(v, true, &packed)) invalid_at(i);
    fill ? canvas.fill_colour(packed) : canvas.pen_colour(packed);
    return i + 1;
}

// The gradient forms after `linear`, `radial` or `diamond` (at `i - 1`).
int32_t walker::gradient(int32_t i) {
    const int kind = word_of(at(i - 1));
    const kel_value* v = at(i);
    double d;
    point p;
    if (point_q(v)) {
        // Positional: offset, start and end along the axis, up to three
        // numbers, then colours with optional offsets.
        ++i;
        for (int k = 0; k < 2; ++k) {
            const kel_value* n = at(i);
            if (!n || type_of(n) != types::integer) invalid_at(i);
            ++i;
        }
        for (int k = 0; k < 3 && maybe_number(i, d); ++k) {
        }
        int colours = 0;
        while (colour_q(at(i), true)) {
            ++i;
            ++colours;
            const kel_value* o = at(i);
            if (o && type_of(o) == types::float_) ++i;
        }
        if (colours < 2) invalid_at(i);
        not_done();
    }
    int colours = 0;
    while (colour_q(at(i), true)) {
        ++i;
        ++colours;
        const kel_value* o = at(i);
        if (o && type_of(o) == types::float_) ++i;
    }
    if (colours < 2) invalid_at(i);
    if (maybe_point(i, p)) {
        if (kind == w_radial) {
            need_number(i);
        } else {
            need_point(i);
        }
        if (kind != w_linear) maybe_point(i, p);
    }
    const int spread = word_of(at(i));
    if (spread == w_pad || spread == w_repeat || spread == w_reflect) ++i;
    not_done();
}

int32_t walker::image(int32_t i) {
    const kel_value* v = at(i);
    if (v && type_of(v) == types::word) v = value_of(v);
    if (!v || type_of(v) != types::image) invalid_at(i);
    ++i;
    std::vector<point> pts;
    points(i, pts);
    if (colour_q(at(i), true)) ++i;
    if (!maybe_word(i, w_border) && maybe_word(i, w_crop)) {
        need_point(i);
        need_point(i);
    }
    not_done();
}

int32_t walker::shadow(int32_t i) {
    if (maybe_word(i, w_off)) not_done();
    const kel_value* v = at(i);
    if (!v || type_of(v) != types::pair) invalid_at(i);
    ++i;
    for (int k = 0; k < 2; ++k) {
        const kel_value* n = at(i);
        if (!n || type_of(n) != types::integer) break;
        ++i;
    }
    const kel_value* c = at(i);
    const int w = word_of(c);
    if (c && type_of(c) == types::tuple) {
        if (!colour_q(c, false)) invalid_at(i);
        ++i;
    } else if (w == -2 || (w >= 0 && w != w_inset && w >= command_count)) {
        // A word that is neither a command nor `inset` must hold a colour.
        if (!colour_q(c, true)) invalid_at(i);
        ++i;
    }
    maybe_word(i, w_inset);
    not_done();
}

int32_t walker::clip(int32_t i) {
    const kel_value* v = at(i);
    const bool shape = v && type_of(v) == types::block;
    point a, b;
    if (shape) {
        ++i;
    } else {
        a = need_point(i);
        b = need_point(i);
    }
    const int mode = word_of(at(i));
    if (mode >= w_replace && mode <= w_exclude) ++i;
    kel_value inner;
    const bool has_block = maybe_block(i, inner);
    if (shape) not_done();  // shape paths come with the shape dialect
    if (has_block) {
        nested(inner, [&] { canvas.clip_rectangle(a, b); });
    } else {
        canvas.clip_rectangle(a, b);
    }
    return i;
}

int32_t walker::matrix_command(int id, int32_t i) {
    // With a target the operation changes a brush's own transform; solid
    // brushes have none, so it leaves the drawing as it is.
    const bool target = maybe_target(i);
    draw::affine op;
    bool reset = false, inverse = false;
    point p;
    switch (id) {
        case w_rotate: {
            const double angle = need_number(i);
            point centre;
            maybe_point(i, centre);
            op = draw::rotation(angle, centre);
            break;
        }
        case w_scale: {
            const double sx = need_scale(i), sy = need_scale(i);
            point centre;
            maybe_point(i, centre);
            op = draw::scaling(sx, sy, centre);
            break;
        }
        case w_translate:
            p = need_point(i);
            op = draw::translation(p.x, p.y);
            break;
        case w_skew: {
            const double ax = need_number(i);
            double ay = 0;
            maybe_number(i, ay);
            point centre;
            maybe_point(i, centre);
            op = draw::skewing(ax, ay, centre);
            break;
        }
        case w_transform: {
            point centre;
            maybe_point(i, centre);
            const double angle = need_number(i);
            const double sx = need_scale(i), sy = need_scale(i);
            p = need_point(i);
            op = draw::then(draw::translation(p.x, p.y),
                            draw::then(draw::scaling(sx, sy, {}), draw::rotation(angle, centre)));
            break;
        }
        case w_matrix: {
            const int32_t at_block = i;
            const kel_value m = need_block(i);
            double six[6];
            if (block::ks_length_q(&m) != 6) invalid_at(at_block);
            for (int k = 0; k < 6; ++k) {
                const kel_value* n = block::ks_abs_at(&m, series_head(&m) + k);
                if (!number_q(n)) invalid_at(at_block);
                six[k] = number_of(n);
            }
            op = {six[0], six[1], six[2], six[3], six[4], six[5]};
            break;
        }
        case w_reset_matrix:
            reset = true;
            break;
        case w_invert_matrix:
            inverse = true;
            break;
        default:
            break;
    }
    auto apply = [&] {
        if (target) return;
        if (reset) {
            canvas.set_matrix({});
        } else if (inverse) {
            draw::affine m = canvas.matrix();
            if (draw::invert(m)) canvas.set_matrix(m);
        } else {
            canvas.combine(op);
        }
    };
    kel_value inner;
    const bool trailing = id != w_matrix && id != w_reset_matrix && id != w_invert_matrix && maybe_block(i, inner);
    if (trailing) {
        nested(inner, apply);
    } else {
        apply();
    }
    return i;
}

}  // namespace

void do_draw(const kel_value* image, const kel_value* commands, bool report_only) {
    if (type_of(commands) != types::block || block::ks_length_q(commands) <= 0) return;
    draw::canvas canvas;
    if (!canvas.begin(image)) {
        // Without cairo nothing can be drawn, which a caller must hear of
        // rather than get its image back untouched.
        if (!platform::gui_libs::text()) {
            const char* why = platform::gui_libs::failure();
            const kel_value* text = string::decode_push(reinterpret_cast<const uint8_t*>(why),
                                                        static_cast<uint32_t>(std::strlen(why)), string::encoding_utf8);
            fire(error_category::access, "cannot-open", text);
        }
        fire(error_category::internal, "no-memory");
    }
    const int base = cycles::depth();
    walker w{canvas, report_only, base, {}};
    symbol::intern_canonical(word_names, word_count, w.ids);
    const kel_value block = *commands;
    if (!report_only) {
        try {
            w.walk(&block);
        } catch (const quiet_stop&) {
        } catch (...) {
            if (cycles::depth() > base) cycles::pop_n(cycles::depth() - base);
            canvas.end();
            throw;
        }
        canvas.end();
        return;
    }
    const error_trap trap = open_error_trap();
    try {
        w.walk(&block);
        close_error_trap(trap, false);
    } catch (const quiet_stop&) {
        close_error_trap(trap, false);
    } catch (const kel_unwind& u) {
        const bool error = u.code == code_value(signal_code::error);
        if (cycles::depth() > base) cycles::pop_n(cycles::depth() - base);
        if (error && stack::top() > stack::bottom()) dyn_print::run(stack::top() - 1, true);
        close_error_trap(trap, error);
    }
    canvas.end();
}

void os_do_draw(const kel_value* image, const kel_value* commands) {
    if (type_of(image) != types::image) return;
    if (image::width_of(image) == 0 || image::height_of(image) == 0) return;
    do_draw(image, commands, false);
    kel_value none;
    set_none(&none);
    (void)ownership::notify(image, "poked", &none, -1, -1);
}

}  // namespace kel::gui
