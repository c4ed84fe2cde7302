b = []
x = 1
for _ in range(1000000):
    x = (x * 1103 + 12345) % 1000003
    b.append(x)
b.sort()
print(b[0], b[499999], b[-1])
