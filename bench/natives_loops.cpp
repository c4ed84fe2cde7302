// The loop natives beside Python (bench/natives_loops.py does the same work):
//   foreach   sums a block of 1,000,000 integers (0 to 999, repeated): sum: 0 foreach x data [sum: sum + x]
//   repeat    1,000,000 rounds of integer arithmetic on the counter
//   reduce    a block of 100,000 values, half words and half integers
// Each figure is the best of five runs, in milliseconds.
//   build/bench_natives_loops [scale]   (scale multiplies every size; default 1)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/boot_runtime.h"
#include "datatypes/block.h"

using namespace kel;

namespace {

// Evaluates the code five times; answers the best time and leaves the last
// result in *result.
double best_of_five(const kel_value& code, kel_value* result) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        stack::reset();
        const auto t0 = std::chrono::steady_clock::now();
        if (interpreter::eval_block(&code, false) != signal_code::none) std::exit(1);
        const auto t1 = std::chrono::steady_clock::now();
        *result = *stack::bottom();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

// n values: integers (below 1000, so sums stay integer!), every other one
// the word `x` when `words` is set.
kel_value block_of_size(int32_t n, bool words) {
    kel_value* b = block::make_at_tail(nullptr, n);
    const kel_value x = *word::from_c_string("x");
    for (int32_t i = 0; i < n; ++i) {
        kel_value v;
        if (words && i % 2 == 0) v = x;
        else set_integer(&v, i % 1000);
        block::ks_add(b, &v);
    }
    return *b;
}

}  // namespace

int main(int argc, char** argv) {
    const int32_t scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    bench::boot();
    const error_trap trap = open_error_trap();

    const int32_t n_foreach = 1000000 * scale;
    bench::define("data", block_of_size(n_foreach, false));
    kel_value result;
    const double foreach_ms = best_of_five(bench::read("sum: 0 foreach x data [sum: sum + x] sum"), &result);
    std::printf("foreach over %d integers: sum %d\n", n_foreach, get_integer(&result));
    std::printf("  kel    %8.1f ms\n", foreach_ms);

    const int32_t n_repeat = 1000000 * scale;
    const std::string repeat_code = "x: 0 repeat i " + std::to_string(n_repeat) + " [x: x + i - i + 1] x";
    const double repeat_ms = best_of_five(bench::read(repeat_code.c_str()), &result);
    std::printf("repeat %d rounds: x = %d\n", n_repeat, get_integer(&result));
    std::printf("  kel    %8.1f ms\n", repeat_ms);

    const int32_t n_reduce = 100000 * scale;
    bench::define("source", block_of_size(n_reduce, true));
    const double reduce_ms = best_of_five(bench::read("x: 7 length? reduce source"), &result);
    std::printf("reduce of %d values: length %d\n", n_reduce, get_integer(&result));
    std::printf("  kel    %8.1f ms\n", reduce_ms);

    close_error_trap(trap, false);
    return 0;
}
