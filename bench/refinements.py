def f(a, twice=False, add=None):
    if twice:
        a = a * 2
    if add is not None:
        a = a + add
    return a
s = 0
for i in range(1, 1000001):
    s += f(i, twice=True, add=1) - i - i
print(s)
