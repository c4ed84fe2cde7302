// interpreter_internal: what the evaluator's files share. The evaluator runs
// code in tiers (see interpreter.cpp); each file holds one job, and this
// header holds the records they pass between them and the helpers on the hot
// paths, kept inline here so that splitting the files costs no call: the word
// lookup (fast_slot, lookup), code views and the infix look-ahead, the
// inline operators, the call record of the generic fetch, the frame record
// and its pushes, and the quick expressions.
//
// Invariants:
//   - The evaluator runs on one thread: the caches and the frame stack below
//     are plain globals, never locked.
//   - A slot found by fast_slot stays valid while memory::root.moves is
//     unchanged (no buffer moved, no node freed); every cached pointer into a
//     buffer is guarded by that count or read afresh after anything that may
//     allocate.
//   - A code_view is valid only until the next allocation: whatever may
//     allocate (a call, an evaluation, building an argument cache) is followed
//     by a fresh view_of.
//   - Every frame record opens and closes exactly the call marks the generic
//     step would, at the same moments, so signals, errors and the trace read
//     the marks unchanged whichever tier ran the code.
//   - A faster tier gives up before it has changed anything the generic way
//     would do differently: a quick, pure or planned run that declines leaves
//     no trace, and the slower tier runs the same code from the same place.
#pragma once
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/routine.h"
#include "datatypes/runtime_words.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/decode.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_api_words.h"
#include "evaluator/native_table.h"
#include "evaluator/natives.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_errors.h"
#include "evaluator/routines.h"
#include "kernel/actions.h"
#include "kernel/collector.h"
#include "kernel/fatal.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"
#include "kernel/signals.h"
#include "kernel/stack.h"

namespace kel::interpreter {

// The chain of live code positions: every evaluation of user code (library
// code is left out) links its position on entry and unlinks it however it
// ends, and notes where each expression starts. Nothing is copied per block
// or per expression; `near` is made from the innermost link only when an
// error is built. The links live in the evaluating frames (the position's
// block cell keeps its node reachable through the machine-stack scan).
struct live_code {
    const code_position* c;
    int32_t start;  // the cell index of the expression running
    live_code* outer;
};

inline live_code* innermost_code = nullptr;

// (The compiler cannot see that the destructor unlinks what enter links.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
struct live_link {
    live_code link;
    bool linked = false;
    explicit live_link(const code_position* c) : link{c, c->pos, innermost_code} {}
    void enter() {
        innermost_code = &link;
        linked = true;
    }
    ~live_link() {
        if (linked) innermost_code = link.outer;
    }
    live_link(const live_link&) = delete;
    live_link& operator=(const live_link&) = delete;
};
#pragma GCC diagnostic pop

inline void push_value(const kel_value* v) { *stack::alloc_cell() = *v; }

// The cells of the code and its end as they are now: read once per step (an
// evaluation may grow, move or shrink the block).
struct code_view {
    kel_value* cells;
    int32_t end;
    memory::buffer_header* h;
};

constexpr uint64_t bit(uint32_t t) { return uint64_t{1} << t; }
// Values of words that are not simply pushed.
constexpr uint64_t word_special = bit(types::unset) | bit(types::op) | bit(types::native) | bit(types::action) |
                                  bit(types::function) | bit(types::routine);

// --- operators --------------------------------------------------------------------------------
// An operator made from add, subtract, multiply or remainder, or from a native naming a
// comparison, is applied inline to two integer! operands (and the arithmetic
// to two float! operands) when nothing is being traced: the right operand is
// evaluated exactly as the call would fetch it, and only when the operands
// need the general call is the call made (with both operands in place).

enum class inline_op : uint8_t { none, add, subtract, multiply, remainder, compare };

// --- argument fetching ---------------------------------------------------------------------

struct call {
    kel_value fn;
    kel_value name;
    uint32_t cache;  // node of the argument cache
    uint32_t type;
    bool natives_like;
    bool infix;
    bool right_ready;  // infix with the right operand already evaluated
    int32_t mode;
    kel_value* base;
    code_position* c;
    const kel_value* path;
    const kel_value* name_in;
    int32_t open_pos;  // the code position when the call opened (its site)
    refinements refs;
};

// --- the frame stack ------------------------------------------------------------------
// Blocks evaluated in place run in one loop over frames of its own rather than
// in nested C++ calls: a block (a function body, a branch, a loop body, a
// paren), an expression whose head or right operand is one of those, and a
// decoded call with its arguments being fetched (a word's, or a path's naming
// refinements, whose arguments land in the refinements' frame cells) are each
// a frame record. A Kel call, a conditional or a loop run this way adds a
// record, not a C++ activation, so recursion meets the call-mark limit (or
// this stack's own, with the same error) instead of the machine stack.
// Everything else (set-paths, other paths, apply, natives evaluating blocks,
// tracing) is the generic step called from the loop, which re-enters it from
// C++ as before. An interrupt is polled at every function call the loop runs.
//
// The marks stay what they were: every record opens and closes exactly the
// call marks the generic step would, at the same moments, so signals, errors
// and the trace read them unchanged. A code coming back (or thrown as
// kel_unwind, caught once around the loop) pops records until one receives
// it: a function body a return or exit aimed at its call, a loop body a break
// or continue. Records live in one fixed array, so the chain of live code
// positions may point into them; the collector marks their code blocks.

namespace fr {
// each: the conditions of any or all, one expression at a time, each in a
// <body> mark of its own (as the natives evaluate them), the position not
// linked for `near` (errors there are near the any or all).
enum : uint8_t { block, expr, call, each };
// What a block record is evaluated for.
// fbody: a function's body run in its call's record (see enter_function).
// cbranch: the branch of a conditional run in the conditional's record (see start_conditional).
enum : uint8_t { base, branch, paren, paren_no_infix, loop_body, until_body, cond, fbody, cbranch };
// Expression states.
// x_right_start and x_right_done: the operator's mark is open while its right
// operand is evaluated (x_right_closed: the operand is in and the mark closed).
enum : uint8_t { x_head_done = 1, x_set_done, x_infix, x_right_start, x_right_done, x_right_closed };
// Call states.
enum : uint8_t {
    c_fetch, c_arg_done, c_invoke, c_body_done, c_finish, c_loop, c_loop_end, c_while_cond, c_while_test,
    c_until_round, c_until_test, c_foreach
};
}  // namespace fr

// How a loop's body may run without a block record: its leading quick
// set-words (quick_body), or the body as one quick call (quick_block_call).
// Set-words that do not run so are not tried again in that loop; a call is
// tried in two rounds, since the first round's record may be what decodes it
// (a native's argument cache is built at its first call).
enum : uint8_t { quick_none, quick_sets, quick_call_body, quick_call_last };

struct frame {
    uint8_t kind;
    uint8_t role;        // block: what it is evaluated for; call: no infix after it
    uint8_t state;
    bool flag;           // block: set_last; expr: no infix; call: the function's context is a stack context
    uint8_t quick;       // loop call: how its body may run without a record (see run_loop_body)
    bool planned;        // loop call: its rounds were tried planned (see planned_loop_rounds)
    uint8_t paren;       // call, fbody: 0, or the role of the paren it stands for (see start_paren_call)
    uint8_t after;       // fbody, cbranch: no infix after the call
    bool stack_context;  // fbody: the function's context is a stack context (its values put back at the end)
    kel_value* entry;    // block, expr: the argument top it started at; call: its placeholder
    int32_t i, n;        // call: the argument fetched, the loop round and count; expr: the pending operator
    uint32_t old_values; // call: the function context's values before the call
    int32_t depth;       // call: the depth of its call mark
    code_position c;     // block: the code
    live_code link;      // block: its link in the chain of live code (user code only)
    code_position* pc;   // expr, call, fbody: the code read (a block record below, or c2); paren: the code around it
    code_position* outer; // paren call: the code around the paren
    code_position c2;    // paren call: the paren's code
    live_code link2;     // paren call: its link
    kel_value v;         // expr: the pending operator; call: the naming word
    kel_value w;         // expr: the operator's word
    decode::term t;      // call: the decoded call
};

inline frame* frames = nullptr;
inline frame* frame_sp = nullptr;  // the next free record
inline frame* frame_limit = nullptr;

// Four records per call mark cover a call from a branch of a conditional;
// deeper nesting of parens alone meets this limit first, with the same error.
constexpr int32_t frame_capacity = static_cast<int32_t>(stack::mark_records) * 4;

enum class quick_call : uint8_t { declined, value, record, stopped };
constexpr int32_t quick_call_arguments = 3;
// A call site whose arguments were not all quick this many times (since its
// block was last decoded: a change to it or a collection) is not tried again.
constexpr uint8_t quick_call_tries = 4;
// How deep calls nest as each other's arguments on this path (`select b
// pick k i + 1`); deeper ones take records.
constexpr int32_t quick_call_nesting = 3;

// --- shared between the evaluator's files, by the file that holds each ------------
// (interpreter.h declares the public ones.)

// interpreter.cpp
char* compute_floor();
[[gnu::noinline, gnu::cold]] signal_code interrupted();
[[gnu::noinline]] signal_code apply_infix(code_position& c, kel_value* entry, const kel_value* first);

// calls.cpp
int32_t push_fixed_frame(const kel_value* fn, const kel_value* name, const kel_value* args, int32_t count,
                         bool unset_as_none = false);
kel_value site_of(const call& k);
[[gnu::noinline]] signal_code expect_arg(const call& k, int32_t entry_index, const kel_value* value);
[[gnu::noinline]] signal_code no_arg(const call& k, int32_t entry_index);
[[gnu::noinline]] signal_code fetch_quoted(call& k, uint32_t cls);

// decoded_calls.cpp
signal_code run_control(uint8_t id);
void decode_call(decode::term* t, const kel_value& fn);
void decode_path_call(decode::term* t, const kel_value& fn, const kel_value* elements, int32_t count,
                      uint32_t stamp);
[[gnu::noinline]] void push_refinement_cells(uint32_t cache);
int32_t refinement_argument(const decode::term& t, int32_t j, int32_t* cell);
refinements path_refinements_of(const decode::term& t);
[[gnu::noinline]] signal_code fetch_classed(call& k, const decode::term& t);
signal_code invoke_word(const kel_value& fn, code_position& c, const kel_value* name);
const kel_value* call_path_elements(const kel_value& path, int32_t* count, memory::buffer_header** ph);
[[gnu::noinline]] const decode::term* decoded_path_call(code_position& c, memory::buffer_header* h, int32_t at,
                                                        const kel_value& path, kel_value* name);

// frames.cpp
[[gnu::noinline]] signal_code frames_overflow();
[[gnu::noinline]] void open_operator_mark(const kel_value* op_word, bool library);
[[gnu::noinline]] bool foreach_next(kel_value* args, int32_t count, signal_code* code);
bool unplanned_round(frame* f, int32_t first_set, const kel_value& body, int32_t pos, signal_code* code);
signal_code run_frames(const kel_value* block, bool set_last);
void mark_frames(void (*mark)(kel_value* cell));

// quick_calls.cpp
[[gnu::noinline]] bool quick_set_word(code_position& c, const code_view& cv, const kel_value* set_word,
                                      kel_value* left, int32_t* stop);
[[gnu::noinline]] int32_t quick_body(const kel_value* body, kel_value* entry, int32_t* end);
[[gnu::noinline]] bool quick_set_path(code_position& c, const code_view& cv, const kel_value* set_path);
[[gnu::noinline]] quick_call start_quick_call(code_position& c, const code_view& cv, decode::term* d,
                                              const kel_value* name, signal_code* code, int32_t whole_to = -1);
[[gnu::noinline]] quick_call go_on_nested(code_position& c, code_view cv, decode::term* d, const kel_value* name,
                                          signal_code* code, bool no_infix, int32_t nest);
quick_call nested_call(code_position& c, const code_view& cv, decode::term* d, const kel_value* name,
                       signal_code* code, bool no_infix, int32_t nest);
[[gnu::noinline]] bool quick_block_call(const kel_value* block, bool set_last, signal_code* code, bool loop_body = false);
[[gnu::noinline]] quick_call start_conditional(code_position& c, const code_view& cv, decode::term* d,
                                               const kel_value* name, bool no_infix, signal_code* code);

// pure_calls.cpp
namespace pure {
struct body;
// Where a call's arguments go in its frame: the frame cell and the argument
// cache's typeset of each, in the order they are fetched (a path's
// refinements' after the plain ones), and the cells of the refinements a path
// switches on.
constexpr int32_t max_shaped_args = 8, max_shaped_refs = 4;
struct call_shape {
    uint8_t count = 0, refs = 0;
    uint8_t cell[max_shaped_args] = {};
    uint8_t typeset[max_shaped_args] = {};
    uint8_t ref_cell[max_shaped_refs] = {};
};
void release(int32_t number);
body* body_of(const kel_value& fn);
// Whether an attempt may call the body (its whole frame laid out by the attempt).
bool callable(const body& b);
[[gnu::noinline]] bool try_call(const kel_value& fn, kel_value* base, kel_value* out);
[[gnu::noinline]] bool try_shaped(const kel_value& fn, const kel_value* args, const call_shape& shape,
                                  kel_value* out);
bool shape_of(const body& b, const decode::term& t, call_shape* shape);
}  // namespace pure

// planned_rounds.cpp
[[gnu::noinline]] bool planned_loop_rounds(frame* f, const kel_value& body, signal_code* code);
[[gnu::noinline]] bool planned_while_rounds(frame* f, signal_code* code);
[[gnu::noinline]] bool planned_foreach_rounds(frame* f, signal_code* code);

// paths.cpp
// Empties the field cache (a new runtime, a collection).
void forget_fields();

// --- names and kinds ---------------------------------------------------------------

constexpr uint32_t library_eval_kind = 0x07000000u;  // an evaluation mark without the interpreted flag

inline uint32_t eval_kind(bool library) { return library ? library_eval_kind : stack::kind::eval; }
inline uint32_t native_kind(bool library) { return library ? stack::kind::native : stack::kind::eval_native; }
inline uint32_t call_kind(bool library) { return library ? stack::kind::call : stack::kind::eval_call; }

// What a word or path calls when it meets it: any-function! but op!, which
// is applied only after a value, as an operator.
inline bool prefix_callable(uint32_t t) { return in_family(t, family::function) && t != types::op; }
// Natives and actions: called through their tables, with the refinements in
// a record rather than in frame cells.
inline bool called_through_table(uint32_t t) { return t == types::native || t == types::action; }
inline bool traced(const code_position* c) { return trace.active && !(c && c->library); }

// --- the machine stack ------------------------------------------------------------------
// Calls check the machine stack against a floor kept well above the guard
// zone, so that building and raising the error still has room.

constexpr size_t machine_margin = 256 * 1024;

inline char* machine_floor = nullptr;  // the evaluator runs on one thread

inline signal_code check_machine_stack() {
    char* here = static_cast<char*>(__builtin_frame_address(0));
    if (!machine_floor) [[unlikely]] machine_floor = compute_floor();
    if (here < machine_floor) [[unlikely]] return stack::overflow_code();
    return signal_code::none;
}

// One relaxed load, at every block evaluation (loop rounds and function
// bodies included).
inline signal_code poll_halt() {
    if (runtime::halt_requested.load(std::memory_order_relaxed)) [[unlikely]] return interrupted();
    return signal_code::none;
}

// --- word lookup --------------------------------------------------------------------------

inline memory::buffer_header* header_of(uint32_t node) { return memory::buffer_of(node); }

// What fast_slot last found for a word, by context node and index: for a
// heap context the value slot itself, for a stack context the context's cell
// (its slot moves with every call; the cell says where the values start).
// Both stay where they are while no buffer moves and no node is freed
// (memory::root.moves). A heap context's values node is fixed when it is
// made and its words only grow, so an index found inside stays inside.
struct slot_entry {
    uint32_t ctx;
    uint32_t index;
    uint64_t moves;
    bool stack;
    bool plain;     // a stack context or one no object owns: no change handler hears a store
    kel_value* at;  // the slot, or the stack context's cell
};
// Multiplicative hashing of both halves spreads the words of one context
// (consecutive indexes) over the table; a direct-mapped table this size
// keeps a program's hot words apart, where a collision would cost the slow
// path at every step.
constexpr uint32_t slot_cache_bits = 10;

inline slot_entry slot_cache[uint32_t{1} << slot_cache_bits];

inline slot_entry& slot_entry_for(uint32_t ctx, uint32_t index) {
    return slot_cache[(ctx * 0x9E3779B1u + index * 0x85EBCA77u) >> (32 - slot_cache_bits)];
}

// The slot of `index` in a stack context whose cell is c (null when it is
// not running or the slot lies past the stack).
inline kel_value* stack_slot(const kel_value* c, int32_t index) {
    if (c->w2 == 0) return nullptr;
    kel_value* v = stack::bottom() + (c->w2 - 1) + index;
    return v < stack::regs.limit ? v : nullptr;
}

// The value slot of a bound word, or null when the fast path cannot tell;
// with `plain`, also whether a store there is plain (see slot_entry).
[[gnu::always_inline]] inline kel_value* fast_slot(const kel_value* w, bool* plain = nullptr) {
    const uint32_t ctx = w->w1;
    const int32_t index = static_cast<int32_t>(w->w3);
    // No entry is ever kept for an unbound word or a negative index, so a
    // hit needs no check of its own (an entry never written holds no slot).
    slot_entry& e = slot_entry_for(ctx, static_cast<uint32_t>(index));
    if (e.ctx == ctx && e.index == static_cast<uint32_t>(index) && e.moves == memory::root.moves) [[likely]] {
        if (plain) *plain = e.plain;
        return e.stack ? stack_slot(e.at, index) : e.at;
    }
    if (ctx == 0 || index < 0) return nullptr;
    kel_value* const c = reinterpret_cast<kel_value*>(header_of(ctx)->head_ptr());
    // Kept only with decoding on: KEL_NO_DECODE=1 runs every lookup in full,
    // which the random-program driver compares against.
    if (c->header & header_context_stack) {
        if (decode::enabled) [[likely]]
            e = slot_entry{ctx, static_cast<uint32_t>(index), memory::root.moves, true, true, c};
        if (plain) *plain = true;
        return stack_slot(c, index);
    }
    if (c->w2 == 0) return nullptr;
    memory::buffer_header* h = header_of(c->w2);
    if (static_cast<uint32_t>(index) >= h->used() / 16) return nullptr;
    kel_value* const slot = reinterpret_cast<kel_value*>(h->head_ptr()) + index;
    const bool owned = _context::kind_of(c) == _context::kind_object;
    if (decode::enabled) [[likely]]
        e = slot_entry{ctx, static_cast<uint32_t>(index), memory::root.moves, false, !owned, slot};
    if (plain) *plain = !owned;
    return slot;
}

// The value slot of a word; the errors of an unbound word or a context
// without values come from the context module.
inline kel_value* lookup(const kel_value* w) {
    if (kel_value* v = fast_slot(w)) [[likely]] return v;
    return _context::get_bound(w);
}

// --- code positions ------------------------------------------------------------------------

inline int32_t tail_index(uint32_t node) { return static_cast<int32_t>(header_of(node)->used() / 16); }

inline void position_at(const kel_value* block, code_position& c) {
    c.block = *block;
    memory::buffer_header* h = header_of(series_node(block));
    const int32_t tail = static_cast<int32_t>(h->used() / 16);
    const int32_t head = series_head(block);
    c.pos = head < 0 ? 0 : (head > tail ? tail : head);
    c.end = tail;
    c.library = (h->flags & memory::flag_library) != 0;
}

inline kel_value* cells_of(uint32_t node) { return reinterpret_cast<kel_value*>(header_of(node)->head_ptr()); }

inline code_view view_of(const code_position& c) {
    memory::buffer_header* h = header_of(series_node(&c.block));
    const int32_t tail = static_cast<int32_t>(h->used() / 16);
    return code_view{reinterpret_cast<kel_value*>(h->head_ptr()), c.end < tail ? c.end : tail, h};
}

// Is the cell at the position an operator's word? (the infix lookahead, over
// a view still valid: nothing allocated since it was taken)
[[gnu::always_inline]] inline const kel_value* operator_in(const code_view& cv, int32_t pos) {
    if (pos >= cv.end) return nullptr;
    const kel_value* next = cv.cells + pos;
    if (type_of(next) != types::word) return nullptr;
    const kel_value* value = fast_slot(next);
    if (!value) value = word_ops::value_or_null(next);
    return value && type_of(value) == types::op ? value : nullptr;
}
inline const kel_value* operator_at(const code_position& c) { return operator_in(view_of(c), c.pos); }
// The same where an expression often ends its code (a paren, a branch):
// past the position's own end there is nothing to read.
inline const kel_value* operator_after(const code_position& c) { return c.pos < c.end ? operator_at(c) : nullptr; }

// Assigns the value in the cell after `cells` to the set-word in `cells`
// and leaves the value in `cells` (word/set-from-arguments): a word of a
// function's frame or of a context no object owns is stored at once; the
// rest (objects with their change hooks, words without an index) go
// through the context module.
inline signal_code assign(kel_value* cells) {
    const kel_value* value = cells + 1;
    if (unset_q(value)) [[unlikely]] return fail(error_category::script, "need-value", cells);
    bool plain = false;
    if (kel_value* slot = fast_slot(cells, &plain); slot && plain) [[likely]] {
        *slot = *value;
        *cells = *value;
        return signal_code::none;
    }
    word::set_from_arguments();
    return signal_code::none;
}
// The common store (a word of a function's frame or of a context no object
// owns, so no change handler can run), done where it stands: nothing in it
// can throw, so the frame loop needs no catch around it. False: the caller
// leaves it all to assign or to the context module.
inline bool store_plain(const kel_value* word, const kel_value* value) {
    bool plain = false;
    kel_value* slot = fast_slot(word, &plain);
    if (!slot || !plain) [[unlikely]] return false;
    *slot = *value;
    return true;
}
inline bool assign_plain(kel_value* cells) {
    const kel_value* value = cells + 1;
    if (unset_q(value)) [[unlikely]] return false;
    if (!store_plain(cells, value)) return false;
    *cells = *value;
    return true;
}

[[gnu::always_inline]] inline inline_op inline_kind(const kel_value& op, int32_t* compare) {
    const uint32_t wrapped = native::wrapped_type(&op);
    if (wrapped == types::action) {
        switch (op.w1) {
            case act::add: return inline_op::add;
            case act::subtract: return inline_op::subtract;
            case act::multiply: return inline_op::multiply;
            case act::remainder: return inline_op::remainder;
            default: return inline_op::none;
        }
    }
    if (wrapped == types::native) {
        const natives::entry& e = natives::at(static_cast<int32_t>(op.w1));
        if (e.fast == natives::fast_path::compare) {
            *compare = e.fast_code;
            return inline_op::compare;
        }
    }
    return inline_op::none;
}

// Applies the operator to the two cells when their types allow; answers
// false otherwise (nothing written).
[[gnu::always_inline]] inline bool apply_inline(inline_op kind, int32_t compare, kel_value* left, const kel_value* right) {
    const uint32_t tl = type_of(left), tr = type_of(right);
    if (tl == types::integer && tr == types::integer) {
        const int32_t x = get_integer(left), y = get_integer(right);
        int32_t r;
        switch (kind) {
            case inline_op::add:
                if (__builtin_add_overflow(x, y, &r)) set_float(left, static_cast<double>(x) + static_cast<double>(y));
                else set_integer(left, r);
                return true;
            case inline_op::subtract:
                if (__builtin_sub_overflow(x, y, &r)) set_float(left, static_cast<double>(x) - static_cast<double>(y));
                else set_integer(left, r);
                return true;
            case inline_op::multiply:
                if (__builtin_mul_overflow(x, y, &r)) set_float(left, static_cast<double>(x) * static_cast<double>(y));
                else set_integer(left, r);
                return true;
            case inline_op::remainder:
                // The division errors are the call's to raise.
                if (y == 0 || (y == -1 && x == INT32_MIN)) return false;
                set_integer(left, x % y);
                return true;
            case inline_op::compare: {
                bool b;
                switch (compare) {
                    case cmp::equal:
                    case cmp::strict_equal: b = x == y; break;
                    case cmp::not_equal: b = x != y; break;
                    case cmp::lesser: b = x < y; break;
                    case cmp::lesser_or_equal: b = x <= y; break;
                    case cmp::greater: b = x > y; break;
                    case cmp::greater_or_equal: b = x >= y; break;
                    default: return false;
                }
                set_logic(left, b);
                return true;
            }
            default: return false;
        }
    }
    if (tl == types::float_ && tr == types::float_) {
        const double x = get_float(left), y = get_float(right);
        switch (kind) {
            case inline_op::add: set_float(left, x + y); return true;
            case inline_op::subtract: set_float(left, x - y); return true;
            case inline_op::multiply: set_float(left, x * y); return true;
            default: return false;
        }
    }
    return false;
}

// The right operand an inline operator takes as it stands: a number, or a
// word whose value is one (a lookup, nothing to evaluate). Null otherwise.
[[gnu::always_inline]] inline const kel_value* number_operand(const kel_value* v) {
    if (type_of(v) == types::word) {
        const kel_value* slot = fast_slot(v);
        if (!slot) return nullptr;
        v = slot;
    }
    const uint32_t t = type_of(v);
    return t == types::integer || t == types::float_ ? v : nullptr;
}

inline kel_value* cache_cells(const call& k) { return cells_of(k.cache); }
inline kel_value cache_entry(const call& k, int32_t i) { return cache_cells(k)[i]; }
inline int32_t cache_length(const call& k) { return tail_index(k.cache); }

inline signal_code check_type(const call& k, int32_t entry_index, const kel_value* value) {
    if (!typeset_has(cache_cells(k) + entry_index, type_of(value))) [[unlikely]]
        return expect_arg(k, entry_index, value);
    return signal_code::none;
}

inline bool at_end(const call& k) { return !k.c || k.c->pos >= end_of(*k.c); }

// Fetches one argument of class `cls` from the code (pushed). An argument
// that is plain data, or a word whose value is, is taken at once, and the
// operators after it applied (what step_expression would do, without its
// events, which only fire while tracing).
[[gnu::always_inline]] inline signal_code fetch_one_inline(call& k, uint32_t cls, int32_t entry_index) {
    if (!k.c) [[unlikely]] return no_arg(k, entry_index);
    code_position& c = *k.c;
    const code_view cv = view_of(c);
    if (c.pos >= cv.end) [[unlikely]] return no_arg(k, entry_index);
    if (cls != 0) [[unlikely]] return fetch_quoted(k, cls);
    if (!(k.mode & mode::single) && !trace.active) [[likely]] {
        const kel_value* v = cv.cells + c.pos;
        const uint32_t t = type_of(v);
        const kel_value* value = nullptr;
        if (plain_data(t)) {
            value = v;
        } else if (t == types::word) {
            value = fast_slot(v);
            if (value && (word_special & bit(type_of(value)))) value = nullptr;
        }
        if (value) {
            kel_value* const entry = stack::top();
            push_value(value);
            ++c.pos;
            if (!k.infix) {
                if (const kel_value* op = operator_in(cv, c.pos)) return apply_infix(c, entry, op);
            }
            return signal_code::none;
        }
    }
    if (k.mode & mode::single) [[unlikely]] {
        const int32_t saved_end = c.end;
        c.end = std::min(c.end, c.pos + 1);
        KEL_PROPAGATE(step_expression(c, k.infix, true, false));
        c.end = saved_end;
        return signal_code::none;
    }
    return step_expression(c, k.infix, true, false);
}

inline bool same_bits(const kel_value& a, const kel_value& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The function context's values (a stack context: offset + 1, 0 while its
// function is not running).
inline uint32_t context_values(uint32_t ctx) { return cells_of(ctx)->w2; }
inline void set_context_values(uint32_t ctx, uint32_t values) { cells_of(ctx)->w2 = values; }

// The context a function runs for: the object it was found in (other than
// the global context), else the enclosing object recorded with it, else the
// context of the word that named it. Only a body that is not interpreted
// reads it, so it is worked out only for such a function.
inline uint32_t owner_context(const kel_value* fn, const kel_value* owner, const kel_value* name) {
    const kel_value* code = function::more_cell(fn, function::more::code);
    if (type_of(code) != types::integer || get_integer(code) == 0) return 0;
    const kel_value* object = function::more_cell(fn, function::more::object);
    if (owner && type_of(owner) == types::object && owner->w1 != _context::global()) return owner->w1;
    if (type_of(object) == types::integer) return static_cast<uint32_t>(get_integer(object));
    return word_context(name);
}

inline frame* push_frame(uint8_t kind) {
    if (frame_sp >= frame_limit) [[unlikely]] return nullptr;
    frame* f = frame_sp++;
    f->kind = kind;
    f->state = 0;
    f->paren = 0;
    return f;
}

inline frame* push_block(const kel_value* block, uint8_t role, bool set_last) {
    frame* f = push_frame(fr::block);
    if (!f) [[unlikely]] return nullptr;
    position_at(block, f->c);
    f->role = role;
    f->flag = set_last;
    f->entry = stack::top();
    if (!f->c.library) {
        f->link = live_code{&f->c, f->c.pos, innermost_code};
        innermost_code = &f->link;
    }
    return f;
}

inline frame* push_expr(code_position* c, kel_value* entry, bool no_infix, uint8_t state) {
    frame* f = push_frame(fr::expr);
    if (!f) [[unlikely]] return nullptr;
    f->state = state;
    f->pc = c;
    f->entry = entry;
    f->flag = no_infix;
    set_none(&f->v);
    return f;
}

// The decoded call of the word at `at` naming fn, or null (the generic step).
inline decode::term* decoded_call(code_position& c, memory::buffer_header* h, int32_t at, const kel_value& fn) {
    decode::block_decode* d = decode::entry_for(series_node(&c.block), h);
    decode::term* t = decode::term_at(d, at);
    if (t && !decode::current(d, t)) {
        *t = decode::term{};
        t->generation = d->generation;
        decode_call(t, fn);
    }
    if (!t || t->k != decode::kind::call || !same_bits(t->guard, fn)) return nullptr;
    return t;
}

// The field `o/x` reads when it holds plain data and the short path would
// read it (null otherwise; nothing is filled or changed).
const kel_value* quick_field(const kel_value* path);
// `o/x: value` as the short path stores it, the value pushed (false: nothing
// was done).
bool quick_field_set(const kel_value* path, const kel_value* value);

// Either, if or unless with quick arguments (see below).
quick_call start_conditional(code_position& c, const code_view& cv, decode::term* d, const kel_value* name,
                             bool no_infix, signal_code* code);

// One operand of a quick expression: plain data, a word holding it, a
// get-word's value, or an object's field read by a path of two words.
[[gnu::always_inline]] inline const kel_value* quick_operand(const kel_value* v) {
    const uint32_t t = type_of(v);
    if (t == types::word) {
        v = fast_slot(v);
        return v && !(word_special & bit(type_of(v))) ? v : nullptr;
    }
    if (t == types::path) [[unlikely]] return quick_field(v);
    if (t == types::get_word) {
        // The value as it stands, whatever its type; an unset one is left to
        // the ordinary step.
        v = fast_slot(v);
        return v && !unset_q(v) ? v : nullptr;
    }
    return plain_data(t) ? v : nullptr;
}

// The cells of a block or paren from its position on (false when there are none).
inline bool whole_view(const kel_value* b, code_view* out) {
    memory::buffer_header* h = header_of(series_node(b));
    const int32_t head = series_head(b), tail = static_cast<int32_t>(h->used() / 16);
    if (head < 0 || head >= tail) return false;
    *out = code_view{reinterpret_cast<kel_value*>(h->head_ptr()) + head, tail - head, h};
    return true;
}

// Computes `operand (operator operand)*` from p into *out, where every
// operator is one the loop applies in place and every operand after one is
// a number (with `parens`, also a paren holding such an expression whole).
// Answers the position after it, or -1 when the code is not of that shape or
// an operator declines (an overflow, a zero divisor): nothing has been
// changed then, and the code runs its ordinary way.
// With `stop`, a run that meets an inline operator whose right operand is
// neither a number, a word holding one nor a quick paren writes the
// operator's position there, *out holding the value computed up to it.
template <bool parens>
[[gnu::always_inline]] inline int32_t quick_run(const code_view& cv, int32_t p, kel_value* out,
                                                int32_t* stop = nullptr);
// A block or paren that is one quick expression whole (without parens in it),
// computed into *out.
[[gnu::always_inline]] inline bool quick_whole(const kel_value* b, kel_value* out) {
    code_view v;
    return whole_view(b, &v) && quick_run<false>(v, 0, out) == v.end;
}

template <bool parens>
[[gnu::always_inline]] inline int32_t quick_run(const code_view& cv, int32_t p, kel_value* out, int32_t* stop) {
    if (p >= cv.end) return -1;
    if (parens && type_of(cv.cells + p) == types::paren) {
        // `(a + b) * c`
        if (!quick_whole(cv.cells + p, out)) return -1;
    } else {
        const kel_value* first = quick_operand(cv.cells + p);
        if (!first) return -1;
        *out = *first;
    }
    for (const kel_value* op = operator_in(cv, ++p); op; op = operator_in(cv, p)) {
        int32_t compare = 0;
        const inline_op kind = inline_kind(*op, &compare);
        if (kind == inline_op::none || p + 1 >= cv.end) return -1;
        const kel_value* right = cv.cells + p + 1;
        kel_value inner;
        if (parens && type_of(right) == types::paren) {
            if (!quick_whole(right, &inner)) {
                if (stop) *stop = p;
                return -1;
            }
            right = &inner;
        } else if (!(right = number_operand(right))) {
            if (stop) *stop = p;
            return -1;
        }
        const uint32_t rt = type_of(right);
        if (!((rt == types::integer || rt == types::float_) && apply_inline(kind, compare, out, right))) return -1;
        p += 2;
    }
    return p;
}

// A block that is one quick expression, such as a while loop's condition,
// computed without a record of its own (untraced only: tracing sees its
// events).
[[gnu::always_inline]] inline bool quick_block(const kel_value* block, kel_value* out) {
    code_view v;
    kel_value value;
    if (trace.active || !whole_view(block, &v) || quick_run<true>(v, 0, &value) != v.end || unset_q(&value))
        return false;
    *out = value;
    return true;
}

// Stores a quick expression's value through its set-word when the store
// is plain (false: nothing stored). An unset value is the ordinary path's
// error, and an op! stored here could make the word after it an operator,
// which the ordinary path's look-ahead then applies to this value.
inline bool store_quick(const kel_value* set_word, const kel_value* value) {
    return !unset_q(value) && type_of(value) != types::op && store_plain(set_word, value);
}

inline quick_call declined(decode::term* d) {
    if (d->declines < quick_call_tries) ++d->declines;
    return quick_call::declined;
}

// The decoded call at p that start_quick_call may make: a word naming an
// action or native the loop does not run itself, not declined too often
// (null: anything else).
inline decode::term* nested_call_at(code_position& c, const code_view& cv, int32_t p) {
    if (p >= cv.end || type_of(cv.cells + p) != types::word) return nullptr;
    const kel_value* value = fast_slot(cv.cells + p);
    if (!value || !called_through_table(type_of(value))) return nullptr;
    decode::term* d = decoded_call(c, cv.h, p, *value);
    return d && d->control == 0 && d->declines < quick_call_tries ? d : nullptr;
}

// The code an unwind caught around evaluation carries on as; an error a trap
// waits for goes on as the exception it is.
inline signal_code code_of_unwind(const kel_unwind& u) {
    if (u.code == code_value(signal_code::error) && stack::error_for_trap) throw;
    return static_cast<signal_code>(u.code);
}

// The record of an inline operator (at c.pos, its word op_word) whose right
// operand is an expression of its own, the left operand at entry: the
// operator is decided here and the record starts the operand in its next
// round. True: a record is pushed (or the overflow is in *code).
inline bool push_right_start(code_position& c, kel_value* entry, const kel_value& op, const kel_value& op_word,
                             inline_op kind, int32_t compare, signal_code* code) {
    frame* f = push_expr(&c, entry, false, fr::x_right_start);
    if (!f) [[unlikely]] {
        *code = frames_overflow();
        return true;
    }
    f->v = op;
    f->w = op_word;
    f->i = static_cast<int32_t>(kind);
    f->n = compare;
    ++c.pos;
    stack::regs.top = entry + 1;
    open_operator_mark(&op_word, c.library);
    return true;
}

// The operators after an expression's value (at entry) in the code as cv
// shows it: those whose right operand is a number (or a word holding one)
// are applied here; the first that needs more gets a record (true).
[[gnu::always_inline]] inline bool start_infix(code_position& c, const code_view& cv, kel_value* entry,
                                               signal_code* code) {
    for (const kel_value* op = operator_in(cv, c.pos); op; op = operator_in(cv, c.pos)) {
        int32_t compare = 0;
        const inline_op kind = inline_kind(*op, &compare);
        if (kind != inline_op::none && c.pos + 1 < cv.end) {
            const kel_value* right = number_operand(cv.cells + c.pos + 1);
            if (right) {
                if (apply_inline(kind, compare, entry, right)) {
                    c.pos += 2;
                    continue;
                }
            } else {
                return push_right_start(c, entry, *op, cv.cells[c.pos], kind, compare, code);
            }
        }
        if (!push_expr(&c, entry, false, fr::x_infix)) *code = frames_overflow();
        return true;
    }
    return false;
}

// The field cache's (paths.cpp) and the call-name cache's (interpreter.cpp) hash.
constexpr uint32_t field_cache_bits = 8;
inline uint32_t slot_hash(uint32_t ctx, uint32_t symbol) {
    return (ctx * 0x9E3779B1u ^ symbol * 0x85EBCA77u) >> (32 - field_cache_bits);
}

// Whether rounds may be planned: not while tracing (its events would be
// lost), and not with decoding off, which the random-program driver
// compares against.
inline bool planning() { return decode::enabled && !trace.active; }

}  // namespace kel::interpreter
