"""Notation checked against python-chess over many positions.

Random games (from the initial position and from standard tricky positions)
are played through the environment and python-chess side by side. At every
ply: both FEN texts, the legal moves in UCI; at every eighth ply also the
SAN of every legal move, read back, and read in its common variations.
Generated FEN texts, well-formed but often impossible, must be accepted by
the strict loader exactly when python-chess's is_valid() accepts them. PGN
written by python-chess (with comments, NAGs and variations) is read, and
PGN written by the environment is read back by python-chess.

The FEN half-move clock is the standard one (plies since the last pawn move
or capture), the same as python-chess's, although the episode's no-progress
count also counts the move that restarted it.
"""

import io
import pathlib
import random

import chess
import chess.pgn
import pytest
import varnok

from conftest import legal_actions


STARTS = [
    chess.STARTING_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "8/8/8/K2pP2r/8/8/8/7k w - d6 0 1",
    "6k1/8/8/8/8/Q7/8/Q1Q4K w - - 0 1",
    "r3k2r/8/8/8/8/8/5r2/R3K2R w KQkq - 0 1",
    "1k6/1P1P1P2/8/8/8/8/1p1p1p2/1K6 w - - 0 1",
    "2r1r1k1/3N1N2/8/8/8/8/3n1n2/2R1R1K1 w - - 10 30",
]
GAME_CHUNKS = 4
GAMES_PER_CHUNK = 110
MAX_PLIES = 240
SAN_EVERY = 8
FEN_FIELDS = ("placement", "side to move", "castling", "en passant", "half-move clock", "full-move number")


def variants(san):
    """The same move as sloppier writers give it."""
    body = san.rstrip("+#")
    out = {body, body + "!", body + "?!", san + "!!", san + "??"}
    if body.startswith("O-O"):
        out.add(body.replace("O", "0"))
    if "=" in body:
        out |= {body.replace("=", ""), body[:-1] + body[-1].lower()}
    return out



def check_position(env, board, with_san):
    fen = env.fen(en_passant="legal").split(" ")
    expected = board.fen().split(" ")
    assert fen == expected, board.fen()
    standard = env.fen(en_passant="standard").split(" ")
    assert standard[3] == (chess.square_name(board.ep_square) if board.ep_square is not None else "-")
    assert standard[:3] + standard[4:] == fen[:3] + fen[4:]
    ucis = env.legal_moves_uci()
    assert sorted(ucis) == sorted(m.uci() for m in board.legal_moves), board.fen()
    if not with_san:
        return
    actions = legal_actions(env)
    assert ucis == [env.action_to_uci(a) for a in actions]
    assert env.legal_moves_san() == [env.action_to_san(a) for a in actions]
    for action, uci in zip(actions, ucis):
        move = chess.Move.from_uci(uci)
        san = env.action_to_san(action)
        assert san == board.san(move), (board.fen(), uci)
        assert env.uci_to_action(uci) == action
        for text in variants(san):
            assert env.san_to_action(text) == action, (board.fen(), text)
    # python-chess reads the variants as the same move too (its PGN reader
    # strips annotations first), so they are fair inputs.
    move = chess.Move.from_uci(ucis[len(ucis) // 2]) if ucis else None
    if move:
        for text in variants(board.san(move)):
            assert board.parse_san(text.rstrip("!?")) == move, (board.fen(), text)


@pytest.mark.parametrize("chunk", range(GAME_CHUNKS))
def test_random_games_fen_uci_and_san(chunk):
    positions = 0
    for game in range(GAMES_PER_CHUNK):
        seed = chunk * GAMES_PER_CHUNK + game
        rng = random.Random(seed)
        start = STARTS[seed % len(STARTS)]
        env, board = varnok.ChessEnv(), chess.Board(start)
        env.load_fen(start)
        for ply in range(MAX_PLIES):
            check_position(env, board, with_san=ply % SAN_EVERY == 0)
            positions += 1
            moves = list(board.legal_moves)
            if not moves:
                break
            move = rng.choice(moves)
            env.step(env.uci_to_action(move.uci()))
            board.push(move)
    assert positions > 15_000 * GAMES_PER_CHUNK // 110


def random_placement(rng):
    squares = rng.sample(range(64), rng.randint(2, 20))
    kings = rng.choice([(1, 1)] * 8 + [(0, 1), (1, 0), (2, 1), (1, 2)])
    letters = ["K"] * kings[0] + ["k"] * kings[1]
    letters += [rng.choice("PNBRQpnbrqPPpp") for _ in range(len(squares) - len(letters))]
    board = chess.Board(None)
    for square, letter in zip(squares, letters):
        board.set_piece_at(square, chess.Piece.from_symbol(letter))
    return board.board_fen()


def random_fen(rng, placements):
    placement = rng.choice(placements)
    side = rng.choice("wb")
    rights = "".join(c for c in "KQkq" if rng.random() < 0.15) or "-"
    ep = "-"
    if rng.random() < 0.4:
        rank = ("6" if side == "w" else "3") if rng.random() < 0.8 else rng.choice("12345678")
        ep = rng.choice("abcdefgh") + rank
    clocks = rng.choice([" 0 1", " 12 40", ""])
    return f"{placement} {side} {rights} {ep}{clocks}"


def python_drops_castling(fen):
    """python-chess drops a Q or q right when that side has no rook on its back
    rank at all, and may then call the position valid; the strict loader
    refuses the right."""
    board = chess.Board(None)
    board.set_board_fen(fen.split()[0])
    rights = fen.split()[2]
    return any(flag in rights and not board.pieces(chess.ROOK, color) & rank
               for flag, color, rank in (("Q", chess.WHITE, chess.BB_RANK_1), ("q", chess.BLACK, chess.BB_RANK_8)))


def test_strict_fen_accepts_what_python_chess_calls_valid():
    rng = random.Random(5)
    placements = [random_placement(rng) for _ in range(3000)]
    # Placements from play, where checks and en passant are real.
    for game in range(150):
        board = chess.Board()
        for _ in range(rng.randint(5, 120)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
        placements.append(board.board_fen())
        board.castling_rights = board.clean_castling_rights()
    env = varnok.ChessEnv()
    accepted = checked = 0
    for _ in range(40_000):
        fen = random_fen(rng, placements)
        try:
            expected = chess.Board(fen).is_valid()
        except ValueError:
            expected = False
        try:
            env.load_fen(fen)
            got = True
        except ValueError as error:
            got = False
            assert any(field in str(error) for field in FEN_FIELDS), str(error)
        if python_drops_castling(fen):
            assert not got, fen
            continue
        assert got == expected, fen
        checked += 1
        accepted += got
        if got:
            assert env.fen().split(" ")[:4] == fen.split(" ")[:4]
    assert checked > 25_000 and accepted > 2_000, (checked, accepted)


def decorated_game(rng, start):
    """A python-chess game with comments, NAGs and variations on its mainline."""
    game = chess.pgn.Game()
    board = chess.Board(start)
    if start != chess.STARTING_FEN:
        game.setup(board)
    game.headers["Event"] = f"Game {rng.randint(1, 10**6)}"
    game.headers["White"] = 'A "quoted" name'
    node = game
    for _ in range(rng.randint(0, 90)):
        moves = list(board.legal_moves)
        if not moves:
            break
        move = rng.choice(moves)
        if len(moves) > 1 and rng.random() < 0.1:
            side_line = node.add_variation(rng.choice([m for m in moves if m != move]))
            side_line.comment = "a side line (with a paren"
        node = node.add_main_variation(move)
        if rng.random() < 0.1:
            node.comment = "well played } or not"[: rng.randint(5, 11)]
        if rng.random() < 0.1:
            node.nags.add(rng.randint(1, 20))
        board.push(move)
    game.headers["Result"] = board.result(claim_draw=False) if board.is_game_over() else rng.choice(["*", "1/2-1/2"])
    return game


def test_read_pgn_matches_python_chess(tmp_path):
    rng = random.Random(8)
    games = [decorated_game(rng, STARTS[i % len(STARTS)]) for i in range(300)]
    texts = [str(g) + "\n\n" for g in games]
    text = "".join(texts)
    lines, line = [], 1
    for t in texts:
        lines.append(line)
        line += t.count("\n")
    path = tmp_path / "games.pgn"
    path.write_text(text)
    for source in (text, pathlib.Path(path)):
        read = list(varnok.read_pgn(source))
        assert len(read) == len(games)
        for ours, theirs, first_line in zip(read, games, lines):
            assert ours.uci == [m.uci() for m in theirs.mainline_moves()]
            assert ours.headers == dict(theirs.headers)
            assert ours.result == theirs.headers["Result"]
            assert ours.line == first_line
            env = varnok.ChessEnv()
            env.load_fen(theirs.headers.get("FEN", chess.STARTING_FEN))
            for action, uci in zip(ours.actions, ours.uci):
                assert env.action_to_uci(action) == uci
                env.step(action)


def test_read_pgn_skips_or_raises_on_a_broken_game():
    text = ('[Event "one"]\n\n1. e4 e5 1-0\n\n'
            '[Event "two"]\n\n1. e4 e5 2. Ke3 *\n\n'
            '[Event "three"]\n\n1. d4 0-1\n')
    assert [g.headers["Event"] for g in varnok.read_pgn(text, errors="skip")] == ["one", "three"]
    with pytest.raises(ValueError, match="Ke3"):
        list(varnok.read_pgn(text, errors="raise"))
    # Games of other variants have the same moves to other ends (an atomic
    # capture explodes): they were read as chess, their positions never played.
    variants = "".join(f'[Event "{v}"]\n[Variant "{v}"]\n\n1. e4 d5 2. exd5 *\n\n'
                       for v in ("Atomic", "Standard", "Crazyhouse", "From Position", "King of the Hill", "Chess 960"))
    assert [g.headers["Event"] for g in varnok.read_pgn(variants, errors="skip")] == [
        "Standard", "From Position", "Chess 960"]
    with pytest.raises(ValueError, match='line 2: Variant "Atomic"'):
        list(varnok.read_pgn(variants, errors="raise"))


# Texts as real files hold them, read as python-chess reads the same bytes
# from a file opened as text (universal newlines, UTF-8 with undecodable
# bytes replaced).
PGN_QUIRKS = [
    b'[Event "cr"]\r[White "x"]\r\r1. e4 e5 *\r\r[Event "b"]\r\r1. d4 *\r',              # old Mac line ends
    b'[Event "crlf"]\r\n\r\n1. e4 e5 2. Nf3 *\r\n',
    b'[Event "ep"]\n\n1. e4 Nf6 2. e5 d5 3. exd6e.p. Qxd6 *\n',                         # "e.p." glued on
    b'[Event "ep"]\n\n1. e4 Nf6 2. e5 d5 3. exd6 e.p. Qxd6 *\n',
    b'[Event "ep"]\n\n1. e4 Nf6 2. e5 d5 3. exd6 ep Qxd6 *\n',                             # "ep" without dots
    b'1. e4 1-0 0-1',                                                                    # a second result
    b'1. e4 1-0\n\n0-1\n',                                                              # after a blank line: a game
    b'1. e4 e5\n\n1. d4 d5\n\n1. c4 (1. Nf3\n\n1. g3 *\n',                             # a blank line ends movetext
    b'[Event "a"]\n\n1. e4 e5 2. Nf3 {a\n\nlong comment} Nc6\n \t\n1. d4 *\n',
    b'1. e4 e5 2. Nf3 += Nc6 3. Bb5 +/- a6 4. Ba4 = Nf6 5. O-O -+ + # =/+ -/+ 1/2 *\n',    # evaluation signs
    b'[FEN "qbnrkrbn/pppppppp/8/8/8/8/PPPPPPPP/QBNRKRBN w KQkq - 0 1"]\n\n'                 # Chess960 rights, no Variant
    b'1. e4 c5 2. g3 c4 3. d3 a6 4. b4 d6 5. dxc4 a5 6. Qc3 g6 7. f3 a4 8. Bb6 f6 9. O-O *\n',
    b'1. e4!!! e5?!? 2. Nf3+!?! *\n',                                                     # runs of marks
    b'1. e4$1 f6$2$4 2. d4 g5 3. Qh5++ 1-0\n',                                            # glued NAGs, "++"
    b'[Result "1-0"]\n\n1. e4 e5\n',                                                      # no result token
    b'[Event "tags alone"]\n[Variant "Chess960"]\n[FEN "4k3/8/8/8/8/8/8/4K3 w - - 0 1"]\n\n\n1. e4 *\n',
    b'[Event "latin-1"]\n[White "M\xfcller"]\n[Black "\xc3"]\n\n1. e4 e5 1/2-1/2\n',   # not UTF-8
    b'[Event "utf-8"]\n[White "M\xc3\xbcller \xe2\x99\x9a"]\n\n1. e4 *\n',
    b'1. e4 [%clk 0:01:00] e5 2. Nf3 [x] Nc6\n[%evp 17,20]\n3. Bb5 [%eval 0.2] 1-0\n',           # brackets, no tags
]


@pytest.mark.parametrize("data", PGN_QUIRKS)
def test_read_pgn_reads_odd_files_as_python_chess_does(tmp_path, data):
    path = tmp_path / "odd.pgn"
    path.write_bytes(data)
    theirs = []
    with open(path, encoding="utf-8", errors="replace") as handle:
        while (game := chess.pgn.read_game(handle)) is not None:
            assert not game.errors
            roster = chess.pgn.Headers()   # the tags python-chess adds when a file lacks them
            theirs.append(([m.uci() for m in game.mainline_moves()], game.headers["Result"],
                           {k: v for k, v in game.headers.items() if k != "Result" and roster.get(k) != v}))
    for source in (path, "\n" + data.decode("utf-8", errors="replace")):
        ours = [(g.uci, g.result or "*", {k: v for k, v in g.headers.items() if k != "Result"})
                for g in varnok.read_pgn(source, errors="raise")]
        assert ours == theirs


# Moves with their pieces written as figures, as text copied from a page or a
# book gives them, read as the same moves with letters (python-chess reads
# the figure as a separator and the rest as a pawn move).
@pytest.mark.parametrize("figurines, letters", [
    ("1. e4 e5 2. \u2658f3 \u265ec6 3. \u2657b5 a6 4. \u2657xc6 dxc6 5. O-O \u2655d6 *",
     "1. e4 e5 2. Nf3 Nc6 3. Bb5 a6 4. Bxc6 dxc6 5. O-O Qd6 *"),
    ("1.\u2658f3 \u2658f6 2.\u2659c4 \u265fe6 3.\u2658c3 \u265db4 4.\u2655b3 \u265cg8 5.\u2656b1 \u265af8\n"
     "6.\u2654d1 *", "1.Nf3 Nf6 2.c4 e6 3.Nc3 Bb4 4.Qb3 Rg8 5.Rb1 Kf8 6.Kd1 *"),
    ('[FEN "7k/P1P5/8/8/8/8/8/K7 w - - 0 1"]\n\n1. a8=\u2655+ \u265ag7 2. c8=\u2658 *',
     '[FEN "7k/P1P5/8/8/8/8/8/K7 w - - 0 1"]\n\n1. a8=Q+ Kg7 2. c8=N *'),
])
def test_figurine_moves_read_as_their_letters(figurines, letters):
    (ours,) = varnok.read_pgn(figurines + "\n", errors="raise")   # text, not a path
    assert ours.uci == [m.uci() for m in chess.pgn.read_game(io.StringIO(letters)).mainline_moves()]


def test_a_game_of_tags_alone_keeps_its_tags_to_itself():
    # python-chess passes such tags on to the next game when one blank line
    # comes between; the same tag twice names two games.
    text = '[Event "a"]\n[FEN "4k3/8/8/8/8/8/8/4K3 w - - 0 1"]\n\n[Event "b"]\n[Site "x"]\n\n1. e4 *\n'
    assert [(g.headers, g.uci) for g in varnok.read_pgn(text, errors="raise")] == [
        ({"Event": "a", "FEN": "4k3/8/8/8/8/8/8/4K3 w - - 0 1"}, []), ({"Event": "b", "Site": "x"}, ["e2e4"])]


@pytest.mark.parametrize("data, message", [
    (b"1. e4 -- 2. d4 *\n", "line 1: null move '--' .*no action"),
    (b"1. e4 Z0 2. d4 *\n", "null move 'Z0'"),
    (b'[FEN "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN\xe9 w KQkq - 0 1"]\n\n1. e4 *\n',
     r"line 1: bad FEN tag: FEN placement field '.*N\\xe9': unexpected character '\\xe9'"),
])
def test_games_that_cannot_be_replayed_are_skipped_or_raise_saying_why(tmp_path, data, message):
    path = tmp_path / "broken.pgn"
    path.write_bytes(data + b'\n[Event "next"]\n\n1. c4 *\n')
    with pytest.raises(ValueError, match=message):
        next(varnok.read_pgn(path, errors="raise"))
    assert [g.uci for g in varnok.read_pgn(path)] == [["c2c4"]]


@pytest.mark.parametrize("start", [chess.STARTING_FEN, STARTS[1], STARTS[5], STARTS[6]])
def test_pgn_written_by_the_env_reads_back_in_python_chess(start):
    rng = random.Random(start)
    for _ in range(25):
        env, board = varnok.ChessEnv(), chess.Board(start)
        env.load_fen(start)
        for _ in range(rng.randint(0, 150)):
            moves = list(board.legal_moves)
            if not moves:
                break
            move = rng.choice(moves)
            env.step(env.uci_to_action(move.uci()))
            board.push(move)
        text = env.pgn(headers={"White": "varnok", "Event": "cross-check"})
        assert max(len(line) for line in text.splitlines()) <= 80
        game = chess.pgn.read_game(io.StringIO(text))
        assert not game.errors
        assert list(game.mainline_moves()) == board.move_stack
        assert list(game.headers)[:7] == ["Event", "Site", "Date", "Round", "White", "Black", "Result"]
        assert game.headers["White"] == "varnok"
        assert ("FEN" in game.headers) == (start != chess.STARTING_FEN)
        if board.is_checkmate() or board.is_stalemate():
            assert game.headers["Result"] == board.result()


@pytest.mark.parametrize("call, text, part", [
    ("load_fen", "4k3/8/8/8/8/8/8/4K3 w KQ - 0 1", "castling"),
    ("load_fen", "4k3/8/8/8/8/8/8/4K3 w - e3 0 1", "en passant"),
    ("load_fen", "4k3/8/8/8/8/8/8 w - - 0 1", "placement"),
    ("uci_to_action", "e2e5", "e2e5"),
    ("uci_to_action", "e2", "e2"),
    ("san_to_action", "Nf9", "Nf9"),
    ("san_to_action", "Ke2", "Ke2"),
])
def test_faults_raise_value_errors_naming_the_text(call, text, part):
    env = varnok.ChessEnv()
    env.reset()
    before = env.fen()
    with pytest.raises(ValueError, match=part):
        getattr(env, call)(text)
    assert env.fen() == before
