// float_text: exact conversions between binary64 floats and decimal text.
//
// Float to text gives the fewest significant digits that read back to the
// same float (or, with a digit limit, the value correctly rounded to that many
// digits, exact ties to the even digit) and lays them out in the language's
// number syntax; text to float reads decimal text to the nearest float, exact
// ties to the even mantissa. The digit work is done by the standard library's
// correctly rounded std::to_chars / std::from_chars; this module owns only the
// syntax around them: signs, the "1.#INF" / "1.#NaN" forms, where the point
// goes, when the exponent form is used, and the exponent adjustment that
// percent literals need.
//
// Invariants:
//   - No result refers to shared storage: every text comes back by value in a
//     small fixed record, so nothing is invalidated by a later call and no
//     call allocates.
//   - parse never produces -0.0 for finite input and never reads outside
//     [start, end); malformed text is reported through the unconsumed count.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kel {

// A short number text held by value (the longest float text is 26 bytes).
struct short_text {
    char chars[40];
    uint32_t length;

    const char* c_str() const { return chars; }
    std::string_view view() const { return {chars, length}; }
};

}  // namespace kel

namespace kel::float_text {

// Exponents shortest_digits reports for values without a digit string.
constexpr int special_exponent = 9999;  // NaN and the infinities
constexpr int zero_exponent = 9998;     // +0.0 and -0.0

// A value as 0.d1d2...dn x 10^exponent. For NaN, the infinities and zero the
// text is the value's whole form ("1.#NaN", "1.#INF", "-1.#INF", "0.0", "-0",
// ...) and count is its length.
struct digits {
    char text[32];  // NUL-terminated; no trailing zeros in a digit string
    int count;
    int exponent;
    bool negative;  // sign bit set (also for -0.0; never for NaN)
};

// limit <= 0: the shortest digits that read back to the same value.
// limit > 0: the shortest digits when they are at most `limit` long, else
// exactly `limit` digits correctly rounded (exact ties to an even last digit).
// zero_flag chooses "0.0"/"-0.0" over "0"/"-0" for zeros.
digits shortest_digits(double value, int limit, bool zero_flag);

// The value's text: plain decimal for decimal exponents -6..17 (in the
// 0.d1d2... sense), else "d.ddd" + "e" + exponent. A text that would end in
// "." (or have "." right before "e") gets "0" after the point when
// point_zero is set, else loses the point. Mold passes (0, true), the
// seconds of a time (6, false), money conversion (22, true).
short_text form(double value, int limit, bool point_zero);

struct parse_result {
    double value;
    std::size_t unconsumed;  // bytes from where reading stopped to the end
};

// Reads [start, end): [+|-] digits [. digits] [(e|E) [+|-] digits], or a
// one-digit "d.#I..." / "d.#N..." special. adjustment is added to the decimal
// exponent (percent literals pass -2). Reading stops at the first byte that
// does not fit; an exponent mark with no digit after it is not read. The
// exponent saturates at +-19999, so any exponent overflows to infinity or
// underflows to 0.0. Text with no digit at all is not read (unconsumed is
// the whole length).
parse_result parse(const char* start, const char* end, int adjustment);

}  // namespace kel::float_text
