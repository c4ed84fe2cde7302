#!/usr/bin/env python3
"""The one X display that every GUI test of a CTest run shares.

    xdisplay.py start STATE   start Xvfb and openbox, pin the desktop settings
    xdisplay.py stop STATE    end them
    xdisplay.py run STATE -- CMD...   run CMD on that display, with the pinned
                              environment, and exit with its status

STATE is a folder in the build tree. `start` writes there the display name,
the pids to end, the GTK settings (an XDG_CONFIG_HOME of its own), and a
fontconfig file that admits DejaVu alone, with its cache beside it, so that
text measures the same on every machine. Nothing of the user's own desktop
(theme, fonts, DPI, input method, accessibility bus) leaks into a test.
"""
import os
import shutil
import signal
import subprocess
import sys
import time

SCREEN = "1280x1024x24"
DEJAVU = "/usr/share/fonts/truetype/dejavu"
# Generous: only a display that never comes up should fail here.
START_DEADLINE = 120.0

GTK_SETTINGS = """[Settings]
gtk-theme-name=Adwaita
gtk-enable-animations=false
gtk-cursor-blink=false
gtk-primary-button-warps-slider=false
gtk-font-name=DejaVu Sans 10
"""

FONTCONFIG = """<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <dir>{dejavu}</dir>
  <cachedir>{cache}</cachedir>
  <alias binding="same"><family>sans-serif</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias binding="same"><family>serif</family><prefer><family>DejaVu Serif</family></prefer></alias>
  <alias binding="same"><family>monospace</family><prefer><family>DejaVu Sans Mono</family></prefer></alias>
  <match target="pattern">
    <test qual="any" name="family"><string>sans</string></test>
    <edit name="family" mode="assign" binding="same"><string>DejaVu Sans</string></edit>
  </match>
  <!-- a family no font has falls back to the sans face, as a desktop's does -->
  <match target="pattern">
    <edit name="family" mode="append_last"><string>DejaVu Sans</string></edit>
  </match>
</fontconfig>
"""


def pinned_env(state, display):
    """The environment every GUI test runs in."""
    env = dict(os.environ)
    for name in ("WAYLAND_DISPLAY", "GTK_THEME", "GTK_MODULES", "GDK_SCALE",
                 "GDK_DPI_SCALE", "XMODIFIERS", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    env.update({
        "DISPLAY": display,
        "GDK_BACKEND": "x11",
        "GSETTINGS_BACKEND": "memory",
        "NO_AT_BRIDGE": "1",
        "GTK_IM_MODULE": "gtk-im-context-simple",
        "GTK_OVERLAY_SCROLLING": "0",
        "XDG_CONFIG_HOME": os.path.join(state, "config"),
        "FONTCONFIG_FILE": os.path.join(state, "fonts.conf"),
        "XAUTHORITY": os.path.join(state, "no-xauthority"),
        # C++ tests that need the display run only where this is set.
        "KEL_GUI_PINNED_DISPLAY": "1",
    })
    return env


def write_settings(state):
    gtk_dir = os.path.join(state, "config", "gtk-3.0")
    os.makedirs(gtk_dir, exist_ok=True)
    with open(os.path.join(gtk_dir, "settings.ini"), "w") as f:
        f.write(GTK_SETTINGS)
    cache = os.path.join(state, "fontconfig-cache")
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(state, "fonts.conf"), "w") as f:
        f.write(FONTCONFIG.format(dejavu=DEJAVU, cache=cache))


def read_state(state, name):
    try:
        with open(os.path.join(state, name)) as f:
            return f.read().strip()
    except OSError:
        return ""


def end_pids(state):
    for pid in read_state(state, "pids").split():
        try:
            os.killpg(int(pid), signal.SIGTERM)
        except (ProcessLookupError, PermissionError, ValueError):
            pass
    for name in ("pids", "display"):
        try:
            os.remove(os.path.join(state, name))
        except FileNotFoundError:
            pass


def wait_for(check, what):
    deadline = time.monotonic() + START_DEADLINE
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.05)
    sys.exit("xdisplay: %s did not come up" % what)


def start(state):
    os.makedirs(state, exist_ok=True)
    end_pids(state)  # a display a killed run left behind
    write_settings(state)
    for tool in ("Xvfb", "openbox", "xrdb", "xprop"):
        if shutil.which(tool) is None:
            sys.exit("xdisplay: %s is not installed (tools/install-deps.sh)" % tool)
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-screen", "0", SCREEN, "-displayfd", str(write_fd),
         "-nolisten", "tcp", "-noreset", "-dpi", "96"],
        pass_fds=(write_fd,), start_new_session=True,
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(state, "xvfb.log"), "w"))
    os.close(write_fd)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_fd, 16)
        if not chunk:
            sys.exit("xdisplay: Xvfb ended before naming its display")
        number += chunk
    os.close(read_fd)
    display = ":" + number.decode().strip()
    env = pinned_env(state, display)
    subprocess.run(["xrdb", "-merge", "-"], input=b"Xft.dpi: 96\n", env=env, check=True)
    openbox = subprocess.Popen(
        ["openbox", "--sm-disable"], env=env, start_new_session=True,
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(state, "openbox.log"), "w"))

    def managed():
        out = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env,
                             capture_output=True, text=True).stdout
        return "window id" in out

    with open(os.path.join(state, "pids"), "w") as f:
        f.write("%d %d\n" % (openbox.pid, xvfb.pid))
    wait_for(managed, "openbox")
    with open(os.path.join(state, "display"), "w") as f:
        f.write(display + "\n")
    print("display %s ready" % display)


def run(state, argv):
    display = read_state(state, "display")
    if not display:
        sys.exit("xdisplay: no display is running (the gui_display fixture starts it)")
    os.execvpe(argv[0], argv, pinned_env(state, display))


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("start", "stop", "run"):
        sys.exit(__doc__)
    state = os.path.abspath(sys.argv[2])
    if sys.argv[1] == "start":
        start(state)
    elif sys.argv[1] == "stop":
        end_pids(state)
    else:
        argv = sys.argv[3:]
        if argv[:1] == ["--"]:
            argv = argv[1:]
        if not argv:
            sys.exit("xdisplay: run needs a command")
        run(state, argv)


if __name__ == "__main__":
    main()
