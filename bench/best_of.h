// best_of: the timing the C++ benchmarks share: run a piece of work a few
// times and keep the fastest wall-clock time, so that a cold cache or a
// neighbour's burst on the machine does not count against the code measured.
// Header-only, with no runtime: codec and checksum benchmarks use it as well
// as the ones that boot the interpreter.
#pragma once
#include <algorithm>
#include <chrono>

namespace kel::bench {

// The least of `runs` timings of run(), in milliseconds.
template <class F>
double best_of(int runs, F run) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

}  // namespace kel::bench
