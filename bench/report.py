"""Targets, the markdown table and the chart of a benchmark run."""

from __future__ import annotations

import math

KIB = 1024

# key -> (comparison, target, label). The growth target is filled in per run
# from the largest repetition map that run saw.
TARGETS = {
    "perft_vs_stockfish": (">=", 0.5, "Move generation: perft nodes/s, varnok / Stockfish"),
    "rollout_vs_python_chess": (">=", 200.0, "Random games/s: roll_out / python-chess"),
    "python_loop_vs_pettingzoo": (">=", 20.0, "Python loop plies/s: varnok / peer"),
    "step_vs_list_floor": ("<=", 1.25, "step time / 119 x 64 list floor"),
    "env_bytes": ("<=", 64.0 * KIB, "Resident bytes per ChessEnv after reset"),
    "growth_bytes_200k_steps": ("<=", None, "Resident growth over the steps"),
}

# Rows of the table: (key, label); headline keys carry a target.
ROWS = [
    ("perft_vs_stockfish", None),
    ("perft_vs_stockfish_startpos", "  initial position"),
    ("perft_vs_stockfish_kiwipete", "  Kiwipete"),
    ("perft_nodes_per_s", "  varnok perft"),
    ("stockfish_perft_nodes_per_s", "  Stockfish go perft"),
    ("rollout_vs_python_chess", None),
    ("rollout_games_per_s", "  varnok roll_out games/s"),
    ("rollout_plies_per_s", "  varnok roll_out plies/s"),
    ("python_chess_games_per_s", "  python-chess games/s"),
    ("python_chess_plies_per_s", "  python-chess plies/s"),
    ("rollout_plies_vs_python_chess", "  plies/s ratio"),
    ("rollout_plies_per_game", "  varnok plies per game"),
    ("python_chess_plies_per_game", "  python-chess plies per game"),
    ("python_loop_vs_pettingzoo", None),
    ("python_loop_plies_per_s", "  varnok loop"),
    ("peer_loop_plies_per_s", "  peer loop"),
    ("step_vs_list_floor", None),
    ("step_us", "  step"),
    ("list_floor_119_us", "  floor `[[0] * 64 for _ in range(119)]`"),
    ("get_actions_vs_list_floor", "get_actions time / 73 x 64 list floor"),
    ("get_actions_us", "  get_actions"),
    ("list_floor_73_us", "  floor `[[0] * 64 for _ in range(73)]`"),
    ("env_bytes", None),
    ("env_bytes_full_history", "  the same after 16 plies (history full)"),
    ("growth_bytes_200k_steps", None),
]


def apply_targets(figures: dict) -> None:
    """Add target, comparison and whether it is met to each headline figure."""
    for key, (op, target, label) in TARGETS.items():
        fig = figures[key]
        if key == "growth_bytes_200k_steps":
            target = float(fig["details"]["allowance_bytes"])
        met = fig["value"] >= target if op == ">=" else fig["value"] <= target
        fig.update({"target": target, "target_op": op, "met": bool(met), "label": label})


def fmt(value: float, unit: str) -> str:
    if unit == "ratio":
        return f"{value:.3g}" if value < 100 else f"{value:.0f}"
    if unit == "bytes":
        return f"{value / KIB:.1f} KiB" if abs(value) >= KIB else f"{value:.0f} B"
    if unit == "us":
        return f"{value:.1f} µs"
    if unit in ("plies", "games/s") and value < 1000:
        return f"{value:.1f}" if value < 100 else f"{value:.0f}"
    if value >= 1e6:
        return f"{value / 1e6:.1f} M"
    if value >= 1e4:
        return f"{value / 1e3:.1f} k"
    return f"{value:.0f}"


def markdown(figures: dict, meta: dict) -> str:
    lines = [
        "| Figure | Key | Median | Spread (min – max) | Target | Met |",
        "|---|---|---|---|---|---|",
    ]
    for key, label in ROWS:
        fig = figures[key]
        unit = fig["unit"]
        label = label or fig["label"]
        shown_unit = "" if unit in ("ratio", "bytes", "us") else f" {unit}"
        median = fmt(fig["value"], unit) + shown_unit
        spread = f"{fmt(fig['low'], unit)} – {fmt(fig['high'], unit)}"
        if "target" in fig:
            target = f"{'≥' if fig['target_op'] == '>=' else '≤'} {fmt(fig['target'], unit)}"
            met = "yes" if fig["met"] else "**no**"
            label, key_text, median = f"**{label}**", f"`{key}`", f"**{median}**"
        else:
            target = met = ""
            key_text = f"`{key}`"
        label = label.replace("  ", "&nbsp;&nbsp;", 1) if label.startswith("  ") else label
        lines.append(f"| {label} | {key_text} | {median} | {spread} | {target} | {met} |")

    perft = figures["perft_vs_stockfish"]["details"]
    loop = figures["python_loop_vs_pettingzoo"]["details"]
    growth = figures["growth_bytes_200k_steps"]["details"]
    pos = perft["positions"]
    notes = [
        "",
        f"Each figure is the median of {meta['reps']} repetitions (memory: {meta['memory_reps']} "
        "fresh processes), with the lowest and highest repetition as its spread; ratios are "
        "taken per repetition, the two sides measured one after the other.",
        "",
        f"- Move generation: initial position depth {pos['startpos']['depth']} "
        f"({pos['startpos']['nodes']:,} nodes) and Kiwipete depth {pos['kiwipete']['depth']} "
        f"({pos['kiwipete']['nodes']:,} nodes), counts checked equal on both sides. "
        f"{perft['stockfish']}. {perft['how']}.",
        f"- Random games: {figures['rollout_vs_python_chess']['details']['how']} "
        f"(python-chess {figures['rollout_vs_python_chess']['details']['python_chess']}).",
        f"- Python loop: peer is {loop['peer']}. {loop['how']}.",
    ]
    if loop["pettingzoo_failure"]:
        notes.append(f"- PettingZoo could not be used here: {loop['pettingzoo_failure']}.")
    notes += [
        f"- step floor: `{figures['step_vs_list_floor']['details']['floor']}`, built once per "
        "ply of the same replayed games in the same kind of loop.",
        f"- Memory: {figures['env_bytes']['details']['envs']} ChessEnv objects; growth over "
        f"{growth['steps']:,} steps after {growth['warmup_steps']:,} warm-up steps; the growth "
        f"target is the largest repetition map seen ({growth['largest_repetition_map']} entries) "
        "at 64 bytes an entry.",
        f"- Machine: {meta['machine']}; Python {meta['python']}; varnok commit "
        f"{meta['commit']}; {meta['date']}; whole run {meta['seconds']:.0f} s; load average "
        f"{meta['load_average_1min'][0]} at the start, {meta['load_average_1min'][1]} at the end"
        f"{' (quick smoke run: figures not meaningful)' if meta['quick'] else ''}.",
    ]
    return "\n".join(lines + notes) + "\n"


def chart(figures: dict, path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keys = list(TARGETS)
    fig, axes = plt.subplots(2, 3, figsize=(12, 6.5))
    for ax, key in zip(axes.flat, keys):
        f = figures[key]
        scale, unit = (KIB, "KiB") if f["unit"] == "bytes" else (1.0, f["unit"])
        value, low, high = f["value"] / scale, f["low"] / scale, f["high"] / scale
        target = f["target"] / scale
        color = "tab:green" if f["met"] else "tab:red"
        ax.bar([0], [value], width=0.5, color=color,
               yerr=[[max(value - low, 0)], [max(high - value, 0)]], capsize=8)
        ax.axhline(target, color="black", linestyle="--", linewidth=1.2,
                   label=f"target {'≥' if f['target_op'] == '>=' else '≤'} {target:.3g}")
        top = max(high, target) * 1.25
        ax.set_ylim(min(0.0, low * 1.25), top if top > 0 else 1.0)
        ax.set_xticks([])
        ax.set_xlim(-0.5, 0.9)
        ax.set_title(f"{key}\n{f['label']}", fontsize=8.5)
        ax.set_ylabel(unit)
        ax.text(0.3, value, f"{value:.3g}", ha="left", va="center", fontsize=9)
        ax.legend(loc="upper right", fontsize=8)
    fig.suptitle("varnok against its peers and floors (median, min – max bars)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def all_finite(figures: dict) -> bool:
    return all(math.isfinite(f["value"]) for f in figures.values())
