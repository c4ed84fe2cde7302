// map: the map! datatype (id 40, no parent), the language's key/value
// dictionary. A map cell is (head 0, node of the key/value block, node of a
// kind-1 hash table in word 3): the block holds the pairs in insertion order,
// the table (kernel/hashtable) indexes the keys. A removed entry keeps its key
// cell and empties its value cell (header 0); every walk skips such pairs and
// putting the key again refills the slot in place.
//
// The module owns the key rule (which types may be keys and how they are
// stored), the map! row of actions, and what `extend`, `foreach`, the lexer's
// `#[...]` literal and `to block!` need of a map. Everything that builds a map
// from a block goes through `init_cell`, so make, to and the literal agree.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::map {

// The types a key may have (the lexer accepts a `#[...]` literal by it).
bool valid_key_type_q(uint32_t type);
// Rewrites a key cell as it is stored: string-like keys become copies of
// themselves from their head, the word kinds become set-word! (the new-line
// marker dropped), the scalar kinds stay; any other type raises script
// `invalid-path` with the path (null: none) and the key's datatype.
void normalize_key(kel_value* key, const kel_value* path);

// Turns `cell` into a map over `block` (a block! cell of even length whose
// buffer the map takes over, new-line markers as they are), or over a new
// block with room for `size` pairs when `block` is null. Keys met again keep
// their first place and take the last value. `cell` must be rooted.
void init_cell(kel_value* cell, const kel_value* block, int64_t size);
// make's rule for a block-like spec: an odd count raises `invalid-arg`; the
// cells from its head are copied, their new-line markers cleared, and the
// copy becomes the map's block. `cell` may be the spec's own cell.
void make_from_block(kel_value* cell, const kel_value* block);
// The live entries.
int32_t key_count(const kel_value* map);

// `extend` on a map: the pairs of the block-like `spec` are put into the map
// (keys compared strictly with `case_`); an odd count raises `invalid-arg`.
void extend_pairs(kel_value* map, const kel_value* spec, bool case_);
// One `foreach` step over a map: the words take the next live key (a
// set-word! key as a word!) and value; the cursor's head moves past the pairs
// used; words left over at the end become none. False when no live pair is
// left.
bool foreach_next(const kel_value* words, kel_value* cursor, int32_t count);
// Pushes a new block of the live pairs, each key marked to start a line.
kel_value* push_body(const kel_value* map);

registry::registration row();

}  // namespace kel::map
