// The four path types and paren!: mold and form per type (prefixes and
// suffixes, nested blocks under /only, new-line markers, part budgets,
// cycles), make and to, path/push, comparison, and the rows (what paths and
// parens support, what they inherit from block!).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/word.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/dispatch_support.h"

using namespace kel;
using test::b;
using test::int_v;

namespace {

struct PathsTypes : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
    void TearDown() override { stack::reset(); }
};

kel_value w(const char* name) { return *word::from_c_string(name); }

kel_value typed(kel_value v, uint32_t type) {
    set_type(&v, type);
    return v;
}

kel_value nl(kel_value v) {
    v.header |= header_new_line;
    return v;
}

kel_value path_of(std::initializer_list<test::item> items, uint32_t type = types::path) {
    return typed(b(items), type);
}

std::string utf8_of(const kel_value& buffer) {
    std::string s;
    for (char32_t c : test::text(buffer)) s += static_cast<char>(c);
    return s;
}

// Molds (or forms) with a /part argument and the given budget.
std::string with_budget(const kel_value& v, int32_t budget, bool mold, int32_t* left) {
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    kel_value limit = int_v(budget);
    *left = mold ? registry::mold_handler(type_of(&v))(&v, buffer, false, false, false, &limit, budget, 0)
                 : registry::form_handler(type_of(&v))(&v, buffer, &limit, budget);
    return utf8_of(*buffer);
}

kel_value call(int action, std::initializer_list<kel_value> args) {
    test::entry_call c;
    for (const kel_value& a : args) c.arg(a);
    return c.run(actions::entry(action));
}

}  // namespace

TEST_F(PathsTypes, MoldAndFormPerType) {
    struct row {
        uint32_t type;
        const char* mold;
    };
    const row rows[] = {
        {types::path, "a/b/c"},
        {types::lit_path, "'a/b/c"},
        {types::get_path, ":a/b/c"},
        {types::set_path, "a/b/c:"},
    };
    for (const row& r : rows) {
        const kel_value p = path_of({w("a"), w("b"), w("c")}, r.type);
        EXPECT_EQ(test::mold(p), r.mold);
        // Forming writes no quote or colon for any of them.
        EXPECT_EQ(test::form(p), "a/b/c") << r.mold;
    }
    // Empty paths: the prefix or suffix alone.
    EXPECT_EQ(test::mold(path_of({})), "");
    EXPECT_EQ(test::mold(path_of({}, types::lit_path)), "'");
    EXPECT_EQ(test::mold(path_of({}, types::set_path)), ":");
}

TEST_F(PathsTypes, ElementsMoldAsThemselves) {
    struct row {
        kel_value value;
        bool only;
        const char* mold;
        const char* form;
    };
    const row rows[] = {
        // A block element keeps its brackets; /only is passed on and drops them.
        {path_of({w("a"), b({1, 2}), w("c")}), false, "a/[1 2]/c", "a/1 2/c"},
        {path_of({w("a"), b({1, 2}), w("c")}), true, "a/1 2/c", "a/1 2/c"},
        {path_of({w("obj"), 1, typed(b({w("i")}), types::paren)}), false, "obj/1/(i)", "obj/1/i"},
        {path_of({test::str(U"x y"), 2}), false, "\"x y\"/2", "x y/2"},
        // New-line markers inside a path change nothing.
        {path_of({nl(w("a")), nl(w("b"))}), false, "a/b", "a/b"},
        {path_of({w("a"), path_of({w("b"), w("c")}, types::get_path)}), false, "a/:b/c", "a/b/c"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(test::mold(r.value, false, false, r.only), r.mold);
        EXPECT_EQ(test::form(r.value), r.form) << r.mold;
    }
    // The walk starts at the head.
    kel_value p = path_of({w("a"), w("b"), w("c")}, types::set_path);
    set_series_head(&p, 1);
    EXPECT_EQ(test::mold(p), "b/c:");
    set_series_head(&p, 3);
    EXPECT_EQ(test::mold(p), ":");
}

TEST_F(PathsTypes, PartBudgetStopsTheWalk) {
    const kel_value p = path_of({w("alpha"), w("beta"), w("gamma")});
    int32_t left = 0;
    // "alpha" leaves 2; "/" 1; "beta" leaves -3: the walk stops there.
    EXPECT_EQ(with_budget(p, 7, true, &left), "alpha/beta");
    EXPECT_EQ(left, -3);
    EXPECT_EQ(with_budget(p, 100, false, &left), "alpha/beta/gamma");
    EXPECT_EQ(left, 100 - 16);
    // The prefix counts against the budget too.
    const kel_value g = path_of({w("ab"), w("cd")}, types::get_path);
    EXPECT_EQ(with_budget(g, 3, true, &left), ":ab");
    EXPECT_EQ(left, 0);
    const kel_value s = path_of({w("ab")}, types::set_path);
    EXPECT_EQ(with_budget(s, 50, true, &left), "ab:");
    EXPECT_EQ(left, 47);
}

TEST_F(PathsTypes, CyclesWritePlaceholders) {
    kel_value p = path_of({w("a")});
    block::ks_add(&p, &p);
    EXPECT_EQ(test::mold(p), "a/...");
    EXPECT_EQ(test::form(p), "a/...");
    // A paren holding itself: its placeholder inside its parentheses.
    kel_value q = typed(b({1}), types::paren);
    block::ks_add(&q, &q);
    EXPECT_EQ(test::mold(q), "(1 (...))");
    EXPECT_EQ(test::form(q), "1 ...");
    EXPECT_EQ(cycles::depth(), 0);
    // A path nested 1,000 deep overflows the guard: an error, and molding
    // works again afterwards.
    kel_value inner = path_of({1});
    for (int i = 0; i < 1000; ++i) inner = path_of({inner});
    EXPECT_TRUE(fires([&] { test::mold(inner); }, "too-deep"));
    EXPECT_EQ(test::mold(path_of({1, 2})), "1/2");
}

TEST_F(PathsTypes, ParenMoldsBetweenParentheses) {
    struct row {
        kel_value value;
        bool only, flat;
        const char* mold;
    };
    const row rows[] = {
        {typed(b({1, 2}), types::paren), false, false, "(1 2)"},
        {typed(b({1, 2}), types::paren), true, false, "1 2"},
        {typed(b({}), types::paren), false, false, "()"},
        {typed(b({nl(int_v(1)), 2}), types::paren), false, false, "(\n    1 2\n)"},
        {typed(b({nl(int_v(1)), nl(int_v(2))}), types::paren), false, true, "(1 2)"},
        {b({1, typed(b({nl(int_v(2))}), types::paren)}), false, false, "[1 (\n    2\n)]"},
        {typed(b({b({1}), typed(b({2}), types::paren)}), types::paren), false, false, "([1] (2))"},
    };
    for (const row& r : rows) EXPECT_EQ(test::mold(r.value, false, r.flat, r.only), r.mold) << r.mold;
    // Forming is block!'s: spaces, no parentheses.
    EXPECT_EQ(test::form(typed(b({1, typed(b({2, 3}), types::paren)}), types::paren)), "1 2 3");
    int32_t left = 0;
    EXPECT_EQ(with_budget(typed(b({10, 20, 30}), types::paren), 4, true, &left), "(10 20)");
    EXPECT_EQ(left, -3);
}

TEST_F(PathsTypes, MakeBySizeOrFromBlocks) {
    kel_value f29, f05, pct;
    set_float(&f29, 2.9);
    set_float(&f05, 0.5);
    set_float(&pct, 3.0, types::percent);
    struct row {
        kel_value spec;
        uint32_t type;
        uint32_t capacity;  // bytes
    };
    const row rows[] = {
        {int_v(0), types::path, 16},       {f29, types::path, 32},  {f05, types::path, 16},
        {int_v(5), types::set_path, 80},   {pct, types::lit_path, 48}, {int_v(-4), types::get_path, 16},
    };
    for (const row& r : rows) {
        const kel_value made = call(act::make, {test::type_v(r.type), r.spec});
        EXPECT_EQ(type_of(&made), r.type);
        EXPECT_EQ(block::ks_length_q(&made), 0);
        EXPECT_EQ(memory::buffer_of(series_node(&made))->capacity, r.capacity) << r.capacity;
    }
    // A block-like spec: a shallow copy of its cells from the head.
    kel_value inner = b({9});
    kel_value src = b({w("a"), inner, w("c")});
    set_series_head(&src, 1);
    const kel_value made = call(act::make, {test::type_v(types::lit_path), src});
    EXPECT_EQ(type_of(&made), types::lit_path);
    EXPECT_NE(series_node(&made), series_node(&src));
    EXPECT_EQ(test::mold(made), "'[9]/c");
    EXPECT_EQ(series_node(block::ks_abs_at(&made, 0)), series_node(&inner));
    const kel_value from_paren = call(act::make, {test::type_v(types::path), typed(b({1, 2}), types::paren)});
    EXPECT_EQ(test::mold(from_paren), "1/2");
    // Any other spec is refused with the datatype and the spec.
    const kel_value text = test::str(U"a/b");
    EXPECT_TRUE(fires([&] { call(act::make, {test::type_v(types::path), text}); }, "bad-make-arg"));
    EXPECT_EQ(last_fired().category, error_category::script);
    EXPECT_EQ(get_datatype(&last_fired().args[0]), static_cast<uint32_t>(types::path));
    EXPECT_EQ(series_node(&last_fired().args[1]), series_node(&text));
    EXPECT_TRUE(fires([&] { call(act::make, {test::type_v(types::set_path), test::logic_v(true)}); }, "bad-make-arg"));
    kel_value huge;
    set_float(&huge, 1e20);
    EXPECT_TRUE(fires([&] { call(act::make, {test::type_v(types::path), huge}); }, "out-of-range"));
}

TEST_F(PathsTypes, ToWrapsOrCopies) {
    // A typeset becomes the one element of the path (a block would list its
    // datatypes instead).
    kel_value ts;
    init_cell(&ts, types::typeset);
    typeset_add(&ts, types::integer);
    typeset_add(&ts, types::block);
    const kel_value p = call(act::to, {test::type_v(types::path), ts});
    EXPECT_EQ(type_of(&p), types::path);
    ASSERT_EQ(block::ks_length_q(&p), 1);
    EXPECT_EQ(type_of(block::ks_abs_at(&p, 0)), types::typeset);
    const kel_value blk = call(act::to, {test::type_v(types::block), ts});
    EXPECT_EQ(block::ks_length_q(&blk), 2);

    struct row {
        kel_value spec;
        uint32_t type;
        const char* mold;
    };
    const row rows[] = {
        {b({w("a"), w("b")}), types::set_path, "a/b:"},
        {path_of({w("x"), 1}, types::lit_path), types::get_path, ":x/1"},
        {int_v(7), types::path, "7"},
        {w("solo"), types::lit_path, "'solo"},
    };
    for (const row& r : rows) {
        const kel_value out = call(act::to, {test::type_v(r.type), r.spec});
        EXPECT_EQ(type_of(&out), r.type);
        EXPECT_EQ(test::mold(out), r.mold);
    }
    // A path converts back to a block with its elements.
    const kel_value back = call(act::to, {test::type_v(types::block), path_of({w("a"), w("b")}, types::set_path)});
    EXPECT_EQ(test::mold(back), "[a b]");
}

TEST_F(PathsTypes, PushRetypesTheCellAndClearsFlags) {
    kel_value* cell = block::make_at_tail(nullptr, 2);
    kel_value x = w("a");
    block::ks_add(cell, &x);
    x = w("b");
    block::ks_add(cell, &x);
    cell->header |= header_new_line;
    kel_value* pushed = path::push(cell);
    EXPECT_EQ(pushed->header, static_cast<uint32_t>(types::path));
    EXPECT_EQ(cell->header, static_cast<uint32_t>(types::path));
    EXPECT_EQ(series_node(pushed), series_node(cell));
    EXPECT_EQ(pushed, stack::top() - 1);
    EXPECT_EQ(test::mold(*pushed), "a/b");

    kel_value made;
    path::init_cell(&made, 3);
    EXPECT_EQ(type_of(&made), types::path);
    EXPECT_EQ(memory::buffer_of(series_node(&made))->capacity, 48u);
    path::make_at(&made, types::get_path, 0);
    EXPECT_EQ(type_of(&made), types::get_path);
    EXPECT_EQ(block::ks_length_q(&made), 0);
}

TEST_F(PathsTypes, Compare) {
    const kel_value ab = path_of({w("a"), w("b")});
    const kel_value ab2 = path_of({w("a"), w("b")});
    const kel_value ac = path_of({w("a"), w("c")});
    const kel_value lit_ab = path_of({w("a"), w("b")}, types::lit_path);
    const kel_value set_ab = path_of({w("a"), w("b")}, types::set_path);
    const kel_value get_ab = path_of({w("a"), w("b")}, types::get_path);
    struct row {
        kel_value a, b;
        int32_t op;
        bool answer;
    };
    const row rows[] = {
        {ab, ab2, cmp::equal, true},
        {ab, ac, cmp::equal, false},
        {ab, ac, cmp::lesser, true},
        {ac, ab, cmp::greater, true},
        {ab, ab2, cmp::same, false},
        {ab, ab, cmp::same, true},
        // Different path types are not equal under the plain equality...
        {ab, lit_ab, cmp::equal, false},
        {set_ab, get_ab, cmp::equal, false},
        // ... but path! and lit-path! are under the equalities 10 and 11.
        {ab, lit_ab, cmp::equal10, true},
        {set_ab, set_ab, cmp::strict_equal, true},
        {typed(b({1, 2}), types::paren), typed(b({1, 2}), types::paren), cmp::equal, true},
        {typed(b({1, 2}), types::paren), b({1, 2}), cmp::equal, false},
    };
    for (const row& r : rows)
        EXPECT_EQ(actions::compare_by_op(&r.a, &r.b, r.op), r.answer) << test::mold(r.a) << " " << r.op;
}

// The rows: own handlers, the slots left empty, and the rest taken from the parent.
TEST_F(PathsTypes, RowsFollowTheirTables) {
    auto in = [](int a, std::initializer_list<int> list) {
        for (int x : list)
            if (x == a) return true;
        return false;
    };
    auto unsupported_path = [&](int a) {
        return a == act::random || a == act::unused8 || (a >= act::absolute && a <= act::xor_) || a == act::sort ||
               a == act::trim || (a >= act::create && a <= act::write && a != act::modify);
    };
    for (int a = 1; a <= act::count; ++a) {
        // path!: make, to, form, mold of its own; copy is block!'s.
        if (unsupported_path(a)) {
            EXPECT_FALSE(registry::supported(types::path, a)) << a;
        } else if (in(a, {act::make, act::to, act::form, act::mold})) {
            EXPECT_TRUE(registry::supported(types::path, a)) << a;
            EXPECT_NE(registry::slot_at(types::path, a).any, registry::slot_at(types::block, a).any) << a;
        } else {
            EXPECT_EQ(registry::slot_at(types::path, a).any, registry::slot_at(types::block, a).any) << a;
        }
        // The three other path types: mold of their own, the rest as path!.
        for (uint32_t t : {types::lit_path, types::set_path, types::get_path}) {
            if (unsupported_path(a)) {
                EXPECT_FALSE(registry::supported(t, a)) << a;
            } else {
                EXPECT_EQ(registry::slot_at(t, a).any, registry::slot_at(types::path, a).any) << a;
            }
            EXPECT_EQ(registry::parent_ids[t], types::path);
        }
        // paren!: only trim, the math and port actions are refused.
        const bool paren_none = a == act::unused8 || (a >= act::absolute && a <= act::xor_) || a == act::trim ||
                                (a >= act::create && a <= act::write && a != act::modify);
        if (paren_none) {
            EXPECT_FALSE(registry::supported(types::paren, a)) << a;
        } else if (a != act::mold) {
            EXPECT_EQ(registry::slot_at(types::paren, a).any, registry::slot_at(types::block, a).any) << a;
        }
    }
    EXPECT_EQ(registry::mold_handler(types::paren), &paren::mold);
    EXPECT_EQ(registry::mold_handler(types::set_path), &path::mold);
    EXPECT_STREQ(registry::type_name(types::lit_path), "lit-path!");
    EXPECT_STREQ(registry::type_name(types::paren), "paren!");
}

TEST_F(PathsTypes, SortRefusedOnPathsWorksOnParens) {
    const kel_value p = path_of({3, 1, 2});
    EXPECT_TRUE(fires([&] { call(act::sort, {p}); }, "expect-arg"));
    EXPECT_TRUE(fires([&] { call(act::trim, {p}); }, "expect-arg"));
    EXPECT_TRUE(fires([&] { call(act::random, {p}); }, "expect-arg"));
    EXPECT_TRUE(fires([&] { call(act::trim, {typed(b({1}), types::paren)}); }, "expect-arg"));
    const kel_value q = typed(b({3, 1, 2}), types::paren);
    const kel_value sorted = call(act::sort, {q});
    EXPECT_EQ(test::mold(sorted), "(1 2 3)");
    // random shuffles a paren in place: the same elements.
    const kel_value shuffled = call(act::random, {q});
    std::vector<int32_t> got = test::ints(shuffled);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(PathsTypes, SeriesActionsAsBlocks) {
    // append, find, take, copy keep the path type and work on the cells.
    kel_value p = path_of({w("a"), w("b")}, types::set_path);
    const kel_value c = w("c");
    (void)call(act::append, {p, c});
    EXPECT_EQ(test::mold(p), "a/b/c:");
    const kel_value found = call(act::find, {p, w("b")});
    EXPECT_EQ(type_of(&found), types::set_path);
    EXPECT_EQ(test::mold(found), "b/c:");
    const kel_value taken = call(act::take, {p});
    EXPECT_EQ(test::mold(taken), "a");
    EXPECT_EQ(test::mold(p), "b/c:");

    // copy/deep: nested blocks are copied, the path type kept.
    kel_value inner = b({1});
    const kel_value q = path_of({w("x"), inner}, types::get_path);
    test::entry_call deep;
    deep.arg(q).flag(action_specs::copy_ref::deep);
    const kel_value copied = deep.run(actions::copy_star);
    EXPECT_EQ(type_of(&copied), types::get_path);
    EXPECT_NE(series_node(&copied), series_node(&q));
    EXPECT_NE(series_node(block::ks_abs_at(&copied, 1)), series_node(&inner));
    EXPECT_EQ(test::mold(copied), ":x/[1]");
    const kel_value shallow = call(act::copy, {q});
    EXPECT_EQ(series_node(block::ks_abs_at(&shallow, 1)), series_node(&inner));
}
