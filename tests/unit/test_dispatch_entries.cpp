// The generic action entries: their shared rules (/part of append, insert and
// change; pick/poke indexes; form/mold /part; length? and even?/odd?
// answers; copy /types), handler lookup and its errors, wrapped control
// codes, and the explicit-argument helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "kernel/action_specs.h"
#include "tests/unit/dispatch_support.h"

using namespace kel;
using namespace kel::test;
namespace ar = kel::action_specs;

namespace {

using DispatchEntries = dispatch_test;

// What the last recording handler received.
struct seen_call {
    int calls = 0;
    refinements refs = refinements::none();
    std::vector<kel_value> args;  // arguments 1-6 (read as they lie)
    kel_value part{};
    bool has_part = false;
} seen;

signal_code recording_handler(const refinements& r) {
    seen.calls++;
    seen.refs = r;
    seen.args.clear();
    for (int i = 1; i <= 6; ++i) seen.args.push_back(*stack::argument(i));
    seen.has_part = r.has(0);
    if (seen.has_part) seen.part = *(stack::arguments() + r.at[0]);
    return signal_code::none;
}

kel_value at_head(kel_value v, int32_t head) {
    set_series_head(&v, head);
    return v;
}

kel_value float_v(double d) {
    kel_value v;
    set_float(&v, d);
    return v;
}

kel_value cell_of(uint32_t type) {
    kel_value v;
    init_cell(&v, type);
    return v;
}

}  // namespace

TEST_F(DispatchEntries, TableHoldsAnEntryPerActionButEight) {
    for (int a = 1; a <= act::count; ++a) {
        if (a == act::unused8) EXPECT_EQ(actions::entry(a), nullptr);
        else EXPECT_NE(actions::entry(a), nullptr) << a;
    }
    EXPECT_EQ(actions::entry(act::append), &actions::append_star);
    EXPECT_EQ(actions::entry(act::path_step), &actions::path_step_star);
    EXPECT_EQ(actions::entry(act::compare), &actions::compare_star);
    EXPECT_EQ(actions::entry(0), nullptr);
    EXPECT_EQ(actions::entry(63), nullptr);
}

// /part of append and insert counts in the value inserted; of change, in the
// series changed. A series /part becomes an integer! count for the handler.
TEST_F(DispatchEntries, PartRulesOfAppendInsertChange) {
    const kel_value value = b({1, 2, 3, 4});
    const kel_value other = b({1, 2, 3, 4});
    const kel_value target = b({9});
    kel_value as_paren = value;
    set_type(&as_paren, types::paren);
    struct row {
        const char* what;
        int action;
        kel_value series, value, part;
        const char* error;  // null: the handler runs
        int32_t count;
        int32_t value_head;  // the head the handler sees on the reference value
    };
    const row rows[] = {
        {"integer", act::append, target, value, int_v(2), nullptr, 2, 0},
        {"integer negative", act::insert, target, value, int_v(-3), nullptr, -3, 0},
        {"same series ahead", act::append, target, at_head(value, 1), at_head(value, 3), nullptr, 2, 1},
        {"same series behind", act::insert, target, at_head(value, 2), at_head(value, 0), nullptr, -2, 2},
        {"part past the tail", act::append, target, at_head(value, 1), at_head(value, 10), nullptr, 3, 1},
        {"value past the tail", act::insert, target, at_head(value, 6), at_head(value, 2), nullptr, -2, 4},
        {"other series", act::append, target, value, other, "invalid-refine-arg", 0, 0},
        {"same buffer, other type", act::insert, target, value, as_paren, "invalid-refine-arg", 0, 0},
        {"value not a series", act::append, target, int_v(5), value, "invalid-refine-arg", 0, 0},
        {"float", act::append, target, value, float_v(2.0), "invalid-part", 0, 0},
        {"none", act::insert, target, value, none_v(), "invalid-part", 0, 0},
        {"change counts in the series", act::change, at_head(value, 1), int_v(0), at_head(value, 3), nullptr, 2, 1},
        {"change with the value's series", act::change, target, value, at_head(value, 2), "invalid-refine-arg", 0,
         0},
        {"change integer", act::change, target, int_v(0), int_v(1), nullptr, 1, 0},
    };
    slot_swap s1(types::block, act::append, recording_handler);
    slot_swap s2(types::block, act::insert, recording_handler);
    slot_swap s3(types::block, act::change, recording_handler);
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        seen = {};
        stack::reset();
        auto call = [&] {
            entry_call c;
            c.arg(r.series).arg(r.value).ref(ar::append_ref::part, r.part);
            c.run(actions::entry(r.action));
        };
        if (r.error) {
            EXPECT_TRUE(fires(call, r.error));
            EXPECT_EQ(seen.calls, 0);
            if (std::string(r.error) == "invalid-refine-arg") {
                EXPECT_STREQ(last_fired().arg_words[0], "/part");
            }
            continue;
        }
        call();
        ASSERT_EQ(seen.calls, 1);
        ASSERT_TRUE(seen.has_part);
        EXPECT_EQ(type_of(&seen.part), types::integer);
        EXPECT_EQ(get_integer(&seen.part), r.count);
        const kel_value& reference = r.action == act::change ? seen.args[0] : seen.args[1];
        if (in_family(type_of(&reference), family::series)) {
            EXPECT_EQ(series_head(&reference), r.value_head);
        }
    }
}

TEST_F(DispatchEntries, PortTargetsGetTheirPartAsGiven) {
    slot_swap s(types::port, act::append, recording_handler);
    const kel_value unrelated = b({1, 2});
    seen = {};
    entry_call c;
    c.arg(cell_of(types::port)).arg(int_v(1)).ref(ar::append_ref::part, unrelated);
    c.run(actions::append_star);
    ASSERT_EQ(seen.calls, 1);
    EXPECT_EQ(type_of(&seen.part), types::block);
    EXPECT_EQ(series_node(&seen.part), series_node(&unrelated));
}

TEST_F(DispatchEntries, PickAndPokeIndexes) {
    const kel_value blk = b({10, 20, 30});
    struct row {
        kel_value index;
        int32_t machine;
        int32_t picked;  // INT32_MIN: none!
    };
    const row rows[] = {
        {int_v(3), 3, 30},           {logic_v(true), 1, 10},   {logic_v(false), 2, 20},
        {char_v(2), 2, 20},          {int_v(0), 0, INT32_MIN}, {int_v(4), 4, INT32_MIN},
        {none_v(), 0, INT32_MIN},    {int_v(-1), -1, INT32_MIN},
    };
    for (const row& r : rows) {
        EXPECT_EQ(actions::index_argument(&r.index), r.machine);
        entry_call c;
        const kel_value v = c.arg(blk).arg(r.index).run(actions::pick_star);
        if (r.picked == INT32_MIN) EXPECT_EQ(type_of(&v), types::none);
        else EXPECT_EQ(get_integer(&v), r.picked);
    }
    // From the second element, -1 picks the one before the head.
    entry_call back;
    const kel_value before = back.arg(at_head(blk, 1)).arg(int_v(-1)).run(actions::pick_star);
    EXPECT_EQ(get_integer(&before), 10);

    const kel_value target = b({1, 2, 3});
    entry_call p1;
    p1.arg(target).arg(logic_v(false)).arg(int_v(99)).run(actions::poke_star);
    entry_call p2;
    p2.arg(target).arg(logic_v(true)).arg(int_v(77)).run(actions::poke_star);
    entry_call p3;
    p3.arg(target).arg(char_v(3)).arg(int_v(55)).run(actions::poke_star);
    EXPECT_EQ(ints(target), (std::vector<int32_t>{77, 99, 55}));
}

TEST_F(DispatchEntries, FormAndMoldPart) {
    const kel_value blk = b({1, 2, 3});
    struct row {
        bool mold;
        int32_t limit;  // INT32_MIN: no /part
        bool only;
        const char* text;
    };
    const row rows[] = {
        {false, INT32_MIN, false, "1 2 3"}, {false, 2, false, "1 "},   {false, 0, false, ""},
        {false, -5, false, ""},             {false, 100, false, "1 2 3"}, {true, INT32_MIN, false, "[1 2 3]"},
        {true, 3, false, "[1 "},            {true, 0, false, ""},      {true, -1, false, ""},
        {true, INT32_MIN, true, "1 2 3"},   {true, 1, true, "1"},
    };
    for (const row& r : rows) {
        entry_call c;
        c.arg(blk);
        if (r.mold && r.only) c.flag(ar::mold_ref::only);
        const int part_slot = r.mold ? static_cast<int>(ar::mold_ref::part) : static_cast<int>(ar::form_ref::part);
        if (r.limit != INT32_MIN) c.ref(part_slot, int_v(r.limit));
        const kel_value s = c.run(r.mold ? actions::mold_star : actions::form_star);
        EXPECT_EQ(type_of(&s), types::string);
        EXPECT_EQ(ascii(s), r.text) << r.mold << " " << r.limit;
    }
}

namespace {
signal_code answer_minus_one(const refinements&) {
    set_integer(stack::arguments(), -1);
    return signal_code::none;
}
signal_code answer_seven(const refinements&) {
    set_integer(stack::arguments(), 7);
    return signal_code::none;
}
signal_code answer_int_one(const refinements&) {
    set_integer(stack::arguments(), 1);
    return signal_code::none;
}
signal_code answer_int_zero(const refinements&) {
    set_integer(stack::arguments(), 0);
    return signal_code::none;
}
signal_code answer_logic_false(const refinements&) {
    set_logic(stack::arguments(), false);
    return signal_code::none;
}
}  // namespace

TEST_F(DispatchEntries, LengthMinusOneIsNoneAndParityIsLogic) {
    {
        slot_swap s(types::money, act::length_q, answer_minus_one);
        entry_call c;
        const kel_value v = c.arg(cell_of(types::money)).run(actions::length_q_star);
        EXPECT_EQ(type_of(&v), types::none);
    }
    {
        slot_swap s(types::money, act::length_q, answer_seven);
        entry_call c;
        const kel_value v = c.arg(cell_of(types::money)).run(actions::length_q_star);
        EXPECT_EQ(get_integer(&v), 7);
    }
    entry_call len;
    const kel_value n = len.arg(b({1, 2, 3})).run(actions::length_q_star);
    EXPECT_EQ(get_integer(&n), 3);

    struct row {
        action_fn handler;
        int action;
        bool expected;
    };
    const row rows[] = {
        {answer_int_one, act::even_q, true},
        {answer_int_zero, act::odd_q, false},
        {answer_logic_false, act::even_q, false},
    };
    for (const row& r : rows) {
        slot_swap s(types::integer, r.action, r.handler);
        entry_call c;
        const kel_value v = c.arg(int_v(4)).run(actions::entry(r.action));
        EXPECT_EQ(type_of(&v), types::logic);
        EXPECT_EQ(get_logic(&v), r.expected);
    }
}

TEST_F(DispatchEntries, CopyTypesMustBeADatatypeOrTypeset) {
    const kel_value blk = b({1, 2});
    EXPECT_TRUE(fires(
        [&] {
            entry_call c;
            c.arg(blk).ref(ar::copy_ref::types, int_v(3)).run(actions::copy_star);
        },
        "expect-arg"));
    EXPECT_EQ(get_datatype(&last_fired().args[1]), static_cast<uint32_t>(types::integer));
    EXPECT_STREQ(last_fired().arg_words[2], "kind");

    kel_value ts;
    init_cell(&ts, types::typeset);
    for (const kel_value& kind : {type_v(types::block), ts}) {
        entry_call c;
        const kel_value copy = c.arg(blk).ref(ar::copy_ref::types, kind).run(actions::copy_star);
        EXPECT_NE(series_node(&copy), series_node(&blk));
        EXPECT_EQ(ints(copy), (std::vector<int32_t>{1, 2}));
    }
}

TEST_F(DispatchEntries, UnsupportedActionNamesTheCallTheTypeAndTheArgument) {
    const kel_value caller = word_v(70001, 0x40000123);  // past 16 bits on purpose
    const kel_value body = word_v(11);
    const auto saved = stack::names;
    stack::record_names(11, 12, nullptr);
    set_unset(&stack::names.not_found);  // as before the runtime words record it
    stack::open_native_frame(&caller);
    EXPECT_TRUE(fires(
        [&] {
            entry_call c(&body);  // anonymous: skipped when naming
            c.arg(b({1})).arg(int_v(1)).run(actions::add_star);
        },
        "expect-arg"));
    const fired_error& e = last_fired();
    EXPECT_EQ(type_of(&e.args[0]), types::word);
    EXPECT_EQ(word_symbol(&e.args[0]), 70001u);
    EXPECT_EQ(word_context(&e.args[0]), 0x40000123u);
    EXPECT_EQ(get_datatype(&e.args[1]), static_cast<uint32_t>(types::block));
    EXPECT_STREQ(e.arg_words[2], "value1");

    // No named mark: "<not-found>" while the word is not recorded.
    stack::reset();
    slot_swap no_append(types::block, act::append, static_cast<action_fn>(nullptr));  // an unsupported slot
    EXPECT_TRUE(fires([&] { entry_call(&body).arg(b({})).run(actions::append_star); }, "expect-arg"));
    EXPECT_STREQ(last_fired().arg_words[0], "<not-found>");
    EXPECT_STREQ(last_fired().arg_words[2], "series");
    stack::names = saved;
}

TEST_F(DispatchEntries, MakeAndToDispatchOnTheNamedType) {
    for (action_fn entry : {actions::make_star, actions::to_star}) {
        entry_call c;
        const kel_value ts = c.arg(type_v(types::typeset)).arg(b({type_v(types::integer)})).run(entry);
        EXPECT_EQ(type_of(&ts), types::typeset);
        EXPECT_TRUE(typeset_has(&ts, types::integer));
        EXPECT_FALSE(typeset_has(&ts, types::float_));
    }
    // A type with no make handler: the error names that type.
    EXPECT_TRUE(fires([] { entry_call().arg(type_v(types::handle)).arg(int_v(1)).run(actions::make_star); },
                      "expect-arg"));
    EXPECT_EQ(get_datatype(&last_fired().args[1]), static_cast<uint32_t>(types::handle));
    EXPECT_STREQ(last_fired().arg_words[2], "type");
}

namespace {
int port_lookups = 0;
actions::port_lookup port_with_table(const kel_value*, int action) {
    ++port_lookups;
    if (action == act::append) return {true, recording_handler};
    if (action == act::insert) return {true, nullptr};
    return {false, nullptr};
}
}  // namespace

TEST_F(DispatchEntries, PortActorTable) {
    const actions::port_actor_fn installed = actions::port_actor;
    actions::port_actor = port_with_table;
    seen = {};
    entry_call c;
    c.arg(cell_of(types::port)).arg(int_v(1)).run(actions::append_star);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_TRUE(fires([] { entry_call().arg(cell_of(types::port)).arg(int_v(1)).run(actions::insert_star); },
                      "no-port-action"));
    EXPECT_EQ(last_fired().category, error_category::access);
    // Not a native actor: the port!'s row, which has no open?.
    EXPECT_TRUE(fires([] { entry_call().arg(cell_of(types::port)).run(actions::open_q_star); }, "expect-arg"));
    // Actions below append never ask the actor.
    const int before = port_lookups;
    EXPECT_TRUE(fires([] { entry_call().arg(cell_of(types::port)).run(actions::negate_star); }, "expect-arg"));
    EXPECT_EQ(port_lookups, before);
    actions::port_actor = installed;
}

namespace {
signal_code times_ten_step(const path_step_args& a) {
    if (a.value_to_set) {
        set_integer(a.result, get_integer(a.value_to_set) + 1000);
        return signal_code::none;
    }
    set_integer(a.result, get_integer(a.element) * 10 + (a.last ? 1 : 0));
    return signal_code::none;
}
}  // namespace

TEST_F(DispatchEntries, PathStepEntryAndItsErrors) {
    const kel_value blk = b({1});
    {
        slot_swap unsupported(types::block, act::path_step, static_cast<path_fn>(nullptr));
        EXPECT_TRUE(
            fires([&] { entry_call().arg(blk).arg(int_v(2)).run(actions::path_step_star); }, "bad-path-type2"));
        EXPECT_EQ(get_integer(&last_fired().args[0]), 2);
        EXPECT_EQ(get_datatype(&last_fired().args[1]), static_cast<uint32_t>(types::block));
    }

    slot_swap s(types::block, act::path_step, times_ten_step);
    entry_call get;
    const kel_value g = get.arg(blk).arg(int_v(4)).run(actions::path_step_star);
    EXPECT_EQ(get_integer(&g), 41);
    entry_call set;
    const kel_value v = set.arg(blk).arg(int_v(4)).ref(0, int_v(5)).run(actions::path_step_star);
    EXPECT_EQ(get_integer(&v), 1005);
}

TEST_F(DispatchEntries, PathErrorCarriesThePathCutBeforeTheElement) {
    const kel_value path = block_of({int_v(7), int_v(8), int_v(9)}, types::path);
    const kel_value parent = int_v(1);
    const kel_value element = int_v(9);
    kel_value result;
    path_step_args a{};
    a.parent = const_cast<kel_value*>(&parent);
    a.element = &element;
    a.path = &path;
    a.step = 1;  // the third element
    a.result = &result;
    EXPECT_TRUE(fires([&] { (void)actions::eval_path_value(a); }, "bad-path-type"));
    const fired_error& e = last_fired();
    EXPECT_EQ(series_node(&e.args[0]), series_node(&path));
    EXPECT_EQ(get_datatype(&e.args[1]), static_cast<uint32_t>(types::integer));
    EXPECT_EQ(type_of(&e.args[2]), types::path);
    EXPECT_EQ(ints(e.args[2]), (std::vector<int32_t>{7, 8}));
    // Without a path: the element and the type only.
    EXPECT_TRUE(fires([&] { (void)actions::lookup_handler(&parent, nullptr, &element, 2); }, "bad-path-type2"));
}

namespace {
signal_code throws_break(const refinements&) { stack::throw_code(signal_code::break_); }
signal_code throws_error(const refinements&) { fire(error_category::math, "zero-divide"); }
}  // namespace

TEST_F(DispatchEntries, WrappedCodesComeBackAsReturnedCodes) {
    {
        slot_swap s(types::money, act::clear, throws_break);
        entry_call c;
        c.arg(cell_of(types::money)).run(actions::clear_star, signal_code::break_);
    }
    slot_swap s(types::money, act::clear, throws_error);
    EXPECT_TRUE(fires([] { entry_call().arg(cell_of(types::money)).run(actions::clear_star); }, "zero-divide"));
    EXPECT_EQ(stack::catch_code([] { return signal_code::none; }), signal_code::none);
    EXPECT_EQ(stack::catch_code([]() -> signal_code { stack::throw_code(signal_code::continue_); }),
              signal_code::continue_);
}

TEST_F(DispatchEntries, HelpersLeaveTheStacksAsTheyFoundThem) {
    const kel_value blk = b({1, 2, 3});
    kel_value* top = stack::top();
    kel_value copy;
    actions::copy_value(&blk, &copy, nullptr, false, nullptr);
    EXPECT_NE(series_node(&copy), series_node(&blk));
    EXPECT_EQ(ints(copy), (std::vector<int32_t>{1, 2, 3}));
    const kel_value two = int_v(2);
    actions::copy_value(&blk, &copy, &two, false, nullptr);
    EXPECT_EQ(ints(copy), (std::vector<int32_t>{1, 2}));
    // In place: value and result the same cell.
    kel_value same = blk;
    actions::copy_value(&same, &same, nullptr, true, nullptr);
    EXPECT_NE(series_node(&same), series_node(&blk));

    actions::poke_value(&blk, 2, &two);
    actions::poke_value(&blk, 3, &two);
    EXPECT_EQ(ints(blk), (std::vector<int32_t>{1, 2, 2}));
    EXPECT_EQ(stack::top(), top);
    EXPECT_EQ(stack::mark_depth(), 0);

    kel_value buffer;
    text_out::new_buffer(&buffer, 4);
    kel_value* held = stack::push_copy(&buffer);
    EXPECT_EQ(actions::form_value(&blk, held, nullptr, 100), 100 - 5);
    EXPECT_EQ(actions::mold_value(&blk, held, false, false, false, nullptr, 100, 0), 100 - 7);
    EXPECT_EQ(ascii(*held), "1 2 2[1 2 2]");
}

TEST_F(DispatchEntries, FindAndOpenHelpersPassTheirRefinementsInSlotOrder) {
    slot_swap s1(types::block, act::find, recording_handler);
    const kel_value blk = b({1, 2});
    const kel_value part = int_v(5), skip = int_v(2), key = int_v(1);
    actions::find_options o;
    o.part = &part;
    o.case_ = true;
    o.skip = &skip;
    o.tail = true;
    seen = {};
    kel_value result;
    actions::find_value(&blk, &key, o, &result);
    ASSERT_EQ(seen.calls, 1);
    const refinements& r = seen.refs;
    EXPECT_EQ(r.at[ar::find_ref::part], 2);
    EXPECT_EQ(r.at[ar::find_ref::case_], 3);
    EXPECT_EQ(r.at[ar::find_ref::skip], 3);
    EXPECT_EQ(r.at[ar::find_ref::tail], 4);
    for (int i : {ar::find_ref::only, ar::find_ref::same, ar::find_ref::any, ar::find_ref::with, ar::find_ref::last,
                  ar::find_ref::reverse, ar::find_ref::match})
        EXPECT_FALSE(r.has(i)) << i;
    EXPECT_EQ(get_integer(&seen.part), 5);
    EXPECT_EQ(get_integer(&seen.args[3]), 2);  // the /skip argument follows /part's

    slot_swap s2(types::port, act::open, recording_handler);
    const kel_value allow = b({});
    actions::open_options oo;
    oo.read = true;
    oo.allow = &allow;
    seen = {};
    EXPECT_TRUE(fires([&] { actions::open_value(&blk, oo, &result); }, "expect-arg"));  // a block has no open
    EXPECT_EQ(seen.calls, 0);
    stack::reset();
    const kel_value port = cell_of(types::port);
    actions::open_value(&port, oo, &result);
    ASSERT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.refs.at[ar::open_ref::read], 1);
    EXPECT_EQ(seen.refs.at[ar::open_ref::allow], 1);
    EXPECT_FALSE(seen.refs.has(ar::open_ref::new_));
    EXPECT_EQ(stack::mark_depth(), 0);
}
