// native_api_words: the word access, argument checks, calls with refinements,
// constant paths and the switch core that natives (and any code that works
// the argument stack directly) share. Each operation's effect on the argument
// stack is part of its contract: what it pushes, what stays, where the result
// lands.
//
// Word access goes by the word's own binding (context node, index). The
// checked forms raise the language's errors through `fire`: a set of unset!
// is script `need-value` (the word), a get of an unset word `no-value`, a
// context without values `not-defined` (the word at that index).
#pragma once
#include <cstdint>
#include <initializer_list>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::word_ops {

// The value cell of a word through its binding, or null when it has none (no
// context, an index outside the context, a stack context whose function is
// not running). Never raises; the interpreter's lookahead and type specs use it.
kel_value* value_or_null(const kel_value* word);

// Sets the word (with change notification) to the last pushed value.
void set(kel_value* word);
// set, then the argument top goes back to the arguments base.
void set_reset(kel_value* word);
// Copies the last pushed value into slot `index` of the context (no
// notification).
void set_in(uint32_t ctx, int32_t index);
void set_in_reset(uint32_t ctx, int32_t index);
// Copies the last pushed value into slot `index` without the unset check; in
// an object context the word gets the changed mark; top := base.
void put_in_reset(uint32_t ctx, int32_t index);
// The value cell of the word (nothing pushed).
kel_value* get(const kel_value* word);
// The address of slot `index`.
kel_value* get_in(uint32_t ctx, int32_t index);

}  // namespace kel::word_ops

namespace kel::typecheck {

// The word of argument `number` (1-based, counted over the argument words of
// the spec) of the innermost named call's function, into `out`; "value" when
// that call names no function.
void call_argument_word(int32_t number, kel_value* out);
// Raises script `expect-arg` (the innermost call's name, the value's
// datatype, the argument word) when the value's type is not in the typeset;
// answers the value.
const kel_value* check_arg(const kel_value* typeset, int32_t number, const kel_value* value);
// check_arg on the cell at arguments + index; index -1 checks nothing.
void check_ref_arg(int32_t index, const kel_value* typeset, int32_t number);
// Checks only when the refinement cell's word 1 is not 0.
const kel_value* check_opt_arg(const kel_value* refinement, const kel_value* typeset, int32_t number,
                               const kel_value* value);
// An unset! value raises `expect-arg` (name, unset!, argument word).
const kel_value* check_arg_set(int32_t number, const kel_value* value);

}  // namespace kel::typecheck

namespace kel::compiled {

// The truth of the value (false only for none! and false; no unset check):
// true sets word 1 of the refinement cell at arguments + index to 1; false
// turns the `count` cells after it into none! and leaves the refinement.
void set_refinement(const kel_value* value, int32_t index, int32_t count);

// One refinement of a call: its truth value, its machine argument number
// (1-based), the cell position of its first argument from the arguments base
// and its argument count.
struct refinement_group {
    const kel_value* value;
    int32_t number;
    int32_t position;
    int32_t count;
};
// Calls entry `index` of the native table (native true) or of the generic
// action table with the arguments at the base: a true group's machine
// argument becomes its position, a false group's argument cells become
// none!; a native gets the check flag set (its arguments are checked there).
signal_code call_with_refinements(int32_t index, bool native, std::initializer_list<refinement_group> groups);

// Evaluates a path of constant elements: the head word's value (no unset
// check; a word of a context owned by something other than an object names
// that owner as the first grandparent), then one path step per element. In
// set form the value at the arguments base is assigned by the last step. The
// result goes into the base cell.
signal_code eval_path(bool set, const kel_value* path);

// The switch core: the value at the arguments base, the cases block after
// it. Scans from the head in steps of 1 (push) or 2 cells for the first cell
// of the value's type that compares equal (a block! value never matches). In
// block mode the result is the first block! at or after the cell following
// the match (none! when there is none); otherwise the cell after the match,
// or the match itself when it is the last cell. No match: none!. The result
// is pushed (push) or becomes the base cell.
void switch_select(bool push, bool block_mode);

}  // namespace kel::compiled

namespace kel {
// script `bad-make-arg` (target, value).
[[noreturn]] void fire_bad_make_arg(const kel_value* target, const kel_value* value);
}  // namespace kel
