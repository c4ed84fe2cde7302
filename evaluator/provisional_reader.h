// provisional_reader: a small, temporary reader of Kel source text, standing
// in for the lexer (which replaces it through natives::read_spec) so that the
// spec texts of natives, actions and routines can be loaded, and tests and
// benchmarks can write code as text.
//
// It knows only: words in their five forms (word, word:, :word, 'word, /word)
// and issues (#word); integers and decimal floats with an optional sign;
// strings in double quotes (with ^" ^^ ^/ escapes); blocks and parens; paths
// of words, integers, get-words and parens in their four forms (a/b, a/b:,
// :a/b, 'a/b); ";" comments. A value after a line break is marked to mold on
// a new line. Words are bound to the global context. Everything it makes is
// kept in the root block. Text it does not understand raises syntax
// `invalid` with the offending text.
#pragma once

#include "kernel/value.h"

namespace kel::provisional {

// Reads the text into a new block! in `out`.
void read(const char* text, kel_value* out);

}  // namespace kel::provisional
