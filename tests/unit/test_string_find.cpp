// find and select on strings: a Python model of the search windows (/part,
// /skip, /last, /reverse, /case, /match, /tail) over generated cases in every
// unit width, and the value kinds, errors and edge cases one by one.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_string_support.h"
#include "tests/unit/test_support.h"

using namespace kel;
using test::call_action;
using test::ref;
using test::str;
using test::text;

namespace {

struct StringFind : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
};

kel_value at_head(kel_value v, int32_t head) {
    set_series_head(&v, head);
    return v;
}

// Refinement indexes of find (select takes the first nine).
enum { PART, ONLY, CASE, SAME, ANY, WITH, SKIP, LAST, REVERSE, TAIL, MATCH };

// The search model: the windows of find and select written out again in
// Python, with Python's own case mapping as the fold.
const char* model = R"PY(
def fold(c, case):
    return c if case else c.upper()[0]

def search(s, head, pat, part, skip, last, reverse, match, case):
    n = len(s)
    if n == 0 or (not reverse and head >= n):
        return None
    head = min(head, n)
    step = skip or 1
    if part is not None:
        if part < 1:
            return None
        part = min(part, head if reverse else n - head)
    L = len(pat)
    def at(i):
        return all(fold(s[i + k], case) == fold(pat[k], case) for k in range(L))
    if reverse:
        if match:
            return None
        lo = head - part if part is not None else 0
        starts = [c - L + 1 for c in range(head - 1, lo - 1, -step) if c - L + 1 >= lo]
    else:
        hi = head + part if part is not None else n
        if last:
            starts = [c - L + 1 for c in range(hi - 1, head - 1, -step) if c - L + 1 >= head]
        else:
            starts = list(range(head, hi - L + 1, step))
        if match:
            starts = starts[:1]
    for i in starts:
        if at(i):
            return i
    return None

out = []
for (op, s, head, pat, part, skip, last, reverse, tail, match, case) in cases:
    if op == 'select':
        i = search(s, head, pat, part, skip, last, reverse, False, case)
        j = None if i is None else i + len(pat)
        out.append('none' if j is None or j >= len(s) else str(ord(s[j])))
    else:
        i = search(s, head, pat, part, skip, last, reverse, match, case)
        out.append('none' if i is None else str(i + len(pat) if tail else i))
print(' '.join(out))
)PY";

std::string py_opt(const std::optional<int32_t>& v) { return v ? std::to_string(*v) : "None"; }

}  // namespace

TEST_F(StringFind, WindowsAgainstAPythonModel) {
    // Letters with case partners in all three unit widths.
    const char32_t alphabet[] = {U'a', U'A', U'b', U'B', U'\u00E9', U'\u00C9', U'\u00FF', U'\u0178',
                                 U'\U00010428', U'\U00010400'};
    uint32_t seed = 2024;
    auto rnd = [&](uint32_t m) {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<int32_t>((seed >> 8) % m);
    };
    std::ostringstream cases;
    cases << "cases = [\n";
    std::vector<std::string> got;
    for (int k = 0; k < 1500; ++k) {
        const int letters = 2 + rnd(9);  // how far into the alphabet: decides the widths met
        const int n = rnd(11);
        std::u32string s;
        for (int i = 0; i < n; ++i) s += alphabet[rnd(letters)];
        const int32_t head = rnd(n + 2);  // one past the tail too
        const bool as_char = rnd(3) == 0;
        std::u32string pat;
        if (as_char) {
            pat = std::u32string(1, alphabet[rnd(letters)]);
        } else if (n > 0 && rnd(2)) {
            const int at = rnd(n);
            pat = s.substr(at, 1 + rnd(3));
        } else {
            for (int i = 0, m = 1 + rnd(3); i < m; ++i) pat += alphabet[rnd(letters)];
        }
        std::optional<int32_t> part, skip;
        if (rnd(2)) part = rnd(n + 3) - 1;
        if (rnd(5) < 2) skip = 1 + rnd(3);
        const bool last = rnd(5) == 0, reverse = rnd(5) == 0, tail = rnd(3) == 0, match = rnd(5) == 0,
                   case_ = rnd(3) == 0, select = rnd(4) == 0;

        kel_value hay = at_head(test::text_at(s, 1u << rnd(3)), head);
        kel_value value = as_char ? test::char_v(pat[0]) : test::text_at(pat, 1u << rnd(3));
        kel_value part_v = test::int_v(part.value_or(0)), skip_v = test::int_v(skip.value_or(0));
        // Refinements in spec order.
        stack::reset();
        refinements r = refinements::none();
        stack::push_copy(&hay);
        stack::push_copy(&value);
        auto give = [&](int index, const kel_value* arg) {
            r.at[index] = static_cast<int32_t>(stack::top() - stack::arguments());
            if (arg) stack::push_copy(arg);
        };
        if (part) give(PART, &part_v);
        if (case_) give(CASE, nullptr);
        if (skip) give(SKIP, &skip_v);
        if (last) give(LAST, nullptr);
        if (reverse) give(REVERSE, nullptr);
        if (!select && tail) give(TAIL, nullptr);
        if (!select && match) give(MATCH, nullptr);
        (void)registry::handler(types::string, select ? act::select : act::find)(r);
        const kel_value result = *stack::arguments();
        if (none_q(&result)) got.push_back("none");
        else if (select) got.push_back(std::to_string(get_char(&result)));
        else got.push_back(std::to_string(series_head(&result)));

        auto b = [](bool x) { return x ? "True" : "False"; };
        cases << "('" << (select ? "select" : "find") << "'," << test::py_str(s) << "," << head << ","
              << test::py_str(pat) << "," << py_opt(part) << "," << py_opt(skip) << "," << b(last) << ","
              << b(reverse) << "," << b(tail) << "," << b(match) << "," << b(case_) << "),\n";
    }
    cases << "]\n";
    const std::string expected = test::python_program(cases.str() + model);
    std::istringstream in(expected);
    std::string cases_text = cases.str();
    std::istringstream lines(cases_text);
    std::string line;
    std::getline(lines, line);  // "cases = ["
    for (size_t i = 0; i < got.size(); ++i) {
        std::string want;
        in >> want;
        std::getline(lines, line);
        EXPECT_EQ(got[i], want) << "case " << i << ": " << line;
        if (got[i] != want && i > 20) break;
    }
}

TEST_F(StringFind, EdgeCases) {
    kel_value abcabc = str(U"abcabc");
    kel_value r = call_action(act::find, {abcabc, str(U"bc")}, {{LAST, {}}});
    EXPECT_EQ(series_head(&r), 4);
    r = call_action(act::find, {abcabc, str(U"bc")}, {{LAST, {}}, {TAIL, {}}});
    EXPECT_EQ(series_head(&r), 6);
    r = call_action(act::find, {str(U"abc"), str(U"b")}, {{MATCH, {}}});
    EXPECT_TRUE(none_q(&r));
    r = call_action(act::find, {str(U"abc"), str(U"AB")}, {{MATCH, {}}});
    EXPECT_EQ(series_head(&r), 0);  // match gives the start; with tail the end
    r = call_action(act::find, {str(U"abc"), str(U"AB")}, {{MATCH, {}}, {TAIL, {}}});
    EXPECT_EQ(series_head(&r), 2);
    r = call_action(act::find, {abcabc, test::char_v('a')}, {{REVERSE, {}}});
    EXPECT_TRUE(none_q(&r));  // reverse at the head
    r = call_action(act::find, {at_head(abcabc, 6), test::char_v('a')}, {{REVERSE, {}}});
    EXPECT_EQ(series_head(&r), 3);
    // Backward, /part counts the units before the head.
    r = call_action(act::find, {at_head(abcabc, 6), test::char_v('b')}, {{REVERSE, {}}, {PART, {test::int_v(2)}}});
    EXPECT_EQ(series_head(&r), 4);
    r = call_action(act::find, {at_head(abcabc, 6), test::char_v('b')}, {{REVERSE, {}}, {PART, {test::int_v(1)}}});
    EXPECT_TRUE(none_q(&r));
    r = call_action(act::find, {at_head(abcabc, 6), str(U"ab")}, {{REVERSE, {}}, {PART, {test::int_v(99)}}});
    EXPECT_EQ(series_head(&r), 3);
    r = call_action(act::find, {abcabc, str(U"")});
    EXPECT_TRUE(none_q(&r));  // an empty pattern finds nothing
    r = call_action(act::find, {str(U""), test::char_v('a')});
    EXPECT_TRUE(none_q(&r));
    // /part as a position in the same series.
    r = call_action(act::find, {abcabc, test::char_v('c')}, {{PART, {at_head(abcabc, 2)}}});
    EXPECT_TRUE(none_q(&r));
    r = call_action(act::find, {abcabc, test::char_v('c')}, {{PART, {at_head(abcabc, 3)}}});
    EXPECT_EQ(series_head(&r), 2);
    // /same turns folding off like /case.
    r = call_action(act::find, {abcabc, test::char_v('B')}, {{SAME, {}}});
    EXPECT_TRUE(none_q(&r));
    // select: the unit after the match.
    r = call_action(act::select, {str(U"abc"), str(U"ab")});
    EXPECT_EQ(get_char(&r), U'c');
    r = call_action(act::select, {str(U"abc"), test::char_v('c')});
    EXPECT_TRUE(none_q(&r));
    // An integer or other value is searched by its form.
    r = call_action(act::find, {str(U"x12y"), test::int_v(12)});
    EXPECT_EQ(series_head(&r), 1);
    r = call_action(act::select, {str(U"x12y"), test::int_v(12)});
    EXPECT_EQ(get_char(&r), U'y');
    // Other string types are patterns; tags by their form.
    r = call_action(act::find, {str(U"a%b"), str(U"B", 1, types::file)});
    EXPECT_EQ(series_head(&r), 2);
}

TEST_F(StringFind, Errors) {
    kel_value s = str(U"abc");
    EXPECT_TRUE(fires([&] { call_action(act::find, {s, test::char_v('a')}, {{SKIP, {test::int_v(0)}}}); }, "out-of-range"));
    EXPECT_EQ(get_integer(&last_fired().args[0]), 0);
    // At the tail the search ends before the refinements are looked at.
    kel_value r = call_action(act::find, {at_head(s, 3), test::char_v('a')}, {{SKIP, {test::int_v(0)}}});
    EXPECT_TRUE(none_q(&r));
    EXPECT_TRUE(fires([&] { call_action(act::find, {s, test::char_v('a')}, {{ANY, {}}}); }, "not-done"));
    EXPECT_TRUE(fires([&] { call_action(act::find, {s, test::char_v('a')}, {{WITH, {str(U"*")}}}); }, "not-done"));
    EXPECT_TRUE(fires([&] { call_action(act::find, {s, test::char_v('a')}, {{PART, {str(U"abc")}}}); },
                      "invalid-refine-arg"));
    EXPECT_STREQ(last_fired().arg_words[0], "part");
    EXPECT_TRUE(fires([&] { call_action(act::find, {s, test::bin({'a'})}); }, "invalid-arg"));
    r = call_action(act::find, {s, test::int_v(0)}, {{PART, {test::int_v(0)}}});
    EXPECT_TRUE(none_q(&r));
}

TEST_F(StringFind, BinaryVectorAndBitsetValues) {
    kel_value bytes = test::bin({'a', 'A', 7, 200});
    kel_value r = call_action(act::find, {bytes, test::char_v('A')});
    EXPECT_EQ(series_head(&r), 1);  // no folding in a binary!
    r = call_action(act::find, {bytes, test::int_v(200)});
    EXPECT_EQ(series_head(&r), 3);
    r = call_action(act::find, {bytes, test::bin({'A', 7})});
    EXPECT_EQ(series_head(&r), 1);
    r = call_action(act::select, {bytes, test::int_v(7)});
    EXPECT_EQ(type_of(&r), types::integer);
    EXPECT_EQ(get_integer(&r), 200);

    kel_value vec = str(U"\x05\x07\x09", 4, types::vector);
    vec.w3 = types::integer;
    r = call_action(act::find, {vec, test::int_v(7)});
    EXPECT_EQ(series_head(&r), 1);
    kel_value seven;
    set_float(&seven, 7.0);
    r = call_action(act::find, {vec, seven});
    EXPECT_EQ(series_head(&r), 1);
    r = call_action(act::select, {vec, test::int_v(7)});
    EXPECT_EQ(type_of(&r), types::integer);
    EXPECT_EQ(get_integer(&r), 9);

    std::vector<uint8_t> bits(16, 0);
    bits['c' >> 3] |= 0x80 >> ('c' & 7);
    bits['Q' >> 3] |= 0x80 >> ('Q' & 7);
    kel_value set = test::bin(bits);
    set_type(&set, types::bitset);
    r = call_action(act::find, {str(U"xxqQc"), set});
    EXPECT_EQ(series_head(&r), 3);  // bitsets are not folded
    r = call_action(act::find, {str(U"xxqQc"), set}, {{LAST, {}}});
    EXPECT_EQ(series_head(&r), 4);
}
