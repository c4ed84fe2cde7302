// routines_core: the library's own routine-table entries: the routines the
// boot binds to global words (process exit, quiet setters, shifts, the
// current directory, files, tuples packed from integers, UTF-8 counting,
// stack introspection, the clipboard pair), the 62 type predicates, the
// collector routines of system/state/GC and the tracers' switch of the
// tracing flag. Each entry carries its spec as Kel
// text; the phase sources bind an entry by its name with
// `make routine! 'name`, which only the boot may do.
//
// Table numbers: 1-24 the bound routines in their boot order (12 is the OS
// information routine, which the process services fill), then the
// predicates, then the collector routines and the maker of system/words.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::library_routines {

constexpr int32_t first_predicate = 25;
constexpr int32_t predicate_count = 62;
constexpr int32_t first_gc = first_predicate + predicate_count;  // 87

// Start-up step: fills the table entries and installs the by-name binder
// that `make routine!` uses while the boot runs.
void install();

// The clipboard service the clipboard routines call, filled at start-up;
// while an entry is null, its routine answers false, the failure result.
// `read` writes its answer into `out`; `write` answers success.
struct clipboard_service {
    bool (*read)(kel_value* out) = nullptr;
    bool (*write)(const kel_value* data) = nullptr;
};
extern clipboard_service clipboard;

}  // namespace kel::library_routines
