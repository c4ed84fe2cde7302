// The process service and the OS information routine where scripts do not
// reach them: `__get-OS-info` against Python's view of the same machine
// (until the library binds `os-info` over it), and children started without
// waiting, which must all be reaped.
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "evaluator/natives_os.h"
#include "services/process.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;

namespace {

struct ProcessOs : natives_test {};

// The output of a command (bounded in time by `timeout`).
std::string output_of(const std::string& command) {
    std::string out;
    FILE* p = ::popen(("timeout 60 " + command).c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

// Children of this process that are zombies, from /proc.
std::vector<std::string> zombie_children() {
    std::vector<std::string> zombies;
    const std::string task_dir = "/proc/" + std::to_string(::getpid()) + "/task";
    DIR* d = ::opendir(task_dir.c_str());
    if (!d) return zombies;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream children(task_dir + "/" + e->d_name + "/children");
        std::string pid;
        while (children >> pid) {
            std::ifstream stat("/proc/" + pid + "/stat");
            std::string line;
            std::getline(stat, line);
            const size_t close = line.rfind(')');
            if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z')
                zombies.push_back(pid);
        }
    }
    ::closedir(d);
    return zombies;
}

}  // namespace

TEST_F(ProcessOs, OsInfoAgreesWithPython) {
    // Python's answer in the routine's form: name, arch, version, build.
    const std::string want = output_of(
        "python3 -c \""
        "import platform, re\n"
        "u = platform.uname()\n"
        "try: name = platform.freedesktop_os_release().get('PRETTY_NAME') or 'Linux'\n"
        "except OSError: name = 'Linux'\n"
        "m = u.machine\n"
        "arch = {'x86_64': 'x86-64', 'aarch64': 'ARM64'}.get(m) or ('x86-32' if re.fullmatch('i[3-6]86', m) "
        "else 'ARM' if m.startswith('arm') else 'Unknown')\n"
        "n = [int(x) for x in re.match(r'(\\\\d+)(?:\\\\.(\\\\d+))?(?:\\\\.(\\\\d+))?', u.release).groups(0)]\n"
        "print(name, arch, '%d.%d.%d' % tuple(n), n[2], sep='|')\"");
    ASSERT_FALSE(want.empty());
    ASSERT_NE(routines::at(routine_numbers::os_info).fn, nullptr);
    kel_value* holder = stack::push_unset();
    routines::make_value(routine_numbers::os_info, holder);
    runtime_env::define("__get-OS-info", *holder);
    stack::reset();
    EXPECT_EQ(run("o: __get-OS-info reduce [type? o reflect o 'words]"), "[object! [name arch version build]]");
    const std::string got = run("o: __get-OS-info reduce [o/name o/arch o/version o/build]");
    // [name arch version build] as Python formats them
    std::string expect = want.substr(0, want.find('\n'));
    std::vector<std::string> parts;
    std::stringstream ss(expect);
    for (std::string part; std::getline(ss, part, '|');) parts.push_back(part);
    ASSERT_EQ(parts.size(), 4u) << want;
    EXPECT_EQ(got, "[\"" + parts[0] + "\" " + parts[1] + " " + parts[2] + " " + parts[3] + "]");
    EXPECT_EQ(run("type? get in __get-OS-info 'arch"), "word!");
}

TEST_F(ProcessOs, DetachedChildrenAreReaped) {
    for (int i = 0; i < 100; ++i) {
        process::target in, out, err;
        ASSERT_GT(process::launch("true", false, in, out, err), 0) << i;
    }
    // Every child ends soon; each later launch (and this call) reaps those
    // that have. Bounded: about 10 s at most.
    std::vector<std::string> zombies;
    for (int tries = 0; tries < 1000; ++tries) {
        (void)process::reap_detached();
        zombies = zombie_children();
        if (zombies.empty()) break;
        ::usleep(10000);
    }
    EXPECT_TRUE(zombies.empty()) << zombies.size() << " zombies, first " << zombies.front();
}

TEST_F(ProcessOs, ExitStatusesAndCapture) {
    // The service itself: the status of a waited child, the shell's 127, and
    // output and error captured together through one exchange.
    process::target none_in, none_out, none_err;
    EXPECT_EQ(process::launch("exit 7", true, none_in, none_out, none_err), 7);
    process::target in, out, err;
    in.kind = out.kind = err.kind = process::target::buffer;
    in.bytes = std::string(300000, 'i');
    EXPECT_EQ(process::launch("cat; printf e >&2", false, in, out, err), 0);  // a redirection waits
    EXPECT_EQ(out.bytes, in.bytes);
    EXPECT_EQ(err.bytes, "e");
    EXPECT_EQ(process::shell_quote("a b'c$(x)"), "'a b'\\''c$(x)'");
}

TEST_F(ProcessOs, FireInvalidArgChecksTheType) {
    // The type check of values handed to the system: silent for the type
    // asked for, script invalid-arg with the value for any other.
    kel_value i, n;
    set_integer(&i, 5);
    set_none(&n);
    EXPECT_FALSE(fires([&] { platform::fire_invalid_arg(&i, types::integer); }, "invalid-arg"));
    EXPECT_TRUE(fires([&] { platform::fire_invalid_arg(&i, types::string); }, "invalid-arg"));
    EXPECT_EQ(last_fired().category, error_category::script);
    EXPECT_EQ(get_integer(&last_fired().args[0]), 5);
    EXPECT_TRUE(fires([&] { platform::fire_invalid_arg(&n, types::integer); }, "invalid-arg"));
    EXPECT_EQ(type_of(&last_fired().args[0]), types::none);
}
