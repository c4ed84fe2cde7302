# The Python side of bench/lexer.cpp: the same generated document as JSON
# (same generator, same shape and size), parsed with json.loads; reports
# MB/s, the best of several runs, then runs build/bench_lexer (when built)
# for the side-by-side figure.
#   python3 bench/lexer.py [megabytes] [runs]
import json
import os
import subprocess
import sys
import time


class Generator:
    # Keep in step with the generator of bench/lexer.cpp.
    def __init__(self, as_json):
        self.x = 12345
        self.json = as_json
        self.vocabulary = []
        self.out = []
        self.size = 0

    def next(self):
        self.x = (self.x * 1103515245 + 12345) & 0xFFFFFFFF
        return self.x >> 8

    def name(self):
        n = ''.join(chr(ord('a') + self.next() % 26) for _ in range(3 + self.next() % 8))
        if self.next() % 4 == 0:
            n += '-' + str(self.next() % 10)
        return n

    def put(self, s):
        self.out.append(s)
        self.size += len(s)

    def item(self, depth):
        k = self.next() % (10 if depth < 3 else 8)
        if k < 3:
            w = self.vocabulary[self.next() % len(self.vocabulary)]
            self.put('"' + w + '"' if self.json else w)
        elif k < 5:
            self.put(str(self.next() % 2000000 - 1000000))
        elif k < 6:
            a = self.next() % 100000
            self.put(str(a) + '.' + str(self.next() % 1000))
        elif k < 8:
            n = 5 + self.next() % 16
            chars = []
            for _ in range(n):
                chars.append(' ' if self.next() % 6 == 0 else chr(ord('a') + self.next() % 26))
            self.put('"' + ''.join(chars) + '"')
        else:
            self.block(depth + 1)

    def block(self, depth):
        self.put('[')
        n = self.next() % 9
        for i in range(n):
            if i:
                self.put(', ' if self.json else ' ')
            self.item(depth)
        self.put(']')

    def document(self, size):
        self.vocabulary = [self.name() for _ in range(1000)]
        if self.json:
            self.put('[\n')
        first = True
        while self.size < size:
            if not first and self.json:
                self.put(',\n')
            first = False
            self.block(0)
            if not self.json:
                self.put('\n')
        if self.json:
            self.put('\n]\n')
        return ''.join(self.out)


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 20.0
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    text = Generator(True).document(int(megabytes * 1e6))
    best = best_cpu = 1e9
    for _ in range(runs):
        t0 = time.perf_counter()
        c0 = time.thread_time()
        doc = json.loads(text)
        best_cpu = min(best_cpu, time.thread_time() - c0)
        best = min(best, time.perf_counter() - t0)
    print("python json.loads   %.1f MB in %.3f s: %.0f MB/s (CPU time %.3f s: %.0f MB/s; %d top-level arrays)"
          % (len(text) / 1e6, best, len(text) / 1e6 / best, best_cpu, len(text) / 1e6 / best_cpu, len(doc)))
    here = os.path.dirname(os.path.abspath(__file__))
    kel = os.path.join(here, '..', 'build', 'bench_lexer')
    if os.path.exists(kel):
        subprocess.run([kel, str(megabytes), str(runs)], check=True)


if __name__ == '__main__':
    main()
