// angle: reduction of an angle in degrees before the trigonometric natives
// take its sine, cosine or tangent, folded so that exact multiples of 90 and
// 180 degrees give exact results (the sine of 180 degrees is 0.0, not 1e-16).
#pragma once

namespace kel::math {

enum trig_mode : int { tangent = 0, cosine = 1, sine = 2 };

double degrees_to_radians(double angle, int mode);

}  // namespace kel::math
