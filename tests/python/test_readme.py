"""Every Python block of the README runs as written.

Each block runs as a script of its own in a fresh interpreter, in an empty
folder (blocks that write files write them there), with a timeout, so the
README cannot drift from the code. A block that imports a package the
environment does not have is skipped, naming it.
"""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = [(README.read_text()[: m.start()].count("\n") + 2, m.group(1))
          for m in re.finditer(r"^```python\n(.*?)^```", README.read_text(), re.S | re.M)]
# Packages the environment may lack; a block importing one is skipped without it.
OPTIONAL = ("torch", "jax")


@pytest.mark.parametrize("line, code", BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_readme_block_runs(line, code, tmp_path):
    missing = [name for name in OPTIONAL
               if re.search(rf"^\s*(import|from) {name}\b", code, re.M) and importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"needs {', '.join(missing)}")
    script = tmp_path / "block.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, f"README line {line}:\n{done.stderr[-3000:]}"
