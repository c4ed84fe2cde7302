a = []
b = []
for i in range(1, 1000001):
    a.append(i % 500000)
    b.append(i * 3 % 1400011)
print(len(list(dict.fromkeys(a))))
print(len(list(dict.fromkeys(a + b))))
in_b = set(b)
print(len([x for x in dict.fromkeys(a) if x in in_b]))
print(len([x for x in dict.fromkeys(a) if x not in in_b]))
in_a = set(a)
print(len([x for x in dict.fromkeys(a) if x not in in_b] + [x for x in dict.fromkeys(b) if x not in in_a]))
