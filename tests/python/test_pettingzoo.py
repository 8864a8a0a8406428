"""varnok.pettingzoo: PettingZoo's own API and seed tests, and random games
against a plain ChessEnv."""

import numpy as np
import pytest
import varnok

if not hasattr(varnok, "__path__"):  # the adapters live in the varnok package, not the bare extension
    pytest.skip("varnok is installed as the bare extension module, not the package", allow_module_level=True)

pytest.importorskip("pettingzoo")
from pettingzoo.test import api_test, seed_test  # noqa: E402

import varnok.pettingzoo as vpz  # noqa: E402


@pytest.mark.filterwarnings("ignore:Observation")
def test_pettingzoo_api_and_seed_tests():
    api_test(vpz.env(), num_cycles=200)
    api_test(vpz.raw_env(rules="fide", max_steps=40), num_cycles=200)
    seed_test(vpz.env, num_cycles=100)


def test_random_games_match_a_plain_chess_env():
    env = vpz.env()
    plain = varnok.ChessEnv("fide")  # the adapter's default rules
    rng = np.random.default_rng(2)
    results = set()
    for game in range(30):
        env.reset(seed=game)
        side = plain.reset()[0]
        for agent in env.agent_iter():
            obs, reward, terminated, truncated, info = env.last()
            if terminated or truncated:
                assert reward == (white_reward if agent == "player_0" else -white_reward)
                assert info["reason"] == plain.outcome() and not truncated
                results.add(white_reward)
                env.step(None)
                continue
            assert agent == vpz.AGENTS[side] and reward == 0
            np.testing.assert_array_equal(obs["observation"], plain.observation())
            np.testing.assert_array_equal(obs["action_mask"], plain.legal_mask())
            other = env.observe(vpz.AGENTS[1 - side])
            assert not other["action_mask"].any()
            action = int(rng.choice(np.flatnonzero(obs["action_mask"])))
            side, white_reward, _done = plain.play(action)
            env.step(action)
        assert not env.agents
    assert results & {1, -1}


def test_an_illegal_action_loses_for_the_mover():
    env = vpz.env()
    env.reset()
    env.step(564)                                      # white e2-e4
    obs, *_ = env.last()
    illegal = int(np.flatnonzero(obs["action_mask"] == 0)[0])
    env.step(illegal)
    assert env.terminations == {"player_0": True, "player_1": True}
    assert env.rewards["player_1"] == -1
    for agent in env.agent_iter():   # the game is over for both: no move to offer, and the end said
        obs, reward, *_, info = env.last()
        assert not obs["action_mask"].any() and info["reason"] == "illegal_action"
        assert reward == (-1 if agent == "player_1" else 0)
        env.step(None)
    raw = vpz.raw_env()
    raw.reset()
    with pytest.raises(ValueError):
        raw.step(illegal)


def test_a_refused_reset_changes_nothing():
    # A finished game cannot start an episode: refused before the seed is taken.
    env, twin = vpz.raw_env(chess960=True), vpz.raw_env(chess960=True)
    env.reset(seed=1)
    twin.reset(seed=1)
    with pytest.raises(ValueError, match="finished game"):
        env.reset(seed=2, options={"fen": "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"})
    env.reset()
    twin.reset()
    assert env.game.fen() == twin.game.fen()
