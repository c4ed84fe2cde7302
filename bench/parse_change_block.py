b = []
for _ in range(250000):
    b.append("a")
    b.append(["a", "b"])


def replace_deep(block, old, new):
    for i, v in enumerate(block):
        if isinstance(v, list):
            replace_deep(v, old, new)
        elif v == old:
            block[i] = new


replace_deep(b, "a", "x")
for i, v in enumerate(b):
    if v == "b":
        b[i] = "y"
    elif isinstance(v, list):
        for j, w in enumerate(v):
            if w == "a":
                v[j] = "z"


def mold(v):
    return "[" + " ".join(mold(w) for w in v) + "]" if isinstance(v, list) else v


print(len(b))
print(mold(b[:6]))
