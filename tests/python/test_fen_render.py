"""FEN loading (including odd texts) and the two renderings of the board."""

import io
import sys

import chess
import pytest
import varnok

from conftest import START_FEN, pieces, square, square_name

EMPTY_RANKS = "8/8/8/8/8/8/8/"

# text, {square name: letter}, side, castle, enpassant
FEN_CASES = [
    ("r3k2r/8/8/8/8/8/8/R3K2R b Kq e3 12 40",
     {"a8": "r", "e8": "k", "h8": "r", "a1": "R", "e1": "K", "h1": "R"}, 1, 9, 44),
    ("4k3/8/8/8/8/8/8/4K3 w - c6 0 1", {"e8": "k", "e1": "K"}, 0, 0, 18),
    ("4k3/8/8/8/8/8/8/4K3 x -Kz - 0 1", {"e8": "k", "e1": "K"}, 1, 1, 64),
    ("4k3/8/8/8/8/8/8/4K3 w KQkqKQ a3 0 1", {"e8": "k", "e1": "K"}, 0, 15, 40),
    ("4k3/8/8/8/8/8/8/4K3 b qk h6 0 1", {"e8": "k", "e1": "K"}, 1, 12, 23),
    (EMPTY_RANKS + "4K w - - 0 1", {"e1": "K"}, 0, 0, 64),
    ("ppppppppp/8/8/8/8/8/8/4K3 w - -",
     {**{f + "8": "p" for f in "abcdefgh"}, "a7": "p", "e1": "K"}, 0, 0, 64),
    ("r1/8/8/8/8/8/8/4K3 w - -", {"a8": "r", "e2": "K"}, 0, 0, 64),
    ("9/8/8/8/8/8/8/4K3 w - -", {"e1": "K"}, 0, 0, 64),
    ("r0n6/8/8/8/8/8/8/4K3 w - -", {"a8": "r", "b8": "n", "e1": "K"}, 0, 0, 64),
    (EMPTY_RANKS + "4K3  w - -", {"e1": "K"}, 1, 0, 64),
    # Letters that name no piece place nothing and take one square.
    ("x3K3/8/8/8/8/8/8/8 w - - 0 1", {"e8": "K"}, 0, 0, 64),
    ("xK6/8/8/8/8/8/8/7k w - - 0 1", {"b8": "K", "h1": "k"}, 0, 0, 64),
    # An en-passant field that is no square name loads as none.
    ("4k3/8/8/8/8/8/8/4K3 w - z9 0 1", {"e8": "k", "e1": "K"}, 0, 0, 64),
    ("4k3/8/8/8/8/8/8/4K3 w - i3 0 1", {"e8": "k", "e1": "K"}, 0, 0, 64),
    ("4k3/8/8/8/8/8/8/4K3 w - e0 0 1", {"e8": "k", "e1": "K"}, 0, 0, 64),
    ("4k3/8/8/8/8/8/8/4K3 w - E3 0 1", {"e8": "k", "e1": "K"}, 0, 0, 64),
    # Texts that stop early keep the cleared values for the missing fields.
    (EMPTY_RANKS + "4K3", {"e1": "K"}, 0, 0, 64),
    (EMPTY_RANKS + "4K3 ", {"e1": "K"}, 0, 0, 64),
    (EMPTY_RANKS + "4K3 b", {"e1": "K"}, 1, 0, 64),
    (EMPTY_RANKS + "4K3 w KQ", {"e1": "K"}, 0, 3, 64),
    (EMPTY_RANKS + "4K3 w KQ ", {"e1": "K"}, 0, 3, 64),
    (EMPTY_RANKS + "4K3 w - e", {"e1": "K"}, 0, 0, 64),
    ("", {}, 0, 0, 64),
    ("rnb", {"a8": "r", "b8": "n", "c8": "b"}, 0, 0, 64),
]


def loaded(env, text):
    env.parse_fen(text)
    st = env.save_state()
    return st, {square_name(sq): p for sq, p in pieces(st).items()}


@pytest.mark.parametrize("text,placement,side,castle,enpassant", FEN_CASES)
def test_parse_fen_texts(env, text, placement, side, castle, enpassant):
    st, got = loaded(env, text)
    assert got == placement
    assert (st.side, st.castle, st.enpassant) == (side, castle, enpassant)
    assert st.no_progress_count == 0
    bb = [int(b) for b in st.bitboards]
    occ = [int(b) for b in st.occupancies]
    white = bb[0] | bb[1] | bb[2] | bb[3] | bb[4] | bb[5]
    black = bb[6] | bb[7] | bb[8] | bb[9] | bb[10] | bb[11]
    assert occ == [white, black, white | black]


def test_initial_position_occupancies(env):
    env.parse_fen(START_FEN)
    st = env.save_state()
    assert [int(b) for b in st.occupancies] == [
        0xFFFF000000000000, 0x000000000000FFFF, 0xFFFF00000000FFFF]
    assert (st.side, st.castle, st.enpassant) == (0, 15, 64)


def test_parse_fen_replaces_the_whole_position(env):
    env.parse_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1")
    env.parse_fen("8/8/8/8/8/8/8/8")
    st = env.save_state()
    assert pieces(st) == {}
    assert (st.side, st.castle, st.enpassant) == (0, 0, 64)


def test_parse_fen_none_is_type_error(started):
    env, _ = started
    before = env.save_state()
    with pytest.raises(TypeError):
        env.parse_fen(None)
    assert pieces(env.save_state()) == pieces(before)


def test_parse_fen_keeps_episode_bookkeeping(started):
    env, _ = started
    for action in (564, 524, 3646):  # e4 e5 Nf3
        env.step(action)
    before = env.save_state()
    assert before.no_progress_count == 2
    env.parse_fen("4k3/8/8/8/8/8/8/4K3 w - - 17 60")
    after = env.save_state()
    for field in ("total_move_count", "state_history", "state_pos", "repetition_count",
                  "n_repititions", "prev_n_repititions", "move_index"):
        assert getattr(after, field) == getattr(before, field), field
    assert after.no_progress_count == 0


# ---------------------------------------------------------------- rendering

INITIAL_TEXT = """
 8|  r  n  b  q  k  b  n  r
 7|  p  p  p  p  p  p  p  p
 6|  .  .  .  .  .  .  .  .
 5|  .  .  .  .  .  .  .  .
 4|  .  .  .  .  .  .  .  .
 3|  .  .  .  .  .  .  .  .
 2|  P  P  P  P  P  P  P  P
 1|  R  N  B  Q  K  B  N  R
   ------------------------
     a  b  c  d  e  f  g  h

side:       white
enpassant:  NA
Castling:   KQkq


"""

INITIAL_SYMBOLS = """\
  8 |  ♜  ♞  ♝  ♛  ♚  ♝  ♞  ♜

  7 |  ♟  ♟  ♟  ♟  ♟  ♟  ♟  ♟

  6 |   .   .   .   .   .   .   .   .

  5 |   .   .   .   .   .   .   .   .

  4 |   .   .   .   .   .   .   .   .

  3 |   .   .   .   .   .   .   .   .

  2 |  ♙  ♙  ♙  ♙  ♙  ♙  ♙  ♙

  1 |  ♖  ♘  ♗  ♕  ♔  ♗  ♘  ♖

      -------------------------------
       a   b   c   d   e   f   g   h
"""

SYMBOLS = dict(zip("PNBRQKpnbrqk", "♙♘♗♖♕♔♟♞♝♜♛♚"))


def render_channels(env, capfd, monkeypatch):
    """Render once; return (C standard output text, Python sys.stdout text)."""
    capfd.readouterr()
    python_channel = io.StringIO()
    monkeypatch.setattr(sys, "stdout", python_channel)
    env.render()
    monkeypatch.undo()
    return capfd.readouterr().out, python_channel.getvalue()


def expected_text_board(placement):
    rows = [""]
    for rank in range(8, 0, -1):
        cells = "".join("  " + placement.get(f + str(rank), ".") for f in "abcdefgh")
        rows.append(f" {rank}|{cells}")
    return "\n".join(rows) + "\n   ------------------------\n     a  b  c  d  e  f  g  h\n\n"


def expected_symbol_board(placement):
    out = ""
    for rank in range(8, 0, -1):
        cells = "".join("  " + SYMBOLS[placement[f + str(rank)]]
                        if f + str(rank) in placement else "   ."
                        for f in "abcdefgh")
        out += f"  {rank} |{cells}\n\n"
    return out + "      " + "-" * 31 + "\n       a   b   c   d   e   f   g   h\n"


def test_render_initial_position_both_channels(started, capfd, monkeypatch):
    env, _ = started
    text, symbols = render_channels(env, capfd, monkeypatch)
    assert text == INITIAL_TEXT
    assert symbols == INITIAL_SYMBOLS


def test_render_empty_board(env, capfd, monkeypatch):
    env.parse_fen("8/8/8/8/8/8/8/8 w - - 0 1")
    text, symbols = render_channels(env, capfd, monkeypatch)
    assert text.count(".") == 64 and symbols.count("   .") == 64
    assert text == expected_text_board({}) + (
        "side:       white\nenpassant:  NA\nCastling:   ----\n\n\n")
    assert symbols == expected_symbol_board({})


@pytest.mark.parametrize("fen,info", [
    ("r3k2r/8/8/8/8/8/8/R3K2R b Kq e3 12 40", "side:       black\nenpassant:  e3\nCastling:   K--q"),
    ("4k3/8/8/8/8/8/8/4K3 w Qk a3 0 1", "side:       white\nenpassant:  a3\nCastling:   -Qk-"),
    ("1nbqkbn1/pppppppp/8/8/8/8/PPPPPPPP/1NBQKBN1 b - - 0 1",
     "side:       black\nenpassant:  NA\nCastling:   ----"),
    ("4k3/8/8/8/8/8/8/4K3 w - z9 0 1", "side:       white\nenpassant:  NA\nCastling:   ----"),
])
def test_render_positions(env, capfd, monkeypatch, fen, info):
    board = chess.BaseBoard(fen.split()[0])
    placement = {chess.square_name(sq): p.symbol() for sq, p in board.piece_map().items()}
    env.parse_fen(fen)
    text, symbols = render_channels(env, capfd, monkeypatch)
    assert text == expected_text_board(placement) + info + "\n\n\n"
    assert symbols == expected_symbol_board(placement)


def test_render_changes_nothing(started, capfd, monkeypatch):
    env, _ = started
    env.step(564)
    before = env.save_state()
    render_channels(env, capfd, monkeypatch)
    after = env.save_state()
    assert after.move_index == before.move_index
    assert after.state_history == before.state_history
    assert env.hash_state() == 0xF629E983B692FEC6
