// image_codecs: the imaging layer's entry points between image! values and
// image files: the signature test, decoding of files and bytes (frame 0,
// eagerly, into a new pixel store of straight-alpha BGRA words) and encoding
// into a new binary! in one of five containers. The formats themselves live
// in png_codec, jpeg_codec, gif_codec, tiff_codec (over their C libraries)
// and bmp_codec (our own); this module picks one by its format code or the
// bytes' signature and turns the plain-buffer results into Kel values and
// errors. The codec routines of system/codecs call it.
//
// Errors: bytes with a known signature that do not decode, an encoding that
// fails, and an image whose size word is 0 raise access `bad-media` with the
// format's name; a file that cannot be read or decoded raises access
// `cannot-open` with the file; memory that cannot be had, internal
// `no-memory`. No error is raised while a C library's frames are live.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/value.h"
#include "services/codec_buffers.h"

namespace kel::image_codecs {

// The encoder format codes.
enum format : int32_t { bmp = 0, png = 1, gif = 2, jpeg = 3, tiff = 4 };
constexpr int32_t format_count = 5;
// "bmp", "png", ... or null for an unknown code.
const char* format_name(int32_t code);

// The format whose signature the bytes begin with, or -1: PNG 89 "PNG";
// JPEG FF D8 FF; BMP "BM"; GIF "GIF87a" or "GIF89a"; TIFF "II*" 00 or "MM" 00 "*".
int32_t signature(const uint8_t* data, size_t size);

// --- plain buffers (the fuzz drivers and benchmarks use these) --------------------------
imaging::result decode_buffer(int32_t code, const uint8_t* data, size_t size, const imaging::pixel_target& target);
// Sides of 0 are refused here (`bad_media`); `encode` below makes them empty.
imaging::result encode_buffer(int32_t code, const uint32_t* pixels, int32_t width, int32_t height, int64_t stride,
                              imaging::byte_buffer* out);

// --- Kel values: every result cell is one the caller keeps rooted -----------------------
// image/encode: the image as a file of the format in a new binary!. A size
// word of 0 raises `bad-media`; a side of 0 gives an empty binary; an
// unknown code prints "Cannot find image encoder" and gives none.
void encode(const kel_value* image, int32_t code, kel_value* result);
// image/decode: a binary! goes to from_binary, a file! to decode_file;
// another value raises script `invalid-arg`.
void decode(const kel_value* data, kel_value* result);
// image/decode-file.
void decode_file(const kel_value* file, kel_value* result);
// image/from-binary: none unless the bytes begin with a known signature.
void from_binary(const kel_value* binary, kel_value* result);
// image/decode-bytes: the bytes as a file of the format; false (result
// none) when they do not decode, and raising only for lack of memory. The
// bytes must not move during the call (a binary's buffer pinned).
bool decode_bytes(int32_t code, const uint8_t* data, size_t size, kel_value* result);

}  // namespace kel::image_codecs
