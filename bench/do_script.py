import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
subprocess.run([sys.executable, os.path.join(here, "script_data.py")], capture_output=True, check=True)
path = "/tmp/kel-bench-script.py"
with open(path, encoding="utf-8") as f:
    exec(compile(f.read(), path, "exec"), {})
