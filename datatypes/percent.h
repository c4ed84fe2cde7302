// percent: the percent! datatype (id 38, parent float!), a fraction held as a
// float64 in words 2-3 (50% is 0.5). Everything but its text is float!'s:
// the float math action already keeps a percent! left operand a percent!.
// Its form and mold are the same text, the fraction times 100 in the float
// formatter's percent kind (13 significant digits and "%"), so a percent of
// at most 13 digits molds to text that loads back to the same value.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::percent {

// The type byte becomes percent! (flags kept), words 2-3 the fraction.
kel_value* init_cell(kel_value* cell, double fraction);
kel_value* make_at_tail(const kel_value* block, uint32_t low, uint32_t high);

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);

registry::registration row();

}  // namespace kel::percent
