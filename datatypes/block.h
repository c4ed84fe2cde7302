// block: the internal API through which the runtime, the evaluator, the
// loader and compiled code read, build and change blocks without the generic
// actions. A block value is a series cell (head index, node) over a buffer of
// 16-byte cells; paren!, the path types and hash! share the view. ks- names
// are the unchecked low-level variants. Positions are cell addresses inside
// the buffer, valid only until the buffer next grows.
//
// hash! upkeep (keeping a hash table in step with inserted and removed cells)
// belongs to the hash module; without it a hash! is kept as a plain block.
//
// The block! row and its actions are in block_actions.
//
// Every writer of a block's cells (an action, a native, a C++ routine that
// stores into cells it did not just make, bind and unbind, a path step that
// sets an element, hash! upkeep) calls block::modified on the block once per
// change, before or after: it bumps the buffer's modification stamp, and the
// evaluator drops what it decoded from the block. Appending to a block no
// code has run yet costs the same one increment.
#pragma once
#include <cstdint>

#include "kernel/collector.h"
#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "kernel/value.h"

namespace kel::block {

// The collector's root block: blocks made without a parent go into it.
inline kel_value* root() { return collector::root_block(); }

// --- reading -------------------------------------------------------------------
// Cells from the head to the tail; negative when the head lies past the tail.
int32_t ks_length_q(const kel_value* block);
// The head cell; a head past the tail is first moved to the tail (written back).
kel_value* ks_head(kel_value* block);
kel_value* ks_tail(const kel_value* block);
bool ks_tail_q(const kel_value* block);
// The cell at an absolute 0-based index (head ignored, no bound check).
kel_value* ks_abs_at(const kel_value* block, int32_t index);
// Advances the head by one when that stays within the buffer; answers true
// when the head then equals the tail.
bool ks_step(kel_value* block);
// The cell after the first cell from the head that the key's compare handler
// finds equal under the find equality; the shared none! cell when absent or last.
const kel_value* ks_value_after(const kel_value* key, kel_value* block);

// --- changing ------------------------------------------------------------------
// The one call every block writer makes (see the module comment).
inline void modified(const kel_value* block) { memory::touch(memory::buffer_of(series_node(block))); }
inline void modified_node(uint32_t node) { memory::touch(memory::buffer_of(node)); }
void ks_cut_at(const kel_value* block, int32_t index);
void ks_cut(const kel_value* block);
// Appends a copy of value (which may lie in the same buffer); returns the new cell.
kel_value* ks_add_grow(const kel_value* block, const kel_value* value);
inline kel_value* ks_add(const kel_value* block, const kel_value* value) {
    memory::buffer_header* h = memory::buffer_of(series_node(block));
    if (h->tail + 16u <= h->capacity) [[likely]] {
        auto* c = reinterpret_cast<kel_value*>(h->data() + h->tail);
        h->tail += 16;
        memory::touch(h);
        *c = *value;
        return c;
    }
    return ks_add_grow(block, value);
}
const kel_value* ks_add_all(const kel_value* target, const kel_value* source);
// Inserts a copy of value at the head (or at the buffer start with
// from_start); with advance the head moves past the new cell.
void ks_insert_cell(kel_value* block, const kel_value* value, bool advance, bool from_start);
void ks_insert_all(kel_value* target, const kel_value* source);
// Inserts count cells at the head with one move of the cells behind it; the
// head moves past them. The cells must not lie in the block's own buffer.
void ks_insert_cells(kel_value* block, const kel_value* values, int32_t count);
// Removes the first cell (from the head, or from the buffer start) that the
// value's compare handler finds equal under the find equality. Answers 0 when
// none matched, 1 when the removed cell's index was at most the head, else 0.
int ks_remove_first(const kel_value* block, const kel_value* value, bool from_start);
// Stack forms: argument 2 appended to the block in argument 1 (result: the
// block); the base cell appended to / inserted into the block just below it.
kel_value* append_second();
kel_value* append_last();
kel_value* insert_last();

// --- making --------------------------------------------------------------------
// The cell becomes an empty block! with room for count cells (negative: 1).
kel_value* init_cell(kel_value* cell, int32_t count);
// As init_cell; raw: the buffer comes from the heap and never moves, else
// every cell of the capacity is preset to unset!.
kel_value* allocate_at(kel_value* cell, int32_t count, bool raw);
// A new empty block at the tail of parent (the root block when null).
kel_value* make_at_tail(const kel_value* parent, int32_t count);
kel_value* make_fixed_in(const kel_value* parent, int32_t count);
// Pushes a copy of a series value on the argument stack.
kel_value* push(const kel_value* value);
// Pushes a new empty block with room for count cells (0 gives 1).
kel_value* push_only_star(int32_t count);
// Pushes a copy of the cells from the head; with deep, nested block! values
// (and with any, paren! and the path types) are copied too.
kel_value* duplicate(const kel_value* block, bool deep, bool any);

// --- workers of the block-like types ------------------------------------------
// Molds the cells from the head, separated by spaces or new lines; the brackets
// are the caller's. Returns the remaining part budget.
int32_t mold_cells(const kel_value* block, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
                   int32_t part, int32_t indent);
// Compares two runs of cells: -1, 0 or 1.
int32_t compare_cells(const kel_value* a, const kel_value* b, int32_t op);

}  // namespace kel::block
