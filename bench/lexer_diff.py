#!/usr/bin/env python3
"""Differential check of the lexer: runs two kel binaries over the same
corpus and compares what they print byte for byte, errors included.

    python3 bench/lexer_diff.py OLD_KEL NEW_KEL [seed]

The corpus: every tests/kel/*.kel and library/*.kel file, plus seeded random
texts in the alphabet of source text and random bytes. Each file is loaded
as data (`load`, `load/all`) and scanned by `transcode` as a string and as a
binary, whole, through /next step by step, with /one, with /trace (a
callback that records every event, and one that vetoes some), and on
prefixes and random slices. A change to the lexer that changes no behaviour
leaves every output identical."""
import concurrent.futures
import os
import random
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = r'''Kel []
t: func [code] [print mold/all try code]
n: 0
record: func [event input type line token] [
    prin rejoin [event " " mold type " " line " " mold token " " index? input "|"]
    true
]
veto: func [event input type line token] [
    n: n + 1
    prin rejoin [event " " mold type " " mold token "|"]
    0 <> (n // 7)
]
steps: func [s /local r k] [
    k: 0
    while [all [not tail? s k < 5000]] [
        r: try [transcode/next s]
        print mold/all :r
        if error? :r [break]
        if (index? r/2) <= (index? s) [print "no progress" break]
        s: r/2
        k: k + 1
    ]
]
'''

ALPHABET = ('abcxyzE019 -+.:/\\\'#$%@<>=^,;"[](){}\n\t' +
            '\u00e9\u20ac\u2003\u00a0' + 'e 1 2.5 12:30 1x2 #{0F} #"a" %f "s" {b} <t> a/b :w w: \'w /r')


def random_texts(rng, count):
    texts = []
    for i in range(count):
        n = rng.randrange(1, 300)
        if i % 3 == 2:
            data = bytes(rng.randrange(256) for _ in range(n))
        else:
            data = ''.join(rng.choice(ALPHABET) for _ in range(n)).encode('utf-8')
        texts.append(data)
    return texts


def script_for(path, size, rng):
    quoted = '%"' + path.replace('"', '%22') + '"'
    lines = [PRELUDE, f'f: {quoted}', 'src: any [attempt [read f] copy ""]', 'bin: read/binary f',
             't [load f]', 't [load/all f]', 't [load/header f]',
             't [transcode src]', 't [transcode bin]',
             't [transcode/trace src :record]', 't [transcode/trace bin :veto]',
             't [transcode/one src]', 't [out: copy [] transcode/into/trace src out :veto out]',
             'steps src', 'steps bin']
    cuts = sorted({rng.randrange(size + 2) for _ in range(12)})
    lines.append(f'foreach c [{" ".join(map(str, cuts))}] [t [transcode copy/part src c] '
                 f't [transcode/one copy/part bin c] t [transcode/trace copy/part bin c :record]]')
    slices = [(rng.randrange(1, size + 2), rng.randrange(0, 400)) for _ in range(12)]
    flat = ' '.join(f'{a} {b}' for a, b in slices)
    lines.append(f'foreach [a b] [{flat}] [t [transcode copy/part at src a b] '
                 f't [transcode/next copy/part at bin a b] t [transcode/trace copy/part at bin a b :veto] '
                 f't [load copy/part at bin a b]]')
    return '\n'.join(lines) + '\n'


def run(kel, script):
    r = subprocess.run([kel, script], capture_output=True, timeout=300)
    return r.returncode, r.stdout, r.stderr


def main():
    old, new = sys.argv[1], sys.argv[2]
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    rng = random.Random(seed)
    work = tempfile.mkdtemp(prefix='lexdiff-')
    corpus = []
    for folder in ('tests/kel', 'library'):
        d = os.path.join(ROOT, folder)
        corpus += sorted(os.path.join(d, n) for n in os.listdir(d) if n.endswith('.kel'))
    for i, data in enumerate(random_texts(rng, 150)):
        p = os.path.join(work, f'random-{i}.txt')
        with open(p, 'wb') as fh:
            fh.write(data)
        corpus.append(p)
    jobs = []
    for i, path in enumerate(corpus):
        script = os.path.join(work, f'case-{i}.kel')
        with open(script, 'w') as fh:
            fh.write(script_for(path, os.path.getsize(path), rng))
        jobs.append((path, script))

    def compare(job):
        path, script = job
        a, b = run(old, script), run(new, script)
        return path, a == b, a, b

    failures = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        for path, same, a, b in pool.map(compare, jobs):
            if not same:
                failures += 1
                print(f'DIFFERS: {path} (rc {a[0]} / {b[0]})')
    print(f'{len(jobs) - failures} passed, {failures} failed')
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
