// routine: the routine! cell and its row.
#include "datatypes/routine.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/runtime_words.h"
#include "datatypes/symbol.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"

namespace kel::routine {

bool (*bind_by_name)(const kel_value* name, kel_value* out) = nullptr;

namespace {

signal_code a_make(const refinements&) {
    kel_value* result = stack::arguments();
    const kel_value name = *stack::argument(2);
    if (!bind_by_name || !bind_by_name(&name, result)) return fail(error_category::internal, "routines");
    stack::rewind_to_result();
    return signal_code::none;
}

// The spec handed out is a deep copy: each call reads the routine's own spec
// for the number and the types of the machine arguments, so a script that
// changed it would have the routine read arguments that were never pushed.
// The other fields are function!'s.
signal_code a_reflect(const refinements& refs) {
    const kel_value field = *stack::argument(2);
    const bool spec = in_family(type_of(&field), family::word) &&
                      symbol::resolve(word_symbol(&field)) == symbol::resolve(words::spec);
    if (!spec) return function::reflect(refs);
    kel_value* base = stack::arguments();
    *base = function::spec_of(base);
    actions::copy_value(base, base, nullptr, true, nullptr);
    stack::rewind_to_result();
    return signal_code::none;
}

}  // namespace

kel_value* push(const kel_value* spec_in, const kel_value* body_in, int32_t number, int32_t return_type, bool cells) {
    kel_value* out = stack::push_unset();
    kel_value* spec = stack::push_copy(spec_in);
    kel_value* more = block::push_only_star(function::more::cells);
    kel_value unset;
    set_unset(&unset);
    for (int32_t i = 0; i < function::more::cells; ++i) block::ks_add(more, &unset);
    const uint32_t ctx = _context::make_from_spec(spec, true, false, _context::kind_function);
    kel_value r;
    r.header = types::routine | (cells ? flag_cells : 0u);
    r.w1 = ctx;
    r.w2 = series_node(spec);
    r.w3 = series_node(more);
    *_context::owner(ctx) = r;
    kel_value* m = function::more_cell(&r, 0);
    if (body_in) m[function::more::body] = *body_in;
    else set_none(m + function::more::body);
    set_integer(m + function::more::code, number);
    set_integer(m + function::more::object, return_type);
    set_arity(&r);
    *out = r;
    stack::regs.top = out + 1;
    return out;
}

void set_arity(kel_value* r) {
    const kel_value spec = function::spec_of(r);
    const int32_t n = std::max(block::ks_length_q(&spec), 0);
    uint32_t count = 0;
    for (int32_t i = 0; i < n; ++i)
        if (type_of(block::ks_abs_at(&spec, i)) == types::word) ++count;
    r->header = (r->header & ~arity_mask) | (std::min(count, 31u) << arity_shift);
}

int32_t form(const kel_value*, kel_value* buffer, const kel_value*, int32_t part) {
    text_out::append(buffer, "?routine?");
    return part - 9;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent) {
    const kel_value r = *value;
    text_out::append(buffer, "routine ");
    part -= 8;
    const kel_value spec = function::spec_of(&r);
    part = actions::mold_value(&spec, buffer, only, all, flat, arg, part, indent);
    const kel_value body = *function::more_cell(&r, function::more::body);
    if (type_of(&body) != types::block) {
        text_out::append(buffer, " ");
        part -= 1;
    }
    return actions::mold_value(&body, buffer, only, all, flat, arg, part, indent);
}

registry::registration row() {
    registry::registration r;
    r.id = types::routine;
    r.hash = hashtable::hash_by::zero;
    r.marker = kel::collector::cell_markers::function;
    r.families = family::function;
    r.parent = types::function;
    r.name = "routine!";
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::reflect] = static_cast<action_fn>(a_reflect);
    r[act::form] = form;
    r[act::mold] = mold;
    r[act::compare] = registry::entry::inherit();
    return r;
}

}  // namespace kel::routine
