"""varnok.MCTS against a pure-Python reference with the same rules
(mcts_reference.py), its inputs and errors, and varnok.UCT on mates.

The reference and the native search evaluate leaves with the same fixed
function of the leaf's observation, so equal trees give equal numbers; the
visit counts are compared after every round, with virtual loss, finished
games inside the tree, Dirichlet noise (read from the native search) and
tree reuse.
"""

import collections.abc
import zlib

import chess
import numpy as np
import pytest
import varnok

import mcts_reference
from conftest import encode_move, encode_uci, env_at

pytestmark = pytest.mark.threads

INITIAL = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
BACK_RANK = "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"  # Ra8 mates at once
STALEMATE_TRAPS = "7k/5Q2/6K1/8/8/8/8/8 w - - 0 1"  # several queen moves stalemate
MIDDLE_GAME = "r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4"  # Qxf7 mates


def evaluate(obs, mask):
    """Fixed priors (float32, 4672) and a value for one leaf, from its observation."""
    rng = np.random.default_rng(zlib.crc32(np.ascontiguousarray(obs, np.float32).tobytes()))
    priors = rng.random(4672, dtype=np.float32) + np.float32(0.01)
    return priors, np.float32(rng.uniform(-1, 1))


def evaluate_rows(obs, masks):
    rows = [evaluate(o, m) for o, m in zip(obs, masks)]
    priors = np.stack([p for p, _ in rows]) if rows else np.zeros((0, 4672), np.float32)
    return priors, np.array([v for _, v in rows], np.float32)


def root_states(fens):
    """States of episodes started at fens (as set_roots starts a FEN text)."""
    states = []
    for fen in fens:
        venv = varnok.VectorEnv(1, num_threads=1, seed=0)
        venv.set_start_positions([fen])
        venv.reset()
        states.append(venv.save_state(0))
    return states


def run_both(fens, settings, rounds, k, advance_after=None, seed=5, num_threads=2):
    """Grows native and reference trees side by side; compares after every round."""
    states = root_states(fens)
    native = varnok.MCTS(len(fens), num_threads=num_threads, seed=seed, **settings)
    native.set_roots(states)
    ref_settings = {key: value for key, value in settings.items() if key != "dirichlet_alpha"}
    refs = [mcts_reference.Tree(s, **ref_settings) for s in states]
    for round_number in range(rounds):
        if advance_after is not None and round_number == advance_after:
            actions = native.choose_actions()
            native.advance(actions)
            noise = native.root_noise()
            for t, ref in enumerate(refs):
                ref.advance(int(actions[t]), lambda t=t: noise[t])
        leaves = native.select(leaves_per_tree=k)
        ref_leaves = [ref.select(k) for ref in refs]
        assert leaves.tree.tolist() == [t for t, rl in enumerate(ref_leaves) for _ in rl], round_number
        expected_obs = [obs for rl in ref_leaves for _, obs, _ in rl]
        if expected_obs:
            assert np.array_equal(leaves.obs, np.stack(expected_obs))
            assert np.array_equal(leaves.legal_mask, np.stack([m for rl in ref_leaves for _, _, m in rl]))
        priors, values = evaluate_rows(leaves.obs, leaves.legal_mask)
        native.expand(priors, values)
        noise = native.root_noise()
        row = 0
        for t, ref in enumerate(refs):
            n = len(ref_leaves[t])
            ref.expand(priors[row:row + n], values[row:row + n], lambda t=t: noise[t])
            row += n
        counts = native.visit_counts()
        for t, ref in enumerate(refs):
            assert np.array_equal(counts[t], ref.visit_counts()), (round_number, t)
    return native, refs


SETTINGS = {
    "plain": dict(dirichlet_fraction=0.0, virtual_loss=1.0),
    "noise": dict(dirichlet_fraction=0.25, dirichlet_alpha=0.3),
    "schedule_and_fpu": dict(c_base=19652.0, c_init=1.25, fpu_reduction=0.25, dirichlet_fraction=0.25),
    "absolute_fpu_heavy_loss": dict(fpu_value=-1.0, virtual_loss=3.0, c_puct=2.0, dirichlet_fraction=0.0),
    "no_virtual_loss": dict(virtual_loss=0.0, dirichlet_fraction=0.0),
}


@pytest.mark.parametrize("name", list(SETTINGS))
@pytest.mark.parametrize("k", [1, 4])
def test_visit_counts_match_the_reference_round_by_round(name, k):
    fens = [INITIAL, BACK_RANK, STALEMATE_TRAPS, MIDDLE_GAME]
    native, refs = run_both(fens, SETTINGS[name], rounds=25, k=k)
    totals = native.visit_counts().sum(axis=1)
    assert (totals > 20).all()
    for t, ref in enumerate(refs):
        assert native.root_values()[t] == pytest.approx(-ref.root.value_sum / ref.root.visits, abs=1e-6)


def test_large_rounds_on_one_thread_match_the_reference():
    # 160 float32 leaves a round on one thread: each row is written over
    # what another leaf (often of another tree) left in it the round before.
    fens = [INITIAL, BACK_RANK, STALEMATE_TRAPS, MIDDLE_GAME]
    native, _ = run_both(fens, SETTINGS["plain"], rounds=4, k=40, num_threads=1)
    assert (native.visit_counts().sum(axis=1) > 60).all()


def test_tree_reuse_matches_the_reference_after_advance():
    fens = [INITIAL, MIDDLE_GAME, "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", STALEMATE_TRAPS]
    native, refs = run_both(fens, SETTINGS["noise"], rounds=30, k=3, advance_after=15)
    # The kept subtrees carry their visits into the new roots; the queen's
    # tree played its mate and is over.
    assert native.finished().tolist() == [False, False, False, True]
    assert (native.visit_counts()[:3].sum(axis=1) > 40).all()


@pytest.mark.parametrize("k", [1, 3])
def test_gumbel_root_selection_matches_the_reference(k):
    settings = dict(root_selection="gumbel", gumbel_considered=8, gumbel_simulations=24)
    fens = [INITIAL, MIDDLE_GAME, STALEMATE_TRAPS]
    native, refs = run_both(fens, settings, rounds=30, k=k)
    # The plan is used up after 24 root simulations per tree (a collision
    # below the root spends one without a visit), then no more leaves.
    totals = native.visit_counts().sum(axis=1)
    assert ((totals <= 24) & (totals >= (24 if k == 1 else 20))).all()
    assert len(native.select(leaves_per_tree=k)) == 0
    native.expand(np.zeros((0, 4672), np.float32), np.zeros(0, np.float32))
    policy = native.policy()
    for t, ref in enumerate(refs):
        assert native.choose_actions()[t] == ref.chosen_action()
        assert np.allclose(policy[t], ref.policy(), atol=1e-6)
        # Sequential halving: 8 actions once, the best 4 twice more, the best 2 four more.
        visited = np.sort(native.visit_counts()[t][native.visit_counts()[t] > 0])[::-1]
        if k == 1:
            assert visited.tolist() == [7, 7, 3, 3, 1, 1, 1, 1]


def test_gumbel_after_advance_restarts_the_plan_on_the_kept_subtree():
    settings = dict(root_selection="gumbel", gumbel_considered=4, gumbel_simulations=12)
    native, refs = run_both([INITIAL, MIDDLE_GAME], settings, rounds=30, k=2, advance_after=10)
    assert (native.visit_counts().sum(axis=1) >= 12).all()


@pytest.mark.parametrize("root_selection", ["puct", "gumbel"])
def test_a_round_dropped_by_restarting_one_tree_leaves_no_trace_in_the_others(root_selection):
    # set_roots(trees=[0]) while a round waits for expand drops that round:
    # tree 1 goes on exactly as in a twin that never selected it (for Gumbel
    # roots that includes the halving plan's count of root simulations).
    def grown(drop):
        search = varnok.MCTS(2, num_threads=1, seed=3, dirichlet_fraction=0.0, root_selection=root_selection,
                             gumbel_considered=8, gumbel_simulations=40)
        search.set_roots([INITIAL, MIDDLE_GAME])
        for round_number in range(14):
            if round_number == 3:
                if drop:
                    search.select(4)
                search.set_roots([INITIAL], trees=[0])
            leaves = search.select(4)
            search.expand(*evaluate_rows(leaves.obs, leaves.legal_mask))
        return search
    dropped, twin = grown(True), grown(False)
    assert np.array_equal(dropped.visit_counts()[1], twin.visit_counts()[1])
    assert dropped.choose_actions()[1] == twin.choose_actions()[1]
    assert np.array_equal(dropped.policy()[1], twin.policy()[1])


def test_mates_inside_the_tree_are_scored_without_the_network():
    native = varnok.MCTS(1, seed=1, dirichlet_fraction=0.0)
    native.set_roots([MIDDLE_GAME])
    sent = 0
    for _ in range(80):
        leaves = native.select(leaves_per_tree=2)
        sent += len(leaves)
        priors, values = evaluate_rows(leaves.obs, leaves.legal_mask)
        native.expand(priors, values)
    board = chess.Board(MIDDLE_GAME)
    mate = next(m for m in board.legal_moves if board.gives_check(m) and (board.push(m), board.is_checkmate(), board.pop())[1])
    counts = native.visit_counts()[0]
    assert native.choose_actions()[0] == encode_move(board, mate)
    # The root's children hold one visit per row sent but the root's own, plus
    # every visit to a finished game, which no row paid for.
    assert counts.sum() - (sent - 1) > 10
    assert native.root_values()[0] > 0.5


def test_results_do_not_depend_on_threads_and_follow_the_seed():
    def grow(threads, seed):
        s = varnok.MCTS(6, num_threads=threads, seed=seed)
        s.set_roots([INITIAL, MIDDLE_GAME] * 3)
        for _ in range(10):
            leaves = s.select(leaves_per_tree=3)
            s.expand(*evaluate_rows(leaves.obs, leaves.legal_mask))
        return s.visit_counts(), s.root_noise(), s.choose_actions(temperature=1.0)

    one = grow(1, 3)
    for a, b in zip(one, grow(2, 3)):
        assert np.array_equal(a, b)
    assert not np.array_equal(one[1], grow(2, 4)[1])


def test_roots_from_a_vector_env_chess_envs_and_states_agree():
    venv = varnok.VectorEnv(3, num_threads=1, seed=2)
    venv.reset()
    for _ in range(5):
        venv.step(venv.random_actions())
    states = [venv.save_state(i) for i in range(3)]
    envs = []
    for s in states:
        e = varnok.ChessEnv()
        e.restore_state(s)
        envs.append(e)
    results = []
    for roots in (venv, states, envs):
        s = varnok.MCTS(3, seed=0, num_threads=1)
        s.set_roots(roots)
        leaves = s.select()
        results.append((leaves.obs.copy(), leaves.legal_mask.copy()))
    for obs, mask in results[1:]:
        assert np.array_equal(obs, results[0][0]) and np.array_equal(mask, results[0][1])
    assert results[0][0].shape == (3, 119, 8, 8) and results[0][1].shape == (3, 4672)


class MadeOnDemand(collections.abc.Sequence):
    """Roots made anew each time one is asked for, held by the caller alone."""

    def __init__(self, make, fens):
        self.make, self.fens = make, fens

    def __getitem__(self, i):
        return self.make(self.fens[i])

    def __len__(self):
        return len(self.fens)


@pytest.mark.parametrize("made", [
    lambda fens: np.array(fens),   # its items are new NumPy strings
    lambda fens: MadeOnDemand(lambda fen: env_at(fen).save_state(), fens),
    lambda fens: MadeOnDemand(env_at, fens),
])
def test_roots_made_as_they_are_read_search_as_a_list_of_them(made):
    fens = [MIDDLE_GAME, BACK_RANK, STALEMATE_TRAPS]
    held = list(made(fens))   # the same roots, kept alive by a list
    want = varnok.MaterialSearch(2, seed=0).choose(held)
    for got, expected in zip(varnok.MaterialSearch(2, seed=0).choose(made(fens)), want, strict=True):
        assert np.array_equal(got, expected)
    search, twin = varnok.MCTS(3, seed=0, num_threads=1), varnok.MCTS(3, seed=0, num_threads=1)
    search.set_roots(made(fens))
    twin.set_roots(held)
    assert np.array_equal(search.select().obs, twin.select().obs)


def test_roots_from_vector_env_rows_search_as_their_saved_states():
    # Rows 0 and 1 have played on (repetition counts, a history), rows 2 and 3
    # sit right after a reset with black to move, whose first observation is
    # not turned: a root is the game its State gives, never that first one.
    venv = varnok.VectorEnv(4, num_threads=1, seed=3, rules="fide")
    venv.set_start_positions(["r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq - 2 2"])
    venv.reset()
    for _ in range(6):
        venv.step(venv.random_actions(), active=np.array([1, 1, 0, 0], bool))
    rows = [3, 0, 1, 0]
    states = [venv.save_state(r) for r in rows]
    by_rows, by_states = {"roots": venv, "rows": rows}, {"roots": states, "rules": "fide"}

    def mcts(roots):
        s = varnok.MCTS(4, seed=0, num_threads=1, dirichlet_fraction=0.0)
        s.set_roots(**roots)
        seen = []
        for _ in range(4):
            leaves = s.select(leaves_per_tree=2)
            seen += [leaves.obs.copy(), leaves.legal_mask.copy()]
            s.expand(*evaluate_rows(leaves.obs, leaves.legal_mask))
        return seen + [s.visit_counts()]

    def uct(roots):
        s = varnok.UCT(4, seed=0, num_threads=1)
        s.set_roots(**roots)
        s.run(60)
        return [s.visit_counts(), s.root_values()]

    def material(roots):
        return list(varnok.MaterialSearch(2, seed=0).choose(**roots))

    for search in (mcts, uct, material):
        for got, want in zip(search(by_rows), search(by_states), strict=True):
            assert np.array_equal(got, want), search.__name__
    with pytest.raises(TypeError, match="VectorEnv"):
        varnok.MCTS(1).set_roots(states[:1], rows=[0])
    with pytest.raises(IndexError, match="row 4"):
        varnok.UCT(1).set_roots(venv, rows=[4])
    with pytest.raises(ValueError, match="one root per tree"):
        varnok.MCTS(4).set_roots(venv, rows=[0])


def test_packed_observations_are_the_float_ones_packed():
    outs = {}
    for dtype in ("float32", "packed"):
        s = varnok.MCTS(2, seed=0, obs_dtype=dtype)
        s.set_roots([INITIAL, MIDDLE_GAME])
        s.expand(*evaluate_rows(*(lambda l: (l.obs if dtype == "float32" else varnok.unpack(l.obs, "float32"),
                                             l.legal_mask))(s.select())))
        leaves = s.select(leaves_per_tree=4)
        outs[dtype] = leaves.obs if dtype == "float32" else varnok.unpack(leaves.obs, "float32")
        # The next round writes its leaves over these rows, changes only.
        with pytest.raises(ValueError):
            leaves.obs.setflags(write=True)
    assert np.array_equal(outs["float32"], outs["packed"])


def test_logits_of_zero_search_as_uniform_probabilities():
    counts = []
    for logits in (False, True):
        s = varnok.MCTS(1, seed=0, dirichlet_fraction=0.0)
        s.set_roots([MIDDLE_GAME])
        for r in range(20):
            leaves = s.select(leaves_per_tree=2)
            n = len(leaves)
            priors = np.zeros((n, 4672), np.float32) if logits else np.ones((n, 4672), np.float32)
            priors[~leaves.legal_mask] = np.nan if logits else 5.0  # illegal entries are ignored
            s.expand(priors, np.linspace(-0.5, 0.5, n).astype(np.float32), logits=logits)
        counts.append(s.visit_counts())
    assert np.array_equal(counts[0], counts[1])


@pytest.mark.parametrize("far_apart", [False, True])
def test_the_softmax_of_a_leafs_logits_is_numpys(far_apart):
    # Gumbel's policy at a root expanded but not yet descended is its priors.
    s = varnok.MCTS(1, seed=0, root_selection="gumbel")
    s.set_roots([MIDDLE_GAME])
    leaves = s.select(leaves_per_tree=1)
    legal = np.flatnonzero(leaves.legal_mask[0])
    logits = np.zeros((1, 4672), np.float32)
    if far_apart:  # 3e38 - (-3e38) is past float's range: the far-below logit weighs 0
        logits[0, legal[-1]], logits[0, legal[0]] = 3e38, -3e38
    else:
        logits[0, legal] = np.random.default_rng(5).normal(0, 8, legal.size)
    s.expand(logits, np.zeros(1, np.float32), logits=True)
    x = logits[0, legal].astype(np.float64)
    expected = np.exp(x - x.max()) / np.exp(x - x.max()).sum()
    assert np.allclose(s.policy()[0, legal], expected, rtol=1e-5, atol=1e-30)


def test_improved_policy_and_temperature():
    s = varnok.MCTS(2, seed=0)
    s.set_roots([INITIAL, MIDDLE_GAME])
    for _ in range(30):
        leaves = s.select(leaves_per_tree=2)
        s.expand(*evaluate_rows(leaves.obs, leaves.legal_mask))
    policy, counts = s.policy(), s.visit_counts()
    assert np.allclose(policy, counts / counts.sum(axis=1, keepdims=True))
    greedy = s.choose_actions()
    assert (counts[np.arange(2), greedy] == counts.max(axis=1)).all()
    drawn = {int(s.choose_actions(temperature=1.0)[0]) for _ in range(40)}
    assert len(drawn) > 1 and all(counts[0, a] > 0 for a in drawn)


# ---------------------------------------------------------------- bad input


@pytest.fixture
def open_round():
    s = varnok.MCTS(2, seed=0)
    s.set_roots([INITIAL, MIDDLE_GAME])
    s.expand(*evaluate_rows(*(lambda l: (l.obs, l.legal_mask))(s.select())))
    leaves = s.select(leaves_per_tree=3)
    return s, leaves


def test_bad_expand_input_is_refused_and_the_round_stays_usable(open_round):
    s, leaves = open_round
    priors, values = evaluate_rows(leaves.obs, leaves.legal_mask)
    with pytest.raises(ValueError, match="shape"):
        s.expand(priors[:-1], values[:-1])
    with pytest.raises(ValueError, match="shape"):
        s.expand(priors.reshape(len(values), 73, 64), values)
    with pytest.raises(TypeError):
        s.expand(np.array([["a"] * 4672] * len(values)), values)
    nan = priors.copy()
    nan[-1, np.flatnonzero(leaves.legal_mask[-1])[0]] = np.nan
    with pytest.raises(ValueError, match=f"row {len(values) - 1}"):
        s.expand(nan, values)
    with pytest.raises(ValueError, match="not finite"):
        s.expand(priors, np.where(np.arange(len(values)) == 0, np.inf, values).astype(np.float32))
    with pytest.raises(ValueError, match="sum to 0"):
        s.expand(np.zeros_like(priors), values)
    with pytest.raises(ValueError, match="negative"):
        s.expand(-priors, values)
    with pytest.raises(RuntimeError, match="wait for expand"):
        s.select()
    before = s.visit_counts()
    s.expand(priors, values)  # the round is still open and takes good input
    assert s.visit_counts().sum() == before.sum() + len(values)

    # The same search grown without the mistakes gives the same trees.
    clean = varnok.MCTS(2, seed=0)
    clean.set_roots([INITIAL, MIDDLE_GAME])
    clean.expand(*evaluate_rows(*(lambda l: (l.obs, l.legal_mask))(clean.select())))
    l2 = clean.select(leaves_per_tree=3)
    clean.expand(*evaluate_rows(l2.obs, l2.legal_mask))
    assert np.array_equal(clean.visit_counts(), s.visit_counts())


def test_calls_out_of_order_and_bad_roots_raise_clear_errors():
    s = varnok.MCTS(1, seed=0)
    s.set_roots([INITIAL])
    with pytest.raises(RuntimeError, match="without a select"):
        s.expand(np.zeros((1, 4672), np.float32), np.zeros(1, np.float32))
    with pytest.raises(ValueError, match="no evaluated root"):
        s.advance(np.array([0]))
    with pytest.raises(ValueError, match="finished game"):
        s.set_roots(["R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1"])  # black is checkmated
    with pytest.raises(ValueError, match="one root per tree"):
        s.set_roots([INITIAL, INITIAL])
    with pytest.raises(TypeError):
        s.set_roots([42])
    with pytest.raises(ValueError):
        varnok.MCTS(0)
    with pytest.raises(ValueError, match="root_selection"):
        varnok.MCTS(1, root_selection="best")
    leaves = s.select()  # the earlier mistakes changed nothing
    assert len(leaves) == 1
    s.expand(np.ones((1, 4672), np.float32), np.zeros(1, np.float32))
    with pytest.raises(ValueError, match="not legal"):
        s.advance(np.array([0]))
    s.advance(np.array([np.flatnonzero(leaves.legal_mask[0])[0]]))
    assert len(s.select()) == 1


def test_a_finished_game_after_advance_gives_no_leaves():
    s = varnok.MCTS(2, seed=0, dirichlet_fraction=0.0)
    s.set_roots([BACK_RANK, INITIAL])
    leaves = s.select()
    s.expand(np.ones((2, 4672), np.float32), np.zeros(2, np.float32))
    mate = encode_uci("a1a8", 0)
    s.advance(np.array([mate, np.flatnonzero(leaves.legal_mask[1])[0]]))
    assert s.finished().tolist() == [True, False]
    assert s.root_values()[0] == -1  # black, to move, is checkmated
    assert s.select().tree.tolist() == [1]



@pytest.mark.parametrize("kind", ["mcts", "uct"])
@pytest.mark.parametrize("budget", [1, 2, 20])
def test_a_budget_below_the_root_moves_still_chooses_a_legal_move(kind, budget):
    # The start has 20 moves and the middle game 42: the root's children get room past any budget.
    fens = [INITIAL, MIDDLE_GAME]
    if kind == "mcts":
        search = varnok.MCTS(2, seed=0, node_budget=budget)
        search.set_roots(fens)
        for _ in range(3):
            rows = search.select()
            search.expand(*evaluate_rows(rows.obs, rows.legal_mask))
    else:
        search = varnok.UCT(2, seed=0, node_budget=budget)
        search.set_roots(fens)
        search.run(50)
    for fen, action in zip(fens, search.choose_actions()):
        board = chess.Board(fen)
        assert action in {encode_move(board, m) for m in board.legal_moves}, (kind, budget, fen)


@pytest.mark.parametrize("budget", [60, 200, 1000])
def test_a_round_of_many_leaves_stays_within_the_node_budget(budget):
    # Each leaf holds room for its children from select to expand: the
    # leaves of one round together must fit, not each of them alone.
    fens = [INITIAL, MIDDLE_GAME]
    search = varnok.MCTS(2, seed=0, node_budget=budget)
    search.set_roots(fens)
    root_children = [chess.Board(fen).legal_moves.count() for fen in fens]
    leaves = 0
    for _ in range(6):
        rows = search.select(leaves_per_tree=8)
        search.expand(*evaluate_rows(rows.obs, rows.legal_mask))
        leaves += len(rows)
        counts = search.node_counts().tolist()
        assert all(c <= max(budget, 1 + r) for c, r in zip(counts, root_children)), (budget, counts)
    assert leaves > len(fens)  # the budget let leaves below the roots in


# ---------------------------------------------------------------- UCT

# White to move; each is also searched colour-flipped (black to move). The
# solutions are every move that mates within the stated number of moves; the
# test checks them with python-chess.
MATE_IN_ONE = [
    ("8/B7/K7/8/8/1Q6/8/2k4r w - - 0 1", ["a7e3"]),
    ("8/5K2/7k/5R2/8/5R2/8/8 w - - 0 1", ["f3h3"]),
    ("2B3R1/4k3/8/8/5Q2/8/8/4K3 w - - 0 1", ["f4f8"]),
    ("4Q3/8/8/8/6B1/7n/5k1K/7B w - - 0 1", ["e8e2"]),
    ("8/8/B6R/2k3K1/Q7/8/1P6/8 w - - 0 1", ["a4c4"]),
    ("8/6R1/4N3/7Q/K7/4k3/8/2N5 w - - 0 1", ["h5e2"]),
    # Only the promotion to a knight mates.
    ("6b1/K4P1k/5B2/6P1/8/8/8/8 w - - 0 1", ["f7f8n"]),
    ("R7/1pk1P3/3R4/8/8/8/8/K7 w - - 0 1", ["e7e8n"]),
    ("8/1P6/k1N5/8/1R6/8/6K1/8 w - - 0 1", ["b7b8n"]),
    ("n7/k1P5/1R6/8/8/8/8/K7 w - - 0 1", ["c7c8n"]),
    ("4R3/3P1k2/4R3/6R1/7K/8/8/8 w - - 0 1", ["d7d8n"]),
    ("8/6P1/4KPBk/8/6R1/8/8/8 w - - 0 1", ["g7g8n"]),
]
MATE_IN_TWO = [
    ("8/3R4/8/8/8/8/k2K4/2B5 w - - 0 1", ["d2c2"]),
    ("8/1K1k4/1R6/8/8/3P4/8/1Q6 w - - 0 1", ["b1e1"]),
    ("R2Q4/b7/8/8/8/k4K2/8/8 w - - 0 1", ["d8b8", "d8b6"]),
    ("8/7k/8/K7/R7/8/8/5R2 w - - 0 1", ["a4g4", "f1g1"]),
    ("8/8/7k/3R1K2/8/3N4/8/8 w - - 0 1", ["d5d7"]),
    ("8/4RN2/2K5/k7/8/8/8/8 w - - 0 1", ["e7e4"]),
    ("4B1Q1/6N1/8/2k1K1p1/8/8/8/8 w - - 0 1", ["g8b3"]),
    ("8/5P2/7K/5k2/8/8/8/3RR3 w - - 0 1", ["d1d4"]),
]
# Simulations per tree: the solver proves these mates well within it.
UCT_BUDGET = 20000


def mates_within(board, moves):
    """Whether the side to move can force mate within `moves` of its own moves."""
    for move in list(board.legal_moves):
        board.push(move)
        try:
            if board.is_checkmate():
                return True
            if moves > 1 and not board.is_game_over() and all(
                    _after(board, reply, lambda b: mates_within(b, moves - 1)) for reply in list(board.legal_moves)):
                return True
        finally:
            board.pop()
    return False


def _after(board, move, check):
    board.push(move)
    try:
        return check(board)
    finally:
        board.pop()


def winning_moves(board, moves):
    """Every move after which the mover forces mate within `moves` of its moves in all."""
    def wins(b):
        if b.is_checkmate():
            return True
        return moves > 1 and not b.is_game_over() and all(
            _after(b, reply, lambda bb: mates_within(bb, moves - 1)) for reply in list(b.legal_moves))
    return sorted(m.uci() for m in board.legal_moves if _after(board, m, wins))


def mirrored(fen, solutions):
    board = chess.Board(fen).mirror()
    flip = [chess.Move.from_uci(u) for u in solutions]
    return board.fen(), sorted(chess.Move(chess.square_mirror(m.from_square), chess.square_mirror(m.to_square),
                                          m.promotion).uci() for m in flip)


MATE_TABLE = [(fen, sols, 1) for fen, sols in MATE_IN_ONE] + [(fen, sols, 2) for fen, sols in MATE_IN_TWO]
MATE_TABLE += [(*mirrored(fen, sols), n) for fen, sols, n in MATE_TABLE]


def test_the_mate_table_is_right():
    assert len(MATE_TABLE) >= 20
    assert {chess.Board(f).turn for f, _, _ in MATE_TABLE} == {chess.WHITE, chess.BLACK}
    assert any(len(s[0]) == 5 and s[0][4] != "q" for _, s, _ in MATE_TABLE)  # under-promotions
    for fen, solutions, moves in MATE_TABLE:
        board = chess.Board(fen)
        assert not board.is_game_over(), fen
        assert winning_moves(board, moves) == sorted(solutions), fen
        if moves == 2:
            assert not mates_within(board, 1), fen  # a true mate in two


def test_uct_finds_every_mate_within_its_budget():
    search = varnok.UCT(len(MATE_TABLE), seed=7)
    search.set_roots([fen for fen, _, _ in MATE_TABLE])
    ran = search.run(UCT_BUDGET)
    best = search.best_actions()
    for t, (fen, solutions, _) in enumerate(MATE_TABLE):
        board = chess.Board(fen)
        action_of = {encode_move(board, m): m.uci() for m in board.legal_moves}
        assert action_of[int(best[t])] in solutions, (fen, action_of[int(best[t])])
    assert search.solved().all() and (search.root_values() == 1).all()
    assert (ran < UCT_BUDGET).all()  # proved before the budget ran out
    for t, (fen, _, moves) in enumerate(MATE_TABLE):  # the expected line is a proved mate, whatever the defence
        env = varnok.ChessEnv()
        env.load_fen(fen)
        line = search.principal_variation(t)
        assert line[0] == best[t] and len(line) <= 2 * moves - 1, (fen, line)
        for action in line:
            env.play(int(action))
        assert env.in_check() and env.legal_actions().size == 0, (fen, line)


@pytest.mark.parametrize("root_selection", ["puct", "gumbel"])
def test_principal_variation_walks_the_most_visited_children(root_selection):
    s = varnok.MCTS(1, seed=0, root_selection=root_selection)
    s.set_roots([INITIAL])
    for _ in range(200):
        leaves = s.select()
        s.expand(*evaluate_rows(leaves.obs, leaves.legal_mask))
    line = s.principal_variation(max_plies=4)
    assert len(line) >= 3 and line[0] == s.choose_actions()[0]
    for played, expected in zip(line, line[1:]):
        s.advance([played])
        counts = s.visit_counts()[0]
        assert counts[expected] == counts.max() > 0
    with pytest.raises(IndexError):
        s.principal_variation(1)


def test_uct_without_the_solver_still_prefers_mate_in_one():
    fens = [fen for fen, _, n in MATE_TABLE if n == 1]
    search = varnok.UCT(len(fens), seed=1, solver=False)
    search.set_roots(fens)
    assert (search.run(3000) == 3000).all()
    for t, fen in enumerate(fens):
        board = chess.Board(fen)
        action_of = {encode_move(board, m): m for m in board.legal_moves}
        move = action_of[int(search.best_actions()[t])]
        board.push(move)
        assert board.is_checkmate(), fen
    assert not search.solved().any()


def test_uct_roll_outs_follow_the_seed_for_any_thread_count():
    def grow(threads, seed):
        search = varnok.UCT(4, seed=seed, num_threads=threads)
        search.set_roots([INITIAL, MIDDLE_GAME, INITIAL, BACK_RANK])
        search.run(300)
        return search.visit_counts(), search.root_values()

    one = grow(1, 3)
    for a, b in zip(one, grow(3, 3)):
        assert np.array_equal(a, b)
    assert not np.array_equal(one[0][0], grow(1, 4)[0][0])
    with pytest.raises(ValueError, match="finished game"):
        varnok.UCT(1).set_roots(["R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1"])
    with pytest.raises(RuntimeError, match="before set_roots"):
        varnok.UCT(1).run(1)


def test_uct_temperature_draws_follow_the_visits_and_the_seed():
    def searched(seed):
        search = varnok.UCT(2, seed=seed, num_threads=2, solver=False)
        search.set_roots([INITIAL, MIDDLE_GAME])
        search.run(400)
        return search

    search = searched(6)
    visits = search.visit_counts()
    assert np.array_equal(search.choose_actions(0.0), search.best_actions())
    draws = np.array([search.choose_actions(1.0) for _ in range(600)])
    for t in range(2):
        assert (visits[t, draws[:, t]] > 0).all()  # only visited actions are drawn
        # At temperature 1 each action comes up in proportion to its visits.
        share = np.bincount(draws[:, t], minlength=4672) / len(draws)
        assert np.abs(share - visits[t] / visits[t].sum()).max() < 0.08
    again = searched(6)
    assert all(np.array_equal(d, again.choose_actions(1.0)) for d in draws[:5])
    with pytest.raises(ValueError, match="temperature"):
        search.choose_actions(-1.0)
