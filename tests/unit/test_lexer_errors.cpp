// Lexer syntax errors: source text -> the error it raises (id, the datatype
// or character it names, the line, the text near it).
#include <gtest/gtest.h>

#include <string>

#include "tests/unit/lexer_support.h"

using kel::test::lexer_support::error_of;
using kel::test::lexer_support::syntax_error;

namespace {

struct error_case {
    const char* text;
    const char* id;
    const char* what;  // datatype or character molded ("" for none)
    const char* line;
    const char* near;
};

void check(const error_case* cases, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const error_case& c = cases[i];
        const syntax_error e = error_of(c.text);
        ASSERT_TRUE(e.raised) << "source: " << c.text;
        EXPECT_EQ(e.category, "syntax") << "source: " << c.text;
        EXPECT_EQ(e.id, c.id) << "source: " << c.text;
        EXPECT_EQ(e.what, c.what) << "source: " << c.text;
        EXPECT_EQ(e.line, c.line) << "source: " << c.text;
        EXPECT_EQ(e.near, c.near) << "source: " << c.text;
    }
}
#define CHECK_TABLE(t) check(t, sizeof t / sizeof t[0])

}  // namespace

TEST(LexerErrors, MissingClosers) {
    const error_case cases[] = {
        {"[1 2", "missing", "#\"]\"", "(line 1)", "[1 2"},
        {"1 2]", "missing", "#\"[\"", "(line 1)", "]"},
        {"(1 2", "missing", "#\")\"", "(line 1)", "(1 2"},
        {"1)", "missing", "#\"(\"", "(line 1)", ")"},
        {"a\nb\nc ] d", "missing", "#\"[\"", "(line 3)", "] d"},
        {"[1 2)", "missing", "#\"]\"", "(line 1)", "[1 2)"},
        {"(1 2]", "missing", "#\")\"", "(line 1)", "(1 2]"},
        {"a [b (c\nd]", "missing", "#\")\"", "(line 2)", "(c"},
        {"x\n\n[", "missing", "#\"]\"", "(line 3)", "["},
        {"[a/b", "missing", "#\"]\"", "(line 1)", "[a/b"},
    };
    CHECK_TABLE(cases);
}

TEST(LexerErrors, BadCharacters) {
    const error_case cases[] = {
        {"\\", "bad-char", "", "(line 1)", "\\"},
        {"a }", "bad-char", "", "(line 1)", "}"},
        {"\x80", "bad-char", "", "(line 1)", "^(80)"},  // bytes that are not UTF-8 shown escaped
        {"\xFF" "abc", "bad-char", "", "(line 1)", "^(FF)abc"},
        {"'a/b:", "bad-char", "", "(line 1)", "'a/b:"},
        {":a/b:", "bad-char", "", "(line 1)", ":a/b:"},
        {"; c \xC0", "bad-char", "", "(line 1)", "; c ^(C0)"},
    };
    CHECK_TABLE(cases);
}

TEST(LexerErrors, InvalidForms) {
    const error_case cases[] = {
        {"12a", "invalid", "integer!", "(line 1)", "12a"},
        {"1''000", "invalid", "integer!", "(line 1)", "1''000"},
        {"1h 123456789h", "invalid", "integer!", "(line 1)", "1h 123456789h"},
        {"Eh", "invalid", "word!", "(line 1)", "Eh"},
        {"1e 2", "invalid", "float!", "(line 1)", "1e 2"},
        {"2.#INF", "invalid", "float!", "(line 1)", "2.#INF"},
        {"1e%", "invalid", "float!", "(line 1)", "1e%"},
        {"\"abc", "invalid", "string!", "(line 1)", "\"abc"},
        {"\"a\nb\"", "invalid", "string!", "(line 1)", "\"a"},
        {"{abc", "invalid", "string!", "(line 1)", "{abc"},
        {"{a{b}", "invalid", "string!", "(line 1)", "{a{b}"},
        {"\"^(12345678)\"", "invalid", "string!", "(line 1)", "\"^(12345678)\""},
        {"\"^(backs)\"", "invalid", "string!", "(line 1)", "\"^(backs)\""},
        {"\"^(110000)\"", "invalid", "string!", "(line 1)", "\"^(110000)\""},
        {"\"a\x80" "b\"", "invalid", "string!", "(line 1)", "\"a^(80)b\""},
        {"\"a\x1B[2J\x07", "invalid", "string!", "(line 1)", "\"a^[[2J^G"},  // no control character reaches a terminal
        {"%{a}%%", "invalid", "string!", "(line 1)", "%{a}%%"},
        {"%{abc", "invalid", "string!", "(line 1)", "%{abc"},
        {"%%{a}% b", "invalid", "string!", "(line 1)", "%%{a}% b"},
        {"#\"\"", "invalid", "char!", "(line 1)", "#\"\""},
        {"#\"ab\"", "invalid", "char!", "(line 1)", "#\"ab\""},
        {"#\"^(110000)\"", "invalid", "char!", "(line 1)", "#\"^(110000)\""},
        {"#", "invalid", "issue!", "(line 1)", "#"},
        {":a:", "invalid", "word!", "(line 1)", ":a:"},
        {"=:", "invalid", "word!", "(line 1)", "=:"},  // a word that "=" starts does not take a ":"
        {"=: 1", "invalid", "word!", "(line 1)", "=: 1"},
        {"=:a", "invalid", "word!", "(line 1)", "=:a"},
        {"[a =: b]", "invalid", "word!", "(line 1)", "=: b]"},
        {"'a:", "invalid", "lit-word!", "(line 1)", "'a:"},
        {"a\xC2", "invalid", "word!", "(line 1)", "a^(C2)"},
        {":a:b", "invalid", "get-word!", "(line 1)", ":a:b"},
        {"1:30:", "invalid", "time!", "(line 1)", "1:30:"},
        {"1:2:3:4", "invalid", "time!", "(line 1)", "1:2:3:4"},
        {"1x", "invalid", "pair!", "(line 1)", "1x"},
        {"1x-", "invalid", "pair!", "(line 1)", "1x-"},
        {"1.2x3", "invalid", "pair!", "(line 1)", "1.2x3"},
        {"1x99999999999", "invalid", "pair!", "(line 1)", "1x99999999999"},
        {"#{123}", "invalid", "binary!", "(line 1)", "#{123}"},
        {"3#{00}", "invalid", "binary!", "(line 1)", "3#{00}"},
        {"2#{0101}", "invalid", "binary!", "(line 1)", "2#{0101}"},
        {"64#{S}", "invalid", "binary!", "(line 1)", "64#{S}"},
        {"#{4;8}", "invalid", "binary!", "(line 1)", "#{4;8}"},
        {"#{GG}", "invalid", "binary!", "(line 1)", "#{GG}"},
        {"1.2.256", "invalid", "tuple!", "(line 1)", "1.2.256"},
        {"1.2.3.4.5.6.7.8.9.10.11.12.13", "invalid", "tuple!", "(line 1)", "1.2.3.4.5.6.7.8.9.10.11.12.13"},
        {"#[a 1 b]", "invalid", "map!", "(line 1)", "#[a 1 b]"},
        {"#[[1] 2]", "invalid", "map!", "(line 1)", "#[[1] 2]"},
        {"(a, b)", "invalid", "point2D!", "(line 1)", "(a, b)"},
        {",", "invalid", "point2D!", "(line 1)", ","},
        {"(1, 2", "invalid", "point2D!", "(line 1)", "1, 2"},
        {"(1,, 2)", "invalid", "point2D!", "(line 1)", "(1,, 2)"},
        {"(1, 2, 3, 4)", "invalid", "point2D!", "(line 1)", "(1, 2, 3, 4)"},
        {"30-Feb-2000", "invalid", "date!", "(line 1)", "30-Feb-2000"},
        {"29-Feb-2001", "invalid", "date!", "(line 1)", "29-Feb-2001"},
        {"2000-13-1", "invalid", "date!", "(line 1)", "2000-13-1"},
        {"1-Jan/2000", "invalid", "date!", "(line 1)", "1-Jan/2000"},
        {"1-Ja-2000", "invalid", "date!", "(line 1)", "1-Ja-2000"},
        {"1-1-2000/25:00", "invalid", "date!", "(line 1)", "1-1-2000/25:00"},
        {"1-1-2000/10:60", "invalid", "date!", "(line 1)", "1-1-2000/10:60"},
        {"1-1-2000/10:00:60", "invalid", "date!", "(line 1)", "1-1-2000/10:00:60"},
        {"1-1-2000/10:00+1600", "invalid", "date!", "(line 1)", "1-1-2000/10:00+1600"},
        {"1-1-16384", "invalid", "date!", "(line 1)", "1-1-16384"},
        {"2000-W54", "invalid", "date!", "(line 1)", "2000-W54"},
        {"2000-W01-8", "invalid", "date!", "(line 1)", "2000-W01-8"},
        {"2000-000", "invalid", "date!", "(line 1)", "2000-000"},
        {"2001-366", "invalid", "date!", "(line 1)", "2001-366"},
        {"$1.", "invalid", "money!", "(line 1)", "$1."},
        {"$'1", "invalid", "money!", "(line 1)", "$'1"},
        {"$1''0", "invalid", "money!", "(line 1)", "$1''0"},
        {"$1'", "invalid", "money!", "(line 1)", "$1'"},
        {"US$1", "invalid", "money!", "(line 1)", "US$1"},
        {"$1.123456", "invalid", "money!", "(line 1)", "$1.123456"},
        {"$1234567890123456789", "invalid", "money!", "(line 1)", "$1234567890123456789"},
        {"a/b:/c", "invalid", "path!", "(line 1)", "a/b:/c"},
        {"a/b/", "invalid", "path!", "(line 1)", "a/b/"},
        {"a/ b", "invalid", "path!", "(line 1)", " b"},  // from the element that is missing
    };
    CHECK_TABLE(cases);
}

TEST(LexerErrors, Construction) {
    const error_case cases[] = {
        {"#(foo)", "malconstruct", "", "(line 1)", "#(foo)"},
        {"#(t)", "malconstruct", "", "(line 1)", "#(t)"},
        {"#()", "malconstruct", "", "(line 1)", "#()"},
        {"#(truex)", "malconstruct", "", "(line 1)", "#(truex)"},
    };
    CHECK_TABLE(cases);
}

TEST(LexerErrors, LinesAndNearText) {
    const error_case cases[] = {
        {"a\nb\n\n12a", "invalid", "integer!", "(line 4)", "12a"},
        {"{a\nb\nc", "invalid", "string!", "(line 3)", "{a"},
        {"x: \"a\nb", "invalid", "string!", "(line 1)", "\"a"},
        {"%{a\n}%%", "invalid", "string!", "(line 2)", "%{a"},
        // 30 bytes at most, whole characters only.
        {"12a456789012345678901234567890123456789", "invalid", "integer!", "(line 1)",
         "12a456789012345678901234567890"},
        {"\"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
         "\xC3\xA9\xC3\xA9\xC3\xA9",
         "invalid", "string!", "(line 1)",
         "\"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
         "\xC3\xA9\xC3\xA9"},
    };
    CHECK_TABLE(cases);
}
