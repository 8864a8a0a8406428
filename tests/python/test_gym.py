"""varnok.gym: the single-agent view and the native Gymnasium vector env,
driven with random legal actions against plain ChessEnv games."""

import copy
import warnings

import numpy as np
import pytest
import varnok

if not hasattr(varnok, "__path__"):  # the adapters live in the varnok package, not the bare extension
    pytest.skip("varnok is installed as the bare extension module, not the package", allow_module_level=True)

gymnasium = pytest.importorskip("gymnasium")
from gymnasium.utils.env_checker import check_env  # noqa: E402

import varnok.gym as vgym  # noqa: E402


def mover_reward(white_reward, mover):
    return white_reward if mover == 0 else -white_reward


class TestSingle:
    def test_passes_gymnasium_env_checker(self, monkeypatch):
        # The checker makes the env in every render mode, "human" too: a
        # window on SDL's dummy video driver stands in for a display.
        pytest.importorskip("pygame")
        monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            # the move-count plane has no upper bound
            warnings.filterwarnings("ignore", message=".*maximum value is infinity.*")
            check_env(gymnasium.make(vgym.ENV_ID).unwrapped)
            check_env(gymnasium.make(vgym.ENV_ID, max_steps=30, render_mode="ansi").unwrapped)

    def test_random_games_match_a_plain_chess_env(self):
        env = gymnasium.make(vgym.ENV_ID)
        plain = varnok.ChessEnv("fide")  # the adapter's default rules
        rng = np.random.default_rng(3)
        endings = set()
        for game in range(20):
            obs, info = env.reset(seed=game)
            env.action_space.seed(game)  # the draws too, so the games are the same every run
            side = plain.reset()[0]
            while True:
                np.testing.assert_array_equal(obs, plain.observation())
                np.testing.assert_array_equal(info["action_mask"], plain.legal_mask())
                assert info["action_mask"].dtype == np.int8 and info["to_play"] == side
                np.testing.assert_array_equal(env.unwrapped.action_masks(), plain.legal_mask())
                action = env.action_space.sample(info["action_mask"])
                assert info["action_mask"][action] == 1
                mover = side
                side, white_reward, done = plain.play(action)
                obs, reward, terminated, truncated, info = env.step(action)
                assert reward == mover_reward(white_reward, mover)
                assert terminated == bool(done) and not truncated
                if done:
                    np.testing.assert_array_equal(obs, plain.observation())
                    assert info["reason"] == plain.outcome()
                    endings.add(plain.outcome())
                    break
        assert "checkmate" in endings

    def test_mate_rewards_the_mover(self):
        env = vgym.ChessEnv()
        for fen, mate in [("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "a1a8"),
                          ("r5k1/8/8/8/8/8/5PPP/6K1 b - - 0 1", "a8a1")]:
            env.reset(options={"fen": fen})
            _, reward, terminated, truncated, info = env.step(env.game.uci_to_action(mate))
            assert (reward, terminated, truncated, info["reason"]) == (1.0, True, False, "checkmate")

    def test_illegal_actions(self):
        env = vgym.ChessEnv()
        obs, info = env.reset()
        illegal = int(np.flatnonzero(info["action_mask"] == 0)[0])
        # The masks step judges by cannot be changed, in a copy of the env either.
        for mask in (info["action_mask"], env.action_masks(), copy.deepcopy(env).action_masks()):
            with pytest.raises(ValueError, match="read-only"):
                mask[illegal] = 1
        for bad in (illegal, -1, 4672):
            env.reset()
            after, reward, terminated, truncated, info = env.step(bad)
            assert (reward, terminated, truncated, info["reason"]) == (-1.0, True, False, "illegal_action")
            np.testing.assert_array_equal(after, obs)
            with pytest.raises(RuntimeError):
                env.step(564)
        against = vgym.ChessEnv(opponent="random", agent_color="black")   # the info keys of its every step
        against.reset(seed=0)
        _, reward, _, _, info = against.step(-1)
        assert (reward, info["to_play"], info["agent_color"], info["opponent_action"]) == (-1.0, 1, 1, -1)
        against = vgym.ChessVectorEnv(1, opponent="random")   # its new game waits for the agent, not the opponent
        against.reset(seed=0)
        _, reward, _, _, info = against.step(np.array([-1]))
        assert (reward[0], info["agent_color"][0], info["opponent_action"][0]) == (-1.0, 0, -1)
        strict = vgym.ChessEnv(illegal_action="raise")
        strict.reset()
        fen = strict.game.fen()
        with pytest.raises(ValueError):
            strict.step(illegal)
        assert strict.game.fen() == fen
        assert strict.step(564)[1:4] == (0.0, False, False)
        with pytest.raises(ValueError):
            vgym.ChessEnv(illegal_action="ignore")

    def test_truncation_is_kept_apart_from_termination(self):
        env = vgym.ChessEnv(max_steps=5)
        _, info = env.reset()
        for ply in range(5):
            _, _, terminated, truncated, info = env.step(int(np.flatnonzero(info["action_mask"])[0]))
            assert not terminated and truncated == (ply == 4)
        assert info["reason"] == "truncated"

    @pytest.mark.parametrize("options, moves, reason, legal_left", [
        (dict(max_steps=2), ["e2e4", "e7e5"], "truncated", 29),
        (dict(rules="classic"), ["g1f3", "g8f6", "f3g1", "f6g8"] * 2, "repetition", 20),
        ({}, ["f2f3", "e7e5", "g2g4", "d8h4"], "checkmate", 0),
        ({}, ["e2e4", None], "illegal_action", 0),
        (dict(opponent="random"), ["e2e4", None], "illegal_action", 0),
    ])
    def test_both_masks_agree_at_the_end(self, options, moves, reason, legal_left):
        env = vgym.ChessEnv(**options)
        _, info = env.reset(seed=0)
        for uci in moves:   # None: an illegal action
            action = int(np.flatnonzero(info["action_mask"] == 0)[0]) if uci is None else env.game.uci_to_action(uci)
            _, _, terminated, truncated, info = env.step(action)
        assert info["reason"] == reason
        assert env.action_masks().dtype == bool and np.array_equal(env.action_masks(), info["action_mask"])
        assert info["action_mask"].sum() == legal_left


def random_legal(masks, rng):
    """One uniformly random legal action per row of a (N, 4672) mask."""
    keys = rng.random(masks.shape) * masks
    return keys.argmax(axis=1)


@pytest.mark.threads
class TestVector:
    def test_make_vec_gives_the_native_backed_vector_env(self):
        envs = gymnasium.make_vec(vgym.ENV_ID, num_envs=3, vectorization_mode="vector_entry_point")
        assert isinstance(envs, gymnasium.vector.VectorEnv)
        assert isinstance(envs.unwrapped, vgym.ChessVectorEnv)
        assert isinstance(envs.unwrapped.native, varnok.VectorEnv)
        assert envs.metadata["autoreset_mode"] == gymnasium.vector.AutoresetMode.SAME_STEP
        assert envs.observation_space.shape == (3, 119, 8, 8)
        assert envs.single_action_space == gymnasium.spaces.Discrete(4672)
        obs, infos = envs.reset(seed=1)
        assert envs.observation_space.contains(obs)
        for _ in range(40):  # the native chooser picks a legal move of every row
            actions = envs.unwrapped.random_actions()
            assert infos["action_mask"][np.arange(3), actions].all()
            obs, _, _, _, infos = envs.step(actions)

    @pytest.mark.parametrize("copy", [False, True])
    def test_random_games_match_plain_chess_envs(self, copy):
        n = 6
        envs = vgym.ChessVectorEnv(num_envs=n, num_threads=2, seed=4, copy=copy, max_steps=150)
        plains = [varnok.ChessEnv("fide") for _ in range(n)]
        sides = [p.reset()[0] for p in plains]
        plies = [0] * n
        rng = np.random.default_rng(8)
        obs, infos = envs.reset(seed=4)
        ended = {"terminated": 0, "truncated": 0}
        for _ in range(900):
            for i, plain in enumerate(plains):
                np.testing.assert_array_equal(obs[i], plain.observation())
                np.testing.assert_array_equal(infos["action_mask"][i], plain.legal_mask())
                assert infos["to_play"][i] == sides[i]
            actions = random_legal(infos["action_mask"], rng)
            obs, rewards, terminated, truncated, infos = envs.step(actions)
            assert obs.shape == (n, 119, 8, 8) and rewards.dtype == np.float32
            for i, plain in enumerate(plains):
                mover = sides[i]
                sides[i], white_reward, done = plain.play(int(actions[i]))
                plies[i] += 1
                cut = not done and plies[i] == 150
                assert rewards[i] == mover_reward(white_reward, mover)
                assert (terminated[i], truncated[i]) == (bool(done), cut)
                assert infos.get("_final_obs", np.zeros(n, bool))[i] == (bool(done) or cut)
                if done or cut:
                    np.testing.assert_array_equal(infos["final_obs"][i], plain.observation())
                    ended["terminated" if done else "truncated"] += 1
                    sides[i], plies[i] = plain.reset()[0], 0
                elif "final_obs" in infos:
                    assert infos["final_obs"][i] is None
        assert ended["terminated"] > 0 and ended["truncated"] > 0

    @pytest.mark.parametrize("dtype", [np.int64, np.uint64, np.int32, np.uint32, np.int16, np.uint16])
    @pytest.mark.parametrize("outside", [True, False])   # row 3's illegal action: outside the space, or in it
    def test_illegal_rows_lose_and_start_again(self, dtype, outside):
        n = 4
        envs = vgym.ChessVectorEnv(num_envs=n, num_threads=1, seed=2)
        obs, infos = envs.reset(seed=2)
        rng = np.random.default_rng(1)
        for _ in range(3):
            obs, _, _, _, infos = envs.step(random_legal(infos["action_mask"], rng))
        before = obs.copy()
        actions = random_legal(infos["action_mask"], rng)
        actions[1] = int(np.flatnonzero(infos["action_mask"][1] == 0)[0])
        actions[3] = 5000 if outside else int(np.flatnonzero(infos["action_mask"][3] == 0)[-1])
        obs, rewards, terminated, truncated, infos = envs.step(actions.astype(dtype))
        assert terminated.tolist() == [False, True, False, True] and not truncated.any()
        assert rewards[1] == rewards[3] == -1.0
        assert infos["final_info"]["reason"][[1, 3]].tolist() == [17, 17]
        start = varnok.ChessEnv()
        start.reset()
        for i in (1, 3):
            np.testing.assert_array_equal(infos["final_obs"][i], before[i])
            np.testing.assert_array_equal(obs[i], start.observation())
            np.testing.assert_array_equal(infos["action_mask"][i], start.legal_mask())
        assert not (obs[0] == before[0]).all()
        envs.step(random_legal(infos["action_mask"], rng))   # the restarted rows play on

        strict = vgym.ChessVectorEnv(num_envs=n, illegal_action="raise", seed=2)
        _, infos = strict.reset()
        actions = random_legal(infos["action_mask"], rng)
        actions[2] = 0
        with pytest.raises(ValueError):
            strict.step(actions)

    @pytest.mark.parametrize("options", [{}, {"opponent": "random"}, {"opponent": "random", "agent_color": "black"},
                                         {"opponent": "random", "max_steps": 3}])
    def test_max_episode_steps_counts_steps_in_every_vectorization_mode(self, options):
        # make_vec's sync mode caps each game with TimeLimit, in steps; the
        # native vector env must cut its games at the same steps.
        cuts = []
        for mode, kwargs in (("sync", {"autoreset_mode": gymnasium.vector.AutoresetMode.SAME_STEP}),
                             ("vector_entry_point", {})):
            envs = gymnasium.make_vec(vgym.ENV_ID, 2, vectorization_mode=mode, vector_kwargs=kwargs,
                                      max_episode_steps=3, **options)
            _, infos = envs.reset(seed=0)
            rng = np.random.default_rng(0)
            cuts.append([])
            for _ in range(7):
                _, _, _, truncated, infos = envs.step(random_legal(infos["action_mask"], rng))
                cuts[-1].append(truncated.tolist())
        assert cuts[0] == cuts[1] and [True, True] in cuts[0]

    @pytest.mark.parametrize("seed, same_as", [(np.uint64(7), 7), (2**64 - 1, 2**64 - 1), (2**64, None), (-1, None)])
    def test_seeds_are_the_native_generators_or_refused_before_any_change(self, seed, same_as):
        def first_steps(envs, seed):
            obs, _ = envs.reset(seed=seed)
            return obs.copy(), envs.random_actions(), envs._agent.copy()

        envs = vgym.ChessVectorEnv(3, chess960=True, opponent="random", agent_color="random")
        if same_as is not None:
            twin = first_steps(vgym.ChessVectorEnv(3, chess960=True, opponent="random", agent_color="random"), same_as)
            for ours, theirs in zip(first_steps(envs, seed), twin):
                np.testing.assert_array_equal(ours, theirs)
            assert all(np.array_equal(a, b) for a, b in zip(first_steps(
                vgym.ChessVectorEnv(3, seed=seed, chess960=True, opponent="random", agent_color="random"), seed), twin))
            return
        first_steps(envs, 5)
        draws = envs.np_random.bit_generator.state
        with pytest.raises(ValueError, match="seed must be 0 to"):
            envs.reset(seed=seed)
        with pytest.raises(ValueError, match="seed must be 0 to"):
            vgym.ChessVectorEnv(3, seed=seed)
        assert envs.np_random.bit_generator.state == draws   # the agent's sides and the opponent's draws too
        envs.step(envs.random_actions())

    @pytest.mark.parametrize("copy", [False, True])
    @pytest.mark.parametrize("starts, chess960", [(["4k3/8/8/8/8/8/8/4K2R w K - 0 1"], False), (None, True)])
    def test_a_row_lost_by_an_illegal_action_starts_as_an_auto_reset_does(self, starts, chess960, copy):
        # The new game is drawn as every other new game: from the start
        # positions, or a Chess960 array from the constructor's seed.
        def restarted():
            envs = vgym.ChessVectorEnv(num_envs=2, seed=5, chess960=chess960, copy=copy)
            if starts:
                envs.native.set_start_positions(starts)
            _, infos = envs.reset()
            actions = envs.random_actions()
            actions[0] = int(np.flatnonzero(infos["action_mask"][0] == 0)[0])
            obs, _, terminated, _, infos = envs.step(actions)
            assert terminated[0] and infos["to_play"][0] == envs.native.save_state(0).side
            return envs.native.save_state(0), obs[0].copy(), infos["action_mask"][0].copy()

        state, obs, mask = restarted()
        game = varnok.ChessEnv(chess960=chess960)
        game.restore_state(state)
        assert game.fen() in (starts or [game.fen()]) and state == restarted()[0]
        np.testing.assert_array_equal(mask, game.legal_mask())
        assert obs.any()


# A FEN starts an adapter's episode unless the game cannot go on by the rules
# of play: refused exactly where python-chess's outcome is checkmate or
# stalemate. Its other outcomes (the 75-move rule, a dead position) are the
# draw rules', judged by the episode's first step, so such a FEN is taken.
FEN_OUTCOMES = [
    ("fide", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"),
    ("fide", "4k3/8/8/8/8/8/4R3/4K3 b - - 0 1"),                          # in check, with a way out
    ("classic", "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"),   # fool's mate
    ("fide", "7k/6Q1/6K1/8/8/8/8/8 b - - 0 1"),
    ("fide-strict", "k7/8/1Q6/8/8/8/8/7K b - - 150 90"),                  # stalemate with the clock run out
    ("fide", "4k3/8/8/8/8/8/8/4K2R w - - 150 90"),                        # the clock run out
    ("fide", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),                            # lone kings
    ("classic", "8/8/8/8/8/5k2/5p2/5K2 w - - 0 1"),                      # stalemated by a pawn
]


@pytest.mark.parametrize("rules, fen", FEN_OUTCOMES)
def test_a_fen_is_refused_exactly_when_no_move_can_be_played(rules, fen):
    chess = pytest.importorskip("chess")
    outcome = chess.Board(fen).outcome()
    ended = {chess.Termination.CHECKMATE: "checkmate", chess.Termination.STALEMATE: "stalemate"}.get(
        outcome and outcome.termination)
    env = vgym.ChessEnv(rules=rules)
    env.reset(seed=1)
    if ended:
        draws = env.np_random.bit_generator.state
        with pytest.raises(ValueError, match=rf"is a finished game \({ended}\)"):
            env.reset(seed=2, options={"fen": fen})
        assert env.np_random.bit_generator.state == draws   # a refused reset changes nothing
    else:
        assert env.reset(options={"fen": fen})[1]["action_mask"].any()
