import subprocess
n = 0
for _ in range(1000):
    n += subprocess.run("true", shell=True).returncode
print(n)
