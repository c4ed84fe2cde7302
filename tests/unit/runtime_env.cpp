// runtime_env: see runtime_env.h.
#include "tests/unit/runtime_env.h"

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "kernel/stack.h"
#include "kernel/runtime.h"
#include "library/boot.h"

namespace kel::runtime_env {

namespace {

// The global words' values right after the boot, in a block of the root
// block (so the collector keeps what they hold).
kel_value booted_values;
bool booted = false;

void boot_once_here() {
    if (booted) return;
    booted = true;
    runtime::init();
    boot::run();
    const uint32_t global = _context::global();
    const int32_t n = _context::length(global);
    booted_values = *block::make_at_tail(nullptr, n);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value v = _context::values(global)[i];  // the add may move the values
        block::ks_add(&booted_values, &v);
    }
    stack::reset();
}

}  // namespace

void boot() { boot_once_here(); }

void start() {
    boot_once_here();
    const uint32_t global = _context::global();
    const int32_t kept = block::ks_length_q(&booted_values);
    const int32_t n = _context::length(global);
    kel_value* values = _context::values(global);
    const kel_value* saved = block::ks_head(&booted_values);
    for (int32_t i = 0; i < n; ++i) {
        if (i < kept) values[i] = saved[i];
        else set_unset(values + i);
    }
}

void define(const char* name, const kel_value& value) {
    kel_value w = *word::from_c_string(name);
    _context::set_bound(&w, &value);
}

kel_value read(const char* text) {
    kel_value out;
    natives::read_spec(text, &out);
    return out;
}

}  // namespace kel::runtime_env
