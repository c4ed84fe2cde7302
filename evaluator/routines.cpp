// routines: the routine table and routine! values made from it.
#include "evaluator/routines.h"

#include <string>

#include "datatypes/block.h"
#include "datatypes/routine.h"
#include "datatypes/symbol.h"
#include "evaluator/native_api_words.h"
#include "evaluator/natives.h"
#include "kernel/catalog.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"

namespace kel::routines {

namespace {

entry table[table_size];
kel_value specs[table_size];  // copies of the read spec blocks (unset!: not read yet)
bool specs_ready = false;

const entry empty{};
kel_value* current_slot = nullptr;

// The type id named by the first word of the block after `return:`, -1 when
// the spec declares none.
int32_t return_type_of(const kel_value* spec) {
    const kel_value s = *spec;
    const int32_t n = block::ks_length_q(&s);
    for (int32_t i = 0; i + 1 < n; ++i) {
        const kel_value* c = block::ks_abs_at(&s, series_head(&s) + i);
        if (type_of(c) != types::set_word || symbol::resolve(word_symbol(c)) != symbol::resolve(words::return_)) continue;
        const kel_value types_block = *block::ks_abs_at(&s, series_head(&s) + i + 1);
        if (type_of(&types_block) != types::block || block::ks_length_q(&types_block) < 1) return -1;
        const kel_value first = *block::ks_abs_at(&types_block, series_head(&types_block));
        const kel_value* v = type_of(&first) == types::word ? word_ops::value_or_null(&first) : &first;
        return v && type_of(v) == types::datatype ? static_cast<int32_t>(get_datatype(v)) : -1;
    }
    return -1;
}

}  // namespace

kel_value* result_slot() { return current_slot; }
result_scope::result_scope(kel_value* slot) : saved(current_slot) { current_slot = slot; }
result_scope::~result_scope() { current_slot = saved; }

const entry& at(int32_t number) { return number >= 1 && number <= table_size ? table[number - 1] : empty; }

namespace {

void fill(int32_t number, const entry& e, const char* module) {
    if (number < 1 || number > table_size) fire(error_category::internal, "not-done");
    if (!specs_ready) {
        for (kel_value& s : specs) set_unset(&s);
        specs_ready = true;
    }
    const entry& old = table[number - 1];
    if (old.fn) {
        std::string what = std::string(module ? module : "") + (module ? " routines: " : "") +
                           "routine table slot " + std::to_string(number) + " holds " +
                           (old.name ? old.name : "a routine") + " already, " + (e.name ? e.name : "another") +
                           " would replace it";
        catalog::boot_stop(what.c_str());
    }
    table[number - 1] = e;
    set_unset(&specs[number - 1]);
}

}  // namespace

void define(int32_t number, const entry& e) { fill(number, e, nullptr); }

void define_run(int32_t first, const binding* rows, int32_t count, const char* module) {
    for (int32_t i = 0; i < count; ++i) {
        entry e;
        e.name = rows[i].name;
        e.spec = rows[i].spec;
        e.fn = rows[i].fn;
        fill(first + i, e, module);
    }
}

void make_value(int32_t number, kel_value* out) {
    const entry& e = at(number);
    if (!e.fn || !e.spec) fire(error_category::internal, "not-done");
    kel_value& spec = specs[number - 1];
    if (type_of(&spec) != types::block) natives::read_spec(e.spec, &spec);
    const kel_value s = spec;
    *out = *routine::push(&s, nullptr, number, return_type_of(&s), e.cells);
    stack::drop_cells(1);
}

}  // namespace kel::routines
