// boot_runtime: what a C++ benchmark runs on: the runtime booted as `kel`
// boots it (start-up steps, the native and action tables bound to their
// words, the script library), code text read into blocks, global words set.
// Header-only: each benchmark is one executable linked to the runtime alone.
#pragma once
#include "datatypes/context.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"
#include "library/boot.h"

namespace kel::bench {

inline void boot() {
    runtime::record.stack_start = static_cast<char*>(__builtin_frame_address(0));
    runtime::init();
    boot::run();
    stack::reset();
}

// Reads code text into a new block (kept in the root block).
inline kel_value read(const char* text) {
    kel_value out;
    natives::read_spec(text, &out);
    return out;
}

// Sets a global word to a value.
inline void define(const char* name, const kel_value& value) {
    kel_value w = *word::from_c_string(name);
    _context::set_bound(&w, &value);
}

}  // namespace kel::bench
