// logic: the three smallest datatypes, unset! (id 2, what a fresh cell
// holds), none! (id 3, the explicit absence of a value) and logic! (id 4),
// with the truth tests the conditionals use and the shared constant cells.
//
// Truth rule everywhere: only none! and logic! false are false; every other
// value (0, empty series and unset! included) is true. unset! raises an error
// only in the tests that say so. The constant cells are static and never
// change; conversions copy them into their result.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::unset {
extern const kel_value* const value;  // the shared unset! cell
kel_value* box();
kel_value* push();
kel_value* make_at_tail(const kel_value* block);
registry::registration row();
}  // namespace kel::unset

namespace kel::none {
extern const kel_value* const value;  // the shared none! cell
kel_value* box();
kel_value* push();
kel_value* make_at_tail(const kel_value* block);
registry::registration row();
}  // namespace kel::none

namespace kel::logic {

// The one truth rule (see above); inline because the interpreter's step and
// every conditional ask it.
inline bool falsy(const kel_value* v) {
    const uint32_t t = type_of(v);
    return t == types::none || (t == types::logic && !get_logic(v));
}
inline bool truthy(const kel_value* v) { return !falsy(v); }

// The condition of either, while, until and case must hold a value: an
// unset! one is script `no-return`. Answers that error's code, none when the
// condition holds a value (callers that cannot hand a code on throw it).
[[gnu::cold]] signal_code no_return();
inline signal_code condition_code(const kel_value* v) {
    if (type_of(v) == types::unset) [[unlikely]] return no_return();
    return signal_code::none;
}

extern const kel_value* const true_value;
extern const kel_value* const false_value;

inline uint32_t get(const kel_value* v) { return v->w1; }
kel_value* box(bool b);
kel_value* push(bool b);
kel_value* make_at_tail(const kel_value* block, bool b);

// True unless none! or logic! false. With `check`, an unset! value raises
// script `no-value` with `word`.
bool truthy_q(const kel_value* v, bool check, const kel_value* word);
// Truth of the result slot; unset! raises script `no-return` (the condition
// test of either, while, until, case).
bool last_truthy_q();
// The result slot is none! or logic! false (if, unless, all, not); no unset! check.
bool last_falsy_q();
// The last pushed cell (the top itself when nothing is above the base) is
// none! or logic! false; and its negation.
bool top_falsy_q();
bool top_truthy_q();

registry::registration row();

}  // namespace kel::logic
