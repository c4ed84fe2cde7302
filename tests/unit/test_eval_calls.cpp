// Calls: argument fetching by class, type checks naming the argument,
// refinements named in paths (functions and natives), the apply modes,
// operators made from functions and routines, and routines.
#include <vector>

#include "datatypes/routine.h"
#include "evaluator/routines.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct row {
    const char* code;
    const char* expected;
    const char* error_args = nullptr;  // the molded error arguments, when checked
};

void check(const row* rows, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(run(rows[i].code), rows[i].expected) << rows[i].code;
        if (rows[i].error_args) {
            EXPECT_EQ(fired_args(), rows[i].error_args) << rows[i].code;
        }
    }
}

// A native that answers its refinement slots: a block of the machine
// arguments (-1 absent, else the cell offset of the refinement's first
// argument) followed by every argument cell from the base.
constexpr int32_t probe_slot = natives::number::count + 1;  // a spare slot past the built table
signal_code n_probe(bool check, const refinements& refs) {
    const kel_value* base = stack::arguments();
    const int32_t cells = static_cast<int32_t>(stack::top() - base);
    std::vector<kel_value> out;
    out.push_back(logic_v(check));
    for (int i = 0; i < 3; ++i) out.push_back(int_v(refs.at[i]));
    for (int32_t i = 0; i < cells; ++i) out.push_back(base[i]);
    *stack::arguments() = block_of(out);
    return signal_code::none;
}

// Routines of the test table, in the run of numbers kept for the tests.
constexpr int32_t routine_base = routine_numbers::tests;
routines::machine_value r_add(const routines::machine_value* a, int32_t n) {
    routines::machine_value r;
    r.i = n == 2 ? a[0].i + a[1].i : -1;
    return r;
}
routines::machine_value r_scale(const routines::machine_value* a, int32_t) {
    routines::machine_value r;
    r.f = a[1].i ? a[0].f * 2 : a[0].f;
    return r;
}
routines::machine_value r_first(const routines::machine_value* a, int32_t) {
    routines::machine_value r;
    r.cell = a[0].cell;  // answers the first argument's cell
    return r;
}
routines::machine_value r_length(const routines::machine_value* a, int32_t) {
    routines::machine_value r;
    r.i = block::ks_length_q(a[0].cell);  // any-type!: the cell itself
    return r;
}
routines::machine_value r_nothing(const routines::machine_value*, int32_t) { return routines::machine_value{}; }
// No declared return type: the answer is what the body leaves in the result
// slot (here a copy of its second argument, passed as a cell).
routines::machine_value r_leave(const routines::machine_value* a, int32_t) {
    *routines::result_slot() = *a[1].cell;
    return routines::machine_value{};
}

struct EvalCalls : eval_test {
    natives::entry saved;
    void SetUp() override {
        eval_test::SetUp();
        natives::entry e;
        e.name = "probe";
        e.spec = "a [integer!] /x /y b [integer!] c [integer!] /z d";
        e.fn = n_probe;
        saved = natives::define(probe_slot, e);
        kel_value* holder = stack::push_unset();
        natives::make_native(probe_slot, holder);
        runtime_env::define("probe", *holder);
        stack::reset();
    }
    void TearDown() override {
        (void)natives::define(probe_slot, saved);
        eval_test::TearDown();
    }
};

void define_routine(int32_t number, const char* name, const char* spec, routines::routine_fn fn, bool cells = false) {
    routines::entry e;
    e.name = name;
    e.spec = spec;
    e.fn = fn;
    e.cells = cells;
    (void)routines::define(number, e);
    kel_value* holder = stack::push_unset();
    routines::make_value(number, holder);
    runtime_env::define(name, *holder);
    stack::drop_cells(1);
}

}  // namespace

TEST_F(EvalCalls, FunctionArgumentsAndTypeChecks) {
    const row rows[] = {
        {"f: make function! [[a b] [a - b]] f 10 3", "7"},
        {"f: make function! [[a b] [a - b]] f 10 + 1 3 * 2", "5"},  // each argument takes its operators
        {"f: make function! [[] [1 2]] f", "2"},
        {"f: make function! [[a [integer!]] [a]] f [1]", "!script/expect-arg", "f block! a"},
        {"f: make function! [[a b [integer! float!]] [b]] f 1 2.5", "2.5"},
        {"f: make function! [[a b [integer!]] [b]] f 1 2.5", "!script/expect-arg", "f float! b"},
        {"f: make function! [[a b] [a]] f 1", "!script/no-arg", "f b"},
        {"f: make function! [[a] [a]] f ()", "!script/expect-arg", "f unset! a"},
        {"f: make function! [[a [any-type!]] [:a]] f ()", "unset"},
        {"f: make function! [[a /local b] [b: a * 2 b]] f 4", "8"},
        {"f: make function! [[/local b] [b]] f", "none"},
        {"f: make function! [[/local b] [local]] f", "false"},
        // Recursion: each call has its own values; the caller's survive.
        {"f: make function! [[n /local x] [x: n either n = 0 [0] [f n - 1 x]]] f 3", "3"},
        {"f: make function! [[n] [either n = 0 [0] [n + f n - 1]]] f 4", "10"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalCalls, LitWordAndGetWordArguments) {
    const row rows[] = {
        {"f: make function! [['a] [a]] f (1 + 1)", "2"},       // a paren is evaluated
        {"x: 5 f: make function! [['a] [a]] f :x", "5"},       // a get-word gives its value
        {"f: make function! [['a] [a]] f foo", "foo"},         // anything else as it stands
        {"f: make function! [['a] [a]] f [1 2]", "[1 2]"},
        {"f: make function! [['a [any-type!]] [:a]] f", "unset"},  // at the end: unset! when admitted
        {"f: make function! [['a] [a]] f", "!script/no-arg", "f a"},
        {"f: make function! [[:a] [:a]] f x", "x"},            // a get-word argument is the next value as it is
        {"f: make function! [[:a] [:a]] f 1 + 2", "3"},        // ... and the operator applies to the result
    };
    check(rows, std::size(rows));
    EXPECT_EQ(run_type("f: make function! [[:a] [:a]] f (1 + 1)"), "paren!");
    EXPECT_EQ(run_type("f: make function! [['a] [:a]] f 'b"), "lit-word!");
}

TEST_F(EvalCalls, FunctionRefinementsFromPaths) {
    const char* f = "f: make function! [[a /twice /plus b] [either twice [a * 2] [either plus [a + b] [a]]]] ";
    const std::string defs(f);
    const row rows[] = {
        {"3", "3"},
        {"f 3", "3"},
        {"f/twice 3", "6"},
        {"f/plus 3 4", "7"},
        {"f/plus/twice 3 4", "6"},
        {"twice: true f/:twice 3", "6"},
        {"twice: false f/:twice 3", "3"},
        {"plus: false f/:plus 3 4", "3"},  // an argument of a refinement that is off is fetched and dropped
        {"f/twice/twice 3", "!script/dup-refine"},
        {"f/nope 3", "!script/no-refine", "f nope"},
        {"f/1 3", "!script/bad-refine", "1"},
        {"f/plus 3", "!script/no-arg", "f b"},
        {"f/plus 3 [4]", "!script/expect-arg", "+ block! value2"},  // b takes anything, + does not
    };
    for (const row& r : rows) {
        EXPECT_EQ(run((defs + r.code).c_str()), r.expected) << r.code;
        if (r.error_args) {
            EXPECT_EQ(fired_args(), r.error_args) << r.code;
        }
    }
    EXPECT_EQ(run("g: make function! [[a /r b] [b]] g 1"), "none");  // unused refinement arguments are none!
    EXPECT_EQ(run("g: make function! [[a /r b] [b]] g/r 1 2"), "2");
    EXPECT_EQ(run("g: make function! [[a /r b] [r]] g/r 1 2"), "true");
    // A function without refinements ignores what is not a word in its path.
    EXPECT_EQ(run("g: make function! [[a] [a]] g/1 5"), "5");
}

TEST_F(EvalCalls, NativeAndActionRefinementSlots) {
    const row rows[] = {
        {"probe 1", "[false -1 -1 -1 1]"},
        {"probe 1 2 3", "3"},  // only the argument before the first refinement
        {"probe/x 1", "[false 1 -1 -1 1]"},
        {"probe/y 1 2 3", "[false -1 1 -1 1 2 3]"},
        // Path order decides where the arguments land; slots stay in spec order.
        {"probe/z/y 1 9 2 3", "[false -1 2 1 1 9 2 3]"},
        {"probe/y/x 1 2 3", "[false 3 1 -1 1 2 3]"},
        {"probe/y/y 1 2 3", "!script/dup-refine"},
        {"probe/w 1", "!script/no-refine", "probe w"},
        {"probe/y 1 2 [3]", "!script/expect-arg", "probe block! c"},
        {"x: false probe/:x 1", "[false -1 -1 -1 1]"},
        {"x: false probe/:x/y 1 2 3", "[false -1 1 -1 1 2 3]"},
        {"y: false probe/:y/z 1 2 3 9", "[false -1 -1 1 1 9]"},  // arguments of an off refinement are dropped
        {"append/only [1] [2]", "[1 [2]]"},
        {"append/dup [1] 2 3", "[1 2 2 2]"},
        {"append/dup/only [1] [2] 2", "[1 [2] [2]]"},
        {"append/only/dup [1] [2] 2", "[1 [2] [2]]"},
        {"append/part [1] [7 8 9] 2", "[1 7 8]"},
        {"append/dup [1] 2 [3]", "!script/expect-arg", "append block! count"},
        {"append/only/only [1] 2", "!script/dup-refine"},
        {"append/nope [1] 2", "!script/no-refine", "append nope"},
        {"append [1]", "!script/no-arg", "append value"},
        {"append/dup [1] 2", "!script/no-arg", "append count"},
        {"length? 1", "!script/expect-arg", "length? integer! series"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalCalls, ApplyModes) {
    // The function answers its values as a block so each mode's binding shows.
    ASSERT_EQ(run("af: make function! [[a b /r c] [append append append append copy [] a b r c]] 0"), "0");
    struct mode_row {
        const char* args;
        int32_t mode;
        const char* expected;
    } rows[] = {
        {"1 2 true 3", interpreter::mode::apply_all, "[1 2 true 3]"},
        {"1 2 false 3", interpreter::mode::apply_all, "[1 2 false none]"},  // the argument is fetched and dropped
        {"1", interpreter::mode::apply_all, "[1 none false none]"},         // a short block is completed with none!
        {"1 2 3", interpreter::mode::apply_all, "!script/expect-arg"},      // a refinement takes a logic!
        {"1 2 /r true 9", interpreter::mode::inline_refinements, "[1 2 true 9]"},
        {"1 2 /r false 9", interpreter::mode::inline_refinements, "[1 2 false none]"},
        {"1 2", interpreter::mode::inline_refinements, "[1 2 false none]"},
        {"1 2 3", interpreter::mode::inline_refinements, "!script/bad-refine"},
        {"1 2 /q true", interpreter::mode::inline_refinements, "!script/no-refine"},
        {"1 + 1 2 true 3", interpreter::mode::apply_all, "[2 2 true 3]"},
        {"1 + 1 2 true 3", interpreter::mode::apply_all | interpreter::mode::single, "!script/no-op-arg"},
        {"x 2 true 3", interpreter::mode::apply_all | interpreter::mode::single, "[5 2 true 3]"},
    };
    ASSERT_EQ(run("x: 5"), "5");
    for (const mode_row& r : rows) EXPECT_EQ(apply_mode("af", r.args, r.mode), r.expected) << r.args;
    // A native in apply mode: the slot is set when its logic is true.
    EXPECT_EQ(apply_mode("probe", "1 true false 2 3 false", interpreter::mode::apply_all), "[false 1 -1 -1 1]");
    EXPECT_EQ(apply_mode("probe", "1 false true 2 3 true 4", interpreter::mode::apply_all),
              "[false -1 1 3 1 2 3 4]");
}

TEST_F(EvalCalls, OperatorsMadeFromFunctions) {
    const row rows[] = {
        {"p: make op! make function! [[a b] [a * 10 + b]] 1 p 2 p 3", "123"},
        {"p: make op! make function! [[a b] [a * 10 + b]] 1 p 2 + 3", "15"},   // left to right: (1 p 2) + 3
        {"p: make op! make function! [[a [integer!] b] [a]] [1] p 2", "!script/expect-arg", "p block! a"},
        {"p: make op! make function! [[a b] [b]] 1 p", "!script/no-arg", "p b"},
        {"p: make op! make function! [[a 'b] [b]] 1 p (2 + 3)", "5"},
        {"p: make op! :add 1 p 2", "3"},
        {"p: make op! :append", "!script/bad-op-spec"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalCalls, FunctionValuesInCodeAreAnonymous) {
    const kel_value f = [] {
        const kel_value def = runtime_env::read("make function! [[a [integer!]] [a]]");
        kel_value* entry = stack::top();
        const error_trap trap = open_error_trap();
        EXPECT_EQ(interpreter::eval_block(&def, false), signal_code::none);
        close_error_trap(trap, false);
        const kel_value v = *entry;
        block::ks_add(block::root(), &v);
        stack::regs.top = entry;
        return v;
    }();
    EXPECT_EQ(run_block(block_of({f, int_v(7)})), "7");
    EXPECT_EQ(run_block(block_of({f, b({1})})), "!script/expect-arg");
    EXPECT_EQ(fired_args(), "<anon> block! a");
}

TEST_F(EvalCalls, Routines) {
    define_routine(routine_base, "radd", "a [integer!] b [integer!] return: [integer!]", r_add);
    define_routine(routine_base + 1, "rscale", "x [float!] twice [logic!] return: [float!]", r_scale);
    define_routine(routine_base + 2, "rfirst", "a [any-type!] b [any-type!]", r_first, true);
    define_routine(routine_base + 3, "rlength", "a [any-type!] return: [integer!]", r_length);
    define_routine(routine_base + 4, "rnothing", "a [integer!]", r_nothing);
    define_routine(routine_base + 5, "rnumber", "n [number!] return: [integer!]", r_add);
    define_routine(routine_base + 6, "rleave", "a [integer!] b [any-type!]", r_leave);
    define_routine(routine_base + 7, "rcells", "a [integer!] b", r_first, true);
    const row rows[] = {
        {"radd 2 3", "5"},
        {"radd 2 3 + 4", "9"},
        {"radd 2 [3]", "!script/expect-arg", "radd block! b"},
        {"radd 2", "!script/no-arg", "radd b"},
        {"rscale 1.5 true", "3.0"},
        {"rscale 1.5 false", "1.5"},
        {"rfirst [1 2] 3", "[1 2]"},
        {"rlength [1 2 3]", "3"},
        {"rnothing 1", "unset"},
        {"rnumber 1", "-1"},  // one argument: the routine sees the count
        {"r+: make op! :radd 2 r+ 3 r+ 4", "9"},
        {"rleave 1 [x]", "[x]"},
        {"rleave 1 2", "2"},  // an any-type! integer goes as its cell, not its machine value
        {"rleave 1.5 2", "!script/expect-arg", "rleave float! a"},
        {"rcells 7 8", "7"},
        {"rcells [7] 8", "!script/expect-arg", "rcells block! a"},  // the cell convention checks too
        {"rcells 7 ()", "!script/expect-arg", "rcells unset! b"},   // an untyped argument refuses unset
    };
    check(rows, std::size(rows));
    kel_value w = *word::from_c_string("radd");
    const kel_value r = *_context::get_bound(&w);
    EXPECT_EQ(routine::get_arity(&r), 2);
    EXPECT_EQ(mold(r), "routine [a [integer!] b [integer!] return: [integer!]] none");
    EXPECT_EQ(form(r), "?routine?");
    // A routine cannot be made at run time: only the boot binds table entries.
    EXPECT_EQ(run("make routine! [[a] [a]]"), "!internal/routines");
    // An empty slot of the table.
    EXPECT_TRUE(fires([] { routines::make_value(routine_base + 15, stack::push_unset()); }, "not-done"));
}

// A module whose numbers meet another's stops the boot, naming both routines,
// rather than replacing the earlier entry.
struct RoutineTable : eval_test {};

TEST_F(RoutineTable, FillingATakenSlotStopsTheBoot) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    routines::entry e;
    e.name = "late-comer";
    e.spec = "";
    e.fn = [](const routines::machine_value*, int32_t) { return routines::nothing(); };
    EXPECT_DEATH(routines::define(routine_numbers::os_info, e),
                 "routine table slot 12 holds __get-OS-info already, late-comer would replace it");
    const routines::binding rows[] = {{"late-comer", "", e.fn}};
    EXPECT_DEATH(routines::define_run(routine_numbers::os_info, rows, 1, "test"),
                 "test routines: routine table slot 12 holds __get-OS-info already");
    EXPECT_EQ(std::string(routines::at(routine_numbers::os_info).name), "__get-OS-info");
}
