// url! and file!: percent-encoding against Python's urllib.parse.quote with
// both safe sets, decoding against unquote_to_bytes and a table of the cases
// where the rules keep an escape as text, url mold (part budgets, the empty
// url inside a block), urls built from blocks, path steps on urls and files,
// the url and file services through stand-in hooks, file mold quoting, and
// the conversion between file values and POSIX paths (names that are not
// UTF-8 against Python's surrogateescape decoding, round trips back to the
// same bytes, the current directory).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/issue.h"
#include "datatypes/string.h"
#include "datatypes/string_api.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "platform/platform.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/dispatch_support.h"
#include "tests/unit/test_string_support.h"
#include "tests/unit/test_support.h"

using namespace kel;
using test::b;
using test::int_v;
using test::str;

namespace {

struct FileUrl : ::testing::Test {
    // The installed file and url services come back after each test: other
    // tests of the same process (a stress shard runs many) read and write
    // files and urls.
    file::file_hooks installed{};
    url::url_hooks installed_url{};
    void SetUp() override {
        test::boot();
        stack::reset();
        installed = file::hooks;
        installed_url = url::hooks;
        url::hooks = {};
        file::hooks = {};
    }
    void TearDown() override {
        stack::reset();
        url::hooks = installed_url;
        file::hooks = installed;
    }
};

namespace ar = action_specs;

kel_value text_v(const std::u32string& t, uint32_t type = types::string) {
    return str(t, test::needed_unit(t), type);
}

kel_value w(const char* name) { return *word::from_c_string(name); }

kel_value* fresh_string() {
    kel_value* cell = block::make_at_tail(nullptr, 1);
    string::init_cell(cell, 16);
    return cell;
}

std::u32string encoded(const std::u32string& t, url::char_class c) {
    const kel_value src = text_v(t);
    kel_value* out = fresh_string();
    url::encode(&src, out, c);
    return test::text(*out);
}

std::u32string decoded(const std::u32string& t) {
    const kel_value src = text_v(t);
    kel_value* out = fresh_string();
    url::decode(&src, out);
    return test::text(*out);
}

std::u32string ascii(const std::string& s) { return std::u32string(s.begin(), s.end()); }

std::string json_of(const std::vector<std::u32string>& cases) {
    std::ostringstream o;
    o << '[';
    for (size_t i = 0; i < cases.size(); ++i) {
        o << (i ? ",[" : "[");
        for (size_t k = 0; k < cases[i].size(); ++k) o << (k ? "," : "") << static_cast<uint32_t>(cases[i][k]);
        o << ']';
    }
    o << ']';
    return o.str();
}

// The lines Python printed before its closing "END" line (which keeps a
// last empty answer from being trimmed away).
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    EXPECT_FALSE(out.empty());
    if (!out.empty()) {
        EXPECT_EQ(out.back(), "END");
        out.pop_back();
    }
    return out;
}

// "[1, 2, 3]" as printed by Python -> code points.
std::u32string code_points_of(const std::string& list) {
    std::u32string out;
    uint32_t v = 0;
    bool in_number = false;
    for (char c : list) {
        if (c >= '0' && c <= '9') {
            v = v * 10 + static_cast<uint32_t>(c - '0');
            in_number = true;
        } else if (in_number) {
            out.push_back(v);
            v = 0;
            in_number = false;
        }
    }
    return out;
}

std::string utf8_of(const kel_value& buffer) { return test::utf8(test::text(buffer)); }

std::string with_budget(const kel_value& v, int32_t budget, int32_t* left) {
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    kel_value limit = int_v(budget);
    *left = registry::mold_handler(type_of(&v))(&v, buffer, false, false, false, &limit, budget, 0);
    return utf8_of(*buffer);
}

// A random code point from one of the pools the tests mix.
uint32_t random_code_point(std::mt19937& rng, bool surrogates) {
    switch (rng() % 6) {
        case 0:
        case 1: return rng() % 0x80;                  // ASCII, controls included
        case 2: return 0x80 + rng() % 0x180;          // Latin-1 and a little beyond
        case 3: {
            uint32_t c = 0x800 + rng() % 0xF800;      // the rest of the BMP
            if (!surrogates && c >= 0xD800 && c <= 0xDFFF) c -= 0x1000;
            return c == 0xFFFE ? 0xFFFD : c;
        }
        case 4: return 0x10000 + rng() % 0x100000;    // astral
        default: {
            static const char specials[] = "a/ %?#&=~-._:@\"<>[]^{}|\\`;";
            return static_cast<uint8_t>(specials[rng() % (sizeof specials - 1)]);
        }
    }
}

}  // namespace

// --- encoding -------------------------------------------------------------------------

TEST_F(FileUrl, EncodingMatchesPythonQuoteWithBothSafeSets) {
    std::mt19937 rng(20240611);
    std::vector<std::u32string> cases;
    // Every ASCII byte alone, then mixed strings (lone surrogates included:
    // they travel as their 3-byte form, as surrogatepass writes them).
    for (uint32_t c = 0; c < 0x80; ++c) cases.push_back(std::u32string(1, c));
    for (int i = 0; i < 250; ++i) {
        std::u32string t;
        const int n = static_cast<int>(rng() % 12);
        for (int k = 0; k < n; ++k) t.push_back(random_code_point(rng, true));
        cases.push_back(t);
    }
    const std::string out = test::python(
        "import json, urllib.parse as u\n"
        "for cps in json.loads('" + json_of(cases) + "'):\n"
        "    s = ''.join(map(chr, cps))\n"
        "    print(u.quote(s, safe=\"!#$&'()*+,/:=?@\", encoding='utf-8', errors='surrogatepass'))\n"
        "    print(u.quote(s, safe='', encoding='utf-8', errors='surrogatepass'))\n"
        "print('END')\n");
    const std::vector<std::string> expected = lines_of(out);
    ASSERT_EQ(expected.size(), 2 * cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(encoded(cases[i], url::url_class), ascii(expected[2 * i])) << i;
        EXPECT_EQ(encoded(cases[i], url::string_class), ascii(expected[2 * i + 1])) << i;
    }
    // The class tables agree with the single-character answers above.
    for (uint32_t c = 0; c < 0x80; ++c) {
        EXPECT_EQ(url::keeps_q(url::url_class, static_cast<uint8_t>(c)), expected[2 * c].size() == 1) << c;
        EXPECT_EQ(url::keeps_q(url::string_class, static_cast<uint8_t>(c)), expected[2 * c + 1].size() == 1) << c;
    }
}

TEST_F(FileUrl, EncodingTable) {
    struct row {
        std::u32string text;
        const char* url_class;
        const char* string_class;
    };
    const row rows[] = {
        {U"a b", "a%20b", "a%20b"},
        {U"\u00E9", "%C3%A9", "%C3%A9"},
        {U"/", "/", "%2F"},
        {U"~-._", "~-._", "~-._"},
        {U"%", "%25", "%25"},
        {U"\x7F\x80", "%7F%C2%80", "%7F%C2%80"},
        {U"\U0001F600", "%F0%9F%98%80", "%F0%9F%98%80"},
        {U"", "", ""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(encoded(r.text, url::url_class), ascii(r.url_class)) << r.url_class;
        EXPECT_EQ(encoded(r.text, url::string_class), ascii(r.string_class)) << r.string_class;
    }
    // From the head only; the target keeps 1-byte units.
    kel_value src = text_v(U"x y\u4E2D");
    set_series_head(&src, 1);
    kel_value* out = fresh_string();
    url::encode(&src, out, url::url_class);
    EXPECT_EQ(test::text(*out), U"%20y%E4%B8%AD");
    EXPECT_EQ(test::unit_of(*out), 1u);
    // A code point beyond Unicode cannot be encoded.
    const kel_value bad = str(std::u32string(U"a") + char32_t(0x110000), 4);
    EXPECT_TRUE(fires([&] { url::encode(&bad, fresh_string(), url::url_class); }, "invalid-char"));
    EXPECT_EQ(get_integer(&last_fired().args[0]), 0x110000);

    char text[3];
    EXPECT_EQ(url::escape_byte(url::url_class, '/', text), 1);
    EXPECT_EQ(text[0], '/');
    EXPECT_EQ(url::escape_byte(url::string_class, '/', text), 3);
    EXPECT_EQ(std::string(text, 3), "%2F");
    EXPECT_EQ(url::escape_byte(url::url_class, 0xAB, text), 3);
    EXPECT_EQ(std::string(text, 3), "%AB");
}

// --- decoding -------------------------------------------------------------------------

TEST_F(FileUrl, DecodingMatchesPythonUnquoteToBytes) {
    // Strings made of literal characters, whole escaped UTF-8 sequences (hex
    // digits in either case) and escapes that are not escapes ("%zz", "%G1",
    // "%" before a non-ASCII character, "%4" at the end). Python's answer is
    // the same whenever no lone lead or continuation byte is escaped.
    std::mt19937 rng(77);
    std::vector<std::u32string> cases;
    const char* hex_upper = "0123456789ABCDEF";
    const char* hex_lower = "0123456789abcdef";
    for (int i = 0; i < 300; ++i) {
        std::u32string t;
        const int tokens = static_cast<int>(rng() % 8);
        for (int k = 0; k < tokens; ++k) {
            switch (rng() % 5) {
                case 0: {  // a literal character, never "%"
                    uint32_t c = random_code_point(rng, false);
                    if (c == '%') c = 'p';
                    t.push_back(c);
                    break;
                }
                case 1:
                case 2: {  // a whole escaped sequence
                    uint32_t c = random_code_point(rng, false);
                    uint8_t bytes[4];
                    const int n = unicode::encode_utf8_char(c, bytes);
                    const char* hex = (rng() & 1) ? hex_upper : hex_lower;
                    for (int j = 0; j < n; ++j) {
                        t.push_back('%');
                        t.push_back(static_cast<uint8_t>(hex[bytes[j] >> 4]));
                        t.push_back(static_cast<uint8_t>(hex[bytes[j] & 15]));
                    }
                    break;
                }
                case 3: {  // not an escape
                    static const std::u32string bad[] = {U"%zz", U"%G1", U"%\u00E9", U"%-", U"%%41"};
                    t += bad[rng() % 5];
                    break;
                }
                default:
                    t += U"%41";
            }
        }
        if (rng() % 5 == 0) t += U"%4";
        cases.push_back(t);
    }
    const std::string out = test::python(
        "import json, urllib.parse as u\n"
        "for cps in json.loads('" + json_of(cases) + "'):\n"
        "    s = ''.join(map(chr, cps))\n"
        "    print([ord(c) for c in u.unquote_to_bytes(s).decode('utf-8')])\n"
        "print('END')\n");
    const std::vector<std::string> expected = lines_of(out);
    ASSERT_EQ(expected.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(decoded(cases[i]), code_points_of(expected[i])) << i;
}

TEST_F(FileUrl, DecodingKeepsUnusableEscapesAsText) {
    struct row {
        std::u32string source;
        std::u32string text;
    };
    const row rows[] = {
        {U"a%20b", U"a b"},
        {U"%C3%A9", U"\u00E9"},
        {U"%c3%a9", U"\u00E9"},
        {U"%E9", U"%E9"},            // a lead without its continuation: copied
        {U"%E9%41", U"%E9A"},        // one continuation short: the "%" stays, "%41" still decodes
        {U"%zz", U"%zz"},
        {U"%4", U"%4"},
        {U"%", U"%"},
        {U"%41%42", U"AB"},
        {U"%80", U"\u0080"},         // a continuation byte alone is its Latin-1 code point
        {U"%BF%20", U"\u00BF "},
        {U"%F0%9F%98%80", U"\U0001F600"},
        {U"\u00E9%20\U0001F600", U"\u00E9 \U0001F600"},
        {U"\uFFFE%21", U"\uFFFE!"},  // literal text is copied as it is
        {U"%%25", U"%%"},
        {U"", U""},
    };
    for (const row& r : rows) EXPECT_EQ(decoded(r.source), r.text) << test::utf8(r.source);

    // Escaped sequences that are whole but malformed raise invalid-utf8 with the bytes.
    struct bad {
        std::u32string source;
        std::vector<uint8_t> bytes;
    };
    const bad bads[] = {
        {U"%C3%28", {0xC3, 0x28}},
        {U"x%ED%B2%80", {0xED, 0xB2, 0x80}},
        {U"%EF%BF%BE", {0xEF, 0xBF, 0xBE}},
        {U"%F8%80%80%80", {0xF8, 0x80, 0x80, 0x80}},
        {U"%C0%80", {0xC0, 0x80}},  // overlong forms are as malformed as any
        {U"%C0%AF", {0xC0, 0xAF}},
        {U"%E0%80%AF", {0xE0, 0x80, 0xAF}},
    };
    for (const bad& x : bads) {
        EXPECT_TRUE(fires([&] { decoded(x.source); }, "invalid-utf8")) << test::utf8(x.source);
        EXPECT_EQ(last_fired().category, error_category::access);
        const std::u32string arg = test::text(last_fired().args[0]);
        EXPECT_EQ(std::vector<uint8_t>(arg.begin(), arg.end()), x.bytes);
    }
    // The source is read from its head, at any unit width.
    kel_value src = str(U"skip%E4%B8%AD\u4E2D", 2);
    set_series_head(&src, 4);
    kel_value* out = fresh_string();
    url::decode(&src, out);
    EXPECT_EQ(test::text(*out), U"\u4E2D\u4E2D");

    const uint8_t pair[] = {'%', '4', 'f'};
    uint8_t byte = 0;
    EXPECT_TRUE(url::hex_pair_q(pair, pair + 3, &byte));
    EXPECT_EQ(byte, 0x4F);
    EXPECT_FALSE(url::hex_pair_q(pair, pair + 2, &byte));
}

TEST_F(FileUrl, LexerConstructorsDecodeTheirText) {
    kel_value* cell = block::make_at_tail(nullptr, 1);
    const std::string token = "http://h/a%20b/\xC3\xA9";
    url::make_at(cell, types::url, reinterpret_cast<const uint8_t*>(token.data()),
                 static_cast<uint32_t>(token.size()), true);
    EXPECT_EQ(type_of(cell), types::url);
    EXPECT_EQ(test::text(*cell), U"http://h/a b/\u00E9");
    url::make_at(cell, types::url, reinterpret_cast<const uint8_t*>(token.data()),
                 static_cast<uint32_t>(token.size()), false);
    EXPECT_EQ(test::text(*cell), U"http://h/a%20b/\u00E9");
    const std::string name = "dir%20x/%C3%A9";
    file::make_from_utf8(cell, reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size()), true);
    EXPECT_EQ(type_of(cell), types::file);
    EXPECT_EQ(test::text(*cell), U"dir x/\u00E9");
    EXPECT_EQ(test::mold(*cell), "%\"dir x/\u00E9\"");
    EXPECT_EQ(stack::depth(), 0);
    const std::string broken = "a\xC3";
    EXPECT_TRUE(fires([&] { file::make_from_utf8(cell, reinterpret_cast<const uint8_t*>(broken.data()), 2, true); },
                      "invalid-utf8"));
}

// --- url! --------------------------------------------------------------------------------

TEST_F(FileUrl, UrlMoldEncodesAndFormDoesNot) {
    struct row {
        std::u32string text;
        const char* mold;
    };
    const row rows[] = {
        {U"http://example.com/a b", "http://example.com/a%20b"},
        {U"http://h/\u00E9?q=1&r=[2]", "http://h/%C3%A9?q=1&r=%5B2%5D"},
        {U"ftp://x/~user-1._", "ftp://x/~user-1._"},
        {U"mailto:a\"b", "mailto:a%22b"},
        {U"s:50%", "s:50%25"},
        {U"", ""},
    };
    for (const row& r : rows) {
        const kel_value u = text_v(r.text, types::url);
        EXPECT_EQ(test::mold(u), r.mold);
        EXPECT_EQ(test::form(u), test::utf8(r.text));
    }
    const kel_value u = text_v(U"a b c", types::url);
    int32_t left = 0;
    EXPECT_EQ(with_budget(u, 4, &left), "a%20");
    EXPECT_EQ(left, 0);
    EXPECT_EQ(with_budget(u, 2, &left), "a%");
    EXPECT_EQ(left, 0);
    EXPECT_EQ(with_budget(u, 100, &left), "a%20b%20c");
    EXPECT_EQ(left, 91);
}

// An empty url writes nothing and leaves the budget to what follows it.
TEST_F(FileUrl, EmptyUrlKeepsTheBudgetOfItsBlock) {
    const kel_value empty = str(U"", 1, types::url);
    int32_t left = 0;
    EXPECT_EQ(with_budget(empty, 10, &left), "");
    EXPECT_EQ(left, 10);
    const kel_value blk = b({empty, 1, 2});
    EXPECT_EQ(with_budget(blk, 100, &left), "[ 1 2]");
    EXPECT_EQ(left, 94);
}

TEST_F(FileUrl, UrlFromBlock) {
    kel_value frag;
    issue::init_cell(&frag, "frag");
    struct row {
        kel_value spec;
        const char* text;
    };
    const row rows[] = {
        {b({w("http"), w("example.com"), 8080, w("a"), w("b"), frag}), "http://example.com:8080/a/b#frag"},
        {b({w("http"), w("host")}), "http://host"},
        {b({w("https"), w("host"), w("a")}), "https://host/a"},
        {b({w("ftp"), w("h"), w("x"), 21}), "ftp://h/x/21"},
        {b({w("ftp")}), "ftp://"},
        {b({w("s"), str(U"h h"), 1, frag}), "s://h h:1#frag"},
    };
    for (const row& r : rows) {
        for (int a : {act::make, act::to}) {
            test::entry_call c;
            const kel_value made = c.arg(test::type_v(types::url)).arg(r.spec).run(actions::entry(a));
            EXPECT_EQ(type_of(&made), types::url);
            EXPECT_EQ(test::utf8(test::text(made)), r.text);
        }
    }
    kel_value p = b({w("http"), w("h")});
    set_type(&p, types::paren);
    test::entry_call c;
    EXPECT_EQ(test::text(c.arg(test::type_v(types::url)).arg(p).run(actions::to_star)), U"http://h");
    // An empty block (from its head) is refused.
    kel_value emptied = b({w("http")});
    set_series_head(&emptied, 1);
    EXPECT_TRUE(fires([&] { test::entry_call().arg(test::type_v(types::url)).arg(emptied).run(actions::to_star); },
                      "bad-to-arg"));
    EXPECT_EQ(get_datatype(&last_fired().args[0]), static_cast<uint32_t>(types::url));
    stack::reset();
    // Other specs, and file! from a block, are string!'s make and to.
    test::entry_call s;
    const kel_value from_text = s.arg(test::type_v(types::url)).arg(str(U"a b")).run(actions::to_star);
    EXPECT_EQ(type_of(&from_text), types::url);
    EXPECT_EQ(test::text(from_text), U"a b");
    test::entry_call f;
    const kel_value file_from_block = f.arg(test::type_v(types::file)).arg(b({w("a"), w("b")})).run(actions::to_star);
    EXPECT_EQ(type_of(&file_from_block), types::file);
    EXPECT_EQ(test::text(file_from_block), U"ab");
}

TEST_F(FileUrl, PathStepsJoinWithOneSlash) {
    kel_value key_value = str(U"from-word");
    kel_value gw = w("kel-url-key");
    *word::get_in(word_context(&gw), word_index(&gw)) = key_value;
    set_type(&gw, types::get_word);
    struct row {
        kel_value parent;
        kel_value key;
        std::u32string text;
    };
    const row rows[] = {
        {str(U"http://a/", 1, types::url), w("b"), U"http://a/b"},
        {str(U"http://a", 1, types::url), w("b"), U"http://a/b"},
        {str(U"http://a/", 1, types::url), str(U"/c"), U"http://a/c"},
        {str(U"http://a", 1, types::url), str(U"/c"), U"http://a/c"},
        {str(U"http://a", 1, types::url), int_v(1), U"http://a/1"},
        {str(U"http://a", 1, types::url), gw, U"http://a/from-word"},
        {str(U"dir", 1, types::file), str(U"n\u00E9", 1), U"dir/n\u00E9"},
        {str(U"d\u4E2D/", 2, types::file), w("x"), U"d\u4E2D/x"},
        {str(U"", 1, types::file), w("x"), U"/x"},
    };
    for (const row& r : rows) {
        const std::u32string before = test::text(r.parent);
        kel_value parent = r.parent;
        kel_value result;
        path_step_args a{};
        a.parent = &parent;
        a.element = &r.key;
        a.result = &result;
        EXPECT_EQ(registry::path_handler(type_of(&parent))(a), signal_code::none);
        EXPECT_EQ(type_of(&result), type_of(&r.parent));
        EXPECT_EQ(test::text(result), r.text);
        EXPECT_EQ(test::text(r.parent), before);  // the parent is left as it was
        EXPECT_NE(series_node(&result), series_node(&r.parent));
    }
    EXPECT_EQ(stack::depth(), 0);
    // The parent's text is taken from its head.
    kel_value mid = str(U"http://a/b/", 1, types::url);
    set_series_head(&mid, 7);
    kel_value result;
    const kel_value key = w("c");
    path_step_args a{};
    a.parent = &mid;
    a.element = &key;
    a.result = &result;
    (void)url::eval_path(a);
    EXPECT_EQ(test::text(result), U"a/b/c");
    // Setting through a url is refused.
    const kel_value v = int_v(1);
    const kel_value path = b({1});
    a.value_to_set = &v;
    a.path = &path;
    EXPECT_TRUE(fires([&] { (void)url::eval_path(a); }, "bad-path-set"));
    EXPECT_EQ(series_node(&last_fired().args[0]), series_node(&path));
}

// --- url services through stand-in hooks ---------------------------------------------------

namespace {

struct http_log {
    int calls = 0;
    std::string method;
    std::u32string url;
    std::string headers;  // molded, or "none"
    std::string data;     // molded, or "none"
    uint32_t data_type = 0;
    bool binary = false, lines = false, info = false;
    bool answer = true;
} http;

bool fake_http(const url::http_request& q, kel_value* result) {
    ++http.calls;
    http.method = test::mold(*q.method);
    http.url = test::text(*q.url);
    http.headers = q.headers ? test::mold(*q.headers) : "none";
    http.data = q.data ? test::mold(*q.data) : "none";
    http.data_type = q.data ? type_of(q.data) : 0;
    http.binary = q.binary;
    http.lines = q.lines;
    http.info = q.info;
    if (!http.answer) return false;
    set_integer(result, 200);
    return true;
}

std::u32string parsed_text;
uint32_t parsed_node = 0;
int ports_made = 0;

void fake_parse_answering_none(const kel_value* u, kel_value* result) {
    parsed_text = test::text(*u);
    parsed_node = series_node(u);
    set_none(result);
}

void fake_make_port(const kel_value*, kel_value* result) {
    ++ports_made;
    set_none(result);
}

}  // namespace

TEST_F(FileUrl, HttpReadAndWriteGoToTheRequestService) {
    http = {};
    const kel_value u = str(U"https://h/x", 1, types::url);
    // No service yet: not-done.
    EXPECT_TRUE(fires([&] { test::entry_call().arg(u).run(actions::read_star); }, "not-done"));
    stack::reset();
    url::hooks.http_call = fake_http;

    test::entry_call r1;
    const kel_value got = r1.arg(u).flag(ar::read_ref::binary).flag(ar::read_ref::info).run(actions::read_star);
    EXPECT_EQ(get_integer(&got), 200);
    EXPECT_EQ(http.method, "get");
    EXPECT_EQ(http.url, U"https://h/x");
    EXPECT_EQ(http.headers, "none");
    EXPECT_EQ(http.data, "none");
    EXPECT_TRUE(http.binary && http.info && !http.lines);

    for (int refinement : {ar::read_ref::part, ar::read_ref::seek, ar::read_ref::as}) {
        EXPECT_TRUE(fires([&] { test::entry_call().arg(u).ref(refinement, int_v(1)).run(actions::read_star); },
                          "not-done"));
        stack::reset();
    }
    http.answer = false;
    EXPECT_TRUE(fires([&] { test::entry_call().arg(u).run(actions::read_star); }, "no-connect"));
    EXPECT_EQ(last_fired().category, error_category::access);
    EXPECT_EQ(test::text(last_fired().args[0]), U"https://h/x");
    stack::reset();
    http.answer = true;

    struct row {
        kel_value value;
        const char* method;
        const char* headers;
        const char* data;
    };
    const row rows[] = {
        {b({w("put"), b({w("Accept"), str(U"*")}), str(U"body")}), "put", "[Accept \"*\"]", "\"body\""},
        {b({w("delete")}), "delete", "none", "none"},
        {b({w("head"), b({})}), "head", "[]", "none"},
        {b({}), "get", "none", "[]"},
        {str(U"form"), "post", "none", "\"form\""},
    };
    for (const row& r : rows) {
        test::entry_call c;
        const kel_value answer = c.arg(u).arg(r.value).flag(ar::write_ref::lines).run(actions::write_star);
        EXPECT_EQ(get_integer(&answer), 200);
        EXPECT_EQ(http.method, r.method);
        EXPECT_EQ(http.headers, r.headers);
        EXPECT_EQ(http.data, r.data) << r.method;
        EXPECT_TRUE(http.lines);
        EXPECT_EQ(stack::depth(), 0);
    }
    test::entry_call with_binary;
    (void)with_binary.arg(u).arg(test::bin({1, 2})).run(actions::write_star);
    EXPECT_EQ(http.method, "post");
    EXPECT_EQ(http.data_type, static_cast<uint32_t>(types::binary));
    const kel_value bad_values[] = {
        b({str(U"put")}),                       // the method must be a word
        b({w("put"), str(U"h")}),               // the headers a block
        b({w("put"), b({}), int_v(3)}),         // the data a block, string or binary
        b({w("put"), b({}), str(U"x"), int_v(4)}),
        test::none_v(),
        int_v(5),
    };
    for (const kel_value& v : bad_values) {
        EXPECT_TRUE(fires([&] { test::entry_call().arg(u).arg(v).run(actions::write_star); }, "invalid-arg"))
            << test::mold(v);
        stack::reset();
    }
    for (int refinement : {ar::write_ref::seek, ar::write_ref::allow}) {
        EXPECT_TRUE(fires([&] {
            test::entry_call().arg(u).arg(str(U"x")).ref(refinement, b({})).run(actions::write_star);
        }, "not-done"));
        stack::reset();
    }
}

TEST_F(FileUrl, OtherSchemesGoThroughAPort) {
    const kel_value u = str(U"ftp://h/x", 1, types::url);
    EXPECT_TRUE(fires([&] { test::entry_call().arg(u).run(actions::read_star); }, "not-done"));
    stack::reset();
    url::hooks.http_call = fake_http;
    url::hooks.parse_url = fake_parse_answering_none;
    url::hooks.make_port = fake_make_port;
    http = {};
    ports_made = 0;
    // The parser sees a copy of the url; an answer that is no object is refused.
    for (action_fn entry : {actions::read_star, actions::open_star}) {
        EXPECT_TRUE(fires([&] { test::entry_call().arg(u).run(entry); }, "invalid-arg"));
        EXPECT_EQ(test::text(last_fired().args[0]), U"ftp://h/x");
        EXPECT_EQ(parsed_text, U"ftp://h/x");
        EXPECT_NE(parsed_node, series_node(&u));
        stack::reset();
    }
    EXPECT_TRUE(fires([&] { test::entry_call().arg(u).arg(str(U"x")).run(actions::write_star); }, "invalid-arg"));
    EXPECT_EQ(http.calls, 0);
    EXPECT_EQ(ports_made, 0);
}

// --- file! ----------------------------------------------------------------------------

TEST_F(FileUrl, FileMoldQuotesWhenNeeded) {
    struct row {
        std::u32string name;
        std::string mold;
    };
    const row rows[] = {
        {U"a.txt", "%a.txt"},
        {U"/c/data/x.txt", "%/c/data/x.txt"},
        {U"dir/sub/", "%dir/sub/"},
        {U"~!#$&'*+,-.=?_", "%~!#$&'*+,-.=?_"},
        // The characters that end a bare file token.
        {U"a:b@c(d)", "%\"a:b@c(d)\""},
        {U"caf\u00E9", "%caf\u00E9"},           // non-ASCII never forces quotes
        {U"x\x7F", "%x\x7F"},
        {U"\u0085\u4E2D", "%\u0085\u4E2D"},
        {U"a b", "%\"a b\""},
        {U"", "%\"\""},
        {U"50%", "%\"50%\""},
        {U"a;b", "%\"a;b\""},
        {U"<x>", "%\"<x>\""},
        {U"[1]", "%\"[1]\""},
        {U"a\\b", "%\"a\\b\""},
        {U"{|}", "%\"{|}\""},
        {U"`", "%\"`\""},
        // Inside quotes the lexer's escape characters are escaped; a double
        // quote ends the quoted token even after a caret, so it goes in as
        // its code point.
        {U"a\"b", "%\"a^(22)b\""},
        {U"a^b", "%\"a^^b\""},
        {U"tab\there", "%\"tab^-here\""},
        {U"a b\u0085", "%\"a b^(85)\""},
        {U"new\nline", "%\"new^/line\""},
    };
    for (const row& r : rows) {
        const kel_value f = text_v(r.name, types::file);
        EXPECT_EQ(test::mold(f), r.mold);
        EXPECT_EQ(test::form(f), test::utf8(r.name));
    }
    kel_value f = str(U"xabc", 1, types::file);
    set_series_head(&f, 1);
    EXPECT_EQ(test::mold(f), "%abc");
    set_series_head(&f, 4);
    EXPECT_EQ(test::mold(f), "%\"\"");
    // /part limits the range; the budget counts what is written.
    int32_t left = 0;
    const kel_value long_name = str(U"abcdef", 1, types::file);
    EXPECT_EQ(with_budget(long_name, 3, &left), "%abc");
    EXPECT_EQ(left, -1);
    const kel_value spaced = str(U"a b c", 1, types::file);
    EXPECT_EQ(with_budget(spaced, 3, &left), "%\"a b\"");
    EXPECT_EQ(left, -3);
    EXPECT_EQ(with_budget(spaced, 50, &left), "%\"a b c\"");
    EXPECT_EQ(left, 42);
    const kel_value blk = b({str(U"", 1, types::file), str(U"", 1, types::url), 3});
    EXPECT_EQ(test::mold(blk), "[%\"\"  3]");
}

TEST_F(FileUrl, OsNamesDecodeLenientlyAndRoundTrip) {
    // Byte strings mixing good UTF-8, cut sequences, overlong forms, encoded
    // surrogates, code points beyond Unicode and bytes no UTF-8 uses.
    std::mt19937 rng(4242);
    std::vector<std::u32string> cases;
    const std::vector<std::vector<uint8_t>> pieces = {
        {'a'}, {'/'}, {0xC3, 0xA9}, {0xE4, 0xB8, 0xAD}, {0xF0, 0x9F, 0x98, 0x80}, {0xC3}, {0xE4, 0xB8},
        {0xC0, 0x80}, {0xE0, 0x80, 0x80}, {0xED, 0xA0, 0x80}, {0xED, 0xB2, 0x80}, {0xF4, 0x90, 0x80, 0x80},
        {0xFF}, {0xFE}, {0x80}, {0xBF}, {0xEF, 0xBF, 0xBE}, {0xF5, 0x80}, {0x7F}, {' '},
    };
    for (int i = 0; i < 300; ++i) {
        std::u32string bytes;
        const int n = static_cast<int>(rng() % 8);
        for (int k = 0; k < n; ++k) {
            if (rng() % 4 == 0) {
                bytes.push_back(1 + rng() % 255);
            } else {
                for (uint8_t x : pieces[rng() % pieces.size()]) bytes.push_back(x);
            }
        }
        cases.push_back(bytes);
    }
    const std::string out = test::python(
        "import json\n"
        "for bs in json.loads('" + json_of(cases) + "'):\n"
        "    print([ord(c) for c in bytes(bs).decode('utf-8', 'surrogateescape')])\n"
        "print('END')\n");
    const std::vector<std::string> expected = lines_of(out);
    ASSERT_EQ(expected.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string bytes(cases[i].begin(), cases[i].end());
        kel_value* cell = block::make_at_tail(nullptr, 1);
        file::make_from_os_path(cell, bytes.data(), bytes.size());
        EXPECT_EQ(type_of(cell), types::file);
        EXPECT_EQ(test::text(*cell), code_points_of(expected[i])) << i;
        EXPECT_EQ(file::to_os_path(cell), bytes) << i;
    }
}

TEST_F(FileUrl, OsPathConversionTable) {
    struct row {
        std::u32string name;
        std::string os;
    };
    const row rows[] = {
        {U"/c/x/y.txt", "/c/x/y.txt"},
        {U"/", "/"},
        {U"//a", "//a"},
        {U"a/b", "a/b"},
        {U"./x/../y", "./x/../y"},     // nothing is resolved
        {U"a%20b", "a%20b"},           // nor decoded
        {U"a\\b", "a\\b"},
        {U"caf\u00E9", "caf\xC3\xA9"},
        {U"\U0001F600", "\xF0\x9F\x98\x80"},
        {U"k\xDCFF\xDC80", "k\xFF\x80"},      // the bytes a lenient load kept
        {U"\xD800", "\xED\xA0\x80"},          // any other surrogate goes out as its 3 bytes
        {U"\xDC41", "\xED\xB1\x81"},
        {U"", ""},
    };
    for (const row& r : rows) {
        const kel_value f = text_v(r.name, types::file);
        EXPECT_EQ(file::to_os_path(&f), r.os) << r.os;
        kel_value* target = fresh_string();
        file::convert_to_os_path(&f, target, false);
        EXPECT_EQ(test::text(*target), r.name);
    }
    // Whatever width the name is stored in, the same UTF-8 goes to the system.
    for (uint32_t unit : {1u, 2u, 4u}) {
        const kel_value f = str(U"caf\u00E9", unit, types::file);
        EXPECT_EQ(file::to_os_path(&f), "caf\xC3\xA9") << unit;
    }
    const kel_value nul = str(std::u32string(U"a") + U'\0' + U"b", 1, types::file);
    EXPECT_TRUE(fires([&] { (void)file::to_os_path(&nul); }, "invalid-arg"));
    EXPECT_EQ(last_fired().category, error_category::script);
    const kel_value beyond = str(std::u32string(U"a") + char32_t(0x110000), 4, types::file);
    EXPECT_TRUE(fires([&] { (void)file::to_os_path(&beyond); }, "invalid-char"));

    // With the full flag a relative path gets the current directory in front.
    std::u32string cwd;
    {
        const std::string here = platform::get_current_dir();
        kel_value* t = fresh_string();
        file::append_os_text(t, here.data(), here.size());
        cwd = test::text(*t);
        if (cwd.empty() || cwd.back() != U'/') cwd += U'/';
    }
    kel_value* target = fresh_string();
    const kel_value rel = str(U"a/b", 1, types::file);
    file::convert_to_os_path(&rel, target, true);
    EXPECT_EQ(test::text(*target), cwd + U"a/b");
    target = fresh_string();
    const kel_value abs = str(U"/x", 1, types::file);
    file::convert_to_os_path(&abs, target, true);
    EXPECT_EQ(test::text(*target), U"/x");
}

TEST_F(FileUrl, CurrentDirEndsWithOneSlash) {
    const std::string saved = platform::get_current_dir();
    char dir_template[] = "/tmp/kel-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string odd = std::string(dir_template) + "/k\xFF\xC3";
    ASSERT_EQ(::mkdir(odd.c_str(), 0700), 0) << errno;

    ASSERT_TRUE(platform::set_current_dir("/"));
    kel_value* root = file::get_current_dir();
    EXPECT_EQ(type_of(root), types::file);
    EXPECT_EQ(test::text(*root), U"/");

    ASSERT_TRUE(platform::set_current_dir(odd));
    kel_value* here = file::get_current_dir();
    const std::u32string t = test::text(*here);
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t.substr(t.size() - 4), std::u32string(U"k\xDCFF\xDCC3/"));
    EXPECT_EQ(file::to_os_path(here), odd + "/");
    const kel_value* pushed = file::push(here);
    EXPECT_EQ(pushed, stack::top() - 1);
    EXPECT_EQ(series_node(pushed), series_node(here));

    ASSERT_TRUE(platform::set_current_dir(saved));
    ::rmdir(odd.c_str());
    ::rmdir(dir_template);
}

// --- file services through stand-in hooks --------------------------------------------------

namespace {

struct file_log {
    int reads = 0, writes = 0;
    std::string part, seek, value;
    bool binary = false, lines = false, append = false;
    std::u32string from, to;
} files;

void fake_read(const kel_value* f, const kel_value* part, const kel_value* seek, bool binary, bool lines,
               kel_value* result) {
    ++files.reads;
    files.from = test::text(*f);
    files.part = part ? test::mold(*part) : "none";
    files.seek = seek ? test::mold(*seek) : "none";
    files.binary = binary;
    files.lines = lines;
    set_integer(result, 42);
}

void fake_write(const kel_value* f, const kel_value* value, const kel_value* part, const kel_value* seek, bool binary,
                bool append, bool lines) {
    ++files.writes;
    files.from = test::text(*f);
    files.value = test::mold(*value);
    files.part = part ? test::mold(*part) : "none";
    files.seek = seek ? test::mold(*seek) : "none";
    files.binary = binary;
    files.append = append;
    files.lines = lines;
}

bool fake_remove(const kel_value* f) { return test::text(*f) == U"present"; }
bool fake_move(const kel_value* from, const kel_value* to) {
    files.from = test::text(*from);
    files.to = test::text(*to);
    return true;
}
void fake_date(const kel_value*, kel_value* result) { set_integer(result, 7); }

}  // namespace

TEST_F(FileUrl, FileActionsGoToTheFileServices) {
    files = {};
    const kel_value f = str(U"dir/x.txt", 1, types::file);
    for (action_fn entry : {actions::read_star, actions::delete_star, actions::query_star}) {
        EXPECT_TRUE(fires([&] { test::entry_call().arg(f).run(entry); }, "not-done"));
        stack::reset();
    }
    file::hooks = {fake_read, fake_write, fake_remove, fake_move, fake_date};

    // /info changes nothing; /as is reserved.
    for (bool info : {false, true}) {
        test::entry_call c;
        c.arg(f).ref(ar::read_ref::part, int_v(10)).flag(ar::read_ref::lines);
        if (info) c.flag(ar::read_ref::info);
        const kel_value got = c.run(actions::read_star);
        EXPECT_EQ(get_integer(&got), 42);
        EXPECT_EQ(files.from, U"dir/x.txt");
        EXPECT_EQ(files.part, "10");
        EXPECT_EQ(files.seek, "none");
        EXPECT_TRUE(files.lines && !files.binary);
    }
    EXPECT_EQ(files.reads, 2);
    EXPECT_TRUE(fires([&] { test::entry_call().arg(f).ref(ar::read_ref::as, w("utf-8")).run(actions::read_star); },
                      "not-done"));
    stack::reset();

    test::entry_call wc;
    const kel_value written = wc.arg(f).arg(str(U"text")).flag(ar::write_ref::append).ref(ar::write_ref::seek, int_v(3))
                                  .run(actions::write_star);
    EXPECT_EQ(type_of(&written), types::unset);
    EXPECT_EQ(files.value, "\"text\"");
    EXPECT_EQ(files.seek, "3");
    EXPECT_TRUE(files.append);
    EXPECT_TRUE(fires([&] { test::entry_call().arg(f).arg(str(U"x")).ref(ar::write_ref::allow, b({})).run(
                                actions::write_star); },
                      "not-done"));
    stack::reset();

    test::entry_call d1, d2, rn, q;
    const kel_value present = d1.arg(str(U"present", 1, types::file)).run(actions::delete_star);
    EXPECT_TRUE(get_logic(&present));
    const kel_value absent = d2.arg(str(U"absent", 1, types::file)).run(actions::delete_star);
    EXPECT_EQ(type_of(&absent), types::logic);
    EXPECT_FALSE(get_logic(&absent));
    const kel_value renamed = rn.arg(f).arg(str(U"y.txt", 1, types::file)).run(actions::rename_star);
    EXPECT_TRUE(get_logic(&renamed));
    EXPECT_EQ(files.to, U"y.txt");
    const kel_value date = q.arg(f).run(actions::query_star);
    EXPECT_EQ(get_integer(&date), 7);
}

TEST_F(FileUrl, RowsOfFileAndUrl) {
    for (int a = 1; a <= act::count; ++a) {
        const bool url_own = a == act::make || a == act::to || a == act::mold || a == act::path_step ||
                             a == act::open || a == act::read || a == act::write;
        const bool url_none = a == act::random || a == act::reflect || a == act::unused8 ||
                              (a >= act::absolute && a <= act::xor_) || a == act::put || a == act::sort ||
                              a == act::trim || (a >= act::create && a <= act::delete_) || a == act::open_q ||
                              a == act::query || a == act::rename || a == act::update;
        if (url_none) {
            EXPECT_FALSE(registry::supported(types::url, a)) << a;
        } else if (url_own) {
            EXPECT_TRUE(registry::supported(types::url, a)) << a;
            EXPECT_NE(registry::slot_at(types::url, a).any, registry::slot_at(types::string, a).any) << a;
        } else {
            EXPECT_EQ(registry::slot_at(types::url, a).any, registry::slot_at(types::string, a).any) << a;
        }
        const bool file_own = a == act::mold || a == act::delete_ || a == act::query || a == act::read ||
                              a == act::rename || a == act::write;
        const bool file_none = a == act::random || a == act::reflect || a == act::unused8 ||
                               (a >= act::absolute && a <= act::xor_) || a == act::put || a == act::sort ||
                               a == act::trim || a == act::create || a == act::close || a == act::open ||
                               a == act::open_q || a == act::update;
        if (file_none) {
            EXPECT_FALSE(registry::supported(types::file, a)) << a;
        } else if (file_own) {
            EXPECT_TRUE(registry::supported(types::file, a)) << a;
            EXPECT_NE(registry::slot_at(types::file, a).any, registry::slot_at(types::url, a).any) << a;
        } else {
            EXPECT_EQ(registry::slot_at(types::file, a).any, registry::slot_at(types::url, a).any) << a;
        }
    }
    EXPECT_EQ(registry::parent_ids[types::file], types::url);
    EXPECT_EQ(registry::parent_ids[types::url], types::string);
    // Comparison is string!'s: a url equals a string of the same text.
    const kel_value u = str(U"HTTP://A", 1, types::url);
    const kel_value s = str(U"http://a");
    EXPECT_TRUE(actions::compare_by_op(&u, &s, cmp::equal));
    EXPECT_FALSE(actions::compare_by_op(&u, &s, cmp::strict_equal));
}
