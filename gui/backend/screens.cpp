// screens: see screens.h.
#include "gui/backend/screens.h"

#include "gui/backend/gtk_start.h"
#include "platform/gui_libs.h"

namespace kel::gui {

namespace gl = platform::gui_libs;

namespace {

// Index -> monitor; null marks a free slot. Each entry holds a reference,
// so a monitor GDK has dropped cannot be freed and its address reused by a
// new one while the table still names it.
std::vector<GdkMonitor*> monitor_table;

int32_t index_of(GdkMonitor* monitor) {
    for (size_t i = 0; i < monitor_table.size(); ++i)
        if (monitor_table[i] == monitor) return static_cast<int32_t>(i);
    return -1;
}

int32_t enter(GdkMonitor* monitor) {
    int32_t at = index_of(monitor);
    if (at >= 0) return at;
    (gl::text()->g_object_ref)(monitor);
    for (size_t i = 0; i < monitor_table.size(); ++i)
        if (!monitor_table[i]) {
            monitor_table[i] = monitor;
            return static_cast<int32_t>(i);
        }
    monitor_table.push_back(monitor);
    return static_cast<int32_t>(monitor_table.size() - 1);
}

GdkDisplay* open_display() {
    if (!state().started) return nullptr;
    return gl::gtk()->gdk_display_get_default();
}

GdkMonitor* primary_of(GdkDisplay* display) {
    const gl::gtk_table* g = gl::gtk();
    GdkMonitor* primary = g->gdk_display_get_primary_monitor(display);
    if (!primary && g->gdk_display_get_n_monitors(display) > 0) primary = g->gdk_display_get_monitor(display, 0);
    return primary;
}

}  // namespace

double desktop_dpi() {
    if (!state().started) return 96.0;
    double resolution = gl::gtk()->gdk_screen_get_resolution(gl::gtk()->gdk_screen_get_default());
    return resolution > 0 ? resolution : 96.0;
}

std::vector<screen_record> fetch_all_screens() {
    std::vector<screen_record> screens;
    GdkDisplay* display = open_display();
    if (!display) return screens;
    const gl::gtk_table* g = gl::gtk();
    int count = g->gdk_display_get_n_monitors(display);
    GdkMonitor* primary = primary_of(display);
    std::vector<GdkMonitor*> listed;
    if (primary) listed.push_back(primary);
    for (int i = 0; i < count; ++i) {
        GdkMonitor* monitor = g->gdk_display_get_monitor(display, i);
        if (monitor && monitor != primary) listed.push_back(monitor);
    }
    for (GdkMonitor*& slot : monitor_table) {
        bool still_there = false;
        for (GdkMonitor* monitor : listed) still_there |= monitor == slot;
        if (!still_there && slot) {
            (gl::text()->g_object_unref)(slot);
            slot = nullptr;
        }
    }
    double scale = desktop_dpi() / 96.0;
    for (GdkMonitor* monitor : listed) {
        GdkRectangle area{};
        g->gdk_monitor_get_geometry(monitor, &area);
        screen_record record;
        record.x = area.x;
        record.y = area.y;
        record.width = area.width;
        record.height = area.height;
        record.scale = scale;
        record.id = enter(monitor);
        screens.push_back(record);
    }
    return screens;
}

int32_t current_screen() {
    GdkDisplay* display = open_display();
    if (!display) return -1;
    const gl::gtk_table* g = gl::gtk();
    GdkMonitor* monitor = nullptr;
    if (GdkSeat* seat = g->gdk_display_get_default_seat(display))
        if (GdkDevice* pointer = g->gdk_seat_get_pointer(seat)) {
            int x = 0, y = 0;
            g->gdk_device_get_position(pointer, nullptr, &x, &y);
            monitor = g->gdk_display_get_monitor_at_point(display, x, y);
        }
    if (!monitor) monitor = primary_of(display);
    return monitor ? enter(monitor) : -1;
}

void screen_size(int32_t dpi, int32_t& width, int32_t& height) {
    width = height = 0;
    GdkDisplay* display = open_display();
    if (!display || dpi <= 0) return;
    GdkMonitor* primary = primary_of(display);
    if (!primary) return;
    GdkRectangle area{};
    gl::gtk()->gdk_monitor_get_geometry(primary, &area);
    width = static_cast<int32_t>(int64_t{area.width} * 96 / dpi);
    height = static_cast<int32_t>(int64_t{area.height} * 96 / dpi);
}

}  // namespace kel::gui
