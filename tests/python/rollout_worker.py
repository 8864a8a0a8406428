"""Work for the multiprocessing tests: importable by name in spawned processes."""

import varnok


def roll_out_from(job):
    """job = (State or ChessEnv, seed): the seeded roll-out's result and the moves it made."""
    game, seed = job
    if isinstance(game, varnok.State):
        env = varnok.ChessEnv()
        env.restore_state(game)
    else:
        env = game
    reward = env.roll_out(seed=seed)
    return reward, env.fen(), env.outcome()
