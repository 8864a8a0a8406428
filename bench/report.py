"""Targets, the markdown table and the chart of a benchmark run."""

from __future__ import annotations

import math
import textwrap

KIB = 1024

# key -> (comparison, target, label). The growth target is filled in per run
# from the largest repetition map that run saw.
TARGETS = {
    "perft_vs_stockfish": (">=", 0.5, "Move generation: perft nodes/s, varnok / Stockfish"),
    "rollout_vs_python_chess": (">=", 200.0, "Random games/s: roll_out / python-chess"),
    "python_loop_vs_pettingzoo": (">=", 20.0, "Python loop plies/s: varnok / peer"),
    "step_vs_list_floor": ("<=", 1.25, "step time / 119 x 64 list floor"),
    "numpy_loop_vs_pettingzoo": (">=", 25.0, "NumPy single-game loop plies/s: varnok / PettingZoo"),
    "pgn_vs_python_chess": (">=", 50.0, "PGN games/s read and replayed: varnok / python-chess"),
    "san_vs_python_chess": (">=", 30.0, "SAN of legal moves per second: varnok / python-chess"),
    "vector_vs_envpool": (">=", 25.0, "Vector steps/s, 2 threads: varnok float32 / EnvPool"),
    "vector_packed_vs_envpool": (">=", 60.0, "Vector steps/s, 2 threads: varnok packed / EnvPool"),
    "vector_vs_pgx_cpu": (">=", 50.0, "Vector steps/s: varnok float32 / pgx on the CPU"),
    "vector_thread_scaling": (">=", 1.8, "VectorEnv steps/s: 2 threads / 1 thread"),
    "vector_vs_native_floor": (">=", 0.8, "VectorEnv steps/s, 1 thread / native C++ loop"),
    "fide_vs_classic_vector": (">=", 0.9, "VectorEnv steps/s, 2 threads: rules=\"fide\" / \"classic\""),
    "chess960_vs_standard_vector": (">=", 0.9, "VectorEnv steps/s, 2 threads: Chess960 / standard chess"),
    "chess960_vs_standard_perft": (">=", 0.9, "Perft nodes/s, same positions: Chess960 rules / standard"),
    "mcts_vs_python": (">=", 50.0, "MCTS simulations/s: varnok.MCTS / Python reference PUCT"),
    "mcts_vs_mctx_cpu": (">=", 10.0, "MCTS simulations/s: varnok.MCTS / mctx with pgx on the CPU"),
    "gym_vector_overhead": ("<=", 1.15, "Native VectorEnv steps/s / Gymnasium vector adapter's"),
    "pettingzoo_adapter_vs_pettingzoo": (">=", 10.0, "Plies/s: varnok.pettingzoo / PettingZoo chess_v6"),
    "rgb_array_frames_per_s": (">=", 1000.0, "rgb_array frames/s at 256 x 256 (Gymnasium render)"),
    "sb3_vecenv_vs_dummy": (">=", 20.0, "SB3 steps/s, 64 games: varnok.sb3.VecEnv / DummyVecEnv"),
    "selfplay_scaling_2_workers": (">=", 1.7, "Self-play positions/s on Ray: 2 workers / 1 worker"),
    "pgn2shards_overhead": ("<=", 1.3, "pgn2shards time / the native PGN reader's"),
    "arena_random_vs_python_chess": (">=", 30.0, "Random match plies/s: varnok.arena / python-chess replay"),
    "arena_batched_vs_serial": (">=", 10.0, "MCTS match plies/s: one block of 256 games / one game at a time"),
    "selfplay_env_share": ("<=", 0.10, "AlphaZero self-play wall time inside varnok (search, env)"),
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
    ("chess960_vs_standard_perft", None),
    ("perft_chess960_nodes_per_s", "  varnok perft --chess960"),
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
    ("numpy_loop_vs_pettingzoo", None),
    ("numpy_loop_plies_per_s", "  varnok loop"),
    ("pettingzoo_numpy_loop_plies_per_s", "  PettingZoo loop"),
    ("pgn_vs_python_chess", None),
    ("pgn_games_per_s", "  varnok read_pgn games/s"),
    ("python_chess_pgn_games_per_s", "  python-chess read_game games/s"),
    ("pgn_plies_vs_python_chess", "  plies/s ratio"),
    ("pgn_plies_per_s", "  varnok read_pgn plies/s"),
    ("python_chess_pgn_plies_per_s", "  python-chess read_game plies/s"),
    ("san_vs_python_chess", None),
    ("san_per_s", "  varnok legal_moves_san"),
    ("python_chess_san_per_s", "  python-chess board.san"),
    ("vector_vs_envpool", None),
    ("vector_numpy_steps_per_s", "  varnok float32, NumPy chooser, 2 threads"),
    ("envpool_steps_per_s", "  EnvPool Chess-v1, 2 threads"),
    ("envpool_steps_per_s_1t", "  EnvPool Chess-v1, 1 thread"),
    ("envpool_thread_scaling", "  EnvPool 2 threads / 1 thread"),
    ("vector_packed_vs_envpool", None),
    ("vector_packed_numpy_steps_per_s", "  varnok packed, NumPy chooser, 2 threads"),
    ("vector_vs_pgx_cpu", None),
    ("vector_steps_per_s", "  varnok float32, random_actions(), 2 threads"),
    ("pgx_cpu_steps_per_s", "  pgx jit(vmap(step)), CPU"),
    ("vector_thread_scaling", None),
    ("vector_steps_per_s_1t", "  varnok float32, random_actions(), 1 thread"),
    ("vector_packed_steps_per_s", "  varnok packed, random_actions(), 2 threads"),
    ("vector_packed_steps_per_s_1t", "  varnok packed, random_actions(), 1 thread"),
    ("vector_packed_thread_scaling", "  packed 2 threads / 1 thread"),
    ("vector_vs_native_floor", None),
    ("vector_floor_steps_per_s", "  native loop (bench/native/vector_floor.cpp), float32 into one buffer"),
    ("fide_vs_classic_vector", None),
    ("vector_fide_steps_per_s", "  varnok float32, random_actions(), 2 threads, rules=\"fide\""),
    ("chess960_vs_standard_vector", None),
    ("vector_chess960_steps_per_s", "  varnok float32, random_actions(), 2 threads, chess960=True"),
    ("mcts_vs_python", None),
    ("mcts_sims_per_s", "  varnok.MCTS, 1 leaf per tree per round"),
    ("python_mcts_sims_per_s", "  Python reference PUCT over save_state/restore_state"),
    ("mcts_vs_python_packed", "  the same ratio with packed observations on both sides"),
    ("mcts_packed_sims_per_s", "  varnok.MCTS, 1 leaf per tree per round, packed"),
    ("python_mcts_packed_sims_per_s", "  Python reference PUCT, observation(\"packed\")"),
    ("uct_sims_per_s", "  varnok.UCT roll-out simulations"),
    ("mcts_vs_mctx_cpu", None),
    ("search_sims_per_s", "  varnok.MCTS"),
    ("mctx_sims_per_s", "  mctx with pgx chess, CPU"),
    ("arena_random_vs_python_chess", None),
    ("arena_random_plies_per_s", "  varnok.arena.match(Random(), Random())"),
    ("python_chess_replay_plies_per_s", "  the same games through python-chess boards"),
    ("arena_batched_vs_serial", None),
    ("arena_mcts_batched_plies_per_s", "  two MCTS players, 256 games in one block"),
    ("arena_batched_vs_serial_every_processor", "  ratio with the block searching on every processor"),
    ("arena_mcts_batched_every_processor_plies_per_s", "  the block searching on every processor"),
    ("arena_mcts_serial_plies_per_s", "  the same, one game at a time (batch=1)"),
    ("selfplay_env_share", None),
    ("selfplay_network_share", "  the network's share (unpacking included)"),
    ("selfplay_moves_per_s", "  self-play moves/s, 64 games, 32 simulations"),
    ("env_bytes", None),
    ("env_bytes_full_history", "  the same after 16 plies (history full)"),
    ("growth_bytes_200k_steps", None),
    ("gym_vector_overhead", None),
    ("gym_vector_steps_per_s", "  Gymnasium vector env (make_vec, vector_entry_point)"),
    ("native_vector_steps_per_s", "  varnok.VectorEnv, same games and threads"),
    ("pettingzoo_adapter_vs_pettingzoo", None),
    ("pettingzoo_adapter_plies_per_s", "  varnok.pettingzoo AEC env"),
    ("pettingzoo_chess_v6_plies_per_s", "  PettingZoo chess_v6"),
    ("rgb_array_frames_per_s", None),
    ("pettingzoo_chess_v6_frames_per_s", "  PettingZoo chess_v6 rgb_array frames/s (its own size)"),
    ("rgb_array_vs_pettingzoo", "  frames/s ratio: varnok / PettingZoo chess_v6"),
    ("sb3_vecenv_vs_dummy", None),
    ("sb3_contract_ceiling", "  ratio of the bare native env doing only the contract's work"),
    ("sb3_native_step_ceiling", "  ratio of the native steps alone (masks and copies free)"),
    ("sb3_vecenv_steps_per_s", "  varnok.sb3.VecEnv"),
    ("sb3_dummy_steps_per_s", "  DummyVecEnv of Chess-v0"),
    ("selfplay_scaling_2_workers", None),
    ("selfplay_positions_per_s_1_worker", "  self-play positions/s, 1 Ray worker"),
    ("selfplay_positions_per_s_2_workers", "  self-play positions/s, 2 Ray workers"),
    ("pgn2shards_overhead", None),
    ("pgn2shards_games_per_s", "  pgn2shards games/s"),
]


def is_missing(fig: dict) -> bool:
    return fig.get("value") is None


def apply_targets(figures: dict) -> None:
    """Add target, comparison and whether it is met to each headline figure.

    A missing figure (not measured in this run) gets its target and `met`
    None.
    """
    for key, (op, target, label) in TARGETS.items():
        fig = figures.get(key)
        if fig is None:
            continue
        if key == "growth_bytes_200k_steps":
            target = float(fig["details"]["allowance_bytes"])
        if is_missing(fig):
            met = None
        else:
            met = bool(fig["value"] >= target if op == ">=" else fig["value"] <= target)
        fig.update({"target": target, "target_op": op, "met": met, "label": label})


def fmt(value: float, unit: str) -> str:
    if unit == "ratio":
        return f"{value:.3g}" if value < 100 else f"{value:.0f}"
    if unit == "bytes":
        return f"{value / KIB:.1f} KiB" if abs(value) >= KIB else f"{value:.0f} B"
    if unit == "us":
        return f"{value:.1f} µs"
    if unit == "share":
        return f"{value:.1%}"
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
        fig = figures.get(key)
        if fig is None:
            continue
        unit = fig["unit"]
        label = label or fig["label"]
        shown_unit = "" if unit in ("ratio", "bytes", "us", "share") else f" {unit}"
        if is_missing(fig):
            median, spread = "missing", "–"
        else:
            median = fmt(fig["value"], unit) + shown_unit
            spread = f"{fmt(fig['low'], unit)} – {fmt(fig['high'], unit)}"
        if "target" in fig:
            target = f"{'≥' if fig['target_op'] == '>=' else '≤'} {fmt(fig['target'], unit)}"
            met = "missing" if fig["met"] is None else "yes" if fig["met"] else "**no**"
            label, key_text, median = f"**{label}**", f"`{key}`", f"**{median}**"
        else:
            target = met = ""
            key_text = f"`{key}`"
        label = label.replace("  ", "&nbsp;&nbsp;", 1) if label.startswith("  ") else label
        lines.append(f"| {label} | {key_text} | {median} | {spread} | {target} | {met} |")

    notes = [
        "",
        f"Each figure is the median of {meta['reps']} repetitions (memory: {meta['memory_reps']} "
        "fresh processes), with the lowest and highest repetition as its spread; ratios are "
        "taken per repetition, the two sides measured one after the other.",
        "",
    ]
    if "perft_vs_stockfish" in figures:
        perft = figures["perft_vs_stockfish"]["details"]
        pos = perft["positions"]
        notes.append(
            f"- Move generation: initial position depth {pos['startpos']['depth']} "
            f"({pos['startpos']['nodes']:,} nodes) and Kiwipete depth "
            f"{pos['kiwipete']['depth']} ({pos['kiwipete']['nodes']:,} nodes), counts checked "
            f"equal on both sides. {perft['stockfish']}. {perft['how']}.")
    if "rollout_vs_python_chess" in figures:
        notes.append(
            f"- Random games: {figures['rollout_vs_python_chess']['details']['how']} "
            f"(python-chess {figures['rollout_vs_python_chess']['details']['python_chess']}).")
    if "python_loop_vs_pettingzoo" in figures:
        loop = figures["python_loop_vs_pettingzoo"]["details"]
        notes.append(f"- Python loop: peer is {loop['peer']}. {loop['how']}.")
        if loop["pettingzoo_failure"]:
            notes.append(f"- PettingZoo could not be used here: {loop['pettingzoo_failure']}.")
        notes.append(
            f"- step floor: `{figures['step_vs_list_floor']['details']['floor']}`, built once "
            "per ply of the same replayed games in the same kind of loop.")
    notes += section_notes(figures)
    if "env_bytes" in figures:
        growth = figures["growth_bytes_200k_steps"]["details"]
        notes.append(
            f"- Memory: {figures['env_bytes']['details']['envs']} ChessEnv objects; growth over "
            f"{growth['steps']:,} steps after {growth['warmup_steps']:,} warm-up steps; the "
            f"growth target is the largest repetition map seen "
            f"({growth['largest_repetition_map']} entries) at 64 bytes an entry.")
    notes.append(
        f"- Machine: {meta['machine']}; Python {meta['python']}; varnok commit "
        f"{meta['commit']}; {meta['date']}; whole run {meta['seconds']:.0f} s; load average "
        f"{meta['load_average_1min'][0]} at the start, {meta['load_average_1min'][1]} at the end"
        f"{' (quick smoke run: figures not meaningful)' if meta['quick'] else ''}"
        f"{'; sections run: ' + ', '.join(meta['only']) if meta.get('only') else ''}.")
    notes += missing_notes(figures)
    return "\n".join(lines + notes) + "\n"


def section_notes(figures: dict) -> list:
    """Notes of the single-game, notation, vector and search figures run."""
    notes = []

    def how(key):
        fig = figures.get(key)
        return (fig or {}).get("details", {})

    loop = how("numpy_loop_vs_pettingzoo")
    if loop:
        notes.append(f"- NumPy loop: {loop['how']}."
                     + (f" Peer: {loop['peer']}." if loop.get("peer") else ""))
    pgn = how("pgn_vs_python_chess")
    if pgn:
        notes.append(f"- PGN: {pgn['games']:,} random games in `{pgn['file']}` "
                     f"({pgn['bytes'] / 1e6:.1f} MB, made by bench/notation.py); {pgn['how']}. "
                     f"Peer: python-chess {pgn['python_chess']}.")
    san = how("san_vs_python_chess")
    if san:
        notes.append(f"- SAN: {san['how']}.")
    vec = how("vector_vs_envpool")
    if vec:
        peers = ", ".join(f"{name} {vec[name]}" for name in ("envpool", "pgx", "jax")
                          if vec.get(name))
        notes.append(f"- Vector: {vec['how']}." + (f" Peers: {peers}." if peers else ""))
    search = how("mcts_vs_mctx_cpu")
    if search:
        notes.append(f"- Search: {search['how']}."
                     + (f" Peer: mctx {search['mctx']}." if search.get("mctx") else ""))
    return notes


def missing_notes(figures: dict) -> list:
    """One line per reason, naming the figures this run could not measure."""
    reasons = {}
    for key, fig in figures.items():
        if is_missing(fig):
            reasons.setdefault(fig["missing"], []).append(key)
    return [f"- Missing here ({', '.join(f'`{k}`' for k in keys)}): {reason}."
            for reason, keys in reasons.items()]


def chart(figures: dict, path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keys = [key for key in TARGETS if key in figures]
    cols = 5 if len(keys) > 9 else 3
    rows = max(1, math.ceil(len(keys) / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(3.3 * cols, 3.3 * rows), squeeze=False)
    for ax in axes.flat[len(keys):]:
        ax.set_axis_off()
    for ax, key in zip(axes.flat, keys):
        f = figures[key]
        if is_missing(f):
            ax.set_xticks([])
            ax.set_yticks([])
            ax.set_title(f"{key}\n{f['label']}", fontsize=7.5)
            ax.text(0.5, 0.5, "missing:\n" + textwrap.fill(f["missing"], 32), ha="center",
                    va="center", fontsize=7.5, color="tab:gray", transform=ax.transAxes)
            continue
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
        ax.set_title(f"{key}\n{f['label']}", fontsize=7.5)
        ax.set_ylabel(unit)
        ax.text(0.3, value, f"{value:.3g}", ha="left", va="center", fontsize=9)
        ax.legend(loc="upper right", fontsize=8)
    fig.suptitle("varnok against its peers and floors (median, min – max bars)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def all_finite(figures: dict) -> bool:
    """Every figure that was measured is a finite number."""
    return all(math.isfinite(f["value"]) for f in figures.values() if not is_missing(f))
