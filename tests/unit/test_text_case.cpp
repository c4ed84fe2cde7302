// Case tables: every code point against Python's str.upper/str.lower (first
// code point of the result), less the mappings added after Unicode 11.0.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "kernel/case_tables.h"
#include "tests/unit/test_support.h"

using namespace kel::case_map;

namespace {

// Python prints "cp upper lower" for every code point whose case differs.
std::map<uint32_t, std::pair<uint32_t, uint32_t>> python_mappings() {
    std::string out = kel::test::python(R"(
late = ({0x2C2F, 0x2C5F, 0xA7D0, 0xA7D1, 0xA7F5, 0xA7F6} | set(range(0xA7BA, 0xA7CB))
        | set(range(0xA7D6, 0xA7DA)) | set(range(0x10570, 0x105BD)))
def first(cp, f):
    m = ord(f(chr(cp))[0])
    return cp if cp in late or m in late else m
rows = []
for cp in range(0x110000):
    if 0xD800 <= cp <= 0xDFFF: continue
    u, l = first(cp, str.upper), first(cp, str.lower)
    if u != cp or l != cp: rows.append('%d %d %d' % (cp, u, l))
print('\n'.join(rows))
)");
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> m;
    std::istringstream in(out);
    uint32_t cp, u, l;
    while (in >> cp >> u >> l) m[cp] = {u, l};
    return m;
}

}  // namespace

TEST(TextCase, ListCountsAndEnds) {
    struct row {
        pair_list list;
        size_t count;
        case_pair first, last;
    };
    const row rows[] = {
        {to_uppercase_bmp(), 1250, {0x61, 0x41}, {0xFF5A, 0xFF3A}},
        {to_lowercase_bmp(), 1158, {0x41, 0x61}, {0xFF3A, 0xFF5A}},
        {to_uppercase_supplementary(), 225, {0x10428, 0x10400}, {0x1E943, 0x1E921}},
        {to_lowercase_supplementary(), 225, {0x10400, 0x10428}, {0x1E921, 0x1E943}},
    };
    for (const row& r : rows) {
        ASSERT_EQ(r.list.count, r.count);
        EXPECT_EQ(r.list.pairs[0].from, r.first.from);
        EXPECT_EQ(r.list.pairs[0].to, r.first.to);
        EXPECT_EQ(r.list.pairs[r.count - 1].from, r.last.from);
        EXPECT_EQ(r.list.pairs[r.count - 1].to, r.last.to);
    }
    // The supplementary keys form six blocks.
    const std::pair<uint32_t, uint32_t> blocks[] = {{0x10428, 0x1044F}, {0x104D8, 0x104FB}, {0x10CC0, 0x10CF2},
                                                    {0x118C0, 0x118DF}, {0x16E60, 0x16E7F}, {0x1E922, 0x1E943}};
    pair_list up = to_uppercase_supplementary();
    for (size_t i = 0; i < up.count; ++i) {
        bool inside = false;
        for (auto [a, b] : blocks) inside |= up.pairs[i].from >= a && up.pairs[i].from <= b;
        EXPECT_TRUE(inside) << std::hex << up.pairs[i].from;
    }
}

TEST(TextCase, EveryCodePointAgreesWithPython) {
    auto expected = python_mappings();
    ASSERT_GT(expected.size(), 2000u);
    size_t bad = 0;
    for (uint32_t cp = 0; cp < 0x110000; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        auto it = expected.find(cp);
        uint32_t u = it == expected.end() ? cp : it->second.first;
        uint32_t l = it == expected.end() ? cp : it->second.second;
        if ((convert_char(cp, true) != u || convert_char(cp, false) != l) && ++bad < 20)
            ADD_FAILURE() << std::hex << "U+" << cp << ": upper " << convert_char(cp, true) << " want " << u
                          << ", lower " << convert_char(cp, false) << " want " << l;
    }
    EXPECT_EQ(bad, 0u);
}

TEST(TextCase, TellingRows) {
    struct row {
        uint32_t cp, mapped;
        bool upper;
    };
    const row rows[] = {
        // uppercase: several-character results give their first; titlecase maps up
        {0x00B5, 0x039C, true}, {0x00DF, 0x0053, true}, {0x00FF, 0x0178, true}, {0x0131, 0x0049, true},
        {0x0149, 0x02BC, true}, {0x017F, 0x0053, true}, {0x01C5, 0x01C4, true}, {0x01C6, 0x01C4, true},
        {0x01F0, 0x004A, true}, {0x0345, 0x0399, true}, {0x0390, 0x0399, true}, {0x03C2, 0x03A3, true},
        {0x10D0, 0x1C90, true}, {0x1C80, 0x0412, true}, {0x1E96, 0x0048, true}, {0x1F80, 0x1F08, true},
        {0x1F88, 0x1F08, true}, {0x1FB3, 0x0391, true}, {0x1FBC, 0x0391, true}, {0xAB70, 0x13A0, true},
        {0xFB00, 0x0046, true}, {0x0069, 0x0049, true},
        // lowercase
        {0x0130, 0x0069, false}, {0x01C4, 0x01C6, false}, {0x01C5, 0x01C6, false}, {0x10A0, 0x2D00, false},
        {0x13A0, 0xAB70, false}, {0x1C90, 0x10D0, false}, {0x1E9E, 0x00DF, false}, {0x1F88, 0x1F80, false},
        {0x1FBC, 0x1FB3, false}, {0x2126, 0x03C9, false}, {0x212A, 0x006B, false}, {0x212B, 0x00E5, false},
        // supplementary
        {0x1E922, 0x1E900, true}, {0x1E943, 0x1E921, true}, {0x1E921, 0x1E943, false},
        {0x10428, 0x10400, true}, {0x10400, 0x10428, false},
        // unchanged: digits, CJK, NUL, the ends of the code space, beyond it
        {'7', '7', true}, {'7', '7', false}, {0x4E00, 0x4E00, true}, {0, 0, true}, {0, 0, false},
        {0x10FFFF, 0x10FFFF, true}, {0x10FFFF, 0x10FFFF, false}, {0x103FF, 0x103FF, false}, {0x10427, 0x1044F, false},
        {0x1E944, 0x1E944, true}, {0x110000, 0x110000, true}, {0xFFFFFFFF, 0xFFFFFFFF, false},
        // left out on purpose: added after Unicode 11.0
        {0xA7C0, 0xA7C0, false}, {0xA794, 0xA794, true}, {0x0282, 0x0282, true}, {0x10570, 0x10570, false},
    };
    for (const row& r : rows) EXPECT_EQ(convert_char(r.cp, r.upper), r.mapped) << std::hex << r.cp << " " << r.upper;
}

TEST(TextCase, SwapChar) {
    const std::pair<uint32_t, uint32_t> rows[] = {
        {'a', 'A'}, {'A', 'a'}, {'5', '5'}, {0x00DF, 0x0053}, {0x01C5, 0x01C4}, {0x1E900, 0x1E922}, {0x1E922, 0x1E900}};
    for (auto [cp, want] : rows) EXPECT_EQ(swap_char(cp), want) << std::hex << cp;
}
