#!/usr/bin/python3
"""What the help system prints, checked as whole output text: `help` with no
argument and `?` (the usage text), a value and a word, a documented function
with attributes, typed arguments, refinements and a return spec, an op!, a
native, an object, a map, a datatype, a fitted long line, a spec that does
not parse, a type block that is no type, `what`, `source` and `about` with and
without a version-control record. Each case is one script whose output must
equal the expected text byte for byte (trailing blanks included). The
console is 80 columns wide, as through a pipe.

usage: help_output.py KEL_BINARY"""
import os
import re
import subprocess
import sys
import tempfile

from kel_script import run

FAILS = []
RUN = []

# a console of 80 columns whether or not the console engine made one
PRELUDE = [
    "Kel []",
    "either object? system/console [system/console/size: 80x50] [system/console: context [size: 80x50]]",
]

USAGE = (
    "\n"
    "\tUse HELP or ? to view built-in docs for functions, values \n"
    "\tfor contexts, or all values of a given datatype:\n"
    "\n"
    "\t\thelp append\n"
    "\t\t? system\n"
    "\t\t? function!\n"
    "\n"
    "\tTo search for values by name, use a word:\n"
    "\n"
    "\t\t? pri\n"
    "\t\t? to-\n"
    "\n"
    "\tTo also search in function specs, use a string:\n"
    "\n"
    "\t\t? \"pri\"\n"
    "\t\t? \"issue!\"\n"
    "\n"
    "\tTo buffer and return output, rather than printing results, \n"
    "\tuse help-string:\n"
    "\n"
    "\t\thelp-string append\n"
    "\n"
    "\tOther useful functions:\n"
    "\n"
    "\t\t??     - Display a word and the value it references\n"
    "\t\tprobe  - Print a molded value\n"
    "\t\tsource - Show a function's source code\n"
    "\t\twhat   - Show a list of known functions or words\n"
    "\t\tabout  - Display version number and build date\n"
    "\t\tquit   - Leave the Kel console\n"
    "\t"
)


def case(kel, name, body, want, mask=None):
    RUN.append(name)
    p = run(kel, PRELUDE + body)
    got = mask(p.stdout) if mask else p.stdout
    if got != want or p.returncode != 0:
        FAILS.append("%s (exit %d)\n--- got:\n%r\n--- expected:\n%r\n--- stderr:\n%s" % (
            name, p.returncode, got, want, p.stderr))


FIXTURE = [
    "fixture: func [",
    "    [catch]",
    '    "Joins   two^/   things"',
    '    a [integer!] "the first"',
    "    'b [block! string!]",
    '    /with "use a separator"',
    '        sep [string!] "the separator"',
    "        count",
    "    /quiet",
    '    return: [string!] "the joined text"',
    "    /local tmp",
    "] [a]",
]


def git_record(kel):
    """The build's revision record: none outside a git checkout; inside one,
    Kel text that gives back the branch, the tag and the commit message as
    written (quotes and carets included)."""
    RUN.append("git record")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "git_record.cmake")
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "record.inc")
        plain = os.path.join(d, "plain")
        os.mkdir(plain)
        subprocess.run(["cmake", "-DSOURCE_DIR=" + plain, "-DOUTPUT=" + out, "-P", script], check=True,
                       env=dict(os.environ, GIT_CEILING_DIRECTORIES=d))
        empty = open(out).read()
        repo = os.path.join(d, "repo")
        os.mkdir(repo)
        git = ["git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t"]
        subprocess.run(git + ["init", "-q", "-b", "work"], check=True)
        subprocess.run(git + ["commit", "-q", "--allow-empty", "-m", 'first'], check=True)
        subprocess.run(git + ["tag", "v1.0"], check=True)
        subprocess.run(git + ["commit", "-q", "--allow-empty", "-m", 'say "hi" ^/ {x}'], check=True)
        # a folder inside a checkout is not a checkout of its own
        inner = os.path.join(repo, "inner")
        os.mkdir(inner)
        subprocess.run(["cmake", "-DSOURCE_DIR=" + inner, "-DOUTPUT=" + out, "-P", script], check=True)
        empty += open(out).read()
        subprocess.run(["cmake", "-DSOURCE_DIR=" + repo, "-DOUTPUT=" + out, "-P", script], check=True)
        text = open(out).read()
    body = text[len('R"git('):-len(')git"\n')]
    p = run(kel, ["Kel []", body, "g: system/build/git",
                  "print mold reduce [g/branch g/tag g/ahead g/message date? g/date 40 = length? form g/commit]"])
    want = '["work" #v1.0 1 {say "hi" ^^/ {x}} true true]\n'
    if empty != 'R"git()git"\n' * 2 or p.stdout != want:
        FAILS.append("git record\n--- outside a checkout:\n%r\n--- inside:\n%r\n%r\n%s" % (
            empty, text, p.stdout, p.stderr))


def main():
    kel = sys.argv[1]
    # without an argument the usage text; `?` is the same function
    case(kel, "help alone", ["help"], USAGE + "\n")
    case(kel, "? alone", ["print same? :? :help", "?"], "true\n" + USAGE + "\n")
    case(kel, "help of a value and a word", ["help 1", "x: 5 help x"],
         "1 is an integer! value.\n\nX is an integer! value: 5\n\n")
    case(kel, "function", FIXTURE + ["help fixture"],
         "USAGE:\n"
         "     FIXTURE a 'b\n"
         "\n"
         "ATTRIBUTES: \n"
         "     [catch]\n"
         "\n"
         "DESCRIPTION: \n"
         "     Joins two things. \n"
         "     FIXTURE is a function! value.\n"
         "\n"
         "ARGUMENTS:\n"
         "     a            [integer!] \"the first.\"\n"
         "     'b           [block! string!] \n"
         "\n"
         "REFINEMENTS:\n"
         "     /with        => use a separator.\n"
         "        sep          [string!] \"the separator.\"\n"
         "        count         \n"
         "     /quiet       => \n"
         "\n"
         "RETURNS:\n"
         "     the joined text.\n"
         "     [string!]\n"
         "\n")
    case(kel, "op", ['plus: make op! func [left [integer!] "the left" right [integer!]] [left + right]',
                     "help plus"],
         "USAGE:\n"
         "     left plus right\n"
         "\n"
         "DESCRIPTION: \n"
         "     PLUS is an op! value.\n"
         "\n"
         "ARGUMENTS:\n"
         "     left         [integer!] \"the left.\"\n"
         "     right        [integer!] \n"
         "\n")
    case(kel, "native with refinements", ["help shift"],
         "USAGE:\n"
         "     SHIFT data bits\n"
         "\n"
         "DESCRIPTION: \n"
         "     SHIFT is a native! value.\n"
         "\n"
         "ARGUMENTS:\n"
         "     data         [integer!] \n"
         "     bits         [integer!] \n"
         "\n"
         "REFINEMENTS:\n"
         "     /left        => \n"
         "     /logical     => \n"
         "\n"
         "RETURNS:\n"
         "     [integer!]\n"
         "\n")
    case(kel, "object", ['o: context [name: "Kel" count: 3 items: next [a b c] sub: context [x: 1] f: func ["Doc of f"] []]',
                       "help o"],
         "O is an object! with the following words and values:\n"
         "     name   string!       \"Kel\"\n"
         "     count  integer!      3\n"
         "     items  block!        length: 2 index: 2 [b c]\n"
         "     sub    object!       [x]\n"
         "     f      function!     Doc of f.\n"
         "\n")
    case(kel, "map", ['m: make map! [alpha 1 "beta" [1 2]]', "help m"],
         "M is a map! with the following words and values:\n"
         "     alpha  integer!      1\n"
         "     beta   block!        length: 2  [1 2]\n"
         "\n")
    case(kel, "datatype", ["tp: 3x4 help pair!", "help percent!"],
         "    tp               3x4\n"
         "\n"
         "No percent values were found in the global context.\n"
         "\n")
    # the value line is cut to the width less the margin, ending with "..."
    long_line = "LONG is a block! value.  length: 30  [" + " ".join(["abcdefgh"] * 30) + "]"
    case(kel, "long line fitted", ["long: append/dup copy [] 'abcdefgh 30", "help long"],
         long_line[:76] + "...\n\n")
    case(kel, "malformed spec", ['bad: func [a "x" "y"] [a]', "help bad"],
         "Func spec couldn't be parsed, may be malformed.\n"
         'func [a "x" "y"][a]\n'
         "\n")
    # the type was a typeset when the function was made; the warning comes
    # first and the help follows
    case(kel, "bad type block", ["my-types!: make typeset! [integer!]",
                                 "g: func [a [my-types!] \"an a\"] [a]", "my-types!: 42", "help g"],
         "Looks like we have a bad type spec: [my-types!]\n"
         "USAGE:\n"
         "     G a\n"
         "\n"
         "DESCRIPTION: \n"
         "     G is a function! value.\n"
         "\n"
         "ARGUMENTS:\n"
         "     a            [my-types!] \"an a.\"\n"
         "\n")
    case(kel, "what with no match", ['what/with "zzqqxx"'],
         "No matching values were found in the global context.\n\n")
    case(kel, "source", ["f: func [a [integer!]] [a + 1]", "source f", "source block?", "x: 1 source x"],
         "f: func [a [integer!]][a + 1]\n"
         "; BLOCK? is a routine! value; its body is Kel/System code.\n"
         'block?: routine ["Returns true if the value is this type" value [any-type!] return: [logic!]] none\n'
         "X is an integer! value, so source is not available.\n")
    case(kel, "about without a record", ['system/version: "9.8.7"', "system/build/git: none",
                                         "system/build/date: 2-Mar-2025/4:05:06", "about"],
         "Kel 9.8.7 for Linux built 2-Mar-2025/4:05:06\n")
    record = ('system/build/git: context [branch: "main" tag: #v1.2 ahead: 4 '
              'date: 1-Feb-2026/10:20:30+2:00 commit: #0123456789abcdef0123 message: "m"]')
    case(kel, "about with a record", ['system/version: "9.8.7"', record, "about"],
         "Kel 9.8.7 for Linux built 1-Feb-2026/10:20:30+02:00  commit #0123456\n")

    def mask_os(text):
        text = re.sub(r'name: ".*?" OS:', 'name: "N" OS:', text)
        text = re.sub(r"arch: '\S+ version: \S+ build: \S+ ]", "arch: 'A version: V build: B ]", text)
        return text
    case(kel, "about/debug with a record", [record, "about/debug"],
         "-----------KEL & PLATFORM VERSION----------- \n"
         'KEL: [ branch: "main" tag: #v1.2 ahead: 4 date: 1-Feb-2026/8:20:30 commit: #0123456789abcdef0123 ]\n'
         "PLATFORM: [ name: \"N\" OS: 'Linux arch: 'A version: V build: B ]\n"
         + "-" * 44 + "\n", mask=mask_os)
    case(kel, "about/debug without a record", ["system/build/git: none", "about/debug"],
         "Looks like this Kel binary has been built from source.\n"
         "Please download latest build from our website:\n"
         "https://kel-lang.org/download/\n"
         "and try your code on it before submitting an issue.\n")

    git_record(kel)

    for f in FAILS:
        print("FAIL " + f)
    print("%d passed, %d failed" % (len(RUN) - len(FAILS), len(FAILS)))
    sys.exit(1 if FAILS else 0)


if __name__ == "__main__":
    main()
