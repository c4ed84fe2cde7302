// thread: the process shell. `main` only starts the runtime thread on a large
// reserved stack with a guard zone below it, then waits for it and for the
// asynchronous signals, which are blocked on the runtime thread.
//
// The platform knows nothing of the runtime above it: the caller hands in how
// to install the fault handlers, where to record the stack bounds, the
// flags the waiter sets for the evaluator to poll, and how to wake it.
#pragma once
#include <atomic>

namespace kel::platform {

struct runtime_thread_hooks {
    void (*install_fault_handlers)();
    // The runtime thread's stack [low, high) with its guard zone [guard, low);
    // all null when the body runs on the calling thread's ordinary stack.
    void (*set_stack)(char* guard, char* low, char* high);
    std::atomic<bool>* evaluating;      // a script or expression is running
    std::atomic<bool>* interactive;     // it is a console command: SIGINT asks for a halt
    std::atomic<bool>* halt_requested;  // set on SIGINT or SIGTERM while evaluating
    std::atomic<bool>* quit_requested;  // set on SIGTERM while evaluating
    // Wakes a runtime thread asleep in the message loop after a halt was
    // asked for, so that it sees the flag; null when nothing sleeps there.
    void (*wake)();
};

// Runs `body` on the runtime thread and returns its result as the exit code.
int run_runtime_thread(int (*body)(), const runtime_thread_hooks& hooks);

}  // namespace kel::platform
