# kel_script: runs generated Kel source for the model tests beside it. The
# source goes to a temporary file, `kel` runs it in text mode with no display
# in its environment (as the Kel suite runs), and the process comes back.
import os
import subprocess
import tempfile

# The prelude of an expression table: `emit [expr]` prints the molded value,
# or "!" and the error's id when the expression raises.
EMIT_PRELUDE = [
    "emit: func [code /local r] [r: try code print either error! = type? :r [join-id r] [mold :r]]",
    'join-id: func [e] [append copy "!" form e/id]',
]


def run(kel, lines, timeout=600, extra_env=None):
    """Runs the script made of `lines` (its header included) and answers the
    finished process, output captured as text. `extra_env` adds variables to
    the environment (TZ, for one)."""
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(extra_env or {})
    try:
        return subprocess.run([kel, f.name], capture_output=True, text=True, env=env, timeout=timeout)
    finally:
        os.unlink(f.name)


def emit_table(kel, table, same=lambda got, want: got == want, shown=30):
    """Runs every expression of `table` ((expr, wanted line) pairs) through
    `emit`, prints each mismatch (the first `shown`) and a closing count, and
    answers the number of failures; a missing or extra line is one more."""
    p = run(kel, ["Kel []"] + EMIT_PRELUDE + ["emit [%s]" % expr for expr, _ in table])
    got = p.stdout.splitlines()
    failed = 0
    if len(got) != len(table):
        print("kel printed %d lines for %d cases (exit %d): %s" % (len(got), len(table), p.returncode,
                                                                  p.stderr.strip()[:500]))
        failed += 1
    for (expr, want), line in zip(table, got):
        if not same(line, want):
            failed += 1
            if failed <= shown:
                print("FAIL %s | got: %s | expected: %s" % (expr, line, want))
    print("%d cases, %d failed" % (len(table), failed))
    return failed
