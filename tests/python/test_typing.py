"""Type information: the checked-in stubs match the extension, and the examples pass mypy --strict."""

import pathlib
import subprocess
import sys

TOP = pathlib.Path(__file__).resolve().parents[2]
STUB = TOP / "varnok" / "_core.pyi"


def test_checked_in_stubs_are_those_the_extension_generates(tmp_path):
    # Regenerate with:  ./dev py -m pybind11_stubgen varnok._core -o .
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "varnok._core", "-o", str(tmp_path)],
                   check=True, capture_output=True, text=True, cwd=TOP, timeout=300)
    generated = (tmp_path / "varnok" / "_core.pyi").read_text()
    assert "class ChessEnv" in generated and "def step(self, action:" in generated
    assert STUB.read_text() == generated, "varnok/_core.pyi is stale: regenerate it (see this test)"


def test_examples_and_package_pass_mypy_strict():
    cache = TOP / "build" / "mypy-cache"
    targets = ["examples", "varnok/__init__.py", "varnok/svg.py"]
    # The targets strictly; the package modules an example imports (the arena
    # for the AlphaZero example) only as far as the targets use them.
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent", "--cache-dir",
                          str(cache), *targets], capture_output=True, text=True, cwd=TOP, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "Success: no issues found in 6 source files" in out.stdout
