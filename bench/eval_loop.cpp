// A 10,000,000-step counting loop with the `while` native on the booted
// runtime, beside bench/eval_loop.py; the comparison and the addition are
// operators applied inline. Prints the best of five runs in milliseconds.
//   build/bench_eval_loop [steps]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/boot_runtime.h"

int main(int argc, char** argv) {
    using namespace kel;
    const long steps = argc > 1 ? std::atol(argv[1]) : 10000000;
    bench::boot();
    const std::string text = "i: 0 while [i < " + std::to_string(steps) + "] [i: i + 1] i";
    const kel_value code = bench::read(text.c_str());
    const error_trap trap = open_error_trap();
    double best = 1e30;
    int32_t result = 0;
    for (int run = 0; run < 5; ++run) {
        stack::reset();
        auto t0 = std::chrono::steady_clock::now();
        if (interpreter::eval_block(&code, false) != signal_code::none) return 1;
        auto t1 = std::chrono::steady_clock::now();
        result = get_integer(stack::bottom());
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    close_error_trap(trap, false);
    std::printf("count to %d\n", result);
    std::printf("  kel while %8.1f ms\n", best);
    return 0;
}
