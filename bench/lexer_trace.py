import re
line = "é" + " 1 [a]" * 100000
n = sum(1 for _ in re.finditer(r"[^\s\[\]]+", line))
print(n)
