s = "alpha,be,gamma," * 699050
b = s.split(",")
print(len(b))
print(b[-1])
print(b[2])
