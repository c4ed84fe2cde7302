// char: the char! row, its checked arithmetic and conversions, the UTF-8 read
// of one character, the mold escape and the widening append. See char.h.
#include "datatypes/char.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <cstring>

#include "datatypes/integer.h"
#include "datatypes/string_api.h"
#include "kernel/stack.h"
#include "kernel/unicode.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::char_ {

using namespace scalar;

kel_value* make_at_tail(const kel_value* block, uint32_t code_point) {
    kel_value* c = memory::claim_tail_cell(block);
    set_char(c, code_point);
    return c;
}

kel_value* push(uint32_t code_point) {
    kel_value* c = stack::alloc_cell();
    set_char(c, code_point);
    return c;
}

signal_code arith_action(int op) {
    kel_value* left = arg(1);
    kel_value* right = arg(2);
    const uint32_t rt = type_of(right);
    int32_t n;
    switch (rt) {
        case types::char_:
        case types::integer: n = get_integer(right); break;
        case types::float_: {
            const double d = get_float(right);
            if (integer::out_of_range_q(d)) math_overflow();
            n = static_cast<int32_t>(d);
            break;
        }
        case types::vector: return vector_on_right(op, types::char_);
        default: invalid_type(rt);
    }
    // A divide never becomes float!: no cell is passed for it.
    kel_value scratch;
    set_unset(&scratch);
    const int32_t r =
        integer::arith_op(static_cast<int32_t>(get_char(left)), n, op, op == op_divide ? nullptr : &scratch);
    if (type_of(&scratch) != types::unset || r < 0 || r > static_cast<int32_t>(max_code_point)) math_overflow();
    left->w2 = static_cast<uint32_t>(r);
    return signal_code::none;
}

namespace {

[[noreturn]] void invalid_utf8(const uint8_t* bytes, size_t available) {
    const uint32_t n = static_cast<uint32_t>(available < 4 ? available : 4);
    const uint32_t node = memory::new_bytes(4);
    std::memcpy(memory::claim_tail_bytes(node, n), bytes, n);
    kel_value b;
    set_series(&b, types::binary, 0, node);
    fire(error_category::access, "invalid-utf8", &b);
}

bool continuation(uint8_t b) { return b >= 0x80 && b <= 0xBF; }

}  // namespace

uint32_t first_utf8_char(const uint8_t* bytes, size_t count, const kel_value* spec) {
    if (count == 0) bad_to_arg(types::char_, spec);
    const uint8_t b = bytes[0];
    if (b < 0x80) return b;
    size_t need;
    uint32_t cp;
    if (b >= 0xC0 && b <= 0xDF) need = 2, cp = b - 0xC0u;
    else if (b >= 0xE0 && b <= 0xEF) need = 3, cp = b - 0xE0u;
    else if (b >= 0xF0 && b <= 0xF7) need = 4, cp = b - 0xF0u;
    else invalid_utf8(bytes, count);
    if (count < need) invalid_utf8(bytes, count);
    for (size_t i = 1; i < need; ++i) {
        if (!continuation(bytes[i])) invalid_utf8(bytes, count);
        cp = (cp << 6) | (bytes[i] - 0x80u);
    }
    // The same sequences the UTF-8 loader refuses: a trail surrogate of the
    // DCxx block, U+FFFE (its malformed mark) and anything above U+10FFFF.
    if ((need == 3 && cp >= 0xDC00 && cp <= 0xDCFF) || cp == 0xFFFE || cp > max_code_point)
        invalid_utf8(bytes, count);
    return cp;
}

// A surrogate is always an escape: its raw UTF-8 form does not load back.
int escape(uint32_t cp, bool all, char* out) {
    const bool surrogate = unicode::surrogate_q(cp);
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || surrogate || (all && cp > 0x7F)) {
        static constexpr char hex[] = "0123456789ABCDEF";
        char digits[8];
        int n = 0;
        do {
            digits[n++] = hex[cp & 15];
            cp >>= 4;
        } while (cp);
        int len = 0;
        out[len++] = '^';
        out[len++] = '(';
        while (n) out[len++] = digits[--n];
        out[len++] = ')';
        return len;
    }
    // Escape letters of the code points below 0x5F that have one.
    static constexpr char letters[0x5F + 1] =
        "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]\0_\0\0\"";
    char letter = 0;
    if (cp < 0x5F) letter = cp == 0x5E ? '^' : letters[cp];
    else if (cp == 0x7F) letter = '~';
    if (!letter) return 0;
    out[0] = '^';
    out[1] = letter;
    return 2;
}

void append_code_point(kel_value* buffer, uint32_t code_point) {
    string::append_code_points(buffer, &code_point, 1);
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    append_code_point(buffer, get_char(value));
    return part - 1;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part,
             int32_t) {
    text_out::append(buffer, "#\"", 2);
    char text[12];
    const int n = escape(get_char(value), all, text);
    if (n) text_out::append(buffer, text, static_cast<size_t>(n));
    else append_code_point(buffer, get_char(value));
    text_out::append(buffer, "\"", 1);
    return part - 4;
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t t = type_of(other);
    if ((op == cmp::strict_equal || op == cmp::find) && t != types::char_) return 1;
    if (t != types::char_ && t != types::integer) return cmp::not_comparable;
    const int32_t a = get_integer(value), b = get_integer(other);
    return (a > b) - (a < b);
}

namespace {

uint32_t checked(int32_t cp, const kel_value* spec) {
    if (cp < 0 || cp > static_cast<int32_t>(max_code_point)) out_of_range(spec);
    return static_cast<uint32_t>(cp);
}

signal_code make(const refinements&) {
    kel_value* result = arg(1);
    const kel_value* spec = arg(2);
    const uint32_t st = type_of(spec);
    uint32_t cp;
    switch (st) {
        case types::char_:
        case types::integer: cp = checked(get_integer(spec), spec); break;
        case types::float_:
        case types::percent: {
            const double d = get_float(spec);
            if (integer::out_of_range_q(d)) out_of_range(spec);
            cp = checked(static_cast<int32_t>(d), spec);
            break;
        }
        case types::binary: {
            const units_view u = units_from_head(spec);
            cp = first_utf8_char(reinterpret_cast<const uint8_t*>(u.data), static_cast<size_t>(u.count), spec);
            break;
        }
        default: {
            if (!in_family(st, family::string_like)) bad_to_arg(types::char_, spec);
            const units_view u = units_from_head(spec);
            if (u.count == 0) bad_to_arg(types::char_, spec);
            uint32_t c = 0;
            std::memcpy(&c, u.data, static_cast<size_t>(u.unit));
            cp = c;
            break;
        }
    }
    set_char(result, cp);
    return signal_code::none;
}

signal_code add(const refinements&) { return arith_action(op_add); }
signal_code subtract(const refinements&) { return arith_action(op_subtract); }
signal_code multiply(const refinements&) { return arith_action(op_multiply); }
signal_code divide(const refinements&) { return arith_action(op_divide); }
signal_code remainder(const refinements&) { return arith_action(op_remainder); }
signal_code or_(const refinements&) { return arith_action(op_or); }
signal_code and_(const refinements&) { return arith_action(op_and); }
signal_code xor_(const refinements&) { return arith_action(op_xor); }

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::char_;
    r.hash = hashtable::hash_by::w2;
    r.set_hash = registry::set_hash_rule::exact;
    r.marker = kel::collector::cell_markers::nothing;
    r.families = family::scalar;
    r.parent = types::integer;
    r.name = "char!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = registry::entry::inherit();
    r[act::to] = static_cast<action_fn>(make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::absolute] = registry::entry::inherit();
    r[act::add] = static_cast<action_fn>(add);
    r[act::divide] = static_cast<action_fn>(divide);
    r[act::multiply] = static_cast<action_fn>(multiply);
    r[act::remainder] = static_cast<action_fn>(remainder);
    r[act::subtract] = static_cast<action_fn>(subtract);
    r[act::even_q] = registry::entry::inherit();
    r[act::odd_q] = registry::entry::inherit();
    r[act::and_] = static_cast<action_fn>(and_);
    r[act::or_] = static_cast<action_fn>(or_);
    r[act::xor_] = static_cast<action_fn>(xor_);
    return r;
}

}  // namespace kel::char_
