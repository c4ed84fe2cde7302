// time!: its text (never 60 seconds or minutes), make and to, arithmetic and
// result types, the hour/minute/second fields through paths and pick,
// rounding, and the handlers time! takes from float!.
#include <gtest/gtest.h>

#include <cmath>

#include "datatypes/date.h"
#include "datatypes/integer.h"
#include "datatypes/time.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/scalar_harness.h"

using namespace kel;
using test::call_action;
using test::flt;
using test::int_v;
using test::show;
using test::tm;

TEST(ScalarTime, Text) {
    // `exact` is the mold/all text where it writes more digits than form
    // and mold: those that load back as the very value.
    struct row { double seconds; const char* text; const char* exact = nullptr; };
    const row rows[] = {
        {0, "0:00:00"}, {1e-7, "0:00:00", "0:00:00.0000001"}, {-1e-7, "-0:00:00", "-0:00:00.0000001"},
        {-3723.5, "-1:02:03.5"}, {3723, "1:02:03"},
        {1.5, "0:00:01.5"}, {-90, "-0:01:30"}, {360000, "100:00:00"}, {12.25, "0:00:12.25"}, {3.25, "0:00:03.25"},
        {1.0 / 3.0, "0:00:00.333333", "0:00:00.3333333333333333"}, {59.5, "0:00:59.5"},
        {0.000001, "0:00:00.000001"},
        // Seconds that show as 60 carry into the minutes, and the minutes into the hours.
        {59.9999999, "0:01:00", "0:00:59.9999999"}, {119.9999999, "0:02:00", "0:01:59.9999999"},
        {3599.9999999, "1:00:00", "0:59:59.9999999"}, {-3599.9999999, "-1:00:00", "-0:59:59.9999999"},
        {3599.9999999999995, "1:00:00", "0:59:59.9999999999995"}, {86399.99999999, "24:00:00", "23:59:59.99999999"},
        {7730941132800.0, "2147483648:00:00"},  // hours beyond int32
        {1e20, "27777777777777777:46:40"},  // hours in full, not rounded to a float
        {1e300, "277777777777777792362433404223450069084574605863377543032181698753278460552474498829547604189013295567695678842467743938039589787600119604345775606885196384124552000257382167704952842720774469460935820343047444429189199733046566911131847984105595137383127441338904678566143241520054551907072055705:36:00"},
        {INFINITY, "1.#INF"}, {-INFINITY, "-1.#INF"}, {NAN, "1.#NaN"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(test::form(tm(r.seconds)), r.text) << r.seconds;
        EXPECT_EQ(test::mold(tm(r.seconds)), r.text) << r.seconds;
        EXPECT_EQ(test::mold(tm(r.seconds), true), r.exact ? r.exact : r.text) << r.seconds;
    }
    // Budget: hours, then 1 + 2 for the minutes, 1 + the seconds text; the
    // minus sign is not counted.
    test::boot();
    struct budget { double seconds; int32_t left; };
    const budget budgets[] = {{3723, 93}, {-3723, 93}, {1.5, 91}, {12.25, 90}, {0, 93}};
    for (const budget& b : budgets) {
        kel_value buffer;
        text_out::new_buffer(&buffer, 16);
        EXPECT_EQ(time::serialize(b.seconds, &buffer, 100), b.left) << b.seconds;
    }
}

TEST(ScalarTime, Fields) {
    EXPECT_EQ(time::hours_of(3723.5), 1);
    EXPECT_EQ(time::hours_of(-3723.5), -1);
    EXPECT_EQ(time::hours_of(3599.9999999999995), 0);
    EXPECT_EQ(time::minutes_of(-3723.5), 2);
    EXPECT_EQ(time::minutes_of(3599.9999999999995), 59);
    EXPECT_TRUE(fires([] { time::hours_of(1e20); }, "type-limit"));
    test::boot();
    const kel_value t = tm(3723.5);
    kel_value out;
    time::get_field(&t, time::hour, &out);
    EXPECT_EQ(show(out), "integer! 1");
    time::get_field(&t, time::minute, &out);
    EXPECT_EQ(show(out), "integer! 2");
    time::get_field(&t, time::second, &out);
    EXPECT_EQ(show(out), "float! 3.5");
    const kel_value n = tm(-3723.5);
    time::get_field(&n, time::second, &out);
    EXPECT_EQ(show(out), "float! -3.5");
    stack::reset();
    EXPECT_EQ(show(*time::push_field(&n, time::hour)), "integer! -1");
    stack::reset();
}

TEST(ScalarTime, MakeAndTo) {
    test::boot();
    const kel_value time_type = test::type_v(types::time);
    struct row { kel_value spec; const char* expected; };
    const row rows[] = {
        {test::b({1, 30}), "time! 1:30:00"},
        {test::b({1, -30}), "!bad-to-arg"},
        {test::b({1, 2, 3, 4}), "!bad-to-arg"},
        {test::b({}), "time! 0:00:00"},
        {test::b({-1, 30}), "time! -1:30:00"},
        {test::b({1, 90, 0}), "time! 2:30:00"},
        {test::b({1, 2, flt(3.5)}), "time! 1:02:03.5"},
        {test::b({1, 2, -3}), "!bad-to-arg"},
        {test::b({flt(1.5)}), "!bad-to-arg"},
        {test::b({1, flt(2.0)}), "!bad-to-arg"},
        {test::b({test::none_v()}), "!bad-to-arg"},
        {test::b({INT32_MIN}), "time! -2147483648:00:00"},
        {int_v(90), "time! 0:01:30"},
        {flt(1.5), "time! 0:00:01.5"},
        {test::pct(0.5), "time! 0:00:00.5"},
        {tm(7), "time! 0:00:07"},
        {test::none_v(), "!bad-to-arg"},
        {test::char_v('A'), "!bad-to-arg"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(show(call_action(act::make, {time_type, r.spec})), r.expected) << test::mold(r.spec);
        EXPECT_EQ(show(call_action(act::to, {time_type, r.spec})), r.expected) << test::mold(r.spec);
    }
    // Text is scanned by the lexer; a result that is not a time! is refused.
    EXPECT_EQ(show(call_action(act::to, {time_type, test::str(U"1:30")})), "time! 1:30:00");  // the lexer's scan
    const auto lexer_scan = scalar::hooks.scan_value;  // the lexer's, put back below
    scalar::hooks.scan_value = [](const kel_value* text, kel_value* out) {
        const std::u32string t = test::text(*text);
        if (t == U"1:30") set_float(out, 5400.0, types::time);
        else if (t == U"abc") init_cell(out, types::word);
        else return false;
        return true;
    };
    EXPECT_EQ(show(call_action(act::to, {time_type, test::str(U"1:30")})), "time! 1:30:00");
    EXPECT_EQ(show(call_action(act::to, {time_type, test::str(U"abc")})), "!bad-to-arg");
    EXPECT_EQ(show(call_action(act::to, {time_type, test::str(U"1:30 2")})), "!bad-to-arg");
    scalar::hooks.scan_value = lexer_scan;
}

TEST(ScalarTime, ArithmeticAndResultTypes) {
    kel_value date;
    date::init_cell(&date, 2020, 1, 1, 0.0, 0, 0, false);
    struct row { int action; kel_value a, b; const char* expected; };
    const row rows[] = {
        {act::add, tm(60), int_v(1), "time! 0:01:01"},
        {act::add, tm(60), tm(60), "time! 0:02:00"},
        {act::subtract, tm(60), flt(0.5), "time! 0:00:59.5"},
        {act::subtract, tm(60), date, "!not-related"},
        {act::multiply, tm(60), int_v(2), "time! 0:02:00"},
        {act::multiply, tm(60), tm(2), "!not-related"},
        {act::divide, tm(60), tm(30), "float! 2.0"},
        {act::divide, tm(60), int_v(2), "time! 0:00:30"},
        {act::divide, tm(60), int_v(0), "time! 1.#INF"},
        {act::remainder, tm(90), int_v(60), "time! 0:00:30"},
        {act::add, tm(60), test::char_v(1), "!invalid-type"},
        {act::power, tm(60), int_v(2), "unsupported"},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(r.action, {r.a, r.b})), r.expected) << test::mold(r.a) << " " << r.action;
    // a time plus a date is the date's own add: the date with its clock moved
    const test::outcome moved = call_action(act::add, {tm(60), date});
    ASSERT_EQ(type_of(&moved.value), types::date) << moved.error;
    EXPECT_EQ(date::days_of(date::packed(&moved.value)), date::days_of(date::packed(&date)));
    EXPECT_EQ(get_float(&moved.value), 60.0);
    EXPECT_EQ(show(call_action(act::negate, {tm(3600)})), "time! -1:00:00");
    EXPECT_EQ(show(call_action(act::absolute, {tm(-3600)})), "time! 1:00:00");
    EXPECT_EQ(test::compare(tm(60), flt(60), cmp::equal), 0);
    EXPECT_EQ(test::compare(tm(60), flt(60), cmp::strict_equal), 1);
    EXPECT_EQ(test::compare(tm(60), tm(61), cmp::lesser), -1);
}

TEST(ScalarTime, EvenOddAndRound) {
    struct row { int action; double seconds; const char* expected; };
    const row rows[] = {
        {act::even_q, 2, "logic! true"}, {act::odd_q, 3, "logic! true"}, {act::odd_q, 2.9999999, "logic! true"},
        {act::odd_q, 63, "logic! true"}, {act::even_q, -2, "logic! true"}, {act::odd_q, -3.5, "logic! true"},
        {act::even_q, NAN, "logic! true"}, {act::odd_q, INFINITY, "logic! false"},
    };
    for (const row& r : rows) EXPECT_EQ(show(call_action(r.action, {tm(r.seconds)})), r.expected) << r.seconds;

    kel_value money;
    init_cell(&money, types::money);
    struct rrow { double seconds; bool has_scale; kel_value scale; const char* flag; const char* expected; };
    const rrow rrows[] = {
        {3723.7, true, int_v(1), "", "time! 1:02:04"},
        {3723.5, false, int_v(0), "", "time! 1:02:04"},
        {3723.5, false, int_v(0), "down", "time! 1:02:03"},
        {3723.7, true, int_v(60), "", "time! 1:02:00"},
        {3723.7, true, tm(900), "", "time! 1:00:00"},
        {3723.25, true, flt(0.5), "", "time! 1:02:03.5"},
        {1e12, true, int_v(1), "", "time! 277777777:46:40"},  // beyond int32 and still a time
        {3723.7, true, money, "", "!not-related"},
        {3723.7, true, test::none_v(), "", "!expect-arg"},
    };
    for (const rrow& r : rrows)
        EXPECT_EQ(show(test::round(tm(r.seconds), r.has_scale ? &r.scale : nullptr, r.flag)), r.expected) << r.seconds;
}

TEST(ScalarTime, PathsAndPick) {
    test::boot();
    test::with_words words;
    auto step = [](kel_value* parent, const kel_value& element, const kel_value* set, kel_value* result) {
        path_step_args a{};
        a.parent = parent;
        a.element = &element;
        a.value_to_set = set;
        a.result = result;
        return test::capture([&] { (void)registry::path_handler(types::time)(a); });
    };
    kel_value t = tm(3723.5), out;
    struct get_row { kel_value element; const char* expected; };
    const get_row gets[] = {
        {int_v(1), "integer! 1"}, {int_v(2), "integer! 2"}, {int_v(3), "float! 3.5"},
        {test::word("hour"), "integer! 1"}, {test::word("MINUTE"), "integer! 2"}, {test::word("Second"), "float! 3.5"},
        {int_v(0), "!invalid-path"}, {int_v(4), "!invalid-path"}, {test::none_v(), "!invalid-path"},
        {test::word("day"), "!cannot-use"},
    };
    for (const get_row& g : gets) {
        const std::string err = step(&t, g.element, nullptr, &out);
        EXPECT_EQ(err.empty() ? show(out) : err, g.expected) << test::mold(g.element);
    }
    struct set_row { double seconds; kel_value element, value; const char* expected; };
    const set_row sets[] = {
        {3723.5, test::word("minute"), int_v(30), "1:30:03.5"},
        {3723.5, int_v(1), int_v(5), "5:02:03.5"},
        {3723.5, int_v(3), flt(0.25), "1:02:00.25"},
        {3723.5, int_v(3), int_v(59), "1:02:59"},
        {3723.5, int_v(1), flt(2.0), "!invalid-arg"},
        {3723.5, int_v(2), flt(2.0), "!invalid-arg"},
        {3723.5, int_v(3), test::none_v(), "!invalid-arg"},
    };
    for (const set_row& s : sets) {
        kel_value parent = tm(s.seconds);
        const std::string err = step(&parent, s.element, &s.value, &out);
        if (!err.empty()) {
            EXPECT_EQ(err, s.expected);
            continue;
        }
        EXPECT_EQ(test::form(parent), s.expected);
        EXPECT_EQ(show(out), show(s.value));  // the value set is the result
    }
    struct pick_row { kel_value index; const char* expected; };
    const pick_row picks[] = {
        {int_v(1), "integer! 1"}, {int_v(3), "float! 3.5"}, {test::logic_v(false), "integer! 2"},
        {test::word("second"), "float! 3.5"}, {int_v(0), "!out-of-range"}, {int_v(4), "!out-of-range"},
        {test::none_v(), "!out-of-range"}, {test::word("year"), "!cannot-use"},
    };
    for (const pick_row& p : picks)
        EXPECT_EQ(show(call_action(act::pick, {tm(3723.5), p.index})), p.expected) << test::mold(p.index);
}

TEST(ScalarTime, RegisteredAfterFloatWithItsOwnRow) {
    test::boot();
    for (int a : {act::random, act::compare, act::absolute, act::negate, act::remainder})
        EXPECT_EQ(registry::slot_at(types::time, a).any, registry::slot_at(types::float_, a).any) << a;
    for (int a : {act::make, act::form, act::mold, act::add, act::divide, act::round, act::even_q, act::pick})
        EXPECT_NE(registry::slot_at(types::time, a).any, registry::slot_at(types::float_, a).any) << a;
    EXPECT_FALSE(registry::supported(types::time, act::power));
}
