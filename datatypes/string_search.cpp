// string_search: find, select and sort of string! (and of the types that
// inherit them: binary!, vector! and the other string types). A search works
// on unit indexes over the buffer, reading each unit by its width; nothing
// here allocates during a search except forming a non-text value into a
// pattern string first.
#include <algorithm>
#include <cstring>

#include "datatypes/series.h"
#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/case_tables.h"
#include "kernel/cycle_guard.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/sort.h"

namespace kel::string {

namespace {

inline uint32_t fold(uint32_t cp) { return case_map::uppercase(cp); }

// A number read from a vector! element or a binary! byte, for equality with
// an integer! or float! value.
double element_number(const kel_value* s, int64_t i) {
    kel_value e;
    series::element_value(s, static_cast<int32_t>(i), &e);
    if (type_of(&e) == types::float_ || type_of(&e) == types::percent) return get_float(&e);
    return static_cast<double>(static_cast<int32_t>(e.w2));
}

// How positions are tested.
enum class kind { code_point, bitset, pattern, number };

struct matcher {
    kind k;
    uint32_t cp = 0;          // code_point
    kel_value set{};          // bitset
    kel_value pattern{};      // pattern: a string-like or binary! value
    int64_t length = 1;       // units a match covers
    double number = 0;        // number
};

}  // namespace

namespace {

// The search itself; a pattern formed from a non-text value stays in its cell
// on the argument stack for the whole search, and `search` drops it.
found search_units(const kel_value* series_value, const kel_value* value, const find_options& o) {
    const kel_value s = *series_value;
    const kel_value v = *value;
    const uint32_t st = type_of(&s);
    found none{-1, 0};
    buffer_header* h = buffer(&s);
    const int64_t units = h->units();
    if (units == 0) return none;
    int64_t head = std::max(series_head(&s), 0);
    if (!o.reverse && head >= units) return none;
    head = std::min(head, units);

    if (o.any || o.with) fire(error_category::internal, "not-done");
    int64_t step = 1;
    if (o.skip) {
        step = cell::get_int_checked(o.skip);
        if (step < 1) fire(error_category::script, "out-of-range", o.skip);
    }
    int64_t count = -1;
    if (o.part) {
        if (type_of(o.part) == types::integer) {
            count = get_integer(o.part);
        } else if (type_of(o.part) == st && series_node(o.part) == series_node(&s)) {
            count = static_cast<int64_t>(series_head(o.part)) - head;
        } else {
            fire(error_category::script, "invalid-refine-arg", error_arg::named("part"), o.part);
        }
        if (count < 1) return none;
        // Never more than the units on the side searched.
        count = std::min(count, o.reverse ? head : units - head);
    }
    const bool folding = in_family(st, family::string_like) && !o.case_ && !o.same;

    // What is looked for.
    matcher m{kind::code_point};
    const uint32_t vt = type_of(&v);
    const bool numeric_series = st == types::binary || st == types::vector;
    if (vt == types::char_) {
        m.cp = get_char(&v);
    } else if (vt == types::bitset) {
        m.k = kind::bitset;
        m.set = v;
    } else if ((in_family(vt, family::string_like) && vt != types::tag) || vt == types::binary) {
        if (vt == types::binary && st != types::binary) fire(error_category::script, "invalid-arg", &v);
        m.k = kind::pattern;
        m.pattern = v;
    } else if ((vt == types::integer || vt == types::float_ || vt == types::percent) && numeric_series) {
        // A percent! is the fraction it holds, as a percent! element is.
        m.k = kind::number;
        m.number = vt == types::integer ? get_integer(&v) : get_float(&v);
    } else {
        // A word's spelling, or any other value's form, is the pattern.
        m.k = kind::pattern;
        kel_value* formed = string::init_cell(stack::push_unset(), 16);
        form_fn fn = registry::form_handler(vt);
        if (fn) fn(&v, formed, nullptr, 0x7FFFFFFF);
        m.pattern = *formed;
    }
    h = buffer(&s);  // forming may have moved it
    const uint32_t unit = h->unit();
    // Only code point units are compared as text; the float elements of a
    // vector! match numbers alone.
    if (st == types::vector && unit > 4 && m.k != kind::number) return none;

    unicode::text_view pv{};
    if (m.k == kind::pattern) {
        pv = view(&m.pattern);
        if (pv.length == 0) return none;
        if (pv.length == 1) {
            m.k = kind::code_point;
            m.cp = read_unit(reinterpret_cast<const char*>(pv.data), pv.unit);
        } else {
            m.length = static_cast<int64_t>(pv.length);
        }
    }
    if (folding && m.k == kind::code_point) m.cp = fold(m.cp);

    auto unit_at = [&](int64_t i) -> uint32_t { return read_unit(unit_ptr(h, i), unit); };
    auto test_one = [&](int64_t i) -> bool {
        switch (m.k) {
            case kind::code_point: {
                uint32_t c = unit_at(i);
                if (folding) c = fold(c);
                return c == m.cp;
            }
            case kind::bitset: return in_bitset_q(unit_at(i), &m.set);
            case kind::number: return element_number(&s, i) == m.number;
            default: {
                const char* pd = reinterpret_cast<const char*>(pv.data);
                for (int64_t k = 0; k < m.length; ++k) {
                    uint32_t a = unit_at(i + k);
                    uint32_t b = read_unit(pd + k * pv.unit, pv.unit);
                    if (folding) {
                        a = fold(a);
                        b = fold(b);
                    }
                    if (a != b) return false;
                }
                return true;
            }
        }
    };

    const int64_t len = m.length;
    if (o.reverse) {
        if (o.match) return none;
        const int64_t bound = count >= 0 ? head - count : 0;
        for (int64_t c = head - 1; c >= bound && c - len + 1 >= bound; c -= step)
            if (test_one(c - len + 1)) return {c - len + 1, len};
        return none;
    }
    const int64_t end = count >= 0 ? head + count : units;
    if (o.last) {
        for (int64_t c = end - 1; c - len + 1 >= head; c -= step) {
            if (test_one(c - len + 1)) return {c - len + 1, len};
            if (o.match) break;
        }
        return none;
    }
    for (int64_t i = head; i + len <= end; i += step) {
        if (test_one(i)) return {i, len};
        if (o.match) break;
    }
    return none;
}

}  // namespace

found search(const kel_value* series_value, const kel_value* value, const find_options& o) {
    kel_value* const top = stack::top();
    const found f = search_units(series_value, value, o);
    stack::regs.top = top;
    return f;
}

void find(const kel_value* series_value, const kel_value* value, const find_options& o, kel_value* result) {
    const kel_value s = *series_value;
    const found f = search(&s, value, o);
    if (f.index < 0) {
        set_none(result);
        return;
    }
    *result = s;
    set_series_head(result, static_cast<int32_t>(o.tail ? f.index + f.length : f.index));
}

void select(const kel_value* series_value, const kel_value* value, const find_options& o, kel_value* result) {
    const kel_value s = *series_value;
    find_options plain = o;
    plain.tail = false;
    plain.match = false;
    const found f = search(&s, value, plain);
    const int64_t at = f.index < 0 ? -1 : f.index + f.length;
    if (at < 0 || at >= buffer(&s)->units()) {
        set_none(result);
        return;
    }
    series::element_value(&s, static_cast<int32_t>(at), result);
}

// ---------------------------------------------------------------- sort

namespace {

template <uint32_t unit, bool signed_elements>
int32_t unit_compare(const char* a, const char* b, bool case_sensitive, uint32_t flags) {
    const bool whole = (flags & sort_whole) != 0;
    const uint32_t n = whole ? (flags >> 2) : 1;
    const uint32_t offset = whole ? 0 : (flags >> 2);
    const int32_t sign = (flags & sort_reverse) ? -1 : 1;
    for (uint32_t i = offset; i < offset + n; ++i) {
        int64_t x, y;
        if constexpr (signed_elements) {
            if constexpr (unit == 1) {
                x = static_cast<int8_t>(a[i]);
                y = static_cast<int8_t>(b[i]);
            } else if constexpr (unit == 2) {
                int16_t p, q;
                std::memcpy(&p, a + 2 * i, 2);
                std::memcpy(&q, b + 2 * i, 2);
                x = p;
                y = q;
            } else {
                int32_t p, q;
                std::memcpy(&p, a + 4 * i, 4);
                std::memcpy(&q, b + 4 * i, 4);
                x = p;
                y = q;
            }
        } else {
            uint32_t p = read_unit(a + unit * i, unit), q = read_unit(b + unit * i, unit);
            if (!case_sensitive) {
                p = case_map::uppercase(p);
                q = case_map::uppercase(q);
            }
            x = p;
            y = q;
        }
        if (x != y) return x < y ? -sign : sign;
    }
    return 0;
}

template <class F>
int32_t float_compare(const char* a, const char* b, uint32_t flags) {
    const bool whole = (flags & sort_whole) != 0;
    const uint32_t n = whole ? (flags >> 2) : 1;
    const uint32_t offset = whole ? 0 : (flags >> 2);
    const int32_t sign = (flags & sort_reverse) ? -1 : 1;
    for (uint32_t i = offset; i < offset + n; ++i) {
        F x, y;
        std::memcpy(&x, a + sizeof(F) * i, sizeof(F));
        std::memcpy(&y, b + sizeof(F) * i, sizeof(F));
        if (x < y) return -sign;
        if (x > y) return sign;
    }
    return 0;
}

using record_compare = int32_t (*)(const char*, const char*, bool, uint32_t);

struct sort_context {
    record_compare fn;
    bool case_sensitive;
    uint32_t flags;
    const kel_value* function;  // a script comparison function, or null
};

int32_t sort_trampoline(const void* x, const void* y, uintptr_t p1, uintptr_t) {
    const auto* c = reinterpret_cast<const sort_context*>(p1);
    const auto* a = static_cast<const char*>(x);
    const auto* b = static_cast<const char*>(y);
    if (c->function) return sort_call_compare(a, b, c->function, c->flags);
    return c->fn(a, b, c->case_sensitive, c->flags);
}

}  // namespace

int32_t sort_compare_1(const char* a, const char* b, bool cs, uint32_t flags) { return unit_compare<1, false>(a, b, cs, flags); }
int32_t sort_compare_2(const char* a, const char* b, bool cs, uint32_t flags) { return unit_compare<2, false>(a, b, cs, flags); }
int32_t sort_compare_4(const char* a, const char* b, bool cs, uint32_t flags) { return unit_compare<4, false>(a, b, cs, flags); }
int32_t sort_compare_f32(const char* a, const char* b, bool, uint32_t flags) { return float_compare<float>(a, b, flags); }
int32_t sort_compare_f64(const char* a, const char* b, bool, uint32_t flags) { return float_compare<double>(a, b, flags); }

void sort(kel_value* s, bool case_, const kel_value* skip, const kel_value* compare_arg, const kel_value* part,
          bool all, bool reverse, bool stable) {
    const uint32_t st = type_of(s);
    buffer_header* h = buffer(s);
    const int64_t units = h->units();
    int64_t head = std::clamp<int64_t>(series_head(s), 0, units);
    int64_t n = units - head;
    int64_t start = head;
    if (part) {
        int64_t count;
        if (type_of(part) == types::integer) {
            count = get_integer(part);
        } else if (type_of(part) == st && series_node(part) == series_node(s)) {
            count = static_cast<int64_t>(series_head(part)) - head;
        } else {
            fire(error_category::script, "invalid-refine-arg", error_arg::named("part"), part);
        }
        if (count < 0) {
            // The units before the head; the head moves back to them.
            start = std::max<int64_t>(head + count, 0);
            n = head - start;
        } else {
            n = std::min(n, count);
        }
    }
    if (n == 0) return;
    int64_t size = 1;
    if (skip) {
        if (type_of(skip) != types::integer) fire(error_category::script, "invalid-refine-arg", error_arg::named("skip"), skip);
        size = get_integer(skip);
        if (size < 1 || n < size || n % size != 0)
            fire(error_category::script, "invalid-refine-arg", error_arg::named("skip"), skip);
    }
    if (all && !skip) fire(error_category::script, "bad-refines");

    const uint32_t unit = h->unit();
    const bool vector = st == types::vector;
    sort_context ctx{};
    ctx.case_sensitive = case_ || vector;
    if (vector && s->w3 != types::char_) {
        const bool floats = s->w3 == types::float_ || s->w3 == types::percent;
        if (floats) ctx.fn = unit == 4 ? sort_compare_f32 : sort_compare_f64;
        else ctx.fn = unit == 1 ? unit_compare<1, true> : unit == 2 ? unit_compare<2, true> : unit_compare<4, true>;
    } else {
        ctx.fn = unit == 1 ? sort_compare_1 : unit == 2 ? sort_compare_2 : sort_compare_4;
    }
    uint32_t offset = 0;
    bool whole = false;
    kel_value function{};
    if (compare_arg) {
        const uint32_t ct = type_of(compare_arg);
        if (ct == types::function) {
            function = *compare_arg;
            ctx.function = &function;
        } else if (ct == types::integer) {
            if (!skip || all) fire(error_category::script, "bad-refines");
            const int32_t k = get_integer(compare_arg);
            if (k < 1 || k > size) fire(error_category::script, "out-of-range", compare_arg);
            offset = static_cast<uint32_t>(k - 1);
        } else {
            fire(error_category::script, "invalid-refine-arg", error_arg::named("compare"), compare_arg);
        }
    }
    whole = all && skip;
    if (ctx.function) {
        ctx.flags = sort_call_flags(reverse, unit, static_cast<uint32_t>(size), whole);
    } else {
        ctx.flags = (reverse ? sort_reverse : 0) | (whole ? sort_whole : 0) |
                    ((whole ? static_cast<uint32_t>(size) : offset) << 2);
    }

    set_series_head(s, static_cast<int32_t>(start));
    notify(s, "sort", nullptr, start, n);
    const size_t record = static_cast<size_t>(size) * unit;
    const size_t records = static_cast<size_t>(n / size);
    const size_t bytes = records * record;
    auto run = [&](char* base) {
        // Stability is what /stable asks for, whatever the other refinements.
        if (stable) {
            if (sort::merge(base, records, record, reinterpret_cast<uintptr_t>(&ctx), 0, sort_trampoline) ==
                sort::merge_result::too_long)
                fire(error_category::script, "too-long");
        } else {
            sort::quick(base, records, record, reinterpret_cast<uintptr_t>(&ctx), 0, sort_trampoline);
        }
    };
    // The owner's handler may have reshaped the string: records of the
    // old width, or past the new tail, are not there to sort.
    buffer_header* now = buffer(s);
    const bool as_measured = now->unit() == unit && static_cast<int64_t>(now->units()) >= start + n;
    if (as_measured && !ctx.function) {
        run(unit_ptr(now, start));
    } else if (as_measured) {
        // A script function may change this very string (grow it, widen it,
        // shorten it) while it is being sorted: the records are sorted in a
        // private copy, written back only when the text still has them at
        // the same width.
        const uint32_t node = series_node(s);
        struct release {
            char* p;
            ~release() { heap::free(p); }
        } copy{static_cast<char*>(heap::allocate(bytes ? bytes : 1))};
        std::memcpy(copy.p, unit_ptr(buffer(s), start), bytes);
        run(copy.p);
        buffer_header* after = memory::buffer_of(node);
        if (after->unit() == unit && static_cast<int64_t>(after->units()) >= start + n)
            std::memcpy(unit_ptr(after, start), copy.p, bytes);
    }
    notify(s, "sorted", nullptr, start, n);
}

}  // namespace kel::string
