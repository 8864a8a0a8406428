"""Watching games: a self-contained HTML page, and an animated SVG of one game.

``html(games)`` turns games into one HTML page that needs no network: the
first position of each game is drawn by ``varnok.svg``, and the page's
JavaScript draws the others the same way from their FEN, so a page holds
about a hundred bytes a ply rather than a whole picture; it shows them with
a move list, first / previous / next / last buttons and the arrow
keys (Home and End too), the headers of each game, the last move and a king
in check highlighted. ``ChessEnv._repr_html_`` shows a game so in Jupyter,
and ``python -m varnok view GAMES.pgn`` writes the page for a PGN file.

``animated_svg(game)`` is one game as an SVG that plays itself (SMIL
animation, shown by browsers and most slide tools) for papers and slides.

A game is given as a ``ChessEnv`` (the episode so far), a ``State``, a
``PgnGame`` (from ``read_pgn``), or PGN text or a PGN file path (every game
in it: a broken game there raises ValueError naming its line, as ``read_pgn``
with ``errors="raise"`` does), or a ``Game`` made by ``games_of``; ``games``
may be one of these or an iterable of them.
"""

from __future__ import annotations

import html as _html
import json
import math
import os
import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from varnok._core import ChessEnv, PgnGame, State, read_pgn
from varnok._checks import path as checked_path, real, write_text
from varnok import svg
from varnok.svg import board_svg, checked_size

__all__ = ["Game", "animated_svg", "games_of", "html"]

MIN_SECONDS_PER_PLY = 0.001   # an animated SVG's times are written in milliseconds
DEFAULT_SIZE = 360            # pixels a board is drawn in


@dataclass
class Game:
    """One game replayed for viewing: a FEN (en passant only where a capture is legal, as
    python-chess writes it) and a drawn board per position, SAN and UCI per move (UCI as the
    game writes it), and whether the side to move is in check in each position."""

    headers: dict[str, str] = field(default_factory=dict)
    fens: list[str] = field(default_factory=list)
    boards: list[str] = field(default_factory=list)
    sans: list[str] = field(default_factory=list)
    uci: list[str] = field(default_factory=list)
    checks: list[bool] = field(default_factory=list)

    @property
    def plies(self) -> int:
        return len(self.sans)


def _replay(start_fen: str, uci: list[str], headers: dict[str, str], rules: str, size: int,
            chess960: bool | None = None, draw: bool = True, lenient: bool = False) -> Game:
    """The game replayed; chess960 None where the game does not say which
    chess it is (a State, a PGN game): standard chess, or else Chess960,
    whose X-FEN castling field and king-onto-rook castling moves a game of
    standard chess refuses, and which reads every standard game alike.
    Without draw only the first position's board is drawn; with lenient the
    start is read as parse_fen reads it."""
    if chess960 is None:
        try:
            return _replay(start_fen, uci, headers, rules, size, False, draw, lenient)
        except ValueError:
            return _replay(start_fen, uci, headers, rules, size, True, draw, lenient)
    env = ChessEnv(rules=rules, chess960=chess960)
    if lenient:
        env.parse_fen(start_fen)
    else:
        env.load_fen(start_fen)
    game = Game(headers=dict(headers), fens=[env.fen("legal")], boards=[board_svg(env, size)],
                checks=[env.in_check()])
    for move in uci:
        action = env.uci_to_action(move)
        game.sans.append(env.action_to_san(action))
        # Castling as the game itself writes it: a Chess960 game whose king
        # and rooks start on the standard squares is read here as standard
        # chess (the same board, the same SAN), but it castles king onto rook.
        onto_rook = env.action_to_uci(action, chess960=True)
        game.uci.append(onto_rook if move == onto_rook else env.action_to_uci(action))
        # play() goes on past a draw by the rules, as a PGN game may.
        env.play(action)
        game.fens.append(env.fen("legal"))
        game.checks.append(env.in_check())
        if draw:
            game.boards.append(board_svg(env, size))
    return game


def _from_env(env: ChessEnv, size: int, draw: bool) -> Game:
    if not env.moves_uci():
        # Nothing to replay; the board as it stands, which may be one load_fen
        # refuses (an empty board before any game, a lenient parse_fen).
        return Game(fens=[env.fen("legal")], boards=[board_svg(env, size)], checks=[env.in_check()])
    state = env.save_state()
    outcome = env.outcome()
    headers = {"Termination": outcome} if outcome else {}
    # A State restored into a standard ChessEnv may hold a Chess960 game.
    try:
        return _replay(state.start_fen, env.moves_uci(), headers, env.rules, size, env.chess960 or None, draw)
    except ValueError:
        # A board load_fen refuses, set up by a lenient parse_fen and played
        # on from there: replayed from the same lenient reading.
        return _replay(state.start_fen, env.moves_uci(), headers, env.rules, size, env.chess960 or None, draw,
                       lenient=True)


def _checked(game: Game) -> Game:
    """A Game made by hand, refused (naming the field) where a page could
    not show it: a position per move and one more, each a FEN of six fields
    (eight ranks, the side to move, the move number), the first board
    drawn (every board, unless each move is given in UCI and each position
    says whether it is check, from which the page draws the rest), text for
    every header and move, True or False for each check."""
    def texts(values, name):
        if not isinstance(values, list) or not all(isinstance(v, str) for v in values):
            raise TypeError(f"games: a Game's {name} must be a list of str, got {values!r:.80}")

    for values, name in ((game.fens, "fens"), (game.boards, "boards"), (game.sans, "sans"), (game.uci, "uci")):
        texts(values, name)
    if not isinstance(game.headers, dict):
        raise TypeError(f"games: a Game's headers must be a dict of str, got {game.headers!r:.80}")
    texts([*game.headers, *game.headers.values()], "headers (names and values)")
    for fen in game.fens or [""]:
        fields = fen.split()
        if (len(fields) != 6 or fields[0].count("/") != 7 or fields[1] not in ("w", "b") or not fields[5].isascii()
                or not fields[5].isdigit()):
            raise ValueError(f"games: a Game's FENs must have six fields, eight ranks, a side to move and a move "
                             f"number (the page draws each), got {fen!r:.80}")
    if not isinstance(game.checks, list) or not all(c in (False, True) for c in game.checks):
        raise TypeError(f"games: a Game's checks must be a list of bool, got {game.checks!r:.80}")
    if len(game.fens) != game.plies + 1 or not game.boards:
        raise ValueError(f"games: a Game holds a FEN per position ({len(game.fens)}), one more than its moves "
                         f"({game.plies}), and at least its first board ({len(game.boards)})")
    if not _page_draws(game) and len(game.boards) != len(game.fens):
        # The page would show no board past the ones given, an animated SVG no frame.
        raise ValueError(f"games: a Game without a move in UCI per move and a check per position holds a board "
                         f"per position ({len(game.fens)}), got {len(game.boards)}")
    return game


def _page_draws(game: Game) -> bool:
    """Whether a page can draw each position of game from its FEN, its move and its check."""
    return len(game.uci) == game.plies and len(game.checks) == len(game.fens)


def games_of(games: Any, size: int = DEFAULT_SIZE, *, draw: bool = True) -> list[Game]:
    """The games to show, replayed: see the module's docstring for what
    ``games`` may be. With ``draw=False`` only each game's first board is
    drawn (a page of ``html`` draws the others itself)."""
    if isinstance(games, (Game, ChessEnv, State, PgnGame, str, os.PathLike)):
        games = [games]
    elif not isinstance(games, Iterable):
        raise TypeError(f"games must be a ChessEnv, State, PgnGame, PGN text or path, or an iterable of them, "
                        f"not {type(games).__name__}")
    out: list[Game] = []
    for game in games:
        if isinstance(game, Game):
            out.append(_checked(game))
        elif isinstance(game, ChessEnv):
            out.append(_from_env(game, size, draw))
        elif isinstance(game, State):
            env = ChessEnv()
            env.restore_state(game)
            out.append(_from_env(env, size, draw))
        elif isinstance(game, PgnGame):
            out.append(_replay(game.start_fen, list(game.uci), game.headers, "fide-strict", size, None, draw))
        elif isinstance(game, (str, os.PathLike)):
            out += [_replay(g.start_fen, list(g.uci), g.headers, "fide-strict", size, None, draw)
                    for g in read_pgn(game, errors="raise")]
        else:
            raise TypeError(f"games: cannot show a {type(game).__name__} (a ChessEnv, State, PgnGame, "
                            f"PGN text or path is wanted)")
    return out


_STYLE = """
.varnok-viewer { font-family: system-ui, sans-serif; display: flex; gap: 1em; flex-wrap: wrap;
  margin-bottom: 1.5em; outline: none; }
.varnok-viewer .board svg { display: block; }
.varnok-viewer .side { max-width: 28em; }
.varnok-viewer .headers { font-size: 0.9em; margin: 0 0 0.6em 0; border-collapse: collapse; }
.varnok-viewer .headers td { padding: 0 0.6em 0 0; }
.varnok-viewer .moves { max-height: 22em; overflow-y: auto; line-height: 1.7; font-size: 0.95em; }
.varnok-viewer .move { cursor: pointer; padding: 0 0.2em; border-radius: 3px; }
.varnok-viewer .move.current { background: #cdd26a; }
.varnok-viewer .number { color: #777; margin-left: 0.3em; }
.varnok-viewer .controls button { font-size: 1.1em; min-width: 2.4em; }
.varnok-viewer .status { font-size: 0.9em; color: #555; margin-top: 0.4em; }
"""

# Draws a position as varnok.svg.board_svg does (not flipped), from its FEN,
# the move that led to it in UCI ("" for none) and whether the side to move
# is in check.
_DRAW_BOARD = """
  var LIGHT = "%(light)s", DARK = "%(dark)s", LAST_MOVE = "%(last_move)s", CHECK = "%(check)s";
  var SQUARE = %(square)d, MARGIN = %(margin)d, FILES = "abcdefgh";
  var GLYPHS = %(glyphs)s, NAMES = %(names)s;
  function squareOf(name) { return 8 * (8 - Number(name[1])) + FILES.indexOf(name[0]); }
  function squareName(square) { return FILES[square %% 8] + (8 - Math.floor(square / 8)); }
  // A FEN is text, not markup: a Game made by hand may hold any.
  function escaped(text) {
    return String(text).replace(/[&<>"']/g, function (c) { return "&#" + c.charCodeAt(0) + ";"; });
  }
  function drawBoard(fen, move, check, size) {
    var pieces = {}, marked = {}, rows = fen.split(" ")[0].split("/");
    for (var row = 0; row < 8; row++) {
      for (var i = 0, column = 0; i < rows[row].length; i++) {
        var c = rows[row][i];
        if (c >= "1" && c <= "8") column += Number(c); else pieces[8 * row + column++] = c;
      }
    }
    if (move) marked[squareOf(move.slice(0, 2))] = marked[squareOf(move.slice(2, 4))] = "last-move";
    if (check) {
      var king = fen.split(" ")[1] === "w" ? "K" : "k";
      for (var square in pieces) if (pieces[square] === king) marked[square] = "check";
    }
    var extent = MARGIN + 8 * SQUARE;
    var out = ['<svg xmlns="http://www.w3.org/2000/svg" width="' + size + '" height="' + size +
               '" viewBox="0 0 ' + extent + " " + extent + '" font-family="DejaVu Sans, Segoe UI Symbol, sans-serif">',
               "<title>" + escaped(fen) + "</title>"];
    function rect(kind, name, x, y, fill, extra) {
      return '<rect class="' + kind + '" data-square="' + name + '" x="' + x + '" y="' + y + '" width="' + SQUARE +
             '" height="' + SQUARE + '" fill="' + fill + '"' + extra + "/>";
    }
    for (var s = 0; s < 64; s++) {
      var x = MARGIN + (s %% 8) * SQUARE, y = Math.floor(s / 8) * SQUARE, name = squareName(s);
      var light = (Math.floor(s / 8) + s %% 8) %% 2 === 0;
      out.push(rect("square " + (light ? "light" : "dark"), name, x, y, light ? LIGHT : DARK, ""));
      if (marked[s]) out.push(rect(marked[s], name, x, y, marked[s] === "check" ? CHECK : LAST_MOVE,
                                   ' fill-opacity="0.75"'));
    }
    for (s = 0; s < 64; s++) {
      var letter = pieces[s];
      if (!letter) continue;
      var white = letter !== letter.toLowerCase(), kind = letter.toLowerCase();
      out.push('<text class="piece" data-square="' + squareName(s) + '" data-piece="' + escaped(letter) +
               '" aria-label="' + (white ? "white " : "black ") + (NAMES[kind] || "piece") + '" x="' +
               (MARGIN + (s %% 8) * SQUARE + SQUARE / 2) + '" y="' + (Math.floor(s / 8) * SQUARE + SQUARE * 0.8) +
               '" font-size="' + SQUARE * 0.85 +
               '" text-anchor="middle" fill="' + (white ? "#ffffff" : "#000000") + '" stroke="#000000" stroke-width="' +
               (white ? 1.2 : 0.5) + '">' + (GLYPHS[kind] || "?") + "</text>");
    }
    for (var i = 0; i < 8; i++) {
      out.push('<text class="file-label" x="' + (MARGIN + i * SQUARE + SQUARE / 2) + '" y="' + (8 * SQUARE + 15) +
               '" font-size="12" text-anchor="middle">' + FILES[i] + "</text>");
      out.push('<text class="rank-label" x="' + MARGIN / 2 + '" y="' + (i * SQUARE + SQUARE / 2 + 4) +
               '" font-size="12" text-anchor="middle">' + (8 - i) + "</text>");
    }
    out.push("</svg>");
    return out.join("\\n");
  }
""" % {"light": svg.LIGHT, "dark": svg.DARK, "last_move": svg.LAST_MOVE, "check": svg.CHECK, "square": svg.SQUARE,
       "margin": svg.MARGIN, "glyphs": json.dumps(svg.GLYPHS), "names": json.dumps(svg.NAMES)}

# Shows each position, drawn from the game's data (or, for a Game made by
# hand without moves in UCI, from the boards the page carries); every viewer
# on a page (or in a notebook) is set up once, from its own JSON.
_SCRIPT = """
(function () {""" + _DRAW_BOARD + """
  function setUp(root) {
    if (root.dataset.ready) return;
    root.dataset.ready = "1";
    var game = JSON.parse(root.querySelector("script.game-data").textContent);
    var board = root.querySelector(".board"), status = root.querySelector(".status");
    var moves = root.querySelectorAll(".move"), ply = 0;
    function show(p) {
      ply = Math.max(0, Math.min(game.fens.length - 1, p));
      board.innerHTML = game.boards ? game.boards[ply]
        : drawBoard(game.fens[ply], ply > 0 ? game.uci[ply - 1] : "", game.checks[ply], game.size);
      board.dataset.fen = game.fens[ply];
      root.dataset.ply = ply;
      for (var i = 0; i < moves.length; i++) moves[i].classList.toggle("current", i + 1 === ply);
      if (ply > 0) moves[ply - 1].scrollIntoView({block: "nearest"});
      status.textContent = "ply " + ply + " of " + (game.fens.length - 1);
    }
    var go = {first: function () { show(0); }, prev: function () { show(ply - 1); },
              next: function () { show(ply + 1); }, last: function () { show(game.fens.length - 1); }};
    root.querySelectorAll("button[data-go]").forEach(function (b) {
      b.addEventListener("click", function () { go[b.dataset.go](); root.focus(); });
    });
    moves.forEach(function (m) {
      m.addEventListener("click", function () { show(Number(m.dataset.ply)); });
    });
    root.addEventListener("keydown", function (e) {
      var keys = {ArrowLeft: "prev", ArrowRight: "next", Home: "first", End: "last"};
      if (keys[e.key]) { go[keys[e.key]](); e.preventDefault(); }
    });
    show(0);
  }
  document.querySelectorAll(".varnok-viewer").forEach(setUp);
  // A page of its own: the arrow keys work without clicking a board first.
  var page = document.body && document.body.dataset.varnokPage;
  if (page && !document.activeElement.closest(".varnok-viewer")) {
    var first = document.querySelector(".varnok-viewer");
    if (first) first.focus();
  }
})();
"""


def _escape_json(value: Any) -> str:
    # No "<" at all inside the script element: "</" would end it early, and
    # "<!--" then "<script" would have the HTML parser carry it past its own
    # end tag, swallowing the page's script. JSON reads \u003c as "<".
    return json.dumps(value).replace("<", "\\u003c")


def _viewer(game: Game, index: int, size: int) -> str:
    rows = "".join(f"<tr><td>{_html.escape(k)}</td><td>{_html.escape(v)}</td></tr>"
                   for k, v in game.headers.items() if v not in ("?", "????.??.??"))
    black_first = game.fens[0].split()[1] == "b"
    number = int(game.fens[0].split()[5])
    parts = []
    for i, san in enumerate(game.sans):
        white_moves = (i % 2 == 0) != black_first
        if white_moves or i == 0:
            dots = "." if white_moves else "..."
            parts.append(f'<span class="number">{number}{dots}</span>')
        if not white_moves:
            number += 1
        parts.append(f'<span class="move" data-ply="{i + 1}">{_html.escape(san)}</span>')
    result = game.headers.get("Result", "")
    if result and result != "*":
        parts.append(f'<span class="number">{_html.escape(result)}</span>')
    if _page_draws(game):
        data: dict[str, Any] = {"fens": game.fens, "uci": game.uci, "checks": [int(c) for c in game.checks],
                                "size": size}
    else:
        data = {"fens": game.fens, "boards": game.boards}
    return (
        f'<div class="varnok-viewer" id="varnok-game-{index}" tabindex="0">'
        f'<div class="board" data-fen="{_html.escape(game.fens[0])}">{game.boards[0]}</div>'
        f'<div class="side"><table class="headers">{rows}</table>'
        '<div class="controls"><button data-go="first" title="first (Home)">|&lt;</button> '
        '<button data-go="prev" title="previous (left arrow)">&lt;</button> '
        '<button data-go="next" title="next (right arrow)">&gt;</button> '
        '<button data-go="last" title="last (End)">&gt;|</button></div>'
        f'<div class="status"></div><div class="moves">{" ".join(parts)}</div></div>'
        f'<script type="application/json" class="game-data">{_escape_json(data)}</script></div>'
    )


def html(games: Any, path: str | os.PathLike[str] | None = None, *, size: int = DEFAULT_SIZE,
         title: str = "varnok games", full_page: bool = True) -> str:
    """One self-contained HTML page showing ``games`` (see the module's docstring).

    Each game gets a board, its headers, the move list (click a move to go
    there), first / previous / next / last buttons and the arrow keys. The
    page loads nothing from the network. With ``path`` the page is also
    written there (UTF-8). ``full_page=False`` gives the viewers alone, with
    their style and script, to embed in another page (Jupyter does so).
    """
    size = checked_size(size)
    # A path, not a file descriptor: open() takes an int (True too) as one,
    # writes the page there and closes it, the caller's stdout or pipe with it.
    if path is not None:
        path = checked_path(path, "path")
        # The page is written after the games are read: over the PGN file
        # they came from, it would leave the page and lose the games.
        sources = games if isinstance(games, (list, tuple)) else [games]
        if any(_same_file(source, path) for source in sources):
            raise ValueError(f"{os.fspath(path)}: would be written over the PGN file it shows; choose another name")
    if not isinstance(title, str):
        raise TypeError(f"title must be a str, got {title!r:.80}")
    shown = games_of(games, size, draw=False)
    body = "\n".join(_viewer(game, i, size) for i, game in enumerate(shown))
    fragment = f"<style>{_STYLE}</style>\n{body}\n<script>{_SCRIPT}</script>"
    if full_page:
        text = ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                f"<title>{_html.escape(title)}</title></head>\n"
                f"<body data-varnok-page=\"1\">\n{fragment}\n</body></html>\n")
    else:
        text = fragment
    if path is not None:
        write_text(path, text)
    return text


def _same_file(source: Any, path: str | os.PathLike[str]) -> bool:
    """Whether source (a game or PGN text or path) is the file at path."""
    return (isinstance(source, (str, os.PathLike)) and os.path.isfile(source)
            and os.path.realpath(source) == os.path.realpath(path))


def _drawn_size(board: str, size: int) -> tuple[str, str]:
    """The width and height a board's own svg element gives, in user units
    (size for either where it gives none as a plain number)."""
    root = re.match(r"\s*<svg\b[^>]*>", board)
    found = [re.search(rf'\s{name}="(\d+(?:\.\d+)?)"', root[0]) if root else None for name in ("width", "height")]
    return found[0][1] if found[0] else str(size), found[1][1] if found[1] else str(size)


def env_html(env: ChessEnv) -> str:
    """What Jupyter shows for a ChessEnv: the episode so far in a viewer."""
    return html(env, full_page=False)


def animated_svg(game: Any, seconds_per_ply: float = 1.0, size: int = DEFAULT_SIZE) -> str:
    """One game as an SVG that plays itself and starts over, ``seconds_per_ply`` per position.

    ``game`` is anything ``html`` takes that holds exactly one game. Each
    position is one frame (a board drawn by ``varnok.svg``) shown in turn by
    SMIL ``animate`` elements; a viewer without animation shows the first.
    """
    # SMIL's clock values have no exponent: a pace is written with fixed
    # decimals, to the millisecond, the least it takes.
    seconds_per_ply = real(seconds_per_ply, "seconds_per_ply", MIN_SECONDS_PER_PLY)
    size = checked_size(size)   # a Game's boards are drawn already: the size is checked here too
    shown = games_of(game, size)
    if len(shown) != 1:
        raise ValueError(f"game: an animated SVG shows one game, got {len(shown)}")
    if len(shown[0].boards) != len(shown[0].fens):   # a page's Game, its first board drawn
        shown = [_replay(shown[0].fens[0], shown[0].uci, shown[0].headers, "fide-strict", size)]
    frames = shown[0].boards
    count = len(frames)
    if not math.isfinite(seconds_per_ply * count):   # it would be written dur="infs"
        raise ValueError(f"seconds_per_ply: {seconds_per_ply!r} for each of {count} positions is more time "
                         f"than a number can hold")
    duration = f"{seconds_per_ply * count:.3f}"
    # A Game's boards may be drawn at another size than the picture's: the
    # view box is the first board's own size, so that each frame fills it.
    width, height = _drawn_size(frames[0], size)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
           f'viewBox="0 0 {width} {height}">']
    for i, board in enumerate(frames):
        start, end = i / count, (i + 1) / count
        if count == 1:
            animate = ""
        elif i == 0:
            animate = (f'<animate attributeName="visibility" values="visible;hidden" keyTimes="0;{end:.6f}" '
                       f'dur="{duration}s" calcMode="discrete" repeatCount="indefinite"/>')
        else:
            values, times = "hidden;visible;hidden", f"0;{start:.6f};{end:.6f}"
            if i == count - 1:
                values, times = "hidden;visible", f"0;{start:.6f}"
            animate = (f'<animate attributeName="visibility" values="{values}" keyTimes="{times}" '
                       f'dur="{duration}s" calcMode="discrete" repeatCount="indefinite"/>')
        visibility = "visible" if i == 0 else "hidden"
        out.append(f'<g class="frame" data-ply="{i}" data-fen="{_html.escape(shown[0].fens[i])}" '
                   f'visibility="{visibility}">{animate}{board}</g>')
    out.append("</svg>")
    return "\n".join(out) + "\n"
