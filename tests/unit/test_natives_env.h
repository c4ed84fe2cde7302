// test_natives_env: the environment the native tests and benchmarks run
// code in, until the boot defines it: the global words of the datatype names
// and of the typesets that native specs name, true/false/none, the action
// words, the built natives by name, a few operators, and stand-ins for the
// comparison natives (and `not`) while those are not built. The stand-ins sit
// in the natives' own slots with the natives' own specs, so a value made from
// those numbers always sees the spec it was made for.
//
// `bind_words` sets the words again (cheap), so a test that runs after other
// suites' environments finds its own; `install` brings the runtime up once
// and then binds. Header-only: benchmarks link only the runtime.
#pragma once
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/native.h"
#include "datatypes/word.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_table.h"
#include "evaluator/natives.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/runtime.h"

namespace kel::natives_env {

// Sets a global word to a value.
inline void define(const char* name, const kel_value& value) {
    kel_value w = *word::from_c_string(name);
    _context::set_bound(&w, &value);
}

template <int32_t Op>
signal_code compare_stand_in(bool, const refinements&) {
    actions::compare_arguments(Op);
    return signal_code::none;
}

inline signal_code not_stand_in(bool, const refinements&) {
    const kel_value* v = stack::arguments();
    const bool f = type_of(v) == types::none || (type_of(v) == types::logic && !get_logic(v));
    set_logic(stack::arguments(), f);
    return signal_code::none;
}

// The words and their values, made once (kept in the root block).
inline std::vector<std::pair<std::string, kel_value>>& bindings() {
    static std::vector<std::pair<std::string, kel_value>> list;
    return list;
}

inline void keep(const char* name, const kel_value& v) {
    bindings().emplace_back(name, *block::ks_add(block::root(), &v));
}

inline kel_value typeset_of(std::initializer_list<uint32_t> ids) {
    kel_value ts;
    init_cell(&ts, types::typeset);
    for (uint32_t id : ids) typeset_add(&ts, id);
    return ts;
}

inline void bind_words() {
    for (const auto& [name, value] : bindings()) define(name.c_str(), value);
}

inline void make_bindings() {
    for (uint32_t t = 1; t <= registry::highest_type_id; ++t) {
        if (!registry::registered_q(t)) continue;
        kel_value d;
        set_datatype(&d, t);
        keep(registry::type_names[t].name, d);
    }
    kel_value any;
    init_cell(&any, types::typeset);
    for (uint32_t t = 1; t <= types::count; ++t) typeset_add(&any, t);
    keep("any-type!", any);
    keep("number!", typeset_of({types::integer, types::float_, types::percent, types::money}));
    keep("scalar!", typeset_of({types::char_, types::integer, types::float_, types::pair, types::percent,
                                types::tuple, types::time, types::date, types::money, types::point2d, types::point3d}));
    keep("series!", typeset_of({types::block, types::paren, types::string, types::file, types::url, types::path,
                                types::lit_path, types::set_path, types::get_path, types::binary, types::tag,
                                types::email, types::hash, types::vector, types::image, types::ref}));
    keep("any-string!", typeset_of({types::string, types::file, types::url, types::tag, types::email, types::ref}));
    keep("any-word!", typeset_of({types::word, types::set_word, types::lit_word, types::get_word, types::refinement,
                                  types::issue}));
    keep("any-object!", typeset_of({types::object, types::error, types::port}));
    keep("any-function!", typeset_of({types::native, types::action, types::op, types::function, types::routine}));
    keep("any-block!", typeset_of({types::block, types::paren, types::path, types::lit_path, types::set_path,
                                   types::get_path, types::hash}));
    keep("any-list!", typeset_of({types::block, types::paren, types::hash}));
    keep("any-path!", typeset_of({types::path, types::lit_path, types::set_path, types::get_path}));
    keep("any-point!", typeset_of({types::point2d, types::point3d}));
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

    struct stand_in {
        int32_t number;
        natives::native_fn fn;
        int32_t compare;
    };
    const stand_in stand_ins[] = {
        {natives::number::equal_q, compare_stand_in<cmp::equal>, cmp::equal},
        {natives::number::not_equal_q, compare_stand_in<cmp::not_equal>, cmp::not_equal},
        {natives::number::strict_equal_q, compare_stand_in<cmp::strict_equal>, cmp::strict_equal},
        {natives::number::lesser_q, compare_stand_in<cmp::lesser>, cmp::lesser},
        {natives::number::greater_q, compare_stand_in<cmp::greater>, cmp::greater},
        {natives::number::lesser_or_equal_q, compare_stand_in<cmp::lesser_or_equal>, cmp::lesser_or_equal},
        {natives::number::greater_or_equal_q, compare_stand_in<cmp::greater_or_equal>, cmp::greater_or_equal},
        {natives::number::not_, not_stand_in, -1},
    };
    for (const stand_in& s : stand_ins) {
        if (natives::built_q(s.number)) continue;
        natives::entry e = natives::at(s.number);
        e.fn = s.fn;
        if (s.compare >= 0) {
            e.fast = natives::fast_path::compare;
            e.fast_code = s.compare;
        }
        (void)natives::define(s.number, e);
    }
    for (int32_t n = 1; n <= natives::number::count; ++n) {
        const bool usable = natives::built_q(n) || n == natives::number::not_ ||
                            (n >= natives::number::equal_q && n <= natives::number::greater_or_equal_q);
        if (!usable) continue;
        kel_value* holder = stack::push_unset();
        natives::make_native(n, holder);
        keep(natives::listed_name(n), *holder);
        stack::drop_cells(1);
    }
    bind_words();

    struct op_def {
        const char* name;
        const char* of;
    };
    const op_def ops[] = {{"+", "add"},         {"-", "subtract"},        {"*", "multiply"}, {"/", "divide"},
                          {"<", "lesser?"},     {">", "greater?"},        {"=", "equal?"},   {"<>", "not-equal?"},
                          {"<=", "lesser-or-equal?"}, {">=", "greater-or-equal?"}, {"==", "strict-equal?"},
                          {"and", "and~"},      {"or", "or~"}};
    for (const op_def& o : ops) {
        kel_value w = *word::from_c_string(o.of);
        const kel_value target = *_context::get_bound(&w);
        kel_value op;
        native::make_op(&target, &op);
        keep(o.name, op);
    }
    bind_words();
}

// Brings the runtime up once and binds the words (again).
inline void install() {
    static bool made = false;
    if (!made) {
        runtime::init();
        made = true;
        make_bindings();
        stack::reset();
    }
    bind_words();
}

// Reads code text into a block (kept in the root block).
inline kel_value read(const char* text) {
    kel_value out;
    natives::read_spec(text, &out);
    return out;
}

}  // namespace kel::natives_env
