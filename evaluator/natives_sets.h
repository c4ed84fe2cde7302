// natives_sets: the set natives (union, intersect, unique, difference,
// exclude, complement?), the text coding natives (uppercase, lowercase,
// dehex, enhex) and print/prin. Each is a thin front end: it checks and
// converts its arguments and hands the work to the per-type workers of
// block!, string!, bitset!, typeset!, the case map and the URL coder.
#pragma once
#include "kernel/registry.h"
#include "kernel/signal.h"

namespace kel::natives {

signal_code union_star(bool check, const refinements& refs);
signal_code intersect_star(bool check, const refinements& refs);
signal_code unique_star(bool check, const refinements& refs);
signal_code difference_star(bool check, const refinements& refs);
signal_code exclude_star(bool check, const refinements& refs);
signal_code complement_q_star(bool check, const refinements& refs);
signal_code uppercase_star(bool check, const refinements& refs);
signal_code lowercase_star(bool check, const refinements& refs);
signal_code dehex_star(bool check, const refinements& refs);
signal_code enhex_star(bool check, const refinements& refs);
signal_code debase_star(bool check, const refinements& refs);
signal_code enbase_star(bool check, const refinements& refs);
// Whether the last print or prin ended its output with a line break.
extern bool last_line_end;

signal_code print_star(bool check, const refinements& refs);
signal_code prin_star(bool check, const refinements& refs);

}  // namespace kel::natives
