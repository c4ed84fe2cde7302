#include "kernel/angle.h"

#include <cmath>

namespace kel::math {

double degrees_to_radians(double angle, int mode) {
    double a = std::fmod(angle, 360.0);  // keeps the angle's sign
    if (a > 180.0 || a < -180.0) a = a < 0 ? a + 360.0 : a - 360.0;
    if (a > 90.0 || a < -90.0) {
        if (mode == tangent)
            a = a < 0 ? a + 180.0 : a - 180.0;  // period 180
        else if (mode == sine)
            a = a < 0 ? -180.0 - a : 180.0 - a;  // sin(180 - a) = sin(a)
    }
    // Multiplied first, divided second: the order decides the last bit.
    return a * 3.141592653589793 / 180.0;
}

}  // namespace kel::math
