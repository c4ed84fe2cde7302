// The system natives where a script cannot see them: `wait` runs the GUI
// message loop once, in no-wait mode, after its sleep, and not at all when
// it refuses its argument.
#include "evaluator/natives_system.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;

namespace {

struct NativesSystem : natives_test {
    void TearDown() override { natives::gui::hooks.do_events = nullptr; }
};

int loop_runs = 0;
bool last_no_wait = false;

void counting_loop(bool no_wait) {
    ++loop_runs;
    last_no_wait = no_wait;
}

}  // namespace

TEST_F(NativesSystem, WaitRunsTheMessageLoopOnceWithoutWaiting) {
    EXPECT_EQ(run("wait 0"), "none");  // no loop installed: only the sleep
    loop_runs = 0;
    natives::gui::hooks.do_events = counting_loop;
    EXPECT_EQ(run("wait 0.001"), "none");
    EXPECT_EQ(loop_runs, 1);
    EXPECT_TRUE(last_no_wait);
    EXPECT_EQ(run("wait 50%"), "!script/invalid-arg");
    EXPECT_EQ(loop_runs, 1);
}
