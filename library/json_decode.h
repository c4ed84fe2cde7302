// json_decode: the JSON decoder's compiled reading of a whole document, the
// routine `json-decode` that `load-json` tries first. It accepts exactly the
// text the decoder's parse grammar accepts and builds the same values (maps
// for objects, blocks for arrays, numbers as the lexer reads them, names as
// words when the decoder's own name test says so); for anything else (text
// that is no JSON, a bad `\u` pair, a pre-load hook to honour) it answers
// none and `load-json` runs the grammar, which reports the failure as before.
// The decoder context of the codecs phase binds it by name.
#pragma once
#include <cstdint>

namespace kel::json_decode {

// Its slot in the routine table: routine_numbers::json_decode.

// Start-up step (run by the library routines' install): fills the table slot.
void install();

}  // namespace kel::json_decode
