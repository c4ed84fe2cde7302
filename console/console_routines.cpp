// console_routines: see console_routines.h.
#include "console/console_routines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/string_api.h"
#include "evaluator/interpreter.h"
#include "evaluator/routines.h"
#include "kernel/catalog.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "kernel/runtime.h"
#include "kernel/stack.h"
#include "library/boot.h"
#include "platform/platform.h"
#include "library/routines_preproc.h"

namespace kel::console {

namespace {

using routines::machine_value;

using platform::write_all;
using routines::answer_cell;
using routines::nothing;

// The text, then a line end unless it has one, on standard error.
machine_value stderr_line(const machine_value* a, int32_t) {
    kel_value text = *a[0].cell;
    if (!in_family(type_of(&text), family::string_like)) return nothing();
    int32_t count = -1;
    const char* bytes = unicode::to_utf8(&text, &count);
    std_output::flush();
    write_all(2, bytes, static_cast<size_t>(count));
    if (count == 0 || bytes[count - 1] != '\n') write_all(2, "\n", 1);
    return nothing();
}

// Standard input is read in blocks; what follows the line handed out waits
// here for the next ask. Only the console reads standard input.
std::string pending;
bool input_ended = false;

// The next line without its LF (and a CR before it); false at end of input.
// A last line without LF is still a line.
bool next_line(std::string& line) {
    size_t scanned = 0;
    for (;;) {
        const size_t lf = pending.find('\n', scanned);
        if (lf != std::string::npos) {
            line.assign(pending, 0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        scanned = pending.size();
        if (input_ended) break;
        char buf[4096];
        const ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            input_ended = true;
            continue;
        }
        pending.append(buf, static_cast<size_t>(n));
    }
    if (pending.empty()) return false;
    line.swap(pending);
    pending.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

// One line of standard input as a string!, or none at its end. While it
// waits the process counts as idle (an interrupt ends it with 0) and nothing
// is traced.
machine_value read_line(const machine_value*, int32_t) {
    std_output::flush();
    const bool traced = interpreter::trace.active;
    interpreter::trace.active = false;
    const bool was_evaluating = runtime::evaluating.exchange(false);
    std::string line;
    const bool got = next_line(line);
    runtime::evaluating.store(was_evaluating);
    interpreter::trace.active = traced;
    kel_value answer;
    if (!got) {
        // Ctrl-D on a terminal leaves the cursor after the prompt.
        if (isatty(0) && isatty(1)) write_all(1, "\n", 1);
        set_none(&answer);
        return answer_cell(&answer);
    }
    answer = *boot::push_os_text(line.data(), line.size());
    stack::drop_cells(1);
    return answer_cell(&answer);
}

// Columns x rows of the terminal on standard output; 80x50 when it is not a
// terminal.
machine_value console_size(const machine_value*, int32_t) {
    unsigned cols = 80, rows = 50;
    std_output::screen_size(&cols, &rows);
    kel_value size;
    set_pair(&size, static_cast<int32_t>(std::min(cols, 0x7FFFu)), static_cast<int32_t>(std::min(rows, 0x7FFFu)));
    return answer_cell(&size);
}

// The script argument as the system names the file: the argument's bytes
// taken as a path, not read as Kel file notation. The argument came from the
// command line, decoded leniently; its own bytes are used, so that a name
// that is not UTF-8 still opens.
machine_value os_file(const machine_value* a, int32_t) {
    kel_value text = *a[0].cell;
    int32_t count = -1;
    const std::string wanted = unicode::to_utf8(&text, &count);
    std::string path;
    for (int i = 1; i < runtime::record.argument_count && path.empty(); ++i) {
        const char* arg = runtime::record.argument_vector[i];
        kel_value* decoded = boot::push_os_text(arg, std::strlen(arg));
        int32_t n = -1;
        if (unicode::to_utf8(decoded, &n) == wanted) path = arg;
        stack::drop_cells(1);
    }
    if (path.empty()) path = file::to_os_path(&text);
    kel_value* cell = stack::push_unset();
    file::make_from_os_path(cell, path.data(), path.size());
    const kel_value made = *cell;
    stack::drop_cells(1);
    return answer_cell(&made);
}

enum class read_result { ok, cannot_open, not_a_file, too_large };

// The largest script text: a series holds at most 2^31 - 1 units.
constexpr size_t script_limit = 0x7FFFFFFF;

// Reads the whole script. Only a regular file is read: a device or a FIFO may
// never end, and opening a FIFO without O_NONBLOCK would wait for a writer.
// A text that cannot be held (too long, or the memory runs out) is refused
// rather than ending the process.
read_result read_file(const char* path, std::string& out) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return read_result::cannot_open;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return read_result::cannot_open;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return read_result::not_a_file;
    }
    read_result result = read_result::ok;
    try {
        if (static_cast<uint64_t>(st.st_size) > script_limit) throw std::length_error("script");
        out.reserve(static_cast<size_t>(st.st_size));
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                result = read_result::cannot_open;
                break;
            }
            if (n == 0) break;
            if (out.size() + static_cast<size_t>(n) > script_limit) throw std::length_error("script");
            out.append(buf, static_cast<size_t>(n));
        }
    } catch (const std::exception&) {  // bad_alloc or length_error
        std::string().swap(out);
        result = read_result::too_large;
    }
    ::close(fd);
    return result;
}

// The formed error that refuses the script file, with the reason added to
// its first line.
std::string refused(const kel_value* file, read_result why) {
    kel_value* const entry = stack::top();
    const error_trap trap = open_error_trap();
    std::string text;
    try {
        if (why == read_result::too_large) fire(error_category::internal, "no-memory");
        fire(error_category::access, "cannot-open", file);
    } catch (const kel_unwind& u) {
        const kel_value* e = stack::top() > stack::bottom() ? stack::top() - 1 : nullptr;
        if (!e || type_of(e) != types::error) e = error::last();
        const kel_value copy = *e;
        close_error_trap(trap, u.code == code_value(signal_code::error));
        char* formed = nullptr;
        int32_t length = 0;
        boot::form_utf8(&copy, &formed, &length);
        text.assign(formed, static_cast<size_t>(length));
    }
    stack::regs.top = entry;
    const char* reason = why == read_result::not_a_file  ? " (not a regular file)"
                         : why == read_result::too_large ? " to hold the script"
                                                         : "";
    text.insert(std::min(text.find('\n'), text.size()), reason);
    return text;
}

// The script's bytes as a binary!, or the text of the error that refuses it
// as a string! (the console writes it to standard error).
machine_value read_script(const machine_value* a, int32_t) {
    const kel_value file = *a[0].cell;
    const std::string path = file::to_os_path(&file);
    std::string bytes;
    const read_result r = read_file(path.c_str(), bytes);
    kel_value answer;
    if (r == read_result::ok) {
        answer = *binary::push_from_memory(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    } else {
        const std::string text = refused(&file, r);
        answer = *boot::push_os_text(text.data(), text.size());
    }
    stack::drop_cells(1);
    return answer_cell(&answer);
}

// From here an interrupt halts the running command (the interpreter's poll
// throws it to the console) rather than ending the process.
machine_value halt_to_prompt(const machine_value*, int32_t) {
    runtime::interactive.store(true);
    runtime::evaluating.store(true);
    return nothing();
}

// While a command-line script runs, the preprocessor writes its messages to
// standard error and marks a stop it causes; at the prompt it does neither.
machine_value script_run(const machine_value* a, int32_t) {
    preproc_routines::script_mode = a[0].i != 0;
    if (preproc_routines::script_mode) preproc_routines::stopped = false;
    return nothing();
}

// Whether the preprocessor stopped the script.
machine_value script_stopped(const machine_value*, int32_t) {
    machine_value v;
    v.i = preproc_routines::stopped ? 1 : 0;
    return v;
}

const routines::binding console_routines[] = {
    {"console-stderr-line", "text [any-type!]", stderr_line},
    {"console-read-line", "", read_line},
    {"console-size", "", console_size},
    {"console-os-file", "text [any-type!]", os_file},
    {"console-read-script", "file [any-type!]", read_script},
    {"console-halt-to-prompt", "", halt_to_prompt},
    {"console-script-run", "on? [logic!]", script_run},
    {"console-script-stopped", "return: [logic!]", script_stopped},
};

}  // namespace

void install() {
    routines::define_run(routine_numbers::console, console_routines, int32_t(std::size(console_routines)), "console");
}

}  // namespace kel::console
