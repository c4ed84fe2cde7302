// lexer: UTF-8 source text becomes values. The public doors of the lexer:
// `transcode_utf8` over bytes, `transcode_text` over a string! or binary!
// value, `scan_value_into` (one value from a text, for the `to` conversions),
// the event callback record, and the collector's roots.
//
// How it works (see lexer_engine.cpp): a table-driven state machine over
// bytes cuts the text into tokens; structural tokens open and close series
// through marker cells in one shared cell buffer, literal tokens are loaded
// into the next cell of that buffer, and the finished top-level run of cells
// is copied once into the result block. Scans nest (a callback may transcode
// again): each scan works above its parent's part of the buffer.
//
// Errors: syntax errors go through `fire` in category syntax with the ids
// `invalid`, `bad-char`, `missing` and `malconstruct` and "(line N)" as the
// first argument. A scan that does not load and store (scan-only) never
// raises: a malformed token makes the result type error!.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/value.h"

namespace kel::lexer {

// Event bits of the callback's mask, and the events themselves.
enum event : uint32_t {
    ev_prescan = 1,
    ev_scan = 2,
    ev_load = 4,
    ev_open = 8,
    ev_close = 16,
    ev_error = 32,
};
constexpr uint32_t all_events = 63;

// The lexer callback. The evaluator completes it with a Kel function run in a
// frame named `<lexer-callback>`; here it is a C++ function. It receives the
// event, the input value with its index at the token (it may move the index
// to redirect the scan), the token's type (a datatype!, none!, or an entry of
// `exit_states`), the line, and the token (a pair! of 1-based character
// offsets, or the value just loaded for `load`). Its answer: true goes on,
// false vetoes (skips the token, leaves the series unopened, drops the value,
// or ends the scan quietly after an error).
struct callback {
    bool (*call)(void* user, event e, kel_value* input, const kel_value* type, int32_t line,
                 const kel_value* token) = nullptr;
    void* user = nullptr;
    uint32_t mask = all_events;
};

// The events a callback body asks for: when the body's first cell is a block,
// the words prescan scan load open close error in it; otherwise all six.
uint32_t event_mask(const kel_value* body);

// The block of 34 values the boot makes for the callback's structural types
// (`system/lexer/exit-states`), kept in a root cell of the lexer's own that
// the collector marks and never moves; until it is set (or when it is not a
// block) none! is passed. Setting it drops a source set before.
void set_exit_states(const kel_value* block);
// Where that block is read when a source is set: the cell it answers, looked
// at on every event that names a structural token, so that a script which
// puts another block (or none) in the member is heard at once. A null answer
// passes none!. The value is copied before the callback runs.
void set_exit_states_source(const kel_value* (*source)());

struct options {
    bool one = false;         // stop after the first complete top-level value
    bool load = true;         // process the tokens
    bool store = true;        // keep the values (built only with load and store)
    bool block_form = false;  // with one: still give a block
    const kel_value* into = nullptr;  // append the values to this block
    const callback* events = nullptr;
    const kel_value* input = nullptr;  // the string!/binary! the text came from (for events)
};

// Scans `length` bytes of UTF-8 (no terminator needed; a NUL byte ends the
// text). With load and store the values go to a new block in `result`, or
// are appended to `into`; with `one` (and not block_form) the first value
// itself is written to `result` (unset! when there is none). *consumed
// (when given) receives the bytes consumed. Answers the datatype id of the
// last token scanned (0 for none); in scan-only mode, the type of the first
// token that has one, or error! for a malformed text.
int32_t transcode_utf8(kel_value* result, const uint8_t* bytes, size_t length, const options& o,
                       size_t* consumed = nullptr);

// The same over a string! (its characters from the head, `length` of them or
// -1 for all, encoded to UTF-8 first) or a binary! (its bytes from the head).
// *consumed receives characters (string!) or bytes (binary!).
int32_t transcode_text(kel_value* result, const kel_value* source, int32_t length, const options& o,
                       int32_t* consumed = nullptr);

// Loads the whole string as source text into `result_block` (one value,
// block form). The answer: the first value, the none value when the lexer
// stopped before the end of the text, or `result_block` set to unset! when
// the text holds no value.
const kel_value* scan_value_into(const kel_value* text, kel_value* result_block);
// The same into `out`; none! when the text holds no value or more than one.
void scan_value(const kel_value* text, kel_value* out);

// Start-up: the shared cell buffer and the scratch buffer, and the hooks of
// the modules that scan text through the lexer (the scalar `to` conversions,
// the natives' spec reader and the catalogue reader below).
void build_tables();

// The readers other modules take (services/lexer_readers.cpp): a spec text
// into a new block kept in the root block (natives::read_spec), and a
// catalogue source into a new block pushed on the argument stack
// (catalog::read; a source that does not load stops the start-up).
void read_spec_text(const char* text, kel_value* out);
kel_value* read_catalog_text(const char* text, size_t length);

// The collector's roots: for every running scan the cells from its base to
// its tail and its input value. `mark_cells` is called once per range.
void mark_roots(void (*mark_cells)(kel_value* first, kel_value* end));

// Scans in progress (for tests: 0 outside any scan).
int running_scans();

}  // namespace kel::lexer
