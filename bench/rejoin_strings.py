b = [["ab", "cde", "f"][i % 3] for i in range(1, 1000001)]
s = "".join(b)
print(len(s))
