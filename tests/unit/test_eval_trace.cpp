// Tracing: the events in order, the callback's arguments, the event mask
// read from the callback's body, functions that switch tracing, and library
// code, which fires nothing, keeps the caller's position and opens marks
// without the interpreted flag.
#include <cstring>

#include "datatypes/function.h"
#include "library/boot.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

// The kinds of the marks below the native's own, innermost first, as
// integers (the flags' top byte), and the name of the one just below it.
// Spare slots past the built table.
constexpr int32_t marks_slot = natives::number::count + 2, below_slot = natives::number::count + 3;
signal_code n_marks(bool, const refinements&) {
    std::vector<kel_value> out;
    for (int32_t i = stack::mark_depth() - 2; i >= 0 && out.size() < 3; --i)
        out.push_back(int_v(static_cast<int32_t>(stack::regs.marks_bottom[i].flags >> 24)));
    *stack::arguments() = block_of(out);
    return signal_code::none;
}
signal_code n_below(bool, const refinements&) {
    const stack::call_mark& m = stack::regs.marks_top[-2];
    kel_value w;
    init_cell(&w, types::word);
    w.w2 = m.symbol;
    w.w3 = static_cast<uint32_t>(-1);
    *stack::arguments() = w;
    return signal_code::none;
}

struct EvalTrace : eval_test {
    natives::entry saved[2];
    void SetUp() override {
        eval_test::SetUp();
        const struct {
            int32_t slot;
            const char* name;
            natives::native_fn fn;
        } defs[] = {{marks_slot, "marks?", n_marks}, {below_slot, "below?", n_below}};
        for (int i = 0; i < 2; ++i) {
            natives::entry e;
            e.name = defs[i].name;
            e.spec = "";
            e.fn = defs[i].fn;
            saved[i] = natives::define(defs[i].slot, e);
            kel_value* holder = stack::push_unset();
            natives::make_native(defs[i].slot, holder);
            runtime_env::define(defs[i].name, *holder);
        }
        stack::reset();
    }
    void TearDown() override {
        (void)natives::define(marks_slot, saved[0]);
        (void)natives::define(below_slot, saved[1]);
        eval_test::TearDown();
    }

    // Runs `code` traced by a callback with the given body (its spec: event
    // code offset value ref frame); answers the global `log` molded.
    std::string traced(const char* body, const char* code) {
        const std::string def = std::string("log: copy [] tracer: make function! [[event code offset value ref frame] ") +
                                body + "]";
        EXPECT_EQ(run(def.c_str()).substr(0, 4), "func") << def;
        kel_value w = *word::from_c_string("tracer");
        const kel_value tracer = *_context::get_bound(&w);
        interpreter::start_tracing(&tracer);
        const std::string result = run(code);
        interpreter::stop_tracing();
        return value_of("log") + " => " + result;
    }
};

// A block whose buffer is marked as library code.
kel_value library_block(const char* text) {
    const kel_value outer = runtime_env::read(text);
    memory::set_series_flags(series_node(&outer), memory::flag_library);
    return outer;
}

}  // namespace

TEST_F(EvalTrace, EventsInOrder) {
    EXPECT_EQ(traced("[append log event]", "1 + 2"),
              "[enter fetch push fetch open fetch push call return expr exit] => 3");
    EXPECT_EQ(traced("[append log event]", "x: 5"), "[enter fetch push fetch push set expr exit] => 5");
    EXPECT_EQ(traced("[[prolog epilog] append log event]", "f: make function! [[] [1]] f f"),
              "[prolog epilog prolog epilog] => 1");
    EXPECT_EQ(traced("[[open call return] append log event]", "append [] 1"), "[open call return] => [1]");
    EXPECT_EQ(traced("[[enter exit] append log event]", "b: [1 2] b/1"), "[enter enter exit exit] => 1");
}

TEST_F(EvalTrace, TheMaskComesFromTheCallbacksBody) {
    EXPECT_EQ(traced("[[fetch] append log event]", "1 2"), "[fetch fetch] => 2");
    EXPECT_EQ(traced("[[fetch nonsense] 42 append log event]", "1"), "[fetch] => 1");
    EXPECT_EQ(traced("[[] append log event]", "1"), "[] => 1");     // an empty block: nothing
    EXPECT_EQ(traced("[[expr] append log event]", "1 2 3"), "[expr expr expr] => 3");
    EXPECT_EQ(run("f: make function! [[e] [1]]"), "func [e][1]");
    kel_value w = *word::from_c_string("f");
    const kel_value f = *_context::get_bound(&w);
    EXPECT_EQ(interpreter::trace_mask(&f), interpreter::event::default_mask);
    EXPECT_EQ(run("g: make function! [[e] [[fetch push error] 1]]"), "func [e][[fetch push error] 1]");
    w = *word::from_c_string("g");
    const kel_value g = *_context::get_bound(&w);
    EXPECT_EQ(interpreter::trace_mask(&g), interpreter::event::fetch | interpreter::event::push |
                                               interpreter::event::error);
}

TEST_F(EvalTrace, TheCallbackArguments) {
    // Offsets from the block's head; the set event names the set-word.
    EXPECT_EQ(traced("[[fetch] append append log event offset]", "1 2"), "[fetch 0 fetch 1] => 2");
    EXPECT_EQ(traced("[[set] append append append log event ref value]", "x: 7"), "[set x: 7] => 7");
    EXPECT_EQ(traced("[[error] append log event]", "undefined-one"), "[error] => !script/no-value");
    EXPECT_EQ(traced("[[push] append log value]", "'w"), "[w] => w");
    // The callback's own locals start as none!, and its evaluation is not traced.
    EXPECT_EQ(run("log: copy [] t: make function! [[event code offset value ref frame /local x] [append log x]]"),
              "func [event code offset value ref frame /local x][append log x]");
    kel_value w = *word::from_c_string("t");
    const kel_value t = *_context::get_bound(&w);
    interpreter::start_tracing(&t);
    EXPECT_EQ(interpreter::trace.locals, 2);
    EXPECT_EQ(run("1"), "1");
    interpreter::stop_tracing();
    EXPECT_EQ(value_of("log"), "[none none none none none]");  // enter fetch push expr exit
}

TEST_F(EvalTrace, FunctionsSwitchTracing) {
    EXPECT_EQ(traced("[[prolog] append log event]", "f: make function! [[[no-trace]] [g]] g: make function! [[] [1]] f"),
              "[] => 1");
    interpreter::trace.master = false;
    EXPECT_EQ(traced("[[prolog] append log event]", "f: make function! [[[trace]] [g]] g: make function! [[] [1]] f"),
              "[] => 1");
    interpreter::trace.master = true;
    EXPECT_EQ(traced("[[prolog] append log event]", "f: make function! [[[trace]] [g]] g: make function! [[] [1]] f"),
              "[prolog prolog] => 1");
    interpreter::trace.master = false;
}

TEST_F(EvalTrace, CallbacksWithAFilter) {
    // A sort comparator runs with filter 4: traced only when its bit is on,
    // and bracketed by call and return.
    const char* code = "cmp: make function! [[a b] [a < b]] sort/compare [2 1] :cmp";
    interpreter::trace.callback_bits = 0;
    // The mark's name is a word no source text spells (the lexer reads
    // '<compare-callback> as no word), so it is compared by its formed text.
    const char* body = "[[prolog call] if \"<compare-callback>\" = form ref [append log event]]";
    EXPECT_EQ(traced(body, code), "[call] => [1 2]");
    interpreter::trace.callback_bits = interpreter::filter::sort;
    EXPECT_EQ(traced(body, code), "[call prolog] => [1 2]");
    interpreter::trace.callback_bits = 0;
}

TEST_F(EvalTrace, LibraryCode) {
    // No events, no moving of the current position, no interpreted marks.
    const kel_value lib = library_block("1 + 2 marks?");
    EXPECT_EQ(run("log: copy [] tracer: make function! [[event code offset value ref frame] [append log event]]"),
              "func [event code offset value ref frame][append log event]");
    kel_value w = *word::from_c_string("tracer");
    const kel_value tracer = *_context::get_bound(&w);
    interpreter::start_tracing(&tracer);
    EXPECT_EQ(run_block(lib), "[7]");
    interpreter::stop_tracing();
    EXPECT_EQ(value_of("log"), "[]");
    EXPECT_EQ(run("marks?"), "[135]");  // 0x87: interpreted evaluation
    EXPECT_EQ(run("f: make function! [[] [marks?]] f"), "[145 135]");  // 0x81 with the return-target flag

    // An error inside library code reports the user's expression as near.
    kel_value outer = runtime_env::read("x: 1 lib-fn 5");
    const kel_value failing = library_block("[a] [undefined-in-lib]");
    kel_value* holder = stack::push_unset();
    (void)function::push(block::ks_abs_at(&failing, 0), block::ks_abs_at(&failing, 1), 0, 1, 0, 0);
    *holder = *(stack::top() - 1);
    runtime_env::define("lib-fn", *holder);
    stack::reset();
    EXPECT_EQ(run_block(outer), "!script/no-value");
    EXPECT_EQ(mold(last_fired().near), "[lib-fn 5]");
    // A library function's marks lack the interpreted flag; its body stays library code.
    const kel_value lib_fn_src = library_block("[] [marks?]");
    holder = stack::push_unset();
    (void)function::push(block::ks_abs_at(&lib_fn_src, 0), block::ks_abs_at(&lib_fn_src, 1), 0, 1, 0, 0);
    *holder = *(stack::top() - 1);
    runtime_env::define("lib-marks", *holder);
    stack::reset();
    EXPECT_EQ(run("lib-marks"), "[145 135]");  // the call is made by user code
    // Its body is library code; a copy of it is ordinary code. Untraced,
    // `do` runs either in its own mark; traced, the body's own evaluation
    // mark shows which it is, and the tracer hears nothing from inside
    // library code.
    EXPECT_EQ(run("b: reflect :lib-marks 'body do b"), "[130 135]");
    EXPECT_EQ(run("b: reflect :lib-marks 'body do copy b"), "[130 135]");
    EXPECT_EQ(run("log: copy [] b: reflect :lib-marks 'body c: copy b "
                  "inside: make function! [[event code offset value ref frame] "
                  "[if any [same? code b same? code c] [append log event]]] 0"),
              "0");
    w = *word::from_c_string("inside");
    const kel_value inside = *_context::get_bound(&w);
    interpreter::start_tracing(&inside);
    EXPECT_EQ(run("do b"), "[7 130 135]");
    EXPECT_EQ(value_of("log"), "[]");
    EXPECT_EQ(run("do c"), "[135 130 135]");
    interpreter::stop_tracing();
    EXPECT_EQ(value_of("log"), "[enter fetch open call return expr exit]");
}

TEST_F(EvalTrace, SetPathsOfLibraryCodeRunInTheirOwnMark) {
    EXPECT_EQ(run("b: [0] b/1: below? b"), "[set-path]");
    const kel_value lib = library_block("b: [0] b/1: below? b");
    EXPECT_EQ(run_block(lib), "[eval-set-path]");
}

TEST_F(EvalTrace, InterpretedAsksForUserCodeBelow) {
    // Library sources are flagged through and through, as the boot loads them.
    const auto library_source = [](const char* text) {
        const kel_value b = *boot::load_library_source(text, std::strlen(text), "test");
        stack::drop_cells(1);
        return b;
    };
    // Code reached only from library code, as the boot runs it, answers
    // false, also inside functions library code makes from its own bodies
    // (which stay library code once the boot is over).
    EXPECT_EQ(run_block(library_source("system/state/interpreted?")), "false");
    EXPECT_EQ(run_block(library_source("lib-made: func [] [system/state/interpreted?] lib-made")), "false");
    EXPECT_EQ(run_block(library_source("lib-does: does [reduce [system/state/interpreted?]] lib-does")), "[false]");
    // User code anywhere below answers true.
    EXPECT_EQ(run("system/state/interpreted?"), "true");
    EXPECT_EQ(run("lib-made"), "true");
    EXPECT_EQ(run("f: does [lib-made] f"), "true");
    // A function user code makes from a library body is user code, even
    // when only library code calls it.
    EXPECT_EQ(run("user-made: does body-of :lib-made"), "func [][system/state/interpreted?]");
    EXPECT_EQ(run_block(library_source("user-made")), "true");
}
