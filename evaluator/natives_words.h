// natives_words: the natives that read and write words and objects, bind
// code and compare values: get, set, unset, value?, context?, in, bind,
// construct, extend, type?, same?, not, the seven comparison natives,
// new-line and new-line?.
//
// They follow the native convention of natives_control.h: arguments at the
// arguments base, one refinement slot per refinement, a check flag set when
// the caller has not checked the argument types, the result in the base
// cell. Word access goes through each word's own binding (context node,
// index), so assigning a field of an object runs its change handler exactly
// as a set-word would; binding never searches outside the context asked for.
//
// Identity (`same?`) is decided on the cells alone: values of one datatype
// that share their payload (the same series buffer and position, the same
// context, the same number), never by equality of contents.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::natives {

signal_code get_star(bool check, const refinements& refs);
signal_code set_star(bool check, const refinements& refs);
signal_code unset_star(bool check, const refinements& refs);
signal_code value_q_star(bool check, const refinements& refs);
signal_code context_q_star(bool check, const refinements& refs);
signal_code in_star(bool check, const refinements& refs);
signal_code bind_star(bool check, const refinements& refs);
signal_code construct_star(bool check, const refinements& refs);
signal_code extend_star(bool check, const refinements& refs);
signal_code type_q_star(bool check, const refinements& refs);
signal_code same_q_star(bool check, const refinements& refs);
signal_code not_star(bool check, const refinements& refs);
signal_code equal_q_star(bool check, const refinements& refs);
signal_code not_equal_q_star(bool check, const refinements& refs);
signal_code strict_equal_q_star(bool check, const refinements& refs);
signal_code lesser_q_star(bool check, const refinements& refs);
signal_code greater_q_star(bool check, const refinements& refs);
signal_code lesser_or_equal_q_star(bool check, const refinements& refs);
signal_code greater_or_equal_q_star(bool check, const refinements& refs);
signal_code new_line_star(bool check, const refinements& refs);
signal_code new_line_q_star(bool check, const refinements& refs);

// True when the two values are the same value (the identity of `same?`).
bool same_q(const kel_value* value1, const kel_value* value2);

// What the map! module provides to `extend`: adds the key/value pairs of
// `spec` to the map (`case_` for case-sensitive keys). Null until that module
// exists (extending a map then raises internal `not-done`).
struct map_hooks {
    void (*extend)(kel_value* map, const kel_value* spec, bool case_) = nullptr;
};
namespace maps {
extern map_hooks hooks;
}  // namespace maps

}  // namespace kel::natives
