#include "kernel/float_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace kel::float_text {

namespace {

// Texts exponents saturate at: far beyond any double, so the result is
// already infinity or zero, and no arithmetic on them can overflow.
constexpr int exponent_saturation = 19999;

// Significant digits kept when reading. Every double and every halfway point
// between two doubles has at most 768 significant decimal digits, so any
// digits past 800 can only tell "exactly this" from "a little more": one
// sticky digit stands for them without changing the rounding.
constexpr int kept_digits = 800;

void set_text(digits& d, const char* text) {
    std::size_t n = std::strlen(text);
    std::memcpy(d.text, text, n + 1);
    d.count = static_cast<int>(n);
}

// Splits the scientific text "d[.ddd]e(+|-)xx" of a positive finite value into
// d's digit string (trailing zeros dropped) and the exponent of 0.ddd form.
void take_scientific(const char* first, const char* last, digits& d) {
    int n = 0;
    const char* p = first;
    for (; p < last && *p != 'e'; ++p)
        if (*p != '.') d.text[n++] = *p;
    while (n > 1 && d.text[n - 1] == '0') --n;
    d.text[n] = '\0';
    d.count = n;
    // The exponent text is produced by to_chars: 'e', a sign, 2 or 3 digits.
    ++p;
    bool negative = *p == '-';
    int x = 0;
    for (++p; p < last; ++p) x = x * 10 + (*p - '0');
    d.exponent = (negative ? -x : x) + 1;
}

void append(short_text& t, char c) { t.chars[t.length++] = c; }

void append(short_text& t, const char* s, int n) {
    std::memcpy(t.chars + t.length, s, static_cast<std::size_t>(n));
    t.length += static_cast<uint32_t>(n);
}

void append_int(short_text& t, int v) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    append(t, buf, static_cast<int>(r.ptr - buf));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

digits shortest_digits(double value, int limit, bool zero_flag) {
    digits d{};
    d.negative = std::signbit(value) && !std::isnan(value);
    if (std::isnan(value)) {
        set_text(d, "1.#NaN");
        d.exponent = special_exponent;
        return d;
    }
    if (std::isinf(value)) {
        set_text(d, d.negative ? "-1.#INF" : "1.#INF");
        d.exponent = special_exponent;
        return d;
    }
    if (value == 0.0) {
        set_text(d, zero_flag ? (d.negative ? "-0.0" : "0.0") : (d.negative ? "-0" : "0"));
        d.exponent = zero_exponent;
        return d;
    }
    double magnitude = std::fabs(value);
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    take_scientific(buf, r.ptr, d);
    // The shortest string has at most 17 digits, so a limit that binds is
    // below 17 and its text fits the buffer.
    if (limit > 0 && d.count > limit) {
        r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, limit - 1);
        take_scientific(buf, r.ptr, d);
    }
    return d;
}

short_text form(double value, int limit, bool point_zero) {
    digits d = shortest_digits(value, limit, point_zero);
    short_text t{};
    if (d.exponent >= zero_exponent) {
        append(t, d.text, d.count);
        t.chars[t.length] = '\0';
        return t;
    }
    if (d.negative) append(t, '-');
    const int n = d.count;
    const int e = d.exponent;
    if (e > 17 || e < -6) {
        append(t, d.text[0]);
        append(t, '.');
        if (n > 1)
            append(t, d.text + 1, n - 1);
        else if (point_zero)
            append(t, '0');
        else
            --t.length;  // no digit after the point: drop it
        append(t, 'e');
        append_int(t, e - 1);
    } else if (e <= 0) {
        append(t, "0.", 2);
        for (int i = 0; i < -e; ++i) append(t, '0');
        append(t, d.text, n);
    } else if (n <= e) {
        append(t, d.text, n);
        for (int i = n; i < e; ++i) append(t, '0');
        if (point_zero) append(t, ".0", 2);
    } else {
        append(t, d.text, e);
        append(t, '.');
        append(t, d.text + e, n - e);
    }
    t.chars[t.length] = '\0';
    return t;
}

parse_result parse(const char* start, const char* end, int adjustment) {
    const std::size_t whole = static_cast<std::size_t>(end - start);
    const char* p = start;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';

    // The significant digits (leading zeros skipped) as an integer D, read as
    // D x 10^scale; `sticky` records a non-zero digit past the kept ones.
    char sig[kept_digits + 24];
    int nsig = 0;
    bool sticky = false;
    int64_t scale = 0;
    bool any_digit = false;

    for (; p < end && *p == '0'; ++p) any_digit = true;
    int64_t int_digits = 0;
    for (; p < end && is_digit(*p); ++p, ++int_digits) {
        any_digit = true;
        if (nsig < kept_digits) {
            sig[nsig++] = *p;
        } else {
            ++scale;
            sticky |= *p != '0';
        }
    }
    if (p < end && *p == '.') {
        if (int_digits == 1 && end - p >= 3 && p[1] == '#') {
            char c = p[2];
            if (c == 'I' || c == 'i')
                return {negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity(),
                        0};
            if (c == 'N' || c == 'n') return {std::numeric_limits<double>::quiet_NaN(), 0};
        }
        for (++p; p < end && is_digit(*p); ++p) {
            any_digit = true;
            if (nsig == 0 && *p == '0') {
                --scale;  // opening zeros of the fraction only lower the exponent
            } else if (nsig < kept_digits) {
                sig[nsig++] = *p;
                --scale;
            } else {
                sticky |= *p != '0';
            }
        }
    }
    if (!any_digit) return {0.0, whole};

    int64_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        bool exp_negative = false;
        if (q < end && (*q == '+' || *q == '-')) exp_negative = *q++ == '-';
        if (q < end && is_digit(*q)) {
            for (; q < end && is_digit(*q); ++q) {
                exponent = exponent * 10 + (*q - '0');
                if (exponent > exponent_saturation) exponent = exponent_saturation;
            }
            if (exp_negative) exponent = -exponent;
            p = q;
        }
    }
    const std::size_t unconsumed = static_cast<std::size_t>(end - p);

    if (sticky) {
        sig[nsig++] = '1';
        --scale;
    }
    while (nsig > 0 && sig[nsig - 1] == '0') {
        --nsig;
        ++scale;
    }
    if (nsig == 0) return {0.0, unconsumed};

    scale += exponent + adjustment;
    // The value lies in [10^(magnitude-1), 10^magnitude).
    const int64_t magnitude = scale + nsig;
    double value;
    if (magnitude > 310) {
        value = std::numeric_limits<double>::infinity();
    } else if (magnitude < -330) {
        value = 0.0;
    } else {
        char* q = sig + nsig;
        *q++ = 'e';
        q = std::to_chars(q, sig + sizeof sig, scale).ptr;
        auto r = std::from_chars(sig, q, value, std::chars_format::scientific);
        if (r.ec == std::errc::result_out_of_range)
            value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    // 0.0 - value: a negative zero is never produced.
    return {negative ? 0.0 - value : value, unconsumed};
}

}  // namespace kel::float_text
