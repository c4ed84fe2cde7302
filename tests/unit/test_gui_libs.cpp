// The GUI libraries bound at their first need (platform/gui_libs.h): the text
// table serves with no display at all, and what it measures is real.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/gui_libs.h"

namespace gl = kel::platform::gui_libs;

TEST(GuiLibs, TextTableMeasuresWithoutADisplay) {
    const gl::text_table* t = gl::text();
    ASSERT_NE(t, nullptr) << gl::failure();
    cairo_surface_t* surface = t->cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 64, 64);
    cairo_t* cr = t->cairo_create(surface);
    PangoLayout* layout = t->pango_cairo_create_layout(cr);
    PangoFontDescription* font = t->pango_font_description_from_string("Sans 10");
    t->pango_layout_set_font_description(layout, font);
    int one_width = 0, one_height = 0, two_width = 0, two_height = 0;
    t->pango_layout_set_text(layout, "XXXXX", -1);
    t->pango_layout_get_pixel_size(layout, &one_width, &one_height);
    t->pango_layout_set_text(layout, "XXXXX\nXXXXX", -1);
    t->pango_layout_get_pixel_size(layout, &two_width, &two_height);
    EXPECT_GT(one_width, 0);
    EXPECT_EQ(two_width, one_width);
    EXPECT_GT(two_height, one_height);
    EXPECT_EQ(t->pango_layout_get_line_count(layout), 2);
    t->pango_font_description_free(font);
    (t->g_object_unref)(layout);
    t->cairo_destroy(cr);
    t->cairo_surface_destroy(surface);
}

TEST(GuiLibs, TablesAreBoundOnceAndTheGtkTableOpensWithoutConnecting) {
    EXPECT_EQ(gl::text(), gl::text());
    const gl::gtk_table* g = gl::gtk();
    ASSERT_NE(g, nullptr) << gl::failure();
    EXPECT_EQ(g, gl::gtk());
    EXPECT_EQ(g->gtk_get_major_version(), 3u);
    // Opening the library is not opening the display.
    EXPECT_EQ(g->gdk_display_get_default(), nullptr);
}
