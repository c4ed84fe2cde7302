// The JSON decoder's escape routine on strings of every unit width: in-place
// rewriting from the head, widening in the middle of a string, surrogate
// pairs, and the escapes it refuses.
#include <gtest/gtest.h>

#include <string>

#include "kernel/native_api.h"
#include "kernel/stack.h"
#include "library/json_unescape.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_string_support.h"

using namespace kel;
using test::str;
using test::text;
using test::unit_of;

namespace {

struct JsonUnescape : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
};

kel_value unescaped(const std::u32string& t, uint32_t unit = 1) {
    kel_value s = test::text_at(t, unit);
    json_unescape::unescape(&s);
    return s;
}

}  // namespace

TEST_F(JsonUnescape, EscapesBecomeTheirCharacters) {
    struct row {
        std::u32string in, out;
    };
    const row rows[] = {
        {U"a\\nb", U"a\nb"},
        {U"\\\"\\\\\\/\\b\\f\\n\\r\\t", U"\"\\/\b\f\n\r\t"},
        {U"plain", U"plain"},
        {U"", U""},
        {U"\\u0041\\u00e9z", U"A\u00e9z"},
        {U"\\uD83D\\uDE00", U"\U0001F600"},
        {U"\\ud83d\\ude00!", U"\U0001F600!"},
        {U"\\uDC00", U"\xDC00"},          // a trail half that follows no lead half stays
        {U"\\q", U"\\"},                  // an unknown escape: the backslash stays, the letter goes
        {U"ab\\", U"ab\\"},               // a trailing backslash is kept
        {U"x\\u4E2Dy\\u00e9", U"x\u4E2Dy\u00e9"},
    };
    for (const row& r : rows) EXPECT_EQ(text(unescaped(r.in)), r.out) << test::utf8(r.in);
}

TEST_F(JsonUnescape, UnitsWidenOnlyWhenACharacterNeedsIt) {
    EXPECT_EQ(unit_of(unescaped(U"\\u00e9")), 1u);
    EXPECT_EQ(unit_of(unescaped(U"\\u4E2D")), 2u);
    EXPECT_EQ(unit_of(unescaped(U"\\uD83D\\uDE00")), 4u);
    // The widening happens after characters were already rewritten: what
    // was written before it and what is read after it both survive.
    const std::u32string long_text = U"\\n" + std::u32string(300, U'a') + U"\\u4E2D" + std::u32string(300, U'b') +
                                     U"\\uD83D\\uDE00\\t";
    const std::u32string want = U"\n" + std::u32string(300, U'a') + U"\u4E2D" + std::u32string(300, U'b') +
                                U"\U0001F600\t";
    EXPECT_EQ(text(unescaped(long_text)), want);
    // Already wide strings are rewritten in their own unit.
    EXPECT_EQ(text(unescaped(U"\u4E2D\\n\\u00e9", 2)), U"\u4E2D\n\u00e9");
    EXPECT_EQ(text(unescaped(U"\U0001F600\\u4E2D", 4)), U"\U0001F600\u4E2D");
}

TEST_F(JsonUnescape, RewritesFromTheHeadOnly) {
    kel_value s = test::text_at(U"\\n\\n\\tx");
    set_series_head(&s, 2);
    json_unescape::unescape(&s);
    set_series_head(&s, 0);
    EXPECT_EQ(text(s), U"\\n\n\tx");
}

TEST_F(JsonUnescape, BadUnicodeEscapesRaiseInvalidData) {
    for (const std::u32string& bad : {std::u32string(U"\\uD83D"), std::u32string(U"\\uD83Dabcdef"),
                                      std::u32string(U"\\uD83D\\u0041"), std::u32string(U"\\u12"),
                                      std::u32string(U"\\u12G4"), std::u32string(U"x\\u")}) {
        kel_value s = test::text_at(bad);
        EXPECT_TRUE(fires([&] { json_unescape::unescape(&s); }, "invalid-data")) << test::utf8(bad);
        EXPECT_EQ(last_fired().category, error_category::script);
    }
}
