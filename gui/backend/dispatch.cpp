// dispatch: see dispatch.h.
#include "gui/backend/dispatch.h"

#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "gui/backend/event.h"
#include "gui/backend/face_fields.h"
#include "gui/backend/keys.h"
#include "gui/backend/pre_filter.h"
#include "gui/backend/views.h"
#include "kernel/runtime.h"
#include "kernel/stack.h"
#include "library/boot.h"

namespace kel::gui_dispatch {

input_hooks input;

namespace {

using event_value::flag::key_mask;
namespace et = event_value::event_type;

// One slot per nested make-event; word 2 of the event names the slot (low
// bits) and the generation of its use (high bits).
constexpr int32_t slot_bits = 6;
constexpr int32_t slot_count = 1 << slot_bits;
struct live_record {
    messages::record r;
    uint32_t generation;
    bool live;
};
live_record slots[slot_count];
int32_t depth = 0;
uint32_t generation = 0;

// The high surrogate of a character that comes in two `key` records.
uint32_t pending_surrogate = 0;

const messages::record* record_of(const kel_value* event) {
    const uint32_t slot = event->w2 & (slot_count - 1);
    const live_record& l = slots[slot];
    if (!l.live || (l.generation << slot_bits) != (event->w2 & ~uint32_t(slot_count - 1))) return nullptr;
    return &l.r;
}

// Word 3 of the event by its type; false when no event is to be made.
bool flags_word(const messages::record& r, uint32_t flags, int32_t type, uint32_t* out) {
    switch (type) {
        case et::over: *out = flags; return true;
        case et::key_down:
        case et::key_up: {
            int32_t vk = static_cast<int32_t>(r.wparam & 0xFFFF);
            if (type == et::key_down && vk == keys::code::processed) {
                keys::special = -1;
                return false;
            }
            const bool character = keys::character_key_q(vk) || (type == et::key_down && keys::composing);
            keys::special = character ? -1 : keys::side_key(vk);
            if (keys::special == -1)
                if (const uint32_t c = keys::character_of(vk)) vk = static_cast<int32_t>(c);
            *out = current_key_flags(false) | static_cast<uint32_t>(vk);
            return true;
        }
        case et::key: {
            uint32_t code = static_cast<uint32_t>(r.wparam);
            uint32_t held = current_key_flags(false);
            if ((keys::composing && (held & event_value::flag::shift)) || keys::special == keys::code::left_alt ||
                keys::special == keys::code::right_alt)
                keys::special = -1;
            if (code >= 0xD800 && code <= 0xDBFF) {
                pending_surrogate = code;
                return false;
            }
            if (code >= 0xDC00 && code <= 0xDFFF) {
                code = (((pending_surrogate & 0x3FF) << 10) | (code & 0x3FF)) + 0x10000;
                held = 0;
            }
            pending_surrogate = 0;
            *out = (code & key_mask) | held;
            return true;
        }
        case et::select: *out = (flags + 1) & 0xFFFF; return true;
        case et::change: *out = flags & 0xFFFF; return true;
        case et::down: case et::up: case et::mid_down: case et::mid_up: case et::alt_down: case et::alt_up:
        case et::dbl_click: case et::wheel:
            *out = flags | current_key_flags(true);
            return true;
        case et::click: *out = current_key_flags(false); return true;
        // The menu item's whole symbol id (0: no word).
        case et::menu: *out = flags; return true;
        default: *out = 0; return true;
    }
}

// A halt caught in a handler: the throw the interrupt became.
bool halt_q(const kel_value* error) {
    if (type_of(error) != types::error) return false;
    const kel_value e = *error;
    const kel_value* value = error::field_at(&e, error::field::arg1);
    const kel_value halt = *word::from_c_string("halt-request");
    return value && type_of(value) == types::word && word_symbol(value) == word_symbol(&halt);
}

// Calls system/view/awake with the event; every error, throw and halt stops
// here. Answers the result when it is a word, none otherwise.
kel_value call_awake(const kel_value* event) {
    kel_value answer;
    set_none(&answer);
    const kel_value* view = boot::system_member("view");
    if (!view || type_of(view) != types::object) return answer;
    const kel_value v = *view;
    const kel_value awake = object::get_values(&v)[face_fields::VIEW_OBJ_AWAKE];
    if (type_of(&awake) != types::function) return answer;
    kel_value* const top = stack::top();
    kel_value* const base = stack::arguments();
    const int32_t marks = stack::mark_depth();
    const kel_value name = *word::from_c_string("awake");
    stack::open_try_all_frame(&name);
    kel_value result;
    set_none(&result);
    signal_code c = signal_code::none;
    try {
        c = interpreter::call_function(&awake, &name, event, 1, 0, &result);
    } catch (const kel_unwind& u) {
        c = static_cast<signal_code>(u.code);
    }
    if (c == signal_code::error && halt_q(stack::last_cell())) runtime::halt_requested.store(true);
    stack::regs.marks_top = stack::regs.marks_bottom + marks;
    stack::regs.top = top;
    stack::regs.arguments = base;
    stack::regs.throw_start = 0;
    if (c == signal_code::none && type_of(&result) == types::word) answer = result;
    return answer;
}

void read_native(const kel_value* event, int32_t field, kel_value* out) {
    const messages::record* r = record_of(event);
    set_none(out);
    if (!r) return;
    const int32_t type = static_cast<int32_t>(event->w1);
    switch (field) {
        case event_value::f_face: views::face_of(r->view, out); return;
        case event_value::f_window: views::face_of(views::window_of(r->view), out); return;
        case event_value::f_offset: {
            const bool pointer = (type >= et::down && type <= et::over) || type == et::move || type == et::resize ||
                                 type == et::moving || type == et::resizing;
            if (!pointer) return;
            const double scale = input.scale ? input.scale() : 1.0;
            set_point2d(out, static_cast<float>(r->x / scale), static_cast<float>(r->y / scale));
            return;
        }
        case event_value::f_key:
            if (type == et::wheel) word::init_cell(symbol::intern("wheel"), out);
            else if (type == et::key || type == et::key_down || type == et::key_up) {
                // A key that gave no character reads as its word; one without
                // a word as its code (none for a `key` event).
                if (keys::special == -1 || keys::key_word(keys::special, out)) {
                    if (keys::special == -1) set_char(out, event->w3 & key_mask);
                } else if (type != et::key) {
                    set_char(out, event->w3 & 0xFFFF);
                }
            }
            return;
        case event_value::f_picked:
            switch (type) {
                case et::wheel: set_float(out, static_cast<double>(r->wparam) / 120.0); return;
                case et::menu:
                    if (event->w3) word::init_cell(event->w3, out);
                    return;
                default: set_integer(out, static_cast<int16_t>(event->w3 & 0xFFFF)); return;
            }
        default: return;
    }
}

}  // namespace

uint32_t current_key_flags(bool buttons) {
    if (messages::key_flags_override != -1) return static_cast<uint32_t>(messages::key_flags_override);
    return input.key_flags ? input.key_flags(buttons) : 0;
}

int32_t make_event(const messages::record& r, uint32_t flags, int32_t type) {
    uint32_t bits = 0;
    if (!flags_word(r, flags, type, &bits)) return 1;
    if (depth >= slot_count) return 1;  // nested deeper than any dispatch goes: no event
    const int32_t slot = depth++;
    generation = (generation + 1) & (0xFFFFFFFFu >> slot_bits);
    slots[slot] = live_record{r, generation, true};
    struct leave {
        int32_t slot;
        ~leave() {
            slots[slot].live = false;
            --depth;
        }
    } leaving{slot};
    kel_value event;
    init_cell(&event, types::event);
    event.w1 = static_cast<uint32_t>(type);
    event.w2 = (generation << slot_bits) | static_cast<uint32_t>(slot);
    event.w3 = bits;
    const int32_t loops_before = messages::loop_counter();
    const kel_value answer = call_awake(&event);
    // The handler destroyed the view a loop waits on: that loop ends.
    if (messages::loop_counter() < loops_before) messages::post_quit();
    if (type_of(&answer) == types::word && symbol::resolve(word_symbol(&answer)) == symbol::resolve(symbol::intern("stop")))
        return 0;
    return 1;
}

void dispatch_record(const messages::record& r) {
    if (r.what == messages::kind::timer) {
        (void)make_event(r, 0, et::time);
        return;
    }
    // What the pre-filter lets through goes on to the view's own handling,
    // which comes with the window layer.
    (void)pre_filter::run(r);
}

void install() {
    event_value::native.read = read_native;
    messages::dispatching.dispatch = dispatch_record;
}

}  // namespace kel::gui_dispatch
