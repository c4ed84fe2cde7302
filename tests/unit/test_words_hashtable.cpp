// Hash tables: sizing and regrowth, the hash function against an independent
// MurmurHash3 reference in Python, bucket choice, hash! and map! tables against
// brute-force models under random operations, record tables and their weak
// keys, and the collector's heap integer map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/context.h"
#include "datatypes/money.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "kernel/random.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/fold.h"
#include "kernel/hashtable.h"
#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_support.h"

using namespace kel;
namespace ht = kel::hashtable;

namespace {

struct WordsHash : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

// MurmurHash3 x86_32, written from the algorithm's definition.
const char* python_murmur = R"PY(
def murmur3(data, seed):
    c1, c2, m = 0xcc9e2d51, 0x1b873593, 0xffffffff
    rotl = lambda x, r: ((x << r) | (x >> (32 - r))) & m
    h = seed & m
    n = len(data) // 4
    for i in range(n):
        k = int.from_bytes(data[4 * i:4 * i + 4], 'little')
        k = rotl((k * c1) & m, 15) * c2 & m
        h = (rotl(h ^ k, 13) * 5 + 0xe6546b64) & m
    tail, k = data[4 * n:], 0
    for i in reversed(range(len(tail))):
        k ^= tail[i] << (8 * i)
    if tail:
        h ^= rotl((k * c1) & m, 15) * c2 & m
    h ^= len(data) & m
    h ^= h >> 16; h = (h * 0x85ebca6b) & m
    h ^= h >> 13; h = (h * 0xc2b2ae35) & m
    return h ^ (h >> 16)
)PY";

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

kel_value word_v(const char* name, uint32_t type = types::word) {
    kel_value w;
    set_unset(&w);
    word::init_cell(symbol::intern(name), &w);
    set_type(&w, type);
    return w;
}

int32_t cells_of(uint32_t node) { return static_cast<int32_t>(memory::buffer_of(node)->used() / 16); }
kel_value* cell_of(uint32_t node, int32_t i) {
    return reinterpret_cast<kel_value*>(memory::buffer_of(node)->head_ptr()) + i;
}

// The compare handlers decide equality for the brute-force oracles too: what
// is tested is the table's bookkeeping, not the types' equality.
bool equal_under(const kel_value& candidate, const kel_value& key, int32_t op) {
    compare_fn fn = registry::compare_handler(type_of(&candidate));
    return fn && fn(&candidate, &key, op) == 0;
}

}  // namespace

// --- the hash function ------------------------------------------------------------

TEST_F(WordsHash, Murmur3MatchesAnIndependentReference) {
    std::mt19937 gen(7);
    std::vector<std::string> inputs = {"", "a", "ab", "abc", "abcd", "abcde", "The quick brown fox jumps over the lazy dog"};
    for (int len = 0; len < 40; ++len) {
        std::string s;
        for (int i = 0; i < len; ++i) s += static_cast<char>(gen() & 0xFF);
        inputs.push_back(s);
    }
    const uint32_t seeds[] = {0, 1, 0x9747B28Cu, 0xFFFFFFFFu, random::hash_seed()};
    std::ostringstream code;
    code << python_murmur << "inputs = [";
    for (const std::string& s : inputs) code << "bytes.fromhex('" << hex(s) << "'),";
    code << "]\nseeds = [";
    for (uint32_t s : seeds) code << s << ",";
    code << "]\nprint(' '.join(str(murmur3(d, s)) for s in seeds for d in inputs))\n";
    std::istringstream expected(test::python(code.str()));
    for (uint32_t seed : seeds)
        for (const std::string& s : inputs) {
            uint32_t want = 0;
            expected >> want;
            ASSERT_EQ(ht::murmur3_seeded(s.data(), s.size(), seed), want) << "length " << s.size() << " seed " << seed;
        }
    // A published vector, so the reference itself is anchored.
    const char* fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(ht::murmur3_seeded(fox, std::strlen(fox), 0), 0x2E4FF723u);
    EXPECT_EQ(ht::murmur3(fox, 3), ht::murmur3_seeded(fox, 3, random::hash_seed()));
}

TEST_F(WordsHash, BucketChoiceFollowsTheReferenceHash) {
    // Strings hash their upper-cased code points as 32-bit little-endian
    // blocks; symbols their UTF-8 bytes with ASCII capitals folded to small.
    const std::vector<std::string> keys = {"abc", "Hello", "x", "map-each", "zz top"};
    std::ostringstream code;
    code << python_murmur << "seed = " << random::hash_seed() << "\nkeys = [";
    for (const std::string& k : keys) code << "'" << k << "',";
    code << "]\nprint(' '.join(str(murmur3(b''.join(ord(c.upper()).to_bytes(4, 'little') for c in k), seed)) "
            "for k in keys))\nprint(' '.join(str(murmur3(k.lower().encode(), seed)) for k in keys))\n";
    std::istringstream out(test::python(code.str()));
    for (const std::string& k : keys) {
        uint32_t want;
        out >> want;
        std::u32string t(k.begin(), k.end());
        kel_value pair = test::b({test::str(t), 1});
        const uint32_t map = ht::make(2, &pair, ht::kinds::map, 0);
        const uint32_t n = ht::header_of(map)->n_buckets;
        uint32_t used = n;
        for (uint32_t i = 0; i < n; ++i)
            if (ht::bucket_state(map, i) == ht::bucket_used) used = i;
        EXPECT_EQ(used, want & (n - 1)) << k;
        const kel_value key = test::str(t);
        EXPECT_EQ(ht::hash_value(&key, false), want) << k;
    }
    for (const std::string& k : keys) {
        uint32_t want;
        out >> want;
        EXPECT_EQ(ht::murmur3_name(k.data(), k.size()), want) << k;
        const uint32_t id = symbol::intern(k.c_str());
        EXPECT_EQ(ht::hash_value(symbol::raw_cell(id), false), want) << k;
    }
}

TEST_F(WordsHash, EqualDatesHashAlike) {
    // date! equality looks at the calendar date and the stored time only, so
    // the zone bits and the time flag must not reach the hash.
    auto d = [](int32_t year, int32_t month, int32_t day, double seconds, int32_t zone_hours, bool time) {
        kel_value v;
        date::init_cell(&v, year, month, day, seconds, zone_hours, 0, time);
        return v;
    };
    const std::pair<kel_value, kel_value> equal_pairs[] = {
        {d(2020, 1, 1, 0, 0, false), d(2020, 1, 1, 0, 0, true)},             // 1-Jan-2020 and 1-Jan-2020/0:00
        {d(2020, 1, 1, 36000, 1, true), d(2020, 1, 1, 32400, 0, true)},      // 10:00+1:00 and 9:00
        {d(2020, 1, 1, 7200, 2, true), d(2020, 1, 1, 0, 0, true)},           // 2:00+2:00 and 0:00
    };
    for (const auto& [a, b] : equal_pairs) {
        ASSERT_EQ(registry::compare_handler(types::date)(&a, &b, cmp::equal), 0);
        EXPECT_EQ(ht::hash_value(&a, false), ht::hash_value(&b, false)) << a.w1 << " " << b.w1;
    }
    const kel_value other_day = d(2020, 1, 2, 0, 0, false), other_time = d(2020, 1, 1, 1, 0, true);
    EXPECT_NE(ht::hash_value(&equal_pairs[0].first, false), ht::hash_value(&other_day, false));
    EXPECT_NE(ht::hash_value(&equal_pairs[0].first, false), ht::hash_value(&other_time, false));
}

TEST_F(WordsHash, EqualTuplesOfDifferentLengthsHashAlike) {
    // 1.2.3 equals 1.2.3.0, so trailing zero bytes past the third must not
    // reach the hash; a zero byte inside still does.
    auto t = [](std::vector<uint8_t> bytes) {
        kel_value v{};
        tuple::init_cell(&v, bytes.data(), static_cast<int>(bytes.size()));
        return v;
    };
    const std::pair<kel_value, kel_value> equal_pairs[] = {
        {t({1, 2, 3}), t({1, 2, 3, 0})},
        {t({1, 2, 3}), t({1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {t({0, 0, 0}), t({0, 0, 0, 0, 0})},
        {t({1, 2, 0}), t({1, 2, 0, 0})},
        {t({9, 0, 0, 7}), t({9, 0, 0, 7, 0})},
    };
    for (const auto& [a, b] : equal_pairs) {
        ASSERT_EQ(registry::compare_handler(types::tuple)(&a, &b, cmp::equal), 0);
        EXPECT_EQ(ht::hash_value(&a, false), ht::hash_value(&b, false)) << tuple::count_of(&b);
    }
    EXPECT_NE(ht::hash_value(&equal_pairs[0].first, false), ht::hash_value(&equal_pairs[3].first, false));
    EXPECT_NE(ht::hash_value(&equal_pairs[4].first, false), ht::hash_value(&equal_pairs[3].second, false));
}

TEST_F(WordsHash, CaseInsensitiveHashAgreesWithTheComparisonFold) {
    // Whatever the fold, texts that fold alike hash alike, in any unit size.
    for (uint32_t a = 0; a < 0x260; ++a)
        for (uint32_t b : {fold_upper(a), fold_lower(a)}) {
            if (fold_upper(a) != fold_upper(b)) continue;
            const uint32_t unit_a = a > 0xFF ? 2 : 1;
            const kel_value sa = test::str(std::u32string{'x', a}, unit_a);
            const kel_value sb = test::str(std::u32string{'X', b}, 4);
            ASSERT_EQ(ht::hash_value(&sa, false), ht::hash_value(&sb, false)) << a << " " << b;
        }
    // Letters whose lowercase differs but whose uppercase agrees: folding to
    // lowercase would hash these apart while comparison calls them equal.
    const std::pair<std::u32string, std::u32string> same_upper[] = {
        {U"\u00DF", U"s"}, {U"\u017F", U"s"}, {U"\u0131", U"i"}, {U"\u00B5", U"\u03BC"}, {U"\u03C2", U"\u03C3"}};
    for (const auto& [x, y] : same_upper) {
        const kel_value sx = test::str(x, 2), sy = test::str(y, 2);
        EXPECT_EQ(ht::hash_value(&sx, false), ht::hash_value(&sy, false)) << uint32_t(x[0]);
    }
    const kel_value upper = test::str(U"HELLO"), lower = test::str(U"hello");
    EXPECT_EQ(ht::hash_value(&upper, false), ht::hash_value(&lower, false));
    EXPECT_NE(ht::hash_value(&upper, true), ht::hash_value(&lower, true));
    // Same contents, different series: blocks hash by identity.
    const kel_value b1 = test::b({1, 2}), b2 = test::b({1, 2});
    EXPECT_NE(ht::hash_value(&b1, false), ht::hash_value(&b2, false));
    // Words hash by canonical symbol, whatever the word type.
    const kel_value w = word_v("Pear"), s = word_v("PEAR", types::set_word);
    EXPECT_EQ(ht::hash_value(&w, false), ht::hash_value(&s, false));
    const kel_value u = test::unset_v(), n = test::none_v();
    EXPECT_EQ(ht::hash_value(&u, false), static_cast<uint32_t>(-2));
    EXPECT_EQ(ht::hash_value(&n, false), static_cast<uint32_t>(-1));
}

// --- sizing and regrowth -------------------------------------------------------------

TEST_F(WordsHash, SizingTable) {
    struct row {
        int32_t size;
        uint32_t kind, buckets, bound;
    } rows[] = {
        {0, ht::kinds::map, 8, 6},       {3, ht::kinds::map, 8, 6},       {4, ht::kinds::hash, 8, 6},
        {6, ht::kinds::records, 8, 6},   {7, ht::kinds::map, 16, 12},     {8000, ht::kinds::map, 16384, 12615},
        {4, ht::kinds::words, 8, 6},     {4000, ht::kinds::words, 16384, 12615},
    };
    for (const row& r : rows) {
        const uint32_t t = ht::make(r.size, nullptr, r.kind, 2);
        EXPECT_EQ(ht::header_of(t)->n_buckets, r.buckets) << r.size;
        EXPECT_EQ(ht::header_of(t)->upper_bound, r.bound) << r.size;
        EXPECT_EQ(ht::header_of(t)->count, 0u);
        for (uint32_t i = 0; i < r.buckets; ++i) ASSERT_EQ(ht::bucket_state(t, i), ht::bucket_empty);
    }
    // The symbol index was made for 4,000 entries.
    EXPECT_GE(ht::header_of(symbol::index())->n_buckets, 16384u);
}

TEST_F(WordsHash, TheSeventhKeyGrowsASmallTable) {
    std::vector<kel_value> cells;
    for (int i = 0; i < 7; ++i) {
        cells.push_back(test::int_v(i * 100));
        cells.push_back(test::int_v(i));
    }
    kel_value blk = test::block_of({});
    const uint32_t map = ht::make(0, &blk, ht::kinds::map, 0);
    for (int i = 0; i < 7; ++i) {
        block::ks_add(&blk, &cells[2 * i]);
        block::ks_add(&blk, &cells[2 * i + 1]);
        ht::put(map, 2 * i);
        EXPECT_EQ(ht::header_of(map)->n_buckets, i < 6 ? 8u : 16u) << i;
    }
    EXPECT_EQ(ht::header_of(map)->upper_bound, 12u);
    for (int i = 0; i < 7; ++i) {
        kel_value k = test::int_v(i * 100);
        kel_value* found = ht::find(map, &k, 0, 1, cmp::equal, false, false);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(get_integer(found + 1), i);
    }
    // A word table grows to 32 times its buckets.
    const uint32_t ctx = _context::allocate(4, false, false, 0, _context::kind_object);
    const uint32_t table = _context::word_table(ctx);
    const char* names[] = {"g1", "g2", "g3", "g4", "g5", "g6", "g7"};
    for (int i = 0; i < 7; ++i) {
        kel_value w = word_v(names[i]);
        _context::index_or_add_word(ctx, &w);
        EXPECT_EQ(ht::header_of(table)->n_buckets, i < 6 ? 8u : 256u);
    }
    EXPECT_EQ(ht::header_of(table)->upper_bound, 197u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(_context::index_of(ctx, symbol::intern(names[i]), true), i);
}

// --- hash! -----------------------------------------------------------------------------

TEST_F(WordsHash, HashFindsLaterDuplicatesFromALaterHead) {
    kel_value blk = test::b({7, 1, 7, 2, 7});
    const uint32_t t = ht::make(5, &blk, ht::kinds::hash, 0);
    const kel_value seven = test::int_v(7);
    const kel_value* base = block::ks_abs_at(&blk, 0);
    struct q {
        int32_t head, skip;
        bool last, reverse;
        int32_t want;
    } qs[] = {
        {0, 1, false, false, 0}, {1, 1, false, false, 2}, {3, 1, false, false, 4}, {5, 1, false, false, -1},
        {0, 1, true, false, 4},  {3, 1, false, true, 2},  {0, 1, false, true, -1}, {1, 2, false, false, -1},
        {0, 2, false, false, 0}, {0, 4, true, false, 4},  {0, 3, true, false, 0},  {5, 2, false, true, 4},
        {4, 2, false, true, -1}, {3, 2, false, true, 2},
    };
    for (const q& x : qs) {
        kel_value* found = ht::find(t, &seven, x.head, x.skip, cmp::equal, x.last, x.reverse);
        EXPECT_EQ(found ? static_cast<int32_t>(found - base) : -1, x.want)
            << x.head << " " << x.skip << " " << x.last << " " << x.reverse;
    }
    // The three sevens share one bucket, through a chain in insertion order.
    const int32_t b = ht::index_of_position(t, 0) - 1;
    ASSERT_LT(ht::bucket_key(t, static_cast<uint32_t>(b)), 0);
    const int32_t* p;
    const uint32_t n = ht::chain_positions(t, static_cast<uint32_t>(-ht::bucket_key(t, static_cast<uint32_t>(b))), &p);
    EXPECT_EQ(std::vector<int32_t>(p, p + n), (std::vector<int32_t>{0, 2, 4}));
    EXPECT_TRUE(ht::shift_indexes(t, 1, 0, ht::shift_limit + 1));
}

namespace {

// A hash! series and its table, with the operations the block actions will
// perform, checked against a plain vector.
struct hash_model {
    kel_value series;
    uint32_t table;
    std::vector<kel_value> model;

    int32_t length() const { return cells_of(series_node(&series)); }

    void append(const kel_value& v) {
        block::ks_add(&series, &v);
        model.push_back(v);
        ht::put(table, length() - 1);
    }
    void insert(int32_t p, const kel_value& v) {
        const int32_t n = length();
        block::ks_add(&series, &v);
        kel_value* c = cell_of(series_node(&series), 0);
        std::memmove(c + p + 1, c + p, static_cast<size_t>(n - p) * 16);
        c[p] = v;
        model.insert(model.begin() + p, v);
        if (ht::shift_indexes(table, 1, p, n - p)) ht::rehash(table, length());
        else ht::put(table, p);
    }
    void remove(int32_t p, int32_t k) {
        const int32_t n = length();
        k = std::min(k, n - p);
        ht::remove_entries(table, p, k);
        kel_value* c = cell_of(series_node(&series), 0);
        std::memmove(c + p, c + p + k, static_cast<size_t>(n - p - k) * 16);
        memory::buffer_of(series_node(&series))->tail -= static_cast<uint32_t>(k) * 16;
        model.erase(model.begin() + p, model.begin() + p + k);
        if (ht::shift_indexes(table, -k, p + k, n - p - k)) ht::rehash(table, length());
    }
    void poke(int32_t p, const kel_value& v) {
        ht::delete_(table, p);
        *cell_of(series_node(&series), p) = v;
        model[static_cast<size_t>(p)] = v;
        ht::put(table, p);
    }
    // Moves count cells from c: to d when d < c, else to end just after the
    // cell that stood at d.
    void move(int32_t d, int32_t c, int32_t count) {
        if (d >= c && d < c + count) return;
        std::vector<kel_value> run(model.begin() + c, model.begin() + c + count);
        model.erase(model.begin() + c, model.begin() + c + count);
        const int32_t at = d < c ? d : d - count + 1;
        model.insert(model.begin() + at, run.begin(), run.end());
        for (size_t i = 0; i < model.size(); ++i) *cell_of(series_node(&series), static_cast<int32_t>(i)) = model[i];
        ht::move_range(table, d, c, count);
    }

    void check_structure() const {
        ASSERT_EQ(length(), static_cast<int32_t>(model.size()));
        ASSERT_EQ(ht::header_of(table)->count, model.size());
        ASSERT_LT(ht::header_of(table)->occupied, ht::header_of(table)->n_buckets);
        for (int32_t p = 0; p < length(); ++p) {
            const int32_t b1 = ht::index_of_position(table, p);
            ASSERT_GT(b1, 0) << "position " << p;
            const uint32_t b = static_cast<uint32_t>(b1 - 1);
            ASSERT_EQ(ht::bucket_state(table, b), ht::bucket_used);
            const int32_t k = ht::bucket_key(table, b);
            if (k >= 0) {
                ASSERT_EQ(k, p);
            } else {
                const int32_t* first;
                const uint32_t n = ht::chain_positions(table, static_cast<uint32_t>(-k), &first);
                ASSERT_NE(std::find(first, first + n, p), first + n) << "position " << p;
            }
        }
    }

    int32_t brute_find(const kel_value& key, int32_t head, int32_t skip, int32_t op, bool last, bool reverse) const {
        int32_t best = -1;
        for (int32_t p = 0; p < static_cast<int32_t>(model.size()); ++p) {
            const bool fits = reverse ? (p < head && (head - p - 1) % skip == 0) : (p >= head && (p - head) % skip == 0);
            if (!fits || !equal_under(model[static_cast<size_t>(p)], key, op)) continue;
            if (best < 0 || ((last || reverse) ? p > best : p < best)) best = p;
        }
        return best;
    }
};

}  // namespace

TEST_F(WordsHash, HashTableAgreesWithABruteForceModel) {
    std::mt19937 gen(2024);
    std::vector<kel_value> domain;
    for (int i = 0; i < 8; ++i) domain.push_back(test::int_v(i));
    for (const char* n : {"apple", "APPLE", "Apple", "berry", "BERRY", "cherry"}) domain.push_back(word_v(n));
    domain.push_back(word_v("apple", types::set_word));
    domain.push_back(word_v("berry", types::lit_word));
    const auto pick = [&] { return domain[gen() % domain.size()]; };

    for (int round = 0; round < 4; ++round) {
        hash_model m{test::block_of({}), 0, {}};
        m.table = ht::make(round == 0 ? 0 : 40, &m.series, ht::kinds::hash, 0);
        for (int step = 0; step < 700; ++step) {
            const int32_t len = m.length();
            const uint32_t what = gen() % 100;
            if (what < 35 || len < 4) {
                m.append(pick());
            } else if (what < 50) {
                m.insert(static_cast<int32_t>(gen() % static_cast<uint32_t>(len + 1)), pick());
            } else if (what < 68) {
                m.remove(static_cast<int32_t>(gen() % static_cast<uint32_t>(len)), 1 + static_cast<int32_t>(gen() % 3));
            } else if (what < 78) {
                m.poke(static_cast<int32_t>(gen() % static_cast<uint32_t>(len)), pick());
            } else if (what < 90) {
                const int32_t count = 1 + static_cast<int32_t>(gen() % 3);
                const int32_t c = static_cast<int32_t>(gen() % static_cast<uint32_t>(len - count + 1));
                const int32_t d = static_cast<int32_t>(gen() % static_cast<uint32_t>(len));
                m.move(d, c, count);
            } else if (what < 93) {
                ht::rehash(m.table, len);
            } else if (what < 96) {
                // Continue on a copy: series and table copied together.
                const uint32_t node = memory::copy_buffer(memory::buffer_of(series_node(&m.series)));
                kel_value copy = m.series;
                copy.w2 = node;
                m.series = *block::ks_add(block::root(), &copy);
                m.table = ht::copy(m.table, node);
            } else if (what < 97) {
                m.remove(0, len);
            }
            ASSERT_NO_FATAL_FAILURE(m.check_structure()) << "round " << round << " step " << step;
            for (int q = 0; q < 4; ++q) {
                const kel_value key = pick();
                const int32_t head = static_cast<int32_t>(gen() % static_cast<uint32_t>(m.length() + 2));
                const int32_t skip = 1 + static_cast<int32_t>(gen() % 3);
                const int32_t op = (gen() & 1) ? cmp::equal : cmp::strict_equal;
                const uint32_t mode = gen() % 3;
                const bool last = mode == 1, reverse = mode == 2;
                kel_value* found = ht::find(m.table, &key, head, skip, op, last, reverse);
                const int32_t got = found ? static_cast<int32_t>(found - cell_of(series_node(&m.series), 0)) : -1;
                ASSERT_EQ(got, m.brute_find(key, head, skip, op, last, reverse))
                    << "round " << round << " step " << step << " head " << head << " skip " << skip << " mode "
                    << mode << " op " << op;
            }
        }
    }
}

// --- map! -----------------------------------------------------------------------------------

namespace {

void set_word_keys(kel_value* key) {
    const uint32_t t = type_of(key);
    if (t == types::word || t == types::lit_word || t == types::get_word) key->header = types::set_word;
}

struct key_rule {
    key_rule() { ht::normalize_map_key = set_word_keys; }
    ~key_rule() { ht::normalize_map_key = nullptr; }
};

}  // namespace

TEST_F(WordsHash, MapRemovalLeavesAHole) {
    kel_value blk = test::b({1, 10, 2, 20, 3, 30});
    const uint32_t t = ht::make(3, &blk, ht::kinds::map, 0);
    const uint32_t occupied = ht::header_of(t)->occupied;
    EXPECT_EQ(ht::header_of(t)->count, 3u);
    ht::delete_(t, 2);
    EXPECT_EQ(ht::header_of(t)->count, 2u);
    EXPECT_EQ(ht::header_of(t)->occupied, occupied);
    EXPECT_EQ(block::ks_abs_at(&blk, 3)->header, 0u);
    const kel_value two = test::int_v(2);
    EXPECT_EQ(ht::find(t, &two, 0, 1, cmp::equal, false, false), block::ks_abs_at(&blk, 2));
    ht::delete_(t, 2);  // a hole stays a hole
    EXPECT_EQ(ht::header_of(t)->count, 2u);
}

// Amounts that compare equal hash alike: a currency on one side only, and a
// zero with its sign bit set, are found by the plain amount.
TEST_F(WordsHash, EqualAmountsHashAlike) {
    auto amount = [](int32_t whole, uint32_t currency, int sign) {
        kel_value m;
        money::init_integer(&m, whole);
        money::store_currency(&m, currency);
        if (sign) money::store_sign(&m, 1);
        return m;
    };
    const kel_value usd_1 = amount(1, 158, 0), minus_0 = amount(0, 0, 1), plain_1 = amount(1, 0, 0),
                    plain_0 = amount(0, 0, 0), minus_1 = amount(-1, 0, 0);
    EXPECT_EQ(ht::hash_value(&usd_1, false), ht::hash_value(&plain_1, false));
    EXPECT_EQ(ht::hash_value(&minus_0, false), ht::hash_value(&plain_0, false));
    EXPECT_NE(ht::hash_value(&minus_1, false), ht::hash_value(&plain_1, false));
    kel_value blk = test::b({test::int_v(1), test::int_v(10), test::int_v(2), test::int_v(20)});
    *block::ks_abs_at(&blk, 0) = usd_1;
    *block::ks_abs_at(&blk, 2) = minus_0;
    const uint32_t t = ht::make(2, &blk, ht::kinds::map, 0);
    EXPECT_EQ(ht::find(t, &plain_1, 0, 1, cmp::equal, false, false), block::ks_abs_at(&blk, 0));
    EXPECT_EQ(ht::find(t, &plain_0, 0, 1, cmp::equal, false, false), block::ks_abs_at(&blk, 2));
    EXPECT_EQ(ht::find(t, &minus_1, 0, 1, cmp::equal, false, false), nullptr);
}

TEST_F(WordsHash, PutAllKeepsTheLastValueAtTheFirstKey) {
    key_rule rule;
    kel_value blk = test::b({word_v("k"), 1, word_v("other"), 2, word_v("K"), 3, word_v("k", types::get_word), 4});
    const uint32_t t = ht::make(8, &blk, ht::kinds::map, 0);
    ASSERT_EQ(block::ks_length_q(&blk), 6);
    const char* want[] = {"k", "other", "K"};
    const int32_t values[] = {4, 2, 3};
    for (int i = 0; i < 3; ++i) {
        const kel_value* key = block::ks_abs_at(&blk, 2 * i);
        EXPECT_EQ(type_of(key), static_cast<uint32_t>(types::set_word));
        EXPECT_EQ(word_symbol(key), symbol::intern(want[i]));
        EXPECT_EQ(get_integer(key + 1), values[i]);
    }
    EXPECT_EQ(ht::header_of(t)->count, 3u);
    // A word of any kind finds its set-word key; strictly only its own spelling.
    const kel_value lookup = word_v("K", types::lit_word);
    kel_value* strict = ht::find(t, &lookup, 0, 1, cmp::strict_equal, false, false);
    ASSERT_NE(strict, nullptr);
    EXPECT_EQ(strict, block::ks_abs_at(&blk, 4));
    int32_t cont = -1;
    int found = 0;
    while (ht::find_next(t, &lookup, &cont)) ++found;
    EXPECT_EQ(found, 2);  // k: and K:
    EXPECT_EQ(cont, -1);
}

TEST_F(WordsHash, MapTableAgreesWithABruteForceModel) {
    key_rule rule;
    std::mt19937 gen(99);
    std::vector<kel_value> keys;
    for (int i = 0; i < 12; ++i) keys.push_back(test::int_v(i * 3));
    for (const char* n : {"one", "ONE", "two", "Two", "three"}) keys.push_back(word_v(n));
    kel_value blk = test::block_of({});
    const uint32_t t = ht::make(0, &blk, ht::kinds::map, 0);
    for (int step = 0; step < 1500; ++step) {
        kel_value key = keys[gen() % keys.size()];
        set_word_keys(&key);
        const int32_t op = (gen() & 1) ? cmp::equal : cmp::strict_equal;
        kel_value* found = ht::find(t, &key, 0, 1, op, false, false);
        // Oracle: every key cell that matches, by a scan of the pairs.
        std::vector<kel_value*> matches;
        for (int32_t p = 0; p < block::ks_length_q(&blk); p += 2) {
            kel_value* k = block::ks_abs_at(&blk, p);
            if (type_of(k) == type_of(&key) && equal_under(*k, key, op)) matches.push_back(k);
        }
        if (matches.empty()) {
            ASSERT_EQ(found, nullptr) << step;
        } else {
            ASSERT_NE(std::find(matches.begin(), matches.end(), found), matches.end()) << step;
        }
        if (gen() % 3) {
            const kel_value v = test::int_v(step);
            if (found) {
                if (found[1].header == 0) ht::header_of(t)->count++;  // refilling a hole
                found[1] = v;
            } else {
                block::ks_add(&blk, &key);
                block::ks_add(&blk, &v);
                ht::put(t, block::ks_length_q(&blk) - 2);
            }
        } else if (found) {
            ht::delete_(t, static_cast<int32_t>(found - block::ks_abs_at(&blk, 0)));
        }
        uint32_t live = 0;
        for (int32_t p = 0; p < block::ks_length_q(&blk); p += 2) live += block::ks_abs_at(&blk, p + 1)->header != 0;
        ASSERT_EQ(ht::header_of(t)->count, live) << step;
        ASSERT_LE(ht::header_of(t)->count, ht::header_of(t)->occupied);
    }
    // Strict insertion keeps differently spelled keys apart.
    int spellings = 0;
    for (int32_t p = 0; p < block::ks_length_q(&blk); p += 2) {
        const kel_value* k = block::ks_abs_at(&blk, p);
        if (type_of(k) == types::set_word && symbol::resolve(word_symbol(k)) == symbol::intern("one")) ++spellings;
    }
    EXPECT_LE(spellings, 2);
}

// --- record tables and the collector ---------------------------------------------------------

namespace {
std::vector<uint32_t> marked_nodes, marked_blocks;
uint32_t marked_cells = 0;
bool mark_node(uint32_t n) {
    if (std::find(marked_nodes.begin(), marked_nodes.end(), n) != marked_nodes.end()) return false;
    marked_nodes.push_back(n);
    return true;
}
void mark_block(uint32_t n) { marked_blocks.push_back(n); }
void mark_cells(kel_value*, uint32_t count) { marked_cells += count; }
std::vector<uint32_t> live_keys;
bool key_marked(uint32_t n) { return std::find(live_keys.begin(), live_keys.end(), n) != live_keys.end(); }
}  // namespace

TEST_F(WordsHash, RecordTablesAndTheirWeakKeys) {
    const uint32_t t = ht::make(4, nullptr, ht::kinds::owners, 3);
    EXPECT_EQ(ht::header_of(t)->indexes, 64u);  // record size
    const uint32_t base = memory::node_base + 500000;
    for (uint32_t i = 0; i < 300; ++i) {
        kel_value* rec = ht::put_key(t, base + i);
        ASSERT_EQ(type_of(rec), static_cast<uint32_t>(types::unset));
        set_integer(rec, static_cast<int32_t>(i));
        rec[1].header = types::object;
        rec[1].w1 = (i % 3 == 0) ? base + 9000 : base + 9001;  // the owner's context: the second key
    }
    EXPECT_EQ(ht::header_of(t)->count, 300u);
    for (uint32_t i = 0; i < 300; ++i) {
        kel_value* rec = ht::get_key(t, base + i);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(get_integer(rec), static_cast<int32_t>(i));
        EXPECT_EQ(ht::put_key(t, base + i), rec);  // present: the same record
    }
    EXPECT_EQ(ht::get_key(t, base + 1000), nullptr);
    ht::delete_key(t, base + 7);
    EXPECT_EQ(ht::get_key(t, base + 7), nullptr);
    EXPECT_EQ(ht::header_of(t)->count, 299u);

    marked_nodes.clear();
    marked_blocks.clear();
    marked_cells = 0;
    const ht::marker m{mark_node, mark_block, mark_cells};
    ht::mark(t, m);
    EXPECT_TRUE(marked_blocks.empty());  // the record block's cells are not marked: keys are weak
    EXPECT_NE(std::find(marked_nodes.begin(), marked_nodes.end(), ht::header_of(t)->blk), marked_nodes.end());
    EXPECT_EQ(marked_cells, 0u);
    // Keys 0-149 survive; of those, the records whose owner context is base+9001 only.
    live_keys.clear();
    for (uint32_t i = 0; i < 150; ++i) live_keys.push_back(base + i);
    live_keys.push_back(base + 9001);
    ht::drop_unmarked(t, key_marked);
    uint32_t expected = 0;
    for (uint32_t i = 0; i < 300; ++i) {
        const bool keep = i < 150 && i % 3 != 0 && i != 7;
        expected += keep;
        EXPECT_EQ(ht::get_key(t, base + i) != nullptr, keep) << i;
    }
    EXPECT_EQ(ht::header_of(t)->count, expected);
    ht::mark_records(t, m);
    EXPECT_EQ(marked_cells, expected * 3);
    // A dropped record's bucket is reused.
    kel_value* again = ht::put_key(t, base + 3);
    EXPECT_EQ(type_of(again), static_cast<uint32_t>(types::unset));
    EXPECT_EQ(ht::get_key(t, base + 3), again);

    // A hash! table marks its series with its cells, and its chains.
    kel_value blk = test::b({1, 1, 2});
    const uint32_t h = ht::make(3, &blk, ht::kinds::hash, 0);
    marked_nodes.clear();
    marked_blocks.clear();
    ht::mark(h, m);
    EXPECT_EQ(marked_blocks, std::vector<uint32_t>{series_node(&blk)});
    EXPECT_EQ(marked_nodes.size(), 6u);  // table, flags, keys, indexes, chain store, one chain
    ht::mark(h, m);                      // marked already: nothing more
    EXPECT_EQ(marked_nodes.size(), 6u);
}

TEST_F(WordsHash, ClearEmptiesTableAndSeries) {
    kel_value blk = test::b({5, 5, 6});
    const uint32_t t = ht::make(3, &blk, ht::kinds::hash, 0);
    ht::clear(t);
    EXPECT_EQ(block::ks_length_q(&blk), 0);
    EXPECT_EQ(ht::header_of(t)->count, 0u);
    EXPECT_EQ(ht::header_of(t)->occupied, 0u);
    EXPECT_EQ(ht::index_of_position(t, 0), -1);
    const kel_value five = test::int_v(5);
    EXPECT_EQ(ht::find(t, &five, 0, 1, cmp::equal, false, false), nullptr);
    block::ks_add(&blk, &five);
    ht::put(t, 0);
    EXPECT_EQ(ht::find(t, &five, 0, 1, cmp::equal, false, false), block::ks_abs_at(&blk, 0));
}

TEST_F(WordsHash, HeapIntegerMapAgreesWithStdMap) {
    std::mt19937 gen(5);
    int_map::table* t = int_map::make(0);
    EXPECT_EQ(t->n_buckets, 8u);
    std::map<int32_t, int32_t> model;
    for (int step = 0; step < 20000; ++step) {
        const int32_t key = static_cast<int32_t>(gen() % 3000) - 1500;
        switch (gen() % 4) {
            case 0:
            case 1: {
                const int32_t v = static_cast<int32_t>(gen());
                int_map::put(t, key, v);
                model[key] = v;
                break;
            }
            case 2:
                int_map::delete_(t, key);
                model.erase(key);
                break;
            default: {
                int32_t* v = int_map::get(t, key);
                auto it = model.find(key);
                ASSERT_EQ(v != nullptr, it != model.end()) << step;
                if (v) {
                    ASSERT_EQ(*v, it->second);
                }
                ASSERT_EQ(int_map::find(t, key) >= 0, v != nullptr);
            }
        }
        ASSERT_EQ(t->count, model.size());
    }
    std::map<int32_t, int32_t> walked;
    for (const int32_t* p = int_map::next(t, nullptr); p; p = int_map::next(t, p)) walked[p[0]] = p[1];
    EXPECT_EQ(walked, model);
    int_map::clear(t);
    EXPECT_EQ(t->count, 0u);
    EXPECT_EQ(int_map::next(t, nullptr), nullptr);
    EXPECT_EQ(int_map::get(t, 1), nullptr);
    int_map::free(t);
}

TEST_F(WordsHash, ConstructionLeavesTheArgumentStackAsItWas) {
    // Fresh nodes are parked on the argument stack while a table is put
    // together; every path drops exactly what it parked.
    const int32_t depth = stack::depth();
    kel_value blk = test::b({1, 1, 2, 3, 3, 3});
    const uint32_t h = ht::make(6, &blk, ht::kinds::hash, 0);
    const uint32_t node = memory::copy_buffer(memory::buffer_of(series_node(&blk)));
    ht::copy(h, node);
    ht::rehash(h, 6);
    kel_value pairs = test::b({1, 2, 3, 4});
    ht::make(2, &pairs, ht::kinds::map, 0);
    ht::make(2, nullptr, ht::kinds::records, 1);
    const uint32_t ctx = _context::allocate(3, false, false, 0, _context::kind_object);
    _context::allocate(3, false, false, ctx, _context::kind_object);
    symbol::intern("parked-name-t9");
    for (int i = 0; i < 40; ++i) {  // growth of a word table and of chains
        kel_value w{types::word, 0, symbol::intern(("parked-" + std::to_string(i)).c_str()), 0};
        _context::index_or_add_word(ctx, &w);
    }
    EXPECT_EQ(stack::depth(), depth);
}
