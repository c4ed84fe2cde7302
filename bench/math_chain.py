v = 2
for _ in range(200000):
    v = v * 3 // 3
print(v)
