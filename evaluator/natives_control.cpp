// natives_control: conditionals, loops, function makers, do, reduce, compose.
//
// Reading guide: truth tests and small stack helpers, the conditionals, the
// loops (with the series steppers they share), the function makers, then the
// evaluation natives.
//
// Arguments stay in their cells on the argument stack for the whole call, so
// every value a native holds across an evaluation is reachable; a native that
// needs scratch cells pushes them above its arguments, below the loop mark it
// opens. Locals copied out of argument cells are read-only copies.
#include "evaluator/natives_control.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/hash.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "datatypes/string_api.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_api_words.h"
#include "evaluator/native_table.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"
#include "datatypes/series.h"
#include "kernel/series_memory.h"

namespace kel::natives {

foreach_steppers steppers;

namespace {

// The text goes through the spec reader (the lexer).
void read_text(const kel_value* text, kel_value* out) {
    kel_value s = *text;
    int32_t count = -1;
    const char* bytes = unicode::to_utf8(&s, &count);
    const std::string copy(bytes, static_cast<size_t>(count));  // the reader allocates
    read_spec(copy.c_str(), out);
}

}  // namespace

load_text_fn load_text = read_text;

namespace {

using interpreter::code_position;

// --- truth and small helpers ------------------------------------------------------

// The truth rule, but an unset! value raises script `no-return`.
inline bool truthy_checked(const kel_value* v) {
    if (const signal_code c = logic::condition_code(v); c != signal_code::none) stack::throw_code(c);
    return logic::truthy(v);
}

// Every element of a block of loop words must be a word; another value
// raises script `invalid-arg` with it.
void check_loop_words(const kel_value* words_block) {
    const kel_value b = *words_block;
    const int32_t n = block::ks_length_q(&b);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value w = *block::ks_abs_at(&b, series_head(&b) + i);
        if (!in_family(type_of(&w), family::word)) fire(error_category::script, "invalid-arg", &w);
    }
}

inline void set_word(const kel_value* word, const kel_value* value) {
    kel_value w = *word;
    _context::set_bound(&w, value);
}

// The block-like series read their cells directly.
inline bool block_like(uint32_t t) { return in_family(t, family::block_like); }
inline int32_t units_of(const kel_value* s) {
    return static_cast<int32_t>(memory::buffer_of(series_node(s))->units());
}

// Runs generic action `action` on the cells pushed by `push` inside a native
// mark named `name`; the action's result into *out.
template <class Push>
signal_code run_action(const kel_value* name, int action, const refinements& refs, Push push, kel_value* out) {
    stack::open_native_frame(name);
    push();
    const action_fn entry = actions::entry(action);
    KEL_PROPAGATE(entry(refs));
    if (out) *out = *stack::arguments();
    stack::close_frame_discard();
    return signal_code::none;
}

// `pick` at a 1-based index from the series' position.
signal_code pick_at(const kel_value* series, int32_t index, kel_value* out) {
    return run_action(&words::_pick, act::pick, refinements::none(), [&] {
        stack::push_copy(series);
        set_integer(stack::alloc_cell(), index);
    }, out);
}

// The cell at an absolute index of a block-like series, or none! past its tail.
kel_value block_cell(const kel_value* series, int32_t index) {
    kel_value v;
    if (index >= 0 && index < units_of(series)) v = *block::ks_abs_at(series, index);
    else set_none(&v);
    return v;
}

// Evaluates the value as a one-value expression; the result into the
// arguments base cell.
signal_code eval_one_value(const kel_value* value) {
    kel_value* holder = block::push_only_star(1);
    block::ks_add(holder, value);
    code_position c = interpreter::position_of(holder);
    return interpreter::step_expression(c, false, false, false);
}

// The outcome of one loop round, read from the code of its evaluation.
enum class round { next, leave, pass };
inline round round_of(signal_code c) {
    if (c == signal_code::none || c == signal_code::continue_) return round::next;
    if (c == signal_code::break_) return round::leave;
    return round::pass;
}

// Opens a loop mark whose result cell starts as unset!.
inline void open_loop() {
    stack::open_loop_frame(&words::_body);
    set_unset(stack::alloc_cell());
}

}  // namespace

// --- conditionals ------------------------------------------------------------------

signal_code if_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::if_, refs);
    if (logic::falsy(stack::argument(1))) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    const kel_value then_blk = *stack::argument(2);
    return interpreter::eval_in_place(&then_blk, true);
}

signal_code unless_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::unless, refs);
    if (!logic::falsy(stack::argument(1))) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    const kel_value then_blk = *stack::argument(2);
    return interpreter::eval_in_place(&then_blk, true);
}

signal_code either_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::either, refs);
    const kel_value branch = truthy_checked(stack::argument(1)) ? *stack::argument(2) : *stack::argument(3);
    return interpreter::eval_in_place(&branch, true);
}

signal_code any_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::any, refs);
    const kel_value conds = *stack::argument(1);
    kel_value* const mark = stack::top();
    code_position c = interpreter::position_of(&conds);
    while (c.pos < interpreter::end_of(c)) {
        KEL_PROPAGATE(interpreter::eval_next(c, true));
        kel_value* v = stack::top() - 1;
        if (!logic::falsy(v)) {
            stack::set_last(v);
            stack::regs.top = mark;
            return signal_code::none;
        }
        stack::regs.top = mark;
    }
    set_none(stack::arguments());
    return signal_code::none;
}

signal_code all_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::all, refs);
    const kel_value conds = *stack::argument(1);
    kel_value* const mark = stack::top();
    code_position c = interpreter::position_of(&conds);
    if (c.pos >= interpreter::end_of(c)) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    while (c.pos < interpreter::end_of(c)) {
        KEL_PROPAGATE(interpreter::eval_next(c, true));
        kel_value* v = stack::top() - 1;
        if (logic::falsy(v)) {
            set_none(stack::arguments());
            stack::regs.top = mark;
            return signal_code::none;
        }
        stack::set_last(v);
        stack::regs.top = mark;
    }
    return signal_code::none;
}

kel_value switch_branch(const kel_value* value_in, const kel_value* cases_in, bool* matched) {
    const kel_value value = *value_in;
    const kel_value cases = *cases_in;
    kel_value branch;
    set_none(&branch);
    *matched = false;
    if (type_of(&value) == types::block) return branch;
    const int32_t head = series_head(&cases);
    for (int32_t i = 0; i < block::ks_length_q(&cases) && !*matched; ++i) {
        const kel_value c = *block::ks_abs_at(&cases, head + i);
        if (type_of(&c) != type_of(&value) || !actions::compare_by_op(&value, &c, cmp::equal)) continue;
        *matched = true;
        for (int32_t k = i + 1; k < block::ks_length_q(&cases); ++k) {
            const kel_value* b = block::ks_abs_at(&cases, head + k);
            if (type_of(b) == types::block) {
                branch = *b;
                break;
            }
        }
    }
    return branch;
}

signal_code switch_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::switch_, refs);
    bool matched = false;
    const kel_value branch = switch_branch(stack::argument(1), stack::argument(2), &matched);
    if (type_of(&branch) == types::block) return interpreter::eval_in_place(&branch, true);
    if (!matched && refs.has(0)) {
        const kel_value fallback = *(stack::arguments() + refs.at[0]);
        return interpreter::eval_in_place(&fallback, true);
    }
    set_none(stack::arguments());
    return signal_code::none;
}

signal_code case_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::case_, refs);
    const bool all = refs.has(0);
    const kel_value cases = *stack::argument(1);
    if (block::ks_length_q(&cases) <= 0) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    stack::open_frame(&words::_anon, stack::kind::native);
    set_unset(stack::alloc_cell());
    code_position c = interpreter::position_of(&cases);
    bool ran = false;
    while (c.pos < interpreter::end_of(c)) {
        if (all) ran = false;
        stack::rewind();
        KEL_PROPAGATE(interpreter::step_expression(c, false, false, false));
        if (c.pos >= interpreter::end_of(c)) fire(error_category::script, "need-value", &words::_case);
        if (!truthy_checked(stack::arguments())) {
            ++c.pos;  // the branch is skipped unevaluated
            continue;
        }
        stack::rewind();
        const kel_value next = *interpreter::cell_at(c, c.pos);
        if (type_of(&next) == types::block) {
            ++c.pos;
            KEL_PROPAGATE(interpreter::eval_in_place(&next, true));
        } else {
            KEL_PROPAGATE(interpreter::step_expression(c, false, false, false));
        }
        if (!all) {
            stack::close_frame_set_last();
            return signal_code::none;
        }
        ran = true;
    }
    stack::close_frame_set_last();
    if (!ran) set_none(stack::arguments());
    return signal_code::none;
}

// --- loops -----------------------------------------------------------------------------

bool series_not_tail_q(const kel_value* series) {
    const uint32_t t = type_of(series);
    if (in_family(t, family::block_like) || in_family(t, family::string_like) || t == types::binary)
        return series_head(series) < units_of(series);
    // A loop rewinds onto its base cell, which holds the last round's result:
    // the action's frame must open above it or its answer becomes the loop's.
    const bool at_base = stack::top() == stack::arguments();
    if (at_base) stack::rewind_to_result();
    kel_value answer;
    const signal_code c = run_action(&words::_tail_q, act::tail_q, refinements::none(),
                                     [&] { stack::push_copy(series); }, &answer);
    if (at_base) stack::rewind();
    if (c != signal_code::none) stack::throw_code(c);
    return logic::falsy(&answer);
}

signal_code foreach_step(const kel_value* word, kel_value* cursor) {
    kel_value v;
    if (block_like(type_of(cursor))) v = block_cell(cursor, series_head(cursor));
    else KEL_PROPAGATE(pick_at(cursor, 1, &v));
    set_word(word, &v);
    set_series_head(cursor, series_head(cursor) + 1);
    return signal_code::none;
}

signal_code foreach_step_words(const kel_value* words_in, kel_value* cursor) {
    const kel_value words_block = *words_in;
    const int32_t n = block::ks_length_q(&words_block);
    const uint32_t t = type_of(cursor);
    if (t == types::map || t == types::image) {
        bool (*next)(const kel_value*, kel_value*, int32_t) =
            t == types::map ? steppers.map_next : steppers.image_next;
        if (!next) fire(error_category::internal, "not-done");
        (void)next(&words_block, cursor, n);
        return signal_code::none;
    }
    const int32_t head = series_head(cursor);
    for (int32_t k = 0; k < n; ++k) {
        kel_value v;
        if (block_like(t)) v = block_cell(cursor, head + k);
        else KEL_PROPAGATE(pick_at(cursor, k + 1, &v));
        const kel_value w = *block::ks_abs_at(&words_block, series_head(&words_block) + k);
        set_word(&w, &v);
    }
    set_series_head(cursor, head + n);
    return signal_code::none;
}

void forall_step(const kel_value* word, const kel_value* initial) {
    kel_value* now = _context::get_bound(word);
    if (!in_family(type_of(now), family::series) || series_node(now) != series_node(initial)) {
        const kel_value changed = *now;
        fire(error_category::script, "bad-loop-series", &changed);
    }
    set_series_head(now, series_head(now) + 1);
}

void forall_restore(const kel_value* word, const kel_value* initial) { set_word(word, initial); }

signal_code remove_each_drop(kel_value* cursor, int32_t step) {
    // The values just visited go; the cursor steps back onto the ones that
    // move down into their place.
    set_series_head(cursor, series_head(cursor) - step);
    refinements part = refinements::none();
    if (step > 1) part.at[action_specs::remove_ref::part] = 1;
    return run_action(&words::_remove, act::remove, part, [&] {
        stack::push_copy(cursor);
        if (step > 1) set_integer(stack::alloc_cell(), step);
    }, nullptr);
}

signal_code while_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::while_, refs);
    const kel_value cond = *stack::argument(1);
    const kel_value body = *stack::argument(2);
    open_loop();
    for (;;) {
        stack::rewind();
        const signal_code c = interpreter::eval_in_place(&cond, true);
        if (c == signal_code::break_ || c == signal_code::continue_) fire(error_category::throw_, "while-cond");
        KEL_PROPAGATE(c);
        if (!truthy_checked(stack::arguments())) break;
        stack::rewind();
        const signal_code b = interpreter::eval_in_place(&body, true);
        const round r = round_of(b);
        if (r == round::leave) break;
        if (r == round::pass) return b;
    }
    stack::close_frame_set_last();
    set_unset(stack::arguments());
    return signal_code::none;
}

signal_code until_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::until, refs);
    const kel_value body = *stack::argument(1);
    open_loop();
    for (;;) {
        stack::rewind();
        const signal_code c = interpreter::eval_in_place(&body, true);
        if (c == signal_code::continue_) continue;  // again, without a test
        const round r = round_of(c);
        if (r == round::leave) break;
        if (r == round::pass) return c;
        if (truthy_checked(stack::arguments())) break;
    }
    stack::close_frame_set_last();
    return signal_code::none;
}

signal_code loop_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::loop, refs);
    integer_count(stack::argument(1));
    const int32_t count = get_integer(stack::argument(1));
    if (count < 1) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    const kel_value body = *stack::argument(2);
    open_loop();
    for (int32_t i = 0; i < count; ++i) {
        stack::rewind();
        const signal_code c = interpreter::eval_in_place(&body, true);
        const round r = round_of(c);
        if (r == round::leave) break;
        if (r == round::pass) return c;
    }
    stack::close_frame_set_last();
    return signal_code::none;
}

signal_code repeat_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::repeat, refs);
    const kel_value word = *stack::argument(1);
    kel_value* counter = stack::argument(2);
    integer_count(counter);
    const int32_t count = get_integer(counter);
    if (count < 1) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    const kel_value body = *stack::argument(3);
    open_loop();
    // The counter is the loop's own: the body may set the word, which changes
    // neither the number of rounds nor the value of the next round, and the
    // word keeps the last counter value when the loop ends.
    for (int64_t i = 1; i <= count; ++i) {
        set_integer(counter, static_cast<int32_t>(i));
        set_word(&word, counter);
        stack::rewind();
        const signal_code c = interpreter::eval_in_place(&body, true);
        const round r = round_of(c);
        if (r == round::leave) break;
        if (r == round::pass) return c;
    }
    repeat_done(&word, counter);
    stack::close_frame_set_last();
    return signal_code::none;
}

void repeat_done(const kel_value* word, const kel_value* counter) {
    const kel_value* held = _context::bound_slot(word);
    if (held && type_of(held) == types::integer && get_integer(held) == get_integer(counter)) return;
    set_word(word, counter);
}

signal_code forever_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::forever, refs);
    const kel_value body = *stack::argument(1);
    open_loop();
    for (;;) {
        stack::rewind();
        const signal_code c = interpreter::eval_in_place(&body, false);
        const round r = round_of(c);
        if (r == round::leave) break;
        if (r == round::pass) return c;
    }
    stack::close_frame_set_last();
    return signal_code::none;
}

signal_code foreach_setup(const kel_value* words, const kel_value* cursor, int32_t* count) {
    const uint32_t t = type_of(cursor);
    const bool many = type_of(words) == types::block;
    *count = 1;
    if (many) {
        *count = block::ks_length_q(words);
        if (*count <= 0) return fail(error_category::script, "invalid-arg", words);
        check_loop_words(words);
        if (t == types::map && *count != 2) return fail(error_category::script, "invalid-arg", words);
    } else if (t == types::map) {
        return fail(error_category::script, "invalid-arg", words);
    }
    const bool own_stepper = t == types::map || (many && t == types::image);
    if (own_stepper && !(t == types::map ? steppers.map_next : steppers.image_next))
        return fail(error_category::internal, "not-done");
    return signal_code::none;
}

bool foreach_round(const kel_value* words, kel_value* cursor, int32_t count, signal_code* code) {
    const uint32_t t = type_of(cursor);
    const bool many = type_of(words) == types::block;
    if (t == types::map) return steppers.map_next(words, cursor, count);
    if (many && t == types::image) return steppers.image_next(words, cursor, count);
    if (!series_not_tail_q(cursor)) return false;
    *code = many ? foreach_step_words(words, cursor) : foreach_step(words, cursor);
    return *code == signal_code::none;
}

signal_code foreach_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::foreach, refs);
    const kel_value words_arg = *stack::argument(1);
    kel_value* cursor = stack::argument(2);  // a copy of the caller's series: it moves, the caller's does not
    const kel_value body = *stack::argument(3);
    int32_t count = 1;
    KEL_PROPAGATE(foreach_setup(&words_arg, cursor, &count));
    open_loop();
    for (;;) {
        stack::rewind();
        signal_code step = signal_code::none;
        if (!foreach_round(&words_arg, cursor, count, &step)) {
            KEL_PROPAGATE(step);
            break;
        }
        const signal_code c = interpreter::eval_in_place(&body, true);
        const round r = round_of(c);
        if (r == round::leave) break;
        if (r == round::pass) return c;
    }
    stack::close_frame_set_last();
    return signal_code::none;
}

signal_code forall_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::forall, refs);
    const kel_value word = *stack::argument(1);
    const kel_value body = *stack::argument(2);
    kel_value* initial = stack::push_copy(word_ops::get(&word));
    {
        kel_value series_types;
        init_cell(&series_types, types::typeset);
        for (uint32_t s : {types::path, types::lit_path, types::set_path, types::get_path, types::block, types::paren,
                           types::hash, types::string, types::file, types::url, types::tag, types::email, types::ref,
                           types::binary, types::vector, types::image})
            typeset_add(&series_types, s);
        (void)typecheck::check_arg(&series_types, 1, initial);
    }
    open_loop();
    for (;;) {
        if (!series_not_tail_q(_context::get_bound(&word))) break;
        stack::rewind();
        const signal_code c = interpreter::eval_in_place(&body, true);
        const round r = round_of(c);
        if (r == round::leave) {
            stack::close_frame_set_last();  // the word stays where the break found it
            return signal_code::none;
        }
        if (r == round::pass) return c;
        forall_step(&word, initial);
    }
    forall_restore(&word, initial);
    stack::close_frame_set_last();
    return signal_code::none;
}

namespace {

// The walk marks where each record to go starts and the removal happens once
// the walk ends, however it ends, so every kept value moves once. A break
// keeps the marks of the rounds before it; an error keeps them too.
signal_code remove_each_marked(const kel_value& words_arg, const kel_value& body, bool many, int32_t step,
                               kel_value* cursor) {
    const kel_value data = *cursor;
    std::vector<int32_t> marks;
    signal_code passed = signal_code::none;
    open_loop();
    try {
        for (;;) {
            stack::rewind();
            if (!series_not_tail_q(cursor)) break;
            const int32_t at = series_head(cursor);
            signal_code c = many ? foreach_step_words(&words_arg, cursor) : foreach_step(&words_arg, cursor);
            if (c == signal_code::none) c = interpreter::eval_in_place(&body, true);
            const round r = round_of(c);
            if (r == round::leave) break;
            if (r == round::pass) {
                passed = c;
                break;
            }
            if (!logic::falsy(stack::arguments())) marks.push_back(at);
        }
    } catch (const kel_unwind&) {
        series::remove_at_marks(&data, marks.data(), marks.size(), step, true);
        throw;
    }
    if (passed != signal_code::none) {
        // The signal has unwound this loop's frame already and carries its
        // value on: nothing may run on the way out.
        series::remove_at_marks(&data, marks.data(), marks.size(), step, true);
        return passed;
    }
    stack::close_frame_discard();
    series::remove_at_marks(&data, marks.data(), marks.size(), step, false);
    return signal_code::none;
}

}  // namespace

signal_code remove_each_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::remove_each, refs);
    const kel_value words_arg = *stack::argument(1);
    const kel_value body = *stack::argument(3);
    const bool many = type_of(&words_arg) == types::block;
    const int32_t step = many ? block::ks_length_q(&words_arg) : 1;
    if (many) check_loop_words(&words_arg);
    if (step > 0) {
        kel_value* cursor = stack::push_copy(stack::argument(2));
        if (type_of(cursor) == types::image || (memory::buffer_of(series_node(cursor))->flags & memory::flag_owned)) {
            // An image keeps its rows by removing in place, and an owner
            // hears each removal where the walk makes it.
            open_loop();
            for (;;) {
                stack::rewind();
                if (!series_not_tail_q(cursor)) break;
                if (many) KEL_PROPAGATE(foreach_step_words(&words_arg, cursor));
                else KEL_PROPAGATE(foreach_step(&words_arg, cursor));
                const signal_code c = interpreter::eval_in_place(&body, true);
                const round r = round_of(c);
                if (r == round::leave) break;
                if (r == round::pass) return c;
                if (!logic::falsy(stack::arguments())) KEL_PROPAGATE(remove_each_drop(cursor, step));
            }
            stack::close_frame_discard();
        } else {
            KEL_PROPAGATE(remove_each_marked(words_arg, body, many, step, cursor));
        }
    }
    stack::set_last(stack::argument(2));
    return signal_code::none;
}

// --- function makers -----------------------------------------------------------------

namespace {

// Makes the function! of a spec and a body and leaves it in the base cell.
// The maker's own mark tells who called it: library code opens marks
// without the interpreted flag.
void make_function(kel_value* spec, const kel_value* body) {
    const uint32_t flags = function::check_spec(spec);
    const stack::call_mark* m = stack::innermost_frame();
    const bool from_library = m && !(m->flags & stack::flag_interpreted);
    (void)function::push(spec, body, 0, 0, 0, flags, function::library_body_q(body, from_library));
    stack::set_last(stack::last_cell());
}

}  // namespace

signal_code func_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::func, refs);
    make_function(stack::argument(1), stack::argument(2));
    return signal_code::none;
}

signal_code function_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::function, refs);
    kel_value* spec = block::duplicate(stack::argument(1), false, false);
    (void)function::collect_locals(spec, stack::argument(2));
    make_function(spec, stack::argument(2));
    return signal_code::none;
}

signal_code does_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::does, refs);
    kel_value* spec = block::push_only_star(0);
    make_function(spec, stack::argument(1));
    return signal_code::none;
}

signal_code has_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::has, refs);
    kel_value* spec = block::duplicate(stack::argument(1), false, false);
    const kel_value local = words::ref_local;
    block::ks_insert_cell(spec, &local, false, false);
    make_function(spec, stack::argument(2));
    return signal_code::none;
}

// --- evaluation natives ------------------------------------------------------------------

namespace {

namespace do_ref {
enum : int { expand, args, next, trace };
}

// The preprocessor (a library object) rewrites the block in place with its
// `expand`, job none and no /clean, in a frame named <anon>.
signal_code expand_block(const kel_value* blk) {
    // both words first: making a word may grow the global context
    const uint32_t name = word_symbol(word::from_c_string("preprocessor"));
    const kel_value field = *word::from_c_string("expand");
    const kel_value* pre = _context::symbol_value(name, _context::global());
    if (!pre || type_of(pre) != types::object) fire(error_category::internal, "not-done");
    const kel_value fn = *object::value_of_word(pre, &field);
    if (type_of(&fn) != types::function) fire(error_category::internal, "not-done");
    kel_value args[2];
    args[0] = *blk;
    set_none(&args[1]);
    kel_value* answer = stack::push_unset();
    KEL_PROPAGATE(interpreter::call_function(&fn, nullptr, args, 2, 0, answer));
    stack::drop_cells(1);
    return signal_code::none;
}

// do of a block-like value (after loading, for a string).
signal_code do_block(const kel_value* block_in, const refinements& refs) {
    const kel_value blk = *block_in;
    if (refs.has(do_ref::expand)) KEL_PROPAGATE(expand_block(&blk));
    if (!refs.has(do_ref::next)) return interpreter::eval_in_place(&blk, true);
    int32_t head = 0;
    KEL_PROPAGATE(interpreter::eval_next_at(&blk, &head));
    kel_value* result = stack::top() - 1;
    kel_value* after = stack::push_copy(&blk);
    set_series_head(after, head);
    set_word(stack::arguments() + refs.at[do_ref::next], after);
    stack::set_last(result);
    return signal_code::none;
}

// A script file or url runs through the library's `do-file` (looked up at
// each call, so a script may replace it), with no callback and the /args
// value or none; its answer is the native's result.
signal_code do_script(const kel_value* script, const refinements& refs) {
    const kel_value name = *word::from_c_string("do-file");
    const kel_value* slot = _context::symbol_value(word_symbol(&name), _context::global());
    if (!slot || type_of(slot) != types::function) fire(error_category::internal, "not-done");
    const kel_value fn = *slot;
    kel_value args[3];
    args[0] = *script;
    set_none(&args[1]);
    if (refs.has(do_ref::args)) args[2] = *(stack::arguments() + refs.at[do_ref::args]);
    else set_none(&args[2]);
    kel_value* answer = stack::push_unset();
    KEL_PROPAGATE(interpreter::call_function(&fn, &name, args, 3, 0, answer));
    stack::set_last(answer);
    return signal_code::none;
}

signal_code do_value(const kel_value* value_in, const refinements& refs) {
    const kel_value value = *value_in;
    switch (type_of(&value)) {
        case types::block:
        case types::paren:
        case types::hash: return do_block(&value, refs);
        case types::path: return interpreter::walk_path(&value, nullptr, 0);
        case types::string: {
            kel_value* loaded = stack::push_unset();
            load_text(&value, loaded);
            return do_block(loaded, refs);
        }
        case types::file:
        case types::url: return do_script(&value, refs);
        default: return eval_one_value(&value);
    }
}

// Turns tracing off again however the traced evaluation ends.
struct trace_scope {
    bool installed;
    ~trace_scope() {
        if (installed) interpreter::stop_tracing();
    }
};

// Runs Kel code (through `work`) once an error or a code has already
// unwound the marks to its receiver (an error's receiver popped): an error
// the code raised now would look for a receiver again and unwind past the
// one the first signal found, so it is received here and dropped; the first
// signal goes on. So are break and continue, which stop at a loop mark
// opened here: a loop between the native and the first receiver has lost
// its mark already and would take them for its own. Throw, return and exit
// have unwound to their own receivers (which check their marks) and travel
// on instead.
template <class Work>
void run_after_signal(Work&& work) {
    kel_value* const top = stack::top();
    kel_value* const base = stack::arguments();
    const error_trap trap = open_error_trap();
    try {
        (void)stack::alloc_cell();  // the value the signal carries stays below
        stack::open_loop_frame(&words::_body);
        set_unset(stack::alloc_cell());
        work();
    } catch (const kel_unwind& u) {
        if (u.code == code_value(signal_code::break_) || u.code == code_value(signal_code::continue_)) {
            close_error_trap(trap, false);
            stack::regs.top = top;
            stack::regs.arguments = base;
            return;
        }
        if (u.code != code_value(signal_code::error)) {
            stack::close_trap(stack::trap_record{trap.outer_depth, trap.outer_arguments});
            throw;
        }
        close_error_trap(trap, true);
        stack::regs.top = top;
        stack::regs.arguments = base;
        return;
    }
    close_error_trap(trap, false);
    stack::regs.top = top;
}

// The trace's end event after a signal (see run_after_signal).
void end_after_signal() {
    run_after_signal([] { interpreter::trace_end(); });
}

// `do/trace` with a tracer of its own: the end event fires however the
// evaluation ends (the callback runs above the marks the signal left), then
// tracing is off for good.
signal_code do_traced(const kel_value& value, const refinements& refs) {
    trace_scope scope{false};
    interpreter::start_tracing(stack::arguments() + refs.at[do_ref::trace]);
    scope.installed = true;
    interpreter::trace_init();
    if (type_of(&value) == types::error) {
        interpreter::trace_end();
        stack::raise_error(&value);
    }
    signal_code c;
    try {
        c = do_value(&value, refs);
    } catch (const kel_unwind&) {
        scope.installed = false;
        struct off {
            ~off() { interpreter::stop_tracing(); }
        } stop;
        end_after_signal();
        throw;
    }
    // A returned code has unwound the marks to its receiver too.
    if (c != signal_code::none) end_after_signal();
    else interpreter::trace_end();
    return c;
}

}  // namespace

signal_code do_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::do_, refs);
    const kel_value value = *stack::arguments();
    if (refs.has(do_ref::trace) && !interpreter::trace.active) return do_traced(value, refs);
    // Nothing to end on the way out: a signal crosses `do` without a
    // handler or a clean-up here, so an error is not caught and rethrown.
    if (type_of(&value) == types::error) return stack::return_error(&value);
    return do_value(&value, refs);
}

namespace {

// Adds a value to the target: appended (`insert` false) or inserted at the
// target's position, which moves past it. A hash! target indexes the new cell
// at once: a paren composed later may search the same hash.
inline void put_value(kel_value* target, const kel_value* v, bool insert) {
    if (!hash::table_of(target)) [[likely]] {
        if (insert) block::ks_insert_cell(target, v, true, false);
        else block::ks_add(target, v);
        return;
    }
    const int32_t before = units_of(target);
    const int32_t at = insert ? std::clamp(series_head(target), 0, before) : before;
    if (insert) block::ks_insert_cell(target, v, true, false);
    else block::ks_add(target, v);
    hash::after_replace(target, at, 0, 1, before);
}

// Adds a run of values that no evaluation separates: inserted with one move
// of the target's cells behind the position, not one move per value, so
// putting a long run into the middle of a long target stays linear.
void put_values(kel_value* target, const std::vector<kel_value>& values, bool insert) {
    if (!insert) {
        for (const kel_value& v : values) put_value(target, &v, false);
        return;
    }
    const int32_t count = static_cast<int32_t>(values.size());
    const int32_t before = units_of(target);
    const int32_t at = std::clamp(series_head(target), 0, before);
    block::ks_insert_cells(target, values.data(), count);
    hash::after_replace(target, at, 0, count, before);
}

// The target of reduce/into and compose/into: a cursor pushed as a copy of
// `out` (appending when `out` is at its tail), or a new block of `size` cells.
struct target {
    kel_value* cell;
    bool insert;
    int32_t start;  // out's length (appending) or position (inserting) before
};

// Values read from a block that is also the target would move under the
// reader as the target grows, and be read again or skipped: such a source is
// read from a copy of its cells as they are at the start.
const kel_value* unshared_source(const kel_value* source, const target& t) {
    if (series_node(source) != series_node(t.cell)) return source;
    return block::duplicate(source, false, false);
}

target open_target(const kel_value* out, int32_t size) {
    if (!out) return target{block::push_only_star(size), false, 0};
    kel_value* cursor = stack::push_copy(out);
    const int32_t units = units_of(cursor);
    const bool insert = series_head(cursor) < units;
    return target{cursor, insert, insert ? series_head(cursor) : units};
}

void close_target(const target& t, const kel_value* out) {
    if (!out) {
        stack::set_last(t.cell);
        return;
    }
    const int32_t added = t.insert ? series_head(t.cell) - t.start : units_of(t.cell) - t.start;
    ownership::check(out, "insert", nullptr, t.start, added);
    stack::set_last(out);
}

// Runs the filling of the target. When a signal (an error, a break ...)
// stops it part-way, the values already in an owned `out` stay there, and
// its owner hears of them as it would have at the end: the cells counted
// are the growth of `out` since the start, read from a copy of the cell
// (the argument stack above the signal's receiver is no longer ours).
template <class Fill>
signal_code fill_target(const kel_value* out, const target& t, Fill&& fill) {
    if (!out || !(memory::buffer_of(series_node(out))->flags & memory::flag_owned)) return fill();
    const kel_value held = *out;
    const int32_t before = units_of(out);
    const int32_t start = t.start;
    const auto tell_owner = [&] {
        const int32_t added = units_of(&held) - before;
        if (added > 0) run_after_signal([&] { ownership::check(&held, "insert", nullptr, start, added); });
    };
    signal_code c;
    try {
        c = fill();
    } catch (const kel_unwind&) {
        tell_owner();
        throw;
    }
    if (c != signal_code::none) tell_owner();
    return c;
}

}  // namespace

signal_code reduce_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::reduce, refs);
    const kel_value value = *stack::arguments();
    const kel_value* out = refs.has(0) ? stack::arguments() + refs.at[0] : nullptr;
    if (type_of(&value) != types::block) {
        kel_value* result = stack::push_copy(&value);
        if (!in_family(type_of(&value), family::function)) {
            KEL_PROPAGATE(eval_one_value(&value));
            *result = *stack::arguments();
        }
        if (!out) {
            stack::set_last(result);
            return signal_code::none;
        }
        const target t = open_target(out, 1);
        put_value(t.cell, result, t.insert);
        close_target(t, out);
        return signal_code::none;
    }
    const target t = open_target(out, block::ks_length_q(&value));
    const kel_value source = *unshared_source(&value, t);
    kel_value* const mark = stack::top();
    code_position c = interpreter::position_of(&source);
    // Data that evaluates to itself with no operator word after it is its own
    // result: copied without a step of the evaluator (unless a tracer wants
    // to see each step). Cells are read afresh each round: an evaluation may
    // change the block.
    const bool quick = !interpreter::trace.active;
    std::vector<kel_value> run;
    const auto fill = [&]() -> signal_code {
        while (c.pos < interpreter::end_of(c)) {
            if (quick) {
                const int32_t end = interpreter::end_of(c);
                const kel_value* cells = interpreter::cell_at(c, 0);
                run.clear();
                while (c.pos < end && interpreter::plain_data(type_of(cells + c.pos)) &&
                       (c.pos + 1 >= end || type_of(cells + c.pos + 1) != types::word)) {
                    kel_value v = cells[c.pos];
                    clear_new_line(&v);
                    run.push_back(v);
                    ++c.pos;
                }
                if (!run.empty()) {
                    put_values(t.cell, run, t.insert);
                    continue;
                }
            }
            KEL_PROPAGATE(interpreter::eval_next(c, true));
            kel_value* r = stack::top() - 1;
            clear_new_line(r);
            put_value(t.cell, r, t.insert);
            stack::regs.top = mark;
        }
        return signal_code::none;
    };
    KEL_PROPAGATE(fill_target(out, t, fill));
    close_target(t, out);
    return signal_code::none;
}

namespace {

// Composes the cells of `source` into the target.
signal_code compose_into(const kel_value* source, bool deep, bool only, const target& t) {
    const kel_value src = *source;
    kel_value* const mark = stack::top();
    const int32_t head = series_head(&src);
    // The length is taken once: the target may be the source itself, and a
    // paren may append to it, so a length read at each step would never end.
    const int32_t length = block::ks_length_q(&src);
    const auto evaluated = [deep](uint32_t t) { return t == types::paren || (t == types::block && deep); };
    std::vector<kel_value> run;
    for (int32_t i = 0; i < length && i < block::ks_length_q(&src); ++i) {
        const kel_value c = *block::ks_abs_at(&src, head + i);
        const uint32_t ct = type_of(&c);
        if (!evaluated(ct)) {
            // copied as they are: a run of them goes in at once
            run.push_back(c);
            const int32_t next = i + 1;
            if (next < length && next < block::ks_length_q(&src) &&
                !evaluated(type_of(block::ks_abs_at(&src, head + next))))
                continue;
            put_values(t.cell, run, t.insert);
            run.clear();
        } else if (ct == types::block) {
            const target inner{block::push_only_star(block::ks_length_q(&c)), false, 0};
            KEL_PROPAGATE(compose_into(&c, deep, only, inner));
            // the composed block stands where the source block stood, line break included
            set_new_line(inner.cell, new_line_q(&c));
            put_value(t.cell, inner.cell, t.insert);
        } else if (ct == types::paren) {
            if (block::ks_length_q(&c) <= 0) continue;
            KEL_PROPAGATE(interpreter::eval_in_place(&c, false));
            kel_value* r = stack::top() - 1;
            const uint32_t rt = type_of(r);
            if (rt == types::block && !only) {
                const kel_value spliced = *r;
                const int32_t count = std::max(block::ks_length_q(&spliced), 0);
                const kel_value* first = block::ks_abs_at(&spliced, series_head(&spliced));
                // copied out first: the target may be the spliced block itself
                put_values(t.cell, std::vector<kel_value>(first, first + count), t.insert);
            } else if (rt != types::unset) {
                put_value(t.cell, r, t.insert);
            }
        }
        stack::regs.top = mark;
    }
    return signal_code::none;
}

}  // namespace

signal_code compose_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::compose, refs);
    const kel_value value = *stack::arguments();
    if (type_of(&value) != types::block) {
        kel_value expected, actual;
        set_datatype(&expected, types::block);
        set_datatype(&actual, type_of(&value));
        fire(error_category::script, "expect-val", &expected, &actual);
    }
    const kel_value* out = refs.has(2) ? stack::arguments() + refs.at[2] : nullptr;
    const target t = open_target(out, block::ks_length_q(&value));
    const kel_value* source = unshared_source(&value, t);
    KEL_PROPAGATE(fill_target(out, t, [&] { return compose_into(source, refs.has(0), refs.has(1), t); }));
    close_target(t, out);
    return signal_code::none;
}

}  // namespace kel::natives
