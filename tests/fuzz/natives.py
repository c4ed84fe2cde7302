#!/usr/bin/python3
"""Runs tests/fuzz/natives.kel, the hostile-argument driver of every function
of system/words, for one or more seeds, each from a fresh temporary folder
(the driver's files are relative names) with no input and no display.

A seed fails when the process dies (a signal, a fatal runtime error, a
sanitizer report), when it spends --hang seconds of CPU time without starting
a call (the call that started last is the one that hangs; CPU time, not the
clock, so that a loaded machine turns no slow call into a hang), when it
ends without the driver's closing line, or when the driver saw an error
outside the catalogue. The call named last before the failure is printed:
it is a standalone Kel expression that reproduces the fault.

usage: natives.py KEL [--seeds A[:B]] [--calls N] [--hang S] [--verbose] [--sanitized]
The closing line is "N passed, N failed", one count a seed. CTest runs a
few fixed seeds; a long run by hand, on the normal and the sanitizer build:
    natives.py build/kel --seeds 1:500 --calls 50000
    natives.py build-asan/kel --sanitized --seeds 1:100 --calls 20000
--verbose also lists each error id met, its count and the first call that
raised it, which shows the wrong error kinds."""
import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MARKER = re.compile(r"#fz( (?=\d+: )|-done:|-bad:|-error:|-start:)")
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer", "SUMMARY: ")


def limit_memory():
    # An allocation the runtime should refuse must not take the machine with
    # it: a normal build gets 8 GiB of address space (the sanitizers reserve
    # far more, so they get none).
    resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def cpu_seconds(pid):
    # utime and stime of /proc/PID/stat, after the command name (which may
    # hold spaces) closed by its parenthesis; None once the process is gone.
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_seed(kel, seed, calls, hang, verbose, sanitized):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.setdefault("ASAN_OPTIONS", "detect_leaks=0:detect_stack_use_after_return=0")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    state = {"last": None, "calls": 0, "done": None, "bad": [], "extra": []}
    with tempfile.TemporaryDirectory(prefix="kel-fuzz-natives-") as folder, \
            tempfile.TemporaryFile() as errors:
        # A script runs in its own folder: the driver is copied into the
        # temporary one, where its relative file names then land.
        script = os.path.join(folder, "natives.kel")
        shutil.copyfile(os.path.join(HERE, "natives.kel"), script)
        args = [kel, script, str(seed), str(calls)] + (["verbose"] if verbose else [])
        p = subprocess.Popen(args, cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=errors, preexec_fn=None if sanitized else limit_memory)

        def reader():
            for raw in p.stdout:
                line = raw.decode("utf-8", "replace").rstrip("\n")
                # A call's own output may lack its closing newline (prin), so
                # a marker may stand after it on the line.
                m = MARKER.search(line)
                if not m or (m.group(1) != " " and m.start() > 0):
                    continue  # only a call's marker may follow its output on a line
                line = line[m.start():]
                if m.group(1) == " ":
                    state["last"] = line
                    state["calls"] += 1
                elif m.group(1) == "-done:":
                    state["done"] = line
                elif m.group(1) == "-bad:":
                    state["bad"].append((state["last"], line))
                else:
                    state["extra"].append(line)

        t = threading.Thread(target=reader, daemon=True)
        t.start()
        hung = False
        seen_calls, since = -1, 0.0
        while p.poll() is None:
            time.sleep(0.2)
            used = cpu_seconds(p.pid)
            if used is None:
                continue
            if state["calls"] != seen_calls:
                seen_calls, since = state["calls"], used
            elif used - since > hang:
                hung = True
                p.kill()
                p.wait()
        t.join(10)
        errors.seek(0)
        stderr = errors.read().decode("utf-8", "replace")
    reasons = []
    if hung:
        reasons.append("no call started in %d s of CPU time: a hang" % hang)
    elif p.returncode != 0:
        reasons.append("exit status %d" % p.returncode)
    if any(m in stderr for m in SANITIZER_MARKS):
        reasons.append("sanitizer report")
    if not hung and not state["done"]:
        reasons.append("no closing line")
    for last, bad in state["bad"]:
        reasons.append("%s after %s" % (bad, last))
    return reasons, state, stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kel")
    ap.add_argument("--seeds", default="1")
    ap.add_argument("--calls", type=int, default=2000)
    ap.add_argument("--hang", type=int, default=120, help="CPU seconds one call may take")
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--sanitized", action="store_true", help="no address-space limit (ASan/UBSan build)")
    a = ap.parse_args()
    first, _, last = a.seeds.partition(":")
    seeds = range(int(first), int(last or first) + 1)
    passed = failed = 0
    for seed in seeds:
        reasons, state, stderr = run_seed(os.path.abspath(a.kel), seed, a.calls, a.hang, a.verbose, a.sanitized)
        if a.verbose:
            for line in state["extra"]:
                print(line)
        if reasons:
            failed += 1
            print("FAIL seed %d: %s" % (seed, "; ".join(reasons)))
            print("  last call: %s" % state["last"])
            tail = stderr.strip().splitlines()[-25:]
            for line in tail:
                print("  | " + line)
        else:
            passed += 1
            if a.verbose:
                print("ok seed %d: %s" % (seed, state["done"]))
        sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
