// jpeg_codec: see jpeg_codec.h.
#include "services/jpeg_codec.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <cstdio>
#include <csetjmp>

#include <jerror.h>
#include <jpeglib.h>

namespace kel::jpeg_codec {

using imaging::result;

namespace {

struct error_manager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void on_error(j_common_ptr c) { std::longjmp(reinterpret_cast<error_manager*>(c->err)->jump, 1); }
void on_message(j_common_ptr, int) {}
void on_output(j_common_ptr) {}

void quiet_errors(jpeg_error_mgr* pub) {
    jpeg_std_error(pub);
    pub->error_exit = on_error;
    pub->emit_message = on_message;
    pub->output_message = on_output;
}

result failure_of(const error_manager& err) {
    return err.pub.msg_code == JERR_OUT_OF_MEMORY ? result::no_memory : result::bad_media;
}

// C, M, Y, K bytes to B, G, R, A in place. Adobe's writers store the inks
// inverted (255 = no ink), the others as they are.
void cmyk_to_bgra(uint8_t* row, uint32_t width, bool inverted) {
    for (uint32_t x = 0; x < width; ++x, row += 4) {
        uint32_t c = row[0], m = row[1], y = row[2], k = row[3];
        if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        row[0] = uint8_t((y * k + 127) / 255);
        row[1] = uint8_t((m * k + 127) / 255);
        row[2] = uint8_t((c * k + 127) / 255);
        row[3] = 255;
    }
}

}  // namespace

bool plausible_size(uint64_t width, uint64_t height, size_t bytes) {
    return width * height <= uint64_t(bytes) * max_pixels_per_byte;
}

result decode(const uint8_t* data, size_t size, const imaging::pixel_target& target) {
    jpeg_decompress_struct cinfo;
    error_manager err;
    cinfo.err = &err.pub;
    quiet_errors(&err.pub);
    volatile result failure = result::bad_media;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return failure == result::no_memory ? failure : failure_of(err);
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) ERREXIT(&cinfo, JERR_NO_IMAGE);
    if (!imaging::sides_ok(cinfo.image_width, cinfo.image_height) || !plausible_size(cinfo.image_width, cinfo.image_height, size))
        ERREXIT(&cinfo, JERR_IMAGE_TOO_BIG);
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    cinfo.dct_method = JDCT_ISLOW;
    (void)jpeg_start_decompress(&cinfo);
    if (cinfo.output_components != 4 || cinfo.output_width != cinfo.image_width ||
        cinfo.output_height != cinfo.image_height)
        ERREXIT(&cinfo, JERR_BAD_J_COLORSPACE);
    int64_t stride = 0;
    uint8_t* base =
        reinterpret_cast<uint8_t*>(target.make(target.context, int32_t(cinfo.output_width),
                                               int32_t(cinfo.output_height), &stride));
    if (!base) {
        failure = result::no_memory;
        ERREXIT(&cinfo, JERR_OUT_OF_MEMORY);
    }
    const bool inverted = cinfo.saw_Adobe_marker;
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = base + int64_t(cinfo.output_scanline) * stride;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) ERREXIT(&cinfo, JERR_INPUT_EMPTY);
        if (cmyk) cmyk_to_bgra(row, cinfo.output_width, inverted);
    }
    jpeg_destroy_decompress(&cinfo);
    return result::ok;
}

result encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, imaging::byte_buffer* out) {
    if (!imaging::sides_ok(uint64_t(width), uint64_t(height))) return result::bad_media;
    jpeg_compress_struct cinfo;
    error_manager err;
    cinfo.err = &err.pub;
    quiet_errors(&err.pub);
    unsigned char* memory = nullptr;
    unsigned long memory_size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(memory);
        return failure_of(err);
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &memory, &memory_size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(reinterpret_cast<const uint8_t*>(pixels) +
                                            int64_t(cinfo.next_scanline) * stride);
        if (jpeg_write_scanlines(&cinfo, &row, 1) != 1) ERREXIT(&cinfo, JERR_CANT_SUSPEND);
    }
    jpeg_finish_compress(&cinfo);
    const bool copied = out->append(memory, memory_size);
    jpeg_destroy_compress(&cinfo);
    std::free(memory);
    return copied ? result::ok : result::no_memory;
}

}  // namespace kel::jpeg_codec
