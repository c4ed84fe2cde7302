// bitset: see bitset.h. Bit indexes are int64 so that index / 8 + 1 and the
// like cannot overflow; an index from a float is range-checked before it is
// converted. Byte addresses are re-read after every growth.
#include "datatypes/bitset.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/fatal.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"

namespace kel::bitset {

dialect_words dialect;

void install_dialect_words() {
    dialect.not_word = symbol::resolve(words::not_);
    dialect.range_word = symbol::resolve(words::dash);
}

namespace {

using memory::buffer_header;

inline buffer_header* buf(const kel_value* b) { return memory::buffer_of(series_node(b)); }
inline uint8_t flag_byte(bool complemented) { return complemented ? 0xFF : 0x00; }

void notify(const kel_value* b, const char* word, const kel_value* value) {
    if (buf(b)->flags & memory::flag_owned) ownership::check(b, word, value, 0, 0);
}

// A new bitset cell over `bytes` used bytes, every byte of the capacity
// `fill`, complemented or not.
void new_bitset(kel_value* result, int64_t bytes, uint8_t fill, bool complemented) {
    if (bytes > 0xFFFFFF00ll) fire(error_category::internal, "no-memory");
    set_unset(result);
    const uint32_t node = memory::new_filled_bytes(static_cast<uint32_t>(bytes), fill);
    buffer_header* h = memory::buffer_of(node);
    h->tail = h->head + static_cast<uint32_t>(bytes);
    if (complemented) h->flags |= memory::flag_complemented;
    set_series(result, types::bitset, 0, node);
}

// Fills the capacity past the tail with the flag's byte.
void fill_past_tail(buffer_header* h) {
    memory::fill(h->data() + h->tail, h->data() + h->capacity, flag_byte(h->flags & memory::flag_complemented));
}

// The bit a char!, integer! or float! names (floats truncated toward zero;
// outside the integer range: script `out-of-range`).
int64_t bit_of(const kel_value* v) {
    if (type_of(v) == types::char_) return get_char(v);
    return cell::get_int_checked(v);
}

// Words match whatever their letter case: `NOT` is `not`. Only a symbol the
// table holds is resolved to its canonical form.
bool is_word(const kel_value* v, uint32_t symbol) {
    if (symbol == 0 || type_of(v) != types::word) return false;
    const uint32_t id = word_symbol(v);
    if (id == symbol) return true;
    return id != 0 && symbol::ready() && id <= symbol::count() && symbol::resolve(id) == symbol;
}

[[noreturn]] void wrong_spec(const kel_value* v, int mode) {
    if (mode == error_mode::other) fire(error_category::script, "invalid-arg", v);
    kel_value type;
    set_datatype(&type, types::bitset);
    fire(error_category::script, mode == error_mode::make ? "bad-make-arg" : "bad-to-arg", &type, v);
}

uint32_t code_point_at(const buffer_header* h, int64_t i) {
    const uint32_t unit = h->unit();
    const char* p = h->data() + h->head + i * unit;
    switch (unit) {
        case 1: return static_cast<uint8_t>(*p);
        case 2: { uint16_t u; std::memcpy(&u, p, 2); return u; }
        default: { uint32_t u; std::memcpy(&u, p, 4); return u; }
    }
}

// The bits low..high (both within the stored bytes, low <= high) set or
// cleared a byte at a time: a range may span the whole integer range, and a
// walk bit by bit would take seconds over it.
void write_bits(uint8_t* p, int64_t low, int64_t high, bool on) {
    const int64_t first = low >> 3, last = high >> 3;
    const uint8_t head = static_cast<uint8_t>(0xFFu >> (low & 7));
    const uint8_t tail = static_cast<uint8_t>(0xFFu << (7 - (high & 7)));
    auto apply = [&](int64_t i, uint8_t mask) {
        p[i] = on ? static_cast<uint8_t>(p[i] | mask) : static_cast<uint8_t>(p[i] & ~mask);
    };
    if (first == last) {
        apply(first, static_cast<uint8_t>(head & tail));
        return;
    }
    apply(first, head);
    if (last - first > 1) std::memset(p + first + 1, on ? 0xFF : 0x00, static_cast<size_t>(last - first - 1));
    apply(last, tail);
}

// Whether every bit low..high (within the stored bytes, low <= high) is set.
bool all_bits_set(const uint8_t* p, int64_t low, int64_t high) {
    const int64_t first = low >> 3, last = high >> 3;
    const uint8_t head = static_cast<uint8_t>(0xFFu >> (low & 7));
    const uint8_t tail = static_cast<uint8_t>(0xFFu << (7 - (high & 7)));
    if (first == last) return (p[first] & (head & tail)) == (head & tail);
    if ((p[first] & head) != head || (p[last] & tail) != tail) return false;
    for (int64_t i = first + 1; i < last; ++i)
        if (p[i] != 0xFF) return false;
    return true;
}

// A range's bound or single bit, for every op but test: negative is an error.
void check_not_negative(int64_t bit, const kel_value* v, int op) {
    if (bit < 0 && op != op::test) fire(error_category::script, "out-of-range", v);
}

}  // namespace

// --- storage ----------------------------------------------------------------------

uint8_t* bits(const kel_value* b) { return reinterpret_cast<uint8_t*>(buf(b)->head_ptr()); }
uint8_t* tail(const kel_value* b) { return reinterpret_cast<uint8_t*>(buf(b)->tail_ptr()); }
bool complemented_q(const kel_value* b) { return (buf(b)->flags & memory::flag_complemented) != 0; }
int64_t byte_length(const kel_value* b) { return buf(b)->used(); }

uint8_t* ensure(const kel_value* b, int64_t bit) {
    buffer_header* h = buf(b);
    const int64_t need = bit / 8 + 1;
    if (need > 0xFFFFFF00ll) fire(error_category::internal, "no-memory");
    if (h->head + need > h->capacity) {
        // Grown at least twofold, so setting bits one after another upwards
        // does not copy the whole set each time.
        const int64_t want = std::min<int64_t>(std::max<int64_t>(need, 2ll * h->capacity), 0xFFFFFF00ll);
        h = memory::expand_buffer_filled(h, static_cast<uint32_t>(want), flag_byte(complemented_q(b)));
    }
    if (static_cast<int64_t>(h->used()) < need) h->tail = h->head + static_cast<uint32_t>(need);
    return reinterpret_cast<uint8_t*>(h->head_ptr());
}

bool out_of_range_q(const kel_value* b, int64_t bit) { return bit < 0 || bit / 8 >= byte_length(b); }

void invert_bytes(const kel_value* b) {
    buffer_header* h = buf(b);
    for (uint8_t* p = reinterpret_cast<uint8_t*>(h->head_ptr()); p < reinterpret_cast<uint8_t*>(h->data() + h->capacity); ++p)
        *p = static_cast<uint8_t>(~*p);
}

int32_t append_hex(const kel_value* b, kel_value* buffer, bool part_given, int32_t budget, bool complemented) {
    static const char digits[] = "0123456789ABCDEF";
    int64_t n = byte_length(b);
    // With /part the digits stop at the first pair that takes the budget
    // below zero.
    if (part_given) n = std::min<int64_t>(n, budget < 0 ? 1 : int64_t{budget} / 2 + 1);
    // The digits go out a chunk at a time: a bitset of 2^31 bits forms half
    // a gigabyte of text, too slow two characters per append.
    char chunk[4096];
    const int64_t bytes_per_chunk = sizeof chunk / 2;
    for (int64_t start = 0; start < n; start += bytes_per_chunk) {
        const int64_t count = std::min(bytes_per_chunk, n - start);
        const uint8_t* source = bits(b) + start;  // re-read each chunk: appending text allocates
        for (int64_t i = 0; i < count; ++i) {
            const uint8_t byte = complemented ? static_cast<uint8_t>(~source[i]) : source[i];
            chunk[2 * i] = digits[byte >> 4];
            chunk[2 * i + 1] = digits[byte & 15];
        }
        text_out::append(buffer, chunk, static_cast<size_t>(2 * count));
    }
    return static_cast<int32_t>(budget - 2 * n);
}

// --- walkers ------------------------------------------------------------------------

bool process_range(const kel_value* b, int64_t low, int64_t high, int operation) {
    const bool flag = complemented_q(b);
    const int64_t stored = byte_length(b) * 8;
    switch (operation) {
        case op::set: {
            // With the flag the bits past the tail are members already; the
            // stored ones in the range are still set.
            int64_t top = high;
            if (flag) top = std::min(high, stored - 1);
            else ensure(b, high);
            if (low <= top) write_bits(bits(b), low, top, true);
            return true;
        }
        case op::clear: {
            int64_t top = high;
            if (flag) ensure(b, high);
            else top = std::min(high, stored - 1);
            if (low > top) return false;
            write_bits(bits(b), low, top, false);
            return true;
        }
        case op::test: {
            if (low < 0) return false;  // no negative number is a member
            const int64_t top = std::min(high, stored - 1);
            if (low <= top && !all_bits_set(bits(b), low, top)) return false;
            return high < stored || flag;
        }
        default: return false;
    }
}

int64_t process_string(const kel_value* s, const kel_value* b, int operation) {
    const buffer_header* h = buf(s);
    const int64_t n = h->units();
    const int64_t from = std::max<int64_t>(series_head(s), 0);
    int64_t highest = -1;
    for (int64_t i = from; i < n; ++i) {
        const int64_t c = code_point_at(buf(s), i);
        switch (operation) {
            case op::size: highest = std::max(highest, c); break;
            case op::test:
                if (!process_range(b, c, c, op::test)) return 0;
                break;
            default: process_range(b, c, c, operation); break;
        }
    }
    return operation == op::size ? highest : 1;
}

// A binary names the bits its set bits stand for, in the bitset's own order
// (bit 0 is the top bit of the first byte), so `[#{FF}]` is `#{FF}`. Its
// length counts as named: a plain set grows to cover every byte of it.
static int64_t process_binary(const kel_value* bin, const kel_value* b, int operation) {
    auto bytes = [&]() {
        buffer_header* h = buf(bin);
        const int64_t from = std::clamp<int64_t>(series_head(bin), 0, h->used());
        return std::pair<const uint8_t*, int64_t>(reinterpret_cast<const uint8_t*>(h->head_ptr()) + from,
                                                  static_cast<int64_t>(h->used()) - from);
    };
    const int64_t n = bytes().second;
    if (operation == op::size) return n * 8 - 1;
    if (n == 0) return 1;
    // Room first (a plain set grows for setting, a complemented one for
    // clearing), so that the walk below never moves the bitset's buffer.
    if ((operation == op::set && !complemented_q(b)) || (operation == op::clear && complemented_q(b)))
        ensure(b, n * 8 - 1);
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t byte = bytes().first[i];  // re-read: a test or a growth may have moved it
        for (int k = 0; k < 8; ++k) {
            if (!(byte & (0x80u >> k))) continue;
            const int64_t bit = i * 8 + k;
            const bool r = process_range(b, bit, bit, operation);
            if (operation == op::test && !r) return 0;
        }
    }
    return 1;
}

int64_t process_spec(const kel_value* spec, const kel_value* b, int operation, int mode) {
    const kel_value v = *spec;
    const uint32_t t = type_of(&v);
    if (t == types::char_ || t == types::integer || t == types::float_) {
        const int64_t bit = bit_of(&v);
        check_not_negative(bit, &v, operation);
        if (operation == op::size) return bit;
        return process_range(b, bit, bit, operation) ? 1 : 0;
    }
    if (in_family(t, family::string_like)) {
        if (operation == op::size) return process_string(&v, nullptr, op::size);
        // Room first, so that the walk never grows the buffer bit by bit; a
        // complemented set needs none for setting, a plain one none for clearing.
        if ((operation == op::set && !complemented_q(b)) || (operation == op::clear && complemented_q(b))) {
            const int64_t highest = process_string(&v, nullptr, op::size);
            if (highest >= 0) ensure(b, highest);
        }
        return process_string(&v, b, operation);
    }
    if (t == types::binary) return process_binary(&v, b, operation);
    if (t != types::block) wrong_spec(&v, mode);

    // Nested blocks recurse: a block that holds itself is a cycle error, and
    // the guard's depth limit keeps deep nesting off the machine stack's end.
    const uint32_t node = series_node(&v);
    const cycles::walk_guard guard(node);
    int64_t highest = -1;
    const int64_t n = memory::buffer_of(node)->units();
    auto element = [&](int64_t i) { return *reinterpret_cast<const kel_value*>(memory::buffer_of(node)->head_ptr() + i * 16); };
    for (int64_t i = std::max<int64_t>(series_head(&v), 0); i < n;) {
        const kel_value e = element(i);
        const uint32_t et = type_of(&e);
        if ((et == types::char_ || et == types::integer) && i + 1 < n) {
            const kel_value dash = element(i + 1);
            if (is_word(&dash, dialect.range_word)) {
                if (i + 2 >= n) fire(error_category::script, "past-end");
                const kel_value upper = element(i + 2);
                if (type_of(&upper) != et) fire(error_category::script, "invalid-arg", &upper);
                const int64_t low = bit_of(&e), high = bit_of(&upper);
                if (high < low) fire(error_category::script, "past-end");
                check_not_negative(low, &e, operation);
                if (operation == op::size) {
                    highest = std::max(highest, high);
                } else if (!process_range(b, low, high, operation) && operation == op::test) {
                    return 0;
                }
                i += 3;
                continue;
            }
        }
        const int64_t r = process_spec(&e, b, operation, mode);
        if (operation == op::size) highest = std::max(highest, r);
        else if (operation == op::test && r == 0) return 0;
        ++i;
    }
    return operation == op::size ? highest : 1;
}

// --- values ------------------------------------------------------------------------------

void make_from(kel_value* result, const kel_value* spec, int mode) {
    kel_value s = *spec;
    bool negated = false;
    if (type_of(&s) == types::block) {
        buffer_header* h = buf(&s);
        const int64_t head = std::max<int64_t>(series_head(&s), 0);
        if (head < h->units()) {
            const auto* first = reinterpret_cast<const kel_value*>(h->head_ptr() + head * 16);
            if (is_word(first, dialect.not_word)) {
                negated = true;
                set_series_head(&s, static_cast<int32_t>(head + 1));  // a copy: the caller's head stays
            }
        }
    }
    switch (type_of(&s)) {
        case types::integer:
        case types::float_: {
            if (mode == error_mode::to) wrong_spec(&s, mode);
            const int64_t n = cell::get_int_checked(&s);
            if (n < 0) fire(error_category::script, "out-of-range", &s);
            new_bitset(result, (n + 7) / 8, 0x00, false);
            return;
        }
        case types::bitset: copy(&s, result); return;
        case types::binary: {
            const kel_value bin = s;
            const buffer_header* h = buf(&bin);
            const int64_t from = std::clamp<int64_t>(series_head(&bin), 0, h->used());
            const int64_t n = static_cast<int64_t>(h->used()) - from;
            new_bitset(result, n, flag_byte(negated), negated);
            buffer_header* src = buf(&bin);  // re-read after the allocation
            std::memcpy(bits(result), src->head_ptr() + from, static_cast<size_t>(n));
            if (negated)
                for (uint8_t* p = bits(result); p < tail(result); ++p) *p = static_cast<uint8_t>(~*p);
            return;
        }
        default: break;
    }
    const int64_t highest = process_spec(&s, nullptr, op::size, mode);
    kel_value made;
    new_bitset(&made, highest < 0 ? 0 : highest / 8 + 1, flag_byte(negated), negated);
    buf(&made)->tail = buf(&made)->head;  // the used length grows as bits are named
    *result = made;
    process_spec(&s, result, negated ? op::clear : op::set, mode);
}

void copy(const kel_value* b, kel_value* result) {
    const kel_value src = *b;
    set_unset(result);
    const uint32_t node = memory::copy_buffer(buf(&src));
    fill_past_tail(memory::buffer_of(node));
    set_series(result, types::bitset, 0, node);
}

void complement(const kel_value* b, kel_value* result) {
    copy(b, result);
    buf(result)->flags ^= memory::flag_complemented;
    invert_bytes(result);
}

bool pick(const kel_value* b, const kel_value* index) {
    return process_spec(index, b, op::test, error_mode::other) != 0;
}

void poke(const kel_value* b, const kel_value* index, const kel_value* value) {
    bool off;
    switch (type_of(value)) {
        case types::none: off = true; break;
        case types::logic: off = !get_logic(value); break;
        case types::integer: off = get_integer(value) == 0; break;
        case types::float_: off = get_float(value) == 0.0; break;
        default: off = false; break;
    }
    notify(b, "poke", value);
    process_spec(index, b, off ? op::clear : op::set, error_mode::other);
    notify(b, "poked", value);
}

void append(const kel_value* b, const kel_value* value) {
    notify(b, "insert", value);
    process_spec(value, b, op::set, error_mode::other);
    notify(b, "inserted", value);
}

void remove(const kel_value* b, const kel_value* part) {
    if (!part) fire(error_category::script, "missing-arg");
    notify(b, "remove", part);
    // The named bits stop being members whether or not the set is complemented.
    process_spec(part, b, op::clear, error_mode::other);
    notify(b, "removed", part);
}

void clear(const kel_value* b) {
    notify(b, "clear", nullptr);
    std::memset(bits(b), flag_byte(complemented_q(b)), static_cast<size_t>(byte_length(b)));
    notify(b, "cleared", nullptr);
}

// --- form, mold, compare -------------------------------------------------------------------

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    const bool comp = complemented_q(value);
    text_out::append(buffer, "make bitset! ");
    part -= 13;
    if (comp) {
        text_out::append(buffer, "[not ");
        part -= 5;
    }
    text_out::append(buffer, "#{");
    part -= 2;
    part = append_hex(value, buffer, arg != nullptr, part, comp);
    if (arg && part <= 0) return part;
    text_out::append(buffer, "}");
    --part;
    if (comp) {
        text_out::append(buffer, "]");
        --part;
    }
    return part;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return form(value, buffer, arg, part);
}

int32_t compare(const kel_value* a, const kel_value* b, int32_t operation) {
    if (type_of(b) != types::bitset) return cmp::not_comparable;
    if (operation == cmp::same) return series_node(a) == series_node(b) ? 0 : 1;
    const int64_t la = byte_length(a), lb = byte_length(b);
    if (la != lb) return la < lb ? -1 : 1;
    // The flag before the bytes: an empty plain set and an empty complemented
    // one are as far apart as two sets can be.
    const bool ca = complemented_q(a), cb = complemented_q(b);
    if (ca != cb) return ca ? 1 : -1;
    const uint8_t* pa = bits(a);
    const uint8_t* pb = bits(b);
    for (int64_t i = la - 1; i >= 0; --i)
        if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
    return 0;
}

// --- set operations ----------------------------------------------------------------------

kel_value* set_operation(int32_t operation) {
    kel_value* first = stack::argument(1);
    const kel_value* second = stack::argument(2);
    if (operation == 8) return first;  // unique: a bitset holds no duplicates
    if (type_of(second) != types::bitset) {
        kel_value type;
        set_datatype(&type, type_of(second));
        fire(error_category::script, "invalid-type", &type);
    }
    // Both operands are read as if extended with their flag byte to the
    // longer length, so that complemented sets combine exactly; the result's
    // flag is the operation applied to the two flags.
    const bool fa = complemented_q(first), fb = complemented_q(second);
    const int64_t la = byte_length(first), lb = byte_length(second);
    bool flag;
    switch (operation) {
        case 5: case 9: flag = fa || fb; break;
        case 6: case 10: flag = fa && fb; break;
        case 7: case 12: flag = fa != fb; break;
        case 11: flag = fa && !fb; break;
        default: fatal::report_error(fatal::no_switch_matched, __builtin_return_address(0));
    }
    int64_t length = std::max(la, lb);
    // and~ keeps only the common bytes when the shorter operand is plain:
    // the bytes beyond would all be zero, as its flag is.
    if (operation == 6 && !(la < lb ? fa : fb)) length = std::min(la, lb);
    kel_value* out = stack::push_unset();
    new_bitset(out, length, flag_byte(flag), flag);
    const uint8_t xa = flag_byte(fa), xb = flag_byte(fb);
    const uint8_t* pa = bits(first);
    const uint8_t* pb = bits(second);
    uint8_t* r = bits(out);
    for (int64_t i = 0; i < length; ++i) {
        const uint8_t a = i < la ? pa[i] : xa;
        const uint8_t b = i < lb ? pb[i] : xb;
        uint8_t x;
        switch (operation) {
            case 5: case 9: x = a | b; break;
            case 6: case 10: x = a & b; break;
            case 7: case 12: x = a ^ b; break;
            default: x = static_cast<uint8_t>(a & ~b); break;
        }
        r[i] = x;
    }
    stack::set_last(out);
    stack::drop_cells(1);
    return stack::arguments();
}

// --- the bitset! row --------------------------------------------------------------------------

namespace {

kel_value* arg(int n) { return stack::argument(n); }

signal_code a_make(const refinements&) {
    const kel_value spec = *arg(2);
    make_from(stack::arguments(), &spec, error_mode::make);
    return signal_code::none;
}
signal_code a_to(const refinements&) {
    const kel_value spec = *arg(2);
    make_from(stack::arguments(), &spec, error_mode::to);
    return signal_code::none;
}

int32_t f_form(const kel_value* v, kel_value* buffer, const kel_value* a, int32_t part) { return form(v, buffer, a, part); }
int32_t f_mold(const kel_value* v, kel_value* buffer, bool only, bool all, bool flat, const kel_value* a, int32_t part,
               int32_t indent) {
    return mold(v, buffer, only, all, flat, a, part, indent);
}
int32_t f_compare(const kel_value* a, const kel_value* b, int32_t operation) { return compare(a, b, operation); }

signal_code a_path(const path_step_args& s) {
    const uint32_t t = type_of(s.element);
    if (t != types::integer && t != types::char_) {
        kel_value type;
        set_datatype(&type, t);
        fire(error_category::script, "invalid-type", &type);
    }
    if (s.value_to_set) {
        const kel_value v = *s.value_to_set;
        poke(s.parent, s.element, &v);
        *s.result = v;
    } else {
        set_logic(s.result, pick(s.parent, s.element));
    }
    return signal_code::none;
}

signal_code a_complement(const refinements&) {
    const kel_value b = *arg(1);
    complement(&b, stack::arguments());
    return signal_code::none;
}
signal_code a_or(const refinements&) { set_operation(5); return signal_code::none; }
signal_code a_and(const refinements&) { set_operation(6); return signal_code::none; }
signal_code a_xor(const refinements&) { set_operation(7); return signal_code::none; }
signal_code a_append(const refinements&) {
    append(arg(1), arg(2));
    return signal_code::none;
}
signal_code a_clear(const refinements&) {
    clear(arg(1));
    return signal_code::none;
}
signal_code a_copy(const refinements&) {
    const kel_value b = *arg(1);
    copy(&b, stack::arguments());
    return signal_code::none;
}
signal_code a_find(const refinements&) {
    if (pick(arg(1), arg(2))) set_logic(stack::arguments(), true);
    else set_none(stack::arguments());
    return signal_code::none;
}
signal_code a_length_q(const refinements&) {
    // A set that reaches bit 2147483647 holds one bit more than an integer!
    // can count: that is an error, never a count cut to fit.
    const int64_t n = byte_length(arg(1)) * 8;
    if (n > INT32_MAX) scalar::type_limit(types::integer);
    set_integer(stack::arguments(), static_cast<int32_t>(n));
    return signal_code::none;
}
signal_code a_pick(const refinements&) {
    set_logic(stack::arguments(), pick(arg(1), arg(2)));
    return signal_code::none;
}
signal_code a_poke(const refinements&) {
    poke(arg(1), arg(2), arg(3));
    stack::set_last(arg(3));
    return signal_code::none;
}
signal_code a_remove(const refinements& r) {
    remove(arg(1), r.has(0) ? stack::arguments() + r.at[0] : nullptr);
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::bitset;
    r.hash = hashtable::hash_by::zero;
    r.marker = kel::collector::cell_markers::word2_node;
    r.parent = 0;
    r.name = "bitset!";
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::reflect] = static_cast<action_fn>(series::reflect_owned);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::form] = static_cast<form_fn>(f_form);
    r[act::mold] = static_cast<mold_fn>(f_mold);
    r[act::path_step] = static_cast<path_fn>(a_path);
    r[act::compare] = static_cast<compare_fn>(f_compare);
    r[act::negate] = static_cast<action_fn>(a_complement);
    r[act::and_] = static_cast<action_fn>(a_and);
    r[act::complement] = static_cast<action_fn>(a_complement);
    r[act::or_] = static_cast<action_fn>(a_or);
    r[act::xor_] = static_cast<action_fn>(a_xor);
    r[act::append] = static_cast<action_fn>(a_append);
    r[act::clear] = static_cast<action_fn>(a_clear);
    r[act::copy] = static_cast<action_fn>(a_copy);
    r[act::find] = static_cast<action_fn>(a_find);
    r[act::insert] = static_cast<action_fn>(a_append);
    r[act::length_q] = static_cast<action_fn>(a_length_q);
    r[act::pick] = static_cast<action_fn>(a_pick);
    r[act::poke] = static_cast<action_fn>(a_poke);
    r[act::remove] = static_cast<action_fn>(a_remove);
    r[act::modify] = static_cast<action_fn>(series::modify_owned);
    return r;
}

}  // namespace kel::bitset
