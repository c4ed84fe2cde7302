// Fuzz target: the PNG decoder (libpng under our boundary) on arbitrary
// bytes and on edited small files of every colour type, bit depth and
// interlace, written here with libpng. After the edits every chunk's CRC is
// made right again, so the edits reach the decompressor and the row
// transforms instead of stopping at a checksum.
#include <png.h>

#include <csetjmp>

#include "tests/fuzz/driver/image_fuzz.h"

namespace {

void append(png_structp png, png_bytep bytes, size_t n) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), bytes, bytes + n);
}
void flush(png_structp) {}

// A w x h file of the colour type, depth and interlace, rows of bytes from the seed.
std::vector<uint8_t> written(int colour, int depth, bool interlaced, uint32_t w, uint32_t h, uint32_t seed) {
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    const int channels = colour == PNG_COLOR_TYPE_RGB ? 3 : colour == PNG_COLOR_TYPE_RGBA ? 4
                         : colour == PNG_COLOR_TYPE_GA ? 2 : 1;
    const size_t row = (size_t(w) * channels * depth + 7) / 8;
    std::vector<uint8_t> pixels(row * h);
    for (auto& p : pixels) {
        seed = seed * 1103515245u + 12345u;
        p = uint8_t(seed >> 16);
    }
    std::vector<png_bytep> rows(h);
    for (uint32_t y = 0; y < h; ++y) rows[y] = pixels.data() + y * row;
    if (setjmp(png_jmpbuf(png))) image_fuzz::check(false);
    png_set_write_fn(png, &out, append, flush);
    png_set_IHDR(png, info, w, h, depth, colour, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[256];
    for (int i = 0; i < 256; ++i) palette[i] = png_color{png_byte(i), png_byte(255 - i), png_byte(i * 7)};
    png_byte alphas[5] = {0, 64, 128, 200, 255};
    if (colour == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(png, info, palette, 1 << depth);
        png_set_tRNS(png, info, alphas, depth == 1 ? 2 : 5, nullptr);
    }
    if (colour == PNG_COLOR_TYPE_RGB) {
        png_color_16 key{0, 0, 0, 0, 0};
        png_set_tRNS(png, info, nullptr, 0, &key);
    }
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

uint32_t crc(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = c >> 1 ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void fix_crcs(std::vector<uint8_t>& f) {
    size_t at = 8;
    while (at + 12 <= f.size()) {
        const uint32_t length = uint32_t(f[at]) << 24 | uint32_t(f[at + 1]) << 16 | uint32_t(f[at + 2]) << 8 | f[at + 3];
        if (length > f.size() - at - 12) return;
        image_fuzz::put32be(&f[at + 8 + length], crc(&f[at + 4], length + 4));
        at += 12 + length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    image_fuzz::decode(kel::image_codecs::png, data, size);
    if (size < 3) return 0;
    static const struct { int colour, depth; } forms[] = {
        {PNG_COLOR_TYPE_GRAY, 1}, {PNG_COLOR_TYPE_GRAY, 4},    {PNG_COLOR_TYPE_GRAY, 8},   {PNG_COLOR_TYPE_GRAY, 16},
        {PNG_COLOR_TYPE_PALETTE, 1}, {PNG_COLOR_TYPE_PALETTE, 4}, {PNG_COLOR_TYPE_PALETTE, 8}, {PNG_COLOR_TYPE_RGB, 8},
        {PNG_COLOR_TYPE_RGB, 16}, {PNG_COLOR_TYPE_GA, 8},       {PNG_COLOR_TYPE_GA, 16},     {PNG_COLOR_TYPE_RGBA, 8},
        {PNG_COLOR_TYPE_RGBA, 16},
    };
    const auto& form = forms[data[0] % (sizeof forms / sizeof forms[0])];
    std::vector<uint8_t> f =
        data[1] & 0x80 ? image_fuzz::encoded(kel::image_codecs::png, 1 + data[1] % 9, 1 + data[2] % 6, data[2])
                       : written(form.colour, form.depth, data[1] & 1, 1 + data[1] % 11, 1 + data[2] % 9, data[2]);
    image_fuzz::mutate(f, data, size, 3);
    if (!(data[0] & 0x80)) fix_crcs(f);
    image_fuzz::decode(kel::image_codecs::png, f.data(), f.size());
    return 0;
}
