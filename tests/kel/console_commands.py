#!/usr/bin/env python3
# The console's folder commands as a user types them at the prompt, standard
# input and output pipes (so the console is 80 columns wide): the exact bytes
# of `ls` and `ll` over a fixture folder whose names sit on both sides of the
# cell width, the narrow-cell floor, the errors a user can cause, `pwd` and
# `cd`, and `expand`.
import os
import re
import shutil
import subprocess
import sys
import tempfile

KEL = os.path.abspath(sys.argv[1])
ENV = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
BANNER = re.compile(r"--== Kel [^\n]* ==-- \nType HELP for starting information\. \n\n")
failures = 0


def check(what, got, want):
    global failures
    if got != want:
        failures += 1
        print("FAILED %s:\n  got  %r\n  want %r" % (what, got, want))


def prompt(lines, cwd):
    p = subprocess.run([KEL], input="".join(l + "\n" for l in lines).encode(), capture_output=True,
                       env=ENV, timeout=60, cwd=cwd)
    out = p.stdout.decode("utf-8", "replace")
    m = BANNER.match(out)
    return p.returncode, out[m.end():] if m else "(no banner) " + out


folder = tempfile.mkdtemp()
names = ["abc", "b" * 18, "c" * 19, "d" * 30]
for n in names:
    open(os.path.join(folder, n), "w").close()
os.mkdir(os.path.join(folder, "sub"))
open(os.path.join(folder, "sub", "inner.txt"), "w").close()

# The listing keeps the order `read` gives.
status, out = prompt(["foreach f read %. [print f]"], folder)
order = out[len(">> "):].split("\n")[:5]
check("read order", sorted(order), sorted(names + ["sub/"]))


def listing(width, per_row):
    cells = []
    for n in order:
        if len(n) >= width:
            n = n[:width - 4] + "..."
        cells.append("\t" + n.ljust(width) + " ")
    rows = [cells[i:i + per_row] for i in range(0, len(cells), per_row)]
    return "".join("".join(r) + "\n" for r in rows)


# 80 columns: limit 67, three cells of 19; a name of 19 or more is cut to 15
# and "...". ll: one cell of 66.
check("ls", prompt(["ls"], folder)[1], ">> " + listing(19, 3) + ">> ")
check("ll", prompt(["ll"], folder)[1], ">> " + listing(66, 1) + ">> ")
check("ls sub", prompt(["ls sub"], folder)[1], ">> " + "\t" + "inner.txt".ljust(19) + " \n>> ")
check("ls %sub/", prompt(["ls %sub/"], folder)[1], ">> " + "\t" + "inner.txt".ljust(19) + " \n>> ")
# 67 / 10 - 10 is negative: the cell keeps five characters, ten to a row
check("list-dir/col 10", prompt(["list-dir/col %. 10"], folder)[1], ">> " + listing(5, 10) + ">> ")
# a console wide enough for eighteen cells or more leaves four characters: five
check("list-dir/col 18", prompt(["system/console/size/x: 420 list-dir/col %. 18"], folder)[1],
      ">> " + listing(5, 18) + ">> ")
check("ls 5", prompt(["ls 5"], folder)[1],
      ">> *** Script Error: list-dir does not allow integer! for its dir argument\n*** Where: do\n"
      "*** Near : [ls 5]\n*** Stack: ls\n*** Files:  \n\n>> ")
check("list-dir \"x\"", prompt(['list-dir "x"'], folder)[1],
      ">> *** Script Error: list-dir does not allow string! for its dir argument\n*** Where: do\n"
      "*** Near : [list-dir \"x\"]\n*** Stack: list-dir\n*** Files:  \n\n>> ")
empty = tempfile.mkdtemp()
check("ls of an empty folder", prompt(["ls"], empty)[1], ">> >> ")

# pwd prints the molded folder; cd takes a word, a file or a path; a missing
# folder is cannot-open and leaves the console where it was.
real = os.path.realpath(folder)
check("pwd cd", prompt(["pwd", "cd sub", "pwd", "cd ..", "cd %sub", "pwd"], folder)[1],
      ">> %%%s/\n>> == %%%s/sub/\n>> %%%s/sub/\n>> == %%%s/\n>> == %%%s/sub/\n>> %%%s/sub/\n>> "
      % (real, real, real, real, real, real))
check("cd missing", prompt(["cd nothere", "pwd"], folder)[1],
      ">> *** Access Error: cannot open: %%%s/nothere/\n*** Where: do\n*** Near : [cd nothere]\n*** Stack: cd\n*** Files:  \n\n>> %%%s/\n>> "
      % (real, real))
check("cd path", prompt(["cd sub/..", "pwd"], folder)[1], ">> == %%%s/\n>> %%%s/\n>> " % (real, real))

# expand prints the block after preprocessing
check("expand", prompt(["expand [#if true [a] b]"], folder)[1], ">> [a b]\n== [a b]\n>> ")

for d in (folder, empty):
    shutil.rmtree(d, ignore_errors=True)
print("%d failed" % failures)
sys.exit(1 if failures else 0)
