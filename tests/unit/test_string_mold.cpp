// Molded and formed text of strings: the choice between quotes and braces,
// brace balancing, the ^ escapes, non-ASCII text with and without /all, the
// part budget, and the same text from every unit width.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_string_support.h"

using namespace kel;
using test::str;
using test::text;

namespace {

struct StringMold : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
};

// Molds through the string! handler with an optional /part budget.
std::u32string mold_text(const kel_value& v, bool all, int32_t part = -1) {
    kel_value buffer;
    string::init_cell(&buffer, 16);
    kel_value limit = test::int_v(part);
    string::mold(&v, &buffer, false, all, false, part >= 0 ? &limit : nullptr, part >= 0 ? part : 0x7FFFFFFF, 0);
    return text(buffer);
}

}  // namespace

TEST_F(StringMold, EscapeTable) {
    struct row { std::u32string in; std::u32string plain; std::u32string all; };
    const row rows[] = {
        // quote form
        {U"abc", U"\"abc\"", U"\"abc\""},
        {U"", U"\"\"", U"\"\""},
        {U"a\nb", U"\"a^/b\"", U"\"a^/b\""},
        {U"a\tb", U"\"a^-b\"", U"\"a^-b\""},
        {U"a^b", U"\"a^^b\"", U"\"a^^b\""},
        {U"a{b", U"\"a{b\"", U"\"a{b\""},      // braces are left alone in quotes
        {U"}{", U"\"}{\"", U"\"}{\""},
        {std::u32string(1, U'\0'), U"\"^@\"", U"\"^@\""},
        {U"\x01\x08\x0B\x1A", U"\"^A^H^K^Z\"", U"\"^A^H^K^Z\""},
        {U"\x1B\x1C\x1D\x1F", U"\"^[^\\^]^_\"", U"\"^[^\\^]^_\""},
        {U"\x1E", U"\"^(1E)\"", U"\"^(1E)\""},
        {U"\x7F", U"\"^~\"", U"\"^~\""},
        {U"\u0085\u009F", U"\"^(85)^(9F)\"", U"\"^(85)^(9F)\""},
        {U"\u00A0\u00E9", U"\"\u00A0\u00E9\"", U"\"^(A0)^(E9)\""},
        {U"\u20AC\U0001F600", U"\"\u20AC\U0001F600\"", U"\"^(20AC)^(1F600)\""},
        {U"\r\n", U"\"^M^/\"", U"\"^M^/\""},
        // brace form: a double quote, three line feeds, or 50 code points
        {U"a\"b", U"{a\"b}", U"{a\"b}"},
        {U"a\nb\nc\nd", U"{a^/b^/c^/d}", U"{a^/b^/c^/d}"},
        {U"a\nb\nc", U"\"a^/b^/c\"", U"\"a^/b^/c\""},
        {U"\"^", U"{\"^^}", U"{\"^^}"},
        {U"\"\t\u00E9", U"{\"^-\u00E9}", U"{\"^-^(E9)}"},
        // brace balancing
        {U"a\"{b", U"{a\"^{b}", U"{a\"^{b}"},
        {U"a\"}b", U"{a\"^}b}", U"{a\"^}b}"},
        {U"{a}\"", U"{{a}\"}", U"{{a}\"}"},
        {U"\"{{}", U"{\"^{^{^}}", U"{\"^{^{^}}"},        // the outer brace has no match: every later one is escaped
        {U"\"{}{", U"{\"{}^{}", U"{\"{}^{}"},
        {U"\"}{", U"{\"^}^{}", U"{\"^}^{}"},
        {U"\"{{}}{}", U"{\"{{}}{}}", U"{\"{{}}{}}"},
        {U"\"{}}{", U"{\"{}^}^{}", U"{\"{}^}^{}"},
        {U"\"{x{y}z}", U"{\"{x{y}z}}", U"{\"{x{y}z}}"},
    };
    for (const row& r : rows) {
        for (uint32_t unit : {1u, 2u, 4u}) {
            const kel_value v = test::text_at(r.in, unit);
            EXPECT_EQ(test::utf8(mold_text(v, false)), test::utf8(r.plain)) << test::utf8(r.in) << " unit " << unit;
            EXPECT_EQ(test::utf8(mold_text(v, true)), test::utf8(r.all)) << test::utf8(r.in) << " unit " << unit;
        }
    }
}

TEST_F(StringMold, LengthFromTheHeadChoosesBraces) {
    const std::u32string fifty(50, U'x');
    EXPECT_EQ(mold_text(str(fifty), false), U"{" + fifty + U"}");
    EXPECT_EQ(mold_text(str(fifty.substr(1)), false), U"\"" + fifty.substr(1) + U"\"");
    kel_value from1 = str(fifty);
    set_series_head(&from1, 1);
    EXPECT_EQ(mold_text(from1, false), U"\"" + fifty.substr(1) + U"\"");
    // A part budget cuts the range but the length from the head still decides.
    EXPECT_EQ(mold_text(str(fifty), false, 3), U"{xxx}");
}

TEST_F(StringMold, PartBudget) {
    kel_value buffer;
    string::init_cell(&buffer, 16);
    kel_value v = str(U"abcdef");
    kel_value limit = test::int_v(3);
    EXPECT_EQ(string::mold(&v, &buffer, false, false, false, &limit, 3, 0), 3 - 3 - 2);
    EXPECT_EQ(text(buffer), U"\"abc\"");
    // Quote counting stops at the range: a quote past it does not force braces.
    kel_value q = str(U"ab\"cd");
    EXPECT_EQ(mold_text(q, false, 2), U"\"ab\"");
    kel_value negative = test::int_v(-1);
    string::init_cell(&buffer, 16);
    (void)string::mold(&v, &buffer, false, false, false, &negative, -1, 0);
    EXPECT_EQ(text(buffer), U"\"\"");
    // Without a part argument the whole text is molded, whatever the budget.
    string::init_cell(&buffer, 16);
    EXPECT_EQ(string::mold(&v, &buffer, false, false, false, nullptr, 10, 0), 10 - 6 - 2);
    EXPECT_EQ(text(buffer), U"\"abcdef\"");
}

TEST_F(StringMold, FormAndTheRegistryDoors) {
    kel_value v = str(U"h\u00E9llo\n", 1);
    EXPECT_EQ(test::form(v), test::utf8(U"h\u00E9llo\n"));
    EXPECT_EQ(test::mold(v), test::utf8(U"\"h\u00E9llo^/\""));
    kel_value buffer;
    string::init_cell(&buffer, 16);
    kel_value limit = test::int_v(2);
    set_series_head(&v, 1);
    EXPECT_EQ(string::form(&v, &buffer, &limit, 2), 2 - 5);  // the budget less the whole length
    EXPECT_EQ(text(buffer), U"\u00E9l");
    // Forming into a narrower buffer widens it.
    kel_value wide = str(U"\u263A", 2);
    string::form(&wide, &buffer, nullptr, 100);
    EXPECT_EQ(text(buffer), U"\u00E9l\u263A");
    EXPECT_EQ(test::unit_of(buffer), 2u);
    // Blocks of strings mold each one.
    kel_value blk = test::b({str(U"a\"b"), str(U"c"), 7});
    EXPECT_EQ(test::mold(blk), "[{a\"b} \"c\" 7]");
    // The char! and vector! escape.
    kel_value out;
    string::init_cell(&out, 16);
    string::mold_char(&out, 0x1E, false);
    string::mold_char(&out, 0xE9, false);
    string::mold_char(&out, 0xE9, true);
    string::mold_char(&out, '"', false);
    EXPECT_EQ(text(out), U"^(1E)\u00E9^(E9)^\"");
}
