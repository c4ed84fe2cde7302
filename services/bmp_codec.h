// bmp_codec: our own BMP reader and writer, part of the imaging services.
//
// The reader turns any common BMP file (core, info, V2 to V5 headers; 1, 4
// and 8 bits through a palette, 4 and 8 also run-length encoded; 16, 24 and
// 32 bits direct or through channel masks; rows bottom-up or top-down) into
// a new image! pixel store of straight-alpha BGRA words, eagerly. The bytes
// come from anywhere, so every field is checked against the end of the data
// before any pixel is allocated, and every size is computed in 64 bits;
// palette indices (and run-length codes) are checked in a first pass, so a
// refusal never leaves a half-made image. Pixels a run-length stream skips
// stay transparent black.
//
// The writer makes a 32-bit file with a 124-byte V5 header: top-down rows,
// BI_BITFIELDS with the masks of the store's own word order (so the pixels
// are copied as stored), colour space "Win ", intent 4. The clipboard's
// image format uses the same bitmap.
//
// Two layers: `parse`/`decode_pixels`/`write_file` work on plain buffers and
// never allocate or raise (the fuzz driver and the benchmark use them);
// `decode`/`encode` make the image! and binary! values. A file they refuse
// comes back as a `result` that the caller turns into access `bad-media`; a
// store that cannot be allocated raises no-memory like any other allocation.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/value.h"

namespace kel::bmp {

enum class result : uint8_t {
    ok,
    bad_media,  // not a BMP we read, or sizes that run past the bytes
    no_memory,  // the store or the binary could not be allocated
};

constexpr uint32_t file_header_bytes = 14;
constexpr uint32_t v5_header_bytes = 124;
constexpr uint32_t written_pixel_offset = file_header_bytes + v5_header_bytes;

// A checked description of a file: everything decode_pixels needs.
struct layout {
    int32_t width = 0;
    int32_t height = 0;
    bool top_down = false;
    uint16_t bits = 0;             // 1, 4, 8, 16, 24, 32
    uint64_t pixel_offset = 0;     // first byte of the first stored row
    uint64_t row_bytes = 0;        // stored row length, padding included
    uint64_t palette_offset = 0;
    uint32_t palette_entries = 0;  // entries usable as indices (at most 2^bits)
    uint32_t palette_entry_bytes = 4;
    uint32_t masks[4] = {};        // R, G, B, A for 16 and 32 bits (A 0: opaque)
    bool rle = false;              // 8 or 4 bits run-length encoded (rows bottom-up)
};

// Checks the header, the palette, the masks, the pixel area and (for palette
// files) every index against the bytes; `ok` fills `out`.
result parse(const uint8_t* data, size_t size, layout* out);
// Writes width x height BGRA words, top row first, `stride` bytes apart.
// `data` and `size` must be the ones `parse` accepted. A `zeroed` store is
// all 0 already: the pixels a run-length stream skips are not written, so a
// small file whose header claims a huge mostly skipped bitmap touches only
// the memory of the pixels it sets.
void decode_pixels(const uint8_t* data, size_t size, const layout& lay, uint32_t* pixels, int64_t stride,
                   bool zeroed = false);

// The size of the file write_file makes (no check of the 32-bit fields).
uint64_t encoded_size(int32_t width, int32_t height);
// Writes the whole file into `out` (encoded_size bytes).
void write_file(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, uint8_t* out);

// A new image! in `image` (a rooted cell) from the bytes. The bytes must not
// move during the call: a binary's buffer is pinned by the caller.
result decode(const uint8_t* data, size_t size, kel_value* image);
// A new binary! in `binary` (a rooted cell) holding the image as a file. An
// image with a side of 0 gives a file of no pixels; what a codec makes of
// that is the caller's choice.
result encode(const kel_value* image, kel_value* binary);

}  // namespace kel::bmp
