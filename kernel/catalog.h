// catalog: the door through which the embedded Kel source of a boot
// catalogue (the error catalogue, library/catalog_errors.kel) becomes a block
// of values, and the start-up's stop for a catalogue that is at fault.
//
// `read` is the one door: the error module loads its catalogue through it,
// and the lexer installs its loader there (lexer::build_tables, a start-up
// step that runs before the catalogue is loaded). A text that does not load
// is a build fault: the start-up stops with a message.
#pragma once
#include <cstddef>

#include "kernel/value.h"

namespace kel::catalog {

// Loads `length` bytes of UTF-8 source into a new block pushed on the
// argument stack; answers the pushed cell.
using read_fn = kel_value* (*)(const char* text, size_t length);
extern read_fn read;

// Ends start-up with "*** Boot Error: <what>" on stderr and a non-zero exit.
[[noreturn]] void boot_stop(const char* what, int line = 0);

}  // namespace kel::catalog
