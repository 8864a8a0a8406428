"""State snapshots: the State class, save_state and restore_state."""

import numpy
import pytest
import varnok

from conftest import legal_actions, state_dict

INT_FIELDS = ["state_pos", "total_move_count", "no_progress_count",
              "n_repititions", "prev_n_repititions"]


def repr_text(side, enpassant, castle, state_pos, total, no_progress, n_rep, size):
    return (f"State(\n  side={side},\n  enpassant={enpassant},\n  castle={castle},\n"
            f"  state_pos={state_pos},\n  total_move_count={total},\n"
            f"  no_progress_count={no_progress},\n  n_repititions={n_rep},\n"
            f"  state_history size={size}\n)")


def test_default_state():
    s = varnok.State()
    assert (s.side, s.enpassant, s.castle) == (0, 0, 0)
    assert all(getattr(s, f) == 0 for f in INT_FIELDS)
    assert (s.state_history, s.move_index, s.repetition_count) == ([], {}, {})
    assert s.bitboards.tolist() == [0] * 12 and s.occupancies.tolist() == [0] * 3
    assert repr(s) == repr_text(0, 0, 0, 0, 0, 0, 0, 0)


def test_state_after_first_reset(started):
    env, _ = started
    s = env.save_state()
    assert (s.side, s.enpassant, s.castle) == (0, 64, 15)
    assert (s.state_pos, s.total_move_count, s.no_progress_count) == (1, 0, 0)
    assert (s.n_repititions, s.prev_n_repititions) == (0, 0)
    assert len(s.state_history) == 1 and len(s.move_index) == 20
    assert list(s.repetition_count.values()) == [1]
    assert s.occupancies.tolist() == [0xFFFF000000000000, 0xFFFF, 0xFFFF00000000FFFF]
    assert repr(s) == repr_text(0, 64, 15, 1, 0, 0, 0, 1)


def test_repr_shows_negative_numbers():
    s = varnok.State()
    s.total_move_count = -5
    s.n_repititions = -2147483648
    assert repr(s) == repr_text(0, 0, 0, 0, -5, 0, -2147483648, 0)


@pytest.mark.parametrize("field", ["side", "enpassant", "castle", "bitboards", "occupancies"])
def test_position_fields_are_read_only(field):
    s = varnok.State()
    with pytest.raises(AttributeError):
        setattr(s, field, 1)


@pytest.mark.parametrize("field", INT_FIELDS)
def test_int_fields_convert(field):
    s = varnok.State()
    setattr(s, field, numpy.int64(7))
    assert getattr(s, field) == 7
    setattr(s, field, -2**31)
    assert getattr(s, field) == -2**31
    for bad in (2**31, -2**31 - 1, 1.5, "3", None):
        with pytest.raises(TypeError, match=rf"^{field}\(\): incompatible"):  # the refusal names the field
            setattr(s, field, bad)
        assert getattr(s, field) == -2**31


@pytest.mark.parametrize("field,good,bad", [
    ("repetition_count", {2**64 - 1: 3, 0: 1}, [{-1: 1}, {2**64: 1}, {1: 2**31}, {1: 1.0}, [1]]),
    ("move_index", {4671: 8413116, 0: -1}, [{2**31: 1}, {1: 2**31}, {1.0: 1}, {1: "x"}]),
    ("state_history", [[[1, 2]], []], [[[["x"]]], [[1]], [[[1.5]]], 5]),
    ("moves", [1, 2**16 - 1], [[-1], [2**16], [1.0], "x"]),
    ("start_fen", "4k3/8/8/8/8/8/8/4K3 w - - 0 1", [5, None, ["4k3/8/8/8/8/8/8/4K3 w - - 0 1"]]),
])
def test_container_fields_convert(field, good, bad):
    s = varnok.State()
    setattr(s, field, good)
    assert getattr(s, field) == good
    for value in bad:
        with pytest.raises(TypeError, match=rf"^{field}\(\): incompatible"):  # the refusal names the field
            setattr(s, field, value)
        assert getattr(s, field) == good


def test_reads_are_copies(started):
    env, _ = started
    s = env.save_state()
    before = state_dict(s)
    s.state_history.append([])
    s.state_history[0][0][48] = 7
    s.move_index[1] = 2
    s.repetition_count.clear()
    a, b = s.bitboards, s.bitboards
    assert a is not b and not numpy.shares_memory(a, b)
    for arr, n in ((a, 12), (s.occupancies, 3)):
        assert arr.dtype == numpy.uint64 and arr.shape == (n,) and arr.flags.writeable
        arr[0] = 12345
    assert state_dict(s) == before
    s.move_index = {564: 1}
    assert s.move_index == {564: 1}


def test_save_step_restore_gives_the_same_game(started):
    env, _ = started
    for action in (564, 524, 3646):
        env.step(action)
    saved = env.save_state()
    first = state_dict(saved)
    actions, h = env.get_actions(), env.hash_state()
    continuation = [env.step(a) for a in (3841, 189, 3910)]
    side, _, reward, done = env.restore_state(saved)
    assert (side, reward, done) == (1, 0, 0)
    assert state_dict(env.save_state()) == first
    assert state_dict(saved) == first
    assert env.hash_state() == h and env.get_actions() == actions
    assert [env.step(a) for a in (3841, 189, 3910)] == continuation


def test_state_moves_between_envs(started):
    env, _ = started
    for action in (564, 524, 3646):
        env.step(action)
    s = env.save_state()
    expected = state_dict(s)
    others = [varnok.ChessEnv(), varnok.ChessEnv()]
    others[1].reset()
    for other in others:
        other.restore_state(s)
        assert state_dict(other.save_state()) == expected
        assert other.hash_state() == env.hash_state()
        assert legal_actions(other) == legal_actions(env)
    assert state_dict(s) == expected
    # Changing the source game does not reach the copies (whose action maps
    # were rebuilt by the listing above).
    env.step(3841)
    copy = state_dict(others[0].save_state())
    del copy["move_index"], expected["move_index"]
    assert copy == expected


def test_restore_of_an_ended_game_reports_not_done(started):
    env, _ = started
    for action in (501, 524, 566, 195):  # fool's mate
        result = env.step(action)
    assert result[2:] == (-1, 1)
    side, _, reward, done = env.restore_state(env.save_state())
    assert (side, reward, done) == (0, 0, 0)


def test_restore_default_state_loads_an_empty_board(started):
    env, _ = started
    side, obs, reward, done = env.restore_state(varnok.State())
    assert (side, reward, done) == (0, 0, 0)
    assert obs == [[0] * 64] * 119
    assert legal_actions(env) == []
    assert state_dict(env.save_state()) == state_dict(varnok.State())


def _entry():
    return [[0] * 64 for _ in range(14)]


@pytest.mark.parametrize("field,value", [
    ("state_pos", 8), ("state_pos", -1),
    ("state_history", [_entry() for _ in range(9)]),
    ("state_history", [_entry()[:13]]),
    ("state_history", [_entry()[:13] + [[0] * 63]]),
    ("state_history", [_entry(), _entry() + [[0] * 64]]),
    ("move_index", {4672: 8413116}),
    ("move_index", {-1: 8413116}),
    # more actions than any position has moves
    ("move_index", {action: 8413116 for action in range(2049)}),
])
def test_restore_refuses_states_the_game_cannot_use(started, field, value):
    env, _ = started
    env.step(564)
    before = state_dict(env.save_state())
    bad = env.save_state()
    setattr(bad, field, value)
    with pytest.raises(ValueError, match=field):
        env.restore_state(bad)
    assert state_dict(env.save_state()) == before


def test_restored_listing_of_any_size_comes_back(started):
    """A hand-made listing, up to the largest one kept, is restored as given:
    save_state hands it back and step plays the move it names."""
    env, _ = started
    state = env.save_state()
    listing = {action: 8413116 for action in range(4671, 4671 - 2 * 2048, -2)}
    listing[564] = state.move_index[564]  # e2e4 of the initial position
    del listing[next(iter(listing))]
    state.move_index = listing
    env.restore_state(state)
    assert env.save_state().move_index == listing
    env.step(564)
    assert env.fen().startswith("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b")


def test_restore_refuses_non_states(started):
    env, _ = started
    env.step(564)
    before = state_dict(env.save_state())
    # Depending on the pybind11 release, None fails the reference cast with
    # RuntimeError or is refused as an incompatible argument (TypeError).
    with pytest.raises((RuntimeError, TypeError)):
        env.restore_state(None)
    for value in (5, "state", env):
        with pytest.raises(TypeError):
            env.restore_state(value)
    assert state_dict(env.save_state()) == before


def test_restored_history_keeps_any_plane_values(started):
    """Entries that are not 0/1 piece planes with constant repetition planes
    come back exactly, in observations (turned for black) and in States."""
    env, _ = started
    env.step(564)  # black to move, not right after reset: planes are turned
    state = env.save_state()
    odd = [list(range(k * 64, k * 64 + 64)) for k in range(14)]
    history = state.state_history
    history[0] = odd
    state.state_history = history
    side, obs, _, _ = env.restore_state(state)
    assert side == 1
    # The entry in slot 0 is the older position: block 1. Black's pieces lead.
    block = obs[14:28]
    assert block[0] == odd[6][::-1] and block[6] == odd[0][::-1]
    assert block[12] == odd[12][::-1] and block[13] == odd[13][::-1]
    assert env.save_state().state_history == history
    env.step(524)  # a new entry joins; the odd one stays as given
    assert env.save_state().state_history[0] == odd


SHUFFLE = ["g1f3", "g8f6", "f3g1", "f6g8"]   # back where it started: the position once more


def played(rules, moves):
    env = varnok.ChessEnv(rules)
    env.reset()
    return env, [env.play(env.uci_to_action(uci)) for uci in moves]


@pytest.mark.parametrize("played_by, restored_into", [("classic", "fide"), ("fide", "classic"),
                                                      ("classic", "fide-strict"), ("fide-strict", "classic")])
def test_a_game_restored_under_other_rules_is_counted_by_them(played_by, restored_into):
    # The classic rules key repetitions by hash_state and count no progress
    # from 1 after a pawn move, the FIDE rules by Zobrist identity and from
    # 0: a game is taken as the new rules would have counted it, so its
    # third (or fifth) occurrence still ends it.
    moves = ["e2e4", "e7e5", *SHUFFLE]
    source, _ = played(played_by, moves)
    native, _ = played(restored_into, moves)
    env = varnok.ChessEnv(restored_into)
    env.restore_state(source.save_state())
    row = varnok.VectorEnv(1, num_threads=1, seed=0, rules=restored_into)
    row.restore_state(0, source.save_state())
    assert env.save_state() == native.save_state() == row.save_state(0)
    _, then = played(restored_into, moves + SHUFFLE * 3)
    assert [env.play(env.uci_to_action(uci)) for uci in SHUFFLE * 3] == then[len(moves):]
    assert 1 in [done for _, _, done in then[len(moves):]]
    edited = source.save_state()   # no longer the game its log replays: taken as it is
    edited.no_progress_count += 7
    env.restore_state(edited)
    assert env.save_state() == edited
