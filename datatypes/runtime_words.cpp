// runtime_words: the slots and the three start-up steps that fill them, from
// the lists in the header (one list each, so declaration and creation order
// cannot drift apart).
#include "datatypes/runtime_words.h"

#include "datatypes/context.h"
#include "datatypes/issue.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/registry.h"

namespace kel::words {

#define KEL_DEFINE_SYMBOL_SLOT(slot, name) uint32_t slot = 0;
#define KEL_DEFINE_NOTHING(...)
#define KEL_DEFINE_WORD_SLOT(slot, from) kel_value slot{};
KEL_RUNTIME_SYMBOLS(KEL_DEFINE_SYMBOL_SLOT, KEL_DEFINE_NOTHING)
KEL_RUNTIME_WORDS(KEL_DEFINE_WORD_SLOT, KEL_DEFINE_WORD_SLOT, KEL_DEFINE_NOTHING, KEL_DEFINE_NOTHING)
KEL_RUNTIME_REFINEMENTS(KEL_DEFINE_WORD_SLOT)
#undef KEL_DEFINE_SYMBOL_SLOT
#undef KEL_DEFINE_NOTHING
#undef KEL_DEFINE_WORD_SLOT

uint32_t changed = 0;
kel_value issue_ooo{};

namespace {

bool made = false;

struct symbol_row {
    uint32_t* slot;  // null: interned without a slot
    const char* name;
};
#define KEL_SYMBOL_ROW(slot, name) {&slot, name},
#define KEL_SYMBOL_ONLY(name) {nullptr, name},
const symbol_row symbol_rows[] = {KEL_RUNTIME_SYMBOLS(KEL_SYMBOL_ROW, KEL_SYMBOL_ONLY)};
#undef KEL_SYMBOL_ROW
#undef KEL_SYMBOL_ONLY

struct word_row {
    kel_value* slot;
    const uint32_t* symbol;  // made from a symbol slot, or
    const char* name;        // from a name
};
#define KEL_FROM_SYMBOL(slot, sym) {&slot, &sym, nullptr},
#define KEL_FROM_NAME(slot, name) {&slot, nullptr, name},
const word_row word_rows[] = {KEL_RUNTIME_WORDS(KEL_FROM_SYMBOL, KEL_FROM_NAME, KEL_FROM_SYMBOL, KEL_FROM_NAME)};
#undef KEL_FROM_SYMBOL
#undef KEL_FROM_NAME

struct refinement_row {
    kel_value* slot;
    const char* name;
};
#define KEL_REFINEMENT_ROW(slot, name) {&slot, name},
const refinement_row refinement_rows[] = {KEL_RUNTIME_REFINEMENTS(KEL_REFINEMENT_ROW)};
#undef KEL_REFINEMENT_ROW

}  // namespace

void make_runtime_words() {
    for (const symbol_row& r : symbol_rows) {
        const uint32_t id = symbol::intern(r.name);
        if (r.slot) *r.slot = id;
    }
    for (const word_row& r : word_rows)
        *r.slot = r.symbol ? *_context::intern_global(*r.symbol) : *word::from_c_string(r.name);
    changed = word_symbol(&_changed);
    made = true;
}

void make_runtime_refinements() {
    for (const refinement_row& r : refinement_rows) *r.slot = *refinement::from_c_string(r.name);
}

void make_runtime_issues() { issue_ooo = *issue::from_c_string("ooo"); }

bool ready() { return made; }

void bind_datatype_names() {
    for (uint32_t t = 1; t <= registry::highest_type_id; ++t) {
        if (!registry::registered_q(t)) continue;
        registry::type_names[t].word = *word::from_c_string(registry::type_names[t].name);
    }
}

collector::name_roots roots() { return collector::name_roots{symbol::index(), _context::global()}; }

}  // namespace kel::words
