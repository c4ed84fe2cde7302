// tty_guard: the terminal modes to put back when the process ends while a
// line editor holds the terminal. The editor saves the modes before it
// changes them and releases them when it is done; the signal waiter, which
// ends the process from another thread with _exit, restores them first so
// the shell gets a sane terminal back.
#pragma once

namespace kel::platform::tty_guard {

// Remembers the current modes of the terminal on file descriptor fd.
void hold(int fd);
// The editor is done: nothing to restore any more.
void release();
// Puts the held modes back (no-op when none are held); async-signal-safe.
void restore();

}  // namespace kel::platform::tty_guard
