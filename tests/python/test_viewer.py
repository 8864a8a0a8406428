"""The game viewer: pages, the animated SVG, the command, and the page in a real browser.

The browser test drives headless Chromium through Selenium in a child process
with a timeout, so a browser that hangs fails the test instead of stalling
the suite. It presses the buttons and the arrow keys and reads the board back
from the page at every ply: the FEN the page says it shows and the pieces it
draws, each against python-chess's replay of the same game.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import xml.etree.ElementTree as ET

import chess
import chess.pgn
import io
import pytest
import varnok
from varnok import arena, players, viewer

# The page driven in a real browser (chromium, through selenium).
needs_browser = pytest.mark.skipif(not (shutil.which("chromium") and shutil.which("chromedriver")),
                                   reason="needs chromium and chromium-driver (./dev setup installs them)")

# A mate with checks on the way, and a game from a FEN with black to move.
MATE = '[White "A"]\n[Black "B"]\n[Result "1-0"]\n\n1. e4 e5 2. Bc4 Nc6 3. Qh5 Nf6 4. Qxf7# 1-0\n'
FROM_FEN = ('[FEN "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1"]\n[SetUp "1"]\n[Result "*"]\n\n'
            '1... O-O-O 2. Rxa7 Rh1+ 3. Ke2 *\n')


def expected_fens(pgn_text):
    game = chess.pgn.read_game(io.StringIO(pgn_text))
    board = game.board()
    fens = [board.fen()]
    for move in game.mainline_moves():
        board.push(move)
        fens.append(board.fen())
    return fens


def placement(fen):
    board = chess.Board(fen)
    return {chess.square_name(s): p.symbol() for s, p in board.piece_map().items()}


def drawn_pieces(svg):
    root = ET.fromstring(svg)
    return {t.get("data-square"): t.get("data-piece") for t in root.iter("{http://www.w3.org/2000/svg}text")
            if t.get("class") == "piece"}


def played(pgn_text):
    env = varnok.ChessEnv()
    env.load_fen(expected_fens(pgn_text)[0])
    for game in varnok.read_pgn(pgn_text):
        for action in game.actions:
            env.play(int(action))
    return env


@pytest.mark.parametrize("make, count", [
    (lambda: played(MATE), 1),
    (lambda: played(MATE).save_state(), 1),
    (lambda: MATE + "\n" + FROM_FEN, 2),
    (lambda: varnok.read_pgn(MATE + "\n" + FROM_FEN), 2),
    (lambda: [next(iter(varnok.read_pgn(FROM_FEN))), played(MATE)], 2),
], ids=["ChessEnv", "State", "PGN text", "read_pgn", "mixed list"])
def test_every_kind_of_game_gives_each_position_drawn_as_its_fen(make, count):
    games = viewer.games_of(make())
    assert len(games) == count
    for game in games:
        source = MATE if game.fens[0] == chess.STARTING_FEN else FROM_FEN
        assert game.fens == expected_fens(source)
        assert [drawn_pieces(board) for board in game.boards] == [placement(f) for f in game.fens]
    page = viewer.html(make())
    assert page.count('class="varnok-viewer"') == count
    # Nothing from the network: no address but the SVG namespace's name, nothing loaded by src or href.
    assert "http" not in page.replace("http://www.w3.org/2000/svg", "") and " src=" not in page and "href" not in page


# Chess960 games that castle, each castling written king onto rook as
# python-chess writes it: king and rooks on the standard squares (which
# standard chess reads alike, but for that text), the king already on its
# target g1, rooks already on theirs (f1, d1), a king on b1 castling onto c1,
# and black castling long with its king standing still on c8.
CASTLINGS = [
    ("rnqbknbr/pppppppp/8/8/8/8/PPPPPPPP/RNQBKNBR w KQkq - 0 1", "g3 g6 Ne3 Ne6 f3 f6 Bf2 Bf7 O-O O-O"),
    ("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", "O-O-O O-O"),
    ("1r4kr/pppppppp/8/8/8/8/PPPPPPPP/1R4KR w KQkq - 0 1", "O-O O-O-O"),
    ("3rkr2/pppppppp/8/8/8/8/PPPPPPPP/3RKR2 w KQkq - 0 1", "O-O O-O-O"),
    ("rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1", "O-O-O O-O"),
    ("rnknbbqr/pppppppp/8/8/8/8/PPPPPPPP/RNKNBBQR w KQkq - 0 1", "f3 Ne6 g3 Nc6 Qg2 O-O-O"),
]


def played_chess960(fen, uci):
    env = varnok.ChessEnv(chess960=True)
    env.load_fen(fen)
    for move in uci:
        env.play(env.uci_to_action(move))
    return env


@pytest.mark.parametrize("make", [lambda env: env, lambda env: env.save_state(), lambda env: env.pgn()],
                         ids=["ChessEnv", "State", "PGN text"])
@pytest.mark.parametrize("fen, sans", CASTLINGS)
def test_a_chess960_game_is_shown(make, fen, sans):
    board, uci, placements = chess.Board(fen, chess960=True), [], [placement(fen)]
    for san in sans.split():
        move = board.parse_san(san)
        uci.append(board.uci(move))
        board.push(move)
        placements.append(placement(board.fen()))
    (game,) = viewer.games_of(make(played_chess960(fen, uci)))
    assert (game.sans, game.uci) == (sans.split(), uci)
    assert [drawn_pieces(board) for board in game.boards] == placements


EMPTY = "8/8/8/8/8/8/8/8 w - - 0 1"


@pytest.mark.parametrize("games, error", [
    (42, TypeError), ([object()], TypeError), ("[Event \"x\"]\n\n1. e4 e5 2. Ke3 Kf9 *\n", ValueError),
    # Games made by hand that a page cannot show (an IndexError or AttributeError deep in the page, or a
    # page whose script stops at the first move).
    (viewer.Game(), ValueError), (viewer.Game(fens=["x"], boards=[""]), ValueError),
    (viewer.Game(headers={"Round": 3}, fens=[EMPTY], boards=[""]), TypeError),
    (viewer.Game(fens=[EMPTY, EMPTY], boards=[""]), ValueError), (viewer.Game(fens=[EMPTY], boards=[]), ValueError),
    (viewer.Game(fens=[EMPTY, "8/8 b - - 0 1"], boards=[""], sans=["Kd1"], uci=["e1d1"]), ValueError),
    (viewer.Game(fens=EMPTY, boards=[""]), TypeError),
    # No move in UCI, or no check per position: the page cannot draw the second board, and showed "undefined".
    (viewer.Game(fens=[EMPTY, EMPTY], boards=[""], sans=["Kd1"]), ValueError),
    (viewer.Game(fens=[EMPTY, EMPTY], boards=[""], sans=["Kd1"], uci=["e1d1"]), ValueError),
    (viewer.Game(fens=[EMPTY], boards=[""], checks=["no"]), TypeError),
])
def test_what_cannot_be_shown_is_refused(games, error):
    with pytest.raises(error):
        viewer.html(games)
    if isinstance(games, viewer.Game):   # nor shown as one frame of an animation
        with pytest.raises(error):
            viewer.animated_svg(games)


def test_a_page_goes_to_a_path_whole_or_not_at_all(tmp_path):
    # Text UTF-8 cannot hold, refused before the file is opened: it emptied the file and wrote nothing.
    (game,) = viewer.games_of(MATE, draw=False)
    game.headers["White"] = "\ud800"
    (tmp_path / "kept.html").write_text("kept")
    with pytest.raises(UnicodeEncodeError):
        viewer.html(game, tmp_path / "kept.html")
    assert (tmp_path / "kept.html").read_text() == "kept"
    read, write = os.pipe()
    try:
        # open() took the int as a descriptor: it wrote the page into the pipe and closed it.
        with pytest.raises(TypeError, match="path"):
            viewer.html(MATE, write)
        os.write(write, b"still open")
        assert os.read(read, 1 << 16) == b"still open"
    finally:
        os.close(read)
        os.close(write)
    with pytest.raises(TypeError, match="title"):
        viewer.html(MATE, title=None)
    # The page over the PGN file it shows: the games were lost.
    (tmp_path / "games.pgn").write_text(MATE)
    with pytest.raises(ValueError, match="over the PGN file"):
        viewer.html(str(tmp_path / "games.pgn"), tmp_path / "." / "games.pgn")
    with pytest.raises(ValueError, match="over the PGN file"):
        viewer.html([MATE, tmp_path / "games.pgn"], tmp_path / "games.pgn")
    assert (tmp_path / "games.pgn").read_text() == MATE


def test_animated_svg_has_one_frame_per_position_in_turn():
    svg = viewer.animated_svg(MATE, seconds_per_ply=0.5)
    frames = [g for g in ET.fromstring(svg).iter("{http://www.w3.org/2000/svg}g") if g.get("class") == "frame"]
    assert [f.get("data-fen") for f in frames] == expected_fens(MATE)
    assert [f.get("visibility") for f in frames] == ["visible"] + ["hidden"] * (len(frames) - 1)
    starts = [float(f[0].get("keyTimes").split(";")[min(i, 1)]) for i, f in enumerate(frames)]
    assert starts[1:] == sorted(starts[1:]) and len(set(starts[1:])) == len(frames) - 1
    with pytest.raises(ValueError, match="one game"):
        viewer.animated_svg(MATE + "\n" + FROM_FEN)


@pytest.mark.parametrize("drawn, shown", [(200, 400), (500, 360), (360, 360)])
def test_an_animation_fills_its_picture_whatever_size_its_boards_were_drawn(drawn, shown):
    root = ET.fromstring(viewer.animated_svg(viewer.games_of(MATE, drawn)[0], size=shown))
    boards = root.findall("{http://www.w3.org/2000/svg}g/{http://www.w3.org/2000/svg}svg")
    assert (root.get("width"), root.get("height")) == (str(shown), str(shown)) and len(boards) == 8
    assert {(b.get("width"), b.get("height")) for b in boards} == {tuple(root.get("viewBox").split()[2:])}


@pytest.mark.parametrize("make", [lambda env: env, lambda env: env.save_state()], ids=["ChessEnv", "State"])
@pytest.mark.parametrize("fen", ["kK6/8/8/8/8/8/8/8 w - - 0 1", "4k3/8/8/8/8/8/8/4K3 w KQ - 0 1"])
def test_a_game_played_on_from_a_lenient_parse_fen_is_shown(make, fen):
    env = varnok.ChessEnv()
    env.parse_fen(fen)   # a board load_fen refuses, which the game cannot be replayed from
    fens = [env.fen("legal")]
    for _ in range(2):
        env.play(int(env.legal_actions()[0]))
        fens.append(env.fen("legal"))
    (game,) = viewer.games_of(make(env))
    assert game.fens == fens
    assert [drawn_pieces(board) for board in game.boards] == [placement(f) for f in fens]
    assert 'class="varnok-viewer"' in env._repr_html_()


@pytest.mark.parametrize("make, error", [
    (lambda: varnok.svg.board_svg(varnok.ChessEnv(), 100.5), TypeError),         # was cut down to 100
    (lambda: viewer.html(MATE, size="300"), TypeError),
    # A Game's boards are drawn already: its size would go into the picture as given.
    (lambda: viewer.animated_svg(viewer.games_of(MATE)[0], size='300" onload="alert(1)'), TypeError),
    (lambda: viewer.animated_svg(MATE, float("inf")), ValueError),               # was dur="infs"
    (lambda: viewer.animated_svg(MATE, 1e308), ValueError),                      # so was a finite pace a ply
    (lambda: viewer.animated_svg(MATE, 1e-5), ValueError),                       # was dur="9e-05s"
    (lambda: viewer.animated_svg(MATE, "1"), TypeError),
])
def test_an_odd_size_or_pace_is_refused_not_written_into_the_picture(make, error):
    with pytest.raises(error, match="size|seconds_per_ply"):
        make()


def test_view_command_writes_the_page_or_one_error_line(tmp_path):
    (tmp_path / "games.pgn").write_text(MATE + "\n" + FROM_FEN)
    (tmp_path / "empty.pgn").write_text("")
    cmd = [sys.executable, "-m", "varnok", "view"]
    done = subprocess.run(cmd + ["games.pgn", "--animated", "g.svg", "--game", "1"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "games.html").read_text().count('class="varnok-viewer"') == 2
    frames = ET.parse(tmp_path / "g.svg").getroot().findall("{http://www.w3.org/2000/svg}g")
    assert [g.get("data-fen") for g in frames] == expected_fens(FROM_FEN)
    assert [drawn_pieces(ET.tostring(g.find("{http://www.w3.org/2000/svg}svg"))) for g in frames] \
        == [placement(f) for f in expected_fens(FROM_FEN)]
    # The page draws every position after the first itself: a long game costs it its FENs and moves,
    # not a picture a ply (which made a page of 200 random games 536 MB and took 4.6 GB to write).
    long_game = arena.match(players.Random(), players.Random(), games=1, seed=3, max_plies=300).pgn()
    (tmp_path / "long.pgn").write_text(long_game)
    done = subprocess.run(cmd + ["long.pgn"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    plies = len(expected_fens(long_game)) - 1
    assert done.returncode == 0 and plies > 100 and (tmp_path / "long.html").stat().st_size < 30_000 + 200 * plies
    # The page's name keeps every dot of the file's own: round.1 and round.2 do not share round.html.
    (tmp_path / "round.1.pgn.gz").write_bytes(__import__("gzip").compress(MATE.encode()))
    done = subprocess.run(cmd + ["round.1.pgn.gz"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and (tmp_path / "round.1.html").exists(), done.stderr
    files = sorted(tmp_path.iterdir())
    for args in (["empty.pgn"], ["missing.pgn"], ["games.pgn", "-o", "no.html", "--animated", "x.svg", "--game", "2"],
                 ["games.pgn", "-o", "no.html", "--animated", "x.svg", "--seconds-per-ply", "0"],
                 ["games.pgn", "-o", "no.html", "--animated", "x.svg", "--seconds-per-ply", "inf"],
                 ["games.pgn", "-o", "games.pgn"], ["games.pgn", "-o", "./g.svg", "--animated", "g.svg"],
                 # Each output path is checked before any file is written.
                 ["games.pgn", "-o", "no.html", "--animated", "missing/x.svg"],
                 ["games.pgn", "-o", "no.html", "--animated", "."], ["games.pgn", "-o", "missing/no.html"]):
        done = subprocess.run(cmd + args, cwd=tmp_path, capture_output=True, text=True, timeout=120)
        assert done.returncode == 1 and done.stderr.startswith("error: ") and done.stderr.count("\n") == 1, args
    assert sorted(tmp_path.iterdir()) == files  # a refusal writes nothing
    assert (tmp_path / "games.pgn").read_text() == MATE + "\n" + FROM_FEN


def test_view_command_stopped_by_ctrl_c_says_so(tmp_path):
    import signal

    # A pipe that never ends: Ctrl-C while it is read gave a traceback, as no other command does.
    os.mkfifo(tmp_path / "games.pgn")
    child = subprocess.Popen([sys.executable, "-m", "varnok", "view", "games.pgn"], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        with open(tmp_path / "games.pgn", "w") as writer:   # opened once the command reads it
            writer.write(MATE[:40])
            writer.flush()
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert (child.returncode, out, err) == (130, "", "error: interrupted\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["games.pgn"]


def test_a_chess_env_shows_as_a_viewer_in_notebooks():
    env = played(MATE)
    fragment = env._repr_html_()
    assert "<html" not in fragment and fragment.count('class="varnok-viewer"') == 1
    assert json.dumps(expected_fens(MATE)[-1]) in fragment
    assert 'data-fen="8/8/8/8/8/8/8/8 w - - 0 1"' in varnok.ChessEnv()._repr_html_()  # no game started yet


BROWSER = textwrap.dedent("""
    import json, sys
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    page, shot = sys.argv[1], sys.argv[2]
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1000,900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))
    driver.set_page_load_timeout(60)
    driver.set_script_timeout(30)
    try:
        driver.get("file://" + page)
        def read(viewer):
            board = viewer.find_element(By.CSS_SELECTOR, ".board")
            pieces = {p.get_attribute("data-square"): p.get_attribute("data-piece")
                      for p in board.find_elements(By.CSS_SELECTOR, "text.piece")}
            marks = {k: sorted(r.get_attribute("data-square") for r in board.find_elements(By.CSS_SELECTOR, "rect." + k))
                     for k in ("last-move", "check")}
            return {"fen": board.get_attribute("data-fen"), "pieces": pieces, "marks": marks,
                    "current": [m.text for m in viewer.find_elements(By.CSS_SELECTOR, ".move.current")]}
        out = []
        for viewer in driver.find_elements(By.CSS_SELECTOR, ".varnok-viewer"):
            button = {b.get_attribute("data-go"): b for b in viewer.find_elements(By.CSS_SELECTOR, "button")}
            n = len(viewer.find_elements(By.CSS_SELECTOR, ".move"))

            def walk(name, key):   # n plies, by the button and the arrow key in turn
                seen = []
                for i in range(n):
                    if i % 2:
                        button[name].click()
                    else:
                        viewer.send_keys(key)
                    seen.append(read(viewer))
                return seen

            forward = [read(viewer)] + walk("next", Keys.ARROW_RIGHT)
            backward = walk("prev", Keys.ARROW_LEFT)
            button["last"].click()
            last = read(viewer)
            viewer.send_keys(Keys.HOME)
            first = read(viewer)
            out.append({"forward": forward, "backward": backward, "last": last, "first": first})
        driver.save_screenshot(shot)
        print(json.dumps(out))
    finally:
        driver.quit()
""")


@needs_browser
def test_the_page_in_a_browser_shows_every_ply_forward_and_back(tmp_path):
    pytest.importorskip("selenium")
    from PIL import Image

    page = tmp_path / "games.html"
    viewer.html(MATE + "\n" + FROM_FEN, page)
    script = tmp_path / "drive.py"
    script.write_text(BROWSER)
    done = subprocess.run([sys.executable, str(script), str(page), str(tmp_path / "shot.png")],
                          capture_output=True, text=True, timeout=180, env={**os.environ, "HOME": str(tmp_path)})
    assert done.returncode == 0, done.stderr[-3000:]
    seen = json.loads(done.stdout)
    assert len(seen) == 2
    for source, game in zip((MATE, FROM_FEN), seen):
        fens = expected_fens(source)
        pgn = chess.pgn.read_game(io.StringIO(source))
        moves = list(pgn.mainline_moves())
        board = pgn.board()
        sans = []
        for move in moves:
            sans.append(board.san(move))
            board.push(move)
        forward, backward = game["forward"], game["backward"]
        assert [s["fen"] for s in forward] == fens
        assert [s["pieces"] for s in forward] == [placement(f) for f in fens]
        assert [s["fen"] for s in backward] == fens[-2::-1]
        assert [s["pieces"] for s in backward] == [placement(f) for f in fens[-2::-1]]
        assert game["last"]["fen"] == fens[-1] and game["first"]["fen"] == fens[0]
        assert [s["current"] for s in forward] == [[]] + [[san] for san in sans]
        for ply, state in enumerate(forward):
            last = sorted(chess.square_name(s) for s in (moves[ply - 1].from_square, moves[ply - 1].to_square)) \
                if ply else []
            in_check = chess.Board(fens[ply]).is_check()
            king = chess.Board(fens[ply]).king(chess.Board(fens[ply]).turn)
            assert state["marks"]["check"] == ([chess.square_name(king)] if in_check else []), ply
            assert set(state["marks"]["last-move"]) == set(last) - set(state["marks"]["check"]), ply
    image = Image.open(tmp_path / "shot.png").convert("RGB")
    assert image.size[0] > 100 and len(image.getcolors(1 << 24)) > 20  # a drawn page, not a blank one


# Text from a PGN file or a Game made by hand, each meant to run script or to
# end an element early; the page must show it as text.
# (No spaces: a Game's FEN holds one in a field of its own.)
HOSTILE = ["<img/src=x/onerror=window.pwned=1>", '"><svg/onload=window.pwned=2>',
           "</script><script>window.pwned=3</script>", "<!--<script>", "]]><img/src=x/onerror=window.pwned=4>",
           "&amp;\u202e\x07"]

HOSTILE_BROWSER = textwrap.dedent("""
    import json, sys
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(flag)
    driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))
    driver.set_page_load_timeout(60)
    try:
        driver.get("file://" + sys.argv[1])
        viewers = driver.find_elements(By.CSS_SELECTOR, ".varnok-viewer")
        titles = []
        for viewer in viewers:
            viewer.find_element(By.CSS_SELECTOR, "button[data-go=last]").click()
            titles.append(driver.execute_script("return arguments[0].querySelector('.board title').textContent",
                                                viewer))
        print(json.dumps({"viewers": len(viewers), "ready": [v.get_attribute("data-ready") for v in viewers],
                          "titles": titles, "pwned": driver.execute_script("return window.pwned || null"),
                          "elements": driver.execute_script(
                              "return document.querySelectorAll('.varnok-viewer img, .varnok-viewer svg svg,"
                              " .varnok-viewer script:not(.game-data)').length")}))
    finally:
        driver.quit()
""")


@needs_browser
def test_hostile_text_shows_as_text_and_runs_no_script(tmp_path):
    pytest.importorskip("selenium")
    from html.parser import HTMLParser

    pgn = "".join(f'[Event "{text}"]\n[White "{text}"]\n[Result "1-0"]\n\n{{{text}}} 1. e4 ({text}) e5 ; {text}\n'
                  f"2. Qh5 Nc6 3. Bc4 Nf6 4. Qxf7# 1-0\n\n" for text in HOSTILE)
    start = viewer.games_of("1. e4 *\n", draw=False)[0]
    by_hand = [viewer.Game(headers={"Event": text}, fens=[start.fens[0], f"8/8/8/8/8/8/8/{text[:1]}7 b {text} - 0 1"],
                           boards=start.boards, sans=["e4"], uci=["e2e4"], checks=[False, False]) for text in HOSTILE]
    page = tmp_path / "hostile.html"
    viewer.html([*viewer.games_of(pgn, draw=False), *by_hand], page, title=HOSTILE[0])

    found = []   # (element, its event handler and src attributes) as the page's HTML parses

    class Elements(HTMLParser):
        def handle_starttag(self, tag, attrs):
            found.append((tag, [k for k, _ in attrs if k.startswith("on") or k == "src"]))

    Elements().feed(page.read_text())
    assert {t for t, _ in found} <= {"html", "head", "meta", "title", "body", "style", "div", "svg", "rect", "text",
                                     "table", "tr", "td", "button", "span", "script"}
    # No handler or source anywhere; a script element per game's data, and the page's own.
    assert not any(attrs for _, attrs in found) and sum(t == "script" for t, _ in found) == 2 * len(HOSTILE) + 1
    script = tmp_path / "drive.py"
    script.write_text(HOSTILE_BROWSER)
    done = subprocess.run([sys.executable, str(script), str(page)], capture_output=True, text=True, timeout=180,
                          env={**os.environ, "HOME": str(tmp_path)})
    assert done.returncode == 0, done.stderr[-3000:]
    seen = json.loads(done.stdout)
    assert seen["pwned"] is None and seen["elements"] == 0
    assert seen["viewers"] == 2 * len(HOSTILE) and seen["ready"] == ["1"] * seen["viewers"]
    assert seen["titles"][len(HOSTILE):] == [game.fens[-1] for game in by_hand]
