// natives_words: get, set, unset, value?, context?, in, bind, construct,
// extend, type?, same?, not, the comparison natives, new-line, new-line?.
//
// Reading guide: small helpers (word kinds, contexts of values, the values
// `set` spreads over a block of words), word access, binding and objects,
// then comparison and identity, then the new-line marker.
//
// Arguments stay in their cells for the whole call; a native copies what it
// reads into locals first and re-reads block cells by index after anything
// that may run Kel code (an object's change handler can change the blocks).
#include "evaluator/natives_words.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_api_words.h"
#include "evaluator/native_table.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"

namespace kel::natives {

namespace maps {
map_hooks hooks;
}  // namespace maps

namespace {

namespace get_ref {
enum : int { any, case_ };
}
namespace set_ref {
enum : int { any, case_, only, some };
}
namespace type_ref {
enum : int { word };
}
namespace bind_ref {
enum : int { copy };
}
namespace construct_ref {
enum : int { with, only };
}
namespace extend_ref {
enum : int { case_ };
}
namespace new_line_ref {
enum : int { all, skip };
}

// The word kinds a value can be read and set through: word!, set-word!,
// lit-word!, get-word! and refinement! (an issue! is never bound to a value).
inline bool bound_word_q(uint32_t t) { return in_family(t, family::word) || t == types::refinement; }


[[noreturn]] void invalid_arg(const kel_value* v) {
    const kel_value copy = *v;
    fire(error_category::script, "invalid-arg", &copy);
}

// The context node of a value that owns one: an object-like value or a
// function! or routine! (also wrapped in an op!). 0 for anything else. A
// native! or action! (or an op! of one) keeps no context node in its cell.
uint32_t context_of_value(const kel_value* v) {
    const uint32_t t = type_of(v);
    if (object::object_type_q(t) || t == types::function || t == types::routine) return v->w1;
    if (t == types::op) {
        const uint32_t w = native::wrapped_type(v);
        if (w == types::function || w == types::routine) return v->w1;
    }
    return 0;
}

// The value word i (0-based) of a block of words receives from `value`:
// value i of a block-like series (a map! comes as the block of its live
// pairs) when spreading, none! past the tail, else the value itself.
void spread_value(const kel_value* value, bool spread, int32_t i, kel_value* out) {
    if (!spread) {
        *out = *value;
        return;
    }
    const int32_t length = block::ks_length_q(value);
    if (i < length) *out = *block::ks_abs_at(value, series_head(value) + i);
    else set_none(out);
}

// The word cell at 0-based index i from the block's head, or false when the
// block no longer reaches that far.
bool word_at(const kel_value* block, int32_t i, kel_value* out) {
    if (i >= block::ks_length_q(block)) return false;
    *out = *block::ks_abs_at(block, series_head(block) + i);
    return true;
}

// A new block (pushed) of a map's live keys and values in turn, as `set`
// spreads them: a key as a word! (not the set-word! the map keeps), and no
// new-line marks. The map's own block keeps removed entries as holes.
const kel_value* map_pairs(const kel_value* map) {
    const kel_value* pairs = map::push_body(map);
    const int32_t n = block::ks_length_q(pairs);
    for (int32_t i = 0; i < n; ++i) {
        kel_value* c = block::ks_abs_at(pairs, series_head(pairs) + i);
        clear_new_line(c);
        if (i % 2 == 0 && type_of(c) == types::set_word) set_type(c, types::word);
    }
    return pairs;
}

// `set` of a block of words, inside a native mark named <anon>. The first
// pass checks every target and every value before anything is assigned, so
// a fault leaves every word as it was.
signal_code set_block(const kel_value* words_block, const kel_value* value, bool any, bool only, bool some) {
    const uint32_t vt = type_of(value);
    const bool spread = !only && (in_family(vt, family::block_like) || vt == types::map);
    stack::open_native_frame(&words::_anon);
    if (spread && vt == types::map) value = map_pairs(value);
    const int32_t n = block::ks_length_q(words_block);
    for (int32_t i = 0; i < n; ++i) {
        kel_value w;
        if (!word_at(words_block, i, &w)) break;
        if (!in_family(type_of(&w), family::word)) invalid_arg(&w);
        kel_value v;
        spread_value(value, spread, i, &v);
        if (unset_q(&v) && !any) fire(error_category::script, "need-value", &w);
    }
    for (int32_t i = 0; i < n; ++i) {
        kel_value w;
        if (!word_at(words_block, i, &w)) break;
        kel_value v;
        spread_value(value, spread, i, &v);
        if (some && none_q(&v)) continue;
        _context::set_bound(&w, &v);
    }
    stack::close_frame_discard();
    return signal_code::none;
}

inline void answer_logic(bool b) { set_logic(stack::arguments(), b); }

signal_code compare_native(int32_t number, int32_t op, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    actions::compare_arguments(op);
    return signal_code::none;
}

inline bool same_words(const kel_value* a, const kel_value* b, bool w1, bool w2, bool w3) {
    return (!w1 || a->w1 == b->w1) && (!w2 || a->w2 == b->w2) && (!w3 || a->w3 == b->w3);
}

constexpr uint32_t tuple_count_shift = 19;
constexpr uint32_t tuple_count_mask = 0xFu;

}  // namespace

// --- word access --------------------------------------------------------------------------

signal_code get_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::get, refs);
    kel_value* base = stack::arguments();
    const kel_value target = *base;
    const bool any = refs.has(get_ref::any);
    const uint32_t t = type_of(&target);
    kel_value result;
    if (in_family(t, family::path)) {
        // A path step carries no letter-case mode: /case changes nothing here.
        kel_value* const entry = stack::top();
        KEL_PROPAGATE(interpreter::walk_path(&target, nullptr, interpreter::walk::get | interpreter::walk::push));
        result = *(stack::top() - 1);
        stack::regs.top = entry;
    } else if (object::object_type_q(t)) {
        kel_value values;
        set_series(&values, types::block, 0, _context::cell(object::context_of(&target))->w2);
        result = *block::duplicate(&values, false, false);
    } else if (bound_word_q(t)) {
        result = *_context::get_bound(&target);
    } else {
        invalid_arg(&target);
    }
    if (unset_q(&result) && !any) fire(error_category::script, "no-value", &target);
    stack::set_last_only(&result);
    return signal_code::none;
}

signal_code set_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::set, refs);
    kel_value* base = stack::arguments();
    const kel_value target = *base;
    const kel_value value = *(base + 1);
    const bool any = refs.has(set_ref::any);
    const uint32_t t = type_of(&target);
    if (unset_q(&value) && !any) fire(error_category::script, "need-value", &target);
    if (bound_word_q(t)) {
        kel_value w = target;
        _context::set_bound(&w, &value);
    } else if (in_family(t, family::path)) {
        kel_value* const entry = stack::top();
        KEL_PROPAGATE(interpreter::walk_path(&target, nullptr, interpreter::walk::set | interpreter::walk::push, &value));
        stack::regs.top = entry;
    } else if (object::object_type_q(t)) {
        object::set_fields(&target, &value, any, refs.has(set_ref::only), refs.has(set_ref::some));
    } else if (t == types::block) {
        KEL_PROPAGATE(set_block(&target, &value, any, refs.has(set_ref::only), refs.has(set_ref::some)));
    } else {
        invalid_arg(&target);
    }
    stack::set_last_only(&value);
    return signal_code::none;
}

signal_code unset_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::unset, refs);
    const kel_value target = *stack::arguments();
    const uint32_t t = type_of(&target);
    if (in_family(t, family::word)) {
        kel_value w = target;
        _context::set_bound(&w, unset::value);
    } else if (t == types::block) {
        // A change handler run by one assignment may change the block: its
        // cells are read again each time.
        for (int32_t i = 0;; ++i) {
            kel_value w;
            if (!word_at(&target, i, &w)) break;
            if (type_of(&w) == types::word) _context::set_bound(&w, unset::value);
        }
    } else {
        invalid_arg(&target);
    }
    set_unset(stack::arguments());
    return signal_code::none;
}

signal_code value_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::value_q, refs);
    const kel_value v = *stack::arguments();
    bool has = !unset_q(&v);
    if (in_family(type_of(&v), family::word)) {
        const kel_value* cell = word_ops::value_or_null(&v);
        if (!cell) cell = _context::self_owner(&v);  // as `get` answers it
        has = cell && !unset_q(cell);
    }
    answer_logic(has);
    return signal_code::none;
}

signal_code context_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::context_q, refs);
    const kel_value w = *stack::arguments();
    const uint32_t ctx = word_context(&w);
    kel_value result;
    set_none(&result);
    if (ctx != 0) {
        const kel_value own = *_context::owner(ctx);
        const uint32_t t = type_of(&own);
        if (object::object_type_q(t) || t == types::function || t == types::routine) result = own;
    }
    stack::set_last_only(&result);
    return signal_code::none;
}

// --- binding and objects ------------------------------------------------------------------

signal_code in_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::in, refs);
    kel_value* base = stack::arguments();
    const kel_value owner = *base;
    kel_value w = *(base + 1);
    const uint32_t ctx = context_of_value(&owner);
    // A native's context node is not kept in its value (nothing runs in it).
    if (ctx == 0) fire(error_category::internal, "not-done");
    if (!bound_word_q(type_of(&w))) invalid_arg(&w);
    const int32_t index = _context::index_of(ctx, word_symbol(&w), true);
    kel_value result;
    if (index < 0) {
        set_none(&result);
    } else {
        w.w1 = ctx;
        w.w3 = static_cast<uint32_t>(index);
        if (type_of(&w) == types::refinement) set_type(&w, types::word);
        result = w;
    }
    stack::set_last_only(&result);
    return signal_code::none;
}

signal_code bind_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::bind, refs);
    kel_value* base = stack::arguments();
    const kel_value target = *base;
    const kel_value where = *(base + 1);
    uint32_t ctx = 0;
    if (bound_word_q(type_of(&where))) ctx = word_context(&where);
    else if (object::object_type_q(type_of(&where)) || type_of(&where) == types::function) ctx = where.w1;
    else invalid_arg(&where);
    const uint32_t t = type_of(&target);
    if (t == types::block) {
        // A word without a context offers no symbols: nothing is rebound.
        kel_value result = target;
        if (refs.has(bind_ref::copy)) result = *block::duplicate(&target, true, true);
        if (ctx != 0) {
            const bool self = (_context::cell(ctx)->header & _context::flag_self) != 0;
            _context::bind_block(&result, ctx, self);
        }
        stack::set_last_only(&result);
    } else if (bound_word_q(t)) {
        kel_value w = target;
        if (ctx != 0) (void)_context::bind_one(ctx, &w);
        stack::set_last_only(&w);
    } else {
        invalid_arg(&target);
    }
    return signal_code::none;
}

signal_code construct_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::construct, refs);
    kel_value* base = stack::arguments();
    const kel_value spec = *base;
    const kel_value* prototype = refs.has(construct_ref::with) ? base + refs.at[construct_ref::with] : nullptr;
    const kel_value* made = object::construct(&spec, prototype, refs.has(construct_ref::only));
    stack::set_last_only(made);
    return signal_code::none;
}

signal_code extend_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::extend, refs);
    kel_value* base = stack::arguments();
    const uint32_t t = type_of(base);
    if (t == types::map && maps::hooks.extend) {
        // A map! spec gives its live pairs; its own block keeps removed
        // entries as holes.
        if (type_of(base + 1) == types::map) *(base + 1) = *map::push_body(base + 1);
        maps::hooks.extend(base, base + 1, refs.has(extend_ref::case_));
        stack::rewind_to_result();
        return signal_code::none;
    }
    // Extending an object is reserved; a map! waits for its module.
    if (t == types::map || object::object_type_q(t)) fire(error_category::internal, "not-done");
    invalid_arg(base);
}

signal_code type_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::type_q, refs);
    const uint32_t t = type_of(stack::arguments());
    kel_value result;
    if (refs.has(type_ref::word)) {
        result = registry::type_names[t].word;
        if (type_of(&result) != types::word) result = *word::from_c_string(registry::type_names[t].name);
    } else {
        set_datatype(&result, t);
    }
    stack::set_last_only(&result);
    return signal_code::none;
}

// --- comparison and identity ---------------------------------------------------------------

signal_code not_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::not_, refs);
    const kel_value* v = stack::arguments();
    answer_logic(logic::falsy(v));
    return signal_code::none;
}

signal_code equal_q_star(bool check, const refinements& refs) {
    return compare_native(number::equal_q, cmp::equal, check, refs);
}
signal_code not_equal_q_star(bool check, const refinements& refs) {
    return compare_native(number::not_equal_q, cmp::not_equal, check, refs);
}
signal_code strict_equal_q_star(bool check, const refinements& refs) {
    return compare_native(number::strict_equal_q, cmp::strict_equal, check, refs);
}
signal_code lesser_q_star(bool check, const refinements& refs) {
    return compare_native(number::lesser_q, cmp::lesser, check, refs);
}
signal_code greater_q_star(bool check, const refinements& refs) {
    return compare_native(number::greater_q, cmp::greater, check, refs);
}
signal_code lesser_or_equal_q_star(bool check, const refinements& refs) {
    return compare_native(number::lesser_or_equal_q, cmp::lesser_or_equal, check, refs);
}
signal_code greater_or_equal_q_star(bool check, const refinements& refs) {
    return compare_native(number::greater_or_equal_q, cmp::greater_or_equal, check, refs);
}

bool same_q(const kel_value* a, const kel_value* b) {
    const uint32_t t = type_of(a);
    if (t != type_of(b)) return false;
    switch (t) {
        case types::none:
        case types::unset: return true;
        case types::datatype:
        case types::logic:
        case types::object: return a->w1 == b->w1;
        case types::char_:
        case types::integer:
        case types::bitset: return a->w2 == b->w2;
        case types::float_:
        case types::percent:
        case types::pair:
        case types::time: return same_words(a, b, false, true, true);
        case types::tuple:
            return ((a->header >> tuple_count_shift) & tuple_count_mask) ==
                       ((b->header >> tuple_count_shift) & tuple_count_mask) &&
                   same_words(a, b, true, true, true);
        case types::money: return actions::compare_by_op(a, b, cmp::same);
        case types::native:
        case types::action:
        case types::point2d: return same_words(a, b, true, true, false);
        case types::op: return same_words(a, b, false, true, true);
        default: break;
    }
    // The series share their buffer and their position.
    if (in_family(t, family::series)) return a->w1 == b->w1 && a->w2 == b->w2;
    return same_words(a, b, true, true, true);
}

signal_code same_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::same_q, refs);
    answer_logic(same_q(stack::argument(1), stack::argument(2)));
    return signal_code::none;
}

// --- the new-line marker --------------------------------------------------------------------

signal_code new_line_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::new_line, refs);
    kel_value* base = stack::arguments();
    const kel_value position = *base;
    const bool on = get_logic(base + 1);
    const bool all = refs.has(new_line_ref::all);
    const bool skip = refs.has(new_line_ref::skip);
    int32_t step = 1;
    if (skip) {
        const kel_value size = *(base + refs.at[new_line_ref::skip]);
        if (get_integer(&size) < 1) fire(error_category::script, "out-of-range", &size);
        step = get_integer(&size);
    }
    const int32_t head = std::max(series_head(&position), 0);
    const int32_t tail = series_head(&position) + block::ks_length_q(&position);
    if (!all && !skip) {
        if (head < tail) set_new_line(block::ks_abs_at(&position, head), on);
    } else {
        for (int32_t i = head; i < tail; ++i)
            set_new_line(block::ks_abs_at(&position, i), (i - head) % step == 0 ? on : !on);
    }
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code new_line_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::new_line_q, refs);
    const kel_value position = *stack::arguments();
    const int32_t head = std::max(series_head(&position), 0);
    const int32_t tail = series_head(&position) + block::ks_length_q(&position);
    answer_logic(head < tail && new_line_q(block::ks_abs_at(&position, head)));
    return signal_code::none;
}

}  // namespace kel::natives
