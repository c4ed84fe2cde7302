// Signals over the call marks: each kind unwinds to its receiver (restoring
// function contexts on the way), stops at a try/all mark or finds nobody with
// its throw-category error, and the innermost call is named past anonymous
// marks.
#include <gtest/gtest.h>

#include <map>

#include "kernel/fatal.h"
#include "tests/unit/dispatch_support.h"

using namespace kel;
using namespace kel::test;

namespace {

std::map<uint32_t, uint32_t> values_of;
uint32_t get_values(uint32_t ctx) { return values_of[ctx]; }
void set_values(uint32_t ctx, uint32_t v) { values_of[ctx] = v; }
int32_t index_of(uint32_t ctx, uint32_t symbol) { return static_cast<int32_t>(ctx % 100 + symbol % 10); }

constexpr uint32_t body_symbol = 11, anon_symbol = 12;

struct DispatchSignals : dispatch_test {
    stack::runtime_names saved_names;
    stack::context_hooks saved_contexts;
    void SetUp() override {
        dispatch_test::SetUp();
        saved_names = stack::names;
        saved_contexts = stack::contexts::hooks;
        stack::record_names(body_symbol, anon_symbol, nullptr);
        set_unset(&stack::names.not_found);  // as before the runtime words record it
        stack::contexts::hooks = {get_values, set_values, index_of};
        values_of.clear();
    }
    void TearDown() override {
        stack::contexts::hooks = saved_contexts;  // the context module's, installed at start-up
        stack::names = saved_names;
        dispatch_test::TearDown();
    }
};

const kel_value body = word_v(body_symbol), anon = word_v(anon_symbol);
const kel_value f_word = word_v(300, 0x40000201), g_word = word_v(301, 0x40000202);
const kel_value native_word = word_v(302);

void push_ints(int n) {
    for (int i = 0; i < n; ++i) {
        const kel_value v = int_v(1000 + i);
        stack::push_copy(&v);
    }
}

// A function call whose context is pointed elsewhere while it runs, as a
// call does: closing or unwinding it must give the context its old values.
void open_function(const kel_value* name, uint32_t ctx, uint32_t running_values) {
    values_of[ctx] = running_values - 1;
    stack::open_call_frame(name, ctx);
    values_of[ctx] = running_values;
}

}  // namespace

TEST_F(DispatchSignals, BreakAndContinueStopAtTheLoop) {
    struct row {
        bool continue_;
        bool with_value;
        signal_code code;
        bool unset_result;
    };
    const row rows[] = {
        {false, true, signal_code::break_, false},
        {false, false, signal_code::break_, true},
        {true, true, signal_code::continue_, true},  // continue carries nothing
    };
    for (const row& r : rows) {
        stack::reset();
        push_ints(2);
        stack::open_loop_frame(&body);
        kel_value* loop_base = stack::arguments();
        push_ints(3);
        open_function(&f_word, 0x40000500, 77);
        push_ints(2);
        stack::open_eval_frame(&body);
        stack::open_native_frame(&native_word);  // the break native's own mark
        const kel_value value = int_v(42);
        stack::push_copy(&value);
        const signal_code c = stack::raise_break(r.with_value ? stack::top() - 1 : nullptr, r.continue_);
        EXPECT_EQ(c, r.code);
        EXPECT_EQ(stack::mark_depth(), 1);  // the loop stays
        EXPECT_EQ(stack::mark_kind(stack::innermost_frame()), stack::kind::loop);
        EXPECT_EQ(stack::arguments(), loop_base);
        EXPECT_EQ(stack::top(), loop_base);
        if (r.unset_result) EXPECT_EQ(type_of(loop_base), types::unset);
        else EXPECT_EQ(get_integer(loop_base), 42);
        EXPECT_EQ(values_of[0x40000500], 76u);  // the function's context restored
    }
}

TEST_F(DispatchSignals, BreakWithoutALoopOrAcrossTryAllIsAnError) {
    // The native's own loop mark does not count: the walk starts below it.
    for (bool try_all : {false, true}) {
        stack::reset();
        stack::open_loop_frame(&body);
        if (try_all) stack::open_try_all_frame(&native_word);
        else stack::open_try_frame(&native_word);  // a plain try lets break pass
        push_ints(1);
        stack::open_native_frame(&native_word);
        kel_value* top = stack::top();
        if (!try_all) {
            EXPECT_EQ(stack::raise_break(nullptr, false), signal_code::break_);
            continue;
        }
        for (bool cont : {false, true}) {
            EXPECT_TRUE(fires([&] { (void)stack::raise_break(nullptr, cont); }, cont ? "continue" : "break"));
            EXPECT_EQ(last_fired().category, error_category::throw_);
            EXPECT_EQ(stack::mark_depth(), 3);  // nothing unwound
            EXPECT_EQ(stack::top(), top);
        }
    }
    stack::reset();
    stack::open_native_frame(&native_word);
    EXPECT_TRUE(fires([] { (void)stack::raise_break(nullptr, false); }, "break"));
    stack::reset();
    EXPECT_TRUE(fires([] { (void)stack::raise_break(nullptr, true); }, "continue"));  // no marks at all
}

TEST_F(DispatchSignals, ReturnAndExitStopAtTheReturnTarget) {
    for (bool exit : {false, true}) {
        stack::reset();
        stack::open_loop_frame(&body);
        push_ints(1);
        open_function(&f_word, 0x40000600, 10);
        stack::set_return_target(true);
        kel_value* target_base = stack::arguments();
        push_ints(2);                             // the function's arguments
        stack::open_eval_frame(&body);
        stack::open_loop_frame(&body);            // a loop inside the body does not stop return
        open_function(&g_word, 0x40000601, 20);   // nor a call without the flag
        stack::open_native_frame(&native_word);   // return's own mark
        const kel_value value = int_v(9);
        const signal_code c = stack::raise_return(exit ? nullptr : &value, true);
        EXPECT_EQ(c, exit ? signal_code::exit : signal_code::return_);
        EXPECT_EQ(stack::mark_depth(), 2);
        EXPECT_TRUE(stack::innermost_frame()->flags & stack::flag_return_target);
        EXPECT_EQ(stack::arguments(), target_base);
        EXPECT_EQ(stack::top(), target_base);
        if (exit) EXPECT_EQ(type_of(target_base), types::unset);
        else EXPECT_EQ(get_integer(target_base), 9);
        EXPECT_EQ(values_of[0x40000601], 19u);  // the inner call's context restored
        EXPECT_EQ(values_of[0x40000600], 10u);  // the target's own stays running
    }
    // From compiled code the top mark itself may be the target.
    stack::reset();
    stack::open_body_frame(&f_word, 0);
    push_ints(3);
    kel_value* base = stack::arguments();
    const kel_value value = int_v(5);
    EXPECT_EQ(stack::raise_return(&value, false), signal_code::return_);
    EXPECT_EQ(stack::mark_depth(), 1);
    EXPECT_EQ(stack::top(), base);
    EXPECT_EQ(get_integer(base), 5);
}

TEST_F(DispatchSignals, ReturnWithoutTargetOrAcrossTryAllIsAnError) {
    stack::open_native_frame(&native_word);
    EXPECT_TRUE(fires([] { (void)stack::raise_return(nullptr, true); }, "return"));
    EXPECT_EQ(last_fired().category, error_category::throw_);
    stack::reset();
    stack::open_call_frame(&f_word, 0);
    stack::set_return_target(true);
    stack::open_try_all_frame(&native_word);
    stack::open_native_frame(&native_word);
    const kel_value v = int_v(1);
    EXPECT_TRUE(fires([&] { (void)stack::raise_return(&v, true); }, "return"));
    EXPECT_EQ(stack::mark_depth(), 3);
    // Without from_native the own mark is not skipped: a return target on top
    // receives it.
    stack::reset();
    stack::open_native_frame(&native_word);
    stack::set_return_target(true);
    EXPECT_TRUE(fires([] { (void)stack::raise_return(nullptr, true); }, "return"));
    EXPECT_EQ(stack::raise_return(nullptr, false), signal_code::exit);
}

TEST_F(DispatchSignals, ThrowThroughNestedMarks) {
    push_ints(1);
    stack::open_catch_frame(&body);  // outer catch
    kel_value* outer_base = stack::arguments();
    push_ints(2);
    open_function(&f_word, 0x40000700, 30);
    const kel_value catch_word = word_v(305);
    stack::open_native_frame(&catch_word);  // the inner catch native's own mark
    stack::open_catch_frame(&body);         // and the catch mark it opens
    kel_value* inner_base = stack::arguments();
    push_ints(1);
    stack::open_loop_frame(&body);
    open_function(&g_word, 0x40000701, 40);
    stack::open_try_frame(&anon);
    const kel_value throw_word = word_v(303);
    stack::open_native_frame(&throw_word);  // throw's own mark
    const kel_value value = int_v(64), name = word_v(304);
    stack::push_copy(&value);
    stack::push_copy(&name);
    ASSERT_EQ(stack::raise_throw(stack::argument(1), stack::argument(2)), signal_code::throw_);
    EXPECT_EQ(stack::mark_depth(), 4);
    EXPECT_EQ(stack::mark_kind(stack::innermost_frame()), stack::kind::catch_);
    EXPECT_EQ(stack::arguments(), inner_base);
    EXPECT_EQ(stack::top(), inner_base + 2);
    EXPECT_EQ(get_integer(inner_base), 64);
    EXPECT_EQ(word_symbol(inner_base + 1), 304u);
    EXPECT_EQ(values_of[0x40000701], 39u);
    EXPECT_EQ(values_of[0x40000700], 30u);  // outside the inner catch: untouched

    // The inner catch does not take the name: it drops its catch mark and
    // throws again from its native, which reaches the outer catch.
    const kel_value thrown = *inner_base, thrown_name = inner_base[1];
    stack::close_frame_discard();
    ASSERT_EQ(stack::raise_throw(&thrown, &thrown_name), signal_code::throw_);
    EXPECT_EQ(stack::mark_depth(), 1);
    EXPECT_EQ(stack::arguments(), outer_base);
    EXPECT_EQ(get_integer(outer_base), 64);
    EXPECT_EQ(values_of[0x40000700], 29u);
    // The name of the call where the throw began survives the unwinding,
    // once; then the current marks name it.
    kel_value where;
    stack::innermost_name(&where);
    EXPECT_EQ(word_symbol(&where), 303u);
    stack::innermost_name(&where);
    EXPECT_EQ(type_of(&where), types::unset);  // only anonymous marks: not-found, unrecorded
}

TEST_F(DispatchSignals, ThrowWithoutCatchOrAcrossTryAllIsAnError) {
    const kel_value value = int_v(8);
    stack::open_native_frame(&native_word);
    EXPECT_TRUE(fires([&] { (void)stack::raise_throw(&value, nullptr); }, "throw"));
    EXPECT_EQ(last_fired().category, error_category::throw_);
    EXPECT_EQ(get_integer(&last_fired().args[0]), 8);
    stack::reset();
    stack::open_catch_frame(&body);
    stack::open_try_all_frame(&native_word);
    stack::open_native_frame(&native_word);
    EXPECT_TRUE(fires([&] { (void)stack::raise_throw(&value, nullptr); }, "throw"));
    EXPECT_EQ(stack::mark_depth(), 3);
    // Without a name the name cell is unset!.
    stack::reset();
    stack::open_catch_frame(&body);
    kel_value* base = stack::arguments();
    stack::open_native_frame(&native_word);
    ASSERT_EQ(stack::raise_throw(&value, nullptr), signal_code::throw_);
    EXPECT_EQ(type_of(base + 1), types::unset);
}

TEST_F(DispatchSignals, ErrorsUnwindToTheTryAndTravelAsAnException) {
    for (bool all : {false, true}) {
        stack::reset();
        push_ints(1);
        stack::open_eval_frame(&body);
        push_ints(1);
        kel_value* try_caller_base = stack::arguments();
        if (all) stack::open_try_all_frame(&native_word);
        else stack::open_try_frame(&native_word);
        push_ints(2);
        open_function(&f_word, 0x40000800, 50);
        stack::open_loop_frame(&body);
        stack::open_native_frame(&native_word);
        push_ints(4);
        kel_value* raised_top = stack::top();
        const kel_value err = int_v(-7);  // any value stands for the error here
        bool thrown = false;
        try {
            stack::raise_error(&err);
        } catch (const kel_unwind& u) {
            thrown = true;
            EXPECT_EQ(u.code, code_value(signal_code::error));
        }
        EXPECT_TRUE(thrown);
        EXPECT_EQ(stack::mark_depth(), 1);  // the try mark is gone too
        EXPECT_EQ(stack::arguments(), try_caller_base);
        EXPECT_EQ(stack::top(), raised_top + 1);
        EXPECT_EQ(get_integer(stack::last_cell()), -7);
        EXPECT_EQ(values_of[0x40000800], 49u);
        stack::settle_try_result();  // what try does next: the error becomes its result
        EXPECT_EQ(stack::top(), try_caller_base + 1);
    }
}

namespace {
kel_value annotated_where;
int32_t annotated_depth = -1;
void annotate(kel_value* error, const kel_value* where, int32_t depth) {
    annotated_where = *where;
    annotated_depth = depth;
    set_integer(error, 1234);
}
}  // namespace

TEST_F(DispatchSignals, RaisedErrorsAreAnnotatedBeforeUnwinding) {
    const stack::error_hooks saved = stack::errors::hooks;  // the error module's, installed at start-up
    stack::errors::hooks.annotate = annotate;
    stack::open_try_frame(&native_word);
    stack::open_native_frame(&f_word);
    stack::open_eval_frame(&body);
    const kel_value err = int_v(1);
    EXPECT_THROW(stack::raise_error(&err), kel_unwind);
    stack::errors::hooks = saved;
    EXPECT_EQ(word_symbol(&annotated_where), 300u);
    EXPECT_EQ(annotated_depth, 3);
    EXPECT_EQ(get_integer(stack::last_cell()), 1234);  // the annotated copy is what travels
}

TEST_F(DispatchSignals, UncaughtErrorEndsTheProcess) {
    EXPECT_EXIT(
        {
            stack::reset();
            stack::open_eval_frame(&body);  // no try anywhere
            const kel_value err = int_v(4321);
            stack::raise_error(&err);
        },
        ::testing::ExitedWithCode(fatal::uncaught_error_exit), "4321");
}

TEST_F(DispatchSignals, InnermostNameSkipsAnonymousMarks) {
    const kel_value big = word_v(70000, 0x40000321);  // a symbol id past 16 bits
    stack::open_native_frame(&big);
    EXPECT_EQ(stack::mark_symbol(stack::innermost_frame()), 70000u);
    stack::open_eval_frame(&body);
    stack::open_native_frame(&anon);
    stack::open_native_frame(nullptr);
    kel_value name;
    stack::innermost_name(&name);
    EXPECT_EQ(type_of(&name), types::word);
    EXPECT_EQ(word_symbol(&name), 70000u);
    EXPECT_EQ(word_context(&name), 0x40000321u);
    EXPECT_EQ(word_index(&name), index_of(0x40000321, 70000));

    // Only anonymous marks: the recorded <not-found> word, or its name.
    stack::reset();
    stack::open_eval_frame(&body);
    kel_value scratch;
    error_arg a = stack::innermost_name_arg(&scratch);
    EXPECT_STREQ(a.word, "<not-found>");
    const kel_value not_found = word_v(13);
    stack::record_names(body_symbol, anon_symbol, &not_found);
    a = stack::innermost_name_arg(&scratch);
    ASSERT_NE(a.cell, nullptr);
    EXPECT_EQ(word_symbol(a.cell), 13u);
}

TEST_F(DispatchSignals, ThrowStartIsForgottenOnceAnythingOpens) {
    stack::open_catch_frame(&body);
    const kel_value throw_word = word_v(303);
    stack::open_native_frame(&throw_word);
    const kel_value v = int_v(1);
    ASSERT_EQ(stack::raise_throw(&v, nullptr), signal_code::throw_);
    EXPECT_NE(stack::regs.throw_start, 0u);
    stack::open_native_frame(&f_word);  // the catch took it; evaluation goes on
    EXPECT_EQ(stack::regs.throw_start, 0u);
    kel_value name;
    stack::innermost_name(&name);
    EXPECT_EQ(word_symbol(&name), 300u);
}

TEST_F(DispatchSignals, PopFramesToKind) {
    // Marks: eval(0) loop(1) call(2) native(3).
    auto build = [] {
        stack::reset();
        push_ints(1);
        stack::open_eval_frame(&body);
        push_ints(1);
        stack::open_loop_frame(&body);
        push_ints(2);
        open_function(&f_word, 0x40000900, 60);
        push_ints(1);
        stack::open_native_frame(&native_word);
        push_ints(2);
    };
    build();
    kel_value* loop_caller = stack::at_offset(stack::regs.marks_bottom[1].caller_base);
    kel_value* loop_own = stack::at_offset(stack::regs.marks_bottom[2].caller_base);
    kel_value* entry_base = stack::arguments();
    stack::call_mark* m = stack::pop_frames_to_loop(true);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(stack::mark_depth(), 2);
    EXPECT_EQ(stack::arguments(), loop_own);
    EXPECT_EQ(stack::top(), entry_base + 1);
    EXPECT_EQ(values_of[0x40000900], 59u);

    build();
    entry_base = stack::arguments();
    stack::pop_frames_to_loop(false);
    EXPECT_EQ(stack::arguments(), loop_caller);
    EXPECT_EQ(stack::top(), entry_base + 1);

    // Nothing to pop: only the top moves.
    build();
    entry_base = stack::arguments();
    stack::pop_frames_to_kind(stack::kind::native, false);
    EXPECT_EQ(stack::mark_depth(), 4);
    EXPECT_EQ(stack::top(), entry_base + 1);

    // The bottom reached without keep empties both.
    build();
    EXPECT_EQ(stack::pop_frames_to_kind(stack::kind::catch_, false), nullptr);
    EXPECT_EQ(stack::mark_depth(), 0);
    EXPECT_EQ(stack::top(), stack::bottom());
    EXPECT_EQ(stack::arguments(), stack::bottom());

    // A try/all mark stops the unwinding.
    build();
    stack::open_try_all_frame(&native_word);
    stack::open_native_frame(&native_word);
    m = stack::pop_frames_to_kind(stack::kind::catch_, true);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(stack::mark_kind(m), stack::kind::try_all);

    // set-last: the entry base cell's value lands in the reached mark's base.
    build();
    const kel_value result = int_v(555);
    *stack::arguments() = result;
    stack::pop_frames_to_kind_set_last(stack::kind::loop);
    EXPECT_EQ(stack::arguments(), loop_own);
    EXPECT_EQ(stack::top(), loop_own);
    EXPECT_EQ(get_integer(loop_own), 555);
}
