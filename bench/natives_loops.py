# The Python twin of bench/natives_loops.cpp: a for loop summing 1,000,000
# integers (0 to 999, repeated), 1,000,000 rounds of integer arithmetic on the counter, and
# evaluating a list of 100,000 values (half names looked up, half integers).
# Each figure is the best of five runs, in milliseconds.
#   python3 bench/natives_loops.py [scale]
import sys
import time

scale = max(1, int(sys.argv[1])) if len(sys.argv) > 1 else 1


def best_of_five(fn):
    best = float("inf")
    result = None
    for _ in range(5):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, (time.perf_counter() - t0) * 1000)
    return best, result


n_foreach = 1_000_000 * scale
data = [i % 1000 for i in range(n_foreach)]


def foreach():
    total = 0
    for x in data:
        total = total + x
    return total


ms, total = best_of_five(foreach)
print(f"foreach over {n_foreach} integers: sum {total}")
print(f"  python {ms:8.1f} ms")

n_repeat = 1_000_000 * scale


def repeat():
    x = 0
    for i in range(1, n_repeat + 1):
        x = x + i - i + 1
    return x


ms, x = best_of_five(repeat)
print(f"repeat {n_repeat} rounds: x = {x}")
print(f"  python {ms:8.1f} ms")

n_reduce = 100_000 * scale
source = ["x" if i % 2 == 0 else i % 1000 for i in range(n_reduce)]
env = {"x": 7}


def reduce():
    return len([env[v] if isinstance(v, str) else v for v in source])


ms, length = best_of_five(reduce)
print(f"reduce of {n_reduce} values: length {length}")
print(f"  python {ms:8.1f} ms")
