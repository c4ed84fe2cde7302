// The services the datatypes take from the rest of the runtime (a word's
// spelling, the bitset dialect's words, string sorting's function calls):
// that the start-up step installs them, what they answer, and a time! changed
// through a compiled path going back into the value that holds it.
#include <cstring>
#include <string>

#include "datatypes/bitset.h"
#include "datatypes/block_actions.h"
#include "datatypes/integer.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_api_words.h"
#include "kernel/runtime.h"
#include "datatypes/runtime_words.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct HooksServices : eval_test {
    void SetUp() override {
        eval_test::SetUp();
        run_services_step();  // other suites swap these hooks
    }
    static void run_services_step() {
        size_t count = 0;
        const runtime::init_step* steps = runtime::init_steps(&count);
        for (size_t i = 0; i < count; ++i)
            if (std::strcmp(steps[i].name, "datatype services") == 0) steps[i].run();
    }
};

kel_value global_word(const char* name) { return *word::from_c_string(name); }

std::string spelling(const kel_value& w) {
    const char* text = nullptr;
    size_t length = 0;
    if (!scalar::hooks.word_spelling(&w, &text, &length)) return "<none>";
    return std::string(text, length);
}

}  // namespace

TEST_F(HooksServices, StartUpStepInstallsEveryService) {
    size_t count = 0;
    const runtime::init_step* steps = runtime::init_steps(&count);
    size_t services = count, natives = count;
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(steps[i].name, "datatype services") == 0) services = i;
        if (std::strcmp(steps[i].name, "native table") == 0) natives = i;
    }
    ASSERT_LT(services, count);
    EXPECT_GT(services, natives);  // after the runtime words and the interpreter
    scalar::hooks.word_spelling = nullptr;
    bitset::dialect = {};
    steps[services].run();
    EXPECT_NE(scalar::hooks.word_spelling, nullptr);
    EXPECT_EQ(bitset::dialect.not_word, symbol::resolve(words::not_));
    EXPECT_EQ(bitset::dialect.range_word, symbol::resolve(words::dash));
    EXPECT_NE(bitset::dialect.not_word, 0u);
}

TEST_F(HooksServices, TheInterpreterInstallsBothSortCallbacks) {
    // Its hooks are installed at start-up (the native table step) and again
    // by tests that swap them.
    string::compare_callback = nullptr;
    block::call_compare = nullptr;
    interpreter::install_hooks();
    EXPECT_NE(string::compare_callback, nullptr);
    EXPECT_NE(block::call_compare, nullptr);
}

TEST_F(HooksServices, WordSpellingIsTheSymbolsOwnText) {
    // Exact bytes: letter case kept, UTF-8 as interned, any word type.
    EXPECT_EQ(spelling(global_word("Hour")), "Hour");
    EXPECT_EQ(spelling(global_word("h\xC3\xA9llo")), "h\xC3\xA9llo");
    kel_value issue = global_word("FF");
    issue.header = (issue.header & ~0xFFu) | types::issue;
    EXPECT_EQ(spelling(issue), "FF");
    // A symbol id the table does not hold names nothing.
    kel_value stray = global_word("x");
    stray.w2 = symbol::count() + 1000;
    EXPECT_EQ(spelling(stray), "<none>");
    stray.w2 = 0;
    EXPECT_EQ(spelling(stray), "<none>");
}

TEST_F(HooksServices, IssuesAndTimeFieldsReadTheSpelling) {
    EXPECT_EQ(run("to integer! #7fffffff"), "2147483647");
    EXPECT_EQ(run("to integer! #zz"), "!script/invalid-data");
    EXPECT_EQ(run("t: 1:02:03.5 t/HOUR"), "1");
    EXPECT_EQ(run("t: -1:02:03.5 t/second"), "-3.5");
    EXPECT_EQ(run("pick 1:02:03.5 'Minute"), "2");
}

TEST_F(HooksServices, BitsetDialectWords) {
    EXPECT_EQ(run("make bitset! [0 - 2 not]"), "!script/bad-make-arg");  // `not` only leads
    EXPECT_EQ(run("make bitset! [Not 0 - 7]"), "make bitset! [not #{FF}]");
    EXPECT_EQ(run("make bitset! [0 - - 2]"), "!script/invalid-arg");
}

TEST_F(HooksServices, TimeSetThroughACompiledPathGoesBack) {
    // The head word's variable.
    ASSERT_EQ(run("hk-t: 1:02:03.5"), "1:02:03.5");
    const kel_value path = block_of({global_word("hk-t"), int_v(1)}, types::path);
    stack::open_native_frame(nullptr);
    kel_value* base = stack::push_unset();
    *base = int_v(5);
    ASSERT_EQ(compiled::eval_path(true, &path), signal_code::none);
    stack::close_frame_rewind();
    EXPECT_EQ(value_of("hk-t"), "5:02:03.5");
    // A block's slot, found by a key word.
    ASSERT_EQ(run("hk-b: [k 1:02:03.5]"), "[k 1:02:03.5]");
    const kel_value deep = block_of({global_word("hk-b"), global_word("k"), global_word("minute")}, types::path);
    stack::open_native_frame(nullptr);
    base = stack::push_unset();
    *base = int_v(30);
    ASSERT_EQ(compiled::eval_path(true, &deep), signal_code::none);
    stack::close_frame_rewind();
    EXPECT_EQ(value_of("hk-b"), "[k 1:30:03.5]");
}
