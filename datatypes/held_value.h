// held_value: putting a changed scalar back where a path found it. time!,
// pair! and the points are held by value: the path walk hands their set step
// a copy of the cell, so a step that changes a field or an axis has to store
// the changed value back into its holder, and the holder's watchers have to
// hear about it. Every by-value type with settable path elements shares this.
#pragma once

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::held_value {

// Stores `changed` (the value the step just changed) back into its holder:
// the path's head word is set as a set-word would set it; a holder further
// down the path (a block's slot, an object's field, whatever the holder's
// type) takes it through its own set step, which tells whoever watches the
// holder (an object's on-change* with the old and new value, a block owner's
// on-deep-change*). A step given a bare value (no previous element) changes
// only that cell.
signal_code store_back(const path_step_args& step, const kel_value* changed);

}  // namespace kel::held_value
