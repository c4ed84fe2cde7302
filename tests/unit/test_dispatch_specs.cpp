// The action spec texts against the refinement table of the generic actions
// and the slot numbers the handlers read; and the memory figures of `stats`.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "kernel/action_specs.h"
#include "kernel/series_memory.h"
#include "tests/unit/dispatch_support.h"

using namespace kel;
using namespace kel::test;
namespace ar = kel::action_specs;

namespace {

// Refinements in spec order, with the argument each takes ("" for none).
const std::map<int, std::vector<std::pair<std::string, std::string>>> refinement_table = {
    {act::random, {{"/seed", ""}, {"/secure", ""}, {"/only", ""}}},
    {act::form, {{"/part", "limit"}}},
    {act::mold, {{"/only", ""}, {"/all", ""}, {"/flat", ""}, {"/part", "limit"}}},
    {act::modify, {{"/case", ""}}},
    {act::round,
     {{"/to", "scale"}, {"/even", ""}, {"/down", ""}, {"/half-down", ""}, {"/floor", ""}, {"/ceiling", ""},
      {"/half-ceiling", ""}}},
    {act::append, {{"/part", "length"}, {"/only", ""}, {"/dup", "count"}}},
    {act::change, {{"/part", "range"}, {"/only", ""}, {"/dup", "count"}}},
    {act::copy, {{"/part", "length"}, {"/deep", ""}, {"/types", "kind"}}},
    {act::find,
     {{"/part", "length"}, {"/only", ""}, {"/case", ""}, {"/same", ""}, {"/any", ""}, {"/with", "wild"},
      {"/skip", "size"}, {"/last", ""}, {"/reverse", ""}, {"/tail", ""}, {"/match", ""}}},
    {act::insert, {{"/part", "length"}, {"/only", ""}, {"/dup", "count"}}},
    {act::move, {{"/part", "length"}}},
    {act::put, {{"/case", ""}}},
    {act::remove, {{"/part", "length"}, {"/key", "key-arg"}}},
    {act::reverse, {{"/part", "length"}, {"/skip", "size"}}},
    {act::select,
     {{"/part", "length"}, {"/only", ""}, {"/case", ""}, {"/same", ""}, {"/any", ""}, {"/with", "wild"},
      {"/skip", "size"}, {"/last", ""}, {"/reverse", ""}}},
    {act::sort,
     {{"/case", ""}, {"/skip", "size"}, {"/compare", "comparator"}, {"/part", "length"}, {"/all", ""},
      {"/reverse", ""}, {"/stable", ""}}},
    {act::take, {{"/part", "length"}, {"/deep", ""}, {"/last", ""}}},
    {act::trim, {{"/head", ""}, {"/tail", ""}, {"/auto", ""}, {"/lines", ""}, {"/all", ""}, {"/with", "str"}}},
    {act::open, {{"/new", ""}, {"/read", ""}, {"/write", ""}, {"/seek", ""}, {"/allow", "access"}}},
    {act::read,
     {{"/part", "length"}, {"/seek", "index"}, {"/binary", ""}, {"/lines", ""}, {"/info", ""}, {"/as", "encoding"}}},
    {act::write,
     {{"/binary", ""}, {"/lines", ""}, {"/info", ""}, {"/append", ""}, {"/part", "length"}, {"/seek", "index"},
      {"/allow", "access"}}},
};

// The word after `token` in the text (skipping a type block), "" when the
// next word is a refinement or the text ends.
std::string word_after(const std::string& text, const std::string& token) {
    size_t at = text.find(token + " ");
    if (at == std::string::npos) return "";
    size_t i = at + token.size() + 1;
    size_t j = text.find(' ', i);
    std::string w = text.substr(i, j == std::string::npos ? std::string::npos : j - i);
    return (w.empty() || w[0] == '/' || w[0] == '[') ? "" : w;
}

}  // namespace

TEST(DispatchSpecs, RefinementsFollowTheTable) {
    int without = 0;
    for (int a = 1; a <= act::count; ++a) {
        const ar::spec& s = ar::of(a);
        if (a == act::path_step || a == act::unused8 || a == act::compare) {
            EXPECT_EQ(s.word, nullptr);
            EXPECT_EQ(ar::refinement_count(a), 0);
            continue;
        }
        ASSERT_NE(s.text, nullptr) << a;
        const std::string text = s.text;
        EXPECT_EQ(text.substr(0, text.find(' ')), s.first_argument) << s.word;
        auto it = refinement_table.find(a);
        if (it == refinement_table.end()) {
            EXPECT_EQ(ar::refinement_count(a), 0) << s.word;
            ++without;
            continue;
        }
        ASSERT_EQ(ar::refinement_count(a), static_cast<int>(it->second.size())) << s.word;
        for (size_t i = 0; i < it->second.size(); ++i) {
            EXPECT_EQ(ar::refinement_index(a, it->second[i].first), static_cast<int>(i)) << s.word;
            EXPECT_EQ(word_after(text, it->second[i].first), it->second[i].second) << s.word << " " << i;
        }
    }
    // The actions without refinements: 59 words less the 21 above.
    EXPECT_EQ(without, 38);
    for (int a : {act::make, act::reflect, act::to, act::absolute, act::add, act::divide, act::multiply, act::negate,
                  act::power, act::remainder, act::subtract, act::even_q, act::odd_q, act::and_, act::complement,
                  act::or_, act::xor_, act::at, act::back, act::clear, act::head, act::head_q, act::index_q,
                  act::length_q, act::next, act::pick, act::poke, act::skip, act::swap, act::tail, act::tail_q,
                  act::create, act::close, act::delete_, act::open_q, act::query, act::rename, act::update})
        EXPECT_EQ(ar::refinement_count(a), 0) << a;
    EXPECT_EQ(ar::refinement_index(act::append, "/deep"), -1);
    EXPECT_EQ(ar::of(0).text, nullptr);
    EXPECT_EQ(ar::of(63).text, nullptr);
}

TEST(DispatchSpecs, SlotNumbersMatchTheTexts) {
    struct row {
        int action;
        const char* refinement;
        int slot;
    };
    const row rows[] = {
        {act::random, "/only", ar::random_ref::only},       {act::mold, "/part", ar::mold_ref::part},
        {act::mold, "/flat", ar::mold_ref::flat},           {act::round, "/half-ceiling", ar::round_ref::half_ceiling},
        {act::append, "/dup", ar::append_ref::dup},         {act::change, "/only", ar::change_ref::only},
        {act::copy, "/types", ar::copy_ref::types},         {act::find, "/match", ar::find_ref::match},
        {act::find, "/same", ar::find_ref::same},           {act::find, "/skip", ar::find_ref::skip},
        {act::insert, "/part", ar::insert_ref::part},       {act::move, "/part", ar::move_ref::part},
        {act::put, "/case", ar::put_ref::case_},            {act::remove, "/key", ar::remove_ref::key},
        {act::reverse, "/skip", ar::reverse_ref::skip},     {act::select, "/reverse", ar::select_ref::reverse},
        {act::sort, "/stable", ar::sort_ref::stable},       {act::sort, "/compare", ar::sort_ref::compare},
        {act::take, "/last", ar::take_ref::last},           {act::trim, "/with", ar::trim_ref::with},
        {act::trim, "/auto", ar::trim_ref::auto_},          {act::modify, "/case", ar::modify_ref::case_},
        {act::open, "/allow", ar::open_ref::allow},         {act::read, "/as", ar::read_ref::as},
        {act::write, "/allow", ar::write_ref::allow},       {act::write, "/append", ar::write_ref::append},
        {act::form, "/part", ar::form_ref::part},
    };
    for (const row& r : rows) EXPECT_EQ(ar::refinement_index(r.action, r.refinement), r.slot) << r.refinement;
}

TEST(DispatchStats, MemoryFigures) {
    boot();
    kel_value* out = block::make_at_tail(nullptr, 4);
    EXPECT_EQ(stats::memory(out, 0), 0.0);
    EXPECT_EQ(block::ks_length_q(out), 0);
    const double level1 = stats::memory(out, 1);
    EXPECT_GT(level1, 0.0);
    EXPECT_EQ(block::ks_length_q(out), 0);

    const double total = stats::memory(out, 2);
    ASSERT_EQ(block::ks_length_q(out), 3);
    double sum = 0;
    const kel_value nodes = *block::ks_abs_at(out, 0);
    const kel_value series = *block::ks_abs_at(out, 1);
    const kel_value bigs = *block::ks_abs_at(out, 2);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(new_line_q(block::ks_abs_at(out, i)));
    EXPECT_EQ(block::ks_length_q(&nodes), static_cast<int32_t>(memory::root.node_frame_count));
    auto figures = [](const kel_value& list, double weight, double* acc) {
        for (int32_t i = 0; i < block::ks_length_q(&list); ++i) {
            const kel_value* frame = block::ks_abs_at(&list, series_head(&list) + i);
            EXPECT_TRUE(new_line_q(frame));
            const std::vector<int32_t> f = ints(*frame);
            ASSERT_EQ(f.size(), 3u);
            EXPECT_EQ(f[0] + f[1], f[2]);  // free + used = total
            *acc += weight * f[1];
        }
    };
    figures(nodes, 4.0, &sum);
    figures(series, 1.0, &sum);
    for (int32_t s : ints(bigs)) sum += s;
    EXPECT_EQ(sum, total);
}
