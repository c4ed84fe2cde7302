// Lexer round trips: generated values are molded and lexed back, and must
// come back equal; decimal texts read through the lexer must give exactly
// the float Python's float() gives for them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "kernel/unicode.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/lexer_support.h"
#include "tests/unit/test_support.h"

using namespace kel;
using kel::test::lexer_support::load;

namespace {

char32_t random_code_point(std::mt19937& rng) {
    switch (rng() % 6) {
        case 0: return static_cast<char32_t>(rng() % 32);  // controls, line feeds, tabs
        case 1: {
            static const char32_t specials[] = {U'"', U'{', U'}', U'^', U'\\', U';', U'[', U']', U' ', 0x7F};
            return specials[rng() % (sizeof specials / sizeof specials[0])];
        }
        case 2: return static_cast<char32_t>(0x80 + rng() % 0x780);
        case 3: return static_cast<char32_t>(0x800 + rng() % 0xF800);  // lone surrogates included
        case 4: return static_cast<char32_t>(0x10000 + rng() % 0x100000);
        default: return static_cast<char32_t>(32 + rng() % 95);
    }
}

// Two cells equal as values of the lexer's forms (type, payload, text).
bool same_value(const kel_value& a, const kel_value& b, std::string* why) {
    if (type_of(&a) != type_of(&b)) {
        *why = "type " + std::to_string(type_of(&a)) + " vs " + std::to_string(type_of(&b));
        return false;
    }
    switch (type_of(&a)) {
        case types::integer: case types::char_: return get_integer(&a) == get_integer(&b);
        case types::float_: {
            const double x = get_float(&a), y = get_float(&b);
            return std::memcmp(&x, &y, 8) == 0 || (std::isnan(x) && std::isnan(y));
        }
        case types::string: return test::text(a) == test::text(b);
        case types::word: case types::set_word: case types::get_word: case types::lit_word: case types::refinement:
        case types::issue: return word_symbol(&a) == word_symbol(&b);
        case types::block: case types::paren: {
            kel_value x = a, y = b;
            if (block::ks_length_q(&x) != block::ks_length_q(&y)) return false;
            for (int32_t i = 0; i < block::ks_length_q(&x); ++i)
                if (!same_value(block::ks_head(&x)[i], block::ks_head(&y)[i], why)) return false;
            return true;
        }
        default: return std::memcmp(&a, &b, 16) == 0;
    }
}

kel_value random_value(std::mt19937& rng, int depth) {
    kel_value v;
    switch (rng() % (depth < 3 ? 8 : 6)) {
        case 0: set_integer(&v, static_cast<int32_t>(rng())); break;
        case 1: {
            uint64_t bits = (static_cast<uint64_t>(rng()) << 32) | rng();
            double d;
            std::memcpy(&d, &bits, 8);
            if (!std::isfinite(d) || d == 0.0) d = static_cast<double>(static_cast<int32_t>(rng())) / 7.0;
            set_float(&v, d);
            break;
        }
        case 2: {
            std::u32string t;
            const size_t n = rng() % 12;
            for (size_t i = 0; i < n; ++i) t += random_code_point(rng);
            const uint32_t unit = t.empty() ? 1 : 4;
            v = test::str(t, unit);
            break;
        }
        case 3: {
            char32_t c = random_code_point(rng);
            set_char(&v, static_cast<uint32_t>(c));
            break;
        }
        case 4: case 5: {
            static const char* const first = "abcdefghijklmnopqrstuvwxyzABCXYZ?!*_";
            static const char* const rest = "abcdefghijklmnopqrstuvwxyz0123456789-?!*_";
            std::string name(1, first[rng() % std::strlen(first)]);
            const size_t n = rng() % 8;
            for (size_t i = 0; i < n; ++i) name += rest[rng() % std::strlen(rest)];
            static const uint32_t kinds[] = {types::word, types::set_word, types::get_word, types::lit_word,
                                             types::refinement, types::issue};
            const kel_value holder = load(name);
            v = *block::ks_head(&const_cast<kel_value&>(holder));
            set_type(&v, kinds[rng() % 6]);
            if (type_of(&v) == types::issue) v.w3 = static_cast<uint32_t>(-1);
            break;
        }
        default: {
            std::vector<kel_value> cells;
            const size_t n = rng() % 5;
            for (size_t i = 0; i < n; ++i) cells.push_back(random_value(rng, depth + 1));
            v = test::block_of(cells);
            break;
        }
    }
    return v;
}

}  // namespace

TEST(LexerRoundTrip, MoldThenLexGivesTheSameValues) {
    std::mt19937 rng(20261209);
    std::vector<kel_value> values;
    for (int i = 0; i < 600; ++i) values.push_back(random_value(rng, 0));
    const kel_value original = test::block_of(values);
    for (int all = 0; all < 2; ++all) {
        const std::string text = test::mold(original, all == 1);
        const kel_value back = load(text);
        ASSERT_EQ(block::ks_length_q(&back), 1);
        std::string why;
        kel_value inner = *block::ks_head(&const_cast<kel_value&>(back));
        kel_value o = original;
        for (int32_t i = 0; i < block::ks_length_q(&o); ++i) {
            ASSERT_LT(i, block::ks_length_q(&inner));
            EXPECT_TRUE(same_value(block::ks_head(&o)[i], block::ks_head(&inner)[i], &why))
                << "value " << i << ": " << test::mold(block::ks_head(&o)[i]) << " came back as "
                << test::mold(block::ks_head(&inner)[i]) << " " << why;
        }
    }
}

TEST(LexerRoundTrip, DecimalTextsReadLikePythonFloat) {
    // Python makes the texts and says which float each is (its bits).
    const std::string out = test::python(
        "import random, struct\n"
        "r = random.Random(4242)\n"
        "for i in range(3000):\n"
        "    k = r.randrange(6)\n"
        "    d = ''.join(r.choice('0123456789') for _ in range(r.randrange(1, 25)))\n"
        "    f = ''.join(r.choice('0123456789') for _ in range(r.randrange(1, 25)))\n"
        "    e = r.randrange(-330, 330)\n"
        "    if k == 0: s = d + '.' + f\n"
        "    elif k == 1: s = d + 'e' + str(e)\n"
        "    elif k == 2: s = d + '.' + f + 'E' + str(e)\n"
        "    elif k == 3: s = '.' + f\n"
        "    elif k == 4: s = str(r.choice([2**53+1, 2**63, 10**22, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308]))\n"
        "    else: s = '-' + d + '.' + f + 'e-' + str(abs(e))\n"
        "    v = float(s)\n"
        "    print(s, struct.unpack('<Q', struct.pack('<d', v))[0])\n");
    std::istringstream lines(out);
    std::string text, source;
    std::vector<uint64_t> bits;
    uint64_t b;
    while (lines >> text >> b) {
        source += text + " ";
        bits.push_back(b);
    }
    ASSERT_EQ(bits.size(), 3000u);
    const kel_value block = load(source);
    kel_value c = block;
    ASSERT_EQ(block::ks_length_q(&c), 3000);
    std::istringstream again(source);
    for (size_t i = 0; i < bits.size(); ++i) {
        again >> text;
        const kel_value& v = block::ks_head(&c)[i];
        double d = type_of(&v) == types::integer ? static_cast<double>(get_integer(&v)) : get_float(&v);
        uint64_t got;
        std::memcpy(&got, &d, 8);
        if (got == 0x8000000000000000ull) got = 0;  // the lexer never makes -0.0; Python's -0.0 is 0.0 here
        uint64_t want = bits[i] == 0x8000000000000000ull ? 0 : bits[i];
        EXPECT_EQ(got, want) << text;
    }
}
