// series: the cursor view shared by every series type (block!, paren!, the
// path types, hash!, the string types, binary!, vector!, image!) and the
// abstract series! row (id 42) whose handlers the concrete types inherit.
//
// A series value is (head index in units, node). Several values may share one
// buffer with different heads; a head may lie past the tail when the buffer
// was shortened through another value: each routine says whether it clamps
// and whether the clamped head is written back. Unit sizes are 1, 2, 4, 8 or
// 16 bytes (cells). Errors go through `fire` and do not return; changes are
// announced to the buffer's owner (ownership::check) before and after.
//
// The action forms here take explicit arguments (a refinement absent is a null
// pointer or false); the series! row wraps them as stack handlers.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "kernel/value.h"

namespace kel::series {

inline memory::buffer_header* buffer(const kel_value* s) { return memory::buffer_of(series_node(s)); }

// --- cursor routines (no allocation) ---------------------------------------
bool ks_tail_q(const kel_value* s);
int32_t ks_units(const kel_value* s);
// Moves the head by n when the new position stays within the buffer; answers
// true when head + n (old head) is at or past the tail.
bool ks_skip(kel_value* s, int32_t n);
// Units from the head (a negative head counts as 0); a head past the tail is
// moved to the tail and 0 answered. With from_start: units in the buffer.
int32_t ks_length_q(kel_value* s, bool from_start = false);
// The clamped head position for at/skip by offset.
int32_t seek_index(const kel_value* s, const kel_value* offset, bool at);
// Address of unit i of the buffer (no bound check).
inline char* unit_at(const kel_value* s, int32_t i) {
    memory::buffer_header* h = buffer(s);
    return h->data() + h->head + (static_cast<int64_t>(i) << h->shift());
}

// --- navigation (in place on the cell) ---------------------------------------
void head(kel_value* s);
void tail(kel_value* s);
bool head_q(const kel_value* s);
bool tail_q(const kel_value* s);
int32_t index_q(const kel_value* s);
int32_t length_q(kel_value* s);
void at(kel_value* s, const kel_value* offset);
void skip(kel_value* s, const kel_value* offset);
void next(kel_value* s);
void back(kel_value* s);

// --- elements --------------------------------------------------------------
// Unit at position p as a value: the cell for block-like types, an integer!
// for binary!, a char! for strings, the element type for vector!.
void element_value(const kel_value* s, int32_t p, kel_value* out);
// pick by index n (1-based from the head; negative: before the head); none!
// outside the buffer or for 0.
void pick(const kel_value* s, int32_t n, kel_value* out);
// poke: `out-of-range` outside the buffer or for 0; answers nothing (the
// action's result is the value).
void poke(const kel_value* s, int32_t n, const kel_value* value);

// --- changes ---------------------------------------------------------------
void clear(kel_value* s);
// /part: null, integer!, or a position in the same series; /key: null or the
// key. Answers false when /key found nothing (the result is then none!).
bool remove(kel_value* s, const kel_value* part, const kel_value* key);
// Removes `count` units at each of `n` ascending, non-overlapping positions
// (each cut short at the tail), moving every kept unit once and rebuilding a
// hash! table once. An owned series hears each removal, the last first, as
// `remove` tells it; with `quiet` (an error is passing through) it hears
// nothing, since no handler may run then.
void remove_at_marks(const kel_value* s, const int32_t* marks, size_t n, int32_t count, bool quiet);
// The taken units as a new series (or one element without /part) in result;
// none! when nothing lies at or after the head.
void take(kel_value* s, const kel_value* part, bool deep, bool last, kel_value* result);
// What take would take, without taking it: nothing at all (the result is
// none!), or `count` units from `start` (none of them with `empty`); `given`
// is the count asked for. Raises take's errors for a bad /part.
struct take_plan {
    bool nothing = false;
    bool empty = false;
    int64_t given = 0;
    int64_t count = 0;
    int64_t start = 0;
};
take_plan plan_take(kel_value* s, const kel_value* part, bool last);
// /part: null, integer!, pair!, or a position in the same series.
void copy(const kel_value* s, kel_value* result, const kel_value* part);
void reverse(kel_value* s, const kel_value* part, const kel_value* skip_size);
// Moves units from origin's head to destination's head; answers the value the
// action answers (the destination, or the origin in the one case below).
const kel_value* move(kel_value* origin, kel_value* destination, const kel_value* part);
// Shuffles the units from the head in place.
void shuffle(kel_value* s, bool secure);
// random/only: a uniform element from the head, none! when empty.
void random_only(const kel_value* s, bool secure, kel_value* out);

// The series! row (id 42).
// The field `owned` of a series (and of a bitset!): reflect answers the
// object recorded as the buffer's owner, or none!; modify with none! detaches
// the value from its owner, with a block [owner-object field-word] attaches
// it. reflect of another field raises internal not-done; modify of another
// field changes nothing. The stack handlers of both actions.
signal_code reflect_owned(const refinements& r);
signal_code modify_owned(const refinements& r);

registry::registration row();

}  // namespace kel::series
