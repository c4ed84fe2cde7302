// native: the native! (id 21), action! (id 22, parent native!) and op! (id
// 23, parent native!) datatypes: the language's handles on the two numbered
// tables of built-in routines, and infix operators.
//
// native! and action! cell: word 1 the 1-based table number (native table or
// generic action table; values order by it where entry points were compared),
// word 2 the spec block's node, word 3 the node of a two-cell block: cell 0 a
// context! cell made from the spec, cell 1 the argument cache (none until the
// first call).
// op! cell: words 1-3 copied from the wrapped native!, action!, function! or
// routine!, header bits 16-23 the wrapped type, every other header bit 0. An
// op! of a function! or routine! also stores the wrapped value in cell 3 of
// its auxiliary block.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::native {

// make native! / make action! fill a value from the evaluator's native table
// (or the generic action table): the start-up step "native maker" installs
// the table's size and its value maker.
struct table_maker {
    int32_t native_count = 0;
    void (*make_value)(uint32_t type, const kel_value* spec, int32_t number, kel_value* out) = nullptr;
};
extern table_maker maker;


constexpr uint32_t wrapped_shift = 16;
inline uint32_t wrapped_type(const kel_value* op) { return (op->header >> wrapped_shift) & 0xFFu; }
// The header of the op! of a value of type `wrapped`.
inline uint32_t op_header(uint32_t wrapped) { return types::op | (wrapped << wrapped_shift); }

// The two spec arguments of op! make: answers true when the spec describes
// exactly two arguments, the first a plain word!.
bool op_spec_q(const kel_value* spec);
// The op! of a native!, action!, function! or routine! (script
// `invalid-type` for another type, `bad-op-spec` for another spec shape).
void make_op(const kel_value* value, kel_value* result);

// Handlers (shared by the three rows where the registration says so).
signal_code make(const refinements& refs);
signal_code reflect(const refinements& refs);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

registry::registration native_row();
registry::registration action_row();
registry::registration op_row();

}  // namespace kel::native
