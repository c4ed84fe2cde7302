// Fuzz target: the BMP reader on arbitrary bytes and on small valid files
// with random edits (byte flips, truncations, header fields set to edge
// values), so the random bytes reach the palette, mask, run-length and pixel paths
// rather than stopping at the signature. Every input sits in an exactly
// sized heap buffer, so a read past it shows under ASan; an accepted file
// is decoded into a buffer of exactly its pixels.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "services/bmp_codec.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void try_decode(const uint8_t* data, size_t size) {
    auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, data, size);
    kel::bmp::layout lay;
    if (kel::bmp::parse(copy, size, &lay) == kel::bmp::result::ok) {
        check(lay.width > 0 && lay.height > 0 && lay.width <= 65535 && lay.height <= 65535);
        const size_t n = size_t(lay.width) * size_t(lay.height);
        if (n <= (size_t(1) << 22)) {
            auto* px = static_cast<uint32_t*>(std::malloc(n * 4));
            kel::bmp::decode_pixels(copy, size, lay, px, int64_t(lay.width) * 4);
            std::free(px);
        }
    }
    std::free(copy);
}

// A small valid file of the given form: header size, bit count, compression.
std::vector<uint8_t> base_file(uint32_t hsize, uint16_t bits, uint32_t compression, uint32_t w, uint32_t h) {
    const uint32_t masks = (compression == 3 && hsize == 40) ? 12 : 0;
    const uint32_t entry = hsize == 12 ? 3 : 4;
    const uint32_t palette = bits <= 8 ? (1u << bits) * entry : 0;
    const uint32_t off = 14 + hsize + masks + palette;
    const uint32_t row = (w * bits + 31) / 32 * 4;
    std::vector<uint8_t> f(off + row * h, 0);
    f[0] = 'B', f[1] = 'M';
    put32(&f[2], uint32_t(f.size()));
    put32(&f[10], off);
    put32(&f[14], hsize);
    if (hsize == 12) {
        f[18] = uint8_t(w), f[20] = uint8_t(h), f[22] = 1, f[24] = uint8_t(bits);
    } else {
        put32(&f[18], w), put32(&f[22], h), f[26] = 1, f[28] = uint8_t(bits);
        put32(&f[30], compression);
        if (compression == 3) {
            const uint32_t m16[4] = {0xF800, 0x07E0, 0x001F, 0};
            const uint32_t m32[4] = {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u};
            const uint32_t* m = bits == 16 ? m16 : m32;
            for (int i = 0; i < (hsize == 40 ? 3 : 4); ++i) put32(&f[54 + 4 * i], m[i]);
        }
    }
    for (size_t i = 14 + hsize + masks; i < f.size(); ++i) f[i] = uint8_t(i * 7);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try_decode(data, size);
    if (size < 4) return 0;

    // A valid file chosen by the first bytes, then edited by the rest.
    static const struct { uint32_t hsize; uint16_t bits; uint32_t comp; } forms[] = {
        {12, 1, 0}, {12, 4, 0}, {12, 8, 0}, {12, 24, 0}, {40, 1, 0},  {40, 4, 0},   {40, 8, 0},  {40, 16, 0},
        {40, 16, 3}, {40, 24, 0}, {40, 32, 0}, {40, 32, 3}, {108, 16, 3}, {108, 32, 3}, {124, 8, 0}, {124, 32, 3},
        {40, 8, 1},  {40, 4, 2},   {124, 8, 1}, {124, 4, 2}, {52, 32, 3}, {56, 32, 3}, {56, 16, 3},
    };
    const auto& form = forms[data[0] % (sizeof forms / sizeof forms[0])];
    std::vector<uint8_t> f = base_file(form.hsize, form.bits, form.comp, 1 + data[1] % 13, 1 + data[2] % 7);
    static const uint32_t edge[] = {0, 1, 2, 3, 4, 5, 7, 12, 16, 40, 124, 255, 0xFFFF, 0x10000, 0x7FFFFFFFu,
                                    0x80000000u, 0xFFFFFFFFu, 0xFFFFFFF0u, 0x00FF0000u, 0x0F0F0000u};
    size_t i = 3;
    while (i + 2 < size) {
        const uint8_t op = data[i], a = data[i + 1], b = data[i + 2];
        i += 3;
        if (f.empty()) break;
        switch (op % 4) {
            case 0: f[(size_t(a) << 8 | b) % f.size()] ^= uint8_t(1u << (op >> 5)); break;  // bit flip
            case 1: f.resize((size_t(a) << 8 | b) % (f.size() + 1)); break;                  // truncation
            case 2:                                                                             // header field
                if (f.size() >= 4) {
                    const size_t at = 2 + (a % 34) * 2;
                    if (at + 4 <= f.size()) put32(&f[at], edge[b % (sizeof edge / sizeof edge[0])]);
                }
                break;
            default: f[(size_t(a) << 8 | b) % f.size()] = op; break;  // byte set
        }
    }
    try_decode(f.data(), f.size());
    return 0;
}
