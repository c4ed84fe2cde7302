// integer: the integer! row, the checked arithmetic worker and the shared
// scalar support (errors, conversions' inputs, services of later modules).
// See integer.h.
#include "datatypes/integer.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "datatypes/float.h"
#include "datatypes/symbol.h"
#include "kernel/stack.h"
#include "kernel/fatal.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"
#include "kernel/series_memory.h"


namespace kel::scalar {

scalar_hooks hooks{};

int action_of(int op) {
    static constexpr int actions[] = {act::add, act::subtract, act::multiply, act::divide,
                                      act::remainder, act::or_, act::and_, act::xor_};
    return actions[op & 7];
}

const char* word_of(int op) {
    static constexpr const char* words[] = {"add", "subtract", "multiply", "divide", "remainder", "or~", "and~", "xor~"};
    return words[op & 7];
}

signal_code right_operand_action(uint32_t type, int action, operands order) {
    if (!registry::supported(type, action)) invalid_type(type);
    if (order == operands::swapped) {
        kel_value* left = arg(1);
        kel_value* right = arg(2);
        const kel_value number = *left;
        *left = *right;
        *right = number;
    }
    return registry::handler(type, action)(refinements::none());
}

signal_code vector_on_right(int op, uint32_t left_type) {
    if (op == op_subtract || op == op_divide || op == op_remainder) not_related(word_of(op), left_type);
    return right_operand_action(types::vector, action_of(op), operands::swapped);
}

void bad_to_arg(uint32_t target, const kel_value* spec) {
    kel_value t;
    set_datatype(&t, target);
    fire(error_category::script, "bad-to-arg", &t, spec);
}

void invalid_type(uint32_t type) {
    kel_value t;
    set_datatype(&t, type);
    fire(error_category::script, "invalid-type", &t);
}

void not_related(const char* word, uint32_t type) {
    kel_value t;
    set_datatype(&t, type);
    fire(error_category::script, "not-related", error_arg::named(word), &t);
}

void expect_arg(const char* function, uint32_t type, const char* argument) {
    kel_value t;
    set_datatype(&t, type);
    fire(error_category::script, "expect-arg", error_arg::named(function), &t, error_arg::named(argument));
}

void type_limit(uint32_t type) {
    kel_value t;
    set_datatype(&t, type);
    fire(error_category::script, "type-limit", &t);
}

void out_of_range(const kel_value* value) { fire(error_category::script, "out-of-range", value); }
void math_overflow() { fire(error_category::math, "overflow"); }
void zero_divide() { fire(error_category::math, "zero-divide"); }

uint32_t target_type(const kel_value* first) {
    return type_of(first) == types::datatype ? get_datatype(first) : type_of(first);
}

units_view units_from_head(const kel_value* series) {
    const memory::buffer_header* h = memory::buffer_of(series_node(series));
    const int unit = static_cast<int>(h->unit());
    const int64_t head = series_head(series) < 0 ? 0 : series_head(series);
    int64_t count = static_cast<int64_t>(h->units()) - head;
    if (count < 0) count = 0;
    return {h->data() + h->head + head * unit, count, unit};
}

namespace {

// The spelling of a word's (or an issue's) symbol as the symbol table holds
// it. A cell whose symbol id lies outside the table names nothing.
bool symbol_spelling(const kel_value* word, const char** text, size_t* length) {
    const uint32_t id = word_symbol(word);
    if (id == 0 || !symbol::ready() || id > symbol::count()) return false;
    uint32_t n = 0;
    *text = symbol::name_bytes(id, &n);
    *length = n;
    return true;
}

}  // namespace

void install_symbol_services() { hooks.word_spelling = symbol_spelling; }

}  // namespace kel::scalar

namespace kel::integer {

using namespace scalar;

int32_t get_last() { return get(stack::arguments()); }

int32_t last_or_zero() {
    const kel_value* v = stack::arguments();
    return type_of(v) == types::integer ? get(v) : 0;
}

kel_value* box(int32_t value) {
    kel_value* c = stack::arguments();
    set_integer(c, value);
    return c;
}

kel_value* init_cell(kel_value* cell, int32_t value) {
    set_type(cell, types::integer);
    cell->w2 = static_cast<uint32_t>(value);
    return cell;
}

kel_value* make_at_tail(const kel_value* block, int32_t value) {
    kel_value* c = memory::claim_tail_cell(block);
    set_integer(c, value);
    return c;
}

kel_value* push(int32_t value) {
    kel_value* c = stack::alloc_cell();
    set_integer(c, value);
    return c;
}

int32_t safe_abs(int32_t v) {
    if (v == INT32_MIN) math_overflow();
    return v < 0 ? -v : v;
}

bool out_of_range_q(double d) { return !int32_range_q(d); }
bool out_of_range_q(const kel_value* float_cell) { return out_of_range_q(get_float(float_cell)); }

namespace {

int32_t overflowed(kel_value* cell, double exact) {
    if (cell) set_float(cell, exact);
    return 0;
}

}  // namespace

int32_t arith_op(int32_t a, int32_t b, int op, kel_value* cell) {
    int32_t r = 0;
    switch (op) {
        case op_add:
            if (__builtin_add_overflow(a, b, &r)) return overflowed(cell, double(a) + double(b));
            break;
        case op_subtract:
            if (__builtin_sub_overflow(a, b, &r)) return overflowed(cell, double(a) - double(b));
            break;
        case op_multiply:
            if (__builtin_mul_overflow(a, b, &r)) return overflowed(cell, double(a) * double(b));
            break;
        case op_divide:
            if (b == 0) zero_divide();
            if (a == INT32_MIN && b == -1) math_overflow();
            if (cell && a % b != 0) {
                set_float(cell, double(a) / double(b));
                return 0;
            }
            r = a / b;
            break;
        case op_remainder:
            if (b == 0) zero_divide();
            if (a == INT32_MIN && b == -1) math_overflow();
            r = a % b;
            break;
        case op_or: r = a | b; break;
        case op_and: r = a & b; break;
        case op_xor: r = a ^ b; break;
        default: fatal::report_error(fatal::no_switch_matched, __builtin_return_address(0));
    }
    if (cell) cell->w2 = static_cast<uint32_t>(r);
    return r;
}

signal_code arith_action(int op) {
    kel_value* left = arg(1);
    kel_value* right = arg(2);
    const uint32_t rt = type_of(right);
    switch (rt) {
        case types::integer:
        case types::char_: {
            // The division errors are returned from here (arith_op, shared
            // with code that cannot return a code, raises them).
            const int32_t b = get(right);
            if ((op == op_divide || op == op_remainder) && (b == 0 || (b == -1 && get(left) == INT32_MIN)))
                return fail(error_category::math, b == 0 ? "zero-divide" : "overflow");
            arith_op(get(left), b, op, left);
            return signal_code::none;
        }
        case types::money: return right_operand_action(rt, action_of(op), operands::in_order);
        case types::float_:
        case types::percent:
        case types::time:
            return float_::math_action(op);
        case types::vector: return vector_on_right(op, types::integer);
        case types::pair:
        case types::point2d:
        case types::point3d:
            // The handlers below take the point or pair first, so a quotient
            // or remainder of the number would come out the other way round.
            if (op == op_divide || op == op_remainder) not_related(word_of(op), types::integer);
            if (op == op_subtract) {
                // n - p is (-p) + n; the add finds the operands already swapped
                KEL_PROPAGATE(right_operand_action(rt, act::negate, operands::swapped));
                return right_operand_action(rt, act::add, operands::in_order);
            }
            return right_operand_action(rt, action_of(op), operands::swapped);
        case types::tuple: return right_operand_action(rt, action_of(op), operands::in_order);
        case types::date:
            if (op != op_add) not_related("subtract", types::integer);
            return right_operand_action(rt, act::add, operands::swapped);
        default: invalid_type(rt);
    }
}

bool int_power(int32_t base, int32_t exponent, int32_t* result) {
    int32_t r = 1;
    while (exponent != 0) {
        if (exponent & 1) {
            if (__builtin_mul_overflow(r, base, &r)) return false;
        }
        exponent >>= 1;
        if (exponent != 0 && __builtin_mul_overflow(base, base, &base)) return false;
    }
    *result = r;
    return true;
}

int32_t from_binary(const uint8_t* bytes, size_t count) {
    uint32_t v = 0;
    for (size_t i = 0; i < count && i < 4; ++i) v = (v << 8) | bytes[i];
    return static_cast<int32_t>(v);
}

namespace {

int hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    return -1;
}

template <class Unit>
bool hex_of(const Unit* units, size_t count, int32_t* out) {
    if (count == 0 || count > 8) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < count; ++i) {
        const int d = hex_digit(static_cast<uint32_t>(units[i]));
        if (d < 0) return false;
        v = v * 16u + static_cast<uint32_t>(d);
    }
    *out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

bool from_hex_digits(const uint32_t* code_points, size_t count, int32_t* out) {
    return hex_of(code_points, count, out);
}

// A UTF-8 byte of a non-ASCII character is never a hex digit, so reading the
// bytes gives the same answers as reading the code points.
bool from_hex_digits(const char* bytes, size_t count, int32_t* out) {
    return hex_of(reinterpret_cast<const uint8_t*>(bytes), count, out);
}

// --- action handlers -----------------------------------------------------------

namespace {

signal_code add(const refinements&) { return arith_action(op_add); }
signal_code subtract(const refinements&) { return arith_action(op_subtract); }
signal_code multiply(const refinements&) { return arith_action(op_multiply); }
signal_code divide(const refinements&) { return arith_action(op_divide); }
signal_code remainder(const refinements&) { return arith_action(op_remainder); }
signal_code or_(const refinements&) { return arith_action(op_or); }
signal_code and_(const refinements&) { return arith_action(op_and); }
signal_code xor_(const refinements&) { return arith_action(op_xor); }

signal_code negate(const refinements&) {
    kel_value* v = arg(1);
    if (get(v) == INT32_MIN) math_overflow();
    v->w2 = static_cast<uint32_t>(-get(v));
    return signal_code::none;
}

signal_code complement(const refinements&) {
    kel_value* v = arg(1);
    v->w2 = ~v->w2;
    return signal_code::none;
}

signal_code power(const refinements& refs) {
    kel_value* base = arg(1);
    const kel_value* exponent = arg(2);
    const uint32_t et = type_of(exponent);
    if (et != types::integer && et != types::float_) expect_arg("power", et, "exponent");
    if (et == types::integer && get(exponent) >= 0) {
        int32_t r;
        if (int_power(get(base), get(exponent), &r)) {
            base->w2 = static_cast<uint32_t>(r);
            return signal_code::none;
        }
    }
    set_float(base, double(get(base)));
    return float_::power(refs);
}

// Refinement slots of round.
enum { ref_to = 0, ref_even, ref_down, ref_half_down, ref_floor, ref_ceiling, ref_half_ceiling };

signal_code round(const refinements& refs) {
    kel_value* v = arg(1);
    const kel_value* scale = refs.has(ref_to) ? stack::arguments() + refs.at[ref_to] : nullptr;
    if (scale && type_of(scale) == types::money) not_related("round", types::money);
    const int32_t value = get(v);
    if (value == INT32_MIN) return signal_code::none;
    int32_t s = 1;
    if (scale) {
        if (type_of(scale) != types::integer) {
            set_float(v, double(value));
            return float_::round(refs);
        }
        s = safe_abs(get(scale));
    }
    if (s == 0) return signal_code::none;
    const int32_t magnitude = value < 0 ? -value : value;
    const int32_t q = magnitude / s;
    const int32_t r = magnitude % s;
    if (r == 0) return signal_code::none;
    const int64_t down = magnitude - r;
    const int64_t up = int64_t(magnitude) + (s - r);
    bool choose_up;
    if (refs.has(ref_down)) choose_up = false;
    else if (refs.has(ref_floor)) choose_up = value < 0;
    else if (refs.has(ref_ceiling)) choose_up = value > 0;
    else if (r < s - r) choose_up = false;
    else if (r > s - r) choose_up = true;
    else if (refs.has(ref_even)) choose_up = (q & 1) != 0;
    else if (refs.has(ref_half_down)) choose_up = false;
    else if (refs.has(ref_half_ceiling)) choose_up = value > 0;
    else choose_up = true;
    // The magnitude 2147483648 still fits once the minus sign is back.
    if (choose_up && up > (value < 0 ? int64_t(INT32_MAX) + 1 : int64_t(INT32_MAX))) math_overflow();
    const int64_t result = choose_up ? up : down;
    v->w2 = static_cast<uint32_t>(value < 0 ? -result : result);
    return signal_code::none;
}

signal_code to(const refinements&) {
    kel_value* result = arg(1);
    const kel_value* spec = arg(2);
    const uint32_t st = type_of(spec);
    switch (st) {
        case types::integer: *result = *spec; return signal_code::none;
        case types::char_: set_integer(result, static_cast<int32_t>(get_char(spec))); return signal_code::none;
        case types::float_:
        case types::percent:
            if (out_of_range_q(spec)) type_limit(types::integer);
            set_integer(result, static_cast<int32_t>(get_float(spec)));
            return signal_code::none;
        case types::time: {
            // Checked once truncated: 2147483647 seconds give 2147483647.
            const double x = std::trunc(get_float(spec) + 0.5);
            if (out_of_range_q(x)) type_limit(types::integer);
            set_integer(result, static_cast<int32_t>(x));
            return signal_code::none;
        }
        case types::money:
            if (!hooks.money_to_integer) bad_to_arg(types::integer, spec);
            set_integer(result, hooks.money_to_integer(spec));
            return signal_code::none;
        case types::binary: {
            const units_view u = units_from_head(spec);
            set_integer(result, from_binary(reinterpret_cast<const uint8_t*>(u.data), static_cast<size_t>(u.count)));
            return signal_code::none;
        }
        case types::issue: {
            const char* name = nullptr;
            size_t length = 0;
            if (!hooks.word_spelling) fire(error_category::internal, "not-done");
            int32_t n = 0;
            if (!hooks.word_spelling(spec, &name, &length) || !from_hex_digits(name, length, &n))
                fire(error_category::script, "invalid-data", spec);
            set_integer(result, n);
            return signal_code::none;
        }
        case types::date:
            if (!hooks.date_unix_seconds) bad_to_arg(types::integer, spec);
            set_integer(result, hooks.date_unix_seconds(spec));
            return signal_code::none;
        default: break;
    }
    if (!in_family(st, family::string_like)) bad_to_arg(types::integer, spec);
    const units_view u = units_from_head(spec);
    const lexer::integer_conversion c =
        lexer::text_to_integer(u.data, static_cast<size_t>(u.count), u.unit);
    if (c.error != lexer::number_error::none) bad_to_arg(types::integer, spec);
    set_integer(result, c.value);
    return signal_code::none;
}

signal_code make(const refinements& refs) {
    const kel_value* spec = arg(2);
    if (type_of(spec) == types::logic) {
        set_integer(arg(1), get_logic(spec) ? 1 : 0);
        return signal_code::none;
    }
    return to(refs);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return form(value, buffer, arg, part);
}

}  // namespace

signal_code random(const refinements& refs) {
    kel_value* v = arg(1);
    if (refs.has(0)) {
        random::seed(v->w2);
        set_unset(stack::arguments());
        return signal_code::none;
    }
    const int32_t n = get(v);
    if (n != 0) v->w2 = static_cast<uint32_t>(random::int_upto(n, refs.has(1)));
    return signal_code::none;
}

signal_code absolute(const refinements&) {
    kel_value* v = arg(1);
    v->w2 = static_cast<uint32_t>(safe_abs(get(v)));
    return signal_code::none;
}

signal_code even_q(const refinements&) {
    set_logic(stack::arguments(), (arg(1)->w2 & 1u) == 0);
    return signal_code::none;
}

signal_code odd_q(const refinements&) {
    set_logic(stack::arguments(), (arg(1)->w2 & 1u) != 0);
    return signal_code::none;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    const short_text t = decimal_text(get(value));
    text_out::append(buffer, t.chars, t.length);
    return part - static_cast<int32_t>(t.length);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t t = type_of(other);
    if ((op == cmp::strict_equal || op == cmp::find) && t != types::integer) return 1;
    switch (t) {
        case types::integer:
        case types::char_: {
            const int32_t a = get(value), b = get(other);
            return (a > b) - (a < b);
        }
        case types::money: {
            if (!hooks.money_from_integer || !registry::supported(types::money, act::compare))
                return cmp::not_comparable;
            kel_value m;
            hooks.money_from_integer(get(value), &m);
            return registry::compare_handler(types::money)(&m, other, op);
        }
        case types::float_:
        case types::percent:
        case types::time: {
            // value1 as a float64 under its own header, so the float compare
            // still sees an integer! against a float-based type.
            kel_value as_float = *value;
            put_float(&as_float, double(get(value)));
            return float_::compare(&as_float, other, op);
        }
        default: return cmp::not_comparable;
    }
}

registry::registration row() {
    registry::registration r;
    r.id = types::integer;
    r.hash = hashtable::hash_by::w2;
    r.set_hash = registry::set_hash_rule::exact;
    r.marker = kel::collector::cell_markers::nothing;
    r.families = family::scalar | family::number;
    r.parent = 0;
    r.name = "integer!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = static_cast<action_fn>(random);
    r[act::to] = static_cast<action_fn>(to);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::absolute] = static_cast<action_fn>(absolute);
    r[act::add] = static_cast<action_fn>(add);
    r[act::divide] = static_cast<action_fn>(divide);
    r[act::multiply] = static_cast<action_fn>(multiply);
    r[act::negate] = static_cast<action_fn>(negate);
    r[act::power] = static_cast<action_fn>(power);
    r[act::remainder] = static_cast<action_fn>(remainder);
    r[act::round] = static_cast<action_fn>(round);
    r[act::subtract] = static_cast<action_fn>(subtract);
    r[act::even_q] = static_cast<action_fn>(even_q);
    r[act::odd_q] = static_cast<action_fn>(odd_q);
    r[act::and_] = static_cast<action_fn>(and_);
    r[act::complement] = static_cast<action_fn>(complement);
    r[act::or_] = static_cast<action_fn>(or_);
    r[act::xor_] = static_cast<action_fn>(xor_);
    return r;
}

}  // namespace kel::integer
