#!/usr/bin/python3
"""HTTP over the loopback: 1,000 sequential GETs of a 1 KB body, then one
100 MB download, by `kel` (read and read/binary of http urls) beside
Python's urllib.request, against one server this script starts on an
ephemeral port of 127.0.0.1. Best of three runs each. Not part of `make test`.

usage: bench/http_requests.py [KEL_BINARY]   (default: build/kel)"""
import os
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
RUNS = 3
BODIES = {"/kb": b"k" * 1024, "/big": bytes(range(256)) * (100 * 1024 * 1024 // 256)}


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        body = BODIES.get(self.path, b"")
        self.send_response(200 if self.path in BODIES else 404)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


KEL = """Kel []
u: http://127.0.0.1:{port}
t: now/precise
loop 1000 [b: read u/kb]
print length? b
print ["gets" difference now/precise t]
t: now/precise
b: read/binary u/big
print length? b
print ["download" difference now/precise t]
"""

PY = """import time, urllib.request
u = "http://127.0.0.1:{port}"
t = time.perf_counter()
for _ in range(1000):
    b = urllib.request.urlopen(u + "/kb").read().decode()
print(len(b))
print("gets %.3f s" % (time.perf_counter() - t))
t = time.perf_counter()
b = urllib.request.urlopen(u + "/big").read()
print(len(b))
print("download %.3f s" % (time.perf_counter() - t))
"""


def best(argv):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        p = subprocess.run(argv, capture_output=True, text=True)
        times.append(time.perf_counter() - start)
        if p.returncode != 0:
            sys.exit("failed: %s %s" % (argv, p.stderr))
    return min(times), p.stdout


def main():
    kel = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "kel")
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        with tempfile.TemporaryDirectory() as d:
            k_path, p_path = os.path.join(d, "b.kel"), os.path.join(d, "b.py")
            with open(k_path, "w") as f:
                f.write(KEL.format(port=port))
            with open(p_path, "w") as f:
                f.write(PY.format(port=port))
            k, kout = best([kel, k_path])
            p, pout = best([PYTHON, p_path])
    finally:
        server.shutdown()
        server.server_close()
    print("kel    %.3f s in all, last run: %s" % (k, " ".join(kout.split())))
    print("python %.3f s in all, last run: %s" % (p, " ".join(pout.split())))
    print("kel/py %.2f" % (k / p))


if __name__ == "__main__":
    main()
