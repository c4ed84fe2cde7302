// routines_preproc: the preprocessor's two routines and the record of a
// command-line script's run that they consult. While the console runs a
// script named on the command line (`script_mode`), the preprocessor's
// messages go to standard error and a stop it causes is marked in
// `stopped`, so that the process ends with 1; at the prompt the messages
// are printed as any other output and nothing is marked. The phase source
// binds "preprocessor/report" (text [string!] return: [logic!]: true when it
// wrote the line to standard error) and "preprocessor/stop".
//
// Table numbers: routine_numbers::preproc and the next.
#pragma once
#include <cstdint>

namespace kel::preproc_routines {


// Set by the script runner for the length of a command-line script.
extern bool script_mode;
// Set when the preprocessor stopped that script.
extern bool stopped;

// Start-up step: fills the table entries.
void install();

}  // namespace kel::preproc_routines
