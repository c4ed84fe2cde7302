// gtk_start: opening GTK on X11, once, at the GUI's first need.
//
// A boot opens no display: the first window, screen query, dialog or
// clipboard use calls `start`. Drawing into images and measuring text need
// no display and never call it (they use the text table of
// platform/gui_libs.h alone). Everything here runs on the runtime thread.
#pragma once

#include <cstdint>
#include <string>

namespace kel::gui {

// What `start` left: whether GTK runs, and if not, why.
struct start_state {
    bool started = false;
    std::string failure;  // the display name or library that failed
};

// Opens GTK the first time (X11 backend only, on the runtime thread) and
// answers true while it runs; a failed start is tried again at the next
// call, so a display that comes up later is still found.
bool start();
const start_state& state();

// The desktop's version as the platform object publishes it: GTK's major,
// minor and micro version, `build` = major * 10000 + minor * 100 + micro.
// Meaningful only once the GTK table is bound (start, or gtk_version_known).
struct gtk_version {
    unsigned major = 0, minor = 0, micro = 0;
    uint32_t build() const { return major * 10000 + minor * 100 + micro; }
};
// Binds the GTK table without opening a display; false when it cannot.
bool gtk_version_known(gtk_version& out);

// External kinds of native objects kept by handle! values: "font" (a Pango
// font description) and "gobject" (a reference to any GObject). Registered
// at first use; they need no display.
uint32_t font_kind();
uint32_t gobject_kind();

}  // namespace kel::gui
