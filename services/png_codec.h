// png_codec: PNG files over libpng, for the imaging services.
//
// Decoding turns every PNG form (palette, grey, grey with alpha, RGB, RGBA,
// 1 to 16 bits, interlaced, tRNS) into straight-alpha BGRA words; 16-bit
// samples are scaled to 8 bits with rounding. Encoding writes 8-bit RGBA.
// libpng reports errors by longjmp: every libpng call sits in one of the two
// boundary functions below, which hold no C++ object across the library and
// turn the jump into a `result`. Warnings are dropped.
#pragma once
#include <cstddef>
#include <cstdint>

#include "services/codec_buffers.h"

namespace kel::png_codec {

imaging::result decode(const uint8_t* data, size_t size, const imaging::pixel_target& target);
imaging::result encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride,
                       imaging::byte_buffer* out);

}  // namespace kel::png_codec
