// gif_codec: GIF files over giflib, for the imaging services.
//
// Decoding takes the first frame only, at its own size, through the local
// colour table or else the global one; its transparent index (from the
// graphic control extension before it) becomes A = 0, indices past the table
// read as opaque black. Encoding makes its own palette: the image's colours
// as they are when there are at most 255 of them, else 255 colours from a
// median cut of the colours at 5 bits per channel, each pixel taking the
// nearest; pixels with A = 0 share one more index marked transparent, and
// every other pixel counts as opaque. giflib reports errors by return code;
// every one is checked.
#pragma once
#include <cstddef>
#include <cstdint>

#include "services/codec_buffers.h"

namespace kel::gif_codec {

constexpr int max_colours = 255;

imaging::result decode(const uint8_t* data, size_t size, const imaging::pixel_target& target);
imaging::result encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride,
                       imaging::byte_buffer* out);

}  // namespace kel::gif_codec
