// murmur3: the one hash function of the hash tables, MurmurHash3 x86 32-bit,
// seeded with the process hash seed (`random::hash_seed`), and its 32-bit
// finaliser `fmix32`, which the tables use alone for integer keys (symbol
// ids, node ids). Hash values are never stored outside a table, so only their
// constancy within one run matters; the bucket a key lands in is what tests
// observe.
//
// `murmur3_blocks` hashes a sequence of 32-bit blocks (code points of a
// string, one block each) with a length of 4 x the block count, which equals
// murmur3 over the blocks' little-endian bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::hashtable {

constexpr uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

// MurmurHash3 x86_32 of `length` bytes with an explicit seed.
uint32_t murmur3_seeded(const void* data, size_t length, uint32_t seed);
// The same with the runtime seed.
uint32_t murmur3(const void* data, size_t length);
// MurmurHash3 of bytes with every byte first folded by the symbol-name rule
// (ASCII capitals to small letters), runtime seed.
uint32_t murmur3_name(const void* data, size_t length);

// Incremental form over 32-bit blocks: start, feed blocks, finish with the
// number of blocks fed.
struct murmur_state {
    uint32_t h;
};
inline murmur_state murmur_start(uint32_t seed) { return murmur_state{seed}; }
inline void murmur_block(murmur_state& s, uint32_t k) {
    k *= 0xCC9E2D51u;
    k = (k << 15) | (k >> 17);
    k *= 0x1B873593u;
    s.h ^= k;
    s.h = (s.h << 13) | (s.h >> 19);
    s.h = s.h * 5u + 0xE6546B64u;
}
inline uint32_t murmur_finish(murmur_state& s, uint32_t byte_length) { return fmix32(s.h ^ byte_length); }

}  // namespace kel::hashtable
