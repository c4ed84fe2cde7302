#!/usr/bin/python3
"""The tracers as a person meets them: `trace` and its modes on whole
scripts, whose output must equal the expected text. Every script fixes the
line width at 80 (`fixed-width`), so a value line is 79 characters: the
expression from the indentation column, " => " at column 36 (80 - 7 = 73,
half of it) and the value. Each case runs in a fresh process, since the last
header shown is kept from run to run.

usage: tools_trace.py KEL_BINARY"""
import sys

from kel_script import Tally, run

TALLY = Tally()
FULL = 80
LEFT = 36


def value_line(expr, value, indent=2):
    return (" " * indent + expr)[:LEFT].ljust(LEFT) + (" => " + value).ljust(FULL - 1 - LEFT) + "\n"


def header_line(text, indent):
    line = "  " + "`" * (FULL - 3)
    return line[:indent] + text + line[indent + len(text):] + "\n"


def case(kel, name, body, want):
    """Runs the lines of `body` at the fixed width; the output must equal
    `want` (a text) or satisfy it (a predicate)."""
    TALLY.expect(name, run(kel, ["Kel []", "system/tools/tracers/inspector/fixed-width: %d" % FULL] + body), want)


def main():
    kel = sys.argv[1]
    # One expression, one value line, no header at the top level.
    case(kel, "one expression", ["trace [1 + 2]"], value_line("1 + 2", "3"))
    case(kel, "three expressions", ["x: 2", "trace [x * 3 print 'hi x]"],
         value_line("x * 3", "6") + "hi\n" + value_line("print 'hi", "unset") + value_line("x", "2"))
    # /deep: the body of a called function is shown under a header naming the call.
    case(kel, "deep", ["g: func [x] [x + 1]", "trace/deep [g 5]"],
         header_line("G 5", 4) + value_line("x + 1", "6", 4) + header_line("", 4) + value_line("g 5", "6"))
    # Without /deep the function's body stays out of the trace.
    case(kel, "not deep", ["g: func [x] [x + 1]", "trace [g 5]"], value_line("g 5", "6"))
    # /all: sub-expressions and pushed words, not the words of constants.
    case(kel, "all", ["x: 5", "trace/all [a: x + 2 b: true c: none d: a]"],
         value_line("x", "5") + value_line("5 + 2", "7") + value_line("a", "7"))
    # /raw: every event, upper-cased, with its offset, ref, value and frame.
    case(kel, "raw", ["trace/raw [x: 1]"], lambda out: [l.split(" ")[0] for l in out.splitlines()] == [
        "INIT", "ENTER", "FETCH", "PUSH", "FETCH", "PUSH", "SET", "EXPR", "EXIT", "END"] and
        out.splitlines()[6].startswith("SET 2 x: 1 "))
    case(kel, "raw cuts values", ["trace/raw [x: \"%s\"]" % ("a" * 60)],
         lambda out: any(l.startswith("PUSH 1 none {aaaaaaaaaaaaaaaaaaaaaaaaa...} ") for l in out.splitlines()))
    # emit looked up for every line: a replacement takes effect at once.
    case(kel, "emit replaced", ["lines: copy []", "system/tools/tracers/emit: func [s] [append lines s]",
                                "trace [1 + 2 3 * 4 print 'hi]", "system/tools/tracers/emit: :print",
                                "print length? lines"], "hi\n3\n")
    # Eleven levels deep, the indentation wraps to 2 columns again.
    def wraps(out):
        indents = [len(l) - len(l.lstrip(" ")) for l in out.splitlines() if " => " in l]
        return max(indents) == 20 and indents[-1] == 2 and 2 in indents[:-1] and all(
            i % 2 == 0 and 2 <= i <= 20 for i in indents)
    case(kel, "indentation wraps", ["r: func [n] [either n = 0 [n] [r n - 1]]", "trace/deep [r 11]"], wraps)
    # Tracing inside traced code does nothing; outside a tracer, true leaves tracing off.
    case(kel, "nested trace", ["trace [trace [1] 2]"], value_line("trace [1]", "unset") + value_line("2", "2"))
    case(kel, "logic", ["trace true", "print tracing?"], "false\n")
    return TALLY.close()


if __name__ == "__main__":
    sys.exit(main())
