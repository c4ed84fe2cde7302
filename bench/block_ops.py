# The companion of bench/block_ops.cpp: the same work on a Python list of
# 1,000,000 integers. Prints the best of five runs in milliseconds.
#   python3 bench/block_ops.py [count]
import random
import sys
import time

n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
random.seed(1)
data = [random.randrange(-2**31, 2**31) for _ in range(n)]


def best(work):
    b = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        work()
        b = min(b, (time.perf_counter() - t0) * 1000)
    return b


sort_ms = best(lambda: sorted(data))
counting = list(range(n))
find_last_ms = best(lambda: counting.index(n - 1))
find_absent_ms = best(lambda: -1 in counting)
print(f"list of {n} integers")
print(f"  sorted          {sort_ms:8.1f} ms")
print(f"  index last      {find_last_ms:8.1f} ms")
print(f"  in (absent)     {find_absent_ms:8.1f} ms")
