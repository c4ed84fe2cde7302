import csv
import io
import os
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
path = subprocess.run([sys.executable, os.path.join(here, "codec_data.py"), "csv"], capture_output=True,
                      text=True, check=True).stdout.strip()
with open(path, encoding="utf-8", newline="") as f:
    text = f.read()
t = time.perf_counter()
rows = list(csv.reader(io.StringIO(text)))
buf = io.StringIO()
csv.writer(buf, lineterminator="\n").writerows(rows)
out = buf.getvalue()
sys.stderr.write("python read+write: %.3f s\n" % (time.perf_counter() - t))
print("rows:", len(rows), "fields:", sum(len(r) for r in rows), "last:", rows[-1][0])
