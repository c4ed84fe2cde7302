#!/usr/bin/python3
"""Both boots give the same system: the boot from the pool the build made and
the boot from the library source (KEL_BOOT_SOURCE=1).

Each script runs once under each boot, with the same arguments, in the same
folder; standard output, standard error and the exit status must agree, and
a script must print something (an empty run proves nothing). The first
script prints the molded system object and every global word in order with
its type and value (a function's spec and body, an object's words).

usage: boot_pool.py KEL_BINARY"""
import os
import subprocess
import sys
import tempfile

SYSTEM_AND_WORDS = r"""
s: copy system
s/words: none
print mold s
foreach w words-of system/words [
    set/any 'v get/any w
    prin [mold w mold type? get/any 'v ""]
    case [
        function? get/any 'v [print [mold spec-of :v mold body-of :v]]
        any-function? get/any 'v [print mold spec-of :v]
        object? get/any 'v [print mold words-of :v]
        'else [print mold/all/flat get/any 'v]
    ]
]
"""

# (name, script body, extra arguments)
CASES = [
    ("system object and global words", SYSTEM_AND_WORDS, []),
    ("help", "help append help system/options ? to- source first", []),
    ("error texts", "foreach c [[1 / 0] [append 1 2] [x-unset-word] [make object! 3] [load {[}]] [print try c]", []),
    ("arguments and options", "probe system/options/args probe system/script/args probe system/options/boot = none",
     ["a b", "--x", "c\"d"]),
    ("reactivity", "r: make reactor! [a: 1 b: 0] react [r/b: r/a * 2] r/a: 5 probe r/b "
                   "x: deep-reactor [l: [1]] react [probe x/l] append x/l 2 append system/locale/currencies/list 'abc", []),
    ("an uncaught error", "print 1 cause-error 'script 'no-value ['foo]", []),
]
# Guards against a hang only.
RUN_DEADLINE = 300


def run(kel, folder, script, args, source_boot):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "KEL_BOOT_SOURCE")}
    if source_boot:
        env["KEL_BOOT_SOURCE"] = "1"
    p = subprocess.run([kel, script] + args, capture_output=True, cwd=folder, env=env, timeout=RUN_DEADLINE)
    return p.returncode, p.stdout, p.stderr


def main():
    kel = os.path.abspath(sys.argv[1])
    passed = failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, body, args in CASES:
            script = os.path.join(folder, "case.kel")
            with open(script, "w", encoding="utf-8") as f:
                f.write("Kel []\n" + body + "\n")
            pool = run(kel, folder, script, args, False)
            source = run(kel, folder, script, args, True)
            if pool != source:
                failed += 1
                for what, a, b in zip(("status", "stdout", "stderr"), pool, source):
                    if a != b:
                        print("FAIL %s: %s differs\n  pool:   %r\n  source: %r" % (name, what, a[:400], b[:400]))
            elif not pool[1] and not pool[2]:
                failed += 1
                print("FAIL %s: printed nothing" % name)
            else:
                passed += 1
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
