// event: the event! datatype (type id 54), the value through which input
// reaches scripts, the two routines that test events and flags, and
// `send-event-os`, which hands a script's event to the message loop.
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

// Table numbers of `event?`, `find-flag?` and `send-event-os`.
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

// Fields, numbered 1-15 (the pick index) in this order.
enum field : int32_t {
    f_type = 1, f_face, f_window, f_offset, f_key, f_picked, f_flags,
    f_away_q, f_down_q, f_mid_down_q, f_alt_down_q, f_aux_down_q, f_ctrl_q, f_shift_q, f_orientation,
};

// Event type numbers the dispatch names.
namespace event_type {
enum : int32_t {
    down = 1, up, mid_down, mid_up, alt_down, alt_up, aux_down, aux_up, click, dbl_click, wheel, over, key,
    key_down, key_up, ime, focus, unfocus, enter, zoom, pan, rotate, two_tap, press_tap, select, change, menu,
    close, move, resize, moving, resizing, time, drawing, scroll, minimize, maximize, restore,
};
}  // namespace event_type

// The fields of an event the window system produced (header bit 0x1000
// clear) that its message decides: face, window, offset, key, picked and
// orientation. The message core installs the reader; without one they read
// as a made event's without a block.
struct native_hooks {
    void (*read)(const kel_value* event, int32_t field, kel_value* out) = nullptr;
};
extern native_hooks native;

// Cells of a made event's block, and cell `which` of it (null when the
// event is native or was made without a block).
enum block_cell : int32_t { cell_window = 0, cell_face, cell_offset, cell_picked };
const kel_value* made_cell(const kel_value* event, int32_t which);

// Event type numbers 1-38 by name; 0 for a word that names none.
int32_t type_number(const kel_value* word);
// The global word of a type number (1-38) into `out`; none for any other.
void type_word(int32_t number, kel_value* out);

// The datatype's row (the boot registers it).
registry::registration row();

// Start-up step: the type, flag and field names, and the routine entries.
void install();

}  // namespace kel::event_value
