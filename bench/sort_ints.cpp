// Sorting 1,000,000 random int32 records with both sorts through a compare
// callback. Run beside bench/sort_ints.py (Python's sorted on the same count
// of ints). Prints the best of five runs of each sort in milliseconds.
//   build/bench_sort_ints [count]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kernel/sort.h"

namespace {

int32_t compare_ints(const void* x, const void* y, uintptr_t, uintptr_t) {
    int32_t a = *static_cast<const int32_t*>(x), b = *static_cast<const int32_t*>(y);
    return (a > b) - (a < b);
}

template <class F>
double best_of_five(const std::vector<int32_t>& data, F sort_it) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        std::vector<int32_t> v = data;
        auto t0 = std::chrono::steady_clock::now();
        sort_it(v);
        auto t1 = std::chrono::steady_clock::now();
        if (!std::is_sorted(v.begin(), v.end())) {
            std::fprintf(stderr, "not sorted\n");
            std::exit(1);
        }
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    std::vector<int32_t> data(n);
    uint64_t state = 1;
    for (int32_t& x : data) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        x = static_cast<int32_t>(state >> 32);
    }
    double quick = best_of_five(data, [n](std::vector<int32_t>& v) {
        kel::sort::quick(v.data(), n, sizeof(int32_t), 0, 0, compare_ints);
    });
    double merge = best_of_five(data, [n](std::vector<int32_t>& v) {
        if (kel::sort::merge(v.data(), n, sizeof(int32_t), 0, 0, compare_ints) != kel::sort::merge_result::done)
            std::exit(1);
    });
    std::printf("sort %zu random int32 records\n", n);
    std::printf("  sort::quick  %8.1f ms\n", quick);
    std::printf("  sort::merge  %8.1f ms\n", merge);
    return 0;
}
