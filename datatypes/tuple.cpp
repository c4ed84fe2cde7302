// tuple: the tuple! row, its saturating byte arithmetic, its conversions and
// its path access. See tuple.h.
#include "datatypes/tuple.h"

#include <cmath>
#include <cstring>

#include "datatypes/float.h"
#include "datatypes/held_value.h"
#include "datatypes/integer.h"
#include "kernel/actions.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"
#include "kernel/random.h"
#include "kernel/stack.h"

namespace kel::tuple {

using namespace scalar;

namespace {

// Header bits a count rewrite clears: the count itself and bits 29-31.
constexpr uint32_t rewrite_mask = (count_mask << count_shift) | 0xE0000000u;

uint8_t clamp_byte(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// A double result as a byte: NaN gives 0, everything else is clamped to
// 0..255 while still a double, then truncated toward zero.
uint8_t clamp_byte(double d) {
    if (!(d > 0.0)) return 0;
    if (d >= 255.0) return 255;
    return static_cast<uint8_t>(d);
}

}  // namespace

void set_count(kel_value* v, int count) {
    if (count < min_bytes) count = min_bytes;
    if (count > max_bytes) count = max_bytes;
    v->header = (v->header & ~rewrite_mask) | (static_cast<uint32_t>(count) << count_shift);
}

kel_value* init_cell(kel_value* cell, const uint8_t* bytes, int count) {
    if (count > max_bytes) count = max_bytes;
    if (count < 0) count = 0;
    uint8_t payload[12] = {};
    if (count) std::memcpy(payload, bytes, static_cast<size_t>(count));
    cell->header = (cell->header & header_new_line) | types::tuple |
                   (static_cast<uint32_t>(count < min_bytes ? min_bytes : count) << count_shift);
    std::memcpy(bytes_of(cell), payload, sizeof payload);
    return cell;
}

kel_value* make_from_ints(int count, const int32_t* values) {
    uint8_t bytes[12] = {};
    if (count > max_bytes) count = max_bytes;
    for (int i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(values[i]) & 0xFFu);
    kel_value* c = stack::alloc_cell();
    c->header = 0;
    return init_cell(c, bytes, count);
}

kel_value* make_from_bytes(const uint8_t* bytes, size_t length, kel_value* cell) {
    return init_cell(cell, bytes, static_cast<int>(length > size_t(max_bytes) ? size_t(max_bytes) : length));
}

namespace {

int hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

}  // namespace

kel_value* from_issue(const kel_value* issue, kel_value* cell) {
    if (!hooks.word_spelling) fire(error_category::internal, "not-done");
    const char* text = nullptr;
    size_t length = 0;
    const kel_value saved = *issue;  // the cell may be the result slot
    if (!hooks.word_spelling(issue, &text, &length)) fire(error_category::script, "invalid-data", &saved);
    uint8_t bytes[4] = {};
    int digits[8];
    if (length != 3 && length != 6 && length != 8) fire(error_category::script, "invalid-data", &saved);
    // UTF-8 bytes above 127 are never hexadecimal digits, so reading bytes
    // refuses every character beyond ASCII.
    for (size_t i = 0; i < length; ++i) {
        digits[i] = hex_digit(static_cast<uint8_t>(text[i]));
        if (digits[i] < 0) fire(error_category::script, "invalid-data", &saved);
    }
    int count;
    if (length == 3) {
        for (int i = 0; i < 3; ++i) bytes[i] = static_cast<uint8_t>(digits[i] * 17);
        count = 3;
    } else {
        count = static_cast<int>(length / 2);
        for (int i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(digits[2 * i] * 16 + digits[2 * i + 1]);
    }
    cell->header = 0;
    return init_cell(cell, bytes, count);
}

kel_value* make_rgba(kel_value* cell, int32_t r, int32_t g, int32_t b, int32_t a) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b),
                              static_cast<uint8_t>(a)};
    cell->header = 0;
    return init_cell(cell, bytes, a == -1 ? 3 : 4);
}

kel_value* push(int count, uint32_t w1, uint32_t w2, uint32_t w3) {
    kel_value* c = stack::alloc_cell();
    c->header = 0;
    uint8_t bytes[12];
    std::memcpy(bytes, &w1, 4);
    std::memcpy(bytes + 4, &w2, 4);
    std::memcpy(bytes + 8, &w3, 4);
    if (count > max_bytes) count = max_bytes;
    if (count < 0) count = 0;
    std::memset(bytes + count, 0, static_cast<size_t>(max_bytes - count));
    return init_cell(c, bytes, count);
}

bool all_zero_q(const kel_value* t) {
    const uint8_t* b = bytes_of(t);
    for (int i = 0; i < max_bytes; ++i)
        if (b[i]) return false;
    return true;
}

namespace {

// One byte position under integer arithmetic. The operands are a byte and
// a 32-bit integer, so 64 bits hold every exact result: an overflow of the
// 32-bit arithmetic (which would have become a float) saturates the same
// way through the clamp. Division truncates toward zero.
uint8_t integer_byte(int64_t a, int64_t b, int op) {
    switch (op) {
        case op_add: return clamp_byte(a + b);
        case op_subtract: return clamp_byte(a - b);
        case op_multiply: return clamp_byte(a * b);
        case op_divide:
            if (b == 0) zero_divide();
            return clamp_byte(a / b);
        case op_remainder:
            if (b == 0) zero_divide();
            return clamp_byte(a % b);
        case op_or: return clamp_byte(int64_t(int32_t(a) | int32_t(b)));
        case op_and: return clamp_byte(int64_t(int32_t(a) & int32_t(b)));
        default: return clamp_byte(int64_t(int32_t(a) ^ int32_t(b)));
    }
}

}  // namespace

signal_code math_op(int op) {
    kel_value* left = arg(1);
    kel_value* right = arg(2);
    if (type_of(left) != types::tuple) {
        // A number on the left: only the operations whose operands may
        // change places are carried out, the tuple taking the number's place.
        if (op == op_subtract || op == op_divide || op == op_remainder) not_related(word_of(op), type_of(left));
        const kel_value number = *left;
        *left = *right;
        *right = number;
    }
    const uint32_t rt = type_of(right);
    uint8_t* own = bytes_of(left);
    const int n = count_of(left);
    switch (rt) {
        case types::float_:
        case types::percent: {
            const double x = get_float(right);
            for (int i = 0; i < n; ++i) own[i] = clamp_byte(float_::arith_op(op, double(own[i]), x));
            return signal_code::none;
        }
        case types::integer: {
            const int64_t b = get_integer(right);
            for (int i = 0; i < n; ++i) own[i] = integer_byte(own[i], b, op);
            return signal_code::none;
        }
        case types::tuple: {
            const uint8_t* other = bytes_of(right);
            const int m = count_of(right);
            const int len = m > n ? m : n;
            uint8_t out[12] = {};
            // Bytes beyond a count are 0, so both sides read as zero-padded.
            for (int i = 0; i < len; ++i) out[i] = integer_byte(own[i], other[i], op);
            std::memcpy(own, out, sizeof out);
            if (len != n) set_count(left, len);
            return signal_code::none;
        }
        default: invalid_type(rt);
    }
}

void set_byte(kel_value* t, const kel_value* index, const kel_value* value) {
    const int32_t i = get_integer(index);
    const int n = count_of(t);
    if (i < 1 || i > n) out_of_range(index);
    uint8_t* b = bytes_of(t);
    switch (type_of(value)) {
        case types::none:
            std::memset(b + (i - 1), 0, static_cast<size_t>(max_bytes - (i - 1)));
            if (i - 1 != n) set_count(t, i - 1);
            return;
        case types::integer: b[i - 1] = clamp_byte(int64_t(get_integer(value))); return;
        default: invalid_type(type_of(value));
    }
}

namespace {

signal_code add(const refinements&) { return math_op(op_add); }
signal_code subtract(const refinements&) { return math_op(op_subtract); }
signal_code multiply(const refinements&) { return math_op(op_multiply); }
signal_code divide(const refinements&) { return math_op(op_divide); }
signal_code remainder(const refinements&) { return math_op(op_remainder); }
signal_code and_(const refinements&) { return math_op(op_and); }
signal_code or_(const refinements&) { return math_op(op_or); }
signal_code xor_(const refinements&) { return math_op(op_xor); }

// make and to: the same conversion.
signal_code make(const refinements&) {
    kel_value* result = arg(1);
    const kel_value spec = *arg(2);
    const uint32_t st = type_of(&spec);
    if (st == types::tuple) {
        *result = spec;
        return signal_code::none;
    }
    if (st == types::issue) {
        from_issue(&spec, result);
        return signal_code::none;
    }
    if (st == types::binary) {
        const units_view u = units_from_head(&spec);
        make_from_bytes(reinterpret_cast<const uint8_t*>(u.data), static_cast<size_t>(u.count), result);
        return signal_code::none;
    }
    if (in_family(st, family::list)) {
        const units_view u = units_from_head(&spec);
        if (u.count > max_bytes) bad_to_arg(types::tuple, &spec);
        const auto* cells = reinterpret_cast<const kel_value*>(u.data);
        uint8_t bytes[12] = {};
        for (int64_t i = 0; i < u.count; ++i) {
            const kel_value* c = &cells[i];
            int64_t v;
            switch (type_of(c)) {
                case types::integer: v = get_integer(c); break;
                case types::char_: v = get_char(c); break;
                case types::float_: {
                    const double d = std::trunc(get_float(c));
                    if (!(d >= 0.0 && d <= 255.0)) bad_to_arg(types::tuple, &spec);
                    v = static_cast<int64_t>(d);
                    break;
                }
                default: bad_to_arg(types::tuple, &spec);
            }
            if (v < 0 || v > 255) bad_to_arg(types::tuple, &spec);
            bytes[i] = static_cast<uint8_t>(v);
        }
        result->header = 0;
        init_cell(result, bytes, static_cast<int>(u.count));
        return signal_code::none;
    }
    if (in_family(st, family::string_like)) {
        if (!hooks.scan_value) fire(error_category::internal, "not-done");
        kel_value scanned;
        if (!hooks.scan_value(&spec, &scanned) || type_of(&scanned) != types::tuple) bad_to_arg(types::tuple, &spec);
        *result = scanned;
        clear_new_line(result);
        return signal_code::none;
    }
    bad_to_arg(types::tuple, &spec);
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    char text[12 * 4];
    size_t len = 0;
    const uint8_t* b = bytes_of(value);
    const int n = count_of(value);
    for (int i = 0; i < n; ++i) {
        if (i) text[len++] = '.';
        len += static_cast<size_t>(text_out::format_int32(text + len, b[i]));
    }
    text_out::append(buffer, text, len);
    return part - static_cast<int32_t>(len);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return form(value, buffer, arg, part);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t) {
    if (type_of(other) != types::tuple) return cmp::not_comparable;
    const int len = count_of(value) > count_of(other) ? count_of(value) : count_of(other);
    const uint8_t* a = bytes_of(value);
    const uint8_t* b = bytes_of(other);
    // Bytes beyond a count are 0: the shorter tuple reads as zero-padded.
    for (int i = 0; i < len; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

signal_code eval_path(const path_step_args& step) {
    const kel_value element = *step.element;
    if (type_of(&element) != types::integer) invalid_type(type_of(&element));
    if (!step.value_to_set) {
        const int32_t i = get_integer(&element);
        if (i < 1 || i > count_of(step.parent)) out_of_range(&element);
        set_integer(step.result, bytes_of(step.parent)[i - 1]);
        return signal_code::none;
    }
    const kel_value answer = *step.value_to_set;
    set_byte(step.parent, &element, &answer);
    const kel_value changed = *step.parent;
    KEL_PROPAGATE(held_value::store_back(step, &changed));
    if (step.result) *step.result = answer;
    return signal_code::none;
}

signal_code pick(const refinements&) {
    const kel_value t = *arg(1);
    const kel_value* index = arg(2);
    // The index as the action dispatch reads it: true picks the first byte,
    // false the second, a char by its code.
    const int32_t i = actions::index_argument(index);
    if (i < 1 || i > count_of(&t)) out_of_range(index);
    set_integer(stack::arguments(), bytes_of(&t)[i - 1]);
    return signal_code::none;
}

signal_code complement(const refinements&) {
    kel_value* t = arg(1);
    uint8_t* b = bytes_of(t);
    for (int i = 0; i < count_of(t); ++i) b[i] = static_cast<uint8_t>(255 - b[i]);
    return signal_code::none;
}

signal_code length_q(const refinements&) {
    const int n = count_of(arg(1));
    set_integer(stack::arguments(), n);
    return signal_code::none;
}

[[noreturn]] void invalid_refine_arg(const char* refinement, const kel_value* value) {
    fire(error_category::script, "invalid-refine-arg", error_arg::named(refinement), value);
}

signal_code reverse(const refinements& refs) {
    kel_value* t = arg(1);
    const int n = count_of(t);
    int len = n;
    if (refs.has(0)) {
        const kel_value* part = stack::arguments() + refs.at[0];
        if (type_of(part) != types::integer) invalid_refine_arg("part", part);
        const int32_t p = get_integer(part);
        if (p < 0) out_of_range(part);
        if (p < len) len = p;
    }
    int skip = 1;
    if (refs.has(1)) {
        const kel_value* size = stack::arguments() + refs.at[1];
        if (type_of(size) != types::integer) invalid_refine_arg("skip", size);
        const int32_t s = get_integer(size);
        if (s < 1) out_of_range(size);
        if (s == len) return signal_code::none;
        if (s > len || len % s != 0) invalid_refine_arg("skip", size);
        skip = s;
    }
    uint8_t* b = bytes_of(t);
    uint8_t out[12];
    const int groups = len / skip;
    for (int g = 0; g < groups; ++g)
        std::memcpy(out + g * skip, b + (groups - 1 - g) * skip, static_cast<size_t>(skip));
    std::memcpy(b, out, static_cast<size_t>(len));
    return signal_code::none;
}

signal_code random(const refinements& refs) {
    kel_value* t = arg(1);
    if (refs.has(0)) {
        random::seed(t->w1 ^ t->w2 ^ t->w3);
        set_unset(stack::arguments());
        return signal_code::none;
    }
    const bool secure = refs.has(1);
    uint8_t* b = bytes_of(t);
    // int_upto draws 1..n: one more than the byte, less one, gives 0..b.
    for (int i = 0; i < count_of(t); ++i) b[i] = static_cast<uint8_t>(random::int_upto(b[i] + 1, secure) - 1);
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::tuple;
    r.parent = 0;
    r.name = "tuple!";
    r.hash = hashtable::hash_by::tuple;
    r.marker = collector::cell_markers::nothing;
    r.families = family::scalar;
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = static_cast<action_fn>(random);
    r[act::to] = static_cast<action_fn>(make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::add] = static_cast<action_fn>(add);
    r[act::divide] = static_cast<action_fn>(divide);
    r[act::multiply] = static_cast<action_fn>(multiply);
    r[act::remainder] = static_cast<action_fn>(remainder);
    r[act::subtract] = static_cast<action_fn>(subtract);
    r[act::and_] = static_cast<action_fn>(and_);
    r[act::complement] = static_cast<action_fn>(complement);
    r[act::or_] = static_cast<action_fn>(or_);
    r[act::xor_] = static_cast<action_fn>(xor_);
    r[act::length_q] = static_cast<action_fn>(length_q);
    r[act::pick] = static_cast<action_fn>(pick);
    r[act::reverse] = static_cast<action_fn>(reverse);
    return r;
}

}  // namespace kel::tuple
