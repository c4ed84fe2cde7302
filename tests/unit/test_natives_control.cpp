// Control natives: conditionals, loops, switch and case, by Kel source and
// its molded result or error.
#include "datatypes/block.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;

namespace {

struct NativesControl : natives_test {};

// `m`: a value of type map! (its contents are never read by the errors
// tested here), until maps can be written in source.
void define_map() {
    kel_value* b = block::make_at_tail(nullptr, 2);
    kel_value m = *b;
    set_type(&m, types::map);
    m.w3 = 0;
    runtime_env::define("m", m);
}

}  // namespace

TEST_F(NativesControl, Conditionals) {
    const row rows[] = {
        {"if true [1]", "1"},
        {"if false [1]", "none"},
        {"if none [1]", "none"},
        {"if 0 [1]", "1"},
        {"if () [1]", "1"},  // unset! counts as true here
        {"if true []", "unset!"},
        {"unless false [2]", "2"},
        {"unless none [2]", "2"},
        {"unless 0 [2]", "none"},
        {"unless () [2]", "none"},
        {"either true [1] [2]", "1"},
        {"either false [1] [2]", "2"},
        {"either 0 [1] [2]", "1"},
        {"either () [1] [2]", "!script/no-return"},
        {"any [none false 3 4]", "3"},
        {"any [false none]", "none"},
        {"any []", "none"},
        {"any [()]", "unset!"},
        {"any [1 + 1 2]", "2"},
        {"x: 0 any [(x: 1 false) 5 (x: 2)] x", "1"},  // stops at the first true value
        {"all []", "none"},
        {"all [1 none 2]", "none"},
        {"all [1 2 * 3]", "6"},
        {"all [1 ()]", "unset!"},
        {"x: 0 all [(x: 1 none) (x: 2)] x", "1"},
        {"loop 3 [if true [break/return 1]]", "1"},
    };
    expect_rows(rows);
}

TEST_F(NativesControl, Switch) {
    const row rows[] = {
        {"switch 2 [1 [a] 2 [20] 3 [30]]", "20"},
        {"switch 3 [1 [a] 2 [b]]", "none"},
        {"switch/default 3 [1 [a] 2 [b]] [9]", "9"},
        {"switch 1 [1.0 [a]]", "none"},  // another datatype never matches
        {"switch/default 1 [1.0 [a]] [9]", "9"},
        {"switch 1 [1 2 3 [10] 4 [20]]", "10"},  // the first block after the match is the branch
        {"switch 3 [1 2 3 [10] 4 [20]]", "10"},
        {"switch 'b [a [1] b [2]]", "2"},
        {"switch \"A\" [\"a\" [1]]", "1"},
        {"switch [1] [[1] [a]]", "none"},  // a block! value matches nothing
        {"switch/default [1] [[1] [a]] [9]", "9"},
        {"switch 2 [1 [a] 2]", "none"},  // a match without a branch
        {"switch/default 2 [1 [a] 2] [9]", "none"},
        {"switch () [1 [a]]", "none"},
        {"loop 2 [switch 1 [1 [break/return 7]]]", "7"},
    };
    expect_rows(rows);
}

TEST_F(NativesControl, Case) {
    const row rows[] = {
        {"case [false [1] true [2] true [3]]", "2"},
        {"case [false [1]]", "none"},
        {"case []", "none"},
        {"case [true 1 + 2]", "3"},  // a branch that is not a block is one expression
        {"case [1 + 1 = 2 [10]]", "10"},
        {"case [0 [1]]", "1"},
        {"x: 0 case [false (x: 1) true [x]]", "0"},  // a skipped branch is not evaluated
        {"case/all [true [1] true [2] false [3]]", "none"},
        {"case/all [true [1] false [2] true [3]]", "3"},
        {"x: 0 case/all [true [x: x + 1] true [x: x + 10] false [x: 100]] x", "11"},
        {"case/all [false [1]]", "none"},
        {"case [false]", "!script/need-value"},
        {"case [true]", "!script/need-value"},
        {"case/all [true [1] true]", "!script/need-value"},
        {"case [() [1]]", "!script/no-return"},
    };
    expect_rows(rows);
    EXPECT_EQ(run_error("case [true]"), "script/need-value case");
}

TEST_F(NativesControl, WhileUntilLoopForever) {
    const row rows[] = {
        {"x: 0 while [x < 3] [x: x + 1]", "unset!"},
        {"x: 0 while [x < 3] [x: x + 1] x", "3"},
        {"while [false] []", "unset!"},
        {"while [true] [break/return 5]", "unset!"},  // while is always unset!
        {"x: 0 while [x < 5] [x: x + 1 if x = 3 [break]] x", "3"},
        {"x: 0 y: 0 while [x < 4] [x: x + 1 if x = 2 [continue] y: y + x] y", "8"},
        {"while [break] []", "!throw/while-cond"},
        {"while [continue] []", "!throw/while-cond"},
        {"while [()] []", "!script/no-return"},
        {"x: 0 until [x: x + 1 x = 3]", "true"},
        {"x: 0 until [x: x + 1 if x < 3 [continue] true] x", "3"},  // continue skips the test
        {"until [break/return 4]", "4"},
        {"until [break]", "unset!"},
        {"until [()]", "!script/no-return"},
        {"loop 0 [1]", "none"},
        {"loop -3 [1]", "none"},
        {"x: 0 loop 2.9 [x: x + 1] x", "2"},
        {"loop 0.9 [1]", "none"},
        {"loop 10000000000.0 [1]", "none"},  // outside the 32-bit range
        {"loop 3 [7]", "7"},
        {"loop 3 [break/return 7]", "7"},
        {"loop 3 [break]", "unset!"},
        {"x: 0 loop 3 [x: x + 1 continue x: 100] x", "3"},
        {"loop 2 [continue]", "unset!"},
        {"x: copy [] loop 2 [loop 3 [append x 1 break] append x 2] x", "[1 2 1 2]"},
        {"f: does [break/return 8] loop 5 [f]", "8"},  // through a function's mark
        {"x: 0 forever [x: x + 1 if x = 5 [break/return x * 2]]", "10"},
        {"x: 0 forever [x: x + 1 if x < 3 [continue] break] x", "3"},
        {"forever [break]", "unset!"},
        {"try [loop 3 [1 / 0]] loop 2 [1]", "1"},
    };
    expect_rows(rows);
}

TEST_F(NativesControl, Repeat) {
    const row rows[] = {
        // The counter is the loop's own: three rounds, and the word ends at 3.
        {"n: 0 repeat i 3 [n: n + 1 i: 10] reduce [n i]", "[3 3]"},
        {"x: copy [] repeat i 3 [append x i i: 10] x", "[1 2 3]"},
        {"repeat i 3 [i * 2]", "6"},
        {"x: 0 repeat i 3 [x: x + i] x", "6"},
        {"i: 7 repeat i 0 [1]", "none"},
        {"i: 7 repeat i -1 [1] i", "7"},
        {"repeat i 2.5 [i]", "2"},
        {"x: 0 repeat i 5 [x: i if i = 3 [break]] reduce [x i]", "[3 3]"},
        {"repeat i 5 [if i = 2 [break/return i * 100]]", "200"},
        {"x: copy [] repeat i 3 [if i = 2 [continue] append x i] x", "[1 3]"},
        {"k: 0 f: function [] [repeat k 2 [k]] reduce [f k]", "[2 0]"},  // a local word of the function
    };
    expect_rows(rows);
}

TEST_F(NativesControl, Foreach) {
    define_map();
    const row rows[] = {
        {"x: copy [] foreach a [1 2 3] [append x a * 2] x", "[2 4 6]"},
        {"foreach x [1 2 3] [x * 10]", "30"},
        {"foreach a [] [1]", "unset!"},
        {"s: [1 2 3] foreach x s [] s", "[1 2 3]"},  // the caller's series does not move
        {"x: copy [] foreach [a b] [1 2 3] [append x reduce [a b]] x", "[1 2 3 none]"},
        {"x: copy [] foreach c \"abc\" [append x c] x", "[#\"a\" #\"b\" #\"c\"]"},
        {"x: copy [] foreach [a b] \"abc\" [append x reduce [a b]] x", "[#\"a\" #\"b\" #\"c\" none]"},
        {"x: copy [] foreach c next \"abc\" [append x c] x", "[#\"b\" #\"c\"]"},
        {"x: copy [] foreach a [1 2] [foreach b [3 4] [append x a * b]] x", "[3 4 6 8]"},
        {"foreach x [1 2 3] [if x = 2 [break/return x * 7]]", "14"},
        {"x: copy [] foreach a [1 2 3] [if a = 2 [continue] append x a] x", "[1 3]"},
        {"b: [1 2 3] foreach x b [clear b]", "[]"},  // a series cut short ends the loop
        {"n: 0 b: [1 2] foreach x b [n: n + 1 if n < 3 [append b x]] reduce [n b]", "[4 [1 2 1 2]]"},
        {"foreach [] [1 2] []", "!script/invalid-arg"},
        {"foreach [a 1] [1 2] []", "!script/invalid-arg"},
        {"foreach x m []", "!script/invalid-arg"},
        {"foreach [k] m []", "!script/invalid-arg"},
        {"foreach [k v w] m []", "!script/invalid-arg"},
    };
    expect_rows(rows);
    EXPECT_EQ(run_error("foreach [] [1 2] []"), "script/invalid-arg []");
    EXPECT_EQ(run_error("foreach x m []"), "script/invalid-arg x");
    EXPECT_EQ(run_error("foreach [k] m []"), "script/invalid-arg [k]");
}

TEST_F(NativesControl, Forall) {
    const row rows[] = {
        {"s: [1 2 3] x: copy [] forall s [append x s/1] reduce [x s]", "[[1 2 3] [1 2 3]]"},
        {"s: [1 2 3] forall s [s/1]", "3"},
        {"s: next [1 2 3] forall s [] s", "[2 3]"},  // back at the position it started from
        {"s: [1 2 3] forall s [if s/1 = 2 [break]] s", "[2 3]"},  // a break leaves it where it is
        {"s: [1 2 3] forall s [if s/1 = 2 [break/return 9]]", "9"},
        {"s: [1 2 3] x: 0 forall s [if s/1 = 2 [continue] x: x + s/1] reduce [x s]", "[4 [1 2 3]]"},
        {"s: \"abc\" x: copy [] forall s [append x s/1] x", "[#\"a\" #\"b\" #\"c\"]"},
        {"s: [1 2 3 4] forall s [s: next s] s", "[1 2 3 4]"},  // moving the word skips values
        {"s: [1 2 3 4] x: copy [] forall s [append x s/1 s: next s] x", "[1 3]"},
        {"s: [1 2 3 4] forall s [remove s] s", "[2 4]"},
        {"s: [] forall s [1]", "unset!"},
        {"s: [1 2 3] forall s [s: [4]]", "!script/bad-loop-series"},
        {"s: [1 2 3] forall s [s: 5]", "!script/bad-loop-series"},
        {"x: 5 forall x []", "!script/expect-arg"},
        {"forall undefined-word []", "!script/no-value"},
    };
    expect_rows(rows);
    EXPECT_EQ(run_error("s: [1 2 3] forall s [s: [4]]"), "script/bad-loop-series [4]");
}

TEST_F(NativesControl, RemoveEach) {
    const row rows[] = {
        {"s: [1 2 3 4] remove-each x s [even? x]", "[1 3]"},
        {"s: [1 2 3 4] remove-each x s [even? x] s", "[1 3]"},
        {"s: next [1 2 3 4] remove-each x s [even? x]", "[3]"},  // the data at its start
        {"s: next [1 2 3 4] remove-each x s [even? x] head s", "[1 3]"},
        {"s: [1 2 3] remove-each [] s [true]", "[1 2 3]"},  // no words: no round
        {"remove-each [a b] s: [1 2 3 4 5] [a = 3] s", "[1 2 5]"},
        {"remove-each [a b] s: [1 2 3] [a = 3] s", "[1 2]"},
        {"remove-each x s: [1 2 3 4] [if x = 3 [break] true] s", "[3 4]"},
        {"remove-each x [1 2] [continue]", "[]"},  // continue leaves unset!, which is not false
        {"remove-each x [1 2 3] [none]", "[1 2 3]"},
        {"remove-each c s: \"a1b2\" [c = pick \"1\" 1] s", "\"ab2\""},
        {"remove-each [a 1] [1 2] []", "!script/invalid-arg"},
    };
    expect_rows(rows);
}
