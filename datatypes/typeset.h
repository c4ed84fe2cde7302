// typeset: the typeset! datatype (id 33, no parent), a set of datatypes held
// in the 96 payload bits of a cell (words 1-3): type id i is bit 0x80 >> (i & 7)
// of payload byte i >> 3, byte 0 being the low byte of word 1; bit 0 (id 0)
// is never a type. Function specs carry one per argument, the boot defines
// the named typesets from type specs, and scripts combine them with the
// logic actions.
//
// `complement` inverts all 96 bits, so a typeset may hold bits of ids that no
// datatype has: everything that lists members (form, mold, to_block) walks
// the registered type ids only, and the member count stops at the highest
// registered id.
//
// Row: make and to (one handler), form, mold, compare, and~, or~, xor~,
// complement, find; every other action is unsupported.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::typeset {

// The words of a type spec are looked up through this (the words module
// installs it); while null, a word in a type spec is refused like any other
// value that names no type.
extern const kel_value* (*resolve_word)(const kel_value* word);

// The cell becomes an empty typeset!.
void init(kel_value* cell);
// Zeroes the three payload words.
void clear(kel_value* cell);
// A typeset! from its three payload words at the block's tail.
kel_value* make_at_tail(const kel_value* block, uint32_t w1, uint32_t w2, uint32_t w3);
// The default argument typeset (every type but unset!) at the block's tail.
kel_value* make_untyped_arg(const kel_value* block);
// A typeset from a block of type specs at the block's tail; an element that is
// no datatype!, typeset! or block! (after a word is replaced by its value)
// raises script `invalid-type-spec` with the element.
kel_value* make_from_spec(const kel_value* block, const kel_value* spec);
// Adds one spec element (as make_from_spec does for each).
void add_type(kel_value* typeset, const kel_value* value);
// The datatype whose name a word spells ("logic!"), or 0: a type word a
// script unset or gave another value still names its type in a spec.
uint32_t datatype_named(const kel_value* word);
// The same for the typesets the library defines ("series!", "any-type!"):
// `out` becomes the library's set for the name and the answer is true, else
// false. Spec elements try it before datatype_named, since series! is also
// the abstract base type's name.
bool typeset_named(const kel_value* word, kel_value* out);
// `result` becomes a new block (room for 4) of the members' datatype! values
// in id order.
void to_block(const kel_value* typeset, kel_value* result);
// Set bits for ids 1 up to the highest registered type id.
int32_t member_count(const kel_value* typeset);
// Combines the typeset at the arguments base with argument 2 (a typeset! or
// a datatype!, else script `invalid-arg`): 5 or / 9 union, 6 and / 10
// intersect, 7 xor / 12 difference, 11 exclude, 8 unique (the first as it
// is). The new typeset goes into the base cell.
void set_op(int32_t code);

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

registry::registration row();

}  // namespace kel::typeset
