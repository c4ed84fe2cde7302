// A boot that fails never passes for a good one: a phase source that raises
// an error or lets a control signal out, and a system object whose fields
// are not in their fixed order, end the process with "*** Boot Error: ..."
// on stderr and a non-zero exit code (in a forked child: death tests).
#include <gtest/gtest.h>

#include <cstring>

#include "datatypes/context.h"
#include "datatypes/word.h"
#include "library/boot.h"
#include "tests/unit/runtime_env.h"

namespace kel::test {
namespace {

bool failed_exit(int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; }

void run_text(const char* text) {
    runtime_env::start();
    boot::run_source("test", text, std::strlen(text));
}

TEST(boot_failures, a_phase_that_raises_stops_the_boot) {
    struct row {
        const char* source;
        const char* message;  // a regular expression on stderr
    } rows[] = {
        {"add 1 none", "\\*\\*\\* Boot Error: phase test: \\*\\*\\* Script Error: add does not allow none!"},
        {"x: [1 2", "\\*\\*\\* Boot Error: phase test: \\*\\*\\* Syntax Error"},
        {"undefined-in-boot", "\\*\\*\\* Boot Error: phase test: \\*\\*\\* Script Error: undefined-in-boot has no"},
        {"throw 1", "\\*\\*\\* Boot Error: phase test: "},
    };
    for (const row& r : rows) EXPECT_EXIT(run_text(r.source), failed_exit, r.message) << r.source;
}

// In a child too: the boot's hooks stay out of the other tests' process.
void good_phase() {
    run_text("boot-test-value: add 40 2");
    const kel_value w = *word::from_c_string("boot-test-value");
    const kel_value* v = _context::get_bound(&w);
    std::exit(type_of(v) == types::integer && get_integer(v) == 42 ? 0 : 3);
}

TEST(boot_failures, a_good_phase_goes_on) { EXPECT_EXIT(good_phase(), ::testing::ExitedWithCode(0), ""); }

void check_object(const char* source) {
    run_text(source);
    const kel_value w = *word::from_c_string("sys");
    const kel_value s = *_context::get_bound(&w);
    boot::check_system(&s);
    std::exit(0);
}

TEST(boot_failures, system_fields_out_of_order_stop_the_boot) {
    // The first fields C++ reads: version at 0, catalog at 4.
    EXPECT_EXIT(check_object("sys: make object! [version: 1 build: 2 words: 3 platform: 4 x: 5 catalog: 6]"),
                failed_exit, "\\*\\*\\* Boot Error: system/catalog is out of its fixed order \\(field 5, expected 4\\)");
    EXPECT_EXIT(check_object("sys: make object! [build: 2 version: 1]"), failed_exit,
                "\\*\\*\\* Boot Error: system/version is out of its fixed order");
    EXPECT_EXIT(check_object("sys: make object! [version: 1]"), failed_exit,
                "\\*\\*\\* Boot Error: system/catalog is missing");
    // console and view, read by the console and the GUI, behind a stray member
    EXPECT_EXIT(check_object("sys: make object! body-of system"), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(check_object("b: body-of system insert find b quote console: [x: 1] sys: make object! b"),
                failed_exit, "\\*\\*\\* Boot Error: system/console is out of its fixed order \\(field 16, expected 15\\)");
    EXPECT_EXIT(check_object("b: body-of system remove/part find b quote view: 2 sys: make object! b"), failed_exit,
                "\\*\\*\\* Boot Error: system/view is missing");
    // members further down: the lexer's exit states, the currency list
    EXPECT_EXIT(check_object("b: body-of system change next find b quote lexer: make object! [pre-load: 1 exit-states: [] err-pos: 2] "
                             "sys: make object! b"),
                failed_exit,
                "\\*\\*\\* Boot Error: system/lexer/exit-states is out of its fixed order \\(field 1, expected 2\\)");
    EXPECT_EXIT(check_object("b: body-of system change next find b quote locale: make object! [months: [] currencies: context [x: 1]] "
                             "sys: make object! b"),
                failed_exit, "\\*\\*\\* Boot Error: system/locale/currencies/list is missing");
}

// The fields the GUI reads by position in the view phase's objects.
void check_view(const char* source) {
    run_text(source);
    boot::check_view_fields();
    std::exit(0);
}

TEST(boot_failures, view_fields_out_of_order_stop_the_boot) {
    EXPECT_EXIT(check_view("none"), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(check_view("face!: make object! [offset: none type: 'face]"), failed_exit,
                "\\*\\*\\* Boot Error: face!/type is out of its fixed order \\(field 1, expected 0\\)");
    EXPECT_EXIT(check_view("para!: make object! [origin: none padding: none scroll: none align: none v-align: none "
                           "wrap?: false on-change*: func [w o n] [] parent: none]"),
                failed_exit, "\\*\\*\\* Boot Error: para!/parent is out of its fixed order \\(field 7, expected 6\\)");
    EXPECT_EXIT(check_view("system/view: make object! [screens: none]"), failed_exit,
                "\\*\\*\\* Boot Error: system/view/event-port is missing");
    EXPECT_EXIT(check_view("scroller!: none"), failed_exit, "\\*\\*\\* Boot Error: scroller! is not an object");
}

}  // namespace
}  // namespace kel::test
