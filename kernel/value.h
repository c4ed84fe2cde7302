// value: the 16-byte cell every Kel value lives in. Word 0 is the header (type
// id in the low byte, per-type flags above, bit 30 = molded on a new line);
// words 1-3 are the payload. No machine address is ever stored in a cell:
// series and contexts are 32-bit node ids, entry points are table numbers.
//
// This header holds the type ids and the small inline helpers that read and
// write every payload form, so that no module pokes at payload words by hand:
//   integer!, char!, handle!          int32 in word 2
//   float!, percent!, time!           float64 in words 2-3 (low half in word 2)
//   logic!                            0 or 1 in word 1
//   datatype!                         the named type id in word 1
//   series (block!, string! ...)      head index in word 1, node in word 2,
//                                     per-type extra in word 3
//   pair!                             two int32 in words 2-3
//   point2D!, point3D!                float32 in words 1-2 / 1-3
//   typeset!                          96-bit set in words 1-3
//   word types                        context node, symbol id, index in 1-3
// A cell is copied as its four words; a fresh cell is unset! with zero payload.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kel {

struct alignas(16) kel_value {
    uint32_t header, w1, w2, w3;
};
static_assert(sizeof(kel_value) == 16);
static_assert(alignof(kel_value) == 16);
static_assert(offsetof(kel_value, w2) == 8);

// The 54 datatype ids. The names drop the trailing "!"; `char_`, `float_` and
// the like avoid C++ keywords.
namespace types {
enum id : uint8_t {
    none_id = 0,  // no type: row 0 of the tables is never filled
    datatype = 1,
    unset = 2,
    none = 3,
    logic = 4,
    block = 5,
    paren = 6,
    string = 7,
    file = 8,
    url = 9,
    char_ = 10,
    integer = 11,
    float_ = 12,
    symbol = 13,
    context = 14,
    word = 15,
    set_word = 16,
    lit_word = 17,
    get_word = 18,
    refinement = 19,
    issue = 20,
    native = 21,
    action = 22,
    op = 23,
    function = 24,
    path = 25,
    lit_path = 26,
    set_path = 27,
    get_path = 28,
    routine = 29,
    bitset = 30,
    triple = 31,
    object = 32,
    typeset = 33,
    error = 34,
    vector = 35,
    hash = 36,
    pair = 37,
    percent = 38,
    tuple = 39,
    map = 40,
    binary = 41,
    series = 42,
    time = 43,
    tag = 44,
    email = 45,
    handle = 46,
    date = 47,
    port = 48,
    money = 49,
    ref = 50,
    point2d = 51,
    point3d = 52,
    image = 53,
    event = 54,
    // Internal records: cells no value of the language ever has, so that no
    // datatype's handler, marker or hash meets them. Never registered.
    hook_record = 55,  // an object's on-set record (datatypes/object)
    lexer_marker = 56, // an open series in the lexer's work buffer
};
constexpr int count = 54;       // highest datatype id
constexpr int table_rows = 57;  // rows of the registry's tables (ids 0-56)
}  // namespace types

// Header bits shared by every type.
constexpr uint32_t header_type_mask = 0xFFu;
constexpr uint32_t header_new_line = 0x40000000u;  // a line break is molded before the value
constexpr uint32_t header_changed = 0x2000u;       // word cell of an object's words: field assigned
// context! cell: its values live on the argument stack (a running function's
// frame, or a word table parked for the collector), not in a values block.
constexpr uint32_t header_context_stack = 0x400000u;

// --- header ----------------------------------------------------------------

inline uint32_t type_of(const kel_value* v) { return v->header & header_type_mask; }
// Replaces the type byte, keeping the flag bits.
inline void set_type(kel_value* v, uint32_t type) { v->header = (v->header & ~header_type_mask) | (type & 0xFFu); }
inline bool new_line_q(const kel_value* v) { return (v->header & header_new_line) != 0; }
inline void set_new_line(kel_value* v, bool on) {
    v->header = on ? (v->header | header_new_line) : (v->header & ~header_new_line);
}
inline void clear_new_line(kel_value* v) { v->header &= ~header_new_line; }
inline uint32_t header_flags(const kel_value* v) { return v->header & ~header_type_mask; }

// Copies the four words; the same address copies nothing.
inline kel_value* copy_cell(const kel_value* src, kel_value* dst) {
    if (src != dst) *dst = *src;
    return dst;
}

// --- scalars ---------------------------------------------------------------

inline void init_cell(kel_value* v, uint32_t header) { v->header = header; v->w1 = v->w2 = v->w3 = 0; }
inline void set_unset(kel_value* v) { init_cell(v, types::unset); }
inline void set_none(kel_value* v) { init_cell(v, types::none); }
inline bool unset_q(const kel_value* v) { return type_of(v) == types::unset; }
inline bool none_q(const kel_value* v) { return type_of(v) == types::none; }

inline void set_logic(kel_value* v, bool b) { init_cell(v, types::logic); v->w1 = b ? 1u : 0u; }
inline bool get_logic(const kel_value* v) { return v->w1 != 0; }

inline void set_integer(kel_value* v, int32_t i) { init_cell(v, types::integer); v->w2 = static_cast<uint32_t>(i); }
inline int32_t get_integer(const kel_value* v) { return static_cast<int32_t>(v->w2); }

inline void set_char(kel_value* v, uint32_t code_point) { init_cell(v, types::char_); v->w2 = code_point; }
inline uint32_t get_char(const kel_value* v) { return v->w2; }

// float!, percent! (as a fraction) and time! (seconds): a float64 in words 2-3.
inline void put_float(kel_value* v, double d) { std::memcpy(reinterpret_cast<char*>(v) + 8, &d, sizeof d); }
inline void set_float(kel_value* v, double d, uint32_t type = types::float_) { init_cell(v, type); put_float(v, d); }
inline double get_float(const kel_value* v) {
    double d;
    std::memcpy(&d, reinterpret_cast<const char*>(v) + 8, sizeof d);
    return d;
}
// The one float -> int32 rule: a float is an integer argument, truncated toward
// zero, when it lies within -2147483648.0 .. 2147483647.0 (so 2147483647.5 is
// out of range, as to integer! says); beyond that, and NaN, is out of range.
inline bool int32_range_q(double d) { return d >= -2147483648.0 && d <= 2147483647.0; }
// Truncation toward zero of a float that int32_range_q accepted.
inline int32_t truncate_int32(double d) { return static_cast<int32_t>(d); }

inline void set_datatype(kel_value* v, uint32_t type) { init_cell(v, types::datatype); v->w1 = type; }
inline uint32_t get_datatype(const kel_value* v) { return v->w1; }

inline void set_pair(kel_value* v, int32_t x, int32_t y) {
    init_cell(v, types::pair);
    v->w2 = static_cast<uint32_t>(x);
    v->w3 = static_cast<uint32_t>(y);
}
inline int32_t pair_x(const kel_value* v) { return static_cast<int32_t>(v->w2); }
inline int32_t pair_y(const kel_value* v) { return static_cast<int32_t>(v->w3); }

// point2D! (words 1-2) and point3D! (words 1-3): float32 axes.
inline void put_float32(kel_value* v, int word, float f) {
    std::memcpy(reinterpret_cast<char*>(v) + 4 * word, &f, sizeof f);
}
inline float get_float32(const kel_value* v, int word) {
    float f;
    std::memcpy(&f, reinterpret_cast<const char*>(v) + 4 * word, sizeof f);
    return f;
}
inline void set_point2d(kel_value* v, float x, float y) {
    init_cell(v, types::point2d);
    put_float32(v, 1, x);
    put_float32(v, 2, y);
}
inline void set_point3d(kel_value* v, float x, float y, float z) {
    init_cell(v, types::point3d);
    put_float32(v, 1, x);
    put_float32(v, 2, y);
    put_float32(v, 3, z);
}

// typeset!: type id t is bit 0x80 >> (t & 7) of payload byte t >> 3.
inline bool typeset_has(const kel_value* v, uint32_t type) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(v) + 4;
    return type < 96 && (bytes[type >> 3] & (0x80u >> (type & 7))) != 0;
}
inline void typeset_add(kel_value* v, uint32_t type) {
    auto* bytes = reinterpret_cast<uint8_t*>(v) + 4;
    if (type < 96) bytes[type >> 3] = static_cast<uint8_t>(bytes[type >> 3] | (0x80u >> (type & 7)));
}

// --- series ----------------------------------------------------------------

inline void set_series(kel_value* v, uint32_t type, int32_t head, uint32_t node, uint32_t extra = 0) {
    v->header = type;
    v->w1 = static_cast<uint32_t>(head);
    v->w2 = node;
    v->w3 = extra;
}
inline int32_t series_head(const kel_value* v) { return static_cast<int32_t>(v->w1); }
inline void set_series_head(kel_value* v, int32_t head) { v->w1 = static_cast<uint32_t>(head); }
inline uint32_t series_node(const kel_value* v) { return v->w2; }

// Type families. Each datatype's registry row states the families it belongs
// to (registry::registration::families); `install` copies them into
// `type_families`, so a family test is one load and one bit test and no list
// of type ids is written anywhere else. The native specs' typesets
// (any-block!, series! ...) are built from the same bits.
namespace family {
enum bits : uint16_t {
    block_like = 1u << 0,   // any-block!: the cell series
    string_like = 1u << 1,  // any-string!: the text series
    series = 1u << 2,       // series!: every series type
    word = 1u << 3,         // any-word!: word, set-word, lit-word, get-word
    scalar = 1u << 4,       // scalar!
    number = 1u << 5,       // number!
    path = 1u << 6,         // any-path!
    function = 1u << 7,     // any-function!
    list = 1u << 8,         // any-list!: block, paren, hash
    point = 1u << 9,        // any-point!
    object = 1u << 10,      // any-object!
};
}  // namespace family
// Indexed by type id; every byte a header can hold has an entry (0 for an id
// never registered), so a cell's type needs no range check.
extern uint16_t type_families[256];
inline bool in_family(uint32_t type, uint16_t families) {
    return type < 256 && (type_families[type] & families) != 0;
}

// --- words -----------------------------------------------------------------

inline uint32_t word_context(const kel_value* v) { return v->w1; }
inline uint32_t word_symbol(const kel_value* v) { return v->w2; }
inline int32_t word_index(const kel_value* v) { return static_cast<int32_t>(v->w3); }

}  // namespace kel
