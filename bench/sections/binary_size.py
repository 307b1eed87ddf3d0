"""Section 6: the tool's size, as built and stripped."""

import subprocess
from pathlib import Path


def run(b):
    stripped = b.out / "update_syscon.stripped"
    subprocess.run(["strip", "-o", str(stripped), b.tool], check=True)
    print("## 6. Binary size\n")
    print(f"update_syscon: {Path(b.tool).stat().st_size} bytes as built, "
          f"{stripped.stat().st_size} bytes stripped.")
