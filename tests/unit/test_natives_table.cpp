// The native table: the 107 natives in their numbers with their specs, every
// built native callable and the not-done entry of each one without a function, the argument names that errors
// show, the argument check of callers that do not check, and loop counts.
#include <cmath>
#include <limits>
#include <set>

#include "evaluator/native_api_words.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_math.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;
using namespace kel::test;

namespace {

struct NativesTable : natives_test {};

}  // namespace

TEST_F(NativesTable, AllNativesSitInTheirNumbersWithTheirSpecs) {
    EXPECT_EQ(natives::filled_count(), 108);
    struct known {
        int32_t number;
        const char* name;
    };
    // The numbers are a contract (native! values and the binary format name
    // natives by them): spot checks across the whole range.
    const known numbers[] = {
        {1, "if"},          {6, "while"},   {11, "foreach"}, {13, "remove-each"}, {20, "do"},
        {21, "get"},        {25, "equal?"}, {35, "reduce"},  {36, "compose"},     {40, "parse"},
        {62, "NaN?"},       {70, "try"},    {74, "as-point2D"}, {77, "break"},    {78, "continue"},
        {79, "exit"},       {80, "return"}, {81, "throw"},   {82, "catch"},       {96, "now"},
        {106, "transcode"}, {107, "apply"},
    };
    for (const known& k : numbers) EXPECT_STREQ(natives::at(k.number).name, k.name) << k.number;
    EXPECT_EQ(natives::at(108).fn, nullptr);
    for (int32_t n = 1; n <= natives::number::count; ++n) {
        ASSERT_NE(natives::at(n).fn, nullptr) << n;
        EXPECT_STREQ(natives::at(n).name, natives::listed_name(n));
        // Every spec reads as a block and molds back to its text.
        const kel_value* spec = natives::native_spec(n);
        ASSERT_NE(spec, nullptr) << n;
        ASSERT_EQ(type_of(spec), types::block) << n;
        EXPECT_EQ(mold(*spec, false, false, true), natives::listed_spec(n)) << n;
    }
    EXPECT_EQ(type_of(natives::print_buffer()), types::block);
}

TEST_F(NativesTable, BuiltNativesAreCallableTheOthersRaiseNotDone) {
    // Each native called as a caller that does not check would call it: a
    // native frame of unset! arguments (more than any native takes), the
    // check flag set. A built native answers, or refuses its arguments, or
    // sends a signal; only a native without a function of its own raises
    // internal not-done, and all of those share the one missing entry.
    int32_t missing_count = 0;
    natives::native_fn missing = nullptr;
    for (int32_t n = 1; n <= natives::number::count; ++n) {
        stack::open_native_frame(nullptr);
        for (int i = 0; i < 8; ++i) stack::push_unset();
        const bool not_done = fires([&] { (void)natives::at(n).fn(true, refinements::none()); }, "not-done");
        stack::reset();
        if (natives::built_q(n)) {
            EXPECT_FALSE(not_done) << natives::listed_name(n);
            continue;
        }
        EXPECT_TRUE(not_done) << natives::listed_name(n);
        EXPECT_EQ(last_fired().category, error_category::internal);
        if (!missing) missing = natives::at(n).fn;
        EXPECT_EQ(natives::at(n).fn, missing) << natives::listed_name(n);
        ++missing_count;
    }
    EXPECT_GT(missing_count, 0);
    // The system, environment, process and browse natives have their own entries.
    for (const int32_t n : {natives::number::wait, natives::number::apply, natives::number::transcode,
                            natives::number::as, natives::number::stats, natives::number::recycle,
                            natives::number::set_env, natives::number::get_env, natives::number::list_env,
                            natives::number::call, natives::number::browse, natives::number::checksum})
        EXPECT_TRUE(natives::built_q(n)) << natives::listed_name(n);
    // A missing native that a script reaches fails the same way.
    ASSERT_FALSE(natives::built_q(natives::number::compress));
    EXPECT_EQ(run("compress #{} 'zlib"), "!internal/not-done");
}

TEST_F(NativesTable, ArgumentNamesAppearInErrors) {
    const row rows[] = {
        {"if true 2", "script/expect-arg if integer! then-blk"},
        {"if true", "script/no-arg if then-blk"},
        {"unless 1 2", "script/expect-arg unless integer! then-blk"},
        {"either true [1] 2", "script/expect-arg either integer! false-blk"},
        {"any 1", "script/expect-arg any integer! conds"},
        {"all 1", "script/expect-arg all integer! conds"},
        {"while 1 []", "script/expect-arg while integer! cond"},
        {"until 1", "script/expect-arg until integer! body"},
        {"loop \"x\" []", "script/expect-arg loop string! count"},
        {"repeat 1 2 []", "script/expect-arg repeat integer! word"},
        {"repeat i \"x\" []", "script/expect-arg repeat string! value"},
        {"forever 1", "script/expect-arg forever integer! body"},
        {"foreach x 1 []", "script/expect-arg foreach integer! series"},
        {"forall 1 []", "script/expect-arg forall integer! word"},
        {"remove-each x 1 []", "script/expect-arg remove-each integer! data"},
        {"func 1 []", "script/expect-arg func integer! spec"},
        {"function [] 1", "script/expect-arg function integer! body"},
        {"does 1", "script/expect-arg does integer! body"},
        {"has 1 []", "script/expect-arg has integer! vars"},
        {"switch 1 2", "script/expect-arg switch integer! cases"},
        {"switch/default 1 [] 2", "script/expect-arg switch integer! case"},
        {"case 1", "script/expect-arg case integer! cases"},
        {"do/next [1] 2", "script/expect-arg do integer! position"},
        {"reduce/into [1] 2", "script/expect-arg reduce integer! out"},
        {"compose 1", "script/expect-arg compose integer! value"},
        {"parse 1 []", "script/expect-arg parse integer! input"},
        {"parse [] 1", "script/expect-arg parse integer! rules"},
        {"parse/trace [] [] 1", "script/expect-arg parse integer! callback"},
        {"try 1", "script/expect-arg try integer! block"},
        {"catch 1", "script/expect-arg catch integer! block"},
        {"catch/name [] 1", "script/expect-arg catch integer! word"},
        {"throw/name 1 2", "script/expect-arg throw integer! word"},
        {"return", "script/no-arg return value"},
        {"x: 5 forall x []", "script/expect-arg forall integer! word"},
    };
    expect_errors(rows);
}

TEST_F(NativesTable, CallersThatDoNotCheckGetTheSpecsCheck) {
    // Compiled code calls natives with the check flag set and its own native
    // mark, named by the native's word.
    const auto call = [](int32_t n, std::initializer_list<kel_value> args,
                         std::initializer_list<compiled::refinement_group> groups) {
        kel_value name = *word::from_c_string(natives::listed_name(n));
        stack::open_native_frame(&name);
        for (const kel_value& a : args) stack::push_copy(&a);
        std::string out;
        const error_trap trap = open_error_trap();
        try {
            const signal_code c = compiled::call_with_refinements(n, true, groups);
            out = c == signal_code::none ? describe(*stack::arguments()) : "!code";
            close_error_trap(trap, false);
        } catch (const kel_unwind&) {
            close_error_trap(trap, true);
            out = fired_detail();
        }
        stack::reset();
        return out;
    };
    const kel_value body = runtime_env::read("1 + 1");
    const kel_value yes = logic_v(true), no = logic_v(false);
    EXPECT_EQ(call(natives::number::loop, {str(U"x"), body}, {}), "script/expect-arg loop string! count");
    EXPECT_EQ(call(natives::number::loop, {int_v(2), int_v(3)}, {}), "script/expect-arg loop integer! body");
    EXPECT_EQ(call(natives::number::loop, {int_v(2), body}, {}), "2");
    // A refinement's argument is checked only when the refinement is used.
    EXPECT_EQ(call(natives::number::catch_, {body, int_v(5)}, {{&yes, 1, 1, 1}}),
              "script/expect-arg catch integer! word");
    EXPECT_EQ(call(natives::number::catch_, {body, int_v(5)}, {{&no, 1, 1, 1}}), "2");
    EXPECT_EQ(call(natives::number::switch_, {int_v(1), body, int_v(3)}, {{&yes, 1, 2, 1}}),
              "script/expect-arg switch integer! case");
    // The natives' own checks that the interpreter's argument check leaves
    // out: compose names the type it expects.
    stack::open_native_frame(nullptr);
    const kel_value one = int_v(1);
    stack::push_copy(&one);
    EXPECT_TRUE(fires([] { (void)natives::compose_star(false, refinements::none()); }, "expect-val"));
    EXPECT_EQ(fired_detail(), "script/expect-val block! integer!");
}

TEST_F(NativesTable, MathNativesAreBuiltAndRefuseUncheckedArguments) {
    namespace n = natives::number;
    const int32_t math[] = {n::negative_q, n::positive_q, n::sign_q,     n::zero_q,     n::nan_q,
                            n::max,        n::min,        n::shift,      n::to_hex,     n::sine,
                            n::cosine,     n::tangent,    n::arcsine,    n::arccosine,  n::arctangent,
                            n::arctangent2, n::log_2,     n::log_10,     n::log_e,      n::exp,
                            n::square_root, n::as_pair,   n::as_point2d, n::as_point3d, n::as_money};
    for (int32_t m : math) EXPECT_TRUE(natives::built_q(m)) << natives::listed_name(m);
    // Called without the check, a native still refuses a type it has no
    // meaning for instead of reading its payload as a number.
    struct refusal {
        natives::native_fn fn;
        kel_value arg;
        const char* detail;
    };
    const refusal refusals[] = {
        {natives::zero_q_star, str(U"a"), "script/expect-arg zero? string! value"},
        {natives::sign_q_star, str(U"a"), "script/expect-arg sign? string! number"},
        {natives::nan_q_star, str(U"a"), "script/expect-arg NaN? string! value"},
        {natives::log_e_star, str(U"a"), "script/expect-arg log-e string! value"},
        {natives::sine_star, str(U"a"), "script/expect-arg sine string! angle"},
    };
    for (const refusal& r : refusals) {
        stack::open_native_frame(nullptr);
        stack::push_copy(&r.arg);
        stack::push_copy(&r.arg);
        EXPECT_TRUE(fires([&] { (void)r.fn(false, refinements::none()); }, "expect-arg")) << r.detail;
        EXPECT_EQ(fired_detail(), r.detail);
        stack::reset();
    }
}

TEST_F(NativesTable, LoopCountsTruncateTowardZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct count_row {
        double in;
        int32_t out;
    };
    const count_row rows[] = {
        {2.9, 2},
        {-2.9, -2},
        {0.5, 0},
        {2147483647.0, 2147483647},
        {2147483647.9, INT32_MIN},  // beyond 2147483647.0, as to integer! and size arguments
        {2147483648.0, INT32_MIN},
        {-2147483648.9, INT32_MIN},
        {-2147483649.0, INT32_MIN},
        {1e300, INT32_MIN},
        {nan, INT32_MIN},
        {inf, INT32_MIN},
        {-inf, INT32_MIN},
    };
    for (const count_row& r : rows) {
        kel_value c;
        set_float(&c, r.in);
        natives::integer_count(&c);
        EXPECT_EQ(type_of(&c), types::integer) << r.in;
        EXPECT_EQ(get_integer(&c), r.out) << r.in;
    }
    kel_value i = int_v(-7);
    natives::integer_count(&i);
    EXPECT_EQ(get_integer(&i), -7);
}
