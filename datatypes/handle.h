// handle: the handle! datatype (id 46, parent integer!, of which it takes
// nothing). A handle carries an operating-system handle or a native object
// through script code without meaning anything there: word 1 the kind (0
// null, 1 fd, 2 monitor, 3 window, 4 font, 5 rich-text), word 2 the 32-bit
// value that form shows and compare uses, word 3 -1 or the index of the
// external handle table entry (kernel/handles.h) the value keeps alive. No
// address is ever stored in the cell.
//
// Only native code makes handles; scripts can hold, compare, form and mold
// them, and every other action (make and to included) is unsupported.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::handle {

enum kind : uint32_t { CLASS_NULL = 0, CLASS_FD = 1, CLASS_MONITOR = 2, CLASS_WINDOW = 3, CLASS_FONT = 4,
                       CLASS_RICH_TEXT = 5 };

inline uint32_t kind_of(const kel_value* v) { return v->w1; }
inline int32_t value_of(const kel_value* v) { return static_cast<int32_t>(v->w2); }
inline int32_t table_index_of(const kel_value* v) { return static_cast<int32_t>(v->w3); }

// Writes the three words (the type byte becomes handle!, flags kept);
// `table_index` is the handle-table entry to keep alive, or -1.
kel_value* init_cell(kel_value* cell, int32_t value, uint32_t kind, int32_t table_index = -1);
// The handle in the result slot of the current call frame.
kel_value* box(int32_t value, uint32_t kind);
kel_value* make_at_tail(const kel_value* block, int32_t value, uint32_t kind);
kel_value* push(int32_t value, uint32_t kind);
kel_value* push_null();

registry::registration row();

}  // namespace kel::handle
