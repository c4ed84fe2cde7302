src = list(range(1, 200001))
b = list(src)
b[1:1] = src
b[1:1] = src
print(len(b))
