// time: the time! datatype (id 43, parent float!), a duration or time of day
// held as a float64 number of seconds in words 2-3 (negative for negative
// durations, no upper bound). Arithmetic goes through float!'s math action,
// which keeps the result time! whenever exactly one operand is time!; this
// module splits the seconds into hours, minutes and seconds for the text and
// for the `hour`, `minute` and `second` fields (path steps and pick), which
// date! uses as well.
//
// The text never shows 60 seconds or 60 minutes: the seconds are rounded to
// the digits shown first and the carry goes into the minutes and hours.
//
// A time is a value, so a path that sets one of its fields changes the cell
// the path walk handed over and then stores that time back into its holder:
// the path's head word, or the block slot or object field it came from
// (through the holder's own set step, which tells the holder's watchers).
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::time {

enum field : int32_t { hour = 1, minute = 2, second = 3 };

// Whole hours toward zero; outside the int32 range raises script `type-limit`.
int32_t hours_of(double seconds);
// floor(fmod(|seconds|, 3600) / 60): 0..59.
int32_t minutes_of(double seconds);
// 1, 2 or 3 for the words hour, minute, second (any letter case); another
// word raises script `cannot-use` (word, value) when the value is a time!,
// and gives -1 otherwise.
int32_t field_index(const kel_value* word, const kel_value* value);
// The field as a value: integer! hours or minutes, float! seconds (fmod by
// 60, the sign of the time kept).
void get_field(const kel_value* time, int32_t field, kel_value* out);
kel_value* push_field(const kel_value* time, int32_t field);

kel_value* make_at_tail(const kel_value* block, uint32_t low, uint32_t high);
// The type byte becomes time! (flags kept), words 2-3 the seconds.
kel_value* init_cell(double seconds, kel_value* cell);
kel_value* push(double seconds);

// Appends the text of a time ("-1:02:03.5") and answers the remaining budget.
// `exact` (mold/all) writes the seconds with the digits that load back as
// the very value, past the six the text otherwise keeps.
//
// The seconds carry no exponent, so the smallest float seconds need 323
// zeros after the point before their digits; the longest exact seconds text
// is "00." with those zeros and 17 digits. The lexer reads seconds fields up
// to this length, so every finite time mold/all writes loads back.
constexpr uint32_t longest_seconds_text = 3 + 323 + 17;
int32_t serialize(double seconds, kel_value* buffer, int32_t part, bool exact = false);

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
// A path step: get a field, or set one (integer! hours and minutes, integer!
// or float! seconds; else script `invalid-arg`) and store the time back.
signal_code eval_path(const path_step_args& step);

registry::registration row();

}  // namespace kel::time
