b = bytearray()
for _ in range(10000000):
    b.append(7)
print(len(b))
