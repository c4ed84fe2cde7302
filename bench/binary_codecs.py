import base64

data = bytes.fromhex("00FF7E3C1881A55A") * 1310720
t64 = base64.b64encode(data).decode()
back64 = base64.b64decode(t64)
t16 = base64.b16encode(data).decode()
back16 = base64.b16decode(t16)
print(len(t64), len(t16), "true" if back64 == data else "false", "true" if back16 == data else "false")
