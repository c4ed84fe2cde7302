// path: see path.h. The walks of form and mold re-read every element from
// the node by index: forming an element may allocate and move the buffer.
#include "datatypes/path.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>
#include <cmath>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/string.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"

namespace kel::path {

namespace {

inline int32_t units(const kel_value* p) {
    return static_cast<int32_t>(memory::buffer_of(series_node(p))->units());
}

// The size a number spec asks for: integer! as it is, float! and percent!
// truncated toward zero (outside the 32-bit range: script `out-of-range`).
int32_t size_of_spec(const kel_value* spec) {
    if (type_of(spec) == types::integer) return get_integer(spec);
    const double d = get_float(spec);
    if (!int32_range_q(d)) fire(error_category::script, "out-of-range", spec);
    return truncate_int32(d);
}

// The elements from the head, each formed or molded, "/" between them.
int32_t walk(const kel_value* value, kel_value* buffer, bool mold, bool only, bool all, bool flat,
             const kel_value* arg, int32_t part) {
    if (cycles::detect_q(value, buffer, &part, mold)) return part;
    const kel_value p = *value;
    cycles::push(series_node(&p));
    struct pop_guard {
        ~pop_guard() { cycles::pop(); }
    } guard;
    for (int32_t i = std::max(series_head(&p), 0); i < units(&p); ++i) {
        const kel_value c = *block::ks_abs_at(&p, i);
        part = !mold ? actions::form_value(&c, buffer, arg, part)
               // The lexer reads no braced string inside a path.
               : type_of(&c) == types::string ? string::mold_quoted(&c, buffer, all, arg, part)
                                              : actions::mold_value(&c, buffer, only, all, flat, arg, part, 0);
        if (arg && part < 1) break;
        if (i + 1 < units(&p)) {
            text_out::append(buffer, "/", 1);
            --part;
        }
    }
    return part;
}

}  // namespace

// --- constructors -------------------------------------------------------------------

kel_value* init_cell(kel_value* cell, int32_t count) { return make_at(cell, types::path, count); }

kel_value* make_at(kel_value* cell, uint32_t type, int32_t count) {
    block::init_cell(cell, count < 1 ? 1 : count);
    set_type(cell, type);
    return cell;
}

kel_value* push(kel_value* cell) {
    cell->header = types::path;
    return stack::push_copy(cell);
}

// --- make and to ----------------------------------------------------------------------

void make(kel_value* result, const kel_value* spec, uint32_t type) {
    const kel_value s = *spec;
    const uint32_t t = type_of(&s);
    if (t == types::integer || t == types::float_ || t == types::percent) {
        make_at(result, type, size_of_spec(&s));
        return;
    }
    if (in_family(t, family::block_like)) {
        block::to(result, &s, type);
        return;
    }
    kel_value datatype;
    set_datatype(&datatype, type);
    fire(error_category::script, "bad-make-arg", &datatype, &s);
}

void to(kel_value* result, const kel_value* spec, uint32_t type) {
    const kel_value s = *spec;
    const uint32_t t = type_of(&s);
    if (t == types::object || t == types::typeset || t == types::map) {
        make_at(result, type, 1);
        block::ks_add(result, &s);
        return;
    }
    block::to(result, &s, type);
}

// --- form and mold ----------------------------------------------------------------------

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    return walk(value, buffer, false, false, false, false, arg, part);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t) {
    const uint32_t t = type_of(value);
    if (t == types::lit_path || t == types::get_path) {
        text_out::append(buffer, t == types::lit_path ? "'" : ":", 1);
        --part;
    }
    part = walk(value, buffer, true, only, all, flat, arg, part);
    if (t == types::set_path) {
        text_out::append(buffer, ":", 1);
        --part;
    }
    return part;
}

// --- rows ----------------------------------------------------------------------------

namespace {

uint32_t target_type(const kel_value* type_or_prototype) {
    return type_of(type_or_prototype) == types::datatype ? get_datatype(type_or_prototype) : type_of(type_or_prototype);
}

signal_code a_make(const refinements&) {
    const kel_value spec = *stack::argument(2);
    make(stack::arguments(), &spec, target_type(stack::argument(1)));
    return signal_code::none;
}

signal_code a_to(const refinements&) {
    const kel_value spec = *stack::argument(2);
    to(stack::arguments(), &spec, target_type(stack::argument(1)));
    return signal_code::none;
}

// The slots no path type supports: random, the math and logic actions, sort,
// trim and the port actions but modify.
void clear_unsupported(registry::registration& r, bool random_too) {
    using registry::entry;
    if (random_too) r[act::random] = entry{};
    r[act::unused8] = entry{};
    for (int a = act::absolute; a <= act::xor_; ++a) r[static_cast<act::id>(a)] = entry{};
    r[act::sort] = entry{};
    r[act::trim] = entry{};
    for (int a = act::create; a <= act::write; ++a)
        if (a != act::modify) r[static_cast<act::id>(a)] = entry{};
}

registry::registration child_row(uint32_t id, const char* name) {
    registry::registration r;
    r.id = id;
    r.hash = hashtable::hash_by::words_1_2;
    r.marker = kel::collector::cell_markers::any_block;
    r.families = family::block_like | family::path | family::series;
    r.parent = types::path;
    r.name = name;
    r.inherit_all();
    clear_unsupported(r, true);
    r[act::mold] = static_cast<mold_fn>(mold);
    return r;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::path;
    r.hash = hashtable::hash_by::words_1_2;
    r.marker = kel::collector::cell_markers::any_block;
    r.families = family::block_like | family::path | family::series;
    r.parent = types::block;
    r.name = "path!";
    r.inherit_all();
    clear_unsupported(r, true);
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    // copy is block!'s own handler (/part, /deep and /types as for blocks,
    // the path type kept): taken from the parent's row.
    r[act::copy] = registry::entry::inherit();
    return r;
}

registry::registration lit_path_row() { return child_row(types::lit_path, "lit-path!"); }
registry::registration set_path_row() { return child_row(types::set_path, "set-path!"); }
registry::registration get_path_row() { return child_row(types::get_path, "get-path!"); }

}  // namespace kel::path
