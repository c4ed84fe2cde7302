// script_runner: see script_runner.h.
#include "console/script_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/string_api.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/ownership.h"
#include "kernel/print.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"
#include "library/boot.h"
#include "library/routines_preproc.h"
#include "services/lexer.h"

namespace kel::script_runner {

namespace {

void write_all(const char* p, size_t left) {
    while (left > 0) {
        const ssize_t n = ::write(2, p, left);
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// The text on stderr, ending its line.
void error_line(const std::string& text) {
    std_output::flush();
    write_all(text.data(), text.size());
    if (text.empty() || text.back() != '\n') write_all("\n", 1);
}

// The error just raised, formed ("*** Script Error: ..."). Called while the
// trap is still open: the raise left a copy of the error at the top of the
// argument stack (a `do` of an error! value raises that value itself, which
// `fire` never saw).
std::string formed_error() {
    const kel_value* e = stack::top() > stack::bottom() ? stack::top() - 1 : nullptr;
    if (!e || type_of(e) != types::error) e = error::last();
    if (!e || type_of(e) != types::error) return "*** Error: an error was raised";
    const kel_value copy = *e;
    char* text = nullptr;
    int32_t length = 0;
    boot::form_utf8(&copy, &text, &length);
    return std::string(text, static_cast<size_t>(length));
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

inline bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The byte offset of the header: the first "Kel", optionally "/System", any
// whitespace, then "["; npos when there is none (case-sensitive).
size_t find_header(const std::string& text) {
    for (size_t at = text.find("Kel"); at != std::string::npos; at = text.find("Kel", at + 1)) {
        size_t i = at + 3;
        if (text.compare(i, 7, "/System") == 0) i += 7;
        while (i < text.size() && blank(text[i])) ++i;
        if (i < text.size() && text[i] == '[') return at;
    }
    return std::string::npos;
}

// The formed error that refuses the script file, raised under a trap, with
// the reason added to its first line.
std::string refused(const char* path, read_result why) {
    const error_trap trap = open_error_trap();
    kel_value* const entry = stack::top();
    std::string text;
    try {
        kel_value* file = stack::push_unset();
        url::make_at(file, types::file, reinterpret_cast<const uint8_t*>(path),
                     static_cast<uint32_t>(std::strlen(path)), false);
        if (why == read_result::too_large) fire(error_category::internal, "no-memory");
        fire(error_category::access, "cannot-open", file);
    } catch (const kel_unwind& u) {
        text = formed_error();
        close_error_trap(trap, u.code == code_value(signal_code::error));
        stack::regs.top = entry;
    }
    const char* reason = why == read_result::not_a_file  ? " (not a regular file)"
                         : why == read_result::too_large ? " to hold the script"
                                                         : "";
    text.insert(std::min(text.find('\n'), text.size()), reason);
    return text;
}

std::string cannot_open(const char* path) { return refused(path, read_result::cannot_open); }

// The script's arguments into system/options/args (a block of strings) and
// system/script/args (their command-line text, none without arguments).
void give_arguments(int count, char** args, const char* script) {
    kel_value* const entry = stack::top();
    kel_value* list = block::push_only_star(count > 0 ? count : 1);
    for (int i = 0; i < count; ++i) {
        kel_value* s = boot::push_os_text(args[i], std::strlen(args[i]));
        block::ks_add(list, s);
        stack::drop_cells(1);
    }
    kel_value* line = stack::push_unset();
    if (count > 0) boot::rebuild_command_line(count, args, line);
    else set_none(line);
    kel_value* file = stack::push_unset();
    url::make_at(file, types::file, reinterpret_cast<const uint8_t*>(script),
                 static_cast<uint32_t>(std::strlen(script)), false);
    if (kel_value* f = boot::system_field("options", "args")) *f = *list;
    if (kel_value* f = boot::system_field("script", "args")) *f = *line;
    if (kel_value* f = boot::system_field("options", "script")) *f = *file;
    stack::regs.top = entry;
}

// Scripts run in their own folder.
bool enter_folder(const char* script) {
    const char* slash = std::strrchr(script, '/');
    if (!slash) return true;
    if (slash == script) return ::chdir("/") == 0;
    const std::string folder(script, static_cast<size_t>(slash - script));
    return ::chdir(folder.c_str()) == 0;
}

// The script's body through the library's `expand-directives`, which
// rewrites it in place. The call is made from a block of library code, as
// the console would make it, so the preprocessor sees no user code below it
// and takes #include at expansion time.
signal_code expand_directives(const kel_value* body) {
    const kel_value name = *word::from_c_string("expand-directives");
    const kel_value* fn = _context::symbol_value(word_symbol(&name), _context::global());
    if (!fn || type_of(fn) != types::function) return signal_code::none;
    kel_value* const entry = stack::top();
    kel_value* call = block::push_only_star(2);
    block::ks_add(call, &name);
    block::ks_add(call, body);
    memory::buffer_of(series_node(call))->flags |= memory::flag_library;
    const kel_value code = *call;
    const signal_code c = interpreter::eval_block(&code, false);
    if (c == signal_code::none) stack::regs.top = entry;
    return c;
}

}  // namespace

int script_index(int argc, char** argv) {
    int i = 1;
    while (i < argc && std::strncmp(argv[i], "--", 2) == 0) {
        const bool end = std::strcmp(argv[i], "--") == 0;
        ++i;  // "--catch" and unknown options are stepped over
        if (end) break;
    }
    return i < argc ? i : -1;
}

int run(int argc, char** argv) {
    const int i = script_index(argc, argv);
    if (i < 0) return 0;
    const char* script = argv[i];
    // From here an interrupt ends the run as a failure (130 or 143), never
    // as the quiet success of an idle console (main_body sets this already
    // before the boot; a caller that runs the runner alone relies on this).
    runtime::evaluating.store(true);
    std::string text;
    if (const read_result r = read_file(script, text); r != read_result::ok) {
        error_line(refused(script, r));
        return 1;
    }
    const size_t header = find_header(text);
    if (header == std::string::npos) {
        error_line("*** Error: Kel header not found!");
        return 1;
    }
    give_arguments(argc - i - 1, argv + i + 1, script);
    if (!enter_folder(script)) {
        error_line(cannot_open(script));
        return 1;
    }
    // system/options/path names the process's directory, which just moved;
    // the new file is owned by system/options in the old one's place, so
    // that in-place changes of it still reach the object's handler
    if (kel_value* path = boot::system_field("options", "path")) {
        kel_value* dir = file::get_current_dir();
        ownership::unbind(path);
        path = boot::system_field("options", "path");
        *path = *dir;
        const kel_value options = *boot::system_member("options");
        const kel_value word = *word::from_c_string("path");
        ownership::bind(path, &options, &word);
        stack::drop_cells(1);
    }

    kel_value* const entry = stack::top();
    const error_trap trap = open_error_trap();
    int status = 0;
    try {
        kel_value* loaded = stack::push_unset();
        lexer::options o;
        (void)lexer::transcode_utf8(loaded, reinterpret_cast<const uint8_t*>(text.data()) + header,
                                    text.size() - header, o);
        // The word Kel followed by a block (the header), then the body.
        const kel_value code = *loaded;
        const int32_t n = type_of(&code) == types::block ? block::ks_length_q(&code) : 0;
        const int32_t head = n ? series_head(&code) : 0;
        bool ok = n >= 2;
        if (ok) {
            const kel_value* w = block::ks_abs_at(&code, head);
            const kel_value* h = block::ks_abs_at(&code, head + 1);
            const kel_value kel_word = *word::from_c_string("Kel");
            ok = type_of(w) == types::word && word_symbol(w) == word_symbol(&kel_word) && type_of(h) == types::block;
        }
        if (!ok) {
            close_error_trap(trap, false);
            stack::regs.top = entry;
            const bool system = text.find("Kel/System") != std::string::npos;
            error_line(system ? "*** Error: contains Kel/System code which requires compilation!"
                              : "*** Error: not a Kel program!");
            return 1;
        }
        kel_value body = code;
        set_series_head(&body, head + 2);
        // While the script runs, the preprocessor reports on standard error
        // and marks a stop it causes.
        preproc_routines::script_mode = true;
        preproc_routines::stopped = false;
        signal_code c = expand_directives(&body);
        if (c == signal_code::none) c = interpreter::eval_block(&body, false);
        preproc_routines::script_mode = false;
        // A stop the script caught itself and went on from is no failure.
        const bool stopped = c != signal_code::none && preproc_routines::stopped;
        if (c == signal_code::error && !stopped) throw kel_unwind{code_value(c)};  // received by the trap all the same
        close_error_trap(trap, c == signal_code::error);
        if (stopped) {
            status = 1;  // its halt escaped the script; the preprocessor wrote its messages already
        } else if (c == signal_code::throw_) {
            error_line("*** Throw Error: no catch for throw");
            status = 1;
        }
    } catch (const kel_unwind& u) {
        preproc_routines::script_mode = false;
        const bool error = u.code == code_value(signal_code::error);
        const std::string text = error ? formed_error() : "*** Error: a control signal escaped the script";
        close_error_trap(trap, error);
        if (!preproc_routines::stopped) error_line(text);
        status = 1;
    }
    stack::regs.top = entry;
    std_output::flush();
    return status;
}

}  // namespace kel::script_runner
