// hash: the hash! datatype (id 36, a block! child) and the upkeep that keeps
// its table in step with its block. A hash! cell is a block cell whose word 3
// holds a kind-0 hash table (kernel/hashtable) indexing every cell of the
// whole block, whatever the cell's head. The hash! row takes block!'s actions
// and adds its own make, to, mold, copy, sort and trim; the block and series
// code calls the upkeep below around every change it makes to a block, and
// the upkeep does nothing unless the changed value carries a table.
//
// Positions are cell indexes from the buffer's first used cell, the way the
// block code counts them.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::hash {

// The table a series value keeps in step, or 0. Only a hash! cell's word 3
// is a table the collector keeps alive.
inline uint32_t table_of(const kel_value* s) { return type_of(s) == types::hash ? s->w3 : 0; }

// Before `removed` cells at `at` are replaced or cut: their entries go.
void before_replace(const kel_value* s, int64_t at, int64_t removed);
// After `removed` cells at `at` of a block that held `before` cells were
// replaced by `inserted` new ones (either count may be 0): the cells behind
// move their positions along and the new cells are indexed.
void after_replace(const kel_value* s, int64_t at, int64_t removed, int64_t inserted, int64_t before);
// After `count` cells from `at` were overwritten in place.
void rewritten(const kel_value* s, int64_t at, int64_t count);
// After two single cells were exchanged (the two may share one table).
void swapped(const kel_value* s1, int64_t p1, const kel_value* s2, int64_t p2);
// After `count` cells moved inside one block from `source` so that the run
// now ends just after the cell that stood at `destination` (moving towards
// the tail) or starts at `destination` (moving towards the head).
void moved(const kel_value* s, int64_t destination, int64_t source, int64_t count);
// Drops every entry and indexes the whole block again.
void reindex(const kel_value* s);
// Gives a hash! cell that has none (a fresh copy) a table over its block.
void index_new(kel_value* s);

registry::registration row();

}  // namespace kel::hash
