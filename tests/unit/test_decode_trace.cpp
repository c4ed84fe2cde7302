// Tracing sees the generic step's events, in the same order, whether the
// blocks traced were decoded by untraced runs before or not, and whether
// tracing is switched on from inside a decoded body (a function flagged
// `trace`). Each program runs untraced twice (which decodes its blocks), then
// traced; the event log (event, offset, value) must match the one of the same
// program with decoding off.
#include "evaluator/decode.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct decode_trace : eval_test {
    void TearDown() override {
        decode::enabled = true;
        eval_test::TearDown();
    }

    std::string traced_run(const char* setup, const char* code, bool decoding) {
        decode::enabled = decoding;
        EXPECT_EQ(run("log: copy [] tracer: make function! [[event code offset value ref frame] "
                      "[append log event append log offset append/only log :value]] 'ok"),
                  "ok");
        EXPECT_EQ(run(setup).substr(0, 1) == "!", false) << setup;
        run(code);
        run(code);
        kel_value w = *word::from_c_string("tracer");
        const kel_value tracer = *_context::get_bound(&w);
        interpreter::start_tracing(&tracer);
        const std::string result = run(code);
        interpreter::stop_tracing();
        return value_of("log") + " => " + result;
    }
};

struct trace_row {
    const char* setup;
    const char* code;
};

TEST_F(decode_trace, the_same_events_decoded_or_not) {
    const trace_row rows[] = {
        {"f: func [a] [either a > 1 [a * 2] [a]]", "f 1 f 3"},
        {"f: func [a] [a + 1]", "loop 2 [f 1]"},
        {"n: 0", "while [n < 2] [n: n + 1]"},
        {"s: 0", "repeat i 2 [s: s + i]"},
        {"s: 0", "foreach x [1 2] [s: s + x]"},
        {"x: 0", "any [none x 2]"},
        {"x: 0", "all [1 x]"},
        {"x: 2", "case [x = 1 ['one] x = 2 ['two]]"},
        {"x: 2", "switch x [1 [10] 2 [20]]"},
        {"x: 0", "until [x: x + 1 x > 1]"},
        {"x: 0", "if x > 1 [3] unless x > 1 [4]"},
        {"f: func [a [integer!]] [a]", "try [f {x}]"},
        {"f: func [a] [a] g: does [f]", "try [g]"},
        {"f: func [a] [loop 2 [if a > 0 [return a * 10]] 0]", "f 1"},
        {"g: func [[trace] b] [b + 1] f: func [a] [g a]", "f 1"},
        {"o: make object! [v: 1 m: func [a] [a + v]]", "o/m 2"},
    };
    for (const trace_row& r : rows) {
        const std::string generic = traced_run(r.setup, r.code, false);
        const std::string decoded = traced_run(r.setup, r.code, true);
        EXPECT_EQ(decoded, generic) << r.code;
        EXPECT_NE(generic.substr(0, 3), "[] ") << r.code;  // something was traced
    }
}

}  // namespace
