"""The example program, run as a user would, against the real Node-RED."""

import subprocess
import sys

import pytest

from local_nodered import REPO_ROOT

pytestmark = pytest.mark.nodered

DETECT_REPORT = """\
node          detect (function "Detect objects")
fed by        resize (change "Scale to 1280x720") via its output 0
              decode (function "Decode frame") via its output 0
feeds         route (switch "Person or vehicle") via my output 0
              debug-empty (debug "Frames without objects") via my output 1
video source  cam-ip (zorv-vf-ip-camera "Pole IP camera") via its output 0
"""


def run_program(server, node_id, node_type):
    return subprocess.run(
        [sys.executable, str(REPO_ROOT / "examples" / "node_program.py"),
         "--host", server.host, "--port", str(server.port),
         "--node-id", node_id, "--node-type", node_type],
        capture_output=True, text=True, cwd=REPO_ROOT, timeout=60,
    )


def test_reports_where_detect_stands(nodered_flow):
    done = run_program(nodered_flow, "detect", "function")
    assert (done.returncode, done.stdout) == (0, DETECT_REPORT), done.stderr


def test_unknown_node_exits_1_naming_it(nodered_flow):
    done = run_program(nodered_flow, "no-such-node", "function")
    assert (done.returncode, done.stdout) == (1, "")
    assert "node 'no-such-node' is not in the deployed flow" in done.stderr
    assert "Traceback" not in done.stderr
