w = 1000
h = 1000
img = bytearray(b"\xff" * (4 * w * h))  # B G R A per pixel
i = 0
for y in range(1, h + 1):
    for x in range(1, w + 1):
        p = 4 * i
        img[p] = (x + y) % 256
        img[p + 1] = y % 256
        img[p + 2] = x % 256
        img[p + 3] = 255
        i += 1
data = bytearray(3 * w * h)
for k in range(w * h):
    data[3 * k] = img[4 * k + 2]
    data[3 * k + 1] = img[4 * k + 1]
    data[3 * k + 2] = img[4 * k]
s = 0
i = 1
while i <= len(data):
    s += data[i - 1]
    i += 997
print(len(data), s)
