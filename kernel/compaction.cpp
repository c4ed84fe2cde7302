// compaction: see compaction.h. One pass per series frame with two cursors:
// `p` walks the buffers as they were, `dest` is where the next sliding buffer
// goes. Between `dest` and `p` lie only whole buffers that left (dead, moved
// to another frame), so a gap is 0 or at least one buffer's overhead, which
// is what a filler needs.
#include "kernel/compaction.h"

#include <cstdio>
#include <cstring>

#include "kernel/collector.h"
#include "kernel/fatal.h"
#include "kernel/series_memory.h"

namespace kel::collector {
namespace {

using namespace memory;

// A frame with less free room than this is not filled from the next frame
// (and the allocator passes it over).
constexpr size_t useful_room = 52428;
// How far ahead of the walk a frame's lines are fetched.
constexpr size_t prefetch_distance = 4096;

// Coalesces consecutive moves with the same displacement into one memmove.
struct mover {
    char* src = nullptr;
    char* dst = nullptr;
    size_t length = 0;
    void add(char* s, char* d, size_t n) {
        if (length && s == src + length && d == dst + length) {
            length += n;
            return;
        }
        flush();
        src = s;
        dst = d;
        length = n;
    }
    void flush() {
        if (length && src != dst) std::memmove(dst, src, length);
        length = 0;
    }
};

void release_node_of(const buffer_header* h) {
    if (!(h->flags & flag_in_use) || !h->node) return;
    if (node_live_q(h->node) && buffer_of(h->node) == h) free_node(h->node);
}

// Turns [from, to) into one buffer that is not in use.
void make_filler(char* from, char* to, bool stress) {
    const size_t gap = static_cast<size_t>(to - from);
    if (gap < buffer_overhead) fatal::report_error(fatal::assertion_failed, from);  // gaps are whole buffers
    auto* h = reinterpret_cast<buffer_header*>(from);
    h->flags = flag_always | 1u;
    h->node = 0;
    h->capacity = static_cast<uint32_t>(gap - buffer_overhead);
    h->head = h->tail = 0;
    h->reserved[0] = h->reserved[1] = h->reserved[2] = 0;
    if (stress) std::memset(h->data(), vacated_byte, gap - header_size);
}

size_t room_of(const series_frame* f) { return static_cast<size_t>(f->end - f->free); }

}  // namespace

void compact_series_frames(bool stress) {
    mover mv;
    series_frame* prev = nullptr;  // the last frame kept, already compacted
    bool kept_empty = false;       // an emptied frame has been kept already
    for (series_frame* f = root.series_frames; f;) {
        series_frame* const next = f->next;
        char* const limit = f->free;
        char* dest = f->start;
        char* spill = limit;  // stress: buffers that cannot slide go past the used part
        for (char* p = f->start; p < limit;) {
            // Each step's address is read from the header before it, so the
            // walk waits on every cache miss unless the lines ahead are
            // already on their way (small buffers are one line each).
            __builtin_prefetch(p + prefetch_distance, 1);
            auto* h = reinterpret_cast<buffer_header*>(p);
            const size_t size = static_cast<size_t>(h->capacity) + buffer_overhead;
            char* const q = p + size;
            const uint32_t flags = h->flags;
            if (!(flags & flag_mark)) {
                release_node_of(h);
                p = q;
                continue;
            }
            if (flags & flag_pinned) {
                mv.flush();
                if (dest < p) make_filler(dest, p, stress);
                h->flags = flags & ~(flag_mark | flag_pinned);
                dest = p = q;
                continue;
            }
            h->flags = flags & ~flag_mark;
            char* to = nullptr;
            const size_t prev_room = prev ? room_of(prev) : 0;
            if (prev && size <= prev_room && (prev_room > useful_room || (stress && dest == p))) {
                to = prev->free;
                prev->free += size;
            } else if (dest < p) {
                to = dest;
                dest += size;
            } else if (stress && size <= static_cast<size_t>(f->end - spill)) {
                to = spill;
                spill += size;
            } else {
                dest = q;  // stays
            }
            if (to) {
                const uint32_t node = h->node;
                if (node && node_live_q(node) && buffer_of(node) == h)
                    move_buffer(node, reinterpret_cast<buffer_header*>(to));
                mv.add(p, to, size);
            }
            p = q;
        }
        mv.flush();
        char* new_free = dest;
        if (spill > limit) {
            if (dest < limit) make_filler(dest, limit, stress);
            new_free = spill;
        }
        if (stress && new_free < limit) std::memset(new_free, vacated_byte, static_cast<size_t>(limit - new_free));
        f->free = new_free;
        // One emptied frame stays mapped: a program that allocates steadily
        // would otherwise give a frame back at every collection and fault a
        // fresh one in right after.
        if (new_free == f->start && next && kept_empty) {
            free_series_frame(f);
        } else {
            if (new_free == f->start) kept_empty = true;
            prev = f;
        }
        f = next;
    }
    // The allocator starts from the lowest frame that still has useful room.
    series_frame* current = root.series_frames_tail;
    for (series_frame* f = root.series_frames; f; f = f->next)
        if (room_of(f) >= useful_room) {
            current = f;
            break;
        }
    root.series_frame_current = current;
}

void sweep_big_frames() {
    for (big_frame* b = root.big_frames; b;) {
        big_frame* const next = b->next;
        buffer_header* h = b->buffer();
        if (h->flags & flag_mark) h->flags &= ~(flag_mark | flag_pinned);
        else free_big_frame(h);  // releases its node too
        b = next;
    }
}

void sweep_node_frames() {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < root.node_frame_count; ++i) kept += root.node_frames[i].vacated ? 0 : 1;
    for (uint32_t i = 0; i < root.node_frame_count; ++i) {
        node_frame& f = root.node_frames[i];
        if (f.vacated) continue;
        if (f.used == 0 && kept > 1) {
            release_node_frame(i);
            --kept;
            continue;
        }
        f.history = (f.history << 1) | (f.last_used == f.used ? 1u : 0u);
        f.last_used = f.used;
    }
    uint32_t current = root.node_frame_count;
    for (uint32_t i = 0; i < root.node_frame_count; ++i) {
        const node_frame& f = root.node_frames[i];
        if (f.vacated) continue;
        if (current == root.node_frame_count) current = i;
        if (f.free) {
            current = i;
            break;
        }
    }
    if (current < root.node_frame_count) root.node_frame_current = current;
}

// --- the heap verifier ---------------------------------------------------------------

namespace {

bool verify_fatal = true;
bool verify_ok = true;

bool fault(const char* what, const void* at, uint64_t value) {
    if (verify_ok) std::fprintf(stderr, "*** heap verifier: %s at %p (%llx)\n", what, at,
                                static_cast<unsigned long long>(value));
    verify_ok = false;
    if (verify_fatal) fatal::report_error(fatal::assertion_failed, at);
    return false;
}

// Where a live node's buffer may lie.
bool placed_q(const buffer_header* h) {
    const auto* c = reinterpret_cast<const char*>(h);
    for (series_frame* f = root.series_frames; f; f = f->next)
        if (c >= f->start && c < f->free) return true;
    for (big_frame* b = root.big_frames; b; b = b->next)
        if (b->buffer() == h) return true;
    return (h->flags & flag_heap) != 0;
}

void verify_frames() {
    for (series_frame* f = root.series_frames; f; f = f->next) {
        if (f->next && !(f < f->next)) fault("series frames out of order", f, 0);
        if (f->start > f->free || f->free > f->end) fault("frame free pointer out of range", f, 0);
        char* p = f->start;
        while (p < f->free) {
            auto* h = reinterpret_cast<buffer_header*>(p);
            if (reinterpret_cast<uintptr_t>(p) & 15u) fault("misaligned buffer", p, 0);
            if (!(h->flags & flag_always)) fault("buffer header without its constant bit", p, h->flags);
            if (h->capacity & 15u) fault("capacity not a multiple of 16", p, h->capacity);
            const size_t size = static_cast<size_t>(h->capacity) + buffer_overhead;
            if (size > static_cast<size_t>(f->free - p)) {
                fault("buffer runs past the frame's free pointer", p, h->capacity);
                return;
            }
            if (h->flags & (flag_mark | flag_pinned)) fault("mark or pin left on a frame buffer", p, h->flags);
            if (h->flags & flag_in_use) {
                if (h->head > h->tail || h->tail > h->capacity) fault("head or tail out of range", p, h->tail);
                if (h->node && (!node_live_q(h->node) || buffer_of(h->node) != h))
                    fault("buffer's node does not name it", p, h->node);
            }
            p += size;
        }
        if (p != f->free) fault("buffers do not tile the frame", f, 0);
    }
    for (big_frame* b = root.big_frames; b; b = b->next) {
        buffer_header* h = b->buffer();
        if (h->flags & (flag_mark | flag_pinned)) fault("mark or pin left on a big buffer", h, h->flags);
        if (h->node && (!node_live_q(h->node) || buffer_of(h->node) != h))
            fault("big buffer's node does not name it", h, h->node);
    }
}

// Node frames: slot states agree with the counts and free chains, and every
// buffer names its node back.
void verify_nodes() {
    for (uint32_t i = 0; i < root.node_frame_count; ++i) {
        const node_frame& f = root.node_frames[i];
        if (f.vacated) continue;
        const uintptr_t* slots = root.node_slots + static_cast<size_t>(i) * nodes_per_frame;
        uint32_t taken = 0;
        for (uint32_t k = 0; k < nodes_per_frame; ++k) {
            const uintptr_t v = slots[k];
            if (v & 1u) continue;
            ++taken;
            if (!v) continue;  // taken, no buffer yet
            const uint32_t node = f.first + k;
            auto* h = reinterpret_cast<buffer_header*>(v);
            if (!placed_q(h)) {
                fault("node names a buffer outside every frame", h, node);
                continue;
            }
            if (h->node != node) fault("buffer does not name its node", h, node);
            if (!(h->flags & flag_in_use)) fault("node names a buffer not in use", h, node);
        }
        if (taken != f.used) fault("node frame's used count is wrong", &f, taken);
        uint32_t chain = 0;
        for (uint32_t n = f.free; n; ++chain) {
            if (n < f.first || n >= f.first + nodes_per_frame || chain > nodes_per_frame) {
                fault("free node chain leaves its frame", &f, n);
                break;
            }
            const uintptr_t v = root.node_slots[n - node_base];
            if (!(v & 1u)) {
                fault("free chain runs through a taken node", &f, n);
                break;
            }
            n = static_cast<uint32_t>(v >> 1);
        }
        if (chain != nodes_per_frame - f.used) fault("free node chain has the wrong length", &f, chain);
    }
}

// The cells of every buffer the last collection traced, through the markers
// in checking mode.
void verify_cells() {
    size_t n = 0;
    const uint32_t* nodes = detail::traced_nodes(&n);
    detail::verifying = true;
    for (size_t i = 0; i < n; ++i) {
        if (!node_live_q(nodes[i])) continue;
        buffer_header* h = buffer_of(nodes[i]);
        if ((h->flags & unit_mask) != 16) continue;
        const uint32_t tail = h->tail <= h->capacity ? h->tail : h->capacity;
        auto* first = reinterpret_cast<const kel_value*>(h->data() + h->head);
        auto* end = reinterpret_cast<const kel_value*>(h->data() + (tail & ~15u));
        if (first < end) mark_cells(first, end);
    }
    detail::verifying = false;
}

}  // namespace

namespace detail {
void report_dangling(uint32_t node) {
    const uint64_t limit = node_base + static_cast<uint64_t>(root.node_frame_limit) * nodes_per_frame;
    if (node >= node_base && node < limit && !node_live_q(node)) fault("cell refers to a released node", nullptr, node);
}
}  // namespace detail

bool verify_heap(bool fatal) {
    verify_fatal = fatal;
    verify_ok = true;
    if (!initialised() || !root.series_frames) return true;
    verify_frames();
    verify_nodes();
    verify_cells();
    return verify_ok;
}

}  // namespace kel::collector
