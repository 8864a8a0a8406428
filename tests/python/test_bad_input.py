"""Bad input to every method: the error it gets, and a game left untouched."""

import pytest

import varnok
from conftest import state_dict

BIG = [2**31, -2**31 - 1, 2**64]

# (method, arguments, exception): each is refused before the game changes.
CASES = [
    *[(name, extra, TypeError)
      for name in ("reset", "get_actions", "render", "save_state", "hash_state")
      for extra in [(None,), (1,)]],
    # roll_out takes an optional seed from 0 to 2**32 - 1, and nothing else.
    *[("roll_out", extra, TypeError) for extra in [("1",), (1.5,), (-1,), (2**32,), (1, 2)]],
    *[("step", (value,), TypeError) for value in [None, "564", 564.0, b"564", [564], *BIG]],
    ("step", (), TypeError),
    ("step", (564, 1), TypeError),
    *[("step", (value,), ValueError) for value in [-1, 4672, 2**31 - 1, -2**31]],
    *[("parse_fen", (value,), TypeError) for value in [None, 5, 1.5, ["8/8"]]],
    ("parse_fen", (), TypeError),
    *[("restore_state", (value,), TypeError) for value in [None, 3, "state", {}, varnok.ChessEnv()]],
    ("restore_state", (), TypeError),
]


@pytest.mark.parametrize("method, args, error", CASES)
def test_refused_calls_leave_the_game_unchanged(started, method, args, error):
    env, _ = started
    env.step(564)
    before = state_dict(env.save_state())
    with pytest.raises(error):
        getattr(env, method)(*args)
    after = state_dict(env.save_state())
    if method == "step" and error is ValueError:
        # An illegal action still rebuilds the action map of the position.
        before.pop("move_index"), after.pop("move_index")
    assert after == before


@pytest.mark.parametrize("text", [
    "8/" * 100_000 + " w - -",                    # very long
    "é♔ß/ĸ8/8/8/8/8/8/4K3 w KQkq e3",             # non-ASCII bytes where pieces go
    "rnbqkbnr/pppp",                               # ends inside the placement
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQ",  # ends inside castling
    "8/8/8/8/8/8/8/4K3 w - e",                     # half an en-passant square
    "8/8/8/8/8/8/8/4K3 w - z9",                    # not a square name
    "",
])
def test_odd_fen_texts_load_without_error(env, text):
    env.parse_fen(text)
    state = env.save_state()
    assert 0 <= state.castle <= 15 and state.side in (0, 1)
    assert state.enpassant in (*range(64), 64)
    assert state.enpassant == 64 or text.endswith("e3")
    # The loaded position is usable: listing and stepping never fail.
    for action in [a for a in range(4672) if env.get_actions()[a // 64][a % 64]][:5]:
        env.restore_state(state)
        env.step(action)


@pytest.mark.parametrize("field, value", [
    ("state_pos", 2**31), ("total_move_count", -2**31 - 1), ("no_progress_count", 1.0),
    ("n_repititions", None), ("state_history", [[[1.5]]]), ("state_history", 7),
    ("repetition_count", {2**64: 1}), ("repetition_count", {1: 2**31}),
    ("move_index", {2**31: 1}), ("move_index", {1: "x"}),
])
def test_state_fields_refuse_values_that_do_not_convert(started, field, value):
    env, _ = started
    state = env.save_state()
    kept = getattr(state, field)
    with pytest.raises(TypeError):
        setattr(state, field, value)
    assert getattr(state, field) == kept
