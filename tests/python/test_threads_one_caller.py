"""One native object shared by several Python threads.

Every call that works with the interpreter lock released must either run
alone on the object or raise RuntimeError at once; and nothing a call reads
while unlocked may belong to Python objects that another thread can change
or free meanwhile. tools/sanitize.sh and tools/tsan.sh run these under
AddressSanitizer and ThreadSanitizer, where an overlap that the plain
assertions miss is reported as well.
"""

import copy
import threading
import time

import numpy as np
import pytest
import varnok

from conftest import legal_actions

ROUNDS = 20


def run_together(*targets):
    """Runs each target on its own thread, started together; re-raises the first failure."""
    barrier = threading.Barrier(len(targets))
    failures = []

    def wrap(target):
        barrier.wait()
        try:
            target()
        except BaseException as e:  # noqa: BLE001 (handed to the main thread)
            failures.append(e)

    threads = [threading.Thread(target=wrap, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


def start_state():
    env = varnok.ChessEnv()
    env.reset()
    return env.save_state()


def test_a_pending_step_is_waited_for_by_exactly_one_thread():
    env = varnok.VectorEnv(64, num_threads=2, seed=1, copy=True)
    twin = varnok.VectorEnv(64, num_threads=2, seed=1, copy=True)
    env.reset()
    twin.reset()
    for _ in range(ROUNDS):
        actions = env.random_actions()
        twin.random_actions()
        env.step_async(actions)
        got, refused = [], []

        def wait():
            try:
                got.append(env.step_wait())
            except RuntimeError as e:
                refused.append(str(e))

        run_together(wait, wait)
        assert len(got) == 1 and len(refused) == 1, refused
        assert "step_wait" in refused[0] or "in use" in refused[0]
        assert np.array_equal(got[0].obs, twin.step(actions).obs)
    # The environment is free again: a plain step runs.
    env.step(env.random_actions())


def test_calls_during_a_pending_step_are_refused_from_any_thread():
    env = varnok.VectorEnv(64, num_threads=2, seed=2)
    env.reset()
    for _ in range(ROUNDS):
        env.step_async(env.random_actions())
        refused = []

        def meddle():
            for call in (lambda: env.step(np.zeros(64, np.int64)), env.random_actions, lambda: env.save_state(0),
                         env.reset):
                with pytest.raises(RuntimeError) as e:
                    call()
                refused.append(str(e.value))

        # The meddling thread runs while the step is surely pending; waiting
        # at the same time could let the step finish between its calls, and
        # then a later call would rightly run.
        run_together(meddle)
        env.step_wait()
        assert len(refused) == 4 and all("in use" in m or "pending" in m for m in refused), refused


def test_uct_runs_one_caller_at_a_time():
    search = varnok.UCT(4, seed=3, num_threads=2, node_budget=2000)
    search.set_roots([start_state()] * 4)
    ran, refused = [], []
    runners_done = threading.Barrier(3)

    def run():
        try:
            mine = 0
            for _ in range(10_000):  # until it has run a few times
                try:
                    ran.append(search.run(40))
                    mine += 1
                except RuntimeError as e:
                    refused.append(str(e))
                    time.sleep(0.001)
                if mine == 3:
                    break
        finally:
            runners_done.wait()

    def meddle():
        while runners_done.n_waiting < 2:
            for call in (search.visit_counts, search.best_actions, lambda: search.set_roots([start_state()] * 4)):
                try:
                    call()
                except RuntimeError as e:
                    refused.append(str(e))
            time.sleep(0.001)  # leave the search free for a moment, so the runners are not starved
        runners_done.wait()

    run_together(run, run, meddle)
    assert len(ran) == 6 and all("in use" in m for m in refused), refused[:3]
    # No two runs shared a tree: each one ran its full count in every tree.
    assert all(np.array_equal(done, np.full(4, 40)) for done in ran)


def test_material_search_serves_one_caller_at_a_time():
    # A choice is worked out in the search's own buffers: two callers at once mixed their games.
    roots = ["r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4",   # Qxf7 mates
             "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"]
    expected = {fen: varnok.MaterialSearch(3).choose([fen] * 4)[1].tolist() for fen in roots}
    search = varnok.MaterialSearch(3)
    right, refused = [], []

    def choose(fen):
        for _ in range(ROUNDS):
            try:
                right.append(search.choose([fen] * 4)[1].tolist() == expected[fen])
            except RuntimeError as e:
                refused.append(str(e))

    run_together(*(lambda fen=fen: choose(fen) for fen in roots))
    assert right and all(right) and all("in use by another thread" in m for m in refused), refused[:3]


def test_mcts_round_state_reads_while_another_thread_selects():
    search = varnok.MCTS(8, seed=4, num_threads=2, copy=True)
    search.set_roots([start_state()] * 8)
    seen = []
    stop = threading.Event()

    def rounds():
        try:
            for _ in range(ROUNDS):
                leaves = search.select(4)
                n = len(leaves)
                search.expand(np.zeros((n, 4672), np.float32), np.zeros(n, np.float32), logits=True)
        finally:
            stop.set()

    def watch():
        # round_open is state of the round: refused while a call runs, never torn.
        while not stop.is_set():
            try:
                seen.append(search.round_open)
            except RuntimeError as e:
                assert "in use by another thread" in str(e)
                seen.append(None)
            assert search.num_trees == 8 and search.num_threads == 2

    run_together(rounds, watch)
    assert seen and not search.round_open
    assert search.visit_counts().sum() > 0


@pytest.mark.in_child(timeout=120)
def test_expand_takes_the_values_it_checked_while_another_thread_writes_them():
    # expand reads the caller's arrays with the lock released: a value read
    # again after its check let a NaN written meanwhile into the trees.
    trees, leaves = 64, 4
    search = varnok.MCTS(trees, seed=5, num_threads=2)
    search.set_roots([start_state()] * trees)
    priors = np.ones((trees * leaves, 4672), np.float32)
    values = np.zeros(trees * leaves, np.float32)
    stop = threading.Event()

    def rounds():
        try:
            for _ in range(ROUNDS * 2):
                n = len(search.select(leaves))
                while True:
                    try:
                        search.expand(priors[:n], values[:n])
                        break
                    except ValueError as e:
                        assert "the value is not finite" in str(e)
                assert np.isfinite(search.root_values()).all()
        finally:
            stop.set()

    def flip():
        # One value flips: a check passes about every other try, and a value
        # read again after a passed check is NaN about every other time.
        while not stop.is_set():
            values[0] = np.nan
            values[0] = 0

    run_together(rounds, flip)


def test_roll_outs_read_their_states_as_they_were_when_called():
    env = varnok.ChessEnv()
    env.reset()
    start = env.save_state()
    for _ in range(6):
        env.step(legal_actions(env)[0])
    later = env.save_state()
    olds, news = [start] * 4, [later] * 4
    # Row i's games depend only on State i and the seed.
    expected = {id(olds): varnok.roll_outs(olds, 30, seed=5, num_threads=2),
                id(news): varnok.roll_outs(news, 30, seed=5, num_threads=2)}
    states = [copy.copy(s) for s in olds]
    stop = threading.Event()

    def results():
        try:
            for _ in range(ROUNDS // 4):
                got = varnok.roll_outs(states, 30, seed=5, num_threads=2)
                for i, row in enumerate(got):
                    assert any(np.array_equal(row, e[i]) for e in expected.values())
        finally:
            stop.set()

    def churn():
        # The list is the only owner of its States: replacing an item frees
        # the State it held, while the roll-outs may still be playing from it.
        flip = False
        while not stop.is_set():
            flip = not flip
            for i in range(len(states)):
                states[i] = copy.copy((news if flip else olds)[i])

    run_together(results, churn)
