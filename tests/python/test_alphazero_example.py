"""examples/alphazero.py plays a few moves of self-play and writes samples
a network can train on."""

import pathlib
import subprocess
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]


def strict_log(path):
    """log.jsonl read as strict parsers (jq, JavaScript) read JSON: no Infinity or NaN."""
    import json

    def refuse(word):
        raise ValueError(f"{word} is not JSON")

    return [json.loads(line, parse_constant=refuse) for line in path.read_text().splitlines()]


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


# The example run with a torch.save that writes a few bytes of its file, then is interrupted.
CUT_SAVE = """
import runpy, sys, torch
def cut(obj, f):
    open(f, "wb").write(b"half")
    raise KeyboardInterrupt
torch.save = cut
sys.argv = sys.argv[1:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def test_torch_alphazero_trains_evaluates_and_resumes(tmp_path):
    """A run of seconds: self-play, training steps, an arena evaluation
    logged, a checkpoint; run again, it goes on from the checkpoint."""
    import json

    import pytest

    torch = pytest.importorskip("torch")
    run_dir = tmp_path / "run"
    command = [sys.executable, "examples/alphazero_torch.py", "--run", str(run_dir), "--games", "4",
               "--simulations", "4", "--moves-per-round", "4", "--train-steps", "2", "--batch", "16",
               "--eval-minutes", "100", "--eval-games", "2", "--eval-simulations", "2", "--max-plies", "12",
               "--eval-max-plies", "12", "--adjudicate", "1", "--threads", "1"]
    for rounds in ("4", "8"):  # a budget in rounds, the same on a loaded machine
        run = subprocess.run(command + ["--rounds", rounds], capture_output=True, text=True, timeout=600, cwd=ROOT)
        assert run.returncode == 0, run.stderr
    assert "resumed" in run.stdout
    log = strict_log(run_dir / "log.jsonl")
    assert len(log) == 2 and log[1]["steps"] > log[0]["steps"] > 0
    # Stopped during its last evaluation (the checkpoint before it, the log
    # without its line), the run starts again with that evaluation alone.
    saved = torch.load(run_dir / "checkpoint.pt", weights_only=False)
    saved["evaluations"], saved["evaluation_due"] = 1, True
    torch.save(saved, run_dir / "checkpoint.pt")
    (run_dir / "log.jsonl").write_text(json.dumps(log[0]) + "\n")
    run = subprocess.run(command + ["--rounds", "8"], capture_output=True, text=True, timeout=600, cwd=ROOT)
    assert run.returncode == 0, run.stderr
    again = strict_log(run_dir / "log.jsonl")
    assert len(again) == 2 and again[1]["steps"] == log[1]["steps"]  # no training before it
    # The same games as the first time ("previous" is the resumed network itself).
    assert all(again[1]["results"][k] == log[1]["results"][k] for k in ("untrained", "material1"))
    for entry in log:
        assert set(entry["results"]) == {"previous", "untrained", "material1"}
        assert all(r["wins"] + r["draws"] + r["losses"] == 2 for r in entry["results"].values())
    curve = tmp_path / "curve.png"
    drawn = subprocess.run([sys.executable, "examples/alphazero_torch.py", "--run", str(run_dir), "--plot", str(curve)],
                           capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert drawn.returncode == 0 and curve.read_bytes().startswith(b"\x89PNG"), drawn.stderr
    saved = torch.load(run_dir / "checkpoint.pt", weights_only=False)
    assert saved["evaluations"] == 2 and len(saved["buffer"]["outcome"]) == log[1]["positions"] > 0
    assert set(np.unique(saved["buffer"]["outcome"])) <= {-1.0, 0.0, 1.0}
    # Ctrl-C while the next checkpoint is being written (torch.save stopped
    # part way) leaves the one before it whole, so the run still resumes.
    run = subprocess.run([sys.executable, "-c", CUT_SAVE, *command[1:], "--rounds", "9"], capture_output=True,
                         text=True, timeout=600, cwd=ROOT)
    assert run.returncode != 0 and "KeyboardInterrupt" in run.stderr, run.stderr
    assert torch.load(run_dir / "checkpoint.pt", weights_only=False)["rounds"] == 8
    assert not [p.name for p in run_dir.iterdir() if p.name.endswith(".tmp")]


def test_material_adjudication_reads_the_lead_as_python_chess_counts_it():
    """The lead that scores games stopped at the ply limit, from packed
    observations with either side to move, against python-chess's board."""
    import importlib.util

    import chess
    import pytest

    pytest.importorskip("torch")
    import varnok

    located = importlib.util.spec_from_file_location("alphazero_torch", ROOT / "examples" / "alphazero_torch.py")
    example = importlib.util.module_from_spec(located)
    located.loader.exec_module(example)
    points = {chess.PAWN: 1, chess.KNIGHT: 3, chess.BISHOP: 3, chess.ROOK: 5, chess.QUEEN: 9}
    env, rng = varnok.ChessEnv(), np.random.default_rng(3)
    env.reset()
    checked, done = set(), False
    for _ in range(400):
        if done or rng.random() < 0.02:
            env.reset()
        _, _, done = env.play(int(rng.choice(np.flatnonzero(env.legal_mask()))))
        board = chess.Board(env.fen())
        lead = sum(p * (len(board.pieces(t, chess.WHITE)) - len(board.pieces(t, chess.BLACK))) for t, p in points.items())
        assert example.white_material_lead(env.observation("packed")) == lead, env.fen()
        checked.add((board.turn, np.sign(lead)))
    assert len(checked) == 6  # both sides to move, with white ahead, level and behind


def test_torch_alphazero_self_play_on_ray_workers_gathers_every_game(tmp_path):
    """Two Ray workers of 4 games each (Gumbel roots), 16 moves a game with
    games cut at 12 plies: every worker's finished games reach the buffer,
    2 x 4 x 12."""
    import pytest

    pytest.importorskip("torch")
    pytest.importorskip("ray")
    run = subprocess.run([sys.executable, "examples/alphazero_torch.py", "--run", str(tmp_path), "--games", "4",
                          "--simulations", "4", "--moves-per-round", "4", "--train-steps", "2", "--batch", "16",
                          "--eval-minutes", "100", "--eval-games", "2", "--eval-simulations", "2", "--max-plies", "12",
                          "--eval-max-plies", "12", "--threads", "1", "--rounds", "4", "--workers", "2",
                          "--root", "gumbel", "--considered", "2"],
                         capture_output=True, text=True, timeout=600, cwd=ROOT)
    assert run.returncode == 0, run.stderr
    log = strict_log(tmp_path / "log.jsonl")
    assert log[-1]["positions"] == 2 * 4 * 12 and log[-1]["steps"] > 0


def test_material_value_target_reads_the_lead_horizon_plies_on_and_a_mate_at_the_end():
    """Scholar's mate with white a knight up from the start: every position
    is worth a knight to white until the mate, which is worth the win to
    the positions within the horizon of it."""
    import importlib.util
    import math

    import pytest

    pytest.importorskip("torch")
    import varnok

    located = importlib.util.spec_from_file_location("alphazero_torch", ROOT / "examples" / "alphazero_torch.py")
    example = importlib.util.module_from_spec(located)
    located.loader.exec_module(example)
    env = varnok.ChessEnv("fide")
    env.load_fen("r1bqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1")  # black without a knight
    seen = []
    for move in ("b7b6", "e2e4", "e7e5", "d1h5", "a7a6", "f1c4", "g8f6", "h5f7"):
        seen.append(env.observation("packed"))
        env.play(env.uci_to_action(move))
    knight, mate = math.tanh(3 / example.MATERIAL_VALUE_SCALE), 1.0
    for horizon, expected in ((0, [knight] * 8), (2, [knight] * 6 + [mate] * 2), (20, [mate] * 8)):
        got = example.material_ahead(seen, env.observation("packed"), 1.0, horizon)
        assert np.allclose(got, expected), (horizon, got)
    drawn = example.material_ahead(seen, env.observation("packed"), 0.0, 20)  # the same game cut unfinished
    assert np.allclose(drawn, math.tanh(4 / example.MATERIAL_VALUE_SCALE))  # a knight and the f7 pawn
