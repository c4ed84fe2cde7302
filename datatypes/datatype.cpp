// datatype: the datatype! row. Names come from the registry's type-name table.
#include "datatypes/datatype.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <cstring>

#include "kernel/stack.h"
#include "kernel/native_api.h"

namespace kel::datatype {

registry::registration row() {
    registry::registration r;
    r.id = types::datatype;
    r.hash = hashtable::hash_by::w1;
    r.set_hash = registry::set_hash_rule::exact;
    r.marker = kel::collector::cell_markers::nothing;
    r.parent = 0;
    r.name = "datatype!";
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    return r;
}

kel_value* make_at_tail(const kel_value* block, uint32_t type) {
    kel_value* c = memory::claim_tail_cell(block);
    set_datatype(c, type);
    return c;
}

kel_value* push(uint32_t type) {
    kel_value* c = stack::alloc_cell();
    set_datatype(c, type);
    return c;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    const registry::type_name_entry& e = registry::type_names[get_datatype(value) % types::table_rows];
    if (!e.name) return part;
    text_out::append(buffer, e.name, static_cast<size_t>(e.length));
    return part - e.length;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part,
             int32_t) {
    const registry::type_name_entry& e = registry::type_names[get_datatype(value) % types::table_rows];
    if (!e.name) return part;
    const size_t n = static_cast<size_t>(e.length) + 1;
    if (all) text_out::append(buffer, "#(", 2);
    text_out::append(buffer, e.name, n);
    if (all) text_out::append(buffer, ")", 1);
    return part - static_cast<int32_t>(n) - (all ? 3 : 0);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    switch (op) {
        case cmp::equal:
        case cmp::not_equal:
        case cmp::strict_equal:
        case cmp::same:
        case cmp::find:
            return (type_of(other) == types::datatype && get_datatype(other) == get_datatype(value)) ? 0 : 1;
        default: return cmp::not_comparable;
    }
}

}  // namespace kel::datatype
