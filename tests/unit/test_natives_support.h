// test_natives_support: running Kel source through the natives in unit
// tests. `run` answers the molded result, "unset!" for an unset! result,
// "error!<category>/<id>" for an error! value a `try` caught (read from the
// error value itself), "!<category>/<id>" when an error reaches the test's trap,
// and "!code <n>" when a control code comes out of the evaluation. Tables of
// (source, expected) pairs run through `expect_rows`, so they can move to Kel
// scripts as they are.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "kernel/series_memory.h"
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

namespace kel::ntest {

using test::mold;

struct natives_test : ::testing::Test {
    void SetUp() override {
        runtime_env::start();
        stack::reset();
    }
    void TearDown() override {
        interpreter::stop_tracing();
        stack::reset();
    }
};

// "script/no-value" for the last error raised.
inline std::string fired_name() {
    static const char* const categories[] = {"throw", "note", "syntax", "script", "math",
                                             "access", "reserved1", "reserved2", "user", "internal"};
    const fired_error& e = last_fired();
    return std::string(categories[static_cast<int>(e.category)]) + "/" + e.id;
}

// The last error raised with its arguments: "script/expect-arg if integer!
// then-blk" (cells molded, word arguments by name).
inline std::string fired_detail() {
    const fired_error& e = last_fired();
    std::string out = fired_name();
    for (int i = 0; i < e.argument_count; ++i)
        out += " " + (e.arg_words[i] ? std::string(e.arg_words[i]) : mold(e.args[i]));
    return out;
}

inline std::string describe(const kel_value& r) {
    switch (type_of(&r)) {
        case types::unset: return "unset!";
        case types::error: {
            // The error value's own type and id fields.
            const uint32_t type = memory::node_live_q(r.w1) ? error::type_symbol(&r) : 0;
            const uint32_t id = type ? error::id_symbol(&r) : 0;
            if (!type || !id) return "error!";
            uint32_t n = 0, m = 0;
            const char* t = symbol::name_bytes(type, &n);
            const char* i = symbol::name_bytes(id, &m);
            return "error!" + std::string(t, n) + "/" + std::string(i, m);
        }
        default: return mold(r);
    }
}

inline std::string run_block(const kel_value& block) {
    runtime_env::boot();
    const error_trap trap = open_error_trap();
    kel_value* entry = stack::top();
    kel_value* base = stack::arguments();
    const int32_t depth = stack::mark_depth();
    std::string out;
    try {
        const signal_code c = interpreter::eval_block(&block, false);
        if (c != signal_code::none) {
            out = "!code " + std::to_string(code_value(c));
            stack::regs.marks_top = stack::regs.marks_bottom + depth;
        } else {
            out = describe(*entry);
            // Every mark opened is closed, and exactly the result is left.
            if (stack::mark_depth() != depth) out += " (marks left open)";
            if (stack::top() != entry + 1) out += " (argument top moved)";
        }
        close_error_trap(trap, false);
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        if (u.code != code_value(signal_code::error)) return "!unwind " + std::to_string(u.code);
        out = "!" + fired_name();
    }
    stack::regs.top = entry;
    stack::regs.arguments = base;
    return out;
}

inline std::string run(const char* code) { return run_block(runtime_env::read(code)); }

// Runs the code and answers the error it raised with its arguments
// (fired_detail), or "no error: <result>".
inline std::string run_error(const char* code) {
    const std::string r = run(code);
    if (r.empty() || r[0] != '!' || r.compare(0, 5, "!code") == 0) return "no error: " + r;
    return fired_detail();
}

// A global word's value, described as run describes results.
inline std::string value_of(const char* name) {
    kel_value w = *word::from_c_string(name);
    return describe(*_context::get_bound(&w));
}

struct row {
    const char* source;
    const char* expected;
};

template <size_t N>
void expect_rows(const row (&rows)[N]) {
    for (const row& r : rows) EXPECT_EQ(run(r.source), r.expected) << "source: " << r.source;
}

// Rows whose expected text is the error with its arguments (run_error).
template <size_t N>
void expect_errors(const row (&rows)[N]) {
    for (const row& r : rows) EXPECT_EQ(run_error(r.source), r.expected) << "source: " << r.source;
}

}  // namespace kel::ntest
