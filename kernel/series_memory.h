// series_memory: where every series buffer lives and how cells reach it.
//
// Nodes. A value never holds a buffer's address: it holds a 32-bit node id,
// 0x40000000 + a slot index into one node arena reserved once (1 GiB, or
// 256 MiB when that reservation fails) and committed frame by frame (10,000
// slots a frame). A taken slot holds its buffer header's address (16-aligned,
// so bit 0 is clear); a free slot holds (next free node id << 1) | 1, 0 ending
// the chain of its frame. Id 0 is "no node". Node ids never move.
//
// Buffers. A buffer is a 32-byte header (flags, node id, capacity in bytes, head
// and tail as byte offsets from the data start), its 16-aligned data, and a
// 16-byte trailer; the whole range from one header to the next belongs to that
// buffer. Buffers are carved by bump allocation from series frames (1 MB, then
// 2 MB each, kept in a list sorted by address); a buffer whose total size
// reaches the largest frame size gets a big frame of its own. Root buffers that
// must never move (argument stack, call marks, root block) come from the heap.
//
// Growth allocates a new buffer, points the node at it and retires the old
// one: a frame buffer is left for compaction (node 0, in-use bit off); a
// heap-backed or big-frame buffer is released at once. So a data pointer is
// never kept across a call that can grow the same series: re-read it from the
// node. The collector (kernel/collector.h) registers `collect_hook`, which is
// called before a big frame is taken and when no frame has room, and, while
// its stress check is on, `allocation_hook`, called by every allocation.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::memory {

// Buffer flag bits.
constexpr uint32_t unit_mask = 0x1Fu;

// The most data bytes one buffer holds: under 4 GiB, and never more units than
// a series index (int32) counts, so a 1-byte text stops below 2^31 units as a
// block stops at its cell limit.
constexpr uint32_t max_capacity(uint32_t unit) { return unit == 1 ? 0x7FFFFFF0u : 0xFFFFFF00u; }
constexpr uint32_t flag_owned = 0x20000u;         // an owner is told of changes
constexpr uint32_t flag_utf16_source = 0x40000u;  // a string loaded from UTF-16 text
constexpr uint32_t flag_complemented = 0x80000u;  // bitset complemented
constexpr uint32_t flag_heap = 0x100000u;         // buffer taken from the heap
constexpr uint32_t flag_library = 0x200000u;      // a block of the script library: evaluated as compiled code
constexpr uint32_t flag_big = 0x1000000u;         // buffer lives in a big frame of its own
constexpr uint32_t flag_table = 0x2000000u;       // a hash table's header: the collector marks its arrays with it
constexpr uint32_t flag_pinned = 0x4000000u;      // collector: must not move (set only during a collection)
constexpr uint32_t flag_mark = 0x8000000u;        // collector mark
constexpr uint32_t flag_head_middle = 0x10000000u;
constexpr uint32_t flag_always = 0x20000000u;
constexpr uint32_t flag_in_use = 0x80000000u;

struct buffer_header {
    uint32_t flags;
    uint32_t node;
    uint32_t capacity;  // bytes of data, a multiple of 16
    uint32_t head;      // byte offset of the first used byte from the data start
    uint32_t tail;      // byte offset past the last used byte
    // Spare words: [0] the modification stamp (bumped by every write to a
    // block's cells, see touch), [1] the evaluator's decode-table index (0:
    // none), [2] the parse engine's compiled-program slot + 1 (0: none; a
    // hint, checked against the stamp). Growth carries [0] and [1]; a copy
    // starts from 0.
    uint32_t reserved[3];

    char* data() { return reinterpret_cast<char*>(this) + 32; }
    const char* data() const { return reinterpret_cast<const char*>(this) + 32; }
    uint32_t unit() const { uint32_t u = flags & unit_mask; return u ? u : 1; }
    uint32_t shift() const { return static_cast<uint32_t>(__builtin_ctz(unit())); }
    uint32_t used() const { return tail - head; }
    uint32_t units() const { return (tail - head) >> shift(); }
    char* head_ptr() { return data() + head; }
    char* tail_ptr() { return data() + tail; }
};
static_assert(sizeof(buffer_header) == 32);

// The modification stamp: every write to the cells of a block (insert,
// remove, change, poke, clear, sort, a rebind of its words...) bumps it, so
// a cache built from the block (the evaluator's decode) knows it is stale.
// Writers call block::modified (datatypes/block.h), which lands here.
inline void touch(buffer_header* h) { ++h->reserved[0]; }
inline uint32_t stamp_of(const buffer_header* h) { return h->reserved[0]; }
inline uint32_t decode_index_of(const buffer_header* h) { return h->reserved[1]; }
inline void set_decode_index(buffer_header* h, uint32_t index) { h->reserved[1] = index; }
constexpr uint32_t header_size = 32;
constexpr uint32_t trailer_size = 16;
constexpr uint32_t buffer_overhead = header_size + trailer_size;

constexpr uint32_t node_base = 0x40000000u;
constexpr uint32_t nodes_per_frame = 10000;

struct node_frame {
    uint32_t first;      // node id of its first slot
    uint32_t count;      // slots: always nodes_per_frame
    uint32_t free;       // node id of the first free slot, 0 when full
    uint32_t used;
    uint32_t born;       // collector cycle when made
    uint32_t last_used;  // used at the end of the last collection
    uint32_t history;
    uint32_t vacated;
};

struct series_frame {
    series_frame* next;
    series_frame* prev;
    size_t os_size;  // bytes taken from the system
    char* free;      // first byte not carved yet
    char* end;       // past the data area
    char* start;     // data start
    uint64_t reserved[2];
};
static_assert(sizeof(series_frame) % 16 == 0);

struct big_frame {
    big_frame* next;
    size_t os_size;
    size_t size;  // bytes asked for the buffer (header, data and trailer)
    uint64_t reserved;
    buffer_header* buffer() { return reinterpret_cast<buffer_header*>(this + 1); }
};
static_assert(sizeof(big_frame) == 32);

struct memory_root {
    size_t total;  // bytes taken from the system by frames
    node_frame* node_frames;   // array of reserved / frame records
    uint32_t node_frame_count;  // frames made so far (committed)
    uint32_t node_frame_limit;  // frames the reservation can hold
    uint32_t node_frame_current;  // index of the current node frame
    series_frame* series_frames;  // sorted by ascending address
    series_frame* series_frame_current;
    series_frame* series_frames_tail;
    size_t frame_size;       // 1 MB
    size_t next_frame_size;  // data size of the next series frame
    size_t max_frame_size;   // 2 MB; also the big-buffer threshold
    big_frame* big_frames;
    big_frame* big_frames_tail;
    uintptr_t* node_slots;  // the node arena
    size_t node_arena_bytes;
    uint32_t collector_cycle;
    // The collection trigger: bytes carved (frames and big frames) since the
    // last collection, and how many may be carved before running out of room
    // collects again rather than taking a new frame. The collector sets the
    // budget from the heap it leaves live, so the cost of collecting stays in
    // proportion to the allocation it pays for.
    size_t allocated_since_collection;
    size_t collection_budget;
    // Bumped whenever a live node's buffer moves (grown into a new one,
    // remapped, replaced, compacted) or a node is freed: a pointer into a
    // buffer kept beside this count is good while the count is unchanged
    // (64 bits: it never comes back to a value a kept pointer saw).
    uint64_t moves;
};
extern memory_root root;
// The least budget: small heaps are not collected every few frames.
constexpr size_t min_collection_budget = size_t{8} << 20;

// Called when frames run out and before a big frame is taken, once the bytes
// carved since the last collection reach the budget; set by the collector.
// Null: nothing collects.
extern void (*collect_hook)();
// Called at the start of every buffer allocation; set by the collector only
// while its stress check is on. Null: nothing is called.
extern void (*allocation_hook)();

inline buffer_header* buffer_of(uint32_t node) {
    return reinterpret_cast<buffer_header*>(root.node_slots[node - node_base]);
}
inline void set_buffer(uint32_t node, buffer_header* h) {
    root.node_slots[node - node_base] = reinterpret_cast<uintptr_t>(h);
}
// set_buffer for a node that had a buffer already (see root.moves).
inline void move_buffer(uint32_t node, buffer_header* h) {
    set_buffer(node, h);
    ++root.moves;
}

inline uint32_t round16(uint32_t n) { return (n + 15u) & ~15u; }

// Start-up: the memory root and the node arena reservation (the "memory root"
// step), then the first node frame and the first series frame.
void init();
void init_frames();
bool initialised();

// Nodes.
uint32_t new_node_frame();  // returns its index
uint32_t take_node();
void free_node(uint32_t node);
// The frame record holding a node.
node_frame& frame_of(uint32_t node);
// A node id of a frame in use whose slot names a buffer (inline: the
// collector asks it for every word it meets).
inline bool node_live_q(uint32_t node) {
    if (node < node_base) return false;
    const uint32_t index = node - node_base;
    if (index / nodes_per_frame >= root.node_frame_count) return false;
    if (root.node_frames[index / nodes_per_frame].vacated) return false;
    const uintptr_t v = root.node_slots[index];
    return v != 0 && (v & 1u) == 0;
}

// Series frames.
series_frame* new_series_frame();
series_frame* find_frame_with_room(size_t bytes);
buffer_header* new_big_frame(size_t bytes);
// Releases a big frame; a node still naming its buffer is released with it.
void free_big_frame(buffer_header* h);

// Buffers: count units of `unit` bytes; head_offset is a byte offset of the
// first used byte from the data start, or -1 for the head in the middle.
buffer_header* allocate_buffer(uint32_t count, uint32_t unit, int32_t head_offset);
uint32_t new_series(uint32_t count, uint32_t unit, int32_t head_offset);
uint32_t new_heap_series(uint32_t count, uint32_t unit, int32_t head_offset);

uint32_t new_cells(uint32_t count);
uint32_t new_unset_cells(uint32_t count);
uint32_t new_bytes(uint32_t size);
uint32_t new_units(uint32_t count, uint32_t unit);
uint32_t new_filled_bytes(uint32_t size, uint8_t byte);

void set_series_flags(uint32_t node, uint32_t bits);

// Growth: a new buffer of `new_capacity` bytes (0: twice the old capacity, at
// least 16 units) takes the node; contents are not copied by grow_buffer,
// copied from the head by expand_buffer, and expand_buffer_filled also fills
// the new room past the old capacity with `byte`.
// Every growth refuses (internal no-memory) a capacity past max_capacity.
buffer_header* grow_buffer(buffer_header* old, uint32_t new_capacity);
buffer_header* expand_buffer(buffer_header* old, uint32_t new_capacity);
buffer_header* expand_buffer_filled(buffer_header* old, uint32_t new_capacity, uint8_t byte);
// Makes room for `bytes` more at the tail of the node's buffer: when they do
// not fit, the buffer is expanded to max(2 x capacity, capacity + bytes,
// 16 units). Returns the (possibly new) header.
buffer_header* ensure_tail_room(uint32_t node, uint32_t bytes);
// A new node holding a copy of the buffer (used part from the head).
uint32_t copy_buffer(const buffer_header* old);
// Points the node at a new buffer `h` (made by allocate_buffer) and retires
// the old one; for changes of unit size (a string widened).
void replace_node_buffer(uint32_t node, buffer_header* h);
// The flags a new buffer takes from the one it copies or replaces: type bits
// (unit, owner, bitset and text flags) but not the collector's mark, the
// heap, big-frame or head-in-the-middle placement bits, nor in-use. A copy
// (keep_owner false) belongs to nobody and is not library code.
constexpr uint32_t carried_flags = ~(flag_mark | flag_pinned | flag_heap | flag_head_middle | flag_big | flag_in_use);
inline void take_flags(buffer_header* dst, const buffer_header* src, bool keep_owner) {
    uint32_t f = src->flags & carried_flags;
    if (!keep_owner) f &= ~(flag_owned | flag_library);
    dst->flags = f | (dst->flags & flag_big) | flag_in_use | flag_always;
    if (keep_owner) {  // the same node's new buffer: its stamp goes on, its decode stays indexed
        dst->reserved[0] = src->reserved[0] + 1;
        dst->reserved[1] = src->reserved[1];
    }
}

void fill(char* start, char* end, uint8_t byte);

// --- for the collector -------------------------------------------------------
// Unlinks an empty series frame and gives its pages back.
void free_series_frame(series_frame* f);
// Gives back the pages of an empty node frame; the frame is marked released
// (vacated) and its slots are neither read nor handed out until
// new_node_frame takes its index again.
void release_node_frame(uint32_t index);
inline bool node_frame_released(uint32_t index) { return root.node_frames[index].vacated != 0; }

// Counts for tests and statistics.
uint32_t series_frame_count();
uint32_t big_frame_count();
bool in_series_frame(const void* p);

}  // namespace kel::memory
