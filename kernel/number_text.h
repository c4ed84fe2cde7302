// number_text: the number texts the datatypes and the lexer build on, over
// plain C++ types (the exact float conversions themselves are float_text's).
//
//   float_::format     the formed (not molded) text of float-based values,
//                      by kind: "%.Ng"-style digits, the pretty short form,
//                      "%" for percents, ".0" for plain floats.
//   integer::decimal_text
//                      the decimal text of an int32.
//   lexer::float_syntax_q, text_to_integer, text_to_float, text_to_money
//                      number text held in string units (1, 2 or 4 bytes),
//                      as `to` and `make` read it.
//   lexer::load_integer, load_float
//                      the values of integer, float, special-float and
//                      percent literal tokens the lexer has delimited.
//
// Invariants: nothing here allocates or keeps state; every text comes back by
// value; bad text is reported as a status for the caller to turn into its
// own error, never raised here. "%.Ng" digits round exact decimal ties away
// from zero (0.5 gives "1", 2.5 gives "3" at one digit), whatever the C
// library would do, so forms are the same on every platform.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/float_text.h"

namespace kel::float_ {

// Kinds of float/format: what is being formed.
enum format_kind : int {
    single_kind = 0,          // float32 vector element: 7 digits, ".0" added
    double_kind = 1,          // float!: 16 digits, ".0" added
    single_percent_kind = 2,  // float32 percent element (x 100): 7 digits, "%"
    percent_kind = 3,         // percent! (x 100): 13 digits, "%"
    seconds_kind = 4,         // seconds of a time!: shortest, at most 6 digits
    point_kind = 5,           // point2D!/point3D! coordinate: 7 digits, as is
};

// The formed text of `value` for `kind` (the caller multiplies percents by
// 100). `pretty` is the pretty-print setting: magnitudes below the machine
// epsilon form as zero, and a long text ending in "01" or "99" is formed
// again with fewer digits (0.7999999999999999 forms as "0.8").
short_text format(double value, int kind, bool pretty);

// The formed text of a percent's fraction: its hundredfold in percent_kind.
// A finite fraction whose hundredfold lies beyond the largest double is
// written from its own digits with the exponent raised by 2 (a fraction of
// 1e307 forms as "1e309%"), never as an infinity.
short_text format_percent(double fraction, bool pretty);

// The texts mold/all writes, which load reads back as the very value: the
// formed text of `kind` when it does (nearly always), else the same value
// with as many more digits as it takes. format_exact_single is for the float32
// kinds (single_kind, point_kind), read back narrowed to float32;
// format_exact_percent is format_percent's for a fraction.
short_text format_exact_single(float value, int kind, bool pretty);
short_text format_exact_percent(double fraction, bool pretty);

// "%.<precision>g" with the exponent written without "+" or leading zeros
// ("1e20", "1.5e-5") and exact ties rounded away from zero. The precision is
// taken within 1..17.
short_text format_g(double value, int precision);

// The search behind every mold/all text: `t` when `reads_back(t)` holds,
// else the text `write(n)` gives for n = `from`, then one more, significant
// digits, until `reads_back` holds or 17 digits were tried; answers the last
// text tried.
template <class Text, class ReadsBack, class Write>
Text widen_to_read_back(Text t, int from, ReadsBack&& reads_back, Write&& write) {
    for (int digits = from; !reads_back(t) && digits <= 17; ++digits) t = write(digits);
    return t;
}

}  // namespace kel::float_

namespace kel::integer {

// Decimal text: no grouping, no plus sign, no padding.
short_text decimal_text(int32_t value);

}  // namespace kel::integer

namespace kel::lexer {

// Failure codes of the text conversions; `none` is success.
enum class number_error : int8_t {
    none = 0,
    invalid = -1,   // a character that does not belong, or no digit at all
    overflow = -2,  // outside the 32-bit range (integers only)
};

struct integer_conversion {
    int32_t value;
    number_error error;
};

struct float_conversion {
    double value;  // NaN when error is not none
    number_error error;
};

// The float token syntax: [+|-] digits ["." [digits]] [(e|E) [+|-] digits],
// where the leading digits may be absent when fraction digits follow, and a
// single "'" may separate two digits of the integer or fraction part. Texts
// of 313 bytes or more are refused.
bool float_syntax_q(const char* text, std::size_t length);

// Integer text in string units: [+|-] then digits, "'" skipped. A unit
// that is neither stops the scan with `invalid` and the value read so far;
// a value outside the 32-bit range is `overflow` with 0; text with no digit
// is `invalid` with 0.
integer_conversion text_to_integer(const void* start, std::size_t units, int unit_size);

// Float text in string units: "," reads as ".", "'" separates digit groups;
// the text must have the float token syntax and fewer than 313 units.
float_conversion text_to_float(const void* start, std::size_t units, int unit_size);

// Money text, as `to money!` reads it: [+|-] then either a three-letter code
// and "$", or an optional "$"; then digits with single "'" separators (none
// right after the "$" or sign, none at the end, none after the point) and at
// most one "." with at least one digit on each side. At most 17 integer
// digits once leading zeros are skipped, at most 5 fraction digits. The
// pieces come back as characters: the money! module owns the currency list
// and builds the value.
struct money_text {
    bool negative;
    bool has_currency;
    char currency[3];
    int integer_count;  // leading zeros not kept
    char integer_digits[17];
    int fraction_count;
    char fraction_digits[5];
};
number_error text_to_money(const void* start, std::size_t units, int unit_size, money_text* out);

// An integer token: [+|-] digits with "'" separators. More than 10 digits, or
// a value outside the 32-bit range, is read as a float instead (only the
// exact text "-2147483648" gives the smallest integer).
struct integer_literal {
    enum kind_t : uint8_t {
        integer,        // value is in `integer_value`
        floating,       // value is in `float_value`
        integer_error,  // syntax error for integer!
        float_error,    // syntax error for float!
    } kind;
    int32_t integer_value;
    double float_value;
};
integer_literal load_integer(const char* start, const char* end);

// A float token of any length (decimal, or "1.#INF"/"1.#NaN" with an optional sign: only the
// three letters after "1.#" are compared, without regard to case), with its
// decimal exponent moved by `adjustment` (-2 for the text before a percent
// sign). Error means a syntax error for float!.
float_conversion load_float(const char* start, const char* end, int adjustment);
// Plain decimals of at most 15 digits with an optional sign ("-123.45"):
// the digits are an exact integer below 2^53 and the power of ten is exact,
// so one division gives the correctly rounded value. False for anything
// else, which takes load_float.
bool simple_decimal(const char* p, const char* e, double* out);

}  // namespace kel::lexer
