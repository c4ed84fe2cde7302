// jpeg_codec: JPEG files over libjpeg-turbo, for the imaging services.
//
// Decoding turns grey, YCbCr/RGB and CMYK/YCCK files into opaque BGRA words
// (CMYK as stored by Adobe's writers is inverted, the others are not). A
// header claiming more pixels than the file's bytes can code is refused
// before anything is allocated.
// Encoding writes baseline RGB at quality 90; alpha is dropped. libjpeg
// reports errors through `error_exit`, which here jumps back into the one
// boundary function that made the call; such functions hold no C++ object
// across the library. Warnings and trace messages are dropped.
#pragma once
#include <cstddef>
#include <cstdint>

#include "services/codec_buffers.h"

namespace kel::jpeg_codec {

constexpr int quality = 90;

// No JPEG codes more pixels than this per byte of its file: every 8x8 block
// of the most finely sampled component costs at least one bit of entropy
// data (512 pixels a byte), and the bound keeps a margin over that. A header
// claiming more describes data the file does not have; left to the library,
// such a file of a few hundred bytes fills gigabytes with made-up blocks.
constexpr uint64_t max_pixels_per_byte = 1024;
// Whether `bytes` of JPEG data can hold a width x height picture.
bool plausible_size(uint64_t width, uint64_t height, size_t bytes);

imaging::result decode(const uint8_t* data, size_t size, const imaging::pixel_target& target);
imaging::result encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride,
                       imaging::byte_buffer* out);

}  // namespace kel::jpeg_codec
