// bmp_codec: the BMP reader and the 32-bit V5 writer (see bmp_codec.h).
//
// The reader checks first and decodes second: `parse` settles every offset
// and length against the size of the data (in 64-bit arithmetic, so no
// crafted field can wrap), and scans palette indices when the palette is
// shorter than the bit count can address; only then is the store made, and
// `decode_pixels` runs without a check left to fail.
#include "services/bmp_codec.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/image.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/signal.h"

namespace kel::bmp {

static_assert(std::endian::native == std::endian::little, "pixel words are copied as little-endian bytes");

namespace {

constexpr uint32_t core_header = 12, info_header = 40, v2_header = 52, v3_header = 56, v4_header = 108,
                   v5_header = 124;
constexpr uint32_t bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3;
constexpr uint32_t opaque = 0xFF000000u;

uint32_t rd16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t rd32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void wr16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void wr32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// One run of set bits, and nothing above the pixel's width.
bool mask_ok(uint32_t m, uint16_t bits) {
    if (m == 0) return false;
    if (bits == 16 && (m >> 16) != 0) return false;
    const uint32_t run = m >> std::countr_zero(m);
    return (run & (run + 1u)) == 0;
}

// How one mask becomes an 8-bit channel: shift the field down, then keep its
// top 8 bits, or widen a narrower field by repeating its bits (so the field's
// largest value gives 255 and 0 stays 0).
struct channel {
    uint32_t mask = 0;
    int shift = 0;
    int drop = 0;             // field wider than 8 bits: low bits dropped
    uint8_t widen[256] = {};  // field narrower than 8 bits: value -> 0..255
    bool narrow = false;

    explicit channel(uint32_t m) : mask(m) {
        if (m == 0) return;
        shift = std::countr_zero(m);
        const int n = std::popcount(m);
        if (n >= 8) {
            drop = n - 8;
            return;
        }
        narrow = true;
        for (uint32_t v = 0; v < (1u << n); ++v) {
            uint32_t out = 0;
            for (int pos = 8 - n; pos > -n; pos -= n) out |= pos >= 0 ? v << pos : v >> -pos;
            widen[v] = uint8_t(out);
        }
    }
    uint32_t get(uint32_t p) const {
        const uint32_t v = (p & mask) >> shift;
        return narrow ? widen[v] : (v >> drop) & 0xFFu;
    }
};

const uint8_t* row_of(const uint8_t* data, const layout& lay, int32_t y) {
    const int64_t stored = lay.top_down ? y : lay.height - 1 - y;
    return data + lay.pixel_offset + uint64_t(stored) * lay.row_bytes;
}

uint32_t index_at(const uint8_t* row, int32_t x, uint16_t bits) {
    switch (bits) {
        case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
        case 4: return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xFu;
        default: return row[x];
    }
}

// Runs a run-length stream (8 or 4 bits an index), calling put(x, row,
// index) for every pixel it sets, `row` counted as stored (bottom row
// first). Pixels past a row's end are dropped, the walk ends at the
// end-of-bitmap code, at the last row, or when the bytes run out (a file cut
// short keeps what it has). False when a run would read past the bytes or an
// index lies beyond the palette.
template <class Put>
bool walk_rle(const uint8_t* data, size_t size, const layout& lay, Put put) {
    const bool four = lay.bits == 4;
    uint64_t at = lay.pixel_offset;
    int64_t x = 0, row = 0;
    const auto emit = [&](uint32_t index) {
        if (index >= lay.palette_entries) return false;
        if (x < lay.width) put(int32_t(x), int32_t(row), index);
        ++x;
        return true;
    };
    while (row < lay.height && at + 2 <= size) {
        const uint32_t count = data[at], value = data[at + 1];
        at += 2;
        if (count > 0) {
            for (uint32_t k = 0; k < count; ++k)
                if (!emit(four ? (k & 1 ? value & 0xFu : value >> 4) : value)) return false;
        } else if (value == 0) {
            x = 0;
            ++row;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            if (at + 2 > size) return false;
            x += data[at];
            row += data[at + 1];
            at += 2;
        } else {
            const uint64_t bytes = four ? (value + 1) / 2 : value;
            if (at + bytes > size) return false;
            for (uint32_t k = 0; k < value; ++k) {
                const uint8_t b = data[at + (four ? k / 2 : k)];
                if (!emit(four ? (k & 1 ? b & 0xFu : b >> 4) : b)) return false;
            }
            at += (bytes + 1) & ~uint64_t(1);  // absolute runs end on a 16-bit boundary
        }
    }
    return true;
}

}  // namespace

result parse(const uint8_t* data, size_t size, layout* out) {
    if (!data || size < file_header_bytes + 4) return result::bad_media;
    if (data[0] != 'B' || data[1] != 'M') return result::bad_media;
    const uint64_t end = size;
    layout lay;
    lay.pixel_offset = rd32(data + 10);
    const uint32_t hsize = rd32(data + 14);
    if (hsize != core_header && hsize != info_header && hsize != v2_header && hsize != v3_header &&
        hsize != v4_header && hsize != v5_header)
        return result::bad_media;
    const uint64_t header_end = uint64_t(file_header_bytes) + hsize;
    if (header_end > end) return result::bad_media;
    const uint8_t* h = data + file_header_bytes;

    int64_t width, height;
    uint32_t compression = bi_rgb, colours_used = 0;
    if (hsize == core_header) {
        width = rd16(h + 4);
        height = rd16(h + 6);
        lay.bits = uint16_t(rd16(h + 10));
        lay.palette_entry_bytes = 3;
    } else {
        width = int32_t(rd32(h + 4));
        height = int32_t(rd32(h + 8));
        lay.bits = uint16_t(rd16(h + 14));
        compression = rd32(h + 16);
        colours_used = rd32(h + 32);
    }
    lay.top_down = height < 0;
    if (height < 0) height = -height;  // int64: INT32_MIN negates safely
    if (width <= 0 || height <= 0 || width > image::max_side || height > image::max_side) return result::bad_media;
    lay.width = int32_t(width);
    lay.height = int32_t(height);
    switch (lay.bits) {
        case 1: case 4: case 8: case 16: case 24: case 32: break;
        default: return result::bad_media;
    }

    uint64_t after_headers = header_end;
    if (lay.bits == 16) {
        lay.masks[0] = 0x7C00u, lay.masks[1] = 0x03E0u, lay.masks[2] = 0x001Fu;
    } else if (lay.bits == 32) {
        lay.masks[0] = 0x00FF0000u, lay.masks[1] = 0x0000FF00u, lay.masks[2] = 0x000000FFu;
    }
    if (compression == bi_bitfields) {
        if (lay.bits != 16 && lay.bits != 32) return result::bad_media;
        if (hsize == info_header) {
            // The three masks follow the header; there is no alpha mask.
            after_headers += 12;
            if (after_headers > end) return result::bad_media;
            for (int i = 0; i < 3; ++i) lay.masks[i] = rd32(h + info_header + 4 * i);
            lay.masks[3] = 0;
        } else {
            // The masks sit in the header: R, G, B (52 bytes), and A from 56 on.
            const int n = hsize == v2_header ? 3 : 4;
            for (int i = 0; i < n; ++i) lay.masks[i] = rd32(h + 40 + 4 * i);
            if (n == 3) lay.masks[3] = 0;
        }
        for (int i = 0; i < 3; ++i)
            if (!mask_ok(lay.masks[i], lay.bits)) return result::bad_media;
        if (lay.masks[3] != 0 && !mask_ok(lay.masks[3], lay.bits)) return result::bad_media;
    } else if (compression == bi_rle8 || compression == bi_rle4) {
        // Run-length rows are stored bottom-up only.
        if (lay.bits != (compression == bi_rle8 ? 8 : 4) || lay.top_down) return result::bad_media;
        lay.rle = true;
    } else if (compression != bi_rgb) {
        return result::bad_media;  // embedded JPEG or PNG, and anything unknown
    }

    if (lay.bits <= 8) {
        const uint64_t addressable = uint64_t(1) << lay.bits;
        const uint64_t entries = colours_used ? colours_used : addressable;
        lay.palette_offset = after_headers;
        if (lay.palette_offset + entries * lay.palette_entry_bytes > end) return result::bad_media;
        lay.palette_entries = uint32_t(std::min(entries, addressable));
    }

    if (lay.pixel_offset < header_end) return result::bad_media;
    if (lay.rle) {
        if (lay.pixel_offset > end || !walk_rle(data, size, lay, [](int32_t, int32_t, uint32_t) {}))
            return result::bad_media;
        *out = lay;
        return result::ok;
    }
    const uint64_t row_bits = uint64_t(lay.width) * lay.bits;
    lay.row_bytes = (row_bits + 31) / 32 * 4;
    // The last row need not carry its padding.
    const uint64_t need = lay.pixel_offset + lay.row_bytes * uint64_t(lay.height - 1) + (row_bits + 7) / 8;
    if (need > end) return result::bad_media;

    if (lay.bits <= 8 && lay.palette_entries < (1u << lay.bits)) {
        for (int32_t y = 0; y < lay.height; ++y) {
            const uint8_t* row = row_of(data, lay, y);
            for (int32_t x = 0; x < lay.width; ++x)
                if (index_at(row, x, lay.bits) >= lay.palette_entries) return result::bad_media;
        }
    }
    *out = lay;
    return result::ok;
}

void decode_pixels(const uint8_t* data, size_t size, const layout& lay, uint32_t* pixels, int64_t stride,
                   bool zeroed) {
    auto* base = reinterpret_cast<uint8_t*>(pixels);
    const int32_t w = lay.width;
    if (lay.bits <= 8) {
        uint32_t palette[256];
        const uint8_t* p = data + lay.palette_offset;
        for (uint32_t i = 0; i < lay.palette_entries; ++i, p += lay.palette_entry_bytes)
            palette[i] = opaque | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        if (lay.rle) {
            // Pixels the stream skips (deltas, short rows, an early end) stay transparent black.
            if (!zeroed)
                for (int32_t y = 0; y < lay.height; ++y) std::fill_n(reinterpret_cast<uint32_t*>(base + y * stride), w, 0u);
            walk_rle(data, size, lay, [&](int32_t x, int32_t row, uint32_t index) {
                reinterpret_cast<uint32_t*>(base + int64_t(lay.height - 1 - row) * stride)[x] = palette[index];
            });
            return;
        }
        for (int32_t y = 0; y < lay.height; ++y) {
            const uint8_t* row = row_of(data, lay, y);
            auto* dst = reinterpret_cast<uint32_t*>(base + y * stride);
            for (int32_t x = 0; x < w; ++x) dst[x] = palette[index_at(row, x, lay.bits)];
        }
        return;
    }
    if (lay.bits == 24) {
        for (int32_t y = 0; y < lay.height; ++y) {
            const uint8_t* s = row_of(data, lay, y);
            auto* dst = reinterpret_cast<uint32_t*>(base + y * stride);
            for (int32_t x = 0; x < w; ++x, s += 3) dst[x] = opaque | uint32_t(s[2]) << 16 | uint32_t(s[1]) << 8 | s[0];
        }
        return;
    }
    const bool store_order = lay.bits == 32 && lay.masks[0] == 0x00FF0000u && lay.masks[1] == 0x0000FF00u &&
                             lay.masks[2] == 0x000000FFu && (lay.masks[3] == 0 || lay.masks[3] == 0xFF000000u);
    if (store_order) {
        const bool fill_alpha = lay.masks[3] == 0;
        for (int32_t y = 0; y < lay.height; ++y) {
            auto* dst = reinterpret_cast<uint32_t*>(base + y * stride);
            std::memcpy(dst, row_of(data, lay, y), size_t(w) * 4);
            if (fill_alpha)
                for (int32_t x = 0; x < w; ++x) dst[x] |= opaque;
        }
        return;
    }
    const channel r(lay.masks[0]), g(lay.masks[1]), b(lay.masks[2]), a(lay.masks[3]);
    const bool has_alpha = lay.masks[3] != 0;
    for (int32_t y = 0; y < lay.height; ++y) {
        const uint8_t* s = row_of(data, lay, y);
        auto* dst = reinterpret_cast<uint32_t*>(base + y * stride);
        for (int32_t x = 0; x < w; ++x) {
            uint32_t p;
            if (lay.bits == 16) {
                p = rd16(s);
                s += 2;
            } else {
                p = rd32(s);
                s += 4;
            }
            const uint32_t alpha = has_alpha ? a.get(p) : 0xFFu;
            dst[x] = alpha << 24 | r.get(p) << 16 | g.get(p) << 8 | b.get(p);
        }
    }
}

uint64_t encoded_size(int32_t width, int32_t height) {
    return written_pixel_offset + uint64_t(std::max(width, 0)) * uint64_t(std::max(height, 0)) * 4u;
}

void write_file(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, uint8_t* out) {
    const uint64_t total = encoded_size(width, height);
    std::memset(out, 0, written_pixel_offset);
    out[0] = 'B';
    out[1] = 'M';
    wr32(out + 2, uint32_t(total));
    wr32(out + 10, written_pixel_offset);
    uint8_t* h = out + file_header_bytes;
    wr32(h + 0, v5_header_bytes);
    wr32(h + 4, uint32_t(width));
    wr32(h + 8, uint32_t(-int64_t(height)));  // negative: rows top-down
    wr16(h + 12, 1);
    wr16(h + 14, 32);
    wr32(h + 16, bi_bitfields);
    wr32(h + 20, uint32_t(total - written_pixel_offset));
    wr32(h + 24, 2835);  // 72 dots per inch, in dots per metre
    wr32(h + 28, 2835);
    wr32(h + 40, 0x00FF0000u);
    wr32(h + 44, 0x0000FF00u);
    wr32(h + 48, 0x000000FFu);
    wr32(h + 52, 0xFF000000u);
    wr32(h + 56, 0x57696E20u);  // "Win ": the system's colour space
    wr32(h + 108, 4);           // intent: perceptual images
    const auto* src = reinterpret_cast<const uint8_t*>(pixels);
    uint8_t* dst = out + written_pixel_offset;
    const size_t row = size_t(std::max(width, 0)) * 4;
    for (int32_t y = 0; y < height; ++y, dst += row) std::memcpy(dst, src + y * stride, row);
}

result decode(const uint8_t* data, size_t size, kel_value* img) {
    layout lay;
    const result r = parse(data, size, &lay);
    if (r != result::ok) return r;
    if (int64_t(lay.width) * lay.height > INT32_MAX) return result::no_memory;
    // A failed allocation raises no-memory through the usual path: the marks
    // are already unwound by then, so catching it here would leave them torn.
    image::make_record(img, lay.width, lay.height);
    image::pixel_lock lock = image::lock_pixels(img, true);
    decode_pixels(data, size, lay, lock.pixels, lock.stride, true);
    image::unlock_pixels(lock);
    return result::ok;
}

result encode(const kel_value* img, kel_value* bin) {
    const int32_t w = image::width_of(img), h = image::height_of(img);
    const uint64_t total = encoded_size(w, h);
    if (total > memory::max_capacity(1)) return result::no_memory;
    binary::init_cell(bin, uint32_t(total));
    auto* out = reinterpret_cast<uint8_t*>(memory::claim_tail_bytes(series_node(bin), uint32_t(total)));
    image::pixel_lock lock = image::lock_pixels(img, false);
    write_file(lock.pixels, lock.width, lock.height, lock.stride, out);
    image::unlock_pixels(lock);
    return result::ok;
}

}  // namespace kel::bmp
