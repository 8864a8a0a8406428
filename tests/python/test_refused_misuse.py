"""Calls that used to give a silent wrong result or a confusing error, each
run in a child process (test_hostile_use.run_child): settings whose
arithmetic overflows, values outside their range, objects that only look
like a VectorEnv, reset options of the wrong type, a second __init__ or
__setstate__ on a live object, and a ChessEnv asked about a game it never
started."""

from test_hostile_use import run_child

SETUP = """
import gymnasium, varnok.gym, varnok.pettingzoo, varnok.players

class LooksLikeVectorEnv:
    num_envs = 1
    def __init__(self, state):
        self.state = state
    def save_state(self, row):
        return self.state

def gumbel_policy(**settings):
    search = MCTS(1, root_selection="gumbel", seed=0, **settings)
    search.set_roots([started()])
    for _ in range(4):
        n = len(search.select())
        search.expand(np.ones((n, 4672), np.float32), np.linspace(-1, 1, n, dtype=np.float32))
    return bool(np.isfinite(search.policy()).all())

def expanded_with(values):
    search = MCTS(1, seed=0, num_threads=1)
    search.set_roots([started()])
    n = len(search.select())
    search.expand(np.ones((n, 4672), np.float32), np.zeros(n, np.float32))
    n = len(search.select())
    before = (search.visit_counts().sum(), search.root_values().tolist())
    try:
        search.expand(np.ones((n, 4672), np.float32), np.full(n, values))
    except ValueError as e:
        unchanged = before == (search.visit_counts().sum(), search.root_values().tolist()) and search.round_open
        return f"ValueError {e} / unchanged {unchanged}"
    return f"taken {search.root_values().tolist()}"
"""

# (snippet, the outcome's type, a piece of its text)
CASES = [
    # Gumbel scores that overflow made the whole policy NaN.
    ("gumbel_policy(gumbel_c_scale=1e308)", "ValueError", "gumbel_c_scale must stay below 1e300"),
    ("gumbel_policy(gumbel_c_visit=1e308)", "ValueError", "gumbel_c_visit=1e+308"),
    ("gumbel_policy(gumbel_c_scale=1e280)", "ok", "True"),
    # Values outside -1 to 1 (after the conversion to float32) are refused whole.
    ("expanded_with(3e38)", "ok", "ValueError row 0 (tree 0): the value 3e+38 is outside -1 to 1"),
    ("expanded_with(-1.5)", "ok", "outside -1 to 1 / unchanged True"),
    ("expanded_with(1 + 1e-12)", "ok", "taken"),
    ("expanded_with(1.0000001)", "ok", "the value 1.0000001 is outside"),   # not written as "1"
    # Objects that only look like a VectorEnv.
    ("MCTS(1).set_roots(LooksLikeVectorEnv('a State'))", "TypeError", "roots.save_state(0) must return a State, got str"),
    ("UCT(1).set_roots(LooksLikeVectorEnv(None))", "TypeError", "got NoneType"),
    ("MCTS(1).set_roots(type('Rows', (LooksLikeVectorEnv,), {'num_envs': '1'})(None))", "TypeError",
     "roots.num_envs must be an int, got str"),
    ("MCTS(1).set_roots(LooksLikeVectorEnv(State()))", "ValueError", "row 0 of the VectorEnv is a finished game"),
    # A VectorEnv's game is named by its row, and with rows by its place in them too.
    *[(f"{call}(type('Rows', (LooksLikeVectorEnv,), {{'num_envs': 3}})(State()), rows=[2, 0])", "ValueError", message)
      for call, message in [("MCTS(2).set_roots", "row 2 of the VectorEnv (rows[0]) is a finished game"),
                            ("UCT(2).set_roots", "row 2 of the VectorEnv (rows[0]) is a finished game"),
                            ("MaterialSearch(1).choose",
                             "row 2 of the VectorEnv (rows[0]): the game at the root is over")]],
    ("MaterialSearch(1).choose(type('Rows', (LooksLikeVectorEnv,), {'num_envs': -1})(None))", "ValueError",
     "roots.num_envs must be 0 or more, got -1"),
    # A negative node budget is a mistake, not "no budget" (which is 0).
    ("MaterialSearch(2).think(started(), nodes=-1)", "ValueError", "nodes must be 0 (no budget) or more, got -1"),
    # A callback calling back into the search that runs it is refused, saying so.
    ("(lambda s: s.think(started(), report=lambda *a: s.choose([started()])))(MaterialSearch(2))", "RuntimeError",
     "in use by another thread (or by the call in progress, from one of its callbacks)"),
    ("(lambda s: s.set_roots(type('Rows', (LooksLikeVectorEnv,), {'save_state': lambda self, r: s.select()})(None)))"
     "(MCTS(1, num_threads=1))", "RuntimeError", "by the call in progress"),
    # Reset options of the wrong type.
    ("varnok.gym.ChessEnv().reset(options=['fen'])", "TypeError", "options must be a dict (or None), got list"),
    ("varnok.gym.ChessVectorEnv(2).reset(options='fen')", "TypeError", "got str"),
    ("varnok.pettingzoo.env().reset(options=('fen',))", "TypeError", "got tuple"),
    ("varnok.gym.ChessEnv().reset(options={})[1]['to_play']", "ok", "0"),
    # A player asked to move in a game that is over.
    *[(f"varnok.players.{player}.think((lambda e: (e.load_fen('7k/6Q1/6K1/8/8/8/8/8 b - - 0 1'), e)[1])(ChessEnv()))",
       "ValueError", message) for player, message in [("Random()", "game 0 is over: it has no legal move to play"),
                                                      ("Material(2)", "the game at the root is over"),
                                                      ("UCT(8)", "root 0 is a finished game")]],
    # A deadline of NaN is never reached: a search bounded by it alone never ended.
    *[(f"varnok.players.{player}.think(started(), deadline=float('nan'))", "ValueError",
       "deadline must be a time.monotonic() value (or math.inf), got nan")
      for player in ["UCT(8)", "Material(2)", "MCTS(lambda obs, mask: (mask.astype(np.float32), np.zeros(len(mask))), 4)"]],
    # A second __init__ or __setstate__ on a live object.
    ("started().__init__()", "TypeError",
     "ChessEnv.__init__ on an object that is already initialised would be ignored: make a new ChessEnv instead"),
    ("State().__init__()", "TypeError", "State.__init__ on an object that is already initialised"),
    ("VectorEnv(2, num_threads=1).__init__(4)", "TypeError", "VectorEnv.__init__ on an object"),
    ("MCTS(1, num_threads=1).__init__(2)", "TypeError", "MCTS.__init__ on an object"),
    ("UCT(1, num_threads=1).__init__(2)", "TypeError", "UCT.__init__ on an object"),
    ("(lambda e: e.__setstate__(ChessEnv().__getstate__()))(started())", "TypeError", "ChessEnv.__setstate__ on an"),
    ("(lambda s: s.__setstate__(s.__getstate__()))(started().save_state())", "TypeError", "State.__setstate__ on an"),
    ("(lambda e: (e.__init__(), e.fen()))(ChessEnv.__new__(ChessEnv))[1][:8]", "ok", "8/8/8/8"),
    # A ChessEnv before any game.
    ("ChessEnv().outcome()", "ok", "None"),
    ("(lambda e: (e.roll_out(), e.outcome()))(ChessEnv())", "ok", "(0, None)"),
    ("ChessEnv().play(0)", "ValueError", "Invalid action: no game was started"),
    ("ChessEnv().step(0)", "ValueError", "Invalid action"),
]


def test_misuse_is_refused_with_an_error_naming_it_or_answered_right():
    outcomes = run_child([SETUP, *[snippet for snippet, _, _ in CASES]])
    assert outcomes[0][0] == "ok", outcomes[0]
    for (snippet, kind, text), outcome in zip(CASES, outcomes[1:]):
        assert outcome[0] == kind and text in outcome[1], (snippet, outcome)
    # step's text stays exactly what it always was.
    assert outcomes[-1] == ["ValueError", "Invalid action"]

