// platform_routines: the routines of system/view/platform, the one door
// through which the script side reaches the native GUI. The view phase binds
// them to the platform object's members in their fixed order; compiled
// script code reads those members by index.
//
// Every routine checks its arguments as its spec and its own rules say
// before anything else, so a script meets the same errors whatever the
// backend has built so far. A routine whose native side is not built yet
// raises internal `not-done` after its checks (the table in the .cpp names
// the part of the backend that owns it).
#pragma once
#include <cstdint>

#include "evaluator/routine_numbers.h"

namespace kel::platform_routines {

// The platform object's routines take the table numbers from this one on,
// in member order; after them come the two the view phase calls without a
// member of its own: `gui-init` (the GUI's start, for `init`) and
// `gui-build` (the desktop toolkit's version as one number).
constexpr int32_t first_platform_routine = routine_numbers::platform;
constexpr int32_t platform_routine_count = 28;
constexpr int32_t view_phase_routine_count = 2;

// Start-up step: defines the routines in the routine table.
void install();

}  // namespace kel::platform_routines
