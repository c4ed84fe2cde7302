// image_fuzz: what the image decoders' fuzz targets share. Each target
// decodes the raw input, then a small valid file of its format (chosen by
// the first input bytes) edited by the rest of the input: bit flips, byte
// sets, truncations and 32-bit fields set to edge values, so the random
// bytes reach the pixel paths rather than stopping at the signature. Every
// input sits in an exactly sized heap buffer (a read past it shows under
// ASan), and an accepted file is decoded into a store of exactly its pixels.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "services/codec_buffers.h"
#include "services/image_codecs.h"

namespace image_fuzz {

inline void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Decodes a copy of the bytes with a pixel limit that keeps a run short.
inline void decode(int32_t code, const uint8_t* data, size_t size) {
    auto* copy = static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
    if (size) std::memcpy(copy, data, size);
    kel::imaging::heap_pixels store;
    store.limit = uint64_t(1) << 18;
    const kel::imaging::result r = kel::image_codecs::decode_buffer(code, copy, size, store.target());
    if (r == kel::imaging::result::ok)
        check(store.pixels && store.width > 0 && store.height > 0 && store.width <= 65535 && store.height <= 65535);
    std::free(store.pixels);
    std::free(copy);
}

// A small picture with every kind of pixel: opaque, transparent, between.
inline std::vector<uint32_t> picture(int32_t w, int32_t h, uint32_t seed) {
    std::vector<uint32_t> px(size_t(w) * size_t(h));
    for (size_t i = 0; i < px.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        const uint32_t a = i % 3 == 0 ? 255u : i % 3 == 1 ? 0u : (seed >> 8) & 0xFF;
        px[i] = a << 24 | (seed >> 9 & 0xFFFFFF);
    }
    return px;
}

// Our own encoding of picture(w, h, seed).
inline std::vector<uint8_t> encoded(int32_t code, int32_t w, int32_t h, uint32_t seed) {
    const std::vector<uint32_t> px = picture(w, h, seed);
    kel::imaging::byte_buffer out;
    check(kel::image_codecs::encode_buffer(code, px.data(), w, h, int64_t(w) * 4, &out) ==
          kel::imaging::result::ok);
    return std::vector<uint8_t>(out.data(), out.data() + out.size());
}

inline void put32be(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// Applies the edits the input bytes from `at` on describe.
inline void mutate(std::vector<uint8_t>& f, const uint8_t* data, size_t size, size_t at) {
    static const uint32_t edge[] = {0, 1, 2, 3, 7, 8, 16, 255, 256, 0xFFFF, 0x10000, 0x11170, 0x7FFFFFFFu,
                                    0x80000000u, 0xFFFFFFFFu};
    while (at + 2 < size && !f.empty()) {
        const uint8_t op = data[at], a = data[at + 1], b = data[at + 2];
        at += 3;
        const size_t where = (size_t(a) << 8 | b) % f.size();
        switch (op % 4) {
            case 0: f[where] ^= uint8_t(1u << (op >> 5)); break;
            case 1: f.resize(where); break;
            case 2:
                if (where + 4 <= f.size()) put32be(&f[where], edge[op % (sizeof edge / sizeof edge[0])]);
                break;
            default: f[where] = op; break;
        }
    }
}

}  // namespace image_fuzz
