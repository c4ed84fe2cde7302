// Lexer modes and entry points: scan-only passes, one value, appending into a
// block, consumed lengths, string! and binary! input, the single-value scan
// of the `to` conversions, the event callback (mask, order, vetoes,
// redirection, nested scans), and the shared buffer under load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/word.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "services/lexer.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/gc_helpers.h"
#include "tests/unit/lexer_support.h"

using namespace kel;
using kel::test::lexer_support::scan_type;
using kel::test::lexer_support::show;

namespace {

const uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string show_block(const kel_value& b) {
    std::string out;
    kel_value c = b;
    for (int32_t i = 0; i < block::ks_length_q(&c); ++i) out += (i ? " " : "") + show(block::ks_head(&c)[i]);
    return out;
}

}  // namespace

TEST(LexerModes, ScanOnlyAnswersTheFirstTypeAndNeverRaises) {
    struct type_case {
        const char* text;
        int32_t type;
    } cases[] = {
        {"", 0},
        {"; only a comment\n", 0},
        {"1 2", types::integer},
        {"  \n 1.5", types::float_},
        {"[1 2]", types::block},
        {"(1 [2])", types::paren},
        {"\"x\" 1", types::string},
        {"{a {b}}", types::string},
        {"a/b c", types::path},
        {"a/b: c", types::set_path},
        {"#(true)", types::logic},
        {"#(integer!)", types::integer},
        {"%foo", types::file},
        {"http://x", types::url},
        {"12a", types::error},
        {"[1 2", types::error},
        {"1 2]", types::integer},
        {"]", types::error},
        {"\"abc", types::error},
        {"#(foo)", types::error},
        {"a/b/", types::error},
        {"\\", types::error},
    };
    for (const type_case& c : cases) EXPECT_EQ(scan_type(c.text), c.type) << c.text;
    EXPECT_EQ(lexer::running_scans(), 0);
}

TEST(LexerModes, OneValueAndConsumedLength) {
    test::boot();
    struct one_case {
        const char* text;
        const char* value;
        size_t consumed;
    } cases[] = {
        {"1 2", "1", 1},
        {"  [1 2] 3", "[1 2]", 7},
        {"a/b c", "a/b", 3},
        {"; c\n\"s\" x", "|\"s\"", 7},
        {"", "unset", 0},
    };
    for (const one_case& c : cases) {
        const std::string text = c.text;
        kel_value out;
        lexer::options o;
        o.one = true;
        size_t consumed = 99;
        lexer::transcode_utf8(&out, bytes_of(text), text.size(), o, &consumed);
        EXPECT_EQ(show(out), c.value) << c.text;
        EXPECT_EQ(consumed, c.consumed) << c.text;
    }
    // Scan-only with one: the first type, nothing built.
    kel_value untouched;
    set_integer(&untouched, 7);
    lexer::options o;
    o.one = true;
    o.store = false;
    const std::string text = "[a] b";
    EXPECT_EQ(lexer::transcode_utf8(&untouched, bytes_of(text), text.size(), o), types::block);
    EXPECT_EQ(get_integer(&untouched), 7);
}

TEST(LexerModes, IntoAppendsToABlock) {
    kel_value into = test::b({1});
    lexer::options o;
    o.into = &into;
    const std::string text = "2 [3]";
    lexer::transcode_utf8(nullptr, bytes_of(text), text.size(), o);
    EXPECT_EQ(show_block(into), "1 2 [3]");
    o.one = true;
    lexer::transcode_utf8(nullptr, bytes_of(text), text.size(), o);
    EXPECT_EQ(show_block(into), "1 2 [3] 2");
}

TEST(LexerModes, StringAndBinaryInput) {
    test::boot();
    // A string of 2-byte units from its head; the consumed count is in characters.
    kel_value s = test::str(U"xx\u00E9t\u00E9 [\u3042] 1", 2);
    set_series_head(&s, 2);
    kel_value out;
    lexer::options o;
    int32_t consumed = 0;
    lexer::transcode_text(&out, &s, -1, o, &consumed);
    EXPECT_EQ(show_block(out), "\xC3\xA9t\xC3\xA9 [\xE3\x81\x82] 1");
    EXPECT_EQ(consumed, 9);
    o.one = true;
    lexer::transcode_text(&out, &s, -1, o, &consumed);
    EXPECT_EQ(show(out), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(consumed, 3);
    // A length limit in characters.
    o.one = false;
    lexer::transcode_text(&out, &s, 3, o, &consumed);
    EXPECT_EQ(show_block(out), "\xC3\xA9t\xC3\xA9");
    // Binary input is scanned as its bytes; the count is in bytes.
    const kel_value b = test::bin({'a', ' ', 0xC3, 0xA9});
    o = lexer::options{};
    lexer::transcode_text(&out, &b, -1, o, &consumed);
    EXPECT_EQ(show_block(out), "a \xC3\xA9");
    EXPECT_EQ(consumed, 4);
    // A text longer than the scratch room is encoded into a buffer of its own.
    std::u32string big;
    for (int i = 0; i < 60000; ++i) big += U"\u00E9 ";
    const kel_value long_text = test::str(big, 2);
    lexer::transcode_text(&out, &long_text, -1, o, &consumed);
    EXPECT_EQ(block::ks_length_q(&out), 60000);
    EXPECT_EQ(consumed, 120000);
}

TEST(LexerModes, SingleValueScanOfTheConversions) {
    test::boot();
    struct value_case {
        const char32_t* text;
        const char* value;
    } cases[] = {
        {U"abc", "abc"}, {U"  'mk", "'mk"}, {U"1:30", "1:30:00"}, {U"[1 2]", "[1 2]"},
        {U"a b", "none"}, {U"", "none"}, {U"a ", "none"},
    };
    for (const value_case& c : cases) {
        kel_value out;
        const kel_value text = test::str(c.text);
        lexer::scan_value(&text, &out);
        EXPECT_EQ(show(out), c.value);
    }
    // The words module makes words from text through it.
    kel_value w;
    const kel_value spec = test::str(U"mk-x:");
    word::make_to(&w, &spec, types::word);
    EXPECT_EQ(type_of(&w), types::word);
    const kel_value bad = test::str(U"12");
    EXPECT_TRUE(fires([&] { word::make_to(&w, &bad, types::word); }, "invalid-chars"));
    // Syntax errors of the text are the lexer's.
    const kel_value broken = test::str(U"[a");
    EXPECT_TRUE(fires([&] { word::make_to(&w, &broken, types::word); }, "missing"));
    EXPECT_EQ(lexer::running_scans(), 0);
}

namespace {

struct recorder {
    std::vector<std::string> log;
    uint32_t veto_events = 0;          // events answered false
    int32_t veto_type = -1000;         // ... only for this type (any when -1000)
    int32_t redirect_at_line = 0;      // move the input index at a prescan on this line
    int32_t redirect_to = 0;
    int nested = 0;                    // scans started from the callback
};

std::string type_text(const kel_value* t) {
    if (type_of(t) == types::datatype) return registry::type_name(get_datatype(t));
    return test::mold(*t);
}

bool record(void* user, lexer::event e, kel_value* input, const kel_value* type, int32_t line,
            const kel_value* token) {
    auto* r = static_cast<recorder*>(user);
    static const char* const names[] = {"prescan", "scan", "load", "open", "close", "error"};
    const char* name = names[__builtin_ctz(static_cast<uint32_t>(e))];
    std::string entry = std::string(name) + " " + type_text(type) + " " + std::to_string(line);
    if (e == lexer::ev_load) entry += " " + show(*token);
    else if (type_of(token) == types::pair) entry += " " + std::to_string(pair_x(token)) + "-" + std::to_string(pair_y(token));
    if (type_of(input) == types::string) entry += " @" + std::to_string(series_head(input));
    r->log.push_back(entry);
    if (r->redirect_at_line && e == lexer::ev_prescan && line == r->redirect_at_line) {
        r->redirect_at_line = 0;
        set_series_head(input, r->redirect_to);
        return false;
    }
    if (r->nested > 0 && e == lexer::ev_load) {
        --r->nested;
        kel_value out;
        lexer::options o;
        const std::string inner = "[x y] 1 2 3";
        lexer::transcode_utf8(&out, reinterpret_cast<const uint8_t*>(inner.data()), inner.size(), o);
        r->log.push_back("nested " + show(out));
    }
    const bool vetoed = (r->veto_events & e) &&
                        (r->veto_type == -1000 || (type_of(type) == types::datatype &&
                                                   static_cast<int32_t>(get_datatype(type)) == r->veto_type));
    return !vetoed;
}

struct callback_run {
    recorder r;
    lexer::callback cb;
    kel_value out;
    callback_run() {
        cb.call = record;
        cb.user = &r;
    }
    std::string run(const char32_t* text, uint32_t mask = lexer::all_events, bool load = true) {
        test::boot();
        cb.mask = mask;
        const kel_value input = test::str(text);
        lexer::options o;
        o.events = &cb;
        o.load = load;
        o.store = load;
        set_none(&out);
        lexer::transcode_text(&out, &input, -1, o);
        return type_of(&out) == types::block ? show_block(out) : show(out);
    }
};

}  // namespace

TEST(LexerModes, CallbackSeesEveryEventInOrder) {
    // Without a states block (a booted system hands one over) structural
    // tokens have no type.
    const kel_value none_cell = test::none_v();
    lexer::set_exit_states(&none_cell);
    callback_run c;
    EXPECT_EQ(c.run(U"[a 1]\n;c"), "[a 1]");
    const std::vector<std::string> expected = {
        "prescan none 1 1-1 @0",  // block-open (-3: no exit-states block yet, so none), at the token start
        "open block! 1 1-2 @0",
        "prescan word! 1 2-3 @2",
        "scan word! 1 2-3 @2",
        "load word! 1 a @2",
        "prescan integer! 1 4-5 @4",
        "scan integer! 1 4-5 @4",
        "load integer! 1 1 @4",
        "prescan none 1 5-5 @4",  // block-close
        "close block! 1 1-6 @5",   // from the opening bracket, the index at the end
        "prescan none 2 7-9 @6",  // comment-end
        "scan none 2 7-9 @8",
        "prescan none 2 9-9 @8",  // end-of-input
    };
    EXPECT_EQ(c.r.log, expected);
}

TEST(LexerModes, ExitStatesSurviveTheirHolderMoving) {
    test::boot();
    gc_test::checks_guard checks;
    {
        // The states block sits in a field of a block whose buffer the
        // collector moves; the lexer must not keep the field's address.
        std::vector<kel_value> states;
        for (int32_t i = 1; i <= 34; ++i) states.push_back(test::int_v(100 + i));
        kel_value holder = gc_test::rooted_block(4);
        const kel_value made = test::block_of(states);
        block::ks_add(&holder, &made);
        lexer::set_exit_states(block::ks_head(&holder));
        block::ks_head(&holder)[0] = test::int_v(0);
    }
    gc_test::scrub_stack();
    collector::set_stress(gc_test::moves_only);
    collector::recycle();
    callback_run c;
    EXPECT_EQ(c.run(U"[a]"), "[a]");
    EXPECT_EQ(c.r.log.at(0), "prescan 103 1 1-1 @0");  // block-open: entry -3
    const kel_value none_cell = test::none_v();
    lexer::set_exit_states(&none_cell);
}

TEST(LexerModes, CallbackMaskAndVetoes) {
    test::boot();
    // A body that begins with [load] asks for load events only.
    kel_value body = test::b({test::b({*word::from_c_string("load")}), 1});
    EXPECT_EQ(lexer::event_mask(&body), static_cast<uint32_t>(lexer::ev_load));
    kel_value plain = test::b({1});
    EXPECT_EQ(lexer::event_mask(&plain), lexer::all_events);

    callback_run only_load;
    EXPECT_EQ(only_load.run(U"a [b]", lexer::ev_load), "a [b]");
    EXPECT_EQ(only_load.r.log, (std::vector<std::string>{"load word! 1 a @1", "load word! 1 b @4"}));

    // prescan false: the token is skipped.
    callback_run skip_integers;
    skip_integers.r.veto_events = lexer::ev_prescan;
    skip_integers.r.veto_type = types::integer;
    EXPECT_EQ(skip_integers.run(U"a 1 [2 b] 3"), "a [b]");
    // load false: the value is dropped again.
    callback_run drop_words;
    drop_words.r.veto_events = lexer::ev_load;
    drop_words.r.veto_type = types::word;
    EXPECT_EQ(drop_words.run(U"a 1 b"), "1");
    // open false: the block is not opened, and its "]" then has nothing to close.
    callback_run no_open;
    no_open.r.veto_events = lexer::ev_open | lexer::ev_close;
    EXPECT_EQ(no_open.run(U"a [b] c"), "a b c");
}

TEST(LexerModes, CallbackErrorAnswer) {
    // Falsy: the scan ends quietly with the values loaded so far.
    callback_run quiet;
    quiet.r.veto_events = lexer::ev_error;
    EXPECT_EQ(quiet.run(U"1 2 12a 3"), "1 2");
    EXPECT_EQ(quiet.r.log.back().substr(0, 14), "error integer!");
    callback_run inside;
    inside.r.veto_events = lexer::ev_error;
    EXPECT_EQ(inside.run(U"1 [2 (3 x 12a"), "1 [2 (3 x)]");  // open blocks and parens closed
    // Truthy: the error is raised.
    callback_run loud;
    EXPECT_TRUE(fires([&] { loud.run(U"1 12a"); }, "invalid"));
    EXPECT_EQ(lexer::running_scans(), 0);
}

TEST(LexerModes, CallbackRedirectsAndNests) {
    callback_run jump;
    jump.r.redirect_at_line = 1;
    jump.r.redirect_to = 6;
    EXPECT_EQ(jump.run(U"aa bb cc"), "cc");

    callback_run nested;
    nested.r.nested = 2;
    EXPECT_EQ(nested.run(U"p [q r] s"), "p [q r] s");
    int nested_seen = 0;
    for (const std::string& e : nested.r.log)
        if (e == "nested [[x y] 1 2 3]") ++nested_seen;
    EXPECT_EQ(nested_seen, 2) << ::testing::PrintToString(nested.r.log);
    EXPECT_EQ(lexer::running_scans(), 0);
}

TEST(LexerModes, BufferGrowsForLargeAndDeepTexts) {
    test::boot();
    kel_value* const top = stack::top();
    std::string many;
    for (int i = 0; i < 5000; ++i) many += "[" + std::to_string(i) + " x] ";
    kel_value b = test::lexer_support::load(many);
    ASSERT_EQ(block::ks_length_q(&b), 5000);
    EXPECT_EQ(show(block::ks_head(&b)[4999]), "[4999 x]");
    const std::string deep = std::string(3000, '[') + "1" + std::string(3000, ']');
    kel_value d = test::lexer_support::load(deep);
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(block::ks_length_q(&d), 1);
        d = *block::ks_head(&d);
    }
    EXPECT_EQ(show(d), "[1]");
    EXPECT_EQ(stack::top(), top);
}

TEST(LexerModes, ScanOnlyWithACallback) {
    // Scan-only passes still tell a callback about tokens (syntax colouring):
    // a raw string is seen opening and closing, and the pass ends after the
    // first token that has a type.
    callback_run c;
    c.run(U"%{a}% 1", lexer::all_events, false);
    std::vector<std::string> names;
    for (const std::string& e : c.r.log) names.push_back(e.substr(0, e.find(' ')));
    EXPECT_EQ(names, (std::vector<std::string>{"prescan", "open", "close", "scan"}));
    // Structural tokens are scanned at once, without a prescan event.
    callback_run blocks;
    blocks.run(U"[a]", lexer::all_events, false);
    names.clear();
    for (const std::string& e : blocks.r.log) names.push_back(e.substr(0, e.rfind(' ')));
    EXPECT_EQ(names, (std::vector<std::string>{"open block! 1 1-2", "prescan word! 1 2-3", "scan word! 1 2-3",
                                               "close block! 1 1-4"}));
}
