"""Move generation: the native perft tool against Stockfish's `go perft`.

Both sides are timed from the outside, on the same positions and depths:

- varnok: the wall time of one `perft FEN DEPTH` process minus the median
  wall time of `perft FEN 1` (process start, table set-up, printing);
- Stockfish: one engine process kept running; the time from writing
  `go perft DEPTH` to reading its final "Nodes searched" line.

Both print one line per first move and a total, so the output work is the
same. The repetitions alternate the two sides, position by position.

The same positions read with `perft --chess960` (Chess960 castling rules,
the same trees and counts) against the standard reading give
`chess960_vs_standard_perft`, the cost of the Chess960 rules.
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import time

from timing import KIWIPETE_FEN, KNOWN_PERFT, START_FEN, perft_tool, summary

POSITIONS = {"startpos": START_FEN, "kiwipete": KIWIPETE_FEN}


def stockfish_path() -> str:
    found = shutil.which("stockfish")
    if found:
        return found
    if os.path.exists("/usr/games/stockfish"):
        return "/usr/games/stockfish"
    raise RuntimeError("Stockfish not found (expected on PATH or at /usr/games/stockfish)")


def _nodes_line(text: str) -> int:
    for line in text.splitlines():
        if line.startswith("Nodes searched:"):
            return int(line.split(":", 1)[1])
    raise RuntimeError(f"no 'Nodes searched' line in output:\n{text[-500:]}")


class VarnokPerft:
    def __init__(self):
        self.tool = perft_tool()
        if not self.tool.exists():
            raise RuntimeError(f"perft tool not built: {self.tool} (run ./dev setup)")
        walls = [self._run(START_FEN, 1)[0] for _ in range(7)]
        self.startup = statistics.median(walls)

    def _run(self, fen: str, depth: int, chess960: bool = False):
        t0 = time.perf_counter()
        done = subprocess.run([str(self.tool), *(["--chess960"] if chess960 else []), fen, str(depth)],
                              capture_output=True, text=True, check=True)
        wall = time.perf_counter() - t0
        return wall, done.stdout

    def perft(self, fen: str, depth: int, chess960: bool = False) -> dict:
        wall, out = self._run(fen, depth, chess960)
        nodes = _nodes_line(out)
        own_nps = None
        for line in out.splitlines():
            if line.startswith("nps:"):
                own_nps = float(line.split(":", 1)[1])
        seconds = wall - self.startup
        timing = "outside"
        if seconds <= 0.2 * wall and own_nps:
            # Start-up dominates (tiny depths of a smoke run): the outside time
            # says nothing, so take the tool's own clock instead.
            seconds, timing = nodes / own_nps, "own clock"
        return {"nodes": nodes, "seconds": seconds, "own_nps": own_nps, "timing": timing}


class StockfishPerft:
    def __init__(self):
        self.path = stockfish_path()
        self.proc = subprocess.Popen([self.path], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True, bufsize=1)
        self.version = None
        self._send("uci")
        for line in self._lines_until("uciok"):
            if line.startswith("id name "):
                self.version = line[len("id name "):].strip()
        self._send("isready")
        list(self._lines_until("readyok"))

    def _send(self, text: str) -> None:
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def _lines_until(self, prefix: str):
        for line in self.proc.stdout:
            yield line
            if line.startswith(prefix):
                return
        raise RuntimeError("Stockfish stopped unexpectedly")

    def perft(self, fen: str, depth: int) -> dict:
        self._send(f"position fen {fen}")
        self._send("isready")
        list(self._lines_until("readyok"))
        t0 = time.perf_counter()
        self._send(f"go perft {depth}")
        text = "".join(self._lines_until("Nodes searched"))
        seconds = time.perf_counter() - t0
        return {"nodes": _nodes_line(text), "seconds": seconds}

    def close(self) -> None:
        try:
            self._send("quit")
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait()


def run(settings, progress) -> dict:
    ours = VarnokPerft()
    theirs = StockfishPerft()
    per_position = {name: {"varnok_nps": [], "stockfish_nps": [], "ratio": []}
                    for name in POSITIONS}
    totals = {"varnok_nps": [], "stockfish_nps": [], "ratio": []}
    chess960 = {"nps": [], "ratio": []}
    node_counts = {}
    timings = set()
    try:
        for rep in range(settings.reps):
            v_nodes = v_secs = s_nodes = s_secs = c_secs = 0.0
            for name, fen in POSITIONS.items():
                depth = settings.perft_depths[name]
                v = ours.perft(fen, depth)
                c = ours.perft(fen, depth, chess960=True)
                s = theirs.perft(fen, depth)
                if c["nodes"] != v["nodes"]:
                    raise RuntimeError(f"perft --chess960 counts {c['nodes']} on {name}, standard {v['nodes']}")
                c_secs += c["seconds"]
                timings.add(v["timing"])
                known = KNOWN_PERFT.get((name, depth))
                if v["nodes"] != s["nodes"] or (known is not None and v["nodes"] != known):
                    raise RuntimeError(f"perft counts differ on {name} depth {depth}: varnok "
                                       f"{v['nodes']}, Stockfish {s['nodes']}, known {known}")
                node_counts[name] = {"depth": depth, "nodes": v["nodes"]}
                entry = per_position[name]
                entry["varnok_nps"].append(v["nodes"] / v["seconds"])
                entry["stockfish_nps"].append(s["nodes"] / s["seconds"])
                entry["ratio"].append(entry["varnok_nps"][-1] / entry["stockfish_nps"][-1])
                v_nodes += v["nodes"]
                v_secs += v["seconds"]
                s_nodes += s["nodes"]
                s_secs += s["seconds"]
                progress.say(f"  rep {rep + 1}/{settings.reps} {name} depth {depth}: "
                             f"varnok {entry['varnok_nps'][-1] / 1e6:.1f} M nodes/s, "
                             f"Stockfish {entry['stockfish_nps'][-1] / 1e6:.1f} M nodes/s")
            totals["varnok_nps"].append(v_nodes / v_secs)
            totals["stockfish_nps"].append(s_nodes / s_secs)
            totals["ratio"].append(totals["varnok_nps"][-1] / totals["stockfish_nps"][-1])
            chess960["nps"].append(v_nodes / c_secs)
            chess960["ratio"].append(chess960["nps"][-1] / totals["varnok_nps"][-1])
    finally:
        theirs.close()

    figures = {
        "perft_vs_stockfish": summary(totals["ratio"]).as_dict("ratio"),
        "perft_nodes_per_s": summary(totals["varnok_nps"]).as_dict("nodes/s"),
        "stockfish_perft_nodes_per_s": summary(totals["stockfish_nps"]).as_dict("nodes/s"),
    }
    figures["chess960_vs_standard_perft"] = summary(chess960["ratio"]).as_dict("ratio")
    figures["chess960_vs_standard_perft"]["details"] = {
        "how": "the perft tool on the same positions and depths with --chess960 (Chess960 castling rules, "
               "equal counts) and without, timed from the outside alike, one after the other; ratio of total "
               "nodes over total time, per repetition"}
    figures["perft_chess960_nodes_per_s"] = summary(chess960["nps"]).as_dict("nodes/s")
    for name in POSITIONS:
        figures[f"perft_vs_stockfish_{name}"] = summary(per_position[name]["ratio"]).as_dict("ratio")
    figures["perft_vs_stockfish"]["details"] = {
        "positions": {name: {"fen": POSITIONS[name], **node_counts[name],
                             "varnok_nps": statistics.median(per_position[name]["varnok_nps"]),
                             "stockfish_nps": statistics.median(per_position[name]["stockfish_nps"])}
                      for name in POSITIONS},
        "varnok_startup_s": ours.startup,
        "varnok_timing": sorted(timings),
        "stockfish": theirs.version,
        "how": "varnok: wall time of the perft process minus its start-up (perft FEN 1); "
               "Stockfish: time from 'go perft' to its 'Nodes searched' line in a running engine; "
               "ratio of total nodes over total time, per repetition",
    }
    return figures
