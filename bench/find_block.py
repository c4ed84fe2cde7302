b = ["w" + str(i) for i in range(1, 101)]
keys = list(b)
n = 0
for i in range(1, 200001):
    n = n + b.index(keys[i * 37 % 100]) + 1
print(n)
