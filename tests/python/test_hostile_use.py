"""What a careless or hostile caller can do to the extension's objects, each
run in a child process so that a crash fails the test instead of ending the
run: pickling at every protocol, methods called unbound with None or on
objects whose constructor never ran, relabelled classes, numbers that are not
integers, States whose history cursor does not fit.

Each child runs a list of snippets; a snippet prints what it ended with
("ok ..." or the exception's type and message) as one JSON line, and the
child must exit normally."""

import json
import subprocess
import sys
import textwrap

import pytest

import varnok

RUNNER = textwrap.dedent("""
    import copy, decimal, fractions, json, pickle, shelve, sys, tempfile, os
    import numpy as np
    import varnok
    globals().update({name: getattr(varnok._core, name) for name in dir(varnok._core) if not name.startswith("_")})

    def started():
        env = ChessEnv()
        env.reset()
        return env

    for snippet in json.loads(sys.stdin.read()):
        try:
            value = eval(snippet) if "\\n" not in snippet and "=" not in snippet.split("(")[0] else exec(snippet)
            print(json.dumps(["ok", repr(value)[:200]]), flush=True)
        except Exception as e:
            print(json.dumps([type(e).__name__, str(e)[:300]]), flush=True)
""")


def run_child(snippets, timeout=300):
    """The outcome of each snippet, in order; fails if the child crashed or
    outlived timeout seconds (a hang)."""
    done = subprocess.run([sys.executable, "-c", RUNNER], input=json.dumps(snippets), capture_output=True,
                          text=True, timeout=timeout)
    outcomes = [json.loads(line) for line in done.stdout.splitlines()]
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:], snippets[len(outcomes):][:1])
    assert len(outcomes) == len(snippets)
    return outcomes


def classes():
    return [getattr(varnok._core, name) for name in dir(varnok._core)
            if isinstance(getattr(varnok._core, name), type) and not name.startswith("_")]


def test_every_pickle_protocol_round_trips_both_classes():
    protocols = range(pickle_highest() + 1)
    outcomes = run_child([
        *[f"pickle.loads(pickle.dumps(started(), {p})).fen() == started().fen()" for p in protocols],
        *[f"(lambda e: (e.step(564), pickle.loads(pickle.dumps(e.save_state(), {p})) == e.save_state())[1])"
          f"(started())" for p in protocols],
        "started().__reduce_ex__(1)[0].__name__",
        "(lambda d: (lambda s: (s.__setitem__('e', started()), s.close(), shelve.open(d + '/s', protocol=0)['e']"
        ".fen()))(shelve.open(d + '/s', protocol=0))[2])(tempfile.mkdtemp())",
        "ChessEnv.__base__()",
        "type('Direct', (ChessEnv.__base__,), {})()",
    ])
    n = len(protocols)
    assert outcomes[:2 * n] == [["ok", "True"]] * (2 * n)
    assert outcomes[2 * n] == ["ok", "'__newobj__'"]
    assert outcomes[2 * n + 1] == ["ok", "'rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1'"]
    for outcome in outcomes[2 * n + 2:]:
        assert outcome[0] == "TypeError" and "cannot create" in outcome[1]


def pickle_highest():
    import pickle
    return pickle.HIGHEST_PROTOCOL


# Methods with arguments that would be accepted, so that only `self` is wrong.
ARGUMENTS = {
    "ChessEnv": {"step": "564", "play": "564", "restore_state": "State()", "parse_fen": "'8/8/8/8/8/8/8/4K3 w - -'",
                 "load_fen": "'8/8/8/8/8/8/8/4K3 w - - 0 1'", "action_to_uci": "564", "action_to_san": "564",
                 "uci_to_action": "'e2e4'", "san_to_action": "'e4'", "__deepcopy__": "{}", "__setstate__": "b''"},
    "State": {"__eq__": "State()", "__deepcopy__": "{}", "__setstate__": "b''"},
    "VectorEnv": {"step": "np.zeros(1, np.int64)", "step_async": "np.zeros(1, np.int64)", "save_state": "0",
                  "restore_state": "0, State()", "set_start_positions": "[]",
                  "reset_row": "0"},
    "MCTS": {"set_roots": "[State()]", "expand": "np.ones((1, 4672)), np.zeros(1)", "advance": "[0]",
             "chosen_actions": "0.0"},
    "UCT": {"set_roots": "[State()]", "run": "1"},
    "MaterialSearch": {"reseed": "1", "choose": "[State()]", "think": "State()"},
}


def method_calls(first):
    """Every method of every class, called with `first` as self."""
    calls = []
    for cls in classes():
        for name, member in vars(cls).items():
            if (name in ("__init__", "__new__", "__setstate__") or name.startswith("_pybind11")
                    or not callable(member) or isinstance(member, type)):
                continue
            args = ARGUMENTS.get(cls.__name__, {}).get(name, "")
            calls.append(f"{cls.__name__}.{name}({first}{', ' + args if args else ''})")
    return calls


def property_reads(first):
    return [f"{cls.__name__}.{name}.fget({first})" for cls in classes()
            for name, member in vars(cls).items() if isinstance(member, property)]


def test_methods_called_unbound_with_none_raise_type_error():
    snippets = method_calls("None") + property_reads("None")
    assert len(snippets) > 80
    for snippet, outcome in zip(snippets, run_child(snippets)):
        assert outcome[0] == "TypeError", (snippet, outcome)


def test_objects_whose_constructor_never_ran_are_refused_by_every_method():
    snippets = []
    for cls in classes():
        name = cls.__name__
        bare = f"{name}.__new__({name})"
        snippets += [s for s in method_calls(bare) + property_reads(bare) if s.startswith(name + ".")]
        if "__repr__" in vars(cls):
            snippets.append(f"repr({bare})")
    snippets += ["started().restore_state(State.__new__(State))",
                 "VectorEnv(1).restore_state(0, State.__new__(State))",
                 "varnok.roll_outs([State.__new__(State)], 1)",
                 "MCTS(1).set_roots([State.__new__(State)])"]
    for snippet, outcome in zip(snippets, run_child(snippets)):
        assert outcome[0] == "TypeError" and "never initialised" in outcome[1], (snippet, outcome)


def test_a_subclass_copied_through_its_own_getstate_never_reads_garbage():
    code = textwrap.dedent("""
        class Kept(State):
            def __getstate__(self): return {}
            def __setstate__(self, d): pass
        for _ in range(200):
            c = copy.copy(Kept())
            try:
                assert c == State(), repr(c)
            except TypeError as e:
                assert "never initialised" in str(e)
    """)
    assert run_child([code]) == [["ok", "None"]]


def test_class_relabelling_between_the_extension_s_classes_is_refused():
    outcomes = run_child([
        "(lambda e: setattr(e, '__class__', State))(started())",
        "(lambda s: setattr(s, '__class__', ChessEnv))(State())",
        "(lambda v: setattr(v, '__class__', ChessEnv))(VectorEnv(1))",
        "(lambda A, B: setattr(A(), '__class__', B))(type('A', (ChessEnv,), {}), type('B', (State,), {}))",
        "(lambda A, B: (lambda a: (a.reset(), setattr(a, '__class__', B), type(a).__name__, a.fen()))(A())[2:])"
        "(type('A', (ChessEnv,), {}), type('B', (ChessEnv,), {}))",
    ])
    for outcome in outcomes[:4]:
        assert outcome[0] == "TypeError" and "__class__" in outcome[1], outcome
    assert outcomes[4] == ["ok", "('B', 'rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1')"]


NOT_INTEGERS = ["np.float32(564.7)", "np.float16(564)", "decimal.Decimal('564.9')", "fractions.Fraction(1129, 2)",
                "564.0", "np.float64(564)", "'564'"]


def test_integer_arguments_take_exactly_what_operator_index_takes():
    refused = [f"(lambda e: (e.{call}, e.fen())[1])(started())".replace("X", value)
               for value in NOT_INTEGERS
               for call in ("step(X)", "play(X)", "action_to_uci(X)", "roll_out(X)", "svg(X)")]
    refused += [f"{call}".replace("X", value) for value in NOT_INTEGERS[:4]
                for call in ("VectorEnv(X)", "VectorEnv(1, num_threads=X)", "VectorEnv(1, seed=X)",
                             "VectorEnv(1, max_steps=X)", "VectorEnv(1).save_state(X)", "MCTS(X)",
                             "MCTS(1, node_budget=X)", "MCTS(1).select(X)", "UCT(1, seed=X)", "UCT(1).run(X)",
                             "varnok.roll_outs([State()], X)", "setattr(State(), 'state_pos', X)",
                             "setattr(State(), 'moves', [X])", "setattr(State(), 'repetition_count', {1: X})")]
    accepted = ["started().play(np.int16(564))", "started().step(np.uint64(564))[0]", "started().svg(np.int8(100))[:4]",
                "setattr(State(), 'state_pos', np.int32(3))", "started().action_to_uci(True)"]
    outcomes = run_child(refused + accepted)
    for snippet, outcome in zip(refused, outcomes):
        assert outcome[0] == "TypeError", (snippet, outcome)
    assert outcomes[len(refused):] == [["ok", "(1, 0, 0)"], ["ok", "1"], ["ok", "'<svg'"], ["ok", "None"],
                                       ["ValueError", "action 1 is not legal here"]]


def test_no_integer_parameter_converts_other_numbers():
    # pybind11 writes a converting integer parameter as SupportsInt in the
    # signature; every integer of the extension is taken as operator.index takes it.
    docs = [member.__doc__ or "" for cls in classes() for member in vars(cls).values()]
    docs += [getattr(varnok._core, name).__doc__ or "" for name in dir(varnok._core)]
    docs += [member.fset.__doc__ or "" for cls in classes() for member in vars(cls).values()
             if isinstance(member, property) and member.fset]
    assert not [d.splitlines()[0] for d in docs if "SupportsInt" in d]


def test_restore_refuses_a_cursor_that_does_not_fit_the_history():
    outcomes = run_child([
        "(lambda e, t: (setattr(t, 'state_history', []), setattr(t, 'state_pos', 5), e.restore_state(t)))"
        "(started(), started().save_state())",
        "(lambda e, t: (setattr(t, 'state_history', t.state_history[:2]), setattr(t, 'state_pos', 0), "
        "e.restore_state(t)))(started(), started().save_state())",
        "(lambda e, t: (setattr(t, 'state_history', t.state_history[:1]), setattr(t, 'state_pos', 1), "
        "e.restore_state(t)[0])[-1])(started(), started().save_state())",
    ])
    for outcome in outcomes[:2]:
        assert outcome[0] == "ValueError" and "state_pos must equal the number of state_history entries" in outcome[1]
    assert outcomes[2] == ["ok", "0"]


@pytest.mark.parametrize("entries", [0, 1, 2])
def test_refused_cursor_leaves_the_game_unchanged(started, entries):
    env, _ = started
    env.step(564)
    before = env.save_state()
    bad = env.save_state()
    bad.state_history = bad.state_history[:entries]
    bad.state_pos = (entries + 1) % 8
    with pytest.raises(ValueError, match="state_pos must equal"):
        env.restore_state(bad)
    assert env.save_state() == before
    bad.state_pos = entries
    env.restore_state(bad)
    assert env.observation().shape == (119, 8, 8)
