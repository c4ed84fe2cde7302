// money: the money! row, the decimal digit core and the money text. See
// money.h.
//
// The text, rounding and conversions work on unpacked digits: an amount's 22
// nibbles are spread into a byte array on the machine stack (index 0 = digit
// position 1), worked on digit by digit, and packed back. The arithmetic
// operators, which loops run, work on the packed nibbles as one 88-bit word
// instead: sums and differences nibble-parallel in decimal, products and
// quotients through the binary value of the amount. Nothing here allocates.
#include "datatypes/money.h"

#include <cmath>
#include <cstring>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/symbol.h"
#include "kernel/collector.h"
#include "kernel/float_text.h"
#include "kernel/hashtable.h"
#include "kernel/murmur3.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"
#include "kernel/random.h"
#include "kernel/stack.h"

namespace kel::money {

settings_readers settings;

using namespace scalar;

namespace {

constexpr int digit_start = 5;  // byte of digit positions 1 and 2

// --- digits ------------------------------------------------------------------------

struct digits {
    uint8_t d[digit_count];
};

inline const uint8_t* bytes_of(const kel_value* v) { return reinterpret_cast<const uint8_t*>(v); }
inline uint8_t* bytes_of(kel_value* v) { return reinterpret_cast<uint8_t*>(v); }

digits unpack(const kel_value* v) {
    digits r;
    const uint8_t* b = bytes_of(v) + digit_start;
    for (int i = 0; i < digit_bytes; ++i) {
        r.d[2 * i] = static_cast<uint8_t>(b[i] >> 4);
        r.d[2 * i + 1] = static_cast<uint8_t>(b[i] & 0xF);
    }
    return r;
}

void pack(kel_value* v, const digits& x) {
    uint8_t* b = bytes_of(v) + digit_start;
    for (int i = 0; i < digit_bytes; ++i) b[i] = static_cast<uint8_t>((x.d[2 * i] << 4) | x.d[2 * i + 1]);
}

bool digits_zero_q(const kel_value* v) {
    const uint8_t* b = bytes_of(v) + digit_start;
    for (int i = 0; i < digit_bytes; ++i)
        if (b[i]) return false;
    return true;
}

// A money! cell with no currency, positive, zero.
void clear_cell(kel_value* cell) { kel::init_cell(cell, types::money); }

// Significant digits of an amount: 22 less its leading zeros, at least 1.
int significant(const digits& x) {
    for (int i = 0; i < digit_count; ++i)
        if (x.d[i]) return digit_count - i;
    return 1;
}

int compare_magnitudes(const digits& a, const digits& b) {
    for (int i = 0; i < digit_count; ++i)
        if (a.d[i] != b.d[i]) return a.d[i] < b.d[i] ? -1 : 1;
    return 0;
}

[[noreturn]] void overflow() { type_limit(types::money); }

// a + b on magnitudes; a carry out of position 1 is an overflow.
digits add_magnitudes(const digits& a, const digits& b) {
    if (a.d[0] + b.d[0] >= 10) overflow();
    digits r;
    unsigned carry = 0;
    for (int i = digit_count - 1; i >= 0; --i) {
        unsigned sum = a.d[i] + b.d[i] + carry;
        carry = sum >= 10;
        r.d[i] = static_cast<uint8_t>(carry ? sum - 10 : sum);
    }
    if (carry) overflow();
    return r;
}

// a - b on magnitudes, a >= b.
digits subtract_magnitudes(const digits& a, const digits& b) {
    digits r;
    int borrow = 0;
    for (int i = digit_count - 1; i >= 0; --i) {
        int d = a.d[i] - b.d[i] - borrow;
        borrow = d < 0;
        r.d[i] = static_cast<uint8_t>(borrow ? d + 10 : d);
    }
    return r;
}

// Long division of `n` dividend digits by b: quotient digits into q (n of
// them), what is left into rest (22 digits). The window holds one digit more
// than the divisor's significant digits, which is all a partial remainder
// can need.
void long_divide(const uint8_t* dividend, int n, const digits& b, uint8_t* q, digits* rest) {
    const int sb = significant(b);
    const uint8_t* divisor = b.d + (digit_count - sb);
    const int w = sb + 1;
    uint8_t window[digit_count + 1] = {};
    for (int k = 0; k < n; ++k) {
        std::memmove(window, window + 1, static_cast<size_t>(w - 1));
        window[w - 1] = dividend[k];
        uint8_t count = 0;
        for (;;) {
            // window >= divisor (the divisor read with a leading zero)
            int c = window[0] ? 1 : 0;
            for (int i = 1; c == 0 && i < w; ++i)
                if (window[i] != divisor[i - 1]) c = window[i] < divisor[i - 1] ? -1 : 1;
            if (c < 0) break;
            int borrow = 0;
            for (int i = w - 1; i >= 0; --i) {
                int d = window[i] - (i > 0 ? divisor[i - 1] : 0) - borrow;
                borrow = d < 0;
                window[i] = static_cast<uint8_t>(borrow ? d + 10 : d);
            }
            ++count;
        }
        q[k] = count;
    }
    if (rest) {
        // the remainder is below the divisor, so it fits the divisor's digits
        std::memset(rest->d, 0, digit_count);
        std::memcpy(rest->d + (digit_count - sb), window + 1, static_cast<size_t>(sb));
    }
}

// a / b on magnitudes (b not zero) with the quotient's five fraction digits,
// or a remainder b when `remainder` is set.
digits divide_magnitudes(const digits& a, const digits& b, bool remainder, bool precheck) {
    if (precheck && digit_count < significant(a) - significant(b) + 6) overflow();
    if (remainder) {
        uint8_t q[digit_count];
        digits rest;
        long_divide(a.d, digit_count, b, q, &rest);
        return rest;
    }
    uint8_t scaled[digit_count + fraction_digits] = {};
    std::memcpy(scaled, a.d, digit_count);
    uint8_t q[digit_count + fraction_digits];
    long_divide(scaled, digit_count + fraction_digits, b, q, nullptr);
    for (int k = 0; k < fraction_digits; ++k)
        if (q[k]) overflow();
    digits r;
    std::memcpy(r.d, q + fraction_digits, digit_count);
    return r;
}

// --- packed amounts ---------------------------------------------------------------------

// The 22 nibbles as one number, most significant nibble highest: comparing
// two as integers compares the amounts, and each nibble stays a decimal digit.
using word88 = unsigned __int128;

constexpr word88 nibbles_of(unsigned n) {
    word88 r = 0;
    for (int i = 0; i < digit_count; ++i) r = (r << 4) | n;
    return r;
}
constexpr word88 all_sixes = nibbles_of(6);
constexpr word88 all_nines = nibbles_of(9);
constexpr word88 low_nibble_bits = nibbles_of(1);  // bit 0 of every nibble
constexpr int packed_bits = 4 * digit_count;       // 88

word88 load(const kel_value* v) {
    const uint8_t* b = bytes_of(v) + digit_start;
    uint64_t low;
    std::memcpy(&low, b + 3, 8);
    low = __builtin_bswap64(low);
    const uint64_t high = (static_cast<uint64_t>(b[0]) << 16) | (static_cast<uint64_t>(b[1]) << 8) | b[2];
    return (static_cast<word88>(high) << 64) | low;
}

void save(kel_value* v, word88 x) {
    uint8_t* b = bytes_of(v) + digit_start;
    const uint64_t high = static_cast<uint64_t>(x >> 64);
    b[0] = static_cast<uint8_t>(high >> 16);
    b[1] = static_cast<uint8_t>(high >> 8);
    b[2] = static_cast<uint8_t>(high);
    const uint64_t low = __builtin_bswap64(static_cast<uint64_t>(x));
    std::memcpy(b + 3, &low, 8);
}

// Decimal a + b nibble by nibble: each nibble is biased by 6 so that a
// decimal carry is a binary one, and the bias is taken back from the nibbles
// that did not carry. A carry out of digit position 1 is an overflow.
word88 packed_add(word88 a, word88 b) {
    const word88 t1 = a + all_sixes;
    const word88 t2 = t1 + b;
    if (t2 >> packed_bits) overflow();
    const word88 carries = t2 ^ t1 ^ b;  // bit 0 of each nibble that got a carry from below
    const word88 no_carry = ~(carries >> 4) & low_nibble_bits;  // per nibble, at its bit 0
    return t2 - no_carry * 6;
}

// Decimal a - b for a >= b: a plus the ten's complement of b, whose carry
// out is dropped.
word88 packed_subtract(word88 a, word88 b) {
    if (b == 0) return a;
    const word88 nines = all_nines - b;  // no nibble borrows: every digit is at most 9
    const word88 t1 = a + all_sixes;
    const word88 t2 = t1 + nines;
    const word88 carries = t2 ^ t1 ^ nines;
    const word88 no_carry = ~(carries >> 4) & low_nibble_bits;
    const word88 sum = (t2 - no_carry * 6) & ((static_cast<word88>(1) << packed_bits) - 1);
    // + 1, the last step of the complement: the sum is below the carry-out
    // bound (a >= b), so this addition cannot overflow.
    const word88 u1 = sum + all_sixes;
    const word88 u2 = u1 + 1;
    const word88 c2 = u2 ^ u1 ^ 1;
    const word88 nc2 = ~(c2 >> 4) & low_nibble_bits;
    return (u2 - nc2 * 6) & ((static_cast<word88>(1) << packed_bits) - 1);
}

// Significant digits of a packed amount, at least 1 (as `significant`).
int packed_significant(word88 x) {
    if (x == 0) return 1;
    const uint64_t high = static_cast<uint64_t>(x >> 64);
    // The high word holds the top 24 of the 88 bits.
    const int zero_bits = high ? __builtin_clzll(high) - 40 : 24 + __builtin_clzll(static_cast<uint64_t>(x));
    return digit_count - zero_bits / 4;
}

// Sixteen packed digits to their binary value, lanes of two, four and
// eight digits combined in place.
uint64_t bcd16_value(uint64_t x) {
    x -= ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) * 6;
    x -= ((x >> 8) & 0x00FF00FF00FF00FFull) * 156;
    x -= ((x >> 16) & 0x0000FFFF0000FFFFull) * 55536;
    x -= (x >> 32) * 4194967296ull;
    return x;
}

constexpr uint64_t ten_to_16 = 10000000000000000ull;

// The binary value of a packed amount (its units of 0.00001).
word88 binary_of(word88 x) {
    const uint64_t low = bcd16_value(static_cast<uint64_t>(x));
    const uint64_t high = bcd16_value(static_cast<uint64_t>(x >> 64));
    return static_cast<word88>(high) * ten_to_16 + low;
}

// n below 10^8 as eight packed digits.
uint64_t bcd8_of(uint32_t n) {
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i, n /= 10) r |= static_cast<uint64_t>(n % 10) << (4 * i);
    return r;
}

// A binary value below 10^22 packed.
word88 packed_of(word88 v) {
    // v / 10^16 as (v / 2^16) / 5^16: the shifted value fits 64 bits.
    const uint64_t high = static_cast<uint64_t>(v >> 16) / 152587890625ull;
    const uint64_t low = static_cast<uint64_t>(v - static_cast<word88>(high) * ten_to_16);
    const uint64_t low_bcd = bcd8_of(static_cast<uint32_t>(low % 100000000u)) |
                             (bcd8_of(static_cast<uint32_t>(low / 100000000u)) << 32);
    return (static_cast<word88>(bcd8_of(static_cast<uint32_t>(high))) << 64) | low_bcd;
}

constexpr word88 ten_to(int n) {
    word88 r = 1;
    for (int i = 0; i < n; ++i) r *= 10;
    return r;
}
constexpr word88 amount_limit = ten_to(digit_count);  // 10^22

// floor(A x B / 10^5) on packed magnitudes: the lower five of the ten
// fraction digits are dropped, not rounded. More than 28 significant digits
// between the two is an overflow before the product is formed, so the
// product fits 128 bits.
word88 packed_multiply(word88 a, word88 b) {
    if (packed_significant(a) + packed_significant(b) > digit_count + 6) overflow();
    const word88 p = binary_of(a) * binary_of(b) / ten_to(fraction_digits);
    if (p >= amount_limit) overflow();
    return packed_of(p);
}

// A / B with five fraction digits, or A rem B, on packed magnitudes (B not
// zero). Only a result that does not fit is an overflow: a remainder is
// below the divisor, and a quotient is tested as formed (A x 10^5 is below
// 10^27, well within the 128 bits). A count of digits alone would refuse
// quotients that fit, $1000000000000 / $0.00009 among them.
word88 packed_divide(word88 a, word88 b, bool remainder) {
    const word88 x = binary_of(a), y = binary_of(b);
    if (remainder) return packed_of(x % y);
    const word88 q = x * ten_to(fraction_digits) / y;
    if (q >= amount_limit) overflow();
    return packed_of(q);
}

// --- signed amounts ------------------------------------------------------------------

// The amount's sign as -1, 0 or 1 from its digits and sign bit.
int sign_of(const kel_value* v) {
    if (digits_zero_q(v)) return 0;
    return sign_bit(v) ? -1 : 1;
}

// Writes a magnitude and a sign into a money! cell (a zero keeps no sign).
void store(kel_value* cell, const digits& x, bool negative) {
    pack(cell, x);
    store_sign(cell, negative && !digits_zero_q(cell));
}

// The magnitude and sign of a + b or a - b.
word88 signed_sum(const kel_value* a, const kel_value* b, bool subtract, bool* negative_out) {
    const word88 x = load(a), y = load(b);
    const int sa = x == 0 ? 0 : sign_bit(a) ? -1 : 1;
    int sb = y == 0 ? 0 : sign_bit(b) ? -1 : 1;
    if (subtract) sb = -sb;
    word88 r;
    bool negative;
    if (sb == 0) r = x, negative = sa < 0;
    else if (sa == 0) r = y, negative = sb < 0;
    else if (sa == sb) r = packed_add(x, y), negative = sa < 0;
    else if (x >= y) r = packed_subtract(x, y), negative = sa < 0;
    else r = packed_subtract(y, x), negative = sb < 0;
    *negative_out = negative;
    return r;
}

// a + b and a - b on cells; the result's digits and sign go into `out`
// (its header type and currency already set by the caller).
void add_cells(const kel_value* a, const kel_value* b, bool subtract, kel_value* out) {
    bool negative;
    const word88 r = signed_sum(a, b, subtract, &negative);
    save(out, r);
    store_sign(out, negative && r != 0);
}

// --- text ------------------------------------------------------------------------------

// The fraction digits form and mold show: money-digits as an integer!,
// 2 otherwise, never more than 5.
int shown_fraction_digits() {
    const kel_value* v = settings.money_digits ? settings.money_digits() : nullptr;
    if (!v || type_of(v) != types::integer) return 2;
    const int32_t n = get_integer(v);
    return n > fraction_digits ? fraction_digits : n;
}

// The money text into a char buffer (at most 1 + 3 + 1 + 17 + 5 + 1 + 5
// separators), the currency code excepted: it is written as a word by the
// caller. Answers the length; `code_at` gets the offset the code goes to.
size_t plain_text(const kel_value* v, int shown, bool grouping, char* out, size_t* code_at) {
    const digits x = unpack(v);
    size_t n = 0;
    if (sign_of(v) < 0) out[n++] = '-';
    *code_at = n;
    out[n++] = '$';
    const int sig = significant(x);
    if (sig > fraction_digits) {
        for (int p = digit_count - sig + 1; p <= integer_digits; ++p) {
            out[n++] = static_cast<char>('0' + x.d[p - 1]);
            if (grouping && p != integer_digits && (p + 1) % 3 == 0) out[n++] = '\'';
        }
    } else {
        out[n++] = '0';
    }
    if (shown > 0) {
        out[n++] = '.';
        for (int p = integer_digits + 1; p <= integer_digits + shown; ++p) out[n++] = static_cast<char>('0' + x.d[p - 1]);
    }
    return n;
}

}  // namespace

// --- currencies --------------------------------------------------------------------------

namespace {

struct cells_view {
    const kel_value* cells;
    int64_t count;
};

cells_view currency_cells() {
    const kel_value* list = settings.currency_list ? settings.currency_list() : nullptr;
    if (!list || type_of(list) != types::block || !series_node(list)) return {nullptr, 0};
    const units_view u = units_from_head(list);
    return {reinterpret_cast<const kel_value*>(u.data), u.count};
}

}  // namespace

int32_t currency_position(uint32_t symbol) {
    const cells_view l = currency_cells();
    if (symbol == 0 || l.count == 0) return -1;
    const uint32_t wanted = symbol::resolve(symbol);
    const int64_t n = l.count < 255 ? l.count : 255;
    for (int64_t i = 0; i < n; ++i)
        if (in_family(type_of(&l.cells[i]), family::word) && symbol::resolve(word_symbol(&l.cells[i])) == wanted)
            return static_cast<int32_t>(i + 1);
    return -1;
}

uint32_t currency_symbol(uint32_t index) {
    if (index == 0) return 0;
    const cells_view l = currency_cells();
    if (static_cast<int64_t>(index) > l.count) return 0;
    const kel_value* c = &l.cells[index - 1];
    return in_family(type_of(c), family::word) ? word_symbol(c) : 0;
}

namespace {

// The currency of a money! as a word! (none without one) into `out`: the
// list's own word, so nothing is allocated.
void currency_word(const kel_value* money, kel_value* out) {
    const uint32_t index = currency_of(money);
    const cells_view l = currency_cells();
    if (index == 0 || static_cast<int64_t>(index) > l.count || !in_family(type_of(&l.cells[index - 1]), family::word))
        return set_none(out);
    const kel_value w = l.cells[index - 1];
    *out = w;
    out->header = types::word;
}

}  // namespace

// --- construction and conversions -------------------------------------------------------

kel_value* from_digits(kel_value* cell, bool negative, uint32_t currency, const char* int_start,
                       const char* int_end, const char* fraction_start, const char* fraction_end) {
    int32_t index = 0;
    if (currency != 0) {
        index = currency_position(currency);
        if (index < 0) return nullptr;
    }
    digits x{};
    int p = integer_digits;  // stored from the units digit up
    for (const char* c = int_end; c > int_start;) {
        const char ch = *--c;
        if (ch == '\'') continue;
        if (p == 0) {
            // only leading zeros may lie beyond the 17th digit
            for (const char* z = int_start; z <= c; ++z)
                if (*z != '0' && *z != '\'') return nullptr;
            break;
        }
        x.d[--p] = static_cast<uint8_t>(ch - '0');
    }
    int f = integer_digits;
    for (const char* c = fraction_start; c < fraction_end && f < digit_count; ++c) {
        if (*c == '\'') continue;
        x.d[f++] = static_cast<uint8_t>(*c - '0');
    }
    clear_cell(cell);
    store_currency(cell, static_cast<uint32_t>(index));
    store(cell, x, negative);
    return cell;
}

kel_value* init_cell(kel_value* cell, int sign, uint32_t currency, const uint8_t* digit_bytes_in) {
    clear_cell(cell);
    store_currency(cell, currency);
    std::memcpy(bytes_of(cell) + digit_start, digit_bytes_in, digit_bytes);
    store_sign(cell, sign);
    return cell;
}

int32_t integer_value(const kel_value* money) {
    const digits x = unpack(money);
    const int whole = significant(x) - fraction_digits;
    if (whole > 10) type_limit(types::integer);
    uint64_t m = 0;
    for (int p = 1; p <= integer_digits; ++p) m = m * 10 + x.d[p - 1];
    const bool negative = sign_of(money) < 0;
    if (m > (negative ? 2147483648ull : 2147483647ull)) type_limit(types::integer);
    return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(m)) : static_cast<int32_t>(m);
}

kel_value* init_integer(kel_value* cell, int32_t value) {
    clear_cell(cell);
    uint32_t m = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    digits x{};
    for (int p = integer_digits; m != 0; --p, m /= 10) x.d[p - 1] = static_cast<uint8_t>(m % 10);
    store(cell, x, value < 0);
    return cell;
}

kel_value* push_integer(int32_t value) { return init_integer(stack::alloc_cell(), value); }

kel_value* init_float(kel_value* cell, double x, bool strict) {
    const short_text t = float_text::form(x, 22, true);
    const char* point = static_cast<const char*>(std::memchr(t.chars, '.', t.length));
    const char* end = t.chars + t.length;
    const bool special = point && point + 1 < end && point[1] == '#';
    if (special || float_too_small_q(x) || float_too_big_q(x) || (strict && point && end - point - 1 > fraction_digits)) {
        kel_value type, arg;
        set_datatype(&type, types::money);
        set_float(&arg, x);
        fire(error_category::script, "bad-make-arg", &type, &arg);
    }
    const char* digits_start = t.chars + (t.chars[0] == '-' ? 1 : 0);
    const char* int_end = point ? point : end;
    kel_value made;
    if (!from_digits(&made, x < 0, 0, digits_start, int_end, point ? point + 1 : end, end)) overflow();
    *cell = made;
    return cell;
}

kel_value* push_float(double x, bool strict) {
    kel_value made;
    init_float(&made, x, strict);
    kel_value* c = stack::alloc_cell();
    *c = made;
    return c;
}

double float_value(const kel_value* money) {
    if (sign_of(money) == 0) return 0.0;
    char text[32];
    size_t code_at = 0;
    kel_value plain = *money;
    store_sign(&plain, 0);
    const size_t n = plain_text(&plain, fraction_digits, false, text, &code_at);
    const float_text::parse_result r = float_text::parse(text + 1, text + n, 0);
    if (r.unconsumed != 0) {
        kel_value type;
        set_datatype(&type, types::float_);
        fire(error_category::script, "bad-make-arg", &type, money);
    }
    return sign_of(money) < 0 ? -r.value : r.value;
}

int sign_q(const kel_value* money) { return sign_of(money); }

// --- the arithmetic core ---------------------------------------------------------------

namespace {

// An operand of math_op as a money! (integers exactly, floats and percents
// through their text, digits past the fifth dropped).
void operand(const kel_value* v, kel_value* out) {
    switch (type_of(v)) {
        case types::money: *out = *v; return;
        case types::integer: init_integer(out, get_integer(v)); return;
        case types::float_:
        case types::percent: init_float(out, get_float(v), false); return;
        default: invalid_type(type_of(v));
    }
}

}  // namespace

namespace {

// A money! cell of a currency, a packed magnitude and a sign (a zero keeps
// none), made whole in registers: a cell written byte by byte and then
// copied would hold the copy until the bytes reached memory.
kel_value money_cell(uint32_t currency, word88 x, bool negative) {
    kel_value c;
    c.header = types::money | ((negative && x != 0) ? sign_mask : 0u);
    const uint32_t high = static_cast<uint32_t>(static_cast<uint64_t>(x >> 64));
    c.w1 = (currency & 0xFFu) | ((high >> 16 & 0xFFu) << 8) | ((high >> 8 & 0xFFu) << 16) | ((high & 0xFFu) << 24);
    const uint64_t low = __builtin_bswap64(static_cast<uint64_t>(x));
    c.w2 = static_cast<uint32_t>(low);
    c.w3 = static_cast<uint32_t>(low >> 32);
    return c;
}

}  // namespace

signal_code math_op(int op) {
    kel_value* left = arg(1);
    const kel_value* right = arg(2);
    const uint32_t lt = type_of(left), rt = type_of(right);
    // money + money and money - money, what loops of amounts do, as add_cells
    if ((op == op_add || op == op_subtract) && lt == types::money && rt == types::money) {
        const kel_value a = *left, b = *right;
        const uint32_t ca = currency_of(&a), cb = currency_of(&b);
        if (ca && cb && ca != cb) fire(error_category::script, "wrong-denom", &a, &b);
        bool negative;
        const word88 r = signed_sum(&a, &b, op == op_subtract, &negative);
        *left = money_cell(cb ? cb : ca, r, negative);
        return signal_code::none;
    }
    if (op == op_multiply && lt == types::money && rt == types::money) invalid_type(types::money);
    if ((op == op_divide || op == op_remainder) && lt != types::money && rt == types::money) invalid_type(lt);
    kel_value a, b;
    operand(left, &a);
    operand(right, &b);
    const uint32_t ca = currency_of(&a), cb = currency_of(&b);
    if (ca && cb && ca != cb) fire(error_category::script, "wrong-denom", &a, &b);
    kel_value r;
    clear_cell(&r);
    store_currency(&r, cb ? cb : ca);
    const int sa = sign_of(&a), sb = sign_of(&b);
    switch (op) {
        case op_add: add_cells(&a, &b, false, &r); break;
        case op_subtract: add_cells(&a, &b, true, &r); break;
        case op_multiply:
            if (sa != 0 && sb != 0) {
                const word88 p = packed_multiply(load(&a), load(&b));
                save(&r, p);
                store_sign(&r, sa != sb && p != 0);
            }
            break;
        case op_divide:
        case op_remainder: {
            if (sb == 0) zero_divide();
            const bool rem = op == op_remainder;
            if (sa != 0) {
                const word88 q = packed_divide(load(&a), load(&b), rem);
                save(&r, q);
                store_sign(&r, (rem ? sa < 0 : sa != sb) && q != 0);
            }
            if (!rem && lt == types::money && rt == types::money) {
                set_float(left, float_value(&r));
                return signal_code::none;
            }
            break;
        }
        default: invalid_type(types::money);
    }
    *left = r;
    return signal_code::none;
}

// --- compare ------------------------------------------------------------------------------

namespace {

// Amounts by value: the signs first, then the digit bytes (swapped for two
// negative values).
int32_t compare_amounts(const kel_value* a, const kel_value* b) {
    const int sa = sign_of(a), sb = sign_of(b);
    if (sa != sb || sa == 0) return (sa > sb) - (sa < sb);
    const int c = std::memcmp(bytes_of(a) + digit_start, bytes_of(b) + digit_start, digit_bytes);
    const int32_t r = (c > 0) - (c < 0);
    return sa < 0 ? -r : r;
}

}  // namespace

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t ot = type_of(other);
    if ((op == cmp::strict_equal || op == cmp::same || op == cmp::find) && ot != types::money) return 1;
    kel_value b;
    switch (ot) {
        case types::money: {
            b = *other;
            const uint32_t ca = currency_of(value), cb = currency_of(&b);
            switch (op) {
                case cmp::lesser:
                case cmp::lesser_or_equal:
                case cmp::greater:
                case cmp::greater_or_equal:
                    if (ca && cb && ca != cb) fire(error_category::script, "wrong-denom", value, other);
                    break;
                case cmp::sort:
                case cmp::case_sort:
                    if (ca != cb) {
                        if (ca == 0 || cb == 0) return ca == 0 ? -1 : 1;
                        const uint32_t na = currency_symbol(ca), nb = currency_symbol(cb);
                        if (na && nb) {
                            const int32_t c = symbol::compare_names(na, nb, op);
                            if (c != 0) return c;
                        }
                        if (na != nb) return ca < cb ? -1 : 1;
                    }
                    break;
                case cmp::find:
                    if (cb && ca != cb) return 1;
                    break;
                case cmp::strict_equal:
                case cmp::same:
                    if (ca != cb) return 1;
                    break;
                default:
                    if (ca && cb && ca != cb) return 1;
                    break;
            }
            break;
        }
        case types::integer: init_integer(&b, get_integer(other)); break;
        case types::float_: {
            const double x = get_float(other);
            if (std::isnan(x)) return float_::unordered_answer(op);
            // A float beyond the money range compares by its value: above or
            // below every amount, or just beside zero on its own side.
            if (float_too_big_q(x)) return x > 0 ? -1 : 1;
            if (float_too_small_q(x)) {
                const int s = sign_of(value);
                return s != 0 ? s : (x > 0 ? -1 : 1);
            }
            init_float(&b, x, true);
            break;
        }
        default: return cmp::not_comparable;
    }
    return compare_amounts(value, &b);
}

uint32_t hash(const kel_value* value, bool) {
    uint8_t key[digit_bytes + 1];
    std::memcpy(key, bytes_of(value) + digit_start, digit_bytes);
    key[digit_bytes] = sign_of(value) < 0 ? 1 : 0;
    return hashtable::murmur3(key, sizeof key);
}

// --- form and mold --------------------------------------------------------------------

int32_t form_text(const kel_value* value, kel_value* buffer, int32_t part, bool all, bool grouping) {
    char text[40];
    size_t code_at = 0;
    const size_t n = plain_text(value, all ? fraction_digits : shown_fraction_digits(), grouping, text, &code_at);
    text_out::append(buffer, text, code_at);
    const uint32_t code = currency_symbol(currency_of(value));
    if (code) {
        symbol::append_name(buffer, code);
        part -= 3;
    }
    text_out::append(buffer, text + code_at, n - code_at);
    return part - static_cast<int32_t>(n);
}

namespace {

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    return form_text(value, buffer, part, false, true);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part, int32_t) {
    return form_text(value, buffer, part, all, false);
}

// --- actions -------------------------------------------------------------------------------

[[noreturn]] void bad_make_arg(const kel_value* spec) {
    kel_value type;
    set_datatype(&type, types::money);
    fire(error_category::script, "bad-make-arg", &type, spec);
}

// A block of [currency] amount [fraction] into `out`.
void make_from_block(const kel_value* block, kel_value* out) {
    const units_view u = units_from_head(block);
    const auto* cells = reinterpret_cast<const kel_value*>(u.data);
    if (u.count < 1 || u.count > 3) bad_make_arg(block);
    int64_t i = 0;
    int32_t currency = 0;
    if (in_family(type_of(&cells[0]), family::word)) {
        if (u.count == 1) bad_make_arg(block);
        currency = currency_position(word_symbol(&cells[0]));
        if (currency < 0) bad_make_arg(&cells[0]);
        i = 1;
    }
    if (i >= u.count || u.count - i > 2) bad_make_arg(block);
    const kel_value* amount = &cells[i];
    kel_value m;
    if (type_of(amount) == types::integer) init_integer(&m, get_integer(amount));
    else if (type_of(amount) == types::float_) init_float(&m, get_float(amount), true);
    else bad_make_arg(amount);
    if (i + 1 < u.count) {
        const kel_value* fraction = &cells[i + 1];
        if (type_of(amount) != types::integer || type_of(fraction) != types::integer) bad_make_arg(block);
        const int32_t f = get_integer(fraction);
        if (f < 0 || f > 99999) bad_make_arg(fraction);
        digits x{};
        for (int p = digit_count, v = f; v != 0; --p, v /= 10) x.d[p - 1] = static_cast<uint8_t>(v % 10);
        kel_value part;
        clear_cell(&part);
        store(&part, x, get_integer(amount) < 0);
        kel_value sum;
        clear_cell(&sum);
        add_cells(&m, &part, false, &sum);
        m = sum;
    }
    store_currency(&m, static_cast<uint32_t>(currency));
    *out = m;
}

signal_code to(const refinements&) {
    kel_value* result = arg(1);
    const kel_value* spec = arg(2);
    const uint32_t st = type_of(spec);
    kel_value m;
    switch (st) {
        case types::money: m = *spec; break;
        case types::integer: init_integer(&m, get_integer(spec)); break;
        case types::float_: init_float(&m, get_float(spec), true); break;
        default: {
            if (!in_family(st, family::string_like)) bad_to_arg(types::money, spec);
            const units_view u = units_from_head(spec);
            lexer::money_text t;
            if (lexer::text_to_money(u.data, static_cast<size_t>(u.count), u.unit, &t) != lexer::number_error::none)
                bad_to_arg(types::money, spec);
            uint32_t code = 0;
            if (t.has_currency) {
                char name[4] = {t.currency[0], t.currency[1], t.currency[2], 0};
                code = symbol::intern(name);
            }
            if (!from_digits(&m, t.negative, code, t.integer_digits, t.integer_digits + t.integer_count,
                             t.fraction_digits, t.fraction_digits + t.fraction_count))
                bad_to_arg(types::money, spec);
            break;
        }
    }
    *result = m;
    return signal_code::none;
}

signal_code make(const refinements& refs) {
    const kel_value* spec = arg(2);
    const uint32_t st = type_of(spec);
    if (in_family(st, family::word)) {
        const int32_t c = currency_position(word_symbol(spec));
        if (c < 0) bad_make_arg(spec);
        kel_value m;
        clear_cell(&m);
        store_currency(&m, static_cast<uint32_t>(c));
        *arg(1) = m;
        return signal_code::none;
    }
    if (in_family(st, family::block_like)) {
        kel_value m;
        make_from_block(spec, &m);
        *arg(1) = m;
        return signal_code::none;
    }
    return to(refs);
}

signal_code add(const refinements&) { return math_op(op_add); }
signal_code subtract(const refinements&) { return math_op(op_subtract); }
signal_code multiply(const refinements&) { return math_op(op_multiply); }
signal_code divide(const refinements&) { return math_op(op_divide); }
signal_code remainder(const refinements&) { return math_op(op_remainder); }

signal_code absolute(const refinements&) {
    store_sign(arg(1), 0);
    return signal_code::none;
}

signal_code negate(const refinements&) {
    toggle_sign(arg(1));
    return signal_code::none;
}

bool odd_units(const kel_value* v) { return (unpack(v).d[integer_digits - 1] & 1) != 0; }

signal_code even_q(const refinements&) {
    set_logic(stack::arguments(), !odd_units(arg(1)));
    return signal_code::none;
}

signal_code odd_q(const refinements&) {
    set_logic(stack::arguments(), odd_units(arg(1)));
    return signal_code::none;
}

// Whether the multiple of the step just below a magnitude is an odd one:
// /even sends a tie away from it. For the step $1 this is the units digit;
// any other step counts its own multiples (25 by 10 goes to 20, as for
// float! and time!).
bool odd_multiple_below(const digits& magnitude, const digits& rem, const digits& step) {
    kel_value below{}, unit{};
    pack(&below, subtract_magnitudes(magnitude, rem));
    pack(&unit, step);
    return ((binary_of(load(&below)) / binary_of(load(&unit))) & 1) != 0;
}

// Refinement slots of round.
enum { ref_to = 0, ref_even, ref_down, ref_half_down, ref_floor, ref_ceiling, ref_half_ceiling };

signal_code round(const refinements& refs) {
    kel_value* v = arg(1);
    const int s = sign_of(v);
    if (s == 0) return signal_code::none;
    kel_value scale;
    if (refs.has(ref_to)) {
        const kel_value* given = stack::arguments() + refs.at[ref_to];
        switch (type_of(given)) {
            case types::money: scale = *given; break;
            case types::integer: init_integer(&scale, get_integer(given)); break;
            case types::float_: init_float(&scale, get_float(given), true); break;
            default: not_related("round", type_of(given));
        }
    } else {
        init_integer(&scale, 1);
    }
    if (sign_of(&scale) == 0) return signal_code::none;
    const digits magnitude = unpack(v);
    const digits step = unpack(&scale);
    // The remainder of any magnitude by a non-zero scale fits: no range
    // check here, unlike the divide.
    const digits rem = divide_magnitudes(magnitude, step, true, false);
    bool rem_zero = true;
    for (uint8_t d : rem.d) rem_zero = rem_zero && d == 0;
    if (rem_zero) return signal_code::none;
    const digits up = subtract_magnitudes(step, rem);
    const int c = compare_magnitudes(rem, up);
    const bool tie = c == 0;
    const bool negative = s < 0;
    bool choose_up;
    const bool nearest_up = c >= 0;
    if (refs.has(ref_down)) choose_up = false;
    else if (refs.has(ref_floor)) choose_up = negative;
    else if (refs.has(ref_ceiling)) choose_up = !negative;
    else if (refs.has(ref_even)) choose_up = tie ? odd_multiple_below(magnitude, rem, step) : nearest_up;
    else if (refs.has(ref_half_down)) choose_up = tie ? false : nearest_up;
    else if (refs.has(ref_half_ceiling)) choose_up = tie ? !negative : nearest_up;
    else choose_up = nearest_up;
    const digits r = choose_up ? add_magnitudes(magnitude, up) : subtract_magnitudes(magnitude, rem);
    store(v, r, negative);
    return signal_code::none;
}

// One digit drawn in 0..bound; the bound itself is kept only when two more
// draws agree, which keeps the result at or below the value.
uint8_t draw_digit(uint8_t bound, bool secure) {
    for (;;) {
        const uint32_t d = (secure ? random::secure_next() : random::next()) % (bound + 1u);
        if (d != bound) return static_cast<uint8_t>(d);
        const uint32_t x = secure ? random::secure_next() : random::next();
        const uint32_t y = secure ? random::secure_next() : random::next();
        if (x % 1000 == y % 1000) return bound;
    }
}

signal_code random(const refinements& refs) {
    kel_value* v = arg(1);
    if (refs.has(0)) {
        random::seed(v->w1 ^ v->w2 ^ v->w3 ^ (v->header & sign_mask));
        set_unset(stack::arguments());
        return signal_code::none;
    }
    const bool secure = refs.has(1);
    digits x = unpack(v);
    int i = digit_count - significant(x);
    bool below = false;
    for (; i < digit_count; ++i) {
        if (below) {
            x.d[i] = static_cast<uint8_t>((secure ? random::secure_next() : random::next()) % 10);
            continue;
        }
        const uint8_t d = draw_digit(x.d[i], secure);
        below = d < x.d[i];
        x.d[i] = d;
    }
    store(v, x, sign_bit(v) != 0);
    return signal_code::none;
}

bool word_named(const kel_value* w, const char* name) {
    const char* text = nullptr;
    size_t length = 0;
    if (!hooks.word_spelling || !hooks.word_spelling(w, &text, &length)) return false;
    if (length != std::strlen(name)) return false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != name[i]) return false;
    }
    return true;
}

// 1 for the currency (index 1 or `code`), 2 for the amount (2 or
// `amount`), 0 for anything else.
int field_of(const kel_value* selector) {
    const uint32_t t = type_of(selector);
    if (t == types::integer) {
        const int32_t i = get_integer(selector);
        return i == 1 || i == 2 ? i : 0;
    }
    if (in_family(t, family::word)) {
        if (word_named(selector, "code")) return 1;
        if (word_named(selector, "amount")) return 2;
    }
    return 0;
}

void get_field(const kel_value* money, int field, kel_value* out) {
    if (field == 1) return currency_word(money, out);
    kel_value amount = *money;
    amount.header &= ~header_new_line;
    store_currency(&amount, 0);
    *out = amount;
}

signal_code eval_path(const path_step_args& step) {
    if (step.value_to_set) fire(error_category::script, "bad-path-set", step.path, step.element);
    const int f = field_of(step.element);
    if (f == 0) {
        if (type_of(step.element) == types::integer) out_of_range(step.element);
        fire(error_category::script, "invalid-path", step.path, step.element);
    }
    const kel_value money = *step.parent;
    if (step.result) get_field(&money, f, step.result);
    return signal_code::none;
}

signal_code pick(const refinements&) {
    const kel_value money = *arg(1);
    const int f = field_of(arg(2));
    if (f == 0) out_of_range(arg(2));
    get_field(&money, f, stack::arguments());
    return signal_code::none;
}

// --- services for integer! and float! -------------------------------------------------

void from_integer_service(int32_t value, kel_value* out) { init_integer(out, value); }
void from_float_service(double value, kel_value* out) { init_float(out, value, true); }

}  // namespace

void install_services() {
    hooks.money_from_integer = from_integer_service;
    hooks.money_from_float = from_float_service;
    hooks.money_to_float = float_value;
    hooks.money_to_integer = integer_value;
}

registry::registration row() {
    registry::registration r;
    r.id = types::money;
    r.hash = hash;
    r.marker = kel::collector::cell_markers::nothing;
    r.families = family::scalar;
    r.parent = 0;
    r.name = "money!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = static_cast<action_fn>(random);
    r[act::to] = static_cast<action_fn>(to);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::absolute] = static_cast<action_fn>(absolute);
    r[act::add] = static_cast<action_fn>(add);
    r[act::divide] = static_cast<action_fn>(divide);
    r[act::multiply] = static_cast<action_fn>(multiply);
    r[act::negate] = static_cast<action_fn>(negate);
    r[act::remainder] = static_cast<action_fn>(remainder);
    r[act::round] = static_cast<action_fn>(round);
    r[act::subtract] = static_cast<action_fn>(subtract);
    r[act::even_q] = static_cast<action_fn>(even_q);
    r[act::odd_q] = static_cast<action_fn>(odd_q);
    r[act::pick] = static_cast<action_fn>(pick);
    return r;
}

}  // namespace kel::money
