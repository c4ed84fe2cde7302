n = 0
for i in range(1, 100001):
    try:
        i // 0
    except ZeroDivisionError:
        n += 1
print(n)
