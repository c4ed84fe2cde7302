b = [i * 2 for i in range(1, 1000001)]
print(len(b))
print(b[-1])
