// sort: see sort.h. The algorithms are the templates in the header; this
// file builds the callback form from them.
#include "kernel/sort.h"

namespace kel::sort {

namespace {

// The callback with the caller's two words bound in.
struct callback_order {
    uintptr_t p1, p2;
    compare_fn compare;
    int32_t operator()(const void* x, const void* y) const { return compare(x, y, p1, p2); }
};

}  // namespace

char* natural_run(char* start, char* end, size_t s, uintptr_t p1, uintptr_t p2, compare_fn compare) {
    return natural_run_of(start, end, s, callback_order{p1, p2, compare});
}

void merge_runs(char* left, char* mid, char* end, char* work, size_t s, uintptr_t p1, uintptr_t p2,
                compare_fn compare) {
    merge_runs_of(left, mid, end, work, s, callback_order{p1, p2, compare});
}

void quick(void* base, size_t n, size_t s, uintptr_t p1, uintptr_t p2, compare_fn compare) {
    quick_of(base, n, s, callback_order{p1, p2, compare});
}

merge_result merge(void* base, size_t n, size_t s, uintptr_t p1, uintptr_t p2, compare_fn compare) {
    return merge_of(base, n, s, callback_order{p1, p2, compare});
}

}  // namespace kel::sort
