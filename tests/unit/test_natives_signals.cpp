// Error and signal natives: try, catch, throw, break, continue, return, exit
// through every kind of mark (loops, function calls, catch, try, do, reduce,
// compose, conditionals), their receivers, and the throw-category errors when
// nothing receives them.
#include "evaluator/natives_errors.h"
#include "kernel/signals.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;

namespace {

struct NativesSignals : natives_test {};

}  // namespace

TEST_F(NativesSignals, Try) {
    const row rows[] = {
        {"try [1 / 0]", "error!math/zero-divide"},
        {"try [1]", "1"},
        {"try []", "unset!"},
        {"try [1 / 0 5]", "error!math/zero-divide"},
        {"try [try [1 / 0] 2]", "2"},
        {"try [catch [1 / 0]]", "error!math/zero-divide"},  // catch lets errors through
        {"f: does [1 / 0] try [f] try [f]", "error!math/zero-divide"},
        {"f: func [n] [loop 3 [if n = 0 [1 / 0] n: n - 1]] try [f 2]", "error!math/zero-divide"},
        {"try [undefined-word]", "error!script/no-value"},
        {"try/keep [1 / 0]", "error!math/zero-divide"},
        {"x: try [1 / 0] 3", "3"},
        // A plain try lets every signal pass ...
        {"loop 3 [try [break]] 9", "9"},
        {"loop 3 [try [break/return 4]]", "4"},
        {"x: 0 loop 3 [try [x: x + 1 continue] x: 100] x", "3"},
        {"f: func [] [try [return 3] 4] f", "3"},
        {"f: func [] [try [exit] 4] f", "unset!"},
        {"catch [try [throw 1]]", "1"},
        // ... and try/all stops every one of them as an error.
        {"try/all [break]", "error!throw/break"},
        {"try/all [continue]", "error!throw/continue"},
        {"try/all [throw 1]", "error!throw/throw"},
        {"catch [try/all [throw 1]]", "error!throw/throw"},
        {"x: 0 loop 3 [x: x + 1 try/all [break]] x", "3"},
        {"f: func [] [try/all [return 3] 4] f", "4"},
        {"f: func [] [try/all [exit] 4] f", "4"},
        {"try/all [1 / 0]", "error!math/zero-divide"},
        {"try/all [5]", "5"},
    };
    expect_rows(rows);
}

TEST_F(NativesSignals, CatchAndThrow) {
    const row rows[] = {
        {"catch [throw 1]", "1"},
        {"catch [1 2]", "2"},
        {"catch [throw [a b]]", "[a b]"},
        {"catch [throw ()]", "unset!"},
        {"catch [throw 1 2]", "1"},
        {"catch [throw 1] catch [throw 2]", "2"},
        {"catch/name [throw/name 1 'a] 'a", "1"},
        {"catch [catch/name [throw 1] 'a]", "1"},  // an unnamed throw passes a named catch
        {"catch/name [throw/name 2 'b] [a b]", "2"},
        {"catch/name [throw/name 1 'a] [a 2]", "1"},  // the walk stops at the match
        {"catch/name [throw/name 1 'b] [a 2 b]", "!script/invalid-refine-arg"},
        {"catch/name [throw/name 2 'B] 'b", "2"},  // names compare without letter case
        {"catch [catch/name [throw/name 1 'a] 'b]", "1"},
        {"catch/name [catch/name [throw/name 1 'a] 'b] 'a", "1"},
        {"catch/name [catch [throw/name 5 'a]] 'b", "5"},  // an unnamed catch takes every throw
        {"catch/name [throw/name 1 'a] 'b", "!throw/throw"},
        {"catch/name [throw/name 1 'a] [b]", "!throw/throw"},
        {"catch/name [catch/name [throw 1] 'a] 'b", "!throw/throw"},
        {"f: does [throw 9] catch [f 1]", "9"},
        {"f: func [x] [if x = 0 [throw/name 'done 'stop] f x - 1] catch/name [f 5] 'stop", "done"},
        {"catch [loop 3 [throw 4]]", "4"},
        {"catch [foreach x [1 2 3] [if x = 2 [throw x * 10]]]", "20"},
        {"s: [1 2 3] catch [forall s [if s/1 = 2 [throw 0]]] s", "[2 3]"},
        {"catch [do [throw 6]]", "6"},
        {"catch [reduce [1 throw 7]]", "7"},
        {"catch [compose [(throw 8)]]", "8"},
        {"catch [case [true [throw 9]]]", "9"},
        {"loop 3 [catch [break/return 4]]", "4"},  // catch lets break through
        {"f: func [] [catch [return 3] 4] f", "3"},
        {"try [catch [1 / 0]] catch [throw 1]", "1"},
        {"throw 1", "!throw/throw"},
    };
    expect_rows(rows);
    EXPECT_EQ(run_error("throw 1"), "throw/throw 1");
    EXPECT_EQ(run_error("catch/name [throw/name [x] 'a] 'b"), "throw/throw [x]");
    EXPECT_EQ(run_error("catch/name [throw/name 1 'b] [a 2 b]"), "script/invalid-refine-arg name [a 2 b]");
}

TEST_F(NativesSignals, BreakAndContinueThroughEveryMark) {
    const row rows[] = {
        {"loop 2 [catch [break/return 3]]", "3"},
        {"loop 2 [try [break/return 3]]", "3"},
        {"loop 2 [do [break/return 3]]", "3"},
        {"loop 2 [reduce [break/return 3]]", "3"},
        {"loop 2 [compose [(break/return 3)]]", "3"},
        {"loop 2 [either true [break/return 3] []]", "3"},
        {"loop 2 [any [break/return 3]]", "3"},
        {"loop 2 [all [break/return 3]]", "3"},
        {"loop 2 [case [true [break/return 3]]]", "3"},
        {"loop 2 [switch 1 [1 [break/return 3]]]", "3"},
        {"f: does [break/return 3] loop 2 [f]", "3"},
        {"f: does [g] g: does [break/return 3] loop 2 [f]", "3"},
        {"loop 2 [(break/return 3)]", "3"},
        {"loop 2 [x: break/return 3]", "3"},
        {"x: 0 loop 3 [x: x + 1 do [continue] x: 100] x", "3"},
        {"x: 0 f: does [continue] loop 3 [x: x + 1 f x: 100] x", "3"},
        {"x: 0 loop 2 [loop 2 [x: x + 1 break] x: x + 10] x", "22"},  // only the inner loop ends
        {"break", "!throw/break"},
        {"continue", "!throw/continue"},
        {"break/return 1", "!throw/break"},
        {"f: does [break] f", "!throw/break"},
        {"loop 2 [try/all [break]]", "error!throw/break"},
    };
    expect_rows(rows);
}

TEST_F(NativesSignals, ReturnAndExitThroughEveryMark) {
    const row rows[] = {
        {"f: func [] [loop 3 [return 5]] f", "5"},
        {"f: func [] [foreach x [1 2] [either true [return x * 3] [0]]] f", "3"},
        {"f: func [] [do [return 1] 2] f", "1"},
        {"f: func [] [reduce [return 1] 2] f", "1"},
        {"f: func [] [compose [(return 1)] 2] f", "1"},
        {"f: func [] [case [true [return 1]] 2] f", "1"},
        {"f: func [] [switch 1 [1 [return 1]] 2] f", "1"},
        {"f: func [] [catch [return 1] 2] f", "1"},
        {"f: func [] [while [true] [return 1]] f", "1"},
        {"f: func [] [any [return 1] 2] f", "1"},
        {"f: func [] [forever [return 1]] f", "1"},
        {"f: func [] [s: [1 2] forall s [return s]] f", "[1 2]"},
        {"f: func [] [g: func [] [return 5] 1 + g] f", "6"},  // return ends the innermost function
        {"f: func [n] [if n = 0 [return 0] 1 + f n - 1] f 10", "10"},
        {"f: func [] [loop 2 [exit] 1] f", "unset!"},
        {"f: func [] [exit 1] f", "unset!"},
        {"f: func [] [return ()] f", "unset!"},
        {"return 1", "!throw/return"},
        {"exit", "!throw/return"},
        {"loop 2 [return 1]", "!throw/return"},
    };
    expect_rows(rows);
}

TEST_F(NativesSignals, TrySettleForCodeThatCatchesItself) {
    // A compiled try: its own try mark, the error caught in C++, then the
    // ending shared with the native.
    const auto compiled_try = [](auto&& body, bool keep) {
        stack::open_native_frame(nullptr);
        kel_value* base = stack::arguments();
        const kel_value marker = kel::test::int_v(-1);
        stack::push_copy(&marker);
        stack::open_try_frame(nullptr);
        try {
            body();
        } catch (const kel_unwind&) {
            natives::try_settle(keep);
        }
        return *base;
    };
    const kel_value r = compiled_try([] { fire(error_category::math, "zero-divide"); }, false);
    EXPECT_EQ(describe(r), "error!math/zero-divide");
    stack::reset();
    // An error that a throw became at a try/all mark travels on to the next
    // receiver: here the test's trap.
    const kel_value one = kel::test::int_v(1);
    EXPECT_TRUE(fires([&] {
        (void)compiled_try([&] { fire(error_category::throw_, "throw", &one); }, true);
    }, "throw"));
    stack::reset();
}
