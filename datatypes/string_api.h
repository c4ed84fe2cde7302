// string_api: the storage rules and low-level routines shared by every
// string-like value (string!, file!, url!, tag!, email!, ref!) and, for the
// unit-agnostic helpers, binary! and vector!.
//
// Storage. A string value is a series cell (head index in units, node). Its
// buffer holds one whole code point per unit of 1, 2 or 4 bytes (unit in the
// buffer flags): 1-byte units hold U+0000-U+00FF, 2-byte units U+0000-U+FFFF
// (little-endian), 4-byte units anything. A buffer's unit only grows, for the
// whole buffer at once (widening, in place from the last unit backwards);
// only `ks_empty` brings it back to 1. Two rules choose the unit a code point
// needs (see kernel/unicode.h): appending at the tail keeps 1-byte units for
// ASCII only, writing at a position (store, insert, overwrite, the UTF-8
// loader) keeps them for all of Latin-1. Readers never depend on which rule
// made a buffer: they read by the unit.
//
// Buffers move. Every writer takes the current buffer header and returns the
// one to continue with (it may have grown or widened into a new buffer);
// callers never keep a data address across a writer or any allocation, they
// keep unit indexes and re-read the node.
//
// Also here: the series-backed halves of the Unicode layer (loading UTF-8,
// UTF-16 and windows-1251 into string buffers, per-value conversion buffers
// for UTF-8 and UTF-16 exports) and `case_map::convert_value`, which need
// cells and buffers and so cannot live in the kernel's plain-memory modules.
// User errors are raised here through `fire`; the plain-memory layer only
// reports them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernel/series_memory.h"
#include "kernel/signal.h"
#include "kernel/unicode.h"
#include "kernel/value.h"

namespace kel::string {

using memory::buffer_header;

// The internal marker type whose word 3 holds a length limit for the second
// operand of `compare_text`.
constexpr uint32_t limited_text_type = 56;

// Size of the scratch memory that `swap_runs` borrows.
constexpr uint32_t scratch_size = 64 * 1024;
// Allocates the scratch memory (once; the string! registration calls it).
void init_scratch();

// ---------------------------------------------------------------- readers

// One unit as a code point: 1 and 2 bytes zero-extended, 4 bytes signed.
// Any other unit is a broken invariant (fatal 101).
int32_t get_char(const char* p, uint32_t unit);
// Unchecked fast reader for units the caller knows are 1, 2 or 4.
inline uint32_t read_unit(const char* p, uint32_t unit) {
    if (unit == 1) return static_cast<uint8_t>(*p);
    if (unit == 2) return static_cast<uint32_t>(static_cast<uint8_t>(p[0]) | (static_cast<uint8_t>(p[1]) << 8));
    uint32_t v;
    __builtin_memcpy(&v, p, 4);
    return v;
}
inline void write_unit(char* p, uint32_t unit, uint32_t cp) {
    if (unit == 1) {
        *p = static_cast<char>(cp);
    } else if (unit == 2) {
        p[0] = static_cast<char>(cp);
        p[1] = static_cast<char>(cp >> 8);
    } else {
        __builtin_memcpy(p, &cp, 4);
    }
}

inline buffer_header* buffer(const kel_value* s) { return memory::buffer_of(series_node(s)); }
// Address of unit i counted from the first used unit.
inline char* unit_ptr(buffer_header* h, int64_t i) { return h->data() + h->head + (i << h->shift()); }

// A copy of a text's units from its head (kept within the text, and written
// to *head) to its tail: for a reader that makes values as it goes, which
// may move the text's buffer.
template <class Unit>
std::vector<Unit> units_from_head(const kel_value* text, int32_t* head) {
    buffer_header* h = buffer(text);
    const int32_t units = static_cast<int32_t>(h->units());
    int32_t at = series_head(text);
    if (at < 0) at = 0;
    if (at > units) at = units;
    *head = at;
    std::vector<Unit> copy(static_cast<size_t>(units - at));
    if (!copy.empty()) std::memcpy(copy.data(), unit_ptr(h, at), copy.size() * sizeof(Unit));
    return copy;
}

// Address of the unit at the head; a head beyond the tail is first moved to
// the tail and stored back into the cell.
char* ks_head(kel_value* s);
// Address one past the last unit.
char* ks_tail(const kel_value* s);
// True when the head is at or past the tail.
bool ks_tail_q(const kel_value* s);
// Units from the head to the tail (0 for a head at or past the tail, a
// negative head counting as 0) / from index 0 to the tail.
int32_t ks_length_q(const kel_value* s);
int32_t ks_length_all(const kel_value* s);
// The code point at an index counted from the first used unit (head ignored).
int32_t ks_abs_char_at(const kel_value* s, int32_t index);
// Offset from the head of the first unit equal to cp (exactly), or -1.
int32_t ks_index_of_char(const kel_value* s, uint32_t cp);
// True when a unit at head, head + step, head + 2 step ... equals cp, both
// sides upper-cased unless case_sensitive.
bool find_char_step_q(const kel_value* s, uint32_t cp, int32_t step, bool case_sensitive);
// True when the text from the head begins with exactly these bytes (a
// code point above 0xFF never matches).
bool starts_with_ascii_q(const kel_value* s, const char* text);
// Membership of a code point in a bitset!: bit 0x80 >> (cp & 7) of byte
// cp >> 3; a code point at or beyond the bitset's bits is a member only
// when the bitset is complemented.
bool in_bitset_q(uint32_t cp, const kel_value* bitset);
// The code point at the head in a bitset (false at the tail).
bool head_in_bitset_q(const kel_value* s, const kel_value* bitset);
// True when the text at the head is "<", the tag's length in units, then ">"
// (false when fewer than length + 2 units remain).
bool tag_like_q(const kel_value* s, const kel_value* tag);
// Does `value` match at the string's head? char!: the head code point
// (folded unless op is strict-equal); tag!: "<" + its text + ">"; the other
// string types: the text begins with theirs; any other value: no.
bool match_at_q(const kel_value* s, const kel_value* value, int32_t op);

// The comparison worker of the string!, symbol! and word! compare handlers
// and of parse: -1, 0 or 1. A symbol! operand is read through its string
// form from index 0; a second operand of the marker type 56 with a word 3 of
// 0 or more is cut to that many units. See unicode::compare_text.
int32_t compare_text(const kel_value* a, const kel_value* b, int32_t op, bool match);

// The units of a string value from its head (a head past the tail gives an
// empty view). Valid until the next allocation.
unicode::text_view view(const kel_value* s);
// A string-like value for the text of `value`: itself, or for a symbol! its
// string form from index 0.
kel_value text_of(const kel_value* value);

// ---------------------------------------------------------------- writers

// Appends one code point at the tail, widening first by the append rule.
buffer_header* add_char(buffer_header* h, uint32_t cp);
// Writes a code point at an address inside the used area, widening by the
// position rule (the write then goes to the same unit index in the widened
// buffer).
buffer_header* store_char(buffer_header* h, char* address, uint32_t cp);
// Writes a code point at unit `index` (no further than the tail), widening by
// the position rule and growing the buffer when the unit would end beyond
// it; a write at the tail moves the tail past it.
buffer_header* overwrite_char(buffer_header* h, int32_t index, uint32_t cp);
// Inserts a code point at unit `index`, widening by the position rule.
buffer_header* insert_char(buffer_header* h, int32_t index, uint32_t cp);
// Widens every unit from `from` to `to` bytes (1->2, 1->4, 2->4; anything
// else is fatal 101), in place, growing the buffer first when the wider copy
// plus one unit does not fit.
buffer_header* widen(buffer_header* h, uint32_t from, uint32_t to);
// Makes sure the buffer's unit is at least `unit` (widening when narrower).
buffer_header* ensure_unit(buffer_header* h, uint32_t unit);
// Copies units [source_start, source_end) of `source` (an end of 0 or below:
// the tail) to unit `target_start` of `target`, converting them to the wider
// `target_unit` (to 2 only from 1, to 4 from 1 or 2; else fatal 100). With
// no target the source's node gets a fresh buffer of `new_capacity` bytes
// holding the converted units. Unless `keep`, the target's tail is set after
// the last unit written and its unit to `target_unit`.
buffer_header* convert_units(buffer_header* source, buffer_header* target, uint32_t new_capacity,
                             uint32_t target_unit, int32_t source_start, int32_t target_start, int32_t source_end,
                             bool keep);
// Lowers the tail to n units from the first used unit when that is below
// the tail.
buffer_header* truncate_units(buffer_header* h, int32_t n);
// Removes n units at an index counted from the first used unit; nothing when
// the index is at or past the tail; n is cut to the units left.
kel_value* remove_units(kel_value* s, int32_t index, int32_t n);
// Empties the string: unit back to 1 byte, head 0.
kel_value* ks_empty(kel_value* s);
// Moves the code points of `bytes` bytes from the source's head into the
// target at its head (one by one, widening as needed), then removes them
// from the source.
void move_chars(kel_value* source, kel_value* target, int32_t bytes);

enum splice_mode : int { splice_append = 0, splice_insert = 1, splice_overwrite = 2 };
// Copies the text of `source` (from its head, at most `part` units when part
// is 0 or more) into `target`: at the tail, inserted at the head + offset, or
// over the text from the head + offset. The target is widened to the source's
// unit; a narrower source is widened in place to the target's unit unless
// `keep` (then its code points are converted while copying). Target and source
// may share a buffer.
void splice(kel_value* target, const kel_value* source, int32_t part, int32_t offset, bool keep, int mode);
// Appends each byte as one code point (append rule: bytes 0x80-0xFF widen a
// 1-byte string).
void append_c_string(kel_value* s, const char* text);
void append_c_part(kel_value* s, const char* bytes, size_t n);
// Appends code points (append rule), widening once for the whole run.
void append_code_points(kel_value* s, const uint32_t* cps, size_t n);
// Exchanges the byte run of len_a bytes at p and the run of len_b bytes at q
// (q = p + len_a + gap) through the scratch memory.
void swap_runs(char* p, uint32_t len_a, char* q, uint32_t len_b, uint32_t gap);

// Tells the buffer's owner (when it has one) of a change.
void notify(const kel_value* s, const char* word, const kel_value* value, int64_t index, int64_t count);

// Collects code points and appends them at a string's tail in runs, widening
// once per run (append rule). `flush` must be called at the end; nothing is
// written by a destructor.
struct text_writer {
    kel_value* buffer;
    uint32_t count = 0;
    uint32_t cps[256];
    explicit text_writer(kel_value* b) : buffer(b) {}
    void put(uint32_t cp) {
        if (count == 256) flush();
        cps[count++] = cp;
    }
    void put_ascii(const char* s) {
        while (*s) put(static_cast<uint8_t>(*s++));
    }
    void flush() {
        append_code_points(buffer, cps, count);
        count = 0;
    }
};

// ---------------------------------------------------------------- makers and loaders

// A new empty string! of 1-byte units and `capacity` bytes (0 means 1).
kel_value* init_cell(kel_value* cell, uint32_t capacity);
// A new empty string! of `capacity` units of `unit` bytes.
kel_value* make_at_unit(kel_value* cell, uint32_t capacity, uint32_t unit);
// What `copy/part` of `source` at `start` for `count` units makes (a new
// series of the source's type, unit and carried flags, its new-line mark
// too), with one allocation of that size and one block move: for callers
// that copy parts in a loop, such as parse's `copy`. Also for binary!; the
// range must lie within the source's used units.
void copy_units(const kel_value* source, int32_t start, int32_t count, kel_value* out);
// Pushes a copy of a string value on the argument stack.
kel_value* push(const kel_value* value);

constexpr int encoding_utf8 = 0;
constexpr int encoding_utf16le = -1;
// A string! from encoded text in `cell` (or, when null, in a new cell pushed
// on the argument stack): UTF-8 (size in bytes) or UTF-16LE (size in 16-bit
// units). Any other encoding is internal `not-done`.
kel_value* decode(const uint8_t* p, uint32_t size, kel_value* cell, int encoding);
// The same into a new cell at the tail of `block` / pushed on the stack.
kel_value* decode_in(const kel_value* block, const uint8_t* p, uint32_t size, int encoding);
kel_value* decode_push(const uint8_t* p, uint32_t size, int encoding);
// Pushes a new string! loaded from UTF-8; bytes left undecoded at the end (a
// cut sequence) raise access `invalid-utf8` with them as a binary!.
kel_value* load_utf8_checked(const uint8_t* p, uint32_t size);
// Decimal number text to float (the lexer's and money!'s reader).
double to_float(const char* start, uint32_t length);

inline unicode::hex_text hex_of_byte(uint8_t b) { return unicode::hex_of_byte(b); }
inline unicode::hex_text hex_of_integer(int32_t v, bool short_form) { return unicode::hex_of_integer(v, short_form); }

// A new binary! holding the bytes, in `cell`.
kel_value* make_binary(kel_value* cell, const uint8_t* bytes, size_t n);
// Raises the language error a text conversion reported.
[[noreturn]] void raise_text_error(const unicode::text_error& e);

// ---------------------------------------------------------------- sort support

// Runs a script function on two arguments (pushed in the given order) under
// a call frame named `<compare-callback>` and leaves its result in *result.
// Installed by the interpreter; while it is null, sorting with a comparison
// function raises internal `not-done`.
using compare_callback_fn = signal_code (*)(const kel_value* function, const kel_value* first,
                                            const kel_value* second, kel_value* result);
extern compare_callback_fn compare_callback;

// Sort flags: bit 0 reverse, bit 1 whole records, bits 2-4 the unit size,
// flags >> 5 the record length in units (whole records).
constexpr uint32_t sort_reverse = 1;
constexpr uint32_t sort_whole = 2;
inline uint32_t sort_call_flags(bool reverse, uint32_t unit, uint32_t record_units, bool whole) {
    return (reverse ? sort_reverse : 0) | (whole ? sort_whole : 0) | (unit << 2) | (record_units << 5);
}
// Calls a script comparison function for two records: their first code
// points as char! values, or with whole records the records as strings;
// the second record first, or the first first when reversed. The answer
// maps to -1/0/1: true 1, false -1, integer n -n, float above 0 -1, below 0
// 1, 0 0, none -1, anything else 1. A control code from the function is
// carried out as kel_unwind.
int32_t sort_call_compare(const char* a, const char* b, const kel_value* function, uint32_t flags);

}  // namespace kel::string

// The series-backed conversions of the Unicode layer.
namespace kel::unicode {

// Loads UTF-8 into the buffer of `target` (its unit kept, its contents
// replaced) or, with target 0, into a new 1-byte string buffer; returns the
// node. A leading byte-order mark is skipped; with cr, CR LF becomes LF and a
// lone CR becomes LF. Code points widen the buffer by the position rule. A
// sequence cut short at the end stops the load and *remaining gets the bytes
// left; without `remaining` it is malformed text. Malformed text raises access
// `invalid-utf8`.
uint32_t utf8_to_string(const uint8_t* p, uint32_t size, uint32_t target, uint32_t* remaining, bool cr);
uint32_t utf8_into_string(const uint8_t* p, uint32_t size, kel_value* s, uint32_t* remaining);
uint32_t utf8_to_new_string(const uint8_t* p, uint32_t size);

// Loads `units` UTF-16LE units (p null: from the target value's conversion
// buffer) into the target's buffer (contents replaced) or a new one, at the
// unit the text needs; the buffer is flagged as loaded from UTF-16. A
// surrogate pair becomes one code point; a lone surrogate is kept as it is;
// with cr, CR units are dropped.
uint32_t utf16_to_string(const uint8_t* p, uint32_t units, kel_value* target, bool cr);

// Decodes windows-1251 into the target's buffer (contents replaced) or a new
// one, CR handling as the UTF-8 loader's.
uint32_t cp1251_to_string(const uint8_t* p, uint32_t size, kel_value* target, bool cr);

// The value's conversion buffer (node in its word 3), made or grown to at
// least `size` bytes; its data address.
char* conversion_buffer(kel_value* s, uint32_t size);
// NUL-terminated UTF-8 of *count characters from the head (-1: to the tail)
// in the value's conversion buffer; *count gets the bytes written. A code
// point beyond U+10FFFF raises script `invalid-char`. The address is valid
// until the next conversion of the value or the next allocation.
const char* to_utf8(kel_value* s, int32_t* count);
const char* to_utf8_crlf(kel_value* s, int32_t* count);
// NUL-terminated UTF-16LE of *count characters (-1: to the tail) in the
// conversion buffer; *count gets the units written. Null when a code point
// lies beyond U+10FFFF.
const uint16_t* to_utf16_part(kel_value* s, int32_t* count, bool crlf);
const uint16_t* to_utf16(kel_value* s);
// UTF-8 of the units from the head (limit -1: to the tail) into dst (room:
// utf8_bound), a NUL after when asked for; the bytes written.
uint32_t encode_utf8_into(const kel_value* s, uint8_t* dst, int32_t limit, bool nul);
// The same into `room` bytes, the last sequence possibly cut (see
// encode_utf8_bounded).
uint32_t encode_utf8_bounded(const kel_value* s, uint8_t* dst, uint32_t room, int32_t limit, bool nul);
// UTF-8 bytes of the units in [start, end); script `invalid-char` beyond
// U+10FFFF.
uint32_t utf8_buffer_size(const char* start, const char* end, uint32_t unit);

}  // namespace kel::unicode

namespace kel::case_map {

// The body of `uppercase` and `lowercase`: a char! is converted in place; a
// string-like value from its head (at most /part: an integer!, or a position
// in the same series; else script `invalid-refine-arg`), widening the buffer
// when a converted code point needs it. Returns the value.
kel_value* convert_value(kel_value* value, const kel_value* part, bool to_upper);

}  // namespace kel::case_map
