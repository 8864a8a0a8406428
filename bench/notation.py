"""Chess notation: reading PGN and writing SAN, against python-chess.

1. PGN: a file of random games (2,000 in a full run) made for the bench,
   deterministic for a given count and seed, and kept in build/bench-data
   (never in git). Every game is played out with uniformly random legal
   moves by python-chess (seeded) until checkmate, stalemate, insufficient
   material, a threefold repetition or 50 moves without progress (the draws
   counted as claimed), and written with python-chess's exporter; every
   tenth game has comments, every tenth NAGs and every tenth side variations
   (some all three).
   - python-chess: `chess.pgn.read_game(handle)`, then `game.board()` and
     `board.push(move)` for every move of `game.mainline_moves()`; it reads
     on through the file from one time box to the next (from the top again
     at its end).
   - varnok (planned API): `for game in varnok.read_pgn(path)` with
     `game.actions`, `game.headers` and `game.result` read for every game;
     whole passes over the file.
   Games (and plies) per second of reading time. Before timing, varnok's
   games are checked against python-chess's: the number of games, and for
   the first games the moves (`game.uci`), the headers and the result.
2. SAN: positions taken every few plies from seeded random games. For each
   position, outside the timed part: python-chess `Board(fen)` and
   `list(board.legal_moves)`; varnok `env.load_fen(fen)` and
   nothing more. Timed: `board.san(move)` for every legal move, and
   `env.legal_moves_san()` (the SAN of every legal action, listing included).
   SAN strings per second;
   before timing, each position's SAN strings are checked equal (as sets) on
   both sides.
"""

from __future__ import annotations

import os
import random
import time

import chess
import chess.pgn

import peers
from timing import TOP, missing, summary

DATA = TOP / "build" / "bench-data"
PGN_SEED = 2024
SAN_SEED = 29
SAN_EVERY = 5            # plies between two positions of the SAN set
CHECK_GAMES = 100        # games compared move by move with python-chess
FORMAT = 2               # bump when the generated file changes

UNITS = {
    "pgn_vs_python_chess": "ratio",
    "pgn_games_per_s": "games/s",
    "python_chess_pgn_games_per_s": "games/s",
    "pgn_plies_vs_python_chess": "ratio",
    "pgn_plies_per_s": "plies/s",
    "python_chess_pgn_plies_per_s": "plies/s",
    "san_vs_python_chess": "ratio",
    "san_per_s": "SAN/s",
    "python_chess_san_per_s": "SAN/s",
}

# ---------------------------------------------------------------- the data


def random_game(rng: random.Random) -> chess.Board:
    """A game of uniformly random legal moves, to its end or a claimable draw.

    The same ends as `is_game_over()` and a claim of a threefold repetition
    or of 50 moves, judged here from one legal-move listing per ply and a
    count of positions (python-chess's own tests replay the move stack on
    every call, which made the file take minutes to write).
    """
    board = chess.Board()
    seen = {}
    while True:
        moves = list(board.legal_moves)
        if not moves or board.halfmove_clock >= 100 or board.is_insufficient_material():
            return board
        if board.halfmove_clock == 0:
            seen.clear()  # no earlier position can come back
        key = board._transposition_key()
        seen[key] = seen.get(key, 0) + 1
        if seen[key] >= 3:
            return board
        board.push(rng.choice(moves))


def result_of(board: chess.Board) -> str:
    outcome = board.outcome()
    return outcome.result() if outcome else "1/2-1/2"  # a claimed draw


def decorated_game(index: int, rng: random.Random) -> chess.pgn.Game:
    board = random_game(rng)
    game = chess.pgn.Game()
    game.headers.update({
        "Event": "varnok bench random games", "Site": "random play",
        "Date": f"2026.{index % 12 + 1:02d}.{index % 28 + 1:02d}", "Round": str(index + 1),
        "White": f"Random {2 * index}", "Black": f"Random {2 * index + 1}",
        "Result": result_of(board),
    })
    if index % 4 == 0:
        game.headers["WhiteElo"] = str(1000 + index % 1500)
        game.headers["BlackElo"] = str(1200 + index % 1300)
        game.headers["PlyCount"] = str(board.ply())
    comments, nags, variations = index % 10 in (0, 9), index % 10 in (3, 9), index % 10 in (6, 9)
    if comments:
        game.comment = f"random game {index + 1}, seed {PGN_SEED}"
    node, replay = game, chess.Board()
    for ply, move in enumerate(board.move_stack):
        parent = node
        node = node.add_variation(move)
        if comments and ply % 17 == 5:
            node.comment = rng.choice(["a random move", "only move? no", "interesting {sic}",
                                       "the engine would disagree"])
        if nags and ply % 13 == 2:
            node.nags.add(rng.choice([1, 2, 3, 4, 5, 6, 10, 13, 14, 15, 16, 17, 18, 19]))
        alternatives = variations and ply % 23 == 7 and [
            m for m in replay.legal_moves if m != move]
        if alternatives:
            side = parent.add_variation(rng.choice(alternatives))
            side.comment = "or this" if comments else ""
            line = replay.copy()
            line.push(side.move)
            for _ in range(rng.randrange(0, 4)):  # a short continuation, if any
                moves = list(line.legal_moves)
                if not moves:
                    break
                side = side.add_variation(rng.choice(moves))
                line.push(side.move)
        replay.push(move)
    return game


def pgn_file(games: int) -> "os.PathLike":
    """The cached PGN file of `games` random games, made on first use."""
    path = DATA / f"random-games-{games}-seed{PGN_SEED}-v{FORMAT}.pgn"
    if path.exists():
        return path
    DATA.mkdir(parents=True, exist_ok=True)
    rng = random.Random(PGN_SEED)
    tmp = path.with_name(path.name + f".{os.getpid()}.tmp")
    with open(tmp, "w", encoding="utf-8") as out:
        for i in range(games):
            print(decorated_game(i, rng), file=out, end="\n\n")
    os.replace(tmp, path)
    return path


def san_positions(count: int) -> list:
    """FENs taken every SAN_EVERY plies from seeded random games."""
    rng = random.Random(SAN_SEED)
    fens = []
    while len(fens) < count:
        board = random_game(rng)
        replay = chess.Board()
        for ply, move in enumerate(board.move_stack):
            if ply % SAN_EVERY == 0 and len(fens) < count:
                fens.append(replay.fen())
            replay.push(move)
    return fens


# ----------------------------------------------------------------- PGN


class PythonChessReader:
    """python-chess reading on through the file, box after box."""

    def __init__(self, path):
        self.handle = open(path, encoding="utf-8")

    def box(self, seconds: float, min_games: int = 1):
        games = plies = 0
        busy = 0.0
        clock = time.perf_counter
        read_game = chess.pgn.read_game
        while busy < seconds or games < min_games:
            t0 = clock()
            game = read_game(self.handle)
            if game is None:
                self.handle.seek(0)
                busy += clock() - t0
                continue
            board = game.board()
            for move in game.mainline_moves():
                board.push(move)
            busy += clock() - t0
            games += 1
            plies += board.ply()
        return games, plies, busy

    def close(self):
        self.handle.close()


def varnok_pgn_box(read_pgn, path, seconds: float, min_passes: int = 1):
    games = plies = passes = 0
    busy = 0.0
    clock = time.perf_counter
    while busy < seconds or passes < min_passes:
        t0 = clock()
        for game in read_pgn(path):
            plies += len(game.actions)
            _headers, _result = game.headers, game.result
            games += 1
        busy += clock() - t0
        passes += 1
    return games, plies, busy


def uci_list(value) -> list:
    return value.split() if isinstance(value, str) else [str(m) for m in value]


def check_pgn(read_pgn, path, games: int) -> None:
    """Raises ValueError where varnok's reading differs from python-chess's."""
    count = 0
    with open(path, encoding="utf-8") as handle:
        for index, ours in enumerate(read_pgn(path)):
            count += 1
            if index >= CHECK_GAMES:
                continue
            theirs = chess.pgn.read_game(handle)
            want = [m.uci() for m in theirs.mainline_moves()]
            if uci_list(ours.uci) != want:
                raise ValueError(f"game {index + 1}: moves differ from python-chess's")
            if len(ours.actions) != len(want):
                raise ValueError(f"game {index + 1}: {len(ours.actions)} actions for "
                                 f"{len(want)} moves")
            for tag, value in theirs.headers.items():
                if ours.headers.get(tag) != value:
                    raise ValueError(f"game {index + 1}: header {tag} is "
                                     f"{ours.headers.get(tag)!r}, python-chess {value!r}")
            if ours.result != theirs.headers["Result"]:
                raise ValueError(f"game {index + 1}: result {ours.result!r}, "
                                 f"python-chess {theirs.headers['Result']!r}")
    if count != games:
        raise ValueError(f"{count} games read, the file holds {games}")


# ----------------------------------------------------------------- SAN


def python_chess_san_box(fens, start: int, seconds: float, min_positions: int = 1):
    sans = positions = 0
    busy = 0.0
    clock = time.perf_counter
    i = start
    while busy < seconds or positions < min_positions:
        board = chess.Board(fens[i])
        moves = list(board.legal_moves)
        san = board.san
        t0 = clock()
        out = [san(m) for m in moves]
        busy += clock() - t0
        sans += len(out)
        positions += 1
        i = (i + 1) % len(fens)
    return sans, busy, i


def varnok_san_box(env, fens, start: int, seconds: float, min_positions: int = 1):
    sans = positions = 0
    busy = 0.0
    clock = time.perf_counter
    i = start
    while busy < seconds or positions < min_positions:
        env.load_fen(fens[i])
        t0 = clock()
        out = env.legal_moves_san()
        busy += clock() - t0
        sans += len(out)
        positions += 1
        i = (i + 1) % len(fens)
    return sans, busy, i


def check_san(env, fens) -> None:
    for i, fen in enumerate(fens):
        board = chess.Board(fen)
        want = sorted(board.san(m) for m in board.legal_moves)
        env.load_fen(fen)
        got = sorted(env.legal_moves_san())
        if got != want:
            extra, lost = sorted(set(got) - set(want)), sorted(set(want) - set(got))
            raise ValueError(f"position {i + 1} ({fen}): SAN differs from python-chess's "
                             f"(only varnok: {extra[:4]}, only python-chess: {lost[:4]})")


# ----------------------------------------------------------------- run


def run(settings, progress) -> dict:
    figures = {}
    reps = settings.reps
    seconds = settings.notation_seconds

    # 1. PGN
    t0 = time.perf_counter()
    path = pgn_file(settings.notation_games)
    made = time.perf_counter() - t0
    progress.say(f"  PGN file {path.name} ({path.stat().st_size / 1e6:.1f} MB)"
                 + (f", made in {made:.1f} s" if made > 0.5 else ""))
    why = peers.absent("read_pgn")
    read_pgn = None
    if not why:
        import varnok

        read_pgn = varnok.read_pgn
        try:
            check_pgn(read_pgn, path, settings.notation_games)
        except Exception as exc:
            why = f"varnok.read_pgn not usable: {peers.failure(exc)}"
    if why:
        progress.say(f"  varnok PGN side missing: {why}")
    reader = PythonChessReader(path)
    reader.box(seconds / 10)
    ours, theirs = [], []
    for rep in range(reps):
        if read_pgn is not None:
            ours.append(varnok_pgn_box(read_pgn, path, seconds))
        theirs.append(reader.box(seconds * 1.5))
        shown = (f"varnok {ours[-1][0] / ours[-1][2]:.0f} games/s, " if ours else "")
        progress.say(f"  rep {rep + 1}/{reps} PGN: {shown}python-chess "
                     f"{theirs[-1][0] / theirs[-1][2]:.1f} games/s")
    reader.close()
    p_games = [g / t for g, _, t in theirs]
    p_plies = [n / t for _, n, t in theirs]
    figures["python_chess_pgn_games_per_s"] = summary(p_games).as_dict("games/s")
    figures["python_chess_pgn_plies_per_s"] = summary(p_plies).as_dict("plies/s")
    if ours:
        v_games = [g / t for g, _, t in ours]
        v_plies = [n / t for _, n, t in ours]
        figures["pgn_games_per_s"] = summary(v_games).as_dict("games/s")
        figures["pgn_plies_per_s"] = summary(v_plies).as_dict("plies/s")
        figures["pgn_vs_python_chess"] = summary(
            [a / b for a, b in zip(v_games, p_games)]).as_dict("ratio")
        figures["pgn_plies_vs_python_chess"] = summary(
            [a / b for a, b in zip(v_plies, p_plies)]).as_dict("ratio")
    else:
        for key in ("pgn_games_per_s", "pgn_plies_per_s", "pgn_vs_python_chess",
                    "pgn_plies_vs_python_chess"):
            figures[key] = missing(UNITS[key], why)
    figures["pgn_vs_python_chess"]["details"] = {
        "file": str(path.relative_to(TOP)),
        "games": settings.notation_games,
        "bytes": path.stat().st_size,
        "python_chess": chess.__version__,
        "how": "games per second of reading time; python-chess: read_game, then game.board() "
               "and push of every mainline move, reading on through the file; varnok: "
               "read_pgn(path) iterated, actions, headers and result of every game, whole "
               f"passes; varnok's games checked against python-chess's first (count, and "
               f"moves, headers and result of the first {CHECK_GAMES})",
    }

    # 2. SAN
    fens = san_positions(settings.san_positions)
    why = peers.absent("ChessEnv.load_fen", "ChessEnv.legal_moves_san")
    env = None
    if not why:
        import varnok

        try:
            env = varnok.ChessEnv()
            check_san(env, fens)
        except Exception as exc:
            env, why = None, f"varnok SAN not usable: {peers.failure(exc)}"
    if why:
        progress.say(f"  varnok SAN side missing: {why}")
    python_chess_san_box(fens, 0, seconds / 10)
    ours, theirs = [], []
    at_ours = at_theirs = 0
    for rep in range(reps):
        if env is not None:
            n, t, at_ours = varnok_san_box(env, fens, at_ours, seconds)
            ours.append(n / t)
        n, t, at_theirs = python_chess_san_box(fens, at_theirs, seconds)
        theirs.append(n / t)
        shown = f"varnok {ours[-1] / 1e3:.0f} k/s, " if ours else ""
        progress.say(f"  rep {rep + 1}/{reps} SAN: {shown}python-chess {theirs[-1] / 1e3:.1f} k/s")
    figures["python_chess_san_per_s"] = summary(theirs).as_dict("SAN/s")
    if ours:
        figures["san_per_s"] = summary(ours).as_dict("SAN/s")
        figures["san_vs_python_chess"] = summary(
            [a / b for a, b in zip(ours, theirs)]).as_dict("ratio")
    else:
        figures["san_per_s"] = missing("SAN/s", why)
        figures["san_vs_python_chess"] = missing("ratio", why)
    figures["san_vs_python_chess"]["details"] = {
        "positions": len(fens),
        "how": f"SAN strings per second over {len(fens)} positions taken every {SAN_EVERY} "
               "plies of seeded random games; only the SAN calls are timed: python-chess "
               "board.san(move) for every legal move (Board(fen) and list(legal_moves) not "
               "timed), varnok env.legal_moves_san() (the listing of the legal moves included; "
               "load_fen not timed); SAN checked equal per position first",
    }
    return figures
