// platform_routines: see platform_routines.h.
#include "gui/backend/platform_routines.h"

#include <iterator>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/handle.h"
#include "datatypes/image.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "evaluator/routines.h"
#include "gui/backend/draw_walker.h"
#include "gui/backend/face_fields.h"
#include "gui/backend/gtk_start.h"
#include "gui/backend/messages.h"
#include "gui/backend/screens.h"
#include "kernel/native_api.h"
#include "kernel/ownership.h"
#include "kernel/stack.h"
#include "platform/gui_libs.h"

namespace kel::platform_routines {

namespace {

using routines::answer_cell;
using routines::machine_value;
using routines::nothing;
using namespace face_fields;
namespace gl = platform::gui_libs;

// Raised by the routines whose native side is still to come, after their
// checks: internal `not-done`.
[[noreturn]] void not_built() { fire(error_category::internal, "not-done"); }

[[noreturn]] void invalid_type_of(const kel_value* value) {
    kel_value datatype;
    set_datatype(&datatype, type_of(value));
    fire(error_category::script, "invalid-type", &datatype);
}

machine_value none_answer() {
    kel_value none;
    set_none(&none);
    return answer_cell(&none);
}

const kel_value* field(const kel_value* object, int index) { return object::get_values(object) + index; }

// The face's `type` is this word (by canonical spelling).
bool face_type_is(const kel_value* face, const char* name) {
    const kel_value* type = field(face, FACE_OBJ_TYPE);
    return type_of(type) == types::word && symbol::resolve(word_symbol(type)) == symbol::resolve(symbol::intern(name));
}

machine_value make_null_handle(const machine_value*, int32_t) {
    kel_value h;
    handle::init_cell(&h, 0, handle::CLASS_NULL);
    return answer_cell(&h);
}

// [offset size scale identifier] per monitor, the primary first.
machine_value fetch_all_screens(const machine_value*, int32_t) {
    std::vector<gui::screen_record> screens = gui::fetch_all_screens();
    kel_value* all = block::push_only_star(static_cast<int32_t>(screens.size()));
    for (const gui::screen_record& s : screens) {
        kel_value* entry = block::make_at_tail(all, 4);
        pair::make_at_tail(entry, s.x, s.y);
        pair::make_at_tail(entry, s.width, s.height);
        kel_value scale;
        set_float(&scale, s.scale);
        block::ks_add(entry, &scale);
        handle::make_at_tail(entry, s.id, handle::CLASS_MONITOR);
    }
    const kel_value result = *all;
    stack::drop_cells(1);
    return answer_cell(&result);
}

machine_value get_current_screen(const machine_value*, int32_t) {
    kel_value out;
    int32_t id = gui::current_screen();
    if (id < 0)
        set_none(&out);
    else
        handle::init_cell(&out, id, handle::CLASS_MONITOR);
    return answer_cell(&out);
}

machine_value get_screen_size(const machine_value*, int32_t) {
    int32_t width = 0, height = 0;
    gui::screen_size(static_cast<int32_t>(gui::desktop_dpi() + 0.5), width, height);
    kel_value out;
    pair::init_cell(&out, width, height);
    return answer_cell(&out);
}

// The text is the value when a string, the face's `text` when the value is
// none; any other value is refused. A text that is no string measures as none.
machine_value size_text(const machine_value* a, int32_t) {
    const kel_value* face = a[0].cell;
    const kel_value* value = a[1].cell;
    const kel_value* text = value;
    if (type_of(value) == types::none)
        text = field(face, FACE_OBJ_TEXT);
    else if (type_of(value) != types::string)
        invalid_type_of(value);
    if (type_of(text) != types::string) return none_answer();
    not_built();  // text measuring
}

machine_value update_view(const machine_value* a, int32_t) {
    const kel_value* face = a[0].cell;
    if (type_of(face) == types::block) {
        const int32_t head = series_head(face);
        const int32_t n = block::ks_length_q(face);
        for (int32_t i = 0; i < n; ++i) {
            const kel_value* v = block::ks_abs_at(face, head + i);
            if (type_of(v) != types::object) invalid_type_of(v);
        }
        if (n == 0) return none_answer();
        not_built();  // windows and panels
    }
    if (type_of(face) != types::object) invalid_type_of(face);
    if (face_type_is(face, "screen")) return none_answer();
    not_built();  // windows and panels
}

machine_value detach_image(const machine_value* a, int32_t) {
    ownership::unbind(a[0].cell);
    return none_answer();
}

machine_value draw_image(const machine_value* a, int32_t) {
    gui::os_do_draw(a[0].cell, a[1].cell);
    return none_answer();
}

machine_value text_box_metrics(const machine_value* a, int32_t) {
    const kel_value* box = a[0].cell;
    if (!face_type_is(box, "rich-text")) fire(error_category::script, "face-type", field(box, FACE_OBJ_TYPE));
    if (type_of(field(box, FACE_OBJ_TEXT)) != types::string) return none_answer();
    not_built();  // rich text
}

// Drawing is in software: there is no device to switch.
machine_value toggle_gpu(const machine_value*, int32_t) { return none_answer(); }

machine_value pending(const machine_value*, int32_t) { not_built(); }

// Waiting: runs until the loop's quit; no-wait: at most one record. True
// when a record was taken.
machine_value do_event_loop(const machine_value* a, int32_t) {
    machine_value v;
    v.i = messages::do_events(a[0].i != 0) ? 1 : 0;
    return v;
}

machine_value exit_event_loop(const machine_value*, int32_t) {
    messages::exit_event_loop();
    return none_answer();
}

kel_value theme_colour(GtkStyleContext* style, const char* name) {
    GdkRGBA c{0, 0, 0, 1};
    gl::gtk()->gtk_style_context_lookup_color(style, name, &c);
    auto byte = [](double v) { return static_cast<int32_t>(v < 0 ? 0 : v > 1 ? 255 : v * 255 + 0.5); };
    const uint8_t rgb[3] = {static_cast<uint8_t>(byte(c.red)), static_cast<uint8_t>(byte(c.green)),
                            static_cast<uint8_t>(byte(c.blue))};
    kel_value out;
    tuple::init_cell(&out, rgb, 3);
    return out;
}

// Opens the display; without one, access `cannot-open` with its name. The
// answer: [dpi screen-size scroller text window panel], what the desktop
// gives for the metrics the boot published fixed values of.
machine_value gui_init(const machine_value*, int32_t) {
    if (!gui::start()) {
        const std::string& why = gui::state().failure;
        const kel_value name = *string::decode_push(reinterpret_cast<const uint8_t*>(why.data()),
                                                    static_cast<uint32_t>(why.size()), string::encoding_utf8);
        fire(error_category::access, "cannot-open", &name);
    }
    const gl::gtk_table* g = gl::gtk();
    const int32_t dpi = static_cast<int32_t>(gui::desktop_dpi() + 0.5);
    int32_t width = 0, height = 0;
    gui::screen_size(dpi, width, height);
    // A scroll bar's thickness and the theme's colours, from widgets that are
    // never shown.
    GtkWidget* window = g->gtk_window_new(GTK_WINDOW_TOPLEVEL);
    // Scroll bars measure only inside a scrolled window; overlay scrolling,
    // which would make them 0 wide, is off for the faces' own scroll bars.
    GtkWidget* scrolled =
        static_cast<GtkWidget*>((gl::text()->g_object_ref_sink)(g->gtk_scrolled_window_new(nullptr, nullptr)));
    g->gtk_scrolled_window_set_overlay_scrolling(reinterpret_cast<GtkScrolledWindow*>(scrolled), FALSE);
    g->gtk_scrolled_window_set_policy(reinterpret_cast<GtkScrolledWindow*>(scrolled), GTK_POLICY_ALWAYS,
                                      GTK_POLICY_ALWAYS);
    int thick_x = 0, thick_y = 0;
    g->gtk_widget_get_preferred_width(g->gtk_scrolled_window_get_vscrollbar(reinterpret_cast<GtkScrolledWindow*>(scrolled)),
                                      &thick_x, nullptr);
    g->gtk_widget_get_preferred_height(g->gtk_scrolled_window_get_hscrollbar(reinterpret_cast<GtkScrolledWindow*>(scrolled)),
                                       &thick_y, nullptr);
    GtkStyleContext* style = g->gtk_widget_get_style_context(window);
    kel_value answer[6];
    set_integer(&answer[0], dpi);
    pair::init_cell(&answer[1], width, height);
    pair::init_cell(&answer[2], thick_x, thick_y);
    answer[3] = theme_colour(style, "theme_text_color");
    answer[4] = theme_colour(style, "theme_base_color");
    answer[5] = theme_colour(style, "theme_bg_color");
    g->gtk_widget_destroy(scrolled);
    (gl::text()->g_object_unref)(scrolled);
    g->gtk_widget_destroy(window);
    kel_value* block = block::push_only_star(6);
    for (const kel_value& v : answer) block::ks_add(block, &v);
    const kel_value result = *block;
    stack::drop_cells(1);
    return answer_cell(&result);
}

// The toolkit the build was made with, as the platform object's `build`:
// known without opening it.
machine_value gui_build(const machine_value*, int32_t) {
    machine_value v;
    v.i = GTK_MAJOR_VERSION * 10000 + GTK_MINOR_VERSION * 100 + GTK_MICRO_VERSION;
    return v;
}

// The rows in member order (the plain values and script functions of the
// object have no rows). `pending` marks the routines whose native side
// belongs to a later part of the backend: facet updates, fonts, windows and
// panels, requesters, rich text and scrollers, dark mode.
const routines::binding rows[] = {
    {"make-null-handle", "", make_null_handle},
    {"fetch-all-screens", "", fetch_all_screens},
    {"get-current-screen", "", get_current_screen},
    {"get-screen-size", "id [integer!]", get_screen_size},
    {"size-text", "face [object!] value [any-type!]", size_text},
    {"on-change-facet",
     "owner [object!] word [any-word!] value [any-type!] action [word!] new [any-type!] index [integer!] part [integer!]",
     pending},
    {"update-text", "face [object!]", pending},
    {"update-font", "font [object!] flags [integer!]", pending},
    {"update-para", "face [object!] flags [integer!]", pending},
    {"destroy-view", "face [object!] empty? [logic!]", pending},
    {"detach-image", "img [image!]", detach_image},
    {"update-view", "face [any-type!]", update_view},
    {"refresh-window", "h [handle!]", pending},
    {"redraw", "face [object!]", pending},
    {"show-window", "id [handle!]", pending},
    {"make-view", "face [object!] parent [handle!]", pending},
    {"draw-image", "image [image!] cmds [block!]", draw_image},
    {"draw-face", "face [object!] cmds [block!]", pending},
    {"do-event-loop", "no-wait? [logic!] return: [logic!]", do_event_loop},
    {"exit-event-loop", "", exit_event_loop},
    {"request-font", "font [object!] selected [any-type!] mono? [logic!]", pending},
    {"request-file", "title [any-type!] name [any-type!] filter [any-type!] save? [logic!] multi? [logic!]", pending},
    {"request-dir", "title [any-type!] dir [any-type!] filter [any-type!] keep? [logic!] multi? [logic!]", pending},
    {"text-box-metrics", "box [object!] arg0 [any-type!] type [integer!]", text_box_metrics},
    {"update-scroller", "scroller [object!] flags [integer!]", pending},
    {"set-dark-mode", "face [object!] dark? [logic!]", pending},
    {"support-dark-mode?", "return: [logic!]", pending},
    {"toggle-GPU", "", toggle_gpu},
    {"gui-init", "", gui_init},
    {"gui-build", "return: [integer!]", gui_build},
};
static_assert(std::size(rows) == platform_routine_count + view_phase_routine_count);

}  // namespace

void install() {
    routines::define_run(first_platform_routine, rows, int32_t(std::size(rows)), "platform");
}

}  // namespace kel::platform_routines
