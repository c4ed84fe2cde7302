// platform system: current directory, environment, the command line and sleep.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "platform/platform.h"

extern char** environ;

namespace kel::platform {

std::string get_current_dir() {
    std::string buf(256, '\0');
    for (;;) {
        if (getcwd(buf.data(), buf.size())) {
            buf.resize(std::strlen(buf.c_str()));
            return buf;
        }
        if (errno != ERANGE) return std::string();
        buf.resize(buf.size() * 2);
    }
}

bool set_current_dir(const std::string& path) { return chdir(path.c_str()) == 0; }

std::optional<std::string> get_env(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    if (!v) return std::nullopt;
    return std::string(v);
}

bool set_env(const std::string& name, const std::string& value) {
    if (name.empty() || name.find('=') != std::string::npos) return false;
    return setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool remove_env(const std::string& name) {
    if (name.empty() || name.find('=') != std::string::npos) return false;
    return unsetenv(name.c_str()) == 0;
}

std::vector<std::pair<std::string, std::string>> list_env() {
    std::vector<std::pair<std::string, std::string>> out;
    for (char** e = environ; e && *e; ++e) {
        // the first "=" after the first character: a name may start with one
        const char* eq = **e ? std::strchr(*e + 1, '=') : nullptr;
        if (!eq) continue;
        out.emplace_back(std::string(*e, static_cast<size_t>(eq - *e)), std::string(eq + 1));
    }
    return out;
}

void write_all(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

std::string command_line(int count, char* const* args) {
    std::string line;
    for (int i = 0; i < count; ++i) {
        const char* a = args[i];
        if (i) line += ' ';
        // An empty argument is written as "" so that the split of the line
        // still finds it.
        const bool quote = *a == 0 || std::strpbrk(a, " \t\"") != nullptr;
        if (quote) line += '"';
        line += a;
        if (quote) line += '"';
    }
    return line;
}

long sleep_milliseconds(double seconds) {
    double ms = seconds * 1000.0;
    if (!(ms >= 1.0)) ms = 1.0;  // below 1, and NaN, sleep 1 ms
    if (ms > 2147483647.0) ms = 2147483647.0;
    return static_cast<long>(ms);
}

void sleep(double seconds) {
    long ms = sleep_milliseconds(seconds);
    struct timespec req { ms / 1000, (ms % 1000) * 1000000L }, rem {};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

bool sleep_unless(double seconds, const std::atomic<bool>* stop) {
    // Slices short enough that a halt is taken at once as a person sees it;
    // a monotonic deadline keeps the slices' overshoot from adding up.
    constexpr int64_t slice_ns = 20 * 1000000LL;
    auto now_ns = [] {
        struct timespec t {};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
    };
    const int64_t deadline = now_ns() + static_cast<int64_t>(sleep_milliseconds(seconds)) * 1000000LL;
    for (;;) {
        if (stop && stop->load(std::memory_order_relaxed)) return true;
        const int64_t left = deadline - now_ns();
        if (left <= 0) return false;
        const int64_t ns = left < slice_ns ? left : slice_ns;
        struct timespec req { static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL) };
        (void)nanosleep(&req, nullptr);
    }
}

}  // namespace kel::platform
