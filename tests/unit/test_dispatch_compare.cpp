// Comparison by operator code, the comparison entry and the sorting
// comparison.
#include <gtest/gtest.h>

#include "tests/unit/dispatch_support.h"

using namespace kel;
using namespace kel::test;

namespace {

using DispatchCompare = dispatch_test;

// The machine boolean each code gives for a handler answer of -1, 0, 1.
struct code_row {
    int32_t op;
    bool below, equal, above;
};
constexpr code_row code_rows[] = {
    {cmp::equal, false, true, false},
    {cmp::not_equal, true, false, true},
    {cmp::strict_equal, false, true, false},
    {cmp::lesser, true, false, false},
    {cmp::lesser_or_equal, true, true, false},
    {cmp::greater, false, false, true},
    {cmp::greater_or_equal, false, true, true},
    {cmp::sort, true, false, false},
    {cmp::case_sort, true, false, false},
    {cmp::same, false, true, false},
    {cmp::equal10, false, true, false},
    {cmp::equal11, false, true, false},
    {cmp::find, false, true, false},
};

bool ordering(int32_t op) { return (op >= cmp::lesser && op <= cmp::greater_or_equal) || op == 7 || op == 8; }

// A compare handler answering a fixed value, so every answer meets every code.
int32_t fixed_answer = 0;
int32_t fixed_compare(const kel_value*, const kel_value*, int32_t) { return fixed_answer; }

}  // namespace

TEST_F(DispatchCompare, EveryCodeMapsEveryAnswer) {
    slot_swap s(types::money, act::compare, fixed_compare);
    kel_value m;
    init_cell(&m, types::money);
    for (const code_row& row : code_rows) {
        for (int32_t answer : {-1, 0, 1}) {
            fixed_answer = answer;
            const bool expected = answer < 0 ? row.below : (answer == 0 ? row.equal : row.above);
            EXPECT_EQ(actions::compare_by_op(&m, &m, row.op), expected) << "op " << row.op << " answer " << answer;
        }
        // Not comparable: unequal under the equality codes, an error under the orderings.
        fixed_answer = cmp::not_comparable;
        if (ordering(row.op)) {
            EXPECT_TRUE(fires([&] { (void)actions::compare_by_op(&m, &m, row.op); }, "invalid-compare")) << row.op;
        } else {
            EXPECT_EQ(actions::compare_by_op(&m, &m, row.op), row.op == cmp::not_equal) << row.op;
        }
    }
}

TEST_F(DispatchCompare, IntegersAndValuesOfOtherKinds) {
    const kel_value one = int_v(1), two = int_v(2), blk = b({1});
    EXPECT_TRUE(actions::compare_by_op(&one, &two, cmp::lesser));
    EXPECT_FALSE(actions::compare_by_op(&two, &two, cmp::lesser));
    EXPECT_TRUE(actions::compare_by_op(&two, &two, cmp::equal));
    // 1 = [1] is false, 1 <> [1] true, 1 < [1] an error with both values.
    EXPECT_FALSE(actions::compare_by_op(&one, &blk, cmp::equal));
    EXPECT_TRUE(actions::compare_by_op(&one, &blk, cmp::not_equal));
    EXPECT_TRUE(fires([&] { (void)actions::compare_by_op(&one, &blk, cmp::lesser); }, "invalid-compare"));
    const fired_error& e = last_fired();
    EXPECT_EQ(e.category, error_category::script);
    EXPECT_EQ(get_integer(&e.args[0]), 1);
    EXPECT_EQ(series_node(&e.args[1]), series_node(&blk));
    // A type without a compare handler compares like one that cannot.
    uint32_t without = 1;
    while (without <= static_cast<uint32_t>(types::count) && registry::compare_handler(without)) ++without;
    ASSERT_LE(without, static_cast<uint32_t>(types::count));
    kel_value p;
    init_cell(&p, without);
    EXPECT_FALSE(actions::compare_by_op(&p, &p, cmp::equal));
    EXPECT_TRUE(fires([&] { (void)actions::compare_by_op(&p, &p, cmp::greater); }, "invalid-compare"));
}

TEST_F(DispatchCompare, ArgumentsAndTheCompareEntry) {
    for (const code_row& row : code_rows) {
        if (row.op == cmp::sort || row.op == cmp::case_sort) continue;
        entry_call c;
        const kel_value r = c.arg(int_v(3)).arg(int_v(5)).arg(int_v(row.op)).run(actions::compare_star);
        EXPECT_EQ(type_of(&r), types::logic);
        EXPECT_EQ(get_logic(&r), row.below) << row.op;
    }
    const kel_value seven = int_v(7);
    stack::push_copy(&seven);
    stack::push_copy(&seven);
    actions::compare_arguments(cmp::greater_or_equal);
    EXPECT_TRUE(get_logic(stack::arguments()));
}

TEST_F(DispatchCompare, SortCompare) {
    auto cell = [](uint32_t type, uint32_t w1, uint32_t w3) {
        kel_value v;
        init_cell(&v, type);
        v.w1 = w1;
        v.w3 = w3;
        return v;
    };
    struct row {
        kel_value a, b;
        int32_t expected;
    };
    const row rows[] = {
        {logic_v(true), logic_v(false), 1},
        {logic_v(false), logic_v(true), -1},
        {logic_v(true), logic_v(true), 0},
        {cell(types::native, 3, 0), cell(types::native, 9, 0), -1},
        {cell(types::action, 9, 0), cell(types::action, 3, 0), 1},
        {cell(types::op, 4, 1), cell(types::op, 4, 2), 0},          // by table number only
        {cell(types::function, 1, 0x40000010), cell(types::function, 2, 0x40000008), 1},  // by more-block node
        {cell(types::routine, 9, 0x40000001), cell(types::routine, 9, 0x40000001), 0},
        {int_v(5), int_v(6), -1},
        {int_v(6), int_v(6), 0},
    };
    for (const row& r : rows) EXPECT_EQ(actions::sort_compare(&r.a, &r.b, cmp::sort), r.expected);
    // What the handler cannot order stays -2, so the caller can raise.
    kel_value ts;
    init_cell(&ts, types::typeset);
    EXPECT_EQ(actions::sort_compare(&ts, &ts, cmp::lesser), cmp::not_comparable);
}
