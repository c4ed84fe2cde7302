// natives_clock: see natives_clock.h.
#include "evaluator/natives_clock.h"

#include "datatypes/date.h"
#include "evaluator/native_table.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"
#include "platform/platform.h"

namespace kel::natives {

namespace {

// The refinements of `now` in spec order.
enum now_refinement { r_year, r_month, r_day, r_time, r_zone, r_date, r_weekday, r_yearday, r_precise, r_utc };

}  // namespace

signal_code now_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::now, refs);
    int used = 0;
    for (int i = r_year; i <= r_precise; ++i) used += refs.has(i) ? 1 : 0;
    if (used > 1 && !(used == 2 && refs.has(r_time) && refs.has(r_precise)))
        fire(error_category::script, "bad-refines");
    const platform::clock_reading clock = platform::read_clock();
    const uint32_t zone = refs.has(r_utc) ? 0u : platform::pack_zone(clock.offset / 60);
    // whole seconds, or the fraction to 100 ns with /precise
    const double fraction = refs.has(r_precise) ? static_cast<double>(clock.nanoseconds / 100) * 1e-7 : 0.0;
    kel_value d;
    date::from_instant(&d, clock.seconds, fraction, zone);
    kel_value* result = stack::arguments();
    if (refs.has(r_date)) {
        date::set(result, date::packed(&d) & ~(date::time_flag | date::zone_mask), 0.0);
    } else {
        static constexpr int32_t fields[] = {date::f_year, date::f_month,   date::f_day,     date::f_time,
                                             date::f_zone, 0,               date::f_weekday, date::f_yearday};
        int32_t field = 0;
        for (int i = r_year; i <= r_yearday; ++i)
            if (refs.has(i)) field = fields[i];
        if (field) date::get_field(&d, field, result);
        else *result = d;
    }
    stack::rewind_to_result();
    return signal_code::none;
}

}  // namespace kel::natives
