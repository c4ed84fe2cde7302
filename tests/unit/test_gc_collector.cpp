// The collector: exact roots, marking by type, the conservative stack scan,
// pins, compaction, frame release, the checks and the figures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <vector>

#include "kernel/stack.h"
#include "kernel/compaction.h"
#include "kernel/cycle_guard.h"
#include "kernel/handles.h"
#include "kernel/ownership.h"
#include "kernel/slots.h"
#include "kernel/stack_scan.h"
#include "tests/unit/gc_helpers.h"

using namespace kel;
using namespace kel::gc_test;
namespace mem = kel::memory;
namespace gc = kel::collector;

namespace {

struct GcCollector : ::testing::Test {
    checks_guard saved;
    void SetUp() override {
        test::boot();
        stack::reset();
    }
    void TearDown() override { stack::reset(); }
};

kel_value probe_cell{};

}  // namespace

// --- marking by type -------------------------------------------------------------

TEST_F(GcCollector, MarkersFollowTheNodeWordsOfEachType) {
    struct row {
        const char* what;
        uint32_t header;
        bool w1, w2, w3;  // which of the three nodes the cell keeps
    };
    const row rows[] = {
        {"block!", types::block, false, true, false},
        {"paren!", types::paren, false, true, false},
        {"set-path!", types::set_path, false, true, false},
        {"string!", types::string, false, true, true},
        {"tag!", types::tag, false, true, true},
        {"binary!", types::binary, false, true, false},
        {"bitset!", types::bitset, false, true, false},
        {"vector!", types::vector, false, true, false},
        {"symbol!", types::symbol, false, true, true},
        {"context!", types::context, true, true, false},
        {"context! with values on the stack", types::context | 0x400000u, true, false, false},
        {"word!", types::word, true, false, false},
        {"refinement!", types::refinement, true, false, false},
        {"object!", types::object, true, false, true},
        {"error!", types::error, true, false, true},
        {"port!", types::port, true, false, true},
        {"hash!", types::hash, false, true, true},
        {"map!", types::map, false, true, true},
        {"function!", types::function, true, true, true},
        {"routine!", types::routine, true, true, true},
        {"native!", types::native, false, true, true},
        {"action!", types::action, false, true, true},
        {"op! over a function", types::op | (types::function << 16), true, true, true},
        {"op! over a native", types::op | (types::native << 16), false, true, true},
        {"image!", types::image, false, true, false},
        {"event! with its block", types::event | 0x1000u, false, true, false},
        {"event! without", types::event, false, false, false},
        {"integer!", types::integer, false, false, false},
        {"pair!", types::pair, false, false, false},
        {"typeset!", types::typeset, false, false, false},
        {"handle!", types::handle, false, false, false},
        {"no type (a map hole)", 0, false, false, false},
        {"an id past the table", 0xDB, false, false, false},
    };
    gc::add_root_cell(&probe_cell);
    for (const row& r : rows) {
        const uint32_t n1 = mem::new_cells(1), n2 = mem::new_cells(1), n3 = mem::new_cells(1);
        probe_cell = kel_value{r.header, n1, n2, n3};
        bool marked[3] = {};
        {
            probe_guard p([&] {
                marked[0] = gc::marked_q(n1);
                marked[1] = gc::marked_q(n2);
                marked[2] = gc::marked_q(n3);
            });
            gc::collect();
        }
        EXPECT_EQ(marked[0], r.w1) << r.what << " word 1";
        EXPECT_EQ(marked[1], r.w2) << r.what << " word 2";
        EXPECT_EQ(marked[2], r.w3) << r.what << " word 3";
    }
    set_none(&probe_cell);
    gc::remove_root_cell(&probe_cell);
}

TEST_F(GcCollector, WordsThatAreNoLiveNodesMarkNothingAndDoNotCrash) {
    gc::add_root_cell(&probe_cell);
    const uint32_t freed = mem::take_node();
    mem::free_node(freed);
    const uint32_t words[] = {0, 1, 12345, mem::node_base - 1, freed, 0x47FFFFFFu, 0xFFFFFFFFu};
    for (uint32_t w : words) {
        probe_cell = kel_value{types::function, w, w, w};
        gc::collect();
        probe_cell = kel_value{types::string, 0, w, w};
        gc::collect();
    }
    set_none(&probe_cell);
    gc::remove_root_cell(&probe_cell);
    EXPECT_TRUE(gc::verify_heap(false));
}

TEST_F(GcCollector, ASetMarkerReplacesATypesRow) {
    gc::add_root_cell(&probe_cell);
    const uint32_t n = mem::new_cells(1);
    probe_cell = kel_value{types::pair, 0, 0, n};  // pair! marks nothing by default
    const gc::marker_fn old = gc::marker(types::pair);
    gc::set_marker(types::pair, [](const kel_value* c) { gc::mark_node(c->w3); });
    bool marked = false;
    {
        probe_guard p([&] { marked = gc::marked_q(n); });
        gc::collect();
    }
    gc::set_marker(types::pair, old);
    EXPECT_TRUE(marked);
    set_none(&probe_cell);
    gc::remove_root_cell(&probe_cell);
}

// --- exact roots -------------------------------------------------------------------

TEST_F(GcCollector, EveryExactRootIsMarkedBeforeTheStackScan) {
    const uint32_t in_root = mem::new_cells(1), on_stack = mem::new_cells(1), above_top = mem::new_cells(1),
                   word_ctx = mem::new_cells(1), call_ctx = mem::new_cells(1), saved = mem::new_cells(1),
                   guarded = mem::new_cells(1), slotted = mem::new_cells(1), pinned = mem::new_cells(1),
                   in_cell = mem::new_cells(1);
    kel_value c = block_cell(in_root);
    block::ks_add(block::root(), &c);
    c = block_cell(on_stack);
    stack::push_copy(&c);
    c = block_cell(above_top);
    stack::push_copy(&c);
    stack::drop_cells(1);  // still written above the top, no longer live
    kel_value name;
    init_cell(&name, types::word);
    name.w1 = word_ctx;
    stack::call_mark* m = stack::open_frame(&name, stack::kind::call);
    m->function_context = call_ctx;
    m->saved_values = saved;
    cycles::push(guarded);
    c = block_cell(slotted);
    const int32_t slot = slot_table::take(&c);
    gc::pin(pinned);
    probe_cell = block_cell(in_cell);
    gc::add_root_cell(&probe_cell);

    std::vector<std::pair<const char*, uint32_t>> expect_marked = {
        {"root block", in_root}, {"argument stack", on_stack}, {"word context", word_ctx},
        {"function context", call_ctx}, {"saved values", saved}, {"cycle stack", guarded},
        {"slot table", slotted}, {"pin list", pinned}, {"root cell", in_cell}};
    std::vector<bool> got(expect_marked.size());
    bool above = true, collecting = false;
    {
        probe_guard p([&] {
            gc::trace();
            collecting = gc::collecting_q();
            for (size_t i = 0; i < expect_marked.size(); ++i) got[i] = gc::marked_q(expect_marked[i].second);
            above = gc::marked_q(above_top);
        });
        gc::collect();
    }
    EXPECT_TRUE(collecting);
    EXPECT_FALSE(gc::collecting_q());
    for (size_t i = 0; i < expect_marked.size(); ++i) EXPECT_TRUE(got[i]) << expect_marked[i].first;
    EXPECT_FALSE(above) << "a cell above the argument top";

    gc::unpin(pinned);
    slot_table::release(slot);
    cycles::pop();
    stack::close_frame();
    set_none(&probe_cell);
    gc::remove_root_cell(&probe_cell);
    set_none(block::ks_tail(block::root()) - 1);
}

TEST_F(GcCollector, HooksRunInOrderAndRemovedOnesStayEmpty) {
    static int calls_a = 0, calls_b = 0;
    static std::vector<char> order;
    auto a = [] { ++calls_a; order.push_back('a'); };
    auto b = [] { ++calls_b; order.push_back('b'); };
    ASSERT_TRUE(gc::add_hook(a));
    ASSERT_TRUE(gc::add_hook(b));
    gc::remove_hook(+[] {});  // never added: nothing changes
    gc::collect();
    EXPECT_EQ(calls_a, 1);
    EXPECT_EQ(calls_b, 1);
    EXPECT_EQ(std::string(order.begin(), order.end()), "ab");
    gc::remove_hook(a);
    gc::collect();
    EXPECT_EQ(calls_a, 1);
    EXPECT_EQ(calls_b, 2);
    gc::remove_hook(b);
}

TEST_F(GcCollector, ACollectionInsideACollectionDoesNothing) {
    const int32_t before = gc::stats.cycles;
    {
        probe_guard p([] { gc::collect(); });
        gc::collect();
    }
    EXPECT_EQ(gc::stats.cycles, before + 1);
    EXPECT_EQ(gc::stats.nodes_cycles, 0);
}

// The owner table keeps its records' buffer, not what the records hold.
TEST_F(GcCollector, OwnerRecordsDoNotKeepOwnedSeries) {
    const uint32_t owned = mem::new_cells(1), context = mem::new_cells(2);
    kel_value series = block_cell(owned), owner, word;
    init_cell(&owner, types::object);
    owner.w1 = context;
    init_cell(&word, types::word);
    ownership::bind(&series, &owner, &word);
    ASSERT_NE(ownership::owner_of(owned), nullptr);
    bool marked = true;
    {
        probe_guard p([&] {
            gc::trace();
            marked = gc::marked_q(owned) || gc::marked_q(context);
        });
        gc::collect();
    }
    EXPECT_FALSE(marked);
    ownership::unbind(&series);
}

// A heap-backed block's mark is cleared after each collection, so its cells
// are marked again by the next one.
TEST_F(GcCollector, HeapBackedBlocksAreTracedByEveryCollection) {
    kel_value* fixed = block::make_fixed_in(nullptr, 4);
    ASSERT_TRUE(mem::buffer_of(series_node(fixed))->flags & mem::flag_heap);
    const uint32_t child = new_string("child of a heap block");
    kel_value c = string_cell(child);
    block::ks_add(fixed, &c);
    for (int i = 0; i < 3; ++i) {
        bool marked = false;
        probe_guard p([&] {
            gc::trace();
            marked = gc::marked_q(child);
        });
        gc::collect();
        EXPECT_TRUE(marked) << "collection " << i;
        EXPECT_FALSE(mem::buffer_of(series_node(fixed))->flags & mem::flag_mark);
    }
    EXPECT_EQ(bytes_of(child), "child of a heap block");
}

// --- the conservative scan -------------------------------------------------------------

namespace {
__attribute__((noinline)) uint32_t make_unreferenced_string(const char* text) { return new_string(text); }

// Strings nothing refers to, and big buffers of 3 MB; the stack words they
// leave lie below the caller's frame.
__attribute__((noinline)) void make_garbage(int strings, uint32_t size, int bigs) {
    for (int i = 0; i < strings; ++i) memory::new_bytes(size);
    for (int i = 0; i < bigs; ++i) memory::new_bytes(3u << 20);
}
}  // namespace

TEST_F(GcCollector, ANodeIdInALocalKeepsItsSeries) {
    checks_guard g;
    gc::set_stress(moves_only);
    volatile uint32_t node = make_unreferenced_string("held by a node id only");
    gc::collect();
    ASSERT_TRUE(mem::node_live_q(node));
    EXPECT_EQ(bytes_of(node), "held by a node id only");
    EXPECT_EQ(mem::buffer_of(node)->node, node);
}

TEST_F(GcCollector, ACopiedCellInALocalKeepsTheBlockAndWhatItHolds) {
    checks_guard g;
    gc::set_stress(moves_only);
    kel_value local = block_cell(mem::new_cells(2));
    {
        const uint32_t inner = new_string("nested");
        kel_value c = string_cell(inner);
        block::ks_add(&local, &c);
    }
    asm volatile("" : : "r"(&local) : "memory");
    scrub_stack();
    gc::collect();
    gc::collect();
    ASSERT_TRUE(mem::node_live_q(series_node(&local)));
    const kel_value* head = block::ks_head(&local);
    ASSERT_EQ(block::ks_length_q(&local), 1);
    ASSERT_TRUE(mem::node_live_q(series_node(head)));
    EXPECT_EQ(bytes_of(series_node(head)), "nested");
}

TEST_F(GcCollector, APointerPastTheEndOfAFullBufferPinsIt) {
    checks_guard g;
    gc::set_stress(moves_only);
    kel_value keep = rooted_block(2);
    const uint32_t node = new_string(std::string(32, 'p'));  // capacity 32, used 32: full
    kel_value c = string_cell(node);
    block::ks_add(&keep, &c);
    mem::buffer_header* h = mem::buffer_of(node);
    ASSERT_EQ(h->used(), h->capacity);
    char* volatile past_end = h->data() + h->capacity;
    const uintptr_t where = reinterpret_cast<uintptr_t>(h);
    h = nullptr;
    gc::collect();
    gc::collect();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mem::buffer_of(node)), where);
    EXPECT_EQ(past_end, mem::buffer_of(node)->data() + 32);
    EXPECT_EQ(bytes_of(node), std::string(32, 'p'));
}

TEST_F(GcCollector, APointerIntoTheNodeArenaKeepsThatNode) {
    uintptr_t* volatile slot = nullptr;
    {
        const uint32_t node = make_unreferenced_string("named by its slot");
        slot = &mem::root.node_slots[node - mem::node_base];
    }
    scrub_stack();
    gc::collect();
    const uint32_t node = mem::node_base + static_cast<uint32_t>(slot - mem::root.node_slots);
    ASSERT_TRUE(mem::node_live_q(node));
    EXPECT_EQ(bytes_of(node), "named by its slot");
}

TEST_F(GcCollector, AFreshBufferWithoutANodeIsPinnedByItsAddress) {
    checks_guard g;
    gc::set_stress(moves_only);
    mem::buffer_header* volatile raw = mem::allocate_buffer(64, 1, 0);
    std::memcpy(raw->data(), "not yet a series", 16);
    raw->tail = 16;
    mem::buffer_header* const before = raw;
    gc::collect();
    gc::collect();
    EXPECT_EQ(raw, before);
    EXPECT_TRUE(raw->flags & mem::flag_in_use);
    EXPECT_EQ(std::memcmp(raw->data(), "not yet a series", 16), 0);
    const uint32_t node = mem::take_node();  // now it becomes a series
    mem::set_buffer(node, raw);
    raw->node = node;
    kel_value keep = rooted_block(1), c = string_cell(node);
    block::ks_add(&keep, &c);
    EXPECT_TRUE(gc::verify_heap(false));
}

TEST_F(GcCollector, TheScanReadsTheWholeStackOfThisThread) {
    char* top = gc::stack_top();
    char here = 0;
    EXPECT_GT(top, &here);
    volatile uint32_t node = mem::new_cells(1);
    gc::collect();
    EXPECT_TRUE(mem::node_live_q(node));
    const gc::scan_figures f = gc::last_scan();
    EXPECT_GE(f.words * 8, static_cast<uint64_t>(top - &here) / 2);
    EXPECT_GT(f.hits, 0u);  // at least the local node id
}

// --- pins and compaction -------------------------------------------------------------------

TEST_F(GcCollector, StressCompactionMovesEveryBufferThatIsNotPinned) {
    checks_guard g;
    gc::set_stress(0);
    kel_value keep = rooted_block(64);
    std::vector<uint32_t> nodes;
    for (int i = 0; i < 60; ++i) {
        const uint32_t n = new_string(std::string(16 + i * 7, static_cast<char>('a' + i % 26)));
        kel_value c = string_cell(n);
        block::ks_add(&keep, &c);
        nodes.push_back(n);
    }
    const uint32_t by_guard = nodes[10];
    std::vector<uintptr_t> before;
    for (uint32_t n : nodes) before.push_back(~reinterpret_cast<uintptr_t>(mem::buffer_of(n)));  // no address
    std::vector<std::pair<mem::series_frame*, char*>> frees;
    for (mem::series_frame* f = mem::root.series_frames; f; f = f->next) frees.push_back({f, f->free});
    gc::set_stress(moves_only);
    bool pinned_seen = false;
    {
        gc::pin_guard pin(by_guard);
        EXPECT_EQ(gc::pin_count(), 1u);
        probe_guard p([&] { pinned_seen = (mem::buffer_of(by_guard)->flags & mem::flag_pinned) != 0; });
        scrub_stack();
        gc::collect();
    }
    EXPECT_EQ(gc::pin_count(), 0u);
    EXPECT_TRUE(pinned_seen);
    int stayed = 0;
    for (size_t i = 0; i < nodes.size(); ++i) {
        mem::buffer_header* h = mem::buffer_of(nodes[i]);
        EXPECT_EQ(bytes_of(nodes[i]), std::string(16 + i * 7, static_cast<char>('a' + i % 26)));
        EXPECT_EQ(h->node, nodes[i]);
        EXPECT_FALSE(h->flags & (mem::flag_mark | mem::flag_pinned));
        const bool same = ~reinterpret_cast<uintptr_t>(h) == before[i];
        if (nodes[i] == by_guard) {
            EXPECT_TRUE(same) << "the pinned buffer moved";
        } else {
            stayed += same;
        }
    }
    EXPECT_LE(stayed, 2) << "buffers that did not move although not pinned";
    // Vacated room above each surviving frame's new free pointer holds 0xDB.
    for (auto [f, old_free] : frees) {
        bool alive = false;
        for (mem::series_frame* g2 = mem::root.series_frames; g2; g2 = g2->next) alive |= g2 == f;
        if (!alive || f->free >= old_free) continue;
        for (char* p = f->free; p < old_free; ++p)
            if (static_cast<uint8_t>(*p) != gc::vacated_byte) {
                ADD_FAILURE() << "vacated byte not filled";
                break;
            }
    }
    EXPECT_TRUE(gc::verify_heap(false));
}

TEST_F(GcCollector, PinsNestAndUnpinTakesTheLatest) {
    const uint32_t a = mem::new_cells(1), b = mem::new_cells(1);
    const uint32_t base = gc::pin_count();
    gc::pin(a);
    gc::pin(b);
    gc::pin(a);
    gc::unpin(a);
    EXPECT_EQ(gc::pin_count(), base + 2);
    bool a_pinned = false, b_pinned = false;
    {
        probe_guard p([&] {
            a_pinned = mem::buffer_of(a)->flags & mem::flag_pinned;
            b_pinned = mem::buffer_of(b)->flags & mem::flag_pinned;
        });
        gc::collect();
    }
    EXPECT_TRUE(a_pinned);
    EXPECT_TRUE(b_pinned);
    gc::unpin(a);
    gc::unpin(b);
    gc::unpin(b);  // not pinned any more: nothing happens
    EXPECT_EQ(gc::pin_count(), base);
}

TEST_F(GcCollector, GarbageFramesAreReleasedAndTheMemoryComesBack) {
    checks_guard g;
    gc::set_stress(0);
    scrub_stack();
    gc::collect();
    const uint32_t frames = mem::series_frame_count();
    const uint64_t in_use = gc::memory_in_use();
    const uint64_t os = gc::os_bytes();
    const uint32_t bigs = mem::big_frame_count();
    gc::set_active(false);  // let the garbage pile up
    make_garbage(400, 20000, 3);
    // The garbage fills the emptied frame the last collection kept, then new ones.
    EXPECT_GE(mem::series_frame_count(), frames + 2);
    EXPECT_EQ(mem::big_frame_count(), bigs + 3);
    scrub_stack();
    gc::collect();
    EXPECT_LE(mem::series_frame_count(), frames + 1);
    EXPECT_LE(mem::big_frame_count(), bigs + 1);  // a stale word may keep one
    EXPECT_LT(gc::memory_in_use(), in_use + (4u << 20));
    EXPECT_LT(gc::os_bytes(), os + (6u << 20));
    EXPECT_TRUE(gc::verify_heap(false));
}

namespace {
// Buffers of 288 bytes with the header and trailer, like the small strings a
// tokenizer makes; `keep`: each goes into the block, else it is garbage.
__attribute__((noinline)) void make_small_strings(uint32_t n, kel_value* keep) {
    for (uint32_t i = 0; i < n; ++i) {
        const kel_value c = string_cell(mem::new_bytes(240));
        if (keep) block::ks_add(keep, &c);
    }
}
}  // namespace

// Allocation collects once as many bytes as the last collection left live
// have been carved again: garbage is still given back as the program goes,
// and a live heap that keeps growing is not traced again at every frame.
TEST_F(GcCollector, AllocationCollectsByABudgetThatFollowsTheLiveHeap) {
    checks_guard g;
    gc::set_stress(0);
    gc::set_active(true);
    scrub_stack();
    gc::collect();
    const uint64_t os = gc::os_bytes();
    const size_t budget = mem::root.collection_budget;
    EXPECT_GE(budget, mem::min_collection_budget);
    int32_t cycles = gc::stats.cycles;
    make_small_strings(256000, nullptr);  // about 70 MB of garbage
    EXPECT_GE(gc::stats.cycles - cycles, 2) << "garbage alone never set off a collection";
    EXPECT_LT(gc::os_bytes(), os + budget + 2 * mem::root.max_frame_size) << "the garbage was not given back";

    kel_value keep = rooted_block(16);
    cycles = gc::stats.cycles;
    make_small_strings(256000, &keep);  // about 75 MB that stays live
    EXPECT_LE(gc::stats.cycles - cycles, 8) << "a growing live heap was collected at every frame";
    EXPECT_TRUE(gc::verify_heap(false));
    block::ks_cut_at(&keep, 0);
    scrub_stack();
    gc::collect();
    EXPECT_LT(gc::os_bytes(), os + (8u << 20));
    EXPECT_TRUE(gc::verify_heap(false));
}

// A collection that found nearly all the heap live waits for twice the
// live bytes before the next; one that freed more goes back to the plain
// budget.
TEST_F(GcCollector, ACollectionThatFreesLittleWaitsForTwiceTheLiveHeap) {
    checks_guard g;
    gc::set_stress(0);
    gc::set_active(true);
    auto heap = [] {
        size_t bytes = 0;
        for (const mem::series_frame* f = mem::root.series_frames; f; f = f->next)
            bytes += static_cast<size_t>(f->free - f->start);
        for (const mem::big_frame* b = mem::root.big_frames; b; b = b->next) bytes += b->size;
        return bytes;
    };
    kel_value keep = rooted_block(16);
    make_small_strings(80000, &keep);  // about 23 MB that stays live
    scrub_stack();
    gc::collect();
    gc::collect();  // frees nothing
    size_t live = heap();
    ASSERT_GT(live, mem::min_collection_budget);
    EXPECT_EQ(mem::root.collection_budget, 2 * live);
    make_small_strings(40000, nullptr);  // garbage: a third of the heap
    scrub_stack();
    gc::collect();
    live = heap();
    EXPECT_EQ(mem::root.collection_budget, live);
    block::ks_cut_at(&keep, 0);
    scrub_stack();
    gc::collect();
    EXPECT_TRUE(gc::verify_heap(false));
}

namespace {
__attribute__((noinline)) void make_empty_series(uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) mem::new_cells(0);
}
}  // namespace

TEST_F(GcCollector, EmptyNodeFramesAreReleasedAndTakenAgain) {
    checks_guard g;
    gc::set_stress(0);
    gc::set_active(false);
    // Earlier tests in the same process leave free slots in the frames in
    // use; new nodes fill those first, so the series made fill them and then
    // five whole frames more.
    std::vector<gc::frame_figures> figures(mem::root.node_frame_count + 16);
    const uint32_t in_use_before = gc::node_frame_figures(figures.data(), static_cast<uint32_t>(figures.size()));
    uint64_t free_before = 0;
    for (uint32_t i = 0; i < in_use_before && i < figures.size(); ++i) free_before += figures[i].free;
    make_empty_series(static_cast<uint32_t>(free_before) + 5 * mem::nodes_per_frame);
    figures.resize(mem::root.node_frame_count + 16);
    const uint32_t in_use_full = gc::node_frame_figures(figures.data(), static_cast<uint32_t>(figures.size()));
    EXPECT_GE(in_use_full, in_use_before + 4);
    const uint32_t count = mem::root.node_frame_count;
    scrub_stack();
    gc::collect();
    // A stale stack word may keep a node, and so its frame.
    const uint32_t in_use_after = gc::node_frame_figures(figures.data(), static_cast<uint32_t>(figures.size()));
    EXPECT_LE(in_use_after, in_use_before + 2);
    EXPECT_EQ(mem::root.node_frame_count, count);
    for (uint32_t i = 0; i < mem::root.node_frame_count; ++i) {
        const mem::node_frame& f = mem::root.node_frames[i];
        if (f.vacated) {
            EXPECT_FALSE(mem::node_live_q(f.first)) << "a released frame's node reads as live";
        }
    }
    // Released frames are committed again before any new one is made.
    make_empty_series(2 * mem::nodes_per_frame);
    EXPECT_EQ(mem::root.node_frame_count, count);
    scrub_stack();
    gc::collect();
    EXPECT_TRUE(gc::verify_heap(false));
}

TEST_F(GcCollector, DeeplyNestedBlocksAreMarkedWithoutRecursion) {
    checks_guard g;
    gc::set_stress(0);
    constexpr int depth = 300000;
    kel_value keep = rooted_block(1);
    kel_value inner;
    block::init_cell(&inner, 1);
    block::ks_add(&keep, &inner);
    for (int i = 1; i < depth; ++i) {
        kel_value outer;
        block::init_cell(&outer, 1);
        block::ks_add(&outer, block::ks_head(&keep));
        *block::ks_head(&keep) = outer;
    }
    scrub_stack();
    gc::collect();
    int n = 0;
    kel_value at = *block::ks_head(&keep);
    while (block::ks_length_q(&at) == 1) {
        at = *block::ks_head(&at);
        ++n;
    }
    EXPECT_EQ(n, depth - 1);
    EXPECT_EQ(block::ks_length_q(&at), 0);
    block::ks_cut_at(&keep, 0);  // later collections need not walk the chain
}

// --- checks and figures ------------------------------------------------------------------

TEST_F(GcCollector, StressIsReadFromTheEnvironmentAndCollectsEveryNthAllocation) {
    checks_guard g;
    const char* old = std::getenv("KEL_GC_STRESS");
    const std::string saved = old ? old : "";
    setenv("KEL_GC_STRESS", "3", 1);
    setenv("KEL_GC_VERIFY", "1", 1);
    gc::read_environment();
    EXPECT_EQ(gc::stress_interval(), 3u);
    EXPECT_TRUE(gc::verify_q());
    const int32_t before = gc::stats.cycles;
    for (int i = 0; i < 9; ++i) mem::new_cells(1);
    EXPECT_EQ(gc::stats.cycles, before + 3);
    gc::set_active(false);  // stress follows the active flag
    for (int i = 0; i < 9; ++i) mem::new_cells(1);
    EXPECT_EQ(gc::stats.cycles, before + 3);
    gc::set_active(true);
    for (const char* bad : {"", "x", "-1", "3x", "0"}) {
        setenv("KEL_GC_STRESS", bad, 1);
        gc::read_environment();
        EXPECT_EQ(gc::stress_interval(), 0u) << bad;
    }
    if (old) setenv("KEL_GC_STRESS", saved.c_str(), 1);
    else unsetenv("KEL_GC_STRESS");
    unsetenv("KEL_GC_VERIFY");
    gc::read_environment();
}

TEST_F(GcCollector, TheVerifierFindsDanglingReferencesAndLeftMarks) {
    checks_guard g;
    gc::set_stress(0);
    gc::set_verify(false);
    EXPECT_TRUE(gc::verify_heap(false));
    kel_value keep = rooted_block(2);
    kel_value one = test::int_v(1);
    block::ks_add(&keep, &one);
    gc::collect();  // the block is traced: its cells are the verifier's to check
    const uint32_t freed = mem::take_node();
    mem::free_node(freed);
    kel_value dangling = string_cell(freed);
    block::ks_add(&keep, &dangling);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(gc::verify_heap(false));
    set_none(block::ks_head(&keep) + 1);
    EXPECT_TRUE(gc::verify_heap(false));
    mem::buffer_header* h = mem::buffer_of(series_node(&keep));
    h->flags |= mem::flag_mark;
    EXPECT_FALSE(gc::verify_heap(false));
    h->flags &= ~mem::flag_mark;
    const uint32_t node = h->node;
    h->node = 0x40000000u + 7;
    EXPECT_FALSE(gc::verify_heap(false));
    h->node = node;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("heap verifier"), std::string::npos);
    EXPECT_TRUE(gc::verify_heap(false));
}

TEST_F(GcCollector, RecycleCollectsWhateverTheFlagAndFiguresAgree) {
    checks_guard g;
    gc::set_active(false);
    const int32_t before = gc::stats.cycles;
    const uint64_t in_use = gc::recycle();
    EXPECT_EQ(gc::stats.cycles, before + 1);
    EXPECT_FALSE(gc::active_q());
    gc::frame_figures nodes[256], series[64];
    uint64_t bigs[64];
    const uint32_t nn = gc::node_frame_figures(nodes, 256), ns = gc::series_frame_figures(series, 64);
    const uint32_t nb = gc::big_frame_sizes(bigs, 64);
    ASSERT_LE(nn, 256u);
    ASSERT_LE(ns, 64u);
    ASSERT_LE(nb, 64u);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < nn; ++i) {
        EXPECT_EQ(nodes[i].free + nodes[i].used, nodes[i].total);
        sum += nodes[i].used * sizeof(uintptr_t);
    }
    for (uint32_t i = 0; i < ns; ++i) {
        EXPECT_EQ(series[i].free + series[i].used, series[i].total);
        sum += series[i].used;
    }
    for (uint32_t i = 0; i < nb; ++i) sum += bigs[i];
    EXPECT_EQ(sum, in_use);
    EXPECT_EQ(gc::memory_in_use(), in_use);
    EXPECT_GE(gc::os_bytes(), in_use);
}
