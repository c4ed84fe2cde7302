// GTK started at the first need, the monitors as screens, and the family
// aliases. The GuiDisplay tests need the shared test display
// (tests/gui/xdisplay.py sets KEL_GUI_PINNED_DISPLAY) and skip elsewhere; the
// GDK_DPI_SCALE run repeats them with the desktop scaled by 1.5.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gui/backend/font_alias.h"
#include "gui/backend/gtk_start.h"
#include "gui/backend/screens.h"

namespace gui = kel::gui;

TEST(GuiFontAlias, StandardFacesMapOntoGenericFamilies) {
    struct row {
        const char* name;
        const char* family;
    } rows[] = {
        {"Consolas", "monospace"},       {"consolas", "monospace"},   {"Courier New", "monospace"},
        {"Segoe UI", "sans-serif"},      {"TAHOMA", "sans-serif"},    {"Times New Roman", "serif"},
        {"DejaVu Sans", "DejaVu Sans"},  {"Consolas2", "Consolas2"}, {"", ""},
    };
    for (const row& r : rows) EXPECT_EQ(gui::font_family_alias(r.name), r.family) << r.name;
}

namespace {

bool pinned_display() { return std::getenv("KEL_GUI_PINNED_DISPLAY") != nullptr; }

// xdpyinfo's "dimensions:    1280x1024 pixels" of the display.
bool xdpyinfo_dimensions(int& width, int& height) {
    FILE* out = popen("xdpyinfo", "r");
    if (!out) return false;
    char line[512];
    bool found = false;
    while (fgets(line, sizeof line, out))
        if (std::sscanf(line, " dimensions: %dx%d", &width, &height) == 2) found = true;
    pclose(out);
    return found;
}

double expected_scale() {
    const char* factor = std::getenv("GDK_DPI_SCALE");
    return factor ? std::atof(factor) : 1.0;
}

}  // namespace

TEST(GuiDisplay, StartFailsWithoutADisplayAndSucceedsOnceThereIsOne) {
    if (!pinned_display()) GTEST_SKIP() << "needs the shared test display";
    std::string display = std::getenv("DISPLAY");
    unsetenv("DISPLAY");
    EXPECT_FALSE(gui::start());
    EXPECT_EQ(gui::state().failure, "(DISPLAY not set)");
    EXPECT_EQ(gui::fetch_all_screens().size(), 0u);
    EXPECT_EQ(gui::current_screen(), -1);
    setenv("DISPLAY", display.c_str(), 1);
    ASSERT_TRUE(gui::start()) << gui::state().failure;
    EXPECT_TRUE(gui::start());
    EXPECT_TRUE(gui::state().failure.empty());
}

TEST(GuiDisplay, ScreensAreTheDisplaysMonitorsWithStableIdentifiers) {
    if (!pinned_display()) GTEST_SKIP() << "needs the shared test display";
    ASSERT_TRUE(gui::start()) << gui::state().failure;
    int width = 0, height = 0;
    ASSERT_TRUE(xdpyinfo_dimensions(width, height));
    auto screens = gui::fetch_all_screens();
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0].x, 0);
    EXPECT_EQ(screens[0].y, 0);
    EXPECT_EQ(screens[0].width, width);
    EXPECT_EQ(screens[0].height, height);
    EXPECT_DOUBLE_EQ(screens[0].scale, expected_scale());
    EXPECT_DOUBLE_EQ(gui::desktop_dpi(), 96.0 * expected_scale());
    auto again = gui::fetch_all_screens();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].id, screens[0].id);
    EXPECT_EQ(gui::current_screen(), screens[0].id);
    int32_t w = 0, h = 0;
    gui::screen_size(144, w, h);
    EXPECT_EQ(w, width * 96 / 144);
    EXPECT_EQ(h, height * 96 / 144);
    gui::screen_size(0, w, h);
    EXPECT_EQ(w, 0);
}

TEST(GuiDisplay, VersionIsGtks) {
    if (!pinned_display()) GTEST_SKIP() << "needs the shared test display";
    gui::gtk_version v;
    ASSERT_TRUE(gui::gtk_version_known(v));
    EXPECT_EQ(v.major, 3u);
    EXPECT_EQ(v.build(), v.major * 10000 + v.minor * 100 + v.micro);
    EXPECT_NE(gui::font_kind(), 0u);
    EXPECT_NE(gui::gobject_kind(), gui::font_kind());
}
