// series_memory: node arena, series frames, big frames, buffer allocation,
// growth and copy. Invariants:
//  - every taken node slot holds the address of a header whose `node` field
//    names that slot back;
//  - series frames are sorted by address and every byte from a frame's start
//    to its `free` is carved into whole buffers (header + capacity + trailer);
//  - a retired frame buffer has node 0 and the in-use bit off.
#include "kernel/series_memory.h"

#include <algorithm>
#include <cstring>

#include "kernel/fatal.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "platform/platform.h"

#include <sys/mman.h>

namespace kel::memory {

memory_root root;
void (*collect_hook)() = nullptr;
void (*allocation_hook)() = nullptr;

namespace {

constexpr size_t page_size = 4096;
constexpr size_t arena_reserve = size_t{1} << 30;
constexpr size_t arena_fallback = size_t{256} << 20;
constexpr size_t slot_bytes = sizeof(uintptr_t);
constexpr size_t node_frame_bytes = nodes_per_frame * slot_bytes;
// A frame left with less room than this after a collection is passed over.
constexpr size_t min_useful_room = 52428;

bool ready = false;

// Buffers up to this many data bytes take new_series' short path.
constexpr uint64_t small_buffer = 4096;

size_t round_page(size_t n) { return (n + page_size - 1) & ~(page_size - 1); }

[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }

void collect_if_active() {
    if (collect_hook) collect_hook();
}

// A collection only once the budget is spent: with a large live heap, a
// collection at every full frame would retrace the whole heap for the few
// bytes each one frees.
void collect_if_due() {
    if (root.allocated_since_collection >= root.collection_budget) collect_if_active();
}

// Commits the pages under node frame `index`.
bool commit_node_frame(uint32_t index) {
    auto* base = reinterpret_cast<char*>(root.node_slots);
    size_t lo = static_cast<size_t>(index) * node_frame_bytes;
    size_t hi = lo + node_frame_bytes;
    size_t lo_page = lo & ~(page_size - 1);
    size_t hi_page = std::min(round_page(hi), root.node_arena_bytes);
    return platform::commit_pages(base + lo_page, hi_page - lo_page);
}

void init_header(buffer_header* h, uint32_t capacity, uint32_t unit, int32_t head_offset, uint32_t extra_flags) {
    h->flags = unit | flag_in_use | flag_always | extra_flags;
    h->node = 0;
    h->capacity = capacity;
    uint32_t head;
    if (head_offset < 0) {
        h->flags |= flag_head_middle;
        // The middle, kept on a whole unit so cells stay aligned.
        head = (capacity / 2) & ~(unit - 1);
    } else {
        head = std::min(static_cast<uint32_t>(head_offset), capacity);
    }
    h->head = h->tail = head;
    h->reserved[0] = h->reserved[1] = h->reserved[2] = 0;
    std::memset(h->data() + capacity, 0, trailer_size);
}

// Bytes for count units, rounded up to 16; refuses more than a buffer holds.
uint32_t capacity_for(uint32_t count, uint32_t unit) {
    uint64_t bytes = static_cast<uint64_t>(count) * unit;
    if (bytes > max_capacity(unit)) no_memory();
    return round16(static_cast<uint32_t>(bytes));
}

void link_series_frame(series_frame* f) {
    if (!root.series_frames) {
        root.series_frames = root.series_frames_tail = root.series_frame_current = f;
        f->next = f->prev = nullptr;
        return;
    }
    if (f < root.series_frames) {
        f->prev = nullptr;
        f->next = root.series_frames;
        root.series_frames->prev = f;
        root.series_frames = f;
        return;
    }
    series_frame* after = root.series_frames;
    while (after->next && after->next < f) after = after->next;
    f->prev = after;
    f->next = after->next;
    if (after->next) after->next->prev = f;
    else root.series_frames_tail = f;
    after->next = f;
}

buffer_header* carve(series_frame* f, uint32_t need) {
    auto* h = reinterpret_cast<buffer_header*>(f->free);
    f->free += need;
    root.series_frame_current = f;
    return h;
}

// Allocates the bytes of a buffer of `capacity` data bytes and fills its header.
buffer_header* allocate_capacity(uint32_t capacity, uint32_t unit, int32_t head_offset) {
    if (allocation_hook) allocation_hook();
    const size_t need = static_cast<size_t>(capacity) + buffer_overhead;
    buffer_header* h;
    uint32_t extra = 0;
    root.allocated_since_collection += need;
    if (need >= root.max_frame_size) {
        collect_if_due();
        h = new_big_frame(need);
        extra = flag_big;
    } else {
        series_frame* f = root.series_frame_current;
        if (f && f->free + need < f->end) {
            h = carve(f, static_cast<uint32_t>(need));
        } else {
            f = find_frame_with_room(need);
            if (!f) {
                collect_if_due();
                f = find_frame_with_room(need);
                if (!f || static_cast<size_t>(f->end - f->free) < min_useful_room) {
                    if (need >= root.next_frame_size) root.next_frame_size = root.max_frame_size;
                    f = new_series_frame();
                }
            }
            h = carve(f, static_cast<uint32_t>(need));
        }
    }
    init_header(h, capacity, unit, head_offset, extra);
    return h;
}

// Grows a big-frame buffer in place of a copy: the kernel moves the pages
// (mremap), so neither the bytes are copied nor the pages faulted again.
// Answers null when the system cannot, and the caller copies instead.
buffer_header* remap_big(buffer_header* old, uint32_t capacity) {
    auto* b = reinterpret_cast<big_frame*>(old) - 1;
    const size_t bytes = static_cast<size_t>(capacity) + buffer_overhead;
    const size_t os = round_page(sizeof(big_frame) + bytes);
    big_frame* prev = nullptr;
    for (big_frame* p = root.big_frames; p && p != b; p = p->next) prev = p;
    void* mem = mremap(b, b->os_size, os, MREMAP_MAYMOVE);
    if (mem == MAP_FAILED) return nullptr;
    auto* nb = static_cast<big_frame*>(mem);
    root.total += os - nb->os_size;
    nb->os_size = os;
    nb->size = bytes;
    if (prev) prev->next = nb;
    else root.big_frames = nb;
    if (root.big_frames_tail == b) root.big_frames_tail = nb;
    buffer_header* h = nb->buffer();
    h->capacity = capacity;
    h->flags &= ~flag_mark;
    std::memset(h->data() + capacity, 0, trailer_size);
    return h;
}

// Releases a retired buffer: heap and big-frame buffers at once; a frame
// buffer is left for compaction.
void retire(buffer_header* old) {
    old->node = 0;
    old->flags &= ~flag_in_use;
    if (old->flags & flag_heap) heap::free(old);
    else if (old->flags & flag_big) free_big_frame(old);
}


}  // namespace

void init() {
    if (ready) return;
    std::memset(&root, 0, sizeof root);
    root.frame_size = size_t{1} << 20;
    root.next_frame_size = root.frame_size;
    root.max_frame_size = size_t{2} << 20;
    root.collection_budget = min_collection_budget;
    size_t bytes = arena_reserve;
    void* arena = platform::reserve_pages(bytes);
    if (!arena) {
        bytes = arena_fallback;
        arena = platform::reserve_pages(bytes);
    }
    if (!arena) fatal::report_error(fatal::out_of_memory, __builtin_return_address(0));
    root.node_slots = static_cast<uintptr_t*>(arena);
    root.node_arena_bytes = bytes;
    root.node_frame_limit = static_cast<uint32_t>(bytes / node_frame_bytes);
    root.node_frames = heap::allocate_array<node_frame>(root.node_frame_limit);
    ready = true;
}

void init_frames() {
    if (root.node_frame_count == 0) new_node_frame();
    if (!root.series_frames) new_series_frame();
}

bool initialised() { return ready; }

// --- nodes -------------------------------------------------------------------

uint32_t new_node_frame() {
    // A frame the collector released is taken again before a new one.
    uint32_t index = root.node_frame_count;
    for (uint32_t i = 0; i < root.node_frame_count; ++i)
        if (root.node_frames[i].vacated) {
            index = i;
            break;
        }
    if (index >= root.node_frame_limit) no_memory();
    if (!commit_node_frame(index)) no_memory();
    node_frame& f = root.node_frames[index];
    f.first = node_base + index * nodes_per_frame;
    f.count = nodes_per_frame;
    f.used = 0;
    f.born = root.collector_cycle;
    f.last_used = f.history = f.vacated = 0;
    uintptr_t* slots = root.node_slots + static_cast<size_t>(index) * nodes_per_frame;
    for (uint32_t i = 0; i + 1 < nodes_per_frame; ++i) slots[i] = (uintptr_t{f.first + i + 1} << 1) | 1u;
    slots[nodes_per_frame - 1] = 1u;  // end of the chain
    f.free = f.first;
    if (index >= root.node_frame_count) root.node_frame_count = index + 1;
    root.node_frame_current = index;
    root.total += node_frame_bytes;
    return index;
}

uint32_t take_node() {
    node_frame* f = &root.node_frames[root.node_frame_current];
    if (f->free == 0) {
        f = nullptr;
        for (uint32_t i = 0; i < root.node_frame_count; ++i) {
            node_frame& g = root.node_frames[i];
            if (g.free != 0 && g.vacated == 0) {
                f = &g;
                root.node_frame_current = i;
                break;
            }
        }
        if (!f) f = &root.node_frames[new_node_frame()];
    }
    uint32_t node = f->free;
    uintptr_t& slot = root.node_slots[node - node_base];
    f->free = static_cast<uint32_t>(slot >> 1);
    slot = 0;
    f->used++;
    return node;
}

node_frame& frame_of(uint32_t node) { return root.node_frames[(node - node_base) / nodes_per_frame]; }

void free_node(uint32_t node) {
    node_frame& f = frame_of(node);
    root.node_slots[node - node_base] = (uintptr_t{f.free} << 1) | 1u;
    ++root.moves;
    f.free = node;
    f.used--;
}


// --- frames ------------------------------------------------------------------

series_frame* new_series_frame() {
    size_t d = root.next_frame_size;
    if (d < root.max_frame_size) root.next_frame_size = std::min(2 * d, root.max_frame_size);
    size_t os = round_page(sizeof(series_frame) + d);
    void* mem = platform::allocate_pages(os);
    if (!mem) no_memory();
    auto* f = static_cast<series_frame*>(mem);
    f->os_size = os;
    f->start = f->free = reinterpret_cast<char*>(f + 1);
    f->end = f->start + d;
    f->reserved[0] = f->reserved[1] = 0;
    link_series_frame(f);
    root.series_frame_current = f;
    root.total += os;
    return f;
}

series_frame* find_frame_with_room(size_t bytes) {
    for (series_frame* f = root.series_frames; f; f = f->next)
        if (f->free + bytes < f->end) return f;
    return nullptr;
}

buffer_header* new_big_frame(size_t bytes) {
    size_t os = round_page(sizeof(big_frame) + bytes);
    void* mem = platform::allocate_pages(os);
    if (!mem) no_memory();
    auto* b = static_cast<big_frame*>(mem);
    b->next = nullptr;
    b->os_size = os;
    b->size = bytes;
    b->reserved = 0;
    if (root.big_frames_tail) root.big_frames_tail->next = b;
    else root.big_frames = b;
    root.big_frames_tail = b;
    root.total += os;
    return b->buffer();
}

void free_big_frame(buffer_header* h) {
    if (h->node && node_live_q(h->node) && buffer_of(h->node) == h) free_node(h->node);
    auto* b = reinterpret_cast<big_frame*>(h) - 1;
    big_frame* prev = nullptr;
    for (big_frame* p = root.big_frames; p; prev = p, p = p->next) {
        if (p != b) continue;
        if (prev) prev->next = p->next;
        else root.big_frames = p->next;
        if (root.big_frames_tail == p) root.big_frames_tail = prev;
        root.total -= p->os_size;
        if (!platform::free_pages(p, p->os_size)) fire(error_category::internal, "wrong-mem");
        return;
    }
}

// --- buffers -----------------------------------------------------------------

buffer_header* allocate_buffer(uint32_t count, uint32_t unit, int32_t head_offset) {
    return allocate_capacity(capacity_for(count, unit), unit, head_offset);
}

uint32_t new_series(uint32_t count, uint32_t unit, int32_t head_offset) {
    // The common case, a small buffer with its head at the start carved
    // from the current frame and named by a node of the current node
    // frame, without the general path's steps; anything else (the stress
    // hook, a frame or node frame out of room, a large buffer) goes there.
    const uint64_t bytes = uint64_t{count} * unit;
    series_frame* const f = root.series_frame_current;
    node_frame* const nf = &root.node_frames[root.node_frame_current];
    if (bytes <= small_buffer && head_offset == 0 && !allocation_hook && f && nf->free != 0) {
        const uint32_t capacity = round16(static_cast<uint32_t>(bytes));
        const size_t need = size_t{capacity} + buffer_overhead;
        if (f->free + need < f->end) {
            auto* h = reinterpret_cast<buffer_header*>(f->free);
            f->free += need;
            root.allocated_since_collection += need;
            const uint32_t node = nf->free;
            uintptr_t& slot = root.node_slots[node - node_base];
            nf->free = static_cast<uint32_t>(slot >> 1);
            nf->used++;
            slot = reinterpret_cast<uintptr_t>(h);
            h->flags = unit | flag_in_use | flag_always;
            h->node = node;
            h->capacity = capacity;
            h->head = h->tail = 0;
            h->reserved[0] = h->reserved[1] = h->reserved[2] = 0;
            std::memset(h->data() + capacity, 0, trailer_size);
            return node;
        }
    }
    buffer_header* h = allocate_buffer(count, unit, head_offset);
    uint32_t node = take_node();
    set_buffer(node, h);
    h->node = node;
    return node;
}

uint32_t new_heap_series(uint32_t count, uint32_t unit, int32_t head_offset) {
    if (allocation_hook) allocation_hook();
    uint32_t capacity = capacity_for(count, unit);
    auto* h = static_cast<buffer_header*>(heap::allocate(static_cast<size_t>(capacity) + buffer_overhead));
    init_header(h, capacity, unit, head_offset, flag_heap);
    uint32_t node = take_node();
    set_buffer(node, h);
    h->node = node;
    return node;
}

uint32_t new_cells(uint32_t count) { return new_series(count, 16, 0); }

uint32_t new_unset_cells(uint32_t count) {
    uint32_t node = new_series(count ? count : 1, 16, 0);
    buffer_header* h = buffer_of(node);
    auto* cells = reinterpret_cast<uint32_t*>(h->data());
    for (uint32_t i = 0; i < h->capacity / 16; ++i) {
        cells[4 * i] = 2;  // unset!
        cells[4 * i + 1] = cells[4 * i + 2] = cells[4 * i + 3] = 0;
    }
    return node;
}

uint32_t new_bytes(uint32_t size) { return new_series(size ? size : 16, 1, 0); }

uint32_t new_units(uint32_t count, uint32_t unit) { return new_series(count ? count : 16 / unit, unit, 0); }

uint32_t new_filled_bytes(uint32_t size, uint8_t byte) {
    uint32_t node = new_bytes(size);
    buffer_header* h = buffer_of(node);
    std::memset(h->data(), byte, h->capacity);
    return node;
}

void set_series_flags(uint32_t node, uint32_t bits) { buffer_of(node)->flags |= bits; }

namespace {

// A new buffer of new_capacity bytes (0: twice the old, at least 16 units)
// takes the node; with `copy`, the old bytes from the head to the end of the
// old data area move to the new data start. The old buffer is retired.
buffer_header* replace_buffer(buffer_header* old, uint32_t new_capacity, bool copy) {
    const uint32_t unit = old->unit();
    const uint32_t node = old->node;
    if (new_capacity == 0) {
        uint64_t doubled = 2ull * old->capacity;
        new_capacity = static_cast<uint32_t>(
            std::min<uint64_t>(std::max<uint64_t>(doubled, 16ull * unit), max_capacity(unit)));
        if (new_capacity <= old->capacity) no_memory();
    }
    if (new_capacity > max_capacity(unit)) no_memory();
    const uint32_t capacity = capacity_for((new_capacity + unit - 1) / unit, unit);
    if (copy && node && (old->flags & flag_big) && old->head == 0 && capacity > old->capacity) {
        root.allocated_since_collection += capacity - old->capacity;
        collect_if_due();
        old = buffer_of(node);
        if (buffer_header* h = remap_big(old, capacity)) {
            move_buffer(node, h);
            return h;
        }
    }
    buffer_header* h = allocate_capacity(capacity, unit, 0);
    if (node) old = buffer_of(node);  // an allocation may have moved it
    h->flags = (old->flags & carried_flags) | (h->flags & flag_big) | flag_in_use | flag_always;
    h->node = node;
    h->tail = h->head + (old->tail - old->head);
    h->reserved[0] = old->reserved[0] + 1;  // the node's stamp goes on (never back to a value seen before)
    h->reserved[1] = old->reserved[1];
    if (copy) std::memcpy(h->data(), old->data() + old->head, std::min(old->capacity - old->head, h->capacity));
    if (node) move_buffer(node, h);
    retire(old);
    return h;
}

}  // namespace

buffer_header* grow_buffer(buffer_header* old, uint32_t new_capacity) {
    return replace_buffer(old, new_capacity, false);
}

buffer_header* expand_buffer(buffer_header* old, uint32_t new_capacity) {
    return replace_buffer(old, new_capacity, true);
}

buffer_header* expand_buffer_filled(buffer_header* old, uint32_t new_capacity, uint8_t byte) {
    uint32_t old_capacity = old->capacity;
    buffer_header* h = replace_buffer(old, new_capacity, true);
    if (h->capacity > old_capacity) fill(h->data() + old_capacity, h->data() + h->capacity, byte);
    return h;
}

buffer_header* ensure_tail_room(uint32_t node, uint32_t bytes) {
    buffer_header* h = buffer_of(node);
    if (static_cast<uint64_t>(h->tail) + bytes <= h->capacity) return h;
    // The used part moves to the data start, so the room it needs is counted
    // from the head.
    uint64_t want = std::max<uint64_t>({2ull * h->capacity, static_cast<uint64_t>(h->capacity) + bytes,
                                        16ull * h->unit(), static_cast<uint64_t>(h->used()) + bytes});
    if (want > max_capacity(h->unit())) {
        want = max_capacity(h->unit());
        if (static_cast<uint64_t>(h->used()) + bytes > want) no_memory();
    }
    return expand_buffer(h, static_cast<uint32_t>(want));
}

uint32_t copy_buffer(const buffer_header* old) {
    const uint32_t node_old = old->node;
    uint32_t node = new_series(old->capacity ? old->capacity / old->unit() : 0, old->unit(), 0);
    if (node_old) old = buffer_of(node_old);
    buffer_header* h = buffer_of(node);
    h->flags = (old->flags & carried_flags & ~(flag_owned | flag_library)) | (h->flags & flag_big) | flag_in_use | flag_always;
    uint32_t used = old->tail - old->head;
    std::memcpy(h->data(), old->data() + old->head, std::min(used, h->capacity));
    h->tail = h->head + used;
    return node;
}

void replace_node_buffer(uint32_t node, buffer_header* h) {
    buffer_header* old = buffer_of(node);
    h->node = node;
    move_buffer(node, h);
    retire(old);
}

void fill(char* start, char* end, uint8_t byte) {
    if (end > start) std::memset(start, byte, static_cast<size_t>(end - start));
}

// --- for the collector -------------------------------------------------------

void free_series_frame(series_frame* f) {
    if (f->prev) f->prev->next = f->next;
    else root.series_frames = f->next;
    if (f->next) f->next->prev = f->prev;
    else root.series_frames_tail = f->prev;
    if (root.series_frame_current == f) root.series_frame_current = root.series_frames_tail;
    root.total -= f->os_size;
    if (!platform::free_pages(f, f->os_size)) fire(error_category::internal, "wrong-mem");
}

void release_node_frame(uint32_t index) {
    node_frame& f = root.node_frames[index];
    if (f.vacated) return;
    // Only the pages wholly inside the frame: its first and last pages may
    // hold slots of the neighbouring frames.
    auto* base = reinterpret_cast<char*>(root.node_slots);
    size_t lo = static_cast<size_t>(index) * node_frame_bytes;
    size_t hi = lo + node_frame_bytes;
    size_t lo_page = round_page(lo);
    size_t hi_page = hi & ~(page_size - 1);
    if (hi_page > lo_page) platform::decommit_pages(base + lo_page, hi_page - lo_page);
    f.free = 0;
    f.used = 0;
    f.vacated = 1;
    root.total -= node_frame_bytes;
}

uint32_t series_frame_count() {
    uint32_t n = 0;
    for (series_frame* f = root.series_frames; f; f = f->next) ++n;
    return n;
}

uint32_t big_frame_count() {
    uint32_t n = 0;
    for (big_frame* b = root.big_frames; b; b = b->next) ++n;
    return n;
}

bool in_series_frame(const void* p) {
    auto* c = static_cast<const char*>(p);
    for (series_frame* f = root.series_frames; f; f = f->next)
        if (c >= f->start && c < f->end) return true;
    return false;
}

}  // namespace kel::memory
