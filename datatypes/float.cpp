// float: the float! row and the float work shared with percent! and time!.
// See float.h.
#include "datatypes/float.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "datatypes/integer.h"
#include "kernel/stack.h"
#include "kernel/float_text.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::float_ {

using namespace scalar;

bool pretty_print_q = true;
bool full_support_q = false;

kel_value* box(double value) { return init_cell(stack::arguments(), value); }

kel_value* init_cell(kel_value* cell, double value) {
    set_float(cell, value);
    return cell;
}

kel_value* make_at_tail(const kel_value* block, uint32_t low, uint32_t high) {
    kel_value* c = memory::claim_tail_cell(block);
    kel::init_cell(c, types::float_);
    c->w2 = low;
    c->w3 = high;
    return c;
}

kel_value* push_bits(uint32_t low, uint32_t high) {
    kel_value* c = stack::alloc_cell();
    kel::init_cell(c, types::float_);
    c->w2 = low;
    c->w3 = high;
    return c;
}

kel_value* push(double value) { return init_cell(stack::alloc_cell(), value); }

double abs(double value) { return std::fabs(value); }

int32_t round_to_integer(double value) {
    if (integer::out_of_range_q(value)) type_limit(types::integer);
    double r = std::floor(value);
    if (value - r >= 0.5) r += 1.0;  // exact: the fraction of a double is a double
    if (integer::out_of_range_q(r)) type_limit(types::integer);
    return static_cast<int32_t>(r);
}

bool nan_q(double value) { return std::isnan(value); }
bool inf_or_nan_q(double value) { return !std::isfinite(value); }
bool single_nan_q(float value) { return value != value; }

namespace {

// Sign-magnitude bit patterns in two's-complement order: negative values are
// negated, positive ones get the top bit set, so the unsigned order of the
// keys is the order of the values and adjacent floats differ by 1.
uint64_t ordered_key(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return (u >> 63) ? (0 - u) : (u | 0x8000000000000000ull);
}

uint32_t ordered_key(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return (u >> 31) ? (0 - u) : (u | 0x80000000u);
}

}  // namespace

bool almost_equal_q(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;
    // The largest finite value is one unit away from infinity; they still differ.
    if (std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(a - b) < epsilon) return true;
    const uint64_t ka = ordered_key(a), kb = ordered_key(b);
    const uint64_t distance = ka > kb ? ka - kb : kb - ka;
    const uint32_t ha = static_cast<uint32_t>(ka >> 32), hb = static_cast<uint32_t>(kb >> 32);
    const uint32_t high_distance = ha > hb ? ha - hb : hb - ha;
    return high_distance < 2 && distance <= 10;
}

bool single_almost_equal_q(float a, float b) {
    if (single_nan_q(a) || single_nan_q(b)) return false;
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(a - b) < FLT_EPSILON) return true;
    const uint32_t ka = ordered_key(a), kb = ordered_key(b);
    return (ka > kb ? ka - kb : kb - ka) <= 10;
}

float to_single(double value) {
    const double magnitude = std::fabs(value);
    if (magnitude <= double(FLT_MAX) || std::isnan(value)) return static_cast<float>(value);
    // Half a float32 unit above FLT_MAX (2^128 - 2^104) is 2^128 - 2^103; the
    // tie goes to infinity, whose mantissa is the even one.
    const float beyond = magnitude < 0x1p128 - 0x1p103 ? FLT_MAX : HUGE_VALF;
    return std::signbit(value) ? -beyond : beyond;
}

short_text format(double value, int kind) { return format(value, kind, pretty_print_q); }
short_text format_percent(double fraction) { return format_percent(fraction, pretty_print_q); }

double arith_op(int op, double a, double b) {
    switch (op) {
        case op_add: return a + b;
        case op_subtract: return a - b;
        case op_multiply: return a * b;
        case op_divide: return a / b;
        case op_remainder:
            if (std::isfinite(b)) return std::fmod(a, b);
            if (std::isnan(b)) return b;
            return std::isfinite(a) ? a : std::nan("");
        default: {
            kel_value t;
            set_datatype(&t, types::float_);
            fire(error_category::script, "cannot-use", error_arg::named(word_of(op)), &t);
        }
    }
}

signal_code math_action(int op) {
    kel_value* left = arg(1);
    kel_value* right = arg(2);
    const uint32_t lt = type_of(left), rt = type_of(right);
    switch (rt) {
        case types::tuple:
        case types::money: return right_operand_action(rt, action_of(op), operands::in_order);
        case types::pair:
        case types::point2d:
        case types::point3d: {
            if (lt == types::time) invalid_type(rt);
            // The handlers take the point or pair first: only the operations
            // whose operands may change places are passed on.
            if (op == op_subtract || op == op_divide || op == op_remainder) not_related(word_of(op), rt);
            return right_operand_action(rt, action_of(op), operands::swapped);
        }
        case types::vector: return vector_on_right(op, lt);
        case types::integer:
        case types::char_:
        case types::float_:
        case types::percent:
        case types::time: break;
        default: invalid_type(rt);
    }
    if (rt == types::char_ && (lt == types::time || lt == types::percent)) invalid_type(rt);
    const double a = lt == types::integer ? double(get_integer(left)) : get_float(left);
    const double b = (rt == types::integer || rt == types::char_) ? double(get_integer(right)) : get_float(right);
    const double result = arith_op(op, a, b);
    uint32_t type = lt == types::integer ? uint32_t(types::float_) : lt;
    if ((lt == types::time) != (rt == types::time)) type = types::time;
    else if (lt == types::percent && rt != types::percent) type = types::percent;
    set_float(left, result, type);
    return signal_code::none;
}

double random_up_to(double limit, bool secure) {
    if (!secure) return double(random::next()) / 2147483647.0 * limit;
    const double r1 = double(random::secure_next());
    const double r2 = double(random::secure_next());
    return (r1 / 2147483647.0 + r2) / (2147483648.0 / limit);
}

// Refinement slots of round.
enum { ref_to = 0, ref_even, ref_down, ref_half_down, ref_floor, ref_ceiling, ref_half_ceiling };

double round_value(double x, bool percent_value, bool has_scale, double scale, const refinements& refs,
                   bool* unchanged) {
    double s = percent_value ? 0.01 : 1.0;
    if (has_scale) {
        s = std::fabs(scale);
        if (percent_value) s /= 100.0;
    }
    // A value with no digits at the scale stays; so does every value under a
    // zero, infinite or NaN scale, which has no multiples to round to.
    *unchanged = s < std::fabs(x) * 0x1p-53 || s == 0.0 || !std::isfinite(s);
    if (*unchanged) return x;
    // Below 1.0 the count goes through the reciprocal, except for the
    // scales too small to have one (it would be infinite).
    const double inverse = 1.0 / s;
    const bool by_inverse = s < 1.0 && std::isfinite(inverse);
    const double n = by_inverse ? x * inverse : x / s;
    const double a = std::fabs(n);
    double d;
    bool sign_back = true;
    if (refs.has(ref_down)) {
        d = std::floor(a);
    } else if (refs.has(ref_floor)) {
        d = std::floor(n);
        sign_back = false;
    } else if (refs.has(ref_ceiling)) {
        d = std::ceil(n);
        sign_back = false;
    } else {
        const double m = std::floor(a) + 0.5;
        if (a > m) d = std::ceil(a);
        else if (a < m) d = std::floor(a);
        else if (refs.has(ref_even)) d = std::fmod(a, 2.0) >= 1.0 ? std::ceil(a) : std::floor(a);
        else if (refs.has(ref_half_down)) d = std::floor(a);
        else if (refs.has(ref_half_ceiling)) {
            d = std::ceil(n);
            sign_back = false;
        } else d = std::ceil(a);
    }
    if (sign_back && std::signbit(n)) d = -d;
    const double r = by_inverse ? d / inverse : d * s;
    // A multiple at (or beyond) the largest finite magnitude is taken for an
    // overflow of the multiplication, not for a rounded value.
    if (!std::isfinite(r) && std::isfinite(x)) math_overflow();
    if (s >= 1.0 && std::fabs(r) == DBL_MAX) math_overflow();
    return r;
}

// --- action handlers -----------------------------------------------------------

signal_code make(const refinements&) {
    kel_value* result = arg(1);
    const kel_value* spec = arg(2);
    const uint32_t target = target_type(result);
    const uint32_t st = type_of(spec);
    double d = 0.0;
    switch (st) {
        case types::char_:
        case types::integer: d = double(get_integer(spec)); break;
        case types::money:
            if (!hooks.money_to_float) bad_to_arg(target, spec);
            d = hooks.money_to_float(spec);
            break;
        case types::time:
        case types::float_:
        case types::percent: d = get_float(spec); break;
        case types::binary: {
            const units_view u = units_from_head(spec);
            uint64_t bits = 0;
            for (int64_t i = 0; i < u.count && i < 8; ++i) bits = (bits << 8) | static_cast<uint8_t>(u.data[i]);
            std::memcpy(&d, &bits, sizeof d);
            break;
        }
        case types::block:
        case types::paren:
        case types::hash: {
            const units_view u = units_from_head(spec);
            if (u.count != 2) bad_to_arg(target, spec);
            const auto* cells = reinterpret_cast<const kel_value*>(u.data);
            double parts[2];
            for (int i = 0; i < 2; ++i) {
                const uint32_t et = type_of(&cells[i]);
                if (et == types::integer) parts[i] = double(get_integer(&cells[i]));
                else if (et == types::float_) parts[i] = get_float(&cells[i]);
                else {
                    const kel_value element = cells[i];
                    bad_to_arg(types::float_, &element);
                }
            }
            d = parts[0] * std::pow(10.0, std::trunc(parts[1]));
            break;
        }
        default: {
            if (!in_family(st, family::string_like)) bad_to_arg(target, spec);
            if (target == types::percent) {
                if (!hooks.scan_value) fire(error_category::internal, "not-done");
                kel_value scanned;
                if (!hooks.scan_value(spec, &scanned)) bad_to_arg(target, spec);
                const uint32_t t = type_of(&scanned);
                if (t == types::integer) d = double(get_integer(&scanned));
                else if (t == types::float_ || t == types::percent) d = get_float(&scanned);
                else bad_to_arg(target, spec);
                break;
            }
            const units_view u = units_from_head(spec);
            if (u.count == 0) bad_to_arg(target, spec);
            const lexer::float_conversion c = lexer::text_to_float(u.data, static_cast<size_t>(u.count), u.unit);
            if (c.error != lexer::number_error::none) bad_to_arg(target, spec);
            d = c.value;
            break;
        }
    }
    set_float(result, d, target);
    return signal_code::none;
}

signal_code random(const refinements& refs) {
    kel_value* v = arg(1);
    if (refs.has(0)) {
        random::seed(v->w2 ^ v->w3);
        set_unset(stack::arguments());
        return signal_code::none;
    }
    put_float(v, random_up_to(get_float(v), refs.has(1)));
    return signal_code::none;
}

signal_code absolute(const refinements&) {
    kel_value* v = arg(1);
    put_float(v, abs(get_float(v)));
    return signal_code::none;
}

signal_code negate(const refinements&) {
    kel_value* v = arg(1);
    put_float(v, 0.0 - get_float(v));
    return signal_code::none;
}

signal_code power(const refinements&) {
    kel_value* base = arg(1);
    const kel_value* exponent = arg(2);
    const uint32_t et = type_of(exponent);
    double e;
    if (et == types::integer) e = double(get_integer(exponent));
    else if (et == types::float_) e = get_float(exponent);
    else expect_arg("power", et, "exponent");
    put_float(base, std::pow(get_float(base), e));
    return signal_code::none;
}

signal_code remainder(const refinements&) { return math_action(op_remainder); }

signal_code round(const refinements& refs) {
    kel_value* v = arg(1);
    const kel_value* scale = refs.has(ref_to) ? stack::arguments() + refs.at[ref_to] : nullptr;
    double s = 0.0;
    if (scale) {
        const uint32_t st = type_of(scale);
        if (st == types::money) not_related("round", types::money);
        if (st == types::integer) s = double(get_integer(scale));
        else if (st == types::float_ || st == types::percent || st == types::time) s = get_float(scale);
        else expect_arg("round", st, "scale");
    }
    const uint32_t vt = type_of(v);
    bool unchanged;
    const double r = round_value(get_float(v), vt == types::percent, scale != nullptr, s, refs, &unchanged);
    if (unchanged) return signal_code::none;
    if (scale && type_of(scale) == types::integer) {
        if (integer::out_of_range_q(r)) type_limit(types::integer);
        set_integer(v, static_cast<int32_t>(r));
        return signal_code::none;
    }
    set_float(v, r, scale ? type_of(scale) : vt);
    return signal_code::none;
}

namespace {

signal_code add(const refinements&) { return math_action(op_add); }
signal_code subtract(const refinements&) { return math_action(op_subtract); }
signal_code multiply(const refinements&) { return math_action(op_multiply); }
signal_code divide(const refinements&) { return math_action(op_divide); }

// The low bit of the value truncated to int32; values outside the range
// (and NaN) count as even.
bool odd_value(double d) { return !integer::out_of_range_q(d) && (static_cast<int32_t>(d) & 1) != 0; }

signal_code even_q(const refinements&) {
    set_logic(stack::arguments(), !odd_value(get_float(arg(1))));
    return signal_code::none;
}

signal_code odd_q(const refinements&) {
    set_logic(stack::arguments(), odd_value(get_float(arg(1))));
    return signal_code::none;
}

}  // namespace

int32_t unordered_answer(int32_t op) {
    switch (op) {
        case cmp::equal:
        case cmp::not_equal:
        case cmp::strict_equal:
        case cmp::same: return 1;
        case cmp::lesser:
        case cmp::lesser_or_equal: return 1;
        case cmp::greater:
        case cmp::greater_or_equal: return -1;
        default: return 0;
    }
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t vt = type_of(value), ot = type_of(other);
    if ((op == cmp::strict_equal || op == cmp::same || op == cmp::find) && ot != vt) return 1;
    const double a = get_float(value);
    double b;
    switch (ot) {
        case types::integer: b = double(get_integer(other)); break;
        case types::float_:
        case types::percent:
        case types::time: b = get_float(other); break;
        case types::money: {
            // A NaN has no amount to become, so it answers as against a
            // float (money! compares with float!, not with its subtypes).
            if (vt == types::float_ && std::isnan(a)) return unordered_answer(op);
            // money! decides, with the operands the other way round.
            if (!registry::supported(types::money, act::compare)) return cmp::not_comparable;
            const int32_t r = registry::compare_handler(types::money)(other, value, op);
            return r == cmp::not_comparable ? r : -r;
        }
        default: return cmp::not_comparable;
    }
    switch (op) {
        case cmp::equal:
        case cmp::not_equal: return almost_equal_q(a, b) ? 0 : 1;
        case cmp::strict_equal: return a == b ? 0 : 1;
        case cmp::same: return std::memcmp(&a, &b, sizeof a) == 0 ? 0 : 1;
        default:
            if (std::isnan(a) || std::isnan(b)) return unordered_answer(op);
            return (a > b) - (a < b);
    }
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    const short_text t = format(get_float(value), double_kind);
    text_out::append(buffer, t.chars, t.length);
    return part - static_cast<int32_t>(t.length);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value*, int32_t part,
             int32_t) {
    const short_text t = float_text::form(get_float(value), 0, true);
    text_out::append(buffer, t.chars, t.length);
    return part - static_cast<int32_t>(t.length);
}

registry::registration row() {
    registry::registration r;
    r.id = types::float_;
    r.hash = hashtable::hash_by::float64;
    r.set_hash = registry::set_hash_rule::float_value;
    r.marker = kel::collector::cell_markers::nothing;
    r.families = family::scalar | family::number;
    r.parent = 0;
    r.name = "float!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = static_cast<action_fn>(random);
    r[act::to] = static_cast<action_fn>(make);
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
    return r;
}

}  // namespace kel::float_
