import hashlib
import zlib

b = b"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n"
for _ in range(21):
    b += b


def signed32(v):
    return v - (1 << 32) if v >= 1 << 31 else v


print(signed32(zlib.crc32(b)))
print(signed32(zlib.adler32(b)))
print(hashlib.sha256(b).hexdigest().upper())
