#!/usr/bin/python3
"""`read` and `write` of http urls against a loopback server this script
starts on an ephemeral port of 127.0.0.1 (and stops at the end); no case
reaches any other address.

The server's /echo route answers with JSON of the request it saw (method,
path, headers in order, body as hex), so a case checks what went out on the
wire; the other routes send fixed raw responses, so a case checks how the
answer comes back. One Kel script prints one line per case; values are
printed in a form Python rebuilds exactly: text as code points, binary as
hex, blocks and maps element by element, errors as category/id.

A failed transfer names libcurl's reason: the curl tool, built on the same
library, is the oracle for the text. A body past the largest binary! stops
the transfer with no-memory (a run that takes about 2 GB for a few seconds;
once per suite, not again under the collector's stress, which adds nothing
to it), and a body past the memory the process may have stops with
libcurl's own out-of-memory reason.

usage: http_loopback.py KEL_BINARY"""
import json
import os
import re
import resource
import socket
import subprocess
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BIG = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(1 << 20))
ALL_BYTES = bytes(range(256))


def raw(status, headers, body=b""):
    head = "HTTP/1.1 %s\r\n" % status
    head += "".join(h + "\r\n" for h in headers)
    head += "Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
    return head.encode("latin-1") + body


# Fixed answers: status line, header lines exactly as sent, body.
ROUTES = {
    "/404": raw("404 Not Found", ["X-Status: missing"], b"gone\n"),
    "/text": raw("200 OK", [], "t\u00e9xt".encode()),
    "/crlf": raw("200 OK", [], b"a\r\nb\r\n\r\nc"),
    "/all-bytes": raw("200 OK", [], ALL_BYTES),
    "/big": raw("200 OK", [], BIG),
    "/204": raw("204 No Content", []).replace(b"Content-Length: 0\r\n", b""),
    "/redirect": raw("302 Found", ["Location: /text"]),
    "/to-file": raw("302 Found", ["Location: file:///etc/passwd"]),
    "/cookies": raw("200 OK", ["Set-Cookie: a=1", "X-One: once", "set-cookie: b=2", "Set-Cookie: c=3"], b"ok"),
    "/empty-value": raw("200 OK", ["X-Empty:", "X-Next: n"], b"ok"),
    "/no-blank": raw("200 OK", ["X-Tight:abc", "X-Tabs: \t v  "], b"ok"),
    "/latin1": raw("200 OK", ["X-Name: caf\xe9"], b"ok"),
    "/loop": raw("302 Found", ["Location: /loop"]),
    "/not-http": b"NOT HTTP AT ALL\r\n\r\n",
}

# The largest binary! holds 0x7FFFFFF0 bytes; the endless bodies stop a
# little past it, so a client that never stops still ends.
LARGEST_BINARY = 0x7FFFFFF0
CHUNK = bytes(1 << 20)
ENDLESS_BYTES = LARGEST_BINARY + (64 << 20)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def __getattr__(self, name):  # every method word the client may send
        if name.startswith("do_"):
            return self.answer
        raise AttributeError(name)

    def answer(self):
        n = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(n) if n else b""
        if self.path in ("/endless", "/announced-huge"):
            self.endless(self.path == "/announced-huge")
            return
        if self.path in ROUTES:
            data = ROUTES[self.path]
            if self.command == "HEAD":
                data = data.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
            self.wfile.write(data)
            self.close_connection = True
            return
        seen = json.dumps({"method": self.command, "path": self.path,
                           "headers": [[k, v] for k, v in self.headers.items()],
                           "body": body.hex()}).encode()
        self.send_response(200)
        self.send_header("X-Method", self.command)
        self.send_header("Content-Length", str(len(seen)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(seen)

    def endless(self, announced):
        """A body of no announced length (or one announced past the largest
        binary) sent until the client stops reading, or ENDLESS_BYTES."""
        length = "Content-Length: %d\r\n" % (LARGEST_BINARY + 1) if announced else ""
        self.wfile.write(("HTTP/1.1 200 OK\r\n%sConnection: close\r\n\r\n" % length).encode())
        try:
            for _ in range(ENDLESS_BYTES // len(CHUNK)):
                self.wfile.write(CHUNK)
        except OSError:
            pass
        self.close_connection = True


HARNESS = r"""Kel []
enc: func [v [any-type!] /local r c k] [
    switch/default type?/word :v [
        string! [r: copy "S" foreach c v [append append r " " to integer! c] r]
        binary! [append copy "X" enbase/base v 16]
        block! [r: copy "B[" foreach c v [append append r enc :c ";"] append r "]"]
        map! [r: copy "M[" foreach [k c] v [append append append append r form k "=" enc :c ";"] append r "]"]
        none! ["N"]
        integer! [mold v]
    ] [append copy "?" mold :v]
]
show: func [code [block!] /local r] [
    either error! = type? set/any 'r try code [
        print append append append copy "E " form r/type "/" form r/id
    ] [print enc get/any 'r]
]
why: func [code [block!] /local r] [
    either error! = type? set/any 'r try code [
        print rejoin ["W " form r/id " " enc form r/arg2]
    ] [print enc get/any 'r]
]
"""


def enc(v):
    if isinstance(v, str):
        return "S" + "".join(" %d" % ord(c) for c in v)
    if isinstance(v, bytes):
        return "X" + v.hex().upper()
    if isinstance(v, list):
        return "B[" + "".join(enc(x) + ";" for x in v) + "]"
    if isinstance(v, dict):
        return "M[" + "".join("%s=%s;" % (k, enc(x)) for k, x in v.items()) + "]"
    if isinstance(v, int):
        return str(v)
    if v is None:
        return "N"
    if isinstance(v, tuple):  # ("E", "category/id")
        return "E " + v[1]
    raise TypeError(v)


DEFAULTS = [["Content-Type", "application/x-www-form-urlencoded"], ["Accept-Charset", "UTF-8"],
            ["User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"]]


def seen(method, headers, body=b"", path="/echo"):
    """What /echo answers for a request: Host first, Content-Length last when
    a body goes out, the caller's headers between them."""
    hs = headers + ([["Content-Length", str(len(body))]] if body is not None else [])
    return {"method": method, "path": path, "headers": hs, "body": (body or b"").hex()}


def echo_cases():
    """(Kel expression giving the /echo answer as binary!, the request the
    server must have seen). Host is checked apart (it names the port)."""
    text = "h\u00e9llo \u4e16\u754c \U0001F600"
    return [
        ("read/binary u/echo", seen("GET", DEFAULTS, None)),
        ("write/binary u/echo []", seen("GET", DEFAULTS, None)),
        ("write/binary u/echo [get [] #{0102}]", seen("GET", [], None)),
        ("write/binary u/echo [Get]", seen("GET", DEFAULTS, None)),
        ("write/binary u/echo \"a=1&b\"", seen("POST", DEFAULTS, b"a=1&b")),
        ("write/binary u/echo [post []]", seen("POST", [], b"")),
        ("write/binary u/echo [post [] #{%s}]" % ALL_BYTES.hex(), seen("POST", [], ALL_BYTES)),
        ("write/binary u/echo [put [] \"%s\"]" % text, seen("PUT", [], text.encode())),
        ("write/binary u/echo [patch [] [a \"b c\" 1.5 [d]]]", seen("PATCH", [], b"a b c 1.5 d")),
        ("write/binary u/echo [delete]", seen("DELETE", DEFAULTS, None)),
        ("write/binary u/echo [delete []]", seen("DELETE", [], None)),
        ("write/binary u/echo [mkCol []]", seen("MKCOL", [], None)),
        ("write/binary u/echo [post [X-A: \"1\" 'X-B 2 :X-C 3.5 \"X-D\" \"\u00e9\" X-E: [p q] X-F \"\"] \"d\"]",
         seen("POST", [["X-A", "1"], ["X-B", "2"], ["X-C", "3.5"], ["X-D", "\u00c3\u00a9"], ["X-E", "p q"],
                       ["X-F", ""]], b"d")),
        ("write/binary u/echo [get [Accept \"text/plain\" Content-Type \"a/b\"]]",
         seen("GET", [["Accept", "text/plain"], ["Content-Type", "a/b"]], None)),
        ("write/binary u/echo [post [X-Odd \"1\" X-Alone] \"d\"]", seen("POST", [["X-Odd", "1"]], b"d")),
        ("write/binary u/echo [post [] %s]" % ("\"" + "x" * 70000 + "\""), seen("POST", [], b"x" * 70000)),
        # A url's text is kept decoded: what may not stand in a request line
        # goes out escaped again, an escape the literal kept goes as it is,
        # and so does one written into the string a url was joined from.
        ("read/binary load rejoin [mold u {/echo%20a%25b%C3%A9%23c%0D%0AX:%20y}]",
         seen("GET", DEFAULTS, None, path="/echo%20a%25b%C3%A9%23c%0D%0AX:%20y")),
        ("read/binary rejoin [u {/echo?q=a%20b&r=[1]}]", seen("GET", DEFAULTS, None, path="/echo?q=a%20b&r=[1]")),
    ]


def answer_cases():
    """(Kel expression, expected value)."""
    passwd = ("E", "access/no-connect")
    return [
        ("read u/text", "t\u00e9xt"),
        ("read/binary u/text", "t\u00e9xt".encode()),
        ("read/lines u/text", ["t\u00e9xt"]),
        ("read u/crlf", "a\nb\n\nc"),
        ("read/lines u/crlf", ["a", "b", "", "c"]),
        ("read/binary u/crlf", b"a\r\nb\r\n\r\nc"),
        ("read/binary u/all-bytes", ALL_BYTES),
        ("read u/all-bytes", ("E", "access/invalid-utf8")),
        ("read/binary u/big", BIG),
        ("read u/404", "gone\n"),
        ("read/info u/404", [404, {"X-Status": "missing", "Content-Length": "5", "Connection": "close"}, "gone\n"]),
        ("read/info/lines u/404", [404, {"X-Status": "missing", "Content-Length": "5", "Connection": "close"},
                                    ["gone"]]),
        ("read/info/binary u/text", [200, {"Content-Length": "5", "Connection": "close"}, "t\u00e9xt".encode()]),
        ("read u/204", ""),
        ("read/binary u/204", b""),
        ("read/lines u/204", []),
        ("write u/text [head]", ""),
        ("write/binary u/text [head []]", b""),
        ("write/info u/404 [HEAD]",
         [404, {"X-Status": "missing", "Content-Length": "5", "Connection": "close"}, ""]),
        ("pick write/info u/echo [head] 3", ""),
        ("select pick write/info u/echo [head] 2 'X-Method", "HEAD"),
        ("read u/redirect", "t\u00e9xt"),
        ("read/info u/redirect", [200, {"Content-Length": "5", "Connection": "close"}, "t\u00e9xt"]),
        ("read/info u/cookies",
         [200, {"Set-Cookie": ["a=1", "b=2", "c=3"], "X-One": "once", "Content-Length": "2", "Connection": "close"},
          "ok"]),
        ("read/info u/empty-value",
         [200, {"X-Empty": "", "X-Next": "n", "Content-Length": "2", "Connection": "close"}, "ok"]),
        ("read/info u/no-blank",
         [200, {"X-Tight": "abc", "X-Tabs": "v  ", "Content-Length": "2", "Connection": "close"}, "ok"]),
        ("select pick read/info u/latin1 2 'X-Name", "caf\u00e9"),
        ("read u/to-file", passwd),
        ("write u/to-file \"x\"", passwd),
        ("write u/to-file [get]", passwd),
        ("read closed", passwd),
        ("write closed [put [] \"x\"]", passwd),
        ("read secure", passwd),
        ("read/part u/text 2", ("E", "internal/not-done")),
        ("write u/echo [get [X-A \"a^/b\"]]", ("E", "script/invalid-arg")),
        ("write u/echo [get [\"X-A^M^/X-B\" \"a\"]]", ("E", "script/invalid-arg")),
        ("write u/echo [post [] 12]", ("E", "script/invalid-arg")),
    ]


def reason_cases():
    """(Kel expression, url path or full url, curl's options): the reason of
    a failed transfer, as the curl tool gives it for the same request."""
    return [
        ("read u/loop", "/loop", ["-L", "--max-redirs", "20"]),
        ("read/binary u/not-http", "/not-http", []),
        ("read closed", None, []),
        ("load u/loop", "/loop", ["-L", "--max-redirs", "20"]),
        ("write u/loop [get]", "/loop", ["-L", "--max-redirs", "20"]),
    ]


def curl_reason(url, options):
    p = subprocess.run(["curl", "-sS", "-o", "/dev/null"] + options + [url], capture_output=True, timeout=120)
    m = re.match(r"curl: \(\d+\) (.*)", p.stderr.decode("utf-8", "replace").strip())
    return m.group(1) if m else "?" + p.stderr.decode("utf-8", "replace")


def same_reason(a, b):
    """Reasons compare without the milliseconds a connection attempt took."""
    return re.sub(r"after \d+ ms", "after N ms", a) == re.sub(r"after \d+ ms", "after N ms", b)


def sanitized(kel):
    p = subprocess.run(["ldd", kel], capture_output=True, text=True)
    return "libasan" in p.stdout


def run_kel(kel, lines, limit_memory=None):
    def limits():
        if limit_memory:
            resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "http.kel")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        return subprocess.run([kel, path], capture_output=True, timeout=300, preexec_fn=limits)


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()  # nothing listens there now
    return port


def main():
    kel = sys.argv[1]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = "http://127.0.0.1:%d" % port
    closed = "http://127.0.0.1:%d/" % closed_port()
    echoes, answers = echo_cases(), answer_cases()
    reasons = [(expr, closed if path is None else base + path, options) for expr, path, options in reason_cases()]
    big = not os.environ.get("KEL_GC_STRESS")
    if big:
        answers += [("read/binary u/announced-huge", ("E", "internal/no-memory")),
                    ("read/binary u/endless", ("E", "internal/no-memory"))]
    lines = [HARNESS, "u: %s" % base, "closed: %s" % closed, "secure: https://127.0.0.1:%d/text" % port]
    for expr, _ in echoes:
        lines.append("r: try [%s] either binary! = type? r [print to string! r] [show [r]]" % expr)
    for expr, _ in answers:
        lines.append("show [%s]" % expr)
    for expr, _, _ in reasons:
        lines.append("why [%s]" % expr)
    failures = []
    try:
        p = run_kel(kel, lines)
        want_reasons = [curl_reason(url, options) for _, url, options in reasons]
        # Memory the process may not have: the endless body stops when the
        # allocation fails, as libcurl's out-of-memory transfer error.
        starved = None
        if big and not sanitized(kel):
            starved = run_kel(kel, [HARNESS, "u: %s" % base, "why [read/binary u/endless]"], 3 << 30)
    finally:
        server.shutdown()
        server.server_close()
    out = p.stdout.decode("utf-8", "replace").split("\n")
    if p.returncode != 0 or len(out) < len(echoes) + len(answers) + len(reasons):
        print("kel failed (%d):\n%s\n%s" % (p.returncode, p.stdout[-2000:], p.stderr[-2000:]))
        return 1
    for (expr, _, _), want, got in zip(reasons, want_reasons, out[len(echoes) + len(answers):]):
        m = re.match(r"W no-connect (S[ 0-9]*)$", got)
        text = "".join(chr(int(c)) for c in m.group(1)[1:].split()) if m else None
        if text is None or not same_reason(text, want):
            failures.append("%s:\n  got  %s\n  want no-connect %r" % (expr, text if m else got, want))
    if starved is not None:
        got = starved.stdout.decode("utf-8", "replace").strip()
        if got != "W no-connect " + enc("Out of memory"):
            failures.append("read/binary u/endless in 3 GB of memory:\n  got  %s\n  %s" % (
                got, starved.stderr.decode("utf-8", "replace")[-500:]))
    for (expr, want), got in zip(echoes, out):
        try:
            saw = json.loads(got)
        except ValueError:
            failures.append("%s:\n  got  %r" % (expr, got[:300]))
            continue
        host = saw["headers"][:1]
        if host != [["Host", "127.0.0.1:%d" % port]]:
            failures.append("%s: Host %r" % (expr, host))
        saw["headers"] = saw["headers"][1:]
        if saw != want:
            failures.append("%s:\n  got  %r\n  want %r" % (expr, saw, want))
    for (expr, want), got in zip(answers, out[len(echoes):]):
        if got != enc(want):
            failures.append("%s:\n  got  %s\n  want %s" % (expr, got[:300], enc(want)[:300]))
    for f in failures:
        print(f)
    print("%d cases, %d failed" % (len(echoes) + len(answers) + len(reasons) + (starved is not None),
                                   len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
