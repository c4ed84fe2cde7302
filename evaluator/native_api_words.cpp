// native_api_words: word access, argument checks, calls with refinements,
// constant paths and the switch core.
#include "evaluator/native_api_words.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/word.h"
#include "kernel/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::word_ops {

kel_value* value_or_null(const kel_value* word) {
    const uint32_t ctx = word_context(word);
    const int32_t index = word_index(word);
    if (ctx == 0 || index < 0) return nullptr;
    kel_value* base = _context::values(ctx);
    if (!base) return nullptr;
    const int32_t limit = _context::stack_q(ctx)
                              ? _context::length(ctx)
                              : static_cast<int32_t>(memory::buffer_of(_context::cell(ctx)->w2)->used() / 16);
    return index < limit ? base + index : nullptr;
}

void set(kel_value* word) {
    const kel_value v = *stack::last_cell();
    if (unset_q(&v)) fire(error_category::script, "need-value", word);
    _context::set_bound(word, &v);
}

void set_reset(kel_value* word) {
    set(word);
    stack::rewind();
}

void set_in(uint32_t ctx, int32_t index) {
    const kel_value v = *stack::last_cell();
    if (unset_q(&v)) {
        const kel_value w = *context_ops::word_at(ctx, index);
        fire(error_category::script, "need-value", &w);
    }
    *word::get_in(ctx, index) = v;
}

void set_in_reset(uint32_t ctx, int32_t index) {
    set_in(ctx, index);
    stack::rewind();
}

void put_in_reset(uint32_t ctx, int32_t index) {
    const kel_value v = *stack::last_cell();
    *word::get_in(ctx, index) = v;
    if (_context::kind_of(_context::cell(ctx)) == _context::kind_object)
        context_ops::word_at(ctx, index)->header |= header_changed;
    stack::rewind();
}

kel_value* get(const kel_value* word) {
    kel_value* v = _context::get_bound(word);
    if (unset_q(v)) fire(error_category::script, "no-value", word);
    return v;
}

kel_value* get_in(uint32_t ctx, int32_t index) { return word::get_in(ctx, index); }

}  // namespace kel::word_ops

namespace kel::typecheck {

void call_argument_word(int32_t number, kel_value* out) {
    kel_value name;
    stack::innermost_name(&name);
    const kel_value* fn = in_family(type_of(&name), family::word) ? word_ops::value_or_null(&name) : nullptr;
    const uint32_t t = fn ? type_of(fn) : static_cast<uint32_t>(types::unset);
    if (in_family(t, family::function)) {
        kel_value f = *fn;
        if (t == types::op) f.header = (f.header >> 16) & 0xFFu;
        const kel_value cache = interpreter::cache_of(&f);
        const int32_t n = block::ks_length_q(&cache);
        int32_t seen = 0;
        for (int32_t i = 0; i < n; ++i) {
            const kel_value* e = block::ks_abs_at(&cache, i);
            if (type_of(e) != types::typeset || (e->header & interpreter::class_mask) == interpreter::class_return)
                continue;
            if (++seen == number) {
                interpreter::argument_word(&f, i, out);
                return;
            }
        }
    }
    *out = *word::from_c_string("value");
}

const kel_value* check_arg(const kel_value* typeset, int32_t number, const kel_value* value) {
    if (typeset_has(typeset, type_of(value))) return value;
    kel_value caller, datatype, word;
    const error_arg name = stack::innermost_name_arg(&caller);
    set_datatype(&datatype, type_of(value));
    call_argument_word(number, &word);
    fire(error_category::script, "expect-arg", name, &datatype, &word);
}

void check_ref_arg(int32_t index, const kel_value* typeset, int32_t number) {
    if (index >= 0) (void)check_arg(typeset, number, stack::arguments() + index);
}

const kel_value* check_opt_arg(const kel_value* refinement, const kel_value* typeset, int32_t number,
                               const kel_value* value) {
    if (refinement->w1 != 0) (void)check_arg(typeset, number, value);
    return value;
}

const kel_value* check_arg_set(int32_t number, const kel_value* value) {
    if (!unset_q(value)) return value;
    kel_value caller, datatype, word;
    const error_arg name = stack::innermost_name_arg(&caller);
    set_datatype(&datatype, types::unset);
    call_argument_word(number, &word);
    fire(error_category::script, "expect-arg", name, &datatype, &word);
}

}  // namespace kel::typecheck

namespace kel::compiled {

void set_refinement(const kel_value* value, int32_t index, int32_t count) {
    kel_value* r = stack::arguments() + index;
    if (logic::truthy(value)) {
        r->w1 = 1;
        return;
    }
    for (int32_t i = 1; i <= count; ++i) set_none(r + i);
}

signal_code call_with_refinements(int32_t index, bool native, std::initializer_list<refinement_group> groups) {
    refinements refs = refinements::none();
    for (const refinement_group& g : groups) {
        if (g.number < 1 || g.number > static_cast<int32_t>(sizeof(refs.at) / sizeof(refs.at[0])))
            fire(error_category::internal, "not-done");
        if (logic::truthy(g.value)) {
            refs.at[g.number - 1] = g.position;
        } else {
            for (int32_t i = 0; i < g.count; ++i) set_none(stack::arguments() + g.position + i);
        }
    }
    if (native) {
        const natives::native_fn fn = natives::at(index).fn;
        if (!fn) fire(error_category::internal, "not-done");
        return stack::catch_code([&] { return fn(true, refs); });
    }
    const action_fn fn = actions::entry(index);
    if (!fn) fire(error_category::internal, "not-done");
    return fn(refs);
}

signal_code eval_path(bool set, const kel_value* path_in) {
    const kel_value value = *stack::arguments();
    const uint32_t mode = interpreter::walk::constant | (set ? interpreter::walk::set : interpreter::walk::get);
    return interpreter::walk_path(path_in, nullptr, mode, &value);
}

void switch_select(bool push, bool block_mode) {
    const kel_value value = *stack::arguments();
    const kel_value cases = *stack::argument(2);
    kel_value answer;
    set_none(&answer);
    if (type_of(&value) != types::block && in_family(type_of(&cases), family::block_like)) {
        const int32_t n = block::ks_length_q(&cases);
        const int32_t head = series_head(&cases);
        const int32_t step = block_mode ? 1 : 2;
        for (int32_t i = 0; i < n; i += step) {
            const kel_value* c = block::ks_abs_at(&cases, head + i);
            if (type_of(c) != type_of(&value) || !actions::compare_by_op(&value, c, cmp::equal)) continue;
            if (block_mode) {
                for (int32_t k = i + 1; k < n; ++k) {
                    const kel_value* b = block::ks_abs_at(&cases, head + k);
                    if (type_of(b) == types::block) {
                        answer = *b;
                        break;
                    }
                }
            } else {
                answer = *block::ks_abs_at(&cases, head + (i + 1 < n ? i + 1 : i));
            }
            break;
        }
    }
    if (push) stack::push_copy(&answer);
    else stack::set_last(&answer);
}

}  // namespace kel::compiled

namespace kel {
void fire_bad_make_arg(const kel_value* target, const kel_value* value) {
    fire(error_category::script, "bad-make-arg", target, value);
}
}  // namespace kel
