// A random object graph under collection: blocks and strings with random
// references, held by a rooted block, by copied cells and node ids in C++
// locals, and by raw data pointers (one of them one past the end of a full
// buffer). After every collection each object still reachable must be intact
// and byte-equal to the model, buffers held by raw pointers must not have
// moved, and at the end the garbage must have been given back.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kernel/stack.h"
#include "kernel/stack_scan.h"
#include "tests/unit/gc_helpers.h"

using namespace kel;
using namespace kel::gc_test;
namespace mem = kel::memory;
namespace gc = kel::collector;

namespace {

struct cell_model {
    bool ref;
    int32_t value;  // an integer cell
    int target;     // a reference: the object's index
};

struct object {
    bool is_block;
    uint32_t node;
    std::vector<cell_model> cells;  // blocks
    std::string bytes;              // strings
};

struct torture {
    std::mt19937 rng{20240611u};
    std::vector<object> objects;
    std::vector<int> roots;  // the model of the rooted block's cells
    kel_value root_block{};
    bool small = false;      // under the stress check: a smaller graph

    int pick(size_t n) { return static_cast<int>(std::uniform_int_distribution<size_t>(0, n - 1)(rng)); }
    int chance(int percent) { return pick(100) < percent; }

    kel_value cell_of(int index) const {
        const object& o = objects[static_cast<size_t>(index)];
        return o.is_block ? block_cell(o.node) : string_cell(o.node);
    }

    std::string random_bytes(size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(pick(256));
        return s;
    }

    void add_root(int index) {
        kel_value c = cell_of(index);
        block::ks_add(&root_block, &c);
        roots.push_back(index);
    }

    void drop_root(size_t i) {
        const int32_t last = block::ks_length_q(&root_block) - 1;
        *block::ks_abs_at(&root_block, static_cast<int32_t>(i)) = *block::ks_abs_at(&root_block, last);
        block::ks_cut_at(&root_block, last);
        roots[i] = roots.back();
        roots.pop_back();
    }

    // Indexes reachable from the roots and the extra starting points.
    std::vector<int> reachable(const std::vector<int>& extra = {}) const {
        std::vector<char> seen(objects.size(), 0);
        std::vector<int> todo(roots);
        todo.insert(todo.end(), extra.begin(), extra.end());
        std::vector<int> out;
        while (!todo.empty()) {
            const int i = todo.back();
            todo.pop_back();
            if (seen[static_cast<size_t>(i)]) continue;
            seen[static_cast<size_t>(i)] = 1;
            out.push_back(i);
            for (const cell_model& c : objects[static_cast<size_t>(i)].cells)
                if (c.ref) todo.push_back(c.target);
        }
        return out;
    }

    int new_object() {
        object o;
        o.is_block = chance(50);
        if (o.is_block) {
            const int n = pick(small ? 6 : 20);
            o.node = mem::new_cells(static_cast<uint32_t>(n));
            kel_value blk = block_cell(o.node);
            for (int k = 0; k < n; ++k) {
                const int32_t v = static_cast<int32_t>(rng());
                kel_value c = test::int_v(v);
                block::ks_add(&blk, &c);
                o.cells.push_back({false, v, -1});
            }
        } else {
            o.bytes = random_bytes(static_cast<size_t>(pick(small ? 400 : 24000)));
            o.node = new_string(o.bytes);
        }
        objects.push_back(std::move(o));
        const int index = static_cast<int>(objects.size() - 1);
        add_root(index);
        return index;
    }

    int random_reachable(bool want_block) {
        std::vector<int> r = reachable();
        std::vector<int> fit;
        for (int i : r)
            if (objects[static_cast<size_t>(i)].is_block == want_block) fit.push_back(i);
        return fit.empty() ? -1 : fit[static_cast<size_t>(pick(fit.size()))];
    }

    void random_step() {
        const int what = pick(100);
        if (what < 30 || roots.size() < 4) {
            new_object();
        } else if (what < 60) {  // a reference from a block to anything reachable
            const int a = random_reachable(true);
            std::vector<int> r = reachable();
            if (a < 0) return;
            const int b = r[static_cast<size_t>(pick(r.size()))];
            kel_value blk = cell_of(a), c = cell_of(b);
            block::ks_add(&blk, &c);
            objects[static_cast<size_t>(a)].cells.push_back({true, 0, b});
        } else if (what < 70) {  // a string grows
            const int s = random_reachable(false);
            if (s < 0) return;
            const std::string more = random_bytes(static_cast<size_t>(pick(small ? 200 : 8000)) + 1);
            char* p = mem::claim_tail_bytes(objects[static_cast<size_t>(s)].node, static_cast<uint32_t>(more.size()));
            std::memcpy(p, more.data(), more.size());
            objects[static_cast<size_t>(s)].bytes += more;
        } else if (what < 80) {  // a cell becomes an integer again
            const int a = random_reachable(true);
            if (a < 0 || objects[static_cast<size_t>(a)].cells.empty()) return;
            object& o = objects[static_cast<size_t>(a)];
            const size_t k = static_cast<size_t>(pick(o.cells.size()));
            const int32_t v = static_cast<int32_t>(rng());
            kel_value blk = block_cell(o.node);
            set_integer(block::ks_abs_at(&blk, static_cast<int32_t>(k)), v);
            o.cells[k] = {false, v, -1};
        } else {  // a root goes
            drop_root(static_cast<size_t>(pick(roots.size())));
        }
    }

    // Every reachable object against the model.
    void check(const std::vector<int>& extra, const char* when) {
        for (int i : reachable(extra)) {
            const object& o = objects[static_cast<size_t>(i)];
            ASSERT_TRUE(mem::node_live_q(o.node)) << when << ": object " << i << " lost its node";
            mem::buffer_header* h = mem::buffer_of(o.node);
            ASSERT_EQ(h->node, o.node) << when;
            ASSERT_TRUE(h->flags & mem::flag_in_use) << when;
            if (!o.is_block) {
                ASSERT_EQ(bytes_of(o.node), o.bytes) << when << ": string " << i;
                continue;
            }
            kel_value blk = block_cell(o.node);
            ASSERT_EQ(block::ks_length_q(&blk), static_cast<int32_t>(o.cells.size())) << when << ": block " << i;
            for (size_t k = 0; k < o.cells.size(); ++k) {
                const kel_value* c = block::ks_abs_at(&blk, static_cast<int32_t>(k));
                const cell_model& m = o.cells[k];
                if (!m.ref) {
                    ASSERT_EQ(type_of(c), types::integer) << when;
                    ASSERT_EQ(get_integer(c), m.value) << when;
                } else {
                    const object& t = objects[static_cast<size_t>(m.target)];
                    ASSERT_EQ(type_of(c), t.is_block ? types::block : types::string) << when;
                    ASSERT_EQ(series_node(c), t.node) << when;
                }
            }
        }
    }

    // A string made full (tail at capacity), for the pointer past its end.
    void fill_up(int s) {
        object& o = objects[static_cast<size_t>(s)];
        mem::buffer_header* h = mem::buffer_of(o.node);
        const uint32_t room = h->capacity - h->tail;
        if (room) {
            char* p = mem::claim_tail_bytes(o.node, room);
            std::memset(p, 'F', room);
            o.bytes.append(room, 'F');
        }
    }

    // One round: random steps, then locals that alone hold some objects,
    // then collections and the check.
    __attribute__((noinline)) void round(int steps, int number) {
        for (int k = 0; k < steps; ++k) random_step();
        if (roots.size() < 8) return;

        // Two strings held by raw pointers only: one past the end of a full
        // buffer, one into its middle.
        int raw_index[2] = {-1, -1};
        char* volatile raw[2] = {nullptr, nullptr};
        uintptr_t raw_header[2] = {0, 0};
        for (int r = 0; r < 2; ++r) {
            const int s = random_reachable(false);
            if (s < 0 || objects[static_cast<size_t>(s)].bytes.empty()) continue;
            if (r == 0) fill_up(s);
            mem::buffer_header* h = mem::buffer_of(objects[static_cast<size_t>(s)].node);
            raw_index[r] = s;
            raw[r] = r == 0 ? h->data() + h->capacity : h->data() + h->head + h->used() / 2;
            raw_header[r] = ~reinterpret_cast<uintptr_t>(h);
        }
        // Copied cells and bare node ids.
        kel_value held[3];
        int held_index[3];
        volatile uint32_t held_node[2];
        int held_node_index[2];
        for (int k = 0; k < 3; ++k) {
            held_index[k] = roots[static_cast<size_t>(pick(roots.size()))];
            held[k] = cell_of(held_index[k]);
        }
        for (int k = 0; k < 2; ++k) {
            held_node_index[k] = roots[static_cast<size_t>(pick(roots.size()))];
            held_node[k] = objects[static_cast<size_t>(held_node_index[k])].node;
        }
        // Now take them off the roots.
        std::vector<int> extra;
        for (int i : raw_index)
            if (i >= 0) extra.push_back(i);
        for (int i : held_index) extra.push_back(i);
        for (int i : held_node_index) extra.push_back(i);
        for (int i : extra)
            for (size_t k = 0; k < roots.size(); ++k)
                if (roots[k] == i) {
                    drop_root(k);
                    --k;
                }
        asm volatile("" : : "r"(held), "r"(&held_node[0]) : "memory");

        for (int pass = 0; pass < 2; ++pass) {
            // Allocation in between, so the locals live across collections
            // that happen inside allocating calls as well.
            for (int k = 0; k < 3; ++k) new_object();
            gc::collect();
            std::string when = "round " + std::to_string(number) + " pass " + std::to_string(pass);
            check(extra, when.c_str());
            for (int r = 0; r < 2; ++r) {
                if (raw_index[r] < 0) continue;
                const object& o = objects[static_cast<size_t>(raw_index[r])];
                mem::buffer_header* h = mem::buffer_of(o.node);
                EXPECT_EQ(~reinterpret_cast<uintptr_t>(h), raw_header[r]) << when << ": a buffer held by a pointer moved";
                if (r == 0) {
                    EXPECT_EQ(raw[r], h->data() + h->capacity) << when;
                } else {
                    EXPECT_EQ(*raw[r], o.bytes[o.bytes.size() / 2]) << when;
                }
            }
            for (int k = 0; k < 3; ++k) EXPECT_EQ(series_node(&held[k]), objects[static_cast<size_t>(held_index[k])].node);
            for (int k = 0; k < 2; ++k) EXPECT_EQ(held_node[k], objects[static_cast<size_t>(held_node_index[k])].node);
        }
        // Some of them go back to the roots; the rest becomes garbage.
        for (int i : extra)
            if (chance(50)) add_root(i);
    }
};

}  // namespace

TEST(GcTorture, RandomGraphsSurviveCollectionsIntact) {
    test::boot();
    stack::reset();
    checks_guard saved;
    const bool stressed = gc::stress_interval() != 0;
    if (!stressed) gc::set_stress(moves_only);  // every collection moves what it can
    scrub_stack();
    gc::collect();
    const uint64_t in_use = gc::memory_in_use();
    const uint32_t frames = mem::series_frame_count();

    torture t;
    t.small = stressed;
    t.root_block = rooted_block(16);
    const int rounds = stressed ? 12 : 30;
    uint32_t most_frames = frames;
    uint64_t most_in_use = in_use;
    for (int r = 0; r < rounds && !::testing::Test::HasFatalFailure(); ++r) {
        t.round(stressed ? 40 : 80, r);
        most_frames = std::max(most_frames, mem::series_frame_count());
        most_in_use = std::max(most_in_use, gc::memory_in_use());
    }
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    if (!stressed) {
        // The graph outgrows the frames a fresh heap has; in a process that
        // ran other suites first, the room their garbage left in the frames
        // may take it, so the graph's own growth past two full frames counts
        // as well.
        EXPECT_TRUE(most_frames > frames + 1 || most_in_use > in_use + 2 * mem::root.max_frame_size)
            << "the graph never needed more frames";
    }
    EXPECT_TRUE(gc::verify_heap(false));

    // Everything goes: most of the memory comes back. Every block is emptied
    // first, so that a stale stack word can keep one object, not the graph.
    for (int i : t.reachable()) {
        if (!t.objects[static_cast<size_t>(i)].is_block) continue;
        kel_value blk = block_cell(t.objects[static_cast<size_t>(i)].node);
        block::ks_cut_at(&blk, 0);
    }
    block::ks_cut_at(&t.root_block, 0);
    t.roots.clear();
    t.objects.clear();
    scrub_stack();
    gc::collect();
    // Frames went back; an object a stale word keeps may keep its frame.
    if (most_frames > frames + 2) {
        EXPECT_LT(mem::series_frame_count(), most_frames);
    }
    EXPECT_LT(gc::memory_in_use(), in_use + (512u << 10));
    EXPECT_TRUE(gc::verify_heap(false));
}
