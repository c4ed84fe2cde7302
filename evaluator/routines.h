// routines: the routine table, the numbered list of C++ functions that
// routine! values call (the platform, codec, console and library routines
// are bound to their words from it).
//
// A routine is called in one of two conventions:
//  - machine values (the usual one): each argument converted by the type
//    block after its word in the spec (logic! 0 or 1, integer! its 32-bit
//    value, float! its 64-bit value, any-type! the address of its cell), and
//    the answer boxed by the declared return type;
//  - cells (flag `cells`): the addresses of the argument cells, and the
//    address of a cell holding the answer.
// Both are given as an array (in argument order) and a count.
#pragma once
#include <cstdint>

#include "evaluator/routine_numbers.h"
#include "kernel/value.h"

namespace kel::routines {

union machine_value {
    int32_t i;
    double f;
    kel_value* cell;
};

using routine_fn = machine_value (*)(const machine_value* args, int32_t count);

struct entry {
    const char* name = nullptr;
    const char* spec = nullptr;  // Kel source text: "a [integer!] b [integer!] return: [integer!]"
    routine_fn fn = nullptr;
    bool cells = false;          // the cell-passing convention
};

// Numbered from 1 to the end of the list in routine_numbers.h.
constexpr int32_t table_size = routine_numbers::end - 1;

// The result slot of the machine-convention routine being called: a routine
// without a declared return type leaves its answer here (unset! unless it
// writes one). The slot is an argument-stack cell, so it stays rooted.
kel_value* result_slot();
struct result_scope {
    kel_value* saved;
    explicit result_scope(kel_value* slot);
    ~result_scope();
    result_scope(const result_scope&) = delete;
    result_scope& operator=(const result_scope&) = delete;
};

// What a routine returns when its answer is in the result slot (or when it
// has none): the machine value itself is never read then.
inline machine_value nothing() {
    machine_value v;
    v.cell = nullptr;
    return v;
}
// A routine without a declared return type answers through the result slot.
inline machine_value answer_cell(const kel_value* v) {
    *result_slot() = *v;
    return nothing();
}

// The entry of a table number (1-based; an empty entry outside or unfilled).
const entry& at(int32_t number);
// Fills slot `number` (from routine_numbers.h). A slot filled already stops
// the boot, naming both routines: the earlier entry would otherwise be lost
// without a word.
void define(int32_t number, const entry& e);

// A module's machine-convention routines at consecutive numbers from
// `first`, each filled by define; `module` names them in a boot stop.
struct binding {
    const char* name;
    const char* spec;
    routine_fn fn;
};
void define_run(int32_t first, const binding* rows, int32_t count, const char* module);

// The routine! value of a table number, made from the entry's spec (read
// once, kept in the root block) with the return type its `return:` block
// names; written into `out`, which the caller keeps reachable. An empty slot
// raises internal `not-done`.
void make_value(int32_t number, kel_value* out);

}  // namespace kel::routines
