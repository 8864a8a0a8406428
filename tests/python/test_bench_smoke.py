"""Smoke test of the benchmark script: `bench/run.py --quick` end to end.

Only the shape of what it writes is checked (every figure present and a
finite number, the table and chart written); timings are never asserted.
"""

import json
import math
import os
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import varnok

TOP = Path(__file__).resolve().parents[2]
BENCH = TOP / "bench"
PERFT = Path(os.environ.get("VARNOK_PERFT", TOP / "build" / "native" / "tools" / "perft"))

HEADLINE = ["perft_vs_stockfish", "rollout_vs_python_chess", "rollout_games_per_s",
            "rollout_plies_per_s", "python_loop_vs_pettingzoo", "step_vs_list_floor",
            "get_actions_vs_list_floor", "env_bytes", "growth_bytes_200k_steps"]
WITH_TARGET = ["perft_vs_stockfish", "rollout_vs_python_chess", "python_loop_vs_pettingzoo",
               "step_vs_list_floor", "env_bytes", "growth_bytes_200k_steps", "arena_random_vs_python_chess",
               "arena_batched_vs_serial"]
# Resident growth may honestly be zero (or even negative); all else is a rate,
# a time, a size or a ratio of those.
MAY_BE_ZERO = {"growth_bytes_200k_steps"}


def _stockfish():
    return shutil.which("stockfish") or (
        "/usr/games/stockfish" if os.path.exists("/usr/games/stockfish") else None)


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    if not PERFT.exists():
        pytest.skip(f"native perft tool not built at {PERFT}")
    if _stockfish() is None:
        pytest.skip("Stockfish is not installed")
    out = tmp_path_factory.mktemp("bench")
    done = subprocess.run([sys.executable, str(BENCH / "run.py"), "--quick", "--out", str(out)],
                          capture_output=True, text=True, timeout=300,
                          env={**os.environ, "VARNOK_PERFT": str(PERFT)})
    assert done.returncode == 0, done.stderr[-3000:]
    return out, done


def test_quick_run_writes_every_figure_as_a_finite_number(quick_run):
    out, _ = quick_run
    data = json.loads((out / "latest.json").read_text())
    assert data["meta"]["quick"] is True
    for key in HEADLINE:
        assert key in data, key
    for key, fig in data.items():
        if key == "meta":
            continue
        if fig["value"] is None:
            # Not measurable here (a planned varnok API or a peer): says why.
            assert isinstance(fig["missing"], str) and fig["missing"], key
            assert fig["reps"] == [] and fig["low"] is None and fig["high"] is None, key
            continue
        value = fig["value"]
        assert isinstance(value, (int, float)) and math.isfinite(value), (key, value)
        if key not in MAY_BE_ZERO:
            assert value > 0, (key, value)
        assert fig["low"] <= value <= fig["high"], key
        assert len(fig["reps"]) >= 1 and all(math.isfinite(v) for v in fig["reps"]), key
    targeted = [key for key, fig in data.items() if key != "meta" and "target" in fig]
    assert set(WITH_TARGET) <= set(targeted)
    for key in targeted:
        fig = data[key]
        assert fig["target_op"] in (">=", "<=") and fig["target"] > 0, key
        if fig["value"] is None:
            assert fig["met"] is None, key
            continue
        expected = fig["value"] >= fig["target"] if fig["target_op"] == ">=" \
            else fig["value"] <= fig["target"]
        assert fig["met"] is expected, key


def test_quick_run_agrees_with_stockfish_on_node_counts(quick_run):
    out, _ = quick_run
    positions = json.loads((out / "latest.json").read_text())["perft_vs_stockfish"]["details"]["positions"]
    # The run stops with an error where the counts differ; these are the
    # published counts of the depths a quick run uses.
    assert positions["startpos"]["depth"] == 3 and positions["startpos"]["nodes"] == 8_902
    assert positions["kiwipete"]["depth"] == 2 and positions["kiwipete"]["nodes"] == 2_039


def test_quick_run_writes_table_and_chart(quick_run):
    out, done = quick_run
    table = (out / "latest.md").read_text()
    for key in HEADLINE:
        assert f"`{key}`" in table, key
    assert table.startswith("| Figure |")
    assert (out / "latest.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    sections = re.findall(r"\[(\d+)/(\d+)\] ", done.stderr)  # progress lines, one per section
    assert sections and [int(i) for i, _ in sections] == list(range(1, int(sections[0][1]) + 1))
    data = json.loads((out / "latest.json").read_text())
    for key, fig in data.items():
        if key != "meta" and fig["value"] is None:
            assert f"`{key}`" in table.split("Missing here", 1)[1], key  # its reason is listed


@pytest.fixture
def bench_modules(monkeypatch):
    monkeypatch.syspath_prepend(str(BENCH))
    import pyloop

    return pyloop


def test_loop_chooses_among_exactly_the_legal_actions(bench_modules):
    # The benchmark's Python agent must pick from the legal actions only: the
    # indices it reads off the mask are the keys of the action-to-move map.
    rng = random.Random(5)
    env = varnok.ChessEnv()
    env.reset()
    for _ in range(150):
        actions = bench_modules.legal_actions(env.get_actions())
        assert actions == sorted(env.save_state().move_index)
        if env.step(rng.choice(actions))[3]:
            env.reset()


class _FixedDraw:
    """A stand-in random generator whose randrange(n) always gives k."""

    def __init__(self, k):
        self.k, self.n = k, None

    def randrange(self, n):
        self.n = n
        return self.k


def test_random_legal_action_reaches_each_legal_action_once(bench_modules):
    # Draw k of n must give the k-th legal action: then a uniform draw of k
    # makes a uniform choice among exactly the legal actions.
    rng = random.Random(9)
    env = varnok.ChessEnv()
    env.reset()
    for _ in range(60):
        mask = env.get_actions()
        legal = bench_modules.legal_actions(mask)
        picked = []
        for k in range(len(legal)):
            draw = _FixedDraw(k)
            picked.append(bench_modules.random_legal_action(mask, draw))
            assert draw.n == len(legal)
        assert picked == legal
        if env.step(rng.choice(legal))[3]:
            env.reset()


def test_stand_in_peer_loop_plays(bench_modules):
    # Used only where PettingZoo cannot be imported, so run it here once.
    rate = bench_modules.python_chess_observation_loop(random.Random(1), 0.05)
    assert math.isfinite(rate) and rate > 0


def test_compare_builds_loads_the_named_build_and_reports_ratios(tmp_path):
    # The installed build against itself: both sides must load and the
    # report must carry a ratio per measure. A folder without a build is refused.
    installed = str(Path(varnok._core.__file__).parent.parent)  # the folder holding the package
    script = [sys.executable, str(BENCH / "compare_builds.py")]
    out = subprocess.run(script + [installed, "--rounds", "1", "--games", "3"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    for measure in ("games/s", "us per step", "us per get_actions"):
        assert f"{measure}" in out.stdout and "new/old median" in out.stdout, out.stdout
    refused = subprocess.run(script + [str(tmp_path), "--rounds", "1", "--games", "3"],
                             capture_output=True, text=True, timeout=120)
    assert refused.returncode != 0 and "was not loaded from" in refused.stderr


def test_only_runs_the_named_sections_and_refuses_unknown_ones(tmp_path):
    script = [sys.executable, str(BENCH / "run.py"), "--quick", "--out", str(tmp_path)]
    done = subprocess.run(script + ["--only", "single_game"], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    data = json.loads((tmp_path / "latest.json").read_text())
    assert data["meta"]["only"] == ["single_game"]
    assert set(data) == {"meta", "numpy_loop_vs_pettingzoo", "numpy_loop_plies_per_s",
                         "pettingzoo_numpy_loop_plies_per_s"}
    refused = subprocess.run(script + ["--only", "single_game,nonsense"], capture_output=True,
                             text=True, timeout=120)
    assert refused.returncode == 2 and "nonsense" in refused.stderr
