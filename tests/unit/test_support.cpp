#include "tests/unit/test_support.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kel::test {

process_result run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env_overrides,
                           const std::string& stdin_text) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&fa, fd);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool overridden = false;
        for (const auto& o : env_overrides)
            if (entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0) overridden = true;
        if (!overridden) env.push_back(entry);
    }
    for (const auto& o : env_overrides) env.push_back(o);
    std::vector<char*> envp, args;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto& a : argv_copy) args.push_back(a.data());
    args.push_back(nullptr);

    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    process_result r;
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return r;
    }
    size_t written = 0;
    // Non-blocking, so a large input never stalls the reading of the outputs.
    fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);
    if (stdin_text.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    int open_count = 2;
    while (open_count > 0 || fds[2].fd >= 0) {
        int nfds = fds[2].fd >= 0 ? 3 : 2;
        if (poll(fds, nfds, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(fds[2].fd, stdin_text.data() + written, stdin_text.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            bool would_block = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if ((n <= 0 && !would_block) || written == stdin_text.size()) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string python(const std::string& code, const std::vector<std::string>& env_overrides) {
    process_result r = run_process({"/usr/bin/python3", "-c", code}, env_overrides);
    std::string s = r.out;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace kel::test
