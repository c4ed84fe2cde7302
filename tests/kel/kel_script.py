# kel_script: runs generated Kel source for the model tests beside it, and
# keeps their score. The source goes to a temporary file, `kel` runs it in
# text mode with no display in its environment (as the Kel suite runs), and
# the process comes back; a Tally counts the cases a test program runs and
# prints its failures and the closing count every program ends with.
import os
import subprocess
import tempfile

# The prelude of an expression table: `emit [expr]` prints the molded value,
# or "!" and the error's id when the expression raises.
EMIT_PRELUDE = [
    "emit: func [code /local r] [r: try code print either error! = type? :r [join-id r] [mold :r]]",
    'join-id: func [e] [append copy "!" form e/id]',
]


def text_mode_env(extra_env=None):
    """The environment `kel` runs in: this one without a display, so the
    console stays in text mode, plus the variables of `extra_env`."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(extra_env or {})
    return env


def run(kel, lines, timeout=600, extra_env=None, stdin=None):
    """Runs the script made of `lines` (its header included) and answers the
    finished process, output captured as text. `extra_env` adds variables to
    the environment (TZ, for one); `stdin`, a text, is the standard input
    (without it the script shares this process's)."""
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    try:
        return subprocess.run([kel, f.name], input=stdin, capture_output=True, text=True,
                              env=text_mode_env(extra_env), timeout=timeout)
    finally:
        os.unlink(f.name)


class Tally:
    """The score of one test program: every case counted as it runs, the
    report of every failure kept; `close` prints them all and the closing
    "N passed, N failed" line and answers the exit status."""

    def __init__(self):
        self.ran = 0
        self.failures = []

    def count(self):
        self.ran += 1

    def fail(self, report):
        self.failures.append(report)

    def expect(self, name, p, want, got=None):
        """Counts the case `name`, run as the finished process `p`: it passes
        when `p` exited 0 and its output (`got`, else its standard output)
        equals `want`, a text, or satisfies it, a predicate."""
        self.count()
        got = p.stdout if got is None else got
        ok = want(got) if callable(want) else got == want
        if not ok or p.returncode != 0:
            self.fail("%s (exit %d)\n--- got:\n%s--- expected:\n%s--- stderr:\n%s" % (
                name, p.returncode, got, "(a predicate)\n" if callable(want) else want, p.stderr))

    def close(self):
        for f in self.failures:
            print("FAIL " + f)
        print("%d passed, %d failed" % (self.ran - len(self.failures), len(self.failures)))
        return 1 if self.failures else 0


def emit_table(kel, table, same=lambda got, want: got == want, shown=30):
    """Runs every expression of `table` ((expr, wanted line) pairs) through
    `emit`, prints each mismatch (the first `shown`) and a closing count, and
    answers the number of failures; a missing or extra line is one more."""
    p = run(kel, ["Kel []"] + EMIT_PRELUDE + ["emit [%s]" % expr for expr, _ in table])
    failed = compare_lines(p, table, same, shown)
    print("%d cases, %d failed" % (len(table), failed))
    return failed


def compare_lines(p, table, same=lambda got, want: got == want, shown=30):
    """Compares the lines the finished process `p` printed, one a case, with
    the wanted lines of `table` ((what the case is, wanted line) pairs),
    prints each mismatch (the first `shown`) and answers the number of
    failures; a missing or extra line is one more."""
    got = p.stdout.splitlines()
    failed = 0
    if len(got) != len(table):
        print("kel printed %d lines for %d cases (exit %d): %s" % (len(got), len(table), p.returncode,
                                                                  p.stderr.strip()[:500]))
        failed += 1
    for (what, want), line in zip(table, got):
        if not same(line, want):
            failed += 1
            if failed <= shown:
                print("FAIL %s | got: %s | expected: %s" % (what, line, want))
    return failed
