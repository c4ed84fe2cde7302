#!/usr/bin/env python3
# The console as a user meets it: lines typed on standard input (a pipe, or a
# pseudo-terminal as `make run` gives it) and the exact standard output,
# standard error and exit status that come back; scripts named on the
# command line with their exit statuses; interrupts at the prompt, in a
# command and in a script.
import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

KEL = sys.argv[1]
ENV = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
BANNER = re.compile(r"--== Kel [^\n]* ==-- \nType HELP for starting information\. \n\n")
failures = 0
cases = 0


def check(what, got, want):
    global failures, cases
    cases += 1
    ok = want.fullmatch(got) is not None if isinstance(want, re.Pattern) else got == want
    if not ok:
        failures += 1
        print("FAILED %s:\n  got  %r\n  want %r" % (what, got, want.pattern if isinstance(want, re.Pattern) else want))


def kel(args, stdin_text="", cwd=None):
    p = subprocess.run([KEL] + args, input=stdin_text.encode(), capture_output=True, env=ENV, timeout=60, cwd=cwd)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def without_banner(out):
    m = BANNER.match(out)
    return out[m.end():] if m else "(no banner) " + out


X72 = "x" * 72
LONG = 's: append/dup copy "" "x" 200'
near = lambda text: re.escape(text) + r"\n\*\*\* Where: [^\n]*\n\*\*\* Near : [^\n]*(\n[^\n]*)*?"

# Lines typed at the prompt -> what follows the banner on standard output.
prompt_table = [
    (["1 + 2"], ">> == 3\n>> "),
    (["print {hi}"], ">> hi\n>> "),                                          # unset: no result line
    (["; only a comment"], ">> >> "),                                      # loads to an empty block
    (["", "1"], ">> >> == 1\n>> "),                                         # an empty line is ignored
    (["1 + 2\r"], ">> == 3\n>> "),                                          # CR LF line end
    (["x: 1 + none"],
     ">> *** Script Error: + does not allow none! for its value2 argument\n*** Where: +\n"
     "*** Near : [x: 1 + none]\n*** Stack: \n*** Files:  \n\n>> "),         # the error and an empty line
    ([LONG, "s"], ">> == {%s...\n>> == {%s...\n>> " % (X72, X72)),           # 73 characters and "..."
    (["(", LONG + ")"], ">> (    == {%s...\n>> " % X72),                    # the cut counts the prompt, not the cue
    (["1.5", "0.1 + 0.2"], ">> == 1.5\n>> == 0.3\n>> "),                     # floats formed
    (["halt", "1"], ">> (halted)\n>> == 1\n>> "),
    (["loop 3 [halt]", "2"], ">> (halted)\n>> == 2\n>> "),
    (['system/console/prompt: does ["$ "]', "1"], '>> == func []["$ "]\n$ == 1\n$ '),
    # the cut follows the prompt text shown, even when `prompt` is a function
    (['system/console/prompt: does ["$ "]', LONG], '>> == func []["$ "]\n$ == {%sx...\n$ ' % X72),
    (["system/console/prompt: does [1 / 0]", "1"],
     ">> == func [][1 / 0]\n*** Math Error: attempt to divide by zero\n*** Where: system/console/prompt\n"
     "*** Near : [1 / 0]\n*** Stack: \n>> == 1\n>> "),                      # reported once, then reset
    (["system/console/result: does [1 / 0]", "1"],
     ">> *** Math Error: attempt to divide by zero\n*** Where: system/console/result\n*** Near : [1 / 0]\n"
     "*** Stack: \n== func [][1 / 0]\n>> *** Math Error: attempt to divide by zero\n"
     "*** Where: system/console/result\n*** Near : [1 / 0]\n*** Stack: \n== 1\n>> "),                                   # the default prefix, each time
    (["system/console/result: 42", "1"], ">> none 42\n>> none 1\n>> "),     # not a string: the prefix none
    # multi-line input
    (["[1 2", "3]"], ">> [    == [1 2\n3]\n>> "),
    (["{a", "b}"], '>> {    == "a^/b"\n>> '),
    (["a: [10 20] i: 1 a/(i +", "1)"], ">> (    == 20\n>> "),
    (["[1", "", "2]"], re.compile(r">> \[    \[    == \[1[\s\S]*2\]\n>> ")),  # an empty line is kept
    (["[1 2)"], re.compile(r">> " + near(r"*** Syntax Error: (line 1) missing ] at [1 2)") + r"\n>> ")),
    (["[[1", "2]", "3]"], ">> [    [    == [[1\n2]\n3]\n>> "),
    (["<ab", "c>"], ">> <    == <ab\nc>\n>> "),
    (["#{00", "11}"], ">> {    == #{0011}\n>> "),
    (["%%{a", "}%", "b}%%"], '>> {    {    == "a^/}%^/b"\n>> '),                # raw string: its own closer counts
    (["%{a} b", "c}%"], '>> {    == "a} b^/c"\n>> '),
    (["x: %{a", "b}%", "x"], '>> {    == "a^/b"\n>> == "a^/b"\n>> '),          # after other code on the line
    # an error value typed at the prompt is shown as a raised one is
    (["try [1 / 0]"], re.compile(r">> " + near("*** Math Error: attempt to divide by zero") + r"\n\n>> ")),
    (["throw 1"], re.compile(r">> " + near("*** Throw Error: no catch for throw: 1") + r" \n\n>> ")),
    (["throw/name 5 'console"], ">> == 5\n>> "),
    (["[1 2\x1b", "3"], ">> (escape)\n>> == 3\n>> "),
    (["[1 2", "3\x1b", "4"], ">> [    (escape)\n>> == 4\n>> "),               # the gathered lines dropped
    (["[1 2"], ">> [    "),                                                   # end of input while open
    # lines inside open input, each read alone or, when it closes what was
    # open before it, with all before it
    (["[", "a {b", "c}", "]"], '>> [    {    [    == [\n    a "b^/c"\n]\n>> '),
    (["[", "(1", "2) 3", "]"], ">> [    (    [    == [\n    (1\n    2) 3\n]\n>> "),
    (["{a", "^}b}"], '>> {    == "a^/}b"\n>> '),                                  # an escaped brace
    (["[1", ")"], re.compile(r">> \[    \*\*\* Syntax Error: \(line 2\) missing \] at \[1\n[\s\S]*>> ")),
    # ask and the history
    (['ask "q? "', "yes"], '>> q? == "yes"\n>> '),
    (["1", "1", "2", "system/console/history"],
     '>> == 1\n>> == 1\n>> == 2\n>> == ["system/console/history" "2" "1"]\n>> '),
    (['ask/hide "pw: "', "secret", "second system/console/history"],
     '>> pw: == "secret"\n>> == {ask/hide "pw: "}\n>> '),
    (["h: [] ask/history {} h", "x", "h"], '>> == "x"\n>> == ["x"]\n>> '),
    (['"abc"', '"Abc"', '"abc"', "", "system/console/history"],
     '>> == "abc"\n>> == "Abc"\n>> == "abc"\n>> >> == ["system/console/history" {"abc"} {"Abc"} {"abc"}]\n>> '),
    (['ask "q? "', "ab\x1b", "[1\x1b", "system/console/history"],                # lines ended by Escape stay out
     '>> q? == "ab^["\n>> (escape)\n>> == ["system/console/history" {ask "q? "}]\n>> '),
    (["input"], ">> == none\n>> "),                                   # end of input: none
    # a session that removed system/console still asks and shows results
    (["system/console: none", 'ask "q "', "yes", "1", "input"],
     '>> == none\n>> q == "yes"\n>> == 1\n>> == none\n>> '),
    (["system/console: 5", "ask/hide {}", "x", "2"], '>> == 5\n>> == "x"\n>> == 2\n>> '),
    (["system/console/history: 5", 'ask "q "', "yes", "input", "z"], '>> == 5\n>> q == "yes"\n>> == "z"\n>> '),
    # an ask redefined at the prompt that fails or answers no text: the
    # console's own reads the line, and the end of input still ends it
    (["ask: func [q] [1 / 0]", "1"],
     re.compile(r">> == func \[q\]\[1 / 0\]\n\*\*\* Math Error[^\n]*\n[\s\S]*?\n\n>> == 1\n\*\*\* Math Error[\s\S]*\n\n>> ")),
    (["ask: func [q] [5]", "1"], ">> == func [q][5]\n>> == 1\n>> "),
    (["ask: 7", "1"], ">> == 7\n>> == 1\n>> "),
    # a cue or default prompt that is no text is formed, as the prompt is
    (["system/console/cue: 5", "1"], ">> == 5\n5== 1\n>> "),
    (["system/console/def-prompt: 7 system/console/prompt: does [1 / 0]", "2"],
     re.compile(r">> == func \[\]\[1 / 0\]\n\*\*\* Math Error[\s\S]*\n7== 2\n7")),
    # an engine member spoilt by a command: each line reports it, no line ends the console
    (["system/console/buffer: 5", "1"],
     re.compile(r">> == 5\n\*\*\* Script Error: clear does not allow integer![\s\S]*?\n\n"
                r">> \*\*\* Script Error: append does not allow integer![\s\S]*\n\n>> ")),
]

for lines, want in prompt_table:
    status, out, err = kel([], "".join(line + "\n" for line in lines))
    what = "prompt " + repr(lines)
    check(what + " status", status, 0)
    check(what + " stderr", err, "")
    check(what + " stdout", without_banner(out), want)


# Input left open over many lines is read in time linear in its length: a
# block and a string of 100,000 lines each (the deadline is against a hang).
long_input = ("x: [\n" + "".join('  %d word "s" [a b] (1 + 2)\n' % i for i in range(100000)) + "]\n"
              + "y: {\n" + "".join("text line %d\n" % i for i in range(100000)) + "}\n"
              + "print [length? x length? y]\n")
p = subprocess.run([KEL], input=long_input.encode(), capture_output=True, env=ENV, timeout=900)
text_length = 1 + sum(len("text line %d\n" % i) for i in range(100000))  # from the line end after "{"
check("100,000 open lines", p.stdout.decode("utf-8", "replace").rsplit("\n", 2)[-2:],
      [">> 500000 %d" % text_length, ">> "])

folder = tempfile.mkdtemp()


def script(name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


counter = script("count.kel", "Kel []\nn: 0\nwhile [input] [n: n + 1]\nprint n\n")
args = script("args.kel", "Kel []\nprint mold system/options/args\nprint mold system/script/args\n")
odd = script("--x.kel", "Kel []\nprint {odd}\n")
absent = os.path.join(folder, "absent.kel")
# a file name that is not UTF-8 still names the file
odd_bytes = os.fsdecode(os.path.join(os.fsencode(folder), b"n\xffx.kel"))
with open(odd_bytes, "w", encoding="utf-8") as f:
    f.write("Kel []\nprint {ran}\n")

# Command line -> status, standard output, standard error.
script_table = [
    ([counter], "a\nb\nc\n", 0, "3\n", ""),
    ([counter], "a\nb\nlast without a line end", 0, "3\n", ""),
    ([script("halt.kel", "Kel []\nprint 1\nhalt\nprint 2\n")], "", 0, "1\n(halted)\n", ""),
    ([script("quit.kel", "Kel []\nprint 1\nquit/return 7\nprint 2\n")], "", 7, "1\n", ""),
    ([script("err.kel", "Kel []\nprint 1\n1 + none\nprint 2\n")], "", 1, "1\n",
     re.compile(re.escape("*** Script Error: + does not allow none! for its value2 argument\n") + r"[\s\S]*")),
    ([script("nohead.kel", "print 1\n")], "", 1, "", "*** Error: Kel header not found!\n"),
    # a stray bracket is quoted where it stands, on the file's own line count
    # (text before the header included), without the CR of a CR LF line end
    ([script("stray.kel", "#!/usr/bin/kel\r\nKel []\r\nprint 1]\r\n")], "", 1, "",
     re.compile(re.escape("*** Syntax Error: (line 3) missing [ at ]\n") + r"[\s\S]*")),
    ([script("system.kel", "Kel/System []\n")], "", 1, "",
     "*** Error: contains Kel/System code which requires compilation!\n"),
    ([absent], "", 1, "", re.compile(re.escape("*** Access Error: cannot open: %" + absent) + r"[\s\S]*")),
    (["--catch", absent], "1\n", 0, re.compile(BANNER.pattern + re.escape(">> == 1\n>> ")),
     re.compile(re.escape("*** Access Error: cannot open: ") + r"[\s\S]*")),
    (["--catch", os.path.join(folder, "no-such-folder", "x.kel")], "", 0, re.compile(BANNER.pattern + ">> "),
     re.compile(re.escape("*** Access Error: cannot open: ") + r"[\s\S]*")),
    # an error value the script ends with is its result, as any other value:
    # nothing is reported and the script has not failed
    ([script("errval.kel", "Kel []\nprint 1\ntry [1 / 0]\n")], "", 0, "1\n", ""),
    ([script("errval2.kel", "Kel []\nmake error! {x}\n")], "", 0, "", ""),
    (["--catch", script("err2.kel", "Kel []\n1 + none\n")], "2\n", 0, ">> == 2\n>> ",
     re.compile(r"\*\*\* Script Error[\s\S]*")),
    (["--catch", script("halt2.kel", "Kel []\nhalt\n")], "", 0, "(halted)\n>> ", ""),
    (["--unknown", "--catch", args, "w1", "w2"], "", 0, '["w1" "w2"]\n"w1 w2"\n>> ', ""),
    (["--", odd, "--more"], "", 0, "odd\n", ""),
    ([args], "", 0, "[]\nnone\n", ""),
    ([odd_bytes], "", 0, "ran\n", ""),
    # an error that escapes the console itself is an uncaught error, not a failed boot
    (["--catch", script("spoil.kel", "Kel []\nsystem/console/run: 5\n")], "", 254, "",
     re.compile(re.escape("*** Script Error: run returned a integer! value, so run/no-banner is not valid\n")
                + r"(?![\s\S]*Runtime Error)[\s\S]*")),
    # a script without system/console: ask, input and the debugger's prompt
    ([script("nocons.kel", "Kel []\nsystem/console: none\nprint mold ask {q? }\nprint mold input\nprint mold input\n")],
     "a\nb\n", 0, 'q? "a"\n"b"\nnone\n', ""),
    ([script("nocons2.kel", "Kel []\nsystem/console: none\ndebug [x: 1 + 2 print x]\nprint {end}\n")],
     "c\n", 0, re.compile(r"[\s\S]*debug> 3\nend\n"), ""),
]

for argv, stdin_text, want_status, want_out, want_err in script_table:
    status, out, err = kel(argv, stdin_text)
    what = "script " + repr([os.path.basename(a) for a in argv])
    check(what + " status", status, want_status)
    check(what + " stdout", out, want_out)
    check(what + " stderr", err, want_err)


def read_until(fd, marker, timeout=20):
    seen = b""
    end = time.time() + timeout
    while marker not in seen and time.time() < end:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    return seen


def interrupted(argv, typed, sig, after, ready):
    """Starts kel with a pipe for its input, types `typed`, waits until its
    output ends with `ready` (and a little more, so that a typed command is
    running), sends `sig`, then types `after`; answers status, out, err."""
    p = subprocess.Popen([KEL] + argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=ENV)
    if typed:
        p.stdin.write(typed.encode())
        p.stdin.flush()
    early = read_until(p.stdout.fileno(), ready.encode()) if ready else b""
    time.sleep(0.3)
    p.send_signal(sig)
    time.sleep(0.3)  # the end of the input must not overtake the signal
    if after is not None:
        try:
            p.stdin.write(after.encode())
            p.stdin.flush()
        except BrokenPipeError:
            pass
    try:
        out, err = p.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        return "hung", (early + out).decode(), err.decode()
    return p.returncode, (early + out).decode(), err.decode()


loop = script("loop.kel", "Kel []\nprint {go}\nforever []\n")
signal_table = [
    # a command typed at the prompt is halted and the prompt comes back
    ([], "forever []\n", signal.SIGINT, "1 + 1\n", ">> ", 0, ">> (halted)\n>> == 2\n>> ", ""),
    ([], "f: does [f2] f2: does [forever [x: 1]] f\n", signal.SIGINT, "3\n", ">> ", 0,
     ">> (halted)\n>> == 3\n>> ", ""),
    # loops the evaluator runs itself, whose bodies call no function
    ([], "n: 0 while [true] [n: n + 1]\n", signal.SIGINT, "5\n", ">> ", 0, ">> (halted)\n>> == 5\n>> ", ""),
    ([], "n: 0 loop 2000000000 [n: n + 1]\n", signal.SIGINT, "6\n", ">> ", 0, ">> (halted)\n>> == 6\n>> ", ""),
    ([], "n: 0 until [n: n + 1 false]\n", signal.SIGINT, "7\n", ">> ", 0, ">> (halted)\n>> == 7\n>> ", ""),
    # natives that wait: the interrupt halts the command where it waited
    ([], "wait 5 print {after}\n", signal.SIGINT, "8\n", ">> ", 0, ">> (halted)\n>> == 8\n>> ", ""),
    ([], "call/wait {sleep 5} print {after}\n", signal.SIGINT, "9\n", ">> ", 0, ">> (halted)\n>> == 9\n>> ", ""),
    # parse's while over a rule that consumes nothing (the parse after it
    # finds the engine's stacks empty)
    ([], "parse \"a\" [while [none]]\n", signal.SIGINT, "parse \"ab\" [\"a\" \"b\"]\n", ">> ", 0,
     ">> (halted)\n>> == true\n>> ", ""),
    ([], "parse [a] [some [while [opt 'b]]]\n", signal.SIGINT, "parse [a] ['a]\n", ">> ", 0,
     ">> (halted)\n>> == true\n>> ", ""),
    # some over a rule that inserts as it goes: the input grows for ever
    ([], "parse s: \"ab\" [some [insert \"z\"]]\n", signal.SIGINT, "parse \"ab\" [\"a\" \"b\"]\n", ">> ", 0,
     ">> (halted)\n>> == true\n>> ", ""),
    ([], "parse [a] [some [insert 'z]]\n", signal.SIGINT, "parse [a] ['a]\n", ">> ", 0,
     ">> (halted)\n>> == true\n>> ", ""),
    # waiting at the prompt: a quiet end
    ([], "", signal.SIGINT, None, ">> ", 0, ">> ", ""),
    ([], "", signal.SIGTERM, None, ">> ", 0, ">> ", ""),
    # a running command ended from outside ends as `quit` does
    ([], "forever []\n", signal.SIGTERM, None, ">> ", 143, ">> ", ""),
    # a script: a failure, never success
    ([loop], "", signal.SIGINT, None, "go\n", 130, "go\n", "(halted)\n"),
    ([loop], "", signal.SIGTERM, None, "go\n", 143, "go\n", ""),
    # a script waiting for input: a quiet end
    ([script("wait.kel", "Kel []\nprint {waiting}\ninput\nprint {never}\n")], "", signal.SIGINT, None,
     "waiting\n", 0, "waiting\n", ""),
    # after --catch the script is a console command
    (["--catch", loop], "", signal.SIGINT, "4\n", "go\n", 0, "go\n(halted)\n>> == 4\n>> ", ""),
]

for argv, typed, sig, after, ready, want_status, want_out, want_err in signal_table:
    status, out, err = interrupted(argv, typed, sig, after, ready)
    what = "%s to %r typing %r" % (signal.Signals(sig).name, [os.path.basename(a) for a in argv], typed)
    check(what + " status", status, want_status)
    check(what + " stdout", without_banner(out) if not argv else out, want_out)
    check(what + " stderr", err, want_err)


# On a terminal, as `make run` starts it: the prompt, an answer, Ctrl-D ends.
pid, fd = pty.fork()
if pid == 0:
    os.execve(KEL, [KEL], ENV)
shown = read_until(fd, b">> ")
check("terminal: the prompt appears", shown.endswith(b">> "), True)
os.write(fd, b"1 + 2\n")
check("terminal: the line is answered", b"== 3" in read_until(fd, b"== 3"), True)
read_until(fd, b">> ")
# the size comes from the terminal, read again before each prompt
fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
os.write(fd, b"\n")  # an empty line: a fresh prompt
read_until(fd, b">> ")
os.write(fd, b"system/console/size\n")
check("terminal: the console size", b"== 100x30" in read_until(fd, b"== 100x30"), True)
read_until(fd, b">> ")
fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 60, 0, 0))
os.write(fd, b"\n")  # an empty line: a fresh prompt
read_until(fd, b">> ")
os.write(fd, b"system/console/size\n")
check("terminal: the size after a resize", b"== 60x40" in read_until(fd, b"== 60x40"), True)
read_until(fd, b">> ")
os.write(fd, b"\x04")
read_until(fd, b"\n")
_, wait_status = os.waitpid(pid, 0)
check("terminal: Ctrl-D ends with 0", os.waitstatus_to_exitcode(wait_status), 0)
os.close(fd)

print("%d passed, %d failed" % (cases - failures, failures))
sys.exit(1 if failures else 0)
