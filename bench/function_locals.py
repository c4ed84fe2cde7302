# The same work in Python: collect 100,000 distinct local names, then give
# 100,000 names one shared value.
n = 100000
body = []
for i in range(1, n + 1):
    body.append("v%d" % i)
    body.append(i)
seen = set()
spec = ["/local"]
for item in body:
    if isinstance(item, str) and item not in seen:
        seen.add(item)
        spec.append(item)
fields = dict.fromkeys(("w%d" % i for i in range(1, n + 1)), 1)
print(len(spec), len(fields))
