// The platform layer: zone packing, the date under a real zone, sleep
// rounding, environment and current directory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "tests/unit/test_support.h"

extern char** environ;

namespace platform = kel::platform;

TEST(Platform, ZonePacking) {
    struct {
        int minutes;
        uint32_t want;
        const char* where;
    } cases[] = {
        {-210, 0x40 | (3 << 2) | 2, "St. John's in winter: west, 3 h, 2 quarters"},
        {345, (5 << 2) | 3, "Kathmandu: 5 h, 3 quarters"},
        {120, 2 << 2, "+2:00"},
        {-60, 0x40 | (1 << 2), "-1:00"},
        {-30, 0x40 | 2, "-0:30 keeps its sign"},
        {0, 0, "UTC"},
        {-45, 0x40 | 3, "-0:45"},
        {-570, 0x40 | (9 << 2) | 2, "Marquesas -9:30"},
        {840, 14 << 2, "Kiribati +14:00"},
        {-720, 0x40 | (12 << 2), "-12:00"},
    };
    for (auto c : cases) EXPECT_EQ(platform::pack_zone(c.minutes), c.want) << c.where;
}

TEST(Platform, DateInKathmanduMatchesPython) {
    std::string old_tz = std::getenv("TZ") ? std::getenv("TZ") : "";
    bool had_tz = std::getenv("TZ") != nullptr;
    setenv("TZ", "Asia/Kathmandu", 1);
    tzset();
    uint32_t packed = platform::get_date(false);
    time_t now = time(nullptr);
    if (had_tz) setenv("TZ", old_tz.c_str(), 1); else unsetenv("TZ");
    tzset();

    std::string expected = kel::test::python(
        "from datetime import datetime\nfrom zoneinfo import ZoneInfo\n"
        "d = datetime.fromtimestamp(" + std::to_string(now) + ", ZoneInfo('Asia/Kathmandu'))\n"
        "m = int(d.utcoffset().total_seconds() // 60)\n"
        "zone = (0x40 if m < 0 else 0) | ((abs(m) // 60) << 2) | ((abs(m) % 60) // 15)\n"
        "print((d.year << 17) | (d.month << 12) | (d.day << 7) | zone)");
    EXPECT_EQ(std::to_string(packed), expected);
    EXPECT_EQ(packed & 0x7F, (5u << 2) | 3u);
}

TEST(Platform, UtcDateHasZoneZero) {
    uint32_t d = platform::get_date(true);
    EXPECT_EQ(d & 0x7F, 0u);
    int year = static_cast<int>(d >> 17), month = (d >> 12) & 0x1F, day = (d >> 7) & 0x1F;
    EXPECT_GE(year, 2024);
    EXPECT_GE(month, 1);
    EXPECT_LE(month, 12);
    EXPECT_GE(day, 1);
    EXPECT_LE(day, 31);
}

TEST(Platform, TimeOfDay) {
    double t = platform::get_time(false);
    EXPECT_GE(t, 0.0);
    EXPECT_LT(t, 86400.0);
    EXPECT_EQ(t, static_cast<double>(static_cast<long>(t)));
    double precise = platform::get_time(true);
    EXPECT_GE(precise, 0.0);
    EXPECT_LT(precise, 86401.0);
}

TEST(Platform, SleepRounding) {
    struct {
        double seconds;
        long ms;
    } cases[] = {{0.0004, 1}, {0.0025, 2}, {0.0, 1}, {-5, 1}, {1.5, 1500}, {NAN, 1}, {1e12, 2147483647}};
    for (auto c : cases) EXPECT_EQ(platform::sleep_milliseconds(c.seconds), c.ms) << c.seconds;
    platform::sleep(0.001);
}

TEST(Platform, SlicedSleepEndsOnTheStopFlag) {
    std::atomic<bool> stop{true};
    EXPECT_TRUE(platform::sleep_unless(1e300, &stop));  // set before: no sleep at all
    stop = false;
    EXPECT_FALSE(platform::sleep_unless(0.001, &stop));
    EXPECT_FALSE(platform::sleep_unless(0.001, nullptr));
    // Set while sleeping: a wait of a day ends at the next slice.
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        stop = true;
    });
    EXPECT_TRUE(platform::sleep_unless(86400, &stop));
    setter.join();
}

TEST(Platform, Environment) {
    EXPECT_TRUE(platform::set_env("KEL_TEST_VAR", "caf\xc3\xa9 = 1"));
    EXPECT_EQ(platform::get_env("KEL_TEST_VAR").value_or("?"), "caf\xc3\xa9 = 1");
    bool listed = false;
    for (auto& [k, v] : platform::list_env())
        if (k == "KEL_TEST_VAR") listed = v == "caf\xc3\xa9 = 1";
    EXPECT_TRUE(listed);
    EXPECT_TRUE(platform::remove_env("KEL_TEST_VAR"));
    EXPECT_FALSE(platform::get_env("KEL_TEST_VAR").has_value());
    EXPECT_FALSE(platform::set_env("", "x"));
    EXPECT_FALSE(platform::set_env("A=B", "x"));
}

TEST(Platform, EnvironmentEntriesSplitAfterTheFirstCharacter) {
    // An entry's name may start with "=" (the split is at the first "="
    // after the first character); an entry with no such "=" is left out.
    char e1[] = "=C:=C:\\dir", e2[] = "EMPTY=", e3[] = "A=b=c", e4[] = "NOEQUALS", e5[] = "=";
    char* fake[] = {e1, e2, e3, e4, e5, nullptr};
    char** const saved = environ;
    environ = fake;
    const auto got = platform::list_env();
    environ = saved;
    const std::vector<std::pair<std::string, std::string>> want = {
        {"=C:", "C:\\dir"}, {"EMPTY", ""}, {"A", "b=c"}};
    EXPECT_EQ(got, want);
}

TEST(Platform, CommandLineQuotesEmptyArgumentsAndThoseWithBlanksTabsAndQuotes) {
    struct row {
        std::vector<const char*> args;
        const char* line;
    };
    const row rows[] = {
        {{}, ""},
        {{"a"}, "a"},
        {{"a", "b c"}, "a \"b c\""},
        {{"t\tx", "q\"x", ""}, "\"t\tx\" \"q\"x\" \"\""},
        {{"", "a"}, "\"\" a"},
        {{"caf\xc3\xa9", "--do", "print 1"}, "caf\xc3\xa9 --do \"print 1\""},
    };
    for (const row& r : rows) {
        std::vector<char*> argv;
        for (const char* a : r.args) argv.push_back(const_cast<char*>(a));
        EXPECT_EQ(platform::command_line(static_cast<int>(argv.size()), argv.data()), r.line);
    }
}

TEST(Platform, CurrentDirectory) {
    std::string here = platform::get_current_dir();
    ASSERT_FALSE(here.empty());
    EXPECT_TRUE(platform::set_current_dir("/tmp"));
    EXPECT_EQ(platform::get_current_dir(), "/tmp");
    EXPECT_FALSE(platform::set_current_dir("/no/such/folder/here"));
    EXPECT_TRUE(platform::set_current_dir(here));
}

TEST(Platform, Pages) {
    void* p = platform::allocate_pages(1 << 16);
    ASSERT_NE(p, nullptr);
    static_cast<char*>(p)[65535] = 1;
    EXPECT_TRUE(platform::free_pages(p, 1 << 16));
    void* r = platform::reserve_pages(1 << 24);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(platform::commit_pages(r, 1 << 16));
    static_cast<char*>(r)[100] = 7;
    EXPECT_TRUE(platform::decommit_pages(r, 1 << 16));
    EXPECT_TRUE(platform::free_pages(r, 1 << 24));
}
