// vector: see vector.h. Element addresses are re-read from the node after
// every call that may allocate (growth moves the buffer); sizes are computed
// in 64 bits and checked against the buffer limit before anything grows, so a
// refused change leaves the vector as it was.
#include "datatypes/vector.h"
#include "datatypes/typeset.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/symbol.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/murmur3.h"
#include "kernel/native_api.h"
#include "kernel/ownership.h"
#include "kernel/random.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"

namespace kel::vector {

namespace {

using memory::buffer_header;

inline buffer_header* buf(const kel_value* v) { return memory::buffer_of(series_node(v)); }
inline char* unit_ptr(buffer_header* h, int64_t i) { return h->data() + h->head + (i << h->shift()); }
inline kel_value* arg(int n) { return stack::argument(n); }

// The head clamped into [0, elements].
int64_t head_of(const kel_value* v) {
    return std::clamp<int64_t>(series_head(v), 0, static_cast<int64_t>(buf(v)->units()));
}

void notify(const kel_value* v, const char* word, const kel_value* value, int64_t index, int64_t count) {
    if (buf(v)->flags & memory::flag_owned)
        ownership::check(v, word, value, static_cast<int32_t>(index), static_cast<int32_t>(count));
}

[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }

// The most bytes a vector holds: what a signed 32-bit size counts (the
// series limit of 1-byte units), whatever the element width.
constexpr uint64_t max_bytes = memory::max_capacity(1);

// A float64 narrowed to float32 as IEEE rounding does, without the
// conversion of an out-of-range value (undefined in C++): magnitudes from
// FLT_MAX plus half its last place up become infinite.
float narrow(double d) {
    if (!std::isfinite(d)) return static_cast<float>(d);
    constexpr double overflow_at = 3.4028235677973366e38;  // FLT_MAX + 2^103
    const double m = std::fabs(d);
    if (m >= overflow_at) return d < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    if (m > FLT_MAX) return d < 0 ? -FLT_MAX : FLT_MAX;
    return static_cast<float>(d);
}

inline void write_int(char* p, uint32_t width, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    switch (width) {
        case 1: *p = static_cast<char>(static_cast<uint8_t>(u)); break;
        case 2: { const uint16_t s = static_cast<uint16_t>(u); std::memcpy(p, &s, 2); break; }
        default: std::memcpy(p, &u, 4); break;
    }
}

inline void write_float(char* p, uint32_t width, double d) {
    if (width == 4) {
        const float f = narrow(d);
        std::memcpy(p, &f, 4);
    } else {
        std::memcpy(p, &d, 8);
    }
}

// A 32-bit char element keeps every bit it is given, so only a code point
// may become one: anything else would read back as no character at all.
// (8- and 16-bit elements keep low bits, which are always a code point.)
bool holds_whole_chars(const kel_value* v) { return v->w3 == types::char_ && buf(v)->unit() == 4; }
bool code_point_q(int32_t bits) { return static_cast<uint32_t>(bits) <= char_::max_code_point; }

bool element_type_q(uint32_t t) {
    return t == types::integer || t == types::char_ || t == types::float_ || t == types::percent;
}

// Makes room for `count` more elements at the tail; answers the address of
// the first (valid until the next allocation). The tail moves past them.
char* claim_tail(const kel_value* v, int64_t count) {
    buffer_header* h = buf(v);
    const uint64_t bytes = static_cast<uint64_t>(count) << h->shift();
    if (static_cast<uint64_t>(h->tail) + bytes > max_bytes) no_memory();
    h = memory::ensure_tail_room(series_node(v), static_cast<uint32_t>(bytes));
    char* p = h->data() + h->tail;
    h->tail += static_cast<uint32_t>(bytes);
    return p;
}

void zero_fill_to(const kel_value* v, int64_t count) {
    const int64_t have = buf(v)->units();
    if (count <= have) return;
    char* p = claim_tail(v, count - have);
    std::memset(p, 0, static_cast<size_t>((count - have) << buf(v)->shift()));
}

}  // namespace

uint32_t default_width(uint32_t element_type) { return float_layout_q(element_type) ? 8 : 4; }

// --- the cell -------------------------------------------------------------------------

void init_cell(kel_value* cell, int64_t count, uint32_t element_type, uint32_t width) {
    if (count < 1) count = 1;
    if (static_cast<uint64_t>(count) * width > max_bytes) no_memory();
    const uint32_t node = memory::new_series(static_cast<uint32_t>(count), width, 0);
    set_series(cell, types::vector, 0, node, element_type);
}

int32_t ks_length_q(const kel_value* vector) {
    return static_cast<int32_t>(buf(vector)->units() - head_of(vector));
}

void ks_clear(const kel_value* vector) {
    buffer_header* h = buf(vector);
    const int64_t head = head_of(vector);
    h->tail = h->head + static_cast<uint32_t>(head << h->shift());
}

// --- elements -------------------------------------------------------------------------

int32_t get_int_element(const char* address, uint32_t width) {
    switch (width) {
        case 1: return static_cast<int8_t>(*address);
        case 2: { int16_t v; std::memcpy(&v, address, 2); return v; }
        default: { int32_t v; std::memcpy(&v, address, 4); return v; }
    }
}

uint32_t get_char_element(const char* address, uint32_t width) {
    switch (width) {
        case 1: return static_cast<uint8_t>(*address);
        case 2: { uint16_t v; std::memcpy(&v, address, 2); return v; }
        default: { uint32_t v; std::memcpy(&v, address, 4); return v; }
    }
}

double get_float_element(const char* address, uint32_t width) {
    if (width == 4) {
        float f;
        std::memcpy(&f, address, 4);
        return f;
    }
    double d;
    std::memcpy(&d, address, 8);
    return d;
}

void element_at(const kel_value* vector, const char* address, kel_value* out) {
    const uint32_t width = buf(vector)->unit();
    switch (vector->w3) {
        case types::char_: set_char(out, get_char_element(address, width)); return;
        case types::float_: set_float(out, get_float_element(address, width)); return;
        case types::percent: set_float(out, get_float_element(address, width), types::percent); return;
        default: set_integer(out, get_int_element(address, width)); return;
    }
}

kel_value* push_element(const kel_value* vector, const char* address) {
    kel_value e;
    element_at(vector, address, &e);
    return stack::push_copy(&e);
}

void set_element(char* address, const kel_value* value, uint32_t width) {
    switch (type_of(value)) {
        case types::integer:
        case types::char_: write_int(address, width, static_cast<int32_t>(value->w2)); return;
        case types::float_:
        case types::percent: write_float(address, width, get_float(value)); return;
        default: scalar::invalid_type(type_of(value));
    }
}

void check_storable(const kel_value* vector, const kel_value* value) {
    const uint32_t t = type_of(value);
    if (!element_type_q(t)) scalar::invalid_type(t);
    if (float_layout_q(t) != float_layout_q(vector->w3)) fire(error_category::script, "invalid-arg", value);
    if (t == types::integer && holds_whole_chars(vector) && !code_point_q(get_integer(value)))
        fire(error_category::script, "out-of-range", value);
}

// --- building -------------------------------------------------------------------------

char* append_int32(const kel_value* vector, int32_t value) {
    char* p = claim_tail(vector, 1);
    write_int(p, buf(vector)->unit(), value);
    return p;
}

void append_value(const kel_value* vector, const kel_value* value) {
    const kel_value v = *value;  // the value may sit in a buffer that growth moves
    if (type_of(&v) != vector->w3) fire(error_category::script, "invalid-arg", &v);
    const uint32_t width = buf(vector)->unit();
    set_element(claim_tail(vector, 1), &v, width);
}

void append_block(const kel_value* vector, const kel_value* block) {
    const int32_t n = block::ks_length_q(block);
    const int32_t head = std::max(series_head(block), 0);
    for (int32_t i = 0; i < n; ++i) append_value(vector, block::ks_abs_at(block, head + i));
}

kel_value* to_block(const kel_value* vector) {
    const kel_value v = *vector;
    const int32_t n = ks_length_q(&v);
    const int64_t head = head_of(&v);
    kel_value* b = block::push_only_star(n);
    for (int32_t i = 0; i < n; ++i) {
        kel_value e;
        element_at(&v, unit_ptr(buf(&v), head + i), &e);
        block::ks_add(b, &e);
    }
    return b;
}

// --- text -----------------------------------------------------------------------------

int32_t mold_elements(const kel_value* vector, kel_value* buffer, bool molded, bool all, bool part_given,
                      int32_t part) {
    const kel_value v = *vector;
    const int64_t head = head_of(&v);
    const int64_t tail = buf(&v)->units();
    const uint32_t width = buf(&v)->unit();
    for (int64_t i = head; i < tail; ++i) {
        if (part_given && part < 1) break;
        if (i > head) {
            text_out::append(buffer, " ", 1);
            --part;
        }
        kel_value e;
        element_at(&v, unit_ptr(buf(&v), i), &e);
        const uint32_t t = type_of(&e);
        if (t == types::percent || (t == types::float_ && width == 4)) {
            // mold/all writes the digits that read back as the element
            const bool exact = molded && all;
            const double d = get_float(&e);
            const short_text s =
                t == types::percent
                    ? (exact ? float_::format_exact_percent(d, float_::pretty_print_q) : float_::format_percent(d))
                    : (exact ? float_::format_exact_single(static_cast<float>(d), float_::single_kind,
                                                           float_::pretty_print_q)
                             : float_::format(d, float_::single_kind));
            text_out::append(buffer, s.chars, s.length);
            part -= static_cast<int32_t>(s.length);
        } else if (molded) {
            part = registry::mold_handler(t)(&e, buffer, false, all, false, nullptr, part, 0);
        } else {
            part = registry::form_handler(t)(&e, buffer, nullptr, part);
        }
    }
    return part;
}

namespace {

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg_part, int32_t part) {
    return mold_elements(value, buffer, false, false, arg_part != nullptr, part);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool, const kel_value* arg_part,
             int32_t part, int32_t) {
    const kel_value v = *value;
    const bool limited = arg_part != nullptr;
    if (!only) {
        text_out::append(buffer, "make vector! [");
        part -= 14;
    }
    const uint32_t width = buf(&v)->unit();
    if (ks_length_q(&v) > 0 && width == default_width(v.w3)) {
        part = mold_elements(&v, buffer, true, all, limited, part);
    } else {
        char head[40];
        const char* name = registry::type_name(v.w3);
        int n = 0;
        while (name[n]) {
            head[n] = name[n];
            ++n;
        }
        head[n++] = ' ';
        n += text_out::format_int32(head + n, static_cast<int32_t>(width * 8));
        head[n++] = ' ';
        head[n++] = '[';
        text_out::append(buffer, head, static_cast<size_t>(n));
        part -= n;
        part = mold_elements(&v, buffer, true, all, limited, part);
        text_out::append(buffer, "]");
        --part;
    }
    if (!only) {
        text_out::append(buffer, "]");
        --part;
    }
    return part;
}

int32_t compare(const kel_value* a, const kel_value* b, int32_t op) {
    if (type_of(b) != types::vector) return cmp::not_comparable;
    if (a->w3 != b->w3) {
        // Two element types have no common value to compare, for equality
        // as for order; only identity has its answer, as no buffer is shared.
        if (op == cmp::same) return 1;
        fire(error_category::script, "not-same-type");
    }
    const bool identical = series_node(a) == series_node(b) && series_head(a) == series_head(b);
    if (op == cmp::same) return identical ? 0 : -1;
    if (identical) return 0;
    const int64_t la = ks_length_q(a), lb = ks_length_q(b);
    if (la != lb && cmp::equality_op(op)) return 1;
    buffer_header* ha = buf(a);
    buffer_header* hb = buf(b);
    const int64_t pa = head_of(a), pb = head_of(b);
    const uint32_t wa = ha->unit(), wb = hb->unit();
    const bool floats = float_layout_q(a->w3);
    for (int64_t i = 0, n = std::min(la, lb); i < n; ++i) {
        if (floats) {
            // A NaN equals nothing, as float! has it: a pair that is not
            // equal is a difference, ordered as the lesser test sees it.
            const double x = get_float_element(unit_ptr(ha, pa + i), wa);
            const double y = get_float_element(unit_ptr(hb, pb + i), wb);
            if (x != y) return x < y ? -1 : 1;
        } else if (a->w3 == types::char_) {
            const uint32_t x = get_char_element(unit_ptr(ha, pa + i), wa);
            const uint32_t y = get_char_element(unit_ptr(hb, pb + i), wb);
            if (x != y) return x < y ? -1 : 1;
        } else {
            const int32_t x = get_int_element(unit_ptr(ha, pa + i), wa);
            const int32_t y = get_int_element(unit_ptr(hb, pb + i), wb);
            if (x != y) return x < y ? -1 : 1;
        }
    }
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

// Vectors that compare equal hash alike: the elements by value from the
// head whatever their width (an 8-bit 1 equals a 32-bit 1), a float zero
// without its sign. A hash! or map! of many vectors then spreads them over
// its buckets instead of comparing each new one with all the others.
uint32_t hash(const kel_value* v, bool) {
    buffer_header* h = buf(v);
    const int64_t head = head_of(v), tail = h->units();
    const uint32_t width = h->unit();
    const bool floats = float_layout_q(v->w3);
    hashtable::murmur_state s = hashtable::murmur_start(random::hash_seed());
    for (int64_t i = head; i < tail; ++i) {
        const char* p = unit_ptr(h, i);
        if (floats) {
            double d = get_float_element(p, width);
            if (d == 0.0) d = 0.0;
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            hashtable::murmur_block(s, static_cast<uint32_t>(bits));
            hashtable::murmur_block(s, static_cast<uint32_t>(bits >> 32));
        } else {
            hashtable::murmur_block(s, v->w3 == types::char_ ? get_char_element(p, width)
                                                             : static_cast<uint32_t>(get_int_element(p, width)));
        }
    }
    return hashtable::murmur_finish(s, static_cast<uint32_t>(tail - head));
}

}  // namespace

// --- arithmetic ----------------------------------------------------------------------

int32_t int_op(int op, int32_t a, int32_t b) {
    const uint32_t x = static_cast<uint32_t>(a), y = static_cast<uint32_t>(b);
    switch (op) {
        case scalar::op_add: return static_cast<int32_t>(x + y);
        case scalar::op_subtract: return static_cast<int32_t>(x - y);
        case scalar::op_multiply: return static_cast<int32_t>(x * y);
        default: return integer::arith_op(a, b, op, nullptr);
    }
}

namespace {

// Applies f to each of n elements of storage type T from p, in place.
template <class T, class F>
void each_in_place(char* p, int64_t n, F f) {
    for (int64_t i = 0; i < n; ++i, p += sizeof(T)) {
        T e;
        std::memcpy(&e, p, sizeof(T));
        if constexpr (std::is_floating_point_v<T>) {
            const double r = f(static_cast<double>(e));
            if constexpr (sizeof(T) == 4) e = narrow(r);
            else e = r;
        } else {
            e = static_cast<T>(static_cast<std::make_unsigned_t<T>>(static_cast<uint32_t>(f(static_cast<int32_t>(e)))));
        }
        std::memcpy(p, &e, sizeof(T));
    }
}

template <class F>
void ints_in_place(char* p, int64_t n, uint32_t width, F f) {
    switch (width) {
        case 1: each_in_place<int8_t>(p, n, f); break;
        case 2: each_in_place<int16_t>(p, n, f); break;
        default: each_in_place<int32_t>(p, n, f); break;
    }
}

template <class F>
void floats_in_place(char* p, int64_t n, uint32_t width, F f) {
    if (width == 4) each_in_place<float>(p, n, f);
    else each_in_place<double>(p, n, f);
}

// Every result over n 32-bit elements computed without storing it: f raises
// what the arithmetic raises, and with code_points a result that is no code
// point overflows. Run before the first element changes, so a refused
// operation leaves the vector as it was.
template <class F>
void check_results(const char* p, int64_t n, bool code_points, F f) {
    for (int64_t i = 0; i < n; ++i, p += 4) {
        const int32_t r = f(get_int_element(p, 4));
        if (code_points && !code_point_q(r)) scalar::math_overflow();
    }
}

// The float operators: and, or, xor have no float meaning (float!'s error).
void check_float_op(int op) {
    if (op >= scalar::op_or) (void)float_::arith_op(op, 0.0, 0.0);
}

}  // namespace

void scalar_math_op(int op) {
    const kel_value v = *arg(1);
    const kel_value operand = *arg(2);
    const uint32_t ot = type_of(&operand);
    // A char! or time! meeting a vector (char + vector, vector + time) has no element meaning.
    if (ot != types::integer && ot != types::float_ && ot != types::percent) scalar::invalid_type(ot);
    const int64_t head = head_of(&v);
    buffer_header* h = buf(&v);
    const int64_t n = h->units() - head;
    const uint32_t width = h->unit();
    char* p = unit_ptr(h, head);
    if (float_layout_q(v.w3)) {
        check_float_op(op);
        const double x = ot == types::integer ? get_integer(&operand) : get_float(&operand);
        if (((op == scalar::op_add || op == scalar::op_subtract) && x == 0.0) ||
            ((op == scalar::op_multiply || op == scalar::op_divide) && x == 1.0))
            return;
        switch (op) {
            case scalar::op_add: floats_in_place(p, n, width, [x](double e) { return e + x; }); break;
            case scalar::op_multiply: floats_in_place(p, n, width, [x](double e) { return e * x; }); break;
            default: floats_in_place(p, n, width, [op, x](double e) { return float_::arith_op(op, e, x); }); break;
        }
        return;
    }
    int32_t x;
    if (ot == types::integer) {
        x = get_integer(&operand);
    } else {
        // A float operand is truncated toward zero; outside the 32-bit range
        // it has no integer to be.
        const double d = get_float(&operand);
        if (!std::isfinite(d) || !int32_range_q(std::trunc(d))) fire(error_category::script, "invalid-arg", &operand);
        x = truncate_int32(d);
    }
    if (((op == scalar::op_add || op == scalar::op_subtract) && x == 0) ||
        ((op == scalar::op_multiply || op == scalar::op_divide) && x == 1))
        return;
    if (n > 0 && (op == scalar::op_divide || op == scalar::op_remainder)) (void)int_op(op, 1, x);  // zero-divide first
    // Besides a zero divisor, only the 32-bit minimum divided by -1 makes the
    // integer arithmetic raise; 32-bit char elements must stay code points.
    const bool minimum_may_overflow = (op == scalar::op_divide || op == scalar::op_remainder) && x == -1 && width == 4;
    if (minimum_may_overflow || holds_whole_chars(&v))
        check_results(p, n, holds_whole_chars(&v), [op, x](int32_t e) { return int_op(op, e, x); });
    switch (op) {
        case scalar::op_add: ints_in_place(p, n, width, [x](int32_t e) { return int_op(scalar::op_add, e, x); }); break;
        case scalar::op_subtract:
            ints_in_place(p, n, width, [x](int32_t e) { return int_op(scalar::op_subtract, e, x); });
            break;
        case scalar::op_multiply:
            ints_in_place(p, n, width, [x](int32_t e) { return int_op(scalar::op_multiply, e, x); });
            break;
        default: ints_in_place(p, n, width, [op, x](int32_t e) { return int_op(op, e, x); }); break;
    }
}

void math_op(int op) {
    if (type_of(arg(2)) != types::vector) {
        scalar_math_op(op);
        return;
    }
    const kel_value a = *arg(1);
    const kel_value b = *arg(2);
    if (a.w3 != b.w3) fire(error_category::script, "not-same-type");
    const bool floats = float_layout_q(a.w3);
    if (floats) check_float_op(op);
    const int64_t n = std::min(ks_length_q(&a), ks_length_q(&b));
    const uint32_t width = std::max(buf(&a)->unit(), buf(&b)->unit());
    kel_value* result = stack::push_unset();
    init_cell(result, n, a.w3, width);
    char* out = claim_tail(result, n);
    buffer_header* ha = buf(&a);
    buffer_header* hb = buf(&b);
    const char* pa = unit_ptr(ha, head_of(&a));
    const char* pb = unit_ptr(hb, head_of(&b));
    const uint32_t wa = ha->unit(), wb = hb->unit();
    const bool whole_chars = holds_whole_chars(result);
    for (int64_t i = 0; i < n; ++i, pa += wa, pb += wb, out += width) {
        if (floats) {
            write_float(out, width, float_::arith_op(op, get_float_element(pa, wa), get_float_element(pb, wb)));
            continue;
        }
        const int32_t r = int_op(op, get_int_element(pa, wa), get_int_element(pb, wb));
        if (whole_chars && !code_point_q(r)) scalar::math_overflow();
        write_int(out, width, r);
    }
    *arg(1) = *result;
    stack::drop_cells(1);
}

// --- make ------------------------------------------------------------------------------

namespace {

[[noreturn]] void bad_make_arg(const kel_value* spec) {
    kel_value type;
    set_datatype(&type, types::vector);
    fire(error_category::script, "bad-make-arg", &type, spec);
}

[[noreturn]] void invalid_spec_field(const kel_value* spec) {
    fire(error_category::script, "invalid-spec-field", spec);
}

// The element type a word names by its canonical symbol, or 0.
uint32_t element_type_of_word(const kel_value* word) {
    if (!in_family(type_of(word), family::word)) return 0;
    const uint32_t t = typeset::datatype_named(word);
    return t == types::integer || t == types::char_ || t == types::float_ || t == types::percent ? t : 0;
}

// The spec dialect: a type word, a width in bits, then a count and/or a
// block of values.
void make_from_dialect(kel_value* result, const kel_value* spec) {
    const int32_t len = std::max(block::ks_length_q(spec), 0);  // past its tail: nothing
    const int32_t head = std::max(series_head(spec), 0);
    if (len < 2) bad_make_arg(spec);
    const uint32_t et = element_type_of_word(block::ks_abs_at(spec, head));
    if (et == 0) bad_make_arg(spec);
    uint32_t width = default_width(et);
    int32_t i = 1;
    const kel_value w = *block::ks_abs_at(spec, head + i);
    if (type_of(&w) == types::integer) {
        const int32_t bits = get_integer(&w);
        if (et == types::percent) width = 8;
        else if (et == types::float_ && (bits == 32 || bits == 64)) width = static_cast<uint32_t>(bits / 8);
        else if (et != types::float_ && (bits == 8 || bits == 16 || bits == 32)) width = static_cast<uint32_t>(bits / 8);
        else bad_make_arg(spec);
        ++i;
    } else if (et != types::percent) {
        invalid_spec_field(spec);
    }
    int64_t count = -1;
    kel_value values;
    set_none(&values);
    if (i >= len) invalid_spec_field(spec);
    const kel_value c = *block::ks_abs_at(spec, head + i);
    if (type_of(&c) == types::integer) {
        count = get_integer(&c);
        if (i + 1 < len && type_of(block::ks_abs_at(spec, head + i + 1)) == types::block)
            values = *block::ks_abs_at(spec, head + i + 1);
    } else if (type_of(&c) == types::block) {
        values = c;
    } else {
        invalid_spec_field(spec);
    }
    const int64_t given = none_q(&values) ? 0 : std::max(block::ks_length_q(&values), 0);
    init_cell(result, std::max(count, given), et, width);
    if (given > 0) append_block(result, &values);
    if (count > given) zero_fill_to(result, count);
}

void make_from(kel_value* result, const kel_value* spec) {
    const uint32_t t = type_of(spec);
    if (t == types::integer || t == types::float_) {
        const int32_t n = cell::get_int_checked(spec);
        init_cell(result, n, types::integer, 4);
        if (n > 0) zero_fill_to(result, n);
        return;
    }
    if (t != types::block) fire(error_category::internal, "not-done");
    // A spec whose head lies past its tail holds nothing: its first value
    // would be a cell the block no longer has.
    const int32_t len = std::max(block::ks_length_q(spec), 0);
    if (len == 0) {
        init_cell(result, 1, types::integer, 4);
        return;
    }
    const kel_value first = *block::ks_abs_at(spec, std::max(series_head(spec), 0));
    if (type_of(&first) == types::word) {
        make_from_dialect(result, spec);
        return;
    }
    const uint32_t et = type_of(&first);
    if (!element_type_q(et)) scalar::invalid_type(et);
    init_cell(result, len, et, default_width(et));
    append_block(result, spec);
}

signal_code a_make(const refinements&) {
    const kel_value spec = *arg(2);
    kel_value* result = stack::push_unset();
    make_from(result, &spec);
    *stack::arguments() = *result;
    stack::drop_cells(1);
    return signal_code::none;
}

// --- append, insert, change ------------------------------------------------------------

// The values a change brings: a block's (paren's, hash's, with `lists` also a
// path's and a vector's) elements from its head, at most `part` of them
// (part < 0: all), or the value itself. Each is checked before anything moves.
void collect(const kel_value* vector, const kel_value* value, int64_t part, bool only, bool lists,
             std::vector<kel_value>* out) {
    const kel_value v = *value;
    const uint32_t t = type_of(&v);
    const bool block_source = t == types::block || t == types::paren || t == types::hash ||
                              (lists && in_family(t, family::path));
    if (!only && block_source) {
        int64_t n = std::max(block::ks_length_q(&v), 0);  // past its tail: none
        if (part >= 0) n = std::min(n, part);
        const int32_t head = std::max(series_head(&v), 0);
        out->reserve(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) out->push_back(*block::ks_abs_at(&v, head + static_cast<int32_t>(i)));
    } else if (!only && lists && t == types::vector) {
        int64_t n = ks_length_q(&v);
        if (part >= 0) n = std::min(n, part);
        const int64_t head = head_of(&v);
        out->resize(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) element_at(&v, unit_ptr(buf(&v), head + i), &(*out)[static_cast<size_t>(i)]);
    } else {
        out->push_back(v);
    }
    for (const kel_value& e : *out) check_storable(vector, &e);
}

// Replaces `cut` elements at p by the values repeated dup times; answers the
// position after them.
int64_t splice(const kel_value* vector, int64_t p, const std::vector<kel_value>& values, int64_t dup, int64_t cut) {
    const int64_t n = static_cast<int64_t>(values.size());
    const int64_t total = n * dup;
    buffer_header* h = buf(vector);
    const uint32_t width = h->unit();
    const int64_t units = h->units();
    if (static_cast<uint64_t>(units - cut + total) * width + h->head > max_bytes) no_memory();
    if (total > cut) {
        h = memory::ensure_tail_room(series_node(vector), static_cast<uint32_t>((total - cut) * width));
    }
    if (total != cut && p + cut < units)
        std::memmove(unit_ptr(h, p + total), unit_ptr(h, p + cut), static_cast<size_t>((units - p - cut) * width));
    h->tail = h->head + static_cast<uint32_t>((units - cut + total) * width);
    char* out = unit_ptr(h, p);
    for (int64_t d = 0; d < dup; ++d)
        for (const kel_value& e : values) {
            set_element(out, &e, width);
            out += width;
        }
    return p + total;
}

inline kel_value* ref_arg(const refinements& r, int slot) {
    return r.has(slot) ? stack::arguments() + r.at[slot] : nullptr;
}

// /part as a count (the dispatch turned a position into one); absent: -1.
int64_t part_of(const refinements& r) {
    const kel_value* p = ref_arg(r, 0);
    if (!p) return -1;
    return std::max<int64_t>(cell::get_int_checked(p), 0);
}

int64_t dup_of(const refinements& r) {
    const kel_value* d = ref_arg(r, 2);
    return d ? cell::get_int_checked(d) : 1;
}

signal_code add_values(const refinements& r, bool at_tail) {
    kel_value* v = arg(1);
    const int64_t dup = dup_of(r);
    std::vector<kel_value> values;
    collect(v, arg(2), part_of(r), r.has(1), false, &values);
    if (dup < 1 || values.empty()) return signal_code::none;
    const char* word = at_tail ? "append" : "insert";
    notify(v, word, arg(2), at_tail ? buf(v)->units() : head_of(v), static_cast<int64_t>(values.size()) * dup);
    // Taken after the owner's handler, which may have reshaped the vector:
    // nothing it cut away comes back in front of the new elements.
    const int64_t p = at_tail ? buf(v)->units() : std::min<int64_t>(head_of(v), buf(v)->units());
    const int64_t after = splice(v, p, values, dup, 0);
    notify(v, at_tail ? "appended" : "inserted", arg(2), p, static_cast<int64_t>(values.size()) * dup);
    if (!at_tail) set_series_head(arg(1), static_cast<int32_t>(after));
    return signal_code::none;
}

signal_code a_append(const refinements& r) { return add_values(r, true); }
signal_code a_insert(const refinements& r) { return add_values(r, false); }

signal_code a_change(const refinements& r) {
    kel_value* v = arg(1);
    const int64_t dup = dup_of(r);
    std::vector<kel_value> values;
    collect(v, arg(2), -1, r.has(1), true, &values);
    if (dup < 1) return signal_code::none;
    const int64_t total = static_cast<int64_t>(values.size()) * dup;
    const int64_t part = part_of(r);
    const auto cut_at = [&](int64_t at) { return std::min(part >= 0 ? part : total, buf(v)->units() - at); };
    notify(v, "change", arg(2), head_of(v), cut_at(head_of(v)));
    // Measured after the owner's handler, which may have reshaped the vector.
    const int64_t p = std::min<int64_t>(head_of(v), buf(v)->units());
    const int64_t cut = cut_at(p);
    const int64_t after = splice(v, p, values, dup, cut);
    notify(v, "changed", arg(2), p, total);
    set_series_head(arg(1), static_cast<int32_t>(after));
    return signal_code::none;
}

signal_code a_add(const refinements&) { math_op(scalar::op_add); return signal_code::none; }
signal_code a_subtract(const refinements&) { math_op(scalar::op_subtract); return signal_code::none; }
signal_code a_multiply(const refinements&) { math_op(scalar::op_multiply); return signal_code::none; }
signal_code a_divide(const refinements&) { math_op(scalar::op_divide); return signal_code::none; }
signal_code a_remainder(const refinements&) { math_op(scalar::op_remainder); return signal_code::none; }
signal_code a_or(const refinements&) { math_op(scalar::op_or); return signal_code::none; }
signal_code a_and(const refinements&) { math_op(scalar::op_and); return signal_code::none; }
signal_code a_xor(const refinements&) { math_op(scalar::op_xor); return signal_code::none; }

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::vector;
    r.parent = types::string;
    r.name = "vector!";
    r.hash = hash;
    r.marker = kel::collector::cell_markers::word2_node;
    r.families = family::series;
    // Navigation, search, copy and the other series actions are string!'s.
    r.inherit_all();
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = registry::entry{};
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    for (int a = act::absolute; a <= act::xor_; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    r[act::add] = static_cast<action_fn>(a_add);
    r[act::divide] = static_cast<action_fn>(a_divide);
    r[act::multiply] = static_cast<action_fn>(a_multiply);
    r[act::remainder] = static_cast<action_fn>(a_remainder);
    r[act::subtract] = static_cast<action_fn>(a_subtract);
    r[act::and_] = static_cast<action_fn>(a_and);
    r[act::or_] = static_cast<action_fn>(a_or);
    r[act::xor_] = static_cast<action_fn>(a_xor);
    r[act::append] = static_cast<action_fn>(a_append);
    r[act::insert] = static_cast<action_fn>(a_insert);
    r[act::change] = static_cast<action_fn>(a_change);
    r[act::put] = registry::entry{};
    r[act::swap] = registry::entry{};
    r[act::trim] = registry::entry{};
    for (int a = act::create; a <= act::delete_; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    for (int a = act::open; a <= act::write; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    return r;
}

}  // namespace kel::vector
