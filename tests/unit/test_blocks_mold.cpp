// Molding and forming blocks (nested blocks, new-line markers, /only, /flat,
// the part budget, cycles) as tables of the expected texts, and compare.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"

using namespace kel;
using test::b;
using test::int_v;

namespace {

struct BlocksMold : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

kel_value nl(kel_value v) {
    v.header |= header_new_line;
    return v;
}

std::string utf8_of(const kel_value& buffer) {
    std::string s;
    for (char32_t c : test::text(buffer)) s += static_cast<char>(c);
    return s;
}

// Molds with a /part argument present and the given budget.
std::string mold_part(const kel_value& v, int32_t budget, int32_t* left) {
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    kel_value limit = int_v(budget);
    *left = block::mold(&v, buffer, false, false, false, &limit, budget, 0);
    return utf8_of(*buffer);
}

std::string form_part(const kel_value& v, int32_t budget) {
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    kel_value limit = int_v(budget);
    block::form(&v, buffer, &limit, budget);
    return utf8_of(*buffer);
}

}  // namespace

TEST_F(BlocksMold, NestedBlocksWithNewLineMarkers) {
    struct row {
        kel_value value;
        bool only, flat;
        const char* mold;
    };
    const row rows[] = {
        {b({1, b({2, 3})}), false, false, "[1 [2 3]]"},
        {b({1, b({2, 3})}), true, false, "1 [2 3]"},  // /only drops the outer brackets alone
        {b({}), false, false, "[]"},
        {b({nl(int_v(1)), 2}), false, false, "[\n    1 2\n]"},
        {b({nl(int_v(1)), nl(int_v(2))}), false, false, "[\n    1\n    2\n]"},
        {b({1, nl(int_v(2))}), false, false, "[1\n2]"},  // a later marker only breaks the line
        {b({1, b({nl(int_v(2)), nl(int_v(3))})}), false, false, "[1 [\n    2\n    3\n]]"},
        {b({nl(b({nl(int_v(1))}))}), false, false, "[\n    [\n        1\n    ]\n]"},
        {b({nl(b({nl(int_v(1)), b({nl(int_v(2))})}))}), false, false,
         "[\n    [\n        1 [\n            2\n        ]\n    ]\n]"},
        {b({nl(int_v(1)), nl(int_v(2))}), false, true, "[1 2]"},
        {b({nl(int_v(1)), nl(int_v(2))}), true, false, "1\n2"},
        {test::block_of({int_v(1), test::none_v(), test::logic_v(true)}), false, false, "[1 none true]"},
    };
    for (const row& r : rows) EXPECT_EQ(test::mold(r.value, false, r.flat, r.only), r.mold) << r.mold;
}

TEST_F(BlocksMold, FormDropsBracketsAndBreaksAfterLineEnds) {
    struct row {
        kel_value value;
        const char* form;
    };
    kel_value nested = b({1, b({2, b({3})}), 4});
    const row rows[] = {
        {nested, "1 2 3 4"},
        {b({}), ""},
        {test::block_of({test::none_v(), test::logic_v(false)}), "none false"},
    };
    for (const row& r : rows) EXPECT_EQ(test::form(r.value), r.form);
    // No space after a line feed already in the text.
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    text_out::append(buffer, "x\n");
    kel_value s = b({1, 2});
    block::form(&s, buffer, nullptr, 0x7FFFFFFF);
    EXPECT_EQ(utf8_of(*buffer), "x\n1 2");
}

TEST_F(BlocksMold, PartBudgetStopsBetweenCells) {
    kel_value s = b({10, 20, 30, 40});
    int32_t left = 0;
    // "[" 1, "10" 2, " 20" 3: with a budget of 4 the walk stops before " 30"
    // once the budget is spent (the entry cuts the overrun).
    EXPECT_EQ(mold_part(s, 4, &left), "[10 20]");
    EXPECT_EQ(left, -3);
    EXPECT_EQ(mold_part(s, 100, &left), "[10 20 30 40]");
    EXPECT_EQ(left, 100 - 13);
    EXPECT_EQ(form_part(s, 3), "10 ");
}

TEST_F(BlocksMold, CyclesMoldAsPlaceholders) {
    kel_value s = b({1});
    block::ks_add(&s, &s);
    EXPECT_EQ(test::mold(s), "[1 [...]]");
    EXPECT_EQ(test::form(s), "1 ...");
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(BlocksMold, Compare) {
    struct row {
        kel_value a, b;
        int32_t op;
        int32_t expected;
    };
    kel_value path_a = test::block_of({int_v(1), int_v(2)}, types::path);
    kel_value lit_path_a = test::block_of({int_v(1), int_v(2)}, types::lit_path);
    kel_value shared = b({1, 2});
    const row rows[] = {
        {b({1, 2}), b({1, 2}), cmp::equal, 0},
        {b({1, 2}), b({1, 2, 3}), cmp::equal, 1},      // lengths differ: not equal at once
        {b({1, 2}), b({1, 2, 3}), cmp::lesser, -1},    // ordered after two cells
        {b({1, 3}), b({1, 2, 3}), cmp::lesser, 1},
        {b({1, 2}), b({1, 2}), cmp::same, -1},         // same only for the same buffer and head
        {shared, shared, cmp::same, 0},
        {b({1}), test::block_of({int_v(1)}, types::paren), cmp::equal, cmp::not_comparable},
        {path_a, lit_path_a, cmp::equal, cmp::not_comparable},
        {path_a, lit_path_a, cmp::equal10, 0},
        {lit_path_a, path_a, cmp::equal11, 0},
        {b({1, test::none_v()}), b({1, 2}), cmp::sort, -1},  // types order unlike values
    };
    for (const row& r : rows) EXPECT_EQ(block::compare(&r.a, &r.b, r.op), r.expected) << r.op;
    // A block holding itself compared with a copy of itself ends.
    kel_value loop = b({1});
    block::ks_add(&loop, &loop);
    kel_value other = b({1});
    block::ks_add(&other, &other);
    EXPECT_EQ(block::compare(&loop, &other, cmp::equal), 0);
    // The registered row uses these handlers.
    EXPECT_EQ(registry::compare_handler(types::block)(&path_a, &path_a, cmp::equal), 0);
    EXPECT_NE(registry::mold_handler(types::paren), nullptr);
}

TEST_F(BlocksMold, RowShape) {
    // Own, inherited and unsupported slots as the block! table lists them.
    const int own[] = {act::make, act::to, act::form, act::mold, act::path_step, act::compare, act::append,
                       act::change, act::copy, act::find, act::insert, act::put, act::select, act::sort,
                       act::swap, act::take, act::trim};
    for (int a : own) EXPECT_TRUE(registry::supported(types::block, a)) << a;
    for (int a : {act::at, act::next, act::pick, act::poke, act::remove, act::reverse, act::clear, act::modify})
        EXPECT_EQ(registry::slot_at(types::block, a).any, registry::slot_at(types::series, a).any) << a;
    for (int a : {act::add, act::negate, act::and_, act::create, act::open, act::write, act::unused8})
        EXPECT_FALSE(registry::supported(types::block, a)) << a;
}
