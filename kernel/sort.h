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
// While `merge` runs the callback, some records may exist only in its work
// buffer (heap memory the collector does not see): a caller whose records
// refer to collectable memory keeps their targets alive by other means.
#pragma once
#include <cstddef>
#include <cstdint>

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
void swap_records(void* x, void* y, size_t s);

// The end of the run that starts at `start` (the array ends at `end`): a
// non-descending run, or a strictly descending one, which is reversed in place
// so that it too is non-descending.
char* natural_run(char* start, char* end, size_t s, uintptr_t p1, uintptr_t p2, compare_fn compare);

// Merges the sorted runs [left, mid) and [mid, end) stably, through `work`,
// which holds at least the shorter run.
void merge_runs(char* left, char* mid, char* end, char* work, size_t s, uintptr_t p1, uintptr_t p2,
                compare_fn compare);

}  // namespace kel::sort
