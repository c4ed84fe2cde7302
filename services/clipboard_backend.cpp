// clipboard_backend: see clipboard_backend.h.
#include "services/clipboard_backend.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace kel::clipboard {

namespace {

system_opener opener = nullptr;

bool memory_chosen() {
    static const bool chosen = [] {
        const char* v = std::getenv("KEL_TEST_CLIPBOARD");
        return v && std::strcmp(v, "memory") == 0;
    }();
    return chosen;
}

}  // namespace

bool memory_backend::offer(offer_list formats) {
    held_ = std::move(formats);
    return true;
}

fetch_result memory_backend::fetch(std::string_view format, std::string* bytes) {
    for (const format_bytes& f : held_) {
        if (f.format != format) continue;
        *bytes = f.bytes;
        return fetch_result::found;
    }
    return fetch_result::absent;
}

void install_system_opener(system_opener open) { opener = open; }

backend* current() {
    if (memory_chosen()) {
        static memory_backend in_process;
        return &in_process;
    }
    return opener ? opener() : nullptr;
}

}  // namespace kel::clipboard
