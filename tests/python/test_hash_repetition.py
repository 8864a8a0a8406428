"""The position hash and the counting of repeated positions."""

import pytest

from conftest import START_FEN, encode_uci, state_dict

EMPTY_BLACK = 0xCBF29CE484222325


@pytest.mark.parametrize("fen,value", [
    (START_FEN, 0x07259D7613375B63),
    ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", 0xF629E983B692FEC6),
    ("8/8/8/8/8/8/8/8 b - - 0 1", EMPTY_BLACK),
    ("8/8/8/8/8/8/8/8 w - - 0 1", 0x6E57394121878680),
    ("8/8/8/8/8/8/8/8 b K - 0 1", EMPTY_BLACK ^ 0xF0F0F0F0F0F0F0F0),
    ("8/8/8/8/8/8/8/8 b KQkq - 0 1", EMPTY_BLACK ^ 0x1E1E1E1E1E1E1E10),
    ("8/8/8/8/8/8/8/8 b - h1 0 1", EMPTY_BLACK ^ 1 << 63),
])
def test_hash_values(env, fen, value):
    env.parse_fen(fen)
    assert env.hash_state() == value


def test_hash_ignores_which_piece_holds_a_bitboard(env):
    env.parse_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1")
    h = env.hash_state()
    env.parse_fen("4K3/8/8/8/8/8/8/4k3 w - - 0 1")
    assert env.hash_state() == h
    env.parse_fen("4Q3/8/8/8/8/8/8/4b3 w - - 0 1")
    assert env.hash_state() == h


def test_hash_covers_en_passant_but_not_counters(started):
    env, _ = started
    env.parse_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1")
    plain = env.hash_state()
    env.parse_fen("4k3/8/8/8/8/8/8/4K3 w - c6 0 1")
    assert env.hash_state() == plain ^ 1 << 18
    # Same position after moves that changed only the counters.
    env.reset()
    h = env.hash_state()
    for action in (3646, 3910, 3885, 3669):
        env.step(action)
    st = env.save_state()
    assert (st.total_move_count, st.no_progress_count) == (4, 4)
    assert env.hash_state() == h


def test_hash_state_changes_nothing(started):
    env, _ = started
    env.step(564)
    before = state_dict(env.save_state())
    assert env.hash_state() == env.hash_state()
    assert state_dict(env.save_state()) == before


def test_reset_counts_the_initial_position_once(started):
    env, _ = started
    st = env.save_state()
    assert st.repetition_count == {0x07259D7613375B63: 1}
    assert (st.n_repititions, st.prev_n_repititions) == (0, 0)


KNIGHT_DANCE = [3646, 3910, 3885, 3669]  # Nf3 Nf6 Ng1 Ng8


def test_threefold_repetition_ends_the_episode(started):
    env, _ = started
    initial = env.hash_state()
    dones = []
    for i, action in enumerate(KNIGHT_DANCE * 3):
        side, _, reward, done = env.step(action)
        dones.append(done)
        assert reward == 0
        st = env.save_state()
        if i == 3:
            assert st.repetition_count[initial] == 2 and st.n_repititions == 1
        if i == 7:
            assert side == 0
            assert st.repetition_count[initial] == 3 and st.n_repititions == 2
        if i == 11:
            assert st.repetition_count[initial] == 4 and st.n_repititions == 3
    # The third occurrence ends the episode; play may go on and each later
    # step is judged afresh: the three positions after it also occur for the
    # third time, the fourth occurrence of the start does not end anything.
    assert dones == [0] * 7 + [1, 1, 1, 1, 0]
    assert len(env.save_state().repetition_count) == 4


def test_parse_fen_neither_counts_nor_clears(started):
    env, _ = started
    before = env.save_state().repetition_count
    env.parse_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1")
    loaded = env.hash_state()
    assert env.save_state().repetition_count == before
    # The loaded position is counted only when a step reaches it.
    for uci, side in (("e1d1", 0), ("e8f8", 1), ("d1e1", 0), ("f8e8", 1)):
        env.step(encode_uci(uci, side))
    st = env.save_state()
    assert env.hash_state() == loaded
    assert st.repetition_count[loaded] == 1 and st.n_repititions == 0
    assert len(st.repetition_count) == len(before) + 4
