"""varnok.Termination: one enumeration behind outcome() texts, VectorStep
final_reason codes and the adapters' infos."""

import pytest

import varnok
from varnok import Termination

# Each game ends with its last move; ChessEnv.outcome() and the same game in a
# VectorEnv row (final_reason) must name the same reason.
ENDINGS = [
    ("classic", "rnbqkbnr/pppp1ppp/8/4p3/6P1/5P2/PPPPP2P/RNBQKBNR b KQkq - 0 2", ["Qh4#"], Termination.CHECKMATE),
    ("classic", "7k/5Q2/6K1/8/8/8/8/8 w - - 0 1", ["Qe7"], None),
    ("classic", "7k/8/4Q1K1/8/8/8/8/8 w - - 0 1", ["Qf7"], Termination.STALEMATE),
    ("classic", "4k3/8/8/8/8/8/8/4K2R w - - 0 1", ["Kf1", "Kf8", "Ke1", "Ke8", "Kf1", "Kf8", "Ke1", "Ke8"],
     Termination.REPETITION),
    ("classic", "4k3/8/8/8/8/8/8/4K2R w - - 49 60", ["Rh2"], Termination.NO_PROGRESS),
    ("fide", "4k3/8/8/8/8/8/3r4/4K3 w - - 0 1", ["Kxd2"], Termination.INSUFFICIENT_MATERIAL),
]


@pytest.mark.parametrize("rules, fen, moves, expected", ENDINGS)
def test_outcome_text_and_final_reason_name_the_same_member(rules, fen, moves, expected):
    env = varnok.ChessEnv(rules)
    env.load_fen(fen)
    for san in moves[:-1]:
        env.play(env.san_to_action(san))
    vector = varnok.VectorEnv(1, seed=0, rules=rules)
    vector.restore_state(0, env.save_state())
    last = env.san_to_action(moves[-1])
    env.play(last)
    code = int(vector.step([last]).final_reason[0])
    if expected is None:
        assert env.outcome() is None and code == 0
        return
    assert env.outcome() == expected.reason and Termination.of(env.outcome()) is expected
    assert code == expected and Termination(code) is expected


def test_members_keep_the_old_values_and_texts():
    assert [(t.value, t.reason, t.is_draw) for t in Termination] == [
        (1, "checkmate", False), (2, "stalemate", True), (3, "repetition", True), (4, "no_progress", True),
        (5, "insufficient_material", True), (6, "move_cap", False), (16, "truncated", False),
        (17, "illegal_action", False)]
    for bad in ("mate", "", 0, 7, None):
        with pytest.raises(ValueError):
            Termination.of(bad)
