// natives_errors: try, catch, throw, break, continue, exit, return.
#include "evaluator/natives_errors.h"

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_table.h"
#include "kernel/actions.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"

namespace kel::natives {

namespace errors {
error_hooks hooks;
}  // namespace errors

namespace {

namespace try_ref {
enum : int { all, keep };
}

// A bare error cell of `fire` (word 1 the category, word 2 the low half of the
// raise's serial) is the throw/throw error when it is the last one raised.
bool stand_in_throw_throw_q(const kel_value* error) {
    const fired_error& e = last_fired();
    return error->w1 == static_cast<uint32_t>(error_category::throw_) &&
           error->w2 == static_cast<uint32_t>(e.serial) && e.category == error_category::throw_ &&
           std::strcmp(e.id, "throw") == 0;
}

// The error module's answer: both the type and the id are the word `throw`.
bool throw_throw_q(const kel_value* error) {
    if (!memory::node_live_q(error->w1)) return stand_in_throw_throw_q(error);
    const uint32_t throw_symbol = symbol::resolve(symbol::intern("throw"));
    return symbol::resolve(error::type_symbol(error)) == throw_symbol &&
           symbol::resolve(error::id_symbol(error)) == throw_symbol;
}

void keep_trace(bool keep) {
    kel_value* result = stack::arguments();
    if (keep && type_of(result) == types::error && errors::hooks.build_stack_trace)
        errors::hooks.build_stack_trace(result);
}

inline uint32_t canonical(const kel_value* word) { return symbol::resolve(word_symbol(word)); }

// Whether a catch/name accepts the name a throw carried: a word! argument
// matches the same word (letter case aside); a block! matches at its first
// word that does, and an element that is not a word!, met before a match,
// raises script `invalid-refine-arg`. A throw without a name matches nothing.
bool name_matches(const kel_value* names, const kel_value* thrown) {
    if (type_of(thrown) != types::word) return false;
    if (type_of(names) == types::word) return canonical(names) == canonical(thrown);
    const kel_value list = *names;
    const int32_t n = block::ks_length_q(&list);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* e = block::ks_abs_at(&list, series_head(&list) + i);
        if (type_of(e) != types::word) fire(error_category::script, "invalid-refine-arg", &words::_name, &list);
        if (canonical(e) == canonical(thrown)) return true;
    }
    return false;
}

// --- the callers of an error report --------------------------------------------------
//
// An error keeps the mark depth at which it was raised; its report and
// try/keep list the calls that were open then, from the bottom up. The marks
// above the current top have been popped by the time anyone asks, but their
// records stay as they were until a mark is opened there again, so they are
// read in place. Their contexts may have died since: a name whose context is
// no live context is read from the global context, and one whose symbol is
// not in the table is skipped.

bool live_context_q(uint32_t ctx) {
    return ctx >= memory::node_base && memory::node_live_q(ctx) &&
           type_of(reinterpret_cast<const kel_value*>(memory::buffer_of(ctx)->head_ptr())) == types::context;
}

// The name of record i as a word, when the record is listed at this level:
// named, and at level 1 or less naming a function!. Only the calls of user
// code are listed: the library's own (the console's loop, a mezzanine's
// helpers) are how the system runs the user's code, not part of it.
bool caller_word(int32_t i, int32_t level, kel_value* word) {
    const stack::call_mark* m = stack::regs.marks_bottom + i;
    if (!(m->flags & stack::flag_interpreted)) return false;
    if (stack::anonymous_q(m) || m->symbol > symbol::count()) return false;  // ids count from 1
    const uint32_t ctx = live_context_q(m->word_context) ? m->word_context : _context::global();
    if (level <= 1) {
        const kel_value* v = _context::symbol_value(m->symbol, ctx);
        if (!v || type_of(v) != types::function) return false;
    }
    const int32_t index = _context::index_of(ctx, m->symbol, true);
    *word = kel_value{types::word, ctx, m->symbol, static_cast<uint32_t>(index)};
    return true;
}

int32_t records_below(int32_t depth) {
    return depth < 0 ? 0 : depth > static_cast<int32_t>(stack::mark_records) ? stack::mark_records : depth;
}

void list_callers(kel_value* out, int32_t depth, int32_t level) {
    kel_value* calls = block::push_only_star(8);
    const int32_t n = records_below(depth);
    for (int32_t i = 0; i < n; ++i) {
        kel_value word;
        if (caller_word(i, level, &word)) block::ks_add(calls, &word);
    }
    *out = *calls;
    stack::drop_cells(1);
}

void form_callers(kel_value* buffer, int32_t depth, int32_t level) {
    const int32_t n = records_below(depth);
    int32_t part = 0x7FFFFFFF;
    kel_value blank;
    set_char(&blank, ' ');
    for (int32_t i = 0; i < n && part > 0; ++i) {
        kel_value word;
        if (!caller_word(i, level, &word)) continue;
        part = actions::form_value(&word, buffer, nullptr, part);
        part = actions::form_value(&blank, buffer, nullptr, part);
    }
}

}  // namespace

void install_error_hooks() {
    errors::hooks.build_stack_trace = error::build_stack_trace;
    errors::hooks.throw_throw_q = throw_throw_q;
    error::list_callers = list_callers;
    error::form_callers = form_callers;
}

signal_code try_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::try_, refs);
    const kel_value block = *stack::arguments();
    const bool keep = refs.has(try_ref::keep);
    // A try/all mark turns break, continue, return, exit and throw signals
    // that reach it into throw-category errors, so they are caught as errors.
    stack::open_frame(&words::_try, refs.has(try_ref::all) ? stack::kind::try_all : stack::kind::try_);
    signal_code c;
    try {
        c = interpreter::eval_in_place(&block, true);
    } catch (const kel_unwind& u) {
        if (u.code != code_value(signal_code::error)) throw;
        c = signal_code::error;  // raised by the try's own frames, below any native dispatch
    }
    if (c == signal_code::error) {
        // The raise unwound the marks to this try's and dropped it; the copy
        // of the error is the last pushed cell. (An error reaching a try
        // always stops at the nearest one: nothing opens a trap above it.)
        stack::settle_try_result();
        keep_trace(keep);
        return signal_code::none;
    }
    if (c != signal_code::none) return c;  // a signal on its way past this try
    stack::close_frame_set_last();
    return signal_code::none;
}

void try_settle(bool keep) {
    const kel_value* last = stack::last_cell();
    if (type_of(last) == types::error) {
        bool (*throw_q)(const kel_value*) = errors::hooks.throw_throw_q ? errors::hooks.throw_throw_q
                                                                        : stand_in_throw_throw_q;
        if (throw_q(last)) {
            const kel_value error = *last;
            stack::raise_error(&error);
        }
    }
    stack::settle_try_result();
    keep_trace(keep);
}

signal_code catch_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::catch_, refs);
    kel_value* base = stack::arguments();
    const kel_value block = *base;
    const kel_value* names = refs.has(0) ? base + refs.at[0] : nullptr;
    const int32_t depth = stack::mark_depth();
    stack::open_catch_frame(&words::_body);
    const signal_code c = interpreter::eval_in_place(&block, true);
    if (c == signal_code::none) {
        stack::close_frame_set_last();
        return signal_code::none;
    }
    // Only a throw stops here (at this catch's mark, which the throw left on
    // top with the thrown value and name at its base); every other signal,
    // and a throw that some other mark received, goes on.
    if (c != signal_code::throw_ || stack::mark_depth() != depth + 1) return c;
    const kel_value thrown = *stack::arguments();
    const kel_value thrown_name = *(stack::arguments() + 1);
    if (names && !name_matches(names, &thrown_name)) {
        stack::close_frame_discard();
        return stack::raise_throw(&thrown, &thrown_name);
    }
    stack::set_last_only(&thrown);
    stack::close_frame_set_last();
    interpreter::trace_catch();
    return signal_code::none;
}

signal_code throw_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::throw_, refs);
    kel_value* base = stack::arguments();
    // Without /name the name is unset!, so a thrown record is always a value
    // and then a name.
    const kel_value* name = refs.has(0) ? base + refs.at[0] : nullptr;
    interpreter::trace_throw();
    return stack::raise_throw(base, name);
}

signal_code break_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::break_, refs);
    const kel_value* value = refs.has(0) ? stack::arguments() + refs.at[0] : nullptr;
    return stack::raise_break(value, false);
}

signal_code continue_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::continue_, refs);
    return stack::raise_break(nullptr, true);
}

signal_code exit_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::exit, refs);
    return stack::raise_return(nullptr, true);
}

signal_code return_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::return_, refs);
    return stack::raise_return(stack::arguments(), true);
}

}  // namespace kel::natives
