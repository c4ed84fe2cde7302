// screens: the monitors of the open display, as the platform object hands
// them to the script side, and the monitor table whose indexes identify them.
//
// A monitor's identifier is its index in the monitor table, never an
// address: a handle! of the monitor class holds it. An index stays with its
// GdkMonitor for as long as GDK reports that monitor, so the script side can
// keep a screen face per identifier across display changes; the slot of a
// vanished monitor is reused only after a refresh no longer names it.
// Everything here needs GTK started (gtk_start.h).
#pragma once

#include <cstdint>
#include <vector>

namespace kel::gui {

struct screen_record {
    int32_t x = 0, y = 0;           // offset in pixels
    int32_t width = 0, height = 0;  // size in pixels
    double scale = 1.0;             // the desktop's DPI / 96
    int32_t id = -1;                // monitor-table index
};

// Every monitor, the primary first, then in GDK's order; rebuilds the table.
std::vector<screen_record> fetch_all_screens();

// The identifier of the monitor under the pointer (the primary one when the
// pointer's position is unknown); -1 when no display is open.
int32_t current_screen();

// The desktop's DPI: the resolution GDK reports (Xft.dpi, times
// GDK_DPI_SCALE), 96 when it reports none.
double desktop_dpi();

// The primary monitor's size in logical units at `dpi` (size * 96 / dpi,
// integer arithmetic); 0x0 when no display is open.
void screen_size(int32_t dpi, int32_t& width, int32_t& height);

}  // namespace kel::gui
