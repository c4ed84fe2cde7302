// runtime: the process-wide record (arguments, stack bounds, the flags the
// signal thread sets), and the interface of start-up: `init` runs the one
// ordered list of start-up steps that brings every runtime service up before
// the boot runs. The list and `main_body` are defined by the composition root
// (app/startup.cpp), the one module that knows every layer; nothing starts
// anywhere else.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kel::runtime {

struct runtime_record {
    int argument_count = 0;
    char** argument_vector = nullptr;  // UTF-8, null-terminated, on the heap
    // The runtime thread's machine stack: [stack_low, stack_high); the guard
    // zone lies just below stack_low.
    char* stack_low = nullptr;
    char* stack_high = nullptr;
    // The stack pointer when start-up began, for the collector's scan.
    char* stack_start = nullptr;
};

extern runtime_record record;

// While true, every word or issue made from a NUL-terminated name is also kept
// in the root block, so the collector keeps the words compiled code holds. On
// from load; the boot clears it once its global words exist.
extern bool recording;

// Set by the signal thread, polled by the evaluator.
extern std::atomic<bool> evaluating;       // a script or expression is running
extern std::atomic<bool> interactive;      // it is a console command: SIGINT halts it
extern std::atomic<bool> halt_requested;   // SIGINT (or SIGTERM) while evaluating; the evaluator polls it
extern std::atomic<bool> quit_requested;   // SIGTERM while evaluating: the poll ends the process

// Copies argv (UTF-8 on Linux) into the heap-held argument vector.
void make_argv(int argc, char** argv);

// One start-up step: its name (for diagnostics) and its function.
struct init_step {
    const char* name;
    void (*run)();
};
// The steps in the order `init` runs them.
const init_step* init_steps(size_t* count);
// Runs every step once, in order.
void init();
bool initialised();

// Releases every block still on the heap's live list (the fatal path runs it).
void exit_cleanup();

// value rounded up to `alignment`, a power of two.
constexpr int32_t align_up(int32_t value, int32_t alignment) {
    return static_cast<int32_t>((static_cast<uint32_t>(value) + static_cast<uint32_t>(alignment) - 1u) &
                                static_cast<uint32_t>(-alignment));
}

// Bytes of machine stack left below the caller's frame.
inline size_t stack_remaining() {
    char* here = static_cast<char*>(__builtin_frame_address(0));
    if (!record.stack_low || here < record.stack_low) return SIZE_MAX;
    return static_cast<size_t>(here - record.stack_low);
}

// The whole process: start-up, then (once it exists) the boot. Returns the
// process exit code. Runs on the runtime thread.
int main_body();

}  // namespace kel::runtime
