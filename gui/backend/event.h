// event: the event! datatype (type id 54), the value through which input
// reaches scripts, and the two routines that test events and flags.
//
// A cell: word 0 the header (bit 0x1000 set on events a script made), word 1
// the event type number (0: none given), word 2 for a made event the node of
// its 4-cell block [window face offset picked] or 0 when none of those was
// given, word 3 the flag bits OR a key's code point. The collector keeps the
// block of a cell whose bit 0x1000 is set (its registry row names the
// marker), so the block lives as long as any copy of the event.
//
// The row has make, form, mold, path, compare and pick, and nothing else:
// every other action raises as an unsupported action does. The start-up
// hands `row` to the boot, which registers event! just before the event
// phase; `install` fills the routine-table entries the event phase binds.
//
// Events the window system produces come with the message core; until then
// every event a script holds is a made one.
#pragma once
#include <cstdint>

#include "evaluator/routine_numbers.h"

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::event_value {

// Table numbers of `event?` and `find-flag?`.
constexpr int32_t first_event_routine = routine_numbers::event;

constexpr uint32_t header_made = 0x1000u;

// Flag bits of word 3. A key's code point (at most 0x10FFFF) sits below the
// lowest of them.
namespace flag {
constexpr uint32_t control = 0x10000000u;
constexpr uint32_t shift = 0x20000000u;
constexpr uint32_t alt = 0x40000000u;
constexpr uint32_t command = 0x80000000u;
constexpr uint32_t away = 0x04000000u;
constexpr uint32_t down = 0x02000000u;
constexpr uint32_t mid_down = 0x01000000u;
constexpr uint32_t alt_down = 0x00800000u;
constexpr uint32_t aux_down = 0x00400000u;
constexpr uint32_t key_mask = 0x003FFFFFu;
}  // namespace flag

// Event type numbers 1-38 by name; 0 for a word that names none.
int32_t type_number(const kel_value* word);
// The global word of a type number (1-38) into `out`; none for any other.
void type_word(int32_t number, kel_value* out);

// The datatype's row (the boot registers it).
registry::registration row();

// Start-up step: the type, flag and field names, and the routine entries.
void install();

}  // namespace kel::event_value
