// react_index: the reactivity engine's duplicate test for new relations.
// `add-relation` must not add a record the relations table holds already
// (the same four values, by `same?`); walking the table for that made every
// addition cost the whole table. This routine keeps an index of the table's
// records beside it and walks only the records that share the new one's
// source and reaction. The reactivity phase binds it by name (`make routine!
// 'react-add-relation`) in the anonymous context around the engine.
#pragma once
#include <cstdint>

namespace kel::react_index {

// Its slot in the routine table, after the reactivity check's.
constexpr int32_t routine_number = 166;

// Start-up step (run by the library routines' install): fills the table slot.
void install();

}  // namespace kel::react_index
