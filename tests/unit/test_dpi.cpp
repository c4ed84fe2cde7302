// DPI conversions at a DPI other than the logical one, nested DPI scopes,
// and the bit mask of a face's flags as a script writes them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "datatypes/context.h"
#include "datatypes/word.h"
#include "gui/backend/dpi.h"
#include "library/boot.h"
#include "tests/unit/runtime_env.h"

namespace kel::test {
namespace {

class Dpi : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_env::start();
        dpi::set(96);
    }
    void TearDown() override { dpi::set(96); }
};

TEST_F(Dpi, ConversionsAt144) {
    dpi::set(144);
    EXPECT_EQ(dpi::to_pixels(10), 15);
    EXPECT_DOUBLE_EQ(dpi::to_logical(15), 10.0);
    EXPECT_EQ(dpi::to_pixels(0.3), 0);   // 0.45 + 0.5 truncates to 0
    EXPECT_EQ(dpi::to_pixels(0.34), 1);  // 0.51 + 0.5
    // what no pixel count holds is held to 32 bits, never converted blindly
    EXPECT_EQ(dpi::to_pixels(1e300), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(dpi::to_pixels(-1e300), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(dpi::to_pixels(std::nan("")), 0);
}

TEST_F(Dpi, ScopesNestAndGiveTheirDpiBack) {
    const int32_t outer = dpi::enter(144);
    const int32_t inner = dpi::enter(0);  // no window: the current DPI stays
    EXPECT_EQ(dpi::current(), 144);
    EXPECT_EQ(dpi::depth(), 2);
    dpi::leave(inner);
    EXPECT_EQ(dpi::current(), 144);
    dpi::leave(outer);
    EXPECT_EQ(dpi::current(), 96);
    EXPECT_EQ(dpi::depth(), 0);
}

TEST_F(Dpi, FaceFlagsAsAMask) {
    struct row {
        const char* flags;
        uint32_t mask;
    } rows[] = {
        {"'modal", 0x02000000u},           {"[no-min no-max]", 0x30000000u},
        {"\"modal\"", 0},                  {"[all-over bogus no-border]", 0x80000001u},
        {"[\"modal\" popup]", 0x01000000u}, {"'Resize", 0x04000000u},
    };
    for (const row& r : rows) {
        const std::string text = std::string("test-flags: ") + r.flags;
        boot::run_source("test", text.c_str(), text.size());
        EXPECT_EQ(dpi::face_flags(_context::get_bound(word::from_c_string("test-flags"))), r.mask) << r.flags;
    }
}

}  // namespace
}  // namespace kel::test
