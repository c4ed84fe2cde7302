// Lexer literal forms: source text -> the values it loads, grouped by form.
// Values are described by lexer_support::show (blocks, parens and paths with
// their brackets and slashes, "|" before a value marked as starting a line).
#include "datatypes/map.h"
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/tuple.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/lexer_support.h"

using namespace kel;
using kel::test::lexer_support::load;
using kel::test::lexer_support::shown;

namespace {

struct form_case {
    const char* text;
    const char* expected;
};

void check(const form_case* cases, size_t n) {
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(shown(cases[i].text), cases[i].expected) << "source: " << cases[i].text;
}
#define CHECK_TABLE(t) check(t, sizeof t / sizeof t[0])

kel_value first_of(const char* text) {
    kel_value b = load(text);
    EXPECT_GE(block::ks_length_q(&b), 1) << text;
    return *block::ks_head(&b);
}

}  // namespace

TEST(LexerForms, StructureAndBlanks) {
    const form_case cases[] = {
        {"", ""},
        {"   \t\r\n  ", ""},
        {"a b c", "a b c"},
        {"[]", "[]"},
        {"[[[]]]", "[[[]]]"},
        {"(1 (2))", "(1 (2))"},
        {"[a (b [c]) d]", "[a (b [c]) d]"},
        {"[1]2[3]", "[1] 2 [3]"},
        {"a\x01\x02" "b", "a b"},  // control characters are blanks
        {"a\0b", "a"},             // a NUL byte ends the text
        {"; just a comment", ""},
        {"1 ; x\n2", "1 |2"},
        {"[a ;c\n]", "[a]"},
    };
    CHECK_TABLE(cases);
}

TEST(LexerForms, NewLineMarkers) {
    const form_case cases[] = {
        {"a\nb", "a |b"},
        {"\n\na", "|a"},
        {"[a\nb]", "[a |b]"},
        {"[\n]", "[]"},
        {"; x\n1", "|1"},
        {"x: {\nabc}", "x: \"^/abc\""},           // line feeds inside a braced string mark nothing
        {"x:\n{abc}", "x: |\"abc\""},             // the one before it does
        {"x:\n{a{b\n}c}", "x: |\"a{b^/}c\""},
        {"#{4;c\n8}", "#{48}"},                   // nor do line feeds inside a token
        {"x %{a\nb}%", "x \"a^/b\""},
        {"a\n(1, 2)", "a |(1, 2)"},
    };
    CHECK_TABLE(cases);
}

TEST(LexerForms, UnicodeSpacesSeparateWords) {
    const form_case cases[] = {
        {"a\xC2\xA0" "b", "a b"},          // U+00A0
        {"a\xE3\x80\x80" "b", "a b"},      // U+3000
        {"a\xE2\x80\x8C" "b", "a b"},      // U+200C
        {"a\xC2\x85" "b", "a b"},          // U+0085
        {"a\xE2\x80\x8A" "b", "a b"},      // U+200A, the end of the U+2000 range
        {"a\xE2\x80\x8D" "b", "a\xE2\x80\x8D" "b"},  // U+200D is not a space
        {"\xC2\xA0" "a", "a"},
        {"a\xC2\xA0", "a"},
        {"\xE3\x80\x80\xC2\xA0", ""},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
    };
    CHECK_TABLE(cases);
}

TEST(LexerForms, Words) {
    const form_case cases[] = {
        {"a: :b 'c /d #e", "a: :b 'c /d #e"},
        {"/ // '/ :/ /:", "/ // '/ :/ /:"},
        {"< <= > >= <> << + - ++ -a", "< <= > >= <> << + - ++ -a"},
        {". .a = == => % a.b foo! Abc ?", ". .a = == => % a.b foo! Abc ?"},
        {"a#b", "a #b"},
        {"+: -: <:", "+: -: <:"},
        {"Eh x", "error: invalid"},  // one letter before "h" reads as a hexadecimal integer
        {"FFhx", "FFhx"},
        {"#abc #a1", "#abc #a1"},
        {"/refine", "/refine"},
    };
    CHECK_TABLE(cases);
    // The word kinds and that words are bound to the global context.
    struct kind_case {
        const char* text;
        uint32_t type;
    } kinds[] = {
        {"a", types::word}, {"a:", types::set_word}, {":a", types::get_word}, {"'a", types::lit_word},
        {"/a", types::refinement}, {"#a", types::issue}, {"/", types::word}, {"'/", types::lit_word},
        {"/:", types::set_word}, {":/", types::get_word},
    };
    for (const kind_case& k : kinds) {
        const kel_value v = first_of(k.text);
        EXPECT_EQ(type_of(&v), k.type) << k.text;
        EXPECT_NE(word_context(&v), 0u) << k.text;
    }
}

// Words made of operator characters. A word that "=" starts ends before a
// ":" instead of taking it, so "==:" is a set-word but "=:" is no word at all
// (see the errors); the ":" prefix and "'" prefix take any of them.
TEST(LexerForms, OperatorWords) {
    const form_case cases[] = {
        {"= == =? => =<", "= == =? => =<"},
        {"==: =?: =>: =a:", "==: =?: =>: =a:"},
        {"<: <=: <>: <<: >: >=: >>:", "<: <=: <>: <<: >: >=: >>:"},
        {"+: -: *: **: //:", "+: -: *: **: //:"},
        {":= :== :< :<= :<>", ":= :== :< :<= :<>"},
        {"'= '== '< '<> '>", "'= '== '< '<> '>"},
        {"/= /<", "/= /<"},
        {"=1 =a", "=1 =a"},
    };
    CHECK_TABLE(cases);
    struct kind_case {
        const char* text;
        uint32_t type;
    } kinds[] = {
        {"==:", types::set_word}, {"<:", types::set_word},   {"<=:", types::set_word}, {">:", types::set_word},
        {"<>:", types::set_word}, {"=?:", types::set_word},  {":=", types::get_word},  {":==", types::get_word},
        {"'=", types::lit_word},  {"'==", types::lit_word},  {"/=", types::refinement}, {"=", types::word},
        {"==", types::word},      {"=a:", types::set_word},
    };
    for (const kind_case& k : kinds) {
        const kel_value v = first_of(k.text);
        EXPECT_EQ(type_of(&v), k.type) << k.text;
    }
    // Inside a path a ":" after "=" ends the path as a set-path.
    const kel_value p = first_of("x/=:");
    EXPECT_EQ(type_of(&p), types::set_path);
    EXPECT_EQ(shown("x/= x/=:"), "x/= x/=:");
}

TEST(LexerForms, Integers) {
    const form_case cases[] = {
        {"0 123 -1 +5 -0 007", "0 123 -1 5 0 7"},
        {"2147483647 2147483648", "2147483647 2147483648.0"},
        {"-2147483648 -2147483649", "-2147483648 -2147483649.0"},
        {"12345678901 1234567890", "12345678901.0 1234567890"},
        {"1'000 1'000'000 -1'0", "1000 1000000 -10"},
        {"FFh 0FFh 12h FFFFFFFFh 7FFFFFFFh ABh", "255 255 18 -1 2147483647 171"},
    };
    CHECK_TABLE(cases);
    EXPECT_EQ(type_of(&(const kel_value&)first_of("-2147483648")), types::integer);
    EXPECT_EQ(get_integer(&(const kel_value&)first_of("-2147483648")), INT32_MIN);
}

TEST(LexerForms, Floats) {
    const form_case cases[] = {
        {"1.5 -0.5 .5 1. +.5 0.1", "1.5 -0.5 0.5 1.0 0.5 0.1"},
        {"1e10 1.5e-3 1E5 1.0e+2", "10000000000.0 0.0015 100000.0 100.0"},
        {"1e400 1e-400", "1.#INF 0.0"},
        {"1'000.5", "1000.5"},
        {"1.#INF -1.#INF 1.#NaN +1.#INF 1.#Infinity 1.#inf -1.#nan", "1.#INF -1.#INF 1.#NaN 1.#INF 1.#INF 1.#INF 1.#NaN"},
        {"12.5% 50% -1% 0.5%", "0.125% 0.5% -0.01% 0.0050000000000000001%"},
    };
    CHECK_TABLE(cases);
    const kel_value nan = first_of("-1.#NaN");
    EXPECT_TRUE(std::isnan(get_float(&nan)));
}

TEST(LexerForms, Strings) {
    const form_case cases[] = {
        {"\"abc\" \"\"", "\"abc\" \"\""},
        {"\"a^\"b\"", "{a\"b}"},
        {"\"^(tab)\" \"^-\" \"^(line)\" \"^/\"", "\"^-\" \"^-\" \"^/\" \"^/\""},
        {"\"^(41)\" \"^(4)\" \"^(e9)\" \"^(100)\"", "\"A\" \"^D\" \"\xC3\xA9\" \"\xC4\x80\""},
        {"\"^A\" \"^a\" \"^z\" \"^[\" \"^_\"", "\"^A\" \"^A\" \"^Z\" \"^[\" \"^_\""},
        {"\"^~\" \"^@\" \"^^\" \"^{\" \"^}\"", "\"^~\" \"^@\" \"^^\" \"{\" \"}\""},
        {"\"^(null)\" \"^(NULL)\" \"^(back)\" \"^(page)\" \"^(esc)\" \"^(DEL)\"",
         "\"^@\" \"^@\" \"^H\" \"^L\" \"^[\" \"^~\""},
        {"\"^x\" \"^\xC3\xA9\"", "\"^X\" \"\xC3\xA9\""},
        {"\"\xC3\xA9t\xC3\xA9\" \"\xF0\x9F\x98\x80\"", "\"\xC3\xA9t\xC3\xA9\" \"\xF0\x9F\x98\x80\""},
        {"\"^(1F600)\"", "\"\xF0\x9F\x98\x80\""},
        {"{a {b} c} {a^}b} {} {\"q\"}", "\"a {b} c\" \"a}b\" \"\" {\"q\"}"},
        {"{a\nb}", "\"a^/b\""},
        {"{^(tab)}", "\"^-\""},
        {"%{a}% %%{a}% b}%% %{^(tab)}% %{}%", "\"a\" \"a}% b\" \"^^(tab)\" \"\""},
        {"%%{a}% }%%", "\"a}% \""},
        {"%{a\nb}%", "\"a^/b\""},
    };
    CHECK_TABLE(cases);
}

TEST(LexerForms, StringUnitWidths) {
    struct width_case {
        const char* text;
        uint32_t unit;
    } cases[] = {
        {"\"abc\"", 1}, {"\"^(e9)\"", 1}, {"\"\xC3\xA9\"", 2}, {"\"^(100)\"", 2}, {"\"^(1F600)\"", 4},
        {"\"\xF0\x9F\x98\x80\"", 4}, {"{a^(10000)}", 4}, {"\"^(0041)\"", 2},
    };
    for (const width_case& c : cases) {
        const kel_value v = first_of(c.text);
        EXPECT_EQ(memory::buffer_of(series_node(&v))->unit(), c.unit) << c.text;
    }
}

TEST(LexerForms, Chars) {
    const form_case cases[] = {
        {"#\"a\" #\"^(tab)\" #\"^-\" #\"^\"\"", "#\"a\" #\"^-\" #\"^-\" #\"^\"\""},
        {"#\"\xC3\xA9\" #\"^(1F600)\" #\"^(del)\" #\"^(0)\" #\"^@\"",
         "#\"\xC3\xA9\" #\"\xF0\x9F\x98\x80\" #\"^~\" #\"^@\" #\"^@\""},
        {"#\"^(10FFFF)\"", "#\"\xF4\x8F\xBF\xBF\""},
    };
    CHECK_TABLE(cases);
}

TEST(LexerForms, FilesUrlsAndTextTypes) {
    const form_case cases[] = {
        {"%foo %\"a b\" %/dir/file.txt", "%\"foo\" %\"a b\" %\"/dir/file.txt\""},
        {"%a%20b %a%C3%A9 %a%zz %a%C3 %a%4", "%\"a b\" %\"a\xC3\xA9\" %\"a%zz\" %\"a%C3\" %\"a%4\""},
        {"%\"a^(tab)b\" %\"a%20b\"", "%\"a\tb\" %\"a%20b\""},  // quoted: escapes, no percent-decoding
        {"%\xC3\xA9", "%\"\xC3\xA9\""},
        {"% %:", "% %:"},  // a lone "%" is a word
        {"http://x.com http://x.com/a%20b mailto:a@b", "url!\"http://x.com\" url!\"http://x.com/a b\" url!\"mailto:a@b\""},
        {"a@b.com @ref @", "email!\"a@b.com\" ref!\"ref\" ref!\"\""},
        {"<tag> <a href=\"x\"> <a 'b>'>", "<tag> <a href=\"x\"> <a 'b>'>"},
    };
    CHECK_TABLE(cases);
}

TEST(LexerForms, Times) {
    const form_case cases[] = {
        {"1:30 1:30.5 1:30:45", "1:30:00 0:01:30.5 1:30:45"},
        {"-1:00 +1:00 0:75 0:0:75", "-1:00:00 1:00:00 1:15:00 0:01:15"},
        {"1:2:3.25 0:0.5 10:00:00 1'000:00", "1:02:03.25 0:00:00.5 10:00:00 1000:00:00"},
    };
    CHECK_TABLE(cases);
    EXPECT_EQ(get_float(&(const kel_value&)first_of("1:30")), 5400.0);
    EXPECT_EQ(get_float(&(const kel_value&)first_of("1:30.5")), 90.5);
}

TEST(LexerForms, Construction) {
    const form_case cases[] = {
        {"#(true) #(false) #(none) #(unset) #(TRUE) #(None)", "true false none unset true none"},
        {"#(integer!) #(integer) #(int) #(block!) #(none!) #(set-word)",
         "integer! integer! integer! block! none! set-word!"},
    };
    CHECK_TABLE(cases);
    const kel_value t = first_of("#(true)");
    EXPECT_EQ(type_of(&t), types::logic);
    const kel_value d = first_of("#(int)");
    EXPECT_EQ(type_of(&d), types::datatype);
}

TEST(LexerForms, Binaries) {
    const form_case cases[] = {
        {"#{} #{48 65} 16#{4 8} #{ab CD}", "#{} #{4865} #{48} #{ABCD}"},
        {"#{4;c\n8}", "#{48}"},
        {"64#{SGVsbG8=} 64#{SGVsbA==} 64#{SGVs bG8h}", "#{48656C6C6F} #{48656C6C} #{48656C6C6F21}"},
        {"2#{01000001 01000010} 2#{}", "#{4142} #{}"},
    };
    CHECK_TABLE(cases);
    // A long binary goes straight into its value.
    std::string text = "#{";
    for (int i = 0; i < 1000; ++i) text += "0A";
    text += "}";
    const kel_value b = first_of(text.c_str());
    EXPECT_EQ(test::text(b), std::u32string(1000, U'\n'));
}

TEST(LexerForms, PairsPointsPercents) {
    const form_case cases[] = {
        {"10x20 -1x-2 1'0x2 0x0 1X2 +3x+4", "10x20 -1x-2 10x2 0x0 1x2 3x4"},
        {"(1, 2) (1.5, -2, 3) ( 1 , 2 ) (1.#INF, 0)", "(1, 2) (1.5, -2, 3) (1, 2) (inf, 0)"},
        {"(1 2) (a b)", "(1 2) (a b)"},
    };
    CHECK_TABLE(cases);
    EXPECT_EQ(type_of(&(const kel_value&)first_of("(1, 2, 3)")), types::point3d);
}

TEST(LexerForms, Paths) {
    const form_case cases[] = {
        {"a/b/c a/b: 'a/b :a/b", "a/b/c a/b: 'a/b :a/b"},
        {"a/1 a/(b)/c a/\"s\" a/:b a/'b a/#b", "a/1 a/(b)/c a/\"s\" a/:b a/'b a/#b"},
        {"a/b c", "a/b c"},
        {"[a/b] (c/d)", "[a/b] (c/d)"},
        {"a/b/c: 1", "a/b/c: 1"},
        {"a/(b c)[d]", "a/(b c) [d]"},
        {"+/a ./b =/c", "+/a ./b =/c"},
        {"a/b:\"x\"", "a/b: \"x\""},
    };
    CHECK_TABLE(cases);
    struct kind_case {
        const char* text;
        uint32_t type;
    } kinds[] = {{"a/b", types::path}, {"'a/b", types::lit_path}, {":a/b", types::get_path},
                 {"a/b:", types::set_path}};
    for (const kind_case& k : kinds) {
        const kel_value v = first_of(k.text);
        EXPECT_EQ(type_of(&v), k.type) << k.text;
        EXPECT_EQ(block::ks_length_q(&v), 2) << k.text;
    }
}

// Forms of the datatypes written after the lexer: their values as built.
TEST(LexerForms, FormsOfLaterDatatypes) {
    kel::test::boot();
    // Tuples: the byte count is the count of parts, a trailing "." one more
    // zero part; the bytes past the count are 0.
    const struct {
        const char* text;
        int count;
        uint8_t bytes[12];
    } tuples[] = {
        {"1.2.3", 3, {1, 2, 3}},
        {"1.2.", 3, {1, 2, 0}},
        {"255.255.255.255", 4, {255, 255, 255, 255}},
        {"0.0.0.0.0.0.0.0.0.0.0.7", 12, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}},
        {"10.20.30.", 4, {10, 20, 30, 0}},
    };
    for (const auto& t : tuples) {
        const kel_value v = first_of(t.text);
        ASSERT_EQ(type_of(&v), types::tuple) << t.text;
        EXPECT_EQ(tuple::count_of(&v), t.count) << t.text;
        EXPECT_EQ(std::memcmp(tuple::bytes_of(&v), t.bytes, 12), 0) << t.text;
    }
    // Map literals are maps of their pairs.
    const struct {
        const char* text;
        int32_t entries;
    } maps[] = {{"#[a 1 b 2]", 2}, {"#[]", 0}, {"#[a 1 a 2]", 1}};
    for (const auto& m : maps) {
        const kel_value v = first_of(m.text);
        ASSERT_EQ(type_of(&v), types::map) << m.text;
        EXPECT_EQ(map::key_count(&v), m.entries) << m.text;
    }
}
