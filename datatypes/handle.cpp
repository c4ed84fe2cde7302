// handle: the handle! row (form, mold, compare; nothing else) and the cell
// makers native code uses. See handle.h.
#include "datatypes/handle.h"

#include <cstring>

#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"
#include "kernel/unicode.h"

namespace kel::handle {

kel_value* init_cell(kel_value* cell, int32_t value, uint32_t kind, int32_t table_index) {
    set_type(cell, types::handle);
    cell->w1 = kind;
    cell->w2 = static_cast<uint32_t>(value);
    cell->w3 = static_cast<uint32_t>(table_index);
    return cell;
}

kel_value* box(int32_t value, uint32_t kind) {
    kel_value* c = stack::arguments();
    c->header = 0;
    return init_cell(c, value, kind);
}

kel_value* make_at_tail(const kel_value* block, int32_t value, uint32_t kind) {
    kel_value* c = memory::claim_tail_cell(block);
    c->header = 0;
    return init_cell(c, value, kind);
}

kel_value* push(int32_t value, uint32_t kind) {
    kel_value* c = stack::alloc_cell();
    c->header = 0;
    return init_cell(c, value, kind);
}

kel_value* push_null() { return push(0, CLASS_NULL); }

namespace {

const char* const kind_names[] = {"", "fd", "monitor", "window", "font", "rich-text"};

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    const unicode::hex_text hex = unicode::hex_of_integer(value_of(value), false);
    text_out::append(buffer, hex.text, hex.length);
    text_out::append(buffer, "h", 1);
    return part - static_cast<int32_t>(hex.length + 1);
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value* arg, int32_t part,
             int32_t) {
    // Without /all a handle cannot be written back, so only its type shows.
    if (!all) {
        text_out::append(buffer, "handle!", 7);
        return part - 7;
    }
    text_out::append(buffer, "#[handle! ", 10);
    part = form(value, buffer, arg, part - 10);
    const uint32_t k = kind_of(value);
    if (k > 0 && k < sizeof kind_names / sizeof kind_names[0]) {
        const size_t n = std::strlen(kind_names[k]);
        text_out::append(buffer, " ", 1);
        text_out::append(buffer, kind_names[k], n);
        part -= static_cast<int32_t>(n + 1);
    }
    text_out::append(buffer, "]", 1);
    return part - 1;
}

// The values alone decide, as signed 32-bit integers; the kinds play no part.
int32_t compare(const kel_value* value, const kel_value* other, int32_t) {
    if (type_of(other) != types::handle) return cmp::not_comparable;
    const int32_t a = value_of(value), b = value_of(other);
    return (a > b) - (a < b);
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::handle;
    r.parent = types::integer;
    r.name = "handle!";
    r.hash = hashtable::hash_by::w2;
    r.marker = collector::cell_markers::handle;
    r.families = 0;
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    return r;
}

}  // namespace kel::handle
