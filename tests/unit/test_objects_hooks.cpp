// Objects with change handlers: the on-set record, on-change* calls from
// set-fields, paths and context assignment (with the arguments the handler
// finds pushed, its /local refinement and locals), on-deep-change* calls
// delivered from the ownership layer, and the errors of broken handlers.
#include <gtest/gtest.h>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "datatypes/ownership_delivery.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_objects_support.h"

using namespace kel;
using test::b;
using test::field;
using test::hook_calls;
using test::int_v;
using test::make_object;
using test::set_word_v;
using test::word_v;

namespace {

struct ObjectsHooks : ::testing::Test {
    void SetUp() override {
        test::install_object_stand_ins();
        stack::reset();
        cycles::reset();
    }
    void TearDown() override { test::restore_object_hooks(); }
};

// A handler function: (word old new) plus the extra spec cells given.
kel_value handler(std::vector<kel_value> extra = {}, const char* first_body_word = "ok") {
    std::vector<kel_value> spec{word_v("word"), word_v("old"), word_v("new")};
    spec.insert(spec.end(), extra.begin(), extra.end());
    const kel_value s = test::block_of(spec);
    const kel_value body = b({word_v(first_body_word)});
    return test::function_v(s, &body);
}

kel_value refinement_v(const char* name) { return test::word_v(name, types::refinement); }

// An object with fields a, b, on-change* (the handler) and c.
kel_value watched(const kel_value& h) {
    kel_value o = test::construct_object(
        b({set_word_v("a"), 1, set_word_v("b"), 2, set_word_v("on-change*"), test::none_v(), set_word_v("c"), 3}));
    object::get_values(&o)[2] = h;
    object::install_hooks(&o);
    return *block::ks_add(block::root(), &o);
}

}  // namespace

TEST_F(ObjectsHooks, TheRecordNamesTheHandlerFieldsAndTheirLocalCounts) {
    const kel_value h = handler({refinement_v("local"), word_v("x"), word_v("y")});
    const kel_value o = watched(h);
    ASSERT_NE(o.w3, 0u);
    const auto* rec = reinterpret_cast<kel_value*>(memory::buffer_of(o.w3)->head_ptr());
    EXPECT_EQ(type_of(rec), types::hook_record);
    EXPECT_EQ(rec[0].w2, (2u << 16) | 3u);  // field 2, /local + 2 locals
    EXPECT_EQ(rec[0].w3, h.w2);              // the spec it was counted for
    EXPECT_EQ(rec[1].w2, 0xFFFF0000u);       // no on-deep-change*
    EXPECT_FALSE(object::has_deep_hook_q(&o));
    EXPECT_EQ(_context::owner(o.w1)->w3, o.w3);  // the self slot follows
    const kel_value spec_without = b({word_v("a")});
    EXPECT_EQ(object::count_locals(series_node(&spec_without), false), 0);
    EXPECT_EQ(object::count_locals(series_node(&spec_without), true), -1);
    const kel_value spec_locals = b({word_v("a"), refinement_v("local"), word_v("b"), word_v("c")});
    EXPECT_EQ(object::count_locals(series_node(&spec_locals), false), 3);
}

TEST_F(ObjectsHooks, SetFieldsCallsOnChangeForEveryFieldButTheHandlers) {
    const kel_value o = watched(handler());
    const kel_value five = int_v(5);
    object::set_fields(&o, &five, false, false, false);
    ASSERT_EQ(hook_calls.size(), 3u);
    const char* names[] = {"a", "b", "c"};
    const int32_t olds[] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) {
        const test::hook_call& c = hook_calls[static_cast<size_t>(i)];
        ASSERT_EQ(c.args.size(), 3u);
        EXPECT_TRUE(test::word_named(c.args[0], names[i]));
        EXPECT_EQ(word_context(&c.args[0]), o.w1);
        EXPECT_EQ(get_integer(&c.args[1]), olds[i]);
        EXPECT_EQ(get_integer(&c.args[2]), 5);
        EXPECT_EQ(c.object_context, o.w1);
        EXPECT_EQ(c.event_mask, object::on_change_events);
    }
    EXPECT_EQ(type_of(object::get_values(&o) + 2), types::function);  // the handler stays
    EXPECT_EQ(test::fired_id([] {}), "");
}

TEST_F(ObjectsHooks, LocalsArePushedAsAnUnusedRefinement) {
    const kel_value o = watched(handler({refinement_v("local"), word_v("x"), word_v("y")}));
    kel_value w = *object::word_at(o.w1, 0);
    const kel_value v = int_v(10);
    kel_value* top = stack::top();
    _context::set_bound(&w, &v);  // a plain assignment of a field word
    EXPECT_EQ(stack::top(), top);
    ASSERT_EQ(hook_calls.size(), 1u);
    const std::vector<kel_value>& a = hook_calls[0].args;
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(get_integer(&a[1]), 1);
    EXPECT_EQ(get_integer(&a[2]), 10);
    EXPECT_EQ(type_of(&a[3]), types::logic);
    EXPECT_FALSE(get_logic(&a[3]));
    EXPECT_EQ(type_of(&a[4]), types::none);
    EXPECT_EQ(type_of(&a[5]), types::none);
    EXPECT_EQ(stack::mark_depth(), 0);  // the frame was closed
}

TEST_F(ObjectsHooks, ACountIsRetakenWhenTheHandlerChanges) {
    const kel_value o = watched(handler());
    // Replacing the handler through its field keeps the old record...
    object::get_values(&o)[2] = handler({refinement_v("local"), word_v("t")});
    const kel_value one = int_v(1);
    const kel_value path = b({word_v("o"), word_v("a")});
    kel_value result;
    path_step_args s{};
    s.parent = const_cast<kel_value*>(&o);
    kel_value element = word_v("a");
    s.element = &element;
    s.value_to_set = &one;
    s.path = &path;
    s.result = &result;
    ASSERT_EQ(object::eval_path(s), signal_code::none);
    // ...whose count follows the new spec: /local and one local.
    ASSERT_EQ(hook_calls.size(), 1u);
    EXPECT_EQ(hook_calls[0].args.size(), 5u);
    // The path's word was bound to the object in place.
    EXPECT_EQ(word_context(&element), o.w1);
    EXPECT_EQ(word_index(&element), 0);
}

TEST_F(ObjectsHooks, AWordOfAnotherContextIsReboundForTheHandler) {
    const kel_value o = watched(handler());
    const kel_value stranger = word_v("b");  // bound in the global context
    const kel_value old = int_v(0), nv = int_v(1);
    object::run_on_change(&o, &stranger, &old, &nv);
    ASSERT_EQ(hook_calls.size(), 1u);
    EXPECT_EQ(word_context(&hook_calls[0].args[0]), o.w1);
    EXPECT_EQ(word_index(&hook_calls[0].args[0]), 1);
    // call-on-change-top: old value on top, new value below it.
    stack::push_copy(&nv);
    stack::push_copy(&old);
    object::call_on_change_top(&o, &stranger);
    ASSERT_EQ(hook_calls.size(), 2u);
    EXPECT_EQ(get_integer(&hook_calls[1].args[1]), 0);
    EXPECT_EQ(get_integer(&hook_calls[1].args[2]), 1);
}

TEST_F(ObjectsHooks, BrokenHandlersRaiseTheirErrors) {
    // A handler field holding a value that is no function: the field at
    // fault is named, on-deep-change* as well as on-change*.
    kel_value o = test::construct_object(b({set_word_v("on-change*"), test::none_v(), set_word_v("on-deep-change*"), 5}));
    object::get_values(&o)[0] = handler();
    EXPECT_EQ(test::fired_id([&] { object::install_hooks(&o); }), "bad-field-set");
    EXPECT_TRUE(test::word_named(last_fired().args[0], "on-deep-change*"));
    EXPECT_EQ(get_datatype(&last_fired().args[1]), static_cast<uint32_t>(types::integer));
    kel_value p = test::construct_object(b({set_word_v("on-change*"), test::str(U"x")}));
    EXPECT_EQ(test::fired_id([&] { object::install_hooks(&p); }), "bad-field-set");
    EXPECT_TRUE(test::word_named(last_fired().args[0], "on-change*"));
    // The handler replaced by a non-function after the record was built.
    const kel_value w = watched(handler());
    object::get_values(&w)[2] = int_v(4);
    const kel_value one = int_v(1);
    EXPECT_EQ(test::fired_id([&] { object::set_fields(&w, &one, false, false, false); }), "invalid-obj-evt");
    EXPECT_EQ(get_integer(&last_fired().args[0]), 4);
    // A handler that fails: its error goes on.
    stack::reset();
    const kel_value f = watched(handler({}, "fail"));
    EXPECT_EQ(test::fired_id([&] { object::set_fields(&f, &one, false, false, false); }), "invalid-arg");
}

TEST_F(ObjectsHooks, NoInterpreterNoCall) {
    const kel_value o = watched(handler());
    object::invoke_hook = nullptr;
    const kel_value one = int_v(1);
    EXPECT_EQ(test::fired_id([&] { object::set_fields(&o, &one, false, false, false); }), "not-done");
}

TEST_F(ObjectsHooks, DeepChangesAreDeliveredToTheOwner) {
    std::vector<kel_value> bound;
    static std::vector<kel_value>* seen;
    seen = &bound;
    object::hooks.bind_object = [](kel_value* value, const kel_value*, const kel_value*) { seen->push_back(*value); };
    const kel_value deep = test::function_v(
        test::block_of({word_v("owner"), word_v("word"), word_v("target"), word_v("action"), word_v("new"),
                        word_v("index"), word_v("part"), refinement_v("local"), word_v("t")}),
        nullptr);
    kel_value o =
        test::construct_object(b({set_word_v("items"), b({1, 2}), set_word_v("on-deep-change*"), test::none_v()}));
    object::get_values(&o)[1] = deep;
    object::install_hooks(&o);
    EXPECT_TRUE(object::has_deep_hook_q(&o));
    ASSERT_EQ(bound.size(), 1u);  // registered as the owner of its series
    EXPECT_EQ(bound[0].w1, o.w1);

    const kel_value items = field(o, "items");
    const kel_value word = *object::word_at(o.w1, 0);
    const kel_value nine = int_v(9);
    ownership_delivery::deliver(&o, &word, &items, "appended", &nine, 2, 1);
    ASSERT_EQ(hook_calls.size(), 1u);
    const std::vector<kel_value>& a = hook_calls[0].args;
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(a[0].w1, o.w1);
    EXPECT_TRUE(test::word_named(a[1], "items"));
    EXPECT_EQ(series_node(&a[2]), series_node(&items));
    EXPECT_TRUE(test::word_named(a[3], "appended"));
    EXPECT_EQ(a[3].w2, words::_appended.w2);
    EXPECT_EQ(get_integer(&a[4]), 9);
    EXPECT_EQ(get_integer(&a[5]), 2);
    EXPECT_EQ(get_integer(&a[6]), 1);
    EXPECT_FALSE(get_logic(&a[7]));
    EXPECT_EQ(type_of(&a[8]), types::none);
    EXPECT_EQ(hook_calls[0].event_mask, object::on_deep_change_events);
    // No new value: none is passed.
    ownership_delivery::deliver(&o, &word, &items, "clear", nullptr, 0, 2);
    EXPECT_EQ(type_of(&hook_calls[1].args[4]), types::none);
    EXPECT_TRUE(test::word_named(hook_calls[1].args[3], "clear"));
    // A handler field that no longer holds a function is skipped quietly.
    object::get_values(&o)[1] = int_v(0);
    ownership_delivery::deliver(&o, &word, &items, "clear", nullptr, 0, 2);
    EXPECT_EQ(hook_calls.size(), 2u);
    // An owner without a record is refused.
    const kel_value plain = make_object(b({set_word_v("x"), 1}));
    EXPECT_EQ(test::fired_id([&] { ownership_delivery::deliver(&plain, &word, &items, "poke", nullptr, 0, 1); }),
              "invalid-obj-evt");
    // An object with only an on-change* handler does not take deep changes.
    const kel_value shallow = watched(handler());
    ownership_delivery::deliver(&shallow, &word, &items, "poke", nullptr, 0, 1);
    EXPECT_EQ(hook_calls.size(), 2u);
}

TEST_F(ObjectsHooks, EachFieldVisitsValuesWithTheirWords) {
    const kel_value o = make_object(b({set_word_v("p"), 1, set_word_v("q"), 2}));
    static int visits;
    visits = 0;
    ownership_delivery::each_field(
        &o,
        [](kel_value* value, const kel_value* word, void* ctx) {
            ++visits;
            EXPECT_EQ(word_context(word), *static_cast<uint32_t*>(ctx));
            EXPECT_EQ(get_integer(value), word_index(word) + 1);
        },
        const_cast<uint32_t*>(&o.w1));
    EXPECT_EQ(visits, 2);
}

TEST_F(ObjectsHooks, ModifyChangedOwnerAndOwned) {
    const kel_value o = watched(handler());
    kel_value w = *object::word_at(o.w1, 0);
    const kel_value v = int_v(3);
    _context::set_bound(&w, &v);
    const auto modify = [&](const char* field_name, const kel_value& value) {
        stack::open_native_frame(nullptr);
        stack::push_copy(&o);
        const kel_value f = word_v(field_name);
        stack::push_copy(&f);
        stack::push_copy(&value);
        (void)registry::handler(types::object, act::modify)(refinements::none());
        stack::close_frame();
        stack::drop_cells(1);
    };
    EXPECT_NE(object::word_at(o.w1, 0)->header & header_changed, 0u);
    EXPECT_EQ(test::fired_id([&] { modify("changed", int_v(1)); }), "invalid-arg");
    stack::reset();
    modify("changed", test::none_v());
    EXPECT_EQ(object::word_at(o.w1, 0)->header & header_changed, 0u);
    static int binds, unbinds;
    binds = unbinds = 0;
    object::hooks.bind_object = [](kel_value*, const kel_value*, const kel_value*) { ++binds; };
    object::hooks.bind = [](kel_value*, const kel_value* owner, const kel_value* word) {
        ++binds;
        EXPECT_EQ(type_of(owner), types::object);
        EXPECT_EQ(type_of(word), types::word);
    };
    object::hooks.unbind = [](kel_value*) { ++unbinds; };
    modify("owner", test::none_v());
    modify("owned", test::none_v());
    modify("owned", b({o, word_v("f")}));
    // only an object can be told of its owned values' changes
    EXPECT_EQ(test::fired_id([&] { modify("owned", b({int_v(7), word_v("f")})); }), "invalid-arg");
    stack::reset();
    EXPECT_EQ(binds, 2);
    EXPECT_EQ(unbinds, 1);
}
