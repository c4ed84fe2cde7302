// function: the function! datatype (id 24, parent context!): a spec block, a
// context made from the spec (arguments, refinements and locals, whose values
// live on the argument stack while a call runs: a stack context) and a body.
//
// The cell: header 24 with the flags of the spec's attribute block (0x400
// trace, 0x200 no-trace), word 1 the context node, word 2 the spec node (read
// from index 0), word 3 the node of a five-cell auxiliary block:
//   0 the body: a deep copy of the body given, bound to the context, or none;
//   1 the argument cache (built by the interpreter at the first call);
//   2 integer! body index of a library function, else unset!;
//   3 the function value again when an op! was made from it, else unset!;
//   4 integer! context node of the enclosing object, else unset!.
// The function value is also the owner of its context (cell 1 of the node).
// Two function values are the same function when they share the auxiliary
// block. Calling belongs to the interpreter.
//
// Also here: the validation of specs, the collection of locals for the
// `function` native and the /local counting used when a function is called
// with fixed arguments.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "kernel/value.h"

namespace kel::function {

constexpr uint32_t flag_trace = 0x400u;
constexpr uint32_t flag_no_trace = 0x200u;

// Cells of the auxiliary block.
namespace more {
enum : int32_t { body = 0, cache = 1, code = 2, op = 3, object = 4 };
constexpr int32_t cells = 5;
}  // namespace more

// Cell i of a function-like value's auxiliary block (function!, routine!,
// native!, action! and op! alike); valid until the next allocation.
// (Inline: every call of a function reads its body and cache through it.)
inline kel_value* more_cell(const kel_value* fn, int32_t i) {
    return reinterpret_cast<kel_value*>(memory::buffer_of(fn->w3)->head_ptr()) + i;
}
// The identity order of function-like values (equal, same, find and the
// sorts; other operators answer not-comparable): by one payload word, the
// auxiliary block's node for functions and routines, the table number for
// natives, actions and operators (word: 3 or 1).
int32_t compare_identity(const kel_value* value, const kel_value* other, int32_t op, int32_t word);
// The spec as a block! value (head 0).
kel_value spec_of(const kel_value* fn);

// Pushes a new function! made from the spec (its head clamped; a head above
// 0 first copied into a block of its own), the body (null: none), a context
// (0: made from the spec and the body copy bound to it), a library body index
// (0: none), an enclosing object's context (0: none) and header flags. With a
// body index, or with `library`, the body copy (nested blocks included) is
// flagged as library code. Answers the context node.
uint32_t push(const kel_value* spec, const kel_value* body, uint32_t ctx, int32_t code, uint32_t object,
              uint32_t flags, bool library = false);
// Set by the boot while it evaluates a library phase: every function made
// then is library code, including those whose body the phase built with
// `compose` or `reduce` (no flag on the new block).
extern bool library_phase;
// Whether a function maker called from code of the given kind makes library
// code: during a library phase, or when library code makes it from a body
// that is library code itself (its own literal block). User code making a
// function from a library body (`body-of`) makes an ordinary one.
bool library_body_q(const kel_value* body, bool called_from_library);
// Takes the library-code flag off a function's body and every block inside
// it, so that the function runs as user code (traced, in interpreted frames).
void unmark_library(const kel_value* fn);

// Validates a spec and answers the header flags of its attribute block; a
// malformed spec raises script `bad-func-def` (the spec), a name met twice
// `dup-vars` (the later one), a bad type block element `invalid-type-spec`.
uint32_t check_spec(const kel_value* spec);
void check_duplicates(const kel_value* spec);
void check_type_block(const kel_value* block);
// 0x400 for `trace`, 0x200 for `no-trace`, other words 0; -1 when an element
// is not a word!.
int32_t attribute_flags(const kel_value* block);

// The `function` native's worker: cuts `/extern` and its words from the spec
// and appends `/local` with every set-word of the body (deep) and the loop
// words of foreach, remove-each and repeat not already in the spec. The spec
// changes in place; the collected words are answered in a new block (pushed).
kel_value* collect_locals(kel_value* spec, const kel_value* body);
// 1 for the first /local of the spec from `start` (canonical comparison)
// plus 1 per word! after it; 0 without /local, or -1 with `strict`.
int32_t count_locals(uint32_t spec_node, int32_t start, bool strict);
// Pushes false (a refinement not used), then count - 1 none! cells.
void push_unused_refinement(int32_t count);

// Handlers of the row.
signal_code make(const refinements& refs);
signal_code reflect(const refinements& refs);
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

registry::registration row();

}  // namespace kel::function
