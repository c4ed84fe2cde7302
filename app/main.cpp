// The process entry: everything runs on the runtime thread; main only waits.
#include "kernel/runtime.h"
#include "platform/thread.h"

int main(int argc, char** argv) {
    kel::runtime::make_argv(argc, argv);
    return kel::platform::run_runtime_thread(kel::runtime::main_body);
}
