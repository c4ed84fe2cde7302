// messages: see messages.h.
#include "gui/backend/messages.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "kernel/native_api.h"
#include "kernel/runtime.h"

namespace kel::messages {

int32_t key_flags_override = -1;

namespace {

// The queue and the quit request: the only state a foreign thread touches.
std::mutex queue_lock;
std::deque<record> queue;
bool quit_pending = false;

// The default wait: a condition variable; a wake that comes before the wait
// is kept, so it is never lost.
std::mutex sleep_lock;
std::condition_variable sleeper;
bool woken = false;

void wait_on_condition(int64_t timeout_ms) {
    std::unique_lock<std::mutex> hold(sleep_lock);
    if (timeout_ms < 0) sleeper.wait(hold, [] { return woken; });
    else sleeper.wait_for(hold, std::chrono::milliseconds(timeout_ms), [] { return woken; });
    woken = false;
}

void wake_condition() {
    {
        std::lock_guard<std::mutex> hold(sleep_lock);
        woken = true;
    }
    sleeper.notify_one();
}

int64_t steady_now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct timer {
    int32_t view;
    int32_t interval;
    int64_t due;
};
std::vector<timer> timers;  // runtime thread only

constexpr int32_t shortest_interval = 10;

int32_t loops = 0;        // waiting loops entered, less the views destroyed with `empty?`
int32_t quits = 0;        // waiting loops that still have to end
int32_t depth = 0;        // waiting loops running now
const record* current_record = nullptr;

enum class taken { nothing, a_record, the_quit };

int64_t now() { return timing.now_ms ? timing.now_ms() : steady_now(); }

// The timer due first, or null.
timer* next_timer() {
    timer* first = nullptr;
    for (timer& t : timers)
        if (!first || t.due < first->due) first = &t;
    return first;
}

// Takes what comes next without waiting; the quit only when `quit_too`.
taken take_now(record* out, bool quit_too) {
    {
        std::lock_guard<std::mutex> hold(queue_lock);
        if (!queue.empty()) {
            *out = queue.front();
            queue.pop_front();
            return taken::a_record;
        }
        if (quit_pending && quit_too) {
            quit_pending = false;
            return taken::the_quit;
        }
    }
    if (timer* t = next_timer(); t && t->due <= now()) {
        // A late timer fires once; the next is one interval from now.
        t->due = now() + t->interval;
        record r;
        r.view = t->view;
        r.what = kind::timer;
        r.time = static_cast<uint32_t>(now());
        *out = r;
        return taken::a_record;
    }
    return taken::nothing;
}

void run_dispatch(const record& r) {
    const record* outer = current_record;
    current_record = &r;
    struct restore {
        const record* saved;
        ~restore() { current_record = saved; }
    } put_back{outer};
    if (dispatching.dispatch) dispatching.dispatch(r);
}

}  // namespace

wait_hooks waiting{wait_on_condition, wake_condition};
dispatch_hooks dispatching;
clock_hooks timing;

void reset() {
    waiting = wait_hooks{wait_on_condition, wake_condition};
    dispatching = dispatch_hooks{};
    timing = clock_hooks{};
    {
        std::lock_guard<std::mutex> hold(queue_lock);
        queue.clear();
        quit_pending = false;
    }
    {
        std::lock_guard<std::mutex> hold(sleep_lock);
        woken = false;
    }
    timers.clear();
    loops = quits = depth = 0;
    current_record = nullptr;
    key_flags_override = -1;
}

void post(const record& r) {
    {
        std::lock_guard<std::mutex> hold(queue_lock);
        queue.push_back(r);
    }
    wake();
}

void post_quit() {
    {
        std::lock_guard<std::mutex> hold(queue_lock);
        quit_pending = true;
    }
    wake();
}

void wake() {
    if (waiting.wake) waiting.wake();
}

bool do_events(bool no_wait) {
    const int32_t saved_override = key_flags_override;
    key_flags_override = -1;
    struct restore {
        int32_t saved;
        ~restore() { key_flags_override = saved; }
    } put_back{saved_override};
    bool result = false;
    record r;
    if (no_wait) {
        // The quit is left for a waiting loop while one runs: a no-wait pass
        // inside a handler must not swallow the quit that is to end the loop
        // around it.
        const taken t = take_now(&r, depth == 0);
        if (t == taken::a_record) run_dispatch(r);
        return t != taken::nothing;
    }
    ++loops;
    ++depth;
    struct leave {
        ~leave() { --depth; }
    } leaving;
    for (;;) {
        // A halt asked for (an interrupt at a console command, or the
        // termination signal) ends every waiting loop, innermost first; the
        // flag stays set for the evaluator's poll after the outermost.
        if (runtime::halt_requested.load(std::memory_order_relaxed)) return result;
        const taken t = take_now(&r, true);
        if (t == taken::a_record) {
            result = true;
            run_dispatch(r);
            continue;
        }
        if (t == taken::the_quit) break;
        const timer* next = next_timer();
        const int64_t timeout = next ? std::max<int64_t>(0, next->due - now()) : -1;
        if (waiting.wait) waiting.wait(timeout);
    }
    // The loop ended: when it was one of those whose view went, the next
    // one out ends too, as long as any of them is left.
    if (quits > 0) {
        --quits;
        if (quits > 0) post_quit();
    }
    return result;
}

void dispatch_now(const record& r) { run_dispatch(r); }

const record* current() { return current_record; }

void exit_event_loop() { post_quit(); }

void view_destroyed_empty() {
    ++quits;
    --loops;
}

int32_t loop_counter() { return loops; }
int32_t quit_counter() { return quits; }
int32_t waiting_depth() { return depth; }

int32_t rate_interval(const kel_value* rate) {
    switch (type_of(rate)) {
        case types::none: return -1;
        case types::integer: {
            const int32_t n = get_integer(rate);
            if (n < 1) break;
            return 1000 / n;
        }
        case types::time: {
            const double ms = get_float(rate) * 1000.0;
            if (!(get_float(rate) > 0.0)) break;
            // Beyond what a timer can count: the longest interval.
            return ms >= 2147483647.0 ? 2147483647 : static_cast<int32_t>(ms);
        }
        default: break;
    }
    fire(error_category::script, "invalid-facet-type", rate);
}

void set_timer(int32_t view, int32_t interval_ms) {
    if (interval_ms < 0) {
        kill_timer(view);
        return;
    }
    const int32_t interval = std::max(interval_ms, shortest_interval);
    for (timer& t : timers)
        if (t.view == view) {
            t.interval = interval;
            t.due = now() + interval;
            return;
        }
    timers.push_back(timer{view, interval, now() + interval});
}

void kill_timer(int32_t view) {
    std::erase_if(timers, [view](const timer& t) { return t.view == view; });
}

void set_rate(int32_t view, const kel_value* rate) { set_timer(view, rate_interval(rate)); }

}  // namespace kel::messages
