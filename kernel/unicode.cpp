// unicode: see unicode.h. The decoders never read outside the bytes they are
// given (the fast decoder's bound is the NUL terminator it trusts), and never
// end the process on bad input: malformed text is reported to the caller.
#include "kernel/unicode.h"

#include <cstring>

#include "kernel/case_tables.h"
#include "kernel/fatal.h"
#include "kernel/fold.h"

namespace kel::unicode {
namespace {

#include "kernel/unicode_width_data.inc"

[[noreturn]] __attribute__((noinline)) void bad_unit() {
    fatal::report_error(fatal::no_switch_matched, __builtin_return_address(0));
}

constexpr uint8_t cr = 0x0D;
constexpr uint8_t lf = 0x0A;

}  // namespace

// ---------------------------------------------------------------- units

int32_t read_unit(const uint8_t* p, uint8_t unit) {
    switch (unit) {
        case 1: return p[0];
        case 2: return static_cast<int32_t>(p[0] | (p[1] << 8));
        case 4: {
            uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
            return static_cast<int32_t>(v);
        }
        default: bad_unit();
    }
}

void write_unit(uint8_t* p, uint8_t unit, uint32_t cp) {
    switch (unit) {
        case 4:
            p[3] = static_cast<uint8_t>(cp >> 24);
            p[2] = static_cast<uint8_t>(cp >> 16);
            [[fallthrough]];
        case 2: p[1] = static_cast<uint8_t>(cp >> 8); [[fallthrough]];
        case 1: p[0] = static_cast<uint8_t>(cp); break;
        default: bad_unit();
    }
}

void widen_in_place(uint8_t* data, size_t count, uint8_t from, uint8_t to) {
    if (!((from == 1 && (to == 2 || to == 4)) || (from == 2 && to == 4))) bad_unit();
    // Back to front: unit i's wider copy ends at or after its old end, so no
    // unit is overwritten before it has been read.
    for (size_t i = count; i-- > 0;) {
        uint32_t v = static_cast<uint32_t>(read_unit(data + i * from, from));
        write_unit(data + i * to, to, v);
    }
}

void unit_text::widen(uint8_t to) {
    if (to <= unit) return;
    size_t n = length();
    bytes.resize(n * to);
    widen_in_place(reinterpret_cast<uint8_t*>(bytes.data()), n, unit, to);
    unit = to;
}

void unit_text::push_store(uint32_t cp) {
    widen(widened_for_store(unit, cp));
    uint8_t b[4];
    write_unit(b, unit, cp);
    bytes.append(reinterpret_cast<const char*>(b), unit);
}

void unit_text::push_append(uint32_t cp) {
    widen(widened_for_append(unit, cp));
    uint8_t b[4];
    write_unit(b, unit, cp);
    bytes.append(reinterpret_cast<const char*>(b), unit);
}

// ---------------------------------------------------------------- UTF-8 decoding

// clang-format off
const uint8_t utf8_automaton[364] = {
    // character classes of the byte values 0x00-0xFF
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,  // 00-1F
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,  // 20-3F
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,  // 40-5F
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,  // 60-7F
    1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1, 9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,  // 80-9F
    7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7, 7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,  // A0-BF
    8,8,2,2,2,2,2,2,2,2,2,2,2,2,2,2, 2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,  // C0-DF
    10,3,3,3,3,3,3,3,3,3,3,3,3,4,3,3, 11,6,6,6,5,8,8,8,8,8,8,8,8,8,8,8, // E0-FF
    // transitions: state + class -> state
    0,12,24,36,60,96,84,12,12,12,48,72,
    12,12,12,12,12,12,12,12,12,12,12,12,
    12,0,12,12,12,12,12,0,12,0,12,12,
    12,24,12,12,12,12,12,24,12,24,12,12,
    12,12,12,12,12,12,12,24,12,12,12,12,
    12,24,12,12,12,12,12,12,12,24,12,12,
    12,12,12,12,12,12,12,36,12,36,12,12,
    12,36,12,12,12,12,12,36,12,36,12,12,
    12,36,12,12,12,12,12,12,12,12,12,12,
};
// clang-format on

namespace {

constexpr const uint8_t* transitions = utf8_automaton + 256;

// One step of the automaton per byte; `bounded` adds the end test.
template <bool bounded>
const uint8_t* decode_one(const uint8_t* p, const uint8_t* end, int32_t* cp) {
    uint8_t b = *p++;
    uint32_t cls = utf8_automaton[b];
    uint32_t value = (0xFFu >> cls) & b;
    uint32_t state = transitions[cls];
    while (state != 0) {
        if (state == 12) {
            *cp = -1;
            return p;
        }
        if (bounded && p == end) {
            *cp = -1;
            return p;
        }
        b = *p;
        cls = utf8_automaton[b];
        value = (value << 6) | (b & 0x3Fu);
        state = transitions[state + cls];
        // The offending byte is consumed with the sequence, unless it is a NUL:
        // that may be the terminator, and the caller must see it next.
        if (state != 12 || b != 0) ++p;
    }
    *cp = static_cast<int32_t>(value);
    return p;
}

}  // namespace

const uint8_t* fast_decode_utf8_char(const uint8_t* p, int32_t* cp) { return decode_one<false>(p, nullptr, cp); }

const uint8_t* decode_utf8_char_bounded(const uint8_t* p, const uint8_t* end, int32_t* cp) {
    return decode_one<true>(p, end, cp);
}

size_t count_utf8_chars(const uint8_t* start, const uint8_t* end) {
    size_t n = 0;
    int32_t cp;
    for (const uint8_t* p = start; p < end; ++n) p = decode_one<true>(p, end, &cp);
    return n;
}

const uint8_t* skip_utf8_chars(const uint8_t* p, const uint8_t* end, size_t n) {
    int32_t cp;
    while (n > 0 && p < end) {
        p = decode_one<true>(p, end, &cp);
        --n;
    }
    return p;
}

namespace {

int32_t malformed(const uint8_t* p, size_t available, text_error* err) {
    if (err) {
        size_t n = available < 4 ? available : 4;
        err->id = error_id::invalid_utf8;
        err->byte_count = static_cast<uint8_t>(n);
        std::memset(err->bytes, 0, sizeof err->bytes);
        std::memcpy(err->bytes, p, n);
    }
    return utf8_malformed;
}

inline bool continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

int32_t read_utf8_char(const uint8_t* p, size_t* count, text_error* err) {
    size_t available = *count;
    uint8_t b = p[0];
    if (b < 0x80) {
        *count = 1;
        return b;
    }
    size_t need;
    uint32_t cp;
    if (b < 0xC0 || b >= 0xF8) return malformed(p, available, err);
    need = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (available < need) return utf8_short;
    for (size_t i = 1; i < need; ++i)
        if (!continuation(p[i])) return malformed(p, available, err);
    // An overlong form (C0 AF for "/") is malformed like any other: the
    // code point it spells has a shorter form, and text checked as bytes
    // must mean the same once decoded.
    if (need == 2) {
        cp = (static_cast<uint32_t>(b - 0xC0) << 6) | (p[1] - 0x80u);
        if (cp < 0x80) return malformed(p, available, err);
    } else if (need == 3) {
        cp = (static_cast<uint32_t>(b - 0xE0) << 12) | ((p[1] - 0x80u) << 6) | (p[2] - 0x80u);
        if (cp < 0x800 || (cp >= 0xDC00 && cp <= 0xDCFF)) return malformed(p, available, err);
    } else {
        cp = (static_cast<uint32_t>(b - 0xF0) << 18) | ((p[1] - 0x80u) << 12) | ((p[2] - 0x80u) << 6) | (p[3] - 0x80u);
        if (cp < 0x10000 || cp > 0x10FFFF) return malformed(p, available, err);
    }
    // U+FFFE marks a malformed sequence inside the loaders, so it cannot be text.
    if (cp == 0xFFFE) return malformed(p, available, err);
    *count = need;
    return static_cast<int32_t>(cp);
}

error_id utf8_to_units(const uint8_t* p, size_t size, bool cr_flag, unit_text& out, size_t* remaining,
                       text_error* err) {
    out.clear();
    if (remaining) *remaining = 0;
    if (size == 0) return error_id::none;
    size_t i = 0;
    if (size > 2 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
    while (i < size) {
        size_t n = size - i;
        int32_t cp = read_utf8_char(p + i, &n, err);
        if (cp == utf8_short) {
            if (remaining) *remaining = size - i;
            return error_id::none;
        }
        if (cp == utf8_malformed) return error_id::invalid_utf8;
        i += n;
        if (cr_flag && cp == cr) {
            if (i < size && p[i] == lf) continue;  // the LF is stored next
            cp = lf;
        }
        out.push_store(static_cast<uint32_t>(cp));
    }
    return error_id::none;
}

// ---------------------------------------------------------------- UTF-8 encoding

error_id utf8_buffer_size(text_view v, size_t* bytes, text_error* err) {
    size_t total = 0;
    for (size_t i = 0; i < v.length; ++i) {
        uint32_t cp = static_cast<uint32_t>(read_unit(v.data + i * v.unit, v.unit));
        int n = utf8_char_size(cp);
        if (n == 0) {
            if (err) *err = text_error{error_id::invalid_char, 0, {}, cp};
            return error_id::invalid_char;
        }
        total += static_cast<size_t>(n);
    }
    *bytes = total;
    return error_id::none;
}

int encode_utf8_char(uint32_t cp, uint8_t* dst) {
    if (cp <= 0x7F) {
        dst[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp <= 0x7FF) {
        dst[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        dst[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (escaped_byte_q(cp)) {
        dst[0] = static_cast<uint8_t>(cp & 0xFF);
        return 1;
    }
    if (cp <= 0xFFFF) {
        dst[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        dst[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        dst[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp <= 0x10FFFF) {
        dst[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
        dst[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        dst[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        dst[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 4;
    }
    return 0;
}

int encode_utf8_partial(uint32_t cp, uint8_t* dst, long room) {
    uint8_t tmp[4];
    int n = encode_utf8_char(cp, tmp);
    if (n == 0) return -1;
    if (room <= 0) return 0;
    if (room < n) n = static_cast<int>(room);
    std::memcpy(dst, tmp, static_cast<size_t>(n));
    return n;
}

namespace {

error_id invalid_char(uint32_t cp, text_error* err) {
    if (err) *err = text_error{error_id::invalid_char, 0, {}, cp};
    return error_id::invalid_char;
}

}  // namespace

error_id encode_utf8(text_view v, bool crlf, bool nul, uint8_t* dst, size_t* written, text_error* err) {
    size_t w = 0;
    for (size_t i = 0; i < v.length; ++i) {
        uint32_t cp = static_cast<uint32_t>(read_unit(v.data + i * v.unit, v.unit));
        if (crlf && cp == lf) dst[w++] = cr;
        int n = encode_utf8_char(cp, dst + w);
        if (n == 0) {
            *written = w;
            return invalid_char(cp, err);
        }
        w += static_cast<size_t>(n);
    }
    if (nul) dst[w] = 0;
    *written = w;
    return error_id::none;
}

error_id encode_utf8_bounded(text_view v, uint8_t* dst, size_t room, long limit, bool nul, size_t* written,
                             text_error* err) {
    size_t count = v.length;
    if (limit > 0 && static_cast<size_t>(limit) < count) count = static_cast<size_t>(limit);
    size_t w = 0;
    for (size_t i = 0; i < count && w < room; ++i) {
        uint32_t cp = static_cast<uint32_t>(read_unit(v.data + i * v.unit, v.unit));
        int n = encode_utf8_partial(cp, dst + w, static_cast<long>(room - w));
        if (n < 0) {
            *written = w;
            return invalid_char(cp, err);
        }
        w += static_cast<size_t>(n);
    }
    if (nul) dst[w] = 0;
    *written = w;
    return error_id::none;
}

error_id to_utf8(text_view v, bool crlf, std::string& out, text_error* err) {
    out.resize(utf8_bound(v.length, v.unit));
    size_t w = 0;
    error_id e = encode_utf8(v, crlf, false, reinterpret_cast<uint8_t*>(out.data()), &w, err);
    out.resize(w);
    return e;
}

// ---------------------------------------------------------------- UTF-16

int encode_utf16_char(uint32_t cp, uint16_t* dst) {
    if (cp < 0x10000) {
        dst[0] = static_cast<uint16_t>(cp);
        return 1;
    }
    if (cp <= 0x10FFFF) {
        dst[0] = static_cast<uint16_t>(0xD800 | ((cp - 0x10000) >> 10));
        dst[1] = static_cast<uint16_t>(0xDC00 | (cp & 0x3FF));
        return 2;
    }
    return 0;
}

size_t utf16_bound(text_view v) {
    size_t n = v.length + 1;
    for (size_t i = 0; i < v.length; ++i) {
        uint32_t cp = static_cast<uint32_t>(read_unit(v.data + i * v.unit, v.unit));
        if (cp == lf || cp > 0xFFFF) ++n;
    }
    return n;
}

long encode_utf16(text_view v, bool crlf, uint16_t* dst) {
    size_t w = 0;
    if (v.unit == 2 && !crlf) {
        std::memcpy(dst, v.data, v.length * 2);  // the one block copy: storage is UTF-16 already
        w = v.length;
    } else {
        for (size_t i = 0; i < v.length; ++i) {
            uint32_t cp = static_cast<uint32_t>(read_unit(v.data + i * v.unit, v.unit));
            if (crlf && cp == lf) dst[w++] = cr;
            int n = encode_utf16_char(cp, dst + w);
            if (n == 0) return -1;
            w += static_cast<size_t>(n);
        }
    }
    dst[w] = 0;
    return static_cast<long>(w);
}

bool to_utf16(text_view v, bool crlf, std::u16string& out) {
    out.resize(utf16_bound(v));
    long n = encode_utf16(v, crlf, reinterpret_cast<uint16_t*>(out.data()));
    if (n < 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n));
    return true;
}

uint8_t utf16_unit_needed(const uint8_t* p, size_t units) {
    uint8_t unit = 1;
    for (size_t i = 0; i < units; ++i) {
        uint8_t high = p[2 * i + 1];
        if (high >= 0xD8 && high <= 0xDF) return 4;
        if (high) unit = 2;
    }
    return unit;
}

void utf16_to_units(const uint8_t* p, size_t units, bool cr_flag, unit_text& out) {
    out.clear();
    out.unit = utf16_unit_needed(p, units);
    out.bytes.reserve(units * out.unit);
    uint8_t b[4];
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = static_cast<uint32_t>(p[2 * i] | (p[2 * i + 1] << 8));
        if (cr_flag && u == cr) continue;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t next = static_cast<uint32_t>(p[2 * i + 2] | (p[2 * i + 3] << 8));
            if (next >= 0xDC00 && next <= 0xDFFF) {
                u = (((u & 0x3FF) << 10) | (next & 0x3FF)) + 0x10000;
                ++i;
            }
        }
        // A lone surrogate, lead or trail, is kept as it is: the text is the
        // caller's, and dropping or replacing it would lose it.
        write_unit(b, out.unit, u);
        out.bytes.append(reinterpret_cast<const char*>(b), out.unit);
    }
}

uint16_t* bytes_to_utf16(const char* s, uint16_t* dst) {
    size_t i = 0;
    for (; s[i]; ++i) dst[i] = static_cast<uint8_t>(s[i]);
    dst[i] = 0;
    return dst;
}

// ---------------------------------------------------------------- code page

const uint16_t cp1251_high[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

void cp1251_to_units(const uint8_t* p, size_t size, bool cr_flag, unit_text& out) {
    out.clear();
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = p[i];
        uint32_t cp = b < 0x80 ? b : cp1251_high[b - 0x80];
        if (cr_flag && b == cr) {
            if (i + 1 < size && p[i + 1] == lf) continue;
            cp = lf;
        }
        out.push_store(cp);
    }
}

// ---------------------------------------------------------------- comparison

int compare_text(text_view a, text_view b, int op, bool match, bool same_position) {
    bool equality_op = op == op_equal || op == op_not_equal || op == op_strict_equal || op == op_find;
    if (op == op_same) return same_position ? 0 : -1;
    if (same_position && equality_op) return 0;

    size_t len1 = a.length, len2 = b.length;
    if (!match) {
        if (len1 == 0 && len2 == 0) return 0;
        if (len1 != len2) {
            if (equality_op) return 1;
            if (len2 == 0) return 1;
            if (len1 < len2) len2 = len1;  // only a's length of b is compared
        }
    } else {
        if (len2 == 0) return op == op_find ? 1 : 0;
        if (len1 < len2) return 1;
    }
    if (len1 == 0) return -1;

    // Texts of one width and length with the same units are equal under
    // every op that reaches here (map! and set keys meet this at each hit).
    if (len1 == len2 && a.unit == b.unit && a.length == b.length && std::memcmp(a.data, b.data, len1 * a.unit) == 0)
        return 0;
    bool fold = op != op_strict_equal && op != op_case_sort;
    int32_t c1 = 0, c2 = 0;
    size_t i = 0;
    for (; i < len2; ++i) {
        c1 = read_unit(a.data + i * a.unit, a.unit);
        c2 = read_unit(b.data + i * b.unit, b.unit);
        if (fold) {
            c1 = static_cast<int32_t>(fold_upper(static_cast<uint32_t>(c1)));
            c2 = static_cast<int32_t>(fold_upper(static_cast<uint32_t>(c2)));
        }
        if (c1 != c2) break;
    }
    if (i == len2) {
        if (match) return 0;
        return a.length < b.length ? -1 : a.length > b.length ? 1 : 0;
    }
    return c1 < c2 ? -1 : 1;
}

// ---------------------------------------------------------------- hex

namespace {
constexpr char hex_digits[] = "0123456789ABCDEF";
}

hex_text hex_of_byte(uint8_t b) {
    hex_text h;
    h.text[0] = hex_digits[b >> 4];
    h.text[1] = hex_digits[b & 15];
    h.length = 2;
    return h;
}

hex_text hex_of_integer(int32_t value, bool short_form) {
    // Digits from the lowest nibble up; the arithmetic shift ends a negative
    // value at -1 and a positive one at 0, and whatever is left is padding.
    char buf[8];
    int pos = 8;
    int32_t end = value < 0 ? -1 : 0;
    for (int32_t v = value; v != end && pos > 0; v >>= 4) buf[--pos] = hex_digits[v & 15];
    hex_text h;
    if (short_form && value >= 0) {
        if (pos == 8) {
            std::memcpy(h.text, "00", 2);
            h.length = 2;
        } else {
            h.length = static_cast<uint8_t>(8 - pos);
            std::memcpy(h.text, buf + pos, h.length);
        }
        return h;
    }
    while (pos > 0) buf[--pos] = value < 0 ? 'F' : '0';
    std::memcpy(h.text, buf, 8);
    h.length = 8;
    return h;
}

// ---------------------------------------------------------------- display width

range_table zero_width_table() { return {zero_width_ranges, std::size(zero_width_ranges)}; }
range_table wide_table() { return {wide_ranges, std::size(wide_ranges)}; }
range_table ambiguous_table() { return {ambiguous_ranges, std::size(ambiguous_ranges)}; }

int in_ranges(uint32_t cp, const uint32_t* table, size_t entry_count) {
    if (entry_count < 2 || cp < table[0] || cp > table[entry_count - 1]) return 0;
    // Binary search for the last range whose first member is <= cp.
    size_t lo = 0, hi = entry_count / 2;
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        if (table[2 * mid] <= cp) lo = mid; else hi = mid;
    }
    return cp >= table[2 * lo] && cp <= table[2 * lo + 1] ? 1 : 0;
}

int char_width_basic(uint32_t cp) {
    if (cp == 0) return 0;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return 1;
    if (in_ranges(cp, zero_width_ranges, std::size(zero_width_ranges))) return 0;
    if (in_ranges(cp, wide_ranges, std::size(wide_ranges))) return 2;
    return 1;
}

int char_width(uint32_t cp) {
    if (in_ranges(cp, ambiguous_ranges, std::size(ambiguous_ranges))) return 2;
    return char_width_basic(cp);
}

}  // namespace kel::unicode
