// natives: the native table, the numbered list of the runtime's C++ natives,
// and the making of native! and action! values from table numbers.
//
// The table has 120 slots (1-based numbers; the natives module fills them with
// `define`). An entry is a name, the spec as Kel source text, and the C++
// function. A native is called with its arguments at the arguments base and
// one machine argument per refinement (the `refinements` slots, in spec
// order), after a check flag: 0 when the interpreter has already checked the
// argument types against the spec, 1 when the caller has not (the native then
// checks what it relies on). It leaves its result in the base cell and
// returns a signal code like every evaluating function.
//
// Spec texts are read into spec blocks once, on first use, and kept in the
// root block; the reader is a hook (`read_spec`) that the lexer installs at
// start-up. A native! or action! value made from a
// table number takes the table's spec block; calls of it are type-checked
// against the spec of the table entry (whatever spec the value was made
// with), so a value made with a spec of another shape can never hand the C++
// entry arguments it does not expect.
//
// An entry may name a fast path that the interpreter applies to two integer!
// operands when the native is used as an operator (the comparison natives).
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::natives {

constexpr int32_t table_size = 120;

using native_fn = signal_code (*)(bool check, const refinements& refs);

// The integer fast path of an operator made from the native.
enum class fast_path : uint8_t { none, compare };

struct entry {
    const char* name = nullptr;  // "either"
    const char* spec = nullptr;  // "condition [any-type!] true-blk [block!] false-blk [block!]"
    native_fn fn = nullptr;
    fast_path fast = fast_path::none;
    int32_t fast_code = 0;       // the comparison operator code of a compare fast path
};

// The entry of a table number (an empty entry outside 1..120 or unfilled).
extern entry table[table_size];
extern const entry empty_entry;
inline const entry& at(int32_t number) {
    return number >= 1 && number <= table_size ? table[number - 1] : empty_entry;
}
// Fills slot `number` (1..120) and answers the entry it replaces; the slot's
// spec block is read again at its next use.
entry define(int32_t number, const entry& e);

// Reads Kel source text into a new block! kept in the root block.
using read_fn = void (*)(const char* text, kel_value* out);
extern read_fn read_spec;

// The spec block of a native or action table number (null when the slot has
// no spec text). Actions 7 and 9 (path step, compare) have internal specs of
// the shape their entries read; action 8 has none.
const kel_value* native_spec(int32_t number);
const kel_value* action_spec(int32_t number);

// The native! or action! value of a table number, made with the table's spec
// (pushed nowhere: written into `out`, which the caller keeps reachable).
// Raises script `bad-make-arg` for a number outside the table.
void make_native(int32_t number, kel_value* out);
void make_action(int32_t number, kel_value* out);
// The value of a given spec block and table number (the make action's worker).
void make_value(uint32_t type, const kel_value* spec, int32_t number, kel_value* out);

// Start-up step: the interpreter's own roots and words (interpreter::setup);
// its hooks into the lower modules have their own step before this one.
void build_table();

}  // namespace kel::natives
