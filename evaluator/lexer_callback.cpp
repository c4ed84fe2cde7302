// lexer_callback: see lexer_callback.h.
#include "evaluator/lexer_callback.h"

#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "evaluator/interpreter.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "datatypes/runtime_words.h"

namespace kel::lexer_callback {

namespace {

const kel_value* event_word(lexer::event e) {
    switch (e) {
        case lexer::ev_prescan: return &words::_prescan;
        case lexer::ev_scan: return &words::_scan;
        case lexer::ev_load: return &words::_load;
        case lexer::ev_open: return &words::_open;
        case lexer::ev_close: return &words::_close;
        default: return &words::_error;
    }
}

bool run(void* user, lexer::event e, kel_value* input, const kel_value* type, int32_t line, const kel_value* token) {
    const kel_value fn = *static_cast<const kel_value*>(user);
    kel_value args[5];
    args[0] = *event_word(e);
    if (input) args[1] = *input;
    else set_none(&args[1]);
    if (type) args[2] = *type;
    else set_none(&args[2]);
    set_integer(&args[3], line);
    if (token) args[4] = *token;
    else set_none(&args[4]);
    kel_value* answer = stack::push_unset();  // where the collector sees it
    kel_value final_args[5];
    final_args[1] = args[1];
    const signal_code c = interpreter::call_function(&fn, &words::_lexer_callback, args, 5,
                                                     interpreter::filter::lexer, answer, final_args);
    if (c != signal_code::none) stack::throw_code(c);
    // A callback that moved its `input` moves the scan: the lexer reads the
    // index back from the cell it handed over.
    if (input && type_of(final_args + 1) == type_of(input) && series_node(final_args + 1) == series_node(input))
        set_series_head(input, series_head(final_args + 1));
    const kel_value a = *answer;
    stack::drop_cells(1);
    return logic::truthy(&a);
}

}  // namespace

lexer::callback of(const kel_value* fn) {
    lexer::callback cb;
    cb.call = run;
    cb.user = const_cast<kel_value*>(fn);
    cb.mask = lexer::event_mask(function::more_cell(fn, function::more::body));
    return cb;
}

}  // namespace kel::lexer_callback
