"""Observation planes: eight history blocks, then the whole-board features."""

import random

import chess
import pytest
import varnok

from conftest import castle_bits, encode_move, expected_hash, piece_bitboards


def ones(*squares):
    return [1 if sq in squares else 0 for sq in range(64)]


def const(value):
    return [value] * 64


class ObservationModel:
    """The history ring and observation, built from python-chess boards."""

    def __init__(self, board):
        self.history, self.pos, self.prev_n, self.counts = [], 0, 0, {}
        self.total, self.no_progress, self.after_reset = 0, 0, True
        self.record(board)

    def record(self, board):
        h = expected_hash(board)
        self.counts[h] = self.counts.get(h, 0) + 1
        n = self.counts[h] - 1
        entry = [[bb >> sq & 1 for sq in range(64)] for bb in piece_bitboards(board)]
        entry += [const(n), const(self.prev_n)] if board.turn else [const(self.prev_n), const(n)]
        if len(self.history) < 8:
            self.history.append(entry)
        else:
            self.history[self.pos] = entry
        self.pos = (self.pos + 1) % 8
        self.prev_n = n

    def push(self, board, move):
        progress = board.is_capture(move) or board.piece_type_at(move.from_square) == chess.PAWN
        self.no_progress = 1 if progress else self.no_progress + 1
        board.push(move)
        self.total += 1
        self.after_reset = False
        self.record(board)

    def observation(self, board):
        black = board.turn == chess.BLACK
        planes = []
        for b in range(8):
            c = (self.pos - 1 - b) % 8
            if c >= len(self.history):
                planes += [const(0)] * 14
                continue
            entry = self.history[c]
            planes += (entry[6:12] + entry[0:6] if black else entry[0:12]) + entry[12:14]
        castle = castle_bits(board)
        planes.append(const(int(black)))
        planes.append(const(self.total))
        planes += [const(1 if castle & bit else 0) for bit in (1, 2, 4, 8)]
        planes.append(const(self.no_progress))
        if black and not self.after_reset:
            planes = [p[::-1] for p in planes]
        return planes


def test_after_reset(started):
    _, (side, obs, reward, done) = started
    assert (side, reward, done) == (0, 0, 0)
    assert len(obs) == 119 and all(len(p) == 64 for p in obs)
    assert obs[0] == ones(*range(48, 56))
    assert obs[6] == ones(*range(8, 16))
    assert obs[5] == ones(60) and obs[11] == ones(4)
    assert obs[12] == const(0) and obs[13] == const(0)
    assert all(p == const(0) for p in obs[14:112])
    assert obs[112] == const(0) and obs[113] == const(0) and obs[118] == const(0)
    assert obs[114:118] == [const(1)] * 4


def test_after_e4_black_view_is_exchanged_and_turned(started):
    env, (_, first, _, _) = started
    side, obs, _, _ = env.step(564)
    assert side == 1
    assert obs[0] == ones(*range(48, 56))                     # black pawns
    assert obs[6] == ones(8, 9, 10, 12, 13, 14, 15, 27)       # white pawns
    assert obs[5] == ones(59) and obs[11] == ones(3)          # black king e8, white king e1
    assert obs[14] == ones(*range(48, 56)) and obs[20] == ones(*range(8, 16))
    assert obs[112] == const(1) and obs[113] == const(1) and obs[118] == const(1)
    assert obs[114:118] == [const(1)] * 4
    assert all(p == const(0) for p in obs[28:112])


@pytest.mark.parametrize("seed", range(8))
def test_observations_follow_the_model(seed):
    rng = random.Random(seed)
    env = varnok.ChessEnv()
    board = chess.Board()
    _, obs, _, _ = env.reset()
    model = ObservationModel(board)
    assert obs == model.observation(board)
    # A knight dance first so that the repetition planes carry 1s and 2s.
    dance = ["g1f3 g8f6 f3g1 f6g8", "b1c3 b8c6 c3b1 c6b8 g1f3"][seed % 2]
    for uci in dance.split():
        move = chess.Move.from_uci(uci)
        _, obs, _, _ = env.step(encode_move(board, move))
        model.push(board, move)
        assert obs == model.observation(board)
    for _ in range(30):
        moves = list(board.legal_moves)
        if not moves:
            break
        move = rng.choice(moves)
        _, obs, _, done = env.step(encode_move(board, move))
        model.push(board, move)
        assert obs == model.observation(board), board.fen()
        if done:
            break


def test_reset_starts_every_episode_alike(started):
    env, (_, first, _, _) = started
    for action in [3646, 3910, 3885, 3669] * 2:  # ends on a threefold repetition
        *_, done = env.step(action)
    assert done == 1 and env.save_state().n_repititions == 2
    side, obs, reward, done = env.reset()
    assert (side, obs, reward, done) == (0, first, 0, 0)
    st = env.save_state()
    assert (st.total_move_count, st.prev_n_repititions, st.state_pos) == (0, 0, 1)
    assert len(st.state_history) == 1


def test_restore_turns_the_board_only_after_a_step(started):
    env, _ = started
    _, stepped, _, _ = env.step(564)
    state = env.save_state()

    fresh = varnok.ChessEnv()
    fresh.reset()
    side, not_turned, _, _ = fresh.restore_state(state)
    assert side == 1
    assert not_turned == [p[::-1] for p in stepped]
    assert fresh.restore_state(state)[1] == not_turned

    played = varnok.ChessEnv()
    played.reset()
    played.step(564)
    assert played.restore_state(state)[1] == stepped


def test_counter_planes_beyond_the_small_integers(started):
    """Counters far from 0 reach the planes exactly, each plane its own list."""
    env, _ = started
    state = env.save_state()
    for moves, no_progress in ((1000, -6), (2**31 - 1, 257), (-2**31, 49)):
        state.total_move_count = moves
        state.no_progress_count = no_progress
        _, obs, _, _ = env.restore_state(state)
        assert obs[113] == [moves] * 64 and obs[118] == [no_progress] * 64
        assert obs[113] is not obs[118]
        obs[113][0] = 0  # a caller may change its copy
        assert env.restore_state(state)[1][113] == [moves] * 64
