"""Ctrl-C during long native calls: SIGINT stops the call with KeyboardInterrupt
within about a second, and the objects involved stay usable.

The signal is sent from a timer thread to the main thread (where Python runs
signal handlers) while the main thread is inside a call sized to run for many
seconds. The bounds below only limit a wait; they assert no speed.
"""

import copy
import os
import signal
import threading
import time

import numpy as np
import pytest
import varnok

SIGNAL_DELAY = 0.3  # seconds after the call starts
STOP_BOUND = 3.0    # a call must end this soon after the signal (generous: the machine may be loaded)
# Each test that signals its own process runs in a child of its own with a time limit.
in_child = pytest.mark.in_child


def interrupt_during(call, delay=SIGNAL_DELAY):
    """Runs call() in the main thread with SIGINT sent after delay seconds;
    returns the seconds from the signal to the KeyboardInterrupt. Fails when
    the call ends without one (it was too short, or ignored the signal).
    call(arm) with delay=None: call arms the timer itself by calling arm()."""
    main = threading.main_thread().ident
    sent = []

    def fire():
        sent.append(time.monotonic())
        signal.pthread_kill(main, signal.SIGINT)

    timer = threading.Timer(delay or 0.05, fire)
    interrupted = False
    try:
        if delay is None:
            call(timer.start)
        else:
            timer.start()
            call()
    except KeyboardInterrupt:
        interrupted = True
    stopped = time.monotonic()
    try:
        timer.join()
        time.sleep(0.05)  # a signal still pending after a call that ended by itself lands here
    except KeyboardInterrupt:
        pass
    assert interrupted, "the call ended without KeyboardInterrupt"
    return stopped - sent[0]


def started_game(seed=0, plies=10):
    env = varnok.ChessEnv()
    env.reset()
    rng = np.random.default_rng(seed)
    for _ in range(plies):
        env.play(int(rng.choice(env.legal_actions())))
    return env


@in_child
def test_roll_outs_stop_and_a_later_batch_is_the_same_as_before():
    states = [started_game(s).save_state() for s in range(3)]
    before = varnok.roll_outs(states, 40, seed=5, num_threads=2)
    assert interrupt_during(lambda: varnok.roll_outs(states, 10_000_000, seed=1, num_threads=2)) < STOP_BOUND
    assert np.array_equal(varnok.roll_outs(states, 40, seed=5, num_threads=2), before)
    assert all(s == started_game(i).save_state() for i, s in enumerate(states))


def test_roll_outs_cut_into_slices_give_the_results_of_one_batch():
    # The sliced run writes each roll-out from its own numbered generator: a
    # batch equals the same roll-outs taken as smaller batches.
    state = started_game(3).save_state()
    whole = varnok.roll_outs([state] * 4, 300, seed=11, num_threads=2)
    assert np.array_equal(whole[1:3], varnok.roll_outs([state] * 4, 300, seed=11, num_threads=1)[1:3])
    assert set(np.unique(whole)) <= {-1, 0, 1}


@in_child
def test_uct_run_stops_between_whole_simulations_and_goes_on():
    uct = varnok.UCT(4, seed=2, node_budget=5000, num_threads=2)
    uct.set_roots([started_game(s) for s in range(4)])
    assert interrupt_during(lambda: uct.run(10_000_000)) < STOP_BOUND
    visits = uct.visit_counts().sum(axis=1)
    assert (visits > 0).all()
    # The tree is whole: more simulations add exactly that many visits at the root.
    ran = uct.run(25)
    assert np.array_equal(uct.visit_counts().sum(axis=1), visits + ran)
    assert (uct.best_actions() >= 0).all()


@in_child
def test_material_search_of_many_roots_stops_and_chooses_again():
    # The call stops after the root in progress: at depth 5 a root takes at
    # most a few tens of milliseconds, and all 3,000 about 20 s, far past the
    # bound. Reading the roots holds the interpreter (the signal waits for
    # it), so the call has few roots, each searched deep, rather than many
    # shallow ones: under the sanitizers the reading stays short.
    roots = [started_game(s, plies=6).save_state() for s in range(300)] * 10
    search = varnok.MaterialSearch(5, seed=2)
    assert interrupt_during(lambda: search.choose(roots, rules="fide")) < STOP_BOUND
    search.reseed(2)
    first = search.choose(roots[:3], rules="fide")[0]
    assert np.array_equal(first, varnok.MaterialSearch(5, seed=2).choose(roots[:3], rules="fide")[0])


def test_uct_run_in_slices_equals_one_run():
    def grown(parts):
        uct = varnok.UCT(3, seed=9, num_threads=2)
        uct.set_roots([started_game(s, 6) for s in range(3)])
        done = sum(uct.run(p) for p in parts)
        return done, uct.visit_counts(), uct.root_values()

    one, sliced = grown([300]), grown([1, 99, 200])
    assert np.array_equal(one[0], sliced[0])
    assert np.array_equal(one[1], sliced[1])
    assert np.array_equal(one[2], sliced[2])


@in_child
def test_unpack_of_many_rows_stops():
    packed = np.repeat(started_game(5).observation("packed")[None], 20_000, axis=0)
    assert interrupt_during(lambda: varnok.unpack(packed), delay=0.1) < STOP_BOUND
    assert np.array_equal(varnok.unpack(packed[:2])[1], started_game(5).observation("int32"))


BROKEN_GAME = '[Event "broken"]\n\n1. e5 ' + "Nf3 Nc6 " * 40 + "*\n\n"  # 1. e5 is illegal: skipped
GOOD_GAME = '[Event "good"]\n\n1. e4 e5 2. Nf3 Nc6 3. Bb5 a6 *\n\n'


def big_pgn(units=2000):
    """About 60 MB of mostly broken games (skipped, so the output stays small)."""
    return (BROKEN_GAME * 99 + GOOD_GAME) * units


@in_child
def test_replay_and_read_pgn_stop_on_a_big_text():
    text = big_pgn()
    assert interrupt_during(lambda: varnok.replay_pgn(text, obs_dtype="packed")) < STOP_BOUND
    # read_pgn skips the broken games inside one __next__: that loop stops too.
    assert interrupt_during(lambda: next(varnok.read_pgn(BROKEN_GAME * 400_000))) < STOP_BOUND
    assert interrupt_during(lambda: sum(1 for _ in varnok.read_pgn(text))) < STOP_BOUND
    small = GOOD_GAME * 3
    data = varnok.replay_pgn(small)
    assert len(data["action"]) == 18 and list(data["game"][::6]) == [0, 1, 2]
    assert [len(g.actions) for g in varnok.read_pgn(small)] == [6, 6, 6]


@in_child
def test_replay_pgn_from_a_file_stops(tmp_path):
    path = tmp_path / "big.pgn"
    path.write_text(big_pgn())
    assert interrupt_during(lambda: varnok.replay_pgn(path)) < STOP_BOUND
    assert interrupt_during(lambda: varnok.replay_pgn(str(path), obs_dtype="float32")) < STOP_BOUND


# Sources that stream without end and hold no game, each in a FIFO whose
# writer is a thread of the same process (reading must release the
# interpreter lock for it to write): spaces, NULs, and an endless comment,
# tag, ';' line and symbol, which the reader must be able to leave in the
# middle. None: a FIFO that never gets a writer (opening it waits).
ENDLESS = [(b"", b" "), (b"", b"\0"), (b'[Event "a"]\n1. e4 {', b"x"), (b'[Event "', b"x"), (b"1. e4 ;", b" "),
           (b"1. ", b"N"), (b"", b"\r"), None]  # lone CRs: each a blank line, no game

CHILD_HELPERS = f"""
import os, sys, tempfile, threading
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from test_interrupt import interrupt_during, STOP_BOUND

def fifo(prefix=None, fill=b"", then_close=False):
    path = os.path.join(tempfile.mkdtemp(), "games.pgn")
    os.mkfifo(path)
    def write():
        try:
            with open(path, "wb") as f:
                f.write(prefix)
                while not then_close:
                    f.write(fill * 65536)
        except BrokenPipeError:
            pass  # the reader stopped
    if prefix is not None:
        threading.Thread(target=write, daemon=True).start()
    return path
"""


def test_reading_a_source_without_games_stops_and_a_fifo_writer_in_the_same_process_is_served():
    from test_hostile_use import run_child
    calls = []
    for source in ENDLESS:
        made = "fifo()" if source is None else f"fifo({source[0]!r}, {source[1]!r})"
        calls += [f"interrupt_during(lambda: next(varnok.read_pgn({made}))) < STOP_BOUND",
                  f"interrupt_during(lambda: varnok.replay_pgn({made})) < STOP_BOUND"]
    calls += ["interrupt_during(lambda: next(varnok.read_pgn('/dev/zero'))) < STOP_BOUND",
              "interrupt_during(lambda: varnok.replay_pgn('/dev/zero', obs_dtype='float32')) < STOP_BOUND",
              f"[g.uci for g in varnok.read_pgn(fifo({GOOD_GAME * 2!r}.encode(), then_close=True))]",
              f"varnok.replay_pgn(fifo({GOOD_GAME!r}.encode(), then_close=True))['action'].size"]
    outcomes = run_child([CHILD_HELPERS] + calls, timeout=120)
    assert outcomes[0][0] == "ok"
    six = ["e2e4", "e7e5", "g1f3", "b8c6", "f1b5", "a7a6"]
    assert [o for o in outcomes[1:]] == [["ok", "True"]] * (len(calls) - 2) + [["ok", repr([six, six])], ["ok", "6"]]


def random_pgn(games):
    env = varnok.ChessEnv()
    texts = []
    for seed in range(games):
        env.reset()
        env.roll_out(seed=seed)
        texts.append(env.pgn({"Event": f"game {seed}"}))
    return "\n".join(texts)


def shard_rows(folder):
    import varnok.data as vd
    batches = list(vd.read_shards(folder, batch_size=1 << 20))
    return {k: np.concatenate([b[k] for b in batches]) for k in ("obs", "action", "result", "game", "ply")}


@in_child
def test_pgn2shards_stops_and_a_rerun_resumes_to_the_same_shards(tmp_path):
    vd = pytest.importorskip("varnok.data")
    pytest.importorskip("pyarrow")
    source = tmp_path / "games.pgn"
    source.write_text(random_pgn(60) * 4)
    chunk = source.stat().st_size // 16
    out, fresh = tmp_path / "out", tmp_path / "fresh"
    finished = []

    def after_three_shards(arm):
        def on_shard(task, runner):
            finished.append(task["shard"])
            if len(finished) == 3:
                arm()  # the signal lands while the next shards are made

        vd.pgn2shards(source, out, chunk_bytes=chunk, engine="local", progress=False, on_shard=on_shard)

    assert interrupt_during(after_three_shards, delay=None) < STOP_BOUND
    resumed = vd.pgn2shards(source, out, chunk_bytes=chunk, engine="local", progress=False)
    whole = vd.pgn2shards(source, fresh, chunk_bytes=chunk, engine="local", progress=False)
    assert resumed["shards_skipped"] > 0 and resumed["shards_made"] > 0
    assert resumed["shards_skipped"] + resumed["shards_made"] == whole["shards_made"]
    assert sorted(p.name for p in out.iterdir()) == sorted(p.name for p in fresh.iterdir())
    got, expected = shard_rows(out), shard_rows(fresh)
    assert all(np.array_equal(got[k], expected[k]) for k in expected)
    assert len(got["action"]) == whole["positions"]


@in_child
def test_signal_handlers_run_inside_a_long_call_and_meet_the_guard():
    # A handler runs between two slices of UCT.run, in the middle of the call:
    # the search is held, so using it from the handler is refused, and the
    # run goes on when the handler returns normally.
    uct = varnok.UCT(2, seed=4, node_budget=2000, num_threads=1)
    uct.set_roots([started_game(1), started_game(2)])
    seen, raised = [], []

    def handler(signum, frame):
        # Raises once: a signal still in flight after the run has ended
        # (before the poker has stopped) must find nothing to do.
        if raised:
            return
        try:
            uct.visit_counts()
            seen.append("ran")
        except RuntimeError as e:
            seen.append(str(e))
        if len(seen) >= 3:
            raised.append(True)
            raise KeyboardInterrupt

    old = signal.signal(signal.SIGUSR1, handler)
    try:
        main = threading.main_thread().ident
        stop = threading.Event()

        def poke():
            while not stop.wait(0.05):
                signal.pthread_kill(main, signal.SIGUSR1)

        poker = threading.Thread(target=poke)
        poker.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                uct.run(10_000_000)
        finally:
            stop.set()
            poker.join()
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert len(seen) >= 3 and all("in use" in s for s in seen)
    before = uct.visit_counts().sum()
    assert uct.run(3).tolist() == [3, 3] and uct.visit_counts().sum() == before + 6


class HandedOver:
    """A sequence that says when the binding has taken its last item."""

    def __init__(self, items):
        self.items, self.taken = items, threading.Event()

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items
        self.taken.set()


def test_roll_outs_play_the_states_as_they_were_when_the_call_began():
    # Another thread changes the caller's States while the batch runs with the
    # lock released: the batch plays copies taken when it began.
    states = [started_game(s, 8).save_state() for s in range(6)]
    expected = varnok.roll_outs([copy.deepcopy(s) for s in states], 400, seed=3, num_threads=2)
    handed = HandedOver(states)
    done = threading.Event()
    changes = []

    def meddle():
        handed.taken.wait()
        empty = varnok.State()
        while not done.is_set():
            for s in states:
                s.moves = []
                s.state_history = empty.state_history
                s.repetition_count = {}
            changes.append(1)

    t = threading.Thread(target=meddle)
    t.start()
    try:
        got = varnok.roll_outs(handed, 400, seed=3, num_threads=2)
    finally:
        handed.taken.set()
        done.set()
        t.join()
    assert changes, "the States were never changed during the call"
    assert np.array_equal(got, expected)
