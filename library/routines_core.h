// routines_core: the library's own routine-table entries: the routines the
// boot binds to global words (process exit, quiet setters, shifts, the
// current directory, files, tuples packed from integers, UTF-8 counting,
// stack introspection, the clipboard pair), the 62 type predicates, the
// collector routines of system/state/GC and the tracers' switch of the
// tracing flag. Each entry carries its spec as Kel
// text; the phase sources bind an entry by its name with
// `make routine! 'name`, which only the boot may do.
//
// Table numbers (routine_numbers.h): the bound routines in their boot order
// from core_bound (os_info among them is the process services'), the
// predicates from core_predicates, then the collector routines and the
// maker of system/words from core_system.
#pragma once
#include <cstdint>

#include "evaluator/routine_numbers.h"
#include "kernel/value.h"

namespace kel::library_routines {

constexpr int32_t predicate_count = 62;
static_assert(routine_numbers::core_predicates + predicate_count == routine_numbers::core_system);

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
