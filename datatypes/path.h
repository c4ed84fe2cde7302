// path: the four path types, path! (id 25, parent block!) and its children
// lit-path! (26), set-path! (27) and get-path! (28). A path value is a block
// in every respect but its type id: the same series cell over a buffer of
// cells, the same block workers behind search, change and copy. What is its
// own is how a path is made, converted and written: elements joined by "/",
// with a leading "'" (lit-path!), a leading ":" (get-path!) or a trailing ":"
// (set-path!) when molded, and never a prefix or suffix when formed.
//
// Evaluating a path (selecting and setting through it) is the interpreter's;
// this module only provides the datatypes. Paths cannot be sorted, trimmed or
// shuffled; their rows leave those slots empty.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::path {

// --- constructors -------------------------------------------------------------------
// The cell becomes an empty path! with room for `count` cells (a count below
// 1 gives room for one). Returns the cell.
kel_value* init_cell(kel_value* cell, int32_t count);
// The same for any of the four path types (`type` 25-28); the lexer builds
// paths this way and then appends the elements with block::ks_add.
kel_value* make_at(kel_value* cell, uint32_t type, int32_t count);
// Turns the block-like value in `cell` into a path!: its whole header becomes
// the path! type alone (the new-line marker and every flag cleared), and a
// copy is pushed on the argument stack. Returns the pushed cell.
kel_value* push(kel_value* cell);

// --- handlers -----------------------------------------------------------------------
// make: integer!, float! or percent! gives an empty path with room for that
// many cells (truncated toward zero; 0 and below give 1); a block-like spec
// a shallow copy of its cells from the head; anything else script
// `bad-make-arg`. The result has the requested type.
void make(kel_value* result, const kel_value* spec, uint32_t type);
// to: an object!, typeset! or map! becomes the one element of a new path;
// anything else converts as `to block!` does. The result has the requested type.
void to(kel_value* result, const kel_value* spec, uint32_t type);
// form: the formed elements joined by "/"; mold: the molded elements joined
// by "/" with the prefix or suffix of the value's path type. Both return the
// budget left.
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);

registry::registration row();  // path!
registry::registration lit_path_row();
registry::registration set_path_row();
registry::registration get_path_row();

}  // namespace kel::path
