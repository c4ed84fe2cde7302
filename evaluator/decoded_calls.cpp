// decoded_calls: calls decoded once at their position. A word naming a
// function-like value whose arguments all come before its refinements (at
// most 16, left off in such a call) is decoded once at its position: the
// value as the guard, its argument cache, arity and argument classes. While
// the word still holds the same value bit for bit, the call runs without
// re-reading the spec's cache entry by entry; anything else is the generic
// invoke_value. Paths of plain words naming a call and its refinements are
// decoded the same way, for the frame loop.
#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {


namespace {

// The control natives the evaluator runs itself from a decoded call: the
// conditionals evaluate their branch here, the loops and the multi-way
// conditionals run the natives' own bodies, called directly (one body of code
// for both ways in, so marks, placeholders, type checks and errors are the
// natives' by construction). apply, `do` of a native value and calls through
// paths take the native table.
uint8_t control_of(const kel_value& fn) {
    if (type_of(&fn) != types::native) return 0;
    switch (static_cast<int32_t>(fn.w1)) {
        case natives::number::if_:
        case natives::number::unless:
        case natives::number::either:
        case natives::number::any:
        case natives::number::all:
        case natives::number::while_:
        case natives::number::until:
        case natives::number::loop:
        case natives::number::repeat:
        case natives::number::foreach:
        case natives::number::switch_:
        case natives::number::case_: return static_cast<uint8_t>(fn.w1);
        default: return 0;
    }
}
}  // namespace

// With the native's mark open and its arguments at the base.
signal_code run_control(uint8_t id) {
    const refinements none = refinements::none();
    switch (id) {
        case natives::number::if_:
        case natives::number::unless: {
            if (logic::falsy(stack::argument(1)) == (id == natives::number::if_)) {
                set_none(stack::arguments());
                return signal_code::none;
            }
            const kel_value branch = *stack::argument(2);
            return eval_in_place(&branch, true);
        }
        case natives::number::either: {
            const kel_value* condition = stack::argument(1);
            KEL_PROPAGATE(logic::condition_code(condition));
            const kel_value branch = logic::truthy(condition) ? *stack::argument(2) : *stack::argument(3);
            return eval_in_place(&branch, true);
        }
        case natives::number::any: return natives::any_star(false, none);
        case natives::number::all: return natives::all_star(false, none);
        case natives::number::while_: return natives::while_star(false, none);
        case natives::number::until: return natives::until_star(false, none);
        case natives::number::loop: return natives::loop_star(false, none);
        case natives::number::repeat: return natives::repeat_star(false, none);
        case natives::number::foreach: return natives::foreach_star(false, none);
        case natives::number::switch_: return natives::switch_star(false, none);
        case natives::number::case_: return natives::case_star(false, none);
        default: fire(error_category::internal, "not-done");
    }
}

// Fills the term from the function value; leaves it undecoded while the
// function's argument cache is not built yet (building allocates: the
// generic call does it).
void decode_call(decode::term* t, const kel_value& fn) {
    const uint32_t type = type_of(&fn);
    const kel_value* cached = cells_of(fn.w3) + function::more::cache;
    if (type_of(cached) != types::block) return;
    t->k = decode::kind::other;
    if (type != types::function && !called_through_table(type)) return;
    if (type == types::native && !natives::at(static_cast<int32_t>(fn.w1)).fn) return;
    if (type == types::action && !actions::entry(static_cast<int32_t>(fn.w1))) return;
    const uint32_t cache = series_node(cached);
    const kel_value* e = cells_of(cache);
    const int32_t n = tail_index(cache);
    int32_t args = 0, locals = 0;
    uint32_t classes = 0;
    bool gap = false, rest = false;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t t_e = type_of(e + i);
        if (t_e == types::typeset) {
            if (rest) continue;  // a refinement's argument
            const uint32_t cls = e[i].header & class_mask;
            if (cls == class_return) { gap = true; continue; }
            if (gap || args >= 16) return;
            classes |= (cls >> 20) << (2 * args);
            ++args;
        } else if (t_e == types::refinement) {
            if (type != types::function) break;  // a native keeps no cells for refinements
            // A function's frame holds them (off) after its arguments: laid
            // out by the loop once the arguments are in.
            rest = true;
        } else if (t_e == types::integer) {
            locals = get_integer(e + i);
        }
    }
    if (args > 0x7FFF || locals > 0x7FFF || locals < 0) return;
    if (rest && classes != 0) return;  // quoted arguments before refinements: the generic fetch
    t->guard = fn;
    t->cache = cache;
    t->args = static_cast<int16_t>(args);
    t->plain = static_cast<uint8_t>(args);
    t->rest = rest;
    t->classes = classes;
    t->locals = static_cast<int16_t>(type == types::function ? locals : 0);
    t->control = control_of(fn);
    t->k = decode::kind::call;
}

// A path of plain words after its head naming a function!, native! or
// action!: decoded as its call (decode_call) with the refinements the path
// names, each at most once (anything else, a get-word or a refinement named
// twice or not at all, is the generic walk and its errors; so are the control
// natives, which the loop runs without refinements).
void decode_path_call(decode::term* t, const kel_value& fn, const kel_value* elements, int32_t count,
                      uint32_t stamp) {
    decode_call(t, fn);
    if (t->k != decode::kind::call) return;
    t->k = decode::kind::other;
    if (t->control != 0 || t->classes != 0 || count - 1 > 4) return;
    const kel_value* e = cells_of(t->cache);
    const int32_t n = tail_index(t->cache);
    int32_t args = t->args;
    for (int32_t j = 1; j < count; ++j) {
        const kel_value* element = elements + j;
        if (type_of(element) != types::word) return;
        int32_t index = -1;
        for (int32_t i = 0; i < n && index < 0; ++i)
            if (type_of(e + i) == types::refinement && word_symbol(e + i) == word_symbol(element)) index = i;
        const uint32_t s = symbol::resolve(word_symbol(element));
        for (int32_t i = 0; i < n && index < 0; ++i)
            if (type_of(e + i) == types::refinement && symbol::resolve(word_symbol(e + i)) == s) index = i;
        if (index < 0 || index > 0xFF) return;
        if (type_of(&fn) != types::function && (e[index].w3 < 1 || e[index].w3 > 12)) return;
        for (int32_t r = 0; r < j - 1; ++r)
            if (t->refs[r] == index) return;
        t->refs[j - 1] = static_cast<uint8_t>(index);
        for (int32_t i = index + 1; i < n && type_of(e + i) == types::typeset; ++i)
            if ((e[i].header & class_mask) != class_return) ++args;
    }
    if (args > 0x7FFF) return;
    t->named = static_cast<uint8_t>(count - 1);
    t->args = static_cast<int16_t>(args);
    t->path_stamp = stamp;
    t->k = decode::kind::path_call;
}

// A function's refinement cells, all off, pushed after its arguments: false
// for each refinement, none for each of their arguments.
[[gnu::noinline]] void push_refinement_cells(uint32_t cache) {
    const int32_t n = tail_index(cache);
    bool rest = false;
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* e = cells_of(cache) + i;
        const uint32_t t = type_of(e);
        if (t == types::refinement) {
            rest = true;
            set_logic(stack::alloc_cell(), false);
        } else if (rest && t == types::typeset && (e->header & class_mask) != class_return) {
            set_none(stack::alloc_cell());
        }
    }
}

// The cache index of a path call's refinement argument j (counted from the
// first after the plain ones, in the order they are fetched) and, for a
// function, its frame cell (from the arguments base).
int32_t refinement_argument(const decode::term& t, int32_t j, int32_t* cell) {
    const kel_value* e = cells_of(t.cache);
    const int32_t n = tail_index(t.cache);
    for (int32_t r = 0; r < t.named; ++r) {
        const int32_t index = t.refs[r];
        int32_t offset = static_cast<int32_t>(e[index].w3) + 1;
        for (int32_t i = index + 1; i < n && type_of(e + i) == types::typeset; ++i) {
            if ((e[i].header & class_mask) == class_return) continue;
            if (j == 0) {
                *cell = offset;
                return i;
            }
            --j;
            ++offset;
        }
    }
    fire(error_category::internal, "not-done");
}

// The refinements a native's or action's path call switches on: each at the
// offset of its first argument, as the generic fetch records them.
refinements path_refinements_of(const decode::term& t) {
    refinements refs = refinements::none();
    const kel_value* e = cells_of(t.cache);
    const int32_t n = tail_index(t.cache);
    int32_t offset = t.plain;
    for (int32_t r = 0; r < t.named; ++r) {
        const int32_t index = t.refs[r];
        const int32_t slot = static_cast<int32_t>(e[index].w3) - 1;
        if (slot >= 0 && slot < 12) refs.at[slot] = offset;
        for (int32_t i = index + 1; i < n && type_of(e + i) == types::typeset; ++i)
            if ((e[i].header & class_mask) != class_return) ++offset;
    }
    return refs;
}

// The arguments of a decoded call some of which are get-words or literal.
[[gnu::noinline]] signal_code fetch_classed(call& k, const decode::term& t) {
    for (int32_t i = 0; i < t.args; ++i) {
        const uint32_t cls = ((t.classes >> (2 * i)) & 3u) << 20;
        // A literal argument missing at the end is unset! when its type allows.
        if (cls == class_lit && at_end(k) && typeset_has(cache_cells(k) + i, types::unset)) [[unlikely]] {
            set_unset(stack::alloc_cell());
            continue;
        }
        KEL_PROPAGATE(fetch_one_inline(k, cls, i));
        KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
    }
    return signal_code::none;
}

namespace {

signal_code invoke_decoded(const decode::term& t, code_position& c, const kel_value* name) {
    call k;
    k.fn = t.guard;
    k.type = type_of(&k.fn);
    k.natives_like = called_through_table(k.type);
    k.c = &c;
    k.path = nullptr;
    k.mode = mode::plain;
    k.infix = false;
    k.right_ready = false;
    k.name_in = name;
    k.name = *name;
    k.open_pos = c.pos;
    k.cache = t.cache;
    kel_value* const placeholder = stack::push_copy(&k.fn);
    if (k.type == types::function) {
        const uint32_t ctx = k.fn.w1;
        stack::call_mark* m = stack::open_frame(&k.name, call_kind(c.library));
        m->function_context = ctx;
        const kel_value* context_cell = cells_of(ctx);
        if (context_cell->header & header_context_stack) m->saved_values = context_cell->w2 - 1u;
    } else {
        stack::open_frame(&k.name, native_kind(c.library));
    }
    k.base = stack::arguments();
    if (k.natives_like) k.refs = refinements::none();
    if (t.classes == 0) [[likely]] {
        for (int32_t i = 0; i < t.args; ++i) {
            KEL_PROPAGATE(fetch_one_inline(k, 0, i));
            KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
        }
    } else {
        KEL_PROPAGATE(fetch_classed(k, t));
    }
    if (t.rest) push_refinement_cells(t.cache);
    if (traced(&c)) [[unlikely]] {
        const kel_value site = site_of(k);
        notify_tracer(event::call, &c.block, c.pos, &site, &k.fn);
    }
    const int32_t number = static_cast<int32_t>(k.fn.w1);
    if (k.type == types::function) {
        if (t.locals > 0) function::push_unused_refinement(t.locals);
        KEL_PROPAGATE(call_function_body(&k.fn, 0, &k.name, 0));
    } else if (k.type == types::action) {
        KEL_PROPAGATE(actions::entry(number)(k.refs));
    } else if (t.control) {
        const uint8_t id = t.control;
        KEL_PROPAGATE(stack::catch_code([id] { return run_control(id); }));
    } else {
        const natives::native_fn entry = natives::at(number).fn;
        const refinements& refs = k.refs;
        KEL_PROPAGATE(stack::catch_code([&] { return entry(false, refs); }));
    }
    stack::close_frame();
    if (traced(&c)) [[unlikely]] notify_tracer(event::return_, &c.block, c.pos, &k.name, stack::top() - 1);
    *placeholder = *(placeholder + 1);
    stack::regs.top = placeholder + 1;
    return signal_code::none;
}
}  // namespace

// The word before c.pos names fn.
signal_code invoke_word(const kel_value& fn, code_position& c, const kel_value* name) {
    const int32_t at = c.pos - 1;
    const uint32_t node = series_node(&c.block);
    decode::block_decode* d = decode::entry_for(node, header_of(node));
    decode::term* t = decode::term_at(d, at);
    if (t && !decode::current(d, t)) {
        *t = decode::term{};
        t->generation = d->generation;
        decode_call(t, fn);
    }
    if (!t || t->k != decode::kind::call || !same_bits(t->guard, fn))
        return invoke_value(&fn, &c, true, nullptr, name, &fn, mode::plain, false);
    const decode::term copy = *t;  // the table may change while the call runs
    return invoke_decoded(copy, c, name);
}

// The elements of a path that may name a call with refinements: two or
// more from its position, the first a word. Null otherwise.
const kel_value* call_path_elements(const kel_value& path, int32_t* count, memory::buffer_header** ph) {
    *ph = header_of(series_node(&path));
    const int32_t head = series_head(&path);
    *count = static_cast<int32_t>((*ph)->used() / 16) - head;
    if (head < 0 || *count < 2) return nullptr;
    const kel_value* elements = reinterpret_cast<const kel_value*>((*ph)->head_ptr()) + head;
    return type_of(elements) == types::word ? elements : nullptr;
}

// The decoded call of the path at `at` (its head word into *name), or null.
[[gnu::noinline]] const decode::term* decoded_path_call(code_position& c, memory::buffer_header* h, int32_t at,
                                                        const kel_value& path, kel_value* name) {
    memory::buffer_header* ph;
    int32_t count;
    const kel_value* elements = call_path_elements(path, &count, &ph);
    if (!elements) return nullptr;
    const kel_value* value = fast_slot(elements);
    if (!value || !(type_of(value) == types::function || called_through_table(type_of(value)))) return nullptr;
    decode::block_decode* d = decode::entry_for(series_node(&c.block), h);
    decode::term* t = decode::term_at(d, at);
    if (t && !decode::current(d, t)) {
        // The argument cache is built by the first call, the generic one.
        if (type_of(cells_of(value->w3) + function::more::cache) != types::block) return nullptr;
        *t = decode::term{};
        t->generation = d->generation;
        decode_path_call(t, *value, elements, count, memory::stamp_of(ph));
    }
    if (!t || t->k != decode::kind::path_call || !same_bits(t->guard, *value) ||
        t->path_stamp != memory::stamp_of(ph))
        return nullptr;
    *name = elements[0];
    return t;
}

}  // namespace kel::interpreter
