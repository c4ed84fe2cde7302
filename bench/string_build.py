parts = []
for i in range(1, 1000001):
    parts.append("ab")
print(len("".join(parts)))
