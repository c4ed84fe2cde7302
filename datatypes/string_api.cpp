// string_api: see string_api.h. Positions are unit indexes computed in 64
// bits; data addresses are re-read from the node after every call that may
// allocate.
#include "datatypes/string_api.h"

#include <algorithm>
#include <cstring>

#include "kernel/stack.h"
#include "kernel/case_tables.h"
#include "kernel/fatal.h"
#include "kernel/float_text.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"

namespace kel::string {

namespace {

[[noreturn]] __attribute__((noinline)) void bad_unit(int number) {
    fatal::report_error(number, __builtin_return_address(0));
}

[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }

constexpr uint64_t max_bytes = 0xFFFFFF00ull;

char* scratch = nullptr;
uint32_t scratch_recorded = 0;

using memory::ensure_room_from_head;

inline uint32_t fold(uint32_t cp) { return case_map::uppercase(cp); }

}  // namespace

void init_scratch() {
    if (scratch) return;
    scratch = static_cast<char*>(heap::allocate(scratch_size));
    scratch_recorded = scratch_size;
}

// ---------------------------------------------------------------- readers

int32_t get_char(const char* p, uint32_t unit) {
    switch (unit) {
        case 1:
        case 2:
        case 4: return static_cast<int32_t>(read_unit(p, unit));
        default: bad_unit(fatal::no_switch_matched);
    }
}

char* ks_head(kel_value* s) {
    buffer_header* h = buffer(s);
    const int64_t units = h->units();
    if (series_head(s) > units) set_series_head(s, static_cast<int32_t>(units));
    return unit_ptr(h, std::max(series_head(s), 0));
}

char* ks_tail(const kel_value* s) { return buffer(s)->tail_ptr(); }

bool ks_tail_q(const kel_value* s) {
    buffer_header* h = buffer(s);
    return static_cast<int64_t>(series_head(s)) >= static_cast<int64_t>(h->units());
}

int32_t ks_length_q(const kel_value* s) {
    const int64_t units = buffer(s)->units();
    const int64_t head = std::max(series_head(s), 0);
    return head >= units ? 0 : static_cast<int32_t>(units - head);
}

int32_t ks_length_all(const kel_value* s) { return static_cast<int32_t>(buffer(s)->units()); }

int32_t ks_abs_char_at(const kel_value* s, int32_t index) {
    buffer_header* h = buffer(s);
    return get_char(unit_ptr(h, index), h->unit());
}

int32_t ks_index_of_char(const kel_value* s, uint32_t cp) {
    buffer_header* h = buffer(s);
    const uint32_t unit = h->unit();
    const int64_t units = h->units();
    const int64_t head = std::max(series_head(s), 0);
    for (int64_t i = head; i < units; ++i)
        if (read_unit(unit_ptr(h, i), unit) == cp) return static_cast<int32_t>(i - head);
    return -1;
}

bool find_char_step_q(const kel_value* s, uint32_t cp, int32_t step, bool case_sensitive) {
    buffer_header* h = buffer(s);
    const uint32_t unit = h->unit();
    const int64_t units = h->units();
    if (step < 1) step = 1;
    const uint32_t want = case_sensitive ? cp : fold(cp);
    for (int64_t i = std::max(series_head(s), 0); i < units; i += step) {
        uint32_t c = read_unit(unit_ptr(h, i), unit);
        if (!case_sensitive) c = fold(c);
        if (c == want) return true;
    }
    return false;
}

bool starts_with_ascii_q(const kel_value* s, const char* text) {
    buffer_header* h = buffer(s);
    const uint32_t unit = h->unit();
    const int64_t units = h->units();
    int64_t i = std::max(series_head(s), 0);
    for (const char* t = text; *t; ++t, ++i) {
        if (i >= units) return false;
        const uint32_t c = read_unit(unit_ptr(h, i), unit);
        if (c > 0xFF || c != static_cast<uint8_t>(*t)) return false;
    }
    return true;
}

bool in_bitset_q(uint32_t cp, const kel_value* bitset) {
    buffer_header* h = buffer(bitset);
    const uint64_t bits = static_cast<uint64_t>(h->used()) * 8;
    if (cp >= bits) return (h->flags & memory::flag_complemented) != 0;
    const uint8_t byte = static_cast<uint8_t>(h->head_ptr()[cp >> 3]);
    return (byte & (0x80u >> (cp & 7))) != 0;
}

bool head_in_bitset_q(const kel_value* s, const kel_value* bitset) {
    if (ks_tail_q(s)) return false;
    buffer_header* h = buffer(s);
    return in_bitset_q(read_unit(unit_ptr(h, std::max(series_head(s), 0)), h->unit()), bitset);
}

bool tag_like_q(const kel_value* s, const kel_value* tag) {
    const int64_t len = ks_length_q(tag);
    // Both brackets must lie within the text: nothing is read past the tail.
    if (ks_length_q(s) < len + 2) return false;
    buffer_header* h = buffer(s);
    const int64_t head = std::max(series_head(s), 0);
    return read_unit(unit_ptr(h, head), h->unit()) == '<' && read_unit(unit_ptr(h, head + len + 1), h->unit()) == '>';
}

bool match_at_q(const kel_value* s, const kel_value* value, int32_t op) {
    const uint32_t t = type_of(value);
    if (t == types::char_) {
        if (ks_tail_q(s)) return false;
        buffer_header* h = buffer(s);
        uint32_t a = read_unit(unit_ptr(h, std::max(series_head(s), 0)), h->unit());
        uint32_t b = get_char(value);
        if (op != cmp::strict_equal) {
            a = fold(a);
            b = fold(b);
        }
        return a == b;
    }
    if (t == types::tag) {
        if (!tag_like_q(s, value)) return false;
        kel_value after = *s;
        set_series_head(&after, std::max(series_head(s), 0) + 1);
        return compare_text(&after, value, op, true) == 0;
    }
    if (in_family(t, family::string_like) && t != types::tag)
        return compare_text(s, value, op, true) == 0;
    return false;
}

unicode::text_view view(const kel_value* s) {
    buffer_header* h = buffer(s);
    const int64_t units = h->units();
    const int64_t head = std::clamp<int64_t>(series_head(s), 0, units);
    unicode::text_view v;
    v.unit = static_cast<uint8_t>(h->unit());
    v.data = reinterpret_cast<const uint8_t*>(unit_ptr(h, head));
    v.length = static_cast<size_t>(units - head);
    return v;
}

kel_value text_of(const kel_value* value) {
    if (type_of(value) != types::symbol) return *value;
    // The symbol's string form: its cache (word 2) when made, else the name's
    // UTF-8 bytes (word 3) decoded afresh.
    kel_value s;
    uint32_t node = value->w2;
    if (node == 0) {
        buffer_header* name = memory::buffer_of(value->w3);
        node = unicode::utf8_to_new_string(reinterpret_cast<const uint8_t*>(name->head_ptr()), name->used());
    }
    set_series(&s, types::string, 0, node);
    return s;
}

int32_t compare_text(const kel_value* a, const kel_value* b, int32_t op, bool match) {
    const kel_value x = text_of(a);
    const kel_value y = text_of(b);
    const bool same = series_node(&x) == series_node(&y) && series_head(&x) == series_head(&y);
    unicode::text_view va = view(&x);
    unicode::text_view vb = view(&y);
    if (type_of(b) == limited_text_type && static_cast<int32_t>(b->w3) >= 0)
        vb.length = std::min<size_t>(vb.length, b->w3);
    return unicode::compare_text(va, vb, op, match, same);
}

// ---------------------------------------------------------------- writers

buffer_header* widen(buffer_header* h, uint32_t from, uint32_t to) { return memory::widen_units(h, from, to); }

buffer_header* ensure_unit(buffer_header* h, uint32_t unit) {
    const uint32_t have = h->unit();
    return unit > have ? widen(h, have, unit) : h;
}

buffer_header* add_char(buffer_header* h, uint32_t cp) {
    uint32_t unit = h->unit();
    const uint32_t need = unicode::widened_for_append(static_cast<uint8_t>(unit), cp);
    if (need != unit) {
        h = widen(h, unit, need);
        unit = need;
    }
    if (h->tail + unit > h->capacity) h = memory::ensure_tail_room(h->node, unit);
    write_unit(h->data() + h->tail, unit, cp);
    h->tail += unit;
    return h;
}

buffer_header* store_char(buffer_header* h, char* address, uint32_t cp) {
    const uint32_t unit = h->unit();
    const uint32_t need = unicode::widened_for_store(static_cast<uint8_t>(unit), cp);
    if (need != unit) {
        const int64_t index = (address - h->head_ptr()) >> h->shift();
        h = widen(h, unit, need);
        address = unit_ptr(h, index);
    }
    write_unit(address, h->unit(), cp);
    return h;
}

buffer_header* overwrite_char(buffer_header* h, int32_t index, uint32_t cp) {
    h = ensure_unit(h, unicode::unit_for_store(cp));
    const uint32_t unit = h->unit();
    const bool at_tail = static_cast<int64_t>(index) >= static_cast<int64_t>(h->units());
    h = ensure_room_from_head(h, (static_cast<uint64_t>(index) + 1) * unit);
    write_unit(unit_ptr(h, index), unit, cp);
    if (at_tail) h->tail = h->head + (static_cast<uint32_t>(index) + 1) * unit;
    return h;
}

buffer_header* insert_char(buffer_header* h, int32_t index, uint32_t cp) {
    h = ensure_unit(h, unicode::unit_for_store(cp));
    const uint32_t unit = h->unit();
    if (h->tail + unit > h->capacity) h = memory::ensure_tail_room(h->node, unit);
    const int64_t units = h->units();
    if (index < units)
        std::memmove(unit_ptr(h, index + 1), unit_ptr(h, index), static_cast<size_t>((units - index) * unit));
    h->tail += unit;
    write_unit(unit_ptr(h, index), unit, cp);
    return h;
}

namespace {
// Converts n units of `from` bytes at src into units of `to` bytes at dst
// (dst never overlaps src).
void convert_run(const char* src, uint32_t from, char* dst, uint32_t to, int64_t n) {
    if (from == to) {
        std::memmove(dst, src, static_cast<size_t>(n * from));
        return;
    }
    for (int64_t i = 0; i < n; ++i) write_unit(dst + i * to, to, read_unit(src + i * from, from));
}
}  // namespace

buffer_header* convert_units(buffer_header* source, buffer_header* target, uint32_t new_capacity,
                             uint32_t target_unit, int32_t source_start, int32_t target_start, int32_t source_end,
                             bool keep) {
    const uint32_t su = source->unit();
    if (!((target_unit == 2 && su == 1) || (target_unit == 4 && (su == 1 || su == 2)))) bad_unit(fatal::no_case_matched);
    const uint32_t node = source->node;
    const int64_t end = source_end <= 0 ? static_cast<int64_t>(source->units()) : source_end;
    const int64_t n = std::max<int64_t>(end - source_start, 0);
    const bool fresh = target == nullptr;
    if (fresh) {
        const uint64_t need = static_cast<uint64_t>(target_start + n) * target_unit;
        if (need > max_bytes) no_memory();
        target = memory::allocate_buffer(std::max<uint32_t>(new_capacity, static_cast<uint32_t>(need)) / target_unit + 1,
                                         target_unit, 0);
        source = memory::buffer_of(node);  // the allocation may have moved it
        memory::take_flags(target, source, true);
        target->tail = target->head;
    }
    convert_run(unit_ptr(source, source_start), su, target->data() + target->head + target_start * target_unit,
                target_unit, n);
    if (!keep || fresh) {
        target->flags = (target->flags & ~memory::unit_mask) | target_unit;
        target->tail = target->head + static_cast<uint32_t>((target_start + n) * target_unit);
    }
    if (fresh) memory::replace_node_buffer(node, target);
    return target;
}

buffer_header* truncate_units(buffer_header* h, int32_t n) {
    if (n < 0) return h;
    const uint64_t at = h->head + (static_cast<uint64_t>(n) << h->shift());
    if (at < h->tail && at <= h->capacity) h->tail = static_cast<uint32_t>(at);
    return h;
}

kel_value* remove_units(kel_value* s, int32_t index, int32_t n) {
    buffer_header* h = buffer(s);
    const int64_t units = h->units();
    if (index < 0 || index >= units || n <= 0) return s;
    const int64_t count = std::min<int64_t>(n, units - index);
    std::memmove(unit_ptr(h, index), unit_ptr(h, index + count), static_cast<size_t>((units - index - count) << h->shift()));
    h->tail -= static_cast<uint32_t>(count << h->shift());
    return s;
}

kel_value* ks_empty(kel_value* s) {
    buffer_header* h = buffer(s);
    h->flags = (h->flags & ~memory::unit_mask) | 1u;
    h->tail = h->head;
    set_series_head(s, 0);
    return s;
}

void move_chars(kel_value* source, kel_value* target, int32_t bytes) {
    const uint32_t snode = series_node(source), tnode = series_node(target);
    buffer_header* sh = memory::buffer_of(snode);
    const uint32_t su = sh->unit();
    const int64_t shead = std::clamp<int64_t>(series_head(source), 0, sh->units());
    const int64_t n = std::min<int64_t>(std::max(bytes, 0) / su, sh->units() - shead);
    if (n <= 0) return;
    // The code points are taken first, so a shared buffer cannot shift them.
    auto* cps = static_cast<uint32_t*>(heap::allocate(static_cast<size_t>(n) * 4));
    for (int64_t i = 0; i < n; ++i) cps[i] = read_unit(unit_ptr(sh, shead + i), su);
    const int64_t thead = std::clamp<int64_t>(series_head(target), 0, memory::buffer_of(tnode)->units());
    buffer_header* th = memory::buffer_of(tnode);
    for (int64_t i = 0; i < n; ++i) th = insert_char(th, static_cast<int32_t>(thead + i), cps[i]);
    heap::free(cps);
    // Inserting before the source's run in the same buffer moved the run up.
    const int64_t from = (snode == tnode && thead <= shead) ? shead + n : shead;
    kel_value s = *source;
    remove_units(&s, static_cast<int32_t>(from), static_cast<int32_t>(n));
}

void splice(kel_value* target, const kel_value* source, int32_t part, int32_t offset, bool keep, int mode) {
    const kel_value src = text_of(source);
    const uint32_t tnode = series_node(target), snode = series_node(&src);
    buffer_header* th = memory::buffer_of(tnode);
    uint32_t tu = th->unit();
    uint32_t su = memory::buffer_of(snode)->unit();
    if (tu < su) {
        th = widen(th, tu, su);
        tu = su;
    } else if (su < tu && !keep) {
        widen(memory::buffer_of(snode), su, tu);
        su = tu;
    }
    buffer_header* sh = memory::buffer_of(snode);
    const int64_t shead = std::clamp<int64_t>(series_head(&src), 0, sh->units());
    int64_t n = static_cast<int64_t>(sh->units()) - shead;
    if (part >= 0 && part < n) n = part;
    if (n <= 0) return;
    th = memory::buffer_of(tnode);
    const uint64_t add = static_cast<uint64_t>(n) * tu;
    if (th->used() + add > th->capacity - th->head) {
        const uint64_t want = 2 * (th->used() + add);
        const uint64_t most = memory::max_capacity(th->unit());
        if (th->used() + add > most) no_memory();
        th = memory::expand_buffer(th, static_cast<uint32_t>(std::min(want, most)));
    }
    sh = memory::buffer_of(snode);  // follows the target when they share the buffer
    const int64_t tunits = th->units();
    const int64_t at = mode == splice_append
                           ? tunits
                           : std::clamp<int64_t>(static_cast<int64_t>(std::max(series_head(target), 0)) + offset, 0,
                                                 tunits);
    const uint32_t old_tail = th->tail;
    char* stash = nullptr;
    const char* from = unit_ptr(sh, shead);
    if (mode == splice_insert) {
        if (snode == tnode) {
            // Opening the gap may shift the source's own text: copy it first.
            stash = static_cast<char*>(heap::allocate(static_cast<size_t>(n) * su));
            std::memcpy(stash, from, static_cast<size_t>(n) * su);
            from = stash;
        }
        std::memmove(unit_ptr(th, at + n), unit_ptr(th, at), static_cast<size_t>((tunits - at) * tu));
    }
    convert_run(from, su, unit_ptr(th, at), tu, n);
    if (stash) heap::free(stash);
    const uint32_t written_end = th->head + static_cast<uint32_t>((at + n) * tu);
    switch (mode) {
        case splice_append: th->tail = written_end; break;
        case splice_insert: th->tail = old_tail + static_cast<uint32_t>(add); break;
        default: th->tail = std::max(written_end, old_tail); break;
    }
}

void append_code_points(kel_value* s, const uint32_t* cps, size_t n) {
    if (n == 0) return;
    uint32_t widest = 0;
    for (size_t i = 0; i < n; ++i) widest = std::max(widest, cps[i]);
    const uint32_t node = series_node(s);
    buffer_header* h = ensure_unit(memory::buffer_of(node), unicode::unit_for_append(widest));
    const uint32_t unit = h->unit();
    if (static_cast<uint64_t>(n) * unit > max_bytes) no_memory();
    char* p = memory::claim_tail_bytes(node, static_cast<uint32_t>(n * unit));
    for (size_t i = 0; i < n; ++i) write_unit(p + i * unit, unit, cps[i]);
}

void append_c_part(kel_value* s, const char* bytes, size_t n) { text_out::append(s, bytes, n); }

void append_c_string(kel_value* s, const char* text) { append_c_part(s, text, std::strlen(text)); }

void swap_runs(char* p, uint32_t len_a, char* q, uint32_t len_b, uint32_t gap) {
    init_scratch();
    const uint32_t m = std::min(len_a, len_b);
    char* space = scratch;
    if (m > scratch_recorded) space = static_cast<char*>(heap::allocate(m));  // this call only
    if (len_a <= len_b) {
        std::memcpy(space, p, len_a);
        std::memmove(p, q, len_b);
        std::memcpy(p + len_b + gap, space, len_a);
    } else {
        std::memcpy(space, q, len_b);
        std::memmove(p + len_b + gap, p, len_a);
        std::memcpy(p, space, len_b);
    }
    if (space != scratch) heap::free(space);
}

void notify(const kel_value* s, const char* word, const kel_value* value, int64_t index, int64_t count) {
    if (buffer(s)->flags & memory::flag_owned)
        ownership::check(s, word, value, static_cast<int32_t>(index), static_cast<int32_t>(count));
}

// ---------------------------------------------------------------- makers and loaders

kel_value* init_cell(kel_value* cell, uint32_t capacity) {
    set_unset(cell);
    const uint32_t node = memory::new_units(capacity ? capacity : 1, 1);
    set_series(cell, types::string, 0, node);
    return cell;
}

kel_value* make_at_unit(kel_value* cell, uint32_t capacity, uint32_t unit) {
    set_unset(cell);
    const uint32_t node = memory::new_units(capacity, unit);
    set_series(cell, types::string, 0, node);
    return cell;
}

kel_value* push(const kel_value* value) { return stack::push_copy(value); }

void copy_units(const kel_value* source, int32_t start, int32_t count, kel_value* out) {
    const kel_value s = *source;  // out may be the source's cell
    buffer_header* from = buffer(&s);
    const uint32_t node = memory::new_series(static_cast<uint32_t>(count), from->unit(), 0);
    from = buffer(&s);  // the allocation may have collected and moved it
    buffer_header* to = memory::buffer_of(node);
    memory::take_flags(to, from, false);
    const size_t bytes = static_cast<size_t>(count) << from->shift();
    if (bytes - 1 < 16) {
        // A short part (the common field or word) in one 16-byte move: the
        // new buffer holds 16 bytes, and the source's range goes on at least
        // that far past any unit (its capacity, then its trailer); the bytes
        // past the part land in capacity nothing reads.
        std::memcpy(to->data(), unit_ptr(from, start), 16);
    } else {
        std::memcpy(to->data(), unit_ptr(from, start), bytes);
    }
    to->tail = to->head + static_cast<uint32_t>(bytes);
    set_series(out, type_of(&s), 0, node);
    out->header |= s.header & header_new_line;
}

kel_value* decode(const uint8_t* p, uint32_t size, kel_value* cell, int encoding) {
    if (encoding != encoding_utf8 && encoding != encoding_utf16le) {
        // An encoding the loader does not know is the caller's mistake, not a
        // reason to end the process.
        fire(error_category::internal, "not-done");
    }
    if (!cell) cell = stack::push_unset();
    set_unset(cell);
    const uint32_t node = encoding == encoding_utf8 ? unicode::utf8_to_string(p, size, 0, nullptr, false)
                                                    : unicode::utf16_to_string(p, size, nullptr, false);
    set_series(cell, types::string, 0, node);
    return cell;
}

kel_value* decode_push(const uint8_t* p, uint32_t size, int encoding) { return decode(p, size, nullptr, encoding); }

kel_value* decode_in(const kel_value* block, const uint8_t* p, uint32_t size, int encoding) {
    kel_value* pushed = decode(p, size, nullptr, encoding);
    const kel_value made = *pushed;
    kel_value* cell = memory::claim_tail_cell(block);
    *cell = made;
    stack::drop_cells(1);
    return cell;
}

kel_value* make_binary(kel_value* cell, const uint8_t* bytes, size_t n) {
    if (n > max_bytes) no_memory();
    set_unset(cell);
    const uint32_t node = memory::new_bytes(static_cast<uint32_t>(n));
    buffer_header* h = memory::buffer_of(node);
    if (n) std::memcpy(h->data(), bytes, n);
    h->tail = h->head + static_cast<uint32_t>(n);
    set_series(cell, types::binary, 0, node);
    return cell;
}

void raise_text_error(const unicode::text_error& e) {
    if (e.id == unicode::error_id::invalid_char) {
        kel_value v;
        set_integer(&v, static_cast<int32_t>(e.code_point));
        fire(error_category::script, "invalid-char", &v);
    }
    kel_value* bytes = stack::push_unset();
    make_binary(bytes, e.bytes, e.byte_count);
    const kel_value arg = *bytes;
    fire(error_category::access, "invalid-utf8", &arg);
}

kel_value* load_utf8_checked(const uint8_t* p, uint32_t size) {
    kel_value* cell = string::init_cell(stack::push_unset(), size);
    uint32_t remaining = 0;
    unicode::utf8_to_string(p, size, series_node(cell), &remaining, false);
    if (remaining > 0) {
        kel_value* bytes = stack::push_unset();
        make_binary(bytes, p + (size - remaining), remaining);
        const kel_value arg = *bytes;
        fire(error_category::access, "invalid-utf8", &arg);
    }
    return cell;
}

double to_float(const char* start, uint32_t length) { return float_text::parse(start, start + length, 0).value; }

// ---------------------------------------------------------------- sort support

compare_callback_fn compare_callback = nullptr;

int32_t sort_call_compare(const char* a, const char* b, const kel_value* function, uint32_t flags) {
    if (!compare_callback) fire(error_category::internal, "not-done");
    const uint32_t unit = (flags >> 2) & 7;
    const uint32_t record = flags >> 5;
    const bool reverse = (flags & sort_reverse) != 0;
    const bool whole = (flags & sort_whole) != 0 && record > 0;
    const kel_value fn = *function;
    kel_value* pair = stack::push_unset();
    kel_value* second = stack::push_unset();
    if (whole) {
        // The records are copied out before anything is allocated: an
        // allocation may move the buffer they lie in.
        const size_t bytes = static_cast<size_t>(record) * unit;
        char* copy = static_cast<char*>(heap::allocate(2 * bytes));
        std::memcpy(copy, a, bytes);
        std::memcpy(copy + bytes, b, bytes);
        kel_value* recs[2] = {pair, second};
        for (int i = 0; i < 2; ++i) {
            make_at_unit(recs[i], record, unit);
            buffer_header* h = buffer(recs[i]);
            std::memcpy(h->data(), copy + i * bytes, bytes);
            h->tail = h->head + static_cast<uint32_t>(bytes);
        }
        heap::free(copy);
    } else {
        set_char(pair, read_unit(a, unit));
        set_char(second, read_unit(b, unit));
    }
    // The second record goes first unless reversed.
    const kel_value* first_arg = reverse ? pair : second;
    const kel_value* second_arg = reverse ? second : pair;
    kel_value* result = stack::push_unset();
    const signal_code code = compare_callback(&fn, first_arg, second_arg, result);
    // After a code the stacks are already set for its receiver: not touched.
    if (code != signal_code::none) throw_unwind(code_value(code));
    const kel_value answer = *result;
    stack::drop_cells(3);
    switch (type_of(&answer)) {
        case types::logic: return get_logic(&answer) ? 1 : -1;
        case types::integer: {
            const int32_t n = get_integer(&answer);
            return n > 0 ? -1 : (n < 0 ? 1 : 0);
        }
        case types::float_: {
            const double d = get_float(&answer);
            return d > 0 ? -1 : (d < 0 ? 1 : 0);
        }
        case types::none: return -1;
        default: return 1;
    }
}

}  // namespace kel::string

// ---------------------------------------------------------------- unicode, series-backed

namespace kel::unicode {

namespace {

using memory::buffer_header;
using string::unit_ptr;
using string::write_unit;

constexpr uint8_t cr_byte = 0x0D;
constexpr uint8_t lf_byte = 0x0A;

[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }

// The buffer of `node`, its contents replaced, able to hold `units` units of
// its unit from its head.
buffer_header* reset_target(uint32_t node, uint64_t units) {
    buffer_header* h = memory::buffer_of(node);
    h->tail = h->head;
    const uint64_t need = units * h->unit();
    if (need > 0xFFFFFF00ull) no_memory();
    if (h->capacity - h->head < need) {
        h = memory::grow_buffer(h, static_cast<uint32_t>(need));
        h->tail = h->head;
    }
    return h;
}

// A writer of code points into a buffer by the position rule: it keeps the
// count of units written and grows or widens the buffer when needed.
struct position_writer {
    uint32_t node;
    buffer_header* h;
    uint32_t unit;
    int64_t written = 0;
    uint32_t growth;  // bytes to grow by when full (at least one unit)

    position_writer(uint32_t n, uint32_t growth_bytes) : node(n), h(memory::buffer_of(n)), unit(h->unit()),
                                                         growth(growth_bytes) {}

    void finish() { h->tail = h->head + static_cast<uint32_t>(written * unit); }

    void put(uint32_t cp) {
        const uint32_t need = widened_for_store(static_cast<uint8_t>(unit), cp);
        if (need != unit) {
            finish();
            h = string::widen(h, unit, need);
            unit = need;
        }
        const uint64_t end = static_cast<uint64_t>(h->head) + static_cast<uint64_t>(written + 1) * unit;
        if (end > h->capacity) {
            finish();
            const uint64_t want = static_cast<uint64_t>(h->capacity) + std::max<uint64_t>(growth, unit) -
                                  h->head;
            if (want > 0xFFFFFF00ull) no_memory();
            h = memory::expand_buffer(h, static_cast<uint32_t>(std::max<uint64_t>(want, end - h->head)));
        }
        write_unit(unit_ptr(h, written), unit, cp);
        ++written;
    }
};

// Whether the bytes are all ASCII, and free of CR when CRs are to be turned.
bool ascii_only(const uint8_t* p, uint32_t size, bool cr) {
    uint32_t i = 0;
    uint64_t high = 0, crs = 0;
    for (; size - i >= 8; i += 8) {
        uint64_t block;
        std::memcpy(&block, p + i, 8);
        const uint64_t x = block ^ 0x0D0D0D0D0D0D0D0Dull;  // a zero byte where a CR was
        high |= block;
        crs |= (x - 0x0101010101010101ull) & ~x;
    }
    for (; i < size; ++i) {
        high |= p[i];
        crs |= p[i] == cr_byte ? 0x80u : 0u;
    }
    if (high & 0x8080808080808080ull) return false;
    return !cr || !(crs & 0x8080808080808080ull);
}

}  // namespace

uint32_t utf8_to_string(const uint8_t* p, uint32_t size, uint32_t target, uint32_t* remaining, bool cr) {
    uint32_t node = target;
    if (!node) {
        node = memory::new_series(std::max<uint32_t>(size, 1), 1, 0);
    } else {
        reset_target(node, size);
    }
    if (remaining) *remaining = 0;
    if (size == 0) return node;
    if (!target && ascii_only(p, size, cr)) {
        // All ASCII (no mark, nothing to check or widen, no CR to turn): one
        // copy into the fresh byte-wide buffer. read/lines meets this at
        // every line.
        buffer_header* h = memory::buffer_of(node);
        std::memcpy(h->data() + h->head, p, size);
        h->tail = h->head + size;
        return node;
    }
    uint32_t i = 0;
    if (size > 2 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
    // Growth when full: a quarter of the input (2-byte units) or the whole
    // input (4-byte units), and always at least one unit.
    position_writer w(node, std::max<uint32_t>(size / 4, 4));
    while (i < size) {
        const uint8_t b = p[i];
        if (b < 0x80 && b != cr_byte && w.unit == 1 &&
            static_cast<uint64_t>(w.h->head) + static_cast<uint64_t>(w.written) + 1 <= w.h->capacity) {
            // Runs of ASCII without a CR are copied eight bytes at a time,
            // as far as the room allows.
            char* out = w.h->data() + w.h->head;
            const uint64_t room = w.h->capacity - w.h->head - static_cast<uint64_t>(w.written);
            const uint32_t limit = i + static_cast<uint32_t>(std::min<uint64_t>(room, size - i));
            uint32_t run = i;
            while (limit - run >= 8) {
                uint64_t block;
                std::memcpy(&block, p + run, 8);
                const uint64_t x = block ^ 0x0D0D0D0D0D0D0D0Dull;  // a zero byte where a CR was
                if ((block | ((x - 0x0101010101010101ull) & ~x)) & 0x8080808080808080ull) break;
                run += 8;
            }
            if (run == i) run = i + 1;
            std::memcpy(out + w.written, p + i, run - i);
            w.written += run - i;
            i = run;
            continue;
        }
        size_t n = size - i;
        text_error err;
        const int32_t cp = read_utf8_char(p + i, &n, &err);
        if (cp == utf8_short && remaining) {
            *remaining = size - i;
            break;
        }
        if (cp == utf8_short) {
            // No caller to hand the cut-off bytes to: they are malformed text
            // like any other, never dropped silently.
            err.id = unicode::error_id::invalid_utf8;
            err.byte_count = static_cast<uint8_t>(size - i);
            std::memcpy(err.bytes, p + i, size - i);
            w.finish();
            string::raise_text_error(err);
        }
        if (cp == utf8_malformed) {
            w.finish();
            string::raise_text_error(err);
        }
        i += static_cast<uint32_t>(n);
        uint32_t c = static_cast<uint32_t>(cp);
        if (cr && c == cr_byte) {
            if (i < size && p[i] == lf_byte) continue;  // the LF is stored next
            c = lf_byte;
        }
        if (w.unit == 2) w.growth = std::max<uint32_t>(size / 4, 2);
        if (w.unit == 4) w.growth = std::max<uint32_t>(size, 4);
        w.put(c);
    }
    w.finish();
    return node;
}

uint32_t utf8_into_string(const uint8_t* p, uint32_t size, kel_value* s, uint32_t* remaining) {
    return utf8_to_string(p, size, series_node(s), remaining, false);
}

uint32_t utf8_to_new_string(const uint8_t* p, uint32_t size) { return utf8_to_string(p, size, 0, nullptr, false); }

char* conversion_buffer(kel_value* s, uint32_t size) {
    uint32_t node = s->w3;
    if (node == 0 || !memory::node_live_q(node)) {
        node = memory::new_bytes(std::max<uint32_t>(size, 1));
        s->w3 = node;
    } else if (memory::buffer_of(node)->capacity < size) {
        memory::grow_buffer(memory::buffer_of(node), size);
    }
    buffer_header* h = memory::buffer_of(node);
    h->head = 0;
    return h->data();
}

uint32_t utf16_to_string(const uint8_t* p, uint32_t units, kel_value* target, bool cr) {
    // With no address the text lies in the target's conversion buffer; it is
    // found again after every allocation.
    const bool in_conversion = p == nullptr && target != nullptr && target->w3 != 0;
    if (p == nullptr && !in_conversion) units = 0;  // no text anywhere: an empty string
    auto source = [&]() -> const uint8_t* {
        return in_conversion ? reinterpret_cast<const uint8_t*>(memory::buffer_of(target->w3)->data()) : p;
    };
    const uint8_t unit = utf16_unit_needed(source(), units);
    uint32_t node;
    if (target) {
        node = series_node(target);
        buffer_header* h = memory::buffer_of(node);
        h->flags = (h->flags & ~memory::unit_mask) | unit;
        reset_target(node, units);
    } else {
        node = units == 0 ? memory::new_series(1, 2, 0) : memory::new_series(units, unit, 0);
        buffer_header* h = memory::buffer_of(node);
        h->flags = (h->flags & ~memory::unit_mask) | unit;
    }
    buffer_header* h = memory::buffer_of(node);
    h->flags |= memory::flag_utf16_source;
    const uint8_t* q = source();
    int64_t w = 0;
    for (uint32_t i = 0; i < units; ++i) {
        uint32_t u = static_cast<uint32_t>(q[2 * i] | (q[2 * i + 1] << 8));
        if (cr && u == cr_byte) continue;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t next = static_cast<uint32_t>(q[2 * i + 2] | (q[2 * i + 3] << 8));
            if (next >= 0xDC00 && next <= 0xDFFF) {
                u = (((u & 0x3FF) << 10) | (next & 0x3FF)) + 0x10000;
                ++i;
            }
        }
        // A lone surrogate is kept as it is: the text is the caller's.
        write_unit(unit_ptr(h, w), h->unit(), u);
        ++w;
    }
    h->tail = h->head + static_cast<uint32_t>(w * h->unit());
    return node;
}

uint32_t cp1251_to_string(const uint8_t* p, uint32_t size, kel_value* target, bool cr) {
    uint32_t node;
    if (target) {
        node = series_node(target);
        reset_target(node, size);
    } else {
        node = memory::new_series(std::max<uint32_t>(size, 1), 1, 0);
    }
    position_writer w(node, std::max<uint32_t>(size, 4));
    for (uint32_t i = 0; i < size; ++i) {
        const uint8_t b = p[i];
        uint32_t c = b < 0x80 ? b : cp1251_high[b - 0x80];
        if (cr && b == cr_byte) {
            if (i + 1 < size && p[i + 1] == lf_byte) continue;
            c = lf_byte;
        }
        w.put(c);
    }
    w.finish();
    return node;
}

namespace {
text_view limited_view(const kel_value* s, int32_t count) {
    text_view v = string::view(s);
    if (count >= 0 && static_cast<size_t>(count) < v.length) v.length = static_cast<size_t>(count);
    return v;
}

const char* to_utf8_with(kel_value* s, int32_t* count, bool crlf) {
    const text_view first = limited_view(s, *count);
    const size_t bound = utf8_bound(first.length, first.unit);
    if (bound > 0xFFFFFF00ull) no_memory();
    char* dst = conversion_buffer(s, static_cast<uint32_t>(bound));
    const text_view v = limited_view(s, *count);  // re-read: the buffer may have moved
    size_t written = 0;
    text_error err;
    if (encode_utf8(v, crlf, true, reinterpret_cast<uint8_t*>(dst), &written, &err) != error_id::none)
        string::raise_text_error(err);
    *count = static_cast<int32_t>(written);
    return dst;
}
}  // namespace

const char* to_utf8(kel_value* s, int32_t* count) { return to_utf8_with(s, count, false); }
const char* to_utf8_crlf(kel_value* s, int32_t* count) { return to_utf8_with(s, count, true); }

const uint16_t* to_utf16_part(kel_value* s, int32_t* count, bool crlf) {
    const size_t bound = utf16_bound(limited_view(s, *count)) * 2;
    if (bound > 0xFFFFFF00ull) no_memory();
    auto* dst = reinterpret_cast<uint16_t*>(conversion_buffer(s, static_cast<uint32_t>(bound)));
    const long n = encode_utf16(limited_view(s, *count), crlf, dst);
    if (n < 0) return nullptr;
    *count = static_cast<int32_t>(n);
    return dst;
}

const uint16_t* to_utf16(kel_value* s) {
    int32_t count = -1;
    return to_utf16_part(s, &count, true);
}

uint32_t encode_utf8_into(const kel_value* s, uint8_t* dst, int32_t limit, bool nul) {
    size_t written = 0;
    text_error err;
    if (encode_utf8(limited_view(s, limit), false, nul, dst, &written, &err) != error_id::none)
        string::raise_text_error(err);
    return static_cast<uint32_t>(written);
}

uint32_t encode_utf8_bounded(const kel_value* s, uint8_t* dst, uint32_t room, int32_t limit, bool nul) {
    size_t written = 0;
    text_error err;
    if (unicode::encode_utf8_bounded(string::view(s), dst, room, limit, nul, &written, &err) != error_id::none)
        string::raise_text_error(err);
    return static_cast<uint32_t>(written);
}

uint32_t utf8_buffer_size(const char* start, const char* end, uint32_t unit) {
    text_view v;
    v.data = reinterpret_cast<const uint8_t*>(start);
    v.unit = static_cast<uint8_t>(unit);
    v.length = static_cast<size_t>(end - start) / unit;
    size_t bytes = 0;
    text_error err;
    if (utf8_buffer_size(v, &bytes, &err) != error_id::none) string::raise_text_error(err);
    return static_cast<uint32_t>(bytes);
}

}  // namespace kel::unicode

// ---------------------------------------------------------------- case conversion of values

namespace kel::case_map {

kel_value* convert_value(kel_value* value, const kel_value* part, bool to_upper) {
    if (type_of(value) == types::char_) {
        value->w2 = convert_char(value->w2, to_upper);
        return value;
    }
    if (!in_family(type_of(value), family::string_like)) return value;  // the natives take chars and text only
    memory::buffer_header* h = string::buffer(value);
    const int64_t units = h->units();
    if (series_head(value) > units) set_series_head(value, static_cast<int32_t>(units));
    const int64_t head = std::max(series_head(value), 0);
    int64_t count = units - head;
    if (part) {
        int64_t n;
        if (type_of(part) == types::integer) {
            n = get_integer(part);
        } else if (type_of(part) == type_of(value) && series_node(part) == series_node(value)) {
            n = static_cast<int64_t>(series_head(part)) - head;
        } else {
            fire(error_category::script, "invalid-refine-arg", error_arg::named("part"), part);
        }
        count = std::clamp<int64_t>(n, 0, units - head);
    }
    for (int64_t i = head; i < head + count; ++i) {
        const uint32_t cp = string::read_unit(string::unit_ptr(h, i), h->unit());
        const uint32_t c = convert_char(cp, to_upper);
        if (c != cp) h = string::store_char(h, string::unit_ptr(h, i), c);
    }
    if (h->flags & memory::flag_owned)
        ownership::check(value, to_upper ? "uppercase" : "lowercase", nullptr, static_cast<int32_t>(head),
                         static_cast<int32_t>(count));
    return value;
}

}  // namespace kel::case_map
