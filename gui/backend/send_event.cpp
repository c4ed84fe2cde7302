// send_event: see send_event.h.
#include "gui/backend/send_event.h"

#include <cmath>

#include "datatypes/block.h"
#include "datatypes/handle.h"
#include "datatypes/object.h"
#include "gui/backend/dispatch.h"
#include "gui/backend/event.h"
#include "gui/backend/face_fields.h"
#include "gui/backend/messages.h"
#include "gui/backend/pre_filter.h"
#include "gui/backend/views.h"

namespace kel::send_event {

namespace {

using messages::kind;
namespace et = event_value::event_type;
namespace fl = event_value::flag;

// The modifier and button bits a sent event may carry into its record.
constexpr uint32_t carried_flags = 0x73C00000u;
constexpr int64_t wheel_notch = 120;

// The view of a face that has one: its `state` starts with the handle the
// window layer gave it, and the view table still has its row.
int32_t view_of(const kel_value* face) {
    if (!face || type_of(face) != types::object) return 0;
    const kel_value* state = object::get_values(face) + face_fields::FACE_OBJ_STATE;
    if (type_of(state) != types::block || block::ks_length_q(state) < 1) return 0;
    const kel_value* h = block::ks_abs_at(state, series_head(state));
    if (type_of(h) != types::handle) return 0;
    const int32_t view = handle::value_of(h);
    return views::window_of(view) != 0 ? view : 0;
}

struct mapping {
    int32_t type;
    kind what;
    uint32_t button;  // the flag of the button the message reports held
};
constexpr mapping mappings[] = {
    {et::down, kind::left_down, fl::down},         {et::up, kind::left_up, 0},
    {et::mid_down, kind::middle_down, fl::mid_down}, {et::mid_up, kind::middle_up, 0},
    {et::alt_down, kind::right_down, fl::alt_down}, {et::alt_up, kind::right_up, 0},
    {et::aux_down, kind::aux_down, fl::aux_down},   {et::aux_up, kind::aux_up, 0},
    {et::dbl_click, kind::left_double, fl::down},   {et::wheel, kind::wheel, 0},
    {et::over, kind::mouse_move, 0},                {et::key, kind::key_char, 0},
    {et::key_down, kind::key_down, 0},              {et::key_up, kind::key_up, 0},
};

const mapping* mapping_of(int32_t type) {
    for (const mapping& m : mappings)
        if (m.type == type) return &m;
    return nullptr;
}

bool key_type(int32_t type) { return type == et::key || type == et::key_down || type == et::key_up; }

// The offset cell in pixels into the record; false for an offset no record
// can carry (not finite, or beyond 32 bits).
bool put_point(const kel_value* offset, messages::record& r) {
    if (!offset) return true;
    double x, y;
    if (type_of(offset) == types::pair) {
        x = pair_x(offset);
        y = pair_y(offset);
    } else if (type_of(offset) == types::point2d) {
        x = get_float32(offset, 1);
        y = get_float32(offset, 2);
    } else {
        return true;
    }
    const double scale = gui_dispatch::input.scale ? gui_dispatch::input.scale() : 1.0;
    x = std::round(x * scale);
    y = std::round(y * scale);
    if (!(std::fabs(x) < 2147483647.0 && std::fabs(y) < 2147483647.0)) return false;
    r.x = static_cast<int32_t>(x);
    r.y = static_cast<int32_t>(y);
    return true;
}

}  // namespace

bool send(const kel_value* event, bool queued) {
    const int32_t type = static_cast<int32_t>(event->w1);
    int32_t view = view_of(event_value::made_cell(event, event_value::cell_window));
    if (!view) view = view_of(event_value::made_cell(event, event_value::cell_face));
    if (!view) return false;
    const mapping* m = mapping_of(type);
    if (!m) return false;  // the window commands come with the window layer

    messages::record r;
    r.view = view;
    r.what = m->what;
    const uint32_t flags = event->w3 & carried_flags;
    if (key_type(type)) {
        r.wparam = event->w3 & fl::key_mask;  // the full code point
    } else {
        r.lparam = flags | m->button;
        if (type == et::over && (event->w3 & fl::away)) r.what = kind::mouse_leave;
        if (!put_point(event_value::made_cell(event, event_value::cell_offset), r)) return false;
        const kel_value* picked = event_value::made_cell(event, event_value::cell_picked);
        if (type == et::wheel && picked && type_of(picked) == types::integer) {
            int64_t delta = 0;
            if (__builtin_mul_overflow(static_cast<int64_t>(get_integer(picked)), wheel_notch, &delta)) return false;
            r.wparam = delta;
        }
    }
    // The synthetic move must not be dropped as a repeat of the last one.
    if (r.what == kind::mouse_move) pre_filter::forget_pointer();

    if (queued) {
        messages::post(r);
        return true;
    }
    const int32_t saved = messages::key_flags_override;
    if (key_type(type)) messages::key_flags_override = static_cast<int32_t>(flags);
    struct restore {
        int32_t saved;
        ~restore() { messages::key_flags_override = saved; }
    } put_back{saved};
    messages::dispatch_now(r);
    return true;
}

}  // namespace kel::send_event
