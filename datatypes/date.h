// date: the date! datatype (id 47, no parent), a day of the proleptic
// Gregorian calendar with an optional time of day and a zone in quarter
// hours, and the calendar arithmetic every other module builds dates with
// (the lexer's literals, `now`, file times, the Kelbin codec).
//
// The cell: word 1 the packed date (bits 17-31 the signed year, 12-15 the
// month, 7-11 the day, bit 16 "time present", bits 0-6 the zone: bit 6 west
// of UTC, bits 2-5 hours, bits 0-1 quarters); words 2-3 the stored time as
// float64 seconds, which is the local time of day minus the zone offset (so
// it may lie outside 0..24 hours). A date without time has stored time 0.
//
// All calendar work runs on one scale of day numbers, day 0 being 1 March of
// year 0, with floor division throughout so that years at or below 0 are as
// sound as the others. A result whose year leaves the 15 bits of the packed
// word (-16384..16383) raises script `type-limit` with date!.
//
// Fields 1-14 (path steps and pick): date year month day zone time hour
// minute second weekday yearday/julian timezone week isoweek. A field set
// rebuilds the date from its day number and stores the date back into its
// holder as time! does, so the holder's watchers hear of it.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::date {

// --- the packed word ---------------------------------------------------------------
constexpr uint32_t time_flag = 1u << 16;
constexpr uint32_t zone_mask = 0x7Fu;
constexpr uint32_t zone_west = 0x40u;
constexpr int32_t lowest_year = -16384;
constexpr int32_t highest_year = 16383;

inline uint32_t packed(const kel_value* v) { return v->w1; }
inline int32_t year_of(uint32_t p) { return static_cast<int32_t>(p) >> 17; }
inline int32_t month_of(uint32_t p) { return static_cast<int32_t>((p >> 12) & 0xF); }
inline int32_t day_of(uint32_t p) { return static_cast<int32_t>((p >> 7) & 0x1F); }
inline uint32_t zone_of(uint32_t p) { return p & zone_mask; }
inline bool has_time(uint32_t p) { return (p & time_flag) != 0; }
// The packed word of a year, month and day (the year within the 15 bits:
// else script `type-limit` with date!).
uint32_t pack(int64_t year, int32_t month, int32_t day, uint32_t zone, bool time);
// Zone bits of signed hours and minutes (minutes / 15 give the quarters).
uint32_t zone_bits(int32_t hours, int32_t minutes, bool west);
// sign x (hours x 3600 + quarters x 900).
int32_t zone_offset(uint32_t zone);

// --- the day-number scale ------------------------------------------------------------
struct ymd {
    int64_t year;
    int32_t month, day;
};
int64_t to_days(int64_t year, int32_t month, int32_t day);
ymd from_days(int64_t n);
inline int64_t days_of(uint32_t p) { return to_days(year_of(p), month_of(p), day_of(p)); }
// 1 Monday ... 7 Sunday.
int32_t weekday(int64_t n);
bool leap_year_q(int64_t year);
int64_t year_start_days(uint32_t p);
int32_t day_of_year(uint32_t p);
// The Monday of ISO week 1 of the date's year; `jan1_weekday` (1-7) of 1 January.
int64_t iso_week_one(uint32_t p, int32_t* jan1_weekday = nullptr);
int32_t iso_week(uint32_t p);
// Sunday-based week: the week holding 1 January is week 1.
int32_t week(uint32_t p);
// The day number and stored time brought so that the local time (stored
// plus the zone offset) lies in 0..24 hours; the days answered. A time that
// no day count can hold raises `type-limit` with date!.
int64_t carry_days(int64_t days, double* stored, uint32_t zone);

// --- making ---------------------------------------------------------------------------
// The cell from calendar fields: with `time`, stored = seconds - zone offset
// (no day carry); without, no time, zone 0, stored 0.
void init_cell(kel_value* cell, int32_t year, int32_t month, int32_t day, double seconds, int32_t zone_hours,
               int32_t zone_minutes, bool time);
// File times: zone 0, time present.
void init_cell_hms(kel_value* cell, int32_t year, int32_t month, int32_t day, int32_t hours, int32_t minutes,
                   int32_t seconds, int32_t nanoseconds);
// Raw: the packed word and stored time as they are.
void set(kel_value* cell, uint32_t packed_date, double stored);
kel_value* make_at_tail(const kel_value* block, uint32_t packed_date, double stored);
kel_value* push(uint32_t packed_date, double stored);
// Rebuilds the cell from a day number with its zone and time flag.
void rebuild(kel_value* cell, int64_t days, double stored, uint32_t zone, bool time);

// The date of a UTC instant (whole seconds since 1970 plus a fraction) seen
// in a zone: the local calendar date, time present, stored time = the UTC
// time of day, which is local time minus the zone offset.
void from_instant(kel_value* cell, int64_t unix_seconds, double fraction, uint32_t zone);

// The lexer's moves: the Monday of ISO week n, weekday n of the date's
// Monday-based week, day n of its year. Zone and time flag stay.
void move_to_week(kel_value* date, int32_t n);
void move_to_weekday(kel_value* date, int32_t n);
void move_to_yearday(kel_value* date, int32_t n);

// --- services -------------------------------------------------------------------------
// (days - days of 1 January 1970) x 86400 + trunc(stored + 0.5).
int64_t unix_seconds(const kel_value* date);
// `to integer!` of a date: the above, outside 32 bits script `type-limit` with integer!.
int32_t unix_seconds_int32(const kel_value* date);
// (days a - days b) x 86400 + (stored a - stored b) seconds; zones not applied.
double time_between(const kel_value* a, const kel_value* b);

// Fields.
enum field : int32_t {
    f_date = 1, f_year, f_month, f_day, f_zone, f_time, f_hour, f_minute, f_second, f_weekday, f_yearday,
    f_timezone, f_week, f_isoweek
};
// The field number of a field word (any letter case), or -1.
int32_t field_index(const kel_value* word);
void get_field(const kel_value* date, int32_t n, kel_value* out);
kel_value* push_field(const kel_value* date, int32_t n);
// Sets field n of the date in place (script `invalid-arg` for a value of the
// wrong type).
void set_field(kel_value* date, int32_t n, const kel_value* value);
void set_zone(kel_value* date, const kel_value* value, bool keep_instant);
// Months above 12 or below 1 carry into the year; then normalised through
// the day number (31 January to month 2 gives 2 March).
void set_month(kel_value* date, int32_t month);
void set_time(kel_value* date, double seconds, bool subtract_zone);

// The block of month names molding reads (system/locale/months), installed
// by a start-up step; null (or a block without a string at the month's
// place) raises script `invalid-months`.
extern const kel_value* (*month_names)();

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);
uint32_t hash(const kel_value* value, bool case_sensitive);

// add and subtract (operator code op_add or op_subtract of the scalar
// workers) on the date in argument 1 and the value in argument 2: integer!
// days, time! seconds (the result then has a time), date - date the day
// count as integer!; date + date script `not-related`, any other type
// `invalid-type`. The result replaces argument 1.
signal_code math_op(int op);

// make from a block (normalise: off for make, on for to).
void make_from_block(kel_value* result, const kel_value* spec, bool normalise);

registry::registration row();

}  // namespace kel::date
