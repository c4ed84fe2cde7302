#include "kernel/number_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace kel::float_ {

namespace {

constexpr double machine_epsilon = 2.220446049250313e-16;

void append(short_text& t, char c) { t.chars[t.length++] = c; }

void append(short_text& t, const char* s, std::size_t n) {
    std::memcpy(t.chars + t.length, s, n);
    t.length += static_cast<uint32_t>(n);
}

short_text text_of(const char* s) {
    short_text t{};
    append(t, s, std::strlen(s));
    t.chars[t.length] = '\0';
    return t;
}

// Reads to_chars' scientific text "d[.ddd]e(+|-)xx" into at most `max`
// digits (kept as written, trailing zeros included) and the exponent x of
// the d.ddd x 10^x form. Returns the digit count.
int split_scientific(const char* first, const char* last, char* digits, int max, int& exponent) {
    int n = 0;
    const char* p = first;
    for (; p < last && *p != 'e'; ++p)
        if (*p != '.' && n < max) digits[n++] = *p;
    ++p;
    bool negative = *p == '-';
    int x = 0;
    for (++p; p < last; ++p) x = x * 10 + (*p - '0');
    exponent = negative ? -x : x;
    return n;
}

// A long text whose last two digits are "01" or "99" is the noise of a
// binary fraction (0.7999999999999999), which the pretty form hides.
bool needs_retry(const short_text& t) {
    const char* s = t.chars;
    const char* e = static_cast<const char*>(std::memchr(s, 'e', t.length));
    std::size_t part = e ? static_cast<std::size_t>(e - s) : t.length;
    bool long_text;
    if (e) {
        long_text = part > 16;
    } else {
        char first = s[0] == '-' ? s[1] : s[0];
        long_text = part > (first == '0' ? 17u : 16u);
    }
    if (!long_text || part < 2) return false;
    char a = s[part - 2], b = s[part - 1];
    return (a == '0' && b == '1') || (a == '9' && b == '9');
}

// A plain float text without a decimal point gets ".0" before its exponent
// or at its end (3 becomes 3.0, 1e20 becomes 1.0e20).
void add_point_zero(short_text& t) {
    if (std::memchr(t.chars, '.', t.length)) return;
    char* e = static_cast<char*>(std::memchr(t.chars, 'e', t.length));
    if (e) {
        std::size_t at = static_cast<std::size_t>(e - t.chars);
        std::memmove(e + 2, e, t.length - at);
        e[0] = '.';
        e[1] = '0';
        t.length += 2;
    } else {
        append(t, ".0", 2);
    }
}

bool reads_back_single(const short_text& t, float value) {
    const double d = float_text::parse(t.chars, t.chars + t.length, 0).value;
    // Beyond the largest float32 the narrowing saturates as float_::to_single
    // does (no out-of-range conversion): up to half a unit past it, then infinity.
    if (std::fabs(d) > double(std::numeric_limits<float>::max()))
        return std::fabs(value) == std::numeric_limits<float>::max() && std::fabs(d) < 0x1p128 - 0x1p103 &&
               std::signbit(d) == std::signbit(value);
    return static_cast<float>(d) == value;
}

// As the lexer reads a percent literal: the text before "%" with its decimal
// exponent lowered by 2.
bool reads_back_percent(const short_text& t, double fraction) {
    const float_text::parse_result r = float_text::parse(t.chars, t.chars + t.length - 1, -2);
    return r.value == fraction;
}

}  // namespace

short_text format_g(double value, int precision) {
    short_text t{};
    if (std::isnan(value)) return text_of("1.#NaN");
    if (std::isinf(value)) return text_of(value < 0 ? "-1.#INF" : "1.#INF");
    if (std::signbit(value)) append(t, '-');
    double magnitude = std::fabs(value);
    if (magnitude == 0.0) {
        append(t, '0');
        t.chars[t.length] = '\0';
        return t;
    }
    // 17 digits tell every double apart; the text record holds no more.
    const int p = precision < 1 ? 1 : precision > 17 ? 17 : precision;

    char buf[64];
    char digits[24];
    int x;
    auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, p - 1);
    split_scientific(buf, r.ptr, digits, p, x);

    // to_chars rounds exact ties to even; an exact tie shows as a trailing 5
    // in the (p + 1)-digit text, and only then is the exact expansion (at
    // most 767 significant digits) needed to tell a tie from a near miss.
    r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, p);
    const char* mark = static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(r.ptr - buf)));
    if (mark[-1] == '5') {
        char exact[800];
        char exact_digits[800];
        int exact_x;
        auto re = std::to_chars(exact, exact + sizeof exact, magnitude, std::chars_format::scientific, 780);
        int n = split_scientific(exact, re.ptr, exact_digits, static_cast<int>(sizeof exact_digits), exact_x);
        bool tie = exact_digits[p] == '5';
        for (int i = p + 1; tie && i < n; ++i) tie = exact_digits[i] == '0';
        if (tie) {  // away from zero: the truncated digits plus one
            std::memcpy(digits, exact_digits, static_cast<std::size_t>(p));
            x = exact_x;
            int i = p - 1;
            while (i >= 0 && digits[i] == '9') digits[i--] = '0';
            if (i >= 0) {
                ++digits[i];
            } else {
                digits[0] = '1';
                ++x;
            }
        }
    }

    int n = p;
    while (n > 1 && digits[n - 1] == '0') --n;
    if (x < -4 || x >= p) {
        append(t, digits[0]);
        if (n > 1) {
            append(t, '.');
            append(t, digits + 1, static_cast<std::size_t>(n - 1));
        }
        append(t, 'e');
        auto re = std::to_chars(t.chars + t.length, t.chars + sizeof t.chars, x);
        t.length = static_cast<uint32_t>(re.ptr - t.chars);
    } else if (x >= 0) {
        append(t, digits, static_cast<std::size_t>(x + 1));
        if (n > x + 1) {
            append(t, '.');
            append(t, digits + x + 1, static_cast<std::size_t>(n - x - 1));
        }
    } else {
        append(t, "0.", 2);
        for (int i = 0; i < -x - 1; ++i) append(t, '0');
        append(t, digits, static_cast<std::size_t>(n));
    }
    t.chars[t.length] = '\0';
    return t;
}

short_text format(double value, int kind, bool pretty) {
    if (kind < single_kind || kind > point_kind) kind = double_kind;
    const bool percent = kind == single_percent_kind || kind == percent_kind;
    // A percent's text keeps its sign whatever the number, so a NaN or an
    // infinity still reads as a percent.
    if (std::isnan(value)) return text_of(percent ? "1.#NaN%" : "1.#NaN");
    if (std::isinf(value)) return text_of(value < 0 ? (percent ? "-1.#INF%" : "-1.#INF") : (percent ? "1.#INF%" : "1.#INF"));
    if (pretty && std::fabs(value) < machine_epsilon)
        return text_of(percent ? "0%" : kind == point_kind ? "0" : "0.0");

    short_text t;
    switch (kind) {
        case seconds_kind: t = float_text::form(value, 6, false); break;
        case percent_kind: t = format_g(value, 13); break;
        case double_kind: t = format_g(value, 16); break;
        default: t = format_g(value, 7); break;
    }
    if (pretty && needs_retry(t)) {
        bool short_kind = kind == single_kind || kind == seconds_kind || kind == point_kind;
        t = format_g(value, short_kind ? 5 : 14);
    }
    if (percent) {
        append(t, '%');
    } else if (kind == single_kind || kind == double_kind) {
        add_point_zero(t);
    }
    t.chars[t.length] = '\0';
    return t;
}

short_text format_exact_single(float value, int kind, bool pretty) {
    short_text t = format(value, kind, pretty);
    if (!std::isfinite(value)) return t;
    // float32 needs at most 9 digits; the read back goes through a double
    // (as the lexer's does), so more are tried should that ever round apart.
    return widen_to_read_back(
        t, 8, [value](const short_text& text) { return reads_back_single(text, value); },
        [value, kind](int digits) {
            short_text text = format_g(value, digits);
            if (kind == single_kind) add_point_zero(text);
            text.chars[text.length] = '\0';
            return text;
        });
}

short_text format_exact_percent(double fraction, bool pretty) {
    short_text t = format_percent(fraction, pretty);
    if (!std::isfinite(fraction) || reads_back_percent(t, fraction)) return t;
    const double hundredfold = fraction * 100.0;
    if (std::isfinite(hundredfold)) {
        const auto percent_reads_back = [fraction](const short_text& text) {
            return reads_back_percent(text, fraction);
        };
        t = widen_to_read_back(t, 14, percent_reads_back, [hundredfold](int digits) {
            short_text text = format_g(hundredfold, digits);
            append(text, '%');
            text.chars[text.length] = '\0';
            return text;
        });
        if (percent_reads_back(t)) return t;
    }
    // The hundredfold is rounded once more than the fraction, so its digits
    // may never read back; the fraction's own 17 digits with the exponent
    // raised by 2 always do.
    char buf[40];
    char digits[24];
    int x;
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(fraction), std::chars_format::scientific, 16);
    int n = split_scientific(buf, r.ptr, digits, 17, x);
    while (n > 1 && digits[n - 1] == '0') --n;
    t = short_text{};
    if (std::signbit(fraction)) append(t, '-');
    append(t, digits[0]);
    if (n > 1) {
        append(t, '.');
        append(t, digits + 1, static_cast<std::size_t>(n - 1));
    }
    append(t, 'e');
    auto re = std::to_chars(t.chars + t.length, t.chars + sizeof t.chars, x + 2);
    t.length = static_cast<uint32_t>(re.ptr - t.chars);
    append(t, '%');
    t.chars[t.length] = '\0';
    return t;
}

short_text format_percent(double fraction, bool pretty) {
    const double hundredfold = fraction * 100.0;
    if (!std::isinf(hundredfold) || std::isinf(fraction)) return format(hundredfold, percent_kind, pretty);
    // The fraction is above 1.7e306, so its 13-digit text has an exponent,
    // and the hundredfold's digits are the fraction's own.
    short_text t = format_g(fraction, 13);
    char* mark = static_cast<char*>(std::memchr(t.chars, 'e', t.length));
    int exponent = 0;
    std::from_chars(mark + 1, t.chars + t.length, exponent);
    auto r = std::to_chars(mark + 1, t.chars + sizeof t.chars, exponent + 2);
    t.length = static_cast<uint32_t>(r.ptr - t.chars);
    append(t, '%');
    t.chars[t.length] = '\0';
    return t;
}

}  // namespace kel::float_

namespace kel::integer {

short_text decimal_text(int32_t value) {
    short_text t{};
    auto r = std::to_chars(t.chars, t.chars + sizeof t.chars, value);
    t.length = static_cast<uint32_t>(r.ptr - t.chars);
    t.chars[t.length] = '\0';
    return t;
}

}  // namespace kel::integer

namespace kel::lexer {

namespace {

// Longest float text `to` accepts: texts of 313 bytes or more are refused.
// A literal may be longer (a JSON number of many digits): the lexer reads
// every length, through a stack copy below this limit.
constexpr std::size_t float_text_limit = 313;

bool is_digit(uint32_t c) { return c >= '0' && c <= '9'; }

uint32_t unit_at(const void* start, std::size_t i, int unit_size) {
    const unsigned char* p = static_cast<const unsigned char*>(start);
    switch (unit_size) {
        case 2: {
            uint16_t u;
            std::memcpy(&u, p + 2 * i, 2);
            return u;
        }
        case 4: {
            uint32_t u;
            std::memcpy(&u, p + 4 * i, 4);
            return u;
        }
        default: return p[i];
    }
}

// The float syntax as a state table. Classes: sign, digit, exponent mark,
// point, apostrophe, other, end of text. States:
//   0 start            1 after the sign      2 integer digits
//   3 apostrophe in the integer digits       4 point with no digit before
//   5 point after digits                     6 fraction digits
//   7 exponent mark    8 exponent sign       9 exponent digits
//   10 apostrophe in the fraction digits
// `accept` ends the text successfully, `reject` refuses it.
enum : int8_t { reject = -1, accept = -2 };
enum syntax_class : int { c_sign, c_digit, c_exp, c_point, c_quote, c_other, c_end };

constexpr int8_t syntax_table[11][7] = {
    //  sign    digit   exp     point   quote   other   end
    {1, 2, reject, 4, reject, reject, reject},                // 0
    {reject, 2, reject, 4, reject, reject, reject},           // 1
    {reject, 2, 7, 5, 3, reject, accept},                     // 2
    {reject, 2, reject, reject, reject, reject, reject},      // 3
    {reject, 6, reject, reject, reject, reject, reject},      // 4
    {reject, 6, reject, reject, reject, reject, accept},      // 5
    {reject, 6, 7, reject, 10, reject, accept},               // 6
    {8, 9, reject, reject, reject, reject, reject},           // 7
    {reject, 9, reject, reject, reject, reject, reject},      // 8
    {reject, 9, reject, reject, reject, reject, accept},      // 9
    {reject, 6, reject, reject, reject, reject, reject},      // 10
};

int syntax_class_of(unsigned char c) {
    if (c >= '0' && c <= '9') return c_digit;
    switch (c) {
        case '+':
        case '-': return c_sign;
        case 'e':
        case 'E': return c_exp;
        case '.': return c_point;
        case '\'': return c_quote;
        default: return c_other;
    }
}

// Drops the apostrophes of a float text that passed the syntax check and
// reads it. `out` holds at least `length` bytes.
float_conversion read_checked(const char* text, std::size_t length, char* out, int adjustment) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] != '\'') out[n++] = text[i];
    float_text::parse_result r = float_text::parse(out, out + n, adjustment);
    if (r.unconsumed != 0) return {std::numeric_limits<double>::quiet_NaN(), number_error::invalid};
    return {r.value, number_error::none};
}

bool letters_equal(const char* s, const char* upper) {
    for (int i = 0; i < 3; ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

bool float_syntax_any_length(const char* text, std::size_t length) {
    int state = 0;
    for (std::size_t i = 0;; ++i) {
        int cls = i < length ? syntax_class_of(static_cast<unsigned char>(text[i])) : c_end;
        int next = syntax_table[state][cls];
        if (next == accept) return true;
        if (next == reject) return false;
        state = next;
    }
}

// A literal past the stack copy's size: only its apostrophes need a copy.
float_conversion read_long(const char* text, std::size_t length, int adjustment) {
    if (!std::memchr(text, '\'', length)) {
        const float_text::parse_result r = float_text::parse(text, text + length, adjustment);
        if (r.unconsumed != 0) return {std::numeric_limits<double>::quiet_NaN(), number_error::invalid};
        return {r.value, number_error::none};
    }
    std::string plain;
    try {
        plain.resize(length);
    } catch (const std::bad_alloc&) {
        return {std::numeric_limits<double>::quiet_NaN(), number_error::invalid};
    }
    return read_checked(text, length, plain.data(), adjustment);
}

}  // namespace

bool float_syntax_q(const char* text, std::size_t length) {
    return length < float_text_limit && float_syntax_any_length(text, length);
}

integer_conversion text_to_integer(const void* start, std::size_t units, int unit_size) {
    std::size_t i = 0;
    bool negative = false;
    if (units > 0) {
        uint32_t c = unit_at(start, 0, unit_size);
        if (c == '+' || c == '-') {
            negative = c == '-';
            i = 1;
        }
    }
    // The magnitude is kept below 2^31 (2^31 itself for a negative value),
    // so the smallest integer reads like any other.
    const uint32_t limit = negative ? 2147483648u : 2147483647u;
    uint32_t magnitude = 0;
    bool any_digit = false;
    number_error error = number_error::none;
    for (; i < units; ++i) {
        uint32_t c = unit_at(start, i, unit_size);
        if (c == '\'') continue;
        if (!is_digit(c)) {
            error = number_error::invalid;
            break;
        }
        any_digit = true;
        uint32_t digit = c - '0';
        if (magnitude > (limit - digit) / 10) return {0, number_error::overflow};
        magnitude = magnitude * 10 + digit;
    }
    if (!any_digit) return {0, number_error::invalid};
    int32_t value = negative ? static_cast<int32_t>(0u - magnitude) : static_cast<int32_t>(magnitude);
    return {value, error};
}

float_conversion text_to_float(const void* start, std::size_t units, int unit_size) {
    const float_conversion failed{std::numeric_limits<double>::quiet_NaN(), number_error::invalid};
    if (units >= float_text_limit) return failed;
    char bytes[float_text_limit];
    for (std::size_t i = 0; i < units; ++i) {
        uint32_t c = unit_at(start, i, unit_size);
        if (c > 0x7F) return failed;
        bytes[i] = c == ',' ? '.' : static_cast<char>(c);
    }
    if (!float_syntax_q(bytes, units)) return failed;
    char plain[float_text_limit];
    return read_checked(bytes, units, plain, 0);
}

namespace {
bool ascii_letter(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
}  // namespace

number_error text_to_money(const void* start, std::size_t units, int unit_size, money_text* out) {
    *out = money_text{};
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return unit_at(start, k, unit_size); };
    if (units == 0) return number_error::invalid;
    if (at(0) == '+' || at(0) == '-') out->negative = at(i++) == '-';
    if (i < units && ascii_letter(at(i))) {
        if (units - i < 5) return number_error::invalid;
        for (int k = 0; k < 3; ++k, ++i) {
            if (!ascii_letter(at(i))) return number_error::invalid;
            out->currency[k] = static_cast<char>(at(i));
        }
        if (at(i) != '$') return number_error::invalid;
        out->has_currency = true;
        ++i;
    } else if (i < units && at(i) == '$') {
        ++i;
    }
    // The previous unit: 0 at the start of the digits, else a digit, "'" or ".".
    uint32_t previous = 0;
    bool point = false;
    bool any_digit = false;
    for (; i < units; ++i) {
        const uint32_t c = at(i);
        if (c == '\'') {
            if (!is_digit(previous) || point) return number_error::invalid;
        } else if (c == '.') {
            if (point || !is_digit(previous)) return number_error::invalid;
            point = true;
        } else if (is_digit(c)) {
            any_digit = true;
            if (point) {
                if (out->fraction_count == 5) return number_error::invalid;
                out->fraction_digits[out->fraction_count++] = static_cast<char>(c);
            } else if (c != '0' || out->integer_count > 0) {
                if (out->integer_count == 17) return number_error::invalid;
                out->integer_digits[out->integer_count++] = static_cast<char>(c);
            }
        } else {
            return number_error::invalid;
        }
        previous = c;
    }
    if (!any_digit || !is_digit(previous)) return number_error::invalid;
    return number_error::none;
}

integer_literal load_integer(const char* start, const char* end) {
    integer_literal out{integer_literal::integer_error, 0, 0.0};
    const char* p = start;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    uint64_t magnitude = 0;
    std::size_t digit_count = 0;
    bool apostrophes = false;
    for (const char* q = p; q < end; ++q) {
        if (*q == '\'') {
            if (q + 1 < end && q[1] == '\'') return out;
            apostrophes = true;
            continue;
        }
        if (!is_digit(static_cast<unsigned char>(*q))) return out;
        // Counting goes on past 10 digits; the value is read as a float then.
        if (++digit_count <= 10) magnitude = magnitude * 10 + static_cast<uint64_t>(*q - '0');
    }
    if (digit_count == 0) return out;
    if (digit_count <= 10) {
        if (magnitude <= 2147483647u) {
            out.kind = integer_literal::integer;
            out.integer_value = negative ? -static_cast<int32_t>(magnitude) : static_cast<int32_t>(magnitude);
            return out;
        }
        if (negative && magnitude == 2147483648u && !apostrophes && end - start == 11) {
            out.kind = integer_literal::integer;
            out.integer_value = std::numeric_limits<int32_t>::min();
            return out;
        }
    }
    float_conversion f = load_float(start, end, 0);
    out.kind = f.error == number_error::none ? integer_literal::floating : integer_literal::float_error;
    out.float_value = f.value;
    return out;
}

bool simple_decimal(const char* p, const char* e, double* out) {
    static constexpr double powers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const bool negative = p < e && *p == '-';
    if (p < e && (*p == '-' || *p == '+')) ++p;
    uint64_t mantissa = 0;
    int digits = 0, fraction = -1;
    for (; p < e; ++p) {
        if (*p >= '0' && *p <= '9') {
            mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
            if (++digits > 15) return false;
            if (fraction >= 0) ++fraction;
        } else if (*p == '.' && fraction < 0) {
            fraction = 0;
        } else {
            return false;
        }
    }
    if (digits == 0 || fraction < 0) return false;
    const double v = static_cast<double>(mantissa) / powers[fraction];
    *out = (negative && mantissa != 0) ? -v : v;
    return true;
}

float_conversion load_float(const char* start, const char* end, int adjustment) {
    const float_conversion failed{std::numeric_limits<double>::quiet_NaN(), number_error::invalid};
    const std::size_t length = static_cast<std::size_t>(end - start);
    if (std::memchr(start, '#', length)) {
        const char* p = start;
        bool negative = false;
        if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        if (end - p < 6 || std::memcmp(p, "1.#", 3) != 0) return failed;
        if (letters_equal(p + 3, "NAN")) return {std::numeric_limits<double>::quiet_NaN(), number_error::none};
        if (letters_equal(p + 3, "INF"))
            return {negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity(),
                    number_error::none};
        return failed;
    }
    if (!float_syntax_any_length(start, length)) return failed;
    if (length >= float_text_limit) return read_long(start, length, adjustment);
    char plain[float_text_limit];
    return read_checked(start, length, plain, adjustment);
}

}  // namespace kel::lexer
