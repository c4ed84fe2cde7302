// string! make, to, compare and path steps, through the registry's row.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_string_support.h"

using namespace kel;
using test::call_action;
using test::str;
using test::text;

namespace {

struct StringType : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
};

kel_value at_head(kel_value v, int32_t head) {
    set_series_head(&v, head);
    return v;
}

}  // namespace

TEST_F(StringType, RowOfTheRegistry) {
    EXPECT_STREQ(registry::type_name(types::string), "string!");
    for (int a : {act::make, act::to, act::append, act::change, act::find, act::insert, act::select, act::sort,
                  act::swap, act::trim})
        EXPECT_TRUE(registry::supported(types::string, a)) << a;
    for (int a : {act::add, act::put, act::create, act::open, act::write, act::negate})
        EXPECT_FALSE(registry::supported(types::string, a)) << a;
    // Position actions are series!'s own; the other string types inherit the row.
    EXPECT_EQ(registry::slot_at(types::string, act::at).any, registry::slot_at(types::series, act::at).any);
    EXPECT_EQ(registry::slot_at(types::url, act::find).any, registry::slot_at(types::string, act::find).any);
    EXPECT_EQ(registry::mold_handler(types::string), &string::mold);
}

TEST_F(StringType, Make) {
    kel_value r = call_action(act::make, {test::type_v(types::string), test::int_v(40)});
    EXPECT_EQ(type_of(&r), types::string);
    EXPECT_EQ(text(r), U"");
    EXPECT_GE(string::buffer(&r)->capacity, 40u);
    EXPECT_EQ(test::unit_of(r), 1u);
    kel_value f;
    set_float(&f, 2.9);
    r = call_action(act::make, {test::type_v(types::file), f});
    EXPECT_EQ(type_of(&r), types::file);
    // A prototype value names the type too.
    r = call_action(act::make, {str(U"x", 1, types::email), str(U"a@b")});
    EXPECT_EQ(type_of(&r), types::email);
    EXPECT_EQ(text(r), U"a@b");

    EXPECT_TRUE(fires([&] { call_action(act::make, {test::type_v(types::string), test::int_v(-1)}); }, "out-of-range"));
    EXPECT_EQ(get_integer(&last_fired().args[0]), -1);
    set_float(&f, 1e20);
    EXPECT_TRUE(fires([&] { call_action(act::make, {test::type_v(types::string), f}); }, "out-of-range"));
    kel_value money;
    init_cell(&money, types::money);
    EXPECT_TRUE(fires([&] { call_action(act::make, {test::type_v(types::binary), money}, {}, types::string); },
                      "bad-make-arg"));
    EXPECT_EQ(get_datatype(&last_fired().args[0]), types::binary);
}

TEST_F(StringType, To) {
    kel_value src = at_head(str(U"abc\u263A", 2), 1);
    kel_value r = call_action(act::to, {test::type_v(types::file), src});
    EXPECT_EQ(type_of(&r), types::file);
    EXPECT_EQ(text(r), U"bc\u263A");
    EXPECT_NE(series_node(&r), series_node(&src));

    kel_value bytes = test::bin({'x', 0xC3, 0xA9});
    r = call_action(act::to, {test::type_v(types::string), bytes});
    EXPECT_EQ(text(r), U"x\u00E9");
    EXPECT_EQ(test::unit_of(r), 1u);
    kel_value bad = test::bin({'x', 0xFF});
    EXPECT_TRUE(fires([&] { call_action(act::to, {test::type_v(types::string), bad}); }, "invalid-utf8"));
    kel_value cut = test::bin({'x', 0xE2, 0x82});
    EXPECT_TRUE(fires([&] { call_action(act::to, {test::type_v(types::string), cut}); }, "invalid-utf8"));
    EXPECT_EQ(text(last_fired().args[0]), (std::u32string{0xE2, 0x82}));

    // Blocks: every element formed, no separators; nested blocks keep theirs.
    kel_value blk = test::b({str(U"b"), 1, test::b({str(U"x"), 2})});
    r = call_action(act::to, {test::type_v(types::string), blk});
    EXPECT_EQ(text(r), U"b1x 2");
    EXPECT_EQ(series_head(&r), 0);
    r = call_action(act::to, {test::type_v(types::string), test::int_v(-42)});
    EXPECT_EQ(text(r), U"-42");
    EXPECT_TRUE(fires([&] { call_action(act::to, {test::type_v(types::string), test::none_v()}); }, "bad-to-arg"));
    EXPECT_EQ(get_datatype(&last_fired().args[0]), types::string);
    EXPECT_EQ(type_of(&last_fired().args[1]), types::none);
}

TEST_F(StringType, Compare) {
    kel_value abc = str(U"abc"), ABC = str(U"ABC", 2), file = str(U"ABC", 1, types::file);
    struct row { const kel_value* a; const kel_value* b; int32_t op; int32_t want; };
    const row rows[] = {
        {&abc, &ABC, cmp::equal, 0},
        {&abc, &ABC, cmp::strict_equal, 1},
        {&abc, &file, cmp::equal, 0},           // another string type, equality
        {&abc, &file, cmp::not_equal, 0},
        {&abc, &file, cmp::strict_equal, cmp::not_comparable},
        {&abc, &file, cmp::lesser, cmp::not_comparable},
        {&abc, &file, cmp::find, cmp::not_comparable},
    };
    for (const row& r : rows) EXPECT_EQ(string::compare(r.a, r.b, r.op), r.want) << r.op;
    kel_value one = test::int_v(1);
    EXPECT_EQ(string::compare(&abc, &one, cmp::equal), cmp::not_comparable);
    kel_value ab = str(U"ab"), empty = str(U"");
    EXPECT_EQ(string::compare(&ab, &abc, cmp::lesser), -1);
    EXPECT_EQ(string::compare(&empty, &ab, cmp::lesser), -1);
    EXPECT_EQ(string::compare(&abc, &empty, cmp::lesser), 1);
}

namespace {
kel_value path_step(kel_value* parent, const kel_value& key, const kel_value* set) {
    kel_value result, path = test::b({});
    path_step_args a{};
    a.parent = parent;
    a.element = &key;
    a.value_to_set = set;
    a.path = &path;
    a.result = &result;
    (void)string::eval_path(a);
    return result;
}
}  // namespace

TEST_F(StringType, PathGetAndSet) {
    kel_value s = str(U"abcabc");
    kel_value r = path_step(&s, test::int_v(2), nullptr);
    EXPECT_EQ(get_char(&r), U'b');
    r = path_step(&s, test::int_v(9), nullptr);
    EXPECT_TRUE(none_q(&r));
    kel_value x = test::char_v('X');
    path_step(&s, test::int_v(1), &x);
    EXPECT_EQ(text(s), U"Xbcabc");
    EXPECT_TRUE(fires([&] { path_step(&s, test::int_v(7), &x); }, "out-of-range"));

    struct row { std::u32string in; kel_value key; std::u32string get; std::u32string after_set; };
    const row rows[] = {
        // a get answers the code point right after the whole key, and a set
        // changes that one
        {U"abc", str(U"ab"), U"c", U"abX"},
        {U"abc", str(U"AB"), U"c", U"abX"},        // found case-insensitively
        {U"abc", test::char_v('a'), U"b", U"aXc"},
        {U"abc", test::char_v('B'), U"c", U"abX"},
        {U"abcab", str(U"ab"), U"c", U"abXab"},    // the first match
    };
    for (const row& r0 : rows) {
        kel_value t = str(r0.in);
        kel_value got = path_step(&t, r0.key, nullptr);
        EXPECT_EQ(std::u32string(1, static_cast<char32_t>(get_char(&got))), r0.get) << test::utf8(r0.in);
        kel_value y = test::char_v('X');
        path_step(&t, r0.key, &y);
        EXPECT_EQ(text(t), r0.after_set) << test::utf8(r0.in);
    }
    // Nothing after the key, or no key: nothing to get, nothing to set.
    kel_value t = str(U"abc");
    r = path_step(&t, str(U"bc"), nullptr);
    EXPECT_TRUE(none_q(&r));
    kel_value c = str(U"c"), zz = str(U"zz");
    EXPECT_TRUE(fires([&] { path_step(&t, c, &x); }, "bad-path-set"));
    EXPECT_TRUE(fires([&] { path_step(&t, zz, &x); }, "bad-path-set"));
    EXPECT_EQ(text(last_fired().args[1]), U"zz");
    EXPECT_EQ(text(t), U"abc");
    kel_value word;
    init_cell(&word, types::word);
    EXPECT_TRUE(fires([&] { path_step(&t, word, nullptr); }, "invalid-path"));
    EXPECT_EQ(type_of(&last_fired().args[1]), types::word);
}
