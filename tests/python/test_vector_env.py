"""VectorEnv: many games stepped together into NumPy arrays.

Every game must be exactly the single-game episode: the main test plays the
same actions through a VectorEnv (in every observation format) and through
separate ChessEnvs and compares them ply by ply over hundreds of whole games.
"""

import threading

import numpy as np
import pytest
import varnok

DTYPES = ("float32", "int32", "uint8", "packed")
pytestmark = pytest.mark.threads

REASON = {"checkmate": 1, "stalemate": 2, "repetition": 3, "no_progress": 4, "truncated": 16}


def reference_reason(env, reward, done, plies, max_steps):
    """Why a single-game episode ended, judged from the outside."""
    if not done:
        return REASON["truncated"] if max_steps and plies >= max_steps else 0
    if reward != 0:
        return REASON["checkmate"]
    if not env.legal_actions().size:
        return REASON["stalemate"]
    state = env.save_state()
    return REASON["repetition"] if state.n_repititions == 2 else REASON["no_progress"]


def as_int_obs(obs_lists):
    return np.asarray(obs_lists, dtype=np.int32).reshape(119, 8, 8)


def observation_in(dtype, obs):
    """The int32 reading of one row of a VectorEnv observation array."""
    if dtype == "packed":
        return varnok.unpack(obs)
    return obs.astype(np.int32)


def test_agrees_with_single_games_over_whole_games():
    # The single games run through play() and observation(), which
    # test_single_game_fast_calls_match_step holds to step's own results.
    num_envs, max_steps = 16, 250
    vectors = {d: varnok.VectorEnv(num_envs, num_threads=2, seed=7, obs_dtype=d, max_steps=max_steps)
               for d in DTYPES}
    refs = [varnok.ChessEnv() for _ in range(num_envs)]
    for ref in refs:
        ref.reset()
    plies = [0] * num_envs
    results = {d: v.reset() for d, v in vectors.items()}
    rng = np.random.default_rng(3)
    games_ended, reasons_seen = 0, set()
    while games_ended < 300:
        mask = results["int32"].legal_mask
        for i, ref in enumerate(refs):
            expected = ref.observation("int32")
            for d, r in results.items():
                got = observation_in(d, r.obs[i])
                assert np.array_equal(got, np.minimum(expected, 255) if d == "uint8" else expected), (d, i)
            assert np.array_equal(mask[i], ref.legal_mask()), i
        actions = np.array([rng.choice(np.flatnonzero(m)) for m in mask])
        results = {d: v.step(actions) for d, v in vectors.items()}
        for i, ref in enumerate(refs):
            side, reward, done = ref.play(int(actions[i]))
            plies[i] += 1
            reason = reference_reason(ref, reward, done, plies[i], max_steps)
            for d, r in results.items():
                assert r.reward[i] == reward and r.terminated[i] == bool(done), (d, i)
                assert r.truncated[i] == (reason == REASON["truncated"]), (d, i)
                assert r.final_reason[i] == reason, (d, i)
            if reason:
                games_ended += 1
                reasons_seen.add(reason)
                expected = ref.observation("int32")
                for d, r in results.items():
                    assert np.array_equal(observation_in(d, r.final_obs[i]),
                                          np.minimum(expected, 255) if d == "uint8" else expected), (d, i)
                    assert r.final_reward[i] == reward
                ref.reset()
                plies[i] = 0
            assert results["int32"].to_play[i] == (side if not reason else 0)
    # Random games from the initial position reach every kind of end.
    assert reasons_seen >= {REASON["checkmate"], REASON["repetition"], REASON["no_progress"], REASON["truncated"]}
    for i, ref in enumerate(refs):  # the whole game, not only what the arrays show
        assert np.array_equal(vectors["packed"].save_state(i).bitboards, ref.save_state().bitboards)
        assert vectors["packed"].save_state(i).repetition_count == ref.save_state().repetition_count


def test_large_batches_streamed_whole_agree_with_rows_written_over():
    # A batch too large for the caches (48 float32 rows on one thread) is
    # streamed whole; a smaller one (48 int32 rows on two threads) is written
    # over what its rows held. The same seed plays the same games in both.
    streamed = varnok.VectorEnv(48, num_threads=1, seed=9, obs_dtype="float32", max_steps=120)
    written_over = varnok.VectorEnv(48, num_threads=2, seed=9, obs_dtype="int32", max_steps=120)
    a, b = streamed.reset(), written_over.reset()
    ended = 0
    for _ in range(300):
        assert np.array_equal(a.obs.astype(np.int32), b.obs)
        actions = streamed.random_actions()
        assert np.array_equal(actions, written_over.random_actions())
        a, b = streamed.step(actions), written_over.step(actions)
        done = a.terminated | a.truncated
        assert np.array_equal(done, b.terminated | b.truncated)
        assert np.array_equal(a.final_obs[done].astype(np.int32), b.final_obs[done])
        ended += int(done.sum())
    assert ended > 48


@pytest.mark.parametrize("obs_dtype, threads", [("float32", 2), ("packed", 1), ("uint8", 2)])
def test_obs_out_receives_the_observations_the_views_show(obs_dtype, threads):
    # Rows that move, rows that sit a step out and rows whose games end and
    # start again, on one thread and on two.
    env = varnok.VectorEnv(12, num_threads=threads, seed=4, obs_dtype=obs_dtype, max_steps=30)
    twin = varnok.VectorEnv(12, num_threads=threads, seed=4, obs_dtype=obs_dtype, max_steps=30)
    shape = env.reset().obs
    twin.reset()
    rng = np.random.default_rng(0)
    kept, ended = [], 0
    for _ in range(80):
        actions, active = env.random_actions(), rng.random(12) < 0.7
        out = np.empty_like(shape)
        r, t = env.step(actions, active=active, obs_out=out), twin.step(actions, active=active)
        assert r.obs is out and np.array_equal(out, t.obs)
        assert np.array_equal(r.final_obs, t.final_obs) and np.array_equal(r.legal_mask, t.legal_mask)
        kept.append((out, t.obs.copy()))
        ended += int(t.truncated.sum())
    assert ended > 0 and all(np.array_equal(mine, seen) for mine, seen in kept)   # each step's array stays


def test_stalemate_and_mate_from_start_positions():
    env = varnok.VectorEnv(2, num_threads=1, seed=1)
    env.set_start_positions(["k7/8/8/1Q6/8/8/8/7K w - - 0 1"])
    env.reset()
    r = env.step(np.array([473, 473]))  # Qb5-b6 leaves the black king no move
    assert r.terminated.all() and (r.final_reason == REASON["stalemate"]).all() and (r.reward == 0).all()
    env.set_start_positions(["6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"])
    env.reset()
    r = env.step(np.array([888, 888]))  # Ra1-a8 mates
    assert (r.final_reason == REASON["checkmate"]).all() and (r.reward == 1).all()


def test_finished_games_are_refused_as_starts_and_restored_states():
    # A row always holds a game that goes on: one with no move could never step.
    env = varnok.VectorEnv(2, num_threads=1, seed=1)
    with pytest.raises(ValueError, match="start position 1 .* finished"):
        env.set_start_positions(["k7/8/8/1Q6/8/8/8/7K w - - 0 1", "k7/8/1Q6/8/8/8/8/7K b - - 0 1"])
    assert env.reset().legal_mask.any(axis=1).all()  # still the initial position
    single = varnok.ChessEnv()
    single.parse_fen("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1")
    assert single.step(888)[3]  # Ra1-a8 mates
    before = env.save_state(0)
    with pytest.raises(ValueError, match="game is over"):
        env.restore_state(0, single.save_state())
    assert np.array_equal(env.save_state(0).bitboards, before.bitboards)


def test_the_same_seed_gives_the_same_games_for_any_thread_count():
    def play(threads):
        env = varnok.VectorEnv(16, num_threads=threads, seed=11, obs_dtype="packed", max_steps=60, copy=True)
        out = [env.reset().obs]
        for _ in range(150):
            r = env.step(env.random_actions())
            out += [r.obs, r.reward, r.final_reason]
        return out

    one = play(1)
    for threads in (2, 4):
        assert all(np.array_equal(a, b) for a, b in zip(one, play(threads)))
    other_seed = varnok.VectorEnv(16, num_threads=1, seed=12, obs_dtype="packed")
    other_seed.reset()
    assert not np.array_equal(other_seed.step(other_seed.random_actions()).obs, one[1])


def test_reset_with_a_seed_repeats_the_draws():
    env = varnok.VectorEnv(8, num_threads=2, seed=1)
    first = [env.reset(seed=5).obs.copy()] + [env.step(env.random_actions()).obs.copy() for _ in range(20)]
    second = [env.reset(seed=5).obs.copy()] + [env.step(env.random_actions()).obs.copy() for _ in range(20)]
    assert all(np.array_equal(a, b) for a, b in zip(first, second))


def test_views_are_overwritten_and_copies_are_not():
    env = varnok.VectorEnv(2, num_threads=1, seed=2)
    view = env.reset().obs
    before = view.copy()
    # Each step writes only what changed over what a row held: a view that
    # could be written to would corrupt the next observations.
    assert not view.flags.writeable
    with pytest.raises(ValueError):
        view.setflags(write=True)
    env.step(env.random_actions())
    assert not np.array_equal(view, before)  # the next step wrote into it
    copying = varnok.VectorEnv(2, num_threads=1, seed=2, copy=True)
    kept = copying.reset().obs
    copying.step(copying.random_actions())
    assert np.array_equal(kept, before)


def test_views_outlive_the_env_and_free_it_with_them():
    """A view keeps the games' buffers alive after the VectorEnv is gone,
    and the last view gone frees them: no reference cycle holds them."""
    import gc
    import weakref

    class Tracked(varnok.VectorEnv):
        pass

    env = Tracked(3, num_threads=2, seed=4)
    view = env.step(env.random_actions()).obs
    expected = view.copy()
    gone = weakref.ref(env)
    del env
    gc.collect()
    assert gone() is None
    assert np.array_equal(view, expected)
    # Many envs made and dropped while their views live on, then dropped too.
    views = [varnok.VectorEnv(2, num_threads=2, seed=i).reset().legal_mask for i in range(50)]
    assert all(v.sum() == 2 * 20 for v in views)


def test_start_positions_are_drawn_from_the_list():
    fens = ["k7/8/8/1Q6/8/8/8/7K w - - 0 1", "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "4k3/8/8/8/8/8/8/4K3 b - - 7 1"]
    boards = []
    for fen in fens:
        probe = varnok.ChessEnv()
        probe.parse_fen(fen)
        boards.append(probe.save_state().bitboards.tolist())
    env = varnok.VectorEnv(6, num_threads=2, seed=3, max_steps=4)
    env.set_start_positions(fens)
    seen = set()
    for _ in range(5):
        env.reset()
        for row in range(6):
            state = env.save_state(row)
            assert state.bitboards.tolist() in boards
            assert len(state.state_history) == 1 and state.total_move_count == 0
            seen.add(boards.index(state.bitboards.tolist()))
    assert seen == {0, 1, 2}
    # The no-progress clock of the FEN is kept; the game runs from there.
    r = env.step(env.random_actions())
    for _ in range(8):  # auto-resets keep drawing from the list
        r = env.step(env.random_actions())
        for row in range(6):
            assert env.save_state(row).bitboards.tolist() in boards or not r.final_reason[row]


def test_save_and_restore_move_games_between_vector_and_single():
    env = varnok.VectorEnv(3, num_threads=2, seed=4)
    env.reset()
    for _ in range(9):
        env.step(env.random_actions())
    single = varnok.ChessEnv()
    single.restore_state(env.save_state(1))
    assert np.array_equal(env.save_state(1).bitboards, single.save_state().bitboards)
    # A single game's State taken into a row: that row continues it exactly.
    single.reset()
    for action in (564, 524, 1147):  # e4 e5 Qh5
        single.step(action)
    saved = single.save_state()
    env.restore_state(2, saved)
    assert env.save_state(2).move_index == saved.move_index
    state = env.save_state(2)
    for field in ("state_history", "state_pos", "total_move_count", "no_progress_count", "repetition_count",
                  "n_repititions", "prev_n_repititions"):
        assert getattr(state, field) == getattr(saved, field), field
    actions = env.random_actions()
    r = env.step(actions)
    expected = single.step(int(actions[2]))
    assert np.array_equal(r.obs[2].astype(np.int32), as_int_obs(expected[1]))
    # The row's mask held another game's listing before the restore; a step
    # clears only what the row is known to hold.
    for _ in range(6):
        assert np.array_equal(r.legal_mask[2], single.legal_mask())
        action = int(np.flatnonzero(single.legal_mask())[0])
        others = env.random_actions()
        others[2] = action
        r = env.step(others)
        single.play(action)
    # After a step the saved action map is the listing before the move, as in a ChessEnv.
    assert env.save_state(2).move_index == single.save_state().move_index


def test_bad_input_is_refused_and_nothing_moves():
    env = varnok.VectorEnv(3, num_threads=2, seed=5)
    env.reset()
    before = [env.save_state(i).bitboards.tolist() for i in range(3)]
    legal = env.random_actions()
    with pytest.raises(TypeError, match="integers"):
        env.step(legal.astype(np.float64))
    with pytest.raises(ValueError, match="shape"):
        env.step(legal[:2])
    with pytest.raises(ValueError, match="shape"):
        env.step(legal.reshape(3, 1))
    bad = legal.copy()
    bad[2] = 0  # a8 north: never legal at the start
    with pytest.raises(ValueError, match="action 0 in row 2"):
        env.step(bad)
    bad[2] = 99999
    with pytest.raises(ValueError, match="row 2"):
        env.step(bad)
    assert [env.save_state(i).bitboards.tolist() for i in range(3)] == before
    env.step(legal)  # still usable
    for kwargs in ({"num_envs": 0}, {"num_envs": 2, "num_threads": 0}, {"num_envs": 2, "obs_dtype": "float16"},
                   {"num_envs": 2, "max_steps": 0}):
        with pytest.raises(ValueError):
            varnok.VectorEnv(**kwargs)
    with pytest.raises(IndexError):
        env.save_state(3)
    damaged = env.save_state(0)
    damaged.state_pos = 9
    with pytest.raises(ValueError):
        env.restore_state(0, damaged)


def test_step_async_and_the_one_caller_rule():
    # The pending step refuses the caller's own thread too, saying what to do;
    # the calls of other threads and the step's result are checked in
    # test_threads.py.
    env = varnok.VectorEnv(8, num_threads=2, seed=6)
    env.reset()
    actions = env.random_actions()
    env.step_async(actions)
    with pytest.raises(RuntimeError, match="step_wait"):
        env.step(actions)
    with pytest.raises(RuntimeError, match="step_wait"):
        env.random_actions()
    env.step_wait()
    # Two threads on one VectorEnv: every call either runs or raises RuntimeError.
    errors, done = [], []

    def hammer():
        for _ in range(300):
            try:
                env.step(env.random_actions())
                done.append(1)
            except RuntimeError as e:
                errors.append(str(e))

    threads = [threading.Thread(target=hammer) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all("in use" in e or "pending" in e for e in errors)
    assert done  # and the environment still works
    env.step(env.random_actions())


def test_single_game_fast_calls_match_step():
    env, twin = varnok.ChessEnv(), varnok.ChessEnv()
    env.reset()
    twin.reset()
    rng = np.random.default_rng(8)
    for _ in range(200):
        legal = env.legal_actions()
        mask = env.legal_mask()
        assert mask.dtype == bool and mask.shape == (4672,)
        assert np.array_equal(np.flatnonzero(mask), legal)
        action = int(rng.choice(legal))
        side, obs, reward, done = twin.step(action)
        assert env.play(action) == (side, reward, done)
        expected = as_int_obs(obs)
        assert np.array_equal(env.observation("int32"), expected)
        assert np.array_equal(env.observation(), expected.astype(np.float32))
        assert np.array_equal(varnok.unpack(env.observation("packed")), expected)
        assert env.hash_state() == twin.hash_state()
        if done:
            break
    with pytest.raises(ValueError, match="^Invalid action$"):
        env.play(0)
    with pytest.raises(ValueError, match="dtype"):
        env.observation("float64")


def test_seeded_roll_outs_repeat():
    env = varnok.ChessEnv()
    env.reset()
    start = env.save_state()
    first = env.roll_out(seed=42)
    env.restore_state(start)
    assert env.roll_out(seed=42) == first
    assert env.save_state().total_move_count > 0


def test_batched_roll_outs():
    env = varnok.ChessEnv()
    env.reset()
    states = [env.save_state()]
    env.parse_fen("6k1/5ppp/8/8/8/8/8/R5K1 b - - 0 1")  # black to move, no mate on the board yet
    states.append(env.save_state())
    env.parse_fen("R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1")  # black is checkmated
    states.append(env.save_state())
    one = varnok.roll_outs(states, 20, seed=9, num_threads=1)
    assert one.dtype == np.int8 and one.shape == (3, 20)
    assert np.array_equal(one, varnok.roll_outs(states, 20, seed=9, num_threads=2))
    assert set(np.unique(one)) <= {-1, 0, 1}
    assert (one[2] == 1).all()  # a finished game only reports its result
    assert varnok.roll_outs([], 5, seed=1).shape == (0, 5)
    bad = env.save_state()
    bad.state_pos = -1
    with pytest.raises(ValueError, match="state 1"):
        varnok.roll_outs([states[0], bad], 2, seed=1)
    with pytest.raises(ValueError):
        varnok.roll_outs(states, -1)


def test_unpack_restores_every_plane_kind():
    env = varnok.VectorEnv(1, num_threads=1, seed=10, obs_dtype="packed")
    view = env.reset().obs  # restore_state rewrites this row in place
    single = varnok.ChessEnv()
    single.reset()
    single.step(564)
    state = single.save_state()
    state.total_move_count = 1000  # counters far outside a byte, and negative
    state.no_progress_count = -3
    side, obs, _, _ = single.restore_state(state)
    env.restore_state(0, state)
    assert view.shape == (1, 119) and view.dtype == np.uint64
    assert np.array_equal(varnok.unpack(view)[0], as_int_obs(obs))
    assert np.array_equal(varnok.unpack(view, dtype="float32")[0], as_int_obs(obs).astype(np.float32))
    with pytest.raises(ValueError):
        varnok.unpack(np.zeros((2, 118), np.uint64))
    # A restored plane no bitboard can hold is refused by a packed VectorEnv,
    # and the row keeps its game.
    weird = single.save_state()
    history = weird.state_history
    history[0][0][5] = 7
    weird.state_history = history
    with pytest.raises(ValueError, match="packed"):
        env.restore_state(0, weird)
    assert env.save_state(0).total_move_count == 1000
