"""The module refuses interpreters other than the one it was built for."""

import shutil
from pathlib import Path
import subprocess

import pytest

import varnok

LOAD = """
import importlib.machinery, importlib.util, sys
path = sys.argv[1]
loader = importlib.machinery.ExtensionFileLoader("varnok._core", path)
module_spec = importlib.util.spec_from_file_location("varnok._core", path, loader=loader)
try:
    importlib.util.module_from_spec(module_spec)
except ImportError as error:
    print("ImportError:", error)
else:
    print("loaded")
"""


@pytest.mark.parametrize("interpreter", ["python3.13", "python3.15"])
def test_other_interpreter_versions_get_the_mismatch_error(interpreter):
    exe = shutil.which(interpreter)
    if exe is None:
        pytest.skip(f"{interpreter} is not installed here")
    out = subprocess.run([exe, "-c", LOAD, varnok._core.__file__], capture_output=True, text=True, timeout=60)
    version = subprocess.run([exe, "-c", "import sys; print(sys.version)"], capture_output=True, text=True,
                             timeout=60).stdout.strip()
    assert out.stdout.strip() == (
        "ImportError: Python version mismatch: module was compiled for Python 3.14, "
        f"but the interpreter version is incompatible: {version}."
    )


@pytest.mark.parametrize("interpreter", ["python3.13", "python3.15"])
def test_a_checkout_imported_by_another_python_says_what_to_do(interpreter, tmp_path):
    # The checkout's varnok/ on the path of an interpreter that has no built
    # core: one ImportError that names the version and the set-up command.
    exe = shutil.which(interpreter)
    if exe is None:
        pytest.skip(f"{interpreter} is not installed here")
    source = Path(__file__).resolve().parents[2]
    out = subprocess.run([exe, "-c", "import varnok"], capture_output=True, text=True, timeout=60,
                         cwd=tmp_path, env={"PYTHONPATH": str(source), "PATH": "/usr/bin:/bin"})
    assert out.returncode == 1, out.stderr
    last = out.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: varnok's compiled core") and "Python 3.14" in last
    assert "./dev setup" in last and interpreter.removeprefix("python") in last
