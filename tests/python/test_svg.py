"""SVG pictures of the board: well-formed XML showing the position, the last move, check and labels."""

import xml.etree.ElementTree as ET

import pytest

import varnok


def parse(text):
    root = ET.fromstring(text)
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    return root


def by_class(root, name):
    return [e for e in root.iter() if name in (e.get("class") or "").split()]


def pieces(root):
    return {e.get("data-square"): e.get("data-piece") for e in by_class(root, "piece")}


def position(x, y):
    return float(x), float(y)


def test_the_start_position_shows_32_pieces_on_their_squares_with_labels():
    env = varnok.ChessEnv()
    env.reset()
    root = parse(env.svg(size=300))
    assert root.get("width") == root.get("height") == "300"
    shown = pieces(root)
    assert len(shown) == 32
    assert shown["e1"] == "K" and shown["d8"] == "q" and shown["a2"] == "P" and shown["g8"] == "n"
    assert len(by_class(root, "square")) == 64
    assert [e.text for e in by_class(root, "file-label")] == list("abcdefgh")
    assert [e.text for e in by_class(root, "rank-label")] == list("87654321")
    assert by_class(root, "last-move") == [] and by_class(root, "check") == []
    # White's glyphs are white, black's black; the same filled shape for both.
    king, other = (next(e for e in by_class(root, "piece") if e.get("data-piece") == p) for p in "Kk")
    assert king.text == other.text == "\u265a" and king.get("fill") != other.get("fill")


def test_last_move_and_check_are_highlighted():
    env = varnok.ChessEnv()
    env.reset()
    for uci in ["e2e4", "f7f6", "d2d4", "g7g5", "d1h5"]:
        env.step(env.uci_to_action(uci))
    root = parse(env.svg())
    assert sorted(e.get("data-square") for e in by_class(root, "last-move")) == ["d1", "h5"]
    assert [e.get("data-square") for e in by_class(root, "check")] == ["e8"]
    plain = parse(env.svg(last_move=False, check=False))
    assert by_class(plain, "last-move") == [] and by_class(plain, "check") == []
    assert pieces(plain) == pieces(root) and pieces(root)["h5"] == "Q"


def test_flipped_puts_black_at_the_bottom():
    env = varnok.ChessEnv()
    env.load_fen("4k3/8/8/8/8/8/8/R3K3 w - - 0 1")
    normal, flipped = parse(env.svg()), parse(env.svg(flipped=True))

    def place(root, square):
        e = next(e for e in by_class(root, "piece") if e.get("data-square") == square)
        return position(e.get("x"), e.get("y"))

    assert place(normal, "a1")[1] > place(normal, "e8")[1] and place(normal, "a1")[0] < place(normal, "e1")[0]
    assert place(flipped, "a1")[1] < place(flipped, "e8")[1] and place(flipped, "a1")[0] > place(flipped, "e1")[0]
    assert [e.text for e in by_class(flipped, "rank-label")] == list("12345678")
    assert [e.text for e in by_class(flipped, "file-label")] == list("hgfedcba")


def test_jupyter_picture_is_the_default_svg_and_render_is_unchanged(capfd):
    env = varnok.ChessEnv()
    env.reset()
    env.step(564)
    assert env._repr_svg_() == env.svg()
    assert env.render() is None


def test_an_empty_board_draws_and_a_tiny_size_is_refused():
    assert pieces(parse(varnok.ChessEnv().svg())) == {}
    with pytest.raises(ValueError, match="size"):
        varnok.ChessEnv().svg(size=10)
