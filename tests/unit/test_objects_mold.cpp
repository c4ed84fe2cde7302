// Objects: mold and form (nested indentation, /flat, /only, /all, cycles),
// reflect, compare, and path steps with their errors.
#include <gtest/gtest.h>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_objects_support.h"

using namespace kel;
using test::b;
using test::field;
using test::int_v;
using test::make_object;
using test::set_word_v;
using test::word_v;

namespace {

struct ObjectsMold : ::testing::Test {
    void SetUp() override {
        test::install_object_stand_ins();
        stack::reset();
        cycles::reset();
    }
    void TearDown() override { test::restore_object_hooks(); }
};

kel_value reflect(const kel_value& o, const char* what) {
    stack::open_native_frame(nullptr);
    stack::push_copy(&o);
    const kel_value w = word_v(what);
    stack::push_copy(&w);
    (void)registry::handler(types::object, act::reflect)(refinements::none());
    const kel_value r = *stack::arguments();
    stack::close_frame();
    stack::drop_cells(1);
    return *block::ks_add(block::root(), &r);
}

struct path_result {
    std::string error;  // "" when the step succeeded
    kel_value value;
    kel_value error_args[2];
};

path_result step(const kel_value& o, kel_value element, const kel_value* set = nullptr) {
    const kel_value path = b({word_v("obj"), element});
    path_result r{};
    path_step_args s{};
    kel_value parent = o;
    s.parent = &parent;
    s.element = block::ks_abs_at(&path, 1);
    s.value_to_set = set;
    s.path = &path;
    s.last = true;
    s.result = &r.value;
    r.error = test::fired_id([&] { (void)object::eval_path(s); });
    if (!r.error.empty()) {
        r.error_args[0] = last_fired().args[0];
        r.error_args[1] = last_fired().args[1];
    }
    return r;
}

}  // namespace

TEST_F(ObjectsMold, MoldAndFormTable) {
    const kel_value inner = make_object(b({set_word_v("c"), 3}));
    const kel_value nested = make_object(b({set_word_v("a"), 1, set_word_v("b"), test::none_v()}));
    object::get_values(&nested)[1] = inner;
    const kel_value deeper = make_object(b({set_word_v("top"), test::none_v()}));
    object::get_values(&deeper)[0] = nested;
    const kel_value word_field = make_object(b({set_word_v("a"), test::lit_word_v("x"), set_word_v("s"),
                                                test::str(U"t")}));
    const kel_value empty = make_object(b({}));
    struct row {
        const kel_value* value;
        bool all, flat, only;
        const char* expected;
    } rows[] = {
        {&inner, false, false, false, "make object! [\n    c: 3\n]"},
        {&nested, false, false, false, "make object! [\n    a: 1\n    b: make object! [\n        c: 3\n    ]\n]"},
        {&deeper, false, false, false,
         "make object! [\n    top: make object! [\n        a: 1\n        b: make object! [\n            c: 3\n"
         "        ]\n    ]\n]"},
        {&nested, false, true, false, "make object! [a: 1 b: make object! [c: 3]]"},
        {&word_field, false, false, false, "make object! [\n    a: 'x\n    s: \"t\"\n]"},
        {&word_field, false, false, true, "a: 'x\ns: \"t\""},
        {&word_field, false, true, true, "a: 'x s: \"t\""},
        {&empty, false, false, false, "make object! []"},
    };
    for (const row& r : rows) EXPECT_EQ(test::mold(*r.value, r.all, r.flat, r.only), r.expected);
    EXPECT_EQ(test::form(word_field), "a: 'x\ns: \"t\"");
    EXPECT_EQ(test::form(empty), "");
}

TEST_F(ObjectsMold, HandlerFieldsShowOnlyWithAll) {
    const kel_value o = test::construct_object(
        b({set_word_v("a"), 1, set_word_v("on-change*"), test::none_v(), set_word_v("on-deep-change*"), 2}));
    EXPECT_EQ(test::mold(o, false, true), "make object! [a: 1]");
    EXPECT_EQ(test::mold(o, true, true), "make object! [a: 1 on-change*: #(none) on-deep-change*: 2]");
    const kel_value last_hidden =
        test::construct_object(b({set_word_v("a"), 1, set_word_v("on-change*"), test::none_v()}));
    EXPECT_EQ(test::mold(last_hidden, false, true), "make object! [a: 1]");
}

TEST_F(ObjectsMold, AnObjectHoldingItselfMoldsOnce) {
    const kel_value o = make_object(b({set_word_v("me"), test::none_v(), set_word_v("n"), 1}));
    object::get_values(&o)[0] = o;
    EXPECT_EQ(test::mold(o, false, true), "make object! [me: make object! [...] n: 1]");
    EXPECT_EQ(test::form(o), "me: make object! [...]\nn: 1");
    EXPECT_EQ(cycles::depth(), 0);
    // An unset field (a cell never written) molds as unset.
    const kel_value u = make_object(b({set_word_v("z"), 1}));
    object::get_values(&u)[0].header = 0;
    EXPECT_EQ(test::mold(u, false, true), "make object! [z: unset]");
}

TEST_F(ObjectsMold, Reflect) {
    const kel_value o = make_object(b({set_word_v("a"), test::lit_word_v("x"), set_word_v("p"), test::none_v(),
                                       set_word_v("n"), 5}));
    object::get_values(&o)[1] = test::block_of({word_v("q"), word_v("r")}, types::path);
    EXPECT_EQ(test::mold(reflect(o, "words"), false, true), "[a p n]");
    const kel_value words = reflect(o, "words");
    EXPECT_EQ(word_context(block::ks_abs_at(&words, 2)), o.w1);
    const kel_value values = reflect(o, "values");
    EXPECT_EQ(values.w2 == _context::cell(o.w1)->w2, false);  // a copy
    EXPECT_EQ(test::ints(values)[2], 5);
    EXPECT_EQ(type_of(block::ks_abs_at(&values, 0)), types::word);
    EXPECT_EQ(type_of(block::ks_abs_at(&values, 1)), types::path);
    const kel_value body = reflect(o, "body");
    ASSERT_EQ(block::ks_length_q(&body), 6);
    const uint32_t body_types[] = {types::set_word, types::lit_word, types::set_word, types::lit_path,
                                   types::set_word, types::integer};
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(type_of(block::ks_abs_at(&body, i)), body_types[i]) << i;
    EXPECT_TRUE(new_line_q(block::ks_abs_at(&body, 2)));
    EXPECT_EQ(word_context(block::ks_abs_at(&body, 4)), o.w1);
    EXPECT_EQ(test::mold(body, false, true), "[a: 'x p: 'q/r n: 5]");  // a path value becomes a lit-path
    const kel_value cls = reflect(o, "class");
    EXPECT_EQ(static_cast<uint32_t>(get_integer(&cls)), object::class_of(&o));
    EXPECT_EQ(test::mold(reflect(o, "changed")), "[]");
    kel_value w = *object::word_at(o.w1, 2);
    const kel_value six = int_v(6);
    _context::set_bound(&w, &six);
    EXPECT_EQ(test::mold(reflect(o, "changed")), "[n]");
    const kel_value events = reflect(o, "events?"), owner = reflect(o, "owner");
    EXPECT_FALSE(get_logic(&events));
    EXPECT_FALSE(get_logic(&owner));
    _context::cell(o.w1)->header |= 0x10000u;
    const kel_value owner2 = reflect(o, "owner");
    EXPECT_TRUE(get_logic(&owner2));
    EXPECT_EQ(test::fired_id([&] { reflect(o, "spec"); }), "not-done");
}

TEST_F(ObjectsMold, Compare) {
    const kel_value ab = make_object(b({set_word_v("a"), 1, set_word_v("b"), 2}));
    const kel_value ab2 = make_object(b({set_word_v("A"), 1, set_word_v("b"), 2}));
    const kel_value ab3 = make_object(b({set_word_v("a"), 1, set_word_v("b"), 3}));
    const kel_value ba = make_object(b({set_word_v("b"), 2, set_word_v("a"), 1}));
    const kel_value a = make_object(b({set_word_v("a"), 1}));
    const kel_value af = make_object(b({set_word_v("a"), test::pair_v(1, 1)}));
    const kel_value a_float = make_object(b({set_word_v("a"), test::none_v()}));
    set_float(object::get_values(&a_float), 1.0);
    EXPECT_EQ(object::compare(&ab, &ab, cmp::equal), 0);
    EXPECT_EQ(object::compare(&ab, &ab2, cmp::equal), 0);  // names compare case-insensitively
    EXPECT_EQ(object::compare(&ab, &ab2, cmp::same), -1);
    EXPECT_EQ(object::compare(&ab, &ab3, cmp::sort), -1);
    EXPECT_EQ(object::compare(&ab3, &ab, cmp::sort), 1);
    // Fields in another order: by the first field's symbol id.
    const uint32_t sa = test::canonical_symbol("a"), sb = test::canonical_symbol("b");
    EXPECT_EQ(object::compare(&ab, &ba, cmp::equal), sa < sb ? -1 : 1);
    EXPECT_EQ(object::compare(&a, &ab, cmp::equal), -1);
    EXPECT_EQ(object::compare(&ab, &a, cmp::equal), 1);
    EXPECT_EQ(object::compare(&a, &a_float, cmp::equal), 0);  // integer and float compare
    EXPECT_EQ(object::compare(&a, &af, cmp::equal), types::integer < types::pair ? -1 : 1);
    const kel_value one = int_v(1);
    EXPECT_EQ(object::compare(&a, &one, cmp::equal), cmp::not_comparable);
    EXPECT_TRUE(actions::compare_by_op(&ab, &ab2, cmp::equal));
    EXPECT_FALSE(actions::compare_by_op(&ab, &ab3, cmp::equal));
    // Self-containing objects end at the cycle stack.
    const kel_value s1 = make_object(b({set_word_v("me"), test::none_v()}));
    const kel_value s2 = make_object(b({set_word_v("me"), test::none_v()}));
    object::get_values(&s1)[0] = s1;
    object::get_values(&s2)[0] = s2;
    EXPECT_EQ(object::compare(&s1, &s2, cmp::equal), 0);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(ObjectsMold, PathSteps) {
    const kel_value o = make_object(b({set_word_v("a"), 1, set_word_v("u"), test::none_v()}));
    object::get_values(&o)[1] = test::unset_v();
    path_result r = step(o, word_v("A"));
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(get_integer(&r.value), 1);
    // A missing field or an unset one: unset-path with the path and the element.
    r = step(o, word_v("zz"));
    EXPECT_EQ(r.error, "unset-path");
    EXPECT_EQ(type_of(&r.error_args[0]), types::block);
    EXPECT_TRUE(test::word_named(r.error_args[1], "zz"));
    EXPECT_EQ(step(o, word_v("u")).error, "unset-path");
    // Setting a missing field: invalid-path.
    const kel_value two = int_v(2);
    EXPECT_EQ(step(o, word_v("zz"), &two).error, "invalid-path");
    EXPECT_EQ(step(o, word_v("self"), &two).error, "invalid-path");
    // Elements that are not words.
    EXPECT_EQ(step(o, int_v(1)).error, "invalid-path");
    r = step(o, test::str(U"a"));
    EXPECT_EQ(r.error, "invalid-path");
    EXPECT_EQ(type_of(&r.error_args[1]), types::string);
    // Set: the value is the result and the field is marked changed.
    r = step(o, test::set_word_v("a"), &two);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(get_integer(&r.value), 2);
    EXPECT_EQ(get_integer(object::get_values(&o)), 2);
    EXPECT_NE(object::word_at(o.w1, 0)->header & header_changed, 0u);
    EXPECT_EQ(step(o, test::get_word_v("a")).error, "");
    EXPECT_EQ(step(o, test::lit_word_v("a")).error, "");
}
