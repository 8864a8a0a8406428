"""The single-agent task: the agent against a fixed opponent, alone and in
the vector env, and the native VectorEnv's rows that sit a step out."""

import numpy as np
import pytest
import varnok

if not hasattr(varnok, "__path__"):  # the adapters live in the varnok package, not the bare extension
    pytest.skip("varnok is installed as the bare extension module, not the package", allow_module_level=True)

gymnasium = pytest.importorskip("gymnasium")
import varnok.gym as vgym  # noqa: E402
from varnok import players  # noqa: E402


def first_legal(env):
    """A deterministic opponent: a mating move if there is one, else one
    picked by the position's hash."""
    import copy

    legal = env.legal_actions()
    for action in legal:
        trial = copy.copy(env)
        if trial.step(int(action))[2] != 0:
            return int(action)
    return int(legal[env.zobrist_hash() % len(legal)])


def agent_choice(mask, step, row):
    legal = np.flatnonzero(mask)
    return int(legal[(7 * step + row) % len(legal)])


@pytest.mark.parametrize("agent_color", ["white", "black"])
def test_vector_games_equal_single_games_against_the_same_opponent(agent_color):
    """Both players deterministic: each vector row must replay the single
    env's games exactly, ends and rewards too."""
    n, steps = 3, 200
    vec = vgym.ChessVectorEnv(n, opponent=first_legal, agent_color=agent_color, max_steps=80, copy=True)
    singles = [vgym.ChessEnv(opponent=first_legal, agent_color=agent_color, max_steps=80) for _ in range(n)]
    obs, infos = vec.reset(seed=0)
    single_obs = [env.reset(seed=0) for env in singles]
    side = 0 if agent_color == "white" else 1
    ends, seen_loss = 0, False
    for step in range(steps):
        assert (infos["to_play"] == side).all() and (infos["agent_color"] == side).all()
        for row, (o, info) in enumerate(single_obs):
            assert np.array_equal(obs[row], o)
            assert np.array_equal(infos["action_mask"][row], info["action_mask"])
        actions = np.array([agent_choice(m, step, row) for row, m in enumerate(infos["action_mask"])])
        obs, reward, terminated, truncated, infos = vec.step(actions)
        for row, env in enumerate(singles):
            o, r, term, trunc, info = env.step(int(actions[row]))
            seen_loss |= r == -1
            assert (reward[row], terminated[row], truncated[row]) == (r, term, trunc)
            if term or trunc:
                ends += 1
                assert np.array_equal(infos["final_obs"][row], o)
                o, info = env.reset()
            single_obs[row] = (o, info)
    assert ends >= n and seen_loss   # every row went through an end and a new game; the opponent mated


def test_rewards_are_the_agents_and_the_opponent_moves_for_the_other_side():
    import chess

    env = gymnasium.make(vgym.ENV_ID, opponent="random", agent_color="random")
    rng = np.random.default_rng(2)
    seen = {1.0: 0, -1.0: 0, 0.0: 0}
    colours = set()
    for game in range(60):
        obs, info = env.reset(seed=game)
        agent = info["agent_color"]
        colours.add(agent)
        done = False
        while not done:
            assert info["to_play"] == agent
            obs, reward, term, trunc, info = env.step(int(rng.choice(np.flatnonzero(info["action_mask"]))))
            done = term or trunc
        board = chess.Board()
        for uci in env.unwrapped.game.moves_uci():
            board.push_uci(uci)
        outcome = board.outcome(claim_draw=False)
        winner = None if outcome is None else outcome.winner
        want = 0.0 if winner is None else (1.0 if winner == (agent == 0) else -1.0)
        assert reward == want, (board.fen(), agent)
        seen[reward] += 1
    assert colours == {0, 1} and seen[1.0] and seen[-1.0]


def test_native_opponents_batch_in_the_vector_env():
    vec = gymnasium.make_vec(vgym.ENV_ID, num_envs=32, opponent="random", agent_color="random", seed=1)
    obs, infos = vec.reset(seed=1)
    results = []
    for _ in range(400):
        assert (infos["to_play"] == infos["agent_color"]).all()
        obs, reward, terminated, truncated, infos = vec.step(vec.unwrapped.random_actions())
        reasons = infos.get("final_info", {}).get("reason", np.zeros(32))
        assert (reward[reasons != 1] == 0).all()   # only a mate scores
        results += reward[reasons == 1].tolist()
    assert 1.0 in results and -1.0 in results


def test_every_opponent_move_is_told_in_the_infos():
    """A ChessEnv per row replays the agent's actions and the opponent's
    moves as the infos tell them (the reply, then the next game's first
    move); the observations must stay the vector env's own."""
    vec = vgym.ChessVectorEnv(16, seed=5, opponent="material:1", agent_color="black")
    obs, infos = vec.reset()
    mirrors = [varnok.ChessEnv("fide") for _ in range(16)]
    lost_and_opened = 0
    for row, mirror in enumerate(mirrors):
        mirror.reset()
        mirror.play(int(infos["opening_action"][row]))
    for step in range(150):
        actions = vec.random_actions()
        obs, reward, terminated, truncated, infos = vec.step(actions)
        for row, mirror in enumerate(mirrors):
            done = mirror.play(int(actions[row]))[2]
            if not done:
                done = mirror.play(int(infos["opponent_action"][row]))[2]
                lost_and_opened += bool(done)
            assert bool(done) == bool(terminated[row] | truncated[row]), (step, row)
            if done:
                mirror.reset()
                mirror.play(int(infos["opening_action"][row]))
            else:
                assert infos["opening_action"][row] == -1
            assert np.array_equal(obs[row], mirror.observation()), (step, row)
    assert lost_and_opened > 0


@pytest.mark.parametrize("options", [dict(opponent="random", agent_color="random"),
                                     dict(opponent="material:1", agent_color="black")])
def test_a_constructor_seed_makes_the_sides_and_the_opponent_reproducible(options):
    def played():
        vec = vgym.ChessVectorEnv(4, seed=7, **options)
        _, infos = vec.reset()
        seen = [infos["agent_color"].tolist()]
        for _ in range(30):
            _, _, _, _, infos = vec.step(vec.random_actions())
            seen.append((infos["agent_color"].tolist(), infos["opponent_action"].tolist()))
        return seen

    assert played() == played()


@pytest.mark.parametrize("opponent", ["material:1", "material:2", "uct:30"])
def test_a_copy_of_the_task_goes_on_as_the_original(opponent):
    import copy
    import pickle

    env = vgym.ChessEnv(opponent=opponent)
    _, info = env.reset(seed=3)
    for step in range(3):
        _, _, _, _, info = env.step(agent_choice(info["action_mask"], step, 0))
    twins = [copy.deepcopy(env), pickle.loads(pickle.dumps(env))]
    for step in range(3, 23):
        action = agent_choice(info["action_mask"], step, 0)
        obs, reward, done, _, info = env.step(action)
        for twin in twins:
            twin_obs, twin_reward, *_ = twin.step(action)
            assert np.array_equal(twin_obs, obs) and twin_reward == reward, step
        if done:
            break


def test_a_new_game_the_opponents_first_move_ends_is_started_again():
    # Half the start positions are a mate in one for black, the opponent:
    # such a game ends before the agent moves, and the agent must still
    # only ever be handed games where it is to move.
    mate_for_black = "r5k1/8/8/8/8/8/5PPP/6K1 b - - 0 1"
    quiet_black = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"
    vec = vgym.ChessVectorEnv(4, opponent="material:1", seed=19)
    vec.native.set_start_positions([quiet_black, mate_for_black])
    _, infos = vec.reset()
    for _ in range(60):
        assert (infos["to_play"] == 0).all()
        _, _, _, _, infos = vec.step(vec.random_actions())
    always_ends = vgym.ChessVectorEnv(2, opponent="material:1", seed=0)
    always_ends.native.set_start_positions([mate_for_black])
    with pytest.raises(ValueError, match="no position is left for the agent"):
        always_ends.reset()
    # A single env is given the one position: refused, and no episode is left to step.
    single = vgym.ChessEnv(opponent="material:1")
    single.reset()
    with pytest.raises(ValueError, match="no position is left for the agent"):
        single.reset(options={"fen": mate_for_black})
    with pytest.raises(RuntimeError, match="call reset"):
        single.step(564)


@pytest.mark.parametrize("vector", [False, True])
@pytest.mark.parametrize("agent_color, fails_at", [("black", 1), ("white", 2)])   # in reset, in a step
@pytest.mark.parametrize("failure, error", [("raise", KeyError), ("illegal", RuntimeError)])
def test_an_opponent_that_fails_leaves_no_game_for_the_agent(vector, agent_color, fails_at, failure, error):
    # The failure leaves a game with the opponent to move: a step must not
    # hand it to the agent (which would then move the opponent's pieces).
    calls = 0

    def opponent(env):
        nonlocal calls
        calls += 1
        if calls != fails_at:
            return int(env.legal_actions()[0])
        if failure == "raise":
            raise KeyError("the opponent's engine died")
        return int(np.flatnonzero(~env.legal_mask())[0])

    options = dict(opponent=opponent, agent_color=agent_color)
    env = vgym.ChessVectorEnv(2, seed=0, **options) if vector else vgym.ChessEnv(**options)
    with pytest.raises(error):
        _, info = env.reset(seed=0)
        for _ in range(2):
            info = env.step(info["action_mask"].argmax(axis=-1))[4]
    with pytest.raises(RuntimeError, match="call reset"):
        env.step(np.zeros(2, np.int64) if vector else 0)
    _, info = env.reset(seed=1)
    assert np.all(info["to_play"] == (agent_color == "black"))
    assert not np.any(env.step(info["action_mask"].argmax(axis=-1))[1])


@pytest.mark.parametrize("options, error, message", [
    (dict(agent_color="red", opponent="random"), ValueError, 'agent_color must be "white", "black" or "random"'),
    (dict(agent_color="black"), ValueError, "agent_color needs an opponent"),
    (dict(opponent=3), TypeError, "opponent must be None, a player named in text"),
    (dict(opponent="grandmaster"), ValueError, "grandmaster"),
])
def test_bad_opponent_options(options, error, message):
    for make in (vgym.ChessEnv, vgym.ChessVectorEnv):
        with pytest.raises(error, match=message):
            make(**options)


def test_rows_sit_a_step_out_and_keep_everything():
    env = varnok.VectorEnv(4, seed=3, copy=True)
    before = env.reset(seed=3)
    active = np.array([True, False, True, False])
    actions = env.random_actions()
    actions[~active] = -7   # not read
    for step in (lambda: env.step(actions, active=active),
                 lambda: (env.step_async(actions, active=active), env.step_wait())[1]):
        after = step()
        for name in ("obs", "legal_mask", "to_play"):
            assert np.array_equal(getattr(after, name)[~active], getattr(before, name)[~active])
            assert not np.array_equal(getattr(after, name)[active], getattr(before, name)[active])
        assert not after.reward[~active].any() and not after.terminated[~active].any()
        before = after
        actions = env.random_actions()
        actions[~active] = -7
    with pytest.raises(ValueError, match="row 1"):
        env.step(actions)   # without active every row is read
    for bad, error in ((np.ones(3, bool), ValueError), (np.ones(4, np.int8), TypeError)):
        with pytest.raises(error, match="active"):
            env.step(env.random_actions(), active=bad)


class Answers(players.Random):
    """Random moves, handed back through make: as floats, too few, as bools."""

    def __init__(self, make):
        super().__init__()
        self.make, self.name = make, "odd"

    def choose(self, games):
        return self.make(super().choose(games))


@pytest.mark.parametrize("make, error", [(lambda a: a + 0.5, TypeError), (lambda a: a[1:], RuntimeError),
                                         (lambda a: a.astype(bool), TypeError)])
def test_a_player_must_answer_one_integer_action_per_game(make, error):
    from varnok import arena

    for play in (lambda p: arena.match(p, players.Random(), games=4, max_plies=10),
                 lambda p: vgym.ChessVectorEnv(4, opponent=p, agent_color="black").reset(),
                 lambda p: vgym.ChessEnv(opponent=p, agent_color="black").reset()):
        with pytest.raises(error, match="'odd'"):
            play(Answers(make))
