// actions: dispatch of the 62 generic actions. A datatype module registers
// one handler per action in the flat action table (kernel/registry.h); this
// module owns
//  - the handler lookup by the first argument's datatype (and a port!'s native
//    actor), with the errors of unsupported actions and path steps;
//  - the generic action table: one stack entry per action, called with the
//    arguments at the arguments base and the refinement slots in spec order
//    (action_specs.h numbers them), leaving the result in the base cell. An
//    entry applies the rules shared by every type before it dispatches:
//      append, insert, change: a /part given as a series must lie in the same
//        series as the value inserted (the series changed, for change): script
//        `invalid-refine-arg`; it becomes an integer! count (the difference
//        of the two heads, both first clamped to their tails) in its argument
//        cell, so the handler always reads an integer! there; any /part other
//        than integer! or series raises `invalid-part`. A port! target gets the
//        argument as it was given.
//      copy: /types must be a datatype! or typeset! (`expect-arg`).
//      length?: a handler answer of integer! -1 becomes none!.
//      even?, odd?: an integer! answer (a machine boolean) becomes logic!.
//      form, mold: with /part and a limit of 0 or less the result is an
//        empty string; else a new string! is filled by the handler with the
//        limit (2147483647 without /part) as budget and cut to the limit.
//      pick, poke: handlers take the index through `index_argument`.
//    A control code that reaches a dispatch wrapped in kel_unwind (thrown
//    across C++ that cannot return it), or an error thrown on its way to a
//    try mark, is returned again from there;
//  - the explicit-argument helpers through which datatype code forms, molds,
//    copies, finds in, pokes into, opens and path-steps nested values;
//  - comparison by operator code and the sorting comparison;
//  - the fast paths of compiled code: integer/float arithmetic, integer
//    comparison, block navigation and indexed block access, which fall back to
//    the generic entries inside a native mark named by the caller's word.
//
// These functions are the canonical helpers for the whole runtime: datatype
// modules call form_value, mold_value, copy_value, compare_by_op and
// sort_compare instead of reaching into the table themselves.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::actions {

// --- the generic action table -------------------------------------------------

// Entry of action n at table[n - 1]; entry 7 is the path step, 8 is empty and
// 9 the comparison entry.
extern action_fn table[act::count];
// Fills the table (start-up step, after the datatype registrations).
void build_table();
inline action_fn entry(int action) { return (action >= 1 && action <= act::count) ? table[action - 1] : nullptr; }

// --- handler lookup ---------------------------------------------------------------

// A port! whose actor is a native handle! takes actions 25-62 from the
// actor's table; the port module installs this to answer them. `native_actor`
// false: the port takes its row in the action table like any value.
struct port_lookup {
    bool native_actor;
    action_fn handler;  // null with native_actor: access `no-port-action`
};
using port_actor_fn = port_lookup (*)(const kel_value* port, int action);
extern port_actor_fn port_actor;

// The stack handler of `action` (not form, mold, path step or compare, whose
// slots hold explicit handlers) for `type` (value: the first argument, for a
// port's actor). An empty slot raises script `expect-arg` (the innermost call's name,
// the datatype, the action's first argument word).
action_fn handler_for_type(uint32_t type, const kel_value* value, int action);
action_fn handler_of(const kel_value* value, int action);
action_fn handler_of_first(int action);

// The path-step handler of the value's type. An empty slot raises script
// `bad-path-type2` (element, datatype) without a path, else `bad-path-type`
// (path, datatype, a copy of the path cut before the element at 0-based
// `element_index` from the path's head).
path_fn lookup_handler(const kel_value* value, const kel_value* path, const kel_value* element,
                       int32_t element_index);

// The index of pick and poke as a machine integer: integer! its value, char!
// its code point, logic! 1 for true and 2 for false, anything else 0 (the
// handler then reads the index cell itself).
int32_t index_argument(const kel_value* index);

// --- stack entries -----------------------------------------------------------------

// Entry names: the action's word with `_star` (`and~` -> and_star, `delete`
// -> delete_star, `length?` -> length_q_star).
#define KEL_ACTION_ENTRIES(X) \
    X(make, make_star) X(random, random_star) X(reflect, reflect_star) X(to, to_star) X(form, form_star) \
    X(mold, mold_star) X(absolute, absolute_star) X(add, add_star) X(divide, divide_star) \
    X(multiply, multiply_star) X(negate, negate_star) X(power, power_star) X(remainder, remainder_star) \
    X(round, round_star) X(subtract, subtract_star) X(even_q, even_q_star) X(odd_q, odd_q_star) \
    X(and_, and_star) X(complement, complement_star) X(or_, or_star) X(xor_, xor_star) X(append, append_star) \
    X(at, at_star) X(back, back_star) X(change, change_star) X(clear, clear_star) X(copy, copy_star) \
    X(find, find_star) X(head, head_star) X(head_q, head_q_star) X(index_q, index_q_star) \
    X(insert, insert_star) X(length_q, length_q_star) X(move, move_star) X(next, next_star) X(pick, pick_star) \
    X(poke, poke_star) X(put, put_star) X(remove, remove_star) X(reverse, reverse_star) X(select, select_star) \
    X(sort, sort_star) X(skip, skip_star) X(swap, swap_star) X(tail, tail_star) X(tail_q, tail_q_star) \
    X(take, take_star) X(trim, trim_star) X(create, create_star) X(close, close_star) X(delete_, delete_star) \
    X(modify, modify_star) X(open, open_star) X(open_q, open_q_star) X(query, query_star) X(read, read_star) \
    X(rename, rename_star) X(update, update_star) X(write, write_star)
#define KEL_DECLARE_ENTRY(id, entry) signal_code entry(const refinements& refs);
KEL_ACTION_ENTRIES(KEL_DECLARE_ENTRY)
#undef KEL_DECLARE_ENTRY

// Entry 7: parent and element in arguments 1 and 2; refinement slot 0 set: a
// set step with the value to assign in argument 3. The step's result goes
// into the base cell.
signal_code path_step_star(const refinements& refs);
// Entry 9: arguments value1, value2 and the operator code (integer!); a
// logic! in the base cell (compare_by_op).
signal_code compare_star(const refinements& refs);

// --- explicit-argument helpers ------------------------------------------------------

// Appends the value's form (mold) to the string buffer; `arg` is the /part
// argument or null, `part` the budget. Returns what is left of the budget.
int32_t form_value(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold_value(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
                   int32_t part, int32_t indent);
// The copy action on value into result (which may be the same cell); part and
// types may be null.
void copy_value(const kel_value* value, kel_value* result, const kel_value* part, bool deep, const kel_value* types);

using find_options = kel::find_options;
// The find action; result: the series at the match, or none!.
void find_value(const kel_value* series, const kel_value* value, const find_options& options, kel_value* result);
// The poke action at a 1-based index.
void poke_value(const kel_value* series, int32_t index, const kel_value* value);

struct open_options {
    bool new_ = false;
    bool read = false;
    bool write = false;
    bool seek = false;
    const kel_value* allow = nullptr;
};
// The open action; result: the opened value.
void open_value(const kel_value* value, const open_options& options, kel_value* result);
// One path step (or assignment) through the parent's slot 7; the element's
// index in the path is step.step + 1 for the errors.
signal_code eval_path_value(const path_step_args& step);

// --- comparison -------------------------------------------------------------------

// The compare handler of value1's type under `op`, as a machine boolean: the
// equality codes (0, 2, 9-12) true for 0, not-equal (1) true for anything
// else, 3 <, 4 <=, 5 >, 6 >=, 7 and 8 (the sort orders) true for "sorts
// before". Values that cannot be compared are unequal; under an ordering code
// they raise script `invalid-compare` (value1, value2).
bool compare_by_op(const kel_value* value1, const kel_value* value2, int32_t op);
// compare_by_op on arguments 1 and 2; a logic! in the base cell.
void compare_arguments(int32_t op);
// -1, 0, 1 for sorting and element comparison (or -2 when the handler finds
// the values not comparable): logic! by truth, native!/action!/op! by table
// number, function!/routine! by their more-block node, else the handler.
int32_t sort_compare(const kel_value* value1, const kel_value* value2, int32_t op);

// --- fast paths of compiled code -------------------------------------------------------

// Math operator codes.
namespace math {
enum code : int32_t { add = 0, subtract = 1, multiply = 2, divide = 3, remainder = 4, or_ = 5, and_ = 6, xor_ = 7 };
}
// Two integer! operands: 32-bit arithmetic, add/subtract/multiply overflowing
// into a float! computed in double precision; two float! operands under add,
// subtract, multiply: the float! result; else the generic action in a native
// mark named by `word`. The plain forms push the result; the -last forms take
// the first operand from the last pushed cell and write the result over it;
// the -int forms take the second operand as a machine integer.
signal_code math_op(const kel_value* word, int32_t code, const kel_value* value1, const kel_value* value2);
signal_code math_op_int(const kel_value* word, int32_t code, const kel_value* value1, int32_t value2);
signal_code math_op_last(const kel_value* word, int32_t code, const kel_value* value2);
signal_code math_op_last_int(const kel_value* word, int32_t code, int32_t value2);

// Two integer! operands are compared inline, anything else through
// compare_arguments in a native mark named by `word`. compare_op pushes a
// logic!, compare_last replaces the last pushed cell (the first operand) by
// it; compare_test answers a machine boolean (inverted by `negate`) and
// leaves nothing; compare_test_set also stores it as logic! in the base cell.
void compare_op(const kel_value* word, int32_t code, const kel_value* value1, const kel_value* value2);
void compare_op_int(const kel_value* word, int32_t code, const kel_value* value1, int32_t value2);
void compare_last(const kel_value* word, int32_t code, const kel_value* value2);
void compare_last_int(const kel_value* word, int32_t code, int32_t value2);
bool compare_test(const kel_value* word, int32_t code, const kel_value* value1, const kel_value* value2, bool negate);
bool compare_test_int(const kel_value* word, int32_t code, const kel_value* value1, int32_t value2, bool negate);
bool compare_test_set(const kel_value* word, int32_t code, const kel_value* value1, const kel_value* value2,
                      bool negate);

// Block navigation codes.
namespace nav {
enum code : int32_t { length_q = 1, index_q, head_q, tail_q, next, back, head, tail };
}
// Pushes the result of the navigation on a block! inline (next stays at the
// tail, back at the head); other types through the generic entry.
signal_code series_nav(const kel_value* word, int32_t code, const kel_value* value);
// Pushes the element of a block! at a 1-based index (pick rules: none!
// outside); any other pair through the path step.
signal_code path_pick(const kel_value* word, const kel_value* series, int32_t index);

}  // namespace kel::actions

namespace kel::stats {
// Memory in use. Level 1 or more answers the bytes in use (4 per used node,
// the used bytes of every series frame, the size of every big frame); level 2
// or more also appends three blocks to `block`: [free used total] per node
// frame (in nodes), [free used total] per series frame (in bytes), and the big
// frames' sizes. Below 1: 0, nothing appended.
double memory(kel_value* block, int32_t level);
}  // namespace kel::stats
