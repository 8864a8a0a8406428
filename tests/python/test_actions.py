"""The action encoding and the legal-action listing."""

import chess
import pytest

from conftest import CAPTURE, DOUBLE_PUSH, EN_PASSANT, encode_uci, legal_actions, state_dict

CASTLING = "r3k2r/8/8/8/8/8/8/R3K2R {} KQkq - 0 1"
PROMOTION = "r1n1k3/1P6/8/8/8/8/6p1/4KR1B {} - - 0 1"


def test_initial_position_actions(started):
    env, _ = started
    expected = [*range(496, 504), *range(560, 568), 3641, 3646, 3705, 3710]
    assert legal_actions(env) == expected
    index = env.save_state().move_index
    assert sorted(index) == expected
    assert index[564] == 52 | 36 << 6 | DOUBLE_PUSH     # e2-e4
    assert index[3646] == 62 | 45 << 6 | 1 << 12        # g1-f3, white knight


def test_black_actions_after_e4(started):
    env, _ = started
    env.step(564)
    actions = set(legal_actions(env))
    assert len(actions) == 20 and {460, 524, 3905, 3910, 3841, 3846} <= actions


@pytest.mark.parametrize("fen,action", [
    (CASTLING.format("w"), 1468), (CASTLING.format("w"), 3260),     # e1-g1, e1-c1
    (CASTLING.format("b"), 3204), (CASTLING.format("b"), 1412),     # e8-g8, e8-c8
    (PROMOTION.format("w"), 4297), (PROMOTION.format("w"), 4361),   # b7-b8 N, B
    (PROMOTION.format("w"), 4425), (PROMOTION.format("w"), 4233),   # b7-b8 R, b7xa8 R
    (PROMOTION.format("w"), 4489),                                  # b7xc8 N
    (PROMOTION.format("w"), 457), (PROMOTION.format("w"), 9),       # b7-b8 Q, b7xa8 Q
    (PROMOTION.format("w"), 905),                                   # b7xc8 Q
    (PROMOTION.format("b"), 4342), (PROMOTION.format("b"), 4214),   # g2-g1 N, g2xh1 B
    (PROMOTION.format("b"), 4662), (PROMOTION.format("b"), 502),    # g2xf1 R, g2-g1 Q
    (PROMOTION.format("b"), 54), (PROMOTION.format("b"), 950),      # g2xh1 Q, g2xf1 Q
    ("4k3/8/8/8/8/8/8/R3K3 w - - 0 1", 888),                        # rook a1-a8
    ("4k3/8/8/8/8/8/8/2B1K3 w - - 0 1", 1210),                      # bishop c1-h6
    ("k7/8/8/8/8/8/8/7K w - - 0 1", 3199),                          # king h1-g1
    ("3qk3/8/8/8/8/8/8/4K3 b - - 0 1", 195),                        # queen d8-h4
    ("r3k3/8/8/8/8/8/8/4K3 b - - 0 1", 832),                        # rook a8-a1
])
def test_action_values(env, fen, action):
    env.parse_fen(fen)
    assert action in legal_actions(env)
    # The listing agrees with python-chess on how many legal moves there are.
    assert len(legal_actions(env)) == chess.Board(fen).legal_moves.count()


@pytest.mark.parametrize("side,action,word", [
    ("w", 1468, 0x805FBC), ("w", 3260, 0x805EBC), ("b", 3204, 0x80B184), ("b", 1412, 0x80B084),
])
def test_castling_move_words(env, side, action, word):
    env.parse_fen(CASTLING.format(side))
    legal_actions(env)
    assert env.save_state().move_index[action] == word


@pytest.mark.parametrize("fen,absent", [
    ("r3kr2/8/8/8/8/8/8/R3K2R w KQq - 0 1", [1468]),          # f1 attacked
    ("r3k2r/4r3/8/8/8/8/8/R3K2R w KQkq - 0 1", [1468, 3260]),  # king in check
    ("r3k2r/8/8/2b5/8/8/8/R3K2R w KQkq - 0 1", [1468]),        # g1 attacked
    ("r3k2r/8/8/8/8/8/8/RN2K2R w KQkq - 0 1", [3260]),         # b1 occupied
    ("r3k2r/8/8/8/8/8/8/R3K2R w Qkq - 0 1", [1468]),           # no right
])
def test_castling_conditions(env, fen, absent):
    env.parse_fen(fen)
    actions = legal_actions(env)
    assert not set(actions) & set(absent)
    assert len(actions) == chess.Board(fen).legal_moves.count()


def test_queen_side_castling_past_an_attacked_b1(env):
    env.parse_fen("1r2k3/8/8/8/8/8/8/R3K3 w Q - 0 1")
    assert 3260 in legal_actions(env)


@pytest.mark.parametrize("side,pawn,color", [("w", 9, 0), ("b", 54, 1)])
def test_promotions_are_twelve_distinct_actions(env, side, pawn, color):
    env.parse_fen(PROMOTION.format(side))
    actions = [a for a in legal_actions(env) if a % 64 == pawn]
    assert len(actions) == 12
    words = [env.save_state().move_index[a] for a in actions]
    assert sorted(w >> 16 & 15 for w in words) == sorted([6 * color + k for k in (1, 2, 3, 4)] * 3)
    assert sum(bool(w & CAPTURE) for w in words) == 8


def test_queen_promotion_step_makes_a_queen(env):
    env.parse_fen(PROMOTION.format("w"))
    env.step(457)
    bitboards = env.save_state().bitboards.tolist()
    assert bitboards[4] == 1 << 1 and bitboards[0] == 0


def test_knight_on_e4_uses_all_eight_planes(env):
    env.parse_fen("4k3/8/8/8/4N3/8/8/4K3 w - - 0 1")
    knight = [a for a in legal_actions(env) if a % 64 == 36]
    assert knight == [p * 64 + 36 for p in range(56, 64)]
    assert {3684, 3940, 3812, 4068} <= set(knight)


def test_en_passant_action_word_and_step(env):
    env.parse_fen("4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1")
    action = encode_uci("d5c6", 0)
    assert action in legal_actions(env)
    assert env.save_state().move_index[action] == 27 | 18 << 6 | CAPTURE | EN_PASSANT
    env.step(action)
    bitboards = env.save_state().bitboards.tolist()
    assert bitboards[6] == 0 and bitboards[0] == 1 << 18


def test_pinned_piece_and_king_into_check_are_absent(env):
    # Knight e2 pinned by the rook on e8; d1 and d2 covered by the rook on d8.
    env.parse_fen("3rr2k/8/8/8/8/8/4N3/4K3 w - - 0 1")
    expected = [encode_uci("e1f2", 0), encode_uci("e1f1", 0)]
    assert legal_actions(env) == sorted(expected)
    assert sorted(env.save_state().move_index) == sorted(expected)


def test_no_legal_moves_gives_an_empty_mask(env):
    env.parse_fen("k7/8/1Q6/8/8/8/8/7K b - - 0 1")
    assert legal_actions(env) == [] and env.save_state().move_index == {}


def test_listing_twice_changes_nothing(started):
    env, _ = started
    for action in (564, 524, 3646):  # e4 e5 Nf3: no_progress_count 2
        env.step(action)
    first = env.get_actions()
    state = state_dict(env.save_state())
    assert env.get_actions() == first
    assert state_dict(env.save_state()) == state and state["no_progress_count"] == 2


def test_step_leaves_the_old_map_until_the_next_listing(started):
    env, _ = started
    env.step(564)
    assert 564 in env.save_state().move_index
    env.get_actions()
    index = env.save_state().move_index
    assert 564 not in index and 524 in index
