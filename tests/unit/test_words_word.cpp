// The word types and issue!: comparison by operator code, mold and form with
// their budgets, make/to, index?, word access for compiled code, the action
// rows, and the runtime words made at start-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/issue.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/runtime.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"

using namespace kel;

namespace {

struct WordsWord : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

uint32_t sym(const char* name) { return symbol::intern(name); }

kel_value w_of(const char* name, uint32_t type = types::word) {
    kel_value w;
    set_unset(&w);
    word::init_cell(sym(name), &w);
    set_type(&w, type);
    if (type == types::issue) w.w3 = static_cast<uint32_t>(-1);
    return w;
}

std::string name_of(const kel_value& w) {
    uint32_t n;
    const char* p = symbol::name_bytes(word_symbol(&w), &n);
    return std::string(p, n);
}

int32_t compare(const kel_value& a, const kel_value& b, int32_t op) {
    return registry::compare_handler(type_of(&a))(&a, &b, op);
}

}  // namespace

TEST_F(WordsWord, CompareByOperatorCode) {
    const kel_value w = w_of("cmpa"), W = w_of("CMPA"), s = w_of("cmpa", types::set_word),
                    S = w_of("Cmpa", types::set_word), l = w_of("cmpa", types::lit_word),
                    L = w_of("CMPA", types::lit_word), i = w_of("cmpa", types::issue),
                    I = w_of("CMPA", types::issue), r = w_of("cmpa", types::refinement), b = w_of("cmpb"),
                    n = test::int_v(1);
    kel_value elsewhere = w;
    elsewhere.w1 = _context::allocate(1, false, false, 0, _context::kind_object);
    struct row {
        const kel_value *x, *y;
        int32_t op, want;
        const char* what;
    } rows[] = {
        {&w, &W, cmp::equal, 0, "case is ignored"},
        {&w, &W, cmp::not_equal, 0, "not-equal answers like equal"},
        {&w, &b, cmp::equal, 1, "other names"},
        {&w, &s, cmp::equal, 0, "types are ignored"},
        {&w, &s, cmp::find, 0, "find equality"},
        {&r, &w, cmp::equal, 0, "refinement and word"},
        {&w, &W, cmp::strict_equal, 1, "strict: exact symbols"},
        {&w, &w, cmp::strict_equal, 0, "strict: itself"},
        {&w, &s, cmp::strict_equal, 1, "strict: types"},
        {&w, &w, cmp::same, 0, "same: itself"},
        {&w, &elsewhere, cmp::same, 1, "same: other binding"},
        {&w, &l, cmp::equal10, 0, "10: word and lit-word, exact"},
        {&l, &w, cmp::equal10, 0, "10: either order"},
        {&w, &L, cmp::equal10, 1, "10: other spelling"},
        {&w, &s, cmp::equal10, 1, "10: other pairs strictly"},
        {&w, &L, cmp::equal11, 0, "11: word and lit-word, canonical"},
        {&s, &S, cmp::equal11, 0, "11: same types, canonical"},
        {&w, &s, cmp::equal11, 1, "11: other types"},
        {&w, &b, cmp::lesser, -1, "ordering by name"},
        {&b, &w, cmp::lesser, 1, "ordering by name"},
        {&w, &W, cmp::lesser, 0, "ordering ignores case"},
        {&w, &W, cmp::case_sort, 1, "case-sensitive sort order"},
        {&w, &i, cmp::equal, cmp::not_comparable, "word and issue"},
        {&i, &w, cmp::equal, cmp::not_comparable, "issue and word"},
        {&i, &I, cmp::equal, 0, "issues by canonical symbol"},
        {&i, &I, cmp::strict_equal, 1, "issues strictly"},
        {&w, &n, cmp::equal, cmp::not_comparable, "word and integer"},
    };
    for (const row& x : rows) EXPECT_EQ(compare(*x.x, *x.y, x.op), x.want) << x.what;
}

TEST_F(WordsWord, MoldAndForm) {
    struct row {
        kel_value v;
        const char *mold, *form;
    } rows[] = {
        {w_of("molda"), "molda", "molda"},
        {w_of("molda", types::set_word), "molda:", "molda"},
        {w_of("molda", types::lit_word), "'molda", "molda"},
        {w_of("molda", types::get_word), ":molda", "molda"},
        {w_of("molda", types::refinement), "/molda", "molda"},
        {w_of("molda", types::issue), "#molda", "molda"},
        {w_of("Caf\xC3\xA9"), "Caf\xC3\xA9", "Caf\xC3\xA9"},
        {w_of("\xE2\x82\xACuro", types::set_word), "\xE2\x82\xACuro:", "\xE2\x82\xACuro"},
        {w_of("\xF0\x9F\x98\x80", types::issue), "#\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(test::mold(r.v), r.mold);
        EXPECT_EQ(test::form(r.v), r.form);
    }
    // Budgets: every appended character counts; the prefix or suffix is
    // appended whatever the budget.
    struct budget {
        kel_value v;
        int32_t part, want;
    } budgets[] = {
        {w_of("molda", types::set_word), 1, -5},
        {w_of("molda", types::lit_word), 3, -3},
        {w_of("molda"), 10, 5},
        {w_of("molda", types::issue), 6, 0},
    };
    for (const budget& b : budgets) {
        kel_value* buffer = block::make_at_tail(nullptr, 1);
        text_out::new_buffer(buffer, 4);
        const kel_value arg = test::int_v(b.part);
        EXPECT_EQ(registry::mold_handler(type_of(&b.v))(&b.v, buffer, false, false, false, &arg, b.part, 0), b.want);
    }
    // A name wider than the buffer widens it, keeping what it held.
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 4);
    text_out::append(buffer, "ab", 2);
    const kel_value wide = w_of("\xCF\x80-x");  // pi-x
    registry::form_handler(types::word)(&wide, buffer, nullptr, 100);
    EXPECT_EQ(memory::buffer_of(series_node(buffer))->unit(), 2u);
    EXPECT_EQ(test::text(*buffer), U"ab\u03C0-x");
}

TEST_F(WordsWord, MakeAndTo) {
    kel_value marked = w_of("mk-a", types::set_word);
    marked.header |= header_new_line;
    const kel_value bound = w_of("mk-c");  // makes mk-c a global word
    kel_value by_string = test::str(U"xxmk-b");
    set_series_head(&by_string, 2);
    struct ok {
        uint32_t target;
        kel_value spec;
        const char* name;
        bool global_binding;
    } oks[] = {
        {types::word, marked, "mk-a", true},
        {types::set_word, w_of("mk-a"), "mk-a", true},
        {types::word, test::str(U"mk-b:"), "mk-b", true},
        {types::lit_word, test::str(U"  'mk-b"), "mk-b", true},
        {types::word, by_string, "mk-b", true},
        {types::word, test::char_v('q'), "q", true},
        {types::word, kel_value{types::issue, _context::global(), sym("mk-c"), static_cast<uint32_t>(-1)}, "mk-c", true},
        {types::get_word, words::ref_part, "part", true},
        {types::word, test::type_v(types::integer), "integer!", true},
        {types::word, test::logic_v(true), "true", true},
        {types::refinement, test::logic_v(false), "false", true},
        {types::issue, test::str(U"mk-d"), "mk-d", true},
        {types::issue, w_of("mk-e", types::get_word), "mk-e", true},
        {types::issue, test::type_v(types::block), "block!", true},
    };
    for (const ok& o : oks) {
        kel_value result;
        if (o.target == types::issue) issue::make_to(&result, &o.spec);
        else word::make_to(&result, &o.spec, o.target);
        EXPECT_EQ(result.header, o.target) << o.name;  // flags cleared
        EXPECT_EQ(name_of(result), o.name);
        EXPECT_EQ(word_context(&result), _context::global()) << o.name;
    }
    kel_value from_issue;
    word::make_to(&from_issue, &oks[6].spec, types::word);
    EXPECT_EQ(word_index(&from_issue), word_index(&bound));  // bound to the global word
    kel_value from_word;
    word::make_to(&from_word, &marked, types::word);
    EXPECT_EQ(word_index(&from_word), word_index(&marked));  // binding kept

    const kel_value number_issue{types::issue, _context::global(), sym("12"), static_cast<uint32_t>(-1)};
    struct bad {
        uint32_t target;
        kel_value spec;
        const char* error;
    } bads[] = {
        {types::word, test::str(U"123"), "invalid-chars"},
        {types::word, test::str(U""), "invalid-chars"},
        {types::word, test::str(U"[a]"), "invalid-chars"},
        {types::word, test::char_v('1'), "invalid-chars"},
        {types::word, number_issue, "bad-to-arg"},
        {types::set_word, test::int_v(5), "bad-to-arg"},
        {types::issue, test::none_v(), "bad-to-arg"},
    };
    for (const bad& b : bads) {
        kel_value result;
        EXPECT_TRUE(fires([&] {
            if (b.target == types::issue) issue::make_to(&result, &b.spec);
            else word::make_to(&result, &b.spec, b.target);
        }, b.error)) << b.error;
        if (std::strcmp(b.error, "bad-to-arg") == 0) {
            EXPECT_EQ(last_fired().argument_count, 2);
            EXPECT_EQ(get_datatype(&last_fired().args[0]), b.target);
            EXPECT_EQ(std::memcmp(&last_fired().args[1], &b.spec, 16), 0);
        }
    }
    // An issue from a character is the issue from the one-character string.
    kel_value from_char, from_text;
    const kel_value a_char = test::char_v('a'), a_text = test::str(U"a");
    issue::make_to(&from_char, &a_char);
    issue::make_to(&from_text, &a_text);
    EXPECT_EQ(word_symbol(&from_char), word_symbol(&from_text));
    EXPECT_EQ(word_index(&from_char), -1);
    // Through the action slots: make set-word! "mk-f" (inherited from word!),
    // to issue! "mk-g".
    struct via {
        uint32_t target;
        const char32_t* text;
    } vias[] = {{types::set_word, U"mk-f"}, {types::issue, U"mk-g"}};
    for (const via& v : vias) {
        stack::reset();
        const kel_value type = test::type_v(v.target), text = test::str(v.text);
        stack::push_copy(&type);
        stack::push_copy(&text);
        for (int action : {act::make, act::to}) {
            EXPECT_EQ(registry::handler(v.target, action)(refinements::none()), signal_code::none);
            EXPECT_EQ(type_of(stack::arguments()), v.target);
            stack::arguments()[0] = type;
        }
    }
}

TEST_F(WordsWord, IndexAndTheActionRows) {
    const kel_value lit = w_of("ix-a", types::lit_word);
    const kel_value unresolved{types::word, _context::global(), sym("ix-b"), static_cast<uint32_t>(-1)};
    struct row {
        kel_value v;
        bool integer;
        int32_t want;
    } rows[] = {{lit, true, word_index(&lit) + 1}, {unresolved, false, 0}, {w_of("ix-a", types::get_word), true, word_index(&lit) + 1}};
    for (const row& r : rows) {
        stack::reset();
        stack::push_copy(&r.v);
        ASSERT_EQ(registry::handler(type_of(&r.v), act::index_q)(refinements::none()), signal_code::none);
        if (r.integer) EXPECT_EQ(get_integer(stack::arguments()), r.want);
        else EXPECT_TRUE(none_q(stack::arguments()));
    }
    EXPECT_GT(word_index(&lit), 0);
    // Rows: word! owns six handlers; its children inherit all but mold, and
    // refinement! has no index?; issue! takes only form from word!.
    const int word_actions[] = {act::make, act::to, act::form, act::mold, act::compare, act::index_q};
    for (uint32_t t = types::word; t <= types::issue; ++t) {
        for (int a = 1; a <= act::count; ++a) {
            bool expected = std::find(std::begin(word_actions), std::end(word_actions), a) != std::end(word_actions);
            if (a == act::index_q && (t == types::refinement || t == types::issue)) expected = false;
            EXPECT_EQ(registry::supported(t, a), expected) << t << " " << a;
        }
        EXPECT_EQ(registry::parent_ids[t], t == types::word ? types::symbol : types::word);
        EXPECT_EQ(registry::form_handler(t), registry::form_handler(types::word));
        if (t != types::issue) {
            EXPECT_EQ(registry::compare_handler(t), registry::compare_handler(types::word));
            EXPECT_EQ(registry::handler(t, act::make), registry::handler(types::word, act::make));
        }
        EXPECT_EQ(registry::handler(t, act::make), registry::handler(t, act::to));
        EXPECT_EQ(registry::mold_handler(t) == registry::mold_handler(types::word), t == types::word);
    }
    EXPECT_STREQ(registry::type_name(types::set_word), "set-word!");
    EXPECT_STREQ(registry::type_name(types::issue), "issue!");
}

TEST_F(WordsWord, WordAccessForCompiledCode) {
    const uint32_t ctx = _context::allocate(2, false, false, 0, _context::kind_object);
    const kel_value a{types::word, 0, sym("acc-a"), static_cast<uint32_t>(-1)};
    const kel_value b{types::word, 0, sym("acc-b"), static_cast<uint32_t>(-1)};
    _context::index_or_add_word(ctx, &a);
    _context::index_or_add_word(ctx, &b);
    const kel_value one = test::int_v(1), two = test::int_v(2);
    stack::push_copy(&one);
    EXPECT_EQ(get_integer(word::set_at(ctx, 0)), 1);
    stack::push_copy(&two);
    word::replace_at(ctx, 0);
    EXPECT_EQ(get_integer(stack::top() - 2), 2);  // [new old] on top
    EXPECT_EQ(get_integer(stack::top() - 1), 1);
    EXPECT_EQ(get_integer(word::get_in(ctx, 0)), 2);
    EXPECT_TRUE(context_ops::word_at(ctx, 0)->header & header_changed);
    EXPECT_EQ(get_integer(word::push_value_at(ctx, 0)), 2);
    EXPECT_EQ(type_of(word::push_word_at(ctx, 1)), static_cast<uint32_t>(types::word));
    EXPECT_EQ(type_of(get_word::push_word_at(ctx, 1)), static_cast<uint32_t>(types::get_word));
    EXPECT_EQ(type_of(refinement::push_word_at(ctx, 1)), static_cast<uint32_t>(types::refinement));
    const kel_value wb = *word::word_at(ctx, 1);
    EXPECT_TRUE(unset_q(get_word::get(&wb)));
    EXPECT_TRUE(fires([&] { word::get(&wb); }, "no-value"));
    EXPECT_EQ(word::symbol_cell(&wb)->w2, symbol::cache_string(sym("acc-b")));
    // set-from-arguments: the value becomes the result.
    stack::reset();
    stack::push_copy(&wb);
    stack::push_copy(&two);
    word::set_from_arguments();
    EXPECT_EQ(get_integer(stack::arguments()), 2);
    EXPECT_EQ(get_integer(word::get_in(ctx, 1)), 2);
    // push-from-symbol and make-at-tail make global words.
    EXPECT_EQ(word_context(word::push_from_symbol(sym("acc-c"))), _context::global());
    kel_value blk = test::b({});
    EXPECT_EQ(word_symbol(word::make_at_tail(sym("acc-c"), &blk)), sym("acc-c"));
    EXPECT_EQ(block::ks_length_q(&blk), 1);
}

TEST_F(WordsWord, PushedNameStringIsACopy) {
    const kel_value w = w_of("shared-name");
    kel_value* s = word::push_name_string(&w);
    EXPECT_EQ(type_of(s), static_cast<uint32_t>(types::string));
    EXPECT_EQ(series_head(s), 0);
    EXPECT_EQ(test::text(*s), U"shared-name");
    EXPECT_NE(series_node(s), symbol::cache_string(sym("shared-name")));
    series::unit_at(s, 0)[0] = 'S';  // a script changing the string
    EXPECT_EQ(test::text(*s), U"Shared-name");
    EXPECT_EQ(test::form(w), "shared-name");
    EXPECT_EQ(test::mold(w_of("shared-name", types::lit_word)), "'shared-name");
}

TEST_F(WordsWord, IssueConstructors) {
    kel_value cell;
    set_unset(&cell);
    issue::init_cell(&cell, "iss-a");
    EXPECT_EQ(cell.header, static_cast<uint32_t>(types::issue));
    EXPECT_EQ(word_context(&cell), _context::global());
    EXPECT_EQ(word_index(&cell), -1);
    EXPECT_EQ(test::mold(cell), "#iss-a");
    kel_value blk = test::b({});
    EXPECT_EQ(test::form(*issue::make_at_tail("iss-b", &blk)), "iss-b");
    const kel_value w = w_of("iss-c", types::set_word);
    kel_value* pushed = issue::push(&w);
    EXPECT_EQ(type_of(pushed), static_cast<uint32_t>(types::issue));
    EXPECT_EQ(word_symbol(pushed), word_symbol(&w));
    // Recording (the state before the boot, which another suite in the same
    // process may have run): kept in the root block.
    const bool was_recording = runtime::recording;
    runtime::recording = true;
    const uint32_t root_length = static_cast<uint32_t>(block::ks_length_q(block::root()));
    const kel_value* recorded = issue::from_c_string("iss-d");
    runtime::recording = was_recording;
    EXPECT_EQ(static_cast<uint32_t>(block::ks_length_q(block::root())), root_length + 1);
    EXPECT_EQ(test::mold(*recorded), "#iss-d");
    // An issue made from a string molds with "#" and forms without it.
    kel_value made;
    const kel_value abc = test::str(U"abc");
    issue::make_to(&made, &abc);
    EXPECT_EQ(test::mold(made), "#abc");
    EXPECT_EQ(test::form(made), "abc");
}

TEST_F(WordsWord, RuntimeWords) {
    ASSERT_TRUE(words::ready());
    // The datatype names were interned first, then the runtime's symbols in order.
    EXPECT_EQ(sym("datatype!"), 1u);
    EXPECT_LT(words::spec, words::body);
    EXPECT_LT(words::body, words::no_trace);
    EXPECT_EQ(sym("stack"), words::system_global + 1);
    EXPECT_EQ(words::trace, words::system_global + 2);
    for (uint32_t t = 1; t <= registry::highest_type_id; ++t) {
        const kel_value& w = registry::type_names[t].word;
        ASSERT_EQ(type_of(&w), static_cast<uint32_t>(types::word)) << t;
        EXPECT_EQ(word_context(&w), _context::global());
        EXPECT_EQ(test::form(w), registry::type_names[t].name);
    }
    // Slots of one name share the symbol and the global value slot.
    struct same {
        const kel_value* slot;
        uint32_t symbol;
    } sames[] = {{&words::_throw, sym("throw")},   {&words::_return, words::return_}, {&words::_exit, words::exit},
                 {&words::_collect, words::collect}, {&words::_end, words::end},      {&words::_pipe, words::pipe},
                 {&words::_case, words::case_},     {&words::_type, words::type},      {&words::_head, words::head}};
    for (const same& s : sames) {
        EXPECT_EQ(word_symbol(s.slot), s.symbol);
        EXPECT_EQ(word_context(s.slot), _context::global());
        EXPECT_EQ(word_index(s.slot), _context::index_of(_context::global(), s.symbol, true));
    }
    EXPECT_EQ(words::changed, sym("changed"));
    EXPECT_EQ(word_symbol(&words::_changed), words::changed);
    EXPECT_EQ(test::form(words::_anon), "<anon>");
    EXPECT_EQ(test::form(words::_on_change_star), "on-change*");
    EXPECT_EQ(test::form(words::_linux), "Linux");
    // Setting the word through one slot shows through another path to it.
    kel_value via_slot = words::_throw;
    const kel_value v = test::int_v(9);
    _context::set_bound(&via_slot, &v);
    EXPECT_EQ(get_integer(_context::get_bound(word::from_c_string("throw"))), 9);
    // A keyword spelled in another case matches after resolution.
    EXPECT_EQ(symbol::resolve(sym("ANY")), words::any);
    EXPECT_EQ(symbol::resolve(sym("Collect")), words::collect);
    // Refinements (unbound) and the issue.
    const kel_value* refs[] = {&words::ref_local, &words::ref_extern, &words::ref_compare,
                               &words::ref_part,  &words::ref_skip,   &words::ref_with};
    const char* ref_molds[] = {"/local", "/extern", "/compare", "/part", "/skip", "/with"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(type_of(refs[i]), static_cast<uint32_t>(types::refinement));
        EXPECT_EQ(word_context(refs[i]), 0u);
        EXPECT_EQ(test::mold(*refs[i]), ref_molds[i]);
    }
    EXPECT_EQ(test::mold(words::issue_ooo), "#ooo");
    const collector::name_roots roots = words::roots();
    EXPECT_EQ(roots.symbol_index, symbol::index());
    EXPECT_EQ(roots.global_context, _context::global());
}
