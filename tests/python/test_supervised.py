"""The supervised pipeline: value targets and seeded shuffles of read_shards."""

import numpy as np
import pytest

pytest.importorskip("pyarrow")
chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402

from varnok import data as vd  # noqa: E402

# Hand-checked games: (start FEN or None, moves, result for white, value per ply for the player to move).
KNOWN = [
    (None, "f2f3 e7e5 g2g4 d8h4", -1, [-1, 1, -1, 1]),                      # fool's mate: black mates
    ("r3k2r/pppq1ppp/2n2n2/3pp3/3PP3/2N2N2/PPPQ1PPP/R3K2R b KQkq - 4 8",  # black to move first
     "e8g8 e1c1", 0, [0, 0]),
    (None, "e2e4 e7e5 d1h5 b8c6 f1c4 g8f6 h5f7", 1, [1, -1, 1, -1, 1, -1, 1]),  # scholar's mate
]
RESULT_TEXT = {1: "1-0", -1: "0-1", 0: "1/2-1/2"}


def known_pgn(path):
    texts = []
    for fen, moves, result, _ in KNOWN:
        board = chess.Board(fen) if fen else chess.Board()
        game = chess.pgn.Game.from_board(board)
        node = game
        for uci in moves.split():
            node = node.add_variation(chess.Move.from_uci(uci))
        game.headers["Result"] = RESULT_TEXT[result]
        texts.append(str(game))
    path.write_text("\n\n".join(texts) + "\n")
    return path


@pytest.fixture(scope="module")
def known_shards(tmp_path_factory):
    folder = tmp_path_factory.mktemp("known")
    # Small ranges: one game a shard, so shuffles cross shard files.
    vd.pgn2shards(known_pgn(folder / "known.pgn"), folder / "shards", chunk_bytes=64, engine="local",
                  progress=False)
    return folder / "shards"


def rows_of(batches):
    return [(int(g), int(p)) for b in batches for g, p in zip(b["game"], b["ply"])]


def test_value_is_the_result_for_the_player_to_move(known_shards):
    batches = list(vd.read_shards(known_shards, batch_size=5, value=True))
    assert [len(b["value"]) for b in batches] == [5, 5, 3]
    value = np.concatenate([b["value"] for b in batches])
    result = np.concatenate([b["result"] for b in batches])
    assert value.dtype == np.float32
    assert value.tolist() == [v for *_, values in KNOWN for v in values]
    assert result.tolist() == [r for _, moves, r, _ in KNOWN for _ in moves.split()]
    assert "value" not in next(vd.read_shards(known_shards))


def test_shuffle_is_seeded_and_gives_every_row_once(known_shards):
    in_order = rows_of(vd.read_shards(known_shards, batch_size=4))
    assert len(in_order) == 13 and len(set(in_order)) == 13
    for buffer in (True, 3):  # a buffer larger than the folder, and one that fills and flushes
        first = list(vd.read_shards(known_shards, batch_size=4, value=True, shuffle=buffer, seed=1))
        again = rows_of(vd.read_shards(known_shards, batch_size=4, value=True, shuffle=buffer, seed=1))
        other = rows_of(vd.read_shards(known_shards, batch_size=4, value=True, shuffle=buffer, seed=2))
        assert [len(b["game"]) for b in first] == [4, 4, 4, 1]
        assert rows_of(first) == again != other != in_order
        assert sorted(rows_of(first)) == sorted(other) == sorted(in_order)
        # Every column of a row moves with it.
        truth = {row: (v, a) for b in vd.read_shards(known_shards, value=True)
                 for row, v, a in zip(rows_of([b]), b["value"], b["action"])}
        assert all(truth[row] == (v, a) for b in first for row, v, a in zip(rows_of([b]), b["value"], b["action"]))
        # Parts split the (shuffled) shards between readers: disjoint, and together every row.
        parts = [rows_of(vd.read_shards(known_shards, shuffle=buffer, seed=1, part=(i, 2))) for i in range(2)]
        assert parts[0] and parts[1] and sorted(parts[0] + parts[1]) == sorted(in_order)
    for options, error in [({"shuffle": "yes"}, TypeError), ({"shuffle": 0}, ValueError),
                           ({"part": (2, 2)}, ValueError), ({"part": [0, 1]}, TypeError),
                           ({"seed": -1}, ValueError)]:
        with pytest.raises(error):
            next(vd.read_shards(known_shards, **options))
