// dynlib: shared libraries loaded at their first use instead of at start-up.
//
// libcurl (with the TLS, name-lookup and authentication libraries it drags
// in), libtiff (with its compressors) and libcrypto cost several
// milliseconds to map and relocate, more than the rest of start-up. Most
// scripts never make a request, read a TIFF or take a digest, so those
// libraries are opened by the module that calls them, once, when it is
// first called. A library that cannot be opened or lacks a symbol makes its
// table null and its caller reports the failure it would report for a
// refused request.
#pragma once

namespace kel::platform::dynlib {

// The first of `names` (sonames, tried in order, ended by a null) that opens;
// null when none does. The handle is never closed: the process keeps it.
void* open(const char* const* names);

// The address of `name` in `library`, or null.
void* symbol(void* library, const char* name);

// Sets `fn` to the symbol `name`; false when it is missing.
template <class F>
bool bind(void* library, const char* name, F*& fn) {
    fn = reinterpret_cast<F*>(symbol(library, name));
    return fn != nullptr;
}

}  // namespace kel::platform::dynlib
