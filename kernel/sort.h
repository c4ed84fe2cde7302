// sort: in-place sorting of an array of fixed-size records through a compare
// callback, for the `sort` actions of blocks and strings (the action decides
// the record size and count and supplies the callback; this module never
// looks inside a record).
//
//  - quick: unstable, adaptive. It finds a sorted (or reversed) prefix and
//    grows it from in-order stretches when the data looks mostly sorted, then
//    runs a sample sort that uses the sorted records as its pivot sample.
//    Needs no heap.
//  - merge: stable natural merge sort with the powers merge policy; one work
//    buffer of n / 2 records from the heap for the duration of the sort.
//
// Invariants: records move only by whole-record swaps or copies, and the
// array is a permutation of its records whenever the callback runs. So a
// callback that throws (a Kel error or throw from a user compare function)
// leaves every record present exactly once, and the merge work buffer is
// released on the way out. Nothing is allocated per comparison.
//
// Both sorts are templates over the order (any callable answering
// order(x, y) like the callback, the caller's words bound in), so a caller
// whose records are plain values can have its comparison inlined while the
// moves, and so the outcome for equal records, stay exactly those of the
// callback form, which is built from the same templates.
//
// While `merge` runs the callback, some records may exist only in its work
// buffer (heap memory the collector does not see): a caller whose records
// refer to collectable memory keeps their targets alive by other means.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kernel/heap.h"

namespace kel::sort {

// Above 0 when x sorts after y, 0 when equal, below 0 when x sorts before y.
// p1 and p2 are the caller's two words, passed through unchanged.
using compare_fn = int32_t (*)(const void* x, const void* y, uintptr_t p1, uintptr_t p2);

enum class [[nodiscard]] merge_result {
    done,
    too_long,  // the work buffer (n / 2 records) would not fit 32 bits: script/too-long
};

// Sorts n records of s bytes at base, not stable.
void quick(void* base, size_t n, size_t s, uintptr_t p1, uintptr_t p2, compare_fn compare);

// Sorts n records of s bytes at base, stable: equal records keep their order.
// The work buffer comes from the heap, whose exhaustion is fatal.
merge_result merge(void* base, size_t n, size_t s, uintptr_t p1, uintptr_t p2, compare_fn compare);

// Swaps the s-byte records at x and y (x == y is allowed).
inline void swap_records(void* x, void* y, size_t s) {
    auto* a = static_cast<unsigned char*>(x);
    auto* b = static_cast<unsigned char*>(y);
    for (; s >= 8; s -= 8, a += 8, b += 8) {
        uint64_t t, u;
        std::memcpy(&t, a, 8);
        std::memcpy(&u, b, 8);
        std::memcpy(a, &u, 8);
        std::memcpy(b, &t, 8);
    }
    if (s >= 4) {
        uint32_t t, u;
        std::memcpy(&t, a, 4);
        std::memcpy(&u, b, 4);
        std::memcpy(a, &u, 4);
        std::memcpy(b, &t, 4);
        s -= 4, a += 4, b += 4;
    }
    for (; s > 0; --s, ++a, ++b) std::swap(*a, *b);
}

// The end of the run that starts at `start` (the array ends at `end`): a
// non-descending run, or a strictly descending one, which is reversed in place
// so that it too is non-descending.
char* natural_run(char* start, char* end, size_t s, uintptr_t p1, uintptr_t p2, compare_fn compare);

// Merges the sorted runs [left, mid) and [mid, end) stably, through `work`,
// which holds at least the shorter run.
void merge_runs(char* left, char* mid, char* end, char* work, size_t s, uintptr_t p1, uintptr_t p2,
                compare_fn compare);

// --- the templates --------------------------------------------------------------

template <class Order>
char* natural_run_of(char* start, char* end, size_t s, const Order& compare);

namespace detail {

// The callback's answer reduced to -1, 0 or 1 (so that multiplying it by a
// direction cannot overflow).
inline int sign_of(int32_t c) { return (c > 0) - (c < 0); }

// An order may fix the record size at compile time (a static
// `record_size`); 0 when it comes with each call.
template <class Order>
constexpr size_t fixed_size() {
    if constexpr (requires { Order::record_size; }) return Order::record_size;
    else return 0;
}

// A view of n records by index.
template <class Order>
struct records {
    char* base;
    size_t s;
    Order compare;

    static constexpr size_t fixed = fixed_size<Order>();
    size_t size() const { return fixed ? fixed : s; }
    char* at(ptrdiff_t i) const { return base + static_cast<size_t>(i) * size(); }
    int order(ptrdiff_t i, ptrdiff_t j) const { return sign_of(compare(at(i), at(j))); }
    void swap(ptrdiff_t i, ptrdiff_t j) const { swap_records(at(i), at(j), size()); }
    records from(ptrdiff_t i) const { return {at(i), s, compare}; }

    // Reverses [lo, hi).
    void reverse(ptrdiff_t lo, ptrdiff_t hi) const {
        for (--hi; lo < hi; ++lo, --hi) swap(lo, hi);
    }
    // Moves the block [from, from + count) to [to, to + count), keeping its
    // order; the records it displaces take the places it leaves. Walking from
    // the leading edge means no record of the block is displaced before it
    // has moved, however the two ranges overlap.
    void move_block(ptrdiff_t from, ptrdiff_t to, ptrdiff_t count) const {
        if (to < from)
            for (ptrdiff_t t = 0; t < count; ++t) swap(to + t, from + t);
        else if (to > from)
            for (ptrdiff_t t = count - 1; t >= 0; --t) swap(to + t, from + t);
    }
    // Insertion sort of [0, n) by swaps.
    void insertion(ptrdiff_t n) const {
        for (ptrdiff_t k = 1; k < n; ++k)
            for (ptrdiff_t j = k; j > 0 && order(j - 1, j) > 0; --j) swap(j - 1, j);
    }
};

// ---- quick sort ------------------------------------------------------------

constexpr ptrdiff_t insertion_below = 8;
constexpr ptrdiff_t small_range = 512;      // below it, no sample: median of three over all
constexpr ptrdiff_t first_sample = 63;      // the first sample taken from a large range
constexpr ptrdiff_t sample_growth = 16;     // a sample of h gives a range of 16h - 1
constexpr ptrdiff_t sample_share = 256;     // a sample above n / 256 partitions the whole range
constexpr ptrdiff_t estimate_stride = 97;   // pairs sampled to tell mostly sorted data
constexpr ptrdiff_t estimate_share = 512;
constexpr ptrdiff_t probe_step = 10;        // distance between probes for in-order stretches
constexpr ptrdiff_t shortest_stretch = 4;

// Sample sort of [0, n). `hint`: |hint| records already sorted, at the start
// (hint > 0) or at the end (hint < 0); |hint| <= 2 counts as no sample.
template <class Order>
void sample_sort(const records<Order>& r, ptrdiff_t n, ptrdiff_t hint) {
    for (;;) {
        if (n < insertion_below) {
            r.insertion(n);
            return;
        }
        ptrdiff_t h = hint < 0 ? -hint : hint;
        ptrdiff_t l;  // the range partitioned now: [0, l)
        ptrdiff_t m;  // the pivot's index; [0, m) is the lower half of the sample
        ptrdiff_t u;  // [l - u, l) is the upper half of the sample
        if (h <= 2) {
            l = n < small_range ? n : first_sample;
            // Median of three, left at 1, with its two companions at 0 and
            // l - 1 already on their sides: a sample of three.
            r.swap(1, l / 2);
            if (r.order(0, 1) > 0) r.swap(0, 1);
            if (r.order(1, l - 1) > 0) {
                r.swap(1, l - 1);
                if (r.order(0, 1) > 0) r.swap(0, 1);
            }
            m = 1;
            u = 1;
        } else {
            l = h > n / sample_share ? n : sample_growth * h - 1;
            m = (h - 1) / 2;
            u = h / 2;
            if (hint < 0) {
                // Bring the sample to the front: all of it when the range
                // will be gathered, else only its lower half and the pivot.
                r.move_block(n - h, 0, l < n ? h : m + 1);
            }
            if (l < n) {
                // Gather the rest of the new range from all over the range.
                const ptrdiff_t stride = n / l;
                for (ptrdiff_t j = h; j < l; ++j) r.swap(j, j * stride);
            }
            if (!(hint < 0 && l == n)) r.move_block(m + 1, l - u, u);
        }

        // Three-way partition of [m + 1, l - u) around the pivot at m:
        // [m + 1, e) equal, [e, i) below, [i, j] not yet seen, (j, l - u) above.
        ptrdiff_t e = m + 1, i = m + 1, j = l - u - 1;
        for (;;) {
            while (i <= j) {
                int c = r.order(i, m);
                if (c > 0) break;
                if (c == 0) r.swap(i, e++);
                ++i;
            }
            int cj = 1;
            while (i < j) {
                cj = r.order(j, m);
                if (cj <= 0) break;
                --j;
            }
            if (i >= j) break;
            r.swap(i, j);
            if (cj == 0) r.swap(i, e++);
            ++i;
            --j;
        }
        // Swap the pivot and its equals, as one block, past the lower records;
        // the shorter of the two blocks decides the swaps.
        const ptrdiff_t below = i - e;
        const ptrdiff_t k = std::min(e - m, below);
        for (ptrdiff_t t = 0; t < k; ++t) r.swap(m + t, i - k + t);

        const ptrdiff_t lower = m + below;  // [0, lower): the lower sample half first
        const ptrdiff_t upper = l - i;      // [i, l): the upper sample half last
        if (upper > u) sample_sort(r.from(i), upper, -u);
        if (l < n) {
            // [0, l) becomes the sorted sample for the whole range.
            if (lower > m) sample_sort(r, lower, m);
            hint = l;
            continue;
        }
        if (lower <= m) return;
        n = lower;
        hint = m;
    }
}

// ---- merge sort ------------------------------------------------------------

constexpr size_t min_run = 24;

// The end of the run at `start`, extended by insertion to min_run records
// (or the end of the array).
template <class Order>
char* extended_run(char* start, char* end, size_t s, const Order& compare) {
    char* run_end = natural_run_of(start, end, s, compare);
    const size_t left = static_cast<size_t>(end - start) / s;
    char* want = left > min_run ? start + min_run * s : end;
    for (; run_end < want; run_end += s)
        for (char* q = run_end; q > start && compare(q - s, q) > 0; q -= s) swap_records(q - s, q, s);
    return run_end;
}

// The power of the boundary between run A = [a, b) and run B = [b, c) in an
// array of n records: the first binary digit in which the two runs' midpoints,
// as fractions of n, differ.
inline unsigned boundary_power(uint64_t a, uint64_t b, uint64_t c, uint64_t n) {
    uint64_t m1 = a + b, m2 = b + c;  // twice the midpoints
    unsigned p = 0;
    while ((m1 < n) == (m2 < n)) {
        ++p;
        if (m1 >= n) {
            m1 -= n;
            m2 -= n;
        }
        m1 *= 2;
        m2 *= 2;
    }
    return p + 1;
}

// The records of the copied run that are not merged yet, and the gap in the
// array that holds their place. Written back when the merge finishes and
// just the same when the callback throws.
struct unmerged_copy {
    char* gap;
    const char* from;
    size_t bytes;
    ~unmerged_copy() {
        if (bytes) std::memcpy(gap, from, bytes);
    }
};

struct work_buffer {
    void* p;
    ~work_buffer() { heap::free(p); }
};

}  // namespace detail


template <class Order>
char* natural_run_of(char* start, char* end, size_t s, const Order& compare) {
    if (static_cast<size_t>(end - start) < 2 * s) return end;
    char* r = start + s;
    if (compare(start, r) <= 0) {
        while (r + s < end && compare(r, r + s) <= 0) r += s;
        return r + s;
    }
    // Strictly descending: equal neighbours never join, so reversing the run
    // keeps equal records in their order.
    while (r + s < end && compare(r, r + s) > 0) r += s;
    for (char *lo = start, *hi = r; lo < hi; lo += s, hi -= s) swap_records(lo, hi, s);
    return r + s;
}

template <class Order>
void merge_runs_of(char* left, char* mid, char* end, char* work, size_t s, const Order& compare) {
    const size_t x_bytes = static_cast<size_t>(mid - left);
    const size_t y_bytes = static_cast<size_t>(end - mid);
    if (x_bytes == 0 || y_bytes == 0) return;
    if (y_bytes < x_bytes) {
        // The right run goes to the work buffer; merge from the back. The
        // left run's unmerged records are [left, gap), the copy's belong
        // at [gap, gap + bytes), and everything after is merged.
        std::memcpy(work, mid, y_bytes);
        detail::unmerged_copy rest{mid, work, y_bytes};
        while (rest.bytes > 0 && rest.gap > left) {
            char* x = rest.gap - s;
            const char* y = work + rest.bytes - s;
            char* dest = rest.gap + rest.bytes - s;
            if (compare(x, y) > 0) {
                std::memcpy(dest, x, s);
                rest.gap = x;
            } else {
                std::memcpy(dest, y, s);
                rest.bytes -= s;
            }
        }
        return;
    }
    // The left run goes to the work buffer; merge from the front. Merged
    // records are [left, gap), the copy's belong at [gap, gap + bytes), and
    // the right run's unmerged records follow.
    std::memcpy(work, left, x_bytes);
    detail::unmerged_copy rest{left, work, x_bytes};
    char* y = mid;
    while (rest.bytes > 0 && y < end) {
        if (compare(rest.from, y) > 0) {
            std::memcpy(rest.gap, y, s);
            y += s;
        } else {
            std::memcpy(rest.gap, rest.from, s);
            rest.from += s;
            rest.bytes -= s;
        }
        rest.gap += s;
    }
}

template <class Order>
void quick_of(void* base, size_t n, size_t s, const Order& compare) {
    if (n < 2 || s == 0) return;
    const detail::records<Order> r{static_cast<char*>(base), s, compare};
    const auto count = static_cast<ptrdiff_t>(n);

    // The presorted prefix [0, k): its first unequal pair fixes the
    // direction d (1 ascending, -1 descending).
    int d = 0;
    ptrdiff_t k = 1;
    for (; k < count; ++k) {
        int c = r.order(k - 1, k);
        if (d == 0)
            d = -c;
        else if (c * d > 0)
            break;
    }
    if (k == count) {
        if (d < 0) r.reverse(0, count);
        return;
    }

    // Does the rest look sorted too? Sample every 97th pair.
    ptrdiff_t estimate = k * d;
    for (ptrdiff_t j = k; j + 1 < count; j += detail::estimate_stride) estimate -= r.order(j, j + 1);

    ptrdiff_t prefix = k;
    if ((estimate < 0 ? -estimate : estimate) > count / detail::estimate_share) {
        // Mostly sorted: grow the prefix from in-order stretches further on.
        if (d * estimate < 0) {
            prefix = 0;
            d = -d;
        }
        if (prefix == 1) prefix = 0;
        ptrdiff_t probe = prefix > 0 ? prefix - 1 : 0;
        for (;;) {
            const ptrdiff_t start = probe + detail::probe_step;
            if (start >= count) break;
            // The in-order stretch [lo, probe) around the pair (start - 1, start).
            probe = start;
            while (probe < count && r.order(probe - 1, probe) * d <= 0) ++probe;
            ptrdiff_t lo = start;
            if (probe > start) {
                lo = start - 1;
                while (lo > prefix && r.order(lo - 1, lo) * d <= 0) --lo;
            }
            const ptrdiff_t length = probe - lo;
            if (length < detail::shortest_stretch) continue;
            ptrdiff_t insert_at = prefix;
            if (prefix > 0) {
                // Trade the prefix's last i records for the stretch's first i
                // until the join is in order; give up at the limit.
                const ptrdiff_t limit = std::min(length / 2, (prefix - 1) / 4);
                ptrdiff_t i = 0;
                while (i < limit && r.order(prefix - 1 - i, lo + i) * d > 0) ++i;
                if (i == limit) continue;
                insert_at = prefix - i;
                lo += i;
            }
            r.move_block(lo, insert_at, probe - lo);
            prefix = insert_at + (probe - lo);
        }
    }
    if (d < 0) r.reverse(0, prefix);
    if (prefix < count) detail::sample_sort(r, count, prefix);
}

template <class Order>
merge_result merge_of(void* base, size_t n, size_t s, const Order& compare) {
    if (n < 2 || s == 0) return merge_result::done;
    size_t work_bytes;
    if (__builtin_mul_overflow(n / 2, s, &work_bytes) || work_bytes > UINT32_MAX) return merge_result::too_long;
    detail::work_buffer work{heap::allocate(work_bytes)};
    auto* const a = static_cast<char*>(base);
    char* const end = a + n * s;
    auto index = [&](const char* p) { return static_cast<uint64_t>(p - a) / s; };

    // Pending runs, each with the power of the boundary after it; powers
    // rise strictly from bottom to top, so 64 + 1 entries always suffice.
    struct pending {
        char* start;
        unsigned power;
    } stack[66];
    int top = 0;

    char* a_start = a;
    char* a_end = detail::extended_run(a, end, s, compare);
    while (a_end < end) {
        char* b_end = detail::extended_run(a_end, end, s, compare);
        const unsigned p = detail::boundary_power(index(a_start), index(a_end), index(b_end), n);
        while (top > 0 && stack[top - 1].power > p) {
            --top;
            merge_runs_of(stack[top].start, a_start, a_end, static_cast<char*>(work.p), s, compare);
            a_start = stack[top].start;
        }
        stack[top++] = {a_start, p};
        a_start = a_end;
        a_end = b_end;
    }
    while (top > 0) {
        --top;
        merge_runs_of(stack[top].start, a_start, a_end, static_cast<char*>(work.p), s, compare);
        a_start = stack[top].start;
    }
    return merge_result::done;
}

}  // namespace kel::sort
