// unicode: conversions between the outer encodings of text (UTF-8, UTF-16LE,
// the windows-1251 code page, plain bytes) and the runtime's string storage,
// text comparison, hex digits, and the screen columns a character takes.
//
// Storage model the string module builds on: a string is a run of units of
// 1, 2 or 4 bytes, little-endian, one whole code point per unit (1-byte units
// hold U+0000-U+00FF, 2-byte units U+0000-U+FFFF, 4-byte units anything, read
// as signed 32-bit). A surrogate pair never appears in storage: a pair read
// from UTF-16 becomes one 4-byte unit. A run is widened in place (from its
// last unit backwards) when a wider code point arrives and is never narrowed.
//
// This module works over plain pointers and lengths (`text_view`) and over
// `unit_text`, a small growable owner of units used by the loaders; the
// string module puts series buffers behind the same functions. Errors a user
// can cause (malformed UTF-8, a code point beyond U+10FFFF) are never raised
// here: the function returns an `error_id` and fills a `text_error` carrying
// the error's argument, and the caller raises the language error.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kel::unicode {

// ---------------------------------------------------------------- errors

enum class error_id : uint8_t {
    none = 0,
    invalid_utf8,  // access/invalid-utf8, argument: the bytes at the fault
    invalid_char,  // script/invalid-char, argument: the code point
};

struct text_error {
    error_id id = error_id::none;
    uint8_t byte_count = 0;  // invalid_utf8: how many of `bytes` are the argument
    uint8_t bytes[4] = {};
    uint32_t code_point = 0;  // invalid_char: the value (as read from storage)
};

// ---------------------------------------------------------------- units

// A read-only run of units. `length` counts units, not bytes.
struct text_view {
    const uint8_t* data = nullptr;
    size_t length = 0;
    uint8_t unit = 1;  // 1, 2 or 4
};

// Reads one unit: 1 and 2 bytes zero-extended, 4 bytes as a signed 32-bit
// value. Any other unit is a broken invariant and ends the process (fatal 101).
int32_t read_unit(const uint8_t* p, uint8_t unit);
// Writes cp into one unit of the given width (truncating to the unit).
void write_unit(uint8_t* p, uint8_t unit, uint32_t cp);

// The two widening rules. Appending one code point at the tail keeps 1-byte
// units only for ASCII; writing at a position (store, insert, overwrite) and
// the UTF-8 loader keep them for all of Latin-1. Both give the narrowest unit
// that may take cp under the rule; a run's unit is max(its unit, this).
constexpr uint8_t unit_for_append(uint32_t cp) { return cp <= 0x7F ? 1 : cp <= 0xFFFF ? 2 : 4; }
constexpr uint8_t unit_for_store(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }
constexpr uint8_t widened_for_append(uint8_t unit, uint32_t cp) {
    uint8_t need = unit_for_append(cp);
    return need > unit ? need : unit;
}
constexpr uint8_t widened_for_store(uint8_t unit, uint32_t cp) {
    uint8_t need = unit_for_store(cp);
    return need > unit ? need : unit;
}

// Capacity in bytes a buffer holding `used_bytes` of `from` units must have
// before widening in place to `to` units (1->2: used*2+2, 1->4: used*4+4,
// 2->4: used*2+4): the wider copy plus one unit.
constexpr size_t widen_capacity(size_t used_bytes, uint8_t from, uint8_t to) {
    if (from == 1 && to == 2) return used_bytes * 2 + 2;
    if (from == 1 && to == 4) return used_bytes * 4 + 4;
    return used_bytes * 2 + 4;  // 2 -> 4
}
// Widens `count` units at `data` from `from` to `to` bytes in place, working
// from the last unit backwards. The buffer must already hold count * to bytes.
// from must be 1 or 2 and to wider than from (else fatal 101).
void widen_in_place(uint8_t* data, size_t count, uint8_t from, uint8_t to);

// A growable run of units owned by the caller: what the loaders fill.
struct unit_text {
    std::string bytes;  // the units, little-endian
    uint8_t unit = 1;

    size_t length() const { return bytes.size() / unit; }
    int32_t at(size_t i) const { return read_unit(reinterpret_cast<const uint8_t*>(bytes.data()) + i * unit, unit); }
    text_view view() const { return {reinterpret_cast<const uint8_t*>(bytes.data()), length(), unit}; }
    void clear() { bytes.clear(); }
    // Widens every unit to `to` (no-op when already that wide or wider).
    void widen(uint8_t to);
    // Appends cp, widening first by the position/loader rule or the append rule.
    void push_store(uint32_t cp);
    void push_append(uint32_t cp);
};

// ---------------------------------------------------------------- UTF-8 decoding

// The lexer's decoder automaton: 256 character classes, then 9 states x 12
// classes of transitions (states are multiples of 12: 0 accept, 12 reject).
// It accepts exactly well-formed UTF-8.
extern const uint8_t utf8_automaton[364];

// Decodes one character at p; *cp gets the code point, or -1 when the bytes
// are not well-formed. The input must be NUL-terminated: no end is checked.
// The first byte is always consumed; on a reject the bytes read are consumed,
// the offending one included, except a NUL, which is never consumed, so the
// result never steps past the terminator.
const uint8_t* fast_decode_utf8_char(const uint8_t* p, int32_t* cp);
// The same decoder with an end bound: running into `end` rejects like a NUL
// would. p must be below end.
const uint8_t* decode_utf8_char_bounded(const uint8_t* p, const uint8_t* end, int32_t* cp);

// Characters between start and end, an invalid sequence counting as one.
size_t count_utf8_chars(const uint8_t* start, const uint8_t* end);
// The position after n characters, stopping early at end.
const uint8_t* skip_utf8_chars(const uint8_t* p, const uint8_t* end, size_t n);
// Sequence length told by a lead byte alone: 4, 3, 2 by its top bits, else 0.
constexpr int utf8_seq_length(uint8_t lead) {
    return (lead & 0xF0) == 0xF0 ? 4 : (lead & 0xE0) == 0xE0 ? 3 : (lead & 0xC0) == 0xC0 ? 2 : 0;
}

constexpr int32_t utf8_short = -1;      // read_utf8_char: sequence cut short
constexpr int32_t utf8_malformed = -2;  // read_utf8_char: error filled in

// The loaders' lenient reader. *count in: bytes available at p (at least 1).
// Returns the code point and sets *count to the sequence length (1-4); or
// utf8_short when fewer bytes remain than the lead byte needs (*count left
// unchanged); or utf8_malformed with *err set to invalid_utf8 carrying the
// bytes at p (at most 4, never more than are available). Overlong forms are
// malformed; surrogates are accepted except U+DC00-U+DCFF; U+FFFE and
// anything above U+10FFFF are malformed.
int32_t read_utf8_char(const uint8_t* p, size_t* count, text_error* err);

// Loads UTF-8 into `out`, whose unit is kept (a fresh unit_text starts at 1)
// and whose contents are replaced. A leading byte-order mark is skipped. With
// cr_flag, CR LF becomes LF and a lone CR becomes LF. Code points widen the
// text by the position rule. A sequence cut short at the end stops the load:
// *remaining (when given) gets the bytes not consumed, else 0.
// Returns none, or invalid_utf8 with *err filled (out then holds the text
// loaded before the fault).
error_id utf8_to_units(const uint8_t* p, size_t size, bool cr_flag, unit_text& out, size_t* remaining,
                       text_error* err);

// ---------------------------------------------------------------- UTF-8 encoding

// 1-4 bytes for a code point up to U+10FFFF; 0 above (invalid-char).
// A surrogate code point: no UTF-8 text of it decodes back, so mold writes it
// as an escape.
constexpr bool surrogate_q(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }
// U+DC80-U+DCFF stand for the bytes 80-FF that text read from the system
// (process output, input lines, file names) held undecoded: written out,
// each is that one byte again, so the text goes back as it came.
constexpr bool escaped_byte_q(uint32_t cp) { return cp >= 0xDC80 && cp <= 0xDCFF; }
constexpr int utf8_char_size(uint32_t cp) {
    return cp <= 0x7F ? 1 : cp <= 0x7FF ? 2 : escaped_byte_q(cp) ? 1 : cp <= 0xFFFF ? 3 : cp <= 0x10FFFF ? 4 : 0;
}
// Total UTF-8 bytes of the units; invalid_char when one is beyond U+10FFFF.
error_id utf8_buffer_size(text_view v, size_t* bytes, text_error* err);
// Writes cp's UTF-8 (surrogates too, as 3 bytes, but for the escaped bytes
// above, written as the byte) and returns 1-4; 0 and nothing written above
// U+10FFFF.
int encode_utf8_char(uint32_t cp, uint8_t* dst);
// The leading bytes of cp's UTF-8 that fit in room (room <= 0: none);
// -1 above U+10FFFF.
int encode_utf8_partial(uint32_t cp, uint8_t* dst, long room);
// Worst-case bytes for n units of a unit width, NUL and CR-before-LF included.
constexpr size_t utf8_bound(size_t n, uint8_t unit) { return (n + 1) * (unit == 1 ? 2 : unit == 2 ? 3 : 4); }
// Writes the UTF-8 of every unit of v into dst (room: utf8_bound(v.length,
// v.unit)), a CR before each LF when crlf is set, then a NUL when nul is set
// (not counted). *written gets the bytes written. invalid_char stops it.
error_id encode_utf8(text_view v, bool crlf, bool nul, uint8_t* dst, size_t* written, text_error* err);
// Like encode_utf8 into a room of bytes: each character goes through
// encode_utf8_partial, so the output stops at the room and its last sequence
// may be cut; `limit` counts characters and applies when above 0 and below
// the length; the NUL (when asked for) follows the bytes written, so callers
// pass a room one byte short of the destination.
error_id encode_utf8_bounded(text_view v, uint8_t* dst, size_t room, long limit, bool nul, size_t* written,
                             text_error* err);
// Convenience: the whole view as a std::string of UTF-8.
error_id to_utf8(text_view v, bool crlf, std::string& out, text_error* err);

// ---------------------------------------------------------------- UTF-16

// Writes cp as UTF-16 units: 1 below U+10000, a surrogate pair up to
// U+10FFFF, nothing (0) above.
int encode_utf16_char(uint32_t cp, uint16_t* dst);
// Units needed for v as UTF-16 (NUL included): length + 1, plus one for each
// LF (room for a CR) and for each code point above U+FFFF.
size_t utf16_bound(text_view v);
// Writes v as UTF-16 units into dst (room: utf16_bound(v)), a CR unit before
// each LF when crlf is set, and a NUL unit after (not counted). Returns the
// units written, or -1 when a code point is beyond U+10FFFF (no text).
long encode_utf16(text_view v, bool crlf, uint16_t* dst);
// Convenience over encode_utf16; false for a code point beyond U+10FFFF.
bool to_utf16(text_view v, bool crlf, std::u16string& out);

// The unit a run of UTF-16LE needs: 4 when a unit's high byte is 0xD8-0xDF,
// else 2 when any high byte is non-zero, else 1.
uint8_t utf16_unit_needed(const uint8_t* p, size_t units);
// Loads `units` UTF-16LE units (raw bytes, any alignment) into `out` at the
// unit utf16_unit_needed gives (contents replaced). A lead surrogate followed
// by a trail surrogate becomes one code point; a lone surrogate of either
// kind is stored as it is. With cr_flag every CR unit is dropped.
void utf16_to_units(const uint8_t* p, size_t units, bool cr_flag, unit_text& out);
// Each byte of a NUL-terminated byte string as one unit; the NUL unit is
// written too. Returns dst.
uint16_t* bytes_to_utf16(const char* s, uint16_t* dst);

// ---------------------------------------------------------------- code page

// The windows-1251 table (WHATWG), code points of the bytes 0x80-0xFF.
extern const uint16_t cp1251_high[128];
// Decodes windows-1251 into `out` (contents replaced, unit kept and widened
// by the position rule). CR LF and a lone CR are handled as the UTF-8 loader
// handles them under cr_flag.
void cp1251_to_units(const uint8_t* p, size_t size, bool cr_flag, unit_text& out);

// ---------------------------------------------------------------- comparison

// Operator codes of the comparison action.
enum compare_op : int {
    op_equal = 0,
    op_not_equal = 1,
    op_strict_equal = 2,
    op_lesser = 3,
    op_lesser_or_equal = 4,
    op_greater = 5,
    op_greater_or_equal = 6,
    op_sort = 7,
    op_case_sort = 8,
    op_same = 9,
    op_equal_10 = 10,
    op_equal_11 = 11,
    op_find = 12,
};

// The comparison worker for text: -1, 0 or 1. `a` and `b` are the two texts
// from their heads (b possibly cut to a length limit by the caller);
// `same_position` tells that both values name the same buffer at the same
// head. Every op folds both sides to uppercase except 2 and 8. A full
// comparison (match false) orders by the first difference, then by length;
// the equality ops answer 1 at once for unequal lengths. A match comparison
// (match true) asks whether `a` begins with `b` and answers 0 when it does.
int compare_text(text_view a, text_view b, int op, bool match, bool same_position = false);

// ---------------------------------------------------------------- hex

// Text of at most 8 characters, returned by value (no shared buffer).
struct hex_text {
    char text[9] = {};
    uint8_t length = 0;
};
// Two upper-case hex digits.
hex_text hex_of_byte(uint8_t b);
// Eight hex digits, padded with "0" ("F" for a negative value). With
// short_form the significant digits alone ("00" for 0); a negative value
// still gives all eight, since its short form would lose the sign.
hex_text hex_of_integer(int32_t value, bool short_form);

// ---------------------------------------------------------------- display width

// The generated range tables: (first, last) pairs, 32-bit each, sorted.
struct range_table {
    const uint32_t* entries;
    size_t entry_count;  // 32-bit entries: twice the number of ranges
};
range_table zero_width_table();
range_table wide_table();
range_table ambiguous_table();

// 1 when cp lies inside one of the table's ranges, else 0.
int in_ranges(uint32_t cp, const uint32_t* table, size_t entry_count);
// Columns: 0 for U+0000 and the zero-width characters, 1 for the other C0
// and C1 controls, 2 for wide ones, else 1.
int char_width_basic(uint32_t cp);
// The East Asian reading: ambiguous characters take two columns.
int char_width(uint32_t cp);

}  // namespace kel::unicode
