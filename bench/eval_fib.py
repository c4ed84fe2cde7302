# Recursive fib(30) in Python: the companion of bench/eval_fib.cpp. Prints
# the best of five runs in milliseconds.
#   python3 bench/eval_fib.py [n]
import sys
import time


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


n = int(sys.argv[1]) if len(sys.argv) > 1 else 30
best = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    result = fib(n)
    best = min(best, (time.perf_counter() - t0) * 1000)
print(f"fib {n} = {result}")
print(f"  python {best:8.1f} ms")
