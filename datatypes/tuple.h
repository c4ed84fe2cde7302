// tuple: the tuple! datatype (id 39, no parent), 3 to 12 bytes held inside
// the cell: colours (255.0.0), versions (1.2.3), network addresses. The
// byte count sits in header bits 19-22, the bytes in cell bytes 4-15 in
// order, every byte beyond the count 0. Rewriting the count also clears
// header bits 29-31 (the new-line marker with them).
//
// Arithmetic is byte by byte and saturates at 0 and 255: an integer operand
// or a second tuple goes through whole-number arithmetic, a float! or
// percent! operand through double arithmetic that is clamped before any
// conversion (so no float ever reaches an integer out of range). A number
// on the left reaches `math_op` from the number's own arithmetic through
// this row. Equal tuples of different lengths (1.2.3 and 1.2.3.0) compare
// equal and hash alike: the hash leaves out trailing zero bytes past the
// third.
//
// Binary conversion (`make_from_bytes`, `bytes_of`) is plain functions here
// for binary!'s own `to` to call.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::tuple {

constexpr uint32_t count_shift = 19;
constexpr uint32_t count_mask = 0xFu;
constexpr int max_bytes = 12;
constexpr int min_bytes = 3;

inline int count_of(const kel_value* v) { return static_cast<int>((v->header >> count_shift) & count_mask); }
inline uint8_t* bytes_of(kel_value* v) { return reinterpret_cast<uint8_t*>(v) + 4; }
inline const uint8_t* bytes_of(const kel_value* v) { return reinterpret_cast<const uint8_t*>(v) + 4; }
// Rewrites the count (below 3 stored as 3), clearing header bits 29-31.
void set_count(kel_value* v, int count);

// The cell becomes a tuple of `count` bytes (zero-padded to 3; more than 12
// are cut); the new-line marker the cell had is kept.
kel_value* init_cell(kel_value* cell, const uint8_t* bytes, int count);
// The low bytes of `count` integers (image pixel reads), pushed.
kel_value* make_from_ints(int count, const int32_t* values);
// Up to 12 bytes from `bytes`, zero-padded to 3.
kel_value* make_from_bytes(const uint8_t* bytes, size_t length, kel_value* cell);
// An issue's name as hexadecimal colour digits: 3 digits (each d as d x 17),
// 6 digits (3 bytes) or 8 digits (4 bytes); anything else raises script
// `invalid-data` with the issue.
kel_value* from_issue(const kel_value* issue, kel_value* cell);
// r.g.b, or r.g.b.a when a is not -1.
kel_value* make_rgba(kel_value* cell, int32_t r, int32_t g, int32_t b, int32_t a);
// Pushes a tuple of `count` bytes given as three little-endian words.
kel_value* push(int count, uint32_t w1, uint32_t w2, uint32_t w3);

// The tuple in argument 1 (or, with a number there, in argument 2: the
// operands then change places) combined with the other operand under the
// operator code (scalar::math_op add ... xor); the result replaces argument 1.
signal_code math_op(int op);
// Path setter: `value` none truncates before `index` (at least 3 bytes
// stay), an integer! is clamped to 0-255; an index outside 1..count raises
// `out-of-range`, another value `invalid-type`.
void set_byte(kel_value* tuple, const kel_value* index, const kel_value* value);
bool all_zero_q(const kel_value* tuple);

registry::registration row();

}  // namespace kel::tuple
