// natives_math: see natives_math.h.
//
// The argument check of the caller has already refused the types outside a
// native's spec; the refusals here catch the types a spec's typeset lets
// through that the native has no meaning for, and callers that skip the
// check. max and min share one core whose rules run in a fixed order: a NaN
// wins first, then a composite value (pair, point, tuple) is brought to the
// front so that it is the cell written into, then the per-kind component
// rules, and everything else falls to the generic `lesser?`.
#include "evaluator/natives_math.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "datatypes/float.h"
#include "datatypes/issue.h"
#include "datatypes/money.h"
#include "datatypes/tuple.h"
#include "evaluator/native_table.h"
#include "kernel/actions.h"
#include "kernel/angle.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"

namespace kel::natives {

namespace {

constexpr double pi = 3.141592653589793;
// Below this magnitude a sine or cosine is the residue of an inexact pi,
// not a value: sine 180 must be 0.0.
constexpr double machine_epsilon = 2.220446049250313e-16;

// Script `expect-arg` for argument `word` of native `name`.
signal_code refuse(const char* name, const kel_value* value, const char* word) {
    kel_value type;
    set_datatype(&type, type_of(value));
    return fail(error_category::script, "expect-arg", error_arg::named(name), &type, error_arg::named(word));
}

signal_code done() {
    stack::rewind_to_result();
    return signal_code::none;
}

inline bool int_or_float(uint32_t t) { return t == types::integer || t == types::float_; }
inline bool plain_number(uint32_t t) { return int_or_float(t) || t == types::percent; }
inline bool point_type(uint32_t t) { return t == types::point2d || t == types::point3d; }
inline bool composite(uint32_t t) { return t == types::pair || point_type(t) || t == types::tuple; }

inline double number_float(const kel_value* v) {
    return type_of(v) == types::integer ? static_cast<double>(get_integer(v)) : get_float(v);
}

inline bool nan_number(const kel_value* v) {
    const uint32_t t = type_of(v);
    return (t == types::float_ || t == types::percent) && std::isnan(get_float(v));
}

// -1, 0 or 1 for the types that have a sign here; `ok` false for the others.
int sign_of(const kel_value* v, bool& ok) {
    ok = true;
    switch (type_of(v)) {
        case types::integer: {
            const int32_t i = get_integer(v);
            return (i > 0) - (i < 0);
        }
        case types::float_:
        case types::percent:
        case types::time: {
            const double d = get_float(v);
            return (d > 0.0) - (d < 0.0);
        }
        case types::money:
            return money::sign_q(v);
        default:
            ok = false;
            return 0;
    }
}

enum class sign_kind { negative, positive, sign };

signal_code sign_test(int32_t number, const char* name, sign_kind kind, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    kel_value* v = stack::arguments();
    bool ok;
    const int s = sign_of(v, ok);
    if (!ok) return refuse(name, v, "number");
    if (kind == sign_kind::sign)
        set_integer(v, s);
    else
        set_logic(v, kind == sign_kind::negative ? s < 0 : s > 0);
    return done();
}

// --- max and min ---------------------------------------------------------------

template <class T>
inline T pick(bool max, T a, T b) {
    return max ? (b > a ? b : a) : (b < a ? b : a);
}

// A NaN component wins for its component, whichever side it is on.
inline float pick_float(bool max, float a, float b) {
    if (std::isnan(a)) return a;
    if (std::isnan(b)) return b;
    return pick(max, a, b);
}

inline float single_of(double d) { return float_::to_single(d); }

// Point rule: `a` a point, or a pair beside a point; `b` a point of the
// same kind, a pair, or an integer!/float! meeting every component. Answers
// false when the two are points of different kinds (left to the generic
// compare).
bool points(kel_value* a, const kel_value* b, bool max) {
    const uint32_t ta = type_of(a), tb = type_of(b);
    const uint32_t kind = point_type(ta) ? ta : tb;
    if (point_type(ta) && point_type(tb) && ta != tb) return false;
    const int n = kind == types::point3d ? 3 : 2;
    float ca[3] = {0, 0, 0}, cb[3] = {0, 0, 0};
    if (ta == types::pair) {
        ca[0] = single_of(pair_x(a));
        ca[1] = single_of(pair_y(a));
    } else {
        for (int i = 0; i < n; ++i) ca[i] = get_float32(a, i + 1);
    }
    if (tb == types::pair) {
        cb[0] = single_of(pair_x(b));
        cb[1] = single_of(pair_y(b));
    } else if (point_type(tb)) {
        for (int i = 0; i < n; ++i) cb[i] = get_float32(b, i + 1);
    } else {
        const float f = single_of(number_float(b));
        for (int i = 0; i < n; ++i) cb[i] = f;
    }
    for (int i = 0; i < n; ++i) ca[i] = pick_float(max, ca[i], cb[i]);
    if (n == 3)
        set_point3d(a, ca[0], ca[1], ca[2]);
    else
        set_point2d(a, ca[0], ca[1]);
    return true;
}

// The number a tuple's bytes meet: clamped to 0..255 while still a double,
// so that no out-of-range float is ever converted; a NaN counts as 0.
int byte_of(const kel_value* v) {
    if (type_of(v) == types::integer) {
        const int32_t i = get_integer(v);
        return i < 0 ? 0 : i > 255 ? 255 : i;
    }
    const double d = get_float(v);
    if (!(d > 0.0)) return 0;
    if (d > 255.0) return 255;
    return static_cast<int>(d);
}

// The component rules; false when none applies.
bool component_rules(kel_value* a, kel_value* b, bool max) {
    uint32_t ta = type_of(a), tb = type_of(b);
    if (int_or_float(ta) && composite(tb)) {
        std::swap(*a, *b);
        std::swap(ta, tb);
    }
    switch (ta) {
        case types::pair:
            if (tb == types::pair) {
                set_pair(a, pick(max, pair_x(a), pair_x(b)), pick(max, pair_y(a), pair_y(b)));
                return true;
            }
            if (tb == types::integer || (tb == types::float_ && int32_range_q(get_float(b)))) {
                const int32_t n = integer_of(b);
                set_pair(a, pick(max, pair_x(a), n), pick(max, pair_y(a), n));
                return true;
            }
            if (tb == types::float_) {
                // beyond the pair's reach: the float becomes a point and so does the result
                const float f = single_of(get_float(b));
                set_point2d(b, f, f);
                return points(a, b, max);
            }
            if (point_type(tb)) return points(a, b, max);
            return false;
        case types::point2d:
        case types::point3d:
            if (point_type(tb) || tb == types::pair || int_or_float(tb)) return points(a, b, max);
            return false;
        case types::tuple: {
            uint8_t* bytes = tuple::bytes_of(a);
            const int count = tuple::count_of(a);
            if (tb == types::tuple) {
                if (tuple::count_of(b) != count) return false;
                const uint8_t* other = tuple::bytes_of(b);
                for (int i = 0; i < count; ++i) bytes[i] = pick(max, bytes[i], other[i]);
                return true;
            }
            if (int_or_float(tb)) {
                const uint8_t n = static_cast<uint8_t>(byte_of(b));
                for (int i = 0; i < count; ++i) bytes[i] = pick(max, bytes[i], n);
                return true;
            }
            return false;
        }
        default:
            return false;
    }
}

signal_code max_min(int32_t number, bool max, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    kel_value* a = stack::arguments();
    kel_value* b = a + 1;
    if (nan_number(a) && plain_number(type_of(b))) return done();
    if (nan_number(b) && plain_number(type_of(a))) {
        copy_cell(b, a);
        return done();
    }
    if (component_rules(a, b, max)) return done();
    // On a tie max keeps value1 and min takes value2 (1 and 1.0 differ).
    const bool below = actions::compare_by_op(a, b, cmp::lesser);
    a = stack::arguments();
    if (below == max) copy_cell(a + 1, a);
    return done();
}

// --- trigonometry -----------------------------------------------------------------

signal_code forward_trig(int32_t number, const char* name, int mode, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    kel_value* v = stack::arguments();
    if (!int_or_float(type_of(v))) return refuse(name, v, "angle");
    double x = number_float(v);
    if (!refs.has(0)) x = math::degrees_to_radians(x, mode);
    double r;
    if (mode == math::tangent) {
        if (x == pi / 2.0)
            r = std::numeric_limits<double>::infinity();
        else if (x == pi / -2.0)
            r = -std::numeric_limits<double>::infinity();
        else
            r = std::tan(x);
    } else {
        r = mode == math::sine ? std::sin(x) : std::cos(x);
        if (std::fabs(r) < machine_epsilon) r = 0.0;
    }
    set_float(v, r);
    return done();
}

enum class inverse { asin, acos, atan, atan2 };

signal_code inverse_trig(int32_t number, const char* name, const char* word, inverse kind, bool check,
                         const refinements& refs) {
    if (check) check_arguments(number, refs);
    kel_value* v = stack::arguments();
    if (!int_or_float(type_of(v))) return refuse(name, v, word);
    double r;
    switch (kind) {
        case inverse::asin:
            r = std::asin(number_float(v));
            break;
        case inverse::acos:
            r = std::acos(number_float(v));
            break;
        case inverse::atan:
            r = std::atan(number_float(v));
            break;
        default:
            if (!int_or_float(type_of(v + 1))) return refuse(name, v + 1, "x");
            r = std::atan2(number_float(v), number_float(v + 1));
    }
    if (!refs.has(0)) r = r * 180.0 / pi;
    set_float(v, r);
    return done();
}

// --- logarithms and powers ------------------------------------------------------

enum class power { log_2, log_10, log_e, exp, sqrt };

signal_code float_function(int32_t number, const char* name, power kind, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    kel_value* v = stack::arguments();
    if (!plain_number(type_of(v))) return refuse(name, v, "value");
    const double x = float_arg(v);
    double r;
    switch (kind) {
        case power::log_2:
            r = std::log(x) / 0.6931471805599453;
            break;
        case power::log_10:
            r = std::log10(x);
            break;
        case power::log_e:
            r = std::log(x);
            break;
        case power::exp:
            r = std::pow(2.718281828459045, x);
            break;
        default:
            r = std::sqrt(x);
    }
    put_float(v, r);
    return done();
}

}  // namespace

double float_arg(kel_value* cell) {
    const double d = number_float(cell);
    set_float(cell, d);
    return d;
}

int32_t integer_of(const kel_value* cell) {
    return type_of(cell) == types::integer ? get_integer(cell) : truncate_int32(get_float(cell));
}

// --- sign tests -------------------------------------------------------------------

signal_code negative_q_star(bool check, const refinements& refs) {
    return sign_test(number::negative_q, "negative?", sign_kind::negative, check, refs);
}

signal_code positive_q_star(bool check, const refinements& refs) {
    return sign_test(number::positive_q, "positive?", sign_kind::positive, check, refs);
}

signal_code sign_q_star(bool check, const refinements& refs) {
    return sign_test(number::sign_q, "sign?", sign_kind::sign, check, refs);
}

signal_code zero_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::zero_q, refs);
    kel_value* v = stack::arguments();
    bool zero;
    switch (type_of(v)) {
        case types::integer:
            zero = get_integer(v) == 0;
            break;
        case types::char_:
            zero = get_char(v) == 0;
            break;
        case types::float_:
        case types::percent:
        case types::time:
            zero = get_float(v) == 0.0;
            break;
        case types::money:
            zero = money::zero_q(v);
            break;
        case types::pair:
            zero = pair_x(v) == 0 && pair_y(v) == 0;
            break;
        case types::point2d:
        case types::point3d: {
            const int n = type_of(v) == types::point3d ? 3 : 2;
            zero = true;
            for (int i = 1; i <= n; ++i) zero = zero && get_float32(v, i) == 0.0f;
            break;
        }
        case types::tuple:
            zero = tuple::all_zero_q(v);
            break;
        default:
            return refuse("zero?", v, "value");
    }
    set_logic(v, zero);
    return done();
}

signal_code nan_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::nan_q, refs);
    kel_value* v = stack::arguments();
    const uint32_t t = type_of(v);
    // An integer! has no float payload to be a NaN: its answer is fixed as false.
    if (t == types::integer)
        set_logic(v, false);
    else if (t == types::float_ || t == types::percent || t == types::time)
        set_logic(v, std::isnan(get_float(v)));
    else
        return refuse("NaN?", v, "value");
    return done();
}

signal_code max_star(bool check, const refinements& refs) { return max_min(number::max, true, check, refs); }
signal_code min_star(bool check, const refinements& refs) { return max_min(number::min, false, check, refs); }

// --- bits and hexadecimal text -------------------------------------------------------

int32_t shift_bits(int32_t data, int32_t count, shift_way way) {
    const int32_t bits = count < 0 ? 0 : count;
    const uint32_t u = static_cast<uint32_t>(data);
    switch (way) {
        case shift_way::left: return bits >= 32 ? 0 : static_cast<int32_t>(u << bits);
        case shift_way::logical: return bits >= 32 ? 0 : static_cast<int32_t>(u >> bits);
        case shift_way::right: break;
    }
    return bits >= 32 ? (data < 0 ? -1 : 0) : data >> bits;
}

signal_code shift_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::shift, refs);
    kel_value* v = stack::arguments();
    if (type_of(v) != types::integer) return refuse("shift", v, "data");
    if (type_of(v + 1) != types::integer) return refuse("shift", v + 1, "bits");
    // /left wins; /logical changes nothing there
    const shift_way way = refs.has(0) ? shift_way::left : refs.has(1) ? shift_way::logical : shift_way::right;
    v->w2 = static_cast<uint32_t>(shift_bits(get_integer(v), get_integer(v + 1), way));
    return done();
}

signal_code to_hex_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::to_hex, refs);
    kel_value* v = stack::arguments();
    if (type_of(v) != types::integer) return refuse("to-hex", v, "value");
    int32_t keep = 8;
    if (refs.has(0)) {
        const kel_value* length = v + refs.at[0];
        if (type_of(length) != types::integer) return refuse("to-hex", length, "length");
        const int32_t n = get_integer(length);
        if (n <= 0) return fail(error_category::script, "invalid-arg", length);
        if (n < 8) keep = n;
    }
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<uint32_t>(get_integer(v)));
    issue::init_cell(v, digits + (8 - keep));
    return done();
}

// --- trigonometry -------------------------------------------------------------------

signal_code sine_star(bool check, const refinements& refs) {
    return forward_trig(number::sine, "sine", math::sine, check, refs);
}
signal_code cosine_star(bool check, const refinements& refs) {
    return forward_trig(number::cosine, "cosine", math::cosine, check, refs);
}
signal_code tangent_star(bool check, const refinements& refs) {
    return forward_trig(number::tangent, "tangent", math::tangent, check, refs);
}
signal_code arcsine_star(bool check, const refinements& refs) {
    return inverse_trig(number::arcsine, "arcsine", "sine", inverse::asin, check, refs);
}
signal_code arccosine_star(bool check, const refinements& refs) {
    return inverse_trig(number::arccosine, "arccosine", "cosine", inverse::acos, check, refs);
}
signal_code arctangent_star(bool check, const refinements& refs) {
    return inverse_trig(number::arctangent, "arctangent", "tangent", inverse::atan, check, refs);
}
signal_code arctangent2_star(bool check, const refinements& refs) {
    return inverse_trig(number::arctangent2, "arctangent2", "y", inverse::atan2, check, refs);
}

// --- logarithms and powers -------------------------------------------------------------

signal_code log_2_star(bool check, const refinements& refs) {
    return float_function(number::log_2, "log-2", power::log_2, check, refs);
}
signal_code log_10_star(bool check, const refinements& refs) {
    return float_function(number::log_10, "log-10", power::log_10, check, refs);
}
signal_code log_e_star(bool check, const refinements& refs) {
    return float_function(number::log_e, "log-e", power::log_e, check, refs);
}
signal_code exp_star(bool check, const refinements& refs) {
    return float_function(number::exp, "exp", power::exp, check, refs);
}
signal_code square_root_star(bool check, const refinements& refs) {
    return float_function(number::square_root, "square-root", power::sqrt, check, refs);
}

// --- constructors ----------------------------------------------------------------------

signal_code as_pair_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::as_pair, refs);
    kel_value* v = stack::arguments();
    static const char* const words[2] = {"x", "y"};
    int32_t c[2];
    for (int i = 0; i < 2; ++i) {
        const kel_value* a = v + i;
        if (!int_or_float(type_of(a))) return refuse("as-pair", a, words[i]);
        // Truncated toward zero, a float keeps the pair only when what is left
        // fits in 32 bits (-2147483648.9 does); beyond that, infinite or NaN
        // it is refused.
        if (type_of(a) == types::float_) {
            const double d = get_float(a);
            if (!(d > -2147483649.0 && d < 2147483648.0)) return fail(error_category::script, "invalid-arg", a);
            c[i] = static_cast<int32_t>(d);
        } else {
            c[i] = get_integer(a);
        }
    }
    set_pair(v, c[0], c[1]);
    return done();
}

signal_code as_point_star(int32_t number, const char* name, int n, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    kel_value* v = stack::arguments();
    static const char* const words[3] = {"x", "y", "z"};
    float c[3];
    for (int i = 0; i < n; ++i) {
        if (!int_or_float(type_of(v + i))) return refuse(name, v + i, words[i]);
        c[i] = single_of(number_float(v + i));
    }
    if (n == 3)
        set_point3d(v, c[0], c[1], c[2]);
    else
        set_point2d(v, c[0], c[1]);
    return done();
}

signal_code as_point2d_star(bool check, const refinements& refs) {
    return as_point_star(number::as_point2d, "as-point2D", 2, check, refs);
}
signal_code as_point3d_star(bool check, const refinements& refs) {
    return as_point_star(number::as_point3d, "as-point3D", 3, check, refs);
}

signal_code as_money_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::as_money, refs);
    kel_value* v = stack::arguments();
    if (type_of(v) != types::word) return refuse("as-money", v, "currency");
    const kel_value amount = v[1];
    if (!int_or_float(type_of(&amount))) return refuse("as-money", &amount, "amount");
    const int32_t position = money::currency_position(word_symbol(v));
    if (position < 0) return fail(error_category::script, "bad-denom", v);
    if (type_of(&amount) == types::integer)
        money::init_integer(v, get_integer(&amount));
    else
        money::init_float(v, get_float(&amount), false);
    money::store_currency(v, static_cast<uint32_t>(position));
    return done();
}

}  // namespace kel::natives
