// console_routines: the native side of the text-mode console. The engine
// itself is Kel (library/boot-15-console.kel); what it cannot do in Kel lives
// here as routine-table entries that the console phase binds by name:
//  - writing a failed script's message to standard error (standard output
//    flushed first, so the two streams keep their order on a terminal);
//  - reading one line of standard input for `ask`, with tracing switched
//    off and the process marked idle while it waits (an interrupt then ends
//    the process quietly instead of halting a command);
//  - the console size from the terminal of standard output;
//  - the script argument turned into a file! the way the system names it;
//  - switching interrupts from "end the script" to "halt the command", which
//    the interpreter's poll turns into the `halt` throw.
#pragma once
#include <cstdint>

namespace kel::console {

// Table numbers of the console routines: routine_numbers::console onwards.

// Start-up step: fills the table entries.
void install();

}  // namespace kel::console
