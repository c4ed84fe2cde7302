// context: the places words are bound to, and the context! datatype (id 14,
// no actions).
//
// A context maps words to value slots. Every binding lives in one: the global
// context (every word the runtime, the boot and scripts make at top level),
// the context of each function (arguments, refinements, locals) and of each
// object (its fields). A context is reached through its node, a two-cell
// block:
//   cell 0, the context! cell: header 14 with the kind in bits 11-12 (0
//           global, 1 function, 2 object), bit 22 for a stack context (values
//           on the argument stack) and bit 24 when a `self` word refers back;
//           word 1 the word table (a kind-2 hash table whose indexed block is
//           the words block); word 2 the values: a heap context's values
//           block node, or for a stack context the cell offset of its first
//           value from the argument stack's bottom, plus 1 (0 while its
//           function is not running);
//   cell 1, the owner (function!, routine! or object!), unset! otherwise.
// The words block holds one word! cell per word in order of addition (word 1
// the context node, word 2 the symbol as added, word 3 its position); value i
// is cell i of the values, so words index = values index. Words are only ever
// added, never removed; a stack context never gets new words (its function's
// frame has a fixed size). Lookups go by canonical symbol, so they can ignore
// letter case; a bound word never searches (it holds its index). An error
// borrows its template's word table (`flag_shared_words`) until the first
// change or word cell handed out gives it its own.
//
// Contexts are passed as node ids: a node never moves, cell addresses do.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "kernel/value.h"

namespace kel::_context {

constexpr uint32_t kind_global = 0;
constexpr uint32_t kind_function = 1;
constexpr uint32_t kind_object = 2;
constexpr uint32_t kind_shift = 11;
constexpr uint32_t kind_mask = 0x1800u;
constexpr uint32_t flag_self = 0x1000000u;
// context! cell: the word table (and words block) is another context's, lent
// to this one (every error shares its template's); `own_words` gives the
// context its own copy before anything changes or hands out a word cell.
constexpr uint32_t flag_shared_words = 0x4000000u;
constexpr int32_t global_size = 4000;

// Start-up: the global context (4,000 words, kind global, heap values), and
// the call marks' access to stack contexts.
void init_global();
uint32_t global();

// --- the node ------------------------------------------------------------------
kel_value* cell(uint32_t ctx);   // the context! cell
kel_value* owner(uint32_t ctx);  // cell 1
inline uint32_t kind_of(const kel_value* c) { return (c->header & kind_mask) >> kind_shift; }
bool stack_q(uint32_t ctx);
uint32_t word_table(uint32_t ctx);
uint32_t words_node(uint32_t ctx);
// Words in the context.
int32_t length(uint32_t ctx);
// The first value cell, or null (a stack context whose function is not running).
kel_value* values(uint32_t ctx);

// --- making ---------------------------------------------------------------------
// A new context for `size` words (0 taken as 1); with a prototype context, its
// word table and words block are copied (the words still name the prototype
// until rebound). A heap context gets an empty values block with room for
// `size` cells.
uint32_t allocate(int32_t size, bool stack, bool self, uint32_t prototype, uint32_t kind);
// A context sized by the spec block's length holding every word!, get-word!,
// lit-word! and refinement! of it once (by canonical symbol); a heap context
// gets one unset! value per word.
uint32_t make_from_spec(const kel_value* spec, bool stack, bool self, uint32_t kind);
// Gives an object or function value a new context with the same words and
// flags (the given kind): words rebound to it, values unset!, the value's
// word 1 set to it. Answers the new node.
uint32_t fresh_copy(kel_value* value, uint32_t kind);
// A copy of a heap context as it stands: the same words (rebound to the
// copy), flags and kind, and its values copied cell for cell (nothing deep
// copied, nothing rebound); the owner cell unset!. Answers the new node.
uint32_t copy_as_is(uint32_t source);
// A context whose node reuses the word table of `source` (left unchanged:
// the lender never grows or marks it again), with its own values block.
// Lookups and lengths read the shared table; `own_words` runs before the
// first added word, changed mark or word cell handed out.
uint32_t share_words(uint32_t source, uint32_t values_block);
// Gives a context that borrows its word table a copy of its own (words
// rebound to it, changed marks as they were); does nothing otherwise. No
// collection runs inside, so cell addresses a caller holds stay valid.
void own_words(uint32_t ctx);

// --- lookup and adding ----------------------------------------------------------------
// 0-based index, or -1. resolve: by canonical symbol; else the exact symbol.
int32_t index_of(uint32_t ctx, uint32_t symbol, bool resolve);
// The index when present (also in *out); else adds a word cell (no value
// slot), writes its index to *out and answers -1.
int32_t index_or_add(uint32_t ctx, uint32_t symbol, bool resolve, int32_t* out);
// The index of the word's symbol (resolve), added when absent; a new word of
// a heap context gets an unset! value slot.
int32_t index_or_add_word(uint32_t ctx, const kel_value* word);
// Stores the value in the word's slot, adding the word when absent (never to
// a stack context); answers the slot. No slot: script `not-defined`.
kel_value* put(uint32_t ctx, const kel_value* word, const kel_value* value);
// When the word's symbol is absent: adds it with the value and answers the
// slot; when present: null, nothing changes.
kel_value* add_if_absent(uint32_t ctx, const kel_value* word, const kel_value* value);
// The value of a symbol present in the context (a stack context answers from
// the global context); null when absent.
kel_value* symbol_value(uint32_t symbol, uint32_t ctx);
// The global word of a symbol, added (with a new unset! slot) when neither it
// nor a case variant of it is there. A case variant of a word already there
// shares that word's slot and never gets one of its own: with copy_variant
// the answer is a copy carrying the requested symbol, appended to the root
// block; without, the existing word. The answer is valid until the next
// allocation.
kel_value* global_word(uint32_t symbol, bool resolve, bool copy_variant);
// global_word (exact, copy_variant); while recording, a copy kept in the root
// block is answered instead.
kel_value* intern_global(uint32_t symbol);

// --- get and set ----------------------------------------------------------------------
// Stores `value` in the word's slot of `ctx`. A word with index -1 is looked up
// exactly and, when absent, added (its index is written into the word); a
// stack context never gets new words (script `not-defined`), and the self
// word that stands for its owner (see self_owner) is never set (script
// `protected`). A context of 0
// or without values raises script `not-defined`. In an object context the
// word at that index gets the changed mark; with `notify`, an owner whose
// on-set record exists is told through `object::call_on_change` after the
// value is in place, with a copy of the old value. Answers the slot.
kel_value* set_in(kel_value* word, const kel_value* value, uint32_t ctx, bool notify);
kel_value* set_bound(kel_value* word, const kel_value* value);
// The word's value cell in `ctx`. Index -1: the owner of the word's own
// context when the word is exactly `self`, else script `no-value`; a context
// of 0 or without values: script `not-in-context`.
kel_value* get_in(const kel_value* word, uint32_t ctx);
kel_value* get_bound(const kel_value* word);
// The word's value cell in its own context, or null when the word is unbound
// or its index lies outside the context's values (no error).
kel_value* bound_slot(const kel_value* word);
// The owner that an unresolved `self` word (index -1) of a context stands
// for, or null for any other word.
kel_value* self_owner(const kel_value* word);

// --- binding --------------------------------------------------------------------------
// When the context holds the word's symbol: binds the word to it; answers the
// index or -1 (word unchanged).
int32_t bind_one(uint32_t ctx, kel_value* word);
// Binds every word of the block deeply (nested blocks, parens, hash! and
// paths; each series once, through the cycle guard). With self, a word!
// spelled exactly `self` is bound to the context with index -1.
const kel_value* bind_block(const kel_value* block, uint32_t ctx, bool self);
// Adds every set-word! from the block's head (the head clamped to the tail
// and written back); answers true when the context grew.
bool collect_set_words(uint32_t ctx, kel_value* block);

registry::registration row();

}  // namespace kel::_context

namespace kel::context_ops {
// The word cell at an index of the words block (valid until the next
// allocation). A context borrowing its word table gets its own copy first.
kel_value* word_at(uint32_t ctx, int32_t index);
memory::buffer_header* words_buffer(uint32_t ctx);
}  // namespace kel::context_ops

namespace kel::object {
// Tells an object that one of its fields changed: (owner object, the word
// set, a copy of the old value, the new value). The objects module completes
// it (running the owner's on-change* handler); until then it does nothing.
// It is a variable so that module (and tests) can install the real call.
using on_change_fn = void (*)(const kel_value* owner, const kel_value* word, const kel_value* old_value,
                              const kel_value* new_value);
extern on_change_fn call_on_change;
}  // namespace kel::object
