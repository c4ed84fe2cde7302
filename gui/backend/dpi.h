// dpi: the DPI the backend converts sizes with, and the face flags a window
// is made with. Faces measure in logical units (1/96 inch), windows in
// pixels; the current DPI is the one of the window being worked on, set by
// the window layer as it enters and leaves a window's work.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::dpi {

// The current DPI (96 at start) and the scale it gives (DPI / 96).
int32_t current();
double scale();
void set(int32_t dpi);

// Logical units to pixels, rounded half up and held to 32 bits; pixels to
// logical units.
int32_t to_pixels(double logical);
double to_logical(int32_t pixels);

// Enters the work on a window at `window_dpi` (0: keep the current one) and
// answers the DPI to give back to `leave`. Scopes nest.
int32_t enter(int32_t window_dpi);
void leave(int32_t saved);
int32_t depth();

// The bit mask of a face's `flags`: a word, or a block of words; any other
// value, and words that name no flag, give 0.
uint32_t face_flags(const kel_value* flags);

}  // namespace kel::dpi
