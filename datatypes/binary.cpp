// binary: see binary.h. Sizes are computed in 64 bits and checked before a
// buffer grows, so a refused change leaves the binary as it was. Writers
// measure first, grow once, then write in place with the destination pinned
// (the formed-text fallback of change allocates while it writes).
#include "datatypes/binary.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/image.h"
#include "datatypes/tuple.h"
#include "kernel/actions.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"

namespace kel::binary {

namespace {

using memory::buffer_header;

inline buffer_header* buf(const kel_value* b) { return memory::buffer_of(series_node(b)); }
inline kel_value* arg(int n) { return stack::argument(n); }
const kel_value* ref_arg(const refinements& r, int i) { return r.has(i) ? stack::arguments() + r.at[i] : nullptr; }

// The head clamped into [0, length of the buffer].
int64_t head_of(const kel_value* b) {
    return std::clamp<int64_t>(series_head(b), 0, static_cast<int64_t>(buf(b)->used()));
}

[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }

[[noreturn]] void bad_to_arg(const kel_value* value) {
    kel_value dt;
    set_datatype(&dt, types::binary);
    fire(error_category::script, "bad-to-arg", &dt, value);
}

bool text_type(uint32_t t) { return in_family(t, family::string_like); }
bool list_type(uint32_t t) { return t == types::block || t == types::paren || t == types::hash; }


constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr char alphabet_58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char alphabet_64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Digit values of the base 58 and 64 alphabets (0xFF: not a digit).
struct digit_tables {
    uint8_t d58[128];
    uint8_t d64[128];
    uint8_t d16[128];
    constexpr digit_tables() : d58{}, d64{}, d16{} {
        for (int i = 0; i < 128; ++i) d58[i] = d64[i] = d16[i] = 0xFF;
        for (int i = 0; i < 58; ++i) d58[static_cast<uint8_t>(alphabet_58[i])] = static_cast<uint8_t>(i);
        for (int i = 0; i < 64; ++i) d64[static_cast<uint8_t>(alphabet_64[i])] = static_cast<uint8_t>(i);
        for (int i = 0; i < 10; ++i) d16['0' + i] = static_cast<uint8_t>(i);
        for (int i = 0; i < 6; ++i) d16['A' + i] = d16['a' + i] = static_cast<uint8_t>(10 + i);
    }
};
constexpr digit_tables digits{};

// The characters base 58 and 64 skip: backspace, tab, line feed, form feed,
// carriage return, space and the apostrophe.
inline bool skipped_58_64(uint32_t c) {
    return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == ' ' || c == '\'';
}

// Reads the text of a decoder character by character, passing over ";"
// comments (to the next line feed or the end).
struct text_reader {
    const char* p;
    int64_t length;
    uint32_t unit;
    int64_t i = 0;
    // The next character outside comments, or -1 at the end.
    int64_t next() {
        while (i < length) {
            const uint32_t c = string::read_unit(p + i * unit, unit);
            ++i;
            if (c != ';') return c;
            while (i < length && string::read_unit(p + i * unit, unit) != '\n') ++i;
        }
        return -1;
    }
};

uint32_t new_byte_node(int64_t capacity) {
    if (capacity > static_cast<int64_t>(memory::max_capacity(1))) no_memory();
    return memory::new_bytes(static_cast<uint32_t>(capacity > 0 ? capacity : 1));
}

void set_used(uint32_t node, int64_t count) {
    buffer_header* h = memory::buffer_of(node);
    h->tail = h->head + static_cast<uint32_t>(count);
}

// --- encoding ---------------------------------------------------------------------

// A character's bytes as text is written: its UTF-8, but a code point that
// stands for a byte taken in undecoded (U+DC80..U+DCFF) is that byte again,
// so text read from a process, a terminal or a file name writes back as it came.
int text_char_bytes(uint32_t cp, uint8_t* out) {
    if (unicode::escaped_byte_q(cp)) {
        out[0] = static_cast<uint8_t>(cp & 0xFF);
        return 1;
    }
    return unicode::encode_utf8_char(cp, out);
}

// The UTF-8 of a text value's characters from its head: at most `cap_chars`
// characters and `cap_bytes` bytes (-1: no cap). A byte cap cuts the byte
// stream, even inside a character, as it cuts an encoded char!.
int64_t encode_text(uint8_t* dst, const kel_value* text, int64_t cap_chars, int64_t cap_bytes) {
    buffer_header* h = buf(text);
    const uint32_t unit = h->unit();
    const int64_t units = h->units();
    const int64_t head = std::clamp<int64_t>(series_head(text), 0, units);
    int64_t end = units;
    if (cap_chars >= 0) end = std::min(end, head + cap_chars);
    const char* p = h->data() + h->head;
    if (unit == 1) {
        // Latin-1: ASCII bytes stand for themselves, and runs of them are
        // taken eight at a time.
        int64_t n = 0;
        for (int64_t i = head; i < end; ++i) {
            while (end - i >= 8 && (cap_bytes < 0 || cap_bytes - n >= 8)) {
                uint64_t block;
                std::memcpy(&block, p + i, 8);
                if (block & 0x8080808080808080ull) break;
                if (dst) std::memcpy(dst + n, &block, 8);
                i += 8;
                n += 8;
            }
            if (i >= end) break;
            const uint8_t c = static_cast<uint8_t>(p[i]);
            uint8_t tmp[2] = {c, 0};
            int size = 1;
            if (c >= 0x80) {
                tmp[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
                tmp[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
                size = 2;
            }
            if (cap_bytes >= 0 && n + size > cap_bytes) size = static_cast<int>(cap_bytes - n);
            if (dst) std::memcpy(dst + n, tmp, static_cast<size_t>(size));
            n += size;
            if (cap_bytes >= 0 && n >= cap_bytes) break;
        }
        return n;
    }
    int64_t n = 0;
    uint8_t tmp[4];
    for (int64_t i = head; i < end; ++i) {
        const uint32_t cp = string::read_unit(p + (i << h->shift()), unit);
        int size = text_char_bytes(cp, tmp);
        if (cap_bytes >= 0 && n + size > cap_bytes) size = static_cast<int>(cap_bytes - n);
        if (dst) std::memcpy(dst + n, tmp, static_cast<size_t>(size));
        n += size;
        if (cap_bytes >= 0 && n >= cap_bytes) break;
    }
    return n;
}

int64_t encode_one(uint8_t* dst, const kel_value* value, int64_t part, bool part_counts_bytes, encode_mode mode);

int64_t encode_list(uint8_t* dst, const kel_value* list, int64_t part, encode_mode mode) {
    // Elements are read by index through the node: forming an element (the
    // change fallback) may move the block.
    const uint32_t node = series_node(list);
    // Nested lists recurse: a list that holds itself is a cycle error, and
    // the guard's depth limit keeps deep nesting off the machine stack's end.
    const cycles::walk_guard guard(node);
    const int64_t head = std::max<int64_t>(series_head(list), 0);
    int64_t n = 0;
    for (int64_t i = head;; ++i) {
        buffer_header* h = memory::buffer_of(node);
        if (i >= static_cast<int64_t>(h->units())) break;
        if (part >= 0 && i - head >= part) break;
        const kel_value element = reinterpret_cast<const kel_value*>(h->data() + h->head)[i];
        n += encode_one(dst ? dst + n : nullptr, &element, -1, true, mode);
    }
    return n;
}

int64_t encode_one(uint8_t* dst, const kel_value* value, int64_t part, bool part_counts_bytes, encode_mode mode) {
    const uint32_t t = type_of(value);
    if (t == types::char_) {
        uint8_t tmp[4];
        int64_t size = text_char_bytes(get_char(value), tmp);
        if (part >= 0) size = std::min(size, part);
        if (dst) std::memcpy(dst, tmp, static_cast<size_t>(size));
        return size;
    }
    if (t == types::integer) {
        const int32_t i = get_integer(value);
        if (i < -128 || i > 255) fire(error_category::script, "invalid-arg", value);
        if (part == 0) return 0;
        if (dst) *dst = static_cast<uint8_t>(i);
        return 1;
    }
    if (t == types::binary) {
        int64_t size = ks_length_q(value);
        if (part >= 0) size = std::min(size, part);
        if (dst && size) std::memcpy(dst, buf(value)->data() + buf(value)->head + head_of(value), static_cast<size_t>(size));
        return size;
    }
    if (t == types::tuple) {
        int64_t size = tuple::count_of(value);
        if (part >= 0) size = std::min(size, part);
        if (dst && size) std::memcpy(dst, tuple::bytes_of(value), static_cast<size_t>(size));
        return size;
    }
    if (list_type(t)) return encode_list(dst, value, part, mode);
    if (text_type(t)) {
        return part_counts_bytes ? encode_text(dst, value, -1, part) : encode_text(dst, value, part, -1);
    }
    if (mode == encode_mode::append) bad_to_arg(value);
    // The formed text, held on the argument stack while it is encoded.
    kel_value* text = stack::push_unset();
    text_out::new_buffer(text, 16);
    actions::form_value(value, text, nullptr, 0x7FFFFFFF);
    const kel_value formed = *text;
    const int64_t n = part_counts_bytes ? encode_text(dst, &formed, -1, part) : encode_text(dst, &formed, part, -1);
    stack::drop_cells(1);
    return n;
}

}  // namespace

// --- the cell ----------------------------------------------------------------------

int32_t ks_length_q(const kel_value* b) {
    const buffer_header* h = buf(b);
    const int64_t head = std::max<int64_t>(series_head(b), 0);
    return static_cast<int32_t>(std::max<int64_t>(static_cast<int64_t>(h->used()) - head, 0));
}

uint8_t* ks_head(const kel_value* b) {
    buffer_header* h = buf(b);
    return reinterpret_cast<uint8_t*>(h->data() + h->head + head_of(b));
}

uint8_t byte_at(const kel_value* b, int32_t index) {
    buffer_header* h = buf(b);
    return static_cast<uint8_t>(h->data()[h->head + static_cast<uint32_t>(index)]);
}

kel_value* init_cell(kel_value* cell, uint32_t capacity) {
    set_unset(cell);
    const uint32_t node = new_byte_node(capacity);
    set_series(cell, types::binary, 0, node);
    return cell;
}

kel_value* make_from_memory(const kel_value* block, const uint8_t* bytes, size_t n) {
    kel_value* cell = stack::push_unset();
    binary::init_cell(cell, static_cast<uint32_t>(std::min<size_t>(n, memory::max_capacity(1) + size_t{1})));
    if (n > memory::max_capacity(1)) no_memory();
    buffer_header* h = buf(cell);
    if (n && bytes) std::memcpy(h->data() + h->head, bytes, n);
    h->tail = h->head + static_cast<uint32_t>(n);
    if (!block) return cell;
    const kel_value made = *cell;
    kel_value* at = memory::claim_tail_cell(block);
    *at = made;
    stack::drop_cells(1);
    return at;
}

kel_value* push_from_memory(const uint8_t* bytes, size_t n) { return make_from_memory(nullptr, bytes, n); }

uint8_t* append_bytes(const kel_value* b, const uint8_t* bytes, size_t n) {
    if (n > memory::max_capacity(1)) no_memory();
    buffer_header* h = memory::ensure_tail_room(series_node(b), static_cast<uint32_t>(n));
    char* at = h->tail_ptr();
    if (n && bytes) std::memmove(at, bytes, n);
    h->tail += static_cast<uint32_t>(n);
    return reinterpret_cast<uint8_t*>(at);
}

uint8_t* insert_bytes(const kel_value* b, int32_t offset, const uint8_t* bytes, size_t n) {
    buffer_header* h = buf(b);
    const int64_t used = h->used();
    const int64_t at = std::clamp<int64_t>(head_of(b) + std::max(offset, 0), 0, used);
    if (static_cast<uint64_t>(used) + n > memory::max_capacity(1)) no_memory();
    if (h->tail + n > h->capacity) {
        const uint64_t want = std::min<uint64_t>(std::max<uint64_t>(used + n, used + n + 2ull * h->capacity),
                                                 memory::max_capacity(1));
        h = memory::expand_buffer(h, static_cast<uint32_t>(want));
    }
    char* p = h->data() + h->head + at;
    std::memmove(p + n, p, static_cast<size_t>(used - at));
    if (n && bytes) std::memcpy(p, bytes, n);
    h->tail += static_cast<uint32_t>(n);
    return reinterpret_cast<uint8_t*>(p);
}

kel_value* push(const kel_value* b) {
    kel_value* cell = stack::push_unset();
    *cell = *b;
    return cell;
}

void set_byte(uint8_t* address, const kel_value* value) {
    const uint32_t t = type_of(value);
    if (t == types::integer) *address = static_cast<uint8_t>(get_integer(value));
    else if (t == types::char_) *address = static_cast<uint8_t>(get_char(value));
    else fire(error_category::script, "invalid-arg", value);
}

// --- comparing ----------------------------------------------------------------------

int32_t compare_bytes(const kel_value* b, const kel_value* other, int32_t op, bool match) {
    const uint32_t t = type_of(other);
    if (t != types::string && t != types::file && t != types::url && t != types::binary && t != types::tag &&
        t != types::email && t != types::ref)
        return cmp::not_comparable;
    if (series_node(b) == series_node(other) && series_head(b) == series_head(other)) {
        if (op == cmp::same || cmp::equality_op(op)) return 0;
    }
    if (op == cmp::same) return -1;
    buffer_header* ha = buf(b);
    buffer_header* hb = buf(other);
    const int64_t la = ks_length_q(b);
    const int64_t lb_units = hb->units();
    const int64_t hb_head = std::clamp<int64_t>(series_head(other), 0, lb_units);
    const int64_t lb = lb_units - hb_head;
    const bool equality = op == cmp::equal || op == cmp::not_equal || op == cmp::strict_equal || op == cmp::equal10 ||
                          op == cmp::equal11;
    if (match) {
        if (lb == 0)
            return op == cmp::equal || op == cmp::strict_equal || op == cmp::equal10 || op == cmp::equal11 ? 0 : 1;
    } else {
        if (la != lb && equality) return 1;
        if (la == 0 && lb == 0) return 0;
    }
    const uint8_t* pa = reinterpret_cast<const uint8_t*>(ha->data() + ha->head + head_of(b));
    const uint32_t unit = hb->unit();
    const char* pb = hb->data() + hb->head + (hb_head << hb->shift());
    const int64_t n = std::min(la, lb);
    if (unit == 1) {
        const int c = n ? std::memcmp(pa, pb, static_cast<size_t>(n)) : 0;
        if (c != 0) return c < 0 ? -1 : 1;
    } else {
        for (int64_t i = 0; i < n; ++i) {
            const uint32_t x = pa[i];
            const uint32_t y = string::read_unit(pb + (i << hb->shift()), unit);
            if (x != y) return x < y ? -1 : 1;
        }
    }
    if (match) return la >= lb ? 0 : -1;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

bool match_bitset_q(const kel_value* b, const kel_value* bitset) {
    if (ks_length_q(b) == 0) return false;
    return string::in_bitset_q(*ks_head(b), bitset);
}

bool match_value_q(const kel_value* b, const kel_value* value, int32_t op) {
    const uint32_t t = type_of(value);
    if (t == types::char_) return ks_length_q(b) > 0 && get_char(value) == *ks_head(b);
    const int32_t c = compare_bytes(b, value, op, true);
    return c == 0;
}

// --- encoding -----------------------------------------------------------------------

int64_t encode_value(uint8_t* dst, const kel_value* value, int64_t part, bool part_counts_bytes, encode_mode mode) {
    return encode_one(dst, value, part, part_counts_bytes, mode);
}

void append_int32_be(int32_t value, const kel_value* b) {
    const uint32_t u = static_cast<uint32_t>(value);
    const uint8_t bytes[4] = {static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16),
                              static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)};
    append_bytes(b, bytes, 4);
}

int32_t from_issue(const kel_value* issue, kel_value* result, bool measure) {
    const kel_value is = *issue;
    uint32_t length = 0;
    // The name is copied out: decoding allocates the result.
    const char* name = symbol::name_bytes(is.w2, &length);
    std::vector<char> text(name, name + length);
    const uint32_t node = debase_16(text.data(), static_cast<int32_t>(length), 1);
    if (!node) fire(error_category::script, "invalid-data", &is);
    const int32_t n = static_cast<int32_t>(memory::buffer_of(node)->used());
    if (!measure) {
        set_unset(result);
        set_series(result, types::binary, 0, node);
    }
    return n;
}

// --- molding --------------------------------------------------------------------------

int32_t mold_bytes(const kel_value* b, kel_value* buffer, bool only, bool flat, bool part_given, int32_t part,
                   int32_t indent) {
    const kel_value v = *b;
    const uint32_t node = series_node(&v);
    const int64_t head = head_of(&v);
    const int64_t length = static_cast<int64_t>(memory::buffer_of(node)->used()) - head;
    const bool lines = length > 30 && !flat;
    const int32_t deeper = std::max(indent, 0) + 1;
    if (!only) {
        text_out::append(buffer, "#{", 2);
        part -= 2;
    }
    // The digits of a line gather in a stack buffer; a break and its
    // indentation go straight to the output, however deep the value lies.
    char line[64];
    size_t n = 0;
    auto flush = [&] {
        if (n) text_out::append(buffer, line, n);
        n = 0;
    };
    auto put_break = [&](int32_t level) {
        flush();
        text_out::append(buffer, "\n", 1);
        (void)mold::indent(buffer, level, 0);
    };
    if (lines) put_break(deeper);
    int64_t written = 0;
    for (int64_t i = 0; i < length; ++i) {
        if (part_given && part <= 0) break;
        // Read through the node: the buffer molded into may be this one.
        const memory::buffer_header* h = memory::buffer_of(node);
        if (head + i >= static_cast<int64_t>(h->used())) break;
        const uint8_t c = static_cast<uint8_t>(h->data()[h->head + head + i]);
        line[n++] = hex_digits[c >> 4];
        line[n++] = hex_digits[c & 15];
        part -= 2;
        ++written;
        if (written % 32 == 0) {
            if (flat) flush();
            else put_break(deeper);
        }
    }
    flush();
    if (written > 30 && written % 32 != 0 && !flat) put_break(std::max(indent, 0));
    if (!only) text_out::append(buffer, "}", 1);
    return part;
}

// --- trimming and bitwise ----------------------------------------------------------------

void trim_zeros(kel_value* b, bool head, bool tail) {
    if (!head && !tail) head = tail = true;
    buffer_header* h = buf(b);
    const int64_t start = head_of(b);
    char* p = h->data() + h->head + start;
    int64_t n = static_cast<int64_t>(h->used()) - start;
    int64_t from = 0;
    if (head)
        while (from < n && p[from] == 0) ++from;
    if (tail)
        while (n > from && p[n - 1] == 0) --n;
    if (from) std::memmove(p, p + from, static_cast<size_t>(n - from));
    h->tail = h->head + static_cast<uint32_t>(start + n - from);
}

void logic_op(int op) {
    const kel_value* other = arg(2);
    if (type_of(other) != types::binary) fire(error_category::script, "invalid-arg", other);
    const int64_t la = ks_length_q(arg(1));
    const int64_t lb = ks_length_q(other);
    const int64_t longer = std::max(la, lb);
    kel_value* result = stack::push_unset();
    binary::init_cell(result, static_cast<uint32_t>(longer));
    const uint8_t* a = ks_head(arg(1));
    const uint8_t* b = ks_head(arg(2));
    uint8_t* out = reinterpret_cast<uint8_t*>(buf(result)->head_ptr());
    const int64_t common = std::min(la, lb);
    for (int64_t i = 0; i < common; ++i)
        out[i] = static_cast<uint8_t>(op == logic::and_ ? (a[i] & b[i]) : op == logic::or_ ? (a[i] | b[i]) : (a[i] ^ b[i]));
    const uint8_t* rest = la > lb ? a : b;
    for (int64_t i = common; i < longer; ++i) out[i] = op == logic::and_ ? 0 : rest[i];
    set_used(series_node(result), longer);
    *stack::arguments() = *result;
    stack::drop_cells(1);
}

// --- codecs --------------------------------------------------------------------------------

char* enbase_2(char* dst, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i)
        for (int bit = 7; bit >= 0; --bit) *dst++ = static_cast<char>('0' + ((bytes[i] >> bit) & 1));
    return dst;
}

char* enbase_16(char* dst, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        *dst++ = hex_digits[bytes[i] >> 4];
        *dst++ = hex_digits[bytes[i] & 15];
    }
    return dst;
}

// Base 58 works on the number in 32-bit limbs and on five digits at a time
// (58^5 < 2^30), so that each pass over the number does the work of twenty
// byte-by-digit passes; the conversion stays quadratic, as it must.
constexpr uint32_t base58_5 = 58u * 58u * 58u * 58u * 58u;

char* enbase_58(char* dst, const uint8_t* bytes, size_t n) {
    size_t zeros = 0;
    while (zeros < n && bytes[zeros] == 0) ++zeros;
    for (size_t i = 0; i < zeros; ++i) *dst++ = '1';
    // The rest as one big-endian number, most significant limb first (the
    // first limb takes the bytes left over from whole limbs), divided by
    // 58^5 over a working copy; each remainder gives five digits, the least
    // significant first.
    const size_t m = n - zeros;
    std::vector<uint32_t> number((m + 3) / 4, 0);
    const size_t pad = (4 - m % 4) % 4;
    for (size_t i = 0; i < m; ++i) {
        uint32_t& limb = number[(i + pad) / 4];
        limb = (limb << 8) | bytes[zeros + i];
    }
    std::vector<char> out;
    out.reserve(m * 138 / 100 + 6);
    size_t first = 0;
    while (first < number.size() && number[first] == 0) ++first;
    while (first < number.size()) {
        uint64_t remainder = 0;
        for (size_t i = first; i < number.size(); ++i) {
            const uint64_t acc = (remainder << 32) | number[i];
            number[i] = static_cast<uint32_t>(acc / base58_5);
            remainder = acc % base58_5;
        }
        for (int k = 0; k < 5; ++k) {
            out.push_back(alphabet_58[remainder % 58]);
            remainder /= 58;
        }
        while (first < number.size() && number[first] == 0) ++first;
    }
    // The last group of five may end in zero digits above the number's top.
    while (!out.empty() && out.back() == alphabet_58[0]) out.pop_back();
    for (size_t i = out.size(); i > 0; --i) *dst++ = out[i - 1];
    return dst;
}

char* enbase_64(char* dst, const uint8_t* bytes, size_t n) {
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t w = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        *dst++ = alphabet_64[(w >> 18) & 63];
        *dst++ = alphabet_64[(w >> 12) & 63];
        *dst++ = alphabet_64[(w >> 6) & 63];
        *dst++ = alphabet_64[w & 63];
    }
    if (i < n) {
        const uint32_t w = (uint32_t{bytes[i]} << 16) | (i + 1 < n ? uint32_t{bytes[i + 1]} << 8 : 0);
        *dst++ = alphabet_64[(w >> 18) & 63];
        *dst++ = alphabet_64[(w >> 12) & 63];
        *dst++ = i + 1 < n ? alphabet_64[(w >> 6) & 63] : '=';
        *dst++ = '=';
    }
    return dst;
}

int64_t enbase_size(int base, int64_t n) {
    constexpr int64_t limit = INT32_MAX;
    // Every step is checked against the signed 32-bit limit, as the sizes
    // are kept in 32 bits afterwards.
    auto over = [&](std::initializer_list<int64_t> steps) {
        for (int64_t s : steps)
            if (s > limit) return true;
        return false;
    };
    if (n < 0 || n > limit) return -1;
    int64_t size = -1;
    switch (base) {
        case 64: {
            const int64_t a = (n / 3) * 4, b = ((n % 3) * 4) / 3, c = (n / 32) * 2;
            size = a + b + c + 5;
            if (over({a, a + b, a + b + c, size})) return -1;
            break;
        }
        case 58:
            size = n * 2;
            if (over({size})) return -1;
            break;
        case 16: {
            const int64_t a = n * 2;
            size = a + n / 32 + 32;
            if (over({a, a + n / 32, size})) return -1;
            break;
        }
        case 2: {
            const int64_t a = n * 8, b = (n / 8) * 2;
            size = a + b + 4;
            if (over({a, b, a + b, size})) return -1;
            break;
        }
        default: return -1;
    }
    return size;
}

uint32_t debase_2(const char* text, int32_t length, uint32_t unit) {
    const uint32_t node = new_byte_node(length / 8);
    uint8_t* out = reinterpret_cast<uint8_t*>(memory::buffer_of(node)->head_ptr());
    text_reader r{text, length, unit};
    int64_t count = 0;
    uint32_t acc = 0;
    int bits = 0;
    for (int64_t c; (c = r.next()) >= 0;) {
        if (c <= ' ') continue;
        if (c != '0' && c != '1') return 0;
        acc = (acc << 1) | static_cast<uint32_t>(c - '0');
        if (++bits == 8) {
            out[count++] = static_cast<uint8_t>(acc);
            acc = 0;
            bits = 0;
        }
    }
    if (bits) return 0;
    set_used(node, count);
    return node;
}

uint32_t debase_16(const char* text, int32_t length, uint32_t unit) {
    const uint32_t node = new_byte_node(length / 2);
    uint8_t* out = reinterpret_cast<uint8_t*>(memory::buffer_of(node)->head_ptr());
    text_reader r{text, length, unit};
    int64_t count = 0;
    uint32_t acc = 0;
    bool half = false;
    for (int64_t c; (c = r.next()) >= 0;) {
        if (c <= ' ') continue;
        const uint8_t d = c < 128 ? digits.d16[c] : 0xFF;
        if (d == 0xFF) return 0;
        if (half) {
            out[count++] = static_cast<uint8_t>((acc << 4) | d);
            half = false;
        } else {
            acc = d;
            half = true;
        }
    }
    set_used(node, count);
    return node;
}

uint32_t debase_58(const char* text, int32_t length, uint32_t unit) {
    std::vector<uint8_t> values;
    values.reserve(static_cast<size_t>(std::max(length, 0)));
    text_reader r{text, length, unit};
    for (int64_t c; (c = r.next()) >= 0;) {
        if (c > 127) break;
        const uint8_t d = digits.d58[c];
        if (d != 0xFF) {
            values.push_back(d);
            continue;
        }
        if (skipped_58_64(static_cast<uint32_t>(c))) continue;
        return 0;
    }
    size_t zeros = 0;
    while (zeros < values.size() && values[zeros] == 0) ++zeros;
    // The rest by repeated multiplication, five digits at a time, into a
    // number of 32-bit limbs, the least significant first.
    std::vector<uint32_t> number;
    number.reserve((values.size() - zeros) * 733 / 4000 + 2);
    for (size_t i = zeros; i < values.size(); i += 5) {
        uint32_t chunk = 0, scale = 1;
        for (size_t k = i; k < std::min(i + 5, values.size()); ++k) {
            chunk = chunk * 58 + values[k];
            scale *= 58;
        }
        uint64_t carry = chunk;
        for (uint32_t& limb : number) {
            const uint64_t acc = static_cast<uint64_t>(limb) * scale + carry;
            limb = static_cast<uint32_t>(acc);
            carry = acc >> 32;
        }
        if (carry) number.push_back(static_cast<uint32_t>(carry));
    }
    // Significant bytes, most significant first.
    size_t used = number.size() * 4;
    auto byte_of = [&](size_t from_top) {
        const size_t k = used - 1 - from_top;  // counted from the least significant
        return static_cast<uint8_t>(number[k / 4] >> (8 * (k % 4)));
    };
    while (used > 0 && byte_of(0) == 0) --used;
    const int64_t total = static_cast<int64_t>(zeros + used);
    const uint32_t node = new_byte_node(total);
    uint8_t* out = reinterpret_cast<uint8_t*>(memory::buffer_of(node)->head_ptr());
    std::memset(out, 0, zeros);
    for (size_t i = 0; i < used; ++i) out[zeros + i] = byte_of(i);
    set_used(node, total);
    return node;
}

uint32_t debase_64(const char* text, int32_t length, uint32_t unit) {
    const uint32_t node = new_byte_node((static_cast<int64_t>(std::max(length, 0)) + 3) * 3 / 4);
    uint8_t* out = reinterpret_cast<uint8_t*>(memory::buffer_of(node)->head_ptr());
    text_reader r{text, length, unit};
    int64_t count = 0;
    uint32_t acc = 0;
    int pending = 0;
    for (int64_t c; (c = r.next()) >= 0;) {
        if (c == '=') {
            if (pending == 3) {
                out[count++] = static_cast<uint8_t>(acc >> 10);
                out[count++] = static_cast<uint8_t>(acc >> 2);
            } else if (pending == 2) {
                out[count++] = static_cast<uint8_t>(acc >> 4);
                r.next();  // the second "="
            } else {
                return 0;
            }
            pending = 0;
            break;
        }
        const uint8_t d = c < 128 ? digits.d64[c] : 0xFF;
        if (d == 0xFF) {
            if (c < 128 && skipped_58_64(static_cast<uint32_t>(c))) continue;
            return 0;
        }
        acc = (acc << 6) | d;
        if (++pending == 4) {
            out[count++] = static_cast<uint8_t>(acc >> 16);
            out[count++] = static_cast<uint8_t>(acc >> 8);
            out[count++] = static_cast<uint8_t>(acc);
            acc = 0;
            pending = 0;
        }
    }
    set_used(node, count);
    return node;
}

// --- action handlers ------------------------------------------------------------------------

namespace {

// Whether the bytes of `value` are sure to stay as measured until they are
// written: not the target's own bytes (the move shifts them), not a list or a
// formed value (either may hold the target), and no owner's handler to run
// in between (user code may change the value).
bool settled_q(const kel_value* target, const kel_value* value, bool owner_told_between) {
    if (owner_told_between && (buf(target)->flags & memory::flag_owned)) return false;
    const uint32_t t = type_of(value);
    if (t == types::binary) return series_node(value) != series_node(target);
    return t == types::char_ || t == types::integer || t == types::tuple || text_type(t);
}

// The value to write: the value itself when it is settled, else its bytes
// (its `part` applied, which then becomes -1) taken once, before anything
// changes, into a new binary on the argument stack. A value that cannot be
// encoded raises its error here.
kel_value* settled_value(const kel_value* target, kel_value* value, int64_t* part, bool part_counts_bytes,
                         encode_mode mode, bool owner_told_between) {
    if (settled_q(target, value, owner_told_between)) return value;
    const kel_value v = *value;
    const int64_t n = encode_value(nullptr, &v, *part, part_counts_bytes, mode);
    if (n > static_cast<int64_t>(memory::max_capacity(1))) no_memory();
    kel_value* copy = stack::push_unset();
    binary::init_cell(copy, static_cast<uint32_t>(n));
    {
        collector::pin_guard pin(series_node(copy));
        encode_value(reinterpret_cast<uint8_t*>(buf(copy)->head_ptr()), &v, *part, part_counts_bytes, mode);
    }
    set_used(series_node(copy), n);
    *part = -1;
    return copy;
}

void notify(const kel_value* b, const char* word, const kel_value* value, int64_t index, int64_t count) {
    string::notify(b, word, value, index, count);
}

// The /part count of append and insert: elements of the inserted value (a
// count or a position in the value's own series); false when nothing is to
// be done.
bool inserted_part(kel_value* value, const kel_value* part, int64_t* count) {
    *count = -1;
    if (!part) return true;
    int64_t n;
    if (type_of(part) == types::integer || type_of(part) == types::float_ || type_of(part) == types::percent) {
        n = cell::get_int_checked(part);
    } else if (in_family(type_of(value), family::series) && type_of(part) == type_of(value) &&
               series_node(part) == series_node(value)) {
        n = static_cast<int64_t>(series_head(part)) - series_head(value);
    } else {
        fire(error_category::script, "invalid-refine-arg", error_arg::named("part"), part);
    }
    if (n < 0 && in_family(type_of(value), family::series)) string::part_before_head(value, &n);
    if (n < 1) return false;
    *count = n;
    return true;
}

using string::dup_count;

// append and insert share this body.
signal_code add_bytes(const refinements& r, bool appending) {
    kel_value* target = arg(1);
    if (appending && !r.has(0) && !r.has(2)) {
        // One byte (an integer in the byte range, or an ASCII char) into room
        // the buffer has, with no owner to tell: the byte-at-a-time builder's
        // step, which the general path below answers alike but far slower.
        const kel_value* value = arg(2);
        const uint32_t t = type_of(value);
        int32_t byte = -1;
        if (t == types::integer) {
            const int32_t i = get_integer(value);
            if (i >= -128 && i <= 255) byte = static_cast<uint8_t>(i);
        } else if (t == types::char_ && get_char(value) < 0x80) {
            byte = static_cast<int32_t>(get_char(value));
        }
        buffer_header* h = buf(target);
        if (byte >= 0 && h->tail < h->capacity && !(h->flags & memory::flag_owned)) {
            h->data()[h->tail] = static_cast<char>(byte);
            h->tail += 1;
            set_series_head(target, 0);
            *stack::arguments() = *target;
            return signal_code::none;
        }
    }
    const int64_t head = head_of(target);
    set_series_head(target, static_cast<int32_t>(head));
    const bool at_tail = appending || head == static_cast<int64_t>(buf(target)->used());
    kel_value* value = arg(2);
    int64_t part;
    const int32_t dup = dup_count(r, 2);
    if (!inserted_part(value, ref_arg(r, 0), &part) || dup < 1) {
        if (appending) set_series_head(target, 0);
        return signal_code::none;
    }
    // Measured before the owner hears of it, so a refused value changes
    // nothing and tells nobody.
    value = settled_value(target, value, &part, true, encode_mode::append, true);
    const int64_t n = encode_value(nullptr, value, part, true, encode_mode::append);
    if (n > 0) {
        int64_t total = 0;
        // A size past the limit is refused before the owner hears of the
        // change, and again after, as its handler may have grown the binary.
        const auto too_long = [&] { return total > static_cast<int64_t>(memory::max_capacity(1)) - buf(target)->used(); };
        if (__builtin_mul_overflow(n, static_cast<int64_t>(dup), &total) || too_long()) no_memory();
        notify(target, "append", arg(2), at_tail ? buf(target)->used() : head, total);
        if (too_long()) no_memory();
        const int64_t used = buf(target)->used();
        const int64_t at = at_tail ? used : std::min(head, used);
        // Grow once: to the new length, or twice the capacity when larger.
        buffer_header* h = buf(target);
        if (static_cast<uint64_t>(h->tail) + static_cast<uint64_t>(total) > h->capacity) {
            const uint64_t want = std::min<uint64_t>(
                std::max<uint64_t>(static_cast<uint64_t>(used + total), 2ull * h->capacity), memory::max_capacity(1));
            h = memory::expand_buffer(h, static_cast<uint32_t>(want));
        }
        char* p = h->data() + h->head + at;
        if (at < used) std::memmove(p + total, p, static_cast<size_t>(used - at));
        {
            collector::pin_guard pin(series_node(target));
            encode_value(reinterpret_cast<uint8_t*>(p), value, part, true, encode_mode::append);
        }
        if (dup > 1) memory::replicate(p, static_cast<size_t>(n), static_cast<size_t>(dup));
        h->tail += static_cast<uint32_t>(total);
        notify(target, "appended", arg(2), at, total);
        set_series_head(target, appending ? 0 : static_cast<int32_t>(at + total));
    } else if (appending) {
        set_series_head(target, 0);
    }
    *stack::arguments() = *target;
    return signal_code::none;
}

signal_code a_append(const refinements& r) { return add_bytes(r, true); }
signal_code a_insert(const refinements& r) { return add_bytes(r, false); }

signal_code a_change(const refinements& r) {
    kel_value* target = arg(1);
    set_series_head(target, static_cast<int32_t>(head_of(target)));
    int64_t range = -1;
    if (const kel_value* p = ref_arg(r, 0)) {
        if (type_of(p) == types::binary && series_node(p) == series_node(target)) {
            range = static_cast<int64_t>(series_head(p)) - series_head(target);
        } else if (type_of(p) == types::integer || type_of(p) == types::float_ || type_of(p) == types::percent) {
            range = cell::get_int_checked(p);
        } else {
            fire(error_category::script, "invalid-refine-arg", error_arg::named("part"), p);
        }
        range = std::max<int64_t>(range, 0);
    }
    const int32_t dup = dup_count(r, 2);
    if (dup < 1) return signal_code::none;
    // Measured, and a size past the limit refused, before the owner hears
    // of the change; its handler may then reshape the binary, so the head
    // and the lengths are taken again after it.
    int64_t part = -1;
    kel_value* value = settled_value(target, arg(2), &part, false, encode_mode::change, true);
    const int64_t n = encode_value(nullptr, value, part, false, encode_mode::change);
    int64_t total = 0;
    int64_t head = 0, used = 0, replaced = 0, new_used = 0;
    const auto measure = [&] {
        head = head_of(target);
        used = buf(target)->used();
        replaced = std::min(range >= 0 ? range : total, used - head);
        new_used = used - replaced + total;
        return new_used > static_cast<int64_t>(memory::max_capacity(1));
    };
    if (__builtin_mul_overflow(n, static_cast<int64_t>(dup), &total) || measure()) no_memory();
    notify(target, "change", arg(2), head, range);
    if (measure()) no_memory();
    buffer_header* h = buf(target);
    if (static_cast<uint64_t>(h->head) + static_cast<uint64_t>(new_used) > h->capacity) {
        const uint64_t want = std::min<uint64_t>(std::max<uint64_t>(static_cast<uint64_t>(new_used), 2ull * h->capacity),
                                                 memory::max_capacity(1));
        h = memory::expand_buffer(h, static_cast<uint32_t>(want));
    }
    char* p = h->data() + h->head + head;
    std::memmove(p + total, p + replaced, static_cast<size_t>(used - head - replaced));
    h->tail = h->head + static_cast<uint32_t>(new_used);
    if (n > 0) {
        {
            collector::pin_guard pin(series_node(target));
            h = buf(target);
            p = h->data() + h->head + head;
            encode_value(reinterpret_cast<uint8_t*>(p), value, part, false, encode_mode::change);
        }
        if (dup > 1) memory::replicate(p, static_cast<size_t>(n), static_cast<size_t>(dup));
    }
    notify(target, "changed", arg(2), head, total);
    set_series_head(target, static_cast<int32_t>(head + total));
    *stack::arguments() = *target;
    return signal_code::none;
}

signal_code a_trim(const refinements& r) {
    kel_value* b = arg(1);
    const bool head = r.has(0), tail = r.has(1), auto_ = r.has(2), lines = r.has(3), all = r.has(4);
    const kel_value* with = ref_arg(r, 5);
    if (!with && !all && (auto_ || lines)) fire(error_category::internal, "not-done");
    notify(b, "trim", b, head_of(b), 0);
    if (with || all) {
        // The byte set to remove.
        bool drop[256] = {};
        if (!with) {
            drop[0] = true;
        } else {
            const uint32_t t = type_of(with);
            if (t == types::char_ || t == types::integer) {
                const uint32_t code = t == types::char_ ? get_char(with) : static_cast<uint32_t>(get_integer(with));
                if (code < 256) drop[code] = true;
            } else {
                buffer_header* wh = buf(with);
                const int64_t units = wh->units();
                const int64_t from = std::clamp<int64_t>(series_head(with), 0, units);
                for (int64_t i = from; i < units; ++i) {
                    const uint32_t c = string::read_unit(wh->data() + wh->head + (i << wh->shift()), wh->unit());
                    if (c < 256) drop[c] = true;
                }
            }
        }
        buffer_header* h = buf(b);
        const int64_t start = head_of(b);
        uint8_t* p = reinterpret_cast<uint8_t*>(h->data() + h->head);
        int64_t out = start;
        for (int64_t i = start; i < static_cast<int64_t>(h->used()); ++i)
            if (!drop[p[i]]) p[out++] = p[i];
        h->tail = h->head + static_cast<uint32_t>(out);
    } else {
        trim_zeros(b, head, tail);
    }
    return signal_code::none;
}

signal_code a_and(const refinements&) {
    logic_op(logic::and_);
    return signal_code::none;
}
signal_code a_or(const refinements&) {
    logic_op(logic::or_);
    return signal_code::none;
}
signal_code a_xor(const refinements&) {
    logic_op(logic::xor_);
    return signal_code::none;
}

signal_code a_complement(const refinements&) {
    kel_value* b = arg(1);
    const int64_t n = ks_length_q(b);
    uint8_t* p = ks_head(b);
    for (int64_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
    return signal_code::none;
}

}  // namespace

void to_bytes(kel_value* result, const kel_value* spec) {
    const kel_value sp = *spec;
    const uint32_t t = type_of(&sp);
    if (t == types::integer) {
        binary::init_cell(result, 4);
        append_int32_be(get_integer(&sp), result);
    } else if (t == types::float_ || t == types::percent) {
        const double d = get_float(&sp);
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        binary::init_cell(result, 8);
        append_bytes(result, bytes, 8);
    } else if (t == types::issue) {
        from_issue(&sp, result, false);
    } else if (t == types::bitset) {
        const int64_t n = bitset::byte_length(&sp);
        binary::init_cell(result, static_cast<uint32_t>(n));
        append_bytes(result, bitset::bits(&sp), static_cast<size_t>(n));
    } else if (t == types::binary) {
        const int32_t n = ks_length_q(&sp);
        binary::init_cell(result, static_cast<uint32_t>(n));
        append_bytes(result, ks_head(&sp), static_cast<size_t>(n));
    } else if (t == types::image) {
        image::get_channel_data(&sp, image::argb, result);
    } else if (t == types::tuple) {
        const int n = tuple::count_of(&sp);
        binary::init_cell(result, static_cast<uint32_t>(n));
        append_bytes(result, tuple::bytes_of(&sp), static_cast<size_t>(n));
    } else if (t == types::char_ || text_type(t) || list_type(t)) {
        const int64_t n = encode_value(nullptr, &sp, -1, false, encode_mode::append);
        if (n > static_cast<int64_t>(memory::max_capacity(1))) no_memory();
        binary::init_cell(result, static_cast<uint32_t>(n));
        {
            collector::pin_guard pin(series_node(result));
            encode_value(reinterpret_cast<uint8_t*>(buf(result)->head_ptr()), &sp, -1, false, encode_mode::append);
        }
        set_used(series_node(result), n);
    } else {
        bad_to_arg(&sp);
    }
}

namespace {

void to(kel_value* result, const kel_value* spec) { to_bytes(result, spec); }

signal_code a_make(const refinements&) {
    const kel_value* spec = arg(2);
    kel_value* result = stack::push_unset();
    if (type_of(spec) == types::integer || type_of(spec) == types::float_) {
        // A size: an empty binary with that much room.
        const int32_t n = cell::get_int_checked(spec);
        if (n < 0) fire(error_category::script, "out-of-range", spec);
        binary::init_cell(result, static_cast<uint32_t>(n));
    } else if (type_of(spec) == types::money) {
        kel_value dt;
        set_datatype(&dt, types::binary);
        fire(error_category::script, "bad-make-arg", &dt, spec);
    } else {
        to(result, spec);
    }
    *stack::arguments() = *result;
    stack::drop_cells(1);
    return signal_code::none;
}

signal_code a_to(const refinements&) {
    // The result cell is on the stack while it is filled: building it may
    // collect.
    kel_value* result = stack::push_unset();
    to(result, arg(2));
    *stack::arguments() = *result;
    stack::drop_cells(1);
    return signal_code::none;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* a, int32_t part) {
    return mold_bytes(value, buffer, false, false, a != nullptr, part, 0);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool, bool flat, const kel_value* a, int32_t part,
             int32_t indent) {
    return mold_bytes(value, buffer, only, flat, a != nullptr, part, indent);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::binary) return cmp::not_comparable;
    return compare_bytes(value, other, op, false);
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::binary;
    r.parent = types::string;
    r.name = "binary!";
    r.hash = hashtable::hash_by::bytes;
    r.marker = kel::collector::cell_markers::word2_node;
    r.families = family::series;
    // Navigation, search, copy and the other series actions are string!'s.
    r.inherit_all();
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    for (int a = act::absolute; a <= act::xor_; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    r[act::and_] = static_cast<action_fn>(a_and);
    r[act::complement] = static_cast<action_fn>(a_complement);
    r[act::or_] = static_cast<action_fn>(a_or);
    r[act::xor_] = static_cast<action_fn>(a_xor);
    r[act::append] = static_cast<action_fn>(a_append);
    r[act::change] = static_cast<action_fn>(a_change);
    r[act::insert] = static_cast<action_fn>(a_insert);
    r[act::put] = registry::entry{};
    r[act::trim] = static_cast<action_fn>(a_trim);
    for (int a = act::create; a <= act::delete_; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    for (int a = act::open; a <= act::write; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    return r;
}

}  // namespace kel::binary
