// lexer_engine: the lexer's main loop, the nesting of series, paths, events,
// syntax errors and the entry points (see lexer.h for the contract and
// lexer_internal.h for the invariants).
//
// One pass of the main loop reads one token: each byte is classified through
// the byte table and moves the state machine; the first token state ends the
// pass without consuming its byte. Leading blanks are counted while the
// machine is still in the start state, so the token starts after them. The
// token state then selects a scanner (structure: brackets, braces, paths,
// comments) and/or a loader (a literal's value) from two tables indexed by
// token state. Nothing is allocated per token except the values themselves.
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/string_api.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/stack.h"
#include "kernel/catalog.h"
#include "kernel/collector.h"
#include "kernel/fatal.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"
#include "kernel/unicode.h"
#include "services/lexer_internal.h"

namespace kel::lexer {

namespace {

// Every end-of-input transition leads to a token state: a scan always ends.
constexpr bool end_always_ends() {
    for (int s = 0; s < scan_state_count; ++s)
        if (transitions[s][c_end] < first_token) return false;
    return true;
}
static_assert(end_always_ends());
// The blank skip passes spaces and tabs over without the tables.
static_assert(class_table[' '] == c_blank && class_table['\t'] == c_blank && transitions[s_start][c_blank] == s_start);

constexpr uint32_t initial_cells = 1000;
constexpr uint32_t max_cells = 1u << 26;  // 1 GiB of cells
constexpr size_t scratch_initial = 100000;
// Byte offsets of opening tokens are kept in 32 bits.
constexpr size_t max_input = 0xFFFFFF00u;

uint8_t* scratch = nullptr;
size_t scratch_size = 0;
size_t scratch_used = 0;

lexer_state* chain_first = nullptr;
lexer_state* chain_last = nullptr;
int chain_depth = 0;

void ensure_buffers() {
    if (!cells) {
        cells = static_cast<kel_value*>(heap::allocate(initial_cells * sizeof(kel_value)));
        cell_capacity = initial_cells;
    }
    if (!scratch) {
        scratch = static_cast<uint8_t*>(heap::allocate(scratch_initial));
        scratch_size = scratch_initial;
    }
}

bool in_path_q(const lexer_state& s) {
    return series_open_q(s) && in_family(marker_series(innermost_marker(s)), family::path);
}

const uint8_t* opening_of(const lexer_state& s) {
    return series_open_q(s) ? s.input_start + innermost_marker(s)->w3 : s.input_start;
}

// --- events -----------------------------------------------------------------------

// Characters (string! input) or bytes (binary! or bare input) from the start
// of the text to p, counted from the last position asked for when possible,
// backwards too: an event asks for its token's end and then its start (a
// close, for the opening bracket), and counting those from the head of the
// text each time would make a line of many tokens take square time.
int64_t char_offset(lexer_state& s, const uint8_t* p) {
    if (p < s.input_start) p = s.input_start;
    if (p > s.input_end) p = s.input_end;
    if (!s.has_input || type_of(&s.input) == types::binary) return p - s.input_start;
    if (p < s.char_cache_position) {
        if (s.char_cache_position - p <= p - s.input_start) {
            s.char_cache_count -= static_cast<int64_t>(unicode::count_utf8_chars(p, s.char_cache_position));
            s.char_cache_position = p;
            return s.char_cache_count;
        }
        s.char_cache_position = s.input_start;
        s.char_cache_count = 0;
    }
    s.char_cache_count += static_cast<int64_t>(unicode::count_utf8_chars(s.char_cache_position, p));
    s.char_cache_position = p;
    return s.char_cache_count;
}

// The callback's structural types (see set_exit_states); a root cell, or
// the member it is read from.
kel_value exit_states{};
const kel_value* (*exit_states_source)() = nullptr;

void type_value(int32_t type, kel_value* out) {
    if (type > 0) {
        set_datatype(out, static_cast<uint32_t>(type));
        return;
    }
    set_none(out);
    if (type == 0) return;
    const kel_value* from = exit_states_source ? exit_states_source() : &exit_states;
    if (!from || type_of(from) != types::block) return;
    kel_value states = *from;
    const int32_t index = -1 - type;
    if (index < block::ks_length_q(&states)) *out = block::ks_head(&states)[index];
}

// --- near text and the error values ------------------------------------------------

// The source quoted by a syntax error goes to a terminal: control characters
// take their mold escapes (an ESC sequence in a hostile script must not reach
// the terminal raw) and a byte that is not UTF-8 shows as ^(XX).
void text_value(kel_value* out, const uint8_t* p, const uint8_t* e) {
    string::make_at_unit(out, static_cast<uint32_t>(e - p) + 1, 1);
    memory::buffer_header* h = string::buffer(out);
    uint32_t escape[12];
    while (p < e) {
        int32_t cp;
        const uint8_t* next = unicode::decode_utf8_char_bounded(p, e, &cp);
        int n = 1;
        if (cp < 0 || next <= p) {
            static const char hex[] = "0123456789ABCDEF";
            escape[0] = '^';
            escape[1] = '(';
            escape[2] = static_cast<uint8_t>(hex[*p >> 4]);
            escape[3] = static_cast<uint8_t>(hex[*p & 15]);
            escape[4] = ')';
            n = 5;
            next = p + 1;
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            n = string::escape_char(static_cast<uint32_t>(cp), false, escape);
        } else {
            escape[0] = static_cast<uint32_t>(cp);
        }
        for (int i = 0; i < n; ++i) h = string::add_char(h, escape[i]);
        p = next;
    }
}

void ascii_value(kel_value* out, const char* text) {
    const size_t n = std::strlen(text);
    string::make_at_unit(out, static_cast<uint32_t>(n) + 1, 1);
    memory::buffer_header* h = string::buffer(out);
    std::memcpy(h->data() + h->tail, text, n);
    h->tail += static_cast<uint32_t>(n);
}

// The characters near an error: whole characters from start while the next
// one begins less than 30 bytes after start, before a line feed and before
// the end of the text.
const uint8_t* near_end(const lexer_state& s, const uint8_t* start) {
    const uint8_t* p = start;
    // A CR that ends a line (CR LF) stays out as well: it would show as a
    // stray control character in the message.
    while (p < s.input_end && p - start < 30 && *p != '\n' && *p != 0 &&
           !(*p == '\r' && p + 1 < s.input_end && p[1] == '\n')) {
        int32_t cp;
        const uint8_t* next = unicode::decode_utf8_char_bounded(p, s.input_end, &cp);
        p = next > p ? next : p + 1;
    }
    return p;
}

bool point_literal_ahead(const lexer_state& s, const uint8_t* open);

// Closes every open block and paren (quietly) and drops the other markers
// with their cells, so that what was loaded so far stays consistent.
void close_all(lexer_state& s) {
    while (series_open_q(s)) {
        const uint32_t t = marker_series(innermost_marker(s));
        if (s.load && (t == types::block || t == types::paren)) {
            close_series(s, s.token_start, s.token_end, -1, true);
        } else {
            const uint32_t marker = s.head - 1;
            s.head = marker - cells[marker].w1;
            s.tail = marker;
        }
    }
}

void check_path_end(lexer_state& s) {
    const uint8_t* p = s.position;
    if (p >= s.input_end || ends_path_q(*p)) {
        int32_t type = -1;
        if (p < s.input_end && *p == ':') {
            if (p + 1 < s.input_end && p[1] == '/') throw_error(s, nullptr, types::path);
            type = types::set_path;
        }
        close_series(s, s.token_start, p, type, false);
        if (type == types::set_path) s.position = p + 1;
        return;
    }
    // The path goes on past this byte ("/" or any other byte that does not end it).
    if (p + 1 >= s.input_end) throw_error(s, nullptr, types::path);
    s.position = p + 1;
}

// The byte after the Unicode space that starts at p, or null when no
// Unicode space (or no whole UTF-8 sequence) starts there.
const uint8_t* after_unicode_space(const uint8_t* p, const uint8_t* end) {
    int32_t cp;
    const uint8_t* const next = unicode::decode_utf8_char_bounded(p, end, &cp);
    return cp >= 0 && unicode_space_q(static_cast<uint32_t>(cp)) ? next : nullptr;
}

// The main loop: one pass per token.
void scan_tokens(lexer_state& s, bool* ended_at_end) {
    const uint8_t* const end = s.input_end;
    int32_t carried_lines = 0;  // line feeds before Unicode spaces that were skipped
    for (;;) {
        const uint8_t* p = s.position;
        uint32_t state = static_cast<uint32_t>(s.entry_state);
        uint32_t previous = state;
        uint32_t flags = 0;
        // The line feeds among the blanks are counted as they are skipped:
        // counting them again afterwards cost a second read of every blank
        // byte of a pass that crossed a line.
        int32_t blank_lines = 0;
        // The blanks the start state skips (skip_table: exactly the bytes
        // that keep it in the start state) are passed over first, so the
        // token starts after them.
        // Unicode spaces are blanks as well: a token after them is read from
        // its own first byte.
        if (state == s_start) {
            while (p < end) {
                // Indentation is most of the blanks: a space or a tab keeps the
                // start state and adds no flag, so it needs no table read.
                if (*p == ' ' || *p == '\t') {
                    ++p;
                    continue;
                }
                const uint32_t entry = class_table[*p];
                if (transitions[s_start][entry & 0xFFu] != s_start) {
                    const uint8_t* const next = *p >= 0x80 ? after_unicode_space(p, end) : nullptr;
                    if (!next) break;
                    p = next;
                    continue;
                }
                flags |= entry;
                blank_lines += static_cast<int32_t>((entry & flag_line) != 0);
                ++p;
            }
        }
        const uint8_t* const token_start = p;
        // The flags of the token's own bytes, apart: only a line feed inside
        // the token asks for its bytes to be read again for the line count.
        uint32_t token_flags = 0;
        while (p < end) {
            const uint32_t entry = class_table[*p];
            previous = state;
            state = transitions[state][entry & 0xFFu];
            if (state >= first_token) {
                flags |= entry;  // the stop byte's flags are the token's, though the byte is not
                break;
            }
            token_flags |= entry;
            ++p;
            // Most bytes keep the state (the letters of a word, the digits of
            // a number, the text of a string): this loop's reads depend only
            // on the position, not on the state just read.
            const uint8_t* const row = transitions[state].data();
            while (p < end) {
                const uint32_t next = class_table[*p];
                if (row[next & 0xFFu] != state) break;
                token_flags |= next;
                ++p;
            }
        }
        flags |= token_flags;
        if (p >= end) {
            previous = state;
            state = transitions[state][c_end];
        }
        s.token_start = token_start;
        s.token_end = p;
        // The stop byte is never consumed, so a line feed there is counted
        // by the next pass. Only the line feeds before the token mark its
        // value; those inside a token (a binary's comment, a raw string) do
        // not.
        s.new_lines = blank_lines;
        int32_t inside = 0;
        if (token_flags & flag_line)
            for (const uint8_t* q = s.token_start; q < p; ++q) inside += *q == '\n';
        s.line += blank_lines + inside;
        s.new_lines += carried_lines;
        carried_lines = 0;
        flags &= ~0xFFu;
        s.exit_state = static_cast<int32_t>(previous);
        s.forced_type = -1;
        s.closing = 0;
        s.type = type_table[state];
        s.position = p + advance_table[state];
        if (state == t_point) {
            s.new_lines = s.point_lines;
            s.entry_state = s_start;
        } else if (state == t_file && previous == s_file_quoted) {
            s.position = p + 1;
        } else if (state == t_raw_string) {
            find_raw_string_end(s, s.token_start, p);
        } else if (state == t_end_of_input) {
            s.position = end;
        }

        // A path element that begins with Unicode spaces (the start state
        // skips them as blanks) is read again from the first byte after
        // them, as a token of its own kind; the line feeds before the spaces
        // still mark it.
        if (state == t_word && (flags & (flag_lead_2_3 | flag_lead_4))) {
            const uint8_t* const after = skip_unicode_spaces(s, s.token_start, p);
            if (after > s.token_start) {
                carried_lines = s.new_lines;
                s.position = after;
                continue;
            }
        }

        const uint32_t token = state - first_token;
        if (!s.load_mode && state <= t_string) {
            if (token_fn scanner = scanners[token]) scanner(s, s.token_start, s.token_end, flags, false);
        } else {
            bool process = s.load_mode;
            if (s.events && s.entry_state != s_braced) {
                const int32_t pre_type = s.type ? s.type : -static_cast<int32_t>(state - untyped_token_base);
                if (state == t_paren_open && point_literal_ahead(s, s.token_end)) process = true;
                else process = fire_event(s, ev_prescan, pre_type, nullptr, s.token_start, s.token_end);
            }
            if (process) {
                bool store = !(s.one && !s.load_mode);
                if (state < t_string) {
                    scanners[token](s, s.token_start, s.token_end, flags, s.load);
                } else {
                    const token_fn scanner = scanners[token];
                    const token_fn loader = loaders[token];
                    // Strings are checked again by their loader; the separate
                    // check is only worth it when a callback may veto the value.
                    const bool validate = scanner ? !(state == t_string && s.load && !s.events)
                                                  : !(s.load && !wants(s, ev_scan));
                    if (validate) {
                        if (scanner) scanner(s, s.token_start, s.token_end, flags, false);
                        else if (loader) loader(s, s.token_start, s.token_end, flags, false);
                    }
                    if (s.events) store = fire_event(s, ev_scan, s.type, nullptr, s.token_start, s.token_end);
                    if (store && loader && s.load) {
                        const uint32_t before = s.tail;
                        loader(s, s.token_start, s.token_end, flags, true);
                        if (s.tail > before && wants(s, ev_load)) {
                            const kel_value v = cells[before];
                            if (!fire_event(s, ev_load, s.type, &v, s.token_start, s.token_end)) s.tail = before;
                        }
                    }
                }
            } else if (s.position <= s.token_start && s.token_start < end) {
                // A token the callback passes over is still consumed: an
                // error token (a byte no token starts with) has no length,
                // and the scan would stand on it for ever.
                s.position = s.token_start + 1;
            }
        }
        if (s.redirect) {
            s.position = s.redirect;
            s.redirect = nullptr;
        }
        if (s.entry_state == s_path_item && state != t_path_head && state != t_error) check_path_end(s);
        if ((s.one || !s.load) && s.type > 0 && s.entry_state != s_path_item && s.entry_state != s_braced &&
            state != t_path_head) {
            const uint32_t n = s.tail - s.buffer_base;
            if (n == 0 || (n == 1 && type_of(cells + s.buffer_base) != marker_type)) return;
        }
        if (state == t_end_of_input) {
            *ended_at_end = true;
            return;
        }
        s.previous_type = s.type;
    }
}

// Unlinks a scan record on every way out of transcode_utf8.
struct chain_link {
    lexer_state& s;
    explicit chain_link(lexer_state& st) : s(st) {
        s.parent = chain_last;
        if (chain_last) chain_last->next = &s;
        else chain_first = &s;
        chain_last = &s;
        ++chain_depth;
    }
    ~chain_link() {
        chain_last = s.parent;
        if (s.parent) s.parent->next = nullptr;
        else chain_first = nullptr;
        --chain_depth;
    }
    chain_link(const chain_link&) = delete;
    chain_link& operator=(const chain_link&) = delete;
};

// Scratch room for the UTF-8 form of string input (and the copy of a binary
// a callback may change), given back on every exit.
struct scratch_room {
    uint8_t* data = nullptr;
    size_t size = 0;
    bool borrowed = false;
    explicit scratch_room(size_t need) {
        ensure_buffers();
        if (scratch_size - scratch_used >= need) {
            data = scratch + scratch_used;
            scratch_used += need;
            size = need;
            borrowed = true;
        } else {
            data = static_cast<uint8_t*>(heap::allocate(need));
        }
    }
    ~scratch_room() {
        if (borrowed) scratch_used -= size;
        else heap::free(data);
    }
    scratch_room(const scratch_room&) = delete;
    scratch_room& operator=(const scratch_room&) = delete;
};

bool point_literal_ahead(const lexer_state& s, const uint8_t* open) {
    const uint8_t* p = open + 1;
    if (s.input_end - p < 4) return false;
    for (; p < s.input_end; ++p) {
        switch (*p) {
            case '\t': case ' ': case '#': case '+': case '-': case '.': case 'A': case 'E': case 'F': case 'I':
            case 'N': case 'a': case 'e': case 'f': case 'i': case 'n':
                continue;
            default:
                if (*p >= '0' && *p <= '9') continue;
                return *p == ',';
        }
    }
    return true;
}

}  // namespace

kel_value* cells = nullptr;

void set_exit_states(const kel_value* block) {
    static bool rooted = false;
    if (!rooted) {
        collector::add_root_cell(&exit_states);
        rooted = true;
    }
    exit_states = *block;
    exit_states_source = nullptr;
}

void set_exit_states_source(const kel_value* (*source)()) { exit_states_source = source; }

uint32_t cell_capacity = 0;

void grow_cells() {
    if (cell_capacity >= max_cells) fire(error_category::internal, "no-memory");
    const uint32_t capacity = cell_capacity * 2;
    cells = static_cast<kel_value*>(heap::resize(cells, static_cast<size_t>(capacity) * sizeof(kel_value)));
    cell_capacity = capacity;
}

bool ends_path_q(uint8_t byte) {
    switch (class_table[byte] & 0xFFu) {
        case c_blank: case c_line: case c_open_bracket: case c_close_bracket: case c_open_paren:
        case c_close_paren: case c_open_brace: case c_dquote: case c_colon: case c_less: case c_semicolon:
        case c_word: case c_invalid: case c_end:
            return true;
        default:
            return false;
    }
}

bool point_literal_q(const lexer_state& s, const uint8_t* open) { return point_literal_ahead(s, open); }

// --- events -------------------------------------------------------------------------

bool fire_event(lexer_state& s, event e, int32_t type, const kel_value* value, const uint8_t* start,
                const uint8_t* end) {
    if (!wants(s, e)) return true;
    if (e == ev_scan && (type == types::point2d || type == types::point3d) && start > s.input_start) --start;
    if (e == ev_prescan) {
        if (type == types::point2d) {
            if (start > s.input_start) --start;
            if (end < s.input_end) ++end;
        }
        if (type == types::error && s.entry_state == s_braced && s.brace_start) start = s.brace_start;
    }
    const bool at_start = e == ev_open || (e == ev_prescan && type <= 0);
    kel_value input;
    int64_t original_head = 0;
    int64_t offset = 0;
    if (s.has_input) {
        input = s.input;
        original_head = series_head(&input) < 0 ? 0 : series_head(&input);
        offset = char_offset(s, at_start ? start : end);
        set_series_head(&input, static_cast<int32_t>(original_head + offset));
    } else {
        set_none(&input);
    }
    kel_value type_v;
    type_value(type, &type_v);
    kel_value token;
    if (e == ev_load && value) {
        token = *value;
    } else {
        set_pair(&token, static_cast<int32_t>(char_offset(s, start) + 1), static_cast<int32_t>(char_offset(s, end) + 1));
    }
    const bool answer = s.events->call(s.events->user, e, &input, &type_v, s.line, &token);
    if (s.has_input && type_of(&input) == type_of(&s.input) && series_head(&input) != original_head + offset) {
        int64_t index = series_head(&input) - original_head;
        if (index < 0) index = 0;
        if (type_of(&s.input) == types::binary) {
            const int64_t room = s.input_end - s.input_start;
            s.redirect = s.input_start + (index < room ? index : room);
        } else {
            s.redirect = unicode::skip_utf8_chars(s.input_start, s.input_end, static_cast<size_t>(index));
        }
    }
    return answer;
}

uint32_t event_mask(const kel_value* body) {
    if (!body || !in_family(type_of(body), family::block_like)) return all_events;
    kel_value b = *body;
    if (block::ks_length_q(&b) < 1) return all_events;
    kel_value first = *block::ks_head(&b);
    if (type_of(&first) != types::block) return all_events;
    struct named {
        const kel_value* word;
        uint32_t bit;
    };
    const named names[] = {{&words::_prescan, ev_prescan}, {&words::_scan, ev_scan}, {&words::_load, ev_load},
                           {&words::_open, ev_open},       {&words::_close, ev_close}, {&words::_error, ev_error}};
    uint32_t mask = 0;
    const int32_t n = block::ks_length_q(&first);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* w = block::ks_head(&first) + i;
        if (!in_family(type_of(w), family::word)) continue;
        for (const named& x : names)
            if (symbol::resolve(word_symbol(w)) == symbol::resolve(word_symbol(x.word))) mask |= x.bit;
    }
    return mask;
}

// --- series ---------------------------------------------------------------------------

void open_series(lexer_state& s, uint32_t type, const uint8_t* start, const uint8_t* end) {
    if (series_open_q(s) && marker_series(innermost_marker(s)) == types::point2d)
        throw_error(s, start, types::point2d);
    if (wants(s, ev_open) && !fire_event(s, ev_open, static_cast<int32_t>(type), nullptr, start, end)) return;
    const uint32_t index = s.tail;
    kel_value* m = new_cell(s);
    m->header = (m->header & header_new_line) | marker_type;
    m->w1 = index - s.head;
    m->w2 = type;
    m->w3 = static_cast<uint32_t>(start - s.input_start);
    s.head = index + 1;
    s.entry_state = s_start;
}

void close_series(lexer_state& s, const uint8_t* start, const uint8_t* end, int32_t type, bool quiet) {
    const bool open = series_open_q(s);
    const uint32_t open_type = open ? marker_series(innermost_marker(s)) : 0;
    if (!quiet && wants(s, ev_close)) {
        const int32_t reported =
            (type < 1 || (open_type == types::map && type != types::map)) ? static_cast<int32_t>(open_type) : type;
        if (!fire_event(s, ev_close, reported, nullptr, open ? opening_of(s) : start, end)) {
            s.entry_state = s_start;
            return;
        }
    }
    if (!open) {
        // Nothing is open: the text quoted is the stray close token's, not
        // the head of the input (which may lie many lines before it).
        s.closing = type;
        throw_error(s, start, err_missing);
    }
    bool ok;
    if (type < 0) {
        ok = true;
    } else if (type == types::block) {
        ok = open_type == types::block || open_type == types::map;
    } else if (type == types::set_path) {
        ok = open_type == types::path;
        if (open_type == types::lit_path || open_type == types::get_path) {
            s.closing = static_cast<int32_t>(open_type);
            throw_error(s, nullptr, err_missing);
        }
    } else {
        ok = open_type == static_cast<uint32_t>(type);
    }
    if (!ok) {
        s.closing = static_cast<int32_t>(open_type);
        throw_error(s, nullptr, err_missing);
    }
    const uint32_t marker = s.head - 1;
    const uint32_t back = cells[marker].w1;
    const uint32_t result_type = type == types::set_path ? uint32_t{types::set_path} : open_type;
    const uint32_t count = s.tail - s.head;
    kel_value made;
    if (s.load) {
        if (result_type == types::map) make_map(s, &made, cells + s.head, count);
        else make_block_like(&made, result_type, cells + s.head, count);
    } else {
        set_unset(&made);
    }
    made.header = (made.header & ~header_new_line) | (cells[marker].header & header_new_line);
    cells[marker] = made;
    s.tail = marker + 1;
    s.head = marker - back;
    s.type = static_cast<int32_t>(result_type);
    s.entry_state = in_path_q(s) ? s_path_item : s_start;
}

// --- syntax errors -------------------------------------------------------------------------

// The values finished at the top level (before the outermost open series)
// go to the target block: the caller that traps the error keeps what was
// read before it. Series still open were not read and are left out.
namespace {
void keep_finished_values(lexer_state& s) {
    uint32_t end = s.tail;
    for (uint32_t head = s.head; head > s.buffer_base;) {
        end = head - 1;
        head = end - cells[end].w1;
    }
    for (uint32_t i = s.buffer_base; i < end; ++i) {
        const kel_value v = cells[i];
        block::ks_add(s.into_on_error, &v);
    }
}
}  // namespace

void throw_error(lexer_state& s, const uint8_t* start, int32_t type) {
    if (!s.load) {
        s.type = types::error;
        throw lexer_stop{};
    }
    if (!start) start = opening_of(s);
    if (wants(s, ev_error)) {
        int32_t reported = types::error;
        for (int32_t t : {type, s.closing, s.type, s.forced_type})
            if (t > 0) {
                reported = t;
                break;
            }
        if (in_path_q(s)) close_series(s, start, s.position, -1, true);
        if (!fire_event(s, ev_error, reported, nullptr, start, s.position)) {
            close_all(s);
            s.type = types::error;
            throw lexer_stop{};
        }
        if (s.into_on_error) keep_finished_values(s);
    }
    if (in_family(static_cast<uint32_t>(s.closing), family::path)) type = err_bad_char;
    if (type == 0) type = err_bad_char;
    close_all(s);

    // The values live on the argument stack while the next one is made.
    kel_value* line_v = stack::push_unset();
    char line_text[32];
    char digits[12];
    digits[text_out::format_int32(digits, s.line)] = 0;
    std::strcpy(line_text, "(line ");
    std::strcat(line_text, digits);
    std::strcat(line_text, ")");
    ascii_value(line_v, line_text);
    kel_value* near_v = stack::push_unset();
    text_value(near_v, start, near_end(s, start));
    const kel_value line_copy = *line_v;
    const kel_value near_copy = *near_v;
    stack::drop_cells(2);

    if (type == err_bad_char) fire(error_category::syntax, "bad-char", &line_copy, &near_copy);
    if (type == err_malconstruct) fire(error_category::syntax, "malconstruct", &line_copy, &near_copy);
    if (type == err_missing || type == err_missing_at_end) {
        uint32_t closing_char = 0;
        uint32_t opening_char = 0;
        const uint32_t closing = static_cast<uint32_t>(s.closing);
        if (closing == types::block || closing == types::map) {
            closing_char = ']';
            opening_char = '[';
        } else if (closing == types::paren || closing == types::point2d || closing == types::point3d) {
            closing_char = ')';
            opening_char = '(';
        }
        uint32_t wanted = closing_char;
        if (type == err_missing && closing_char) {
            // A close token with nothing open asks for its opening character.
            const uint8_t* at = s.token_end < s.input_end ? s.token_end : s.input_end - 1;
            if (at >= s.input_start && *at == closing_char && !series_open_q(s)) wanted = opening_char;
        }
        kel_value ch;
        set_char(&ch, wanted);
        fire(error_category::syntax, "missing", &line_copy, &ch, &near_copy);
    }
    kel_value dt;
    set_datatype(&dt, static_cast<uint32_t>(type));
    fire(error_category::syntax, "invalid", &line_copy, &dt, &near_copy);
}

// --- entry points ------------------------------------------------------------------------------

void build_tables() {
    ensure_buffers();
    // The `to` conversions of float!, percent! and time! read text as one value.
    scalar::hooks.scan_value = [](const kel_value* text, kel_value* out) {
        scan_value(text, out);
        return !none_q(out);
    };
    catalog::read = read_catalog_text;
    // The values of running scans live in the heap cell buffer, which only
    // this hook shows the collector.
    static bool rooted = false;
    if (!rooted) {
        rooted = collector::add_hook(
            [] { mark_roots([](kel_value* first, kel_value* end) { collector::mark_cells(first, end); }); });
        if (!rooted) fatal::report_error(fatal::assertion_failed, __builtin_return_address(0));
    }
}

int running_scans() { return chain_depth; }

void mark_roots(void (*mark_cells)(kel_value* first, kel_value* end)) {
    for (lexer_state* s = chain_first; s; s = s->next) {
        mark_cells(cells + s->buffer_base, cells + s->tail);
        if (s->has_input) mark_cells(&s->input, &s->input + 1);
    }
}

int32_t transcode_utf8(kel_value* result, const uint8_t* bytes, size_t length, const options& o, size_t* consumed) {
    ensure_buffers();
    if (length > max_input) fire(error_category::internal, "no-memory");
    if (!bytes) length = 0;
    static const uint8_t empty = 0;
    if (!bytes) bytes = &empty;

    lexer_state s{};
    chain_link link(s);
    const uint32_t base = s.parent ? s.parent->tail : 0;
    s.buffer_base = s.head = s.tail = base;
    s.input_start = bytes;
    s.input_end = bytes + length;
    s.position = bytes;
    s.token_start = s.token_end = bytes;
    s.line = 1;
    s.forced_type = -1;
    s.events = o.events && o.events->call ? o.events : nullptr;
    s.into_on_error = s.events && o.into && !o.one ? o.into : nullptr;
    s.has_input = o.input != nullptr;
    if (o.input) s.input = *o.input;
    else set_unset(&s.input);
    s.load = o.load && o.store;
    s.load_mode = o.load;
    s.one = o.one;
    s.char_cache_position = bytes;

    int32_t result_type = 0;
    bool ended_at_end = false;
    bool checking_end = false;
    try {
        scan_tokens(s, &ended_at_end);
        result_type = ended_at_end ? s.previous_type : s.type;
        if (series_open_q(s)) {
            const uint32_t t = marker_series(innermost_marker(s));
            if (!s.load && in_family(t, family::path) && result_type != types::error) {
                result_type = static_cast<int32_t>(t);
            } else {
                checking_end = true;
                s.closing = static_cast<int32_t>(t);
                s.token_end = s.input_end;
                throw_error(s, nullptr, err_missing_at_end);
            }
        }
    } catch (const lexer_stop&) {
        result_type = types::error;
        if (checking_end) {
            if (result) set_none(result);
            if (consumed) *consumed = static_cast<size_t>(s.position - s.input_start);
            return result_type;
        }
    }
    if (consumed) {
        const uint8_t* at = s.position > s.input_end ? s.input_end : s.position;
        *consumed = static_cast<size_t>(at - s.input_start);
    }
    if (!s.load) return result_type;

    const uint32_t n = s.tail - s.buffer_base;
    if (o.one && !o.block_form) {
        kel_value v;
        if (n) v = cells[s.buffer_base];
        else set_unset(&v);
        if (o.into) block::ks_add(o.into, &v);
        else if (result) *result = v;
    } else if (o.into) {
        for (uint32_t i = 0; i < n; ++i) {
            const kel_value v = cells[s.buffer_base + i];
            block::ks_add(o.into, &v);
        }
    } else if (result) {
        set_unset(result);  // the caller's cell may hold anything: no flag is carried over
        make_block_like(result, types::block, cells + s.buffer_base, n);
    }
    return result_type;
}

int32_t transcode_text(kel_value* result, const kel_value* source, int32_t length, const options& o,
                       int32_t* consumed) {
    kel_value src = *source;
    options with_input = o;
    if (!with_input.input) with_input.input = &src;
    memory::buffer_header* h = memory::buffer_of(series_node(&src));
    const int64_t head = series_head(&src) < 0 ? 0 : series_head(&src);
    const int64_t available = static_cast<int64_t>(h->units()) - head;
    int64_t n = available < 0 ? 0 : available;
    if (length >= 0 && length < n) n = length;
    if (type_of(&src) == types::binary) {
        size_t used = 0;
        const auto* p = reinterpret_cast<const uint8_t*>(h->head_ptr()) + head;
        if (!o.events) {
            // The values made while scanning may collect: the bytes stay put.
            const collector::pin_guard pin(series_node(&src));
            const int32_t r = transcode_utf8(result, p, static_cast<size_t>(n), with_input, &used);
            if (consumed) *consumed = static_cast<int32_t>(used);
            return r;
        }
        // A callback may change the binary it is scanning, and growing it
        // moves its bytes: the scan reads a copy, as it does for a string.
        scratch_room room(static_cast<size_t>(n) + 1);
        if (n) std::memcpy(room.data, p, static_cast<size_t>(n));
        const int32_t r = transcode_utf8(result, room.data, static_cast<size_t>(n), with_input, &used);
        if (consumed) *consumed = static_cast<int32_t>(used);
        return r;
    }
    const size_t need = unicode::utf8_bound(static_cast<size_t>(n), static_cast<uint8_t>(h->unit()));
    scratch_room room(need);
    const uint32_t written = unicode::encode_utf8_into(&src, room.data, static_cast<int32_t>(n), false);
    size_t used = 0;
    const int32_t r = transcode_utf8(result, room.data, written, with_input, &used);
    if (consumed) *consumed = static_cast<int32_t>(unicode::count_utf8_chars(room.data, room.data + used));
    return r;
}

const kel_value* scan_value_into(const kel_value* text, kel_value* result_block) {
    options o;
    o.one = true;
    o.block_form = true;
    int32_t consumed = 0;
    transcode_text(result_block, text, -1, o, &consumed);
    kel_value src = *text;
    const int64_t head = series_head(&src) < 0 ? 0 : series_head(&src);
    const int64_t length = static_cast<int64_t>(memory::buffer_of(series_node(&src))->units()) - head;
    if (consumed < length) {
        set_none(result_block);
        return result_block;
    }
    if (type_of(result_block) == types::block && block::ks_length_q(result_block) > 0)
        return block::ks_head(result_block);
    set_unset(result_block);
    return result_block;
}

void scan_value(const kel_value* text, kel_value* out) {
    kel_value* holder = stack::push_unset();
    const kel_value v = *scan_value_into(text, holder);
    stack::drop_cells(1);
    *out = v;
    if (unset_q(out)) set_none(out);
}

}  // namespace kel::lexer
