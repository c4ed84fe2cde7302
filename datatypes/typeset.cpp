// typeset: the typeset! cell helpers and its row of action handlers.
#include "datatypes/typeset.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <cstring>

#include "datatypes/block.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/registry.h"
#include "kernel/symbol_table.h"
#include "datatypes/symbol.h"

namespace kel::typeset {

const kel_value* (*resolve_word)(const kel_value* word) = nullptr;

namespace {

constexpr int32_t prefix_length = 15;  // "make typeset! ["

// The typesets the library defines, each by its members: a datatype name or
// an earlier row's name. A spec names them by word, and a script may unset or
// reuse those words after the library's functions were made; their specs
// still mean the library's sets.
struct library_set {
    const char* name;
    const char* members;
};
constexpr library_set library_sets[] = {
    {"internal!", "unset! symbol! context! triple!"},
    {"external!", "event!"},  // event! registers in the boot, and joins it then
    {"number!", "integer! float! percent!"},
    {"planar!", "pair! point2D!"},
    {"any-point!", "point2D! point3D!"},
    {"scalar!", "number! any-point! money! char! pair! tuple! time! date!"},
    {"any-word!", "word! set-word! lit-word! get-word!"},
    {"all-word!", "any-word! refinement! issue!"},
    {"any-list!", "block! paren! hash!"},
    {"any-path!", "path! lit-path! set-path! get-path!"},
    {"any-block!", "any-path! any-list!"},
    {"any-function!", "native! action! op! function! routine!"},
    {"any-object!", "object! error! port!"},
    {"any-string!", "string! file! url! tag! email! ref!"},
    {"series!", "any-block! any-string! binary! image! vector!"},
    {"immediate!", "scalar! all-word! none! logic! datatype! typeset! handle! date!"},
    {"default!", "series! immediate!"},
    {"any-type!", "default! any-object! any-function! internal! external! bitset! map!"},
};
constexpr size_t library_set_count = sizeof(library_sets) / sizeof(library_sets[0]);

bool same_name_caseless(const char* a, size_t a_length, const char* b, size_t b_length) {
    if (a_length != b_length) return false;
    for (size_t i = 0; i < a_length; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// ORs the members of library set `row` into ts; rows name only earlier rows.
void add_library_set(kel_value* ts, size_t row) {
    const char* p = library_sets[row].members;
    while (*p) {
        while (*p == ' ') ++p;
        const char* start = p;
        while (*p && *p != ' ') ++p;
        const size_t length = static_cast<size_t>(p - start);
        if (length == 0) continue;
        bool found = false;
        for (size_t r = 0; r < row && !found; ++r) {
            if (same_name_caseless(start, length, library_sets[r].name, std::strlen(library_sets[r].name))) {
                add_library_set(ts, r);
                found = true;
            }
        }
        for (uint32_t t = 1; !found && t <= registry::highest_type_id && t < static_cast<uint32_t>(types::table_rows); ++t) {
            const char* name = registry::type_names[t].name;
            if (name && same_name_caseless(start, length, name, std::strlen(name))) {
                typeset_add(ts, t);
                found = true;
            }
        }
    }
}

// Adds one spec element; `error_id` names the error of a refused element.
void add_element(kel_value* ts, const kel_value* element, const char* error_id) {
    const kel_value* v = element;
    if (type_of(v) == types::word && resolve_word) {
        if (const kel_value* bound = resolve_word(v)) v = bound;
    }
    if (type_of(v) != types::datatype && type_of(v) != types::typeset && type_of(element) == types::word) {
        // a library set first: series! also names the abstract base type
        kel_value named;
        if (typeset_named(element, &named)) {
            ts->w1 |= named.w1;
            ts->w2 |= named.w2;
            ts->w3 |= named.w3;
            return;
        }
        if (const uint32_t t = datatype_named(element)) {
            typeset_add(ts, t);
            return;
        }
    }
    switch (type_of(v)) {
        case types::datatype: typeset_add(ts, get_datatype(v)); return;
        case types::typeset:
            ts->w1 |= v->w1;
            ts->w2 |= v->w2;
            ts->w3 |= v->w3;
            return;
        case types::block: return;
        default: fire(error_category::script, error_id, element);
    }
}

void add_all(kel_value* ts, const kel_value* spec, const char* error_id) {
    const kel_value s = *spec;
    const int32_t n = block::ks_length_q(&s);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value element = *block::ks_abs_at(&s, series_head(&s) + i);
        add_element(ts, &element, error_id);
    }
}

bool registered_member(const kel_value* ts, uint32_t id) { return registry::registered_q(id) && typeset_has(ts, id); }

// The registered name with its "!", and its length.
const char* full_name(uint32_t id, int32_t* length) {
    const registry::type_name_entry& e = registry::type_names[id];
    *length = e.length + 1;
    return e.name;
}

// Removes the buffer's last unit (the separator just written).
void drop_last_unit(kel_value* buffer) {
    memory::buffer_header* h = memory::buffer_of(series_node(buffer));
    if (h->tail > h->head) h->tail -= h->unit();
}

kel_value typeset_of(const kel_value* v) {
    kel_value ts;
    if (type_of(v) == types::typeset) return *v;
    init(&ts);
    typeset_add(&ts, get_datatype(v));
    return ts;
}

// --- handlers ----------------------------------------------------------------

// make and to: argument 2 is the spec.
signal_code a_make(const refinements&) {
    const kel_value spec = *stack::argument(2);
    kel_value* base = stack::arguments();
    switch (type_of(&spec)) {
        case types::typeset: *base = spec; break;
        case types::block: {
            kel_value ts;
            init(&ts);
            add_all(&ts, &spec, "invalid-arg");
            *base = ts;
            break;
        }
        default: {
            kel_value datatype;
            set_datatype(&datatype, types::typeset);
            fire(error_category::script, "bad-to-arg", &datatype, &spec);
        }
    }
    return signal_code::none;
}

signal_code a_complement(const refinements&) {
    kel_value* base = stack::arguments();
    base->w1 = ~base->w1;
    base->w2 = ~base->w2;
    base->w3 = ~base->w3;
    return signal_code::none;
}

signal_code a_and(const refinements&) { set_op(6); return signal_code::none; }
signal_code a_or(const refinements&) { set_op(5); return signal_code::none; }
signal_code a_xor(const refinements&) { set_op(7); return signal_code::none; }

signal_code a_find(const refinements&) {
    const kel_value* value = stack::argument(2);
    if (type_of(value) != types::datatype) fire(error_category::script, "invalid-arg", value);
    const bool found = typeset_has(stack::arguments(), get_datatype(value));
    set_logic(stack::arguments(), found);
    return signal_code::none;
}

// The member names in id order, each followed by a blank; "make typeset! ["
// first and "]" for the last blank, or with only neither and no last blank.
int32_t write_members(const kel_value* value, kel_value* buffer, bool only, int32_t part) {
    const kel_value ts = *value;
    if (!only) {
        text_out::append(buffer, "make typeset! [", prefix_length);
        part -= prefix_length;
    }
    bool any = false;
    for (uint32_t id = 1; id < static_cast<uint32_t>(types::table_rows); ++id) {
        if (!registered_member(&ts, id)) continue;
        if (part <= 0) break;
        int32_t length;
        const char* name = full_name(id, &length);
        text_out::append(buffer, name, static_cast<size_t>(length));
        text_out::append(buffer, " ", 1);
        part -= length + 1;
        any = true;
    }
    if (any) {
        drop_last_unit(buffer);
        if (only) ++part;
        else text_out::append(buffer, "]", 1);
    } else if (!only) {
        text_out::append(buffer, "]", 1);
        --part;
    }
    return part;
}

}  // namespace

void init(kel_value* cell) { init_cell(cell, types::typeset); }

void clear(kel_value* cell) { cell->w1 = cell->w2 = cell->w3 = 0; }

kel_value* make_at_tail(const kel_value* block, uint32_t w1, uint32_t w2, uint32_t w3) {
    kel_value* c = memory::claim_tail_cell(block);
    init(c);
    c->w1 = w1;
    c->w2 = w2;
    c->w3 = w3;
    return c;
}

kel_value* make_untyped_arg(const kel_value* block) {
    const uint32_t unset_bit = 0x80u >> types::unset;  // in byte 0, the low byte of word 1
    return make_at_tail(block, ~unset_bit, ~0u, ~0u);
}

kel_value* make_from_spec(const kel_value* block, const kel_value* spec) {
    kel_value ts;
    init(&ts);
    add_all(&ts, spec, "invalid-type-spec");
    return block::ks_add(block, &ts);
}

void add_type(kel_value* typeset, const kel_value* value) { add_element(typeset, value, "invalid-type-spec"); }

uint32_t datatype_named(const kel_value* word) {
    const uint32_t wanted = symbol_table::resolve(word_symbol(word));
    for (uint32_t t = 1; t <= registry::highest_type_id && t < static_cast<uint32_t>(types::table_rows); ++t) {
        const kel_value& w = registry::type_names[t].word;
        if (w.header != 0 && symbol_table::resolve(word_symbol(&w)) == wanted) return t;
    }
    return 0;
}

bool typeset_named(const kel_value* word, kel_value* out) {
    uint32_t length;
    const char* name = symbol::name_bytes(word_symbol(word), &length);
    for (size_t row = 0; row < library_set_count; ++row) {
        if (!same_name_caseless(name, length, library_sets[row].name, std::strlen(library_sets[row].name))) continue;
        init(out);
        add_library_set(out, row);
        return true;
    }
    return false;
}

void to_block(const kel_value* typeset, kel_value* result) {
    const kel_value ts = *typeset;
    block::init_cell(result, 4);
    for (uint32_t id = 1; id < static_cast<uint32_t>(types::table_rows); ++id) {
        if (!registered_member(&ts, id)) continue;
        kel_value d;
        set_datatype(&d, id);
        block::ks_add(result, &d);
    }
}

int32_t member_count(const kel_value* typeset) {
    int32_t n = 0;
    for (uint32_t id = 1; id <= registry::highest_type_id && id < 96; ++id)
        if (typeset_has(typeset, id)) ++n;
    return n;
}

void set_op(int32_t code) {
    kel_value* base = stack::arguments();
    const kel_value* second = stack::argument(2);
    const uint32_t t = type_of(second);
    if (t != types::typeset && t != types::datatype) fire(error_category::script, "invalid-arg", second);
    const kel_value a = *base;
    const kel_value b = typeset_of(second);
    kel_value r;
    init(&r);
    switch (code) {
        case 5:
        case 9: r.w1 = a.w1 | b.w1; r.w2 = a.w2 | b.w2; r.w3 = a.w3 | b.w3; break;
        case 6:
        case 10: r.w1 = a.w1 & b.w1; r.w2 = a.w2 & b.w2; r.w3 = a.w3 & b.w3; break;
        case 7:
        case 12: r.w1 = a.w1 ^ b.w1; r.w2 = a.w2 ^ b.w2; r.w3 = a.w3 ^ b.w3; break;
        case 11: r.w1 = a.w1 & ~b.w1; r.w2 = a.w2 & ~b.w2; r.w3 = a.w3 & ~b.w3; break;
        case 8: r = a; set_type(&r, types::typeset); break;
        default: fire(error_category::internal, "not-done");
    }
    *base = r;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    return write_members(value, buffer, false, part);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool, bool, const kel_value*, int32_t part,
             int32_t) {
    return write_members(value, buffer, only, part);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::typeset) return cmp::not_comparable;
    switch (op) {
        case cmp::equal:
        case cmp::not_equal:
        case cmp::strict_equal:
        case cmp::same:
        case cmp::find:
            return (value->w1 == other->w1 && value->w2 == other->w2 && value->w3 == other->w3) ? 0 : 1;
        case cmp::sort:
        case cmp::case_sort: {
            const int32_t a = member_count(value), b = member_count(other);
            return a < b ? -1 : (a > b ? 1 : 0);
        }
        default: return cmp::not_comparable;
    }
}

registry::registration row() {
    registry::registration r;
    r.id = types::typeset;
    r.hash = hashtable::hash_by::words_1_3;
    r.marker = kel::collector::cell_markers::nothing;
    r.parent = 0;
    r.name = "typeset!";
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = static_cast<action_fn>(a_make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::and_] = static_cast<action_fn>(a_and);
    r[act::complement] = static_cast<action_fn>(a_complement);
    r[act::or_] = static_cast<action_fn>(a_or);
    r[act::xor_] = static_cast<action_fn>(a_xor);
    r[act::find] = static_cast<action_fn>(a_find);
    return r;
}

}  // namespace kel::typeset
