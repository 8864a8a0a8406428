"""Whole episodes: reset, step, rewards and the end-of-game rules."""

import random

import chess
import pytest
import varnok

from conftest import encode_move, legal_actions, play_uci, state_dict


def play(env, actions):
    return [env.step(a) for a in actions]


def test_reset_result_and_bookkeeping(started):
    env, (side, obs, reward, done) = started
    assert (side, reward, done) == (0, 0, 0)
    st = env.save_state()
    assert len(st.move_index) == 20 and len(st.state_history) == 1 and st.state_pos == 1
    assert list(st.repetition_count.values()) == [1]


@pytest.mark.parametrize("actions,final", [
    # Fool's mate: f3 e5 g4 Qh4#.
    ([501, 524, 566, 195], (0, -1, 1)),
    # Scholar's mate: e4 e5 Qh5 Nc6 Bc4 Nf6 Qxf7#.
    ([564, 524, 1147, 3841, 189, 3910, 95], (1, 1, 1)),
])
def test_checkmates(started, actions, final):
    env, _ = started
    results = play(env, actions)
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


def test_invalid_action_still_leaves_the_fresh_episode_view(started):
    # A rejected step after reset still ends the after-reset period: a State
    # with black to move is then shown turned round.
    env, _ = started
    env.step(564)
    black_state = env.save_state()
    other = varnok.ChessEnv()
    other.reset()
    unturned = other.restore_state(black_state)[1]
    with pytest.raises(ValueError):
        other.step(0)
    assert other.restore_state(black_state)[1] == [p[::-1] for p in unturned]


def test_total_move_count_counts_steps(started):
    env, _ = started
    play(env, [564, 524, 3646])
    assert env.save_state().total_move_count == 3
    assert env.step(3841)[1][113] == [4] * 64


def no_progress_walk(seed):
    """49 quiet plies from a K+R vs K position with black to move, each
    reaching a new position, ending with white to move and a mate in one.
    Returns the moves, the mating move and a quiet non-mating move."""
    rng = random.Random(seed)
    for _ in range(200):
        board = chess.Board("k7/8/1K6/8/8/8/8/7R b - - 0 1")
        seen = {board._transposition_key()}
        moves = []
        while len(moves) < 49:
            options = []
            for m in board.legal_moves:
                if board.is_capture(m) or board.gives_check(m):
                    continue
                # White moves only the rook; the black king stays in its corner.
                if board.piece_type_at(m.from_square) == chess.KING and board.turn == chess.WHITE:
                    continue
                if board.turn == chess.BLACK and m.to_square not in (chess.A8, chess.B8):
                    continue
                board.push(m)
                if board._transposition_key() not in seen and not board.is_stalemate():
                    options.append(m)
                board.pop()
            if not options:
                break
            m = rng.choice(options)
            board.push(m)
            seen.add(board._transposition_key())
            moves.append(m)
        if len(moves) < 49:
            continue
        mates, quiet = [], []
        for m in board.legal_moves:
            capture = board.is_capture(m)
            board.push(m)
            if board.is_checkmate():
                mates.append(m)
            elif not (capture or board.is_stalemate() or board._transposition_key() in seen):
                quiet.append(m)
            board.pop()
        if mates and quiet:
            return moves, mates[0], quiet[0]
    raise AssertionError("no walk found")


@pytest.mark.parametrize("finish", ["mate", "quiet"])
def test_no_progress_limit_and_mate_on_the_fiftieth_ply(env, finish):
    moves, mate, quiet = no_progress_walk(3)
    env.parse_fen("k7/8/1K6/8/8/8/8/7R b - - 30 80")
    board = chess.Board("k7/8/1K6/8/8/8/8/7R b - - 0 1")
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
