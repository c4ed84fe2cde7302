// gtk_start: see gtk_start.h.
#include "gui/backend/gtk_start.h"

#include <cstdlib>

#include "kernel/handles.h"
#include "platform/gui_libs.h"

namespace kel::gui {

namespace gl = platform::gui_libs;

namespace {

start_state current;

// Until the input adapter takes GDK's events, GTK handles every one itself.
void pass_to_gtk(GdkEvent* event, gpointer) { gl::gtk()->gtk_main_do_event(event); }

void release_font(uintptr_t data) {
    if (const gl::text_table* t = gl::text()) t->pango_font_description_free(reinterpret_cast<PangoFontDescription*>(data));
}

void release_gobject(uintptr_t data) {
    if (const gl::text_table* t = gl::text()) (t->g_object_unref)(reinterpret_cast<gpointer>(data));
}

uint32_t registered_kind(uint32_t& slot, const char* name, externals::release_fn release) {
    if (slot == 0) slot = externals::register_kind(name, release);
    return slot;
}

uint32_t font_kind_number = 0;
uint32_t gobject_kind_number = 0;

std::string display_name() {
    const char* name = std::getenv("DISPLAY");
    return name && *name ? name : "(DISPLAY not set)";
}

}  // namespace

uint32_t font_kind() { return registered_kind(font_kind_number, "font", release_font); }
uint32_t gobject_kind() { return registered_kind(gobject_kind_number, "gobject", release_gobject); }

bool gtk_version_known(gtk_version& out) {
    const gl::gtk_table* g = gl::gtk();
    if (!g) return false;
    out.major = g->gtk_get_major_version();
    out.minor = g->gtk_get_minor_version();
    out.micro = g->gtk_get_micro_version();
    return true;
}

bool start() {
    if (current.started) return true;
    const gl::gtk_table* g = gl::gtk();
    if (!g) {
        current.failure = gl::failure();
        return false;
    }
    // gtk_init_check would otherwise settle on any backend it finds, and the
    // X11 window calls of the backend assume X11.
    g->gdk_set_allowed_backends("x11");
    if (!g->gtk_init_check(nullptr, nullptr)) {
        current.failure = display_name();
        return false;
    }
    g->gdk_event_handler_set(pass_to_gtk, nullptr, nullptr);
    font_kind();
    gobject_kind();
    current.started = true;
    current.failure.clear();
    return true;
}

const start_state& state() { return current; }

}  // namespace kel::gui
