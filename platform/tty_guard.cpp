// tty_guard: see tty_guard.h.
#include "platform/tty_guard.h"

#include <termios.h>

#include <atomic>

namespace kel::platform::tty_guard {

namespace {
struct termios saved {};
int saved_fd = -1;
std::atomic<bool> held{false};
}  // namespace

void hold(int fd) {
    held.store(false);
    if (tcgetattr(fd, &saved) != 0) return;
    saved_fd = fd;
    held.store(true);
}

void release() { held.store(false); }

void restore() {
    if (held.exchange(false)) tcsetattr(saved_fd, TCSANOW, &saved);
}

}  // namespace kel::platform::tty_guard
