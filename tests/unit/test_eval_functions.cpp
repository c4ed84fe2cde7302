// function!, native!, action!, op! and routine! values: making them (the
// spec checks), the locals of `function`, reflection, form, mold and
// comparison.
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct EvalFunctions : eval_test {};

struct row {
    const char* code;
    const char* expected;
};

void check(const row* rows, size_t n) {
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(run(rows[i].code), rows[i].expected) << rows[i].code;
}

kel_value global(const char* name) {
    kel_value w = *word::from_c_string(name);
    return *_context::get_bound(&w);
}

// Evaluates code whose result is kept in a global word and answers it.
kel_value made(const char* code) {
    EXPECT_EQ(run((std::string("made-value: ") + code).c_str()).substr(0, 1) == "!", false) << code;
    return global("made-value");
}

}  // namespace

TEST_F(EvalFunctions, SpecChecks) {
    struct spec_row {
        const char* spec;
        const char* expected;  // "ok" or the error
    } rows[] = {
        {"[]", "ok"},
        {"[a b]", "ok"},
        {"[a [integer!] \"doc\"]", "ok"},
        {"[\"doc\" a]", "ok"},
        {"[[trace] a]", "ok"},
        {"[[anything at all] a]", "ok"},
        {"[a /ref b]", "ok"},
        {"[a 'b :c]", "ok"},
        {"[a return: [integer!]]", "ok"},
        {"[a return: [integer!] /local x y]", "ok"},
        {"[a return: [integer!] \"doc\"]", "ok"},
        {"[/local a b]", "ok"},
        {"[a /local b [integer!]]", "ok"},
        {"[a [any-type!] b [series! none!]]", "ok"},
        {"[a \"doc\" [integer!]]", "!script/bad-func-def"},
        {"[return: [integer!] a]", "!script/bad-func-def"},
        {"[a return: [integer!] /ref]", "!script/bad-func-def"},
        {"[return: integer!]", "!script/bad-func-def"},
        {"[return: [integer!] return: [integer!]]", "!script/bad-func-def"},
        {"[return: [integer!] 1]", "!script/bad-func-def"},
        {"[/local a /b]", "!script/bad-func-def"},
        {"[/local 'a]", "!script/bad-func-def"},
        {"[/local a return: [integer!]]", "!script/bad-func-def"},
        {"[a 1]", "!script/bad-func-def"},
        {"[a: 1]", "!script/bad-func-def"},
        {"[a /ref 1]", "!script/bad-func-def"},
        {"[[trace 1] a]", "!script/bad-func-def"},
        {"[a [integer!] [block!]]", "!script/bad-func-def"},
        {"[a a]", "!script/dup-vars"},
        {"[a /a]", "!script/dup-vars"},
        {"[a 'A]", "!script/dup-vars"},
        {"[a [1]]", "!script/invalid-type-spec"},
        {"[a [no-such-type-word!]]", "!script/invalid-type-spec"},
    };
    for (const spec_row& r : rows) {
        const std::string code = std::string("make function! [") + r.spec + " []] 'ok";
        EXPECT_EQ(run(code.c_str()), r.expected) << r.spec;
    }
    // The whole spec is the error's argument; a duplicate names the later one.
    EXPECT_EQ(run("make function! [[a 1] []]"), "!script/bad-func-def");
    EXPECT_EQ(mold(last_fired().args[0]), "[a 1]");
    EXPECT_EQ(run("make function! [[a b /A] []]"), "!script/dup-vars");
    EXPECT_EQ(mold(last_fired().args[0]), "/A");
    // Attribute words set the header flags.
    EXPECT_EQ(made("make function! [[[trace] a] [a]]").header & 0xFFFFFF00u, function::flag_trace);
    EXPECT_EQ(made("make function! [[[no-trace] a] [a]]").header & 0xFFFFFF00u, function::flag_no_trace);
    EXPECT_EQ(made("make function! [[a] [a]]").header, static_cast<uint32_t>(types::function));
}

TEST_F(EvalFunctions, MakeRefusesOtherShapes) {
    const row rows[] = {
        {"make function! [[a]]", "!script/bad-func-def"},
        {"make function! 1", "!script/bad-func-def"},
        {"make function! [[a] 1]", "!script/bad-func-def"},
        {"make function! [1 [a]]", "!script/bad-func-def"},
        {"f: make function! [[a] [a * 2]] g: make :f [[b] [b + 1]] g 1", "2"},  // a function as the prototype
    };
    check(rows, std::size(rows));
    EXPECT_EQ(run("make function! [[a]]"), "!script/bad-func-def");
    EXPECT_EQ(mold(last_fired().args[0]), "[[a]]");
}

TEST_F(EvalFunctions, TheBodyIsACopyBoundToTheContext) {
    // Changing the block the body came from changes nothing; the body's words
    // are the function's.
    const row rows[] = {
        {"b: [a + 1] f: make function! append/only copy [[a]] b append b 5 f 1", "2"},
        {"a: 100 f: make function! [[a] [a]] f 1", "1"},
        {"a: 100 f: make function! [[x] [a]] f 1", "100"},
    };
    check(rows, std::size(rows));
}

TEST_F(EvalFunctions, CollectLocals) {
    struct locals_row {
        const char* spec;
        const char* body;
        const char* spec_after;
        const char* collected;
    } rows[] = {
        {"[a]", "[x: 1 foreach y [1 2] [z: 3] b: 2 repeat i 3 [] a: 5]", "[a /local x y z b i]", "[x y z b i]"},
        {"[a]", "[foreach [k v] m [] remove-each w [] []]", "[a /local k v w]", "[k v w]"},
        {"[a]", "[x: 1 (y: 2) x: 3]", "[a /local x y]", "[x y]"},
        {"[a]", "[a: 1]", "[a]", "[]"},
        {"[a /local x]", "[x: 1 y: 2]", "[a /local x y]", "[y]"},
        {"[a /extern e /local l]", "[e: 1 m: 2 l: 3]", "[a /local l m]", "[l m]"},
        {"[a /extern e]", "[e: 1]", "[a]", "[]"},
        {"[a]", "[local: 1 x: 2]", "[a /local x]", "[x]"},
        {"['a :b /r c]", "[a: b: c: r: d: 1]", "['a :b /r c /local d]", "[d]"},
    };
    for (const locals_row& r : rows) {
        const kel_value spec_text = runtime_env::read(r.spec), body_text = runtime_env::read(r.body);
        kel_value s = *block::ks_abs_at(&spec_text, 0);
        const kel_value body = *block::ks_abs_at(&body_text, 0);
        stack::reset();
        const kel_value* collected = function::collect_locals(&s, &body);
        EXPECT_EQ(mold(*collected), r.collected) << r.body;
        EXPECT_EQ(mold(s), r.spec_after) << r.body;
    }
    const kel_value bad_text = runtime_env::read("[a /extern 1]");
    kel_value bad = *block::ks_abs_at(&bad_text, 0);
    const kel_value body = b({});
    EXPECT_TRUE(fires([&] { (void)function::collect_locals(&bad, &body); }, "bad-func-extern"));
    EXPECT_EQ(mold(last_fired().args[0]), "1");
}

TEST_F(EvalFunctions, CountLocalsAndUnusedRefinements) {
    const kel_value with_text = runtime_env::read("[a /local b c]"), without_text = runtime_env::read("[a /r b]");
    const kel_value with = *block::ks_abs_at(&with_text, 0);
    const kel_value without = *block::ks_abs_at(&without_text, 0);
    EXPECT_EQ(function::count_locals(series_node(&with), 0, false), 3);
    EXPECT_EQ(function::count_locals(series_node(&without), 0, false), 0);
    EXPECT_EQ(function::count_locals(series_node(&without), 0, true), -1);
    kel_value* top = stack::top();
    function::push_unused_refinement(3);
    EXPECT_EQ(mold(block_of({top[0], top[1], top[2]})), "[false none none]");
    EXPECT_EQ(stack::top(), top + 3);
}

TEST_F(EvalFunctions, FunctionReflectFormMoldCompare) {
    const row rows[] = {
        {"f: make function! [[a b /r] [a + b]] reflect :f 'spec", "[a b /r]"},
        {"f: make function! [[a b /r] [a + b]] reflect :f 'body", "[a + b]"},
        {"f: make function! [[a b /r] [a + b]] reflect :f 'words", "[a b r]"},
        {"f: make function! [[a b /r] [a + b]] reflect :f 'other", "!internal/not-done"},
        {"f: make function! [[a] [a]] g: :f :f = :g", "true"},
        {"f: make function! [[a] [a]] g: make function! [[a] [a]] :f = :g", "false"},
        {"f: make function! [[a] [a]] :f = 1", "false"},
        {"f: make function! [[a] [a]] :f < :f", "!script/invalid-compare"},
    };
    check(rows, std::size(rows));
    // The spec reflected is the function's own (not a copy).
    EXPECT_EQ(run("f: make function! [[a] [a]] append reflect :f 'spec 'z reflect :f 'spec"), "[a z]");
    // The words are bound to the function's context.
    const kel_value f = made("make function! [[x] [x]]");
    EXPECT_EQ(run("w: reflect :made-value 'words"), "[x]");
    const kel_value w = global("w");
    EXPECT_EQ(word_context(block::ks_abs_at(&w, 0)), f.w1);

    EXPECT_EQ(mold(made("make function! [[x] [x + 1]]")), "func [x][x + 1]");
    EXPECT_EQ(form(made("make function! [[x] [x + 1]]")), "?function?");
    // Functions order by their auxiliary blocks when sorted.
    const kel_value g = made("make function! [[y] [y]]");
    EXPECT_EQ(actions::sort_compare(&f, &f, cmp::sort), 0);
    EXPECT_NE(actions::sort_compare(&f, &g, cmp::sort), 0);
    EXPECT_EQ(actions::sort_compare(&f, &g, cmp::sort), -actions::sort_compare(&g, &f, cmp::sort));
}

TEST_F(EvalFunctions, NativesAndActions) {
    const row rows[] = {
        {"n: make native! [[a] 120] 'ok", "ok"},
        {"n: make native! [[a] 121]", "!script/bad-make-arg"},
        {"n: make native! [[a] 0]", "!script/bad-make-arg"},
        {"n: make action! [[a] 62] 'ok", "ok"},
        {"n: make action! [[a] 63]", "!script/bad-make-arg"},
        {"n: make action! [[a] 0]", "!script/bad-make-arg"},
        {"n: make native! [[a]]", "!script/bad-make-arg"},
        {"n: make native! [1 2]", "!script/bad-make-arg"},
        {"n: make native! [[a] 1 2]", "!script/bad-make-arg"},
        // An empty slot of either table cannot be called.
        {"n: make native! [[] 108] n", "!internal/not-done"},
        {"n: make action! [[] 8] n", "!internal/not-done"},
        // Calls are checked against the table entry's own spec.
        {"e: make native! [[x] 3] e true [1] [2]", "1"},   // table entry 3 is either
        {"e: make native! [[x] 3] e 1 2 3", "!script/expect-arg"},
        {"a: make action! [[] 25] a [1] 2", "[1 2]"},
        {":either = :either", "true"},
        {":either = :if", "false"},
        {":append = :append", "true"},
        {":append = :insert", "false"},
        {":either = :append", "false"},
        {"reflect :either 'body", "3"},
        {"reflect :append 'body", "25"},
        {"reflect :either 'words", "!internal/not-done"},
        {"reflect :append 'spec", "[series [series! port! bitset!] value [any-type!] /part length [number! series!] "
                                  "/only /dup count [integer!]]"},
    };
    check(rows, std::size(rows));
    EXPECT_EQ(run("e: make native! [[x] 3] e 1 2 3"), "!script/expect-arg");
    EXPECT_EQ(fired_args(), "e integer! true-blk");
    EXPECT_EQ(mold(global("if")), "make native! [[cond [any-type!] then-blk [block!]]]");
    EXPECT_EQ(form(global("if")), "?native?");
    EXPECT_EQ(mold(global("negate")), "make action! [[number [number! bitset! pair! any-point! time! money!]]]");
    EXPECT_EQ(form(global("negate")), "?action?");
    const kel_value either = global("either"), if_ = global("if"), append = global("append");
    EXPECT_EQ(actions::sort_compare(&if_, &either, cmp::sort), -1);  // by table number: if 1, either 3
    EXPECT_EQ(actions::sort_compare(&either, &if_, cmp::sort), 1);
    EXPECT_EQ(native::compare(&either, &append, cmp::equal), cmp::not_comparable);
}

TEST_F(EvalFunctions, Operators) {
    struct op_row {
        const char* spec;
        bool accepted;
    } rows[] = {
        {"[a b]", true},           {"[a b /local c]", true}, {"[a 'b]", true},
        {"[a :b]", true},          {"[\"doc\" a [integer!] b]", true},
        {"[a b return: [integer!]]", true},
        {"[a b /extern c]", true}, {"[a]", false},           {"[a b c]", false},
        {"[:a b]", false},         {"['a b]", false},         {"[a b /only]", false},
    };
    for (const op_row& r : rows) {
        const std::string code = std::string("make op! make function! [") + r.spec + " [1]] 'ok";
        EXPECT_EQ(run(code.c_str()), r.accepted ? "ok" : "!script/bad-op-spec") << r.spec;
    }
    const row others[] = {
        {"make op! 1", "!script/invalid-type"},
        {"p: make op! make function! [[a b] [a + b]] reflect :p 'body", "[a + b]"},
        {"p: make op! :add reflect :p 'body", "11"},
        {"p: make op! :add reflect :p 'spec", "[value1 [scalar! vector!] value2 [scalar! vector!]]"},
        {"p: make op! :add :p = :add", "false"},
        {"p: make op! :add q: make op! :add :p = :q", "true"},
        {"p: make op! :lesser? 1 p 2", "true"},
    };
    check(others, std::size(others));
    EXPECT_EQ(run("make op! 1"), "!script/invalid-type");
    EXPECT_EQ(mold(last_fired().args[0]), "integer!");
    const kel_value p = made("make op! make function! [[a b] [a + b]]");
    EXPECT_EQ(native::wrapped_type(&p), static_cast<uint32_t>(types::function));
    EXPECT_EQ(p.header & ~0x00FF00FFu, 0u);  // no other header bits
    EXPECT_EQ(mold(p), "make op! func [a b][a + b]");
    EXPECT_EQ(form(p), "?op?");
    // The function remembers its op! (auxiliary cell 3).
    EXPECT_EQ(type_of(function::more_cell(&p, function::more::op)), types::function);
    EXPECT_EQ(mold(made("make op! :add")), "make op! [[value1 [scalar! vector!] value2 [scalar! vector!]]]");
    const kel_value add = global("add");
    const kel_value op = made("make op! :add");
    EXPECT_EQ(native::compare(&op, &add, cmp::equal), cmp::not_comparable);
}
