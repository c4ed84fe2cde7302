b = ["a", "b"] * 500000
out = []
for v in b:
    if v == "a":
        out.extend(["x", "y"])
    else:
        out.append(v)
b = out
print(len(b))
print("[" + " ".join(b[:6]) + "]")
