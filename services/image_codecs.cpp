// image_codecs: see image_codecs.h.
#include "services/image_codecs.h"

#include <new>

#include "datatypes/binary.h"
#include "datatypes/image.h"
#include "datatypes/symbol.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"
#include "services/bmp_codec.h"
#include "services/gif_codec.h"
#include "services/jpeg_codec.h"
#include "services/png_codec.h"
#include "services/simple_io.h"
#include "services/tiff_codec.h"

namespace kel::image_codecs {

using imaging::result;

namespace {

const char* const names[format_count] = {"bmp", "png", "gif", "jpeg", "tiff"};

[[noreturn]] void bad_media(int32_t code) {
    kel_value name;
    init_cell(&name, types::word);
    name.w2 = symbol::intern(names[code]);
    fire(error_category::access, "bad-media", &name);
}
[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }

result bmp_decode(const uint8_t* data, size_t size, const imaging::pixel_target& target) {
    bmp::layout lay;
    if (bmp::parse(data, size, &lay) != bmp::result::ok) return result::bad_media;
    int64_t stride = 0;
    uint32_t* pixels = target.make(target.context, lay.width, lay.height, &stride);
    if (!pixels) return result::no_memory;
    bmp::decode_pixels(data, size, lay, pixels, stride, target.zeroed);
    return result::ok;
}

result bmp_encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride, imaging::byte_buffer* out) {
    const uint64_t total = bmp::encoded_size(width, height);
    if (total > UINT32_MAX) return result::no_memory;
    // The writer fills the whole file at once: make room, then write in place.
    if (!out->write_at(size_t(total) - 1, "", 1)) return result::no_memory;
    bmp::write_file(pixels, width, height, stride, const_cast<uint8_t*>(out->data()));
    return result::ok;
}

// A decoding runs twice: first to the point where the decoder asks for its
// store, whose size is noted and refused (so every library frame is left),
// then with the image! made in between. Making it may collect or raise, and
// neither may happen inside a library's frames or while a decoder holds
// resources that an unwinding would leak.
struct probe {
    bool asked = false;
    int32_t width = 0;
    int32_t height = 0;
};

uint32_t* note_size(void* context, int32_t width, int32_t height, int64_t*) {
    auto* p = static_cast<probe*>(context);
    p->asked = true;
    p->width = width;
    p->height = height;
    return nullptr;
}

struct made_store {
    image::pixel_lock lock;
};

uint32_t* hand_store(void* context, int32_t width, int32_t height, int64_t* stride) {
    auto* m = static_cast<made_store*>(context);
    if (width != m->lock.width || height != m->lock.height) return nullptr;
    *stride = m->lock.stride;
    return m->lock.pixels;
}

}  // namespace

const char* format_name(int32_t code) { return code >= 0 && code < format_count ? names[code] : nullptr; }

int32_t signature(const uint8_t* d, size_t n) {
    if (n >= 4 && d[0] == 0x89 && d[1] == 'P' && d[2] == 'N' && d[3] == 'G') return png;
    if (n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) return jpeg;
    if (n >= 2 && d[0] == 'B' && d[1] == 'M') return bmp;
    if (n >= 6 && d[0] == 'G' && d[1] == 'I' && d[2] == 'F' && d[3] == '8' && (d[4] == '7' || d[4] == '9') &&
        d[5] == 'a')
        return gif;
    if (n >= 4 && d[0] == 'I' && d[1] == 'I' && d[2] == '*' && d[3] == 0) return tiff;
    if (n >= 4 && d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == '*') return tiff;
    return -1;
}

result decode_buffer(int32_t code, const uint8_t* data, size_t size, const imaging::pixel_target& target) {
    try {
        switch (code) {
            case bmp: return bmp_decode(data, size, target);
            case png: return png_codec::decode(data, size, target);
            case gif: return gif_codec::decode(data, size, target);
            case jpeg: return jpeg_codec::decode(data, size, target);
            case tiff: return tiff_codec::decode(data, size, target);
            default: return result::bad_media;
        }
    } catch (const std::bad_alloc&) {
        return result::no_memory;
    }
}

result encode_buffer(int32_t code, const uint32_t* pixels, int32_t width, int32_t height, int64_t stride,
                     imaging::byte_buffer* out) {
    if (!imaging::sides_ok(uint64_t(width), uint64_t(height))) return result::bad_media;
    try {
        switch (code) {
            case bmp: return bmp_encode(pixels, width, height, stride, out);
            case png: return png_codec::encode(pixels, width, height, stride, out);
            case gif: return gif_codec::encode(pixels, width, height, stride, out);
            case jpeg: return jpeg_codec::encode(pixels, width, height, stride, out);
            case tiff: return tiff_codec::encode(pixels, width, height, stride, out);
            default: return result::bad_media;
        }
    } catch (const std::bad_alloc&) {
        return result::no_memory;
    }
}

void encode(const kel_value* image_cell, int32_t code, kel_value* out) {
    const kel_value img = *image_cell;
    if (!format_name(code)) {
        std_output::print_c_string("Cannot find image encoder\n");
        set_none(out);
        return;
    }
    if (img.w3 == 0) bad_media(code);
    imaging::byte_buffer bytes;
    if (image::width_of(&img) > 0 && image::height_of(&img) > 0) {
        // The pixels sit outside the series memory: nothing here moves them.
        image::pixel_lock lock = image::lock_pixels(&img, false);
        if (!lock.pixels) bad_media(code);
        const result r = encode_buffer(code, lock.pixels, lock.width, lock.height, lock.stride, &bytes);
        image::unlock_pixels(lock);
        if (r == result::no_memory) no_memory();
        if (r != result::ok || bytes.size() == 0) bad_media(code);
    }
    if (bytes.size() > memory::max_capacity(1)) no_memory();
    const auto total = static_cast<uint32_t>(bytes.size());
    binary::init_cell(out, total);
    if (total) std::memcpy(memory::claim_tail_bytes(series_node(out), total), bytes.data(), total);
}

bool decode_bytes(int32_t code, const uint8_t* data, size_t size, kel_value* out) {
    set_none(out);
    probe sizes;
    imaging::pixel_target target;
    target.make = note_size;
    target.context = &sizes;
    result r = decode_buffer(code, data, size, target);
    if (!sizes.asked) {
        if (r == result::no_memory) no_memory();
        return false;
    }
    // Sides an image holds but more pixels than its head index counts: the
    // file is refused like any other it cannot be, not as a want of memory.
    if (int64_t(sizes.width) * sizes.height > INT32_MAX) return false;
    image::make_record(out, sizes.width, sizes.height);
    made_store store{image::lock_pixels(out, true)};
    target.make = hand_store;
    target.context = &store;
    target.zeroed = true;  // image::make_record hands out zeroed pixels
    r = decode_buffer(code, data, size, target);
    image::unlock_pixels(store.lock);
    if (r == result::ok) return true;
    set_none(out);
    if (r == result::no_memory) no_memory();
    return false;
}

void from_binary(const kel_value* binary_cell, kel_value* out) {
    const kel_value bin = *binary_cell;
    const int32_t length = binary::ks_length_q(&bin);
    const uint8_t* head = length > 0 ? binary::ks_head(&bin) : nullptr;
    const int32_t code = head ? signature(head, size_t(length)) : -1;
    if (code < 0) {
        set_none(out);
        return;
    }
    bool decoded;
    {
        // Making the image may collect; the bytes the decoders read stay put.
        collector::pin_guard pin(&bin);
        decoded = decode_bytes(code, binary::ks_head(&bin), size_t(length), out);
    }
    if (!decoded) bad_media(code);
}

void decode_file(const kel_value* file, kel_value* out) {
    const kel_value f = *file;
    kel_value* bytes = stack::push_unset();
    simple_io::read_path(&f, nullptr, nullptr, true, false, bytes);
    const kel_value bin = *bytes;
    const int32_t length = type_of(&bin) == types::binary ? binary::ks_length_q(&bin) : 0;
    const int32_t code = length > 0 ? signature(binary::ks_head(&bin), size_t(length)) : -1;
    bool decoded = false;
    if (code >= 0) {
        collector::pin_guard pin(&bin);
        decoded = decode_bytes(code, binary::ks_head(&bin), size_t(length), out);
    }
    stack::drop_cells(1);
    // The file was read: what fails now is its content, as for the same
    // bytes from anywhere else (a file no codec knows is named itself).
    if (decoded) return;
    if (type_of(&bin) != types::binary) fire(error_category::access, "cannot-open", &f);  // a folder
    if (code >= 0) bad_media(code);
    fire(error_category::access, "bad-media", &f);
}

void decode(const kel_value* data, kel_value* out) {
    const kel_value d = *data;
    if (type_of(&d) == types::binary) from_binary(&d, out);
    else if (type_of(&d) == types::file) decode_file(&d, out);
    else platform::fire_invalid_arg(&d, types::binary);
}

}  // namespace kel::image_codecs
