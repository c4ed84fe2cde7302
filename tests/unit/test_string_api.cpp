// The string internal API: readers, the two widening rules, the writers,
// splice in every mode over mixed units and shared buffers, comparison, the
// series-backed loaders and conversion buffers, case conversion of values and
// the script comparison bridge of sort.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_string_support.h"
#include "tests/unit/test_support.h"

using namespace kel;
using test::str;
using test::text;
using test::unit_of;

namespace {

struct StringApi : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
};

kel_value at_head(kel_value v, int32_t head) {
    set_series_head(&v, head);
    return v;
}

}  // namespace

TEST_F(StringApi, ReadersClampAndCompareExactly) {
    kel_value s = str(U"abcAbc", 2);
    EXPECT_EQ(string::ks_length_q(&s), 6);
    EXPECT_EQ(string::ks_abs_char_at(&s, 3), 'A');
    EXPECT_EQ(string::ks_index_of_char(&s, 'A'), 3);  // exact, not folded
    EXPECT_EQ(string::ks_index_of_char(&s, 'z'), -1);
    kel_value from2 = at_head(s, 2);
    EXPECT_EQ(string::ks_index_of_char(&from2, 'b'), 2);  // offset from the head

    // A head past a shortened buffer: length 0, ks_head moves it to the tail.
    kel_value far = at_head(s, 5);
    string::truncate_units(string::buffer(&s), 2);
    EXPECT_TRUE(string::ks_tail_q(&far));
    EXPECT_EQ(string::ks_length_q(&far), 0);
    EXPECT_EQ(string::ks_head(&far), string::ks_tail(&far));
    EXPECT_EQ(series_head(&far), 2);

    // find-char-step: positions head, head + step ...; folded unless case.
    kel_value rec = str(U"aXbYcZ");
    EXPECT_TRUE(string::find_char_step_q(&rec, 'c', 2, true));
    EXPECT_FALSE(string::find_char_step_q(&rec, 'Y', 2, true));  // odd position
    EXPECT_TRUE(string::find_char_step_q(&rec, 'B', 2, false));
    EXPECT_FALSE(string::find_char_step_q(&rec, 'B', 2, true));

    struct row { std::u32string s; const char* prefix; bool want; };
    const row rows[] = {
        {U"http://x", "http:", true}, {U"htt", "http", false}, {U"HTTP", "http", false},
        {U"\u00E9t\u00E9", "\xE9t", true},   // Latin-1 code points compare as bytes
        {U"\u0165a", "\x65", false},         // above 0xFF never matches
        {U"", "", true},
    };
    for (const row& r : rows) {
        kel_value v = test::text_at(r.s, 1);
        EXPECT_EQ(string::starts_with_ascii_q(&v, r.prefix), r.want) << r.prefix;
    }
}

TEST_F(StringApi, TagLikeNeverReadsPastTheTail) {
    kel_value tag = str(U"ab", 1, types::tag);
    struct row { std::u32string s; int32_t head; bool want; };
    const row rows[] = {
        {U"<ab>", 0, true},  {U"<ab>x", 0, true},   {U"x<ab>", 1, true},
        {U"<ab", 0, false},  // the ">" would lie at the tail
        {U"<a", 0, false},   {U"<", 0, false},      {U"", 0, false},
        {U"<xy>", 0, true},  // only the brackets are checked here
        {U"<abc>", 0, false},
    };
    for (const row& r : rows) {
        kel_value s = at_head(str(r.s), r.head);
        EXPECT_EQ(string::tag_like_q(&s, &tag), r.want) << test::utf8(r.s);
    }
    // The ">" one unit past the tail is not read even when the buffer's
    // capacity holds a stale ">" there.
    kel_value s = str(U"<ab>");
    string::truncate_units(string::buffer(&s), 3);
    EXPECT_FALSE(string::tag_like_q(&s, &tag));
}

TEST_F(StringApi, MatchAtByValueKind) {
    kel_value s = str(U"<Ab>cd");
    kel_value tag = str(U"ab", 1, types::tag);
    kel_value tag_other = str(U"ac", 1, types::tag);
    kel_value lower = test::char_v('<');
    kel_value file = str(U"<AB", 1, types::file);
    kel_value block = test::b({1});
    EXPECT_TRUE(string::match_at_q(&s, &tag, cmp::equal));
    EXPECT_FALSE(string::match_at_q(&s, &tag, cmp::strict_equal));
    EXPECT_FALSE(string::match_at_q(&s, &tag_other, cmp::equal));
    EXPECT_TRUE(string::match_at_q(&s, &lower, cmp::equal));
    EXPECT_TRUE(string::match_at_q(&s, &file, cmp::equal));
    EXPECT_FALSE(string::match_at_q(&s, &file, cmp::strict_equal));
    EXPECT_FALSE(string::match_at_q(&s, &block, cmp::equal));
    kel_value x = test::char_v(U'\u00E9');
    kel_value e = str(U"\u00C9");
    EXPECT_TRUE(string::match_at_q(&e, &x, cmp::equal));
    EXPECT_FALSE(string::match_at_q(&e, &x, cmp::strict_equal));
}

TEST_F(StringApi, BitsetMembershipAndComplement) {
    // Bits for 'a' (0x61) and 'c' (0x63): byte 12, masks 0x40 and 0x10.
    std::vector<uint8_t> bytes(13, 0);
    bytes[12] = 0x40 | 0x10;
    kel_value set = test::bin(bytes);
    set_type(&set, types::bitset);
    kel_value s = str(U"abc\u0100", 2);
    const bool expect[] = {true, false, true, false};
    for (int i = 0; i < 4; ++i) {
        kel_value at = at_head(s, i);
        EXPECT_EQ(string::head_in_bitset_q(&at, &set), expect[i]) << i;
    }
    string::buffer(&set)->flags |= memory::flag_complemented;  // bits beyond the bytes are members
    kel_value wide = at_head(s, 3);
    EXPECT_TRUE(string::head_in_bitset_q(&wide, &set));
    kel_value tail = at_head(s, 4);
    EXPECT_FALSE(string::head_in_bitset_q(&tail, &set));
}

TEST_F(StringApi, TheTwoWideningRules) {
    // Appending U+00E9 widens an ASCII string; storing it by position does not.
    kel_value appended = str(U"abc");
    string::add_char(string::buffer(&appended), 0xE9);
    kel_value poked = str(U"abc?");
    string::overwrite_char(string::buffer(&poked), 3, 0xE9);
    EXPECT_EQ(unit_of(appended), 2u);
    EXPECT_EQ(unit_of(poked), 1u);
    EXPECT_EQ(string::compare(&appended, &poked, cmp::strict_equal), 0);
    EXPECT_EQ(test::mold(appended), test::mold(poked));

    struct row { uint32_t start_unit; uint32_t cp; int how; uint32_t want_unit; };
    enum { ADD, STORE, OVERWRITE_AT_TAIL, INSERT };
    const row rows[] = {
        {1, 0x7F, ADD, 1},      {1, 0x80, ADD, 2},        {1, 0xFF, ADD, 2},      {1, 0xFFFF, ADD, 2},
        {1, 0x10000, ADD, 4},   {2, 0x10000, ADD, 4},     {4, 'a', ADD, 4},       {2, 0xFF, ADD, 2},
        {1, 0xFF, STORE, 1},    {1, 0x100, STORE, 2},     {1, 0x1F600, STORE, 4}, {2, 0x1F600, STORE, 4},
        {1, 0xFF, OVERWRITE_AT_TAIL, 1}, {1, 0x263A, OVERWRITE_AT_TAIL, 2},
        {1, 0xFF, INSERT, 1},   {1, 0x100, INSERT, 2},    {1, 0x10FFFF, INSERT, 4},
    };
    for (const row& r : rows) {
        kel_value s = str(U"xyz", r.start_unit);
        memory::buffer_header* h = string::buffer(&s);
        std::u32string want = U"xyz";
        switch (r.how) {
            case ADD: string::add_char(h, r.cp); want += static_cast<char32_t>(r.cp); break;
            case STORE: string::store_char(h, string::unit_ptr(h, 1), r.cp); want[1] = static_cast<char32_t>(r.cp); break;
            case OVERWRITE_AT_TAIL: string::overwrite_char(h, 3, r.cp); want += static_cast<char32_t>(r.cp); break;
            default: string::insert_char(h, 1, r.cp); want.insert(want.begin() + 1, static_cast<char32_t>(r.cp)); break;
        }
        EXPECT_EQ(unit_of(s), r.want_unit) << std::hex << r.cp << " how " << r.how;
        EXPECT_EQ(text(s), want) << std::hex << r.cp;
    }
}

TEST_F(StringApi, WritersGrowFullBuffersAndHeadsInTheMiddle) {
    // Many appends through every width switch, then inserts at the front.
    kel_value s = str(U"");
    std::u32string want;
    memory::buffer_header* h = string::buffer(&s);
    for (uint32_t i = 0; i < 3000; ++i) {
        const uint32_t cp = i == 1000 ? 0x263A : i == 2000 ? 0x1F600 : 'a' + i % 26;
        h = string::add_char(h, cp);
        want += static_cast<char32_t>(cp);
    }
    EXPECT_EQ(unit_of(s), 4u);
    for (int i = 0; i < 100; ++i) {
        h = string::insert_char(h, 0, '0' + i % 10);
        want.insert(want.begin(), static_cast<char32_t>('0' + i % 10));
    }
    EXPECT_EQ(text(s), want);
    // Widening a buffer whose used part does not start at its data start.
    kel_value m = str(U"hello");
    memory::buffer_header* mh = string::buffer(&m);
    mh->head += 2;  // the first two bytes are no longer used
    string::widen(mh, 1, 4);
    EXPECT_EQ(text(m), U"llo");
    EXPECT_EQ(unit_of(m), 4u);
}

TEST_F(StringApi, ConvertTruncateRemoveEmpty) {
    kel_value s = str(U"abcdef");
    memory::buffer_header* h = string::convert_units(string::buffer(&s), nullptr, 64, 4, 0, 0, 0, false);
    EXPECT_EQ(h, string::buffer(&s));
    EXPECT_EQ(unit_of(s), 4u);
    EXPECT_EQ(text(s), U"abcdef");
    // Into an existing target, at an offset, keeping its tail and unit.
    kel_value src = str(U"XY");
    kel_value dst = str(U"1234", 2);
    string::convert_units(string::buffer(&src), string::buffer(&dst), 0, 2, 0, 1, 0, true);
    EXPECT_EQ(text(dst), U"1XY4");
    string::truncate_units(string::buffer(&dst), 9);  // beyond the tail: nothing
    EXPECT_EQ(text(dst), U"1XY4");
    string::truncate_units(string::buffer(&dst), 2);
    EXPECT_EQ(text(dst), U"1X");
    kel_value r = str(U"abcdef", 2);
    string::remove_units(&r, 2, 2);
    EXPECT_EQ(text(r), U"abef");
    string::remove_units(&r, 3, 100);  // cut to the units left
    EXPECT_EQ(text(r), U"abe");
    string::remove_units(&r, 3, 1);  // at the tail: nothing
    EXPECT_EQ(text(r), U"abe");
    kel_value e = at_head(str(U"\U0001F600x", 4), 1);
    string::ks_empty(&e);
    EXPECT_EQ(unit_of(e), 1u);
    EXPECT_EQ(series_head(&e), 0);
    EXPECT_EQ(text(e), U"");
}

TEST_F(StringApi, SpliceEveryModeWithMixedUnits) {
    struct row {
        const char* what;
        std::u32string target; uint32_t tunit; int32_t thead;
        std::u32string source; uint32_t sunit; int32_t shead;
        int32_t part; bool keep; int mode;
        std::u32string want; uint32_t want_unit; uint32_t want_source_unit;
    };
    using string::splice_append;
    using string::splice_insert;
    using string::splice_overwrite;
    const row rows[] = {
        {"append same units", U"ab", 1, 0, U"cd", 1, 0, -1, true, splice_append, U"abcd", 1, 1},
        {"append part", U"ab", 1, 0, U"cdef", 1, 1, 2, true, splice_append, U"abde", 1, 1},
        {"append part 0", U"ab", 1, 0, U"cd", 1, 0, 0, true, splice_append, U"ab", 1, 1},
        {"append wider source widens the target", U"ab", 1, 0, U"\u263Ax", 2, 0, -1, true, splice_append,
         U"ab\u263Ax", 2, 2},
        {"append narrower source, keep: converted", U"\U0001F600", 4, 0, U"xy", 1, 0, -1, true, splice_append,
         U"\U0001F600xy", 4, 1},
        {"append narrower source, no keep: widened in place", U"\u263A", 2, 0, U"xy", 1, 0, -1, false,
         splice_append, U"\u263Axy", 2, 2},
        {"insert at head", U"abc", 1, 1, U"XY", 1, 0, -1, true, splice_insert, U"aXYbc", 1, 1},
        {"insert widening in the middle", U"abc", 1, 2, U"\U0001F600\u00E9", 4, 0, -1, true, splice_insert,
         U"ab\U0001F600\u00E9c", 4, 4},
        {"insert narrower, keep", U"a\u263Ac", 2, 1, U"\u00E9\u00FF", 1, 0, -1, true, splice_insert,
         U"a\u00E9\u00FF\u263Ac", 2, 1},
        {"overwrite inside", U"abcdef", 1, 1, U"XY", 1, 0, -1, true, splice_overwrite, U"aXYdef", 1, 1},
        {"overwrite past the tail extends", U"abc", 1, 2, U"XYZ", 1, 0, -1, true, splice_overwrite, U"abXYZ", 1, 1},
        {"overwrite keeps the old tail", U"abcdef", 2, 0, U"\U0001F600", 4, 0, -1, true, splice_overwrite,
         U"\U0001F600bcdef", 4, 4},
        {"empty source", U"abc", 1, 0, U"", 1, 0, -1, true, splice_insert, U"abc", 1, 1},
    };
    for (const row& r : rows) {
        kel_value t = at_head(str(r.target, r.tunit), r.thead);
        kel_value s = at_head(str(r.source, r.sunit), r.shead);
        string::splice(&t, &s, r.part, 0, r.keep, r.mode);
        EXPECT_EQ(text(at_head(t, 0)), r.want) << r.what;
        EXPECT_EQ(unit_of(t), r.want_unit) << r.what;
        EXPECT_EQ(unit_of(s), r.want_source_unit) << r.what;
    }
}

TEST_F(StringApi, SpliceWithASharedBuffer) {
    struct row { const char* what; int32_t thead; int32_t shead; int mode; std::u32string want; };
    const row rows[] = {
        {"append itself", 0, 0, string::splice_append, U"abcdabcd"},
        {"append its own tail part", 0, 2, string::splice_append, U"abcdcd"},
        {"insert itself at its head", 0, 0, string::splice_insert, U"abcdabcd"},
        {"insert its later part before it", 1, 2, string::splice_insert, U"acdbcd"},
        {"insert its earlier part after it", 3, 0, string::splice_insert, U"abcabcdd"},
        {"overwrite with a later part", 0, 1, string::splice_overwrite, U"bcdd"},
        {"overwrite with an earlier part", 1, 0, string::splice_overwrite, U"aabcd"},
    };
    for (const row& r : rows) {
        kel_value base = str(U"abcd");
        kel_value t = at_head(base, r.thead);
        kel_value s = at_head(base, r.shead);
        string::splice(&t, &s, -1, 0, true, r.mode);
        EXPECT_EQ(text(at_head(base, 0)), r.want) << r.what;
    }
    // The growth of a shared buffer moves the source with it.
    kel_value big = str(std::u32string(1000, U'q'));
    string::splice(&big, &big, -1, 0, true, string::splice_append);
    EXPECT_EQ(text(big), std::u32string(2000, U'q'));
}

TEST_F(StringApi, AppendBytesAndCodePoints) {
    kel_value s = str(U"");
    string::append_c_string(&s, "plain");
    EXPECT_EQ(unit_of(s), 1u);
    string::append_c_part(&s, "\xE9!", 2);  // byte 0xE9 is one code point, appended: widens
    EXPECT_EQ(unit_of(s), 2u);
    const uint32_t cps[] = {0x1F600, 'z'};
    string::append_code_points(&s, cps, 2);
    EXPECT_EQ(text(s), U"plain\u00E9!\U0001F600z");
    EXPECT_EQ(unit_of(s), 4u);
}

TEST_F(StringApi, SwapRunsInAndBeyondTheScratch) {
    for (uint32_t small : {3u, 70000u}) {
        for (bool a_shorter : {true, false}) {
            const uint32_t la = a_shorter ? small : small + 5, lb = a_shorter ? small + 5 : small;
            std::string buf(la + lb, '\0');
            for (uint32_t i = 0; i < la; ++i) buf[i] = static_cast<char>('a' + i % 7);
            for (uint32_t i = 0; i < lb; ++i) buf[la + i] = static_cast<char>('A' + i % 11);
            const std::string want = buf.substr(la) + buf.substr(0, la);
            string::swap_runs(buf.data(), la, buf.data() + la, lb, 0);
            EXPECT_EQ(buf, want) << small << " " << a_shorter;
        }
    }
}

TEST_F(StringApi, CompareTextEdges) {
    struct row { std::u32string a; uint32_t ua; std::u32string b; uint32_t ub; int32_t op; bool match; int32_t want; };
    const row rows[] = {
        {U"abc", 1, U"ABC", 2, cmp::equal, false, 0},
        {U"abc", 4, U"ABC", 1, cmp::strict_equal, false, 1},
        {U"ab", 1, U"abc", 1, cmp::lesser, false, -1},
        {U"", 1, U"a", 1, cmp::lesser, false, -1},
        {U"abc", 1, U"", 1, cmp::greater, false, 1},
        {U"\u00E9", 1, U"\u00C9", 2, cmp::equal, false, 0},       // folded by the case tables
        {U"\U00010428", 4, U"\U00010400", 4, cmp::equal, false, 0},
        {U"abcd", 1, U"AB", 1, cmp::equal, true, 0},            // match: a begins with b
        {U"abcd", 1, U"", 1, cmp::equal, true, 0},              // an empty pattern matches ...
        {U"abcd", 1, U"", 1, cmp::find, true, 1},               // ... except for the find equality
        {U"a", 1, U"ab", 1, cmp::equal, true, 1},
    };
    for (const row& r : rows) {
        kel_value a = str(r.a, r.ua), b = str(r.b, r.ub);
        EXPECT_EQ(string::compare_text(&a, &b, r.op, r.match), r.want) << test::utf8(r.a) << " " << r.op;
    }
    // The same value at the same head is equal at once and the same; an equal
    // copy is equal but not the same.
    kel_value s = str(U"xyz");
    kel_value copy = str(U"xyz");
    EXPECT_EQ(string::compare_text(&s, &s, cmp::same, false), 0);
    EXPECT_EQ(string::compare_text(&s, &copy, cmp::same, false), -1);
    // A second operand of the marker type is cut to the length in its word 3.
    kel_value limited = str(U"abZZ");
    set_type(&limited, string::limited_text_type);
    limited.w3 = 2;
    kel_value ab = str(U"ab");
    EXPECT_EQ(string::compare_text(&ab, &limited, cmp::equal, false), 0);
    limited.w3 = 100;  // never beyond its tail
    EXPECT_EQ(string::compare_text(&ab, &limited, cmp::equal, false), 1);
    limited.w3 = static_cast<uint32_t>(-1);  // negative: no limit
    EXPECT_EQ(string::compare_text(&ab, &limited, cmp::lesser, false), -1);
    // A symbol! operand reads its cached string, or its UTF-8 name.
    kel_value name = test::bin({'N', 0xC3, 0xA9});
    kel_value sym;
    init_cell(&sym, types::symbol);
    sym.w3 = series_node(&name);
    kel_value ne = str(U"n\u00C9");
    EXPECT_EQ(string::compare_text(&sym, &ne, cmp::equal, false), 0);
    kel_value cache = str(U"other");
    sym.w2 = series_node(&cache);
    EXPECT_EQ(string::compare_text(&sym, &ne, cmp::equal, false), 1);
}

TEST_F(StringApi, Utf8LoaderIntoSeries) {
    struct row {
        const char* what;
        std::vector<uint8_t> bytes;
        bool cr;
        std::u32string want;
        uint32_t want_unit;
        uint32_t remaining;
    };
    const row rows[] = {
        {"ascii", {'a', 'b'}, false, U"ab", 1, 0},
        {"latin-1 stays in bytes", {0xC3, 0xA9}, false, U"\u00E9", 1, 0},
        {"widens at the second character", {0xC3, 0xA9, 0xE2, 0x82, 0xAC}, false, U"\u00E9\u20AC", 2, 0},
        {"ends in 4-byte units", {0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, false,
         U"\u00E9\u20AC\U0001F600", 4, 0},
        {"cut short at the end", {'a', 'b', 'c', 0xE2, 0x82}, false, U"abc", 1, 2},
        {"only a byte-order mark", {0xEF, 0xBB, 0xBF}, false, U"", 1, 0},
        {"mark then text", {0xEF, 0xBB, 0xBF, 'x'}, false, U"x", 1, 0},
        {"two bytes that look like a mark", {0xEF, 0xBB}, false, U"", 1, 2},
        {"CR LF and lone CR with the flag", {'a', '\r', '\n', 'b', '\r', 'c', '\r'}, true, U"a\nb\nc\n", 1, 0},
        {"CR kept without the flag", {'a', '\r', '\n', '\r'}, false, U"a\r\n\r", 1, 0},
        {"surrogate D800 accepted", {0xED, 0xA0, 0x80}, false, U"\xD800", 2, 0},
        {"empty", {}, false, U"", 1, 0},
    };
    for (const row& r : rows) {
        uint32_t remaining = 99;
        const uint32_t node = unicode::utf8_to_string(r.bytes.data(), static_cast<uint32_t>(r.bytes.size()), 0,
                                                      &remaining, r.cr);
        kel_value s;
        set_series(&s, types::string, 0, node);
        EXPECT_EQ(text(s), r.want) << r.what;
        EXPECT_EQ(unit_of(s), r.want_unit) << r.what;
        EXPECT_EQ(remaining, r.remaining) << r.what;
    }
    // Without a count to hand them back in, cut-off bytes are malformed text,
    // never dropped.
    // An overlong form is malformed as well.
    for (const std::vector<uint8_t>& cut : {std::vector<uint8_t>{'a', 0xE2, 0x82}, std::vector<uint8_t>{0xF0},
                                            std::vector<uint8_t>{0xC0, 0x80}}) {
        EXPECT_TRUE(fires([&] { unicode::utf8_to_new_string(cut.data(), static_cast<uint32_t>(cut.size())); },
                          "invalid-utf8"));
    }
    // Long input switching widths late: the growth steps keep up.
    std::string long_text(5000, 'a');
    long_text += "\xE2\x82\xAC";
    long_text += std::string(5000, 'b');
    long_text += "\xF0\x9F\x98\x80";
    long_text += std::string(100, 'c');
    const uint32_t node = unicode::utf8_to_new_string(reinterpret_cast<const uint8_t*>(long_text.data()),
                                                      static_cast<uint32_t>(long_text.size()));
    kel_value s;
    set_series(&s, types::string, 0, node);
    EXPECT_EQ(text(s), std::u32string(5000, U'a') + U"\u20AC" + std::u32string(5000, U'b') + U"\U0001F600" +
                           std::u32string(100, U'c'));
}

TEST_F(StringApi, Utf8LoaderErrorsAndTargets) {
    struct row { std::vector<uint8_t> bytes; std::vector<uint8_t> argument; };
    const row rows[] = {
        {{0xED, 0xB0, 0x80}, {0xED, 0xB0, 0x80}},             // U+DC00
        {{'a', 0xEF, 0xBF, 0xBE, 'b'}, {0xEF, 0xBF, 0xBE, 'b'}},  // U+FFFE: four bytes from the fault
        {{0xF4, 0x90, 0x80, 0x80}, {0xF4, 0x90, 0x80, 0x80}},  // above U+10FFFF
        {{0x80}, {0x80}},                                     // never more bytes than there are
    };
    for (const row& r : rows) {
        EXPECT_TRUE(fires([&] { (void)unicode::utf8_to_new_string(r.bytes.data(), static_cast<uint32_t>(r.bytes.size())); },
                          "invalid-utf8"));
        const fired_error& e = last_fired();
        EXPECT_EQ(e.category, error_category::access);
        ASSERT_EQ(type_of(&e.args[0]), types::binary);
        std::u32string want(r.argument.begin(), r.argument.end());
        EXPECT_EQ(text(e.args[0]), want);
    }
    // A target keeps its unit and has its contents replaced, an empty load too.
    kel_value t = str(U"\u263Aold text", 2);
    const std::string in = "new";
    unicode::utf8_into_string(reinterpret_cast<const uint8_t*>(in.data()), 3, &t, nullptr);
    EXPECT_EQ(text(t), U"new");
    EXPECT_EQ(unit_of(t), 2u);
    unicode::utf8_into_string(reinterpret_cast<const uint8_t*>(in.data()), 0, &t, nullptr);
    EXPECT_EQ(text(t), U"");
    // The checked loader reports bytes left undecoded.
    const uint8_t cut[] = {'o', 'k', 0xE2, 0x82};
    EXPECT_TRUE(fires([&] { (void)string::load_utf8_checked(cut, 4); }, "invalid-utf8"));
    EXPECT_EQ(text(last_fired().args[0]), (std::u32string{0xE2, 0x82}));
    stack::reset();
    kel_value* ok = string::load_utf8_checked(cut, 2);
    EXPECT_EQ(text(*ok), U"ok");
}

TEST_F(StringApi, DecodeAndUtf16Loading) {
    kel_value* empty = string::decode(nullptr, 0, nullptr, string::encoding_utf8);
    EXPECT_EQ(text(*empty), U"");
    EXPECT_EQ(unit_of(*empty), 1u);
    kel_value* empty16 = string::decode(nullptr, 0, nullptr, string::encoding_utf16le);
    EXPECT_EQ(text(*empty16), U"");
    const uint8_t le[] = {0x61, 0, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xDE, 0x0D, 0, 0x0A, 0};
    kel_value cell;
    string::decode(le, 6, &cell, string::encoding_utf16le);
    EXPECT_EQ(text(cell), U"a\U0001F600\xDE00\r\n");
    EXPECT_EQ(unit_of(cell), 4u);
    EXPECT_TRUE(string::buffer(&cell)->flags & memory::flag_utf16_source);
    // An unsupported encoding is an error, not the end of the process.
    EXPECT_TRUE(fires([&] { (void)string::decode(le, 2, &cell, 7); }, "not-done"));
    EXPECT_EQ(last_fired().category, error_category::internal);
    // A lone lead surrogate at the end is kept as it is.
    const uint8_t lone[] = {0x3D, 0xD8};
    string::decode(lone, 1, &cell, string::encoding_utf16le);
    EXPECT_EQ(text(cell), U"\xD83D");
    // With the CR flag CR units go; a target gets the unit the text needs.
    kel_value target = str(U"previous", 1);
    const uint8_t crlf[] = {'x', 0, 0x0D, 0, 0x0A, 0, 0xAC, 0x20};
    unicode::utf16_to_string(crlf, 4, &target, true);
    EXPECT_EQ(text(target), U"x\n\u20AC");
    EXPECT_EQ(unit_of(target), 2u);
    // Text already in the target's conversion buffer (as a system call left it).
    kel_value via = str(U"");
    auto* conv = reinterpret_cast<uint8_t*>(unicode::conversion_buffer(&via, 4));
    conv[0] = 'h';
    conv[1] = 0;
    conv[2] = 'i';
    conv[3] = 0;
    unicode::utf16_to_string(nullptr, 2, &via, false);
    EXPECT_EQ(text(via), U"hi");
    // Blocks take a decoded cell at their tail.
    kel_value blk = test::b({});
    const uint8_t abc[] = {'a', 'b', 'c'};
    string::decode_in(&blk, abc, 3, string::encoding_utf8);
    EXPECT_EQ(text(*block::ks_abs_at(&blk, 0)), U"abc");
}

TEST_F(StringApi, ConversionBuffersAndEncoders) {
    kel_value s = str(U"a\nb\u00E9\U0001F600", 4);
    int32_t count = -1;
    const char* u8 = unicode::to_utf8(&s, &count);
    EXPECT_EQ(std::string(u8, static_cast<size_t>(count)), "a\nb\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(u8[count], '\0');
    const uint32_t node = s.w3;
    EXPECT_NE(node, 0u);
    count = 2;  // characters wanted
    u8 = unicode::to_utf8_crlf(&s, &count);
    EXPECT_EQ(std::string(u8, static_cast<size_t>(count)), "a\r\n");
    EXPECT_EQ(s.w3, node);  // the same buffer, reused
    count = 100;  // more than there are: the whole text
    u8 = unicode::to_utf8(&s, &count);
    EXPECT_EQ(count, 9);

    kel_value t = str(U"a\nb");
    const uint16_t* u16 = unicode::to_utf16(&t);
    const uint16_t want16[] = {0x61, 0x0D, 0x0A, 0x62, 0};
    EXPECT_EQ(std::memcmp(u16, want16, sizeof want16), 0);
    kel_value astral = str(U"\U00010000", 4);
    count = -1;
    u16 = unicode::to_utf16_part(&astral, &count, false);
    ASSERT_NE(u16, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(u16[0], 0xD800);
    EXPECT_EQ(u16[1], 0xDC00);
    kel_value bad = str(U"x", 4);
    string::buffer(&bad)->data()[0] = 0;
    std::memcpy(string::buffer(&bad)->data(), "\x00\x00\x11\x00", 4);  // U+110000
    count = -1;
    EXPECT_EQ(unicode::to_utf16_part(&bad, &count, false), nullptr);
    count = -1;
    EXPECT_TRUE(fires([&] { (void)unicode::to_utf8(&bad, &count); }, "invalid-char"));
    EXPECT_EQ(get_integer(&last_fired().args[0]), 0x110000);

    uint8_t out[32];
    EXPECT_EQ(unicode::encode_utf8_into(&s, out, 4, true), 5u);
    EXPECT_EQ(std::memcmp(out, "a\nb\xC3\xA9\0", 6), 0);
    // The room cuts the last sequence.
    EXPECT_EQ(unicode::encode_utf8_bounded(&s, out, 5, -1, false), 5u);
    EXPECT_EQ(std::memcmp(out, "a\nb\xC3\xA9", 5), 0);
    EXPECT_EQ(unicode::encode_utf8_bounded(&s, out, 6, -1, false), 6u);
    EXPECT_EQ(out[5], 0xF0);
    memory::buffer_header* h = string::buffer(&s);
    EXPECT_EQ(unicode::utf8_buffer_size(h->data(), h->tail_ptr(), 4), 9u);
}

TEST_F(StringApi, CodePage1251) {
    const uint8_t in[] = {'A', 0xC0, 0xFF, 0x88, 0x98, '\r', '\n', 'z'};
    kel_value s;
    set_series(&s, types::string, 0, unicode::cp1251_to_string(in, sizeof in, nullptr, true));
    EXPECT_EQ(text(s), U"A\u0410\u044F\u20AC\u0098\nz");
    EXPECT_EQ(unit_of(s), 2u);
    kel_value latin;
    const uint8_t only_low[] = {'o', 'k', 0x98};  // U+0098 fits a byte
    set_series(&latin, types::string, 0, unicode::cp1251_to_string(only_low, 3, nullptr, false));
    EXPECT_EQ(unit_of(latin), 1u);
}

TEST_F(StringApi, CaseConversionOfValues) {
    kel_value c = test::char_v(0xDF);
    case_map::convert_value(&c, nullptr, true);
    EXPECT_EQ(get_char(&c), 0x53u);
    // U+00FF uppercases to U+0178, which widens a 1-byte string.
    kel_value s = str(U"ab\u00FFcd");
    case_map::convert_value(&s, nullptr, true);
    EXPECT_EQ(text(s), U"AB\u0178CD");
    EXPECT_EQ(unit_of(s), 2u);
    struct row { int32_t head; std::optional<int32_t> part; std::u32string want; };
    const row rows[] = {
        {1, 2, U"aBCdef"}, {1, 100, U"aBCDEF"}, {2, -3, U"abcdef"}, {0, 0, U"abcdef"}, {4, std::nullopt, U"abcdEF"},
    };
    for (const row& r : rows) {
        kel_value v = at_head(str(U"abcdef"), r.head);
        kel_value p = test::int_v(r.part.value_or(0));
        case_map::convert_value(&v, r.part ? &p : nullptr, true);
        EXPECT_EQ(text(at_head(v, 0)), r.want) << r.head;
    }
    kel_value v = at_head(str(U"ABCDEF"), 1);
    kel_value upto = at_head(v, 3);
    case_map::convert_value(&v, &upto, false);
    EXPECT_EQ(text(at_head(v, 0)), U"AbcDEF");
    kel_value other = str(U"ABCDEF");
    EXPECT_TRUE(fires([&] { case_map::convert_value(&v, &other, false); }, "invalid-refine-arg"));
    EXPECT_STREQ(last_fired().arg_words[0], "part");
    kel_value beyond = at_head(str(U"ab"), 7);
    case_map::convert_value(&beyond, nullptr, true);
    EXPECT_EQ(series_head(&beyond), 2);  // moved to the tail, written back
}

TEST_F(StringApi, MoveCharsWidensTheTarget) {
    kel_value src = str(U"\U0001F600\u263Axyz", 4);
    kel_value dst = at_head(str(U"ab"), 1);
    string::move_chars(&src, &dst, 8);  // two 4-byte units
    EXPECT_EQ(text(at_head(dst, 0)), U"a\U0001F600\u263Ab");
    EXPECT_EQ(text(src), U"xyz");
    kel_value same = str(U"abcdef");
    kel_value from = at_head(same, 3);
    kel_value to = at_head(same, 1);
    string::move_chars(&from, &to, 2);
    EXPECT_EQ(text(same), U"adebcf");
}

TEST_F(StringApi, HexHelpersAndFloatText) {
    EXPECT_EQ(std::string(string::hex_of_integer(0, true).text), "00");
    EXPECT_EQ(std::string(string::hex_of_integer(-1, false).text), "FFFFFFFF");
    EXPECT_EQ(std::string(string::hex_of_integer(4096, true).text), "1000");
    EXPECT_EQ(std::string(string::hex_of_integer(0x1E, false).text), "0000001E");
    EXPECT_EQ(std::string(string::hex_of_byte(0xAB).text), "AB");
    EXPECT_EQ(string::to_float("12.5e1x", 6), 125.0);
}

namespace {
// A stand-in for the interpreter: records the arguments and answers the
// value held in `answer`.
kel_value answer;
std::vector<kel_value> seen;
signal_code fake_call(const kel_value*, const kel_value* first, const kel_value* second, kel_value* result) {
    seen = {*first, *second};
    *result = answer;
    return signal_code::none;
}
signal_code breaking_call(const kel_value*, const kel_value*, const kel_value*, kel_value*) {
    return signal_code::break_;
}
}  // namespace

TEST_F(StringApi, SortCallCompareMapsAnswers) {
    kel_value fn;
    init_cell(&fn, types::function);
    string::compare_callback = nullptr;
    EXPECT_TRUE(fires([&] { (void)string::sort_call_compare("a", "b", &fn, string::sort_call_flags(false, 1, 1, false)); },
                      "not-done"));
    string::compare_callback = fake_call;
    struct row { kel_value answer; int32_t want; };
    const row rows[] = {
        {test::logic_v(true), 1}, {test::logic_v(false), -1}, {test::int_v(5), -1}, {test::int_v(-5), 1},
        {test::int_v(0), 0},      {test::none_v(), -1},       {test::char_v('x'), 1},
    };
    for (const row& r : rows) {
        answer = r.answer;
        EXPECT_EQ(string::sort_call_compare("a", "b", &fn, string::sort_call_flags(false, 1, 1, false)), r.want);
    }
    kel_value f;
    set_float(&f, 0.5);
    answer = f;
    EXPECT_EQ(string::sort_call_compare("a", "b", &fn, 4), -1);
    set_float(&f, -0.5);
    answer = f;
    EXPECT_EQ(string::sort_call_compare("a", "b", &fn, 4), 1);
    // The second record is pushed first unless reversed.
    const int32_t depth = stack::depth();
    (void)string::sort_call_compare("a", "b", &fn, string::sort_call_flags(false, 1, 1, false));
    EXPECT_EQ(get_char(&seen[0]), U'b');
    EXPECT_EQ(get_char(&seen[1]), U'a');
    (void)string::sort_call_compare("a", "b", &fn, string::sort_call_flags(true, 1, 1, false));
    EXPECT_EQ(get_char(&seen[0]), U'a');
    EXPECT_EQ(stack::depth(), depth);  // the pushed cells are dropped again
    // Whole records arrive as strings of the record's units.
    const char16_t ra[] = u"xy", rb[] = u"z\u263A";
    (void)string::sort_call_compare(reinterpret_cast<const char*>(ra), reinterpret_cast<const char*>(rb), &fn,
                                    string::sort_call_flags(false, 2, 2, true));
    EXPECT_EQ(type_of(&seen[0]), types::string);
    EXPECT_EQ(text(seen[0]), U"z\u263A");
    EXPECT_EQ(text(seen[1]), U"xy");
    // A control code from the function travels out as kel_unwind.
    string::compare_callback = breaking_call;
    try {
        (void)string::sort_call_compare("a", "b", &fn, 4);
        ADD_FAILURE() << "no unwind";
    } catch (const kel_unwind& u) {
        EXPECT_EQ(u.code, code_value(signal_code::break_));
    }
    string::compare_callback = nullptr;
    stack::reset();
}

// The series-backed loaders against the plain-memory ones over random bytes:
// the same text, unit, bytes left over and errors.
TEST_F(StringApi, LoadersAgreeWithThePlainMemoryDecoders) {
    uint32_t seed = 99;
    auto rnd = [&](uint32_t m) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % m;
    };
    // Bytes that make well-formed sequences likely, with stray ones between.
    const std::vector<std::vector<uint8_t>> pieces = {
        {'a'}, {'\r'}, {'\n'}, {0xC3, 0xA9}, {0xE2, 0x82, 0xAC}, {0xF0, 0x9F, 0x98, 0x80}, {0xED, 0xA0, 0x80},
        {0x80}, {0xC3}, {0xE2, 0x82}, {0xEF, 0xBB, 0xBF}, {0xFF}, {0xC0, 0x80}, {0x00},
    };
    for (int k = 0; k < 3000; ++k) {
        std::vector<uint8_t> bytes;
        for (uint32_t i = 0, n = rnd(8); i < n; ++i) {
            const auto& p = pieces[rnd(static_cast<uint32_t>(pieces.size()))];
            bytes.insert(bytes.end(), p.begin(), p.end());
        }
        const bool cr = rnd(2);
        const uint32_t size = static_cast<uint32_t>(bytes.size());

        unicode::unit_text want;
        size_t want_left = 0;
        unicode::text_error err;
        const unicode::error_id e = unicode::utf8_to_units(bytes.data(), size, cr, want, &want_left, &err);
        uint32_t left = 0;
        kel_value s;
        const bool raised = fires([&] {
            set_series(&s, types::string, 0, unicode::utf8_to_string(bytes.data(), size, 0, &left, cr));
        }, "invalid-utf8");
        ASSERT_EQ(raised, e == unicode::error_id::invalid_utf8) << k;
        if (raised) {
            EXPECT_EQ(text(last_fired().args[0]), std::u32string(err.bytes, err.bytes + err.byte_count)) << k;
            continue;
        }
        EXPECT_EQ(left, want_left) << k;
        EXPECT_EQ(unit_of(s), want.unit) << k;
        std::u32string w;
        for (size_t i = 0; i < want.length(); ++i) w += static_cast<char32_t>(want.at(i));
        EXPECT_EQ(text(s), w) << k;

        // The same bytes as UTF-16 units and as windows-1251.
        if (size % 2 == 0) {
            unicode::unit_text w16;
            unicode::utf16_to_units(bytes.data(), size / 2, cr, w16);
            kel_value t;
            set_series(&t, types::string, 0, unicode::utf16_to_string(bytes.data(), size / 2, nullptr, cr));
            std::u32string w2;
            for (size_t i = 0; i < w16.length(); ++i) w2 += static_cast<char32_t>(w16.at(i));
            EXPECT_EQ(text(t), w2) << k;
            if (size > 0) {
                EXPECT_EQ(unit_of(t), w16.unit) << k;
            }
        }
        unicode::unit_text wc;
        unicode::cp1251_to_units(bytes.data(), size, cr, wc);
        kel_value c;
        set_series(&c, types::string, 0, unicode::cp1251_to_string(bytes.data(), size, nullptr, cr));
        std::u32string w3;
        for (size_t i = 0; i < wc.length(); ++i) w3 += static_cast<char32_t>(wc.at(i));
        EXPECT_EQ(text(c), w3) << k;
        EXPECT_EQ(unit_of(c), wc.unit) << k;
    }
}
