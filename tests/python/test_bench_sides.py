"""The varnok side of the benchmark figures, driven with tiny counts.

bench/ measures VectorEnv, the NumPy-facing ChessEnv methods, read_pgn, the
SAN methods and MCTS; these tests run that code on the real classes so that
it is known to run, to count what it should, and to refuse a reader or a SAN
writer that disagrees with python-chess (those two through deliberately
faulty doubles). Nothing here is timed.
"""

import dataclasses
import random
import types

import chess
import chess.pgn
import numpy as np
import pytest
import varnok


@pytest.fixture
def bench(monkeypatch):
    from pathlib import Path

    monkeypatch.syspath_prepend(str(Path(__file__).resolve().parents[2] / "bench"))
    import notation
    import single_game
    import timing
    import tree_search
    import vector

    return types.SimpleNamespace(notation=notation, single_game=single_game, timing=timing,
                                 tree_search=tree_search, vector=vector)


def test_random_legal_rows_draws_only_true_cells_and_each_of_them(bench):
    rng = np.random.default_rng(3)
    mask = rng.random((50, 300)) < 0.05
    mask[7] = False  # a finished game: no legal action
    mask[8] = False
    mask[8, 299] = True
    seen = np.zeros_like(mask)
    for _ in range(400):
        picked = bench.vector.random_legal_rows(mask, rng)
        assert picked.shape == (50,) and picked[7] == 0 and picked[8] == 299
        rows = np.arange(50) != 7
        assert mask[np.arange(50)[rows], picked[rows]].all()
        seen[np.arange(50), picked] = True
    seen[7] = False
    assert (seen == mask).all()  # every legal cell was drawn at some point


@pytest.mark.parametrize("chooser", ["numpy", "native"])
def test_vector_side_steps_every_game_once_per_call(bench, chooser):
    side = bench.vector.VarnokSide(3, 2, "packed", chooser)
    tally = side.box(0.0, min_calls=5)
    assert tally.plies == 15 and tally.busy > 0


def test_vector_run_without_peers_marks_the_ratios_missing(bench, monkeypatch):
    monkeypatch.setattr(bench.vector.peers, "envpool", lambda: (None, "not here"))
    monkeypatch.setattr(bench.vector.peers, "jax_pgx", lambda: (None, "not here either"))
    settings = bench.timing.Settings.make(True)
    settings = dataclasses.replace(settings, vector_games=2, reps=1, vector_seconds=0.0)
    figures = bench.vector.run(settings, bench.timing.Progress(1))
    assert set(figures) == set(bench.vector.UNITS)
    assert figures["vector_steps_per_s"]["value"] > 0
    assert figures["vector_thread_scaling"]["value"] > 0
    assert figures["vector_vs_envpool"]["missing"] == "EnvPool unusable: not here"
    assert figures["vector_vs_pgx_cpu"]["missing"] == "pgx / JAX unusable: not here either"


def test_single_game_loop_plays_whole_games(bench):
    rate = bench.single_game.varnok_loop(varnok.ChessEnv(), np.random.default_rng(1), 0.0)
    assert rate > 0


def write_pgn(notation, path, games):
    rng = random.Random(4)
    with open(path, "w", encoding="utf-8") as out:
        for i in range(games):
            print(notation.decorated_game(i, rng), file=out, end="\n\n")


def python_chess_read_pgn(path, drop=None):
    """A reader over python-chess that drops the last move of game drop."""
    with open(path, encoding="utf-8") as handle:
        index = 0
        while (game := chess.pgn.read_game(handle)) is not None:
            moves = [m.uci() for m in game.mainline_moves()]
            if index == drop:
                moves = moves[:-1]
            yield types.SimpleNamespace(actions=list(range(len(moves))), uci=moves,
                                        headers=dict(game.headers),
                                        result=game.headers["Result"])
            index += 1


def test_pgn_check_and_reading_with_a_faithful_reader(bench, tmp_path):
    path = tmp_path / "games.pgn"
    write_pgn(bench.notation, path, 10)
    text = path.read_text()
    assert "{" in text and "$" in text and "(" in text  # comments, NAGs, variations
    bench.notation.check_pgn(varnok.read_pgn, path, 10)
    games, plies, busy = bench.notation.varnok_pgn_box(varnok.read_pgn, path, 0.0)
    assert games == 10 and plies > 10 * 10 and busy > 0


def test_pgn_check_refuses_a_reader_that_differs(bench, tmp_path):
    path = tmp_path / "games.pgn"
    write_pgn(bench.notation, path, 4)
    with pytest.raises(ValueError, match="game 3: moves differ"):
        bench.notation.check_pgn(lambda p: python_chess_read_pgn(p, drop=2), path, 4)
    with pytest.raises(ValueError, match="3 games read"):
        bench.notation.check_pgn(
            lambda p: (g for i, g in enumerate(python_chess_read_pgn(p)) if i != 3), path, 4)


def test_san_check_and_timing(bench):
    fens = bench.notation.san_positions(12)
    env = varnok.ChessEnv()
    bench.notation.check_san(env, fens)
    sans, busy, at = bench.notation.varnok_san_box(env, fens, 10, 0.0, min_positions=4)
    assert sans > 0 and busy > 0 and at == 2

    class NoCheckSigns(varnok.ChessEnv):
        def legal_moves_san(self):
            return [san.rstrip("+#") for san in super().legal_moves_san()]

    checks = [f for f in fens if any(chess.Board(f).gives_check(m)
                                     for m in chess.Board(f).legal_moves)]
    assert checks, "the positions should include a move that gives check"
    with pytest.raises(ValueError, match="SAN differs"):
        bench.notation.check_san(NoCheckSigns(), checks)


class CountingMCTS(varnok.MCTS):
    """varnok.MCTS, counting the rows the bench expands."""

    expanded = 0

    def expand(self, priors, values, logits=False):
        super().expand(priors, values, logits)
        self.expanded += len(values)


def test_search_side_runs_its_rounds(bench, monkeypatch):
    made = []

    def make(num_trees, **settings):
        made.append(CountingMCTS(num_trees, **settings))
        return made[-1]

    monkeypatch.setattr(varnok, "MCTS", make)
    rate = bench.tree_search.varnok_search(3, 5)
    assert rate > 0 and made[0].expanded == 3 * 5
