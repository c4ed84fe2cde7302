// The GUI's message core without a display: records posted through the
// core's own door and dispatched to a recording hook, the quit protocol of
// nested waiting loops, face timers on a fake clock, and a post from a
// second thread that wakes a sleeping loop, and a halt asked for from
// another thread ending every sleeping loop. A loop that would sleep with
// nothing left to take is a hang; the tests' wait hook ends it and records
// that instead.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "datatypes/string_api.h"
#include "gui/backend/messages.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/runtime_env.h"

namespace kel::test {
namespace {

using messages::kind;
using messages::record;

std::vector<int64_t> seen;   // wparam of each record dispatched, in order
bool would_hang = false;
int64_t fake_now = 0;
void (*on_record)(const record& r) = nullptr;

record user(int64_t code) {
    record r;
    r.what = kind::user;
    r.wparam = code;
    return r;
}

void recording_dispatch(const record& r) {
    seen.push_back(r.what == kind::timer ? -r.view : r.wparam);
    if (on_record) on_record(r);
}

// Nothing left to take and the loop would sleep: end it, and say so.
void no_sleep(int64_t) {
    would_hang = true;
    messages::exit_event_loop();
}

class MessageCore : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_env::start();
        messages::reset();
        seen.clear();
        would_hang = false;
        fake_now = 0;
        on_record = nullptr;
        messages::dispatching.dispatch = recording_dispatch;
        messages::waiting.wait = no_sleep;
        messages::timing.now_ms = [] { return fake_now; };
    }
    void TearDown() override { messages::reset(); }
};

TEST_F(MessageCore, NoWaitPassesTakeOneRecordAtMost) {
    EXPECT_FALSE(messages::do_events(true));
    messages::post(user(1));
    messages::post(user(2));
    EXPECT_TRUE(messages::do_events(true));
    EXPECT_EQ(seen, (std::vector<int64_t>{1}));
    EXPECT_TRUE(messages::do_events(true));
    EXPECT_FALSE(messages::do_events(true));
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2}));
    // A quit with no waiting loop is taken (and so consumed) by a no-wait pass.
    messages::post_quit();
    messages::post_quit();  // posts coalesce
    EXPECT_TRUE(messages::do_events(true));
    EXPECT_FALSE(messages::do_events(true));
    EXPECT_EQ(messages::waiting_depth(), 0);
}

TEST_F(MessageCore, TheQuitEndsTheInnerOfTwoLoopsAfterThePostedRecords) {
    static std::vector<int32_t> depths;
    depths.clear();
    on_record = [](const record& r) {
        depths.push_back(messages::waiting_depth());
        if (r.wparam == 1) {
            messages::post(user(2));
            messages::do_events(false);
            seen.push_back(100);  // the inner loop returned
            messages::post(user(4));
        } else if (r.wparam == 2) {
            messages::exit_event_loop();
            messages::post(user(3));  // taken before the quit
        } else if (r.wparam == 4) {
            messages::exit_event_loop();
        }
    };
    messages::post(user(1));
    EXPECT_TRUE(messages::do_events(false));
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, 3, 100, 4}));
    EXPECT_EQ(depths, (std::vector<int32_t>{1, 2, 2, 1}));
    EXPECT_FALSE(would_hang);
    EXPECT_EQ(messages::waiting_depth(), 0);
}

// Loops ended by exit-event-loop leave the quit counter at 0, so a later
// handler that destroys two waited-on views ends both loops around it.
TEST_F(MessageCore, LoopsEndedByExitDoNotOweQuits) {
    on_record = [](const record& r) {
        if (r.wparam == 9) messages::exit_event_loop();
    };
    for (int i = 0; i < 50; ++i) {
        messages::post(user(9));
        messages::do_events(false);
    }
    EXPECT_EQ(messages::quit_counter(), 0);
    on_record = [](const record& r) {
        if (r.wparam == 1) {
            messages::post(user(2));
            messages::do_events(false);
        } else if (r.wparam == 2) {
            const int32_t before = messages::loop_counter();
            messages::view_destroyed_empty();
            messages::view_destroyed_empty();
            // what the dispatch does when the loop counter fell
            if (messages::loop_counter() < before) messages::post_quit();
        }
    };
    messages::post(user(1));
    messages::do_events(false);
    EXPECT_FALSE(would_hang);
    EXPECT_EQ(messages::quit_counter(), 0);
    EXPECT_EQ(messages::waiting_depth(), 0);
}

// A timer handler that runs no-wait passes while a posted close destroys the
// waited-on view: the passes leave the quit to the waiting loop.
TEST_F(MessageCore, NoWaitPassesInsideALoopLeaveItsQuit) {
    on_record = [](const record& r) {
        if (r.what == kind::timer) {
            messages::post(user(5));
            messages::do_events(true);
            messages::do_events(true);
        } else if (r.wparam == 5) {
            messages::kill_timer(7);
            messages::view_destroyed_empty();
            messages::post_quit();
        }
    };
    messages::set_timer(7, 20);
    fake_now = 25;
    messages::do_events(false);
    EXPECT_EQ(seen, (std::vector<int64_t>{-7, 5}));
    EXPECT_FALSE(would_hang);
    EXPECT_EQ(messages::quit_counter(), 0);
}

TEST_F(MessageCore, EachDispatchSeesItsOwnRecordAndTheKeyFlagsComeBack) {
    static std::vector<int64_t> current;
    current.clear();
    on_record = [](const record& r) {
        current.push_back(messages::current()->wparam);
        current.push_back(messages::key_flags_override);
        if (r.wparam == 1) {
            messages::key_flags_override = 0x20000000;
            messages::post(user(2));
            messages::do_events(true);
            current.push_back(messages::current()->wparam);
            current.push_back(messages::key_flags_override);
        }
    };
    messages::key_flags_override = 0x10000000;
    messages::post(user(1));
    messages::do_events(true);
    EXPECT_EQ(current, (std::vector<int64_t>{1, -1, 2, -1, 1, 0x20000000}));
    EXPECT_EQ(messages::key_flags_override, 0x10000000);
    EXPECT_EQ(messages::current(), nullptr);
}

TEST_F(MessageCore, RatesAreIntervalsOrRaise) {
    struct row {
        kel_value rate;
        int32_t interval;  // -2: raises invalid-facet-type
    };
    kel_value half, zero, huge;
    set_float(&half, 0.5, types::time);
    set_float(&zero, 0.0, types::time);
    set_float(&huge, 1e12, types::time);
    const row rows[] = {
        {int_v(3), 333}, {int_v(1), 1000}, {int_v(2000), 0}, {half, 500}, {huge, 2147483647}, {none_v(), -1},
        {int_v(0), -2},  {int_v(-1), -2},  {zero, -2},       {str(U"x"), -2}, {logic_v(true), -2},
    };
    for (const row& r : rows) {
        if (r.interval == -2) {
            EXPECT_TRUE(fires([&] { (void)messages::rate_interval(&r.rate); }, "invalid-facet-type")) << mold(r.rate);
        } else {
            EXPECT_EQ(messages::rate_interval(&r.rate), r.interval) << mold(r.rate);
        }
    }
}

TEST_F(MessageCore, TimersFireLastAndLateOnesOnce) {
    messages::set_timer(7, 20);
    fake_now = 10;
    EXPECT_FALSE(messages::do_events(true));
    fake_now = 20;
    messages::post(user(1));  // queued input goes first
    EXPECT_TRUE(messages::do_events(true));
    EXPECT_TRUE(messages::do_events(true));
    EXPECT_FALSE(messages::do_events(true));  // next due at 40
    fake_now = 500;                           // many intervals late: once
    EXPECT_TRUE(messages::do_events(true));
    EXPECT_FALSE(messages::do_events(true));
    EXPECT_EQ(seen, (std::vector<int64_t>{1, -7, -7}));
    // never more often than every 10 ms; none stops the timer
    messages::set_timer(8, 1);
    fake_now += 5;
    EXPECT_FALSE(messages::do_events(true));
    fake_now += 5;
    EXPECT_TRUE(messages::do_events(true));
    const kel_value none = none_v();
    messages::set_rate(8, &none);
    fake_now += 1000;
    seen.clear();
    while (messages::do_events(true)) {
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{-7}));
}

// The default wait: a record posted from another thread wakes the loop.
TEST_F(MessageCore, APostFromAnotherThreadWakesASleepingLoop) {
    messages::reset();
    messages::dispatching.dispatch = recording_dispatch;
    on_record = [](const record&) { messages::exit_event_loop(); };
    std::thread poster([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        messages::post(user(6));
    });
    messages::do_events(false);
    poster.join();
    EXPECT_EQ(seen, (std::vector<int64_t>{6}));
}

// A halt asked for while loops sleep (the signal waiter sets the flag, then
// wakes the core) ends the sleeping loop and every loop around it, and is
// left for the evaluator's poll. With one loop, and with two nested.
TEST_F(MessageCore, AHaltEndsEverySleepingLoopAndStaysAsked) {
    for (const bool nested : {false, true}) {
        messages::reset();
        seen.clear();
        messages::dispatching.dispatch = recording_dispatch;
        on_record = [](const record& r) {
            if (r.wparam == 1) {
                EXPECT_FALSE(messages::do_events(false));
                EXPECT_EQ(messages::waiting_depth(), 1);  // the outer loop, still to end
            }
        };
        if (nested) messages::post(user(1));
        std::thread waiter([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            runtime::halt_requested.store(true);
            messages::wake();
        });
        messages::do_events(false);
        waiter.join();
        EXPECT_EQ(messages::waiting_depth(), 0);
        EXPECT_TRUE(runtime::halt_requested.exchange(false));
        EXPECT_EQ(seen, nested ? std::vector<int64_t>{1} : std::vector<int64_t>{});
    }
}

}  // namespace
}  // namespace kel::test
