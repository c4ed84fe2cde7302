// The changing actions of block!: append, insert and change against a list
// model over generated cases (/part, /dup, /only, a value in the target's
// own buffer), the stack entries' /part conversion, take /deep, swap, trim,
// copy /deep /types with the cycle check, make and to.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
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

struct BlocksChange : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

using list = std::vector<int32_t>;

kel_value from_ints(const list& v) {
    std::vector<kel_value> cells;
    for (int32_t x : v) cells.push_back(int_v(x));
    return test::block_of(cells);
}

kel_value at(kel_value s, int32_t head) {
    set_series_head(&s, head);
    return s;
}

}  // namespace

TEST_F(BlocksChange, InsertAppendAndChangeAgreeWithAListModel) {
    std::mt19937 rng(99);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 3000; ++round) {
        list target;
        for (int i = pick(8); i > 0; --i) target.push_back(100 + pick(50));
        const int head = pick(static_cast<int>(target.size()) + 1);
        const int kind = pick(3);  // 0 append, 1 insert, 2 change
        const bool self = pick(5) == 0;  // the value is the target itself at some head
        list value_cells;
        int value_head = 0;
        const bool scalar = !self && pick(4) == 0;
        if (self) {
            value_cells = target;
            value_head = pick(static_cast<int>(target.size()) + 1);
        } else if (!scalar) {
            for (int i = pick(4); i > 0; --i) value_cells.push_back(pick(50));
        } else {
            value_cells = {7};
        }
        const bool only = !scalar && pick(5) == 0;
        const int part = pick(3) == 0 ? pick(5) : -1;
        const int dup = pick(4) == 0 ? pick(4) : 1;

        // The model.
        list spliced = scalar ? list{7} : only ? list{-1} : list(value_cells.begin() + value_head, value_cells.end());
        list m = target;
        int result_head;
        if (kind < 2) {
            list run = spliced;
            if (part >= 0 && part < static_cast<int>(run.size())) run.resize(static_cast<size_t>(part));
            list all;
            if (dup >= 1)
                for (int d = 0; d < dup; ++d) all.insert(all.end(), run.begin(), run.end());
            const int where = kind == 0 ? static_cast<int>(m.size()) : head;
            m.insert(m.begin() + where, all.begin(), all.end());
            result_head = kind == 0 ? 0 : where + static_cast<int>(all.size());
        } else {
            list all;
            for (int d = 0; d < dup; ++d) all.insert(all.end(), spliced.begin(), spliced.end());
            const int avail = static_cast<int>(m.size()) - head;
            const int removed = part >= 0 ? std::min(part, avail) : std::min(static_cast<int>(all.size()), avail);
            m.erase(m.begin() + head, m.begin() + head + removed);
            m.insert(m.begin() + head, all.begin(), all.end());
            result_head = head + static_cast<int>(all.size());
        }

        kel_value s = at(from_ints(target), head);
        kel_value v;
        if (self) v = at(s, value_head);
        else if (scalar) v = int_v(7);
        else v = from_ints(value_cells);
        kel_value only_marker = v;  // an /only value is inserted as one cell
        if (kind < 2) block::insert(&s, &v, part, only, dup, kind == 0);
        else block::change(&s, &v, part, only, dup);
        ASSERT_EQ(series_head(&s), result_head) << round;
        kel_value whole = at(s, 0);
        list got;
        for (int32_t i = 0; i < block::ks_length_q(&whole); ++i) {
            const kel_value* c = block::ks_abs_at(&whole, i);
            got.push_back(type_of(c) == types::integer ? get_integer(c) : (series_node(c) == series_node(&only_marker) ? -1 : -2));
        }
        ASSERT_EQ(got, m) << "round " << round << " kind " << kind << " part " << part << " dup " << dup
                          << " only " << only << " self " << self;
    }
}

TEST_F(BlocksChange, EdgeCases) {
    // insert/dup 3 of a two-cell block inserts six cells and leaves the head after them.
    kel_value s = from_ints({1, 2});
    kel_value v = from_ints({8, 9});
    block::insert(&s, &v, -1, false, 3, false);
    EXPECT_EQ(series_head(&s), 6);
    EXPECT_EQ(ints(at(s, 0)), (list{8, 9, 8, 9, 8, 9, 1, 2}));
    // append answers the series at its head, wherever the argument's head was.
    kel_value t = at(from_ints({1, 2, 3}), 2);
    kel_value four = int_v(4);
    block::insert(&t, &four, -1, false, 1, true);
    EXPECT_EQ(series_head(&t), 0);
    EXPECT_EQ(ints(t), (list{1, 2, 3, 4}));
    // A head past a shortened buffer is clamped to the tail first.
    kel_value u = from_ints({1, 2});
    kel_value far = at(u, 9);
    block::insert(&far, &four, -1, false, 1, false);
    EXPECT_EQ(ints(u), (list{1, 2, 4}));
    EXPECT_EQ(series_head(&far), 3);
    // A block appended to itself.
    kel_value w = from_ints({1, 2});
    block::insert(&w, &w, -1, false, 2, true);
    EXPECT_EQ(ints(w), (list{1, 2, 1, 2, 1, 2}));
    // Sizes past what a buffer can hold are a memory error, not a wrap.
    EXPECT_TRUE(fires([&] { block::insert(&w, &v, -1, false, 0x7FFFFFFF, true); }, "no-memory"));
    EXPECT_TRUE(fires([&] { block::change(&w, &v, -1, false, 0x7FFFFFFF); }, "no-memory"));
    EXPECT_EQ(ints(w), (list{1, 2, 1, 2, 1, 2}));
    // change with an empty block and /part removes.
    kel_value x = from_ints({1, 2, 3, 4});
    kel_value empty = b({});
    block::change(&x, &empty, 2, false, 1);
    EXPECT_EQ(ints(at(x, 0)), (list{3, 4}));
}

TEST_F(BlocksChange, StackEntriesConvertPartAndDup) {
    struct row {
        int action;
        int32_t value_head;
        kel_value part;   // unset: no /part
        kel_value dup;    // unset: no /dup
        list expected;
        int32_t head;
    };
    kel_value value = from_ints({5, 6, 7});
    kel_value value_at2 = at(value, 2);
    const row rows[] = {
        {act::append, 0, int_v(2), test::unset_v(), {1, 2, 5, 6}, 0},
        {act::append, 2, int_v(-1), test::unset_v(), {1, 2, 6}, 0},     // the cell before the value's head
        {act::append, 0, value_at2, test::unset_v(), {1, 2, 5, 6}, 0},  // a position in the value
        {act::insert, 0, int_v(1), int_v(2), {5, 5, 1, 2}, 2},
        {act::insert, 0, int_v(0), test::unset_v(), {1, 2}, 0},         // nothing to do
        {act::insert, 0, test::unset_v(), int_v(0), {1, 2}, 0},
        {act::change, 0, int_v(1), test::unset_v(), {5, 6, 7, 2}, 3},    // /part counts the target
        {act::change, 0, test::unset_v(), int_v(2), {5, 6, 7, 5, 6, 7}, 6},
    };
    for (const row& r : rows) {
        stack::reset();
        kel_value s = from_ints({1, 2});
        stack::push_copy(&s);
        kel_value v = at(value, r.value_head);
        stack::push_copy(&v);
        refinements refs = refinements::none();
        int next = 2;
        if (!unset_q(&r.part)) {
            stack::push_copy(&r.part);
            refs.at[0] = next++;
        }
        if (!unset_q(&r.dup)) {
            stack::push_copy(&r.dup);
            refs.at[2] = next++;
        }
        ASSERT_EQ(registry::handler(types::block, r.action)(refs), signal_code::none);
        EXPECT_EQ(ints(at(s, 0)), r.expected) << r.action;
        EXPECT_EQ(series_head(stack::arguments()), r.head) << r.action;
    }
    // /part on a value that is no series counts that one cell: 1 or more
    // appends it, 0 nothing.
    for (const int32_t n : {1, 0}) {
        stack::reset();
        kel_value s = from_ints({1});
        kel_value seven = int_v(7), count = int_v(n);
        stack::push_copy(&s);
        stack::push_copy(&seven);
        stack::push_copy(&count);
        refinements refs = refinements::none();
        refs.at[0] = 2;
        EXPECT_EQ(registry::handler(types::block, act::append)(refs), signal_code::none);
        EXPECT_EQ(ints(s), n ? list({1, 7}) : list({1})) << n;
    }
}

TEST_F(BlocksChange, TakeDeepSwapAndTrim) {
    kel_value inner = from_ints({1, 2});
    kel_value s = test::block_of({inner, int_v(3), inner});
    kel_value out;
    block::take(&s, nullptr, true, false, &out);  // one cell: the cell itself, copied
    EXPECT_EQ(type_of(&out), types::block);
    EXPECT_NE(series_node(&out), series_node(&inner));
    EXPECT_EQ(ints(out), (list{1, 2}));
    kel_value two = int_v(2);
    block::take(&s, &two, true, false, &out);  // a block of the taken cells
    EXPECT_EQ(block::ks_length_q(&out), 2);
    EXPECT_NE(series_node(block::ks_abs_at(&out, 1)), series_node(&inner));
    kel_value shallow = test::block_of({inner});
    block::take(&shallow, nullptr, false, false, &out);
    EXPECT_EQ(series_node(&out), series_node(&inner));

    kel_value a = from_ints({1, 2}), c = from_ints({8, 9});
    kel_value c1 = at(c, 1);
    block::swap(&a, &c1);
    EXPECT_EQ(ints(a), (list{9, 2}));
    EXPECT_EQ(ints(c), (list{8, 1}));
    kel_value at_tail = at(c, 2);
    block::swap(&a, &at_tail);  // nothing at a tail
    EXPECT_EQ(ints(a), (list{9, 2}));
    kel_value three = int_v(3);
    EXPECT_TRUE(fires([&] { block::swap(&a, &three); }, "invalid-arg"));

    kel_value t = test::block_of({int_v(1), test::none_v(), int_v(2), test::none_v()});
    block::trim(&t);
    EXPECT_EQ(ints(t), (list{1, 2}));
    kel_value u = test::block_of({test::none_v(), int_v(1), test::none_v(), int_v(2)});
    kel_value u1 = at(u, 1);
    block::trim(&u1);  // from the head on
    EXPECT_EQ(test::mold(u), "[none 1 2]");
}

TEST_F(BlocksChange, CopyDeepTypesAndCycles) {
    kel_value inner = from_ints({1, 2});
    kel_value text = test::str(U"ab");
    kel_value s = test::block_of({inner, text, int_v(3)});
    kel_value out;
    block::copy(&s, &out, nullptr, false, nullptr);
    EXPECT_EQ(series_node(block::ks_abs_at(&out, 0)), series_node(&inner));
    block::copy(&s, &out, nullptr, true, nullptr);
    EXPECT_NE(series_node(block::ks_abs_at(&out, 0)), series_node(&inner));
    EXPECT_NE(series_node(block::ks_abs_at(&out, 1)), series_node(&text));
    EXPECT_EQ(test::text(*block::ks_abs_at(&out, 1)), U"ab");
    // /types: only the selected cells are copied.
    kel_value string_type = test::type_v(types::string);
    block::copy(&s, &out, nullptr, false, &string_type);
    EXPECT_EQ(series_node(block::ks_abs_at(&out, 0)), series_node(&inner));
    EXPECT_NE(series_node(block::ks_abs_at(&out, 1)), series_node(&text));
    kel_value ts;
    init_cell(&ts, types::typeset);
    typeset_add(&ts, types::block);
    block::copy(&s, &out, nullptr, true, &ts);
    EXPECT_NE(series_node(block::ks_abs_at(&out, 0)), series_node(&inner));
    EXPECT_EQ(series_node(block::ks_abs_at(&out, 1)), series_node(&text));
    kel_value bad = int_v(1);
    EXPECT_TRUE(fires([&] { block::copy(&s, &out, nullptr, false, &bad); }, "invalid-refine-arg"));
    // /part with /deep.
    kel_value one = int_v(1);
    block::copy(&s, &out, &one, true, nullptr);
    EXPECT_EQ(block::ks_length_q(&out), 1);
    EXPECT_NE(series_node(block::ks_abs_at(&out, 0)), series_node(&inner));
    // A hash! copied deep becomes a block!.
    kel_value h = test::block_of({int_v(1)}, types::hash);
    block::copy(&h, &out, nullptr, true, nullptr);
    EXPECT_EQ(type_of(&out), types::block);
    block::copy(&h, &out, nullptr, false, nullptr);
    EXPECT_EQ(type_of(&out), types::hash);

    // A block holding itself: no-cycle, and the cycle stack is usable afterwards.
    kel_value loop = from_ints({1});
    block::ks_add(&loop, &loop);
    EXPECT_TRUE(fires([&] { block::copy(&loop, &out, nullptr, true, nullptr); }, "no-cycle"));
    EXPECT_EQ(cycles::depth(), 0);
    block::copy(&loop, &out, nullptr, false, nullptr);  // shallow copies are fine
    EXPECT_EQ(block::ks_length_q(&out), 2);
    // The same nested block twice is no cycle.
    kel_value twice = test::block_of({inner, inner});
    block::copy(&twice, &out, nullptr, true, nullptr);
    EXPECT_NE(series_node(block::ks_abs_at(&out, 0)), series_node(block::ks_abs_at(&out, 1)));
}

TEST_F(BlocksChange, MakeAndTo) {
    struct size_row {
        kel_value spec;
        uint32_t capacity_cells;
    };
    kel_value f29;
    set_float(&f29, 2.9);
    const size_row sizes[] = {{int_v(0), 1}, {int_v(-5), 1}, {int_v(10), 10}, {f29, 2}};
    for (const size_row& r : sizes) {
        kel_value out;
        block::make(&out, &r.spec, types::paren);
        EXPECT_EQ(type_of(&out), types::paren);
        EXPECT_EQ(block::ks_length_q(&out), 0);
        EXPECT_EQ(series::buffer(&out)->capacity, r.capacity_cells * 16);
    }
    kel_value huge;
    set_float(&huge, 1e12);
    kel_value out;
    EXPECT_TRUE(fires([&] { block::make(&out, &huge, types::block); }, "out-of-range"));
    kel_value none = test::none_v();
    EXPECT_TRUE(fires([&] { block::make(&out, &none, types::block); }, "bad-make-arg"));
    // A block-like spec is copied shallowly from its head, typed as asked.
    kel_value inner = from_ints({1});
    kel_value spec = at(test::block_of({int_v(0), inner, int_v(2)}, types::paren), 1);
    block::make(&out, &spec, types::block);
    EXPECT_EQ(type_of(&out), types::block);
    EXPECT_EQ(block::ks_length_q(&out), 2);
    EXPECT_EQ(series_node(block::ks_abs_at(&out, 0)), series_node(&inner));

    // to: block-like copied, a file! (or any other value) wrapped, a typeset listed.
    block::to(&out, &spec, types::block);
    EXPECT_EQ(block::ks_length_q(&out), 2);
    kel_value file = test::str(U"a.txt", 1, types::file);
    block::to(&out, &file, types::block);
    ASSERT_EQ(block::ks_length_q(&out), 1);
    EXPECT_EQ(type_of(block::ks_abs_at(&out, 0)), types::file);
    kel_value ts;
    init_cell(&ts, types::typeset);
    typeset_add(&ts, types::integer);
    typeset_add(&ts, types::block);
    block::to(&out, &ts, types::block);
    EXPECT_EQ(test::mold(out), "[block! integer!]");
    // Through the stack entry: make block! 3 (the first argument is the datatype).
    stack::reset();
    kel_value block_type = test::type_v(types::block), three = int_v(3);
    stack::push_copy(&block_type);
    stack::push_copy(&three);
    ASSERT_EQ(registry::handler(types::block, act::make)(refinements::none()), signal_code::none);
    EXPECT_EQ(type_of(stack::arguments()), types::block);
    EXPECT_EQ(series::buffer(stack::arguments())->capacity, 48u);
}
