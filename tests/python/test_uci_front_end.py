"""python -m varnok uci, driven by python-chess as a GUI drives an engine:
a game against Stockfish, every form of go, stop and quit at any time, and
malformed input answered without the engine dying. Every exchange runs in a
child process with a timeout, so a hang fails instead of stalling."""

import os
import shutil
import subprocess
import sys

import chess
import chess.engine
import pytest

STOCKFISH = shutil.which("stockfish") or shutil.which("stockfish", path="/usr/games")
pytestmark = pytest.mark.skipif(STOCKFISH is None, reason="Stockfish is not installed")


def varnok_engine(player):
    return chess.engine.SimpleEngine.popen_uci([sys.executable, "-m", "varnok", "uci", player], timeout=60)


def test_a_game_against_stockfish_at_its_lowest_level():
    board = chess.Board()
    with varnok_engine("material:1") as ours, chess.engine.SimpleEngine.popen_uci(STOCKFISH) as sf:
        assert ours.id["name"].startswith("varnok") and {"Threads", "Simulations", "Seed"} <= set(ours.options)
        ours.configure({"Seed": 3})
        sf.configure({"Skill Level": 0})
        while not board.is_game_over() and board.ply() < 80:
            engine = ours if board.turn == chess.WHITE else sf
            limit = chess.engine.Limit(nodes=200) if engine is sf else chess.engine.Limit(time=0.05)
            board.push(engine.play(board, limit).move)  # python-chess refuses an illegal move
    assert board.ply() >= 20 or board.is_game_over()


@pytest.mark.parametrize("player", ["material:2", "uct:200"])
def test_every_go_form(player):
    board = chess.Board("r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3")
    limits = [chess.engine.Limit(nodes=50), chess.engine.Limit(depth=2), chess.engine.Limit(time=0.1),
              chess.engine.Limit(white_clock=2, black_clock=2, white_inc=0.1, black_inc=0.1, remaining_moves=20),
              chess.engine.Limit(white_clock=1, black_clock=1)]
    with varnok_engine(player) as ours:
        ours.configure({"Simulations": 100, "Threads": 1})
        for limit in limits:
            info = ours.analyse(board, limit, info=chess.engine.INFO_ALL)
            assert info["pv"][0] in board.legal_moves and "score" in info and info["nodes"] >= 1, limit
        # go infinite: the best move comes only after stop.
        with ours.analysis(board) as analysis:
            assert "pv" in analysis.get()
            analysis.stop()
            assert analysis.wait().move in board.legal_moves


@pytest.mark.parametrize("player, fen, limit, mate", [
    ("material:1", "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", chess.engine.Limit(depth=1), 1),
    ("uct:200", "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", chess.engine.Limit(nodes=2000), 1),
    # A win the solver proves without its length is a score, never a mate in one.
    ("uct:200", "k7/8/2K5/8/8/8/8/7R w - - 0 1", chess.engine.Limit(nodes=5000), None),
])
def test_mates_are_told_with_their_length(player, fen, limit, mate):
    with varnok_engine(player) as ours:
        info = ours.analyse(chess.Board(fen), limit)
    assert info["score"].white().mate() == mate, info
    assert mate is not None or info["score"].white().score() > 500


@pytest.mark.parametrize("limit", [chess.engine.Limit(nodes=5000), chess.engine.Limit(time=0.05),
                                   chess.engine.Limit(white_clock=0.3, black_clock=0.3)])
def test_material_keeps_to_the_node_budget_and_the_clock(limit):
    board = chess.Board("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1")
    with varnok_engine("material:8") as ours:
        info = ours.analyse(board, limit, info=chess.engine.INFO_ALL)
    # Searched whole, depth 8 visits about 8.5 million positions here.
    assert info["pv"][0] in board.legal_moves and 1 <= info["depth"] < 8 and info["nodes"] < 3_000_000, info
    assert limit.nodes is None or info["nodes"] <= limit.nodes


def run_session(player, lines, timeout=60, encoding="utf-8"):
    """The engine's output lines for input lines (text, or bytes as sent);
    standard input and output as under a locale of that encoding, strictly."""
    data = b"".join((line if isinstance(line, bytes) else line.encode()) + b"\n" for line in lines)
    done = subprocess.run([sys.executable, "-m", "varnok", "uci", player], input=data, capture_output=True,
                          timeout=timeout, env={**os.environ, "PYTHONIOENCODING": encoding})
    # A traceback on stderr is a thread (the search's, a clock's) that died.
    assert done.returncode == 0 and b"Traceback" not in done.stderr, done.stderr.decode(errors="replace")
    return done.stdout.decode(errors="replace").splitlines()


def test_bad_input_is_answered_and_the_engine_stays_alive():
    out = run_session("random", [
        "uci", "bogus command", "position startpos moves e2e5", "position fen not/a/fen w - - 0 1",
        "go nodes many", "go sideways", "go searchmoves g1f3 e2e5 depth x", "setoption name Hash value 16",
        "setoption name Seed value -1", "position startpos moves e2e4", "isready", "go nodes 1", "isready", "quit"])
    errors = [line for line in out if line.startswith("info string")]
    assert len(errors) == 9, out
    assert "illegal move e2e5" in errors[1]
    # A go with words not understood still searches with the rest of its line: the GUI waits for
    # its bestmove. The search runs beside the command reader, so the last readyok may come before
    # or after the best move: UCI allows either order.
    best = [chess.Move.from_uci(line.split()[1]) for line in out if line.startswith("bestmove ")]
    assert out.count("readyok") == 2 and len(best) == 4, out
    assert best[0] in chess.Board().legal_moves and best[1] in chess.Board().legal_moves, out
    assert best[2] == chess.Move.from_uci("g1f3"), out
    board = chess.Board()
    board.push_uci("e2e4")
    assert best[3] in board.legal_moves


def test_stray_bytes_are_answered_under_an_ascii_locale():
    out = run_session("random", ["uci", b"\xff\xfe", "position startpos moves \u00e9", "go", "quit"],
                      encoding="ascii")
    assert sum(line.startswith("info string") for line in out) == 2 and out[-1].startswith("bestmove"), out


@pytest.mark.parametrize("player, ending", [("uct:1000000", "stop"), ("uct:1000000", "quit"), ("material:8", "stop")])
def test_stop_and_quit_end_an_infinite_search(player, ending):
    out = run_session(player, ["uci", "isready", "go infinite", "isready", ending, "quit"], timeout=60)
    assert out.count("readyok") == 2 and sum(line.startswith("bestmove") for line in out) == 1


@pytest.mark.in_child(timeout=60)
# Analysis: each player searches past its own budget (UCT and MCTS simulations,
# Material's depth) and tells its line while it searches (Material as each
# depth ends); MCTS, whose tree fills in well under the wait, stops searching
# but keeps its move. Material's line is its move alone.
@pytest.mark.parametrize("player, past_budget, line_length", [
    ("uct:64", lambda info: info["nodes"] > 64, 2), ("material:1", lambda info: info["depth"] > 1, 1),
    ("mcts:flat_net:evaluate:16", lambda info: info["nodes"] > 16, 2)])
def test_go_infinite_searches_until_stop(player, past_budget, line_length, tmp_path):
    def numbers(line):
        return {key: int(value) for key, value in zip(line.split()[1::2], line.split()[2::2])
                if key in ("nodes", "depth")}

    (tmp_path / "flat_net.py").write_text(
        "import numpy as np\n"
        "def evaluate(obs, mask):\n"
        "    return np.asarray(mask, np.float32), np.zeros(len(obs), np.float32)\n")
    engine = subprocess.Popen([sys.executable, "-m", "varnok", "uci", player], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, bufsize=1,
                              env={**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), *sys.path])})
    engine.stdin.write("uci\nposition startpos moves e2e4\ngo infinite\n")
    engine.stdin.flush()
    # Stopped once it has told a line searched past its budget, however long
    # that takes on a busy machine (the child's timeout bounds it).
    out = []
    while not (out and out[-1].startswith("info depth") and past_budget(numbers(out[-1]))):
        out.append(engine.stdout.readline().rstrip("\n"))
        assert out[-1], out  # the engine ended before it told one
    engine.stdin.write("isready\nstop\nquit\n")
    engine.stdin.flush()
    out += engine.stdout.read().splitlines()
    assert engine.wait(timeout=30) == 0
    ready, best = out.index("readyok"), [i for i, line in enumerate(out) if line.startswith("bestmove")]
    assert len(best) == 1 and best[0] > ready, out  # the move waits for stop
    assert past_budget(numbers([line for line in out if line.startswith("info depth")][-1])), out
    board = chess.Board("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1")
    assert chess.Move.from_uci(out[best[0]].split()[1]) in board.legal_moves
    line = [line for line in out if line.startswith("info depth")][-1].split(" pv ")[1].split()
    assert line[0] == out[best[0]].split()[1] and len(line) >= line_length, out  # the searches' line goes on
    for move in line:
        board.push_uci(move)  # python-chess refuses an illegal move


@pytest.mark.in_child(timeout=60)
# A ponder search that ended, and one that ponderhit's clock must end (ten million simulations).
@pytest.mark.parametrize("player, ending", [("material:1", "ponderhit"), ("material:1", "stop"),
                                            ("uct:10000000", "ponderhit")])
def test_a_ponder_search_keeps_its_best_move_until_ponderhit_or_stop(player, ending):
    import queue
    import threading

    engine = subprocess.Popen([sys.executable, "-m", "varnok", "uci", player], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, bufsize=1)
    # A thread reads the lines as they come: a select on the pipe misses a
    # line that one read already took into the reader's buffer.
    said: queue.Queue[str] = queue.Queue()
    threading.Thread(target=lambda: [said.put(line.strip()) for line in engine.stdout], daemon=True).start()

    def lines_until(word, seconds):
        seen = []
        try:
            while not (seen and seen[-1].startswith(word)):
                seen.append(said.get(timeout=seconds))
        except queue.Empty:
            pass
        return seen

    engine.stdin.write("uci\nposition startpos moves e2e4 e7e5\ngo ponder wtime 2000 btime 2000 depth 1\nisready\n")
    assert "readyok" in lines_until("readyok", 30)
    # Depth 1 ends in milliseconds; its move must still wait for the opponent's move.
    assert not any(line.startswith("bestmove") for line in lines_until("bestmove", 1.0))
    engine.stdin.write(ending + "\n")
    best = lines_until("bestmove", 30)[-1].split()
    board = chess.Board()
    board.push_uci("e2e4")
    board.push_uci("e7e5")
    assert best[0] == "bestmove" and chess.Move.from_uci(best[1]) in board.legal_moves
    engine.stdin.write("quit\n")
    assert engine.wait(timeout=30) == 0


MATE_IN_ONE = "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"
MATE_IN_TWO = "k7/8/2K5/8/8/8/8/7R w - - 0 1"


@pytest.mark.in_child(timeout=120)
@pytest.mark.parametrize("player, fen, limit, root_moves, moves, mate", [
    ("material:2", MATE_IN_ONE, chess.engine.Limit(depth=2), ["a1a2", "a1b1"], ["a1a2", "a1b1"], None),
    ("material:2", MATE_IN_ONE, chess.engine.Limit(depth=2), ["a1b1", "a1a8"], ["a1a8"], 1),
    ("material:1", MATE_IN_TWO, chess.engine.Limit(depth=4), ["c6b6", "c6d6"], ["c6b6"], 2),
    ("uct:100", chess.STARTING_FEN, chess.engine.Limit(nodes=200), ["a2a3", "h2h4"], ["a2a3", "h2h4"], None),
    ("material:1", MATE_IN_TWO, chess.engine.Limit(mate=2), None, ["c6b6", "c6c7"], 2),
])
def test_go_searchmoves_and_mate_are_answered(player, fen, limit, root_moves, moves, mate):
    root_moves = [chess.Move.from_uci(m) for m in root_moves] if root_moves else None
    with varnok_engine(player) as ours:
        played = ours.play(chess.Board(fen), limit, root_moves=root_moves, info=chess.engine.INFO_SCORE)
    assert played.move.uci() in moves and played.info["score"].white().mate() == mate, played


def test_a_random_player_draws_anew_at_every_go():
    out = run_session("random", ["uci", *["position startpos", "go"] * 20, "isready", "quit"])
    best = [line for line in out if line.startswith("bestmove")]
    assert len(best) == 20 and len(set(best)) > 5, best


def test_chess960_games_with_castling_in_the_uci_chess960_form():
    board = chess.Board("rk4r1/pppppppp/8/8/8/8/PPPPPPPP/RK4R1 w AGag - 0 1", chess960=True)
    castles = [move for move in board.legal_moves if board.is_castling(move)]
    with varnok_engine("material:1") as ours:
        assert "UCI_Chess960" in ours.options
        # b1a1 is the king onto its rook (O-O-O), where b1c1 would be a king's step.
        assert sorted(move.uci() for move in castles) == ["b1a1", "b1g1"]
        for castle in castles:
            assert ours.play(board, chess.engine.Limit(depth=2), root_moves=[castle]).move == castle
        game = chess.Board.from_chess960_pos(7)
        while not game.is_game_over() and game.ply() < 40:
            move = ours.play(game, chess.engine.Limit(depth=1)).move
            assert move in game.legal_moves, (game.fen(), move)
            game.push(move)


REPEATED = "position startpos moves g1f3 g8f6 f3g1 f6g8 g1f3 g8f6 f3g1 f6g8"


@pytest.mark.parametrize("player, lines, errors", [
    # Option values past the ranges told in the uci answer are refused; the engine lives on.
    ("material:1", ["setoption name Seed value 99999999999999999999", "setoption name Threads value 100000",
                    "setoption name Simulations value 10000001", "go depth 1"], ["seed", "threads", "simulations"]),
    ("uct:50", ["go nodes 0"], []),
    ("uct:50", ["go nodes -5"], []),
    # Ended by the session's draw rules but not by the FIDE Laws unasked: a GUI may go on.
    ("material:2", [REPEATED, "go depth 2"], []),
    ("uct:50", ["position fen 4k3/8/8/8/8/8/4P3/4K3 w - - 100 80", "go nodes 50"], []),
    ("material:1", ["position fen 4k3/8/8/8/8/8/8/4K2B w - - 0 1", "go depth 1"], ["drawn"]),
    ("random", [b"\xff\xfe\x80", "go"], ["unknown command"]),
    ("random", ["x" * 100_000, "go"], [("unknown command " + "x" * 100_000)[:200] + " ..."]),   # cut, not whole
    # Numbers past any float or timer ("no limit" as a GUI may write it) are searched as the largest clock.
    ("material:2", ["go movetime " + "9" * 400], []),
    ("uct:50", ["go wtime " + "9" * 400 + " winc " + "9" * 400 + " nodes 50"], []),
    ("material:1", ["go nodes " + "9" * 30], []),
])
def test_hostile_input_is_answered_and_every_go_gets_a_legal_move(player, lines, errors):
    out = run_session(player, ["uci", *lines, "isready", "quit"])
    said = [line for line in out if line.startswith("info string")]
    assert len(said) == len(errors) and all(word in line for word, line in zip(errors, said)), out
    board = chess.Board()
    for line in lines:
        words = line.split() if isinstance(line, str) else []
        if words[:1] == ["position"]:
            board = chess.Board(" ".join(words[2:8])) if words[1] == "fen" else chess.Board()
            for move in words[words.index("moves") + 1:] if "moves" in words else []:
                board.push_uci(move)
    best = [line.split()[1] for line in out if line.startswith("bestmove")]
    assert len(best) == 1 and chess.Move.from_uci(best[0]) in board.legal_moves, out


def test_the_told_options_hold_their_defaults_within_their_ranges():
    out = run_session("uct:20000000", ["uci", "quit"])   # more simulations than the option's range
    spins = [line.split() for line in out if line.startswith("option name") and "spin" in line]
    assert len(spins) == 3, out
    for words in spins:
        low, default, high = (int(words[words.index(key) + 1]) for key in ("min", "default", "max"))
        assert low <= default <= high, words


@pytest.mark.in_child(timeout=60)
@pytest.mark.parametrize("ending", ["closed output", "ctrl-c"])
def test_a_gui_that_goes_away_or_ctrl_c_ends_the_engine_quietly(ending):
    import signal
    import time

    engine = subprocess.Popen([sys.executable, "-m", "varnok", "uci", "uct:1000000"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
    engine.stdin.write("uci\ngo infinite\n")
    engine.stdin.flush()
    while engine.stdout.readline().strip() != "uciok":
        pass
    if ending == "closed output":
        engine.stdout.close()   # the search's next info line finds no reader
        time.sleep(2.5)
        engine.stdin.write("isready\n")
        engine.stdin.flush()
        code = 0
    else:
        time.sleep(0.5)
        engine.send_signal(signal.SIGINT)
        code = 130
    assert engine.wait(timeout=30) == code
    assert "Traceback" not in engine.stderr.read()
