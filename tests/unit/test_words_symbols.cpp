// The symbol table: exact and caseless interning, aliases (also across
// regrowth of the index), names with inner zero bytes, cached string forms,
// and the symbol! row.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/symbol.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"

using namespace kel;
namespace ht = kel::hashtable;

namespace {

struct WordsSymbols : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

uint32_t part(const std::string& s) { return symbol::intern_part(s.data(), static_cast<uint32_t>(s.size())); }

std::string name_of(uint32_t id) {
    uint32_t n;
    const char* p = symbol::name_bytes(id, &n);
    return std::string(p, n);
}

}  // namespace

TEST_F(WordsSymbols, InterningTable) {
    const uint32_t before = symbol::count();
    const uint32_t first = symbol::intern("Quince-t1");
    const uint32_t lower = symbol::intern("quince-t1");
    const uint32_t upper = symbol::intern("QUINCE-T1");
    EXPECT_EQ(symbol::count(), before + 3);
    struct row {
        uint32_t id;
        int32_t alias;
    } rows[] = {{first, -1}, {lower, static_cast<int32_t>(first)}, {upper, static_cast<int32_t>(first)}};
    for (const row& r : rows) {
        EXPECT_EQ(symbol::alias_of(r.id), r.alias);
        EXPECT_EQ(symbol::resolve(r.id), first);
    }
    EXPECT_NE(first, lower);
    EXPECT_NE(lower, upper);
    // Interning again finds, and makes nothing.
    EXPECT_EQ(symbol::intern("quince-t1"), lower);
    EXPECT_EQ(symbol::intern_caseless("QUINCE-T1"), first);
    EXPECT_EQ(symbol::intern_caseless("qUINCE-t1"), first);  // a spelling never interned
    EXPECT_EQ(symbol::count(), before + 3);
    const uint32_t fresh = symbol::intern_caseless("Never-Seen-t1");
    EXPECT_EQ(symbol::alias_of(fresh), -1);
    EXPECT_EQ(symbol::count(), before + 4);
    EXPECT_EQ(name_of(first), "Quince-t1");
    EXPECT_EQ(name_of(upper), "QUINCE-T1");
}

TEST_F(WordsSymbols, NamesAreBytesWithTheirLength) {
    const uint32_t a = part(std::string("nul\0a", 5));
    const uint32_t b = part(std::string("nul\0b", 5));
    const uint32_t upper = part(std::string("NUL\0A", 5));
    const uint32_t shorter = part("nul");
    EXPECT_NE(a, b);
    EXPECT_EQ(symbol::alias_of(b), -1);  // not a variant of a: they differ after the zero byte
    EXPECT_EQ(symbol::resolve(upper), a);
    EXPECT_NE(shorter, a);
    EXPECT_EQ(symbol::alias_of(shorter), -1);
    EXPECT_EQ(name_of(a), std::string("nul\0a", 5));
    EXPECT_EQ(part(std::string("nul\0a", 5)), a);
    // The empty name and invalid UTF-8 are names too.
    const uint32_t empty = part("");
    EXPECT_EQ(part(""), empty);
    EXPECT_EQ(name_of(empty), "");
    const uint32_t bad = part("\xFF\xFEz");
    const uint32_t s = symbol::cache_string(bad);
    EXPECT_EQ(test::text(kel_value{types::string, 0, s, 0}), (std::u32string{0xFF, 0xFE, 'z'}));
    // The buffer keeps a zero byte after the name, outside the tail.
    memory::buffer_header* h = memory::buffer_of(symbol::raw_cell(a)->w3);
    EXPECT_EQ(h->used(), 5u);
    EXPECT_EQ(h->head_ptr()[5], 0);
}

TEST_F(WordsSymbols, OnlyAsciiLettersAlias) {
    // Letters outside ASCII are not folded: the capital and the small letter
    // are two canonical symbols; ASCII letters around them still fold.
    const uint32_t cap = symbol::intern("\xC3\x89" "clair-t3");   // Éclair
    const uint32_t small = symbol::intern("\xC3\xA9" "clair-t3");  // éclair
    const uint32_t shout = symbol::intern("\xC3\x89" "CLAIR-T3");
    EXPECT_EQ(symbol::alias_of(cap), -1);
    EXPECT_EQ(symbol::alias_of(small), -1);
    EXPECT_EQ(symbol::resolve(shout), cap);
    // The symbol hash folds exactly as the caseless comparison does.
    EXPECT_EQ(ht::hash_value(symbol::raw_cell(cap), false), ht::hash_value(symbol::raw_cell(shout), false));
}

namespace {
// A private symbol index over a block of its own, starting at 8 buckets.
struct private_index {
    kel_value block;
    uint32_t table;
    private_index() : block(*block::make_at_tail(nullptr, 4)), table(ht::make(4, &block, ht::kinds::words, 1)) {}
    uint32_t intern(const std::string& s) {
        return ht::intern_symbol(table, s.data(), static_cast<uint32_t>(s.size()), false);
    }
    int32_t alias(uint32_t id) { return static_cast<int32_t>(block::ks_abs_at(&block, static_cast<int32_t>(id) - 1)->w1); }
};
}  // namespace

TEST_F(WordsSymbols, InnerZeroBytesNeverAlias) {
    // Pairs of names equal up to a zero byte, each pair in a small index of
    // its own: where their probe sequences meet, the second is compared with
    // the first, and must stay canonical.
    for (char x = 'a'; x <= 'h'; ++x)
        for (char y = 'a'; y <= 'h'; ++y) {
            if (x == y) continue;
            private_index idx;
            EXPECT_EQ(idx.alias(idx.intern(std::string("k\0", 2) + x)), -1);
            EXPECT_EQ(idx.alias(idx.intern(std::string("k\0", 2) + y)), -1) << x << " " << y;
            EXPECT_EQ(idx.alias(idx.intern(std::string("K\0", 2) + x)), 1);
        }
}

TEST_F(WordsSymbols, ThirdSpellingsAfterRegrowthNameTheCanonical) {
    // All eight spellings of one name share a probe sequence; the seventh
    // grows the index in place, after which a variant may come first in
    // probe order. Every alias must still name the first spelling.
    for (int f = 0; f < 24; ++f) {
        private_index idx;
        const std::string base = "abc" + std::to_string(f);
        for (int v = 0; v < 8; ++v) {
            std::string s = base;
            for (int i = 0; i < 3; ++i)
                if (v & (1 << i)) s[static_cast<size_t>(i)] = static_cast<char>(s[static_cast<size_t>(i)] - 32);
            const uint32_t id = idx.intern(s);
            EXPECT_EQ(idx.alias(id), v == 0 ? -1 : 1) << s;
        }
        EXPECT_EQ(ht::header_of(idx.table)->n_buckets, 256u);
    }
}

TEST_F(WordsSymbols, EverySpellingResolvesToOneIdAcrossRegrowth) {
    // A private index starting at 8 buckets regrows in place several times
    // while families of spellings are interned in shuffled order.
    kel_value* blk = block::make_at_tail(nullptr, 4);
    const kel_value table_block = *blk;
    const uint32_t t = ht::make(4, &table_block, ht::kinds::words, 1);
    std::mt19937 gen(11);
    std::vector<std::string> names;
    for (int f = 0; f < 400; ++f) {
        std::string base = "fam" + std::to_string(f) + "x";
        for (int v = 0; v < 5; ++v) {
            std::string s = base;
            for (char& c : s)
                if (gen() & 1) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            names.push_back(s);
        }
    }
    std::shuffle(names.begin(), names.end(), gen);
    std::map<std::string, uint32_t> family;  // lower-case name -> canonical id
    const auto cell = [&](uint32_t id) { return block::ks_abs_at(&table_block, static_cast<int32_t>(id) - 1); };
    for (const std::string& s : names) {
        const uint32_t id = ht::intern_symbol(t, s.data(), static_cast<uint32_t>(s.size()), false);
        std::string key = s;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const int32_t alias = static_cast<int32_t>(cell(id)->w1);
        const uint32_t canonical = alias > 0 ? static_cast<uint32_t>(alias) : id;
        EXPECT_EQ(static_cast<int32_t>(cell(canonical)->w1), -1) << s << ": an alias must name a canonical symbol";
        auto it = family.find(key);
        if (it == family.end()) family[key] = canonical;
        else EXPECT_EQ(canonical, it->second) << s;
    }
    EXPECT_GE(ht::header_of(t)->n_buckets, 8192u);
    EXPECT_EQ(family.size(), 400u);
}

TEST_F(WordsSymbols, CachedStringTakesTheNarrowestUnit) {
    struct row {
        const char* name;
        uint32_t unit;
        std::u32string text;
    } rows[] = {
        {"plain-t5", 1, U"plain-t5"},
        {"caf\xC3\xA9-t5", 1, U"caf\u00E9-t5"},
        {"\xE2\x82\xAC-t5", 2, U"\u20AC-t5"},
        {"\xF0\x9F\x98\x80-t5", 4, U"\U0001F600-t5"},
    };
    for (const row& r : rows) {
        const uint32_t id = symbol::intern(r.name);
        EXPECT_EQ(symbol::raw_cell(id)->w2, 0u);
        const uint32_t node = symbol::cache_string(id);
        EXPECT_EQ(memory::buffer_of(node)->unit(), r.unit) << r.name;
        EXPECT_EQ(test::text(kel_value{types::string, 0, node, 0}), r.text);
        EXPECT_EQ(symbol::cache_string(id), node);  // made once
        EXPECT_EQ(symbol::cell_at(id)->w2, node);
    }
}

TEST_F(WordsSymbols, InternStringFromTheHead) {
    kel_value s = test::str(U"xx\u20ACname-t6", 2);
    set_series_head(&s, 2);
    EXPECT_EQ(symbol::intern_string(&s), symbol::intern("\xE2\x82\xAC" "name-t6"));
    kel_value bad = test::str(std::u32string{'a', 0x110000}, 4);
    EXPECT_TRUE(fires([&] { symbol::intern_string(&bad); }, "invalid-char"));
}

TEST_F(WordsSymbols, SymbolRowComparesNamesOnly) {
    for (int a = 1; a <= act::count; ++a)
        EXPECT_EQ(registry::supported(types::symbol, a), a == act::compare) << a;
    EXPECT_STREQ(registry::type_name(types::symbol), "symbol!");
    EXPECT_STREQ(registry::type_name(types::context), "context!");
    for (int a = 1; a <= act::count; ++a) EXPECT_FALSE(registry::supported(types::context, a)) << a;
    const kel_value a = *symbol::raw_cell(symbol::intern("apple-t7"));
    const kel_value A = *symbol::raw_cell(symbol::intern("APPLE-t7"));
    const kel_value b = *symbol::raw_cell(symbol::intern("banana-t7"));
    const kel_value longer = *symbol::raw_cell(symbol::intern("apple-t7s"));
    struct row {
        const kel_value *x, *y;
        int32_t op, want;
    } rows[] = {
        {&a, &A, cmp::equal, 0},          {&a, &A, cmp::strict_equal, 1}, {&a, &b, cmp::equal, 1},
        {&a, &b, cmp::lesser, -1},        {&b, &a, cmp::lesser, 1},       {&a, &longer, cmp::lesser, -1},
        {&a, &longer, cmp::equal, 1},     {&A, &a, cmp::case_sort, -1},   {&A, &a, cmp::sort, 0},
    };
    for (const row& r : rows) EXPECT_EQ(symbol::compare(r.x, r.y, r.op), r.want) << r.op;
    const kel_value one = test::int_v(1);
    EXPECT_EQ(symbol::compare(&a, &one, cmp::equal), cmp::not_comparable);
}
