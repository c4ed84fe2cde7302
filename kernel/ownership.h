// ownership: the owner table, which lets an object learn that a series held
// in one of its fields (or nested inside such a series) changed in place.
// Binding records, per series, the owner object and the field word; every
// in-place modifier calls `ownership::check` (native_api.h) around its change,
// and an owned series' object gets its change handler called through
// `dispatch`, which the object module installs (until then nothing is told).
//
// The table is a pointer-keyed record table (hashtable.h, kind 4) mapping a
// key node (a series node, or an object's context node) to a record of 4
// cells: cell 0 is the live mark (unset! header) with the key in word 1, then
// the owned value, the owner object! and the field word. An owned series'
// buffer carries memory::flag_owned; an image! cell carries header bit 16
// itself; an owner object's context! cell carries header bit 16.
//
// With the collector: the table is a root only through its own buffers and
// its record block's buffer, never through the records' cells, or every owned
// series would live forever. After marking, the records whose key and whose
// owner's context were both reached survive and have their cells marked,
// repeated until no record changes its state (a survivor may reach another
// record's key); every other record is dropped, its cells cleared.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::ownership {

constexpr uint32_t record_cells = 4;
constexpr uint32_t owned_image_bit = 0x10000u;   // on an image! cell's header
constexpr uint32_t owner_context_bit = 0x10000u;  // on an owner's context! cell header

// The change handler call: (owner object, field word, changed value, action
// word, new value or null, index, part).
using dispatch_fn = void (*)(const kel_value* owner, const kel_value* word, const kel_value* target,
                             const char* action, const kel_value* new_value, int32_t index, int32_t part);
extern dispatch_fn dispatch;

// The fields of an object, for binding into objects (the object module
// installs it; until then an object! value binds and unbinds nothing):
// calls visit(value cell, word cell, context) for each field.
using field_visitor = void (*)(kel_value* value, const kel_value* word, void* context);
extern void (*each_field)(const kel_value* object, field_visitor visit, void* context);

// Start-up step: the empty owner table.
void init();

void bind(kel_value* value, const kel_value* owner, const kel_value* word);
// bind, then the owner's context! cell gets bit 16: the owner's own fields
// are not entered by later bindings.
void bind_object(kel_value* value, const kel_value* owner, const kel_value* word);
void unbind(kel_value* value);
void unbind_range(const kel_value* block, int32_t start, int32_t count);
// The owner cell of the key's record (valid until the next allocation), or null.
kel_value* owner_of(uint32_t node);
// Whether the series (or bitset) value is owned by the object of that context.
bool owned_by(const kel_value* value, uint32_t context);
// `check` with its answer: true when an owner was told.
bool notify(const kel_value* series, const char* action, const kel_value* value, int32_t index, int32_t part);
uint32_t entry_count();

// Collector.
void mark_root();
void sweep();

}  // namespace kel::ownership
