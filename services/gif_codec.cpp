// gif_codec: see gif_codec.h.
#include "services/gif_codec.h"

#include <gif_lib.h>

#include <algorithm>
#include <vector>

namespace kel::gif_codec {

using imaging::result;

namespace {

int read_bytes(GifFileType* gif, GifByteType* out, int count) {
    auto* s = static_cast<imaging::byte_source*>(gif->UserData);
    if (count <= 0) return 0;
    const size_t n = std::min(size_t(count), s->size - s->at);
    std::memcpy(out, s->data + s->at, n);
    s->at += n;
    return int(n);
}

int write_bytes(GifFileType* gif, const GifByteType* bytes, int count) {
    auto* s = static_cast<imaging::byte_sink*>(gif->UserData);
    if (count < 0 || !s->out->append(bytes, size_t(count))) {
        s->out_of_memory = true;
        return 0;
    }
    return count;
}

// Closes the decoder on every way out.
struct open_decoder {
    GifFileType* gif;
    ~open_decoder() {
        int error = 0;
        if (gif) (void)DGifCloseFile(gif, &error);
    }
};

// Reads records up to the first image descriptor; its transparent index
// (or -1) comes from the last graphic control extension before it.
bool find_first_frame(GifFileType* gif, int* transparent) {
    *transparent = -1;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
        if (type == IMAGE_DESC_RECORD_TYPE) return DGifGetImageDesc(gif) != GIF_ERROR;
        if (type == TERMINATE_RECORD_TYPE) return false;
        if (type != EXTENSION_RECORD_TYPE) continue;
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
        if (code == GRAPHICS_EXT_FUNC_CODE && block) {
            GraphicsControlBlock gcb;
            if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) *transparent = gcb.TransparentColor;
        }
        while (block)
            if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
}

// --- the palette of an encoding ------------------------------------------------------

constexpr uint32_t transparent_alpha = 0;
inline uint32_t rgb_of(uint32_t word) { return word & 0xFFFFFFu; }
inline uint32_t bin_of(uint32_t rgb) { return (rgb >> 9 & 0x7C00u) | (rgb >> 6 & 0x3E0u) | (rgb >> 3 & 0x1Fu); }

struct palette {
    std::vector<uint32_t> colours;    // RGB words
    std::vector<int32_t> exact;       // open-addressing table of colour -> index, when exact
    std::vector<uint8_t> nearest;     // 5-5-5 bin -> index, when cut
    bool cut = false;
    int32_t slot_of(uint32_t rgb) const {
        const size_t mask = exact.size() - 1;
        size_t i = (rgb * 2654435761u) & mask;
        while (exact[i] >= 0 && colours[size_t(exact[i])] != rgb) i = (i + 1) & mask;
        return int32_t(i);
    }
    uint8_t index_of(uint32_t rgb) const {
        return cut ? nearest[bin_of(rgb)] : uint8_t(exact[size_t(slot_of(rgb))]);
    }
};

// The image's own colours, or false when there are more than max_colours.
bool exact_palette(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, palette* p) {
    p->exact.assign(1024, -1);
    for (int32_t y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) + y * stride);
        for (int32_t x = 0; x < width; ++x) {
            if (row[x] >> 24 == transparent_alpha) continue;
            const uint32_t rgb = rgb_of(row[x]);
            const int32_t slot = p->slot_of(rgb);
            if (p->exact[size_t(slot)] >= 0) continue;
            if (p->colours.size() == max_colours) return false;
            p->exact[size_t(slot)] = int32_t(p->colours.size());
            p->colours.push_back(rgb);
        }
    }
    return true;
}

struct box {
    int lo[3], hi[3];  // bin coordinates (5 bits each), inclusive
    uint64_t count;
};

// Median cut over the 5-5-5 histogram: the box with the longest side (of
// those holding more than one bin) is split at the median of its pixels
// along that side, until max_colours boxes or none can be split.
void cut_palette(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, palette* p) {
    constexpr int bins = 1 << 15;
    std::vector<uint64_t> count(bins, 0), sum(size_t(bins) * 3, 0);
    for (int32_t y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) + y * stride);
        for (int32_t x = 0; x < width; ++x) {
            if (row[x] >> 24 == transparent_alpha) continue;
            const uint32_t b = bin_of(rgb_of(row[x]));
            ++count[b];
            sum[b * 3] += row[x] >> 16 & 0xFF;
            sum[b * 3 + 1] += row[x] >> 8 & 0xFF;
            sum[b * 3 + 2] += row[x] & 0xFF;
        }
    }
    auto at = [](const int c[3]) { return size_t(c[0] << 10 | c[1] << 5 | c[2]); };
    // Shrinks a box to the bins it really holds and counts its pixels.
    auto fit = [&](box& bx) {
        int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
        bx.count = 0;
        int c[3];
        for (c[0] = bx.lo[0]; c[0] <= bx.hi[0]; ++c[0])
            for (c[1] = bx.lo[1]; c[1] <= bx.hi[1]; ++c[1])
                for (c[2] = bx.lo[2]; c[2] <= bx.hi[2]; ++c[2]) {
                    const uint64_t n = count[at(c)];
                    if (!n) continue;
                    bx.count += n;
                    for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], c[k]), hi[k] = std::max(hi[k], c[k]);
                }
        for (int k = 0; k < 3; ++k) bx.lo[k] = lo[k], bx.hi[k] = hi[k];
    };
    std::vector<box> boxes{box{{0, 0, 0}, {31, 31, 31}, 0}};
    fit(boxes[0]);
    while (boxes.size() < size_t(max_colours)) {
        int best = -1, best_side = 0, axis = 0;
        for (size_t i = 0; i < boxes.size(); ++i)
            for (int k = 0; k < 3; ++k)
                if (boxes[i].hi[k] - boxes[i].lo[k] > best_side)
                    best = int(i), best_side = boxes[i].hi[k] - boxes[i].lo[k], axis = k;
        if (best < 0) break;
        box& bx = boxes[size_t(best)];
        // Pixels per plane along the axis, then the plane where half is reached.
        uint64_t plane[32] = {};
        int c[3];
        for (c[0] = bx.lo[0]; c[0] <= bx.hi[0]; ++c[0])
            for (c[1] = bx.lo[1]; c[1] <= bx.hi[1]; ++c[1])
                for (c[2] = bx.lo[2]; c[2] <= bx.hi[2]; ++c[2]) plane[c[axis]] += count[at(c)];
        uint64_t running = 0;
        int split = bx.lo[axis];
        for (int v = bx.lo[axis]; v < bx.hi[axis]; ++v) {
            running += plane[v];
            split = v;
            if (running * 2 >= bx.count) break;
        }
        box upper = bx;
        bx.hi[axis] = split;
        upper.lo[axis] = split + 1;
        fit(bx);
        fit(upper);
        boxes.push_back(upper);
    }
    for (const box& bx : boxes) {
        uint64_t n = 0, s[3] = {0, 0, 0};
        int c[3];
        for (c[0] = bx.lo[0]; c[0] <= bx.hi[0]; ++c[0])
            for (c[1] = bx.lo[1]; c[1] <= bx.hi[1]; ++c[1])
                for (c[2] = bx.lo[2]; c[2] <= bx.hi[2]; ++c[2]) {
                    const size_t b = at(c);
                    n += count[b];
                    for (int k = 0; k < 3; ++k) s[k] += sum[b * 3 + size_t(k)];
                }
        if (!n) continue;
        p->colours.push_back(uint32_t((s[0] + n / 2) / n) << 16 | uint32_t((s[1] + n / 2) / n) << 8 |
                             uint32_t((s[2] + n / 2) / n));
    }
    p->cut = true;
    p->nearest.assign(bins, 0);
    for (uint32_t b = 0; b < uint32_t(bins); ++b) {
        if (!count[b]) continue;
        const int r = int(sum[b * 3] / count[b]), g = int(sum[b * 3 + 1] / count[b]), bl = int(sum[b * 3 + 2] / count[b]);
        int best = 0, best_distance = 1 << 30;
        for (size_t i = 0; i < p->colours.size(); ++i) {
            const int dr = r - int(p->colours[i] >> 16), dg = g - int(p->colours[i] >> 8 & 0xFF),
                      db = bl - int(p->colours[i] & 0xFF);
            const int d = dr * dr + dg * dg + db * db;
            if (d < best_distance) best_distance = d, best = int(i);
        }
        p->nearest[b] = uint8_t(best);
    }
}

}  // namespace

result decode(const uint8_t* data, size_t size, const imaging::pixel_target& target) {
    imaging::byte_source src{data, size, 0};
    int error = 0;
    open_decoder d{DGifOpen(&src, read_bytes, &error)};
    if (!d.gif) return error == D_GIF_ERR_NOT_ENOUGH_MEM ? result::no_memory : result::bad_media;
    int transparent = -1;
    if (!find_first_frame(d.gif, &transparent)) return result::bad_media;
    const GifImageDesc& frame = d.gif->Image;
    if (frame.Width <= 0 || frame.Height <= 0 || !imaging::sides_ok(uint64_t(frame.Width), uint64_t(frame.Height)))
        return result::bad_media;
    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : d.gif->SColorMap;
    if (!map || !map->Colors) return result::bad_media;
    uint32_t colour[256];
    for (int i = 0; i < 256; ++i) {
        const GifColorType c = i < map->ColorCount ? map->Colors[i] : GifColorType{0, 0, 0};
        colour[i] = 0xFF000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
    }
    if (transparent >= 0 && transparent < 256) colour[transparent] = 0;
    const int32_t width = frame.Width, height = frame.Height;
    int64_t stride = 0;
    auto* base = reinterpret_cast<uint8_t*>(target.make(target.context, width, height, &stride));
    if (!base) return result::no_memory;
    std::vector<GifPixelType> line(static_cast<size_t>(width), 0);
    // Interlaced rows come in four passes: every 8th from 0, every 8th from
    // 4, every 4th from 2, every 2nd from 1.
    static const int first[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    const int passes = frame.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass)
        for (int32_t y = frame.Interlace ? first[pass] : 0; y < height; y += frame.Interlace ? step[pass] : 1) {
            if (DGifGetLine(d.gif, line.data(), width) == GIF_ERROR) return result::bad_media;
            auto* row = reinterpret_cast<uint32_t*>(base + y * stride);
            for (int32_t x = 0; x < width; ++x) row[x] = colour[line[size_t(x)]];
        }
    return result::ok;
}

result encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, imaging::byte_buffer* out) {
    if (!imaging::sides_ok(uint64_t(width), uint64_t(height))) return result::bad_media;
    palette p;
    bool any_transparent = false;
    try {
        if (!exact_palette(pixels, width, height, stride, &p)) {
            p = palette{};
            cut_palette(pixels, width, height, stride, &p);
        }
        for (int32_t y = 0; y < height && !any_transparent; ++y) {
            const auto* row =
                reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) + y * stride);
            for (int32_t x = 0; x < width; ++x)
                if (row[x] >> 24 == transparent_alpha) {
                    any_transparent = true;
                    break;
                }
        }
    } catch (const std::bad_alloc&) {
        return result::no_memory;
    }
    const int transparent = any_transparent ? int(p.colours.size()) : -1;
    const int used = int(p.colours.size()) + (any_transparent ? 1 : 0);
    int bits = 1;
    while ((1 << bits) < used) ++bits;
    GifColorType table[256] = {};
    for (size_t i = 0; i < p.colours.size(); ++i)
        table[i] = GifColorType{GifByteType(p.colours[i] >> 16), GifByteType(p.colours[i] >> 8),
                                GifByteType(p.colours[i])};
    ColorMapObject* map = GifMakeMapObject(1 << bits, table);
    if (!map) return result::no_memory;
    auto* line = static_cast<GifPixelType*>(std::malloc(size_t(width)));
    imaging::byte_sink s{out, false};
    int error = 0;
    GifFileType* gif = line ? EGifOpen(&s, write_bytes, &error) : nullptr;
    if (!gif) {
        GifFreeMapObject(map);
        std::free(line);
        return result::no_memory;
    }
    EGifSetGifVersion(gif, true);
    bool ok = EGifPutScreenDesc(gif, width, height, 8, 0, map) != GIF_ERROR;
    if (ok && transparent >= 0) {
        GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, transparent};
        GifByteType extension[4];
        const size_t length = EGifGCBToExtension(&gcb, extension);
        ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension) != GIF_ERROR;
    }
    ok = ok && EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) != GIF_ERROR;
    for (int32_t y = 0; ok && y < height; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) + y * stride);
        for (int32_t x = 0; x < width; ++x)
            line[x] = row[x] >> 24 == transparent_alpha ? GifPixelType(transparent) : p.index_of(rgb_of(row[x]));
        ok = EGifPutLine(gif, line, width) != GIF_ERROR;
    }
    // Closing writes the trailer and frees the encoder whatever happened.
    ok = EGifCloseFile(gif, &error) != GIF_ERROR && ok;
    GifFreeMapObject(map);
    std::free(line);
    if (ok) return result::ok;
    out->clear();
    return s.out_of_memory ? result::no_memory : result::bad_media;
}

}  // namespace kel::gif_codec
