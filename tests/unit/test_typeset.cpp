// typeset!: making from type specs, the set operations, find, comparison,
// form and mold, and the listing of a complemented typeset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/typeset.h"
#include "kernel/action_specs.h"
#include "tests/unit/dispatch_support.h"

using namespace kel;
using namespace kel::test;
namespace ar = kel::action_specs;

namespace {

using Typeset = dispatch_test;

kel_value make_ts(std::initializer_list<uint32_t> ids) {
    kel_value ts;
    typeset::init(&ts);
    for (uint32_t id : ids) typeset_add(&ts, id);
    return ts;
}

kel_value spec_of(std::initializer_list<item> items) { return b(items); }

kel_value make_via_entry(const kel_value& spec) {
    entry_call c;
    return c.arg(type_v(types::typeset)).arg(spec).run(actions::make_star);
}

std::string all_registered_names() {
    std::string out;
    for (uint32_t id = 1; id < static_cast<uint32_t>(types::table_rows); ++id) {
        if (!registry::registered_q(id)) continue;
        if (!out.empty()) out += ' ';
        out += registry::type_name(id);
    }
    return out;
}

}  // namespace

TEST_F(Typeset, MakeFromTypeSpecs) {
    const kel_value ts = make_via_entry(spec_of({type_v(types::integer), type_v(types::float_)}));
    EXPECT_EQ(mold(ts), "make typeset! [integer! float!]");
    EXPECT_EQ(form(ts), "make typeset! [integer! float!]");
    EXPECT_EQ(mold(ts, false, false, true), "integer! float!");
    EXPECT_EQ(typeset::member_count(&ts), 2);

    // A typeset in the spec is merged, a block skipped; the order of the spec
    // does not matter, members mold in id order.
    const kel_value inner = make_ts({types::block, types::none});
    const kel_value ts2 =
        make_via_entry(spec_of({type_v(types::float_), inner, b({type_v(types::string)}), type_v(types::none)}));
    EXPECT_EQ(mold(ts2), "make typeset! [none! block! float!]");

    // A typeset! spec is answered as it is; other values are refused.
    const kel_value same = make_via_entry(inner);
    EXPECT_EQ(std::memcmp(&same, &inner, 16), 0);
    EXPECT_TRUE(fires([] { make_via_entry(int_v(3)); }, "bad-to-arg"));
    EXPECT_EQ(get_datatype(&last_fired().args[0]), static_cast<uint32_t>(types::typeset));
    EXPECT_EQ(get_integer(&last_fired().args[1]), 3);
    stack::reset();
    EXPECT_TRUE(fires([] { make_via_entry(spec_of({type_v(types::integer), 1})); }, "invalid-arg"));
    EXPECT_EQ(get_integer(&last_fired().args[0]), 1);
    stack::reset();

    // `to` is the same handler.
    entry_call c;
    const kel_value t = c.arg(type_v(types::typeset)).arg(spec_of({type_v(types::pair)})).run(actions::to_star);
    EXPECT_EQ(mold(t), "make typeset! [pair!]");
}

TEST_F(Typeset, SpecHelpersAndTheUntypedArgument) {
    kel_value* holder = block::make_at_tail(nullptr, 4);
    const kel_value* ts = typeset::make_from_spec(holder, &(const kel_value&)spec_of({type_v(types::logic)}));
    EXPECT_EQ(mold(*ts), "make typeset! [logic!]");
    EXPECT_TRUE(fires([&] { typeset::make_from_spec(holder, &(const kel_value&)spec_of({none_v()})); },
                      "invalid-type-spec"));

    const kel_value* any = typeset::make_untyped_arg(holder);
    EXPECT_FALSE(typeset_has(any, types::unset));
    for (uint32_t id : {types::none, types::datatype, types::block, types::integer, types::event, types::image})
        EXPECT_TRUE(typeset_has(any, id)) << id;
    const kel_value* raw = typeset::make_at_tail(holder, 0x00A00000u, 0, 0x1u);
    EXPECT_EQ(raw->w1, 0x00A00000u);
    EXPECT_EQ(raw->w3, 0x1u);
    EXPECT_TRUE(typeset_has(raw, 16));  // byte 2, bit 0x80
    EXPECT_TRUE(typeset_has(raw, 18));  // byte 2, bit 0x20
    kel_value cleared = *raw;
    typeset::clear(&cleared);
    EXPECT_EQ(mold(cleared), "make typeset! []");

    kel_value add = make_ts({});
    typeset::add_type(&add, &(const kel_value&)type_v(types::char_));
    EXPECT_TRUE(typeset_has(&add, types::char_));
    EXPECT_TRUE(fires([&] { typeset::add_type(&add, &(const kel_value&)int_v(1)); }, "invalid-type-spec"));
}

namespace {
const kel_value integer_type = type_v(types::integer);
const kel_value* resolve(const kel_value* word) { return word_symbol(word) == 77 ? &integer_type : nullptr; }
}  // namespace

TEST_F(Typeset, WordsInSpecsAreLookedUp) {
    const kel_value word = word_v(77);
    const auto saved = typeset::resolve_word;  // the evaluator's, installed at start-up
    EXPECT_TRUE(fires([&] { make_via_entry(spec_of({word})); }, "invalid-arg"));  // no value to look up
    stack::reset();
    typeset::resolve_word = resolve;
    const kel_value ts = make_via_entry(spec_of({word}));
    EXPECT_EQ(mold(ts), "make typeset! [integer!]");
    EXPECT_TRUE(fires([&] { make_via_entry(spec_of({word_v(78)})); }, "invalid-arg"));
    EXPECT_EQ(word_symbol(&last_fired().args[0]), 78u);  // the element as written
    typeset::resolve_word = saved;
}

TEST_F(Typeset, EmptyAndPartialOutput) {
    const kel_value empty = make_ts({});
    EXPECT_EQ(mold(empty), "make typeset! []");
    EXPECT_EQ(mold(empty, false, false, true), "");
    const kel_value ts = make_ts({types::integer, types::float_, types::block});
    struct row {
        int32_t limit;
        const char* text;
    };
    const row rows[] = {{15, "make typeset! ["}, {18, "make typeset! [blo"}, {40, "make typeset! [block! integer! float!]"},
                        {1000, "make typeset! [block! integer! float!]"}};
    for (const row& r : rows) {
        entry_call c;
        const kel_value s = c.arg(ts).ref(ar::mold_ref::part, int_v(r.limit)).run(actions::mold_star);
        EXPECT_EQ(ascii(s), r.text) << r.limit;
    }
    // The handler stops once the budget is spent (and says so in its answer).
    kel_value buffer;
    text_out::new_buffer(&buffer, 16);
    kel_value* held = stack::push_copy(&buffer);
    const kel_value one = int_v(16);
    const int32_t left = typeset::mold(&ts, held, false, false, false, &one, 16, 0);
    EXPECT_EQ(ascii(*held), "make typeset! [block!]");  // one member, then the budget is spent
    EXPECT_EQ(left, 16 - 15 - 7);
}

TEST_F(Typeset, FindTakesADatatype) {
    const kel_value ts = make_ts({types::integer});
    entry_call c1;
    EXPECT_TRUE(get_logic(&(const kel_value&)c1.arg(ts).arg(type_v(types::integer)).run(actions::find_star)));
    entry_call c2;
    EXPECT_FALSE(get_logic(&(const kel_value&)c2.arg(ts).arg(type_v(types::float_)).run(actions::find_star)));
    EXPECT_TRUE(fires([&] { entry_call().arg(ts).arg(int_v(1)).run(actions::find_star); }, "invalid-arg"));
    EXPECT_EQ(get_integer(&last_fired().args[0]), 1);
}

TEST_F(Typeset, CompareIsEqualityOnly) {
    const kel_value a = make_ts({types::integer, types::float_});
    const kel_value b2 = make_ts({types::float_, types::integer});
    const kel_value c = make_ts({types::integer});
    EXPECT_TRUE(actions::compare_by_op(&a, &b2, cmp::equal));
    EXPECT_TRUE(actions::compare_by_op(&a, &b2, cmp::strict_equal));
    EXPECT_TRUE(actions::compare_by_op(&a, &b2, cmp::same));
    EXPECT_TRUE(actions::compare_by_op(&a, &b2, cmp::find));
    EXPECT_FALSE(actions::compare_by_op(&a, &c, cmp::equal));
    EXPECT_TRUE(actions::compare_by_op(&a, &c, cmp::not_equal));
    EXPECT_TRUE(fires([&] { (void)actions::compare_by_op(&a, &c, cmp::lesser); }, "invalid-compare"));
    EXPECT_TRUE(fires([&] { (void)actions::compare_by_op(&a, &c, cmp::greater_or_equal); }, "invalid-compare"));
    // Against another kind: unequal.
    const kel_value dt = type_v(types::integer);
    EXPECT_FALSE(actions::compare_by_op(&c, &dt, cmp::equal));
    // The sort orders go by member count.
    EXPECT_EQ(typeset::compare(&a, &c, cmp::sort), 1);
    EXPECT_EQ(typeset::compare(&c, &a, cmp::case_sort), -1);
    EXPECT_EQ(typeset::compare(&a, &b2, cmp::sort), 0);
    EXPECT_EQ(typeset::compare(&a, &b2, cmp::equal10), cmp::not_comparable);
}

TEST_F(Typeset, SetOperations) {
    const kel_value a = make_ts({types::integer, types::float_, types::block});
    const kel_value b2 = make_ts({types::float_, types::string});
    struct row {
        int32_t code;
        std::vector<uint32_t> members;
    };
    const row rows[] = {
        {5, {types::block, types::string, types::integer, types::float_}},
        {9, {types::block, types::string, types::integer, types::float_}},
        {6, {types::float_}},
        {10, {types::float_}},
        {7, {types::block, types::string, types::integer}},
        {12, {types::block, types::string, types::integer}},
        {11, {types::block, types::integer}},
        {8, {types::block, types::integer, types::float_}},
    };
    for (const row& r : rows) {
        stack::reset();
        stack::push_copy(&a);
        stack::push_copy(&b2);
        typeset::set_op(r.code);
        kel_value expected;
        typeset::init(&expected);
        for (uint32_t id : r.members) typeset_add(&expected, id);
        const kel_value* got = stack::arguments();
        EXPECT_EQ(type_of(got), types::typeset);
        EXPECT_TRUE(got->w1 == expected.w1 && got->w2 == expected.w2 && got->w3 == expected.w3) << r.code;
    }
    // Through the actions; a datatype! is a one-member typeset.
    entry_call c1;
    const kel_value u = c1.arg(a).arg(type_v(types::pair)).run(actions::or_star);
    EXPECT_EQ(mold(u), "make typeset! [block! integer! float! pair!]");
    entry_call c2;
    const kel_value i = c2.arg(a).arg(b2).run(actions::and_star);
    EXPECT_EQ(mold(i), "make typeset! [float!]");
    entry_call c3;
    const kel_value x = c3.arg(a).arg(b2).run(actions::xor_star);
    EXPECT_EQ(mold(x), "make typeset! [block! string! integer!]");
    EXPECT_TRUE(fires([&] { entry_call().arg(a).arg(int_v(2)).run(actions::or_star); }, "invalid-arg"));
    stack::reset();
    // Actions a typeset does not have.
    EXPECT_TRUE(fires([&] { entry_call().arg(a).run(actions::length_q_star); }, "expect-arg"));
}

// complement sets bits of ids no datatype has; listing walks registered ids.
TEST_F(Typeset, ComplementListsRegisteredTypesOnly) {
    const kel_value a = make_ts({types::integer});
    entry_call c;
    const kel_value k = c.arg(a).run(actions::complement_star);
    EXPECT_EQ(k.w1, ~a.w1);
    EXPECT_EQ(k.w2, ~a.w2);
    EXPECT_EQ(k.w3, 0xFFFFFFFFu);  // ids 64-95 are set too
    std::string expected = all_registered_names();
    expected.erase(expected.find("integer! "), 9);
    EXPECT_EQ(mold(k), "make typeset! [" + expected + "]");
    EXPECT_EQ(mold(k, false, false, true), expected);
    EXPECT_EQ(typeset::member_count(&k), static_cast<int32_t>(registry::highest_type_id) - 1);

    kel_value* list = block::make_at_tail(nullptr, 1);
    typeset::to_block(&k, list);
    const int32_t n = block::ks_length_q(list);
    int32_t registered = 0;
    for (uint32_t id = 1; id < static_cast<uint32_t>(types::table_rows); ++id) registered += registry::registered_q(id);
    EXPECT_EQ(n, registered - 1);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* d = block::ks_abs_at(list, i);
        ASSERT_EQ(type_of(d), types::datatype);
        EXPECT_TRUE(registry::registered_q(get_datatype(d)));
        EXPECT_NE(get_datatype(d), static_cast<uint32_t>(types::integer));
        if (i > 0) {
            EXPECT_LT(get_datatype(block::ks_abs_at(list, i - 1)), get_datatype(d));
        }
    }
    // Twice complemented is the original.
    entry_call back;
    const kel_value again = back.arg(k).run(actions::complement_star);
    EXPECT_TRUE(actions::compare_by_op(&again, &a, cmp::equal));
}
