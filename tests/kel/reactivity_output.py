#!/usr/bin/python3
"""What the reactivity engine prints, checked as whole output text: the error
of a failing reaction with its "*** Near: " line, `dump-reactions` (numbered
records, cut to the console width, linked objects shortened, the empty
table), the `debug?` traces, and the silence of a table from which
`stop-reactor` took a face's records. Each case is one script; the text it
prints must equal the expected text, line for line.

usage: reactivity_output.py KEL_BINARY"""
import sys

from kel_script import Tally, run

# The console's width when standard output is not a terminal is 80 columns:
# the dump's line limit is 80 - 10.
LIMIT = 70

TALLY = Tally()


def case(kel, name, body, want):
    """Runs the lines of `body`; the output must equal `want` (a text) or
    satisfy it (a predicate)."""
    TALLY.expect(name, run(kel, ["Kel []"] + body), want)


def near_line(code):
    return ("*** Near: " + code)[:len("*** Near: ") + 80] + "\n"


def failing_reaction(kel):
    # The reaction's error is printed, followed by the reaction molded flat
    # and cut at 80 characters; the change that ran it goes on, and so does
    # the script.
    reaction = "[append trail z/a z/a / 0 " + " ".join("z/a + %d" % (1000000 * i) for i in range(1, 9)) + "]"
    body = [
        "trail: copy []",
        "z: reactor [a: 1]",
        "react/later " + reaction,
        "z/a: 2",
        "print [mold trail z/a]",
    ]

    def check(out):
        lines = out.splitlines(True)
        return (lines[0] == "*** Math Error: attempt to divide by zero\n"
                and lines[-2] == near_line(reaction)
                and lines[-1] == "[2] 2\n"
                and len(near_line(reaction)) == 91)
    case(kel, "failing reaction", body, check)
    # eval/safe gives none for an error, catches a stray break, and gives the
    # value otherwise; without /safe the error goes on to the caller.
    body = [
        "probe system/reactivity/eval/safe [1 / 0]",
        "probe system/reactivity/eval/safe [break]",
        "probe system/reactivity/eval/safe [1 + 2]",
        "probe error? try [system/reactivity/eval [1 / 0]]",
    ]

    def check_safe(out):
        lines = out.splitlines(True)
        return (lines.count("none\n") == 2 and near_line("[1 / 0]") in lines
                and near_line("[break]") in lines and lines[-2:] == ["3\n", "true\n"])
    case(kel, "eval/safe", body, check_safe)


def dumps(kel):
    case(kel, "empty table", ["dump-reactions"], "-- no reactions --\n")
    body = [
        "r: reactor [a: 1 b: 0]",
        "react [r/b: r/a * 2]",
        "q: reactor [x: 1 relate y: [x + 1]]",
        "dump-reactions",
    ]
    want = ("1:---\n"
            "  Source: object [a b]\n"
            "   Field: a\n"
            "  Action: [r/b: r/a * 2]\n"
            "2:---\n"
            "  Source: object [x y]\n"
            "   Field: x\n"
            "  Action: [x + 1]\n"
            "  Target: y\n")
    case(kel, "two relations", body, want)
    # A linked call: its objects shown as "object [...]", each line cut.
    fields = " ".join("field%02d: %d" % (i, i) for i in range(1, 16))
    words = "[" + " ".join("field%02d" % i for i in range(1, 16)) + "]"
    body = [
        "a: reactor [%s]" % fields,
        "b: reactor [y: 2]",
        "f: func [p q] [p/field01 + q/y + 1000000 + 2000000 + 3000000 + 4000000 + 5000000 + 6000000]",
        "react/link/later :f [a b]",
        "dump-reactions",
    ]
    action = "func [p q] [p/field01 + q/y + 1000000 + 2000000 + 3000000 + 4000000 + 5000000 + 6000000]"
    args = "[make object! [%s] make object! [y: 2]]" % fields
    source = "  Source: object " + words[:LIMIT - 5] + "\n"
    link_lines = ("   Field: %s\n" "  Action: " + action.replace("func [p q] [", "func [p q][")[:LIMIT] + "\n"
                  "    Args: " + args[:LIMIT].replace("make object!", "object") + "\n")
    want = "1:---\n" + source + link_lines % "field01" + "2:---\n  Source: object [y]\n" + link_lines % "y"
    case(kel, "linked relation", body, want)


def traces(kel):
    body = [
        "r: reactor [a: 1]",
        "d: deep-reactor [s: \"x\"]",
        "system/reactivity/debug?: true",
        "r/a: 5",
        "d/s: 7",
        "stop-reactor r",
        "clear-reactions",
        "system/reactivity/debug?: false",
        "r/a: 6",
    ]
    want = ("-- on-change event -- \n\tword : a \n\told  : integer \n\tnew  : integer\n"
            "-- on-change event -- \n\tword : s \n\told  : string \n\tnew  : integer\n"
            "-- reactivity: stopping, face: object /deep: false\n"
            "-- reactivity: clear all\n")
    case(kel, "debug traces", body, want)


def stopped(kel):
    # A linked relation whose face was stopped: the next change of the other
    # object prints no error (the function would get its objects shifted).
    body = [
        "a: reactor [x: 1] b: reactor [y: 2]",
        "f: func [p q] [p/x + q/y]",
        "react/link :f [a b]",
        "stop-reactor a",
        "b/y: 5",
        "dump-reactions",
    ]
    case(kel, "stopped link", body, "-- no reactions --\n")
    # A reaction evaluated for a face given with /with goes with the face.
    body = [
        "trail: copy []",
        "r: reactor [a: 1]",
        "o: context [v: 0]",
        "react/later/with [append trail r/a] o",
        "stop-reactor o",
        "r/a: 2",
        "probe trail",
        "dump-reactions",
    ]
    case(kel, "stopped target", body, "[]\n-- no reactions --\n")


def main():
    kel = sys.argv[1]
    failing_reaction(kel)
    dumps(kel)
    traces(kel)
    stopped(kel)
    sys.exit(TALLY.close())


if __name__ == "__main__":
    main()
