// The executable as a whole: the boot, text mode's print hook and the
// console's script path, through real processes (the kel binary the build
// made, its standard input empty unless a case gives one).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/unit/test_support.h"

namespace kel::test {
namespace {

struct boot_process : ::testing::Test {
    std::string dir;
    void SetUp() override {
        char pattern[] = "/tmp/kel_boot_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    process_result kel(std::vector<std::string> args) {
        args.insert(args.begin(), KEL_BINARY);
        return run_process(args, {"DISPLAY=", "WAYLAND_DISPLAY="});
    }
};

// A value of every core type the runtime has, printed (formed) and molded:
// the bytes on standard output are exact UTF-8 with LF line ends.
const char* const types_script =
    "Kel [Title: \"types\"]\n"
    "print 42\n"
    "print -7.5\n"
    "print \"h\xC3\xA9llo \xE2\x9C\x93\"\n"
    "print #\"x\"\n"
    "print [1 + 1 \"b\" #\"c\"]\n"
    "print true\n"
    "print none\n"
    "print 'word\n"
    "print 10:20:30\n"
    "print %dir/file.txt\n"
    "print http://ex.com/a%20b\n"
    "prin \"no line end|\"\n"
    "print mold [1 [2 \"three\"] a/b :c d: 'e #iss /ref]\n"
    "print mold \"q^\"x\"\n"
    "print mold make object! [a: 1]\n"
    "print mold integer!\n"
    "print mold make typeset! [integer! float!]\n"
    "print mold charset \"\"\n";

const char* const types_output =
    "42\n"
    "-7.5\n"
    "h\xC3\xA9llo \xE2\x9C\x93\n"
    "x\n"
    "2 b c\n"
    "true\n"
    "none\n"
    "word\n"
    "10:20:30\n"
    "dir/file.txt\n"
    "http://ex.com/a b\n"
    "no line end|[1 [2 \"three\"] a/b :c d: 'e #iss /ref]\n"
    "{q\"x}\n"
    "make object! [\n    a: 1\n]\n"
    "integer!\n"
    "make typeset! [integer! float!]\n"
    "make bitset! #{}\n";

TEST_F(boot_process, prints_every_core_type_as_exact_utf8) {
    const process_result r = kel({write("types.kel", types_script)});
    EXPECT_EQ(r.out, types_output);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(boot_process, exit_codes_and_error_text) {
    struct row {
        const char* source;
        int exit_code;
        const char* out;
        const char* err_start;  // the beginning of stderr
    } rows[] = {
        {"Kel []\nprint 1 + 2\n", 0, "3\n", ""},
        {"Kel [] 1 + none", 1, "", "*** Script Error: + does not allow none! for its value2 argument\n"},
        {"Kel []\nprint 1\nundefined-word\nprint 2\n", 1, "1\n", "*** Script Error: undefined-word has no value\n"},
        {"Kel [] do make error! \"boom\"", 1, "", "*** User Error: "},
        {"Kel [] print [1 + ]", 1, "", "*** Script Error:"},
        {"Kel [] print \"unclosed", 1, "", "*** Syntax Error:"},
        {"print 1\n", 1, "", "*** Error: Kel header not found!\n"},
        {"kel [] print 1\n", 1, "", "*** Error: Kel header not found!\n"},
        {"Kel/System [] print 1\n", 1, "", "*** Error: contains Kel/System code which requires compilation!\n"},
        {"x: {Kel [} print 1\n", 1, "", "*** Syntax Error:"},  // the header found in a string
        {"Kel [] throw 1", 1, "", "*** Throw Error:"},
        {"", 1, "", "*** Error: Kel header not found!\n"},
        {"; leading text\nKel [Title: \"t\"] print \"ok\"", 0, "ok\n", ""},
    };
    for (const row& r : rows) {
        const process_result p = kel({write("s.kel", r.source)});
        EXPECT_EQ(p.exit_code, r.exit_code) << r.source;
        EXPECT_EQ(p.out, r.out) << r.source;
        EXPECT_EQ(p.err.rfind(r.err_start, 0), 0u) << r.source << " -> " << p.err;
        if (!*r.err_start) {
            EXPECT_EQ(p.err, "") << r.source;
        }
    }
}

// The banner (any version) and the first prompt.
bool banner_and_prompt(const std::string& out) {
    const std::string tail = " ==-- \nType HELP for starting information. \n\n>> ";
    return out.rfind("--== Kel ", 0) == 0 && out.size() > tail.size() &&
           out.compare(out.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(boot_process, no_script_starts_the_console_and_ends_with_its_input) {
    for (const auto& args : {std::vector<std::string>{}, {"--catch"}, {"--"}, {"--x", "--y"}}) {
        const process_result p = kel(args);
        EXPECT_EQ(p.exit_code, 0);
        EXPECT_TRUE(banner_and_prompt(p.out)) << p.out;
        EXPECT_EQ(p.err, "");
    }
}

TEST_F(boot_process, missing_script_is_an_access_error) {
    const process_result p = kel({dir + "/absent.kel"});
    EXPECT_EQ(p.exit_code, 1);
    EXPECT_EQ(p.err.rfind("*** Access Error: cannot open: ", 0), 0u) << p.err;
}

TEST_F(boot_process, arguments_reach_the_script) {
    const std::string script =
        write("args.kel", "Kel []\nprint mold system/options/args\nprint mold system/script/args\n");
    struct row {
        std::vector<std::string> args;
        const char* out;
    } rows[] = {
        {{script}, "[]\nnone\n"},
        {{script, "a", "b"}, "[\"a\" \"b\"]\n\"a b\"\n"},
        {{script, "a b", "say \"hi\"", "plain"},
         "[\"a b\" {say \"hi\"} \"plain\"]\n{\"a b\" \"say \"hi\"\" plain}\n"},
        {{"--catch", "--unknown", script, "--x"}, "[\"--x\"]\n\"--x\"\n>> "},  // the console stays
        {{script, "\xC3\xA9t\xC3\xA9"}, "[\"\xC3\xA9t\xC3\xA9\"]\n\"\xC3\xA9t\xC3\xA9\"\n"},
        // a blank and a quote in one argument: no command line can carry it
        // back, argv does; an empty argument stays in the text as ""
        {{script, "a\" b", "\"q\"", "tab\there", ""}, "[{a\" b} {\"q\"} \"tab^-here\" \"\"]\n{\"a\" b\" \"\"q\"\" \"tab^-here\" \"\"}\n"},
    };
    for (const row& r : rows) {
        const process_result p = kel(r.args);
        EXPECT_EQ(p.exit_code, 0) << p.err;
        EXPECT_EQ(p.out, r.out);
    }
    // The program's own path, whatever the arguments hold.
    const std::string boot = write("boot.kel", "Kel []\nprint system/options/boot = to-string system/options/boot\nprint system/options/boot\n");
    for (const auto& args : {std::vector<std::string>{boot}, std::vector<std::string>{boot, "x y", "a\" b"}}) {
        const process_result p = kel(args);
        EXPECT_EQ(p.exit_code, 0) << p.err;
        EXPECT_EQ(p.out, std::string("true\n") + KEL_BINARY + "\n");
    }
}

TEST_F(boot_process, the_lexer_tracer_prints_one_line_per_event) {
    // event (8, upper case), type (12), token (cut to 12), line (4), input
    // (molded, cut to 16); structural tokens named by their exit state
    const std::string script = write(
        "tracer.kel", "Kel []\ntranscode/trace {long-word-here (2) beyond sixteen^/x} :system/lexer/tracer\n");
    const process_result p = kel({script});
    EXPECT_EQ(p.exit_code, 0) << p.err;
    EXPECT_EQ(p.out,
              "PRESCAN  word!        1x15         1    \" (2) beyond six\n"
              "SCAN     word!        1x15         1    \" (2) beyond six\n"
              "LOAD     word!        long-word-he 1    \" (2) beyond six\n"
              "PRESCAN  paren!       16x16        1    \"(2) beyond sixt\n"
              "OPEN     paren!       16x17        1    \"(2) beyond sixt\n"
              "PRESCAN  integer!     17x18        1    \") beyond sixtee\n"
              "SCAN     integer!     17x18        1    \") beyond sixtee\n"
              "LOAD     integer!     2            1    \") beyond sixtee\n"
              "PRESCAN  paren!       18x18        1    \") beyond sixtee\n"
              "CLOSE    paren!       16x19        1    \" beyond sixteen\n"
              "PRESCAN  word!        20x26        1    \" sixteen^/x\"\n"
              "SCAN     word!        20x26        1    \" sixteen^/x\"\n"
              "LOAD     word!        beyond       1    \" sixteen^/x\"\n"
              "PRESCAN  word!        27x34        1    \"^/x\"\n"
              "SCAN     word!        27x34        1    \"^/x\"\n"
              "LOAD     word!        sixteen      1    \"^/x\"\n"
              "PRESCAN  word!        35x36        2    \"\"\n"
              "SCAN     word!        35x36        2    \"\"\n"
              "LOAD     word!        x            2    \"\"\n"
              "PRESCAN  eof          36x36        2    \"\"\n");
}

TEST_F(boot_process, arguments_that_are_not_utf8_are_taken_leniently) {
    // A file name from the system may be any bytes: the script still runs and
    // sees one character per bad byte.
    const std::string script = write("bytes.kel", "Kel []\nprint length? system/script/args\n");
    const process_result p = kel({script, "a\xFF" "b"});
    EXPECT_EQ(p.exit_code, 0) << p.err;
    EXPECT_EQ(p.out, "3\n");
}

TEST_F(boot_process, double_dash_ends_the_options) {
    const std::string script = write("--odd.kel", "Kel []\nprint \"odd\"\nprint mold system/options/args\n");
    const process_result p = kel({"--catch", "--", script, "--more"});
    EXPECT_EQ(p.exit_code, 0) << p.err;
    EXPECT_EQ(p.out, "odd\n[\"--more\"]\n>> ");
}

TEST_F(boot_process, output_to_a_pipe_and_to_a_file_is_the_same) {
    std::string source = "Kel []\n";
    std::string expected;
    for (int i = 0; i < 300; ++i) {  // more than one staging batch
        source += "print \"line " + std::to_string(i) + " \xE2\x82\xAC\"\n";
        expected += "line " + std::to_string(i) + " \xE2\x82\xAC\n";
    }
    const std::string script = write("many.kel", source);
    const process_result piped = kel({script});
    EXPECT_EQ(piped.out, expected);
    const std::string out_file = dir + "/out.txt";
    const process_result to_file =
        run_process({"/bin/sh", "-c", std::string("'") + KEL_BINARY + "' '" + script + "' > '" + out_file + "'"});
    EXPECT_EQ(to_file.exit_code, 0);
    EXPECT_EQ(slurp(out_file), expected);
}

TEST_F(boot_process, a_relative_script_path_is_opened_before_the_folder_changes) {
    // Scripts cannot observe the current folder yet (no file natives); this
    // checks that a relative path is read from where kel was started.
    write("inner.kel", "Kel [] print 1");
    const process_result p =
        run_process({"/bin/sh", "-c", "cd '" + dir + "/..' && '" + KEL_BINARY + "' '" +
                                          dir.substr(dir.rfind('/') + 1) + "/inner.kel'"});
    EXPECT_EQ(p.exit_code, 0) << p.err;
    EXPECT_EQ(p.out, "1\n");
}

TEST_F(boot_process, a_script_starts_in_its_folder_and_path_says_so) {
    // Started from the folder above: the process and system/options/path
    // both name the script's folder, and an in-place change of path moves
    // the process before any assignment to it.
    write("here.kel",
          "Kel []\n"
          "print system/options/path = get-current-dir\n"
          "print second split-path get-current-dir\n"
          "make-dir %sub/\n"
          "append system/options/path %sub/\n"
          "print second split-path get-current-dir\n");
    const std::string name = dir.substr(dir.rfind('/') + 1);
    const process_result p =
        run_process({"/bin/sh", "-c", "cd '" + dir + "/..' && '" + KEL_BINARY + "' '" + name + "/here.kel'"});
    EXPECT_EQ(p.exit_code, 0) << p.err;
    EXPECT_EQ(p.out, "true\n" + name + "/\nsub/\n");
}

TEST_F(boot_process, boot_constants_and_typesets_exist) {
    const process_result p = kel({write("c.kel",
                                        "Kel []\n"
                                        "print mold reduce [on yes off no tab cr lf newline space sp null crlf]\n"
                                        "print pi\n"
                                        "print mold reduce [find number! integer! find any-word! refinement!"
                                        " find all-word! refinement! find series! string! find any-type! unset!]\n"
                                        "print mold system/options/money-digits\n")});
    EXPECT_EQ(p.exit_code, 0) << p.err;
    EXPECT_EQ(p.out,
              "[true true false false #\"^-\" #\"^M\" #\"^/\" #\"^/\" #\" \" #\" \" #\"^@\" \"^M^/\"]\n"
              "3.141592653589793\n"
              "[true false true true true]\n"
              "2\n");
}

// Starts kel on a script, sends SIGINT after a pause, and answers the exit
// status and what it wrote on stderr.
std::pair<int, std::string> interrupted(const std::string& script) {
    int err[2];
    if (pipe(err) != 0) return {-1, ""};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        close(err[0]);
        close(err[1]);
        execl(KEL_BINARY, KEL_BINARY, script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    usleep(500 * 1000);
    kill(pid, SIGINT);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text};
}

TEST_F(boot_process, ctrl_c_ends_a_running_script_but_never_as_success) {
    const auto [status, err] = interrupted(write("loop.kel", "Kel []\nforever []\n"));
    EXPECT_EQ(status, 130);
    EXPECT_EQ(err, "(halted)\n");
}
}  // namespace
}  // namespace kel::test
