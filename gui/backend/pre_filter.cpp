// pre_filter: see pre_filter.h.
#include "gui/backend/pre_filter.h"

#include "datatypes/block.h"
#include "datatypes/symbol.h"
#include "gui/backend/dispatch.h"
#include "gui/backend/event.h"
#include "gui/backend/face_fields.h"
#include "gui/backend/keys.h"
#include "gui/backend/views.h"
#include "datatypes/object.h"
#include "kernel/stack.h"

namespace kel::pre_filter {

namespace {

namespace et = event_value::event_type;
using messages::kind;

bool have_pointer = false;  // a move was let through, at last_x, last_y
int32_t last_x = 0, last_y = 0;
int32_t hover = 0;          // the view that last had an `over` event

// The face of the view has `all-over` among its flags: every move counts.
bool all_over_q(int32_t view) {
    kel_value* face = stack::push_unset();
    views::face_of(view, face);
    bool found = false;
    if (type_of(face) == types::object) {
        const kel_value f = *face;
        const kel_value flags = object::get_values(&f)[face_fields::FACE_OBJ_FLAGS];
        const uint32_t wanted = symbol::resolve(symbol::intern("all-over"));
        auto is = [&](const kel_value* w) {
            return type_of(w) == types::word && symbol::resolve(word_symbol(w)) == wanted;
        };
        if (is(&flags)) found = true;
        else if (type_of(&flags) == types::block) {
            const int32_t head = series_head(&flags);
            const int32_t n = block::ks_length_q(&flags);
            for (int32_t i = 0; i < n && !found; ++i) found = is(block::ks_abs_at(&flags, head + i));
        }
    }
    stack::drop_cells(1);
    return found;
}

bool modifier_q(int32_t code) {
    return code == keys::code::shift || code == keys::code::control ||
           (code >= keys::code::left_shift && code <= keys::code::right_alt);
}

}  // namespace

int32_t run(const messages::record& r) {
    // The buttons and modifiers the record carries, and the keyboard's.
    const uint32_t flags = static_cast<uint32_t>(r.lparam) | gui_dispatch::current_key_flags(false);
    switch (r.what) {
        case kind::key_down: {
            const int32_t answer = gui_dispatch::make_event(r, 0, et::key_down);
            // A key that gives no character has no character record to
            // follow: its `key` event comes now.
            if (answer == 1 && keys::special != -1 && !modifier_q(keys::special))
                return gui_dispatch::make_event(r, 0, et::key);
            return answer;
        }
        case kind::key_up: return gui_dispatch::make_event(r, 0, et::key_up);
        case kind::key_char:
            keys::special = -1;
            return gui_dispatch::make_event(r, 0, et::key);
        case kind::mouse_move:
            if (have_pointer && r.x == last_x && r.y == last_y) return 0;  // no move
            have_pointer = true;
            last_x = r.x;
            last_y = r.y;
            if (r.view != hover || all_over_q(r.view)) {
                hover = r.view;
                (void)gui_dispatch::make_event(r, flags, et::over);
            }
            return 1;
        case kind::left_down: return gui_dispatch::make_event(r, flags, et::down);
        case kind::left_up: return gui_dispatch::make_event(r, flags, et::up);
        case kind::left_double:
            (void)gui_dispatch::make_event(r, 0, et::down);
            (void)gui_dispatch::make_event(r, flags, et::dbl_click);
            return 1;
        case kind::right_down: return gui_dispatch::make_event(r, flags, et::alt_down);
        case kind::right_up: return gui_dispatch::make_event(r, flags, et::alt_up);
        case kind::middle_down: return gui_dispatch::make_event(r, flags, et::mid_down);
        case kind::middle_up: return gui_dispatch::make_event(r, flags, et::mid_up);
        case kind::aux_down: return gui_dispatch::make_event(r, flags, et::aux_down);
        case kind::aux_up: return gui_dispatch::make_event(r, flags, et::aux_up);
        case kind::wheel: return gui_dispatch::make_event(r, static_cast<uint32_t>(r.lparam), et::wheel);
        case kind::mouse_leave:
            have_pointer = false;
            (void)gui_dispatch::make_event(r, flags | event_value::flag::away, et::over);
            if (hover == r.view) hover = 0;
            return 1;
        default: return 1;
    }
}

void forget_pointer() { have_pointer = false; }

void reset() {
    have_pointer = false;
    last_x = last_y = 0;
    hover = 0;
    keys::special = -1;
    keys::composing = false;
}

}  // namespace kel::pre_filter
