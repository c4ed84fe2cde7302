// quick_calls: what runs without a record of its own. Set-words whose value
// is a quick expression, a loop body's leading quick set-words, calls of
// actions and natives whose arguments are all quick (nested up to
// quick_call_nesting deep), a block that is one such call, and either, if
// and unless with quick arguments. Each declines before it has changed
// anything, and the frame loop's records run the code instead.
#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

namespace {

// A block that is one quick set-word whole (`[a: a * 2]`, a branch):
// computed and stored for the reasons of quick_set_word, its value into
// *out. The whole block is checked before anything is stored.
[[gnu::noinline]] bool quick_set_block(const kel_value* block, kel_value* out) {
    code_view v;
    if (trace.active || !whole_view(block, &v) || v.end < 2 || type_of(v.cells) != types::set_word) return false;
    kel_value value;
    if (quick_run<true>(v, 1, &value) != v.end || !store_quick(v.cells, &value)) return false;
    *out = value;
    return true;
}
}  // namespace

// `word: value` where the value is a quick expression: computed and stored
// without the set-word's mark or a record. Nothing in it can fail, allocate,
// call or be traced, so no one could see the mark; whatever does not fit (an
// object's word, an unbound word, the shapes quick_run refuses) runs the
// ordinary way from the set-word.
//
// A run that stops at an operator whose right operand needs evaluating
// (`s: s + select ...`) leaves *stop at that operator, the value before it
// in *left: the set-word's records then start there (start_set_word).
[[gnu::noinline]] bool quick_set_word(code_position& c, const code_view& cv, const kel_value* set_word,
                                      kel_value* left, int32_t* stop) {
    kel_value value;
    const int32_t p = quick_run<true>(cv, c.pos + 1, &value, stop);
    if (p < 0) {
        if (*stop >= 0) *left = value;
        return false;
    }
    if (!store_quick(set_word, &value)) return false;
    push_value(&value);
    c.pos = p;
    return true;
}

// A loop body's quick set-words (`n: n + 1`) run in place, from the body's
// head, without a block record, for the reasons of quick_set_word; the value
// of the last one run is left at `entry`. Answers -1 when none ran, the
// body's end when all did, else the expression a record must take over from.
[[gnu::noinline]] int32_t quick_body(const kel_value* body, kel_value* entry, int32_t* end) {
    code_position c;
    position_at(body, c);
    const code_view cv = view_of(c);
    const int32_t head = c.pos;
    *end = cv.end;
    while (c.pos < cv.end && type_of(cv.cells + c.pos) == types::set_word) {
        stack::regs.top = entry;
        kel_value left;
        int32_t stop = -1;
        if (!quick_set_word(c, cv, cv.cells + c.pos, &left, &stop)) break;
    }
    return c.pos == head ? -1 : c.pos;
}

// `o/x: value` where the value is a quick expression and the short path
// stores into the object (one that hears no changes): computed and stored
// without the set-path's mark, for the reasons of quick_set_word.
[[gnu::noinline]] bool quick_set_path(code_position& c, const code_view& cv, const kel_value* set_path) {
    kel_value value;
    const int32_t p = quick_run<true>(cv, c.pos + 1, &value);
    if (p < 0 || unset_q(&value) || !quick_field_set(set_path, &value)) return false;
    c.pos = p;
    return true;
}

namespace {

// The call start_quick_call has opened (its placeholder and mark laid out,
// `done` arguments in place above the placeholder) as the record its
// ordinary fetch would be by now, at `at` in the frame stack (the records
// from there up move up one); the loop goes on from c.pos.
[[gnu::noinline]] void adopt_call(frame* at, const decode::term& t, code_position& c, const kel_value& name,
                                  bool no_infix, kel_value* placeholder, int32_t done, uint8_t state,
                                  signal_code* code) {
    if (frame_sp >= frame_limit) [[unlikely]] {
        *code = frames_overflow();
        return;
    }
    // Records hold no pointers into each other (only block records are
    // pointed at, and none is above `at`): they move as bytes.
    std::memmove(static_cast<void*>(at + 1), static_cast<const void*>(at),
                 static_cast<size_t>(frame_sp - at) * sizeof(frame));
    ++frame_sp;
    at->kind = fr::call;
    at->role = no_infix;
    at->t = t;
    at->pc = &c;
    at->v = name;
    at->i = done;
    at->n = 0;
    at->state = state;
    at->entry = placeholder;
}

// The call of an action (entry null: its number) or native whose mark is
// open and whose `count` arguments lie above its placeholder: made, its
// value moved down to the placeholder's cell.
[[gnu::always_inline]] inline quick_call make_quick_call(natives::native_fn entry, int32_t number, kel_value* args,
                                                         int32_t count, signal_code* code) {
    stack::regs.top = args + count;
    *code = entry ? stack::catch_code([entry] { return entry(false, refinements::none()); })
                  : actions::entry(number)(refinements::none());
    if (*code != signal_code::none) [[unlikely]] return quick_call::value;
    stack::close_frame();
    *(args - 1) = *args;
    stack::regs.top = args;
    return quick_call::value;
}

// Where start_quick_call stopped: the argument that was not a quick
// expression, and its position (valid when it answered `stopped`, until the
// next call of it).
struct quick_stop_at {
    int32_t argument;
    int32_t pos;
} quick_stop;

}  // namespace

// A decoded call of an action or native (not one the loop runs itself) whose
// arguments are all quick expressions, each of its type, fetches them here
// before its mark opens and is invoked at once, with no record: fetching
// them can neither fail, call nor be traced, so no one could see the order.
// Anything else declines, and the record's ordinary fetch runs from the
// call's word; an argument that is not a quick expression stops it
// (`stopped`, nothing counted or changed, the arguments before it computed
// in place), for go_on_nested to go on from or the caller to count as
// declined.
// (Functions and the conditionals were measured slower this way: their
// records stay.)
[[gnu::noinline]] quick_call start_quick_call(code_position& c, const code_view& cv, decode::term* d,
                                              const kel_value* name, signal_code* code, int32_t whole_to) {
    // The arguments are computed where the call would push them, above the
    // placeholder's cell, before anything is pushed: nothing here allocates.
    kel_value* const placeholder = stack::top();
    kel_value* const args = placeholder + 1;
    if (d->classes != 0 || d->args != d->plain || d->args > quick_call_arguments ||
        args + quick_call_arguments >= stack::regs.limit) {
        return declined(d);
    }
    const int32_t number = static_cast<int32_t>(d->guard.w1);
    natives::native_fn entry = nullptr;
    if (type_of(&d->guard) == types::native) {
        entry = natives::at(number).fn;
        // return and exit find their receiver through the call's record.
        if (entry == natives::return_star || entry == natives::exit_star) return declined(d);
    }
    int32_t p = c.pos + 1;
    const int32_t count = d->args;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t q = quick_run<false>(cv, p, args + i);
        if (q < 0) {
            quick_stop = quick_stop_at{i, p};
            return quick_call::stopped;
        }
        const uint32_t type = type_of(args + i);
        if (d->seen[i] != type + 1) [[unlikely]] {
            if (!typeset_has(cells_of(d->cache) + i, type)) return declined(d);
            d->seen[i] = static_cast<uint8_t>(type + 1);
        }
        p = q;
    }
    if (whole_to >= 0 && p != whole_to) return quick_call::declined;
    c.pos = p;
    *placeholder = d->guard;
    stack::regs.top = args;
    stack::open_frame(name, native_kind(c.library));
    return make_quick_call(entry, number, args, d->args, code);
}

// start_quick_call going on from where it stopped, when the argument there is
// a call it may make itself (`select b pick k i + 1`, up to `nest` deep;
// else the call declines). This call's placeholder and mark are then laid
// out first, as its record would have them when that call runs (its term
// and name copied: the call may decode blocks or move the code), and it is
// made once every argument is in. `record`: the rest went on as records.
[[gnu::noinline]] quick_call go_on_nested(code_position& c, code_view cv, decode::term* d, const kel_value* name,
                                          signal_code* code, bool no_infix, int32_t nest) {
    int32_t i = quick_stop.argument, p = quick_stop.pos;
    decode::term* inner = nest > 0 ? nested_call_at(c, cv, p) : nullptr;
    if (!inner) return declined(d);
    const decode::term own = *d;
    const kel_value own_name = *name;
    kel_value* const placeholder = stack::top();
    kel_value* const args = placeholder + 1;
    *placeholder = own.guard;
    stack::regs.top = args;
    stack::open_frame(&own_name, native_kind(c.library));
    for (;;) {
        // The argument at p is a call.
        stack::regs.top = args + i;
        c.pos = p;
        frame* const inner_records = frame_sp;
        const quick_call q = nested_call(c, cv, inner, cv.cells + p, code, false, nest - 1);
        if (q != quick_call::value) {
            // Declined (nothing done: the record fetches this argument), or
            // gone on as records: this call's record goes below them.
            adopt_call(inner_records, own, c, own_name, no_infix, placeholder, i,
                       q == quick_call::declined ? fr::c_fetch : fr::c_arg_done, code);
            return quick_call::record;
        }
        if (*code != signal_code::none) [[unlikely]] return quick_call::value;
        // The call may have changed the code: it is read afresh, and an
        // operator after the value makes the rest the record's.
        cv = view_of(c);
        p = c.pos;
        if (operator_in(cv, p)) {
            adopt_call(frame_sp, own, c, own_name, no_infix, placeholder, i, fr::c_arg_done, code);
            if (*code == signal_code::none) start_infix(c, cv, args + i, code);
            return quick_call::record;
        }
        // The arguments after it, up to the next call.
        for (;;) {
            if (!typeset_has(cells_of(own.cache) + i, type_of(args + i))) {
                // The record's check raises the error.
                adopt_call(frame_sp, own, c, own_name, no_infix, placeholder, i, fr::c_arg_done, code);
                return quick_call::record;
            }
            if (++i >= own.args) {
                const int32_t number = static_cast<int32_t>(own.guard.w1);
                const natives::native_fn entry = type_of(&own.guard) == types::native ? natives::at(number).fn : nullptr;
                return make_quick_call(entry, number, args, own.args, code);
            }
            const int32_t q2 = quick_run<false>(cv, p, args + i);
            if (q2 < 0) break;
            p = q2;
            stack::regs.top = args + i + 1;
            c.pos = p;
        }
        inner = nest > 0 ? nested_call_at(c, cv, p) : nullptr;
        if (!inner) {
            stack::regs.top = args + i;
            c.pos = p;
            adopt_call(frame_sp, own, c, own_name, no_infix, placeholder, i, fr::c_fetch, code);
            return quick_call::record;
        }
    }
}

// start_quick_call, and go_on_nested where it stops.
quick_call nested_call(code_position& c, const code_view& cv, decode::term* d, const kel_value* name,
                       signal_code* code, bool no_infix, int32_t nest) {
    const quick_call q = start_quick_call(c, cv, d, name, code);
    return q == quick_call::stopped ? go_on_nested(c, cv, d, name, code, no_infix, nest) : q;
}

// A block that is one call of an action or native whose arguments are all
// quick (a parse action such as `(append out x)`) is run without the frame
// loop: the call is made as start_quick_call makes it, with the block's
// position linked for `near` as its record would link it. False: nothing
// was done (run_frames runs the block).
[[gnu::noinline]] bool quick_block_call(const kel_value* block, bool set_last, signal_code* code, bool loop_body) {
    code_position c;
    position_at(block, c);
    if (c.pos >= c.end) return false;
    const code_view cv = view_of(c);
    const kel_value* v = cv.cells + c.pos;
    if (type_of(v) != types::word) return false;
    const kel_value* value = fast_slot(v);
    if (!value || !called_through_table(type_of(value))) return false;
    decode::term* d = decoded_call(c, cv.h, c.pos, *value);
    if (!d || d->control != 0 || (loop_body && d->declines >= quick_call_tries)) return false;
    kel_value* const entry = stack::top();
    live_link here(&c);
    if (!c.library) here.enter();
    try {
        const quick_call q = start_quick_call(c, cv, d, v, code, cv.end);
        // A loop body's call whose argument is a call of its own is left to
        // its record, whose nested quick calls make it: not a decline.
        if (q == quick_call::stopped && !loop_body) declined(d);
        if (q != quick_call::value) return false;
    } catch (const kel_unwind& u) {
        // A code thrown by the call comes back as run_frames would return it.
        *code = code_of_unwind(u);
        return true;
    }
    if (*code == signal_code::none && set_last) *stack::arguments() = *entry;
    return true;
}

namespace {

// The arguments of either, if or unless (decoded as d, its word at c.pos)
// fetched at once into args when the condition is a quick expression and
// every branch a block written in place, with no operator after the last
// (one would take the block as its left operand): the common
// `either n < 2 [..] [..]`. Answers the position after them, or -1 (nothing
// fetched: the record's fetch runs as ever).
inline int32_t quick_conditional(const code_view& cv, int32_t at, const decode::term* d, kel_value* args) {
    const uint8_t id = d->control;
    if (id != natives::number::either && id != natives::number::if_ && id != natives::number::unless) return -1;
    const int32_t count = d->args;
    if (args + count >= stack::regs.limit) return -1;
    int32_t p = quick_run<false>(cv, at + 1, args);
    if (p < 0 || p + count - 1 > cv.end) return -1;
    // Their specs are the native table's (`cond [any-type!]`, the branches
    // [block!]): a quick value and blocks pass them as they are. An unset
    // condition (a cell of the code itself) is either's error to raise.
    if (unset_q(args)) return -1;
    for (int32_t i = 1; i < count; ++i, ++p) {
        if (type_of(cv.cells + p) != types::block) return -1;
        args[i] = cv.cells[p];
    }
    if (operator_in(cv, p)) return -1;
    return p;
}
}  // namespace

// A conditional whose arguments quick_conditional fetches runs here: the
// branch it takes (none for a false if) is computed in place when it is a
// quick block, and nothing could see the conditional's mark, so none is
// opened; otherwise the conditional's mark opens, its arguments in, and the
// branch's block record finishes the call. Declined: nothing was
// done, and the word's record runs the ordinary fetch.
[[gnu::noinline]] quick_call start_conditional(code_position& c, const code_view& cv, decode::term* d,
                                               const kel_value* name, bool no_infix, signal_code* code) {
    kel_value* const placeholder = stack::top();
    kel_value* const args = placeholder + 1;
    const int32_t p = quick_conditional(cv, c.pos, d, args);
    if (p < 0) return quick_call::declined;
    const uint8_t id = d->control;
    kel_value branch;
    uint8_t taken = 1;  // the branch's bit in d->declines
    if (id == natives::number::either) {
        if (logic::truthy(args)) {
            branch = args[1];
        } else {
            branch = args[2];
            taken = 2;
        }
    } else if (logic::falsy(args) == (id == natives::number::if_)) {
        set_none(placeholder);
        stack::regs.top = args;
        c.pos = p;
        return quick_call::value;
    } else {
        branch = args[1];
    }
    // A branch found not to be one quick expression is not tried again at
    // this site (its block may change, but the record runs any block).
    if (!(d->declines & taken)) {
        if (quick_block(&branch, placeholder) || quick_set_block(&branch, placeholder)) {
            stack::regs.top = args;
            c.pos = p;
            return quick_call::value;
        }
        if (!trace.active) d->declines |= taken;
    }
    // The conditional's mark, its arguments in; the branch's block record
    // finishes the call at its end (finish_conditional).
    *placeholder = d->guard;
    stack::regs.top = args;
    stack::open_frame(name, native_kind(c.library));
    stack::regs.top = args + d->args;
    c.pos = p;
    frame* f = push_block(&branch, fr::cbranch, true);
    if (!f) [[unlikely]] {
        *code = frames_overflow();
        return quick_call::record;
    }
    f->pc = &c;
    f->v = *name;
    f->after = no_infix;
    return quick_call::record;
}

}  // namespace kel::interpreter
