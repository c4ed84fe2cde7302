// thread: the runtime thread and the signal waiter. Invariant: SIGINT, SIGTERM
// and the private wake-up signal are blocked on every thread, so only the
// waiter in `main` receives them (through sigwait, never a handler). The
// wake-up signal can also come from outside the process: only the runtime
// thread's own, announced by `finished`, ends the waiter.
#include "platform/thread.h"
#include "platform/tty_guard.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kel::platform {
namespace {

constexpr size_t guard_size = 1u << 20;
constexpr size_t stack_sizes[] = {512u << 20, 256u << 20};
constexpr size_t alt_stack_size = 256u << 10;
constexpr int wake_signal = SIGUSR1;
// How long SIGTERM waits for the evaluator's orderly quit (output flushed)
// before the process ends without it.
constexpr int quit_grace_seconds = 2;

struct thread_start {
    int (*body)();
    int result = 0;
    pthread_t waiter{};
    std::atomic<bool> finished{false};
};

void* runtime_thread(void* arg) {
    auto* start = static_cast<thread_start*>(arg);
    // The fault handler needs a stack of its own: an overflow leaves none.
    void* alt = mmap(nullptr, alt_stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (alt != MAP_FAILED) {
        stack_t ss{};
        ss.ss_sp = alt;
        ss.ss_size = alt_stack_size;
        sigaltstack(&ss, nullptr);
    }
    start->result = start->body();
    start->finished.store(true);
    pthread_kill(start->waiter, wake_signal);
    return nullptr;
}

}  // namespace

int run_runtime_thread(int (*body)(), const runtime_thread_hooks& hooks) {
    signal(SIGPIPE, SIG_IGN);  // a write to a closed pipe is an ignored write error
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGINT);
    sigaddset(&waited, SIGTERM);
    sigaddset(&waited, wake_signal);
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    hooks.install_fault_handlers();

    char* region = nullptr;
    size_t stack_size = 0;
    for (size_t size : stack_sizes) {
        void* p = mmap(nullptr, size + guard_size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (p != MAP_FAILED) {
            region = static_cast<char*>(p);
            stack_size = size;
            break;
        }
    }
    thread_start start;
    start.body = body;
    start.waiter = pthread_self();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (region) {
        mprotect(region, guard_size, PROT_NONE);
        pthread_attr_setstack(&attr, region + guard_size, stack_size);
        hooks.set_stack(region, region + guard_size, region + guard_size + stack_size);
    }
    pthread_t thread;
    if (pthread_create(&thread, &attr, runtime_thread, &start) != 0) {
        // No thread: run on this one with the ordinary stack.
        pthread_attr_destroy(&attr);
        hooks.set_stack(nullptr, nullptr, nullptr);
        return body();
    }
    pthread_attr_destroy(&attr);

    // Output is written through at the end of every print call, so nothing
    // is left staged when an interrupt ends a running script here.
    // A line editor may hold the terminal: its modes go back before the end.
    const auto end_process = [](int code) {
        tty_guard::restore();
        _exit(code);
    };
    // Set once SIGTERM asked the evaluator to quit: a runtime thread blocked
    // in a system call (a read from a silent pipe, a child's wait) never
    // polls, so past this moment the waiter ends the process itself.
    timespec quit_deadline{};
    bool quit_pending = false;
    for (;;) {
        int sig = 0;
        if (quit_pending) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const int64_t left_ns = (quit_deadline.tv_sec - now.tv_sec) * 1000000000LL +
                                    (quit_deadline.tv_nsec - now.tv_nsec);
            if (left_ns <= 0) end_process(143);
            const timespec wait{static_cast<time_t>(left_ns / 1000000000LL), static_cast<long>(left_ns % 1000000000LL)};
            sig = sigtimedwait(&waited, nullptr, &wait);
            if (sig < 0) continue;  // timed out (checked above) or interrupted
        } else if (sigwait(&waited, &sig) != 0) {
            continue;
        }
        if (sig == wake_signal) {
            if (start.finished.load()) break;
            continue;
        }
        if (sig == SIGINT) {
            if (!hooks.evaluating->load()) end_process(0);  // idle or waiting for input: a quiet end
            // A console command is halted by the evaluator's poll and the
            // prompt comes back; a second interrupt before the poll saw the
            // first (a native that does not return) ends the process.
            if (hooks.interactive->load() && !hooks.halt_requested->exchange(true)) {
                if (hooks.wake) hooks.wake();
                continue;
            }
            // A running script is ended here, never as a success.
            static const char halted[] = "(halted)\n";
            ssize_t ignored = write(2, halted, sizeof halted - 1);
            (void)ignored;
            end_process(130);
        }
        if (sig == SIGTERM) {
            if (!hooks.evaluating->load()) end_process(0);
            // The poll ends the process as `quit` does, output flushed; a
            // second one does not wait for it.
            if (hooks.quit_requested->exchange(true)) end_process(143);
            hooks.halt_requested->store(true);
            if (hooks.wake) hooks.wake();
            clock_gettime(CLOCK_MONOTONIC, &quit_deadline);
            quit_deadline.tv_sec += quit_grace_seconds;
            quit_pending = true;
        }
    }
    pthread_join(thread, nullptr);
    return start.result;
}

}  // namespace kel::platform
