// object_actions: the object! datatype's row (id 32, no parent): make,
// reflect, form, mold, path step, compare, copy, put, select and modify.
// error! and port! take the inherited slots from here.
#include <algorithm>

#include "datatypes/block.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "kernel/action_specs.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"

namespace kel::object {

kel_value* push_body(uint32_t ctx) {
    const int32_t n = _context::length(ctx);
    kel_value* out = block::push_only_star(2 * n);
    for (int32_t i = 0; i < n; ++i) {
        kel_value w = *word_at(ctx, i);
        w.header = types::set_word | header_new_line;
        w.w1 = ctx;
        w.w3 = static_cast<uint32_t>(i);
        block::ks_add(out, &w);
        kel_value v = _context::values(ctx)[i];
        if (type_of(&v) == types::word) set_type(&v, types::lit_word);
        else if (type_of(&v) == types::path) set_type(&v, types::lit_path);
        block::ks_add(out, &v);
    }
    return out;
}

namespace {

namespace ar = action_specs;

constexpr uint32_t owner_bit = 0x10000u;  // on the context! cell of an owner object

inline kel_value* arg(int n) { return stack::argument(n); }
inline const kel_value* ref_arg(const refinements& r, int slot) {
    return r.has(slot) ? stack::arguments() + r.at[slot] : nullptr;
}
inline bool is_symbol(const kel_value* word, uint32_t slot) {
    return symbol::resolve(word_symbol(word)) == symbol::resolve(slot);
}

// Leaves `result` (a pushed cell) as the action's answer.
signal_code answer(const kel_value* result) {
    stack::set_last_only(result);
    return signal_code::none;
}

// A new block (pushed) of the object's words that pass `keep`, as word!
// cells bound to the object.
template <class Keep>
kel_value* words_block(uint32_t ctx, Keep keep) {
    const int32_t n = _context::length(ctx);
    kel_value* out = block::push_only_star(n);
    for (int32_t i = 0; i < n; ++i) {
        kel_value w = *word_at(ctx, i);
        if (!keep(w)) continue;
        w.header = types::word;
        w.w1 = ctx;
        w.w3 = static_cast<uint32_t>(i);
        block::ks_add(out, &w);
    }
    return out;
}

signal_code a_make(const refinements&) {
    kel_value* result = stack::push_unset();
    KEL_PROPAGATE(make(result, arg(1), arg(2)));
    return answer(result);
}

signal_code a_reflect(const refinements&) {
    const kel_value o = *arg(1);
    const kel_value* field = arg(2);
    const uint32_t ctx = o.w1;
    kel_value r;
    if (is_symbol(field, words::changed)) {
        return answer(words_block(ctx, [](const kel_value& w) { return (w.header & header_changed) != 0; }));
    }
    if (is_symbol(field, words::class_)) {
        set_integer(&r, static_cast<int32_t>(o.w2));
        return answer(&r);
    }
    if (is_symbol(field, words::words)) return answer(words_block(ctx, [](const kel_value&) { return true; }));
    if (is_symbol(field, words::values)) {
        kel_value values;
        set_series(&values, types::block, 0, _context::cell(ctx)->w2);
        return answer(block::duplicate(&values, false, false));
    }
    if (is_symbol(field, words::body)) return answer(push_body(ctx));
    if (is_symbol(field, words::owner)) {
        set_logic(&r, (_context::cell(ctx)->header & owner_bit) != 0);
        return answer(&r);
    }
    if (is_symbol(field, words::events_q)) {
        set_logic(&r, o.w3 != 0);
        return answer(&r);
    }
    fire(error_category::internal, "not-done");
}

int32_t f_form(const kel_value* value, kel_value* buffer, const kel_value* a, int32_t part) {
    if (cycles::find_q(value->w1)) return part;
    return mold_fields(value, buffer, false, false, false, a, part, false, 0, false);
}

int32_t f_mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* a,
               int32_t part, int32_t indent) {
    // By the context node, so port! values (which take this handler) are
    // guarded too.
    if (cycles::find_q(value->w1)) {
        text_out::append(buffer, "make object! [...]");
        return part - 18;
    }
    if (!only) {
        text_out::append(buffer, "make object! [");
        part -= 14;
    }
    part = mold_fields(value, buffer, only, all, flat, a, part, true, indent + 1, true);
    // An object without words closes on the same line.
    if (!flat && indent > 0 && word_count(value) > 0) part = mold::indent(buffer, indent, part);
    if (only) return part;
    text_out::append(buffer, "]");
    return part - 1;
}

signal_code a_copy(const refinements& r) {
    if (const kel_value* part = ref_arg(r, ar::copy_ref::part))
        fire(error_category::script, "invalid-refine-arg", error_arg::named("part"), part);
    kel_value* result = stack::push_unset();
    duplicate(arg(1), result, r.has(ar::copy_ref::deep), ref_arg(r, ar::copy_ref::types), true);
    return answer(result);
}

signal_code a_select(const refinements&) {
    const kel_value* key = arg(2);
    if (!in_family(type_of(key), family::word)) {
        kel_value datatype;
        set_datatype(&datatype, type_of(key));
        fire(error_category::script, "invalid-type", &datatype);
    }
    const kel_value v = *value_of_word(arg(1), key);
    return answer(&v);
}

signal_code a_put(const refinements&) {
    kel_value* key = arg(2);
    if (type_of(key) != types::word) {
        kel_value datatype;
        set_datatype(&datatype, type_of(key));
        fire(error_category::script, "invalid-key-type", &datatype);
    }
    kel_value* result = stack::push_unset();
    path_step_args s{};
    s.parent = arg(1);
    s.element = key;
    s.value_to_set = arg(3);
    s.last = true;
    s.result = result;
    KEL_PROPAGATE(eval_path(s));
    return answer(result);
}

signal_code a_modify(const refinements&) {
    kel_value* o = arg(1);
    const kel_value* field = arg(2);
    const kel_value value = *arg(3);
    if (is_symbol(field, words::changed)) {
        if (!none_q(&value)) fire(error_category::script, "invalid-arg", &value);
        clear_changed(o->w1);
    } else if (is_symbol(field, words::owner)) {
        if (hooks.bind_object) hooks.bind_object(o, o, none::value);
    } else if (is_symbol(field, words::owned)) {
        if (none_q(&value)) {
            if (hooks.unbind) hooks.unbind(o);
        } else {
            // As for an owned series: only an object can be told of changes,
            // under a word; anything else would be called as an owner later.
            if (type_of(&value) != types::block || block::ks_length_q(&value) < 2)
                fire(error_category::script, "invalid-arg", &value);
            const kel_value owner = *block::ks_abs_at(&value, series_head(&value));
            const kel_value word = *block::ks_abs_at(&value, series_head(&value) + 1);
            if (type_of(&owner) != types::object) fire(error_category::script, "invalid-arg", &owner);
            if (!in_family(type_of(&word), family::word)) fire(error_category::script, "invalid-arg", &word);
            if (hooks.bind) hooks.bind(o, &owner, &word);
        }
    }
    return answer(&value);
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::object;
    r.hash = hashtable::hash_by::w1;
    r.marker = kel::collector::cell_markers::object;
    r.families = family::object;
    r.parent = 0;
    r.name = "object!";
    r[act::make] = a_make;
    r[act::reflect] = a_reflect;
    r[act::form] = f_form;
    r[act::mold] = f_mold;
    r[act::path_step] = eval_path;
    r[act::compare] = compare;
    r[act::copy] = a_copy;
    r[act::put] = a_put;
    r[act::select] = a_select;
    r[act::modify] = a_modify;
    return r;
}

}  // namespace kel::object
