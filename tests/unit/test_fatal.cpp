// The fatal path: each provoked fault gives its numbered message and exit code.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "kernel/fatal.h"
#include "tests/unit/test_support.h"

using kel::test::run_process;

TEST(Fatal, ErrorTexts) {
    struct {
        int number;
        const char* text;
    } cases[] = {{1, "access violation"},   {6, "float denormal operan"}, {19, "stack error or overflow"},
                 {34, "Bus error"},          {94, "out of memory"},        {95, "no CATCH for THROW"},
                 {99, "unknown error"},      {101, "no value matched in SWITCH"},
                 {0, "unknown error code!"}, {50, "unknown error code!"},  {200, "unknown error code!"}};
    for (auto c : cases) EXPECT_STREQ(kel::fatal::error_text(c.number), c.text) << c.number;
}

TEST(Fatal, SignalCodeMapping) {
    struct {
        int signo, code;
        bool guard;
        int want;
    } cases[] = {
        {SIGSEGV, SEGV_MAPERR, false, 1},  {SIGSEGV, SEGV_ACCERR, false, 1}, {SIGSEGV, SEGV_MAPERR, true, 19},
        {SIGSEGV, 128, false, 32},         {SIGBUS, BUS_ADRALN, false, 2},   {SIGBUS, BUS_ADRERR, false, 27},
        {SIGBUS, BUS_OBJERR, false, 28},   {SIGBUS, 99, false, 34},          {SIGFPE, FPE_INTDIV, false, 13},
        {SIGFPE, FPE_INTOVF, false, 14},   {SIGFPE, FPE_FLTDIV, false, 7},   {SIGFPE, FPE_FLTINV, false, 9},
        {SIGFPE, 99, false, 33},           {SIGILL, ILL_ILLOPC, false, 17},  {SIGILL, ILL_ILLOPN, false, 23},
        {SIGILL, ILL_PRVOPC, false, 15},   {SIGILL, ILL_COPROC, false, 26},  {SIGILL, ILL_PRVREG, false, 31},
    };
    for (auto c : cases)
        EXPECT_EQ(kel::fatal::number_for_signal(c.signo, c.code, c.guard), c.want) << c.signo << "/" << c.code;
}

TEST(Fatal, ProvokedFaultsReportAndExit) {
    struct {
        std::string fault;
        int number;
        const char* text;
    } cases[] = {
        {"segv", 1, "access violation"},
        {"stack", 19, "stack error or overflow"},
        {"intdiv", 13, "integer divide by zero"},
        {"ill", 23, "illegal operand"},  // ud2 is reported by Linux as ILL_ILLOPN
        {"terminate", 99, "unknown error"},
        {"oom", 94, "out of memory"},
        {"signal:" + std::to_string(SIGBUS) + ":" + std::to_string(BUS_ADRALN), 2, "invalid alignment"},
        {"signal:" + std::to_string(SIGFPE) + ":" + std::to_string(FPE_INTOVF), 14, "integer overflow"},
        {"signal:" + std::to_string(SIGILL) + ":" + std::to_string(ILL_ILLOPC), 17, "illegal instruction"},
        {"signal:" + std::to_string(SIGBUS) + ":" + std::to_string(BUS_MCEERR_AR), 29,
         "hardware memory error consumed AR"},
    };
    for (const auto& c : cases) {
        auto r = run_process({KEL_BINARY}, {"KEL_FAULT=" + c.fault});
        EXPECT_EQ(r.exit_code, c.number) << c.fault << "\n" << r.err;
        std::regex shape("\\*\\*\\* Runtime Error " + std::to_string(c.number) + ": " + c.text +
                         "\n\\*\\*\\* at: [0-9A-F]{8}h\n");
#ifdef __SANITIZE_ADDRESS__
        // The sanitizer runtime adds its own warnings around the report.
        EXPECT_TRUE(std::regex_search(r.err, shape)) << c.fault << ": [" << r.err << "]";
#else
        EXPECT_TRUE(std::regex_match(r.err, shape)) << c.fault << ": [" << r.err << "]";
#endif
        EXPECT_EQ(r.out, "");
    }
}

TEST(Fatal, CleanStartExitsZero) {
    auto r = run_process({KEL_BINARY});  // the console, at once at the end of its input
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("--== Kel ", 0), 0u) << r.out;
}

TEST(Fatal, FormatReportIsFixedWidthHex) {
    char buf[200];
    int n = kel::fatal::format_report(buf, 7, nullptr);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "*** Runtime Error 7: float divide by zero\n*** at: 00000000h\n");
}
