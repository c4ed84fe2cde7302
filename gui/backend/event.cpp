// event: see event.h.
#include "gui/backend/event.h"

#include <cstring>
#include <iterator>

#include "datatypes/block.h"
#include "datatypes/held_value.h"
#include "datatypes/integer.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/native_api_words.h"
#include "evaluator/routines.h"
#include "gui/backend/send_event.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"

namespace kel::event_value {

namespace {

using scalar::arg;
using scalar::out_of_range;

// Event types by number (index 0 unused).
const char* const type_names[] = {
    nullptr,     "down",     "up",        "mid-down",  "mid-up",    "alt-down", "alt-up",   "aux-down",
    "aux-up",    "click",    "dbl-click", "wheel",     "over",      "key",      "key-down", "key-up",
    "ime",       "focus",    "unfocus",   "enter",     "zoom",      "pan",      "rotate",   "two-tap",
    "press-tap", "select",   "change",    "menu",      "close",     "move",     "resize",   "moving",
    "resizing",  "time",     "drawing",   "scroll",    "minimize",  "maximize", "restore",
};
constexpr int32_t type_count = static_cast<int32_t>(std::size(type_names)) - 1;  // 38

// Flag words in the order a `flags` read lists them; `command` is accepted
// by make but never listed.
struct flag_name {
    const char* name;
    uint32_t bit;
    bool listed;
};
const flag_name flag_names[] = {
    {"away", flag::away, true},         {"down", flag::down, true},       {"mid-down", flag::mid_down, true},
    {"alt-down", flag::alt_down, true}, {"aux-down", flag::aux_down, true}, {"control", flag::control, true},
    {"shift", flag::shift, true},       {"alt", flag::alt, true},         {"command", flag::command, false},
};

const char* const field_names[] = {
    nullptr,  "type",   "face",      "window",   "offset",    "key",       "picked",    "flags",
    "away?",  "down?",  "mid-down?", "alt-down?", "aux-down?", "ctrl?",     "shift?",    "orientation",
};
constexpr int32_t field_count = static_cast<int32_t>(std::size(field_names)) - 1;  // 15
// The bit that each logic field (away? .. shift?) tests.
const uint32_t field_bits[] = {flag::away, flag::down, flag::mid_down, flag::alt_down, flag::aux_down,
                               flag::control, flag::shift};

// Interned names; canonical ids for matching, exact ids for making words.
uint32_t type_symbols[type_count + 1];
uint32_t type_canon[type_count + 1];
uint32_t flag_symbols[std::size(flag_names)];
uint32_t flag_canon[std::size(flag_names)];
uint32_t field_canon[field_count + 1];


void intern_all(const char* const* names, size_t count, uint32_t* exact, uint32_t* canon) {
    for (size_t i = 0; i < count; ++i) {
        if (!names[i]) continue;
        const uint32_t id = symbol::intern(names[i]);
        if (exact) exact[i] = id;
        canon[i] = symbol::resolve(id);
    }
}

int32_t field_number(const kel_value* word) {
    const uint32_t s = symbol::resolve(word_symbol(word));
    for (int32_t f = 1; f <= field_count; ++f)
        if (field_canon[f] == s) return f;
    return 0;
}

uint32_t flag_bit(const kel_value* word) {
    const uint32_t s = symbol::resolve(word_symbol(word));
    for (size_t i = 0; i < std::size(flag_names); ++i)
        if (flag_canon[i] == s) return flag_names[i].bit;
    return 0;
}

bool made_q(const kel_value* event) { return (event->header & header_made) != 0; }

// Cell `which` of a made event's block; null when the event has none.
const kel_value* block_cell_of(const kel_value* event, int32_t which) {
    if (!made_q(event) || event->w2 == 0) return nullptr;
    kel_value b;
    set_series(&b, types::block, 0, event->w2);
    return block::ks_abs_at(&b, which);
}

// `out` must be a cell the collector reaches (the `flags` read allocates).
void read_field(const kel_value* event_cell, int32_t f, kel_value* out) {
    const kel_value event = *event_cell;
    const uint32_t bits = event.w3;
    const bool from_message = f == f_face || f == f_window || f == f_offset || f == f_key || f == f_picked ||
                              f == f_orientation;
    if (!made_q(&event) && from_message && native.read) {
        native.read(&event, f, out);
        return;
    }
    switch (f) {
        case f_type: type_word(static_cast<int32_t>(event.w1), out); return;
        case f_face:
        case f_window: {
            const kel_value* c = block_cell_of(&event, f == f_face ? cell_face : cell_window);
            if (c) *out = *c;
            else set_none(out);
            return;
        }
        case f_offset: {
            const kel_value* c = block_cell_of(&event, cell_offset);
            if (c) *out = *c;
            else set_pair(out, 0, 0);
            return;
        }
        case f_picked: {
            const kel_value* c = block_cell_of(&event, cell_picked);
            if (c) *out = *c;
            else set_integer(out, 0);
            return;
        }
        case f_key: {
            // The whole code point, not only its low 16 bits: a key beyond
            // the first plane reads back as itself.
            const uint32_t code = bits & flag::key_mask;
            if (code) set_char(out, code);
            else set_none(out);
            return;
        }
        case f_flags: {
            // A new block at each read, so a block read earlier keeps its words.
            kel_value* list = block::push_only_star(8);
            for (size_t i = 0; i < std::size(flag_names); ++i)
                if (flag_names[i].listed && (bits & flag_names[i].bit)) word::make_at_tail(flag_symbols[i], list);
            *out = *list;
            stack::drop_cells(1);
            return;
        }
        case f_orientation: set_none(out); return;
        default: set_logic(out, (bits & field_bits[f - f_away_q]) != 0); return;
    }
}

// A set-word's value as make reads it: a bound word or get-word stands for
// its value.
kel_value spec_value(const kel_value* v) {
    const uint32_t t = type_of(v);
    if ((t == types::word || t == types::get_word) && word_context(v)) {
        if (const kel_value* bound = word_ops::value_or_null(v)) return *bound;
    }
    return *v;
}

signal_code make(const refinements&) {
    kel_value* result = arg(1);
    const kel_value spec = *arg(2);
    if (type_of(&spec) != types::block) {
        kel_value dt;
        set_datatype(&dt, types::event);
        fire(error_category::script, "bad-make-arg", &dt, &spec);
    }
    uint32_t type = 0, bits = 0;
    kel_value window, face, offset;
    set_none(&window);
    set_none(&face);
    set_pair(&offset, 0, 0);
    int32_t picked = 0;
    bool kept = false;
    const int32_t head = series_head(&spec);
    const int32_t n = block::ks_length_q(&spec);
    for (int32_t i = 0; i + 1 < n; ++i) {
        const kel_value* key = block::ks_abs_at(&spec, head + i);
        if (type_of(key) != types::set_word) continue;
        const kel_value v = spec_value(block::ks_abs_at(&spec, head + i + 1));
        ++i;  // the value is taken
        const uint32_t vt = type_of(&v);
        switch (field_number(key)) {
            case f_type:
                if (vt == types::word || vt == types::lit_word) {
                    const int32_t number = type_number(&v);
                    if (number == 0) fire(error_category::script, "not-event-type", &v);
                    type = static_cast<uint32_t>(number);
                }
                break;
            case f_face:
            case f_window:
                if (vt == types::object) {
                    (field_number(key) == f_face ? face : window) = v;
                    kept = true;
                }
                break;
            case f_offset:
                if (vt == types::pair || vt == types::point2d) {
                    offset = v;
                    kept = true;
                }
                break;
            case f_key:
                if (vt == types::char_) bits |= get_char(&v) & flag::key_mask;
                break;
            case f_picked:
                if (vt == types::integer) {
                    picked = get_integer(&v);
                    kept = true;
                }
                break;
            case f_flags:
                if (vt == types::block) {
                    const int32_t fh = series_head(&v);
                    const int32_t fn = block::ks_length_q(&v);
                    for (int32_t j = 0; j < fn; ++j) {
                        const kel_value* w = block::ks_abs_at(&v, fh + j);
                        if (type_of(w) == types::word) bits |= flag_bit(w);
                    }
                }
                break;
            default: break;
        }
    }
    uint32_t node = 0;
    if (kept) {
        kel_value* b = block::push_only_star(4);
        kel_value p;
        set_integer(&p, picked);
        block::ks_add(b, &window);
        block::ks_add(b, &face);
        block::ks_add(b, &offset);
        block::ks_add(b, &p);
        node = series_node(b);
        // The result holds the node before the block leaves the stack.
        result = arg(1);
        result->header = types::event | header_made;
        result->w2 = node;
        stack::drop_cells(1);
    }
    result->header = types::event | header_made;
    result->w1 = type;
    result->w2 = node;
    result->w3 = bits;
    return signal_code::none;
}

int32_t form(const kel_value*, kel_value* buffer, const kel_value*, int32_t part) {
    text_out::append(buffer, "event", 5);
    return part - 5;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return form(value, buffer, arg, part);
}

// Any two events are equal under the equality and sorting operators; an
// event and any other value are not comparable.
int32_t compare(const kel_value*, const kel_value* other, int32_t op) {
    if (type_of(other) != types::event) return cmp::not_comparable;
    switch (op) {
        case cmp::equal: case cmp::not_equal: case cmp::strict_equal: case cmp::same: case cmp::find:
        case cmp::sort: case cmp::case_sort:
            return 0;
        default: return cmp::not_comparable;
    }
}

signal_code eval_path(const path_step_args& step) {
    const kel_value* element = step.element;
    const int32_t f = in_family(type_of(element), family::word) ? field_number(element) : 0;
    if (f == 0) fire(error_category::script, "invalid-path", step.path, element);
    if (!step.value_to_set) {
        read_field(step.parent, f, step.result);
        return signal_code::none;
    }
    const kel_value value = *step.value_to_set;
    if (f != f_type || type_of(&value) != types::word)
        fire(error_category::script, "bad-path-set", step.path, element);
    const int32_t number = type_number(&value);
    if (number == 0) fire(error_category::script, "not-event-type", &value);
    kel_value changed = *step.parent;
    changed.w1 = static_cast<uint32_t>(number);
    KEL_PROPAGATE(held_value::store_back(step, &changed));
    if (step.result) *step.result = value;
    return signal_code::none;
}

signal_code pick(const refinements&) {
    const kel_value event = *arg(1);
    const kel_value index = *arg(2);
    int32_t f = 0;
    if (in_family(type_of(&index), family::word)) {
        f = field_number(&index);
        if (f == 0) fire(error_category::script, "cannot-use", &index, &event);
    } else {
        f = type_of(&index) == types::integer ? get_integer(&index) : 0;
        if (f < 1 || f > field_count) out_of_range(&index);
    }
    read_field(&event, f, stack::arguments());
    return signal_code::none;
}

// --- routines -------------------------------------------------------------------

using routines::machine_value;

machine_value logic_answer(bool b) {
    machine_value v;
    v.i = b ? 1 : 0;
    return v;
}

machine_value event_q(const machine_value* a, int32_t) { return logic_answer(type_of(a[0].cell) == types::event); }

// A word, or a block holding the word (as a word or a lit-word) from its
// head; spellings that differ only in case match.
machine_value find_flag_q(const machine_value* a, int32_t) {
    const kel_value flags = *a[0].cell;
    const uint32_t wanted = symbol::resolve(word_symbol(a[1].cell));
    if (type_of(&flags) == types::word) return logic_answer(symbol::resolve(word_symbol(&flags)) == wanted);
    if (type_of(&flags) != types::block) return logic_answer(false);
    const int32_t head = series_head(&flags);
    const int32_t n = block::ks_length_q(&flags);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* w = block::ks_abs_at(&flags, head + i);
        const uint32_t t = type_of(w);
        if ((t == types::word || t == types::lit_word) && symbol::resolve(word_symbol(w)) == wanted)
            return logic_answer(true);
    }
    return logic_answer(false);
}

machine_value send_event_os(const machine_value* a, int32_t) {
    return logic_answer(send_event::send(a[0].cell, a[1].i != 0));
}

const routines::binding event_routines[] = {
    {"event?", R"k("Returns true if the value is an event" value [any-type!] return: [logic!])k", event_q},
    {"find-flag?", R"k("Checks a flag in a face's flags: a word, or a block of words"
        flags [any-type!] flag [word!] return: [logic!])k",
     find_flag_q},
    {"send-event-os", R"k("Sends an event to its face's view: posted when queued, else handled now"
        event [event!] queued? [logic!] return: [logic!])k",
     send_event_os},
};

}  // namespace

native_hooks native;

const kel_value* made_cell(const kel_value* event, int32_t which) { return block_cell_of(event, which); }

int32_t type_number(const kel_value* word) {
    const uint32_t s = symbol::resolve(word_symbol(word));
    for (int32_t n = 1; n <= type_count; ++n)
        if (type_canon[n] == s) return n;
    return 0;
}

void type_word(int32_t number, kel_value* out) {
    if (number < 1 || number > type_count) {
        set_none(out);
        return;
    }
    word::init_cell(type_symbols[number], out);
}

registry::registration row() {
    registry::registration r;
    r.id = types::event;
    r.parent = 0;
    r.name = "event!";
    r.hash = hashtable::hash_by::w2;
    r.marker = collector::cell_markers::event;
    r.families = 0;
    r[act::make] = static_cast<action_fn>(make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::pick] = static_cast<action_fn>(pick);
    return r;
}

void install() {
    intern_all(type_names, std::size(type_names), type_symbols, type_canon);
    const char* flags[std::size(flag_names)];
    for (size_t i = 0; i < std::size(flag_names); ++i) flags[i] = flag_names[i].name;
    intern_all(flags, std::size(flags), flag_symbols, flag_canon);
    intern_all(field_names, std::size(field_names), nullptr, field_canon);
    routines::define_run(first_event_routine, event_routines, int32_t(std::size(event_routines)), "event");
}

}  // namespace kel::event_value
