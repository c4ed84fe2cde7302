// views: the table from a native view's number to its face. The window
// layer adds a row when it makes a view (the face, and the view of the
// window it sits in) and removes it when the view goes; events find their
// `face` and `window` through it. Faces stay alive in the slot table while
// their row exists. View numbers start at 1; 0 is "no view".
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::views {

// A new row for the face; `root` is the view of its window (0: the view is
// a window itself). Answers the view's number.
int32_t add(const kel_value* face, int32_t root);
void remove(int32_t view);
// The face of a view into `out`; none when the view has no row.
void face_of(int32_t view, kel_value* out);
// The view of the window a view sits in (itself for a window); 0 when none.
int32_t window_of(int32_t view);
// Empties the table (tests).
void clear();

}  // namespace kel::views
