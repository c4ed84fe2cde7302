// pre_filter: what the message loop does with an input record before the
// view sees it. Keys, pointer moves, buttons and the wheel become events
// (through make-event); the answer says whether the record goes on to the
// view's own handling (more than 0) or is dropped (0), so `stop` from a
// handler keeps a widget from seeing the key or the click.
//
// Records of input carry in `lparam` the buttons and modifiers held, as the
// event flag bits; key records carry the key code in `wparam` (a character
// key's character, or a non-character key's code as the adapter maps it),
// character records the character.
#pragma once
#include <cstdint>

#include "gui/backend/messages.h"

namespace kel::pre_filter {

// The record's answer: 0 drops it.
int32_t run(const messages::record& r);

// Forgets the last pointer point, so that the next move is let through
// even at the same point (a script's synthetic move).
void forget_pointer();

// Forgets the hover and key state (tests, and a new display).
void reset();

}  // namespace kel::pre_filter
