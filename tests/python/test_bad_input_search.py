"""Bad input to MCTS and UCT: each call is refused with the exception and
message named, leaves every tree exactly as it was, and the search then goes
on exactly as an untouched twin's does."""

import math
import pickle

import numpy as np
import pytest
import varnok

from conftest import env_at

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
MIDDLE = "r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4"
MATED = "7k/6Q1/6K1/8/8/8/8/8 b - - 0 1"
MATE_IN_ONE = "7k/8/6K1/8/8/8/8/1Q6 w - - 0 1"   # Qb8 mates
TREES = 2


def network(leaves):
    """Priors and values that depend on the leaves only (the same for twins)."""
    mask = leaves.legal_mask.astype(np.float32)
    weights = 1 + (np.arange(4672, dtype=np.float32) % 7)
    priors = mask * weights
    priors /= np.maximum(priors.sum(axis=1, keepdims=True), 1)
    values = (leaves.tree.astype(np.float32) - 0.5) / 4
    return priors, values


def grow(search, rounds, k=2):
    for _ in range(rounds):
        leaves = search.select(k)
        search.expand(*network(leaves))


def searched(**options):
    search = varnok.MCTS(TREES, seed=3, num_threads=2, **options)
    search.set_roots([START, MIDDLE])
    grow(search, 6)
    return search


def snapshot(search):
    return [search.visit_counts().tolist(), search.root_values().tolist(), search.policy().tolist(),
            search.node_counts().tolist(), search.finished().tolist(), search.root_noise().tolist(),
            search.round_open]


def searches_on_like(search, twin):
    """Both searches grow, sample and advance alike from here (rounds closed)."""
    grow(search, 4)
    grow(twin, 4)
    assert snapshot(search) == snapshot(twin)
    assert np.array_equal(search.choose_actions(1.0), twin.choose_actions(1.0))   # the same draws
    actions = search.choose_actions()
    search.advance(actions)
    twin.advance(actions)
    assert snapshot(search) == snapshot(twin)


# ---- the constructor

CONSTRUCTOR = [
    *[(dict(c_puct=v), ValueError, "c_puct must be a finite non-negative number") for v in (-1, math.nan, math.inf)],
    *[(dict(c_base=v), ValueError, "c_base must be a finite positive number") for v in (0, -1, math.nan, math.inf)],
    *[(dict(c_init=v), ValueError, "c_init must be a finite non-negative") for v in (-0.5, math.nan, -math.inf)],
    *[(dict(dirichlet_alpha=v), ValueError, "dirichlet_alpha must be a finite positive")
      for v in (0, -1, math.nan, math.inf)],
    (dict(dirichlet_fraction=1.5), ValueError, "dirichlet_fraction must be 0 to 1"),
    *[(dict(dirichlet_fraction=v), ValueError, "dirichlet_fraction must be a finite non-negative")
      for v in (-0.1, math.nan)],
    *[(dict(fpu_reduction=v), ValueError, "fpu_reduction must be finite") for v in (math.nan, math.inf, -math.inf)],
    *[(dict(fpu_value=v), ValueError, "fpu_value must be finite") for v in (math.nan, -math.inf)],
    *[(dict(virtual_loss=v), ValueError, "virtual_loss must be a finite non-negative") for v in (-1, math.nan)],
    *[(dict(node_budget=v), ValueError, "node_budget must be 1 to 2147483647") for v in (0, -1, 2**31)],
    *[(dict(root_selection=v), ValueError, 'root_selection must be "puct" or "gumbel"') for v in ("PUCT", "", "ucb")],
    *[(dict(gumbel_considered=v), ValueError, "gumbel_considered must be 1 to 4672") for v in (0, 4673)],
    # The halving plan is a table per considered count: a huge plan is refused, not built.
    *[(dict(gumbel_simulations=v), ValueError, "gumbel_simulations must be 1 to 16384") for v in (0, 16385, 2**20)],
    *[(dict(gumbel_c_visit=v), ValueError, "gumbel_c_visit must be a finite") for v in (math.nan, -1)],
    *[(dict(gumbel_c_scale=v), ValueError, "gumbel_c_scale must be a finite") for v in (math.inf, -1)],
    *[(dict(obs_dtype=v), ValueError, "obs_dtype must be") for v in ("int64", "", "Packed")],
    *[(dict(num_threads=v), ValueError, "num_threads must be 1 to 1024") for v in (0, 1025)],
    *[(dict(num_trees=v), ValueError, "num_trees must be 1 to 1048576") for v in (0, -3, 2**20 + 1, 2**40)],
    *[(dict(c_puct=v), TypeError, "c_puct") for v in ("1", None)],
    (dict(obs_dtype=None), TypeError, "obs_dtype"),
    (dict(seed=-1), TypeError, "seed"),
    (dict(root_selection=None), TypeError, "root_selection"),
]


@pytest.mark.parametrize("options, error, message", CONSTRUCTOR)
def test_mcts_constructor_refuses(options, error, message):
    options = {"num_trees": 2, **options}
    with pytest.raises(error, match=message):
        varnok.MCTS(**options)


def test_positional_settings_are_refused():
    with pytest.raises(TypeError, match="MCTS"):
        varnok.MCTS(2, 1.25)   # everything after num_trees is keyword-only


# ---- methods of a grown search, the round closed

class Fake:
    """Looks like a VectorEnv with an absurd number of rows: counted, never read."""
    num_envs = 10**12

    def save_state(self, row):
        raise AssertionError("no row may be read before the count is checked")


CLOSED = [
    ("select", (0,), ValueError, "leaves_per_tree must be 1 to 65536, got 0"),
    ("select", (-1,), ValueError, "leaves_per_tree must be 1 to 65536"),
    ("select", (2**16 + 1,), ValueError, "leaves_per_tree must be 1 to 65536"),
    # 2 x 65536 rows of float32 observations would be 4.6 GB: refused, not allocated
    ("select", (2**16,), ValueError, r"select\(65536\) over 2 trees needs room for 131072 leaves, more than 2 GiB"),
    ("select", ("1",), TypeError, "select"),
    ("expand", (np.zeros((0, 4672), np.float32), np.zeros(0, np.float32)), RuntimeError,
     "expand without a select whose leaves wait for it"),
    ("choose_actions", (math.nan,), ValueError, "temperature must be a finite non-negative number"),
    ("choose_actions", (math.inf,), ValueError, "temperature must be a finite non-negative number"),
    ("choose_actions", (-1.0,), ValueError, "temperature must be a finite non-negative number"),
    ("choose_actions", ("1",), TypeError, "choose_actions"),
    ("advance", (np.zeros(TREES),), TypeError, "actions must hold integers, got dtype float64"),
    ("advance", (np.zeros(TREES + 1, np.int64),), ValueError, r"shape \(2,\), got \(3,\)"),
    ("advance", (None,), TypeError, "actions must hold integers"),
    ("advance", (np.zeros(TREES, np.int64),), ValueError, "action 0 is not legal at the root of tree 0"),
    ("advance", (np.full(TREES, 2**64 - 1, np.uint64),), ValueError, "outside the int64 range"),
    ("set_roots", (None,), TypeError, "roots must be a VectorEnv or a sequence"),
    ("set_roots", (START,), TypeError, "roots must be a VectorEnv or a sequence"),
    ("set_roots", ({0: START, 1: START},), TypeError, "roots must be a VectorEnv or a sequence"),
    ("set_roots", ([1, 2],), TypeError, "root 0 is not a State, ChessEnv or FEN text"),
    ("set_roots", ([START],), ValueError, "set_roots needs one root per tree: 2, got 1"),
    ("set_roots", ([START] * 3,), ValueError, "one root per tree: 2, got 3"),
    ("set_roots", (Fake(),), ValueError, "one root per tree: 2, got 1000000000000"),
    ("set_roots", (varnok.VectorEnv(3, seed=0),), ValueError, "one root per tree: 2, got 3"),
    ("set_roots", (["garbage", START],), ValueError, "root 0: FEN 'garbage': expected 6 fields"),
    ("set_roots", ([START, "8/8/8/8/8/8/8/8 w - - 0 1"],), ValueError, "root 1: FEN placement field"),
    ("set_roots", ([MATED, START],), ValueError, "root 0 is a finished game"),
    ("set_roots", ([START, env_at(MATED)],), ValueError, "root 1 is a finished game"),
    ("set_roots", ([varnok.State(), START],), ValueError, "root 0 is a finished game"),
    ("set_roots", ([START, START], [0, 0]), ValueError, "tree 0 is given more than one root"),
    ("set_roots", ([START], [2]), ValueError, "a tree index must be 0 to 1, got 2"),
    ("set_roots", ([START], [-1]), ValueError, "a tree index must be 0 to 1, got -1"),
    ("set_roots", ([START, START], [0]), ValueError, "trees and roots differ in length: 1 and 2"),
    ("set_roots", ([START], "0"), TypeError, "set_roots"),
]


@pytest.mark.parametrize("method, args, error, message", CLOSED)
def test_refused_calls_leave_the_trees_unchanged(method, args, error, message):
    search, twin = searched(), searched()
    before = snapshot(search)
    with pytest.raises(error, match=message):
        getattr(search, method)(*args)
    assert snapshot(search) == before
    searches_on_like(search, twin)


# ---- expand's answer, while a round is open: refused, and the round stays open

def priors_with(value):
    def make(leaves, priors, values):
        bad = priors.copy()
        bad[0, np.flatnonzero(leaves.legal_mask[0])[0]] = value
        return bad, values
    return make


OPEN = [
    (lambda l, p, v: (None, v), {}, TypeError, "priors must hold real numbers, got dtype object"),
    (lambda l, p, v: ("priors", v), {}, TypeError, "priors must hold real numbers"),
    (lambda l, p, v: (l.legal_mask, v), {}, TypeError, "dtype bool"),
    (lambda l, p, v: (p.astype(complex), v), {}, TypeError, "dtype complex128"),
    (lambda l, p, v: (p, None), {}, TypeError, "values must hold real numbers"),
    (lambda l, p, v: (p[:-1], v), {}, ValueError, "priors must have shape"),
    (lambda l, p, v: (p[:, :4671], v), {}, ValueError, "priors must have shape"),
    (lambda l, p, v: (p.reshape(-1), v), {}, ValueError, "priors must have shape"),
    (lambda l, p, v: (p, v[:-1]), {}, ValueError, "values must have shape"),
    (lambda l, p, v: (p, v.reshape(-1, 1)), {}, ValueError, "values must have shape"),
    (priors_with(np.nan), {}, ValueError, r"row 0 \(tree 0\): the prior of legal action \d+ is negative or not finite"),
    (priors_with(np.inf), {}, ValueError, "negative or not finite"),
    (priors_with(-0.25), {}, ValueError, "negative or not finite"),
    (lambda l, p, v: (p * 0, v), {}, ValueError, "the priors of the legal actions sum to 0"),
    (lambda l, p, v: (p.astype(np.float64) * 1e300, v), {}, ValueError, "not finite"),   # past float32's range
    (lambda l, p, v: (p, np.full_like(v, np.nan)), {}, ValueError, r"row 0 \(tree 0\): the value is not finite"),
    (lambda l, p, v: (p, np.full_like(v, -np.inf)), {}, ValueError, "the value is not finite"),
    (priors_with(np.nan), dict(logits=True), ValueError, r"the logit of legal action \d+ is not finite"),
    (priors_with(-np.inf), dict(logits=True), ValueError, "logit of legal action"),
    (lambda l, p, v: (p, v), dict(logits="yes"), TypeError, "expand"),
]


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize("answer, options, error, message", OPEN)
def test_a_refused_answer_keeps_the_round_open(answer, options, error, message):
    search, twin = searched(), searched()
    leaves, twin_leaves = search.select(2), twin.select(2)
    priors, values = network(leaves)
    before = snapshot(search)
    with pytest.raises(error, match=message):
        search.expand(*answer(leaves, priors, values), **options)
    assert snapshot(search) == before and search.round_open
    search.expand(priors, values)
    twin.expand(*network(twin_leaves))
    assert snapshot(search) == snapshot(twin)
    searches_on_like(search, twin)


@pytest.mark.parametrize("method, args, message", [
    ("select", (1,), "the leaves of the last select wait for expand"),
    ("advance", (np.array([564, 564]),), "advance while the leaves of a select wait for expand"),
])
def test_calls_that_need_a_closed_round(method, args, message):
    search, twin = searched(), searched()
    leaves, twin_leaves = search.select(2), twin.select(2)
    before = snapshot(search)
    with pytest.raises(RuntimeError, match=message):
        getattr(search, method)(*args)
    assert snapshot(search) == before
    search.expand(*network(leaves))
    twin.expand(*network(twin_leaves))
    searches_on_like(search, twin)


def test_results_before_any_search_and_advance_without_an_evaluated_root():
    search = varnok.MCTS(TREES, seed=3)
    assert (search.choose_actions() == -1).all() and not search.visit_counts().any()
    assert not search.policy().any() and not search.root_noise().any()
    with pytest.raises(ValueError, match="tree 0 has no evaluated root to advance from"):
        search.advance(np.array([564, 564]))
    search.set_roots([START, MIDDLE])
    with pytest.raises(ValueError, match="tree 0 has no evaluated root"):
        search.advance(np.array([564, 564]))   # rooted, not yet expanded
    grow(search, 2)
    twin = searched()
    search.set_roots([START, MIDDLE])
    twin.set_roots([START, MIDDLE])
    searches_on_like(search, twin)


def test_advance_on_a_finished_root_names_it():
    search = varnok.MCTS(1, seed=0, dirichlet_fraction=0)
    search.set_roots([MATE_IN_ONE])
    grow(search, 3, k=1)
    search.advance(np.array([env_at(MATE_IN_ONE).uci_to_action("b1b8")]))
    assert search.finished().tolist() == [True]
    before = snapshot(search)
    with pytest.raises(ValueError, match="the game at the root of tree 0 is over: nothing to advance"):
        search.advance(np.array([0]))
    assert snapshot(search) == before
    assert len(search.select(1)) == 0   # a finished tree gives no leaves
    search.expand(np.zeros((0, 4672), np.float32), np.zeros(0, np.float32))
    assert search.root_values().tolist() == [-1.0]


@pytest.mark.parametrize("kind", ["MCTS", "UCT"])
def test_searches_do_not_pickle(kind):
    search = getattr(varnok, kind)(2, seed=0)
    with pytest.raises(TypeError, match=f"cannot pickle 'varnok._core.{kind}' object"):
        pickle.dumps(search)


@pytest.mark.parametrize("kind", ["MCTS", "UCT", "MaterialSearch"])
def test_draws_of_another_kind_or_size_are_refused_and_change_nothing(kind):
    search = getattr(varnok, kind)(TREES if kind != "MaterialSearch" else 1, seed=1)
    before = search.draws
    others = {"MCTS": varnok.MCTS(TREES + 1, seed=1).draws, "UCT": varnok.UCT(TREES, seed=1).draws,
              "MaterialSearch": varnok.MaterialSearch(1).draws}
    # A generator whose state is all zero draws only zeros, and a draw by
    # rejection from it (a tie broken, a roll-out's move) never ends.
    stuck = [zeroed(before), *([zeroed(before, keep=4)] if kind == "UCT" else [])]   # UCT: its roll-outs' alone
    # A roll-out generator's words are 32-bit: a wider number is no state of one.
    wide = [b" ".join([*before.split(b" ", 4)[:4], b"4294967296", before.split(b" ", 5)[5]])] if kind == "UCT" else []
    for other in [b"", b"not draws", before + b" 1", before[:-6], *stuck, *wide,
                  *(v for k, v in others.items() if k != kind)]:
        with pytest.raises(ValueError, match="not the draws of a search of this kind and size"):
            search.draws = other
        assert search.draws == before, other[:40]


def zeroed(draws, keep=0):
    """The draws with every number but the first keep of each tree's line set to 0."""
    return b"\n".join(b" ".join(word if i < keep or not word.isdigit() else b"0" for i, word in enumerate(line.split()))
                      for line in draws.split(b"\n"))


# ---- UCT

UCT_CONSTRUCTOR = [
    *[(dict(exploration=v), ValueError, "exploration must be a finite non-negative") for v in (-1, math.nan, math.inf)],
    *[(dict(node_budget=v), ValueError, "node_budget must be 1 to 2147483647") for v in (0, 2**31)],
    *[(dict(num_trees=v), ValueError, "num_trees must be 1 to 1048576") for v in (0, 2**20 + 1)],
    (dict(num_threads=0), ValueError, "num_threads must be 1 to 1024"),
    (dict(exploration="1"), TypeError, "exploration"),
    (dict(seed=-1), TypeError, "seed"),
]


@pytest.mark.parametrize("options, error, message", UCT_CONSTRUCTOR)
def test_uct_constructor_refuses(options, error, message):
    options = {"num_trees": 2, **options}
    with pytest.raises(error, match=message):
        varnok.UCT(**options)


@pytest.mark.parametrize("depth", [0, 9, -2**40, 2**40])
def test_material_search_names_the_depth_it_was_given(depth):
    with pytest.raises(ValueError, match=f"depth must be 1 to 8, got {depth}$"):
        varnok.MaterialSearch(depth)


@pytest.mark.parametrize("roots, message", [
    ([START, MIDDLE, MATED], "root 2: the game at the root is over"),
    ([START, env_at("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"), START], "root 1: the game at the root is over"),   # stalemate
])
def test_material_search_refuses_a_finished_root_before_searching_any(roots, message):
    search, twin = varnok.MaterialSearch(1, seed=5), varnok.MaterialSearch(1, seed=5)
    before = search.draws
    with pytest.raises(ValueError, match=message):
        search.choose(roots)
    assert search.draws == before   # no tie was broken for the roots before it
    for _ in range(3):
        assert np.array_equal(search.choose([START, MIDDLE])[0], twin.choose([START, MIDDLE])[0])


def uct_run():
    search = varnok.UCT(TREES, seed=4, num_threads=2)
    search.set_roots([START, MIDDLE])
    search.run(12)
    return search


def uct_snapshot(search):
    return [search.visit_counts().tolist(), search.root_values().tolist(), search.solved().tolist(),
            search.best_actions().tolist()]


UCT_CASES = [
    ("run", (-1,), ValueError, "simulations must be 0 to 2147483647, got -1"),
    ("run", (2**31,), ValueError, "simulations must be 0 to 2147483647"),
    ("run", (None,), TypeError, "run"),
    ("set_roots", (None,), TypeError, "roots must be a VectorEnv or a sequence"),
    ("set_roots", ([START],), ValueError, "set_roots needs one root per tree: 2, got 1"),
    ("set_roots", (Fake(),), ValueError, "one root per tree: 2, got 1000000000000"),
    ("set_roots", (["garbage", START],), ValueError, "root 0: FEN 'garbage'"),
    ("set_roots", ([START, MATED],), ValueError, "root 1 is a finished game"),
    ("set_roots", ([START, 3],), TypeError, "root 1 is not a State, ChessEnv or FEN text"),
]


@pytest.mark.parametrize("method, args, error, message", UCT_CASES)
def test_uct_refused_calls_leave_the_trees_unchanged(method, args, error, message):
    search, twin = uct_run(), uct_run()
    before = uct_snapshot(search)
    with pytest.raises(error, match=message):
        getattr(search, method)(*args)
    assert uct_snapshot(search) == before
    assert search.run(10).tolist() == twin.run(10).tolist()
    assert uct_snapshot(search) == uct_snapshot(twin)


def test_uct_run_before_set_roots():
    search = varnok.UCT(TREES, seed=4, num_threads=2)
    with pytest.raises(RuntimeError, match="run before set_roots"):
        search.run(5)
    assert (search.best_actions() == -1).all() and not search.visit_counts().any()
    search.set_roots([START, MIDDLE])
    search.run(12)
    assert uct_snapshot(search) == uct_snapshot(uct_run())
