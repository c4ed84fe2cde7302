// block_actions: see block_actions.h. Positions are cell indexes counted from
// the buffer's first used cell and computed in 64 bits; a cell is read into a
// local copy before anything that may allocate, and addresses are re-read by
// index afterwards.
#include "datatypes/block_actions.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/hash.h"
#include "datatypes/integer.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "kernel/stack.h"
#include "kernel/actions.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/heap.h"
#include "kernel/murmur3.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/sort.h"

namespace kel::block {

call_compare_fn call_compare = nullptr;

namespace {

using memory::buffer_header;

const kel_value none_cell{types::none, 0, 0, 0};

inline buffer_header* buf(const kel_value* b) { return memory::buffer_of(series_node(b)); }
inline int64_t units(const kel_value* b) { return buf(b)->units(); }
inline kel_value* cell_at(const kel_value* b, int64_t i) { return ks_abs_at(b, static_cast<int32_t>(i)); }
inline int64_t clamped_head(const kel_value* b) { return std::clamp<int64_t>(series_head(b), 0, units(b)); }

// True when the block has an owner, whose handler may have changed it.
bool notify(const kel_value* s, const char* word, const kel_value* value, int64_t index, int64_t count) {
    memory::touch(memory::buffer_of(series_node(s)));  // every change is announced here, owned or not
    if (!(buf(s)->flags & memory::flag_owned)) return false;
    ownership::check(s, word, value, static_cast<int32_t>(index), static_cast<int32_t>(count));
    return true;
}

[[noreturn]] void bad_refine(const char* refinement, const kel_value* value) {
    fire(error_category::script, "invalid-refine-arg", error_arg::named(refinement), value);
}

bool same_series(const kel_value* a, const kel_value* b) {
    return type_of(a) == type_of(b) && series_node(a) == series_node(b);
}

// Cell counts beyond what a buffer can hold are a memory error, as the
// memory layer reports its own limits.
constexpr int64_t max_cells = 0xFFFFFF00ll / 16;

// The compare handler of a's type; a type without one (a module not written
// yet) compares equal only to an identical cell.
int32_t compare_values(const kel_value* a, const kel_value* b, int32_t op) {
    compare_fn fn = registry::compare_handler(type_of(a));
    if (!fn) return (type_of(a) == type_of(b) && std::memcmp(a, b, 16) == 0) ? 0 : cmp::not_comparable;
    return fn(a, b, op);
}

// The equalities of find (op 12: types must match, text case-insensitive),
// of /case (op 2) and of /same (op 9): the types always match.
bool equal_by_op(const kel_value* a, const kel_value* b, int32_t op) {
    if (type_of(a) != type_of(b)) return false;
    return compare_values(a, b, op) == 0;
}

// Two word cells name the same symbol: exactly (same id), or through their
// canonical symbols when not `exact`, so that `b/foo` finds `Foo` as
// `select b 'foo` does.
bool same_symbol(const kel_value* a, const kel_value* b, bool exact) {
    const uint32_t x = word_symbol(a), y = word_symbol(b);
    return x == y || (!exact && symbol::resolve(x) == symbol::resolve(y));
}

// The cell after the first any-word cell from the head naming the word's
// symbol; none! when absent or last.
const kel_value* lookup_word(const kel_value* block, const kel_value* word, bool exact) {
    const int64_t n = units(block);
    for (int64_t i = clamped_head(block); i < n; ++i) {
        const kel_value* c = cell_at(block, i);
        if (in_family(type_of(c), family::word) && same_symbol(c, word, exact)) return i + 1 < n ? cell_at(block, i + 1) : &none_cell;
    }
    return &none_cell;
}

bool deep_copied_type(uint32_t t) { return in_family(t, family::series); }

// A series copied for /deep: blocks through the block copy (deep, types
// passed on), other series through the series! copy (their units hold no
// references). Replaces *cell.
void copy_nested(kel_value* cell, bool deep, const kel_value* types) {
    const kel_value src = *cell;
    kel_value* out = stack::push_unset();
    if (in_family(type_of(&src), family::block_like)) block::copy(&src, out, nullptr, deep, types);
    else series::copy(&src, out, nullptr);
    *cell = *out;
    stack::drop_cells(1);
}

// object!, error! and map! values, which their own copy handlers copy.
bool own_copy_q(uint32_t t) { return t == types::object || t == types::error || t == types::map; }

// The value types /types may select for copying.
bool typed_copy_q(uint32_t t) { return in_family(t, family::series) || t == types::bitset || own_copy_q(t); }

bool selected_by(const kel_value* types_arg, uint32_t t) {
    if (type_of(types_arg) == types::typeset) return typeset_has(types_arg, t);
    return get_datatype(types_arg) == t;
}

// Copies the selected cells of the block from index `from`, by `step` cells.
void copy_typed(const kel_value* block, int64_t from, int64_t step, bool deep, const kel_value* types_arg) {
    for (int64_t i = from; i < units(block); i += step) {
        kel_value c = *cell_at(block, i);
        const uint32_t t = type_of(&c);
        if (!selected_by(types_arg, t) || !typed_copy_q(t)) continue;
        if (t == types::bitset) {
            kel_value* out = stack::push_unset();
            bitset::copy(&c, out);
            out->header = c.header;
            c = *out;
            stack::drop_cells(1);
        } else if (own_copy_q(t)) {
            // Through the copy action.
            kel_value* out = stack::push_unset();
            actions::copy_value(&c, out, nullptr, deep, deep ? types_arg : nullptr);
            c = *out;
            stack::drop_cells(1);
        } else {
            copy_nested(&c, deep, deep ? types_arg : nullptr);
        }
        *cell_at(block, i) = c;
    }
}

}  // namespace

// --- make and to -------------------------------------------------------------------

namespace {

// The block make and to build alike: a block-like value's cells from its head
// (a shallow copy), an object's body. Pushed (the caller copies and drops
// it); null for the other values.
kel_value* pushed_block_from(const kel_value& s) {
    const uint32_t t = type_of(&s);
    if (in_family(t, family::block_like)) return duplicate(&s, false, false);
    if (t == types::object) return object::push_body(s.w1);
    if (t == types::map) return map::push_body(&s);
    if (t == types::vector) return vector::to_block(&s);
    return nullptr;
}

}  // namespace

void make(kel_value* result, const kel_value* spec, uint32_t type) {
    const kel_value s = *spec;
    const uint32_t t = type_of(&s);
    if (t == types::integer || t == types::float_) {
        const int32_t n = cell::get_int_checked(&s);
        init_cell(result, n <= 0 ? 1 : n);
        set_type(result, type);
        return;
    }
    if (kel_value* made = pushed_block_from(s)) {
        *result = *made;
        stack::drop_cells(1);
        result->header = type;
        return;
    }
    kel_value datatype;
    set_datatype(&datatype, type);
    fire(error_category::script, "bad-make-arg", &datatype, &s);
}

void (*load_text)(kel_value* out, const kel_value* text) = nullptr;

void to(kel_value* result, const kel_value* spec, uint32_t type) {
    const kel_value s = *spec;
    const uint32_t t = type_of(&s);
    if (t == types::string) {
        // Source text: the values the lexer reads from it.
        if (!load_text) fire(error_category::internal, "not-done");
        kel_value* held = stack::push_unset();
        load_text(held, &s);
        *result = *held;
        stack::drop_cells(1);
        result->header = type;
        return;
    }
    if (kel_value* made = pushed_block_from(s)) {
        *result = *made;
        stack::drop_cells(1);
    } else if (t == types::typeset) {
        int32_t n = 0;
        for (uint32_t id = 1; id <= static_cast<uint32_t>(types::count); ++id) n += typeset_has(&s, id);
        init_cell(result, n);
        for (uint32_t id = 1; id <= static_cast<uint32_t>(types::count); ++id) {
            if (!typeset_has(&s, id)) continue;
            kel_value d;
            set_datatype(&d, id);
            ks_add(result, &d);
        }
    } else {
        init_cell(result, 1);
        ks_add(result, &s);
    }
    set_type(result, type);
}

// --- form, mold, compare -----------------------------------------------------------

namespace {
// True when the text ends with a tab, line feed or carriage return.
bool ends_with_break(const kel_value* buffer) {
    buffer_header* h = buf(buffer);
    if (h->used() == 0) return false;
    const uint32_t unit = h->unit();
    uint32_t c = 0;
    std::memcpy(&c, h->data() + h->tail - unit, unit);  // little-endian: the low bytes
    return c == '\t' || c == '\n' || c == '\r';
}
}  // namespace

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    if (cycles::detect_q(value, buffer, &part, false)) return part;
    const kel_value blk = *value;
    cycles::push(series_node(&blk));
    struct pop_guard {
        ~pop_guard() { cycles::pop(); }
    } guard;
    for (int64_t i = std::max<int64_t>(series_head(&blk), 0); i < units(&blk); ++i) {
        if (arg && part < 1) break;
        const kel_value c = *cell_at(&blk, i);
        form_fn fn = registry::form_handler(type_of(&c));
        if (fn) part = fn(&c, buffer, arg, part);
        if (i + 1 < units(&blk) && !ends_with_break(buffer)) {
            text_out::append(buffer, " ", 1);
            --part;
        }
    }
    return part;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent) {
    if (cycles::detect_q(value, buffer, &part, true)) return part;
    if (!only) {
        text_out::append(buffer, "[", 1);
        --part;
    }
    part = mold_cells(value, buffer, only, all, flat, arg, part, indent);
    if (!only) {
        text_out::append(buffer, "]", 1);
        --part;
    }
    return part;
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t a = type_of(value), b = type_of(other);
    if (a != b) {
        const bool paths = (a == types::path || a == types::lit_path) && (b == types::path || b == types::lit_path);
        if (!(paths && (op == cmp::equal10 || op == cmp::equal11))) return cmp::not_comparable;
    }
    return compare_cells(value, other, op);
}

// --- find and select ---------------------------------------------------------------

namespace {

struct hit {
    int64_t position;  // index of the first matched cell
    int64_t count;     // cells matched
    int64_t step;
    bool backward;
};

// The match of one cell against the searched value.
struct matcher {
    enum kind_t { by_type, by_typeset, by_value } kind;
    kel_value value;
    int32_t op;

    bool test(const kel_value* cell) const {
        switch (kind) {
            case by_type: return type_of(cell) == get_datatype(&value);
            case by_typeset: return typeset_has(&value, type_of(cell));
            default: return equal_by_op(&value, cell, op);
        }
    }
};

// A single word key answers what the word row's compare would, for the three
// equalities find uses, without a handler call per cell: the types must be
// the same, then the symbol ids decide; only when they differ does the cell's
// symbol need its canonical id (an alias in another letter case still
// matches unless /case). Nothing here allocates, so the block's cells and
// the symbol table stay where they are for the whole walk.
struct word_matcher {
    uint32_t type, symbol, canonical, context;
    int32_t op;
    const kel_value* symbols;  // the symbol table's cells: id 1 at index 0

    // Whether the key is a word whose type compares through the word row.
    static bool applies(const kel_value* key) {
        const uint32_t t = type_of(key);
        return (t == types::word || t == types::set_word || t == types::get_word || t == types::lit_word) &&
               registry::compare_handler(t) == &word::compare;
    }
    explicit word_matcher(const kel_value* key, int32_t find_op)
        : type(type_of(key)),
          symbol(word_symbol(key)),
          canonical(symbol::resolve(word_symbol(key))),
          context(word_context(key)),
          op(find_op),
          symbols(symbol::raw_cell(1)) {}

    bool test(const kel_value* cell) const {
        if (type_of(cell) != type) return false;
        const uint32_t s = word_symbol(cell);
        if (s == symbol) return op != cmp::same || word_context(cell) == context;
        if (op != cmp::find || s == 0) return false;
        const int32_t alias = static_cast<int32_t>(symbols[s - 1].w1);
        return (alias > 0 ? static_cast<uint32_t>(alias) : s) == canonical;
    }
};

int32_t find_op(const find_refinements& r) {
    if (r.same) return cmp::same;
    return r.case_ ? cmp::strict_equal : cmp::find;
}

// Whether a hash! answers a search from its table: a single value compared
// by value, no /match or /any; not a block-like value, an object or a map
// (their equality is not what they hash by) unless compared by identity; not a
// number whose equal values differ in their bits (zero, NaN, an amount in a
// currency); and no backward search inside a /part window, where the
// table's answer lies outside it.
bool table_finds(const kel_value& v, bool by_value, const find_refinements& r, bool backward) {
    if (!by_value || r.match || r.any) return false;
    const uint32_t t = type_of(&v);
    if (in_family(t, family::block_like)) return r.same && r.only;
    if (in_family(t, family::object) || t == types::map) return r.same;
    if (t == types::float_ || t == types::percent || t == types::time) {
        const double d = get_float(&v);
        if (d == 0.0 || d != d) return false;
    }
    // An amount in a currency finds the same amount with none, which hashes
    // apart (the currency is part of the hashed cell).
    if (t == types::money && money::currency_of(&v) != 0) return false;
    return !(r.part && backward);
}

// The walk shared by find, select and put. The searched window is the cells
// from the head to the tail (backward from the tail with /last), or the cells
// before the head with /reverse; /part narrows it to that many cells next to
// the head. Positions lie on the record grid head + k x skip; a sequence
// must fit inside the window.
bool find_position(const kel_value* series, const kel_value* value, const find_refinements& r, hit* out) {
    const kel_value s = *series;
    const kel_value v = *value;
    const int64_t total = units(&s);
    if (total == 0) return false;
    if (!r.reverse && series_head(&s) >= total) return false;
    const int64_t head = clamped_head(&s);

    int64_t step = 1;
    if (r.skip) {
        if (type_of(r.skip) != types::integer) bad_refine("/skip", r.skip);
        step = get_integer(r.skip);
        if (step < 1) fire(error_category::script, "out-of-range", r.skip);
    }

    int64_t lo = r.reverse ? 0 : head;
    int64_t hi = r.reverse ? head : total;
    if (r.part) {
        int64_t n;
        if (type_of(r.part) == types::integer) {
            n = get_integer(r.part);
        } else if (in_family(type_of(r.part), family::block_like) && same_series(&s, r.part)) {
            n = r.reverse ? head - series_head(r.part) : static_cast<int64_t>(series_head(r.part)) - head;
        } else {
            bad_refine("/part", r.part);
        }
        if (n < 1) return false;
        if (r.reverse) lo = std::max<int64_t>(head - n, 0);
        else hi = std::min<int64_t>(head + n, total);
    }

    const bool sequence = !r.only && in_family(type_of(&v), family::block_like);
    int64_t count = 1;
    matcher single{matcher::by_value, v, find_op(r)};
    if (sequence) {
        count = std::max<int32_t>(ks_length_q(&v), 0);
        if (count == 0) return false;
    } else if (!r.only && type_of(&v) == types::datatype) {
        single.kind = matcher::by_type;
    } else if (!r.only && type_of(&v) == types::typeset) {
        single.kind = matcher::by_typeset;
    }

    const int64_t last_start = hi - count;
    if (last_start < lo) return false;
    const bool backward = r.last || r.reverse;
    if (const uint32_t table = hash::table_of(&s); table != 0 && table_finds(v, single.kind == matcher::by_value && !sequence, r, backward)) {
        // The table's reverse grid counts from the cell before the head.
        const int64_t from = r.reverse ? head - step + 1 : head;
        const kel_value* found = hashtable::find(table, &v, static_cast<int32_t>(from), static_cast<int32_t>(step),
                                                 find_op(r), r.last, r.reverse);
        if (!found) return false;
        const int64_t p = found - cell_at(&s, 0);
        if (p < lo || p > last_start) return false;  // beyond the /part window
        *out = {p, 1, step, backward};
        return true;
    }
    int64_t p;
    if (backward) {
        // The highest grid position that leaves room for the sequence.
        const int64_t d = last_start - head;
        const int64_t k = d >= 0 ? d / step : -((-d + step - 1) / step);
        p = head + k * step;
    } else {
        p = head;
    }
    if (!sequence && single.kind == matcher::by_value && word_matcher::applies(&v)) {
        const word_matcher w(&v, single.op);
        const kel_value* cells = cell_at(&s, 0);
        for (; backward ? p >= lo : p <= last_start; p += backward ? -step : step) {
            if (w.test(cells + p)) {
                *out = {p, 1, step, backward};
                return true;
            }
            if (r.match) break;
        }
        return false;
    }
    const int64_t value_head = sequence ? std::max<int32_t>(series_head(&v), 0) : 0;
    for (; backward ? p >= lo : p <= last_start; p += backward ? -step : step) {
        bool matched;
        if (sequence) {
            matched = true;
            for (int64_t i = 0; i < count && matched; ++i) {
                const matcher m{matcher::by_value, *cell_at(&v, value_head + i), find_op(r)};
                matched = m.test(cell_at(&s, p + i));
            }
        } else {
            matched = single.test(cell_at(&s, p));
        }
        if (matched) {
            *out = {p, count, step, backward};
            return true;
        }
        if (r.match) break;
    }
    return false;
}

}  // namespace

bool find(const kel_value* series, const kel_value* value, const find_refinements& r, kel_value* result) {
    hit h;
    const kel_value s = *series;
    if (!find_position(&s, value, r, &h)) {
        set_none(result);
        return false;
    }
    int64_t index = h.position;
    if (r.tail) {
        const bool single = h.count == 1 && (r.only || !in_family(type_of(value), family::block_like));
        index += single ? (h.backward ? 1 : h.step) : h.count;
        index = std::min(index, units(&s));
    }
    *result = s;
    set_series_head(result, static_cast<int32_t>(index));
    return true;
}

bool select(const kel_value* series, const kel_value* value, const find_refinements& r, kel_value* result) {
    find_refinements plain = r;
    plain.tail = plain.match = false;
    hit h;
    const kel_value s = *series;
    if (!find_position(&s, value, plain, &h) || h.position + h.count >= units(&s)) {
        set_none(result);
        return false;
    }
    *result = *cell_at(&s, h.position + h.count);
    return true;
}

namespace {

// The pair goes behind the block's last cell.
void append_pair(kel_value* series, const kel_value* key, const kel_value* value) {
    const int64_t before = units(series);
    ks_add(series, key);
    ks_add(series, value);
    hash::after_replace(series, before, 0, 2, before);
}

// The value goes into the cell behind the key's, or behind the block's last
// cell when the key is the last one.
void replace_after_key(kel_value* series, int64_t p, const kel_value* value) {
    if (p < units(series)) {
        kel_value* c = cell_at(series, p);
        if (!equal_by_op(c, value, cmp::find)) {
            *c = *value;
            hash::rewritten(series, p, 1);
        }
    } else {
        const int64_t before = units(series);
        ks_add(series, value);
        hash::after_replace(series, before, 0, 1, before);
    }
}

}  // namespace

void put(kel_value* series, const kel_value* key, const kel_value* value, bool case_) {
    const kel_value k = *key;
    const kel_value v = *value;
    // The key is looked for as one value (/only): a block key must find the
    // block cell it was stored as, and a datatype! key its own cell.
    find_refinements r;
    r.only = true;
    r.case_ = case_;
    hit h;
    bool found = find_position(series, &k, r, &h);
    const int64_t announced = found ? h.position + 1 : std::max<int32_t>(ks_length_q(series), 0);
    // The owner's handler may change the block before the put: the key is
    // then looked for again in the block as the handler left it.
    if (notify(series, "put", &v, announced, 1)) found = find_position(series, &k, r, &h);
    if (!found) {
        const int64_t index = std::max<int32_t>(ks_length_q(series), 0);
        append_pair(series, &k, &v);
        notify(series, "put-ed", &v, index, 1);
        return;
    }
    const int64_t p = h.position + 1;
    replace_after_key(series, p, &v);
    notify(series, "put-ed", &v, p, 1);
}

// --- path step --------------------------------------------------------------------

void eval_path(kel_value* parent, const kel_value* element, const kel_value* value, const kel_value* path,
               bool case_, kel_value* result) {
    const kel_value e = *element;
    if (type_of(&e) == types::integer) {
        if (!value) {
            series::pick(parent, get_integer(&e), result);
            return;
        }
        const kel_value v = *value;
        series::poke(parent, get_integer(&e), &v);
        *result = v;
        return;
    }
    if (value) {
        const kel_value v = *value;
        find_refinements r;
        r.case_ = case_;
        kel_value at;
        if (!find(parent, &e, r, &at)) fire(error_category::script, "bad-path-set", path, &e);
        series::poke(&at, 2, &v);
        *result = v;
        return;
    }
    if (type_of(&e) == types::word && type_of(parent) != types::hash) {
        *result = *lookup_word(parent, &e, case_);
        return;
    }
    find_refinements r;
    r.only = true;
    r.case_ = case_;
    select(parent, &e, r, result);
}

// --- sort ------------------------------------------------------------------------------

namespace {

constexpr uint32_t sort_reverse = 1;  // flags bit 0
constexpr uint32_t sort_all = 2;      // flags bit 1: whole records

// One pair through the first value's compare handler; values that cannot be
// compared order by their type ids.
int32_t sort_pair(const kel_value* a, const kel_value* b, int32_t op) {
    compare_fn fn = registry::compare_handler(type_of(a));
    int32_t r = fn ? fn(a, b, op) : cmp::not_comparable;
    if (r == cmp::not_comparable) r = static_cast<int32_t>(type_of(a)) - static_cast<int32_t>(type_of(b));
    return r;
}

// The default comparator (p1 = op, p2 = flags): with whole records every
// cell in order, else only the cell at the offset in flags >> 2.
int32_t sort_compare_cells(const void* x, const void* y, uintptr_t p1, uintptr_t p2) {
    const auto* a = static_cast<const kel_value*>(x);
    const auto* b = static_cast<const kel_value*>(y);
    const auto op = static_cast<int32_t>(p1);
    const auto flags = static_cast<uint32_t>(p2);
    if (flags & sort_reverse) std::swap(a, b);
    const uint32_t n = flags >> 2;
    if (flags & sort_all) {
        for (uint32_t i = 0; i < n; ++i)
            if (int32_t r = sort_pair(a + i, b + i, op)) return r;
        return 0;
    }
    return sort_pair(a + n, b + n, op);
}

// The comparator above for records whose compared cells all have one type
// with a direct order (Key): the same answers for every pair, without the
// handler lookup and call per pair. Key::order is what that type's compare
// handler answers for two values of the type under the sort operators.
template <class Key>
struct uniform_order {
    int32_t op;
    uint32_t flags;
    int32_t operator()(const void* x, const void* y) const {
        const auto* a = static_cast<const kel_value*>(x);
        const auto* b = static_cast<const kel_value*>(y);
        if (flags & sort_reverse) std::swap(a, b);
        const uint32_t n = flags >> 2;
        if (flags & sort_all) {
            for (uint32_t i = 0; i < n; ++i)
                if (int32_t r = Key::order(a + i, b + i, op)) return r;
            return 0;
        }
        return Key::order(a + n, b + n, op);
    }
};

// The same for records of one cell each, the direction fixed at compile time.
template <class Key, bool Reverse>
struct single_cell_order {
    static constexpr size_t record_size = 16;
    int32_t op;
    int32_t operator()(const void* x, const void* y) const {
        const auto* a = static_cast<const kel_value*>(x);
        const auto* b = static_cast<const kel_value*>(y);
        return Reverse ? Key::order(b, a, op) : Key::order(a, b, op);
    }
};

struct integer_key {
    static constexpr uint32_t type = types::integer;
    static compare_fn handler() { return &integer::compare; }
    static int32_t order(const kel_value* a, const kel_value* b, int32_t) {
        const int32_t x = get_integer(a), y = get_integer(b);
        return (x > y) - (x < y);
    }
};

struct string_key {
    static constexpr uint32_t type = types::string;
    static compare_fn handler() { return &string::compare; }
    static int32_t order(const kel_value* a, const kel_value* b, int32_t op) {
        return string::compare_text(a, b, op, false);
    }
};

// One symbol is one name, so it orders equal to itself whatever the case rule.
struct word_key {
    static constexpr uint32_t type = types::word;
    static compare_fn handler() { return &word::compare; }
    static int32_t order(const kel_value* a, const kel_value* b, int32_t op) {
        const uint32_t s1 = word_symbol(a), s2 = word_symbol(b);
        return s1 == s2 ? 0 : symbol::compare_names(s1, s2, op);
    }
};

// The type every compared cell of the records has (the cell at the key
// offset, or with whole records every cell) when it is one of the keys
// above and its row still compares through the handler that key mirrors;
// 0 otherwise.
uint32_t uniform_key_type(const kel_value* cells, size_t records, uint32_t size, uint32_t flags) {
    const bool all = flags & sort_all;
    const uint32_t offset = all ? 0 : flags >> 2;
    const uint32_t t = type_of(cells + offset);
    compare_fn expected;
    switch (t) {
        case integer_key::type: expected = integer_key::handler(); break;
        case string_key::type: expected = string_key::handler(); break;
        case word_key::type: expected = word_key::handler(); break;
        default: return 0;
    }
    if (registry::compare_handler(t) != expected) return 0;
    if (all) {
        const size_t n = records * size;
        for (size_t i = 0; i < n; ++i)
            if (type_of(cells + i) != t) return 0;
    } else {
        for (size_t k = 0; k < records; ++k)
            if (type_of(cells + k * size + offset) != t) return 0;
    }
    return t;
}

// The two scratch blocks handed to a function comparator for whole records,
// kept in the root block by index (its buffer may be replaced).
int32_t scratch_index[2] = {-1, -1};
constexpr uint32_t scratch_reset_bytes = 0x200000;

kel_value* scratch_block(int i) {
    if (scratch_index[i] < 0) {
        make_at_tail(nullptr, 1);
        scratch_index[i] = static_cast<int32_t>(units(root())) - 1;
    }
    return ks_abs_at(root(), scratch_index[i]);
}

// Puts one record into scratch block i (regrown when too small); returns a
// copy of the block cell.
kel_value fill_scratch(int i, const kel_value* record, uint32_t size) {
    kel_value* blk = scratch_block(i);
    if (buf(blk)->capacity < size * 16u) {
        kel_value fresh;
        init_cell(&fresh, static_cast<int32_t>(size));
        *scratch_block(i) = fresh;
        blk = scratch_block(i);
    }
    buffer_header* h = buf(blk);
    h->head = 0;
    std::memcpy(h->data(), record, static_cast<size_t>(size) * 16);
    h->tail = size * 16u;
    set_series_head(blk, 0);
    return *blk;
}

void reset_scratch() {
    for (int i = 0; i < 2; ++i) {
        if (scratch_index[i] < 0) continue;
        kel_value fresh;
        init_cell(&fresh, 1);
        *scratch_block(i) = fresh;
    }
}

struct call_context {
    kel_value function;
    uint32_t flags;
};

// The function comparator (p1 = the call context).
int32_t sort_call_compare(const void* x, const void* y, uintptr_t p1, uintptr_t) {
    const auto* ctx = reinterpret_cast<const call_context*>(p1);
    const auto* a = static_cast<const kel_value*>(x);
    const auto* b = static_cast<const kel_value*>(y);
    kel_value first, second;
    const uint32_t n = ctx->flags >> 2;
    if (ctx->flags & sort_all) {
        first = fill_scratch(0, a, n);
        second = fill_scratch(1, b, n);
    } else {
        first = a[n];
        second = b[n];
    }
    kel_value answer;
    set_unset(&answer);
    if (ctx->flags & sort_reverse) call_compare(&ctx->function, &first, &second, &answer);
    else call_compare(&ctx->function, &second, &first, &answer);
    return compare_answer(&answer);
}

// Pushes a block holding a copy of count cells of series from head.
void keep_alive_copy(const kel_value* series, int64_t head, int64_t count) {
    kel_value* keep = push_only_star(static_cast<int32_t>(count));
    buffer_header* h = buf(keep);
    std::memcpy(h->head_ptr(), cell_at(series, head), static_cast<size_t>(count) * 16);
    h->tail = h->head + static_cast<uint32_t>(count) * 16;
}

void run_sort(void* base, size_t records, size_t record_bytes, uintptr_t p1, uintptr_t p2, sort::compare_fn fn,
              bool stable) {
    if (stable) {
        if (sort::merge(base, records, record_bytes, p1, p2, fn) != sort::merge_result::done)
            fire(error_category::script, "too-long");
    } else {
        sort::quick(base, records, record_bytes, p1, p2, fn);
    }
}

template <class Order>
void run_sort_of(void* base, size_t records, size_t record_bytes, const Order& order, bool stable) {
    if (stable) {
        if (sort::merge_of(base, records, record_bytes, order) != sort::merge_result::done)
            fire(error_category::script, "too-long");
    } else {
        sort::quick_of(base, records, record_bytes, order);
    }
}

template <class Key>
void run_uniform_sort(void* base, size_t records, size_t record_bytes, int32_t op, uint32_t flags, bool stable) {
    if (record_bytes != 16) run_sort_of(base, records, record_bytes, uniform_order<Key>{op, flags}, stable);
    else if (flags & sort_reverse) run_sort_of(base, records, 16, single_cell_order<Key, true>{op}, stable);
    else run_sort_of(base, records, 16, single_cell_order<Key, false>{op}, stable);
}

}  // namespace

int32_t compare_answer(const kel_value* answer) {
    switch (type_of(answer)) {
        case types::logic: return get_logic(answer) ? 1 : -1;
        case types::integer: {
            const int32_t i = get_integer(answer);
            return (i > 0) - (i < 0);
        }
        case types::float_: {
            const double d = get_float(answer);
            return d > 0.0 ? 1 : (d < 0.0 ? -1 : 0);
        }
        case types::none: return -1;
        default: return 1;
    }
}

void sort(kel_value* series, const sort_refinements& r) {
    int64_t head = clamped_head(series);
    int64_t count = units(series) - head;
    if (r.part) {
        int64_t n;
        if (type_of(r.part) == types::integer) n = get_integer(r.part);
        else if (in_family(type_of(r.part), family::block_like) && same_series(series, r.part))
            n = static_cast<int64_t>(series_head(r.part)) - head;
        else bad_refine("/part", r.part);
        if (n < 0) {
            // The cells just before the head are sorted; the head moves back to them.
            if (head + n < 0) {
                set_series_head(series, 0);
                return;
            }
            head += n;
            set_series_head(series, static_cast<int32_t>(head));
            count = -n;
        } else {
            count = std::min(count, n);
        }
    }
    if (count <= 0) return;

    int64_t size = 1;
    if (r.skip) {
        if (type_of(r.skip) != types::integer) bad_refine("/skip", r.skip);
        size = get_integer(r.skip);
        if (size < 1 || size > count || count % size != 0) bad_refine("/skip", r.skip);
    } else if (r.all) {
        fire(error_category::script, "bad-refines");
    }
    uint32_t flags = r.reverse ? sort_reverse : 0;
    if (r.all) flags |= sort_all | static_cast<uint32_t>(size << 2);
    const int32_t op = r.case_ ? cmp::case_sort : cmp::sort;

    bool by_function = false;
    if (r.compare) {
        if (type_of(r.compare) == types::function) {
            by_function = true;
        } else if (type_of(r.compare) == types::integer) {
            if (!r.skip || r.all) fire(error_category::script, "bad-refines");
            const int64_t offset = get_integer(r.compare);
            if (offset < 1 || offset > size) fire(error_category::script, "out-of-range", r.compare);
            flags |= static_cast<uint32_t>((offset - 1) << 2);
        } else {
            bad_refine("/compare", r.compare);
        }
    }
    if (by_function && !call_compare) fire(error_category::internal, "not-done");

    notify(series, "sort", nullptr, head, count);
    // The owner's handler may have shortened the block: only the whole
    // records still before its tail are sorted, never cells behind it.
    const int64_t told = count;
    count = std::min(count, units(series) - head) / size * size;
    if (count <= 0) {
        notify(series, "sorted", nullptr, head, told);
        return;
    }
    const size_t records = static_cast<size_t>(count / size);
    const size_t record_bytes = static_cast<size_t>(size) * 16;
    if (!by_function) {
        // Nothing but compare handlers runs: the cells are sorted where they lie.
        kel_value* cells = cell_at(series, head);
        switch (uniform_key_type(cells, records, static_cast<uint32_t>(size), flags)) {
            case integer_key::type:
                run_uniform_sort<integer_key>(cells, records, record_bytes, op, flags, r.stable);
                break;
            case string_key::type:
                run_uniform_sort<string_key>(cells, records, record_bytes, op, flags, r.stable);
                break;
            case word_key::type: run_uniform_sort<word_key>(cells, records, record_bytes, op, flags, r.stable); break;
            default:
                run_sort(cells, records, record_bytes, static_cast<uintptr_t>(op), flags, sort_compare_cells,
                         r.stable);
        }
    } else {
        // The user's function may change or grow this very block, so the
        // records are sorted in a copy that does not move, and written back
        // into what the buffer holds afterwards.
        const size_t bytes = static_cast<size_t>(count) * 16;
        // That copy (and the merge buffer) is heap memory the collector does
        // not see: should the function empty this block and collect, the
        // records would refer to freed series. A block on the argument
        // stack keeps every record's targets alive until the sort ends.
        keep_alive_copy(series, head, count);
        struct work_copy {
            void* p;
            bool big;
            ~work_copy() {
                heap::free(p);
                if (big) reset_scratch();
            }
        } work{heap::allocate(bytes), record_bytes >= scratch_reset_bytes};
        std::memcpy(work.p, cell_at(series, head), bytes);
        call_context ctx{*r.compare, flags};
        run_sort(work.p, records, record_bytes, reinterpret_cast<uintptr_t>(&ctx), 0, sort_call_compare, r.stable);
        const int64_t room = std::clamp<int64_t>(units(series) - head, 0, count);
        if (room > 0) std::memcpy(cell_at(series, head), work.p, static_cast<size_t>(room) * 16);
        stack::drop_cells(1);
    }
    notify(series, "sorted", nullptr, head, count);
}

// --- append, insert, change ---------------------------------------------------------

namespace {

// The cells a value contributes: its cells from the head when spliced, else
// the value itself. Copied out when they lie in the target's own buffer, so
// that growing or shifting the target cannot change them.
struct source_cells {
    kel_value value;
    bool splice;
    int64_t from;
    int64_t n;
    std::vector<kel_value> own;  // a copy when the value shares the target's buffer

    void snapshot_if_shared(const kel_value* target) {
        if (!splice || series_node(&value) != series_node(target) || n == 0) return;
        own.assign(cell_at(&value, from), cell_at(&value, from) + n);
    }
    const kel_value* cells() const {
        if (!splice) return &value;
        if (!own.empty()) return own.data();
        return cell_at(&value, from);
    }
};

source_cells source_of(const kel_value* value, bool only) {
    source_cells s;
    s.value = *value;
    s.splice = !only && in_family(type_of(value), family::block_like);
    s.from = s.splice ? std::clamp<int64_t>(series_head(value), 0, units(value)) : 0;
    s.n = s.splice ? units(value) - s.from : 1;
    return s;
}

int64_t checked_total(int64_t n, int64_t dup) {
    int64_t total;
    if (__builtin_mul_overflow(n, dup, &total) || total > max_cells) fire(error_category::internal, "no-memory");
    return total;
}

// Makes room for `more` cells past the tail: the buffer grows to the exact
// need, or to twice the need (`generous`).
buffer_header* room_for(const kel_value* series, int64_t more, bool generous) {
    buffer_header* h = buf(series);
    const uint64_t need = static_cast<uint64_t>(h->used()) + static_cast<uint64_t>(more) * 16;
    if (need > 0xFFFFFF00ull) fire(error_category::internal, "no-memory");
    if (h->tail + static_cast<uint64_t>(more) * 16 <= h->capacity) return h;
    const uint64_t want = generous ? std::min<uint64_t>(2 * need, 0xFFFFFF00ull) : need;
    return memory::expand_buffer(h, static_cast<uint32_t>(std::max<uint64_t>(want, 16)));
}

// Writes the source's n cells at position `at` and repeats them dup times.
void write_cells(const kel_value* series, int64_t at, const source_cells& src, int64_t dup) {
    if (src.n == 0 || dup == 0) return;
    char* p = reinterpret_cast<char*>(cell_at(series, at));
    std::memmove(p, src.cells(), static_cast<size_t>(src.n) * 16);
    memory::replicate(p, static_cast<size_t>(src.n) * 16, static_cast<size_t>(dup));
}

}  // namespace

void insert(kel_value* series, const kel_value* value, int32_t part, bool only, int32_t dup, bool append) {
    source_cells src = source_of(value, only);
    if (part >= 0 && part < src.n) src.n = part;
    const int64_t head = clamped_head(series);
    set_series_head(series, static_cast<int32_t>(head));
    if (src.n <= 0 || dup < 1) {
        if (append) set_series_head(series, 0);
        return;
    }
    const int64_t total = checked_total(src.n, dup);
    const int64_t told_at = append ? units(series) : head;
    notify(series, append ? "append" : "insert", &src.value, told_at, total);
    // The owner's handler may have reshaped the block: the place is taken
    // again, so that nothing it cut away comes back behind the new cells.
    const int64_t at = append ? units(series) : std::min(head, units(series));
    src.snapshot_if_shared(series);
    buffer_header* h = room_for(series, total, dup < 5);
    const int64_t n = h->units();
    if (at < n)
        std::memmove(cell_at(series, at + total), cell_at(series, at), static_cast<size_t>(n - at) * 16);
    h->tail += static_cast<uint32_t>(total * 16);
    write_cells(series, at, src, dup);
    hash::after_replace(series, at, 0, total, n);
    notify(series, append ? "appended" : "inserted", &src.value, at, total);
    set_series_head(series, append ? 0 : static_cast<int32_t>(std::min(at + total, units(series))));
}

void insert_one(kel_value* series, const kel_value* value, bool append) {
    const kel_value v = *value;
    const int64_t head = clamped_head(series);
    set_series_head(series, static_cast<int32_t>(head));
    notify(series, append ? "append" : "insert", &v, append ? units(series) : head, 1);
    // Taken after the owner's handler, which may have reshaped the block.
    const int64_t at = append ? units(series) : std::min(head, units(series));
    buffer_header* h = room_for(series, 1, true);
    const int64_t n = h->units();
    if (at < n) std::memmove(cell_at(series, at + 1), cell_at(series, at), static_cast<size_t>(n - at) * 16);
    h->tail += 16;
    *cell_at(series, at) = v;
    hash::after_replace(series, at, 0, 1, n);
    notify(series, append ? "appended" : "inserted", &v, at, 1);
    set_series_head(series, append ? 0 : static_cast<int32_t>(std::min(at + 1, units(series))));
}

void change(kel_value* series, const kel_value* value, int32_t part, bool only, int32_t dup) {
    source_cells src = source_of(value, only);
    int64_t head = clamped_head(series);
    set_series_head(series, static_cast<int32_t>(head));
    const int64_t inserted = checked_total(src.n, std::max(dup, 0));
    notify(series, "change", &src.value, head, inserted);
    // Measured after the owner's handler, which may have reshaped the block.
    head = clamped_head(series);
    set_series_head(series, static_cast<int32_t>(head));
    const int64_t avail = units(series) - head;
    const int64_t removed = part >= 0 ? std::min<int64_t>(part, avail) : std::min(inserted, avail);
    src.snapshot_if_shared(series);
    buffer_header* h = inserted > removed ? room_for(series, inserted - removed, true) : buf(series);
    const int64_t n = h->units();
    hash::before_replace(series, head, removed);
    const int64_t after = head + removed;
    if (inserted != removed && after < n)
        std::memmove(cell_at(series, head + inserted), cell_at(series, after), static_cast<size_t>(n - after) * 16);
    h->tail = static_cast<uint32_t>(static_cast<int64_t>(h->tail) + (inserted - removed) * 16);
    write_cells(series, head, src, std::max(dup, 0));
    hash::after_replace(series, head, removed, inserted, n);
    notify(series, "changed", &src.value, head, inserted);
    set_series_head(series, static_cast<int32_t>(std::min(head + inserted, units(series))));
}

// --- take, swap, trim, copy -------------------------------------------------------------

void take(kel_value* series, const kel_value* part, bool deep, bool last, kel_value* result) {
    // With deep, the copies are made before a cell leaves the series: a copy
    // that fails (a block holding itself, nesting too deep) then loses nothing.
    bool copied = false;
    kel_value copies;  // kept alive by its pushed cell until the end
    if (deep) {
        const series::take_plan plan = series::plan_take(series, part, last);
        if (!plan.nothing && !plan.empty) {
            copies = *push_only_star(static_cast<int32_t>(plan.count));
            copied = true;
            for (int64_t i = plan.start; i < plan.start + plan.count; ++i) {
                kel_value c = *cell_at(series, i);
                if (deep_copied_type(type_of(&c))) copy_nested(&c, true, nullptr);
                ks_add(&copies, &c);
            }
        }
    }
    kel_value out;
    series::take(series, part, deep, last, &out);
    *result = out;
    if (copied) {
        if (!part) *result = *cell_at(&copies, 0);
        else
            for (int64_t i = 0; i < units(&copies) && i < units(result); ++i) *cell_at(result, i) = *cell_at(&copies, i);
        stack::drop_cells(1);
    }
    // Taken cells of a hash! make a hash! of their own, indexed afresh.
    if (part && hash::table_of(series) != 0 && type_of(result) == types::hash && result->w3 == 0)
        hash::index_new(result);
}

void swap(const kel_value* series1, const kel_value* series2) {
    if (!in_family(type_of(series2), family::block_like)) fire(error_category::script, "invalid-arg", series2);
    if (series::ks_tail_q(series1) || series::ks_tail_q(series2)) return;
    const int64_t h1 = series_head(series1), h2 = series_head(series2);
    notify(series1, "swap", series2, h1, 1);
    notify(series2, "swap", series1, h2, 1);
    // A cell an owner's handler cut away is not swapped back into either.
    if (h1 < units(series1) && h2 < units(series2)) {
        std::swap(*cell_at(series1, h1), *cell_at(series2, h2));
        hash::swapped(series1, h1, series2, h2);
    }
    notify(series1, "swaped", series2, h1, 1);
    notify(series2, "swaped", series1, h2, 1);
}

void trim(const kel_value* series) {
    const int64_t head = clamped_head(series);
    notify(series, "trim", nullptr, head, 0);
    buffer_header* h = buf(series);
    const int64_t n = h->units();
    kel_value* c = cell_at(series, 0);
    int64_t kept = std::min(head, n);  // the handler may have shortened it
    for (int64_t i = head; i < n; ++i)
        if (!none_q(&c[i])) c[kept++] = c[i];
    h->tail = h->head + static_cast<uint32_t>(kept * 16);
    notify(series, "trimmed", nullptr, head, 0);
}

void copy(const kel_value* series, kel_value* result, const kel_value* part, bool deep, const kel_value* types_arg) {
    const kel_value src = *series;
    if (types_arg && type_of(types_arg) != types::typeset && type_of(types_arg) != types::datatype)
        bad_refine("/types", types_arg);
    if (deep && cycles::find_q(series_node(&src))) {
        cycles::reset();
        fire(error_category::internal, "no-cycle");
    }
    series::copy(&src, result, part);
    if (!deep && !types_arg) return;
    if (type_of(result) == types::hash) set_type(result, types::block);
    if (deep) cycles::push(series_node(&src));
    struct pop_guard {
        bool on;
        ~pop_guard() {
            if (on) cycles::pop();
        }
    } guard{deep};
    // The result may be the argument cell itself: read it afresh each time.
    const kel_value out = *result;
    if (types_arg) {
        copy_typed(&out, 0, 1, deep, types_arg);
        return;
    }
    for (int64_t i = 0; i < units(&out); ++i) {
        kel_value c = *cell_at(&out, i);
        if (!deep_copied_type(type_of(&c))) continue;
        copy_nested(&c, true, nullptr);
        *cell_at(&out, i) = c;
    }
}

// --- set operations ---------------------------------------------------------------------

namespace {

// A hash of a set key that agrees with equal_by_op: keys equal under the find
// equality (or the strict one, with case) always hash alike. Each type's row
// says how (registry::set_hash_rule); a type without a rule hashes by its type
// id alone, so its keys are compared with every key of that type.
using set_rule = registry::set_hash_rule;
inline set_rule rule_of(const kel_value* v) { return registry::set_hash_rules[type_of(v)]; }

inline uint32_t int_key_hash(uint32_t value) { return hashtable::fmix32(value ^ (types::integer * 0x9E3779B9u)); }

// A block-like key's hash, from what its compare (`compare_cells`, under the
// find or the strict equality) always finds equal in two equal blocks: the
// length, then for each of the first cells only what that compare cannot
// look past: the canonical symbol of a word (words of the four kinds match
// one another), an integer's value (under these equalities an integer
// equals no float), and for every other cell its type alone (floats, where a
// NaN equals every float, nested series, reached through a cycle check that
// may call two series of different lengths equal, and text, whose letter
// case depends on the mode). Without it every block key met every other in
// one chain, and a set operation over many blocks took quadratic time.
bool content_hashed(uint32_t t) {
    return t == types::block || t == types::paren || in_family(t, family::path);
}

uint32_t block_content_hash(const kel_value* v) {
    constexpr int32_t cells_hashed = 32;
    const kel_value b = *v;
    const int32_t n = std::max(ks_length_q(&b), 0);
    const int32_t head = std::max(series_head(&b), 0);
    uint32_t h = hashtable::fmix32(static_cast<uint32_t>(n) ^ 0x85EBCA6Bu);
    for (int32_t i = 0; i < n && i < cells_hashed; ++i) {
        const kel_value* c = ks_abs_at(&b, head + i);
        const uint32_t t = type_of(c);
        uint32_t part;
        if (in_family(t, family::word)) part = hashtable::fmix32(symbol::resolve(word_symbol(c)) ^ 0xC2B2AE35u);
        else if (t == types::integer) part = int_key_hash(c->w2);
        else part = hashtable::fmix32(t * 0x27D4EB2Fu);
        h = hashtable::fmix32(h * 31u + part);
    }
    return h;
}

uint32_t key_hash(const kel_value* v, bool case_, set_rule rule) {
    const uint32_t t = type_of(v);
    // key_set relies on this being a bijection of the value (fmix32 is one)
    if (t == types::integer) return int_key_hash(v->w2);
    uint32_t h = 0;
    switch (rule) {
        case set_rule::folded: h = hashtable::hash_value(v, false); break;
        case set_rule::cased: h = hashtable::hash_value(v, case_); break;
        case set_rule::exact: h = hashtable::hash_value(v, true); break;
        case set_rule::float_value: {
            const double d = get_float(v) == 0.0 ? 0.0 : get_float(v);  // -0.0 equals 0.0
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            h = hashtable::fmix32(static_cast<uint32_t>(bits) ^ hashtable::fmix32(static_cast<uint32_t>(bits >> 32)));
            break;
        }
        case set_rule::type_only:
            if (content_hashed(t)) h = block_content_hash(v);
            break;
    }
    return hashtable::fmix32(h ^ (t * 0x9E3779B9u));
}

// The keys of one side of a set operation: cells of a block named by their
// position, in an open-addressing table (linear probing, at most half full,
// doubled as it fills, each slot keeping the key's hash so that only equal
// hashes are compared). Positions rather than cells or pointers: a compare
// handler may allocate, and the block's buffer may move, but its positions
// stay. An integer's hash is a bijection of its value and its slot is marked
// as an integer's, so integer keys are told apart without reading a cell:
// the membership tests of a large set are then one table load each.
class key_set {
public:
    // `expected` bounds the number of keys; the table starts smaller when the
    // bound is large (runs of duplicates never fill it) and grows.
    key_set(const kel_value* block, int64_t expected, bool case_) : block_(block), case_(case_) {
        const uint64_t want = std::min<uint64_t>(2 * static_cast<uint64_t>(std::max<int64_t>(expected, 1)), start_limit);
        uint64_t n = 16;
        while (n < want) n <<= 1;
        resize(n);
    }

    uint32_t hash(const kel_value* key, set_rule rule) const { return key_hash(key, case_, rule); }

    // Whether a key of the set is equal to `key` (whose hash is `h`).
    bool present(const kel_value* key, set_rule rule, uint32_t h) const {
        if (nan_match(key, rule)) return true;
        return find(key, h) != nullptr;
    }
    bool present(const kel_value* key) const {
        const set_rule rule = rule_of(key);
        return present(key, rule, hash(key, rule));
    }

    // Adds `key`, which lies (or is about to lie) at `position` of the block,
    // unless an equal key is present; tells whether one was. `note_present`
    // counts a float key that was already present as seen (a NaN among the
    // keys then matches every later float).
    bool add(const kel_value* key, set_rule rule, uint32_t h, int64_t position, bool note_present) {
        const bool is_float = rule == set_rule::float_value;
        bool found = nan_match(key, rule);
        uint64_t i = h & mask_;
        if (!found) {
            const bool is_int = type_of(key) == types::integer;
            const int32_t op = case_ ? cmp::strict_equal : cmp::find;
            for (;; i = (i + 1) & mask_) {
                const slot s = slots_[i];
                if (s.tag == 0) break;
                if (s.hash != h) continue;
                if (is_int) {
                    if (s.tag & int_mark) { found = true; break; }
                    continue;
                }
                if (s.tag & int_mark) continue;
                // the compare handler may allocate: the key is the caller's copy
                if (equal_by_op(key, cell_at(block_, (s.tag & ~int_mark) - 1), op)) { found = true; break; }
            }
        }
        if (found) {
            if (is_float && note_present) note_float(key);
            return true;
        }
        if (is_float) note_float(key);
        slots_[i] = slot{static_cast<uint32_t>(position + 1) | (type_of(key) == types::integer ? int_mark : 0u), h};
        if (++count_ * 2 > slots_.size()) resize(slots_.size() * 2);
        return false;
    }
    // Asks the processor for the slot where an integer key's probe starts:
    // the passes look a few keys ahead, so the cache misses of a large table
    // overlap instead of following one another.
    void prefetch(uint32_t h) const { __builtin_prefetch(&slots_[h & mask_]); }


private:
    struct slot {
        uint32_t tag = 0;  // position + 1 (0 is empty), with int_mark for an integer key
        uint32_t hash = 0;
    };
    static constexpr uint32_t int_mark = 0x80000000u;
    static constexpr uint64_t start_limit = uint64_t{1} << 16;

    // Under the find equality a NaN equals every float.
    bool nan_match(const kel_value* key, set_rule rule) const {
        return !case_ && rule == set_rule::float_value && floats_ > 0 && (nan_ || std::isnan(get_float(key)));
    }
    const slot* find(const kel_value* key, uint32_t h) const {
        const bool is_int = type_of(key) == types::integer;
        const int32_t op = case_ ? cmp::strict_equal : cmp::find;
        for (uint64_t i = h & mask_;; i = (i + 1) & mask_) {
            const slot s = slots_[i];
            if (s.tag == 0) return nullptr;
            if (s.hash != h) continue;
            if (is_int) {
                if (s.tag & int_mark) return &slots_[i];
                continue;
            }
            if (s.tag & int_mark) continue;
            if (equal_by_op(key, cell_at(block_, (s.tag & ~int_mark) - 1), op)) return &slots_[i];
        }
    }
    void resize(uint64_t n) {
        std::vector<slot> fresh;
        try {
            fresh.assign(n, slot{});
        } catch (const std::bad_alloc&) {
            fire(error_category::internal, "no-memory");
        }
        const uint64_t mask = n - 1;
        for (const slot& s : slots_) {
            if (s.tag == 0) continue;
            uint64_t i = s.hash & mask;
            while (fresh[i].tag != 0) i = (i + 1) & mask;
            fresh[i] = s;
        }
        slots_.swap(fresh);
        mask_ = mask;
    }
    void note_float(const kel_value* key) {
        ++floats_;
        if (std::isnan(get_float(key))) nan_ = true;
    }
    const kel_value* block_;
    bool case_;
    std::vector<slot> slots_;
    uint64_t mask_ = 0;
    uint64_t count_ = 0;
    uint64_t floats_ = 0;
    bool nan_ = false;
};

enum class keep { all, present, absent };

// How many records ahead the passes prefetch, and the hashes of the
// integer keys met there, kept for when the pass reaches them (with the
// value, so a key that is not what it was then is hashed afresh).
constexpr int64_t look_ahead = 8;
class hashes_ahead {
public:
    // Notes the key `look_ahead` records past `record`: the hash of an
    // integer key (to prefetch with), or none.
    std::optional<uint32_t> look(const kel_value* key, uint64_t record) {
        entry& e = ring_[record % look_ahead];
        if (type_of(key) != types::integer) {
            e.valid = false;
            return std::nullopt;
        }
        e = entry{key->w2, int_key_hash(key->w2), true};
        return e.hash;
    }
    uint32_t hash(const kel_value* key, set_rule rule, const key_set& keys, uint64_t record) const {
        const entry& e = ring_[record % look_ahead];
        if (e.valid && type_of(key) == types::integer && key->w2 == e.value) return e.hash;
        return keys.hash(key, rule);
    }

private:
    struct entry {
        uint32_t value = 0;
        uint32_t hash = 0;
        bool valid = false;
    };
    entry ring_[look_ahead];
};

// Walks the records of `in` (`size` cells from its head), handing `body`
// each record's index, first cell, that cell's case rule and its hash as
// `hasher` makes it; the hash of an integer first cell `look_ahead` records
// on goes to `prefetch`. The series is read afresh at every record: the body
// may add to other series. Always inlined: as a call of its own it made set
// operations a quarter slower.
template <class Prefetch, class Body>
[[gnu::always_inline]] inline void walk_records(const kel_value* in, int64_t size, const key_set& hasher, Prefetch prefetch, Body body) {
    hashes_ahead ahead;
    const int64_t head = clamped_head(in);
    for (int64_t i = head; i < units(in); i += size) {
        const uint64_t record = static_cast<uint64_t>((i - head) / size);
        const kel_value key = *cell_at(in, i);
        const set_rule r = rule_of(&key);
        // read before look() below takes this record's place in the ring
        const uint32_t h = ahead.hash(&key, r, hasher, record);
        if (i + look_ahead * size < units(in)) {
            if (const auto next = ahead.look(cell_at(in, i + look_ahead * size), record)) prefetch(*next);
        }
        body(i, key, r, h);
    }
}

// Adds the records of `from` that pass the test against `other` and whose
// first cell is not among the result's keys yet (the first cells taken so
// far, in `taken`: a trailing partial record would put the result's own cells
// off the record grid; with records of one cell, `taken` is the result).
void set_pass(const kel_value* from, const key_set* other, keep rule, kel_value* result, kel_value* taken,
              key_set& taken_keys, int64_t size) {
    // both tables hash alike: the same case rule
    const auto prefetch = [&](uint32_t next) {
        if (other) other->prefetch(next);
        taken_keys.prefetch(next);
    };
    walk_records(from, size, taken_keys, prefetch, [&](int64_t i, const kel_value& key, set_rule r, uint32_t h) {
        if (rule != keep::all && other->present(&key, r, h) != (rule == keep::present)) return;
        if (taken_keys.add(&key, r, h, units(taken), false)) return;
        if (taken != result) ks_add(taken, &key);
        ks_add(result, &key);
        for (int64_t j = 1; j < size && i + j < units(from); ++j) {
            const kel_value c = *cell_at(from, i + j);
            ks_add(result, &c);
        }
    });
}

// The first cells of the records of `in` (records of `size` cells from its
// head) as a key set.
key_set record_keys(const kel_value* in, int64_t size, bool case_) {
    const int64_t head = clamped_head(in);
    key_set keys(in, (units(in) - head + size - 1) / size, case_);
    walk_records(in, size, keys, [&](uint32_t next) { keys.prefetch(next); },
                 [&](int64_t i, const kel_value& key, set_rule r, uint32_t h) { keys.add(&key, r, h, i, true); });
    return keys;
}

}  // namespace

kel_value* set_operation(int32_t op, bool case_, const kel_value* skip) {
    kel_value* first = stack::argument(1);
    kel_value* second = stack::argument(2);
    int64_t size = 1;
    if (skip) {
        if (type_of(skip) != types::integer || get_integer(skip) < 1) bad_refine("/skip", skip);
        size = get_integer(skip);
    }
    const bool two = op != set_op::unique;
    if (two && !in_family(type_of(second), family::block_like)) fire(error_category::script, "invalid-arg", second);
    set_series_head(first, static_cast<int32_t>(clamped_head(first)));
    if (two) set_series_head(second, static_cast<int32_t>(clamped_head(second)));
    int64_t room = units(first) - series_head(first);
    // The result of a union or a difference takes keys from both sets.
    if (op == set_op::union_ || op == set_op::difference) room += units(second) - series_head(second);
    room = std::clamp<int64_t>(room, 1, max_cells);
    kel_value* result = push_only_star(static_cast<int32_t>(room));
    kel_value* taken = size == 1 ? result : push_only_star(static_cast<int32_t>((room + size - 1) / size));
    key_set taken_keys(taken, (room + size - 1) / size, case_);
    switch (op) {
        case set_op::unique: set_pass(first, nullptr, keep::all, result, taken, taken_keys, size); break;
        case set_op::union_:
            set_pass(first, nullptr, keep::all, result, taken, taken_keys, size);
            set_pass(second, nullptr, keep::all, result, taken, taken_keys, size);
            break;
        case set_op::intersect: {
            const key_set in_second = record_keys(second, size, case_);
            set_pass(first, &in_second, keep::present, result, taken, taken_keys, size);
            break;
        }
        case set_op::exclude: {
            const key_set in_second = record_keys(second, size, case_);
            set_pass(first, &in_second, keep::absent, result, taken, taken_keys, size);
            break;
        }
        case set_op::difference: {
            const key_set in_second = record_keys(second, size, case_);
            const key_set in_first = record_keys(first, size, case_);
            set_pass(first, &in_second, keep::absent, result, taken, taken_keys, size);
            set_pass(second, &in_first, keep::absent, result, taken, taken_keys, size);
            break;
        }
        default: fire(error_category::internal, "not-done");
    }
    uint32_t type = type_of(first);
    if (two && type_of(second) == types::hash) type = types::hash;
    kel_value out = *result;
    out.header = type;
    stack::drop_cells(size == 1 ? 1 : 2);
    *first = out;
    if (type == types::hash) hash::index_new(first);  // a hash! result indexes its values
    return first;
}

// --- the block! row ---------------------------------------------------------------------

namespace {

kel_value* arg(int n) { return stack::argument(n); }
const kel_value* ref_arg(const refinements& r, int i) { return r.has(i) ? stack::arguments() + r.at[i] : nullptr; }

uint32_t target_type(const kel_value* type_or_prototype) {
    return type_of(type_or_prototype) == types::datatype ? get_datatype(type_or_prototype) : type_of(type_or_prototype);
}

signal_code a_make(const refinements&) {
    const kel_value spec = *arg(2);
    make(stack::arguments(), &spec, target_type(arg(1)));
    return signal_code::none;
}

signal_code a_to(const refinements&) {
    const kel_value spec = *arg(2);
    to(stack::arguments(), &spec, target_type(arg(1)));
    return signal_code::none;
}

int32_t f_form(const kel_value* v, kel_value* buffer, const kel_value* a, int32_t part) { return form(v, buffer, a, part); }
int32_t f_mold(const kel_value* v, kel_value* buffer, bool only, bool all, bool flat, const kel_value* a, int32_t part,
               int32_t indent) {
    return mold(v, buffer, only, all, flat, a, part, indent);
}
int32_t f_compare(const kel_value* a, const kel_value* b, int32_t op) { return compare(a, b, op); }

// A path step carries no case flag among its arguments: block steps match
// words and keys case-insensitively.
signal_code a_path(const path_step_args& s) {
    eval_path(s.parent, s.element, s.value_to_set, s.path, false, s.result);
    return signal_code::none;
}

find_refinements find_refs(const refinements& r, bool with_tail_match) {
    return find_options_of(r, stack::arguments(), with_tail_match);
}

// find and select of a word key without refinements, the commonest search
// in scripts: the walk of find_position cut down to that case (no window, no
// grid, no table: a hash! keeps the general walk). `hit` is the first
// matching cell from the head, or null; `end` the cell past the tail.
struct word_hit {
    const kel_value* cells;
    const kel_value* hit;
    const kel_value* end;
};

word_hit plain_word_position(const kel_value* series, const kel_value* key) {
    buffer_header* h = buf(series);
    const kel_value* cells = reinterpret_cast<const kel_value*>(h->head_ptr());
    const int64_t total = h->units();
    const int64_t head = std::max<int64_t>(series_head(series), 0);
    word_hit r{cells, nullptr, cells + total};
    if (head >= total) return r;
    // word_matcher's test under find's equality, spelled out: a cell of the
    // key's type matches by its own symbol, the key's canonical one, or an
    // alias naming that (an alias holds its canonical id, a canonical -1).
    const uint32_t type = type_of(key), symbol = word_symbol(key);
    const int32_t canonical = static_cast<int32_t>(symbol::resolve(symbol));
    const kel_value* symbols = symbol::raw_cell(1);
    if (static_cast<uint32_t>(canonical) == symbol && !symbol_table::has_variants(symbol)) {
        // The only spelling: ids alone decide.
        for (const kel_value* c = cells + head; c != r.end; ++c) {
            if (type_of(c) == type && word_symbol(c) == symbol) {
                r.hit = c;
                break;
            }
        }
        return r;
    }
    for (const kel_value* c = cells + head; c != r.end; ++c) {
        if (type_of(c) != type) continue;
        const uint32_t s = word_symbol(c);
        if (s == symbol || static_cast<int32_t>(s) == canonical ||
            (s != 0 && static_cast<int32_t>(symbols[s - 1].w1) == canonical)) {
            r.hit = c;
            break;
        }
    }
    return r;
}

template <int refinement_count>
bool plain_word_search(const refinements& r) {
    return r.template none_below<refinement_count>() && type_of(arg(1)) != types::hash && word_matcher::applies(arg(2));
}

signal_code a_find(const refinements& r) {
    if (plain_word_search<11>(r)) {
        kel_value* base = stack::arguments();
        const word_hit w = plain_word_position(base, arg(2));
        if (!w.hit) set_none(base);
        else set_series_head(base, static_cast<int32_t>(w.hit - w.cells));
        return signal_code::none;
    }
    kel_value out;
    find(arg(1), arg(2), find_refs(r, true), &out);
    *stack::arguments() = out;
    return signal_code::none;
}

signal_code a_select(const refinements& r) {
    if (plain_word_search<9>(r)) {
        kel_value* base = stack::arguments();
        const word_hit w = plain_word_position(base, arg(2));
        if (!w.hit || w.hit + 1 == w.end) set_none(base);
        else *base = w.hit[1];
        return signal_code::none;
    }
    kel_value out;
    select(arg(1), arg(2), find_refs(r, false), &out);
    *stack::arguments() = out;
    return signal_code::none;
}

signal_code a_put(const refinements& r) {
    put(arg(1), arg(2), arg(3), r.has(0));
    stack::set_last(arg(3));
    return signal_code::none;
}

signal_code a_sort(const refinements& r) {
    sort_refinements s;
    s.case_ = r.has(0);
    s.skip = ref_arg(r, 1);
    s.compare = ref_arg(r, 2);
    s.part = ref_arg(r, 3);
    s.all = r.has(4);
    s.reverse = r.has(5);
    s.stable = r.has(6);
    sort(arg(1), s);
    return signal_code::none;
}

// /dup: an integer! count; false when it is below 1 (nothing to do).
bool dup_count(const refinements& r, int32_t* dup) {
    *dup = 1;
    if (!r.has(2)) return true;
    const kel_value* d = ref_arg(r, 2);
    if (type_of(d) != types::integer) bad_refine("/dup", d);
    *dup = get_integer(d);
    return *dup >= 1;
}

// append/insert /part: a count of the value's cells, given as an integer! or
// a position in the value's own series; a negative count takes the cells
// just before the value's head. A value that is no series is one cell: an
// integer! count of 1 or more inserts it, a lower one nothing. Answers false
// when nothing is to be done.
bool value_part(const refinements& r, kel_value* value, int32_t* part) {
    *part = -1;
    if (!r.has(0)) return true;
    const kel_value* p = ref_arg(r, 0);
    if (!in_family(type_of(value), family::series)) {
        if (type_of(p) != types::integer) fire(error_category::script, "invalid-part", p);
        *part = get_integer(p);
        return *part >= 1;
    }
    int64_t count;
    if (type_of(p) == types::integer) count = get_integer(p);
    else if (in_family(type_of(p), family::series) && same_series(value, p))
        count = static_cast<int64_t>(series_head(p)) - series_head(value);
    else bad_refine("/part", p);
    if (count < 0) {
        const int64_t from = std::max<int64_t>(series_head(value) + count, 0);
        count = series_head(value) - from;
        set_series_head(value, static_cast<int32_t>(from));
    }
    *part = static_cast<int32_t>(count);
    return count >= 1;
}

signal_code insert_action(const refinements& r, bool append) {
    if (!r.has(0) && !r.has(1) && !r.has(2) && !in_family(type_of(arg(2)), family::block_like)) {
        insert_one(arg(1), arg(2), append);
        return signal_code::none;
    }
    int32_t part, dup;
    if (!value_part(r, arg(2), &part) || !dup_count(r, &dup)) return signal_code::none;
    insert(arg(1), arg(2), part, r.has(1), dup, append);
    return signal_code::none;
}
// append or insert of one value that is not spliced, to a block with room at
// its tail, no owner to tell and no hash table to index: the cells behind the
// position move up and the cell goes straight in. Each answers false, having
// done nothing, when the general insert is needed.
inline bool direct_one(const kel_value* series, const kel_value* value, const buffer_header* h) {
    return !in_family(type_of(value), family::block_like) && type_of(series) != types::hash &&
           !(h->flags & memory::flag_owned) && h->capacity - h->tail >= 16;
}

bool append_in_place(kel_value* series, const kel_value* value) {
    buffer_header* h = buf(series);
    if (!direct_one(series, value, h)) return false;
    memory::touch(h);
    *reinterpret_cast<kel_value*>(h->tail_ptr()) = *value;
    h->tail += 16;
    set_series_head(series, 0);
    return true;
}

bool insert_in_place(kel_value* series, const kel_value* value) {
    buffer_header* h = buf(series);
    if (!direct_one(series, value, h)) return false;
    const kel_value v = *value;
    memory::touch(h);
    const int64_t n = h->units();
    const int64_t at = std::clamp<int64_t>(series_head(series), 0, n);
    kel_value* cells = reinterpret_cast<kel_value*>(h->head_ptr());
    std::memmove(cells + at + 1, cells + at, static_cast<size_t>(n - at) * 16);
    cells[at] = v;
    h->tail += 16;
    set_series_head(series, static_cast<int32_t>(at + 1));
    return true;
}

signal_code a_append(const refinements& r) {
    if (r.none_below<3>() && append_in_place(arg(1), arg(2))) return signal_code::none;
    return insert_action(r, true);
}
signal_code a_insert(const refinements& r) {
    if (r.none_below<3>() && insert_in_place(arg(1), arg(2))) return signal_code::none;
    return insert_action(r, false);
}

signal_code a_change(const refinements& r) {
    int32_t part = -1;
    if (r.has(0)) {
        const kel_value* p = ref_arg(r, 0);
        int64_t count;
        if (type_of(p) == types::integer) count = get_integer(p);
        else if (in_family(type_of(p), family::block_like) && same_series(arg(1), p))
            count = static_cast<int64_t>(series_head(p)) - series_head(arg(1));
        else bad_refine("/part", p);
        part = static_cast<int32_t>(std::max<int64_t>(count, 0));
    }
    int32_t dup = 1;
    if (r.has(2)) {
        const kel_value* d = ref_arg(r, 2);
        if (type_of(d) != types::integer) bad_refine("/dup", d);
        dup = std::max(get_integer(d), 0);
    }
    change(arg(1), arg(2), part, r.has(1), dup);
    return signal_code::none;
}

signal_code a_copy(const refinements& r) {
    copy(arg(1), stack::arguments(), ref_arg(r, 0), r.has(1), ref_arg(r, 2));
    return signal_code::none;
}

signal_code a_take(const refinements& r) {
    kel_value out;
    take(arg(1), ref_arg(r, 0), r.has(1), r.has(2), &out);
    *stack::arguments() = out;
    return signal_code::none;
}

signal_code a_swap(const refinements&) {
    swap(arg(1), arg(2));
    return signal_code::none;
}

signal_code a_trim(const refinements&) {
    trim(arg(1));
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::block;
    r.hash = hashtable::hash_by::words_1_2;
    r.marker = kel::collector::cell_markers::any_block;
    r.families = family::block_like | family::list | family::series;
    r.parent = types::series;
    r.name = "block!";
    using registry::entry;
    for (act::id a : {act::random, act::reflect, act::at, act::back, act::clear, act::head, act::head_q, act::index_q,
                      act::length_q, act::move, act::next, act::pick, act::poke, act::remove, act::reverse, act::skip,
                      act::tail, act::tail_q, act::modify})
        r[a] = entry::inherit();
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::form] = static_cast<form_fn>(f_form);
    r[act::mold] = static_cast<mold_fn>(f_mold);
    r[act::path_step] = static_cast<path_fn>(a_path);
    r[act::compare] = static_cast<compare_fn>(f_compare);
    r[act::append] = static_cast<action_fn>(a_append);
    r[act::change] = static_cast<action_fn>(a_change);
    r[act::copy] = static_cast<action_fn>(a_copy);
    r[act::find] = static_cast<action_fn>(a_find);
    r[act::insert] = static_cast<action_fn>(a_insert);
    r[act::put] = static_cast<action_fn>(a_put);
    r[act::select] = static_cast<action_fn>(a_select);
    r[act::sort] = static_cast<action_fn>(a_sort);
    r[act::swap] = static_cast<action_fn>(a_swap);
    r[act::take] = static_cast<action_fn>(a_take);
    r[act::trim] = static_cast<action_fn>(a_trim);
    return r;
}

}  // namespace kel::block
