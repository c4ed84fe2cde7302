// A function that leaves through `return`, called 1,000,000 times from a
// `while` loop on the booted runtime, beside bench/eval_return.py. Prints
// the best of five runs in milliseconds.
//   build/bench_eval_return [calls]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/boot_runtime.h"

int main(int argc, char** argv) {
    using namespace kel;
    const long calls = argc > 1 ? std::atol(argv[1]) : 1000000;
    bench::boot();
    const kel_value def = bench::read("f: make function! [[n] [return n + 1 n]]");
    const error_trap trap = open_error_trap();
    if (interpreter::eval_block(&def, false) != signal_code::none) return 1;
    const std::string text = "i: 0 while [i < " + std::to_string(calls) + "] [i: f i] i";
    const kel_value code = bench::read(text.c_str());
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
    std::printf("%d calls through return\n", result);
    std::printf("  kel make function! + return %8.1f ms\n", best);
    return 0;
}
