// date!: the calendar arithmetic against Python's datetime on generated
// dates, years at or below 0 against whole 400-year cycles, Unix seconds
// against calendar.timegm, the zone shift of `now` as a function of the
// instant, `now` under real zones, and the literal forms molded back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/date.h"
#include "tests/unit/eval_support.h"
#include "tests/unit/lexer_support.h"
#include "tests/unit/scalar_harness.h"
#include "tests/unit/test_support.h"

using namespace kel;

namespace {

// A fixed sequence of calendar dates, valid by construction.
struct date_source {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
    void date(int64_t low_year, int64_t high_year, int64_t* y, int32_t* m, int32_t* d) {
        static const int32_t lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        *y = low_year + next() % static_cast<uint32_t>(high_year - low_year + 1);
        *m = static_cast<int32_t>(next() % 12 + 1);
        int32_t length = lengths[*m - 1] + (*m == 2 && date::leap_year_q(*y) ? 1 : 0);
        *d = static_cast<int32_t>(next() % static_cast<uint32_t>(length) + 1);
    }
};

std::vector<std::string> split_words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

}  // namespace

TEST(DateCalendar, AgreesWithPythonOnYearsOneToNineThousand) {
    date_source src{20240229};
    std::ostringstream input;
    struct row {
        int64_t y;
        int32_t m, d, k;
    };
    std::vector<row> rows;
    for (int i = 0; i < 3000; ++i) {
        row r;
        src.date(1, 9999, &r.y, &r.m, &r.d);
        r.k = static_cast<int32_t>(src.next() % 200001) - 100000;
        rows.push_back(r);
        input << r.y << ' ' << r.m << ' ' << r.d << ' ' << r.k << '\n';
    }
    // Edges the generator rarely meets: year ends, leap days, the first day.
    const row edges[] = {{1, 1, 1, 0},   {2000, 2, 29, 1}, {1900, 2, 28, 1}, {2020, 12, 31, 1},
                         {2021, 1, 1, -1}, {2021, 1, 4, 0}, {2016, 1, 1, 0},  {2017, 1, 1, 0},
                         {2023, 1, 1, 0},  {9999, 12, 31, 0}, {1970, 1, 1, 0}, {2008, 12, 29, 0}};
    for (const row& r : edges) {
        rows.push_back(r);
        input << r.y << ' ' << r.m << ' ' << r.d << ' ' << r.k << '\n';
    }
    const std::vector<std::string> lines = test::python_lines(
        "import datetime\n"
        "for line in sys.stdin:\n"
        "    y, m, d, k = map(int, line.split())\n"
        "    x = datetime.date(y, m, d)\n"
        "    u = int(x.strftime('%U')) + (0 if datetime.date(y, 1, 1).isoweekday() == 7 else 1)\n"
        "    try:\n"
        "        z = x + datetime.timedelta(days=k)\n"
        "        moved = '%d-%d-%d' % (z.year, z.month, z.day)\n"
        "    except OverflowError:\n"
        "        moved = '-'\n"
        "    print(x.toordinal() + 305, x.isoweekday(), x.isocalendar()[1], x.timetuple().tm_yday, u, moved)\n",
        input.str());
    ASSERT_EQ(lines.size(), rows.size()) << (lines.empty() ? "" : lines[0]);
    for (size_t i = 0; i < rows.size(); ++i) {
        const row& r = rows[i];
        const std::vector<std::string> want = split_words(lines[i]);
        ASSERT_EQ(want.size(), 6u) << lines[i];
        const uint32_t p = date::pack(r.y, r.m, r.d, 0, false);
        const int64_t n = date::to_days(r.y, r.m, r.d);
        std::ostringstream got;
        const date::ymd z = date::from_days(n + r.k);
        got << n << ' ' << date::weekday(n) << ' ' << date::iso_week(p) << ' ' << date::day_of_year(p) << ' '
            << date::week(p) << ' ';
        if (want[5] == "-") got << '-';
        else got << z.year << '-' << z.month << '-' << z.day;
        EXPECT_EQ(got.str(), lines[i]) << r.y << '-' << r.m << '-' << r.d << " + " << r.k;
    }
}

TEST(DateCalendar, YearsAtOrBelowZeroFollowWholeFourHundredYearCycles) {
    // The Gregorian calendar repeats every 400 years (146097 days), so a date
    // of year y has the day number of year y + 400c less 146097c: Python
    // answers for the shifted year, which it knows.
    date_source src{1582};
    std::ostringstream input;
    struct row {
        int64_t y;
        int32_t m, d;
    };
    std::vector<row> rows = {{0, 2, 29}, {0, 3, 1}, {-8, 2, 29}, {-8, 3, 1}, {-1, 12, 31}, {-16384, 1, 1},
                             {-100, 2, 28}, {-100, 3, 1}, {-400, 2, 29}, {-4, 12, 31}};
    for (int i = 0; i < 3000; ++i) {
        row r;
        src.date(-16384, 0, &r.y, &r.m, &r.d);
        rows.push_back(r);
    }
    for (const row& r : rows) input << r.y << ' ' << r.m << ' ' << r.d << '\n';
    const std::vector<std::string> lines = test::python_lines(
        "import datetime\n"
        "for line in sys.stdin:\n"
        "    y, m, d = map(int, line.split())\n"
        "    c = (1 - y) // 400 + 1\n"
        "    print(datetime.date(y + 400 * c, m, d).toordinal() + 305 - 146097 * c)\n",
        input.str());
    ASSERT_EQ(lines.size(), rows.size()) << (lines.empty() ? "" : lines[0]);
    for (size_t i = 0; i < rows.size(); ++i) {
        const row& r = rows[i];
        const int64_t n = date::to_days(r.y, r.m, r.d);
        EXPECT_EQ(std::to_string(n), lines[i]) << r.y << '-' << r.m << '-' << r.d;
        const date::ymd back = date::from_days(n);
        EXPECT_TRUE(back.year == r.y && back.month == r.m && back.day == r.d)
            << r.y << '-' << r.m << '-' << r.d << " came back as " << back.year << '-' << back.month << '-' << back.day;
        // the weekday never goes negative and steps by one
        EXPECT_EQ(date::weekday(n + 1), date::weekday(n) % 7 + 1);
    }
}

TEST(DateCalendar, ZoneMovesAgreeWithPython) {
    // A time in one zone moved to another keeping the instant (`timezone`).
    date_source src{777};
    std::ostringstream input;
    struct row {
        int64_t y;
        int32_t m, d, seconds, from, to;  // zones in quarter hours
    };
    std::vector<row> rows;
    for (int i = 0; i < 800; ++i) {
        row r;
        src.date(2, 9998, &r.y, &r.m, &r.d);
        r.seconds = static_cast<int32_t>(src.next() % 86400);
        r.from = static_cast<int32_t>(src.next() % 127) - 63;
        r.to = static_cast<int32_t>(src.next() % 127) - 63;
        rows.push_back(r);
        input << r.y << ' ' << r.m << ' ' << r.d << ' ' << r.seconds << ' ' << r.from << ' ' << r.to << '\n';
    }
    const std::vector<std::string> lines = test::python_lines(
        "import datetime as dt\n"
        "for line in sys.stdin:\n"
        "    y, m, d, s, a, b = map(int, line.split())\n"
        "    x = dt.datetime(y, m, d, s // 3600, s // 60 % 60, s % 60, tzinfo=dt.timezone(dt.timedelta(minutes=15 * a)))\n"
        "    z = x.astimezone(dt.timezone(dt.timedelta(minutes=15 * b)))\n"
        "    print(z.year, z.month, z.day, z.hour * 3600 + z.minute * 60 + z.second)\n",
        input.str());
    ASSERT_EQ(lines.size(), rows.size()) << (lines.empty() ? "" : lines[0]);
    for (size_t i = 0; i < rows.size(); ++i) {
        const row& r = rows[i];
        auto zone_time = [](int32_t quarters) {
            kel_value t;
            set_float(&t, quarters * 900.0, types::time);
            return t;
        };
        kel_value v;
        date::init_cell(&v, static_cast<int32_t>(r.y), r.m, r.d, r.seconds, 0, 0, true);
        const kel_value from = zone_time(r.from), to = zone_time(r.to);
        date::set_zone(&v, &from, false);  // the local time stays: the given time is in zone `from`
        date::set_zone(&v, &to, true);
        kel_value local;
        date::get_field(&v, date::f_time, &local);
        const uint32_t p = date::packed(&v);
        std::ostringstream got;
        got << date::year_of(p) << ' ' << date::month_of(p) << ' ' << date::day_of(p) << ' '
            << static_cast<int64_t>(get_float(&local));
        EXPECT_EQ(got.str(), lines[i]) << r.y << '-' << r.m << '-' << r.d << ' ' << r.seconds << ' ' << r.from
                                       << " -> " << r.to;
    }
}

TEST(DateCalendar, UnixSecondsAgreeWithTimegm) {
    test::boot();
    struct row {
        int32_t y, m, d, h, mi, s;
    };
    const row rows[] = {{2038, 1, 19, 3, 14, 7},  {2038, 1, 19, 3, 14, 8}, {1901, 12, 13, 20, 45, 51},
                        {1901, 12, 13, 20, 45, 52}, {1970, 1, 1, 0, 0, 0}, {1969, 12, 31, 23, 59, 59},
                        {2040, 1, 1, 0, 0, 0},     {1, 1, 1, 0, 0, 0},     {9999, 12, 31, 23, 59, 59}};
    std::ostringstream input;
    for (const row& r : rows) input << r.y << ' ' << r.m << ' ' << r.d << ' ' << r.h << ' ' << r.mi << ' ' << r.s << '\n';
    const std::vector<std::string> lines = test::python_lines(
        "import calendar\n"
        "for line in sys.stdin:\n"
        "    print(calendar.timegm(tuple(map(int, line.split())) + (0, 0, 0)))\n",
        input.str());
    ASSERT_EQ(lines.size(), sizeof rows / sizeof rows[0]);
    for (size_t i = 0; i < lines.size(); ++i) {
        const row& r = rows[i];
        kel_value v;
        date::init_cell_hms(&v, r.y, r.m, r.d, r.h, r.mi, r.s, 0);
        EXPECT_EQ(std::to_string(date::unix_seconds(&v)), lines[i]);
        const int64_t want = std::stoll(lines[i]);
        const bool fits = want >= INT32_MIN && want <= INT32_MAX;
        EXPECT_EQ(test::capture([&] { (void)date::unix_seconds_int32(&v); }), fits ? "" : "!type-limit") << lines[i];
    }
}

TEST(DateNow, TheZoneShiftIsAFunctionOfTheInstantAndTheZone) {
    test::boot();
    // 2 January 2020, 00:10:30 UTC, seen from three zones (quarter hours).
    const int64_t instant = 1577923830;
    const int32_t zones[] = {-14, 23, 0, -1, 63, -63};  // -3:30, +5:45, 0, -0:15, +15:45, -15:45
    std::ostringstream input;
    for (int32_t z : zones) input << z << '\n';
    const std::vector<std::string> lines = test::python_lines(
        "import datetime as dt\n"
        "for line in sys.stdin:\n"
        "    z = dt.datetime.fromtimestamp(" + std::to_string(instant) + ", dt.timezone(dt.timedelta(minutes=15 * int(line))))\n"
        "    print(z.year, z.month, z.day, z.hour * 3600 + z.minute * 60 + z.second)\n",
        input.str());
    ASSERT_EQ(lines.size(), sizeof zones / sizeof zones[0]);
    for (size_t i = 0; i < lines.size(); ++i) {
        const int32_t q = zones[i];
        const uint32_t zone = date::zone_bits(q / 4, (q % 4) * 15, q < 0);
        kel_value v;
        date::from_instant(&v, instant, 0.0, zone);
        kel_value local;
        date::get_field(&v, date::f_time, &local);
        const uint32_t p = date::packed(&v);
        std::ostringstream got;
        got << date::year_of(p) << ' ' << date::month_of(p) << ' ' << date::day_of(p) << ' '
            << static_cast<int64_t>(get_float(&local));
        EXPECT_EQ(got.str(), lines[i]) << "zone quarters " << q;
        EXPECT_EQ(date::unix_seconds(&v), instant) << "the instant is kept";
        EXPECT_EQ(date::zone_of(p), zone);
    }
}

namespace {

struct DateNowUnderZone : test::eval_test {};

// The local wall clock in seconds since 1970 as if it were UTC, and the
// zone offset in seconds, from Python for the zone named.
std::vector<std::string> python_now(const char* zone) {
    return split_words(test::python(
        "from datetime import datetime, timezone\nfrom zoneinfo import ZoneInfo\n"
        "d = datetime.now(ZoneInfo('" + std::string(zone) + "'))\n"
        "print(int(d.replace(tzinfo=timezone.utc).timestamp()), int(d.utcoffset().total_seconds()))"));
}

}  // namespace

TEST_F(DateNowUnderZone, StJohnsAndKathmanduAgreeWithPython) {
    const char* saved = std::getenv("TZ");
    const std::string old = saved ? saved : "";
    for (const char* zone : {"America/St_Johns", "Asia/Kathmandu", "UTC"}) {
        setenv("TZ", zone, 1);
        tzset();
        const std::string fields =
            test::run("d: now reduce [d/year d/month d/day d/hour d/minute to integer! d/second d/zone/hour "
                      "d/zone/minute to integer! d]");
        const std::vector<std::string> want = python_now(zone);
        ASSERT_EQ(want.size(), 2u) << zone;
        std::vector<std::string> got = split_words(fields.substr(1, fields.size() - 2));
        ASSERT_EQ(got.size(), 9u) << zone << ": " << fields;
        std::vector<int64_t> f;
        for (const std::string& w : got) f.push_back(std::stoll(w));
        const int64_t wall = (date::to_days(f[0], static_cast<int32_t>(f[1]), static_cast<int32_t>(f[2])) - 719468) *
                                 86400 + f[3] * 3600 + f[4] * 60 + f[5];
        EXPECT_LE(std::llabs(wall - std::stoll(want[0])), 5) << zone << ": " << fields;
        const int64_t offset = std::stoll(want[1]);
        const int64_t shown = f[6] * 3600 + (f[6] < 0 || (offset < 0 && f[6] == 0) ? -1 : 1) * f[7] * 60;
        EXPECT_EQ(shown, offset) << zone << ": " << fields;
        EXPECT_LE(std::llabs(f[8] - (wall - offset)), 5) << zone << ": to integer! gives the instant";
    }
    if (saved) setenv("TZ", old.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST_F(DateNowUnderZone, Refinements) {
    struct row {
        const char* code;
        const char* want;
    };
    const row rows[] = {
        {"type? now", "date!"},
        {"type? now/time", "time!"},
        {"type? now/zone", "time!"},
        {"type? now/year", "integer!"},
        {"type? now/yearday", "integer!"},
        {"d: now/date reduce [d/time d/zone]", "[none none]"},
        {"d: now/precise d/second = to integer! d/second", "false"},  // almost never a whole second
        {"now/utc/zone", "0:00:00"},
        {"type? now/time/precise", "time!"},
        {"now/year/month", "!script/bad-refines"},
        {"now/time/zone", "!script/bad-refines"},
        {"now/precise/date", "!script/bad-refines"},
        {"now/weekday/utc/yearday", "!script/bad-refines"},
        {"(to integer! now/utc) - to integer! now", "0"},
    };
    for (const row& r : rows) EXPECT_EQ(test::run(r.code), r.want) << r.code;
}

TEST(DateLiterals, EveryFormGivesItsDate) {
    runtime_env::boot();  // the month names come from the system object
    struct row {
        const char* source;
        const char* molded;
    };
    const row rows[] = {
        {"1-Jan-2000", "1-Jan-2000"},
        {"2000-01-01", "1-Jan-2000"},
        {"2000-W01-1", "3-Jan-2000"},
        {"2000-W01", "3-Jan-2000"},
        {"2020-W53-5", "1-Jan-2021"},
        {"2000-032", "1-Feb-2000"},
        {"2000-366", "31-Dec-2000"},
        {"2000-032T10:00", "1-Feb-2000/10:00:00"},
        {"2000-W53-7T10:00", "7-Jan-2001/10:00:00"},
        {"20000101T1230Z", "1-Jan-2000/12:30:00"},
        {"20000101T123045.5-0500", "1-Jan-2000/12:30:45.5-05:00"},
        {"20000101T1230+0545", "1-Jan-2000/12:30:00+05:45"},
        {"29-Feb-2000", "29-Feb-2000"},
        {"1/1/99", "1-Jan-1999"},
        {"1/1/49", "1-Jan-2049"},
        {"1-Jan-0049", "1-Jan-0049"},
        {"1-January-2000", "1-Jan-2000"},
        {"1-Janu-2000", "1-Jan-2000"},
        {"1-dec-2000", "1-Dec-2000"},
        {"2000-1-1/10:00", "1-Jan-2000/10:00:00"},
        {"2000-1-1T10:00:30.5+05:30", "1-Jan-2000/10:00:30.5+05:30"},
        {"1-Jan-2000/10:00Z", "1-Jan-2000/10:00:00"},
        {"1-Jan-2000/1:00+2", "1-Jan-2000/1:00:00+02:00"},
        {"1-Jan-2000/1:00-00:30", "1-Jan-2000/1:00:00-00:30"},
        {"1-Jan-2000/23:59:59.999", "1-Jan-2000/23:59:59.999"},
        {"5/Jan/-50", "5/Jan/-50"},
        {"5/1/-9999", "5/Jan/-9999"},
        {"31-12-9999/23:00-15:45", "31-Dec-9999/23:00:00-15:45"},
    };
    for (const row& r : rows) {
        const std::string shown = test::lexer_support::shown(r.source);
        EXPECT_EQ(shown, r.molded) << r.source;
        // and the text molded loads back as an equal date
        kel_value first = test::lexer_support::load(r.source);
        const kel_value original = *block::ks_head(&first);
        kel_value again = test::lexer_support::load(shown);
        ASSERT_EQ(block::ks_length_q(&again), 1) << shown;
        const kel_value back = *block::ks_head(&again);
        EXPECT_EQ(registry::compare_handler(types::date)(&original, &back, cmp::equal), 0) << shown;
        EXPECT_EQ(back.w1, original.w1) << shown;
    }
}
