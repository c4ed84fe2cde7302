# A 10,000,000-step counting loop in Python: the companion of
# bench/eval_loop.cpp. Prints the best of five runs in milliseconds.
#   python3 bench/eval_loop.py [steps]
import sys
import time


def count(steps):
    i = 0
    while i < steps:
        i = i + 1
    return i


steps = int(sys.argv[1]) if len(sys.argv) > 1 else 10000000
best = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    result = count(steps)
    best = min(best, (time.perf_counter() - t0) * 1000)
print(f"count to {result}")
print(f"  python while {best:8.1f} ms")
