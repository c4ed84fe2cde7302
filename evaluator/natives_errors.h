// natives_errors: the natives that turn language-level transfers into the
// signals of the call marks: `try` (errors), `catch` and `throw`, `break`,
// `continue`, `exit` and `return`.
//
// break, continue, return, exit and throw unwind the marks to their receiver
// (a loop, the nearest return target, a catch) and return their code; the
// receiving native reads the code its evaluation returned. So does an error:
// it reaches the `try` whose mark the raise unwound to as the returned code
// `error` (or, raised in the try's own frames below any native dispatch, as
// kel_unwind, which the try catches too). That try is always the innermost
// receiver on the way, because marks and the natives that open them nest
// alike. A signal that finds no
// receiver, or meets a try/all mark first, becomes the throw-category error
// of its name ("no loop to break" and the others) where it starts.
#pragma once

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::natives {

signal_code try_star(bool check, const refinements& refs);
signal_code catch_star(bool check, const refinements& refs);
signal_code throw_star(bool check, const refinements& refs);
signal_code break_star(bool check, const refinements& refs);
signal_code continue_star(bool check, const refinements& refs);
signal_code exit_star(bool check, const refinements& refs);
signal_code return_star(bool check, const refinements& refs);

// The ending of a `try` for code that catches the error itself (compiled try
// blocks): the error just raised is the last pushed cell and the arguments
// base is the try's own. An error whose type and id are both `throw` (a throw
// that met a try/all mark) is raised again to the next receiver; any other
// becomes the result in the base cell (with `keep`, its stack trace captured
// first).
void try_settle(bool keep);

// What the error! module provides to the natives here; it installs these at
// start-up.
struct error_hooks {
    // Replaces the integer! `stack` field of an error by the block of calls,
    // and fills `files` (try/keep).
    void (*build_stack_trace)(kel_value* error) = nullptr;
    // True when both the error's type and id are the word `throw`. While null,
    // the bare error cells of the raise path are read.
    bool (*throw_throw_q)(const kel_value* error) = nullptr;
};
namespace errors {
extern error_hooks hooks;
}  // namespace errors
// Start-up step (right after the native entries): the error module's hooks above.
void install_error_hooks();

}  // namespace kel::natives
