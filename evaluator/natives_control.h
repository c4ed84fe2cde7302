// natives_control: the control natives: conditionals (if, unless, either,
// any, all, switch, case), loops (while, until, loop, repeat, forever,
// foreach, forall, remove-each), the function makers (func, function, does,
// has) and the evaluation natives (do, reduce, compose).
//
// Every native follows the native convention: its arguments at the arguments
// base (argument N at base + N - 1), one refinement slot per refinement (-1
// when unused, else the cell offset of its first argument from the base), a
// check flag set when the caller has not checked the argument types, and the
// result left in the base cell. A control code coming out of an evaluation is
// returned at once; the signal has already unwound the call marks.
//
// Loops open a loop mark named `<body>` above their arguments and keep their
// iteration state (cursor, counter, initial series) in argument cells or in
// cells pushed below that mark, so nested and recursive loops need no other
// storage. A loop receives break (leave, the break value as the result) and
// continue (next round) at its own mark; any other code goes on up. A loop
// ends by closing its mark with the mark's base cell copied into the
// native's base cell, so a `break/return` value is the loop's result
// (`while` excepted: always unset!).
//
// Truth: `if`, `unless`, `any` and `all` count unset! as true; `either`,
// `while`, `until` and `case` raise script `no-return` on unset!.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::natives {

signal_code if_star(bool check, const refinements& refs);
signal_code unless_star(bool check, const refinements& refs);
signal_code either_star(bool check, const refinements& refs);
signal_code any_star(bool check, const refinements& refs);
signal_code all_star(bool check, const refinements& refs);
signal_code while_star(bool check, const refinements& refs);
signal_code until_star(bool check, const refinements& refs);
signal_code loop_star(bool check, const refinements& refs);
signal_code repeat_star(bool check, const refinements& refs);
signal_code forever_star(bool check, const refinements& refs);
signal_code foreach_star(bool check, const refinements& refs);
signal_code forall_star(bool check, const refinements& refs);
signal_code remove_each_star(bool check, const refinements& refs);
signal_code func_star(bool check, const refinements& refs);
signal_code function_star(bool check, const refinements& refs);
signal_code does_star(bool check, const refinements& refs);
signal_code has_star(bool check, const refinements& refs);
signal_code switch_star(bool check, const refinements& refs);
// The block switch runs for the value among the cases (none when no case
// matched or no block follows the matching one); *matched tells whether a
// case matched (the /default case runs only when none did).
kel_value switch_branch(const kel_value* value, const kel_value* cases, bool* matched);
signal_code case_star(bool check, const refinements& refs);
signal_code do_star(bool check, const refinements& refs);
signal_code reduce_star(bool check, const refinements& refs);
signal_code compose_star(bool check, const refinements& refs);

// --- loop helpers ---------------------------------------------------------------

// True while the series' position is before its tail (block-like, string-like
// and binary! read their buffer; other series ask `tail?`).
bool series_not_tail_q(const kel_value* series);
// One foreach step over a non-map series with one word: the word takes the
// value at the cursor (the cell itself for block-like series, else what
// `pick` at 1 gives) and the cursor advances by one.
signal_code foreach_step(const kel_value* word, kel_value* cursor);
// One step with a block of words: each word in turn takes the next value
// (none! past the tail) and the cursor advances by the number of words; map!
// and image! go through their own steppers (below).
signal_code foreach_step_words(const kel_value* words, kel_value* cursor);
// foreach's checks before its first round (words is its word or block of
// words, cursor its series): a block of words must be non-empty words, two
// for a map!, which takes no single word; *count is the number of words.
signal_code foreach_setup(const kel_value* words, const kel_value* cursor, int32_t* count);
// One round's setting of the words from the cursor, which advances: false
// when nothing was left (no round) or with a code in *code.
bool foreach_round(const kel_value* words, kel_value* cursor, int32_t count, signal_code* code);
// repeat's end: its word gets the last counter value back when the body
// left another there (a change handler hears each round's set once).
void repeat_done(const kel_value* word, const kel_value* counter);

// forall after a round: the word must still hold the series it started with
// (else script `bad-loop-series` with its value), whose position advances
// by one in place. forall_restore: the word takes the initial series again.
void forall_step(const kel_value* word, const kel_value* initial);
void forall_restore(const kel_value* word, const kel_value* initial);
// remove-each after a round whose value was true: the cursor steps back by
// `step` and that many values are removed there (fewer at the tail).
signal_code remove_each_drop(kel_value* cursor, int32_t step);

// The steppers the map! and image! modules provide: set the words of the
// block to the next entries from the cursor, advance it, and answer false
// when no entry was left (no round then). A stepper no module installed is
// null, and a foreach over such a value raises internal `not-done`.
struct foreach_steppers {
    bool (*map_next)(const kel_value* words, kel_value* cursor, int32_t count) = nullptr;
    bool (*image_next)(const kel_value* words, kel_value* cursor, int32_t count) = nullptr;
};
extern foreach_steppers steppers;

// `do` of a string!: loads the text into a new block in *out. The lexer
// installs its loader; until then the spec reader of the native table reads
// the text.
using load_text_fn = void (*)(const kel_value* text, kel_value* out);
extern load_text_fn load_text;

}  // namespace kel::natives
