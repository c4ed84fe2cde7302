# The Python counterpart of bench/string_sort.cpp: sort the same 200,000
# generated strings case-insensitively (key=str.upper, Python's sort is
# stable), then plainly, then the characters of one long string.
#   python3 bench/string_sort.py [count]
import sys
import time

count = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
seed = 12345


def next_random():
    global seed
    seed = (seed * 1103515245 + 12345) & 0xFFFFFFFF
    return (seed >> 8) & 0xFFFFFF


letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ\u00e9\u00c9\u0107"


def make_word():
    n = 3 + next_random() % 12
    return "".join(letters[next_random() % len(letters)] for _ in range(n))


words = [make_word() for _ in range(count)]

t0 = time.perf_counter()
folded = sorted(words, key=str.upper)
folded_s = time.perf_counter() - t0

t1 = time.perf_counter()
plain = sorted(words)
plain_s = time.perf_counter() - t1

text = "".join(words)
t2 = time.perf_counter()
chars = "".join(sorted(text, key=str.upper))
chars_s = time.perf_counter() - t2

assert len(folded) == count and len(chars) == len(text)
print("python sort %d strings: key=str.upper %.3f s  plain %.3f s;  sort %d characters: %.3f s"
      % (count, folded_s, plain_s, len(text), chars_s))
