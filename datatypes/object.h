// object: object! values and the internal operations on them that the
// object! actions, the error! and port! types, the `set` and `construct`
// natives, the boot and compiled code share.
//
// An object is a context of kind 2 with the self flag, wrapped in a cell:
//   word 1  the context node (its words are the fields, in a fixed order that
//           compiled code indexes by number)
//   word 2  the class id: objects made from one spec share it; run-time
//           classes come from one counter and start at 1,000,001, the boot's
//           objects take small fixed numbers from `boot_classes`
//   word 3  the node of the object's on-set record, 0 when the object has
//           neither an `on-change*` nor an `on-deep-change*` field.
// error! and port! use the same layout. Every time an object value is made,
// or its record changes, the whole cell is also copied into the owner slot of
// its context (cell 1 of the context node), so code that only holds a context
// node finds the object there.
//
// The on-set record is a 2-cell block: cell 0 describes `on-change*`, cell 1
// `on-deep-change*`. Each cell has the internal type hook_record (no value
// of the language, so nothing dispatches on it); word 2 holds the field index
// << 16 OR the handler's local-slot count (index 0xFFFF: no such field), word 3 the handler's spec node the count was taken for. The count
// is a cache, retaken when the handler's spec node changed.
//
// Calling a handler needs the interpreter. This module opens the call frame,
// pushes the arguments and the unused /local refinement, and asks the one
// hook `invoke_hook` to run the handler's body; the evaluator installs it.
// Evaluating an object's spec block goes through `eval_block` the same way.
// Ownership (which object owns which series) is kept by the ownership
// module; this module only needs its binding calls (`owners`) and delivers
// the notifications it receives (datatypes/ownership_delivery.h).
//
// Values held across allocations live on the argument stack; node ids never
// move, cell addresses are re-read from nodes after anything that allocates.
#pragma once
#include <cstdint>
#include <string_view>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::object {

constexpr uint32_t class_counter_start = 1000000;
constexpr uint32_t no_handler = 0xFFFFu;
// Trace event masks handed to the handler bodies.
constexpr uint32_t on_change_events = 8;
constexpr uint32_t on_deep_change_events = 16;

// --- class ids ------------------------------------------------------------------
// Increments the class counter and returns it (the first is 1,000,001).
uint32_t new_class_id();
// The fixed class ids of the objects the boot builds, by the object's name;
// 0 for a name not in the table.
struct boot_class {
    const char* name;
    uint32_t id;
};
extern const boot_class boot_classes[];
extern const int boot_class_count;
uint32_t boot_class_id(std::string_view name);

// --- the cell -------------------------------------------------------------------
inline uint32_t context_of(const kel_value* o) { return o->w1; }
inline uint32_t class_of(const kel_value* o) { return o->w2; }
inline uint32_t on_set_of(const kel_value* o) { return o->w3; }
inline bool object_type_q(uint32_t t) { return in_family(t, family::object); }
// Writes an object cell (type object!, error! or port!).
void set_cell(kel_value* cell, uint32_t ctx, uint32_t class_id, uint32_t on_set, uint32_t type = types::object);
// Copies the object into its context's owner slot.
void copy_to_self(const kel_value* o);

// --- fields ----------------------------------------------------------------------
// 0-based index of the word's symbol (case-insensitive), -1 when absent.
int32_t index_of_word(const kel_value* o, const kel_value* word);
// The field's value cell, or the shared none cell when the object lacks it.
const kel_value* value_of_word(const kel_value* o, const kel_value* word);
// The word cell at that index of a context's words (valid until the next allocation).
kel_value* word_at(uint32_t ctx, int32_t index);
kel_value* first_word(const kel_value* o);
// The first value cell of the object's values.
kel_value* get_values(const kel_value* o);
int32_t word_count(const kel_value* o);
// Clears the new-line marker of every cell in the buffer's used range.
void clear_new_lines(uint32_t node);
// Clears the changed marker of every word of the context.
void clear_changed(uint32_t ctx);

// --- assigning -------------------------------------------------------------------
// Assigns many fields at once (the `set` native on an object): from a block
// or an object unless `only`, else the value to every field. Handler fields
// of an object with a record are never assigned; the others call on-change*.
void set_fields(const kel_value* o, const kel_value* value, bool any, bool only, bool some);

// --- the on-set record ---------------------------------------------------------------
uint32_t make_hook_record(uint32_t spec0, uint32_t spec1, int32_t index0, int32_t count0, int32_t index1,
                          int32_t count1);
bool has_deep_hook_q(const kel_value* o);
// Scans the context for the two handler fields and builds the record (0
// when it has neither). A handler field holding anything but a function! or
// routine! raises script `bad-field-set` (the field's word, its datatype).
uint32_t make_on_set(uint32_t ctx);
// Builds the record into the object's word 3, registers the object as the
// owner of its series when it has an on-deep-change* handler, and copies the
// object into its self slot.
void install_hooks(kel_value* o);
// The local-slot count of a function spec: 1 for the first `/local` plus one
// per word after it; 0 without `/local` (-1 when strict).
int32_t count_locals(uint32_t spec_node, bool strict);

// --- calling the handlers --------------------------------------------------------------
// Runs the body of `function` in the frame the caller opened (the arguments,
// the /local refinement and the locals already pushed, the function context
// pointing at them) with `object_ctx` as the enclosing object and the trace
// event mask. The evaluator installs it; while null, a call raises internal
// `not-done`. A code it returns other than none is carried out of the
// handler call as kel_unwind (the call sites cannot return codes).
using invoke_fn = signal_code (*)(const kel_value* function, uint32_t object_ctx, uint32_t event_mask);
extern invoke_fn invoke_hook;
// Evaluates a block for its effects (an object's spec, an error's spec).
// Installed by the evaluator; while null, internal `not-done`.
using eval_fn = signal_code (*)(const kel_value* block);
extern eval_fn eval_block;

// The object's on-change* handler with (word, old, new); nothing when the
// object has none. Installed as `object::call_on_change` (context.h) by init.
void run_on_change(const kel_value* o, const kel_value* word, const kel_value* old_value, const kel_value* new_value);
// The same with the old value in the last pushed cell and the new one below it.
void call_on_change_top(const kel_value* o, const kel_value* word);
// The same for the object that `holder` (a word) refers to.
void call_on_change_of_word(const kel_value* holder, const kel_value* field);
// The owner's on-deep-change* handler with (owner, word, target, action, new
// or none, index, part). An owner without a record raises script
// `invalid-obj-evt`.
void call_on_deep_change(const kel_value* owner, const kel_value* word, const kel_value* target,
                         const kel_value* action, const kel_value* new_value, int32_t index, int32_t part);

// --- ownership ------------------------------------------------------------------------
// The ownership module's binding calls; installed by it (null: nothing is bound).
struct owner_services {
    void (*bind)(kel_value* value, const kel_value* owner, const kel_value* word) = nullptr;
    void (*bind_object)(kel_value* value, const kel_value* owner, const kel_value* word) = nullptr;
    void (*unbind)(kel_value* value) = nullptr;
};
extern owner_services owners;
// Calls visit(value, word, context) for each field (the ownership walk).
using field_visitor = void (*)(kel_value* value, const kel_value* word, void* context);
void each_field(const kel_value* o, field_visitor visit, void* context);

// --- class checks of compiled paths -----------------------------------------------------
bool word_of_class_q(const kel_value* word, uint32_t class_id);
bool field_of_class_q(uint32_t ctx, int32_t index, uint32_t class_id);

// --- molding ------------------------------------------------------------------------------
// Molds the field list; returns the remaining budget.
int32_t mold_fields(const kel_value* o, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
                    int32_t part, bool line_mode, int32_t indent, bool lead);

// --- making and copying ---------------------------------------------------------------------
// Series values of the source context go, deep-copied, to the same index of
// the target; copied blocks, parens, hash! and paths are bound to the target.
// Other values are copied only with `all`.
void clone_values(uint32_t source_ctx, uint32_t target_ctx, bool all);
// Adds the source object's words and values to the target context, then
// copies its series values deep in place and re-makes its functions. True
// when words were added.
bool extend_from(uint32_t target_ctx, const kel_value* source);
// Replaces a function! field of a copied object by a function bound to the
// copy: its body copied deep and bound to the object and to a fresh copy of
// the function's context; it runs interpreted. A function without a body
// raises script `bad-func-def`.
void rebind_function(kel_value* function, uint32_t target_ctx);
// Pushes an object for a context (values sized to the words when empty).
kel_value* push(uint32_t ctx, uint32_t class_id);
// For the object at the top of the stack: builds and installs a record from
// the given indexes and counts; returns it.
uint32_t set_change_hooks(uint32_t ctx, int32_t index0, int32_t count0, int32_t index1, int32_t count1);
// Pushes an object with an existing record.
kel_value* push_with_hooks(uint32_t ctx, uint32_t record, uint32_t class_id);
// The cell becomes an empty object (class 0, no record) with room for `slots` words.
kel_value* init_cell(kel_value* cell, int32_t slots);
// The `construct` native: a new object (pushed) from a spec whose values are
// never evaluated.
kel_value* construct(const kel_value* spec, const kel_value* prototype, bool only);
// The copy engine: target becomes a copy of source (same type and class).
kel_value* duplicate(const kel_value* source, kel_value* target, bool deep, const kel_value* types, bool new_hooks);

// --- the datatype ------------------------------------------------------------------------------
// Handlers shared with error! and port!.
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);
// The field-by-field comparison of two object-like values (no type check).
int32_t compare_contexts(const kel_value* value, const kel_value* other, int32_t op);
signal_code eval_path(const path_step_args& step);
// make from a prototype (or datatype) and a spec, into result.
signal_code make(kel_value* result, const kel_value* prototype, const kel_value* spec);
registry::registration row();

// Start-up: installs the on-change call of context assignments.
void init();

// The body of an object as `reflect` gives it: a new block (pushed) of its
// fields as set-words, each followed by its value (a word or path value
// made literal, so that the block reads back as the same values).
kel_value* push_body(uint32_t ctx);

}  // namespace kel::object
