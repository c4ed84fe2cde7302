// pair!, percent!, point2D! and point3D! where a script cannot reach or a
// real program is the better oracle: float32 narrowing and the distance in
// units in the last place against Python's struct packing, generated molds
// that must load back to the same bits, and the arithmetic core called
// directly from C++.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/float.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/lexer_support.h"
#include "tests/unit/scalar_harness.h"

namespace kel {
namespace {

using test::call_action;
using test::flt;
using test::show;

uint32_t bits_of(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

float float_of(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

kel_value point(float x, float y) {
    kel_value v;
    set_point2d(&v, x, y);
    return v;
}

// Doubles around every float32 decision: random magnitudes across the whole
// float32 range and past it, exact float32 values and the midpoints between
// neighbours (where ties go to even), subnormals, and the edge above FLT_MAX.
std::vector<double> narrowing_samples(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> out = {FLT_MAX, double(FLT_MAX) + 0x1p102, double(FLT_MAX) + 0x1p103 - 0x1p76,
                               double(FLT_MAX) + 0x1p103, 0x1p128, 1e39, 0x1p-149, 0x1p-150, 0x1.8p-150,
                               0x1p-151, 1e-46, -0.0, 0.1, 1e-7, 16777217.0};
    for (int i = 0; i < 3000; ++i) {
        switch (rng() % 3) {
            case 0: {  // a random double of float32 size
                const double m = double(rng() % (1ull << 53)) / 0x1p53 + 1.0;
                const int e = static_cast<int>(rng() % 290) - 155;
                out.push_back(std::ldexp(m, e) * ((rng() & 1) ? -1.0 : 1.0));
                break;
            }
            case 1: {  // the midpoint between two neighbouring float32 values
                const float f = float_of(static_cast<uint32_t>(rng() % 0x7F7FFFFFu));
                const float g = std::nextafter(f, INFINITY);
                out.push_back((double(f) + double(g)) / 2.0);
                break;
            }
            default:  // an exact float32
                out.push_back(float_of(static_cast<uint32_t>(rng() % 0x7F7FFFFFu)));
        }
    }
    return out;
}

}  // namespace

TEST(ScalarPoints, NarrowingMatchesPythonStructPacking) {
    const std::vector<double> samples = narrowing_samples(20240611);
    std::string input;
    for (double d : samples) input += test::hex_text(d) + "\n";
    // Python packs with the C cast and refuses only a result that became
    // infinite from a finite value: that is the overflow to infinity.
    const std::vector<std::string> lines = test::python_lines(
        "import struct\n"
        "for line in sys.stdin:\n"
        "    x = float.fromhex(line.strip())\n"
        "    try:\n"
        "        print(struct.unpack('<I', struct.pack('<f', x))[0])\n"
        "    except OverflowError:\n"
        "        print('inf' if x > 0 else '-inf')\n",
        input);
    ASSERT_EQ(lines.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        const float got = float_::to_single(samples[i]);
        if (lines[i] == "inf" || lines[i] == "-inf") {
            EXPECT_TRUE(std::isinf(got) && (got > 0) == (lines[i] == "inf")) << test::hex_text(samples[i]);
            continue;
        }
        EXPECT_EQ(bits_of(got), std::stoul(lines[i])) << test::hex_text(samples[i]);
    }
    EXPECT_TRUE(std::isnan(float_::to_single(std::nan(""))));
    EXPECT_EQ(float_::to_single(-INFINITY), -INFINITY);
}

// Nearly equal points: Python moves a float32 by k units in the last place
// (through its bits read as a signed integer, the order of the floats) and
// says what codes 0, 2 and 9 must answer: equal within 10 units (or closer
// than the float32 epsilon), exactly equal, the same bits.
TEST(ScalarPoints, NearlyEqualPointsUnderCodesZeroTwoAndNine) {
    test::boot();
    const std::vector<std::string> lines = test::python_lines(
        "import random, struct\n"
        "random.seed(7)\n"
        "def key(f):\n"
        "    i = struct.unpack('<i', struct.pack('<f', f))[0]\n"
        "    return i if i >= 0 else -(i & 0x7fffffff)\n"
        "def from_key(k):\n"
        "    i = k if k >= 0 else (-k) | -0x80000000\n"
        "    return struct.unpack('<f', struct.pack('<i', i))[0]\n"
        "def bits(f):\n"
        "    return struct.unpack('<I', struct.pack('<f', f))[0]\n"
        "cases = [(0.0, -0.0), (1.0, 1.0)]\n"
        "for n in range(600):\n"
        "    a = struct.unpack('<f', struct.pack('<f', random.choice([1, -1]) * random.uniform(0, 2) *\n"
        "                                          10.0 ** random.randint(-40, 38)))[0]\n"
        "    k = random.choice([0, 1, -1, 2, 9, 10, -10, 11, -11, 12, 40, random.randint(-30, 30)])\n"
        "    b = from_key(key(a) + k)\n"
        "    if b != b or abs(b) == float('inf'): continue\n"
        "    cases.append((a, b))\n"
        "for a, b in cases:\n"
        "    almost = a == b or abs(a - b) < 2.0 ** -23 or abs(key(a) - key(b)) <= 10\n"
        "    print(bits(a), bits(b), 0 if almost else 1, 0 if a == b else 1, 0 if bits(a) == bits(b) else 1)\n",
        "");
    ASSERT_GT(lines.size(), 500u);
    const compare_fn compare2 = registry::compare_handler(types::point2d);
    const compare_fn compare3 = registry::compare_handler(types::point3d);
    for (const std::string& line : lines) {
        std::istringstream in(line);
        uint32_t a, b;
        int32_t code0, code2, code9;
        in >> a >> b >> code0 >> code2 >> code9;
        const float fa = float_of(a), fb = float_of(b);
        // The difference in x, and then in y, with the other component equal.
        const kel_value p = point(fa, 2.5f), q = point(fb, 2.5f), r = point(2.5f, fa), s = point(2.5f, fb);
        EXPECT_EQ(compare2(&p, &q, cmp::equal), code0) << line;
        EXPECT_EQ(compare2(&r, &s, cmp::equal), code0) << line;
        EXPECT_EQ(compare2(&p, &q, cmp::strict_equal), code2) << line;
        EXPECT_EQ(compare2(&p, &q, cmp::same), code9) << line;
        EXPECT_EQ(compare2(&r, &s, cmp::same), code9) << line;
        kel_value u, v;
        set_point3d(&u, 1.0f, 2.0f, fa);
        set_point3d(&v, 1.0f, 2.0f, fb);
        EXPECT_EQ(compare3(&u, &v, cmp::equal), code0) << line;
        EXPECT_EQ(compare3(&u, &v, cmp::strict_equal), code2) << line;
        EXPECT_EQ(compare3(&u, &v, cmp::same), code9) << line;
        // Ordering: almost equal x hand the decision to y.
        const kel_value lower_y = point(fb, 1.0f);
        EXPECT_EQ(compare2(&p, &lower_y, cmp::lesser) > 0, code0 == 0 || fa > fb) << line;
    }
}

TEST(ScalarPoints, GeneratedMoldsLoadBackWithTheSameBits) {
    test::boot();
    std::mt19937_64 rng(99);
    auto load_one = [](const std::string& text) {
        kel_value block = test::lexer_support::load(text);
        EXPECT_EQ(block::ks_length_q(&block), 1) << text;
        return *block::ks_head(&block);
    };
    for (int i = 0; i < 400; ++i) {
        // Pairs: any two 32-bit integers.
        const kel_value p = test::pair_v(static_cast<int32_t>(rng()), static_cast<int32_t>(rng()));
        const std::string text = test::mold(p);
        const kel_value back = load_one(text);
        EXPECT_EQ(type_of(&back), types::pair) << text;
        EXPECT_EQ(back.w2, p.w2) << text;
        EXPECT_EQ(back.w3, p.w3) << text;

        // Percents of at most 13 significant digits, as their literal gives them.
        const std::string digits = std::to_string(1 + rng() % 9999999999999ull);
        const size_t point_at = 1 + rng() % digits.size();
        const std::string literal = std::string((rng() & 1) ? "-" : "") + digits.substr(0, point_at) + "." +
                                    (point_at < digits.size() ? digits.substr(point_at) : "0") + "%";
        const kel_value percent = load_one(literal);
        ASSERT_EQ(type_of(&percent), types::percent) << literal;
        const std::string molded = test::mold(percent);
        const kel_value percent_back = load_one(molded);
        EXPECT_EQ(get_float(&percent_back), get_float(&percent)) << literal << " molded " << molded;

        // Points whose components have at most 6 significant digits (and are
        // 0 or above the float epsilon, which the pretty text forms as 0).
        auto component = [&] {
            const int64_t m = static_cast<int64_t>(rng() % 1000000) * ((rng() & 1) ? 1 : -1);
            return std::to_string(m) + "e" + std::to_string(int(rng() % 38) - 12);
        };
        const std::string point_text = "(" + component() + ", " + component() + ", " + component() + ")";
        const kel_value pt = load_one(point_text);
        ASSERT_EQ(type_of(&pt), types::point3d) << point_text;
        const std::string point_molded = test::mold(pt);
        const kel_value pt_back = load_one(point_molded);
        EXPECT_EQ(std::memcmp(&pt_back.w1, &pt.w1, 12), 0) << point_text << " molded " << point_molded;
    }
}

// The arithmetic core as C++ callers reach it: a float operand beyond the
// 32-bit range has no integer form, so the bitwise operators, which points
// do not compute, refuse it; the others go over to point2D!.
TEST(ScalarPoints, PairMathWithAFloatBeyondThirtyTwoBits) {
    test::boot();
    const test::with_words words;
    const kel_value p = test::pair_v(10, 20);
    struct row {
        int action;
        kel_value operand;
        const char* expected;
    } rows[] = {
        {act::and_, flt(1e12), "!invalid-arg"},
        {act::or_, flt(-1e12), "!invalid-arg"},
        {act::xor_, flt(3e9), "!invalid-arg"},
        {act::and_, flt(3.9), "pair! 2x0"},  // truncated within the range
        {act::and_, flt(INFINITY), "!invalid-arg"},
        {act::add, flt(1e12), "point2D! (1e12, 1e12)"},
        {act::subtract, flt(-1e12), "point2D! (1e12, 1e12)"},
        {act::remainder, flt(1e12), "point2D! (10, 20)"},
        {act::add, flt(2147483647.5), "point2D! (2.147484e9, 2.147484e9)"},
        {act::add, flt(std::nan("")), "!invalid-arg"},
        {act::add, test::pct(0.5), "pair! 10x20"},
        {act::multiply, test::pct(0.5), "point2D! (5, 10)"},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(r.action, {p, r.operand})), r.expected)
            << r.action << " " << test::mold(r.operand);
}

}  // namespace kel
