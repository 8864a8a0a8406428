"""Match statistics: logistic Elo with a 95% interval, likelihood of
superiority, and the generalised SPRT on pentanomial counts.

Scores are per game, from the first player's side (win 1, draw 1/2, loss
0). A game pair (the same opening played once with each colour) scores 0,
1/4, 1/2, 3/4 or 1 per game, and the five counts of those are the
pentanomial counts. The Elo difference of a score s is -400 log10(1/s - 1).
The interval is the normal one on the mean score, s +- 1.96 * sd / sqrt(n),
mapped to Elo: the trinomial form takes games as independent, the
pentanomial form takes pairs as the samples, which accounts for the
correlation within a pair (an unbalanced opening favours both colours
alike) and gives the honest, usually narrower interval for paired openings.

SPRT: the generalised SPRT on pentanomial counts, as engine testing
frameworks run it: the log-likelihood ratio of the pair counts under the
maximum-likelihood pentanomial distributions whose mean scores are those of
the two hypotheses' logistic Elo (for large counts this is
n (s1 - s0) (2 m - s0 - s1) / (2 v), m and v the mean and variance of the
pair scores). Counts of zero are taken as 0.001. The test stops at
log(beta / (1 - alpha)) (H0) or log((1 - beta) / alpha) (H1).

When every sample scores the same (all wins, all draws) the normal interval
has no width; it is then the exact binomial one for that case, half-width
1 - 0.025 ** (1 / n).
"""

from __future__ import annotations

import dataclasses
import math
import numbers
from typing import Sequence

Z95 = 1.959963984540054  # the two-sided 95% normal quantile
PAIR_SCORES = (0.0, 0.25, 0.5, 0.75, 1.0)
ZERO_COUNT = 1e-3  # stands for an empty pentanomial cell in the SPRT
# The SPRT's hypotheses are held to this many Elo either way, a score
# within 10 ** -250 of 0 or 1: past some 129000 Elo the score's distance
# from the end is below the smallest float, and the hypothesis would be a
# certain win or loss.
SPRT_ELO_LIMIT = 100000.0


def elo_of_score(score: float) -> float:
    """Logistic Elo difference of a mean score in [0, 1] (+-inf at the ends)."""
    if score <= 0:
        return -math.inf
    if score >= 1:
        return math.inf
    return -400.0 * math.log10(1.0 / score - 1.0) + 0.0  # an even score is +0, never -0


def score_of_elo(elo: float) -> float:
    """The mean score of a logistic Elo difference. Below zero it is taken
    as t / (1 + t), t = 10 ** (elo / 400), whose power cannot overflow."""
    if elo >= 0:
        return 1.0 / (1.0 + 10.0 ** (-elo / 400.0))
    t = 10.0 ** (elo / 400.0)
    return t / (1.0 + t)


@dataclasses.dataclass(frozen=True)
class Estimate:
    """A mean score with its Elo, the 95% interval of both, and the sample
    count they came from."""

    score: float
    elo: float
    elo_low: float
    elo_high: float
    score_low: float
    score_high: float
    samples: int


def _estimate(values: Sequence[float], counts: Sequence[float]) -> Estimate:
    n = sum(counts)
    if n <= 0:
        return Estimate(math.nan, math.nan, -math.inf, math.inf, 0.0, 1.0, 0)
    mean = sum(v * c for v, c in zip(values, counts)) / n
    variance = sum(c * (v - mean) ** 2 for v, c in zip(values, counts)) / n
    half = Z95 * math.sqrt(variance / n) if variance > 0 else 1.0 - 0.025 ** (1.0 / n)
    low, high = max(0.0, mean - half), min(1.0, mean + half)
    return Estimate(mean, elo_of_score(mean), elo_of_score(low), elo_of_score(high), low, high, int(n))


def trinomial(wins: int, draws: int, losses: int) -> Estimate:
    """Elo and interval from game counts, games taken as independent."""
    return _estimate((1.0, 0.5, 0.0), (wins, draws, losses))


def pentanomial(counts: Sequence[int]) -> Estimate:
    """Elo and interval from the five pair counts (pair score 0, 1/4, 1/2,
    3/4, 1 per game), pairs taken as the independent samples."""
    if len(counts) != 5:
        raise ValueError(f"pentanomial counts must be five, got {len(counts)}")
    return _estimate(PAIR_SCORES, counts)


def likelihood_of_superiority(wins: int, losses: int) -> float:
    """The probability that the first player is the stronger, from wins and
    losses (draws carry no information): Phi((W - L) / sqrt(W + L))."""
    if wins + losses == 0:
        return 0.5
    return 0.5 * (1.0 + math.erf((wins - losses) / math.sqrt(2.0 * (wins + losses))))


def sprt_bounds(alpha: float, beta: float) -> tuple[float, float]:
    """(lower, upper): accept H0 at or below lower, H1 at or above upper."""
    return math.log(beta / (1.0 - alpha)), math.log((1.0 - beta) / alpha)


def _mle_under_mean(freqs: Sequence[float], target: float) -> list[float]:
    """The pentanomial probabilities nearest (in likelihood) to the observed
    frequencies whose mean score is target: p_i = f_i / (1 + lam (x_i - t)),
    lam solving sum p_i (x_i - t) = 0 (found by bisection; the sum falls
    as lam grows, over the lams that keep every p_i positive)."""
    shifts = [x - target for x in PAIR_SCORES]
    high_shift, low_shift = max(shifts), min(shifts)
    if high_shift <= 0 or low_shift >= 0:  # target at an end: the nearest point is all there
        return [1.0 if abs(d) == min(abs(e) for e in shifts) else 0.0 for d in shifts]
    lo, hi = -1.0 / high_shift, -1.0 / low_shift
    for _ in range(100):
        lam = 0.5 * (lo + hi)
        slope = sum(f * d / (1.0 + lam * d) for f, d in zip(freqs, shifts))
        if slope > 0:
            lo = lam
        else:
            hi = lam
    lam = 0.5 * (lo + hi)
    return [f / (1.0 + lam * d) for f, d in zip(freqs, shifts)]


def _mle_under_elo(freqs: Sequence[float], elo: float) -> list[float]:
    """_mle_under_mean at the score of elo. Above an even score it is found
    from the other side (the counts reversed, the score 1 - s) and turned
    back: 1 - s keeps its digits where s itself loses them on the way to 1
    (from about 6400 Elo s is 1.0 in floating point)."""
    if elo > 0:
        return _mle_under_mean(list(freqs)[::-1], score_of_elo(-elo))[::-1]
    return _mle_under_mean(freqs, score_of_elo(elo))


def sprt_llr(counts: Sequence[float], elo0: float, elo1: float) -> float:
    """The generalised SPRT's log-likelihood ratio of H1 (Elo elo1) against
    H0 (Elo elo0) for pentanomial counts: sum n_i log(p1_i / p0_i), p0 and p1
    the maximum-likelihood pentanomial distributions whose mean scores are
    those of elo0 and elo1."""
    if len(counts) != 5:
        raise ValueError(f"pentanomial counts must be five, got {len(counts)}")
    if sum(counts) == 0:
        return 0.0
    regular = [c if c > 0 else ZERO_COUNT for c in counts]
    n = sum(regular)
    freqs = [c / n for c in regular]
    p0 = _mle_under_elo(freqs, elo0)
    p1 = _mle_under_elo(freqs, elo1)
    return sum(c * math.log(b / a) for c, a, b in zip(regular, p0, p1) if a > 0 and b > 0)


def check_sprt(sprt) -> tuple[float, float, float, float]:
    """(elo0, elo1, alpha, beta) from a tuple of two or four numbers (alpha
    and beta default to 0.05); ValueError naming what is wrong."""
    try:
        # Numbers only: float() would take True as 1 and the text "10" as 10.
        if any(isinstance(v, bool) or not isinstance(v, numbers.Real) for v in sprt):
            raise TypeError
        values = [float(v) for v in sprt]
    except (TypeError, ValueError):
        raise TypeError(f"sprt must be (elo0, elo1[, alpha, beta]) numbers, got {sprt!r}") from None
    if len(values) == 2:
        values += [0.05, 0.05]
    if len(values) != 4:
        raise ValueError(f"sprt must be (elo0, elo1[, alpha, beta]), got {len(values)} numbers")
    elo0, elo1, alpha, beta = values
    if not all(math.isfinite(v) for v in values):
        raise ValueError("sprt values must be finite")
    if not (abs(elo0) <= SPRT_ELO_LIMIT and abs(elo1) <= SPRT_ELO_LIMIT):
        raise ValueError(f"sprt elo0 and elo1 must be between {-SPRT_ELO_LIMIT:g} and {SPRT_ELO_LIMIT:g}, "
                         f"got {elo0} and {elo1}")
    if not elo0 < elo1:
        raise ValueError(f"sprt needs elo0 < elo1, got {elo0} and {elo1}")
    if not (0 < alpha < 0.5 and 0 < beta < 0.5):
        raise ValueError(f"sprt alpha and beta must be between 0 and 0.5, got {alpha} and {beta}")
    return elo0, elo1, alpha, beta
