// image: the image! datatype (id 53, parent series!) and its pixel store.
//
// An image is a series of 32-bit pixels whose storage is not a series buffer:
// the pixels sit in one plain buffer from the C heap (the collector never
// moves it), owned by an entry of the external handle table of kind "image".
// The cell holds word 1 the head index in pixels, word 2 the node of the
// image record, word 3 the size word width OR (height << 16). The record is
// a 24-byte byte series of six 32-bit words: flags, source, bitmap, size,
// handle, device. Only the flags (bit 0: the record owns a pixel buffer;
// bit 1: pixels were written since the GUI last looked), the size and the
// handle index are used here; source, bitmap and device stay 0 until a
// platform layer attaches objects of its own.
//
// Pixels are the words 0xAARRGGBB (memory order B, G, R, A), straight alpha.
// As a value a pixel is the tuple R.G.B.T with T = 255 - A (a transparency).
// Marking an image marks its record and the record's handle entry; an entry
// that no image marks is swept and its buffer freed by the kind's release.
// Pixel bytes spend a collection budget of their own (the series memory
// never sees them), so dropped images are collected as they mount up.
// Every pixel access goes through a lock that answers pointer and stride.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::image {

constexpr uint32_t max_side = 0xFFFFu;
constexpr uint32_t flag_buffer = 1u;   // record flag: the handle entry holds a pixel buffer
constexpr uint32_t flag_written = 2u;  // record flag: pixels were written (GUI caches are stale)

// Record words (32-bit, in order).
enum record_word : int { rec_flags = 0, rec_source, rec_bitmap, rec_size, rec_handle, rec_device, rec_words };

inline int32_t width_of(const kel_value* image) { return static_cast<int32_t>(image->w3 & 0xFFFFu); }
inline int32_t height_of(const kel_value* image) { return static_cast<int32_t>(image->w3 >> 16); }
inline int64_t pixel_count(const kel_value* image) {
    return static_cast<int64_t>(width_of(image)) * height_of(image);
}

// --- records --------------------------------------------------------------------
// A new record with a fresh pixel buffer of width x height pixels, all 0
// (transparent black); the cell becomes an image at index 0 on it. `cell` must be
// rooted (an argument-stack cell) before the call. Sides above 65535 raise
// script `invalid-arg` with the size as a pair; more pixels than a signed
// 32-bit head index counts, or a buffer that cannot be allocated, raise
// internal `no-memory`.
void make_record(kel_value* cell, int32_t width, int32_t height);
int32_t pixel_width(uint32_t record);
int32_t pixel_height(uint32_t record);
// The record's written flag (for the GUI's caches), and clearing it.
bool written_q(const kel_value* image);
void clear_written(const kel_value* image);

// --- pixel access ---------------------------------------------------------------
struct pixel_lock {
    uint32_t* pixels = nullptr;  // row 0, pixel 0
    int32_t stride = 0;          // bytes from one row to the next
    int32_t width = 0;
    int32_t height = 0;
};
// A lock of the whole buffer; a write lock sets the written flag. Nothing in
// between may allocate a series (the record may move, the pixels do not).
pixel_lock lock_pixels(const kel_value* image, bool write);
inline void unlock_pixels(pixel_lock&) {}
uint32_t read_pixel(const kel_value* image, int64_t index);
void write_pixel(const kel_value* image, int64_t index, uint32_t word);

// Pixel word <-> tuple R.G.B.(255 - A); a 3-byte tuple counts as opaque.
uint32_t word_of_tuple(const kel_value* tuple);
void tuple_of_word(uint32_t word, kel_value* out);

// --- derived images (each result cell must be rooted) ----------------------------
// width x height pixels, all set to `fill` (a pixel word).
void make_filled(kel_value* result, int32_t width, int32_t height, uint32_t fill);
// The same from a make spec's parts (each may be null): a fill tuple (else
// white), RGB bytes in whole triples, transparency bytes (A = 255 - byte).
void make_filled(kel_value* result, int32_t width, int32_t height, const kel_value* fill, const kel_value* rgb_bytes,
                 const kel_value* transparency_bytes);
// A copy of `stride`-spaced rows of 32-bit BGRA pixels (stride 0: width x 4).
void from_pixels(kel_value* result, const uint32_t* pixels, int32_t width, int32_t height, int32_t stride);
void duplicate(kel_value* result, const kel_value* image);
// The rectangle x, y, width, height, cut to the image.
void copy_part(kel_value* result, const kel_value* image, int32_t x, int32_t y, int32_t width, int32_t height);
// A scaled copy by nearest neighbour.
void scale(kel_value* result, const kel_value* image, int32_t width, int32_t height);

// --- channels -------------------------------------------------------------------
enum channel : int { alpha = 0, rgb = 1, argb = 2 };
// A new binary (in `result`) of the channel for every pixel from the first.
void get_channel_data(const kel_value* image, int mode, kel_value* result);
// Writes a channel from the first pixel: from a binary (as far as it goes),
// a tuple or an integer (every pixel); another type raises script
// `invalid-arg` with the value. The owner is told.
void set_channel_data(const kel_value* image, const kel_value* value, int mode);

// foreach with a block of words: each word takes the next pixel as a tuple
// (none past the tail); false when no pixel is left.
bool foreach_next(const kel_value* words, kel_value* cursor, int32_t count);

// Collector marker: the record node and its handle entry.
void mark(const kel_value* cell);

registry::registration row();

}  // namespace kel::image
