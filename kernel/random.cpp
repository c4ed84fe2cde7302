// random: see random.h. The state is a plain static record, seeded at compile
// time with the start-up seed, so no draw ever meets an unseeded generator.
// Invariant: 0 <= index <= 624; words [index, 624) are the ones not yet drawn.
#include "kernel/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kernel/fatal.h"

namespace kel::random {
namespace {

constexpr int state_words = 624;
constexpr int partner_offset = 397;
constexpr uint32_t startup_seed = 19650218;

// x read as a signed word, shifted right with its sign propagated.
constexpr uint32_t asr(uint32_t x, int n) { return static_cast<uint32_t>(static_cast<int32_t>(x) >> n); }

struct generator {
    uint32_t w[state_words];
    int index;
};

constexpr generator seeded(uint32_t seed_value) {
    generator g{};
    g.w[0] = seed_value;
    for (int k = 1; k < state_words; ++k)
        g.w[k] = 1812433253u * (g.w[k - 1] ^ asr(g.w[k - 1], 30)) + static_cast<uint32_t>(k);
    g.index = 0;
    return g;
}

constinit generator state = seeded(startup_seed);

void twist(generator& g) {
    for (int k = 0; k < state_words; ++k) {
        uint32_t y = (g.w[k] & 0x80000000u) | (g.w[(k + 1) % state_words] & 0x7FFFFFFFu);
        uint32_t v = g.w[(k + partner_offset) % state_words] ^ asr(y, 1);
        g.w[k] = (y & 1u) ? v ^ 0x9908B0DFu : v;
    }
    g.index = 0;
}

constexpr uint32_t temper(uint32_t y) {
    y ^= asr(y, 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= asr(y, 18);  // bit 31 xor itself: always clear
    return y;
}
static_assert(temper(0xFFFFFFFFu) <= 0x7FFFFFFFu && temper(0x80000000u) <= 0x7FFFFFFFu);

}  // namespace

void setup() {
    seed(startup_seed);
}

void seed(uint32_t seed_value) { state = seeded(seed_value); }

uint32_t next() {
    if (state.index == state_words) twist(state);
    return temper(state.w[state.index++]);
}

uint32_t secure_next() {
    unsigned char b[4];
    crypto::random_bytes(sizeof b, b);
    uint32_t word = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                    static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    return word & 0x7FFFFFFFu;
}

int32_t int_upto(int32_t n, bool secure) {
    if (n == 0) return 0;
    if (n == INT32_MIN) return -1 - static_cast<int32_t>(secure ? secure_next() : next());
    if (n < 0) return -int_upto(-n, secure);
    // The largest multiple of n within the draw range: draws at or above it
    // would favour the small results, so they are drawn again.
    const uint32_t un = static_cast<uint32_t>(n);
    const uint32_t limit = (0x7FFFFFFFu / un) * un;
    uint32_t d;
    do d = secure ? secure_next() : next();
    while (d >= limit);
    return static_cast<int32_t>(d % un + 1);
}

uint32_t hash_seed() {
    // The start-up generator's first draw, taken from a copy so the script's
    // own draws are untouched. It must not vary between runs: `random/seed`
    // of a series seeds the generator with a hash, and a script that seeds
    // with a string expects the same sequence every time.
    static const uint32_t fixed = [] {
        generator g = seeded(startup_seed);
        return temper(g.w[0]);
    }();
    return fixed;
}

}  // namespace kel::random

namespace kel::crypto {
namespace {

// For kernels or sandboxes that refuse the getrandom call.
bool read_device(unsigned char* p, size_t count) {
    int fd;
    do fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    while (count > 0) {
        ssize_t got = read(fd, p, count);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        p += got;
        count -= static_cast<size_t>(got);
    }
    close(fd);
    return count == 0;
}

}  // namespace

__attribute__((noinline)) void random_bytes(size_t count, void* buffer) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        ssize_t got = getrandom(p, count, 0);
        if (got > 0) {
            p += got;
            count -= static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (read_device(p, count)) return;
        fatal::report_error(fatal::unknown_error, __builtin_return_address(0));
    }
}

}  // namespace kel::crypto
