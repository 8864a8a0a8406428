"""Matches between players: who wins, how the games are laid out and
recorded, and that the same seed gives the same match however it is run."""

import gzip
import io
import math
import os
import re
import time

import chess
import chess.pgn
import numpy as np
import pytest

import varnok
from varnok import arena, players

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"


def test_material_beats_random_and_every_game_is_recorded():
    result = arena.match(players.Material(1), players.Random(), games=200, seed=1)
    assert result.score >= 0.9, result.text()
    assert (result.wins, result.draws, result.losses) != (0, 0, 0)
    assert result.wins + result.draws + result.losses == len(result.games) == 200
    assert [g.a_is_white for g in result.games[:4]] == [True, False, True, False]
    low, high = result.elo_interval
    assert low < result.elo < high
    # The PGN replays in python-chess to the recorded result, with the headers filled in.
    text = io.StringIO(result.pgn())
    for record in result.games[:40]:
        game = chess.pgn.read_game(text)
        assert game.headers["White"] == record.white and game.headers["Black"] == record.black
        assert game.headers["Termination"] == record.termination
        board = game.end().board()
        assert board.ply() == len(record.actions)
        expected = {"checkmate": board.is_checkmate(), "stalemate": board.is_stalemate(),
                    "insufficient material": board.is_insufficient_material(),
                    "repetition": board.is_repetition(3), "no progress": board.halfmove_clock >= 100,
                    "max plies": len(record.actions) == 500}
        assert expected[record.termination], (record.termination, board.fen())
        assert game.headers["Result"] == {1: "1-0", 0: "1/2-1/2", -1: "0-1"}[record.result]


def test_openings_are_played_with_both_colours(tmp_path):
    # Both files as a Windows editor saves them: a byte-order mark and CRLF line ends.
    epd = tmp_path / "o.epd"
    epd.write_text('rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - c0 "open";\n'
                   "rnbqkbnr/pppppppp/8/8/3P4/8/PPP1PPPP/RNBQKBNR b KQkq -\n", encoding="utf-8-sig", newline="\r\n")
    pgn = tmp_path / "o.pgn"
    pgn.write_text('[Event "a"]\n\n1. e4 c5 2. Nf3 *\n\n[Event "b"]\n\n1. d4 d5 *\n', encoding="utf-8-sig",
                   newline="\r\n")
    tables = {
        str(epd): ["rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 1",
                   "rnbqkbnr/pppppppp/8/8/3P4/8/PPP1PPPP/RNBQKBNR b KQkq - 0 1"],
    }
    assert arena.load_openings(str(epd)) == tables[str(epd)]
    after_two = arena.load_openings(str(pgn), plies=2)
    assert [f.split()[0] for f in after_two] == ["rnbqkbnr/pp1ppppp/8/2p5/4P3/8/PPPP1PPP/RNBQKBNR",
                                                 "rnbqkbnr/ppp1pppp/8/3p4/3P4/8/PPP1PPPP/RNBQKBNR"]
    assert arena.load_openings(str(pgn), plies=3)[1] == after_two[1]  # a shorter line: after all its moves
    assert len(arena.builtin_openings()) >= 50
    result = arena.match(players.Random(), players.Material(1), games=7, openings=str(epd), seed=3, max_plies=40)
    assert [g.start_fen for g in result.games] == [tables[str(epd)][i // 2 % 2] for i in range(7)]
    assert [g.pair for g in result.games] == [0, 0, 1, 1, 2, 2, 3]
    assert result.paired_openings and sum(result.pentanomial_counts) == 3


def test_opening_lines_as_readlines_gives_them_are_written_as_pgn(tmp_path):
    lines = ["rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 1\n",
             "rnbqkbnr/pppppppp/8/8/3P4/8/PPP1PPPP/RNBQKBNR\tb KQkq -\r\n"]   # no clocks: 0 1, as in a file
    result = arena.match(players.Random(), players.Random(), games=4, openings=lines, seed=1, max_plies=6)
    path = tmp_path / "games.pgn"
    result.write_pgn(path)
    fens = [" ".join(lines[0].split()), "rnbqkbnr/pppppppp/8/8/3P4/8/PPP1PPPP/RNBQKBNR b KQkq - 0 1"]
    assert [g.start_fen for g in result.games] == [f for f in fens for _ in "ab"]
    assert [(g.headers["Opening"], g.start_fen) for g in varnok.read_pgn(path)] == [(f, f) for f in fens for _ in "ab"]
    assert arena.load_openings([line.encode() for line in lines]) == fens  # as a file opened "rb" gives them
    # Names no tag or no UTF-8 can hold: refused, and the file stays as it was.
    for name, error in (("two\nlines", ValueError), ("\ud800", UnicodeEncodeError)):
        result.games[0].white = name
        with pytest.raises(error):
            result.write_pgn(path)
        assert len(list(varnok.read_pgn(path))) == 4
    result.games[0].white = "Random"
    read, write = os.pipe()
    try:  # open() took an int as a descriptor: it wrote the games into the pipe and closed it
        with pytest.raises(TypeError, match="path"):
            result.write_pgn(write)
        os.write(write, b"open")
        assert os.read(read, 16) == b"open"
    finally:
        os.close(read)
        os.close(write)


@pytest.mark.parametrize("name, data", [
    ("latin1.pgn", b'[White "M\xfcller"]\n\n1. e4 e5 *\n'),                      # read as read_pgn reads it
    ("tagless.pgn", b"1. e4 e5 *\n"),
    ("book.pgn.gz", gzip.compress(b'[Event "a"]\n\n1. e4 e5 *\n')),
    ("latin1.epd", b'rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - id "M\xfcller";\n'),
])
def test_opening_files_of_any_encoding_and_pgn_without_tags(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    assert [f.split()[0] for f in arena.load_openings(path)] == ["rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR"]
    if not name.endswith(".gz"):
        path.write_bytes(b"\n\n")  # named, as a refused line is
        with pytest.raises(ValueError, match=re.escape(f"no opening positions found in {path}")):
            arena.load_openings(path)


@pytest.mark.parametrize("tail, read", [
    ('bm e4; id "x";', "0 1"), ("7 20", "7 20"), ('7 20 c0 "x";', "7 20"), ("  # a comment", "0 1"),
    # A clock without the move number, or a broken clock, is refused as load_fen refuses it, not read as none.
    ("5", ValueError), ("-1 1", ValueError), ("0 x", ValueError),
])
def test_opening_file_lines_read_as_fen_or_epd(tmp_path, tail, read):
    path = tmp_path / "o.epd"
    path.write_text(f"{START[:-4]} {tail}\n")
    if read is ValueError:
        with pytest.raises(ValueError, match=r"o\.epd, line 1: FEN"):
            arena.load_openings(path)
    else:  # the path as bytes too, as open() takes it
        assert arena.load_openings(path) == arena.load_openings(os.fsencode(path)) == [f"{START[:-4]} {read}"]


@pytest.mark.in_child(timeout=60)
def test_a_pgn_book_through_a_pipe_is_read_once(tmp_path):
    # As a shell's <(zcat book.pgn.gz) or /dev/stdin gives it: no .pgn name, and bytes that come once.
    book = '[Event "a"]\n\n1. e4 e5 *\n\n1. d4 Nf6 2. c4 *\n'
    (tmp_path / "book.txt").write_text(book)
    read, write = os.pipe()
    os.write(write, book.encode())
    os.close(write)
    assert arena.load_openings(f"/dev/fd/{read}", plies=3) == arena.load_openings(tmp_path / "book.txt", plies=3)


@pytest.mark.in_child(timeout=60)
def test_a_device_is_refused_as_openings_before_it_is_read():
    import resource

    # A gigabyte past what the interpreter holds: /dev/zero read whole would pass it within a second.
    size = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
    for device in ("/dev/zero", "/dev/urandom", "/dev/null"):
        with pytest.raises(ValueError, match=f"{device}: a device, not a file of openings"):
            arena.load_openings(device)


MATED = "R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1"


@pytest.mark.parametrize("bad, error", [
    ({"games": 0}, ValueError), ({"max_plies": 0}, ValueError), ({"rules": "chess"}, ValueError),
    ({"sprt": (10, 0)}, ValueError), ({"sprt": (0, 10, 0.7, 0.05)}, ValueError), ({"sprt": "x"}, TypeError),
    ({"sprt": (False, True)}, TypeError), ({"sprt": ("0", "10")}, TypeError),  # float() took them as numbers
    ({"sprt": (-200000, 0)}, ValueError),  # no logistic score is that far from 0: refused, not a crash after a pair
    ({"batch": 0}, ValueError), ({"openings": ["not a fen"]}, ValueError), ({"engine": "gpu"}, ValueError),
    ({"workers": 0}, ValueError), ({"workers": 0, "engine": "ray"}, ValueError), ({"workers": 3}, ValueError),
    ({"address": "head:6379"}, ValueError),
    # A finished opening in a later block is refused before the first block is played.
    ({"games": 4, "batch": 2, "openings": [START, MATED]}, ValueError),
    ({"games": 4, "batch": 2, "openings": [START, "4k3/8/8/8/8/8/8/4K2B w - - 0 1"]}, ValueError),
    ({"progress": 5}, TypeError), ({"a": players.Random}, TypeError), ({"chess960": "yes"}, TypeError),
    ({"openings": ""}, ValueError), ({"openings": 5}, TypeError),
])
def test_match_refuses_bad_arguments_before_a_game_is_played(monkeypatch, bad, error):
    def played(*args, **kwargs):
        raise AssertionError("a block of games was played before the refusal")

    monkeypatch.setattr(arena, "play_block", played)
    with pytest.raises(error):
        arena.match(**{"a": players.Random(), "b": players.Random(), "games": 2, **bad})


@pytest.mark.parametrize("name, value", [
    ("games", np.int64(3)), ("seed", np.uint64(7)), ("max_plies", np.int32(9)), ("batch", np.int8(2)),
    ("opening_plies", np.int16(1)), ("chess960", np.bool_(True)),
])
def test_numpy_arguments_play_the_match_their_python_values_play(tmp_path, name, value):
    book = tmp_path / "book.pgn"
    book.write_text("1. e4 e5 *\n\n1. d4 d5 *\n")

    def games(**given):
        kw = {"games": 3, "seed": 7, "max_plies": 9, "batch": 2, "openings": book, "opening_plies": 2, **given}
        return [(g.start_fen, g.actions) for g in arena.match(players.Material(1), players.Random(), **kw).games]

    assert games(**{name: value}) == games(**{name: value.item()})


@pytest.mark.parametrize("choose, error, said", [
    # A legal action plus 2**16: no action, whatever the log keeps.
    (lambda games: games.random_actions() + 65536, ValueError, r"action 6\d{4} in row 0 is not legal"),
    (lambda games: None, TypeError, "returned None"),   # a choose that forgot its return: was "1 actions for 2"
    (lambda games: games.random_actions()[:1], RuntimeError, "returned 1 actions for 2 games"),
])
def test_a_player_s_bad_actions_are_refused_as_given(choose, error, said):
    class Faulty(players.Random):
        def choose(self, games):
            return choose(games)

    with pytest.raises(error, match=said):
        arena.match(Faulty(), players.Random(), games=4, seed=0, max_plies=4)


@pytest.mark.parametrize("text, made", [
    ("random", "Random"), ("material:2", "Material(2)"), ("uct:50", "UCT(50)"),
    ("uci:stockfish:nodes=100,Skill Level=0", "stockfish(nodes=100,Skill Level=0)"),
    ("material:9", ValueError), ("uct:x", ValueError), ("mcts:nomodule:f:10", ValueError), ("chess", ValueError),
    ("uci:stockfish:nodes", ValueError), ("uct:2147483648", ValueError), ("material:99999999999999999999", ValueError),
    ("uci:stockfish:timeout=0", ValueError), ("uci:stockfish:timeout=nan", ValueError),
    # Sent as "go nodes 1" (a name saying 0), or a search of no time.
    ("uci:stockfish:nodes=0", ValueError), ("uci:stockfish:depth=-1", ValueError), ("uci:stockfish:movetime=0", ValueError),
])
def test_players_named_in_text(text, made):
    # Past 64 bits: the command line gives every player the match's seed, which may be any non-negative int.
    seed = 2**64 + 5
    if isinstance(made, str):
        assert players.player_from_text(text, seed=seed).name == made
    else:
        with pytest.raises(made):
            players.player_from_text(text, seed=seed)


@pytest.mark.parametrize("make, error", [
    (lambda: players.Material(True), TypeError),            # a bool is no depth
    (lambda: players.Random(seed=1.5), TypeError),
    (lambda: players.UCT(100, threads=False), TypeError),
    (lambda: players.MCTS(lambda o, m: (m, None), 0), ValueError),
    (lambda: players.MCTS(lambda o, m: (m, None), 8, leaves_per_tree=257), ValueError),
    (lambda: players.UCT(100, threads=1025), ValueError),
])
def test_player_counts_are_integers_in_range(make, error):
    with pytest.raises(error):
        make()
    assert players.Material(np.int64(2)).depth == 2  # a NumPy integer is a count like any other


def test_a_network_player_without_pytorch_is_refused_by_name(monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "torch", None)  # as where PyTorch is not installed
    monkeypatch.delitem(sys.modules, "varnok.train", raising=False)
    monkeypatch.delattr(varnok, "train", raising=False)
    with pytest.raises(ValueError, match=r"player 'torch:net.pt:10': a network player needs PyTorch"):
        players.player_from_text("torch:net.pt:10")


def test_same_games_for_any_batch_and_engine():
    a, b = players.UCT(8), players.Material(1)
    one = arena.match(a, b, games=12, seed=5, max_plies=60, batch=12)
    blocks = arena.match(a, b, games=12, seed=5, max_plies=60, batch=4)
    again = arena.match(a, b, games=12, seed=5, max_plies=60, batch=4)
    assert [g.actions for g in blocks.games] == [g.actions for g in again.games]
    assert [g.start_fen for g in one.games] == [g.start_fen for g in blocks.games]
    pytest.importorskip("ray")
    on_ray = arena.match(a, b, games=12, seed=5, max_plies=60, batch=4, engine="ray", workers=2)
    assert [g.actions for g in on_ray.games] == [g.actions for g in blocks.games]


@pytest.mark.in_child(timeout=120)
def test_an_sprt_match_takes_a_cap_of_games_far_past_what_it_plays():
    import resource

    # A gigabyte past what the interpreter holds: every block of the cap made at once would take terabytes.
    size = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
    result = arena.match(players.Material(1), players.Random(), games=10**12, sprt=(0, 300), max_plies=80,
                         openings="builtin")
    assert result.sprt.verdict == "H1" and len(result.games) < 1000


def test_mcts_player_sends_one_batch_per_round():
    sizes = []

    def evaluate(obs, legal_mask):
        sizes.append(len(obs))
        return legal_mask.astype(np.float32), np.zeros(len(obs), np.float32)

    mcts = players.MCTS(evaluate, simulations=3)
    result = arena.match(mcts, players.Random(), games=16, seed=2, max_plies=6, batch=16)
    # Three plies each (both colours), 8 games per ply to move in, 3 rounds each: one network call per round.
    assert len(result.games) == 16
    assert max(sizes) == 8 and len(sizes) == 3 * 6


@pytest.mark.parametrize("limits", [{"nodes": 3000}, {"deadline": 0.4}])
def test_mcts_think_past_its_simulations_evaluates_what_it_counts(limits):
    # A node count above the player's simulations, or a clock, needs a tree
    # with room for them: every simulation counted must be a leaf evaluated.
    rows = []

    def evaluate(obs, legal_mask):
        rows.append(len(obs))
        return legal_mask.astype(np.float32), np.zeros(len(obs), np.float32)

    mcts = players.MCTS(evaluate, simulations=16)
    mcts.start(0)
    env = varnok.ChessEnv("fide")
    env.reset()
    if "deadline" in limits:
        limits = {"deadline": time.monotonic() + limits["deadline"]}
    thought = mcts.think(env, **limits)
    assert thought.nodes >= min(limits.get("nodes", 100), 100) and sum(rows) >= 0.95 * thought.nodes, thought


@pytest.mark.parametrize("fen, limits", [
    ("7k/8/6K1/8/8/8/8/1Q6 w - - 0 1", {}),                  # Qb8 mates: proved within a few simulations
    ("7k/8/6K1/8/8/8/8/1Q6 w - - 0 1", {"nodes": 5000}),
    ("6k1/8/6K1/8/8/8/8/1Q6 b - - 0 1", {"deadline": math.inf}),   # proved lost: the search ends itself
])
def test_uct_think_counts_the_simulations_it_ran(fen, limits):
    uct = players.UCT(simulations=800)
    env = varnok.ChessEnv()
    env.load_fen(fen)
    thought = uct.think(env, **limits)
    search = uct._searches().get(1, unbounded=bool(limits))   # the search that think used
    # Every simulation but the first (which values the root itself) visits one of the root's moves.
    assert bool(search.solved()[0]) and thought.nodes == search.visit_counts().sum() + 1, thought


def test_uci_engine_player_plays_stockfish_the_same_games_from_the_same_seed():
    sf = players.UCIEngine("stockfish", {"Threads": 1}, {"nodes": 50})  # (Skill Level draws from the clock)
    try:
        result = arena.match(sf, players.Random(), games=2, seed=1, max_plies=60)
        # The same seed again, after the engine has played: its hash from those games is cleared.
        again = arena.match(sf, players.Random(), games=2, seed=1, max_plies=60)
    finally:
        sf.close()
    assert result.score >= 0.5 and all(g.actions for g in result.games)
    assert [g.actions for g in again.games] == [g.actions for g in result.games]


@pytest.mark.parametrize("held", ["ChessEnv(chess960=True)", "ChessEnv()", "VectorEnv row"])
def test_uci_engine_player_castles_in_chess960(held):
    # Castling on the h-file rook with the king on f1 mates: only a board
    # read as Chess960 lets the engine see it, and only Chess960 notation
    # (king onto rook) names it. A Chess960 game restored into a standard
    # env or VectorEnv row goes on as one.
    env = varnok.ChessEnv("fide", chess960=True)
    env.load_fen("4rkr1/4p1p1/8/8/8/8/8/5K1R w K - 0 1")
    sf = players.UCIEngine("stockfish", {"Threads": 1}, {"depth": 3})
    try:
        if held == "VectorEnv row":
            venv = varnok.VectorEnv(1, rules="fide")
            venv.reset()
            venv.restore_state(0, env.save_state())
            action = int(sf.choose(players.Games.of_rows(venv, [0]))[0])
        else:
            game = varnok.ChessEnv("fide", chess960=held == "ChessEnv(chess960=True)")
            game.restore_state(env.save_state())
            action = sf.think(game).action
    finally:
        sf.close()
    assert env.action_to_uci(action) == "f1h1"
    env.play(action)
    assert env.in_check() and env.legal_actions().size == 0


def test_a_chess960_match_plays_each_drawn_array_with_both_colours(tmp_path):
    from varnok.__main__ import main
    out = tmp_path / "games.pgn"
    assert main(["match", "material:1", "random", "--games", "6", "--seed", "3", "--max-plies", "60", "--batch",
                 "4", "--chess960", "--quiet", "--pgn", str(out)]) == 0
    text = io.StringIO(out.read_text())
    games = list(iter(lambda: chess.pgn.read_game(text), None))
    starts = [game.headers["FEN"] for game in games]
    # python-chess replays every move on a Chess960 board, castling included.
    assert all(game.headers["Variant"] == "Chess960" and not game.errors and game.board().chess960 for game in games)
    assert starts[0::2] == starts[1::2] and len(set(starts)) == 3
    # A pair's array depends on the seed and the pair alone, not on the blocks.
    other = arena.match(players.Random(), players.Random(), games=6, seed=3, max_plies=1, batch=6, chess960=True)
    assert [f"Chess960 #{chess.Board(f, chess960=True).chess960_pos()}" for f in starts] == \
        [g.opening for g in other.games]


# A UCI engine that plays its first legal move; with a fault it exits at once,
# never answers uci, dies at its third go, has no move to give, never answers
# go, or plays on but does not end at quit.
FAKE_ENGINE = """
import os, sys, chess
fault, board = sys.argv[1], chess.Board()
if fault == "exits":
    sys.exit(1)
for line in sys.stdin:
    words = line.split() or [""]
    if words[0] == "uci" and fault != "silent":
        print("uciok", flush=True)
    elif words[0] == "isready":
        print("readyok", flush=True)
    elif words[0] == "position":
        board = chess.Board()
        for move in words[words.index("moves") + 1:] if "moves" in words else []:
            board.push_uci(move)
    elif words[0] == "go":
        if fault == "dies" and board.ply() >= 4:
            os._exit(3)
        if fault != "mute":
            print("bestmove", "(none)" if fault == "gives up" else next(iter(board.legal_moves)).uci(), flush=True)
    elif words[0] == "quit" and fault != "deaf":
        break
"""


@pytest.mark.parametrize("fault, code, message", [
    ("exits", 1, "engine process died unexpectedly (exit code: 1)"),
    ("silent", 1, "did not answer uci with uciok within 10 s"),
    ("dies", 1, "engine process died unexpectedly (exit code: 3)"),
    ("gives up", 1, "gave no move in rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"),
    ("mute", 1, "did not answer go within 3 s (beyond the limit's own time) in rnbqkbnr/"),
    ("deaf", 0, ""),   # the match is played, and the engine ended with it
])
def test_the_match_command_ends_whatever_a_uci_engine_does(tmp_path, fault, code, message):
    import subprocess
    import sys

    engine = tmp_path / "engine"
    engine.write_text(f"#!/bin/sh\nexec {sys.executable} -c '{FAKE_ENGINE}' '{fault}'\n")
    engine.chmod(0o755)
    done = subprocess.run([sys.executable, "-m", "varnok", "match", f"uci:{engine}:timeout=3", "random", "--games", "2",
                           "--max-plies", "20", "--quiet"], capture_output=True, text=True, timeout=60)
    assert done.returncode == code and message in done.stderr, done.stderr
    assert code or "games    2  (" in done.stdout


def test_material_search_answers_a_batch():
    env = varnok.ChessEnv("fide")
    env.load_fen("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1")
    search = varnok.MaterialSearch(2, seed=0)
    actions, scores, nodes = search.choose([env, env.save_state()], rules="fide")
    assert [env.action_to_uci(int(a)) for a in actions] == ["a1a8", "a1a8"] and (scores == 30000).all()
    env.play(int(actions[0]))
    with pytest.raises(ValueError, match="root 0"):
        search.choose([env])
    # Roots as the other searches take them: FEN text, a State, a ChessEnv or a VectorEnv.
    mate = varnok.ChessEnv()
    mate.load_fen("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1")
    roots = ["6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", mate.save_state(), mate]
    assert [mate.action_to_uci(int(a)) for a in search.choose(roots)[0]] == ["a1a8"] * 3
    assert search.choose(varnok.VectorEnv(2, seed=0))[0].shape == (2,)
    with pytest.raises(TypeError):
        search.choose([42])


class Stops:
    """A stop request: set from the start, or one whose check raises."""

    def __init__(self, error=None):
        self.error = error

    def is_set(self):
        if self.error:
            raise self.error
        return True


def test_material_think_deepens_within_its_limits():
    kiwipete = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
    whole = varnok.MaterialSearch(3, seed=4).choose([kiwipete])
    assert varnok.MaterialSearch(3, seed=4).think(kiwipete)[:2] == (whole[0][0], whole[1][0])
    first = varnok.MaterialSearch(1, seed=4).choose([kiwipete])[0][0]
    for limits in ({"stop": Stops()}, {"seconds": 0.0}, {"nodes": 1}):
        action, _, nodes, depth = varnok.MaterialSearch(8, seed=4).think(kiwipete, **limits)
        assert (action, depth) == (first, 1) and nodes < 2000, limits  # depth 1 is always searched whole
    with pytest.raises(ZeroDivisionError):
        varnok.MaterialSearch(8).think(kiwipete, stop=Stops(ZeroDivisionError()))
    # Each depth is told as it ends; the last told is the answer, but for the tie drawn at the end.
    told = []
    action, score, nodes, depth = varnok.MaterialSearch(3, seed=4).think(kiwipete, report=lambda *t: told.append(t))
    assert [t[3] for t in told] == [1, 2, 3] and told[-1][1:] == (score, nodes, depth), told
    assert told[0][0] == first and [t[2] for t in told] == sorted({t[2] for t in told}), told
    with pytest.raises(ZeroDivisionError):  # an error in report ends the search there
        varnok.MaterialSearch(8).think(kiwipete, report=lambda *t: told.append(1 / 0))
    for seconds in (-1.0, float("nan")):
        with pytest.raises(ValueError, match="seconds"):
            varnok.MaterialSearch(8).think(kiwipete, seconds=seconds)


# A node budget is at least one position, whatever is asked (0 and less were
# no budget at all), and one past what the native search counts is no limit.
@pytest.mark.parametrize("nodes, depth", [(0, 1), (-5, 1), (1, 1), (10**30, 3)])
def test_material_think_takes_any_node_budget(nodes, depth):
    env = varnok.ChessEnv()
    env.load_fen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1")
    player = players.Material(3)
    player.start(4)
    assert player.think(env, nodes=nodes).depth == depth


class InterruptedInBlock(players.Random):
    """Ctrl-C (or another error) as the third block of a match starts."""

    blocks = 0
    error: BaseException = KeyboardInterrupt()

    def start(self, seed):
        super().start(seed)
        self.blocks += 1

    def choose(self, games):
        if self.blocks == 3:
            raise self.error
        return super().choose(games)


@pytest.mark.parametrize("error, code, said", [
    (KeyboardInterrupt(), 130, "interrupted"),
    (RuntimeError("engine process died unexpectedly"), 1, "engine process died unexpectedly"),
    (KeyError("boom"), 1, "KeyError: 'boom'"),  # a fault in a player's own code (its network function, say)
])
def test_the_match_command_keeps_the_games_and_says_a_bad_pgn_path_first(tmp_path, monkeypatch, capsys, error, code,
                                                                           said):
    from varnok.__main__ import main
    made = []

    def player(text, seed=0):
        made.append(InterruptedInBlock(seed))
        made[-1].error = error
        return made[-1]

    monkeypatch.setattr(players, "player_from_text", player)
    command = ["match", "a", "b", "--games", "8", "--batch", "2", "--max-plies", "6", "--quiet", "--pgn"]
    # A --pgn path that cannot be written, or that is the opening book, ends the command before any game.
    book = tmp_path / "book.pgn"
    book.write_text("1. e4 e5 *\n")
    for path, more in ((tmp_path / "missing" / "games.pgn", []), (tmp_path, []), (book, ["--openings", str(book)])):
        assert main(command + [str(path)] + more) == 2 and "--pgn" in capsys.readouterr().err
        assert all(p.blocks == 0 for p in made)
    # SPRT error rates without --sprt changed nothing: a forgotten --sprt, said before a whole match is played.
    assert main(command + [str(tmp_path / "g.pgn"), "--alpha", "0.01"]) == 2 and "need --sprt" in capsys.readouterr().err
    assert main(command + [str(tmp_path / "g.pgn"), "--seed", "-1"]) == 2 and "--seed" in capsys.readouterr().err
    assert all(p.blocks == 0 for p in made)
    assert book.read_text() == "1. e4 e5 *\n"
    # Ctrl-C, or an engine that dies: the finished blocks' games are summed up and written.
    out = tmp_path / "games.pgn"
    assert main(command + [str(out)]) == code
    shown = capsys.readouterr()
    assert f"error: {said}; the 4 games" in shown.err and "games    4  (" in shown.out, shown
    text = io.StringIO(out.read_text())
    rounds = [game.headers["Round"] for game in iter(lambda: chess.pgn.read_game(text), None)]
    assert rounds == ["1", "2", "3", "4"]
