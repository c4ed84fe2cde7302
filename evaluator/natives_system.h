// natives_system: the system natives that reach the file system, `size?`,
// `to-local-file` and `checksum`; thin front ends over the file services,
// the file! path conversion and the checksum routines.
#pragma once
#include "kernel/registry.h"
#include "kernel/signal.h"

namespace kel::natives {

signal_code size_q_star(bool check, const refinements& refs);
signal_code to_local_file_star(bool check, const refinements& refs);
signal_code checksum_star(bool check, const refinements& refs);

}  // namespace kel::natives
