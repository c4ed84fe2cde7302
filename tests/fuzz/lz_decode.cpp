// Fuzz target: the LZ block decoder on arbitrary blocks, on blocks whose
// header fits the input (so the token stream is exercised), and round trips
// through the compressor. Every block sits in an exactly sized heap buffer,
// so a read past it shows under ASan.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernel/lz.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Decodes a copy of the block; returns the bytes or marks a refusal.
bool decode(const uint8_t* blk, size_t size, std::vector<uint8_t>* out) {
    auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, blk, size); else copy[0] = 0;
    size_t n = 0;
    uint8_t* r = kel::lz::decompress(copy, size, &n);
    std::free(copy);
    if (!r) return false;
    if (size >= 8) {
        uint32_t unpacked = uint32_t(blk[4] | blk[5] << 8 | blk[6] << 16) | uint32_t(blk[7]) << 24;
        check(n <= uint64_t(unpacked) + 8);
    }
    if (out) out->assign(r, r + n);
    kel::lz::free_output(r);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As it comes.
    decode(data, size, nullptr);

    // Wrapped in a header and chunk length that fit, so the bytes are read
    // as a token stream.
    if (size >= 2) {
        uint32_t chunk = 1 + (uint32_t(data[0] | data[1] << 8) % 8192);
        std::vector<uint8_t> blk(12 + size - 2);
        put32(blk.data(), uint32_t(4 + size - 2));
        put32(blk.data() + 4, chunk + (data[0] & 7));
        put32(blk.data() + 8, chunk);
        std::memcpy(blk.data() + 12, data + 2, size - 2);
        decode(blk.data(), blk.size(), nullptr);
    }

    // Round trip: the input stretched past the compressor's minimum.
    if (size > 0) {
        std::vector<uint8_t> in;
        while (in.size() < 300) in.insert(in.end(), data, data + size);
        auto* dst = static_cast<uint8_t*>(std::malloc(in.size()));
        long n = kel::lz::compress(in.data(), in.size(), dst);
        if (n >= 0) {
            std::vector<uint8_t> out;
            check(decode(dst, size_t(n), &out));
            check(out == in);
        }
        std::free(dst);
    }
    return 0;
}
