#!/usr/bin/python3
"""`load` and `save` over files and http urls.

Files live in a fresh temporary folder; urls go to a loopback server this
script starts on an ephemeral port of 127.0.0.1 (and stops at the end), whose
routes answer chosen statuses, bodies and Content-Type lines (the header's
name in several cases, as HTTP/1.1 and HTTP/2 servers send it). A codec the
script registers, `rec`, records every call it gets, so a case shows which
codec a file suffix or a content type reached and with what.

usage: load_save_io.py KEL_BINARY"""
import os
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kel_script import run  # noqa: E402


def raw(status, headers, body):
    head = "HTTP/1.1 %s\r\n" % status + "".join(h + "\r\n" for h in headers)
    head += "Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
    return head.encode("latin-1") + body


ROUTES = {
    "/missing": raw("404 Not Found", ["Content-Type: text/x-rec"], b"1 2"),
    "/error": raw("500 Internal Server Error", [], b"1 2"),
    "/rec": raw("200 OK", ["Content-Type: text/x-rec"], b"[body]"),
    "/rec-lower": raw("200 OK", ["content-type: text/x-rec; charset=utf-8"], b"low"),
    "/rec-upper": raw("200 OK", ["CONTENT-TYPE: TEXT/X-REC"], b"up"),
    "/code": raw("200 OK", ["Content-Type: text/plain"], b"a [b] 3"),
    "/one": raw("200 OK", ["Content-Type: application/octet-stream"], b"42"),
    "/none": raw("200 OK", [], "x \"\u00e9\"".encode()),
}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.wfile.write(ROUTES.get(self.path, raw("404 Not Found", [], b"")))
        self.close_connection = True


# One line per case: the result molded flat, or "!" and the error's id.
EMIT = [
    "emit: func [code /local r] [",
    "    r: try code print either error! = type? :r [append copy {!} form r/id] [mold/flat :r]",
    "]",
]
SETUP = [
    "calls: copy []",
    "rec: make object! [",
    "    title: \"Recorder\" name: 'rec mime-type: [text/x-rec] suffixes: [%.rec %.r2]",
    "    encode: func [data where] [append/only calls reduce ['encode :data where] \"ENC\"]",
    "    decode: func [data] [append/only calls reduce ['decode data] 'DEC]",
    "]",
    # a codec that writes the file itself answers the file's name
    "self-writer: make object! [",
    "    title: \"\" name: 'self-writer mime-type: [] suffixes: [%.own]",
    "    encode: func [data where] [write where \"own\" where]",
    "    decode: func [data] [none]",
    "]",
    "append system/codecs reduce ['rec rec 'self-writer self-writer]",
    "calls-of: func [code] [clear calls do code copy/deep calls]",
]


def cases(d):
    """(Kel expression, wanted molded result or "!" and an error id)."""
    return [
        # suffixes choose the codec: it gets the file itself
        ("save d/x.rec [1 2] read d/x.rec", '"ENC"'),
        ("calls-of [save d/x.rec [1 2]]", "[[encode [1 2] %%%sx.rec]]" % d),
        ("calls-of [save d/x.R2 7]", "[[encode 7 %%%sx.R2]]" % d),
        ("load d/x.rec", "DEC"),
        ("calls-of [load d/x.rec]", "[[decode %%%sx.rec]]" % d),
        ("calls-of [load d/absent.rec]", "[[decode %%%sabsent.rec]]" % d),
        # /as none: no codec, the file is text
        ("save/as d/t.rec [a b] none read d/t.rec", '"a b"'),
        ("load/as d/t.rec none", "[a b]"),
        ("calls-of [save/as d/t.rec [a b] none load/as d/t.rec none]", "[]"),
        # /as with a name: that codec, whatever the suffix
        ("calls-of [save/as d/y.txt 5 'rec]", "[[encode 5 %%%sy.txt]]" % d),
        ("read d/y.txt", '"ENC"'),
        ("calls-of [load/as d/y.txt 'rec]", "[[decode %%%sy.txt]]" % d),
        # an encoder that answers the destination has written it itself
        ("save d/z.own [1] read d/z.own", '"own"'),
        ("save/as d/z.txt [1] 'self-writer read d/z.txt", '"own"'),
        # plain files: molded text out, scanned values back
        ('save d/p.txt [a "b" 1.5 [c]] read d/p.txt', '{a "b" 1.5 [c]}'),
        ('save d/p.txt [a "b" 1.5 [c]] load d/p.txt', '[a "b" 1.5 [c]]'),
        ('save d/q.txt "é" load d/q.txt', '"é"'),
        ("save d/q.kel 1 load d/q.kel", "1"),
        ("save/all d/q.txt [1 #(none)] read d/q.txt", '"1 #(none)^/"'),
        ("save/header d/h.kel [x] [Title: \"T\"] read d/h.kel", '{Kel [^/^-Title: "T"^/]^/^/x}'),
        ("save/header d/h.kel [x] [Title: \"T\"] load d/h.kel", '[Kel [Title: "T"] x]'),
        ("save/length d/h.kel [x] load d/h.kel", "[Kel [length: 1] x]"),
        ("save d/n [1 2] load d/n", "[1 2]"),
        ("save d/n [1 2] load/part d/n 1", "1"),
        ("save d/n [1 2] load/next d/n 'pos  pos", "#{2032}"),
        ("write d/bad.txt \"1 [\" first load/trap d/bad.txt", "[1]"),  # the values read before the error
        ("write d/bad.txt \"1 [\" load d/bad.txt", "!missing"),
        ("load d/nothing-here.txt", "!cannot-open"),
        # a folder name loads as its listing
        ("s: append copy d %sub/ make-sub s write d/sub/f.txt \"\" load s", "[%f.txt]"),
        # urls: 200 only; the content type picks the codec, in any case
        ("load u/missing", "none"),
        ("load u/error", "none"),
        ("load u/absent", "none"),
        ("calls-of [load u/rec]", "[[decode #{5B626F64795D}]]"),
        ("load u/rec", "DEC"),
        ("calls-of [load u/rec-lower]", "[[decode #{6C6F77}]]"),
        ("calls-of [load u/rec-upper]", "[[decode #{7570}]]"),
        ("load u/code", "[a [b] 3]"),
        ("load/all u/one", "[42]"),
        ("load u/one", "42"),
        ("load u/none", '[x "é"]'),
        ("calls-of [load/as u/rec none]", "[]"),
        ("load/as u/rec none", "[body]"),
        ("calls-of [load/as u/code 'rec]", "[[decode #{61205B625D2033}]]"),
    ]


def main():
    kel = sys.argv[1]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    failed = 0
    try:
        with tempfile.TemporaryDirectory() as tmp:
            d = tmp.rstrip("/") + "/"
            table = cases(d)
            lines = ["Kel []"] + EMIT + SETUP + [
                "d: %%%s" % d,
                "u: http://127.0.0.1:%d" % server.server_address[1],
                "make-sub: func [f] [if not exists? f [create-dir f]]",
            ] + ["emit [%s]" % expr for expr, _ in table]
            p = run(kel, lines, timeout=300)
    finally:
        server.shutdown()
        server.server_close()
    got = p.stdout.splitlines()
    if len(got) != len(table):
        print("kel printed %d lines for %d cases (exit %d): %s" % (len(got), len(table), p.returncode,
                                                                  p.stderr.strip()[:500]))
        failed += 1
    for (expr, want), line in zip(table, got):
        if line != want:
            failed += 1
            print("FAIL %s | got: %s | expected: %s" % (expr, line, want))
    print("%d cases, %d failed" % (len(table), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
