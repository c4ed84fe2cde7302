// interpreter: the evaluator's entry points and its generic step: the
// machine stack and interrupts, eval_block and eval_in_place, the step of one
// expression (step_expression, step_special), the operators applied after a
// value (apply_infix), the live code position for `near`, and the start-up
// hooks. What the other files share is in interpreter_internal.h.
//
// Code runs in tiers, each faster on what it takes and handing the rest on:
//   generic (this file, calls.cpp, paths.cpp): every expression, call and
//     path, with every trace event; never gives up; what tracing and
//     KEL_NO_DECODE=1 run, and where every tier below falls back.
//   decoded (decoded_calls.cpp): a call by a word whose arguments all come
//     before its refinements; gives up when the word no longer holds the
//     same value bit for bit, or the call has quoted arguments before its
//     refinements; falls back to invoke_value.
//   frames (frames.cpp): blocks evaluated in place run as records in one
//     loop instead of nested C++ calls; gives up on set-paths, other paths,
//     apply, natives that evaluate blocks, and tracing; falls back to the
//     generic step, called from the loop.
//   quick (quick_calls.cpp, the quick_* helpers in interpreter_internal.h):
//     expressions computed in place, and native or action calls whose
//     arguments are all such; gives up on any other shape, type or an
//     overflow, before it has changed anything; falls back to the records.
//   pure (pure_calls.cpp): a function call run speculatively from its
//     compiled body; gives up on anything uncommon (another type, a zero
//     divisor, an unset value, a halt request, its limits); falls back to the
//     call's records, run from its start.
//   planned (planned_rounds.cpp): loop rounds made only of quick set-words
//     (and a quick condition), run from a plan made after one round; gives up
//     when a buffer moves or a checked value or operator differs; falls back
//     to the ordinary round from the first set-word not stored.
//
// The words, defined once:
//   decoded: described once per block position (a decode::term: the value
//     as its guard, its argument cache, arity and argument classes).
//   quick: plain data, a word holding it, or inline operators on numbers:
//     computed where it stands, with nothing that could allocate, call, fail
//     or be traced, so no one could tell it from the ordinary way.
//   pure: a function body that changes nothing outside its own frame.
//   planned: a round whose words were resolved to their slots once, and
//     whose values are re-checked every round.
//   shaped: a call whose argument layout (pure::call_shape) is known in
//     advance, so a planned round calls it with arguments it never pushes.
#include <pthread.h>
#include <unistd.h>

#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

trace_state trace;

namespace {

// --- names and kinds -----------------------------------------------------------------

kel_value eval_set_path_word{types::unset, 0, 0, 0};

signal_code eval_block_body(const kel_value* block, bool set_last);
signal_code step_special(code_position& c, const kel_value& v, kel_value* entry, bool literal);

}  // namespace

char* compute_floor() {
    char* low = runtime::record.stack_low;
    size_t size = 0;
    if (!low) {
        pthread_attr_t attr;
        void* addr = nullptr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &addr, &size);
            pthread_attr_destroy(&attr);
        }
        low = static_cast<char*>(addr);
        if (!low) return reinterpret_cast<char*>(1);  // unknown: never trips
    } else if (runtime::record.stack_high) {
        size = static_cast<size_t>(runtime::record.stack_high - low);
    }
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer takes the runtime thread's stack to be smaller than the
    // one reserved (about 78 MB) and reports false faults below what it
    // knows: a sanitized build stays within the top 64 MB.
    constexpr size_t sanitized_stack = size_t{64} << 20;
    if (size > sanitized_stack) {
        low += size - sanitized_stack;
        size = sanitized_stack;
    }
#endif
    const size_t margin = size ? std::min(machine_margin, size / 4) : machine_margin;
    return low + margin;
}

// An interrupt the signal waiter left for the evaluator. SIGTERM ends the
// process as `quit` does; SIGINT during a console command is what `halt`
// does: the word halt-request thrown with the name console, which the
// console's `try-do` catches.
[[gnu::noinline, gnu::cold]] signal_code interrupted() {
    if (runtime::quit_requested.load()) {
        std_output::flush();
        ::_exit(143);
    }
    runtime::halt_requested.store(false);
    const kel_value value = *word::from_c_string("halt-request");
    const kel_value name = *word::from_c_string("console");
    // The throw leaves from a frame of its own, as the `throw` native does.
    stack::open_native_frame(word::from_c_string("halt"));
    return stack::raise_throw(&value, &name);
}

signal_code poll_interrupt() { return poll_halt(); }

code_position position_of(const kel_value* block) {
    code_position c;
    position_at(block, c);
    return c;
}

int32_t end_of(const code_position& c) { return std::min(c.end, tail_index(series_node(&c.block))); }

kel_value* cell_at(const code_position& c, int32_t index) {
    return reinterpret_cast<kel_value*>(header_of(series_node(&c.block))->head_ptr()) + index;
}

// While a tracer runs, a control code out of its callback leaves
// notify_tracer as an exception, its receiver's mark already reached. It
// becomes a returned code again here, at the edge of the block being
// evaluated, so that the native evaluating the block (a loop receiving a
// break) gets it as its result rather than over its head, its own frame
// skipped and its mark left open.
signal_code eval_block(const kel_value* block, bool set_last) {
    if (trace.active) [[unlikely]]
        return stack::catch_code([&] { return eval_block_body(block, set_last); });
    return eval_block_body(block, set_last);
}

namespace {
signal_code eval_block_body(const kel_value* block, bool set_last) {
    KEL_PROPAGATE(check_machine_stack());
    KEL_PROPAGATE(poll_halt());
    if (!trace.active && decode::enabled) [[likely]] {
        // No events to fire: the mark around the frame loop.
        const bool library = (header_of(series_node(block))->flags & memory::flag_library) != 0;
        stack::open_frame(&words::_body, eval_kind(library));
        KEL_PROPAGATE(run_frames(block, true));
        if (set_last) stack::close_frame_set_last();
        else stack::close_frame();
        return signal_code::none;
    }
    code_position c = position_of(block);
    live_link here(&c);  // linked from the first expression to the end, exit event included
    stack::open_frame(&words::_body, eval_kind(c.library));
    if (traced(&c)) [[unlikely]] notify_tracer(event::enter, &c.block, c.pos, nullptr, nullptr);
    if (c.pos >= c.end) {
        set_unset(stack::arguments());
    } else if (c.library) {
        for (;;) {
            KEL_PROPAGATE(step_expression(c, false, false, false));
            if (c.pos >= end_of(c)) break;
            stack::rewind();
        }
    } else {
        here.enter();
        for (;;) {
            here.link.start = c.pos;
            KEL_PROPAGATE(step_expression(c, false, false, false));
            if (c.pos >= end_of(c)) break;
            stack::rewind();
        }
    }
    if (traced(&c)) [[unlikely]] notify_tracer(event::exit, &c.block, end_of(c), nullptr, stack::arguments());
    if (set_last) stack::close_frame_set_last();
    else stack::close_frame();
    return signal_code::none;
}
}  // namespace

signal_code eval_in_place(const kel_value* block, bool set_last) {
    if (trace.active) [[unlikely]] return eval_block(block, set_last);
    KEL_PROPAGATE(check_machine_stack());
    KEL_PROPAGATE(poll_halt());
    if (decode::enabled) [[likely]] {
        signal_code code = signal_code::none;
        if (quick_block_call(block, set_last, &code)) return code;
        return run_frames(block, set_last);
    }
    code_position c;
    position_at(block, c);
    kel_value* const entry = stack::top();
    if (c.pos >= c.end) {
        set_unset(stack::alloc_cell());
    } else if (c.library) {
        for (;;) {
            KEL_PROPAGATE(step_expression(c, false, true, false));
            if (c.pos >= end_of(c)) break;
            stack::regs.top = entry;
        }
    } else {
        live_link here(&c);
        here.enter();
        for (;;) {
            here.link.start = c.pos;
            KEL_PROPAGATE(step_expression(c, false, true, false));
            if (c.pos >= end_of(c)) break;
            stack::regs.top = entry;
        }
    }
    if (set_last) *stack::arguments() = *entry;
    return signal_code::none;
}

signal_code eval_next(code_position& c, bool push) {
    stack::open_frame(&words::_body, native_kind(c.library));
    KEL_PROPAGATE(step_expression(c, false, true, false));
    if (push) stack::close_frame();
    else stack::close_frame_set_last();
    return signal_code::none;
}

signal_code eval_next_at(const kel_value* block, int32_t* head) {
    code_position c = position_of(block);
    *head = c.pos;
    if (c.pos >= end_of(c)) {
        stack::push_unset();
        return signal_code::none;
    }
    KEL_PROPAGATE(eval_next(c, true));
    *head = c.pos;
    return signal_code::none;
}

signal_code step_expression(code_position& c, bool no_infix, bool push, bool literal) {
    kel_value* const entry = stack::top();
    code_view cv = view_of(c);
    bool view_valid = true;  // nothing has allocated since the view was taken
    const kel_value v = cv.cells[c.pos];
    if (trace.active) [[unlikely]] {
        if (!c.library) notify_tracer(event::fetch, &c.block, c.pos, nullptr, &v);
    }
    const uint32_t t = type_of(&v);
    if (t == types::word) {
        ++c.pos;
        const kel_value* value = lookup(&v);
        const uint32_t vt = type_of(value);
        if (!(word_special & bit(vt))) [[likely]] {
            push_value(value);
            if (trace.active) [[unlikely]] {
                if (!c.library) notify_tracer(event::push, &c.block, c.pos, nullptr, entry);
            }
        } else if (vt == types::unset) {
            return fail(error_category::script, "no-value", &v);
        } else if (vt == types::op) {
            return fail(error_category::script, "no-op-arg", &v);
        } else {
            const kel_value fn = *value;
            view_valid = false;
            if (decode::enabled && !trace.active) [[likely]] KEL_PROPAGATE(invoke_word(fn, c, &v));
            else KEL_PROPAGATE(invoke_value(&fn, &c, true, nullptr, &v, &fn, mode::plain, false));
        }
    } else if (plain_data(t)) {
        ++c.pos;
        push_value(&v);
        if (trace.active) [[unlikely]] {
            if (!c.library) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
        }
    } else {
        view_valid = false;
        KEL_PROPAGATE(step_special(c, v, entry, literal));
    }
    if (!no_infix) {
        if (!view_valid) cv = view_of(c);
        if (const kel_value* op = operator_in(cv, c.pos)) KEL_PROPAGATE(apply_infix(c, entry, op));
    }
    if (!push) {
        if (entry != stack::arguments()) *stack::arguments() = *entry;
        if (trace.active) [[unlikely]] {
            if (!c.library) notify_tracer(event::expr, &c.block, c.pos, nullptr, stack::arguments());
        }
    }
    return signal_code::none;
}

namespace {

// The expressions other than words and plain data.
[[gnu::noinline]] signal_code step_special(code_position& c, const kel_value& v, kel_value* entry, bool literal) {
    switch (type_of(&v)) {
        case types::set_word: {
            stack::open_frame(&v, native_kind(c.library));
            push_value(&v);
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos, nullptr, &v);
            ++c.pos;
            if (c.pos >= end_of(c)) return fail(error_category::script, "need-value", &v);
            KEL_PROPAGATE(step_expression(c, false, true, false));
            if (traced(&c)) notify_tracer(event::set, &c.block, c.pos, &v, stack::argument(2));
            // An object's change handler may run: a code out of it comes wrapped.
            KEL_PROPAGATE(stack::catch_code([] { return assign(stack::arguments()); }));
            stack::close_frame();
            break;
        }
        case types::set_path: {
            if (c.pos + 1 >= end_of(c)) return fail(error_category::script, "need-value", &v);
            stack::open_frame(c.library ? &eval_set_path_word : &words::_set_path, native_kind(c.library));
            ++c.pos;
            KEL_PROPAGATE(step_expression(c, false, true, false));
            if (traced(&c)) notify_tracer(event::set, &c.block, c.pos, &v, stack::arguments());
            const kel_value value = *stack::arguments();
            KEL_PROPAGATE(walk_path(&v, &c, walk::set | walk::push, &value));
            stack::set_last_only(&value);
            stack::close_frame();
            break;
        }
        case types::get_word: {
            ++c.pos;
            push_value(lookup(&v));
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
            break;
        }
        case types::lit_word: {
            ++c.pos;
            kel_value* cell = stack::alloc_cell();
            *cell = v;
            set_type(cell, types::word);
            clear_new_line(cell);
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, cell);
            break;
        }
        case types::paren: {
            ++c.pos;
            KEL_PROPAGATE(eval_in_place(&v, false));
            break;
        }
        case types::path:
        case types::get_path: {
            ++c.pos;
            KEL_PROPAGATE(walk_path(&v, &c, type_of(&v) == types::get_path ? walk::get | walk::push : walk::push));
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos, nullptr, entry);
            break;
        }
        case types::lit_path: {
            ++c.pos;
            kel_value* cell = stack::alloc_cell();
            *cell = v;
            set_type(cell, types::path);
            cell->w3 = 0;
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, cell);
            break;
        }
        case types::op: fire(error_category::internal, "not-done");
        case types::native:
        case types::action:
        case types::function:
        case types::routine: {
            ++c.pos;
            if (literal) {
                push_value(&v);
                if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
            } else {
                KEL_PROPAGATE(invoke_value(&v, &c, true, nullptr, nullptr, &v, mode::plain, false));
            }
            break;
        }
        case types::issue: {
            if (c.pos + 1 < end_of(c) && type_of(cell_at(c, c.pos + 1)) == types::block) {
                const uint32_t s = symbol::resolve(word_symbol(&v));
                if (s == symbol::resolve(words::system) || s == symbol::resolve(words::system_global))
                    fire(error_category::internal, "kel-system");
            }
            ++c.pos;
            push_value(&v);
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
            break;
        }
        default: {
            ++c.pos;
            push_value(&v);
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
            break;
        }
    }
    return signal_code::none;
}
}  // namespace

[[gnu::noinline]] signal_code apply_infix(code_position& c, kel_value* entry, const kel_value* first) {
    for (const kel_value* value = first; value;) {
        const kel_value op = *value;
        int32_t compare = 0;
        inline_op kind = inline_op::none;
        if (traced(&c)) [[unlikely]] {
            const kel_value op_word = *cell_at(c, c.pos);
            notify_tracer(event::fetch, &c.block, c.pos, nullptr, &op_word);
        } else {
            kind = inline_kind(op, &compare);
        }
        ++c.pos;
        if (kind != inline_op::none) {
            const code_view cv = view_of(c);
            if (c.pos < cv.end) {
                // The right operand, fetched as the call would (no infix).
                if (const kel_value* right = number_operand(cv.cells + c.pos)) {
                    if (apply_inline(kind, compare, entry, right)) {
                        ++c.pos;
                        value = operator_in(cv, c.pos);  // nothing allocated: the view holds
                        continue;
                    }
                } else {
                    const kel_value op_word = cv.cells[c.pos - 1];
                    stack::regs.top = entry + 1;
                    // The operator's mark is open while its operand is
                    // evaluated, as its call would have it (an error there
                    // is the operator's).
                    stack::open_frame(&op_word, native_kind(c.library));
                    KEL_PROPAGATE(step_expression(c, true, true, false));
                    stack::close_frame();
                    if (apply_inline(kind, compare, entry, entry + 1)) {
                        stack::regs.top = entry + 1;
                        value = operator_at(c);
                        continue;
                    }
                    // Both operands in place: the general call.
                    kel_value fn = op;
                    fn.header = native::wrapped_type(&op);
                    stack::regs.top = entry;
                    KEL_PROPAGATE(invoke_value(&fn, &c, true, nullptr, &op_word, &op, mode::plain, true, true));
                    value = operator_at(c);
                    continue;
                }
            }
        }
        const kel_value op_word = *cell_at(c, c.pos - 1);
        kel_value fn = op;
        fn.header = native::wrapped_type(&op);
        stack::regs.top = entry;
        KEL_PROPAGATE(invoke_value(&fn, &c, true, nullptr, &op_word, &op, mode::plain, true));
        value = operator_at(c);
    }
    return signal_code::none;
}

void current_position(kel_value* out) {
    const live_code* l = innermost_code;
    if (!l) {
        set_unset(out);
        return;
    }
    *out = l->c->block;
    out->w1 = static_cast<uint32_t>(l->start);
}

namespace {

void near_of(kel_value* out) { current_position(out); }

// The error event comes while the error is raised, before anything is
// unwound, often from inside a native's own code. A break, continue or throw
// out of the callback would unwind marks that native still holds, and the
// code would then leave the native as an exception it never expected, its
// marks left open. So the callback runs under a try/all mark of its own,
// which turns such a code (and an error of the callback's own) into an error
// it receives; that one is dropped and the first error goes on its way.
void traced_error(const kel_value* error) {
    if (!trace.active) return;
    if (stack::regs.marks_top >= stack::regs.marks_limit) return;  // no room: an overflow is being raised
    kel_value* const top = stack::top();
    kel_value* const base = stack::arguments();
    const int32_t depth = stack::mark_depth();
    const uint32_t throw_start = stack::regs.throw_start;  // the raise still reads it
    stack::open_frame(&words::_try, stack::kind::try_all);
    try {
        notify_tracer(event::error, nullptr, -1, nullptr, error);
    } catch (const kel_unwind&) {
    }
    stack::regs.marks_top = stack::regs.marks_bottom + depth;
    stack::regs.top = top;
    stack::regs.arguments = base;
    stack::regs.throw_start = throw_start;
}

const kel_value* resolve_type_word(const kel_value* word) { return word_ops::value_or_null(word); }

// Every raise names its call twice (the record and the error's `where`), so
// the indexes found for call names are kept in a cache like the field cache,
// emptied with it at every collection. Only found indexes are kept: a node
// that was dead may be taken again before the next collection.
struct name_entry {
    uint32_t ctx;
    uint32_t symbol;
    int32_t index;
    uint32_t unused;
};
name_entry name_cache[1u << field_cache_bits];

// The index of a call mark's name in the context it was bound to (a node
// that is not a live context answers -1: names only describe).
int32_t index_in(uint32_t ctx, uint32_t symbol) {
    name_entry& e = name_cache[slot_hash(ctx, symbol)];
    if (e.ctx == ctx && e.symbol == symbol && ctx != 0) return e.index;
    if (ctx < memory::node_base || !memory::node_live_q(ctx)) return -1;
    if (type_of(reinterpret_cast<const kel_value*>(header_of(ctx)->head_ptr())) != types::context) return -1;
    const int32_t index = _context::index_of(ctx, symbol, true);
    if (index >= 0) e = name_entry{ctx, symbol, index, 0};
    return index;
}

// An object's change handler: object.cpp opened its call mark (named by the
// handler's field) and pushed its arguments; the body runs with the object's
// context as its owner and the handler kind as its trace filter.
signal_code invoke_handler(const kel_value* fn, uint32_t object_ctx, uint32_t event_mask) {
    kel_value name;
    stack::innermost_name(&name);
    return call_function_body(fn, object_ctx, &name, event_mask);
}

// An object's (or an error's) spec block, evaluated for its effects in a
// mark of its own; the value stays pushed for the caller to drop.
signal_code eval_spec(const kel_value* block) { return eval_block(block, false); }

// `near` of a new error!: the expression running, when one is.
void error_near(kel_value* out) {
    if (innermost_code) current_position(out);
}

// sort/compare with a function: the call both sorts make, in a frame named
// `<compare-callback>` under the sort trace filter. The string sort takes a
// control code back as the answer and leaves the sort itself; the block sort
// runs inside C++ that cannot return one, so the code travels wrapped.
signal_code call_sort_function(const kel_value* fn, const kel_value* first, const kel_value* second,
                               kel_value* answer) {
    const kel_value args[2] = {*first, *second};
    return call_function(fn, &words::_compare_callback, args, 2, filter::sort, answer);
}

void compare_callback(const kel_value* fn, const kel_value* first, const kel_value* second, kel_value* answer) {
    const signal_code c = call_sort_function(fn, first, second, answer);
    if (c != signal_code::none) stack::throw_code(c);
}
}  // namespace

void install_hooks() {
    stack::record_names(word_symbol(&words::_body), word_symbol(&words::_anon), &words::_not_found);
    stack::contexts.index_of = index_in;
    typeset::resolve_word = resolve_type_word;
    block::call_compare = compare_callback;
    string::compare_callback = call_sort_function;
    raising.near = near_of;
    raising.traced = traced_error;
    object::invoke_hook = invoke_handler;
    object::eval_block = eval_spec;
    error::current_position = error_near;
}

void setup() {
    // The cells kept outside the stacks (the current position, the trace
    // callback, the set-path mark's name) are roots of every collection.
    static bool rooted = false;
    if (!rooted) {
        rooted = collector::add_hook([] { each_root([](kel_value* cell) { collector::mark_value(cell); }); });
        if (!rooted) fatal::report_error(fatal::assertion_failed, __builtin_return_address(0));
    }
    eval_set_path_word = *word::from_c_string("eval-set-path");
    decode::setup();
    decode::release_pure = pure::release;
    forget_fields();  // a new runtime's symbols and contexts
    std::memset(name_cache, 0, sizeof name_cache);
    machine_floor = compute_floor();
}

void each_root(void (*mark)(kel_value* cell)) {
    // A collection may free contexts and so free their ids for reuse: the
    // caches keyed by context id start again empty.
    forget_fields();
    std::memset(name_cache, 0, sizeof name_cache);
    mark(&trace.callback);
    mark(&eval_set_path_word);
    mark_frames(mark);
}

}  // namespace kel::interpreter
