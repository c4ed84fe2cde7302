// image: see image.h. The record is re-read from its node after anything that
// may allocate (a collection moves it); the pixel buffer never moves, so a
// lock's pointer stays good across allocation as long as the image is rooted.
// Pixel counts are 64-bit throughout: 65535 x 65535 does not fit 32 bits.
#include "datatypes/image.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/integer.h"
#include "datatypes/runtime_words.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "kernel/collector.h"
#include "kernel/handles.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/ownership.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"

namespace kel::image {

namespace {

constexpr uint32_t white = 0xFFFFFFFFu;
constexpr uint32_t record_bytes = rec_words * 4;

uint32_t kind_number = 0;

void release_buffer(uintptr_t data) { std::free(reinterpret_cast<void*>(data)); }

// Pixel buffers live outside the series memory, so their bytes never spend
// the collector's budget: a loop that loads large images would fill the
// machine before a collection freed the ones dropped. They keep a budget of
// their own, spent since the collection counted in `budget_cycle`.
constexpr size_t pixel_budget = size_t{256} << 20;
size_t pixel_bytes_since_collection = 0;
int32_t budget_cycle = -1;

void spend_pixel_budget(size_t bytes) {
    if (budget_cycle != collector::stats.cycles) {
        budget_cycle = collector::stats.cycles;
        pixel_bytes_since_collection = 0;
    }
    if (pixel_bytes_since_collection + bytes > pixel_budget && pixel_bytes_since_collection > 0) {
        collector::collect_if_active();
        budget_cycle = collector::stats.cycles;
        pixel_bytes_since_collection = 0;
    }
    pixel_bytes_since_collection += bytes;
}

uint32_t kind() {
    if (kind_number == 0) {
        kind_number = externals::register_kind("image", release_buffer);
        if (kind_number == 0) fire(error_category::internal, "no-memory");
    }
    return kind_number;
}

inline uint32_t* record_of(uint32_t node) {
    memory::buffer_header* h = memory::buffer_of(node);
    return reinterpret_cast<uint32_t*>(h->data() + h->head);
}

// Null for an image without a record (a bare cell) or without a buffer.
inline uint32_t* pixels_of(const kel_value* image) {
    const uint32_t node = series_node(image);
    if (!memory::node_live_q(node) || memory::buffer_of(node)->used() < record_bytes) return nullptr;
    const uint32_t* r = record_of(node);
    if (!(r[rec_flags] & flag_buffer)) return nullptr;
    return reinterpret_cast<uint32_t*>(externals::data_of(static_cast<int32_t>(r[rec_handle])));
}

inline kel_value* arg(int n) { return stack::argument(n); }
inline const kel_value* ref_arg(const refinements& r, int i) {
    return r.has(i) ? stack::arguments() + r.at[i] : nullptr;
}

[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }

void notify(const kel_value* image, const char* word, const kel_value* value, int64_t index, int64_t count) {
    (void)ownership::notify(image, word, value, static_cast<int32_t>(index), static_cast<int32_t>(count));
}

// The height of the pixels an image really has: 0 for a cell without a
// buffer, so nothing reads through it.
int32_t stored_height(const kel_value* image) { return pixels_of(image) ? height_of(image) : 0; }

// The head clamped into 0 .. width x height.
int64_t head_of(const kel_value* image) {
    return std::clamp<int64_t>(series_head(image), 0, pixel_count(image));
}

}  // namespace

// --- records ------------------------------------------------------------------------

void make_record(kel_value* cell, int32_t width, int32_t height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (static_cast<uint32_t>(width) > max_side || static_cast<uint32_t>(height) > max_side) {
        kel_value size;
        set_pair(&size, width, height);
        fire(error_category::script, "invalid-arg", &size);
    }
    // Head indexes are signed 32-bit: no image may hold more pixels than they count.
    if (static_cast<int64_t>(width) * height > INT32_MAX) no_memory();
    const uint32_t k = kind();
    const uint32_t size_word = static_cast<uint32_t>(width) | (static_cast<uint32_t>(height) << 16);
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4u;
    spend_pixel_budget(bytes);  // before anything of the new image exists: it may collect
    const uint32_t node = memory::new_bytes(record_bytes);
    std::memset(memory::claim_tail_bytes(node, record_bytes), 0, record_bytes);
    set_series(cell, types::image, 0, node, size_word);  // the record is rooted from here on
    // Zeroed: a large store then comes as fresh pages that cost memory only
    // once written, so a decoder whose file leaves most pixels out does not
    // commit them all.
    void* pixels = std::calloc(std::max<size_t>(bytes, 4), 1);
    if (!pixels) {
        // Images no value holds any more may be what fills the heap.
        collector::collect_if_active();
        pixels = std::calloc(std::max<size_t>(bytes, 4), 1);
        if (!pixels) no_memory();
    }
    const int32_t handle = externals::store(reinterpret_cast<uintptr_t>(pixels), k);
    uint32_t* r = record_of(node);
    r[rec_flags] = flag_buffer;
    r[rec_size] = size_word;
    r[rec_handle] = static_cast<uint32_t>(handle);
}

int32_t pixel_width(uint32_t record) { return static_cast<int32_t>(record_of(record)[rec_size] & 0xFFFFu); }
int32_t pixel_height(uint32_t record) { return static_cast<int32_t>(record_of(record)[rec_size] >> 16); }

bool written_q(const kel_value* image) {
    return pixels_of(image) && (record_of(series_node(image))[rec_flags] & flag_written) != 0;
}
void clear_written(const kel_value* image) {
    if (pixels_of(image)) record_of(series_node(image))[rec_flags] &= ~flag_written;
}

void mark(const kel_value* cell) {
    const uint32_t node = cell->w2;
    if (!memory::node_live_q(node)) return;
    collector::mark_node(node);
    if (memory::buffer_of(node)->used() < record_bytes) return;
    const uint32_t* r = record_of(node);
    if (!(r[rec_flags] & flag_buffer) || kind_number == 0) return;
    const int32_t handle = static_cast<int32_t>(r[rec_handle]);
    if (externals::live_q(handle) && (externals::kind_word_of(handle) & externals::kind_mask) == kind_number)
        (void)externals::mark(handle);
}

// --- pixel access -------------------------------------------------------------------

pixel_lock lock_pixels(const kel_value* image, bool write) {
    pixel_lock lock;
    lock.pixels = pixels_of(image);
    lock.width = width_of(image);
    lock.height = height_of(image);
    lock.stride = lock.width * 4;
    if (!lock.pixels) lock.width = lock.height = lock.stride = 0;
    else if (write) record_of(series_node(image))[rec_flags] |= flag_written;
    return lock;
}

uint32_t read_pixel(const kel_value* image, int64_t index) { return pixels_of(image)[index]; }

void write_pixel(const kel_value* image, int64_t index, uint32_t word) {
    pixel_lock lock = lock_pixels(image, true);
    lock.pixels[index] = word;
    unlock_pixels(lock);
}

uint32_t word_of_tuple(const kel_value* tuple) {
    const uint8_t* b = tuple::bytes_of(tuple);
    const uint32_t a = tuple::count_of(tuple) >= 4 ? 255u - b[3] : 255u;
    return (a << 24) | (static_cast<uint32_t>(b[0]) << 16) | (static_cast<uint32_t>(b[1]) << 8) | b[2];
}

void tuple_of_word(uint32_t word, kel_value* out) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 8),
                              static_cast<uint8_t>(word), static_cast<uint8_t>(255u - (word >> 24))};
    set_none(out);  // the tuple keeps the cell's new-line marker: start from a clean cell
    tuple::init_cell(out, bytes, 4);
}

// --- derived images -----------------------------------------------------------------

void make_filled(kel_value* result, int32_t width, int32_t height, uint32_t fill) {
    make_record(result, width, height);
    pixel_lock lock = lock_pixels(result, true);
    std::fill_n(lock.pixels, pixel_count(result), fill);
    unlock_pixels(lock);
}

void make_filled(kel_value* result, int32_t width, int32_t height, const kel_value* fill, const kel_value* rgb_bytes,
                 const kel_value* transparency_bytes) {
    const kel_value f = fill ? *fill : kel_value{};
    make_filled(result, width, height, fill ? word_of_tuple(&f) : white);
    if (rgb_bytes) set_channel_data(result, rgb_bytes, rgb);
    if (transparency_bytes) set_channel_data(result, transparency_bytes, alpha);
    clear_written(result);
}

void from_pixels(kel_value* result, const uint32_t* pixels, int32_t width, int32_t height, int32_t stride) {
    make_record(result, width, height);
    const int32_t w = width_of(result), h = height_of(result);
    if (stride == 0) stride = w * 4;
    pixel_lock lock = lock_pixels(result, true);
    const char* from = reinterpret_cast<const char*>(pixels);
    for (int32_t y = 0; y < h; ++y)
        std::memcpy(lock.pixels + static_cast<int64_t>(y) * w, from + static_cast<int64_t>(y) * stride,
                    static_cast<size_t>(w) * 4u);
    unlock_pixels(lock);
}

void copy_part(kel_value* result, const kel_value* image, int32_t x, int32_t y, int32_t width, int32_t height) {
    const kel_value src = *image;  // the source may sit where the result goes
    const int32_t w = width_of(&src), h = stored_height(&src);
    const int32_t x0 = std::clamp(x, 0, w), y0 = std::clamp(y, 0, h);
    const int32_t x1 = static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(x) + std::max(width, 0), x0, w));
    const int32_t y1 = static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(y) + std::max(height, 0), y0, h));
    kel_value* keep = stack::push_copy(&src);
    make_record(result, x1 - x0, y1 - y0);
    const pixel_lock from = lock_pixels(keep, false);
    pixel_lock to = lock_pixels(result, true);
    for (int32_t row = y0; row < y1; ++row)
        std::memcpy(to.pixels + static_cast<int64_t>(row - y0) * (x1 - x0),
                    from.pixels + static_cast<int64_t>(row) * w + x0, static_cast<size_t>(x1 - x0) * 4u);
    stack::drop_cells(1);
}

void duplicate(kel_value* result, const kel_value* image) {
    copy_part(result, image, 0, 0, width_of(image), height_of(image));
}

void scale(kel_value* result, const kel_value* image, int32_t width, int32_t height) {
    const kel_value src = *image;
    kel_value* keep = stack::push_copy(&src);
    make_record(result, width, height);
    const int32_t sw = width_of(keep), sh = stored_height(keep);
    const int32_t dw = width_of(result), dh = height_of(result);
    const pixel_lock from = lock_pixels(keep, false);
    pixel_lock to = lock_pixels(result, true);
    for (int32_t y = 0; y < dh; ++y) {
        const int64_t sy = sh == 0 ? -1 : static_cast<int64_t>(y) * sh / dh;
        for (int32_t x = 0; x < dw; ++x) {
            const int64_t sx = sw == 0 ? -1 : static_cast<int64_t>(x) * sw / dw;
            to.pixels[static_cast<int64_t>(y) * dw + x] = (sx < 0 || sy < 0) ? white : from.pixels[sy * sw + sx];
        }
    }
    stack::drop_cells(1);
}

// --- channels -----------------------------------------------------------------------

void get_channel_data(const kel_value* image, int mode, kel_value* result) {
    const kel_value img = *image;
    const int64_t n = pixels_of(&img) ? pixel_count(&img) : 0;
    const int64_t bytes = n * (mode == argb ? 4 : mode == rgb ? 3 : 1);
    if (bytes > static_cast<int64_t>(memory::max_capacity(1))) no_memory();
    kel_value* keep = stack::push_copy(&img);
    binary::init_cell(result, static_cast<uint32_t>(bytes));
    uint8_t* out = reinterpret_cast<uint8_t*>(memory::claim_tail_bytes(series_node(result), static_cast<uint32_t>(bytes)));
    const pixel_lock lock = lock_pixels(keep, false);
    const uint32_t* p = lock.pixels;
    if (mode == argb) {
        std::memcpy(out, p, static_cast<size_t>(bytes));
    } else if (mode == rgb) {
        for (int64_t i = 0; i < n; ++i, out += 3) {
            out[0] = static_cast<uint8_t>(p[i] >> 16);
            out[1] = static_cast<uint8_t>(p[i] >> 8);
            out[2] = static_cast<uint8_t>(p[i]);
        }
    } else {
        for (int64_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((p[i] >> 24) ^ 0xFFu);
    }
    stack::drop_cells(1);
}

void set_channel_data(const kel_value* image, const kel_value* value, int mode) {
    const kel_value v = *value;
    const uint32_t t = type_of(&v);
    // Checked before the lock is taken: nothing is raised while it is held.
    if (t != types::binary && t != types::tuple && t != types::integer) fire(error_category::script, "invalid-arg", &v);
    pixel_lock lock = lock_pixels(image, true);
    const int64_t n = static_cast<int64_t>(lock.width) * lock.height;
    uint32_t* p = lock.pixels;
    if (t == types::binary) {
        const uint8_t* b = binary::ks_head(&v);
        const int64_t len = binary::ks_length_q(&v);
        if (mode == argb) {
            std::memmove(p, b, static_cast<size_t>(std::min(len, n * 4)));
        } else if (mode == rgb) {
            const int64_t m = std::min(len / 3, n);
            for (int64_t i = 0; i < m; ++i, b += 3)
                p[i] = (p[i] & 0xFF000000u) | (static_cast<uint32_t>(b[0]) << 16) | (static_cast<uint32_t>(b[1]) << 8) | b[2];
        } else {
            const int64_t m = std::min(len, n);
            for (int64_t i = 0; i < m; ++i) p[i] = (p[i] & 0x00FFFFFFu) | ((255u - b[i]) << 24);
        }
    } else {
        // A tuple is a colour with its transparency; an integer is the pixel
        // word 0xAARRGGBB (argb), its low 24 bits 0xRRGGBB (rgb), or the
        // transparency in its low byte (alpha).
        const uint32_t word = t == types::tuple ? word_of_tuple(&v) : static_cast<uint32_t>(get_integer(&v));
        if (mode == argb) {
            std::fill_n(p, n, word);
        } else if (mode == rgb) {
            for (int64_t i = 0; i < n; ++i) p[i] = (p[i] & 0xFF000000u) | (word & 0x00FFFFFFu);
        } else {
            const uint32_t transparency = t == types::tuple ? tuple::bytes_of(&v)[0] : (word & 0xFFu);
            const uint32_t a = (255u - transparency) << 24;
            for (int64_t i = 0; i < n; ++i) p[i] = (p[i] & 0x00FFFFFFu) | a;
        }
    }
    unlock_pixels(lock);
    notify(image, "changed", &v, 0, n);
}

// --- foreach ------------------------------------------------------------------------

bool foreach_next(const kel_value* words, kel_value* cursor, int32_t count) {
    const kel_value w = *words;
    const int64_t n = pixels_of(cursor) ? pixel_count(cursor) : 0;
    int64_t p = std::max<int64_t>(series_head(cursor), 0);
    if (p >= n) return false;
    for (int32_t k = 0; k < count; ++k, ++p) {
        kel_value v;
        if (p < n) tuple_of_word(read_pixel(cursor, p), &v);
        else set_none(&v);
        kel_value word = *block::ks_abs_at(&w, series_head(&w) + k);
        _context::set_bound(&word, &v);
    }
    set_series_head(cursor, static_cast<int32_t>(std::min(p, n)));
    return true;
}

namespace {

// --- index forms --------------------------------------------------------------------

// The pixel an integer or pair index names (pick, poke, paths), or -1 when
// it is out of range; `kind_ok` false for an index of another type.
int64_t pixel_at(const kel_value* image, const kel_value* index, bool* kind_ok) {
    const int64_t w = width_of(image), h = pixels_of(image) ? height_of(image) : 0;
    int64_t n;
    *kind_ok = true;
    if (type_of(index) == types::integer) {
        n = get_integer(index);
        if (n == 0) return -1;
    } else if (type_of(index) == types::pair) {
        const int64_t x = pair_x(index), y = pair_y(index);
        if (x < 1 || x > w || y < 1 || y > h) return -1;
        n = x + w * (y - 1);
    } else {
        *kind_ok = false;
        return -1;
    }
    const int64_t p = static_cast<int64_t>(series_head(image)) + n - 1;
    return (p < 0 || p >= w * h) ? -1 : p;
}

void pick_into(const kel_value* image, const kel_value* index, kel_value* out) {
    bool ok;
    const int64_t p = pixel_at(image, index, &ok);
    if (p < 0) set_none(out);
    else tuple_of_word(read_pixel(image, p), out);
}

void poke_at(const kel_value* image, const kel_value* index, const kel_value* value) {
    bool ok;
    const int64_t p = pixel_at(image, index, &ok);
    if (p < 0) scalar::out_of_range(index);
    if (type_of(value) != types::tuple) fire(error_category::script, "invalid-arg", value);
    write_pixel(image, p, word_of_tuple(value));
    notify(image, "poked", value, p, 1);
}

// --- make and to --------------------------------------------------------------------

[[noreturn]] void bad_to(const kel_value* spec) { scalar::bad_to_arg(types::image, spec); }

// What copy without /part gives: the rectangle from the head's column and
// row to the bottom-right corner (the whole image from the head index 0).
void copy_from_head(kel_value* result, const kel_value* image) {
    const kel_value img = *image;
    const int64_t w = width_of(&img), h = height_of(&img);
    if (w == 0 || h < 1) {
        make_record(result, static_cast<int32_t>(w), static_cast<int32_t>(h));
        return;
    }
    const int64_t head = head_of(&img);
    const int64_t col = head % w, row = head / w;
    copy_part(result, &img, static_cast<int32_t>(col), static_cast<int32_t>(row), static_cast<int32_t>(w - col),
              static_cast<int32_t>(h - row));
}

void to_image(kel_value* result, const kel_value* spec) {
    if (type_of(spec) == types::image) copy_from_head(result, spec);
    else bad_to(spec);
}

void make_from_block(kel_value* result, const kel_value* spec) {
    const kel_value b = *spec;
    const int32_t len = block::ks_length_q(&b);
    const int32_t head = std::max(series_head(&b), 0);
    const kel_value size = *block::ks_abs_at(&b, head);
    if (type_of(&size) != types::pair) fire(error_category::script, "invalid-arg", &size);
    kel_value fill, colours, alphas;
    set_none(&fill);
    set_none(&colours);
    set_none(&alphas);
    int32_t i = 1;
    if (i < len) {
        const kel_value* e = block::ks_abs_at(&b, head + i);
        if (type_of(e) == types::tuple || type_of(e) == types::binary) {
            (type_of(e) == types::tuple ? fill : colours) = *e;
            ++i;
        }
    }
    if (i < len && type_of(block::ks_abs_at(&b, head + i)) == types::binary) {
        alphas = *block::ks_abs_at(&b, head + i);
        ++i;
    }
    if (i < len) {
        const kel_value bad = *block::ks_abs_at(&b, head + i);
        fire(error_category::script, "invalid-arg", &bad);
    }
    make_filled(result, pair_x(&size), pair_y(&size), none_q(&fill) ? nullptr : &fill,
                none_q(&colours) ? nullptr : &colours, none_q(&alphas) ? nullptr : &alphas);
}

signal_code a_make(const refinements&) {
    const kel_value proto = *arg(1);
    const kel_value spec = *arg(2);
    kel_value* result = stack::push_unset();
    const uint32_t t = type_of(&spec);
    if (t == types::block && block::ks_length_q(&spec) == 0) {
        if (type_of(&proto) != types::image) fire(error_category::script, "invalid-arg", &spec);
        copy_from_head(result, &proto);
    } else if (t == types::pair) {
        make_filled(result, pair_x(&spec), pair_y(&spec), white);
        clear_written(result);
    } else if (t == types::block) {
        make_from_block(result, &spec);
    } else {
        to_image(result, &spec);
    }
    *stack::arguments() = *result;
    stack::drop_cells(1);
    return signal_code::none;
}

signal_code a_to(const refinements&) {
    const kel_value spec = *arg(2);
    kel_value* result = stack::push_unset();
    to_image(result, &spec);
    *stack::arguments() = *result;
    stack::drop_cells(1);
    return signal_code::none;
}

// --- mold ---------------------------------------------------------------------------

constexpr char hex_digits[] = "0123456789ABCDEF";

struct mold_out {
    kel_value* buffer;
    bool limited;
    int32_t part;
    int32_t indent;
    bool done() const { return limited && part <= 0; }
    void put(const char* text, size_t n) {
        text_out::append(buffer, text, n);
        part -= static_cast<int32_t>(n);
    }
    void line_break() {
        char line[1 + 4 * 16];
        size_t n = 0;
        line[n++] = '\n';
        for (int32_t i = 0; i < indent && n + 4 <= sizeof line; ++i, n += 4) std::memcpy(line + n, "    ", 4);
        put(line, n);
    }
};

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool, bool flat, const kel_value* arg_part,
             int32_t part, int32_t indent) {
    const kel_value v = *value;
    mold_out o{buffer, arg_part != nullptr, part, std::max(indent, 0)};
    if (!only) o.put("make image! [", 13);
    if (o.done()) return o.part;
    char text[32];
    int n = text_out::format_int32(text, width_of(&v));
    text[n++] = 'x';
    n += text_out::format_int32(text + n, height_of(&v));
    o.put(text, static_cast<size_t>(n));
    if (o.done()) return o.part;
    const uint32_t* pixels = pixels_of(&v);  // the pixels do not move while text is written
    const int64_t head = pixels ? head_of(&v) : 0;
    const int64_t count = pixels ? pixel_count(&v) - head : 0;
    o.put(" #{", 3);
    const bool lines = !flat && count > 7;
    if (lines) o.line_break();
    bool transparent = false;
    for (int64_t i = 0; i < count; ++i) {
        if (o.done()) return o.part;
        const uint32_t p = pixels[head + i];
        transparent |= (p >> 24) != 255u;
        char hex[6];
        for (int k = 0; k < 3; ++k) {
            const uint8_t byte = static_cast<uint8_t>(p >> (16 - 8 * k));
            hex[2 * k] = hex_digits[byte >> 4];
            hex[2 * k + 1] = hex_digits[byte & 15];
        }
        o.put(hex, 6);
        if (lines && (i + 1) % 10 == 0) o.line_break();
    }
    if (o.done()) return o.part;
    o.put("}", 1);
    if (transparent) {
        o.put(" #{", 3);
        if (!flat) o.line_break();
        for (int64_t i = 0; i < count; ++i) {
            if (o.done()) return o.part;
            if (!flat && i > 0 && i % 10 == 0) o.line_break();
            const uint8_t t = static_cast<uint8_t>(255u - (pixels[head + i] >> 24));
            const char hex[2] = {hex_digits[t >> 4], hex_digits[t & 15]};
            o.put(hex, 2);
        }
        if (o.done()) return o.part;
        if (!flat) o.line_break();
        o.put("}", 1);
    }
    if (o.done()) return o.part;
    if (!only) o.put("]", 1);
    return o.part;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg_part, int32_t part) {
    return mold(value, buffer, false, false, false, arg_part, part, 0);
}

// --- compare ------------------------------------------------------------------------

int32_t compare(const kel_value* a, const kel_value* b, int32_t op) {
    if (type_of(b) != types::image) return cmp::not_comparable;
    const bool identical = series_node(a) == series_node(b) && series_head(a) == series_head(b);
    if (op == cmp::same) return identical ? 0 : -1;
    if (op >= cmp::lesser && op <= cmp::greater_or_equal) return cmp::not_comparable;
    if (identical) return 0;
    const int64_t na = pixel_count(a), nb = pixel_count(b);
    if (na != nb) return na < nb ? -1 : 1;
    const uint32_t* pa = pixels_of(a);
    const uint32_t* pb = pixels_of(b);
    if (na == 0 || !pa || !pb) return 0;
    const int c = std::memcmp(pa, pb, static_cast<size_t>(na) * 4u);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// Equal images hold equal pixel bytes from their first pixel, whatever their
// heads: the hash follows the bytes (the count is in their length).
uint32_t hash(const kel_value* v, bool) {
    const uint32_t* pixels = pixels_of(v);
    const int64_t n = pixels ? pixel_count(v) : 0;
    return hashtable::murmur3(pixels ? static_cast<const void*>(pixels) : "", static_cast<size_t>(n) * 4u);
}

// --- paths --------------------------------------------------------------------------

int channel_word(const kel_value* element) {
    if (!in_family(type_of(element), family::word)) return -2;
    const uint32_t s = symbol::resolve(word_symbol(element));
    if (s == symbol::resolve(words::size)) return -1;
    if (s == symbol::resolve(words::argb)) return argb;
    if (s == symbol::resolve(words::rgb)) return rgb;
    if (s == symbol::resolve(words::alpha)) return alpha;
    return -2;
}

signal_code eval_path(const path_step_args& step) {
    const kel_value img = *step.parent;
    const kel_value element = *step.element;
    const uint32_t et = type_of(&element);
    if (et == types::integer || et == types::pair) {
        if (step.value_to_set) {
            const kel_value v = *step.value_to_set;
            poke_at(&img, &element, &v);
            if (step.result) *step.result = v;
        } else {
            pick_into(&img, &element, step.result);
        }
        return signal_code::none;
    }
    const int which = channel_word(&element);
    if (which == -2) return fail(error_category::script, "invalid-path", step.path, &element);
    if (which == -1) {
        if (step.value_to_set) return fail(error_category::script, "bad-path-set", step.path, &element);
        set_pair(step.result, width_of(&img), height_of(&img));
        return signal_code::none;
    }
    if (step.value_to_set) {
        const kel_value v = *step.value_to_set;
        set_channel_data(&img, &v, which);
        if (step.result) *step.result = v;
        return signal_code::none;
    }
    kel_value* keep = stack::push_copy(&img);
    kel_value* out = stack::push_unset();
    get_channel_data(keep, which, out);
    *step.result = *out;
    stack::drop_cells(2);
    return signal_code::none;
}

// --- navigation ---------------------------------------------------------------------

int64_t offset_of(const kel_value* image, const kel_value* offset, bool at) {
    const int64_t w = width_of(image);
    if (type_of(offset) == types::integer) {
        const int64_t n = get_integer(offset);
        return at && n >= 1 ? n - 1 : n;
    }
    if (type_of(offset) == types::pair) {
        const int64_t x = pair_x(offset), y = pair_y(offset);
        if (!at) return x + w * y;
        const int64_t n = y <= 0 ? x + w * y : x + w * (y - 1);
        return n >= 1 ? n - 1 : n;
    }
    fire(error_category::script, "invalid-arg", offset);
}

void seek(kel_value* image, const kel_value* offset, bool at) {
    const int64_t p = static_cast<int64_t>(series_head(image)) + offset_of(image, offset, at);
    set_series_head(image, static_cast<int32_t>(std::clamp<int64_t>(p, 0, pixel_count(image))));
}

signal_code a_at(const refinements&) { seek(arg(1), arg(2), true); return signal_code::none; }
signal_code a_skip(const refinements&) { seek(arg(1), arg(2), false); return signal_code::none; }
signal_code a_next(const refinements&) {
    kel_value* v = arg(1);
    set_series_head(v, static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(series_head(v)) + 1, pixel_count(v))));
    return signal_code::none;
}
signal_code a_tail(const refinements&) {
    set_series_head(arg(1), static_cast<int32_t>(pixel_count(arg(1))));
    return signal_code::none;
}
signal_code a_tail_q(const refinements&) {
    set_logic(stack::arguments(), series_head(arg(1)) >= pixel_count(arg(1)));
    return signal_code::none;
}
signal_code a_length_q(const refinements&) {
    set_integer(stack::arguments(), static_cast<int32_t>(pixel_count(arg(1))));
    return signal_code::none;
}

// --- elements -----------------------------------------------------------------------

signal_code a_pick(const refinements&) {
    kel_value out;
    pick_into(arg(1), arg(2), &out);
    *stack::arguments() = out;
    return signal_code::none;
}

signal_code a_poke(const refinements&) {
    const kel_value img = *arg(1), index = *arg(2), value = *arg(3);
    poke_at(&img, &index, &value);
    stack::set_last(&value);
    return signal_code::none;
}

// change's refinement slots: /part, /only, /dup.
signal_code a_change(const refinements& r) {
    if (r.has(0) || r.has(2)) return fail(error_category::internal, "not-done");
    kel_value* target = arg(1);
    const kel_value value = *arg(2);
    const int64_t w = width_of(target), h = stored_height(target);
    const int64_t head = series_head(target);
    const uint32_t vt = type_of(&value);
    if (vt != types::tuple && vt != types::image) scalar::invalid_type(vt);
    if (head < 0 || head >= w * h) return signal_code::none;
    if (vt == types::tuple) {
        write_pixel(target, head, word_of_tuple(&value));
        notify(target, "changed", &value, head, 1);
        set_series_head(target, static_cast<int32_t>(head + 1));
        return signal_code::none;
    }
    const int64_t x0 = head % w, y0 = head / w;
    const int64_t sw = width_of(&value), sh = stored_height(&value);
    const int64_t cols = std::min(sw, w - x0), rows = std::min(sh, h - y0);
    if (cols <= 0 || rows <= 0) return signal_code::none;
    const pixel_lock from = lock_pixels(&value, false);
    pixel_lock to = lock_pixels(target, true);
    // Bottom row first: pasted onto itself the target rows never lie before
    // their source rows, so no source row is overwritten before it is read.
    for (int64_t y = rows - 1; y >= 0; --y)
        std::memmove(to.pixels + (y0 + y) * w + x0, from.pixels + y * sw, static_cast<size_t>(cols) * 4u);
    unlock_pixels(to);
    notify(target, "changed", &value, head, (rows - 1) * w + cols);
    set_series_head(target, static_cast<int32_t>((y0 + rows - 1) * w + x0 + cols));
    return signal_code::none;
}

// copy's refinement slots: /part first.
signal_code a_copy(const refinements& r) {
    const kel_value img = *arg(1);
    const kel_value* part = ref_arg(r, 0);
    const int64_t w = width_of(&img), h = height_of(&img);
    kel_value* result = stack::push_unset();
    if (!part || w == 0 || h < 1) {
        copy_from_head(result, &img);
    } else {
        const int64_t head = head_of(&img);
        const int64_t col = head % w, row = head / w;
        if (type_of(part) == types::integer) {
            return fail(error_category::internal, "not-done");
        } else if (type_of(part) == types::pair) {
            // Negative sides reach up and to the left of the head.
            int64_t x = col, y = row, pw = pair_x(part), ph = pair_y(part);
            if (pw < 0) {
                x += pw;
                pw = -pw;
            }
            if (ph < 0) {
                y += ph;
                ph = -ph;
            }
            const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
            const int64_t x1 = std::min(x + pw, w), y1 = std::min(y + ph, h);
            copy_part(result, &img, static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                      static_cast<int32_t>(std::max<int64_t>(x1 - x0, 0)), static_cast<int32_t>(std::max<int64_t>(y1 - y0, 0)));
        } else if (type_of(part) == types::image && series_node(part) == series_node(&img)) {
            const int64_t other = head_of(part);
            const int64_t c2 = other % w, r2 = other / w;
            copy_part(result, &img, static_cast<int32_t>(std::min(col, c2)), static_cast<int32_t>(std::min(row, r2)),
                      static_cast<int32_t>(std::abs(c2 - col)), static_cast<int32_t>(std::abs(r2 - row)));
        } else {
            const kel_value bad = *part;
            return fail(error_category::script, "invalid-refine-arg", error_arg::named("part"), &bad);
        }
    }
    *stack::arguments() = *result;
    stack::drop_cells(1);
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::image;
    r.parent = types::series;
    r.name = "image!";
    r.hash = hash;
    r.marker = mark;
    r.families = family::series;
    // back, head, head?, index? and modify are series!'s as they stand; every
    // other series! slot reads a buffer an image does not have, or is not an
    // image action, and stays unsupported.
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::at] = static_cast<action_fn>(a_at);
    r[act::back] = registry::entry::inherit();
    r[act::change] = static_cast<action_fn>(a_change);
    r[act::copy] = static_cast<action_fn>(a_copy);
    r[act::head] = registry::entry::inherit();
    r[act::head_q] = registry::entry::inherit();
    r[act::index_q] = registry::entry::inherit();
    r[act::length_q] = static_cast<action_fn>(a_length_q);
    r[act::next] = static_cast<action_fn>(a_next);
    r[act::pick] = static_cast<action_fn>(a_pick);
    r[act::poke] = static_cast<action_fn>(a_poke);
    r[act::skip] = static_cast<action_fn>(a_skip);
    r[act::tail] = static_cast<action_fn>(a_tail);
    r[act::tail_q] = static_cast<action_fn>(a_tail_q);
    r[act::modify] = registry::entry::inherit();
    return r;
}

}  // namespace kel::image
