"""zorv-flow against a real Node-RED: what the example program learns, the installed command, a
server that is not there and one behind a login."""

import json
import subprocess
import sys
import time
from pathlib import Path

import pytest

from local_nodered import REPO_ROOT, free_loopback_port
from secured_nodered import PASSWORD, READER, USER, SecuredNodeRed

pytestmark = pytest.mark.nodered
DETECT_FIRST_LINE = 'node          detect (function "Detect objects")'


def example_program(server, node_id, node_type):
    return subprocess.run([sys.executable, str(REPO_ROOT / "examples" / "node_program.py"), "--host", server.host,
                           "--port", str(server.port), "--node-id", node_id, "--node-type", node_type],
                          capture_output=True, text=True, timeout=60).stdout


def live(server, *args, wait=0):
    return ("--host", server.host, "--port", server.port, "--wait", wait, *args)


@pytest.fixture(scope="module")
def secured():
    with SecuredNodeRed(json.loads((REPO_ROOT / "examples" / "flow.json").read_text(encoding="utf-8"))) as server:
        yield server


@pytest.mark.parametrize("node_id, node_type", [("detect", "function"), ("store", "debug"),
                                                ("cam-usb", "zorv-vf-usb-camera")])
def test_one_node_is_what_its_node_program_learns(zorv_flow, nodered_flow, node_id, node_type):
    done = zorv_flow(*live(nodered_flow, node_id))
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == example_program(nodered_flow, node_id, node_type)


def test_installed_command_answers_as_from_the_exported_flow(zorv_flow, nodered_flow, write_flow):
    exported = write_flow(nodered_flow.flows())
    installed = zorv_flow(*live(nodered_flow, "--all"), command=[Path(sys.executable).with_name("zorv-flow")])
    assert installed.returncode == 0, installed.stderr
    assert installed.stdout == zorv_flow("--all", "--file", exported).stdout


def test_unreachable_server_is_one_line_after_the_wait(zorv_flow):
    port, started = free_loopback_port(), time.monotonic()
    done = zorv_flow("--port", port, "--wait", 1, "detect")
    assert time.monotonic() - started >= 1
    assert (done.returncode, done.stdout) == (3, "")
    assert done.stderr.startswith(f"zorv-flow: no flow from http://127.0.0.1:{port} within 1 s: ")
    assert done.stderr.endswith("(Connection refused): check --host and --port, and that Node-RED is up\n")
    assert done.stderr.count("\n") == 1


@pytest.mark.parametrize("password, message", [
    (None, "Node-RED asks for a login (401): give --user and --password-file, or --token"),
    ("not-" + PASSWORD, f"Node-RED refused the login of user {USER!r} for scope * and read (403: Invalid resource owner"
                        " credentials): check --user and --password-file, and that the user may read"),
])
def test_secured_server_without_a_good_login_exits_3_at_once_saying_so(zorv_flow, secured, write_flow, password, message):
    login = ["--user", USER, "--password-file", write_flow(password, name="password")] if password else []
    started = time.monotonic()
    done = zorv_flow(*live(secured, "detect", *login, wait=30))
    assert (done.returncode, done.stdout, time.monotonic() - started < 10) == (3, "", True)
    assert done.stderr == f"zorv-flow: no flow from {secured.url} within 30 s: {message}\n"


def test_a_wrong_admin_root_is_said_so(zorv_flow, secured):
    done = zorv_flow(*live(secured, "detect", "--token", secured.log_in(), "--admin-root", "/admin"))
    assert done.stderr.endswith(f"Node-RED answered 404 at {secured.url}/admin/flows: check --admin-root (its"
                                " httpAdminRoot, like /admin)\n") and done.returncode == 3, done.stderr


@pytest.mark.parametrize("login", [[USER], [READER], ["--token-file"]])
def test_secured_server_with_a_login_answers(zorv_flow, secured, write_flow, login):
    if login == ["--token-file"]:
        login = [*login, write_flow(secured.log_in(), name="token")]  # not the table's own list
    else:
        login = ["--user", *login, "--password-file", write_flow(PASSWORD, name="password")]
    done = zorv_flow(*live(secured, "detect", *login))
    assert (done.returncode, done.stdout.splitlines()[0]) == (0, DETECT_FIRST_LINE), done.stderr
