#!/usr/bin/python3
"""The preprocessor as a script run from the command line meets it: every
script's body goes through expand-directives before it runs. A stop by the
preprocessor writes its messages to standard error and ends the process with
1; #include and #include-binary read their files at expansion time, from the
script's folder. Each case is a whole program in a fresh folder, checked for
its exact standard output, standard error and exit status.

usage: preprocessor_programs.py KEL_BINARY"""
import os
import resource
import subprocess
import sys
import tempfile

from kel_script import Tally, text_mode_env

ENV = text_mode_env()

HALTED = 1  # a preprocessor stop during a command-line script

# (name, {file: text}, script to run, stdout, stderr, status)
CASES = [
    ("if without a block",
     {"main.kel": 'Kel []\nprint "start"\n#if true print "after"\n'}, "main.kel",
     "", "*** Preprocessor Error: Syntax error\n*** Where: #if true print\n", HALTED),
    ("invalid macro spec",
     {"main.kel": "Kel []\n#macro bad: func [a 1] [a]\n"}, "main.kel",
     "", "*** Macro Error: invalid specification\n*** Where: bad: func [a 1]\n", HALTED),
    ("pattern macro without two arguments",
     {"main.kel": "Kel []\n#macro [integer!] func [s] [s]\n"}, "main.kel",
     "", "*** Macro Error: invalid specification\n*** Where: [integer!] func [s]\n", HALTED),
    ("unknown refinement in a path",
     {"main.kel": "Kel []\n#do [f: func [a /r b] [a]]\n#if f/nosuch 1 [x]\n"}, "main.kel",
     "", "*** Macro Error: unknown refinement\n*** Where: f/nosuch\n", HALTED),
    ("macro returning unset",
     {"main.kel": "Kel []\n#macro m: func [] [()]\nprint m\n"}, "main.kel",
     "", "*** Macro Error: no value returned by m macro\n\n", HALTED),
    ("manual macro not returning a position",
     {"main.kel": "Kel []\n#macro [integer!] func [[manual] s e] [42]\nprint 1\n"}, "main.kel",
     "", "*** Macro Error: [manual] macro not returning a position\n*** Where: [fn s e]\n", HALTED),
    ("error inside #do",
     {"main.kel": "Kel []\n#do [1 / 0]\n"}, "main.kel",
     "", "*** Preprocessor Error in #do \n\n*** Math Error: attempt to divide by zero\n"
         "*** Where: ???\n*** Near : [1 / 0]\n*** Stack: \n", HALTED),
    ("include of a missing file",
     {"main.kel": 'Kel []\n#include %missing.kel\nprint "ran without it"\n'}, "main.kel",
     "", "*** Preprocessor Error in #include \n\n*** Access Error: cannot open: %missing.kel\n"
         "*** Where: ???\n*** Near : [\n    #include %missing.kel\n]\n*** Stack: \n", HALTED),
    ("a file that includes itself is named where it closes the cycle",
     {"main.kel": 'Kel []\nprint "main"\n#include %self.kel\n', "self.kel": 'Kel []\nx: 1\n#include %self.kel\n'},
     "main.kel",
     "", "*** Preprocessor Error in #include \n\n*** Internal Error: circular dependency (cycle) detected\n"
         "*** Where: ???\n*** Near : [\n    #include %self.kel\n]\n", HALTED),
    ("two files that include each other",
     {"main.kel": "Kel []\n#include %a.kel\n", "a.kel": "Kel []\n#include %sub/b.kel\n",
      "sub/b.kel": "Kel []\n#include %a.kel\n"}, "main.kel",
     "", "*** Preprocessor Error in #include \n\n*** Internal Error: circular dependency (cycle) detected\n"
         "*** Where: ???\n*** Near : [\n    #include %a.kel\n]\n", HALTED),
    ("a file included twice, but not within itself, is no cycle",
     {"main.kel": 'Kel []\n#include %a.kel\n#include %b.kel\nprint [x y]\n', "a.kel": "Kel []\n#include %c.kel\nx: c\n",
      "b.kel": "Kel []\n#include %c.kel\ny: c + 1\n", "c.kel": "Kel []\nc: 5\n"}, "main.kel",
     "5 6\n", "", 0),
    # a device that never ends: the read stops at the largest string (within
    # the memory given below), not at twice that
    ("include of a device that never ends",
     {"main.kel": "Kel []\n#include %/dev/zero\n"}, "main.kel",
     "", "*** Preprocessor Error in #include \n\n*** Access Error: cannot open: %/dev/zero\n"
         "*** Where: ???\n*** Near : [\n    #include %/dev/zero\n]\n*** Stack: \n", HALTED),
    ("include of a file that does not load",
     {"main.kel": "Kel []\n#include %bad.kel\n", "bad.kel": "Kel []\nx: [\n"}, "main.kel",
     "", None, HALTED),
    ("a stop reached at run time comes after the output so far",
     {"main.kel": 'Kel []\nprint "a"\nexpand-directives load "#if true"\nprint "b"\n'}, "main.kel",
     "a\n", "*** Preprocessor Error: Syntax error\n*** Where: #if true\n", HALTED),

    ("a stop the script catches itself is no failure",
     {"main.kel": 'Kel []\nprobe catch/name [expand-directives load "#if true"] \'console\nprint "on"\n'},
     "main.kel", "halt-request\non\n", "*** Preprocessor Error: Syntax error\n*** Where: #if true\n", 0),

    ("include inlines the part, its macros apply after it",
     {"main.kel": 'Kel []\nprint "main"\n#include %part.kel\nprint [y twice 4]\nprobe first [#include %part.kel]\n',  # nested blocks too
      "part.kel": "Kel [Title: \"part\"]\ny: 42\n#macro twice: func [a] [a * 2]\n"}, "main.kel",
     "main\n42 8\ny:\n", "", 0),
    ("include and include-binary read from the script's folder",
     {"sub/main.kel": 'Kel []\n#include %part.kel\nprobe #include-binary %data.bin\nprobe #include-binary "data.bin"\n',
      "sub/part.kel": 'print "in part"\n', "sub/data.bin": "AB"}, "sub/main.kel",
     "in part\n#{4142}\n#{4142}\n", "", 0),
    ("include-binary of a missing file",
     {"main.kel": "Kel []\nprobe #include-binary %none.bin\n"}, "main.kel",
     "", "*** Preprocessor Error in #include-binary \n\n*** Access Error: cannot open: %none.bin\n"
         "*** Where: ???\n*** Near : [#include-binary %none.bin]\n", HALTED),
    ("include reached from user code is left to run time",
     {"main.kel": 'Kel []\nprobe expand-directives load "#include %part.kel #include-binary %d.bin"\n',
      "part.kel": "Kel []\n#macro later: func [] [1]\n"}, "main.kel",
     "[do %part.kel read/binary %d.bin]\n", "", 0),
    ("a macro of one expansion applies in the next",
     {"main.kel": 'Kel []\n#macro add2: func [a b] [a + b]\nprobe expand-directives load "add2 1 2"\n'
                  'probe expand-directives/clean load "add2 1 2"\n'}, "main.kel",
     "[3]\n[add2 1 2]\n", "", 0),
    ("traces",
     {"main.kel": "Kel []\n#trace on\n#if 1 = 1 [print 1]\n#trace off\n#if true [print 2]\n"}, "main.kel",
     "preproc: #if [1 = 1]\npreproc: == true\npreproc: == true\n1\n2\n", "", 0),
    ("traces of macros",
     {"main.kel": "Kel []\n#trace on\n#macro [integer! '+ integer!] func [s e] [s/1 + s/3]\nprint 1 + 2\n"
                  "#macro dbl: func [a] [a * 2]\nprint dbl 5\n#trace off\nprint 3 + 4\n"}, "main.kel",
     "preproc: matched 1 + 2 \npreproc: eval macro [s/1 + s/3]\npreproc: == 3\npreproc: macro [dbl 5]\n"
     "3\n10\n7\n", "", 0),
]


# The memory (address space) a case may have, where it checks a bound.
MEMORY = {"include of a device that never ends": 4 << 30}


def sanitized(kel):
    p = subprocess.run(["ldd", kel], capture_output=True, text=True)
    return "libasan" in p.stdout


def main():
    kel = os.path.abspath(sys.argv[1])
    tally = Tally()
    limit_memory = not sanitized(kel)
    for name, files, script, out, err, status in CASES:
        def limits(most=MEMORY.get(name)):
            if most and limit_memory:
                resource.setrlimit(resource.RLIMIT_AS, (most, most))
        with tempfile.TemporaryDirectory() as folder:
            for path, text in files.items():
                full = os.path.join(folder, path)
                os.makedirs(os.path.dirname(full), exist_ok=True)
                with open(full, "w", encoding="utf-8") as f:
                    f.write(text)
            p = subprocess.run([kel, script], cwd=folder, capture_output=True, text=True, env=ENV, timeout=300,
                               preexec_fn=limits)
        got = (p.stdout, p.stderr if err is not None else None, p.returncode)
        want = (out, err, status)
        tally.count()
        if got != want:
            tally.fail("%s:\n  got  %r\n  want %r" % (name, got, want))
    sys.exit(tally.close())


if __name__ == "__main__":
    main()
