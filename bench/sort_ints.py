# Python's sorted on a list of 1,000,000 random ints: the companion of
# bench/sort_ints.cpp. Prints the best of five runs in milliseconds.
#   python3 bench/sort_ints.py [count]
import random
import sys
import time

n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
random.seed(1)
data = [random.randrange(-2**31, 2**31) for _ in range(n)]
best = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    out = sorted(data)
    best = min(best, (time.perf_counter() - t0) * 1000)
print(f"sort {n} random ints")
print(f"  python sorted {best:8.1f} ms")
