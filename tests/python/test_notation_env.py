"""The episode side of notation: load_fen, the move log in saved games, PGN
out and in, the native replay, and the FIDE draw rules with outcome()."""

import io

import chess
import chess.pgn
import numpy as np
import pytest
import varnok

from conftest import legal_actions

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 3 17"


def play_uci(env, moves):
    for uci in moves:
        env.step(env.uci_to_action(uci))


def random_game(env, seed, plies):
    rng = np.random.default_rng(seed)
    for _ in range(plies):
        actions = legal_actions(env)
        if not actions:
            break
        _, _, _, done = env.step(int(rng.choice(actions)))
        if done:
            break


@pytest.mark.parametrize("fen", [
    chess.STARTING_FEN,
    KIWIPETE,
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "8/8/8/8/8/4k3/8/4K2R b K - 41 90",
])
def test_load_fen_starts_an_episode_and_gives_the_text_back(fen):
    env = varnok.ChessEnv()
    env.reset()
    play_uci(env, ["e2e4", "e7e5", "g1f3"])
    side, obs, reward, done = env.load_fen(fen)
    assert env.fen() == fen
    assert (side, reward, done) == (0 if " w " in fen else 1, 0, 0)
    # The same start as reset gives: no history carried over, empty log.
    assert env.moves_uci() == []
    assert env.outcome() is None
    state = env.save_state()
    assert state.total_move_count == 0 and state.n_repititions == 0 and len(state.state_history) == 1
    assert state.no_progress_count == int(fen.split()[4])
    assert obs[118] == [int(fen.split()[4])] * 64
    # The full-move number counts on from the loaded one.
    board = chess.Board(fen)
    for uci in env.legal_moves_uci()[:2]:
        env.step(env.uci_to_action(uci))
        board.push_uci(uci)
        assert env.fen().split()[5] == board.fen().split()[5]
        env.load_fen(fen)
        board = chess.Board(fen)


def test_reset_gives_full_move_one_and_parse_fen_keeps_the_clock_at_zero():
    env = varnok.ChessEnv()
    env.reset()
    play_uci(env, ["e2e4", "e7e5", "g1f3"])
    # The FEN clock counts Nf3 only; the no-progress count also counts e5.
    assert env.fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq - 1 2"
    assert env.save_state().no_progress_count == 2
    env.parse_fen("4k3/8/8/8/8/8/8/4K3 b - - 7 30")
    assert env.fen() == "4k3/8/8/8/8/8/8/4K3 b - - 0 1"
    assert env.moves_uci() == []


@pytest.mark.parametrize("text, field", [
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1", "side to move"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - x 1", "half-move clock"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 y", "full-move number"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1", "placement"),
])
def test_load_fen_errors_name_the_field_and_leave_the_env_unchanged(text, field):
    env = varnok.ChessEnv()
    env.reset()
    play_uci(env, ["d2d4", "d7d5"])
    before = env.save_state()
    with pytest.raises(ValueError, match=field):
        env.load_fen(text)
    after = env.save_state()
    assert env.fen() == "rnbqkbnr/ppp1pppp/8/3p4/3P4/8/PPP1PPPP/RNBQKBNR w KQkq d6 0 2"
    assert env.moves_uci() == ["d2d4", "d7d5"]
    assert (after.state_history, after.repetition_count, after.move_index, after.moves) == \
        (before.state_history, before.repetition_count, before.move_index, before.moves)


def test_notation_calls_refuse_illegal_input_without_changing_the_listing():
    env = varnok.ChessEnv()
    env.reset()
    play_uci(env, ["e2e4"])
    before = env.save_state().move_index
    for call, arg in (("action_to_uci", 0), ("action_to_san", 4671), ("uci_to_action", "e7e4"),
                      ("san_to_action", "Qxe4"), ("action_to_uci", -1)):
        with pytest.raises(ValueError, match=str(arg)):
            getattr(env, call)(arg)
    env.action_to_uci(env.uci_to_action("e7e5"))
    assert env.save_state().move_index == before


def test_move_log_is_saved_restored_and_continued():
    env = varnok.ChessEnv()
    env.load_fen(KIWIPETE)
    random_game(env, seed=3, plies=20)
    played = env.moves_uci()
    assert len(played) == 20
    saved = env.save_state()
    assert len(saved.moves) == 20 and saved.start_fen == KIWIPETE
    fen_then = env.fen()
    random_game(env, seed=4, plies=10)
    assert env.moves_uci()[:20] == played and len(env.moves_uci()) > 20
    other = varnok.ChessEnv()
    other.reset()
    other.restore_state(saved)
    assert other.moves_uci() == played and other.fen() == fen_then
    next_move = other.legal_moves_uci()[0]
    play_uci(other, [next_move])
    assert other.moves_uci() == played + [next_move]
    game = chess.pgn.read_game(io.StringIO(other.pgn()))
    assert [m.uci() for m in game.mainline_moves()] == played + [next_move]
    # The log encodes source, target and promotion kind in 16 bits.
    board = chess.Board(KIWIPETE)
    for entry, uci in zip(saved.moves, played):
        move = board.push_uci(uci)
        sq = lambda s: (7 - chess.square_rank(s)) * 8 + chess.square_file(s)
        assert entry == sq(move.from_square) | sq(move.to_square) << 6 | ((move.promotion or 1) - 1) << 12


def test_state_edits_of_the_log_are_checked():
    env = varnok.ChessEnv()
    env.reset()
    play_uci(env, ["e2e4", "e7e5"])
    state = env.save_state()
    state.moves = [state.moves[1], state.moves[0]]  # black's move first: does not replay
    env.restore_state(state)
    with pytest.raises(ValueError, match="move log entry 0"):
        env.moves_uci()
    state.moves = [5 << 12]
    with pytest.raises(ValueError, match="promotion kind"):
        env.restore_state(state)
    with pytest.raises(ValueError, match="castling"):
        state.start_fen = "4k3/8/8/8/8/8/8/4K3 w K - 0 1"
    state.start_fen = "4k3/8/8/8/8/8/8/4K2R w K - 0 12"
    state.moves = []
    env.restore_state(state)
    assert env.pgn().count('[FEN "4k3/8/8/8/8/8/8/4K2R w K - 0 12"]') == 1


def test_pgn_round_trip_through_python_chess():
    for seed, start in enumerate([chess.STARTING_FEN, KIWIPETE, "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 b - - 0 7"]):
        env = varnok.ChessEnv()
        env.load_fen(start)
        random_game(env, seed=seed, plies=120)
        text = env.pgn(headers={"Event": "round trip", "Annotator": "test"})
        game = chess.pgn.read_game(io.StringIO(text))
        assert not game.errors
        assert [m.uci() for m in game.mainline_moves()] == env.moves_uci()
        assert game.end().board().fen(en_passant="legal").split()[:4] == env.fen(en_passant="legal").split()[:4]
        assert game.headers["Annotator"] == "test"
        assert (game.headers.get("SetUp"), game.headers.get("FEN")) == \
            ((None, None) if start == chess.STARTING_FEN else ("1", start))
        back = list(varnok.read_pgn(text))
        assert len(back) == 1 and back[0].uci == env.moves_uci()


def test_pgn_result_of_a_rule_draw():
    env = varnok.ChessEnv()
    env.reset()
    play_uci(env, ["g1f3", "g8f6", "f3g1", "f6g8"] * 2)
    assert env.outcome() == "repetition"
    assert '[Result "1/2-1/2"]' in env.pgn()
    assert '[Result "*"]' in env.pgn(headers={"Result": "*"})


BROKEN = ('[Event "one"]\n\n1. e4 e5 1-0\n\n'
          '[Event "two"]\n[FEN "8/8/8 w - - 0 1"]\n\n1. e4 *\n\n'
          '[Event "three"]\n\n1. d4 d5 2. Qd3 Bxd3 0-1\n\n'
          '[Event "four"]\n\n1. f4 e5 2. g4 Qh4# 0-1\n')


def test_read_pgn_skips_or_raises_with_the_line(tmp_path):
    path = tmp_path / "broken.pgn"
    path.write_text(BROKEN)
    for source in (BROKEN, str(path), path):
        games = list(varnok.read_pgn(source))
        assert [g.headers["Event"] for g in games] == ["one", "four"]
        assert [g.result for g in games] == ["1-0", "0-1"]
        assert [g.line for g in games] == [1, 14]
        assert games[1].uci == ["f2f4", "e7e5", "g2g4", "d8h4"]
    games = varnok.read_pgn(BROKEN, errors="raise")
    assert next(games).headers["Event"] == "one"
    with pytest.raises(ValueError, match=r"line \d+: bad FEN tag"):
        next(games)
    with pytest.raises(ValueError, match="errors"):
        varnok.read_pgn(BROKEN, errors="ignore")
    with pytest.raises(FileNotFoundError, match="missing.pgn"):
        list(varnok.read_pgn(str(tmp_path / "missing.pgn")))
    with pytest.raises(FileNotFoundError):
        varnok.replay_pgn(tmp_path / "missing.pgn")


def test_replay_arrays_match_a_chess_env_replay():
    texts = []
    for seed, start in enumerate([chess.STARTING_FEN, KIWIPETE, chess.STARTING_FEN]):
        env = varnok.ChessEnv()
        env.load_fen(start)
        random_game(env, seed=10 + seed, plies=60)
        texts.append(env.pgn(headers={"Result": ["1-0", "0-1", "1/2-1/2"][seed]}))
    text = "\n".join(texts) + '\n[Event "broken"]\n\n1. e4 e4 *\n'
    packed = varnok.replay_pgn(text)
    floats = varnok.replay_pgn(text, obs_dtype="float32")
    games = list(varnok.read_pgn(text))
    n = sum(len(g.actions) for g in games)
    assert packed["obs"].shape == (n, 119) and packed["obs"].dtype == np.uint64
    assert floats["obs"].shape == (n, 119, 8, 8) and floats["obs"].dtype == np.float32
    row = 0
    for index, game in enumerate(games):
        env = varnok.ChessEnv()
        env.load_fen(game.start_fen)
        expected_result = {"1-0": 1, "0-1": -1}.get(game.result, 0)
        for ply, action in enumerate(game.actions):
            assert np.array_equal(packed["obs"][row], env.observation("packed"))
            assert np.array_equal(floats["obs"][row], env.observation())
            assert (packed["action"][row], packed["result"][row], packed["game"][row], packed["ply"][row]) == \
                (action, expected_result, index, ply)
            env.step(action)
            row += 1
    assert row == n
    with pytest.raises(ValueError, match="line"):
        varnok.replay_pgn(text, errors="raise")
    with pytest.raises(ValueError, match="obs_dtype"):
        varnok.replay_pgn(text, obs_dtype="int8")


@pytest.mark.parametrize("placement, insufficient", [
    ("4k3/8/8/8/8/8/8/4K3", True),
    ("4k3/8/8/8/8/8/8/4KN2", True),
    ("4kb2/8/8/8/8/8/8/4K3", True),
    ("4k3/8/8/8/8/8/8/2B1KB2", False),   # bishops on both colours
    ("2b1k3/8/8/8/8/8/8/4KB2", True),    # c8 and f1 are both light
    ("1b2k3/8/8/8/8/8/8/4KB2", False),
    ("4k3/8/8/8/8/8/8/3NKN2", False),
    ("4kn2/8/8/8/8/8/8/4KN2", False),
    ("4k3/8/8/8/8/8/8/4KR2", False),
    ("4k3/8/8/8/8/8/4P3/4K3", False),
])
def test_fide_insufficient_material_agrees_with_python_chess(placement, insufficient):
    assert chess.Board(placement + " w - - 0 1").is_insufficient_material() == insufficient
    # Reach the position by a capture of a rook, under both rule sets.
    board = chess.Board(placement + " w - - 0 1")
    king = board.king(chess.WHITE)
    target = next(s for s in (chess.D2, chess.E2, chess.F2, chess.D1, chess.F1)
                  if board.piece_at(s) is None and chess.square_distance(s, king) == 1
                  and not board.is_attacked_by(chess.BLACK, s))
    board.set_piece_at(target, chess.Piece(chess.ROOK, chess.BLACK))
    for rules, ends in (("fide", insufficient), ("classic", False)):
        env = varnok.ChessEnv(rules=rules)
        env.load_fen(board.fen())
        move = chess.Move(king, target).uci()
        _, _, reward, done = env.step(env.uci_to_action(move))
        assert (done, reward) == (int(ends), 0)
        assert env.outcome() == ("insufficient_material" if ends else None)


def test_no_progress_limit_by_rules():
    quiet = ["g1f3", "g8f6", "f3g1", "f6g8", "b1c3", "b8c6", "c3b1", "c6b8"]
    for rules, limit in (("classic", 50), ("fide", 100)):
        env = varnok.ChessEnv(rules=rules)
        env.load_fen(f"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - {limit - 2} 1")
        env.step(env.uci_to_action(quiet[0]))
        assert env.outcome() is None
        env.step(env.uci_to_action(quiet[1]))
        assert env.outcome() == "no_progress"
    with pytest.raises(ValueError, match="rules"):
        varnok.ChessEnv(rules="blitz")


def test_outcome_names_every_reason():
    env = varnok.ChessEnv()
    assert env.outcome() is None
    env.reset()
    play_uci(env, ["f2f3", "e7e5", "g2g4"])
    assert env.outcome() is None
    play_uci(env, ["d8h4"])
    assert env.outcome() == "checkmate"
    env.load_fen("k7/8/8/1Q6/8/8/8/7K w - - 0 1")
    play_uci(env, ["b5b6"])
    assert env.outcome() == "stalemate"
    # Bare kings: the classic rules wait for 50 quiet plies or a repetition,
    # FIDE rules end at once; random games from the start often reach the cap.
    capped = 0
    for seed in range(40):
        env = varnok.ChessEnv()
        env.load_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1")
        env.roll_out(seed=seed)
        assert env.outcome() in ("no_progress", "repetition")
        fide = varnok.ChessEnv(rules="fide")
        fide.load_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1")
        assert fide.roll_out(seed=seed) == 0
        assert fide.outcome() == "insufficient_material" and len(fide.moves_uci()) == 1
        env = varnok.ChessEnv()
        env.reset()
        env.roll_out(seed=seed)
        capped += env.outcome() == "move_cap"
        assert env.outcome() is not None
    assert capped > 0
    env.restore_state(env.save_state())
    assert env.outcome() is None
