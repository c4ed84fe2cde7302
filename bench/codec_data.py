#!/usr/bin/python3
"""Writes the input files of the codec benchmarks once, from a fixed seed, so
that the Kel script and its Python twin read the same bytes:
/tmp/kel-bench-codec.json (about 10 MB: objects, arrays, escaped and
non-ASCII strings, integers and floats) and /tmp/kel-bench-codec.csv (about
10 MB: quoted and unquoted fields, embedded delimiters, quotes and line
feeds). An existing file is kept.

usage: codec_data.py json|csv   (prints the file's path)"""
import json
import os
import random
import sys

TARGET = 7_500_000  # about 10 MB once indented
PATHS = {"json": "/tmp/kel-bench-codec.json", "csv": "/tmp/kel-bench-codec.csv"}
WORDS = ["alpha", "beta", "gamma", "delta", "naïve", "façade", "中文", "smile 😀", "tab\there", 'say "hi"',
         "line\nfeed", "back\\slash", "a,b", "", "x", "München", "ĳ", "q'q"]


def text(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def json_record(rng, i):
    return {
        "id": i,
        "name": text(rng, rng.randint(1, 4)),
        "score": round(rng.uniform(-1000, 1000), rng.randint(0, 6)),
        "ratio": rng.random(),
        "tiny": rng.choice([1e-20, 2.5e-8, 6.02e23, 0.1]),
        "active": rng.random() < 0.5,
        "note": None if rng.random() < 0.3 else text(rng, 2),
        "tags": [rng.choice(WORDS) for _ in range(rng.randint(0, 5))],
        "counts": [rng.randint(-100000, 100000) for _ in range(rng.randint(0, 6))],
        "nested": {"a": rng.randint(0, 9), "b": [text(rng, 1), {"c": rng.random() < 0.5}]},
    }


def write_json(path):
    rng = random.Random(4021)
    records, size, i = [], 2, 0
    while size < TARGET:
        r = json_record(rng, i)
        size += len(json.dumps(r, ensure_ascii=False)) + 2
        records.append(r)
        i += 1
    with open(path, "w", encoding="utf-8") as f:
        json.dump(records, f, ensure_ascii=False, indent=1)


def csv_field(rng):
    k = rng.random()
    if k < 0.4:
        return str(rng.randint(-100000, 100000))
    if k < 0.5:
        return ""
    return text(rng, rng.randint(1, 3))


def write_csv(path):
    import csv
    rng = random.Random(4022)
    size = 0
    with open(path, "w", encoding="utf-8", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        while size < TARGET:
            row = [csv_field(rng) for _ in range(8)]
            w.writerow(row)
            size += sum(len(x) + 1 for x in row) * 21 // 25  # counted low: about 10 MB written


def main():
    kind = sys.argv[1]
    path = PATHS[kind]
    if not os.path.exists(path):
        tmp = path + ".part"
        (write_json if kind == "json" else write_csv)(tmp)
        os.replace(tmp, path)
    print(path)


if __name__ == "__main__":
    main()
