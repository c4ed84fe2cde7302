// native_api: the primitives that natives, actions and (later) compiled code
// share over cells: appending cells and bytes at a series tail, writing plain
// text into a mold/form buffer, and `fire`, the one raise path of language
// errors from runtime code.
//
// `fire` records the error (category, id, up to three arguments, the name of
// the innermost call as its `where` and the evaluator's current position as
// its `near`), unwinds the call marks to the receiving try mark through
// `stack::unwind_for_error` and throws kel_unwind{error} itself, so the
// unwinder has one frame less to walk; the nearest native dispatch turns it
// into the returned code `error`. `fail` is the same raise returning that
// code, for code that can return one. The errors module completes `fire`
// to build the error! value from the catalogue; before the catalogue is
// loaded, or when building fails, the raised value is a bare error! cell
// (word 1 the category, word 2 the low half of the record's serial). The
// record is a plain struct that C++ callers and tests read (`last_fired`). An argument is either a cell
// (copied into the record at once, so a temporary may be passed) or a word
// given by its name (a refinement when the name starts with "/").
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel {

// Error categories in their fixed catalogue order; code = category x 100 + id.
enum class error_category : uint8_t {
    throw_ = 0, note, syntax, script, math, access, reserved1, reserved2, user, internal,
};

struct error_arg {
    const kel_value* cell = nullptr;
    const char* word = nullptr;  // a word by name: "move", "/part"
    constexpr error_arg() = default;
    constexpr error_arg(const kel_value* c) : cell(c) {}
    static constexpr error_arg named(const char* name) {
        error_arg a;
        a.word = name;
        return a;
    }
};

struct fired_error {
    error_category category;
    const char* id;          // "out-of-range" ...
    int argument_count;      // arguments given (0-3)
    kel_value args[3];       // copies of cell arguments (unset! for word arguments)
    const char* arg_words[3];  // names of word arguments (null for cells)
    uint64_t serial;         // counts every fire since start
    kel_value where;         // the innermost named call (unset! before the stacks exist)
    kel_value near;          // the block position being evaluated (unset! when none)
};

// The higher layers' part in raising, each installed by its own start-up
// step (null until then): the error! module's builder, which answers the
// error value made from the catalogue (null while it cannot make one); the
// evaluator's current position for `near`; the trace event of a raised error.
struct raise_hooks {
    const kel_value* (*build)(error_category category, const char* id, const error_arg* args, int count) = nullptr;
    void (*near)(kel_value* out) = nullptr;
    void (*traced)(const kel_value* error) = nullptr;
};
namespace raising {
extern raise_hooks hooks;
}  // namespace raising

// Raises a language error. Never returns.
[[noreturn]] void fire(error_category category, const char* id, error_arg a1 = {}, error_arg a2 = {},
                       error_arg a3 = {});
// fire's returning twin, for code that can hand a code on (`return fail(...)`):
// the same error, near, where and trace event, the marks unwound the same
// way, and then the code `error` is returned instead of thrown, so that the
// error reaches its try mark without the C++ unwinder. Only when a trap
// receives the error is it thrown, as fire does.
[[nodiscard]] signal_code fail(error_category category, const char* id, error_arg a1 = {}, error_arg a2 = {},
                               error_arg a3 = {});

namespace platform {
// The type check of values handed to the system: script `invalid-arg` with
// the value when its type is not `type`; nothing otherwise.
void fire_invalid_arg(const kel_value* value, uint32_t type);
}  // namespace platform

// The last error fired, as C++ callers and tests read it back: category, id,
// arguments and near, without going through the error! value.
const fired_error& last_fired();

// The receiver of last resort that C++ opens around code it runs (tests,
// and any caller that wants an error back as a C++ exception rather than
// ending the process; see stack::open_trap). `close_error_trap` closes it and
// puts the marks and the arguments base back as they were at the opening;
// after an error (`raised`) it also drops the copy of the error that the
// raise pushed, so the argument top is where the error was raised.
struct error_trap {
    bool open;
    int32_t depth;
    int32_t outer_depth;
    uint32_t outer_arguments;
    kel_value* arguments;
};
error_trap open_error_trap();
void close_error_trap(const error_trap& trap, bool raised);

// Runs `body` under an error trap; answers true when it fired `id`. Tests
// use it; the runtime receives errors in try marks of its own.
template <class F>
bool fires(F&& body, const char* id) {
    const error_trap trap = open_error_trap();
    try {
        body();
    } catch (const kel_unwind& u) {
        const bool error = u.code == code_value(signal_code::error);
        close_error_trap(trap, error);
        if (!error) throw;
        return std::string_view(last_fired().id) == id;
    }
    close_error_trap(trap, false);
    return false;
}

// --- series tails ------------------------------------------------------------
namespace memory {
struct buffer_header;
// Appends one cell at the buffer's tail (the buffer grows when full); its
// header becomes unset!, its payload is left as it was. Returns the cell.
kel_value* claim_buffer_cell(uint32_t node);
// The same on a block value's buffer.
kel_value* claim_tail_cell(const kel_value* block);
// Reserves `size` bytes at the tail of the node's buffer, growing it first
// when they do not fit; returns their address.
char* claim_tail_bytes(uint32_t node, uint32_t size);
// Makes room for the buffer to hold `need` bytes counted from its head
// (internal `no-memory` beyond the unit's largest capacity); returns the
// (possibly new) header.
buffer_header* ensure_room_from_head(buffer_header* h, uint64_t need);
// Widens every unit of a text buffer from `from` to `to` bytes (1->2, 1->4,
// 2->4; anything else is fatal 101), in place, growing the buffer first when
// the wider copy does not fit.
buffer_header* widen_units(buffer_header* h, uint32_t from, uint32_t to);
}  // namespace memory

// --- text into mold/form buffers -------------------------------------------
// The runtime's own texts (names, digits, brackets, placeholders) go into a
// string! buffer through these writers: each byte is one code point,
// appended by the string append rule (bytes 0x80-0xFF widen a unit-1
// buffer). The string module's byte appends are these.
namespace text_out {
void append(kel_value* buffer, const char* bytes, size_t length);
inline void append(kel_value* buffer, std::string_view text) { append(buffer, text.data(), text.size()); }
// Decimal text of v into out (at least 12 bytes); returns its length.
int format_int32(char* out, int32_t v);
// A new empty string! buffer (unit 1) in `cell`, with room for `capacity` units.
void new_buffer(kel_value* cell, uint32_t capacity);
}  // namespace text_out

// --- ownership (kernel/ownership.h) -----------------------------------------
// Called before and after a series whose buffer has an owner changes; the
// owner object's change handler is told.
namespace ownership {
void check(const kel_value* series, const char* action, const kel_value* value, int32_t index, int32_t count);
}

}  // namespace kel
