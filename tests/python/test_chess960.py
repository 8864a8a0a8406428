"""Chess960 in every layer, against python-chess (chess960=True) as the rules oracle."""

import io
import json
import pathlib
import pickle
import random
import subprocess

import chess
import chess.pgn
import numpy as np
import pytest
import varnok

from test_stockfish_perft import perft_tool

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "chess960_perft.txt"
# Made by: ./dev py tools/chess960_perft_reference.py (python-chess perft, depth 4).
REFERENCE = [line.split(";") for line in DATA.read_text().splitlines()]


def reference_board(fen):
    return chess.Board(fen, chess960=True)


def test_the_960_arrays_are_python_chess_s():
    assert [varnok.chess960_fen(n) for n in range(960)] == [
        chess.Board.from_chess960_pos(n).fen() for n in range(960)]
    assert varnok.chess960_fen(518) == chess.STARTING_FEN


def test_reference_sample_covers_what_it_claims():
    boards = [reference_board(fen) for fen, _, _ in REFERENCE]
    starts = {b.fen() for b in boards} & {chess.Board.from_chess960_pos(n).fen() for n in range(960)}
    assert len(starts) >= 200 and chess.STARTING_FEN in starts
    odd = [b for b in boards if b.castling_rights & ~chess.BB_CORNERS & chess.BB_RANK_1
           and b.castling_rights & ~chess.BB_CORNERS & chess.BB_RANK_8]
    assert len(odd) >= 20
    assert sum(b.turn == chess.BLACK for b in boards) >= 20


def test_perft_matches_the_python_chess_counts():
    tool = perft_tool()
    for fen, depth, nodes in REFERENCE:
        out = subprocess.run([str(tool), "--chess960", fen, depth], capture_output=True, text=True,
                             timeout=60, check=True).stdout
        assert f"Nodes searched: {nodes}\n" in out, fen


@pytest.mark.parametrize("row", random.Random(7).sample(range(len(REFERENCE)), 4))
def test_perft_divide_matches_python_chess_live(row):
    """A few reference rows recounted now, move by move at depth 2."""
    fen = REFERENCE[row][0]
    board = reference_board(fen)
    expected = {}
    for move in board.legal_moves:
        board.push(move)
        expected[move.uci()] = board.legal_moves.count()
        board.pop()
    out = subprocess.run([str(perft_tool()), "--chess960", fen, "2"], capture_output=True, text=True,
                         timeout=60, check=True).stdout
    counted = dict(line.split(": ") for line in out.splitlines() if ": " in line and line[0] in "abcdefgh")
    assert {k: int(v) for k, v in counted.items()} == expected


def play_against_python_chess(env, board, rng, plies):
    """Plays random moves on both, comparing legal UCI sets, SAN, FEN and the end."""
    for _ in range(plies):
        assert sorted(env.legal_moves_uci()) == sorted(m.uci() for m in board.legal_moves), board.fen()
        assert env.fen("legal") == board.fen()
        assert env.fen("legal", castling="shredder") == board.fen(shredder=True)
        moves = list(board.legal_moves)
        castles = [m for m in moves if board.is_castling(m)]
        move = rng.choice(castles if castles and rng.random() < 0.5 else moves)
        action = env.uci_to_action(move.uci())
        assert env.action_to_san(action) == board.san(move)
        assert env.action_to_uci(action) == move.uci()
        if board.is_castling(move):   # the other convention names the same action, unless it names another move
            standard = move.uci()[:2] + chess.square_name(chess.square(
                6 if board.is_kingside_castling(move) else 2, chess.square_rank(move.from_square)))
            other = standard[:2] == standard[2:] or chess.Move.from_uci(standard) in board.legal_moves
            if not other:
                assert env.uci_to_action(standard) == action
            assert env.action_to_uci(action, chess960=False) == (move.uci() if other else standard)
        _, _, reward, done = env.step(action)
        board.push(move)
        if done:
            break
    return board


@pytest.mark.parametrize("seed", range(6))
def test_random_games_follow_python_chess(seed):
    rng = random.Random(seed)
    env = varnok.ChessEnv("fide", chess960=True, seed=seed)
    for _ in range(3):
        env.reset()
        board = play_against_python_chess(env, reference_board(env.fen()), rng, 300)
        if env.outcome() == "checkmate":
            assert board.is_checkmate()
        elif env.outcome() == "stalemate":
            assert board.is_stalemate()
        elif env.outcome() == "insufficient_material":
            assert board.is_insufficient_material()
        pgn = chess.pgn.read_game(io.StringIO(env.pgn()))
        assert pgn.headers["Variant"] == "Chess960"
        assert [m.uci() for m in pgn.mainline_moves()] == env.moves_uci() == [m.uci() for m in board.move_stack]
        read = next(iter(varnok.read_pgn(env.pgn())))
        assert read.uci == env.moves_uci() and read.start_fen == env.save_state().start_fen
        replayed = varnok.replay_pgn(env.pgn(), rules="fide")
        assert replayed["action"].tolist() == read.actions


FENS = [
    # (text, written back as X-FEN): outermost rooks as KQkq, inner ones by file letter.
    ("rkrnnbbq/pppppppp/8/8/8/8/PPPPPPPP/RKRNNBBQ w CAca - 0 1", "rkrnnbbq/pppppppp/8/8/8/8/PPPPPPPP/RKRNNBBQ w KQkq - 0 1"),
    ("1r2k1r1/8/8/8/8/8/8/RR2K1RR w BGbg - 0 1", "1r2k1r1/8/8/8/8/8/8/RR2K1RR w GBkq - 0 1"),
    ("1r2k1r1/8/8/8/8/8/8/RR2K1RR w KQ - 0 1", "1r2k1r1/8/8/8/8/8/8/RR2K1RR w KQ - 0 1"),
    ("4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", "4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1"),
]


@pytest.mark.parametrize("text, xfen", FENS)
def test_x_fen_and_shredder_fen_round_trip(text, xfen):
    env = varnok.ChessEnv(chess960=True)
    env.load_fen(text)
    board = reference_board(text)
    assert env.fen() == board.fen() == xfen
    assert env.fen(castling="shredder") == board.fen(shredder=True)
    again = varnok.ChessEnv(chess960=True)
    again.load_fen(env.fen(castling="shredder"))
    assert again.fen() == xfen and sorted(again.legal_moves_uci()) == sorted(m.uci() for m in board.legal_moves)


@pytest.mark.parametrize("text, message", [
    ("rkrnnbbq/pppppppp/8/8/8/8/PPPPPPPP/1KRNNBBQ w Q - 0 1", "castling field 'Q': Q needs a white rook"),
    ("rkrnnbbq/pppppppp/8/8/8/8/PPPPPPPP/RKRNNBBQ w D - 0 1", "castling field 'D': D needs a white rook"),
    ("rkrnnbbq/pppppppp/8/8/8/8/PPPPPPPP/RKRNNBBQ w B - 0 1", "castling field 'B': B needs a white rook"),
    ("rkrnnbbq/pppppppp/8/8/8/8/PPPPPPPP/RKRNNBBQ w AQ - 0 1", "castling field 'AQ': the white queen-side right"),
    ("rkrnnbbq/pppppppp/8/8/8/8/PPPPPPPP/RKRNNBBQ w X - 0 1", "castling field 'X': expected '-' or letters"),
    ("r1rnnbbq/1ppppppp/pk6/8/8/8/PPPPPPPP/RKRNNBBQ w kq - 0 1", "castling field 'kq': k needs the black king"),
])
def test_faulty_castling_fields_name_the_field(text, message):
    env = varnok.ChessEnv(chess960=True)
    with pytest.raises(ValueError, match=message):
        env.load_fen(text)


def test_reset_draws_every_array_reproducibly_and_takes_a_number():
    a, b = varnok.ChessEnv(chess960=True, seed=11), varnok.ChessEnv(chess960=True, seed=11)
    drawn = []
    for _ in range(2000):
        a.reset(), b.reset()
        assert a.fen() == b.fen()
        drawn.append(a.fen())
    assert len(set(drawn)) > 800   # 2000 uniform draws from 960 leave about 120 unseen
    a.reset(position=518)
    assert a.fen() == chess.STARTING_FEN and a.action_to_uci(a.uci_to_action("e2e4")) == "e2e4"
    with pytest.raises(ValueError, match="0 to 959"):
        a.reset(position=960)
    with pytest.raises(ValueError, match="chess960=True"):
        varnok.ChessEnv().reset(position=3)


def test_standard_games_keep_their_castling_encoding():
    env = varnok.ChessEnv()
    env.load_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1")
    short = env.uci_to_action("e1g1")
    assert env.uci_to_action("e1h1") == short and env.action_to_uci(short) == "e1g1"
    assert env.action_to_uci(short, chess960=True) == "e1h1" and env.action_to_san(short) == "O-O"
    as_960 = varnok.ChessEnv(chess960=True)
    as_960.load_fen(env.fen())
    assert as_960.uci_to_action("e1h1") != short   # Chess960 encodes it as the king onto the rook
    assert as_960.action_to_uci(as_960.uci_to_action("e1g1")) == "e1h1"


@pytest.mark.parametrize("fen, rook_texts", [
    # The king's destination is a square it could step to (b1 -> c1, f1 -> g1), or its own (c1, g1).
    ("4k3/8/8/8/8/8/8/RK5R w HA - 0 1", {"b1a1": "b1a1", "b1h1": "b1g1"}),
    ("4k3/8/8/8/8/8/8/R1K4R w HA - 0 1", {"c1a1": "c1a1", "c1h1": "c1g1"}),
    ("4k3/8/8/8/8/8/8/R4K1R w HA - 0 1", {"f1a1": "f1c1", "f1h1": "f1h1"}),
    ("4k3/8/8/8/8/8/8/R5KR w HA - 0 1", {"g1a1": "g1c1", "g1h1": "g1h1"}),
])
def test_standard_castling_text_always_reads_back(fen, rook_texts):
    env = varnok.ChessEnv(chess960=True)
    env.load_fen(fen)
    for rook_text, standard in rook_texts.items():
        action = env.uci_to_action(rook_text)
        assert env.action_to_uci(action, chess960=False) == standard
        assert env.uci_to_action(standard) == action


def test_games_continue_after_save_restore_and_pickle():
    env = varnok.ChessEnv(chess960=True, seed=4)
    env.reset(position=0)
    board = play_against_python_chess(env, reference_board(env.fen()), random.Random(1), 12)
    for copy in (pickle.loads(pickle.dumps(env)), varnok.ChessEnv()):
        if not copy.chess960:
            copy.restore_state(pickle.loads(pickle.dumps(env.save_state())))
        assert copy.fen() == env.fen() and copy.moves_uci() == env.moves_uci()
        play_against_python_chess(copy, board.copy(), random.Random(2), 30)
    again = pickle.loads(pickle.dumps(env))
    env.reset(), again.reset()
    assert again.chess960 and again.fen() == env.fen()   # the draws go on where they were


def test_vector_env_draws_a_start_per_game_reproducibly():
    one, two = (varnok.VectorEnv(16, seed=3, chess960=True, max_steps=40) for _ in range(2))
    starts = [one.save_state(i).start_fen for i in range(16)]
    assert starts == [two.save_state(i).start_fen for i in range(16)] and len(set(starts)) > 8
    boards = [reference_board(fen) for fen in starts]
    env = varnok.ChessEnv()
    for _ in range(60):
        actions = one.random_actions()
        assert (two.random_actions() == actions).all()   # the same draws keep both alike
        moves = []
        for i, action in enumerate(actions):
            env.restore_state(one.save_state(i))
            assert sorted(env.legal_moves_uci()) == sorted(m.uci() for m in boards[i].legal_moves)
            moves.append(chess.Move.from_uci(env.action_to_uci(int(action))))
        step = one.step(actions)
        assert (two.step(actions).to_play == step.to_play).all()
        for i, move in enumerate(moves):
            boards[i].push(move)
            if step.terminated[i] or step.truncated[i]:   # a fresh draw for the game's next start
                boards[i] = reference_board(one.save_state(i).start_fen)
                assert one.save_state(i).start_fen == two.save_state(i).start_fen


def test_observation_castling_planes_are_the_rights():
    env = varnok.ChessEnv(chess960=True)
    env.load_fen("1r2k1r1/8/8/8/8/8/8/RR2K1RR w Gq - 0 1")
    planes = env.observation()[114:118, 0, 0]
    assert planes.tolist() == [1, 0, 0, 1]


def test_search_roots_keep_chess960():
    env = varnok.ChessEnv(chess960=True)
    env.load_fen("1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w KQkq - 0 1")
    uct = varnok.UCT(1, seed=0)
    uct.set_roots([env.save_state()])
    uct.run(64)
    visited = set(np.flatnonzero(uct.visit_counts()[0]).tolist())
    assert visited == set(env.legal_actions().tolist())   # castling onto the rooks among them


@pytest.mark.parametrize("module, name", [("varnok.gym", "ChessEnv"), ("varnok.pettingzoo", "raw_env")])
def test_adapters_draw_starts_by_seed(module, name):
    make = getattr(pytest.importorskip(module), name)

    def starts(seed):
        env = make(chess960=True)
        env.reset(seed=seed)
        return env.game.fen()
    assert starts(5) == starts(5) != chess.STARTING_FEN
    assert len({starts(seed) for seed in range(8)}) > 4


# A start with rights only Chess960 has (king on b1, rooks on a1 and h1), as
# a FEN line and as a PGN game that castles out of it (a start's clocks
# begin at 0 1).
OPENING = "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1"
CASTLED = "2kr3r/pppppppp/8/8/8/8/PPPPPPPP/2KR3R w - - 0 1"


@pytest.mark.parametrize("openings", [None, "o.fen", "o.pgn"])
def test_selfplay_plays_chess960_and_verifies(tmp_path, openings):
    data = pytest.importorskip("varnok.data")
    pq = pytest.importorskip("pyarrow.parquet")
    if openings == "o.fen":
        (tmp_path / openings).write_text(OPENING + "\n")
    elif openings == "o.pgn":
        env = varnok.ChessEnv(chess960=True)
        env.load_fen(OPENING)
        for move in ("b1a1", "b8a8"):
            env.play(env.uci_to_action(move))
        (tmp_path / openings).write_text(env.pgn())
    out = tmp_path / "out"
    data.selfplay(out, games=2, seed=1, engine="local", simulations=2, max_plies=12, progress=False,
                  chess960=True, openings=openings and tmp_path / openings)
    assert data.verify(out, progress=False)["games"] == 2
    assert json.loads((out / "manifest.json").read_text())["job"]["chess960"] is True
    if openings:
        starts = {fen for shard in out.rglob("*.parquet") for fen in pq.read_table(shard)["start_fen"].to_pylist()}
        assert starts == {reference_board(OPENING if openings == "o.fen" else CASTLED).fen()}


def test_gym_vector_rows_lost_by_an_illegal_action_start_a_chess960_game():
    vgym = pytest.importorskip("varnok.gym")
    arrays = {varnok.chess960_fen(n) for n in range(960)}
    for copy in (False, True):
        envs = vgym.ChessVectorEnv(4, chess960=True, seed=3, copy=copy)
        obs, infos = envs.reset(seed=3)
        starts = set()
        for _ in range(6):
            actions = envs.random_actions()
            actions[1] = -1   # illegal: row 1 loses and starts again
            obs, reward, terminated, truncated, infos = envs.step(actions)
            assert reward[1] == -1 and terminated[1]
            game = varnok.ChessEnv("fide", chess960=True)
            game.restore_state(envs.native.save_state(1))
            assert game.fen() in arrays
            assert np.array_equal(obs[1], game.observation())   # what the step handed out is that game's
            starts.add(game.fen())
        assert len(starts) > 1   # drawn, not one fixed start
