// process: see process.h.
#include "services/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/string_api.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"

extern char** environ;

namespace kel::process {

namespace {

// Children started without waiting, until they are reaped.
std::vector<pid_t> detached;
bool exit_reaper_set = false;

void reap_at_exit() { (void)reap_detached(); }

void remember_detached(pid_t pid) {
    if (!exit_reaper_set) {
        exit_reaper_set = true;
        std::atexit(reap_at_exit);
    }
    detached.push_back(pid);
}

// Descriptors of one launch, closed whatever way it ends.
struct descriptors {
    std::vector<int> fds;
    int keep(int fd) {
        if (fd >= 0) fds.push_back(fd);
        return fd;
    }
    void close_one(int& fd) {
        if (fd < 0) return;
        for (int& f : fds)
            if (f == fd) f = -1;
        ::close(fd);
        fd = -1;
    }
    ~descriptors() {
        for (int f : fds)
            if (f >= 0) ::close(f);
    }
};

// The child's ends of one stream: the descriptor it gets, and our end of a
// pipe (-1 when none).
struct stream_ends {
    int child = -1;
    int ours = -1;
};

// Opens what one stream of the child reads or writes; false when it cannot.
// `input` streams read a file or a pipe we write; output streams append to a
// file or write a pipe we read; a stream with no target gets /dev/null, an
// input with no target our own standard input (child -1).
bool open_stream(target& t, bool input, descriptors& d, stream_ends& e) {
    switch (t.kind) {
        case target::file: {
            e.child = d.keep(input ? ::open(t.path.c_str(), O_RDONLY | O_CLOEXEC)
                                   : ::open(t.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
            // A folder opens for reading here, but has no bytes to give: as
            // an input it cannot be opened, as it could not be for writing.
            struct stat st;
            return e.child >= 0 && !(input && ::fstat(e.child, &st) == 0 && S_ISDIR(st.st_mode));
        }
        case target::buffer: {
            int p[2];
            if (::pipe2(p, O_CLOEXEC) != 0) return false;
            e.child = d.keep(input ? p[0] : p[1]);
            e.ours = d.keep(input ? p[1] : p[0]);
            ::fcntl(e.ours, F_SETFL, ::fcntl(e.ours, F_GETFL) | O_NONBLOCK);
            if (!input) t.bytes.clear();
            return true;
        }
        case target::none:
            if (input) return true;
            e.child = d.keep(::open("/dev/null", O_WRONLY | O_CLOEXEC));
            return e.child >= 0;
    }
    return false;
}

// Starts a program with the child's standard streams set (-1: left as ours),
// an empty signal mask and every disposition at its default.
pid_t spawn(const char* program, char* const* argv, bool search, const int (&streams)[3]) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    bool ok = true;
    for (int i = 0; i < 3; ++i)
        if (streams[i] >= 0) ok = ok && posix_spawn_file_actions_adddup2(&actions, streams[i], i) == 0;
    sigset_t empty, all;
    sigemptyset(&empty);
    sigfillset(&all);
    ok = ok && posix_spawnattr_setsigmask(&attributes, &empty) == 0 &&
         posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
         posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    pid_t pid = -1;
    if (ok) {
        const int rc = search ? posix_spawnp(&pid, program, &actions, &attributes, argv, environ)
                              : posix_spawn(&pid, program, &actions, &attributes, argv, environ);
        if (rc != 0) pid = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// SIGPIPE held back on this thread while we write to a child that may have
// closed its input: a pending one is taken before the mask is put back, so
// the write fails with EPIPE instead of ending the process.
struct sigpipe_held {
    sigset_t pipe_set, old;
    bool was_blocked = false;
    sigpipe_held() {
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
        was_blocked = sigismember(&old, SIGPIPE) == 1;
    }
    ~sigpipe_held() {
        if (was_blocked) return;
        const struct timespec zero {0, 0};
        while (sigtimedwait(&pipe_set, nullptr, &zero) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
};

// Feeds the input and drains output and error at once until all three are
// done: a child may fill one pipe before it reads the other.
void exchange(descriptors& d, int& in_fd, const std::string& input, int& out_fd, std::string* output, int& err_fd,
              std::string* error) {
    sigpipe_held held;
    size_t sent = 0;
    if (in_fd >= 0 && input.empty()) d.close_one(in_fd);
    char chunk[65536];
    while (in_fd >= 0 || out_fd >= 0 || err_fd >= 0) {
        struct pollfd p[3];
        int n = 0, in_at = -1, out_at = -1, err_at = -1;
        if (in_fd >= 0) p[in_at = n++] = {in_fd, POLLOUT, 0};
        if (out_fd >= 0) p[out_at = n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) p[err_at = n++] = {err_fd, POLLIN, 0};
        if (::poll(p, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (in_at >= 0 && p[in_at].revents) {
            const ssize_t w = ::write(in_fd, input.data() + sent, input.size() - sent);
            if (w > 0) sent += static_cast<size_t>(w);
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || sent == input.size()) d.close_one(in_fd);
        }
        const auto drain = [&](int at, int& fd, std::string* into) {
            if (at < 0 || !p[at].revents) return;
            const ssize_t r = ::read(fd, chunk, sizeof chunk);
            if (r > 0) into->append(chunk, static_cast<size_t>(r));
            else if (r == 0 || (errno != EAGAIN && errno != EINTR)) d.close_one(fd);
        };
        drain(out_at, out_fd, output);
        drain(err_at, err_fd, error);
    }
}

int32_t wait_status(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Captured bytes into the target value: a binary! takes them as they are, a
// string! as text decoded leniently with CR LF read as LF.
void store_output(const kel_value* value, const std::string& bytes) {
    if (bytes.empty()) return;
    if (type_of(value) == types::binary) {
        (void)binary::append_bytes(value, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        return;
    }
    if (type_of(value) != types::string) return;
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) text.push_back(bytes[i]);
    kel_value s = *value;
    file::append_os_text(&s, text.data(), text.size());
}

// The target a refinement's value names.
void target_of(const kel_value* value, bool input, target& t) {
    if (!value) return;
    kel_value v = *value;
    switch (type_of(&v)) {
        case types::file:
            t.kind = target::file;
            t.path = file::to_os_path(&v);
            return;
        case types::binary:
            t.kind = target::buffer;
            if (input) {
                const int32_t n = binary::ks_length_q(&v);
                t.bytes.assign(reinterpret_cast<const char*>(binary::ks_head(&v)), n > 0 ? static_cast<size_t>(n) : 0);
            }
            return;
        case types::string:
            t.kind = target::buffer;
            // The bytes of text that came from the system (a child's output
            // not in UTF-8) go back as they came.
            if (input) t.bytes = file::to_os_text(&v);
            return;
        default:
            return;
    }
}

}  // namespace

int reap_detached() {
    int reaped = 0;
    for (size_t i = 0; i < detached.size();) {
        int status;
        const pid_t r = ::waitpid(detached[i], &status, WNOHANG);
        if (r == 0) {
            ++i;
            continue;
        }
        // reaped, or no longer ours to reap (ECHILD)
        if (r > 0) ++reaped;
        detached[i] = detached.back();
        detached.pop_back();
    }
    return reaped;
}

std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    out += '\'';
    return out;
}

int32_t launch(const std::string& command, bool wait, target& input, target& output, target& error) {
    (void)reap_detached();
    if (input.kind != target::none || output.kind != target::none || error.kind != target::none) wait = true;
    descriptors d;
    stream_ends in, out, err;
    if (!open_stream(input, true, d, in) || !open_stream(output, false, d, out) || !open_stream(error, false, d, err))
        return -1;
    std::string text = command;
    // "--" ends the shell's options: a command that starts with "-" or "+"
    // is a command, not a switch of the shell.
    char sh[] = "sh", dash_c[] = "-c", end_of_options[] = "--";
    char* argv[] = {sh, dash_c, end_of_options, text.data(), nullptr};
    const int streams[3] = {in.child, out.child, err.child};
    const pid_t pid = spawn("/bin/sh", argv, false, streams);
    if (pid < 0) return -1;
    d.close_one(in.child);
    d.close_one(out.child);
    d.close_one(err.child);
    if (!wait) {
        remember_detached(pid);
        return static_cast<int32_t>(pid);
    }
    exchange(d, in.ours, input.bytes, out.ours, &output.bytes, err.ours, &error.bytes);
    return wait_status(pid);
}

int32_t call_command(const kel_value* command, bool wait, bool show, bool console, bool shell, const kel_value* in,
                     const kel_value* out, const kel_value* err) {
    (void)show;
    (void)shell;
    if (console) fire(error_category::internal, "not-done");
    kel_value c = *command;
    if (string::ks_length_q(&c) <= 0) return 0;
    std::string line = file::to_os_path(&c);
    // A file names a file, never a program to look for on PATH.
    if (type_of(&c) == types::file) line = shell_quote(line.find('/') == std::string::npos ? "./" + line : line);
    target input, output, error;
    target_of(in, true, input);
    target_of(out, false, output);
    target_of(err, false, error);
    const int32_t result = launch(line, wait, input, output, error);
    if (output.kind == target::buffer) store_output(out, output.bytes);
    if (error.kind == target::buffer) store_output(err, error.bytes);
    return result;
}

bool open_with_desktop(const std::string& what) {
    (void)reap_detached();
    std::string arg = what;
    char program[] = "xdg-open";
    char* argv[] = {program, arg.data(), nullptr};
    const int streams[3] = {-1, -1, -1};
    const pid_t pid = spawn("xdg-open", argv, true, streams);
    if (pid < 0) return false;
    remember_detached(pid);
    return true;
}

}  // namespace kel::process
