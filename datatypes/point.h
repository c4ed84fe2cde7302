// point: the point2D! (id 51) and point3D! (id 52) datatypes, coordinates
// with single-precision components: x and y in words 1-2 (and z in word 3),
// each an IEEE float32. Every computation widens the components to float64
// and narrows the result back (float_::to_single), so a point never holds
// more precision than its literal shows. The two types are twins: one
// implementation over the component count serves both rows, and the
// differences (pair! operands and conversions only for point2D!, reverse
// swapping x with the last component) follow from that count.
//
// Arithmetic with a point on the left is `math_op`; integer!, float! and
// pair! with a point on the right reach it through this row (their math
// swaps the operands first), and pair! hands itself over, converted, when
// the other operand or an overflow asks for floats.
//
// Text: "(" x ", " y ")" with each component in the float formatter's point
// kind (7 significant digits, no ".0" added), so components of at most 6
// significant digits mold to text that loads back with the same bits.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::point2d {

// The type byte becomes point2D! (flags kept), words 1-2 the components.
kel_value* init_cell(kel_value* cell, float x, float y);
kel_value* push(float x, float y);
// The point in argument 1 combined with argument 2 under the operator code
// (add, subtract, multiply, divide, remainder); the result replaces
// argument 1. Operands: integer!, float!, percent!, pair!, point2D!;
// another type raises script `invalid-type`.
signal_code math_op(int op);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

registry::registration row();

}  // namespace kel::point2d

namespace kel::point3d {

kel_value* init_cell(kel_value* cell, float x, float y, float z);
kel_value* push(float x, float y, float z);
// As point2d::math_op, with operands integer!, float!, percent!, point3D!.
signal_code math_op(int op);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

registry::registration row();

}  // namespace kel::point3d
