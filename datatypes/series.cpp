// series: cursor routines and the series! actions over any unit size.
// Positions are computed in 64 bits so that no head or count arithmetic can
// overflow; data pointers are re-read from the node after every call that may
// allocate.
#include "datatypes/series.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/hash.h"
#include "datatypes/symbol.h"
#include "datatypes/vector.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/heap.h"
#include "kernel/murmur3.h"
#include "kernel/ownership.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_cursor.h"
#include "kernel/series_memory.h"
#include "kernel/random.h"
#include "kernel/native_api.h"


namespace kel::series {

namespace {

using memory::buffer_header;

inline int64_t units_of(const kel_value* s) { return buffer(s)->units(); }

inline char* unit_ptr(buffer_header* h, int64_t i) { return h->data() + h->head + (i << h->shift()); }

void notify(const kel_value* s, const char* word, const kel_value* value, int64_t index, int64_t count) {
    memory::touch(memory::buffer_of(series_node(s)));  // every change is announced here, owned or not
    if (buffer(s)->flags & memory::flag_owned)
        ownership::check(s, word, value, static_cast<int32_t>(index), static_cast<int32_t>(count));
}

[[noreturn]] void bad_refine(const char* refinement, const kel_value* value) {
    fire(error_category::script, "invalid-refine-arg", error_arg::named(refinement), value);
}

bool same_series(const kel_value* a, const kel_value* b) {
    return type_of(a) == type_of(b) && series_node(a) == series_node(b);
}

uint32_t read_code_point(const char* p, uint32_t unit) {
    switch (unit) {
        case 1: return static_cast<uint8_t>(*p);
        case 2: { uint16_t v; std::memcpy(&v, p, 2); return v; }
        default: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    }
}

void write_code_point(char* p, uint32_t unit, uint32_t c) {
    switch (unit) {
        case 1: *p = static_cast<char>(c); break;
        case 2: { uint16_t v = static_cast<uint16_t>(c); std::memcpy(p, &v, 2); break; }
        default: std::memcpy(p, &c, 4); break;
    }
}

uint32_t unit_for_code_point(uint32_t c) { return c <= 0xFF ? 1 : (c <= 0xFFFF ? 2 : 4); }

// Widens a string buffer so that units of `unit` bytes hold every code point.
buffer_header* widen(const kel_value* s, uint32_t unit) {
    buffer_header* h = buffer(s);
    const uint32_t old_unit = h->unit();
    if (old_unit >= unit) return h;
    const uint32_t n = h->units();
    const uint32_t node = series_node(s);
    buffer_header* w = memory::allocate_buffer(std::max<uint32_t>(n, 16u / unit), unit, 0);
    h = memory::buffer_of(node);
    memory::take_flags(w, h, true);
    w->flags = (w->flags & ~memory::unit_mask) | unit;
    for (uint32_t i = 0; i < n; ++i)
        write_code_point(w->data() + i * unit, unit, read_code_point(h->data() + h->head + i * old_unit, old_unit));
    w->tail = n * unit;
    memory::replace_node_buffer(node, w);
    return w;
}

// A count or position argument: /part as integer!, or a position in the same
// series (count = its head - head). Anything else raises invalid-refine-arg.
int64_t part_count(const kel_value* s, const kel_value* part) {
    if (type_of(part) == types::integer) return get_integer(part);
    if (in_family(type_of(part), family::series) && same_series(s, part))
        return static_cast<int64_t>(series_head(part)) - series_head(s);
    bad_refine("/part", part);
}

// Moves units [from, units) of the buffer to start at `to`.
void shift_units(buffer_header* h, int64_t from, int64_t to) {
    int64_t n = static_cast<int64_t>(h->units()) - from;
    if (n > 0) std::memmove(unit_ptr(h, to), unit_ptr(h, from), static_cast<size_t>(n << h->shift()));
}

// Removes `count` units at position p (p + count within the buffer).
void cut_units(const kel_value* s, int64_t p, int64_t count) {
    buffer_header* h = buffer(s);
    memory::touch(h);  // also the origin of a move, which is announced on the destination only
    const int64_t units = h->units();
    if (p + count >= units) {
        h->tail = h->head + static_cast<uint32_t>(p << h->shift());
    } else {
        shift_units(h, p + count, p);
        h->tail -= static_cast<uint32_t>(count << h->shift());
    }
}

// Opens a gap of `count` units at position p of the node's buffer; returns
// the (possibly new) header.
buffer_header* open_gap(uint32_t node, int64_t p, int64_t count) {
    buffer_header* h = memory::buffer_of(node);
    const uint64_t bytes = static_cast<uint64_t>(count) << h->shift();
    if (bytes > 0xFFFFFF00ull) fire(error_category::internal, "no-memory");
    h = memory::ensure_tail_room(node, static_cast<uint32_t>(bytes));
    const int64_t units = h->units();
    if (p < units)
        std::memmove(unit_ptr(h, p + count), unit_ptr(h, p), static_cast<size_t>((units - p) << h->shift()));
    h->tail += static_cast<uint32_t>(bytes);
    memory::touch(h);
    return h;
}

void swap_units(buffer_header* h, int64_t a, int64_t b, int64_t width_units, char* scratch) {
    const size_t bytes = static_cast<size_t>(width_units << h->shift());
    char* pa = unit_ptr(h, a);
    char* pb = unit_ptr(h, b);
    std::memcpy(scratch, pa, bytes);
    std::memmove(pa, pb, bytes);
    std::memcpy(pb, scratch, bytes);
}

void new_series_like(const kel_value* s, kel_value* result, int64_t count) {
    const uint32_t type = type_of(s);
    const uint32_t unit = buffer(s)->unit();
    const uint32_t extra = (type == types::vector) ? s->w3 : 0;
    const uint32_t source_node = series_node(s);
    if (result != s) set_unset(result);
    uint32_t node = memory::new_series(static_cast<uint32_t>(count), unit, 0);
    memory::take_flags(memory::buffer_of(node), memory::buffer_of(source_node), false);
    uint32_t new_line = s->header & header_new_line;
    set_series(result, type, 0, node, extra);
    result->header |= new_line;
}

}  // namespace

// --- cursor routines -----------------------------------------------------------

bool ks_tail_q(const kel_value* s) { return cursor::tail_q(s); }

int32_t ks_units(const kel_value* s) { return static_cast<int32_t>(units_of(s)); }

bool ks_skip(kel_value* s, int32_t n) { return cursor::skip(s, n); }

int32_t ks_length_q(kel_value* s, bool from_start) { return cursor::length_q(s, from_start); }

int32_t seek_index(const kel_value* s, const kel_value* offset, bool at_flag) {
    if (type_of(offset) != types::integer) fire(error_category::script, "invalid-arg", offset);
    const int64_t off = get_integer(offset);
    const int64_t k = (at_flag && off >= 1) ? 1 : 0;
    const int64_t p = static_cast<int64_t>(series_head(s)) + off - k;
    return static_cast<int32_t>(std::clamp<int64_t>(p, 0, units_of(s)));
}

// --- navigation ------------------------------------------------------------------

void head(kel_value* s) { cursor::head(s); }
void tail(kel_value* s) { cursor::tail(s); }
bool head_q(const kel_value* s) { return cursor::head_q(s); }
bool tail_q(const kel_value* s) { return cursor::tail_q(s); }
int32_t index_q(const kel_value* s) { return cursor::index_q(s); }
int32_t length_q(kel_value* s) { return cursor::length_q(s); }
void at(kel_value* s, const kel_value* offset) { set_series_head(s, seek_index(s, offset, true)); }
void skip(kel_value* s, const kel_value* offset) { set_series_head(s, seek_index(s, offset, false)); }
void next(kel_value* s) { (void)cursor::skip(s, 1); }
void back(kel_value* s) { cursor::back(s); }

// --- elements ----------------------------------------------------------------------

void element_value(const kel_value* s, int32_t p, kel_value* out) {
    buffer_header* h = buffer(s);
    const char* e = unit_ptr(h, p);
    const uint32_t t = type_of(s);
    const uint32_t unit = h->unit();
    if (unit == 16 && t != types::vector) {
        *out = *reinterpret_cast<const kel_value*>(e);
        return;
    }
    if (t == types::binary) {
        set_integer(out, static_cast<uint8_t>(*e));
        return;
    }
    if (t == types::vector) {
        vector::element_at(s, e, out);
        return;
    }
    set_char(out, read_code_point(e, unit));
}

namespace {
inline int64_t index_position(const kel_value* s, int32_t n) { return cursor::pick_position(s, n); }
}  // namespace

void pick(const kel_value* s, int32_t n, kel_value* out) {
    const int64_t p = index_position(s, n);
    if (p < 0) {
        set_none(out);
        return;
    }
    element_value(s, static_cast<int32_t>(p), out);
}

void poke(const kel_value* s, int32_t n, const kel_value* value) {
    const int64_t p = index_position(s, n);
    if (p < 0) {
        kel_value index;
        set_integer(&index, n);
        fire(error_category::script, "out-of-range", &index);
    }
    const kel_value v = *value;  // the value may live in the same buffer
    const uint32_t t = type_of(s);
    buffer_header* h = buffer(s);
    const uint32_t unit = h->unit();
    // Check the value before telling the owner of a change.
    if (t == types::vector) {
        vector::check_storable(s, &v);
    } else if (t == types::binary) {
        if (type_of(&v) != types::integer && type_of(&v) != types::char_)
            fire(error_category::script, "invalid-arg", value);
    } else if (unit != 16) {
        if (type_of(&v) != types::char_) fire(error_category::script, "invalid-arg", value);
    }
    notify(s, "poke", &v, p, 1);
    // The owner's handler may have moved, widened or shortened the buffer.
    h = buffer(s);
    if (p >= static_cast<int64_t>(h->units())) {
        notify(s, "poked", &v, p, 0);
        return;
    }
    if (unit == 16 && t != types::vector) {
        *reinterpret_cast<kel_value*>(unit_ptr(h, p)) = v;
        hash::rewritten(s, p, 1);
    } else if (t == types::binary) {
        *unit_ptr(h, p) = static_cast<char>(v.w2);
    } else if (t == types::vector) {
        vector::set_element(unit_ptr(h, p), &v, unit);
    } else {
        const uint32_t c = get_char(&v);
        if (unit_for_code_point(c) > h->unit()) h = widen(s, unit_for_code_point(c));
        write_code_point(unit_ptr(h, p), h->unit(), c);
    }
    notify(s, "poked", &v, p, 1);
}

// --- changes -----------------------------------------------------------------------

void clear(kel_value* s) {
    const int64_t start = std::max<int64_t>(series_head(s), 0);
    const int64_t n = units_of(s) - start;
    if (n < 1) return;
    notify(s, "clear", nullptr, start, n);
    // The owner's handler may have shortened the series: a tail it moved
    // before the head stays where it is, and nothing behind it comes back.
    const int64_t left = units_of(s) - start;
    if (left > 0) {
        hash::before_replace(s, start, left);
        buffer_header* h = buffer(s);
        h->tail = h->head + static_cast<uint32_t>(start << h->shift());
    }
    notify(s, "cleared", nullptr, start, 0);
}

namespace {
// Position of the key from the head, found by the series type's own find
// with /case (so a text key in a string and a block key in a block match as
// a sequence, a datatype key by type), or -1.
int64_t find_key(const kel_value* s, const kel_value* key) {
    find_options o;
    o.case_ = true;
    kel_value* found = stack::push_unset();
    actions::find_value(s, key, o, found);
    const int64_t at = type_of(found) == types::none ? -1 : series_head(found);
    stack::drop_cells(1);
    return at;
}
}  // namespace

bool remove(kel_value* s, const kel_value* part, const kel_value* key) {
    int64_t count = 1;
    if (part) {
        count = part_count(s, part);
        if (count < 1) return true;
    }
    if (key) {
        const int64_t at_key = find_key(s, key);
        if (at_key < 0) return false;
        set_series_head(s, static_cast<int32_t>(at_key));
        count += 1;
    }
    const int64_t head = series_head(s);
    int64_t units = units_of(s);
    if (head < 0 || head >= units) return true;
    const int64_t asked = count;
    count = std::min(asked, units - head);
    notify(s, "remove", nullptr, head, count);
    // The owner's handler may have shortened the series: what it left
    // behind the tail must not come back.
    units = units_of(s);
    count = std::min(asked, units - head);
    if (count < 1) {
        notify(s, "removed", nullptr, head, 0);
        return true;
    }
    hash::before_replace(s, head, count);
    cut_units(s, head, count);
    hash::after_replace(s, head, count, 0, units);
    notify(s, "removed", nullptr, head, count);
    return true;
}

void remove_at_marks(const kel_value* s, const int32_t* marks, size_t n, int32_t count, bool quiet) {
    if (n == 0 || count < 1) return;
    if (!quiet && (buffer(s)->flags & memory::flag_owned)) {
        kel_value* at = stack::push_copy(s);
        kel_value* part = stack::push_unset();
        set_integer(part, count);
        for (size_t i = n; i-- > 0;) {
            set_series_head(at, marks[i]);
            remove(at, part, nullptr);
        }
        stack::drop_cells(2);
        return;
    }
    buffer_header* h = buffer(s);
    memory::touch(h);
    const int64_t units = h->units();
    const size_t unit_shift = h->shift();
    int64_t write = -1, read = 0;
    for (size_t i = 0; i < n; ++i) {
        const int64_t start = std::min<int64_t>(marks[i], units);
        if (write < 0) {
            write = start;
        } else if (start > read) {
            std::memmove(unit_ptr(h, write), unit_ptr(h, read), static_cast<size_t>((start - read) << unit_shift));
            write += start - read;
        }
        read = std::min<int64_t>(start + count, units);
    }
    if (read < units)
        std::memmove(unit_ptr(h, write), unit_ptr(h, read), static_cast<size_t>((units - read) << unit_shift));
    write += units - read;
    h->tail = h->head + static_cast<uint32_t>(write << unit_shift);
    if (write != units) hash::reindex(s);
}

namespace {
// Which units a take of `given` removes from `head` (the series as it
// stands now): `count` at `start`, none of them when `empty`, and nothing at
// all when no unit lies at or after the head.
take_plan plan_counts(kel_value* s, int64_t head, int64_t given, bool last) {
    take_plan t;
    t.given = given;
    const int64_t n = ks_length_q(s, false);
    t.nothing = n < 1;
    if (given > 0) {
        t.count = std::min(given, n);
        t.start = last ? units_of(s) - t.count : head;
    } else {
        t.count = given < 0 ? (last ? 1 : -given) : 1;
        if (given < 0) t.count = std::min(t.count, head);
        t.start = head - t.count;
        if (last || head < t.count || t.count == 0) t.empty = true;
    }
    return t;
}

// The count a take's /part asks for.
int64_t take_given(kel_value* s, const kel_value* part, bool last) {
    if (!part) return 1;
    if (type_of(part) == types::integer) return get_integer(part);
    if (in_family(type_of(part), family::series) && same_series(s, part)) {
        const int64_t head = series_head(s), pos = series_head(part);
        if (pos < head) return 0;
        return last ? head + ks_length_q(s, false) - pos : pos - head;
    }
    bad_refine("/part", part);
}
}  // namespace

take_plan plan_take(kel_value* s, const kel_value* part, bool last) {
    if (ks_length_q(s, false) < 1) {
        take_plan none;
        none.nothing = true;
        return none;
    }
    return plan_counts(s, series_head(s), take_given(s, part, last), last);
}

void take(kel_value* s, const kel_value* part, bool, bool last, kel_value* result) {
    if (ks_length_q(s, false) < 1) {
        set_none(result);
        return;
    }
    const int64_t head = series_head(s);
    const int64_t given = take_given(s, part, last);
    notify(s, "take", nullptr, head, given);
    // Planned after the owner's handler, which may have reshaped the series:
    // nothing it removed may come back.
    const int64_t units = units_of(s);
    const take_plan t = plan_counts(s, std::min(head, units), given, last);
    const bool nothing = t.nothing || (given > 0 ? t.count < 1 : t.empty);
    if (!part) {
        if (nothing) {
            set_none(result);
        } else {
            // One element, read directly: no shared buffer another take could overwrite.
            kel_value element;
            element_value(s, static_cast<int32_t>(t.start), &element);
            hash::before_replace(s, t.start, 1);
            cut_units(s, t.start, 1);
            hash::after_replace(s, t.start, 1, 0, units);
            *result = element;
        }
    } else if (nothing) {
        new_series_like(s, result, 0);
    } else {
        const kel_value source = *s;
        new_series_like(&source, result, t.count);
        buffer_header* from = buffer(&source);
        buffer_header* to = buffer(result);
        const size_t bytes = static_cast<size_t>(t.count << from->shift());
        std::memcpy(to->data(), unit_ptr(from, t.start), bytes);
        to->tail = to->head + static_cast<uint32_t>(bytes);
        hash::before_replace(&source, t.start, t.count);
        cut_units(&source, t.start, t.count);
        hash::after_replace(&source, t.start, t.count, 0, units);
    }
    notify(s, "taken", nullptr, head, given);
}

void copy(const kel_value* s, kel_value* result, const kel_value* part) {
    const int64_t units = units_of(s);
    const int64_t head = series_head(s);
    int64_t start = head;
    int64_t n = std::max<int64_t>(units - head, 0);
    if (part) {
        if (type_of(part) == types::integer) {
            n = get_integer(part);
        } else if (type_of(part) == types::pair) {
            const int64_t x = pair_x(part), y = pair_y(part);
            start = std::max<int64_t>(x < 0 ? head + x : head + x - 1, 0);
            n = y < x ? 0 : y - x;
        } else if (in_family(type_of(part), family::series) && same_series(s, part)) {
            n = static_cast<int64_t>(series_head(part)) - head;
        } else {
            bad_refine("/part", part);
        }
        if (n < 0) {
            start += n;
            n = -n;
            if (start < 0) {
                start = 0;
                n = head;
            }
        }
    }
    if (start > units) n = 0;
    n = std::clamp<int64_t>(n, 0, std::max<int64_t>(units - start, 0));
    const kel_value source = *s;
    new_series_like(&source, result, n);
    if (n > 0) {
        buffer_header* from = buffer(&source);
        buffer_header* to = buffer(result);
        const size_t bytes = static_cast<size_t>(n << from->shift());
        std::memcpy(to->data(), unit_ptr(from, start), bytes);
        to->tail = to->head + static_cast<uint32_t>(bytes);
    }
}

void reverse(kel_value* s, const kel_value* part, const kel_value* skip_size) {
    if (ks_tail_q(s)) return;
    const int64_t head = std::max<int64_t>(series_head(s), 0);
    const int64_t available = units_of(s) - head;
    int64_t count = available;
    if (part) {
        count = part_count(s, part);
        if (count < 1) return;
        count = std::min(count, available);
    }
    int64_t size = 1;
    if (skip_size) {
        if (type_of(skip_size) != types::integer) bad_refine("/skip", skip_size);
        size = get_integer(skip_size);
        if (size == count) return;
        if (size < 1) fire(error_category::script, "out-of-range", skip_size);
        if (count < size || count % size != 0) bad_refine("/skip", skip_size);
    }
    notify(s, "reverse", nullptr, head, count);
    buffer_header* h = buffer(s);
    // Units the owner's handler cut away are not brought back into view.
    if (head + count > static_cast<int64_t>(h->units())) {
        notify(s, "reversed", nullptr, head, 0);
        return;
    }
    const size_t record = static_cast<size_t>(size << h->shift());
    char small[16];
    char* scratch = record <= sizeof small ? small : static_cast<char*>(heap::allocate(record));
    for (int64_t a = head, b = head + count - size; a < b; a += size, b -= size) swap_units(h, a, b, size, scratch);
    if (scratch != small) heap::free(scratch);
    hash::rewritten(s, head, count);
    notify(s, "reversed", nullptr, head, count);
}

namespace {
bool movable_kind(uint32_t t) { return in_family(t, family::block_like) || in_family(t, family::string_like) || t == types::binary ||
                                       t == types::vector; }

// Whether units of equal width copied as they are keep their values. A
// vector's elements are numbers in its own layout: another element type reads
// a float's bits as an integer (or the reverse), signed integers are not the
// unsigned bytes of a binary!, and a string takes any 4-byte integer as a
// code point. Only elements of one type, or characters, move unchanged.
bool raw_units_keep_values(const kel_value* origin, const kel_value* destination) {
    const bool ov = type_of(origin) == types::vector, dv = type_of(destination) == types::vector;
    if (!ov && !dv) return true;
    if (ov && dv) return origin->w3 == destination->w3;
    const kel_value* v = ov ? origin : destination;
    const uint32_t other = type_of(ov ? destination : origin);
    return v->w3 == types::char_ && in_family(other, family::string_like);
}
}  // namespace

const kel_value* move(kel_value* origin, kel_value* destination, const kel_value* part) {
    const uint32_t dt = type_of(destination);
    if (dt == types::image || type_of(origin) == types::image) {
        // Pixels are not series units: nothing moves into or out of an image.
        kel_value otype, dtype;
        set_datatype(&otype, type_of(origin));
        set_datatype(&dtype, dt);
        fire(error_category::script, "move-bad", &otype, &dtype);
    }
    if (!movable_kind(dt)) {
        kel_value type;
        set_datatype(&type, dt);
        fire(error_category::script, "expect-arg", error_arg::named("move"), &type, error_arg::named("target"));
    }
    if (ks_tail_q(origin)) return destination;
    const int64_t oh = std::max<int64_t>(series_head(origin), 0);
    int64_t count = 1;
    if (part) {
        if (type_of(part) != types::integer) bad_refine("/part", part);
        count = get_integer(part);
        if (count < 1) return destination;
    }
    count = std::min(count, units_of(origin) - oh);
    const uint32_t origin_node = series_node(origin);
    const uint32_t dest_node = series_node(destination);

    if (origin_node != dest_node) {
        const uint32_t ot = type_of(origin);
        const bool ob = in_family(ot, family::block_like), db = in_family(dt, family::block_like);
        kel_value otype, dtype;
        set_datatype(&otype, ot);
        set_datatype(&dtype, dt);
        if (ob != db) fire(error_category::script, "move-bad", &otype, &dtype);
        uint32_t ou = buffer(origin)->unit(), du = buffer(destination)->unit();
        if (ou != du && (ot == types::binary || ot == types::vector || dt == types::binary || dt == types::vector))
            fire(error_category::script, "move-bad", &otype, &dtype);
        if (ou == du && !raw_units_keep_values(origin, destination))
            fire(error_category::script, "move-bad", &otype, &dtype);
        notify(destination, "move", origin, oh, count);
        // The handler may have shortened the origin: what it cut away is
        // not moved, nor brought back.
        count = std::min(count, units_of(origin) - oh);
        if (count < 1) {
            notify(destination, "moved", origin, oh, 0);
            return destination;
        }
        ou = buffer(origin)->unit();  // either text may have been widened too
        du = buffer(destination)->unit();
        const int64_t dh = std::clamp<int64_t>(series_head(destination), 0, units_of(destination));
        const int64_t destination_units = units_of(destination);
        const int64_t origin_units = units_of(origin);
        if (ou == du) {
            buffer_header* d = open_gap(dest_node, dh, count);
            buffer_header* o = memory::buffer_of(origin_node);
            std::memcpy(unit_ptr(d, dh), unit_ptr(o, oh), static_cast<size_t>(count << o->shift()));
        } else {
            // Text of different widths: moved code point by code point, the
            // destination widened first when a code point needs it.
            uint32_t widest = 1;
            buffer_header* o = memory::buffer_of(origin_node);
            for (int64_t i = 0; i < count; ++i)
                widest = std::max(widest, unit_for_code_point(read_code_point(unit_ptr(o, oh + i), ou)));
            if (widest > du) widen(destination, widest);
            buffer_header* d = open_gap(dest_node, dh, count);
            o = memory::buffer_of(origin_node);
            for (int64_t i = 0; i < count; ++i)
                write_code_point(unit_ptr(d, dh + i), d->unit(), read_code_point(unit_ptr(o, oh + i), ou));
        }
        hash::after_replace(destination, dh, 0, count, destination_units);
        hash::before_replace(origin, oh, count);
        cut_units(origin, oh, count);
        hash::after_replace(origin, oh, count, 0, origin_units);
        notify(destination, "moved", origin, oh, count);
        return destination;
    }

    // Within one buffer.
    int64_t units = units_of(origin);
    const int64_t x = series_head(destination);
    if (x == oh) return destination;
    if (x > oh && x != units && (units - x < count || x < oh + count)) return origin;
    notify(destination, "move", origin, oh, count);
    // The owner's handler may have reshaped the series: the move is then
    // measured again, and one that no longer fits moves nothing.
    if (const int64_t now = units_of(origin); now != units) {
        count = std::min(count, now - oh);
        if (count < 1 || x > now || (x > oh && x != now && (now - x < count || x < oh + count))) {
            notify(destination, "moved", origin, oh, 0);
            return destination;
        }
        units = now;
    }
    buffer_header* h = memory::buffer_of(origin_node);
    const size_t run_bytes = static_cast<size_t>(count << h->shift());
    char* run = static_cast<char*>(heap::allocate(run_bytes));
    std::memcpy(run, unit_ptr(h, oh), run_bytes);
    int64_t place;
    if (x < oh) {
        const int64_t from = std::max<int64_t>(x, 0);
        std::memmove(unit_ptr(h, from + count), unit_ptr(h, from), static_cast<size_t>((oh - from) << h->shift()));
        place = from;
        hash::moved(origin, from, oh, count);
    } else {
        const int64_t end = (x >= units) ? units : x + 1;  // the run ends here
        std::memmove(unit_ptr(h, oh), unit_ptr(h, oh + count), static_cast<size_t>((end - oh - count) << h->shift()));
        place = end - count;
        hash::moved(origin, end - 1, oh, count);
    }
    std::memcpy(unit_ptr(h, place), run, run_bytes);
    heap::free(run);
    notify(destination, "moved", origin, oh, count);
    return destination;
}

void shuffle(kel_value* s, bool secure) {
    const int64_t head = std::max<int64_t>(series_head(s), 0);
    int64_t units = units_of(s);
    if (units - head < 1) return;
    notify(s, "random", nullptr, head, units - head);
    buffer_header* h = buffer(s);
    // The owner's handler may have shortened the series.
    units = h->units();
    char scratch[16];
    for (int64_t i = head; i < units; ++i) {
        const int64_t c = units - i;
        const int64_t j = i + random::int_upto(static_cast<int32_t>(c), secure) - 1;
        if (j != i) swap_units(h, i, j, 1, scratch);
    }
    notify(s, "randomized", nullptr, head, units - head);
}

void random_only(const kel_value* s, bool secure, kel_value* out) {
    const int64_t head = std::max<int64_t>(series_head(s), 0);
    const int64_t n = units_of(s) - head;
    if (n < 1) {
        set_none(out);
        return;
    }
    const int64_t i = random::int_upto(static_cast<int32_t>(n), secure);
    element_value(s, static_cast<int32_t>(head + i - 1), out);
}

// --- the series! row ------------------------------------------------------------------

namespace {

kel_value* arg(int n) { return stack::argument(n); }
const kel_value* ref_arg(const refinements& r, int i) { return r.has(i) ? stack::arguments() + r.at[i] : nullptr; }

// pick/poke index: integer! its value, char! its code point, logic! 1 for
// true and 2 for false, anything else 0.
int32_t index_argument(const kel_value* v) {
    switch (type_of(v)) {
        case types::integer: return get_integer(v);
        case types::char_: return static_cast<int32_t>(get_char(v));
        case types::logic: return get_logic(v) ? 1 : 2;
        default: return 0;
    }
}

signal_code a_random(const refinements& r) {
    kel_value* s = arg(1);
    if (r.has(0)) {  // /seed: the bytes from the head to the tail, hashed
        const memory::buffer_header* h = memory::buffer_of(series_node(s));
        const uint32_t units = h->units();
        const uint32_t head = static_cast<uint32_t>(std::clamp(series_head(s), 0, static_cast<int32_t>(units)));
        const char* bytes = h->data() + h->head + (static_cast<size_t>(head) << h->shift());
        random::seed(hashtable::murmur3(bytes, static_cast<size_t>(units - head) << h->shift()));
        set_unset(stack::arguments());
        stack::rewind_to_result();
        return signal_code::none;
    }
    if (r.has(2)) {
        kel_value out;
        random_only(s, r.has(1), &out);
        *stack::arguments() = out;
    } else {
        shuffle(s, r.has(1));
    }
    return signal_code::none;
}
signal_code a_at(const refinements&) { at(arg(1), arg(2)); return signal_code::none; }
signal_code a_skip(const refinements&) { skip(arg(1), arg(2)); return signal_code::none; }
signal_code a_back(const refinements&) { back(arg(1)); return signal_code::none; }
signal_code a_next(const refinements&) { next(arg(1)); return signal_code::none; }
signal_code a_head(const refinements&) { head(arg(1)); return signal_code::none; }
signal_code a_tail(const refinements&) { tail(arg(1)); return signal_code::none; }
signal_code a_head_q(const refinements&) { set_logic(stack::arguments(), head_q(arg(1))); return signal_code::none; }
signal_code a_tail_q(const refinements&) { set_logic(stack::arguments(), tail_q(arg(1))); return signal_code::none; }
signal_code a_index_q(const refinements&) {
    set_integer(stack::arguments(), index_q(arg(1)));
    return signal_code::none;
}
signal_code a_length_q(const refinements&) {
    set_integer(stack::arguments(), length_q(arg(1)));
    return signal_code::none;
}
signal_code a_clear(const refinements&) { clear(arg(1)); return signal_code::none; }
signal_code a_copy(const refinements& r) {
    copy(arg(1), stack::arguments(), ref_arg(r, 0));
    return signal_code::none;
}
signal_code a_move(const refinements& r) {
    const kel_value* result = move(arg(1), arg(2), ref_arg(r, 0));
    stack::set_last(result);
    return signal_code::none;
}
signal_code a_pick(const refinements&) {
    kel_value out;
    pick(arg(1), index_argument(arg(2)), &out);
    *stack::arguments() = out;
    return signal_code::none;
}
signal_code a_poke(const refinements&) {
    poke(arg(1), index_argument(arg(2)), arg(3));
    stack::set_last(arg(3));
    return signal_code::none;
}
signal_code a_remove(const refinements& r) {
    if (!remove(arg(1), ref_arg(r, 0), ref_arg(r, 1))) set_none(stack::arguments());
    return signal_code::none;
}
signal_code a_reverse(const refinements& r) {
    reverse(arg(1), ref_arg(r, 0), ref_arg(r, 1));
    return signal_code::none;
}
signal_code a_take(const refinements& r) {
    kel_value out;
    take(arg(1), ref_arg(r, 0), r.has(1), r.has(2), &out);
    *stack::arguments() = out;
    return signal_code::none;
}

}  // namespace

namespace {
bool owned_field_q(const kel_value* field) {
    return in_family(type_of(field), family::word) &&
           symbol::resolve(word_symbol(field)) == symbol::resolve(words::owned);
}
}  // namespace

signal_code reflect_owned(const refinements&) {
    if (!owned_field_q(stack::argument(2))) fire(error_category::internal, "not-done");
    const kel_value* owner = ownership::owner_of(series_node(stack::argument(1)));
    if (owner) *stack::arguments() = *owner;
    else set_none(stack::arguments());
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code modify_owned(const refinements&) {
    kel_value* target = stack::argument(1);
    const kel_value value = *stack::argument(3);
    if (owned_field_q(stack::argument(2))) {
        if (none_q(&value)) {
            ownership::unbind(target);
        } else {
            if (type_of(&value) != types::block || block::ks_length_q(&value) < 2)
                fire(error_category::script, "invalid-arg", &value);
            const kel_value owner = *block::ks_abs_at(&value, series_head(&value));
            const kel_value word = *block::ks_abs_at(&value, series_head(&value) + 1);
            if (type_of(&owner) != types::object) fire(error_category::script, "invalid-arg", &owner);
            if (!in_family(type_of(&word), family::word)) fire(error_category::script, "invalid-arg", &word);
            ownership::bind_object(target, &owner, &word);
        }
    }
    stack::set_last(&value);
    stack::rewind_to_result();
    return signal_code::none;
}

registry::registration row() {
    registry::registration r;
    r.id = types::series;
    r.hash = hashtable::hash_by::zero;
    r.marker = kel::collector::cell_markers::nothing;
    r.parent = 0;
    r.name = "series!";
    r[act::random] = static_cast<action_fn>(a_random);
    r[act::reflect] = static_cast<action_fn>(reflect_owned);
    r[act::at] = static_cast<action_fn>(a_at);
    r[act::back] = static_cast<action_fn>(a_back);
    r[act::clear] = static_cast<action_fn>(a_clear);
    r[act::copy] = static_cast<action_fn>(a_copy);
    r[act::head] = static_cast<action_fn>(a_head);
    r[act::head_q] = static_cast<action_fn>(a_head_q);
    r[act::index_q] = static_cast<action_fn>(a_index_q);
    r[act::length_q] = static_cast<action_fn>(a_length_q);
    r[act::move] = static_cast<action_fn>(a_move);
    r[act::next] = static_cast<action_fn>(a_next);
    r[act::pick] = static_cast<action_fn>(a_pick);
    r[act::poke] = static_cast<action_fn>(a_poke);
    r[act::remove] = static_cast<action_fn>(a_remove);
    r[act::reverse] = static_cast<action_fn>(a_reverse);
    r[act::skip] = static_cast<action_fn>(a_skip);
    r[act::tail] = static_cast<action_fn>(a_tail);
    r[act::tail_q] = static_cast<action_fn>(a_tail_q);
    r[act::take] = static_cast<action_fn>(a_take);
    r[act::modify] = static_cast<action_fn>(modify_owned);
    return r;
}

}  // namespace kel::series
