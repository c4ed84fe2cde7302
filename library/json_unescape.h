// json_unescape: the JSON decoder's one C++ routine, `unescape`, which
// resolves the backslash escapes of a string literal in place. The decoder
// context of the codecs phase binds it by name (`make routine! 'unescape`);
// everything else of the JSON and CSV codecs is Kel source.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::json_unescape {

// Its slot in the routine table: routine_numbers::json_unescape.

// Rewrites the string from its head to its tail, escapes replaced by the
// characters they stand for; the tail ends after the last character
// written. A bad `\u` sequence raises script `invalid-data` with the string.
void unescape(kel_value* s);

// Start-up step (run by the library routines' install): fills the table slot.
void install();

}  // namespace kel::json_unescape
