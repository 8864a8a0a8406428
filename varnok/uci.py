"""The UCI front end: ``python -m varnok uci PLAYER`` plays any varnok player
in chess GUIs, match managers and bots through the Universal Chess Interface
on standard input and output.

Commands: ``uci`` (answered with ``id``, the options Threads, Simulations,
Seed and UCI_Chess960, and ``uciok``), ``isready``, ``ucinewgame``,
``setoption name N value V``, ``position startpos|fen FEN [moves M...]``,
``go`` with ``wtime``, ``btime``, ``winc``, ``binc``, ``movestogo``,
``movetime``, ``nodes``, ``depth``, ``mate``, ``searchmoves``, ``infinite``
or ``ponder``, ``ponderhit``, ``stop`` and ``quit``. The search runs on a
worker thread, so ``stop``, ``isready`` and ``quit`` are answered at any
time. Under ``go infinite`` the search goes on until ``stop``, telling its
best line about once a second. Under ``go ponder`` the best move waits for
``stop`` (or ``ponderhit``, after which the move's clock runs from then). A malformed
command, an option value outside its range, or a move in ``position`` that
is not legal, is answered with ``info string`` and the engine goes on with
its last good position. A ``go`` word not understood (an unknown word, a
limit without a number, a ``searchmoves`` move that is not legal) is told
with ``info string`` and passed over, and the rest of the line holds: every
``go`` is answered with a legal ``bestmove`` (``0000`` where no move is
legal).
"""

from __future__ import annotations

import math
import os
import sys
import threading
import time

from varnok._checks import goes_on
from varnok._core import ChessEnv
from varnok.players import BasePlayer, Thought, copy_of, player_from_text

ENGINE_NAME = "varnok"
START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# Time kept back from every move for the GUI's and the pipe's own delays.
MOVE_OVERHEAD_S = 0.05
# Moves a game is assumed still to last when the GUI does not say (movestogo).
DEFAULT_MOVES_TO_GO = 30
GO_NUMBERS = ("wtime", "btime", "winc", "binc", "movestogo", "movetime", "nodes", "depth", "mate")
GO_WORDS = (*GO_NUMBERS, "infinite", "ponder", "searchmoves")
# A mate's value when searchmoves ranks root moves: above every centipawn score.
MATE_VALUE = 1_000_000
# The go numbers are held to the range a 64-bit engine reads (a GUI's
# "no limit" may be any huge number), and a clock to about 31 years: past
# them a time in seconds overflows a float or a timer.
LARGEST_GO_NUMBER = 2**63 - 1
LONGEST_CLOCK_S = 1e9
# The longest text an info string line carries.
INFO_CHARACTERS = 200
# The spin options, with the range each is told to the GUI and held to.
OPTION_RANGES = {"Threads": (1, 256), "Simulations": (1, 10_000_000), "Seed": (0, 2_147_483_647)}
# Where the session's draw rules end a game that still has moves, the GUI may
# go on (a third occurrence or 100 plies without progress give only a claim);
# the search then judges the game by the rules the FIDE Laws apply unasked.
LAWS_RULES = "fide-strict"


class UciEngine:
    """One UCI session over a reader and a writer (text lines)."""

    def __init__(self, text: str, out=None, rules: str = "fide"):
        self.player_text = text
        self.out = out or sys.stdout
        self.rules = rules
        self.seed = 0
        self.threads = 1
        self.chess960 = False
        self.player: BasePlayer = player_from_text(text, seed=self.seed)
        self.player.start(self.seed)
        self.simulations = getattr(self.player, "simulations", 0)
        self.env = ChessEnv(rules)
        self.env.load_fen(START_FEN)
        self.lock = threading.Lock()
        self.stop = threading.Event()
        # Set when the search's best move may be sent: at once, or under go
        # infinite and go ponder only after stop or ponderhit.
        self.release = threading.Event()
        self.pondering: dict[str, int] | None = None  # the go numbers of a ponder search, until ponderhit
        self.clock: threading.Timer | None = None  # stops a search pondered on once its time is up
        self.search: threading.Thread | None = None
        self.gone = False  # the output was closed under us

    def send(self, line: str) -> None:
        with self.lock:
            if self.gone:
                return
            try:
                self.out.write(line + "\n")
                self.out.flush()
            except BrokenPipeError:
                # The GUI closed our output (it quit, or killed its end):
                # nobody reads the search any more, so it ends, and the
                # reader ends at the next command.
                self.gone = True
                self.stop.set()
                self.release.set()

    def info(self, text: str) -> None:
        # A line quoting a huge input (a command of megabytes, a move list of
        # thousands) is cut: a GUI reads it, not a log.
        text = " ".join(text.split())
        if len(text) > INFO_CHARACTERS:
            text = text[:INFO_CHARACTERS] + " ..."
        self.send("info string " + text)

    # ---------------------------------------------------------- commands

    def handle(self, line: str) -> bool:
        """Answers one command line; False after quit."""
        words = line.split()
        if not words:
            return True
        command, args = words[0], words[1:]
        try:
            if command == "quit":
                self.halt()
                return False
            if command == "uci":
                self.send(f"id name {ENGINE_NAME} {self.player.name}")
                self.send("id author the varnok developers")
                defaults = {"Threads": 1, "Seed": 0,
                            "Simulations": min(max(1, self.simulations), OPTION_RANGES["Simulations"][1])}
                for name, (low, high) in OPTION_RANGES.items():
                    self.send(f"option name {name} type spin default {defaults[name]} min {low} max {high}")
                self.send("option name UCI_Chess960 type check default false")
                self.send("uciok")
            elif command == "isready":
                self.send("readyok")
            elif command == "ucinewgame":
                self.halt()
                self.player.start(self.seed)
            elif command == "setoption":
                self.set_option(args)
            elif command == "position":
                self.halt()
                self.set_position(args)
            elif command == "go":
                self.go(args)
            elif command == "stop":
                self.halt()
            elif command == "ponderhit":
                self.ponder_hit()
            elif command in ("debug", "register"):
                pass
            else:
                self.info(f"unknown command {command}")
        except ValueError as exc:
            self.info(f"error: {exc}")
        return True

    def set_option(self, args: list[str]) -> None:
        text = " ".join(args)
        if not text.startswith("name ") or " value " not in text:
            raise ValueError("setoption needs: name NAME value VALUE")
        name, value = text[5:].split(" value ", 1)
        name, value = name.strip().lower(), value.strip()
        if name == "uci_chess960":
            if value.lower() not in ("true", "false"):
                raise ValueError(f"option UCI_Chess960 takes true or false, got {value!r}")
            self.chess960 = value.lower() == "true"  # from the next position on
            return
        ranges = {option.lower(): bounds for option, bounds in OPTION_RANGES.items()}
        if name not in ranges:
            raise ValueError(f"no option named {name}")
        try:
            number = int(value)
        except ValueError:
            raise ValueError(f"option {name} takes an integer, got {value!r}") from None
        low, high = ranges[name]
        if not low <= number <= high:
            raise ValueError(f"option {name} must be {low} to {high}, got {number}")
        self.halt()
        if name == "seed":
            self.seed = number
        elif name == "threads":
            self.threads = number
            if hasattr(self.player, "threads"):
                self.player.threads = number
        else:
            self.simulations = number
            if hasattr(self.player, "simulations"):
                self.player.simulations = number
        self.player.start(self.seed)  # searches are made again with the new settings

    def set_position(self, args: list[str]) -> None:
        if not args or args[0] not in ("startpos", "fen"):
            raise ValueError("position needs startpos or fen")
        if "moves" in args:
            at = args.index("moves")
            setup, moves = args[:at], args[at + 1:]
        else:
            setup, moves = args, []
        fen = START_FEN if setup[0] == "startpos" else " ".join(setup[1:])
        env = ChessEnv(self.rules, chess960=self.chess960)
        env.load_fen(fen)
        for move in moves:
            try:
                action = env.uci_to_action(move)
            except ValueError:
                raise ValueError(f"illegal move {move} in position; the position is unchanged") from None
            env.play(action)
        self.env = env

    def go(self, args: list[str]) -> None:
        self.halt()
        numbers: dict[str, int] = {}
        infinite = ponder = False
        among: list[str] = []
        # A GUI that sent go waits for its bestmove: a word not understood is
        # told and passed over, as UCI asks, and the rest of the line holds.
        i = 0
        while i < len(args):
            word = args[i]
            if word == "infinite":
                infinite = True
            elif word == "ponder":
                ponder = True
            elif word == "searchmoves":
                while i + 1 < len(args) and args[i + 1] not in GO_WORDS:
                    among.append(args[i + 1])
                    i += 1
            elif word in GO_NUMBERS:
                given = args[i + 1] if i + 1 < len(args) and args[i + 1] not in GO_WORDS else None
                try:
                    number = int(given) if given is not None else None
                except ValueError:
                    number = None
                if number is None:
                    got = "" if given is None else f", got {given!r}"
                    self.info(f"error: go {word} needs a number{got}; passed over")
                else:
                    numbers[word] = max(-LARGEST_GO_NUMBER, min(LARGEST_GO_NUMBER, number))
                if given is not None:
                    i += 1
            else:
                self.info(f"error: unknown go argument {word}; passed over")
            i += 1
        actions = []
        for move in among:
            try:
                actions.append(self.env.uci_to_action(move))
            except ValueError:
                self.info(f"error: go searchmoves: {move} is not a legal move here; passed over")
        if "mate" in numbers and "depth" not in numbers:
            numbers["depth"] = max(1, 2 * numbers["mate"])  # the plies that show a mate in n moves
        if self.env.legal_actions().size == 0:
            self.info("the game is over in this position")
            self.send("bestmove 0000")
            return
        env = self.env
        if not goes_on(env):
            env = copy_of(self.env, LAWS_RULES)
            if not goes_on(env):
                self.info("the game is drawn in this position")
                self.send("bestmove " + env.action_to_uci(actions[0] if actions else int(env.legal_actions()[0])))
                return
        # A ponder search runs on the opponent's time: the clock is not ours
        # until ponderhit, so only the node and depth limits hold until then.
        # An infinite one is analysis: it has no clock and ends at stop.
        deadline = None if ponder else math.inf if infinite else self.deadline(numbers)
        self.pondering = numbers if ponder else None
        self.stop.clear()
        if infinite or ponder:
            self.release.clear()
        else:
            self.release.set()
        if set(actions) == set(env.legal_actions().tolist()):
            actions = []  # every move: the search's own root
        self.search = threading.Thread(target=self.think, args=(env, numbers, deadline, actions), daemon=True)
        self.search.start()

    def deadline(self, numbers: dict[str, int]) -> float | None:
        now = time.monotonic()
        if "movetime" in numbers:
            return now + self.share(numbers["movetime"] / 1000)
        white = self.env.fen().split()[1] == "w"
        left = numbers.get("wtime" if white else "btime")
        if left is None:
            return None
        increment = numbers.get("winc" if white else "binc", 0)
        to_go = max(1, numbers.get("movestogo", DEFAULT_MOVES_TO_GO))
        return now + self.share(min(left / 2, left / to_go + 0.8 * increment) / 1000)

    @staticmethod
    def share(seconds: float) -> float:
        """The search time of a move given seconds for it: less the overhead,
        but never less than half of it, nor more than the longest clock."""
        return min(LONGEST_CLOCK_S, max(seconds / 2, seconds - MOVE_OVERHEAD_S))

    def ponder_hit(self) -> None:
        """The opponent played the move pondered on: the search goes on as a
        normal one, its time counted from now, and its best move is sent
        when it ends."""
        if self.search is None or self.pondering is None:
            return
        deadline = self.deadline(self.pondering)
        self.pondering = None
        if deadline is not None:
            self.clock = threading.Timer(max(0.0, deadline - time.monotonic()), self.stop.set)
            self.clock.daemon = True
            self.clock.start()
        self.release.set()

    def think(self, env: ChessEnv, numbers: dict[str, int], deadline: float | None, among: list[int]) -> None:
        started = time.monotonic()
        try:
            if among:
                thought = self.think_among(env, among, numbers, deadline)
            else:
                thought = self.player.think(env, nodes=numbers.get("nodes"), depth=numbers.get("depth"),
                                            deadline=deadline, stop=self.stop,
                                            report=lambda so_far: self.send_info(env, so_far, numbers, started))
            best = env.action_to_uci(thought.action)  # an action that is not legal here raises
        except Exception as exc:  # noqa: BLE001  (reported to the GUI; the engine stays alive)
            self.info(f"error: the search failed: {type(exc).__name__}: {exc}")
            self.release.wait()
            self.send("bestmove " + env.action_to_uci(among[0] if among else int(env.legal_actions()[0])))
            return
        self.send_info(env, thought, numbers, started)
        self.release.wait()  # under go infinite and go ponder, until stop or ponderhit
        self.send("bestmove " + best)

    def send_info(self, env: ChessEnv, thought: Thought, numbers: dict[str, int], started: float) -> None:
        """The info line of a search's best so far: depth, nodes, speed, time, score and line."""
        elapsed = max(1e-6, time.monotonic() - started)
        score = f"mate {thought.mate}" if thought.mate is not None else f"cp {thought.cp or 0}"
        pv = []
        line = copy_of(env)
        for action in thought.pv:
            try:
                pv.append(line.action_to_uci(action))
                line.play(action)
            except ValueError:
                break
        depth = thought.depth if thought.depth is not None else numbers.get("depth", 1)
        self.send(f"info depth {depth} nodes {thought.nodes} nps {int(thought.nodes / elapsed)} "
                  f"time {int(elapsed * 1000)} score {score}" + (" pv " + " ".join(pv) if pv else ""))

    def think_among(self, env: ChessEnv, among: list[int], numbers: dict[str, int],
                    deadline: float | None) -> Thought:
        """The best of some root moves (go searchmoves): the position after
        each is searched for the opponent, a ply less deep, with a share of
        the nodes and of the time left, and the move whose position is worst
        for the opponent is chosen. Under go infinite each gets the player's
        own search: a search until stop would leave the others none."""
        nodes, depth = numbers.get("nodes"), numbers.get("depth")
        if deadline == math.inf:
            deadline = None
        best: tuple[float, Thought] | None = None
        searched = 0
        for left, action in zip(range(len(among), 0, -1), among):
            child = copy_of(env)
            child.play(action)
            if child.legal_actions().size == 0:
                mated = child.in_check()
                value, reply = (MATE_VALUE - 1 if mated else 0), Thought(action, mate=1 if mated else None)
            elif not goes_on(child):
                value, reply = 0, Thought(action)
            else:
                share = None if deadline is None else time.monotonic() + (deadline - time.monotonic()) / left
                answer = self.player.think(child, nodes=None if nodes is None else max(1, nodes // len(among)),
                                           depth=None if depth is None else max(1, depth - 1), deadline=share,
                                           stop=self.stop)
                searched += answer.nodes
                if answer.mate is not None:  # the opponent mates (+), or is mated (-), in that many moves
                    mate = -answer.mate if answer.mate > 0 else 1 - answer.mate
                    value = MATE_VALUE - mate if mate > 0 else -MATE_VALUE - mate
                    reply = Thought(action, mate=mate, pv=[action, *answer.pv])
                else:
                    value = -(answer.cp or 0)
                    reply = Thought(action, cp=-(answer.cp or 0), pv=[action, *answer.pv])
            if best is None or value > best[0]:
                best = (value, reply)
        thought = best[1]
        thought.nodes = searched
        if thought.mate is None and thought.cp is None:
            thought.cp = 0
        return thought

    def halt(self) -> None:
        """Stops a running search; its bestmove is sent before this returns."""
        if self.clock is not None:
            self.clock.cancel()
            self.clock = None
        if self.search is not None:
            self.stop.set()
            self.release.set()
            self.search.join()
            self.search = None
        self.pondering = None

    def run(self, source=None) -> None:
        source = source or sys.stdin
        try:
            for line in source:
                if not self.handle(line) or self.gone:
                    break
        finally:
            self.halt()
            self.player.close()


def main(text: str) -> int:
    try:
        engine = UciEngine(text)
    except (TypeError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if hasattr(sys.stdin, "reconfigure"):
        sys.stdin.reconfigure(errors="replace")  # a stray byte is an unknown command, not the engine's end
    if hasattr(sys.stdout, "reconfigure"):
        # Quoted in an info string, it is a ? where the output cannot hold it (an ASCII or Latin-1 locale).
        sys.stdout.reconfigure(errors="replace")
    try:
        engine.run()
    except KeyboardInterrupt:
        return 130  # Ctrl-C at a terminal: the search was stopped on the way out
    if engine.gone:
        # What is left in the output buffer cannot be written either: the
        # interpreter's own flush at exit would report it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0
