// catalog: turns the embedded Kel source of a boot catalogue (the error
// catalogue, library/catalog_errors.kel) into a block of values, until the
// lexer loads the library sources itself.
//
// `read` is the one door: the error module loads its catalogue through it,
// and the lexer replaces it with its own loader by one assignment. The
// stand-in reader behind it knows only what catalogue sources use: words,
// set-words, get-words, lit-words, strings in double quotes (with the
// escapes ^" ^^ ^/ ^-), integers, blocks, and comments from ";" to the end of
// the line. Anything else in the text is a build fault: the start-up stops
// with a message naming the line.
#pragma once
#include <cstddef>

#include "kernel/value.h"

namespace kel::catalog {

// Loads `length` bytes of UTF-8 source into a new block pushed on the
// argument stack; answers the pushed cell.
using read_fn = kel_value* (*)(const char* text, size_t length);
extern read_fn read;

// The stand-in reader.
kel_value* read_plain(const char* text, size_t length);

// Ends start-up with "*** Boot Error: <what>" on stderr and a non-zero exit.
[[noreturn]] void boot_stop(const char* what, int line = 0);

}  // namespace kel::catalog
