// routine_calls: the bodies of calls once their arguments are in: a
// function's body (call_function_body), a routine's native code
// (invoke_routine, its spec read once per routine), and a function called
// from C++ with its arguments given (call_function).
#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

signal_code call_function_body(const kel_value* fn_in, uint32_t, const kel_value* name, uint32_t filter) {
    const kel_value fn = *fn_in;
    const uint32_t ctx = fn.w1;
    kel_value* base = stack::arguments();
    const int32_t depth = stack::mark_depth();
    const bool stack_context = (cells_of(ctx)->header & header_context_stack) != 0;
    const uint32_t old = stack_context ? context_values(ctx) : 0;
    if (stack_context) set_context_values(ctx, stack::offset_of(base) + 1);
    stack::innermost_frame()->flags |= stack::flag_return_target;
    const kel_value body = *function::more_cell(&fn, function::more::body);
    signal_code code = signal_code::none;
    if ((fn.header & (function::flag_trace | function::flag_no_trace)) || filter || trace.active) [[unlikely]] {
        // The trace switch while the body runs, put back however it ends
        // when this function's flags or filter changed it; a body that only
        // runs traced keeps what it set (`trace false` lasts past its call).
        struct trace_guard {
            bool saved;
            bool restore;
            explicit trace_guard(bool r) : saved(trace.active), restore(r) {}
            ~trace_guard() {
                if (restore) trace.active = saved;
            }
        } guard((fn.header & (function::flag_trace | function::flag_no_trace)) || filter);
        if (fn.header & function::flag_trace) trace.active = trace.master;
        if (fn.header & function::flag_no_trace) trace.active = false;
        const bool bracketed = filter != 0 && trace.active;
        if (bracketed) {
            notify_tracer(event::call, nullptr, -1, name, &fn);
            if (!(trace.callback_bits & filter)) trace.active = false;
        }
        // A library function that library code calls is a step inside the
        // caller, which reports none: no prolog or epilog of its own.
        const bool inner = !(stack::innermost_frame()->flags & stack::flag_interpreted) &&
                           type_of(&body) == types::block && position_of(&body).library;
        if (trace.active && !inner) notify_tracer(event::prolog, &body, -1, name, &fn);
        if (type_of(&body) == types::block) code = eval_block(&body, true);
        else set_unset(base);
        // A body left by an error reports the error event, not an epilog.
        if (trace.active && !inner && code != signal_code::error) notify_tracer(event::epilog, &body, -1, name, &fn);
        if (bracketed && stack::mark_depth() == depth && code == signal_code::none) {
            trace.active = guard.saved;
            notify_tracer(event::return_, nullptr, -1, name, stack::arguments());
        }
    } else if (type_of(&body) == types::block) [[likely]] {
        code = eval_in_place(&body, true);
    } else {
        set_unset(base);
    }
    if (code == signal_code::none ||
        ((code == signal_code::return_ || code == signal_code::exit) && stack::mark_depth() == depth)) [[likely]] {
        stack::innermost_frame()->flags &= ~stack::flag_return_target;
        if (stack_context) set_context_values(ctx, old);
        return signal_code::none;
    }
    // Unwound past this call: its mark gave the context its values back.
    return code;
}

namespace {

// What invoke_routine reads off a routine's spec, kept per routine number:
// each argument word's position and the first word of its type block (the
// walk and the any-type! test otherwise cost more than most routines' own
// work). Valid while the spec's buffer is unchanged and within one collector
// cycle (a node id may be reused after a sweep).
constexpr int32_t max_routine_args = 32;
struct routine_shape {
    uint32_t spec_node = 0, stamp = 0, cycle = 0;
    int32_t count = 0;
    struct argument {
        int32_t position;  // the argument word's index in the spec
        kel_value first;   // the first word of its type block (none!: untyped)
        bool any;          // typed any-type!
    } args[max_routine_args];
};
std::vector<routine_shape> routine_shapes;

const routine_shape& shape_of(int32_t number, const kel_value& spec) {
    if (static_cast<size_t>(number) >= routine_shapes.size()) routine_shapes.resize(static_cast<size_t>(number) + 1);
    routine_shape& sh = routine_shapes[static_cast<size_t>(number)];
    const uint32_t node = series_node(&spec);
    const memory::buffer_header* h = header_of(node);
    if (sh.spec_node == node && sh.stamp == memory::stamp_of(h) && sh.cycle == memory::root.collector_cycle &&
        series_head(&spec) == 0)
        return sh;
    sh.spec_node = 0;
    int32_t count = 0;
    const int32_t n = block::ks_length_q(&spec);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* c = block::ks_abs_at(&spec, i);
        if (type_of(c) != types::word) continue;
        if (count == max_routine_args) fire(error_category::internal, "not-done");
        routine_shape::argument& a = sh.args[count++];
        a.position = i;
        a.first = kel_value{types::none, 0, 0, 0};
        a.any = false;
        if (i + 1 < n && type_of(block::ks_abs_at(&spec, i + 1)) == types::block) {
            const kel_value types_block = *block::ks_abs_at(&spec, i + 1);
            if (block::ks_length_q(&types_block) > 0) a.first = *block::ks_abs_at(&types_block, series_head(&types_block));
            if (type_of(&a.first) != types::word) fire(error_category::script, "invalid-type-spec", &a.first);
            a.any = symbol::resolve(word_symbol(&a.first)) == symbol::resolve(words::any_type);
        }
    }
    sh.count = count;
    if (series_head(&spec) == 0) {
        sh.spec_node = node;
        sh.stamp = memory::stamp_of(h);
        sh.cycle = memory::root.collector_cycle;
    }
    return sh;
}
}  // namespace

signal_code invoke_routine(const kel_value* routine_in) {
    const kel_value r = *routine_in;
    const kel_value* number_cell = function::more_cell(&r, function::more::code);
    const int32_t number = type_of(number_cell) == types::integer ? get_integer(number_cell) : 0;
    const routines::entry& e = routines::at(number);
    if (!e.fn) fire(error_category::internal, "not-done");
    kel_value* base = stack::arguments();
    routines::machine_value args[max_routine_args];
    const kel_value spec = function::spec_of(&r);
    const routine_shape& shape = shape_of(number, spec);
    const int32_t count = shape.count;
    const bool cells = (r.header & routine::flag_cells) || e.cells;
    for (int32_t a = count - 1; a >= 0; --a) {
        kel_value* arg = base + a;
        // An untyped argument takes any value but unset!, like a function's.
        const kel_value first = shape.args[a].first;
        const bool untyped = type_of(&first) == types::none;
        const bool any = shape.args[a].any;
        if (untyped && type_of(arg) == types::unset) {
            kel_value caller, datatype, w = *block::ks_abs_at(&spec, shape.args[a].position);
            const error_arg name = stack::innermost_name_arg(&caller);
            set_datatype(&datatype, types::unset);
            fire(error_category::script, "expect-arg", name, &datatype, &w);
        }
        // Only an argument declared logic!, integer! or float! is passed as
        // a machine value; any other goes as the address of its cell.
        bool machine = false;
        if (!any && !untyped) {
            const kel_value* declared = word_ops::value_or_null(&first);
            kel_value named;
            if (!declared || (type_of(declared) != types::typeset && type_of(declared) != types::datatype)) {
                // A script may unset or reuse a datatype's word; the
                // library's own routines still check by the name.
                if (typeset::typeset_named(&first, &named)) {
                    declared = &named;
                } else if (const uint32_t t = typeset::datatype_named(&first)) {
                    set_datatype(&named, t);
                    declared = &named;
                }
            }
            const uint32_t dt = declared ? type_of(declared) : static_cast<uint32_t>(types::unset);
            bool ok;
            if (dt == types::typeset) ok = typeset_has(declared, type_of(arg));
            else if (dt == types::datatype) {
                const uint32_t t = get_datatype(declared);
                ok = t == type_of(arg);
                machine = t == types::logic || t == types::integer || t == types::float_;
            }
            else fire(error_category::script, "invalid-type-spec", &first);
            if (!ok) {
                kel_value caller, datatype, w = *block::ks_abs_at(&spec, shape.args[a].position);
                const error_arg name = stack::innermost_name_arg(&caller);
                set_datatype(&datatype, type_of(arg));
                w.header = types::word;
                fire(error_category::script, "expect-arg", name, &datatype, &w);
            }
        }
        if (cells || !machine) {
            args[a].cell = arg;
            continue;
        }
        switch (type_of(arg)) {
            case types::logic: args[a].i = get_logic(arg) ? 1 : 0; break;
            case types::integer: args[a].i = get_integer(arg); break;
            case types::float_: args[a].f = get_float(arg); break;
            default: args[a].cell = arg; break;
        }
    }
    if (cells) {
        stack::open_native_frame(&words::_body);
        const routines::machine_value answer = e.fn(args, count);
        stack::close_frame_rewind();
        const kel_value result = answer.cell ? *answer.cell : kel_value{types::unset, 0, 0, 0};
        *base = result;
        return signal_code::none;
    }
    // The result slot lies above the arguments, so a body that leaves its
    // answer there (no declared return type) cannot clobber an argument.
    kel_value* const slot = stack::push_unset();
    const routines::result_scope scope(slot);
    const routines::machine_value answer = e.fn(args, count);
    const kel_value* declared = function::more_cell(&r, function::more::object);
    const int32_t rt = type_of(declared) == types::integer ? get_integer(declared) : -1;
    switch (rt) {
        case types::logic: set_logic(base, answer.i != 0); break;
        case types::integer: set_integer(base, answer.i); break;
        case types::float_: set_float(base, answer.f); break;
        default: *base = *slot; break;
    }
    stack::regs.top = slot;
    return signal_code::none;
}

signal_code call_function(const kel_value* fn_in, const kel_value* name_in, const kel_value* args, int32_t count,
                          uint32_t filter, kel_value* result, kel_value* final_args) {
    KEL_PROPAGATE(check_machine_stack());
    const kel_value fn = *fn_in;
    const kel_value name = name_in ? *name_in : words::_anon;
    kel_value* placeholder = stack::push_copy(&fn);
    const bool routine = type_of(&fn) == types::routine;
    int32_t placed = 0;
    if (routine) {
        stack::open_frame(&name, stack::kind::eval_native);
        placed = push_fixed_frame(&fn, &name, args, count);
        KEL_PROPAGATE(invoke_routine(&fn));
    } else {
        stack::open_call_frame(&name, fn.w1, stack::kind::eval_call);
        placed = push_fixed_frame(&fn, &name, args, count);
        const kel_value* object = function::more_cell(&fn, function::more::object);
        const uint32_t owner = type_of(object) == types::integer ? static_cast<uint32_t>(get_integer(object)) : 0;
        KEL_PROPAGATE(call_function_body(&fn, owner, &name, filter));
    }
    if (final_args)
        for (int32_t i = 1; i < placed; ++i) final_args[i] = placeholder[1 + i];
    if (routine) stack::close_frame();
    else stack::close_call_frame();
    *result = *(placeholder + 1);
    stack::regs.top = placeholder;
    return signal_code::none;
}

}  // namespace kel::interpreter
