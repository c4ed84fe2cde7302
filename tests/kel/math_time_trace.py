#!/usr/bin/python3
"""What the math, time and tracing functions of the library print and give,
checked against Python where Python knows the answer: atan2 against
math.atan2 (within one unit in the last place), to-local-date and
to-UTC-date under TZ=Asia/Kathmandu against datetime with zoneinfo for the
same instant, the lines of clock (its timer replaced by one that answers
fixed times, and once for real against a pattern), the memory report of
show-memory-stats for given report blocks, and the lines of parse-trace and
transcode-trace.

usage: math_time_trace.py KEL_BINARY"""
import math
import re
import struct
import sys
from datetime import datetime, timedelta, timezone
from zoneinfo import ZoneInfo

from kel_script import Tally, run

TALLY = Tally()
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def case(kel, name, body, want, env=None):
    """Runs the lines of `body`; the output must equal `want` (a text) or
    satisfy it (a predicate)."""
    TALLY.expect(name, run(kel, ["Kel []"] + body, extra_env=env), want)


def ulps(a, b):
    ia = struct.unpack("<q", struct.pack("<d", a))[0]
    ib = struct.unpack("<q", struct.pack("<d", b))[0]
    return abs(ia - ib)


def atan2_cases(kel):
    pairs = [(1, 1), (1, 0), (0, 1), (-1, -1), (0, -1), (3, -4), (-2.5, 0.5), (1e-300, 1.0), (7, 1e10),
             (0.1, 0.2), (-1e5, 3)]
    TALLY.count()
    p = run(kel, ["Kel []"] + ["print mold atan2 %r %r" % (y, x) for y, x in pairs])
    got = p.stdout.splitlines()
    if len(got) != len(pairs):
        TALLY.fail("atan2: %d lines for %d pairs: %s %s" % (len(got), len(pairs), got, p.stderr))
        return
    for (y, x), line in zip(pairs, got):
        want = math.atan2(y, x)
        if ulps(float(line), want) > 1:
            TALLY.fail("atan2 %r %r: got %s, expected %r" % (y, x, line, want))


def kel_date(d):
    text = "%d-%s-%d/%d:%02d:%02d" % (d.day, MONTHS[d.month - 1], d.year, d.hour, d.minute, d.second)
    off = d.utcoffset()
    if off:
        minutes = int(off.total_seconds()) // 60
        text += "%s%02d:%02d" % ("+" if minutes > 0 else "-", abs(minutes) // 60, abs(minutes) % 60)
    return text


def date_cases(kel):
    zone = ZoneInfo("Asia/Kathmandu")
    instants = [datetime(2020, 1, 1, 10, 0, tzinfo=timezone.utc), datetime(2019, 12, 31, 20, 0, tzinfo=timezone.utc),
                datetime(2024, 2, 29, 18, 14, 59, tzinfo=timezone.utc),
                datetime(2001, 6, 30, 23, 59, 1, tzinfo=timezone(timedelta(hours=-7)))]
    body = ["print mold now/zone"]
    want = "5:45:00\n"
    for t in instants:
        local = t.astimezone(zone)
        # given in its own zone: to the local zone, and back to universal time
        body.append("print mold to-local-date %s" % kel_date(t))
        want += kel_date(local) + "\n"
        body.append("print mold to-UTC-date %s" % kel_date(local))
        want += kel_date(t.astimezone(timezone.utc)) + "\n"
    # the caller's date is not changed
    body.append("d: 1-Jan-2020/10:00:00 to-local-date d to-UTC-date d print mold d")
    want += "1-Jan-2020/10:00:00\n"
    case(kel, "dates under TZ=Asia/Kathmandu", body, want, env={"TZ": "Asia/Kathmandu"})


def clock_cases(kel):
    # The timer is the word time-it: a script's own answers fixed times.
    fixed = [("0:00:00.0123456", "12.3 ms"), ("0:00:00.0005", "500 μs"), ("0:00:00.0000005", "0.5 μs"),
             ("0:00:01.2345", "1234 ms"), ("0:00:00.123", "123 ms"), ("0:00:00.001", "1.0 ms"),
             ("0:00:12.5", "12500 ms")]
    body, want = [], ""
    for t, shown in fixed:
        body.append("time-it: func [b] [do b %s] print mold clock [x: 1]" % t)
        want += shown + "\t[x: 1]\n1\n"
    # per repetition: 10 runs in 5 ms; a block molded flat and cut to 70
    body.append("time-it: func [b] [do b 0:00:00.005] n: 0 clock/times [n: n + 1] 10 print n")
    want += "500 μs\t[n: n + 1]\n10\n"
    long_block = "[" + " ".join("x%d:" % i for i in range(40)) + " 1]"
    body.append("time-it: func [b] [do b 0:00:00.005] print mold clock %s" % long_block)
    want += "5.0 ms\t" + long_block[:70] + "\n1\n"
    body.append("time-it: func [b] [do b 0:00:00.005] print mold clock [\n    a: 1\n    b: 2\n]")
    want += "5.0 ms\t[a: 1 b: 2]\n2\n"
    # /times 0 (and a negative count) runs once; an unset value comes back unset
    body.append("time-it: func [b] [do b 0:00:00.002] n: 0 clock/times [n: n + 1] 0 print n")
    want += "2.0 ms\t[n: n + 1]\n1\n"
    body.append("time-it: func [b] [do b 0:00:00.002] n: 0 clock/times [n: n + 1] -3 print n")
    want += "2.0 ms\t[n: n + 1]\n1\n"
    body.append("time-it: func [b] [do b 0:00:00.002] print unset? clock []")
    want += "2.0 ms\t[]\ntrue\n"
    case(kel, "clock with fixed times", body, want)
    line = re.compile(r"^\d+(\.\d+)? (ms|μs)\t\[loop 100 \[x: 1\] 3\]\n3\n$")
    case(kel, "clock", ["print clock [loop 100 [x: 1] 3]"], lambda out: line.match(out) is not None)


HEAD = "[ %s ] -- Free ----- Used ----- Total --\n"


def memory_cases(kel):
    empty = ("\n" + HEAD % "Nodes " + "               -           -            -\n"
             "  --\n  Used     : 0 nodes\n  Allocated: 0 nodes\n"
             "\n" + HEAD % "Series" + "               -           -            -\n"
             "  --\n  Used     : 0 bytes\n  Allocated: 0 bytes\n"
             "\n[ Big    ]\n  --\n  Allocated: 0 bytes\n--\n"
             "Total allocated from OS (virtual):         0\n"
             "Total allocated on heap (malloc):         0\n")
    case(kel, "memory report, no frames", ["show-memory-stats [[] [] [] 0 0]"], empty)
    two = ("\n" + HEAD % "Nodes " +
           "  1:             1           2            3\n"
           "  2:         10000     2000000     12345678\n"
           "  --\n  Used     : 2000002 nodes\n  Allocated: 12345681 nodes\n"
           "\n" + HEAD % "Series" +
           "  1:             4           5            9\n"
           "  --\n  Used     : 5 bytes\n  Allocated: 9 bytes\n"
           "\n[ Big    ]\n"
           "  1:           100\n"
           "  2:       2000000\n"
           "  --\n  Allocated: 2000100 bytes\n--\n"
           "Total allocated from OS (virtual):    123456\n"
           "Total allocated on heap (malloc):       789\n")
    case(kel, "memory report, two frames",
         ["show-memory-stats [[[1 2 3] [10000 2000000 12345678]] [[4 5 9]] [100 2000000] 123456 789]"], two)
    # stats/show prints the runtime's own report through it
    case(kel, "stats/show", ["stats/show"],
         lambda out: out.startswith("\n" + HEAD % "Nodes " + "  1: ") and "\n" + HEAD % "Series" in out
         and "\nTotal allocated on heap (malloc): " in out)


def trace_cases(kel):
    want = (" -->\n"
            "   input: \"ab\" \n"
            "   match: [some \"a\" \"b\"]   \n"
            "   -->\n"
            "     ==> matched\n"
            "   <--\n"
            "   input: \"b\" \n"
            "   match: [\"b\"]   \n"
            "   ==> matched\n"
            " <--\n"
            "return: true\n"
            "true\n")
    case(kel, "parse-trace", ["print mold parse-trace \"ab\" [some \"a\" \"b\"]"], want)
    # every run starts from no indentation, even after a run that stopped inside a rule
    case(kel, "parse-trace again",
         ["try [parse-trace \"ab\" [[[\"a\" (1 / 0)]]]]", "print mold parse-trace \"ab\" [some \"a\" \"b\"]"],
         lambda out: out.endswith("\n" + want) and "\n     -->" in out)
    # /case and /part reach parse
    case(kel, "parse-trace refinements",
         ["x: parse-trace/case \"A\" [\"a\"]", "y: parse-trace/part \"ab\" [\"a\"] 1",
          "z: parse-trace/case/part \"aB\" [\"a\" \"B\"] 2", "print mold reduce [x y z]"],
         lambda out: out.endswith("[false true true]\n"))
    want = ("PRESCAN  word!        1x2          1    \" [b]\"\n"
            "SCAN     word!        1x2          1    \" [b]\"\n"
            "LOAD     word!        a            1    \" [b]\"\n"
            "PRESCAN  block!       3x3          1    \"[b]\"\n"
            "OPEN     block!       3x4          1    \"[b]\"\n"
            "PRESCAN  word!        4x5          1    \"]\"\n"
            "SCAN     word!        4x5          1    \"]\"\n"
            "LOAD     word!        b            1    \"]\"\n"
            "PRESCAN  block!       5x5          1    \"]\"\n"
            "CLOSE    block!       3x6          1    \"\"\n"
            "PRESCAN  eof          6x6          1    \"\"\n"
            "[a [b]]\n")
    case(kel, "transcode-trace", ["print mold transcode-trace \"a [b]\""], want)


def main():
    kel = sys.argv[1]
    atan2_cases(kel)
    date_cases(kel)
    clock_cases(kel)
    memory_cases(kel)
    trace_cases(kel)
    sys.exit(TALLY.close())


if __name__ == "__main__":
    main()
