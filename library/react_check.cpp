// react_check: see react_check.h.
//
// The routine does what the engine's Kel `check` did, step for step: the
// relations are walked from the head `relations` had at the call, four cells
// a record, by position (a reaction may add or remove records meanwhile, and
// the walk goes on at the next record's position as the Kel walk did, except
// that a reaction that removed its own record leaves the walk on the record
// that took its place, so a sibling reaction is not skipped); the
// records of the changed reactor are found through the table's index
// (library/react_index.h), not by a walk of the whole table; the
// engine's `queue`, `eat-events?` and `eval-reaction` are read from the
// engine object at each use, so code that replaces them is seen at once.
// The positions held across a reaction live in argument-stack cells, so the
// blocks they point into stay reachable whatever the reaction does.
#include "library/react_check.h"

#include "library/react_index.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives_words.h"
#include "evaluator/routines.h"
#include "kernel/actions.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/signals.h"
#include "kernel/stack.h"

namespace kel::react_check {

namespace {

using routines::machine_value;

// An engine field: its symbol, and the context and index it was last found
// at. Every change reads several fields, so the index is kept and only
// checked (same context, same word there) instead of looked up by name.
struct engine_field {
    uint32_t symbol = 0;
    uint32_t ctx = 0;
    int32_t index = -1;
};
engine_field f_relations, f_queue, f_eat_events, f_eval_reaction;
uint32_t sym_eval_reaction = 0;  // the name the reaction's call is made under

// An engine field's value; none! when the engine lacks it.
kel_value field_of(uint32_t engine_ctx, engine_field& f) {
    kel_value out;
    if (f.ctx == engine_ctx && f.index >= 0 && f.index < _context::length(engine_ctx) &&
        !_context::stack_q(engine_ctx)) {
        const auto* words =
            reinterpret_cast<const kel_value*>(memory::buffer_of(_context::words_node(engine_ctx))->head_ptr());
        if (symbol::resolve(word_symbol(words + f.index)) == f.symbol) {
            out = _context::values(engine_ctx)[f.index];
            return out;
        }
    }
    const int32_t index = _context::stack_q(engine_ctx) ? -1 : _context::index_of(engine_ctx, f.symbol, true);
    f.ctx = engine_ctx;
    f.index = index;
    const kel_value* v = _context::symbol_value(f.symbol, engine_ctx);
    if (v) out = *v;
    else set_none(&out);
    return out;
}

bool is_block(const kel_value* v) { return type_of(v) == types::block; }

// Cells of a block value's buffer (its whole length, head ignored).
int32_t cells_in(const kel_value* b) { return block::ks_length_q(b) + series_head(b); }

// `pick b n` (1-based from the head): the cell, or none! past either end.
kel_value pick(const kel_value* b, int32_t n) {
    const int32_t i = series_head(b) + n - 1;
    kel_value out;
    if (i < 0 || i >= cells_in(b)) set_none(&out);
    else out = *block::ks_abs_at(b, i);
    return out;
}

// `find/same/skip b value 4`: the position of the first record from the
// head whose first cell is the value itself, or -1.
int32_t find_record(const kel_value* b, const kel_value* value) {
    const int32_t n = cells_in(b);
    int32_t i = series_head(b);
    if (i < 0) return -1;
    for (; i < n; i += 4)
        if (natives::same_q(block::ks_abs_at(b, i), value)) return i;
    return -1;
}

// `skip b d` (clamped to the head and the tail).
void skip(kel_value* b, int32_t d) {
    int64_t i = static_cast<int64_t>(series_head(b)) + d;
    const int32_t n = cells_in(b);
    if (i < 0) i = 0;
    if (i > n) i = n;
    set_series_head(b, static_cast<int32_t>(i));
}

bool tail_q(const kel_value* b) { return series_head(b) >= cells_in(b); }

// `clear b`: nothing when the head is at or past the tail (a reaction may
// have emptied the block under a position held here).
void clear_from(const kel_value* b) {
    if (series_head(b) >= 0 && series_head(b) < cells_in(b)) block::ks_cut_at(b, series_head(b));
}

// `pending?`: a record of this reactor and this very reaction is queued.
bool pending_q(const kel_value* queue, const kel_value* reactor, const kel_value* reaction) {
    if (!is_block(queue)) return false;
    kel_value q = *queue;
    for (;;) {
        const int32_t at = find_record(&q, reactor);
        if (at < 0) return false;
        set_series_head(&q, at);
        const kel_value r = pick(&q, 2);
        if (natives::same_q(&r, reaction)) return true;
        skip(&q, 4);
    }
}

// The record at pos is still this reactor's with this very reaction.
bool record_still_at(const kel_value* pos, const kel_value* reactor, const kel_value* reaction) {
    const kel_value source = pick(pos, 1);
    const kel_value now = pick(pos, 3);
    return natives::same_q(&source, reactor) && natives::same_q(&now, reaction);
}

void append_record(const kel_value* queue, const kel_value* reactor, const kel_value* reaction,
                   const kel_value* target, bool mark) {
    kel_value flag;
    set_logic(&flag, mark);
    block::ks_add(queue, reactor);
    block::ks_add(queue, reaction);
    block::ks_add(queue, target);
    block::ks_add(queue, &flag);
}

// The engine's `eval-reaction` with the record's three values; a signal
// (throw, break, halt) goes on to the change's caller as it did.
void eval_reaction(uint32_t engine_ctx, const kel_value* reactor, const kel_value* reaction,
                   const kel_value* target) {
    const kel_value fn = field_of(engine_ctx, f_eval_reaction);
    // Only a function or a routine can be called from here: anything else a
    // script put in the field is refused like a queue that is no block.
    if (type_of(&fn) != types::function && type_of(&fn) != types::routine)
        fire(error_category::script, "invalid-arg", &fn);
    kel_value name;
    init_cell(&name, types::word);
    name.w2 = sym_eval_reaction;
    const kel_value args[3] = {*reactor, *reaction, *target};
    kel_value result;
    const signal_code code = interpreter::call_function(&fn, &name, args, 3, 0, &result);
    if (code != signal_code::none) stack::throw_code(code);
}

// However the outermost change ends, the queue is left empty: a record left
// behind by an error on its way out would make every later change look like
// one made inside a reaction, queued and never run.
struct queue_reset {
    uint32_t engine_ctx;
    ~queue_reset() {
        try {
            const kel_value now = field_of(engine_ctx, f_queue);
            if (is_block(&now)) clear_from(&now);
        } catch (...) {
        }
    }
};

// Runs the reaction as the outermost change, then drains what it queued,
// newest first; a reaction that queued more restarts the walk at the tail.
void run_outermost(uint32_t engine_ctx, const kel_value* queue, const kel_value* reactor,
                   const kel_value* reaction, const kel_value* target, kel_value* q) {
    const queue_reset reset{engine_ctx};
    append_record(queue, reactor, reaction, target, true);
    eval_reaction(engine_ctx, reactor, reaction, target);
    *q = field_of(engine_ctx, f_queue);
    if (!is_block(q)) fire(error_category::script, "invalid-arg", q);
    set_series_head(q, cells_in(q));
    for (;;) {
        skip(q, -4);
        const kel_value done = pick(q, 4);
        if (logic::truthy(&done)) {
            clear_from(q);
        } else {
            const kel_value r0 = pick(q, 1), r1 = pick(q, 2), r2 = pick(q, 3);
            eval_reaction(engine_ctx, &r0, &r1, &r2);
            kel_value after = *q;
            skip(&after, 4);
            if (tail_q(&after)) {
                clear_from(q);
            } else {
                kel_value t;
                set_logic(&t, true);
                *block::ks_abs_at(q, series_head(q) + 3) = t;
                block::modified(q);
                *q = field_of(engine_ctx, f_queue);
                if (!is_block(q)) fire(error_category::script, "invalid-arg", q);
                set_series_head(q, cells_in(q));
            }
        }
        if (series_head(q) <= 0) break;
    }
}

machine_value check_routine(const machine_value* a, int32_t) {
    const uint32_t engine_ctx = a[0].cell->w1;
    const kel_value reactor = *a[1].cell;
    const bool only = logic::truthy(a[2].cell);
    const kel_value field = *a[3].cell;
    kel_value* saved_top = stack::top();
    // [pos, reaction, target, q]: kept on the argument stack while reactions run.
    kel_value* pos = stack::push_copy(none::value);
    kel_value* reaction = stack::push_copy(none::value);
    kel_value* target = stack::push_copy(none::value);
    kel_value* q = stack::push_copy(none::value);
    *pos = field_of(engine_ctx, f_relations);
    if (is_block(pos)) {
        for (;;) {
            const int32_t at = series_head(pos) < 0 ? -1 : react_index::next_record_of(pos, &reactor, series_head(pos));
            if (at < 0) break;
            set_series_head(pos, at);
            *reaction = pick(pos, 3);
            bool go = true;
            if (only) {
                const kel_value f = pick(pos, 2);
                go = actions::compare_by_op(&field, &f, cmp::equal);
            }
            if (go) {
                const kel_value queue = field_of(engine_ctx, f_queue);
                if (!is_block(&queue)) fire(error_category::script, "invalid-arg", &queue);
                const kel_value eat = field_of(engine_ctx, f_eat_events);
                go = tail_q(&queue) || logic::falsy(&eat) || !pending_q(&queue, &reactor, reaction);
                if (go) {
                    *target = pick(pos, 4);
                    if (tail_q(&queue)) {
                        run_outermost(engine_ctx, &queue, &reactor, reaction, target, q);
                        // A reaction that removed its own record has moved
                        // the next one into its place: that one is still to run.
                        if (!record_still_at(pos, &reactor, reaction)) continue;
                    } else {
                        append_record(&queue, &reactor, reaction, target, false);
                    }
                }
            }
            skip(pos, 4);
        }
    }
    stack::regs.top = saved_top;
    return routines::answer_cell(none::value);
}

}  // namespace

void install() {
    f_relations.symbol = symbol::resolve(symbol::intern("relations"));
    f_queue.symbol = symbol::resolve(symbol::intern("queue"));
    f_eat_events.symbol = symbol::resolve(symbol::intern("eat-events?"));
    sym_eval_reaction = symbol::intern("eval-reaction");
    f_eval_reaction.symbol = symbol::resolve(sym_eval_reaction);
    routines::entry e;
    e.name = "react-check";
    // Only `check` calls it, with the engine and a reactor its own spec
    // checked: no type is checked again here.
    e.spec = R"k("Run the reactions of a reactor's change" engine [any-type!] reactor [any-type!] only [any-type!] field [any-type!])k";
    e.fn = check_routine;
    routines::define(routine_numbers::react_check, e);
}

}  // namespace kel::react_check
