# oracle: the shared runner of the differential tests in this folder. Each
# driver builds a table of (Kel expression, molded result) rows from a seeded
# generator and an independent Python computation; one `kel` process per
# batch evaluates every row through `emit` (tests/kel/kel_script.py), and the
# printed lines are compared with the table. The closing "N passed, N failed"
# line and the exit status are what CTest reads.
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kel"))

import kel_script  # noqa: E402

BATCH = 4000


def same_mold(got, want):
    """Equal lines, a string molded in braces (long or with quotes inside)
    counting as the same text in quotes."""
    if got == want:
        return True
    return (got.startswith("{") and got.endswith("}") and want.startswith('"') and want.endswith('"')
            and "^" not in got and got[1:-1] == want[1:-1])


def check(kel, table, same=same_mold, shown=40):
    """Runs `table` in batches of BATCH rows, one process each, prints every
    mismatch (the first `shown`) and the closing count; answers the exit
    status."""
    failed = 0
    for start in range(0, len(table), BATCH):
        part = table[start:start + BATCH]
        p = kel_script.run(kel, ["Kel []"] + kel_script.EMIT_PRELUDE + ["emit [%s]" % e for e, _ in part])
        failed += kel_script.compare_lines(p, part, same, shown)
    print("%d passed, %d failed" % (len(table) - min(failed, len(table)), failed))
    return 1 if failed else 0


def run(cases, count):
    """A driver's command line, KEL [SEED]: the rows cases(rng, count) makes
    from that seed (a fixed one by default), checked; answers the exit
    status."""
    kel = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 20261211
    return check(kel, cases(random.Random(seed), count))
