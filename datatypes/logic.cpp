// logic: the unset!, none! and logic! rows, their constant cells and the
// truth tests. See logic.h.
#include "datatypes/logic.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <cstring>

#include "datatypes/integer.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"

namespace kel {

namespace {

constexpr kel_value unset_cell{types::unset, 0, 0, 0};
constexpr kel_value none_cell{types::none, 0, 0, 0};
constexpr kel_value true_cell{types::logic, 1, 0, 0};
constexpr kel_value false_cell{types::logic, 0, 0, 0};

int32_t put_text(kel_value* buffer, const char* text, int32_t part) {
    const size_t n = std::strlen(text);
    text_out::append(buffer, text, n);
    return part - static_cast<int32_t>(n);
}

// Equality codes (and the sort codes) answer; ordering two of these values
// is not comparable.
bool equality_or_sort(int32_t op) {
    return op == cmp::equal || op == cmp::not_equal || op == cmp::strict_equal || op == cmp::sort ||
           op == cmp::case_sort || op == cmp::same || op == cmp::find;
}

}  // namespace

// --- unset! ----------------------------------------------------------------------

namespace unset {

const kel_value* const value = &unset_cell;

kel_value* box() {
    set_unset(stack::arguments());
    return stack::arguments();
}

kel_value* push() { return stack::push_unset(); }

kel_value* make_at_tail(const kel_value* block) {
    kel_value* c = memory::claim_tail_cell(block);
    set_unset(c);
    return c;
}

namespace {

signal_code make(const refinements&) {
    box();
    return signal_code::none;
}

int32_t form(const kel_value*, kel_value*, const kel_value*, int32_t part) { return part; }

int32_t mold(const kel_value*, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part, int32_t) {
    return put_text(buffer, all ? "#(unset)" : "unset", part);
}

int32_t compare(const kel_value*, const kel_value* other, int32_t op) {
    if (type_of(other) != types::unset) return cmp::not_comparable;
    return equality_or_sort(op) ? 0 : cmp::not_comparable;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::unset;
    r.hash = hashtable::hash_by::unset;
    r.marker = kel::collector::cell_markers::nothing;
    r.name = "unset!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::to] = static_cast<action_fn>(make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    return r;
}

}  // namespace unset

// --- none! -----------------------------------------------------------------------

namespace none {

const kel_value* const value = &none_cell;

kel_value* box() {
    set_none(stack::arguments());
    return stack::arguments();
}

kel_value* push() {
    kel_value* c = stack::alloc_cell();
    set_none(c);
    return c;
}

kel_value* make_at_tail(const kel_value* block) {
    kel_value* c = memory::claim_tail_cell(block);
    set_none(c);
    return c;
}

namespace {

// make, to, and the series actions that answer none on none.
signal_code answer_none(const refinements&) {
    box();
    return signal_code::none;
}

// The generic length? action turns -1 into none.
signal_code length_q(const refinements&) {
    set_integer(stack::arguments(), -1);
    return signal_code::none;
}

int32_t form(const kel_value*, kel_value* buffer, const kel_value*, int32_t part) {
    return put_text(buffer, "none", part);
}

int32_t mold(const kel_value*, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part, int32_t) {
    return put_text(buffer, all ? "#(none)" : "none", part);
}

int32_t compare(const kel_value*, const kel_value* other, int32_t op) {
    if (type_of(other) != types::none) return cmp::not_comparable;
    return equality_or_sort(op) ? 0 : cmp::not_comparable;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::none;
    r.hash = hashtable::hash_by::none;
    r.set_hash = registry::set_hash_rule::exact;
    r.marker = kel::collector::cell_markers::nothing;
    r.name = "none!";
    r[act::make] = static_cast<action_fn>(answer_none);
    r[act::to] = static_cast<action_fn>(answer_none);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::clear] = static_cast<action_fn>(answer_none);
    r[act::find] = static_cast<action_fn>(answer_none);
    r[act::length_q] = static_cast<action_fn>(length_q);
    r[act::remove] = static_cast<action_fn>(answer_none);
    r[act::select] = static_cast<action_fn>(answer_none);
    r[act::take] = static_cast<action_fn>(answer_none);
    return r;
}

}  // namespace none

// --- logic! ----------------------------------------------------------------------

namespace logic {

const kel_value* const true_value = &true_cell;
const kel_value* const false_value = &false_cell;

kel_value* box(bool b) {
    set_logic(stack::arguments(), b);
    return stack::arguments();
}

kel_value* push(bool b) {
    kel_value* c = stack::alloc_cell();
    set_logic(c, b);
    return c;
}

kel_value* make_at_tail(const kel_value* block, bool b) {
    kel_value* c = memory::claim_tail_cell(block);
    set_logic(c, b);
    return c;
}

bool truthy_q(const kel_value* v, bool check, const kel_value* word) {
    if (check && type_of(v) == types::unset) fire(error_category::script, "no-value", word);
    return !falsy(v);
}

signal_code no_return() { return fail(error_category::script, "no-return"); }

bool last_truthy_q() {
    const kel_value* v = stack::arguments();
    if (const signal_code c = condition_code(v); c != signal_code::none) stack::throw_code(c);
    return !falsy(v);
}

bool last_falsy_q() { return falsy(stack::arguments()); }
bool top_falsy_q() { return falsy(stack::last_cell()); }
bool top_truthy_q() { return !top_falsy_q(); }

namespace {

signal_code to(const refinements&) {
    kel_value* result = stack::argument(1);
    const kel_value* spec = stack::argument(2);
    const uint32_t t = type_of(spec);
    if (t == types::logic) *result = *spec;
    else *result = t == types::none ? false_cell : true_cell;
    return signal_code::none;
}

signal_code make(const refinements& refs) {
    const kel_value* spec = stack::argument(2);
    switch (type_of(spec)) {
        case types::integer: box(get_integer(spec) != 0); return signal_code::none;
        case types::float_:
        case types::percent: box(get_float(spec) != 0.0); return signal_code::none;  // NaN is true
        default: return to(refs);
    }
}

signal_code random(const refinements& refs) {
    kel_value* v = stack::argument(1);
    if (refs.has(0)) {
        random::seed(v->w1 ? 1u : 0u);
        unset::box();
        return signal_code::none;
    }
    const int32_t draw = static_cast<int32_t>(refs.has(1) ? random::secure_next() : random::next());
    box(draw > 0x3FFFFFFF);
    return signal_code::none;
}

int32_t form(const kel_value* v, kel_value* buffer, const kel_value*, int32_t part) {
    return put_text(buffer, v->w1 ? "true" : "false", part);
}

int32_t mold(const kel_value* v, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part, int32_t) {
    if (all) return put_text(buffer, v->w1 ? "#(true)" : "#(false)", part);
    return put_text(buffer, v->w1 ? "true" : "false", part);
}

int32_t compare(const kel_value* v, const kel_value* other, int32_t op) {
    if (type_of(other) != types::logic) return cmp::not_comparable;
    if (!equality_or_sort(op)) return cmp::not_comparable;
    return static_cast<int32_t>(v->w1 != 0) - static_cast<int32_t>(other->w1 != 0);
}

signal_code complement(const refinements&) {
    kel_value* v = stack::argument(1);
    v->w1 ^= 1u;
    return signal_code::none;
}

signal_code bitwise(int op) {
    kel_value* a = stack::argument(1);
    const kel_value* b = stack::argument(2);
    if (type_of(b) != types::logic) {
        // Named as the script called it: `true and 1` reports `and`, not `and~`.
        kel_value name, type;
        const error_arg who = stack::innermost_name_arg(&name);
        set_datatype(&type, type_of(b));
        fire(error_category::script, "expect-arg", who, &type, error_arg::named("value2"));
    }
    const uint32_t x = a->w1 != 0, y = b->w1 != 0;
    const uint32_t r = op == scalar::op_and ? (x & y) : op == scalar::op_or ? (x | y) : (x ^ y);
    set_logic(stack::arguments(), r != 0);
    return signal_code::none;
}

signal_code and_(const refinements&) { return bitwise(scalar::op_and); }
signal_code or_(const refinements&) { return bitwise(scalar::op_or); }
signal_code xor_(const refinements&) { return bitwise(scalar::op_xor); }

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::logic;
    r.hash = hashtable::hash_by::w1;
    r.set_hash = registry::set_hash_rule::exact;
    r.marker = kel::collector::cell_markers::nothing;
    r.name = "logic!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = static_cast<action_fn>(random);
    r[act::to] = static_cast<action_fn>(to);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::and_] = static_cast<action_fn>(and_);
    r[act::complement] = static_cast<action_fn>(complement);
    r[act::or_] = static_cast<action_fn>(or_);
    r[act::xor_] = static_cast<action_fn>(xor_);
    return r;
}

}  // namespace logic

}  // namespace kel
