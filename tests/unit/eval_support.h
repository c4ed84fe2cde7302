// eval_support: running code text through the interpreter in unit tests, on
// the booted runtime (runtime_env.h): `run` answers the molded result or the
// error raised ("!script/no-value").
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/native.h"
#include "datatypes/word.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_table.h"
#include "evaluator/natives.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/runtime.h"
#include "datatypes/runtime_words.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/runtime_env.h"

namespace kel::test {

struct eval_test : ::testing::Test {
    void SetUp() override {
        runtime_env::start();
        interpreter::install_hooks();  // other tests swap them
        stack::reset();
    }
    void TearDown() override {
        interpreter::stop_tracing();
        stack::reset();
    }
};

// Evaluates the block under an error trap: the molded result ("error!" for an
// error! value the code answers), or "!category/id" when an error reaches the
// trap, or "!code N" when a control code comes out of the evaluation.
std::string run_block(const kel_value& block);
std::string run(const char* code);
// The datatype name of the result ("paren!"), or the error as run gives it.
std::string run_type(const char* code);
// Invokes the global word's function with its arguments taken from the
// values of `args` in the given apply mode: molded result or error.
std::string apply_mode(const char* function, const char* args, int32_t mode);
// The molded arguments of the last error fired, separated by blanks.
std::string fired_args();
// The category/id of the last error fired ("script/no-value").
std::string fired();
// A global word's value, molded.
std::string value_of(const char* word);

}  // namespace kel::test
