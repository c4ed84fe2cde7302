// process: child processes for `call` and `browse`. A command runs as
// `/bin/sh -c <command>` through posix_spawn; its standard input, output and
// error go to files, to pipes we feed or drain, to /dev/null, or (input only)
// to our own standard input. One poll loop writes the input and drains output
// and error together, so no child blocks us however much flows each way or
// in which order. Children start with an empty signal mask and default
// dispositions: the runtime thread blocks SIGINT and SIGTERM and SIGPIPE is
// ignored, and a child would inherit both. Every descriptor we open is
// close-on-exec, so a child holds only its own three.
//
// Children not waited for are reaped (waitpid WNOHANG) at every later launch
// and at exit, so none stays a zombie.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "kernel/value.h"

namespace kel::process {

// A redirection of one standard stream.
struct target {
    enum kind_t { none, file, buffer } kind = none;
    std::string path;   // file: the OS path (input read, output appended)
    std::string bytes;  // buffer: input to send, or output captured
};

// Runs `command` through the shell. With `wait` (forced by any redirection)
// the answer is the exit status (128 + the signal's number for a child a
// signal ended), else the child's process id; -1 when it cannot start (a
// file that cannot be opened, no pipe, no process).
int32_t launch(const std::string& command, bool wait, target& input, target& output, target& error);

// The native `call`: `command` a string! or a file! (its OS path quoted as
// one word for the shell, "./" in front of a bare name), the flags /wait /show /console
// /shell and the cells of in, out and err (null when the refinement is not
// used). An empty command answers 0 and starts nothing; /console raises
// internal `not-done`; /show and /shell change nothing (every command runs
// through the shell, and there is no window to show). Captured output is
// appended to a binary! as bytes, to a string! decoded leniently with CR LF
// read as LF, to a file! by the child itself. A string! input goes as UTF-8,
// the bytes lenient decoding kept given back as they were, so captured
// output fed to another command is the same bytes again.
int32_t call_command(const kel_value* command, bool wait, bool show, bool console, bool shell, const kel_value* in,
                     const kel_value* out, const kel_value* err);

// A file's OS path as one word of the shell: in single quotes, an embedded
// quote written '\''.
std::string shell_quote(const std::string& text);

// Hands a file's OS path or a url's text to `xdg-open` as one argument (an
// argument vector, no shell); the answer is not looked at and the child is
// reaped later. False when it could not start.
bool open_with_desktop(const std::string& what);

// Reaps every finished child not waited for; answers how many.
int reap_detached();

}  // namespace kel::process
