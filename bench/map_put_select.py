m = {}
keys = ["k" + str(i) for i in range(1, 1000001)]
for i in range(1, 1000001):
    m[keys[i - 1]] = i
n = 0
for i in range(1, 1000001):
    n = n + m[keys[i * 37 % 1000000]] % 7
print(len(m), n)
