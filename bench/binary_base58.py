ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def b58encode(data):
    zeros = len(data) - len(data.lstrip(b"\0"))
    n = int.from_bytes(data, "big")
    digits = []
    while n:
        n, r = divmod(n, 58)
        digits.append(ALPHABET[r])
    return "1" * zeros + "".join(reversed(digits))


def b58decode(text):
    zeros = len(text) - len(text.lstrip("1"))
    n = 0
    for c in text:
        n = n * 58 + ALPHABET.index(c)
    return b"\0" * zeros + (n.to_bytes((n.bit_length() + 7) // 8, "big") if n else b"")


data = bytes.fromhex("00FF7E3C1881A55A") * 2560
t58 = b58encode(data)
back58 = b58decode(t58)
print(len(t58), "true" if back58 == data else "false")
