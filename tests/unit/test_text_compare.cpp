// Text comparison over every operator code and every mix of unit widths,
// the widening rules, and the hex helpers.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "kernel/unicode.h"
#include "tests/unit/test_text_guard.h"

using namespace kel::unicode;

namespace {

std::vector<uint32_t> cps_of(const std::u32string& s) { return std::vector<uint32_t>(s.begin(), s.end()); }

uint8_t narrowest(const std::vector<uint32_t>& cps) {
    uint8_t u = 1;
    for (uint32_t cp : cps) u = std::max(u, unit_for_store(cp));
    return u;
}

unit_text text_of(const std::vector<uint32_t>& cps, uint8_t unit) {
    unit_text t;
    t.unit = unit;
    for (uint32_t cp : cps) t.push_store(cp);
    return t;
}

}  // namespace

TEST(TextCompare, EveryOperatorAcrossUnitWidths) {
    struct row {
        std::u32string a, b;
        int op;
        bool match;
        int want;
    };
    const row rows[] = {
        // case folding: every op but strict-equal and the case-sensitive sort
        {U"abc", U"ABC", op_equal, false, 0},
        {U"abc", U"ABC", op_not_equal, false, 0},
        {U"abc", U"ABC", op_strict_equal, false, 1},
        {U"abc", U"ABC", op_lesser, false, 0},
        {U"abc", U"ABC", op_lesser_or_equal, false, 0},
        {U"abc", U"ABC", op_greater, false, 0},
        {U"abc", U"ABC", op_greater_or_equal, false, 0},
        {U"abc", U"ABC", op_sort, false, 0},
        {U"abc", U"ABC", op_case_sort, false, 1},
        {U"ABC", U"abc", op_case_sort, false, -1},
        {U"abc", U"ABC", op_equal_10, false, 0},
        {U"abc", U"ABC", op_equal_11, false, 0},
        {U"abc", U"ABC", op_find, false, 0},
        {U"abc", U"abc", op_strict_equal, false, 0},
        {U"abc", U"abc", op_same, false, -1},  // equal text in another place is not the same
        // lengths: a prefix orders first; equality ops answer "not equal" at once
        {U"ab", U"abc", op_lesser, false, -1},
        {U"ab", U"abc", op_sort, false, -1},
        {U"ab", U"abc", op_case_sort, false, -1},
        {U"abc", U"ab", op_greater, false, 1},
        {U"ab", U"abc", op_equal, false, 1},
        {U"ab", U"abc", op_not_equal, false, 1},
        {U"ab", U"abc", op_strict_equal, false, 1},
        {U"ab", U"abc", op_find, false, 1},
        {U"ZZ", U"abc", op_equal, false, 1},
        {U"", U"a", op_lesser, false, -1},
        {U"", U"a", op_equal, false, 1},
        {U"abc", U"", op_greater, false, 1},
        {U"abc", U"", op_lesser, false, 1},
        {U"abc", U"", op_equal, false, 1},
        {U"", U"", op_equal, false, 0},
        {U"", U"", op_lesser, false, 0},
        // first difference decides, whatever the lengths
        {U"abd", U"abc", op_lesser, false, 1},
        {U"abcd", U"abd", op_lesser, false, -1},
        {U"abd", U"abcd", op_lesser, false, 1},
        {U"abc", U"abcd", op_greater, false, -1},
        {U"ABC", U"abd", op_lesser, false, -1},   // folded: C < D
        {U"ABC", U"abd", op_case_sort, false, -1},
        {U"abc", U"ABD", op_case_sort, false, 1},  // unfolded: a > A
        {U"a", U"B", op_lesser, false, -1},
        {U"a", U"B", op_case_sort, false, 1},
        // folding beyond ASCII, mixing unit widths
        {U"\u00E9", U"\u00C9", op_equal, false, 0},
        {U"\u00E9", U"\u00C9", op_strict_equal, false, 1},
        {U"x\u00FF", U"X\u0178", op_equal, false, 0},   // U+00FF uppercases to U+0178
        {U"\u0131", U"i", op_equal, false, 0},          // dotless i and i both fold to I
        {U"\u00DF", U"s", op_equal, false, 0},          // sharp s folds to its first capital
        {U"\U0001E922", U"\U0001E900", op_equal, false, 0},
        {U"\U0001E922", U"\U0001E900", op_strict_equal, false, 1},
        {U"\U0001F600", U"\u4E00", op_lesser, false, 1},
        {U"\u4E00", U"\U0001F600", op_lesser, false, -1},
        // match comparisons: does a begin with b?
        {U"abcdef", U"ABC", op_equal, true, 0},
        {U"abcdef", U"ABC", op_find, true, 0},
        {U"abcdef", U"ABC", op_strict_equal, true, 1},
        {U"abcdef", U"abc", op_strict_equal, true, 0},
        {U"abc", U"abc", op_equal, true, 0},
        {U"ab", U"abc", op_equal, true, 1},
        {U"", U"a", op_equal, true, 1},
        {U"abc", U"", op_equal, true, 0},   // the empty pattern matches
        {U"abc", U"", op_find, true, 1},    // except for the find equality
        {U"", U"", op_equal, true, 0},
        {U"abc", U"abd", op_equal, true, -1},
        {U"xyz", U"abc", op_equal, true, 1},
        {U"\u00E9t\u00E9", U"\u00C9T", op_equal, true, 0},
    };
    for (const row& r : rows) {
        std::vector<uint32_t> a = cps_of(r.a), b = cps_of(r.b);
        for (uint8_t ua : {uint8_t(1), uint8_t(2), uint8_t(4)}) {
            if (ua < narrowest(a)) continue;
            for (uint8_t ub : {uint8_t(1), uint8_t(2), uint8_t(4)}) {
                if (ub < narrowest(b)) continue;
                unit_text ta = text_of(a, ua), tb = text_of(b, ub);
                EXPECT_EQ(compare_text(ta.view(), tb.view(), r.op, r.match), r.want)
                    << "op " << r.op << (r.match ? " match" : "") << " units " << int(ua) << "/" << int(ub)
                    << " lengths " << a.size() << "/" << b.size();
            }
        }
    }
}

TEST(TextCompare, SamePositionAndSignedUnits) {
    unit_text t = text_of({'a', 'b'}, 1);
    unit_text u = text_of({'x'}, 1);
    // Same buffer and head: "same", and equal for every equality op, at once.
    EXPECT_EQ(compare_text(t.view(), t.view(), op_same, false, true), 0);
    for (int op : {op_equal, op_not_equal, op_strict_equal, op_find})
        EXPECT_EQ(compare_text(t.view(), u.view(), op, false, true), 0) << op;
    EXPECT_EQ(compare_text(t.view(), u.view(), op_lesser, false, true), -1) << "orderings still compare";
    EXPECT_EQ(compare_text(t.view(), t.view(), op_same, false, false), -1);

    // 4-byte units are signed: 0xFFFFFFFF orders before every code point.
    unit_text neg = text_of({0xFFFFFFFFu}, 4);
    unit_text a = text_of({'a'}, 1);
    EXPECT_EQ(read_unit(neg.view().data, 4), -1);
    EXPECT_EQ(compare_text(neg.view(), a.view(), op_lesser, false), -1);
    EXPECT_EQ(compare_text(a.view(), neg.view(), op_lesser, false), 1);
}

TEST(TextWidening, RulesForAppendAndStore) {
    struct row {
        uint32_t cp;
        uint8_t append, store;
    };
    const row rows[] = {{0, 1, 1},       {0x7F, 1, 1},    {0x80, 2, 1},    {0xFF, 2, 1},
                        {0x100, 2, 2},   {0xFFFF, 2, 2},  {0x10000, 4, 4}, {0x10FFFF, 4, 4},
                        {0xFFFFFFFF, 4, 4}};
    for (const row& r : rows) {
        EXPECT_EQ(unit_for_append(r.cp), r.append) << std::hex << r.cp;
        EXPECT_EQ(unit_for_store(r.cp), r.store) << std::hex << r.cp;
        // A run never narrows.
        EXPECT_EQ(widened_for_append(4, r.cp), 4);
        EXPECT_EQ(widened_for_store(2, r.cp), std::max<uint8_t>(2, r.store));
    }
    // Appending U+00E9 widens an ASCII text; storing it does not; both hold it.
    unit_text appended = text_of({'a', 'b'}, 1), stored = text_of({'a', 'b'}, 1);
    appended.push_append(0xE9);
    stored.push_store(0xE9);
    EXPECT_EQ(appended.unit, 2);
    EXPECT_EQ(stored.unit, 1);
    EXPECT_EQ(compare_text(appended.view(), stored.view(), op_strict_equal, false), 0);
    // U+1F600 takes a 1-byte text straight to 4-byte units.
    unit_text emoji = text_of({'a'}, 1);
    emoji.push_append(0x1F600);
    EXPECT_EQ(emoji.unit, 4);
    EXPECT_EQ(emoji.at(0), 'a');
    EXPECT_EQ(emoji.at(1), 0x1F600);
}

TEST(TextWidening, InPlaceNeedsOnlyTheWiderCopy) {
    EXPECT_EQ(widen_capacity(10, 1, 2), 22u);
    EXPECT_EQ(widen_capacity(10, 1, 4), 44u);
    EXPECT_EQ(widen_capacity(10, 2, 4), 24u);
    struct row {
        uint8_t from, to;
    };
    for (row r : {row{1, 2}, row{1, 4}, row{2, 4}}) {
        for (size_t count : {size_t(0), size_t(1), size_t(2), size_t(7), size_t(300)}) {
            std::vector<uint32_t> cps;
            for (size_t i = 0; i < count; ++i) cps.push_back(r.from == 1 ? uint32_t(0x80 + i) % 0x100 : uint32_t(0xFF00 + i * 37) % 0x10000);
            unit_text src = text_of(cps, r.from);
            // The wider copy ends exactly at a dead page: nothing past it is touched.
            std::vector<uint8_t> bytes(src.bytes.begin(), src.bytes.end());
            bytes.resize(count * r.to, 0xEE);
            kel::test::guarded_bytes buf(bytes.data(), bytes.size());
            widen_in_place(buf.data(), count, r.from, r.to);
            for (size_t i = 0; i < count; ++i)
                ASSERT_EQ(uint32_t(read_unit(buf.data() + i * r.to, r.to)), cps[i]) << int(r.from) << "->" << int(r.to);
        }
    }
}

TEST(TextHex, ByteAndIntegerDigits) {
    EXPECT_STREQ(hex_of_byte(0).text, "00");
    EXPECT_STREQ(hex_of_byte(0x0A).text, "0A");
    EXPECT_STREQ(hex_of_byte(0xAB).text, "AB");
    EXPECT_STREQ(hex_of_byte(0xFF).text, "FF");
    EXPECT_EQ(hex_of_byte(7).length, 2);
    struct row {
        int32_t value;
        bool short_form;
        const char* want;
    };
    const row rows[] = {
        {0, true, "00"},          {255, true, "FF"},         {4096, true, "1000"},
        {0x1E, true, "1E"},       {5, true, "5"},            {INT32_MAX, true, "7FFFFFFF"},
        {0, false, "00000000"},   {255, false, "000000FF"},  {-1, false, "FFFFFFFF"},
        {-2, false, "FFFFFFFE"},  {INT32_MIN, false, "80000000"}, {0x12345678, false, "12345678"},
        {-16, true, "FFFFFFF0"},  {-1, true, "FFFFFFFF"},
    };
    for (const row& r : rows) {
        hex_text h = hex_of_integer(r.value, r.short_form);
        EXPECT_STREQ(h.text, r.want) << r.value << (r.short_form ? " short" : "");
        EXPECT_EQ(h.length, std::strlen(r.want));
    }
}
