// collector: the collection cycle, the roots, marking by type through an
// explicit work list, hooks, root cells, pins, the checks and the figures.
// The stack scan is in stack_scan.cpp, compaction, the sweeps and the heap
// verifier in compaction.cpp.
#include "kernel/collector.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kernel/stack.h"
#include "kernel/compaction.h"
#include "kernel/cycle_guard.h"
#include "kernel/handles.h"
#include "kernel/hashtable.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/ownership.h"
#include "kernel/slots.h"
#include "kernel/stack_scan.h"

namespace kel::collector {

statistics stats{0, 0};

namespace detail {
bool verifying = false;

void* grow(void* items, size_t item_size, size_t* capacity) {
    const size_t n = *capacity ? *capacity * 2 : 256;
    void* p = heap::resize(items, n * item_size);
    *capacity = n;
    return p;
}
}  // namespace detail

namespace {

using memory::buffer_header;

bool active = false;
bool collecting = false;

detail::heap_list<buffer_header*> work;         // buffers whose cells wait to be marked
detail::heap_list<buffer_header*> heap_marked;  // heap-backed buffers marked this time
detail::heap_list<uint32_t> traced;              // nodes of the buffers whose cells were marked
// While the stack scan and what it leads to are marked: buffers reached only
// that way may be half built (cells claimed, not yet written), so the
// verifier leaves their cells alone.
bool conservative = false;
detail::heap_list<const kel_value*> root_cells;
kel_value root_cell{};
name_roots (*name_roots_of)() = nullptr;
detail::heap_list<uint32_t> pins;

constexpr int hook_capacity = 100;
void (*hooks[hook_capacity])() = {};
int hook_cursor = 0;
void (*sweep_hook)() = nullptr;

uint32_t stress_every = 0;
uint32_t stress_count = 0;
bool verify_each = false;

constexpr uint32_t cells_unit = 16;
constexpr uint32_t event_has_block = 0x1000u;     // event! header bit 12

// Marks a buffer; `contents`: its cells go on the work list.
bool mark_header(buffer_header* h, bool contents, bool pinned) {
    if (pinned) h->flags |= memory::flag_pinned;
    if (h->flags & memory::flag_mark) return false;
    h->flags |= memory::flag_mark;
    if (h->flags & memory::flag_heap) heap_marked.push(h);
    if (contents && (h->flags & memory::unit_mask) == cells_unit && h->tail > h->head) {
        work.push(h);
        if (h->node && !conservative) traced.push(h->node);
    }
    return true;
}

void mark_hash_table(uint32_t node);

// A hash table is marked whole however it is reached: its arrays are nodes
// held in a byte buffer, which no cell marker would find.
bool mark_node_as(uint32_t node, bool contents) {
    if (detail::verifying) {
        detail::report_dangling(node);
        return false;
    }
    if (!memory::node_live_q(node)) return false;
    buffer_header* h = memory::buffer_of(node);
    if ((h->flags & (memory::flag_table | memory::flag_mark)) == memory::flag_table) {
        mark_hash_table(node);
        return true;
    }
    return mark_header(h, contents, false);
}

// What the hash-table walker is lent: its node marker marks the buffer
// alone (the table's own node must not lead back to the table walker).
bool table_node(uint32_t node) {
    return memory::node_live_q(node) && mark_header(memory::buffer_of(node), false, false);
}
void table_block(uint32_t node) { mark_block(node); }
void table_cells(kel_value* first, uint32_t count) { mark_cells(first, first + count); }
const hashtable::marker table_marker{table_node, table_block, table_cells};

// Only a buffer shaped like a table (bytes, at least its header) is walked
// as one; any other buffer is marked alone.
void mark_hash_table(uint32_t node) {
    if (!memory::node_live_q(node)) return;
    const buffer_header* h = memory::buffer_of(node);
    if ((h->flags & memory::unit_mask) != 1 || h->used() < sizeof(hashtable::table_header)) {
        table_node(node);
        return;
    }
    hashtable::mark(node, table_marker);
}

// The marker of each type, from its registry row (`install` stores it).
std::array<marker_fn, types::table_rows> markers{};

// --- roots -----------------------------------------------------------------------

// The call marks: the naming word's context, the function context and the
// values it saved (a block node; an offset into the argument stack for a
// stack context, which is no node id and so marks nothing).
void mark_frames() {
    for (const stack::call_mark* m = stack::regs.marks_bottom; m < stack::regs.marks_top; ++m) {
        if (m->word_context) mark_context(m->word_context);
        if (m->function_context) mark_context(m->function_context);
        if (m->saved_values) mark_block(m->saved_values);
    }
}

void mark_roots() {
    if (type_of(&root_cell) == types::block) mark_series_cell(&root_cell);
    ownership::mark_root();
    if (stack::ready()) {
        mark_node(stack::regs.argument_node);
        mark_node(stack::regs.mark_node);
        mark_cells(stack::regs.bottom, stack::regs.top);
        mark_frames();
    }
    if (name_roots_of) {
        const name_roots names = name_roots_of();
        mark_table(names.symbol_index);
        mark_context(names.global_context);
    }
    for (const kel_value* c : root_cells) mark_value(c);
    // The record of the last raise keeps copies of its argument cells, its
    // `where` and its `near` (read after the error was received).
    const fired_error& fired = last_fired();
    mark_cells(fired.args, fired.args + 3);
    mark_value(&fired.where);
    mark_value(&fired.near);
    int depth = 0;
    const uint32_t* guarded = cycles::entries(&depth);
    for (int i = 0; i < depth; ++i) mark_block(guarded[i]);
    slot_table::mark();
    for (uint32_t node : pins)
        if (memory::node_live_q(node)) mark_buffer(memory::buffer_of(node), true);
    for (int i = 0; i < hook_cursor; ++i)
        if (hooks[i]) hooks[i]();
}

void unmark_heap_buffers() {
    for (buffer_header* h : heap_marked) h->flags &= ~(memory::flag_mark | memory::flag_pinned);
    heap_marked.clear();
}

// The bytes the frames hold carved and the big frames hold.
size_t heap_bytes() {
    size_t bytes = 0;
    for (const memory::series_frame* f = memory::root.series_frames; f; f = f->next)
        bytes += static_cast<size_t>(f->free - f->start);
    for (const memory::big_frame* b = memory::root.big_frames; b; b = b->next) bytes += b->size;
    return bytes;
}

// The next collection comes once as many bytes as the heap keeps live have
// been carved again (at least the least budget), so the heap at most about
// doubles between collections and each collection's cost is paid for by as
// much allocation as it traced. A collection that found nearly everything
// live (a program building a large structure: millions of strings read into
// a block) waits for twice that: tracing a heap that keeps growing frees
// nothing, and the next collection that does free goes back to the plain
// budget.
void set_next_budget(size_t before) {
    const size_t live = heap_bytes();
    const bool fruitless = live >= before - before / 8;
    memory::root.allocated_since_collection = 0;
    memory::root.collection_budget = std::max(fruitless ? 2 * live : live, memory::min_collection_budget);
}

void stress_tick() {
    if (!active || collecting || !stress_every) return;
    if (++stress_count < stress_every) return;
    stress_count = 0;
    collect();
}

}  // namespace

namespace cell_markers {

void nothing(const kel_value*) {}

void any_block(const kel_value* c) { if (c->w2) mark_block(c->w2); }
void any_string(const kel_value* c) {
    mark_node(c->w2);
    if (c->w3) mark_node(c->w3);
}
void word2_node(const kel_value* c) { mark_node(c->w2); }
void symbol(const kel_value* c) {
    mark_node(c->w3);
    if (c->w2) mark_node(c->w2);
}
void context_cell(const kel_value* c) {
    if (c->w1) {
        if (detail::verifying) detail::report_dangling(c->w1);
        else mark_table(c->w1);
    }
    if (!(c->header & header_context_stack)) mark_block(c->w2);
}
void word(const kel_value* c) { if (c->w1) mark_context(c->w1); }
void object(const kel_value* c) {
    mark_context(c->w1);
    if (c->w3) mark_node(c->w3);
}
void hash_or_map(const kel_value* c) {
    mark_block(c->w2);
    if (c->w3) {
        if (detail::verifying) detail::report_dangling(c->w3);
        else mark_table(c->w3);
    }
}
void function(const kel_value* c) {
    mark_context(c->w1);
    mark_block(c->w2);
    mark_block(c->w3);
}
void native(const kel_value* c) {
    mark_block(c->w2);
    mark_block(c->w3);
    if (type_of(c) == types::op) {
        const uint32_t wrapped = (c->header >> 16) & 0xFFu;
        if (wrapped == types::function || wrapped == types::routine) mark_context(c->w1);
    }
}
void handle(const kel_value* c) {
    if (!detail::verifying && static_cast<int32_t>(c->w3) >= 0) externals::mark(static_cast<int32_t>(c->w3));
}
void image(const kel_value* c) { if (c->w2) mark_node(c->w2); }
void event(const kel_value* c) {
    if ((c->header & event_has_block) && c->w2) mark_block(c->w2);
}

}  // namespace cell_markers

void (*mark_table)(uint32_t table_node) = mark_hash_table;

namespace detail {
const hashtable::marker& table_walker() { return table_marker; }
const uint32_t* traced_nodes(size_t* count) {
    *count = traced.count;
    return traced.items;
}
}  // namespace detail

// --- the cycle ---------------------------------------------------------------------

void init() {
    memory::collect_hook = collect_if_active;
    stats = {0, 0};
    read_environment();
}

void collect() {
    if (collecting || !memory::initialised() || !memory::root.series_frames) return;
    collecting = true;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const size_t before = heap_bytes();
    work.clear();
    heap_marked.clear();
    traced.clear();

    mark_roots();
    trace();
    conservative = true;
    scan_machine_stack();
    trace();
    conservative = false;
    ownership::sweep();
    externals::sweep();

    compact_series_frames(stress_every != 0);
    sweep_big_frames();
    unmark_heap_buffers();
    if (verify_each) verify_heap(true);
    sweep_node_frames();
    if (sweep_hook) sweep_hook();

    set_next_budget(before);
    stats.cycles++;
    memory::root.collector_cycle = static_cast<uint32_t>(stats.cycles);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    collecting = false;
    externals::run_pending_releases();
}

void collect_if_active() {
    if (active) collect();
}

bool collecting_q() { return collecting; }
bool active_q() { return active; }
void set_active(bool on) { active = on; }

uint64_t recycle() {
    collect();
    return memory_in_use();
}

// --- roots -------------------------------------------------------------------------

bool add_hook(void (*hook)()) {
    if (!hook || hook_cursor >= hook_capacity) return false;
    hooks[hook_cursor++] = hook;
    return true;
}

void set_sweep_hook(void (*hook)()) { sweep_hook = hook; }

void remove_hook(void (*hook)()) {
    for (int i = 0; i < hook_cursor; ++i)
        if (hooks[i] == hook) {
            hooks[i] = nullptr;
            return;
        }
}

kel_value* root_block() { return &root_cell; }

void init_root_block() {
    if (type_of(&root_cell) == types::block) return;
    set_series(&root_cell, types::block, 0, memory::new_heap_series(root_block_cells, 16, 0));
}

void keep_in_root_block(const kel_value* cell) {
    const kel_value v = *cell;  // the claim may move the buffer the cell lies in
    *memory::claim_tail_cell(&root_cell) = v;
}

void set_name_roots(name_roots (*fn)()) { name_roots_of = fn; }

void add_root_cell(const kel_value* cell) { root_cells.push(cell); }

void remove_root_cell(const kel_value* cell) {
    for (size_t i = 0; i < root_cells.count; ++i)
        if (root_cells.items[i] == cell) {
            std::memmove(root_cells.items + i, root_cells.items + i + 1,
                         (root_cells.count - i - 1) * sizeof(const kel_value*));
            root_cells.count--;
            return;
        }
}

// --- marking -------------------------------------------------------------------------

bool mark_node(uint32_t node) { return mark_node_as(node, false); }
bool mark_block(uint32_t node) { return mark_node_as(node, true); }
void mark_series_cell(const kel_value* cell) { mark_block(series_node(cell)); }
// A context's cells are its context! cell (word table and values) and its
// owner value; marking them by type is marking the context.
void mark_context(uint32_t node) { mark_block(node); }

void mark_cells(const kel_value* first, const kel_value* end) {
    for (const kel_value* c = first; c < end; ++c) mark_value(c);
}

void mark_value(const kel_value* value) {
    const uint32_t t = type_of(value);
    if (t < types::table_rows && markers[t]) markers[t](value);
}

void unmark_node(uint32_t node) {
    if (memory::node_live_q(node)) memory::buffer_of(node)->flags &= ~memory::flag_mark;
}

bool marked_q(uint32_t node) {
    return memory::node_live_q(node) && (memory::buffer_of(node)->flags & memory::flag_mark) != 0;
}

void mark_buffer(buffer_header* h, bool pinned) {
    if ((h->flags & (memory::flag_table | memory::flag_mark)) == memory::flag_table && h->node &&
        memory::node_live_q(h->node) && memory::buffer_of(h->node) == h) {
        if (pinned) h->flags |= memory::flag_pinned;
        mark_hash_table(h->node);
        return;
    }
    mark_header(h, true, pinned);
}

void trace() {
    while (work.count) {
        buffer_header* h = work.items[--work.count];
        const uint32_t tail = h->tail <= h->capacity ? h->tail : h->capacity;
        auto* c = reinterpret_cast<const kel_value*>(h->data() + h->head);
        auto* end = reinterpret_cast<const kel_value*>(h->data() + (tail & ~15u));
        for (; c < end; ++c) mark_value(c);
    }
}

void set_marker(uint32_t type, marker_fn fn) {
    if (type < types::table_rows) markers[type] = fn;
}

marker_fn marker(uint32_t type) { return type < types::table_rows ? markers[type] : nullptr; }

// --- pins ----------------------------------------------------------------------------

void pin(uint32_t node) { pins.push(node); }

void unpin(uint32_t node) {
    for (size_t i = pins.count; i-- > 0;)
        if (pins.items[i] == node) {
            std::memmove(pins.items + i, pins.items + i + 1, (pins.count - i - 1) * sizeof(uint32_t));
            pins.count--;
            return;
        }
}

uint32_t pin_count() { return static_cast<uint32_t>(pins.count); }

// --- checks --------------------------------------------------------------------------

void read_environment() {
    uint32_t every = 0;
    if (const char* s = std::getenv("KEL_GC_STRESS"); s && *s) {
        char* end = nullptr;
        unsigned long n = std::strtoul(s, &end, 10);
        if (end && *end == '\0' && n <= 0xFFFFFFFFul) every = static_cast<uint32_t>(n);
    }
    set_stress(every);
    const char* v = std::getenv("KEL_GC_VERIFY");
    set_verify(v && *v && std::strcmp(v, "0") != 0);
}

void set_stress(uint32_t every) {
    stress_every = every;
    stress_count = 0;
    memory::allocation_hook = every ? stress_tick : nullptr;
}

uint32_t stress_interval() { return stress_every; }
void set_verify(bool on) { verify_each = on; }
bool verify_q() { return verify_each; }

// --- figures -------------------------------------------------------------------------

namespace {
// The bytes of a frame's buffers in use: fillers and dead buffers left out.
uint64_t series_bytes_in_use(const memory::series_frame* f) {
    uint64_t bytes = 0;
    for (char* p = f->start; p < f->free;) {
        const auto* h = reinterpret_cast<const buffer_header*>(p);
        const uint64_t size = uint64_t{h->capacity} + memory::buffer_overhead;
        if (h->flags & memory::flag_in_use) bytes += size;
        p += size;
    }
    return bytes;
}
}  // namespace

uint64_t memory_in_use() {
    using namespace memory;
    if (!initialised()) return 0;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < root.node_frame_count; ++i)
        if (!root.node_frames[i].vacated) bytes += uint64_t{root.node_frames[i].used} * sizeof(uintptr_t);
    for (series_frame* f = root.series_frames; f; f = f->next) bytes += series_bytes_in_use(f);
    for (big_frame* b = root.big_frames; b; b = b->next) bytes += b->size;
    return bytes;
}

uint64_t os_bytes() { return memory::initialised() ? memory::root.total : 0; }

uint32_t node_frame_figures(frame_figures* out, uint32_t max) {
    using namespace memory;
    uint32_t n = 0;
    for (uint32_t i = 0; i < root.node_frame_count; ++i) {
        const node_frame& f = root.node_frames[i];
        if (f.vacated) continue;
        if (n < max) out[n] = {f.count - f.used, f.used, f.count};
        ++n;
    }
    return n;
}

uint32_t series_frame_figures(frame_figures* out, uint32_t max) {
    using namespace memory;
    uint32_t n = 0;
    for (series_frame* f = root.series_frames; f; f = f->next) {
        if (n < max) {
            const uint64_t total = static_cast<uint64_t>(f->end - f->start), used = series_bytes_in_use(f);
            out[n] = {total - used, used, total};
        }
        ++n;
    }
    return n;
}

uint32_t big_frame_sizes(uint64_t* out, uint32_t max) {
    uint32_t n = 0;
    for (memory::big_frame* b = memory::root.big_frames; b; b = b->next) {
        if (n < max) out[n] = b->size;
        ++n;
    }
    return n;
}

}  // namespace kel::collector
