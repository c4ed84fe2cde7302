// word: the five word types (word!, set-word!, lit-word!, get-word!,
// refinement!; issue! shares the layout) and the word access compiled code and
// natives use.
//
// A word cell: word 1 the node of the context it is bound to (the global
// context for words made by name, 0 for the unbound refinements made at
// start-up), word 2 its symbol id as written (case kept), word 3 its 0-based
// slot index there (-1: not resolved). A bound word reads and writes its value
// by (context, index), never by searching.
//
// Type tree: word! has parent symbol!; the other four have parent word!.
// Actions: make and to (one handler), form, mold, compare, index? (not
// refinement!); every other slot is unsupported.
//
// Making a word from text needs the lexer's single-value scan: `scan_value`
// points at it once the start-up step "word text scanner" has run.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::word {

// --- making words (bound to the global context) ------------------------------
// The global word for a name (symbol interned exactly; a case variant shares
// the slot of the spelling already there). While recording, the answer is a
// copy kept in the root block. Valid until the next allocation.
kel_value* from_c_string(const char* name);
// The cell becomes a word! of the symbol bound in the global context (added
// with an unset! slot when absent); other header bits kept.
kel_value* init_cell(uint32_t symbol, kel_value* cell);
kel_value* make_at_tail(uint32_t symbol, const kel_value* block);
kel_value* push_from_symbol(uint32_t symbol);
// The word of the symbol in that context (exact), else the global word.
kel_value* lookup_in(uint32_t ctx, uint32_t symbol);

// --- pushing and reading --------------------------------------------------------
kel_value* push(const kel_value* word);
kel_value* word_at(uint32_t ctx, int32_t index);
kel_value* push_word_at(uint32_t ctx, int32_t index);
// Pushes a copy of the word's value; unset! raises script `no-value`.
kel_value* get(const kel_value* word);
// The value cell at index of a context (a context without values raises
// script `not-defined`, as push_value_at does).
kel_value* get_in(uint32_t ctx, int32_t index);
// Pushes a copy of value index (stack or heap context); a context without
// values raises script `not-defined` with the word at that index.
kel_value* push_value_at(uint32_t ctx, int32_t index);
// Stores the last pushed cell into value index (object contexts: the word
// gets the changed mark); answers the slot.
kel_value* set_at(uint32_t ctx, int32_t index);
// As set_at, but first pushes a copy of the current value, leaving
// [new, old] on top for the on-change call that follows.
kel_value* replace_at(uint32_t ctx, int32_t index);
// Argument 1 the word, argument 2 the value: unset! raises script
// `need-value`; else the word is set (with change notification) and the
// value becomes the result.
void set_from_arguments();
kel_value* symbol_cell(const kel_value* word);
// Pushes a string! holding a copy of the word's name (a copy: changing it
// must not rename every word of the symbol).
kel_value* push_name_string(const kel_value* word);

// --- make / to ---------------------------------------------------------------------
// The result of make/to of `spec` for a word type `target` (15-20).
void make_to(kel_value* result, const kel_value* spec, uint32_t target);
// Scans a string value into one value (none! when it holds nothing or more
// than one value); syntax errors are raised by the lexer.
using scan_fn = void (*)(const kel_value* text, kel_value* out);
extern scan_fn scan_value;

// --- handlers ---------------------------------------------------------------------
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);
signal_code make(const refinements& refs);
signal_code index_q(const refinements& refs);

registry::registration row();             // word!
// The hash column of every word type and issue!.
uint32_t hash_of(const kel_value* value, bool case_sensitive);
registry::registration set_word_row();
registry::registration lit_word_row();
registry::registration get_word_row();
registry::registration refinement_row();

}  // namespace kel::word

namespace kel::get_word {
kel_value* push(const kel_value* word);
kel_value* push_word_at(uint32_t ctx, int32_t index);
// Pushes a copy of the word's value, unset! included.
kel_value* get(const kel_value* word);
}  // namespace kel::get_word

namespace kel::refinement {
// Appends to the root block an unbound refinement! (context 0) of the name.
kel_value* from_c_string(const char* name);
kel_value* push(const kel_value* word);
kel_value* push_word_at(uint32_t ctx, int32_t index);
}  // namespace kel::refinement
