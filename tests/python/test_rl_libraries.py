"""varnok with the libraries people train with: Stable-Baselines3 (with
sb3-contrib's MaskablePPO), TorchRL, and PyTorch/JAX reading the native
buffers without copies."""

import warnings

import chess
import numpy as np
import pytest
import varnok

if not hasattr(varnok, "__path__"):  # the adapters live in the varnok package, not the bare extension
    pytest.skip("varnok is installed as the bare extension module, not the package", allow_module_level=True)

torch = pytest.importorskip("torch")

MATES_IN_ONE = [   # white to move and mate
    "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1",
    "k7/8/1K6/8/8/8/8/6Q1 w - - 0 1",
    "r1bqkbnr/pppp1ppp/2n5/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4",
]


def test_sb3_vec_env_contract():
    pytest.importorskip("sb3_contrib")
    from sb3_contrib.common.maskable.utils import get_action_masks
    from stable_baselines3.common.env_checker import check_env

    import varnok.gym
    import varnok.sb3

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # SB3 advises on the unbounded move-count plane
        check_env(varnok.gym.ChessEnv(opponent="random"))
    env = varnok.sb3.VecEnv(4, opponent="random", max_steps=6, seed=0, render_mode="rgb_array")
    twin = varnok.gym.ChessVectorEnv(4, opponent="random", max_steps=6, seed=0)   # the same games
    obs = env.reset()
    assert obs.shape == (4, 119, 8, 8) and obs.dtype == np.float32
    assert np.array_equal(obs, twin.reset()[0])
    rng = np.random.default_rng(0)
    for step in range(1, 7):
        masks = get_action_masks(env)
        assert masks.shape == (4, 4672) and masks.dtype == bool and masks.any(axis=1).all()
        actions = np.array([rng.choice(np.flatnonzero(m)) for m in masks])
        if step == 6:
            actions[1] = np.flatnonzero(~masks[1])[0]   # an illegal action loses that game
        kept, seen = obs, obs.copy()
        obs, rewards, dones, infos = env.step(actions)
        assert np.array_equal(kept, seen) and not np.shares_memory(kept, obs)   # SB3 keeps the last ones
        twin_obs, twin_rewards, *_ = twin.step(actions)
        assert np.array_equal(obs, twin_obs) and np.array_equal(rewards, twin_rewards)
        if step < 3:   # 2 plies a step: no game reaches 6 plies before the third step
            assert not dones.any()
    assert dones.all()   # max_steps: every game truncated at its 6th ply, by the opponent's move
    assert rewards[1] == -1 and infos[1]["reason"] == "illegal_action" and not infos[1]["TimeLimit.truncated"]
    for info in infos[:1] + infos[2:]:
        assert info["TimeLimit.truncated"] and info["terminal_observation"].shape == (119, 8, 8)
    assert env.get_attr("render_mode") == ["rgb_array"] * 4
    env.set_attr("render_mode", None)
    assert env.get_attr("render_mode") == [None] * 4
    env.set_attr("render_mode", "rgb_array")
    for bad, error in ((np.full(4, 564.9), TypeError), (np.array([564, 564, 564]), ValueError)):
        with pytest.raises(error, match="actions must hold"):   # not cast: 564.9 is no action
            env.step(bad)
    assert len(env.env_method("action_masks", indices=[0, -1])) == 2
    for call in (lambda: env.get_attr("num_envs", indices=[4]), lambda: env.env_method("render", indices=4)):
        with pytest.raises(IndexError):
            call()
    assert env.get_images()[0].shape == (256, 256, 3)
    with pytest.raises(AttributeError, match="no method 'fly'"):
        env.env_method("fly")
    env.set_options({"fen": MATES_IN_ONE[0]})   # not passed over: the starts are start_fens
    with pytest.raises(ValueError, match='no "fen" reset option.*start_fens'):
        env.reset()
    env.close()
    env.close()
    for call in (env.get_images, env.reset, lambda: env.step(np.zeros(4, np.int64))):
        with pytest.raises(RuntimeError, match="closed"):
            call()
    with pytest.raises(TypeError, match="a list of FEN texts"):
        varnok.sb3.VecEnv(1, start_fens=MATES_IN_ONE[0])


# A start with rights only Chess960 has (king on b1, rooks on a1 and h1).
CHESS960_START = "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1"


@pytest.mark.parametrize("chess960, start_fens, refusal", [
    (True, None, None),                       # an array drawn per game
    (True, [CHESS960_START], None),
    (False, [MATES_IN_ONE[0], CHESS960_START], "start position 1: .*'HAha'.*a Chess960 position"),
    (1, None, "chess960 must be a bool"),
])
def test_sb3_vec_env_plays_chess960(chess960, start_fens, refusal):
    pytest.importorskip("sb3_contrib")
    from sb3_contrib import MaskablePPO
    from stable_baselines3.common.env_checker import check_env

    import varnok.gym
    import varnok.sb3

    options = dict(opponent="random", max_steps=8, seed=0, chess960=chess960, start_fens=start_fens)
    if refusal:
        with pytest.raises((TypeError, ValueError), match=refusal):
            varnok.sb3.VecEnv(4, **options)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # SB3 advises on the unbounded move-count plane
        check_env(varnok.gym.ChessEnv(opponent="random", chess960=True))
    starts = ({chess.Board(CHESS960_START, chess960=True).fen()} if start_fens
              else {varnok.chess960_fen(n) for n in range(960)})
    env = varnok.sb3.VecEnv(4, **options)
    twin = varnok.gym.ChessVectorEnv(4, **{k: v for k, v in options.items() if k != "start_fens"})
    if start_fens:
        twin.native.set_start_positions(start_fens)
    assert np.array_equal(env.reset(), twin.reset(seed=0)[0])   # the same games, from the same draws

    def start_fens_now():
        return [env.env.native.save_state(row).start_fen for row in range(4)]

    assert set(start_fens_now()) <= starts and (start_fens or len(set(start_fens_now())) > 1)
    torch.manual_seed(0)
    model = MaskablePPO("MlpPolicy", env, n_steps=16, batch_size=64, seed=0, policy_kwargs={"net_arch": [32]})
    model.learn(256)   # games end by max_steps and start again, still Chess960
    assert set(start_fens_now()) <= starts


def test_maskable_ppo_learns_to_mate_in_one():
    pytest.importorskip("sb3_contrib")
    from sb3_contrib import MaskablePPO
    from sb3_contrib.common.maskable.evaluation import evaluate_policy
    from stable_baselines3.common.vec_env import VecMonitor

    import varnok.sb3

    # One move an episode (max_steps=1): +1 for the mate, 0 for any other move.
    def make():
        return VecMonitor(varnok.sb3.VecEnv(16, opponent="random", max_steps=1, seed=0, start_fens=MATES_IN_ONE))

    torch.manual_seed(0)
    threads = torch.get_num_threads()
    torch.set_num_threads(1)   # a small network: threads cost more than they give
    model = MaskablePPO("MlpPolicy", make(), n_steps=32, batch_size=128, n_epochs=4, learning_rate=2e-3,
                        seed=0, policy_kwargs={"net_arch": [64]})
    untrained, _ = evaluate_policy(model, make(), n_eval_episodes=96, deterministic=False)
    try:
        model.learn(3_072)
    finally:
        torch.set_num_threads(threads)
    trained, _ = evaluate_policy(model, make(), n_eval_episodes=96, deterministic=False)
    assert untrained < 0.25 and trained > 0.6, (untrained, trained)


@pytest.mark.parametrize("chess960", [False, True])
def test_torchrl_env_masks_reach_action_mask(chess960):
    pytest.importorskip("torchrl")
    from torchrl.envs.utils import check_env_specs

    import varnok.torchrl

    env = varnok.torchrl.env(opponent="random", max_steps=40, chess960=chess960)
    check_env_specs(env)
    env.set_seed(0)
    rollout = env.rollout(1000, break_when_any_done=False)
    assert rollout.batch_size == torch.Size([1000])
    start = varnok.ChessEnv()
    start.reset()   # the standard array, which a Chess960 game starts from once in 960 draws
    assert torch.equal(rollout["observation"][0], torch.from_numpy(start.observation())) != chess960
    actions = rollout["action"]
    masks = rollout["action_mask"]
    assert masks.dtype == torch.bool
    assert masks[torch.arange(1000), actions].all()   # every random step took a legal action
    assert rollout["next", "done"].sum() >= 1000 // 20   # episodes of at most 20 agent moves


def test_buffers_reach_torch_and_jax_without_copies():
    env = varnok.VectorEnv(8, seed=0)
    r = env.reset(seed=0)
    for name in ("obs", "legal_mask", "reward", "to_play"):
        array = getattr(r, name)
        tensor = torch.from_dlpack(array)
        assert tensor.data_ptr() == array.ctypes.data and tuple(tensor.shape) == array.shape
    tensor = torch.from_dlpack(r.obs)
    env.step(env.random_actions())
    assert torch.equal(tensor, torch.from_numpy(r.obs.copy()))   # a view: it shows the new step
    kept = torch.from_dlpack(r.obs).clone()                   # what a replay buffer keeps
    env.step(env.random_actions())
    assert not torch.equal(kept, torch.from_dlpack(r.obs))
    jax = pytest.importorskip("jax")
    on_device = jax.dlpack.from_dlpack(r.obs)
    assert np.array_equal(np.asarray(on_device), r.obs)
