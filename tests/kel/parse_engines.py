#!/usr/bin/python3
"""The compiled rule blocks of the parse engine against its general machine.
Random rules (literals, charsets, words whose values a paren changes,
repetitions and counts of literals and of sub-blocks, to/thru, copy, set,
keep inside collect, set-words, parens, alternatives) are run over string,
binary and block inputs twice: plainly, where simple blocks run compiled, and
with a trace callback that answers true, which keeps every block in the
general machine. The result (or error id), the words the rules set, the
input afterwards and a counter the parens raise must be the same.

usage: parse_engines.py KEL_BINARY"""
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kel_script  # noqa: E402

SIMPLE = ['"a"', '"b"', '#"a"', '#"B"', 'c', 'nc', 'w', '"ab"']
ATOMS = SIMPLE + ['skip', 'end', 'none', 'p:', '(n: n + 1)', '(w: "b")', '(w: c)', '(w: [skip])']
INPUTS = ['"abab"', '"aAbB ab"', '"a中b😀a"', '#{616261}', '[a b "a" 1]', '"ba,ab"', '""']


def item(rng, d):
    r = rng.random()
    if r < 0.35 or d > 3:
        return rng.choice(ATOMS)
    if r < 0.5:
        rule = rng.choice(SIMPLE) if rng.random() < 0.6 else block(rng, d + 1)
        return rng.choice(['any', 'some', 'opt']) + ' ' + rule
    if r < 0.6:
        return rng.choice(['to', 'thru']) + ' ' + rng.choice(['"a"', 'c', 'nc', '#"b"', 'end', 'w'])
    if r < 0.7:
        return 'copy x ' + item(rng, d + 1)
    if r < 0.75:
        return 'set y ' + item(rng, d + 1)
    if r < 0.82:
        return 'keep ' + item(rng, d + 1)
    if r < 0.88:
        rule = rng.choice(SIMPLE) if rng.random() < 0.5 else block(rng, d + 1)
        return '%d %s' % (rng.randint(1, 2), rule)
    if r < 0.95:
        return block(rng, d + 1)
    return 'fail'


def block(rng, d):
    alts = [' '.join(item(rng, d) for _ in range(rng.randint(0, 3))) for _ in range(rng.randint(1, 3))]
    return '[' + ' | '.join(alts) + ']'


def main():
    kel = sys.argv[1]
    rng = random.Random(20261210)
    lines = ['Kel []',
             'cb: func [e m r i s] [true]',
             'run: func [input rules traced /local r] [',
             '    n: 0 w: "a" x: y: p: none c: charset "aA" nc: complement charset "b"',
             '    input: copy input rules: copy/deep rules',
             '    r: try [either traced [parse/trace input rules :cb] [parse input rules]]',
             '    mold/flat reduce [either error? r [r/id] [:r] n w x y either p [index? p] [none] input]',
             ']']
    cases = []
    for _ in range(3000):
        rules = block(rng, 0)
        if rng.random() < 0.4:
            rules = '[collect %s]' % rules
        cases.append((rng.choice(INPUTS), rules))
    for i, (inp, rules) in enumerate(cases):
        lines.append('a: run %s [%s] false b: run %s [%s] true print either a == b ["same"] [rejoin [%d " " a " / " b]]'
                     % (inp, rules, inp, rules, i))
    p = kel_script.run(kel, lines)
    tally = kel_script.Tally()
    out = p.stdout.split('\n')
    if p.returncode != 0:
        tally.fail('kel exited %d: %s' % (p.returncode, p.stderr[:500]))
    for i, (inp, rules) in enumerate(cases):
        tally.count()
        got = out[i] if i < len(out) else '(no line)'
        if got != 'same':
            tally.fail('parse %s [%s]: %s' % (inp, rules, got))
    sys.exit(tally.close())


if __name__ == '__main__':
    main()
