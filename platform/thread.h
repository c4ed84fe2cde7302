// thread: the process shell. `main` only starts the runtime thread on a large
// reserved stack with a guard zone below it, then waits for it and for the
// asynchronous signals, which are blocked on the runtime thread.
#pragma once

namespace kel::platform {

// Runs `body` on the runtime thread and returns its result as the exit code.
// Sets runtime::record's stack bounds and the fatal path's guard zone.
int run_runtime_thread(int (*body)());

}  // namespace kel::platform
