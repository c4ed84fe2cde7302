a = [(i % 50000, "x") for i in range(1, 100001)]
b = [(i * 3 % 140011, "x") for i in range(1, 100001)]
print(len(dict.fromkeys(a)))
in_b = set(b)
print(len([x for x in dict.fromkeys(a) if x not in in_b]))
print(len([x for x in dict.fromkeys(a) if x in in_b]))
