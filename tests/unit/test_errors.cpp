// error!: the catalogue (its order, its fixed positions, every id the
// runtime fires), make error! from a code, a block and a string with their
// errors, the console report of every category with its arguments, mold,
// path steps, compare, the errors `fire` builds, and the where/stack
// annotation of the call marks.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/catalog.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_objects_support.h"

using namespace kel;
using test::b;
using test::int_v;
using test::set_word_v;
using test::str;
using test::word_v;

namespace {

struct Errors : ::testing::Test {
    void SetUp() override {
        test::install_object_stand_ins();
        stack::reset();
        cycles::reset();
        error::current_position = nullptr;
        error::trace_level = nullptr;
        error::trace_files = nullptr;
    }
    void TearDown() override { test::restore_object_hooks(); }
};

kel_value make_error(const kel_value& spec) { return test::make_object(test::type_v(types::error), spec); }

kel_value built(const char* category, const char* id, const kel_value* a1 = nullptr, const kel_value* a2 = nullptr,
                const kel_value* a3 = nullptr) {
    const kel_value c = word_v(category), i = word_v(id);
    kel_value* e = error::build(&c, &i, a1, a2, a3);
    const kel_value r = *e;
    stack::drop_cells(1);
    return *block::ks_add(block::root(), &r);
}

std::string first_line(const std::string& report) { return report.substr(0, report.find('\n')); }

// The error's path step for `e/<field>` (a get): the id it fires, "" when it
// answers (the value in *result), "returned a code" when it returns one.
std::string path_step_fires(const kel_value& error, const char* field, kel_value* result) {
    const kel_value path = b({word_v("e"), word_v(field)});
    kel_value parent = error;
    path_step_args s{};
    s.parent = &parent;
    s.element = block::ks_abs_at(&path, 1);
    s.path = &path;
    s.result = result;
    signal_code code = signal_code::none;
    const std::string id = test::fired_id([&] { code = registry::path_handler(types::error)(s); });
    return id.empty() && code != signal_code::none ? "returned a code" : id;
}

kel_value err_field(const kel_value& e, int32_t f) { return *error::field_at(&e, f); }

}  // namespace

TEST_F(Errors, TheCatalogueHoldsTheTenCategoriesInOrder) {
    ASSERT_TRUE(error::ready());
    const kel_value* c = error::catalog();
    EXPECT_EQ(error::check_catalog(c), nullptr);
    const char* names[] = {"throw", "note", "syntax", "script", "math", "access", "reserved1", "reserved2",
                           "user", "internal"};
    for (int k = 0; k < 10; ++k) {
        const kel_value w = word_v(names[k]);
        EXPECT_EQ(error::category_of(&w), k) << names[k];
        const kel_value cat = _context::values(c->w1)[k];
        EXPECT_EQ(get_integer(_context::values(cat.w1)), 100 * k);
    }
    const kel_value script = word_v("script"), no_value = word_v("no-value"), bad_to = word_v("bad-to-arg");
    EXPECT_EQ(error::id_in(3, &no_value), 2);
    EXPECT_EQ(error::id_in(3, &bad_to), 56);
    const kel_value code = word_v("code"), type = word_v("type");
    EXPECT_EQ(error::id_in(3, &code), -1);  // field 0 and 1 are no errors
    EXPECT_EQ(error::id_in(3, &type), -1);
    EXPECT_EQ(error::category_of(&no_value), -1);
    // A catalogue object of another shape is refused.
    const kel_value other = test::make_object(b({set_word_v("throw"), 1}));
    EXPECT_NE(error::check_catalog(&other), nullptr);
    EXPECT_NE(error::check_catalog(&script), nullptr);
    // The prototype has the ten fields in their order.
    const kel_value* p = error::prototype();
    ASSERT_EQ(_context::length(p->w1), 10);
    EXPECT_TRUE(test::word_named(*object::word_at(p->w1, 8), "stack"));
}

TEST_F(Errors, EveryIdTheRuntimeFiresIsInItsCategory) {
    const std::regex call(R"(fire\(error_category::([a-z_]+),\s*"([a-z0-9?!*-]+)\")");
    std::set<std::string> missing;
    int seen = 0;
    // Every folder of the sources, whatever layers come: only the tests, the
    // benches, the tools and build trees are not the runtime.
    std::set<std::string> scanned;
    for (const auto& top : std::filesystem::directory_iterator(KEL_SOURCE_DIR)) {
        const std::string dir = top.path().filename().string();
        if (!top.is_directory() || dir[0] == '.' || dir.rfind("build", 0) == 0 || dir == "tests" ||
            dir == "bench" || dir == "tools")
            continue;
        scanned.insert(dir);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(top.path())) {
            if (entry.path().extension() != ".cpp" && entry.path().extension() != ".h") continue;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            const std::string s = text.str();
            for (std::sregex_iterator it(s.begin(), s.end(), call), end; it != end; ++it) {
                std::string category = (*it)[1];
                if (category.back() == '_') category.pop_back();
                const kel_value c = word_v(category.c_str());
                const kel_value i = word_v(std::string((*it)[2]).c_str());
                ++seen;
                if (error::id_in(error::category_of(&c), &i) < 0) missing.insert(category + " " + std::string((*it)[2]));
            }
        }
    }
    for (const char* dir : {"kernel", "datatypes", "evaluator", "services", "library", "console", "app"})
        EXPECT_EQ(scanned.count(dir), 1u) << dir;
    EXPECT_GT(seen, 50);
    EXPECT_TRUE(missing.empty()) << [&] {
        std::string all;
        for (const std::string& m : missing) all += m + "\n";
        return all;
    }();
}

TEST_F(Errors, MakeFromACode) {
    const kel_value e = make_error(int_v(302));
    EXPECT_EQ(type_of(&e), types::error);
    EXPECT_EQ(get_integer(error::field_at(&e, error::field::code)), 302);
    EXPECT_TRUE(test::word_named(err_field(e, error::field::type), "script"));
    EXPECT_TRUE(test::word_named(err_field(e, error::field::id), "no-value"));
    // type and id are the catalogue's own words.
    EXPECT_EQ(word_context(error::field_at(&e, error::field::type)), error::catalog()->w1);
    EXPECT_EQ(type_of(error::field_at(&e, error::field::arg1)), types::none);
    const kel_value math = make_error(int_v(400 + 2));
    EXPECT_EQ(get_integer(error::field_at(&math, 0)), 402);
    // Codes outside the catalogue, and ids 0 and 1 (the code and type fields).
    for (int32_t code : {1000, -1, -302, 300, 301, 399, 102, 1099, 2147483647}) {
        EXPECT_EQ(test::fired_id([&] { make_error(int_v(code)); }), "out-of-range") << code;
        EXPECT_EQ(get_integer(&last_fired().args[0]), code);
    }
}

TEST_F(Errors, MakeFromABlock) {
    kel_value e = make_error(b({word_v("math"), word_v("zero-divide")}));
    EXPECT_EQ(get_integer(error::field_at(&e, 0)), 400 + 2);
    struct row {
        kel_value spec;
        const char* error;
    } rows[] = {
        {b({word_v("bogus"), word_v("no-value")}), "invalid-spec-field"},
        {b({word_v("script"), 5}), "invalid-arg"},
        {b({word_v("script")}), "invalid-arg"},
        {b({word_v("script"), word_v("zero-divide")}), "invalid-spec-field"},
        {b({word_v("script"), word_v("type")}), "invalid-spec-field"},
        {b({1, 2}), "invalid-error"},
        {b({}), "invalid-error"},
    };
    for (const row& r : rows) EXPECT_EQ(test::fired_id([&] { make_error(r.spec); }), r.error) << test::mold(r.spec);
    EXPECT_EQ(test::fired_id([&] { make_error(b({word_v("bogus"), word_v("x")})); }), "invalid-spec-field");
    EXPECT_STREQ(last_fired().arg_words[0], "type");
    EXPECT_EQ(test::fired_id([&] { make_error(b({word_v("script"), word_v("x")})); }), "invalid-spec-field");
    EXPECT_STREQ(last_fired().arg_words[0], "id");
    // A block of set-words sets the fields directly.
    e = make_error(b({set_word_v("type"), test::lit_word_v("script"), set_word_v("id"), test::lit_word_v("no-value"),
                      set_word_v("arg1"), test::lit_word_v("x")}));
    EXPECT_EQ(get_integer(error::field_at(&e, 0)), 302);
    EXPECT_TRUE(test::word_named(err_field(e, error::field::arg1), "x"));
    EXPECT_EQ(test::fired_id([&] {
                  make_error(b({set_word_v("type"), test::lit_word_v("script"), set_word_v("id"),
                                test::lit_word_v("nothing")}));
              }),
              "invalid-spec-field");
}

TEST_F(Errors, MakeFromAStringAndOtherValues) {
    const kel_value e = make_error(str(U"boom"));
    EXPECT_TRUE(test::word_named(err_field(e, error::field::type), "user"));
    EXPECT_TRUE(test::word_named(err_field(e, error::field::id), "message"));
    EXPECT_EQ(get_integer(error::field_at(&e, 0)), 802);
    EXPECT_EQ(test::text(err_field(e, error::field::arg1)), U"boom");
    EXPECT_EQ(first_line(test::form(e)), "*** User Error: \"boom\"");
    EXPECT_EQ(test::fired_id([] { make_error(test::pair_v(1, 2)); }), "bad-make-arg");
    EXPECT_EQ(get_datatype(&last_fired().args[0]), static_cast<uint32_t>(types::error));
}

TEST_F(Errors, EveryCategoryIsReportedWithItsArguments) {
    const kel_value five = int_v(5), line = str(U"(line 3)"), integer = test::type_v(types::integer),
                    integer_name = str(U"integer!"),
                    text = str(U"12x"), x = str(U"x"), append = word_v("append"), series = word_v("series"),
                    file = str(U"f.txt"), url = str(U"http://a"), timeout = str(U"timeout");
    kel_value abstract;
    init_cell(&abstract, types::series);
    struct row {
        kel_value error;
        const char* first_line;
    } rows[] = {
        {built("throw", "break"), "*** Throw Error: no loop to break"},
        {built("throw", "throw", &five), "*** Throw Error: no catch for throw: 5"},
        {built("syntax", "invalid", &line, &integer_name, &text), "*** Syntax Error: (line 3) invalid integer! at 12x"},
        {built("script", "invalid-arg", &x), "*** Script Error: invalid argument: \"x\""},
        {built("script", "expect-arg", &append, &integer, &series),
         "*** Script Error: append does not allow integer! for its series argument"},
        {built("script", "no-value", &append), "*** Script Error: append has no value"},
        {built("math", "zero-divide"), "*** Math Error: attempt to divide by zero"},
        {built("access", "cannot-open", &file), "*** Access Error: cannot open: \"f.txt\""},
        {built("access", "no-connect", &url, &timeout), "*** Access Error: cannot connect: \"http://a\" reason: \"timeout\""},
        {built("user", "message", &x), "*** User Error: \"x\""},
        {built("internal", "not-done"), "*** Internal Error: reserved for future use (or not yet implemented)"},
        // An argument of a type with no form handler stands as its type name.
        {built("script", "invalid-arg", &abstract), "*** Script Error: invalid argument: (series!)"},
    };
    for (const row& r : rows) EXPECT_EQ(first_line(test::form(r.error)), r.first_line);
    // The note and reserved categories hold no ids.
    EXPECT_EQ(error::category_size(1), 2);
    EXPECT_EQ(error::category_size(6), 2);
    EXPECT_EQ(error::category_size(7), 2);
}

TEST_F(Errors, TheWholeReport) {
    const kel_value foo = word_v("foo");
    kel_value e = built("script", "no-value", &foo);
    EXPECT_EQ(test::form(e), "*** Script Error: foo has no value\n*** Where: ???\n*** Near : none");
    const kel_value where = word_v("print");
    error::fill_where(&e, &where);
    const kel_value near = b({word_v("print"), word_v("foo"), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
    *error::field_at(&e, error::field::near) = near;
    *error::field_at(&e, error::field::files) = b({str(U"a.kel"), str(U"b.kel")});
    EXPECT_EQ(test::form(e),
              "*** Script Error: foo has no value\n*** Where: print\n*** Near : [print foo 1 2 3 4 5 6 7 8 9 10 11 12 "
              "13\n*** Files: \"a.kel\" \"b.kel\"");
    // A string where is formed; anything else gives ???.
    *error::field_at(&e, error::field::where) = str(U"in here");
    EXPECT_NE(test::form(e).find("*** Where: in here\n"), std::string::npos);
    *error::field_at(&e, error::field::where) = int_v(3);
    EXPECT_NE(test::form(e).find("*** Where: ???\n"), std::string::npos);
    // Each argument within 80 characters.
    const kel_value long_text = str(std::u32string(200, U'a'));
    const kel_value l = built("script", "invalid-arg", &long_text);
    EXPECT_EQ(first_line(test::form(l)), "*** Script Error: invalid argument: {" + std::string(79, 'a'));
    // The stack line only with a positive trace level.
    error::trace_level = [] { return 1; };
    *error::field_at(&e, error::field::stack) = b({word_v("f"), word_v("g")});
    EXPECT_NE(test::form(e).find("\n*** Stack: f g"), std::string::npos);
    error::trace_level = nullptr;
    EXPECT_EQ(test::form(e).find("*** Stack"), std::string::npos);
}

TEST_F(Errors, AnErrorOutsideTheCatalogueIsReportedAsInvalid) {
    const kel_value seven = int_v(7);
    kel_value e = built("math", "overflow", &seven);
    *error::field_at(&e, error::field::id) = word_v("no-such-id");
    EXPECT_EQ(first_line(test::form(e)), "*** Internal Error: invalid error object field value: 7");
    *error::field_at(&e, error::field::type) = int_v(1);
    EXPECT_EQ(first_line(test::form(e)), "*** Internal Error: invalid error object field value: 7");
}

TEST_F(Errors, MoldPathCompareAndInheritedActions) {
    const kel_value e = make_error(int_v(402));
    EXPECT_EQ(test::mold(e, false, true),
              "make error! [code: 402 type: 'math id: 'zero-divide arg1: none arg2: none arg3: none near: none "
              "where: none stack: none files: none]");
    const std::string lined = test::mold(e);
    EXPECT_EQ(lined.rfind("make error! [\n    code: 402\n    type: 'math\n", 0), 0u);
    EXPECT_EQ(lined.substr(lined.size() - 2), "\n]");
    EXPECT_EQ(test::mold(e, false, true, true).rfind("code: 402 type:", 0), 0u);
    // Path steps: like an object's, but `stack` is refused.
    kel_value result;
    EXPECT_EQ(path_step_fires(e, "stack", &result), "invalid-path-set");
    ASSERT_EQ(path_step_fires(e, "code", &result), "");
    EXPECT_EQ(get_integer(&result), 402);
    // Compare: only with errors, then as objects.
    const kel_value same = make_error(int_v(402)), other = make_error(int_v(302));
    const kel_value obj = test::make_object(b({set_word_v("code"), 402}));
    EXPECT_EQ(error::compare(&e, &obj, cmp::equal), cmp::not_comparable);
    EXPECT_EQ(error::compare(&e, &same, cmp::equal), 0);
    EXPECT_NE(error::compare(&e, &other, cmp::equal), 0);
    // The row: own make/form/mold/path/compare, reflect/copy/select from object!.
    EXPECT_EQ(registry::handler(types::error, act::reflect), registry::handler(types::object, act::reflect));
    EXPECT_EQ(registry::handler(types::error, act::copy), registry::handler(types::object, act::copy));
    EXPECT_EQ(registry::handler(types::error, act::select), registry::handler(types::object, act::select));
    EXPECT_FALSE(registry::supported(types::error, act::put));
    EXPECT_FALSE(registry::supported(types::error, act::modify));
    // A copy stays an error!.
    kel_value* copy = stack::push_unset();
    object::duplicate(&e, copy, true, nullptr, true);
    EXPECT_EQ(type_of(copy), types::error);
    EXPECT_EQ(get_integer(error::field_at(copy, 0)), 402);
}

// A bare cell of `fire` (building the value failed, as when memory ran out)
// reaches try/all/keep, form, mold, paths and compare with no context behind
// it: each answers without reading one.
TEST_F(Errors, ABareCellOfFireHasNoFieldsToRead) {
    const kel_value seven = int_v(7);
    const kel_value built_error = built("math", "overflow", &seven);
    kel_value bare;
    init_cell(&bare, types::error);
    bare.w1 = static_cast<uint32_t>(error_category::internal);
    bare.w2 = 12;
    EXPECT_TRUE(error::bare_q(&bare));
    EXPECT_FALSE(error::bare_q(&built_error));
    EXPECT_EQ(error::type_symbol(&bare), 0u);
    EXPECT_EQ(error::id_symbol(&bare), 0u);
    kel_value kept = bare;
    error::build_stack_trace(&kept);
    EXPECT_EQ(std::memcmp(&kept, &bare, sizeof bare), 0);
    EXPECT_EQ(test::form(bare), "*** error");
    EXPECT_EQ(test::mold(bare), "make error! []");
    kel_value result;
    EXPECT_EQ(path_step_fires(bare, "id", &result), "invalid-path");
    EXPECT_EQ(error::compare(&bare, &bare, cmp::equal), 0);
    EXPECT_NE(error::compare(&bare, &built_error, cmp::equal), 0);
    EXPECT_EQ(error::compare(&bare, &built_error, cmp::lesser), cmp::not_comparable);
}

TEST_F(Errors, FireBuildsTheErrorValue) {
    const kel_value seven = int_v(7);
    EXPECT_EQ(test::fired_id([&] { fire(error_category::script, "out-of-range", &seven); }), "out-of-range");
    const kel_value e = *error::last();
    ASSERT_EQ(type_of(&e), types::error);
    const kel_value oor = word_v("out-of-range");
    EXPECT_EQ(get_integer(error::field_at(&e, 0)), 300 + error::id_in(3, &oor));
    EXPECT_EQ(get_integer(error::field_at(&e, error::field::arg1)), 7);
    EXPECT_EQ(get_integer(&last_fired().args[0]), 7);  // the record stays in step
    EXPECT_EQ(first_line(test::form(e)), "*** Script Error: value out of range: 7");
    // Words given by name, a refinement by "/name".
    EXPECT_EQ(test::fired_id([&] {
                  fire(error_category::script, "invalid-refine-arg", error_arg::named("/part"), &seven);
              }),
              "invalid-refine-arg");
    const kel_value r = *error::last();
    EXPECT_EQ(type_of(error::field_at(&r, error::field::arg1)), types::refinement);
    EXPECT_EQ(first_line(test::form(r)), "*** Script Error: invalid /part argument: 7");
    EXPECT_EQ(test::fired_id([&] { fire(error_category::internal, "not-done", error_arg::named("x")); }), "not-done");
    EXPECT_EQ(type_of(error::field_at(error::last(), error::field::arg1)), types::word);
    // An id the catalogue lacks is kept and reported as an invalid error.
    EXPECT_EQ(test::fired_id([&] { fire(error_category::math, "made-up", &seven); }), "made-up");
    const kel_value m = *error::last();
    EXPECT_TRUE(test::word_named(err_field(m, error::field::id), "made-up"));
    EXPECT_EQ(get_integer(error::field_at(&m, 0)), 400);
    EXPECT_EQ(first_line(test::form(m)), "*** Internal Error: invalid error object field value: 7");
}

TEST_F(Errors, NearComesFromTheInterpretersPosition) {
    error::current_position = [](kel_value* out) { *out = test::b({1, 2}); };
    const kel_value e = make_error(int_v(302));
    EXPECT_EQ(test::mold(err_field(e, error::field::near)), "[1 2]");
    const kel_value from_block = make_error(b({set_word_v("type"), test::lit_word_v("math"), set_word_v("id"),
                                              test::lit_word_v("overflow")}));
    EXPECT_EQ(test::mold(err_field(from_block, error::field::near)), "[1 2]");
    error::current_position = nullptr;
}

TEST_F(Errors, TheCallMarksAnnotateWhereAndStack) {
    ASSERT_EQ(stack::errors::hooks.annotate, error::annotate);
    const kel_value q = word_v("q");
    kel_value e = built("script", "no-value", &q);
    const kel_value where = word_v("append"), later = word_v("insert");
    stack::errors::hooks.annotate(&e, &where, 3);
    EXPECT_TRUE(test::word_named(err_field(e, error::field::where), "append"));
    EXPECT_EQ(get_integer(error::field_at(&e, error::field::stack)), 3);
    stack::errors::hooks.annotate(&e, &later, 5);  // where stays, the depth follows
    EXPECT_TRUE(test::word_named(err_field(e, error::field::where), "append"));
    EXPECT_EQ(get_integer(error::field_at(&e, error::field::stack)), 5);
    *error::field_at(&e, error::field::stack) = b({word_v("f")});
    stack::errors::hooks.annotate(&e, &later, 9);  // a captured trace is kept
    EXPECT_EQ(type_of(error::field_at(&e, error::field::stack)), types::block);
    EXPECT_EQ(error::type_symbol(&e), word_v("script").w2);
    EXPECT_EQ(error::id_symbol(&e), word_v("no-value").w2);
    EXPECT_EQ(error::stack_field_index, 8);
}

// The catalogue reader (the lexer) knows every form catalogue sources use.
TEST_F(Errors, TheCatalogueReaderKnowsTheCatalogueForms) {
    const char text[] = "a: [1 -2 \"s^\"q^/\" :g 'l w] ; comment\n b: \"x\"";
    kel_value* r = catalog::read(text, sizeof text - 1);
    EXPECT_EQ(test::mold(*r, false, true), "[a: [1 -2 {s\"q^/} :g 'l w] b: \"x\"]");
    stack::drop_cells(1);
    EXPECT_EQ(std::string(error::catalog_source()).rfind("; The error catalogue", 0), 0u);
}

TEST_F(Errors, CallArgumentWordsAndTheCapturedTrace) {
    const kel_value spec = b({word_v("series"), test::lit_word_v("value"), word_v("part", types::refinement),
                              word_v("count")});
    const kel_value fn = test::function_v(spec, nullptr);
    kel_value name = word_v("my-append");
    _context::set_bound(&name, &fn);
    stack::open_call_frame(&name, fn.w1);
    kel_value w;
    error::call_argument_word(2, &w);
    EXPECT_EQ(type_of(&w), types::lit_word);
    EXPECT_TRUE(test::word_named(w, "value"));
    error::call_argument_word(3, &w);
    EXPECT_EQ(type_of(&w), types::refinement);
    error::call_argument_word(9, &w);
    EXPECT_EQ(type_of(&w), types::none);
    stack::close_frame();
    error::call_argument_word(1, &w);  // no mark
    EXPECT_EQ(type_of(&w), types::none);

    kel_value e = make_error(int_v(302));
    *error::field_at(&e, error::field::stack) = int_v(4);
    error::list_callers = [](kel_value* out, int32_t depth, int32_t level) {
        *out = test::b({depth, level});
    };
    error::build_stack_trace(&e);
    EXPECT_EQ(test::ints(*error::field_at(&e, error::field::stack)), (std::vector<int32_t>{4, 1}));
    EXPECT_EQ(type_of(error::field_at(&e, error::field::files)), types::none);
    error::build_stack_trace(&e);  // a block stays as it is
    EXPECT_EQ(test::ints(*error::field_at(&e, error::field::stack)), (std::vector<int32_t>{4, 1}));
    error::list_callers = nullptr;
}

// Errors raised one after another share what never differs between them;
// whatever one of them gains (a word, a changed mark, a word cell handed
// out) is its own, and shows neither in the others nor in later errors.
TEST_F(Errors, AnErrorChangedAfterwardsLeavesTheOthersAsTheyWere) {
    const auto kept = [](const kel_value& v) { return *block::ks_add(block::root(), &v); };
    const kel_value first = kept(make_error(int_v(402)));
    const kel_value second = kept(make_error(int_v(402)));
    const uint32_t a = first.w1, b2 = second.w1;
    // A word added to one error: the other, the prototype and a later error keep ten.
    const kel_value extra = word_v("extra"), five = int_v(5);
    _context::put(a, &extra, &five);
    EXPECT_EQ(_context::length(a), error::field::count + 1);
    EXPECT_EQ(_context::length(b2), error::field::count);
    EXPECT_EQ(_context::length(error::prototype()->w1), error::field::count);
    const kel_value later = kept(make_error(int_v(402)));
    EXPECT_EQ(_context::length(later.w1), error::field::count);
    EXPECT_EQ(_context::index_of(later.w1, word_symbol(&extra), true), -1);
    EXPECT_EQ(get_integer(_context::values(a) + _context::index_of(a, word_symbol(&extra), true)), 5);
    // A changed mark set through one error only.
    kel_value arg1 = *context_ops::word_at(b2, error::field::arg1);
    EXPECT_EQ(arg1.w1, b2);  // a word cell of an error names that error
    (void)_context::set_in(&arg1, &five, b2, false);
    EXPECT_NE(context_ops::word_at(b2, error::field::arg1)->header & header_changed, 0u);
    EXPECT_EQ(context_ops::word_at(later.w1, error::field::arg1)->header & header_changed, 0u);
    EXPECT_EQ(context_ops::word_at(later.w1, 0)->w1, later.w1);
    // Every error still molds whole after a collection.
    collector::collect();
    EXPECT_EQ(get_integer(error::field_at(&second, error::field::arg1)), 5);
    EXPECT_TRUE(none_q(error::field_at(&later, error::field::arg1)));
    EXPECT_EQ(test::mold(later, false, true),
              "make error! [code: 402 type: 'math id: 'zero-divide arg1: none arg2: none arg3: none near: none "
              "where: none stack: none files: none]");
    EXPECT_NE(test::mold(first, false, true).find("files: none extra: 5]"), std::string::npos);
}
