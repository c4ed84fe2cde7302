// codec_buffers: the plain buffers the library-backed image codecs (PNG,
// JPEG, GIF, TIFF) trade in, below any Kel value.
//
// A decoder reads the header first, asks its `pixel_target` for a store of
// width x height pixels, and only then decodes into it, so a refused size
// allocates nothing. A target that answers null ends the decoding cleanly
// (`no_memory`), every library resource released: image_codecs uses that to
// learn the size, make the image! outside any decoder, and decode again.
//
// An encoder writes into a `byte_buffer`, a malloc'ed growing array that the
// C libraries' output callbacks append to without throwing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kel::imaging {

enum class result : uint8_t {
    ok,
    bad_media,  // not a file of this format, damaged, or a side above 65535
    no_memory,  // the store or the output could not be allocated
};

// Pixels are 32-bit words 0xAARRGGBB (memory order B, G, R, A), straight alpha.
constexpr int32_t max_side = 0xFFFF;

struct pixel_target {
    // Answers row 0 of a store of width x height pixels and the bytes from
    // one row to the next, or null when it cannot be had. Called at most once.
    uint32_t* (*make)(void* context, int32_t width, int32_t height, int64_t* stride) = nullptr;
    void* context = nullptr;
    // The stores `make` answers hold 0 (transparent black) in every pixel, so
    // a decoder need not write pixels its file leaves out.
    bool zeroed = false;
};

// Checks the sides a header claims before any pixel is allocated.
inline bool sides_ok(uint64_t width, uint64_t height) {
    return width > 0 && height > 0 && width <= uint64_t(max_side) && height <= uint64_t(max_side);
}

class byte_buffer {
public:
    byte_buffer() = default;
    ~byte_buffer() { std::free(data_); }
    byte_buffer(const byte_buffer&) = delete;
    byte_buffer& operator=(const byte_buffer&) = delete;

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // False when the memory cannot be had; the contents are then unchanged.
    bool append(const void* bytes, size_t count) {
        if (count > SIZE_MAX - size_ || !reserve(size_ + count)) return false;
        if (count) std::memcpy(data_ + size_, bytes, count);
        size_ += count;
        return true;
    }
    // Writes at `at`, growing (zero-filled) as far as needed: TIFF seeks.
    bool write_at(size_t at, const void* bytes, size_t count) {
        if (at > SIZE_MAX - count || !reserve(at + count)) return false;
        if (at > size_) std::memset(data_ + size_, 0, at - size_);
        if (count) std::memcpy(data_ + at, bytes, count);
        if (at + count > size_) size_ = at + count;
        return true;
    }
    void clear() { size_ = 0; }

private:
    bool reserve(size_t wanted) {
        if (wanted <= capacity_) return true;
        size_t grown = capacity_ < 4096 ? 4096 : capacity_;
        while (grown < wanted) grown = grown > SIZE_MAX / 2 ? wanted : grown * 2;
        auto* moved = static_cast<uint8_t*>(std::realloc(data_, grown));
        if (!moved) return false;
        data_ = moved;
        capacity_ = grown;
        return true;
    }
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Where a decoder's read callback stands in an input held in memory.
struct byte_source {
    const uint8_t* data;
    size_t size;
    size_t at;
};

// What an encoder's write callback appends to; `out_of_memory` tells a
// failed append from the library's own refusal once the library gives up.
struct byte_sink {
    byte_buffer* out;
    bool out_of_memory;
};

// A store in plain heap memory, for the fuzz drivers and the benchmarks:
// `pixels` is malloc'ed (free it) and `width`, `height` set by make.
struct heap_pixels {
    uint32_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    uint64_t limit = uint64_t(1) << 26;  // pixels; a larger store is refused
    pixel_target target() {
        pixel_target t;
        t.context = this;
        t.make = [](void* c, int32_t w, int32_t h, int64_t* stride) -> uint32_t* {
            auto* self = static_cast<heap_pixels*>(c);
            if (uint64_t(w) * uint64_t(h) > self->limit) return nullptr;
            self->pixels = static_cast<uint32_t*>(std::malloc(size_t(w) * size_t(h) * 4));
            self->width = w;
            self->height = h;
            *stride = int64_t(w) * 4;
            return self->pixels;
        };
        return t;
    }
};

}  // namespace kel::imaging
