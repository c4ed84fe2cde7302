// trace: the trace callback of `trace`: its event mask, starting and
// stopping it, and notify_tracer, which calls it with one event. Every tier
// but the generic step declines while a trace runs, so only the generic step
// and the frame loop's own generic paths fire events.
#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

namespace {

const kel_value* event_word(uint32_t e) {
    switch (e) {
        case event::init: return &words::_init;
        case event::end: return &words::_end;
        case event::prolog: return &words::_prolog;
        case event::epilog: return &words::_epilog;
        case event::enter: return &words::_enter;
        case event::exit: return &words::_exit;
        case event::open: return &words::_open;
        case event::return_: return &words::_return;
        case event::fetch: return &words::_fetch;
        case event::push: return &words::_push;
        case event::set: return &words::_set;
        case event::call: return &words::_call;
        case event::error: return &words::_error;
        case event::throw_: return &words::_throw;
        case event::catch_: return &words::_catch;
        default: return &words::_expr;
    }
}

struct tracing_off {
    bool saved;
    tracing_off() : saved(trace.active) { trace.active = false; }
    ~tracing_off() { trace.active = saved; }
};

}  // namespace

uint32_t trace_mask(const kel_value* callback) {
    const kel_value body = *function::more_cell(callback, function::more::body);
    if (type_of(&body) != types::block || block::ks_length_q(&body) <= 0) return event::default_mask;
    const kel_value first = *block::ks_abs_at(&body, series_head(&body));
    if (type_of(&first) != types::block) return event::default_mask;
    uint32_t mask = 0;
    const int32_t n = block::ks_length_q(&first);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* w = block::ks_abs_at(&first, series_head(&first) + i);
        if (type_of(w) != types::word) continue;
        const uint32_t s = symbol::resolve(word_symbol(w));
        for (uint32_t bit = 1; bit <= event::expr; bit <<= 1)
            if (symbol::resolve(word_symbol(event_word(bit))) == s) mask |= bit;
    }
    return mask;
}

void start_tracing(const kel_value* callback) {
    const kel_value cb = *callback;
    trace.callback = cb;  // kept for the collector by each_root
    trace.mask = trace_mask(&cb);
    trace.locals = function::count_locals(cb.w2, 0, false);
    trace.active = true;
}

void stop_tracing() {
    trace.active = false;
    set_unset(&trace.callback);
}

void notify_tracer(uint32_t ev, const kel_value* code, int32_t pos, const kel_value* ref, const kel_value* value) {
    if (!(trace.mask & ev) || type_of(&trace.callback) != types::function) return;
    kel_value* saved_base = stack::arguments();
    (void)stack::alloc_cell();  // the value just produced stays below
    kel_value* saved_top = stack::top();
    const kel_value cb = trace.callback;
    kel_value args[6];
    args[0] = *event_word(ev);
    if (code) args[1] = *code;
    else set_none(&args[1]);
    int32_t offset = -1;
    if (code && pos >= 0) {
        const int32_t head = series_head(code);
        const int32_t tail = tail_index(series_node(code));
        if (pos >= head && pos <= tail) offset = pos - head;
    }
    set_integer(&args[2], offset);
    if (value && type_of(value) != types::none_id) args[3] = *value;
    else set_none(&args[3]);
    const bool with_ref = ev == event::set || ev == event::epilog || ev == event::prolog || ev == event::return_ ||
                          ev == event::call;
    if (with_ref && ref) args[4] = *ref;
    else set_none(&args[4]);
    set_pair(&args[5], static_cast<int32_t>(stack::offset_of(saved_base)),
             static_cast<int32_t>(stack::offset_of(saved_top) - 1));
    signal_code c;
    {
        // Off from the frame's opening: an error there (a full mark stack, an
        // argument the callback refuses) must not call the tracer again.
        tracing_off off;
        stack::open_call_frame(&words::_interp_callback, cb.w1, stack::kind::eval_call);
        push_fixed_frame(&cb, &words::_interp_callback, args, 6, true);
        const kel_value* object = function::more_cell(&cb, function::more::object);
        const uint32_t owner = type_of(object) == types::integer ? static_cast<uint32_t>(get_integer(object)) : 0;
        c = call_function_body(&cb, owner, &words::_interp_callback, 0);
    }
    if (c != signal_code::none) stack::throw_code(c);
    stack::close_call_frame();
    stack::regs.top = saved_top - 1;
    stack::regs.arguments = saved_base;
}

void trace_init() {
    if (trace.active) notify_tracer(event::init, nullptr, -1, nullptr, nullptr);
}
void trace_end() {
    if (trace.active) notify_tracer(event::end, nullptr, -1, nullptr, nullptr);
}
void trace_throw() {
    if (trace.active) notify_tracer(event::throw_, nullptr, -1, nullptr, stack::arguments());
}
void trace_catch() {
    if (trace.active) notify_tracer(event::catch_, nullptr, -1, nullptr, stack::arguments());
}
void trace_call(const kel_value* name, const kel_value* fn) {
    if (trace.active) notify_tracer(event::call, nullptr, -1, name, fn);
}
void trace_return(const kel_value* name) {
    if (trace.active) notify_tracer(event::return_, nullptr, -1, name, stack::arguments());
}

}  // namespace kel::interpreter
