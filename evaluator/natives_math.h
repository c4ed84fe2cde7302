// natives_math: the numeric natives. Sign tests (negative?, positive?,
// sign?, zero?, NaN?), max and min over numbers and the composite scalars,
// bit shifts, hexadecimal text, trigonometry in degrees or radians,
// logarithms, exp and square-root, and the constructors as-pair,
// as-point2D, as-point3D and as-money. Each works on the arguments base
// cell and leaves its result there; the per-type knowledge they need (money
// signs and currencies, tuple bytes, float32 narrowing, angle reduction) is
// the datatype modules' and kernel/angle's.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::natives {

// The cell made float! in place: an integer! is converted, a percent! keeps
// its fraction (50% counts as 0.5), a float! stays. Answers the float.
double float_arg(kel_value* cell);
// The integer of an integer! or float! cell; a float is truncated toward
// zero and must lie in the int32 range (int32_range_q), which callers check.
int32_t integer_of(const kel_value* cell);

signal_code negative_q_star(bool check, const refinements& refs);
signal_code positive_q_star(bool check, const refinements& refs);
signal_code sign_q_star(bool check, const refinements& refs);
signal_code zero_q_star(bool check, const refinements& refs);
signal_code nan_q_star(bool check, const refinements& refs);
signal_code max_star(bool check, const refinements& refs);
signal_code min_star(bool check, const refinements& refs);
signal_code shift_star(bool check, const refinements& refs);
// The core of `shift`, shared with the shift routines: a negative count
// shifts by 0, 32 or more bits empties the value (or fills it with the sign).
enum class shift_way { right, left, logical };
int32_t shift_bits(int32_t data, int32_t count, shift_way way);
signal_code to_hex_star(bool check, const refinements& refs);
signal_code sine_star(bool check, const refinements& refs);
signal_code cosine_star(bool check, const refinements& refs);
signal_code tangent_star(bool check, const refinements& refs);
signal_code arcsine_star(bool check, const refinements& refs);
signal_code arccosine_star(bool check, const refinements& refs);
signal_code arctangent_star(bool check, const refinements& refs);
signal_code arctangent2_star(bool check, const refinements& refs);
signal_code log_2_star(bool check, const refinements& refs);
signal_code log_10_star(bool check, const refinements& refs);
signal_code log_e_star(bool check, const refinements& refs);
signal_code exp_star(bool check, const refinements& refs);
signal_code square_root_star(bool check, const refinements& refs);
signal_code as_pair_star(bool check, const refinements& refs);
signal_code as_point2d_star(bool check, const refinements& refs);
signal_code as_point3d_star(bool check, const refinements& refs);
signal_code as_money_star(bool check, const refinements& refs);

}  // namespace kel::natives
