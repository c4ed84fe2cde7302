// The modification stamp of a block's buffer: every way of writing a block's
// cells, from Kel (actions, natives, path steps, binding) and from the C++
// block API, moves it, and growth or a collection never takes it back to a
// value it had. Reading a block leaves it alone.
#include "kernel/collector.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

// The stamp of the block held by the global word `b`.
uint32_t stamp_of_b() {
    kel_value w = *word::from_c_string("b");
    const kel_value* v = _context::get_bound(&w);
    return memory::stamp_of(memory::buffer_of(series_node(v)));
}

struct stamp_row {
    const char* code;  // run after `b` holds a fresh block
    bool writes;
};

struct block_stamp : eval_test {};

TEST_F(block_stamp, every_writer_moves_the_stamp) {
    const stamp_row rows[] = {
        {"append b 4", true},
        {"append/only b [x]", true},
        {"insert b 0", true},
        {"insert/dup b 0 3", true},
        {"change b 9", true},
        {"change/part b [7 7] 2", true},
        {"poke b 2 'z", true},
        {"b/2: 'z", true},
        {"b/x: 5", true},  // a set-path step found by key
        {"remove b", true},
        {"remove/part b 2", true},
        {"clear next b", true},
        {"take b", true},
        {"take/last b", true},
        {"swap b [9]", true},
        {"reverse b", true},
        {"sort b", true},
        {"sort/compare b func [a c] [false]", true},
        {"random b", true},
        {"trim b", true},
        {"move b tail b", true},
        {"move b []", true},  // the origin loses a cell
        {"bind b make object! [x: 1]", true},
        {"put b 'x 3", true},
        // reads
        {"pick b 1", false},
        {"copy b", false},
        {"find b 2", false},
        {"select b 'x", false},
        {"length? b", false},
        {"b/2", false},
        {"mold b", false},
        {"do [pick b 1]", false},
    };
    for (const stamp_row& r : rows) {
        ASSERT_EQ(run("b: [1 2 3 x 4 y]"), "[1 2 3 x 4 y]");
        const uint32_t before = stamp_of_b();
        const std::string result = run(r.code);
        EXPECT_NE(result.substr(0, 1), "!") << r.code << " -> " << result;
        if (r.writes) EXPECT_NE(stamp_of_b(), before) << r.code;
        else EXPECT_EQ(stamp_of_b(), before) << r.code;
    }
}

TEST_F(block_stamp, the_block_api_moves_the_stamp) {
    ASSERT_EQ(run("b: [1 2 3]"), "[1 2 3]");
    kel_value w = *word::from_c_string("b");
    kel_value b = *_context::get_bound(&w);
    const kel_value four = int_v(4);
    uint32_t last = stamp_of_b();
    auto moved = [&](const char* what) {
        const uint32_t now = stamp_of_b();
        EXPECT_NE(now, last) << what;
        last = now;
    };
    block::ks_add(&b, &four);
    moved("ks_add");
    for (int i = 0; i < 40; ++i) block::ks_add(&b, &four);  // through growth
    moved("ks_add_grow");
    block::ks_insert_cell(&b, &four, false, true);
    moved("ks_insert_cell");
    block::ks_remove_first(&b, &four, true);
    moved("ks_remove_first");
    block::ks_cut_at(&b, 2);
    moved("ks_cut_at");
    block::modified(&b);
    moved("modified");
}

TEST_F(block_stamp, growth_and_collection_never_take_it_back) {
    ASSERT_EQ(run("b: [1]"), "[1]");
    uint32_t last = stamp_of_b();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(run("length? append b 1"), std::to_string(i + 2));
        collector::collect();
        const uint32_t now = stamp_of_b();
        ASSERT_GT(now, last) << i;
        last = now;
    }
    // A copy starts afresh and does not share the stamp's future.
    EXPECT_EQ(run("c: copy b length? c"), "201");
}

}  // namespace
