// signals: how errors, break, continue, return, exit and throw leave the call
// marks. Every signal first unwinds the mark stack to the mark that receives
// it (try or try/all for errors, a loop for break and continue, the nearest
// return target for return and exit, a catch for throw), restoring the
// function context of every function-call mark it pops, and only then leaves
// the machine frames:
//  - an error received by a try mark is returned as the code `error`, like
//    the other signals; raised from C++ that cannot return a code it travels
//    as the C++ exception kel_unwind{error} as far as the nearest native
//    dispatch (`catch_code`), which returns it from there. An error received
//    by a trap (C++ that runs language code and wants errors back as
//    exceptions) always travels as the exception, to the trap's opener;
//  - break, continue, return, exit and throw are returned as their
//    signal_code, which every evaluating function hands on with
//    KEL_PROPAGATE without touching either stack again.
// A signal that finds no receiver, or meets a try/all mark on the way, becomes
// the throw-category error of its name ("break", "continue", "return",
// "throw") raised through `fire` with the marks as they were.
//
// Where a code must cross C++ that cannot return one (a sort comparator, a
// callback inside an action), `throw_code` wraps it in kel_control_unwind
// and the next native dispatch turns it back into a returned code
// (`catch_code`), as it does with an error thrown on its way to a try mark.
//
// The raise functions of break, continue and throw are called by their
// natives, so they step below the native's own mark (the top record) before
// looking for the receiver; return and exit do so only when called from a
// native.
#pragma once
#include <cstdint>
#include <new>
#include <stdexcept>

#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::stack {

// Names the signals need, recorded when the symbols exist (the words module):
// marks named `<body>` or `<anon>` (or not named at all) are skipped when the
// innermost call is named; `not_found` is the word answered when no named
// mark is open (header unset!: not recorded yet).
struct runtime_names {
    uint32_t body = 0;
    uint32_t anon = 0;
    kel_value not_found{types::unset, 0, 0, 0};
};
extern runtime_names names;
void record_names(uint32_t body_symbol, uint32_t anon_symbol, const kel_value* not_found_word);

// The error! module fills in an error's `where` (when none) and `stack`
// (the mark depth as an integer!, unless it holds a block!) as the error is
// raised; null until that module exists.
struct error_hooks {
    void (*annotate)(kel_value* error, const kel_value* where, int32_t mark_depth) = nullptr;
};
namespace errors {
extern error_hooks hooks;
}  // namespace errors

// --- naming --------------------------------------------------------------------

// The word naming the innermost named call: from below the mark at which the
// last throw began when one is recorded (that record is then cleared), else
// from the innermost mark, walking down over anonymous marks. Past the bottom
// it is `names.not_found`. Writes the word into `out`.
void innermost_name(kel_value* out);
// The same as an argument for `fire`: the word cell (kept in `scratch`), or the
// name "<not-found>" while that word is not recorded.
error_arg innermost_name_arg(kel_value* scratch);
bool anonymous_q(const call_mark* m);
// The current calls, newest first, skipping anonymous marks: each one's name
// as a word bound to its function context (the global context, `global`,
// when it has none) and its saved arguments base in cells from the bottom.
using call_visitor = void (*)(const kel_value* word, int32_t base, void* user);
void collect_calls(uint32_t global, call_visitor visit, void* user);

// --- unwinding for compiled code ------------------------------------------------

// Pops marks (restoring function contexts) until one of kind `kind` or a
// try/all mark; that mark stays. Nothing popped: top := base + 1. The bottom
// reached without `keep`: base = top = bottom. Otherwise top := the entry
// base + 1 and base := the reached mark's own base (keep) or the base it saved.
// Answers the reached mark, or null at the bottom.
call_mark* pop_frames_to_kind(uint32_t kind, bool keep);
// As pop_frames_to_kind with keep, then the value that was in the base cell
// at entry goes into the reached mark's base cell, which becomes base and top.
call_mark* pop_frames_to_kind_set_last(uint32_t kind);
inline call_mark* pop_frames_to_loop(bool keep) { return pop_frames_to_kind(kind::loop, keep); }

// --- the receiver of last resort -----------------------------------------------------

// C++ that runs language code and wants its errors back as exceptions (unit
// tests, and callers outside any evaluation) opens a trap: an error that finds
// no try mark above the depth at which the trap was opened unwinds the marks
// to that depth, puts the arguments base back to what it was then, pushes the
// error's copy and throws, instead of ending the process. A trap is no mark:
// signals that skip their native's own mark see the marks as they are. Traps
// nest; closing one restores the one outside it.
struct trap_record {
    int32_t depth = -1;         // mark depth at the opening; -1: no trap
    uint32_t arguments = 0;     // the arguments base then, as a cell offset
};
extern trap_record trap;
// Opens a trap and answers the one it replaces (for close_trap).
trap_record open_trap();
void close_trap(const trap_record& outer);

// --- raising ---------------------------------------------------------------------

// Unwinds to the nearest try or try/all mark, pops it, puts the argument top
// back where it was, pushes a copy of the error and throws kel_unwind{error}.
// With no such mark (above an open trap, which then receives it) nothing
// receives the error: it is formed to stderr and the process ends with
// fatal::uncaught_error_exit.
[[noreturn]] void raise_error(const kel_value* error);
// raise_error for code that can return a code: the code `error` when a try
// mark receives the error (a trap gets the exception).
signal_code return_error(const kel_value* error);
// raise_error without the throw: everything up to it (and the end of the
// process when nothing receives the error). Answers true when a try mark
// receives the error, so that the raise may return the code `error`; false
// when a trap does, and the raise must throw kel_unwind{error}.
bool unwind_for_error(const kel_value* error);
// Whether the error unwound last goes to a trap (read by catch_code: such an
// error passes a native dispatch as the exception it is).
extern bool error_for_trap;

// break (value: the /return value or null) and continue: unwinds to the
// nearest loop mark below the native's own, which stays; its own base becomes
// base and top and holds the value (unset! for continue or no value).
signal_code raise_break(const kel_value* value, bool continue_);

// return (value) and exit (value null): unwinds to the nearest mark flagged as
// return target, which stays; its own base becomes base and top and holds the
// value (unset! for exit). `from_native`: start below the top mark.
signal_code raise_return(const kel_value* value, bool from_native);

// throw: records where the throw began (unless recorded), unwinds to the
// nearest catch mark below the native's own, which stays; its own base becomes
// base and top, and copies of the value and the name (unset! for none) are
// pushed there.
signal_code raise_throw(const kel_value* value, const kel_value* name);

// --- codes across C++ that cannot return them --------------------------------------

[[noreturn]] inline void throw_code(signal_code code) { throw_unwind(code_value(code)); }

// Runs `body` (which returns a signal_code); a wrapped control code, and an
// error on its way to a try mark, become the returned code. An error on its
// way to a trap goes on as the exception. A C++ container of the native that
// could not grow (the heap refused, or a size past its limit) becomes the
// internal `no-memory` error, not the terminate handler's fatal exit.
template <class F>
signal_code catch_code(F&& body) {
    try {
        return body();
    } catch (const kel_unwind& u) {
        if (u.code == code_value(signal_code::error) && error_for_trap) throw;
        return static_cast<signal_code>(u.code);
    } catch (const std::bad_alloc&) {
        return fail(error_category::internal, "no-memory");
    } catch (const std::length_error&) {
        return fail(error_category::internal, "no-memory");
    }
}

// --- codes across C libraries ------------------------------------------------------

// No exception may cross the frames of a C library (a toolkit's callback, a C
// comparator). A callback that runs language code does so through `capture`:
// an error or a control code coming out of it (thrown or returned; the marks
// are already unwound for its receiver) is kept on a small stack of pending
// codes and the callback returns normally. The code that called into the C
// library then calls `rethrow_pending` with the depth it noted before the C
// call: a code captured meanwhile is taken off and travels on (an error as
// kel_unwind, the error it was; a control code as kel_control_unwind, to be
// turned back into a returned code at the next native dispatch). Callbacks
// nest: each C call site deals with the codes captured above its own depth.
// Past 64 nested captures further codes are not kept (the first one is what
// travels on).
namespace pending {
constexpr int32_t capacity = 64;
int32_t depth();
void push(uint32_t code);
// Runs `body` (returning a signal_code); answers true when it ended normally.
template <class F>
bool capture(F&& body) {
    try {
        const signal_code c = body();
        if (c == signal_code::none) return true;
        push(code_value(c));
    } catch (const kel_unwind& u) {
        push(u.code);
    }
    return false;
}
// Takes off every code captured above `mark` and throws the outermost-first
// captured one (the first that happened); nothing captured: returns.
void rethrow_pending(int32_t mark);
}  // namespace pending

}  // namespace kel::stack
