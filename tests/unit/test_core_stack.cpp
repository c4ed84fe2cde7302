// The argument stack, call marks and `fire`.
#include <gtest/gtest.h>

#include <map>

#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/series_memory.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"

using namespace kel;

namespace {

kel_value word_named(uint32_t symbol, uint32_t context) {
    kel_value w;
    init_cell(&w, types::word);
    w.w1 = context;
    w.w2 = symbol;
    w.w3 = 0;
    return w;
}

struct fresh_stacks : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
    void TearDown() override { stack::reset(); }
};

std::map<uint32_t, uint32_t> context_values;
uint32_t get_values(uint32_t ctx) { return context_values[ctx]; }
void set_values(uint32_t ctx, uint32_t v) { context_values[ctx] = v; }

}  // namespace

using CoreStack = fresh_stacks;

TEST_F(CoreStack, RootBuffersHaveTheirSizes) {
    EXPECT_EQ(stack::regs.limit - stack::regs.bottom, 20000);
    EXPECT_EQ(stack::regs.marks_limit - stack::regs.marks_bottom, 15000);
    EXPECT_TRUE(memory::buffer_of(stack::regs.argument_node)->flags & memory::flag_heap);
    EXPECT_TRUE(memory::buffer_of(stack::regs.mark_node)->flags & memory::flag_heap);
}

TEST_F(CoreStack, PushDropRewindAndLastCell) {
    kel_value* base = stack::arguments();
    EXPECT_EQ(stack::last_cell(), stack::top());  // nothing above the base
    kel_value one = test::int_v(1), two = test::int_v(2);
    stack::push_copy(&one);
    kel_value* c2 = stack::push_copy(&two);
    EXPECT_EQ(stack::last_cell(), c2);
    EXPECT_EQ(stack::last_type(), types::integer);
    EXPECT_EQ(stack::depth(), 2);
    stack::drop_cells(1);
    EXPECT_EQ(get_integer(stack::last_cell()), 1);
    stack::drop_cells(100);  // never below the bottom
    EXPECT_EQ(stack::top(), stack::bottom());
    stack::push_copy(&one);
    stack::push_copy(&two);
    stack::set_last(&two);
    EXPECT_EQ(get_integer(base), 2);
    stack::set_last_only(&one);
    EXPECT_EQ(stack::top(), base + 1);
    EXPECT_EQ(get_integer(base), 1);
    stack::rewind();
    EXPECT_EQ(stack::top(), base);
    stack::rewind_to_result();
    EXPECT_EQ(stack::top(), base + 1);
}

TEST_F(CoreStack, FramesSaveAndRestoreTheBase) {
    kel_value name = word_named(77, 0x40000009);
    kel_value v1 = test::int_v(10), v2 = test::int_v(20), r = test::int_v(99);
    stack::push_copy(&v1);                  // caller's base cell
    kel_value* caller_base = stack::arguments();
    stack::call_mark* m = stack::open_native_frame(&name);
    EXPECT_EQ(stack::mark_kind(m), stack::kind::native);
    EXPECT_EQ(stack::mark_symbol(m), 77u);
    EXPECT_EQ(m->word_context, 0x40000009u);
    EXPECT_EQ(stack::arguments(), caller_base + 1);
    stack::push_copy(&r);                   // the callee's result
    stack::push_copy(&v2);
    stack::close_frame();
    EXPECT_EQ(stack::arguments(), caller_base);
    EXPECT_EQ(stack::top(), caller_base + 2);  // result stays pushed
    EXPECT_EQ(get_integer(caller_base + 1), 99);

    stack::open_native_frame(&name);
    stack::push_copy(&r);
    stack::close_frame_set_last();
    EXPECT_EQ(get_integer(caller_base), 99);  // copied into the caller's base cell

    kel_value* before = stack::top();
    stack::open_loop_frame(&name);
    stack::push_copy(&v1);
    stack::push_copy(&v2);
    stack::close_frame_rewind();
    EXPECT_EQ(stack::top(), caller_base);     // everything of the call dropped
    EXPECT_EQ(stack::arguments(), caller_base);
    (void)before;
    EXPECT_EQ(stack::mark_depth(), 0);
}

TEST_F(CoreStack, CallFramesSaveAndRestoreContextValues) {
    const stack::context_hooks saved = stack::contexts::hooks;
    stack::contexts::hooks = {get_values, set_values};
    context_values[0x40000100] = 1234;
    kel_value name = word_named(5, 0);
    stack::call_mark* m = stack::open_call_frame(&name, 0x40000100);
    EXPECT_EQ(m->saved_values, 1234u);
    EXPECT_EQ(m->function_context, 0x40000100u);
    stack::open_body_frame(&name, 0x40000100);  // recursion: the body points the context at its base
    EXPECT_EQ(context_values[0x40000100], stack::offset_of(stack::arguments()));
    EXPECT_TRUE(stack::innermost_frame()->flags & stack::flag_return_target);
    stack::close_frame();
    stack::close_call_frame();
    EXPECT_EQ(context_values[0x40000100], 1234u);
    stack::contexts::hooks = saved;  // the context module's, installed at start-up
}

TEST_F(CoreStack, ReturnTargetBelowAndInterpretedFlag) {
    kel_value name = word_named(1, 0);
    stack::open_native_frame(&name);
    EXPECT_EQ(stack::set_return_target_below(), nullptr);  // only one mark
    stack::open_native_frame(&name);
    stack::mark_interpreted();
    EXPECT_TRUE(stack::innermost_frame()->flags & stack::flag_interpreted);
    stack::call_mark* below = stack::set_return_target_below();
    ASSERT_NE(below, nullptr);
    EXPECT_EQ(stack::set_return_target_below(), nullptr);  // already had it
    stack::clear_return_target(below);
    EXPECT_FALSE(below->flags & stack::flag_return_target);
}

// No cell is dropped: the top cells may be a native's below the try that
// receives the error, and that native goes on with them.
TEST_F(CoreStack, ArgumentOverflowRaisesAndKeepsTheCellsBelow) {
    cycles::push(0x40000001);
    int32_t pushed = 0;
    bool raised = fires([&] {
        for (;;) {
            kel_value n = test::int_v(pushed);
            stack::push_copy(&n);
            ++pushed;
        }
    }, "stack-overflow");
    EXPECT_TRUE(raised);
    EXPECT_EQ(last_fired().category, error_category::internal);
    EXPECT_EQ(pushed, 19999);  // the last cell is never handed out
    EXPECT_EQ(stack::depth(), 19999);
    for (int32_t i = 0; i < pushed; i += 997) EXPECT_EQ(get_integer(stack::bottom() + i), i);
    for (int32_t i = pushed - 8; i < pushed; ++i) EXPECT_EQ(get_integer(stack::bottom() + i), i);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(CoreStack, MarkOverflowRaises) {
    kel_value name = word_named(1, 0);
    int opened = 0;
    bool raised = fires([&] { for (;;) { stack::open_native_frame(&name); ++opened; } }, "stack-overflow");
    EXPECT_TRUE(raised);
    EXPECT_EQ(opened, 15000);
}

TEST(CoreFire, RecordsCategoryIdAndArguments) {
    test::boot();
    kel_value v = test::int_v(42);
    const error_trap trap = open_error_trap();  // receives the error (else nothing would)
    try {
        fire(error_category::script, "invalid-refine-arg", error_arg::named("/part"), &v);
        FAIL() << "fire returned";
    } catch (const kel_unwind& u) {
        EXPECT_EQ(u.code, 0x7FFFFFFFu);
    }
    close_error_trap(trap, true);
    const fired_error& e = last_fired();
    EXPECT_EQ(e.category, error_category::script);
    EXPECT_STREQ(e.id, "invalid-refine-arg");
    EXPECT_EQ(e.argument_count, 2);
    EXPECT_STREQ(e.arg_words[0], "/part");
    EXPECT_EQ(get_integer(&e.args[1]), 42);
    v.w2 = 7;  // the record holds a copy
    EXPECT_EQ(get_integer(&e.args[1]), 42);

    uint64_t serial = e.serial;
    EXPECT_TRUE(fires([] { fire(error_category::internal, "too-deep"); }, "too-deep"));
    EXPECT_EQ(last_fired().argument_count, 0);
    EXPECT_EQ(last_fired().serial, serial + 1);
}

TEST(CoreSignal, PropagateReturnsTheFirstCode) {
    int after = 0;
    auto step = [](signal_code c) { return c; };
    auto body = [&](signal_code c) -> signal_code {
        KEL_PROPAGATE(step(signal_code::none));
        KEL_PROPAGATE(step(c));
        ++after;
        return signal_code::none;
    };
    EXPECT_EQ(body(signal_code::break_), signal_code::break_);
    EXPECT_EQ(after, 0);
    EXPECT_EQ(body(signal_code::none), signal_code::none);
    EXPECT_EQ(after, 1);
}
