#!/usr/bin/python3
"""The debugger and the profiler as a person meets them: whole scripts whose
output must equal the expected text. The debugger's commands are read from
standard input, as a scripted debugging run would feed them; where the
console does not provide `ask` and `halt` yet, the prelude stands in for them
with the console's behaviour (the prompt printed, a line read, none at the
end of the input; `halt` thrown to the console's catch point). Profiler
durations vary from run to run and are masked.

usage: tools_debug.py KEL_BINARY"""
import os
import re
import sys
import tempfile

from kel_script import Tally, run as run_script

PRELUDE = [
    "Kel []",
    "unless value? 'ask [",
    "    stdin-lines: read/lines %/dev/stdin",
    "    ask: func [prompt] [prin prompt either empty? stdin-lines [none] [take stdin-lines]]",
    "]",
    "unless value? 'halt [halt: does [throw/name 'halt-request 'console]]",
    "run-halting: func [code] [if 'halt-request == catch/name code 'console [print \"(halted)\"]]",
]

TALLY = Tally()


def run(kel, body, stdin="", prelude=PRELUDE):
    return run_script(kel, prelude + body, timeout=120, stdin=stdin)


def case(kel, name, body, want, stdin="", mask=None, prelude=PRELUDE):
    p = run(kel, body, stdin, prelude)
    TALLY.expect(name, p, want, got=None if mask is None else mask(p.stdout))


def durations(text):
    return re.sub(r"\| (\S+) *$", "| T", text, flags=re.M)


USAGE = "".join("\t%s\n" % line for line in [
    "`help` or `?`: print a list of debugger's commands.",
    "`next` or `n` or just ENTER: evaluate next value.",
    "`continue` or `c`: exit debugging console but continue evaluation.",
    "`quit` or `q`: exit debugger and stop evaluation.",
    "`stack` or `s`: display the current calls and expression stack.",
    "`parents` or `p`: display the parents call stack.",
    "`:word`: outputs the value of `word`. If it is a `function!`, outputs the local context.",
    "`:a/b/c`: outputs the value of `a/b/c` path.",
    "`watch <word1> <word2>...`: watch one or more words. `w` can be used as shortcut for `watch`.",
    "`-watch <word1> <word2>...`: stop watching one or more words. `-w` can be used as shortcut for `-watch`.",
    "`+stack`  or `+s`: outputs expression stack on each new event.",
    "`-stack`  or `-s`: do not output expression stack on each new event.",
    "`+locals` or `+l`: output local context for each entry in the callstack.",
    "`-locals` or `-l`: do not output local context for each entry in the callstack.",
    "`+indent` or `+i`: indent the output of the expression stack.",
    "`-indent` or `-i`: do not indent the output of the expression stack.",
]) + "\t"

X = "debug [x: 1 + 2 print x]"


def debugger_cases(kel):
    # Enter and `n` step, `:x` shows the variable once set, `c` runs to the end.
    case(kel, "stepping", ["system/tools/options/debug/show-stack?: false", X], "".join([
        "-----> EVAL x:\nInput: x: 1 + 2 print x\ndebug> ",
        "-----> PUSH x:\nInput: x: 1 + 2 print x\ndebug> ",
        "-----> EVAL 1\nInput: 1 + 2 print x\ndebug> ",
        "-----> PUSH 1\nInput: 1 + 2 print x\ndebug> ",
        "-----> EVAL +\nInput: + 2 print x\ndebug> ",
        "-----> OPEN +\nInput: 2 print x\ndebug> ",
        "-----> EVAL 2\nInput: 2 print x\ndebug> ",
        "-----> PUSH 2\nInput: 2 print x\ndebug> ",
        "-----> CALL + (op!)\nInput: print x\ndebug> ",
        "-----> RETURN 3\nInput: print x\ndebug> ",
        "-----> SET x 3\nInput: print x\ndebug> == unset\ndebug> ",
        "-----> EVAL print\nInput: print x\ndebug> == 3\ndebug> ",
        "3\n",
    ]), stdin="\nn\n\n\nn\n\n\n\n\n\n:x\n\n:x\nc\n")
    # The stack display: on by default, switched off and on at the prompt,
    # and back to its old value once `debug` returns.
    case(kel, "stack switch", [X, "print system/tools/options/debug/show-stack?"], "".join([
        "-----> EVAL x:\nInput: x: 1 + 2 print x\n\n-empty stack-\ndebug> debug> ",
        "-----> PUSH x:\nInput: x: 1 + 2 print x\ndebug> debug> ",
        "-----> EVAL 1\nInput: 1 + 2 print x\n\nStack: x:\n\ndebug> ",
        "3\ntrue\n",
    ]), stdin="-s\n\n+s\n\nc\n")
    # Watched words are shown at each stop until they are dropped.
    case(kel, "watch", ["system/tools/options/debug/show-stack?: false", "x: 0", X], "".join([
        "-----> EVAL x:\nInput: x: 1 + 2 print x\ndebug> debug> ",
        "-----> PUSH x:\nInput: x: 1 + 2 print x\nWatch: x: 0\ndebug> debug> ",
        "-----> EVAL 1\nInput: 1 + 2 print x\ndebug> ",
        "3\n",
    ]), stdin="w x\n\n-w x\n\nc\n")
    case(kel, "help and unknown", ["system/tools/options/debug/show-stack?: false", X],
         "-----> EVAL x:\nInput: x: 1 + 2 print x\ndebug> " + USAGE + "\ndebug> Unknown command!\ndebug> 3\n",
         stdin="?\nfrob\nc\n")
    case(kel, "quit", ["system/tools/options/debug/show-stack?: false", "run-halting [%s print 'after]" % X,
                       "print 'next"],
         "-----> EVAL x:\nInput: x: 1 + 2 print x\ndebug> (halted)\nnext\n", stdin="q\n")
    # The input ends after one command: the run goes on to its end silently.
    case(kel, "input cut short", [X, "print 'done"],
         "-----> EVAL x:\nInput: x: 1 + 2 print x\n\n-empty stack-\ndebug> "
         "-----> PUSH x:\nInput: x: 1 + 2 print x\n\nStack: x:\n\ndebug> 3\ndone\n", stdin="n\n")
    # Without `ask` every step is shown and nothing stops.
    case(kel, "no console", ["unset 'ask", "system/tools/options/debug/show-stack?: false", "debug [x: 7]"],
         "-----> EVAL x:\nInput: x: 7\n-----> PUSH x:\nInput: x: 7\n-----> EVAL 7\nInput: 7\n"
         "-----> PUSH 7\nInput: 7\n-----> SET x 7\nInput: \n")
    # /later: nothing before @stop.
    case(kel, "later", ["unset 'ask", "system/tools/options/debug/show-stack?: false", "debug/later [a: 1 @stop b: 2]"],
         "-----> EVAL @stop\nInput: @stop b: 2\n-----> PUSH @stop\nInput: @stop b: 2\n-----> EVAL b:\nInput: b: 2\n"
         "-----> PUSH b:\nInput: b: 2\n-----> EVAL 2\nInput: 2\n-----> PUSH 2\nInput: 2\n-----> SET b 2\nInput: \n")
    # An error is shown once, then the debugger is silent; the error goes on.
    p = run(kel, ["unset 'ask", "system/tools/options/debug/show-stack?: false",
                  "print mold/flat try [debug/later [@stop 1 / 0 x: 2]]", "print system/tools/options/debug/active?"])
    TALLY.count()
    lines = p.stdout.splitlines()
    errors = [l for l in lines if l.startswith("-----> ERROR")]
    if len(errors) != 1 or lines[-1] != "false" or "zero-divide" not in lines[-2] or any(
            l.startswith("-----> SET") for l in lines):
        TALLY.fail("error\n" + p.stdout + p.stderr)
    # `quit` at the prompt of an error cannot halt: the error goes on.
    case(kel, "quit at an error", ["system/tools/options/debug/show-stack?: false",
                                   "r: catch/name [try [debug/later [@stop 1 / 0 print 'no]]] 'console",
                                   "print [error? r r/id]"],
         "-----> EVAL @stop\nInput: @stop 1 / 0 print 'no\ndebug> -----> ERROR make error! [code: 402 " +
         "type: 'math id: 'zero-divide\ndebug> true zero-divide\n", stdin="c\nq\n",
         mask=lambda out: re.sub(r"(id: 'zero-divide).*", r"\1", out))  # the line is cut to the width
    # The lines typed while debugging leave the console's history at the end
    # (checked where the console keeps one).
    case(kel, "history", ["system/tools/options/debug/show-stack?: false", "h: any [attempt [system/console/history] copy []]",
                          "insert h \"old\"", "debug [x: 1]", "print mold h"],
         "-----> EVAL x:\nInput: x: 1\ndebug> -----> PUSH x:\nInput: x: 1\ndebug> == unset\ndebug> [\"old\"]\n",
         stdin="n\n:x\nc\n")
    # A path after ":" shows the value it leads to.
    case(kel, "path value", ["system/tools/options/debug/show-stack?: false", "o: make object! [a: 7]", "debug [o/a]"],
         "-----> EVAL o/a\nInput: o/a\ndebug> == 7\ndebug> ", stdin=":o/a\nc\n")
    # A script file runs under the debugger as a script.
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
        f.write("Kel [Title: \"debugged\"]\nq: 10 + 1\n")
    try:
        case(kel, "file", ["unset 'ask", "debug/later %s" % ("%" + f.name), "print q"], "11\n")
        case(kel, "file stepped", ["system/tools/options/debug/show-stack?: false", "debug %s" % ("%" + f.name),
                                   "print q"],
             "-----> EVAL q:\nInput: q: 10 + 1\ndebug> 11\n", stdin="c\n")
    finally:
        os.unlink(f.name)
    # The calls that lead to the stop, from `debug` on, with their locals.
    case(kel, "parents", ["f: func [a] [g a + 1]", "g: func [b /local c] [c: b @stop b]",
                          "system/tools/options/debug/show-stack?: false", "debug/later [f 5]"],
         "-----> EVAL @stop\nInput: @stop b\ndebug> Call: f\nCall: g\ndebug> debug> Call: f\n  > a         : 5\n"
         "Call: g\n  > b         : 6\n  > local     : false\n  > c         : 6\ndebug> ", stdin="p\n+l\np\nc\n")


def fields_cases(kel):
    case(kel, "fields", [
        "print mold words-of system/tools",
        "print mold words-of system/tools/options",
        "print mold/flat body-of system/tools/options/debug",
        "print mold/flat body-of system/tools/options/trace",
        "print mold/flat body-of system/tools/options/profile",
        "print equal? system/tools/dbg-usage %s" % ("{" + USAGE.replace("\t", "^-") + "}"),
        "print equal? system/tools/calc-max 10 either system/console [system/console/size/x - 10] [62]",
        "print mold reduce [system/tools/indent system/tools/hist-length]",
    ], "[fun-stk expr-stk watching profiling indent hist-length dbg-usage options calc-max show-context "
       "show-parents show-stack show-watching do-command debugger tracers profiler do-handler]\n"
       "[debug trace profile]\n"
       "[active?: false show-stack?: true show-parents?: false show-locals?: false stack-indent?: false]\n"
       "[indent?: true]\n"
       "[sort-by: 'count types: make typeset! [native! action! op! function!]]\n"
       "true\ntrue\n[0 none]\n")
    case(kel, "show-context", ["o: make object! [a: 1 b: 'true c: \"s\"]", "system/tools/show-context o"],
         "  > a         : 1\n  > b         : true (word!)\n  > c         : \"s\"\n")


def profiler_cases(kel):
    case(kel, "three calls", ["f: func [][1]", "profile [f f f]"], "== 1\n\n#1   f                | 3          | T\n",
         mask=durations)
    # The call site names the row, not the call's last argument.
    case(kel, "call site", ["g: func [x][x]", "profile [g 1 g 2]"], "== 2\n\n#1   g                | 2          | T\n",
         mask=durations)
    case(kel, "by name", ["f: func [][1] h: func [][2]", "profile/by [h f h append [] 1] 'name",
                          "print system/tools/options/profile/sort-by"],
         "== [1]\n\n#1   append           | 1          | T\n#2   f                | 1          | T\n"
         "#3   h                | 2          | T\ncount\n", mask=durations)
    case(kel, "by count", ["f: func [][1] h: func [][2]", "profile [f h h]"],
         "== 2\n\n#1   h                | 2          | T\n#2   f                | 1          | T\n", mask=durations)
    case(kel, "other word keeps call order", ["f: func [][1] h: func [][2]", "profile/by [h f f] 'size"],
         "== 1\n\n#1   h                | 1          | T\n#2   f                | 2          | T\n", mask=durations)
    case(kel, "anonymous", ["profile [do func [][2]]", "profile [do func [][3]]"],
         "== 2\n\n#1   func             | 1          | T\n#2   do               | 1          | T\n"
         "#3   <anon1>          | 1          | T\n"
         "== 3\n\n#1   func             | 1          | T\n#2   do               | 1          | T\n"
         "#3   <anon2>          | 1          | T\n", mask=durations)
    case(kel, "unset result", ["f: func [][]", "profile [f]"], "#1   f                | 1          | T\n",
         mask=durations)
    case(kel, "sorted records stay", ["f: func [][1] h: func [][2]", "profile [f h h]",
                                      "print mold extract system/tools/profiling 3"],
         "== 2\n\n#1   h                | 2          | T\n#2   f                | 1          | T\n[h f]\n", mask=durations)


def main():
    kel = sys.argv[1]
    fields_cases(kel)
    debugger_cases(kel)
    profiler_cases(kel)
    return TALLY.close()


if __name__ == "__main__":
    sys.exit(main())
