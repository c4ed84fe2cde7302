# Twin of parse_types.kel: the same block as a list, a hand loop of the same
# type tests, which alone is timed.
import time


class Word(str):
    pass


b = []
for i in range(1, 500001):
    b.append(i)
    b.append(Word("w"))
t = time.perf_counter()
ok = True
for v in b:
    if not (type(v) is int or type(v) is Word):
        ok = False
        break
print("python loop:", ok, "time: %.3f s" % (time.perf_counter() - t))
