#!/usr/bin/python3
"""load-json and to-json against Python's json module. Random documents
(nesting, numbers with exponents, every escape written in several ways,
non-ASCII text, keys with blanks and digits) are read by `load-json` and
written back: json.loads of what `to-json` writes must equal json.loads of
the document; `to-json/ascii` must equal json.dumps(..., ensure_ascii=True)
(with upper-case \\u digits) for documents without fractions, whose text is
the same in both (but for DEL, which only json.dumps escapes). Invalid documents that json.loads refuses must give the
"Invalid JSON string." error with the line where the reading stopped. Floats
that the display options would round, and non-finite ones, must be written
so that json.loads reads the same value (null for the non-finite).

usage: json_model.py KEL_BINARY"""
import json
import math
import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kel_script  # noqa: E402

FAILS = []
CHARS = ['a', 'Z', ' ', '"', '\\', '/', '\b', '\f', '\n', '\r', '\t', '\x01', '\x1f', '\x7f', 'é', 'ß', '中',
         '\U0001F600', '\u00a0', '\u2028', "'", '1']
KEY_PARTS = ['a', 'b', 'key', 'x1', 'a b', '1st', "'q", 'é', 'with space', '-', 'n_2', 'c:d', 'k%']


def write_string(rng, s):
    out = ['"']
    for ch in s:
        cp = ord(ch)
        short = {'"': '\\"', '\\': '\\\\', '\b': '\\b', '\f': '\\f', '\n': '\\n', '\r': '\\r', '\t': '\\t'}
        way = rng.random()
        if ch in short and (cp < 0x20 or ch in '"\\' or way < 0.5):
            out.append(short[ch])
        elif ch == '/' and way < 0.5:
            out.append('\\/')
        elif cp < 0x20 or way < 0.3:
            if cp > 0xFFFF:
                v = cp - 0x10000
                pair = '\\u%04x\\u%04x' % (0xD800 + (v >> 10), 0xDC00 + (v & 1023))
                out.append(pair.upper().replace('\\U', '\\u') if way < 0.15 else pair)
            else:
                esc = '\\u%04x' % cp
                out.append(esc.upper().replace('\\U', '\\u') if way < 0.15 else esc)
        else:
            out.append(ch)
    out.append('"')
    return ''.join(out)


def write_number(rng, fractions):
    if not fractions or rng.random() < 0.5:
        return str(rng.choice([0, 1, -1, 7, 42, -999, 2147483647, -2147483648, rng.randint(-10**6, 10**6)]))
    mant = rng.choice(['0', '1', '12', '-3', '-0', '123456789'])
    frac = rng.choice(['', '.5', '.25', '.000001', '.1'])
    exp = rng.choice(['', 'e3', 'E+2', 'e-20', 'E-7', 'e0', 'e300', 'e-300'])
    if not frac and not exp:
        frac = '.5'
    return mant + frac + exp


def ws(rng):
    return rng.choice(['', '', ' ', '\n', '  \n\t', '\t'])


def write_value(rng, depth, fractions):
    kind = rng.random()
    if depth > 4 or kind < 0.35:
        leaf = rng.random()
        if leaf < 0.3:
            return write_number(rng, fractions)
        if leaf < 0.4:
            return rng.choice(['true', 'false', 'null'])
        return write_string(rng, ''.join(rng.choice(CHARS) for _ in range(rng.randint(0, 8))))
    if kind < 0.7:
        items = [write_value(rng, depth + 1, fractions) for _ in range(rng.randint(0, 4))]
        return '[' + ws(rng) + (ws(rng) + ',' + ws(rng)).join(items) + ws(rng) + ']'
    keys = rng.sample(KEY_PARTS, rng.randint(0, 4))
    props = [ws(rng) + write_string(rng, k) + ws(rng) + ':' + ws(rng) + write_value(rng, depth + 1, fractions)
             for k in keys]
    return '{' + ws(rng) + ','.join(props) + ws(rng) + '}'


def upper_escapes(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == '\\':
            if text[i + 1] == 'u':
                out.append('\\u' + text[i + 2:i + 6].upper())
                i += 6
                continue
            out.append(text[i:i + 2])
            i += 2
            continue
        out.append(text[i])
        i += 1
    return ''.join(out)


def same(a, b):
    """Equality with numbers compared by value (1 and 1.0 alike)."""
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


# (document, line where the reading stops); json.loads refuses each.
INVALID = [
    ('[01]', 1), ('{"a": 1,\n "b": 2,\n}', 3), ('[1,\n2,\n]', 3), ('[true, nul]', 1), ('bare', 1),
    ('["unclosed\n', 1), ('{\n"a":\t"raw\ttab"}', 2), ('\n\n[1 2]', 3), ('[1]\n\n x', 3), ('{"a" 1}', 1),
    ('[.5]', 1), ('[1.]', 1), ('[+1]', 1), ('{a: 1}', 1), ("['a']", 1), ('[1e]', 1), ('', 1),
    ('["\\x"]', 1),
]
# A carriage return outside strings is no whitespace here (text read from a
# file has its CR LF already made LF), though json.loads takes it.
CR_TEXT = [('[1]\r\n', 1), ('[1,\n\r2]', 2)]


def main():
    kel = sys.argv[1]
    rng = random.Random(20260601)
    docs = []
    for i in range(300):
        fractions = i % 2 == 1
        docs.append((write_value(rng, 0, fractions), fractions))
    with tempfile.TemporaryDirectory() as tmp:
        names = []
        for i, (text, _) in enumerate(docs + [(t, False) for t, _ in INVALID + CR_TEXT]):
            name = os.path.join(tmp, 'd%04d.json' % i)
            with open(name, 'w', encoding='utf-8', newline='') as f:
                f.write(text)
            names.append(name)
        lines = ['Kel []', 'foreach f [%s] [' % ' '.join('%' + n for n in names),
                 # read as bytes, so that a carriage return reaches the decoder
                 '    v: load-json to string! read/binary f',
                 '    either error? :v [print v/arg1 print "-"] [print to-json :v print to-json/ascii :v]',
                 ']',
                 'foreach v reduce [1e-20 0.1 + 0.2 1.0 / 0.0 -1.0 / 0.0 0.0 / 0.0 123456789.123 5e-324 50%] [',
                 '    print to-json reduce [v]',
                 ']']
        p = kel_script.run(kel, lines)
    out = p.stdout.split('\n')
    if p.returncode != 0:
        FAILS.append('kel exited %d: %s' % (p.returncode, p.stderr[:500]))
    for i, (text, fractions) in enumerate(docs):
        plain, ascii_ = out[2 * i], out[2 * i + 1]
        want = json.loads(text)
        try:
            got = json.loads(plain)
        except ValueError as e:
            FAILS.append('doc %d: to-json wrote text json refuses (%s): %r' % (i, e, plain))
            continue
        if not same(got, want):
            FAILS.append('doc %d: %r read back as %r, want %r' % (i, text, got, want))
        try:
            if not same(json.loads(ascii_), want):
                FAILS.append('doc %d: to-json/ascii %r' % (i, ascii_))
        except ValueError:
            FAILS.append('doc %d: to-json/ascii wrote text json refuses: %r' % (i, ascii_))
        if any(ord(c) > 127 for c in ascii_):
            FAILS.append('doc %d: to-json/ascii wrote non-ASCII: %r' % (i, ascii_))
        if not fractions:
            # DEL is ASCII: to-json/ascii keeps it, json.dumps escapes it.
            dumped = upper_escapes(json.dumps(want, ensure_ascii=True, separators=(',', ':')))
            dumped = dumped.replace('\\u007F', '\x7f')
            if ascii_ != dumped:
                FAILS.append('doc %d: to-json/ascii %r, json.dumps %r' % (i, ascii_, dumped))
    base = 2 * len(docs)
    for j, (text, line) in enumerate(INVALID + CR_TEXT):
        try:
            json.loads(text)
            if j < len(INVALID):
                FAILS.append('fixture %r is valid JSON' % text)
        except ValueError:
            pass
        got, sep = out[base + 2 * j], out[base + 2 * j + 1]
        prefix = 'Invalid JSON string. Line: %d Index: ' % line
        if sep != '-' or not got.startswith(prefix):
            FAILS.append('invalid %r: got %r %r, want %r...' % (text, got, sep, prefix))
    base += 2 * len(INVALID + CR_TEXT)
    wanted = [1e-20, 0.1 + 0.2, None, None, None, 123456789.123, 5e-324, 0.5]
    for k, w in enumerate(wanted):
        line = out[base + k]
        try:
            got = json.loads(line)[0]
        except ValueError:
            FAILS.append('float %r written as %r, which json refuses' % (w, line))
            continue
        if got != w:
            FAILS.append('float %r written as %r' % (w, line))
    for f in FAILS[:30]:
        print('FAIL', f[:600])
    total = len(docs) * 2 + len(INVALID + CR_TEXT) + len(wanted)
    print('%d passed, %d failed' % (total - len(FAILS), len(FAILS)))
    sys.exit(1 if FAILS else 0)


if __name__ == '__main__':
    main()
