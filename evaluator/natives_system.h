// natives_system: the system natives that reach the file system, `size?`
// and `to-local-file`; thin front ends over the file services and the
// file! path conversion.
#pragma once
#include "kernel/registry.h"
#include "kernel/signal.h"

namespace kel::natives {

signal_code size_q_star(bool check, const refinements& refs);
signal_code to_local_file_star(bool check, const refinements& refs);

}  // namespace kel::natives
