// runtime_env: the runtime the evaluator and native tests run Kel code in,
// booted as `kel` boots it: start-up steps, the native and action tables
// bound to their words, and the whole script library. The boot runs once per
// process; `start` before each test puts every global word back to the value
// the boot gave it (a word added since becomes unset!), so a test never sees
// what an earlier test in the same process left behind.
#pragma once
#include "kernel/value.h"

namespace kel::runtime_env {

// Boots once (later calls do nothing).
void boot();
// Boots once, then restores the global words: a test fixture's first step.
void start();
// Sets a global word to a value.
void define(const char* name, const kel_value& value);
// Reads code text into a new block (kept in the root block).
kel_value read(const char* text);

}  // namespace kel::runtime_env
