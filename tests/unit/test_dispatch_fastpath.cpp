// The fast paths of compiled code: arithmetic, comparison, block navigation
// and indexed access, inline and through their generic fallbacks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "datatypes/block.h"
#include "tests/unit/dispatch_support.h"

using namespace kel;
using namespace kel::test;
namespace math = kel::actions::math;
namespace nav = kel::actions::nav;

namespace {

using DispatchFastPath = dispatch_test;

kel_value float_v(double d) {
    kel_value v;
    set_float(&v, d);
    return v;
}

const kel_value plus_word = word_v(5001);

// The one cell the fast path pushed (checking nothing else was left).
kel_value pushed_result(kel_value* before) {
    EXPECT_EQ(stack::top(), before + 1);
    EXPECT_EQ(stack::mark_depth(), 0);
    return *before;
}

}  // namespace

TEST_F(DispatchFastPath, IntegerArithmeticNeverWraps) {
    struct row {
        int32_t code, a, b;
        bool is_float;
        double expected;
    };
    const row rows[] = {
        {math::add, 2147483647, 1, true, 2147483648.0},
        {math::subtract, -2147483647 - 1, 1, true, -2147483649.0},
        {math::multiply, 65536, 65536, true, 4294967296.0},
        {math::multiply, -2147483647 - 1, -1, true, 2147483648.0},
        {math::add, -2147483647 - 1, -1, true, -2147483649.0},
        {math::subtract, 0, -2147483647 - 1, true, 2147483648.0},
        {math::add, 2, 3, false, 5},
        {math::subtract, 2, 3, false, -1},
        {math::multiply, -46341, 46340, false, -2147441940.0},
        {math::or_, 12, 3, false, 15},
        {math::and_, 12, 6, false, 4},
        {math::xor_, 12, 6, false, 10},
        {math::or_, -2147483647 - 1, 2147483647, false, -1},
    };
    for (const row& r : rows) {
        const kel_value a = int_v(r.a), b = int_v(r.b);
        kel_value* before = stack::top();
        EXPECT_EQ(actions::math_op(&plus_word, r.code, &a, &b), signal_code::none);
        const kel_value v = pushed_result(before);
        if (r.is_float) {
            ASSERT_EQ(type_of(&v), types::float_) << r.a << " " << r.code << " " << r.b;
            EXPECT_EQ(get_float(&v), r.expected);
        } else {
            ASSERT_EQ(type_of(&v), types::integer);
            EXPECT_EQ(get_integer(&v), static_cast<int32_t>(r.expected));
        }
        stack::reset();
        // The -int form gives the same.
        EXPECT_EQ(actions::math_op_int(&plus_word, r.code, &a, r.b), signal_code::none);
        const kel_value w = pushed_result(before);
        EXPECT_EQ(std::memcmp(&v, &w, 16), 0);
        stack::reset();
    }
}

TEST_F(DispatchFastPath, FloatArithmeticAndTheLastForms) {
    const kel_value x = float_v(1.5), y = float_v(0.25);
    kel_value* before = stack::top();
    ASSERT_EQ(actions::math_op(&plus_word, math::multiply, &x, &y), signal_code::none);
    EXPECT_EQ(get_float(before), 0.375);
    ASSERT_EQ(actions::math_op(&plus_word, math::subtract, &x, &y), signal_code::none);
    EXPECT_EQ(get_float(before + 1), 1.25);

    // -last: the first operand is the last pushed cell, overwritten in place.
    stack::reset();
    stack::push_copy(&x);
    ASSERT_EQ(actions::math_op_last(&plus_word, math::add, &y), signal_code::none);
    EXPECT_EQ(stack::top(), stack::bottom() + 1);
    EXPECT_EQ(get_float(stack::bottom()), 1.75);
    const kel_value big = int_v(2147483647);
    stack::push_copy(&big);
    ASSERT_EQ(actions::math_op_last_int(&plus_word, math::add, 1), signal_code::none);
    EXPECT_EQ(stack::top(), stack::bottom() + 2);
    EXPECT_EQ(get_float(stack::bottom() + 1), 2147483648.0);
}

namespace {
// pair! + pair! through the generic entry, as the pair! module would.
signal_code pair_add(const refinements&) {
    const kel_value* a = stack::argument(1);
    const kel_value* b = stack::argument(2);
    set_pair(stack::arguments(), pair_x(a) + pair_x(b), pair_y(a) + pair_y(b));
    return signal_code::none;
}
}  // namespace

TEST_F(DispatchFastPath, OtherTypesGoThroughTheGenericActionInANamedMark) {
    slot_swap s(types::pair, act::add, pair_add);
    const kel_value p = pair_v(1, 2), q = pair_v(10, 20);
    kel_value* before = stack::top();
    ASSERT_EQ(actions::math_op(&plus_word, math::add, &p, &q), signal_code::none);
    const kel_value r = pushed_result(before);
    EXPECT_EQ(pair_x(&r), 11);
    EXPECT_EQ(pair_y(&r), 22);
    // -last through the generic path: the result takes the operand's place.
    stack::push_copy(&p);
    ASSERT_EQ(actions::math_op_last(&plus_word, math::add, &q), signal_code::none);
    EXPECT_EQ(stack::top(), before + 2);
    EXPECT_EQ(pair_y(before + 1), 22);

    // An unsupported type: the error is raised in a mark named by the
    // caller's word.
    const kel_value blk = b({1}), one = int_v(1);
    EXPECT_TRUE(fires([&] { (void)actions::math_op(&plus_word, math::add, &blk, &one); }, "expect-arg"));
    EXPECT_EQ(word_symbol(&last_fired().args[0]), 5001u);
    EXPECT_EQ(word_symbol(&last_fired().where), 5001u);  // raised inside the mark the word names
    stack::reset();
    const kel_value bits = b({});
    EXPECT_TRUE(fires([&] { (void)actions::math_op(&plus_word, math::xor_, &bits, &one); }, "expect-arg"));
    EXPECT_EQ(get_datatype(&last_fired().args[1]), static_cast<uint32_t>(types::block));
}

TEST_F(DispatchFastPath, IntegerComparisonInline) {
    struct row {
        int32_t code, a, b;
        bool expected;
    };
    const row rows[] = {
        {cmp::equal, 3, 3, true},           {cmp::strict_equal, 3, 4, false}, {cmp::not_equal, 3, 4, true},
        {cmp::lesser, -5, 3, true},         {cmp::lesser_or_equal, 3, 3, true}, {cmp::greater, 3, 3, false},
        {cmp::greater_or_equal, 4, 3, true}, {cmp::same, 7, 7, true},
    };
    for (const row& r : rows) {
        const kel_value a = int_v(r.a), b = int_v(r.b);
        kel_value* before = stack::top();
        actions::compare_op(&plus_word, r.code, &a, &b);
        const kel_value v = pushed_result(before);
        EXPECT_EQ(get_logic(&v), r.expected);
        stack::reset();
        actions::compare_op_int(&plus_word, r.code, &a, r.b);
        EXPECT_EQ(get_logic(before), r.expected);
        stack::reset();
        EXPECT_EQ(actions::compare_test(&plus_word, r.code, &a, &b, false), r.expected);
        EXPECT_EQ(actions::compare_test_int(&plus_word, r.code, &a, r.b, true), !r.expected);
        EXPECT_EQ(stack::top(), before);
        stack::push_copy(&a);
        actions::compare_last(&plus_word, r.code, &b);
        EXPECT_EQ(stack::top(), before + 1);
        EXPECT_EQ(get_logic(before), r.expected);
        stack::reset();
        stack::push_copy(&a);
        actions::compare_last_int(&plus_word, r.code, r.b);
        EXPECT_EQ(get_logic(before), r.expected);
        stack::reset();
    }
    // compare_test_set also leaves the answer in the base cell.
    const kel_value a = int_v(1), b = int_v(2);
    stack::push_unset();
    EXPECT_TRUE(actions::compare_test_set(&plus_word, cmp::lesser, &a, &b, false));
    EXPECT_TRUE(get_logic(stack::arguments()));
    EXPECT_FALSE(actions::compare_test_set(&plus_word, cmp::lesser, &a, &b, true));
    EXPECT_FALSE(get_logic(stack::arguments()));
}

TEST_F(DispatchFastPath, OtherComparisonsGoThroughANamedMark) {
    const kel_value one = int_v(1), blk = b({1});
    kel_value* before = stack::top();
    actions::compare_op(&plus_word, cmp::equal, &one, &blk);
    const kel_value r = pushed_result(before);
    EXPECT_FALSE(get_logic(&r));
    EXPECT_TRUE(actions::compare_test(&plus_word, cmp::not_equal, &one, &blk, false));
    EXPECT_EQ(stack::top(), before + 1);
    EXPECT_EQ(stack::mark_depth(), 0);
    EXPECT_TRUE(fires([&] { actions::compare_op(&plus_word, cmp::lesser, &one, &blk); }, "invalid-compare"));
    EXPECT_EQ(stack::mark_depth(), 0);  // unwound to the receiver
    EXPECT_EQ(word_symbol(&last_fired().where), 5001u);  // raised inside the mark the word names
}

TEST_F(DispatchFastPath, BlockNavigation) {
    const kel_value blk = b({1, 2, 3});
    auto at = [&](int32_t head) {
        kel_value v = blk;
        set_series_head(&v, head);
        return v;
    };
    struct row {
        int32_t code, head;
        uint32_t type;
        int32_t expected;  // integer, logic (0/1), or the new head
    };
    const row rows[] = {
        {nav::length_q, 0, types::integer, 3}, {nav::length_q, 2, types::integer, 1},
        {nav::length_q, 5, types::integer, 0}, {nav::index_q, 1, types::integer, 2},
        {nav::head_q, 0, types::logic, 1},     {nav::head_q, 1, types::logic, 0},
        {nav::tail_q, 3, types::logic, 1},     {nav::tail_q, 2, types::logic, 0},
        {nav::next, 0, types::block, 1},       {nav::next, 3, types::block, 3},
        {nav::back, 2, types::block, 1},       {nav::back, 0, types::block, 0},
        {nav::head, 2, types::block, 0},       {nav::tail, 1, types::block, 3},
    };
    for (const row& r : rows) {
        const kel_value v = at(r.head);
        kel_value* before = stack::top();
        ASSERT_EQ(actions::series_nav(&plus_word, r.code, &v), signal_code::none);
        const kel_value out = pushed_result(before);
        ASSERT_EQ(type_of(&out), r.type) << r.code;
        if (r.type == types::integer) EXPECT_EQ(get_integer(&out), r.expected) << r.code;
        else if (r.type == types::logic) EXPECT_EQ(get_logic(&out), r.expected != 0) << r.code;
        else EXPECT_EQ(series_head(&out), r.expected) << r.code;
        EXPECT_EQ(series_head(&v), r.head);  // the operand itself is not moved
        stack::reset();
        // The generic entry agrees with the inline answer.
        entry_call c;
        const int actions_of_code[] = {0, act::length_q, act::index_q, act::head_q, act::tail_q,
                                       act::next, act::back, act::head, act::tail};
        const kel_value g = c.arg(v).run(actions::entry(actions_of_code[r.code]));
        EXPECT_EQ(std::memcmp(&g, &out, 16), 0) << r.code;
        stack::reset();
    }
    // A string! takes the generic entry.
    const kel_value s = str(U"abcd");
    kel_value* before = stack::top();
    ASSERT_EQ(actions::series_nav(&plus_word, nav::length_q, &s), signal_code::none);
    const kel_value n = pushed_result(before);
    EXPECT_EQ(get_integer(&n), 4);
}

TEST_F(DispatchFastPath, PathPick) {
    const kel_value blk = b({10, 20, 30});
    kel_value from_second = blk;
    set_series_head(&from_second, 1);
    struct row {
        const kel_value* series;
        int32_t index;
        int32_t expected;  // INT32_MIN: none!
    };
    const row rows[] = {
        {&blk, 1, 10},          {&blk, 3, 30},          {&blk, 4, INT32_MIN},
        {&blk, 0, INT32_MIN},   {&from_second, 1, 20},  {&from_second, -1, 10},
        {&from_second, 3, INT32_MIN},
    };
    for (const row& r : rows) {
        kel_value* before = stack::top();
        ASSERT_EQ(actions::path_pick(&plus_word, r.series, r.index), signal_code::none);
        const kel_value v = pushed_result(before);
        if (r.expected == INT32_MIN) EXPECT_EQ(type_of(&v), types::none);
        else EXPECT_EQ(get_integer(&v), r.expected);
        stack::reset();
    }
    // Other types take the path step of their type, in a mark named by the word.
    const kel_value flag = logic_v(true);
    EXPECT_TRUE(fires([&] { (void)actions::path_pick(&plus_word, &flag, 1); }, "bad-path-type2"));
    EXPECT_EQ(word_symbol(&last_fired().where), 5001u);
}
