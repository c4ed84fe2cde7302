// routines_text: see routines_text.h.
#include "library/routines_text.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "evaluator/routines.h"
#include "kernel/registry.h"
#include "kernel/case_tables.h"
#include "kernel/stack.h"

namespace kel::text_routines {

namespace {

using memory::buffer_header;
using routines::machine_value;

// Case-insensitive matching folds both sides to upper case, as `find` and
// parse do.
inline uint32_t fold(uint32_t cp) { return case_map::uppercase(cp); }

// A search set up once for a whole walk over one text: the code points of a
// pattern (folded when folding), or a bitset's membership. For byte-wide
// text the bytes that can begin a match are tabled, so the scan between
// matches is a table look-up per byte, or 16 bytes at a time when at most
// two byte values can begin one (a letter in both cases, a separator).
struct text_search {
    std::vector<uint32_t> pattern;
    bool folding = false;
    const kel_value* set = nullptr;  // a bitset argument cell (rooted by the call)
    bool first[256] = {};
    uint32_t folded[256] = {};
    int members = 0;  // byte values in `first`, counted up to 3
    uint8_t member[2] = {};

    int64_t length() const { return set ? 1 : static_cast<int64_t>(pattern.size()); }

    void use_text(const kel_value* text) {
        const unicode::text_view v = string::view(text);
        pattern.resize(v.length);
        const char* p = reinterpret_cast<const char*>(v.data);
        for (size_t i = 0; i < v.length; ++i) {
            const uint32_t c = string::read_unit(p + i * v.unit, v.unit);
            pattern[i] = folding ? fold(c) : c;
        }
    }
    void use_char(uint32_t cp) { pattern.assign(1, folding ? fold(cp) : cp); }

    bool starts(uint32_t c) const {
        if (set) return string::in_bitset_q(c, set);
        return (folding ? fold(c) : c) == pattern[0];
    }
    // Fills the byte tables; the search must have a pattern or a set.
    void prepare() {
        for (uint32_t c = 0; c < 256; ++c) {
            folded[c] = folding ? fold(c) : c;
            first[c] = starts(c);
            if (first[c]) {
                if (members < 2) member[members] = static_cast<uint8_t>(c);
                if (members < 3) ++members;
            }
        }
    }

    // First index in [from, to) of a byte in `first`, or `to`.
    int64_t scan_bytes(const uint8_t* base, int64_t from, int64_t to) const {
        if (from >= to || members == 0) return to;
        if (members <= 2) {
            // Inline rather than memchr: between matches the distance is
            // often a few bytes, less than a library call costs.
            const uint8_t second = member[members - 1];
            const __m128i a = _mm_set1_epi8(static_cast<char>(member[0]));
            const __m128i b = _mm_set1_epi8(static_cast<char>(second));
            int64_t p = from;
            for (; p + 16 <= to; p += 16) {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + p));
                const uint32_t mask = static_cast<uint32_t>(
                    _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, a), _mm_cmpeq_epi8(x, b))));
                if (mask) return p + __builtin_ctz(mask);
            }
            for (; p < to; ++p)
                if (base[p] == member[0] || base[p] == second) return p;
            return to;
        }
        int64_t p = from;
        while (p < to && !first[base[p]]) ++p;
        return p;
    }

    // The first match starting at or after `from` that ends by `end`, or -1.
    int64_t next(buffer_header* h, int64_t from, int64_t end) const {
        const int64_t len = length();
        const int64_t last = end - len;  // the last index a match may start at
        if (len == 0 || from > last) return -1;
        const uint32_t unit = h->unit();
        const char* base = string::unit_ptr(h, 0);
        if (unit == 1) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(base);
            for (int64_t i = from;; ++i) {
                i = scan_bytes(bytes, i, last + 1);
                if (i > last) return -1;
                int64_t k = 1;
                while (k < len && folded[bytes[i + k]] == pattern[static_cast<size_t>(k)]) ++k;
                if (k == len) return i;
            }
        }
        return unit == 2 ? next_wide<2>(base, from, last) : next_wide<4>(base, from, last);
    }

    // Wide text: the byte tables answer for the code points below 256.
    template <uint32_t unit>
    int64_t next_wide(const char* base, int64_t from, int64_t last) const {
        const int64_t len = length();
        for (int64_t i = from; i <= last; ++i) {
            const uint32_t c = string::read_unit(base + i * unit, unit);
            if (!(c < 256 ? first[c] : starts(c))) continue;
            int64_t k = 1;
            for (; k < len; ++k) {
                const uint32_t d = string::read_unit(base + (i + k) * unit, unit);
                if ((d < 256 ? folded[d] : folding ? fold(d) : d) != pattern[static_cast<size_t>(k)]) break;
            }
            if (k == len) return i;
        }
        return -1;
    }
};

// Copies n units between buffers of possibly different widths (to a width
// at least the source's).
void copy_run(const char* from, uint32_t from_unit, char* to, uint32_t to_unit, int64_t n) {
    if (n <= 0) return;
    if (from_unit == to_unit) {
        std::memcpy(to, from, static_cast<size_t>(n * to_unit));
        return;
    }
    for (int64_t i = 0; i < n; ++i) string::write_unit(to + i * to_unit, to_unit, string::read_unit(from + i * from_unit, from_unit));
}

machine_value answer_none() {
    kel_value none;
    set_none(&none);
    return routines::answer_cell(&none);
}

// Answers the cell and drops what the routine pushed since `depth`.
machine_value answer_from(const kel_value* v, int32_t depth) {
    const kel_value result = *v;
    stack::regs.top = stack::bottom() + depth;
    return routines::answer_cell(&result);
}

// `replace` in find mode with /all over a string, for a plain value: the
// buffer that `change/part series <it> tail series` then writes back, made
// as the Kel loop makes it (the text before each match, the value appended
// as `append` forms it, the text after the last match). None when the case
// is not one this takes: the Kel loop runs then.
machine_value replace_all(const machine_value* a, int32_t) {
    const kel_value* series = a[0].cell;
    const kel_value* pattern = a[1].cell;
    const kel_value* value = a[2].cell;
    if (!logic::truthy(a[3].cell) || logic::truthy(a[4].cell)) return answer_none();
    const uint32_t st = type_of(series);
    const uint32_t pt = type_of(pattern);
    // A tag! series is left to the Kel loop: a tag written back by
    // `change` would gain brackets of its own, which that loop avoids.
    if (!in_family(st, family::string_like) || st == types::tag || !in_family(pt, family::string_like) ||
        pt == types::tag || in_family(type_of(value), family::function))
        return answer_none();
    // Types whose append or find are not string!'s own go the Kel way.
    if (registry::handler(st, act::append) != registry::handler(types::string, act::append) ||
        registry::handler(st, act::find) != registry::handler(types::string, act::find))
        return answer_none();
    const kel_value s = *series;
    const int64_t units = string::buffer(&s)->units();
    const int64_t head = series_head(&s);
    if (head < 0 || head > units) return answer_none();

    text_search search;
    search.folding = !logic::truthy(a[5].cell);
    search.use_text(pattern);
    std::vector<int32_t> found;
    const int64_t size = search.length();
    if (size > 0) {
        search.prepare();
        buffer_header* h = string::buffer(&s);
        for (int64_t p = head; (p = search.next(h, p, units)) >= 0; p += size) found.push_back(static_cast<int32_t>(p));
    }

    const int32_t depth = stack::depth();
    kel_value* text = stack::push_unset();
    int64_t text_units = 0;
    uint32_t unit = string::buffer(&s)->unit();
    if (!found.empty()) {
        string::make_at_unit(text, 16, 1);
        set_series(text, st, 0, series_node(text));
        string::append(text, value, -1, false, 1, false);
        text_units = string::buffer(text)->units();
        unit = std::max(unit, string::buffer(text)->unit());
    }
    const int64_t n = static_cast<int64_t>(found.size());
    const int64_t total = units - head - n * size + n * text_units;
    if (total > static_cast<int64_t>(memory::max_capacity(unit) / unit)) {
        stack::regs.top = stack::bottom() + depth;
        return answer_none();  // the Kel loop raises what append raises
    }
    kel_value* out = stack::push_unset();
    string::make_at_unit(out, static_cast<uint32_t>(std::max<int64_t>(total, 1)), unit);
    set_series(out, st, 0, series_node(out));

    buffer_header* from = string::buffer(&s);
    buffer_header* to = string::buffer(out);
    const uint32_t su = from->unit();
    const char* tp = nullptr;
    uint32_t tu = 1;
    if (n) {
        buffer_header* th = string::buffer(text);
        tp = string::unit_ptr(th, 0);
        tu = th->unit();
    }
    int64_t w = 0;
    int64_t at = head;
    for (const int32_t m : found) {
        copy_run(string::unit_ptr(from, at), su, string::unit_ptr(to, w), unit, m - at);
        w += m - at;
        copy_run(tp, tu, string::unit_ptr(to, w), unit, text_units);
        w += text_units;
        at = m + size;
    }
    copy_run(string::unit_ptr(from, at), su, string::unit_ptr(to, w), unit, units - at);
    w += units - at;
    to->tail = to->head + static_cast<uint32_t>(w * unit);
    return answer_from(out, depth);
}

// `split` for a delimiter that advances: the block of pieces that the Kel
// parse rule collects (each piece made as parse's `copy` makes it). None for
// an empty delimiter, which the rule's `any` ends at once, and for a position
// past the tail.
machine_value split(const machine_value* a, int32_t) {
    const kel_value* series = a[0].cell;
    const kel_value* dlm = a[1].cell;
    const uint32_t st = type_of(series);
    const uint32_t dt = type_of(dlm);
    if (!in_family(st, family::string_like)) return answer_none();
    text_search search;
    search.folding = true;
    if (dt == types::char_) search.use_char(get_char(dlm));
    else if (dt == types::bitset) search.set = dlm;
    else if (dt == types::string) search.use_text(dlm);
    else return answer_none();
    const int64_t num = search.length();
    if (num == 0) return answer_none();
    const kel_value s = *series;
    const int64_t units = string::buffer(&s)->units();
    const int64_t head = series_head(&s);
    if (head < 0 || head > units) return answer_none();

    search.prepare();
    std::vector<int32_t> found;
    {
        buffer_header* h = string::buffer(&s);
        for (int64_t p = head; (p = search.next(h, p, units)) >= 0; p += num) found.push_back(static_cast<int32_t>(p));
    }
    const int32_t depth = stack::depth();
    kel_value* pieces = block::push_only_star(static_cast<int32_t>(found.size() + 1));
    kel_value* piece = stack::push_unset();
    int64_t at = head;
    for (const int32_t m : found) {
        string::copy_units(&s, static_cast<int32_t>(at), static_cast<int32_t>(m - at), piece);
        block::ks_add(pieces, piece);
        at = m + num;
    }
    string::copy_units(&s, static_cast<int32_t>(at), static_cast<int32_t>(units - at), piece);
    block::ks_add(pieces, piece);
    return answer_from(pieces, depth);
}

}  // namespace

void install() {
    static const routines::binding rows[] = {
        {"text/replace-all", "series [any-type!] pattern [any-type!] value [any-type!] all [any-type!] "
                             "parse [any-type!] case [any-type!]",
         replace_all},
        {"text/split", "series [any-type!] dlm [any-type!]", split},
    };
    routines::define_run(routine_numbers::text, rows, 2, "text");
}

}  // namespace kel::text_routines
