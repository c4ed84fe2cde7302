// gui_libs: GTK, GDK, GLib, cairo and Pango, opened at their first need.
//
// Linking these libraries into `kel` costs about 15 ms at every start (some
// seventy shared objects mapped and relocated, their constructors run), more
// than the whole rest of start-up, and most runs never draw or open a window.
// So nothing links against them: their headers give the types and the
// declarations, and every function is called through a table of pointers
// bound by dlsym the first time a module needs it. A direct call compiles but
// fails to link, which keeps it so (a CTest also checks that `kel` names none
// of them among its needed libraries).
//
// Two tables, opened separately:
//   text()  cairo, Pango, PangoCairo, GLib and GObject: drawing into images
//           and measuring text, which need no display;
//   gtk()   GTK and GDK, opened by the GUI's start-up; it opens text() too.
// A table is bound whole or not at all: null means the library or one of its
// functions is missing, and the caller reports what it reports for a missing
// display. Tables are bound once and never freed; they are used on the
// runtime thread only.
//
// Adding a function: name it in the list of its table below. Its type comes
// from the header's own declaration, so a list entry cannot disagree with it.
// The type-check macros of GObject (GTK_WIDGET(x) and the like) would call
// functions behind the table's back: gui sources are compiled with
// G_DISABLE_CAST_CHECKS, which makes them plain casts, and use
// g_signal_connect_data in place of the g_signal_connect macro. GLib makes a
// few functions macros too (g_object_ref): call those as (t->g_object_ref)(x).
#pragma once

#include <cairo.h>
#include <glib-object.h>
#include <glib.h>
#include <pango/pangocairo.h>

#include <gtk/gtk.h>

namespace kel::platform::gui_libs {

// clang-format off
#define KEL_TEXT_FUNCTIONS(X)                                                              \
    X(g_free) X(g_object_ref) X(g_object_unref) X(g_object_ref_sink) X(g_signal_connect_data) \
    X(g_signal_handlers_disconnect_matched) X(g_main_context_default)                      \
    X(g_main_context_iteration) X(g_main_context_wakeup) X(g_main_context_pending)         \
    X(g_timeout_add_full) X(g_idle_add_full) X(g_source_remove)                            \
    X(cairo_image_surface_create) X(cairo_image_surface_create_for_data)                   \
    X(cairo_image_surface_get_data) X(cairo_image_surface_get_stride)                      \
    X(cairo_surface_flush) X(cairo_surface_mark_dirty) X(cairo_surface_destroy)            \
    X(cairo_surface_status) X(cairo_format_stride_for_width)                               \
    X(cairo_create) X(cairo_destroy) X(cairo_status) X(cairo_save) X(cairo_restore)        \
    X(cairo_set_source_rgba) X(cairo_move_to) X(cairo_line_to) X(cairo_rectangle)          \
    X(cairo_fill) X(cairo_stroke) X(cairo_paint) X(cairo_set_line_width)                   \
    X(cairo_translate) X(cairo_scale) X(cairo_rotate)                                      \
    X(cairo_new_path) X(cairo_close_path) X(cairo_curve_to) X(cairo_fill_preserve)         \
    X(cairo_set_fill_rule) X(cairo_set_line_join) X(cairo_set_line_cap) X(cairo_set_dash)  \
    X(cairo_set_miter_limit) X(cairo_set_antialias) X(cairo_set_matrix)                   \
    X(cairo_identity_matrix) X(cairo_clip) X(cairo_reset_clip)                             \
    X(pango_layout_get_context) X(pango_layout_context_changed)                            \
    X(cairo_font_options_create) X(cairo_font_options_destroy)                             \
    X(cairo_font_options_set_antialias)                                                    \
    X(pango_font_description_new) X(pango_font_description_free)                           \
    X(pango_font_description_copy) X(pango_font_description_from_string)                   \
    X(pango_font_description_set_family) X(pango_font_description_set_absolute_size)       \
    X(pango_font_description_set_size) X(pango_font_description_set_weight)                \
    X(pango_font_description_set_style) X(pango_font_description_get_family)               \
    X(pango_layout_new) X(pango_layout_set_text) X(pango_layout_set_font_description)      \
    X(pango_layout_set_width) X(pango_layout_set_wrap) X(pango_layout_set_alignment)       \
    X(pango_layout_set_tabs) X(pango_layout_set_attributes) X(pango_layout_get_size)       \
    X(pango_layout_get_pixel_size) X(pango_layout_get_pixel_extents)                       \
    X(pango_layout_get_line_count) X(pango_layout_get_baseline)                            \
    X(pango_context_set_font_description) X(pango_context_get_metrics)                     \
    X(pango_font_metrics_unref) X(pango_font_metrics_get_approximate_char_width)           \
    X(pango_font_metrics_get_ascent) X(pango_font_metrics_get_descent)                     \
    X(pango_attr_list_new) X(pango_attr_list_unref) X(pango_attr_list_insert)              \
    X(pango_attr_underline_new) X(pango_attr_strikethrough_new)                            \
    X(pango_tab_array_new) X(pango_tab_array_free) X(pango_tab_array_set_tab)              \
    X(pango_font_map_create_context) X(pango_font_map_load_font) X(pango_font_describe)    \
    X(pango_cairo_font_map_new) X(pango_cairo_font_map_get_default)                        \
    X(pango_cairo_font_map_set_resolution) X(pango_cairo_context_set_resolution)           \
    X(pango_cairo_context_set_font_options) X(pango_cairo_create_layout)                   \
    X(pango_cairo_update_layout) X(pango_cairo_show_layout)

#define KEL_GTK_FUNCTIONS(X)                                                               \
    X(gdk_set_allowed_backends) X(gtk_init_check) X(gtk_get_major_version)                 \
    X(gtk_get_minor_version) X(gtk_get_micro_version) X(gtk_settings_get_default)          \
    X(gtk_main_do_event) X(gdk_event_handler_set) X(gdk_display_get_default)               \
    X(gdk_display_get_name) X(gdk_display_get_n_monitors) X(gdk_display_get_monitor)       \
    X(gdk_display_get_primary_monitor) X(gdk_display_flush) X(gdk_monitor_get_geometry)    \
    X(gdk_monitor_get_scale_factor) X(gdk_monitor_get_model) X(gdk_screen_get_default)     \
    X(gdk_screen_get_resolution) X(gdk_monitor_is_primary) X(gdk_display_get_default_seat) \
    X(gdk_seat_get_pointer) X(gdk_device_get_position) X(gdk_display_get_monitor_at_point) \
    X(gdk_display_open) X(gdk_display_manager_get) X(gdk_display_manager_set_default_display) \
    X(gtk_window_new) X(gtk_scrolled_window_new) X(gtk_scrolled_window_set_overlay_scrolling)     \
    X(gtk_scrolled_window_set_policy) X(gtk_scrolled_window_get_vscrollbar)                       \
    X(gtk_scrolled_window_get_hscrollbar) X(gtk_widget_destroy) X(gtk_widget_get_style_context)  \
    X(gtk_style_context_lookup_color) X(gtk_widget_get_preferred_width)                          \
    X(gtk_widget_get_preferred_height)
// clang-format on

#define KEL_GUI_LIBS_POINTER(name) decltype(&::name) name;
struct text_table {
    KEL_TEXT_FUNCTIONS(KEL_GUI_LIBS_POINTER)
};
struct gtk_table {
    KEL_GTK_FUNCTIONS(KEL_GUI_LIBS_POINTER)
};
#undef KEL_GUI_LIBS_POINTER

// The bound tables, opened at the first call; null when they cannot be.
const text_table* text();
const gtk_table* gtk();

// What made the last failed open fail (the library or the missing function),
// for the error a caller raises; empty when nothing failed.
const char* failure();

}  // namespace kel::platform::gui_libs
