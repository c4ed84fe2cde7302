// Benchmark: append 10 million integers to a block, then copy it; reports the
// time of each phase and the peak resident memory. bench/block_append.py does
// the same with a Python list. Not run by the tests:
//   build/bench_block_append [count]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "kernel/runtime.h"

using namespace kel;

namespace {
double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
long peak_kib() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}
}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 10000000;
    runtime::init();
    const long base_kib = peak_kib();

    auto t0 = std::chrono::steady_clock::now();
    kel_value* blk = block::make_at_tail(nullptr, 1);
    kel_value cell;
    for (long i = 0; i < count; ++i) {
        set_integer(&cell, static_cast<int32_t>(i));
        block::ks_add(blk, &cell);
    }
    const double append_s = seconds_since(t0);

    auto t1 = std::chrono::steady_clock::now();
    kel_value copy;
    series::copy(blk, &copy, nullptr);
    const double copy_s = seconds_since(t1);

    // Check the result so the work cannot be skipped.
    kel_value* last = block::ks_abs_at(&copy, static_cast<int32_t>(count - 1));
    if (block::ks_length_q(&copy) != count || get_integer(last) != count - 1) {
        std::fprintf(stderr, "wrong result\n");
        return 1;
    }
    std::printf("kel    append %ld: %.3f s  copy: %.3f s  peak memory: %.1f MiB (start %.1f MiB)\n", count,
                append_s, copy_s, peak_kib() / 1024.0, base_kib / 1024.0);
    return 0;
}
