// Paths: get and set steps through the path-step handlers, get-word and
// paren elements, the path errors, functions named by a path (refinements)
// or reached through one (a method call), and set-path results.
#include "evaluator/native_api_words.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct EvalPaths : eval_test {};

struct row {
    const char* code;
    const char* expected;
    const char* error_args = nullptr;
};

void check(const row* rows, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(run(rows[i].code), rows[i].expected) << rows[i].code;
        if (rows[i].error_args) {
            EXPECT_EQ(fired_args(), rows[i].error_args) << rows[i].code;
        }
    }
}

}  // namespace

TEST_F(EvalPaths, GetSteps) {
    const row rows[] = {
        {"b: [10 20 30] b/2", "20"},
        {"b: [10 20 30] b/4", "none"},
        {"b: [a 1 b 2] b/b", "2"},
        {"b: [[1 2] [3 4]] b/2/1", "3"},
        {"b: [10 20 30] i: 3 b/:i", "30"},
        {"b: [10 20 30] b/(1 + 1)", "20"},
        {"b: [10 20 30] :b/1", "10"},
        {"b: [10 20 30] b/2 + 1", "21"},  // the path's value takes the operator
        {"b: [10 20 30] append [] b/3", "[30]"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalPaths, SetSteps) {
    const row rows[] = {
        {"b: [10 20 30] b/2: 99 b", "[10 99 30]"},
        {"b: [10 20 30] b/2: 99", "99"},
        {"b: [10 20 30] b/(1 + 2): 7 b", "[10 20 7]"},
        {"b: [[1 2] [3 4]] b/2/1: 9 b", "[[1 2] [9 4]]"},
        {"b: [10 20 30] i: 1 b/:i: 5 b", "[5 20 30]"},
        {"b: [10 20 30] b/2: 1 + 2 b", "[10 3 30]"},
        {"b: [x 1] b/x: 2 b", "[x 2]"},
        {"b: [10 20 30] b/2:", "!script/need-value"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalPaths, Errors) {
    const row rows[] = {
        {"nope-path-head/1", "!script/unset-path"},
        {"b: [1 2] b/:nope-element", "!script/invalid-path"},
        {"b: [1 2] b/()", "!script/invalid-path"},
        {"x: 5 x/1", "!script/bad-path-type"},
        {"b: [[1] 2] b/2/1", "!script/bad-path-type"},
        {"f: make function! [[/r] [1]] f/r: 1", "!script/invalid-path-set"},
        {"f: make function! [[/r] [1]] :f/r", "!script/invalid-path-get"},
    };
    check(rows, std::size(rows));
    // The invalid element is named; the unsupported step names the type and
    // the path cut before the failing element.
    EXPECT_EQ(run("nope-path-head/1"), "!script/unset-path");
    EXPECT_EQ(type_of(&last_fired().args[0]), types::path);
    EXPECT_EQ(mold(last_fired().args[1]), "nope-path-head");
    EXPECT_EQ(run("b: [1 2] b/:nope-element"), "!script/invalid-path");
    EXPECT_EQ(mold(last_fired().args[1]), ":nope-element");
    EXPECT_EQ(run("x: 5 x/1"), "!script/bad-path-type");
    EXPECT_EQ(mold(last_fired().args[1]), "integer!");
    EXPECT_EQ(block::ks_length_q(&last_fired().args[2]), 1);

    // Paths the reader cannot write: empty, and not starting with a word.
    kel_value empty = block_of({}, types::path);
    EXPECT_EQ(run_block(block_of({empty})), "!script/empty-path");
    kel_value numeric = block_of({int_v(1), int_v(2)}, types::path);
    EXPECT_EQ(run_block(block_of({numeric})), "!script/word-first");
}

TEST_F(EvalPaths, FunctionsReachedThroughPaths) {
    const row rows[] = {
        // A function named by the head takes the rest as refinements.
        {"f: make function! [[a /twice] [either twice [a * 2] [a]]] f/twice 4", "8"},
        // A function stepped to is called with the rest of the path as its
        // refinements and the code after the path as its arguments.
        {"f: make function! [[a /twice] [either twice [a * 2] [a]]] b: append copy [] :f b/1 5", "5"},
        {"f: make function! [[a /twice] [either twice [a * 2] [a]]] b: append copy [] :f b/1/twice 5", "10"},
        {"f: make function! [[a] [a]] b: append copy [] :f :b/1", "func [a][a]"},
        {"f: make function! [[a] [a]] b: append copy [] :f b/1", "!script/no-arg"},
    };
    check(rows, std::size(rows));
}

// Scripts cannot add a word to an object, but the runtime can: a field found
// through a path before, and one that was missing then, are both found after.
TEST_F(EvalPaths, ObjectFieldsAfterTheObjectGrew) {
    ASSERT_EQ(run("grow-obj: make object! [x: 1 y: 2] grow-obj/y: grow-obj/y + 1 grow-obj/x"), "1");
    EXPECT_EQ(run("grow-obj/z"), "!script/unset-path");
    EXPECT_EQ(run("grow-obj/z: 0"), "!script/invalid-path");
    kel_value name = *word::from_c_string("grow-obj");
    const uint32_t ctx = word_ops::get(&name)->w1;
    kel_value z = *word::from_c_string("z");
    const int32_t at = _context::index_or_add_word(ctx, &z);
    ASSERT_EQ(at, 2);
    _context::values(ctx)[at] = int_v(30);
    EXPECT_EQ(run("grow-obj/z: grow-obj/z + 1 reduce [grow-obj/x grow-obj/y grow-obj/z]"), "[1 3 31]");
    EXPECT_EQ(run("grow-obj/x: 10 grow-obj/y: 20 reduce [grow-obj/x grow-obj/y grow-obj/z]"), "[10 20 31]");
}
