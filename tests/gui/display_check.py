#!/usr/bin/env python3
"""The shared display is what every GUI test assumes: one 1280x1024 screen at
96 DPI, a window manager that frames windows, the Adwaita theme, DejaVu Sans 10
as the desktop font, and DejaVu for every generic family. Run under
`xdisplay.py run`; a failure here means the fixture, not Kel, is wrong."""
import sys

import gi
gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("Pango", "1.0")
gi.require_version("PangoCairo", "1.0")
from gi.repository import Gdk, GLib, Gtk, Pango, PangoCairo  # noqa: E402

failures = []


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


if not Gtk.init_check(sys.argv)[0]:
    sys.exit("cannot open the display")

settings = Gtk.Settings.get_default()
check("theme", settings.props.gtk_theme_name, "Adwaita")
check("desktop font", settings.props.gtk_font_name, "DejaVu Sans 10")
check("animations", settings.props.gtk_enable_animations, False)
check("cursor blink", settings.props.gtk_cursor_blink, False)

screen = Gdk.Screen.get_default()
check("resolution", screen.get_resolution(), 96.0)
display = Gdk.Display.get_default()
check("monitors", display.get_n_monitors(), 1)
geometry = display.get_monitor(0).get_geometry()
check("monitor size", (geometry.width, geometry.height), (1280, 1024))

font_map = PangoCairo.FontMap.get_default()
context = font_map.create_context()
for family, want in (("sans-serif", "DejaVu Sans"), ("Sans", "DejaVu Sans"),
                     ("serif", "DejaVu Serif"), ("monospace", "DejaVu Sans Mono"),
                     ("No Such Family", "DejaVu Sans")):
    font = font_map.load_font(context, Pango.FontDescription.from_string(family + " 10"))
    check("family for " + family, font.describe().get_family(), want)

# A shown window is framed by the window manager: openbox sets its extents.
window = Gtk.Window(title="display check")
window.set_default_size(200, 100)
window.show_all()
loop = GLib.MainLoop()
GLib.timeout_add(50, lambda: (loop.quit() if window.get_window() and
                              window.get_window().get_frame_extents().height > 100
                              else True))
GLib.timeout_add_seconds(60, loop.quit)  # guards against a hang only
loop.run()
frame = window.get_window().get_frame_extents()
if frame.height <= 100:
    failures.append("the window manager did not frame a window: %r" % (frame.height,))

for line in failures:
    print("FAIL " + line)
print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
sys.exit(1 if failures else 0)
