n = 0
while n < 10000000:
    n = n + 1
print(n)
