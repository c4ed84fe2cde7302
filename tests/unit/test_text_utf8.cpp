// UTF-8 decoding and encoding, checked against Python's codec where it is the
// same rule and against the lenient loader's own rules where it differs.
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

std::vector<uint8_t> hex_bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<int32_t> code_points(const unit_text& t) {
    std::vector<int32_t> v;
    for (size_t i = 0; i < t.length(); ++i) v.push_back(t.at(i));
    return v;
}

// Candidate sequences for the exhaustive checks: every 1- and 2-byte
// sequence, every 3-byte sequence with a 3-byte lead, and 4-byte sequences
// with every lead and second byte and the telling third and fourth bytes.
const uint8_t tail_bytes[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0xA5, 0xBF, 0xC0};
const char* candidates_py = R"(
def candidates():
    for a in range(256): yield bytes([a])
    for a in range(256):
        for b in range(256): yield bytes([a, b])
    for a in range(0xE0, 0xF0):
        for b in range(256):
            for c in range(256): yield bytes([a, b, c])
    tails = [0x00, 0x7F, 0x80, 0x8F, 0x90, 0xA5, 0xBF, 0xC0]
    for a in range(0xF0, 0xF8):
        for b in range(256):
            for c in tails:
                for d in tails: yield bytes([a, b, c, d])
)";

template <class F>
void for_each_candidate(F f) {
    uint8_t s[5] = {};
    auto seq = [&](std::initializer_list<int> bytes) {
        int n = 0;
        for (int b : bytes) s[n++] = uint8_t(b);
        f(s, n);
    };
    for (int a = 0; a < 256; ++a) seq({a});
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) seq({a, b});
    for (int a = 0xE0; a < 0xF0; ++a)
        for (int b = 0; b < 256; ++b)
            for (int c = 0; c < 256; ++c) seq({a, b, c});
    for (int a = 0xF0; a < 0xF8; ++a)
        for (int b = 0; b < 256; ++b)
            for (uint8_t c : tail_bytes)
                for (uint8_t d : tail_bytes) seq({a, b, c, d});
}

// Python's verdict per candidate: '1' when the bytes are exactly one
// well-formed character, '0' otherwise.
const std::string& python_verdicts() {
    static const std::string verdicts = [] {
        std::string code = std::string(candidates_py) + R"(
import sys
out = []
for s in candidates():
    try:
        out.append('1' if len(s.decode('utf-8')) == 1 else '0')
    except UnicodeDecodeError:
        out.append('0')
sys.stdout.write(''.join(out))
)";
        return kel::test::python(code);
    }();
    return verdicts;
}

}  // namespace

TEST(TextUtf8, AutomatonAcceptsExactlyWellFormedUtf8) {
    const std::string& verdict = python_verdicts();
    size_t i = 0, mismatches = 0;
    for_each_candidate([&](uint8_t* s, int len) {
        ASSERT_LT(i, verdict.size());
        bool python_ok = verdict[i++] == '1';
        s[len] = 0;  // the decoder trusts a terminator
        int32_t cp;
        const uint8_t* end = fast_decode_utf8_char(s, &cp);
        bool ok = cp >= 0 && end == s + len;
        if (ok != python_ok && ++mismatches < 10)
            ADD_FAILURE() << "sequence of " << len << " starting " << std::hex << int(s[0]) << " " << int(s[1]) << " "
                          << int(s[2]) << " " << int(s[3]) << ": decoder " << ok << ", python " << python_ok;
        if (ok) {
            uint8_t re[4];
            ASSERT_EQ(encode_utf8_char(uint32_t(cp), re), len);
            ASSERT_EQ(0, std::memcmp(re, s, size_t(len))) << "wrong code point " << cp;
        }
        // It never steps past the terminator, whatever the bytes.
        EXPECT_LE(end, s + len);
        EXPECT_GT(end, s);
    });
    EXPECT_EQ(i, verdict.size());
    EXPECT_EQ(mismatches, 0u);
}

TEST(TextUtf8, LoaderReaderAgreesWithPythonOnWellFormedText) {
    // Every sequence Python reads as one character, the lenient reader reads
    // as the same code point, except U+FFFE, the loaders' malformed mark.
    const std::string& verdict = python_verdicts();
    size_t i = 0;
    for_each_candidate([&](uint8_t* s, int len) {
        if (verdict[i++] != '1') return;
        size_t n = size_t(len);
        text_error err;
        int32_t cp = read_utf8_char(s, &n, &err);
        uint8_t re[4];
        if (len == 3 && s[0] == 0xEF && s[1] == 0xBF && s[2] == 0xBE) {
            EXPECT_EQ(cp, utf8_malformed);
            return;
        }
        ASSERT_GE(cp, 0) << std::hex << int(s[0]) << " " << int(s[1]);
        EXPECT_EQ(n, size_t(len));
        ASSERT_EQ(encode_utf8_char(uint32_t(cp), re), len);
        EXPECT_EQ(0, std::memcmp(re, s, size_t(len)));
    });
}

TEST(TextUtf8, ReaderLeniencyAndFaults) {
    struct row {
        std::vector<uint8_t> bytes;
        int32_t result;  // code point, utf8_short or utf8_malformed
        size_t length;   // sequence length on success
    };
    const row rows[] = {
        {{0x41}, 0x41, 1},
        {{0xC0, 0x80}, utf8_malformed, 0},           // overlong NUL
        {{0xC1, 0xBF}, utf8_malformed, 0},           // overlong forms are malformed
        {{0xE0, 0x80, 0x80}, utf8_malformed, 0},
        {{0xE0, 0x9F, 0xBF}, utf8_malformed, 0},     // U+07FF in three bytes
        {{0xE0, 0xA0, 0x80}, 0x0800, 3},             // the shortest three-byte form
        {{0xED, 0xA0, 0x80}, 0xD800, 3},             // lead surrogate accepted
        {{0xED, 0xBF, 0xBF}, 0xDFFF, 3},             // trail surrogate above DCFF accepted
        {{0xED, 0xB0, 0x80}, utf8_malformed, 0},     // U+DC00
        {{0xED, 0xB3, 0xBF}, utf8_malformed, 0},     // U+DCFF
        {{0xED, 0xB4, 0x80}, 0xDD00, 3},
        {{0xEF, 0xBF, 0xBE}, utf8_malformed, 0},     // U+FFFE
        {{0xEF, 0xBF, 0xBF}, 0xFFFF, 3},
        {{0xF0, 0x8F, 0xBF, 0xBE}, utf8_malformed, 0},  // overlong U+FFFE is the mark too
        {{0xF0, 0x80, 0x80, 0x80}, utf8_malformed, 0},
        {{0xF0, 0x8F, 0xBF, 0xBF}, utf8_malformed, 0},  // U+FFFF in four bytes
        {{0xF0, 0x90, 0x80, 0x80}, 0x10000, 4},      // the shortest four-byte form
        {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF, 4},
        {{0xF4, 0x90, 0x80, 0x80}, utf8_malformed, 0},  // above U+10FFFF
        {{0xF7, 0xBF, 0xBF, 0xBF}, utf8_malformed, 0},
        {{0x80}, utf8_malformed, 0},
        {{0xBF, 0x41}, utf8_malformed, 0},
        {{0xF8, 0x80, 0x80, 0x80}, utf8_malformed, 0},
        {{0xFF}, utf8_malformed, 0},
        {{0xC3, 0x41}, utf8_malformed, 0},
        {{0xE2, 0x82, 0x41}, utf8_malformed, 0},
        {{0xC3}, utf8_short, 0},
        {{0xE2, 0x82}, utf8_short, 0},
        {{0xF0, 0x9F, 0x98}, utf8_short, 0},
        {{0xF4, 0x41}, utf8_short, 0},  // cut short wins over the bad second byte
    };
    for (const row& r : rows) {
        guarded_bytes buf(r.bytes.data(), r.bytes.size());
        size_t n = r.bytes.size();
        text_error err;
        int32_t cp = read_utf8_char(buf.data(), &n, &err);
        EXPECT_EQ(cp, r.result) << "first byte " << std::hex << int(r.bytes[0]);
        if (cp >= 0) {
            EXPECT_EQ(n, r.length);
        }
        if (cp == utf8_short) {
            EXPECT_EQ(n, r.bytes.size()) << "count left unchanged";
        }
        if (cp == utf8_malformed) {
            EXPECT_EQ(err.id, error_id::invalid_utf8);
            size_t want = std::min<size_t>(4, r.bytes.size());
            ASSERT_EQ(err.byte_count, want);
            EXPECT_EQ(0, std::memcmp(err.bytes, r.bytes.data(), want));
        }
    }
}

TEST(TextUtf8, MalformedArgumentTakesOnlyTheBytesThatExist) {
    // A bad byte among the last three of the input: the error's argument is
    // the bytes up to the end, read from a buffer followed by a dead page.
    for (size_t tail = 1; tail <= 5; ++tail) {
        std::vector<uint8_t> in(10, 'a');
        in.resize(10 + tail, 'b');
        in[10] = 0x80;
        guarded_bytes buf(in.data(), in.size());
        unit_text out;
        text_error err;
        size_t rest = 99;
        EXPECT_EQ(utf8_to_units(buf.data(), in.size(), false, out, &rest, &err), error_id::invalid_utf8);
        ASSERT_EQ(err.byte_count, std::min<size_t>(4, tail));
        EXPECT_EQ(err.bytes[0], 0x80);
        for (size_t k = 1; k < err.byte_count; ++k) EXPECT_EQ(err.bytes[k], 'b');
        EXPECT_EQ(out.length(), 10u) << "text before the fault";
    }
}

TEST(TextUtf8, FastDecoderEdgeCases) {
    struct row {
        std::vector<uint8_t> bytes;  // a NUL is added after them
        int32_t cp;
        size_t consumed;
    };
    const row rows[] = {
        {{0xC0, 0x80}, -1, 1},              // overlong: rejected at the lead byte
        {{0xED, 0xA0, 0x80}, -1, 2},        // surrogate: rejected at the second byte
        {{0xE2, 0x82, 0xAC}, 0x20AC, 3},
        {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
        {{0xE2, 0x41}, -1, 2},              // the offending byte goes with the sequence
        {{0xE2, 0x82}, -1, 2},              // the terminator rejects, and is not consumed
        {{0xF0}, -1, 1},
        {{0x80}, -1, 1},
        {{0x00}, 0, 1},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> in = r.bytes;
        in.push_back(0);
        guarded_bytes buf(in.data(), in.size());
        int32_t cp;
        const uint8_t* end = fast_decode_utf8_char(buf.data(), &cp);
        EXPECT_EQ(cp, r.cp) << std::hex << int(r.bytes[0]);
        EXPECT_EQ(size_t(end - buf.data()), r.consumed) << std::hex << int(r.bytes[0]);
    }
    EXPECT_EQ(sizeof utf8_automaton, 364u);
}

TEST(TextUtf8, CountAndSkipStayInsideTheirRange) {
    // "a", U+00E9, U+20AC, a bad byte, U+1F600, and a sequence cut by the end.
    const std::vector<uint8_t> in = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xFF, 0xF0, 0x9F, 0x98, 0x80, 0xE2, 0x82};
    guarded_bytes buf(in.data(), in.size());
    const uint8_t* b = buf.data();
    const uint8_t* e = b + in.size();
    EXPECT_EQ(count_utf8_chars(b, e), 6u);
    EXPECT_EQ(count_utf8_chars(b, b), 0u);
    EXPECT_EQ(skip_utf8_chars(b, e, 0), b);
    EXPECT_EQ(skip_utf8_chars(b, e, 2), b + 3);
    EXPECT_EQ(skip_utf8_chars(b, e, 5), b + 11);
    EXPECT_EQ(skip_utf8_chars(b, e, 6), e);
    EXPECT_EQ(skip_utf8_chars(b, e, 100), e);
    EXPECT_EQ(count_utf8_chars(b, b + 4), 3u);  // a range ending inside a sequence
    int32_t cp;
    EXPECT_EQ(decode_utf8_char_bounded(b + 11, e, &cp), e);
    EXPECT_EQ(cp, -1);
}

TEST(TextUtf8, SequenceLengthOfLeadByte) {
    const std::pair<uint8_t, int> rows[] = {{0x00, 0}, {0x7F, 0}, {0x80, 0}, {0xBF, 0}, {0xC0, 2}, {0xDF, 2},
                                            {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xF7, 4}, {0xF8, 4}, {0xFF, 4}};
    for (auto [b, n] : rows) EXPECT_EQ(utf8_seq_length(b), n) << std::hex << int(b);
}

TEST(TextUtf8, LoaderEdgeCases) {
    struct row {
        std::vector<uint8_t> bytes;
        bool cr;
        std::vector<int32_t> cps;
        uint8_t unit;
        size_t remaining;
    };
    const row rows[] = {
        {{}, false, {}, 1, 0},
        {{0x61, 0x62, 0x63, 0xE2, 0x82}, false, {0x61, 0x62, 0x63}, 1, 2},
        {{0xEF, 0xBB, 0xBF}, false, {}, 1, 0},                     // only a byte-order mark
        {{0xEF, 0xBB, 0xBF, 0x41}, false, {0x41}, 1, 0},
        {{0xEF, 0xBB}, false, {}, 1, 2},                           // too short to be a mark: cut short
        {{0xC3, 0xA9}, false, {0xE9}, 1, 0},                       // Latin-1 stays in 1-byte units
        {{0xC3, 0xA9, 0xE2, 0x82, 0xAC}, false, {0xE9, 0x20AC}, 2, 0},
        {{0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, false, {0xE9, 0x20AC, 0x1F600}, 4, 0},
        {{0xF0, 0x9F, 0x98, 0x80, 0x41}, false, {0x1F600, 0x41}, 4, 0},  // 1 straight to 4
        {{'a', 0x0D, 'b'}, true, {'a', 0x0A, 'b'}, 1, 0},          // lone CR becomes LF
        {{'a', 0x0D, 0x0A, 'b'}, true, {'a', 0x0A, 'b'}, 1, 0},    // CR LF becomes LF
        {{'a', 0x0D}, true, {'a', 0x0A}, 1, 0},                    // CR as the last byte
        {{0x0D, 0x0D, 0x0A}, true, {0x0A, 0x0A}, 1, 0},
        {{'a', 0x0D, 'b', 0x0D, 0x0A}, false, {'a', 0x0D, 'b', 0x0D, 0x0A}, 1, 0},
        {{0xED, 0xA0, 0x80}, false, {0xD800}, 2, 0},
    };
    for (const row& r : rows) {
        guarded_bytes buf(r.bytes.data(), r.bytes.size());
        unit_text out;
        size_t rest = 99;
        text_error err;
        ASSERT_EQ(utf8_to_units(buf.data(), r.bytes.size(), r.cr, out, &rest, &err), error_id::none);
        EXPECT_EQ(code_points(out), r.cps);
        EXPECT_EQ(out.unit, r.unit);
        EXPECT_EQ(rest, r.remaining);
    }
    // Faults raise invalid-utf8 with the bytes at the fault.
    const std::vector<std::vector<uint8_t>> bad = {
        {0xED, 0xB0, 0x80}, {0xEF, 0xBF, 0xBE}, {0xF4, 0x90, 0x80, 0x80}, {'x', 0xFE, 'y', 'z', 'w', 'v'},
        {0xC0, 0x80}};
    for (const auto& b : bad) {
        unit_text out;
        text_error err;
        EXPECT_EQ(utf8_to_units(b.data(), b.size(), false, out, nullptr, &err), error_id::invalid_utf8);
        const uint8_t* fault = b[0] == 'x' ? b.data() + 1 : b.data();
        size_t want = std::min<size_t>(4, size_t(b.data() + b.size() - fault));
        ASSERT_EQ(err.byte_count, want);
        EXPECT_EQ(0, std::memcmp(err.bytes, fault, want));
    }
}

TEST(TextUtf8, LoaderKeepsATargetsUnitAndReplacesItsText) {
    unit_text t;
    t.unit = 4;
    t.push_store('z');
    const uint8_t in[] = {'a', 'b'};
    ASSERT_EQ(utf8_to_units(in, 2, false, t, nullptr, nullptr), error_id::none);
    EXPECT_EQ(t.unit, 4);
    EXPECT_EQ(code_points(t), (std::vector<int32_t>{'a', 'b'}));
}

TEST(TextUtf8, RandomTextRoundTripsThroughPython) {
    std::mt19937 rng(7);
    std::vector<std::vector<uint32_t>> texts;
    for (int t = 0; t < 200; ++t) {
        std::vector<uint32_t> cps;
        int len = int(rng() % 40);
        int range = int(rng() % 4);
        for (int i = 0; i < len; ++i) {
            uint32_t cp;
            do {
                uint32_t lim = range == 0 ? 0x80 : range == 1 ? 0x100 : range == 2 ? 0x10000 : 0x110000;
                cp = rng() % lim;
            } while ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE);
            cps.push_back(cp);
        }
        texts.push_back(cps);
    }
    std::ostringstream in;
    for (auto& cps : texts) {
        for (uint32_t cp : cps) in << cp << ' ';
        in << '\n';
    }
    std::string hex = python_stdin(
        "import sys\n"
        "for line in sys.stdin:\n"
        "    print(''.join(chr(int(x)) for x in line.split()).encode('utf-8').hex())\n",
        in.str());
    std::istringstream lines(hex);
    for (auto& cps : texts) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line));
        std::vector<uint8_t> bytes = hex_bytes(line);
        unit_text out;
        size_t rest = 99;
        ASSERT_EQ(utf8_to_units(bytes.data(), bytes.size(), false, out, &rest, nullptr), error_id::none);
        EXPECT_EQ(rest, 0u);
        ASSERT_EQ(out.length(), cps.size());
        uint32_t top = 0;
        for (size_t i = 0; i < cps.size(); ++i) {
            EXPECT_EQ(uint32_t(out.at(i)), cps[i]);
            top = std::max(top, cps[i]);
        }
        EXPECT_EQ(out.unit, top <= 0xFF ? 1 : top <= 0xFFFF ? 2 : 4);
        // And back: the encoder gives Python's bytes, at every unit width.
        for (uint8_t unit : {uint8_t(1), uint8_t(2), uint8_t(4)}) {
            if (unit < out.unit) continue;
            unit_text wide = out;
            wide.widen(unit);
            std::string enc;
            ASSERT_EQ(to_utf8(wide.view(), false, enc, nullptr), error_id::none);
            EXPECT_EQ(std::vector<uint8_t>(enc.begin(), enc.end()), bytes);
            size_t size = 0;
            ASSERT_EQ(utf8_buffer_size(wide.view(), &size, nullptr), error_id::none);
            EXPECT_EQ(size, bytes.size());
        }
        // The counting decoder agrees on the number of characters.
        EXPECT_EQ(count_utf8_chars(bytes.data(), bytes.data() + bytes.size()), cps.size());
    }
}

TEST(TextUtf8, EncoderSizesAndInvalidChars) {
    const std::pair<uint32_t, int> sizes[] = {{0, 1},       {0x7F, 1},     {0x80, 2},     {0x7FF, 2},
                                              {0x800, 3},   {0xD800, 3},   {0xFFFF, 3},   {0x10000, 4},
                                              {0x10FFFF, 4}, {0x110000, 0}, {0xFFFFFFFF, 0}};
    for (auto [cp, n] : sizes) {
        EXPECT_EQ(utf8_char_size(cp), n) << std::hex << cp;
        uint8_t buf[4] = {};
        EXPECT_EQ(encode_utf8_char(cp, buf), n) << std::hex << cp;
    }
    uint8_t sur[3];
    ASSERT_EQ(encode_utf8_char(0xDC00, sur), 3);
    EXPECT_EQ(sur[0], 0xED);
    EXPECT_EQ(sur[1], 0xB0);
    EXPECT_EQ(sur[2], 0x80);

    // A 4-byte unit beyond U+10FFFF (or negative) is invalid-char with its value.
    unit_text t;
    t.unit = 4;
    t.push_store('a');
    t.push_store(0x110000);
    size_t size = 0;
    text_error err;
    EXPECT_EQ(utf8_buffer_size(t.view(), &size, &err), error_id::invalid_char);
    EXPECT_EQ(err.code_point, 0x110000u);
    std::string s;
    err = {};
    EXPECT_EQ(to_utf8(t.view(), false, s, &err), error_id::invalid_char);
    EXPECT_EQ(err.code_point, 0x110000u);
    uint8_t dst[16];
    size_t written = 0;
    EXPECT_EQ(encode_utf8_bounded(t.view(), dst, 15, -1, false, &written, &err), error_id::invalid_char);
    EXPECT_EQ(written, 1u);
}

TEST(TextUtf8, PartialAndBoundedEncoding) {
    uint8_t dst[8] = {};
    EXPECT_EQ(encode_utf8_partial(0x20AC, dst, 2), 2);
    EXPECT_EQ(dst[0], 0xE2);
    EXPECT_EQ(dst[1], 0x82);
    EXPECT_EQ(encode_utf8_partial(0x20AC, dst, 0), 0);
    EXPECT_EQ(encode_utf8_partial(0x20AC, dst, -3), 0);
    EXPECT_EQ(encode_utf8_partial(0x20AC, dst, 9), 3);
    EXPECT_EQ(encode_utf8_partial(0x110000, dst, 9), -1);

    // "a", U+00E9, U+20AC: 1 + 2 + 3 bytes.
    unit_text t;
    for (uint32_t cp : {0x61u, 0xE9u, 0x20ACu}) t.push_store(cp);
    struct row {
        size_t room;
        long limit;
        std::vector<uint8_t> want;
    };
    const row rows[] = {
        {16, -1, {0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}},
        {16, 0, {0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}},  // limit 0: whole text
        {16, 2, {0x61, 0xC3, 0xA9}},
        {16, 3, {0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}},  // limit at the length: whole text
        {4, -1, {0x61, 0xC3, 0xA9, 0xE2}},              // last sequence cut by the room
        {2, -1, {0x61, 0xC3}},
        {0, -1, {}},
    };
    for (const row& r : rows) {
        uint8_t out[17];
        std::memset(out, 0xEE, sizeof out);
        size_t written = 0;
        ASSERT_EQ(encode_utf8_bounded(t.view(), out, r.room, r.limit, true, &written, nullptr), error_id::none);
        EXPECT_EQ(std::vector<uint8_t>(out, out + written), r.want) << "room " << r.room << " limit " << r.limit;
        EXPECT_EQ(out[written], 0) << "NUL after the bytes";
        EXPECT_EQ(out[written + 1], 0xEE);
    }
}

TEST(TextUtf8, EncodeWithCrlfAndNul) {
    unit_text t;
    for (uint32_t cp : {0x61u, 0x0Au, 0x62u, 0x0Au}) t.push_store(cp);
    uint8_t out[utf8_bound(4, 1)];
    size_t written = 0;
    ASSERT_EQ(encode_utf8(t.view(), true, true, out, &written, nullptr), error_id::none);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), written), "a\r\nb\r\n");
    EXPECT_EQ(out[written], 0);
    std::string s;
    ASSERT_EQ(to_utf8(t.view(), false, s, nullptr), error_id::none);
    EXPECT_EQ(s, "a\nb\n");
}
