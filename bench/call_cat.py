import subprocess
data = bytes.fromhex("00112233445566778899AABBCCDDEEFF") * 6553600
out = subprocess.run("cat", shell=True, input=data, capture_output=True).stdout
print(len(out))
print("true" if out == data else "false")
