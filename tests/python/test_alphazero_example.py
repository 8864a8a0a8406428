"""examples/alphazero.py plays a few moves of self-play and writes samples
a network can train on."""

import pathlib
import subprocess
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_self_play_writes_observation_policy_and_outcome_samples(tmp_path):
    out = tmp_path / "samples.npz"
    run = subprocess.run([sys.executable, "examples/alphazero.py", "--games", "2", "--moves", "9", "--simulations",
                          "8", "--leaves-per-tree", "2", "--max-plies", "4", "--explore", "2", "--out", str(out)],
                         capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert run.returncode == 0, run.stderr
    data = np.load(out)
    # Two rows, each truncated after 4 plies twice in 9 moves: 16 samples; the ninth ply is unfinished.
    assert data["obs"].shape == (16, 119, 8, 8) and data["policy"].shape == (16, 4672)
    assert np.allclose(data["policy"].sum(axis=1), 1) and (data["policy"] >= 0).all()
    assert set(np.unique(data["outcome"])) <= {-1.0, 0.0, 1.0}
    # A game's first sample is the initial position, white to move (the side plane is 0).
    assert (data["obs"][0, 112] == 0).all() and np.array_equal(data["obs"][0], data["obs"][4])
    assert "2 positions of unfinished games dropped" in run.stdout
