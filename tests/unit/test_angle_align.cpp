// Angle reduction before the trigonometric natives, and alignment rounding.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>

#include "kernel/angle.h"
#include "kernel/runtime.h"
#include "tests/unit/test_support.h"

using kel::math::degrees_to_radians;

namespace {

uint64_t bits(double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    return u;
}

// The same reduction in Python, as an oracle for the folded radians.
const char* python_reduction = R"(
import math, sys
def red(angle, mode):
    a = math.fmod(angle, 360.0)
    if a > 180.0 or a < -180.0:
        a = a + 360.0 if a < 0 else a - 360.0
    if a > 90.0 or a < -90.0:
        if mode == 0: a = a + 180.0 if a < 0 else a - 180.0
        elif mode == 2: a = -180.0 - a if a < 0 else 180.0 - a
    return a * 3.141592653589793 / 180.0
)";

}  // namespace

TEST(Angle, FoldsMatchPythonModel) {
    const double angles[] = {0,    30,    45,    90,     135,   150,    180,   -180,  181,   -181,  270,
                             -270, 359.5, 360,   720.25, -45,   1e9,    -1e9,  89.9,  90.1,  -90.1, 1e-300,
                             -0.0, 450,   540,   -540,   1080,  12345.6789, 179.999999, -179.999999};
    std::ostringstream code;
    code << python_reduction << "out = []\n";
    for (double a : angles)
        for (int mode = 0; mode < 3; ++mode) code << "out.append(red(float.fromhex('" << std::hexfloat << a
                                                  << "'), " << mode << ").hex())\n";
    code << "print(' '.join(out))\n";
    std::string expected = kel::test::python(code.str());
    std::istringstream in(expected);
    for (double a : angles) {
        for (int mode = 0; mode < 3; ++mode) {
            std::string hex;
            ASSERT_TRUE(in >> hex) << "python gave too few results";
            double want = std::strtod(hex.c_str(), nullptr);
            double got = degrees_to_radians(a, mode);
            EXPECT_EQ(bits(got), bits(want)) << "angle " << a << " mode " << mode;
        }
    }
}

TEST(Angle, ExactResultsAtFoldPoints) {
    using namespace kel::math;
    EXPECT_EQ(std::sin(degrees_to_radians(180, sine)), 0.0);
    EXPECT_EQ(std::sin(degrees_to_radians(-180, sine)), 0.0);
    EXPECT_EQ(std::tan(degrees_to_radians(180, tangent)), 0.0);
    EXPECT_EQ(std::sin(degrees_to_radians(150, sine)), std::sin(degrees_to_radians(30, sine)));
    EXPECT_EQ(degrees_to_radians(270, cosine), degrees_to_radians(-90, cosine));
    EXPECT_EQ(std::tan(degrees_to_radians(135, tangent)), std::tan(degrees_to_radians(-45, tangent)));
    // 180 is not folded by the first step, and cosine keeps it.
    EXPECT_EQ(degrees_to_radians(180, cosine), 3.141592653589793);
    EXPECT_TRUE(std::isnan(degrees_to_radians(NAN, sine)));
    EXPECT_TRUE(std::isnan(degrees_to_radians(INFINITY, cosine)));
}

TEST(AlignUp, Table) {
    struct {
        int32_t value, alignment, want;
    } cases[] = {{17, 16, 32}, {32, 16, 32}, {0, 16, 0}, {1, 1, 1}, {1, 8, 8}, {15, 16, 16}, {4097, 4096, 8192},
                 {-1, 16, 0}, {1048575, 1048576, 1048576}};
    for (auto c : cases) EXPECT_EQ(kel::runtime::align_up(c.value, c.alignment), c.want) << c.value << " " << c.alignment;
    static_assert(kel::runtime::align_up(17, 16) == 32);
}
