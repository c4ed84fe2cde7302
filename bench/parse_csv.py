# Twin of parse_csv.kel: the same generator, the fields found by re.findall,
# which alone is timed.
import re
import time

x = 12345


def next_x():
    global x
    x = (x * 1103 + 12345) % 1000003
    return x


letters = "abcdefghijklmnopqrstuvwxyz0123456789"
parts = []
size = 0
while size < 200000:
    line = []
    for _ in range(8):
        n = 1 + next_x() % 12
        line.append("".join(letters[next_x() % 36] for _ in range(n)))
    s = ",".join(line) + "\n"
    parts.append(s)
    size += len(s)
text = "".join(parts) * 100
t = time.perf_counter()
fields = re.findall(r"([^,\n]*)[,\n]", text)
print("re.findall fields:", len(fields), "time: %.3f s" % (time.perf_counter() - t))
