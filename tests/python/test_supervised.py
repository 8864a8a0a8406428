"""The supervised pipeline: value targets and seeded shuffles of read_shards,
then games -> shards -> training -> a checkpoint that plays, at a tiny size."""

import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("pyarrow")
chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402

from varnok import ChessEnv, arena, players  # noqa: E402
from varnok import data as vd  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]

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


def moves_of(text):
    import io

    games, f = [], io.StringIO(text)
    while (game := chess.pgn.read_game(f)) is not None:
        games.append([m.uci() for m in game.mainline_moves()])
    return games


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
            vd.read_shards(known_shards, **options)


@pytest.mark.parametrize("args, message", [
    (["--device", "bogus"], "device 'bogus'"),
    (["--device", "meta"], "device 'meta'"),   # a device of no numbers: a traceback at the first step
    pytest.param(["--device", "mps"], "device 'mps'",   # a backend this torch lacks: its dispatcher's traceback
                 marks=pytest.mark.skipif(sys.platform == "darwin", reason="macOS has the mps backend")),
    (["--threads", "-1"], "--threads must be at least 1, got -1"),
    (["--channels", "0"], "channels must be at least 1, got 0"),
    (["--out", "{tmp}/a-file/net.pt"], "a-file/net.pt: the checkpoint cannot be written there"),
    (["--out", "{tmp}"], "is a folder; give the checkpoint's file name"),
    (["--out", "{tmp}/a-pipe"], "a-pipe: not a regular file"),   # a rename would put a file in its place
    (["--out", "{shards}/net.pt"], "inside the shard folder"),   # the next pass stopped on a foreign file
    (["--out", "{shards}/../shards/new/net.pt"], "inside the shard folder"),
    (["--out", "{tmp}/new/net.pt", "--held-out", "1.5"], "held_out must be a finite number from 0.0 to 1.0"),
])
def test_train_refuses_before_the_first_step(known_shards, tmp_path, capsys, args, message):
    """One error line and status 1 before any training, not a traceback at
    the first checkpoint."""
    pytest.importorskip("torch")
    from varnok.__main__ import main

    (tmp_path / "a-file").write_text("")
    os.mkfifo(tmp_path / "a-pipe")   # as /dev/null would be: not a file to rename over
    argv = ["train", str(known_shards), "--out", str(tmp_path / "net.pt"), "--steps", "1",
            *(a.format(tmp=tmp_path, shards=known_shards) for a in args)]
    assert main(argv) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("error: ") and message in err and err.count("\n") == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a-file", "a-pipe"] and (tmp_path / "a-pipe").is_fifo()
    assert all(p.suffix == ".parquet" or p.name == "manifest.json" for p in known_shards.iterdir())


def run(*args, timeout=600, err=False):
    done = subprocess.run([sys.executable, "-m", "varnok", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    return (done.stdout, done.stderr) if err else done.stdout


@pytest.fixture(scope="module")
def pipeline(tmp_path_factory):
    """Each stage's command at a tiny size: a match's games, shards, a few training steps."""
    pytest.importorskip("torch")
    folder = tmp_path_factory.mktemp("pipeline")
    run("match", "material:1", "uct:16", "--games", 4, "--max-plies", 40, "--openings", "builtin",
        "--pgn", folder / "games.pgn", "--quiet")
    run("pgn2shards", folder / "games.pgn", folder / "shards", "--chunk-mb", 0.002, "--engine", "local", "--quiet")
    log, bar = run("train", folder / "shards", "--out", folder / "net.pt", "--steps", 6, "--batch", 16,
                   "--eval-every", 3, "--held-out", 0.25, "--blocks", 1, "--channels", 8, "--threads", 1, err=True)
    # Between the measures a bar on stderr counts the steps (tqdm draws it).
    try:
        import tqdm  # noqa: F401
    except ImportError:
        pass
    else:
        assert "train: 6/6 steps" in bar and "positions/s" in bar
    return folder, log


def test_pipeline_targets_are_legal_and_values_match_the_results(pipeline):
    from varnok import train

    folder, log = pipeline
    lines = [line for line in log.splitlines() if line.startswith("step")]
    assert [line.split()[1] for line in lines] == ["3", "6"] and "held-out: accuracy" in lines[-1]
    # Every training row, replayed from the match's PGN with python-chess: the target move is
    # legal there and the value is the result for the side to move.
    expected = []
    with open(folder / "games.pgn") as f:
        while (game := chess.pgn.read_game(f)) is not None:
            white = {"1-0": 1, "0-1": -1, "1/2-1/2": 0}[game.headers["Result"]]
            board, env = game.board(), ChessEnv()
            env.load_fen(board.fen())
            for move in game.mainline_moves():
                action = env.uci_to_action(move.uci())
                assert action in env.legal_actions()
                expected.append((env.observation("packed").tobytes(), action,
                                 white if board.turn == chess.WHITE else -white))
                board.push(move)
                env.play(action)
    both = [train.ShardDataset(folder / "shards", 7, shuffle=False, held_out=0.25, part=p)
            for p in ("train", "held-out")]
    got = [(o.numpy().tobytes(), int(a), float(v)) for d in both for b in d
           for o, a, v in zip(b["obs"], b["action"], b["value"])]
    assert sorted(got) == sorted(expected)
    for d in both:  # whole batches of the kept games' rows, the last of a pass shorter
        sizes = [len(b["obs"]) for b in d]
        assert sizes and sizes[:-1] == [7] * (len(sizes) - 1) and 0 < sizes[-1] <= 7
    assert {b["obs"].shape[1] for d in both for b in d} == {119}


def test_losses_are_finite_and_fall_on_a_fixed_batch(pipeline):
    import torch
    from varnok import train

    folder, _ = pipeline
    torch.manual_seed(0)
    network = train.Network(1, 8)
    optimiser = torch.optim.Adam(network.parameters(), lr=1e-2)
    batch = next(iter(train.ShardDataset(folder / "shards", 32, shuffle=True, seed=0)))
    logits, values = network(train.unpack(batch["obs"], torch.device("cpu")))
    assert logits.shape == (32, 4672) and values.shape == (32,) and bool((values.abs() <= 1).all())
    seen = []
    for _ in range(30):
        policy_loss, value_loss, _hits = train.losses(network, batch, torch.device("cpu"))
        loss = policy_loss + value_loss
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
        seen.append(loss.item())
    assert np.isfinite(seen).all() and seen[-1] < 0.5 * seen[0]


def test_a_checkpoint_reloads_and_plays_identically(pipeline, tmp_path):
    import torch
    from varnok import train

    folder, _ = pipeline
    network = train.load(folder / "net.pt")
    assert (network.blocks, network.channels) == (1, 8)
    train.save(tmp_path / "again.pt", network)
    reloaded = train.load(tmp_path / "again.pt")
    # No time for a step: the checkpoint the log announces is still written.
    untrained = train.supervised(folder / "shards", tmp_path / "none.pt", minutes=0, blocks=1, channels=8,
                                 log=lambda line: None)
    assert untrained["steps"] == 0 and train.load(tmp_path / "none.pt").channels == 8
    cpu = torch.device("cpu")
    obs = np.stack([ChessEnv().observation("packed")] * 3)
    assert all(np.array_equal(x, y) for x, y in zip(train.evaluator(network, cpu, True)(obs, None),
                                                    train.evaluator(reloaded, cpu, True)(obs, None)))
    # The same games in this process (the network held in memory) and through the command line.
    here = players.MCTS(train.evaluator(network, cpu, True), 4, logits=True, obs_dtype="packed")
    mine = arena.match(here, players.Material(1), games=2, seed=5, max_plies=30)
    out = run("match", f"torch:{folder / 'net.pt'}:4", "material:1", "--games", 2, "--seed", 5, "--max-plies", 30,
              "--pgn", tmp_path / "cli.pgn", "--quiet")
    assert "games" in out
    assert moves_of((tmp_path / "cli.pgn").read_text()) == moves_of(mine.pgn())
    for text in ("torch:nowhere.pt:4", "torch:net.pt", "torch::4", f"torch:{folder / 'net.pt'}:many"):
        with pytest.raises(ValueError, match="player 'torch:"):
            players.player_from_text(text)
    # The UCI front end plays it.
    uci = subprocess.run([sys.executable, "-m", "varnok", "uci", f"torch:{folder / 'net.pt'}:4"],
                         input="uci\nposition startpos moves e2e4\ngo nodes 4\nquit\n", capture_output=True,
                         text=True, timeout=120)
    reply = uci.stdout.splitlines()[-1].split()
    assert reply[0] == "bestmove" and chess.Move.from_uci(reply[1]) in chess.Board(
        "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1").legal_moves


def test_a_damaged_or_foreign_checkpoint_is_refused_before_any_game(pipeline, tmp_path):
    """A torch player over a file that holds no fitting network is refused
    when it is made, naming the file, not by a traceback in the first game
    (nor by a move the UCI front end makes up after a failed search)."""
    import torch
    from varnok import train

    folder, _ = pipeline
    good = (folder / "net.pt").read_bytes()
    saved = torch.load(folder / "net.pt", weights_only=False)
    files = {
        "cut.pt": (good[:len(good) // 2], "not a readable checkpoint"),
        "empty.pt": (b"", "not a readable checkpoint"),
        "text.pt": (b"1. e4 e5 2. Nf3 *\n", "not a readable checkpoint"),
        "other.pt": ({"weights": saved["network"]}, 'no "network" weights'),
        "bare.pt": (saved["network"], 'no "network" weights'),
        "shape.pt": (saved | {"args": {"blocks": 2, "channels": 8}}, "do not fit a network of 2 blocks of 8"),
        # A pickle that names code to run: refused before the code runs.
        "harm.pt": (saved | {"args": _Touches(tmp_path / "ran")}, "not a readable checkpoint"),
    }
    for name, (content, message) in files.items():
        path = tmp_path / name
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            torch.save(content, path)
        with pytest.raises(ValueError, match=f"{name}: .*{message}"):
            players.player_from_text(f"torch:{path}:4")
    uci = subprocess.run([sys.executable, "-m", "varnok", "uci", f"torch:{tmp_path / 'cut.pt'}:4"],
                         input="uci\nposition startpos\ngo nodes 4\nquit\n", capture_output=True, text=True,
                         timeout=120)
    assert uci.returncode != 0 and "bestmove" not in uci.stdout and "cut.pt: not a readable" in uci.stderr
    assert not (tmp_path / "ran").exists()


# A checkpoint whose "args" claim a tower its weights do not have, loaded
# under a 4 GB address-space limit: the claimed tower was built (and its
# memory taken) before the weights could be compared with it.
OVERSIZED = """
import resource, sys, torch
from varnok import train
path = sys.argv[1]
train.save(path, train.Network(1, 8))
saved = torch.load(path, weights_only=True)
saved["args"] = {"blocks": int(sys.argv[2]), "channels": int(sys.argv[3])}
torch.save(saved, path)
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))
try:
    train.load(path)
except ValueError as exc:
    print(exc)
"""


@pytest.mark.parametrize("blocks, channels", [(10**6, 64), (1, 10**6)])
def test_a_checkpoint_claiming_another_tower_is_refused_before_it_is_built(tmp_path, blocks, channels):
    pytest.importorskip("torch")
    done = subprocess.run([sys.executable, "-c", OVERSIZED, str(tmp_path / "net.pt"), str(blocks), str(channels)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert f"do not fit a network of {blocks} blocks of {channels} channels (they hold 1 blocks of 8" in done.stdout


class _Touches:
    """Unpickled, it would create a file: what a harmful checkpoint does."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (pathlib.Path.touch, (self.path,))


def test_ctrl_c_writes_the_steps_made_since_the_last_measure(pipeline, tmp_path):
    """Ctrl-C between measures keeps the training done so far: its
    checkpoint is written (no half file left beside it) and the log says
    at which step, where it used to leave only an older checkpoint. The
    progress bar on stderr says when steps have been made."""
    import os
    import re
    import select
    import signal

    import torch

    pytest.importorskip("tqdm")   # its bar says when steps are made
    folder, _ = pipeline
    out = tmp_path / "run" / "net.pt"
    args = ["train", folder / "shards", "--out", out, "--minutes", 10, "--batch", 16, "--eval-every", 10**6,
            "--blocks", 1, "--channels", 8, "--threads", 1]
    child = subprocess.Popen([sys.executable, "-m", "varnok", *map(str, args)], cwd=ROOT, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        bar = b""
        while not re.search(rb"train: [1-9]\d+ steps", bar):   # ten steps or more, none of them measured
            # A child that stops speaking fails the test rather than stalling the suite.
            assert select.select([child.stderr], [], [], 300)[0], bar
            chunk = os.read(child.stderr.fileno(), 4096)
            assert chunk, bar
            bar += chunk
        child.send_signal(signal.SIGINT)
        rest, err = child.communicate(timeout=120)
    finally:
        child.kill()
    log, err = rest.decode(), (bar + err).decode()
    assert child.returncode == 130 and err.endswith("\nerror: interrupted\n"), err
    steps = int(log.split("interrupted at step ")[1].split(":")[0])
    assert log.endswith(f"interrupted at step {steps}: checkpoint written to {out}\n")
    assert steps >= 10 and torch.load(out, weights_only=False)["steps"] == steps
    assert [p.name for p in out.parent.iterdir()] == ["net.pt"]


def test_loader_workers_split_the_shards_and_varnok_needs_no_torch(pipeline):
    folder, _ = pipeline
    # In a child process: data-loader workers fork.
    script = f"""
import sys, varnok, varnok.data, varnok.players
assert "torch" not in sys.modules
from torch.utils.data import DataLoader
from varnok import train
data = train.ShardDataset({str(folder / 'shards')!r}, 5, seed=3)
one = sorted(o.numpy().tobytes() for b in DataLoader(data, batch_size=None) for o in b["obs"])
two = sorted(o.numpy().tobytes() for b in DataLoader(data, batch_size=None, num_workers=2) for o in b["obs"])
assert one == two and len(one) > 0, (len(one), len(two))
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr


def test_the_policy_frame_turns_each_legal_move_into_the_turned_positions_move():
    """The network's policy is learnt in the observation's frame: with black
    to move a move is seen turned by a half turn. Positions of random games
    with either side to move (castling rights cleared: a turned position has
    its king on the d-file), and the position turned with colours swapped:
    MOVER_ACTION takes every legal action of one to the same move, turned,
    in the other, and is its own inverse."""
    pytest.importorskip("torch")
    from varnok.train import ACTIONS, MOVER_ACTION

    assert np.array_equal(MOVER_ACTION[MOVER_ACTION], np.arange(ACTIONS))
    rng = np.random.default_rng(5)
    here, there = ChessEnv(), ChessEnv()
    turns, kinds = set(), set()
    for plies in rng.integers(1, 120, 40):
        board = chess.Board()
        for _ in range(plies):
            if board.is_game_over():
                break
            board.push(rng.choice(list(board.legal_moves)))
        board.castling_rights = chess.BB_EMPTY
        if board.is_game_over():
            continue
        turned = board.mirror().transform(chess.flip_horizontal)
        here.load_fen(board.fen())
        there.load_fen(turned.fen())
        for action in here.legal_actions().tolist():
            move = chess.Move.from_uci(here.action_to_uci(action))
            half_turn = chess.Move(63 - move.from_square, 63 - move.to_square, move.promotion)
            assert there.action_to_uci(int(MOVER_ACTION[action])) == half_turn.uci(), (board.fen(), move)
            kinds.add(board.piece_type_at(move.from_square) if move.promotion is None else -move.promotion)
        turns.add(board.turn)
    assert turns == {chess.WHITE, chess.BLACK} and {chess.KNIGHT, chess.PAWN, chess.KING} <= kinds


def test_a_network_valuing_the_movers_material_wins_it_and_the_flipped_one_gives_it_away():
    """The conventions between a network and the search, through the
    evaluator and the arena as an evaluation uses them: a "network" whose
    value is the material lead of the side to move (uniform priors) plays
    one whose value has the sign flipped, on packed and on float
    observations. The right sign must end every game ahead in material;
    a value read from the wrong side's point of view would hand it over."""
    torch = pytest.importorskip("torch")
    from varnok.train import evaluator

    points = torch.tensor([1.0, 3, 3, 5, 9])

    class MaterialValue(torch.nn.Module):
        def __init__(self, sign):
            super().__init__()
            self.sign = sign

        def forward(self, planes):
            counts = planes[:, :12].sum(dim=(2, 3))
            lead = counts[:, :5] @ points - counts[:, 6:11] @ points
            return torch.zeros(len(planes), 4672), self.sign * torch.tanh(lead / 10)

    values = {chess.PAWN: 1, chess.KNIGHT: 3, chess.BISHOP: 3, chess.ROOK: 5, chess.QUEEN: 9}
    for dtype in ("packed", "float32"):
        def mcts(sign, name):
            evaluate = evaluator(MaterialValue(sign), torch.device("cpu"), packed=dtype == "packed")
            return players.MCTS(evaluate, 32, logits=True, obs_dtype=dtype, name=name)

        result = arena.match(mcts(1.0, "right"), mcts(-1.0, "flipped"), games=4, seed=2, max_plies=40,
                             openings="builtin")
        assert result.losses == 0, dtype
        for game in result.games:
            env = ChessEnv("fide")
            env.load_fen(game.start_fen)
            for action in game.actions:
                env.play(action)
            board = chess.Board(env.fen())
            white_lead = sum(p * (len(board.pieces(t, chess.WHITE)) - len(board.pieces(t, chess.BLACK)))
                             for t, p in values.items())
            assert (white_lead if game.a_is_white else -white_lead) >= 5, (dtype, env.fen())
