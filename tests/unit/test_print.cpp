// Console output: bytes on a pipe and on a pseudo-terminal, the staging
// threshold, typed printers and the print hooks.
#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "kernel/print.h"

namespace out = kel::std_output;

namespace {

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    for (;;) {
        struct pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

// Standard output redirected into a pipe for the life of the fixture.
struct Redirected : ::testing::Test {
    int fds[2];
    void SetUp() override {
        ASSERT_EQ(pipe(fds), 0);
        out::set_descriptor(fds[1], false);
    }
    void TearDown() override {
        out::init();
        close(fds[0]);
        close(fds[1]);
    }
    std::string output() {
        out::flush();
        return drain(fds[0]);
    }
};

}  // namespace

TEST_F(Redirected, UnitsBecomeUtf8WithLf) {
    const uint8_t latin1[] = {'a', 0xE9, 'b'};
    out::write(latin1, 3, 1, true);
    EXPECT_EQ(output(), "a\xC3\xA9" "b\n");  // 1-byte units are Latin-1 code points
    out::print_c_string("caf\xC3\xA9");  // the runtime's own texts are UTF-8 already
    EXPECT_EQ(output(), "caf\xC3\xA9");

    const uint16_t wide[] = {'x', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xDC00};
    out::write(wide, sizeof wide, 2, true);
    // A surrogate pair is one character; a lone trail surrogate stays as it is.
    EXPECT_EQ(output(), "x\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\xB0\x80\n");

    const uint32_t quad[] = {0x1F600, 'z'};
    out::write(quad, sizeof quad, 4, false);
    EXPECT_EQ(output(), "\xF0\x9F\x98\x80z");
}

TEST_F(Redirected, EscapesPassThroughWhenRedirected) {
    out::print_c_string("\x1b[31mred\x1b[?");
    EXPECT_EQ(output(), "\x1b[31mred\x1b[?");
}

TEST_F(Redirected, TypedPrinters) {
    out::typed_item items[2];
    items[0].type = 1;
    items[0].bits = 1;
    items[1].type = 6;
    items[1].s = "x";
    out::print_line(2, items);
    EXPECT_EQ(output(), "truex\n");

    out::typed_item mixed[6];
    mixed[0].type = 2; mixed[0].bits = 0; mixed[0].i = -42;
    mixed[1].type = 3; mixed[1].bits = 'Q';
    mixed[2].type = 4; mixed[2].bits = 0; mixed[2].f = 0.1f;
    mixed[3].type = 5; mixed[3].d = 0.1;
    mixed[4].type = 9; mixed[4].bits = 0xBEEF;
    mixed[5].type = 1; mixed[5].bits = 0;
    out::print_typed(6, mixed);
    EXPECT_EQ(output(), "-42Q0.10.10000BEEFfalse");
}

TEST_F(Redirected, NumberPrinters) {
    out::print_integer(-2147483647 - 1);
    out::print_byte_hex(0x0A);
    out::print_hex(0xDEADBEEF);
    EXPECT_EQ(output(), "-21474836480ADEADBEEF");
    struct {
        double v;
        const char* want;
    } floats[] = {{INFINITY, "1.#INF"}, {-INFINITY, "-1.#INF"}, {NAN, "1.#NaN"}, {1e300, "1e+300"},
                  {-0.0, "-0"},          {1.0 / 3, "0.3333333333333333"}};
    for (auto f : floats) {
        out::print_float64(f.v);
        EXPECT_EQ(output(), f.want);
    }
    out::print_float32(INFINITY);
    EXPECT_EQ(output(), "1.#INF");
    out::print_float32(1.0f / 3);
    EXPECT_EQ(output(), "0.3333333");
}

TEST_F(Redirected, BoundedAndCharLiterals) {
    out::print_bounded("abcdef", 3);
    out::print_bounded("ab", 10);
    EXPECT_EQ(output(), "abcab");
    struct {
        uint8_t byte;
        const char* want;
    } cases[] = {{0, "#\"^@\""},  {9, "#\"^-\""},    {10, "#\"^/\""},    {27, "#\"^[\""},    {1, "#\"^A\""},
                 {31, "#\"^_\""}, {32, "#\" \""},    {'a', "#\"a\""},    {127, "#\"\x7F\""}, {128, "#\"^(80)\""},
                 {255, "#\"^(FF)\""}};
    for (auto c : cases) {
        out::print_char_literal(c.byte);
        EXPECT_EQ(output(), c.want) << int(c.byte);
    }
}

TEST(Output, StagesInBatchesOfAboutOneKilobyte) {
    // A datagram socket keeps each write(2) as one message, so the batches show.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    out::set_descriptor(sv[0], false);
    std::string text(2000, 'a');
    out::write(text.data(), text.size(), 1, false);
    out::init();
    std::vector<size_t> sizes;
    char buf[4096];
    for (;;) {
        struct pollfd p {sv[1], POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) break;
        ssize_t n = recv(sv[1], buf, sizeof buf, 0);
        if (n <= 0) break;
        sizes.push_back(static_cast<size_t>(n));
    }
    close(sv[0]);
    close(sv[1]);
    EXPECT_EQ(sizes, (std::vector<size_t>{1021, 979}));
}

TEST(Output, TerminalAnswersTheScreenQueryAndPassesOtherEscapes) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    struct termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);  // no LF to CR LF translation: the bytes as written
    tcsetattr(slave, TCSANOW, &tio);
    struct winsize ws {};
    ws.ws_col = 132;
    ws.ws_row = 43;
    ioctl(slave, TIOCSWINSZ, &ws);

    out::set_descriptor(slave, true);
    out::print_c_string("\x1b[1;31mhi\x1b[?25l");
    EXPECT_EQ(drain(master), "\x1b[1;31mhi\x1b[?25l");
    out::print_c_string("a\x1b[?b");
    std::string got = drain(master);
    out::init();
    close(slave);
    close(master);
    EXPECT_EQ(got,
              "aScreen buffer info:\n   size______ 132x43\n   cursor____ 0x0\n   attribute_ 00000007 00000007\n"
              "   left______ 0 top: 0\n   right_____ 131 bottom: 42\n   max_______ 132x43\nb");
}

namespace {
std::string hooked;
int value_calls = 0;
void string_hook(const char* s, size_t n, int) { hooked.append(s, n); }
void other_string_hook(const char*, size_t, int) {}
void value_hook(const kel::kel_value*, bool) { ++value_calls; }
}  // namespace

TEST_F(Redirected, HooksReceiveUtf8AndCanBeRemoved) {
    kel::dyn_print::init();
    kel::dyn_print::add(value_hook, string_hook);
    for (int i = 0; i < 7; ++i) kel::dyn_print::add(nullptr, other_string_hook);  // grows past 5
    EXPECT_EQ(kel::dyn_print::string_printer_count(), 8u);
    hooked.clear();
    const uint16_t wide[] = {0xE9, 0xD83D, 0xDE00};
    out::write(wide, sizeof wide, 2, true);
    EXPECT_EQ(hooked, "\xC3\xA9\xF0\x9F\x98\x80\n");
    hooked.clear();
    const uint8_t narrow[] = {0xE9, 'x'};
    out::write(narrow, sizeof narrow, 1, false);
    EXPECT_EQ(hooked, "\xC3\xA9x");
    kel::kel_value v{};
    kel::dyn_print::run(&v, true);
    EXPECT_EQ(value_calls, 1);
    kel::dyn_print::remove(value_hook, string_hook);
    hooked.clear();
    out::print_c_string("gone");
    EXPECT_EQ(hooked, "");
    EXPECT_EQ(kel::dyn_print::string_printer_count(), 7u);
    kel::dyn_print::init();
    output();
}

TEST(Output, BuildDateShape) {
    std::string d = out::build_date();
    // d-Mmm-yyyy/hh:mm:ss
    EXPECT_TRUE(d.size() >= 19 && d.size() <= 20) << d;
    EXPECT_NE(d.find('/'), std::string::npos);
    EXPECT_EQ(d[d.size() - 3], ':');
}
