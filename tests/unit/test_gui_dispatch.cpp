// make-event without a display: stub views for faces made in Kel, records
// handed to make-event, and a recording system/view/awake that keeps what
// each event reads. An event kept past its awake call reads its message
// fields as none; errors, throws and halts in awake stop at make-event.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/handle.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "gui/backend/dispatch.h"
#include "gui/backend/event.h"
#include "gui/backend/messages.h"
#include "gui/backend/pre_filter.h"
#include "gui/backend/views.h"
#include "kernel/runtime.h"
#include "library/boot.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/runtime_env.h"

namespace kel::test {
namespace {

using messages::kind;
using messages::record;
namespace et = event_value::event_type;
namespace fl = event_value::flag;

void run(const char* text) { boot::run_source("test", text, std::strlen(text)); }

kel_value global(const char* name) { return *_context::get_bound(word::from_c_string(name)); }

std::string seen() { return mold(global("seen")); }

class GuiDispatch : public ::testing::Test {
protected:
    int32_t window_view = 0, button_view = 0;
    void SetUp() override {
        runtime_env::start();
        messages::reset();
        views::clear();
        pre_filter::reset();
        gui_dispatch::install();
        // the library's awake stays reachable while the test's stands in for it
        run("saved-view-awake: :system/view/awake");
        run("w: make face! [type: 'window] f: make face! [type: 'button] seen: copy [] kept: none answer: 'done "
            "system/view/awake: func [event /with face] ["
            "  kept: event"
            "  append/only seen reduce [event/type event/face/type event/window/type event/offset event/flags "
            "    event/key event/picked]"
            "  either block? answer [do answer] [answer]"
            "]");
        const kel_value window = global("w"), button = global("f");
        window_view = views::add(&window, 0);
        button_view = views::add(&button, window_view);
    }
    void TearDown() override {
        runtime::halt_requested.store(false);
        run("system/view/awake: :saved-view-awake");
        views::clear();
        messages::reset();
    }
    record at(kind what, int64_t wparam = 0, int32_t x = 0, int32_t y = 0) {
        record r;
        r.view = button_view;
        r.what = what;
        r.wparam = wparam;
        r.x = x;
        r.y = y;
        return r;
    }
};

TEST_F(GuiDispatch, EventsReadTheirRecord) {
    struct row {
        record r;
        uint32_t flags;
        int32_t type;
        int32_t key_flags;  // the override, -1: the live flags (none here)
        const char* seen;
    } rows[] = {
        {at(kind::left_down, 0, 10, 20), fl::down, et::down, -1, "[[down button window (10, 20) [down] none 0]]"},
        {at(kind::left_down, 0, 3, 4), fl::down, et::down, int32_t(fl::control), "[[down button window (3, 4) [down control] none 0]]"},
        {at(kind::wheel, 240), 0, et::wheel, -1, "[[wheel button window (0, 0) [] wheel 2.0]]"},
        {at(kind::wheel, -60), 0, et::wheel, -1, "[[wheel button window (0, 0) [] wheel -0.5]]"},
        {at(kind::key_char, 'a'), 0, et::key, int32_t(fl::shift), "[[key button window none [shift] #\"a\" 97]]"},
        {at(kind::key_char, 1), 0, et::key, int32_t(fl::control), "[[key button window none [control] #\"^A\" 1]]"},
        {at(kind::user), 2, et::select, -1, "[[select button window none [] none 3]]"},
        {at(kind::user), 0, et::time, -1, "[[time button window none [] none 0]]"},
    };
    for (const row& r : rows) {
        run("clear seen");
        messages::key_flags_override = r.key_flags;
        EXPECT_EQ(gui_dispatch::make_event(r.r, r.flags, r.type), 1);
        EXPECT_EQ(seen(), r.seen) << r.type;
    }
}

TEST_F(GuiDispatch, ACharacterInTwoRecordsIsOneKeyEvent) {
    EXPECT_EQ(gui_dispatch::make_event(at(kind::key_char, 0xD83D), 0, et::key), 1);
    EXPECT_EQ(seen(), "[]");
    EXPECT_EQ(gui_dispatch::make_event(at(kind::key_char, 0xDE00), 0, et::key), 1);
    EXPECT_EQ(seen(), "[[key button window none [] #\"\xF0\x9F\x98\x80\" -2560]]");
}

TEST_F(GuiDispatch, AMenuItemIsItsWholeWord) {
    const uint32_t save = symbol::intern("save-as-something-long");
    run("clear seen");
    gui_dispatch::make_event(at(kind::user), save, et::menu);
    EXPECT_EQ(seen(), "[[menu button window none [] none save-as-something-long]]");
}

TEST_F(GuiDispatch, OnlyStopIsZeroAndNothingEscapes) {
    struct row {
        const char* answer;
        int32_t result;
    } rows[] = {
        {"'done", 1}, {"'stop", 0}, {"'STOP", 0}, {"'continue", 1}, {"[1 / 0]", 1}, {"[throw 1]", 1},
        {"[throw/name 1 'x]", 1}, {"[make error! \"x\"]", 1}, {"\"stop\"", 1},
    };
    for (const row& r : rows) {
        const std::string set = std::string("answer: ") + r.answer;
        run(set.c_str());
        EXPECT_EQ(gui_dispatch::make_event(at(kind::left_up), 0, et::up), r.result) << r.answer;
    }
    EXPECT_FALSE(runtime::halt_requested.load());
    // a halt in the handler is caught, and asked for again for the evaluator
    run("answer: [throw/name 'halt-request 'console]");
    EXPECT_EQ(gui_dispatch::make_event(at(kind::left_up), 0, et::up), 1);
    EXPECT_TRUE(runtime::halt_requested.exchange(false));
}

TEST_F(GuiDispatch, AnEventKeptPastItsCallReadsNoMessage) {
    gui_dispatch::make_event(at(kind::left_down, 0, 5, 6), fl::down, et::down);
    run("k: reduce [kept/type kept/face kept/window kept/offset kept/flags kept/picked]");
    EXPECT_EQ(mold(global("k")), "[down none none none [down] none]");
}

// The loop's timer record reaches awake as a `time` event of its face.
TEST_F(GuiDispatch, ATimerIsATimeEventOfItsView) {
    static int64_t now = 0;
    messages::timing.now_ms = [] { return now; };
    messages::set_timer(button_view, 50);
    now = 60;
    EXPECT_TRUE(messages::do_events(true));
    EXPECT_EQ(seen(), "[[time button window none [] none 0]]");
}

// The pre-filter: which records become which events, and which records go
// on to the view. Seen events are [type face window offset flags key picked].
TEST_F(GuiDispatch, ThePreFilterTurnsInputIntoEvents) {
    struct row {
        std::vector<record> records;
        const char* answer;  // what awake answers
        const char* seen;
        int32_t last;        // the pre-filter's answer to the last record
    };
    auto key_down = [&](int64_t code) { return at(kind::key_down, code); };
    record far_move = at(kind::mouse_move, 0, 8, 9);
    const row rows[] = {
        // a character key: key-down with its character; its character record brings the key event
        {{key_down('A')}, "'done", "[[key-down button window none [] #\"A\" 65]]", 1},
        {{key_down('A'), at(kind::key_char, 'a')}, "'done",
         "[[key-down button window none [] #\"A\" 65] [key button window none [] #\"a\" 97]]", 1},
        // a key without a character: key-down, then key at once, both read its word
        {{key_down(37)}, "'done", "[[key-down button window none [] left 37] [key button window none [] left 37]]", 1},
        {{key_down(112)}, "'done", "[[key-down button window none [] F1 112] [key button window none [] F1 112]]", 1},
        // a modifier alone: key-down only
        {{key_down(16)}, "'done", "[[key-down button window none [] left-shift 16]]", 1},
        // stop on key-down: no key event, and the view never sees the key
        {{key_down(37)}, "'stop", "[[key-down button window none [] left 37]]", 0},
        {{at(kind::key_up, 37)}, "'stop", "[[key-up button window none [] left 37]]", 0},
        // moves: one over per view entered; the same point again is dropped
        {{at(kind::mouse_move, 0, 3, 4), at(kind::mouse_move, 0, 3, 4)}, "'done",
         "[[over button window (3, 4) [] none 0]]", 0},
        {{at(kind::mouse_move, 0, 3, 4), far_move}, "'done", "[[over button window (3, 4) [] none 0]]", 1},
        {{at(kind::mouse_move, 0, 3, 4), at(kind::mouse_leave, 0, 5, 5)}, "'done",
         "[[over button window (3, 4) [] none 0] [over button window (5, 5) [away] none 0]]", 1},
        // a double click is down, then dbl-click; the view sees it whatever the answers
        {{at(kind::left_double, 0, 1, 2)}, "'stop", "[[down button window (1, 2) [] none 0] [dbl-click button window (1, 2) [] none 0]]", 1},
        {{at(kind::right_down, 0, 1, 1)}, "'stop", "[[alt-down button window (1, 1) [] none 0]]", 0},
    };
    for (const row& r : rows) {
        pre_filter::reset();
        const std::string set = std::string("clear seen answer: ") + r.answer;
        run(set.c_str());
        int32_t last = -1;
        for (const record& one : r.records) last = pre_filter::run(one);
        EXPECT_EQ(seen(), r.seen) << r.seen;
        EXPECT_EQ(last, r.last) << r.seen;
    }
}

TEST_F(GuiDispatch, AFaceWithAllOverSeesEveryMove) {
    run("f/flags: [all-over]");
    pre_filter::run(at(kind::mouse_move, 0, 1, 1));
    pre_filter::run(at(kind::mouse_move, 0, 2, 2));
    EXPECT_EQ(seen(), "[[over button window (1, 1) [] none 0] [over button window (2, 2) [] none 0]]");
}

// send-event-os finds its target through the face's view handle: `window`
// first, then `face`; what has no view, or no message, answers false.
TEST_F(GuiDispatch, ASentEventReachesTheViewOfItsFace) {
    run("hw: hf: none");
    handle::init_cell(_context::get_bound(word::from_c_string("hw")), window_view, handle::CLASS_WINDOW);
    handle::init_cell(_context::get_bound(word::from_c_string("hf")), button_view, handle::CLASS_WINDOW);
    run("w/state: reduce [hw] f/state: reduce [hf] g: make face! [type: 'button]");
    struct row {
        const char* event;
        const char* answer_and_seen;
    } rows[] = {
        {"[type: 'down face: f offset: 10x20]", "[true [[down button window (10, 20) [down] none 0]]]"},
        {"[type: 'up face: g window: w]", "[true [[up window window (0, 0) [] none 0]]]"},
        {"[type: 'alt-down face: f flags: [shift]]", "[true [[alt-down button window (0, 0) [alt-down shift] none 0]]]"},
        {"[type: 'wheel face: f picked: 2]", "[true [[wheel button window (0, 0) [] wheel 2.0]]]"},
        {"[type: 'over face: f flags: [away]]", "[true [[over button window (0, 0) [away] none 0]]]"},
        // key events report the modifiers they carry, and the whole code point
        {"[type: 'key face: f key: #\"a\" flags: [control]]", "[true [[key button window none [control] #\"a\" 97]]]"},
        {"[type: 'key face: f key: #\"\xF0\x9F\x98\x80\"]", "[true [[key button window none [] #\"\xF0\x9F\x98\x80\" -2560]]]"},
        {"[type: 'down face: g]", "[false []]"},
        {"[type: 'down]", "[false []]"},
        {"[type: 'close face: f]", "[false []]"},
        {"[face: f]", "[false []]"},
    };
    for (const row& r : rows) {
        const std::string text = std::string("clear seen a: send-event-os make event! ") + r.event +
                                 " false got: reduce [a seen]";
        run(text.c_str());
        EXPECT_EQ(mold(global("got")), r.answer_and_seen) << r.event;
        EXPECT_EQ(messages::key_flags_override, -1) << r.event;
    }
    // a move at the point of the last one still arrives when a script sends it
    run("clear seen send-event-os make event! [type: 'over face: f offset: 4x4] false "
        "send-event-os make event! [type: 'over face: f offset: 4x4] false");
    EXPECT_EQ(seen(), "[[over button window (4, 4) [] none 0]]");
    // queued: posted, and seen when the loop takes it
    run("clear seen a: send-event-os make event! [type: 'down face: f] true got: reduce [a seen]");
    EXPECT_EQ(mold(global("got")), "[true []]");
    EXPECT_TRUE(messages::do_events(true));
    EXPECT_EQ(seen(), "[[down button window (0, 0) [down] none 0]]");
}

}  // namespace
}  // namespace kel::test
