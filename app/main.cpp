// The process entry: everything runs on the runtime thread; main only waits.
// It hands the platform's thread shell the runtime's fault handlers, stack
// record and signal flags, which the platform layer cannot include.
#include "kernel/fatal.h"
#include "kernel/runtime.h"
#include "platform/thread.h"

namespace {

void set_stack(char* guard, char* low, char* high) {
    kel::runtime::record.stack_low = low;
    kel::runtime::record.stack_high = high;
    kel::fatal::set_guard_zone(guard, guard ? low : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    kel::runtime::make_argv(argc, argv);
    const kel::platform::runtime_thread_hooks hooks{kel::fatal::install_fault_handlers, set_stack,
                                                    &kel::runtime::evaluating, &kel::runtime::interactive,
                                                    &kel::runtime::halt_requested,
                                                    &kel::runtime::quit_requested};
    return kel::platform::run_runtime_thread(kel::runtime::main_body, hooks);
}
