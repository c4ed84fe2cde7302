// UTF-16LE and windows-1251 conversions, against Python's codecs.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/unicode.h"
#include "tests/unit/test_support.h"
#include "tests/unit/test_text_guard.h"

using namespace kel::unicode;
using kel::test::guarded_bytes;

namespace {

std::string python_stdin(const std::string& code, const std::string& input) {
    auto r = kel::test::run_process({"/usr/bin/python3", "-c", code}, {}, input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

std::vector<uint8_t> le_bytes(const std::vector<uint16_t>& units) {
    std::vector<uint8_t> b;
    for (uint16_t u : units) {
        b.push_back(uint8_t(u));
        b.push_back(uint8_t(u >> 8));
    }
    return b;
}

std::vector<int32_t> code_points(const unit_text& t) {
    std::vector<int32_t> v;
    for (size_t i = 0; i < t.length(); ++i) v.push_back(t.at(i));
    return v;
}

unit_text text_of(const std::vector<uint32_t>& cps, uint8_t unit) {
    unit_text t;
    t.unit = unit;
    for (uint32_t cp : cps) t.push_store(cp);
    return t;
}

}  // namespace

TEST(TextUtf16, LoaderEdgeCases) {
    struct row {
        std::vector<uint16_t> units;
        bool cr;
        std::vector<int32_t> cps;
        uint8_t unit;
    };
    const row rows[] = {
        {{}, false, {}, 1},
        {{0x0041, 0x00E9}, false, {0x41, 0xE9}, 1},
        {{0x0041, 0x20AC}, false, {0x41, 0x20AC}, 2},
        {{0xD83D, 0xDE00}, false, {0x1F600}, 4},
        {{0xDE00}, false, {0xDE00}, 4},                     // lone trail kept
        {{0x0041, 0xD83D}, false, {0x41, 0xD83D}, 4},       // lone lead at the end kept, no exit
        {{0xD83D, 0x0041}, false, {0xD83D, 0x41}, 4},       // lead not followed by a trail
        {{0xD83D, 0xD83D, 0xDE00}, false, {0xD83D, 0x1F600}, 4},
        {{0xDBFF, 0xDFFF}, false, {0x10FFFF}, 4},
        {{0xD800, 0xDC00}, false, {0x10000}, 4},
        {{0x61, 0x0D, 0x0A, 0x62, 0x0D}, true, {0x61, 0x0A, 0x62}, 1},  // CR units dropped
        {{0x61, 0x0D, 0x0A}, false, {0x61, 0x0D, 0x0A}, 1},
        {{0x20AC, 0x0D, 0x0A}, true, {0x20AC, 0x0A}, 2},
        {{0xD83D, 0xDE00, 0x0D, 0x0A}, true, {0x1F600, 0x0A}, 4},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> b = le_bytes(r.units);
        guarded_bytes buf(b.data(), b.size());
        unit_text out;
        utf16_to_units(buf.data(), r.units.size(), r.cr, out);
        EXPECT_EQ(code_points(out), r.cps);
        EXPECT_EQ(out.unit, r.unit);
    }
    // An odd address is fine: the loader reads bytes, not 16-bit words.
    std::vector<uint8_t> odd = {0xFF, 0x3D, 0xD8, 0x00, 0xDE};
    unit_text out;
    utf16_to_units(odd.data() + 1, 2, false, out);
    EXPECT_EQ(code_points(out), (std::vector<int32_t>{0x1F600}));
}

TEST(TextUtf16, RandomUnitsAgreeWithPythonSurrogatepass) {
    // Python's UTF-16 decoder joins pairs and, with surrogatepass, keeps lone
    // surrogates as they are: the loader's rule exactly.
    std::mt19937 rng(11);
    std::vector<std::vector<uint16_t>> inputs;
    for (int t = 0; t < 300; ++t) {
        std::vector<uint16_t> u;
        int len = int(rng() % 30);
        int kind = int(rng() % 4);
        for (int i = 0; i < len; ++i) {
            uint32_t r = rng();
            switch (kind) {
                case 0: u.push_back(uint16_t(r % 0x100)); break;
                case 1: u.push_back(uint16_t(r)); break;
                case 2: u.push_back(uint16_t(0xD800 + r % 0x800)); break;  // surrogates only
                default: u.push_back(uint16_t((r & 1) ? 0xD800 + (r >> 8) % 0x800 : (r >> 8) % 0x80));
            }
        }
        inputs.push_back(u);
    }
    std::ostringstream in;
    for (auto& u : inputs) {
        for (uint8_t b : le_bytes(u)) in << std::hex << (b >> 4) << (b & 15);
        in << '\n';
    }
    std::string out = python_stdin(
        "import sys\n"
        "for line in sys.stdin:\n"
        "    s = bytes.fromhex(line.strip()).decode('utf-16-le', 'surrogatepass')\n"
        "    print(' '.join(str(ord(c)) for c in s))\n",
        in.str());
    std::istringstream lines(out);
    for (auto& u : inputs) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line));
        std::istringstream ws(line);
        std::vector<int32_t> want;
        for (int32_t cp; ws >> cp;) want.push_back(cp);
        std::vector<uint8_t> b = le_bytes(u);
        unit_text t;
        utf16_to_units(b.data(), u.size(), false, t);
        EXPECT_EQ(code_points(t), want);
        // Back again: the same units, at the loaded width and any wider one.
        for (uint8_t unit : {uint8_t(2), uint8_t(4)}) {
            if (unit < t.unit) continue;
            unit_text w = t;
            w.widen(unit);
            std::u16string enc;
            ASSERT_TRUE(to_utf16(w.view(), false, enc));
            EXPECT_EQ(std::vector<uint16_t>(enc.begin(), enc.end()), u);
        }
    }
}

TEST(TextUtf16, EncodingAgreesWithPython) {
    std::mt19937 rng(5);
    std::vector<std::vector<uint32_t>> texts;
    for (int t = 0; t < 200; ++t) {
        std::vector<uint32_t> cps;
        int len = int(rng() % 25);
        for (int i = 0; i < len; ++i) {
            uint32_t r = rng();
            uint32_t cp = r % 5 == 0 ? 0x0A : r % 5 == 1 ? 0x10000 + r % 0x100000 : (r >> 3) % 0x10000;
            cps.push_back(cp);
        }
        texts.push_back(cps);
    }
    std::ostringstream in;
    for (auto& cps : texts) {
        for (uint32_t cp : cps) in << cp << ' ';
        in << '\n';
    }
    std::string out = python_stdin(
        "import sys\n"
        "for line in sys.stdin:\n"
        "    s = ''.join(chr(int(x)) for x in line.split())\n"
        "    print(s.encode('utf-16-le', 'surrogatepass').hex(),"
        " s.replace('\\n', '\\r\\n').encode('utf-16-le', 'surrogatepass').hex())\n",
        in.str());
    std::istringstream lines(out);
    auto hex_of = [](const std::u16string& s) {
        std::ostringstream h;
        for (char16_t c : s) h << std::hex << ((c >> 4) & 15) << (c & 15) << ((c >> 12) & 15) << ((c >> 8) & 15);
        return h.str();
    };
    for (auto& cps : texts) {
        std::string line, plain, crlf;
        ASSERT_TRUE(std::getline(lines, line));
        std::istringstream words(line);  // an empty text gives an empty line
        words >> plain >> crlf;
        for (uint8_t unit : {uint8_t(2), uint8_t(4)}) {
            uint32_t top = 0;
            for (uint32_t cp : cps) top = std::max(top, cp);
            if (unit == 2 && top > 0xFFFF) continue;
            unit_text t = text_of(cps, unit);
            std::u16string a, b;
            ASSERT_TRUE(to_utf16(t.view(), false, a));
            ASSERT_TRUE(to_utf16(t.view(), true, b));
            EXPECT_EQ(hex_of(a), plain);
            EXPECT_EQ(hex_of(b), crlf);
            EXPECT_LE(b.size() + 1, utf16_bound(t.view()));
        }
    }
}

TEST(TextUtf16, EncoderEdgeCases) {
    // a LF b with the CRLF flag, and the NUL after the units.
    unit_text t = text_of({0x61, 0x0A, 0x62}, 1);
    std::vector<uint16_t> buf(utf16_bound(t.view()), 0xEEEE);
    ASSERT_EQ(encode_utf16(t.view(), true, buf.data()), 4);
    EXPECT_EQ(buf, (std::vector<uint16_t>{0x61, 0x0D, 0x0A, 0x62, 0x00}));

    unit_text sup = text_of({0x10000}, 4);
    std::u16string s;
    ASSERT_TRUE(to_utf16(sup.view(), true, s));
    EXPECT_EQ(s, (std::u16string{0xD800, 0xDC00}));

    unit_text bad = text_of({0x41, 0x110000}, 4);
    EXPECT_FALSE(to_utf16(bad.view(), false, s));
    std::vector<uint16_t> out(utf16_bound(bad.view()));
    EXPECT_EQ(encode_utf16(bad.view(), false, out.data()), -1);

    uint16_t u[2];
    EXPECT_EQ(encode_utf16_char(0xFFFF, u), 1);
    EXPECT_EQ(encode_utf16_char(0x10FFFF, u), 2);
    EXPECT_EQ(u[0], 0xDBFF);
    EXPECT_EQ(u[1], 0xDFFF);
    EXPECT_EQ(encode_utf16_char(0x110000, u), 0);

    uint16_t wide[6];
    bytes_to_utf16("a\xE9z", wide);
    EXPECT_EQ(wide[0], 0x61);
    EXPECT_EQ(wide[1], 0xE9);
    EXPECT_EQ(wide[2], 0x7A);
    EXPECT_EQ(wide[3], 0);
}

TEST(TextUtf16, UnitNeededByHighBytes) {
    EXPECT_EQ(utf16_unit_needed(le_bytes({0x41, 0xFF}).data(), 2), 1);
    EXPECT_EQ(utf16_unit_needed(le_bytes({0x41, 0x100}).data(), 2), 2);
    EXPECT_EQ(utf16_unit_needed(le_bytes({0x41, 0xD7FF, 0xE000}).data(), 3), 2);
    EXPECT_EQ(utf16_unit_needed(le_bytes({0x41, 0xDC00}).data(), 2), 4);
    EXPECT_EQ(utf16_unit_needed(nullptr, 0), 1);
}

TEST(TextCodePage, EveryByteAgreesWithPythonCp1251) {
    // Python leaves 0x98 undefined; the WHATWG table maps it to U+0098.
    std::string out = kel::test::python(
        "print(' '.join(str(ord(bytes([b]).decode('cp1251'))) if b != 0x98 else '152' for b in range(256)))");
    std::istringstream in(out);
    std::vector<uint8_t> all(256);
    for (int b = 0; b < 256; ++b) all[b] = uint8_t(b);
    unit_text t;
    cp1251_to_units(all.data(), all.size(), false, t);
    ASSERT_EQ(t.length(), 256u);
    for (int b = 0; b < 256; ++b) {
        int32_t want;
        ASSERT_TRUE(in >> want);
        EXPECT_EQ(t.at(size_t(b)), want) << "byte " << std::hex << b;
    }
    EXPECT_EQ(t.unit, 2);
    EXPECT_EQ(t.at(0x80), 0x0402);
    EXPECT_EQ(t.at(0x88), 0x20AC);
    EXPECT_EQ(t.at(0xC0), 0x0410);
    EXPECT_EQ(t.at(0xFF), 0x044F);
}

TEST(TextCodePage, WideningAndLineEnds) {
    struct row {
        std::vector<uint8_t> bytes;
        bool cr;
        std::vector<int32_t> cps;
        uint8_t unit;
    };
    const row rows[] = {
        {{}, false, {}, 1},
        {{'a', 'b'}, false, {'a', 'b'}, 1},
        {{'a', 0xA0}, false, {'a', 0xA0}, 1},          // U+00A0 fits a 1-byte unit
        {{'a', 0xC0, 'b'}, false, {'a', 0x410, 'b'}, 2},
        {{'a', 0x0D, 0x0A, 'b', 0x0D}, true, {'a', 0x0A, 'b', 0x0A}, 1},
        {{'a', 0x0D, 'b'}, false, {'a', 0x0D, 'b'}, 1},
    };
    for (const row& r : rows) {
        guarded_bytes buf(r.bytes.data(), r.bytes.size());
        unit_text t;
        cp1251_to_units(buf.data(), r.bytes.size(), r.cr, t);
        EXPECT_EQ(code_points(t), r.cps);
        EXPECT_EQ(t.unit, r.unit);
    }
}
