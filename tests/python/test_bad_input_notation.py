"""Bad input to the fast ChessEnv calls and the notation (UCI, SAN, FEN, PGN):
each call is refused with the exception and message named, leaves the game
exactly as it was, and the game then goes on as an untouched twin's does."""

import os

import numpy as np
import pytest
import varnok

OPENING = ("e2e4", "e7e5", "g1f3")   # black to move, a move log to keep


def opened():
    env = varnok.ChessEnv()
    env.reset()
    for uci in OPENING:
        env.play(env.uci_to_action(uci))
    return env


def snapshot(env, listing=True):
    """The whole game; without the action map when listing is False (a refused
    play or step lists the position again, as step always has)."""
    state = env.save_state()
    if not listing:
        state.move_index = {}
    return state.__getstate__(), env.fen(), env.moves_uci(), env.observation().tobytes(), env.outcome()


def plays_on_like(env, twin):
    for uci in ("b8c6", "f1b5", "a7a6"):
        assert env.play(env.uci_to_action(uci)) == twin.play(twin.uci_to_action(uci))
    assert snapshot(env) == snapshot(twin)
    assert env.pgn() == twin.pgn() and env.roll_out(seed=9) == twin.roll_out(seed=9)


def test_every_fen_written_at_the_counters_limits_reads_again():
    # Counters played past nine digits, and at the int32 limit where they
    # stop counting: the FEN and the PGN written read back as the game.
    env = varnok.ChessEnv()
    for start in ("k7/8/8/8/8/8/8/K7 b - - 999999999 999999999", "k7/8/8/8/8/8/8/K7 b - - 2147483647 2147483647"):
        env.load_fen(start)
        for move in ("a8b8", "a1b1", "b8a8", "b1a1"):
            env.play(env.uci_to_action(move))
        assert [len(counter) for counter in env.fen().split()[4:]] == [10, 10]
        again = varnok.ChessEnv()
        again.load_fen(env.fen())
        assert again.fen() == env.fen()
        assert next(iter(varnok.read_pgn(env.pgn()))).uci == ["a8b8", "a1b1", "b8a8", "b1a1"]


BAD_FENS = [
    ("", "expected 6 fields"),
    ("garbage", "expected 6 fields"),
    ("8/8/8/8/8/8/8/8 w - - 0 1", "white has 0 kings"),
    ("k7/8/8/8/8/8/8/KK6 w - - 0 1", "white has 2 kings"),
    ("k6R/8/8/8/8/8/8/K7 w - - 0 1", "black king is in check"),
    ("k7/8/8/8/8/8/8/KP6 w - - 0 1", "first or last rank"),
    ("k7/8/8/8/8/8/8/K7 w - - -1 1", "half-move clock"),
    ("k7/8/8/8/8/8/8/K7 w - - 9999999999 1", "half-move clock field '9999999999': expected at most 2147483647"),
    ("k7/8/8/8/8/8/8/K7 w - - 0 99999999999999", "full-move number"),
    ("k7/8/8/8/8/8/8/4K3 w K - 0 1", "castling field"),
    ("k7/8/8/8/8/8/8/4K3 w - e4 0 1", "en passant field"),
    ("k7/8/8/8/8/8/8/K7 x - - 0 1", "side to move"),
    ("k7/8/8/8/8/8/8/K7 w - - 0 1\0garbage", "full-move number"),
    ("k7/9/8/8/8/8/8/K7 w - - 0 1", "placement"),
    ("8/" * 100_000 + " w - - 0 1", "placement"),
    # non-ASCII: the message quotes whole characters, cut between two of them
    ("１nbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "placement field '１nbqkbnr/.*unexpected character '１'$"),
    ("rnbqkbnr/ppp😀pppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "unexpected character '😀'$"),
    ("é" * 100 + " w - - 0 1", "placement field '(é){40}': unexpected character 'é'$"),
    ("k7/8/8/8/8/8/8/K7 ｗ - - 0 1", "side to move field 'ｗ'"),
    ("k7/8/8/8/8/8/8/K7 w - - 0 1\x1b", "full-move number field '1\\\\x1b'"),
]

CASES = [
    # the fast calls
    ("play", (-1,), ValueError, "^Invalid action$"),
    ("play", (4672,), ValueError, "^Invalid action$"),
    ("play", (564,), ValueError, "^Invalid action$"),        # white's e2-e4, but black is to move
    ("play", (None,), TypeError, "play"),
    ("play", ("564",), TypeError, "play"),
    ("play", (2**31,), TypeError, "play"),
    ("observation", ("float64",), ValueError, 'obs_dtype must be "float32", "int32", "uint8" or "packed", got "float64"'),
    ("observation", ("",), ValueError, "obs_dtype must be"),
    ("observation", ("FLOAT32",), ValueError, "obs_dtype must be"),
    ("observation", (None,), TypeError, "observation"),
    ("observation", (np.float32,), TypeError, "observation"),
    ("legal_actions", (1,), TypeError, "legal_actions"),
    ("legal_mask", (None,), TypeError, "legal_mask"),
    ("roll_out", (-1,), TypeError, "roll_out"),
    ("roll_out", (2**32,), TypeError, "roll_out"),
    ("roll_out", ("1",), TypeError, "roll_out"),
    # moves as text
    ("action_to_uci", (-1,), ValueError, "action -1 is not legal here"),
    ("action_to_uci", (4672,), ValueError, "action 4672 is not legal here"),
    ("action_to_uci", (564,), ValueError, "action 564 is not legal here"),
    ("action_to_uci", (None,), TypeError, "action_to_uci"),
    ("action_to_san", (0,), ValueError, "action 0 is not legal here"),
    ("action_to_san", (2**31,), TypeError, "action_to_san"),
    ("uci_to_action", ("",), ValueError, "malformed UCI move ''"),
    ("uci_to_action", ("E7E5",), ValueError, "malformed UCI move 'E7E5'"),
    ("uci_to_action", ("e7e5 ",), ValueError, "malformed UCI move"),
    ("uci_to_action", ("e7e5\0",), ValueError, "malformed UCI move"),
    ("uci_to_action", ("e7" * 100_000,), ValueError, "malformed UCI move"),
    ("uci_to_action", ("0000",), ValueError, "malformed UCI move '0000'"),
    ("uci_to_action", ("é7e5",), ValueError, "malformed UCI move"),
    ("uci_to_action", ("e2e4",), ValueError, "illegal UCI move 'e2e4' in "),    # white's move, black to move
    ("uci_to_action", ("d7d4",), ValueError, "illegal UCI move 'd7d4'"),
    ("uci_to_action", ("a7a8q",), ValueError, "illegal UCI move"),
    ("uci_to_action", (None,), TypeError, "uci_to_action"),
    ("uci_to_action", (5,), TypeError, "uci_to_action"),
    ("san_to_action", ("",), ValueError, "malformed SAN move ''"),
    ("san_to_action", (" Nc6",), ValueError, "malformed SAN move ' Nc6'"),
    ("san_to_action", ("Nc6+#",), ValueError, "malformed SAN move"),
    ("san_to_action", ("N" * 1_000_000,), ValueError, "malformed SAN move"),
    ("san_to_action", ("--",), ValueError, "malformed SAN move '--'"),
    ("san_to_action", ("Ke6",), ValueError, "illegal SAN move 'Ke6' in "),
    ("san_to_action", ("O-O",), ValueError, "illegal SAN move 'O-O'"),
    ("san_to_action", ("e4",), ValueError, "illegal SAN move 'e4'"),
    ("san_to_action", ("Nf3",), ValueError, "illegal SAN move 'Nf3'"),      # white's knight
    ("san_to_action", (None,), TypeError, "san_to_action"),
    # FEN: strict loading, nothing changed when refused
    *[("load_fen", (text,), ValueError, "FEN .*" + message) for text, message in BAD_FENS],
    ("load_fen", (None,), TypeError, "load_fen"),
    ("load_fen", (5,), TypeError, "load_fen"),
    ("fen", ("always",), ValueError, 'en_passant must be "standard" or "legal", got "always"'),
    ("fen", (None,), TypeError, "fen"),
    # PGN headers: tags that would corrupt the file are refused
    ("pgn", ({"White": 1},), TypeError, "PGN headers must map str to str, got 'White': 1"),
    ("pgn", ({1: "x"},), TypeError, "PGN headers must map str to str"),
    ("pgn", ({"White": None},), TypeError, "PGN headers must map str to str"),
    ("pgn", ([("White", "me")],), TypeError, "pgn"),
    ("pgn", ("White",), TypeError, "pgn"),
    ("pgn", ({"Wh ite": "x"},), ValueError, "PGN tag name 'Wh ite' is not a PGN symbol"),
    ("pgn", ({"": "x"},), ValueError, "PGN tag name '' is not a PGN symbol"),
    ("pgn", ({"White]": "x"},), ValueError, "not a PGN symbol"),
    ("pgn", ({"_Event": "x"},), ValueError, "not a PGN symbol"),
    ("pgn", ({"White": 'me"]\n[Result "1-0'},), ValueError, "PGN tag White holds a control character"),
    ("pgn", ({"Annotator": "tab\there"},), ValueError, "PGN tag Annotator holds a control character"),
    ("pgn", ({"Event": "bell\x07"},), ValueError, "control character"),
    ("pgn", ({"N" * 65: "x"},), ValueError, "PGN tag name 'N{64}...' is longer than 64 bytes"),   # a reader cuts
    ("pgn", ({"Annotator": "x" * 65537},), ValueError, "PGN tag Annotator holds 65537 bytes, more than the 65536"),
    ("svg", (0,), ValueError, "size must be at least 64 pixels, got 0"),
    ("svg", (63,), ValueError, "size must be at least 64"),
    ("svg", (400, "yes"), TypeError, "svg"),
]


@pytest.mark.parametrize("method, args, error, message", CASES)
def test_refused_calls_leave_the_game_unchanged(method, args, error, message):
    env, twin = opened(), opened()
    listing = not (method == "play" and error is ValueError)
    before = snapshot(env, listing)
    with pytest.raises(error, match=message):
        getattr(env, method)(*args)
    assert snapshot(env, listing) == before
    plays_on_like(env, twin)


def test_refused_pgn_headers_leave_good_ones_working():
    env = opened()
    longest = {"N" * 64: '"\\' * 32768}   # each of its bytes escaped as it is written
    text = env.pgn({"White": 'me "the" \\ player', "Annotator": "ünïcode", **longest})
    game = next(varnok.read_pgn(text))
    assert game.headers["White"] == 'me "the" \\ player' and game.headers["Annotator"] == "ünïcode"
    assert game.headers["N" * 64] == longest["N" * 64]
    assert game.uci == list(OPENING)


def test_a_finished_game_refuses_moves_but_stays_readable():
    env, twin = varnok.ChessEnv(), varnok.ChessEnv()
    for e in (env, twin):
        e.load_fen("7k/6Q1/6K1/8/8/8/8/8 b - - 0 1")
    before = snapshot(env)
    assert env.legal_actions().size == 0 and not env.legal_mask().any()
    for call in (lambda: env.action_to_uci(0), lambda: env.uci_to_action("h8h7"), lambda: env.san_to_action("Kh7")):
        with pytest.raises(ValueError, match="not legal|illegal"):
            call()
    assert snapshot(env) == before and env.fen() == twin.fen()


# ---- read_pgn and replay_pgn

GAMES = '[Event "one"]\n\n1. e4 e5 2. Nf3 *\n\n[Event "two"]\n\n1. d4 d5 *\n'


class BytesPath:
    def __fspath__(self):
        return b"/etc/hostname"


def readers(tmp_path):
    path = tmp_path / "games.pgn"
    path.write_text(GAMES)
    return path


PGN_CASES = [
    (lambda d: (d / "missing.pgn",), {}, FileNotFoundError, r"\[Errno 2\] No such file or directory: '.*missing.pgn'"),
    (lambda d: (str(d / "missing.pgn"),), {}, FileNotFoundError, "missing.pgn"),
    (lambda d: (d,), {}, IsADirectoryError, r"\[Errno 21\] Is a directory"),
    (lambda d: ("",), {}, FileNotFoundError, "No such file"),    # a str without a newline is a path
    (lambda d: (None,), {}, TypeError, "NoneType"),
    (lambda d: (5,), {}, TypeError, "int"),
    (lambda d: (GAMES.encode(),), {}, TypeError, "source must be PGN text, a str path or an os.PathLike of str"),
    (lambda d: (BytesPath(),), {}, TypeError, "os.PathLike of str"),
    (lambda d: (str(d / "games.pgn") + "\0.other",), {}, ValueError, "source: embedded null byte"),
    (lambda d: (d / "games.pgn\0",), {}, ValueError, "source: embedded null byte"),
    (lambda d: ('[Event "\ud800"]\n',), {}, ValueError, "source: PGN text must be valid Unicode"),
    (lambda d: ("games\udc00.pgn",), {}, UnicodeEncodeError, "surrogates not allowed"),   # as open() refuses it
    (lambda d: (GAMES,), dict(errors="ignore"), ValueError, 'errors must be "skip" or "raise", got "ignore"'),
    (lambda d: (GAMES,), dict(errors=None), TypeError, "errors"),
]


@pytest.mark.parametrize("reader", ["read_pgn", "replay_pgn"])
@pytest.mark.parametrize("arguments, options, error, message", PGN_CASES)
def test_pgn_sources_refused(tmp_path, reader, arguments, options, error, message):
    path = readers(tmp_path)
    kept = path.read_bytes()
    with pytest.raises(error, match=message):
        result = getattr(varnok, reader)(*arguments(tmp_path), **options)
        list(result) if reader == "read_pgn" else None
    assert path.read_bytes() == kept and sorted(os.listdir(tmp_path)) == ["games.pgn"]
    assert [g.uci for g in varnok.read_pgn(path)] == [["e2e4", "e7e5", "g1f3"], ["d2d4", "d7d5"]]
    assert varnok.replay_pgn(path)["action"].tolist() == [g for game in varnok.read_pgn(path) for g in game.actions]


@pytest.mark.parametrize("obs_dtype, error", [("int32", ValueError), ("uint8", ValueError), ("", ValueError),
                                              (None, TypeError)])
def test_replay_pgn_refuses_other_observation_formats(obs_dtype, error):
    with pytest.raises(error, match="obs_dtype"):
        varnok.replay_pgn(GAMES, obs_dtype=obs_dtype)
    assert varnok.replay_pgn(GAMES, obs_dtype="float32")["obs"].shape == (5, 119, 8, 8)


@pytest.mark.parametrize("text, message", [
    ("1. e5 *\n", r"line 1: illegal SAN move 'e5'"),
    ('[Event "x"]\n[FEN "garbage"]\n\n1. e4 *\n', "line 2: bad FEN tag"),   # the tag's line
    ("1. " + "N" * 100_000 + " *\n", "line 1: malformed SAN move"),
    ("1. e4 e5 2. Ke3 *\n", "illegal SAN move 'Ke3'"),
])
def test_broken_games_raise_with_their_line_and_the_reader_goes_on(text, message):
    games = varnok.read_pgn(text + "\n" + GAMES, errors="raise")
    with pytest.raises(ValueError, match=message):
        next(games)
    assert [g.headers["Event"] for g in games] == ["one", "two"]
    with pytest.raises(StopIteration):
        next(games)
    assert len(list(varnok.read_pgn(text, errors="skip"))) == 0


@pytest.mark.parametrize("fen, character", [
    ("１nbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "１"),
    ("rnbqkbnr/ppp😀pppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "😀"),
])
@pytest.mark.parametrize("call", [
    lambda fen: varnok.VectorEnv(1, num_threads=1).set_start_positions([fen]),
    lambda fen: varnok.MCTS(1, num_threads=1).set_roots([fen]),
    lambda fen: varnok.UCT(1, num_threads=1).set_roots([fen]),
    lambda fen: next(varnok.read_pgn(f'[FEN "{fen}"]\n\n1. e4 *\n', errors="raise")),
    lambda fen: varnok.replay_pgn(f'[FEN "{fen}"]\n\n1. e4 *\n', errors="raise"),
])
def test_a_non_ascii_fen_is_refused_naming_the_field_everywhere(call, fen, character):
    with pytest.raises(ValueError, match=f"placement field '.*': unexpected character '{character}'"):
        call(fen)


def test_pgn_objects_are_made_only_by_the_reader():
    for cls in (varnok.PgnGame, varnok.PgnGames, varnok.SearchLeaves, varnok.VectorStep):
        with pytest.raises(TypeError, match="No constructor defined"):
            cls()
