# Twin of parse_tokens.kel: the same generator, the tokens found by
# re.findall with the same three classes, which alone is timed.
import re
import time

x = 1


def next_x():
    global x
    x = (x * 1103 + 12345) % 1000003
    return x


letters = "abcdefghijklmnopqrstuvwxyz"
digits = "0123456789"
puncts = ".,;:!?"
parts = []
size = 0
while size < 100000:
    k = next_x() % 3
    n = 1 + next_x() % 8
    if k == 0:
        s = "".join(letters[next_x() % 26] for _ in range(n))
    elif k == 1:
        s = "".join(digits[next_x() % 10] for _ in range(n))
    else:
        s = puncts[next_x() % 6]
    parts.append(s + " ")
    size += len(s) + 1
text = "".join(parts) * 100
t = time.perf_counter()
tokens = re.findall(r"[a-z]+|[0-9]+|[.,;:!?]", text)
print("re.findall tokens:", len(tokens), "time: %.3f s" % (time.perf_counter() - t))
