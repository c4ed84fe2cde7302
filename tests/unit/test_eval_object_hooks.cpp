// The object module's hooks wired to the interpreter: object specs are
// evaluated, and on-change* handlers run for real.
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {
struct EvalObjectHooks : eval_test {};
}  // namespace

TEST_F(EvalObjectHooks, ObjectSpecsAndChangeHandlersRunInTheInterpreter) {
    EXPECT_EQ(run("o: make object! [a: 1 + 1 seen: copy [] on-change*: make function! [[word old new] "
                  "[append seen old append seen new]]] o/a"),
              "2");
    EXPECT_EQ(run("o/a: 5 o/seen"), "[2 5]");
}
