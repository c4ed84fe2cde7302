// react_check: the reactivity engine's change check as one C++ routine.
// Every change of a reactor's field runs the engine's `check`; written in Kel
// its relation walk, pending test and queue drain cost many evaluator steps
// per change, so `check` hands them to this routine and only the reactions
// themselves run as Kel code (through the engine's own `eval-reaction`).
// The reactivity phase binds it by name (`make routine! 'react-check`) in an
// anonymous context around the engine; no user word names it.
#pragma once
#include <cstdint>

namespace kel::react_check {

// Its slot in the routine table: routine_numbers::react_check.

// Start-up step (run by the library routines' install): fills the table slot.
void install();

}  // namespace kel::react_check
