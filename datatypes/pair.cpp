// pair: the pair! row, its per-axis arithmetic and its hand-over to
// point2D!. See pair.h.
#include "datatypes/pair.h"

#include <climits>
#include <cmath>

#include "datatypes/float.h"
#include "datatypes/held_value.h"
#include "datatypes/integer.h"
#include "datatypes/point.h"
#include "kernel/actions.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"
#include "kernel/random.h"
#include "kernel/stack.h"

namespace kel::pair {

using namespace scalar;

kel_value* init_cell(kel_value* cell, int32_t x, int32_t y) {
    set_type(cell, types::pair);
    cell->w2 = static_cast<uint32_t>(x);
    cell->w3 = static_cast<uint32_t>(y);
    return cell;
}

kel_value* make_at_tail(const kel_value* block, int32_t x, int32_t y) {
    kel_value* c = memory::claim_tail_cell(block);
    set_pair(c, x, y);
    return c;
}

kel_value* push(int32_t x, int32_t y) {
    kel_value* c = stack::alloc_cell();
    set_pair(c, x, y);
    return c;
}

int32_t spelled_axis(const kel_value* word) {
    if (!hooks.word_spelling) fire(error_category::internal, "not-done");
    const char* text = nullptr;
    size_t length = 0;
    if (!hooks.word_spelling(word, &text, &length) || length != 1) return 0;
    switch (text[0]) {
        case 'x': case 'X': return 1;
        case 'y': case 'Y': return 2;
        case 'z': case 'Z': return 3;
        default: return 0;
    }
}

// A symbol's spelling never changes, so the answers for the last two
// symbols asked about are kept: a loop over p/x and p/y reads no names.
int32_t axis_letter(const kel_value* word) {
    struct seen {
        uint32_t symbol;
        int32_t axis;
        bool valid;
    };
    static seen last[2] = {};
    const uint32_t s = word_symbol(word);
    if (last[0].valid && last[0].symbol == s) return last[0].axis;
    if (last[1].valid && last[1].symbol == s) return last[1].axis;
    const int32_t a = spelled_axis(word);
    last[1] = last[0];
    last[0] = seen{s, a, true};
    return a;
}

int32_t axis_index(const kel_value* word, const kel_value* value) {
    const int32_t a = axis_letter(word);
    if (a == 1 || a == 2) return a;
    if (type_of(value) == types::pair) fire(error_category::script, "cannot-use", word, value);
    fire(error_category::script, "invalid-path", word, value);
}

void to_point2d(int index) {
    kel_value* c = arg(index);
    const int32_t x = pair_x(c), y = pair_y(c);
    point2d::init_cell(c, float_::to_single(double(x)), float_::to_single(double(y)));
}

int32_t get_int(const kel_value* value) {
    if (type_of(value) == types::integer) return get_integer(value);
    // Truncated first: 2147483647.5 is the axis 2147483647 (NaN stays NaN
    // and is refused).
    const double d = std::trunc(get_float(value));
    if (!int32_range_q(d)) fire(error_category::script, "invalid-arg", value);
    return truncate_int32(d);
}

namespace {

// One axis in checked 32-bit arithmetic: false when the result does not fit
// (the caller then redoes the whole operation in point2D!); division and
// remainder by zero raise as integer! does.
bool axis_op(int32_t a, int32_t b, int op, int32_t* r) {
    switch (op) {
        case op_add: return !__builtin_add_overflow(a, b, r);
        case op_subtract: return !__builtin_sub_overflow(a, b, r);
        case op_multiply: return !__builtin_mul_overflow(a, b, r);
        case op_divide:
            if (b == 0) zero_divide();
            if (a == INT32_MIN && b == -1) return false;
            *r = a / b;
            return true;
        case op_remainder:
            if (b == 0) zero_divide();
            *r = b == -1 ? 0 : a % b;  // INT32_MIN % -1 is 0, but the machine traps on it
            return true;
        case op_or: *r = a | b; return true;
        case op_and: *r = a & b; return true;
        default: *r = a ^ b; return true;
    }
}

// The pair in argument 1 as point2D!, combined by the point arithmetic.
signal_code as_points(int op) {
    to_point2d(1);
    return point2d::math_op(op);
}

}  // namespace

signal_code math_op(int op) {
    kel_value* left = arg(1);
    kel_value* right = arg(2);
    const uint32_t rt = type_of(right);
    int32_t bx, by;
    switch (rt) {
        case types::integer: bx = by = get_integer(right); break;
        case types::float_:
        case types::percent: {
            const double f = get_float(right);
            if (op == op_multiply || op == op_divide) {
                if (op == op_multiply ? !std::isfinite(f) : std::isnan(f))
                    fire(error_category::script, "invalid-arg", right);
                const double x = pair_x(left), y = pair_y(left);
                if (op == op_multiply) point2d::init_cell(left, float_::to_single(x * f), float_::to_single(y * f));
                else point2d::init_cell(left, float_::to_single(x / f), float_::to_single(y / f));
                return signal_code::none;
            }
            if (!std::isfinite(f)) fire(error_category::script, "invalid-arg", right);
            if (!int32_range_q(std::trunc(f))) {
                // No integer operand exists: the point arithmetic takes the
                // float, as it would an axis that overflowed. The bitwise
                // operators have no point form.
                if (op >= op_or) fire(error_category::script, "invalid-arg", right);
                return as_points(op);
            }
            bx = by = truncate_int32(std::trunc(f));
            break;
        }
        case types::pair:
            bx = pair_x(right);
            by = pair_y(right);
            break;
        case types::point2d: return as_points(op);
        default: invalid_type(rt);
    }
    int32_t rx, ry;
    const bool x_fits = axis_op(pair_x(left), bx, op, &rx);
    const bool y_fits = axis_op(pair_y(left), by, op, &ry);
    if (x_fits && y_fits) {
        init_cell(left, rx, ry);
        return signal_code::none;
    }
    // An axis overflowed: the same operation over float64 components, with
    // the operand as the integer arithmetic saw it.
    if (rt == types::pair) to_point2d(2);
    else set_integer(right, bx);
    return as_points(op);
}

namespace {

signal_code add(const refinements&) { return math_op(op_add); }
signal_code subtract(const refinements&) { return math_op(op_subtract); }
signal_code multiply(const refinements&) { return math_op(op_multiply); }
signal_code divide(const refinements&) { return math_op(op_divide); }
signal_code remainder(const refinements&) { return math_op(op_remainder); }
signal_code and_(const refinements&) { return math_op(op_and); }
signal_code or_(const refinements&) { return math_op(op_or); }
signal_code xor_(const refinements&) { return math_op(op_xor); }

// A point2D! coordinate as an axis: truncated toward zero, refused when not
// finite or beyond 32 bits (`invalid-arg` with the point).
int32_t coordinate_axis(float f, const kel_value* point) {
    const double d = std::trunc(double(f));
    if (!int32_range_q(d)) fire(error_category::script, "invalid-arg", point);
    return truncate_int32(d);
}

signal_code make(const refinements&) {
    kel_value* result = arg(1);
    const kel_value* spec = arg(2);
    const uint32_t st = type_of(spec);
    int32_t x = 0, y = 0;
    switch (st) {
        case types::pair: *result = *spec; return signal_code::none;
        case types::integer: x = y = get_integer(spec); break;
        case types::float_: x = y = get_int(spec); break;
        case types::point2d:
            x = coordinate_axis(get_float32(spec, 1), spec);
            y = coordinate_axis(get_float32(spec, 2), spec);
            break;
        case types::block: {
            const units_view u = units_from_head(spec);
            const auto* cells = reinterpret_cast<const kel_value*>(u.data);
            if (u.count < 2) fire(error_category::syntax, "malconstruct", spec);
            for (int i = 0; i < 2; ++i) {
                const uint32_t et = type_of(&cells[i]);
                if (et != types::integer && et != types::float_) fire(error_category::syntax, "malconstruct", spec);
            }
            x = get_int(&cells[0]);
            y = get_int(&cells[1]);
            break;
        }
        default: {
            if (!in_family(st, family::string_like)) bad_to_arg(types::pair, spec);
            if (!hooks.scan_value) fire(error_category::internal, "not-done");
            kel_value scanned;
            if (!hooks.scan_value(spec, &scanned) || type_of(&scanned) != types::pair) bad_to_arg(types::pair, spec);
            *result = scanned;
            return signal_code::none;
        }
    }
    set_pair(result, x, y);
    return signal_code::none;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    const short_text x = integer::decimal_text(pair_x(value));
    const short_text y = integer::decimal_text(pair_y(value));
    text_out::append(buffer, x.chars, x.length);
    text_out::append(buffer, "x", 1);
    text_out::append(buffer, y.chars, y.length);
    return part - static_cast<int32_t>(x.length + 1 + y.length);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return form(value, buffer, arg, part);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t ot = type_of(other);
    if (ot == types::point2d) {
        kel_value p;
        point2d::init_cell(&p, float_::to_single(double(pair_x(value))), float_::to_single(double(pair_y(value))));
        p.header = types::point2d;
        return point2d::compare(&p, other, op);
    }
    if (ot != types::pair) return cmp::not_comparable;
    const int32_t ax = pair_x(value), bx = pair_x(other);
    if (ax != bx) return ax < bx ? -1 : 1;
    const int32_t ay = pair_y(value), by = pair_y(other);
    return (ay > by) - (ay < by);
}

signal_code eval_path(const path_step_args& step) {
    const kel_value* element = step.element;
    int32_t a = 0;
    if (type_of(element) == types::integer) a = get_integer(element);
    else if (in_family(type_of(element), family::word)) a = axis_index(element, step.parent);
    if (a != 1 && a != 2) fire(error_category::script, "invalid-path", step.path, element);
    if (!step.value_to_set) {
        set_integer(step.result, a == 1 ? pair_x(step.parent) : pair_y(step.parent));
        return signal_code::none;
    }
    const kel_value* value = step.value_to_set;
    if (type_of(value) != types::integer) invalid_type(type_of(value));
    (a == 1 ? step.parent->w2 : step.parent->w3) = value->w2;
    const kel_value answer = *value;
    const kel_value changed = *step.parent;
    KEL_PROPAGATE(held_value::store_back(step, &changed));
    if (step.result) *step.result = answer;
    return signal_code::none;
}

signal_code pick(const refinements&) {
    const kel_value pair = *arg(1);
    const kel_value* index = arg(2);
    // The index as the action dispatch reads it (true picks the first axis,
    // false the second), or an axis letter.
    const int32_t a = in_family(type_of(index), family::word) ? axis_letter(index) : actions::index_argument(index);
    if (a != 1 && a != 2) out_of_range(index);
    set_integer(stack::arguments(), a == 1 ? pair_x(&pair) : pair_y(&pair));
    return signal_code::none;
}

signal_code absolute(const refinements&) {
    kel_value* v = arg(1);
    init_cell(v, integer::safe_abs(pair_x(v)), integer::safe_abs(pair_y(v)));
    return signal_code::none;
}

signal_code negate(const refinements&) {
    kel_value* v = arg(1);
    if (pair_x(v) == INT32_MIN || pair_y(v) == INT32_MIN) math_overflow();
    init_cell(v, -pair_x(v), -pair_y(v));
    return signal_code::none;
}

signal_code reverse(const refinements&) {
    kel_value* v = arg(1);
    init_cell(v, pair_y(v), pair_x(v));
    return signal_code::none;
}

// One axis rounded by integer!'s round with the refinements given, its scale
// (when the scale is a pair) put in the scale's cell; a float result
// (a float scale) is truncated toward zero.
signal_code round_axis(int32_t value, kel_value* scale, const kel_value* pair_scale, int axis,
                       const refinements& refs, int32_t* out) {
    if (pair_scale) set_integer(scale, axis == 1 ? pair_x(pair_scale) : pair_y(pair_scale));
    kel_value* v = arg(1);
    set_integer(v, value);
    KEL_PROPAGATE(registry::handler(types::integer, act::round)(refs));
    if (type_of(v) == types::integer) {
        *out = get_integer(v);
        return signal_code::none;
    }
    const double d = get_float(v);
    if (!int32_range_q(d)) math_overflow();
    *out = truncate_int32(d);
    return signal_code::none;
}

signal_code round(const refinements& refs) {
    const kel_value pair = *arg(1);
    kel_value* scale = refs.has(0) ? stack::arguments() + refs.at[0] : nullptr;
    if (scale && type_of(scale) == types::money) not_related("round", types::money);
    const bool per_axis = scale && type_of(scale) == types::pair;
    const kel_value pair_scale = per_axis ? *scale : pair;
    int32_t x, y;
    KEL_PROPAGATE(round_axis(pair_x(&pair), scale, per_axis ? &pair_scale : nullptr, 1, refs, &x));
    KEL_PROPAGATE(round_axis(pair_y(&pair), scale, per_axis ? &pair_scale : nullptr, 2, refs, &y));
    set_pair(arg(1), x, y);
    return signal_code::none;
}

signal_code random(const refinements& refs) {
    kel_value* v = arg(1);
    if (refs.has(0)) {
        random::seed(v->w2 ^ v->w3);
        set_unset(stack::arguments());
        return signal_code::none;
    }
    const bool secure = refs.has(1);
    // x draws first: a seeded sequence must not depend on the order the
    // compiler evaluates call arguments in.
    const int32_t x = pair_x(v) ? random::int_upto(pair_x(v), secure) : 0;
    const int32_t y = pair_y(v) ? random::int_upto(pair_y(v), secure) : 0;
    init_cell(v, x, y);
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::pair;
    r.parent = 0;
    r.name = "pair!";
    r.hash = hashtable::hash_by::words_2_3;
    r.marker = collector::cell_markers::nothing;
    r.families = family::scalar;
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = static_cast<action_fn>(random);
    r[act::to] = static_cast<action_fn>(make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::absolute] = static_cast<action_fn>(absolute);
    r[act::add] = static_cast<action_fn>(add);
    r[act::divide] = static_cast<action_fn>(divide);
    r[act::multiply] = static_cast<action_fn>(multiply);
    r[act::negate] = static_cast<action_fn>(negate);
    r[act::remainder] = static_cast<action_fn>(remainder);
    r[act::round] = static_cast<action_fn>(round);
    r[act::subtract] = static_cast<action_fn>(subtract);
    r[act::and_] = static_cast<action_fn>(and_);
    r[act::or_] = static_cast<action_fn>(or_);
    r[act::xor_] = static_cast<action_fn>(xor_);
    r[act::pick] = static_cast<action_fn>(pick);
    r[act::reverse] = static_cast<action_fn>(reverse);
    return r;
}

}  // namespace kel::pair
