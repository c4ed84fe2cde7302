// Word, value and comparison natives: get, set, unset, value?, context?, in,
// bind, construct, extend, type?, not, the seven comparisons, same?,
// new-line and new-line?, each through Kel source and its molded result,
// with the errors a script can cause.
#include "datatypes/object.h"
#include "evaluator/natives_words.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;

namespace {

// Objects evaluate their specs and run their change handlers through two
// hooks; until the evaluator installs them, these run them through the
// interpreter (put back after each test).
signal_code eval_spec(const kel_value* block) { return interpreter::eval_block(block, false); }
signal_code run_handler(const kel_value* fn, uint32_t object_ctx, uint32_t mask) {
    return interpreter::call_function_body(fn, object_ctx, nullptr, mask);
}

struct NativesWords : natives_test {
    object::eval_fn saved_eval = nullptr;
    object::invoke_fn saved_invoke = nullptr;
    void SetUp() override {
        natives_test::SetUp();
        saved_eval = object::eval_block;
        saved_invoke = object::invoke_hook;
        if (!object::eval_block) object::eval_block = eval_spec;
        if (!object::invoke_hook) object::invoke_hook = run_handler;
    }
    void TearDown() override {
        object::eval_block = saved_eval;
        object::invoke_hook = saved_invoke;
        natives_test::TearDown();
    }
};

// `marks b`: the new-line markers of b's cells from its position, as logic!s.
constexpr const char* marks = "marks: func [b /local r] [r: copy [] forall b [append r new-line? b] r] ";

std::string with_marks(const char* code) { return std::string(marks) + code; }

}  // namespace

TEST_F(NativesWords, ComparisonNativesAnswerFromTheirOwnEntries) {
    // The comparison natives and `not` sit in their own entries, the
    // comparisons with the compare fast path.
    EXPECT_EQ(natives::at(natives::number::equal_q).fn, natives::equal_q_star);
    EXPECT_EQ(natives::at(natives::number::greater_or_equal_q).fn, natives::greater_or_equal_q_star);
    EXPECT_EQ(natives::at(natives::number::not_).fn, natives::not_star);
    EXPECT_EQ(natives::at(natives::number::lesser_q).fast, natives::fast_path::compare);
    EXPECT_EQ(natives::at(natives::number::lesser_q).fast_code, cmp::lesser);
    EXPECT_EQ(natives::at(natives::number::greater_q).fast_code, cmp::greater);
}

TEST_F(NativesWords, Get) {
    const row rows[] = {
        {"x: 5 get 'x", "5"},
        {"x: [1 2] w: [x] get w/1", "[1 2]"},
        {"get 'never-set-here", "!script/no-value"},
        {"get/any 'never-set-here", "unset!"},
        {"o: make object! [a: 1 b: \"s\"] get o", "[1 \"s\"]"},
        {"o: make object! [] get o", "[]"},
        {"o: make object! [a: 1 b: [2 3]] get 'o/b", "[2 3]"},
        {"o: make object! [a: 1 b: [2 3]] get 'o/b/2", "3"},
        {"o: make object! [p: make object! [q: 7]] get 'o/p/q", "7"},
        // A function's word read while the function does not run.
        {"f: func [x] ['x] w: f 1 get w", "!script/not-in-context"},
        {"f: func [x] ['x] w: f 1 get/any w", "!script/not-in-context"},
    };
    expect_rows(rows);
    const row errors[] = {
        {"get 'never-set-here", "script/no-value never-set-here"},
        {"get 1", "script/expect-arg get integer! word"},
        {"get [a]", "script/expect-arg get block! word"},
    };
    expect_errors(errors);
}

TEST_F(NativesWords, Set) {
    const row rows[] = {
        {"set 'a 1 a", "1"},
        {"set 'a 2", "2"},
        {"set/any 'a () value? 'a", "false"},
        {"set/any 'a ()", "unset!"},
        {"set [a b c] [1 2] reduce [a b c]", "[1 2 none]"},
        {"set [a b] [1 2 3] reduce [a b]", "[1 2]"},
        {"set [a b] next [1 2 3] reduce [a b]", "[2 3]"},
        {"a: 9 set/some [a b] reduce [none 3] reduce [a b]", "[9 3]"},
        {"a: 9 b: 8 set/some [a b] [1] reduce [a b]", "[1 8]"},
        {"a: 0 set [a b] 7 reduce [a b]", "[7 7]"},
        {"set/only [a b] [1 2] reduce [a b]", "[[1 2] [1 2]]"},
        {"set [a b] 'x/y reduce [a b]", "[x y]"},
        {"set [a b] to paren! [5 6] reduce [a b]", "[5 6]"},
        {"set [b: 'c :d] [1 2 3] reduce [b c d]", "[1 2 3]"},
        {"set [] [1 2]", "[1 2]"},
        {"set [a b] [1 2]", "[1 2]"},
        // Every check comes before the first assignment.
        {"a: 0 try [set [a b] reduce [1 ()]] a", "0"},
        {"a: 0 try [set [a 1] [2 3]] a", "0"},
        {"set/any [a b] reduce [1 ()] reduce [a value? 'b]", "[1 false]"},
        // Paths are set as set-paths.
        {"o: make object! [a: 1] set 'o/a 5 o/a", "5"},
        {"o: make object! [a: [1 2]] set 'o/a/2 9 o/a", "[1 9]"},
        // Objects: positionally from a block, by name from an object, or one value for all.
        {"o: make object! [a: 1 b: 2] set o [3 4] reduce [o/a o/b]", "[3 4]"},
        {"o: make object! [a: 1 b: 2] set o [3] reduce [o/a o/b]", "[3 none]"},
        {"o: make object! [a: 1 b: 2] set o 7 reduce [o/a o/b]", "[7 7]"},
        {"o: make object! [a: 1 b: 2] set/some o reduce [none 5] reduce [o/a o/b]", "[1 5]"},
        {"o: make object! [a: 1 b: 2] set/only o [5] reduce [o/a o/b]", "[[5] [5]]"},
        {"o: make object! [a: 1 b: 2] set o make object! [b: 8 z: 0] reduce [o/a o/b]", "[1 8]"},
        // A word of an object is set through its binding: the change handler runs.
        {"o: make object! [a: 1 log: [] on-change*: func [w old new] [append log reduce [w old new]]] "
         "set in o 'a 5 o/log",
         "[a 1 5]"},
        {"f: func [x] ['x] set f 1 5", "!script/not-defined"},
    };
    expect_rows(rows);
    const row errors[] = {
        {"set 'a ()", "script/need-value a"},
        {"set [a b] ()", "script/need-value [a b]"},
        {"set [a b] reduce [1 ()]", "script/need-value b"},
        {"set [a 1] [2 3]", "script/invalid-arg 1"},
        {"set [a \"b\"] 1", "script/invalid-arg \"b\""},
        {"o: make object! [a: 1 b: 2] set o reduce [1 ()]", "script/need-value b"},
        {"set 1 2", "script/expect-arg set integer! word"},
    };
    expect_errors(errors);
}

TEST_F(NativesWords, UnsetAndValueQ) {
    const row rows[] = {
        {"a: 1 unset 'a value? 'a", "false"},
        {"a: 1 unset 'a", "unset!"},
        {"a: 1 b: 2 c: 3 unset [a 1 \"x\" b] reduce [value? 'a value? 'b value? 'c]", "[false false true]"},
        {"a: 1 unset [a: 'a] value? 'a", "true"},  // only word!s in a block
        {"a: 1 unset 'a get/any 'a", "unset!"},
        {"value? 'never-set-either", "false"},
        {"a: none value? 'a", "true"},
        {"a: false value? 'a", "true"},
        {"f: func [x] ['x] value? f 1", "false"},
        {"f: func [x] [value? 'x] f 1", "true"},
        {"o: make object! [a: 1] value? in o 'a", "true"},
    };
    expect_rows(rows);
    const row errors[] = {
        {"value? 1", "script/expect-arg value? integer! value"},
        {"unset 1", "script/expect-arg unset integer! word"},
    };
    expect_errors(errors);
}

TEST_F(NativesWords, ContextQAndIn) {
    const row rows[] = {
        {"o: make object! [a: 1] same? o context? in o 'a", "true"},
        {"o: make object! [a: 1] w: in o 'a same? o context? w", "true"},
        {"f: func [x] [context? 'x] c: f 1 same? :f :c", "true"},
        {"same? system/words context? 'a", "true"},  // the global context's owner is system/words
        {"o: make object! [a: 1] get in o 'a", "1"},
        {"o: make object! [a: 1] in o 'a", "a"},
        {"o: make object! [a: 1] in o 'zz", "none"},
        {"o: make object! [a: 1] type? in o /a", "word!"},
        {"o: make object! [a: 1] w: [a:] type? in o w/1", "set-word!"},
        {"o: make object! [a: 1] w: [:a] type? in o w/1", "get-word!"},
        {"o: make object! [Abc: 1] get in o 'aBC", "1"},
        {"o: make object! [a: 1] a: 2 reduce [get 'a get in o 'a]", "[2 1]"},
        {"f: func [x y] [1] in :f 'y", "y"},
        {"f: func [x y] [1] in :f 'z", "none"},
        {"in :append 'series", "!internal/not-done"},
    };
    expect_rows(rows);
    const row errors[] = {
        {"in 1 'a", "script/expect-arg in integer! object"},
        {"in make object! [] 1", "script/expect-arg in integer! word"},
        {"context? 1", "script/expect-arg context? integer! word"},
    };
    expect_errors(errors);
}

TEST_F(NativesWords, Bind) {
    const row rows[] = {
        {"o: make object! [a: 10] b: [a + 1] bind b o do b", "11"},
        {"a: 1 o: make object! [a: 10] b: [a] c: bind/copy b o reduce [do b do c]", "[1 10]"},
        {"a: 1 o: make object! [a: 10] b: [[a] (a)] bind b o reduce [do b/1 do b/2]", "[10 10]"},
        {"a: 1 o: make object! [a: 10] b: [[a]] c: bind/copy b o reduce [do b/1 do c/1]", "[1 10]"},
        {"o: make object! [a: 10] b: [a] same? b bind b o", "true"},
        {"o: make object! [a: 10] b: [a] same? b bind/copy b o", "false"},
        {"o: make object! [a: 10] get bind 'a o", "10"},
        {"o: make object! [a: 10] x: 5 get bind 'x o", "5"},  // no such word: unchanged
        {"o: make object! [a: 10 w: 'a] b: [a] bind b o/w do b", "10"},  // the word's context
        {"a: 1 o: make object! [a: 10] b: [a] bind b 'a do b", "1"},
        {"o: make object! [a: 1] same? o do bind [self] o", "true"},
        {"f: func [x] [do blk] blk: bind [x * 2] :f f 21", "42"},
        {"o: make object! [a: 10] b: [c: a] bind b o do b c", "10"},
        // A block holding itself is bound once, without looping.
        {"b: [a] append/only b b o: make object! [a: 10] bind b o get b/1", "10"},
    };
    expect_rows(rows);
    const row errors[] = {
        {"bind [a] 1", "script/expect-arg bind integer! context"},
        {"bind [a] \"o\"", "script/expect-arg bind string! context"},
        {"bind 1 make object! []", "script/expect-arg bind integer! word"},
    };
    expect_errors(errors);
}

TEST_F(NativesWords, ConstructAndExtend) {
    const row rows[] = {
        {"o: construct [a: 1 b: c: 2 d: true e: none f: off] reduce [o/a o/b o/c o/d o/e o/f]",
         "[1 2 2 true none false]"},
        {"o: construct [a: 1 + 2] o/a", "1"},  // nothing is evaluated
        {"o: construct [a: b] o/a", "b"},
        {"o: construct [a:] o/a", "none"},
        {"o: construct/only [a: true] type? o/a", "word!"},
        {"p: make object! [a: 1 b: 2] o: construct/with [b: 3] p reduce [o/a o/b p/b]", "[1 3 2]"},
        {"p: make object! [a: 1] o: construct/with [c: 3] p reduce [o/a o/c]", "[1 3]"},
        {"extend make object! [] [a: 1]", "!internal/not-done"},
    };
    expect_rows(rows);
    const row errors[] = {
        {"construct 1", "script/expect-arg construct integer! block"},
        {"construct/with [] 1", "script/expect-arg construct integer! object"},
        {"extend [] [a: 1]", "script/expect-arg extend block! obj"},
    };
    expect_errors(errors);
}

TEST_F(NativesWords, TypeQAndNot) {
    const row rows[] = {
        {"type? 1", "integer!"},
        {"type? 1.5", "float!"},
        {"type? \"a\"", "string!"},
        {"type? [1]", "block!"},
        {"type? 'a", "word!"},
        {"type? ()", "unset!"},
        {"type? none", "none!"},
        {"type? type? 1", "datatype!"},
        {"type?/word 1", "integer!"},
        {"type? type?/word 1", "word!"},
        {"type?/word make object! []", "object!"},
        {"(type? 1) = integer!", "true"},
        {"not none", "true"},
        {"not false", "true"},
        {"not true", "false"},
        {"not 0", "false"},
        {"not []", "false"},
        {"not ()", "false"},
        {"not \"\"", "false"},
    };
    expect_rows(rows);
}

TEST_F(NativesWords, Comparisons) {
    const row rows[] = {
        {"equal? 1 1", "true"},
        {"equal? 1 2", "false"},
        {"not-equal? 1 2", "true"},
        {"not-equal? 1 1", "false"},
        {"lesser? 1 2", "true"},
        {"lesser? 2 2", "false"},
        {"lesser-or-equal? 2 2", "true"},
        {"lesser-or-equal? 3 2", "false"},
        {"greater? 3 2", "true"},
        {"greater? 2 2", "false"},
        {"greater-or-equal? 2 2", "true"},
        {"greater-or-equal? 1 2", "false"},
        {"strict-equal? 1 1", "true"},
        {"equal? 1 1.0", "true"},
        {"strict-equal? 1 1.0", "false"},
        {"lesser? 1 1.5", "true"},
        {"equal? \"abc\" \"ABC\"", "true"},
        {"strict-equal? \"abc\" \"ABC\"", "false"},
        {"strict-equal? \"abc\" \"abc\"", "true"},
        {"lesser? \"abc\" \"abd\"", "true"},
        {"greater? \"b\" \"abc\"", "true"},
        {"equal? [1 2] [1 2]", "true"},
        {"equal? [1 2] [1 3]", "false"},
        {"equal? 'a 'A", "true"},
        {"equal? none none", "true"},
        // Across types: unequal, and ordering raises.
        {"equal? 1 \"1\"", "false"},
        {"not-equal? 1 \"1\"", "true"},
        {"equal? [1] 1", "false"},
        {"lesser? 1 \"1\"", "!script/invalid-compare"},
        {"greater-or-equal? [1] 1", "!script/invalid-compare"},
        // The operators made from the natives, with and without the integer fast path.
        {"1 < 2", "true"},
        {"2 <= 1", "false"},
        {"3 > 2", "true"},
        {"2 >= 2", "true"},
        {"1 = 1", "true"},
        {"1 <> 1", "false"},
        {"1 == 1", "true"},
        {"\"a\" < \"b\"", "true"},
        {"1.5 > 1", "true"},
        {"1 + 1 = 2", "true"},
        {"1 < \"a\"", "!script/invalid-compare"},
    };
    expect_rows(rows);
    const row errors[] = {
        {"lesser? 1 \"1\"", "script/invalid-compare 1 \"1\""},
        {"greater? \"a\" 2", "script/invalid-compare \"a\" 2"},
    };
    expect_errors(errors);
}

TEST_F(NativesWords, SameQ) {
    const row rows[] = {
        {"same? \"a\" \"a\"", "false"},
        {"s: \"a\" same? s s", "true"},
        {"s: \"abc\" same? s next s", "false"},
        {"s: \"abc\" same? next s next s", "true"},
        {"s: \"abc\" t: s same? t s", "true"},
        {"b: [1 2] same? b b", "true"},
        {"same? [1] [1]", "false"},
        {"b: [1 2] same? next b next b", "true"},
        {"b: [1 2] same? b head next b", "true"},
        {"b: [1 2] same? b copy b", "false"},
        {"same? 1 1", "true"},
        {"same? 1 2", "false"},
        {"same? 1 1.0", "false"},  // the datatypes differ
        {"same? 1.5 1.5", "true"},
        {"same? 1.5 2.5", "false"},
        {"same? none none", "true"},
        {"same? () ()", "true"},
        {"same? none ()", "false"},
        {"same? true true", "true"},
        {"same? true false", "false"},
        {"same? integer! integer!", "true"},
        {"same? integer! string!", "false"},
        {"o: make object! [] same? o o", "true"},
        {"same? make object! [] make object! []", "false"},
        {"o: make object! [a: 1] p: o same? p o", "true"},
        {"same? 'a 'a", "true"},
        {"same? 'a 'b", "false"},
        {"same? :append :append", "true"},
        {"same? :append :insert", "false"},
        {"same? :same? :same?", "true"},
        {"same? :same? :not", "false"},
        {"f: does [1] same? :f :f", "true"},
        {"f: does [1] g: does [1] same? :f :g", "false"},
        {"same? :< :<", "true"},
        {"same? :< :>", "false"},
    };
    expect_rows(rows);
}

TEST_F(NativesWords, NewLine) {
    const std::pair<const char*, const char*> rows[] = {
        {"b: [1 2 3 4 5] marks b", "[false false false false false]"},
        {"b: [1 2 3 4 5] new-line b true marks b", "[true false false false false]"},
        {"b: [1 2 3 4 5] new-line next b true marks b", "[false true false false false]"},
        {"b: [1 2 3] new-line/all b true new-line next b false marks b", "[true false true]"},
        {"b: [1 2 3 4 5] new-line/all b true marks b", "[true true true true true]"},
        {"b: [1 2 3 4 5] new-line/all b true new-line/all b false marks b", "[false false false false false]"},
        {"b: [1 2 3 4 5] new-line/all next next b true marks b", "[false false true true true]"},
        {"b: [1 2 3 4 5] new-line/skip b true 2 marks b", "[true false true false true]"},
        {"b: [1 2 3 4 5] new-line/skip b false 2 marks b", "[false true false true false]"},
        {"b: [1 2 3 4 5 6 7] new-line/skip b true 3 marks b", "[true false false true false false true]"},
        {"b: [1 2 3 4 5] new-line/skip next b true 2 marks b", "[false true false true false]"},
        {"b: [1 2 3 4 5] new-line/skip b true 1 marks b", "[true true true true true]"},
        {"b: [1 2 3 4 5] new-line/all/skip b true 2 marks b", "[true false true false true]"},
        // At the tail nothing changes.
        {"b: [1 2 3] new-line tail b true marks b", "[false false false]"},
        {"b: [1 2 3] new-line/all tail b true marks b", "[false false false]"},
        {"b: [] new-line b true b", "[]"},
        // The position comes back.
        {"b: [1 2 3] same? next b new-line next b true", "true"},
        {"b: [1 2 3] same? b new-line/skip b true 2", "true"},
        {"b: to paren! [1 2] new-line b true new-line? b", "true"},
        // The reader's line breaks are the same marker.
        {"b: [a\n b c] marks b", "[false true false]"},
        {"b: [a\n b c] new-line? next b", "true"},
        {"new-line? tail [1]", "false"},
        {"new-line? []", "false"},
        {"b: [a\n b] new-line next b false mold b", "\"[a b]\""},
    };
    for (const auto& r : rows) EXPECT_EQ(run(with_marks(r.first).c_str()), r.second) << "source: " << r.first;
    const row errors[] = {
        {"new-line/skip [1 2] true 0", "script/out-of-range 0"},
        {"new-line/skip [1 2] true -3", "script/out-of-range -3"},
        {"new-line \"abc\" true", "script/expect-arg new-line string! position"},
        {"new-line [] 1", "script/expect-arg new-line integer! value"},
        {"new-line? 1", "script/expect-arg new-line? integer! position"},
    };
    expect_errors(errors);
    // A failed /skip changes nothing.
    EXPECT_EQ(run(with_marks("b: [1 2 3] try [new-line/skip b true 0] marks b").c_str()), "[false false false]");
}

TEST_F(NativesWords, CalledWithTheCheckFlag) {
    // Compiled callers pass the check flag: the natives check their own arguments.
    kel_value* base = stack::push_unset();
    set_integer(base, 1);
    set_integer(stack::alloc_cell(), 2);
    stack::open_native_frame(nullptr);
    stack::regs.arguments = base;
    EXPECT_TRUE(fires([&] { (void)natives::get_star(true, refinements::none()); }, "expect-arg"));
    stack::reset();

    // The checks pass: lesser? on two integers answers a logic!.
    base = stack::push_unset();
    set_integer(base, 1);
    set_integer(stack::alloc_cell(), 2);
    stack::open_native_frame(nullptr);
    stack::regs.arguments = base;
    EXPECT_EQ(natives::lesser_q_star(true, refinements::none()), signal_code::none);
    EXPECT_EQ(type_of(base), types::logic);
    EXPECT_TRUE(get_logic(base));
    stack::reset();
}
