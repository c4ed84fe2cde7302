// natives: the native table and native!/action! values made from table numbers.
#include "evaluator/natives.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "kernel/action_specs.h"
#include "evaluator/interpreter.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"

namespace kel::natives {

read_fn read_spec = nullptr;  // the lexer installs its reader at start-up

entry table[table_size];
const entry empty_entry{};

namespace {
// Copies of the spec blocks read so far (the blocks live in the root block);
// a cell that is not a block! has not been read.
kel_value native_specs[table_size];
kel_value action_specs_read[act::count];

// The shapes the entries of the path step and the comparison read.
constexpr const char* path_step_spec = "parent [any-type!] element [any-type!] /set value [any-type!]";
constexpr const char* compare_spec = "value1 [any-type!] value2 [any-type!] op [integer!]";

const kel_value* read_once(kel_value* slot, const char* text) {
    if (!text) return nullptr;
    if (type_of(slot) != types::block) {
        if (!read_spec) fire(error_category::internal, "not-done");
        read_spec(text, slot);
    }
    return slot;
}

}  // namespace

entry define(int32_t number, const entry& e) {
    if (number < 1 || number > table_size) fire(error_category::internal, "not-done");
    const entry old = table[number - 1];
    table[number - 1] = e;
    set_unset(&native_specs[number - 1]);
    return old;
}

const kel_value* native_spec(int32_t number) {
    if (number < 1 || number > table_size) return nullptr;
    return read_once(&native_specs[number - 1], table[number - 1].spec);
}

const kel_value* action_spec(int32_t number) {
    if (number < 1 || number > act::count) return nullptr;
    const char* text = action_specs::of(number).text;
    if (number == act::path_step) text = path_step_spec;
    if (number == act::compare) text = compare_spec;
    return read_once(&action_specs_read[number - 1], text);
}

void make_value(uint32_t type, const kel_value* spec_in, int32_t number, kel_value* out) {
    kel_value* spec = stack::push_copy(spec_in);
    kel_value* more = block::push_only_star(2);
    const uint32_t ctx = _context::make_from_spec(spec, true, false, _context::kind_function);
    kel_value context_cell = *_context::cell(ctx);
    block::ks_add(more, &context_cell);
    kel_value none;
    set_none(&none);
    block::ks_add(more, &none);
    kel_value v;
    v.header = type;
    v.w1 = static_cast<uint32_t>(number);
    v.w2 = series_node(spec);
    v.w3 = series_node(more);
    *out = v;
    stack::drop_cells(2);
}

void make_native(int32_t number, kel_value* out) {
    const kel_value* spec = native_spec(number);
    if (!spec) {
        kel_value target, n;
        set_datatype(&target, types::native);
        set_integer(&n, number);
        fire(error_category::script, "bad-make-arg", &target, &n);
    }
    const kel_value s = *spec;
    make_value(types::native, &s, number, out);
}

void make_action(int32_t number, kel_value* out) {
    const kel_value* spec = action_spec(number);
    if (!spec) {
        kel_value target, n;
        set_datatype(&target, types::action);
        set_integer(&n, number);
        fire(error_category::script, "bad-make-arg", &target, &n);
    }
    const kel_value s = *spec;
    make_value(types::action, &s, number, out);
}

void build_table() { interpreter::setup(); }

}  // namespace kel::natives
