// The external handle table, the slot table and the owner table, with the
// collector that sweeps them.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "kernel/stack.h"
#include "kernel/handles.h"
#include "kernel/ownership.h"
#include "kernel/slots.h"
#include "tests/unit/gc_helpers.h"

using namespace kel;
using namespace kel::gc_test;
namespace mem = kel::memory;
namespace gc = kel::collector;

namespace {

struct GcTables : ::testing::Test {
    checks_guard saved;
    void SetUp() override { test::boot(); }
};

// --- handles ---------------------------------------------------------------------

std::vector<uintptr_t> released;
bool released_while_collecting = false;
void note_release(uintptr_t data) {
    released.push_back(data);
    released_while_collecting |= gc::collecting_q();
}
// A release that allocates: allowed, it runs after the collection.
void allocating_release(uintptr_t data) {
    note_release(data);
    mem::new_bytes(64);
}

uint32_t test_kind() {
    static const uint32_t k = externals::register_kind("test-resource", note_release);
    return k;
}
uint32_t allocating_kind() {
    static const uint32_t k = externals::register_kind("allocating", allocating_release);
    return k;
}
uint32_t silent_kind() {
    static const uint32_t k = externals::register_kind("silent", nullptr);
    return k;
}

kel_value handle_cell(int32_t index) {
    kel_value c;
    init_cell(&c, types::handle);
    c.w3 = static_cast<uint32_t>(index);
    return c;
}

bool has(const std::vector<uintptr_t>& v, uintptr_t x) {
    for (uintptr_t y : v)
        if (y == x) return true;
    return false;
}

}  // namespace

TEST_F(GcTables, HandleKindsStoreReplaceAndRelease) {
    const uint32_t kind = test_kind();
    ASSERT_GE(kind, 1u);
    EXPECT_STREQ(externals::kind_of_number(kind)->name, "test-resource");
    EXPECT_EQ(externals::kind_of_number(0), nullptr);
    released.clear();
    const int32_t a = externals::store(0xA1, kind | 0x300u | externals::flag_free | externals::flag_marked);
    EXPECT_TRUE(externals::live_q(a));
    EXPECT_EQ(externals::data_of(a), 0xA1u);
    EXPECT_EQ(externals::kind_word_of(a), kind | 0x300u);  // caller bits kept, free and marked dropped
    externals::replace(a, 0xA1);
    EXPECT_TRUE(released.empty()) << "the same data is not released";
    externals::replace(a, 0xA2);
    EXPECT_EQ(released, std::vector<uintptr_t>{0xA1});
    externals::release(a, true);
    EXPECT_EQ(released, (std::vector<uintptr_t>{0xA1, 0xA2}));
    EXPECT_FALSE(externals::live_q(a));
    // Releasing a free entry or an index outside the table changes nothing:
    // the next two stores still get two different entries.
    externals::release(a, true);
    externals::release(-1, true);
    externals::release(static_cast<int32_t>(externals::capacity()), true);
    EXPECT_EQ(released.size(), 2u);
    const int32_t b = externals::store(0xB, kind), c = externals::store(0xC, kind);
    EXPECT_NE(b, c);
    EXPECT_EQ(externals::data_of(b), 0xBu);
    EXPECT_EQ(externals::data_of(c), 0xCu);
    // A kind without callback, and no release asked: nothing is called.
    const int32_t d = externals::store(0xD, silent_kind());
    externals::release(d, true);
    externals::release(b, false);
    externals::release(c, false);
    EXPECT_EQ(released.size(), 2u);
}

TEST_F(GcTables, HandleTableDoublesBeforeHandingOutItsLastFreeEntry) {
    const uint32_t kind = test_kind();
    const uint32_t capacity = externals::capacity();
    const uint32_t free = capacity - externals::live_count();
    std::vector<int32_t> taken;
    for (uint32_t i = 0; i + 1 < free; ++i) taken.push_back(externals::store(0x1000 + i, kind));
    EXPECT_EQ(externals::capacity(), capacity);
    taken.push_back(externals::store(0x1000 + free - 1, kind));
    EXPECT_EQ(externals::capacity(), 2 * capacity);
    std::set<int32_t> distinct(taken.begin(), taken.end());
    EXPECT_EQ(distinct.size(), taken.size());
    for (size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(externals::data_of(taken[i]), 0x1000 + i);
    for (int32_t i : taken) externals::release(i, false);
}

TEST_F(GcTables, EachOfKindWalksLiveEntries) {
    const uint32_t kind = allocating_kind();
    const int32_t a = externals::store(1, kind), b = externals::store(2, test_kind()), c = externals::store(3, kind);
    static std::vector<uintptr_t> seen;
    seen.clear();
    externals::each_of_kind(kind, [](uintptr_t d) { seen.push_back(d); });
    EXPECT_EQ(seen, (std::vector<uintptr_t>{3, 1}));  // live-list order: newest first
    for (int32_t i : {a, b, c}) externals::release(i, false);
}

TEST_F(GcTables, CollectionsReleaseEntriesNoValueReaches) {
    kel_value keep = rooted_block(4);
    released.clear();
    released_while_collecting = false;
    // Stored into a cell before the next allocation.
    const int32_t kept = externals::store(0x5EE, test_kind());
    kel_value cell = handle_cell(kept);
    block::ks_add(&keep, &cell);
    kel_value negative = handle_cell(-1);
    block::ks_add(&keep, &negative);
    const int32_t dropped = externals::store(0xD0, allocating_kind());
    gc::collect();
    EXPECT_TRUE(has(released, 0xD0));
    EXPECT_FALSE(externals::live_q(dropped));
    EXPECT_TRUE(externals::live_q(kept));
    EXPECT_FALSE(externals::kind_word_of(kept) & externals::flag_marked) << "marks are cleared by the sweep";
    EXPECT_FALSE(has(released, 0x5EE));
    EXPECT_FALSE(released_while_collecting);
    set_none(block::ks_head(&keep));
    gc::collect();
    EXPECT_TRUE(has(released, 0x5EE));
    EXPECT_FALSE(externals::live_q(kept));
}

// --- slots -------------------------------------------------------------------------

TEST_F(GcTables, SlotTableGrowsWhenFullAndReusesReleasedSlots) {
    const uint32_t capacity = slot_table::capacity();
    std::vector<int32_t> mine;
    for (int32_t s = 1; s <= static_cast<int32_t>(capacity); ++s)
        if (!slot_table::taken_q(s)) {
            kel_value v = test::int_v(s);
            mine.push_back(slot_table::take(&v));
        }
    EXPECT_EQ(slot_table::capacity(), capacity);
    kel_value v = test::int_v(-7);
    const int32_t grown = slot_table::take(&v);
    EXPECT_EQ(grown, static_cast<int32_t>(capacity) + 1);
    EXPECT_EQ(slot_table::capacity(), 2 * capacity);
    mine.push_back(grown);
    for (int32_t s : mine) {
        ASSERT_TRUE(slot_table::taken_q(s));
        EXPECT_EQ(get_integer(slot_table::cell_at(s)), s == grown ? -7 : s) << s;
    }
    // Release then take gives the same slot back.
    slot_table::release(mine[2]);
    EXPECT_FALSE(slot_table::taken_q(mine[2]));
    EXPECT_EQ(slot_table::take(&v), mine[2]);
    // A second release of a free slot is ignored: two takes, two slots.
    slot_table::release(mine[3]);
    slot_table::release(mine[3]);
    const int32_t x = slot_table::take(&v), y = slot_table::take(&v);
    EXPECT_NE(x, y);
    for (int32_t s : {0, -5, static_cast<int32_t>(slot_table::capacity()) + 1}) {
        slot_table::release(s);
        EXPECT_EQ(slot_table::cell_at(s), nullptr);
    }
    std::set<int32_t> all(mine.begin(), mine.end());
    all.insert(x);
    all.insert(y);
    for (int32_t s : all) slot_table::release(s);
}

TEST_F(GcTables, SlotValuesLiveAsLongAsTheirSlot) {
    gc::set_stress(moves_only);
    int32_t slot;
    uint32_t node;
    {
        node = new_string("parked in a slot");
        kel_value c = string_cell(node);
        slot = slot_table::take(&c);
    }
    bool marked = false;
    {
        probe_guard p([&] {
            gc::trace();
            marked = gc::marked_q(node);
        });
        gc::collect();
    }
    EXPECT_TRUE(marked);
    EXPECT_EQ(bytes_of(series_node(slot_table::cell_at(slot))), "parked in a slot");
    slot_table::release(slot);
    {
        probe_guard p([&] {
            gc::trace();
            marked = gc::marked_q(node);
        });
        gc::collect();
    }
    EXPECT_FALSE(marked);
}

// --- the owner table -----------------------------------------------------------------

namespace {

struct told {
    kel_value owner, word, target;
    std::string action;
    int32_t index, part;
};
std::vector<told> calls;
void record_call(const kel_value* owner, const kel_value* word, const kel_value* target, const char* action,
                 const kel_value*, int32_t index, int32_t part) {
    calls.push_back({*owner, *word, *target, action, index, part});
}

// An owner object! over a stand-in context (a block whose first cell is a
// context! cell), kept alive by a rooted block; on_set is its word 3.
kel_value make_owner(kel_value* keep, uint32_t on_set) {
    const uint32_t context = mem::new_cells(2);
    kel_value ctx;
    init_cell(&ctx, types::context);
    mem::buffer_header* h = mem::buffer_of(context);
    std::memcpy(h->data(), &ctx, 16);
    h->tail = 16;
    kel_value owner;
    init_cell(&owner, types::object);
    owner.w1 = context;
    owner.w3 = on_set;
    block::ks_add(keep, &owner);
    return owner;
}

kel_value word_in(uint32_t context) {
    kel_value w;
    init_cell(&w, types::word);
    w.w1 = context;
    w.w2 = 77;
    return w;
}

__attribute__((noinline)) void bind_unreachable_series(const kel_value* owner, const kel_value* word, int n) {
    for (int i = 0; i < n; ++i) {
        kel_value s = string_cell(new_string("owned, then lost"));
        ownership::bind(&s, owner, word);
    }
}

__attribute__((noinline)) kel_value unreachable_owner() {
    kel_value scratch = block_cell(mem::new_cells(1));
    return make_owner(&scratch, 1);
}

}  // namespace

TEST_F(GcTables, BindingWalksBlocksOnceAndCheckTellsTheOwner) {
    kel_value keep = rooted_block(8);
    const kel_value owner = make_owner(&keep, 1);
    const kel_value word = word_in(owner.w1);
    // A block holding a string, a bitset, an image and itself.
    kel_value blk = block_cell(mem::new_cells(6));
    block::ks_add(&keep, &blk);
    kel_value str = string_cell(new_string("inner"));
    block::ks_add(&blk, &str);
    kel_value bits;
    set_series(&bits, types::bitset, 0, mem::new_bytes(8));
    block::ks_add(&blk, &bits);
    kel_value img;
    set_series(&img, types::image, 0, mem::new_bytes(16));
    block::ks_add(&blk, &img);
    block::ks_add(&blk, &blk);
    const uint32_t entries = ownership::entry_count();

    ownership::bind(&blk, &owner, &word);
    EXPECT_EQ(ownership::entry_count(), entries + 4);  // the block once, its string, bitset and image
    for (uint32_t n : {series_node(&blk), series_node(&str), series_node(&bits)})
        EXPECT_TRUE(mem::buffer_of(n)->flags & mem::flag_owned);
    EXPECT_TRUE(block::ks_abs_at(&blk, 2)->header & ownership::owned_image_bit);
    EXPECT_FALSE(mem::buffer_of(series_node(&img))->flags & mem::flag_owned);
    const kel_value* o = ownership::owner_of(series_node(&str));
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->w1, owner.w1);
    EXPECT_EQ(ownership::owner_of(mem::new_cells(1)), nullptr);

    calls.clear();
    ownership::dispatch = record_call;
    kel_value v = test::int_v(5);
    EXPECT_TRUE(ownership::notify(&str, "append", &v, 3, 1));
    ownership::check(&blk, "appended", nullptr, 0, 2);
    kel_value unbound = string_cell(new_string("never bound"));
    EXPECT_FALSE(ownership::notify(&unbound, "append", nullptr, 0, 0));
    kel_value number = test::int_v(1);
    EXPECT_FALSE(ownership::notify(&number, "poke", nullptr, 0, 0));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].action, "append");
    EXPECT_EQ(calls[0].owner.w1, owner.w1);
    EXPECT_EQ(calls[0].word.w2, 77u);
    EXPECT_EQ(series_node(&calls[0].target), series_node(&str));
    EXPECT_EQ(calls[0].index, 3);
    EXPECT_EQ(calls[0].part, 1);
    EXPECT_EQ(calls[1].action, "appended");

    // An owner without change handlers (word 3 is 0) is not told.
    kel_value quiet = make_owner(&keep, 0);
    kel_value other = string_cell(new_string("quiet"));
    block::ks_add(&keep, &other);
    ownership::bind(&other, &quiet, &word);
    EXPECT_FALSE(ownership::notify(&other, "append", nullptr, 0, 0));
    EXPECT_EQ(calls.size(), 2u);

    // Unbinding walks the same way and clears every mark and entry.
    ownership::unbind(&blk);
    ownership::unbind(&other);
    EXPECT_EQ(ownership::entry_count(), entries);
    for (uint32_t n : {series_node(&blk), series_node(&str), series_node(&bits)})
        EXPECT_FALSE(mem::buffer_of(n)->flags & mem::flag_owned);
    EXPECT_FALSE(block::ks_abs_at(&blk, 2)->header & ownership::owned_image_bit);
    EXPECT_FALSE(ownership::notify(&str, "append", nullptr, 0, 0));
    ownership::dispatch = nullptr;
}

TEST_F(GcTables, BindObjectMarksTheOwnersContextAndUnbindRangeUnbindsCells) {
    kel_value keep = rooted_block(4);
    const kel_value owner = make_owner(&keep, 1);
    const kel_value word = word_in(owner.w1);
    kel_value blk = block_cell(mem::new_cells(3));
    block::ks_add(&keep, &blk);
    kel_value a = string_cell(new_string("a")), b = string_cell(new_string("b"));
    block::ks_add(&blk, &a);
    block::ks_add(&blk, &b);
    kel_value ba = a, bb = b;
    ownership::bind_object(&ba, &owner, &word);
    ownership::bind(&bb, &owner, &word);
    const kel_value* ctx = reinterpret_cast<const kel_value*>(mem::buffer_of(owner.w1)->data());
    EXPECT_TRUE(ctx->header & ownership::owner_context_bit);
    ownership::unbind_range(&blk, 1, 5);  // from the second cell, clipped at the tail
    EXPECT_NE(ownership::owner_of(series_node(&a)), nullptr);
    EXPECT_EQ(ownership::owner_of(series_node(&b)), nullptr);
    ownership::unbind_range(&blk, 0, 1);
    EXPECT_EQ(ownership::owner_of(series_node(&a)), nullptr);
}

TEST_F(GcTables, EntriesAreDroppedWhenTheSeriesOrTheOwnerDies) {
    gc::set_stress(0);  // the lost series must outlive their binding until the collection below
    kel_value keep = rooted_block(4);
    const kel_value owner = make_owner(&keep, 1);
    const kel_value word = word_in(owner.w1);
    const uint32_t entries = ownership::entry_count();
    bind_unreachable_series(&owner, &word, 20);
    EXPECT_EQ(ownership::entry_count(), entries + 20);
    scrub_stack();
    gc::collect();
    EXPECT_LE(ownership::entry_count(), entries + 2);  // a stale stack word may keep one

    // The series lives on, its owner does not.
    kel_value s = string_cell(new_string("outlives its owner"));
    block::ks_add(&keep, &s);
    {
        const kel_value lost = unreachable_owner();
        const kel_value lost_word = word_in(lost.w1);
        ownership::bind(&s, &lost, &lost_word);
    }
    EXPECT_NE(ownership::owner_of(series_node(&s)), nullptr);
    scrub_stack();
    gc::collect();
    gc::collect();
    if (ownership::owner_of(series_node(&s)) == nullptr) {
        EXPECT_FALSE(mem::buffer_of(series_node(&s))->flags & mem::flag_owned);
    }
    EXPECT_EQ(bytes_of(series_node(&s)), "outlives its owner");
}

// A record that survives marks its cells, and what they reach can save
// another record met earlier in the same sweep.
namespace {
// Binds y (a string reachable only through the context of x's field word)
// first, then x with that word.
__attribute__((noinline)) void bind_chain(const kel_value* owner, const kel_value* x) {
    const uint32_t word_context = mem::new_cells(1);
    kel_value y = string_cell(new_string("reached through a record"));
    mem::buffer_header* h = mem::buffer_of(word_context);
    std::memcpy(h->data(), &y, 16);
    h->tail = 16;
    const kel_value plain_word = word_in(owner->w1);
    ownership::bind(&y, owner, &plain_word);
    const kel_value word = word_in(word_context);
    kel_value xx = *x;
    ownership::bind(&xx, owner, &word);
}
}  // namespace

TEST_F(GcTables, SurvivingRecordsKeepWhatTheirCellsReach) {
    kel_value keep = rooted_block(4);
    const kel_value owner = make_owner(&keep, 1);
    kel_value x = string_cell(new_string("rooted"));
    block::ks_add(&keep, &x);
    bind_chain(&owner, &x);
    scrub_stack();
    gc::collect();
    const kel_value* owner_cell = ownership::owner_of(series_node(&x));
    ASSERT_NE(owner_cell, nullptr);
    const uint32_t word_context = owner_cell[1].w1;
    ASSERT_TRUE(mem::node_live_q(word_context));
    const kel_value y = *reinterpret_cast<const kel_value*>(mem::buffer_of(word_context)->data());
    ASSERT_TRUE(mem::node_live_q(series_node(&y)));
    EXPECT_EQ(bytes_of(series_node(&y)), "reached through a record");
    EXPECT_NE(ownership::owner_of(series_node(&y)), nullptr);
    kel_value y_again = y;
    ownership::unbind(&y_again);
    ownership::unbind(&x);
}
