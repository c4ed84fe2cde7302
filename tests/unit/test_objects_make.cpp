// Objects: class ids, make from a spec, a prototype or an object, construct,
// set-fields, copy (deep, typed, with functions rebound), select, put.
#include <gtest/gtest.h>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
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

struct ObjectsMake : ::testing::Test {
    void SetUp() override {
        test::install_object_stand_ins();
        stack::reset();
        cycles::reset();
    }
    void TearDown() override { test::restore_object_hooks(); }
};

int32_t int_field(const kel_value& o, const char* name) {
    const kel_value v = field(o, name);
    return type_of(&v) == types::integer ? get_integer(&v) : INT32_MIN;
}

kel_value copy_of(const kel_value& o, bool deep, const kel_value* types_arg = nullptr) {
    kel_value* out = stack::push_unset();
    object::duplicate(&o, out, deep, types_arg, true);
    const kel_value r = *out;
    stack::drop_cells(1);
    return *block::ks_add(block::root(), &r);
}

}  // namespace

TEST_F(ObjectsMake, ClassIdsCountFromTheRunTimeStartAndBootIdsStayBelow) {
    const uint32_t first = object::new_class_id();
    EXPECT_GT(first, object::class_counter_start);
    EXPECT_EQ(object::new_class_id(), first + 1);
    EXPECT_EQ(object::class_counter_start + 1, 1000001u);
    EXPECT_EQ(object::boot_class_id("reactor!"), 277u);
    EXPECT_EQ(object::boot_class_id("deep-reactor!"), 280u);
    EXPECT_EQ(object::boot_class_id("no-such-object"), 0u);
    for (int i = 0; i < object::boot_class_count; ++i) EXPECT_LT(object::boot_classes[i].id, 1000000u);
}

TEST_F(ObjectsMake, FromASpecBlock) {
    const kel_value spec = b({set_word_v("a"), 1, set_word_v("b"), set_word_v("c"), test::lit_word_v("w")});
    const kel_value o = make_object(spec);
    EXPECT_EQ(type_of(&o), types::object);
    EXPECT_EQ(object::word_count(&o), 3);
    EXPECT_EQ(int_field(o, "a"), 1);
    EXPECT_TRUE(test::word_named(field(o, "b"), "w"));
    EXPECT_TRUE(test::word_named(field(o, "c"), "w"));
    EXPECT_GT(object::class_of(&o), object::class_counter_start);
    EXPECT_EQ(o.w3, 0u);  // no handler fields: no record
    // The spec block itself stays bound to the new object.
    const kel_value* first = block::ks_abs_at(&spec, 0);
    EXPECT_EQ(word_context(first), o.w1);
    // The object sits in its own context's self slot.
    EXPECT_EQ(_context::owner(o.w1)->w1, o.w1);
    // Nothing is marked changed after make.
    EXPECT_EQ(_context::owner(o.w1)->w2, o.w2);
    for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(object::word_at(o.w1, i)->header & header_changed, 0u);
}

TEST_F(ObjectsMake, ClassIdsOfPrototypes) {
    const kel_value proto = make_object(b({set_word_v("a"), 1}));
    const kel_value same = make_object(proto, b({set_word_v("a"), 2}));
    EXPECT_EQ(object::class_of(&same), object::class_of(&proto));
    EXPECT_EQ(int_field(same, "a"), 2);
    EXPECT_EQ(int_field(proto, "a"), 1);
    const kel_value grown = make_object(proto, b({set_word_v("z"), 3}));
    EXPECT_NE(object::class_of(&grown), object::class_of(&proto));
    EXPECT_EQ(int_field(grown, "a"), 1);
    EXPECT_EQ(int_field(grown, "z"), 3);
    // From the datatype: always a new class, even for an identical spec.
    const kel_value again = make_object(b({set_word_v("a"), 1}));
    EXPECT_NE(object::class_of(&again), object::class_of(&proto));
    // From an object spec: words added give a new class, else the prototype's.
    const kel_value extended = make_object(proto, grown);
    EXPECT_NE(object::class_of(&extended), object::class_of(&proto));
    EXPECT_EQ(int_field(extended, "z"), 3);
    const kel_value merged = make_object(proto, same);
    EXPECT_EQ(object::class_of(&merged), object::class_of(&proto));
    EXPECT_EQ(int_field(merged, "a"), 2);
}

TEST_F(ObjectsMake, SeriesOfThePrototypeAreNotShared) {
    const kel_value inner = b({1, 2});
    const kel_value text = test::str(U"abc");
    const kel_value proto = make_object(b({set_word_v("blk"), inner, set_word_v("txt"), text}));
    const kel_value o = make_object(proto, b({}));
    const kel_value pb = field(proto, "blk"), ob = field(o, "blk");
    EXPECT_NE(series_node(&pb), series_node(&ob));
    EXPECT_EQ(test::ints(ob), (std::vector<int32_t>{1, 2}));
    const kel_value pt = field(proto, "txt"), ot = field(o, "txt");
    EXPECT_NE(series_node(&pt), series_node(&ot));
    EXPECT_EQ(test::text(ot), U"abc");
}

TEST_F(ObjectsMake, BadSpecsRaiseMalconstruct) {
    EXPECT_EQ(test::fired_id([] { make_object(int_v(3)); }), "malconstruct");
    EXPECT_EQ(test::fired_id([] { make_object(test::str(U"a: 1")); }), "malconstruct");
}

TEST_F(ObjectsMake, ConstructTakesValuesAsTheyStand) {
    const kel_value spec = b({set_word_v("a"), set_word_v("b"), 1, set_word_v("c"), word_v("on"), set_word_v("d"),
                              word_v("none"), set_word_v("e"), word_v("No"), set_word_v("f")});
    kel_value* made = object::construct(&spec, nullptr, false);
    const kel_value o = *made;
    EXPECT_EQ(int_field(o, "a"), 1);
    EXPECT_EQ(int_field(o, "b"), 1);
    const kel_value c = field(o, "c"), d = field(o, "d"), e = field(o, "e"), f = field(o, "f");
    EXPECT_EQ(type_of(&c), types::logic);
    EXPECT_TRUE(get_logic(&c));
    EXPECT_EQ(type_of(&d), types::none);
    EXPECT_EQ(type_of(&e), types::logic);
    EXPECT_FALSE(get_logic(&e));
    EXPECT_EQ(type_of(&f), types::none);  // past the end
    const kel_value* only = object::construct(&spec, nullptr, true);
    EXPECT_TRUE(test::word_named(field(*only, "c"), "on"));
    // With a prototype: its class stays even though fields were added.
    const kel_value* grown = object::construct(&spec, &o, false);
    EXPECT_EQ(object::class_of(grown), object::class_of(&o));
}

TEST_F(ObjectsMake, SetFieldsFromABlockAValueAndAnObject) {
    const kel_value o = make_object(b({set_word_v("a"), 7, set_word_v("b"), 8, set_word_v("c"), 9}));
    const kel_value one = b({1});
    object::set_fields(&o, &one, false, false, true);  // some: only the first changes
    EXPECT_EQ(int_field(o, "a"), 1);
    EXPECT_EQ(int_field(o, "b"), 8);
    EXPECT_EQ(int_field(o, "c"), 9);
    object::set_fields(&o, &one, false, false, false);
    EXPECT_EQ(int_field(o, "a"), 1);
    EXPECT_EQ(type_of(object::get_values(&o) + 1), types::none);
    EXPECT_EQ(type_of(object::get_values(&o) + 2), types::none);
    // The changed marks follow.
    EXPECT_NE(object::word_at(o.w1, 2)->header & header_changed, 0u);
    const kel_value five = int_v(5);
    object::set_fields(&o, &five, false, false, false);
    EXPECT_EQ(int_field(o, "b"), 5);
    EXPECT_EQ(int_field(o, "c"), 5);
    // /only: the block itself goes into every field.
    object::set_fields(&o, &one, false, true, false);
    EXPECT_EQ(type_of(object::get_values(&o) + 2), types::block);
    // From an object: by name, case-insensitively, missing names skipped.
    const kel_value src = make_object(b({set_word_v("C"), 30, set_word_v("zz"), 1}));
    object::set_fields(&o, &src, false, false, false);
    EXPECT_EQ(int_field(o, "c"), 30);
    EXPECT_EQ(type_of(object::get_values(&o)), types::block);
    // An unset source value needs /any.
    const kel_value holes = b({1, test::unset_v()});
    EXPECT_EQ(test::fired_id([&] { object::set_fields(&o, &holes, false, false, false); }), "need-value");
    EXPECT_EQ(last_fired().args[0].w2, test::word_v("b").w2);
    object::set_fields(&o, &holes, true, false, false);
    EXPECT_EQ(type_of(object::get_values(&o) + 1), types::unset);
}

TEST_F(ObjectsMake, CopyDeepTypedAndPart) {
    const kel_value o = make_object(b({set_word_v("blk"), b({1, b({2})}), set_word_v("n"), 4}));
    const kel_value shallow = copy_of(o, false);
    EXPECT_NE(shallow.w1, o.w1);
    EXPECT_EQ(object::class_of(&shallow), object::class_of(&o));
    const kel_value sb = field(shallow, "blk"), ob = field(o, "blk");
    EXPECT_EQ(series_node(&sb), series_node(&ob));
    const kel_value deep = copy_of(o, true);
    const kel_value db = field(deep, "blk");
    EXPECT_NE(series_node(&db), series_node(&ob));
    const kel_value inner_d = *block::ks_abs_at(&db, 1), inner_o = *block::ks_abs_at(&ob, 1);
    EXPECT_NE(series_node(&inner_d), series_node(&inner_o));
    // Typed: only the selected types are copied.
    const kel_value strings = test::type_v(types::string);
    const kel_value typed_other = copy_of(o, false, &strings);
    const kel_value tb = field(typed_other, "blk");
    EXPECT_EQ(series_node(&tb), series_node(&ob));
    const kel_value blocks = test::type_v(types::block);
    const kel_value typed = copy_of(o, false, &blocks);
    const kel_value tb2 = field(typed, "blk");
    EXPECT_NE(series_node(&tb2), series_node(&ob));
    // The words of a copy belong to the copy.
    EXPECT_EQ(object::word_at(deep.w1, 0)->w1, deep.w1);
    // copy/part is refused.
    kel_value* top = stack::top();
    EXPECT_EQ(test::fired_id([&] {
                  stack::open_native_frame(nullptr);
                  stack::push_copy(&o);
                  kel_value two = int_v(2);
                  stack::push_copy(&two);
                  refinements r = refinements::none();
                  r.at[0] = 1;
                  (void)actions::copy_star(r);
              }),
              "invalid-refine-arg");
    EXPECT_STREQ(last_fired().arg_words[0], "part");
    EXPECT_TRUE(test::word_named(*error::field_at(error::last(), error::field::arg1), "part"));
    EXPECT_EQ(get_integer(&last_fired().args[1]), 2);
    stack::reset();
    (void)top;
}

TEST_F(ObjectsMake, TypedDeepCopyOfAnObjectHoldingItselfRaisesNoCycle) {
    const kel_value o = make_object(b({set_word_v("me"), test::none_v()}));
    object::get_values(&o)[0] = o;
    kel_value ts;
    set_unset(&ts);
    ts.header = types::typeset;
    typeset_add(&ts, types::object);
    EXPECT_EQ(test::fired_id([&] { copy_of(o, true, &ts); }), "no-cycle");
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(ObjectsMake, FunctionsAreReboundToTheCopy) {
    const kel_value spec = b({word_v("x")});
    const kel_value body = b({word_v("n"), word_v("x"), word_v("self")});
    const kel_value fn = test::function_v(spec, &body);
    const kel_value o = make_object(b({set_word_v("n"), 1, set_word_v("f"), test::none_v()}));
    object::get_values(&o)[1] = fn;
    const kel_value c = copy_of(o, true);
    const kel_value cf = field(c, "f");
    ASSERT_EQ(type_of(&cf), types::function);
    EXPECT_NE(cf.w1, fn.w1);  // a fresh context
    EXPECT_NE(cf.w3, fn.w3);  // a new auxiliary block
    const auto* aux = reinterpret_cast<kel_value*>(memory::buffer_of(cf.w3)->head_ptr());
    const kel_value copied = aux[0];
    EXPECT_NE(series_node(&copied), series_node(&body));
    EXPECT_EQ(type_of(aux + 2), types::unset);  // runs interpreted
    EXPECT_EQ(word_context(block::ks_abs_at(&copied, 0)), c.w1);  // n: the copy's field
    EXPECT_EQ(word_context(block::ks_abs_at(&copied, 1)), cf.w1);  // x: the new function's argument
    EXPECT_EQ(word_context(block::ks_abs_at(&copied, 2)), c.w1);  // self
    EXPECT_EQ(word_index(block::ks_abs_at(&copied, 2)), -1);
    EXPECT_EQ(_context::owner(cf.w1)->w3, cf.w3);
    // A function without a body cannot be re-made.
    const kel_value bodiless = test::function_v(spec, nullptr);
    object::get_values(&o)[1] = bodiless;
    EXPECT_EQ(test::fired_id([&] { copy_of(o, true); }), "bad-func-def");
}

TEST_F(ObjectsMake, SelectAndPut) {
    const kel_value o = make_object(b({set_word_v("a"), 1}));
    const auto call = [&](int action, std::vector<kel_value> args) {
        stack::open_native_frame(nullptr);
        for (const kel_value& a : args) stack::push_copy(&a);
        (void)registry::handler(types::object, action)(refinements::none());
        const kel_value r = *stack::arguments();
        stack::close_frame();
        stack::drop_cells(1);
        return r;
    };
    kel_value r = call(act::select, {o, test::lit_word_v("A")});
    EXPECT_EQ(get_integer(&r), 1);
    r = call(act::select, {o, word_v("missing")});
    EXPECT_EQ(type_of(&r), types::none);
    EXPECT_EQ(test::fired_id([&] { call(act::select, {o, int_v(1)}); }), "invalid-type");
    stack::reset();
    r = call(act::put, {o, word_v("a"), int_v(9)});
    EXPECT_EQ(get_integer(&r), 9);
    EXPECT_EQ(int_field(o, "a"), 9);
    EXPECT_EQ(test::fired_id([&] { call(act::put, {o, test::set_word_v("a"), int_v(1)}); }), "invalid-key-type");
    stack::reset();
    EXPECT_EQ(test::fired_id([&] { call(act::put, {o, word_v("zz"), int_v(1)}); }), "invalid-path");
    stack::reset();
}

TEST_F(ObjectsMake, SpecWordsAreBoundBeforeTheSpecRuns) {
    // b: a reads the new object's a, not a global one.
    const kel_value a_global = word_v("a");
    const kel_value forty = int_v(40);
    _context::set_bound(const_cast<kel_value*>(&a_global), &forty);
    const kel_value o = make_object(b({set_word_v("a"), 1, set_word_v("b"), word_v("a")}));
    EXPECT_EQ(int_field(o, "b"), 1);
}

TEST_F(ObjectsMake, TheBootsWayOfMakingObjects) {
    // A context filled by index, then pushed as an object of a fixed class.
    const uint32_t ctx = _context::allocate(3, false, true, 0, _context::kind_object);
    for (const char* name : {"x", "on-change*", "on-deep-change*"}) {
        int32_t index;
        _context::index_or_add(ctx, test::canonical_symbol(name), true, &index);
    }
    kel_value* o = object::push(ctx, 277);
    EXPECT_EQ(object::word_count(o), 3);
    EXPECT_EQ(type_of(object::get_values(o) + 2), types::unset);  // values sized to the words
    EXPECT_EQ(_context::owner(ctx)->w2, 277u);
    static int bound;
    bound = 0;
    object::hooks.bind_object = [](kel_value*, const kel_value*, const kel_value*) { ++bound; };
    const uint32_t record = object::set_change_hooks(ctx, 1, 6, 2, 0);
    object::hooks = {};
    EXPECT_EQ(bound, 1);
    EXPECT_EQ(stack::last_cell()->w3, record);
    EXPECT_EQ(_context::owner(ctx)->w3, record);
    EXPECT_TRUE(object::has_deep_hook_q(stack::last_cell()));
    kel_value* again = object::push_with_hooks(ctx, record, 280);
    EXPECT_EQ(again->w3, record);
    EXPECT_EQ(object::class_of(again), 280u);
    // The class checks of compiled paths.
    const kel_value holder = make_object(b({set_word_v("r"), test::none_v()}));
    object::get_values(&holder)[0] = *again;
    EXPECT_TRUE(object::field_of_class_q(holder.w1, 0, 280));
    EXPECT_FALSE(object::field_of_class_q(holder.w1, 0, 277));
    EXPECT_FALSE(object::field_of_class_q(holder.w1, 5, 280));
    const kel_value r = *object::word_at(holder.w1, 0);
    EXPECT_TRUE(object::word_of_class_q(&r, 280));
    // An empty object from a cell.
    kel_value* cell = stack::push_unset();
    object::init_cell(cell, 2);
    EXPECT_EQ(object::word_count(cell), 0);
    EXPECT_EQ(object::class_of(cell), 0u);
    EXPECT_EQ(_context::owner(cell->w1)->w1, cell->w1);
    const kel_value missing = word_v("nope");
    EXPECT_EQ(type_of(object::value_of_word(cell, &missing)), types::none);
}
