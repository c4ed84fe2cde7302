// Series memory: nodes, frames, big frames, placement, growth and copy.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"

using namespace kel;
namespace mem = kel::memory;

namespace {
struct CoreMemory : ::testing::Test {
    void SetUp() override { test::boot(); }
};
}  // namespace

TEST_F(CoreMemory, NodesAreIdsIntoTheArenaAndReusedLastInFirstOut) {
    uint32_t a = mem::take_node();
    uint32_t b = mem::take_node();
    EXPECT_GE(a, mem::node_base);
    EXPECT_NE(a, b);
    EXPECT_EQ(mem::root.node_slots[a - mem::node_base], 0u);
    uint32_t used = mem::frame_of(b).used;
    mem::free_node(b);
    EXPECT_EQ(mem::frame_of(b).used, used - 1);
    EXPECT_EQ(mem::root.node_slots[b - mem::node_base] & 1u, 1u);  // a free slot has bit 0 set
    EXPECT_FALSE(mem::node_live_q(b));
    EXPECT_EQ(mem::take_node(), b);
    mem::free_node(b);
    mem::free_node(a);
    EXPECT_FALSE(mem::node_live_q(0));
}

TEST_F(CoreMemory, NodeFramesAreAddedWhenOneIsFull) {
    uint32_t frames = mem::root.node_frame_count;
    std::vector<uint32_t> nodes;
    // Earlier tests in the process may have left free slots in any frame:
    // taking every slot the frames hold, and then some, must add a frame.
    const uint32_t enough = frames * mem::nodes_per_frame + 10;
    for (uint32_t i = 0; i < enough && mem::root.node_frame_count == frames; ++i) nodes.push_back(mem::take_node());
    for (uint32_t i = 0; i < 10; ++i) nodes.push_back(mem::take_node());
    EXPECT_GT(mem::root.node_frame_count, frames);
    for (uint32_t n : nodes) EXPECT_LT(n - mem::node_base, mem::root.node_frame_count * mem::nodes_per_frame);
    for (uint32_t n : nodes) mem::free_node(n);
}

TEST_F(CoreMemory, CapacityRoundingAndZeroRequests) {
    struct row { uint32_t node; uint32_t capacity; uint32_t unit; };
    const row rows[] = {
        {mem::new_bytes(0), 16, 1},      {mem::new_bytes(1), 16, 1},     {mem::new_bytes(17), 32, 1},
        {mem::new_units(0, 2), 16, 2},   {mem::new_units(0, 4), 16, 4},  {mem::new_units(3, 4), 16, 4},
        {mem::new_cells(0), 0, 16},      {mem::new_cells(3), 48, 16},    {mem::new_unset_cells(0), 16, 16},
    };
    for (const row& r : rows) {
        mem::buffer_header* h = mem::buffer_of(r.node);
        EXPECT_EQ(h->capacity, r.capacity);
        EXPECT_EQ(h->unit(), r.unit);
        EXPECT_EQ(h->node, r.node);
        EXPECT_EQ(h->head, 0u);
        EXPECT_EQ(h->tail, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(h->data()) % 16, 0u);
        EXPECT_TRUE(h->flags & mem::flag_in_use);
        EXPECT_TRUE(h->flags & mem::flag_always);
    }
    EXPECT_EQ(mem::allocate_buffer(0, 16, 0)->capacity, 0u);
    mem::buffer_header* u = mem::buffer_of(mem::new_unset_cells(2));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(reinterpret_cast<kel_value*>(u->data())[i].header, 2u);
    mem::buffer_header* f = mem::buffer_of(mem::new_filled_bytes(20, 0xAB));
    for (uint32_t i = 0; i < f->capacity; ++i) EXPECT_EQ(static_cast<uint8_t>(f->data()[i]), 0xAB);
}

TEST_F(CoreMemory, HeadInTheMiddle) {
    mem::buffer_header* h = mem::allocate_buffer(64, 1, -1);
    EXPECT_EQ(h->capacity, 64u);
    EXPECT_EQ(h->head, 32u);
    EXPECT_EQ(h->tail, 32u);
    EXPECT_TRUE(h->flags & mem::flag_head_middle);
    // Cells stay on whole units: 3 cells (48 bytes) put the head at cell 1.
    mem::buffer_header* c = mem::allocate_buffer(3, 16, -1);
    EXPECT_EQ(c->head % 16, 0u);
    EXPECT_EQ(c->head, 16u);
}

TEST_F(CoreMemory, BigFrameThresholdIsExact) {
    const uint32_t threshold = static_cast<uint32_t>(mem::root.max_frame_size) - mem::buffer_overhead;
    uint32_t bigs = mem::big_frame_count();
    mem::buffer_header* big = mem::allocate_buffer(threshold, 1, 0);  // need == max frame size
    EXPECT_TRUE(big->flags & mem::flag_big);
    EXPECT_EQ(mem::big_frame_count(), bigs + 1);
    EXPECT_FALSE(mem::in_series_frame(big));
    mem::buffer_header* small = mem::allocate_buffer(threshold - 16, 1, 0);  // the next smaller capacity
    EXPECT_FALSE(small->flags & mem::flag_big);
    EXPECT_TRUE(mem::in_series_frame(small));
    EXPECT_EQ(mem::big_frame_count(), bigs + 1);
    mem::free_big_frame(big);
    EXPECT_EQ(mem::big_frame_count(), bigs);
}

TEST_F(CoreMemory, FramesGrowToTwoMegabytesAndStaySorted) {
    EXPECT_EQ(mem::root.frame_size, size_t{1} << 20);
    EXPECT_EQ(mem::root.next_frame_size, size_t{2} << 20);
    // Fill past the current frames: buffers keep their contents across the
    // frame boundary.
    uint32_t frames = mem::series_frame_count();
    std::vector<uint32_t> nodes;
    const kel_value keep = *block::make_at_tail(nullptr, 64);  // rooted: the buffers stay alive
    uint32_t i = 0;
    while (mem::series_frame_count() < frames + 2) {
        uint32_t n = mem::new_bytes(50000);
        kel_value cell;
        set_series(&cell, types::binary, 0, n);
        block::ks_add(&keep, &cell);
        mem::buffer_header* h = mem::buffer_of(n);
        std::memset(h->data(), static_cast<int>(i & 0xFF), 50000);
        h->tail = 50000;
        nodes.push_back(n);
        ++i;
    }
    for (size_t k = 0; k < nodes.size(); ++k) {
        mem::buffer_header* h = mem::buffer_of(nodes[k]);
        ASSERT_EQ(h->node, nodes[k]);
        EXPECT_EQ(static_cast<uint8_t>(h->data()[0]), k & 0xFF);
        EXPECT_EQ(static_cast<uint8_t>(h->data()[49999]), k & 0xFF);
    }
    for (mem::series_frame* f = mem::root.series_frames; f && f->next; f = f->next) EXPECT_LT(f, f->next);
    EXPECT_EQ(mem::root.next_frame_size, size_t{2} << 20);
    // Carved buffers tile each frame: header + capacity + trailer each.
    for (mem::series_frame* f = mem::root.series_frames; f; f = f->next) {
        char* p = f->start;
        while (p < f->free) p += reinterpret_cast<mem::buffer_header*>(p)->capacity + mem::buffer_overhead;
        EXPECT_EQ(p, f->free);
    }
    block::ks_cut_at(&keep, 0);  // garbage now: later tests need not carry it
}

TEST_F(CoreMemory, FindFrameWithRoomIsStrict) {
    mem::series_frame* f = mem::root.series_frame_current;
    size_t room = static_cast<size_t>(f->end - f->free);
    mem::series_frame* g = mem::find_frame_with_room(room);
    if (g) {
        EXPECT_LT(g->free + room, g->end);
    }
    EXPECT_NE(g, f);
    EXPECT_EQ(mem::find_frame_with_room(size_t{8} << 20), nullptr);
}

TEST_F(CoreMemory, GrowthDoublesAndRetiresTheOldBuffer) {
    uint32_t node = mem::new_bytes(32);
    mem::buffer_header* old = mem::buffer_of(node);
    std::memcpy(old->data(), "abcdefgh", 8);
    old->tail = 8;
    old->flags |= mem::flag_owned | mem::flag_mark;
    mem::buffer_header* h = mem::expand_buffer(old, 0);
    EXPECT_EQ(h->capacity, 64u);
    EXPECT_EQ(mem::buffer_of(node), h);
    EXPECT_EQ(h->node, node);
    EXPECT_EQ(std::memcmp(h->data(), "abcdefgh", 8), 0);
    EXPECT_EQ(h->tail - h->head, 8u);
    EXPECT_TRUE(h->flags & mem::flag_owned);   // growth keeps the owner
    EXPECT_FALSE(h->flags & mem::flag_mark);   // but not the collector's mark
    EXPECT_EQ(old->node, 0u);
    EXPECT_FALSE(old->flags & mem::flag_in_use);
}

TEST_F(CoreMemory, GrowthFromCapacityZeroAndFromTheMiddle) {
    uint32_t node = mem::new_cells(0);
    mem::buffer_header* h = mem::ensure_tail_room(node, 16);
    EXPECT_GE(h->capacity, 16u * 16u);  // at least 16 units
    // A middle-placed buffer drops its front room when it grows, keeping data.
    uint32_t m = mem::new_series(4, 1, -1);
    mem::buffer_header* mh = mem::buffer_of(m);
    ASSERT_TRUE(mh->flags & mem::flag_head_middle);
    std::memcpy(mh->data() + mh->head, "xyz", 3);
    mh->tail = mh->head + 3;
    mh = mem::ensure_tail_room(m, 100);
    EXPECT_FALSE(mh->flags & mem::flag_head_middle);
    EXPECT_EQ(mh->head, 0u);
    EXPECT_EQ(std::memcmp(mh->data(), "xyz", 3), 0);
    EXPECT_GE(mh->capacity, 103u);
    // max(2 x capacity, capacity + needed): a large request gets what it asks.
    uint32_t q = mem::new_bytes(16);
    EXPECT_GE(mem::ensure_tail_room(q, 1000)->capacity, 1016u);
}

TEST_F(CoreMemory, GrowingHeapAndBigBuffersReleasesThemAtOnce) {
    size_t live = heap::live_count();
    uint32_t node = mem::new_heap_series(4, 16, 0);
    EXPECT_EQ(heap::live_count(), live + 1);
    mem::buffer_header* h = mem::expand_buffer(mem::buffer_of(node), 0);
    EXPECT_FALSE(h->flags & mem::flag_heap);
    EXPECT_EQ(heap::live_count(), live);

    uint32_t bigs = mem::big_frame_count();
    uint32_t b = mem::new_bytes(3u << 20);
    EXPECT_EQ(mem::big_frame_count(), bigs + 1);
    mem::buffer_header* bh = mem::buffer_of(b);
    bh->data()[(3u << 20) - 1] = 'z';
    bh->tail = 3u << 20;
    bh = mem::expand_buffer(bh, 0);
    EXPECT_TRUE(bh->flags & mem::flag_big);
    EXPECT_EQ(mem::big_frame_count(), bigs + 1);  // the old one was released
    EXPECT_EQ(bh->data()[(3u << 20) - 1], 'z');
    mem::free_big_frame(bh);
}

TEST_F(CoreMemory, BigBuffersGrowInPlaceOfACopyAndKeepTheFrameList) {
    uint32_t bigs = mem::big_frame_count();
    uint32_t a = mem::new_bytes(3u << 20), b = mem::new_bytes(3u << 20), c = mem::new_bytes(3u << 20);
    for (uint32_t n : {a, b, c}) {
        mem::buffer_header* h = mem::buffer_of(n);
        std::memset(h->data(), static_cast<int>(n & 0x7F), 3u << 20);
        h->tail = 3u << 20;
    }
    size_t total = mem::root.total;
    for (uint32_t n : {b, a, c}) {  // the middle, the first and the last of the list
        mem::buffer_header* h = mem::expand_buffer(mem::buffer_of(n), 0);
        EXPECT_EQ(h->capacity, 6u << 20);
        EXPECT_EQ(h->used(), 3u << 20);
        EXPECT_EQ(h->node, n);
    }
    EXPECT_GT(mem::root.total, total);
    EXPECT_EQ(mem::big_frame_count(), bigs + 3);
    for (uint32_t n : {a, b, c}) {
        mem::buffer_header* h = mem::buffer_of(n);
        EXPECT_EQ(h->data()[0], static_cast<char>(n & 0x7F));
        EXPECT_EQ(h->data()[(3u << 20) - 1], static_cast<char>(n & 0x7F));
        h->data()[(6u << 20) - 1] = 1;  // the new room is writable
        bool listed = false;
        for (mem::big_frame* f = mem::root.big_frames; f; f = f->next) listed |= f->buffer() == h;
        EXPECT_TRUE(listed);
        mem::free_big_frame(h);
    }
    EXPECT_EQ(mem::big_frame_count(), bigs);
}

TEST_F(CoreMemory, CopyBufferDropsCollectorHeapMiddleAndOwnerBits) {
    uint32_t node = mem::new_heap_series(8, 1, -1);
    mem::buffer_header* h = mem::buffer_of(node);
    std::memcpy(h->data() + h->head, "hi", 2);
    h->tail = h->head + 2;
    h->flags |= mem::flag_owned | mem::flag_mark | mem::flag_complemented;
    uint32_t c = mem::copy_buffer(h);
    mem::buffer_header* ch = mem::buffer_of(c);
    EXPECT_EQ(ch->unit(), 1u);
    EXPECT_EQ(ch->tail - ch->head, 2u);
    EXPECT_EQ(std::memcmp(ch->data() + ch->head, "hi", 2), 0);
    for (uint32_t bit : {mem::flag_owned, mem::flag_mark, mem::flag_heap, mem::flag_head_middle})
        EXPECT_FALSE(ch->flags & bit) << std::hex << bit;
    EXPECT_TRUE(ch->flags & mem::flag_complemented);  // type bits come along
}

TEST_F(CoreMemory, ClaimTailBytesAndCells) {
    uint32_t node = mem::new_cells(0);
    for (int i = 0; i < 100; ++i) {
        kel_value* c = mem::claim_buffer_cell(node);
        EXPECT_EQ(c->header, 2u);
        set_integer(c, i);
    }
    mem::buffer_header* h = mem::buffer_of(node);
    EXPECT_EQ(h->units(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(get_integer(reinterpret_cast<kel_value*>(h->data()) + i), i);
    uint32_t bytes = mem::new_bytes(0);
    char* p = mem::claim_tail_bytes(bytes, 40);
    std::memset(p, 'q', 40);
    EXPECT_EQ(mem::buffer_of(bytes)->used(), 40u);
}

TEST_F(CoreMemory, OversizedRequestsRaiseNoMemory) {
    EXPECT_TRUE(fires([] { mem::new_series(0x20000000u, 16, 0); }, "no-memory"));
    EXPECT_EQ(last_fired().category, error_category::internal);
}

// new_series makes small buffers on a short path of its own: what it makes
// must be what the general path makes, on either side of the size limit and
// whatever the room left in the current frame and node frame.
TEST_F(CoreMemory, NewSeriesMakesTheSameBufferOnEitherPath) {
    struct row { uint32_t count, unit, capacity; };
    const row rows[] = {
        {0, 1, 0},   {1, 1, 16},   {16, 1, 16},    {17, 1, 32},     {4096, 1, 4096}, {4097, 1, 4112},
        {0, 16, 0},  {3, 16, 48},  {256, 16, 4096}, {257, 16, 4112}, {5, 4, 32},      {2049, 2, 4112},
    };
    auto check = [](uint32_t node, const row& r) {
        mem::buffer_header* h = mem::buffer_of(node);
        EXPECT_EQ(h->node, node);
        EXPECT_EQ(h->capacity, r.capacity) << r.count << " x " << r.unit;
        EXPECT_EQ(h->unit(), r.unit);
        EXPECT_EQ(h->flags, (r.unit == 1 ? 1u : r.unit) | mem::flag_in_use | mem::flag_always);
        EXPECT_EQ(h->head, 0u);
        EXPECT_EQ(h->tail, 0u);
        EXPECT_EQ(h->reserved[0] | h->reserved[1] | h->reserved[2], 0u);
        EXPECT_TRUE(mem::in_series_frame(h));
        EXPECT_TRUE(mem::node_live_q(node));
        char zeros[mem::trailer_size] = {};
        EXPECT_EQ(std::memcmp(h->data() + h->capacity, zeros, mem::trailer_size), 0);
    };
    // The short path runs only without the stress check's hook (which the
    // general path calls, see the end) and the frame set-up below needs
    // allocations that collect nothing.
    struct restore {
        void (*saved)() = mem::allocation_hook;
        ~restore() { mem::allocation_hook = saved; }
    } keep;
    mem::allocation_hook = nullptr;
    for (const row& r : rows) check(mem::new_series(r.count, r.unit, 0), r);

    // The current frame with too little room for the next buffer: it goes
    // to another frame, and the frames stay tiled.
    for (const row& r : {rows[1], rows[4]}) {
        mem::series_frame* f = mem::root.series_frame_current;
        while (static_cast<size_t>(f->end - f->free) < 4096) {
            mem::new_bytes(1000);
            f = mem::root.series_frame_current;
        }
        const size_t room = static_cast<size_t>(f->end - f->free);
        // Leaves exactly the bytes the row's buffer needs: too few, since a
        // frame is never carved to its very end.
        const size_t need = r.capacity + mem::buffer_overhead;
        mem::allocate_buffer(static_cast<uint32_t>(room - need - mem::buffer_overhead), 1, 0);
        ASSERT_EQ(static_cast<size_t>(f->end - f->free), need);
        const uint32_t node = mem::new_series(r.count, r.unit, 0);
        check(node, r);
        EXPECT_FALSE(reinterpret_cast<char*>(mem::buffer_of(node)) >= f->start &&
                     reinterpret_cast<char*>(mem::buffer_of(node)) < f->end);
        for (mem::series_frame* g = mem::root.series_frames; g; g = g->next) {
            char* p = g->start;
            while (p < g->free) p += reinterpret_cast<mem::buffer_header*>(p)->capacity + mem::buffer_overhead;
            EXPECT_EQ(p, g->free);
        }
    }

    // The current node frame used up: the node comes from another one.
    std::vector<uint32_t> taken;
    while (mem::root.node_frames[mem::root.node_frame_current].free != 0) taken.push_back(mem::take_node());
    const uint32_t full = mem::root.node_frame_current;
    const uint32_t node = mem::new_series(1, 1, 0);
    check(node, rows[1]);
    EXPECT_NE((node - mem::node_base) / mem::nodes_per_frame, full);
    for (uint32_t n : taken) mem::free_node(n);

    // The stress check's hook is called on the general path.
    static int calls = 0;
    calls = 0;
    mem::allocation_hook = [] { ++calls; };
    check(mem::new_series(1, 1, 0), rows[1]);
    EXPECT_EQ(calls, 1);
}
