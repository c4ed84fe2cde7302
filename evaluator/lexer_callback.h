// lexer_callback: a Kel function as the lexer's event callback. The lexer
// calls a C++ function for each event it reports; `of` gives it one that runs
// the function through the interpreter in a mark named `<lexer-callback>`
// (trace filter `lexer`) with (event input type line token), and reads its
// answer: false or none vetoes the event, anything else goes on.
//
// The function cell `fn` must stay reachable (an argument-stack cell, say)
// and in place while the scan runs: the callback record points at it. The
// function's events are the ones the first block of its body names (all six
// without one). An error in the function travels on as the error it is; a
// control code leaves it as kel_unwind, since the lexer cannot return codes.
#pragma once

#include "kernel/value.h"
#include "services/lexer.h"

namespace kel::lexer_callback {

lexer::callback of(const kel_value* fn);

}  // namespace kel::lexer_callback
