"""Bad input to VectorEnv, roll_outs and unpack: each call is refused with the
exception and message named, leaves the environment exactly as it was, and
the environment then plays on exactly as an untouched twin does."""

import copy
import ctypes
import pickle

import numpy as np
import pytest
import varnok

ROWS = 3
START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
MATED = "7k/6Q1/6K1/8/8/8/8/8 b - - 0 1"        # black is checkmated
STALEMATED = "k7/8/1Q6/8/8/8/8/7K b - - 0 1"   # black has no move and is not in check
NO_KINGS = "8/8/8/8/8/8/8/8 w - - 0 1"


def playing(**options):
    """A VectorEnv a few random plies into its games."""
    venv = varnok.VectorEnv(ROWS, num_threads=2, seed=7, **options)
    venv.reset()
    for _ in range(3):
        venv.step(venv.random_actions())
    return venv


def snapshot(venv):
    """Every row's whole game as bytes."""
    return [venv.save_state(row).__getstate__() for row in range(venv.num_envs)]


def plays_on_like(venv, twin):
    """Both environments draw and play the same games from here."""
    for _ in range(4):
        a, b = venv.step(venv.random_actions()), twin.step(twin.random_actions())
        assert np.array_equal(a.obs, b.obs) and np.array_equal(a.legal_mask, b.legal_mask)
        assert np.array_equal(a.final_reason, b.final_reason)
    assert snapshot(venv) == snapshot(twin)


def finished_state(fen):
    env = varnok.ChessEnv()
    env.load_fen(fen)
    return env.save_state()


def state_pos_9():
    state = varnok.State()
    state.state_pos = 9
    return state


# ---- the constructor: nothing to change, so the error alone


CONSTRUCTOR = [
    (dict(num_envs=0), ValueError, "num_envs must be 1 to"),
    (dict(num_envs=-1), ValueError, "num_envs must be 1 to"),
    (dict(num_envs=2**20 + 1), ValueError, "num_envs must be 1 to"),
    (dict(num_envs=2**40), ValueError, "num_envs must be 1 to"),       # refused before any allocation
    (dict(num_envs=2, num_threads=0), ValueError, "num_threads must be 1 to 1024"),
    (dict(num_envs=2, num_threads=1025), ValueError, "num_threads must be 1 to 1024"),
    (dict(num_envs=2, num_threads=2**40), ValueError, "num_threads must be 1 to 1024"),
    (dict(num_envs=2, obs_dtype="float64"), ValueError, "obs_dtype must be"),
    (dict(num_envs=2, obs_dtype=""), ValueError, "obs_dtype must be"),
    (dict(num_envs=2, obs_dtype="PACKED"), ValueError, "obs_dtype must be"),
    (dict(num_envs=2, obs_dtype=None), TypeError, "obs_dtype"),
    (dict(num_envs=2, obs_dtype=np.float32), TypeError, "obs_dtype"),
    (dict(num_envs=2, max_steps=0), ValueError, "max_steps must be a positive"),
    (dict(num_envs=2, max_steps=-1), ValueError, "max_steps must be a positive"),
    (dict(num_envs=2, max_steps=2**31), ValueError, "max_steps must be a positive"),
    (dict(num_envs=None), TypeError, "num_envs"),
    (dict(num_envs="4"), TypeError, "num_envs"),
    (dict(num_envs=2, seed=-1), TypeError, "seed"),
    (dict(num_envs=2, seed="0"), TypeError, "seed"),
    (dict(num_envs=2, copy="yes"), TypeError, "copy"),
]


@pytest.mark.parametrize("options, error, message", CONSTRUCTOR)
def test_constructor_refuses(options, error, message):
    with pytest.raises(error, match=message):
        varnok.VectorEnv(**options)


# ---- methods of a VectorEnv in play

METHODS = [
    # step: the array's type, shape and values
    ("step", (np.zeros(ROWS),), TypeError, "actions must hold integers, got dtype float64"),
    ("step", (np.zeros(ROWS, bool),), TypeError, "dtype bool"),
    ("step", (np.zeros(ROWS, complex),), TypeError, "dtype complex128"),
    ("step", (np.array([564] * ROWS, object),), TypeError, "dtype object"),
    ("step", ("564",), TypeError, "actions must hold integers"),
    ("step", (None,), TypeError, "actions must hold integers"),
    ("step", (np.zeros((ROWS, 1), np.int64),), ValueError, r"shape \(3,\), got \(3, 1\)"),
    ("step", (np.int64(564),), ValueError, r"shape \(3,\), got \(\)"),
    ("step", (np.zeros(0, np.int64),), ValueError, r"shape \(3,\), got \(0,\)"),
    ("step", (np.zeros(ROWS + 1, np.int64),), ValueError, "shape"),
    ("step", (np.zeros(10**6, np.int64),), ValueError, "shape"),
    ("step", (np.full(ROWS, -1),), ValueError, "action -1 in row 0 is not legal"),
    ("step", (np.full(ROWS, 4672),), ValueError, "action 4672 in row 0"),
    ("step", (np.full(ROWS, 2**40),), ValueError, "action 1099511627776 in row 0"),
    ("step", (np.full(ROWS, 2**64 - 1, np.uint64),), ValueError, r"actions\[0\] = 18446744073709551615 is outside"),
    ("step", (), TypeError, "step"),
    ("step_async", (np.zeros(ROWS),), TypeError, "actions must hold integers"),
    ("step_async", (np.full(ROWS, -1),), ValueError, "action -1 in row 0"),
    ("step_async", (np.zeros(ROWS + 1, np.int64),), ValueError, "shape"),
    ("step_wait", (), RuntimeError, "step_wait without a step_async"),
    ("reset", ("1",), TypeError, "seed"),
    ("reset", (-1,), TypeError, "seed"),
    ("reset", (2**64,), TypeError, "seed"),
    ("random_actions", (1,), TypeError, "random_actions"),
    # start positions: strict FENs of games that can go on; the old ones stay
    ("set_start_positions", (["garbage"],), ValueError, "start position 0: FEN 'garbage': expected 6 fields"),
    ("set_start_positions", ([START, NO_KINGS],), ValueError, "start position 1: FEN placement field .* 0 kings"),
    ("set_start_positions", ([START, START + " extra"],), ValueError, "start position 1: FEN"),
    ("set_start_positions", ([MATED],), ValueError, r"start position 0 \(7k/6Q1.*\) is a finished game"),
    ("set_start_positions", ([START, STALEMATED],), ValueError, "start position 1 .* is a finished game"),
    ("set_start_positions", ([b"bytes are not text"],), ValueError, "start position 0: FEN"),
    ("set_start_positions", (None,), TypeError, "set_start_positions"),
    ("set_start_positions", (START,), TypeError, "set_start_positions"),   # one text, not a list of them
    ("set_start_positions", ([1],), TypeError, "set_start_positions"),
    # rows
    ("save_state", (-1,), IndexError, "row -1 is outside 0 to 2"),
    ("save_state", (ROWS,), IndexError, "row 3 is outside 0 to 2"),
    ("save_state", (2**40,), IndexError, "row 1099511627776 is outside"),
    ("save_state", (None,), TypeError, "save_state"),
    ("restore_state", (0, None), TypeError, "restore_state"),
    ("restore_state", (0, varnok.ChessEnv()), TypeError, "restore_state"),
    ("restore_state", (0, "state"), TypeError, "restore_state"),
    ("restore_state", (ROWS, varnok.State()), IndexError, "row 3 is outside"),
    ("restore_state", (-1, varnok.State()), IndexError, "row -1 is outside"),
    ("restore_state", (0, varnok.State()), ValueError, "the State's game is over .* a row must have a move"),
    ("restore_state", (1, finished_state(MATED)), ValueError, "game is over"),
    ("restore_state", (2, finished_state(STALEMATED)), ValueError, "game is over"),
    ("restore_state", (0, state_pos_9()), ValueError, "state_pos must be 0 to 7"),
    ("reset_row", (ROWS,), IndexError, "row 3 is outside 0 to 2"),
    ("reset_row", (-1,), IndexError, "row -1 is outside"),
    ("reset_row", (None,), TypeError, "reset_row"),
]


@pytest.mark.parametrize("method, args, error, message", METHODS)
def test_refused_calls_leave_the_games_unchanged(method, args, error, message):
    venv, twin = playing(), playing()
    before = snapshot(venv)
    with pytest.raises(error, match=message):
        getattr(venv, method)(*args)
    assert snapshot(venv) == before
    plays_on_like(venv, twin)
    # The start positions, if the refused list had replaced them, would show at the next reset.
    a, b = venv.reset(seed=3), twin.reset(seed=3)
    assert np.array_equal(a.obs, b.obs)


def own_memory(venv):
    """A writeable array over the environment's own observations, as ctypes can make one (takes a step)."""
    view = venv.step(venv.random_actions()).obs
    return np.ctypeslib.as_array(ctypes.cast(view.ctypes.data, ctypes.POINTER(ctypes.c_float)), view.shape)


def read_only(array):
    array.setflags(write=False)
    return array


OBS_OUT = [
    (lambda venv: [[0.0]], TypeError, "obs_out must be a NumPy array, got list"),
    (lambda venv: np.empty((ROWS, 119, 8, 8), np.float64), TypeError, "obs_out must have dtype float32"),
    (lambda venv: np.empty((ROWS + 1, 119, 8, 8), np.float32), ValueError, r"shape \(3, 119, 8, 8\), got \(4,"),
    (lambda venv: np.empty((ROWS, 119, 8, 16), np.float32)[..., ::2], ValueError, "C-contiguous"),
    (lambda venv: read_only(np.empty((ROWS, 119, 8, 8), np.float32)), ValueError, "writeable"),
    (own_memory, ValueError, "must not share memory with the environment"),
]


@pytest.mark.parametrize("make_out, error, message", OBS_OUT)
def test_a_refused_obs_out_leaves_the_games_unchanged(make_out, error, message):
    venv, twin = playing(), playing()
    out = make_out(venv)
    make_out(twin)   # the same steps, if making it took any
    actions = venv.random_actions()
    twin.random_actions()   # draws alike
    before = snapshot(venv)
    with pytest.raises(error, match=message):
        venv.step(actions, obs_out=out)
    assert snapshot(venv) == before
    plays_on_like(venv, twin)


PENDING = [
    ("step", (np.zeros(ROWS, np.int64),)),
    ("step_async", (np.zeros(ROWS, np.int64),)),
    ("reset", ()),
    ("random_actions", ()),
    ("save_state", (0,)),
    ("restore_state", (0, varnok.State())),
    ("set_start_positions", ([],)),
    ("reset_row", (0,)),
]


@pytest.mark.parametrize("method, args", PENDING)
def test_calls_between_step_async_and_step_wait_are_refused(method, args):
    venv, twin = playing(), playing()
    actions = venv.random_actions()
    twin.random_actions()
    venv.step_async(actions)
    twin.step_async(actions)
    with pytest.raises(RuntimeError, match="a step_async is pending: call step_wait first"):
        getattr(venv, method)(*args)
    a, b = venv.step_wait(), twin.step_wait()
    assert np.array_equal(a.obs, b.obs)
    with pytest.raises(RuntimeError, match="step_wait without a step_async"):
        venv.step_wait()
    plays_on_like(venv, twin)


def test_a_refused_step_async_leaves_nothing_pending():
    venv, twin = playing(), playing()
    with pytest.raises(ValueError, match="in row 0"):
        venv.step_async(np.full(ROWS, -1))
    with pytest.raises(RuntimeError, match="without a step_async"):
        venv.step_wait()
    plays_on_like(venv, twin)


@pytest.mark.parametrize("make", [pickle.dumps, copy.copy, copy.deepcopy])
def test_a_vector_env_does_not_pickle_or_copy(make):
    venv, twin = playing(), playing()
    before = snapshot(venv)
    with pytest.raises(TypeError, match="cannot pickle 'varnok._core.VectorEnv' object"):
        make(venv)
    assert snapshot(venv) == before
    plays_on_like(venv, twin)


# ---- roll_outs


def started_state():
    env = varnok.ChessEnv()
    env.reset()
    env.play(564)
    return env.save_state()


ROLL_OUTS = [
    (lambda s: ([s], -1), {}, ValueError, "repeats must be 0 to 2147483647, got -1"),
    (lambda s: ([s], 2**31), {}, ValueError, "repeats must be 0 to 2147483647, got 2147483648"),
    (lambda s: ([s], 2**40), {}, ValueError, "repeats must be 0 to"),   # not a terabyte result array
    (lambda s: ([s], None), {}, TypeError, "roll_outs"),
    (lambda s: ([s], 2), dict(num_threads=0), ValueError, "num_threads must be 1 to 1024"),
    (lambda s: ([s], 2), dict(num_threads=1025), ValueError, "num_threads must be 1 to 1024"),
    (lambda s: ([s], 2), dict(seed=-1), TypeError, "roll_outs"),
    (lambda s: ([s], 2), dict(seed=2**64), TypeError, "roll_outs"),
    (lambda s: (None, 2), {}, TypeError, "roll_outs"),
    (lambda s: ("ab", 2), {}, TypeError, "roll_outs"),
    (lambda s: ([s, 1], 2), {}, TypeError, "roll_outs"),
    (lambda s: ([varnok.ChessEnv()], 2), {}, TypeError, "roll_outs"),
    (lambda s: ([s, state_pos_9()], 2), {}, ValueError, "state 1: state_pos must be 0 to 7"),
]


@pytest.mark.parametrize("arguments, options, error, message", ROLL_OUTS)
def test_roll_outs_refuses(arguments, options, error, message):
    state, twin = started_state(), started_state()
    kept = state.__getstate__()
    with pytest.raises(error, match=message):
        varnok.roll_outs(*arguments(state), **options)
    assert state.__getstate__() == kept
    assert np.array_equal(varnok.roll_outs([state], 6, seed=2), varnok.roll_outs([twin], 6, seed=2))


# ---- unpack

def packed_rows():
    venv = varnok.VectorEnv(2, num_threads=1, seed=5, obs_dtype="packed", copy=True)
    return venv.reset().obs


UNPACK = [
    (lambda p: (p.astype(np.float64),), TypeError, "packed observations must be an integer array .* float64"),
    (lambda p: (np.full((1, 119), np.nan),), TypeError, "integer array"),
    (lambda p: (p.astype(bool),), TypeError, "dtype bool"),
    (lambda p: (p.astype(complex),), TypeError, "dtype complex128"),
    (lambda p: (p.astype(object),), TypeError, "dtype object"),
    (lambda p: (p.tolist(),), TypeError, "unpack"),
    (lambda p: (None,), TypeError, "unpack"),
    (lambda p: ("packed",), TypeError, "unpack"),
    (lambda p: (p[:, :118],), ValueError, "last axis of 119 words"),
    (lambda p: (p.reshape(-1),), ValueError, "last axis of 119 words"),   # 238 words
    (lambda p: (p[0, 0],), TypeError, "unpack"),                          # a scalar
    (lambda p: (np.zeros((2, 0), np.uint64),), ValueError, "last axis"),
    (lambda p: (p, "packed"), ValueError, 'dtype must be "int32", "float32" or "uint8", got "packed"'),
    (lambda p: (p, "float64"), ValueError, "dtype must be"),
    (lambda p: (p, None), TypeError, "unpack"),
    # words that no observation holds: a counter beyond 32 bits, on a counter plane and on a repetition plane
    (lambda p: (with_word(p, 1, 113, 2**40 + 7),), ValueError, "observation 1 .*plane 113: 1099511627783 is no plane"),
    (lambda p: (with_word(p, 0, 13, 2**31),), ValueError, "observation 0 .*plane 13:"),
    (lambda p: (with_word(p, 1, 118, 2**63), "uint8"), ValueError, "plane 118"),
]


def with_word(packed, row, plane, word):
    changed = packed.copy()
    changed[row, plane] = np.uint64(word)
    return changed


@pytest.mark.parametrize("plane, value", [(113, 256), (113, 255), (113, 100_000), (118, 2**31 - 1), (118, -3),
                                          (13, 300), (0, 2**64 - 1)])
def test_unpack_to_uint8_saturates_as_uint8_observations_do(plane, value):
    packed = with_word(packed_rows(), 0, plane, value % 2**64)
    wide = varnok.unpack(packed)
    assert wide[0, plane, 0, 0] == (1 if plane == 0 else value)   # plane 0 is a piece plane: all squares set
    assert np.array_equal(varnok.unpack(packed, "uint8"), np.clip(wide, 0, 255))
    assert np.array_equal(varnok.unpack(packed, "float32"), wide.astype(np.float32))


@pytest.mark.parametrize("arguments, error, message", UNPACK)
def test_unpack_refuses(arguments, error, message):
    packed = packed_rows()
    kept = packed.copy()
    with pytest.raises(error, match=message):
        varnok.unpack(*arguments(packed))
    assert np.array_equal(packed, kept)
    # Still exactly the int32 observation of the same games.
    int32 = varnok.VectorEnv(2, num_threads=1, seed=5, obs_dtype="int32", copy=True).reset().obs
    assert np.array_equal(varnok.unpack(packed), int32)
