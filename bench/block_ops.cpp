// Block actions at scale: sorting a block of 1,000,000 random integers (the
// default unstable sort and /stable) and finding an integer in a block of
// 1,000,000 (the last cell, and one that is absent), through the block!
// workers as the actions call them. Run beside bench/block_ops.py (the same
// work on a Python list). Prints the best of five runs in milliseconds.
//   build/bench_block_ops [count]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

kel::kel_value* block_of(const std::vector<int32_t>& data) {
    kel::kel_value* blk = kel::block::make_at_tail(nullptr, static_cast<int32_t>(data.size()));
    for (int32_t x : data) {
        kel::kel_value v;
        kel::set_integer(&v, x);
        kel::block::ks_add(blk, &v);
    }
    return blk;
}

// Copies the original cells back over the block before each run.
void restore(kel::kel_value* blk, const std::vector<kel::kel_value>& cells) {
    std::memcpy(kel::block::ks_abs_at(blk, 0), cells.data(), cells.size() * sizeof(kel::kel_value));
}

bool sorted_ints(kel::kel_value* blk, size_t n) {
    for (size_t i = 1; i < n; ++i)
        if (kel::get_integer(kel::block::ks_abs_at(blk, static_cast<int32_t>(i - 1))) >
            kel::get_integer(kel::block::ks_abs_at(blk, static_cast<int32_t>(i))))
            return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    kel::runtime::init();

    std::vector<int32_t> data(n);
    uint64_t state = 1;
    for (int32_t& x : data) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        x = static_cast<int32_t>(state >> 32);
    }
    kel::kel_value* blk = block_of(data);
    std::vector<kel::kel_value> original(kel::block::ks_abs_at(blk, 0), kel::block::ks_abs_at(blk, 0) + n);

    double best_sort[2] = {1e30, 1e30};
    for (int stable = 0; stable < 2; ++stable) {
        for (int run = 0; run < 5; ++run) {
            restore(blk, original);
            kel::block::sort_refinements r;
            r.stable = stable != 0;
            auto t0 = clock_type::now();
            kel::block::sort(blk, r);
            best_sort[stable] = std::min(best_sort[stable], ms_since(t0));
            if (!sorted_ints(blk, n)) {
                std::fprintf(stderr, "not sorted\n");
                return 1;
            }
        }
    }

    std::vector<int32_t> counting(n);
    for (size_t i = 0; i < n; ++i) counting[i] = static_cast<int32_t>(i);
    kel::kel_value* seq = block_of(counting);
    double best_find[2] = {1e30, 1e30};
    const int32_t wanted[2] = {static_cast<int32_t>(n) - 1, -1};
    for (int k = 0; k < 2; ++k) {
        kel::kel_value value, out;
        kel::set_integer(&value, wanted[k]);
        for (int run = 0; run < 5; ++run) {
            auto t0 = clock_type::now();
            const bool found = kel::block::find(seq, &value, {}, &out);
            best_find[k] = std::min(best_find[k], ms_since(t0));
            if (found != (k == 0)) {
                std::fprintf(stderr, "find answered wrongly\n");
                return 1;
            }
        }
    }

    std::printf("block of %zu integers\n", n);
    std::printf("  sort            %8.1f ms\n", best_sort[0]);
    std::printf("  sort/stable     %8.1f ms\n", best_sort[1]);
    std::printf("  find last cell  %8.1f ms\n", best_find[0]);
    std::printf("  find absent     %8.1f ms\n", best_find[1]);
    return 0;
}
