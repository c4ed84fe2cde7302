// bitset: the bitset! datatype (id 30): a set of non-negative integers
// (usually code points) kept as a byte array of bits with a complemented
// flag, so that "every character but these" stays small.
//
// Storage: a byte series (unit 1, head 0). Bit n is byte n >> 3, mask
// 0x80 >> (n & 7). A stored 1 bit is a member. The complemented flag
// (memory::flag_complemented in the buffer's flags) makes every bit at or
// beyond the tail a member; without it none is.
// Invariant: every byte between the tail and the capacity holds the value of
// the bits beyond the tail: 0xFF with the flag, 0x00 without. Growth fills
// the same way, so moving the tail up within the capacity never changes
// membership.
//
// The spec dialect (make, to, append, pick, poke, remove): a char!, integer!
// or float! names one bit; a string names its code points; a binary names the
// bits its set bits stand for (in the bitset's own bit order); a block holds
// such values and ranges `low - high` of chars or of integers; a block
// starting with the word `not` makes a complemented bitset. Membership semantics are
// kept exact whatever the stored length: setting a member beyond the tail of
// a complemented bitset needs no storage, clearing one grows it first.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::bitset {

// The canonical symbol ids of the dialect's words `not` and `-` (a word of
// any letter case matches); 0 matches no word. install_dialect_words fills
// them from the runtime words at start-up.
struct dialect_words {
    uint32_t not_word = 0;
    uint32_t range_word = 0;
};
extern dialect_words dialect;
// Start-up, after the runtime words exist.
void install_dialect_words();

// Operation codes of the range, string and spec walkers.
namespace op {
enum code : int { size = 0, set = 1, test = 2, clear = 3 };
}

// The error a spec of the wrong type raises: bad-make-arg (make), bad-to-arg
// (to), invalid-arg (anything else).
namespace error_mode {
enum code : int { make = 0, to = 1, other = 2 };
}

// --- storage ----------------------------------------------------------------
uint8_t* bits(const kel_value* bitset);
uint8_t* tail(const kel_value* bitset);
bool complemented_q(const kel_value* bitset);
// Used bytes.
int64_t byte_length(const kel_value* bitset);
// Makes the byte of `bit` part of the used bytes (growing the buffer, new
// bytes filled per the invariant); returns the first byte.
uint8_t* ensure(const kel_value* bitset, int64_t bit);
// True for a negative bit or one whose byte lies at or beyond the tail.
bool out_of_range_q(const kel_value* bitset, int64_t bit);
// Inverts every byte of the capacity.
void invert_bytes(const kel_value* bitset);
// Two uppercase hex digits per used byte (of the inverted byte when
// complemented), 2 off the budget each; with a part limit it stops after the
// byte that takes the budget below 0. Returns the budget.
int32_t append_hex(const kel_value* bitset, kel_value* buffer, bool part_given, int32_t budget, bool complemented);

// --- walkers ------------------------------------------------------------------
// Sets, tests or clears the bits low..high (inclusive, 0 <= low <= high).
bool process_range(const kel_value* bitset, int64_t low, int64_t high, int op);
// Walks the code points of a string from its head: op::size answers the
// highest (-1 when empty); set/clear change each bit (the bitset must already
// be large enough: process_spec sees to it); test answers 1 when all are members.
int64_t process_string(const kel_value* string, const kel_value* bitset, int op);
// The spec dialect; op::size answers the highest bit named (-1: none).
int64_t process_spec(const kel_value* spec, const kel_value* bitset, int op, int mode);

// --- values ------------------------------------------------------------------
// make (mode make) and to (mode to) from a spec.
void make_from(kel_value* result, const kel_value* spec, int mode);
// A new bitset holding a copy of the buffer (flags and capacity kept).
void copy(const kel_value* bitset, kel_value* result);
// A copy with the flag toggled and every byte inverted: the complement set.
void complement(const kel_value* bitset, kel_value* result);
// pick: membership of everything the spec names.
bool pick(const kel_value* bitset, const kel_value* index);
// poke: clears the named bits when `value` is none!, false, 0 or 0.0, else sets them.
void poke(const kel_value* bitset, const kel_value* index, const kel_value* value);
void append(const kel_value* bitset, const kel_value* value);
// Clears the bits `part` names (script `missing-arg` when part is null).
void remove(const kel_value* bitset, const kel_value* part);
// Every used byte set to the flag's byte (the length stays).
void clear(const kel_value* bitset);

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

// or~/union (5, 9), and~/intersect (6, 10), xor~/difference (7, 12),
// exclude (11), unique (8) on the first two arguments of the current call;
// the result becomes the call's result (the base cell), which is returned.
kel_value* set_operation(int32_t op);

registry::registration row();

}  // namespace kel::bitset
