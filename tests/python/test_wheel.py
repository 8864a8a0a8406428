"""The wheel as users get it: `pip wheel .` builds one, `auditwheel repair` tags it manylinux
(as `./dev wheel` does), and the repaired wheel installs into a fresh virtual environment with
only NumPy beside it, where the README's quick start runs.

Marked `network` (NumPy comes from the configured package index): `pytest -m "not network"`
skips it offline. The wheel reuses the build folder of the installed module (build/native,
where ./dev builds it), so it rebuilds only what changed.
"""

import email.parser
import pathlib
import re
import subprocess
import tomllib
import sys
import zipfile

import pytest

TOP = pathlib.Path(__file__).resolve().parents[2]


def run(*args, **kwargs):
    out = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=900, **kwargs)
    assert out.returncode == 0, f"{args}:\n{out.stdout}\n{out.stderr}"
    return out.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The manylinux wheel: built, then repaired by auditwheel."""
    folder = tmp_path_factory.mktemp("wheel")
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
        f"--config-settings=build-dir={TOP / 'build' / 'native'}", "-w", folder / "raw", TOP)
    (built,) = (folder / "raw").glob("varnok-*.whl")
    pytest.importorskip("auditwheel")
    run(sys.executable, "-m", "auditwheel", "repair", "-w", folder / "repaired", built)
    (repaired,) = (folder / "repaired").glob("varnok-*.whl")
    return repaired


def test_the_repaired_wheel_is_tagged_manylinux(wheel):
    assert re.fullmatch(r"varnok-[\d.]+-cp3\d+-cp3\d+-manylinux_\d+_\d+_\w+\.whl", wheel.name), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        tags = [line for line in archive.read(next(n for n in archive.namelist() if n.endswith(".dist-info/WHEEL")))
                .decode().splitlines() if line.startswith("Tag:")]
    assert tags and all("manylinux_" in tag for tag in tags), tags


def quick_start():
    """The first Python block of the README's quick start."""
    text = (TOP / "README.md").read_text()
    section = text[text.index("## Quick start"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_wheel_holds_the_package_and_declares_its_extras(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        (metadata_name,) = [n for n in names if n.endswith(".dist-info/METADATA")]
        metadata = email.parser.Parser().parsestr(archive.read(metadata_name).decode())
    assert {"varnok/__init__.py", "varnok/py.typed", "varnok/_core.pyi", "varnok/svg.py"} <= set(names)
    assert any(re.fullmatch(r"varnok/_core\.cpython-3\d+-.*\.so", n) for n in names)
    assert not any(n.startswith(("tests/", "env/", "core/")) for n in names)
    requires = metadata.get_all("Requires-Dist")
    assert [r for r in requires if "extra" not in r] == ["numpy>=2.3"]
    assert {"gym", "pettingzoo", "test"} <= set(metadata.get_all("Provides-Extra"))
    assert any(r.startswith("gymnasium") and 'extra == "gym"' in r for r in requires)
    assert any(r.startswith("pettingzoo") and 'extra == "pettingzoo"' in r for r in requires)


@pytest.mark.network
def test_the_wheel_installs_in_a_fresh_environment_and_runs_the_quick_start(wheel, tmp_path):
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "numpy")  # from the configured index
    run(python, "-m", "pip", "install", "-q", "--no-index", "--find-links", wheel.parent, "varnok")
    installed = {line.split("==")[0].lower() for line in run(python, "-m", "pip", "freeze").split()}
    assert installed == {"numpy", "varnok"}
    # -I and a scratch folder: nothing of the checkout is importable there.
    script = tmp_path / "quick_start.py"
    script.write_text(quick_start())
    out = run(python, "-I", script, cwd=tmp_path)
    assert re.search(r"result from white's side: -?[01] \w+\n", out)
    assert re.search(r"a native random game from the start: -?[01]\n", out)
    where = run(python, "-I", "-c", "import varnok, pickle; e = varnok.ChessEnv(); e.reset(); "
                "assert pickle.loads(pickle.dumps(e)).fen() == e.fen(); assert '<svg' in e.svg(); "
                "print(varnok.__file__, varnok.__version__)", cwd=tmp_path).split()
    version = tomllib.loads((TOP / "pyproject.toml").read_text())["project"]["version"]
    assert where[0].startswith(str(venv)) and where[1] == version
