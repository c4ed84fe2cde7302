// time: the time! row, its text and its fields. See time.h.
#include "datatypes/time.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "datatypes/float.h"
#include "datatypes/held_value.h"
#include "datatypes/integer.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/float_text.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"
#include "kernel/series_memory.h"

namespace kel::time {

using namespace scalar;

namespace {

// Whole hours and the rest. fmod is exact and the difference is an exact
// multiple of 3600, so the hours never disagree with the minutes and seconds
// (dividing first could round 3599.9999999999995 / 3600 up to 1).
double whole_hours(double seconds) { return (seconds - std::fmod(seconds, 3600.0)) / 3600.0; }

// The hours of a time, written out in full at every size: from 2^53 seconds
// on, a float is a whole number whose hours may run to hundreds of digits;
// rounded to a float, or written with an exponent, they would lose digits
// that the minutes and seconds need to come back to the same time.
struct hours_text {
    char chars[320];
    uint32_t length;
};

// A whole number as base 10^9 limbs, lowest first; 35 limbs hold the
// largest float.
struct wide_number {
    static constexpr uint32_t base = 1000000000u;
    uint32_t limbs[36] = {};
    int count = 0;

    explicit wide_number(uint64_t v) {
        for (; v; v /= base) limbs[count++] = uint32_t(v % base);
    }
    void shift_left(int bits) {
        for (; bits > 0; bits -= 30) {
            const int step = bits < 30 ? bits : 30;
            uint64_t carry = 0;
            for (int i = 0; i < count; ++i) {
                const uint64_t v = (uint64_t(limbs[i]) << step) + carry;
                limbs[i] = uint32_t(v % base);
                carry = v / base;
            }
            for (; carry; carry /= base) limbs[count++] = uint32_t(carry % base);
        }
    }
    void divide(uint32_t d) {
        uint64_t rest = 0;
        for (int i = count - 1; i >= 0; --i) {
            const uint64_t v = rest * base + limbs[i];
            limbs[i] = uint32_t(v / d);
            rest = v % d;
        }
        while (count > 0 && limbs[count - 1] == 0) --count;
    }
    void add_one() {
        for (int i = 0;; ++i) {
            if (i == count) limbs[count++] = 0;
            if (++limbs[i] < base) return;
            limbs[i] = 0;
        }
    }
    hours_text text() const {
        hours_text t{};
        if (count == 0) {
            t.chars[t.length++] = '0';
            return t;
        }
        t.length = uint32_t(std::snprintf(t.chars, sizeof t.chars, "%u", limbs[count - 1]));
        for (int i = count - 2; i >= 0; --i)
            t.length += uint32_t(std::snprintf(t.chars + t.length, sizeof t.chars - t.length, "%09u", limbs[i]));
        return t;
    }
};

// The whole hours of `seconds` (finite, not negative), plus one when the
// seconds shown carried into them.
hours_text exact_hours(double seconds, bool carried) {
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const bool whole = exponent > 53;
    wide_number n(whole ? uint64_t(std::ldexp(fraction, 53)) : uint64_t(whole_hours(seconds)));
    if (whole) {
        n.shift_left(exponent - 53);
        n.divide(3600);
    }
    if (carried) n.add_one();
    return n.text();
}

}  // namespace

int32_t hours_of(double seconds) {
    const double h = whole_hours(seconds);
    if (integer::out_of_range_q(h)) type_limit(types::integer);
    return static_cast<int32_t>(h);
}

int32_t minutes_of(double seconds) {
    const double r = std::fmod(std::fabs(seconds), 3600.0);
    if (std::isnan(r)) return 0;
    return static_cast<int32_t>((r - std::fmod(r, 60.0)) / 60.0);
}

namespace {

bool spelled(const char* text, size_t length, const char* name) {
    if (std::strlen(name) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != name[i]) return false;
    }
    return true;
}

}  // namespace

int32_t field_index(const kel_value* word, const kel_value* value) {
    if (!hooks.word_spelling) fire(error_category::internal, "not-done");
    const char* text = nullptr;
    size_t length = 0;
    if (hooks.word_spelling(word, &text, &length)) {
        if (spelled(text, length, "hour")) return hour;
        if (spelled(text, length, "minute")) return minute;
        if (spelled(text, length, "second")) return second;
    }
    if (type_of(value) == types::time) fire(error_category::script, "cannot-use", word, value);
    return -1;
}

void get_field(const kel_value* time, int32_t field, kel_value* out) {
    const double s = get_float(time);
    switch (field) {
        case hour: set_integer(out, hours_of(s)); break;
        case minute: set_integer(out, minutes_of(s)); break;
        default: set_float(out, std::fmod(s, 60.0)); break;
    }
}

kel_value* push_field(const kel_value* time, int32_t field) {
    const kel_value t = *time;
    kel_value* c = stack::alloc_cell();
    get_field(&t, field, c);
    return c;
}

kel_value* make_at_tail(const kel_value* block, uint32_t low, uint32_t high) {
    kel_value* c = memory::claim_tail_cell(block);
    kel::init_cell(c, types::time);
    c->w2 = low;
    c->w3 = high;
    return c;
}

kel_value* init_cell(double seconds, kel_value* cell) {
    set_type(cell, types::time);
    put_float(cell, seconds);
    return cell;
}

kel_value* push(double seconds) {
    kel_value* c = stack::alloc_cell();
    set_float(c, seconds, types::time);
    return c;
}

namespace {

// The seconds field as written, up to the longest exact text (short_text
// holds the six-digit forms only).
struct seconds_text {
    char chars[longest_seconds_text + 1];
    uint32_t length;

    seconds_text() : chars{}, length(0) {}
    explicit seconds_text(const short_text& t) : seconds_text() {
        std::memcpy(chars, t.chars, t.length + 1);
        length = t.length;
    }
};

double read_seconds(const seconds_text& t) { return float_text::parse(t.chars, t.chars + t.length, 0).value; }

// `value` (0 <= value < 60) to at most `limit` significant digits, written
// without an exponent, which the seconds of a time literal cannot carry.
seconds_text plain_decimal(double value, int limit) {
    const float_text::digits d = float_text::shortest_digits(value, limit, false);
    seconds_text t;
    const auto put = [&t](char c) { t.chars[t.length++] = c; };
    if (d.exponent == float_text::zero_exponent || d.exponent == float_text::special_exponent) {
        put('0');
    } else if (d.exponent <= 0) {
        put('0');
        put('.');
        for (int i = d.exponent; i < 0; ++i) put('0');
        for (int i = 0; i < d.count; ++i) put(d.text[i]);
    } else {
        for (int i = 0; i < d.exponent; ++i) put(i < d.count ? d.text[i] : '0');
        if (d.count > d.exponent) {
            put('.');
            for (int i = d.exponent; i < d.count; ++i) put(d.text[i]);
        }
    }
    t.chars[t.length] = '\0';
    return t;
}

// The seconds field that loads back, with the hours and minutes written
// before it, as `seconds` (the time's whole magnitude, `field` its seconds
// within the minute). Up to 2^31 hours the lexer sums the three fields as
// floats, and the sum is checked as such. Past them it reads the whole time
// from its decimal digits, rounded once: the field's decimal value must lie
// within half a float step of the field, checked here with a wide margin
// (the step there is at least 2^-10 s; a text read into a float below 60
// is off by 2^-47 s at most).
seconds_text exact_seconds_text(const seconds_text& shown, double seconds, double field, int32_t minutes) {
    const double hours = whole_hours(seconds);
    const auto read = read_seconds;
    const auto widened = [&](auto&& reads_back) {
        return float_::widen_to_read_back(shown, 7, reads_back, [field](int digits) { return plain_decimal(field, digits); });
    };
    if (hours > 2147483647.0) {
        const double quarter_step = (std::nextafter(seconds, HUGE_VAL) - seconds) / 4;
        return widened([&](const seconds_text& t) { return std::fabs(read(t) - field) < quarter_step; });
    }
    const double before = hours * 3600 + static_cast<double>(minutes) * 60;
    return widened([&](const seconds_text& t) { return before + read(t) == seconds; });
}

}  // namespace

int32_t serialize(double seconds, kel_value* buffer, int32_t part, bool exact) {
    if (!std::isfinite(seconds)) {  // a time divided by zero: its float text
        const short_text t = float_text::form(seconds, 0, true);
        text_out::append(buffer, t.chars, t.length);
        return part - static_cast<int32_t>(t.length);
    }
    if (seconds < 0) {
        text_out::append(buffer, "-", 1);
        seconds = -seconds;
    }
    bool carried = false;
    const double rest = std::fmod(seconds, 3600.0);
    const double s = std::fmod(rest, 60.0);
    int32_t minutes = static_cast<int32_t>((rest - s) / 60.0);
    // The seconds as shown; when they round up to 60 the minute carries.
    // Digits below a nanosecond are float noise, not data: clocks and file
    // stamps step by 100 ns at best, and a span between two instants keeps
    // the rounding error of both (86400.0000046 - 86400 gives 4.60001e-06
    // to six digits), so the field is cut to whole nanoseconds first. A
    // long span's float no longer resolves nanoseconds (a year's steps are
    // 3.7 ns), so there the cut is at the finest decimal place it resolves.
    double scale = 1e9;
    const double step = std::nextafter(seconds, HUGE_VAL) - seconds;
    while (scale > 1.0 && 1.0 / scale < step) scale /= 10.0;
    const double shown = std::round(s * scale) / scale;
    seconds_text sec;
    bool zero = shown < 0.000001;
    if (exact && zero && s != 0.0) {
        sec = exact_seconds_text(plain_decimal(0.0, 1), seconds, s, minutes);
        zero = read_seconds(sec) == 0.0;
    } else if (!zero) {
        sec = seconds_text(float_::format(shown, float_::seconds_kind));
        if (exact) sec = exact_seconds_text(sec, seconds, s, minutes);
        if (read_seconds(sec) >= 60.0) {
            zero = true;
            if (++minutes == 60) {
                minutes = 0;
                carried = true;
            }
        }
    }
    const hours_text h = exact_hours(seconds, carried);
    text_out::append(buffer, h.chars, h.length);
    part -= static_cast<int32_t>(h.length);
    const char m[4] = {':', static_cast<char>('0' + minutes / 10), static_cast<char>('0' + minutes % 10), ':'};
    text_out::append(buffer, m, 4);
    part -= 3;
    if (zero) {
        text_out::append(buffer, "00", 2);
        return part - 3;
    }
    if (sec.length == 1 || sec.chars[1] == '.') {
        text_out::append(buffer, "0", 1);
        part -= 1;
    }
    text_out::append(buffer, sec.chars, sec.length);
    return part - 1 - static_cast<int32_t>(sec.length);
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    return serialize(get_float(value), buffer, part);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part, int32_t) {
    return serialize(get_float(value), buffer, part, all);
}

signal_code eval_path(const path_step_args& step) {
    const kel_value* element = step.element;
    int32_t f = -1;
    if (type_of(element) == types::integer) f = get_integer(element);
    else if (in_family(type_of(element), family::word)) f = field_index(element, step.parent);
    if (f < hour || f > second) fire(error_category::script, "invalid-path", step.path, element);
    if (!step.value_to_set) {
        get_field(step.parent, f, step.result);
        return signal_code::none;
    }
    const kel_value* value = step.value_to_set;
    const uint32_t vt = type_of(value);
    double x = get_float(step.parent);
    switch (f) {
        case hour:
            if (vt != types::integer) fire(error_category::script, "invalid-arg", value);
            x -= (std::floor(x / 3600.0) - get_integer(value)) * 3600.0;
            break;
        case minute:
            if (vt != types::integer) fire(error_category::script, "invalid-arg", value);
            x -= (std::floor(std::fmod(x, 3600.0) / 60.0) - get_integer(value)) * 60.0;
            break;
        default:
            if (vt != types::integer && vt != types::float_) fire(error_category::script, "invalid-arg", value);
            x -= std::fmod(x, 60.0) - (vt == types::integer ? double(get_integer(value)) : get_float(value));
            break;
    }
    put_float(step.parent, x);
    const kel_value answer = *value;
    const kel_value changed = *step.parent;
    KEL_PROPAGATE(held_value::store_back(step, &changed));
    if (step.result) *step.result = answer;
    return signal_code::none;
}

namespace {

signal_code make(const refinements&) {
    kel_value* result = arg(1);
    const kel_value* spec = arg(2);
    const uint32_t st = type_of(spec);
    double seconds = 0.0;
    switch (st) {
        case types::time: *result = *spec; return signal_code::none;
        case types::integer: seconds = double(get_integer(spec)); break;
        case types::float_:
        case types::percent: seconds = get_float(spec); break;
        case types::block:
        case types::paren:
        case types::hash: {
            const units_view u = units_from_head(spec);
            if (u.count > 3) bad_to_arg(types::time, spec);
            const auto* cells = reinterpret_cast<const kel_value*>(u.data);
            static constexpr double weights[3] = {3600.0, 60.0, 1.0};
            bool negative = false;
            for (int64_t i = 0; i < u.count; ++i) {
                const uint32_t et = type_of(&cells[i]);
                double x;
                if (et == types::integer) x = double(get_integer(&cells[i]));
                else if (et == types::float_ && i == 2) x = get_float(&cells[i]);
                else bad_to_arg(types::time, spec);
                if (x < 0) {
                    if (i != 0) bad_to_arg(types::time, spec);
                    negative = true;
                    x = -x;
                }
                seconds += x * weights[i];
            }
            if (negative) seconds = -seconds;
            break;
        }
        default: {
            if (!in_family(st, family::string_like)) bad_to_arg(types::time, spec);
            if (!hooks.scan_value) fire(error_category::internal, "not-done");
            kel_value scanned;
            if (!hooks.scan_value(spec, &scanned) || type_of(&scanned) != types::time) bad_to_arg(types::time, spec);
            *result = scanned;
            return signal_code::none;
        }
    }
    set_float(result, seconds, types::time);
    return signal_code::none;
}

signal_code add(const refinements&) {
    kel_value* left = arg(1);
    kel_value* right = arg(2);
    if (type_of(right) != types::date) return float_::math_action(op_add);
    const kel_value time = *left;
    *left = *right;
    *right = time;
    if (!registry::supported(types::date, act::add)) invalid_type(types::date);
    return registry::handler(types::date, act::add)(refinements::none());
}

signal_code subtract(const refinements&) {
    if (type_of(arg(2)) == types::date) not_related("subtract", types::time);
    return float_::math_action(op_subtract);
}

signal_code multiply(const refinements&) {
    if (type_of(arg(2)) == types::time) not_related("multiply", types::time);
    return float_::math_action(op_multiply);
}

signal_code divide(const refinements&) {
    const bool ratio = type_of(arg(2)) == types::time;
    KEL_PROPAGATE(float_::math_action(op_divide));
    if (ratio) set_type(arg(1), types::float_);
    return signal_code::none;
}

// The whole seconds of the seconds field, nudged away from zero so that a
// value a hair below a whole second counts as that second.
bool odd_seconds(double s) {
    s += s >= 0 ? 0.000001 : -0.000001;
    const double f = std::fmod(s, 60.0);
    return std::isfinite(f) && (static_cast<int32_t>(f) & 1) != 0;
}

signal_code even_q(const refinements&) {
    set_logic(stack::arguments(), !odd_seconds(get_float(arg(1))));
    return signal_code::none;
}

signal_code odd_q(const refinements&) {
    set_logic(stack::arguments(), odd_seconds(get_float(arg(1))));
    return signal_code::none;
}

signal_code round(const refinements& refs) {
    kel_value* v = arg(1);
    const kel_value* scale = refs.has(0) ? stack::arguments() + refs.at[0] : nullptr;
    double s = 0.0;
    if (scale) {
        const uint32_t st = type_of(scale);
        if (st == types::money) not_related("round", types::money);
        if (st == types::integer) s = double(get_integer(scale));
        else if (st == types::float_ || st == types::percent || st == types::time) s = get_float(scale);
        else expect_arg("round", st, "scale");
    }
    bool unchanged;
    const double r = float_::round_value(get_float(v), false, scale != nullptr, s, refs, &unchanged);
    if (!unchanged) set_float(v, r, types::time);
    return signal_code::none;
}

signal_code pick(const refinements&) {
    const kel_value time = *arg(1);
    const kel_value* index = arg(2);
    int32_t f = 0;
    switch (type_of(index)) {
        case types::integer: f = get_integer(index); break;
        case types::char_: f = static_cast<int32_t>(get_char(index)); break;
        case types::logic: f = get_logic(index) ? 1 : 2; break;
        default:
            if (in_family(type_of(index), family::word)) f = field_index(index, &time);
            break;
    }
    if (f < hour || f > second) out_of_range(index);
    get_field(&time, f, stack::arguments());
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::time;
    r.hash = hashtable::hash_by::float64;
    r.marker = kel::collector::cell_markers::nothing;
    r.families = family::scalar;
    r.parent = types::float_;
    r.name = "time!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = registry::entry::inherit();
    r[act::to] = static_cast<action_fn>(make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::compare] = registry::entry::inherit();
    r[act::absolute] = registry::entry::inherit();
    r[act::add] = static_cast<action_fn>(add);
    r[act::divide] = static_cast<action_fn>(divide);
    r[act::multiply] = static_cast<action_fn>(multiply);
    r[act::negate] = registry::entry::inherit();
    r[act::remainder] = registry::entry::inherit();
    r[act::round] = static_cast<action_fn>(round);
    r[act::subtract] = static_cast<action_fn>(subtract);
    r[act::even_q] = static_cast<action_fn>(even_q);
    r[act::odd_q] = static_cast<action_fn>(odd_q);
    r[act::pick] = static_cast<action_fn>(pick);
    return r;
}

}  // namespace kel::time
