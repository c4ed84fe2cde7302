// xorshift: the small generator the fuzz targets draw their choices from
// (which seed to mutate, which program to generate). A target seeds it from
// a hash of its input, so one input always takes the same path and a crash
// replays from the input alone; no library generator promises that across
// standard libraries.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzz {

// xorshift64 (13, 7, 17). `Low` is the lowest state bit a draw answers: a
// target keeps its own, so that the inputs it reached before still reach the
// same programs and mutations.
template <int Low>
struct xorshift {
    uint64_t s;  // never 0
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> Low);
    }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }
    bool chance(uint32_t percent) { return below(100) < percent; }
    template <size_t N>
    const char* pick(const char* const (&list)[N]) {
        return list[below(N)];
    }
};

}  // namespace fuzz
