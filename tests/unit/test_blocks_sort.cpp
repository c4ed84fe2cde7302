// sort of block!: results and stability against Python's sorted (with a key
// and with reverse), /part and /skip records, /compare offsets, the function
// comparator seam (with /all scratch blocks, and a comparator that raises),
// mixed types, and the refinement errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_support.h"

using namespace kel;
using test::b;
using test::int_v;
using test::ints;

namespace {

struct BlocksSort : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
        saved_compare = block::call_compare;  // the evaluator's, installed at start-up
        block::call_compare = nullptr;
    }
    void TearDown() override { block::call_compare = saved_compare; }
    block::call_compare_fn saved_compare = nullptr;
};

kel_value from_ints(const std::vector<int32_t>& v) {
    std::vector<kel_value> cells;
    for (int32_t x : v) cells.push_back(int_v(x));
    return test::block_of(cells);
}

std::string py_list(const std::vector<int32_t>& v) {
    std::string s = "[";
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s + "]";
}

std::vector<int32_t> parse_ints(const std::string& text) {
    std::vector<int32_t> out;
    std::istringstream in(text);
    int32_t x;
    while (in >> x) out.push_back(x);
    return out;
}

}  // namespace

TEST_F(BlocksSort, RecordsSortStablyAsPythonSortedWithAKey) {
    // Records [key index]: few distinct keys, so stability decides the order.
    std::mt19937 rng(7);
    for (int round = 0; round < 6; ++round) {
        const int records = 1 + static_cast<int>(rng() % 300);
        std::vector<int32_t> flat;
        for (int i = 0; i < records; ++i) {
            flat.push_back(static_cast<int32_t>(rng() % 5) - 2);
            flat.push_back(i);
        }
        const bool reverse = round % 2 == 1;
        const std::string expected = test::python(
            "r = " + py_list(flat) + "\nrecs = [r[i:i+2] for i in range(0, len(r), 2)]\n"
            "out = sorted(recs, key=lambda x: x[0], reverse=" + (reverse ? "True" : "False") + ")\n"
            "print(' '.join(str(x) for rec in out for x in rec))");
        kel_value s = from_ints(flat);
        kel_value two = int_v(2), one = int_v(1);
        block::sort_refinements r;
        r.skip = &two;
        r.compare = &one;
        r.stable = true;
        r.reverse = reverse;
        block::sort(&s, r);
        EXPECT_EQ(ints(s), parse_ints(expected)) << "round " << round;
    }
}

TEST_F(BlocksSort, BothSortsOrderIntegersAsPython) {
    std::mt19937 rng(11);
    std::vector<int32_t> data(5000);
    for (int32_t& x : data) x = static_cast<int32_t>(rng() % 2001) - 1000;
    const std::vector<int32_t> expected =
        parse_ints(test::python("print(' '.join(map(str, sorted(" + py_list(data) + "))))"));
    for (bool stable : {false, true}) {
        kel_value s = from_ints(data);
        block::sort_refinements r;
        r.stable = stable;
        block::sort(&s, r);
        EXPECT_EQ(ints(s), expected) << stable;
        r.reverse = true;
        block::sort(&s, r);
        EXPECT_EQ(ints(s), std::vector<int32_t>(expected.rbegin(), expected.rend())) << stable;
    }
}

TEST_F(BlocksSort, WholeRecordsCompareCellByCell) {
    // /skip 2 /all: [1 b] sorts before [1 c]; /compare 2 sorts by the second cell.
    kel_value s = from_ints({3, 1, 1, 9, 1, 2, 0, 5});
    kel_value two = int_v(2);
    block::sort_refinements r;
    r.skip = &two;
    r.all = true;
    block::sort(&s, r);
    EXPECT_EQ(ints(s), (std::vector<int32_t>{0, 5, 1, 2, 1, 9, 3, 1}));
    kel_value t = from_ints({3, 1, 1, 9, 1, 2, 0, 5});
    block::sort_refinements by_second;
    by_second.skip = &two;
    by_second.compare = &two;
    by_second.stable = true;
    block::sort(&t, by_second);
    EXPECT_EQ(ints(t), (std::vector<int32_t>{3, 1, 1, 2, 0, 5, 1, 9}));
}

TEST_F(BlocksSort, PartSortsAWindow) {
    kel_value s = from_ints({5, 4, 3, 2, 1});
    kel_value three = int_v(3);
    block::sort_refinements r;
    r.part = &three;
    block::sort(&s, r);
    EXPECT_EQ(ints(s), (std::vector<int32_t>{3, 4, 5, 2, 1}));
    // A negative part sorts the cells before the head and moves the head to them.
    kel_value t = from_ints({5, 4, 3, 2, 1});
    set_series_head(&t, 4);
    kel_value minus2 = int_v(-2);
    r.part = &minus2;
    block::sort(&t, r);
    EXPECT_EQ(series_head(&t), 2);
    set_series_head(&t, 0);
    EXPECT_EQ(ints(t), (std::vector<int32_t>{5, 4, 2, 3, 1}));
    // ... to the start, with nothing sorted, when it passes the start.
    set_series_head(&t, 1);
    kel_value minus5 = int_v(-5);
    r.part = &minus5;
    block::sort(&t, r);
    EXPECT_EQ(series_head(&t), 0);
    EXPECT_EQ(ints(t), (std::vector<int32_t>{5, 4, 2, 3, 1}));
    // A position in the same series.
    kel_value u = from_ints({9, 8, 7, 6});
    kel_value end = u;
    set_series_head(&end, 2);
    r.part = &end;
    block::sort(&u, r);
    EXPECT_EQ(ints(u), (std::vector<int32_t>{8, 9, 7, 6}));
}

TEST_F(BlocksSort, MixedTypesOrderByTypeId) {
    kel_value s = test::block_of({int_v(3), test::none_v(), int_v(1), test::logic_v(true), test::logic_v(false)});
    block::sort(&s, {});
    EXPECT_EQ(test::mold(s), "[none false true 1 3]");
}

TEST_F(BlocksSort, Errors) {
    kel_value s = from_ints({4, 3, 2, 1});
    kel_value two = int_v(2), three = int_v(3), zero = int_v(0), five = int_v(5);
    kel_value fn{types::function, 0, 0, 0};
    kel_value none = test::none_v();
    struct row {
        const kel_value* skip;
        const kel_value* compare;
        bool all;
        const char* id;
    };
    const row rows[] = {
        {nullptr, nullptr, true, "bad-refines"},            // /all without /skip
        {&three, nullptr, false, "invalid-refine-arg"},     // 3 does not divide 4
        {&zero, nullptr, false, "invalid-refine-arg"},
        {&five, nullptr, false, "invalid-refine-arg"},      // larger than the count
        {&none, nullptr, false, "invalid-refine-arg"},
        {nullptr, &two, false, "bad-refines"},              // an offset needs /skip
        {&two, &two, true, "bad-refines"},                  // ... and no /all
        {&two, &three, false, "out-of-range"},
        {&two, &zero, false, "out-of-range"},
        {nullptr, &none, false, "invalid-refine-arg"},
        {nullptr, &fn, false, "not-done"},                  // no comparator installed yet
    };
    for (const row& r : rows) {
        block::sort_refinements refs;
        refs.skip = r.skip;
        refs.compare = r.compare;
        refs.all = r.all;
        EXPECT_TRUE(fires([&] { block::sort(&s, refs); }, r.id)) << r.id;
        EXPECT_EQ(ints(s), (std::vector<int32_t>{4, 3, 2, 1})) << r.id;
    }
    block::sort_refinements refs;
    refs.compare = &none;
    EXPECT_TRUE(fires([&] { block::sort(&s, refs); }, "invalid-refine-arg"));
    EXPECT_EQ(std::string(last_fired().arg_words[0]), "/compare");
}

namespace {
int calls = 0;
int block_arguments = 0;
int throw_after = -1;
// A comparator "first < second" over integers, or over the first cells of
// two blocks; counts its calls and can raise.
void less_than(const kel_value*, const kel_value* first, const kel_value* second, kel_value* answer) {
    if (throw_after >= 0 && calls >= throw_after) fire(error_category::user, "message");
    ++calls;
    const kel_value* a = first;
    const kel_value* c = second;
    if (type_of(first) == types::block) {
        ++block_arguments;
        EXPECT_EQ(block::ks_length_q(first), 2);
        EXPECT_EQ(block::ks_length_q(second), 2);
        a = block::ks_abs_at(first, 0);
        c = block::ks_abs_at(second, 0);
    }
    set_logic(answer, get_integer(a) < get_integer(c));
}
}  // namespace

TEST_F(BlocksSort, FunctionComparator) {
    block::call_compare = less_than;
    kel_value fn{types::function, 0, 0, 0};
    calls = block_arguments = 0;
    throw_after = -1;
    // The arguments arrive as (second, first), so "a < b" sorts ascending;
    // /reverse passes them as (first, second).
    kel_value s = from_ints({2, 9, 4, 7});
    block::sort_refinements r;
    r.compare = &fn;
    block::sort(&s, r);
    EXPECT_EQ(ints(s), (std::vector<int32_t>{2, 4, 7, 9}));
    EXPECT_GT(calls, 0);
    r.reverse = true;
    block::sort(&s, r);
    EXPECT_EQ(ints(s), (std::vector<int32_t>{9, 7, 4, 2}));
    // /skip /all: two blocks of size cells.
    kel_value recs = from_ints({3, 30, 1, 10, 2, 20});
    kel_value two = int_v(2);
    block::sort_refinements all;
    all.compare = &fn;
    all.skip = &two;
    all.all = true;
    block::sort(&recs, all);
    EXPECT_EQ(ints(recs), (std::vector<int32_t>{1, 10, 2, 20, 3, 30}));
    EXPECT_GT(block_arguments, 0);
}

TEST_F(BlocksSort, ARaisingComparatorLeavesEveryCell) {
    block::call_compare = less_than;
    kel_value fn{types::function, 0, 0, 0};
    for (bool stable : {false, true}) {
        std::vector<int32_t> data;
        for (int i = 0; i < 200; ++i) data.push_back((i * 37) % 200);
        kel_value s = from_ints(data);
        calls = 0;
        throw_after = 150;
        block::sort_refinements r;
        r.compare = &fn;
        r.stable = stable;
        EXPECT_TRUE(fires([&] { block::sort(&s, r); }, "message"));
        std::vector<int32_t> after = ints(s);
        std::sort(after.begin(), after.end());
        std::sort(data.begin(), data.end());
        EXPECT_EQ(after, data);
    }
    throw_after = -1;
}

TEST_F(BlocksSort, CompareAnswers) {
    struct row {
        kel_value answer;
        int32_t order;
    };
    kel_value minus_half, zero_f, two_f;
    set_float(&minus_half, -0.5);
    set_float(&zero_f, 0.0);
    set_float(&two_f, 2.0);
    const row rows[] = {
        {test::logic_v(true), 1}, {test::logic_v(false), -1}, {int_v(-7), -1}, {int_v(0), 0}, {int_v(3), 1},
        {minus_half, -1},         {zero_f, 0},                 {two_f, 1},     {test::none_v(), -1},
        {test::unset_v(), 1},     {b({}), 1},
    };
    for (const row& r : rows) EXPECT_EQ(block::compare_answer(&r.answer), r.order);
}
