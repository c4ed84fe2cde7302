// money!: the cell layout the binary codec and the lexer rely on (sign bit,
// currency byte, digit nibbles), and what `from_digits` refuses: an 18th
// integer digit would land in the nibble before position 1, the currency
// byte, and silently change the value's currency.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datatypes/money.h"
#include "datatypes/symbol.h"
#include "tests/unit/core_builder.h"

using namespace kel;

namespace {

const uint8_t* bytes(const kel_value& v) { return reinterpret_cast<const uint8_t*>(&v); }

bool build(kel_value* out, const char* whole, const char* fraction, uint32_t currency = 0, bool negative = false) {
    const size_t w = std::strlen(whole), f = std::strlen(fraction);
    return money::from_digits(out, negative, currency, whole, whole + w, fraction, fraction + f) != nullptr;
}

}  // namespace

TEST(MoneyCell, DigitsSitAtTheirNibbles) {
    test::boot();
    kel_value m;
    ASSERT_TRUE(build(&m, "12345678901234567", "89012", 0, true));
    EXPECT_EQ(type_of(&m), static_cast<uint32_t>(types::money));
    EXPECT_EQ(m.header & 0x4000u, 0x4000u);
    EXPECT_EQ(bytes(m)[4], 0);  // no currency
    const uint8_t want[11] = {0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12};
    EXPECT_EQ(std::memcmp(bytes(m) + 5, want, 11), 0);
    kel_value raw;
    money::init_cell(&raw, 1, 0, want);
    EXPECT_EQ(std::memcmp(&raw, &m, sizeof m), 0);
}

TEST(MoneyCell, FromDigitsRefusesWhatDoesNotFit) {
    test::boot();
    struct row { const char* whole; const char* fraction; bool built; const char* digits; };
    const row rows[] = {
        {"12345678901234567", "", true, "1234567890123456700000"},
        {"000012345678901234567", "", true, "1234567890123456700000"},     // leading zeros are not digits
        {"0'012'345'678'901'234'567", "", true, "1234567890123456700000"}, // nor are separators
        {"123456789012345678", "", false, ""},                              // an 18th digit
        {"900000000000000000", "", false, ""},
        {"1", "1234567", true, "0000000000000000112345"},                   // fraction digits past the fifth drop
        {"", "5", true, "0000000000000000050000"},
    };
    for (const row& r : rows) {
        kel_value m;
        init_cell(&m, types::unset);
        const bool built = build(&m, r.whole, r.fraction);
        EXPECT_EQ(built, r.built) << r.whole;
        if (!built) {
            EXPECT_EQ(type_of(&m), static_cast<uint32_t>(types::unset)) << r.whole;  // untouched
            continue;
        }
        std::string digits;
        for (int i = 0; i < 11; ++i) {
            digits += static_cast<char>('0' + (bytes(m)[5 + i] >> 4));
            digits += static_cast<char>('0' + (bytes(m)[5 + i] & 0xF));
        }
        EXPECT_EQ(digits, r.digits) << r.whole;
        EXPECT_EQ(bytes(m)[4], 0) << r.whole;
    }
    // a code not in the currency list
    kel_value m;
    EXPECT_FALSE(build(&m, "1", "", symbol::intern("QQQ")));
}

TEST(MoneyCell, ZeroHasNoSign) {
    test::boot();
    kel_value minus_zero, zero;
    ASSERT_TRUE(build(&minus_zero, "0", "", 0, true));
    ASSERT_TRUE(build(&zero, "0", ""));
    EXPECT_EQ(money::sign_q(&minus_zero), 0);
    EXPECT_EQ(money::compare(&minus_zero, &zero, cmp::strict_equal), 0);
    EXPECT_EQ(money::hash(&minus_zero, false), money::hash(&zero, false));
}
