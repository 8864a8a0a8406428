"""varnok.actions against the real peers: PettingZoo's chess_v6 move encoding
and pgx's chess, move by move over random games and positions chosen for
promotions, castling and en passant."""

import random

import chess
import numpy as np
import pytest
import varnok

if not hasattr(varnok, "__path__"):  # the adapters live in the varnok package, not the bare extension
    pytest.skip("varnok is installed as the bare extension module, not the package", allow_module_level=True)

from varnok import actions  # noqa: E402

pz_utils = pytest.importorskip("pettingzoo.classic.chess.chess_utils")

# Starts that random play turns into promotions (under-promotions with
# captures either way), castling on both wings and en-passant captures.
STARTS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "1n1nk3/P1P3P1/8/8/8/8/p1p3p1/1N1NK3 w - - 0 1",
    "1n1nk3/P1P3P1/8/8/8/8/p1p3p1/1N1NK3 b - - 0 1",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
]




class TestTables:
    @pytest.mark.parametrize("to, back", [(actions.to_pettingzoo, actions.from_pettingzoo),
                                          (actions.to_pgx, actions.from_pgx)])
    def test_each_side_is_a_permutation_with_its_inverse(self, to, back):
        every = np.arange(4672)
        for side in (0, 1):
            mapped = to(every, side)
            assert mapped.dtype == np.int64 and sorted(mapped.tolist()) == every.tolist()
            assert (back(mapped, side) == every).all()
        # scalars give ints; arrays of actions and sides broadcast together
        assert isinstance(to(np.int64(564), 0), int)
        sides = np.array([0, 1, 1, 0])
        picks = np.array([564, 1468, 3260, 4297])
        assert to(picks, sides).tolist() == [to(int(a), int(s)) for a, s in zip(picks, sides)]

    @pytest.mark.parametrize("action, side, error", [
        (-1, 0, ValueError), (4672, 0, ValueError), (np.uint64(2**63), 0, ValueError),
        (564, 2, ValueError), (564, -1, ValueError), (np.array([564, -1]), np.array([0, 1]), ValueError),
        (564.0, 0, TypeError), (np.array([564.5]), 0, TypeError), (564, 0.0, TypeError),
    ])
    def test_numbers_outside_the_tables_are_refused(self, action, side, error):
        for convert in (actions.to_pettingzoo, actions.from_pettingzoo, actions.to_pgx, actions.from_pgx):
            with pytest.raises(error, match="(action|side) must be"):
                convert(action, side)

    def test_known_numbers(self):
        # e2-e4 for white: PettingZoo file 4 rank 1, two squares north (plane 12);
        # pgx lists it among its initial legal actions.
        assert actions.to_pettingzoo(564, 0) == (4 * 8 + 1) * 73 + 12
        assert actions.to_pgx(564, 0) == 2426


def test_pettingzoo_chess_v6_move_by_move():
    """The legal sets map onto PettingZoo's exactly, and PettingZoo's move for
    the mapped action gives the same position."""
    rng = random.Random(5)
    env = varnok.ChessEnv()
    checked = under = 0
    for fen in STARTS:
        for _ in range(4):
            side = env.load_fen(fen)[0]
            board = chess.Board(fen)
            for _ply in range(150):
                ours = env.legal_actions()
                theirs = sorted(pz_utils.legal_moves(board))
                assert sorted(actions.to_pettingzoo(ours, side).tolist()) == theirs, board.fen()
                assert sorted(actions.from_pettingzoo(np.array(theirs), side).tolist()) == ours.tolist()
                action = int(rng.choice(ours))
                move = pz_utils.action_to_move(board, actions.to_pettingzoo(action, side), side)
                assert move.uci() == env.action_to_uci(action)
                under += move.promotion not in (None, chess.QUEEN)
                board.push(move)
                side, _reward, done = env.play(action)
                assert env.fen(en_passant="legal") == board.fen()
                checked += 1
                if done:
                    break
    assert checked > 1000 and under > 0


def test_pgx_chess_move_by_move():
    """The same against pgx's chess (its own draw rules end some games sooner)."""
    jax = pytest.importorskip("jax")
    pgx = pytest.importorskip("pgx")
    from pgx.experimental.chess import from_fen, to_fen

    step = jax.jit(pgx.make("chess").step)
    rng = random.Random(9)
    env = varnok.ChessEnv()
    checked = under = 0
    for fen in STARTS:
        side = env.load_fen(fen)[0]
        state = from_fen(fen)
        for _ply in range(40):
            ours = env.legal_actions()
            theirs = np.flatnonzero(np.asarray(state.legal_action_mask))
            assert sorted(actions.to_pgx(ours, side).tolist()) == theirs.tolist(), env.fen()
            action = int(rng.choice(ours))
            state = step(state, actions.to_pgx(action, side))
            side, _reward, done = env.play(action)
            assert to_fen(state).split()[:4] == env.fen().split()[:4]
            checked += 1
            under += action // 64 >= 64
            if done or bool(state.terminated):
                break
    assert checked > 100 and under > 0
