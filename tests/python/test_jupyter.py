"""Jupyter on the environment: a kernel started from this interpreter imports varnok and shows
a ChessEnv as the game viewer (the route ./dev jupyter and a registered kernel both take).

The kernel runs in a child process; the whole exchange has a timeout, so a kernel that never
answers fails the test instead of stalling the suite.
"""

import subprocess
import sys
import textwrap

import pytest

DRIVER = textwrap.dedent("""
    import json
    from jupyter_client.manager import start_new_kernel

    manager, client = start_new_kernel(kernel_name="python3")
    outputs = []
    try:
        code = ("import sys, varnok\\nprint(sys.executable)\\n"
                "env = varnok.ChessEnv()\\nenv.reset()\\nenv.play(env.san_to_action('e4'))\\nenv")
        reply = client.execute_interactive(code, timeout=120, output_hook=outputs.append)
        print(json.dumps({"status": reply["content"]["status"],
                          "outputs": [{"type": m["msg_type"], "content": m["content"]} for m in outputs]}))
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)
""")


def test_a_kernel_on_this_environment_shows_a_game_as_the_viewer(tmp_path):
    pytest.importorskip("jupyter_client")
    pytest.importorskip("ipykernel")
    import json

    done = subprocess.run([sys.executable, "-c", DRIVER], cwd=tmp_path, capture_output=True, text=True,
                          timeout=180)
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout.splitlines()[-1])
    assert result["status"] == "ok", result
    printed = "".join(m["content"]["text"] for m in result["outputs"] if m["type"] == "stream")
    assert printed.strip() == sys.executable  # the kernel runs on this very environment
    (shown,) = [m["content"]["data"] for m in result["outputs"] if m["type"] == "execute_result"]
    assert 'class="varnok-viewer"' in shown["text/html"] and "e4" in shown["text/html"]
    assert shown["image/svg+xml"].startswith("<svg")
