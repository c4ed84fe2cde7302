// tiff_codec: see tiff_codec.h.
#include "services/tiff_codec.h"

#include <tiffio.h>

#include <algorithm>
#include <mutex>
#include <memory>
#include <new>

#include "platform/dynlib.h"
#include "services/jpeg_codec.h"

namespace kel::tiff_codec {

using imaging::result;

namespace {

// The libtiff entry points this codec calls, typed by the library's own
// declarations; the library is opened at the first TIFF read or written.
struct tiff_api {
    decltype(&TIFFClientOpen) client_open;
    decltype(&TIFFClose) close;
    decltype(&TIFFDefaultStripSize) default_strip_size;
    decltype(&TIFFFlush) flush;
    decltype(&TIFFGetField) get_field;
    decltype(&TIFFSetField) set_field;
    decltype(&TIFFRGBAImageOK) rgba_image_ok;
    decltype(&TIFFRGBAImageBegin) rgba_image_begin;
    decltype(&TIFFRGBAImageGet) rgba_image_get;
    decltype(&TIFFRGBAImageEnd) rgba_image_end;
    decltype(&TIFFSetErrorHandler) set_error_handler;
    decltype(&TIFFSetWarningHandler) set_warning_handler;
    decltype(&TIFFWriteScanline) write_scanline;
    decltype(&TIFFReadEncodedStrip) read_encoded_strip;
    decltype(&TIFFScanlineSize) scanline_size;
    decltype(&TIFFIsTiled) is_tiled;
    decltype(&TIFFReadEncodedTile) read_encoded_tile;
    decltype(&TIFFTileSize) tile_size;
};

tiff_api lib;
bool lib_loaded = false;

void load_tiff() {
    static const char* const names[] = {"libtiff.so.6", "libtiff.so.5", "libtiff.so", nullptr};
    void* h = platform::dynlib::open(names);
    using platform::dynlib::bind;
    lib_loaded = h && bind(h, "TIFFClientOpen", lib.client_open) && bind(h, "TIFFClose", lib.close) &&
                 bind(h, "TIFFDefaultStripSize", lib.default_strip_size) && bind(h, "TIFFFlush", lib.flush) &&
                 bind(h, "TIFFGetField", lib.get_field) && bind(h, "TIFFSetField", lib.set_field) &&
                 bind(h, "TIFFRGBAImageOK", lib.rgba_image_ok) &&
                 bind(h, "TIFFRGBAImageBegin", lib.rgba_image_begin) &&
                 bind(h, "TIFFRGBAImageGet", lib.rgba_image_get) && bind(h, "TIFFRGBAImageEnd", lib.rgba_image_end) &&
                 bind(h, "TIFFSetErrorHandler", lib.set_error_handler) &&
                 bind(h, "TIFFSetWarningHandler", lib.set_warning_handler) &&
                 bind(h, "TIFFWriteScanline", lib.write_scanline) &&
                 bind(h, "TIFFReadEncodedStrip", lib.read_encoded_strip) && bind(h, "TIFFScanlineSize", lib.scanline_size) &&
                 bind(h, "TIFFIsTiled", lib.is_tiled) && bind(h, "TIFFReadEncodedTile", lib.read_encoded_tile) &&
                 bind(h, "TIFFTileSize", lib.tile_size);
    if (!lib_loaded) return;
    // The library's messages would go to standard error.
    lib.set_error_handler(nullptr);
    lib.set_warning_handler(nullptr);
}

// False when libtiff cannot be had: TIFF data is then refused as bad media.
bool have_tiff() {
    static std::once_flag once;
    std::call_once(once, load_tiff);
    return lib_loaded;
}

// One file in memory: read from `data`, or (when `out` is set) written to
// and read back from `out`.
struct memory_file {
    const uint8_t* data = nullptr;
    size_t size = 0;
    imaging::byte_buffer* out = nullptr;
    uint64_t at = 0;
    bool out_of_memory = false;

    const uint8_t* bytes() const { return out ? out->data() : data; }
    uint64_t length() const { return out ? out->size() : size; }
};

memory_file* file_of(thandle_t h) { return static_cast<memory_file*>(h); }

tmsize_t read_proc(thandle_t h, void* buffer, tmsize_t count) {
    memory_file* f = file_of(h);
    if (count < 0) return -1;
    const uint64_t left = f->at < f->length() ? f->length() - f->at : 0;
    const uint64_t n = std::min<uint64_t>(uint64_t(count), left);
    if (n) std::memcpy(buffer, f->bytes() + f->at, size_t(n));
    f->at += n;
    return tmsize_t(n);
}

tmsize_t write_proc(thandle_t h, void* buffer, tmsize_t count) {
    memory_file* f = file_of(h);
    if (!f->out || count < 0 || f->at > SIZE_MAX) return -1;
    if (!f->out->write_at(size_t(f->at), buffer, size_t(count))) {
        f->out_of_memory = true;
        return -1;
    }
    f->at += uint64_t(count);
    return count;
}

toff_t seek_proc(thandle_t h, toff_t offset, int whence) {
    memory_file* f = file_of(h);
    uint64_t from = 0;
    if (whence == SEEK_CUR) from = f->at;
    else if (whence == SEEK_END) from = f->length();
    else if (whence != SEEK_SET) return toff_t(-1);
    uint64_t to;
    // Offsets past 2^62 are nonsense from a damaged directory, not positions.
    if (__builtin_add_overflow(from, uint64_t(offset), &to) || to > (uint64_t(1) << 62)) return toff_t(-1);
    f->at = to;
    return to;
}

int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t h) { return file_of(h)->length(); }

// Reading maps the bytes themselves, so strips are not copied once more.
int map_proc(thandle_t h, void** base, toff_t* size) {
    memory_file* f = file_of(h);
    if (f->out) return 0;
    *base = const_cast<uint8_t*>(f->data);
    *size = f->size;
    return 1;
}
void unmap_proc(thandle_t, void*, toff_t) {}

TIFF* open(memory_file* f, const char* mode) {
    if (!have_tiff()) return nullptr;
    return lib.client_open("memory", mode, f, read_proc, write_proc, seek_proc, close_proc, size_proc, map_proc,
                          unmap_proc);
}

struct open_tiff {
    TIFF* tif;
    ~open_tiff() {
        if (tif) lib.close(tif);
    }
};

// ABGR (R in the low byte) to 0xAARRGGBB; `premultiplied` colours are
// divided back to straight alpha.
inline uint32_t straight(uint32_t v, bool premultiplied) {
    const uint32_t a = v >> 24;
    uint32_t r = v & 0xFF, g = v >> 8 & 0xFF, b = v >> 16 & 0xFF;
    if (premultiplied && a < 255) {
        if (a == 0) return 0;
        r = std::min<uint32_t>(255, (r * 255 + a / 2) / a);
        g = std::min<uint32_t>(255, (g * 255 + a / 2) / a);
        b = std::min<uint32_t>(255, (b * 255 + a / 2) / a);
    }
    return a << 24 | r << 16 | g << 8 | b;
}

// Where a row of the file's 16-bit grey (and alpha) samples lands in the
// raster (ABGR words, oriented as the RGBA reader left them).
struct grey16_target {
    uint32_t* raster;
    uint32_t width, height;
    uint32_t samples_per_pixel;  // 1, or 2 with the alpha
    bool white_is_zero;
    bool flip_rows, flip_columns;

    // Puts the `count` pixels whose samples start at `samples`, the first at
    // column `column` of file row `row`, into the raster.
    void put(uint32_t row, uint32_t column, const uint16_t* samples, uint32_t count) const {
        uint32_t* to = raster + size_t(flip_rows ? height - 1 - row : row) * width;
        for (uint32_t i = 0; i < count; ++i) {
            const uint16_t* pixel = samples + size_t(i) * samples_per_pixel;
            uint32_t grey = pixel[0] >> 8;
            if (white_is_zero) grey = 255 - grey;
            const uint32_t alpha = samples_per_pixel == 2 ? pixel[1] >> 8 : 255;
            const uint32_t x = column + i;
            to[flip_columns ? width - 1 - x : x] = alpha << 24 | grey << 16 | grey << 8 | grey;
        }
    }

    size_t row_samples(uint32_t pixels) const { return size_t(pixels) * samples_per_pixel; }
};

grey16_target target_of(const TIFFRGBAImage& img, uint32_t* raster, uint32_t width, uint32_t height) {
    const uint16_t o = img.orientation;
    return {raster, width, height, img.samplesperpixel, img.photometric == PHOTOMETRIC_MINISWHITE,
            o == ORIENTATION_BOTLEFT || o == ORIENTATION_BOTRIGHT || o == ORIENTATION_LEFTBOT ||
                o == ORIENTATION_RIGHTBOT,
            o == ORIENTATION_TOPRIGHT || o == ORIENTATION_BOTRIGHT || o == ORIENTATION_RIGHTTOP ||
                o == ORIENTATION_RIGHTBOT};
}

bool grey16_from_strips(TIFF* tif, const grey16_target& into) {
    const uint32_t width = into.width, height = into.height;
    const size_t row_samples = into.row_samples(width);
    if (lib.scanline_size(tif) != tmsize_t(row_samples * 2)) return true;
    uint32_t rows_per_strip = height;
    (void)lib.get_field(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    rows_per_strip = std::clamp<uint32_t>(rows_per_strip, 1, height);
    // Nothing may throw here: the reader's state is still open.
    std::unique_ptr<uint16_t[]> samples(new (std::nothrow) uint16_t[row_samples * rows_per_strip]);
    if (!samples) return false;
    const tmsize_t strip_bytes = tmsize_t(row_samples * rows_per_strip * 2);
    for (uint32_t first = 0, strip = 0; first < height; first += rows_per_strip, ++strip) {
        const uint32_t rows = std::min(rows_per_strip, height - first);
        if (lib.read_encoded_strip(tif, strip, samples.get(), strip_bytes) < tmsize_t(rows * row_samples * 2))
            return false;
        for (uint32_t r = 0; r < rows; ++r) into.put(first + r, 0, samples.get() + r * row_samples, width);
    }
    return true;
}

// Tiles are numbered row by row across the image; each holds a whole
// tile's samples, those beyond the image's right and bottom edges unused.
bool grey16_from_tiles(TIFF* tif, const grey16_target& into) {
    uint32_t tile_width = 0, tile_height = 0;
    if (lib.get_field(tif, TIFFTAG_TILEWIDTH, &tile_width) != 1 ||
        lib.get_field(tif, TIFFTAG_TILELENGTH, &tile_height) != 1 || tile_width == 0 || tile_height == 0)
        return false;
    const size_t row_samples = into.row_samples(tile_width);
    const uint64_t tile_bytes = uint64_t(row_samples) * tile_height * 2;
    if (lib.tile_size(tif) != tmsize_t(tile_bytes)) return true;
    std::unique_ptr<uint16_t[]> samples(new (std::nothrow) uint16_t[row_samples * tile_height]);
    if (!samples) return false;
    const uint32_t across = uint32_t((uint64_t(into.width) + tile_width - 1) / tile_width);
    uint32_t tile = 0;
    for (uint64_t top = 0; top < into.height; top += tile_height) {
        const uint32_t rows = uint32_t(std::min<uint64_t>(tile_height, into.height - top));
        for (uint32_t i = 0; i < across; ++i, ++tile) {
            const uint32_t left = i * tile_width;
            const uint32_t columns = std::min(tile_width, into.width - left);
            if (lib.read_encoded_tile(tif, tile, samples.get(), tmsize_t(tile_bytes)) < tmsize_t(tile_bytes))
                return false;
            for (uint32_t r = 0; r < rows; ++r) into.put(uint32_t(top) + r, left, samples.get() + r * row_samples, columns);
        }
    }
    return true;
}

// The RGBA reader goes wrong on 16-bit grey: it drops the alpha (it keeps
// that of 8-bit grey), and in the right-hand tiles that the image only
// partly fills it takes the grey of the rows after the first from the wrong
// place. For such a file the samples are read into the raster here. False
// when they cannot be read.
bool read_grey16(TIFF* tif, const TIFFRGBAImage& img, uint32_t* raster, uint32_t width, uint32_t height) {
    const bool grey = img.photometric == PHOTOMETRIC_MINISBLACK || img.photometric == PHOTOMETRIC_MINISWHITE;
    const bool with_alpha = img.samplesperpixel == 2 && img.alpha;
    if (!grey || img.bitspersample != 16 || !(img.samplesperpixel == 1 || with_alpha) || !img.isContig) return true;
    const grey16_target into = target_of(img, raster, width, height);
    return lib.is_tiled(tif) ? grey16_from_tiles(tif, into) : grey16_from_strips(tif, into);
}

}  // namespace

result decode(const uint8_t* data, size_t size, const imaging::pixel_target& target) {
    memory_file f;
    f.data = data;
    f.size = size;
    open_tiff t{open(&f, "r")};
    if (!t.tif) return result::bad_media;
    uint32_t width = 0, height = 0;
    if (lib.get_field(t.tif, TIFFTAG_IMAGEWIDTH, &width) != 1 || lib.get_field(t.tif, TIFFTAG_IMAGELENGTH, &height) != 1)
        return result::bad_media;
    if (!imaging::sides_ok(width, height)) return result::bad_media;
    // JPEG-coded strips are filled in by the library where their data runs
    // out: a size they cannot code is refused as in a JPEG file.
    uint16_t compression = COMPRESSION_NONE;
    (void)lib.get_field(t.tif, TIFFTAG_COMPRESSION, &compression);
    if ((compression == COMPRESSION_JPEG || compression == COMPRESSION_OJPEG) &&
        !jpeg_codec::plausible_size(width, height, size))
        return result::bad_media;
    char message[1024];
    if (!lib.rgba_image_ok(t.tif, message)) return result::bad_media;
    int64_t stride = 0;
    uint32_t* pixels = target.make(target.context, int32_t(width), int32_t(height), &stride);
    if (!pixels) return result::no_memory;
    // The raster is one run of width x height words; a store with wider rows
    // takes it through a scratch raster.
    const bool direct = stride == int64_t(width) * 4;
    uint32_t* raster = direct ? pixels : static_cast<uint32_t*>(std::malloc(size_t(width) * height * 4));
    if (!raster) return result::no_memory;
    TIFFRGBAImage img;
    int ok = lib.rgba_image_begin(&img, t.tif, 1, message);
    bool premultiplied = false;
    if (ok) {
        // The library premultiplies unassociated alpha through this table:
        // made the identity, the colours of nearly transparent pixels come
        // through whole instead of being rounded away and divided back.
        // Associated alpha is handed on as stored, premultiplied.
        if (img.alpha == EXTRASAMPLE_UNASSALPHA && img.UaToAa)
            for (uint32_t a = 0; a < 256; ++a)
                for (uint32_t c = 0; c < 256; ++c) img.UaToAa[a << 8 | c] = uint8_t(c);
        premultiplied = img.alpha == EXTRASAMPLE_ASSOCALPHA;
        img.req_orientation = ORIENTATION_TOPLEFT;
        ok = lib.rgba_image_get(&img, raster, width, height);
        if (ok) ok = read_grey16(t.tif, img, raster, width, height);
        lib.rgba_image_end(&img);
    }
    if (ok)
        for (uint32_t y = 0; y < height; ++y) {
            const uint32_t* from = raster + size_t(y) * width;
            auto* to = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(pixels) + int64_t(y) * stride);
            for (uint32_t x = 0; x < width; ++x) to[x] = straight(from[x], premultiplied);
        }
    if (!direct) std::free(raster);
    return ok ? result::ok : result::bad_media;
}

result encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, imaging::byte_buffer* out) {
    if (!imaging::sides_ok(uint64_t(width), uint64_t(height))) return result::bad_media;
    auto* row = static_cast<uint8_t*>(std::malloc(size_t(width) * 4));
    if (!row) return result::no_memory;
    memory_file f;
    f.out = out;
    TIFF* tif = open(&f, "w");
    bool ok = tif != nullptr;
    const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
    ok = ok && lib.set_field(tif, TIFFTAG_IMAGEWIDTH, uint32_t(width)) == 1 &&
         lib.set_field(tif, TIFFTAG_IMAGELENGTH, uint32_t(height)) == 1 &&
         lib.set_field(tif, TIFFTAG_BITSPERSAMPLE, 8) == 1 && lib.set_field(tif, TIFFTAG_SAMPLESPERPIXEL, 4) == 1 &&
         lib.set_field(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) == 1 &&
         lib.set_field(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
         lib.set_field(tif, TIFFTAG_EXTRASAMPLES, 1, extra) == 1 &&
         lib.set_field(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
         lib.set_field(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) == 1 &&
         lib.set_field(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) == 1 &&
         lib.set_field(tif, TIFFTAG_ROWSPERSTRIP, lib.default_strip_size(tif, 0)) == 1;
    for (int32_t y = 0; ok && y < height; ++y) {
        const auto* from = reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) + y * stride);
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t v = from[x];
            row[x * 4] = uint8_t(v >> 16);
            row[x * 4 + 1] = uint8_t(v >> 8);
            row[x * 4 + 2] = uint8_t(v);
            row[x * 4 + 3] = uint8_t(v >> 24);
        }
        ok = lib.write_scanline(tif, row, uint32_t(y), 0) == 1;
    }
    // Flushing writes the last strip and the directory; its answer is the
    // only report of a failure there (closing answers nothing).
    ok = ok && lib.flush(tif) == 1;
    if (tif) lib.close(tif);
    std::free(row);
    if (ok) return result::ok;
    out->clear();
    return f.out_of_memory ? result::no_memory : result::bad_media;
}

}  // namespace kel::tiff_codec
