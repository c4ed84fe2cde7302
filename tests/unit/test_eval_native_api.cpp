// The word access, argument checks, calls with refinements, constant paths
// and switch core that natives share, with their effects on the stack.
#include "evaluator/native_api_words.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct EvalNativeApi : eval_test {};

kel_value global_word(const char* name) { return *word::from_c_string(name); }

}  // namespace

TEST_F(EvalNativeApi, WordSetAndGet) {
    kel_value w = global_word("api-x");
    const kel_value five = int_v(5);
    stack::push_copy(&five);
    word_ops::set(&w);
    EXPECT_EQ(value_of("api-x"), "5");
    stack::push_unset();
    EXPECT_TRUE(fires([&] { word_ops::set(&w); }, "need-value"));
    EXPECT_EQ(mold(last_fired().args[0]), "api-x");

    stack::open_native_frame(nullptr);
    const kel_value six = int_v(6);
    stack::push_copy(&six);
    word_ops::set_reset(&w);
    EXPECT_EQ(stack::top(), stack::arguments());
    EXPECT_EQ(get_integer(word_ops::get(&w)), 6);
    stack::close_frame_rewind();

    const uint32_t global = _context::global();
    const int32_t index = word_index(&w);
    const kel_value seven = int_v(7);
    stack::open_native_frame(nullptr);
    stack::push_copy(&seven);
    word_ops::set_in_reset(global, index);
    EXPECT_EQ(stack::top(), stack::arguments());
    EXPECT_EQ(get_integer(word_ops::get_in(global, index)), 7);
    stack::push_unset();
    EXPECT_TRUE(fires([&] { word_ops::set_in(global, index); }, "need-value"));
    EXPECT_EQ(mold(last_fired().args[0]), "api-x");
    word_ops::put_in_reset(global, index);  // no unset check
    EXPECT_EQ(type_of(word_ops::get_in(global, index)), types::unset);
    EXPECT_TRUE(fires([&] { (void)word_ops::get(&w); }, "no-value"));
    stack::close_frame_rewind();

    // An object context marks the word it sets; a function context without
    // values cannot be read.
    const uint32_t object = _context::allocate(2, false, false, 0, _context::kind_object);
    kel_value field = global_word("api-field");
    const int32_t at = _context::index_or_add_word(object, &field);
    stack::push_copy(&five);
    word_ops::put_in_reset(object, at);
    EXPECT_EQ(get_integer(word_ops::get_in(object, at)), 5);
    EXPECT_NE(context_ops::word_at(object, at)->header & header_changed, 0u);
    const uint32_t fn = _context::allocate(1, true, false, 0, _context::kind_function);
    int32_t i;
    _context::index_or_add(fn, word_symbol(&field), true, &i);
    EXPECT_TRUE(fires([&] { (void)word_ops::get_in(fn, 0); }, "not-defined"));
    const kel_value in_fn{types::word, fn, word_symbol(&field), 0};
    EXPECT_EQ(word_ops::value_or_null(&in_fn), nullptr);  // its function is not running
    const kel_value unbound{types::word, 0, word_symbol(&field), 0};
    EXPECT_EQ(word_ops::value_or_null(&unbound), nullptr);
    EXPECT_NE(word_ops::value_or_null(&field), nullptr);  // a slot, even holding unset!
}

TEST_F(EvalNativeApi, ArgumentChecksNameTheRunningFunctionsArgument) {
    ASSERT_EQ(run("api-f: make function! [[a [integer!] /r b] [a]]"), "func [a [integer!] /r b][a]");
    const kel_value name = global_word("api-f");
    kel_value ints;
    init_cell(&ints, types::typeset);
    typeset_add(&ints, types::integer);
    const kel_value blk = b({1}), one = int_v(1), unset = unset_v();
    stack::open_native_frame(&name);
    EXPECT_EQ(typecheck::check_arg(&ints, 1, &one), &one);
    EXPECT_TRUE(fires([&] { typecheck::check_arg(&ints, 1, &blk); }, "expect-arg"));
    EXPECT_EQ(fired_args(), "api-f block! a");
    EXPECT_TRUE(fires([&] { typecheck::check_arg(&ints, 2, &blk); }, "expect-arg"));
    EXPECT_EQ(fired_args(), "api-f block! b");
    EXPECT_TRUE(fires([&] { typecheck::check_arg_set(1, &unset); }, "expect-arg"));
    EXPECT_EQ(fired_args(), "api-f unset! a");
    stack::push_copy(&blk);
    typecheck::check_ref_arg(-1, &ints, 1);  // absent: nothing checked
    EXPECT_TRUE(fires([&] { typecheck::check_ref_arg(0, &ints, 1); }, "expect-arg"));
    kel_value refinement = words::ref_part;
    refinement.w1 = 0;
    EXPECT_EQ(typecheck::check_opt_arg(&refinement, &ints, 1, &blk), &blk);
    refinement.w1 = 1;
    EXPECT_TRUE(fires([&] { typecheck::check_opt_arg(&refinement, &ints, 1, &blk); }, "expect-arg"));
}

TEST_F(EvalNativeApi, SetRefinement) {
    stack::open_native_frame(nullptr);
    kel_value r = words::ref_part;
    r.w1 = 0;
    stack::push_copy(&r);
    const kel_value a = int_v(1), b2 = int_v(2), c = int_v(3);
    stack::push_copy(&a);
    stack::push_copy(&b2);
    stack::push_copy(&c);
    const kel_value off = logic_v(false), on = logic_v(true), none = none_v();
    compiled::set_refinement(&off, 0, 2);
    EXPECT_EQ(stack::arguments()->w1, 0u);  // the refinement cell is left as it was
    EXPECT_EQ(type_of(stack::argument(2)), types::none);
    EXPECT_EQ(type_of(stack::argument(3)), types::none);
    EXPECT_EQ(get_integer(stack::argument(4)), 3);
    compiled::set_refinement(&none, 0, 0);
    EXPECT_EQ(stack::arguments()->w1, 0u);
    compiled::set_refinement(&on, 0, 2);
    EXPECT_EQ(stack::arguments()->w1, 1u);
}

TEST_F(EvalNativeApi, CallWithRefinements) {
    // append: /part (1) /only (2) /dup (3); the series, the value, then the
    // refinement arguments where the groups say.
    stack::open_native_frame(nullptr);
    const kel_value series = b({1}), value = b({2, 3}), part = int_v(99), dup = int_v(7);
    stack::push_copy(&series);
    stack::push_copy(&value);
    stack::push_copy(&part);
    stack::push_copy(&dup);
    const kel_value off = logic_v(false), on = logic_v(true);
    ASSERT_EQ(compiled::call_with_refinements(act::append, false, {{&off, 1, 2, 1}, {&on, 2, 3, 0}, {&off, 3, 3, 1}}),
              signal_code::none);
    EXPECT_EQ(mold(*stack::arguments()), "[1 [2 3]]");
    stack::close_frame_rewind();
    // A native is told its arguments are not checked yet.
    stack::open_native_frame(nullptr);
    const kel_value cond = logic_v(false), yes = b({1}), no = b({2});
    stack::push_copy(&cond);
    stack::push_copy(&yes);
    stack::push_copy(&no);
    ASSERT_EQ(compiled::call_with_refinements(natives::number::either, true, {}), signal_code::none);
    EXPECT_EQ(get_integer(stack::arguments()), 2);
    stack::close_frame_rewind();
    EXPECT_TRUE(fires([] { (void)compiled::call_with_refinements(108, true, {}); }, "not-done"));
}

TEST_F(EvalNativeApi, ConstantPaths) {
    ASSERT_EQ(run("api-b: [10 [20 30]]"), "[10 [20 30]]");
    const kel_value path = block_of({global_word("api-b"), int_v(2), int_v(1)}, types::path);
    stack::open_native_frame(nullptr);
    stack::push_unset();
    ASSERT_EQ(compiled::eval_path(false, &path), signal_code::none);
    EXPECT_EQ(get_integer(stack::arguments()), 20);
    EXPECT_EQ(stack::top(), stack::arguments() + 1);
    const kel_value v = int_v(5);
    *stack::arguments() = v;
    ASSERT_EQ(compiled::eval_path(true, &path), signal_code::none);
    EXPECT_EQ(value_of("api-b"), "[10 [5 30]]");
    stack::close_frame_rewind();
    // Compiled code's set-path walks as a written one does: the object's
    // on-change* hears both the same way.
    ASSERT_EQ(run("api-log: copy [] api-o: make object! [a: 1 on-change*: func [w old new] "
                  "[append api-log reduce [w old new]]] api-o/a: 2 api-log"),
              "[a 1 2]");
    const kel_value field = block_of({global_word("api-o"), global_word("a")}, types::path);
    stack::open_native_frame(nullptr);
    *stack::push_unset() = int_v(3);
    ASSERT_EQ(compiled::eval_path(true, &field), signal_code::none);
    stack::close_frame_rewind();
    EXPECT_EQ(value_of("api-log"), "[a 1 2 a 2 3]");
    stack::open_native_frame(nullptr);
    stack::push_unset();
    ASSERT_EQ(compiled::eval_path(false, &field), signal_code::none);
    EXPECT_EQ(get_integer(stack::arguments()), 3);
    stack::close_frame_rewind();
    EXPECT_EQ(run("api-o/a"), "3");
}

TEST_F(EvalNativeApi, SwitchSelect) {
    struct row {
        kel_value value;
        const char* cases;
        bool push;
        bool block_mode;
        const char* expected;
    } rows[] = {
        {int_v(2), "[1 [a] 2 [b]]", false, true, "[b]"},
        {int_v(1), "[1 2 3 [c]]", false, true, "[c]"},       // the first block after the match
        {int_v(3), "[1 [a] 3 x y [d]]", true, true, "[d]"},
        {int_v(4), "[1 [a] 4]", false, true, "none"},        // no block after the match
        {int_v(2), "[1 a 2 b]", false, false, "b"},
        {int_v(7), "[5 x 7]", true, false, "7"},            // the last cell answers itself
        {int_v(9), "[1 a 2 b]", false, false, "none"},
        {int_v(1), "[1.0 a]", false, false, "none"},        // another type never matches
        {b({1}), "[[1] a]", false, false, "none"},          // a block! value never matches
        {int_v(2), "[a 2 b]", false, false, "none"},        // steps of 2: the 2 is a value, not a case
    };
    for (const row& r : rows) {
        const kel_value cases_text = runtime_env::read(r.cases);
        const kel_value cases = *block::ks_abs_at(&cases_text, 0);
        stack::reset();
        stack::open_native_frame(nullptr);
        stack::push_copy(&r.value);
        stack::push_copy(&cases);
        compiled::switch_select(r.push, r.block_mode);
        const kel_value got = r.push ? *(stack::top() - 1) : *stack::arguments();
        EXPECT_EQ(mold(got), r.expected) << r.cases;
        if (r.push) {
            EXPECT_EQ(stack::top(), stack::arguments() + 3);
        }
    }
    const kel_value t = type_v(types::native), v = int_v(3);
    EXPECT_TRUE(fires([&] { fire_bad_make_arg(&t, &v); }, "bad-make-arg"));
    EXPECT_EQ(fired_args(), "native! 3");
}
