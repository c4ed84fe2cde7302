// test_objects_support: what the object and error tests share until the
// interpreter and function! values exist: words by name, a function! cell
// built by hand (spec, body, a stack context from the spec), a stand-in
// evaluator for specs of literal values, and a stand-in for the handler
// invocation that records every call with the arguments it found pushed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::test {

// A word of the name (bound in the global context), of the given type.
kel_value word_v(const char* name, uint32_t type = types::word);
inline kel_value set_word_v(const char* name) { return word_v(name, types::set_word); }
inline kel_value lit_word_v(const char* name) { return word_v(name, types::lit_word); }
inline kel_value get_word_v(const char* name) { return word_v(name, types::get_word); }
uint32_t canonical_symbol(const char* name);
bool word_named(const kel_value& v, const char* name);

// A function! cell: spec and body blocks, its context made from the spec.
// Without a body the auxiliary block's body cell holds none.
kel_value function_v(const kel_value& spec, const kel_value* body);

// Evaluates a block of `name: ... value` runs: a lit-word gives its word, a
// word its bound value, anything else itself; each set-word is set through
// its binding with change notification.
signal_code eval_literal(const kel_value* block);

// One recorded handler call.
struct hook_call {
    kel_value function;
    uint32_t object_context;
    uint32_t event_mask;
    std::vector<kel_value> args;  // every cell the frame held
};
extern std::vector<hook_call> hook_calls;
// Records the call; a handler whose body is [fail] raises script `invalid-arg`.
signal_code record_hook(const kel_value* function, uint32_t object_ctx, uint32_t event_mask);

// Installs the stand-ins (and the object module's on-change call) for a test;
// restore_object_hooks puts back what the runtime had installed (the
// interpreter's handler call and spec evaluation, the ownership calls, the
// error's position and trace hooks), so suites that run after these in one
// process find the runtime as it was.
void install_object_stand_ins();
void restore_object_hooks();

// make object! / make error! through the action table: prototype (or the
// datatype) and spec; the answer is kept in the root block.
kel_value make_object(const kel_value& prototype_or_type, const kel_value& spec);
kel_value make_object(const kel_value& spec);
// An object made by `construct` from a spec (no hooks installed, values
// never evaluated), kept in the root block.
kel_value construct_object(const kel_value& spec);
// A field of an object by name (none when absent).
kel_value field(const kel_value& object, const char* name);

// Runs body; the id of the language error it raised ("" when none).
template <class F>
std::string fired_id(F&& body);

}  // namespace kel::test

#include "kernel/native_api.h"

// The body runs under an error trap: the trap receives the error (nothing
// else would: the tests open no try mark) and puts the marks and the
// arguments base back as they were.
template <class F>
std::string kel::test::fired_id(F&& body) {
    const error_trap trap = open_error_trap();
    try {
        body();
    } catch (const kel_unwind& u) {
        const bool error = u.code == code_value(signal_code::error);
        close_error_trap(trap, error);
        if (!error) throw;
        return last_fired().id;
    }
    close_error_trap(trap, false);
    return "";
}
