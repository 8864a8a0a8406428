"""FEN loading (including odd texts) and the two renderings of the board."""

import io
import sys

import chess
import pytest
import varnok

from conftest import START_FEN, pieces, square

EMPTY_RANKS = "8/8/8/8/8/8/8/"

# text, {square name: letter}, side, castle, enpassant
FEN_CASES = [
    ("r3k2r/8/8/8/8/8/8/R3K2R b Kq e3 12 40",
     {"a8": "r", "e8": "k", "h8": "r", "a1": "R", "e1": "K", "h1": "R"}, 1, 9, 44),
    ("4k3/8/8/8/8/8/8/4K3 w - c6 0 1", {"e8": "k", "e1": "K"}, 0, 0, 18),
    ("4k3/8/8/8/8/8/8/4K3 x -Kz - 0 1", {"e8": "k", "e1": "K"}, 1, 1, 64),
    ("4k3/8/8/8/8/8/8/4K3 w KQkqKQ a3 0 1", {"e8": "k", "e1": "K"}, 0, 15, 40),
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
    ("4k3/8/8/8/8/8/8/4K3 w - e0 0 1", {"e8": "k", "e1": "K"}, 0, 0, 64),
    ("4k3/8/8/8/8/8/8/4K3 w - E3 0 1", {"e8": "k", "e1": "K"}, 0, 0, 64),
    # Texts that stop early keep the cleared values for the missing fields.
    (EMPTY_RANKS + "4K3", {"e1": "K"}, 0, 0, 64),
    (EMPTY_RANKS + "4K3 b", {"e1": "K"}, 1, 0, 64),
    (EMPTY_RANKS + "4K3 w KQ", {"e1": "K"}, 0, 3, 64),
    (EMPTY_RANKS + "4K3 w - e", {"e1": "K"}, 0, 0, 64),
    ("", {}, 0, 0, 64),
    ("rnb", {"a8": "r", "b8": "n", "c8": "b"}, 0, 0, 64),
]


@pytest.mark.parametrize("text,placement,side,castle,enpassant", FEN_CASES)
def test_parse_fen_texts(env, text, placement, side, castle, enpassant):
    # A full position first, so that every field must be replaced.
    env.parse_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1")
    env.parse_fen(text)
    st = env.save_state()
    assert pieces(st) == {square(name): p for name, p in placement.items()}
    assert (st.side, st.castle, st.enpassant, st.no_progress_count) == (side, castle, enpassant, 0)
    bb = st.bitboards.tolist()
    white, black = sum(bb[:6]), sum(bb[6:])  # the test texts never stack pieces
    assert st.occupancies.tolist() == [white, black, white | black]


def test_initial_position_occupancies(env):
    env.parse_fen(START_FEN)
    assert env.save_state().occupancies.tolist() == [
        0xFFFF000000000000, 0x000000000000FFFF, 0xFFFF00000000FFFF]


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


def test_render_fresh_env_shows_an_empty_board(env, capfd, monkeypatch):
    text, symbols = render_channels(env, capfd, monkeypatch)
    assert text.startswith(expected_text_board({}))
    assert symbols == expected_symbol_board({})


@pytest.mark.parametrize("fen,info", [
    ("r3k2r/8/8/8/8/8/8/R3K2R b Kq e3 12 40", "side:       black\nenpassant:  e3\nCastling:   K--q"),
    ("4k3/8/8/8/8/8/8/4K3 w Qk a3 0 1", "side:       white\nenpassant:  a3\nCastling:   -Qk-"),
    ("1nbqkbn1/pppppppp/8/8/8/8/PPPPPPPP/1NBQKBN1 b - - 0 1",
     "side:       black\nenpassant:  NA\nCastling:   ----"),
    ("8/8/8/8/8/8/8/8 w - - 0 1", "side:       white\nenpassant:  NA\nCastling:   ----"),
    ("4k3/8/8/8/8/8/8/4K3 w - z9 0 1", "side:       white\nenpassant:  NA\nCastling:   ----"),
])
def test_render_positions(env, capfd, monkeypatch, fen, info):
    board = chess.BaseBoard(fen.split()[0])
    placement = {chess.square_name(sq): p.symbol() for sq, p in board.piece_map().items()}
    env.parse_fen(fen)
    text, symbols = render_channels(env, capfd, monkeypatch)
    assert text == expected_text_board(placement) + info + "\n\n\n"
    assert symbols == expected_symbol_board(placement)
