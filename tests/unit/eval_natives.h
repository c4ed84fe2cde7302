// eval_natives: a small stand-in environment for evaluator tests and
// benchmarks until the native table and the boot exist: the global words of
// the datatype names and of the typesets the specs use, true/false/none, the
// 59 action words, a few operators, and minimal natives in spare slots of the
// native table (either, if, lesser?, equal?, while, return, exit, break,
// continue, throw, catch, try, do). Header-only so that benchmarks, which
// link only the runtime, can use it too.
#pragma once
#include <cstring>

#include <string>
#include <utility>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/native.h"
#include "datatypes/word.h"
#include "kernel/actions.h"
#include "kernel/action_specs.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/runtime.h"
#include "datatypes/runtime_words.h"

namespace kel::evaltest {

// Table numbers of the stand-in natives (spare slots past the 107 natives).
namespace slot {
enum : int32_t {
    either = 108, if_, lesser_q, equal_q, while_, return_, exit, break_, continue_, throw_, catch_, try_, do_,
};
}

inline bool truthy(const kel_value* v) {
    const uint32_t t = type_of(v);
    return !(t == types::none || (t == types::logic && !get_logic(v)));
}

// Sets a global word to a value.
inline void define(const char* name, const kel_value& value) {
    kel_value w = *word::from_c_string(name);
    _context::set_bound(&w, &value);
}

inline signal_code n_either(bool, const refinements&) {
    const kel_value blk = truthy(stack::argument(1)) ? *stack::argument(2) : *stack::argument(3);
    return interpreter::eval_in_place(&blk, true);
}

inline signal_code n_if(bool, const refinements&) {
    if (!truthy(stack::argument(1))) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    const kel_value blk = *stack::argument(2);
    return interpreter::eval_in_place(&blk, true);
}

inline signal_code n_lesser(bool, const refinements&) {
    actions::compare_arguments(cmp::lesser);
    return signal_code::none;
}

inline signal_code n_equal(bool, const refinements&) {
    actions::compare_arguments(cmp::equal);
    return signal_code::none;
}

inline signal_code n_while(bool, const refinements&) {
    const kel_value cond = *stack::argument(1);
    const kel_value body = *stack::argument(2);
    stack::open_loop_frame(&words::_while);
    for (;;) {
        KEL_PROPAGATE(interpreter::eval_in_place(&cond, false));
        const bool go = truthy(stack::top() - 1);
        stack::rewind();
        if (!go) break;
        const signal_code c = interpreter::eval_in_place(&body, false);
        if (c == signal_code::break_) {
            stack::close_frame_set_last();
            return signal_code::none;
        }
        if (c != signal_code::none && c != signal_code::continue_) return c;
        stack::rewind();
    }
    stack::close_frame_rewind();
    set_none(stack::alloc_cell());
    return signal_code::none;
}

inline signal_code n_return(bool, const refinements&) { return stack::raise_return(stack::argument(1), true); }
inline signal_code n_exit(bool, const refinements&) { return stack::raise_return(nullptr, true); }

inline signal_code n_break(bool, const refinements& refs) {
    return stack::raise_break(refs.has(0) ? stack::arguments() + refs.at[0] : nullptr, false);
}
inline signal_code n_continue(bool, const refinements&) { return stack::raise_break(nullptr, true); }

inline signal_code n_throw(bool, const refinements& refs) {
    return stack::raise_throw(stack::argument(1), refs.has(0) ? stack::arguments() + refs.at[0] : nullptr);
}

inline signal_code n_catch(bool, const refinements&) {
    const kel_value blk = *stack::argument(1);
    stack::open_catch_frame(&words::_catch);
    const signal_code c = interpreter::eval_block(&blk, false);
    if (c != signal_code::none && c != signal_code::throw_) return c;
    stack::close_frame_set_last();
    return signal_code::none;
}

inline signal_code n_try(bool, const refinements&) {
    const kel_value blk = *stack::argument(1);
    stack::open_try_frame(&words::_try);
    signal_code c;
    try {
        c = interpreter::eval_block(&blk, false);
    } catch (const kel_unwind& u) {
        if (u.code != code_value(signal_code::error)) throw;
        c = signal_code::error;
    }
    if (c == signal_code::error) {
        stack::settle_try_result();
        return signal_code::none;
    }
    KEL_PROPAGATE(c);
    stack::close_frame_set_last();
    return signal_code::none;
}

inline signal_code n_do(bool, const refinements&) {
    const kel_value v = *stack::argument(1);
    if (type_of(&v) != types::block) return signal_code::none;
    return interpreter::eval_block(&v, true);
}

struct native_def {
    int32_t number;
    const char* name;
    const char* spec;
    natives::native_fn fn;
    natives::fast_path fast;
    int32_t code;
};
// The stand-in natives and their spare slots.
inline const std::vector<native_def>& stand_in_defs() {
    static const std::vector<native_def> defs = {
        {slot::either, "either", "condition [any-type!] true-blk [block!] false-blk [block!]", n_either,
         natives::fast_path::none, 0},
        {slot::if_, "if", "condition [any-type!] then-blk [block!]", n_if, natives::fast_path::none, 0},
        {slot::lesser_q, "lesser?", "value1 [any-type!] value2 [any-type!]", n_lesser, natives::fast_path::compare,
         cmp::lesser},
        {slot::equal_q, "equal?", "value1 [any-type!] value2 [any-type!]", n_equal, natives::fast_path::compare,
         cmp::equal},
        {slot::while_, "while", "cond-blk [block!] body-blk [block!]", n_while, natives::fast_path::none, 0},
        {slot::return_, "return", "value [any-type!]", n_return, natives::fast_path::none, 0},
        {slot::exit, "exit", "", n_exit, natives::fast_path::none, 0},
        {slot::break_, "break", "/return value [any-type!]", n_break, natives::fast_path::none, 0},
        {slot::continue_, "continue", "", n_continue, natives::fast_path::none, 0},
        {slot::throw_, "throw", "value [any-type!] /name word [word!]", n_throw, natives::fast_path::none, 0},
        {slot::catch_, "catch", "block [block!]", n_catch, natives::fast_path::none, 0},
        {slot::try_, "try", "block [block!]", n_try, natives::fast_path::none, 0},
        {slot::do_, "do", "value [any-type!]", n_do, natives::fast_path::none, 0},
    };
    return defs;
}

inline void define_stand_ins() {
    for (const native_def& d : stand_in_defs()) {
        if (natives::at(d.number).fn == d.fn) continue;
        natives::entry e;
        e.name = d.name;
        e.spec = d.spec;
        e.fn = d.fn;
        e.fast = d.fast;
        e.fast_code = d.code;
        (void)natives::define(d.number, e);
    }
}

// Gives the spare slots back (the table as the runtime has it), for suites
// that check the table; install puts them back.
inline void remove_stand_ins() {
    for (const native_def& d : stand_in_defs()) (void)natives::define(d.number, natives::empty_entry);
}

// The words of the environment and their values (the values also kept in
// the root block), so they can be bound again after other suites bound the
// same names to their own values.
inline std::vector<std::pair<std::string, kel_value>>& bindings() {
    static std::vector<std::pair<std::string, kel_value>> list;
    return list;
}

inline void keep(const char* name, const kel_value& v) {
    bindings().emplace_back(name, *block::ks_add(block::root(), &v));
    define(name, v);
}

// Puts the stand-in natives into their spare slots (when something took
// them out) and binds every word of the environment again.
inline void bind_words() {
    define_stand_ins();
    for (const auto& [name, value] : bindings()) define(name.c_str(), value);
}

// Makes the environment once; later calls only bind it again.
inline void install() {
    static bool done = false;
    if (done) return bind_words();
    runtime::init();
    done = true;
    for (uint32_t t = 1; t <= registry::highest_type_id; ++t) {
        if (!registry::registered_q(t)) continue;
        kel_value d;
        set_datatype(&d, t);
        keep(registry::type_names[t].name, d);
    }
    const auto typeset_of = [](std::initializer_list<uint32_t> ids) {
        kel_value ts;
        init_cell(&ts, types::typeset);
        for (uint32_t id : ids) typeset_add(&ts, id);
        return ts;
    };
    kel_value any;
    init_cell(&any, types::typeset);
    for (uint32_t t = 1; t <= types::count; ++t) typeset_add(&any, t);
    keep("any-type!", any);
    keep("number!", typeset_of({types::integer, types::float_, types::percent, types::money}));
    keep("scalar!", typeset_of({types::char_, types::integer, types::float_, types::pair, types::percent,
                                  types::tuple, types::time, types::date, types::money, types::point2d,
                                  types::point3d}));
    keep("series!", typeset_of({types::block, types::paren, types::string, types::file, types::url, types::path,
                                  types::lit_path, types::set_path, types::get_path, types::binary, types::tag,
                                  types::email, types::hash, types::vector, types::image, types::ref}));
    keep("any-string!", typeset_of({types::string, types::file, types::url, types::tag, types::email, types::ref}));
    keep("any-word!", typeset_of({types::word, types::set_word, types::lit_word, types::get_word,
                                    types::refinement, types::issue}));
    keep("any-object!", typeset_of({types::object, types::error, types::port}));
    keep("any-function!",
           typeset_of({types::native, types::action, types::op, types::function, types::routine}));
    keep("any-block!", typeset_of({types::block, types::paren, types::path, types::lit_path, types::set_path,
                                     types::get_path, types::hash}));
    kel_value v;
    set_logic(&v, true);
    keep("true", v);
    set_logic(&v, false);
    keep("false", v);
    set_none(&v);
    keep("none", v);

    for (int32_t a = 1; a <= act::count; ++a) {
        const char* name = action_specs::of(a).word;
        if (!name) continue;
        kel_value* holder = stack::push_unset();
        natives::make_action(a, holder);
        keep(name, *holder);
        stack::drop_cells(1);
    }

    define_stand_ins();
    for (const native_def& d : stand_in_defs()) {
        kel_value* holder = stack::push_unset();
        natives::make_native(d.number, holder);
        keep(d.name, *holder);
        stack::drop_cells(1);
    }
    struct op_def {
        const char* name;
        const char* of;
    };
    const op_def ops[] = {{"+", "add"},      {"-", "subtract"},  {"*", "multiply"}, {"/", "divide"},
                          {"<", "lesser?"},  {"=", "equal?"},    {"and", "and~"},   {"or", "or~"}};
    for (const op_def& o : ops) {
        kel_value w = *word::from_c_string(o.of);
        const kel_value target = *_context::get_bound(&w);
        kel_value op;
        native::make_op(&target, &op);
        keep(o.name, op);
    }
    stack::reset();
}

// Reads code text into a block (kept in the root block).
inline kel_value read(const char* text) {
    kel_value out;
    natives::read_spec(text, &out);
    return out;
}

}  // namespace kel::evaltest
