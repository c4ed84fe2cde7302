// The process entry: everything runs on the runtime thread; main only waits.
// It hands the platform's thread shell the runtime's fault handlers, stack
// record, signal flags and the message loop's wake, which the platform layer
// cannot include, and the boot the literal pool the build made
// (KEL_BOOT_POOL_FILE), linked in as read-only bytes.
#include <cstdint>

#include "gui/backend/messages.h"
#include "kernel/fatal.h"
#include "kernel/runtime.h"
#include "library/boot.h"
#include "platform/thread.h"

extern "C" const uint8_t kel_boot_pool_start[];
extern "C" const uint8_t kel_boot_pool_end[];
asm(".section .rodata\n"
    ".balign 16\n"
    ".global kel_boot_pool_start\n"
    ".hidden kel_boot_pool_start\n"
    ".global kel_boot_pool_end\n"
    ".hidden kel_boot_pool_end\n"
    "kel_boot_pool_start:\n"
    ".incbin \"" KEL_BOOT_POOL_FILE "\"\n"
    "kel_boot_pool_end:\n"
    ".previous\n");

namespace {

void set_stack(char* guard, char* low, char* high) {
    kel::runtime::record.stack_low = low;
    kel::runtime::record.stack_high = high;
    kel::fatal::set_guard_zone(guard, guard ? low : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    kel::runtime::make_argv(argc, argv);
    kel::boot::embedded_pool = {kel_boot_pool_start,
                                static_cast<size_t>(kel_boot_pool_end - kel_boot_pool_start)};
    const kel::platform::runtime_thread_hooks hooks{kel::fatal::install_fault_handlers, set_stack,
                                                    &kel::runtime::evaluating, &kel::runtime::interactive,
                                                    &kel::runtime::halt_requested,
                                                    &kel::runtime::quit_requested, kel::messages::wake};
    return kel::platform::run_runtime_thread(kel::runtime::main_body, hooks);
}
