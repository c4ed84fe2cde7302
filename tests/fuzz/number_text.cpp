// Fuzz target for the number text readers: arbitrary bytes go to every
// text-to-number conversion (as bytes and as 2- and 4-byte string units),
// and every float that comes out is molded and read back, which must give
// the same bits. Bytes are also taken as a double's bit pattern for the
// formatters. Any mismatch aborts, so the random driver reports it.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kernel/float_text.h"
#include "kernel/number_text.h"

namespace {

void check_round_trip(double v) {
    if (std::isnan(v)) return;
    kel::short_text t = kel::float_text::form(v, 0, true);
    kel::float_text::parse_result r = kel::float_text::parse(t.chars, t.chars + t.length, 0);
    double back = r.value;
    // Mold writes -0.0 as "-0.0", which reads as +0.0 by design.
    if (r.unconsumed != 0 || (v != 0.0 && std::memcmp(&back, &v, 8) != 0) || (v == 0.0 && back != 0.0)) std::abort();
    for (int kind = 0; kind <= 5; ++kind) {
        kel::short_text f = kel::float_::format(v, kind, kind % 2 == 0);
        if (f.length == 0 || f.length >= sizeof f.chars || std::strlen(f.chars) != f.length) std::abort();
    }
}

// glibc's strtod is correctly rounded: an independent reader for every text
// of the float syntax without separators.
void check_against_strtod(const char* text, size_t size, double ours) {
    if (!kel::lexer::float_syntax_q(text, size) || std::memchr(text, '\'', size)) return;
    char copy[400];
    std::memcpy(copy, text, size);
    copy[size] = '\0';
    double want = std::strtod(copy, nullptr);
    if (want == 0.0) want = 0.0;  // our reader never gives -0.0
    if (std::memcmp(&want, &ours, 8) != 0) std::abort();
}

void run(const char* text, size_t size, const uint8_t* data);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized copy, so reading one byte too far is caught.
    std::unique_ptr<char[]> buf(new char[size]);
    if (size > 0) std::memcpy(buf.get(), data, size);
    run(buf.get(), size, data);
    // The same bytes spelled in the alphabet of number texts, so that the
    // deeper paths (long mantissas, exponents, specials) are reached often.
    static const char alphabet[] = "0123456789012345678901234567890123456789..eE+-'#,INFinfNaN %";
    std::unique_ptr<char[]> spelled(new char[size]);
    for (size_t i = 0; i < size; ++i) spelled[i] = alphabet[data[i] % (sizeof alphabet - 1)];
    run(spelled.get(), size, data);
    return 0;
}

namespace {

void run(const char* text, size_t size, const uint8_t* data) {
    const char* end = text + size;

    int adjustment = size > 0 ? static_cast<int8_t>(data[0]) : 0;
    kel::float_text::parse_result p = kel::float_text::parse(text, end, adjustment);
    if (p.unconsumed > size) std::abort();
    if (std::isfinite(p.value) && std::signbit(p.value) && p.value == 0.0) std::abort();  // no -0.0
    check_round_trip(p.value);

    kel::lexer::float_conversion f = kel::lexer::load_float(text, end, 0);
    if (f.error == kel::lexer::number_error::none) {
        check_round_trip(f.value);
        check_against_strtod(text, size, f.value);
    }
    kel::lexer::load_float(text, end, -2);
    kel::lexer::integer_literal i = kel::lexer::load_integer(text, end);
    if (i.kind == kel::lexer::integer_literal::floating) check_round_trip(i.float_value);

    for (int unit_size : {1, 2, 4}) {
        size_t units = size / static_cast<size_t>(unit_size);
        kel::lexer::text_to_integer(text, units, unit_size);
        kel::lexer::float_conversion t = kel::lexer::text_to_float(text, units, unit_size);
        if (t.error == kel::lexer::number_error::none) check_round_trip(t.value);
    }

    if (size >= 8) {
        double v;
        std::memcpy(&v, data + size - 8, 8);
        check_round_trip(v);
        for (int limit = 1; limit <= 17; limit += 4) kel::float_text::form(v, limit, limit % 2 == 1);
        kel::float_::format_g(v, static_cast<int>(data[0] % 20));
    }
}

}  // namespace
