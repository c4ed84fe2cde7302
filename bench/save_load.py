import json
import os

b = []
for i in range(1, 250001):
    b += [i, i * 0.5, "text \u00e9", [i, "x"]]
f = "/tmp/kel-bench-save-load.json"
with open(f, "w", encoding="utf-8") as h:
    json.dump(b, h, ensure_ascii=False)
with open(f, encoding="utf-8") as h:
    c = json.load(h)
os.remove(f)
print(len(c), "true" if c == b else "false")
