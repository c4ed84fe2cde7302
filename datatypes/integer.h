// integer: the integer! datatype (id 11, no parent), the 32-bit signed whole
// number, and the pieces every scalar module shares.
//
// integer! cells hold the value in word 2; word 1 and word 3 are left as they
// were. The checked arithmetic worker `arith_op` is shared with char! (which
// needs the overflow to be seen, not hidden) and the extended number types:
// add, subtract and multiply overflow quietly into float!, divide gives
// float! when inexact, and divide/remainder by zero, -2147483648 / -1 and
// -2147483648 // -1 are errors, decided before the machine operation could trap.
//
// Shared with char!, float! and time! (namespace `scalar`): the error helpers
// these types raise through, the target type of make/to, the units of a
// series from its head, arithmetic with another type on the right (that
// type's own action), and the conversions of modules written later (money!,
// date!, the symbol table, the lexer) as hooks those modules install. A null
// hook means no module provides the service: the conversion is then refused
// or `not-done`.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/stack.h"
#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

#include "kernel/random.h"

namespace kel::scalar {

// Operator codes of the arithmetic workers.
enum math_op : int { op_add = 0, op_subtract, op_multiply, op_divide, op_remainder, op_or, op_and, op_xor };
// The action of an operator code (act::add ... act::xor_) and its word.
int action_of(int op);
const char* word_of(int op);

// --- errors (all raise, none return) ---------------------------------------
[[noreturn]] void bad_to_arg(uint32_t target, const kel_value* spec);
[[noreturn]] void invalid_type(uint32_t type);
[[noreturn]] void not_related(const char* word, uint32_t type);
[[noreturn]] void expect_arg(const char* function, uint32_t type, const char* argument);
[[noreturn]] void type_limit(uint32_t type);
[[noreturn]] void out_of_range(const kel_value* value);
[[noreturn]] void math_overflow();
[[noreturn]] void zero_divide();

// --- arguments and conversions ---------------------------------------------
inline kel_value* arg(int n) { return stack::argument(n); }
// The type make/to build: the type a datatype! names, else the prototype's type.
uint32_t target_type(const kel_value* first);
// The units of a series from its head to its tail (none when the head lies
// at or past the tail). Valid until the buffer next changes.
struct units_view {
    const char* data;
    int64_t count;
    int unit;
};
units_view units_from_head(const kel_value* series);

// --- arithmetic with another type on the right -------------------------------
// A number's arithmetic with a value of another type on its right is that
// type's own action (its row's handler), so what a datatype does as the right
// operand lives in its module. In order: the handler finds the number in
// argument 1 and its own value in argument 2 (money!, and tuple! after a
// float!). Swapped: the operands change places first and the handler sees its
// own value in argument 1 (pair!, the points, tuple! and date! after an
// integer!, vector!). The result is left in argument 1. A type whose row has no
// handler for the action raises `invalid-type`, before anything moves.
enum class operands : bool { in_order, swapped };
signal_code right_operand_action(uint32_t type, int action, operands order);
// A number with a vector! on its right: the vector is changed in place with
// the number as its operand, which is only the same arithmetic when the
// operation commutes. Subtract, divide and remainder would compute v - n for
// n - v, so they are refused with `not-related` instead of answering wrongly.
signal_code vector_on_right(int op, uint32_t left_type);

// --- services of later modules -----------------------------------------------
struct scalar_hooks {
    void (*money_from_integer)(int32_t value, kel_value* out);
    void (*money_from_float)(double value, kel_value* out);
    double (*money_to_float)(const kel_value* money);
    int32_t (*money_to_integer)(const kel_value* money);  // raises out of range
    // date!: whole seconds since 1970-01-01 00:00.
    int32_t (*date_unix_seconds)(const kel_value* date);
    // Symbol table: the UTF-8 spelling of a word's symbol.
    bool (*word_spelling)(const kel_value* word, const char** text, size_t* length);
    // Lexer: scans the whole text as one value into out; false when the
    // text is not exactly one value.
    bool (*scan_value)(const kel_value* text, kel_value* out);
};
extern scalar_hooks hooks;
// Start-up (once the symbol table exists): the symbol table's service above
// (`word_spelling`), which this module can install itself.
void install_symbol_services();

}  // namespace kel::scalar

namespace kel::integer {

// --- cell helpers ------------------------------------------------------------
inline int32_t get(const kel_value* v) { return static_cast<int32_t>(v->w2); }
int32_t get_last();
int32_t last_or_zero();
kel_value* box(int32_t value);
// Sets the type byte (flags kept) and word 2.
kel_value* init_cell(kel_value* cell, int32_t value);
kel_value* make_at_tail(const kel_value* block, int32_t value);
kel_value* push(int32_t value);

inline int32_t sign_of(int32_t v) { return (v > 0) - (v < 0); }
// |v|; -2147483648 raises math `overflow`.
int32_t safe_abs(int32_t v);
// The float64 of a float-based cell is outside the int32 range (above
// 2147483647.0, below -2147483648.0) or NaN.
bool out_of_range_q(const kel_value* float_cell);
bool out_of_range_q(double d);

// Checked arithmetic a op b. add/subtract/multiply overflow: `cell` (when
// given) becomes float! with the exact operation done in float64, and 0 is
// answered. divide: zero-divide, -2147483648 / -1 overflow; inexact with a
// cell makes the cell float! a / b. Otherwise word 2 of `cell` (header
// untouched) receives the result, which is also answered.
int32_t arith_op(int32_t a, int32_t b, int op, kel_value* cell);
// The binary math actions of integer!: left operand argument 1, right
// argument 2, the result replaces argument 1.
signal_code arith_action(int op);
// base ** exponent (exponent >= 0) by squaring; answers false when a product
// overflowed (the caller falls back to float power).
bool int_power(int32_t base, int32_t exponent, int32_t* result);

// Big-endian integer from the first up to 4 bytes (later bytes ignored).
int32_t from_binary(const uint8_t* bytes, size_t count);
// The hexadecimal digits of an issue's name (code points or UTF-8 bytes):
// 1-8 digits 0-9, A-F, a-f; anything else answers false.
bool from_hex_digits(const uint32_t* code_points, size_t count, int32_t* out);
bool from_hex_digits(const char* bytes, size_t count, int32_t* out);

// Action handlers (also inherited by char!).
signal_code random(const refinements& refs);
signal_code absolute(const refinements& refs);
signal_code even_q(const refinements& refs);
signal_code odd_q(const refinements& refs);
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

registry::registration row();

}  // namespace kel::integer
