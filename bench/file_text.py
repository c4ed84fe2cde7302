import os
s = "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n"
for _ in range(21):
    s += s
f = "/tmp/kel-bench-file-text.py.txt"
for _ in range(3):
    with open(f, "w", encoding="utf-8") as h:
        h.write(s)
    with open(f, encoding="utf-8", newline=None) as h:
        s = h.read()
os.remove(f)
print(len(s))
