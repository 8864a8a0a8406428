"""bench/search_bench.py runs and reports every figure (nothing is timed here)."""

import json
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_search_bench_quick_run_reports_every_figure():
    run = subprocess.run([sys.executable, "bench/search_bench.py", "--quick"], capture_output=True, text=True,
                         timeout=300, cwd=ROOT)
    assert run.returncode == 0, run.stderr
    figures = json.loads(run.stdout)
    assert set(figures) == {"mcts_sims_per_s", "mcts_sims_per_s_8_leaves", "mcts_sims_per_s_8_leaves_packed",
                            "python_reference_sims_per_s", "mcts_vs_python", "mcts_sims_per_s_packed",
                            "python_reference_sims_per_s_packed", "mcts_vs_python_packed", "uct_sims_per_s"}
    assert all(f["median"] > 0 for f in figures.values())
