# The Python counterpart of bench/block_append.cpp: append 10 million
# integers to a list, then copy it; time and peak memory.
#   python3 bench/block_append.py [count]
import resource
import sys
import time

count = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
items = []
for i in range(count):
    items.append(i)
append_s = time.perf_counter() - t0
t1 = time.perf_counter()
copy = items.copy()
copy_s = time.perf_counter() - t1
assert len(copy) == count and copy[-1] == count - 1
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("python append %d: %.3f s  copy: %.3f s  peak memory: %.1f MiB (start %.1f MiB)"
      % (count, append_s, copy_s, peak / 1024.0, base / 1024.0))
