// unset!, none! and logic!: texts, conversions, comparison, the truth tests
// of the conditionals, the logic operators, random; triple!'s text; and the
// action rows of every scalar type, slot by slot.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "datatypes/logic.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/scalar_harness.h"

using namespace kel;
using test::call_action;
using test::flt;
using test::int_v;
using test::logic_v;
using test::none_v;
using test::show;
using test::unset_v;

TEST(ScalarLogic, FormAndMold) {
    struct row { kel_value v; const char* form; const char* mold; const char* mold_all; };
    const row rows[] = {
        {unset_v(), "", "unset", "#(unset)"},
        {none_v(), "none", "none", "#(none)"},
        {logic_v(true), "true", "true", "#(true)"},
        {logic_v(false), "false", "false", "#(false)"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(test::form(r.v), r.form);
        EXPECT_EQ(test::mold(r.v), r.mold);
        EXPECT_EQ(test::mold(r.v, true), r.mold_all);
    }
    // The budget goes down by each text's length.
    test::boot();
    struct budget { kel_value v; bool all; int32_t left; };
    const budget budgets[] = {{unset_v(), false, 95}, {unset_v(), true, 92}, {none_v(), false, 96},
                              {none_v(), true, 93}, {logic_v(true), false, 96}, {logic_v(false), true, 92}};
    for (const budget& b : budgets) {
        kel_value buffer;
        text_out::new_buffer(&buffer, 16);
        EXPECT_EQ(registry::mold_handler(type_of(&b.v))(&b.v, &buffer, false, b.all, false, nullptr, 100, 0), b.left);
    }
    kel_value buffer;
    text_out::new_buffer(&buffer, 16);
    const kel_value u = unset_v();
    EXPECT_EQ(registry::form_handler(types::unset)(&u, &buffer, nullptr, 100), 100);
}

TEST(ScalarLogic, MakeAndTo) {
    test::boot();
    const kel_value logic_type = test::type_v(types::logic);
    struct row { int action; kel_value spec; const char* expected; };
    const row rows[] = {
        {act::to, int_v(0), "logic! true"},
        {act::make, int_v(0), "logic! false"},
        {act::make, int_v(-3), "logic! true"},
        {act::make, flt(0.0), "logic! false"},
        {act::make, flt(-0.0), "logic! false"},
        {act::make, flt(std::nan("")), "logic! true"},
        {act::make, test::pct(0.0), "logic! false"},
        {act::make, none_v(), "logic! false"},
        {act::to, none_v(), "logic! false"},
        {act::to, test::str(U""), "logic! true"},
        {act::to, unset_v(), "logic! true"},
        {act::to, logic_v(false), "logic! false"},
        {act::make, logic_v(true), "logic! true"},
        {act::to, flt(0.0), "logic! true"},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(r.action, {logic_type, r.spec})), r.expected) << r.action << " " << test::mold(r.spec);
    for (int a : {act::make, act::to}) {
        EXPECT_EQ(show(call_action(a, {test::type_v(types::unset), int_v(1)})), "unset! unset");
        EXPECT_EQ(show(call_action(a, {test::type_v(types::none), int_v(1)})), "none! none");
    }
}

TEST(ScalarLogic, Compare) {
    struct row { kel_value a, b; int32_t op; int32_t expected; };
    const row rows[] = {
        {none_v(), none_v(), cmp::equal, 0},
        {none_v(), none_v(), cmp::same, 0},
        {none_v(), logic_v(false), cmp::equal, cmp::not_comparable},
        {none_v(), none_v(), cmp::lesser, cmp::not_comparable},
        {unset_v(), unset_v(), cmp::strict_equal, 0},
        {unset_v(), unset_v(), cmp::sort, 0},
        {unset_v(), unset_v(), cmp::greater, cmp::not_comparable},
        {unset_v(), unset_v(), cmp::equal10, cmp::not_comparable},
        {unset_v(), none_v(), cmp::equal, cmp::not_comparable},
        {logic_v(true), logic_v(false), cmp::equal, 1},
        {logic_v(false), logic_v(true), cmp::not_equal, -1},
        {logic_v(true), logic_v(true), cmp::strict_equal, 0},
        {logic_v(true), logic_v(false), cmp::lesser, cmp::not_comparable},
        {logic_v(true), logic_v(false), cmp::sort, 1},
        {logic_v(true), int_v(1), cmp::equal, cmp::not_comparable},
    };
    for (const row& r : rows)
        EXPECT_EQ(test::compare(r.a, r.b, r.op), r.expected) << test::mold(r.a) << " " << test::mold(r.b) << " " << r.op;
}

// Only none! and false are false; unset! is an error only where the test says so.
TEST(ScalarLogic, TruthTests) {
    test::boot();
    struct row { kel_value v; bool truthy; };
    const row rows[] = {{none_v(), false}, {logic_v(false), false}, {logic_v(true), true}, {int_v(0), true},
                        {flt(0.0), true}, {test::str(U""), true}, {test::b({}), true}, {unset_v(), true}};
    for (const row& r : rows) {
        stack::reset();
        *stack::arguments() = r.v;
        stack::push_copy(&r.v);
        EXPECT_EQ(logic::truthy_q(&r.v, false, nullptr), r.truthy) << test::mold(r.v);
        EXPECT_EQ(logic::last_falsy_q(), !r.truthy);
        EXPECT_EQ(logic::top_falsy_q(), !r.truthy);
        EXPECT_EQ(logic::top_truthy_q(), r.truthy);
        if (type_of(&r.v) != types::unset) {
            EXPECT_EQ(logic::last_truthy_q(), r.truthy);
        }
    }
    stack::reset();
    set_unset(stack::arguments());
    EXPECT_TRUE(fires([] { (void)logic::last_truthy_q(); }, "no-return"));
    const kel_value u = unset_v(), w = test::int_v(7);
    EXPECT_TRUE(fires([&] { (void)logic::truthy_q(&u, true, &w); }, "no-value"));
    EXPECT_EQ(get_integer(&last_fired().args[0]), 7);  // the word it names
    stack::reset();
    // A logic! cell counts as false when its word 1 is 0, whatever else it holds.
    kel_value odd = logic_v(false);
    odd.w2 = 99;
    EXPECT_FALSE(logic::truthy_q(&odd, false, nullptr));
    EXPECT_EQ(show(*logic::true_value), "logic! true");
    EXPECT_EQ(show(*logic::false_value), "logic! false");
    EXPECT_EQ(show(*none::value), "none! none");
    EXPECT_EQ(show(*unset::value), "unset! unset");
}

TEST(ScalarLogic, OperatorsAndComplement) {
    struct row { int action; bool a, b; bool expected; };
    const row rows[] = {
        {act::and_, true, true, true}, {act::and_, true, false, false}, {act::or_, false, false, false},
        {act::or_, false, true, true}, {act::xor_, true, true, false}, {act::xor_, true, false, true},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(r.action, {logic_v(r.a), logic_v(r.b)})), r.expected ? "logic! true" : "logic! false");
    EXPECT_EQ(show(call_action(act::and_, {logic_v(true), int_v(1)})), "!expect-arg");
    // The running function's name: the handler is called here outside any named call.
    EXPECT_EQ(test::last_fired_arg(0), "word! <not-found>");
    EXPECT_EQ(test::last_fired_arg(1), "datatype! integer!");
    EXPECT_EQ(test::last_fired_word(2), "value2");
    EXPECT_EQ(show(call_action(act::complement, {logic_v(true)})), "logic! false");
    EXPECT_EQ(show(call_action(act::complement, {logic_v(false)})), "logic! true");
}

TEST(ScalarLogic, Random) {
    EXPECT_EQ(show(test::random(logic_v(true), true)), "unset! unset");
    std::vector<bool> first, again;
    for (auto* out : {&first, &again}) {
        test::random(logic_v(false), true);
        for (int i = 0; i < 32; ++i) out->push_back(test::random(logic_v(true)).as_logic());
    }
    EXPECT_EQ(first, again);
    int trues = 0;
    for (int i = 0; i < 400; ++i) trues += test::random(logic_v(true), false, i % 2 == 0).as_logic();
    EXPECT_GT(trues, 100);
    EXPECT_LT(trues, 300);
}

TEST(ScalarLogic, NoneAnswersSeriesActionsWithNone) {
    EXPECT_EQ(show(call_action(act::length_q, {none_v()})), "integer! -1");  // the generic action makes it none
    for (int a : {act::clear, act::find, act::remove, act::select, act::take})
        EXPECT_EQ(show(call_action(a, {none_v(), int_v(1)})), "none! none") << a;
    for (int a : {act::append, act::insert, act::pick, act::add})
        EXPECT_EQ(show(call_action(a, {none_v(), int_v(1)})), "unsupported") << a;
}

TEST(ScalarTriple, Text) {
    struct row { int32_t a, b, c; const char* text; int32_t left; };
    const row rows[] = {
        {0, 0, 0, "make triple! [0 0 0]", 80},
        {1, -2, 3, "make triple! [1 -2 3]", 79},
        {INT32_MIN, INT32_MAX, 0, "make triple! [-2147483648 2147483647 0]", 61},
    };
    test::boot();
    for (const row& r : rows) {
        const kel_value t = test::trip(r.a, r.b, r.c);
        EXPECT_EQ(test::form(t), r.text);
        EXPECT_EQ(test::mold(t, true, true), r.text);
        kel_value buffer;
        text_out::new_buffer(&buffer, 16);
        EXPECT_EQ(registry::form_handler(types::triple)(&t, &buffer, nullptr, 100), r.left);
    }
    EXPECT_EQ(show(call_action(act::make, {test::type_v(types::triple), test::b({1, 2, 3})})), "unsupported");
}

// Each scalar row has exactly the slots its type supports; the inherited
// ones are the parent's handlers.
TEST(ScalarRows, SupportedSlots) {
    test::boot();
    using A = act::id;
    struct row { uint32_t type; std::set<int> slots; };
    const row rows[] = {
        {types::unset, {A::make, A::to, A::form, A::mold, A::compare}},
        {types::none, {A::make, A::to, A::form, A::mold, A::compare, A::clear, A::find, A::length_q, A::remove,
                       A::select, A::take}},
        {types::logic, {A::make, A::random, A::to, A::form, A::mold, A::compare, A::and_, A::complement, A::or_,
                        A::xor_}},
        {types::integer, {A::make, A::random, A::to, A::form, A::mold, A::compare, A::absolute, A::add, A::divide,
                          A::multiply, A::negate, A::power, A::remainder, A::round, A::subtract, A::even_q, A::odd_q,
                          A::and_, A::complement, A::or_, A::xor_}},
        {types::float_, {A::make, A::random, A::to, A::form, A::mold, A::compare, A::absolute, A::add, A::divide,
                         A::multiply, A::negate, A::power, A::remainder, A::round, A::subtract, A::even_q, A::odd_q}},
        {types::char_, {A::make, A::random, A::to, A::form, A::mold, A::compare, A::absolute, A::add, A::divide,
                        A::multiply, A::remainder, A::subtract, A::even_q, A::odd_q, A::and_, A::or_, A::xor_}},
        {types::time, {A::make, A::random, A::to, A::form, A::mold, A::path_step, A::compare, A::absolute, A::add,
                       A::divide, A::multiply, A::negate, A::remainder, A::round, A::subtract, A::even_q, A::odd_q,
                       A::pick}},
        {types::triple, {A::form, A::mold}},
    };
    for (const row& r : rows)
        for (int a = 1; a <= act::count; ++a)
            EXPECT_EQ(registry::supported(r.type, a), r.slots.count(a) == 1) << registry::type_name(r.type) << " " << a;
    for (int a : {act::random, act::absolute, act::even_q, act::odd_q})
        EXPECT_EQ(registry::slot_at(types::char_, a).any, registry::slot_at(types::integer, a).any) << a;
    EXPECT_STREQ(registry::type_name(types::char_), "char!");
    EXPECT_EQ(registry::parent_ids[types::char_], types::integer);
    EXPECT_EQ(registry::parent_ids[types::time], types::float_);
}
