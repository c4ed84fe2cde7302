// Recursive fib(30) through a function! made with `make function!` on the
// booted runtime, beside bench/eval_fib.py (the same function in Python).
// Prints the best of five runs in milliseconds.
//   build/bench_eval_fib [n]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/boot_runtime.h"

int main(int argc, char** argv) {
    using namespace kel;
    const int n = argc > 1 ? std::atoi(argv[1]) : 30;
    bench::boot();
    const kel_value def = bench::read("fib: make function! [[n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]]]");
    const error_trap trap = open_error_trap();
    if (interpreter::eval_block(&def, false) != signal_code::none) return 1;
    const std::string call = "fib " + std::to_string(n);
    const kel_value code = bench::read(call.c_str());
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
    std::printf("fib %d = %d\n", n, result);
    std::printf("  kel make function! %8.1f ms\n", best);
    return 0;
}
