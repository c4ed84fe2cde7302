// Block evaluation: every kind of value in code, infix operators strictly
// left to right, the errors of words and set-words, code that changes the
// block it runs in, and the position errors report as `near`.
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct EvalBlocks : eval_test {};

struct row {
    const char* code;
    const char* expected;
};

void check(const row* rows, size_t n) {
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(run(rows[i].code), rows[i].expected) << rows[i].code;
}

}  // namespace

TEST_F(EvalBlocks, ValuesWordsAndSetWords) {
    const row rows[] = {
        {"", "unset"},
        {"[]", "[]"},
        {"1 2 3", "3"},
        {"x: 10 x", "10"},
        {"x: y: 5 x + y", "10"},
        {"x: 3 :x", "3"},
        {":never-set-anywhere", "unset"},  // a get-word pushes even unset!
        {"'abc", "abc"},
        {"x: 'abc x", "abc"},  // a lit-word gives a word!, which is data when looked up
        {"[a b c]", "[a b c]"},
        {"#foo [1]", "[1]"},  // an issue! is data unless it names the system dialect
        {"true", "true"},
        {"none", "none"},
        {"1.5 + 2.25", "3.75"},
        {"x: 1 x: x + 1 x: x * 10 x", "20"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalBlocks, InfixAppliesLeftToRightWithoutPrecedence) {
    const row rows[] = {
        {"1 + 2 * 3", "9"},
        {"2 * 3 + 4", "10"},
        {"10 - 2 - 3", "5"},
        {"1 + (2 * 3)", "7"},
        {"(1 + 2) * (3 + 4)", "21"},
        {"x: 4 x * x - x", "12"},
        {"2147483647 + 1", "2147483648.0"},       // overflow turns into float!
        {"-2147483648 - 1", "-2147483649.0"},
        {"65536 * 65536", "4294967296.0"},
        {"1 < 2", "true"},
        {"3 = 3", "true"},
        {"2 < 1", "false"},
        {"1 + 1 = 2", "true"},                   // (1 + 1) = 2
        {"x: 1 < 2 x", "true"},
        {"append [1] 1 + 2", "[1 3]"},           // an argument takes its operators
        {"1.5 * 2.0 - 0.5", "2.5"},
        {"3 + 0.5", "3.5"},                       // mixed types take the generic action
        {"5 and 3", "1"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalBlocks, ErrorsOfWordsAndOperators) {
    const row rows[] = {
        {"undefined-word", "!script/no-value"},
        {"x:", "!script/need-value"},
        {"x: 1 y:", "!script/need-value"},
        {"x: ()", "!script/need-value"},
        {"+ 1", "!script/no-op-arg"},
        {"1 +", "!script/no-arg"},
        {"1 + [2]", "!script/expect-arg"},
        {"1 < [1]", "!script/invalid-compare"},
        {"#system [a]", "!internal/kel-system"},
        {"#system-global [a]", "!internal/kel-system"},
    };
    check(rows, std::size(rows));
    // The errors name what they are about.
    EXPECT_EQ(run("x: 1 undefined-word"), "!script/no-value");
    EXPECT_EQ(mold(last_fired().args[0]), "undefined-word");
    EXPECT_EQ(run("abc:"), "!script/need-value");
    EXPECT_EQ(mold(last_fired().args[0]), "abc:");
    EXPECT_EQ(run("- 2"), "!script/no-op-arg");
    EXPECT_EQ(mold(last_fired().args[0]), "-");
    EXPECT_EQ(run("1 + [2]"), "!script/expect-arg");
    EXPECT_EQ(mold(last_fired().args[0]), "+");
    EXPECT_EQ(mold(last_fired().args[1]), "block!");
    EXPECT_EQ(mold(last_fired().args[2]), "value2");
    EXPECT_EQ(run("[3] * 2"), "!script/expect-arg");
    EXPECT_EQ(mold(last_fired().args[2]), "value1");
}

TEST_F(EvalBlocks, ValuesStandingInTheCode) {
    // An op! value in the code cannot be evaluated; a function value is
    // called with the arguments that follow it, or is data when the caller
    // asks for literal functions.
    kel_value plus = *_context::get_bound(word::from_c_string("+"));
    EXPECT_EQ(run_block(block_of({plus, int_v(1), int_v(2)})), "!internal/not-done");
    kel_value append = *_context::get_bound(word::from_c_string("append"));
    EXPECT_EQ(run_block(block_of({append, b({1}), int_v(2)})), "[1 2]");

    const kel_value code = block_of({append, b({1}), int_v(2)});
    interpreter::code_position c = interpreter::position_of(&code);
    kel_value* entry = stack::top();
    ASSERT_EQ(interpreter::step_expression(c, false, true, true), signal_code::none);
    EXPECT_EQ(type_of(entry), types::action);
    EXPECT_EQ(c.pos, 1);
    EXPECT_EQ(stack::top(), entry + 1);
}

TEST_F(EvalBlocks, LitPathsBecomePaths) {
    const kel_value code = runtime_env::read("'a/b");
    kel_value* entry = stack::top();
    const error_trap trap = open_error_trap();
    ASSERT_EQ(interpreter::eval_block(&code, false), signal_code::none);
    close_error_trap(trap, false);
    EXPECT_EQ(type_of(entry), types::path);
    EXPECT_EQ(entry->w3, 0u);
    EXPECT_EQ(block::ks_length_q(entry), 2);
}

TEST_F(EvalBlocks, CodeThatChangesItsOwnBlock) {
    const row rows[] = {
        // Cleared while it runs: the evaluation stops after the clear.
        {"n: 0 b: [clear b n: 1 2 3] do b", "[]"},
        {"n: 0 b: [clear b n: 1] do b n", "0"},
        // Grown while it runs: what was appended is not evaluated.
        {"n: 0 b: [append b [n: 99] 1] do b", "1"},
        {"n: 0 b: [append b [n: 99] 1] do b n", "0"},
        // The head of the block is where evaluation starts.
        {"do next [1 2]", "2"},
        {"do tail [1 2]", "unset"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalBlocks, ResultPlacement) {
    // eval_block leaves the result pushed where the top was, and with
    // set-last also in the caller's base cell; one expression leaves one cell.
    const kel_value code = runtime_env::read("1 + 1 10 * 2");
    stack::push_unset();  // the caller's base cell
    kel_value* entry = stack::top();
    const error_trap trap = open_error_trap();
    ASSERT_EQ(interpreter::eval_block(&code, true), signal_code::none);
    EXPECT_EQ(get_integer(stack::arguments()), 20);
    EXPECT_EQ(get_integer(entry), 20);
    EXPECT_EQ(stack::top(), entry + 1);
    EXPECT_EQ(stack::mark_depth(), 0);

    interpreter::code_position c = interpreter::position_of(&code);
    kel_value* before = stack::top();
    ASSERT_EQ(interpreter::step_expression(c, false, true, false), signal_code::none);
    EXPECT_EQ(get_integer(before), 2);
    EXPECT_EQ(stack::top(), before + 1);
    EXPECT_EQ(c.pos, 3);
    ASSERT_EQ(interpreter::step_expression(c, true, true, false), signal_code::none);  // no infix
    EXPECT_EQ(get_integer(before + 1), 10);
    EXPECT_EQ(c.pos, 4);
    close_error_trap(trap, false);
}

TEST_F(EvalBlocks, EvalNextTakesOneExpressionAtATime) {
    const kel_value code = runtime_env::read("1 + 2 3 * 4");
    const error_trap trap = open_error_trap();
    int32_t head = 0;
    kel_value* entry = stack::top();
    ASSERT_EQ(interpreter::eval_next_at(&code, &head), signal_code::none);
    EXPECT_EQ(head, 3);
    EXPECT_EQ(get_integer(entry), 3);
    kel_value rest = code;
    set_series_head(&rest, head);
    ASSERT_EQ(interpreter::eval_next_at(&rest, &head), signal_code::none);
    EXPECT_EQ(head, 6);
    EXPECT_EQ(get_integer(entry + 1), 12);
    set_series_head(&rest, head);
    ASSERT_EQ(interpreter::eval_next_at(&rest, &head), signal_code::none);
    EXPECT_EQ(head, 6);  // at the tail: unset!, the head stays
    EXPECT_EQ(type_of(entry + 2), types::unset);
    close_error_trap(trap, false);
}

TEST_F(EvalBlocks, ErrorsCarryTheExpressionAsNear) {
    EXPECT_EQ(run("x: 1 y: 2 undefined-word 3"), "!script/no-value");
    EXPECT_EQ(mold(last_fired().near), "[undefined-word 3]");
    // Inside a function body, the position is the body's expression.
    EXPECT_EQ(run("f: make function! [[] [1 2 oops 3]] 5 f"), "!script/no-value");
    EXPECT_EQ(mold(last_fired().near), "[oops 3]");
    // After an evaluation no position is current.
    EXPECT_EQ(run("1 + 1"), "2");
    kel_value position;
    interpreter::current_position(&position);
    EXPECT_EQ(type_of(&position), types::unset);
}

TEST_F(EvalBlocks, WordsOfAFunctionThatIsNotRunning) {
    EXPECT_EQ(run("f: make function! [[a] [a]] do reflect :f 'body"), "!script/not-in-context");
}
