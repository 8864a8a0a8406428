"""The Python surface of the module: classes, methods, signatures, conversions."""

import copy
import importlib.metadata
import pathlib
import re
import subprocess
import sys
import types

import numpy
import pytest
import varnok

from conftest import START_FEN, env_at, state_dict

METHODS = ["rules", "reset", "get_actions", "render", "parse_fen", "step",
           "save_state", "restore_state", "hash_state", "zobrist_hash", "roll_out"]
# Added after the original methods, in this order, for fast single-game loops.
FAST_METHODS = ["play", "legal_actions", "legal_mask", "observation"]
# Then the notation methods, in this order.
NOTATION_METHODS = ["load_fen", "fen", "action_to_uci", "action_to_san", "uci_to_action", "san_to_action",
                    "legal_moves_uci", "legal_moves_san", "moves_uci", "pgn", "outcome"]
MODULE_NAMES = ["ChessEnv", "MCTS", "MaterialSearch", "PgnGame", "PgnGames", "SearchLeaves", "State", "UCT",
                "VectorEnv", "VectorStep", "chess960_fen", "read_pgn", "replay_pgn", "roll_outs", "unpack"]
# Then the pictures, then Chess960.
PICTURE_METHODS = ["in_check", "svg", "chess960"]
RESULT = "tuple[int, list[list[int]], int, int]"
INT = "int"  # taken as operator.index takes it: no float, Decimal or Fraction
SIGNATURES = {
    "reset": f"reset(self: varnok._core.ChessEnv, *, position: int | None = None) -> {RESULT}",
    "get_actions": "get_actions(self: varnok._core.ChessEnv) -> list[list[int]]",
    "render": "render(self: varnok._core.ChessEnv) -> None",
    "parse_fen": "parse_fen(self: varnok._core.ChessEnv, text: str) -> None",
    "step": f"step(self: varnok._core.ChessEnv, action: {INT}) -> {RESULT}",
    "save_state": "save_state(self: varnok._core.ChessEnv) -> varnok._core.State",
    "restore_state": f"restore_state(self: varnok._core.ChessEnv, state: varnok._core.State) -> {RESULT}",
    "hash_state": "hash_state(self: varnok._core.ChessEnv) -> int",
    "svg": (f"svg(self: varnok._core.ChessEnv, size: {INT} = 400, last_move: bool = True, check: bool = True, "
            "flipped: bool = False) -> str"),
}
STATE_MEMBERS = ["side", "enpassant", "castle", "state_history", "state_pos",
                 "total_move_count", "no_progress_count", "repetition_count",
                 "move_index", "n_repititions", "prev_n_repititions",
                 "bitboards", "occupancies", "moves", "start_fen"]


def test_package_offers_the_names_of_the_extension():
    # Submodules (the adapters, once imported) are attributes too; the names are the rest.
    public = [n for n in dir(varnok) if not n.startswith("_") and not isinstance(getattr(varnok, n), types.ModuleType)]
    assert public == MODULE_NAMES == sorted(varnok.__all__)
    assert all(getattr(varnok, n) is getattr(varnok._core, n) for n in MODULE_NAMES)
    assert varnok._core.__name__ == "varnok._core"
    assert (pathlib.Path(varnok._core.__file__).parent / "py.typed").exists() or (
        pathlib.Path(varnok.__file__).parent / "py.typed").exists()


def test_version_is_the_installed_distribution_s():
    assert varnok.__version__ == importlib.metadata.version("varnok")
    assert varnok.__version__.count(".") >= 2


def test_adapters_are_not_imported_with_the_package():
    code = "import sys, varnok; print(sorted(m for m in sys.modules if m.startswith('varnok')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         timeout=120).stdout
    assert out.strip() == "['varnok', 'varnok._core']"


def test_methods_in_registration_order():
    public = [n for n in vars(varnok.ChessEnv) if not n.startswith("_")]
    assert public == METHODS + FAST_METHODS + NOTATION_METHODS + PICTURE_METHODS


def test_state_members_in_registration_order():
    public = [n for n in vars(varnok.State) if not n.startswith("_")]
    assert public == STATE_MEMBERS


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_docstring_is_the_named_signature_then_the_documentation(name):
    first, *rest = getattr(varnok.ChessEnv, name).__doc__.strip().splitlines()
    assert first == SIGNATURES[name]
    assert len(" ".join(rest).split()) >= 5


def documented_members():
    """(owner, name, object) of every class, function, method and property the extension defines."""
    skip = {"__module__", "__doc__", "__dict__", "__weakref__", "_pybind11_conduit_v1_"}
    for name, obj in vars(varnok._core).items():
        if name.startswith("__"):
            continue
        yield "varnok", name, obj
        if isinstance(obj, type):
            for member, value in vars(obj).items():
                if member not in skip:
                    yield name, member, value if isinstance(value, property) else getattr(obj, member)


def test_every_class_method_and_property_is_documented_with_named_parameters():
    members = list(documented_members())
    assert len(members) > 100
    undocumented, unnamed = [], []
    for owner, name, obj in members:
        text = (obj.__doc__ or "").strip().splitlines()
        # pybind11 puts the rendered signature(s) first; the documentation follows.
        prose = [line for line in text if not re.match(r"^(\d+\. )?[\w.]+\(.*\) -> |^Overloaded function\.$", line)]
        if not " ".join(prose).strip():
            undocumented.append(f"{owner}.{name}")
        if re.search(r"\barg\d+\b", obj.__doc__ or ""):
            unnamed.append(f"{owner}.{name}")
    assert undocumented == [] and unnamed == []


@pytest.mark.parametrize("make", [varnok.ChessEnv, varnok.State])
def test_instances_refuse_new_attributes(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1


def test_arguments_can_be_named_or_positional(started):
    env, _ = started
    by_name = copy.deepcopy(env)
    assert env.step(564) == by_name.step(action=564)
    assert env.restore_state(by_name.save_state()) == by_name.restore_state(state=env.save_state())
    env.parse_fen("8/8/8/8/8/8/8/4K3 w - - 0 1")
    by_name.parse_fen(text="8/8/8/8/8/8/8/4K3 w - - 0 1")
    assert env.save_state() == by_name.save_state()
    with pytest.raises(TypeError):
        env.step(move=564)


def test_repr_shows_the_position_and_the_rules(started):
    env, _ = started
    assert repr(env) == f"ChessEnv(fen='{START_FEN}', rules='classic')"
    env = varnok.ChessEnv(rules="fide")
    env.load_fen("4k3/8/8/8/8/8/4P3/4K3 b - - 7 30")
    assert repr(env) == "ChessEnv(fen='4k3/8/8/8/8/8/4P3/4K3 b - - 7 30', rules='fide')"


def test_methods_refuse_a_foreign_self():
    with pytest.raises(TypeError):
        varnok.ChessEnv.reset(varnok.State())
    with pytest.raises(TypeError):
        varnok.ChessEnv.step(varnok.State(), 564)


def test_numpy_is_not_imported_with_the_module():
    code = ("import sys, varnok\n"
            "assert 'numpy' not in sys.modules\n"
            "e = varnok.ChessEnv(); e.reset(); s = e.save_state()\n"
            "assert 'numpy' not in sys.modules\n"
            "s.bitboards\n"
            "assert 'numpy' in sys.modules\n")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


@pytest.mark.parametrize("value", [numpy.int64(564), numpy.uint16(564)])
def test_step_accepts_index_objects(started, value):
    env, _ = started
    side, _, reward, done = env.step(value)
    assert (side, reward, done) == (1, 0, 0)
    assert env.save_state().total_move_count == 1


@pytest.mark.parametrize("value", [564.0, numpy.float64(564.0), "564", None,
                                   2**31, -2**31 - 1, 2**64, -2**64])
def test_step_refuses_values_that_are_not_32_bit_integers(started, value):
    env, _ = started
    before = env.save_state()
    with pytest.raises(TypeError):
        env.step(value)
    assert state_dict(env.save_state()) == state_dict(before)


# Each seeded call, as one seeded result: a seed drawn with NumPy is taken as the int it is.
SEEDED = {
    "ChessEnv": lambda seed: varnok.ChessEnv(chess960=True, seed=seed).reset()[1],
    "ChessEnv.roll_out": lambda seed: _rolled(seed),
    "VectorEnv": lambda seed: varnok.VectorEnv(2, seed=seed, chess960=True).reset().obs.tolist(),
    "VectorEnv.reset": lambda seed: varnok.VectorEnv(2, chess960=True).reset(seed=seed).obs.tolist(),
    "roll_outs": lambda seed: varnok.roll_outs([_queens_against_a_king()], 32, seed=seed).tolist(),
    "MaterialSearch": lambda seed: varnok.MaterialSearch(1, seed=seed).draws,
    "MaterialSearch.reseed": lambda seed: _reseeded(seed),
    "MCTS": lambda seed: varnok.MCTS(1, seed=seed, dirichlet_fraction=0.25).draws,
    "UCT": lambda seed: varnok.UCT(1, seed=seed).draws,
}


def _queens_against_a_king():
    """A State whose random games end in mates and draws alike."""
    return env_at("7k/8/8/8/8/8/8/1QQ1K3 w - - 0 1").save_state()


def _rolled(seed):
    env = varnok.ChessEnv()
    env.reset()
    return env.roll_out(seed=seed), env.fen()


def _reseeded(seed):
    search = varnok.MaterialSearch(1)
    search.reseed(seed)
    return search.draws


@pytest.mark.parametrize("call", SEEDED.values(), ids=SEEDED.keys())
def test_seeds_take_numpy_integers_and_refuse_floats(call):
    assert call(numpy.int64(7)) == call(numpy.uint32(7)) == call(7) != call(8)
    for refused in (7.0, numpy.float64(7), numpy.int64(-1), "7"):
        with pytest.raises(TypeError):
            call(refused)


@pytest.mark.parametrize("value", [2**31 - 1, -2**31, 4672, 0])
def test_step_with_in_range_illegal_integer_is_value_error(started, value):
    env, _ = started
    with pytest.raises(ValueError, match="^Invalid action$"):
        env.step(value)


@pytest.mark.parametrize("value", [5, 1.5, None, ["a"]])
def test_parse_fen_refuses_non_text(env, value):
    with pytest.raises(TypeError):
        env.parse_fen(value)


def test_results_are_fresh_objects(started):
    env, (side, obs, reward, done) = started
    assert isinstance(side, int) and isinstance(reward, int) and isinstance(done, int)
    assert type(obs) is list and all(type(p) is list for p in obs)
    assert all(type(v) is int for p in obs for v in p)
    first = env.get_actions()
    second = env.get_actions()
    assert first == second and first is not second and first[7] is not second[7]
    first[7][48] = 99
    assert env.get_actions()[7][48] == 1
    a = env.save_state()
    b = env.save_state()
    assert a is not b
    _, obs2, _, _ = env.restore_state(a)
    obs2[0][48] = 5
    assert env.restore_state(a)[1][0][48] == 1


def test_hash_is_unsigned_64_bit_int(started):
    env, _ = started
    h = env.hash_state()
    assert type(h) is int and 0 <= h < 2**64
    # After 1. e4 the hash has its top bit set.
    env.step(564)
    assert env.hash_state() >= 2**63


def test_render_parse_fen_and_roll_out_results(env, capfd):
    assert env.parse_fen(START_FEN) is None
    assert env.render() is None
    assert type(env.roll_out()) is int
