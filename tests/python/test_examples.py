"""The examples run and do what they say."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run_example(*args):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300, cwd=ROOT)


def test_search_finds_the_back_rank_mate():
    # Ra1-a8 mates at once: the search must prefer it over every other move.
    out = run_example("examples/search.py", "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "10")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "best move Ra8# (a1a8, action 888), score +1.000"


def test_search_leaves_the_environment_as_found():
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import search
        import varnok
    finally:
        sys.path.pop(0)
    env = varnok.ChessEnv()
    env.reset()
    env.step(564)
    before = env.save_state()
    action, score = search.best_action(env, rollouts_per_move=2)
    after = env.save_state()
    assert -1 <= score <= 1
    assert action in [p * 64 + s for p, row in enumerate(env.get_actions()) for s, v in enumerate(row) if v]
    for field in ("side", "castle", "enpassant", "state_pos", "total_move_count", "no_progress_count",
                  "n_repititions", "prev_n_repititions", "repetition_count", "move_index", "state_history"):
        assert getattr(after, field) == getattr(before, field), field
    assert (after.bitboards == before.bitboards).all()


def test_demo_plays_and_reports():
    out = run_example("examples/demo.py", "50")
    assert out.returncode == 0, out.stderr
    assert "50 native roll-outs from the initial position" in out.stdout
    counts = [int(line.split()[-1]) for line in out.stdout.splitlines()
              if line.strip().startswith(("white wins", "black wins", "draw or cap"))]
    assert len(counts) == 3 and sum(counts) == 50
