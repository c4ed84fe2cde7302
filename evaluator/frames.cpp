// frames: the frame loop. Blocks evaluated in place run in one loop over
// records (see the frame record in interpreter_internal.h): starting an
// expression (start_expression), a function's call and body, the control
// natives, the rounds of the loops, and drive, which runs the records until
// the base one is done; run_frames is eval_in_place's way in.
//
// The control natives and what runs them in each tier (native: the native's
// own body in natives_control.cpp, which apply, `do` of the native and
// calls through paths take; decoded: run_control in decoded_calls.cpp; the
// rest are this file's, but for quick_calls.cpp's start_conditional and
// planned_rounds.cpp; pure: the node kinds of pure_calls.cpp):
//
//   native    decoded          frames                       quick / planned          pure
//   if        run_control      drive (c_invoke)             start_conditional        op::if_
//   unless    run_control      drive (c_invoke)             start_conditional        op::unless
//   either    run_control      drive (c_invoke)             start_conditional        op::either
//   any, all  any_star, all_*  start_each, run_each         -                        -
//   while     while_star       while_rounds, c_while_test   planned_while_rounds     -
//   until     until_star       c_until_round, c_until_test  -                        -
//   loop      loop_star        loop_rounds                  planned_loop_rounds      -
//   repeat    repeat_star      loop_rounds                  planned_loop_rounds      -
//   foreach   foreach_star     foreach_rounds               planned_foreach_rounds   -
//   switch    switch_star      drive (switch_branch)        -                        -
//   case      case_star        start_case, run_case         -                        -
//
// (While tracing, switch and case take run_control.)
#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

namespace {

// The call record as the generic fetch describes it (for its error and trace
// helpers).
call call_of(frame* f) {
    call k;
    k.fn = f->t.guard;
    k.type = type_of(&k.fn);
    k.natives_like = called_through_table(k.type);
    k.c = f->pc;
    k.path = nullptr;
    k.mode = mode::plain;
    k.infix = false;
    k.right_ready = false;
    k.name_in = &f->v;
    k.name = f->v;
    k.open_pos = -1;
    k.cache = f->t.cache;
    k.base = f->entry + 1;
    k.refs = refinements::none();
    return k;
}

// Opens the call of a decoded word (the word just passed): its placeholder,
// its mark, and then its arguments are fetched by the loop.
[[gnu::always_inline]] inline void open_call(frame* f, const decode::term* t, code_position* c, const kel_value* name,
                                             bool no_infix);
[[gnu::always_inline]] inline frame* push_call(const decode::term* t, code_position* c, const kel_value* name,
                                              bool no_infix) {
    frame* f = push_frame(fr::call);
    if (!f) [[unlikely]] return nullptr;
    open_call(f, t, c, name, no_infix);
    return f;
}
[[gnu::always_inline]] inline void open_call(frame* f, const decode::term* t, code_position* c, const kel_value* name,
                                             bool no_infix) {
    f->role = no_infix;
    f->t = *t;
    f->pc = c;
    f->v = *name;
    f->i = 0;
    f->n = 0;  // the refinement cells not laid out yet
    f->state = fr::c_fetch;
    kel_value* const placeholder = stack::push_copy(&f->t.guard);
    f->entry = placeholder;
    if (type_of(&f->t.guard) == types::function) {
        const uint32_t ctx = f->t.guard.w1;
        stack::call_mark* m = stack::open_frame(&f->v, call_kind(c->library));
        m->function_context = ctx;
        const kel_value* context_cell = cells_of(ctx);
        if (context_cell->header & header_context_stack) m->saved_values = context_cell->w2 - 1u;
    } else {
        stack::open_frame(&f->v, native_kind(c->library));
    }
}

inline bool truthy_or_fail(const kel_value* v, signal_code* code) {
    if ((*code = logic::condition_code(v)) != signal_code::none) [[unlikely]] return false;
    return logic::truthy(v);
}
}  // namespace

[[gnu::noinline]] signal_code frames_overflow() { return stack::overflow_code(); }

namespace {

// A paren whose first expression is a decoded call of a function (`(fib n
// - 1)`) gets one record, the call's, instead of a block record for the
// paren and a call record above it: the record holds the paren's code and
// its link for `near` as the block record would, and reads the call's
// arguments from it. When the call is done the record becomes the paren's
// block record if anything follows it in the paren, else the paren is done
// (paren_call_done). False: nothing was done (a block record runs the paren).
inline bool start_paren_call(code_position& outer, const kel_value* paren, bool no_infix, signal_code* code) {
    memory::buffer_header* const h = header_of(series_node(paren));
    const int32_t head = series_head(paren);
    if (head < 0 || head >= static_cast<int32_t>(h->used() / 16)) return false;
    const kel_value* const w = reinterpret_cast<const kel_value*>(h->head_ptr()) + head;
    if (type_of(w) != types::word) return false;
    const kel_value* const value = fast_slot(w);
    if (!value || type_of(value) != types::function) return false;
    // Decoded only by the paren's first run as a block: the term implies
    // the function's argument cache.
    decode::block_decode* const d = decode::entry_for(series_node(paren), h);
    const decode::term* const t = decode::term_at(d, head);
    if (!t || !decode::current(d, t) || t->k != decode::kind::call || !same_bits(t->guard, *value)) return false;
    frame* const f = push_frame(fr::call);
    if (!f) [[unlikely]] {
        *code = frames_overflow();
        return true;
    }
    position_at(paren, f->c2);
    if (!f->c2.library) {
        f->link2 = live_code{&f->c2, f->c2.pos, innermost_code};
        innermost_code = &f->link2;
    }
    ++f->c2.pos;
    f->paren = no_infix ? fr::paren_no_infix : fr::paren;
    f->outer = &outer;
    open_call(f, t, &f->c2, w, false);
    return true;
}

// A function's call record with its arguments in: its locals, then its body,
// run by the record itself turned into the body's block record (finish_body
// ends the call), or the generic body call for a traced function. This is
// call_function_body, its prologue here and its epilogue in finish_body.
[[gnu::always_inline]] inline signal_code enter_function(frame* f) {
    const kel_value fn = f->t.guard;
    f->state = fr::c_finish;
    if (f->t.locals > 0) function::push_unused_refinement(f->t.locals);
    if ((fn.header & (function::flag_trace | function::flag_no_trace)) || trace.active) [[unlikely]]
        return call_function_body(&fn, 0, &f->v, 0);
    // An interrupt is polled at every function call the loop runs, so that
    // recursion without loops halts too.
    if (runtime::halt_requested.load(std::memory_order_relaxed)) [[unlikely]] return interrupted();
    const uint32_t ctx = fn.w1;
    kel_value* const base_cell = stack::arguments();
    if (decode::enabled) [[likely]] {
        kel_value value;
        if (pure::try_call(fn, base_cell, &value)) {
            *base_cell = value;
            return signal_code::none;  // c_finish closes the call
        }
    }
    f->depth = stack::mark_depth();
    f->flag = (cells_of(ctx)->header & header_context_stack) != 0;
    f->old_values = f->flag ? context_values(ctx) : 0;
    if (f->flag) set_context_values(ctx, stack::offset_of(base_cell) + 1);
    stack::innermost_frame()->flags |= stack::flag_return_target;
    const kel_value body = *function::more_cell(&fn, function::more::body);
    f->state = fr::c_body_done;
    if (type_of(&body) != types::block) [[unlikely]] {
        set_unset(base_cell);
        return signal_code::none;
    }
    // The call's record runs the body itself, as a block record that
    // finishes the call at its end (finish_body): one record per call.
    f->after = f->role;
    f->kind = fr::block;
    f->role = fr::fbody;
    f->state = 0;
    f->stack_context = f->flag;
    f->flag = true;
    position_at(&body, f->c);
    f->entry = stack::top();
    if (!f->c.library) {
        f->link = live_code{&f->c, f->c.pos, innermost_code};
        innermost_code = &f->link;
    }
    return signal_code::none;
}

// Starts the expression at c.pos (the argument top is its entry; cv the
// code as it is now, c.pos before its end). One that
// needs no record (plain data, a word holding data, with inline operators
// after it, or anything the generic step does) is done here and answers
// false, its result pushed or a code in *code; one whose head or operand is a
// decoded call, a paren or a set-word gets records and answers true.
bool start_set_word(code_position& c, bool no_infix, signal_code* code, kel_value* entry, const kel_value* v,
                    const kel_value* left, int32_t stop);

// A loop body in a block record, from `pos` when quick set-words before it
// ran already (-1: from its head).
void resume_body(const kel_value* body, uint8_t role, int32_t pos, signal_code* code) {
    frame* f = push_block(body, role, true);
    if (!f) {
        *code = frames_overflow();
        return;
    }
    if (pos >= 0) {
        f->c.pos = pos;
        f->state = 1;
    }
}

// Starts a loop body: its quick set-words at once, the rest (if any) in a
// block record as ever. True when the whole body ran without a record (the
// loop's next round can follow at once). A body none of whose set-words ran
// this way is not tried again in this loop: the record would only repeat the
// attempt.
inline bool run_loop_body(frame* loop, const kel_value* body, uint8_t role, signal_code* code) {
    kel_value* const entry = stack::top();
    int32_t p = -1, end = 0;
    if (loop->quick != quick_none && !trace.active) {
        if (loop->quick == quick_sets) {
            p = quick_body(body, entry, &end);
            if (p >= end) {
                *stack::arguments() = *entry;
                stack::regs.top = entry + 1;
                return true;
            }
            if (p < 0) loop->quick = quick_call_body;
        }
        if (loop->quick >= quick_call_body) {
            stack::regs.top = entry;
            if (quick_block_call(body, true, code, true)) {
                if (*code == signal_code::none) return true;
                // What the body's block record does with a code for its loop.
                if (*code == signal_code::continue_) {
                    *code = signal_code::none;
                    if (role == fr::until_body) loop->state = fr::c_until_round;
                } else if (*code == signal_code::break_) {
                    *code = signal_code::none;
                    loop->state = fr::c_loop_end;
                }
                return false;
            }
            loop->quick = loop->quick == quick_call_body ? quick_call_last : quick_none;
        }
    }
    stack::regs.top = entry;
    resume_body(body, role, p, code);
    return false;
}

// A decoded path call's record (false: the generic step runs the path).
[[gnu::noinline]] bool start_path_call(code_position& c, memory::buffer_header* h, const kel_value& path,
                                       bool no_infix, signal_code* code) {
    kel_value name;
    const decode::term* d = decoded_path_call(c, h, c.pos, path, &name);
    if (!d) return false;
    ++c.pos;
    if (frame* f = push_call(d, &c, &name, no_infix)) f->w = path;
    else *code = frames_overflow();
    return true;
}
}  // namespace

// The mark of an operator applied in place, open while its right operand is
// evaluated as its call would have it (out of line: the common operands
// need none).
[[gnu::noinline]] void open_operator_mark(const kel_value* op_word, bool library) {
    stack::open_frame(op_word, native_kind(library));
}

namespace {

[[gnu::always_inline]] inline bool start_expression(code_position& c, const code_view& cv, bool no_infix,
                                                    signal_code* code) {
    kel_value* const entry = stack::top();
    if (trace.active) [[unlikely]] {
        *code = step_expression(c, no_infix, true, false);
        return false;
    }
    // The cell read in place: nothing below allocates before it is used
    // (but for the argument cache's building, after which it is read again).
    const kel_value* v = cv.cells + c.pos;
    const uint32_t t = type_of(v);
    if (t == types::word) {
        const kel_value* value = fast_slot(v);
        if (!value) [[unlikely]] goto generic;
        const uint32_t vt = type_of(value);
        if (!(word_special & bit(vt))) [[likely]] {
            push_value(value);
            ++c.pos;
            goto infix;
        }
        if (!prefix_callable(vt)) goto generic;
        const kel_value fn = *value;
        // The argument cache is built here rather than at the generic call, so
        // that a call run once (a loop at the top of a script) is decoded as
        // well; a decoded term implies the cache, so it is looked at only
        // when there is no term.
        bool view_holds = true;
        decode::term* d = decoded_call(c, cv.h, c.pos, fn);
        if (!d) [[unlikely]] {
            if (type_of(cells_of(fn.w3) + function::more::cache) != types::block) {
                (void)cache_of(&fn);
                memory::buffer_header* h = header_of(series_node(&c.block));
                v = reinterpret_cast<const kel_value*>(h->head_ptr()) + c.pos;
                view_holds = false;  // the cache's building may have moved the code
                d = decoded_call(c, h, c.pos, fn);
            }
            if (!d) goto generic;
        }
        if (d->control != 0 && view_holds) {
            const quick_call q = start_conditional(c, cv, d, v, no_infix, code);
            if (q == quick_call::record) return true;
            if (q == quick_call::value) {
                if (*code != signal_code::none || no_infix) return false;
                return start_infix(c, cv, entry, code);
            }
        }
        if (view_holds && d->control == 0 && type_of(&fn) != types::function &&
            d->declines < quick_call_tries) {
            quick_call q = start_quick_call(c, cv, d, v, code);
            if (q == quick_call::stopped) q = go_on_nested(c, cv, d, v, code, no_infix, quick_call_nesting);
            if (q == quick_call::record) return true;
            if (q == quick_call::value) {
                if (*code != signal_code::none || no_infix) return false;
                // The call may have changed the code (grown, moved or cut the
                // block): the operators after it are read from it afresh.
                return start_infix(c, view_of(c), entry, code);
            }
        }
        ++c.pos;
        if (!push_call(d, &c, v, no_infix)) *code = frames_overflow();
        return true;
    }
    if (plain_data(t)) {
        push_value(v);
        ++c.pos;
        goto infix;
    }
    if (t == types::paren) {
        ++c.pos;
        if (start_paren_call(c, v, no_infix, code)) return true;
        if (frame* p = push_block(v, no_infix ? fr::paren_no_infix : fr::paren, false)) p->pc = &c;
        else *code = frames_overflow();
        return true;
    }
    if (t == types::set_word) {
        kel_value left;
        int32_t stop = -1;
        if (quick_set_word(c, cv, v, &left, &stop)) return false;
        return start_set_word(c, no_infix, code, entry, v, stop >= 0 ? &left : nullptr, stop);
    }
    if (t == types::set_path && quick_set_path(c, cv, v)) return false;
    if (t == types::path && start_path_call(c, cv.h, *v, no_infix, code)) return true;
generic:
    *code = step_expression(c, no_infix, true, false);
    return false;
infix:
    if (no_infix) return false;
    return start_infix(c, cv, entry, code);
}

// The value of a set-word whose quick run stopped at the operator at `stop`,
// `left` computed before it. The operator's record starts the operand, but
// an operand that is a call start_quick_call makes (`s: s + select b k`) is
// made here and the operator applied at once. True: the value is complete
// on the stack, with no record left and no code.
bool set_word_right(code_position& c, const code_view& cv, const kel_value* left, int32_t stop, signal_code* code) {
    kel_value* const value_entry = stack::top();
    push_value(left);
    const kel_value op = *operator_in(cv, stop);
    int32_t compare = 0;
    const inline_op kind = inline_kind(op, &compare);
    c.pos = stop;
    push_right_start(c, value_entry, op, cv.cells[stop], kind, compare, code);
    if (*code != signal_code::none) return false;
    decode::term* d = nested_call_at(c, cv, stop + 1);
    if (!d) return false;
    // The operator's record waits for the operand, as it would after the
    // call's own record.
    frame* const f = frame_sp - 1;
    f->state = fr::x_right_done;
    stack::regs.top = value_entry + 1;
    const quick_call q = nested_call(c, cv, d, cv.cells + stop + 1, code, true, quick_call_nesting);
    if (q == quick_call::declined) {
        f->state = fr::x_right_start;
        return false;
    }
    if (q == quick_call::record || *code != signal_code::none) return false;
    stack::close_frame();
    if (!apply_inline(kind, compare, value_entry, value_entry + 1)) {
        f->state = fr::x_right_closed;  // the record calls the operator
        return false;
    }
    --frame_sp;
    stack::regs.top = value_entry + 1;
    // The call may have changed the code: read afresh.
    return !start_infix(c, view_of(c), value_entry, code);
}

// A set-word's expression: its mark, then its value (a record of its own
// only when the value needs one).
[[gnu::noinline]] bool start_set_word(code_position& c, bool no_infix, signal_code* code, kel_value* entry,
                                      const kel_value* set_word, const kel_value* left, int32_t stop) {
        // The set-word read in place: nothing allocates before it is on the stack.
        stack::open_frame(set_word, native_kind(c.library));
        push_value(set_word);
        ++c.pos;
        const code_view cv = view_of(c);
        if (c.pos >= cv.end) {
            const kel_value v = *stack::arguments();
            *code = fail(error_category::script, "need-value", &v);
            return false;
        }
        if (!push_expr(&c, entry, no_infix, fr::x_set_done)) {
            *code = frames_overflow();
            return true;
        }
        if (left) {
            // The value's expression as start_infix leaves it at the operator
            // quick_set_word stopped at, its left operand already computed.
            if (!set_word_right(c, cv, left, stop, code)) return true;
        } else if (start_expression(c, cv, false, code) || *code != signal_code::none) {
            return true;
        }
        // The value is there already: assigned without a round of the loop.
        --frame_sp;
        if (!assign_plain(stack::arguments())) *code = stack::catch_code([] { return assign(stack::arguments()); });
        if (*code != signal_code::none) [[unlikely]] return false;
        stack::close_frame();
        if (!no_infix && operator_after(c)) {
            if (!push_expr(&c, entry, false, fr::x_infix)) *code = frames_overflow();
            return true;
        }
        return false;
    }

}  // namespace

// foreach's next round over its word (or block of count words), cursor and
// body (the cursor a copy that moves): false at the tail or with a code in
// *code. A block's next cell into one word of a frame or a plain context is
// stored here, without foreach_step's calls.
[[gnu::noinline]] bool foreach_next(kel_value* args, int32_t count, signal_code* code) {
    kel_value* const cursor = args + 1;
    if (type_of(args) == types::block) return natives::foreach_round(args, cursor, count, code);
    const int32_t head = series_head(cursor);
    memory::buffer_header* const h = type_of(cursor) == types::block ? header_of(series_node(cursor)) : nullptr;
    if (h && head >= 0 && static_cast<uint32_t>(head) < h->units()) [[likely]] {
        const kel_value v = reinterpret_cast<const kel_value*>(h->head_ptr())[head];
        if (!store_plain(args, &v)) [[unlikely]] {
            kel_value word = args[0];
            _context::set_bound(&word, &v);
        }
        set_series_head(cursor, head + 1);
        return true;
    }
    if (!natives::series_not_tail_q(cursor)) return false;
    *code = natives::foreach_step(args, cursor);
    return *code == signal_code::none;
}

namespace {

// The mark a return or exit called by record f lands in when that is the
// call of a function this loop runs (-1: the return signal finds it). Above
// `base` every open mark was opened by a record, and only a function's call
// record marks its mark as a return target, so the nearest function body's
// record is what the signal's search would find.
int32_t return_receiver(frame* base, frame* f) {
    for (frame* b = f - 1; b > base; --b) {
        if (b->kind != fr::block || b->role != fr::fbody) continue;
        const int32_t receiver = b->depth - 1;
        if (receiver < 0 || receiver >= stack::mark_depth() - 1 ||
            !(stack::regs.marks_bottom[receiver].flags & stack::flag_return_target)) [[unlikely]]
            return -1;
        return receiver;
    }
    return -1;
}

// A function's refinement cells laid out once its plain arguments are in:
// off, but for those its path names.
[[gnu::noinline]] void lay_refinement_cells(frame* f) {
    f->n = 1;
    push_refinement_cells(f->t.cache);
    kel_value* const base_cell = f->entry + 1;
    for (int32_t r = 0; r < f->t.named; ++r) set_logic(base_cell + cells_of(f->t.cache)[f->t.refs[r]].w3, true);
}

// A refinement's argument fetched (at the top): checked, and for a function
// moved into its frame cell (a native's stays where it was pushed).
[[gnu::noinline]] signal_code refinement_argument_done(frame* f) {
    const kel_value* arg = stack::top() - 1;
    int32_t cell = 0;
    const int32_t index = refinement_argument(f->t, f->i - f->t.plain, &cell);
    if (!typeset_has(cells_of(f->t.cache) + index, type_of(arg))) [[unlikely]]
        return expect_arg(call_of(f), index, arg);
    if (f->t.rest) {
        f->entry[1 + cell] = *arg;
        stack::drop_cells(1);
    }
    return signal_code::none;
}

// Opens the each record of any or all (the native's mark open, its block
// argument at the base).
[[gnu::noinline]] signal_code start_each(uint8_t id) {
    const kel_value conditions = *stack::argument(1);
    frame* e = push_frame(fr::each);
    if (!e) return frames_overflow();
    position_at(&conditions, e->c);
    e->role = id;
    e->entry = stack::top();
    return signal_code::none;
}

// Opens the each record of case (the native's mark open, its block of cases
// at the base): as the native does, a mark of its own for the conditions and
// branches, its base cell the value so far; an empty block is none at once.
[[gnu::noinline]] signal_code start_case() {
    const kel_value cases = *stack::argument(1);
    if (block::ks_length_q(&cases) <= 0) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    frame* e = push_frame(fr::each);
    if (!e) return frames_overflow();
    position_at(&cases, e->c);
    e->role = natives::number::case_;
    stack::open_frame(&words::_anon, stack::kind::native);
    set_unset(stack::alloc_cell());
    e->entry = stack::arguments();
    return signal_code::none;
}

// The cases of case (an each record), in the native's order: a condition
// (state 1 once it is being computed), then for a true one its branch (state
// 2: a block as a record, anything else the generic step), whose value is
// case's. The record goes once that value is in place.
void run_case(frame* f, signal_code* code) {
    code_position& c = f->c;
    for (;;) {
        if (f->state == 2) {
            stack::close_frame_set_last();
            break;
        }
        if (f->state == 1) {
            const kel_value* v = f->entry;
            if (c.pos >= end_of(c)) {
                *code = fail(error_category::script, "need-value", &words::_case);
                return;
            }
            if ((*code = logic::condition_code(v)) != signal_code::none) [[unlikely]] return;
            if (!logic::truthy(v)) {
                ++c.pos;  // the branch is skipped unevaluated
                f->state = 0;
                continue;
            }
            stack::rewind();
            const kel_value next = *cell_at(c, c.pos);
            f->state = 2;
            if (type_of(&next) == types::block) {
                ++c.pos;
                if (quick_block(&next, stack::arguments())) continue;
                if (!push_block(&next, fr::branch, true)) *code = frames_overflow();
                return;
            }
            *code = step_expression(c, false, false, false);
            if (*code != signal_code::none) return;
            continue;
        }
        if (c.pos >= end_of(c)) {
            // No condition held.
            stack::close_frame_set_last();
            set_none(stack::arguments());
            break;
        }
        stack::rewind();
        const code_view cv = view_of(c);
        f->state = 1;
        if (start_expression(c, cv, false, code) || *code != signal_code::none) return;
    }
    --frame_sp;
}

// The conditions of any or all (an each record): the next expression, or the
// verdict on the one just done; the record goes once the native's result is
// in place (its call record then finishes). case has its own (run_case).
[[gnu::noinline]] void run_each(frame* f, signal_code* code) {
    if (f->role == natives::number::case_) return run_case(f, code);
    code_position& c = f->c;
    const bool any = f->role == natives::number::any;
    for (;;) {
        if (f->state == 1) {
            // An expression is done: its mark closes, its value decides.
            stack::close_frame();
            kel_value* const v = f->entry;
            const bool falsy = logic::falsy(v);
            stack::regs.top = v;
            f->state = 2;
            if (any ? !falsy : falsy) {
                if (any) *stack::arguments() = *v;
                else set_none(stack::arguments());
                break;
            }
            if (!any) *stack::arguments() = *v;
        }
        if (c.pos >= end_of(c)) {
            if (any || f->state == 0) set_none(stack::arguments());
            stack::regs.top = f->entry;
            break;
        }
        const code_view cv = view_of(c);
        stack::open_frame(&words::_body, native_kind(c.library));
        f->state = 1;
        if (start_expression(c, cv, false, code) || *code != signal_code::none) return;
    }
    --frame_sp;
}
}  // namespace

// What a planned round that could not run whole leaves to the caller: the
// rest of the body in a record when some set-words were stored (false: the
// caller returns), or the whole round the ordinary way.
bool unplanned_round(frame* f, int32_t first_set, const kel_value& body, int32_t pos, signal_code* code) {
    if (pos > first_set) {
        resume_body(&body, fr::loop_body, pos, code);
        return false;
    }
    return run_loop_body(f, &body, fr::loop_body, code);
}

namespace {

// The rounds of loop or repeat, of while and of foreach: those whose body
// runs whole without a record follow each other here; one that needs a
// record (or a code) ends the call, and the record's end brings the loop
// back. Out of the frame loop, whose register use suffers from every line
// it holds.
[[gnu::noinline]] void loop_rounds(frame* f, signal_code* code) {
    // The native's arguments lie above the placeholder; the loop's mark above them.
    kel_value* const args = f->entry + 1;
    const bool repeat = f->t.control == natives::number::repeat;
    // Back from a round that took a record: plans are tried here too, once.
    if (!f->planned && f->i > 0 && planning()) {
        f->planned = true;
        if (!planned_loop_rounds(f, args[repeat ? 2 : 1], code)) return;
    }
    for (;;) {
        // Every loop round polls for an interrupt: a body that calls
        // no function would never see one otherwise.
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return;
        if (f->i >= f->n) {
            f->state = fr::c_loop_end;
            return;
        }
        ++f->i;
        if (repeat) {
            set_integer(args + 1, f->i);
            if (!store_plain(args, args + 1)) [[unlikely]] {
                kel_value word = args[0];
                _context::set_bound(&word, args + 1);
            }
        }
        stack::rewind();
        const kel_value body = args[repeat ? 2 : 1];
        if (!run_loop_body(f, &body, fr::loop_body, code)) return;
        if (!f->planned && planning()) {
            f->planned = true;
            if (!planned_loop_rounds(f, body, code)) return;
        }
    }
}

[[gnu::noinline]] void while_rounds(frame* f, signal_code* code) {
    bool planned = false;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return;
        stack::rewind();
        const kel_value condition = f->entry[1];
        if (!quick_block(&condition, stack::arguments())) {
            f->state = fr::c_while_test;
            if (!push_block(&condition, fr::cond, true)) *code = frames_overflow();
            return;
        }
        if (!truthy_or_fail(stack::arguments(), code)) {
            if (*code == signal_code::none) f->state = fr::c_loop_end;
            return;
        }
        stack::rewind();
        const kel_value body = f->entry[2];
        if (!run_loop_body(f, &body, fr::loop_body, code)) return;
        if (!planned && planning()) {
            planned = true;
            if (!planned_while_rounds(f, code)) return;
        }
    }
}

[[gnu::noinline]] void foreach_rounds(frame* f, signal_code* code) {
    // The word, the cursor (a copy of the caller's series: it moves) and the body.
    kel_value* const args = f->entry + 1;
    bool planned = false;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return;
        stack::rewind();
        if (!foreach_next(args, f->n, code)) {
            if (*code == signal_code::none) f->state = fr::c_loop_end;
            return;
        }
        const kel_value body = args[2];
        if (!run_loop_body(f, &body, fr::loop_body, code)) return;
        if (!planned && planning()) {
            planned = true;
            if (!planned_foreach_rounds(f, code)) return;
        }
    }
}

// The operators after an expression's value (record f in state x_infix,
// the value at f->entry, its code at f->pc): those whose right operand is a
// number are applied in place; the first that needs more starts its operand
// (the record waits at x_right_done) or its call; with no operator left the
// record is done and popped.
[[gnu::noinline]] void infix_round(frame* f, signal_code* code) {
    code_position& c = *f->pc;
    for (;;) {
        if (c.pos >= c.end) {
            --frame_sp;
            return;
        }
        const code_view cv = view_of(c);
        const kel_value* value = operator_in(cv, c.pos);
        if (!value) {
            --frame_sp;
            return;
        }
        kel_value* const entry = f->entry;
        if (traced(&c)) [[unlikely]] {
            *code = apply_infix(c, entry, value);
            if (*code == signal_code::none) --frame_sp;
            return;
        }
        const kel_value op = *value;
        int32_t compare = 0;
        const inline_op kind = inline_kind(op, &compare);
        ++c.pos;
        if (kind != inline_op::none && c.pos < cv.end) {
            if (const kel_value* right = number_operand(cv.cells + c.pos)) {
                if (apply_inline(kind, compare, entry, right)) {
                    ++c.pos;
                    continue;
                }
            } else {
                // The right operand as an expression of its own, without infix.
                f->v = op;
                f->w = cv.cells[c.pos - 1];
                f->i = static_cast<int32_t>(kind);
                f->n = compare;
                stack::regs.top = entry + 1;
                open_operator_mark(&f->w, c.library);
                f->state = fr::x_right_done;
                start_expression(c, view_of(c), true, code);
                return;
            }
        }
        const kel_value op_word = *cell_at(c, c.pos - 1);
        kel_value fn = op;
        fn.header = native::wrapped_type(&op);
        stack::regs.top = entry;
        *code = invoke_value(&fn, &c, true, nullptr, &op_word, &op, mode::plain, true);
        return;
    }
}

// A record whose value stands at f->entry in the code f->pc goes on as the
// expression that value heads: its operators, if any follow.
inline void go_on_as_infix(frame* f, signal_code* code) {
    f->kind = fr::expr;
    f->state = fr::x_infix;
    f->flag = false;
    set_none(&f->v);
    infix_round(f, code);
}

// A paren call's record, done with the paren's code: its link leaves the
// chain of live code.
inline void unlink_paren(const frame* f) {
    if (!f->c2.library) innermost_code = f->link2.outer;
}

// A paren call's record whose call is done (its value at the placeholder):
// with more in the paren it becomes the paren's block record (an operator
// after the call gets an expression record above it first); else the paren
// is done, and goes on as its block record would at its end.
[[gnu::noinline]] void paren_call_done(frame* f, signal_code* code) {
    code_position& c = f->c;
    kel_value* const entry = f->entry;
    const code_view cv = view_of(f->c2);
    if (f->c2.pos < cv.end) {
        // Nothing above the record points at c2 or link2 any more.
        c = f->c2;
        f->link = f->link2;
        f->link.c = &c;
        if (innermost_code == &f->link2) innermost_code = &f->link;
        f->kind = fr::block;
        f->role = f->paren;
        f->flag = false;
        f->state = 1;
        f->pc = f->outer;
        f->paren = 0;
        if (operator_in(cv, c.pos)) {
            frame* x = push_expr(&c, entry, false, fr::x_infix);
            if (!x) *code = frames_overflow();
            else infix_round(x, code);
        }
        return;
    }
    unlink_paren(f);
    if (f->paren == fr::paren) {
        f->pc = f->outer;
        f->paren = 0;
        go_on_as_infix(f, code);
        return;
    }
    --frame_sp;
}

// A call's value at f->entry in the code c: with an operator after it (and
// infix allowed) the record goes on as that expression's, else it is done.
inline void after_call(frame* f, code_position& c, signal_code* code) {
    if (!f->after && operator_after(c)) [[unlikely]] {
        go_on_as_infix(f, code);
        return;
    }
    --frame_sp;
}

// Closes the mark of the call a body or branch record finishes and moves its
// value (the arguments base) down to the call's placeholder, the record's
// entry from now on; answers the code the call stands in.
inline code_position& close_call(frame* f) {
    kel_value* const placeholder = stack::arguments() - 1;
    stack::close_frame();
    code_position& c = *f->pc;
    if (traced(&c)) [[unlikely]] notify_tracer(event::return_, &c.block, c.pos, &f->v, stack::top() - 1);
    *placeholder = *(placeholder + 1);
    stack::regs.top = placeholder + 1;
    f->entry = placeholder;
    return c;
}

// A function body's record at its end, or receiving its call's return or
// exit (the body's value in the arguments base): the call finishes as its
// record would at c_body_done and c_finish.
[[gnu::noinline]] void finish_body(frame* f, signal_code* code) {
    stack::innermost_frame()->flags &= ~stack::flag_return_target;
    if (f->stack_context) set_context_values(f->t.guard.w1, f->old_values);
    code_position& c = close_call(f);
    if (f->paren) {
        f->kind = fr::call;
        paren_call_done(f, code);
        return;
    }
    after_call(f, c, code);
}

// The branch of a conditional's record at its end (its value in the
// arguments base): the conditional's call finishes as its record would at
// c_finish.
[[gnu::noinline]] void finish_conditional(frame* f, signal_code* code) {
    code_position& c = close_call(f);
    after_call(f, c, code);
}

// Runs the records above `base` until the base record is done; `code` is a
// code already travelling (an exception caught around the loop).
signal_code drive(frame* base, signal_code code) {
    for (;;) {
        if (code != signal_code::none) [[unlikely]] {
            // Pop records until one receives the code.
            frame* f = frame_sp - 1;
            if (f->kind == fr::block) {
                if (!f->c.library) innermost_code = f->link.outer;
                const uint8_t role = f->role;
                if (role == fr::fbody) {
                    if ((code == signal_code::return_ || code == signal_code::exit) &&
                        stack::mark_depth() == f->depth) {
                        code = signal_code::none;
                        finish_body(f, &code);
                        continue;
                    }
                    if (f->paren) unlink_paren(f);
                    --frame_sp;
                    continue;
                }
                --frame_sp;
                if (frame_sp == base) return code;
                frame* parent = f - 1;
                switch (role) {
                    case fr::loop_body:
                    case fr::until_body:
                        if (code == signal_code::continue_) {
                            code = signal_code::none;
                            if (role == fr::until_body) parent->state = fr::c_until_round;
                        } else if (code == signal_code::break_) {
                            code = signal_code::none;
                            parent->state = fr::c_loop_end;
                        }
                        break;
                    case fr::cond:
                        if (code == signal_code::break_ || code == signal_code::continue_)
                            fire(error_category::throw_, "while-cond");
                        break;
                    default: break;
                }
            } else {
                if (f->kind == fr::call && f->paren) unlink_paren(f);
                --frame_sp;
            }
            continue;
        }
        frame* f = frame_sp - 1;
        switch (f->kind) {
            case fr::block: {
                code_position& c = f->c;
                for (;;) {
                    if (c.pos >= c.end) [[unlikely]] {
                    end_reached:
                        if (f->state == 0) set_unset(stack::alloc_cell());  // an empty block
                        goto block_done;
                    }
                    const code_view cv = view_of(c);
                    if (c.pos >= cv.end) [[unlikely]] goto end_reached;
                    stack::regs.top = f->entry;
                    f->state = 1;
                    f->link.start = c.pos;
                    if (start_expression(c, cv, false, &code) || code != signal_code::none) break;
                }
                continue;
            block_done:
                if (f->flag) *stack::arguments() = *f->entry;
                if (!c.library) innermost_code = f->link.outer;
                // A paren heads an expression: with an operator after it the
                // record goes on as that expression's (its entry is the paren's).
                if (f->role == fr::paren) {
                    go_on_as_infix(f, &code);
                    continue;
                }
                if (f->role == fr::fbody) {
                    finish_body(f, &code);
                    continue;
                }
                if (f->role == fr::cbranch) {
                    finish_conditional(f, &code);
                    continue;
                }
                --frame_sp;
                if (frame_sp == base) return signal_code::none;
                continue;
            }
            case fr::expr: {
                code_position& c = *f->pc;
                switch (f->state) {
                    case fr::x_head_done:
                        if (!f->flag && operator_after(c)) {
                            f->state = fr::x_infix;
                            continue;
                        }
                        --frame_sp;
                        continue;
                    case fr::x_set_done:
                        if (!assign_plain(stack::arguments()))
                            code = stack::catch_code([] { return assign(stack::arguments()); });
                        if (code != signal_code::none) continue;
                        stack::close_frame();
                        f->state = fr::x_head_done;
                        continue;
                    case fr::x_infix: infix_round(f, &code); continue;
                    case fr::x_right_start:
                        // An inline operator's right operand that is not a number (the
                        // operator in f->v, already passed): an expression of its own.
                        stack::regs.top = f->entry + 1;
                        f->state = fr::x_right_done;
                        start_expression(c, view_of(c), true, &code);
                        continue;
                    case fr::x_right_done:
                        stack::close_frame();
                        [[fallthrough]];
                    case fr::x_right_closed: {
                        kel_value* const entry = f->entry;
                        f->state = fr::x_infix;
                        if (apply_inline(static_cast<inline_op>(f->i), f->n, entry, entry + 1)) {
                            stack::regs.top = entry + 1;
                            infix_round(f, &code);
                            continue;
                        }
                        const kel_value op = f->v;
                        const kel_value op_word = f->w;
                        kel_value fn = op;
                        fn.header = native::wrapped_type(&op);
                        stack::regs.top = entry;
                        code = invoke_value(&fn, &c, true, nullptr, &op_word, &op, mode::plain, true, true);
                        continue;
                    }
                    default: break;
                }
                fire(error_category::internal, "not-done");
            }
            default: break;
        }
        if (f->kind == fr::each) [[unlikely]] {
            run_each(f, &code);
            continue;
        }
        // A decoded call.
        code_position& c = *f->pc;
        switch (f->state) {
            case fr::c_fetch:
            case fr::c_arg_done: {
                // Arguments that are done at once are checked in this round;
                // one that needs records comes back at c_arg_done.
                if (f->state == fr::c_arg_done) goto check;
                if (f->t.classes != 0) [[unlikely]] {
                    call k = call_of(f);
                    f->state = fr::c_invoke;
                    code = fetch_classed(k, f->t);
                    continue;
                }
                for (;;) {
                    if (f->i >= f->t.plain) [[unlikely]] {
                        if (f->t.rest && !f->n) lay_refinement_cells(f);
                        if (f->i >= f->t.args) {
                            f->state = fr::c_invoke;
                            break;
                        }
                    }
                    {
                        const code_view cv = view_of(c);
                        if (c.pos >= cv.end) [[unlikely]] {
                            int32_t cell = 0;
                            const int32_t index =
                                f->i < f->t.plain ? f->i : refinement_argument(f->t, f->i - f->t.plain, &cell);
                            code = no_arg(call_of(f), index);
                            break;
                        }
                        f->state = fr::c_arg_done;
                        if (start_expression(c, cv, false, &code) || code != signal_code::none) break;
                    }
                check:
                    const kel_value* arg = stack::top() - 1;
                    if (f->i < f->t.plain) [[likely]] {
                        if (!typeset_has(cells_of(f->t.cache) + f->i, type_of(arg))) [[unlikely]] {
                            code = expect_arg(call_of(f), f->i, arg);
                            break;
                        }
                    } else {
                        code = refinement_argument_done(f);
                        if (code != signal_code::none) break;
                    }
                    ++f->i;
                }
                // All arguments in: the call goes on in this round.
                if (f->state == fr::c_invoke && code == signal_code::none) goto invoke;
                continue;
            }
            case fr::c_invoke:
            invoke: {
                if (traced(&c)) [[unlikely]] {
                    // The call site: the path of a path call, else the calling word.
                    const kel_value site = f->t.k == decode::kind::path_call ? f->w : f->v;
                    const kel_value fn = f->t.guard;
                    notify_tracer(event::call, &c.block, c.pos, &site, &fn);
                }
                const kel_value fn = f->t.guard;
                const int32_t number = static_cast<int32_t>(fn.w1);
                const uint32_t type = type_of(&fn);
                f->state = fr::c_finish;
                if (type == types::function) {
                    code = enter_function(f);
                    continue;
                }
                if (f->t.named) [[unlikely]] {
                    const refinements refs = path_refinements_of(f->t);
                    if (type == types::action) {
                        code = actions::entry(number)(refs);
                    } else {
                        const natives::native_fn entry = natives::at(number).fn;
                        code = stack::catch_code([entry, &refs] { return entry(false, refs); });
                    }
                    continue;
                }
                if (type == types::action) {
                    code = actions::entry(number)(refinements::none());
                    continue;
                }
                switch (f->t.control) {
                    case 0: {
                        const natives::native_fn entry = natives::at(number).fn;
                        if ((entry == natives::return_star || entry == natives::exit_star) && !traced(&c)) {
                            if (const int32_t receiver = return_receiver(base, f); receiver >= 0) {
                                code = stack::return_to(receiver,
                                                        entry == natives::return_star ? stack::arguments() : nullptr);
                                continue;
                            }
                        }
                        code = stack::catch_code([entry] { return entry(false, refinements::none()); });
                        continue;
                    }
                    case natives::number::if_:
                    case natives::number::unless: {
                        if (logic::falsy(stack::argument(1)) == (f->t.control == natives::number::if_)) {
                            set_none(stack::arguments());
                            continue;
                        }
                        const kel_value branch = *stack::argument(2);
                        if (quick_block(&branch, stack::arguments())) continue;
                        if (!push_block(&branch, fr::branch, true)) code = frames_overflow();
                        continue;
                    }
                    case natives::number::either: {
                        const kel_value* condition = stack::argument(1);
                        if ((code = logic::condition_code(condition)) != signal_code::none) [[unlikely]] continue;
                        const kel_value branch = logic::truthy(condition) ? *stack::argument(2) : *stack::argument(3);
                        if (quick_block(&branch, stack::arguments())) continue;
                        if (!push_block(&branch, fr::branch, true)) code = frames_overflow();
                        continue;
                    }
                    case natives::number::loop:
                    case natives::number::repeat: {
                        kel_value* count_cell = stack::argument(f->t.control == natives::number::loop ? 1 : 2);
                        natives::integer_count(count_cell);
                        f->n = get_integer(count_cell);
                        if (f->n < 1) {
                            set_none(stack::arguments());
                            continue;
                        }
                        f->i = 0;
                        stack::open_loop_frame(&words::_body);
                        f->quick = quick_sets;
                        f->planned = false;
                        set_unset(stack::alloc_cell());
                        f->state = fr::c_loop;
                        continue;
                    }
                    case natives::number::while_:
                        stack::open_loop_frame(&words::_body);
                        f->quick = quick_sets;
                        f->planned = false;
                        set_unset(stack::alloc_cell());
                        f->state = fr::c_while_cond;
                        continue;
                    case natives::number::until:
                        stack::open_loop_frame(&words::_body);
                        f->quick = quick_sets;
                        f->planned = false;
                        set_unset(stack::alloc_cell());
                        f->state = fr::c_until_round;
                        continue;
                    case natives::number::foreach: {
                        int32_t count = 1;
                        code = natives::foreach_setup(stack::argument(1), stack::argument(2), &count);
                        if (code != signal_code::none) continue;
                        f->n = count;
                        stack::open_loop_frame(&words::_body);
                        f->quick = quick_sets;
                        f->planned = false;
                        set_unset(stack::alloc_cell());
                        f->state = fr::c_foreach;
                        continue;
                    }
                    case natives::number::any:
                    case natives::number::all:
                        code = start_each(f->t.control);
                        continue;
                    case natives::number::switch_: {
                        if (trace.active) [[unlikely]]
                            goto by_native;
                        bool matched = false;
                        kel_value branch;
                        code = stack::catch_code([&branch, &matched] {
                            branch = natives::switch_branch(stack::argument(1), stack::argument(2), &matched);
                            return signal_code::none;
                        });
                        if (code != signal_code::none) continue;
                        if (type_of(&branch) != types::block) {
                            set_none(stack::arguments());
                            continue;
                        }
                        if (quick_block(&branch, stack::arguments())) continue;
                        if (!push_block(&branch, fr::branch, true)) code = frames_overflow();
                        continue;
                    }
                    case natives::number::case_:
                        if (trace.active) [[unlikely]]
                            goto by_native;
                        code = start_case();
                        continue;
                    by_native:
                    default: {
                        const uint8_t id = f->t.control;
                        code = stack::catch_code([id] { return run_control(id); });
                        continue;
                    }
                }
            }
            case fr::c_body_done:
                stack::innermost_frame()->flags &= ~stack::flag_return_target;
                if (f->flag) set_context_values(f->t.guard.w1, f->old_values);
                f->state = fr::c_finish;
                [[fallthrough]];
            case fr::c_finish: {
                stack::close_frame();
                if (traced(&c)) [[unlikely]] notify_tracer(event::return_, &c.block, c.pos, &f->v, stack::top() - 1);
                kel_value* const placeholder = f->entry;
                *placeholder = *(placeholder + 1);
                stack::regs.top = placeholder + 1;
                if (f->paren) {
                    paren_call_done(f, &code);
                    continue;
                }
                // It heads an expression: with an operator after it the record
                // goes on as that expression's (its entry is the placeholder).
                if (!f->role && operator_after(c)) [[unlikely]] {
                    go_on_as_infix(f, &code);
                    continue;
                }
                --frame_sp;
                continue;
            }
            case fr::c_loop: loop_rounds(f, &code); continue;
            case fr::c_while_cond: while_rounds(f, &code); continue;
            case fr::c_while_test: {
                if (!truthy_or_fail(stack::arguments(), &code)) {
                    if (code == signal_code::none) f->state = fr::c_loop_end;
                    continue;
                }
                stack::rewind();
                const kel_value body = f->entry[2];
                f->state = fr::c_while_cond;
                run_loop_body(f, &body, fr::loop_body, &code);
                continue;
            }
            case fr::c_until_round: {
                if ((code = poll_halt()) != signal_code::none) [[unlikely]] continue;
                stack::rewind();
                const kel_value body = f->entry[1];
                f->state = fr::c_until_test;
                run_loop_body(f, &body, fr::until_body, &code);
                continue;
            }
            case fr::c_foreach: foreach_rounds(f, &code); continue;
            case fr::c_until_test: {
                const bool done = truthy_or_fail(stack::arguments(), &code);
                if (code != signal_code::none) continue;
                f->state = done ? fr::c_loop_end : fr::c_until_round;
                continue;
            }
            case fr::c_loop_end: {
                const uint8_t id = f->t.control;
                if (id == natives::number::repeat) natives::repeat_done(f->entry + 1, f->entry + 2);
                stack::close_frame_set_last();
                if (id == natives::number::while_) set_unset(stack::arguments());
                f->state = fr::c_finish;
                continue;
            }
            default: fire(error_category::internal, "not-done");
        }
    }
}
}  // namespace

// eval_in_place over the frame stack.
signal_code run_frames(const kel_value* block, bool set_last) {
    if (!frames) [[unlikely]] {
        frames = static_cast<frame*>(std::malloc(sizeof(frame) * static_cast<size_t>(frame_capacity)));
        if (!frames) fatal::report_error(fatal::assertion_failed, __builtin_return_address(0));
        frame_sp = frames;
        frame_limit = frames + frame_capacity;
    }
    frame* const base = frame_sp;
    struct restore {
        frame* base;
        live_code* link;
        ~restore() {
            frame_sp = base;
            innermost_code = link;
        }
    } guard{base, innermost_code};
    if (!push_block(block, fr::base, set_last)) return frames_overflow();
    signal_code code = signal_code::none;
    for (;;) {
        try {
            return drive(base, code);
        } catch (const kel_unwind& u) {
            code = code_of_unwind(u);
        }
    }
}

void mark_frames(void (*mark)(kel_value* cell)) {
    for (frame* p = frames; p && p < frame_sp; ++p) {
        frame& f = *p;
        if (f.kind == fr::block || f.kind == fr::each) {
            mark(&f.c.block);
            if (f.kind == fr::block && f.role == fr::cbranch) mark(&f.v);
            if (f.kind == fr::block && f.role == fr::fbody) {
                mark(&f.v);
                if (f.paren) mark(&f.c2.block);
            }
        } else {
            mark(&f.v);
            if (f.kind == fr::call && f.t.k == decode::kind::path_call) mark(&f.w);
            if (f.kind == fr::call && f.paren) mark(&f.c2.block);
        }
    }
}

}  // namespace kel::interpreter
