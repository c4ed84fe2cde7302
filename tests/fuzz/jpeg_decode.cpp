// Fuzz target: the JPEG decoder (libjpeg-turbo under our boundary) on
// arbitrary bytes and on edited small files, grey, YCbCr, CMYK with and
// without Adobe's marker, baseline and progressive, written here with
// libjpeg.
#include <cstdio>
#include <csetjmp>

#include <jpeglib.h>

#include "tests/fuzz/driver/image_fuzz.h"

namespace {

std::vector<uint8_t> written(J_COLOR_SPACE space, int components, bool progressive, bool adobe, uint32_t w,
                             uint32_t h, uint32_t seed) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* memory = nullptr;
    unsigned long length = 0;
    jpeg_mem_dest(&c, &memory, &length);
    c.image_width = w;
    c.image_height = h;
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    c.write_Adobe_marker = adobe;
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(w) * components);
    while (c.next_scanline < h) {
        for (auto& b : row) {
            seed = seed * 1103515245u + 12345u;
            b = uint8_t(seed >> 16);
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> out(memory, memory + length);
    std::free(memory);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    image_fuzz::decode(kel::image_codecs::jpeg, data, size);
    if (size < 3) return 0;
    static const struct { J_COLOR_SPACE space; int components; bool adobe; } forms[] = {
        {JCS_GRAYSCALE, 1, false}, {JCS_RGB, 3, false}, {JCS_CMYK, 4, true}, {JCS_CMYK, 4, false}};
    const auto& form = forms[data[0] % 4];
    std::vector<uint8_t> f =
        data[1] & 0x80 ? image_fuzz::encoded(kel::image_codecs::jpeg, 1 + data[1] % 19, 1 + data[2] % 11, data[2])
                       : written(form.space, form.components, data[0] & 4, form.adobe, 1 + data[1] % 23,
                                 1 + data[2] % 13, data[2]);
    image_fuzz::mutate(f, data, size, 3);
    image_fuzz::decode(kel::image_codecs::jpeg, f.data(), f.size());
    return 0;
}
