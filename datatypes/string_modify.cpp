// string_modify: the changing handlers of string!: append, insert, change,
// swap, take, trim and the set operations.
//
// append, insert and change first settle the value into known text: a
// code point, or the units of a string-like value, whose length and unit are
// fixed before anything is written. Text that could still move or change
// before it is written (the target's own units, any text while the target's
// owner is told in between, and every formed value, which may hold the
// target) is copied or formed once into a new string on the argument stack.
// The size is then checked, and the buffer widened and grown once, before
// the text is copied in place; a failed call leaves the string as it was.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <unordered_set>
#include <vector>

#include "datatypes/series.h"
#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/case_tables.h"
#include "kernel/cycle_guard.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"

namespace kel::string {

namespace {

constexpr uint64_t max_bytes = 0xFFFFFF00ull;

[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }

// Known text to add: a code point, or a tag's or string's units.
struct known_text {
    bool is_char = false;
    bool is_tag = false;
    uint32_t cp = 0;
    kel_value source{};  // tag or string value
    int64_t length = 0;  // units of the source from its head
    int64_t count = 0;   // units added (brackets of a tag included), after part
    uint32_t unit = 1;   // unit the added text needs
};

// `value` is a char! or a string-like value.
known_text classify(const kel_value* value, int64_t part) {
    known_text k;
    if (type_of(value) == types::char_) {
        k.is_char = true;
        k.cp = get_char(value);
        k.count = 1;
        k.unit = unicode::unit_for_append(k.cp);
    } else {
        k.is_tag = type_of(value) == types::tag;
        k.source = *value;
        k.length = ks_length_q(value);
        k.count = k.length + (k.is_tag ? 2 : 0);
        k.unit = buffer(value)->unit();
    }
    if (part >= 0) k.count = std::min<int64_t>(k.count, part);
    return k;
}

// Bytes of `units` units of `unit`, or no-memory beyond what a buffer holds.
uint64_t checked_bytes(uint64_t units, uint64_t per, uint32_t unit) {
    uint64_t product;
    if (__builtin_mul_overflow(units, per, &product)) no_memory();
    if (product > 0xFFFFFFFFull / unit || product * unit > max_bytes) no_memory();
    return product * unit;
}

// Grows the buffer so that `need` bytes fit from its head: exactly that when
// it is at least twice the capacity, else the capacity doubles.
buffer_header* grow_to(buffer_header* h, uint64_t need) {
    if (static_cast<uint64_t>(h->head) + need <= h->capacity) return h;
    const uint64_t most = memory::max_capacity(h->unit());
    uint64_t want = need >= 2ull * h->capacity ? need : std::min<uint64_t>(2ull * h->capacity, most);
    want = std::max(want, need);
    return memory::expand_buffer(h, static_cast<uint32_t>(want));
}

// Writes the known text's first `count` units at unit index `at` of the
// target buffer (room already made; the source lies in another buffer).
void write_known(uint32_t node, int64_t at, const known_text& k) {
    buffer_header* h = memory::buffer_of(node);
    const uint32_t unit = h->unit();
    if (k.is_char) {
        if (k.count > 0) write_unit(unit_ptr(h, at), unit, k.cp);
        return;
    }
    int64_t w = 0;
    int64_t text = k.count;
    if (k.is_tag) {
        if (k.count > 0) write_unit(unit_ptr(h, at + w++), unit, '<');
        text = std::min<int64_t>(k.length, k.count - 1);
    }
    if (text > 0) {
        buffer_header* sh = buffer(&k.source);
        const char* from = unit_ptr(sh, std::max(series_head(&k.source), 0));
        const uint32_t su = sh->unit();
        char* to = unit_ptr(h, at + w);
        if (su == unit) {
            std::memcpy(to, from, static_cast<size_t>(text * unit));
        } else {
            for (int64_t i = 0; i < text; ++i) write_unit(to + i * unit, unit, read_unit(from + i * su, su));
        }
        w += text;
    }
    if (k.is_tag && k.count == k.length + 2) write_unit(unit_ptr(h, at + w), unit, '>');
}

int32_t form_value(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    form_fn fn = registry::form_handler(type_of(value));
    return fn ? fn(value, buffer, arg, part) : part;
}

// Forms the value onto the tail: a block-like value element by element, no
// separators (at most `elements` of them when 0 or more), anything else
// whole; the text added is cut at `budget` units when 0 or more.
void form_onto_tail(kel_value* s, const kel_value* value, int64_t elements, int64_t budget) {
    const kel_value v = *value;
    const int64_t start = buffer(s)->units();
    kel_value limit;
    set_integer(&limit, static_cast<int32_t>(std::min<int64_t>(budget, INT32_MAX)));
    const kel_value* arg = budget >= 0 ? &limit : nullptr;
    int32_t left = budget >= 0 ? static_cast<int32_t>(std::min<int64_t>(budget, INT32_MAX)) : 0x7FFFFFFF;
    const uint32_t t = type_of(&v);
    if (t == types::block || t == types::paren || t == types::hash) {
        cycles::push(series_node(&v));
        struct pop_guard {
            ~pop_guard() { cycles::pop(); }
        } guard;
        buffer_header* bh = buffer(&v);
        const int64_t from = std::max(series_head(&v), 0);
        int64_t end = bh->units();
        if (elements >= 0) end = std::min(end, from + elements);
        for (int64_t i = from; i < end && i < static_cast<int64_t>(buffer(&v)->units()); ++i) {
            if (arg && left <= 0) break;
            const kel_value c = *reinterpret_cast<kel_value*>(unit_ptr(buffer(&v), i));
            left = form_value(&c, s, arg, left);
        }
    } else {
        form_value(&v, s, arg, left);
    }
    if (budget >= 0 && start + budget < static_cast<int64_t>(buffer(s)->units()))
        truncate_units(buffer(s), static_cast<int32_t>(start + budget));
}

// Repeats the run of `count` units at unit index `at` until it is there
// `dup` times in all (room already made).
void replicate_run(uint32_t node, int64_t at, int64_t count, int64_t dup) {
    if (dup <= 1 || count <= 0) return;
    buffer_header* h = memory::buffer_of(node);
    const uint32_t unit = h->unit();
    memory::replicate(unit_ptr(h, at), static_cast<size_t>(count * unit), static_cast<size_t>(dup));
}

// How a formed value's /part applies: to the elements of a block-like value
// (append without /only), to the formed text, or not at all (change, whose
// /part is the run replaced).
enum class formed_part { elements, characters, ignored };

// Whether the text of `value` is sure to stay as measured until it is
// written into `s`: a code point, or a string-like value in another buffer
// when no owner's handler runs in between (user code may change any text).
bool settled_q(const kel_value* s, const kel_value* value) {
    const uint32_t t = type_of(value);
    if (t == types::char_) return true;
    if (!in_family(t, family::string_like)) return false;
    return series_node(value) != series_node(s) && !(buffer(s)->flags & memory::flag_owned);
}

// The value as known text, read once: the value itself when settled, else
// its units copied (or, for any other value, its form made) into a new
// string pushed on the argument stack. A formed value has its /part applied
// here (as `rule` says) and takes none later.
known_text settle(const kel_value* s, const kel_value* value, int64_t part, bool only, formed_part rule) {
    if (settled_q(s, value)) return classify(value, part);
    const kel_value v = *value;
    kel_value* text = stack::push_unset();
    if (in_family(type_of(&v), family::string_like)) {
        const int32_t from = std::clamp<int32_t>(series_head(&v), 0, ks_length_all(&v));
        copy_units(&v, from, ks_length_q(&v), text);
        return classify(text, part);
    }
    string::init_cell(text, 16);
    const uint32_t t = type_of(&v);
    if (rule == formed_part::elements && in_family(t, family::list) && !only) form_onto_tail(text, &v, part, -1);
    else if (rule == formed_part::ignored) form_onto_tail(text, &v, -1, -1);
    else if (rule == formed_part::elements) form_onto_tail(text, &v, -1, only ? part : -1);
    else form_onto_tail(text, &v, -1, part);
    return classify(text, -1);
}

// Drops the cells the call pushed on the argument stack when it returns.
// An error has already set the stack to its catcher's depth: nothing is
// dropped while one unwinds.
struct stack_mark {
    kel_value* top = stack::top();
    int unwinding = std::uncaught_exceptions();
    ~stack_mark() {
        if (std::uncaught_exceptions() == unwinding && stack::top() > top)
            stack::drop_cells(static_cast<int32_t>(stack::top() - top));
    }
};

// Bytes the target needs at `unit` for `units` units kept and the known
// text `dup` times; no-memory past what a buffer of that unit holds.
uint64_t size_with(int64_t units, const known_text& k, int32_t dup, uint32_t unit) {
    const uint64_t need = checked_bytes(static_cast<uint64_t>(k.count), static_cast<uint64_t>(dup), unit) +
                          static_cast<uint64_t>(units) * unit;
    if (need > memory::max_capacity(unit)) no_memory();
    return need;
}

// Adds the known text `dup` times at the tail; the owner, when told, hears
// of it with `before` and `after`. Answers the units added.
int64_t add_at_tail(kel_value* s, const known_text& k, int32_t dup, const char* before, const char* after,
                    const kel_value* told) {
    const uint32_t node = series_node(s);
    int64_t units = buffer(s)->units();
    // Refused before the owner hears of it, and again after, as its handler
    // may have grown the string.
    size_with(units, k, dup, std::max(buffer(s)->unit(), k.unit));
    if (before) notify(s, before, told, units, k.count * dup);
    units = buffer(s)->units();
    const uint32_t unit = std::max(buffer(s)->unit(), k.unit);
    const uint64_t need = size_with(units, k, dup, unit);
    buffer_header* h = ensure_unit(memory::buffer_of(node), unit);
    grow_to(h, need);
    write_known(node, units, k);
    replicate_run(node, units, k.count, dup);
    h = memory::buffer_of(node);
    h->tail = h->head + static_cast<uint32_t>(need);
    const int64_t added = k.count * dup;
    if (after) notify(s, after, told, units, added);
    return added;
}

}  // namespace

// ---------------------------------------------------------------- append

void append(kel_value* s, const kel_value* value, int32_t part, bool only, int32_t dup, bool notify_owner) {
    if (dup < 1) return;
    const kel_value v = *value;
    stack_mark mark;
    const known_text k = settle(s, &v, part, only, formed_part::elements);
    if (k.count == 0) return;
    add_at_tail(s, k, dup, notify_owner ? "append" : nullptr, notify_owner ? "appended" : nullptr, &v);
    set_series_head(s, 0);
}

// ---------------------------------------------------------------- insert

void insert(kel_value* s, const kel_value* value, int32_t part, bool only, int32_t dup) {
    if (dup < 1) return;
    const kel_value v = *value;
    const uint32_t node = series_node(s);
    stack_mark mark;
    int64_t units = buffer(s)->units();
    int64_t at = std::clamp<int64_t>(series_head(s), 0, units);
    // At the tail insert appends, by append's rules for /part.
    const known_text k = settle(s, &v, part, only, at >= units ? formed_part::elements : formed_part::characters);
    if (at >= units) {
        if (k.count == 0) return;
        add_at_tail(s, k, dup, "insert", "inserted", &v);
        set_series_head(s, static_cast<int32_t>(buffer(s)->units()));
        return;
    }
    if (k.count == 0) return;
    size_with(units, k, dup, std::max(buffer(s)->unit(), k.unit));
    const int64_t added = k.count * dup;
    notify(s, "insert", &v, at, added);
    // The handler may have reshaped the string: measured again.
    units = buffer(s)->units();
    at = std::clamp<int64_t>(series_head(s), 0, units);
    const uint32_t unit = std::max(buffer(s)->unit(), k.unit);
    const uint64_t need = size_with(units, k, dup, unit);
    buffer_header* h = ensure_unit(memory::buffer_of(node), unit);
    h = grow_to(h, need);
    std::memmove(unit_ptr(h, at + added), unit_ptr(h, at), static_cast<size_t>((units - at) * unit));
    h->tail = h->head + static_cast<uint32_t>(need);
    write_known(node, at, k);
    replicate_run(node, at, k.count, dup);
    set_series_head(s, static_cast<int32_t>(at + added));
    notify(s, "inserted", &v, at, added);
}

// ---------------------------------------------------------------- change

void change(kel_value* s, const kel_value* value, int32_t part, bool only, int32_t dup) {
    const kel_value v = *value;
    const uint32_t node = series_node(s);
    if (series_head(s) > static_cast<int64_t>(buffer(s)->units())) set_series_head(s, static_cast<int32_t>(buffer(s)->units()));
    if (dup < 1) return;
    stack_mark mark;
    const known_text k = settle(s, &v, -1, only, formed_part::ignored);
    int64_t units = buffer(s)->units();
    int64_t at = std::clamp<int64_t>(series_head(s), 0, units);
    if (at >= units) {
        if (k.count > 0) add_at_tail(s, k, dup, "change", "changed", &v);
        set_series_head(s, static_cast<int32_t>(buffer(s)->units()));
        return;
    }
    const int64_t inserted =
        static_cast<int64_t>(checked_bytes(static_cast<uint64_t>(k.count), static_cast<uint64_t>(dup), 1));
    int64_t replaced = 0;
    int64_t new_units = 0;
    uint32_t unit = 1;
    uint64_t need = 0;
    const auto measure = [&] {
        units = buffer(s)->units();
        at = std::clamp<int64_t>(series_head(s), 0, units);
        const int64_t remaining = units - at;
        replaced = part >= 0 ? std::min<int64_t>(part, remaining) : std::min(inserted, remaining);
        new_units = units + inserted - replaced;
        unit = std::max(buffer(s)->unit(), k.unit);
        need = checked_bytes(static_cast<uint64_t>(new_units), 1, unit);
        if (need > memory::max_capacity(unit)) no_memory();
    };
    measure();
    notify(s, "change", &v, at, replaced);
    // The handler may have reshaped the string: measured again.
    measure();
    buffer_header* h = ensure_unit(memory::buffer_of(node), unit);
    h = grow_to(h, std::max<uint64_t>(need, static_cast<uint64_t>(units) * unit));
    if (inserted != replaced)  // a run of the same length is written over in place
        std::memmove(unit_ptr(h, at + inserted), unit_ptr(h, at + replaced),
                     static_cast<size_t>((units - at - replaced) * unit));
    h->tail = h->head + static_cast<uint32_t>(need);
    write_known(node, at, k);
    replicate_run(node, at, k.count, dup);
    set_series_head(s, static_cast<int32_t>(std::min(at + inserted, new_units)));
    notify(s, "changed", &v, at, inserted);
}

// ---------------------------------------------------------------- swap and take

void swap(kel_value* s1, const kel_value* s2) {
    const kel_value other = *s2;
    const uint32_t t2 = type_of(&other);
    if (!in_family(t2, family::string_like) && t2 != types::binary) fire(error_category::script, "invalid-arg", &other);
    if (ks_tail_q(s1) || ks_tail_q(&other)) return;
    const int64_t h1 = std::max(series_head(s1), 0), h2 = std::max(series_head(&other), 0);
    const uint32_t a = read_unit(unit_ptr(buffer(s1), h1), buffer(s1)->unit());
    const uint32_t b = read_unit(unit_ptr(buffer(&other), h2), buffer(&other)->unit());
    notify(s1, "swap", &other, h1, 1);
    notify(&other, "swap", s1, h2, 1);
    // A binary! holds bytes: it takes the low byte and is never widened.
    // An owner's handler may have shortened either series: a position it
    // cut away takes nothing.
    auto put = [](const kel_value* s, int64_t at, uint32_t cp) {
        buffer_header* h = buffer(s);
        if (at >= static_cast<int64_t>(h->units())) return;
        if (type_of(s) == types::binary) *unit_ptr(h, at) = static_cast<char>(cp);
        else store_char(h, unit_ptr(h, at), cp);
    };
    put(s1, h1, b);
    put(&other, h2, a);
    notify(s1, "swaped", &other, h1, 1);
    notify(&other, "swaped", s1, h2, 1);
}

void take(kel_value* s, const kel_value* part, bool deep, bool last, kel_value* result) {
    series::take(s, part, deep, last, result);
}

// ---------------------------------------------------------------- trim

bool whitespace_q(uint32_t cp) {
    if (cp >= 1 && cp <= 0x20) return true;
    if (cp < 0x85) return false;
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || cp == 0x180E || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool blank_q(uint32_t cp) { return cp == ' ' || cp == '\t' || (cp > 0x20 && whitespace_q(cp)); }

namespace {

// The units from the head as code points.
std::u32string read_text(const kel_value* s) {
    const unicode::text_view v = view(s);
    std::u32string out;
    out.resize(v.length);
    for (size_t i = 0; i < v.length; ++i)
        out[i] = read_unit(reinterpret_cast<const char*>(v.data) + i * v.unit, v.unit);
    return out;
}

// Replaces the units from the head by `text`, whose code points all came
// from there (so the unit never has to change).
void write_text(const kel_value* s, const std::u32string& text) {
    buffer_header* h = buffer(s);
    const int64_t head = std::clamp<int64_t>(series_head(s), 0, h->units());
    const uint32_t unit = h->unit();
    for (size_t i = 0; i < text.size(); ++i) write_unit(unit_ptr(h, head + static_cast<int64_t>(i)), unit, text[i]);
    h->tail = h->head + static_cast<uint32_t>((head + static_cast<int64_t>(text.size())) * unit);
}

std::u32string stripped(const std::u32string& text, std::vector<uint32_t> set) {
    std::sort(set.begin(), set.end());
    std::u32string out;
    for (char32_t c : text)
        if (!std::binary_search(set.begin(), set.end(), static_cast<uint32_t>(c))) out.push_back(c);
    return out;
}

std::u32string collapsed(const std::u32string& text) {
    std::u32string out;
    bool pending = false;
    for (char32_t c : text) {
        if (whitespace_q(c)) {
            pending = !out.empty();
            continue;
        }
        if (pending) out.push_back(U' ');
        pending = false;
        out.push_back(c);
    }
    return out;
}

std::u32string trimmed(const std::u32string& text, bool head, bool tail) {
    // The two ends are found independently: in a text of whitespace only,
    // /tail alone must still remove all of it.
    size_t a = 0, b = text.size();
    while (a < text.size() && whitespace_q(text[a])) ++a;
    while (b > 0 && whitespace_q(text[b - 1])) --b;
    if (head && !tail) return text.substr(a);
    if (tail && !head) return text.substr(0, b);
    if (a >= b) return std::u32string();
    if (head && tail) return text.substr(a, b - a);
    // Neither: both ends, and the blanks around the line breaks inside.
    std::u32string out;
    bool line_start = true;
    for (size_t i = a; i < b; ++i) {
        const char32_t c = text[i];
        if (c == U'\n') {
            while (!out.empty() && blank_q(out.back())) out.pop_back();
            out.push_back(c);
            line_start = true;
            continue;
        }
        if (line_start && blank_q(c)) continue;
        line_start = false;
        out.push_back(c);
    }
    if (a < b && text.find(U'\n', b) != std::u32string::npos) out.push_back(U'\n');
    return out;
}

}  // namespace

namespace {

// The code points trim removes: those of `with`, read from its head, or tab,
// line feed, carriage return and space without it.
std::vector<uint32_t> strip_set(const kel_value* with) {
    if (!with) return {'\t', '\n', '\r', ' '};
    const uint32_t t = type_of(with);
    if (t == types::char_ || t == types::integer) return {with->w2};
    if (!in_family(t, family::string_like) && t != types::binary) fire(error_category::script, "invalid-arg", with);
    const std::u32string cps = read_text(with);
    return std::vector<uint32_t>(cps.begin(), cps.end());
}

void strip_set_from(kel_value* s, const std::vector<uint32_t>& set) {
    if (!set.empty()) write_text(s, stripped(read_text(s), set));
}

}  // namespace

void strip_chars(kel_value* s, const kel_value* with) { strip_set_from(s, strip_set(with)); }

void collapse_whitespace(kel_value* s) { write_text(s, collapsed(read_text(s))); }

void trim_whitespace(kel_value* s, bool head, bool tail) { write_text(s, trimmed(read_text(s), head, tail)); }

void trim(kel_value* s, bool head, bool tail, bool auto_, bool lines, bool all, const kel_value* with) {
    // The set is checked, and read, before the owner hears of a change: its
    // handler may change the set too.
    std::vector<uint32_t> set;
    if (all || with) set = strip_set(with);
    if (!all && !with && auto_) fire(error_category::internal, "not-done");
    const int64_t at = std::max(series_head(s), 0);
    notify(s, "trim", nullptr, at, ks_length_q(s));
    if (all || with) strip_set_from(s, set);
    else if (lines) collapse_whitespace(s);
    else trim_whitespace(s, head, tail);
    notify(s, "trimmed", nullptr, at, ks_length_q(s));
}

// ---------------------------------------------------------------- set operations

kel_value* set_operation(bool case_, const kel_value* skip, int32_t op) {
    kel_value* first = stack::arguments();
    kel_value* second = first + 1;
    int64_t size = 1;
    if (skip) {
        size = cell::get_int_checked(skip);
        if (size < 1) fire(error_category::script, "invalid-refine-arg", error_arg::named("skip"), skip);
    }
    if (op < 8 || op > 12) fire(error_category::internal, "not-done");
    const bool two = op == 9 || op == 12;
    const uint32_t unit = std::max(buffer(first)->unit(), two ? buffer(second)->unit() : 1u);
    const uint64_t capacity =
        static_cast<uint64_t>(ks_length_q(first)) + (two ? static_cast<uint64_t>(ks_length_q(second)) : 0);
    if (capacity * unit > max_bytes) no_memory();
    kel_value* result = make_at_unit(stack::push_unset(), static_cast<uint32_t>(capacity), unit);
    const uint32_t rnode = series_node(result);

    // Membership is by the first code point of a record, folded unless case
    // is given: the code points at the positions `size` apart of a series
    // (from its head) are gathered into a set once, so that each record is
    // tested in constant time.
    const auto key = [&](uint32_t c) { return case_ ? c : case_map::uppercase(c); };
    const auto starts_of = [&](const kel_value* v) {
        std::unordered_set<uint32_t> set;
        buffer_header* h = buffer(v);
        for (int64_t i = std::max(series_head(v), 0); i < static_cast<int64_t>(h->units()); i += size)
            set.insert(key(read_unit(unit_ptr(h, i), h->unit())));
        return set;
    };
    // The result's own set grows with it: every position `size` apart that
    // the added units reach.
    std::unordered_set<uint32_t> taken;
    int64_t next_start = 0;

    // Adds the records of `from` that pass the membership test against
    // `other` (when given), each only when its first code point is new.
    auto pass = [&](const kel_value* from, const kel_value* other, bool want_in) {
        const std::unordered_set<uint32_t> in_other = other ? starts_of(other) : std::unordered_set<uint32_t>();
        const int64_t units = buffer(from)->units();
        for (int64_t i = std::max(series_head(from), 0); i < units; i += size) {
            buffer_header* fh = buffer(from);
            const uint32_t c = key(read_unit(unit_ptr(fh, i), fh->unit()));
            if (other && (in_other.count(c) != 0) != want_in) continue;
            if (taken.count(c)) continue;
            const int64_t n = std::min(size, units - i);
            buffer_header* rh = memory::buffer_of(rnode);
            if (rh->tail + n * unit > rh->capacity) rh = memory::ensure_tail_room(rnode, static_cast<uint32_t>(n * unit));
            fh = buffer(from);
            char* to = rh->data() + rh->tail;
            for (int64_t k = 0; k < n; ++k) write_unit(to + k * unit, unit, read_unit(unit_ptr(fh, i + k), fh->unit()));
            rh->tail += static_cast<uint32_t>(n * unit);
            for (; next_start < static_cast<int64_t>(rh->units()); next_start += size)
                taken.insert(key(read_unit(unit_ptr(rh, next_start), unit)));
        }
    };
    switch (op) {
        case 8: pass(first, nullptr, true); break;
        case 9:
            pass(first, nullptr, true);
            pass(second, nullptr, true);
            break;
        case 10: pass(first, second, true); break;
        case 11: pass(first, second, false); break;
        default:
            pass(first, second, false);
            pass(second, first, false);
            break;
    }
    first->w1 = 0;
    first->w2 = rnode;
    first->w3 = 0;  // a conversion buffer belonged to the old text
    stack::drop_cells(1);
    return first;
}

}  // namespace kel::string
