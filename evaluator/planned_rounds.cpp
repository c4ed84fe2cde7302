// planned_rounds: loop rounds run from a plan. The rounds of loop, repeat,
// while and foreach whose body (and condition) are quick expressions run
// here once one round has run whole the ordinary way (see frames.cpp).
#include <emmintrin.h>

#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

namespace {

// --- planned rounds ---------------------------------------------------------------
// A loop round made only of quick expressions (a while loop's quick
// condition, a body of quick set-words) runs nothing that could allocate,
// call, bind, move a buffer or change a block. So between two such rounds
// the slots its words resolve to stay where they are, and a plan made of
// them after one round holds for the next as long as only such rounds run
// (and no buffer moved: root.moves). A planned round re-checks everything a
// value could change (an operand's type, the operator a word holds) and
// gives the round back to the ordinary path where anything differs, at the
// first set-word not yet stored.

struct plan_operand {
    // Where the operand is read: a word's value slot, the literal below, or
    // (a right operand) the paren's value in the plan's scratch.
    const kel_value* at = nullptr;
    kel_value literal{};
    uint8_t check = 0;                // a word's value: 0 none (a literal), 1 not special, 2 a get-word's: not unset
};
struct plan_op {
    const kel_value* slot = nullptr;  // the operator word's value slot
    kel_value op{};                   // what it held (a guard)
    inline_op kind = inline_op::none;
    int32_t compare = 0;
    int8_t paren = -1;                // the right operand's planned paren (-1: none; `right` reads its value)
    bool guard = true;                // its slot may change between rounds: re-checked in each
    plan_operand right;
};
constexpr int plan_max_ops = 4, plan_max_exprs = 8, plan_max_sets = 4;
struct plan_expr {
    plan_operand first;
    // A call of a function whose body an attempt may run (see pure), by its
    // word or a path naming refinements, with its arguments' expressions:
    // then `first` holds the word's value slot.
    kel_value fn{};
    pure::call_shape shape;
    int8_t call_arg[pure::max_shaped_args] = {};
    bool call = false;
    uint8_t count = 0;
    uint8_t parens = 0;               // right operands that are parens
    int8_t paren[plan_max_ops] = {};  // their expressions
    plan_op ops[plan_max_ops];
};
// Operands point into the plan (its literals, its scratch), so a plan is
// made and run where it stands and never copied.
struct round_plan {
    round_plan() = default;
    round_plan(const round_plan&) = delete;
    round_plan& operator=(const round_plan&) = delete;
    uint64_t moves = 0;
    uint8_t exprs = 0, sets = 0;
    int8_t condition = -1;                 // while: the condition's expression
    plan_expr expr[plan_max_exprs];
    int8_t set_expr[plan_max_sets] = {};   // each set-word's expression
    kel_value* target[plan_max_sets] = {}; // and its slot
    int32_t set_pos[plan_max_sets] = {};   // and its position in the body
    mutable kel_value scratch[plan_max_exprs];  // the planned parens' values in a round
};

// Plans a word or literal operand read as quick_run reads it (false: not
// plannable).
bool plan_operand_at(plan_operand& o, const kel_value* v, bool first) {
    const uint32_t t = type_of(v);
    if (t == types::word || (first && t == types::get_word)) {
        o.at = fast_slot(v);
        o.check = t == types::get_word ? 2 : 1;
        return o.at != nullptr;
    }
    if (first ? plain_data(t) : (t == types::integer || t == types::float_)) {
        o.literal = *v;
        o.at = &o.literal;
        o.check = 0;
        return true;
    }
    return false;
}

// Plans a call an attempt may run at v: a word naming a function, or a path
// of words naming one and its refinements (false: none).
bool plan_call(plan_expr& x, const kel_value* v) {
    const uint32_t t = type_of(v);
    const kel_value* head = v;
    decode::term d;
    if (t == types::path) {
        memory::buffer_header* ph;
        int32_t count;
        head = call_path_elements(*v, &count, &ph);
        if (!head) return false;
        const kel_value* slot = fast_slot(head);
        if (!slot || type_of(slot) != types::function) return false;
        decode_path_call(&d, *slot, head, count, memory::stamp_of(ph));
        if (d.k != decode::kind::path_call) return false;
    } else if (t == types::word) {
        const kel_value* slot = fast_slot(head);
        if (!slot || type_of(slot) != types::function) return false;
        decode_call(&d, *slot);
        if (d.k != decode::kind::call) return false;
    } else {
        return false;
    }
    if (d.classes != 0) return false;
    const kel_value* slot = fast_slot(head);
    const pure::body* b = pure::body_of(*slot);
    if (!b || !pure::callable(*b) || !pure::shape_of(*b, d, &x.shape)) return false;
    x.call = true;
    x.fn = *slot;
    x.first.at = slot;
    return true;
}

// Plans `operand (operator operand)*` from p as quick_run reads it; answers
// the position after it, or -1 (not plannable).
int32_t plan_run(round_plan& r, const code_view& cv, int32_t p, bool parens, int8_t* index) {
    if (p >= cv.end || r.exprs >= plan_max_exprs) return -1;
    const int8_t e = static_cast<int8_t>(r.exprs++);
    *index = e;
    plan_expr& x = r.expr[e];
    if (plan_call(x, cv.cells + p)) {
        // Its arguments are planned runs of their own; the last takes every
        // operator after it.
        ++p;
        for (int i = 0; i < x.shape.count; ++i) {
            p = plan_run(r, cv, p, false, &x.call_arg[i]);
            if (p < 0) return -1;
        }
        return p;
    }
    if (!plan_operand_at(x.first, cv.cells + p, true)) return -1;
    for (++p; p < cv.end && type_of(cv.cells + p) == types::word; p += 2) {
        const kel_value* slot = fast_slot(cv.cells + p);
        if (!slot) return -1;  // the ordinary path may still find an operator there
        if (type_of(slot) != types::op) break;
        if (x.count >= plan_max_ops || p + 1 >= cv.end) return -1;
        plan_op& o = x.ops[x.count++];
        o.slot = slot;
        o.op = *slot;
        o.kind = inline_kind(o.op, &o.compare);
        if (o.kind == inline_op::none) return -1;
        const kel_value* right = cv.cells + p + 1;
        if (parens && type_of(right) == types::paren) {
            code_view pv;
            if (!whole_view(right, &pv) || plan_run(r, pv, 0, false, &o.paren) != pv.end) return -1;
            o.right.at = &r.scratch[o.paren];
            x.paren[x.parens++] = o.paren;
        } else if (!plan_operand_at(o.right, right, false)) {
            return -1;
        }
    }
    return p;
}

bool run_planned_call(const round_plan& r, const plan_expr& x, kel_value* out, kel_value* also);

// Computes a planned expression into *out, and into *also when given
// (false: the ordinary path must, and nothing was stored; an unset result
// is the ordinary path's too). Nothing in a planned expression has an
// effect, so its parens are computed before the rest, each into the
// scratch its operator reads.
//
// The value is stored from registers, to each place it goes: copied on
// from *out, the 16-byte load could not be forwarded from the narrower
// stores that wrote it, and would wait for them to retire.
template <bool parens>
[[gnu::always_inline]] inline bool run_planned(const round_plan& r, int e, kel_value* out, kel_value* also = nullptr) {
    // Read into locals and computed in one: a store through a value
    // pointer could otherwise be taken to change the plan.
    const plan_expr& x = r.expr[e];
    const int count = x.count;
    if (parens) {
        for (const int8_t *p = x.paren, *end = x.paren + x.parens; p != end; ++p)
            if (!run_planned<false>(r, *p, &r.scratch[*p])) return false;
    }
    if (x.call) [[unlikely]] return run_planned_call(r, x, out, also);
    const kel_value* v = x.first.at;
    const uint8_t check = x.first.check;
    if (check && (check == 2 ? unset_q(v) : (word_special & bit(type_of(v))) != 0)) return false;
    kel_value value = *v;
    for (const plan_op *o = x.ops, *end = x.ops + count; o != end; ++o) {
        if (o->guard && !same_bits(*o->slot, o->op)) return false;
        // apply_inline takes numbers only: a right operand of any other type fails it
        if (!apply_inline(o->kind, o->compare, &value, o->right.at)) return false;
    }
    if (unset_q(&value)) return false;
    *out = value;
    if (also) *also = value;
    return true;
}

// A planned call: its arguments, then the attempt (a call it gives up on is
// the ordinary path's).
[[gnu::noinline]] bool run_planned_call(const round_plan& r, const plan_expr& x, kel_value* out, kel_value* also) {
    kel_value args[pure::max_shaped_args];
    for (int i = 0; i < x.shape.count; ++i)
        if (!run_planned<false>(r, x.call_arg[i], args + i)) return false;
    kel_value value;
    if (!same_bits(*x.first.at, x.fn) || !pure::try_shaped(x.fn, args, x.shape, &value) || unset_q(&value))
        return false;
    *out = value;
    if (also) *also = value;
    return true;
}

// Between planned rounds only the plan's own stores change a value (and
// the loop's word, `varying`, which the loop sets): checks of any other slot
// are made once here, for all rounds. False: a check fails now.
bool hoist_checks(round_plan& r, const kel_value* varying) {
    const auto changes = [&](const kel_value* slot) {
        if (slot == varying) return true;
        for (int k = 0; k < r.sets; ++k)
            if (r.target[k] == slot) return true;
        return false;
    };
    for (int e = 0; e < r.exprs; ++e) {
        plan_expr& x = r.expr[e];
        for (int i = 0; i < x.count; ++i) {
            plan_op& o = x.ops[i];
            if (!same_bits(*o.slot, o.op)) return false;
            o.guard = changes(o.slot);
        }
        if (x.call || !x.first.check || changes(x.first.at)) continue;
        const kel_value* v = x.first.at;
        if (x.first.check == 2 ? unset_q(v) : (word_special & bit(type_of(v))) != 0) return false;
        x.first.check = 0;
    }
    return true;
}

// Plans a body of quick set-words whole (false: not plannable).
bool plan_body(round_plan& r, const kel_value* body, const kel_value* varying = nullptr) {
    code_position c;
    position_at(body, c);
    const code_view cv = view_of(c);
    int32_t p = c.pos;
    if (p >= cv.end) return false;
    while (p < cv.end) {
        const kel_value* set_word = cv.cells + p;
        if (type_of(set_word) != types::set_word || r.sets >= plan_max_sets) return false;
        bool plain = false;
        kel_value* slot = fast_slot(set_word, &plain);
        if (!slot || !plain) return false;
        const int k = r.sets++;
        r.target[k] = slot;
        r.set_pos[k] = p;
        p = plan_run(r, cv, p + 1, true, &r.set_expr[k]);
        if (p < 0) return false;
    }
    r.moves = memory::root.moves;
    return hoist_checks(r, varying);
}

// Runs a planned body: -1 when every set-word was stored (the last value
// the loop's value), else the position of the first one the ordinary path
// must take over from.
[[gnu::always_inline]] inline int32_t run_planned_body(const round_plan& r) {
    const int last = r.sets - 1;
    for (int k = 0; k < last; ++k)
        if (!run_planned<true>(r, r.set_expr[k], r.target[k])) return r.set_pos[k];
    if (!run_planned<true>(r, r.set_expr[last], r.target[last], stack::arguments())) return r.set_pos[last];
    return -1;
}

// The store a loop makes into its own word each round is plain (no change
// handler can run between planned rounds).
inline bool plain_word(const kel_value* word) {
    bool plain = false;
    return type_of(word) == types::word && fast_slot(word, &plain) && plain;
}
}  // namespace

// Planned rounds of loop or repeat, after one ran whole. False when the
// caller returns (the loop ended, a code, a record); true when its next
// round goes the ordinary way.
[[gnu::noinline]] bool planned_loop_rounds(frame* f, const kel_value& body, signal_code* code) {
    kel_value* const args = f->entry + 1;
    const bool repeat = f->t.control == natives::number::repeat;
    round_plan plan;
    // The counter's slot stays where it is between planned rounds, as the
    // set-words' targets do.
    kel_value* const counter = repeat && plain_word(args) ? fast_slot(args) : nullptr;
    if ((repeat && !counter) || !plan_body(plan, &body, counter)) return true;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return false;
        if (f->i >= f->n) {
            f->state = fr::c_loop_end;
            return false;
        }
        if (memory::root.moves != plan.moves) [[unlikely]] return true;
        ++f->i;
        if (counter) {
            // The counter's cell is written in one 16-byte store: the round
            // reads it back whole, and a cell written in narrower stores
            // stalls that load until they retire (a third of the round).
            const __m128i n = _mm_set_epi32(0, f->i, 0, static_cast<int>(types::integer));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(args + 1), n);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(counter), n);
        }
        stack::rewind();
        const int32_t pos = run_planned_body(plan);
        if (pos < 0) [[likely]] continue;
        return unplanned_round(f, plan.set_pos[0], body, pos, code);
    }
}

// Planned rounds of while, after one ran whole (as planned_loop_rounds).
[[gnu::noinline]] bool planned_while_rounds(frame* f, signal_code* code) {
    round_plan plan;
    const kel_value condition = f->entry[1];
    const kel_value body = f->entry[2];
    code_view cv;
    if (!whole_view(&condition, &cv) || plan_run(plan, cv, 0, true, &plan.condition) != cv.end ||
        !plan_body(plan, &body))
        return true;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return false;
        if (memory::root.moves != plan.moves) [[unlikely]] return true;
        stack::rewind();
        kel_value* const result = stack::arguments();
        if (!run_planned<true>(plan, plan.condition, result)) return true;
        if (logic::falsy(result)) {
            f->state = fr::c_loop_end;
            return false;
        }
        stack::rewind();
        const int32_t pos = run_planned_body(plan);
        if (pos < 0) [[likely]] continue;
        return unplanned_round(f, plan.set_pos[0], body, pos, code);
    }
}

// Planned rounds of foreach over a block with one plain word (as
// planned_loop_rounds).
[[gnu::noinline]] bool planned_foreach_rounds(frame* f, signal_code* code) {
    kel_value* const args = f->entry + 1;
    kel_value* const cursor = args + 1;
    const kel_value body = args[2];
    round_plan plan;
    if (type_of(cursor) != types::block || !plain_word(args) || !plan_body(plan, &body, fast_slot(args))) return true;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return false;
        if (memory::root.moves != plan.moves) [[unlikely]] return true;
        stack::rewind();
        if (!foreach_next(args, f->n, code)) {
            if (*code == signal_code::none) f->state = fr::c_loop_end;
            return false;
        }
        const int32_t pos = run_planned_body(plan);
        if (pos < 0) [[likely]] continue;
        return unplanned_round(f, plan.set_pos[0], body, pos, code);
    }
}

}  // namespace kel::interpreter
