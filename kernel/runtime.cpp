// runtime: the process-wide record (arguments, stack bounds), the flags the
// signal thread sets, and the clean-up of the fatal path. The ordered start-up
// steps that bring the runtime up live in the composition root (app/startup.cpp).
#include "kernel/runtime.h"

#include <cstring>

#include "kernel/heap.h"

namespace kel::runtime {

runtime_record record;
bool recording = true;
std::atomic<bool> evaluating{false};
std::atomic<bool> interactive{false};
std::atomic<bool> halt_requested{false};
std::atomic<bool> quit_requested{false};

void make_argv(int argc, char** argv) {
    if (argc < 0 || !argv) argc = 0;
    auto** vec = static_cast<char**>(heap::allocate_zeroed((static_cast<size_t>(argc) + 1) * sizeof(char*)));
    for (int i = 0; i < argc; ++i) {
        size_t n = std::strlen(argv[i]);
        vec[i] = static_cast<char*>(heap::allocate(n + 1));
        std::memcpy(vec[i], argv[i], n + 1);
    }
    vec[argc] = nullptr;
    record.argument_count = argc;
    record.argument_vector = vec;
}

void exit_cleanup() { heap::free_all(); }

}  // namespace kel::runtime
