// append, insert and change (widening, tags, blocks, /part, /dup, shared
// buffers, size errors that leave the string as it was), swap, take, the
// trim variants with the exact whitespace list, and the set operations
// against a Python model.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_string_support.h"

using namespace kel;
using test::call_action;
using test::ref;
using test::str;
using test::text;
using test::unit_of;

namespace {

struct StringModify : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
    }
};

enum { PART, ONLY, DUP };

kel_value at_head(kel_value v, int32_t head) {
    set_series_head(&v, head);
    return v;
}

struct edit_row {
    const char* what;
    std::u32string target;
    uint32_t unit;
    int32_t head;
    kel_value value;
    std::vector<ref> refs;
    std::u32string want;
    int32_t want_head;
    uint32_t want_unit;
};

void run_edits(int action, const std::vector<edit_row>& rows) {
    for (const edit_row& r : rows) {
        kel_value s = at_head(test::text_at(r.target, r.unit), r.head);
        stack::reset();
        stack::push_copy(&s);
        stack::push_copy(&r.value);
        refinements refs = refinements::none();
        for (const ref& x : r.refs) {
            refs.at[x.index] = static_cast<int32_t>(stack::top() - stack::arguments());
            for (const kel_value& a : x.args) stack::push_copy(&a);
        }
        (void)registry::handler(types::string, action)(refs);
        const kel_value result = *stack::arguments();
        EXPECT_EQ(test::utf8(text(at_head(result, 0))), test::utf8(r.want)) << r.what;
        EXPECT_EQ(series_head(&result), r.want_head) << r.what;
        EXPECT_EQ(unit_of(result), r.want_unit) << r.what;
    }
}

}  // namespace

TEST_F(StringModify, Append) {
    const kel_value blk = test::b({str(U"a"), str(U"b"), 1});
    const kel_value pair = test::b({str(U"ab"), str(U"cd")});
    run_edits(act::append, {
        {"dup", U"x", 1, 0, str(U"y"), {{DUP, {test::int_v(3)}}}, U"xyyy", 0, 1},
        {"block: elements formed, no separators", U"", 1, 0, blk, {}, U"ab1", 0, 1},
        {"block part counts elements", U"", 1, 0, blk, {{PART, {test::int_v(2)}}}, U"ab", 0, 1},
        {"block only: part is a character budget", U"", 1, 0, pair, {{PART, {test::int_v(3)}}, {ONLY, {}}}, U"abc", 0, 1},
        {"block part 1 element", U"", 1, 0, pair, {{PART, {test::int_v(1)}}}, U"ab", 0, 1},
        {"block with dup", U">", 1, 0, pair, {{DUP, {test::int_v(2)}}}, U">abcdabcd", 0, 1},
        {"ascii char stays in bytes", U"abc", 1, 2, test::char_v('d'), {}, U"abcd", 0, 1},
        {"latin-1 char widens by the append rule", U"abc", 1, 0, test::char_v(0xE9), {}, U"abc\u00E9", 0, 2},
        {"astral char widens to 4", U"abc", 1, 0, test::char_v(0x1F600), {}, U"abc\U0001F600", 0, 4},
        {"char into wider text", U"\u263A", 2, 0, test::char_v('a'), {{DUP, {test::int_v(2)}}}, U"\u263Aaa", 0, 2},
        {"tag gets its brackets", U"x", 1, 0, str(U"ab", 1, types::tag), {}, U"x<ab>", 0, 1},
        {"tag part counts the brackets", U"x", 1, 0, str(U"ab", 1, types::tag), {{PART, {test::int_v(2)}}}, U"x<a", 0, 1},
        {"tag part 3", U"x", 1, 0, str(U"ab", 1, types::tag), {{PART, {test::int_v(3)}}}, U"x<ab", 0, 1},
        {"string part", U"x", 1, 0, str(U"abcdef"), {{PART, {test::int_v(2)}}}, U"xab", 0, 1},
        {"wider string widens the target", U"x", 1, 0, str(U"\u263A", 2), {}, U"x\u263A", 0, 2},
        {"narrower string into wider target", U"\U0001F600", 4, 0, str(U"ab"), {{DUP, {test::int_v(2)}}},
         U"\U0001F600abab", 0, 4},
        {"formed integer with dup", U"x", 1, 0, test::int_v(12), {{DUP, {test::int_v(3)}}}, U"x121212", 0, 1},
        {"file! text", U"x", 1, 0, str(U"f", 1, types::file), {}, U"xf", 0, 1},
        {"nothing added: the value as it came", U"abc", 1, 2, str(U""), {}, U"abc", 2, 1},
        {"part 0 adds nothing", U"abc", 1, 2, str(U"z"), {{PART, {test::int_v(0)}}}, U"abc", 2, 1},
        {"dup 0 adds nothing", U"abc", 1, 2, str(U"z"), {{DUP, {test::int_v(0)}}}, U"abc", 2, 1},
    });
    // A /part position in the value's own series, and a negative count.
    kel_value v = str(U"abcdef");
    run_edits(act::append, {
        {"part as a position", U"", 1, 0, at_head(v, 1), {{PART, {at_head(v, 3)}}}, U"bc", 0, 1},
        {"negative part: the units before", U"", 1, 0, at_head(v, 4), {{PART, {test::int_v(-2)}}}, U"cd", 0, 1},
    });
    kel_value s = str(U"xy");
    // A char! counts one against /part: 0 adds nothing, 1 adds it.
    kel_value c = str(U"xy");
    call_action(act::append, {c, test::char_v('a')}, {{PART, {test::int_v(0)}}});
    EXPECT_EQ(text(c), U"xy");
    call_action(act::append, {c, test::char_v('a')}, {{PART, {test::int_v(1)}}});
    EXPECT_EQ(text(c), U"xya");
    EXPECT_TRUE(fires([&] { call_action(act::append, {s, str(U"ab")}, {{PART, {str(U"ab")}}}); }, "invalid-refine-arg"));
    // Appending a string to itself.
    call_action(act::append, {s, s});
    EXPECT_EQ(text(s), U"xyxy");
}

TEST_F(StringModify, SizeErrorsLeaveTheStringAsItWas) {
    const int32_t huge = 0x7FFFFFFF;
    for (int action : {act::append, act::insert, act::change}) {
        for (const kel_value& value : {str(U"ab"), test::int_v(12), test::char_v(0x1F600), test::b({str(U"q"), 5})}) {
            kel_value s = str(U"abc");
            set_series_head(&s, 1);
            EXPECT_TRUE(fires([&] { call_action(action, {s, value}, {{DUP, {test::int_v(huge)}}}); }, "no-memory"))
                << action;
            EXPECT_EQ(last_fired().category, error_category::internal);
            EXPECT_EQ(text(at_head(s, 0)), U"abc") << action << " " << type_of(&value);
        }
    }
}

TEST_F(StringModify, Insert) {
    const kel_value pair = test::b({str(U"xx"), str(U"yy")});
    run_edits(act::insert, {
        {"at the head", U"cd", 1, 0, str(U"ab"), {}, U"abcd", 2, 1},
        {"in the middle with dup", U"ab", 1, 1, str(U"X"), {{DUP, {test::int_v(3)}}}, U"aXXXb", 4, 1},
        {"char widens in the middle", U"ab", 1, 1, test::char_v(0x263A), {}, U"a\u263Ab", 2, 2},
        {"wider string widens in the middle", U"abc", 1, 1, str(U"\U0001F600\u00E9", 4), {}, U"a\U0001F600\u00E9bc", 3, 4},
        {"formed value rotated into place", U"ab", 1, 1, test::int_v(123), {}, U"a123b", 4, 1},
        {"formed value cut at part", U"ab", 1, 1, test::b({str(U"xy")}), {{PART, {test::int_v(1)}}}, U"axb", 2, 1},
        {"block in the middle: part is a character budget", U"ab", 1, 1, pair, {{PART, {test::int_v(3)}}},
         U"axxyb", 4, 1},
        {"block at the tail: part counts elements", U"ab", 1, 2, pair, {{PART, {test::int_v(1)}}}, U"abxx", 4, 1},
        {"formed with dup", U"ab", 1, 1, test::int_v(7), {{DUP, {test::int_v(3)}}}, U"a777b", 4, 1},
        {"formed widening text", U"ab", 1, 1, test::b({test::text_at(U"\u263A")}), {}, U"a\u263Ab", 2, 2},
        {"tag", U"ab", 1, 1, str(U"t", 1, types::tag), {}, U"a<t>b", 4, 1},
        {"at the tail: head at the new tail", U"ab", 1, 2, str(U"cd"), {}, U"abcd", 4, 1},
        {"head past the tail inserts at the tail", U"ab", 1, 5, str(U"c"), {}, U"abc", 3, 1},
    });
    // Inserting a string into itself.
    kel_value s = str(U"abc");
    kel_value at1 = at_head(s, 1);
    kel_value r = call_action(act::insert, {at1, s});
    EXPECT_EQ(text(s), U"aabcbc");
    EXPECT_EQ(series_head(&r), 4);
    kel_value t = str(U"abc");
    r = call_action(act::insert, {at_head(t, 1), at_head(t, 2)}, {{DUP, {test::int_v(2)}}});
    EXPECT_EQ(text(t), U"accbc");  // the source as it was before the insert, twice
    EXPECT_EQ(series_head(&r), 3);
}

TEST_F(StringModify, Change) {
    run_edits(act::change, {
        {"same length", U"abcdef", 1, 1, str(U"XY"), {}, U"aXYdef", 3, 1},
        {"part replaces that many", U"abcdef", 1, 1, str(U"XY"), {{PART, {test::int_v(3)}}}, U"aXYef", 3, 1},
        {"part 0 inserts", U"abc", 1, 1, str(U"XY"), {{PART, {test::int_v(0)}}}, U"aXYbc", 3, 1},
        {"part beyond the tail", U"abc", 1, 1, str(U"X"), {{PART, {test::int_v(9)}}}, U"aX", 2, 1},
        {"longer than the rest", U"abc", 1, 2, str(U"XYZ"), {}, U"abXYZ", 5, 1},
        {"dup", U"abcdef", 1, 0, str(U"X"), {{DUP, {test::int_v(2)}}}, U"XXcdef", 2, 1},
        {"char widening", U"abc", 1, 1, test::char_v(0x20AC), {}, U"a\u20ACc", 2, 2},
        {"formed", U"abcdef", 1, 1, test::int_v(42), {}, U"a42def", 3, 1},
        {"formed, part 0", U"abcdef", 1, 1, test::int_v(42), {{PART, {test::int_v(0)}}}, U"a42bcdef", 3, 1},
        {"formed with dup and part", U"abcdef", 1, 1, test::int_v(9), {{DUP, {test::int_v(3)}}, {PART, {test::int_v(1)}}},
         U"a999cdef", 4, 1},
        {"formed widening", U"abcd", 1, 1, test::b({test::text_at(U"\U0001F600")}), {}, U"a\U0001F600cd", 2, 4},
        {"tag", U"abcdef", 1, 0, str(U"t", 1, types::tag), {}, U"<t>def", 3, 1},
        {"at the tail: append", U"ab", 1, 2, str(U"cd"), {}, U"abcd", 4, 1},
        {"head past the tail is clamped", U"ab", 1, 7, test::char_v('c'), {}, U"abc", 3, 1},
    });
    kel_value s = str(U"abcdef");
    kel_value r = call_action(act::change, {at_head(s, 1), str(U"Z")}, {{PART, {at_head(s, 4)}}});
    EXPECT_EQ(text(s), U"aZef");
    EXPECT_EQ(series_head(&r), 2);
    // Changing a string with its own text.
    kel_value t = str(U"abc");
    r = call_action(act::change, {at_head(t, 1), t});
    EXPECT_EQ(text(t), U"aabc");
    EXPECT_EQ(series_head(&r), 4);
    EXPECT_TRUE(fires([&] { call_action(act::change, {t, str(U"x")}, {{PART, {str(U"x")}}}); }, "invalid-refine-arg"));
}

TEST_F(StringModify, SwapAndTake) {
    kel_value a = str(U"abc"), b = at_head(str(U"xyz"), 1);
    call_action(act::swap, {a, b});
    EXPECT_EQ(text(a), U"ybc");
    EXPECT_EQ(text(at_head(b, 0)), U"xaz");
    kel_value w = str(U"\U0001F600!", 4);
    call_action(act::swap, {a, w});
    EXPECT_EQ(text(a), U"\U0001F600bc");
    EXPECT_EQ(unit_of(a), 4u);
    kel_value bytes = test::bin({0x41});
    kel_value e = str(U"\u00E9");
    call_action(act::swap, {e, bytes});
    EXPECT_EQ(text(e), U"A");
    EXPECT_EQ(text(bytes), U"\u00E9");  // the byte 0xE9
    kel_value end = at_head(str(U"q"), 1);
    call_action(act::swap, {a, end});  // one at its tail: nothing
    EXPECT_EQ(text(a), U"\U0001F600bc");
    EXPECT_TRUE(fires([&] { call_action(act::swap, {a, test::int_v(1)}); }, "invalid-arg"));

    kel_value t = str(U"abc");
    kel_value r = call_action(act::take, {t});
    EXPECT_EQ(type_of(&r), types::char_);
    EXPECT_EQ(get_char(&r), U'a');
    r = call_action(act::take, {t}, {{2, {}}});
    EXPECT_EQ(get_char(&r), U'c');
    kel_value u = str(U"\u263Axyz", 2);
    r = call_action(act::take, {u}, {{0, {test::int_v(2)}}});
    EXPECT_EQ(type_of(&r), types::string);
    EXPECT_EQ(text(r), U"\u263Ax");
    EXPECT_EQ(text(u), U"yz");
}

TEST_F(StringModify, TrimVariants) {
    enum { HEAD, TAIL, AUTO, LINES, ALL, WITH };
    struct row { const char* what; std::u32string in; std::vector<ref> refs; std::u32string want; };
    const row rows[] = {
        {"both ends and around line breaks", U"  a  \n  b  ", {}, U"a\nb"},
        {"lines", U"  a  \n  b  ", {{LINES, {}}}, U"a b"},
        {"head", U"  a  \n  b  ", {{HEAD, {}}}, U"a  \n  b  "},
        {"tail", U"  a  \n  b  ", {{TAIL, {}}}, U"  a  \n  b"},
        {"head and tail", U" \t a \n b \n", {{HEAD, {}}, {TAIL, {}}}, U"a \n b"},
        {"all: tab, line feed, return, space", U" a\tb\r\nc \u00A0", {{ALL, {}}}, U"abc\u00A0"},
        {"with a char", U"banana", {{WITH, {test::char_v('a')}}}, U"bnn"},
        {"with all and a char", U"banana", {{ALL, {}}, {WITH, {test::char_v('a')}}}, U"bnn"},
        {"with an integer", U"banana", {{WITH, {test::int_v('n')}}}, U"baaa"},
        {"with a string", U"banana", {{WITH, {str(U"an")}}}, U"b"},
        {"with an empty set", U" x ", {{WITH, {str(U"")}}}, U" x "},
        {"with is case-sensitive", U"aAa", {{WITH, {test::char_v('a')}}}, U"A"},
        {"trailing line feed kept once", U"a \t\n\t b \n\n", {}, U"a\nb\n"},
        {"blank lines inside stay", U"a\n\n  b", {}, U"a\n\nb"},
        {"carriage return is not a blank", U"a \r\n b", {}, U"a \r\nb"},
        {"all whitespace", U"  \n \t", {}, U""},
        {"the whitespace list", U"\u3000\u0085\u2000\u200A\u2028\u2029\u202F\u205F\u1680\u180E\u00A0a\u0001", {},
         U"a"},
        {"not whitespace", U"\u200Ba\u200B\uFEFF", {}, U"\u200Ba\u200B\uFEFF"},
        {"lines collapse every run", U"\u00A0a\u3000\u3000b\n\nc ", {{LINES, {}}}, U"a b c"},
        {"blanks in lines include the wide spaces", U"a\u3000\nb", {}, U"a\nb"},
    };
    for (const row& r : rows) {
        for (uint32_t unit : {1u, 2u, 4u}) {
            if (test::needed_unit(r.in) > unit) continue;
            kel_value s = test::text_at(r.in, unit);
            stack::reset();
            stack::push_copy(&s);
            refinements refs = refinements::none();
            for (const ref& x : r.refs) {
                refs.at[x.index] = static_cast<int32_t>(stack::top() - stack::arguments());
                for (const kel_value& a : x.args) stack::push_copy(&a);
            }
            (void)registry::handler(types::string, act::trim)(refs);
            EXPECT_EQ(test::utf8(text(s)), test::utf8(r.want)) << r.what << " unit " << unit;
            EXPECT_EQ(unit_of(s), unit) << r.what;
        }
    }
    // Trimming from a head inside the text.
    kel_value s = at_head(str(U"xx  a  "), 2);
    call_action(act::trim, {s});
    EXPECT_EQ(text(at_head(s, 0)), U"xxa");
    EXPECT_TRUE(fires([&] { call_action(act::trim, {s}, {{AUTO, {}}}); }, "not-done"));
    EXPECT_TRUE(fires([&] { call_action(act::trim, {s}, {{WITH, {test::b({})}}}); }, "invalid-arg"));
}

TEST_F(StringModify, SetOperationsAgainstPython) {
    uint32_t seed = 4242;
    auto rnd = [&](uint32_t m) {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<int32_t>((seed >> 8) % m);
    };
    const char32_t letters[] = {U'a', U'A', U'b', U'B', U'c', U'\u00E9', U'\u00C9', U'\u263A', U'\U00010428',
                                U'\U00010400'};
    std::ostringstream py;
    py << "cases = [\n";
    std::vector<std::string> got;
    const char* names[] = {"unique", "union", "intersect", "exclude", "difference"};
    for (int k = 0; k < 400; ++k) {
        const int op = 8 + rnd(5), size = rnd(4) == 0 ? 2 : 1;
        const bool case_ = rnd(2);
        std::u32string a, b;
        for (int i = 0, n = rnd(7) * size; i < n; ++i) a += letters[rnd(10)];
        for (int i = 0, n = rnd(7) * size; i < n; ++i) b += letters[rnd(10)];
        stack::reset();
        kel_value av = at_head(test::text_at(U"zz" + a, 1u << rnd(3)), 2), bv = test::text_at(b, 1u << rnd(3));
        stack::push_copy(&av);
        stack::push_copy(&bv);
        kel_value skip = test::int_v(size);
        kel_value* r = string::set_operation(case_, size > 1 ? &skip : nullptr, op);
        EXPECT_EQ(series_head(r), 0);
        EXPECT_NE(series_node(r), series_node(&av));
        got.push_back(test::utf8(text(*r)));
        py << "('" << names[op - 8] << "'," << test::py_str(a) << "," << test::py_str(b) << "," << size << ","
           << (case_ ? "True" : "False") << "),\n";
    }
    py << "]\n"
          "def run(op, a, b, size, case):\n"
          "    key = (lambda c: c) if case else (lambda c: c.upper()[0])\n"
          "    recs = lambda s: [s[i:i + size] for i in range(0, len(s), size)]\n"
          "    occurs = lambda c, s: any(key(s[i]) == key(c) for i in range(0, len(s), size))\n"
          "    out = ''\n"
          "    def pick(rs, other, want):\n"
          "        nonlocal out\n"
          "        for r in rs:\n"
          "            if other is not None and occurs(r[0], other) != want: continue\n"
          "            if not occurs(r[0], out): out += r\n"
          "    if op == 'unique': pick(recs(a), None, True)\n"
          "    elif op == 'union': pick(recs(a), None, True); pick(recs(b), None, True)\n"
          "    elif op == 'intersect': pick(recs(a), b, True)\n"
          "    elif op == 'exclude': pick(recs(a), b, False)\n"
          "    else: pick(recs(a), b, False); pick(recs(b), a, False)\n"
          "    return out\n"
          "for c in cases: print(run(*c).encode().hex())\n";
    std::istringstream want(test::python_program(py.str()));
    for (size_t i = 0; i < got.size(); ++i) {
        std::string line, hex;
        std::getline(want, line);
        for (unsigned char c : got[i]) {
            const char* d = "0123456789abcdef";
            hex += d[c >> 4];
            hex += d[c & 15];
        }
        EXPECT_EQ(hex, line) << "case " << i;
    }
    // The examples: unique of "aAbB" with and without /case; the type is kept.
    for (bool case_ : {false, true}) {
        stack::reset();
        kel_value a = str(U"aAbB", 1, types::file);
        stack::push_copy(&a);
        stack::push_copy(&a);
        kel_value* r = string::set_operation(case_, nullptr, 8);
        EXPECT_EQ(type_of(r), types::file);
        EXPECT_EQ(text(*r), case_ ? U"aAbB" : U"ab");
    }
    stack::reset();
    kel_value a = str(U"ab");
    stack::push_copy(&a);
    stack::push_copy(&a);
    kel_value zero = test::int_v(0);
    EXPECT_TRUE(fires([&] { string::set_operation(false, &zero, 8); }, "invalid-refine-arg"));
    EXPECT_STREQ(last_fired().arg_words[0], "skip");
}
