// test_objects_support: see test_objects_support.h.
#include "tests/unit/test_objects_support.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"

namespace kel::test {

std::vector<hook_call> hook_calls;

kel_value word_v(const char* name, uint32_t type) {
    boot();
    kel_value w = *word::from_c_string(name);
    set_type(&w, type);
    return w;
}

uint32_t canonical_symbol(const char* name) { return symbol::resolve(symbol::intern(name)); }

bool word_named(const kel_value& v, const char* name) {
    return in_family(type_of(&v), family::word) && symbol::resolve(word_symbol(&v)) == canonical_symbol(name);
}

kel_value function_v(const kel_value& spec, const kel_value* body) {
    boot();
    kel_value* holder = block::make_at_tail(nullptr, 1);
    const uint32_t ctx = _context::make_from_spec(&spec, true, false, _context::kind_function);
    const uint32_t aux = memory::new_unset_cells(5);
    memory::buffer_header* h = memory::buffer_of(aux);
    h->tail = h->head + 80;
    auto* cells = reinterpret_cast<kel_value*>(h->head_ptr());
    for (int i = 0; i < 5; ++i) set_unset(cells + i);
    if (body) cells[0] = *body;
    else set_none(cells);
    kel_value f{types::function, ctx, series_node(&spec), aux};
    *_context::owner(ctx) = f;
    block::ks_add(holder, &f);
    return f;
}

signal_code eval_literal(const kel_value* block) {
    const kel_value b = *block;
    const int32_t head = series_head(&b);
    const int32_t n = block::ks_length_q(&b);
    std::vector<kel_value> targets;
    for (int32_t i = 0; i < n; ++i) {
        kel_value c = *block::ks_abs_at(&b, head + i);
        if (type_of(&c) == types::set_word) {
            targets.push_back(c);
            continue;
        }
        if (type_of(&c) == types::lit_word) set_type(&c, types::word);
        else if (type_of(&c) == types::word) c = *_context::get_bound(&c);
        for (kel_value& t : targets) _context::set_in(&t, &c, word_context(&t), true);
        targets.clear();
    }
    return signal_code::none;
}

signal_code record_hook(const kel_value* function, uint32_t object_ctx, uint32_t event_mask) {
    hook_call call{*function, object_ctx, event_mask, {}};
    for (kel_value* c = stack::arguments(); c < stack::top(); ++c) call.args.push_back(*c);
    hook_calls.push_back(call);
    const kel_value* aux = reinterpret_cast<kel_value*>(memory::buffer_of(function->w3)->head_ptr());
    if (type_of(aux) == types::block && block::ks_length_q(aux) > 0 &&
        word_named(*block::ks_abs_at(aux, series_head(aux)), "fail"))
        fire(error_category::script, "invalid-arg", aux);
    return signal_code::none;
}

namespace {
struct runtime_hooks {
    bool saved = false;
    object::invoke_fn invoke = nullptr;
    object::eval_fn eval = nullptr;
    object::on_change_fn on_change = nullptr;
    object::owner_hooks owners;
    void (*position)(kel_value*) = nullptr;
    int32_t (*trace_level)() = nullptr;
} runtime;
}  // namespace

void install_object_stand_ins() {
    boot();
    if (!runtime.saved) {
        runtime = {true,          object::invoke_hook,      object::eval_block, object::call_on_change,
                   object::hooks, error::current_position, error::trace_level};
    }
    object::invoke_hook = record_hook;
    object::eval_block = eval_literal;
    object::call_on_change = object::run_on_change;
    hook_calls.clear();
}

void restore_object_hooks() {
    if (!runtime.saved) return;
    object::invoke_hook = runtime.invoke;
    object::eval_block = runtime.eval;
    object::call_on_change = runtime.on_change;
    object::hooks = runtime.owners;
    error::current_position = runtime.position;
    error::trace_level = runtime.trace_level;
}

kel_value make_object(const kel_value& prototype_or_type, const kel_value& spec) {
    boot();
    kel_value* top = stack::top();
    stack::call_mark* marks = stack::regs.marks_top;
    kel_value* base = stack::arguments();
    try {
        stack::open_native_frame(nullptr);
        stack::push_copy(&prototype_or_type);
        stack::push_copy(&spec);
        (void)actions::make_star(refinements::none());
        const kel_value result = *stack::arguments();
        stack::close_frame();
        stack::regs.top = top;
        return *block::ks_add(block::root(), &result);
    } catch (...) {
        stack::regs.top = top;
        stack::regs.marks_top = marks;
        stack::regs.arguments = base;
        throw;
    }
}

kel_value make_object(const kel_value& spec) { return make_object(type_v(types::object), spec); }

kel_value construct_object(const kel_value& spec) {
    kel_value* top = stack::top();
    const kel_value made = *object::construct(&spec, nullptr, false);
    stack::regs.top = top;
    return *block::ks_add(block::root(), &made);
}

kel_value field(const kel_value& o, const char* name) {
    const kel_value w = word_v(name);
    return *object::value_of_word(&o, &w);
}

}  // namespace kel::test
