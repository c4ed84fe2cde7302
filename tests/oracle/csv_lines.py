#!/usr/bin/python3
"""load-csv against Python's csv on the line ends and quoting that
tests/kel/csv_model.py leaves out: tables written by csv.writer with every
field quoted and lines ended by CR LF, CR or LF, and with minimal quoting
and CR LF line ends (the format's own), must read back as csv.reader reads
them. Fields hold delimiters, quotes, line breaks, blanks, non-ASCII
text; the delimiter is a comma or a semicolon, the quote a double or a
single quote.

usage: csv_lines.py KEL_BINARY [SEED]"""
import csv
import io
import random
import sys

from oracle import run
from text_functions import lit, mold

PIECES = ["a", "{b", "}", "b c", ",", ";", '"', "'", "\n", "\r\n", "\r", " ", "", "é", "中文", "\U0001F600", "x\"y", "1",
          "-2.5", "  pad  ", "\t"]


def field(rng):
    return "".join(rng.choice(PIECES) for _ in range(rng.randint(0, 3)))


def cases(rng, n):
    out = []
    for _ in range(n):
        width = rng.randint(1, 4)
        rows = [[field(rng) for _ in range(width)] for _ in range(rng.randint(1, 4))]
        delim, quote = rng.choice([(",", '"'), (";", "'"), (",", "'"), (";", '"')])
        refs = ""
        if delim != ",":
            refs += "/with"
        if quote != '"':
            refs += "/quote"
        args = (" #%s" % lit(delim) if delim != "," else "") + (" #%s" % lit(quote) if quote != '"' else "")
        every = rng.random() < 0.5
        term = rng.choice(["\r\n", "\r", "\n"]) if every else "\r\n"
        buf = io.StringIO()
        for r in rows:
            one = io.StringIO()
            csv.writer(one, delimiter=delim, quotechar=quote, lineterminator=term,
                       quoting=csv.QUOTE_ALL if every else csv.QUOTE_MINIMAL).writerow(r)
            buf.write(one.getvalue())
        text = buf.getvalue()
        want = list(csv.reader(io.StringIO(text, newline=""), delimiter=delim, quotechar=quote))
        out.append(("load-csv%s %s%s" % (refs, lit(text), args),
                    "[%s]" % " ".join("[%s]" % " ".join(mold(f) for f in r) for r in want)))
    return out


def main():
    return run(cases, 1500)


if __name__ == "__main__":
    sys.exit(main())
