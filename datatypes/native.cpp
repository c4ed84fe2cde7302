// native: the native!, action! and op! rows.
#include "datatypes/native.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/symbol.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"

namespace kel::native {

table_maker maker;

namespace {

inline uint32_t target_of(const kel_value* v) {
    return type_of(v) == types::datatype ? get_datatype(v) : type_of(v);
}

kel_value spec_block(const kel_value* v) {
    kel_value s;
    set_series(&s, types::block, 0, v->w2);
    return s;
}

[[noreturn]] void bad_make_arg(uint32_t target, const kel_value* spec) {
    kel_value t;
    set_datatype(&t, target);
    fire(error_category::script, "bad-make-arg", &t, spec);
}

// make native! / make action!: [spec-block number].
void make_table_value(uint32_t target, const kel_value* arg, kel_value* result) {
    const kel_value a = *arg;
    if (!maker.make_value) fire(error_category::internal, "not-done");
    const int32_t limit = target == types::native ? maker.native_count : act::count;
    if (type_of(&a) != types::block || block::ks_length_q(&a) != 2) bad_make_arg(target, &a);
    const kel_value spec = *block::ks_abs_at(&a, series_head(&a));
    const kel_value number = *block::ks_abs_at(&a, series_head(&a) + 1);
    if (type_of(&spec) != types::block || type_of(&number) != types::integer) bad_make_arg(target, &a);
    const int32_t n = get_integer(&number);
    if (n < 1 || n > limit) bad_make_arg(target, &a);
    maker.make_value(target, &spec, n, result);
}

int32_t append(kel_value* buffer, const char* text, int32_t length, int32_t part) {
    text_out::append(buffer, text, static_cast<size_t>(length));
    return part - length;
}

signal_code a_make(const refinements&) {
    const uint32_t target = target_of(stack::arguments());
    const kel_value arg = *stack::argument(2);
    kel_value* out = stack::push_unset();
    if (target == types::op) make_op(&arg, out);
    else make_table_value(target, &arg, out);
    *stack::arguments() = *out;
    stack::rewind_to_result();
    return signal_code::none;
}

int32_t native_form(const kel_value*, kel_value* b, const kel_value*, int32_t part) {
    return append(b, "?native?", 8, part);
}
int32_t action_form(const kel_value*, kel_value* b, const kel_value*, int32_t part) {
    return append(b, "?action?", 8, part);
}
int32_t op_form(const kel_value*, kel_value* b, const kel_value*, int32_t part) { return append(b, "?op?", 4, part); }

// The mold flags reach the spec block as they came, /only included: under
// /only the spec's own brackets go too, as they do for a routine's spec.
int32_t mold_table_value(const char* prefix, const kel_value* value, kel_value* b, bool only, bool all, bool flat,
                         const kel_value* arg, int32_t part, int32_t indent) {
    part = append(b, prefix, 14, part);
    const kel_value spec = spec_block(value);
    part = actions::mold_value(&spec, b, only, all, flat, arg, part, indent);
    return append(b, "]", 1, part);
}

int32_t native_mold(const kel_value* v, kel_value* b, bool only, bool all, bool flat, const kel_value* arg,
                    int32_t part, int32_t indent) {
    return mold_table_value("make native! [", v, b, only, all, flat, arg, part, indent);
}
int32_t action_mold(const kel_value* v, kel_value* b, bool only, bool all, bool flat, const kel_value* arg,
                    int32_t part, int32_t indent) {
    return mold_table_value("make action! [", v, b, only, all, flat, arg, part, indent);
}

int32_t op_mold(const kel_value* value, kel_value* b, bool, bool all, bool flat, const kel_value* arg, int32_t part,
                int32_t indent) {
    const kel_value op = *value;
    part = append(b, "make op! ", 9, part);
    // The mark only names the work on the stack; closing it goes back to the
    // top as it was here, never to the caller's base: the mold buffer, and
    // whatever the caller keeps above its base, lie below.
    kel_value* const top = stack::top();
    stack::open_native_frame(&words::_anon);
    const kel_value spec = spec_block(&op);
    if (wrapped_type(&op) == types::function) {
        part = append(b, "func ", 5, part);
        part = actions::mold_value(&spec, b, false, all, flat, arg, part, indent);
        const kel_value body = *function::more_cell(&op, function::more::body);
        if (type_of(&body) == types::block) part = actions::mold_value(&body, b, false, all, flat, arg, part, indent);
    } else {
        part = append(b, "[", 1, part);
        part = actions::mold_value(&spec, b, false, all, flat, arg, part, indent);
        part = append(b, "]", 1, part);
    }
    stack::close_frame();
    stack::regs.top = top;
    return part;
}

}  // namespace

bool op_spec_q(const kel_value* spec_in) {
    const kel_value spec = *spec_in;
    const int32_t n = block::ks_length_q(&spec);
    const uint32_t local = symbol::resolve(word_symbol(&words::ref_local));
    const uint32_t external = symbol::resolve(word_symbol(&words::ref_extern));
    int32_t count = 0;
    bool seen_word = false;
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* c = block::ks_abs_at(&spec, series_head(&spec) + i);
        const uint32_t t = type_of(c);
        if (t == types::word) {
            seen_word = true;
            ++count;
        } else if (t == types::lit_word || t == types::get_word) {
            if (!seen_word) return false;
            ++count;
        } else if (t == types::string || t == types::block) {
            continue;
        } else if (t == types::set_word) {
            break;
        } else if (t == types::refinement) {
            const uint32_t s = symbol::resolve(word_symbol(c));
            if (s == local || s == external) break;
            return false;
        } else {
            return false;
        }
    }
    return count == 2;
}

void make_op(const kel_value* value_in, kel_value* result) {
    const kel_value value = *value_in;
    const uint32_t t = type_of(&value);
    if (t != types::native && t != types::action && t != types::function && t != types::routine) {
        kel_value datatype;
        set_datatype(&datatype, t);
        fire(error_category::script, "invalid-type", &datatype);
    }
    const kel_value spec = spec_block(&value);
    if (!op_spec_q(&spec)) fire(error_category::script, "bad-op-spec");
    if (t == types::function || t == types::routine) *function::more_cell(&value, function::more::op) = value;
    kel_value op = value;
    op.header = op_header(t);
    *result = op;
}

signal_code make(const refinements& refs) { return a_make(refs); }

signal_code reflect(const refinements&) {
    const kel_value v = *stack::arguments();
    const kel_value field = *stack::argument(2);
    const uint32_t f = in_family(type_of(&field), family::word) ? symbol::resolve(word_symbol(&field)) : 0;
    kel_value* base = stack::arguments();
    const uint32_t t = type_of(&v) == types::op ? wrapped_type(&v) : type_of(&v);
    if (f == symbol::resolve(words::spec)) {
        // A deep copy: calls read the table's spec, which a script must not change.
        *base = spec_block(&v);
        actions::copy_value(base, base, nullptr, true, nullptr);
    } else if (f == symbol::resolve(words::body)) {
        if (t == types::function || t == types::routine) *base = *function::more_cell(&v, function::more::body);
        else set_integer(base, static_cast<int32_t>(v.w1));
    } else {
        fire(error_category::internal, "not-done");
    }
    stack::rewind_to_result();
    return signal_code::none;
}

// Natives, actions and operators order by their table number.
int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    return function::compare_identity(value, other, op, 1);
}

registry::registration native_row() {
    registry::registration r;
    r.id = types::native;
    r.hash = hashtable::hash_by::w3;
    r.marker = kel::collector::cell_markers::native;
    r.families = family::function;
    r.parent = 0;
    r.name = "native!";
    r[act::make] = make;
    r[act::reflect] = reflect;
    r[act::form] = native_form;
    r[act::mold] = native_mold;
    r[act::compare] = compare;
    return r;
}

registry::registration action_row() {
    registry::registration r;
    r.id = types::action;
    r.hash = hashtable::hash_by::w3;
    r.marker = kel::collector::cell_markers::native;
    r.families = family::function;
    r.parent = types::native;
    r.name = "action!";
    r[act::make] = make;
    r[act::reflect] = registry::entry::inherit();
    r[act::form] = action_form;
    r[act::mold] = action_mold;
    r[act::compare] = compare;
    return r;
}

registry::registration op_row() {
    registry::registration r;
    r.id = types::op;
    r.hash = hashtable::hash_by::words_1_3;
    r.marker = kel::collector::cell_markers::native;
    r.families = family::function;
    r.parent = types::native;
    r.name = "op!";
    r[act::make] = make;
    r[act::reflect] = registry::entry::inherit();
    r[act::form] = op_form;
    r[act::mold] = op_mold;
    r[act::compare] = compare;
    return r;
}

}  // namespace kel::native
