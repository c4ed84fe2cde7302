// kelbin: the Kelbin codec, the binary serialisation of language values
// (byte vocabulary in kelbin_format.h). The encoders turn one value, with
// every series and context it reaches, into a Kelbin block; the decoder
// turns a block back into values. Series and contexts met twice, and cycles,
// are written once and named afterwards by the path of child indexes that
// leads to their first occurrence, so sharing survives a round trip.
//
// The library binds these to the codec object `system/codecs/kelbin`
// (library/routines_core.cpp); `save/as` and `load/as` reach them there.
//
// Both walks recurse over the value tree under the depth limit of the cycle
// guard (kernel/cycle_guard.h): a value nested too deep raises internal
// `too-deep`, never a crash. Main thread only: the encoder's state is global,
// and encodings do not nest.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/value.h"

namespace kel::kelbin {

// Encodes `value` into a new binary! written to `out` (which the caller keeps
// rooted, e.g. an argument-stack cell): the compact layout when `compact`,
// else the standard one. routine!, triple!, handle!, port!, event! and an
// op! of a routine raise access `no-codec` with the value; the encoder's
// state is reset before any error leaves.
void encode(const kel_value* value, bool compact, kel_value* out);

// Decodes a whole Kelbin block of `length` bytes, appending every root
// value to the block `target` (rooted by the caller). The bytes must not
// move during the call: they are copied by the caller or live outside the
// series memory. A malformed block raises script `kb-invalid-record` with
// the 1-based byte position of the fault, or `invalid-data` (with `what`,
// the routine's argument, when given) for a bad magic, a short block or a
// compressed payload that does not inflate.
void decode(const uint8_t* bytes, size_t length, const kel_value* target, const kel_value* what);

// The boot literal pool: the compact layout in boot mode, version 1. Root 0
// is a block of the global words in their context's order, root 1 a block
// of their values; then one 0xC4 assignment per set word, whose value is
// given by the path to its cell in root 1. The pool's own records, which no
// other block may hold: a routine as its table number, the library-code
// prefix 0xC5 on a block, 0xC6 for the global context's object, a
// function's body index and enclosing object after its body, a native's
// spec left empty (the runtime's own value is taken). Objects keep their
// class ids. A handle is written as none.
void encode_pool(const kel_value* words, const kel_value* values, kel_value* out);

// Decodes a boot pool into the block `target` (rooted by the caller; the
// literals are its cells) with the collector off. A bad magic prints
// "Error: Not a Kelbin file!" and ends the process with a non-zero status;
// any other fault raises `kb-invalid-record` as `decode` does.
void boot_decode(const uint8_t* bytes, size_t length, const kel_value* target);

// What only the layers above can make: a routine! from its table number
// (false for an empty slot).
extern bool (*make_routine)(int32_t number, kel_value* out);

// Whether an error code names a catalogue entry an error! can be made from:
// a record carries only the code, so no other error can be written or read.
bool catalogued_error_code_q(int64_t code);

// Whether a native-table number names a filled slot: the native table lives
// above this layer, so the library installs the answer (null: every number
// up to the table's size is taken).
extern bool (*native_filled)(int32_t number);

}  // namespace kel::kelbin
