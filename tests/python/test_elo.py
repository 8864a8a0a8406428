"""Match statistics: Elo, interval, LOS and the SPRT's LLR against values
worked out by hand, the interval's coverage and the SPRT's decisions on
simulated matches of known strength."""

import math

import numpy as np
import pytest

from varnok import _elo, arena, players


def test_formulas_against_hand_computed_values():
    # 60 wins, 20 draws, 20 losses: s = 0.7, per-game variance
    # (60 * 0.3^2 + 20 * 0.2^2 + 20 * 0.7^2) / 100 = 0.16, so s +- 1.96 * 0.04;
    # Elo = -400 log10(1 / s - 1) at s, 0.62160 and 0.77840.
    t = _elo.trinomial(60, 20, 20)
    assert (t.score, t.samples) == (pytest.approx(0.7), 100)
    assert (t.elo, t.elo_low, t.elo_high) == (pytest.approx(147.1907, abs=1e-3), pytest.approx(86.2250, abs=1e-3),
                                              pytest.approx(218.2518, abs=1e-3))
    # Pairs 0, 10, 20, 10, 0: mean 1/2, variance 20 * (1/4)^2 / 40 = 1/32 per pair.
    p = _elo.pentanomial([0, 10, 20, 10, 0])
    assert (p.elo, p.elo_low, p.elo_high) == (0.0, pytest.approx(-38.2203, abs=1e-3), pytest.approx(38.2203, abs=1e-3))
    assert _elo.likelihood_of_superiority(60, 20) == pytest.approx(0.99999613, abs=1e-8)
    assert _elo.likelihood_of_superiority(5, 5) == 0.5
    # Pairs 5, 10, 20, 10, 5: mean 1/2, variance 0.075; H0 0 Elo (s0 = 1/2), H1 10 Elo (s1 = 0.514387).
    # To second order in s1 - s0 the exact LLR is 50 (s1 - s0) (1 - s0 - s1) / 0.15 = -0.068997.
    assert _elo.sprt_llr([5, 10, 20, 10, 5], 0, 10) == pytest.approx(-0.068997, rel=2e-3)
    assert _elo.sprt_llr([50, 100, 200, 100, 50], 0, 10) == pytest.approx(-0.68997, rel=2e-3)
    # One won pair is evidence, not a verdict; nor are a few of them.
    assert 0 < _elo.sprt_llr([0, 0, 0, 0, 1], 0, 10) < _elo.sprt_llr([0, 0, 0, 0, 3], 0, 10) < 2.94
    # Every game won: the interval is the exact binomial one, 0.025 ** (1 / 10) = 0.69150 upwards.
    assert _elo.trinomial(10, 0, 0).score_low == pytest.approx(0.69150, abs=1e-5)
    assert _elo.sprt_bounds(0.05, 0.05) == (pytest.approx(-2.944439, abs=1e-6), pytest.approx(2.944439, abs=1e-6))
    assert _elo.trinomial(10, 0, 0).elo == math.inf and _elo.trinomial(0, 0, 10).elo == -math.inf


@pytest.mark.parametrize("counts, elo0, elo1, verdict", [
    ([3, 5, 9, 4, 2], 0, 6000, "H0"),           # the score of 6000 Elo is 1 - 1e-15: its digits are in 1 - s
    ([0, 0, 3, 0, 0], 0, 7000, "H0"),           # 7000 Elo is a score of 1.0: a drawn pair could not happen
    ([2, 4, 9, 5, 3], 7000, 8000, "H0"),        # both hypotheses at 1.0: the counts still tell them apart
    ([0, 0, 0, 0, 7], -100000, -99000, "H1"),   # the power of the score overflowed at the lowest Elo
])
def test_sprt_llr_of_far_hypotheses_is_the_other_sides_negated(counts, elo0, elo1, verdict):
    # From the second player's side the counts run backwards and the hypotheses are -elo1 < -elo0: the
    # same evidence, the sign of the LLR turned. Far from an even score one side holds the score's digits
    # (1e-15, not 1 - 1e-15), and the other side must come out as it.
    llr = _elo.sprt_llr(counts, elo0, elo1)
    assert llr == pytest.approx(-_elo.sprt_llr(counts[::-1], -elo1, -elo0), rel=1e-9)
    lower, upper = _elo.sprt_bounds(0.05, 0.05)
    assert (llr <= lower, llr >= upper) == (verdict == "H0", verdict == "H1"), llr


@pytest.mark.parametrize("results, row", [
    ([0, 0], "Elo      +0.0  [-inf, +inf] 95%, pentanomial"),  # all drawn: even, not "-0.0"
    ([], "Elo      nan  [-inf, +inf] 95%, trinomial"),           # nothing to estimate: not "-inf"
    ([1, -1] * 20, "LOS      >99.9%"),                           # 40 wins: not a certain 100.0%
    ([-1, 1] * 6 + [0] * 28, "LOS      <0.1%"),                  # 12 losses: LOS 0.03%, not 0.0%
])
def test_the_summary_shows_no_estimate_it_does_not_have(results, row):
    # Results from white's side; the first player has white in the even games.
    games = [arena.GameRecord(i, i // 2, "a", "b", i % 2 == 0, "", "", [], r, "") for i, r in enumerate(results)]
    table = arena.MatchResult("a", "b", games, "fide", paired_openings=True).text()
    assert row in table.splitlines(), table


def test_interval_covers_the_true_elo_about_95_percent():
    rng = np.random.default_rng(0)
    win, draw, loss = 0.45, 0.25, 0.30
    true = _elo.elo_of_score(win + draw / 2)
    games = rng.multinomial(200, [win, draw, loss], size=1000)
    hits = sum(e.elo_low <= true <= e.elo_high for e in (_elo.trinomial(*g) for g in games))
    assert 930 <= hits <= 970, hits
    # Pairs: scores 0..1 in quarters with these chances; the true score is their mean.
    chances = [0.1, 0.2, 0.3, 0.25, 0.15]
    true = _elo.elo_of_score(float(np.dot(chances, _elo.PAIR_SCORES)))
    pairs = rng.multinomial(150, chances, size=1000)
    hits = sum(e.elo_low <= true <= e.elo_high for e in (_elo.pentanomial(c) for c in pairs))
    assert 930 <= hits <= 970, hits


def simulated_sprt(rng, chances, elo0, elo1, most_pairs=20000):
    """Plays pairs with the given pentanomial chances until the SPRT decides."""
    lower, upper = _elo.sprt_bounds(0.05, 0.05)
    counts = np.zeros(5)
    drawn = rng.choice(5, size=most_pairs, p=chances)
    for n, k in enumerate(drawn, 1):
        counts[k] += 1
        if n % 20 == 0:
            llr = _elo.sprt_llr(counts, elo0, elo1)
            if llr <= lower:
                return "H0", n
            if llr >= upper:
                return "H1", n
    return "undecided", most_pairs


def test_sprt_decides_on_simulated_matches():
    rng = np.random.default_rng(1)
    # A large difference: about +190 Elo. H1 within a few dozen pairs.
    verdict, pairs = simulated_sprt(rng, [0.02, 0.08, 0.2, 0.3, 0.4], 0, 20)
    assert verdict == "H1" and pairs <= 100
    # Equal players: H0 (at most alpha of such tests would say H1).
    verdicts = [simulated_sprt(rng, [0.1, 0.2, 0.4, 0.2, 0.1], 0, 30)[0] for _ in range(40)]
    assert verdicts.count("H0") >= 36, verdicts


def test_match_stops_once_sprt_decides():
    result = arena.match(players.Material(1), players.Random(), games=400, seed=4, sprt=(0, 100), max_plies=300)
    assert result.sprt.verdict == "H1" and result.sprt.llr >= result.sprt.upper
    assert len(result.games) < 100
    # Stopped at the first pair whose result crosses the bound: one pair fewer does not.
    shorter = _elo.sprt_llr(arena.pentanomial_counts(result.games[:-2]), 0, 100)
    assert shorter < result.sprt.upper
