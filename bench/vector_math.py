from array import array
n = 10000000
v = array('i', bytes(4 * n))
f = array('d', bytes(8 * n))
for i in range(n):
    f[i] += 1.0
for r in range(3):
    for i in range(n):
        v[i] += 1
for r in range(3):
    for i in range(n):
        f[i] *= 1.5
print(v[0], v[n - 1], f[n - 1])
