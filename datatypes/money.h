// money: the money! datatype (id 49, no parent), an exact decimal amount
// with an optional currency. The amount is 22 packed decimal digits, 17
// before the point and 5 after, and every operation on it works digit by
// digit in decimal: nothing passes through binary floating point except the
// float conversions themselves.
//
// Cell: header bit 14 is the sign; byte 4 (the low byte of word 1) the
// currency, 0 for none, else the 1-based position of its code in
// `system/locale/currencies/list` (the list only grows, so a position never
// changes meaning); bytes 5-15 the digits, two per byte, most significant
// first, digit position 1 in the high nibble of byte 5. An all-zero amount is
// zero whatever its sign bit says: equality, hashing and the text all ignore
// the sign of a zero.
//
// integer!, float! and percent! hand a money! operand to `math_op` (through
// this row's arithmetic actions as the right operand) and convert through
// the services this module installs in `scalar::hooks`; the lexer builds
// literals with `from_digits`. The currency list and the `money-digits`
// option live in the system object, which the library builds above this
// layer: the start-up step "money settings" installs the readers.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::money {

constexpr uint32_t sign_mask = 0x4000;
constexpr uint32_t sign_shift = 14;
constexpr int digit_count = 22;
constexpr int fraction_digits = 5;
constexpr int integer_digits = digit_count - fraction_digits;  // 17
constexpr int digit_bytes = 11;

// --- the system object's fields this module reads --------------------------
struct settings_readers {
    // system/locale/currencies/list (a block!), or null before the boot made it.
    const kel_value* (*currency_list)() = nullptr;
    // system/options/money-digits, or null.
    const kel_value* (*money_digits)() = nullptr;
};
extern settings_readers settings;

// --- cell helpers ------------------------------------------------------------
inline int sign_bit(const kel_value* v) { return static_cast<int>((v->header & sign_mask) >> sign_shift); }
inline void store_sign(kel_value* v, int negative) {
    v->header = (v->header & ~sign_mask) | (negative ? sign_mask : 0u);
}
inline void toggle_sign(kel_value* v) { v->header ^= sign_mask; }
inline uint32_t currency_of(const kel_value* v) { return v->w1 & 0xFFu; }
inline void store_currency(kel_value* v, uint32_t index) { v->w1 = (v->w1 & ~0xFFu) | (index & 0xFFu); }

// 1-based position of a currency word's symbol in the list, compared by
// canonical (case-folded) symbol; -1 when absent or the list is empty.
int32_t currency_position(uint32_t symbol);
// The currency's word (its symbol id), 0 for none or a position not in the list.
uint32_t currency_symbol(uint32_t index);

// Builds the amount from digit characters: the integer run [int_start,
// int_end) and the fraction run [fraction_start, fraction_end), "'" skipped
// in both, leading zeros of the integer run not counted. Fraction digits past
// the fifth are dropped. Answers null (cell untouched) when the currency
// symbol (0: none) is not in the list or the integer run holds more than 17
// significant digits.
kel_value* from_digits(kel_value* cell, bool negative, uint32_t currency, const char* int_start,
                       const char* int_end, const char* fraction_start, const char* fraction_end);
// Raw construction (the binary codec): sign 0 or 1, currency index, the
// 11 digit bytes.
kel_value* init_cell(kel_value* cell, int sign, uint32_t currency, const uint8_t* digits);

// The integer digits with the sign, fraction dropped; outside the int32
// range raises script `type-limit` with integer!.
int32_t integer_value(const kel_value* money);
kel_value* init_integer(kel_value* cell, int32_t value);
kel_value* push_integer(int32_t value);

inline bool float_too_big_q(double x) { return x >= 1e17 || x <= -1e17; }
inline bool float_too_small_q(double x) { return x != 0.0 && x < 1e-5 && x > -1e-5; }
// The float's shortest text (at most 22 significant digits) as an amount:
// non-finite, too small or too big raises script `bad-make-arg` (money!, x),
// and so does a text with more than five fraction digits when `strict`;
// otherwise the digits past the fifth are dropped.
kel_value* init_float(kel_value* cell, double x, bool strict);
kel_value* push_float(double x, bool strict);
// The amount as the nearest float64.
double float_value(const kel_value* money);

int sign_q(const kel_value* money);
inline bool negative_q(const kel_value* m) { return sign_q(m) < 0; }
inline bool zero_q(const kel_value* m) { return sign_q(m) == 0; }
inline bool positive_q(const kel_value* m) { return sign_q(m) > 0; }

// The arithmetic core: operator codes 0 add, 1 subtract, 2 multiply,
// 3 divide, 4 remainder on argument cells 1 and 2 (either may be integer!,
// float! or percent! beside a money!); the result replaces argument 1.
signal_code math_op(int op);

// The text of an amount: form passes all = false, grouping = true; mold its
// /all flag and grouping = false. Answers the remaining part budget.
int32_t form_text(const kel_value* value, kel_value* buffer, int32_t part, bool all, bool grouping);

int32_t compare(const kel_value* value, const kel_value* other, int32_t op);
// The 22 digits, and the sign of a non-zero amount: equal amounts hash alike
// whatever their currency.
uint32_t hash(const kel_value* value, bool case_sensitive);

registry::registration row();
// Start-up: the conversions integer! and float! reach through scalar::hooks.
void install_services();

}  // namespace kel::money
