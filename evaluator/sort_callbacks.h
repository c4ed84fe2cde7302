// sort_callbacks: the evaluator's side of sort/compare with a function on
// text. The string module sorts code points itself and only needs a way to
// run the script's comparison function; this module gives it one (the block
// module's equivalent is installed with the interpreter's own hooks).
//
// The function runs in a call frame named `<compare-callback>` under the
// sort trace filter, exactly as the block comparator does, so errors and
// control codes leave the sort the same way for both.
#pragma once

namespace kel::sort_callbacks {

// Start-up (after the interpreter exists; can be run again): installs
// `string::compare_callback`.
void install();

}  // namespace kel::sort_callbacks
