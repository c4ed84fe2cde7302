// platform_routines: see platform_routines.h.
#include "gui/backend/platform_routines.h"

#include <iterator>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/handle.h"
#include "datatypes/image.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/symbol.h"
#include "evaluator/routines.h"
#include "gui/backend/face_fields.h"
#include "gui/backend/gtk_start.h"
#include "gui/backend/screens.h"
#include "kernel/native_api.h"
#include "kernel/ownership.h"
#include "kernel/stack.h"

namespace kel::platform_routines {

namespace {

using routines::answer_cell;
using routines::machine_value;
using routines::nothing;
using namespace face_fields;

// Raised by the routines whose native side is still to come, after their
// checks: internal `not-done`.
[[noreturn]] void not_built() { fire(error_category::internal, "not-done"); }

[[noreturn]] void invalid_type_of(const kel_value* value) {
    kel_value datatype;
    set_datatype(&datatype, type_of(value));
    fire(error_category::script, "invalid-type", &datatype);
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
    if (type_of(text) != types::string) {
        kel_value none;
        set_none(&none);
        return answer_cell(&none);
    }
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
        if (n == 0) return nothing();
        not_built();  // windows and panels
    }
    if (type_of(face) != types::object) invalid_type_of(face);
    if (face_type_is(face, "screen")) return nothing();
    not_built();  // windows and panels
}

machine_value detach_image(const machine_value* a, int32_t) {
    ownership::unbind(a[0].cell);
    return nothing();
}

machine_value draw_image(const machine_value* a, int32_t) {
    const kel_value* image = a[0].cell;
    if (image::width_of(image) == 0 || image::height_of(image) == 0) return nothing();
    not_built();  // the draw dialect
}

machine_value text_box_metrics(const machine_value* a, int32_t) {
    const kel_value* box = a[0].cell;
    if (!face_type_is(box, "rich-text")) fire(error_category::script, "face-type", field(box, FACE_OBJ_TYPE));
    if (type_of(field(box, FACE_OBJ_TEXT)) != types::string) {
        kel_value none;
        set_none(&none);
        return answer_cell(&none);
    }
    not_built();  // rich text
}

// Drawing is in software: there is no device to switch.
machine_value toggle_gpu(const machine_value*, int32_t) { return nothing(); }

machine_value pending(const machine_value*, int32_t) { not_built(); }

// The rows in member order (the plain values and script functions of the
// object have no rows). `pending` marks the routines whose native side
// belongs to a later part of the backend: facet updates, fonts, windows and
// panels, events, requesters, rich text and scrollers, dark mode.
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
    {"do-event-loop", "no-wait? [logic!] return: [logic!]", pending},
    {"exit-event-loop", "", pending},
    {"request-font", "font [object!] selected [any-type!] mono? [logic!]", pending},
    {"request-file", "title [any-type!] name [any-type!] filter [any-type!] save? [logic!] multi? [logic!]", pending},
    {"request-dir", "title [any-type!] dir [any-type!] filter [any-type!] keep? [logic!] multi? [logic!]", pending},
    {"text-box-metrics", "box [object!] arg0 [any-type!] type [integer!]", text_box_metrics},
    {"update-scroller", "scroller [object!] flags [integer!]", pending},
    {"set-dark-mode", "face [object!] dark? [logic!]", pending},
    {"support-dark-mode?", "return: [logic!]", pending},
    {"toggle-GPU", "", toggle_gpu},
};
static_assert(std::size(rows) == platform_routine_count);

}  // namespace

void install() {
    routines::define_run(first_platform_routine, rows, platform_routine_count, "platform");
}

}  // namespace kel::platform_routines
