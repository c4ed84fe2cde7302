// issue: constructors and the issue! row.
#include "datatypes/issue.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include "datatypes/block.h"
#include "datatypes/string_api.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"

namespace kel::issue {

namespace {
void set_issue(kel_value* cell, uint32_t symbol) {
    cell->header = types::issue;
    cell->w1 = _context::global();
    cell->w2 = symbol;
    cell->w3 = static_cast<uint32_t>(-1);
}
}  // namespace

kel_value* init_cell(kel_value* cell, const char* name) {
    const uint32_t sym = symbol::intern(name);
    set_issue(cell, sym);
    return cell;
}

kel_value* make_at_tail(const char* name, const kel_value* block) {
    kel_value v;
    init_cell(&v, name);
    return block::ks_add(block, &v);
}

kel_value* from_c_string(const char* name) {
    kel_value v;
    init_cell(&v, name);
    if (runtime::recording) return block::ks_add(block::root(), &v);
    return stack::push_copy(&v);
}

kel_value* push(const kel_value* word) {
    kel_value* c = stack::push_copy(word);
    c->header = (c->header & ~header_type_mask) | types::issue;
    return c;
}

void make_to(kel_value* result, const kel_value* spec_cell) {
    const kel_value spec = *spec_cell;
    const uint32_t t = type_of(&spec);
    if (t == types::string) {
        const uint32_t sym = symbol::intern_string(&spec);
        set_issue(result, sym);
        return;
    }
    if (t == types::char_) {
        kel_value* holder = stack::push_unset();
        text_out::new_buffer(holder, 1);
        const uint32_t c = get_char(&spec);
        string::append_code_points(holder, &c, 1);
        const uint32_t sym = symbol::intern_string(holder);
        stack::drop_cells(1);
        set_issue(result, sym);
        return;
    }
    if (t >= types::word && t <= types::issue) {
        kel_value r = spec;
        r.header = types::issue;
        *result = r;
        return;
    }
    word::make_to(result, &spec, types::issue);
}

signal_code make(const refinements&) {
    make_to(stack::arguments(), stack::argument(2));
    return signal_code::none;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    text_out::append(buffer, "#", 1);
    return word::form(value, buffer, arg, part - 1);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::issue) return cmp::not_comparable;
    return word::compare(value, other, op);
}

registry::registration row() {
    registry::registration r;
    r.id = types::issue;
    r.hash = word::hash_of;
    r.set_hash = registry::set_hash_rule::folded;
    r.marker = kel::collector::cell_markers::word;
    r.parent = types::word;
    r.name = "issue!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::to] = static_cast<action_fn>(make);
    r[act::form] = registry::entry::inherit();
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    return r;
}

}  // namespace kel::issue
