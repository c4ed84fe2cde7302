import os
s = "0123456789abcdefghi\n"
for _ in range(20):
    s += s
f = "/tmp/kel-bench-file-lines.py.txt"
with open(f, "w") as h:
    h.write(s)
for _ in range(3):
    with open(f) as h:
        b = h.readlines()
os.remove(f)
print(len(b))
