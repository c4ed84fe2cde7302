// char!: arithmetic that stays within the code points, conversions (UTF-8
// bytes never read past their end), compare, form with widening, mold
// escapes, and the handlers char! takes from integer!.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/scalar_harness.h"

using namespace kel;
using test::call_action;
using test::char_v;
using test::flt;
using test::int_v;
using test::show;

TEST(ScalarChar, Arithmetic) {
    struct row { int action; kel_value a, b; const char* expected; };
    const row rows[] = {
        {act::add, char_v('A'), int_v(1), "char! #\"B\""},
        {act::add, char_v('A'), char_v(1), "char! #\"B\""},
        {act::subtract, char_v('B'), char_v('A'), "char! #\"^A\""},
        {act::subtract, char_v('A'), char_v('B'), "!overflow"},
        {act::multiply, char_v('A'), int_v(0x10000), "!overflow"},
        {act::multiply, char_v(0x10000), int_v(0x10000), "!overflow"},  // 32-bit overflow, not a wrap
        {act::divide, char_v('A'), int_v(2), "char! #\" \""},           // truncated, never a float
        {act::divide, char_v('A'), int_v(0), "!zero-divide"},
        {act::remainder, char_v('A'), int_v(0), "!zero-divide"},
        {act::remainder, char_v('A'), int_v(10), "char! #\"^E\""},
        {act::add, char_v(0x10FFFF), int_v(1), "!overflow"},
        {act::add, char_v(0x10FFFE), int_v(1), "char! #\"\xF4\x8F\xBF\xBF\""},
        {act::subtract, char_v(0), int_v(1), "!overflow"},
        {act::add, char_v('A'), flt(1.9), "char! #\"B\""},
        {act::add, char_v('A'), flt(-1e10), "!overflow"},
        {act::add, char_v('A'), flt(std::nan("")), "!overflow"},
        {act::add, char_v('A'), test::pct(0.5), "!invalid-type"},
        {act::add, char_v('A'), test::tm(1), "!invalid-type"},
        {act::add, char_v('A'), test::none_v(), "!invalid-type"},
        {act::and_, char_v('a'), int_v(0x5F), "char! #\"A\""},
        {act::or_, char_v('A'), int_v(0x20), "char! #\"a\""},
        {act::xor_, char_v('A'), int_v(-1), "!overflow"},
    };
    for (const row& r : rows)
        EXPECT_EQ(show(call_action(r.action, {r.a, r.b})), r.expected) << test::mold(r.a) << " " << r.action << " "
                                                                        << test::mold(r.b);
}

TEST(ScalarChar, InheritedAndUnsupportedActions) {
    EXPECT_EQ(show(call_action(act::absolute, {char_v('A')})), "char! #\"A\"");
    EXPECT_EQ(show(call_action(act::even_q, {char_v('A')})), "logic! false");
    EXPECT_EQ(show(call_action(act::odd_q, {char_v('A')})), "logic! true");
    for (int a : {act::negate, act::power, act::round, act::complement})
        EXPECT_EQ(show(call_action(a, {char_v('A'), int_v(1)})), "unsupported") << a;
    EXPECT_EQ(show(test::random(char_v('A'), true)), "unset! unset");
    for (int i = 0; i < 200; ++i) {
        const test::outcome o = test::random(char_v('A'));
        ASSERT_EQ(type_of(&o.value), uint32_t(types::char_));
        ASSERT_TRUE(get_char(&o.value) >= 1 && get_char(&o.value) <= 'A') << get_char(&o.value);
    }
    EXPECT_EQ(show(test::random(char_v(0))), "char! #\"^@\"");
}

TEST(ScalarChar, ToAndMake) {
    test::boot();
    const kel_value char_type = test::type_v(types::char_);
    struct row { kel_value spec; const char* expected; };
    const row rows[] = {
        {flt(65.9), "char! #\"A\""},
        {flt(-0.5), "char! #\"^@\""},
        {flt(1114111.9), "char! #\"\xF4\x8F\xBF\xBF\""},
        {flt(1114112.0), "!out-of-range"},
        {flt(3e9), "!out-of-range"},
        {flt(std::nan("")), "!out-of-range"},
        {test::pct(65.5), "char! #\"A\""},
        {int_v(-1), "!out-of-range"},
        {int_v(0x110000), "!out-of-range"},
        {int_v(0x10FFFF), "char! #\"\xF4\x8F\xBF\xBF\""},
        {char_v('z'), "char! #\"z\""},
        {test::str(U""), "!bad-to-arg"},
        {test::str(U"abc"), "char! #\"a\""},
        {test::str(U"\u20ACx", 2), "char! #\"\xE2\x82\xAC\""},
        {test::str(U"\U0001F600", 4), "char! #\"\xF0\x9F\x98\x80\""},
        {test::str(U"t", 1, types::tag), "char! #\"t\""},
        {test::bin({0xC3, 0xA9}), "char! #\"\xC3\xA9\""},
        {test::bin({0x41, 0xC3}), "char! #\"A\""},
        {test::bin({0xF0, 0x9F, 0x98, 0x80}), "char! #\"\xF0\x9F\x98\x80\""},
        {test::bin({0xC0, 0x80}), "char! #\"^@\""},  // the loader's overlong form is read as U+0000
        {test::bin({}), "!bad-to-arg"},
        {test::bin({0xC3}), "!invalid-utf8"},        // cut short: never read past the tail
        {test::bin({0xF0, 0x9F, 0x98}), "!invalid-utf8"},
        {test::bin({0x80}), "!invalid-utf8"},
        {test::bin({0xFF}), "!invalid-utf8"},
        {test::bin({0xC3, 0x41}), "!invalid-utf8"},
        {test::bin({0xED, 0xB0, 0x80}), "!invalid-utf8"},
        {test::bin({0xEF, 0xBF, 0xBE}), "!invalid-utf8"},
        {test::bin({0xF4, 0x90, 0x80, 0x80}), "!invalid-utf8"},
        {test::none_v(), "!bad-to-arg"},
        {test::logic_v(true), "!bad-to-arg"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(show(call_action(act::to, {char_type, r.spec})), r.expected) << test::mold(r.spec);
        EXPECT_EQ(show(call_action(act::make, {char_type, r.spec})), r.expected) << test::mold(r.spec);
    }
    // The faulty bytes go with invalid-utf8, at most 4 and none past the tail.
    call_action(act::to, {char_type, test::bin({0xF0, 0x9F})});
    const fired_error& e = last_fired();
    ASSERT_EQ(type_of(&e.args[0]), uint32_t(types::binary));
    EXPECT_EQ(test::text(e.args[0]), std::u32string(U"\u00F0\u009F"));
    call_action(act::to, {char_type, test::bin({0xFF, 1, 2, 3, 4, 5})});
    EXPECT_EQ(test::text(last_fired().args[0]), std::u32string(U"\u00FF\u0001\u0002\u0003"));
}

TEST(ScalarChar, FirstUtf8CharStopsAtTheEnd) {
    test::boot();
    // Every lead byte with every shorter count: either a char or an error,
    // with the decoder given exactly that many bytes of a heap copy (a read
    // past them would show under the sanitizer build).
    const kel_value spec = test::none_v();
    for (int lead = 0; lead < 256; ++lead)
        for (size_t count = 1; count <= 4; ++count) {
            std::vector<uint8_t> bytes(count, 0x80);
            bytes[0] = static_cast<uint8_t>(lead);
            auto* exact = new uint8_t[count];
            std::memcpy(exact, bytes.data(), count);
            uint32_t cp = 0xFFFFFFFF;
            const bool raised = fires([&] { cp = char_::first_utf8_char(exact, count, &spec); }, "invalid-utf8");
            delete[] exact;
            if (!raised) {
                EXPECT_LE(cp, 0x10FFFFu) << lead << " " << count;
            }
        }
}

TEST(ScalarChar, MoldEscapes) {
    struct row { uint32_t cp; bool all; const char* expected; };
    const row rows[] = {
        {'\t', false, "#\"^-\""}, {'\n', false, "#\"^/\""}, {'"', false, "#\"^\"\""}, {'^', false, "#\"^^\""},
        {0x7F, false, "#\"^~\""}, {0x1E, false, "#\"^(1E)\""}, {0x85, false, "#\"^(85)\""},
        {0x9F, false, "#\"^(9F)\""}, {0xE9, false, "#\"\xC3\xA9\""}, {0xE9, true, "#\"^(E9)\""},
        {0xA0, false, "#\"\xC2\xA0\""}, {0x20AC, true, "#\"^(20AC)\""}, {0x10FFFF, true, "#\"^(10FFFF)\""},
        {0x00, false, "#\"^@\""}, {0x01, false, "#\"^A\""}, {0x08, false, "#\"^H\""}, {0x0B, false, "#\"^K\""},
        {0x1A, false, "#\"^Z\""}, {0x1B, false, "#\"^[\""}, {0x1C, false, "#\"^\\\""}, {0x1D, false, "#\"^]\""},
        {0x1F, false, "#\"^_\""}, {' ', false, "#\" \""}, {'!', false, "#\"!\""}, {'#', false, "#\"#\""},
        {'A', true, "#\"A\""}, {'\\', false, "#\"\\\""}, {'_', false, "#\"_\""}, {'{', false, "#\"{\""},
        {'~', false, "#\"~\""},
    };
    for (const row& r : rows) EXPECT_EQ(test::mold(char_v(r.cp), r.all), r.expected) << r.cp;
    // The escape letters of 0x00-0x1F.
    const char letters[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]";
    for (uint32_t cp = 0; cp < 0x1E; ++cp) {
        char out[12];
        ASSERT_EQ(char_::escape(cp, false, out), 2) << cp;
        EXPECT_EQ(out[1], letters[cp]) << cp;
    }
    // Mold returns part - 4 whatever the escape's length; form part - 1.
    test::boot();
    kel_value buffer;
    text_out::new_buffer(&buffer, 16);
    const kel_value c = char_v(0x20AC);
    EXPECT_EQ(registry::mold_handler(types::char_)(&c, &buffer, false, true, false, nullptr, 100, 0), 96);
    EXPECT_EQ(registry::form_handler(types::char_)(&c, &buffer, nullptr, 100), 99);
}

// form appends the code point itself, widening a narrower buffer whole.
TEST(ScalarChar, FormWidensTheBuffer) {
    test::boot();
    kel_value* holder = block::make_at_tail(nullptr, 1);  // keeps the buffer reachable
    text_out::new_buffer(holder, 4);
    text_out::append(holder, "ab", 2);
    const uint32_t cps[] = {'c', 0xE9, 0x20AC, 0x1F600, 'd'};
    const uint32_t units[] = {1, 2, 2, 4, 4};  // appending widens above 0x7F
    for (size_t i = 0; i < 5; ++i) {
        const kel_value c = char_v(cps[i]);
        registry::form_handler(types::char_)(&c, holder, nullptr, 100);
        EXPECT_EQ(memory::buffer_of(series_node(holder))->unit(), units[i]) << i;
    }
    EXPECT_EQ(test::text(*holder), std::u32string(U"abc\u00E9\u20AC\U0001F600d"));
    EXPECT_EQ(test::form(char_v(0x1F600)), "\xF0\x9F\x98\x80");
    EXPECT_EQ(test::form(char_v('"')), "\"");
}

TEST(ScalarChar, Compare) {
    struct row { kel_value a, b; int32_t op; int32_t expected; };
    const row rows[] = {
        {char_v('a'), char_v('A'), cmp::equal, 1},
        {char_v('a'), char_v('A'), cmp::greater, 1},
        {char_v('A'), int_v(65), cmp::equal, 0},
        {char_v('A'), int_v(65), cmp::strict_equal, 1},
        {char_v('A'), int_v(65), cmp::find, 1},
        {char_v('A'), char_v('A'), cmp::strict_equal, 0},
        {char_v('A'), int_v(-1), cmp::greater, 1},
        {char_v('A'), flt(65.0), cmp::equal, cmp::not_comparable},
        {char_v('A'), test::str(U"A"), cmp::equal, cmp::not_comparable},
    };
    for (const row& r : rows)
        EXPECT_EQ(test::compare(r.a, r.b, r.op), r.expected) << test::mold(r.a) << " " << test::mold(r.b) << " " << r.op;
}
