// The block internal API, the mold cycle guard and its companions.
#include <gtest/gtest.h>

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"

using namespace kel;
using test::b;
using test::int_v;
using test::ints;


namespace {

struct CoreBlock : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

std::vector<int32_t> v(std::initializer_list<int32_t> l) { return l; }

kel_value marked(kel_value x) {
    x.header |= header_new_line;
    return x;
}

}  // namespace

TEST_F(CoreBlock, LengthHeadAndTailAroundAShortenedBuffer) {
    kel_value s = b({1, 2, 3, 4});
    kel_value far = s;
    set_series_head(&far, 3);
    block::ks_cut_at(&s, 1);
    EXPECT_EQ(block::ks_length_q(&far), -2);
    EXPECT_FALSE(block::ks_tail_q(&far));  // only an exact tail counts
    kel_value* h = block::ks_head(&far);
    EXPECT_EQ(series_head(&far), 1);       // moved to the tail
    EXPECT_EQ(h, block::ks_tail(&far));
    EXPECT_TRUE(block::ks_tail_q(&far));
    kel_value t = b({1, 2});
    EXPECT_FALSE(block::ks_step(&t));
    EXPECT_TRUE(block::ks_step(&t));
    EXPECT_TRUE(block::ks_step(&t));  // stays at the tail
    EXPECT_EQ(series_head(&t), 2);
}

TEST_F(CoreBlock, AppendToACapacityZeroBlock) {
    // make block! 0, then append: growth from nothing.
    kel_value* blk = block::init_cell(block::make_at_tail(nullptr, 1), 0);
    EXPECT_EQ(series::buffer(blk)->capacity, 0u);
    kel_value one = int_v(1);
    block::ks_add(blk, &one);
    EXPECT_EQ(ints(*blk), v({1}));
    EXPECT_GE(series::buffer(blk)->capacity, 16u * 16u);
    kel_value fresh;
    block::init_cell(&fresh, -5);  // a negative count gives room for 1
    EXPECT_EQ(series::buffer(&fresh)->capacity, 16u);
}

TEST_F(CoreBlock, AddAllAndInsertAllIntoThemselves) {
    kel_value s = b({1, 2, 3});
    block::ks_add_all(&s, &s);
    EXPECT_EQ(ints(s), v({1, 2, 3, 1, 2, 3}));
    kel_value t = b({1, 2});
    kel_value at1 = t;
    set_series_head(&at1, 1);
    block::ks_insert_all(&at1, &t);
    EXPECT_EQ(ints(t), v({1, 1, 2, 2}));
    EXPECT_EQ(series_head(&at1), 3);
}

TEST_F(CoreBlock, InsertCell) {
    kel_value s = b({1, 2, 3});
    kel_value x = int_v(9);
    kel_value mid = s;
    set_series_head(&mid, 1);
    block::ks_insert_cell(&mid, &x, true, false);
    EXPECT_EQ(ints(s), v({1, 9, 2, 3}));
    EXPECT_EQ(series_head(&mid), 2);
    block::ks_insert_cell(&mid, &x, false, true);  // at the buffer start
    EXPECT_EQ(ints(s), v({9, 1, 9, 2, 3}));
    EXPECT_EQ(series_head(&mid), 2);
    // Many inserts at the head grow the buffer and keep the order.
    kel_value g = b({});
    for (int i = 0; i < 100; ++i) {
        kel_value c = int_v(i);
        block::ks_insert_cell(&g, &c, false, false);
    }
    std::vector<int32_t> expected;
    for (int i = 99; i >= 0; --i) expected.push_back(i);
    EXPECT_EQ(ints(g), expected);
}

TEST_F(CoreBlock, InsertAtTheHeadUsesRoomInFront) {
    kel_value s;
    set_series(&s, types::block, 0, memory::new_series(8, 16, -1));
    memory::buffer_header* h = series::buffer(&s);
    ASSERT_EQ(h->head, 64u);
    kel_value one = int_v(1), two = int_v(2), three = int_v(3);
    block::ks_add(&s, &one);
    block::ks_insert_cell(&s, &two, false, false);
    EXPECT_EQ(series::buffer(&s), h);  // no growth, no cell moved
    EXPECT_EQ(h->head, 48u);
    block::ks_insert_cell(&s, &three, false, false);
    EXPECT_EQ(ints(s), v({3, 2, 1}));
    for (int i = 0; i < 20; ++i) block::ks_insert_cell(&s, &one, false, false);  // past the front room
    EXPECT_EQ(block::ks_length_q(&s), 23);
    std::vector<int32_t> all = ints(s);
    EXPECT_EQ(all[20], 3);
    EXPECT_EQ(all[22], 1);
}

TEST_F(CoreBlock, RemoveFirstAndValueAfter) {
    kel_value s = b({1, 2, 3, 2});
    kel_value at2 = s;
    set_series_head(&at2, 2);
    kel_value two = int_v(2), seven = int_v(7), three = int_v(3), one = int_v(1);
    EXPECT_EQ(block::ks_remove_first(&at2, &two, false), 0);  // the match at 3 lies after the head
    EXPECT_EQ(ints(s), v({1, 2, 3}));
    EXPECT_EQ(block::ks_remove_first(&at2, &two, true), 1);   // from the start: index 1 <= head
    EXPECT_EQ(ints(s), v({1, 3}));
    EXPECT_EQ(block::ks_remove_first(&s, &seven, true), 0);
    kel_value t = b({1, 2, 3});
    EXPECT_EQ(get_integer(block::ks_value_after(&one, &t)), 2);
    EXPECT_TRUE(none_q(block::ks_value_after(&three, &t)));  // the last cell
    EXPECT_TRUE(none_q(block::ks_value_after(&seven, &t)));
}

TEST_F(CoreBlock, StackFormsAppendAndInsert) {
    kel_value s = b({1});
    kel_value two = int_v(2), three = int_v(3);
    stack::push_copy(&s);
    stack::push_copy(&two);
    EXPECT_EQ(ints(*block::append_second()), v({1, 2}));
    stack::reset();
    stack::push_copy(&s);
    stack::open_native_frame(nullptr);
    stack::push_copy(&three);
    block::append_last();
    EXPECT_EQ(ints(s), v({1, 2, 3}));
    block::insert_last();
    EXPECT_EQ(ints(s), v({3, 1, 2, 3}));
    stack::close_frame();
}

TEST_F(CoreBlock, MakingBlocks) {
    kel_value* parent = block::make_at_tail(nullptr, 2);
    kel_value* child = block::make_at_tail(parent, 4);
    EXPECT_EQ(block::ks_length_q(parent), 1);
    EXPECT_EQ(type_of(child), types::block);
    kel_value* raw = block::make_fixed_in(parent, 3);
    EXPECT_TRUE(series::buffer(raw)->flags & memory::flag_heap);
    kel_value preset;
    block::allocate_at(&preset, 2, false);
    EXPECT_EQ(reinterpret_cast<kel_value*>(series::buffer(&preset)->data())[1].header, 2u);
    kel_value* pushed = block::push_only_star(0);
    EXPECT_EQ(pushed, stack::last_cell());
    EXPECT_EQ(series::buffer(pushed)->capacity, 16u);
}

TEST_F(CoreBlock, DuplicateShallowAndDeep) {
    kel_value inner = b({1, 2});
    kel_value outer = b({inner, marked(int_v(3))});
    set_type(&outer, types::paren);
    kel_value* shallow = block::duplicate(&outer, false, false);
    EXPECT_EQ(type_of(shallow), types::paren);
    EXPECT_EQ(series_node(block::ks_abs_at(shallow, 0)), series_node(&inner));
    kel_value* deep = block::duplicate(&outer, true, false);
    kel_value copied = *block::ks_abs_at(deep, 0);
    EXPECT_NE(series_node(&copied), series_node(&inner));
    EXPECT_EQ(ints(copied), v({1, 2}));
    EXPECT_TRUE(new_line_q(block::ks_abs_at(deep, 1)));
    kel_value nine = int_v(9);
    block::ks_add(&inner, &nine);
    EXPECT_EQ(ints(copied), v({1, 2}));
    // A block holding itself is copied without endless recursion.
    kel_value self = b({1});
    block::ks_add(&self, &self);
    kel_value* d = block::duplicate(&self, true, true);
    EXPECT_EQ(block::ks_length_q(d), 2);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(CoreBlock, MoldLayout) {
    struct row { const char* what; kel_value value; bool flat, only; const char* expected; };
    const row rows[] = {
        {"plain", b({1, 2, b({3})}), false, false, "[1 2 [3]]"},
        {"empty", b({}), false, false, "[]"},
        {"scalars", b({test::none_v(), test::logic_v(true), test::unset_v(), test::type_v(types::block)}), false,
         false, "[none true unset block!]"},
        {"first marked", b({marked(int_v(1)), marked(int_v(2))}), false, false, "[\n    1\n    2\n]"},
        {"later marked", b({1, marked(int_v(2)), 3}), false, false, "[1\n2 3]"},
        {"nested", b({marked(b({marked(int_v(1))}))}), false, false, "[\n    [\n        1\n    ]\n]"},
        {"flat", b({marked(int_v(1)), marked(int_v(2))}), true, false, "[1 2]"},
        {"only", b({marked(int_v(1)), marked(int_v(2))}), false, true, "1\n2"},
        {"only keeps inner brackets", b({b({1}), 2}), false, true, "[1] 2"},
        {"negative numbers", b({-2147483647 - 1, 0, 2147483647}), false, false, "[-2147483648 0 2147483647]"},
    };
    for (const row& r : rows) EXPECT_EQ(test::mold(r.value, false, r.flat, r.only), r.expected) << r.what;
    EXPECT_EQ(test::form(b({1, b({2, 3}), test::none_v()})), "1 2 3 none");
    EXPECT_EQ(test::mold(b({test::none_v()}), true), "[#(none)]");
}

TEST_F(CoreBlock, MoldPartBudgetStopsBetweenCells) {
    kel_value s = b({100, 200, 300, 400});
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    kel_value limit = int_v(5);
    int32_t left = block::mold_cells(&s, buffer, false, false, false, &limit, 5, 0);
    // "100" (2 left), " 200" (-2 left): the second cell overruns, then it stops.
    EXPECT_EQ(test::text(*buffer), U"100 200");
    EXPECT_EQ(left, -2);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(CoreBlock, CompareCells) {
    struct row { kel_value a, b; int32_t op; int32_t expected; };
    kel_value shared = b({1, 2});
    const row rows[] = {
        {b({1, 2}), b({1, 2, 3}), cmp::equal, 1},
        {b({1, 2}), b({1, 2, 3}), cmp::lesser, -1},
        {b({1, 3}), b({1, 2, 3}), cmp::lesser, 1},
        {b({1, 2}), b({1, 2}), cmp::equal, 0},
        {b({1, 2}), b({1, 2}), cmp::same, -1},
        {shared, shared, cmp::same, 0},
        {b({1, test::none_v()}), b({1, 2}), cmp::sort, types::none < types::integer ? -1 : 1},
        {b({}), b({1}), cmp::lesser, -1},
        {b({b({1, 2})}), b({b({1, 2})}), cmp::equal, 0},
        {b({b({1, 2})}), b({b({1, 3})}), cmp::equal, -1},
    };
    for (const row& r : rows) EXPECT_EQ(block::compare_cells(&r.a, &r.b, r.op), r.expected);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(CoreBlock, SelfReferenceMoldsFormsAndComparesThroughTheGuard) {
    kel_value self = b({1});
    block::ks_add(&self, &self);
    EXPECT_EQ(test::mold(self), "[1 [...]]");
    EXPECT_EQ(test::form(self), "1 ...");
    kel_value paren = b({2});
    set_type(&paren, types::paren);
    block::ks_add(&paren, &paren);
    kel_value holder = b({paren});
    EXPECT_EQ(test::mold(holder), "[(2 (...))]");
    kel_value other = b({1});
    block::ks_add(&other, &other);
    // Both hold themselves: the walk ends through the cycle stack, equal.
    EXPECT_EQ(block::compare_cells(&self, &other, cmp::equal), 0);
    kel_value third = b({2});
    block::ks_add(&third, &third);
    EXPECT_NE(block::compare_cells(&self, &third, cmp::equal), 0);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(CoreBlock, TooDeepAtExactlyTheLimit) {
    for (int i = 0; i < 999; ++i) cycles::push(memory::node_base + 1 + i);
    EXPECT_EQ(cycles::depth(), 999);
    EXPECT_TRUE(cycles::find_q(memory::node_base + 999));
    EXPECT_TRUE(fires([] { cycles::push(memory::node_base + 5000); }, "too-deep"));
    EXPECT_EQ(last_fired().category, error_category::internal);
    EXPECT_EQ(cycles::depth(), 0);  // emptied: molding works again
    EXPECT_EQ(test::mold(b({1})), "[1]");
    cycles::pop();
    cycles::pop_n(3);
    EXPECT_EQ(cycles::depth(), 0);

    // 999 nested blocks mold; 1,000 raise too-deep.
    auto nest = [](int depth) {
        kel_value inner = b({});
        for (int i = 1; i < depth; ++i) inner = b({inner});
        return inner;
    };
    std::string m = test::mold(nest(999));
    EXPECT_EQ(m.size(), 999u * 2);
    EXPECT_TRUE(fires([&] { test::mold(nest(1000)); }, "too-deep"));
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(CoreBlock, CycleDetectPlaceholders) {
    struct row { uint32_t type; const char* mold; const char* form; };
    const row rows[] = {
        {types::block, "[...]", "..."}, {types::hash, "[...]", "..."}, {types::paren, "(...)", "..."},
        {types::map, "#[...]", "..."}, {types::path, "...", "..."}, {types::set_path, "...", "..."},
    };
    for (const row& r : rows) {
        kel_value x = b({});
        set_type(&x, r.type);
        for (bool as_mold : {true, false}) {
            kel_value* buffer = block::make_at_tail(nullptr, 1);
            text_out::new_buffer(buffer, 16);
            int32_t part = 100;
            EXPECT_FALSE(cycles::detect_q(&x, buffer, &part, as_mold));
            cycles::push(series_node(&x));
            EXPECT_TRUE(cycles::detect_q(&x, buffer, &part, as_mold));
            cycles::pop();
            std::string expected = as_mold ? r.mold : r.form;
            std::u32string got = test::text(*buffer);
            EXPECT_EQ(std::string(got.begin(), got.end()), expected);
            EXPECT_EQ(part, 100 - static_cast<int32_t>(expected.size()));
        }
    }
    kel_value obj;
    init_cell(&obj, types::object);
    obj.w1 = memory::node_base + 77;
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    int32_t part = 0;
    cycles::push(memory::node_base + 77);
    EXPECT_TRUE(cycles::detect_q(&obj, buffer, &part, true));
    cycles::reset();
    EXPECT_EQ(part, -18);
}

TEST(CoreCompanions, ReplicateIndentAndCheckedIntegers) {
    test::boot();
    char buf[32] = "abc";
    EXPECT_EQ(memory::replicate(buf, 3, 5), buf + 15);
    EXPECT_EQ(std::string(buf, 15), "abcabcabcabcabc");
    char one[8] = "xy";
    memory::replicate(one, 2, 1);
    EXPECT_EQ(std::string(one, 3), std::string("xy\0", 3));

    struct row { double d; bool raises; int32_t expected; };
    const row rows[] = {{2147483647.0, false, 2147483647}, {2147483647.5, true, 0}, {-0.5, false, 0},
                        {-2147483648.0, false, INT32_MIN}, {-2147483648.5, true, 0}, {1e300, true, 0},
                        {-7.9, false, -7}, {__builtin_nan(""), true, 0}};
    for (const row& r : rows) {
        kel_value f;
        set_float(&f, r.d);
        if (r.raises) {
            EXPECT_TRUE(fires([&] { cell::get_int_checked(&f); }, "out-of-range")) << r.d;
        } else {
            EXPECT_EQ(cell::get_int_checked(&f), r.expected) << r.d;
        }
    }
    kel_value i = int_v(-5), c = test::char_v(65);
    EXPECT_EQ(cell::get_int_checked(&i), -5);
    EXPECT_EQ(cell::get_int_checked(&c), 65);

    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 4);
    EXPECT_EQ(mold::indent(buffer, 2, 10), 2);
    EXPECT_EQ(test::text(*buffer), U"        ");
}

TEST(CoreValue, PayloadForms) {
    kel_value x;
    set_float(&x, 1.5);
    EXPECT_EQ(type_of(&x), types::float_);
    uint64_t bits;
    std::memcpy(&bits, reinterpret_cast<char*>(&x) + 8, 8);
    EXPECT_EQ(x.w2, static_cast<uint32_t>(bits));        // low half in word 2
    EXPECT_EQ(x.w3, static_cast<uint32_t>(bits >> 32));
    EXPECT_EQ(get_float(&x), 1.5);
    set_float(&x, 0.5, types::percent);
    EXPECT_EQ(type_of(&x), types::percent);
    set_point3d(&x, 1.0f, -2.0f, 3.5f);
    EXPECT_EQ(get_float32(&x, 2), -2.0f);
    EXPECT_EQ(get_float32(&x, 3), 3.5f);
    kel_value ts{};
    init_cell(&ts, types::typeset);
    typeset_add(&ts, types::block);
    typeset_add(&ts, types::integer);
    EXPECT_TRUE(typeset_has(&ts, types::block));
    EXPECT_FALSE(typeset_has(&ts, types::string));
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&ts)[4], 0x80u >> 5);  // id 5: bit 0x80 >> 5 of byte 0
    kel_value n = test::int_v(1);
    n.header |= 0x4000u;
    set_type(&n, types::char_);
    EXPECT_EQ(n.header, 0x4000u | types::char_);  // flags kept
    set_new_line(&n, true);
    EXPECT_TRUE(new_line_q(&n));
    clear_new_line(&n);
    EXPECT_FALSE(new_line_q(&n));
}
