// The two sorts against Python's sorted over many input patterns and record
// sizes, the one pass they make over presorted input, and records kept whole
// when the compare callback throws.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel/heap.h"
#include "kernel/sort.h"
#include "test_support.h"

namespace sort = kel::sort;

namespace {

// A record: its key first (1, 2 or 4 bytes; the 4-byte key is signed), then,
// when there is room, its original index (4 bytes), then filler bytes
// derived from the index, so a record torn apart or duplicated shows.
struct layout {
    size_t size;
    size_t key_bytes;
    bool has_index() const { return size >= key_bytes + 4; }
};

const layout layouts[] = {{1, 1}, {4, 4}, {6, 2}, {16, 4}, {48, 4}};

int64_t read_key(const unsigned char* r, size_t key_bytes) {
    if (key_bytes == 1) return r[0];
    if (key_bytes == 2) {
        uint16_t k;
        std::memcpy(&k, r, 2);
        return k;
    }
    int32_t k;
    std::memcpy(&k, r, 4);
    return k;
}

uint32_t read_index(const unsigned char* r, const layout& l) {
    uint32_t i;
    std::memcpy(&i, r + l.key_bytes, 4);
    return i;
}

// p2 flags
constexpr uintptr_t descending = 1;  // reverse order
constexpr uintptr_t extreme = 2;     // answer INT32_MIN / INT32_MAX, not -1 / 1

size_t compare_calls = 0;
size_t throw_at_call = 0;  // 0: never
struct compare_failed {};  // what a Kel error raised by a compare function looks like here

int32_t compare_keys(const void* x, const void* y, uintptr_t key_bytes, uintptr_t flags) {
    ++compare_calls;
    if (throw_at_call && compare_calls == throw_at_call) throw compare_failed{};
    int64_t a = read_key(static_cast<const unsigned char*>(x), key_bytes);
    int64_t b = read_key(static_cast<const unsigned char*>(y), key_bytes);
    int c = (a > b) - (a < b);
    if (flags & descending) c = -c;
    if (flags & extreme) return c > 0 ? INT32_MAX : c < 0 ? INT32_MIN : 0;
    return c * 12345;
}

struct splitmix {
    uint64_t s;
    uint32_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }
};

enum class pattern { ascending, descending, organ_pipe, all_equal, random, few_distinct, sawtooth,
                     mostly_ascending, mostly_descending, descending_with_equals, random_tail, sorted_tail };

const struct {
    pattern p;
    const char* name;
} patterns[] = {
    {pattern::ascending, "ascending"},
    {pattern::descending, "descending"},
    {pattern::organ_pipe, "organ-pipe"},
    {pattern::all_equal, "all-equal"},
    {pattern::random, "random"},
    {pattern::few_distinct, "few-distinct"},
    {pattern::sawtooth, "sawtooth"},
    {pattern::mostly_ascending, "mostly-ascending"},
    {pattern::mostly_descending, "mostly-descending"},
    {pattern::descending_with_equals, "descending-with-equals"},
    {pattern::random_tail, "sorted-then-random-tail"},
    {pattern::sorted_tail, "random-then-sorted-tail"},
};

// Values in [0, 2^31) following the pattern.
std::vector<uint32_t> pattern_values(pattern p, size_t n, uint64_t seed) {
    splitmix rng{seed};
    auto rising = [n](size_t i) { return static_cast<uint32_t>((static_cast<uint64_t>(i) << 31) / n); };
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        switch (p) {
        case pattern::ascending:
        case pattern::mostly_ascending: v[i] = rising(i); break;
        case pattern::descending:
        case pattern::mostly_descending: v[i] = rising(n - 1 - i); break;
        case pattern::organ_pipe: v[i] = i < n / 2 ? rising(2 * i) : rising(2 * (n - 1 - i)); break;
        case pattern::all_equal: v[i] = 12345678; break;
        case pattern::random: v[i] = rng.next() & 0x7FFFFFFF; break;
        case pattern::few_distinct: v[i] = (rng.next() % 4) << 28; break;
        case pattern::sawtooth: v[i] = rising((i % 64) * n / 64); break;
        case pattern::descending_with_equals: v[i] = rising((n - 1 - i) / 3 * 3); break;
        case pattern::random_tail: v[i] = i < n - n / 20 ? rising(i) : rng.next() & 0x7FFFFFFF; break;
        case pattern::sorted_tail: v[i] = i < n / 10 ? rng.next() & 0x7FFFFFFF : rising(i); break;
        }
    }
    if ((p == pattern::mostly_ascending || p == pattern::mostly_descending) && n > 1)
        for (size_t t = 0; t < n / 100 + 1; ++t) std::swap(v[rng.next() % n], v[rng.next() % n]);
    return v;
}

std::vector<unsigned char> make_records(const layout& l, const std::vector<uint32_t>& values) {
    std::vector<unsigned char> out(values.size() * l.size);
    for (size_t i = 0; i < values.size(); ++i) {
        unsigned char* r = out.data() + i * l.size;
        uint32_t v = values[i];
        if (l.key_bytes == 1) {
            r[0] = static_cast<unsigned char>(v >> 23);
        } else if (l.key_bytes == 2) {
            auto k = static_cast<uint16_t>(v >> 15);
            std::memcpy(r, &k, 2);
        } else {
            int32_t k = static_cast<int32_t>(v) - (1 << 30);
            std::memcpy(r, &k, 4);
        }
        if (l.has_index()) {
            auto index = static_cast<uint32_t>(i);
            std::memcpy(r + l.key_bytes, &index, 4);
            for (size_t b = l.key_bytes + 4; b < l.size; ++b) r[b] = static_cast<unsigned char>(i * 31 + b);
        }
    }
    return out;
}

struct sort_case {
    std::string name;
    layout lay;
    uintptr_t flags;
    std::vector<unsigned char> records;
    size_t count() const { return records.size() / lay.size; }
};

// Checks `got` against the stable order `perm` (original indices) of `original`:
// exactly for a stable sort, by keys and as a permutation otherwise.
void check_sorted(const sort_case& c, const std::vector<unsigned char>& got, const std::vector<uint32_t>& perm,
                  bool stable, const char* sort_name) {
    const size_t n = c.count(), s = c.lay.size;
    ASSERT_EQ(got.size(), c.records.size());
    if (stable || !c.lay.has_index()) {
        // Without an index the whole record is its key: unstable sorts must match too.
        for (size_t j = 0; j < n; ++j) {
            if (std::memcmp(got.data() + j * s, c.records.data() + perm[j] * s, s) != 0) {
                ADD_FAILURE() << sort_name << " " << c.name << ": record " << j << " differs from Python's sorted";
                return;
            }
        }
        return;
    }
    std::vector<bool> seen(n, false);
    for (size_t j = 0; j < n; ++j) {
        const unsigned char* r = got.data() + j * s;
        uint32_t index = read_index(r, c.lay);
        if (index >= n || seen[index] || std::memcmp(r, c.records.data() + index * s, s) != 0) {
            ADD_FAILURE() << sort_name << " " << c.name << ": record " << j << " is not an original record once";
            return;
        }
        seen[index] = true;
        if (read_key(r, c.lay.key_bytes) != read_key(c.records.data() + perm[j] * s, c.lay.key_bytes)) {
            ADD_FAILURE() << sort_name << " " << c.name << ": key " << j << " out of order";
            return;
        }
    }
}

// Python's stable sorted order (original indices) for every case, in one run.
std::vector<std::vector<uint32_t>> python_orders(const std::vector<sort_case>& cases) {
    std::string input = std::to_string(cases.size()) + "\n";
    for (const sort_case& c : cases) {
        input += std::to_string(c.count()) + " " + ((c.flags & descending) ? "1" : "0") + "\n";
        for (size_t i = 0; i < c.count(); ++i) {
            input += std::to_string(read_key(c.records.data() + i * c.lay.size, c.lay.key_bytes));
            input += ' ';
        }
        input += '\n';
    }
    const char* code = R"PY(
import sys
t = sys.stdin.buffer.read().split()
pos = 1
out = []
for _ in range(int(t[0])):
    n, rev = int(t[pos]), t[pos + 1] == b'1'
    keys = list(map(int, t[pos + 2:pos + 2 + n]))
    pos += 2 + n
    out.append(' '.join(map(str, sorted(range(n), key=keys.__getitem__, reverse=rev))))
sys.stdout.write('\n'.join(out) + '\n')
)PY";
    kel::test::process_result r = kel::test::run_process({"/usr/bin/python3", "-c", code}, {}, input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::vector<uint32_t>> orders;
    std::istringstream out(r.out);
    std::string line;
    while (std::getline(out, line)) {
        std::vector<uint32_t> perm;
        const char* p = line.c_str();
        while (*p) {
            char* endp;
            unsigned long v = std::strtoul(p, &endp, 10);
            if (endp == p) break;
            perm.push_back(static_cast<uint32_t>(v));
            p = endp;
        }
        orders.push_back(std::move(perm));
    }
    return orders;
}

std::vector<sort_case> oracle_cases() {
    const size_t sizes[] = {0,  1,  2,  3,   5,   7,   8,   9,   16,   23,   24,  25,
                            31, 63, 64, 100, 200, 511, 512, 513, 1000, 2049, 5000};
    std::vector<sort_case> cases;
    uint64_t seed = 1;
    auto add = [&](const layout& l, uintptr_t flags, pattern p, const char* pname, size_t n) {
        std::string name = std::string(pname) + " n=" + std::to_string(n) + " s=" + std::to_string(l.size) +
                           ((flags & descending) ? " descending" : "") + ((flags & extreme) ? " extreme" : "");
        cases.push_back({name, l, flags, make_records(l, pattern_values(p, n, seed++))});
    };
    for (const layout& l : layouts)
        for (const auto& p : patterns)
            for (size_t n : sizes) add(l, 0, p.p, p.name, n);
    // Reversed compare and extreme answers, through the 6- and 16-byte records.
    for (const layout& l : {layouts[2], layouts[3]})
        for (uintptr_t flags : {descending, extreme, descending | extreme})
            for (const auto& p : patterns)
                for (size_t n : {0, 9, 100, 513, 5000}) add(l, flags, p.p, p.name, n);
    // Large arrays reach the quick sort's gathered samples (63, then 1,007).
    for (const layout& l : {layouts[1], layouts[3]})
        for (pattern p : {pattern::random, pattern::few_distinct, pattern::organ_pipe, pattern::mostly_ascending,
                          pattern::sorted_tail})
            add(l, 0, p, patterns[static_cast<int>(p)].name, 20000);
    for (pattern p : {pattern::random, pattern::few_distinct, pattern::organ_pipe})
        add(layouts[1], 0, p, patterns[static_cast<int>(p)].name, 300000);
    return cases;
}

}  // namespace

TEST(Sort, BothSortsAgreeWithPython) {
    const std::vector<sort_case> cases = oracle_cases();
    const std::vector<std::vector<uint32_t>> orders = python_orders(cases);
    ASSERT_EQ(orders.size(), cases.size());
    const size_t heap_before = kel::heap::live_count();
    for (size_t k = 0; k < cases.size(); ++k) {
        const sort_case& c = cases[k];
        ASSERT_EQ(orders[k].size(), c.count()) << c.name;
        std::vector<unsigned char> a = c.records;
        EXPECT_EQ(sort::merge(a.data(), c.count(), c.lay.size, c.lay.key_bytes, c.flags, compare_keys),
                  sort::merge_result::done);
        check_sorted(c, a, orders[k], true, "merge");
        std::vector<unsigned char> b = c.records;
        sort::quick(b.data(), c.count(), c.lay.size, c.lay.key_bytes, c.flags, compare_keys);
        check_sorted(c, b, orders[k], false, "quick");
    }
    EXPECT_EQ(kel::heap::live_count(), heap_before);
}

TEST(Sort, PresortedInputCostsOnePass) {
    // Ascending and strictly descending input: each adjacent pair compared
    // once, descending input reversed, ascending input untouched. A callback
    // that always answers "equal" leaves any array as it was.
    const layout l = layouts[3];
    for (size_t n : {2u, 3u, 24u, 25u, 1000u, 100000u}) {
        for (pattern p : {pattern::ascending, pattern::descending}) {
            const std::vector<unsigned char> original = make_records(l, pattern_values(p, n, 7));
            std::vector<unsigned char> expected = make_records(l, pattern_values(pattern::ascending, n, 7));
            if (p == pattern::descending) {
                // the same records, in reverse
                for (size_t i = 0; i < n; ++i)
                    std::memcpy(expected.data() + i * l.size, original.data() + (n - 1 - i) * l.size, l.size);
            }
            for (bool use_merge : {true, false}) {
                std::vector<unsigned char> a = original;
                compare_calls = 0;
                if (use_merge)
                    ASSERT_EQ(sort::merge(a.data(), n, l.size, 4, 0, compare_keys), sort::merge_result::done);
                else
                    sort::quick(a.data(), n, l.size, 4, 0, compare_keys);
                const char* what = use_merge ? "merge" : "quick";
                EXPECT_EQ(compare_calls, n - 1) << what << " n=" << n;
                EXPECT_TRUE(a == expected) << what << " n=" << n;
            }
        }
    }
    auto always_equal = [](const void*, const void*, uintptr_t, uintptr_t) -> int32_t { return 0; };
    const std::vector<unsigned char> original = make_records(l, pattern_values(pattern::random, 5000, 3));
    std::vector<unsigned char> a = original, b = original;
    ASSERT_EQ(sort::merge(a.data(), 5000, l.size, 0, 0, always_equal), sort::merge_result::done);
    sort::quick(b.data(), 5000, l.size, 0, 0, always_equal);
    EXPECT_TRUE(a == original);
    EXPECT_TRUE(b == original);
}

TEST(Sort, NothingToSortTouchesNothing) {
    unsigned char one[16] = {9, 8, 7};
    for (size_t n : {0u, 1u}) {
        compare_calls = 0;
        EXPECT_EQ(sort::merge(n ? one : nullptr, n, 16, 4, 0, compare_keys), sort::merge_result::done);
        sort::quick(n ? one : nullptr, n, 16, 4, 0, compare_keys);
        EXPECT_EQ(compare_calls, 0u);
    }
    EXPECT_EQ(one[0], 9);
}

TEST(Sort, MergeWorkBufferBeyondThirtyTwoBitsIsRefused) {
    // Refused before any record is read: the array here is far too small.
    unsigned char tiny[16] = {};
    const size_t heap_before = kel::heap::live_count();
    compare_calls = 0;
    EXPECT_EQ(sort::merge(tiny, size_t{1} << 30, 16, 4, 0, compare_keys), sort::merge_result::too_long);
    EXPECT_EQ(sort::merge(tiny, SIZE_MAX, 16, 4, 0, compare_keys), sort::merge_result::too_long);
    EXPECT_EQ(compare_calls, 0u);
    EXPECT_EQ(kel::heap::live_count(), heap_before);
}

TEST(Sort, NaturalRunKeepsEqualRecordsInOrder) {
    // keys 5 4 4 3 with indices 0 1 2 3: the descending run stops before the
    // equal pair and is reversed; an ascending run takes equal neighbours.
    const layout l = layouts[2];
    std::vector<unsigned char> rec = make_records(l, {5u << 15, 4u << 15, 4u << 15, 3u << 15});
    auto* base = reinterpret_cast<char*>(rec.data());
    char* end = sort::natural_run(base, base + 4 * l.size, l.size, 2, 0, compare_keys);
    EXPECT_EQ(end, base + 2 * l.size);
    EXPECT_EQ(read_index(rec.data(), l), 1u);
    EXPECT_EQ(read_index(rec.data() + l.size, l), 0u);
    end = sort::natural_run(base, base + 4 * l.size, l.size, 2, 0, compare_keys);  // 4 5 | 4 3
    EXPECT_EQ(end, base + 2 * l.size);
    std::vector<unsigned char> flat = make_records(l, {1u << 15, 1u << 15, 2u << 15, 2u << 15, 0});
    base = reinterpret_cast<char*>(flat.data());
    EXPECT_EQ(sort::natural_run(base, base + 5 * l.size, l.size, 2, 0, compare_keys), base + 4 * l.size);
    EXPECT_EQ(sort::natural_run(base, base + l.size, l.size, 2, 0, compare_keys), base + l.size);
}

TEST(Sort, ThrowingCompareLeavesAPermutationAndFreesTheWorkBuffer) {
    // A compare that fails at its k-th call, for many k: wherever it stops,
    // every record is still there exactly once and the heap is as before.
    struct {
        layout l;
        pattern p;
        size_t n;
        size_t step;  // k runs over 1, 1 + step, ...
    } const cases[] = {
        {layouts[2], pattern::random, 30, 1},
        {layouts[2], pattern::few_distinct, 100, 1},
        {layouts[3], pattern::random, 1000, 7},
        {layouts[4], pattern::organ_pipe, 700, 5},
        {layouts[3], pattern::mostly_ascending, 5000, 97},
        {layouts[3], pattern::random, 20000, 1009},
    };
    for (const auto& c : cases) {
        const std::vector<unsigned char> original = make_records(c.l, pattern_values(c.p, c.n, c.n));
        for (bool use_merge : {true, false}) {
            // How many calls a full sort makes, so k covers all of them.
            std::vector<unsigned char> a = original;
            compare_calls = 0;
            if (use_merge)
                ASSERT_EQ(sort::merge(a.data(), c.n, c.l.size, c.l.key_bytes, 0, compare_keys),
                          sort::merge_result::done);
            else
                sort::quick(a.data(), c.n, c.l.size, c.l.key_bytes, 0, compare_keys);
            const size_t total = compare_calls;
            for (size_t k = 1; k <= total; k += c.step) {
                a = original;
                const size_t heap_before = kel::heap::live_count();
                compare_calls = 0;
                throw_at_call = k;
                bool thrown = false;
                try {
                    if (use_merge)
                        (void)sort::merge(a.data(), c.n, c.l.size, c.l.key_bytes, 0, compare_keys);
                    else
                        sort::quick(a.data(), c.n, c.l.size, c.l.key_bytes, 0, compare_keys);
                } catch (const compare_failed&) {
                    thrown = true;
                }
                throw_at_call = 0;
                const char* what = use_merge ? "merge" : "quick";
                ASSERT_TRUE(thrown) << what << " n=" << c.n << " k=" << k;
                ASSERT_EQ(kel::heap::live_count(), heap_before) << what << " n=" << c.n << " k=" << k;
                std::vector<bool> seen(c.n, false);
                for (size_t j = 0; j < c.n; ++j) {
                    const unsigned char* r = a.data() + j * c.l.size;
                    uint32_t index = read_index(r, c.l);
                    ASSERT_TRUE(index < c.n && !seen[index] &&
                                std::memcmp(r, original.data() + index * c.l.size, c.l.size) == 0)
                        << what << " n=" << c.n << " k=" << k << ": record " << j << " lost or duplicated";
                    seen[index] = true;
                }
            }
        }
    }
}

TEST(Sort, SwapRecordsOfAnySize) {
    for (size_t s : {1u, 3u, 4u, 6u, 8u, 13u, 16u, 48u}) {
        std::vector<unsigned char> x(s), y(s);
        for (size_t i = 0; i < s; ++i) {
            x[i] = static_cast<unsigned char>(i);
            y[i] = static_cast<unsigned char>(200 - i);
        }
        const auto x0 = x, y0 = y;
        sort::swap_records(x.data(), y.data(), s);
        EXPECT_EQ(x, y0) << s;
        EXPECT_EQ(y, x0) << s;
        sort::swap_records(x.data(), x.data(), s);
        EXPECT_EQ(x, y0) << s;
    }
}
