// The error path: an error raised at any depth (natives, actions, functions,
// sort comparators, object handlers, path steps) reaches the nearest try with
// its own fields and leaves the stacks balanced; wrapped control codes still
// come back as returned codes at the next dispatch or path step; and at the
// C++ level an error crosses the dispatches' catch of wrapped codes as the
// base exception type, untouched.
#include "kernel/signals.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;

namespace {

struct ErrpathSignals : natives_test {};

// The error value's fields as a block, for rows that check more than the id.
std::string fields_of(const char* code) {
    const std::string text = std::string(code) + " reduce [e/code e/type e/id e/arg1 e/arg2 e/arg3 e/where e/near]";
    return run(text.c_str());
}

}  // namespace

TEST_F(ErrpathSignals, AnErrorReachesTheNearestTryFromAnyDepth) {
    // The harness also checks that every mark opened is closed and that
    // exactly the result is left on the argument stack.
    const row rows[] = {
        {"try [1 / 0]", "error!math/zero-divide"},
        {"try [do [1 / 0]]", "error!math/zero-divide"},
        {"try [do [do [1 / 0]]]", "error!math/zero-divide"},
        {"try [reduce [1 (1 / 0)]]", "error!math/zero-divide"},
        {"try [compose [a (1 / 0)]]", "error!math/zero-divide"},
        {"try [if true [either false [1] [1 / 0]]]", "error!math/zero-divide"},
        {"try [foreach x [1 2] [x / 0]]", "error!math/zero-divide"},
        {"try [loop 2 [while [true] [1 / 0]]]", "error!math/zero-divide"},
        {"try [catch [1 / 0]]", "error!math/zero-divide"},
        {"f: func [x] [x / 0] try [f 1]", "error!math/zero-divide"},
        {"g: func [] [loop 2 [undefined-word]] f: func [] [g] try [f]", "error!script/no-value"},
        // A comparator runs inside the sort action, below its dispatch.
        {"try [sort/compare [3 1 2] func [a b] [a / 0]]", "error!math/zero-divide"},
        {"try [sort/compare [3 1 2] func [a b] [undefined-word]]", "error!script/no-value"},
        // An object's change handler: under a set-path, `set` and `set` of a block.
        {"o: make object! [x: 1 on-change*: func [w o n] [1 / 0]] try [o/x: 2]", "error!math/zero-divide"},
        {"o: make object! [x: 1 on-change*: func [w o n] [1 / 0]] try [1 o/x: 2 3]", "error!math/zero-divide"},
        {"o: make object! [x: 1 on-change*: func [w o n] [1 / 0]] try [set in o 'x 2]", "error!math/zero-divide"},
        {"o: make object! [x: 1 on-change*: func [w o n] [1 / 0]] try [set o [5]]", "error!math/zero-divide"},
        {"o: make object! [x: 1] try [o/x: 1 / 0]", "error!math/zero-divide"},
        // The nearest try takes it; the outer one goes on.
        {"try [try [1 / 0] 1 / 0]", "error!math/zero-divide"},
        {"try [x: try [1 / 0] 2]", "2"},
        {"f: does [try [1 / 0] 5] try [f]", "5"},
        {"x: 0 loop 3 [try [x: x + 1 1 / 0]] x", "3"},
        {"try/all [loop 2 [1 / 0]]", "error!math/zero-divide"},
        // An error value done again is raised again.
        {"e: try [1 / 0] try [do e]", "error!math/zero-divide"},
        // Without a try the error reaches the test's trap with the marks unwound.
        {"f: func [] [sort/compare [3 1 2] func [a b] [1 / 0]] f", "!math/zero-divide"},
    };
    expect_rows(rows);
}

TEST_F(ErrpathSignals, TheCaughtErrorHoldsTheRaisesOwnFields) {
    // code, type, id, arg1-arg3, where (the innermost named call), near.
    const row rows[] = {
        {"e: try [1 / 0]", "[402 math zero-divide none none none / [1 / 0]]"},
        {"f: func [x] [x / 0] e: try [f 1]", "[402 math zero-divide none none none / [x / 0]]"},
        {"e: try [sort/compare [3 1 2] func [a b] [a / 0]]", "[402 math zero-divide none none none / [a / 0]]"},
        {"e: try [undefined-word]", "[302 script no-value undefined-word none none try [undefined-word]]"},
        {"e: try [append/part [] [1] \"x\"]",
         "[325 script invalid-refine-arg /part \"x\" none append [append/part [] [1] \"x\"]]"},
        {"e: try [select 1 2]", "[307 script expect-arg select integer! series select [select 1 2]]"},
    };
    // Twice: the second raise of each id names it from what the first found.
    for (int pass = 0; pass < 2; ++pass)
        for (const row& r : rows) EXPECT_EQ(fields_of(r.source), r.expected) << "pass " << pass << ": " << r.source;
}

TEST_F(ErrpathSignals, WrappedControlCodesStillArriveAsCodes) {
    const row rows[] = {
        // Out of a sort comparator: turned back at the sort's dispatch.
        {"x: 0 loop 3 [x: x + 1 sort/compare [3 1 2] func [a b] [break]] x", "1"},
        {"x: 0 loop 3 [x: x + 1 sort/compare [3 1 2] func [a b] [break/return 7]]", "7"},
        {"x: 0 loop 3 [x: x + 1 sort/compare [3 1 2] func [a b] [continue] x: x + 10] x", "3"},
        {"catch [sort/compare [3 1 2] func [a b] [throw 7] 8]", "7"},
        {"catch/name [sort/compare [3 1 2] func [a b] [throw/name 7 'n]] 'n", "7"},
        // Through a try on the way (which lets control signals pass).
        {"catch [try [sort/compare [3 1 2] func [a b] [throw 7]]]", "7"},
        {"x: 0 loop 3 [x: x + 1 try [sort/compare [3 1 2] func [a b] [break]]] x", "1"},
        // A try/all turns them into errors where they start.
        {"try/all [sort/compare [3 1 2] func [a b] [break]]", "error!throw/break"},
        // Out of an object's change handler under a set-path: turned back at
        // the path step, so the catch or loop in the same block receives it.
        {"o: make object! [x: 1 on-change*: func [w o n] [throw 5]] catch [o/x: 2 6]", "5"},
        {"o: make object! [x: 1 on-change*: func [w o n] [break]] x: 0 loop 3 [x: x + 1 o/x: 2] x", "1"},
        {"o: make object! [x: 1 on-change*: func [w o n] [throw 5]] catch [set in o 'x 2 6]", "5"},
    };
    expect_rows(rows);
}

TEST_F(ErrpathSignals, AnErrorCrossesTheDispatchCatchAsTheBaseType) {
    // The catch of wrapped codes does not see an error: it leaves as the
    // base type with its code, and the trap receives it.
    const error_trap trap = open_error_trap();
    bool control = false, error = false;
    try {
        (void)stack::catch_code([]() -> signal_code { fire(error_category::math, "zero-divide"); });
    } catch (const kel_control_unwind&) {
        control = true;
    } catch (const kel_unwind& u) {
        error = u.code == code_value(signal_code::error);
    }
    close_error_trap(trap, error);
    EXPECT_FALSE(control);
    EXPECT_TRUE(error);
    EXPECT_EQ(fired_name(), "math/zero-divide");

    // Every control code comes back as the returned code.
    for (signal_code c : {signal_code::break_, signal_code::continue_, signal_code::return_, signal_code::exit,
                          signal_code::throw_}) {
        EXPECT_EQ(stack::catch_code([c]() -> signal_code { stack::throw_code(c); }), c);
        EXPECT_EQ(stack::catch_code([c]() -> signal_code { throw_unwind(code_value(c)); }), c);
    }

    // A code captured across a C library travels on with the type of its kind.
    auto rethrown = [](uint32_t code) {
        const int32_t mark = stack::pending::depth();
        stack::pending::push(code);
        try {
            stack::pending::rethrow_pending(mark);
        } catch (const kel_control_unwind& u) {
            return std::string("control ") + std::to_string(u.code);
        } catch (const kel_unwind& u) {
            return std::string("error ") + std::to_string(u.code);
        }
        return std::string("nothing");
    };
    EXPECT_EQ(rethrown(code_value(signal_code::break_)), "control " + std::to_string(code_value(signal_code::break_)));
    EXPECT_EQ(rethrown(code_value(signal_code::error)), "error " + std::to_string(code_value(signal_code::error)));
}

TEST_F(ErrpathSignals, AFiredIdIsNamedByItsTextAndCategory) {
    auto fired_fields = [](error_category category, const char* id) {
        const error_trap trap = open_error_trap();
        try {
            fire(category, id);
        } catch (const kel_unwind&) {
        }
        close_error_trap(trap, true);
        const kel_value e = *error::last();
        return std::make_pair(get_integer(error::field_at(&e, error::field::code)), mold(*error::field_at(&e, error::field::id)));
    };
    const kel_value zd = runtime_env::read("zero-divide"), ov = runtime_env::read("overflow");
    const int32_t zero_divide = error::id_in(4, block::ks_abs_at(&zd, series_head(&zd)));
    const int32_t overflow = error::id_in(4, block::ks_abs_at(&ov, series_head(&ov)));
    ASSERT_GE(zero_divide, 2);
    ASSERT_GE(overflow, 2);
    // The same text twice, then in a category that lacks it (kept as given,
    // code of the category alone).
    const char* id = "zero-divide";
    EXPECT_EQ(fired_fields(error_category::math, id), std::make_pair(400 + zero_divide, std::string("zero-divide")));
    EXPECT_EQ(fired_fields(error_category::math, id), std::make_pair(400 + zero_divide, std::string("zero-divide")));
    EXPECT_EQ(fired_fields(error_category::script, id), std::make_pair(300, std::string("zero-divide")));
    // The same pointer with another text names the other id.
    char text[32] = "zero-divide";
    EXPECT_EQ(fired_fields(error_category::math, text), std::make_pair(400 + zero_divide, std::string("zero-divide")));
    std::snprintf(text, sizeof text, "%s", "overflow");
    EXPECT_EQ(fired_fields(error_category::math, text), std::make_pair(400 + overflow, std::string("overflow")));
}
