// react_index: an index of the reactivity engine's relations table, so that
// nothing that looks for records walks the whole table. `add-relation` must
// not add a record the table holds already (the same four values, by
// `same?`): the index walks only the records that share the new one's source,
// reaction and targets. The change check finds the records of the changed
// reactor through it (next_record_of), and `react/unlink` the records of its
// reaction, removed in one pass. The reactivity phase binds the two routines
// by name (`make routine! 'react-add-relation`, 'react-unlink) in the
// anonymous context around the engine.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::react_index {

// Their slots in the routine table: routine_numbers::react_index and the next.

// The first cell of the first record at or after cell `from` (counted from
// the block's first cell) whose source is `same?` as `source`, or -1: what
// a walk of the table four cells at a time from `from` finds.
int32_t next_record_of(const kel_value* table, const kel_value* source, int32_t from);

// Start-up step (run by the library routines' install): fills the table slot.
void install();

}  // namespace kel::react_index
