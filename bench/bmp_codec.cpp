// Decode and encode of a 4000x3000 32-bit BMP (our V5 writer's output),
// through the codec's buffer layer: parse and decode_pixels into a pixel
// buffer, write_file from one. Run beside bench/bmp_codec.py (PIL on the
// same file). Prints the best of five runs of each in milliseconds.
//   build/bench_bmp_codec [width height]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/best_of.h"
#include "services/bmp_codec.h"

int main(int argc, char** argv) {
    const int32_t w = argc > 2 ? std::atoi(argv[1]) : 4000;
    const int32_t h = argc > 2 ? std::atoi(argv[2]) : 3000;
    std::vector<uint32_t> pixels(size_t(w) * h);
    uint64_t state = 1;
    for (auto& p : pixels) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        p = uint32_t(state >> 32);
    }
    std::vector<uint8_t> file(kel::bmp::encoded_size(w, h));
    const double enc =
        kel::bench::best_of(5, [&] { kel::bmp::write_file(pixels.data(), w, h, int64_t(w) * 4, file.data()); });
    std::vector<uint32_t> back(pixels.size());
    const double dec = kel::bench::best_of(5, [&] {
        kel::bmp::layout lay;
        if (kel::bmp::parse(file.data(), file.size(), &lay) != kel::bmp::result::ok) std::abort();
        kel::bmp::decode_pixels(file.data(), file.size(), lay, back.data(), int64_t(w) * 4);
    });
    if (back != pixels) std::abort();
    std::printf("kel bmp %dx%d 32-bit: decode %.1f ms, encode %.1f ms\n", w, h, dec, enc);
    return 0;
}
