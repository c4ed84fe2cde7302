// natives_clock: `now`, the date and time of the system clock as a date! or
// one of its fields. Date, time of day and zone come from one reading of the
// clock, so a call at midnight never pairs one day's date with the next
// day's time.
#pragma once
#include "kernel/registry.h"
#include "kernel/signal.h"

namespace kel::natives {

signal_code now_star(bool check, const refinements& refs);

}  // namespace kel::natives
