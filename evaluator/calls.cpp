// calls: the generic call. The argument cache built from a function's spec,
// the frame of a call made from C++ (push_fixed_frame), the fetch of every
// kind of argument, refinement and apply mode (fetch_arguments), and
// invoke_value, which every other tier falls back to.
#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

namespace {

// The spec a value's calls are checked against: a native's or action's table
// spec when the table has one, else the value's own.
kel_value call_spec(const kel_value* fn) {
    const uint32_t t = type_of(fn);
    const int32_t number = static_cast<int32_t>(fn->w1);
    const kel_value* table_spec = t == types::native   ? natives::native_spec(number)
                                  : t == types::action ? natives::action_spec(number)
                                                       : nullptr;
    return table_spec ? *table_spec : function::spec_of(fn);
}

// The entries of a spec, in order, as the cache holds them: each call of
// `entry` gets the entry's kind (word type, set-word for `return:`,
// refinement), the spec cell's index, and the index of its type block (-1).
// The walk stops at /local and answers the /local count (0 without one, -1
// when there is no /local at all).
template <class F>
int32_t walk_spec(const kel_value& spec, F entry) {
    const uint32_t node = series_node(&spec);
    const uint32_t local = symbol::resolve(word_symbol(&words::ref_local));
    int32_t i = std::max(series_head(&spec), 0);
    if (i < tail_index(node) && type_of(cells_of(node) + i) == types::block) ++i;  // the attribute block
    for (; i < tail_index(node); ++i) {
        const kel_value c = *(cells_of(node) + i);
        const uint32_t t = type_of(&c);
        const bool typed = i + 1 < tail_index(node) && type_of(cells_of(node) + i + 1) == types::block;
        if (in_family(t, family::word)) {
            entry(t, i, typed ? i + 1 : -1);
            if (typed) ++i;
        } else if (t == types::refinement) {
            if (symbol::resolve(word_symbol(&c)) == local) return function::count_locals(node, i, false);
            entry(t, i, -1);
        }
    }
    return -1;
}

// Builds the cache from the spec and stores it in auxiliary cell 1.
kel_value build_cache(const kel_value* fn_in) {
    const kel_value fn = *fn_in;
    const bool natives_like = called_through_table(type_of(&fn));
    const kel_value spec = call_spec(&fn);
    kel_value* held_spec = stack::push_copy(&spec);
    kel_value* cache = block::push_only_star(std::max(block::ks_length_q(&spec), 0) + 1);
    int32_t slot = 0, frame = 0;
    const int32_t locals = walk_spec(*held_spec, [&](uint32_t t, int32_t i, int32_t types_at) {
        const kel_value c = *(cells_of(series_node(held_spec)) + i);
        if (t == types::refinement) {
            kel_value r = c;
            clear_new_line(&r);
            r.w3 = static_cast<uint32_t>(natives_like ? ++slot : frame);
            ++frame;
            block::ks_add(cache, &r);
            return;
        }
        uint32_t cls = 0;
        if (t == types::set_word) {
            if (symbol::resolve(word_symbol(&c)) != symbol::resolve(words::return_))
                fire(error_category::script, "bad-func-def", &c);
            cls = class_return;
        } else {
            cls = t == types::get_word ? class_get : t == types::lit_word ? class_lit : 0;
            ++frame;
        }
        kel_value* entry;
        if (types_at >= 0) {
            const kel_value types_block = *(cells_of(series_node(held_spec)) + types_at);
            entry = typeset::make_from_spec(cache, &types_block);
        } else {
            entry = typeset::make_untyped_arg(cache);
        }
        entry->header = types::typeset | cls;
    });
    if (natives_like && slot > static_cast<int32_t>(sizeof(refinements::at) / sizeof(int32_t)))
        fire(error_category::internal, "not-done");
    // The spec block is the script's own and may have been changed since the
    // function was made: a frame it no longer lays out word for word would
    // put the arguments in the wrong cells, so such a call is refused.
    if (type_of(&fn) == types::function && frame + std::max(locals, 0) != _context::length(fn.w1))
        fire(error_category::script, "bad-func-def", held_spec);
    kel_value count;
    if (!natives_like && locals >= 0) {
        set_integer(&count, locals);
        block::ks_add(cache, &count);
    } else if (natives_like && slot > 0) {
        set_integer(&count, slot);
        block::ks_add(cache, &count);
    }
    const kel_value made = *cache;
    *function::more_cell(&fn, function::more::cache) = made;
    stack::regs.top = held_spec;
    return made;
}
}  // namespace

kel_value cache_of(const kel_value* fn) {
    const kel_value* c = function::more_cell(fn, function::more::cache);
    if (type_of(c) == types::block) [[likely]] return *c;
    return build_cache(fn);
}

void argument_word(const kel_value* fn, int32_t index, kel_value* out) {
    const kel_value spec = call_spec(fn);
    int32_t n = 0;
    bool found = false;
    walk_spec(spec, [&](uint32_t, int32_t i, int32_t) {
        if (n++ != index || found) return;
        found = true;
        *out = *(cells_of(series_node(&spec)) + i);
        out->header = types::word;
    });
    if (!found) *out = *word::from_c_string("value");
}

// Pushes the frame of a call from C++: the argument values in order (none!
// for the missing ones, type-checked), false and none! for refinements and
// their arguments, then the /local cells. `unset_as_none`: an unset! value
// goes to an argument that does not take unset! (an untyped one) as none!.
// Answers how many of `args` it placed (the first cells of the frame).
int32_t push_fixed_frame(const kel_value* fn, const kel_value* name, const kel_value* args, int32_t count,
                         bool unset_as_none) {
    const kel_value cache = cache_of(fn);
    const int32_t n = block::ks_length_q(&cache);
    int32_t k = 0, entry_index = 0;
    bool in_refinement = false;
    for (int32_t i = 0; i < n; ++i) {
        const kel_value e = *block::ks_abs_at(&cache, i);
        const uint32_t t = type_of(&e);
        if (t == types::refinement) {
            set_logic(stack::alloc_cell(), false);
            in_refinement = true;
            ++entry_index;
        } else if (t == types::typeset) {
            const bool ret = (e.header & class_mask) == class_return;
            ++entry_index;
            if (ret) continue;
            kel_value* cell = stack::alloc_cell();
            if (in_refinement || k >= count) {
                set_none(cell);
                continue;
            }
            *cell = args[k++];
            if (unset_as_none && type_of(cell) == types::unset && !typeset_has(&e, types::unset)) set_none(cell);
            if (!typeset_has(&e, type_of(cell))) {
                kel_value datatype, word;
                set_datatype(&datatype, type_of(cell));
                argument_word(fn, entry_index - 1, &word);
                fire(error_category::script, "expect-arg", name, &datatype, &word);
            }
        } else if (t == types::integer && !called_through_table(type_of(fn)) && get_integer(&e) > 0) {
            function::push_unused_refinement(get_integer(&e));
        }
    }
    return k;
}

// The call site (trace events): the name given in an apply, else the calling
// cell (the word before the position the call opened at: once the arguments
// are fetched the cell before the position is the last argument), else the path.
kel_value site_of(const call& k) {
    kel_value site;
    const bool in_code = k.c && k.open_pos > 0 && k.open_pos <= end_of(*k.c);
    if (k.mode != mode::plain && k.name_in) {
        site = *k.name_in;
    } else if (k.path) {
        // A method call's path comes positioned at the function's element
        // (the rest are its refinements); its site is the path as written.
        site = *k.path;
        if (in_code) {
            const kel_value* written = cell_at(*k.c, k.open_pos - 1);
            if (type_of(written) == types::path && series_node(written) == series_node(k.path)) site = *written;
        }
    } else if (in_code) {
        site = *cell_at(*k.c, k.open_pos - 1);
    } else {
        set_none(&site);
    }
    return site;
}

[[gnu::noinline]] signal_code expect_arg(const call& k, int32_t entry_index, const kel_value* value) {
    kel_value datatype, word;
    set_datatype(&datatype, type_of(value));
    argument_word(&k.fn, entry_index, &word);
    return fail(error_category::script, "expect-arg", &k.name, &datatype, &word);
}

[[gnu::noinline]] signal_code no_arg(const call& k, int32_t entry_index) {
    kel_value word;
    argument_word(&k.fn, entry_index, &word);
    return fail(error_category::script, "no-arg", &k.name, &word);
}

// A get-word or lit-word argument.
[[gnu::noinline]] signal_code fetch_quoted(call& k, uint32_t cls) {
    code_position& c = *k.c;
    const kel_value v = *cell_at(c, c.pos);
    if (cls == class_get) {
        if (traced(&c)) notify_tracer(event::fetch, &c.block, c.pos, nullptr, &v);
        ++c.pos;
        push_value(&v);
        if (traced(&c)) notify_tracer(event::push, &c.block, c.pos, nullptr, &v);
        return signal_code::none;
    }
    ++c.pos;
    switch (type_of(&v)) {
        case types::paren:
            stack::open_frame(&words::_anon, native_kind(c.library));
            KEL_PROPAGATE(eval_block(&v, false));
            stack::close_frame();
            break;
        case types::get_word: push_value(lookup(&v)); break;
        case types::get_path: KEL_PROPAGATE(walk_path(&v, &c, walk::get | walk::push)); break;
        default: push_value(&v); break;
    }
    return signal_code::none;
}

namespace {

// The same, called where a refinement or an apply mode fetches (the plain
// argument loop takes the inline one).
[[gnu::noinline]] signal_code fetch_one(call& k, uint32_t cls, int32_t entry_index) {
    return fetch_one_inline(k, cls, entry_index);
}

// Fetches a value and drops it (an argument of a refinement that is off).
signal_code fetch_and_drop(call& k, uint32_t cls, int32_t entry_index) {
    KEL_PROPAGATE(fetch_one(k, cls, entry_index));
    stack::drop_cells(1);
    return signal_code::none;
}

// The cache index of the refinement named by `element` (by canonical
// symbol), or -1.
int32_t find_refinement(const call& k, const kel_value* element) {
    const int32_t n = cache_length(k);
    // Spelled as in the spec, which is the usual case: no folding needed.
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* e = cache_cells(k) + i;
        if (type_of(e) == types::refinement && word_symbol(e) == word_symbol(element)) return i;
    }
    const uint32_t s = symbol::resolve(word_symbol(element));
    for (int32_t i = 0; i < n; ++i) {
        const kel_value e = cache_entry(k, i);
        if (type_of(&e) == types::refinement && symbol::resolve(word_symbol(&e)) == s) return i;
    }
    return -1;
}

// Uses one refinement named in the path or inline: sets it and fetches its
// arguments (or fetches and drops them when it is off).
signal_code use_refinement(call& k, int32_t index, bool on, const kel_value* dup_arg) {
    const kel_value r = cache_entry(k, index);
    if (k.natives_like) {
        const int32_t slot = static_cast<int32_t>(r.w3) - 1;
        if (k.refs.at[slot] != -1) return fail(error_category::script, "dup-refine", dup_arg);
        if (on) k.refs.at[slot] = static_cast<int32_t>(stack::top() - k.base);
    } else {
        kel_value* frame_cell = k.base + r.w3;
        if (type_of(frame_cell) == types::logic && get_logic(frame_cell))
            return fail(error_category::script, "dup-refine", dup_arg);
        set_logic(frame_cell, on);
    }
    int32_t cell_offset = static_cast<int32_t>(r.w3) + 1;
    const int32_t n = cache_length(k);
    for (int32_t i = index + 1; i < n; ++i) {
        const kel_value e = cache_entry(k, i);
        if (type_of(&e) != types::typeset) break;
        const uint32_t cls = e.header & class_mask;
        if (cls == class_return) continue;
        if (!on) {
            if (!(k.mode & mode::single)) KEL_PROPAGATE(fetch_and_drop(k, cls, i));
            ++cell_offset;
            continue;
        }
        KEL_PROPAGATE(fetch_one(k, cls, i));
        KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
        if (!k.natives_like) {
            k.base[cell_offset] = *(stack::top() - 1);
            stack::drop_cells(1);
        }
        ++cell_offset;
    }
    return signal_code::none;
}

int32_t refinement_total(const call& k) {
    const int32_t n = cache_length(k);
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i)
        if (type_of(cache_cells(k) + i) == types::refinement) ++count;
    return count;
}

signal_code path_refinements(call& k) {
    const kel_value path = *k.path;
    const int32_t n = block::ks_length_q(&path);
    for (int32_t j = 1; j < n; ++j) {
        const kel_value element = *block::ks_abs_at(&path, series_head(&path) + j);
        bool on = true;
        if (type_of(&element) == types::get_word) {
            on = logic::truthy(lookup(&element));
        } else if (type_of(&element) != types::word) {
            if (refinement_total(k) == 0) break;
            return fail(error_category::script, "bad-refine", &element);
        }
        const int32_t index = find_refinement(k, &element);
        if (index < 0) return fail(error_category::script, "no-refine", &k.name, &element);
        KEL_PROPAGATE(use_refinement(k, index, on, &path));
    }
    return signal_code::none;
}

signal_code inline_refinements(call& k) {
    while (!at_end(k)) {
        code_position& c = *k.c;
        const kel_value element = *cell_at(c, c.pos);
        bool on = true;
        if (type_of(&element) == types::get_word) {
            ++c.pos;
            on = logic::truthy(lookup(&element));
        } else if (type_of(&element) == types::refinement) {
            ++c.pos;
            if (at_end(k)) {
                on = false;
            } else {
                KEL_PROPAGATE(step_expression(c, false, true, false));
                on = logic::truthy(stack::top() - 1);
                stack::drop_cells(1);
            }
        } else {
            return fail(error_category::script, "bad-refine", &element);
        }
        const int32_t index = find_refinement(k, &element);
        if (index < 0) return fail(error_category::script, "no-refine", &k.name, &element);
        KEL_PROPAGATE(use_refinement(k, index, on, &element));
    }
    return signal_code::none;
}

// The refinement entry of a call made by apply (mode > 0, no path).
signal_code applied_refinement(call& k, const kel_value& e, int32_t i, bool* active) {
    if (at_end(k) || (k.mode & mode::inline_refinements)) {
        if (!k.natives_like) set_logic(stack::alloc_cell(), false);
        *active = at_end(k);
        return signal_code::none;
    }
    KEL_PROPAGATE(fetch_one(k, 0, i));
    kel_value* v = stack::top() - 1;
    if (type_of(v) != types::logic) return expect_arg(k, i, v);
    const bool on = get_logic(v);
    if (k.natives_like) {
        stack::drop_cells(1);
        if (on) k.refs.at[e.w3 - 1] = static_cast<int32_t>(stack::top() - k.base);
    }
    *active = on;
    return signal_code::none;
}

[[gnu::always_inline]] inline signal_code fetch_arguments(call& k) {
    k.base = stack::arguments();
    if (k.natives_like) k.refs = refinements::none();
    int32_t pending = 0;  // operands already in place (infix)
    // The left operand (and an evaluated right one) are the first arguments;
    // covered before anything is pushed (building the cache pushes).
    if (k.infix) {
        pending = k.right_ready ? 2 : 1;
        stack::regs.top = k.base + pending;
    }
    {
        const kel_value* cached = cells_of(k.fn.w3) + function::more::cache;
        if (type_of(cached) == types::block) [[likely]] {
            k.cache = series_node(cached);
        } else {
            const kel_value made = build_cache(&k.fn);
            k.cache = series_node(&made);
        }
    }
    bool active = true;
    bool past_refinement = false;
    int32_t locals = 0;
    const int32_t n = cache_length(k);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* e = cache_cells(k) + i;
        const uint32_t t = type_of(e);
        if (t == types::typeset) [[likely]] {
            const uint32_t cls = e->header & class_mask;
            if (cls == class_return) continue;
            if (!active) [[unlikely]] {
                if (!k.natives_like) set_none(stack::alloc_cell());
                if ((k.mode & 3) == mode::apply_all && !k.path && !at_end(k)) KEL_PROPAGATE(fetch_and_drop(k, cls, i));
                continue;
            }
            if (pending) {
                KEL_PROPAGATE(check_type(k, i, stack::top() - pending));
                --pending;
                continue;
            }
            if ((k.mode > 0 || cls == class_lit) && at_end(k)) [[unlikely]] {
                if (k.mode > 0) {
                    // A missing argument is none; a native's own arguments (not
                    // those of a refinement, which stays off) must accept it: its
                    // body reads them as the types its spec promises.
                    set_none(stack::alloc_cell());
                    if (k.natives_like && !past_refinement) KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
                    continue;
                }
                if (cls == class_lit && typeset_has(e, types::unset)) {
                    set_unset(stack::alloc_cell());
                    continue;
                }
            }
            KEL_PROPAGATE(fetch_one_inline(k, cls, i));
            KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
        } else if (t == types::refinement) {
            past_refinement = true;
            if (k.mode > 0 && !k.path) {
                const kel_value entry = *e;
                KEL_PROPAGATE(applied_refinement(k, entry, i, &active));
            } else {
                // A native keeps no cells for refinements: those that follow,
                // and their arguments, stay off unless the path names them.
                if (k.natives_like) break;
                set_logic(stack::alloc_cell(), false);
                active = false;
            }
        } else if (t == types::integer) {
            locals = get_integer(e);
        }
    }
    // apply's inline form takes the refinements of its path too; with every
    // argument in order the block alone switches them.
    if (k.path && !(k.mode & mode::apply_all)) [[unlikely]] KEL_PROPAGATE(path_refinements(k));
    if (k.mode & mode::inline_refinements) [[unlikely]] KEL_PROPAGATE(inline_refinements(k));
    if (traced(k.c)) [[unlikely]] {
        const bool apply_call = k.mode > 0;
        const kel_value site = site_of(k);
        // An infix call shows the operator word's value, the op! (the call
        // itself runs what it wraps).
        kel_value shown = k.fn;
        if (k.infix) shown.header = native::op_header(type_of(&k.fn));
        notify_tracer(event::call, apply_call || !k.c ? nullptr : &k.c->block, apply_call || !k.c ? -1 : k.c->pos,
                      &site, &shown);
    }
    if (!k.natives_like) {
        if (locals > 0) function::push_unused_refinement(locals);
        return signal_code::none;
    }
    const int32_t number = static_cast<int32_t>(k.fn.w1);
    if (k.type == types::action) {
        const action_fn entry = actions::entry(number);
        if (!entry) fire(error_category::internal, "not-done");
        return entry(k.refs);
    }
    const natives::native_fn entry = natives::at(number).fn;
    if (!entry) fire(error_category::internal, "not-done");
    const refinements& refs = k.refs;
    return stack::catch_code([&] { return entry(false, refs); });
}
}  // namespace

signal_code invoke_value(const kel_value* fn_in, code_position* c, bool push, const kel_value* path,
                         const kel_value* name_in, const kel_value* owner, int32_t mode, bool infix,
                         bool right_ready) {
    call k;
    k.fn = *fn_in;
    if (type_of(&k.fn) == types::op) k.fn.header = native::wrapped_type(&k.fn);
    k.type = type_of(&k.fn);
    k.natives_like = called_through_table(k.type);
    k.c = c;
    k.path = path;
    k.mode = mode;
    k.infix = infix;
    k.right_ready = infix && right_ready;
    k.name_in = name_in;
    k.open_pos = c ? c->pos : -1;
    if (name_in && type_of(name_in) == types::word) [[likely]] {
        k.name = *name_in;
    } else {
        const kel_value site = name_in ? *name_in : site_of(k);
        k.name = type_of(&site) == types::word ? site : words::_anon;
    }
    const bool library = c && c->library;

    if (traced(c)) [[unlikely]] {
        const int32_t cover = infix ? (k.right_ready ? 2 : 1) : 0;
        stack::regs.top += cover;
        notify_tracer(event::open, c ? &c->block : nullptr, c ? c->pos : -1, nullptr, &k.name);
        stack::regs.top -= cover;
    }
    kel_value* const placeholder = infix ? nullptr : stack::push_copy(&k.fn);
    // One fetch for every kind (it is inlined here, once): a function's call
    // mark records its context's values as they are now (a stack context
    // keeps its values' offset + 1 in word 2, so that 0 means none: saved as
    // the offset, 0xFFFFFFFF for none).
    if (k.type == types::function) {
        // (The machine stack is checked where the body is evaluated.)
        const uint32_t ctx = k.fn.w1;
        stack::call_mark* m = stack::open_frame(&k.name, call_kind(library));
        m->function_context = ctx;
        const kel_value* context_cell = cells_of(ctx);
        if (context_cell->header & header_context_stack) m->saved_values = context_cell->w2 - 1u;
    } else if (k.natives_like || k.type == types::routine) [[likely]] {
        stack::open_frame(&k.name, native_kind(library));
    } else {
        fire(error_category::internal, "not-done");
    }
    KEL_PROPAGATE(fetch_arguments(k));
    if (k.type == types::function) {
        KEL_PROPAGATE(call_function_body(&k.fn, owner_context(&k.fn, owner, &k.name), &k.name, 0));
        // The body put the context's values back as the mark had them.
    } else if (k.type == types::routine) {
        KEL_PROPAGATE(invoke_routine(&k.fn));
    }
    stack::close_frame();
    if (traced(c)) [[unlikely]]
        notify_tracer(event::return_, c ? &c->block : nullptr, c ? c->pos : -1, &k.name, stack::top() - 1);
    if (placeholder) {
        *placeholder = *(placeholder + 1);
        stack::regs.top = placeholder + 1;
    }
    if (!push) *stack::arguments() = *(stack::top() - 1);
    return signal_code::none;
}

}  // namespace kel::interpreter
