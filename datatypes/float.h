// float: the float! datatype (id 12, no parent), the IEEE 754 double, and the
// float work that percent! (38) and time! (43) share with it: the float math
// action computes for all three and decides the result type, `format` forms
// every float-based value, and the float! compare handler compares all three.
//
// The payload is a float64 in words 2-3. Float arithmetic never raises:
// infinities and NaNs flow through and form as "1.#INF", "-1.#INF",
// "1.#NaN". Every float-to-int32 conversion here is range-checked first, so
// no C++ conversion ever sees a value outside the int32 range.
#pragma once
#include <cstdint>

#include "kernel/number_text.h"
#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::float_ {

// Forming in the short pretty form (the system object's float options set it).
extern bool pretty_print_q;
// A second option flag that this module does not read.
extern bool full_support_q;

constexpr double largest_finite = 1.7976931348623157e308;
constexpr double below_half = 0.49999999999999994;  // largest float64 below 0.5
constexpr double epsilon = 2.220446049250313e-16;

// --- cell helpers ------------------------------------------------------------
inline double get(const kel_value* v) { return get_float(v); }
kel_value* box(double value);
// The whole header becomes float! (flags cleared), words 2-3 the value.
kel_value* init_cell(kel_value* cell, double value);
kel_value* make_at_tail(const kel_value* block, uint32_t low, uint32_t high);
kel_value* push_bits(uint32_t low, uint32_t high);
kel_value* push(double value);

double abs(double value);
// The nearest integer, halves rounded up (0.49999999999999994 gives 0, -2.5
// gives -2); outside the int32 range raises script `type-limit`.
int32_t round_to_integer(double value);
bool nan_q(double value);
bool inf_or_nan_q(double value);
bool single_nan_q(float value);
// What a compare answers for `op` when either side is a NaN: no ordering test
// holds, and no equality.
int32_t unordered_answer(int32_t op);
// Equality of equal/not-equal: exact, within the machine epsilon, or at most
// 10 units in the last place apart; never for a NaN or an infinity against a
// finite value.
bool almost_equal_q(double a, double b);
bool single_almost_equal_q(float a, float b);
// A float64 narrowed to float32 with IEEE round-to-nearest-even, also beyond
// the float32 range (up to half a unit above the largest float32 it rounds
// down to it, from there on to infinity), where a plain cast is undefined.
// NaN stays NaN. Every float32 payload (points, float32 vectors) is written
// through it.
float to_single(double value);

// The formed text by kind (number_text's kinds) under `pretty_print_q`.
short_text format(double value, int kind);
// The formed text of a percent's fraction (number_text's format_percent).
short_text format_percent(double fraction);

// a op b (operator codes of scalar::math_op); the bitwise codes raise script
// `cannot-use`.
double arith_op(int op, double a, double b);
// The math actions of float!, percent! and time!, and integer! math with a
// float-based right operand: left argument 1, right argument 2, the result
// replaces argument 1 with the result type the operand types decide.
signal_code math_action(int op);
double random_up_to(double limit, bool secure);

// The rounding of float!/round on (value, scale): `has_scale` false takes
// the default scale (1.0, or 0.01 for a percent! value). Answers the rounded
// float64; `unchanged` is set when the value has no digits at that scale.
double round_value(double x, bool percent_value, bool has_scale, double scale, const refinements& refs,
                   bool* unchanged);

// Action handlers time! and percent! take over.
signal_code make(const refinements& refs);
signal_code random(const refinements& refs);
signal_code absolute(const refinements& refs);
signal_code negate(const refinements& refs);
signal_code power(const refinements& refs);
signal_code remainder(const refinements& refs);
signal_code round(const refinements& refs);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);

registry::registration row();

}  // namespace kel::float_
