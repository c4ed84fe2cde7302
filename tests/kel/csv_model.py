#!/usr/bin/python3
"""load-csv and to-csv against Python's csv module. Random tables of fields
(delimiters, quotes, line feeds, blanks, empty fields, non-ASCII text) are
written by csv.writer(lineterminator='\\n') and read by `load-csv`: its rows
must equal csv.reader's, and with /header /as-records its records must
equal csv.DictReader's. What `to-csv` writes of the rows must read back
through csv.reader as the same rows (rows are compared, not text: Python
quotes fewer fields). The same again with ';' as the delimiter and "'" as
the quote character. Kel hands its results over as JSON (to-json).

usage: csv_model.py KEL_BINARY"""
import csv
import io
import json
import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kel_script  # noqa: E402

PIECES = ['a', 'b c', ',', ';', '"', "'", '\n', ' ', '', 'é', '中文', '😀', 'x"y', "it's", '1', '-2.5', '  pad  ']
# (delimiter, quote character, the refinements and arguments Kel is given)
VARIANTS = [(',', '"', '', ''), (';', "'", '/with/quote', ' #";" #"\'"')]


def field(rng):
    return ''.join(rng.choice(PIECES) for _ in range(rng.randint(0, 3)))


def table(rng):
    width = rng.randint(1, 6)
    header = ['h%d %s' % (i, rng.choice(['', 'é', 'x,y', 'q"q'])) for i in range(width)]
    rows = [[field(rng) for _ in range(width)] for _ in range(rng.randint(1, 8))]
    # A one-column row of one empty field is written quoted by both
    # writers (a blank line would read back as no row): such rows stay.
    return header, rows


def main():
    kel = sys.argv[1]
    rng = random.Random(20260602)
    cases = []
    with tempfile.TemporaryDirectory() as tmp:
        lines = ['Kel []']
        for i in range(120):
            delim, quote, refs, args = VARIANTS[i % 2]
            header, rows = table(rng)
            buf = io.StringIO()
            csv.writer(buf, delimiter=delim, quotechar=quote, lineterminator='\n').writerows([header] + rows)
            text = buf.getvalue()
            src = os.path.join(tmp, 'in%03d.csv' % i)
            out = os.path.join(tmp, 'out%03d.csv' % i)
            with open(src, 'w', encoding='utf-8', newline='') as f:
                f.write(text)
            cases.append((delim, quote, text, out))
            lines += [
                't: read %%%s' % src,
                'print to-json load-csv%s t%s' % (refs, args),
                'print to-json load-csv/header/as-records%s t%s' % (refs, args),
                'write %%%s to-csv%s load-csv%s t%s%s' % (out, refs, refs, args, args),
            ]
        p = kel_script.run(kel, lines)
        got = p.stdout.split('\n')
        fails = []
        if p.returncode != 0:
            fails.append('kel exited %d: %s' % (p.returncode, p.stderr[:500]))
        for i, (delim, quote, text, out) in enumerate(cases):
            want_rows = list(csv.reader(io.StringIO(text), delimiter=delim, quotechar=quote))
            want_records = [dict(r) for r in csv.DictReader(io.StringIO(text), delimiter=delim, quotechar=quote)]
            try:
                rows = json.loads(got[2 * i])
                records = json.loads(got[2 * i + 1])
            except (ValueError, IndexError) as e:
                fails.append('table %d: no JSON from kel (%s)' % (i, e))
                continue
            if rows != want_rows:
                fails.append('table %d rows: %r, csv.reader %r (text %r)' % (i, rows, want_rows, text))
            if records != want_records:
                fails.append('table %d records: %r, csv.DictReader %r' % (i, records, want_records))
            try:
                with open(out, encoding='utf-8', newline='') as f:
                    back = list(csv.reader(f, delimiter=delim, quotechar=quote))
            except OSError as e:
                fails.append('table %d: to-csv wrote nothing (%s)' % (i, e))
                continue
            if back != want_rows:
                fails.append('table %d: to-csv read back as %r, want %r' % (i, back, want_rows))
    for f in fails[:30]:
        print('FAIL', f[:600])
    total = 3 * len(cases)
    print('%d passed, %d failed' % (total - len(fails), len(fails)))
    sys.exit(1 if fails else 0)


if __name__ == '__main__':
    main()
