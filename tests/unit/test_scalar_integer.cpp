// integer!: checked arithmetic against Python's exact integers, the round
// table against Python's decimal module, conversions, comparison, the unary
// actions, random, and the edge cases of the type.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <sstream>

#include "datatypes/integer.h"
#include "datatypes/tuple.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/scalar_harness.h"

using namespace kel;
using test::call_action;
using test::flt;
using test::int_v;
using test::show;

namespace {

// Edge-biased int32 values: the extremes and their neighbours, small values,
// powers of two around the overflow boundaries, and plain random ones.
std::vector<int32_t> sample_ints(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    const int32_t edges[] = {0, 1, -1, 2, -2, 3, 7, -7, 10, 46340, 46341, -46341, 65535, 65536, -65536,
                             INT32_MAX, INT32_MAX - 1, INT32_MIN, INT32_MIN + 1, 1 << 30, -(1 << 30)};
    std::vector<int32_t> out(std::begin(edges), std::end(edges));
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX), small(-1000, 1000);
    while (out.size() < n) out.push_back(out.size() % 3 ? any(gen) : small(gen));
    return out;
}

}  // namespace

// add, subtract, multiply, divide and remainder over edge and random pairs:
// Python computes the exact result; a result outside int32 must come back as
// the correctly rounded float!, an inexact quotient as the float64 quotient.
TEST(ScalarInteger, ArithmeticMatchesPythonExactIntegers) {
    const std::vector<int32_t> xs = sample_ints(120, 11), ys = sample_ints(120, 12);
    std::ostringstream input;
    std::vector<std::string> got;
    const int acts[] = {act::add, act::subtract, act::multiply, act::divide, act::remainder};
    for (int op = 0; op < 5; ++op)
        for (size_t i = 0; i < xs.size(); ++i)
            for (size_t j = i % 7; j < ys.size(); j += 7) {
                input << op << ' ' << xs[i] << ' ' << ys[j] << '\n';
                test::outcome o = call_action(acts[op], {int_v(xs[i]), int_v(ys[j])});
                if (!o.error.empty()) got.push_back("!" + o.error);
                else if (type_of(&o.value) == types::integer) got.push_back("i " + std::to_string(get_integer(&o.value)));
                else got.push_back("f " + test::hex_text(get_float(&o.value)));
            }
    const char* code = R"(
import sys, math
for line in sys.stdin:
    op, a, b = map(int, line.split())
    if op == 0: r = a + b
    elif op == 1: r = a - b
    elif op == 2: r = a * b
    elif op == 3:
        if b == 0: print('!zero-divide'); continue
        if a == -2**31 and b == -1: print('!overflow'); continue
        if a % b == 0: r = abs(a) // abs(b) * (1 if (a < 0) == (b < 0) else -1)
        else: print('f', (a / b).hex()); continue
    else:
        if b == 0: print('!zero-divide'); continue
        if a == -2**31 and b == -1: print('!overflow'); continue
        print('i', int(math.fmod(a, b))); continue
    print(('i %d' % r) if -2**31 <= r < 2**31 else ('f ' + float(r).hex()))
)";
    const std::vector<std::string> expected = test::python_lines(code, input.str());
    ASSERT_EQ(expected.size(), got.size()) << (expected.empty() ? "" : expected[0]);
    std::istringstream in(input.str());
    std::string line;
    int mismatches = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        std::getline(in, line);
        std::string e = expected[k];
        if (e[0] == 'f') e = "f " + test::hex_text(test::from_hex_text(e.substr(2)));
        if (e != got[k] && ++mismatches < 10) ADD_FAILURE() << line << ": expected " << e << " got " << got[k];
    }
    EXPECT_EQ(mismatches, 0);
}

// power: exact integer results stay integer!, an overflow anywhere in the
// squaring falls back to the float power, negative exponents give floats.
TEST(ScalarInteger, PowerMatchesPython) {
    std::ostringstream input;
    std::vector<std::string> got;
    for (int32_t base : {0, 1, -1, 2, -2, 3, -3, 7, 10, -10, 46340, 46341, 65536, INT32_MAX, INT32_MIN})
        for (int32_t e : {0, 1, 2, 3, 5, 10, 19, 20, 30, 31, 32, 40, -1, -2}) {
            input << base << ' ' << e << '\n';
            test::outcome o = call_action(act::power, {int_v(base), int_v(e)});
            if (!o.error.empty()) got.push_back("!" + o.error);
            else if (type_of(&o.value) == types::integer) got.push_back("i " + std::to_string(get_integer(&o.value)));
            else got.push_back("f " + test::hex_text(get_float(&o.value)));
        }
    const char* code = R"(
import sys
for line in sys.stdin:
    a, e = map(int, line.split())
    if e < 0:
        try: print('f', (float(a) ** e).hex())
        except ZeroDivisionError: print('f inf')
        continue
    r = a ** e
    if -2**31 <= r < 2**31: print('i %d' % r); continue
    try: print('f', float(r).hex())
    except OverflowError: print('f inf' if r > 0 else 'f -inf')
)";
    const std::vector<std::string> expected = test::python_lines(code, input.str());
    ASSERT_EQ(expected.size(), got.size()) << (expected.empty() ? "" : expected[0]);
    for (size_t k = 0; k < got.size(); ++k) {
        if (expected[k][0] == 'f' && got[k][0] == 'f') {
            // The C library's pow may differ from the exact value in the last place.
            const double want = test::from_hex_text(expected[k].substr(2));
            const double have = test::from_hex_text(got[k].substr(2));
            if (std::isinf(want)) EXPECT_EQ(want, have) << k;
            else EXPECT_NEAR(have, want, std::fabs(want) * 4e-16) << k;
        } else {
            EXPECT_EQ(expected[k], got[k]) << k;
        }
    }
}

// round with every mode and integer scales, against exact decimal quantizing
// of value / scale.
TEST(ScalarInteger, RoundMatchesPythonDecimal) {
    const std::vector<int32_t> values = sample_ints(80, 21);
    const int32_t scales[] = {1, 2, 3, 5, 10, 7, -10, 100, 1000, 65536, INT32_MAX, 0};
    const char* const flags[] = {"", "even", "down", "half-down", "floor", "ceiling", "half-ceiling"};
    std::ostringstream input;
    std::vector<std::string> got;
    for (int32_t v : values)
        for (int32_t s : scales)
            for (int f = 0; f < 7; ++f) {
                kel_value scale = int_v(s);
                test::outcome o = test::round(int_v(v), &scale, flags[f]);
                input << v << ' ' << s << ' ' << f << '\n';
                got.push_back(o.error.empty() ? std::to_string(get_integer(&o.value)) : "!" + o.error);
            }
    const char* code = R"(
import sys
from decimal import Decimal, getcontext, ROUND_HALF_UP, ROUND_HALF_EVEN, ROUND_DOWN, ROUND_HALF_DOWN, ROUND_FLOOR, ROUND_CEILING
getcontext().prec = 60
modes = [ROUND_HALF_UP, ROUND_HALF_EVEN, ROUND_DOWN, ROUND_HALF_DOWN, ROUND_FLOOR, ROUND_CEILING, None]
for line in sys.stdin:
    v, s, f = map(int, line.split())
    s = abs(s)
    if v == -2**31 or s == 0:
        print(v); continue
    mode = modes[f]
    if mode is None: mode = ROUND_HALF_UP if v > 0 else ROUND_HALF_DOWN
    r = int((Decimal(v) / Decimal(s)).quantize(Decimal(1), rounding=mode)) * s
    print(r if -2**31 <= r < 2**31 else '!overflow')
)";
    const std::vector<std::string> expected = test::python_lines(code, input.str());
    ASSERT_EQ(expected.size(), got.size()) << (expected.empty() ? "" : expected[0]);
    std::istringstream in(input.str());
    std::string line;
    int mismatches = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        std::getline(in, line);
        if (expected[k] != got[k] && ++mismatches < 10)
            ADD_FAILURE() << line << ": expected " << expected[k] << " got " << got[k];
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(ScalarInteger, RoundTable) {
    struct row { int32_t v; int32_t scale; const char* flag; const char* expected; };
    const row rows[] = {
        {17, 5, "", "integer! 15"}, {18, 5, "", "integer! 20"}, {15, 10, "", "integer! 20"},
        {25, 10, "even", "integer! 20"}, {35, 10, "even", "integer! 40"}, {-15, 10, "", "integer! -20"},
        {-15, 10, "half-ceiling", "integer! -10"}, {5, 0, "", "integer! 5"},
        {INT32_MIN, 10, "", "integer! -2147483648"}, {INT32_MIN, INT32_MIN, "", "integer! -2147483648"},
        {7, INT32_MIN, "", "!overflow"},  // |scale| of the smallest integer
        {INT32_MAX, 10, "", "!overflow"}, {INT32_MAX, 10, "down", "integer! 2147483640"},
        {-INT32_MAX, 10, "floor", "!overflow"}, {-INT32_MAX, 10, "ceiling", "integer! -2147483640"},
        {-INT32_MAX, 2, "", "integer! -2147483648"},  // the rounded magnitude fits as a negative
        {-INT32_MAX, 2, "down", "integer! -2147483646"},
    };
    for (const row& r : rows) {
        kel_value scale = int_v(r.scale);
        EXPECT_EQ(show(test::round(int_v(r.v), &scale, r.flag)), r.expected) << r.v << " " << r.scale << " " << r.flag;
    }
    // Without /to the value is already whole; a float scale hands over to float! rounding.
    EXPECT_EQ(show(test::round(int_v(-7), nullptr)), "integer! -7");
    kel_value half = flt(0.5);
    EXPECT_EQ(show(test::round(int_v(7), &half)), "float! 7.0");
    kel_value money;
    init_cell(&money, types::money);
    EXPECT_EQ(show(test::round(int_v(7), &money)), "!not-related");
}

TEST(ScalarInteger, EdgeCases) {
    struct row { int action; kel_value a, b; const char* expected; };
    const row rows[] = {
        {act::add, int_v(INT32_MAX), int_v(1), "float! 2147483648.0"},
        {act::subtract, int_v(INT32_MIN), int_v(1), "float! -2147483649.0"},
        {act::multiply, int_v(65536), int_v(65536), "float! 4294967296.0"},
        {act::divide, int_v(7), int_v(2), "float! 3.5"},
        {act::divide, int_v(-7), int_v(2), "float! -3.5"},
        {act::divide, int_v(8), int_v(2), "integer! 4"},
        {act::divide, int_v(1), int_v(0), "!zero-divide"},
        {act::remainder, int_v(1), int_v(0), "!zero-divide"},
        {act::divide, int_v(INT32_MIN), int_v(-1), "!overflow"},
        {act::remainder, int_v(INT32_MIN), int_v(-1), "!overflow"},
        {act::remainder, int_v(-7), int_v(2), "integer! -1"},
        {act::remainder, int_v(7), int_v(-2), "integer! 1"},
        {act::power, int_v(2), int_v(31), "float! 2147483648.0"},
        {act::power, int_v(2), int_v(30), "integer! 1073741824"},
        {act::power, int_v(2), int_v(-1), "float! 0.5"},
        {act::power, int_v(3), flt(2.0), "float! 9.0"},
        {act::power, int_v(0), int_v(0), "integer! 1"},
        {act::power, int_v(-2), int_v(31), "integer! -2147483648"},
        {act::power, int_v(2), test::none_v(), "!expect-arg"},
        {act::and_, int_v(12), int_v(10), "integer! 8"},
        {act::or_, int_v(12), int_v(10), "integer! 14"},
        {act::xor_, int_v(12), int_v(10), "integer! 6"},
        {act::and_, int_v(1), flt(1.5), "!cannot-use"},
        {act::add, int_v(1), test::char_v('A'), "integer! 66"},
        {act::add, int_v(1), flt(0.5), "float! 1.5"},
        {act::add, int_v(1), test::pct(0.5), "float! 1.5"},
        {act::add, int_v(1), test::tm(60), "time! 0:01:01"},
        {act::add, int_v(1), test::none_v(), "!invalid-type"},
        {act::add, int_v(1), test::logic_v(true), "!invalid-type"},
        {act::divide, int_v(1), test::pair_v(1, 2), "!not-related"},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(r.action, {r.a, r.b})), r.expected) << test::mold(r.a) << " " << r.action;
    // tuple! takes neither subtract nor divide from an integer; date! only add.
    kel_value tuple, date;
    init_cell(&tuple, types::tuple);
    init_cell(&date, types::date);
    EXPECT_EQ(show(call_action(act::subtract, {int_v(1), tuple})), "!not-related");
    EXPECT_EQ(show(call_action(act::divide, {int_v(1), tuple})), "!not-related");
    EXPECT_EQ(show(call_action(act::multiply, {int_v(1), date})), "!not-related");
    EXPECT_EQ(test::last_fired_word(0), "subtract");
}

TEST(ScalarInteger, UnaryActions) {
    struct row { int action; int32_t v; const char* expected; };
    const row rows[] = {
        {act::absolute, -5, "integer! 5"}, {act::absolute, INT32_MIN, "!overflow"},
        {act::negate, 5, "integer! -5"}, {act::negate, INT32_MIN, "!overflow"}, {act::negate, INT32_MAX, "integer! -2147483647"},
        {act::complement, 0, "integer! -1"}, {act::complement, INT32_MIN, "integer! 2147483647"},
        {act::even_q, 0, "logic! true"}, {act::even_q, -3, "logic! false"}, {act::odd_q, -3, "logic! true"},
        {act::odd_q, INT32_MIN, "logic! false"},
    };
    for (const row& r : rows) EXPECT_EQ(show(call_action(r.action, {int_v(r.v)})), r.expected) << r.v;
}

TEST(ScalarInteger, ToAndMake) {
    test::boot();
    const kel_value integer_type = test::type_v(types::integer);
    struct row { int action; kel_value spec; const char* expected; };
    const row rows[] = {
        {act::to, flt(2147483647.9), "!type-limit"},
        {act::to, flt(2147483647.0), "integer! 2147483647"},
        {act::to, flt(-2147483648.0), "integer! -2147483648"},
        {act::to, flt(-2147483648.5), "!type-limit"},
        {act::to, flt(std::nan("")), "!type-limit"},
        {act::to, flt(-2.7), "integer! -2"},
        {act::to, test::pct(1.5), "integer! 1"},
        {act::to, test::pct(0.5), "integer! 0"},
        {act::to, test::tm(1.5), "integer! 2"},
        {act::to, test::tm(-1.5), "integer! -1"},
        {act::to, test::tm(1e10), "!type-limit"},  // checked like a float
        {act::to, test::tm(2147483646.4), "integer! 2147483646"},
        {act::to, test::char_v(0x10FFFF), "integer! 1114111"},
        {act::to, int_v(-9), "integer! -9"},
        {act::to, test::bin({0x01, 0x02}), "integer! 258"},
        {act::to, test::bin({0xFF}), "integer! 255"},
        {act::to, test::bin({0xFF, 0xFF, 0xFF, 0xFF, 0x01}), "integer! -1"},
        {act::to, test::bin({}), "integer! 0"},
        {act::to, test::str(U"123"), "integer! 123"},
        {act::to, test::str(U"-2147483648", 2), "integer! -2147483648"},
        {act::to, test::str(U"1'000", 4), "integer! 1000"},
        {act::to, test::str(U"2147483648"), "!bad-to-arg"},
        {act::to, test::str(U"12a"), "!bad-to-arg"},
        {act::to, test::str(U""), "!bad-to-arg"},
        {act::to, test::str(U"7", 1, types::file), "integer! 7"},
        {act::to, test::logic_v(true), "!bad-to-arg"},
        {act::make, test::logic_v(true), "integer! 1"},
        {act::make, test::logic_v(false), "integer! 0"},
        {act::make, flt(3.9), "integer! 3"},
        {act::to, test::none_v(), "!bad-to-arg"},
        {act::to, test::b({1}), "!bad-to-arg"},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(r.action, {integer_type, r.spec})), r.expected) << test::mold(r.spec);
}

// Issue names convert as 1-8 ASCII hexadecimal digits; any other character,
// however its low bits read, is invalid data.
TEST(ScalarInteger, HexDigitsOfAnIssue) {
    struct row { std::u32string name; bool ok; int32_t value; };
    const row rows[] = {
        {U"FF", true, 255}, {U"ff", true, 255}, {U"0", true, 0}, {U"7fffffff", true, INT32_MAX},
        {U"FFFFFFFF", true, -1}, {U"80000000", true, INT32_MIN}, {U"12345678", true, 0x12345678},
        {U"123456789", false, 0}, {U"", false, 0}, {U"G", false, 0}, {U"1 2", false, 0},
        {U"\u00C6", false, 0},  // low 7 bits read "F"
        {U"\uFF26", false, 0},  // FULLWIDTH LATIN CAPITAL F
        {U"\u00B1", false, 0},  // low 7 bits read "1"
    };
    for (const row& r : rows) {
        std::vector<uint32_t> cps(r.name.begin(), r.name.end());
        int32_t v = 0;
        EXPECT_EQ(integer::from_hex_digits(cps.data(), cps.size(), &v), r.ok) << cps.size();
        if (r.ok) {
            EXPECT_EQ(v, r.value);
        }
        // The same name as UTF-8 bytes gives the same answer.
        std::string utf8;
        for (char32_t c : r.name) {
            if (c < 0x80) utf8 += static_cast<char>(c);
            else if (c < 0x800) utf8 += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
            else utf8 += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
        }
        int32_t w = 0;
        EXPECT_EQ(integer::from_hex_digits(utf8.data(), utf8.size(), &w), r.ok);
        if (r.ok) {
            EXPECT_EQ(w, r.value);
        }
    }
    // Wired through to integer!, with the symbol table's spelling.
    test::with_words words;
    const kel_value integer_type = test::type_v(types::integer);
    EXPECT_EQ(show(call_action(act::to, {integer_type, test::word("FF", types::issue)})), "integer! 255");
    EXPECT_EQ(show(call_action(act::to, {integer_type, test::word("123456789", types::issue)})), "!invalid-data");
    EXPECT_EQ(show(call_action(act::to, {integer_type, test::word("\xC3\x86", types::issue)})), "!invalid-data");
}

TEST(ScalarInteger, Compare) {
    struct row { kel_value a, b; int32_t op; int32_t expected; };
    const row rows[] = {
        {int_v(1), int_v(1), cmp::equal, 0},
        {int_v(1), int_v(2), cmp::lesser, -1},
        {int_v(INT32_MIN), int_v(INT32_MAX), cmp::lesser, -1},
        {int_v(1), flt(1.0), cmp::equal, 0},
        {int_v(1), flt(1.0), cmp::strict_equal, 1},
        {int_v(1), flt(1.0), cmp::same, 1},
        {int_v(3), flt(2.5), cmp::greater, 1},
        {int_v(1), flt(1.0 + 2e-16), cmp::equal, 0},  // within float! equality
        {int_v(1), flt(std::nan("")), cmp::lesser, 1},
        {int_v(60), test::tm(60), cmp::equal, 0},
        {int_v(65), test::char_v('A'), cmp::equal, 0},
        {int_v(65), test::char_v('A'), cmp::strict_equal, 1},
        {int_v(65), test::char_v('A'), cmp::find, 1},
        {int_v(66), test::char_v('A'), cmp::greater, 1},
        {int_v(1), test::none_v(), cmp::equal, cmp::not_comparable},
        {int_v(1), test::str(U"1"), cmp::lesser, cmp::not_comparable},
    };
    for (const row& r : rows)
        EXPECT_EQ(test::compare(r.a, r.b, r.op), r.expected) << test::mold(r.a) << " " << test::mold(r.b) << " " << r.op;
}

TEST(ScalarInteger, FormMoldAndBudget) {
    struct row { int32_t v; const char* text; };
    const row rows[] = {{INT32_MIN, "-2147483648"}, {0, "0"}, {-5, "-5"}, {INT32_MAX, "2147483647"}, {100, "100"}};
    for (const row& r : rows) {
        EXPECT_EQ(test::form(int_v(r.v)), r.text);
        EXPECT_EQ(test::mold(int_v(r.v), true), r.text);
    }
    test::boot();
    kel_value buffer;
    text_out::new_buffer(&buffer, 16);
    const kel_value v = int_v(-123);
    EXPECT_EQ(registry::form_handler(types::integer)(&v, &buffer, nullptr, 10), 6);
}

TEST(ScalarInteger, Random) {
    EXPECT_EQ(show(test::random(int_v(0))), "integer! 0");
    EXPECT_EQ(show(test::random(int_v(5), true)), "unset! unset");
    // The same seed gives the same draws.
    std::vector<int32_t> first, again;
    for (auto* out : {&first, &again}) {
        test::random(int_v(42), true);
        for (int i = 0; i < 20; ++i) out->push_back(test::random(int_v(1000)).as_int());
    }
    EXPECT_EQ(first, again);
    bool seen[11] = {};
    for (int i = 0; i < 400; ++i) {
        const int32_t p = test::random(int_v(10)).as_int();
        const int32_t n = test::random(int_v(-10), false, true).as_int();
        ASSERT_TRUE(p >= 1 && p <= 10) << p;
        ASSERT_TRUE(n >= -10 && n <= -1) << n;
        seen[p] = true;
    }
    for (int i = 1; i <= 10; ++i) EXPECT_TRUE(seen[i]) << i;
    const int32_t m = test::random(int_v(INT32_MIN)).as_int();
    EXPECT_LT(m, 0);
}

namespace {

// What the right operand's own handler saw: the action and the types of
// arguments 1 and 2, in call order.
std::string seen_by_right_row;

template <int Action>
signal_code recording_handler(const refinements&) {
    kel_value* a = stack::argument(1);
    const kel_value* b = stack::argument(2);
    seen_by_right_row += std::string(seen_by_right_row.empty() ? "" : " ") + std::to_string(Action) + ":" +
                         registry::type_name(type_of(a)) + "," + registry::type_name(type_of(b));
    if (Action != act::negate) set_integer(a, 99);
    return signal_code::none;
}

// Puts the recording handler into one slot of the action table for a scope.
struct recorded_slot {
    registry::slot* s;
    registry::slot saved;
    recorded_slot(uint32_t type, int action, action_fn fn)
        : s(&registry::action_table[type * act::row_stride + static_cast<uint32_t>(action) - 1]), saved(*s) {
        s->stack = fn;
    }
    ~recorded_slot() { *s = saved; }
};

}  // namespace

// A number with another type on its right hands the work to that type's own
// row: money! and tuple! see the number first (tuple!'s row refuses the
// operations whose operands may not change places), the others see their
// own value first; a row without the handler gives invalid-type.
TEST(ScalarInteger, AnotherTypeOnTheRightIsThatTypesOwnAction) {
    test::boot();
    auto cell = [](uint32_t type) {
        kel_value v;
        init_cell(&v, type);
        return v;
    };
    struct row { int action; kel_value left; uint32_t right; const char* seen; const char* result; };
    const row rows[] = {
        {act::add, int_v(1), types::money, "11:integer!,money!", "integer! 99"},
        {act::multiply, flt(2.0), types::money, "13:float!,money!", "integer! 99"},
        {act::add, flt(2.0), types::tuple, "11:float!,tuple!", "integer! 99"},
        {act::add, int_v(1), types::tuple, "11:integer!,tuple!", "integer! 99"},
        {act::add, int_v(1), types::vector, "11:vector!,integer!", "integer! 99"},
        {act::multiply, test::char_v('a'), types::vector, "13:vector!,char!", "integer! 99"},
        {act::multiply, flt(2.0), types::vector, "13:vector!,float!", "integer! 99"},
        // in place, n - v would be v - n: refused before the vector's row is asked
        {act::subtract, int_v(1), types::vector, "", "!not-related"},
        {act::subtract, test::char_v('a'), types::vector, "", "!not-related"},
        {act::divide, flt(2.0), types::vector, "", "!not-related"},
        {act::multiply, int_v(1), types::pair, "13:pair!,integer!", "integer! 99"},
        {act::add, flt(2.0), types::point2d, "11:point2D!,float!", "integer! 99"},
        {act::add, int_v(1), types::date, "11:date!,integer!", "integer! 99"},
        {act::subtract, int_v(1), types::point3d, "14:point3D!,integer! 11:point3D!,integer!", "integer! 99"},
    };
    for (const row& r : rows) {
        const recorded_slot handlers[] = {
            {r.right, act::add, recording_handler<act::add>},
            {r.right, act::subtract, recording_handler<act::subtract>},
            {r.right, act::multiply, recording_handler<act::multiply>},
            {r.right, act::divide, recording_handler<act::divide>},
            {r.right, act::negate, recording_handler<act::negate>},
        };
        seen_by_right_row.clear();
        EXPECT_EQ(show(call_action(r.action, {r.left, cell(r.right)})), r.result) << registry::type_name(r.right);
        EXPECT_EQ(seen_by_right_row, r.seen) << registry::type_name(r.right);
    }
    // the rows as registered (vector!'s own arithmetic is tested in
    // tests/kel/test-vectors.kel); tuple!'s row joins the integer to each byte
    {
        kel_value t{};
        const uint8_t bytes[] = {1, 2, 254};
        tuple::init_cell(&t, bytes, 3);
        EXPECT_EQ(show(call_action(act::add, {int_v(1), t})), "tuple! 2.3.255");
    }
    // pair!'s own row: the integer joins each axis
    EXPECT_EQ(show(call_action(act::add, {int_v(1), test::pair_v(2, 3)})), "pair! 3x4");
    // money!'s own row takes the number as its left operand
    EXPECT_EQ(show(call_action(act::add, {int_v(1), cell(types::money)})), "money! $1.00");
    EXPECT_EQ(show(call_action(act::add, {flt(1.0), cell(types::money)})), "money! $1.00");
}
