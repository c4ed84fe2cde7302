// vector! element arithmetic against Python's fixed-width integers (ctypes
// c_int8, c_int16, c_int32) and float32 packing (struct '<f'): Python
// generates operands, the Kel expression and the expected mold, and each line
// runs through the evaluator.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/unit/test_natives_support.h"
#include "tests/unit/test_support.h"

namespace kel {
namespace {

const char* const generator = R"py(
import ctypes, random, re, struct
rnd = random.Random(20240601)
fixed = {8: ctypes.c_int8, 16: ctypes.c_int16, 32: ctypes.c_int32}
ops = {'+': 'add', '-': 'sub', '*': 'mul', 'and': 'and', 'or': 'or', 'xor': 'xor', '/': 'div', '%': 'rem'}
def wrap(w, x): return fixed[w](x).value
def apply(op, a, b):
    if op == '+': return a + b
    if op == '-': return a - b
    if op == '*': return a * b
    if op == 'and': return a & b
    if op == 'or': return a | b
    if op == 'xor': return a ^ b
    q = abs(a) // abs(b) * (1 if (a < 0) == (b < 0) else -1)
    return q if op == '/' else a - b * q
def vec(w, xs):
    body = ' '.join(str(x) for x in xs)
    return 'make vector! [%s]' % body if w == 32 else 'make vector! [integer! %d [%s]]' % (w, body)
def operand(w):
    return rnd.choice([rnd.randint(-2**31, 2**31 - 1), rnd.randint(-2**(w - 1), 2**(w - 1) - 1), rnd.randint(-300, 300)])
for w in (8, 16, 32):
    for op in ops:
        a = [operand(w) for i in range(6)]
        b = [operand(w) or 1 for i in range(6)]
        if op in ('/', '%'):
            b = [x if wrap(w, x) not in (0, -1) else 3 for x in b]
        sa = [wrap(w, x) for x in a]
        sb = [wrap(w, x) for x in b]
        got = [wrap(w, apply(op, x, y)) for x, y in zip(sa, sb)]
        print('(%s) %s %s\t%s' % (vec(w, a), op, vec(w, b), vec(w, got)))
        s = rnd.randint(-2**31, 2**31 - 1) if op not in ('/', '%') else rnd.choice([7, -5, 100000])
        got = [wrap(w, apply(op, x, wrap(32, s))) for x in sa]
        print('(%s) %s %d\t%s' % (vec(w, a), op, s, vec(w, got)))
for i in range(40):
    x = rnd.choice([rnd.uniform(-1e6, 1e6), rnd.uniform(-1, 1), rnd.uniform(-3e38, 3e38), rnd.uniform(-1e-30, 1e-30)])
    f = struct.unpack('<f', struct.pack('<f', x))[0]
    text = re.sub(r'e\+?(-?)0*(\d)', r'e\1\2', repr(f))
    print('pick make vector! [float! 32 [%r]] 1\t%s' % (x, text))
)py";

struct VectorOracle : ntest::natives_test {};

TEST_F(VectorOracle, ElementArithmeticMatchesFixedWidthIntegersAndFloat32) {
    std::istringstream lines(test::python(generator));
    std::string line;
    int cases = 0;
    while (std::getline(lines, line)) {
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        const std::string source = line.substr(0, tab);
        const std::string expected = line.substr(tab + 1);
        EXPECT_EQ(ntest::run(source.c_str()), expected) << source;
        ++cases;
    }
    EXPECT_EQ(cases, 88);
}

}  // namespace
}  // namespace kel
