b = [i * 3 for i in range(1, 1000001)]
h = {}
for p, v in enumerate(b):
    h.setdefault(v, p + 1)
n = 0
for i in range(1, 1000001):
    n = n + h[(i * 37 % 1000000 + 1) * 3] % 7
m = 0
for i in range(1, 1001):
    m = m + b.index((i * 37 % 1000000 + 1) * 3) + 1
print(n, m)
