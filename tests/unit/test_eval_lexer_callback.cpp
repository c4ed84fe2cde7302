// A Kel function as the lexer's event callback: the events it asks for,
// its arguments, its veto, the <lexer-callback> mark it runs in, and an error
// inside it travelling out of the scan.
#include <cstring>

#include "datatypes/error.h"
#include "evaluator/lexer_callback.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct EvalLexerCallback : eval_test {};

// Scans `text` with the global word's function as callback; the loaded block
// molded, or "!category/id" for an error.
std::string scan_with(const char* function, const char* text) {
    const kel_value w = *word::from_c_string(function);
    kel_value* fn = stack::push_copy(_context::get_bound(&w));
    const lexer::callback cb = lexer_callback::of(fn);
    lexer::options o;
    o.events = &cb;
    kel_value* out = stack::push_unset();
    std::string answer;
    const error_trap trap = open_error_trap();
    try {
        lexer::transcode_utf8(out, reinterpret_cast<const uint8_t*>(text), std::strlen(text), o);
        close_error_trap(trap, false);
        answer = mold(*out);
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        answer = "!" + fired();
    }
    stack::drop_cells(2);
    return answer;
}

}  // namespace

TEST_F(EvalLexerCallback, EventsArgumentsAndVeto) {
    // Only the load events (the body's first block), with the line and the
    // value loaded; false drops the value.
    ASSERT_EQ(run("log: copy [] cb: make function! [[event input type line token] "
                  "[[load] append log event append log line append log token either token = 2 [false] [true]]]"),
              "func [event input type line token][[load] append log event append log line append log token either "
              "token = 2 [false] [true]]");
    EXPECT_EQ(scan_with("cb", "1\n2 3"), "[1 3]");
    // (The 2 read after the line break keeps its new-line marker.)
    EXPECT_EQ(value_of("log"), "[load 1 1 load 2\n2 load 2 3]");
    // Without a block of events first: every event, open and close among them.
    ASSERT_NE(run("seen: copy [] all: make function! [[event input type line token] [append seen event true]]"),
              "");
    EXPECT_EQ(scan_with("all", "[a]"), "[[a]]");
    const std::string seen = value_of("seen");
    EXPECT_NE(seen.find("open"), std::string::npos) << seen;
    EXPECT_NE(seen.find("close"), std::string::npos) << seen;
    EXPECT_NE(seen.find("load"), std::string::npos) << seen;
}

TEST_F(EvalLexerCallback, ItRunsInANamedMarkAndItsErrorsTravelOut) {
    ASSERT_NE(run("bad: make function! [[event input type line token] [[load] no-such-word-here]]"), "");
    EXPECT_EQ(scan_with("bad", "1 2"), "!script/no-value");
    EXPECT_EQ(lexer::running_scans(), 0);
    EXPECT_EQ(mold(last_fired().where), "<lexer-callback>");
    // The error the receiver gets: near at the callback's expression, the
    // mark depth of the raise in stack.
    const kel_value e = *error::last();
    EXPECT_EQ(mold(*error::field_at(&e, error::field::near)), "[no-such-word-here]");
    EXPECT_EQ(mold(*error::field_at(&e, error::field::where)), "<lexer-callback>");
    EXPECT_EQ(mold(*error::field_at(&e, error::field::stack)), "2");
    // The scan after it works.
    ASSERT_NE(run("drop2: make function! [[event input type line token] [[load] either token = 2 [false] [true]]]"), "");
    EXPECT_EQ(scan_with("drop2", "4 2 5"), "[4 5]");
}
