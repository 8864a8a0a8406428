"""Objects used from several threads at once.

VectorEnv, MCTS and UCT serve one caller at a time: a call that overlaps
another raises RuntimeError and changes nothing. The overlap is forced, not
hoped for: set_roots reads its roots through Python (a VectorEnv-like object's
save_state), so a fake roots object calls the search from another thread
while set_roots holds it. A ChessEnv never releases the interpreter lock, so
threads hammering one ChessEnv interleave between whole calls: nothing
crashes and the game stays one the moves log replays.
"""

import pickle
import sys
import threading

import numpy as np
import pytest
import varnok


def from_other_thread(call):
    """call() run in a new thread; returns what it raised or returned."""
    out = []

    def run():
        try:
            out.append(call())
        except Exception as e:  # noqa: BLE001  (the test looks at it)
            out.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return out[0]


class RootsCallingBack:
    """Looks like a VectorEnv to set_roots; its save_state first makes every
    listed call on the search from another thread, while set_roots holds it."""

    def __init__(self, calls):
        self.num_envs = 2
        self.calls = calls
        self.outcomes = {}
        env = varnok.ChessEnv()
        env.reset()
        self.state = env.save_state()

    def save_state(self, i):
        if not self.outcomes:
            self.outcomes = {name: from_other_thread(call) for name, call in self.calls.items()}
        return self.state


def test_mcts_refuses_every_method_while_another_thread_holds_it():
    search = varnok.MCTS(2, seed=1, num_threads=1)
    roots = RootsCallingBack({
        "set_roots": lambda: search.set_roots(["8/8/8/8/8/8/8/K6k w - - 0 1"] * 2),
        "select": lambda: search.select(1),
        "expand": lambda: search.expand(np.zeros((0, 4672), np.float32), np.zeros(0, np.float32)),
        "visit_counts": search.visit_counts,
        "root_values": search.root_values,
        "policy": search.policy,
        "choose_actions": search.choose_actions,
        "root_noise": search.root_noise,
        "node_counts": search.node_counts,
        "finished": search.finished,
        "advance": lambda: search.advance(np.zeros(2, np.int64)),
        "round_open": lambda: search.round_open,
    })
    search.set_roots(roots)
    assert roots.outcomes.keys() == roots.calls.keys()
    for name, outcome in roots.outcomes.items():
        assert isinstance(outcome, RuntimeError) and "in use" in str(outcome), name
    # The refused calls changed nothing: the search goes on as a fresh one.
    twin = varnok.MCTS(2, seed=1, num_threads=1)
    env = varnok.ChessEnv()
    env.reset()
    twin.set_roots([env, env])
    for s in (search, twin):
        leaves = s.select(2)
        s.expand(np.ones((len(leaves), 4672), np.float32), np.zeros(len(leaves), np.float32))
    assert np.array_equal(search.visit_counts(), twin.visit_counts())
    assert search.num_trees == 2 and search.num_threads == 1  # fixed at construction: always readable


def test_uct_refuses_every_method_while_another_thread_holds_it():
    search = varnok.UCT(2, seed=1, num_threads=1)
    roots = RootsCallingBack({
        "set_roots": lambda: search.set_roots(["8/8/8/8/8/8/8/K6k w - - 0 1"] * 2),
        "run": lambda: search.run(5),
        "visit_counts": search.visit_counts,
        "root_values": search.root_values,
        "best_actions": search.best_actions,
        "solved": search.solved,
    })
    search.set_roots(roots)
    for name, outcome in roots.outcomes.items():
        assert isinstance(outcome, RuntimeError) and "in use" in str(outcome), name
    twin = varnok.UCT(2, seed=1, num_threads=1)
    env = varnok.ChessEnv()
    env.reset()
    twin.set_roots([env, env])
    assert np.array_equal(search.run(30), twin.run(30))
    assert np.array_equal(search.visit_counts(), twin.visit_counts())


def test_a_long_uct_run_refuses_a_second_thread_until_it_ends():
    search = varnok.UCT(2, seed=3, node_budget=2000, num_threads=1)
    env = varnok.ChessEnv()
    env.reset()
    search.set_roots([env, env])
    refused = threading.Event()
    stop = threading.Event()
    answers = []

    def other():
        # Keeps asking until the main thread's run is under way, then stops it.
        while not stop.is_set():
            try:
                search.best_actions()
            except RuntimeError as e:
                answers.append(str(e))
                refused.set()
                return

    t = threading.Thread(target=other)
    t.start()
    try:
        done = 0
        while not refused.is_set() and done < 200_000:
            done += int(search.run(50).sum())
    finally:
        stop.set()
        t.join()
    assert answers and "in use" in answers[0]
    assert (search.best_actions() >= 0).all()  # free again once the run returned


def test_vector_env_refuses_every_call_while_a_step_is_pending():
    venv = varnok.VectorEnv(3, num_threads=2, seed=4)
    twin = varnok.VectorEnv(3, num_threads=2, seed=4)
    venv.reset()
    twin.reset()
    actions = venv.random_actions()
    assert np.array_equal(actions, twin.random_actions())
    state = venv.save_state(0)
    venv.step_async(actions)
    calls = {
        "reset": venv.reset,
        "step": lambda: venv.step(actions),
        "step_async": lambda: venv.step_async(actions),
        "random_actions": venv.random_actions,
        "set_start_positions": lambda: venv.set_start_positions([]),
        "save_state": lambda: venv.save_state(0),
        "restore_state": lambda: venv.restore_state(0, state),
        "reset_row": lambda: venv.reset_row(0),
    }
    for name, call in calls.items():
        outcome = from_other_thread(call)
        assert isinstance(outcome, RuntimeError), name
    # Only one step_wait finishes a step: another one after it is refused.
    r = venv.step_wait()
    assert isinstance(from_other_thread(venv.step_wait), RuntimeError)
    expected = twin.step(actions)
    assert np.array_equal(r.obs, expected.obs) and np.array_equal(r.legal_mask, expected.legal_mask)
    assert venv.save_state(1) == twin.save_state(1)


def replayed(env):
    """A fresh ChessEnv that replays env's episode from its start."""
    state = env.save_state()
    fresh = varnok.ChessEnv()
    fresh.load_fen(state.start_fen)
    for uci in env.moves_uci():
        fresh.play(fresh.uci_to_action(uci))
    return fresh


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_hammering_one_chess_env_leave_a_consistent_game(fast_switching):
    env = varnok.ChessEnv()
    env.reset()
    errors = []
    rounds = 300

    def worker(seed):
        rng = np.random.default_rng(seed)
        try:
            for i in range(rounds):
                kind = i % 8
                try:
                    if kind == 0:
                        env.reset()
                    elif kind == 1:
                        legal = env.legal_actions()
                        if len(legal):
                            env.step(int(rng.choice(legal)))
                    elif kind == 2:
                        env.restore_state(env.save_state())
                    elif kind == 3:
                        env.roll_out(seed=int(rng.integers(1 << 31)))
                    elif kind == 4:
                        moves = env.legal_moves_san()
                        if moves:
                            env.play(env.san_to_action(moves[int(rng.integers(len(moves)))]))
                    elif kind == 5:
                        assert env.pgn().startswith("[Event")
                        env.fen()
                        env.moves_uci()
                    elif kind == 6:
                        env.load_fen(pickle.loads(pickle.dumps(env)).fen())
                    else:
                        env.observation("packed")
                        env.svg(size=64)
                except ValueError:
                    pass  # a move listed before another thread changed the game
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    twin = replayed(env)
    assert twin.fen() == env.fen() and twin.hash_state() == env.hash_state()
    assert np.array_equal(twin.legal_actions(), env.legal_actions())
    assert pickle.loads(pickle.dumps(env)).save_state() == env.save_state()
