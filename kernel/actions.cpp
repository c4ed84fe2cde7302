// actions: handler lookup, the generic action entries, the explicit-argument
// helpers, comparison and the fast paths of compiled code.
#include "kernel/actions.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "kernel/action_specs.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/series_cursor.h"
#include "kernel/series_memory.h"

namespace kel::actions {

action_fn table[act::count];
port_actor_fn port_actor = nullptr;

namespace {

namespace ar = action_specs;

constexpr int32_t no_limit = 0x7FFFFFFF;

[[noreturn]] void unsupported(uint32_t type, int action) {
    kel_value name, datatype;
    const error_arg caller = stack::innermost_name_arg(&name);
    set_datatype(&datatype, type);
    const char* first = ar::of(action).first_argument;
    fire(error_category::script, "expect-arg", caller, &datatype, error_arg::named(first ? first : "value"));
}

inline bool known_type(uint32_t type) { return type < static_cast<uint32_t>(types::table_rows); }

inline kel_value* ref_arg(const refinements& r, int slot) {
    return r.has(slot) ? stack::arguments() + r.at[slot] : nullptr;
}

// Runs a stack handler; a code that arrives as kel_unwind (a wrapped control
// code, an error on its way to a try mark) is returned from here, as every
// native dispatch does.
inline signal_code run(action_fn fn, const refinements& r) {
    return stack::catch_code([&] { return fn(r); });
}

// The core of every entry: the handler of the first argument's type (for make
// and to, a datatype! stands for the type it names). The row's own slot is
// read inline; a port! (whose actor may answer instead), an unknown type and
// an empty slot go through handler_for_type, which also raises the errors.
signal_code dispatch(int action, const refinements& r) {
    const kel_value* first = stack::arguments();
    uint32_t t = type_of(first);
    if ((action == act::make || action == act::to) && t == types::datatype) t = get_datatype(first);
    action_fn fn = t != types::port && known_type(t) ? registry::handler(t, action) : nullptr;
    if (!fn) [[unlikely]] fn = handler_for_type(t, first, action);
    return run(fn, r);
}

// append, insert and change: a /part series becomes an integer! count
// (`reference`: the argument whose series the /part must lie in).
void settle_part(const refinements& r, int part_slot, int reference) {
    if (!r.has(part_slot)) return;
    kel_value* base = stack::arguments();
    if (type_of(base) == types::port) return;
    kel_value* part = base + r.at[part_slot];
    const uint32_t pt = type_of(part);
    if (pt == types::integer) return;
    if (!in_family(pt, family::series)) fire(error_category::script, "invalid-part", part);
    kel_value* ref = stack::argument(reference);
    if (type_of(ref) != pt || series_node(ref) != series_node(part))
        fire(error_category::script, "invalid-refine-arg", error_arg::named("/part"), part);
    if (pt != types::image) {  // image heads count pixels, not buffer units
        (void)cursor::length_q(ref);
        (void)cursor::length_q(part);
    }
    const int64_t count =
        static_cast<int64_t>(std::max(series_head(part), 0)) - static_cast<int64_t>(std::max(series_head(ref), 0));
    set_integer(part, static_cast<int32_t>(count));
}

form_fn form_handler_of(uint32_t t) {
    form_fn fn = known_type(t) ? registry::form_handler(t) : nullptr;
    if (!fn) unsupported(t, act::form);
    return fn;
}

mold_fn mold_handler_of(uint32_t t) {
    mold_fn fn = known_type(t) ? registry::mold_handler(t) : nullptr;
    if (!fn) unsupported(t, act::mold);
    return fn;
}

// form and mold: the string comes back in the base cell.
signal_code form_or_mold(const refinements& r, bool mold) {
    kel_value* base = stack::arguments();
    const int limit_slot = mold ? static_cast<int>(ar::mold_ref::part) : static_cast<int>(ar::form_ref::part);
    const kel_value* limit = ref_arg(r, limit_slot);
    int32_t budget = no_limit;
    if (limit) {
        budget = cell::get_int_checked(limit);
        if (budget <= 0) {
            text_out::new_buffer(base, 16);
            return signal_code::none;
        }
    }
    const uint32_t t = type_of(base);
    kel_value* buffer = stack::alloc_cell();
    text_out::new_buffer(buffer, 16);
    if (mold) {
        mold_fn fn = mold_handler_of(t);
        (void)fn(base, buffer, r.has(ar::mold_ref::only), r.has(ar::mold_ref::all), r.has(ar::mold_ref::flat), limit,
                 budget, 0);
    } else {
        form_fn fn = form_handler_of(t);
        (void)fn(base, buffer, limit, budget);
    }
    if (limit) {
        memory::buffer_header* h = memory::buffer_of(series_node(buffer));
        if (h->units() > static_cast<uint32_t>(budget)) h->tail = h->head + (static_cast<uint32_t>(budget) << h->shift());
    }
    *base = *buffer;
    stack::regs.top = buffer;
    return signal_code::none;
}

// A call of an action from C++ through a native mark of its own: arguments
// and refinement arguments are pushed in spec order, the result copied out.
struct helper_call {
    kel_value* base;
    refinements refs = refinements::none();

    helper_call() {
        stack::open_native_frame(nullptr);
        base = stack::arguments();
    }
    int32_t offset() const { return static_cast<int32_t>(stack::top() - base); }
    void arg(const kel_value* v) { stack::push_copy(v); }
    void flag(int slot, bool on) {
        if (on) refs.at[slot] = offset();
    }
    void ref(int slot, const kel_value* v) {
        if (!v) return;
        refs.at[slot] = offset();
        stack::push_copy(v);
    }
    // A control code cannot be returned through the helpers' callers: it goes
    // on wrapped (the marks are already unwound to its receiver).
    void call(int action, kel_value* result) {
        const signal_code c = dispatch(action, refs);
        if (c != signal_code::none) stack::throw_code(c);
        const kel_value out = *base;
        stack::close_frame_discard();
        if (result) *result = out;
    }
};

// --- fast path cores -----------------------------------------------------------

int action_of_math(int32_t code) {
    switch (code) {
        case math::add: return act::add;
        case math::subtract: return act::subtract;
        case math::multiply: return act::multiply;
        case math::divide: return act::divide;
        case math::remainder: return act::remainder;
        case math::or_: return act::or_;
        case math::and_: return act::and_;
        case math::xor_: return act::xor_;
        default: fire(error_category::internal, "not-done");
    }
}

// Answers false when the operands need the generic action.
bool inline_math(int32_t code, const kel_value& a, const kel_value& b, kel_value* out) {
    const uint32_t ta = type_of(&a), tb = type_of(&b);
    if (ta == types::integer && tb == types::integer) {
        const int32_t x = get_integer(&a), y = get_integer(&b);
        int32_t r;
        switch (code) {
            case math::add:
                if (__builtin_add_overflow(x, y, &r)) set_float(out, static_cast<double>(x) + static_cast<double>(y));
                else set_integer(out, r);
                return true;
            case math::subtract:
                if (__builtin_sub_overflow(x, y, &r)) set_float(out, static_cast<double>(x) - static_cast<double>(y));
                else set_integer(out, r);
                return true;
            case math::multiply:
                if (__builtin_mul_overflow(x, y, &r)) set_float(out, static_cast<double>(x) * static_cast<double>(y));
                else set_integer(out, r);
                return true;
            case math::or_: set_integer(out, x | y); return true;
            case math::and_: set_integer(out, x & y); return true;
            case math::xor_: set_integer(out, x ^ y); return true;
            default: return false;
        }
    }
    if (ta == types::float_ && tb == types::float_) {
        const double x = get_float(&a), y = get_float(&b);
        switch (code) {
            case math::add: set_float(out, x + y); return true;
            case math::subtract: set_float(out, x - y); return true;
            case math::multiply: set_float(out, x * y); return true;
            default: return false;
        }
    }
    return false;
}

// The generic action on copies of both operands; the result is pushed.
signal_code generic_math(const kel_value* word, int32_t code, const kel_value& a, const kel_value& b) {
    const int action = action_of_math(code);
    stack::open_native_frame(word);
    stack::push_copy(&a);
    stack::push_copy(&b);
    KEL_PROPAGATE(table[action - 1](refinements::none()));
    stack::close_frame();
    return signal_code::none;
}

signal_code math_push(const kel_value* word, int32_t code, const kel_value& a, const kel_value& b) {
    kel_value r;
    if (inline_math(code, a, b, &r)) {
        *stack::alloc_cell() = r;
        return signal_code::none;
    }
    return generic_math(word, code, a, b);
}

signal_code math_last(const kel_value* word, int32_t code, const kel_value& b) {
    kel_value* last = stack::last_cell();
    const kel_value a = *last;
    kel_value r;
    if (inline_math(code, a, b, &r)) {
        *last = r;
        return signal_code::none;
    }
    stack::regs.top = last;  // the result is pushed where the operand was
    return generic_math(word, code, a, b);
}

// Answers false when the operands need the generic comparison.
bool inline_compare(int32_t code, const kel_value& a, const kel_value& b, bool* out) {
    if (type_of(&a) != types::integer || type_of(&b) != types::integer) return false;
    const int32_t x = get_integer(&a), y = get_integer(&b);
    switch (code) {
        case cmp::equal:
        case cmp::strict_equal:
        case cmp::same:
        case cmp::equal10:
        case cmp::equal11:
        case cmp::find: *out = x == y; return true;
        case cmp::not_equal: *out = x != y; return true;
        case cmp::lesser: *out = x < y; return true;
        case cmp::lesser_or_equal: *out = x <= y; return true;
        case cmp::greater: *out = x > y; return true;
        case cmp::greater_or_equal: *out = x >= y; return true;
        default: return false;
    }
}

bool compare_core(const kel_value* word, int32_t code, const kel_value& a, const kel_value& b) {
    bool r;
    if (inline_compare(code, a, b, &r)) return r;
    stack::open_native_frame(word);
    stack::push_copy(&a);
    stack::push_copy(&b);
    compare_arguments(code);
    r = get_logic(stack::arguments());
    stack::close_frame_discard();
    return r;
}

kel_value int_cell(int32_t i) {
    kel_value v;
    set_integer(&v, i);
    return v;
}

int action_of_nav(int32_t code) {
    switch (code) {
        case nav::length_q: return act::length_q;
        case nav::index_q: return act::index_q;
        case nav::head_q: return act::head_q;
        case nav::tail_q: return act::tail_q;
        case nav::next: return act::next;
        case nav::back: return act::back;
        case nav::head: return act::head;
        case nav::tail: return act::tail;
        default: fire(error_category::internal, "not-done");
    }
}

}  // namespace

// --- lookup ------------------------------------------------------------------------

action_fn handler_for_type(uint32_t type, const kel_value* value, int action) {
    if (type == types::port && action >= act::append && port_actor) {
        const port_lookup p = port_actor(value, action);
        if (p.native_actor) {
            if (!p.handler) fire(error_category::access, "no-port-action");
            return p.handler;
        }
    }
    if (known_type(type)) {
        if (action_fn fn = registry::handler(type, action)) return fn;
    }
    unsupported(type, action);
}

action_fn handler_of(const kel_value* value, int action) { return handler_for_type(type_of(value), value, action); }

action_fn handler_of_first(int action) { return handler_of(stack::arguments(), action); }

path_fn lookup_handler(const kel_value* value, const kel_value* path, const kel_value* element,
                       int32_t element_index) {
    const uint32_t t = type_of(value);
    if (known_type(t)) {
        if (path_fn fn = registry::path_handler(t)) return fn;
    }
    kel_value datatype;
    set_datatype(&datatype, t);
    if (!path || !in_family(type_of(path), family::block_like)) fire(error_category::script, "bad-path-type2", element, &datatype);
    // The path up to the element, as a new path of the same type.
    const kel_value p = *path;
    const int32_t length = std::max(static_cast<int32_t>(cursor::units(&p)) - series_head(&p), 0);
    const int32_t n = std::clamp(element_index, 0, length);
    kel_value* cut = stack::push_unset();
    const uint32_t node = memory::new_cells(static_cast<uint32_t>(std::max(n, 1)));
    set_series(cut, type_of(&p), 0, node);
    memory::buffer_header* h = memory::buffer_of(node);
    std::memcpy(h->data(), cursor::buffer(&p)->head_ptr() + static_cast<int64_t>(series_head(&p)) * 16,
                static_cast<size_t>(n) * 16);
    h->tail = h->head + static_cast<uint32_t>(n) * 16;
    fire(error_category::script, "bad-path-type", &p, &datatype, cut);
}

int32_t index_argument(const kel_value* index) {
    switch (type_of(index)) {
        case types::integer: return get_integer(index);
        case types::char_: return static_cast<int32_t>(get_char(index));
        case types::logic: return get_logic(index) ? 1 : 2;
        default: return 0;
    }
}

// --- entries -------------------------------------------------------------------------

// Entries without rules of their own.
#define KEL_PLAIN_ENTRIES(X) \
    X(make, make_star) X(random, random_star) X(reflect, reflect_star) X(to, to_star) \
    X(absolute, absolute_star) X(add, add_star) X(divide, divide_star) X(multiply, multiply_star) \
    X(negate, negate_star) X(power, power_star) X(remainder, remainder_star) X(round, round_star) \
    X(subtract, subtract_star) X(and_, and_star) X(complement, complement_star) X(or_, or_star) \
    X(xor_, xor_star) X(at, at_star) X(back, back_star) X(clear, clear_star) X(find, find_star) \
    X(head, head_star) X(head_q, head_q_star) X(index_q, index_q_star) X(move, move_star) X(next, next_star) \
    X(pick, pick_star) X(poke, poke_star) X(put, put_star) X(remove, remove_star) X(reverse, reverse_star) \
    X(select, select_star) X(sort, sort_star) X(skip, skip_star) X(swap, swap_star) X(tail, tail_star) \
    X(tail_q, tail_q_star) X(take, take_star) X(trim, trim_star) X(create, create_star) X(close, close_star) \
    X(delete_, delete_star) X(modify, modify_star) X(open, open_star) X(open_q, open_q_star) \
    X(query, query_star) X(read, read_star) X(rename, rename_star) X(update, update_star) X(write, write_star)
#define KEL_DEFINE_ENTRY(id, entry) \
    signal_code entry(const refinements& refs) { return dispatch(act::id, refs); }
KEL_PLAIN_ENTRIES(KEL_DEFINE_ENTRY)
#undef KEL_DEFINE_ENTRY

signal_code form_star(const refinements& refs) { return form_or_mold(refs, false); }
signal_code mold_star(const refinements& refs) { return form_or_mold(refs, true); }

signal_code append_star(const refinements& refs) {
    settle_part(refs, ar::append_ref::part, 2);
    return dispatch(act::append, refs);
}

signal_code insert_star(const refinements& refs) {
    settle_part(refs, ar::insert_ref::part, 2);
    return dispatch(act::insert, refs);
}

// The /part range of change counts in the series being changed.
signal_code change_star(const refinements& refs) {
    settle_part(refs, ar::change_ref::part, 1);
    return dispatch(act::change, refs);
}

signal_code copy_star(const refinements& refs) {
    if (const kel_value* kind = ref_arg(refs, ar::copy_ref::types)) {
        const uint32_t t = type_of(kind);
        if (t != types::datatype && t != types::typeset) {
            kel_value name, datatype;
            const error_arg caller = stack::innermost_name_arg(&name);
            set_datatype(&datatype, t);
            fire(error_category::script, "expect-arg", caller, &datatype, error_arg::named("kind"));
        }
    }
    return dispatch(act::copy, refs);
}

signal_code length_q_star(const refinements& refs) {
    KEL_PROPAGATE(dispatch(act::length_q, refs));
    kel_value* base = stack::arguments();
    if (type_of(base) == types::integer && get_integer(base) == -1) set_none(base);
    return signal_code::none;
}

namespace {
signal_code parity(int action, const refinements& refs) {
    KEL_PROPAGATE(dispatch(action, refs));
    kel_value* base = stack::arguments();
    if (type_of(base) == types::integer) set_logic(base, get_integer(base) != 0);
    return signal_code::none;
}
}  // namespace

signal_code even_q_star(const refinements& refs) { return parity(act::even_q, refs); }
signal_code odd_q_star(const refinements& refs) { return parity(act::odd_q, refs); }

signal_code path_step_star(const refinements& refs) {
    kel_value* base = stack::arguments();
    kel_value* result = stack::push_unset();
    path_step_args a{};
    a.parent = base;
    a.element = stack::argument(2);
    a.value_to_set = refs.has(0) ? stack::argument(3) : nullptr;
    a.step = 0;
    a.last = true;
    a.result = result;
    path_fn fn = lookup_handler(base, nullptr, a.element, 1);
    KEL_PROPAGATE(fn(a));
    *base = *result;
    stack::regs.top = result;
    return signal_code::none;
}

signal_code compare_star(const refinements&) {
    compare_arguments(get_integer(stack::argument(3)));
    return signal_code::none;
}

void build_table() {
#define KEL_FILL_ENTRY(id, entry) table[act::id - 1] = entry;
    KEL_ACTION_ENTRIES(KEL_FILL_ENTRY)
#undef KEL_FILL_ENTRY
    table[act::path_step - 1] = path_step_star;
    table[act::unused8 - 1] = nullptr;
    table[act::compare - 1] = compare_star;
}

// --- explicit-argument helpers -------------------------------------------------------------

int32_t form_value(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    return form_handler_of(type_of(value))(value, buffer, arg, part);
}

int32_t mold_value(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
                   int32_t part, int32_t indent) {
    return mold_handler_of(type_of(value))(value, buffer, only, all, flat, arg, part, indent);
}

void copy_value(const kel_value* value, kel_value* result, const kel_value* part, bool deep, const kel_value* types) {
    helper_call c;
    c.arg(value);
    c.ref(ar::copy_ref::part, part);
    c.flag(ar::copy_ref::deep, deep);
    c.ref(ar::copy_ref::types, types);
    c.call(act::copy, result);
}

void find_value(const kel_value* series, const kel_value* value, const find_options& o, kel_value* result) {
    helper_call c;
    c.arg(series);
    c.arg(value);
    c.ref(ar::find_ref::part, o.part);
    c.flag(ar::find_ref::only, o.only);
    c.flag(ar::find_ref::case_, o.case_);
    c.flag(ar::find_ref::same, o.same);
    c.flag(ar::find_ref::any, o.any);
    c.ref(ar::find_ref::with, o.with);
    c.ref(ar::find_ref::skip, o.skip);
    c.flag(ar::find_ref::last, o.last);
    c.flag(ar::find_ref::reverse, o.reverse);
    c.flag(ar::find_ref::tail, o.tail);
    c.flag(ar::find_ref::match, o.match);
    c.call(act::find, result);
}

void poke_value(const kel_value* series, int32_t index, const kel_value* value) {
    const kel_value i = int_cell(index);
    helper_call c;
    c.arg(series);
    c.arg(&i);
    c.arg(value);
    c.call(act::poke, nullptr);
}

void open_value(const kel_value* value, const open_options& o, kel_value* result) {
    helper_call c;
    c.arg(value);
    c.flag(ar::open_ref::new_, o.new_);
    c.flag(ar::open_ref::read, o.read);
    c.flag(ar::open_ref::write, o.write);
    c.flag(ar::open_ref::seek, o.seek);
    c.ref(ar::open_ref::allow, o.allow);
    c.call(act::open, result);
}

signal_code eval_path_value(const path_step_args& step) {
    path_fn fn = lookup_handler(step.parent, step.path, step.element, step.step + 1);
    // A path step dispatches a handler as an action does, and the handler may
    // run language code that cannot return a code (an object's on-change*
    // handler under a set-path): a wrapped code comes back here as the step's
    // code, so the interpreter hands it on to its receiver.
    return stack::catch_code([&] { return fn(step); });
}

// --- comparison ------------------------------------------------------------------------------

bool compare_by_op(const kel_value* value1, const kel_value* value2, int32_t op) {
    const uint32_t t = type_of(value1);
    compare_fn fn = known_type(t) ? registry::compare_handler(t) : nullptr;
    const int32_t r = fn ? fn(value1, value2, op) : cmp::not_comparable;
    if (r == cmp::not_comparable) {
        switch (op) {
            case cmp::lesser:
            case cmp::lesser_or_equal:
            case cmp::greater:
            case cmp::greater_or_equal:
            case cmp::sort:
            case cmp::case_sort: fire(error_category::script, "invalid-compare", value1, value2);
            case cmp::not_equal: return true;
            default: return false;
        }
    }
    switch (op) {
        case cmp::not_equal: return r != 0;
        case cmp::lesser:
        case cmp::sort:
        case cmp::case_sort: return r < 0;
        case cmp::lesser_or_equal: return r <= 0;
        case cmp::greater: return r > 0;
        case cmp::greater_or_equal: return r >= 0;
        default: return r == 0;
    }
}

void compare_arguments(int32_t op) {
    const bool r = compare_by_op(stack::argument(1), stack::argument(2), op);
    set_logic(stack::arguments(), r);
}

int32_t sort_compare(const kel_value* value1, const kel_value* value2, int32_t op) {
    const uint32_t t = type_of(value1);
    const bool same_type = t == type_of(value2);
    auto order = [](uint32_t x, uint32_t y) { return x < y ? -1 : (x > y ? 1 : 0); };
    if (same_type) {
        switch (t) {
            case types::logic: return order(value1->w1 != 0, value2->w1 != 0);
            case types::native:
            case types::action:
            case types::op: return order(value1->w1, value2->w1);
            case types::function:
            case types::routine: return order(value1->w3, value2->w3);
            default: break;
        }
    }
    compare_fn fn = known_type(t) ? registry::compare_handler(t) : nullptr;
    return fn ? fn(value1, value2, op) : cmp::not_comparable;
}

// --- fast paths ----------------------------------------------------------------------------------

signal_code math_op(const kel_value* word, int32_t code, const kel_value* value1, const kel_value* value2) {
    return math_push(word, code, *value1, *value2);
}

signal_code math_op_int(const kel_value* word, int32_t code, const kel_value* value1, int32_t value2) {
    return math_push(word, code, *value1, int_cell(value2));
}

signal_code math_op_last(const kel_value* word, int32_t code, const kel_value* value2) {
    return math_last(word, code, *value2);
}

signal_code math_op_last_int(const kel_value* word, int32_t code, int32_t value2) {
    return math_last(word, code, int_cell(value2));
}

void compare_op(const kel_value* word, int32_t code, const kel_value* value1, const kel_value* value2) {
    const bool r = compare_core(word, code, *value1, *value2);
    set_logic(stack::alloc_cell(), r);
}

void compare_op_int(const kel_value* word, int32_t code, const kel_value* value1, int32_t value2) {
    const bool r = compare_core(word, code, *value1, int_cell(value2));
    set_logic(stack::alloc_cell(), r);
}

void compare_last(const kel_value* word, int32_t code, const kel_value* value2) {
    const kel_value b = *value2;
    kel_value* last = stack::last_cell();
    const bool r = compare_core(word, code, *last, b);
    set_logic(last, r);
}

void compare_last_int(const kel_value* word, int32_t code, int32_t value2) {
    kel_value* last = stack::last_cell();
    const bool r = compare_core(word, code, *last, int_cell(value2));
    set_logic(last, r);
}

bool compare_test(const kel_value* word, int32_t code, const kel_value* value1, const kel_value* value2, bool negate) {
    return compare_core(word, code, *value1, *value2) != negate;
}

bool compare_test_int(const kel_value* word, int32_t code, const kel_value* value1, int32_t value2, bool negate) {
    return compare_core(word, code, *value1, int_cell(value2)) != negate;
}

bool compare_test_set(const kel_value* word, int32_t code, const kel_value* value1, const kel_value* value2,
                      bool negate) {
    const bool r = compare_core(word, code, *value1, *value2) != negate;
    set_logic(stack::arguments(), r);
    return r;
}

signal_code series_nav(const kel_value* word, int32_t code, const kel_value* value) {
    kel_value v = *value;
    const int action = action_of_nav(code);
    if (type_of(&v) == types::block) {
        kel_value out;
        switch (code) {
            case nav::length_q: set_integer(&out, cursor::length_q(&v)); break;
            case nav::index_q: set_integer(&out, cursor::index_q(&v)); break;
            case nav::head_q: set_logic(&out, cursor::head_q(&v)); break;
            case nav::tail_q: set_logic(&out, cursor::tail_q(&v)); break;
            case nav::next: (void)cursor::skip(&v, 1); out = v; break;
            case nav::back: cursor::back(&v); out = v; break;
            case nav::head: cursor::head(&v); out = v; break;
            default: cursor::tail(&v); out = v; break;
        }
        *stack::alloc_cell() = out;
        return signal_code::none;
    }
    stack::open_native_frame(word);
    stack::push_copy(&v);
    KEL_PROPAGATE(table[action - 1](refinements::none()));
    stack::close_frame();
    return signal_code::none;
}

signal_code path_pick(const kel_value* word, const kel_value* series, int32_t index) {
    const kel_value s = *series;
    if (type_of(&s) == types::block) {
        kel_value out;
        const int64_t p = cursor::pick_position(&s, index);
        if (p < 0) set_none(&out);
        else out = reinterpret_cast<const kel_value*>(cursor::buffer(&s)->head_ptr())[p];
        *stack::alloc_cell() = out;
        return signal_code::none;
    }
    const kel_value i = int_cell(index);
    stack::open_native_frame(word);
    stack::push_copy(&s);
    stack::push_copy(&i);
    KEL_PROPAGATE(path_step_star(refinements::none()));
    stack::close_frame();
    return signal_code::none;
}

}  // namespace kel::actions

namespace kel::stats {

namespace {

void add_number(kel_value* block, uint64_t n) {
    kel_value v;
    if (n <= static_cast<uint64_t>(INT32_MAX)) set_integer(&v, static_cast<int32_t>(n));
    else set_float(&v, static_cast<double>(n));
    *memory::claim_tail_cell(block) = v;
}

// Appends a new empty block (marked to mold on a new line) to `parent`;
// answers a copy of its cell.
kel_value new_line_block(kel_value* parent, int32_t capacity) {
    const int32_t index = static_cast<int32_t>(cursor::units(parent));
    (void)memory::claim_tail_cell(parent);
    kel_value fresh;
    set_unset(&fresh);
    const uint32_t node = memory::new_unset_cells(capacity < 0 ? 1u : static_cast<uint32_t>(capacity));
    memory::buffer_of(node)->tail = 0;  // preset cells, none used yet
    set_series(&fresh, types::block, 0, node);
    set_new_line(&fresh, true);
    // Found again by index: the allocation may have moved the parent's buffer.
    reinterpret_cast<kel_value*>(cursor::buffer(parent)->head_ptr())[index] = fresh;
    return fresh;
}

struct frame_figures {
    uint64_t free, used, total;
};

}  // namespace

double memory(kel_value* block, int32_t level) {
    if (level < 1) return 0;
    const memory::memory_root& root = memory::root;
    // The figures are taken first: appending to the block may add frames.
    std::vector<frame_figures> nodes, series;
    std::vector<uint64_t> bigs;
    for (uint32_t i = 0; i < root.node_frame_count; ++i) {
        const memory::node_frame& f = root.node_frames[i];
        nodes.push_back({f.count - f.used, f.used, f.count});
    }
    for (const memory::series_frame* f = root.series_frames; f; f = f->next)
        series.push_back({static_cast<uint64_t>(f->end - f->free), static_cast<uint64_t>(f->free - f->start),
                          static_cast<uint64_t>(f->end - f->start)});
    for (const memory::big_frame* b = root.big_frames; b; b = b->next) bigs.push_back(b->size);

    double total = 0;
    for (const frame_figures& f : nodes) total += 4.0 * static_cast<double>(f.used);
    for (const frame_figures& f : series) total += static_cast<double>(f.used);
    for (uint64_t s : bigs) total += static_cast<double>(s);
    if (level < 2) return total;

    auto add_frames = [&](const std::vector<frame_figures>& figures) {
        kel_value list = new_line_block(block, static_cast<int32_t>(figures.size()));
        for (const frame_figures& f : figures) {
            kel_value one = new_line_block(&list, 3);
            add_number(&one, f.free);
            add_number(&one, f.used);
            add_number(&one, f.total);
        }
    };
    add_frames(nodes);
    add_frames(series);
    kel_value sizes = new_line_block(block, static_cast<int32_t>(bigs.size()));
    for (uint64_t s : bigs) add_number(&sizes, s);
    return total;
}

}  // namespace kel::stats
