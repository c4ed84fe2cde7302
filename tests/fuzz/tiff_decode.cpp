// Fuzz target: the TIFF decoder (libtiff over memory under our boundary) on
// arbitrary bytes and on edited small files of our own encoder (LZW strips
// of RGBA), and on a tiled file written here with libtiff.
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>

#include "tests/fuzz/driver/image_fuzz.h"

namespace {

// A tiled, deflated, big-endian file through a temporary file: libtiff
// writes tiles with the same calls everywhere.
std::vector<uint8_t> tiled(uint32_t w, uint32_t h, uint32_t seed) {
    char name[] = "/tmp/kel-fuzz-tiff-XXXXXX";
    const int fd = mkstemp(name);
    image_fuzz::check(fd >= 0);
    TIFF* t = TIFFFdOpen(fd, name, "wb");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
    TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
    std::vector<uint8_t> tile(16 * 16 * 3);
    for (uint32_t y = 0; y < h; y += 16)
        for (uint32_t x = 0; x < w; x += 16) {
            for (auto& b : tile) {
                seed = seed * 1103515245u + 12345u;
                b = uint8_t(seed >> 16);
            }
            TIFFWriteTile(t, tile.data(), x, y, 0, 0);
        }
    TIFFClose(t);
    std::vector<uint8_t> out;
    if (FILE* f = std::fopen(name, "rb")) {
        uint8_t buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
        std::fclose(f);
    }
    std::remove(name);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    image_fuzz::decode(kel::image_codecs::tiff, data, size);
    if (size < 3) return 0;
    static std::vector<uint8_t> tiles;
    if (tiles.empty()) tiles = tiled(37, 21, 7);
    std::vector<uint8_t> f = data[0] & 1 ? tiles
                                         : image_fuzz::encoded(kel::image_codecs::tiff, 1 + data[1] % 13,
                                                               1 + data[2] % 9, data[2]);
    image_fuzz::mutate(f, data, size, 3);
    image_fuzz::decode(kel::image_codecs::tiff, f.data(), f.size());
    return 0;
}
