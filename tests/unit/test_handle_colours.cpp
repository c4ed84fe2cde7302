// handle! cells as native code makes them (every kind, table-backed ones
// across collections), and the named colours of the boot's constants phase.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/handle.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "kernel/collector.h"
#include "kernel/handles.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/runtime_env.h"

namespace kel {
namespace {

TEST(HandleCells, FormMoldAndCompareOfEveryKind) {
    test::boot();
    const struct {
        int32_t value;
        uint32_t kind;
        const char* form;
        const char* mold_all;
    } cases[] = {
        {0, handle::CLASS_NULL, "00000000h", "#[handle! 00000000h]"},
        {3, handle::CLASS_FD, "00000003h", "#[handle! 00000003h fd]"},
        {0x1A2B, handle::CLASS_MONITOR, "00001A2Bh", "#[handle! 00001A2Bh monitor]"},
        {-1, handle::CLASS_WINDOW, "FFFFFFFFh", "#[handle! FFFFFFFFh window]"},
        {0x7FFFFFFF, handle::CLASS_FONT, "7FFFFFFFh", "#[handle! 7FFFFFFFh font]"},
        {16, handle::CLASS_RICH_TEXT, "00000010h", "#[handle! 00000010h rich-text]"},
    };
    for (const auto& c : cases) {
        kel_value h{};
        handle::init_cell(&h, c.value, c.kind);
        EXPECT_EQ(type_of(&h), types::handle);
        EXPECT_EQ(static_cast<int32_t>(h.w3), -1) << "no table entry";
        EXPECT_EQ(test::form(h), c.form);
        EXPECT_EQ(test::mold(h), "handle!");
        EXPECT_EQ(test::mold(h, true), c.mold_all);
    }
    // Compare: signed 32-bit values, kinds ignored; another type is not comparable.
    kel_value window{}, font{}, low{}, n{};
    handle::init_cell(&window, 5, handle::CLASS_WINDOW);
    handle::init_cell(&font, 5, handle::CLASS_FONT);
    handle::init_cell(&low, -1, handle::CLASS_FD);
    set_integer(&n, 5);
    const compare_fn compare = registry::compare_handler(types::handle);
    EXPECT_EQ(compare(&window, &font, cmp::equal), 0);
    EXPECT_EQ(compare(&low, &window, cmp::lesser), -1);  // FFFFFFFFh is -1, below 5
    EXPECT_EQ(compare(&window, &low, cmp::lesser), 1);
    EXPECT_EQ(compare(&window, &n, cmp::equal), cmp::not_comparable);
}

// A handle whose word 3 names a table entry keeps the entry alive while the
// handle is reachable, and only then.
TEST(HandleCells, ATableBackedHandleKeepsItsEntryAcrossCollections) {
    test::boot();
    static uint32_t kind = externals::register_kind("test handle", nullptr);
    ASSERT_NE(kind, 0u);
    const int32_t index = externals::store(0x1234, kind);
    static kel_value root{};
    handle::init_cell(&root, 42, handle::CLASS_WINDOW, index);
    collector::add_root_cell(&root);
    collector::collect();
    collector::collect();
    EXPECT_TRUE(externals::live_q(index));
    EXPECT_EQ(externals::data_of(index), 0x1234u);
    EXPECT_EQ(handle::value_of(&root), 42);
    collector::remove_root_cell(&root);
    set_none(&root);
    collector::collect();
    EXPECT_FALSE(externals::live_q(index));
}

// The constants phase ends with the named colours: every set-word after the
// last typeset is a colour, each holds a tuple!, `glass` is the last.
TEST(NamedColours, EveryColourIsATupleAndGlassIsLast) {
    runtime_env::start();
    std::ifstream in(std::string(KEL_SOURCE_DIR) + "/library/boot-03-constants.kel");
    std::stringstream text;
    text << in.rdbuf();
    const std::string source = text.str();
    const size_t typesets_end = source.find("any-type!:");
    ASSERT_NE(typesets_end, std::string::npos);
    std::vector<std::string> names;
    const std::string rest = source.substr(source.find('\n', typesets_end));
    const std::regex set_word(R"((^|\n)([a-z-]+):)");
    for (std::sregex_iterator it(rest.begin(), rest.end(), set_word), end; it != end; ++it)
        names.push_back((*it)[2]);
    ASSERT_GE(names.size(), 6u);
    EXPECT_EQ(names.back(), "glass");
    for (const std::string& name : names) {
        kel_value w = *word::from_c_string(name.c_str());
        const kel_value* v = _context::get_bound(&w);
        ASSERT_NE(v, nullptr) << name;
        EXPECT_EQ(type_of(v), types::tuple) << name;
    }
    const struct {
        const char* name;
        const char* value;
    } fixed[] = {{"red", "255.0.0"}, {"blue", "0.0.255"}, {"white", "255.255.255"}, {"transparent", "0.0.0.255"}};
    for (const auto& f : fixed) {
        kel_value w = *word::from_c_string(f.name);
        EXPECT_EQ(test::mold(*_context::get_bound(&w)), f.value) << f.name;
    }
    // null-handle: the null kind with value 0.
    kel_value w = *word::from_c_string("null-handle");
    const kel_value* h = _context::get_bound(&w);
    ASSERT_EQ(type_of(h), types::handle);
    EXPECT_EQ(handle::kind_of(h), handle::CLASS_NULL);
    EXPECT_EQ(handle::value_of(h), 0);
}

}  // namespace
}  // namespace kel
