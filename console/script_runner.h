// script_runner: runs the script named on the command line in text mode.
// It reads the command line (options beginning with "--" are skipped, a bare
// "--" ends them, "--catch" is accepted and has no effect), reads the
// file, checks the `Kel` header, changes to the script's folder, gives the
// script its own arguments in system/options/args and system/script/args,
// and evaluates the script's body under an error trap.
//
// Exit codes: 0 when there is no script or it ran to its end; 1 when it
// could not be read, has no header, did not load, or ended with an error
// (the formed error goes to stderr; a failed script is never reported as
// success).
#pragma once

namespace kel::script_runner {

// argv is the process's argument vector (argv[0] the program).
int run(int argc, char** argv);

// The index in argv of the script to run, or -1 when the command line names
// none (options beginning with "--" are stepped over, a bare "--" ends them).
int script_index(int argc, char** argv);

}  // namespace kel::script_runner
