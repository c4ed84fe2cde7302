b = []
for i in range(1, 1000001):
    b.append(i % 100)
total = 0
for _ in range(10):
    for v in b:
        total = total + v
print(total)
