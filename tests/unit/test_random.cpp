// The random generator against an independent model of it in Python, its
// uniform integers, the secure source and the hash seed.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/random.h"
#include "kernel/runtime.h"
#include "test_support.h"


namespace {

// The generator as an independent Python model: 32-bit words, arithmetic
// right shifts, no twist before the first draw.
const char* const python_model = R"PY(
def u32(x): return x & 0xFFFFFFFF
def asr(x, n): x = u32(x); return u32((x - (1 << 32) if x >> 31 else x) >> n)
class Random:
    def __init__(self, seed=19650218): self.seed(seed)
    def seed(self, s):
        w = [u32(s)] + [0] * 623
        for k in range(1, 624): w[k] = u32(1812433253 * (w[k-1] ^ asr(w[k-1], 30)) + k)
        self.w, self.i = w, 0
    def next(self):
        w = self.w
        if self.i == 624:
            for k in range(624):
                y = (w[k] & 0x80000000) | (w[(k + 1) % 624] & 0x7FFFFFFF)
                v = w[(k + 397) % 624] ^ asr(y, 1)
                w[k] = u32(v ^ 0x9908B0DF if y & 1 else v)
            self.i = 0
        self.i += 1; y = w[self.i - 1]
        y ^= asr(y, 11); y ^= u32(y << 7) & 0x9D2C5680
        y ^= u32(y << 15) & 0xEFC60000; y ^= asr(y, 18)
        return u32(y)
rejected = 0
def int_upto(r, n):
    global rejected
    if n == 0: return 0
    if n == -2**31: return -1 - r.next()
    if n < 0: return -int_upto(r, -n)
    limit = (2147483647 // n) * n
    while True:
        d = r.next()
        if d < limit: return d % n + 1
        rejected += 1
)PY";

std::vector<int64_t> numbers(const std::string& line) {
    std::vector<int64_t> v;
    std::istringstream in(line);
    for (int64_t x; in >> x;) v.push_back(x);
    return v;
}

}  // namespace

TEST(RandomGenerator, KnownSequences) {
    struct {
        uint32_t seed;
        int skip;  // draws taken before the expected ones
        uint32_t expected[3];
    } const cases[] = {
        {1, 0, {4194449, 1284266036, 226251983}},
        {19650218, 0, {1573102752, 2054623780, 1026451266}},
        {19650218, 623, {779737127, 299300835, 1547650282}},  // draws 624-626: the twist
    };
    for (const auto& c : cases) {
        kel::random::seed(c.seed);
        for (int i = 0; i < c.skip; ++i) kel::random::next();
        for (uint32_t want : c.expected) EXPECT_EQ(kel::random::next(), want) << "seed " << c.seed;
    }
}

TEST(RandomGenerator, SetupSeedsTheStartupSequence) {
    kel::random::seed(99);
    kel::random::next();
    kel::random::setup();
    EXPECT_EQ(kel::random::next(), 1573102752u);
    EXPECT_EQ(kel::random::next(), 2054623780u);
}

TEST(RandomGenerator, MatchesTheModelForManySeeds) {
    // Seeds with bit 31 set check the arithmetic shifts; 2,000 draws cross
    // three twists.
    const std::vector<uint32_t> seeds = {1, 19650218, 0, 5489, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xDEADBEEF};
    std::string code = std::string(python_model) + "for s in [";
    for (uint32_t s : seeds) code += std::to_string(s) + ",";
    code += "]:\n    r = Random(s)\n    print(' '.join(str(r.next()) for _ in range(2000)))\n";
    std::istringstream out(kel::test::python(code));
    for (uint32_t s : seeds) {
        std::string line;
        ASSERT_TRUE(std::getline(out, line)) << "no model output for seed " << s;
        std::vector<int64_t> want = numbers(line);
        ASSERT_EQ(want.size(), 2000u);
        kel::random::seed(s);
        for (size_t i = 0; i < want.size(); ++i) {
            uint32_t got = kel::random::next();
            ASSERT_LT(got, 0x80000000u) << "bit 31 set, seed " << s << " draw " << i + 1;
            ASSERT_EQ(got, want[i]) << "seed " << s << " draw " << i + 1;
        }
    }
}

TEST(RandomIntUpto, MatchesTheModelIncludingRejections) {
    // One continuing sequence over every kind of bound; the draw after it
    // shows that both consumed exactly as many draws.
    const std::vector<int32_t> bounds = {1, 2, 3, 6, 100, 1073741824, 1073741825, 1610612737,
                                         0, -1, -6, INT32_MIN, 2147483647, -1073741825};
    std::string code = std::string(python_model) + "r = Random(7)\nfor n in [";
    for (int32_t n : bounds) code += std::to_string(n) + ",";
    code += "]:\n    print(' '.join(str(int_upto(r, n)) for _ in range(300)))\n"
            "print(r.next())\nprint(rejected)\n";
    std::istringstream out(kel::test::python(code));
    kel::random::seed(7);
    for (int32_t n : bounds) {
        std::string line;
        ASSERT_TRUE(std::getline(out, line));
        std::vector<int64_t> want = numbers(line);
        ASSERT_EQ(want.size(), 300u);
        for (size_t i = 0; i < want.size(); ++i) {
            int32_t got = kel::random::int_upto(n);
            ASSERT_EQ(got, want[i]) << "n " << n << " result " << i;
            if (n > 0) {
                ASSERT_GE(got, 1);
                ASSERT_LE(got, n);
            } else if (n < 0) {
                ASSERT_LE(got, -1);
                ASSERT_GE(got, n);
            } else {
                ASSERT_EQ(got, 0);
            }
        }
    }
    std::string next_draw, rejected;
    ASSERT_TRUE(std::getline(out, next_draw));
    ASSERT_TRUE(std::getline(out, rejected));
    EXPECT_EQ(kel::random::next(), std::stoll(next_draw));
    EXPECT_GT(std::stoll(rejected), 100) << "the rejection path was not exercised";
}

TEST(RandomIntUpto, EdgesConsumeTheirDraws) {
    // n = 0 draws nothing; n = 1 gives 1 after one draw; the most negative
    // bound is -1 - draw.
    kel::random::seed(1);
    EXPECT_EQ(kel::random::int_upto(0), 0);
    EXPECT_EQ(kel::random::int_upto(1), 1);
    EXPECT_EQ(kel::random::next(), 1284266036u);
    EXPECT_EQ(kel::random::int_upto(INT32_MIN), -1 - 226251983);
}

TEST(RandomIntUpto, IsUniform) {
    kel::random::seed(42);
    const int draws = 60000;
    for (int32_t n : {6, -6}) {
        int count[6] = {};
        for (int i = 0; i < draws; ++i) {
            int32_t v = kel::random::int_upto(n);
            int slot = (n > 0 ? v : -v) - 1;
            ASSERT_GE(slot, 0);
            ASSERT_LT(slot, 6);
            ++count[slot];
        }
        // Each face expects 10,000 with a spread near 91: allow five spreads.
        for (int c : count) {
            EXPECT_GT(c, 9540) << "n " << n;
            EXPECT_LT(c, 10460) << "n " << n;
        }
    }
}

TEST(RandomSecure, DrawsAreThirtyOneBitAndVary) {
    std::set<uint32_t> seen;
    for (int i = 0; i < 1000; ++i) {
        uint32_t d = kel::random::secure_next();
        EXPECT_LT(d, 0x80000000u);
        seen.insert(d);
    }
    EXPECT_GT(seen.size(), 990u);

    std::set<int32_t> faces;
    for (int i = 0; i < 600; ++i) {
        int32_t v = kel::random::int_upto(6, true);
        ASSERT_GE(v, 1);
        ASSERT_LE(v, 6);
        faces.insert(v);
    }
    EXPECT_EQ(faces.size(), 6u);
    for (int i = 0; i < 200; ++i) {
        int32_t v = kel::random::int_upto(-3, true);
        ASSERT_GE(v, -3);
        ASSERT_LE(v, -1);
        EXPECT_LE(kel::random::int_upto(INT32_MIN, true), -1);
        EXPECT_EQ(kel::random::int_upto(0, true), 0);
    }
}

TEST(RandomSecure, SecureDrawsLeaveTheGeneratorAlone) {
    kel::random::seed(1);
    kel::random::secure_next();
    kel::random::int_upto(1000, true);
    EXPECT_EQ(kel::random::next(), 4194449u);
}

TEST(RandomSecure, RandomBytesFillTheWholeBuffer) {
    kel::crypto::random_bytes(0, nullptr);
    // A large request may come back in pieces; every byte must be written.
    std::vector<unsigned char> a(1 << 20, 0), b(1 << 20, 0);
    kel::crypto::random_bytes(a.size(), a.data());
    kel::crypto::random_bytes(b.size(), b.data());
    EXPECT_NE(a, b);
    size_t zeros_in_tail = 0;
    for (size_t i = a.size() - 4096; i < a.size(); ++i) zeros_in_tail += a[i] == 0;
    EXPECT_LT(zeros_in_tail, 64u);  // about 16 expected
}

TEST(RandomHashSeed, FixedForTheProcessAndEveryRun) {
    uint32_t first = kel::random::hash_seed();
    EXPECT_EQ(first, 1573102752u);  // the start-up generator's first draw
    kel::random::setup();
    kel::random::seed(12345);
    EXPECT_EQ(kel::random::hash_seed(), first);
}

TEST(RandomSetup, RunsRightAfterPlatformStart) {
    size_t count = 0;
    const kel::runtime::init_step* steps = kel::runtime::init_steps(&count);
    size_t platform = count, generator = count;
    for (size_t i = 0; i < count; ++i) {
        if (std::string(steps[i].name) == "platform") platform = i;
        if (std::string(steps[i].name) == "random generator") generator = i;
    }
    ASSERT_LT(platform, count);
    EXPECT_EQ(generator, platform + 1);
    EXPECT_EQ(steps[generator].run, &kel::random::setup);
}
