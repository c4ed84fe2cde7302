// png_codec: see png_codec.h.
#include "services/png_codec.h"

#include <png.h>

#include <csetjmp>

namespace kel::png_codec {

using imaging::result;

namespace {

[[noreturn]] void on_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_warning(png_structp, png_const_charp) {}

void read_bytes(png_structp png, png_bytep out, size_t count) {
    auto* s = static_cast<imaging::byte_source*>(png_get_io_ptr(png));
    if (count > s->size - s->at) png_error(png, "truncated");
    std::memcpy(out, s->data + s->at, count);
    s->at += count;
}

void write_bytes(png_structp png, png_bytep bytes, size_t count) {
    auto* s = static_cast<imaging::byte_sink*>(png_get_io_ptr(png));
    if (!s->out->append(bytes, count)) {
        s->out_of_memory = true;
        png_error(png, "no memory");
    }
}
void flush_bytes(png_structp) {}

}  // namespace

result decode(const uint8_t* data, size_t size, const imaging::pixel_target& target) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    if (!png) return result::no_memory;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return result::no_memory;
    }
    imaging::byte_source src{data, size, 0};
    png_bytep* volatile rows = nullptr;
    volatile result failure = result::bad_media;
    if (setjmp(png_jmpbuf(png))) {
        std::free(rows);
        png_destroy_read_struct(&png, &info, nullptr);
        return failure;
    }
    png_set_read_fn(png, &src, read_bytes);
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, colour = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &colour, nullptr, nullptr, nullptr);
    // A side the image's size word cannot hold is refused before any pixel exists.
    if (!imaging::sides_ok(width, height)) png_error(png, "too large");
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (transparency) png_set_tRNS_to_alpha(png);
    if (depth == 16) png_set_scale_16(png);
    if (!(colour & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
    if (!(colour & PNG_COLOR_MASK_ALPHA) && !transparency) png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER);
    png_set_bgr(png);
    (void)png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t(width) * 4) png_error(png, "unexpected row layout");
    int64_t stride = 0;
    uint32_t* pixels = target.make(target.context, int32_t(width), int32_t(height), &stride);
    if (!pixels) {
        failure = result::no_memory;
        png_error(png, "no memory");
    }
    rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
    if (!rows) {
        failure = result::no_memory;
        png_error(png, "no memory");
    }
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = reinterpret_cast<png_bytep>(pixels) + int64_t(y) * stride;
    png_read_image(png, rows);
    std::free(rows);
    png_destroy_read_struct(&png, &info, nullptr);
    return result::ok;
}

result encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, imaging::byte_buffer* out) {
    if (!imaging::sides_ok(uint64_t(width), uint64_t(height))) return result::bad_media;
    auto** rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * size_t(height)));
    if (!rows) return result::no_memory;
    for (int32_t y = 0; y < height; ++y)
        rows[y] = const_cast<png_bytep>(reinterpret_cast<const uint8_t*>(pixels) + int64_t(y) * stride);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        if (png) png_destroy_write_struct(&png, nullptr);
        std::free(rows);
        return result::no_memory;
    }
    imaging::byte_sink s{out, false};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::free(rows);
        out->clear();
        return s.out_of_memory ? result::no_memory : result::bad_media;
    }
    png_set_write_fn(png, &s, write_bytes, flush_bytes);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::free(rows);
    return result::ok;
}

}  // namespace kel::png_codec
