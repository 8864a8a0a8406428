"""The action encoding and the legal-action listing."""

import chess
import pytest

from conftest import (FLAG_CAPTURE, FLAG_CASTLING, FLAG_DOUBLE_PUSH, FLAG_EN_PASSANT,
                      encode_uci, legal_actions, state_dict)


def test_initial_position_actions(started):
    env, _ = started
    pushes = list(range(496, 504)) + list(range(560, 568))
    knights = [3641, 3646, 3705, 3710]
    assert legal_actions(env) == sorted(pushes + knights)
    index = env.save_state().move_index
    assert sorted(index) == sorted(pushes + knights)
    # e2-e4: source 52, target 36, white pawn, double-push flag.
    assert index[564] == 52 | 36 << 6 | FLAG_DOUBLE_PUSH
    # g1-f3: source 62, target 45, white knight.
    assert index[3646] == 62 | 45 << 6 | 1 << 12


def test_black_actions_after_e4(started):
    env, _ = started
    env.step(564)
    actions = set(legal_actions(env))
    assert len(actions) == 20
    assert {460, 524, 3905, 3910, 3841, 3846} <= actions


CASTLING_FEN = "r3k2r/8/8/8/8/8/8/R3K2R {} KQkq - 0 1"


@pytest.mark.parametrize("side,action,word", [
    ("w", 1468, 0x805FBC), ("w", 3260, 0x805EBC),
    ("b", 3204, 0x80B184), ("b", 1412, 0x80B084),
])
def test_castling_actions_and_move_words(env, side, action, word):
    env.parse_fen(CASTLING_FEN.format(side))
    assert action in legal_actions(env)
    assert env.save_state().move_index[action] == word


@pytest.mark.parametrize("fen,absent", [
    # f1 attacked by a rook on f8: no king-side castling; queen side fine.
    ("r3kr2/8/8/8/8/8/8/R3K2R w KQq - 0 1", [1468]),
    # King in check: no castling at all.
    ("r3k2r/4r3/8/8/8/8/8/R3K2R w KQkq - 0 1", [1468, 3260]),
    # Destination g1 attacked by a bishop on c5.
    ("r3k2r/8/8/2b5/8/8/8/R3K2R w KQkq - 0 1", [1468]),
    # b1 blocked by a knight: no queen-side castling.
    ("r3k2r/8/8/8/8/8/8/RN2K2R w KQkq - 0 1", [3260]),
    # Rights missing.
    ("r3k2r/8/8/8/8/8/8/R3K2R w Qkq - 0 1", [1468]),
])
def test_castling_conditions(env, fen, absent):
    env.parse_fen(fen)
    actions = set(legal_actions(env))
    board = chess.Board(fen)
    assert not actions & set(absent)
    assert len(actions) == board.legal_moves.count()


def test_queen_side_castling_through_attacked_b1_is_allowed(env):
    # Only b1 is attacked (rook on b8); the king never passes it.
    env.parse_fen("1r2k3/8/8/8/8/8/8/R3K3 w Q - 0 1")
    assert 3260 in legal_actions(env)


PROMOTION_FEN = "r1n1k3/1P6/8/8/8/8/6p1/4KR1B {} - - 0 1"


@pytest.mark.parametrize("side,uci,action", [
    ("w", "b7b8n", 4297), ("w", "b7b8b", 4361), ("w", "b7b8r", 4425),
    ("w", "b7a8r", 4233), ("w", "b7c8n", 4489),
    ("w", "b7b8q", 457), ("w", "b7a8q", 9), ("w", "b7c8q", 905),
    ("b", "g2g1n", 4342), ("b", "g2h1b", 4214), ("b", "g2f1r", 4662),
    ("b", "g2g1q", 502), ("b", "g2h1q", 54), ("b", "g2f1q", 950),
])
def test_promotion_actions(env, side, uci, action):
    env.parse_fen(PROMOTION_FEN.format(side))
    actions = legal_actions(env)
    assert action in actions
    # Each pawn has four promotions on each of its three target squares.
    pawn = 9 if side == "w" else 54
    assert sum(1 for a in actions if a % 64 == pawn) == 12
    word = env.save_state().move_index[action]
    color = 0 if side == "w" else 1
    promoted = 6 * color + {"q": 4, "r": 3, "b": 2, "n": 1}[uci[4]]
    assert word >> 16 & 15 == promoted and word >> 12 & 15 == 6 * color
    assert bool(word & FLAG_CAPTURE) == (uci[0] != uci[2])


def test_queen_promotion_step_makes_a_queen(env):
    env.parse_fen(PROMOTION_FEN.format("w"))
    env.step(457)
    bitboards = [int(b) for b in env.save_state().bitboards]
    assert bitboards[4] == 1 << 1 and bitboards[0] == 0


def test_knight_on_e4_has_eight_distinct_planes(env):
    env.parse_fen("4k3/8/8/8/4N3/8/8/4K3 w - - 0 1")
    knight = [a for a in legal_actions(env) if a % 64 == 36]
    assert knight == [p * 64 + 36 for p in range(56, 64)]
    assert {3684, 3940, 3812, 4068} <= set(knight)


@pytest.mark.parametrize("fen,action", [
    ("4k3/8/8/8/8/8/8/R3K3 w - - 0 1", 888),       # rook a1-a8
    ("4k3/8/8/8/8/8/8/2B1K3 w - - 0 1", 1210),     # bishop c1-h6
    ("k7/8/8/8/8/8/8/7K w - - 0 1", 3199),         # king h1-g1
    ("3qk3/8/8/8/8/8/8/4K3 b - - 0 1", 195),       # queen d8-h4
    ("r3k3/8/8/8/8/8/8/4K3 b - - 0 1", 832),       # rook a8-a1
])
def test_long_moves(env, fen, action):
    env.parse_fen(fen)
    assert action in legal_actions(env)


def test_en_passant_action_and_word(env):
    env.parse_fen("4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1")
    action = encode_uci("d5c6", 0)
    assert action in legal_actions(env)
    assert env.save_state().move_index[action] == (
        27 | 18 << 6 | FLAG_CAPTURE | FLAG_EN_PASSANT)
    env.step(action)
    bitboards = [int(b) for b in env.save_state().bitboards]
    assert bitboards[6] == 0 and bitboards[0] == 1 << 18


def test_pinned_piece_and_king_into_check_are_absent(env):
    # Knight e2 pinned by the rook on e8; d1 and d2 covered by the rook on d8.
    env.parse_fen("3rr2k/8/8/8/8/8/4N3/4K3 w - - 0 1")
    expected = {encode_uci("e1f1", 0), encode_uci("e1f2", 0)}
    assert set(legal_actions(env)) == expected
    assert set(env.save_state().move_index) == expected


def test_no_legal_moves_gives_empty_mask(env):
    env.parse_fen("k7/8/1Q6/8/8/8/8/7K b - - 0 1")
    assert legal_actions(env) == []
    assert env.save_state().move_index == {}


def test_listing_twice_changes_nothing(started):
    env, _ = started
    for action in (564, 524, 3646):  # e4 e5 Nf3: no_progress_count becomes 2
        env.step(action)
    first = env.get_actions()
    state = state_dict(env.save_state())
    assert env.get_actions() == first
    assert state_dict(env.save_state()) == state
    assert state["no_progress_count"] == 2


def test_listing_rebuilds_the_map_after_a_step(started):
    env, _ = started
    env.step(564)
    # After a step the map still describes the position before the move.
    assert 564 in env.save_state().move_index
    env.get_actions()
    index = env.save_state().move_index
    assert 564 not in index and 524 in index
