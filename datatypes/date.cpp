// date: the date! row, the day-number calendar, fields, text. See date.h.
#include "datatypes/date.h"


#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/held_value.h"
#include "datatypes/integer.h"
#include "datatypes/runtime_words.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "kernel/collector.h"
#include "kernel/murmur3.h"
#include "kernel/native_api.h"
#include "kernel/random.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"

namespace kel::date {

using namespace scalar;

const kel_value* (*month_names)() = nullptr;

namespace {

// Floor division and a non-negative remainder: the calendar formulas are
// written for them, and truncation would break every year at or below 0.
inline int64_t fdiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;
    return q;
}
inline int64_t fmodp(int64_t a, int64_t b) {
    const int64_t r = a % b;
    return r < 0 ? r + b : r;
}

inline int64_t year_days(int64_t y) { return 365 * y + fdiv(y, 4) - fdiv(y, 100) + fdiv(y, 400); }

// The day numbers of the first and last days the packed year can hold; a
// day number outside them (or a time that would carry there) is refused
// before any formula could overflow.
const int64_t first_day = to_days(lowest_year, 1, 1);
const int64_t last_day = to_days(highest_year, 12, 31);

constexpr int64_t unix_epoch_days = 719468;  // 1 January 1970

inline double stored_of(const kel_value* v) { return get_float(v); }
inline uint32_t calendar_bits(uint32_t p) { return p & ~(time_flag | zone_mask); }

[[noreturn]] void invalid_arg(const kel_value* value) { fire(error_category::script, "invalid-arg", value); }

}  // namespace

// --- the packed word ---------------------------------------------------------------

uint32_t pack(int64_t year, int32_t month, int32_t day, uint32_t zone, bool time) {
    if (year < lowest_year || year > highest_year) type_limit(types::date);
    return (static_cast<uint32_t>(static_cast<int32_t>(year)) << 17) | (static_cast<uint32_t>(month & 0xF) << 12) |
           (static_cast<uint32_t>(day & 0x1F) << 7) | (time ? time_flag : 0u) | (zone & zone_mask);
}

uint32_t zone_bits(int32_t hours, int32_t minutes, bool west) {
    const uint32_t h = static_cast<uint32_t>(hours < 0 ? -(hours % 16) : hours % 16);
    const uint32_t q = static_cast<uint32_t>((minutes < 0 ? -(minutes % 60) : minutes % 60) / 15);
    if (h == 0 && q == 0) return 0;
    return (west ? zone_west : 0u) | (h << 2) | q;
}

int32_t zone_offset(uint32_t zone) {
    const int32_t a = static_cast<int32_t>((zone >> 2) & 0xF) * 3600 + static_cast<int32_t>(zone & 3) * 900;
    return (zone & zone_west) ? -a : a;
}

// --- the day-number scale ------------------------------------------------------------

int64_t to_days(int64_t year, int32_t month, int32_t day) {
    const int64_t m = (month + 9) % 12;
    const int64_t y = year - m / 10;
    return year_days(y) + (306 * m + 5) / 10 + (int64_t(day) - 1);
}

ymd from_days(int64_t n) {
    // The estimate is floored; floored, it is never low and at most one year
    // high, which the one correction catches.
    int64_t y = fdiv(10000 * n + 14780, 3652425);
    int64_t r = n - year_days(y);
    if (r < 0) {
        --y;
        r = n - year_days(y);
    }
    const int64_t mi = (100 * r + 52) / 3060;
    ymd out;
    out.month = static_cast<int32_t>((mi + 2) % 12 + 1);
    out.year = y + (mi + 2) / 12;
    out.day = static_cast<int32_t>(r - (306 * mi + 5) / 10 + 1);
    return out;
}

int32_t weekday(int64_t n) { return static_cast<int32_t>(fmodp(n + 2, 7) + 1); }

bool leap_year_q(int64_t year) { return (fmodp(year, 4) == 0 && fmodp(year, 100) != 0) || fmodp(year, 400) == 0; }

int64_t year_start_days(uint32_t p) { return to_days(year_of(p), 1, 1); }

int32_t day_of_year(uint32_t p) { return static_cast<int32_t>(days_of(p) - year_start_days(p) + 1); }

namespace {

int64_t iso_week_one_of(int64_t year, int32_t* jan1_weekday) {
    const int64_t jan1 = to_days(year, 1, 1);
    const int64_t index = fmodp(jan1 + 2, 7);  // 0 Monday ... 6 Sunday
    if (jan1_weekday) *jan1_weekday = static_cast<int32_t>(index + 1);
    return jan1 - index + (index >= 4 ? 7 : 0);
}

}  // namespace

int64_t iso_week_one(uint32_t p, int32_t* jan1_weekday) { return iso_week_one_of(year_of(p), jan1_weekday); }

int32_t iso_week(uint32_t p) {
    const int64_t n = days_of(p);
    const int64_t y = year_of(p);
    int32_t w = 0;
    const int64_t start = iso_week_one_of(y, &w);
    if (n < start) {
        if (w == 5) return 53;
        if (w == 6 && leap_year_q(y - 1)) return 53;
        return 52;
    }
    if (n < iso_week_one_of(y + 1, nullptr)) return static_cast<int32_t>((n - start) / 7 + 1);
    return 1;
}

int32_t week(uint32_t p) {
    const int64_t jan1 = year_start_days(p);
    const int32_t e = static_cast<int32_t>(fmodp(jan1 + 3, 7));  // days since the Sunday before
    const int32_t doy = day_of_year(p);
    if (doy <= 7 - e) return 1;
    return (doy + e - 1) / 7 + 1;
}

int64_t carry_days(int64_t days, double* stored, uint32_t zone) {
    const int32_t offset = zone_offset(zone);
    double s = *stored;
    const double x = s / 3600.0 + offset / 3600.0;
    if (!std::isfinite(x)) type_limit(types::date);
    const double m = std::trunc(std::trunc(x) / 24.0);
    if (std::fabs(m) > 1e9) type_limit(types::date);
    const int64_t whole = static_cast<int64_t>(m);
    s -= 86400.0 * m;
    days += whole;
    if (offset + s < 0) {
        // A time a hair before midnight can round to the whole day when the
        // day is added; it is then that midnight, not a 24:00 no date shows.
        const double wrapped = s + 86400.0;
        if (offset + wrapped < 86400.0) {
            s = wrapped;
            days -= 1;
        } else {
            s = -offset;
        }
    }
    *stored = s;
    return days;
}

// --- making ---------------------------------------------------------------------------

// A date without time keeps no stored time, whatever the step before left
// there (a zone set, a field copied from a dateless value): equality and
// the hash read the stored time, and a later time set or sum adds to it.
void set(kel_value* cell, uint32_t packed_date, double stored) {
    init_cell(cell, types::date);
    cell->w1 = packed_date;
    put_float(cell, has_time(packed_date) ? stored : 0.0);
}

void init_cell(kel_value* cell, int32_t year, int32_t month, int32_t day, double seconds, int32_t zone_hours,
               int32_t zone_minutes, bool time) {
    if (!time) {
        set(cell, pack(year, month, day, 0, false), 0.0);
        return;
    }
    const uint32_t zone = zone_bits(zone_hours, zone_minutes, zone_hours < 0 || zone_minutes < 0);
    set(cell, pack(year, month, day, zone, true), seconds - zone_offset(zone));
}

void init_cell_hms(kel_value* cell, int32_t year, int32_t month, int32_t day, int32_t hours, int32_t minutes,
                   int32_t seconds, int32_t nanoseconds) {
    set(cell, pack(year, month, day, 0, true), 3600.0 * hours + 60.0 * minutes + seconds + 1e-9 * nanoseconds);
}

kel_value* make_at_tail(const kel_value* block, uint32_t packed_date, double stored) {
    kel_value* c = memory::claim_tail_cell(block);
    set(c, packed_date, stored);
    return c;
}

kel_value* push(uint32_t packed_date, double stored) {
    kel_value* c = stack::alloc_cell();
    set(c, packed_date, stored);
    return c;
}

void rebuild(kel_value* cell, int64_t days, double stored, uint32_t zone, bool time) {
    if (days < first_day || days > last_day) type_limit(types::date);
    const ymd d = from_days(days);
    set(cell, pack(d.year, d.month, d.day, zone, time), stored);
}

void from_instant(kel_value* cell, int64_t unix_seconds, double fraction, uint32_t zone) {
    const int32_t offset = zone_offset(zone);
    const int64_t local = unix_seconds + offset;
    const int64_t days = unix_epoch_days + fdiv(local, 86400);
    const double local_time = static_cast<double>(fmodp(local, 86400)) + fraction;
    rebuild(cell, days, local_time - offset, zone, true);
}

namespace {

// Rebuilds the date at another day number, its zone, time flag and stored time kept.
void move_to_day(kel_value* date, int64_t days) {
    const uint32_t p = packed(date);
    rebuild(date, days, stored_of(date), zone_of(p), has_time(p));
}

}  // namespace

void move_to_week(kel_value* date, int32_t n) { move_to_day(date, iso_week_one(packed(date)) + 7 * (int64_t(n) - 1)); }

void move_to_weekday(kel_value* date, int32_t n) {
    const int64_t d = days_of(packed(date));
    move_to_day(date, d - (weekday(d) - 1) + (int64_t(n) - 1));
}

void move_to_yearday(kel_value* date, int32_t n) { move_to_day(date, year_start_days(packed(date)) + int64_t(n) - 1); }

// --- services -------------------------------------------------------------------------

int64_t unix_seconds(const kel_value* date) {
    // Rounded to the nearest second: a zone east of UTC leaves the stored
    // time below zero, where truncation would count one second too many.
    const double s = std::floor(stored_of(date) + 0.5);
    if (!(std::fabs(s) < 1e15)) type_limit(types::integer);
    return (days_of(packed(date)) - unix_epoch_days) * 86400 + static_cast<int64_t>(s);
}

int32_t unix_seconds_int32(const kel_value* date) {
    const int64_t s = unix_seconds(date);
    if (s < INT32_MIN || s > INT32_MAX) type_limit(types::integer);
    return static_cast<int32_t>(s);
}

// Stored times hold at most nanoseconds (the precise clock steps by 100 ns),
// but few of them are exact in binary, and the difference of two close ones
// keeps their rounding noise (4.60001e-06 for 4.6e-06), which the seconds
// field of a short span shows. The difference of the stored times is brought
// back to whole nanoseconds before the days join it, so a long span carries
// one rounding only; the sum again while nanoseconds are exact floats in it
// (below 2^53 of them, some 104 days).
double time_between(const kel_value* a, const kel_value* b) {
    const int64_t days = days_of(packed(a)) - days_of(packed(b));
    const double within = std::round((stored_of(a) - stored_of(b)) * 1e9) / 1e9;
    const double d = static_cast<double>(days) * 86400.0 + within;
    if (!(std::fabs(d) < 9e6)) return d;
    return std::round(d * 1e9) / 1e9;
}

// --- fields ---------------------------------------------------------------------------

int32_t field_index(const kel_value* word) {
    if (!in_family(type_of(word), family::word)) return -1;
    const uint32_t s = symbol::resolve(word_symbol(word));
    const uint32_t names[] = {words::date,    words::year,    words::month,   words::day,     words::zone,
                              words::time,    words::hour,    words::minute,  words::second,  words::weekday,
                              words::yearday, words::timezone, words::week,   words::isoweek};
    for (int i = 0; i < 14; ++i)
        if (s == symbol::resolve(names[i])) return i + 1;
    if (s == symbol::resolve(words::julian)) return f_yearday;
    return -1;
}

namespace {

// A date without time is at its local midnight, whatever zone bits it kept.
inline double local_time(const kel_value* date) {
    const uint32_t p = packed(date);
    return has_time(p) ? stored_of(date) + zone_offset(zone_of(p)) : 0.0;
}

}  // namespace

void get_field(const kel_value* date, int32_t n, kel_value* out) {
    const uint32_t p = packed(date);
    switch (n) {
        case f_date: set(out, calendar_bits(p), 0.0); break;
        case f_year: set_integer(out, year_of(p)); break;
        case f_month: set_integer(out, month_of(p)); break;
        case f_day: set_integer(out, day_of(p)); break;
        case f_zone:
        case f_timezone:
            if (has_time(p)) set_float(out, zone_offset(zone_of(p)), types::time);
            else set_none(out);
            break;
        case f_time:
            if (has_time(p)) set_float(out, local_time(date), types::time);
            else set_none(out);
            break;
        case f_hour:
        case f_minute:
        case f_second: {
            kel_value t;
            set_float(&t, local_time(date), types::time);
            time::get_field(&t, n - f_hour + time::hour, out);
            break;
        }
        case f_weekday: set_integer(out, weekday(days_of(p))); break;
        case f_yearday: set_integer(out, day_of_year(p)); break;
        case f_week: set_integer(out, week(p)); break;
        default: set_integer(out, iso_week(p)); break;
    }
}

kel_value* push_field(const kel_value* date, int32_t n) {
    const kel_value d = *date;
    kel_value* c = stack::alloc_cell();
    get_field(&d, n, c);
    return c;
}

void set_time(kel_value* date, double seconds, bool subtract_zone) {
    const uint32_t p = packed(date);
    double s = subtract_zone ? seconds - zone_offset(zone_of(p)) : seconds;
    const int64_t days = carry_days(days_of(p), &s, zone_of(p));
    rebuild(date, days, s, zone_of(p), has_time(p));
}

void set_zone(kel_value* date, const kel_value* value, bool keep_instant) {
    uint32_t zone;
    if (type_of(value) == types::integer) {
        const int32_t h = get_integer(value) % 16;  // keeps its sign
        zone = zone_bits(h, 0, h < 0);
    } else if (type_of(value) == types::time) {
        const double t = std::fmod(get_float(value), 57600.0);
        if (!std::isfinite(t)) invalid_arg(value);
        zone = zone_bits(static_cast<int32_t>(std::trunc(t / 3600.0)), time::minutes_of(t), t < 0);
    } else {
        invalid_arg(value);
    }
    const uint32_t p = packed(date);
    const double stored = stored_of(date);
    // A date without time names a calendar day, not an instant: only its
    // zone changes, so a move to a zone west of UTC and back gives the same
    // day, and no hidden time is left behind.
    if (!has_time(p)) {
        set(date, (p & ~zone_mask) | zone, 0.0);
        return;
    }
    if (keep_instant) {
        set(date, (p & ~zone_mask) | zone, stored);
        set_time(date, stored + zone_offset(zone), true);
        return;
    }
    const double local = stored + zone_offset(zone_of(p));
    set(date, (p & ~zone_mask) | zone, local - zone_offset(zone));
}

void set_month(kel_value* date, int32_t month) {
    // months outside 1..12 carry into the year, floored both ways
    const uint32_t p = packed(date);
    const int64_t y = year_of(p) + fdiv(int64_t(month) - 1, 12);
    if (y < lowest_year || y > highest_year) type_limit(types::date);
    const int64_t days = to_days(y, static_cast<int32_t>(fmodp(int64_t(month) - 1, 12) + 1), day_of(p));
    rebuild(date, days, stored_of(date), zone_of(p), has_time(p));
}

void set_field(kel_value* date, int32_t n, const kel_value* value) {
    const uint32_t p = packed(date);
    const uint32_t zone = zone_of(p);
    const bool timed = has_time(p);
    const double stored = stored_of(date);
    const uint32_t vt = type_of(value);
    switch (n) {
        case f_date: {
            if (vt != types::date) invalid_arg(value);
            const uint32_t q = packed(value);
            set(date, calendar_bits(q) | (q & time_flag) | zone, stored);
            return;
        }
        case f_zone: set_zone(date, value, false); return;
        case f_timezone: set_zone(date, value, true); return;
        case f_time:
            if (vt == types::none) {
                set(date, p & ~time_flag, 0.0);
                return;
            }
            if (vt != types::time) invalid_arg(value);
            set(date, p | time_flag, stored);
            set_time(date, get_float(value), true);
            return;
        case f_hour:
        case f_minute:
        case f_second: {
            // The field is replaced in the local time, through time!'s own
            // setter, and the zone taken off again.
            kel_value t;
            set_float(&t, local_time(date), types::time);
            kel_value element;
            set_integer(&element, n - f_hour + time::hour);
            path_step_args step{};
            step.parent = &t;
            step.element = &element;
            step.value_to_set = value;
            step.path = value;
            step.last = true;
            if (time::eval_path(step) != signal_code::none) return;
            set(date, p | time_flag, stored);
            set_time(date, get_float(&t), true);
            return;
        }
        default: break;
    }
    if (vt != types::integer) invalid_arg(value);
    const int64_t v = get_integer(value);
    const int64_t days = days_of(p);
    int64_t target;
    switch (n) {
        case f_year: target = to_days(v, month_of(p), day_of(p)); break;
        case f_month: set_month(date, get_integer(value)); return;
        case f_day: target = to_days(year_of(p), month_of(p), 0) + v; break;
        case f_weekday: target = days - (weekday(days) - 1) + (v - 1); break;
        case f_yearday: target = year_start_days(p) + v - 1; break;
        case f_week: {
            const int64_t jan1 = year_start_days(p);
            target = v > 1 ? jan1 + 7 * v - fmodp(jan1 + 3, 7) - 7 : jan1;
            break;
        }
        default: target = iso_week_one(p) + 7 * (v - 1); break;
    }
    rebuild(date, target, stored, zone, timed);
}

namespace {

int32_t field_of_element(const kel_value* element) {
    if (type_of(element) == types::integer) return get_integer(element);
    return field_index(element);
}

signal_code eval_path(const path_step_args& step) {
    const int32_t f = field_of_element(step.element);
    if (f < f_date || f > f_isoweek) fire(error_category::script, "invalid-path", step.path, step.element);
    if (!step.value_to_set) {
        const kel_value d = *step.parent;
        get_field(&d, f, step.result);
        return signal_code::none;
    }
    const kel_value answer = *step.value_to_set;
    kel_value changed = *step.parent;
    set_field(&changed, f, &answer);
    *step.parent = changed;
    KEL_PROPAGATE(held_value::store_back(step, &changed));
    if (step.result) *step.result = answer;
    return signal_code::none;
}

signal_code pick(const refinements&) {
    const kel_value date = *arg(1);
    const kel_value* index = arg(2);
    const int32_t f = field_of_element(index);
    if (f < f_date || f > f_isoweek) out_of_range(index);
    get_field(&date, f, stack::arguments());
    return signal_code::none;
}

}  // namespace

// --- text -----------------------------------------------------------------------------

namespace {

// The first three letters of the month's name in system/locale/months.
void append_month(kel_value* buffer, int32_t month, int32_t* written) {
    const kel_value* names = month_names ? month_names() : nullptr;
    if (!names || type_of(names) != types::block) fire(error_category::script, "invalid-months");
    const kel_value list = *names;
    if (month < 1 || block::ks_length_q(&list) < month) fire(error_category::script, "invalid-months");
    const kel_value* entry = block::ks_abs_at(&list, series_head(&list) + month - 1);
    if (type_of(entry) != types::string) fire(error_category::script, "invalid-months");
    const kel_value name = *entry;
    const int32_t n = std::min<int32_t>(3, string::ks_length_q(&name));
    uint32_t letters[3];
    for (int32_t i = 0; i < n; ++i)
        letters[i] = static_cast<uint32_t>(string::ks_abs_char_at(&name, series_head(&name) + i));
    string::append_code_points(buffer, letters, static_cast<size_t>(n));
    *written += n;
}

void append_ascii(kel_value* buffer, const char* text, int32_t n, int32_t* written) {
    text_out::append(buffer, text, static_cast<size_t>(n));
    *written += n;
}

}  // namespace

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part, int32_t) {
    const kel_value date = *value;
    const uint32_t p = packed(&date);
    const int32_t year = year_of(p);
    const char separator = year < 0 ? '/' : '-';
    int32_t written = 0;
    char text[16];
    int n = text_out::format_int32(text, day_of(p));
    text[n++] = separator;
    append_ascii(buffer, text, n, &written);
    append_month(buffer, month_of(p), &written);
    text[0] = separator;
    n = 1;
    if (year >= 0 && year <= 99) {
        n += std::snprintf(text + 1, sizeof text - 1, "%04d", year);
    } else {
        n += text_out::format_int32(text + 1, year);
    }
    append_ascii(buffer, text, n, &written);
    part -= written;
    if (!has_time(p)) return part;
    text_out::append(buffer, "/", 1);
    // The seconds show six significant digits: a time in the last twentieth
    // of a millisecond of the day would round up to 24:00:00, which no date
    // literal accepts, so it shows as the last instant the field can show.
    // mold/all writes the digits that load back, which never round up.
    constexpr double last_shown_time = 86399.9999;
    const double local = local_time(&date);
    part = time::serialize(all ? local : std::min(local, last_shown_time), buffer, part - 1, all);
    const uint32_t zone = zone_of(p);
    if (zone == 0) return part;
    const int32_t hours = static_cast<int32_t>((zone >> 2) & 0xF);
    const int32_t minutes = static_cast<int32_t>(zone & 3) * 15;
    const char z[6] = {(zone & zone_west) ? '-' : '+', static_cast<char>('0' + hours / 10),
                       static_cast<char>('0' + hours % 10), ':', static_cast<char>('0' + minutes / 10),
                       static_cast<char>('0' + minutes % 10)};
    text_out::append(buffer, z, 6);
    return part - 6;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    return mold(value, buffer, false, false, false, arg, part, 0);
}

// --- compare and hash -------------------------------------------------------------------

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::date) return cmp::not_comparable;
    const int32_t a = static_cast<int32_t>(calendar_bits(packed(value)));
    const int32_t b = static_cast<int32_t>(calendar_bits(packed(other)));
    const double sa = stored_of(value), sb = stored_of(other);
    if (op == cmp::same) return a == b && std::memcmp(&sa, &sb, sizeof sa) == 0 ? 0 : 1;
    if (cmp::equality_op(op)) return a == b && float_::almost_equal_q(sa, sb) ? 0 : 1;
    if (a != b) return a < b ? -1 : 1;
    return (sa > sb) - (sa < sb);
}

// Over what equality looks at: the calendar date and the stored time, not
// the zone bits or the time flag (1-Jan-2020 equals 1-Jan-2020/0:00).
uint32_t hash(const kel_value* value, bool) {
    uint8_t bytes[12];
    const uint32_t c = calendar_bits(packed(value));
    double s = stored_of(value);
    if (s == 0.0) s = 0.0;  // -0.0 equals 0.0
    std::memcpy(bytes, &c, 4);
    std::memcpy(bytes + 4, &s, 8);
    return hashtable::murmur3(bytes, sizeof bytes);
}

// --- make, to, random, arithmetic ---------------------------------------------------------

void make_from_block(kel_value* result, const kel_value* spec, bool normalise) {
    const units_view u = units_from_head(spec);
    const auto* cells = reinterpret_cast<const kel_value*>(u.data);
    // The slots the values fill, by the state that reads them.
    int32_t number[3] = {0, 0, 0};
    int32_t hours = 0, minutes = 0, zone_h = 0, zone_m = 0;
    double seconds = 0.0, time_value = 0.0;
    bool hours_given = false, time_given = false, zone_time = false;
    double zone_t = 0.0;
    int state = 0;
    const int64_t count = u.count;
    for (int64_t i = 0; i < count; ++i) {
        const kel_value* v = &cells[i];
        const uint32_t t = type_of(v);
        const bool is_int = t == types::integer, is_time = t == types::time, is_float = t == types::float_;
        switch (state) {
            case 0: case 1: case 2:
                if (!is_int) bad_to_arg(types::date, spec);
                number[state] = get_integer(v);
                ++state;
                break;
            case 3:
                if (is_int) {
                    hours = get_integer(v);
                    hours_given = true;
                    state = 8;
                } else if (is_time) {
                    time_value = get_float(v);
                    time_given = true;
                    state = 4;
                } else {
                    bad_to_arg(types::date, spec);
                }
                break;
            case 4: case 10:
                if (is_int) {
                    zone_h = get_integer(v);
                    state = state == 4 ? 6 : 12;
                } else if (is_time) {
                    zone_t = get_float(v);
                    zone_time = true;
                    state = state == 4 ? 5 : 11;
                } else {
                    bad_to_arg(types::date, spec);
                }
                break;
            case 6: case 12:
                if (!is_int) bad_to_arg(types::date, spec);
                zone_m = get_integer(v);
                ++state;
                break;
            case 8:
                if (!is_int) bad_to_arg(types::date, spec);
                minutes = get_integer(v);
                state = 9;
                break;
            case 9:
                if (is_int) seconds = get_integer(v);
                else if (is_float) seconds = get_float(v);
                else bad_to_arg(types::date, spec);
                state = 10;
                break;
            default:  // an end state: nothing may follow
                bad_to_arg(types::date, spec);
        }
    }
    if (count < 3) bad_to_arg(types::date, spec);
    int32_t day = number[0], year = number[2];
    const int32_t month = number[1];
    if (day > 99 && day > year) std::swap(day, year);
    uint32_t zone = 0;
    if (zone_time) {
        const double zt = std::fmod(zone_t, 57600.0);
        if (!std::isfinite(zt)) bad_to_arg(types::date, spec);
        zone = zone_bits(static_cast<int32_t>(std::trunc(zt / 3600.0)), time::minutes_of(zt), zt < 0);
    } else if (zone_h != 0 || zone_m != 0) {
        zone = zone_bits(zone_h, zone_m, zone_h < 0 || zone_m < 0);
    }
    const double t = time_given ? time_value : 3600.0 * hours + 60.0 * minutes + seconds;
    const bool timed = count > 3;
    // year, then the month (carrying into the year), then day 0 of that month + day
    const int64_t y = int64_t(year) + fdiv(int64_t(month) - 1, 12);
    if (y < lowest_year || y > highest_year) type_limit(types::date);
    const int64_t start = to_days(y, static_cast<int32_t>(fmodp(int64_t(month) - 1, 12) + 1), 0);
    double s = timed ? t : 0.0;
    if (!std::isfinite(s)) bad_to_arg(types::date, spec);
    const int64_t days = carry_days(start + day, &s, 0);
    kel_value d;
    rebuild(&d, days, s, 0, timed);
    if (!normalise) {
        const uint32_t p = packed(&d);
        bool kept = year_of(p) == year && month_of(p) == month && day_of(p) == day;
        if (timed && hours_given)
            kept = kept && hours >= 0 && hours <= 23 && time::hours_of(s) == hours && time::minutes_of(s) == minutes;
        else if (timed)
            kept = kept && t >= 0.0 && t < 86400.0;
        if (!kept) bad_to_arg(types::date, spec);
    }
    if (timed && zone != 0) {
        set(&d, packed(&d) | zone, stored_of(&d));
        set_time(&d, stored_of(&d), true);
    }
    *result = d;
}

namespace {

signal_code make(const refinements&) {
    kel_value* result = arg(1);
    const kel_value spec = *arg(2);
    switch (type_of(&spec)) {
        case types::date: *result = spec; break;
        case types::block:
        case types::paren:
        case types::hash: make_from_block(result, &spec, false); break;
        default: bad_to_arg(types::date, &spec);
    }
    return signal_code::none;
}

signal_code to(const refinements&) {
    kel_value* result = arg(1);
    const kel_value spec = *arg(2);
    switch (type_of(&spec)) {
        case types::integer: {
            const int64_t n = get_integer(&spec);
            kel_value d;
            rebuild(&d, unix_epoch_days + fdiv(n, 86400), static_cast<double>(fmodp(n, 86400)), 0, true);
            *result = d;
            break;
        }
        case types::date: *result = spec; break;
        case types::block:
        case types::paren:
        case types::hash: make_from_block(result, &spec, true); break;
        default: bad_to_arg(types::date, &spec);
    }
    return signal_code::none;
}

// The day a random date falls on, from the draw in 1..n (or -1..n below
// day 0): from the start of the day scale (day 0) up to the day before the
// date; a date before the start mirrors that, from the start down to the day
// after the date, so no draw ever leaves the span between the two.
int64_t random_day(int64_t n, int64_t drawn) {
    if (n > 0) return drawn - 1;
    if (n < 0) return drawn + 1;
    return 0;
}

signal_code random_date(const refinements& refs) {
    kel_value* v = arg(1);
    const uint32_t p = packed(v);
    if (refs.has(0)) {
        const double s = std::trunc(stored_of(v));
        const uint32_t whole = std::fabs(s) < 2147483648.0 ? static_cast<uint32_t>(static_cast<int64_t>(s)) : 0u;
        random::seed(p + whole);
        set_unset(stack::arguments());
        return signal_code::none;
    }
    const bool secure = refs.has(1);
    const int64_t n = days_of(p);
    const int64_t drawn = random::int_upto(static_cast<int32_t>(n), secure);
    kel_value d;
    rebuild(&d, random_day(n, drawn), 0.0, zone_of(p), has_time(p));
    if (has_time(p)) {
        uint32_t zone = (secure ? random::secure_next() : random::next()) & zone_mask;
        // a zone of no offset is never west: no literal writes "-00:00" back
        if ((zone & ~zone_west) == 0) zone = 0;
        const double draw = static_cast<double>(secure ? random::secure_next() : random::next());
        // whole steps of 24 seconds, counted exactly: a step scaled by
        // 86400 / 3600 in floats carries a rounding error into the seconds,
        // and the date would not load back equal to itself
        const double local = std::floor(draw / 2147483648.0 * 3600.0) * 24.0;
        set(&d, (packed(&d) & ~zone_mask) | zone, 0.0);
        set_time(&d, local, true);
    }
    *v = d;
    return signal_code::none;
}

}  // namespace

signal_code math_op(int op) {
    kel_value* left = arg(1);
    const kel_value right = *arg(2);
    const uint32_t rt = type_of(&right);
    const uint32_t p = packed(left);
    const uint32_t zone = zone_of(p);
    int64_t days = days_of(p);
    double s = stored_of(left);
    bool timed = has_time(p);
    const bool add = op == op_add;
    switch (rt) {
        case types::integer:
            days += add ? int64_t(get_integer(&right)) : -int64_t(get_integer(&right));
            break;
        case types::time:
            // a time moves the clock, so the result has one, counted from
            // the local midnight of a date that had none
            if (!timed) s = -zone_offset(zone);
            s += add ? get_float(&right) : -get_float(&right);
            timed = true;
            break;
        case types::date: {
            if (add) not_related("add", types::date);
            days -= days_of(packed(&right));
            s -= stored_of(&right);
            days = carry_days(days, &s, zone);
            if (days < INT32_MIN || days > INT32_MAX) type_limit(types::integer);
            set_integer(left, static_cast<int32_t>(days));
            return signal_code::none;
        }
        default: invalid_type(rt);
    }
    if (!std::isfinite(s)) type_limit(types::date);
    if (timed) days = carry_days(days, &s, zone);
    kel_value d;
    rebuild(&d, days, s, zone, timed);
    *left = d;
    return signal_code::none;
}

namespace {

signal_code add(const refinements&) { return math_op(op_add); }
signal_code subtract(const refinements&) { return math_op(op_subtract); }

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::date;
    r.name = "date!";
    r.hash = hash;
    r.marker = kel::collector::cell_markers::nothing;
    r.families = family::scalar;
    r[act::make] = static_cast<action_fn>(make);
    r[act::random] = static_cast<action_fn>(random_date);
    r[act::to] = static_cast<action_fn>(to);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::add] = static_cast<action_fn>(add);
    r[act::subtract] = static_cast<action_fn>(subtract);
    r[act::pick] = static_cast<action_fn>(pick);
    return r;
}

}  // namespace kel::date
