// issue: the issue! datatype (id 20, parent word!). An issue is a word kind
// that is never evaluated for a value: only its symbol matters. The cell is
// the word layout with the global context in word 1, the symbol in word 2 and
// index -1 in word 3. It molds as "#" and its name, forms as the name, and
// compares only with issues (by symbol, as words do).
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::issue {

// The cell becomes an issue! of the UTF-8 name (interned exactly).
kel_value* init_cell(kel_value* cell, const char* name);
// A new issue! at the block's tail.
kel_value* make_at_tail(const char* name, const kel_value* block);
// While recording, appended to the root block; else pushed on the argument stack.
kel_value* from_c_string(const char* name);
// Pushes a copy of a word as an issue!.
kel_value* push(const kel_value* word);

// make and to: string! (from its head) and char! by their text, the word
// types by retyping the cell, anything else through word!'s make.
void make_to(kel_value* result, const kel_value* spec);
signal_code make(const refinements& refs);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

registry::registration row();

}  // namespace kel::issue
