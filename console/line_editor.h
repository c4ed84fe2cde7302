// line_editor: text mode's line editing on a terminal. When standard input
// and standard output are both terminals, the console's `ask` reads through
// libedit (emacs key map: arrows, history, the usual editing keys) instead of
// the plain line reading kept for pipes and files. The history block stays
// the one truth: libedit's own history is rebuilt from it before each line.
// Tab calls the console's completion (a Kel function handed over with the
// line) from a libedit key callback; whatever that call raises is caught in
// the callback, ends the line, and is raised again once libedit has returned.
// The keys that Kel text wants differ from libedit's defaults in places:
// words end at Kel's delimiters, Ctrl+K empties the line, Escape alone (told
// from a key sequence by the pause after it) ends the line cancelled, and
// every known key sequence is taken whole so that none leaves a tail typed
// into the line. Also here: reading a hidden line (a "*" per character), and
// the terminal title.
#pragma once
#include <cstdint>

namespace kel::console::line_editor {

// Table numbers of the editor's routines: routine_numbers::line_editor onwards.

// Start-up step: fills the table entries.
void install();

}  // namespace kel::console::line_editor
