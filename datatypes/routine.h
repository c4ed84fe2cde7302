// routine: the routine! datatype (id 29, parent function!): a function whose
// body is a C++ function of the routine table (evaluator/routines.h), called
// with machine arguments converted from the argument cells by their declared
// types, or (the cell-passing convention) with the addresses of the cells.
//
// The cell: header 29, bit 15 (0x8000) for the cell-passing convention, bits
// 25-29 the arity (the word! cells at the top level of the spec, at most 31);
// word 1 a context made from the spec (function kind, values on the stack),
// word 2 the spec node as given (not copied), word 3 a five-cell auxiliary
// block laid out as function!'s: 0 the body value as given (or none), 1 the
// argument cache, 2 integer! the routine table number, 3 the routine when an
// op! was made from it, 4 integer! the declared return type id (4 logic!,
// 11 integer!, 12 float!) or -1 when the routine answers nothing.
// A routine cannot be made at run time: the runtime and the library bind
// them from the table. `make routine! 'name` names a table entry; it works
// only while the library is being booted (the hook below answers false
// after), and raises internal `routines` otherwise.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::routine {

constexpr uint32_t flag_cells = 0x8000u;
constexpr uint32_t arity_shift = 25;
constexpr uint32_t arity_mask = 0x1Fu << arity_shift;

// Pushes a new routine! (spec, body or null, table number, return type id or
// -1, cell-passing flag) and answers the pushed cell.
kel_value* push(const kel_value* spec, const kel_value* body, int32_t number, int32_t return_type, bool cells);
// Counts the word! cells of the spec into header bits 25-29 (31 at most).
void set_arity(kel_value* routine);
inline int32_t get_arity(const kel_value* routine) {
    return static_cast<int32_t>((routine->header & arity_mask) >> arity_shift);
}

// Installed by the library: writes the routine! of the table entry `name`
// (a word or string) into `out` and answers true, or answers false.
extern bool (*bind_by_name)(const kel_value* name, kel_value* out);

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);

registry::registration row();

}  // namespace kel::routine
