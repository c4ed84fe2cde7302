// The series cursor and the series! actions, over blocks, strings (units 1,
// 2, 4), binary! and vector!.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "datatypes/series.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_support.h"

using namespace kel;
using test::b;
using test::int_v;
using test::ints;

namespace {

struct CoreSeries : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
};

kel_value at_head(kel_value v, int32_t head) {
    set_series_head(&v, head);
    return v;
}

kel_value numbers(int n) {
    std::vector<kel_value> cells;
    for (int i = 1; i <= n; ++i) cells.push_back(int_v(i));
    return test::block_of(cells);
}

std::vector<int32_t> v(std::initializer_list<int32_t> l) { return l; }

}  // namespace

TEST_F(CoreSeries, NavigationClamps) {
    struct row { const char* what; int32_t head; int op; int32_t n; int32_t expected_head; };
    enum { AT, SKIP, NEXT, BACK, HEAD, TAIL };
    const row rows[] = {
        {"at 0 is the head", 2, AT, 0, 2},        {"at 1 is the head", 2, AT, 1, 2},
        {"at -1 is one before", 2, AT, -1, 1},    {"at 3", 1, AT, 3, 3},
        {"at past the tail", 1, AT, 100, 5},      {"at before the start", 1, AT, -100, 0},
        {"skip 0 stays", 2, SKIP, 0, 2},          {"skip 2", 1, SKIP, 2, 3},
        {"skip -100 stops at 0", 3, SKIP, -100, 0}, {"skip 1000 stops at tail", 0, SKIP, 1000, 5},
        {"next", 0, NEXT, 0, 1},                  {"next at the tail stays", 5, NEXT, 0, 5},
        {"back", 3, BACK, 0, 2},                  {"back at the head stays", 0, BACK, 0, 0},
        {"head", 3, HEAD, 0, 0},                  {"tail", 1, TAIL, 0, 5},
    };
    kel_value base = numbers(5);
    for (const row& r : rows) {
        kel_value s = at_head(base, r.head);
        kel_value off = int_v(r.n);
        switch (r.op) {
            case AT: series::at(&s, &off); break;
            case SKIP: series::skip(&s, &off); break;
            case NEXT: series::next(&s); break;
            case BACK: series::back(&s); break;
            case HEAD: series::head(&s); break;
            case TAIL: series::tail(&s); break;
        }
        EXPECT_EQ(series_head(&s), r.expected_head) << r.what;
    }
    kel_value s = base;
    kel_value word = test::char_v('a');
    EXPECT_TRUE(fires([&] { series::at(&s, &word); }, "invalid-arg"));
    EXPECT_EQ(get_char(&last_fired().args[0]), 'a');
}

TEST_F(CoreSeries, HeadPastAShortenedBuffer) {
    kel_value s = numbers(5);
    kel_value far = at_head(s, 4);
    kel_value cut = at_head(s, 2);
    series::clear(&cut);  // the buffer now holds 2 units
    EXPECT_EQ(series::index_q(&far), 5);  // not clamped
    EXPECT_FALSE(series::head_q(&far));
    EXPECT_TRUE(series::tail_q(&far));
    EXPECT_EQ(series::length_q(&far), 0);
    EXPECT_EQ(series_head(&far), 2);  // moved to the tail and written back
    EXPECT_EQ(ints(s), v({1, 2}));
}

TEST_F(CoreSeries, PickAndPokeIndexes) {
    kel_value s = at_head(numbers(5), 3);  // head at 4
    struct row { int32_t n; std::optional<int32_t> value; };
    const row rows[] = {{0, std::nullopt}, {1, 4}, {2, 5}, {3, std::nullopt}, {-1, 3},
                        {-3, 1}, {-4, std::nullopt}, {INT32_MIN, std::nullopt}, {INT32_MAX, std::nullopt}};
    for (const row& r : rows) {
        kel_value out;
        series::pick(&s, r.n, &out);
        if (r.value) {
            EXPECT_EQ(get_integer(&out), *r.value) << r.n;
        } else {
            EXPECT_TRUE(none_q(&out)) << r.n;
        }
    }
    kel_value x = int_v(99);
    series::poke(&s, -1, &x);
    EXPECT_EQ(ints(at_head(s, 0)), v({1, 2, 99, 4, 5}));
    for (int32_t n : {0, 3, -4}) {
        EXPECT_TRUE(fires([&] { series::poke(&s, n, &x); }, "out-of-range")) << n;
        EXPECT_EQ(get_integer(&last_fired().args[0]), n);
    }
}

TEST_F(CoreSeries, PickIndexFromTheStackTakesLogicAndChar) {
    kel_value s = b({10, 20, 30});
    struct row { kel_value index; int32_t expected; };
    const row rows[] = {{test::logic_v(true), 10}, {test::logic_v(false), 20}, {test::char_v(3), 30}};
    action_fn pick = registry::handler(types::block, act::pick);
    for (const row& r : rows) {
        stack::reset();
        stack::push_copy(&s);
        stack::push_copy(&r.index);
        ASSERT_EQ(pick(refinements::none()), signal_code::none);
        EXPECT_EQ(get_integer(stack::arguments()), r.expected);
    }
    stack::reset();
    kel_value text = test::none_v();
    stack::push_copy(&s);
    stack::push_copy(&text);
    (void)pick(refinements::none());
    EXPECT_TRUE(none_q(stack::arguments()));  // index 0
}

TEST_F(CoreSeries, StringAndBinaryElements) {
    kel_value s = test::str(U"abc");
    kel_value out;
    series::pick(&s, 2, &out);
    EXPECT_EQ(type_of(&out), types::char_);
    EXPECT_EQ(get_char(&out), U'b');
    kel_value smiley = test::char_v(0x263A);
    series::poke(&s, 2, &smiley);  // widens the 1-byte string
    EXPECT_EQ(series::buffer(&s)->unit(), 2u);
    EXPECT_EQ(test::text(s), U"a\u263Ac");
    kel_value emoji = test::char_v(0x1F600);
    series::poke(&s, 3, &emoji);
    EXPECT_EQ(series::buffer(&s)->unit(), 4u);
    EXPECT_EQ(test::text(s), U"a\u263A\U0001F600");
    kel_value one = int_v(1);
    EXPECT_TRUE(fires([&] { series::poke(&s, 1, &one); }, "invalid-arg"));

    kel_value bin = test::bin({1, 200, 3});
    series::pick(&bin, 2, &out);
    EXPECT_EQ(type_of(&out), types::integer);
    EXPECT_EQ(get_integer(&out), 200);
    kel_value byte = int_v(0x1FF);
    series::poke(&bin, 1, &byte);
    series::pick(&bin, 1, &out);
    EXPECT_EQ(get_integer(&out), 0xFF);
}

TEST_F(CoreSeries, VectorElementsAreSignExtended) {
    kel_value vec = test::str(U"\u00C8\u0001", 1, types::vector);  // bytes 200, 1
    vec.w3 = types::integer;
    kel_value out;
    series::pick(&vec, 1, &out);
    EXPECT_EQ(get_integer(&out), -56);
    // char! shares the integer layout; a float has no integer encoding
    kel_value c = test::char_v('x');
    series::poke(&vec, 1, &c);
    series::pick(&vec, 1, &out);
    EXPECT_EQ(get_integer(&out), 'x');
    kel_value f;
    set_float(&f, 1.0);
    EXPECT_TRUE(fires([&] { series::poke(&vec, 1, &f); }, "invalid-arg"));
    kel_value i = int_v(-2);
    series::poke(&vec, 2, &i);
    series::pick(&vec, 2, &out);
    EXPECT_EQ(get_integer(&out), -2);
}

TEST_F(CoreSeries, CopyPart) {
    struct row { const char* what; int32_t head; std::optional<kel_value> part; std::vector<int32_t> expected; };
    kel_value s = numbers(6);
    const row rows[] = {
        {"all from head", 2, std::nullopt, {3, 4, 5, 6}},
        {"part 2", 1, int_v(2), {2, 3}},
        {"part past tail", 4, int_v(10), {5, 6}},
        {"part 0", 1, int_v(0), {}},
        {"part -2 at head 1 copies the one unit before", 1, int_v(-2), {1}},
        {"part -2 at head 4", 4, int_v(-2), {3, 4}},
        {"pair 2x4", 1, test::pair_v(2, 4), {3, 4}},
        {"pair with y < x", 0, test::pair_v(4, 2), {}},
        {"pair with negative x", 3, test::pair_v(-1, 1), {3, 4}},
        {"position after head", 1, at_head(s, 4), {2, 3, 4}},
        {"position before head", 4, at_head(s, 2), {3, 4}},
        {"head past the tail", 9, std::nullopt, {}},
    };
    for (const row& r : rows) {
        kel_value src = at_head(s, r.head);
        kel_value out;
        series::copy(&src, &out, r.part ? &*r.part : nullptr);
        EXPECT_EQ(series_head(&out), 0) << r.what;
        EXPECT_EQ(ints(out), r.expected) << r.what;
    }
    kel_value other = numbers(2);
    kel_value text = test::str(U"ab");
    for (const kel_value* bad : {&other, &text}) {
        EXPECT_TRUE(fires([&] { kel_value o; series::copy(&s, &o, bad); }, "invalid-refine-arg"));
        EXPECT_STREQ(last_fired().arg_words[0], "/part");
    }
}

TEST_F(CoreSeries, CopyKeepsTypeAndNewLineButNotTheOwner) {
    kel_value s = test::str(U"hello", 2, types::file);
    s.header |= header_new_line;
    series::buffer(&s)->flags |= memory::flag_owned;
    kel_value out;
    series::copy(&s, &out, nullptr);
    EXPECT_EQ(type_of(&out), types::file);
    EXPECT_TRUE(new_line_q(&out));
    EXPECT_EQ(series::buffer(&out)->unit(), 2u);
    EXPECT_FALSE(series::buffer(&out)->flags & memory::flag_owned);
    EXPECT_EQ(test::text(out), U"hello");
    // Copying into the source cell itself replaces it.
    kel_value t = at_head(numbers(4), 2);
    series::copy(&t, &t, nullptr);
    EXPECT_EQ(series_head(&t), 0);
    EXPECT_EQ(ints(t), v({3, 4}));
}

TEST_F(CoreSeries, TakeRules) {
    struct row {
        const char* what;
        int32_t head;
        std::optional<kel_value> part;
        bool last;
        std::vector<int32_t> taken;   // as a series (with /part) or the one element
        std::vector<int32_t> left;    // the whole buffer afterwards
    };
    const row rows[] = {
        {"one at the head", 0, std::nullopt, false, {1}, {2, 3, 4, 5}},
        {"one at the tail", 1, std::nullopt, true, {5}, {1, 2, 3, 4}},
        {"part 2", 1, int_v(2), false, {2, 3}, {1, 4, 5}},
        {"part 2 last", 1, int_v(2), true, {4, 5}, {1, 2, 3}},
        {"part beyond", 3, int_v(9), false, {4, 5}, {1, 2, 3}},
        {"part 0 at head 2 takes the unit before", 2, int_v(0), false, {2}, {1, 3, 4, 5}},
        {"part 0 at head 0 is empty", 0, int_v(0), false, {}, {1, 2, 3, 4, 5}},
        {"part -2 at head 3", 3, int_v(-2), false, {2, 3}, {1, 4, 5}},
        {"part -9 limited to the head", 2, int_v(-9), false, {1, 2}, {3, 4, 5}},
        {"part -1 with last is empty", 2, int_v(-1), true, {}, {1, 2, 3, 4, 5}},
        {"part position", 1, at_head(numbers(0), 0), false, {}, {}},  // replaced below
    };
    for (const row& r : rows) {
        if (std::string(r.what) == "part position") continue;
        kel_value s = at_head(numbers(5), r.head);
        kel_value out;
        series::take(&s, r.part ? &*r.part : nullptr, false, r.last, &out);
        if (r.part) {
            EXPECT_EQ(type_of(&out), types::block) << r.what;
            EXPECT_EQ(ints(out), r.taken) << r.what;
        } else {
            EXPECT_EQ(get_integer(&out), r.taken[0]) << r.what;
        }
        EXPECT_EQ(ints(at_head(s, 0)), r.left) << r.what;
    }
    // /part as a position in the same series, with and without /last.
    kel_value s = numbers(5);
    kel_value h1 = at_head(s, 1), p = at_head(s, 3), out;
    series::take(&h1, &p, false, false, &out);
    EXPECT_EQ(ints(out), v({2, 3}));
    s = numbers(5);
    h1 = at_head(s, 1);
    p = at_head(s, 3);
    series::take(&h1, &p, false, true, &out);  // head + n - position = 1 + 4 - 3
    EXPECT_EQ(ints(out), v({4, 5}));
    p = at_head(s, 0);  // before the head: count 0, the unit before the head
    series::take(&h1, &p, false, false, &out);
    EXPECT_EQ(ints(out), v({1}));
    kel_value empty = numbers(0);
    series::take(&empty, nullptr, false, false, &out);
    EXPECT_TRUE(none_q(&out));
    kel_value tailed = at_head(numbers(3), 3);
    series::take(&tailed, nullptr, false, false, &out);
    EXPECT_TRUE(none_q(&out));
    kel_value other = numbers(2);
    EXPECT_TRUE(fires([&] { series::take(&s, &other, false, false, &out); }, "invalid-refine-arg"));
}

TEST_F(CoreSeries, TakenElementsStayWhatTheyWere) {
    // Each take without /part gives its own value: a later take never
    // overwrites one taken before.
    kel_value s = test::str(U"xyz");
    kel_value a, c;
    series::take(&s, nullptr, false, false, &a);
    series::take(&s, nullptr, false, false, &c);
    EXPECT_EQ(get_char(&a), U'x');
    EXPECT_EQ(get_char(&c), U'y');
    kel_value blk = b({b({1}), b({2})});
    kel_value x, y;
    series::take(&blk, nullptr, false, false, &x);
    series::take(&blk, nullptr, false, false, &y);
    EXPECT_EQ(ints(x), v({1}));
    EXPECT_EQ(ints(y), v({2}));
}

TEST_F(CoreSeries, RemoveRules) {
    struct row { const char* what; int32_t head; std::optional<kel_value> part; std::vector<int32_t> left; };
    const row rows[] = {
        {"one", 1, std::nullopt, {1, 3, 4, 5}},
        {"part 2", 1, int_v(2), {1, 4, 5}},
        {"part beyond the tail", 3, int_v(10), {1, 2, 3}},
        {"part 0 changes nothing", 1, int_v(0), {1, 2, 3, 4, 5}},
        {"part -1 changes nothing", 1, int_v(-1), {1, 2, 3, 4, 5}},
        {"at the tail", 5, std::nullopt, {1, 2, 3, 4, 5}},
    };
    for (const row& r : rows) {
        kel_value s = at_head(numbers(5), r.head);
        EXPECT_TRUE(series::remove(&s, r.part ? &*r.part : nullptr, nullptr));
        EXPECT_EQ(ints(at_head(s, 0)), r.left) << r.what;
    }
    kel_value s = numbers(5);
    kel_value h1 = at_head(s, 1), pos = at_head(s, 3);
    series::remove(&h1, &pos, nullptr);
    EXPECT_EQ(ints(s), v({1, 4, 5}));
    kel_value t = numbers(5), key = int_v(3);
    EXPECT_TRUE(series::remove(&t, nullptr, &key));
    EXPECT_EQ(series_head(&t), 2);  // at the match
    EXPECT_EQ(ints(at_head(t, 0)), v({1, 2, 5}));
    kel_value missing = int_v(42);
    EXPECT_FALSE(series::remove(&t, nullptr, &missing));
    kel_value text = test::str(U"a=b;c=d"), eq = test::char_v('=');
    series::remove(&text, nullptr, &eq);
    EXPECT_EQ(test::text(at_head(text, 0)), U"a;c=d");
    kel_value pair = test::pair_v(1, 2);
    EXPECT_TRUE(fires([&] { series::remove(&s, &pair, nullptr); }, "invalid-refine-arg"));
}

TEST_F(CoreSeries, ClearFromTheHead) {
    kel_value s = at_head(numbers(5), 2);
    series::clear(&s);
    EXPECT_EQ(ints(at_head(s, 0)), v({1, 2}));
    series::clear(&s);  // nothing left: nothing happens
    EXPECT_EQ(ints(at_head(s, 0)), v({1, 2}));
}

TEST_F(CoreSeries, ReverseAndSkip) {
    struct row {
        const char* what;
        int n;
        int32_t head;
        std::optional<kel_value> part, skip;
        std::vector<int32_t> expected;
        const char* error;
    };
    const row rows[] = {
        {"all", 5, 0, std::nullopt, std::nullopt, {5, 4, 3, 2, 1}, nullptr},
        {"from the head", 5, 2, std::nullopt, std::nullopt, {1, 2, 5, 4, 3}, nullptr},
        {"part 3", 5, 0, int_v(3), std::nullopt, {3, 2, 1, 4, 5}, nullptr},
        {"part 0", 5, 0, int_v(0), std::nullopt, {1, 2, 3, 4, 5}, nullptr},
        {"skip 2 of 6", 6, 0, std::nullopt, int_v(2), {5, 6, 3, 4, 1, 2}, nullptr},
        {"skip 3 of 6", 6, 0, std::nullopt, int_v(3), {4, 5, 6, 1, 2, 3}, nullptr},
        {"skip equal to count", 4, 0, std::nullopt, int_v(4), {1, 2, 3, 4}, nullptr},
        {"skip 4 of 6", 6, 0, std::nullopt, int_v(4), {}, "invalid-refine-arg"},
        {"skip 8 of 6", 6, 0, std::nullopt, int_v(8), {}, "invalid-refine-arg"},
        {"skip 0", 6, 0, std::nullopt, int_v(0), {}, "out-of-range"},
        {"skip -2", 6, 0, std::nullopt, int_v(-2), {}, "out-of-range"},
        {"skip not integer", 6, 0, std::nullopt, test::char_v(2), {}, "invalid-refine-arg"},
        {"at the tail", 3, 3, std::nullopt, int_v(0), {1, 2, 3}, nullptr},
    };
    for (const row& r : rows) {
        kel_value s = at_head(numbers(r.n), r.head);
        auto run = [&] { series::reverse(&s, r.part ? &*r.part : nullptr, r.skip ? &*r.skip : nullptr); };
        if (r.error) {
            EXPECT_TRUE(fires(run, r.error)) << r.what;
        } else {
            run();
            EXPECT_EQ(ints(at_head(s, 0)), r.expected) << r.what;
        }
    }
    kel_value wide = test::str(U"ab\U0001F600d", 4);
    series::reverse(&wide, nullptr, nullptr);
    EXPECT_EQ(test::text(wide), U"d\U0001F600ba");
}

TEST_F(CoreSeries, MoveWithinOneSeries) {
    struct row { const char* what; int32_t from; int32_t to; int32_t part; std::vector<int32_t> expected; bool origin; };
    const row rows[] = {
        {"forward one", 0, 2, 1, {2, 3, 1, 4, 5}, false},
        {"forward a run", 0, 3, 2, {3, 4, 1, 2, 5}, false},
        {"to the tail", 1, 5, 2, {1, 4, 5, 2, 3}, false},
        {"backward", 3, 0, 2, {4, 5, 1, 2, 3}, false},
        {"backward one", 4, 1, 1, {1, 5, 2, 3, 4}, false},
        {"onto itself", 2, 2, 1, {1, 2, 3, 4, 5}, false},
        {"not enough room after the target", 0, 3, 3, {1, 2, 3, 4, 5}, true},
        {"past the tail", 0, 7, 1, {1, 2, 3, 4, 5}, true},
    };
    for (const row& r : rows) {
        kel_value s = numbers(5);
        kel_value o = at_head(s, r.from), d = at_head(s, r.to), part = int_v(r.part);
        const kel_value* result = series::move(&o, &d, &part);
        EXPECT_EQ(ints(s), r.expected) << r.what;
        EXPECT_EQ(result, r.origin ? &o : &d) << r.what;
    }
}

TEST_F(CoreSeries, MoveAcrossSeries) {
    kel_value a = numbers(4), dest = b({10, 20});
    kel_value o = at_head(a, 1), d = at_head(dest, 1), part = int_v(2);
    EXPECT_EQ(series::move(&o, &d, &part), &d);
    EXPECT_EQ(ints(a), v({1, 4}));
    EXPECT_EQ(ints(dest), v({10, 2, 3, 20}));
    kel_value zero = int_v(0);
    EXPECT_EQ(series::move(&o, &d, &zero), &d);  // part below 1 does nothing
    EXPECT_EQ(ints(dest), v({10, 2, 3, 20}));

    kel_value text = test::str(U"xy"), wide = test::str(U"\u263A", 2);
    series::move(&text, &wide, nullptr);
    EXPECT_EQ(test::text(wide), U"x\u263A");
    EXPECT_EQ(test::text(text), U"y");
    kel_value emoji = test::str(U"\U0001F600"), narrow = test::str(U"ab");
    kel_value eb = test::str(U"\U0001F600!", 4);
    series::move(&eb, &narrow, nullptr);  // a 4-byte code point widens the target
    EXPECT_EQ(test::text(narrow), U"\U0001F600ab");
    (void)emoji;

    struct bad { kel_value origin, dest; const char* error; };
    const bad cases[] = {
        {numbers(2), test::str(U"ab"), "move-bad"},
        {test::str(U"ab"), numbers(2), "move-bad"},
        {test::bin({1, 2}), test::str(U"ab", 2), "move-bad"},
        {numbers(2), int_v(3), "expect-arg"},
    };
    for (bad c : cases) EXPECT_TRUE(fires([&] { series::move(&c.origin, &c.dest, nullptr); }, c.error)) << c.error;
    kel_value bytes = test::bin({7}), same_width = test::str(U"ab");
    series::move(&bytes, &same_width, nullptr);  // equal unit sizes move as they are
    EXPECT_EQ(test::text(same_width), U"\u0007ab");
    kel_value at_tail = at_head(numbers(2), 2), target = numbers(1);
    EXPECT_EQ(series::move(&at_tail, &target, nullptr), &target);
}

TEST_F(CoreSeries, ShuffleKeepsTheElements) {
    kel_value s = at_head(numbers(50), 10);
    series::shuffle(&s, false);
    std::vector<int32_t> all = ints(at_head(s, 0));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(all[i], i + 1);  // before the head: untouched
    std::sort(all.begin(), all.end());
    for (int i = 0; i < 50; ++i) EXPECT_EQ(all[i], i + 1);
    kel_value out;
    kel_value e = numbers(0);
    series::random_only(&e, false, &out);
    EXPECT_TRUE(none_q(&out));
    for (int i = 0; i < 20; ++i) {
        series::random_only(&s, false, &out);
        EXPECT_GE(get_integer(&out), 1);
        EXPECT_LE(get_integer(&out), 50);
    }
}

TEST_F(CoreSeries, StackHandlersWriteTheBaseCell) {
    kel_value s = numbers(3);
    struct row { int action; uint32_t type; int32_t value; };
    const row rows[] = {{act::length_q, types::integer, 3}, {act::index_q, types::integer, 1},
                        {act::head_q, types::logic, 1}, {act::tail_q, types::logic, 0}};
    for (const row& r : rows) {
        stack::reset();
        stack::push_copy(&s);
        ASSERT_EQ(registry::handler(types::block, r.action)(refinements::none()), signal_code::none);
        EXPECT_EQ(type_of(stack::arguments()), r.type);
        EXPECT_EQ(static_cast<int32_t>(r.type == types::logic ? stack::arguments()->w1 : stack::arguments()->w2),
                  r.value);
    }
    // copy/part through the refinement slots.
    stack::reset();
    kel_value two = int_v(2);
    stack::push_copy(&s);
    stack::push_copy(&two);
    refinements r = refinements::none();
    r.at[0] = 1;
    (void)registry::handler(types::block, act::copy)(r);
    EXPECT_EQ(ints(*stack::arguments()), v({1, 2}));
}

TEST_F(CoreSeries, RowInheritance) {
    for (int a : {act::at, act::skip, act::pick, act::take, act::copy, act::move, act::reverse}) {
        EXPECT_NE(registry::slot_at(types::series, a).any, nullptr) << a;
        // block! has its own take and copy (take/deep, copy/deep).
        if (a != act::take && a != act::copy) {
            EXPECT_EQ(registry::slot_at(types::block, a).any, registry::slot_at(types::series, a).any) << a;
        }
        EXPECT_EQ(registry::slot_at(types::file, a).any, registry::slot_at(types::series, a).any) << a;
    }
    int own = 0;
    for (int a = 1; a <= act::count; ++a) own += registry::supported(types::series, a);
    EXPECT_EQ(own, 21);
    // handle! (parent integer!) inherits nothing: form, mold and compare are its own.
    for (int a = 1; a <= act::count; ++a) {
        const bool own_slot = a == act::form || a == act::mold || a == act::compare;
        EXPECT_EQ(registry::supported(types::handle, a), own_slot) << a;
        if (own_slot) {
            EXPECT_NE(registry::slot_at(types::handle, a).any, registry::slot_at(types::integer, a).any) << a;
        }
    }
}

// A Python list model of copy/part, take/part and remove/part over generated
// cases: the model encodes the same rules independently of the C++ cursor.
TEST_F(CoreSeries, ListModelOfPartRules) {
    std::string cases = "cases = [";
    std::vector<std::string> got;
    uint32_t seed = 12345;
    auto rnd = [&](int m) { seed = seed * 1103515245u + 12345u; return static_cast<int>((seed >> 8) % m); };
    for (int i = 0; i < 300; ++i) {
        int n = rnd(8), head = rnd(n + 1), part = rnd(13) - 6, op = rnd(3), last = rnd(2);
        cases += "(" + std::to_string(n) + "," + std::to_string(head) + "," + std::to_string(part) + "," +
                 std::to_string(op) + "," + std::to_string(last) + "),";
        kel_value s = at_head(numbers(n), head), p = int_v(part), out;
        if (op == 0) series::copy(&s, &out, &p);
        else if (op == 1) series::take(&s, &p, false, last, &out);
        else series::remove(&s, &p, nullptr);
        std::string line;
        if (op != 2 && !none_q(&out))
            for (int32_t x : ints(out)) line += std::to_string(x) + " ";
        line += "|";
        for (int32_t x : ints(at_head(s, 0))) line += std::to_string(x) + " ";
        got.push_back(line);
    }
    cases += "]\n";
    const std::string model = cases + R"PY(
def run(n, head, part, op, last):
    s = list(range(1, n + 1))
    out = []
    if op == 0:
        start, k = head, part
        if k < 0:
            start += k; k = -k
            if start < 0: start, k = 0, head
        k = max(0, min(k, n - start))
        out = s[start:start + k]
    elif op == 1:
        left = n - head
        if left >= 1:
            if part > 0:
                k = min(part, left)
                start = n - k if last else head
                out = s[start:start + k]; del s[start:start + k]
            else:
                k = (1 if last else -part) if part < 0 else 1
                if part < 0: k = min(k, head)
                if not (last or head < k or k == 0):
                    out = s[head - k:head]; del s[head - k:head]
    else:
        if part >= 1 and head < n:
            del s[head:head + part]
    return ''.join('%d ' % x for x in out) + '|' + ''.join('%d ' % x for x in s)
for c in cases: print(run(*c))
)PY";
    std::string expected = test::python(model);
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= expected.size()) {
        size_t e = expected.find('\n', pos);
        if (e == std::string::npos) e = expected.size();
        lines.push_back(expected.substr(pos, e - pos));
        pos = e + 1;
    }
    ASSERT_EQ(lines.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], lines[i]) << "case " << i;
}
