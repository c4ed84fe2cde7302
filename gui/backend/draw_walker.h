// draw_walker: the draw dialect's block walker and its entry points. The
// walker reads a draw block front to back, checks each command's arguments
// by datatype and calls the canvas (draw_cairo) at once; nested blocks share
// the canvas state, set-words remember their place in the block, and a block
// met again inside itself is refused through the runtime's one cycle stack.
//
// Errors are the catalogue's `draw-invalid` (the block at the offending
// value) and `draw-infinite` (the block). Before one is raised the walk's own
// cycle-stack entries are popped, and whatever happens the canvas ends, so
// what was drawn before the error stays in the image. With
// system/view/silent? set, a failing walk stops quietly instead.
#pragma once

#include "kernel/value.h"

namespace kel::gui {

// Draws the command block on the image (both cells rooted by the caller).
// Nothing happens for a value that is not a non-empty block. Errors reach
// the caller; with `report_only` an error is printed once and the walk ends
// quietly.
void do_draw(const kel_value* image, const kel_value* commands, bool report_only);

// The image routine: an image of width or height 0 is left as it is;
// otherwise the block is drawn (errors reach the caller) and the image's
// owner is told of the change.
void os_do_draw(const kel_value* image, const kel_value* commands);

}  // namespace kel::gui
