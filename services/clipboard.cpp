// clipboard: see clipboard.h.
#include "services/clipboard.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/image.h"
#include "datatypes/string_api.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"
#include "platform/platform.h"
#include "services/image_codecs.h"
#include "services/uri_list.h"

namespace kel::clipboard {

namespace {

constexpr const char* text_formats[] = {"UTF8_STRING", "text/plain;charset=utf-8"};
constexpr const char* file_list_format = "text/uri-list";

struct image_format {
    const char* name;
    int32_t code;
};
// In the order they are read.
constexpr image_format image_formats[] = {
    {"image/png", image_codecs::png},
    {"image/jpeg", image_codecs::jpeg},
    {"image/gif", image_codecs::gif},
    {"image/bmp", image_codecs::bmp},
};
// PNG keeps every pixel as it is and is read first; the bitmap is for
// programs that take nothing else.
constexpr image_format written_images[] = {
    {"image/png", image_codecs::png},
    {"image/bmp", image_codecs::bmp},
};

// --- reading -------------------------------------------------------------------------------

void make_text(const std::string& bytes, kel_value* out) {
    const size_t end = std::min(bytes.find('\0'), bytes.size());
    kel_value* s = string::init_cell(stack::push_unset(), uint32_t(std::min<size_t>(end, 0x7FFFFFFF)));
    file::append_os_text(s, bytes.data(), end);
    *out = *s;
    stack::drop_cells(1);
}

void make_file_list(const std::vector<std::string>& paths, kel_value* out) {
    if (paths.size() > 0x7FFFFFFu) fire(error_category::internal, "no-memory");
    // Room for every name first, so adding one never grows the block while
    // the new name is held only here.
    kel_value* list = block::init_cell(stack::push_unset(), int32_t(paths.size()));
    for (const std::string& p : paths) {
        kel_value name;
        file::make_from_os_path(&name, p.data(), p.size());
        block::ks_add(list, &name);
    }
    *out = *list;
    stack::drop_cells(1);
}

bool make_image(int32_t code, const std::string& bytes, kel_value* out) {
    kel_value* img = stack::push_unset();
    const bool decoded =
        image_codecs::decode_bytes(code, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), img);
    *out = *img;
    stack::drop_cells(1);
    return decoded;
}

// --- writing -------------------------------------------------------------------------------

[[noreturn]] void invalid_arg(const kel_value* value) {
    const kel_value v = *value;
    fire(error_category::script, "invalid-arg", &v);
}

void offer_text(const kel_value* text, offer_list* formats) {
    const std::string bytes = file::to_os_text(text);
    for (const char* f : text_formats) formats->push_back({f, bytes});
}

std::string absolute(std::string path) {
    if (!path.empty() && path.front() == '/') return path;
    std::string cwd = platform::get_current_dir();
    if (cwd.empty() || cwd.back() != '/') cwd.push_back('/');
    return cwd + path;
}

void offer_file_list(const kel_value* list, offer_list* formats) {
    kel_value blk = *list;
    const int32_t count = block::ks_length_q(&blk);
    std::vector<std::string> paths;
    if (count > 0) {
        // Converting a name allocates no Kel value: the cells stay put.
        const kel_value* cells = block::ks_head(&blk);
        paths.reserve(size_t(count));
        for (int32_t i = 0; i < count; ++i) {
            const uint32_t t = type_of(&cells[i]);
            if (t != types::file && t != types::string) invalid_arg(&cells[i]);
            paths.push_back(absolute(file::to_os_path(&cells[i])));
        }
    }
    formats->push_back({file_list_format, uri_list::encode(paths)});
}

// False when an encoding cannot be made.
bool offer_image(const kel_value* img, offer_list* formats) {
    if (image::pixel_count(img) == 0) return true;
    image::pixel_lock lock = image::lock_pixels(img, false);
    if (!lock.pixels) return false;
    for (const image_format& f : written_images) {
        imaging::byte_buffer encoded;
        if (image_codecs::encode_buffer(f.code, lock.pixels, lock.width, lock.height, lock.stride, &encoded) !=
            imaging::result::ok) {
            image::unlock_pixels(lock);
            return false;
        }
        formats->push_back({f.name, std::string(reinterpret_cast<const char*>(encoded.data()), encoded.size())});
    }
    image::unlock_pixels(lock);
    return true;
}

// False when the data could not be prepared.
bool prepare(const kel_value* data, offer_list* formats) {
    switch (type_of(data)) {
        case types::none: return true;
        case types::string: offer_text(data, formats); return true;
        case types::block: offer_file_list(data, formats); return true;
        case types::image: return offer_image(data, formats);
        default: invalid_arg(data);
    }
}

}  // namespace

bool read(backend& from, kel_value* out) {
    std::string bytes;
    for (const char* f : text_formats) {
        const fetch_result r = from.fetch(f, &bytes);
        if (r == fetch_result::failed) return false;
        if (r == fetch_result::found) {
            make_text(bytes, out);
            return true;
        }
    }
    switch (from.fetch(file_list_format, &bytes)) {
        case fetch_result::failed: return false;
        case fetch_result::absent: break;
        case fetch_result::found: {
            const uri_list::parsed list = uri_list::decode(bytes);
            if (!list.paths.empty() || list.other_entries == 0) {
                make_file_list(list.paths, out);
                return true;
            }
            break;
        }
    }
    for (const image_format& f : image_formats) {
        const fetch_result r = from.fetch(f.name, &bytes);
        if (r == fetch_result::failed) return false;
        if (r == fetch_result::found) return make_image(f.code, bytes, out);
    }
    set_none(out);
    return true;
}

bool write(backend* to, const kel_value* data) {
    offer_list formats;
    if (!prepare(data, &formats)) return false;
    return to && to->offer(std::move(formats));
}

bool read_current(kel_value* out) {
    backend* b = current();
    return b && read(*b, out);
}

bool write_current(const kel_value* data) {
    // The value is checked before the clipboard is looked for.
    offer_list formats;
    if (!prepare(data, &formats)) return false;
    backend* b = current();
    return b && b->offer(std::move(formats));
}

}  // namespace kel::clipboard
