// json_encode: the JSON encoder's compiled writer for the compact layout, the
// routine `json-encode` that `to-json` calls when no indentation is asked.
// It writes none, logic, integer, float, string, block and map! values as the
// encoder's Kel writer does, and hands every other value (objects, percents,
// other series and scalars, map keys that are neither words nor strings) to
// that writer, `kel-to-json-value`, so that one rule decides each of them.
// The encoder context of the codecs phase binds it by name.
#pragma once
#include <cstdint>

namespace kel::json_encode {

// Its slot in the routine table: routine_numbers::json_encode.

// Start-up step (run by the library routines' install): fills the table slot.
void install();

}  // namespace kel::json_encode
