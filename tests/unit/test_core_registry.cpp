// The datatype registry: ids, names, parents, order, inheritance, and the
// fatal end of a malformed registration.
#include <gtest/gtest.h>

#include <cstring>

#include "datatypes/datatype.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"

using namespace kel;
namespace reg = kel::registry;

namespace {

signal_code dummy_action(const refinements&) { return signal_code::none; }
int32_t dummy_form(const kel_value*, kel_value*, const kel_value*, int32_t part) { return part; }

}  // namespace

TEST(CoreRegistry, OrderIsTheFixedOneAndParentsComeFirst) {
    test::boot();
    const uint8_t expected[] = {1,  2,  3,  4,  42, 5,  7,  41, 11, 13, 14, 15, 17, 16, 18, 19, 10, 21,
                                22, 23, 25, 26, 27, 28, 24, 29, 6,  20, 9,  8,  32, 30, 31, 12, 33, 34,
                                35, 40, 36, 37, 38, 39, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53};
    int n = 0;
    const uint8_t* order = reg::registration_order(&n);
    ASSERT_EQ(n, 53);
    EXPECT_EQ(std::memcmp(order, expected, sizeof expected), 0);
    bool seen[64] = {};
    for (int i = 0; i < n; ++i) {
        uint8_t p = reg::parent_ids[order[i]];
        if (p) {
            EXPECT_TRUE(seen[p]) << "type " << int(order[i]) << " before its parent " << int(p);
        }
        seen[order[i]] = true;
    }
    // The start-up registers 53 types; event! (54) comes only from the boot,
    // which another test of this process may have run.
    if (reg::registered_q(54)) {
        EXPECT_EQ(reg::highest_type_id, 54u);
        EXPECT_STREQ(reg::type_name(54), "event!");
        EXPECT_EQ(reg::register_boot_types(nullptr), 0u);  // once only
    } else {
        EXPECT_EQ(reg::highest_type_id, 53u);
    }
}

TEST(CoreRegistry, NamesParentsAndLengths) {
    test::boot();
    struct row { uint32_t id; const char* name; uint32_t parent; };
    const row rows[] = {
        {1, "datatype!", 0}, {5, "block!", 42}, {6, "paren!", 5}, {7, "string!", 42}, {8, "file!", 9},
        {9, "url!", 7}, {10, "char!", 11}, {16, "set-word!", 15}, {17, "lit-word!", 15}, {29, "routine!", 24},
        {38, "percent!", 12}, {42, "series!", 0}, {46, "handle!", 11}, {51, "point2D!", 0}, {53, "image!", 42},
    };
    for (const row& r : rows) {
        EXPECT_STREQ(reg::type_name(r.id), r.name);
        EXPECT_EQ(reg::parent_ids[r.id], r.parent) << r.name;
        EXPECT_EQ(reg::type_names[r.id].length, static_cast<int32_t>(std::strlen(r.name)) - 1);
    }
    EXPECT_EQ(reg::type_names[types::datatype].length, 8);
}

// The rows state their families one by one; these are the relations a row
// that forgets a bit would break (a new cell series that is block-like but no
// series!, a number that is no scalar).
TEST(CoreRegistry, FamilyBitsKeepTheirRelations) {
    test::boot();
    namespace f = family;
    struct rule { uint16_t if_in; uint16_t then_in; const char* what; };
    const rule rules[] = {
        {f::block_like, f::series, "block-like is a series"},
        {f::string_like, f::series, "string-like is a series"},
        {f::list, f::block_like, "a list is block-like"},
        {f::path, f::block_like, "a path is block-like"},
        {f::number, f::scalar, "a number is a scalar"},
        {f::point, f::scalar, "a point is a scalar"},
    };
    const uint16_t apart[] = {f::series, f::word, f::scalar, f::function, f::object};
    for (uint32_t t = 1; t <= types::count; ++t) {
        if (!reg::registered_q(t)) continue;
        for (const rule& r : rules)
            if (in_family(t, r.if_in)) {
                EXPECT_TRUE(in_family(t, r.then_in)) << reg::type_name(t) << ": " << r.what;
            }
        if (in_family(t, f::block_like)) {
            EXPECT_NE(in_family(t, f::list), in_family(t, f::path)) << reg::type_name(t);
        }
        int groups = 0;
        for (uint16_t g : apart) groups += in_family(t, g) ? 1 : 0;
        EXPECT_LE(groups, 1) << reg::type_name(t) << " is in two disjoint families";
    }
    // the abstract base and a refinement belong to no family of their kin
    EXPECT_FALSE(in_family(types::series, f::series));
    EXPECT_FALSE(in_family(types::refinement, f::word));
    EXPECT_TRUE(in_family(types::tag, f::string_like));
    // ids past the table, and values that are no type id at all
    for (uint32_t t : {0u, 55u, 255u, 256u, 0xFFFFFFFFu}) EXPECT_FALSE(in_family(t, 0xFFFF)) << t;
}

TEST(CoreRegistry, ChildrenTakeTheParentsRowAsItStood) {
    test::boot();
    // series! has no make, form, mold, path step or compare of its own.
    for (int a : {act::make, act::form, act::mold, act::path_step, act::compare, act::append})
        EXPECT_FALSE(reg::supported(types::series, a)) << a;
    // Slot 8 is empty everywhere.
    for (uint32_t t = 1; t <= 53; ++t) EXPECT_FALSE(reg::supported(t, act::unused8));
    // datatype! has exactly form, mold and compare.
    int own = 0;
    for (int a = 1; a <= act::count; ++a) own += reg::supported(types::datatype, a);
    EXPECT_EQ(own, 3);
}

TEST(CoreRegistry, InstallResolvesInheritEntriesAtRegistration) {
    test::boot();
    // In a child process: a type registered with parent block! takes
    // block!'s slots for its -1 entries and keeps its own elsewhere. It takes
    // the last free id, since the boot may have registered event! (54) here.
    EXPECT_EXIT(
        {
            reg::registration r;
            r.id = 56;
            r.parent = types::block;
            r.name = "event!";
            r.hash = hashtable::hash_by::w2;
            r.marker = collector::cell_markers::event;
            r.inherit_all();
            r[act::form] = static_cast<form_fn>(dummy_form);
            r[act::clear] = reg::entry{};  // unsupported
            reg::install(r);
            bool ok = reg::slot_at(56, act::at).any == reg::slot_at(types::block, act::at).any &&
                      reg::form_handler(56) == dummy_form && !reg::supported(56, act::clear) &&
                      reg::highest_type_id == 56 && reg::type_names[56].length == 5;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(CoreRegistry, MalformedRegistrationsEndTheProcessWithNonZeroCode) {
    test::boot();
    struct bad { const char* what; reg::registration r; };
    std::vector<bad> cases;
    auto base = [] {
        reg::registration r;
        r.id = 54;
        r.name = "event!";
        r.hash = hashtable::hash_by::w2;
        r.marker = collector::cell_markers::event;
        return r;
    };
    { auto r = base(); r.id = 0; cases.push_back({"id 0", r}); }
    { auto r = base(); r.id = 57; cases.push_back({"id past the table", r}); }
    { auto r = base(); r.id = types::block; r.parent = types::series; cases.push_back({"twice", r}); }
    { auto r = base(); r.parent = 55; cases.push_back({"parent not registered", r}); }
    { auto r = base(); r[act::at] = reg::entry::inherit(); cases.push_back({"inherit without parent", r}); }
    { auto r = base(); r[act::form] = static_cast<action_fn>(dummy_action); cases.push_back({"stack handler in form slot", r}); }
    { auto r = base(); r[act::at] = static_cast<form_fn>(dummy_form); cases.push_back({"form handler in at slot", r}); }
    { auto r = base(); r[act::unused8] = static_cast<action_fn>(dummy_action); cases.push_back({"slot 8 filled", r}); }
    { auto r = base(); r.name = "event"; cases.push_back({"name without !", r}); }
    { auto r = base(); r[act::at] = static_cast<action_fn>(nullptr); cases.push_back({"null handler", r}); }
    { auto r = base(); r.hash = nullptr; cases.push_back({"no hash column", r}); }
    { auto r = base(); r.marker = nullptr; cases.push_back({"no marker column", r}); }
    for (const bad& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(reg::install(c.r), ::testing::ExitedWithCode(98), "Runtime Error 98");
    }
}

TEST(CoreRegistry, DatatypeCompareFormAndMold) {
    test::boot();
    kel_value a = test::type_v(types::integer), b2 = test::type_v(types::integer), c = test::type_v(types::block);
    kel_value i = test::int_v(11);
    EXPECT_EQ(datatype::compare(&a, &b2, cmp::equal), 0);
    EXPECT_EQ(datatype::compare(&a, &c, cmp::equal), 1);
    EXPECT_EQ(datatype::compare(&a, &i, cmp::strict_equal), 1);  // an integer 11 is not integer!
    EXPECT_EQ(datatype::compare(&a, &b2, cmp::same), 0);
    EXPECT_EQ(datatype::compare(&a, &c, cmp::find), 1);
    EXPECT_EQ(datatype::compare(&a, &c, cmp::not_equal), 1);
    EXPECT_EQ(datatype::compare(&a, &c, cmp::lesser), cmp::not_comparable);
    EXPECT_EQ(datatype::compare(&a, &a, cmp::sort), cmp::not_comparable);
    EXPECT_EQ(test::form(a), "integer");
    EXPECT_EQ(test::mold(a), "integer!");
    EXPECT_EQ(test::mold(a, true), "#(integer!)");
    EXPECT_EQ(test::mold(test::type_v(types::point2d)), "point2D!");
}
