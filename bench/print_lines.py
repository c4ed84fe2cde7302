for i in range(1, 1000001):
    print(i)
