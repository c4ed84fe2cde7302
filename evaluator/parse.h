// parse: the parse dialect's engine and the `parse` native. One iterative
// machine matches an input series (any-block!, any-string!, binary!) against
// a block of rules; rule levels and entered inputs live on two Kel blocks,
// the rule and input stacks, never on the machine stack, so rule depth is
// bounded by the stacks' cell limit. A parse started from inside another (a
// paren of the rules, the trace callback) stacks above the running one.
#pragma once
#include "kernel/registry.h"
#include "kernel/signal.h"

namespace kel::parse {

// Makes the two stacks in the root block; the first parse calls it (a
// start-up step would put them among the boot's buffers, where the
// collector's frame release tests expect none).
void init_stacks();
// Cells in use on the rule and input stacks (both 0 when no parse runs).
int32_t rule_cells();
int32_t input_cells();

}  // namespace kel::parse

namespace kel::natives {
signal_code parse_star(bool check, const refinements& refs);
}
