// The parse stacks seen from C++, which scripts cannot reach: whatever way a
// parse ends (an error three parses deep, a throw, a trace callback that
// fails), no level is left behind on either stack.
#include "evaluator/parse.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;
using namespace kel::test;

namespace {

struct ParseStacks : natives_test {};

TEST_F(ParseStacks, EveryExitLeavesBothStacksEmpty) {
    const char* scripts[] = {
        "parse \"a\" [(parse \"b\" [(parse \"c\" [(1 / 0)])])]",
        "catch [parse [1] [some [integer! (parse \"x\" [(throw 1)])]]]",
        "parse/trace \"ab\" [\"a\" \"b\"] func [e m r i s] [1 / 0]",
        "parse/trace \"ab\" [\"a\" \"b\"] func [e m r i s] [parse \"q\" [\"q\" (1 / 0)]]",
        "f: does [parse \"a\" [[[(return 1)]]]] f",
        "r: [r] parse \"a\" r",
        "parse \"ab\" [\"a\" \"b\"]",
    };
    for (const char* s : scripts) {
        (void)run(s);
        EXPECT_EQ(parse::rule_cells(), 0) << s;
        EXPECT_EQ(parse::input_cells(), 0) << s;
    }
}

}  // namespace
