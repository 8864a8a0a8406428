"""Bad input to the Python package: the Gymnasium and PettingZoo adapters,
the data tools and `python -m varnok`. Each call is refused with the
exception and message named and changes nothing (the game, or the output
folder, which is not even made), and the object then works as an untouched
twin does."""

import math
import os

import numpy as np
import pytest
import varnok

if not hasattr(varnok, "__path__"):  # the adapters live in the varnok package, not the bare extension
    pytest.skip("varnok is installed as the bare extension module, not the package", allow_module_level=True)

MATED = "7k/6Q1/6K1/8/8/8/8/8 b - - 0 1"
STALEMATED = "k7/8/1Q6/8/8/8/8/7K b - - 0 1"
E4 = 564   # e2-e4 from the initial position


# ---- Gymnasium


gymnasium = pytest.importorskip("gymnasium")
import varnok.gym as vgym  # noqa: E402


GYM_OPTIONS = [
    (dict(illegal_action="ignore"), ValueError, 'illegal_action must be "lose" or "raise"'),
    (dict(max_steps=0), ValueError, "max_steps must be a positive number of plies, got 0"),
    (dict(max_steps=-3), ValueError, "max_steps must be a positive number"),
    (dict(max_steps=1.5), TypeError, "max_steps must be an integer, got 1.5"),
    (dict(max_steps="3"), TypeError, "max_steps must be an integer, got '3'"),
    (dict(render_mode="video"), ValueError, "render_mode must be None, 'ansi', 'rgb_array' or 'human'"),
    (dict(render_mode="rgb_array", render_size=8), ValueError, "render_size must be 16 to 8192 pixels, got 8"),
    (dict(render_mode="rgb_array", render_size=64.0), TypeError, "render_size must be an int"),
    # A frame too large to draw is said when the env is made, in any render mode, not at render time.
    *[(dict(render_mode=mode, render_size=size), ValueError, f"render_size must be 16 to 8192 pixels, got {size}")
      for mode, size in (("rgb_array", 8193), (None, 10**9), ("human", 2**40))],
    (dict(render_mode="rgb_array", render_size=True), TypeError, "render_size must be an integer, got True"),
]


@pytest.mark.parametrize("options, error, message", GYM_OPTIONS)
def test_gym_env_options_refused(options, error, message):
    with pytest.raises(error, match=message):
        vgym.ChessEnv(**options)


def gym_game(**options):
    env = vgym.ChessEnv(**options)
    env.reset(seed=0)
    env.step(E4)
    return env


def gym_snapshot(env):
    return env.game.save_state().__getstate__(), env.game.fen(), env._side, env._over, env.action_masks().tobytes()


def gym_plays_on_like(env, twin):
    for uci in ("e7e5", "g1f3"):
        action = env.game.uci_to_action(uci)
        a, b = env.step(action), twin.step(action)
        assert np.array_equal(a[0], b[0]) and a[1:4] == b[1:4]
        assert np.array_equal(a[4]["action_mask"], b[4]["action_mask"])


GYM_CALLS = [
    ("step", (1.5,), {}, TypeError, "action must be an integer, got 1.5"),
    ("step", ("564",), {}, TypeError, "action must be an integer, got '564'"),
    ("step", (None,), {}, TypeError, "action must be an integer, got None"),
    ("step", (np.array([564]),), {}, TypeError, "action must be an integer"),
    ("step", (np.float64(524),), {}, TypeError, "action must be an integer"),
    ("reset", (), dict(options={"fen": "garbage"}), ValueError, "FEN 'garbage': expected 6 fields"),
    ("reset", (), dict(options={"fen": ""}), ValueError, "FEN '': expected 6 fields"),
    ("reset", (), dict(options={"fen": "8/8/8/8/8/8/8/8 w - - 0 1"}), ValueError, "0 kings"),
    ("reset", (), dict(options={"fen": MATED}), ValueError, r"is a finished game \(checkmate\)"),
    ("reset", (), dict(options={"fen": STALEMATED}), ValueError, r"is a finished game \(stalemate\)"),
    ("reset", (), dict(options={"fen": 5}), TypeError, "load_fen"),
    ("reset", (), dict(options={"fen": "rk5r/8/8/8/8/8/8/RK5R w HAha - 0 1"}), ValueError,
     r"'HAha'.*\(a Chess960 position, which a game of standard chess cannot start from\)"),
]


@pytest.mark.parametrize("illegal_action", ["lose", "raise"])
@pytest.mark.parametrize("method, args, kwargs, error, message", GYM_CALLS)
def test_gym_env_refused_calls_leave_the_game_unchanged(illegal_action, method, args, kwargs, error, message):
    env, twin = gym_game(illegal_action=illegal_action), gym_game(illegal_action=illegal_action)
    before = gym_snapshot(env)
    with pytest.raises(error, match=message):
        getattr(env, method)(*args, **kwargs)
    assert gym_snapshot(env) == before
    gym_plays_on_like(env, twin)


def test_gym_env_out_of_order():
    env = vgym.ChessEnv()
    with pytest.raises(RuntimeError, match="call reset"):
        env.action_masks()
    with pytest.raises(RuntimeError, match="the episode has ended: call reset"):
        env.step(E4)
    raising = gym_game(illegal_action="raise")
    before = gym_snapshot(raising)
    with pytest.raises(ValueError, match="action 0 is not legal in this position"):
        raising.step(0)
    assert gym_snapshot(raising) == before


VECTOR_OPTIONS = [
    (dict(num_envs=1.5), TypeError, "num_envs must be an integer, got 1.5"),
    (dict(num_envs="2"), TypeError, "num_envs must be an integer"),
    (dict(num_envs=0), ValueError, "num_envs must be 1 to"),
    (dict(num_envs=2, max_steps=2.5), TypeError, "max_steps must be an integer"),
    (dict(num_envs=2, max_episode_steps=0), ValueError, "max_episode_steps must be a positive"),
    (dict(opponent="random", agent_color="random", max_episode_steps=9), ValueError, "no fixed number of plies"),
    (dict(num_envs=2, illegal_action="x"), ValueError, "illegal_action must be"),
    (dict(num_envs=2, num_threads=0), ValueError, "num_threads must be 1 to 1024"),
    (dict(opponent="random", agent_color="random", max_steps=1), ValueError, "max_steps=1 leaves the agent no move"),
]


@pytest.mark.parametrize("options, error, message", VECTOR_OPTIONS)
def test_gym_vector_env_options_refused(options, error, message):
    with pytest.raises(error, match=message):
        vgym.ChessVectorEnv(**options)


def vector_game():
    envs = vgym.ChessVectorEnv(2, seed=1, num_threads=1)
    envs.reset(seed=1)
    envs.step(np.array([E4, E4]))
    return envs


def vector_snapshot(envs):
    return [envs.native.save_state(i).__getstate__() for i in range(2)], envs.action_masks().tobytes()


@pytest.mark.parametrize("actions, error, message", [
    (np.array([524.0, 524.0]), TypeError, "actions must hold integers, got dtype float64"),
    (np.array(["a", "b"]), TypeError, "actions must hold integers"),
    (np.array([None, 524], object), TypeError, "actions must hold integers"),
    (np.array([524]), ValueError, r"actions must have shape \(2,\), got \(1,\)"),
    (np.array([[524, 524]]), ValueError, "actions must have shape"),
])
def test_gym_vector_env_refused_steps_leave_the_games_unchanged(actions, error, message):
    envs, twin = vector_game(), vector_game()
    before = vector_snapshot(envs)
    with pytest.raises(error, match=message):
        envs.step(actions)
    assert vector_snapshot(envs) == before
    a, b = envs.step(np.array([524, 524])), twin.step(np.array([524, 524]))
    assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1])


def test_gym_vector_env_out_of_order():
    envs = vgym.ChessVectorEnv(2, seed=1, num_threads=1)
    for call in (lambda: envs.step(np.array([E4, E4])), envs.action_masks):
        with pytest.raises(RuntimeError, match="call reset"):
            call()
    envs.reset(seed=1)
    with pytest.raises(ValueError, match='no "fen" reset option: set the start positions'):
        envs.reset(options={"fen": "4k3/8/8/8/8/8/8/4K2R w K - 0 1"})
    envs.close()
    for call in (lambda: envs.step(np.array([E4, E4])), envs.reset):
        with pytest.raises(RuntimeError, match="this environment is closed"):
            call()


# ---- PettingZoo


pytest.importorskip("pettingzoo")
import varnok.pettingzoo as vpz  # noqa: E402


@pytest.mark.parametrize("options, error, message", [
    (dict(rules="modern"), ValueError, 'rules must be "classic", "fide" or "fide-strict"'),
    (dict(max_steps=0), ValueError, "max_steps must be a positive"),
    (dict(max_steps=2.5), TypeError, "max_steps must be an integer, got 2.5"),
    (dict(render_mode="rgba"), ValueError, "render_mode must be None, 'ansi', 'rgb_array' or 'human'"),
])
def test_pettingzoo_options_refused(options, error, message):
    with pytest.raises(error, match=message):
        vpz.raw_env(**options)


def pz_game(rules="fide"):
    env = vpz.raw_env(rules=rules)
    env.reset()
    env.step(E4)
    return env


def pz_snapshot(env):
    return (env.game.save_state().__getstate__(), env.agent_selection, env.observe(env.agent_selection)["action_mask"]
            .tobytes(), repr(env.game), dict(env.rewards))


@pytest.mark.parametrize("method, args, kwargs, error, message", [
    ("step", (1.5,), {}, TypeError, "action must be an integer, got 1.5"),
    ("step", ("524",), {}, TypeError, "action must be an integer"),
    ("step", (0,), {}, ValueError, "^Invalid action$"),
    ("reset", (), dict(options={"fen": "garbage"}), ValueError, "FEN 'garbage'"),
    ("reset", (), dict(options={"fen": ""}), ValueError, "FEN ''"),
    ("reset", (), dict(options={"fen": MATED}), ValueError, "finished game"),
])
def test_pettingzoo_refused_calls_leave_the_game_unchanged(method, args, kwargs, error, message):
    env, twin = pz_game(), pz_game()
    state = env.game.save_state()
    state.move_index = {}   # a refused play lists the position again, as step always has
    before = pz_snapshot(env)[1:], state.__getstate__()
    with pytest.raises(error, match=message):
        getattr(env, method)(*args, **kwargs)
    after = env.game.save_state()
    after.move_index = {}
    assert (pz_snapshot(env)[1:], after.__getstate__()) == before
    assert "fide" in repr(env.game)   # the rules survive a refused reset too
    for e in (env, twin):
        e.step(e.game.uci_to_action("e7e5"))
    assert pz_snapshot(env) == pz_snapshot(twin)


# ---- the data tools and the command line

pytest.importorskip("pyarrow")
import varnok.data as vd  # noqa: E402
from varnok.__main__ import main  # noqa: E402

SELFPLAY = [
    (dict(games=0), ValueError, "games must be at least 1, got 0"),
    (dict(games=1.5), TypeError, "games must be an integer, got 1.5"),
    (dict(games="2"), TypeError, "games must be an integer"),
    (dict(games_per_shard=0), ValueError, "games_per_shard must be at least 1"),
    (dict(seed=-1), ValueError, "seed must be at least 0"),
    (dict(seed=0.5), TypeError, "seed must be an integer"),
    (dict(search="mcts"), ValueError, "search must be one of uct, uniform, policy"),
    (dict(search="policy"), ValueError, 'a policy \\("module:function"\\) goes with search="policy"'),
    (dict(policy="m:f"), ValueError, "goes with search=\"policy\", and only with it"),
    (dict(search="policy", policy="nocolon"), ValueError, "policy must be given as module:function"),
    (dict(search="policy", policy=":f"), ValueError, "policy must be given as module:function"),
    (dict(search="policy", policy=5), TypeError, "policy must be a str"),
    (dict(simulations=0), ValueError, "simulations must be at least 1"),
    (dict(simulations=-1), ValueError, "simulations must be at least 1"),
    (dict(leaves_per_tree=0), ValueError, "leaves_per_tree must be at least 1"),
    (dict(search="uniform", leaves_per_tree=0), ValueError, "leaves_per_tree must be at least 1"),
    *[(dict(temperature=v), ValueError, "temperature must be a finite number") for v in (math.nan, math.inf, -1)],
    (dict(temperature="1"), TypeError, "temperature must be a number"),
    (dict(temperature_plies=-1), ValueError, "temperature_plies must be at least 0"),
    (dict(max_plies=0), ValueError, "max_plies must be 1 to"),
    (dict(max_plies=2**31), ValueError, "max_plies must be 1 to"),
    *[(dict(resign=v), ValueError, "resign must be a finite number") for v in (math.nan, -math.inf)],
    (dict(resign_min_plies=-1), ValueError, "resign_min_plies must be at least 0"),
    *[(dict(c_puct=v), ValueError, "c_puct must be a finite number") for v in (math.nan, -1)],
    (dict(dirichlet_alpha=0), ValueError, "dirichlet_alpha must be a finite number above 0"),
    (dict(dirichlet_alpha=math.nan), ValueError, "dirichlet_alpha must be a finite number"),
    (dict(dirichlet_fraction=1.5), ValueError, "dirichlet_fraction must be a finite number from 0.0 to 1.0"),
    (dict(threads=0), ValueError, "threads must be 1 to 1024"),
    (dict(threads=2**20), ValueError, "threads must be 1 to 1024"),
    (dict(openings="missing-openings.txt"), FileNotFoundError, "missing-openings.txt"),
    *[(dict(workers=v), ValueError, "workers must be a positive int, got") for v in (True, 1.0, np.float64(1))],
]


def small_selfplay(out, **options):
    return vd.selfplay(out, **{"games": 2, "simulations": 2, "max_plies": 6, "engine": "local",
                               "progress": False, **options})


@pytest.mark.parametrize("options, error, message", SELFPLAY)
def test_selfplay_refuses_before_making_the_folder(tmp_path, options, error, message):
    out = tmp_path / "out"
    with pytest.raises(error, match=message):
        small_selfplay(out, **options)
    assert not out.exists()


def test_a_worker_count_is_any_integer_numpy_s_too(tmp_path):
    assert small_selfplay(tmp_path / "out", workers=np.int64(1))["games"] == 2


def test_a_refused_rerun_leaves_a_finished_folder_as_it_was(tmp_path):
    out = tmp_path / "out"
    first = small_selfplay(out, seed=3)
    files = {name: (out / name).read_bytes() for name in os.listdir(out)}
    with pytest.raises(ValueError, match="temperature"):
        small_selfplay(out, seed=3, temperature=math.nan)
    with pytest.raises(vd.ShardError, match="another job"):
        small_selfplay(out, seed=4)
    assert {name: (out / name).read_bytes() for name in os.listdir(out)} == files
    assert vd.verify(out)["games"] == first["games"] == 2
    assert small_selfplay(out, seed=3)["shards_skipped"] == 1   # the same job resumes


@pytest.mark.parametrize("chunk_bytes, error, message", [
    (0, ValueError, "chunk_bytes must be at least 1, got 0"),    # cut points would never advance
    (-1, ValueError, "chunk_bytes must be at least 1"),
    (1.5, TypeError, "chunk_bytes must be an integer"),
    (None, TypeError, "chunk_bytes must be an integer"),
])
def test_pgn2shards_refuses_chunk_sizes(tmp_path, chunk_bytes, error, message):
    source = tmp_path / "games.pgn"
    source.write_text("1. e4 e5 1-0\n\n1. d4 0-1\n")
    out = tmp_path / "out"
    with pytest.raises(error, match=message):
        vd.pgn2shards(source, out, chunk_bytes=chunk_bytes, engine="local", progress=False)
    assert not out.exists()
    assert vd.pgn2shards(source, out, chunk_bytes=8, engine="local", progress=False)["games"] == 2


def test_pgn2shards_and_verify_refuse_missing_sources(tmp_path):
    with pytest.raises(FileNotFoundError, match="no such PGN file or folder"):
        vd.pgn2shards(tmp_path / "missing.pgn", tmp_path / "out", engine="local", progress=False)
    with pytest.raises(FileNotFoundError, match="no .pgn files in this folder"):
        vd.pgn2shards(tmp_path, tmp_path / "out", engine="local", progress=False)
    with pytest.raises(vd.ShardError, match="no such shard folder"):
        vd.verify(tmp_path / "nothing")
    with pytest.raises(vd.ShardError, match="not a shard folder"):
        vd.verify(tmp_path)
    assert not (tmp_path / "out").exists()


# A path cut at a NUL byte would name another file: refused as open() refuses it.
@pytest.mark.parametrize("call, message", [
    (lambda d: vd.pgn2shards(str(d / "a.pgn") + "\0.other", d / "out", engine="local", progress=False), "source"),
    (lambda d: vd.pgn2shards(d / "a.pgn", str(d / "out") + "\0x", engine="local", progress=False), "shard folder"),
    (lambda d: small_selfplay(str(d / "out") + "\0x"), "shard folder"),
    (lambda d: vd.verify(str(d / "out") + "\0x"), "shard folder"),
    (lambda d: vd.read_shards(str(d / "out") + "\0x"), "shard folder"),
])
def test_paths_holding_a_nul_byte_are_refused(tmp_path, call, message):
    (tmp_path / "a.pgn").write_text('[Event "a"]\n\n1. e4 *\n')
    with pytest.raises(ValueError, match=f"{message}: embedded null byte"):
        call(tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["a.pgn"]


@pytest.mark.parametrize("options, error, message", [
    (dict(batch_size=0), ValueError, "batch_size must be at least 1, got 0"),
    (dict(batch_size=2.5), TypeError, "batch_size must be an integer"),
    (dict(obs="uint8"), ValueError, 'obs must be "packed", "float32" or "int32"'),
    (dict(obs=None), ValueError, "obs must be"),
    (dict(folder="nothing"), vd.ShardError, "no such shard folder"),
    (dict(folder="out/shard-000000.parquet"), vd.ShardError, "is a file, not a shard folder"),
])
def test_read_shards_refuses(tmp_path, options, error, message):
    """At the call, before a batch is asked for."""
    out = tmp_path / "out"
    small_selfplay(out, seed=5)
    files = {name: (out / name).read_bytes() for name in os.listdir(out)}
    options = dict(options)
    with pytest.raises(error, match=message):
        vd.read_shards(tmp_path / options.pop("folder", "out"), **options)
    assert {name: (out / name).read_bytes() for name in os.listdir(out)} == files
    rows = sum(len(batch["action"]) for batch in vd.read_shards(out, batch_size=3))
    assert rows == vd.verify(out)["positions"]


@pytest.mark.parametrize("argv, message", [
    (["selfplay", "{out}", "--games", "0", "--engine", "local", "--quiet"], "games must be at least 1"),
    (["selfplay", "{out}", "--games", "1", "--temperature", "nan", "--engine", "local", "--quiet"],
     "temperature must be a finite number"),
    (["selfplay", "{out}", "--games", "1", "--simulations", "0", "--engine", "local", "--quiet"],
     "simulations must be at least 1"),
    (["selfplay", "{out}", "--games", "1", "--search", "policy", "--policy", "nocolon", "--engine", "local",
      "--quiet"], "policy must be given as module:function"),
    (["pgn2shards", "{missing}", "{out}", "--engine", "local", "--quiet"], "no such PGN file or folder"),
    (["pgn2shards", "/dev/null", "{out}", "--engine", "local", "--quiet"], "/dev/null: not a regular file"),
    *[(["pgn2shards", "{pgn}", "{out}", "--chunk-mb", mb, "--engine", "local", "--quiet"],
       f"--chunk-mb must be a finite number at least 1e-06, got {mb}") for mb in ("inf", "nan", "-1.0", "0.0")],
    (["selfplay", "{out}", "--games", "1", "--workers", "0", "--quiet"], "workers must be a positive int, got 0"),
    # Shard numbers have six digits: the millionth-and-first would make the folder unreadable.
    (["selfplay", "{out}", "--games", "1000001", "--games-per-shard", "1", "--quiet"],
     "needs 1000001 shards, more than the 1000000 a folder numbers: raise games_per_shard"),
    (["pgn2shards", "{pgn}", "{out}", "--workers", "-2", "--quiet"], "workers must be a positive int, got -2"),
    # The local engine works in this process alone: a worker count or a cluster is not quietly dropped.
    (["selfplay", "{out}", "--games", "1", "--engine", "local", "--workers", "4", "--quiet"],
     "the local engine works in this process alone: 4 workers need engine 'ray'"),
    (["pgn2shards", "{pgn}", "{out}", "--engine", "local", "--address", "head:6379", "--quiet"],
     "address 'head:6379' names a Ray cluster: it needs engine 'ray', not 'local'"),
    # Nothing listens on port 1 here: said at once, where Ray would try for minutes.
    (["selfplay", "{out}", "--games", "1", "--address", "127.0.0.1:1", "--quiet"],
     "no Ray cluster answers at 127.0.0.1:1: Connection refused"),
    # Openings that would leave the initial position in their place, or a game that cannot start.
    (["selfplay", "{out}", "--games", "1", "--openings", "{tmp}/empty.fen", "--quiet"], "empty.fen: no start position"),
    (["selfplay", "{out}", "--games", "1", "--openings", "{tmp}/mate.fen", "--quiet"], "opening 0 (rnb1kbnr"),
    # A Chess960 start in a game of standard chess: refused as such, not read as another position.
    (["selfplay", "{out}", "--games", "1", "--openings", "{tmp}/c960.fen", "--quiet"],
     "c960.fen, line 1: FEN castling field 'HAha': expected '-' or letters of KQkq in that order, each once "
     "(a Chess960 position, which a game of standard chess cannot start from)"),
    (["match", "random", "random", "--openings", "{tmp}/c960.fen", "--quiet"], "(a Chess960 position, which"),
    # A PGN book's refusal names the file and the line of the game, as a FEN file's does.
    (["match", "random", "random", "--openings", "{tmp}/c960.pgn", "--quiet"],
     "c960.pgn, line 3: FEN castling field 'KQkq'"),
    (["match", "random", "random", "--openings", "{tmp}/broken.pgn", "--quiet"],
     "broken.pgn, line 3: illegal SAN move 'e4'"),
    (["match", "random", "random", "--games", "0", "--quiet"], "games must be at least 1, got 0"),
    (["match", "random", "random", "--workers", "2", "--quiet"], "the local engine works in this process alone"),
    (["verify", "{out}"], "no such shard folder"),
    # The policy is tried in this process before any worker (or Ray) starts.
    (["selfplay", "{out}", "--games", "1", "--search", "policy", "--policy", "nosuchmod:evaluate", "--quiet"],
     "policy nosuchmod:evaluate: cannot import nosuchmod (ModuleNotFoundError: No module named 'nosuchmod')"),
    (["selfplay", "{out}", "--games", "1", "--search", "policy", "--policy", "clipolicy:narrow", "--quiet"],
     "policy clipolicy:narrow failed on a batch of 2 start positions: ValueError: priors must have shape "
     "(2, 4672), got (2, 10)"),
    (["selfplay", "{out}", "--games", "1", "--search", "policy", "--policy", "clipolicy:broken", "--quiet"],
     "failed on a batch of 2 start positions: ZeroDivisionError: division by zero"),
    (["selfplay", "{out}", "--games", "1", "--search", "policy", "--policy", "clipolicy:missing", "--quiet"],
     "policy clipolicy:missing: missing is not a function of clipolicy"),
])
def test_the_command_line_reports_refusals_and_makes_nothing(tmp_path, capsys, monkeypatch, argv, message):
    out, missing = tmp_path / "out", tmp_path / "missing.pgn"
    (tmp_path / "clipolicy.py").write_text(
        "import numpy as np\n"
        "def narrow(obs, mask):\n    return np.ones((len(obs), 10), np.float32), np.zeros(len(obs), np.float32)\n"
        "def broken(obs, mask):\n    return 1 / 0\n")
    (tmp_path / "a.pgn").write_text("1. e4 e5 1-0\n")
    (tmp_path / "empty.fen").write_text("# no position yet\n")
    (tmp_path / "mate.fen").write_text("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3\n")
    (tmp_path / "c960.fen").write_text("rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1\n")
    (tmp_path / "c960.pgn").write_text('1. e4 e5 *\n\n[Variant "Chess960"]\n'
                                       '[FEN "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1"]\n\n1. e4 *\n')
    (tmp_path / "broken.pgn").write_text("1. e4 e5 *\n\n1. e4 e4 *\n\n1. d4 d5 *\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr("varnok._engine.RayEngine.__init__", no_ray)
    argv = [a.format(out=out, missing=missing, pgn=tmp_path / "a.pgn", tmp=tmp_path) for a in argv]
    assert main(argv) == (2 if argv[0] == "match" else 1)   # a match's faulty arguments are usage errors
    err = capsys.readouterr().err
    assert err.startswith("error: ") and message in err and err.count("\n") == 1
    assert not out.exists()


LATE_POLICY = """
import numpy as np
calls = 0

def answer(obs, mask, late):
    global calls
    calls += 1
    priors = mask.astype(np.float32)
    if calls > 1 and late == "raises":
        raise KeyError("late")
    if calls > 1:
        priors[:] = np.nan
    return priors, np.zeros(len(obs), np.float32)

def raises(obs, mask):
    return answer(obs, mask, "raises")

def nan(obs, mask):
    return answer(obs, mask, "nan")
"""


@pytest.mark.parametrize("name, message", [
    ("raises", "KeyError: 'late'"),
    ("nan", "ValueError: row 0 (tree 0): the prior of legal action"),
])
def test_a_policy_failing_after_its_first_batch_is_one_line_naming_it(tmp_path, capsys, monkeypatch, name, message):
    """The policy is tried on one batch before the job; one that fails on a
    later batch stops the job with one line naming it, not a traceback."""
    (tmp_path / "latepolicy.py").write_text(LATE_POLICY)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(__import__("sys").modules, "latepolicy", raising=False)   # its count starts again
    argv = ["selfplay", str(tmp_path / "out"), "--games", "1", "--search", "policy", "--policy", f"latepolicy:{name}",
            "--simulations", "2", "--max-plies", "4", "--engine", "local", "--quiet"]
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"error: policy latepolicy:{name} failed on a batch of ") and message in err, err
    assert "start positions" not in err and err.count("\n") == 1   # past the trial batch, in the job itself


def no_ray(*args, **kwargs):
    raise AssertionError("Ray was started")


@pytest.mark.parametrize("command", [["selfplay", "{out}", "--games", "1"], ["pgn2shards", "{pgn}", "{out}"]])
def test_the_ray_engine_without_ray_is_said_before_anything_is_made(tmp_path, capsys, monkeypatch, command):
    monkeypatch.setitem(__import__("sys").modules, "ray", None)  # as if the ray extra were not installed
    (tmp_path / "a.pgn").write_text("1. e4 e5 1-0\n")
    assert main([a.format(out=tmp_path / "out", pgn=tmp_path / "a.pgn") for a in command] + ["--quiet"]) == 1
    assert "error: the Ray engine needs the ray extra" in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("argv, message", [
    (["selfplay", "{file}", "--games", "2"], "{file}: is a file, not a shard folder"),
    (["pgn2shards", "{pgn}", "{file}"], "{file}: is a file, not a shard folder"),
    (["verify", "{done}/shard-000000.parquet"], "shard-000000.parquet: is a file, not a shard folder"),
    (["selfplay", "{done}", "--games", "2", "--seed", "4", "--simulations", "2", "--max-plies", "6"],
     "holds shards of another job: seed: the folder's 3, this run's 4; choose an empty folder or the same settings"),
    (["selfplay", "{done}", "--games", "3", "--seed", "3", "--simulations", "2", "--max-plies", "6"],
     "another job: games: the folder's 2, this run's 3;"),
    (["pgn2shards", "{pgn}", "{done}"],   # the kind alone: every other setting differs with it
     "another job: kind: the folder's 'selfplay', this run's 'pgn'; choose an empty folder"),
])
def test_the_command_line_names_what_is_wrong_with_the_output(tmp_path, capsys, monkeypatch, argv, message):
    monkeypatch.setattr("varnok._engine.RayEngine.__init__", no_ray)
    paths = {"file": tmp_path / "file.txt", "pgn": tmp_path / "g.pgn", "done": tmp_path / "done"}
    paths["file"].write_text("mine")
    paths["pgn"].write_text("1. e4 e5 *\n")
    small_selfplay(paths["done"], seed=3)
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    assert main([a.format(**paths) for a in argv]) == 1
    err = capsys.readouterr().err
    assert err.startswith("error: ") and message.format(**paths) in err and err.count("\n") == 1
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


def test_a_finished_job_rerun_has_nothing_to_do_and_starts_no_engine(tmp_path, capsys, monkeypatch):
    out = tmp_path / "out"
    small_selfplay(out, seed=3)
    monkeypatch.setattr("varnok._engine.RayEngine.__init__", no_ray)
    assert main(["selfplay", str(out), "--games", "2", "--seed", "3", "--simulations", "2", "--max-plies", "6",
                 "--quiet"]) == 0
    assert capsys.readouterr().out == "nothing to do: 2 games already there (1 shard finished)\n"


@pytest.mark.parametrize("command", ["selfplay", "pgn2shards", "verify"])
def test_every_option_has_help_and_shows_its_default(command):
    import argparse
    from varnok.__main__ import parser
    sub = next(a for a in parser()._actions if isinstance(a, argparse._SubParsersAction)).choices[command]
    text = " ".join(sub.format_help().split())
    assert "examples: python -m varnok " + command in text
    for action in sub._actions:
        if isinstance(action, argparse._HelpAction):
            continue
        assert action.help, f"{command} {action.dest} has no help text"
        if action.option_strings and not action.required:
            assert "default" in sub._get_formatter()._get_help_string(action), f"{command} {action.dest}"
            if not (action.default is None or action.default is False):
                assert f"(default: {action.default})" in text


@pytest.mark.parametrize("argv", [
    ["selfplay", "out", "--games", "x"],
    ["selfplay", "out", "--games", "1.5"],
    ["selfplay", "out"],                                   # --games is required
    ["selfplay", "out", "--games", "1", "--search", "mcts"],
    ["selfplay", "out", "--games", "1", "--engine", "cluster"],
    ["shuffle", "out"],
    [],
])
def test_the_command_line_refuses_malformed_arguments(tmp_path, capsys, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 2
    assert "usage: python -m varnok" in capsys.readouterr().err
    assert os.listdir(tmp_path) == []
