// float!: arithmetic and remainder against Python, rounding against
// Python's decimal module, forms and molds, equality and NaN ordering, the
// result types of mixed float-based math, conversions, random.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/scalar_harness.h"

using namespace kel;
using test::call_action;
using test::flt;
using test::int_v;
using test::show;

namespace {

const double inf = INFINITY;
const double nan_v = std::nan("");

double from_bits(uint64_t u) {
    double d;
    std::memcpy(&d, &u, 8);
    return d;
}

double next_up(double d, int n) {
    for (int i = 0; i < n; ++i) d = std::nextafter(d, inf);
    return d;
}

// Doubles of every kind: specials, zeros, subnormals, integers, halves and
// random bit patterns.
std::vector<double> sample_doubles(size_t n, uint32_t seed) {
    std::mt19937_64 gen(seed);
    std::vector<double> out = {0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 3.0, 0.1, 0.2, 0.3, 1e-300, 5e-324, -5e-324,
                               1.7976931348623157e308, -1.7976931348623157e308, inf, -inf, nan_v, 2147483647.5,
                               4503599627370496.5, 9007199254740993.0, 1e16, 1e17, 123.456, 7.0, -7.0};
    std::uniform_int_distribution<int64_t> small(-100000, 100000);
    while (out.size() < n) {
        switch (out.size() % 4) {
            case 0: out.push_back(from_bits(gen())); break;
            case 1: out.push_back(double(small(gen)) / 8.0); break;
            case 2: out.push_back(double(small(gen)) / 1000.0); break;
            default: out.push_back(std::ldexp(double(small(gen)), int(gen() % 120) - 60)); break;
        }
    }
    return out;
}

}  // namespace

TEST(ScalarFloat, ArithmeticAndRemainderMatchPython) {
    const std::vector<double> xs = sample_doubles(90, 1), ys = sample_doubles(90, 2);
    const int acts[] = {act::add, act::subtract, act::multiply, act::divide, act::remainder};
    std::ostringstream input;
    std::vector<std::string> got;
    for (int op = 0; op < 5; ++op)
        for (size_t i = 0; i < xs.size(); ++i)
            for (size_t j = i % 5; j < ys.size(); j += 5) {
                input << op << ' ' << test::hex_text(xs[i]) << ' ' << test::hex_text(ys[j]) << '\n';
                test::outcome o = call_action(acts[op], {flt(xs[i]), flt(ys[j])});
                got.push_back(o.error.empty() ? test::hex_text(o.as_float()) : "!" + o.error);
            }
    const char* code = R"(
import sys, math
def f(s): return float(s) if s in ('nan', 'inf', '-inf') else float.fromhex(s)
def h(x): return 'nan' if x != x else ('inf' if x == math.inf else ('-inf' if x == -math.inf else x.hex()))
for line in sys.stdin:
    op, a, b = line.split()
    a, b = f(a), f(b)
    try:
        if op == '0': r = a + b
        elif op == '1': r = a - b
        elif op == '2': r = a * b
        elif op == '3':
            if b == 0: r = math.nan if (a != a or a == 0) else math.copysign(math.inf, a) * math.copysign(1.0, b)
            else: r = a / b
        else:
            r = math.fmod(a, b)
    except (ValueError, OverflowError):
        r = math.nan
    print(h(r))
)";
    const std::vector<std::string> expected = test::python_lines(code, input.str());
    ASSERT_EQ(expected.size(), got.size()) << (expected.empty() ? "" : expected[0]);
    std::istringstream in(input.str());
    std::string line;
    int mismatches = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        std::getline(in, line);
        const std::string want = test::hex_text(test::from_hex_text(expected[k]));
        if (want != got[k] && ++mismatches < 10) ADD_FAILURE() << line << ": expected " << want << " got " << got[k];
    }
    EXPECT_EQ(mismatches, 0);
}

// round without a scale under every mode is decimal quantizing to a whole
// number (the half-ceiling mode: ties toward plus infinity).
TEST(ScalarFloat, RoundModesMatchPythonDecimal) {
    std::vector<double> values = sample_doubles(300, 7);
    for (double v : {0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 0.49999999999999994, 4503599627370495.5, -4503599627370495.5})
        values.push_back(v);
    const char* const flags[] = {"", "even", "down", "half-down", "floor", "ceiling", "half-ceiling"};
    std::ostringstream input;
    std::vector<std::string> got;
    for (double v : values) {
        if (!std::isfinite(v)) continue;
        for (int f = 0; f < 7; ++f) {
            input << test::hex_text(v) << ' ' << f << '\n';
            test::outcome o = test::round(flt(v), nullptr, flags[f]);
            got.push_back(o.error.empty() ? test::hex_text(o.as_float()) : "!" + o.error);
        }
    }
    const char* code = R"(
import sys
from decimal import Decimal, ROUND_HALF_UP, ROUND_HALF_EVEN, ROUND_DOWN, ROUND_HALF_DOWN, ROUND_FLOOR, ROUND_CEILING, getcontext
getcontext().prec = 400
modes = [ROUND_HALF_UP, ROUND_HALF_EVEN, ROUND_DOWN, ROUND_HALF_DOWN, ROUND_FLOOR, ROUND_CEILING, None]
for line in sys.stdin:
    s, f = line.split()
    x = float.fromhex(s)
    mode = modes[int(f)] or (ROUND_HALF_UP if x > 0 else ROUND_HALF_DOWN)
    print(float(Decimal(x).quantize(Decimal(1), rounding=mode)).hex())
)";
    const std::vector<std::string> expected = test::python_lines(code, input.str());
    ASSERT_EQ(expected.size(), got.size()) << (expected.empty() ? "" : expected[0]);
    std::istringstream in(input.str());
    std::string line;
    int mismatches = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        std::getline(in, line);
        // Both sides may give -0.0 or 0.0 for a negative fraction; compare values.
        const double want = test::from_hex_text(expected[k]), have = test::from_hex_text(got[k]);
        if (!(want == have) && ++mismatches < 10)
            ADD_FAILURE() << line << ": expected " << expected[k] << " got " << got[k];
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(ScalarFloat, RoundTable) {
    struct row { kel_value v; bool has_scale; kel_value scale; const char* flag; const char* expected; };
    const kel_value none = test::none_v();
    kel_value money;
    init_cell(&money, types::money);
    const row rows[] = {
        {flt(2.5), false, none, "", "float! 3.0"},
        {flt(2.5), false, none, "even", "float! 2.0"},
        {flt(3.5), false, none, "even", "float! 4.0"},
        {flt(-2.5), false, none, "half-ceiling", "float! -2.0"},
        {flt(2.5), false, none, "half-ceiling", "float! 3.0"},
        {flt(-2.7), false, none, "down", "float! -2.0"},
        {flt(-2.5), false, none, "floor", "float! -3.0"},
        {flt(-2.5), false, none, "ceiling", "float! -2.0"},
        {flt(-0.3), false, none, "", "float! -0.0"},
        {flt(3.14159), true, flt(0.01), "", "float! 3.14"},
        {flt(3.14159), true, flt(-0.01), "", "float! 3.14"},
        {flt(1234.5), true, int_v(100), "", "integer! 1200"},
        {flt(3.7), true, int_v(1), "", "integer! 4"},
        {flt(-3.7), true, int_v(1), "", "integer! -4"},
        {flt(2147483647.4), true, int_v(1), "", "integer! 2147483647"},
        {flt(2147483647.6), true, int_v(1), "", "!type-limit"},   // outside int32: raised, not truncated
        {flt(-3e9), true, int_v(1), "", "!type-limit"},
        {flt(nan_v), true, int_v(1), "", "!type-limit"},
        {flt(1.7976931348623157e308), true, flt(1e308), "", "!overflow"},
        {flt(1.7e308), true, flt(1.0), "", "float! 1.7e308"},     // no digits at that scale
        {flt(5.5), true, flt(0.0), "", "float! 5.5"},
        {flt(5.5), true, int_v(0), "", "float! 5.5"},
        {flt(5.5), true, flt(inf), "", "float! 5.5"},
        {flt(inf), false, none, "", "float! 1.#INF"},
        {flt(nan_v), false, none, "", "float! 1.#NaN"},
        {flt(0.125), true, test::pct(0.1), "", "percent! 10%"},  // the scale's type is the result's
        {flt(7.0), true, test::tm(5), "", "time! 0:00:05"},
        {flt(7.0), true, money, "", "!not-related"},
        {flt(7.0), true, test::str(U"1"), "", "!expect-arg"},
        {test::pct(0.12345), false, none, "", "percent! 12%"},
        {test::pct(0.12345), true, int_v(1), "", "integer! 0"},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(test::round(r.v, r.has_scale ? &r.scale : nullptr, r.flag)), r.expected)
            << test::mold(r.v) << " /to " << test::mold(r.scale) << " " << r.flag;
}

TEST(ScalarFloat, RoundToInteger) {
    struct row { double v; int32_t expected; };
    const row rows[] = {{0.49999999999999994, 0}, {0.5, 1}, {-0.5, 0}, {-0.5000000000000001, -1}, {2.5, 3},
                        {-2.5, -2}, {-2.6, -3}, {-2.4, -2}, {1e-300, 0}, {2147483646.5, 2147483647},
                        {-2147483648.0, INT32_MIN}, {-2147483647.6, INT32_MIN}};
    for (const row& r : rows) EXPECT_EQ(float_::round_to_integer(r.v), r.expected) << r.v;
    for (double bad : {2147483647.5, -2147483648.4, nan_v, inf, 1e10, 4503599627370495.5})
        EXPECT_TRUE(fires([&] { float_::round_to_integer(bad); }, "type-limit")) << bad;
}

TEST(ScalarFloat, FormAndMold) {
    struct row { kel_value v; const char* form; const char* mold; };
    const row rows[] = {
        {flt(0.1 + 0.2), "0.3", "0.30000000000000004"},
        {flt(1e-300), "0.0", "1.0e-300"},
        {flt(3.0), "3.0", "3.0"},
        {flt(1e20), "1.0e20", "1.0e20"},
        {flt(100.0), "100.0", "100.0"},
        {flt(1e16), "1.0e16", "10000000000000000.0"},
        {flt(0.7999999999999999), "0.8", "0.7999999999999999"},
        {flt(-0.0), "0.0", "-0.0"},  // below the epsilon: pretty zero
        {flt(1.5e-7), "1.5e-7", "0.00000015"},
        {flt(inf), "1.#INF", "1.#INF"},
        {flt(-inf), "-1.#INF", "-1.#INF"},
        {flt(-nan_v), "1.#NaN", "1.#NaN"},
        {test::pct(0.5), "50%", "50%"},  // a percent molds as it forms
        {test::pct(1e-20), "0%", "0%"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(test::form(r.v), r.form) << r.mold;
        EXPECT_EQ(test::mold(r.v), r.mold);
    }
    float_::pretty_print_q = false;
    EXPECT_EQ(test::form(flt(1e-300)), "1.0e-300");
    EXPECT_EQ(test::form(flt(0.1 + 0.2)), "0.3");  // 16 digits
    EXPECT_EQ(test::form(flt(0.7999999999999999)), "0.7999999999999999");
    float_::pretty_print_q = true;
    // The budget goes down by the text's length.
    test::boot();
    kel_value buffer;
    text_out::new_buffer(&buffer, 16);
    const kel_value v = flt(2.5);
    EXPECT_EQ(registry::form_handler(types::float_)(&v, &buffer, nullptr, 10), 7);
    EXPECT_EQ(registry::mold_handler(types::float_)(&v, &buffer, false, false, false, nullptr, 10, 0), 7);
}

// Every kind of float/format through the pretty-print setting.
TEST(ScalarFloat, FormatKinds) {
    struct row { double v; int kind; const char* text; };
    const row rows[] = {
        {1.0 / 3.0, float_::single_kind, "0.3333333"}, {3.0, float_::single_kind, "3.0"},
        {1.0 / 3.0, float_::double_kind, "0.3333333333333333"}, {12.5, float_::percent_kind, "12.5%"},
        {1.0 / 3.0, float_::single_percent_kind, "0.3333333%"}, {2.5, float_::seconds_kind, "2.5"},
        {1.0 / 3.0, float_::seconds_kind, "0.333333"}, {2.0, float_::point_kind, "2"},
        {1e-20, float_::point_kind, "0"}, {1e20, float_::double_kind, "1.0e20"}, {nan_v, float_::point_kind, "1.#NaN"},
    };
    for (const row& r : rows) EXPECT_EQ(std::string(float_::format(r.v, r.kind).view()), r.text) << r.v << " " << r.kind;
}

TEST(ScalarFloat, EqualityAndOrdering) {
    const double big = 1.7976931348623157e308;
    struct row { double a, b; bool equal; };
    const row rows[] = {
        {0.1 + 0.2, 0.3, true}, {1.0, next_up(1.0, 10), true}, {1.0, next_up(1.0, 11), false},
        {100.0, next_up(100.0, 10), true}, {100.0, next_up(100.0, 11), false},
        {0.0, -0.0, true}, {1e-300, -1e-300, true},  // within the machine epsilon
        {5e-324, -5e-324, true}, {nan_v, nan_v, false}, {inf, inf, true}, {inf, big, false},
        {-inf, -big, false}, {1.0, 1.0 + 2e-16, true}, {1e300, 1.0000000000000002e300, true},
    };
    for (const row& r : rows) {
        EXPECT_EQ(float_::almost_equal_q(r.a, r.b), r.equal) << r.a << " " << r.b;
        EXPECT_EQ(float_::almost_equal_q(r.b, r.a), r.equal) << r.b << " " << r.a;
        EXPECT_EQ(test::compare(flt(r.a), flt(r.b), cmp::equal), r.equal ? 0 : 1);
    }
    EXPECT_TRUE(float_::single_almost_equal_q(1.0f, std::nextafter(1.0f, 2.0f)));
    EXPECT_FALSE(float_::single_almost_equal_q(1.0f, 1.001f));
    EXPECT_FALSE(float_::single_almost_equal_q(NAN, NAN));
    EXPECT_TRUE(float_::single_nan_q(NAN));

    struct crow { kel_value a, b; int32_t op; int32_t expected; };
    const crow crows[] = {
        {flt(0.1 + 0.2), flt(0.3), cmp::strict_equal, 1},
        {flt(0.3), flt(0.3), cmp::strict_equal, 0},
        {flt(0.0), flt(-0.0), cmp::strict_equal, 0},
        {flt(0.0), flt(-0.0), cmp::same, 1},
        {flt(nan_v), flt(nan_v), cmp::same, 0},
        {flt(nan_v), flt(nan_v), cmp::strict_equal, 1},
        {flt(nan_v), flt(1.0), cmp::lesser, 1}, {flt(nan_v), flt(1.0), cmp::lesser_or_equal, 1},
        {flt(nan_v), flt(1.0), cmp::greater, -1}, {flt(nan_v), flt(1.0), cmp::greater_or_equal, -1},
        {flt(1.0), flt(nan_v), cmp::lesser, 1},
        {flt(1.0), flt(2.0), cmp::lesser, -1}, {flt(2.0), int_v(1), cmp::greater, 1},
        {flt(1.0), int_v(1), cmp::equal, 0}, {flt(1.0), int_v(1), cmp::strict_equal, 1},
        {flt(0.5), test::pct(0.5), cmp::equal, 0}, {flt(0.5), test::pct(0.5), cmp::strict_equal, 1},
        {flt(60.0), test::tm(60), cmp::equal, 0}, {test::tm(60), test::tm(60), cmp::same, 0},
        {flt(1.0), test::char_v(1), cmp::equal, cmp::not_comparable},
        {flt(1.0), test::none_v(), cmp::lesser, cmp::not_comparable},
    };
    for (const crow& r : crows)
        EXPECT_EQ(test::compare(r.a, r.b, r.op), r.expected) << test::mold(r.a) << " " << test::mold(r.b) << " " << r.op;
}

// The result type is the left operand's, except that exactly one time!
// operand gives time!, and a percent! on the left keeps percent! against
// anything but percent!.
TEST(ScalarFloat, ResultTypesOfMixedMath) {
    struct row { kel_value a, b; const char* expected; };
    const row rows[] = {
        {flt(1.5), test::pct(0.5), "float! 2.0"},
        {test::pct(0.5), flt(1.5), "percent! 200%"},
        {test::pct(0.5), int_v(1), "percent! 150%"},
        {test::pct(0.5), test::pct(0.25), "percent! 75%"},
        {flt(1.5), test::tm(60), "time! 0:01:01.5"},
        {test::tm(60), flt(1.5), "time! 0:01:01.5"},
        {test::tm(60), test::tm(60), "time! 0:02:00"},
        {test::pct(0.5), test::tm(60), "time! 0:01:00.5"},
        {flt(1.5), int_v(2), "float! 3.5"},
        {flt(1.5), test::char_v(2), "float! 3.5"},
        {test::tm(1), test::char_v(2), "!invalid-type"},
        {test::pct(0.5), test::char_v(2), "!invalid-type"},
        {flt(1.5), test::str(U"2"), "!invalid-type"},
        {flt(1.5), test::pair_v(1, 2), "pair! 2x3"},   // the pair! row's add, operands swapped
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(act::add, {r.a, r.b})), r.expected) << test::mold(r.a) << " + " << test::mold(r.b);
    EXPECT_EQ(show(call_action(act::subtract, {flt(1.0), test::pair_v(1, 2)})), "!not-related");
    EXPECT_EQ(show(call_action(act::divide, {flt(1.0), test::pair_v(1, 2)})), "!not-related");
    EXPECT_EQ(show(call_action(act::add, {test::tm(1), test::pair_v(1, 2)})), "!invalid-type");
}

TEST(ScalarFloat, EdgeCases) {
    struct row { int action; kel_value a, b; const char* expected; };
    const row rows[] = {
        {act::divide, flt(1.0), flt(0.0), "float! 1.#INF"},
        {act::divide, flt(-1.0), flt(0.0), "float! -1.#INF"},
        {act::divide, flt(0.0), flt(0.0), "float! 1.#NaN"},
        {act::divide, flt(1.0), int_v(0), "float! 1.#INF"},
        {act::remainder, flt(5.5), flt(2.0), "float! 1.5"},
        {act::remainder, flt(-5.5), flt(2.0), "float! -1.5"},
        {act::remainder, flt(1.0), flt(inf), "float! 1.0"},
        {act::remainder, flt(inf), flt(inf), "float! 1.#NaN"},
        {act::remainder, flt(1.0), flt(nan_v), "float! 1.#NaN"},
        {act::remainder, flt(1.0), flt(0.0), "float! 1.#NaN"},
        {act::power, flt(3.0), int_v(2), "float! 9.0"},
        {act::power, flt(2.0), flt(0.5), "float! 1.4142135623730951"},
        {act::power, test::pct(0.5), int_v(2), "percent! 25%"},
        {act::power, flt(2.0), test::pct(0.5), "!expect-arg"},
        {act::add, flt(1e308), flt(1e308), "float! 1.#INF"},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(r.action, {r.a, r.b})), r.expected) << test::mold(r.a) << " " << r.action;
    struct urow { int action; kel_value v; const char* expected; };
    const urow urows[] = {
        {act::negate, flt(0.0), "float! 0.0"}, {act::negate, flt(-0.0), "float! 0.0"},
        {act::negate, flt(2.5), "float! -2.5"}, {act::absolute, flt(-2.5), "float! 2.5"},
        {act::absolute, flt(-inf), "float! 1.#INF"}, {act::absolute, test::pct(-0.5), "percent! 50%"},
        {act::even_q, flt(2.9), "logic! true"}, {act::odd_q, flt(-3.9), "logic! true"},
        {act::odd_q, flt(1e20), "logic! false"}, {act::even_q, flt(nan_v), "logic! true"},
        {act::odd_q, flt(2147483647.5), "logic! false"},
    };
    for (const urow& r : urows) EXPECT_EQ(show(call_action(r.action, {r.v})), r.expected) << test::mold(r.v);
    EXPECT_EQ(show(call_action(act::and_, {flt(1.0), flt(1.0)})), "unsupported");
    EXPECT_TRUE(fires([] { float_::arith_op(scalar::op_xor, 1.0, 2.0); }, "cannot-use"));
    EXPECT_EQ(test::last_fired_word(0), "xor~");
}

TEST(ScalarFloat, ToAndMake) {
    test::boot();
    const kel_value float_type = test::type_v(types::float_);
    struct row { kel_value spec; const char* expected; };
    const row rows[] = {
        {test::str(U""), "!bad-to-arg"},
        {test::str(U"1.5"), "float! 1.5"},
        {test::str(U"1,5", 2), "float! 1.5"},
        {test::str(U"-1e3", 4), "float! -1000.0"},
        {test::str(U"abc"), "!bad-to-arg"},
        {test::str(U"1.5x"), "!bad-to-arg"},
        {test::b({int_v(15), int_v(-1)}), "float! 1.5"},
        {test::b({flt(1.5), int_v(3)}), "float! 1500.0"},
        {test::b({flt(1.5), flt(3.9)}), "float! 1500.0"},   // the exponent is truncated
        {test::b({int_v(1), flt(400.0)}), "float! 1.#INF"},
        {test::b({int_v(1), int_v(2), int_v(3)}), "!bad-to-arg"},
        {test::b({int_v(1)}), "!bad-to-arg"},
        {test::b({test::str(U"1"), int_v(3)}), "!bad-to-arg"},
        {test::bin({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), "float! 1.0"},
        {test::bin({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xFF}), "float! 1.0"},
        {test::bin({0x01}), "float! 5.0e-324"},  // fewer bytes fill the low-order end
        {test::bin({}), "float! 0.0"},
        {int_v(-7), "float! -7.0"},
        {test::char_v('A'), "float! 65.0"},
        {test::tm(90), "float! 90.0"},
        {test::pct(0.5), "float! 0.5"},
        {flt(2.5), "float! 2.5"},
        {test::none_v(), "!bad-to-arg"},
        {test::logic_v(true), "!bad-to-arg"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(show(call_action(act::to, {float_type, r.spec})), r.expected) << test::mold(r.spec);
        EXPECT_EQ(show(call_action(act::make, {float_type, r.spec})), r.expected) << test::mold(r.spec);
    }
    // The element that is neither integer! nor float! is the error's argument.
    call_action(act::to, {float_type, test::b({int_v(1), test::none_v()})});
    EXPECT_EQ(test::last_fired_arg(1), "none! none");
    // A prototype value stands for its type; percent! targets read through the scanner.
    EXPECT_EQ(show(call_action(act::to, {flt(9.0), int_v(2)})), "float! 2.0");
    const kel_value percent_type = test::type_v(types::percent);
    EXPECT_EQ(show(call_action(act::to, {percent_type, flt(0.5)})), "percent! 50%");
    EXPECT_EQ(show(call_action(act::to, {percent_type, test::str(U"50%")})), "percent! 50%");  // the lexer's scan
    const auto lexer_scan = scalar::hooks.scan_value;  // the lexer's, put back below
    scalar::hooks.scan_value = [](const kel_value* text, kel_value* out) {
        const std::u32string t = test::text(*text);
        if (t == U"50%") set_float(out, 0.5, types::percent);
        else if (t == U"7") set_integer(out, 7);
        else if (t == U"x") set_none(out);
        else return false;
        return true;
    };
    EXPECT_EQ(show(call_action(act::to, {percent_type, test::str(U"50%")})), "percent! 50%");
    EXPECT_EQ(show(call_action(act::to, {percent_type, test::str(U"7")})), "percent! 700%");
    EXPECT_EQ(show(call_action(act::to, {percent_type, test::str(U"x")})), "!bad-to-arg");
    EXPECT_EQ(show(call_action(act::to, {percent_type, test::str(U"1 2")})), "!bad-to-arg");
    scalar::hooks.scan_value = lexer_scan;
}

TEST(ScalarFloat, Random) {
    EXPECT_EQ(show(test::random(flt(2.5), true)), "unset! unset");
    std::vector<double> first, again;
    for (auto* out : {&first, &again}) {
        test::random(flt(7.25), true);
        for (int i = 0; i < 10; ++i) out->push_back(test::random(flt(10.0)).as_float());
    }
    EXPECT_EQ(first, again);
    for (int i = 0; i < 300; ++i) {
        for (bool secure : {false, true}) {
            const double d = test::random(flt(10.0), false, secure).as_float();
            ASSERT_TRUE(d >= 0.0 && d <= 10.0) << d;
            const double n = test::random(flt(-3.0), false, secure).as_float();
            ASSERT_TRUE(n <= 0.0 && n >= -3.0) << n;
        }
    }
    const test::outcome t = test::random(test::tm(60));
    EXPECT_EQ(type_of(&t.value), uint32_t(types::time));
    EXPECT_EQ(test::random(flt(0.0)).as_float(), 0.0);
}
