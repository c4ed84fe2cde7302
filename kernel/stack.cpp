// stack: opening and closing call marks over the two fixed root buffers.
#include "kernel/stack.h"

#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::stack {

registers regs{};
namespace contexts {
context_hooks hooks{nullptr, nullptr};
}  // namespace contexts

namespace {

bool wired = false;

void restore_context(const call_mark* m) {
    if (m->function_context && contexts::hooks.set_values) contexts::hooks.set_values(m->function_context, m->saved_values);
}

// Pops the top record and answers it (the record stays readable until the
// next open).
call_mark* pop_mark() {
    if (regs.marks_top == regs.marks_bottom) return nullptr;
    return --regs.marks_top;
}

}  // namespace

void setup() {
    kel_value cell;
    regs.argument_node = memory::new_heap_series(argument_cells + error_headroom_cells, 16, 0);
    regs.mark_node = memory::new_heap_series(mark_buffer_cells, 16, 0);
    set_series(&cell, types::block, 0, regs.argument_node);
    collector::keep_in_root_block(&cell);
    set_series(&cell, types::block, 0, regs.mark_node);
    collector::keep_in_root_block(&cell);

    memory::buffer_header* a = memory::buffer_of(regs.argument_node);
    regs.bottom = regs.arguments = regs.top = reinterpret_cast<kel_value*>(a->data());
    regs.limit = regs.bottom + argument_cells;
    memory::buffer_header* m = memory::buffer_of(regs.mark_node);
    regs.marks_bottom = regs.marks_top = reinterpret_cast<call_mark*>(m->data());
    regs.marks_limit = regs.marks_bottom + m->capacity / sizeof(call_mark);
    wired = true;
}

bool ready() { return wired; }

headroom_guard::headroom_guard() : saved(regs.limit) {
    if (wired) regs.limit = regs.bottom + memory::buffer_of(regs.argument_node)->capacity / 16;
}

headroom_guard::~headroom_guard() { regs.limit = saved; }

namespace {
// No cells are dropped: they may belong to a native's frame below the try
// that receives the error (a reduce's target block), which would go on with
// the error's cells in their place. The error! is built, and its copy for
// the receiver pushed, in the headroom.
void make_room() {
    if (regs.top >= regs.limit) regs.top = regs.limit - 1;  // the cell alloc_cell did not hand out
    if (regs.arguments > regs.top) regs.arguments = regs.top;
    cycles::reset();
}
}  // namespace

void overflow() {
    make_room();
    fire(error_category::internal, "stack-overflow");
}

signal_code overflow_code() {
    make_room();
    return fail(error_category::internal, "stack-overflow");
}

void settle_try_result() {
    kel_value* last = last_cell();
    if (type_of(last) == types::error) copy_cell(last, regs.arguments);
    regs.top = regs.arguments + 1;
}

call_mark* open_call_frame(const kel_value* name, uint32_t function_context, uint32_t flags) {
    call_mark* m = open_frame(name, flags);
    m->function_context = function_context;
    if (function_context && contexts::hooks.get_values) m->saved_values = contexts::hooks.get_values(function_context);
    return m;
}

call_mark* open_body_frame(const kel_value* name, uint32_t function_context) {
    if (function_context && contexts::hooks.set_values) contexts::hooks.set_values(function_context, offset_of(regs.top));
    return open_frame(name, kind::body);
}

void close_frame_rewind() {
    call_mark* m = pop_mark();
    regs.arguments = regs.top = m ? regs.bottom + m->caller_base : regs.bottom;
}

void close_call_frame() {
    if (call_mark* m = innermost_frame()) restore_context(m);
    close_frame();
}

void close_call_frame_set_last() {
    if (call_mark* m = innermost_frame()) restore_context(m);
    close_frame_set_last();
}

void close_call_frame_rewind() {
    if (call_mark* m = innermost_frame()) restore_context(m);
    close_frame_rewind();
}

void close_frame_discard() {
    kel_value* base = regs.arguments;
    call_mark* m = pop_mark();
    if (!m) {
        regs.arguments = regs.top = regs.bottom;
        return;
    }
    if ((m->flags & 0x0F000000u) == kind::call) restore_context(m);
    regs.top = base;
    regs.arguments = regs.bottom + m->caller_base;
}

void set_return_target(bool on) {
    if (call_mark* m = innermost_frame()) {
        if (on) m->flags |= flag_return_target;
        else m->flags &= ~flag_return_target;
    }
}

void mark_interpreted() {
    if (call_mark* m = innermost_frame()) m->flags |= flag_interpreted;
}

bool eval_q() {
    for (const call_mark* m = regs.marks_top; m > regs.marks_bottom;)
        if ((--m)->flags & flag_interpreted) return true;
    return false;
}

call_mark* set_return_target_below() {
    if (mark_depth() < 2) return nullptr;
    call_mark* m = regs.marks_top - 2;
    if (m->flags & flag_return_target) return nullptr;
    m->flags |= flag_return_target;
    return m;
}

void clear_return_target(call_mark* mark) {
    if (mark) mark->flags &= ~flag_return_target;
}

signal_code return_to(int32_t receiver, const kel_value* value) {
    kel_value carried;
    if (value) carried = *value;
    else set_unset(&carried);
    const int32_t depth = mark_depth();
    const uint32_t base =
        receiver + 1 < depth ? regs.marks_bottom[receiver + 1].caller_base : offset_of(regs.arguments);
    for (int32_t j = depth - 1; j > receiver; --j) {
        const call_mark* m = regs.marks_bottom + j;
        if ((m->flags & kind::mask) == kind::call) restore_context(m);
    }
    regs.marks_top = regs.marks_bottom + (receiver + 1);
    regs.arguments = regs.top = at_offset(base);
    *regs.arguments = carried;
    return value ? signal_code::return_ : signal_code::exit;
}

void reset() {
    regs.arguments = regs.top = regs.bottom;
    regs.marks_top = regs.marks_bottom;
    regs.throw_start = 0;
}

}  // namespace kel::stack
