// routines_text: the private routines behind `replace/all` and `split` on
// text. Both library functions keep their Kel bodies for every case; for the
// common one (a string searched for a text, a char or a bitset) they first
// ask one of these routines, which does the whole walk in C++ instead of
// one interpreted loop turn per match. A routine answers none for any case it
// does not take, and the Kel code then runs as before, so the two paths must
// give the same results: the searches here match exactly what `find` (for
// replace) and parse's `to` (for split) match, and the pieces are made the way
// `append` and parse's `copy` make them.
//
// Neither routine is bound to a word: the boot composes each one's routine!
// value into the body of its function, so no user-visible name is added.
//
// Table numbers: routine_numbers::text and the next.
#pragma once
#include <cstdint>

namespace kel::text_routines {


// Start-up step (run by the library routines' install): fills the table slots.
void install();

}  // namespace kel::text_routines
