// send_event: `send-event-os`, a script's event turned back into a message
// record. The event's target is the view of its `window` face, else of its
// `face`; the type decides the record's kind, the flags its buttons and
// modifiers, the offset its point and, for the wheel, the picked notches.
// Queued, the record joins the posted queue; otherwise it goes through the
// pre-filter at once, key events under the key-flags override so that they
// report the modifiers the event carries instead of the live keyboard.
//
// Nothing a script can put in an event raises here: an event the loop
// cannot deliver answers false.
#pragma once

#include "kernel/value.h"

namespace kel::send_event {

// True when a record was posted or dispatched.
bool send(const kel_value* event, bool queued);

}  // namespace kel::send_event
