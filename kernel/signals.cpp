// signals: unwinding the call marks for errors and control signals.
#include "kernel/signals.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kernel/actions.h"
#include "kernel/fatal.h"
#include "kernel/print.h"
#include "kernel/registry.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"

namespace kel::stack {

runtime_names names;
namespace errors {
error_hooks hooks;
}  // namespace errors
trap_record trap;
bool error_for_trap = false;

namespace {

call_mark* mark_at(int32_t i) { return regs.marks_bottom + i; }

bool call_kind_q(const call_mark* m) { return (m->flags & kind::mask) == kind::call; }

void restore_context(const call_mark* m) {
    if (call_kind_q(m) && m->function_context && contexts::hooks.set_values)
        contexts::hooks.set_values(m->function_context, m->saved_values);
}

// The base a mark's callee saw: saved by the mark just above it, or the
// current base when it is the innermost one.
uint32_t own_base(int32_t i) {
    return i + 1 < mark_depth() ? mark_at(i + 1)->caller_base : offset_of(regs.arguments);
}

// Pops every mark above index i (restoring function contexts on the way).
void pop_above(int32_t i) {
    for (int32_t j = mark_depth() - 1; j > i; --j) restore_context(mark_at(j));
    regs.marks_top = regs.marks_bottom + (i + 1);
}

// The index of the nearest mark at or below `from` that `stop` accepts, -1 when
// none; a try/all mark met first (not accepted by `stop`) answers -2.
template <class Stop>
int32_t find_receiver(int32_t from, Stop stop) {
    for (int32_t i = from; i >= 0; --i) {
        const call_mark* m = mark_at(i);
        if (stop(m)) return i;
        if (mark_kind(m) == kind::try_all) return -2;
    }
    return -1;
}

[[noreturn]] void no_receiver(const char* id, const kel_value* value = nullptr) {
    if (value) fire(error_category::throw_, id, value);
    fire(error_category::throw_, id);
}

// Nothing receives the error: its formed text goes to stderr and the process
// ends (the console and the script runner open a try mark, so this is the
// path of a failing script or a fault in start-up code).
[[noreturn]] void uncaught(const kel_value* error) {
    static bool reporting = false;  // an error while forming the error is not formed again
    std_output::flush();
    const uint32_t t = type_of(error);
    if (!reporting && registry::supported(t, act::form)) {
        reporting = true;
        kel_value buffer;
        text_out::new_buffer(&buffer, 64);
        kel_value* held = push_copy(&buffer);  // kept where the collector sees it
        (void)actions::form_value(error, held, nullptr, 0x7FFFFFFF);
        memory::buffer_header* h = memory::buffer_of(series_node(held));
        const uint32_t unit = h->unit();
        const uint32_t n = h->units();
        // The runtime's texts are ASCII in every unit size; wider units are
        // written as UTF-8.
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t c = 0;
            std::memcpy(&c, h->head_ptr() + static_cast<size_t>(i) * unit, unit);
            char out[4];
            size_t k = 0;
            if (c < 0x80) out[k++] = static_cast<char>(c);
            else if (c < 0x800) {
                out[k++] = static_cast<char>(0xC0 | (c >> 6));
                out[k++] = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out[k++] = static_cast<char>(0xE0 | (c >> 12));
                out[k++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out[k++] = static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out[k++] = static_cast<char>(0xF0 | (c >> 18));
                out[k++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out[k++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out[k++] = static_cast<char>(0x80 | (c & 0x3F));
            }
            if (::write(2, out, k) < 0) break;
        }
    } else if (t == types::error) {
        // A bare error! cell of `fire` (raised before the catalogue, or when
        // building the value failed): the category and id of the record.
        static const char* const categories[] = {"throw", "note",      "syntax", "script", "math",
                                                 "access", "reserved1", "reserved2", "user", "internal"};
        const fired_error& e = last_fired();
        const char* category = categories[static_cast<int>(e.category) % 10];
        if (::write(2, "*** ", 4) < 0 || ::write(2, category, std::strlen(category)) < 0 ||
            ::write(2, " error: ", 8) < 0 || ::write(2, e.id, std::strlen(e.id)) < 0) {
        }
    } else {
        const char* name = registry::type_name(t);
        if (::write(2, "*** uncaught ", 13) < 0 || ::write(2, name, std::strlen(name)) < 0) {
        }
    }
    if (::write(2, "\n", 1) < 0) {
    }
    runtime::exit_cleanup();
    std::_Exit(fatal::uncaught_error_exit);
}

}  // namespace

void record_names(uint32_t body_symbol, uint32_t anon_symbol, const kel_value* not_found_word) {
    names.body = body_symbol;
    names.anon = anon_symbol;
    if (not_found_word) names.not_found = *not_found_word;
}

bool anonymous_q(const call_mark* m) {
    const uint32_t s = m->symbol;
    return s == 0 || (names.body != 0 && s == names.body) || (names.anon != 0 && s == names.anon);
}

void innermost_name(kel_value* out) {
    int32_t i = mark_depth() - 1;
    if (regs.throw_start != 0) {
        // Records above the top stay readable until they are opened again.
        i = static_cast<int32_t>(regs.throw_start) - 2;
        if (i >= static_cast<int32_t>(mark_records)) i = static_cast<int32_t>(mark_records) - 1;
        regs.throw_start = 0;
    }
    for (; i >= 0 && anonymous_q(mark_at(i)); --i) {
    }
    if (i < 0) {
        *out = names.not_found;
        return;
    }
    const call_mark* m = mark_at(i);
    init_cell(out, types::word);
    out->w1 = m->word_context;
    out->w2 = m->symbol;
    const int32_t index = (m->word_context && contexts::hooks.index_of) ? contexts::hooks.index_of(m->word_context, m->symbol) : -1;
    out->w3 = static_cast<uint32_t>(index);
}

void collect_calls(uint32_t global, call_visitor visit, void* user) {
    for (int32_t i = mark_depth() - 1; i >= 0; --i) {
        const call_mark* m = mark_at(i);
        if (anonymous_q(m)) continue;
        kel_value word;
        init_cell(&word, types::word);
        word.w1 = m->function_context ? m->function_context : global;
        word.w2 = m->symbol;
        const int32_t index = contexts::hooks.index_of ? contexts::hooks.index_of(word.w1, m->symbol) : -1;
        word.w3 = static_cast<uint32_t>(index);
        visit(&word, static_cast<int32_t>(m->caller_base), user);
    }
}

error_arg innermost_name_arg(kel_value* scratch) {
    innermost_name(scratch);
    if (!in_family(type_of(scratch), family::word)) return error_arg::named("<not-found>");
    return error_arg(scratch);
}

call_mark* pop_frames_to_kind(uint32_t wanted, bool keep) {
    const uint32_t entry_base = offset_of(regs.arguments);
    int32_t i = mark_depth() - 1;
    while (i >= 0) {
        const uint32_t k = mark_kind(mark_at(i));
        if (k == (wanted & kind::mask) || k == kind::try_all) break;
        --i;
    }
    const bool popped = i < mark_depth() - 1;
    if (!popped) {
        regs.top = regs.arguments + 1;
        return i >= 0 ? mark_at(i) : nullptr;
    }
    const uint32_t reached_own = mark_at(i + 1)->caller_base;  // read before the records are given up
    pop_above(i);
    if (i < 0 && !keep) {
        regs.arguments = regs.top = regs.bottom;
        return nullptr;
    }
    regs.top = at_offset(entry_base) + 1;
    if (i < 0) {
        regs.arguments = at_offset(reached_own);
        return nullptr;
    }
    regs.arguments = at_offset(keep ? reached_own : mark_at(i)->caller_base);
    return mark_at(i);
}

call_mark* pop_frames_to_kind_set_last(uint32_t wanted) {
    const kel_value result = *regs.arguments;
    call_mark* m = pop_frames_to_kind(wanted, true);
    *regs.arguments = result;
    regs.top = regs.arguments;
    return m;
}

trap_record open_trap() {
    const trap_record outer = trap;
    trap.depth = mark_depth();
    trap.arguments = offset_of(regs.arguments);
    return outer;
}

void close_trap(const trap_record& outer) { trap = outer; }

// The copy of the error goes above the raised top, which an overflow leaves
// at the limit: into the headroom then, since the cells below may be a
// native's that goes on after the try. The receiver takes the copy and sets
// the top back below the limit.
namespace {
void push_error_copy(const kel_value* err) {
    const headroom_guard room;
    push_copy(err);
}
}  // namespace

bool unwind_for_error(const kel_value* error) {
    kel_value err = *error;  // the cell may lie in the area being unwound
    kel_value* raised_top = regs.top;
    if (errors::hooks.annotate) {
        kel_value where;
        innermost_name(&where);
        errors::hooks.annotate(&err, &where, mark_depth());
    }
    const int32_t i = find_receiver(mark_depth() - 1, [](const call_mark* m) {
        const uint32_t k = mark_kind(m);
        return k == kind::try_ || k == kind::try_all;
    });
    if (trap.depth >= 0 && i < trap.depth) {
        // The trap is nearer than any try mark (or the only receiver).
        const int32_t depth = std::min(trap.depth, mark_depth());
        pop_above(depth - 1);
        regs.arguments = at_offset(trap.arguments);
        regs.top = raised_top;
        push_error_copy(&err);
        error_for_trap = true;
        return false;
    }
    if (i < 0) uncaught(&err);
    pop_above(i);
    regs.arguments = at_offset(mark_at(i)->caller_base);
    regs.marks_top = regs.marks_bottom + i;  // the try mark goes too
    regs.top = raised_top;
    push_error_copy(&err);
    error_for_trap = false;
    return true;
}

void raise_error(const kel_value* error) {
    (void)unwind_for_error(error);
    throw kel_unwind{code_value(signal_code::error)};
}

signal_code return_error(const kel_value* error) {
    if (!unwind_for_error(error)) throw kel_unwind{code_value(signal_code::error)};
    return signal_code::error;
}

signal_code raise_break(const kel_value* value, bool continue_) {
    kel_value carried;
    if (value && !continue_) carried = *value;
    else set_unset(&carried);
    const int32_t i = find_receiver(mark_depth() - 2, [](const call_mark* m) { return mark_kind(m) == kind::loop; });
    if (i < 0) no_receiver(continue_ ? "continue" : "break");
    const uint32_t base = own_base(i);
    pop_above(i);
    regs.arguments = regs.top = at_offset(base);
    *regs.arguments = carried;
    return continue_ ? signal_code::continue_ : signal_code::break_;
}

signal_code raise_return(const kel_value* value, bool from_native) {
    kel_value carried;
    if (value) carried = *value;
    else set_unset(&carried);
    const int32_t from = mark_depth() - (from_native ? 2 : 1);
    const int32_t i = find_receiver(from, [](const call_mark* m) { return (m->flags & flag_return_target) != 0; });
    if (i < 0) no_receiver("return");
    const uint32_t base = own_base(i);
    pop_above(i);
    regs.arguments = regs.top = at_offset(base);
    *regs.arguments = carried;
    return value ? signal_code::return_ : signal_code::exit;
}

signal_code raise_throw(const kel_value* value, const kel_value* name) {
    kel_value thrown = *value;
    kel_value thrown_name;
    if (name) thrown_name = *name;
    else set_unset(&thrown_name);
    if (regs.throw_start == 0) regs.throw_start = static_cast<uint32_t>(mark_depth()) + 1;
    const int32_t i = find_receiver(mark_depth() - 2, [](const call_mark* m) { return mark_kind(m) == kind::catch_; });
    if (i < 0) no_receiver("throw", &thrown);
    const uint32_t base = own_base(i);
    pop_above(i);
    regs.arguments = regs.top = at_offset(base);
    push_copy(&thrown);
    push_copy(&thrown_name);
    return signal_code::throw_;
}

namespace pending {

namespace {
uint32_t codes[capacity];
bool for_trap[capacity];  // an error's receiver was a trap (errors raised meanwhile change the flag)
int32_t count = 0;
}  // namespace

int32_t depth() { return count; }

void push(uint32_t code) {
    if (count >= capacity) return;
    for_trap[count] = code == code_value(signal_code::error) && error_for_trap;
    codes[count++] = code;
}

void rethrow_pending(int32_t mark) {
    if (mark < 0) mark = 0;
    if (count <= mark) return;
    const uint32_t code = codes[mark];
    if (code == code_value(signal_code::error)) error_for_trap = for_trap[mark];
    count = mark;
    throw_unwind(code);
}

}  // namespace pending

}  // namespace kel::stack
