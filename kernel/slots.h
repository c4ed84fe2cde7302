// slots: the slot table, a growable block of cells in which native code
// parks values that must stay alive and be found again by a small number
// (the GUI backend keeps faces there and stores the number in native window
// data). Slots are numbered from 1 for callers. The whole capacity counts as
// used cells of the block, and the collector marks the block with its cells,
// so a value in a slot lives until its slot is released.
//
// A free slot is an integer! cell whose word 2 holds the 0-based index of the
// next free slot (-1 ends the chain); a side map says which slots are free,
// so a taken slot may hold any value, an integer included. Releasing slot 0,
// a number outside the table or a slot that is free already is ignored:
// chaining a free slot twice would hand one slot to two later takes.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::slot_table {

constexpr uint32_t initial_capacity = 100;

// Start-up step: the block of 100 free slots.
void init();
// Copies the value into a free slot (doubling the table when none is free)
// and answers its number.
int32_t take(const kel_value* value);
void release(int32_t slot);
// The slot's cell, or null for a number outside the table. Valid until the
// next allocation.
kel_value* cell_at(int32_t slot);
bool taken_q(int32_t slot);
uint32_t capacity();

// Collector: marks the block and every cell in it.
void mark();

}  // namespace kel::slot_table
