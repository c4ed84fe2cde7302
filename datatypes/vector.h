// vector: the vector! datatype (id 35, parent string!), a packed series of
// numbers or characters of one element type and one width, for bulk numeric
// work and the compact arrays of drawing and rich text.
//
// The cell: word 1 the head index in elements, word 2 the element buffer's
// node, word 3 the element type id (char!, integer!, float! or percent!). The
// buffer's unit size is the element width: 1, 2 or 4 bytes for char! and
// integer! elements, 4 or 8 for float!, always 8 for percent! (the fraction:
// 50% is 0.5). Integer and char elements keep their low bits; integers read
// back sign-extended, chars unsigned (the code point the low bits hold, as
// sort and find read them); float elements are IEEE single or double
// precision.
//
// Two layouts: char! and integer! values are stored as integers, float! and
// percent! values as floats. A value of the other layout is refused with
// `invalid-arg` (a float in an integer vector has no defined encoding), a
// value of any other type with `invalid-type`. The element code below is the
// only one: the series routines (pick, poke, find, select, foreach, take)
// read and write vector elements through it.
//
// Navigation, copying, searching and sorting are string!'s and series!'s
// handlers working on the unit size; this module owns making, molding,
// comparing, arithmetic and the changing actions.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::vector {

// The default element width in bytes of an element type (4 for char! and
// integer!, 8 for float! and percent!).
uint32_t default_width(uint32_t element_type);
// True for the element types that use the float layout.
inline bool float_layout_q(uint32_t element_type) {
    return element_type == types::float_ || element_type == types::percent;
}

// --- the cell -----------------------------------------------------------------
// An empty vector with room for `count` elements (at least one); a byte size
// that does not fit 32 bits, or cannot be allocated, raises internal
// `no-memory`.
void init_cell(kel_value* cell, int64_t count, uint32_t element_type, uint32_t width);
// Elements from the head to the tail (0 when the head lies past the tail).
int32_t ks_length_q(const kel_value* vector);
// Drops the elements from the head to the tail.
void ks_clear(const kel_value* vector);

// --- elements -----------------------------------------------------------------
int32_t get_int_element(const char* address, uint32_t width);
// A char element is a code point: its low bits read back unsigned, since a
// sign-extended 8- or 16-bit unit would be no character at all.
uint32_t get_char_element(const char* address, uint32_t width);
double get_float_element(const char* address, uint32_t width);
// The element at the address as a value of the element type.
void element_at(const kel_value* vector, const char* address, kel_value* out);
// Pushes it on the argument stack.
kel_value* push_element(const kel_value* vector, const char* address);
// Stores a char!, integer!, float! or percent! value at the address by the
// value's own layout (low bits of an integer, float32 or float64); any other
// type raises script `invalid-type` with its datatype.
void set_element(char* address, const kel_value* value, uint32_t width);
// Raises what storing the value into this vector would raise: `invalid-type`
// for a type that is no element, `invalid-arg` for the other layout.
void check_storable(const kel_value* vector, const kel_value* value);

// --- building -----------------------------------------------------------------
// Appends one 32-bit element; answers its address (valid until the next
// allocation).
char* append_int32(const kel_value* vector, int32_t value);
// Appends one value whose type must be the element type exactly (else script
// `invalid-arg` with the value).
void append_value(const kel_value* vector, const kel_value* value);
// append_value for every value of the block from its head.
void append_block(const kel_value* vector, const kel_value* block);
// A new block (pushed) of the elements from the head.
kel_value* to_block(const kel_value* vector);

// --- text --------------------------------------------------------------------
// The elements from the head separated by spaces, molded or formed; with a
// part limit it stops once the budget is below 1. Returns the budget.
int32_t mold_elements(const kel_value* vector, kel_value* buffer, bool molded, bool all, bool part_given,
                      int32_t part);

// --- arithmetic (operator codes of scalar::math_op) ----------------------------
// One integer element operation: integer! arithmetic with its errors, except
// that add, subtract and multiply wrap around in 32 bits.
int32_t int_op(int op, int32_t a, int32_t b);
// The vector in argument 1 changed in place from its head by the number in
// argument 2 (integer!, float! or percent!; else internal `not-done`).
void scalar_math_op(int op);
// Argument 1 (a vector) op argument 2 (a vector or a number); the result
// replaces argument 1.
void math_op(int op);

registry::registration row();

}  // namespace kel::vector
