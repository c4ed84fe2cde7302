// Display widths: the generated range tables and the column rules, checked
// code point by code point against Python's unicodedata.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kernel/unicode.h"
#include "tests/unit/test_support.h"

using namespace kel::unicode;

TEST(TextWidth, TableCountsAndEndRows) {
    struct row {
        range_table t;
        size_t ranges;
        std::vector<uint32_t> head, tail;
    };
    const row rows[] = {
        {zero_width_table(), 339, {0x300, 0x36F, 0x483, 0x489, 0x591, 0x5BD}, {0x1E944, 0x1E94A, 0xE0100, 0xE01EF}},
        {wide_table(), 122, {0x1100, 0x115F, 0x231A, 0x231B, 0x2329, 0x232A},
         {0x1FAF0, 0x1FAF6, 0x20000, 0x2FFFD, 0x30000, 0x3FFFD}},
        // Unicode 14.0's East Asian Ambiguous data gives 170 ranges here.
        {ambiguous_table(), 170, {0xA1, 0xA1, 0xA4, 0xA4, 0xA7, 0xA8},
         {0xE000, 0xF8FF, 0xFFFD, 0xFFFD, 0xF0000, 0xFFFFD, 0x100000, 0x10FFFD}},
    };
    for (const row& r : rows) {
        ASSERT_EQ(r.t.entry_count, 2 * r.ranges);
        for (size_t i = 0; i < r.head.size(); ++i) EXPECT_EQ(r.t.entries[i], r.head[i]) << i;
        for (size_t i = 0; i < r.tail.size(); ++i)
            EXPECT_EQ(r.t.entries[r.t.entry_count - r.tail.size() + i], r.tail[i]) << i;
        // Sorted, disjoint, not touching (touching ranges would have been merged).
        for (size_t i = 0; i < r.t.entry_count; i += 2) {
            EXPECT_LE(r.t.entries[i], r.t.entries[i + 1]);
            if (i >= 2) {
                EXPECT_GT(r.t.entries[i], r.t.entries[i - 1] + 1);
            }
        }
    }
}

TEST(TextWidth, InRangesEdges) {
    const uint32_t t[] = {10, 20, 30, 30, 40, 50};
    const std::pair<uint32_t, int> rows[] = {{0, 0},  {9, 0},  {10, 1}, {15, 1}, {20, 1}, {21, 0}, {29, 0},
                                             {30, 1}, {31, 0}, {40, 1}, {50, 1}, {51, 0}, {0xFFFFFFFF, 0}};
    for (auto [cp, want] : rows) EXPECT_EQ(in_ranges(cp, t, 6), want) << cp;
    EXPECT_EQ(in_ranges(10, t, 0), 0);
    EXPECT_EQ(in_ranges(10, t, 2), 1);
    EXPECT_EQ(in_ranges(30, t, 2), 0);
}

TEST(TextWidth, EdgeCases) {
    struct row {
        uint32_t cp;
        int basic, east_asian;
    };
    const row rows[] = {
        {0x0000, 0, 0}, {0x0007, 1, 1}, {0x001F, 1, 1}, {0x0041, 1, 1}, {0x007F, 1, 1}, {0x009F, 1, 1},
        {0x0301, 0, 0}, {0x4E00, 2, 2}, {0x00A1, 1, 2}, {0x1F600, 2, 2}, {0x00AD, 1, 2}, {0x200B, 1, 1},
        {0x1160, 0, 0}, {0xD7B0, 0, 0}, {0xFE0F, 0, 0}, {0xE0100, 0, 0}, {0x0600, 0, 0}, {0x110BD, 0, 0},
        {0x3400, 2, 2}, {0x9FFF, 2, 2}, {0x2FFFD, 2, 2}, {0x3FFFD, 2, 2}, {0x3FFFE, 1, 1}, {0xFFFD, 1, 2},
        {0x10FFFD, 1, 2}, {0x10FFFF, 1, 1}, {0x110000, 1, 1},
    };
    for (const row& r : rows) {
        EXPECT_EQ(char_width_basic(r.cp), r.basic) << std::hex << r.cp;
        EXPECT_EQ(char_width(r.cp), r.east_asian) << std::hex << r.cp;
    }
}

TEST(TextWidth, EveryCodePointAgreesWithUnicodeData) {
    // Python derives each code point's columns from its general category and
    // East Asian width, and prints the runs of equal (basic, East Asian) pairs.
    std::string out = kel::test::python(R"(
import unicodedata as ud
zero_extra = set(range(0x1160, 0x1200)) | set(range(0xD7B0, 0xD7C7)) | set(range(0x600, 0x606)) \
    | {0x6DD, 0x70F, 0x890, 0x891, 0x8E2, 0x110BD, 0x110CD}
default_wide = [(0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF), (0x20000, 0x2FFFD), (0x30000, 0x3FFFD)]
runs = []
prev = None
for cp in range(0x110000):
    ch = chr(cp)
    cat = ud.category(ch)
    zero = (cat in ('Mn', 'Me') or cp in zero_extra) and cp not in (0xAD, 0x200B)
    if cat == 'Cn':
        eaw = 'W' if any(a <= cp <= b for a, b in default_wide) else 'N'
    else:
        eaw = ud.east_asian_width(ch)
    if cp == 0: basic = 0
    elif cp < 0x20 or 0x7F <= cp <= 0x9F: basic = 1
    elif zero: basic = 0
    elif eaw in ('W', 'F'): basic = 2
    else: basic = 1
    amb = eaw == 'A' and not zero and (cp <= 0xFFFF or cp >= 0xF0000)
    pair = (basic, 2 if amb else basic)
    if pair != prev:
        runs.append('%d %d %d' % (cp, pair[0], pair[1]))
        prev = pair
print('\n'.join(runs))
)");
    std::istringstream in(out);
    std::vector<std::array<uint32_t, 3>> runs;
    for (uint32_t cp, b, e; in >> cp >> b >> e;) runs.push_back({cp, b, e});
    ASSERT_GT(runs.size(), 500u);
    size_t bad = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        uint32_t end = r + 1 < runs.size() ? runs[r + 1][0] : 0x110000;
        for (uint32_t cp = runs[r][0]; cp < end; ++cp) {
            if ((uint32_t(char_width_basic(cp)) != runs[r][1] || uint32_t(char_width(cp)) != runs[r][2]) && ++bad < 20)
                ADD_FAILURE() << std::hex << "U+" << cp << ": " << char_width_basic(cp) << "/" << char_width(cp)
                              << ", want " << runs[r][1] << "/" << runs[r][2];
        }
    }
    EXPECT_EQ(bad, 0u);
}
