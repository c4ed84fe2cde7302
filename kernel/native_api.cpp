// native_api: fire, tail claims, widening of text buffers and plain-text
// output into string buffers.
#include "kernel/native_api.h"

#include <algorithm>
#include <cstring>

#include "kernel/fatal.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/series_memory.h"
#include "kernel/unicode.h"

namespace kel {

namespace raising {
raise_hooks hooks;
}  // namespace raising

namespace {
fired_error last{};
}  // namespace

namespace {

// Everything of a raise up to the unwinding: the record for last_fired(),
// the error! value built from the catalogue (by the error! module's builder)
// once the catalogue is loaded, and the tracer told. The error into *out.
void prepare(kel_value* out, error_category category, const char* id, const error_arg& a1, const error_arg& a2,
             const error_arg& a3) {
    // An error raised while the error of an outer fire is being built (an
    // overflow, say) goes no further than that building, which gives up on
    // it: it neither replaces the outer record nor unwinds a mark.
    static bool building = false;
    if (building) throw kel_unwind{code_value(signal_code::error)};
    last.category = category;
    last.id = id;
    const error_arg* args[3] = {&a1, &a2, &a3};
    last.argument_count = 0;
    for (int i = 0; i < 3; ++i) {
        const error_arg& a = *args[i];
        set_unset(&last.args[i]);
        last.arg_words[i] = nullptr;
        if (a.cell) {
            last.args[i] = *a.cell;
            last.argument_count = i + 1;
        } else if (a.word) {
            last.arg_words[i] = a.word;
            last.argument_count = i + 1;
        }
    }
    last.serial++;
    const error_arg list[3] = {a1, a2, a3};
    const kel_value* built = nullptr;
    if (raising::hooks.build) {
        struct building_scope {
            building_scope() { building = true; }
            ~building_scope() { building = false; }
        } scope;
        const stack::headroom_guard room;  // an overflow left too few cells to build an error!
        built = raising::hooks.build(category, id, list, last.argument_count);
    }
    set_unset(&last.where);
    set_unset(&last.near);
    if (stack::ready()) {
        // Named here without giving up the record of where a throw began:
        // the raise reads it again for the error it unwinds.
        const uint32_t throw_start = stack::regs.throw_start;
        stack::innermost_name(&last.where);
        stack::regs.throw_start = throw_start;
    }
    if (raising::hooks.near) raising::hooks.near(&last.near);
    if (built) {
        *out = *built;
    } else {  // before the catalogue exists: a placeholder that names the record
        init_cell(out, types::error);
        out->w1 = static_cast<uint32_t>(category);
        out->w2 = static_cast<uint32_t>(last.serial);
    }
    if (raising::hooks.traced) raising::hooks.traced(out);
}

}  // namespace

// The raise path of language errors from C++ that cannot return a code.
void fire(error_category category, const char* id, error_arg a1, error_arg a2, error_arg a3) {
    kel_value error;
    prepare(&error, category, id, a1, a2, a3);
    // Thrown from here rather than from inside the raise: every frame
    // between the throw and the next native dispatch is walked twice by the
    // unwinder.
    if (stack::ready()) (void)stack::unwind_for_error(&error);
    throw kel_unwind{code_value(signal_code::error)};
}

void platform::fire_invalid_arg(const kel_value* value, uint32_t type) {
    if (type_of(value) != type) fire(error_category::script, "invalid-arg", value);
}

signal_code fail(error_category category, const char* id, error_arg a1, error_arg a2, error_arg a3) {
    kel_value error;
    prepare(&error, category, id, a1, a2, a3);
    if (stack::ready() && stack::unwind_for_error(&error)) return signal_code::error;
    throw kel_unwind{code_value(signal_code::error)};
}

error_trap open_error_trap() {
    if (!stack::ready()) return error_trap{false, 0, -1, 0, nullptr};
    const stack::trap_record outer = stack::open_trap();
    return error_trap{true, stack::mark_depth(), outer.depth, outer.arguments, stack::arguments()};
}

void close_error_trap(const error_trap& t, bool raised) {
    if (!t.open) return;
    stack::close_trap(stack::trap_record{t.outer_depth, t.outer_arguments});
    if (stack::mark_depth() > t.depth) stack::regs.marks_top = stack::regs.marks_bottom + t.depth;
    if (raised && stack::top() > stack::bottom()) stack::regs.top--;
    stack::regs.arguments = t.arguments;
}

const fired_error& last_fired() { return last; }

namespace memory {

kel_value* claim_buffer_cell(uint32_t node) {
    buffer_header* h = buffer_of(node);
    if (h->tail + 16u > h->capacity) h = ensure_tail_room(node, 16);
    auto* cell = reinterpret_cast<kel_value*>(h->data() + h->tail);
    h->tail += 16;
    cell->header = types::unset;
    return cell;
}

kel_value* claim_tail_cell(const kel_value* block) { return claim_buffer_cell(series_node(block)); }

char* claim_tail_bytes(uint32_t node, uint32_t size) {
    buffer_header* h = buffer_of(node);
    if (static_cast<uint64_t>(h->tail) + size > h->capacity) h = ensure_tail_room(node, size);
    char* p = h->data() + h->tail;
    h->tail += size;
    return p;
}

buffer_header* ensure_room_from_head(buffer_header* h, uint64_t need) {
    if (static_cast<uint64_t>(h->head) + need <= h->capacity) return h;
    if (need > max_capacity(h->unit())) fire(error_category::internal, "no-memory");
    uint64_t want = std::max<uint64_t>(need, 2ull * h->capacity);
    if (want > max_capacity(h->unit())) want = need;
    return expand_buffer(h, static_cast<uint32_t>(want));
}

namespace {
[[noreturn]] __attribute__((noinline)) void bad_unit(int number) {
    fatal::report_error(number, __builtin_return_address(0));
}
}  // namespace

buffer_header* widen_units(buffer_header* h, uint32_t from, uint32_t to) {
    if (!((from == 1 && (to == 2 || to == 4)) || (from == 2 && to == 4))) bad_unit(fatal::no_switch_matched);
    const uint32_t count = h->used() / from;
    const uint64_t need = unicode::widen_capacity(h->used(), static_cast<uint8_t>(from), static_cast<uint8_t>(to));
    h = ensure_room_from_head(h, need);
    unicode::widen_in_place(reinterpret_cast<uint8_t*>(h->head_ptr()), count, static_cast<uint8_t>(from),
                            static_cast<uint8_t>(to));
    h->flags = (h->flags & ~unit_mask) | to;
    h->tail = h->head + count * to;
    return h;
}

}  // namespace memory

namespace text_out {

void append(kel_value* buffer, const char* bytes, size_t length) {
    if (length == 0) return;
    uint8_t widest = 0;
    for (size_t i = 0; i < length; ++i) widest = std::max(widest, static_cast<uint8_t>(bytes[i]));
    const uint32_t node = series_node(buffer);
    memory::buffer_header* h = memory::buffer_of(node);
    const uint32_t need = unicode::unit_for_append(widest);
    if (need > h->unit()) h = memory::widen_units(h, h->unit(), need);
    const uint32_t unit = h->unit();
    if (static_cast<uint64_t>(length) * unit > 0xFFFFFF00ull) fire(error_category::internal, "no-memory");
    char* p = memory::claim_tail_bytes(node, static_cast<uint32_t>(length * unit));
    if (unit == 1) {
        std::memcpy(p, bytes, length);
        return;
    }
    for (size_t i = 0; i < length; ++i) {  // code points below 0x100: the high bytes are zero
        std::memset(p + i * unit, 0, unit);
        p[i * unit] = bytes[i];
    }
}

int format_int32(char* out, int32_t v) {
    char tmp[12];
    int n = 0;
    uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    int len = 0;
    if (v < 0) out[len++] = '-';
    while (n) out[len++] = tmp[--n];
    return len;
}

void new_buffer(kel_value* cell, uint32_t capacity) {
    set_unset(cell);
    const uint32_t node = memory::new_units(capacity, 1);
    set_series(cell, types::string, 0, node);
}

}  // namespace text_out

// ownership::check lives in kernel/ownership.cpp.

}  // namespace kel
