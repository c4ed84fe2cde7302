// dispatch: `make-event`, the step from one message record to the script's
// event dispatcher. It makes the event value for the record (a native event:
// header bit 0x1000 clear, word 1 the type, word 2 the record's dispatch
// slot and generation, word 3 the flags), calls system/view/awake with it
// under a frame that catches every error, throw and halt, and turns the
// answer into 1 (go on) or 0 (`stop`). It also reads the fields of native
// events that their record decides (installed into the event module).
//
// A record is live only while its `awake` call runs: an event kept past
// that call finds its slot reused or its generation changed, and reads its
// message fields as none.
#pragma once
#include <cstdint>

#include "gui/backend/messages.h"

namespace kel::gui_dispatch {

// What the window layer supplies: the live modifier and button flags (the
// event flag bits), and the scale from pixels to logical units.
struct input_hooks {
    uint32_t (*key_flags)(bool buttons) = nullptr;
    double (*scale)() = nullptr;
};
extern input_hooks input;

// make-event: 1 when default processing goes on, 0 when `awake` answered
// `stop`.
int32_t make_event(const messages::record& r, uint32_t flags, int32_t type);

// The key flags events report: the override while a synthetic key event
// runs, else the live ones.
uint32_t current_key_flags(bool buttons);

// What the message loop does with a record it took: a timer's record is a
// `time` event of its view; the input pre-filter takes the others.
void dispatch_record(const messages::record& r);

// Start-up step: installs the native field reader and the record dispatch.
void install();

}  // namespace kel::gui_dispatch
