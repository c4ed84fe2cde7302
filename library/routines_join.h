// routines_join: the private routine behind `rejoin` of a block of strings.
// `rejoin` keeps its Kel body for every case; for the common one (a block of
// string! values with nothing to evaluate) it first asks this routine, which
// makes the joined string in one pass: the first string copied as `copy`
// copies it, then every other one's text appended. The routine answers the
// block itself for any case it does not take, and the Kel code then runs as
// before. It is not bound to a word: the boot composes its routine! value
// into the body of `rejoin`, so no user-visible name is added.
#pragma once
#include <cstdint>

namespace kel::join_routines {

// Table number: routine_numbers::join.

// Start-up step (run by the library routines' install): fills the table slot.
void install();

}  // namespace kel::join_routines
