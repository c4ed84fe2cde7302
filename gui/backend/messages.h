// messages: the platform-neutral message core of the GUI. It owns the
// message records, the posted queue, the quit request, the face timers, the
// loop that takes records and hands them on (`do_events`, waiting or not),
// and the counters by which closing the window a loop waits on ends exactly
// that loop. It includes no window-system header: the adapter above it turns
// the window system's input into records, and the loop sleeps through a wait
// hook (a condition variable until the window system installs its own).
//
// Order in which records are taken: posted records first, in posting order;
// then the quit request (posts of it coalesce into one); then at most one
// due timer. Everything runs on the runtime thread except `post` and
// `wake`, which one foreign thread (a camera's) may call.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::messages {

// What a record reports. The adapter maps the window system's input onto
// these kinds; `timer` is the core's own.
enum class kind : uint32_t {
    none = 0,
    mouse_move, mouse_leave,
    left_down, left_up, left_double,
    middle_down, middle_up,
    right_down, right_up,
    aux_down, aux_up,
    wheel,
    key_down, key_up, key_char,
    timer,
    close,
    window_command,
    user,
};

struct record {
    int32_t view = 0;     // the view it belongs to (0: none)
    kind what = kind::none;
    int64_t wparam = 0;   // full-width parameters: no 16-bit packing
    int64_t lparam = 0;
    uint32_t time = 0;    // milliseconds, as the window system counts them
    int32_t x = 0;        // the pointer's point when the record was made
    int32_t y = 0;
};

// --- hooks ------------------------------------------------------------------------

// Sleeping: `wait` returns when woken or after `timeout_ms` (negative: no
// limit); `wake` ends the current or the next wait, from any thread.
struct wait_hooks {
    void (*wait)(int64_t timeout_ms) = nullptr;
    void (*wake)() = nullptr;
};
// The dispatch of one record taken by the loop (pre-filter, then the view's
// procedure); none installed: records are taken and dropped.
struct dispatch_hooks {
    void (*dispatch)(const record& r) = nullptr;
};
// A monotonic clock in milliseconds (tests install a fake one).
struct clock_hooks {
    int64_t (*now_ms)() = nullptr;
};
extern wait_hooks waiting;
extern dispatch_hooks dispatching;
extern clock_hooks timing;

// Puts back the condition-variable wait, no dispatch and the steady clock,
// and empties the queue, the timers and the counters (start-up and tests).
void reset();

// --- queue ------------------------------------------------------------------------

// Appends a record and wakes the loop. Safe from one foreign thread.
void post(const record& r);
// Asks the innermost waiting loop to end.
void post_quit();
// Wakes a sleeping loop without a record (the signal waiter calls it).
void wake();

// --- loop ---------------------------------------------------------------------------

// Waiting (no_wait false): takes and dispatches records until a quit is
// taken or a halt is asked for (runtime::halt_requested, which it leaves
// set). No-wait: dispatches at most one record and returns. True when a
// record (or a quit, in a no-wait pass with no waiting loop active) was
// taken.
bool do_events(bool no_wait);
// Dispatches a record at once, as the loop does with one it took (a
// script's unqueued event).
void dispatch_now(const record& r);
// The record being dispatched (null outside a dispatch); each dispatch saves
// and restores it, so an outer one sees its own record again after a nested
// loop.
const record* current();
// Ends the innermost waiting loop.
void exit_event_loop();
// A view that a waiting loop waits on was destroyed: that loop is to end.
void view_destroyed_empty();

// The quit protocol's state, as make-event and the tests read it.
int32_t loop_counter();
int32_t quit_counter();
int32_t waiting_depth();

// The key-flags override: -1 while events read the live keyboard. Each loop
// saves it, sets -1, and restores it when it returns.
extern int32_t key_flags_override;

// --- timers -------------------------------------------------------------------------

// The interval of a face's `rate` in milliseconds, or -1 for none (no
// timer); a rate below 1, a time not above zero or any other type raises
// script `invalid-facet-type` with the value.
int32_t rate_interval(const kel_value* rate);
// Installs or replaces the view's timer (none for a negative interval); a
// timer fires at most every 10 ms, and a late one fires once.
void set_timer(int32_t view, int32_t interval_ms);
void kill_timer(int32_t view);
// `gui/set-rate`: the two above by a face's rate value.
void set_rate(int32_t view, const kel_value* rate);

}  // namespace kel::messages
