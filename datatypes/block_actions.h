// block_actions: the block! datatype (id 5, parent series!): its row of action
// handlers and the workers behind them: make and to, form and mold, compare,
// path steps, find and select, put, sort, append/insert/change, take, swap,
// trim, copy, and the set operations on block-like series. paren!, the path
// types and hash! inherit most of this row.
//
// Every worker takes explicit arguments (an absent refinement is a null
// pointer or false) and changes the series cell it is given in place: its
// head is the action's answer. The stack handlers of the row read the
// argument stack, call the worker, and leave the answer in the base cell.
//
// Rules kept throughout: cell addresses are re-read from the node after any
// call that may allocate (the buffer may have moved); a value inserted into
// its own buffer is copied out first; every change is announced to the
// buffer's owner before and after (ownership::check); user errors go through
// `fire`. Seams left for modules not written yet are marked "seam:".
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::block {

// --- make, to, form, mold, compare, path step -----------------------------------
// make block! from a size (integer!/float!) or a block-like spec.
void make(kel_value* result, const kel_value* spec, uint32_t type);
// to block!: block-like values are copied shallowly, typesets list their
// datatypes, a string! is loaded as source text, any other value is wrapped
// in a one-cell block.
void to(kel_value* result, const kel_value* spec, uint32_t type);
// Loads source text (a string! value) into a new block in `out`: the lexer's
// whole-text load, installed by the start-up step "block text loader".
extern void (*load_text)(kel_value* out, const kel_value* text);
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);
// One path step on a block: get (value null) or set. `case_` selects exact
// matching of word and key elements.
void eval_path(kel_value* parent, const kel_value* element, const kel_value* value, const kel_value* path,
               bool case_, kel_value* result);

// --- searching ------------------------------------------------------------------
using find_refinements = kel::find_options;
// The series at the match (or after it with /tail) in result; none! when
// nothing matches. Answers whether something matched.
bool find(const kel_value* series, const kel_value* value, const find_refinements& r, kel_value* result);
// The cell after the matched part, or none!. /tail and /match are ignored.
bool select(const kel_value* series, const kel_value* value, const find_refinements& r, kel_value* result);
// Sets the cell after `key` to `value` (appending key and value when the key
// is absent).
void put(kel_value* series, const kel_value* key, const kel_value* value, bool case_);

// --- sorting --------------------------------------------------------------------
struct sort_refinements {
    bool case_ = false;
    const kel_value* skip = nullptr;
    const kel_value* compare = nullptr;  // function! or integer! offset
    const kel_value* part = nullptr;
    bool all = false;
    bool reverse = false;
    bool stable = false;
};
// Sorts in place from the head; a negative /part moves the series' head back.
void sort(kel_value* series, const sort_refinements& r);

// seam: the function comparator of sort/compare. It calls `function` with the
// two arguments in the order given (inside a frame named <compare-callback>)
// and leaves the function's answer in *answer; it may throw kel_unwind (an
// error, or a control code wrapped for the trip back to the native dispatch).
// The evaluator installs it; while it is null a function! comparator raises
// internal `not-done`.
using call_compare_fn = void (*)(const kel_value* function, const kel_value* first, const kel_value* second,
                                 kel_value* answer);
extern call_compare_fn call_compare;

// The comparator's answer mapped to an order: logic! true 1, false -1;
// integer! its sign; float! its sign; none! -1; anything else 1.
int32_t compare_answer(const kel_value* answer);

// --- changing -------------------------------------------------------------------
// append (at the tail; the series' head becomes 0) or insert (at the head; the
// head moves after the new cells). `part` is a cell count of the value or -1;
// `dup` repeats the inserted run (below 1: nothing happens).
void insert(kel_value* series, const kel_value* value, int32_t part, bool only, int32_t dup, bool append);
// The same for one value that is not spliced (not a block-like value, no
// refinements): the most common change of all, without the general bookkeeping.
void insert_one(kel_value* series, const kel_value* value, bool append);
// Replaces `part` cells at the head (or as many as are inserted, without a
// part: -1) by the value's cells repeated `dup` times; the head moves after them.
void change(kel_value* series, const kel_value* value, int32_t part, bool only, int32_t dup);
// The series! take; with deep, the series values taken are replaced by deep
// copies.
void take(kel_value* series, const kel_value* part, bool deep, bool last, kel_value* result);
void swap(const kel_value* series1, const kel_value* series2);
// Removes every none! cell from the head on.
void trim(const kel_value* series);
// The series! copy; with deep, nested series are copied too (internal
// `no-cycle` when a block holds itself); with types (a typeset! or a
// datatype!) only the selected cells are copied.
void copy(const kel_value* series, kel_value* result, const kel_value* part, bool deep, const kel_value* types);

// --- set operations -----------------------------------------------------------------
namespace set_op {
enum code : int32_t { unique = 8, union_ = 9, intersect = 10, exclude = 11, difference = 12 };
}
// unique, union, intersect, exclude or difference of the series at the
// arguments base and the cell after it (records of `skip` cells, the first
// cell of each compared). The result replaces the first argument; returns it.
kel_value* set_operation(int32_t op, bool case_, const kel_value* skip);

// The block! row.
registry::registration row();

}  // namespace kel::block
