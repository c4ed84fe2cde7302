n = 400000
b = list(range(1, n + 1))
p = tuple(b)
h = dict.fromkeys(b)
s = "".join("ab"[i % 2] for i in range(1, n + 1))
t = bytes(i % 256 for i in range(1, n + 1))
b = [x for x in b if x % 2 == 0]
p = tuple(x for x in p if x % 2 == 0)
h = dict.fromkeys(x for x in h if x % 2 == 0)
s = "".join(c for c in s if c != "a")
t = bytes(c for c in t if c % 2 == 0)
print(len(b), len(p), len(h), len(s), len(t))
keys = list(h)
print(b[-1], keys[keys.index(399998) + 1])
