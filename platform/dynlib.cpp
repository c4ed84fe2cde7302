// dynlib: see dynlib.h.
#include "platform/dynlib.h"

#include <dlfcn.h>

namespace kel::platform::dynlib {

void* open(const char* const* names) {
    for (; *names; ++names)
        if (void* library = dlopen(*names, RTLD_NOW | RTLD_LOCAL)) return library;
    return nullptr;
}

void* symbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

}  // namespace kel::platform::dynlib
