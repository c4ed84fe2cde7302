// string: make, to, form, mold, compare and path steps of string!, the mold
// escapes, and the registration with the stack entries of every handler. The
// searching handlers live in string_search.cpp, the changing ones in
// string_modify.cpp.
#include "datatypes/string.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>
#include <cstring>

#include "datatypes/series.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/unicode.h"

namespace kel::string {

namespace {

int32_t form_value(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    form_fn fn = registry::form_handler(type_of(value));
    return fn ? fn(value, buffer, arg, part) : part;
}

int32_t mold_value(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    mold_fn fn = registry::mold_handler(type_of(value));
    return fn ? fn(value, buffer, false, false, false, arg, part, 0) : part;
}

// The letters of "^X" escapes for the code points below 0x5F (0: none).
constexpr char escape_letters[0x5F] = {
    '@', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '-', '/', 'K', 'L', 'M', 'N', 'O',   // 00-0F
    'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', '[', '\\', ']', 0, '_',   // 10-1F
    0, 0, '"', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                                // 20-2F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                                  // 30-3F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                                  // 40-4F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '^',                                   // 50-5E
};

// Index of the "}" that closes the "{" at unit i (nesting counted from it),
// within [i, end); -1 when none does.
int64_t matching_brace(uint32_t node, int64_t i, int64_t end) {
    buffer_header* h = memory::buffer_of(node);
    const uint32_t unit = h->unit();
    int64_t depth = 0;
    for (int64_t k = i; k < end; ++k) {
        const uint32_t c = read_unit(unit_ptr(h, k), unit);
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0) return k;
        }
    }
    return -1;
}

}  // namespace

void count_quotes_lines(const kel_value* s, int64_t start, int64_t end, int64_t* quotes, int64_t* lines) {
    buffer_header* h = buffer(s);
    const uint32_t unit = h->unit();
    end = std::min<int64_t>(end, h->units());
    *quotes = *lines = 0;
    for (int64_t i = std::max<int64_t>(start, 0); i < end; ++i) {
        const uint32_t c = read_unit(unit_ptr(h, i), unit);
        *quotes += c == '"';
        *lines += c == '\n';
    }
}

bool brace_closed_q(const kel_value* s, int64_t index, int64_t end) {
    return matching_brace(series_node(s), index, std::min<int64_t>(end, buffer(s)->units())) >= 0;
}

// ---------------------------------------------------------------- escapes

// A surrogate code point (a string or char can hold one, made by an escape
// or a conversion) has no UTF-8 form the lexer decodes: written as itself
// it would make the molded text unreadable, so it is always an escape.
int escape_char(uint32_t cp, bool all, uint32_t* out) {
    const bool surrogate = unicode::surrogate_q(cp);
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || surrogate || (all && cp >= 0x80)) {
        const unicode::hex_text hex = unicode::hex_of_integer(static_cast<int32_t>(cp), true);
        int n = 0;
        out[n++] = '^';
        out[n++] = '(';
        for (int i = 0; i < hex.length; ++i) out[n++] = static_cast<uint8_t>(hex.text[i]);
        out[n++] = ')';
        return n;
    }
    if (cp < 0x5F && escape_letters[cp]) {
        out[0] = '^';
        out[1] = static_cast<uint8_t>(escape_letters[cp]);
        return 2;
    }
    if (cp == 0x7F) {
        out[0] = '^';
        out[1] = '~';
        return 2;
    }
    out[0] = cp;
    return 1;
}

void mold_char(kel_value* buffer, uint32_t cp, bool all) {
    uint32_t text[12];
    const int n = escape_char(cp, all, text);
    append_code_points(buffer, text, static_cast<size_t>(n));
}

// ---------------------------------------------------------------- make and to

void to(kel_value* result, const kel_value* spec, uint32_t type) {
    const kel_value sp = *spec;
    const uint32_t t = type_of(&sp);
    if (in_family(t, family::string_like)) {
        series::copy(&sp, result, nullptr);
    } else if (t == types::binary) {
        // The bytes are taken out first: making the string may move the
        // binary's buffer.
        const unicode::text_view bytes = view(&sp);
        const size_t n = bytes.length;
        auto* copy = static_cast<uint8_t*>(heap::allocate(n ? n : 1));
        std::memcpy(copy, bytes.data, n);
        struct release {
            uint8_t* p;
            ~release() { heap::free(p); }
        } guard{copy};
        kel_value* made = load_utf8_checked(copy, static_cast<uint32_t>(n));
        *result = *made;
        stack::drop_cells(1);
    } else if (t == types::block || t == types::paren || t == types::hash) {
        string::init_cell(result, 16);
        append(result, &sp, -1, false, 1, false);
        set_series_head(result, 0);
    } else if (t == types::refinement) {
        string::init_cell(result, 16);
        if (type == types::string) form_value(&sp, result, nullptr, 0x7FFFFFFF);
        else mold_value(&sp, result, nullptr, 0x7FFFFFFF);
    } else if (t == types::none) {
        kel_value dt;
        set_datatype(&dt, type);
        fire(error_category::script, "bad-to-arg", &dt, &sp);
    } else {
        string::init_cell(result, 16);
        form_value(&sp, result, nullptr, 0x7FFFFFFF);
    }
    set_type(result, type);
}

void make(kel_value* result, const kel_value* spec, uint32_t type) {
    const uint32_t t = type_of(spec);
    if (t == types::integer || t == types::float_) {
        const int32_t n = cell::get_int_checked(spec);
        if (n < 0) fire(error_category::script, "out-of-range", spec);
        string::init_cell(result, static_cast<uint32_t>(n));
        set_type(result, type);
        return;
    }
    if (type == types::binary && t == types::money) {
        kel_value dt;
        set_datatype(&dt, types::binary);
        fire(error_category::script, "bad-make-arg", &dt, spec);
    }
    to(result, spec, type);
}

// ---------------------------------------------------------------- form and mold

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    const kel_value v = *value;
    const int32_t length = ks_length_q(&v);
    int32_t limit = -1;
    if (arg) limit = std::max(cell::get_int_checked(arg), 0);
    splice(buffer, &v, limit, 0, true, splice_append);
    return part - length;
}

namespace {

int32_t mold_text(const kel_value* value, kel_value* buffer, bool all, const kel_value* arg, int32_t part,
                  bool braces_allowed) {
    const kel_value v = *value;
    const uint32_t node = series_node(&v);
    buffer_header* h = memory::buffer_of(node);
    const int64_t units = h->units();
    const int64_t head = std::clamp<int64_t>(series_head(&v), 0, units);
    int64_t end = units;
    if (arg && cell::get_int_checked(arg) != 0) end = part < 0 ? head : std::min<int64_t>(units, head + part);

    int64_t quotes = 0, lines = 0;
    count_quotes_lines(&v, head, end, &quotes, &lines);
    const bool braces = braces_allowed && (lines >= 3 || quotes > 0 || units - head >= 50);

    text_writer w(buffer);
    w.put(braces ? '{' : '"');
    uint32_t esc[12];
    bool unbalanced = false;     // a "{" without a match was met: every later "{" is escaped
    int64_t closed_until = -1;   // end of the last brace span found closed
    int64_t open = 0;            // counted "{" not closed yet
    for (int64_t i = head; i < end; ++i) {
        // Read through the node: the buffer molded into may be this string's own.
        buffer_header* cur = memory::buffer_of(node);
        const uint32_t c = read_unit(unit_ptr(cur, i), cur->unit());
        if (braces) {
            if (c == '{') {
                bool counted = false;
                if (!unbalanced) {
                    if (i < closed_until) {
                        counted = true;  // inside a closed span: closed too
                    } else {
                        // Where it closes: every brace inside is then closed too.
                        const int64_t m = matching_brace(node, i, end);
                        if (m >= 0) {
                            closed_until = m;
                            counted = true;
                        } else {
                            unbalanced = true;
                        }
                    }
                }
                if (counted) {
                    ++open;
                } else {
                    w.put('^');
                }
                w.put('{');
                continue;
            }
            if (c == '}') {
                if (open > 0) --open;
                else w.put('^');
                w.put('}');
                continue;
            }
            if (c == '"') {
                w.put('"');
                continue;
            }
            if (c == '^') {
                w.put('^');
                w.put('^');
                continue;
            }
        }
        const int n = escape_char(c, all, esc);
        for (int k = 0; k < n; ++k) w.put(esc[k]);
    }
    w.put(braces ? '}' : '"');
    w.flush();
    return static_cast<int32_t>(part - (end - head) - 2);
}

}  // namespace

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return mold_text(value, buffer, all, arg, part, true);
}

int32_t mold_quoted(const kel_value* value, kel_value* buffer, bool all, const kel_value* arg, int32_t part) {
    return mold_text(value, buffer, all, arg, part, false);
}

// ---------------------------------------------------------------- compare and path

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t ta = type_of(value), tb = type_of(other);
    if (ta == tb || (in_family(tb, family::string_like) && (op == cmp::equal || op == cmp::not_equal)))
        return compare_text(value, other, op, false);
    return cmp::not_comparable;
}

signal_code eval_path(const path_step_args& step) {
    kel_value* parent = step.parent;
    const kel_value key = *step.element;
    const uint32_t t = type_of(&key);
    if (t == types::integer) {
        if (step.value_to_set) {
            series::poke(parent, get_integer(&key), step.value_to_set);
            *step.result = *parent;
        } else {
            series::pick(parent, get_integer(&key), step.result);
        }
        return signal_code::none;
    }
    if (t == types::word) fire(error_category::script, "invalid-path", step.path, &key);
    if (!step.value_to_set) {
        select(parent, &key, find_options{}, step.result);
        return signal_code::none;
    }
    // A set changes the code point the get answers: the one right after the
    // whole match (after only its first code point, a key of several would
    // change one the get never shows). A match that ends at the tail leaves
    // nothing to set.
    const found f = search(parent, &key, find_options{});
    if (f.index < 0 || f.index + f.length >= buffer(parent)->units())
        fire(error_category::script, "bad-path-set", step.path, &key);
    const kel_value v = *step.value_to_set;
    kel_value at = *parent;
    set_series_head(&at, static_cast<int32_t>(f.index + f.length));
    series::poke(&at, 1, &v);
    *step.result = *parent;
    return signal_code::none;
}

// ---------------------------------------------------------------- stack entries

namespace {

kel_value* arg(int n) { return stack::argument(n); }
const kel_value* ref_arg(const refinements& r, int i) { return r.has(i) ? stack::arguments() + r.at[i] : nullptr; }

uint32_t requested_type(const kel_value* v) {
    return type_of(v) == types::datatype ? get_datatype(v) : type_of(v);
}

signal_code a_make(const refinements&) {
    const uint32_t type = requested_type(arg(1));
    make(stack::arguments(), arg(2), type);
    return signal_code::none;
}

signal_code a_to(const refinements&) {
    const uint32_t type = requested_type(arg(1));
    to(stack::arguments(), arg(2), type);
    return signal_code::none;
}

find_options find_refinements(const refinements& r, bool with_tail_match) {
    return find_options_of(r, stack::arguments(), with_tail_match);
}

signal_code a_find(const refinements& r) {
    kel_value out;
    find(arg(1), arg(2), find_refinements(r, true), &out);
    *stack::arguments() = out;
    return signal_code::none;
}

signal_code a_select(const refinements& r) {
    kel_value out;
    select(arg(1), arg(2), find_refinements(r, false), &out);
    *stack::arguments() = out;
    return signal_code::none;
}

signal_code a_sort(const refinements& r) {
    sort(arg(1), r.has(0), ref_arg(r, 1), ref_arg(r, 2), ref_arg(r, 3), r.has(4), r.has(5), r.has(6));
    return signal_code::none;
}

// The /part of append and insert counts the inserted value's units: an
// integer! or a position in the value's own series; a negative count takes
// the units before its head. A value that is no series (a char!, a number)
// takes an integer! alone, which limits its one code point or its formed
// text as append and insert say. Answers false when nothing is to be done.
bool inserted_part(kel_value* value, const kel_value* part, int32_t* count) {
    *count = -1;
    if (!part) return true;
    int64_t n;
    if (!in_family(type_of(value), family::series)) {
        if (type_of(part) != types::integer) fire(error_category::script, "invalid-part", part);
        *count = get_integer(part);
        return *count >= 1;
    }
    if (type_of(part) == types::integer) {
        n = get_integer(part);
    } else if (type_of(part) == type_of(value) && series_node(part) == series_node(value)) {
        n = static_cast<int64_t>(series_head(part)) - series_head(value);
    } else {
        fire(error_category::script, "invalid-refine-arg", error_arg::named("/part"), part);
    }
    if (n < 0) part_before_head(value, &n);
    if (n < 1) return false;
    *count = static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX));
    return true;
}

// Without refinements there is nothing to settle: one value goes straight in.
bool plain(const refinements& r) { return !r.has(0) && !r.has(1) && !r.has(2); }

// append of a string! or char! without refinements to a string already wide
// enough for it, with room at its tail and no owner to tell: the units are
// copied straight in. Answers false, having done nothing, when append must
// widen, grow, notify or has nothing to add (which leaves the head alone).
bool append_in_place(kel_value* s, const kel_value* value) {
    buffer_header* h = buffer(s);
    if (h->flags & memory::flag_owned) return false;
    const uint32_t unit = h->unit();
    const uint32_t t = type_of(value);
    if (t == types::string) {
        buffer_header* sh = buffer(value);
        const int64_t from = std::max(series_head(value), 0);
        const int64_t n = static_cast<int64_t>(sh->units()) - from;
        if (sh->unit() != unit || n <= 0) return false;
        const uint64_t bytes = static_cast<uint64_t>(n) * unit;
        if (h->capacity - h->tail < bytes) return false;
        // Appending a string to itself reads [head, tail) and writes past it.
        // A few units (the usual piece of a string being built) are copied
        // here rather than through a library call.
        char* to = h->tail_ptr();
        const char* units = unit_ptr(sh, from);
        if (bytes <= 8) {
            for (uint64_t i = 0; i < bytes; ++i) to[i] = units[i];
        } else {
            std::memcpy(to, units, bytes);
        }
        h->tail += static_cast<uint32_t>(bytes);
    } else if (t == types::char_) {
        const uint32_t cp = get_char(value);
        if (unicode::unit_for_append(cp) > unit || h->capacity - h->tail < unit) return false;
        write_unit(h->tail_ptr(), unit, cp);
        h->tail += unit;
    } else {
        return false;
    }
    set_series_head(s, 0);
    return true;
}

signal_code a_append(const refinements& r) {
    if (plain(r)) {
        if (append_in_place(arg(1), arg(2))) return signal_code::none;
        append(arg(1), arg(2), -1, false, 1, true);
        return signal_code::none;
    }
    kel_value value = *arg(2);
    int32_t part;
    const int32_t dup = dup_count(r, 2);
    if (!inserted_part(&value, ref_arg(r, 0), &part) || dup < 1) return signal_code::none;
    append(arg(1), &value, part, r.has(1), dup, true);
    return signal_code::none;
}

// insert of a string! (from another buffer) or a char! without refinements
// before the tail of a string already wide enough for it, with room and no
// owner to tell: the units behind the head move up and the text goes in.
// Answers false, having done nothing, where insert's general path is needed
// (at the tail insert appends; text from the string's own buffer is copied
// out first).
bool insert_in_place(kel_value* s, const kel_value* value) {
    buffer_header* h = buffer(s);
    if (h->flags & memory::flag_owned) return false;
    const int64_t units = h->units();
    const int64_t at = std::clamp<int64_t>(series_head(s), 0, units);
    if (at >= units) return false;
    const uint32_t unit = h->unit();
    const uint32_t t = type_of(value);
    int64_t n;
    const char* text = nullptr;
    uint32_t cp = 0;
    if (t == types::string) {
        if (series_node(value) == series_node(s)) return false;
        buffer_header* sh = buffer(value);
        const int64_t from = std::max(series_head(value), 0);
        n = static_cast<int64_t>(sh->units()) - from;
        if (sh->unit() != unit || n <= 0) return false;
        text = unit_ptr(sh, from);
    } else if (t == types::char_) {
        cp = get_char(value);
        if (unicode::unit_for_append(cp) > unit) return false;
        n = 1;
    } else {
        return false;
    }
    const uint64_t bytes = static_cast<uint64_t>(n) * unit;
    if (h->capacity - h->tail < bytes) return false;
    char* p = unit_ptr(h, at);
    std::memmove(p + bytes, p, static_cast<size_t>((units - at) * unit));
    if (text) std::memcpy(p, text, bytes);
    else write_unit(p, unit, cp);
    h->tail += static_cast<uint32_t>(bytes);
    set_series_head(s, static_cast<int32_t>(at + n));
    return true;
}

signal_code a_insert(const refinements& r) {
    if (plain(r)) {
        if (insert_in_place(arg(1), arg(2))) return signal_code::none;
        insert(arg(1), arg(2), -1, false, 1);
        return signal_code::none;
    }
    kel_value value = *arg(2);
    int32_t part;
    const int32_t dup = dup_count(r, 2);
    if (!inserted_part(&value, ref_arg(r, 0), &part) || dup < 1) return signal_code::none;
    insert(arg(1), &value, part, r.has(1), dup);
    return signal_code::none;
}

signal_code a_change(const refinements& r) {
    kel_value* s = arg(1);
    int32_t part = -1;
    if (const kel_value* p = ref_arg(r, 0)) {
        int64_t n;
        if (type_of(p) == types::integer) {
            n = get_integer(p);
        } else if (type_of(p) == type_of(s) && series_node(p) == series_node(s)) {
            n = static_cast<int64_t>(series_head(p)) - series_head(s);
        } else {
            fire(error_category::script, "invalid-refine-arg", error_arg::named("part"), p);
        }
        part = static_cast<int32_t>(std::clamp<int64_t>(n, 0, INT32_MAX));
    }
    const int32_t dup = dup_count(r, 2);
    if (dup < 1) return signal_code::none;
    change(s, arg(2), part, r.has(1), dup);
    return signal_code::none;
}

signal_code a_swap(const refinements&) {
    swap(arg(1), arg(2));
    return signal_code::none;
}

signal_code a_trim(const refinements& r) {
    trim(arg(1), r.has(0), r.has(1), r.has(2), r.has(3), r.has(4), ref_arg(r, 5));
    return signal_code::none;
}

}  // namespace

int32_t dup_count(const refinements& r, int i) {
    const kel_value* d = ref_arg(r, i);
    return d ? cell::get_int_checked(d) : 1;
}

void part_before_head(kel_value* value, int64_t* n) {
    const int64_t from = std::max<int64_t>(series_head(value) + *n, 0);
    *n = series_head(value) - from;
    set_series_head(value, static_cast<int32_t>(from));
}

registry::registration row() {
    init_scratch();
    registry::registration r;
    r.id = types::string;
    r.hash = hashtable::hash_by::any_string;
    r.set_hash = registry::set_hash_rule::cased;
    r.marker = kel::collector::cell_markers::any_string;
    r.families = family::string_like | family::series;
    r.parent = types::series;
    r.name = "string!";
    r.inherit_all();
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::unused8] = registry::entry{};
    r[act::compare] = static_cast<compare_fn>(compare);
    for (int a = act::absolute; a <= act::xor_; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    r[act::append] = static_cast<action_fn>(a_append);
    r[act::change] = static_cast<action_fn>(a_change);
    r[act::find] = static_cast<action_fn>(a_find);
    r[act::insert] = static_cast<action_fn>(a_insert);
    r[act::put] = registry::entry{};
    r[act::select] = static_cast<action_fn>(a_select);
    r[act::sort] = static_cast<action_fn>(a_sort);
    r[act::swap] = static_cast<action_fn>(a_swap);
    // take is series!'s own: its one-unit result is already a char! (an
    // integer! for binary!, the element for vector!).
    r[act::trim] = static_cast<action_fn>(a_trim);
    for (int a = act::create; a <= act::delete_; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    for (int a = act::open; a <= act::write; ++a) r[static_cast<act::id>(a)] = registry::entry{};
    return r;
}

}  // namespace kel::string
