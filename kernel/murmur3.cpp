// murmur3: MurmurHash3 x86 32-bit. Bytes are assembled little-endian whatever
// the host, so a hash never depends on alignment or byte order.
#include "kernel/murmur3.h"

#include "kernel/random.h"
#include "kernel/fold.h"

namespace kel::hashtable {

namespace {

struct plain_byte {
    uint8_t operator()(uint8_t b) const { return b; }
};
struct name_byte {
    uint8_t operator()(uint8_t b) const { return fold_name_byte(b); }
};

template <class Fold>
uint32_t hash_bytes(const void* data, size_t length, uint32_t seed, Fold fold) {
    const auto* p = static_cast<const uint8_t*>(data);
    murmur_state s = murmur_start(seed);
    const size_t blocks = length / 4;
    for (size_t i = 0; i < blocks; ++i, p += 4) {
        const uint32_t k = uint32_t{fold(p[0])} | (uint32_t{fold(p[1])} << 8) | (uint32_t{fold(p[2])} << 16) |
                           (uint32_t{fold(p[3])} << 24);
        murmur_block(s, k);
    }
    uint32_t k = 0;
    switch (length & 3) {
        case 3: k ^= uint32_t{fold(p[2])} << 16; [[fallthrough]];
        case 2: k ^= uint32_t{fold(p[1])} << 8; [[fallthrough]];
        case 1:
            k ^= fold(p[0]);
            k *= 0xCC9E2D51u;
            k = (k << 15) | (k >> 17);
            k *= 0x1B873593u;
            s.h ^= k;
            break;
        default: break;
    }
    return murmur_finish(s, static_cast<uint32_t>(length));
}

}  // namespace

uint32_t murmur3_seeded(const void* data, size_t length, uint32_t seed) {
    return hash_bytes(data, length, seed, plain_byte{});
}

uint32_t murmur3(const void* data, size_t length) { return hash_bytes(data, length, random::hash_seed(), plain_byte{}); }

uint32_t murmur3_name(const void* data, size_t length) {
    return hash_bytes(data, length, random::hash_seed(), name_byte{});
}

}  // namespace kel::hashtable
