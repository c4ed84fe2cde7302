# A function that leaves through `return`, called 1,000,000 times: the
# companion of bench/eval_return.cpp. Prints the best of five runs in
# milliseconds.
#   python3 bench/eval_return.py [calls]
import sys
import time


def f(n):
    return n + 1


def run(calls):
    i = 0
    while i < calls:
        i = f(i)
    return i


calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
best = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    result = run(calls)
    best = min(best, (time.perf_counter() - t0) * 1000)
print(f"{result} calls through return")
print(f"  python {best:8.1f} ms")
