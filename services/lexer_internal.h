// lexer_internal: what the engine (lexer_engine.cpp) and the literal loaders
// (lexer_load.cpp, lexer_values.cpp) share: the record of one running scan,
// the shared cell buffer, and the error and event entry points.
//
// Invariants:
//   - Cells are addressed by index into the shared buffer, never kept as
//     pointers across `new_cell` (the buffer moves when it grows).
//   - A scan only ever touches cells from its base upward; an open series is a
//     marker cell (internal type lexer_marker) with the cells after it; `head` is the cell after
//     the innermost marker, or the base when nothing is open.
//   - Every read of the text is bounded by input_end: nothing reads outside
//     the bytes the caller gave.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/value.h"
#include "services/lexer.h"
#include "services/lexer_tables.h"

namespace kel::lexer {

// Marker payload: word 2 low 16 bits the series type (51 a point literal,
// whose high 16 bits count the commas), word 1 the distance back to the
// enclosing head, word 3 the byte offset of the opening token.
constexpr uint32_t marker_type = types::lexer_marker;

// Error kinds below the datatype ids.
constexpr int32_t err_bad_char = -1;
constexpr int32_t err_malconstruct = -2;
constexpr int32_t err_missing = -3;
constexpr int32_t err_missing_at_end = -4;

struct lexer_state {
    lexer_state* next;
    lexer_state* parent;
    uint32_t buffer_base;
    uint32_t head;
    uint32_t tail;
    const uint8_t* input_start;
    const uint8_t* input_end;
    const uint8_t* position;
    const uint8_t* token_start;
    const uint8_t* token_end;
    int32_t line;
    int32_t new_lines;
    int32_t forced_type;
    int32_t type;
    int32_t entry_state;
    int32_t exit_state;
    int32_t closing;
    int32_t previous_type;
    const uint8_t* brace_start;
    int32_t brace_depth;
    uint32_t brace_flags;
    int32_t point_lines;
    const callback* events;
    // With a callback and a target block: a truthy answer to the `error` event
    // appends the finished top-level values here before the error is raised.
    const kel_value* into_on_error;
    kel_value input;       // unset! when the text came as bare bytes
    bool has_input;
    bool load;             // values are built and kept
    // Tokens are processed: checked in full (the load flag), even where no
    // value is built; without it the scan only guesses from the tables.
    bool load_mode;
    bool one;
    const uint8_t* redirect;  // set when a callback moved the input's index
    const uint8_t* char_cache_position;
    int64_t char_cache_count;
    // Raw strings: where the content ends (the scan may run past the token).
    const uint8_t* raw_content_end;
};

// The lexer's own stop signal: unwinds to transcode_utf8, which treats it as
// a normal end of the scan.
struct lexer_stop {};

// --- the shared cell buffer ---------------------------------------------------
extern kel_value* cells;
extern uint32_t cell_capacity;
// Doubles the buffer (a no-memory error past its limit).
void grow_cells();
// A new cell at the scan's tail: unset!, with the new-line marker when line
// feeds came before the current token. Inline: every value a scan makes
// takes one.
inline kel_value* new_cell(lexer_state& s) {
    if (s.tail >= cell_capacity) [[unlikely]] grow_cells();
    kel_value* c = cells + s.tail++;
    c->header = s.new_lines > 0 ? (uint32_t{types::unset} | header_new_line) : uint32_t{types::unset};
    c->w1 = c->w2 = c->w3 = 0;
    return c;
}
inline kel_value* cell_at(uint32_t index) { return cells + index; }
inline bool series_open_q(const lexer_state& s) { return s.head > s.buffer_base; }
inline kel_value* innermost_marker(const lexer_state& s) { return cells + s.head - 1; }
inline uint32_t marker_series(const kel_value* m) { return m->w2 & 0xFFFFu; }

// --- errors and events ----------------------------------------------------------
// Raises the syntax error (see lexer_engine.cpp) or, in scan-only mode or when
// a callback vetoes it, stops the scan. `start` null: the opening token of
// the innermost open series, or the start of the text.
[[noreturn]] void throw_error(lexer_state& s, const uint8_t* start, int32_t type);
// Fires an event; true when there is no callback or it did not veto.
bool fire_event(lexer_state& s, event e, int32_t type, const kel_value* value, const uint8_t* start,
                const uint8_t* end);
inline bool wants(const lexer_state& s, event e) { return s.events && (s.events->mask & e); }

// Closes the innermost series (type -1: whatever is open).
void close_series(lexer_state& s, const uint8_t* start, const uint8_t* end, int32_t type, bool quiet);
void open_series(lexer_state& s, uint32_t type, const uint8_t* start, const uint8_t* end);

// --- scanners and loaders (lexer_load.cpp) -----------------------------------------
// (state, token start, token end, token flags, load flag)
using token_fn = void (*)(lexer_state& s, const uint8_t* start, const uint8_t* end, uint32_t flags, bool load);
extern const token_fn scanners[token_count];
extern const token_fn loaders[token_count];

// Skips Unicode spaces at p (bounded by end); answers the first byte that is
// not one. A sequence that does not decode is an error for word!.
const uint8_t* skip_unicode_spaces(lexer_state& s, const uint8_t* p, const uint8_t* end);
// Where a raw string's content really ends and the scan goes on (the closing
// run may lie past the token); fills s.raw_content_end and s.position.
void find_raw_string_end(lexer_state& s, const uint8_t* start, const uint8_t* end);
// True when the byte class ends a path.
bool ends_path_q(uint8_t byte);
// True when the "(" at `open` begins a point literal: at least 4 bytes follow
// and the bytes after it, up to the first one outside the point character
// set, reach a "," or the end of the text.
bool point_literal_q(const lexer_state& s, const uint8_t* open);

// --- values of literal forms whose datatype module comes later (lexer_values.cpp)
// Each builds the value in `out` (a cell of the shared buffer, header already
// carrying the new-line marker). The datatype modules take these over.
void make_block_like(kel_value* out, uint32_t type, const kel_value* first, uint32_t count);
void make_map(lexer_state& s, kel_value* out, const kel_value* first, uint32_t count);
kel_value* make_text(kel_value* out, uint32_t type, uint32_t capacity, uint32_t unit);
void make_binary_value(kel_value* out, const uint8_t* bytes, size_t count);
void make_pair_value(kel_value* out, int32_t x, int32_t y);
void make_percent_value(kel_value* out, double fraction);
void make_point_value(kel_value* out, const double* coordinates, int count);
void make_tuple_value(lexer_state& s, kel_value* out, const uint8_t* parts, int count);

// What a date literal hands to the date! constructor. A week date or an
// ordinal date names its day through week/weekday or yearday (month and day
// are then 1 and the date is moved there).
struct date_fields {
    int32_t year = 0, month = 0, day = 0;
    int32_t week = 0, weekday = 0;  // yyyy-Www[-d]
    int32_t yearday = 0;            // yyyy-ddd
    bool time_given = false;
    double seconds = 0;             // time of day
    bool zone_given = false;
    int32_t zone_hours = 0, zone_minutes = 0;  // both signed, so that -00:30 is west
};
void make_date_value(lexer_state& s, kel_value* out, const date_fields& f);

// What a money literal hands to the money! constructor: the sign, the
// currency code ("" without one), the integer digits without separators and
// leading zeros (at most 17), and the fraction digits.
struct money_fields {
    bool negative = false;
    char currency[4] = {};
    char integer_digits[18] = {};
    char fraction_digits[6] = {};
};
// False when the currency code is not in the currency list.
bool make_money_value(kel_value* out, const money_fields& f);

}  // namespace kel::lexer
