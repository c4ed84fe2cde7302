// natives_os: the natives that reach the process's surroundings: the
// environment (`set-env`, `get-env`, `list-env`), child processes (`call`)
// and the desktop's opener (`browse`), thin front ends over the platform and
// the process service; and the routine `__get-OS-info`, which the library's
// `os-info` is bound over.
#pragma once
#include <cstdint>

#include "evaluator/routines.h"
#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::natives {

signal_code set_env_star(bool check, const refinements& refs);
signal_code get_env_star(bool check, const refinements& refs);
signal_code list_env_star(bool check, const refinements& refs);
signal_code call_star(bool check, const refinements& refs);
signal_code browse_star(bool check, const refinements& refs);

// `__get-OS-info` takes routine_numbers::os_info, its place among the
// routines the boot binds.

// Pushes the OS information object: `name` (PRETTY_NAME of /etc/os-release,
// else "Linux"), `arch` (a word from the machine name), `version` (the
// kernel release's major.minor.patch as a tuple) and `build` (its patch).
kel_value* push_os_info();
// Start-up step: puts `__get-OS-info` into the routine table.
void install_os_routines();

}  // namespace kel::natives
