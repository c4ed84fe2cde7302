#!/usr/bin/python3
"""Scripts run by `do` of a file or url, and the cache of remote files.

Fixture scripts are written into a temporary folder (and a subfolder of it);
each prints the folder it runs in and its header's title, so a case shows
the folder during and after `do`, what a failing script leaves behind, and
the script object seen by nested scripts. The cache cases run against a
loopback HTTP server on an ephemeral port of 127.0.0.1 that counts the
requests of each path (no other address is reached), with XDG_CACHE_HOME
pointing into the temporary folder; the cache file names are checked
against Python's hashlib.

usage: do_file.py KEL_BINARY"""
import hashlib
import os
import struct
import shutil
import sys
import tempfile
import threading
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from kel_script import EMIT_PRELUDE, run

# name -> bytes of the fixture scripts, relative to the base folder
FIXTURES = {
    "sub/show.kel": b'Kel [Title: "show"]\nprint [what-dir system/script/header/title]\n'
                    b'print mold system/state/source-files\n\'shown\n',
    "sub/bang.kel": b'#!/usr/bin/env kel\nsome text first\nKel [Title: "bang"]\n'
                    b'print system/script/header/title\n1 + 2\n',
    "sub/tight.kel": b'Kel\t\r\n [Title: "tight"] 7\n',
    "sub/none.kel": b'print "never"\nkel [lower case is not a header]\n',
    "sub/system.kel": b'Kel/System [Title: "sys"]\nprint "never"\n',
    "sub/fail.kel": b'Kel [Title: "fail"]\nprint what-dir\n1 / 0\nprint "never"\n',
    "sub/halt.kel": b'Kel []\nprint "before"\nhalt\nprint "never"\n',
    "sub/args.kel": b'Kel []\nsystem/script/args\n',
    "sub/outer.kel": b'Kel [Title: "outer"]\nx: do %inner/inner.kel\n'
                     b'print [what-dir system/script/header/title]\n'
                     b'reduce [x length? system/state/source-files]\n',
    "sub/inner/inner.kel": b'Kel [Title: "inner"]\nprint [what-dir system/script/header/title '
                           b'system/script/parent/header/title]\nlength? system/state/source-files\n',
    "sub/known-currency.kel": b'Kel [Title: "cur" currencies: [EUR]]\nprint "never"\n',
    "sub/new-currency.kel": b'Kel [currencies: [QQZ]]\nload "QQZ$12.50"\n',
    "sub/crlf.kel": b'Kel [Title: "crlf"]\r\ns: {a\r\nb}\r\nlength? s\r\n',
    "sub/directives.kel": b'Kel []\n#if 1 = 2 [print "never"]\n#macro twice: func [x] [x * 2]\n'
                          b'twice 21\n',
    "sub/include.kel": b'Kel []\n#include %part.kel\nreduce [part-value part-depth]\n',
    "sub/part.kel": b'Kel []\npart-value: 5\npart-depth: length? system/state/source-files\n',
    "sub/error-value.kel": b'Kel []\nmake error! [type: \'user id: \'message arg1: "kept"]\n',
    "sub/script-path.kel": b'Kel []\nsystem/script/path\n',
    "sub/wander.kel": b'Kel []\nchange-dir %inner/\nwhat-dir\n',
}

# The remote files the server hands out, and the requests it saw.
REMOTE = {
    "/data.txt": b"remote text\n",
    "/DATA.txt": b"other case\n",
    "/bytes.bin": bytes([0, 1, 254, 255]),
    "/values.kel": b"1 [a b] \"s\"",
    "/script.kel": b"print \"remote ran\" 6 * 7",
    "/dir-in-way.txt": b"still returned",
    "/headed-thru.kel": b'Kel [Title: "through the cache"]\n6 * 7\n',
    "/headed.kel": b'#!/usr/bin/env kel\r\nKel [Title: "remote"]\r\n'
                   b'reduce [system/script/header/title system/script/path what-dir = here]\r\n',
    "/not.json": b"not json",
}


def png_bytes(width, height, rgb):
    """A PNG of one colour, 8-bit RGB."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(rgb) * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


# A page whose content type picks a codec: load decodes it, and the cache
# must give back that value, not its molded text.
REMOTE["/pixel.png"] = png_bytes(2, 1, (255, 0, 0))
CONTENT_TYPES = {"/pixel.png": "image/png"}
HITS = {}
HITS_LOCK = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with HITS_LOCK:
            HITS[self.path] = HITS.get(self.path, 0) + 1
        body = REMOTE.get(self.path)
        if body is None:
            self.send_response(404)
            body = b"missing"
        else:
            self.send_response(200)
        self.send_header("Content-Type", CONTENT_TYPES.get(self.path, "text/plain"))
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def md5_name(url):
    return hashlib.md5(url.encode()).hexdigest().upper()


def check(cases, lines):
    """cases: (label, wanted line) pairs, in the order the script prints."""
    failed = 0
    if len(lines) != len(cases):
        print("printed %d lines for %d expected" % (len(lines), len(cases)))
        failed += 1
    for (label, want), got in zip(cases, lines):
        if got != want:
            failed += 1
            print("FAIL %s | got: %s | expected: %s" % (label, got, want))
    return failed


def do_cases(kel, base):
    """`do` of script files: the folder, the header, the script object."""
    b = base.rstrip("/") + "/"
    sub = b + "sub/"
    lines = ["Kel []"] + EMIT_PRELUDE + [
        # the console's halt where it is not yet part of the library
        "unless value? 'halt [halt: does [throw/name 'halt-request 'console]]",
        "change-dir to file! {%s}" % b,
        "top: system/script",
        "state: does [print mold reduce [what-dir system/state/source-files same? top system/script]]",
    ]
    cases = []

    def case(expr, *want):
        lines.append("emit [%s]" % expr)
        cases.extend((expr, w) for w in want)

    def state(label):
        lines.append("state")
        cases.append((label, "[%%%s [] true]" % b))

    case("do %sub/show.kel", "%s show" % sub, "[%sub/show.kel]", "shown")
    state("after show")
    case("do %sub/bang.kel", "bang", "3")
    case("do %sub/tight.kel", "7")
    case("do %sub/none.kel", "!no-header")
    case("do %sub/system.kel", "!kel-system")
    state("after refused headers")
    case("do %sub/fail.kel", sub, "!zero-divide")
    state("after a failing script")
    case("type? do %sub/halt.kel", "before", "(halted)", "unset!")
    state("after halt")
    case("do/args %sub/args.kel [1 two]", "[1 two]")
    case("do %sub/args.kel", "none")
    case("do %sub/outer.kel", "%sinner/ inner outer" % sub, "%s outer" % sub, "[2 1]")
    state("after nested scripts")
    # the header's currency already listed: refused, and nothing left behind
    case("do %sub/known-currency.kel", "!protected")
    state("after a refused currency")
    case("do %sub/new-currency.kel", "QQZ$12.50")
    case("last system/locale/currencies/list", "QQZ")
    case("do %sub/crlf.kel", "3")
    case("do %sub/directives.kel", "42")
    # the script is user code: its #include reads the file at run time, as
    # a nested script
    case("do %sub/include.kel", "[5 2]")
    # an error value that the script answers is its value, not a failure
    case("type? do %sub/error-value.kel", "error!")
    case("do %sub/script-path.kel", "%" + sub)
    # a script that moves elsewhere: the caller's folder comes back
    case("do %sub/wander.kel", "%" + sub + "inner/")
    state("after a script that changed folder")
    case("do %sub/missing.kel", "!cannot-open")
    # do-file runs as typed code would: a library function it calls (here
    # change-dir) shows its steps to a tracer
    lines.append("seen: false cb: func [event code offset value [any-type!] ref frame] "
                 "[if all [block? code find head code 'normalize-dir] [seen: true]]")
    case("do/trace %sub/tight.kel :cb seen", "true")
    state("after a traced script")
    state("at the end")
    p = run(kel, lines)
    failed = check(cases, p.stdout.splitlines())
    if p.returncode != 0:
        print("exit %d: %s" % (p.returncode, p.stderr.strip()[:400]))
        failed += 1
    return len(cases), failed


def cache_cases(kel, base, port):
    """path-thru names, and read-thru, load-thru, do-thru through the cache."""
    cache_home = os.path.join(base, "xdg")
    root = cache_home + "/kel/cache/"
    u = "http://127.0.0.1:%d" % port
    lines = ["Kel []"] + EMIT_PRELUDE
    cases = []

    def case(expr, want):
        lines.append("emit [%s]" % expr)
        cases.append((expr, want))

    for path in ("/data.txt", "/DATA.txt"):
        name = md5_name(u + path)
        case("path-thru %s%s" % (u, path), "%%%s%s/%s" % (root, name[:2], name))
    case("system/options/thru-cache", "%" + root)
    case("exists-thru? %s/data.txt" % u, "false")
    case("read-thru %s/data.txt" % u, '"remote text^/"')
    case("exists-thru? %s/data.txt" % u, "true")
    case("exists-thru? path-thru %s/data.txt" % u, "true")
    case("exists-thru? %%%s" % (base + "/nothing"), "false")
    case("exists-thru? %%%s" % (base + "/sub/show.kel"), "true")
    case("read-thru %s/data.txt" % u, '"remote text^/"')
    case("read-thru/update %s/data.txt" % u, '"remote text^/"')
    case("read-thru/binary %s/bytes.bin" % u, "#{0001FEFF}")
    case("read-thru/binary %s/bytes.bin" % u, "#{0001FEFF}")
    case("read-thru %s/DATA.txt" % u, '"other case^/"')
    case("load-thru %s/values.kel" % u, '[1 [a b] "s"]')
    case("load-thru %s/values.kel" % u, '[1 [a b] "s"]')
    case("load-thru/update %s/values.kel" % u, '[1 [a b] "s"]')
    case("do-thru %s/script.kel" % u, "42")
    case("do-thru %s/script.kel" % u, "42")
    case("do-thru/update %s/script.kel" % u, "42")
    # a script's header is not run: it comes back from the cache as well
    case("do-thru %s/headed-thru.kel" % u, "42")
    case("do-thru %s/headed-thru.kel" % u, "42")
    # a folder where the cache file would go: the write fails quietly
    case("make-dir path-thru %s/dir-in-way.txt" % u, "%%%s/" % (root + md5_name(u + "/dir-in-way.txt")[:2] + "/" +
                                                          md5_name(u + "/dir-in-way.txt")))
    case("read-thru/update %s/dir-in-way.txt" % u, '"still returned"')
    case("load-thru/update %s/dir-in-way.txt" % u, "[still returned]")
    case("read-thru %s/nothing-here" % u, '"missing"')
    # a failed load is not cached: the second call fails the same way and
    # goes to the server again
    case("type? load-thru %s/gone.kel" % u, "none!")
    case("type? load-thru %s/gone.kel" % u, "none!")
    case("exists-thru? %s/gone.kel" % u, "false")
    case("load-thru/as %s/not.json 'json" % u, "!message")
    case("load-thru/as %s/not.json 'json" % u, "!message")
    case("read-thru %s/not.json" % u, '"not json"')
    # an image decoded by the content type does not survive being saved as
    # code: it is not cached, so it comes back an image every time, and
    # read-thru keeps the page's own bytes
    case("i: load-thru %s/pixel.png reduce [type? i i/size i/1]" % u, "[image! 2x1 255.0.0.0]")
    case("i: load-thru %s/pixel.png reduce [type? i i/size i/1]" % u, "[image! 2x1 255.0.0.0]")
    case("(read-thru/binary %s/pixel.png) = %s" % (u, "#{%s}" % REMOTE["/pixel.png"].hex()), "true")
    # a script by url runs where the caller is, with no folder of its own
    case("here: what-dir do %s/headed.kel" % u, '["remote" none true]')
    p = run(kel, lines, extra_env={"XDG_CACHE_HOME": cache_home})
    out = [l for l in p.stdout.splitlines() if l != "remote ran"]
    ran = p.stdout.splitlines().count("remote ran")
    failed = check(cases, out)
    if p.returncode != 0:
        print("exit %d: %s" % (p.returncode, p.stderr.strip()[:400]))
        failed += 1
    # each path is fetched once, and again for every /update
    want_hits = {"/data.txt": 2, "/DATA.txt": 1, "/bytes.bin": 1, "/values.kel": 2, "/script.kel": 2,
                 "/dir-in-way.txt": 2, "/nothing-here": 1, "/headed.kel": 1,
                 "/headed-thru.kel": 1, "/gone.kel": 2, "/not.json": 3, "/pixel.png": 3}
    if HITS != want_hits:
        print("FAIL requests seen %s | expected %s" % (sorted(HITS.items()), sorted(want_hits.items())))
        failed += 1
    if ran != 3:
        print("FAIL the remote script ran %d times, expected 3" % ran)
        failed += 1
    cached = os.path.join(root, md5_name(u + "/data.txt")[:2], md5_name(u + "/data.txt"))
    if not os.path.isfile(cached) or open(cached, "rb").read() != REMOTE["/data.txt"]:
        print("FAIL the cache file of /data.txt is missing or wrong")
        failed += 1
    return len(cases) + 3, failed


def main():
    kel = sys.argv[1]
    base = tempfile.mkdtemp(prefix="kel_do_file_")
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        for name, data in FIXTURES.items():
            path = os.path.join(base, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        n1, f1 = do_cases(kel, base)
        n2, f2 = cache_cases(kel, base, server.server_address[1])
    finally:
        server.shutdown()
        server.server_close()
        shutil.rmtree(base, ignore_errors=True)
    print("%d passed, %d failed" % (n1 + n2 - f1 - f2, f1 + f2))
    sys.exit(1 if f1 + f2 else 0)


if __name__ == "__main__":
    main()
