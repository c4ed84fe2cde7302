// stack: the argument stack and the call-mark stack, the two stacks every
// call of the language runs on. Arguments are pushed as cells; a native,
// action or routine reads argument N at arguments() + N - 1 and leaves its
// result in the base cell arguments(). One call-mark record is open per call,
// loop, try or catch; opening one saves the caller's arguments base and makes
// the current top the new base; closing it restores the base and leaves the
// result just above the caller's area.
//
// Both stacks live in fixed root buffers taken from the heap (20,000 cells of
// arguments; 22,500 cells' worth of bytes, that is 15,000 records of 24 bytes,
// for the marks: the record count, not the byte size, is what sets how deep
// a recursion may go, so the wider record did not lower it), so their addresses never move and the globals below may hold
// machine pointers; a record holds bases as cell offsets from the bottom.
//
// A record keeps the naming word's symbol id in a word of its own, all 32
// bits of it: squeezed into 16 bits of the flags word, names would go wrong
// once the symbol table passes 65,535 entries.
//
// Signals (errors, break, continue, return, exit, throw) unwind these marks;
// they live in kernel/signals.h.
//
// Overflow: reserving the last cell or opening a mark when the record stack is
// full lowers the argument top by 5 cells, resets the cycle stack and raises
// internal `stack-overflow`; the error object is built in a headroom of
// cells past the limit (headroom_guard).
#pragma once
#include <cstdint>

#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::stack {

struct call_mark {
    uint32_t flags;             // kind nibble bits 24-27, return-target and interpreted flags
    uint32_t caller_base;       // the caller's arguments base, in cells from the bottom
    uint32_t word_context;      // context node of the naming word
    uint32_t function_context;  // function-call marks only, else 0
    uint32_t saved_values;      // that context's values when the mark opened
    uint32_t symbol;            // symbol id of the naming word (0: no name)
};
static_assert(sizeof(call_mark) == 24);

namespace kind {
constexpr uint32_t call = 0x01000000u;
constexpr uint32_t native = 0x02000000u;
constexpr uint32_t try_ = 0x04000000u;
constexpr uint32_t try_all = 0x05000000u;
constexpr uint32_t catch_ = 0x06000000u;
constexpr uint32_t eval = 0x87000000u;
constexpr uint32_t loop = 0x08000000u;
constexpr uint32_t eval_native = 0x82000000u;
constexpr uint32_t eval_call = 0x81000000u;
constexpr uint32_t body = 0x12000000u;
constexpr uint32_t mask = 0x0F000000u;  // the kind nibble
}  // namespace kind
constexpr uint32_t flag_return_target = 0x10000000u;
constexpr uint32_t flag_interpreted = 0x80000000u;

constexpr uint32_t argument_cells = 20000;
// Cells past the argument limit that only the building of an error! value
// may use (headroom_guard): an overflow leaves 5 cells below the limit,
// fewer than an error object takes to build.
constexpr uint32_t error_headroom_cells = 256;
constexpr uint32_t mark_buffer_cells = 22500;
constexpr uint32_t mark_records = mark_buffer_cells * 16 / sizeof(call_mark);  // 15,000
static_assert(mark_records == 15000);

struct registers {
    kel_value* bottom;
    kel_value* arguments;  // first argument and result cell of the current call
    kel_value* top;        // next free cell
    kel_value* limit;
    call_mark* marks_bottom;
    call_mark* marks_top;  // next free record
    call_mark* marks_limit;
    uint32_t argument_node;
    uint32_t mark_node;
    // 1 + the mark depth at which the last throw began (0: none recorded);
    // kept by the signals, cleared by every open_frame and by reset.
    uint32_t throw_start;
};
extern registers regs;

// Context access the call marks need; installed by the context module. While
// null, function contexts are recorded but their values are not saved or
// restored.
struct context_hooks {
    uint32_t (*get_values)(uint32_t context);
    void (*set_values)(uint32_t context, uint32_t values);
    // The index of a symbol in a context, -1 when absent (binds the names
    // that the signals answer); null: names stay unbound (index -1).
    int32_t (*index_of)(uint32_t context, uint32_t symbol) = nullptr;
};
namespace contexts {
extern context_hooks hooks;
}  // namespace contexts

// Lets the argument stack use the error headroom while it lives (nothing
// before the stacks exist); the limit is put back however it ends.
struct headroom_guard {
    kel_value* saved;
    headroom_guard();
    ~headroom_guard();
    headroom_guard(const headroom_guard&) = delete;
    headroom_guard& operator=(const headroom_guard&) = delete;
};

// Makes the two root buffers (their cells appended to the root block) and
// wires the registers; both stacks are empty afterwards.
void setup();
bool ready();

[[noreturn]] void overflow();
// overflow for code that can return a code (the machine stack's check).
signal_code overflow_code();

// --- values ------------------------------------------------------------------

inline kel_value* arguments() { return regs.arguments; }
inline kel_value* argument(int n) { return regs.arguments + (n - 1); }  // 1-based
inline kel_value* top() { return regs.top; }
inline kel_value* bottom() { return regs.bottom; }

// Reserves one cell at the top; its contents are not set.
inline kel_value* alloc_cell() {
    kel_value* c = regs.top++;
    if (regs.top >= regs.limit) [[unlikely]] overflow();
    return c;
}
inline kel_value* push_copy(const kel_value* v) {
    kel_value* c = alloc_cell();
    *c = *v;
    return c;
}
inline kel_value* push_unset() {
    kel_value* c = alloc_cell();
    set_unset(c);
    return c;
}
inline kel_value* set_last(const kel_value* v) { return copy_cell(v, regs.arguments); }
inline kel_value* set_last_only(const kel_value* v) {
    copy_cell(v, regs.arguments);
    regs.top = regs.arguments + 1;
    return regs.arguments;
}
// The last pushed cell, or the top itself when nothing is above the base.
inline kel_value* last_cell() { return regs.top > regs.arguments ? regs.top - 1 : regs.top; }
inline uint32_t last_type() { return type_of(last_cell()); }
inline void drop_cells(int32_t n) {
    regs.top = (n >= regs.top - regs.bottom) ? regs.bottom : regs.top - n;
}
inline kel_value* rewind() { return regs.top = regs.arguments; }
inline kel_value* rewind_to_result() { return regs.top = regs.arguments + 1; }
// When the last pushed value is an error! it becomes the result; then only
// the result stays.
void settle_try_result();
// Cells from the bottom to the top.
inline int32_t depth() { return static_cast<int32_t>(regs.top - regs.bottom); }
// A cell offset from the bottom, as records and cells store it.
inline uint32_t offset_of(const kel_value* c) { return static_cast<uint32_t>(c - regs.bottom); }
inline kel_value* at_offset(uint32_t offset) { return regs.bottom + offset; }

// --- call marks ----------------------------------------------------------------

// Pushes a record (flags, the naming word's symbol and context) and makes the
// argument top the new base. `name` may be null (symbol 0, no context).
// (Inline: every call of the interpreter opens one.)
inline call_mark* open_frame(const kel_value* name, uint32_t flags) {
    if (regs.marks_top >= regs.marks_limit) [[unlikely]] overflow();
    call_mark* m = regs.marks_top++;
    m->flags = flags;
    m->caller_base = offset_of(regs.arguments);
    m->word_context = name ? word_context(name) : 0;
    m->function_context = 0;
    m->saved_values = 0;
    m->symbol = name ? word_symbol(name) : 0;
    regs.arguments = regs.top;
    // A throw that was caught is over once anything opens again.
    regs.throw_start = 0;
    return m;
}
inline call_mark* open_native_frame(const kel_value* name) { return open_frame(name, kind::native); }
inline call_mark* open_try_frame(const kel_value* name) { return open_frame(name, kind::try_); }
inline call_mark* open_try_all_frame(const kel_value* name) { return open_frame(name, kind::try_all); }
inline call_mark* open_catch_frame(const kel_value* name) { return open_frame(name, kind::catch_); }
inline call_mark* open_eval_frame(const kel_value* name) { return open_frame(name, kind::eval); }
inline call_mark* open_loop_frame(const kel_value* name) { return open_frame(name, kind::loop); }
inline call_mark* open_eval_native_frame(const kel_value* name) { return open_frame(name, kind::eval_native); }
// A function call: records the function context and its current values.
call_mark* open_call_frame(const kel_value* name, uint32_t function_context, uint32_t flags = kind::call);
inline call_mark* open_eval_call_frame(const kel_value* name, uint32_t function_context) {
    return open_call_frame(name, function_context, kind::eval_call);
}
// The body of a compiled function: a return target from the start; the
// function's stack context takes the current arguments base as its values.
call_mark* open_body_frame(const kel_value* name, uint32_t function_context);

inline void close_frame() {
    if (regs.marks_top == regs.marks_bottom) [[unlikely]] {
        regs.arguments = regs.top = regs.bottom;
        return;
    }
    const call_mark* m = --regs.marks_top;
    regs.top = regs.arguments + 1;
    regs.arguments = regs.bottom + m->caller_base;
}
inline void close_frame_set_last() {
    kel_value* result = regs.arguments;
    close_frame();
    copy_cell(result, regs.arguments);
}
void close_frame_rewind();
void close_call_frame();
void close_call_frame_set_last();
void close_call_frame_rewind();
void close_frame_discard();

void set_return_target(bool on);
void mark_interpreted();
// True when any open mark, from the innermost out, was opened by the
// interpreter for user code (library code opens none).
bool eval_q();
// Sets the return-target flag on the mark below the top; answers that mark,
// or null when it already had the flag (or there is none).
call_mark* set_return_target_below();
void clear_return_target(call_mark* mark);

inline call_mark* innermost_frame() { return regs.marks_top > regs.marks_bottom ? regs.marks_top - 1 : nullptr; }
inline int32_t mark_depth() { return static_cast<int32_t>(regs.marks_top - regs.marks_bottom); }
inline uint32_t mark_kind(const call_mark* m) { return m->flags & kind::mask; }
inline uint32_t mark_symbol(const call_mark* m) { return m->symbol; }

// A return (value non-null) or exit whose receiver, the mark at index
// `receiver`, the caller has found: what the return signal does once it has
// found it (the marks above go, function contexts restored; the value in the
// receiver's own base cell).
signal_code return_to(int32_t receiver, const kel_value* value);

// Empties both stacks (the top level between two evaluations, and tests).
void reset();

}  // namespace kel::stack
