b = [(i, i * 2) for i in range(1, 100001)]
h = {v: k for k, v in enumerate(b)}
n = sum(1 for v in b if v in h)
print(n)
