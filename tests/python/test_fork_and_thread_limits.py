"""Worker threads and the world around them: a process that cannot start
another thread, and a process forked after its pools started.

Every case runs in a child of the snippet runner (test_hostile_use.run_child),
itself forked again with a deadline, so a hang fails its own case quickly and
a thread limit stays inside the process that set it. Not marked `threads`:
ThreadSanitizer ends a child that starts threads after such a fork, and
AddressSanitizer's shadow memory does not fit under an address-space limit."""

import ast

import pytest

from test_hostile_use import run_child

# Defines forked(code): runs code in a forked child (with a deadline) and
# returns ["ok", repr(result)] or [exception type, message], ["hang"] or
# ["died", status]; and the objects every case starts from, each used once
# before the fork so that its worker threads exist.
SETUP = """
import multiprocessing, resource, select, signal, threading, time

def forked(code, limit=60):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            scope = dict(globals())
            exec(code, scope)
            outcome = ["ok", repr(scope.get("result"))[:300]]
        except BaseException as e:
            outcome = [type(e).__name__, str(e)[:150]]  # the runner keeps 200 characters of a result
        os.write(write, json.dumps(outcome).encode())
        os._exit(0)
    os.close(write)
    ready, _, _ = select.select([read], [], [], limit)
    if not ready:
        os.kill(pid, signal.SIGKILL)
    data = os.read(read, 1 << 16) if ready else b""
    os.close(read)
    _, status = os.waitpid(pid, 0)
    return json.loads(data) if data else ["hang"] if not ready else ["died", status]

def threads_now():
    return len(os.listdir("/proc/self/task"))

def limit_memory(extra_mb=200):
    # Room for the interpreter to go on, not for 1024 thread stacks.
    size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) << 10
    resource.setrlimit(resource.RLIMIT_AS, (size + (extra_mb << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))

def threads_left(before):
    # A joined thread leaves the process's thread list a moment later.
    deadline = time.monotonic() + 2
    while threads_now() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    return threads_now() - before

def vector_steps(v, steps=5):
    for _ in range(steps):
        r = v.step(v.random_actions())
    return int(r.obs.sum()) + int(r.reward.sum())

def search_rounds(m, rounds=3):
    for _ in range(rounds):
        n = len(m.select(2))
        m.expand(np.ones((n, 4672), np.float32), np.zeros(n, np.float32))
    return int(m.visit_counts().sum())

def uct_visits(u, simulations=40):
    u.run(simulations)
    return int(u.visit_counts().sum())

def step_in_worker(seed):
    pooled.reset(seed=seed)
    return vector_steps(pooled)

def vector_env(rows=64):
    env = VectorEnv(rows, num_threads=2, seed=3)
    env.reset(seed=3)
    vector_steps(env, 1)
    return env

# One object per case, each used once so that its worker threads exist.
v, pooled, v_again = vector_env(), vector_env(8), vector_env()
m = MCTS(4, num_threads=2, seed=1); m.set_roots([started() for _ in range(4)]); search_rounds(m, 1)
u = UCT(4, num_threads=2, seed=1); u.set_roots([started() for _ in range(4)]); uct_visits(u, 4)
pending = vector_env(16)
busy = UCT(2, num_threads=2, seed=2); busy.set_roots([started(), started()])
"""

# What the child runs, and what the parent then computes from the same
# objects (unchanged by the child) to compare with.
WORK_IN_CHILD = [
    ("result = vector_steps(v)", "vector_steps(v)"),
    ("result = search_rounds(m)", "search_rounds(m)"),
    ("result = uct_visits(u)", "uct_visits(u)"),
    ("result = roll_outs([started().save_state()] * 3, 16, seed=7, num_threads=2).tolist()",
     "roll_outs([started().save_state()] * 3, 16, seed=7, num_threads=2).tolist()"),
    ("with multiprocessing.get_context('fork').Pool(2) as p: result = p.map(step_in_worker, range(4))",
     "[step_in_worker(s) for s in range(4)]"),
    # Again in a grandchild: the child's fresh threads are the ones left behind.
    ("vector_steps(v_again, 1); result = forked('result = vector_steps(v_again)')",
     "(vector_steps(v_again, 1), ['ok', repr(vector_steps(v_again))])[1]"),
]


def test_a_process_forked_after_its_pools_started_works_in_the_child():
    outcomes = run_child([SETUP, *[f"forked({child!r})" for child, _ in WORK_IN_CHILD],
                          *[parent for _, parent in WORK_IN_CHILD]])
    children, parents = outcomes[1:1 + len(WORK_IN_CHILD)], outcomes[1 + len(WORK_IN_CHILD):]
    for (child_code, _), child, parent in zip(WORK_IN_CHILD, children, parents):
        assert parent[0] == "ok", parent
        assert ast.literal_eval(child[1]) == ["ok", parent[1]], child_code


def test_a_call_cut_by_fork_is_refused_in_the_child_and_ctrl_c_still_stops_one():
    outcomes = run_child([
        SETUP,
        # A step started and not yet waited for: its job cannot finish in the child.
        "pending.step_async(pending.random_actions())",
        "forked('pending.step_wait()')",
        "forked('try:\\n pending.step_wait()\\nexcept RuntimeError: pass\\nresult = vector_steps(pending)')",
        "pending.step_wait() and vector_steps(pending)",
        # Another thread inside a call (of about a second) as the process forks.
        """
began = time.monotonic(); busy.run(200); took = time.monotonic() - began
runner = threading.Thread(target=busy.run, args=(int(200 / took),))
runner.start()
while runner.is_alive():
    try:
        busy.visit_counts()
    except RuntimeError:
        break
""",
        "forked('busy.run(1)') if runner.is_alive() else 'the call ended before the fork'",
        # Ctrl-C reaches a long call in the child.
        "forked('threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start(); u.run(10 ** 9)')",
        "runner.join()",
    ])
    assert outcomes[1] == ["ok", "None"]
    for outcome in outcomes[2:4]:
        kind, message = ast.literal_eval(outcome[1])
        assert kind == "RuntimeError" and "forked" in message and "step_async" in message, message
    assert outcomes[4][0] == "ok"  # the parent's step finishes as ever
    assert ast.literal_eval(outcomes[6][1])[0] == "RuntimeError"
    assert "when the process forked" in ast.literal_eval(outcomes[6][1])[1]
    assert ast.literal_eval(outcomes[7][1]) == ["KeyboardInterrupt", ""]


# Each under a memory limit that leaves no room for 1024 thread stacks.
TOO_MANY_THREADS = [
    "VectorEnv(1024, num_threads=1024)",
    "MCTS(1024, num_threads=1024, node_budget=64)",
    "UCT(1024, num_threads=1024, node_budget=64)",
    "roll_outs([started().save_state()], 1024, num_threads=1024)",
]


@pytest.mark.parametrize("make", TOO_MANY_THREADS)
def test_threads_that_cannot_start_raise_and_leave_no_thread_behind(make):
    code = f"""
before = threads_now()
limit_memory()
try:
    {make}
    result = "made"
except RuntimeError as e:
    result = (str(e), threads_left(before))
"""
    outcome = run_child([SETUP, f"forked({code!r})"])[1]
    status, made = ast.literal_eval(outcome[1])
    assert status == "ok", made
    message, threads_left = ast.literal_eval(made)
    assert "1024 worker threads" in message and threads_left == 0, made


@pytest.mark.parametrize("make, named", [("VectorEnv(1 << 20, num_threads=1)", "VectorEnv(num_envs=1048576)"),
                                         ("MCTS(1 << 20, num_threads=1)", "MCTS(num_trees=1048576)"),
                                         ("UCT(1 << 20, num_threads=1)", "UCT(num_trees=1048576)")])
def test_an_object_too_large_for_memory_names_its_size(make, named):
    # MemoryError said only "std::bad_alloc".
    outcome = run_child([SETUP, f"forked({f'limit_memory(); {make}'!r})"])[1]
    assert ast.literal_eval(outcome[1]) == ["MemoryError", f"{named} does not fit in memory: ask for fewer"]


def test_many_small_pools_at_the_limit_raise_then_free_their_threads():
    code = """
before = threads_now()
limit_memory(400)
kept = []
try:
    while True:
        kept.append(VectorEnv(8, num_threads=8))  # the limit falls inside a pool, after some of its threads
except (RuntimeError, MemoryError) as e:
    error = type(e).__name__
made = len(kept)
del kept
result = (error, made > 2, threads_left(before))
"""
    outcome = run_child([SETUP, f"forked({code!r})"])[1]
    assert ast.literal_eval(outcome[1])[0] == "ok", outcome
    error, made_some, threads_left = ast.literal_eval(ast.literal_eval(outcome[1])[1])
    assert error in ("RuntimeError", "MemoryError") and made_some and threads_left == 0
