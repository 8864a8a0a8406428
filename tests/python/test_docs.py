"""Every Python block of the README and of the documentation site runs as written.

Each block runs as a script of its own in a fresh interpreter, in an empty
folder (blocks that write files write them there), with a timeout, so the
pages cannot drift from the code. A block that imports a package the
environment does not have is skipped, naming it. The site's build itself
(`mkdocs build --strict`: links, references, the API pages) runs in
`./dev test` and `./dev docs`.
"""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

TOP = pathlib.Path(__file__).resolve().parents[2]
PAGES = [TOP / "README.md", *sorted((TOP / "docs").rglob("*.md"))]
BLOCKS = [(page.relative_to(TOP), page.read_text()[: m.start()].count("\n") + 2, m.group(1))
          for page in PAGES
          for m in re.finditer(r"^```python\n(.*?)^```", page.read_text(), re.S | re.M)]
# Packages the environment may lack; a block importing one is skipped without it.
OPTIONAL = ("torch", "jax")


@pytest.mark.parametrize("page, line, code", BLOCKS, ids=[f"{page}:{line}" for page, line, _ in BLOCKS])
def test_block_runs(page, line, code, tmp_path):
    missing = [name for name in OPTIONAL
               if re.search(rf"^\s*(import|from) {name}\b", code, re.M) and importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"needs {', '.join(missing)}")
    script = tmp_path / "block.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, f"{page} line {line}:\n{done.stderr[-3000:]}"


def test_the_action_planes_picture_is_what_the_tool_draws_now():
    done = subprocess.run([sys.executable, str(TOP / "tools" / "action_planes_svg.py"), "/dev/stdout"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == (TOP / "docs" / "concepts" / "action-planes.svg").read_text(), \
        "run ./dev py tools/action_planes_svg.py docs/concepts/action-planes.svg"
