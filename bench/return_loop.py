def f(x):
    if x > 0:
        return x + 1
    return 0
s = 0
for i in range(1, 1000001):
    s += f(i) - i
print(s)
