"""rules="fide" against python-chess: the end ply, result and reason of
random games and of hand-made positions, the half-move clock however a game
got to its position, repetitions by position identity, and every surface
that takes rules=.

python-chess is read with varnok's convention: the game ends at once on
checkmate or stalemate, on a third occurrence (is_repetition(3)), when the
half-move clock reaches 100, and on insufficient material, judged in that
order; under rules="fide-strict" on the fifth occurrence and at 150 plies
instead (is_fivefold_repetition, is_seventyfive_moves)."""

import pickle
import random

import chess
import chess.polyglot
import numpy as np
import pytest

import varnok

RANDOM_GAMES = 2000
STRICT_RANDOM_GAMES = 100
START = chess.STARTING_FEN


def verdict(board: chess.Board, strict: bool = False):
    """(reason, reward from white's side) as varnok names them, or None."""
    if not any(board.generate_legal_moves()):
        if board.is_check():
            return "checkmate", -1 if board.turn == chess.WHITE else 1
        return "stalemate", 0
    # A third occurrence lies at least 8 plies after the first (a fifth 16),
    # with no pawn move or capture between: below that clock python-chess's
    # answer is no (asking it anyway would only slow the test).
    occurrences, clock_limit = (5, 150) if strict else (3, 100)
    if board.halfmove_clock >= 4 * (occurrences - 1) and board.is_repetition(occurrences):
        return "repetition", 0
    if board.halfmove_clock >= clock_limit:
        return "no_progress", 0
    if board.is_insufficient_material():
        return "insufficient_material", 0
    return None


def play_and_check(env: varnok.ChessEnv, board: chess.Board, uci: str):
    """Plays a legal move in both; asserts they agree on the verdict and on
    the half-move clock (FEN and no-progress plane); returns the verdict."""
    _, reward, done = env.play(env.uci_to_action(uci))
    board.push(chess.Move.from_uci(uci))
    expected = verdict(board, env.rules == "fide-strict")
    assert (env.outcome(), reward) == (expected or (None, 0)), board.fen()
    assert bool(done) == (expected is not None)
    assert env.fen().split()[4] == str(board.halfmove_clock)
    return expected


def random_game(env: varnok.ChessEnv, rng: random.Random):
    """A random game under rules="fide" checked ply by ply against python-chess;
    returns the verdict it ends with."""
    env.reset()
    board = chess.Board()
    while True:
        actions = np.flatnonzero(env.legal_mask())
        ended = play_and_check(env, board, env.action_to_uci(int(actions[rng.randrange(len(actions))])))
        if ended:
            # The same position in the end, down to the Polyglot key and the
            # FEN with the legal en-passant square and both clocks.
            assert env.fen(en_passant="legal") == board.fen()
            assert env.zobrist_hash() == chess.polyglot.zobrist_hash(board)
            assert env.observation("int32")[118, 0, 0] == board.halfmove_clock
            return ended


@pytest.mark.parametrize("rules,games", [("fide", RANDOM_GAMES), ("fide-strict", STRICT_RANDOM_GAMES)])
def test_random_games_end_where_python_chess_says(rules, games):
    rng = random.Random(2027)
    env = varnok.ChessEnv(rules)
    reasons = {}
    for _ in range(games):
        reason = random_game(env, rng)[0]
        reasons[reason] = reasons.get(reason, 0) + 1
    # Random games reach every way of ending (under fide-strict a fifth
    # occurrence is rare, it has hand-made games of its own).
    assert set(reasons) >= {"checkmate", "stalemate", "no_progress", "insufficient_material"}
    assert rules == "fide-strict" or "repetition" in reasons


def walk(env, board, moves):
    """Plays UCI moves in both, checking each (and the Polyglot key, whose
    en-passant file counts a pawn beside the double-pushed one even when
    it is pinned); returns the last verdict."""
    ended = None
    for uci in moves.split():
        assert ended is None, "the game ended before " + uci
        ended = play_and_check(env, board, uci)
        assert env.zobrist_hash() == chess.polyglot.zobrist_hash(board)
    return ended


KNIGHT_SHUFFLE = "g1f3 g8f6 f3g1 f6g8 "  # back where it started after four plies


@pytest.mark.parametrize("name,start,moves,end,classic_end", [
    ("threefold from the initial position", None, KNIGHT_SHUFFLE * 2, "repetition", "repetition"),
    # The double push leaves e3 as the en-passant square with no black pawn
    # able to take: the position after 1. e4 is the same as after the
    # knights' return, so it occurs three times.
    ("en passant without a taker", None, "e2e4 g8f6 g1f3 f6g8 f3g1 g8f6 g1f3 f6g8 f3g1", "repetition", None),
    # The pawn on d4 stands beside e4 but is pinned against its king by the
    # bishop on a1: the en-passant square gives no possible move.
    ("en passant by a pinned pawn", "7k/8/8/8/3p4/8/4P3/B3K3 w - - 0 1",
     "e2e4 h8h7 e1f1 h7h8 f1e1 h8h7 e1f1 h7h8 f1e1", "repetition", None),
    # A legal en-passant capture makes the position after the double push
    # one of its own: the same walk is no threefold.
    ("en passant that can be taken", "4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1",
     "e2e4 e8d8 e1d1 d8e8 d1e1 e8d8 e1d1 d8e8 d1e1", None, None),
    # The white king and the black bishop trade squares and trade back: the
    # two positions share their classic hash, so classic counts a third
    # occurrence where each occurred twice at most.
    ("hash collision is no repetition", "2k5/K7/8/8/8/7p/1b6/8 w - - 0 1",
     "a7a6 b2d4 a6a5 d4a7 a5a4 c8d8 a4a3 d8d7 a3b2 d7c8 b2a3 c8d7 a3a4 d7d8 a4a5 a7d4 a5a6 d4b2 a6a7 d8c8",
     None, "repetition"),
    # Classic would have drawn at load (a count of 99); FIDE goes on, and a
    # mate on the ply the clock reaches 100 wins.
    ("mate on the hundredth ply wins", "7k/8/6K1/8/8/8/8/R7 w - - 99 80", "a1a8", "checkmate", "checkmate"),
])
def test_hand_made_games(name, start, moves, end, classic_end):
    env = varnok.ChessEnv("fide")
    board = chess.Board(start) if start else chess.Board()
    env.load_fen(board.fen())
    ended = walk(env, board, moves)
    assert (ended[0] if ended else None) == end, name
    classic = varnok.ChessEnv()
    classic.load_fen(chess.Board(start).fen() if start else START)
    for uci in moves.split():
        done = classic.play(classic.uci_to_action(uci))[2]
    assert classic.outcome() == classic_end and bool(done) == (classic_end is not None)


def quiet_walk(fen: str, plies: int, seed: int) -> list[str]:
    """Moves from fen with no pawn move, capture or check, each to a position
    seen least often so far (never a third time), by python-chess."""
    board, rng, moves = chess.Board(fen), random.Random(seed), []
    seen = {board.epd(): 1}
    while len(moves) < plies:
        quiet = [m for m in board.generate_legal_moves() if not board.is_capture(m) and not board.gives_check(m)
                 and board.piece_type_at(m.from_square) != chess.PAWN]
        rng.shuffle(quiet)
        counts = []
        for move in quiet:
            board.push(move)
            counts.append(seen.get(board.epd(), 0))
            board.pop()
        move = quiet[counts.index(min(counts))]
        board.push(move)
        assert not board.is_repetition(3)
        seen[board.epd()] = seen.get(board.epd(), 0) + 1
        moves.append(move.uci())
    return moves


@pytest.mark.parametrize("rules,limit", [("fide", 100), ("fide-strict", 150)])
def test_the_clock_reaches_its_limit_after_a_loaded_count(rules, limit):
    # From a loaded clock of 1, the quiet ply that brings it to the limit ends the game.
    fen = "4k3/8/8/8/8/8/8/R3K3 w - - 1 1"
    moves = quiet_walk(fen, limit - 1, seed=5)
    env, board = varnok.ChessEnv(rules), chess.Board(fen)
    env.load_fen(fen)
    assert walk(env, board, " ".join(moves)) == ("no_progress", 0)


def test_fide_strict_ends_on_the_fifth_occurrence():
    env, board = varnok.ChessEnv("fide-strict"), chess.Board()
    env.reset()
    assert walk(env, board, KNIGHT_SHUFFLE * 4) == ("repetition", 0)
    assert board.is_fivefold_repetition() and len(board.move_stack) == 16
    assert pickle.loads(pickle.dumps(env)).rules == "fide-strict"


@pytest.mark.parametrize("rules", ["fide", "fide-strict"])
def test_occurrences_past_the_limit_still_end_the_game(rules):
    # A GUI may play on past a draw it did not claim: every later occurrence
    # of a position seen that often is a draw too, as python-chess's
    # is_repetition reads it, for the game and for a VectorEnv row given it.
    occurrences = 5 if rules == "fide-strict" else 3
    env, board, row = varnok.ChessEnv(rules), chess.Board(), varnok.VectorEnv(1, rules=rules)
    env.reset()
    for uci in KNIGHT_SHUFFLE.split() * occurrences:
        done = env.play(env.uci_to_action(uci))[2]
        board.push_uci(uci)
        assert bool(done) == board.is_repetition(occurrences), board.ply()
        if not done:
            row.restore_state(0, env.save_state())
        else:
            with pytest.raises(ValueError, match="over"):
                row.restore_state(0, env.save_state())


def test_the_clock_is_the_same_played_loaded_or_restored():
    # The game after 1. e4, played, loaded from its FEN, restored from its
    # State and unpickled: the same clock in the FEN and the no-progress
    # plane at every ply, and the draw on the 100th quiet ply for all.
    played = varnok.ChessEnv("fide")
    played.reset()
    played.play(played.uci_to_action("e2e4"))
    loaded = varnok.ChessEnv("fide")
    loaded.load_fen(played.fen())
    restored = varnok.ChessEnv("fide")
    restored.restore_state(played.save_state())
    games = [played, loaded, restored, pickle.loads(pickle.dumps(played))]
    assert [game.observation("int32")[118, 0, 0] for game in games] == [0] * 4
    for ply, uci in enumerate(quiet_walk(played.fen(), 100, seed=3), start=1):
        results = [game.play(game.uci_to_action(uci)) for game in games]
        assert [game.observation("int32")[118, 0, 0] for game in games] == [ply] * 4
        assert [game.fen().split()[4] for game in games] == [str(ply)] * 4
        assert [done for _, _, done in results] == [int(ply == 100)] * 4
    assert {game.outcome() for game in games} == {"no_progress"}
    # classic keeps its count: one more than the clock after the pawn move.
    classic = varnok.ChessEnv()
    classic.reset()
    classic.play(classic.uci_to_action("e2e4"))
    assert classic.save_state().no_progress_count == 1 and classic.fen().split()[4] == "0"


def test_vector_rows_match_single_games():
    num_envs = 8
    venv = varnok.VectorEnv(num_envs, num_threads=2, seed=11, obs_dtype="int32", rules="fide")
    assert venv.rules == "fide"
    refs = [varnok.ChessEnv("fide") for _ in range(num_envs)]
    for ref in refs:
        ref.reset()
    r = venv.reset()
    ended = 0
    reasons = set()
    codes = {1: "checkmate", 2: "stalemate", 3: "repetition", 4: "no_progress", 5: "insufficient_material"}
    while ended < 150:
        actions = venv.random_actions()
        r = venv.step(actions)
        for i, ref in enumerate(refs):
            _, reward, done = ref.play(int(actions[i]))
            assert r.reward[i] == reward and r.terminated[i] == bool(done)
            if done:
                assert codes[int(r.final_reason[i])] == ref.outcome()
                assert np.array_equal(r.final_obs[i], ref.observation("int32"))
                reasons.add(ref.outcome())
                ended += 1
                ref.reset()
            assert np.array_equal(r.obs[i], ref.observation("int32")), i
    assert "insufficient_material" in reasons and "repetition" in reasons
    for i, ref in enumerate(refs):
        assert venv.save_state(i).repetition_count == ref.save_state().repetition_count


def test_every_surface_takes_rules():
    import varnok.gym
    import varnok.pettingzoo
    assert varnok.gym.ChessEnv().game.rules == "fide"
    assert varnok.gym.ChessEnv(rules="classic").game.rules == "classic"
    vec = varnok.gym.ChessVectorEnv(2)
    assert vec.native.rules == "fide"
    vec.close()
    assert varnok.pettingzoo.raw_env().game.rules == "fide"
    assert varnok.ChessEnv().rules == varnok.VectorEnv(1).rules == "classic"
    assert varnok.VectorEnv(1, rules="fide-strict").rules == "fide-strict"
    for make in (lambda: varnok.ChessEnv("strict"), lambda: varnok.VectorEnv(1, rules="FIDE"),
                 lambda: varnok.gym.ChessEnv(rules=""), lambda: varnok.roll_outs([], 1, rules="x"),
                 lambda: varnok.replay_pgn("[Event \"x\"]\n\n1. e4 *\n", rules="x")):
        with pytest.raises(ValueError, match="rules"):
            make()

    # Roll-outs from K+Q+R against K with 60 quiet plies behind: classic
    # has drawn already, FIDE leaves 40 plies in which random play mates.
    env = varnok.ChessEnv("fide")
    env.load_fen("4k3/8/8/8/8/8/8/RQ2K3 w - - 60 80")
    state = env.save_state()
    assert (varnok.roll_outs([state], 50, seed=1) == 0).all()
    assert (varnok.roll_outs([state], 50, seed=1, rules="fide") == 1).any()

    # replay_pgn counts the clock by rules: after 1. e4 the plane is 0, not 1.
    rows = varnok.replay_pgn("[Event \"x\"]\n\n1. e4 e5 2. Nf3 *\n", obs_dtype="float32", rules="fide")
    assert [row[118, 0, 0] for row in rows["obs"]] == [0, 0, 0]
    rows = varnok.replay_pgn("[Event \"x\"]\n\n1. e4 e5 2. Nf3 *\n", obs_dtype="float32")
    assert [row[118, 0, 0] for row in rows["obs"]] == [0, 1, 1]

    # Search roots follow the rules of the game they come from: at a count
    # of 99 the classic game is over (refused as a root), the FIDE one goes
    # on. States and FEN texts take rules=; a contradiction is refused.
    fen = "4k3/8/8/8/8/8/8/R3K3 w - - 99 80"
    fide, classic = varnok.ChessEnv("fide"), varnok.ChessEnv()
    fide.load_fen(fen)
    classic.load_fen(fen)
    venv = varnok.VectorEnv(1, rules="fide")
    venv.restore_state(0, fide.save_state())
    for search in (varnok.MCTS(1, seed=0), varnok.UCT(1, seed=0)):
        search.set_roots([fide])
        search.set_roots(venv)
        search.set_roots([fide.save_state()], rules="fide")
        for refused in ([classic], [fide.save_state()]):
            with pytest.raises(ValueError, match="finished|over"):
                search.set_roots(refused)
        with pytest.raises(ValueError, match="rules"):
            search.set_roots([fide], rules="classic")
        with pytest.raises(ValueError, match="rules"):
            search.set_roots(venv, rules="classic")
