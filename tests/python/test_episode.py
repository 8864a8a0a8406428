"""Whole episodes: reset, step, rewards and the end-of-game rules."""

import random

import chess
import pytest
import varnok

from conftest import encode_move, encode_uci, legal_actions, play_uci, state_dict


@pytest.mark.parametrize("actions,final", [
    # Fool's mate: f3 e5 g4 Qh4#.
    ([501, 524, 566, 195], (0, -1, 1)),
    # Scholar's mate: e4 e5 Qh5 Nc6 Bc4 Nf6 Qxf7#.
    ([564, 524, 1147, 3841, 189, 3910, 95], (1, 1, 1)),
])
def test_checkmates(started, actions, final):
    env, _ = started
    results = [env.step(a) for a in actions]
    assert all((r[2], r[3]) == (0, 0) for r in results[:-1])
    side, _, reward, done = results[-1]
    assert (side, reward, done) == final
    assert legal_actions(env) == []
    with pytest.raises(ValueError, match="^Invalid action$"):
        env.step(actions[-1])


def test_stalemate(env):
    env.parse_fen("k7/8/8/1Q6/8/8/8/7K w - - 0 1")
    side, _, reward, done = env.step(473)  # Qb5-b6
    assert (side, reward, done) == (1, 0, 1)


def test_a_side_without_king_is_never_in_check(env):
    # Every rook move is legal for white without a king, checks included.
    env.parse_fen("4k3/8/8/8/8/8/8/R7 w - - 0 1")
    assert len(legal_actions(env)) == 14
    # Black with nothing at all left to move: stalemate, not checkmate.
    env.parse_fen("8/8/8/8/8/8/8/R3K3 w - - 0 1")
    assert env.step(encode_uci("a1a2", 0))[2:] == (0, 1)


def test_invalid_action_leaves_the_game_unchanged(started):
    env, _ = started
    before = state_dict(env.save_state())
    with pytest.raises(ValueError, match="^Invalid action$"):
        env.step(0)
    assert state_dict(env.save_state()) == before
    side, _, reward, done = env.step(564)
    assert (side, reward, done) == (1, 0, 0)
    # Later in the game the rejected action only refreshes the action map.
    before = state_dict(env.save_state())
    with pytest.raises(ValueError):
        env.step(564)
    after = state_dict(env.save_state())
    assert after.pop("move_index") != before.pop("move_index")
    assert after == before


def test_rejected_step_still_ends_the_after_reset_view(started):
    # A State with black to move is shown turned round after any step call.
    env, _ = started
    env.step(564)
    black_state = env.save_state()
    other = varnok.ChessEnv()
    other.reset()
    unturned = other.restore_state(black_state)[1]
    with pytest.raises(ValueError):
        other.step(0)
    assert other.restore_state(black_state)[1] == [p[::-1] for p in unturned]


def no_progress_walk(seed):
    """49 quiet plies (no pawn move, no capture, no check, every position new)
    from K+R vs K with black to move: the rook wanders, the black king shuffles
    between a8 and b8. Returns the moves, a mating move and a quiet move that
    can follow them."""
    rng = random.Random(seed)
    while True:
        board = chess.Board(WALK_FEN)
        seen = {board._transposition_key()}
        moves = []
        while len(moves) < 49:
            options = []
            for m in board.legal_moves:
                if (board.is_capture(m) or board.gives_check(m)
                        or (board.turn and board.piece_type_at(m.from_square) == chess.KING)
                        or (not board.turn and m.to_square not in (chess.A8, chess.B8))):
                    continue
                board.push(m)
                if board._transposition_key() not in seen and not board.is_stalemate():
                    options.append(m)
                board.pop()
            if not options:
                break
            moves.append(rng.choice(options))
            board.push(moves[-1])
            seen.add(board._transposition_key())
        ends = {}
        for m in board.legal_moves:
            if not board.is_capture(m):
                board.push(m)
                ends.setdefault(board.is_checkmate() - board.is_stalemate(), m)
                board.pop()
        if len(moves) == 49 and 1 in ends and 0 in ends:
            return moves, ends[1], ends[0]


WALK_FEN = "k7/8/1K6/8/8/8/8/7R b - - 0 1"


@pytest.mark.parametrize("finish", ["mate", "quiet"])
def test_no_progress_limit_and_mate_on_the_fiftieth_ply(env, finish):
    moves, mate, quiet = no_progress_walk(3)
    env.parse_fen(WALK_FEN.replace("0 1", "30 80"))  # the clock field is ignored
    board = chess.Board(WALK_FEN)
    for m in moves:
        *_, reward, done = env.step(encode_move(board, m))
        board.push(m)
        assert (reward, done) == (0, 0)
    assert env.save_state().no_progress_count == 49
    last = mate if finish == "mate" else quiet
    side, _, reward, done = env.step(encode_move(board, last))
    assert side == 1 and done == 1
    assert reward == (1 if finish == "mate" else 0)
    assert env.save_state().no_progress_count == 50


def test_pawn_move_and_capture_restart_the_no_progress_count(started):
    env, _ = started
    board, counts = chess.Board(), []
    for uci in "g1f3 b8c6 b1c3 c6d4 f3d4 e7e6 d4f3".split():
        play_uci(env, board, uci)
        counts.append(env.save_state().no_progress_count)
    assert counts == [1, 2, 3, 4, 1, 1, 2]
