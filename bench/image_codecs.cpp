// Decode and encode of a 4000x3000 PNG and JPEG through the codecs' buffer
// layer (no Kel values). bench/image_codecs.py makes the picture (smooth
// gradients with a little noise, so neither compressor meets a trivial
// image), hands it over as raw RGBA, runs this and then PIL on the same
// picture. Prints the best of five runs of each in milliseconds and the
// encoded sizes.
//   build/bench_image_codecs width height picture.rgba
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/best_of.h"
#include "services/codec_buffers.h"
#include "services/image_codecs.h"

int main(int argc, char** argv) {
    using namespace kel;
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_image_codecs width height picture.rgba\n");
        return 2;
    }
    const int32_t w = std::atoi(argv[1]);
    const int32_t h = std::atoi(argv[2]);
    std::vector<uint32_t> pixels(size_t(w) * h);
    FILE* f = std::fopen(argv[3], "rb");
    std::vector<uint8_t> rgba(pixels.size() * 4);
    if (!f || std::fread(rgba.data(), 1, rgba.size(), f) != rgba.size()) std::abort();
    std::fclose(f);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint32_t(rgba[4 * i + 3]) << 24 | uint32_t(rgba[4 * i]) << 16 | uint32_t(rgba[4 * i + 1]) << 8 |
                    rgba[4 * i + 2];
    for (int32_t code : {image_codecs::png, image_codecs::jpeg}) {
        imaging::byte_buffer file;
        const double enc = bench::best_of(5, [&] {
            file.clear();
            if (image_codecs::encode_buffer(code, pixels.data(), w, h, int64_t(w) * 4, &file) != imaging::result::ok)
                std::abort();
        });
        const double dec = bench::best_of(5, [&] {
            imaging::heap_pixels store;
            store.limit = uint64_t(w) * h;
            if (image_codecs::decode_buffer(code, file.data(), file.size(), store.target()) != imaging::result::ok)
                std::abort();
            std::free(store.pixels);
        });
        std::printf("kel %s %dx%d: decode %.1f ms, encode %.1f ms, %zu bytes\n", image_codecs::format_name(code), w, h,
                    dec, enc, file.size());
    }
    return 0;
}
