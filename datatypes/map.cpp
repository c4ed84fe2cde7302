// map: see map.h. Cell addresses in the key/value block are re-read by index
// after anything that may allocate (a key copy, a molded value, a grown
// block); every value held across such a call is a local copy whose series
// stay reachable through the map on the argument stack.
#include "datatypes/map.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/context.h"
#include "datatypes/runtime_words.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "kernel/actions.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"

namespace kel::map {

namespace {

enum class key_kind { refused, copied, word, kept };

key_kind kind_of_key(uint32_t t) {
    switch (t) {
        case types::string: case types::file: case types::url: case types::binary: case types::tag:
        case types::email: case types::ref:
            return key_kind::copied;
        case types::word: case types::set_word: case types::lit_word: case types::get_word:
            return key_kind::word;
        case types::char_: case types::integer: case types::float_: case types::refinement: case types::issue:
        case types::pair: case types::percent: case types::tuple: case types::time: case types::date:
        case types::money: case types::point2d: case types::point3d:
            return key_kind::kept;
        default:
            return key_kind::refused;
    }
}

// A stored key as a script receives it (find, words-of, body-of, foreach):
// a series key as a copy of itself, and with `as_word` a set-word! key as the
// word! of its symbol. The stored series fixed the entry's place in the
// table, so a change made through an answer must not reach it: the entry
// would drop out of every lookup, or come to equal another key.
kel_value exposed_key(const kel_value* stored, bool as_word) {
    kel_value k = *stored;
    if (type_of(&k) == types::set_word) {
        if (as_word) set_type(&k, types::word);
        return k;
    }
    if (kind_of_key(type_of(&k)) != key_kind::copied) return k;
    kel_value* copy = stack::push_unset();
    series::copy(&k, copy, nullptr);
    kel_value fresh = *copy;
    stack::drop_cells(1);
    set_new_line(&fresh, new_line_q(&k));
    return fresh;
}

inline int32_t cells_of(const kel_value* m) { return static_cast<int32_t>(memory::buffer_of(series_node(m))->units()); }
inline kel_value* cell_at(const kel_value* m, int32_t i) { return block::ks_abs_at(m, i); }
inline bool live(const kel_value* m, int32_t key_position) { return cell_at(m, key_position + 1)->header != 0; }
inline uint32_t table_of(const kel_value* m) { return m->w3; }

// The map's block as a block! cell (head 0).
kel_value block_cell(const kel_value* m) {
    kel_value b;
    set_series(&b, types::block, 0, series_node(m));
    return b;
}

[[noreturn]] void bad_to(const kel_value* spec) {
    kel_value d;
    set_datatype(&d, types::map);
    fire(error_category::script, "bad-to-arg", &d, spec);
}

// The position of the stored key equal to `key` under `op`, or -1.
int32_t lookup(const kel_value* m, const kel_value* key, int32_t op) {
    const kel_value k = *key;
    kel_value* found = hashtable::find(table_of(m), &k, 0, 1, op, false, false);
    return found ? static_cast<int32_t>(found - cell_at(m, 0)) : -1;
}

int32_t lookup_op(bool case_, bool same) {
    if (same) return cmp::same;
    return case_ ? cmp::strict_equal : cmp::equal;
}

// Sets the value of a key, adding the entry (a normalised copy of the key)
// when absent and counting a refilled hole.
void set_entry(const kel_value* map, const kel_value* key, const kel_value* value, int32_t op, const kel_value* path) {
    const kel_value m = *map;
    const kel_value v = *value;
    // put and put/case: one probe finds the key or the bucket a new one takes.
    hashtable::map_slot slot;
    int32_t p;
    bool indexed = true;
    if ((op == cmp::equal || op == cmp::strict_equal) && hashtable::equals_nothing(key)) {
        // Such a key always adds an entry (its type keeps it as it is, so it
        // needs no normalising); only the first of its bits is indexed.
        const kel_value k = *key;
        indexed = hashtable::find_map(table_of(&m), &k, cmp::same, &slot) == nullptr;
        p = -1;
    } else if (op == cmp::equal || op == cmp::strict_equal) {
        const kel_value k = *key;
        const kel_value* found = hashtable::find_map(table_of(&m), &k, op, &slot);
        p = found ? static_cast<int32_t>(found - cell_at(&m, 0)) : -1;
    } else {
        p = lookup(&m, key, op);
    }
    if (p < 0) {
        kel_value* k = stack::push_copy(key);
        if (indexed) normalize_key(k, path);
        const kel_value b = block_cell(&m);
        block::ks_add(&b, k);
        kel_value empty;
        set_unset(&empty);
        block::ks_add(&b, &empty);
        stack::drop_cells(1);
        p = cells_of(&m) - 2;
        if (!indexed) hashtable::count_unindexed(table_of(&m));
        else if (!hashtable::put_map_at(table_of(&m), p, slot)) hashtable::put(table_of(&m), p);
    } else if (!live(&m, p)) {
        hashtable::header_of(table_of(&m))->count++;
    }
    *cell_at(&m, p + 1) = v;
}

enum class walk { words, values, body };

kel_value* push_walk(const kel_value* map, walk what) {
    const kel_value m = *map;
    const int32_t n = key_count(&m);
    kel_value* out = block::push_only_star(what == walk::body ? 2 * n : n);
    int32_t seen = 0;
    for (int32_t i = 0; i + 1 < cells_of(&m) && seen < n; i += 2) {
        const kel_value v = *cell_at(&m, i + 1);
        if (v.header == 0) continue;
        ++seen;
        if (what == walk::values) {
            block::ks_add(out, &v);
            continue;
        }
        kel_value k = exposed_key(cell_at(&m, i), what == walk::words);
        set_new_line(&k, what == walk::body);
        block::ks_add(out, &k);
        if (what == walk::body) block::ks_add(out, &v);
    }
    return out;
}

// A copy of the map into `result`: the whole block (holes too) and the table.
void copy_map(const kel_value* source, kel_value* result, bool deep, const kel_value* types_arg) {
    const kel_value src = *source;
    const uint32_t node = series_node(&src);
    const bool tracked = deep && types_arg;
    if (tracked) {
        if (cycles::find_q(node)) {
            cycles::reset();
            fire(error_category::internal, "no-cycle");
        }
        cycles::push(node);
    }
    struct pop_guard {
        bool on;
        ~pop_guard() {
            if (on) cycles::pop();
        }
    } guard{tracked};
    kel_value* out = stack::push_unset();
    const kel_value b = block_cell(&src);
    block::copy(&b, out, nullptr, deep && !types_arg, nullptr);
    const uint32_t table = hashtable::copy(table_of(&src), series_node(out));
    set_series(out, types::map, 0, series_node(out), table);
    if (types_arg) {
        for (int32_t i = 1; i < cells_of(out); i += 2) {
            const kel_value c = *cell_at(out, i);
            const uint32_t t = type_of(&c);
            if (c.header == 0 || !registry::supported(t, act::copy)) continue;
            const bool selected = type_of(types_arg) == types::typeset ? typeset_has(types_arg, t)
                                                                      : get_datatype(types_arg) == t;
            if (!selected) continue;
            kel_value* copied = stack::push_unset();
            actions::copy_value(&c, copied, nullptr, deep, deep ? types_arg : nullptr);
            kel_value fresh = *copied;
            set_new_line(&fresh, new_line_q(&c));
            *cell_at(out, i) = fresh;
            stack::drop_cells(1);
        }
    }
    *result = *out;
    stack::drop_cells(1);
}

// make (to_q false) and to (to_q true) of a map! from a spec.
void build(kel_value* result, const kel_value* spec, bool to_q) {
    const kel_value s = *spec;
    const uint32_t t = type_of(&s);
    if (t == types::integer || t == types::float_) {
        if (to_q) bad_to(&s);
        const int32_t n = cell::get_int_checked(&s);  // a float that does not fit raises out-of-range
        if (n < 0) fire(error_category::script, "out-of-range", &s);
        init_cell(result, nullptr, n);
        return;
    }
    if (t == types::block || t == types::paren || t == types::hash) {
        make_from_block(result, &s);
        return;
    }
    if (t == types::map) {
        copy_map(&s, result, false, nullptr);
        return;
    }
    bad_to(&s);
}

// --- the row --------------------------------------------------------------------

kel_value* arg(int n) { return stack::argument(n); }
const kel_value* ref_arg(const refinements& r, int i) { return r.has(i) ? stack::arguments() + r.at[i] : nullptr; }

signal_code a_make(const refinements&) {
    const kel_value spec = *arg(2);
    build(stack::arguments(), &spec, false);
    return signal_code::none;
}

signal_code a_to(const refinements&) {
    const kel_value spec = *arg(2);
    build(stack::arguments(), &spec, true);
    return signal_code::none;
}

signal_code a_reflect(const refinements&) {
    const kel_value m = *arg(1);
    const kel_value field = *arg(2);
    const uint32_t s = in_family(type_of(&field), family::word) ? symbol::resolve(word_symbol(&field)) : 0;
    walk what;
    if (s != 0 && s == symbol::resolve(words::words)) what = walk::words;
    else if (s != 0 && s == symbol::resolve(words::values)) what = walk::values;
    else if (s != 0 && s == symbol::resolve(words::body)) what = walk::body;
    else fire(error_category::internal, "not-done");
    const kel_value out = *push_walk(&m, what);
    stack::drop_cells(1);
    *stack::arguments() = out;
    return signal_code::none;
}

int32_t f_form(const kel_value* value, kel_value* buffer, const kel_value* arg_, int32_t part) {
    if (cycles::detect_q(value, buffer, &part, false)) return part;
    const kel_value m = *value;
    cycles::push(series_node(&m));
    struct pop_guard {
        ~pop_guard() { cycles::pop(); }
    } guard;
    bool first = true;
    for (int32_t i = 0; i + 1 < cells_of(&m); i += 2) {
        if (arg_ && part < 1) break;
        const kel_value k = *cell_at(&m, i);
        const kel_value v = *cell_at(&m, i + 1);
        if (v.header == 0) continue;
        if (!first) {
            text_out::append(buffer, "\n", 1);
            --part;
        }
        first = false;
        part = actions::form_value(&k, buffer, arg_, part);
        text_out::append(buffer, " ", 1);
        --part;
        part = actions::form_value(&v, buffer, arg_, part);
    }
    return part;
}

// A word key molds as its set-word, except "=": the lexer reads "=:" as the
// word "=" and a stray colon, while the plain word loads as the same key.
kel_value key_as_written(kel_value key) {
    if (type_of(&key) != types::set_word) return key;
    uint32_t length = 0;
    const char* name = symbol::name_bytes(word_symbol(&key), &length);
    if (length == 1 && name[0] == '=') set_type(&key, types::word);
    return key;
}

int32_t f_mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg_,
               int32_t part, int32_t indent) {
    if (cycles::detect_q(value, buffer, &part, true)) return part;
    const kel_value m = *value;
    if (!only) {
        text_out::append(buffer, "#[", 2);
        part -= 2;
    }
    bool wrote = false;
    if (key_count(&m) > 0) {
        cycles::push(series_node(&m));
        struct pop_guard {
            ~pop_guard() { cycles::pop(); }
        } guard;
        // Nested values sit one level deeper, except on a single line.
        const int32_t inner = flat ? indent : indent + 1;
        for (int32_t i = 0; i + 1 < cells_of(&m); i += 2) {
            if (arg_ && part < 1) break;
            const kel_value k = *cell_at(&m, i);
            const kel_value v = *cell_at(&m, i + 1);
            if (v.header == 0) continue;
            if (flat || only) {
                if (wrote) {
                    text_out::append(buffer, flat ? " " : "\n", 1);
                    --part;
                }
            } else {
                if (!wrote) {
                    text_out::append(buffer, "\n", 1);
                    --part;
                }
                part = mold::indent(buffer, indent + 1, part);
            }
            wrote = true;
            const kel_value shown = key_as_written(k);
            part = actions::mold_value(&shown, buffer, false, all, flat, arg_, part, inner);
            text_out::append(buffer, " ", 1);
            --part;
            part = actions::mold_value(&v, buffer, false, all, flat, arg_, part, inner);
            if (!flat && !only) {
                text_out::append(buffer, "\n", 1);
                --part;
            }
        }
    }
    if (!only) {
        if (wrote && indent > 0 && !flat) part = mold::indent(buffer, indent, part);
        text_out::append(buffer, "]", 1);
        --part;
    }
    return part;
}

int32_t f_compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::map) return cmp::not_comparable;
    const kel_value a = *value, b = *other;
    if (op == cmp::sort || op == cmp::case_sort) {
        const uint32_t x = series_node(&a), y = series_node(&b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    if (!cmp::equality_op(op) && op != cmp::same) return cmp::not_comparable;
    if (series_node(&a) == series_node(&b) && series_head(&a) == series_head(&b)) return 0;
    if (op == cmp::same) return -1;
    if (cycles::find_q(series_node(&a))) return cycles::find_q(series_node(&b)) ? 0 : -1;
    const int32_t n = key_count(&a);
    if (n != key_count(&b)) return 1;
    if (n == 0) return 0;
    cycles::push(series_node(&a));
    cycles::push(series_node(&b));
    struct pop_guard {
        ~pop_guard() { cycles::pop_n(2); }
    } guard;
    const bool strict = op == cmp::strict_equal;
    for (int32_t i = 0; i + 1 < cells_of(&a); i += 2) {
        const kel_value k = *cell_at(&a, i);
        const kel_value v = *cell_at(&a, i + 1);
        if (v.header == 0) continue;
        if (strict) {
            const int32_t p = lookup(&b, &k, cmp::strict_equal);
            if (p < 0 || !live(&b, p)) return 1;
            const kel_value w = *cell_at(&b, p + 1);
            if (!actions::compare_by_op(&v, &w, cmp::strict_equal)) return 1;
            continue;
        }
        bool matched = false;
        int32_t continuation = -1;
        for (;;) {
            const kel_value* found = hashtable::find_next(table_of(&b), &k, &continuation);
            if (!found) break;
            const kel_value w = found[1];
            if (w.header == 0) continue;
            if (actions::compare_by_op(&v, &w, cmp::equal)) {
                matched = true;
                break;
            }
        }
        if (!matched) return 1;
    }
    return 0;
}

// Path steps carry no case flag: keys match case-insensitively.
signal_code a_path(const path_step_args& s) {
    const kel_value m = *s.parent;
    if (s.value_to_set) {
        const kel_value v = *s.value_to_set;
        set_entry(&m, s.element, &v, cmp::equal, s.path);
        *s.result = v;
        return signal_code::none;
    }
    const int32_t p = lookup(&m, s.element, cmp::equal);
    if (p < 0 || !live(&m, p)) set_none(s.result);
    else *s.result = *cell_at(&m, p + 1);
    return signal_code::none;
}

// find and select share the refinement order: /case 2, /same 3.
int32_t find_refined(const refinements& r, const kel_value* m) {
    const int32_t p = lookup(m, arg(2), lookup_op(r.has(2), r.has(3)));
    return p >= 0 && live(m, p) ? p : -1;
}

signal_code a_find(const refinements& r) {
    const kel_value m = *arg(1);
    const int32_t p = find_refined(r, &m);
    kel_value out;
    if (p < 0) {
        set_none(&out);
    } else {
        out = exposed_key(cell_at(&m, p), true);
    }
    *stack::arguments() = out;
    return signal_code::none;
}

signal_code a_select(const refinements& r) {
    const kel_value m = *arg(1);
    const int32_t p = find_refined(r, &m);
    kel_value out;
    if (p < 0) set_none(&out);
    else out = *cell_at(&m, p + 1);
    *stack::arguments() = out;
    return signal_code::none;
}

signal_code a_put(const refinements& r) {
    const kel_value v = *arg(3);
    set_entry(arg(1), arg(2), &v, r.has(0) ? cmp::strict_equal : cmp::equal, nullptr);
    stack::set_last(&v);
    return signal_code::none;
}

// Only /key removes from a map, and it matches keys exactly.
signal_code a_remove(const refinements& r) {
    const kel_value* key = ref_arg(r, 1);
    if (!key) fire(error_category::script, "missing-arg");
    const kel_value m = *arg(1);
    const int32_t p = lookup(&m, key, cmp::strict_equal);
    if (p >= 0) hashtable::delete_(table_of(&m), p);
    return signal_code::none;
}

signal_code a_clear(const refinements&) {
    hashtable::clear(table_of(arg(1)));
    return signal_code::none;
}

signal_code a_length_q(const refinements&) {
    const int32_t n = key_count(arg(1));
    set_integer(stack::arguments(), n);
    return signal_code::none;
}

signal_code a_copy(const refinements& r) {
    const kel_value* types_arg = ref_arg(r, 2);
    if (types_arg && type_of(types_arg) != types::typeset && type_of(types_arg) != types::datatype)
        fire(error_category::script, "invalid-refine-arg", error_arg::named("/types"), types_arg);
    const kel_value m = *arg(1);
    copy_map(&m, stack::arguments(), r.has(1), types_arg);
    return signal_code::none;
}

}  // namespace

bool valid_key_type_q(uint32_t type) { return kind_of_key(type) != key_kind::refused; }

void normalize_key(kel_value* key, const kel_value* path) {
    const kel_value k = *key;
    switch (kind_of_key(type_of(&k))) {
        case key_kind::copied: {
            kel_value* copy = stack::push_unset();
            series::copy(&k, copy, nullptr);
            *key = *copy;
            stack::drop_cells(1);
            return;
        }
        case key_kind::word: key->header = types::set_word; return;
        case key_kind::kept: return;
        case key_kind::refused: break;
    }
    kel_value where;
    if (path) where = *path;
    else set_none(&where);
    kel_value d;
    set_datatype(&d, type_of(&k));
    fire(error_category::script, "invalid-path", &where, &d);
}

void init_cell(kel_value* cell, const kel_value* block, int64_t size) {
    uint32_t node;
    int64_t entries;
    if (block) {
        node = series_node(block);
        entries = std::max<int64_t>(memory::buffer_of(node)->units() / 2, 0);
    } else {
        // Two cells per entry, counted in 64 bits: no size wraps.
        const int64_t cells = size > 0 ? 2 * size : 2;
        if (cells * 16 > 0xFFFFFF00ll) fire(error_category::internal, "no-memory");
        node = memory::new_cells(static_cast<uint32_t>(cells));
        entries = size;
    }
    set_series(cell, types::map, 0, node, 0);
    const kel_value b = block_cell(cell);
    const uint32_t table = hashtable::make(static_cast<int32_t>(std::min<int64_t>(entries, 0x7FFFFFFF)), &b,
                                           hashtable::kinds::map, 0);
    cell->w3 = table;
}

void make_from_block(kel_value* cell, const kel_value* block) {
    const kel_value s = *block;
    const int32_t n = std::max(block::ks_length_q(&s), 0);
    if (n % 2 != 0) fire(error_category::script, "invalid-arg", &s);
    kel_value* copy = block::duplicate(&s, false, false);
    for (int32_t i = 0; i < n; ++i) clear_new_line(block::ks_abs_at(copy, i));
    set_type(copy, types::block);
    const kel_value b = *copy;
    init_cell(copy, &b, n / 2);
    *cell = *copy;
    stack::drop_cells(1);
}

int32_t key_count(const kel_value* map) {
    return static_cast<int32_t>(hashtable::header_of(table_of(map))->count);
}

void extend_pairs(kel_value* map, const kel_value* spec, bool case_) {
    const kel_value s = *spec;
    if (!in_family(type_of(&s), family::block_like)) fire(error_category::script, "invalid-arg", &s);
    const int32_t n = std::max(block::ks_length_q(&s), 0);
    if (n % 2 != 0) fire(error_category::script, "invalid-arg", &s);
    const kel_value m = *map;
    memory::ensure_tail_room(series_node(&m), static_cast<uint32_t>(n) * 16u);
    const int32_t head = std::max(series_head(&s), 0);
    for (int32_t i = 0; i < n; i += 2) {
        const kel_value k = *block::ks_abs_at(&s, head + i);
        const kel_value v = *block::ks_abs_at(&s, head + i + 1);
        set_entry(&m, &k, &v, case_ ? cmp::strict_equal : cmp::equal, nullptr);
    }
}

bool foreach_next(const kel_value* words, kel_value* cursor, int32_t count) {
    const kel_value m = *cursor;
    const kel_value w = *words;
    int32_t p = std::max(series_head(&m), 0);
    auto skip_holes = [&] {
        while (p + 1 < cells_of(&m) && !live(&m, p)) p += 2;
    };
    skip_holes();
    if (p + 1 >= cells_of(&m)) return false;
    bool value_next = false;
    for (int32_t k = 0; k < count; ++k) {
        kel_value v;
        if (p + 1 >= cells_of(&m)) {
            set_none(&v);
        } else if (!value_next) {
            v = exposed_key(cell_at(&m, p), true);
            clear_new_line(&v);
            value_next = true;
        } else {
            v = *cell_at(&m, p + 1);
            value_next = false;
            p += 2;
            skip_holes();
        }
        kel_value word = *block::ks_abs_at(&w, series_head(&w) + k);
        _context::set_bound(&word, &v);
    }
    if (value_next) p += 2;
    set_series_head(cursor, p);
    return true;
}

kel_value* push_body(const kel_value* map) { return push_walk(map, walk::body); }

registry::registration row() {
    registry::registration r;
    r.id = types::map;
    r.parent = 0;
    r.name = "map!";
    r.hash = hashtable::hash_by::w2;
    r.marker = collector::cell_markers::hash_or_map;
    r.families = 0;
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::reflect] = static_cast<action_fn>(a_reflect);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::form] = static_cast<form_fn>(f_form);
    r[act::mold] = static_cast<mold_fn>(f_mold);
    r[act::path_step] = static_cast<path_fn>(a_path);
    r[act::compare] = static_cast<compare_fn>(f_compare);
    r[act::clear] = static_cast<action_fn>(a_clear);
    r[act::copy] = static_cast<action_fn>(a_copy);
    r[act::find] = static_cast<action_fn>(a_find);
    r[act::length_q] = static_cast<action_fn>(a_length_q);
    r[act::put] = static_cast<action_fn>(a_put);
    r[act::remove] = static_cast<action_fn>(a_remove);
    r[act::select] = static_cast<action_fn>(a_select);
    return r;
}

}  // namespace kel::map
