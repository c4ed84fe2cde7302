#include "tests/unit/eval_support.h"
using namespace kel;
using namespace kel::test;
struct EvalSmoke : eval_test {};
TEST_F(EvalSmoke, Basics) {
    EXPECT_EQ(run("1 + 2 * 3"), "9");
    EXPECT_EQ(run("x: 10 x + 1"), "11");
    EXPECT_EQ(run("f: make function! [[n] [n * 2]] f 21"), "42");
    EXPECT_EQ(run("fib: make function! [[n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]]] fib 20"), "6765");
    EXPECT_EQ(run("append [1 2] 3"), "[1 2 3]");
    EXPECT_EQ(run("undefined-word"), "!script/no-value");
}
