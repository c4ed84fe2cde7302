// interpreter: evaluates blocks of values directly: the console's input, `do`
// of a block, function bodies, parens, and every evaluation a native asks
// for. It walks a block expression by expression, looks words up, invokes
// natives, actions, functions and routines with arguments taken from the
// code, walks paths and set-paths, applies infix operators strictly left to
// right, and reports each step to an optional trace callback.
//
// Invariants:
//  - Every intermediate value lives on the argument stack, and every call
//    opens a call mark, so errors and control signals unwind interpreted
//    code and natives alike. An evaluating function that receives a non-zero
//    signal_code returns it at once (KEL_PROPAGATE) without touching either
//    stack; an error is such a code too (`fail`), or a kel_unwind thrown
//    below a native's entry that the native dispatch turns into the code.
//  - A position in code is a block and a cell index (never a cell address):
//    the cell is re-read from the block's node after anything that may
//    allocate, and the end is clamped to the block's current tail at every
//    step, so code that grows, shrinks or clears the block it runs in is read
//    safely (`b: [clear b 1 2 3] do b` stops after the clear).
//  - One expression leaves exactly one cell, at the argument top it started
//    from; with the push flag clear the result is also copied into the
//    arguments base cell.
//  - The argument cache of a function-like value (a block in cell 1 of its
//    auxiliary block, built at its first call from its spec) drives argument
//    fetching: one typeset! per argument (class in header bits 20-21: 0
//    evaluated, 0x100000 get-word, 0x200000 lit-word, 0x300000 the return
//    type), one refinement! per refinement (for natives and actions word 3
//    holds its 1-based machine slot; for functions and routines word 3 holds
//    the index of its frame cell), and a last integer!: the /local count of
//    a function or routine, the refinement count of a native or action.
//  - Library code (blocks whose buffer carries memory::flag_library) fires no
//    trace events, leaves the current position on the caller's
//    expression and opens no interpreted marks (its marks lack the
//    interpreted flag); its set-paths run in a mark named `eval-set-path`.
//  - A word naming a function that takes plain evaluated arguments, or a
//    path of words naming one and its refinements, is run from its block's
//    decode (evaluator/decode.h) while the word holds the value it was
//    decoded with, bit for bit (and the path is unchanged); the control
//    natives among them (if, unless, either, any, all, while, until, loop,
//    case, switch) are run by the evaluator without the native table. Everything else, and
//    everything while tracing, is the generic step, which the decoded one
//    matches event for event, mark for mark and error for error.
//  - A block evaluated in place (eval_in_place, and eval_block's body when
//    nothing is traced) runs in one loop over frame records of its own:
//    function bodies, branches, parens, the bodies of loop, repeat, while,
//    until and foreach, the conditions of any and all, and decoded calls
//    (path calls with refinements included) with their arguments are
//    records, not C++ activations, so
//    Kel recursion meets the call-mark limit. The generic step (tracing,
//    other paths, apply, natives evaluating blocks) still recurses in C++
//    and re-enters the loop.
//  - Opening a call checks the call-mark and argument-stack limits (and the
//    loop its own record limit), and entering the loop from C++ the machine
//    stack, raising internal `stack-overflow` well before any limit is hit.
#pragma once
#include <cstdint>

#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::interpreter {

// Types an expression takes as plain data, pushed as they stand: everything
// but the word and path forms, parens, function values, op! and issue!
// (which has a check).
constexpr uint64_t active_types =
    (uint64_t{1} << types::word) | (uint64_t{1} << types::set_word) | (uint64_t{1} << types::get_word) |
    (uint64_t{1} << types::lit_word) | (uint64_t{1} << types::paren) | (uint64_t{1} << types::path) |
    (uint64_t{1} << types::get_path) | (uint64_t{1} << types::lit_path) | (uint64_t{1} << types::set_path) |
    (uint64_t{1} << types::op) | (uint64_t{1} << types::native) | (uint64_t{1} << types::action) |
    (uint64_t{1} << types::function) | (uint64_t{1} << types::routine) | (uint64_t{1} << types::issue);
inline bool plain_data(uint32_t t) { return !(active_types & (uint64_t{1} << t)); }

// Trace events, one bit each.
namespace event {
enum : uint32_t {
    init = 1, end = 2, prolog = 4, epilog = 8, enter = 16, exit = 32, open = 64, return_ = 128, fetch = 256,
    push = 512, set = 1024, call = 2048, error = 4096, throw_ = 8192, catch_ = 16384, expr = 32768,
};
constexpr uint32_t default_mask = 0x1FFFFu;
}  // namespace event

// Argument classes of the cache's typeset! cells.
constexpr uint32_t class_mask = 0x300000u;
constexpr uint32_t class_get = 0x100000u;
constexpr uint32_t class_lit = 0x200000u;
constexpr uint32_t class_return = 0x300000u;

// Call modes of invoke_value.
namespace mode {
constexpr int32_t plain = 0;               // refinements from the path, if any
constexpr int32_t apply_all = 1;           // every spec entry, refinements included, taken in order from the code
constexpr int32_t inline_refinements = 2;  // refinement! values in the code, each followed by its on/off expression
constexpr int32_t single = 4;              // (added to 1 or 2) every argument is one value of the code
}  // namespace mode

// Trace filters: the kind of runtime callback that runs a function.
namespace filter {
constexpr uint32_t lexer = 1, parse = 2, sort = 4, on_change = 8, on_deep_change = 16, port = 32;
}

// A position in code.
struct code_position {
    kel_value block;  // the block evaluated (its node id keeps it reachable)
    int32_t pos;      // cell index of the next cell, from the buffer's first used cell
    int32_t end;      // index of the end, clamped to the current tail at every step
    bool library;     // library code (read from the block's buffer)
};
// The whole of a block from its head (clamped to its tail).
code_position position_of(const kel_value* block);
// The end clamped to the block's current tail.
int32_t end_of(const code_position& c);
// The cell at an index (valid until the next allocation).
kel_value* cell_at(const code_position& c, int32_t index);

// --- tracing -------------------------------------------------------------------------

struct trace_state {
    bool active = false;          // a traced evaluation runs
    kel_value callback{};         // the trace callback (function!)
    uint32_t mask = 0;            // its event mask
    int32_t locals = 0;           // its /local count
    bool master = false;          // the master switch (functions flagged `trace`)
    uint32_t callback_bits = 0;   // the runtime callback kinds traced (filters)
};
extern trace_state trace;

// The event mask of a callback, read from its body: a first value that is a
// block! gives the OR of the events its words name; otherwise all events.
uint32_t trace_mask(const kel_value* callback);
// Installs a callback (its mask and /local count computed here) and turns
// tracing on; stop_tracing turns it off.
void start_tracing(const kel_value* callback);
void stop_tracing();
// Calls the callback when the event is in its mask (code: the block or null;
// pos: a cell index in it or -1; ref and value may be null). A control code
// coming out of the callback travels on wrapped in kel_unwind.
void notify_tracer(uint32_t event, const kel_value* code, int32_t pos, const kel_value* ref, const kel_value* value);
// Shortcuts for the natives: init and end (no data), throw and catch (the
// arguments base cell), call (name and function), return (name and the base cell).
void trace_init();
void trace_end();
void trace_throw();
void trace_catch();
void trace_call(const kel_value* name, const kel_value* fn);
void trace_return(const kel_value* name);

// The current position: a copy of the (user code) block being evaluated
// whose head is the start of the expression running, into out (unset!
// outside any evaluation). Worked out on demand, for an error's `near`.
void current_position(kel_value* out);

// --- evaluating ------------------------------------------------------------------------

// Evaluates the whole block in a mark of its own; the result is the value of
// the last expression (unset! for an empty block), left pushed, and with
// `set_last` also copied into the caller's base cell.
signal_code eval_block(const kel_value* block, bool set_last);
// The same evaluation without a mark of its own (the natives' blocks,
// function bodies and parens): expressions are evaluated at the argument top
// it starts from, where the result is left (also copied into the base cell
// with `set_last`). Marks differ only in the anonymous <body> mark that
// eval_block adds; when tracing is on it is eval_block, so every event fires.
signal_code eval_in_place(const kel_value* block, bool set_last);
// An interrupt the signal waiter left (Ctrl-C at the console, SIGTERM) as the
// code it halts with, else none: for loops that run no Kel code of their own.
signal_code poll_interrupt();
// Evaluates one expression at c.pos (advancing it); with no_infix, operators
// that follow are not applied; with literal, a native!, action!, function!
// or routine! value standing in the code is data.
signal_code step_expression(code_position& c, bool no_infix, bool push, bool literal);
// One expression with infix inside a mark named <body>; the result is kept
// pushed, or copied into the caller's base cell when `push` is clear.
signal_code eval_next(code_position& c, bool push);
// eval_next from the block's head; the new head index into *head. At the tail
// the result is unset! and the head stays. The result is pushed.
signal_code eval_next_at(const kel_value* block, int32_t* head);

// Invokes a function-like value with its arguments starting at c (null: no
// code; apply passes a block of its own). path: refinements (from its second
// element), name: the naming word (null: the calling word before the
// position), owner: the value the function was found in, infix: the first
// argument is already pushed at the argument top (right_ready: the second
// one just above it as well). The result takes the function value's place
// (one cell at the entry top; with infix, the left operand's cell).
signal_code invoke_value(const kel_value* fn, code_position* c, bool push, const kel_value* path,
                         const kel_value* name, const kel_value* owner, int32_t mode, bool infix,
                         bool right_ready = false);
// The one path walk: the head word's value, then one path step per element.
// The walk mode bits:
namespace walk {
constexpr uint32_t set = 1;       // a set-path: the last step assigns `value`
constexpr uint32_t get = 2;       // a get-path: a function found is a value, never called
constexpr uint32_t push = 4;      // push the result; clear: copy it into the base cell
// compiled code's path of constant elements: any head (a word's value taken
// unchecked), elements used as written (no get-word or paren evaluation),
// functions found are values.
constexpr uint32_t constant = 8;
}  // namespace walk
// c: the code after the path, where a function the path names takes its
// arguments. Owners are told about a set step by the same rule in every mode.
signal_code walk_path(const kel_value* path, code_position* c, uint32_t mode, const kel_value* value = nullptr);
// Runs a function!'s body with its arguments in place (the mark of its call
// open and its values at the arguments base).
signal_code call_function_body(const kel_value* fn, uint32_t owner, const kel_value* name, uint32_t filter);
// Calls a routine! with the fetched arguments at the base; the result goes
// into the base cell.
signal_code invoke_routine(const kel_value* routine);

// Calls a function! or routine! from C++ with `count` argument values (in
// order; missing arguments become none!, refinements are not used) in a mark
// named by `name`; the result into *result (which may not lie on the argument
// stack above the entry top). With `final_args`, the values the arguments
// after the first hold when the body ends go into final_args[1..count-1] (a
// callback may change them to answer more than its result; the first one's
// cell holds the result by then, so final_args[0] is left as it was).
signal_code call_function(const kel_value* fn, const kel_value* name, const kel_value* args, int32_t count,
                          uint32_t filter, kel_value* result, kel_value* final_args = nullptr);

// The word naming argument `index` of a function-like value's argument cache
// (the word as written in its spec, as a word!), into out.
void argument_word(const kel_value* fn, int32_t index, kel_value* out);
// The argument cache block of a function-like value (built at the first use).
kel_value cache_of(const kel_value* fn);

// Start-up step "interpreter hooks" (after the runtime words; can be run
// again): the hooks the lower modules call: the names of the signals, typeset
// words, the block and string sort comparisons, the raise hooks, the object
// module's handler call and spec evaluation, and an error's `near`.
void install_hooks();
// Start-up (part of the native table's step): the interpreter's roots and its
// own words.
void setup();
// The cells the interpreter holds outside the stacks (for the collector).
void each_root(void (*mark)(kel_value* cell));

}  // namespace kel::interpreter
