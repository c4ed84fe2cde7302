// lexer_load: the scanners and loaders of the lexer's 36 token states: what
// each literal form accepts beyond what the state machine checked, and the
// value it builds in the next cell of the shared buffer. Every function takes
// (scan, token start, token end, token flags, load); called with load false
// a loader only validates. A failed check is a syntax error for the form's
// datatype, raised through throw_error (which stops quietly in scan-only
// mode). Reads never leave [token start, input end).
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/money.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"
#include "kernel/registry.h"
#include "kernel/unicode.h"
#include "services/lexer_internal.h"

namespace kel::lexer {

namespace {

// Longest text one string value may be made from (units fit 32 bits).
constexpr size_t max_text_units = 0x3FFFFFF0u;

inline uint8_t lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; }
inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// --- caret escapes ---------------------------------------------------------------

struct escape_name {
    const char* name;
    uint8_t length;
    uint8_t code;
};
constexpr escape_name escape_names[] = {{"null", 4, 0}, {"back", 4, 8},  {"tab", 3, 9},  {"line", 4, 10},
                                        {"page", 4, 12}, {"esc", 3, 27}, {"del", 3, 127}};

// Decodes the escape after a "^" at p (bounded by e) into *cp; answers the
// byte after it, or null when it is malformed.
const uint8_t* decode_escape(const uint8_t* p, const uint8_t* e, int32_t* cp) {
    if (p >= e) return nullptr;
    const uint8_t c = *p;
    if (c == '(') {
        const uint8_t* q = p + 1;
        const size_t room = static_cast<size_t>(e - q);
        // One or two hex digits.
        if (room >= 2 && hex_table[q[0]] != 255 && q[1] == ')') {
            *cp = hex_table[q[0]];
            return q + 2;
        }
        if (room >= 3 && hex_table[q[0]] != 255 && hex_table[q[1]] != 255 && q[2] == ')') {
            *cp = hex_table[q[0]] * 16 + hex_table[q[1]];
            return q + 3;
        }
        // A name, compared without regard to case.
        for (const escape_name& n : escape_names) {
            if (room < n.length) continue;
            bool same = true;
            for (int i = 0; i < n.length && same; ++i) same = lower(q[i]) == static_cast<uint8_t>(n.name[i]);
            if (!same) continue;
            if (room > n.length && q[n.length] == ')') {
                *cp = n.code;
                return q + n.length + 1;
            }
            return nullptr;
        }
        // Up to six hex digits.
        uint32_t value = 0;
        int digits = 0;
        while (q < e && *q != ')') {
            if (hex_table[*q] == 255 || digits == 6) return nullptr;
            value = value * 16 + hex_table[*q];
            ++digits;
            ++q;
        }
        if (q >= e || digits == 0 || value > 0x10FFFF) return nullptr;
        *cp = static_cast<int32_t>(value);
        return q + 1;
    }
    switch (c) {
        case '@': *cp = 0; return p + 1;
        case '/': *cp = 10; return p + 1;
        case '-': *cp = 9; return p + 1;
        case '"': case '{': case '}': case '^': *cp = c; return p + 1;
        case '~': *cp = 127; return p + 1;
        default: break;
    }
    if (c >= 'a' && c <= 'z') {
        *cp = c - 96;
        return p + 1;
    }
    if (c >= 'A' && c <= '_') {
        *cp = c - 64;
        return p + 1;
    }
    if (c < 0x80) {
        *cp = c;
        return p + 1;
    }
    const uint8_t* next = unicode::decode_utf8_char_bounded(p, e, cp);
    return *cp < 0 ? nullptr : next;
}

// The unit a caret text needs: "^(" with only hex digits up to ")" needs 2
// bytes for more than 2 digits and 4 for more than 4.
uint32_t measure_escapes(const uint8_t* p, const uint8_t* e, uint32_t unit) {
    for (; p + 1 < e; ++p) {
        if (*p != '^') continue;
        if (p[1] != '(') {
            ++p;  // the escaped character is not an escape itself
            continue;
        }
        const uint8_t* q = p + 2;
        int digits = 0;
        while (q < e && hex_table[*q] != 255) ++q, ++digits;
        if (q < e && *q == ')') {
            if (digits > 4) unit = 4;
            else if (digits > 2 && unit < 2) unit = 2;
        }
        p = q > p + 1 ? q - 1 : p + 1;
    }
    return unit;
}

uint32_t unit_of_flags(uint32_t flags) {
    const uint32_t u = 1u << (flags >> 30);
    return u > 4 ? 4 : u;
}

// --- text values ------------------------------------------------------------------

// Decodes [p, e) into a new value of `type` at a new cell (validates only
// when !build). With escapes, "^" sequences are decoded. A sequence that
// does not decode is an error for error_type.
void load_text(lexer_state& s, const uint8_t* p, const uint8_t* e, uint32_t flags, bool escapes, int32_t error_type,
               uint32_t type, bool build) {
    const size_t n = static_cast<size_t>(e - p);
    if (n > max_text_units) fire(error_category::internal, "no-memory");
    const bool caret = escapes && (flags & flag_caret);
    uint32_t unit = unit_of_flags(flags);
    if (caret && unit < 4) unit = measure_escapes(p, e, unit);
    if (!build) {
        while (p < e) {
            int32_t cp;
            if (caret && *p == '^') p = decode_escape(p + 1, e, &cp);
            else if (*p < 0x80) ++p;
            else {
                p = unicode::decode_utf8_char_bounded(p, e, &cp);
                if (cp < 0) p = nullptr;
            }
            if (!p) throw_error(s, s.token_start, error_type);
        }
        return;
    }
    kel_value* out = new_cell(s);
    make_text(out, type, static_cast<uint32_t>(n), unit);
    memory::buffer_header* h = string::buffer(out);
    if (unit == 1 && !caret && !(flags & flag_high)) {
        if (n) std::memcpy(h->data() + h->head, p, n);
        h->tail = h->head + static_cast<uint32_t>(n);
        return;
    }
    char* base = h->data() + h->head;
    uint32_t count = 0;
    while (p < e) {
        int32_t cp;
        if (caret && *p == '^') {
            p = decode_escape(p + 1, e, &cp);
        } else if (*p < 0x80) {
            cp = *p++;
        } else {
            p = unicode::decode_utf8_char_bounded(p, e, &cp);
            if (cp < 0) p = nullptr;
        }
        if (!p) {
            h->tail = h->head + count * unit;
            throw_error(s, s.token_start, error_type);
        }
        const uint32_t need = unicode::unit_for_store(static_cast<uint32_t>(cp));
        if (need > unit) [[unlikely]] {
            h->tail = h->head + count * unit;
            h = string::widen(h, unit, need);
            unit = need;
            h = memory::ensure_tail_room(h->node, static_cast<uint32_t>(n - count) * unit);
            base = h->data() + h->head;
        }
        string::write_unit(base + static_cast<size_t>(count) * unit, unit, static_cast<uint32_t>(cp));
        ++count;
    }
    h->tail = h->head + count * unit;
}

// Percent-decoding of file and URL text: "%" and two hex digits give a byte;
// a byte that leads a UTF-8 sequence takes the escapes of its continuation
// bytes with it; a bad escape is copied as it stands. A url keeps the
// escapes of its delimiters ("%40", "%2F", "%23" ...) as they are written:
// decoded they would turn data into syntax (see url::reserved_q).
void load_percent_decoded(lexer_state& s, const uint8_t* p, const uint8_t* e, int32_t error_type, uint32_t type,
                          bool build) {
    const bool keep_reserved = type == types::url;
    const size_t n = static_cast<size_t>(e - p);
    if (n > max_text_units) fire(error_category::internal, "no-memory");
    memory::buffer_header* h = nullptr;
    if (build) {
        kel_value* out = new_cell(s);
        make_text(out, type, static_cast<uint32_t>(n), 1);
        h = string::buffer(out);
    }
    auto escape_at = [&](const uint8_t* q, uint8_t* byte) {
        if (e - q < 3 || q[0] != '%' || hex_table[q[1]] == 255 || hex_table[q[2]] == 255) return false;
        *byte = static_cast<uint8_t>(hex_table[q[1]] * 16 + hex_table[q[2]]);
        return true;
    };
    while (p < e) {
        int32_t cp = -1;
        uint8_t b;
        bool done = false;
        if (escape_at(p, &b)) {
            const int length = b >= 0xC0 ? unicode::utf8_seq_length(b) : 0;
            if (keep_reserved && url::reserved_q(b)) {
                if (h) {
                    for (int i = 0; i < 3; ++i) h = string::add_char(h, p[i]);
                }
                p += 3;
                continue;
            }
            if (length == 0) {
                cp = b;
                p += 3;
                done = true;
            } else {
                uint8_t bytes[4] = {b, 0, 0, 0};
                bool all = true;
                for (int i = 1; i < length && all; ++i) all = escape_at(p + 3 * i, &bytes[i]);
                if (all) {
                    unicode::decode_utf8_char_bounded(bytes, bytes + length, &cp);
                    if (cp < 0) throw_error(s, s.token_start, error_type);
                    p += 3 * length;
                    done = true;
                }
            }
        }
        if (!done) {
            if (*p < 0x80) {
                cp = *p++;
            } else {
                p = unicode::decode_utf8_char_bounded(p, e, &cp);
                if (cp < 0) throw_error(s, s.token_start, error_type);
            }
        }
        if (h) h = string::add_char(h, static_cast<uint32_t>(cp));
    }
}

// UTF-8 check of a name token (words, issues, refinements).
void check_utf8(lexer_state& s, const uint8_t* p, const uint8_t* e, int32_t error_type) {
    while (p < e) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        int32_t cp;
        p = unicode::decode_utf8_char_bounded(p, e, &cp);
        if (cp < 0) throw_error(s, s.token_start, error_type);
    }
}

// Recently made words by name: source text repeats its words, and a hit
// saves both the symbol lookup and the global context lookup. Symbol ids and
// global word indexes never change once made, so an entry never goes stale.
// A name of at most 16 bytes is known by its length and its first and last
// 8 bytes (they overlap below 16), so a lookup reads the name in at most four
// loads, hashes two machine words and compares two: no loop over its bytes,
// no call. Longer names, rare in source text, are not cached.
struct word_cache_entry {
    uint64_t first;  // the name's first 8 bytes (all of it, zero-padded, below 8)
    uint64_t last;   // its last 8 bytes (the same as first below 8)
    uint32_t symbol;
    uint32_t index;  // in the global context
    uint32_t context;
    uint32_t length;  // 0: empty entry
};
static_assert(sizeof(word_cache_entry) == 32);
constexpr size_t cached_name_max = 16;
// Two ways per set: the newest entry in way 0, the one it displaced in way 1.
constexpr uint32_t word_cache_sets = 4096;
word_cache_entry word_cache[word_cache_sets * 2];

struct name_key {
    uint64_t first;
    uint64_t last;
};

// The key of a name of 1 to 16 bytes; reads only the name's own bytes.
inline name_key key_of(const uint8_t* p, size_t n) {
    name_key k;
    if (n >= 8) {
        std::memcpy(&k.first, p, 8);
        std::memcpy(&k.last, p + n - 8, 8);
        return k;
    }
    uint64_t v;
    if (n >= 4) {  // two overlapping 4-byte loads: the bytes they share agree
        uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        v = head | (uint64_t{tail} << ((n - 4) * 8));
    } else {
        v = p[0] | (uint64_t{p[n / 2]} << (n / 2 * 8)) | (uint64_t{p[n - 1]} << ((n - 1) * 8));
    }
    k.first = k.last = v;
    return k;
}

inline uint32_t cache_set_of(const name_key& k, size_t n) {
    uint64_t h = k.first ^ (k.last * 0x9E3779B97F4A7C15u) ^ n;
    h *= 0xFF51AFD7ED558CCDu;
    h ^= h >> 32;
    return static_cast<uint32_t>(h) & (word_cache_sets - 1);
}

inline bool cached_q(const word_cache_entry& e, const name_key& k, size_t n, uint32_t context) {
    return e.length == n && e.first == k.first && e.last == k.last && e.context == context;
}

// A word of `kind` (word types, refinement!, issue!) named by [p, e).
void make_word(lexer_state& s, const uint8_t* p, const uint8_t* e, uint32_t kind) {
    const size_t n = static_cast<size_t>(e - p);
    if (kind == types::issue) {  // an issue is only a symbol: no global word for it
        const uint32_t sym = symbol::intern_part(reinterpret_cast<const char*>(p), static_cast<uint32_t>(n));
        kel_value* c = new_cell(s);
        c->header = (c->header & header_new_line) | types::issue;
        c->w1 = _context::global();
        c->w2 = sym;
        c->w3 = static_cast<uint32_t>(-1);
        return;
    }
    word_cache_entry* set = nullptr;
    name_key key{};
    const uint32_t global = _context::global();
    if (n && n <= cached_name_max) {
        key = key_of(p, n);
        set = &word_cache[cache_set_of(key, n) * 2];
        for (int way = 0; way < 2; ++way) {
            if (!cached_q(set[way], key, n, global)) continue;
            kel_value* c = new_cell(s);
            c->header = (c->header & header_new_line) | kind;
            c->w1 = global;
            c->w2 = set[way].symbol;
            c->w3 = set[way].index;
            return;
        }
    }
    const uint32_t sym = symbol::intern_part(reinterpret_cast<const char*>(p), static_cast<uint32_t>(n));
    kel_value* c = new_cell(s);
    word::init_cell(sym, c);
    if (set && c->w1 == global) {
        set[1] = set[0];
        set[0].symbol = sym;
        set[0].index = c->w3;
        set[0].context = global;
        set[0].length = static_cast<uint32_t>(n);
        set[0].first = key.first;
        set[0].last = key.last;
    }
    set_type(c, kind);
}

// --- structure --------------------------------------------------------------------

void scan_end_of_input(lexer_state& s, const uint8_t*, const uint8_t*, uint32_t, bool) { s.position = s.input_end; }

void scan_error(lexer_state& s, const uint8_t* start, const uint8_t*, uint32_t, bool) {
    const int32_t type = type_table[static_cast<uint32_t>(s.exit_state)];
    if (s.entry_state == s_braced && s.brace_start) start = s.brace_start;
    // A path that ends in "/" at the end of the input has no text of its own
    // left to quote: the error quotes the path from its first element.
    else if (s.entry_state == s_path_item && start >= s.input_end) start = nullptr;
    throw_error(s, start, type ? type : err_bad_char);
}

void scan_block_open(lexer_state& s, const uint8_t*, const uint8_t* end, uint32_t, bool) {
    open_series(s, types::block, end, end + 1);
}

void scan_block_close(lexer_state& s, const uint8_t*, const uint8_t* end, uint32_t, bool) {
    close_series(s, end, end + 1, types::block, false);
}

void scan_paren_open(lexer_state& s, const uint8_t*, const uint8_t* end, uint32_t, bool) {
    if (point_literal_q(s, end)) {
        s.point_lines = s.new_lines;
        s.entry_state = s_point;
        return;
    }
    open_series(s, types::paren, end, end + 1);
}

void scan_paren_close(lexer_state& s, const uint8_t*, const uint8_t* end, uint32_t, bool) {
    close_series(s, end, end + 1, types::paren, false);
}

void scan_map_open(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool) {
    if (*start != '#') throw_error(s, start, types::map);
    open_series(s, types::map, start, end + 1);
}

void scan_brace_open(lexer_state& s, const uint8_t*, const uint8_t* end, uint32_t flags, bool) {
    if (s.brace_depth == 0) {
        // The answer does not keep the string from being read: its text is
        // no source, and a callback that leaves blocks unopened (to read them
        // flat) would have it scanned as code.
        if (wants(s, ev_open)) fire_event(s, ev_open, types::string, nullptr, end, end + 1);
        s.brace_start = end;
        s.brace_flags = s.new_lines > 0 ? flag_new_line : 0;
    }
    s.brace_flags |= flags;
    ++s.brace_depth;
    s.entry_state = s_braced;
    s.type = 0;
}

void scan_brace_close(lexer_state& s, const uint8_t*, const uint8_t* end, uint32_t flags, bool load) {
    if (s.brace_depth <= 0) throw_error(s, end, err_bad_char);  // not reachable from the tables
    --s.brace_depth;
    if (s.brace_depth > 0) {
        s.brace_flags |= flags;
        s.type = 0;
        if (end + 1 >= s.input_end) throw_error(s, s.brace_start, types::string);
        return;
    }
    const uint32_t all = flags | s.brace_flags;
    const uint8_t* text = s.brace_start + 1;
    if (wants(s, ev_close)) fire_event(s, ev_close, types::string, nullptr, s.brace_start, end + 1);
    s.new_lines = (all & flag_new_line) ? 1 : 0;
    s.type = types::string;
    if (load) {
        bool keep = true;
        if (wants(s, ev_scan)) keep = fire_event(s, ev_scan, types::string, nullptr, s.brace_start, end + 1);
        if (keep) {
            const uint32_t before = s.tail;
            load_text(s, text, end, all, true, types::string, types::string, true);
            if (s.tail > before && wants(s, ev_load)) {
                const kel_value v = cells[before];
                fire_event(s, ev_load, types::string, &v, s.brace_start, end + 1);
            }
        }
    } else {
        load_text(s, text, end, all, true, types::string, types::string, false);
        if (wants(s, ev_scan)) fire_event(s, ev_scan, types::string, nullptr, s.brace_start, end + 1);
    }
    s.brace_start = nullptr;
    s.brace_flags = 0;
    s.entry_state = s_start;
}

void scan_path_head(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const uint32_t type = *start == '\'' ? types::lit_path : *start == ':' ? types::get_path : types::path;
    const uint32_t head_before = s.head;
    open_series(s, type, start, end);
    if (s.head == head_before) return;  // the callback left it unopened
    if (load) {
        const uint8_t* name = (*start == '\'' || *start == ':') ? start + 1 : start;
        bool keep = true;
        if (wants(s, ev_scan)) keep = fire_event(s, ev_scan, types::word, nullptr, start, end);
        if (keep) {
            check_utf8(s, name, end, types::word);
            if (name >= end) throw_error(s, start, types::path);
            const uint32_t before = s.tail;
            make_word(s, name, end, types::word);
            if (wants(s, ev_load)) {
                const kel_value v = cells[before];
                if (!fire_event(s, ev_load, types::word, &v, start, end)) s.tail = before;
            }
        }
    }
    s.entry_state = s_path_item;
}

// `#(name)`: the four constants, or a datatype named by a prefix of its name.
void scan_construct(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const uint8_t* text = start + 2;
    const size_t n = end > text ? static_cast<size_t>(end - text) : 0;
    auto prefix_of = [&](const char* name) {
        const size_t length = std::strlen(name);
        if (n > length) return false;
        for (size_t i = 0; i < n; ++i)
            if (lower(text[i]) != lower(static_cast<uint8_t>(name[i]))) return false;
        return true;
    };
    static const char* const constants[] = {"true", "false", "none", "unset"};
    for (int i = 0; i < 4; ++i) {
        if (!prefix_of(constants[i])) continue;
        if (n != std::strlen(constants[i])) throw_error(s, start, err_malconstruct);
        const uint32_t types_of[] = {types::logic, types::logic, types::none, types::unset};
        s.type = static_cast<int32_t>(types_of[i]);
        if (load) {
            kel_value* c = new_cell(s);
            const uint32_t nl = c->header & header_new_line;
            if (i < 2) set_logic(c, i == 0);
            else if (i == 2) set_none(c);
            else set_unset(c);
            c->header |= nl;
        }
        return;
    }
    for (uint32_t t = 1; t <= registry::highest_type_id && t < types::table_rows; ++t) {
        const registry::type_name_entry& entry = registry::type_names[t];
        if (!entry.name || !*entry.name) continue;
        if (!prefix_of(entry.name) || n > static_cast<size_t>(entry.length) + 1) continue;
        s.type = static_cast<int32_t>(t);
        if (load) {
            kel_value* c = new_cell(s);
            const uint32_t nl = c->header & header_new_line;
            set_datatype(c, t);
            c->header |= nl;
        }
        return;
    }
    throw_error(s, start, err_malconstruct);
}

void scan_comment_end(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool) {
    if (wants(s, ev_scan)) fire_event(s, ev_scan, -12, nullptr, start, end);
}

void scan_comma(lexer_state& s, const uint8_t*, const uint8_t* end, uint32_t, bool) {
    if (series_open_q(s)) {
        kel_value* m = innermost_marker(s);
        const uint32_t t = marker_series(m);
        if (t == types::point2d) {
            m->w2 += 1u << 16;
            return;
        }
        if (t == types::paren) {
            m->w2 = types::point2d | (1u << 16);
            return;
        }
    }
    throw_error(s, end, types::point2d);
}

// --- strings ----------------------------------------------------------------------

void scan_string(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool) {
    load_text(s, start + 1, end, flags, true, types::string, types::string, false);
}

void load_string(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    load_text(s, start + 1, end, flags, true, types::string, types::string, load);
}

void load_raw_string(lexer_state& s, const uint8_t* start, const uint8_t*, uint32_t flags, bool load) {
    const uint8_t* p = start;
    while (p < s.raw_content_end && *p == '%') ++p;
    if (!s.load) {  // scan-only: the callback sees the string open and close
        if (wants(s, ev_open)) fire_event(s, ev_open, types::string, nullptr, start, p + 1);
        if (wants(s, ev_close)) fire_event(s, ev_close, types::string, nullptr, start, s.position);
    }
    load_text(s, p + 1, s.raw_content_end, flags, false, types::string, types::string, load);
}

void load_char(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const uint8_t* p = start + 2;
    if (p >= end || end >= s.input_end || *end != '"') throw_error(s, start, types::char_);
    int32_t cp;
    if (*p == '^') {
        p = decode_escape(p + 1, end, &cp);
    } else {
        p = unicode::decode_utf8_char_bounded(p, end, &cp);
        if (cp < 0) p = nullptr;
    }
    if (!p || p != end || cp < 0 || cp >= 0x110000) throw_error(s, start, types::char_);
    if (!load) return;
    kel_value* c = new_cell(s);
    const uint32_t nl = c->header & header_new_line;
    set_char(c, static_cast<uint32_t>(cp));
    c->header |= nl;
}

void load_file(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    s.forced_type = types::file;
    if (end - start >= 2 && start[1] == '"') {
        if (end >= s.input_end || *end != '"') throw_error(s, start, types::file);
        load_text(s, start + 2, end, flags, true, types::file, types::file, load);
        return;
    }
    load_percent_decoded(s, start + 1, end, types::file, types::file, load);
}

// A url's "^(" and "^)" stand for its parens, which would end it written
// as they are (and "%28" and "%29" are kept as written, as the escapes of
// the other delimiters are): the text goes on with the parens in place.
void load_url(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    if (*start == ':') throw_error(s, start, types::get_word);
    if (*start == '\'') throw_error(s, start, types::lit_word);
    s.forced_type = types::url;
    std::string parens;
    if (flags & flag_caret) {
        parens.reserve(static_cast<size_t>(end - start));
        for (const uint8_t* p = start; p < end; ++p) {
            if (*p == '^' && p + 1 < end && (p[1] == '(' || p[1] == ')')) ++p;
            parens.push_back(static_cast<char>(*p));
        }
        start = reinterpret_cast<const uint8_t*>(parens.data());
        end = start + parens.size();
    }
    if (flags & flag_percent) load_percent_decoded(s, start, end, types::url, types::url, load);
    else load_text(s, start, end, flags & ~flag_caret, false, types::url, types::url, load);
}

void load_email(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    s.forced_type = types::email;
    load_text(s, start, end, flags, false, types::email, types::email, load);
}

void load_ref(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    s.forced_type = types::ref;
    load_text(s, start + 1, end, flags, false, types::ref, types::ref, load);
}

void load_tag(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    if (*start != '<') throw_error(s, start, types::tag);
    s.forced_type = types::tag;
    load_text(s, start + 1, end, flags, false, types::tag, types::tag, load);
}

// --- words ------------------------------------------------------------------------

const uint8_t* cut_at_unicode_space(lexer_state& s, const uint8_t* p, const uint8_t* e) {
    while (p < e) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        int32_t cp;
        const uint8_t* next = unicode::decode_utf8_char_bounded(p, e, &cp);
        if (cp < 0) throw_error(s, s.token_start, types::word);
        if (unicode_space_q(static_cast<uint32_t>(cp))) return p;
        p = next;
    }
    return e;
}

void scan_word(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool) {
    if (flags & flags_non_ascii) {
        end = cut_at_unicode_space(s, start, end);
        s.token_end = end;
        s.position = end;
    }
    const size_t n = static_cast<size_t>(end - start);
    int32_t kind = types::word;
    if (n > 0) {
        const uint8_t first = *start;
        const uint8_t last = end[-1];
        if (first == ':') {
            kind = types::get_word;
            if (n > 1 && last == ':') throw_error(s, start, types::word);
        } else if (first == '\'') {
            kind = types::lit_word;
            if (last == ':') throw_error(s, start, types::lit_word);
        } else if (n > 1 && last == ':') {
            kind = types::set_word;
        }
    }
    // A ":" right after the word: only inside a path, where it makes a
    // set-path (check_path_end decides what may follow it).
    if (end < s.input_end && *end == ':') {
        const bool after_ok = end + 1 >= s.input_end || ends_path_q(end[1]) || end[1] == '/';
        if (s.entry_state != s_path_item || !after_ok) throw_error(s, start, types::word);
    }
    s.type = kind;
}

void load_word(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const uint32_t kind = static_cast<uint32_t>(s.forced_type > 0 ? s.forced_type : s.type);
    const uint8_t* p = start;
    const uint8_t* e = end;
    switch (kind) {
        case types::lit_word: case types::get_word: case types::refinement: case types::issue: ++p; break;
        case types::set_word: --e; break;
        default: break;
    }
    if (p >= e) throw_error(s, start, static_cast<int32_t>(kind));
    if (!load) return;
    make_word(s, p, e, kind);
}

void scan_issue(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool) {
    if (end - start < 2 || *start != '#') throw_error(s, start, types::issue);
    if (flags & flags_non_ascii) check_utf8(s, start, end, types::issue);
}

void load_refinement(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    const size_t n = static_cast<size_t>(end - start);
    static const uint8_t slash[] = {'/'};
    if (flags & flags_non_ascii) check_utf8(s, start, end, types::refinement);
    uint32_t kind = types::refinement;
    const uint8_t* p = start + 1;
    const uint8_t* e = end;
    if (n == 1 && *start == '/') {
        kind = types::word;
        p = slash;
        e = slash + 1;
    } else if (n == 2 && ((start[0] == '\'' || start[0] == ':') && start[1] == '/')) {
        kind = start[0] == '\'' ? types::lit_word : types::get_word;
        p = slash;
        e = slash + 1;
    } else if (n == 2 && start[0] == '/' && start[1] == ':') {
        kind = types::set_word;
        p = slash;
        e = slash + 1;
    } else if (n < 2 || *start != '/') {
        throw_error(s, start, types::refinement);
    }
    s.type = static_cast<int32_t>(kind);
    if (load) make_word(s, p, e, kind);
}

// --- numbers ------------------------------------------------------------------------

void load_integer_token(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    // The common case: at most 9 digits after an optional "-", no separators.
    if (load && !(flags & flag_quote) && end - start <= 9) {
        const uint8_t* p = start + (*start == '-' || *start == '+');
        int32_t v = 0;
        const uint8_t* q = p;
        while (q < end && is_digit(*q)) v = v * 10 + (*q++ - '0');
        if (q == end && p < end) {
            kel_value* c = new_cell(s);
            const uint32_t nl = c->header & header_new_line;
            set_integer(c, *start == '-' ? -v : v);
            c->header |= nl;
            return;
        }
    }
    const integer_literal r = kel::lexer::load_integer(reinterpret_cast<const char*>(start),
                                                       reinterpret_cast<const char*>(end));
    if (r.kind == integer_literal::integer_error) throw_error(s, start, types::integer);
    if (r.kind == integer_literal::float_error) throw_error(s, start, types::float_);
    if (r.kind == integer_literal::floating) s.type = types::float_;
    if (!load) return;
    kel_value* c = new_cell(s);
    const uint32_t nl = c->header & header_new_line;
    if (r.kind == integer_literal::integer) set_integer(c, r.integer_value);
    else set_float(c, r.float_value);
    c->header |= nl;
}

void load_float_token(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    double quick;
    if (load && simple_decimal(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(end), &quick)) {
        kel_value* c = new_cell(s);
        const uint32_t nl = c->header & header_new_line;
        set_float(c, quick);
        c->header |= nl;
        return;
    }
    const float_conversion r =
        kel::lexer::load_float(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(end), 0);
    if (r.error != number_error::none) throw_error(s, start, types::float_);
    if (!load) return;
    kel_value* c = new_cell(s);
    const uint32_t nl = c->header & header_new_line;
    set_float(c, r.value);
    c->header |= nl;
}

void load_percent(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const float_conversion r =
        kel::lexer::load_float(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(end), -2);
    if (r.error != number_error::none) throw_error(s, start, types::float_);
    if (!load) return;
    make_percent_value(new_cell(s), r.value);
}

void load_hex_integer(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const uint8_t* last = end - 1;  // the "h"
    const size_t digits = last > start ? static_cast<size_t>(last - start) : 0;
    if (!is_digit(*start) && digits <= 1) throw_error(s, start, types::word);
    if (digits < 2 || digits > 8 || *last != 'h') throw_error(s, start, types::integer);
    uint32_t value = 0;
    for (const uint8_t* p = start; p < last; ++p) {
        if (hex_table[*p] == 255) throw_error(s, start, types::integer);
        value = value * 16 + hex_table[*p];
    }
    if (!load) return;
    kel_value* c = new_cell(s);
    const uint32_t nl = c->header & header_new_line;
    set_integer(c, static_cast<int32_t>(value));
    c->header |= nl;
}

// An integer side of a pair: optional sign, digits with "'" separators,
// within 32 bits.
bool read_pair_side(const uint8_t* p, const uint8_t* e, int32_t* out) {
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int64_t v = 0;
    int digits = 0;
    for (; p < e; ++p) {
        if (*p == '\'') continue;
        if (!is_digit(*p) || ++digits > 10) return false;
        v = v * 10 + (*p - '0');
    }
    if (digits == 0) return false;
    if (negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

void load_pair(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    if (flags & flag_dot) throw_error(s, start, types::pair);
    const uint8_t* x = start;
    while (x < end && *x != 'x' && *x != 'X') ++x;
    int32_t a, b;
    if (x >= end || !read_pair_side(start, x, &a) || !read_pair_side(x + 1, end, &b))
        throw_error(s, start, types::pair);
    if (!load) return;
    make_pair_value(new_cell(s), a, b);
}

// `(x, y)` and `(x, y, z)`: the token runs from after "(" to the ")".
void load_point(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const uint8_t* open = start > s.input_start ? start - 1 : start;
    double coordinates[3];
    int count = 0;
    const uint8_t* p = start;
    for (;;) {
        const uint8_t* comma = p;
        while (comma < end && *comma != ',') ++comma;
        const uint8_t* a = p;
        const uint8_t* b = comma;
        while (a < b && (*a == ' ' || *a == '\t')) ++a;
        while (b > a && (b[-1] == ' ' || b[-1] == '\t')) --b;
        if (a == b || b - a > 312 || count == 3) throw_error(s, open, types::point2d);
        const float_conversion r =
            kel::lexer::load_float(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b), 0);
        if (r.error != number_error::none) throw_error(s, open, count == 2 ? types::point3d : types::point2d);
        coordinates[count++] = r.value;
        if (comma >= end) break;
        p = comma + 1;
    }
    if (count < 2) throw_error(s, open, types::point2d);
    if (end >= s.input_end || *end != ')') throw_error(s, open, count == 3 ? types::point3d : types::point2d);
    s.type = count == 3 ? types::point3d : types::point2d;
    if (!load) return;
    make_point_value(new_cell(s), coordinates, count);
}

// Digits with "'" separators as a whole number; false when there is none or
// it passes max.
bool read_field(const uint8_t* p, const uint8_t* e, int64_t max, int64_t* out) {
    int64_t v = 0;
    bool any = false;
    for (; p < e; ++p) {
        if (*p == '\'') continue;
        if (!is_digit(*p)) return false;
        v = v * 10 + (*p - '0');
        if (v > max) return false;
        any = true;
    }
    *out = v;
    return any;
}

// The seconds of a time whose hours pass what the float sum below keeps
// exact, so that every time mold writes comes back as the same float: the
// whole number hours x 3600 + minutes x 60 + whole seconds is worked out in
// decimal digits, the fraction written after it and the text read as one
// float. NaN when a field is not digits or the time is beyond a float.
double long_time_seconds(const uint8_t* hours, const uint8_t* hours_end, int64_t minutes, const uint8_t* sec,
                         const uint8_t* sec_end) {
    constexpr double invalid = std::numeric_limits<double>::quiet_NaN();
    constexpr size_t most_digits = 330;  // 10^330 hours are no finite time
    uint8_t digits[most_digits + 24];    // lowest first
    size_t count = 0;
    while (hours < hours_end && (*hours == '0' || *hours == '\'')) ++hours;
    for (const uint8_t* q = hours_end; q > hours;) {
        const uint8_t c = *--q;
        if (c == '\'') continue;
        if (!is_digit(c)) return invalid;
        digits[count++] = uint8_t(c - '0');
        if (count > most_digits) return invalid;
    }
    const uint8_t* point = sec;
    while (point < sec_end && *point != '.' && *point != ',') ++point;
    int64_t whole_seconds = 0;
    if (sec < sec_end && !read_field(sec, point, INT32_MAX, &whole_seconds)) return invalid;
    for (const uint8_t* q = point < sec_end ? point + 1 : sec_end; q < sec_end; ++q)
        if (!is_digit(*q)) return invalid;
    uint64_t carry = uint64_t(minutes) * 60 + uint64_t(whole_seconds);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t v = uint64_t(digits[i]) * 3600 + carry;
        digits[i] = uint8_t(v % 10);
        carry = v / 10;
    }
    for (; carry; carry /= 10) digits[count++] = uint8_t(carry % 10);
    char text[most_digits + 24 + 320];
    size_t length = 0;
    while (count > 1 && digits[count - 1] == 0) --count;
    for (size_t i = count; i > 0; --i) text[length++] = char('0' + digits[i - 1]);
    if (point < sec_end && sec_end - point > 1) {
        if (size_t(sec_end - point) > 320) return invalid;
        text[length++] = '.';
        for (const uint8_t* q = point + 1; q < sec_end; ++q) text[length++] = char(*q);
    }
    const float_conversion r = kel::lexer::load_float(text, text + length, 0);
    if (r.error != number_error::none || !std::isfinite(r.value)) return invalid;
    return r.value;
}

// `h:m`, `h:m:s`, `h:m:s.f` and `m:s.f`, with an optional sign.
void load_time(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load) {
    if (flags & flag_exponent) throw_error(s, start, types::time);
    const uint8_t* p = start;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const uint8_t* c1 = p;
    while (c1 < end && *c1 != ':') ++c1;
    if (c1 >= end) throw_error(s, start, types::time);
    const uint8_t* f2 = c1 + 1;
    const uint8_t* f2_end = f2;
    while (f2_end < end && *f2_end != ':' && *f2_end != '.' && *f2_end != ',') ++f2_end;
    int64_t first = 0, second = 0;
    double seconds = 0;
    double total = 0;
    if (!read_field(f2, f2_end, INT32_MAX, &second)) throw_error(s, start, types::time);
    if (!read_field(p, c1, INT32_MAX, &first)) {
        // Hours past 2^31: `h:m` or `h:m:s[.f]`, read exactly.
        const bool with_seconds = f2_end < end && *f2_end == ':';
        if (f2_end < end && !with_seconds) throw_error(s, start, types::time);
        total = long_time_seconds(p, c1, second, with_seconds ? f2_end + 1 : end, end);
        if (std::isnan(total) || (with_seconds && f2_end + 1 >= end)) throw_error(s, start, types::time);
        if (negative) total = -total;
        if (load) time::init_cell(total, new_cell(s));
        return;
    }
    auto read_seconds = [&](const uint8_t* a, const uint8_t* b) {
        char text[time::longest_seconds_text];
        if (a >= b || size_t(b - a) > sizeof text) throw_error(s, start, types::time);
        for (const uint8_t* q = a; q < b; ++q) {
            if (*q == ':') throw_error(s, start, types::time);
            text[q - a] = *q == ',' ? '.' : static_cast<char>(*q);
        }
        const float_conversion r = kel::lexer::load_float(text, text + (b - a), 0);
        if (r.error != number_error::none || !(r.value >= 0)) throw_error(s, start, types::time);
        return r.value;
    };
    if (f2_end >= end) {
        total = static_cast<double>(first) * 3600 + static_cast<double>(second) * 60;  // h:m
    } else if (*f2_end == ':') {
        seconds = read_seconds(f2_end + 1, end);  // h:m:s[.f]
        total = static_cast<double>(first) * 3600 + static_cast<double>(second) * 60 + seconds;
    } else {
        seconds = read_seconds(f2, end);  // m:s.f
        total = static_cast<double>(first) * 60 + seconds;
    }
    if (negative) total = -total;
    if (!load) return;
    kel_value* c = new_cell(s);
    time::init_cell(total, c);
}

// --- binaries ---------------------------------------------------------------------------

void load_binary(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    const uint8_t* p = start;
    int base = 0;
    int base_digits = 0;
    while (p < end && is_digit(*p)) {
        if (++base_digits > 3) throw_error(s, start, types::binary);
        base = base * 10 + (*p++ - '0');
    }
    if (base_digits == 0) base = 16;
    if ((base != 2 && base != 16 && base != 64) || end - p < 2 || p[0] != '#' || p[1] != '{')
        throw_error(s, start, types::binary);
    p += 2;
    const size_t length = static_cast<size_t>(end - p);
    if (length > max_text_units) fire(error_category::internal, "no-memory");
    // At most one byte per character: the bytes go to a small local buffer,
    // or for a long text straight into the new binary (nowhere when only
    // checking).
    uint8_t small[256];
    uint8_t* out = nullptr;
    kel_value* holder = nullptr;
    if (load && length <= sizeof small) {
        out = small;
    } else if (load) {
        holder = new_cell(s);
        make_binary_value(holder, nullptr, length);
        out = reinterpret_cast<uint8_t*>(string::buffer(holder)->head_ptr());
    }
    size_t count = 0;
    auto put = [&](uint32_t byte) {
        if (out) out[count] = static_cast<uint8_t>(byte);
        ++count;
    };
    auto skip_comment = [&](const uint8_t*& q) {
        while (q < end && *q != '\n') ++q;
    };
    auto blank = [](uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto fail = [&]() {
        if (holder) --s.tail;
        throw_error(s, start, types::binary);
    };
    if (base == 16) {
        int pending = -1;
        for (; p < end; ++p) {
            if (blank(*p)) continue;
            if (*p == ';') {
                skip_comment(p);
                if (p >= end) break;
                continue;
            }
            const uint8_t v = hex_table[*p];
            if (v == 255) fail();
            if (pending < 0) pending = v;
            else {
                put(static_cast<uint32_t>(pending * 16 + v));
                pending = -1;
            }
        }
        if (pending >= 0) fail();
    } else if (base == 2) {
        int bits = 0;
        uint32_t acc = 0;
        for (; p < end; ++p) {
            if (blank(*p)) continue;
            if (*p == ';') {
                skip_comment(p);
                if (p >= end) break;
                continue;
            }
            if (*p != '0' && *p != '1') fail();
            acc = (acc << 1) | static_cast<uint32_t>(*p - '0');
            if (++bits == 8) {
                put(acc);
                bits = 0;
                acc = 0;
            }
        }
        if (bits) fail();
    } else {
        auto value64 = [](uint8_t c) -> int {
            if (c >= 'A' && c <= 'Z') return c - 'A';
            if (c >= 'a' && c <= 'z') return c - 'a' + 26;
            if (c >= '0' && c <= '9') return c - '0' + 52;
            if (c == '+') return 62;
            if (c == '/') return 63;
            return -1;
        };
        uint32_t acc = 0;
        int chars = 0;
        bool padded = false;
        for (; p < end; ++p) {
            if (blank(*p)) continue;
            if (*p == ';') {
                skip_comment(p);
                if (p >= end) break;
                continue;
            }
            if (*p == '=') {
                if (!padded) {
                    if (chars < 2) fail();
                    if (chars == 2) put(acc >> 4);
                    else {
                        put(acc >> 10);
                        put(acc >> 2);
                    }
                    padded = true;
                    chars = 0;
                }
                continue;
            }
            const int v = value64(*p);
            if (v < 0 || padded) fail();
            acc = (acc << 6) | static_cast<uint32_t>(v);
            if (++chars == 4) {
                put(acc >> 16);
                put(acc >> 8);
                put(acc);
                acc = 0;
                chars = 0;
            }
        }
        if (chars) fail();
    }
    if (!load) return;
    if (holder) {
        memory::buffer_header* h = string::buffer(holder);
        h->tail = h->head + static_cast<uint32_t>(count);
        return;
    }
    make_binary_value(new_cell(s), small, count);
}

// --- forms whose values their datatype modules build --------------------------------------

void load_tuple(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    uint8_t parts[12];
    int count = 0;
    const uint8_t* p = start;
    while (p < end) {
        int value = 0;
        int digits = 0;
        while (p < end && is_digit(*p)) {
            value = value * 10 + (*p++ - '0');
            if (++digits > 3 || value > 255) throw_error(s, start, types::tuple);
        }
        if (digits == 0 || count == 12) throw_error(s, start, types::tuple);
        parts[count++] = static_cast<uint8_t>(value);
        if (p < end) {
            if (*p != '.') throw_error(s, start, types::tuple);
            ++p;
            if (p == end) {  // a trailing "." adds a last part 0
                if (count == 12) throw_error(s, start, types::tuple);
                parts[count++] = 0;
            }
        }
    }
    if (count < 3) throw_error(s, start, types::tuple);
    if (!load) return;
    make_tuple_value(s, new_cell(s), parts, count);
}

// --- dates ------------------------------------------------------------------------------

// A cursor over a date token; every read is bounded by its end.
struct cursor {
    const uint8_t* p;
    const uint8_t* e;
    bool at(uint8_t c) const { return p < e && *p == c; }
    bool take(uint8_t c) {
        if (!at(c)) return false;
        ++p;
        return true;
    }
    // Up to max digits (at least min); false when fewer than min.
    bool number(int min, int max, int32_t* out, int* count = nullptr) {
        int n = 0;
        int32_t v = 0;
        while (n < max && p < e && is_digit(*p)) {
            v = v * 10 + (*p++ - '0');
            ++n;
        }
        if (count) *count = n;
        *out = v;
        return n >= min;
    }
};

constexpr const char* month_names[12] = {"january", "february", "march",     "april",   "may",      "june",
                                         "july",    "august",   "september", "october", "november", "december"};
constexpr int8_t days_in_month[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool leap_year_q(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// hh:mm[:ss[.fff]] then an optional zone: Z, +hh, -hh, +hh:mm, +hhmm.
bool parse_time_part(cursor& c, date_fields& f) {
    int32_t h, m;
    if (!c.number(1, 2, &h) || !c.take(':') || !c.number(1, 2, &m)) return false;
    double seconds = 0;
    if (c.take(':')) {
        const uint8_t* a = c.p;
        int32_t whole;
        if (!c.number(1, 2, &whole)) return false;
        if (c.at('.') || c.at(',')) {
            ++c.p;
            while (c.p < c.e && is_digit(*c.p)) ++c.p;
        }
        char text[time::longest_seconds_text];
        const size_t n = static_cast<size_t>(c.p - a);
        if (n > sizeof text) return false;
        for (size_t i = 0; i < n; ++i) text[i] = a[i] == ',' ? '.' : static_cast<char>(a[i]);
        const float_conversion r = kel::lexer::load_float(text, text + n, 0);
        if (r.error != number_error::none) return false;
        seconds = r.value;
    }
    if (h >= 24 || m >= 60 || !(seconds < 60.0)) return false;
    f.time_given = true;
    f.seconds = h * 3600.0 + m * 60.0 + seconds;
    if (c.take('Z')) {
        f.zone_given = true;
    } else if (c.at('+') || c.at('-')) {
        const bool negative = *c.p++ == '-';
        int32_t zh, zm = 0;
        int digits;
        if (!c.number(1, 4, &zh, &digits)) return false;
        if (digits > 2) {  // +hhmm
            if (digits != 4) return false;
            zm = zh % 100;
            zh /= 100;
        } else if (c.take(':')) {
            if (!c.number(2, 2, &zm)) return false;
        }
        if (zh > 15 || zm >= 60) return false;
        f.zone_given = true;
        f.zone_hours = negative ? -zh : zh;
        f.zone_minutes = negative ? -zm : zm;  // -00:30 keeps its sign here
    }
    return c.p == c.e;
}

// Years of every date! (five digits at most) are read, so that any date
// mold writes loads back.
constexpr int year_field_digits = 5;

int leading_digits(const uint8_t* p, const uint8_t* e) {
    int n = 0;
    while (p + n < e && is_digit(p[n])) ++n;
    return n;
}

bool check_date(const date_fields& f) {
    if (f.year < date::lowest_year || f.year > date::highest_year) return false;
    if (f.week || f.yearday) return true;
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > days_in_month[f.month - 1]) return false;
    return !(f.month == 2 && f.day == 29 && !leap_year_q(f.year));
}

bool parse_date(const uint8_t* start, const uint8_t* end, date_fields& f) {
    cursor c{start, end};
    const bool four = end - start >= 5 && is_digit(start[0]) && is_digit(start[1]) && is_digit(start[2]) &&
                      is_digit(start[3]);
    // A d-m-y field has at most year_field_digits digits, so a longer
    // leading run can only be the basic form's yyyymmdd.
    if (four && leading_digits(start, end) > year_field_digits) {  // yyyymmddThhmm[ss[.f]][Z|+hh[mm]]
        int32_t y, mo, d, h, mi, sec = 0;
        if (!c.number(4, 4, &y) || !c.number(2, 2, &mo) || !c.number(2, 2, &d) || !c.take('T') ||
            !c.number(2, 2, &h) || !c.number(2, 2, &mi))
            return false;
        double fraction = 0;
        if (c.p < c.e && is_digit(*c.p)) {
            if (!c.number(2, 2, &sec)) return false;
            if (c.at('.') || c.at(',')) {
                const uint8_t* a = c.p;
                ++c.p;
                while (c.p < c.e && is_digit(*c.p)) ++c.p;
                char text[64] = "0";
                const size_t n = static_cast<size_t>(c.p - a);
                if (n + 1 >= sizeof text) return false;
                for (size_t i = 0; i < n; ++i) text[1 + i] = a[i] == ',' ? '.' : static_cast<char>(a[i]);
                const float_conversion r = kel::lexer::load_float(text, text + n + 1, 0);
                if (r.error != number_error::none) return false;
                fraction = r.value;
            }
        }
        f.year = y;
        f.month = mo;
        f.day = d;
        if (h >= 24 || mi >= 60 || sec >= 60) return false;
        f.time_given = true;
        f.seconds = h * 3600.0 + mi * 60.0 + sec + fraction;
        if (c.take('Z')) {
            f.zone_given = true;
        } else if (c.at('+') || c.at('-')) {
            const bool negative = *c.p++ == '-';
            int32_t zh, zm = 0;
            if (!c.number(2, 2, &zh)) return false;
            if (c.p < c.e && !c.number(2, 2, &zm)) return false;
            if (zh > 15 || zm >= 60) return false;
            f.zone_given = true;
            f.zone_hours = negative ? -zh : zh;
            f.zone_minutes = negative ? -zm : zm;  // -00:30 keeps its sign here
        }
        return c.p == c.e && check_date(f);
    }
    if (four && start[4] == '-' && end - start >= 8) {
        const uint8_t* q = start + 5;
        if (*q == 'W') {  // yyyy-Www[-d][Thh:mm...]
            int32_t y, w, d = 1;
            c.number(4, 4, &y);
            c.p = q + 1;
            if (!c.number(2, 2, &w) || w < 1 || w > 53) return false;
            if (c.take('-') && (!c.number(1, 1, &d) || d < 1 || d > 7)) return false;
            f.year = y;
            f.month = f.day = 1;
            f.week = w;
            f.weekday = d;
            if (c.take('T') && !parse_time_part(c, f)) return false;
            return c.p == c.e && check_date(f);
        }
        if (is_digit(q[0]) && is_digit(q[1]) && is_digit(q[2]) && (q + 3 == end || q[3] == 'T')) {  // yyyy-ddd
            int32_t y, d;
            c.number(4, 4, &y);
            c.p = q;
            c.number(3, 3, &d);
            if (d < 1 || d > (leap_year_q(y) ? 366 : 365)) return false;
            f.year = y;
            f.month = f.day = 1;
            f.yearday = d;
            if (c.take('T') && !parse_time_part(c, f)) return false;
            return c.p == c.e && check_date(f);
        }
    }
    // d-m-y, y-m-d, and the same with "/".
    int32_t first, last, month = 0;
    int first_digits, last_digits;
    const bool first_negative = c.take('-');
    if (!c.number(1, year_field_digits, &first, &first_digits)) return false;
    if (!(c.at('-') || c.at('/'))) return false;
    const uint8_t separator = *c.p++;
    if (c.p < c.e && is_digit(*c.p)) {
        if (!c.number(1, 2, &month)) return false;
    } else {
        const uint8_t* a = c.p;
        while (c.p < c.e && ((*c.p >= 'a' && *c.p <= 'z') || (*c.p >= 'A' && *c.p <= 'Z'))) ++c.p;
        const size_t n = static_cast<size_t>(c.p - a);
        if (n < 3 || n > 9) return false;
        for (int i = 0; i < 12 && !month; ++i) {
            if (std::strlen(month_names[i]) < n) continue;
            bool same = true;
            for (size_t k = 0; k < n && same; ++k) same = lower(a[k]) == static_cast<uint8_t>(month_names[i][k]);
            if (same) month = i + 1;
        }
        if (!month) return false;
    }
    if (!c.take(separator)) return false;
    const bool last_negative = c.take('-');
    if (!c.number(1, year_field_digits, &last, &last_digits)) return false;
    if (first_negative) first = -first;
    if (last_negative) last = -last;
    int32_t year_digits;
    if (first >= 100 && last >= 0 && last <= 31) {
        f.year = first;
        f.day = last;
        year_digits = first_digits;
    } else {
        f.day = first;
        f.year = last;
        year_digits = last_digits;
    }
    if (f.year >= 0 && f.year <= 99 && year_digits <= 2) f.year += f.year < 50 ? 2000 : 1900;
    f.month = month;
    if ((c.take('/') || c.take('T')) && !parse_time_part(c, f)) return false;
    return c.p == c.e && check_date(f);
}

void load_date(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    date_fields f;
    if (!parse_date(start, end, f)) throw_error(s, start, types::date);
    if (!load) return;
    make_date_value(s, new_cell(s), f);
}

// --- money ------------------------------------------------------------------------------

bool parse_money(const uint8_t* p, const uint8_t* e, money_fields& f) {
    if (p < e && (*p == '+' || *p == '-')) f.negative = *p++ == '-';
    if (p < e && *p != '$') {
        for (int i = 0; i < 3; ++i) {
            if (p >= e || !((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) return false;
            f.currency[i] = static_cast<char>(*p++);
        }
    }
    if (p >= e || *p++ != '$') return false;
    if (p >= e || !is_digit(*p)) return false;  // not the end, ".", "," or "'"
    while (p < e && *p == '0' && p + 1 < e && (is_digit(p[1]) || p[1] == '\'')) {
        ++p;
        if (p < e && *p == '\'') ++p;
    }
    int n = 0;
    bool separator = false;
    for (; p < e && *p != '.' && *p != ','; ++p) {
        if (*p == '\'') {
            if (separator) return false;
            separator = true;
            continue;
        }
        if (!is_digit(*p) || n == money::integer_digits) return false;
        separator = false;
        f.integer_digits[n++] = static_cast<char>(*p);
    }
    if (separator) return false;  // a "'" at the end or before the point
    if (p < e) {
        ++p;
        int k = 0;
        for (; p < e; ++p) {
            if (!is_digit(*p) || k == 5) return false;
            f.fraction_digits[k++] = static_cast<char>(*p);
        }
        if (k == 0) return false;  // "$1."
    }
    return true;
}

void load_money(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t, bool load) {
    money_fields f;
    if (!parse_money(start, end, f)) throw_error(s, start, types::money);
    if (!load) return;
    if (!make_money_value(new_cell(s), f)) {
        --s.tail;  // the cell is given back before the error
        throw_error(s, start, types::money);
    }
}

}  // namespace

// --- shared with the engine ---------------------------------------------------------------

const uint8_t* skip_unicode_spaces(lexer_state& s, const uint8_t* p, const uint8_t* end) {
    while (p < end) {
        if (*p < 0x80) return p;
        int32_t cp;
        const uint8_t* next = unicode::decode_utf8_char_bounded(p, end, &cp);
        if (cp < 0) throw_error(s, p, types::word);
        if (!unicode_space_q(static_cast<uint32_t>(cp))) return p;
        p = next;
    }
    return p;
}

// Whether a raw string that closed just before p ends there, as the state
// machine ends a closing run.
bool ends_raw_string_q(const uint8_t* p, const uint8_t* input_end) {
    return p >= input_end || transitions[s_raw_close_percent][class_table[*p] & 0xFFu] == t_raw_string;
}

// The first "}" followed by as many "%" as opened the string ends it; a
// shorter run is content, a longer one is an error. The token the state
// machine found ends at a closing run and a delimiter, but that run may be a
// shorter one, so the search goes on past the token when needed.
void find_raw_string_end(lexer_state& s, const uint8_t* start, const uint8_t* end) {
    size_t opening = 0;
    while (start + opening < end && start[opening] == '%') ++opening;
    int32_t lines = 0;  // line feeds past the token: the engine counted the rest
    for (const uint8_t* q = start + opening + 1; q < s.input_end; ++q) {
        if (q >= end) {
            const uint32_t cls = class_table[*q] & 0xFFu;
            if (cls == c_invalid || cls == c_end) break;
            if (*q == '\n') ++lines;
        }
        if (*q != '}') continue;
        size_t run = 0;
        while (q + 1 + run < s.input_end && q[1 + run] == '%') ++run;
        if (run < opening) continue;
        const uint8_t* const after = q + 1 + run;
        if (run > opening || after < end || (after > end && !ends_raw_string_q(after, s.input_end))) break;
        s.raw_content_end = q;
        s.position = after;
        s.line += lines;
        return;
    }
    throw_error(s, start, types::string);
}

// Index = token state - 66.
const token_fn scanners[token_count] = {
    scan_end_of_input,  // end-of-input
    scan_error,         // error
    scan_block_open,    // block-open
    scan_block_close,   // block-close
    scan_paren_open,    // paren-open
    scan_paren_close,   // paren-close
    scan_brace_open,    // brace-open
    scan_brace_close,   // brace-close
    scan_map_open,      // map-open
    scan_path_head,     // path-head
    scan_construct,     // construct
    scan_comment_end,   // comment-end
    scan_comma,         // comma
    scan_string,        // string
    scan_word,          // word
    scan_issue,         // issue
    nullptr,            // integer
    nullptr,            // refinement
    nullptr,            // char
    nullptr,            // file
    nullptr,            // binary
    nullptr,            // percent
    nullptr,            // float
    nullptr,            // float-special
    nullptr,            // tuple
    nullptr,            // date
    nullptr,            // pair
    nullptr,            // point
    nullptr,            // time
    nullptr,            // money
    nullptr,            // tag
    nullptr,            // url
    nullptr,            // email
    nullptr,            // hex-integer
    nullptr,            // raw-string
    nullptr,            // ref
};

const token_fn loaders[token_count] = {
    nullptr,             // end-of-input
    nullptr,             // error
    nullptr,             // block-open
    nullptr,             // block-close
    nullptr,             // paren-open
    nullptr,             // paren-close
    nullptr,             // brace-open
    nullptr,             // brace-close
    nullptr,             // map-open
    nullptr,             // path-head
    nullptr,             // construct
    nullptr,             // comment-end
    nullptr,             // comma
    load_string,         // string
    load_word,           // word
    load_word,           // issue
    load_integer_token,  // integer
    load_refinement,     // refinement
    load_char,           // char
    load_file,           // file
    load_binary,         // binary
    load_percent,        // percent
    load_float_token,    // float
    load_float_token,    // float-special
    load_tuple,          // tuple
    load_date,           // date
    load_pair,           // pair
    load_point,          // point
    load_time,           // time
    load_money,          // money
    load_tag,            // tag
    load_url,            // url
    load_email,          // email
    load_hex_integer,    // hex-integer
    load_raw_string,     // raw-string
    load_ref,            // ref
};

}  // namespace kel::lexer
