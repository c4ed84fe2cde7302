// find, select, put and the path step of block!: a Python list model of the
// search windows (/part, /skip, /last, /reverse, /tail, /match, /only) over
// generated cases, and tables of the edge cases and errors.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/series.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_support.h"

using namespace kel;
using test::b;
using test::int_v;
using test::ints;

namespace {

struct BlocksFind : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

kel_value at(kel_value s, int32_t head) {
    set_series_head(&s, head);
    return s;
}

// The model: a window of cells next to the head, positions on the grid
// head + k * skip, walked forward, or backward with /last and /reverse.
const char* const find_model = R"PY(
import sys
def find(blk, head, pat, seq, part, skip, last, reverse, tail, match, select):
    n = len(blk)
    if n == 0 or (not reverse and head >= n):
        return -1
    head = min(head, n)
    cnt = len(pat)
    if cnt == 0:
        return -1
    lo, hi = (0, head) if reverse else (head, n)
    if part is not None:
        if part < 1:
            return -1
        if reverse:
            lo = max(head - part, 0)
        else:
            hi = min(head + part, n)
    cands = [p for p in range(lo, hi - cnt + 1) if (p - head) % skip == 0]
    if last or reverse:
        cands.reverse()
    if match and not select:
        cands = cands[:1]
    for p in cands:
        if blk[p:p + cnt] == pat:
            if select:
                return p + cnt if p + cnt < n else -1
            if not tail:
                return p
            if seq:
                return min(p + cnt, n)
            return min(p + (1 if (last or reverse) else skip), n)
    return -1

def value(text):
    return [int(x) for x in text.split(',')] if text else []

out = []
for line in sys.stdin:
    f = line.split()
    blk = [value(x[1:]) if x.startswith('b') else int(x) for x in f[0].split(';')] if f[0] != '-' else []
    head = int(f[1])
    only = f[3] == '1'
    if f[2].startswith('b'):
        v = value(f[2][1:])
        pat, seq = ([v], False) if only else (v, True)
    else:
        pat, seq = [int(f[2])], False
    part = None if f[4] == 'x' else int(f[4])
    skip, last, reverse, tail, match, select = int(f[5]), f[6] == '1', f[7] == '1', f[8] == '1', f[9] == '1', f[10] == '1'
    r = find(blk, head, pat, seq, part, skip, last, reverse, tail, match, select)
    if select and r >= 0:
        c = blk[r]
        r = 1000 + c if isinstance(c, int) else 2000
    out.append(str(r))
print(' '.join(out))
)PY";

struct find_case {
    std::vector<std::vector<int>> cells;  // one int, or a nested block when size != 1 or flagged
    std::vector<bool> nested;
    int head;
    std::vector<int> needle;
    bool needle_block;
    bool only;
    int part;  // -1: none
    int skip;
    bool last, reverse, tail, match, select;
};

std::string encode(const find_case& c) {
    std::ostringstream o;
    if (c.cells.empty()) o << '-';
    for (size_t i = 0; i < c.cells.size(); ++i) {
        if (i) o << ';';
        if (c.nested[i]) {
            o << 'b';
            for (size_t j = 0; j < c.cells[i].size(); ++j) o << (j ? "," : "") << c.cells[i][j];
        } else {
            o << c.cells[i][0];
        }
    }
    o << ' ' << c.head << ' ';
    if (c.needle_block) {
        o << 'b';
        for (size_t j = 0; j < c.needle.size(); ++j) o << (j ? "," : "") << c.needle[j];
    } else {
        o << c.needle[0];
    }
    o << ' ' << c.only << ' ';
    if (c.part < 0) o << 'x';
    else o << c.part;
    o << ' ' << c.skip << ' ' << c.last << ' ' << c.reverse << ' ' << c.tail << ' ' << c.match << ' ' << c.select
      << '\n';
    return o.str();
}

kel_value ints_block(const std::vector<int>& v) {
    std::vector<kel_value> cells;
    for (int x : v) cells.push_back(int_v(x));
    return test::block_of(cells);
}

// The index the action answers, as the model encodes it.
int run_case(const find_case& c) {
    std::vector<kel_value> cells;
    for (size_t i = 0; i < c.cells.size(); ++i)
        cells.push_back(c.nested[i] ? ints_block(c.cells[i]) : int_v(c.cells[i][0]));
    kel_value hay = at(test::block_of(cells), c.head);
    kel_value needle = c.needle_block ? ints_block(c.needle) : int_v(c.needle[0]);
    kel_value part = int_v(c.part), skip = int_v(c.skip);
    block::find_refinements r;
    r.only = c.only;
    r.part = c.part >= 0 ? &part : nullptr;
    r.skip = &skip;
    r.last = c.last;
    r.reverse = c.reverse;
    r.tail = c.tail;
    r.match = c.match;
    kel_value out;
    if (c.select) {
        if (!block::select(&hay, &needle, r, &out)) return none_q(&out) ? -1 : -99;
        return type_of(&out) == types::integer ? 1000 + get_integer(&out) : 2000;
    }
    if (!block::find(&hay, &needle, r, &out)) return none_q(&out) ? -1 : -99;
    EXPECT_EQ(series_node(&out), series_node(&hay));
    return series_head(&out);
}

}  // namespace

TEST_F(BlocksFind, WindowsAgreeWithAPythonListModel) {
    std::mt19937 rng(20240611);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<find_case> cases;
    for (int i = 0; i < 3000; ++i) {
        find_case c;
        const int n = pick(12);
        for (int k = 0; k < n; ++k) {
            const bool nest = pick(8) == 0;
            c.nested.push_back(nest);
            if (nest) c.cells.push_back({pick(3), pick(3)});
            else c.cells.push_back({pick(3)});
        }
        c.head = pick(n + 2);
        c.needle_block = pick(3) == 0;
        if (c.needle_block) {
            const int m = 1 + pick(2) + (pick(4) == 0);
            for (int k = 0; k < m; ++k) c.needle.push_back(pick(3));
        } else {
            c.needle.push_back(pick(3));
        }
        c.only = c.needle_block && pick(2) == 0;
        c.part = pick(3) == 0 ? pick(6) : -1;
        c.skip = 1 + (pick(3) == 0) * (1 + pick(2));
        c.last = pick(4) == 0;
        c.reverse = !c.last && pick(4) == 0;
        c.tail = pick(3) == 0;
        c.match = pick(6) == 0;
        c.select = pick(4) == 0;
        cases.push_back(c);
    }
    std::string input;
    for (const find_case& c : cases) input += encode(c);
    test::process_result py = test::run_process({"/usr/bin/python3", "-c", find_model}, {}, input);
    ASSERT_EQ(py.exit_code, 0) << py.err;
    std::istringstream expected(py.out);
    int found = 0;
    for (const find_case& c : cases) {
        int want = -5;
        expected >> want;
        const int got = run_case(c);
        found += got >= 0;
        ASSERT_EQ(got, want) << encode(c);
    }
    EXPECT_GT(found, 500);  // the cases do reach matches
}

TEST_F(BlocksFind, EdgeCases) {
    // [a b c a b] with integers for words: 1 2 3 1 2.
    kel_value s = b({1, 2, 3, 1, 2});
    kel_value ab = b({1, 2});
    kel_value out;
    block::find_refinements last;
    last.last = true;
    ASSERT_TRUE(block::find(&s, &ab, last, &out));
    EXPECT_EQ(series::index_q(&out), 4);
    last.tail = true;
    ASSERT_TRUE(block::find(&s, &ab, last, &out));
    EXPECT_EQ(series_head(&out), 5);

    // select of b in [a 1 b 2] gives 2; select of 2 gives none (nothing follows).
    kel_value pairs = b({10, 1, 20, 2});
    kel_value twenty = int_v(20), two = int_v(2);
    ASSERT_TRUE(block::select(&pairs, &twenty, {}, &out));
    EXPECT_EQ(get_integer(&out), 2);
    EXPECT_FALSE(block::select(&pairs, &two, {}, &out));
    EXPECT_TRUE(none_q(&out));

    // /part as a position in the same series: the cells before it.
    kel_value one = int_v(1);
    block::find_refinements part;
    kel_value limit = at(s, 3);
    part.part = &limit;
    part.tail = false;
    kel_value from1 = at(s, 1);
    EXPECT_FALSE(block::find(&from1, &one, part, &out));  // index 3 is outside [1, 3)
    kel_value limit4 = at(s, 4);
    part.part = &limit4;
    ASSERT_TRUE(block::find(&from1, &one, part, &out));
    EXPECT_EQ(series_head(&out), 3);
    kel_value other = b({1, 2, 3});
    part.part = &other;
    EXPECT_TRUE(fires([&] { block::find(&s, &one, part, &out); }, "invalid-refine-arg"));

    // /reverse from the tail: the last 1 before the end.
    block::find_refinements rev;
    rev.reverse = true;
    kel_value end = at(s, 5);
    ASSERT_TRUE(block::find(&end, &one, rev, &out));
    EXPECT_EQ(series_head(&out), 3);
    // A head past a shortened buffer with /reverse searches the whole buffer.
    kel_value far = at(s, 40);
    ASSERT_TRUE(block::find(&far, &one, rev, &out));
    EXPECT_EQ(series_head(&out), 3);

    // A datatype! matches cells of its type unless /only.
    kel_value mixed = b({1, test::none_v(), 2});
    kel_value none_type = test::type_v(types::none);
    ASSERT_TRUE(block::find(&mixed, &none_type, {}, &out));
    EXPECT_EQ(series_head(&out), 1);
    block::find_refinements only;
    only.only = true;
    EXPECT_FALSE(block::find(&mixed, &none_type, only, &out));
    kel_value ts;
    init_cell(&ts, types::typeset);
    typeset_add(&ts, types::integer);
    kel_value tail2 = at(mixed, 1);
    ASSERT_TRUE(block::find(&tail2, &ts, {}, &out));
    EXPECT_EQ(series_head(&out), 2);

    // Empty series, head at the tail, an empty block value: none.
    kel_value empty = b({});
    EXPECT_FALSE(block::find(&empty, &one, {}, &out));
    kel_value at_tail = at(s, 5);
    EXPECT_FALSE(block::find(&at_tail, &one, {}, &out));
    EXPECT_FALSE(block::find(&s, &empty, {}, &out));
}

TEST_F(BlocksFind, Errors) {
    kel_value s = b({1, 2, 3});
    kel_value one = int_v(1);
    kel_value out;
    struct row {
        kel_value skip;
        const char* id;
    };
    const row rows[] = {
        {int_v(0), "out-of-range"},
        {int_v(-2), "out-of-range"},
        {test::none_v(), "invalid-refine-arg"},
    };
    for (const row& r : rows) {
        block::find_refinements f;
        f.skip = &r.skip;
        EXPECT_TRUE(fires([&] { block::find(&s, &one, f, &out); }, r.id)) << r.id;
    }
    block::find_refinements f;
    kel_value zero = int_v(0);
    f.part = &zero;
    EXPECT_FALSE(block::find(&s, &one, f, &out));  // /part 0 gives none
    EXPECT_TRUE(none_q(&out));
    kel_value bad = test::none_v();
    f.part = &bad;
    EXPECT_TRUE(fires([&] { block::find(&s, &one, f, &out); }, "invalid-refine-arg"));
    EXPECT_EQ(std::string(last_fired().arg_words[0]), "/part");
}

TEST_F(BlocksFind, StackHandlersReadTheirRefinements) {
    // find/skip/last [1 0 2 0 1 0] 1 2
    kel_value s = b({1, 0, 2, 0, 1, 0});
    kel_value one = int_v(1), two = int_v(2);
    stack::push_copy(&s);
    stack::push_copy(&one);
    stack::push_copy(&two);
    refinements r = refinements::none();
    r.at[6] = 2;  // /skip
    r.at[7] = 3;  // /last
    ASSERT_EQ(registry::handler(types::block, act::find)(r), signal_code::none);
    EXPECT_EQ(series_head(stack::arguments()), 4);
    // select/skip: the cell after the key's record start.
    stack::reset();
    kel_value pairs = b({1, 5, 0, 1, 2, 6});
    stack::push_copy(&pairs);
    stack::push_copy(&one);
    stack::push_copy(&two);
    ASSERT_EQ(registry::handler(types::block, act::select)(r), signal_code::none);
    EXPECT_EQ(get_integer(stack::arguments()), 5);  // the 1 at index 3 is off the grid
}

TEST_F(BlocksFind, Put) {
    kel_value s = b({1, 10, 2, 20});
    kel_value key = int_v(3), value = int_v(30);
    block::put(&s, &key, &value, false);
    EXPECT_EQ(ints(s), (std::vector<int32_t>{1, 10, 2, 20, 3, 30}));
    // An existing key: the cell after it changes only when the value differs.
    kel_value two = int_v(2);
    kel_value same = int_v(20);
    same.header |= header_new_line;
    block::put(&s, &two, &same, false);
    EXPECT_FALSE(new_line_q(block::ks_abs_at(&s, 3)));  // equal: left as it was
    kel_value other = int_v(21);
    block::put(&s, &two, &other, false);
    EXPECT_EQ(ints(s), (std::vector<int32_t>{1, 10, 2, 21, 3, 30}));
    // A key that is the last cell gets its value appended.
    kel_value t = b({1, 10, 5});
    kel_value five = int_v(5), fifty = int_v(50);
    block::put(&t, &five, &fifty, false);
    EXPECT_EQ(ints(t), (std::vector<int32_t>{1, 10, 5, 50}));
    // A block key is found again as the cell it was stored as.
    kel_value u = b({});
    kel_value k = b({1, 2});
    kel_value v1 = int_v(1), v2 = int_v(2);
    block::put(&u, &k, &v1, false);
    block::put(&u, &k, &v2, false);
    EXPECT_EQ(block::ks_length_q(&u), 2);
    EXPECT_EQ(get_integer(block::ks_abs_at(&u, 1)), 2);
}

TEST_F(BlocksFind, PathSteps) {
    kel_value s = b({1, 10, 2, 20});
    kel_value out;
    struct get_row {
        kel_value element;
        int32_t expected;  // INT32_MIN: none
    };
    const get_row gets[] = {
        {int_v(2), 10}, {int_v(4), 20}, {int_v(5), INT32_MIN}, {int_v(0), INT32_MIN}, {int_v(1), 1},
    };
    for (const get_row& g : gets) {
        block::eval_path(&s, &g.element, nullptr, nullptr, false, &out);
        if (g.expected == INT32_MIN) EXPECT_TRUE(none_q(&out));
        else EXPECT_EQ(get_integer(&out), g.expected);
    }
    // A key element without a value selects the cell after it (/only);
    // integer elements are always positions.
    kel_value yes = test::logic_v(true);
    kel_value keyed = test::block_of({int_v(7), yes, int_v(99)});
    block::eval_path(&keyed, &yes, nullptr, nullptr, false, &out);
    EXPECT_EQ(get_integer(&out), 99);
    // Setting by index, and by key (the cell after the key).
    kel_value two = int_v(2);
    kel_value v = int_v(77);
    block::eval_path(&s, &two, &v, nullptr, false, &out);
    EXPECT_EQ(ints(s), (std::vector<int32_t>{1, 77, 2, 20}));
    kel_value v2 = int_v(11);
    block::eval_path(&keyed, &yes, &v2, nullptr, false, &out);
    EXPECT_EQ(get_integer(block::ks_abs_at(&keyed, 2)), 11);
    EXPECT_EQ(get_integer(&out), 11);
    kel_value nine = int_v(9);
    kel_value path = b({});
    EXPECT_TRUE(fires([&] { block::eval_path(&s, &nine, &v, &path, false, &out); }, "out-of-range"));
    kel_value absent = test::none_v();
    EXPECT_TRUE(fires([&] { block::eval_path(&s, &absent, &v, &path, false, &out); }, "bad-path-set"));
    // A word element looks for any word of the same symbol and answers the cell after it.
    kel_value word{types::word, 0, 42, 0};
    kel_value set_word{types::set_word, 0, 42, 0};
    kel_value words = test::block_of({int_v(1), set_word, int_v(5)});
    block::eval_path(&words, &word, nullptr, nullptr, false, &out);
    EXPECT_EQ(get_integer(&out), 5);
    kel_value last_word = test::block_of({set_word});
    block::eval_path(&last_word, &word, nullptr, nullptr, false, &out);
    EXPECT_TRUE(none_q(&out));
}
