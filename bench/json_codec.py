import json
import os
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
path = subprocess.run([sys.executable, os.path.join(here, "codec_data.py"), "json"], capture_output=True,
                      text=True, check=True).stdout.strip()
with open(path, encoding="utf-8") as f:
    text = f.read()
t = time.perf_counter()
data = json.loads(text)
out = json.dumps(data, ensure_ascii=False, separators=(",", ":"))
sys.stderr.write("python decode+encode: %.3f s\n" % (time.perf_counter() - t))
print("records:", len(data), "last id:", data[-1]["id"], "tags:", sum(len(r["tags"]) for r in data))
