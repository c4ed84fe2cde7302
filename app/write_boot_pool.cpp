// The build's host tool for the boot literal pool: it boots the library from
// source, as `kel` does without a pool, and writes the booted global words
// and values as a boot pool to the file its one argument names; `kel` links
// that file in. It runs with the program name alone, so no argument of its
// own reaches the pool (the boot-args phase runs again at every start).
#include <cstdio>
#include <cstring>

#include "datatypes/binary.h"
#include "kernel/fatal.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"
#include "library/boot.h"
#include "platform/thread.h"

namespace {

const char* output_path = nullptr;

void set_stack(char* guard, char* low, char* high) {
    kel::runtime::record.stack_low = low;
    kel::runtime::record.stack_high = high;
    kel::fatal::set_guard_zone(guard, guard ? low : nullptr);
}

int write_pool_body() {
    using namespace kel;
    runtime::record.stack_start = static_cast<char*>(__builtin_frame_address(0));
    runtime::init();
    boot::run();
    kel_value* out = stack::push_unset();
    boot::write_pool(out);
    const kel_value pool = *out;
    memory::buffer_header* h = memory::buffer_of(series_node(&pool));
    std::FILE* f = std::fopen(output_path, "wb");
    if (!f || std::fwrite(h->head_ptr(), 1, h->used(), f) != h->used() || std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot write the boot pool to %s\n", output_path);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s POOL-FILE\n", argc > 0 ? argv[0] : "kel_write_boot_pool");
        return 2;
    }
    output_path = argv[1];
    kel::runtime::make_argv(1, argv);
    const kel::platform::runtime_thread_hooks hooks{kel::fatal::install_fault_handlers, set_stack,
                                                    &kel::runtime::evaluating, &kel::runtime::interactive,
                                                    &kel::runtime::halt_requested,
                                                    &kel::runtime::quit_requested, nullptr};
    return kel::platform::run_runtime_thread(write_pool_body, hooks);
}
