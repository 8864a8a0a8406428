"""Pickling, copying and comparing States and ChessEnvs, damaged bytes, and
games shipped to other processes."""

import copy
import multiprocessing
import pickle
import random
import struct

import numpy
import pytest

import varnok
from conftest import START_FEN
from rollout_worker import roll_out_from

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def random_game(plies, seed, rules="classic", fen=None):
    """A ChessEnv after up to `plies` random moves (played on past draws, stopping only without a legal move)."""
    env = varnok.ChessEnv(rules=rules)
    env.load_fen(fen) if fen else env.reset()
    rng = random.Random(seed)
    for _ in range(plies):
        legal = env.legal_actions()
        if len(legal) == 0:
            break
        env.step(int(rng.choice(legal)))
    return env


def odd_state(restorable=True):
    """A State whose fields no game produces: hand-set counts and history planes of other values
    (and, unless restorable, an action map key restore_state refuses)."""
    state = random_game(30, 4).save_state()
    history = state.state_history
    history[0][3][10] = 7             # a piece plane with a 7: kept as full planes
    history[1][12][5] = 2             # a repetition plane that is not one value throughout
    history[-1] = [[1] * 64] * 14     # every piece on every square
    state.state_history = history
    state.repetition_count = {**state.repetition_count, 12345: 3}
    state.move_index = {0 if restorable else -5: 77, 4671: -1}
    state.total_move_count = -(2**31)
    state.n_repititions = 2**31 - 1
    return state


def games():
    yield "reset", varnok.ChessEnv()
    yield "start", random_game(0, 0)
    yield "middle game, fide", random_game(40, 1, rules="fide")
    yield "400 plies", random_game(400, 2)
    yield "from a FEN", random_game(25, 3, fen="r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 3 17")
    lenient = varnok.ChessEnv()
    lenient.parse_fen("8/8/8/8/8/8/8/4K3 w KQkq e3")  # no episode started, odd fields
    yield "parse_fen only", lenient
    restored = varnok.ChessEnv()
    restored.restore_state(odd_state())
    yield "restored odd state", restored


GAMES = list(games())
IDS = [name for name, _ in GAMES]


@pytest.mark.parametrize("env", [e for _, e in GAMES], ids=IDS)
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_states_and_games_round_trip_through_every_protocol(env, protocol):
    state = env.save_state()
    back = pickle.loads(pickle.dumps(state, protocol))
    assert back == state and hash(back) == hash(state) and back is not state
    assert back.start_fen == state.start_fen and list(back.moves) == list(state.moves)
    env_back = pickle.loads(pickle.dumps(env, protocol))
    assert type(env_back) is varnok.ChessEnv and env_back.save_state() == state
    assert env_back.fen() == env.fen() and env_back.outcome() == env.outcome()


def continuation(env, seed, plies=60):
    """What the game does next: every step result, the texts and a seeded roll-out at the end."""
    rng = random.Random(seed)
    out = [env.observation("int32").tolist()]
    for _ in range(plies):
        legal = env.legal_actions()
        if len(legal) == 0:
            break
        action = int(rng.choice(legal))
        out.append((env.action_to_san(action), env.step(action), env.outcome()))
    out += [env.fen(), env.moves_uci() if env.save_state().moves else [], env.roll_out(seed=seed), env.outcome()]
    return out


@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
def test_a_restored_game_continues_exactly_as_the_original(how):
    # FIDE rules, positions repeated by knight moves and a long no-progress
    # count: the repetition counts, history and rules must all come along.
    env = varnok.ChessEnv(rules="fide")
    env.load_fen("k6K/8/8/8/8/8/P7/1N4n1 w - - 90 60")
    for uci in ["b1c3", "g1f3", "c3b1", "f3g1", "b1c3", "g1f3"]:
        env.step(env.uci_to_action(uci))
    clone = {"pickle": lambda e: pickle.loads(pickle.dumps(e)), "copy": copy.copy, "deepcopy": copy.deepcopy}[how](env)
    assert clone is not env
    for seed in range(3):
        a, b = copy.deepcopy(env), copy.deepcopy(clone)
        assert continuation(a, seed) == continuation(b, seed)
    # The third occurrence comes after the same move on both.
    for game in (env, clone):
        assert game.step(game.uci_to_action("c3b1"))[3] == 0
        assert game.step(game.uci_to_action("f3g1"))[3] == 1 and game.outcome() == "repetition"


def test_a_game_pickled_right_after_reset_keeps_its_unturned_observation():
    env = varnok.ChessEnv()
    env.load_fen("4k3/8/8/8/8/8/4P3/4K3 b - - 0 1")
    back = pickle.loads(pickle.dumps(env))
    assert numpy.array_equal(back.observation(), env.observation())


def test_copies_are_independent():
    env = random_game(10, 5)
    for clone in (copy.copy(env), copy.deepcopy(env), pickle.loads(pickle.dumps(env))):
        clone.step(int(clone.legal_actions()[0]))
        assert clone.save_state() != env.save_state()
    state = env.save_state()
    other = copy.copy(state)
    other.total_move_count += 1
    assert other != state and state == env.save_state()


def test_equality_and_hash_are_by_value():
    a, b = random_game(12, 6).save_state(), random_game(12, 6).save_state()
    assert a == b and hash(a) == hash(b) and len({a, b}) == 1
    assert a != random_game(12, 7).save_state()
    assert (a == "state") is False and a != None  # noqa: E711
    b.no_progress_count += 1
    assert a != b
    # Equal maps built in another order are equal States with equal hashes.
    c = copy.copy(a)
    c.repetition_count = dict(reversed(list(a.repetition_count.items())))
    c.move_index = dict(reversed(list(a.move_index.items())))
    assert c == a and hash(c) == hash(a) and c.__getstate__() == a.__getstate__()


def test_odd_states_round_trip_whole():
    state = odd_state(restorable=False)
    back = pickle.loads(pickle.dumps(state))
    assert back == state and back.state_history == state.state_history
    assert back.repetition_count == state.repetition_count and back.move_index == state.move_index


def test_a_400_ply_game_pickles_to_at_most_2_kb():
    env = random_game(400, 8)
    state = env.save_state()
    assert len(state.moves) == 400
    assert len(pickle.dumps(state, pickle.HIGHEST_PROTOCOL)) <= 2048
    assert len(pickle.dumps(env, pickle.HIGHEST_PROTOCOL)) <= 2048


# ---------------------------------------------------------------- damaged bytes

def fnv1a(data):
    h = 2166136261
    for byte in data:
        h = ((h ^ byte) * 16777619) & 0xFFFFFFFF
    return h


def framed(payload, kind=1, version=2, magic=b"VRNK", length=None):
    head = magic + struct.pack("<HBI", version, kind, len(payload) if length is None else length)
    body = head + payload
    return body + struct.pack("<I", fnv1a(body))


def setstate(cls, data):
    obj = cls.__new__(cls)
    obj.__setstate__(data)
    return obj


GOOD = random_game(30, 9).save_state().__getstate__()
PAYLOAD = GOOD[11:-4]


def test_the_frame_is_as_documented():
    assert GOOD[:4] == b"VRNK" and struct.unpack("<HBI", GOOD[4:11]) == (2, 1, len(GOOD) - 15)
    assert framed(PAYLOAD) == GOOD and setstate(varnok.State, framed(PAYLOAD)) == setstate(varnok.State, GOOD)


def test_every_truncation_and_every_flipped_byte_is_refused():
    for length in range(len(GOOD)):
        with pytest.raises(ValueError, match="^State bytes: "):
            setstate(varnok.State, GOOD[:length])
    for i in range(len(GOOD)):
        for flip in (0x01, 0x80, 0xFF):
            damaged = bytearray(GOOD)
            damaged[i] ^= flip
            with pytest.raises(ValueError, match="^State bytes: "):
                setstate(varnok.State, bytes(damaged))
    with pytest.raises(ValueError, match="added"):
        setstate(varnok.State, GOOD + b"\0")


HUGE = 2**32 - 1


@pytest.mark.parametrize("data, message", [
    (framed(PAYLOAD, version=4), "format version 4, this build reads versions 1 to 3"),
    # Version 3 leads with the Chess960 fields: flags, then 2 x 4 rook files.
    (framed(b"\4" + bytes(8) + PAYLOAD, version=3), "Chess960 flags 4"),
    (framed(b"\1" + b"\7\0\7\x08" + bytes(4) + PAYLOAD, version=3), "castling rook file 8"),
    (framed(PAYLOAD, version=0), "format version 0"),
    (framed(PAYLOAD, magic=b"VRNQ"), "no VRNK magic"),
    (b"\x80\x04\x95" + GOOD[3:], "no VRNK magic"),
    (b"", "no VRNK magic"),
    (GOOD[:10], "cut short"),
    (framed(PAYLOAD, kind=2), "bytes of a ChessEnv"),
    (framed(PAYLOAD, kind=9), "unknown kind"),
    (framed(PAYLOAD, length=HUGE), "cut short or with bytes added"),
    (framed(b""), "cut short"),
    # Counts far beyond the bytes there are, inside a correct frame.
    (framed(struct.pack("<Q", 1) + b"\x0f"), "piece code 15"),
    (framed(PAYLOAD[:8] + b"\xff" * 4), "cut short"),
    (framed(b"\0" * 8 + bytes(3) + bytes(24) + b"\0" * 8 + bytes(3) + bytes(4) + struct.pack("<I", HUGE)),
     "history entry count 4294967295 runs past the end"),
    (framed(b"\0" * 8 + bytes(3) + bytes(24) + b"\0" * 8 + bytes(3) + bytes(4) + bytes(4) + struct.pack("<I", HUGE)),
     "move count 4294967295 runs past the end"),
    (framed(b"\0" * 8 + bytes(3) + bytes(24) + b"\0" * 8 + bytes(3) + bytes(4) + bytes(8) + b"\1" +
            struct.pack("<I", HUGE)), "repetition count 4294967295 runs past the end"),
    (framed(b"\0" * 8 + bytes(3) + bytes(24) + b"\0" * 8 + bytes(3) + bytes(4) + bytes(8) + b"\1" + bytes(4) +
            struct.pack("<I", HUGE)), "action map count 4294967295 runs past the end"),
    # Values out of range inside a correct frame.
    (framed(b"\0" * 8 + b"\2\0\0" + bytes(24)), "side to move 2"),
    (framed(b"\0" * 8 + b"\0\x41\0" + bytes(24)), "en-passant square 65"),
    (framed(b"\0" * 8 + b"\0\0\x10" + bytes(24)), "castling rights 16"),
    (framed(struct.pack("<Q", 1) + b"\x0c"), "piece code 12"),
    (framed(struct.pack("<Q", 1) + b"\xf0"), "padding bits"),
])
def test_damaged_bytes_table(data, message):
    with pytest.raises(ValueError, match=message):
        setstate(varnok.State, data)


def test_format_version_1_still_loads():
    # Version 1 wrote what version 2 writes for the classic rules; a FIDE game
    # kept the classic count (one more than the clock after a pawn move or a
    # capture in the log), which loading turns into the clock.
    classic = varnok.ChessEnv()
    classic.reset()
    for uci in ("e2e4", "g8f6", "g1f3"):
        classic.play(classic.uci_to_action(uci))
    payload = classic.__getstate__()[11:-4]
    assert setstate(varnok.State, framed(classic.save_state().__getstate__()[11:-4], version=1)) == \
        classic.save_state()
    assert setstate(varnok.ChessEnv, framed(payload, kind=2, version=1)).save_state() == classic.save_state()
    old_fide = setstate(varnok.ChessEnv, framed(bytes([1]) + payload[1:], kind=2, version=1))
    fide = varnok.ChessEnv("fide")
    fide.reset()
    for uci in ("e2e4", "g8f6", "g1f3"):
        fide.play(fide.uci_to_action(uci))
    assert classic.save_state().no_progress_count == 3 and fide.save_state().no_progress_count == 2
    assert old_fide.rules == "fide" and old_fide.save_state() == fide.save_state()
    assert old_fide.fen() == fide.fen()


def test_chess_env_bytes_are_checked_too():
    good = random_game(20, 10).__getstate__()
    assert setstate(varnok.ChessEnv, good).save_state() == random_game(20, 10).save_state()
    for length in range(0, len(good), 7):
        with pytest.raises(ValueError):
            setstate(varnok.ChessEnv, good[:length])
    with pytest.raises(ValueError, match="bytes of a State"):
        setstate(varnok.ChessEnv, GOOD)
    payload = good[11:-4]
    for head, message in [(b"\3\0\0", "draw rules 3"), (b"\0\2\0", "after-reset flag"), (b"\0\0\7", "termination 7")]:
        with pytest.raises(ValueError, match=message):
            setstate(varnok.ChessEnv, framed(head + payload[3:], kind=2))


def test_a_refused_state_for_a_chess_env_raises_what_restore_state_raises():
    state = random_game(5, 11).save_state()
    state.state_pos = 9
    env_bytes = bytearray(random_game(5, 11).__getstate__())
    payload = bytes(env_bytes[11:14]) + state.__getstate__()[11:-4]
    with pytest.raises(ValueError, match="state_pos must be 0 to 7"):
        setstate(varnok.ChessEnv, framed(payload, kind=2))


# ---------------------------------------------------------------- other processes

@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_pool_map_over_pickled_games_matches_the_in_process_results(method):
    envs = [random_game(plies, seed) for plies, seed in [(0, 0), (30, 1), (80, 2), (150, 3)]]
    jobs = [(env.save_state(), seed) for seed, env in enumerate(envs)]
    jobs += [(copy.deepcopy(env), 100 + seed) for seed, env in enumerate(envs)]
    expected = [roll_out_from((copy.deepcopy(game), seed)) for game, seed in jobs]
    with multiprocessing.get_context(method).Pool(2) as pool:
        assert pool.map(roll_out_from, jobs) == expected
    assert len({fen for _, fen, _ in expected}) > 1
