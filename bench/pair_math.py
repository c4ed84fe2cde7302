# pair arithmetic and axis paths: a million steps of a wrapping position
x, y = 0, 0
for _ in range(1000000):
    x, y = x + 3, y + 1
    if x > 1000:
        x = x - 1000
print("%dx%d" % (x, y))
