// binary: the binary! datatype (id 41, parent string!), the byte series of
// the language, and the four text codecs (bases 2, 16, 58 and 64) behind
// `enbase` and `debase`.
//
// The cell is a string cell (word 1 the head index, word 2 the node) over a
// buffer of 1-byte units; every byte is unsigned. Navigation, copying,
// searching, sorting, pick and poke are string!'s and series!'s handlers
// working on the unit; this module owns conversion, molding, comparison, the
// byte encoding of inserted values, the bitwise actions and trimming.
//
// The byte helpers are a public interface: file I/O, checksums, compression,
// parse and the binary codecs make and read binaries through them. Data
// addresses they answer are valid until the next allocation.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::binary {

// --- the cell -------------------------------------------------------------------
// Bytes from the head to the tail (0 when the head lies past the tail).
int32_t ks_length_q(const kel_value* b);
// The byte at the head (the head is clamped to the tail first).
uint8_t* ks_head(const kel_value* b);
// The byte at an index counted from the start of the buffer, not the head.
uint8_t byte_at(const kel_value* b, int32_t index);
// An empty binary with room for `capacity` bytes.
kel_value* init_cell(kel_value* cell, uint32_t capacity);
// A binary holding a copy of the bytes, made at the tail of `block`, or
// pushed on the argument stack when block is null.
kel_value* make_from_memory(const kel_value* block, const uint8_t* bytes, size_t n);
kel_value* push_from_memory(const uint8_t* bytes, size_t n);
// Copies bytes to the tail; answers where they landed.
uint8_t* append_bytes(const kel_value* b, const uint8_t* bytes, size_t n);
// Inserts bytes at `offset` from the head (growing to length + 2 x capacity
// when full); answers where they landed.
uint8_t* insert_bytes(const kel_value* b, int32_t offset, const uint8_t* bytes, size_t n);
// Pushes a copy of the binary cell.
kel_value* push(const kel_value* b);
// Stores an integer! or char! as its low 8 bits; any other value raises
// script `invalid-arg` with it.
void set_byte(uint8_t* address, const kel_value* value);

// --- comparing and matching ------------------------------------------------------
// -1/0/1, or cmp::not_comparable when `other` is not string-like or binary.
// A string takes part through its stored units. In match mode (parse) the
// other value need only match at the head.
int32_t compare_bytes(const kel_value* b, const kel_value* other, int32_t op, bool match);
// The byte at the head is in the bitset (beyond its bytes: exactly when the
// bitset is complemented); false at the tail.
bool match_bitset_q(const kel_value* b, const kel_value* bitset);
// Text matches by compare_bytes in match mode, a char! by its code point
// against the byte at the head; anything else does not match.
bool match_value_q(const kel_value* b, const kel_value* value, int32_t op);

// --- encoding values into bytes --------------------------------------------------
// append and insert refuse a value they cannot encode; change writes its
// formed text instead.
enum class encode_mode : int { append = 0, change = 1 };
// The bytes of `value` (see binary.cpp for the table): measured when `dst` is
// null, else written there (the caller sized it by measuring). `part` (-1:
// none) caps the bytes taken from text, a binary, a tuple or a char, or the
// elements taken from a block; for text it counts characters unless
// `part_counts_bytes`. Answers the byte count.
int64_t encode_value(uint8_t* dst, const kel_value* value, int64_t part, bool part_counts_bytes, encode_mode mode);
// `to binary!` of the spec into `result` (kept on the argument stack by the
// caller): text as UTF-8, integer! 4 bytes and float! 8 bytes most
// significant first, and so on; script `bad-to-arg` for a type with no bytes.
void to_bytes(kel_value* result, const kel_value* spec);
// Appends the integer's 4 bytes, most significant first.
void append_int32_be(int32_t value, const kel_value* b);
// The issue's text decoded as base 16 into a new binary in `result` (only
// counted when `measure`); script `invalid-data` with the issue when the
// text is not base 16. Answers the byte count.
int32_t from_issue(const kel_value* issue, kel_value* result, bool measure);

// --- text, trimming, bitwise ------------------------------------------------------
// The common body of form and mold; answers the remaining part budget.
int32_t mold_bytes(const kel_value* b, kel_value* buffer, bool only, bool flat, bool part_given, int32_t part,
                   int32_t indent);
// Removes 0 bytes at the head and/or the tail (both when neither is asked).
void trim_zeros(kel_value* b, bool head, bool tail);
// Operator codes of logic_op.
namespace logic {
enum op : int { or_ = 5, and_ = 6, xor_ = 7 };
}
// Arguments 1 and 2 (binaries) combined into a new binary as long as the
// longer, which replaces argument 1; a second argument of another type raises
// script `invalid-arg` with it.
void logic_op(int op);

// --- codecs ----------------------------------------------------------------------
// Encoders write into a buffer the caller sized and answer the end of what
// they wrote; no line breaks.
char* enbase_2(char* dst, const uint8_t* bytes, size_t n);
char* enbase_16(char* dst, const uint8_t* bytes, size_t n);
char* enbase_58(char* dst, const uint8_t* bytes, size_t n);
char* enbase_64(char* dst, const uint8_t* bytes, size_t n);
// Output sizes the callers reserve for n bytes, or -1 past the 32-bit limit.
int64_t enbase_size(int base, int64_t n);
// Decoders read `length` characters of `unit` bytes each and answer the node
// of a new byte buffer, or 0 when the text is not valid in that base. The
// text must not move while they run (the caller pins its buffer).
uint32_t debase_2(const char* text, int32_t length, uint32_t unit);
uint32_t debase_16(const char* text, int32_t length, uint32_t unit);
uint32_t debase_58(const char* text, int32_t length, uint32_t unit);
uint32_t debase_64(const char* text, int32_t length, uint32_t unit);

registry::registration row();

}  // namespace kel::binary
