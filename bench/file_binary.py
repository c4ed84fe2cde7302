import os
b = b"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n"
for _ in range(21):
    b += b
f = "/tmp/kel-bench-file-binary.py.bin"
for _ in range(3):
    with open(f, "wb") as h:
        h.write(b)
    with open(f, "rb") as h:
        b = h.read()
os.remove(f)
print(len(b))
