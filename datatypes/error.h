// error: the error! datatype (id 34, parent object!) and the error
// catalogue.
//
// An error is an object with ten fields in a fixed order (`field`): code,
// type, id, arg1-arg3, near, where, stack, files. It is made from a category
// and an id of the catalogue with up to three arguments; its code is the
// category number x 100 + the id's position in its category object.
//
// The catalogue (`system/catalog/errors`) is Kel source
// (library/catalog_errors.kel, embedded at build time): an object whose ten
// words are the categories in their fixed order, each holding a category
// object: field 0 `code`, field 1 `type` (the report's title), then one
// message template per id. Start-up (`load_catalog`) reads it through
// catalog::read, builds the objects, checks the category order and the
// positions the runtime relies on, and builds the error prototype
// (`system/standard/error`). Both are kept in a rooted block until the boot's
// system object takes them over (`use_catalog`, `use_prototype`).
//
// `fire` (kernel/native_api.h) builds its error through `from_fire`, the
// hook its start-up step installs in `raising::hooks.build`; the call marks fill
// `where` and `stack` through the `annotate` hook installed here, and the
// interpreter provides `near` through `current_position`.
#pragma once
#include <cstdint>

#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::error {

// Field positions, fixed.
namespace field {
enum : int32_t { code = 0, type, id, arg1, arg2, arg3, near, where, stack, files, count };
}
constexpr int32_t stack_field_index = field::stack;
constexpr int32_t category_count = 10;

// --- the catalogue ------------------------------------------------------------------
// Start-up step: reads and checks the catalogue from its source text (the
// library's, which the composition root embeds), builds the prototype.
void load_catalog(const char* source);
bool ready();
// The catalogue object and the prototype (valid until the next allocation).
const kel_value* catalog();
const kel_value* prototype();
// The boot hands over its own objects (checked like the embedded ones: a
// catalogue or prototype out of its fixed order stops the start-up).
void use_catalog(const kel_value* catalog);
void use_prototype(const kel_value* prototype);
// Checks a catalogue object; answers null when sound, else what is wrong.
const char* check_catalog(const kel_value* catalog);
// The source text the catalogue was read from ("" before).
const char* catalog_source();

// The category number of a word (-1 when not a category); the id's position
// in that category (-1 when absent or below 2).
int32_t category_of(const kel_value* word);
int32_t id_in(int32_t category, const kel_value* word);
// The field count of a category object.
int32_t category_size(int32_t category);

// --- making -------------------------------------------------------------------------
// error/build: a new error (pushed on the argument stack) of the category and
// id words with the given arguments (null: absent). A category or id the
// catalogue lacks raises what `make error!` raises.
kel_value* build(const kel_value* category, const kel_value* id, const kel_value* a1, const kel_value* a2,
                 const kel_value* a3);
// error!/make into result from an integer!, block! or string! spec.
signal_code make(kel_value* result, const kel_value* spec);

// The error `fire` raises: built from the catalogue when it is loaded (an id
// it lacks is kept as given, and reported as internal `invalid-error`), and
// kept in a rooted cell until the next fire; null before the catalogue
// exists or while an error is being built.
const kel_value* from_fire(error_category category, const char* id, const error_arg* args, int count);
// The last error `fire` built (unset! when none).
const kel_value* last();

// --- hooks ----------------------------------------------------------------------------
// The interpreter's current position (the block being evaluated, its head at
// the current expression) for `near`; none while null.
extern void (*current_position)(kel_value* out);
// The runtime's trace level (field 2 of the trace settings), and the callers
// from the bottom up to a recorded mark depth, formed into a buffer. Null:
// trace level 0, no callers.
extern int32_t (*trace_level)();
extern void (*form_callers)(kel_value* buffer, int32_t mark_depth, int32_t level);
// The callers from the bottom up to a mark depth as a new block in `out`, and
// the block of script files being loaded (field 3 of the trace settings).
// Null: an empty block, and no files.
extern void (*list_callers)(kel_value* out, int32_t mark_depth, int32_t level);
extern void (*trace_files)(kel_value* out);

// Fills `where` when it is none and `stack` with the mark depth unless it
// holds a block! (installed as stack::errors::hooks.annotate).
void annotate(kel_value* error, const kel_value* where, int32_t mark_depth);
// Sets `where` when it is none.
void fill_where(kel_value* error, const kel_value* where);
// The category and id symbols of an error (0 when not words).
// A bare cell of `fire` (raised before the catalogue, or when building the
// value failed, as when memory ran out): it has no context, so every reader
// of fields asks this first.
bool bare_q(const kel_value* error);
uint32_t type_symbol(const kel_value* error);
uint32_t id_symbol(const kel_value* error);
// The n-th argument word (word!, lit-word!, get-word! or refinement!
// entries of its spec) of the value that the innermost call mark names,
// when that is a native!, action!, op! or function!; else none. Into `out`.
void call_argument_word(int32_t n, kel_value* out);
// When `stack` holds a mark depth: replaces it by the block of callers up to
// that mark (at the trace level, 1 when not positive), and sets `files`.
void build_stack_trace(kel_value* error);
// A field cell of an error (valid until the next allocation).
kel_value* field_at(const kel_value* error, int32_t index);

// --- the datatype ------------------------------------------------------------------------
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
signal_code eval_path(const path_step_args& step);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);
registry::registration row();

}  // namespace kel::error
