// stack_scan: see stack_scan.h. The frame index (series frames' carved parts
// and big buffers, sorted by address) is rebuilt by every scan; the candidate
// list and the index are reused arrays on the runtime heap.
#include "kernel/stack_scan.h"

#include <pthread.h>

#include <algorithm>
#include <csetjmp>

#include "kernel/collector.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"

// Under the address sanitizer the frames hold redzones around their arrays:
// poisoned while the frame is live and never written by the program, they
// keep whatever an earlier, deeper call left there, so the scan skips them.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KEL_SKIP_REDZONES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define KEL_SKIP_REDZONES 1
#endif
#endif

#if defined(__has_include)
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define KEL_HAVE_VALGRIND 1
#endif
#endif

namespace kel::collector {
namespace {

using memory::buffer_header;

struct frame_range {
    uintptr_t lo, hi;    // a series frame's carved part, or a big buffer's range
    buffer_header* big;  // the big buffer, null for a series frame
};

detail::heap_list<frame_range> ranges;
detail::heap_list<uintptr_t> candidates;
scan_figures figures{};

// Bounds for the quick rejections, set by build_index.
uintptr_t ranges_lo = 0, ranges_span = 0;
uintptr_t arena_lo = 0, arena_span = 0;
uint32_t node_span = 0;

// Not inlined: the frame and buffer addresses it handles must stay below
// the scanned part of the stack, or they would pin the first and last
// buffer of every frame.
__attribute__((noinline)) void build_index() {
    using namespace memory;
    ranges.clear();
    for (series_frame* f = root.series_frames; f; f = f->next)
        if (f->free > f->start)
            ranges.push({reinterpret_cast<uintptr_t>(f->start), reinterpret_cast<uintptr_t>(f->free), nullptr});
    for (big_frame* b = root.big_frames; b; b = b->next) {
        buffer_header* h = b->buffer();
        auto lo = reinterpret_cast<uintptr_t>(h);
        ranges.push({lo, lo + buffer_overhead + h->capacity, h});
    }
    std::sort(ranges.begin(), ranges.end(), [](const frame_range& a, const frame_range& b) { return a.lo < b.lo; });
    ranges_lo = ranges_span = 0;
    if (ranges.count) {
        uintptr_t hi = 0;
        for (const frame_range& r : ranges) hi = std::max(hi, r.hi);
        ranges_lo = ranges.items[0].lo;
        ranges_span = hi - ranges_lo;
    }
    const uint64_t slots = static_cast<uint64_t>(root.node_frame_count) * nodes_per_frame;
    arena_lo = reinterpret_cast<uintptr_t>(root.node_slots);
    arena_span = slots * sizeof(uintptr_t);
    node_span = static_cast<uint32_t>(slots);
}

const frame_range* find_range(uintptr_t w) {
    size_t lo = 0, hi = ranges.count;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (ranges.items[mid].lo <= w) lo = mid + 1;
        else hi = mid;
    }
    if (lo == 0) return nullptr;
    const frame_range& r = ranges.items[lo - 1];
    return w < r.hi ? &r : nullptr;
}

inline void node_word(uint32_t v) {
    if (v - memory::node_base < node_span && memory::node_live_q(v)) {
        mark_block(v);
        figures.hits++;
    }
}

inline void look_at(uintptr_t w) {
    // The two address tests are independent: the node arena may lie between
    // two frames.
    const frame_range* r = w - ranges_lo < ranges_span ? find_range(w) : nullptr;
    if (r) {
        figures.hits++;
        if (!r->big) candidates.push(w);
        else if (r->big->flags & memory::flag_in_use) mark_buffer(r->big, true);
    } else if (w - arena_lo < arena_span) {
        node_word(memory::node_base + static_cast<uint32_t>((w - arena_lo) / sizeof(uintptr_t)));
    }
    node_word(static_cast<uint32_t>(w));
    node_word(static_cast<uint32_t>(static_cast<uint64_t>(w) >> 32));
}

// Reads the stack from this function's frame up to the thread's stack top.
// The spill areas of the caller lie above this frame, so they are read too.
__attribute__((noinline, no_sanitize("address"))) void scan_words(const void* spill_a, const void* spill_b) {
    asm volatile("" : : "r"(spill_a), "r"(spill_b) : "memory");
    auto low = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) & ~uintptr_t{7};
    auto high = reinterpret_cast<uintptr_t>(stack_top()) & ~uintptr_t{7};
    const volatile uintptr_t* p = reinterpret_cast<const volatile uintptr_t*>(low);
    const volatile uintptr_t* end = reinterpret_cast<const volatile uintptr_t*>(high);
    uintptr_t chunk[64];
    while (p < end) {
        size_t n = std::min<size_t>(64, static_cast<size_t>(end - p));
        for (size_t i = 0; i < n; ++i) chunk[i] = p[i];
#ifdef KEL_HAVE_VALGRIND
        VALGRIND_MAKE_MEM_DEFINED(chunk, n * sizeof(uintptr_t));
#endif
#ifdef KEL_SKIP_REDZONES
        for (size_t i = 0; i < n; ++i)
            if (__asan_address_is_poisoned(const_cast<const uintptr_t*>(p + i))) chunk[i] = 0;
#endif
        for (size_t i = 0; i < n; ++i) look_at(chunk[i]);
        figures.words += n;
        p += n;
    }
}

// Marks and pins the buffer of every gathered series-frame word: one walk
// over each frame that has hits, up to its last hit.
void resolve_candidates() {
    using namespace memory;
    if (!candidates.count) return;
    std::sort(candidates.begin(), candidates.end());
    const uintptr_t* c = candidates.items;
    size_t i = 0;
    const size_t n = candidates.count;
    for (series_frame* f = root.series_frames; f && i < n; f = f->next) {
        const auto start = reinterpret_cast<uintptr_t>(f->start);
        const auto free = reinterpret_cast<uintptr_t>(f->free);
        while (i < n && c[i] < start) ++i;
        uintptr_t p = start;
        while (i < n && c[i] < free) {
            auto* h = reinterpret_cast<buffer_header*>(p);
            const uintptr_t next = p + buffer_overhead + h->capacity;
            if (c[i] < next) {
                if (h->flags & flag_in_use) mark_buffer(h, true);
                while (i < n && c[i] < next) ++i;
            }
            p = next;
        }
    }
}

}  // namespace

char* stack_top() {
    auto* sp = static_cast<char*>(__builtin_frame_address(0));
    const runtime::runtime_record& r = runtime::record;
    if (r.stack_high && sp >= r.stack_low && sp < r.stack_high) return r.stack_high;
    thread_local char* low = nullptr;
    thread_local char* high = nullptr;
    if (high && sp >= low && sp < high) return high;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* address = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &address, &size) == 0) {
            low = static_cast<char*>(address);
            high = low + size;
        }
        pthread_attr_destroy(&attr);
    }
    if (high && sp >= low && sp < high) return high;
    // Nothing known: the start-up frame when it lies above, else nothing.
    return r.stack_start > sp ? r.stack_start : sp;
}

scan_figures last_scan() { return figures; }

void scan_machine_stack() {
    figures = {};
    build_index();
    candidates.clear();
    // Every callee-saved register onto this frame: the prologue saves them
    // all (unwind_init), setjmp copies them, and on x86-64 they are stored
    // once more by hand since setjmp mangles the frame pointer register.
    __builtin_unwind_init();
    jmp_buf registers;
    setjmp(registers);
    uintptr_t spilled[12] = {};
#if defined(__x86_64__)
    asm volatile(
        "movq %%rbx, 0(%0)\n\t"
        "movq %%rbp, 8(%0)\n\t"
        "movq %%r12, 16(%0)\n\t"
        "movq %%r13, 24(%0)\n\t"
        "movq %%r14, 32(%0)\n\t"
        "movq %%r15, 40(%0)\n\t"
        :
        : "r"(spilled)
        : "memory");
#elif defined(__aarch64__)
    asm volatile(
        "stp x19, x20, [%0]\n\t"
        "stp x21, x22, [%0, #16]\n\t"
        "stp x23, x24, [%0, #32]\n\t"
        "stp x25, x26, [%0, #48]\n\t"
        "stp x27, x28, [%0, #64]\n\t"
        "str x29, [%0, #80]\n\t"
        :
        : "r"(spilled)
        : "memory");
#endif
    scan_words(&registers, spilled);
    resolve_candidates();
}

}  // namespace kel::collector
