// sort of strings: one case folding at every unit width, stability of
// /stable against Python's stable sort, records (/skip, /compare offset,
// /all), /part windows, /reverse, script comparison functions, vector!
// elements, and the refinement errors.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/case_tables.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_string_support.h"

using namespace kel;
using test::call_action;
using test::ref;
using test::str;
using test::text;

namespace {

struct StringSort : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
    void TearDown() override { string::compare_callback = nullptr; }
};

enum { CASE, SKIP, COMPARE, PART, ALL, REVERSE, STABLE };

kel_value at_head(kel_value v, int32_t head) {
    set_series_head(&v, head);
    return v;
}

std::u32string sorted_text(const std::u32string& in, uint32_t unit, std::initializer_list<ref> refs) {
    kel_value s = test::text_at(in, unit);
    call_action(act::sort, {s}, refs);
    return text(s);
}

}  // namespace

TEST_F(StringSort, OneFoldingAtEveryUnitWidth) {
    // Letters on both sides of the characters between "Z" and "a", Latin-1
    // letters in both cases, and a supplementary pair.
    const std::u32string inputs[] = {
        U"b_A[a]Zz^`\\B", U"\u00E9E\u00C9e\u00FF\u0178y", U"zZ\u00E9\u00C9aA\U00010428\U00010400\u00DF",
        U"Hello, World! \u00C0\u00E0\u00C1\u00E1", U"",
    };
    std::ostringstream py;
    py << "import sys\nrows = []\n";
    std::vector<std::u32string> got_stable, got_case;
    for (const std::u32string& in : inputs) {
        std::u32string first;
        for (uint32_t unit : {1u, 2u, 4u}) {
            if (test::needed_unit(in) > unit) continue;
            const std::u32string stable = sorted_text(in, unit, {{STABLE, {}}});
            if (first.empty()) first = stable;
            EXPECT_EQ(stable, first) << test::utf8(in) << " unit " << unit;  // width never changes the order
            // The quick sort orders the same keys; only equal keys may swap.
            const std::u32string quick = sorted_text(in, unit, {});
            std::u32string a = quick, b = stable;
            for (auto& c : a) c = static_cast<char32_t>(case_map::uppercase(c));
            for (auto& c : b) c = static_cast<char32_t>(case_map::uppercase(c));
            EXPECT_EQ(a, b) << test::utf8(in) << " unit " << unit;
        }
        got_stable.push_back(first.empty() ? sorted_text(in, 1, {{STABLE, {}}}) : first);
        got_case.push_back(sorted_text(in, 4, {{CASE, {}}}));
        py << "rows.append(" << test::py_str(in) << ")\n";
    }
    py << "for s in rows:\n"
          "    print(' '.join(str(ord(c)) for c in sorted(s, key=lambda c: c.upper()[0])))\n"
          "    print(' '.join(str(ord(c)) for c in sorted(s)))\n";
    std::istringstream want(test::python_program(py.str()));
    auto cps = [](const std::u32string& t) {
        std::string out;
        for (char32_t c : t) out += (out.empty() ? "" : " ") + std::to_string(static_cast<uint32_t>(c));
        return out;
    };
    for (size_t i = 0; i < got_stable.size(); ++i) {
        std::string line;
        std::getline(want, line);
        EXPECT_EQ(cps(got_stable[i]), line) << "folded " << i;
        std::getline(want, line);
        EXPECT_EQ(cps(got_case[i]), line) << "case " << i;
    }
}

TEST_F(StringSort, RecordsAndStabilityAgainstPython) {
    uint32_t seed = 77;
    auto rnd = [&](uint32_t m) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int32_t>((seed >> 8) % m);
    };
    const char32_t letters[] = {U'a', U'A', U'b', U'B', U'\u00E9', U'\u00C9', U'1', U'2', U'3'};
    std::ostringstream py;
    py << "cases = [\n";
    std::vector<std::string> got;
    for (int k = 0; k < 200; ++k) {
        const int size = 1 + rnd(3), records = rnd(12);
        std::u32string in;
        for (int i = 0; i < size * records; ++i) in += letters[rnd(9)];
        const bool case_ = rnd(2), reverse = rnd(3) == 0, all = size > 1 && rnd(3) == 0;
        const int offset = (!all && size > 1 && rnd(2)) ? 1 + rnd(size) : 0;
        std::vector<ref> refs_v;
        kel_value s = test::text_at(in, 1u << rnd(3));
        stack::reset();
        stack::push_copy(&s);
        refinements r = refinements::none();
        auto give = [&](int index, const kel_value* arg) {
            r.at[index] = static_cast<int32_t>(stack::top() - stack::arguments());
            if (arg) stack::push_copy(arg);
        };
        kel_value size_v = test::int_v(size), offset_v = test::int_v(offset);
        if (case_) give(CASE, nullptr);
        give(SKIP, &size_v);
        if (offset) give(COMPARE, &offset_v);
        if (all) give(ALL, nullptr);
        if (reverse) give(REVERSE, nullptr);
        give(STABLE, nullptr);
        (void)registry::handler(types::string, act::sort)(r);
        got.push_back(test::utf8(text(s)));
        auto b = [](bool x) { return x ? "True" : "False"; };
        py << "(" << test::py_str(in) << "," << size << "," << b(case_) << "," << b(reverse) << "," << b(all) << ","
           << offset << "),\n";
    }
    py << "]\n"
          "def fold(c, case): return c if case else c.upper()[0]\n"
          "for (s, size, case, reverse, all_, offset) in cases:\n"
          "    recs = [s[i:i + size] for i in range(0, len(s), size)]\n"
          "    if all_: key = lambda r: [fold(c, case) for c in r]\n"
          "    else: key = lambda r: fold(r[max(offset, 1) - 1], case)\n"
          "    print(''.join(sorted(recs, key=key, reverse=reverse)).encode().hex())\n";
    std::istringstream want(test::python_program(py.str()));
    for (size_t i = 0; i < got.size(); ++i) {
        std::string line, hex;
        std::getline(want, line);
        for (unsigned char c : got[i]) {
            const char* d = "0123456789abcdef";
            hex += d[c >> 4];
            hex += d[c & 15];
        }
        EXPECT_EQ(hex, line) << "case " << i;
    }
}

TEST_F(StringSort, StableWithCaseStaysStable) {
    // Records keyed by their first unit, case-sensitively: equal keys keep
    // their order even with /case.
    EXPECT_EQ(sorted_text(U"a2a1A3a0", 1, {{CASE, {}}, {SKIP, {test::int_v(2)}}, {STABLE, {}}}), U"A3a2a1a0");
}

TEST_F(StringSort, PartWindows) {
    kel_value s = at_head(str(U"dcbafe"), 1);
    call_action(act::sort, {s}, {{PART, {test::int_v(3)}}});
    EXPECT_EQ(text(at_head(s, 0)), U"dabcfe");
    // A negative part sorts the units before the head; the head moves back.
    kel_value t = at_head(str(U"dcbafe"), 3);
    kel_value r = call_action(act::sort, {t}, {{PART, {test::int_v(-2)}}});
    EXPECT_EQ(series_head(&r), 1);
    EXPECT_EQ(text(at_head(t, 0)), U"dbcafe");
    kel_value u = str(U"zyxw");
    call_action(act::sort, {u}, {{PART, {test::int_v(-5)}}});
    EXPECT_EQ(text(u), U"zyxw");  // nothing before the head
    kel_value v = str(U"zyxw");
    call_action(act::sort, {v}, {{PART, {at_head(v, 2)}}});
    EXPECT_EQ(text(v), U"yzxw");
    call_action(act::sort, {v}, {{REVERSE, {}}});
    EXPECT_EQ(text(v), U"zyxw");
}

TEST_F(StringSort, Errors) {
    struct row { std::vector<ref> refs; const char* id; const char* word; };
    const row rows[] = {
        {{{SKIP, {test::int_v(3)}}}, "invalid-refine-arg", "skip"},  // 4 is not a multiple of 3
        {{{SKIP, {test::int_v(0)}}}, "invalid-refine-arg", "skip"},
        {{{SKIP, {test::int_v(8)}}}, "invalid-refine-arg", "skip"},
        {{{ALL, {}}}, "bad-refines", nullptr},
        {{{COMPARE, {test::int_v(1)}}}, "bad-refines", nullptr},
        {{{SKIP, {test::int_v(2)}}, {COMPARE, {test::int_v(1)}}, {ALL, {}}}, "bad-refines", nullptr},
        {{{SKIP, {test::int_v(2)}}, {COMPARE, {test::int_v(3)}}}, "out-of-range", nullptr},
        {{{SKIP, {test::int_v(2)}}, {COMPARE, {test::int_v(0)}}}, "out-of-range", nullptr},
        {{{COMPARE, {str(U"x")}}}, "invalid-refine-arg", "compare"},
        {{{PART, {str(U"abcd")}}}, "invalid-refine-arg", "part"},
    };
    for (const row& r : rows) {
        kel_value s = str(U"dcba");
        EXPECT_TRUE(fires([&] {
            stack::reset();
            stack::push_copy(&s);
            refinements refs = refinements::none();
            for (const ref& x : r.refs) {
                refs.at[x.index] = static_cast<int32_t>(stack::top() - stack::arguments());
                for (const kel_value& a : x.args) stack::push_copy(&a);
            }
            (void)registry::handler(types::string, act::sort)(refs);
        }, r.id)) << r.id;
        if (r.word) {
            EXPECT_STREQ(last_fired().arg_words[0], r.word);
        }
        EXPECT_EQ(text(s), U"dcba");  // checked before anything changed
    }
    kel_value empty = str(U"");
    call_action(act::sort, {empty}, {{SKIP, {test::int_v(3)}}});  // nothing to sort: no error
}

namespace {
signal_code less_than(const kel_value*, const kel_value* first, const kel_value* second, kel_value* result) {
    if (type_of(first) == types::string) set_logic(result, test::text(*first) < test::text(*second));
    else set_logic(result, get_char(first) < get_char(second));
    return signal_code::none;
}
// A comparison function that changes the string being sorted.
kel_value* victim = nullptr;
int calls = 0;
signal_code meddling(const kel_value* fn, const kel_value* first, const kel_value* second, kel_value* result) {
    ++calls;
    memory::buffer_header* h = string::buffer(victim);
    if (calls == 3) {
        for (int i = 0; i < 5000; ++i) h = string::add_char(h, 0x1F600);  // grows and widens it
    }
    return less_than(fn, first, second, result);
}
}  // namespace

TEST_F(StringSort, ScriptComparisonFunctions) {
    string::compare_callback = less_than;
    kel_value fn;
    init_cell(&fn, types::function);
    kel_value s = str(U"cadb");
    call_action(act::sort, {s}, {{COMPARE, {fn}}});
    EXPECT_EQ(text(s), U"abcd");
    call_action(act::sort, {s}, {{COMPARE, {fn}}, {REVERSE, {}}});
    EXPECT_EQ(text(s), U"dcba");
    // Whole records are given to the function as strings.
    kel_value recs = str(U"b1a2a1", 2);
    call_action(act::sort, {recs}, {{SKIP, {test::int_v(2)}}, {COMPARE, {fn}}, {ALL, {}}, {STABLE, {}}});
    EXPECT_EQ(text(recs), U"a1a2b1");

    // The function grows and widens the text under the sort: the records are
    // sorted in a copy, and not written back over text of another width.
    kel_value m = str(U"dcbahgfe");
    victim = &m;
    calls = 0;
    string::compare_callback = meddling;
    call_action(act::sort, {m}, {{COMPARE, {fn}}});
    EXPECT_EQ(text(m).substr(0, 8), U"dcbahgfe");
    EXPECT_EQ(test::unit_of(m), 4u);
    EXPECT_EQ(text(m).size(), 5008u);
}

TEST_F(StringSort, VectorElementsAndComparators) {
    kel_value bytes = str(std::u32string{0x05, 0xFD, 0x00, 0x7F}, 1, types::vector);  // 5, -3, 0, 127 as int8
    bytes.w3 = types::integer;
    call_action(act::sort, {bytes});
    EXPECT_EQ(text(bytes), (std::u32string{0xFD, 0x00, 0x05, 0x7F}));
    // float64 elements.
    const double values[] = {2.5, -1.0, 0.0, 1e300};
    kel_value vec;
    const uint32_t node = memory::new_units(4, 8);
    memory::buffer_header* h = memory::buffer_of(node);
    std::memcpy(h->data(), values, sizeof values);
    h->tail = sizeof values;
    set_series(&vec, types::vector, 0, node, types::float_);
    call_action(act::sort, {vec}, {{REVERSE, {}}});
    double out[4];
    std::memcpy(out, memory::buffer_of(node)->data(), sizeof out);
    EXPECT_EQ(out[0], 1e300);
    EXPECT_EQ(out[3], -1.0);

    EXPECT_LT(string::sort_compare_1("a", "B", false, 0), 0);
    EXPECT_GT(string::sort_compare_1("a", "B", true, 0), 0);
    EXPECT_GT(string::sort_compare_1("a", "B", false, string::sort_reverse), 0);
    EXPECT_GT(string::sort_compare_1("_", "z", false, 0), 0);  // folded up: "_" after the letters
    const char16_t e[] = u"\u00E9", E[] = u"\u00C9";
    EXPECT_EQ(string::sort_compare_2(reinterpret_cast<const char*>(e), reinterpret_cast<const char*>(E), false, 0), 0);
    EXPECT_EQ(string::sort_compare_1("\xE9", "\xC9", false, 0), 0);  // the same fold in 1-byte units
    // Whole records and an offset.
    EXPECT_LT(string::sort_compare_1("ab", "aC", false, string::sort_whole | (2u << 2)), 0);
    EXPECT_EQ(string::sort_compare_1("xa", "ya", false, 1u << 2), 0);
    const float f1 = 1.5f, f2 = -2.0f;
    EXPECT_GT(string::sort_compare_f32(reinterpret_cast<const char*>(&f1), reinterpret_cast<const char*>(&f2), true, 0), 0);
}
