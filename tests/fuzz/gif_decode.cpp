// Fuzz target: the GIF decoder (giflib under our boundary) on arbitrary
// bytes and on edited small files of our own encoder: exact palettes and
// median-cut ones, with and without a transparent index, the interlace flag
// set by an edit now and then.
#include "tests/fuzz/driver/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    image_fuzz::decode(kel::image_codecs::gif, data, size);
    if (size < 3) return 0;
    // Wide pictures have more colours than the palette holds.
    const int32_t w = data[0] & 1 ? 40 + data[1] % 30 : 1 + data[1] % 9;
    std::vector<uint8_t> f = image_fuzz::encoded(kel::image_codecs::gif, w, 1 + data[2] % 9, data[0]);
    image_fuzz::mutate(f, data, size, 3);
    image_fuzz::decode(kel::image_codecs::gif, f.data(), f.size());
    return 0;
}
