// The set operations on block-like series (unique, union, intersect, exclude,
// difference) against a Python model over generated cases, with records
// (/skip), nested blocks as members, and the result's type.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_support.h"

using namespace kel;
using test::b;
using test::int_v;

namespace {

struct BlocksSetOps : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

// Records keep their first occurrence, in order; only a record's first cell
// is compared; a trailing partial record is kept as it is.
const char* const set_model = R"PY(
import sys
def records(xs, k):
    return [xs[i:i + k] for i in range(0, len(xs), k)]
def keys(rs):
    return [r[0] for r in rs]
def run(op, a, b, k):
    ra, rb = records(a, k), records(b, k)
    out = []
    def add(rs, test):
        for r in rs:
            if test(r[0]) and r[0] not in keys(out):
                out.append(r)
    if op == 'unique':
        add(ra, lambda x: True)
    elif op == 'union':
        add(ra, lambda x: True); add(rb, lambda x: True)
    elif op == 'intersect':
        add(ra, lambda x: x in keys(rb))
    elif op == 'exclude':
        add(ra, lambda x: x not in keys(rb))
    else:
        add(ra, lambda x: x not in keys(rb)); add(rb, lambda x: x not in keys(ra))
    return [x for r in out for x in r]
def parse(t):
    return [] if t == '-' else [int(x) if x[0] != 'b' else ('b', x[1:]) for x in t.split(',')]
def text(x):
    return str(x) if isinstance(x, int) else 'b' + x[1]
for line in sys.stdin:
    op, k, a, b = line.split()
    r = run(op, parse(a), parse(b), int(k))
    print(','.join(text(x) for x in r) if r else '-')
)PY";

// A member is an integer, or (as "bN") the one-cell block [N].
kel_value member(const std::string& m) {
    if (m[0] == 'b') return b({std::stoi(m.substr(1))});
    return int_v(std::stoi(m));
}

std::string encode(const std::vector<std::string>& xs) {
    if (xs.empty()) return "-";
    std::string s;
    for (size_t i = 0; i < xs.size(); ++i) s += (i ? "," : "") + xs[i];
    return s;
}

std::string describe(const kel_value& blk) {
    std::vector<std::string> out;
    kel_value c = blk;
    for (int32_t i = 0; i < block::ks_length_q(&c); ++i) {
        const kel_value* x = block::ks_abs_at(&c, series_head(&c) + i);
        if (type_of(x) == types::integer) out.push_back(std::to_string(get_integer(x)));
        else out.push_back("b" + std::to_string(get_integer(block::ks_abs_at(x, 0))));
    }
    return encode(out);
}

kel_value run(int32_t op, const kel_value& a, const kel_value& b2, int32_t skip, uint32_t* type = nullptr) {
    stack::reset();
    stack::push_copy(&a);
    stack::push_copy(&b2);
    kel_value k = int_v(skip);
    kel_value* r = block::set_operation(op, false, skip > 1 ? &k : nullptr);
    EXPECT_EQ(r, stack::arguments());
    EXPECT_EQ(series_head(r), 0);
    if (type) *type = type_of(r);
    return *r;
}

}  // namespace

TEST_F(BlocksSetOps, AgreeWithAPythonModel) {
    const char* names[] = {"unique", "union", "intersect", "exclude", "difference"};
    std::mt19937 rng(5);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    struct generated {
        int op;
        int skip;
        std::vector<std::string> a, b;
    };
    std::vector<generated> cases;
    for (int i = 0; i < 600; ++i) {
        generated g;
        g.op = pick(5);
        g.skip = pick(3) == 0 ? 2 : 1;
        auto fill = [&](std::vector<std::string>& xs) {
            for (int n = pick(9); n > 0; --n)
                xs.push_back(pick(6) == 0 ? "b" + std::to_string(pick(3)) : std::to_string(pick(6)));
        };
        fill(g.a);
        fill(g.b);
        cases.push_back(g);
    }
    std::string input;
    for (const generated& g : cases)
        input += std::string(names[g.op]) + " " + std::to_string(g.skip) + " " + encode(g.a) + " " + encode(g.b) + "\n";
    test::process_result py = test::run_process({"/usr/bin/python3", "-c", set_model}, {}, input);
    ASSERT_EQ(py.exit_code, 0) << py.err;
    std::istringstream expected(py.out);
    for (const generated& g : cases) {
        std::string want;
        expected >> want;
        std::vector<kel_value> a, bb;
        for (const std::string& m : g.a) a.push_back(member(m));
        for (const std::string& m : g.b) bb.push_back(member(m));
        kel_value result = run(8 + g.op, test::block_of(a), test::block_of(bb), g.skip);
        ASSERT_EQ(describe(result), want) << names[g.op] << " skip " << g.skip << " " << encode(g.a) << " / "
                                          << encode(g.b);
    }
}

TEST_F(BlocksSetOps, HeadsResultTypesAndErrors) {
    // Both heads count: the cells before them take no part.
    kel_value a = b({1, 2, 3, 4});
    set_series_head(&a, 2);
    kel_value c = b({9, 3});
    set_series_head(&c, 1);
    EXPECT_EQ(describe(run(block::set_op::union_, a, c, 1)), "3,4");
    EXPECT_EQ(describe(run(block::set_op::exclude, a, c, 1)), "4");
    // A hash! first (or second, except for unique) gives a hash!.
    kel_value h = test::block_of({int_v(1), int_v(1)}, types::hash);
    kel_value p = test::block_of({int_v(2)}, types::paren);
    uint32_t type = 0;
    EXPECT_EQ(describe(run(block::set_op::unique, h, p, 1, &type)), "1");
    EXPECT_EQ(type, types::hash);
    run(block::set_op::union_, p, h, 1, &type);
    EXPECT_EQ(type, types::hash);
    run(block::set_op::unique, p, h, 1, &type);
    EXPECT_EQ(type, types::paren);
    // Errors: /skip below 1, a second argument that is no block.
    stack::reset();
    stack::push_copy(&a);
    stack::push_copy(&c);
    kel_value zero = int_v(0);
    EXPECT_TRUE(fires([&] { block::set_operation(block::set_op::union_, false, &zero); }, "invalid-refine-arg"));
    stack::reset();
    kel_value one = int_v(1);
    stack::push_copy(&a);
    stack::push_copy(&one);
    EXPECT_TRUE(fires([&] { block::set_operation(block::set_op::union_, false, nullptr); }, "invalid-arg"));
    // Empty inputs give an empty block.
    kel_value e = b({});
    EXPECT_EQ(describe(run(block::set_op::intersect, e, e, 1)), "-");
}
