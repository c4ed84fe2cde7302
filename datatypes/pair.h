// pair: the pair! datatype (id 37, no parent), a two-dimensional integer
// coordinate or size written 10x20: x in word 2, y in word 3, both signed
// 32-bit. Faces, images and drawing use it everywhere.
//
// Its arithmetic is per axis in checked 32-bit integers and moves to
// point2D! (datatypes/point) when the operands ask for fractions: a float
// factor or divisor, a point2D! operand, a float operand beyond the 32-bit
// range, or an axis whose result does not fit 32 bits. In each case the
// pair is converted in place (`to_point2d`) and the point arithmetic takes
// over, so 2147483647x0 + 1x0 is the point (2147483648, 0) and never wraps.
//
// Every float that becomes an axis (make, to, an operand) is range-checked
// first; a float that is not finite, or outside the 32-bit range where no
// point can take over, raises script `invalid-arg` with the value.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::pair {

// The type byte becomes pair! (flags kept), words 2-3 the axes.
kel_value* init_cell(kel_value* cell, int32_t x, int32_t y);
kel_value* make_at_tail(const kel_value* block, int32_t x, int32_t y);
kel_value* push(int32_t x, int32_t y);

// The coordinate letter of a word, any letter case: x 1, y 2, z 3; 0 for
// any other word (and for a word whose spelling is not known).
int32_t axis_letter(const kel_value* word);
// The axis of a path word: x 1, y 2; another word raises script `cannot-use`
// (the word, the value) when the value is a pair!, else `invalid-path`.
int32_t axis_index(const kel_value* word, const kel_value* value);

// The pair in argument 1 combined with argument 2 under the operator code
// (scalar::math_op: add ... xor); the result (a pair!, or a point2D!)
// replaces argument 1.
signal_code math_op(int op);
// Converts the pair in argument `index` to point2D! in place.
void to_point2d(int index);
// An integer!'s value, or a float! truncated toward zero (script
// `invalid-arg` when it is not finite or outside the 32-bit range).
int32_t get_int(const kel_value* value);

registry::registration row();

}  // namespace kel::pair
