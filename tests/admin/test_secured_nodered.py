"""The flow module through connect() against a real Node-RED behind a login, over https under
/admin, and against a server that never answers."""

import os
import subprocess
import sys
import threading
import time

import pytest

from local_nodered import REPO_ROOT
from secured_nodered import PASSWORD, READER, USER
from zorv_sdk.nodered import admin, flow

pytestmark = pytest.mark.nodered
FAILED, GAVE_UP = "Failed to parse flow - ", "Failed to download flow in {} sec, exiting..."
REFUSED = f"Node-RED refused the login of user {USER!r} for scope * and read (403: Invalid resource owner credentials)"


def wrapper_of(server, host=None):
    return flow.FlowAPIWrapper(host or server.host, server.port, "detect", "function")


def attempts(lines, limit):
    """The failures the download logged, checked to end in its give-up line."""
    assert lines[-1] == GAVE_UP.format(limit) and all(line.startswith(FAILED) for line in lines[:-1]), lines
    return {line[len(FAILED):] for line in lines[:-1]}


@pytest.mark.parametrize("given", ["password", "password_file", "environment", "reader"])
def test_login_gets_the_flow(secured, tmp_path, monkeypatch, quick_clock, given):
    (tmp_path / "password").write_text(PASSWORD + "\n")
    if given == "environment":
        monkeypatch.setenv(admin.USER_VARIABLE, USER)
        monkeypatch.setenv(admin.PASSWORD_VARIABLE, PASSWORD)
    wrapper = wrapper_of(secured)
    admin.connect(wrapper, **{"password": {"user": USER, "password": PASSWORD}, "environment": {},
                              "reader": {"user": READER, "password": PASSWORD},
                              "password_file": {"user": USER, "password_file": tmp_path / "password"}}[given])
    assert wrapper.parse_flow()["cur_node"]["id"] == "detect"


def test_revoked_token_is_replaced_by_a_new_login(secured, quick_clock):
    wrapper = wrapper_of(secured)
    session = admin.connect(wrapper, user=USER, password=PASSWORD)
    assert wrapper.parse_flow() is not None
    revoked = session._token
    secured.revoke(revoked)
    assert secured.status_with(revoked) == 401
    assert wrapper.parse_flow()["cur_node"]["id"] == "detect" and session._token not in (None, revoked)


def test_given_token_is_used_until_revoked(secured, monkeypatch, lines, quick_clock):
    monkeypatch.setenv(admin.TOKEN_VARIABLE, token := secured.log_in())
    wrapper = wrapper_of(secured)
    admin.connect(wrapper)
    assert wrapper._load_flow(0) is True
    secured.revoke(token)
    lines.clear()
    assert wrapper._load_flow(1) is False
    assert attempts(lines, 1) == {"Node-RED refused the token (401): it expired or was revoked, and no user is given to log in again"}


def test_wrong_password_is_one_refusal_line_then_the_usual_give_up(secured, lines, quick_clock):
    session = admin.connect(wrapper := wrapper_of(secured), user=USER, password="not-" + PASSWORD)
    assert wrapper._load_flow(10) is False
    assert lines[0] == f"{REFUSED}: check the user and its password, and that its permissions include read"
    assert attempts(lines[1:], 10) == {REFUSED} and len(lines) == 13
    with pytest.raises(admin.AccessRefused) as refused:
        session.get(f"{wrapper.url}/flows")
    assert all(PASSWORD not in text for text in [*lines, repr(session), str(refused.value)])
    secured.log_in()  # one refused login (of two scopes), not eleven: Node-RED locks the user out after five


def test_no_login_to_a_secured_node_red_is_said_so(secured, lines, quick_clock):
    admin.connect(wrapper := wrapper_of(secured))
    assert wrapper._load_flow(0) is False
    assert attempts(lines, 0) == {"Node-RED asks for a login (401): give a user and its password, or a token"}


@pytest.mark.parametrize("login", ["password", "token"])
def test_https_under_an_admin_root_with_its_ca(secured_https, certificate, quick_clock, login):
    wrapper = wrapper_of(secured_https)
    given = {"user": USER, "password": PASSWORD} if login == "password" else {"token": secured_https.log_in()}
    admin.connect(wrapper, ca=certificate[1], admin_root="/admin", **given)
    assert wrapper.url == f"https://127.0.0.1:{secured_https.port}/admin" == secured_https.url
    assert wrapper.parse_flow()["cur_node"]["id"] == "detect"


@pytest.mark.parametrize("with_ca, admin_root, failure", [
    (False, "/admin", "CERTIFICATE_VERIFY_FAILED"),
    (True, "", "failed (404)"),
])
def test_https_without_its_ca_or_admin_root_fails(secured_https, certificate, lines, quick_clock, with_ca, admin_root, failure):
    wrapper = wrapper_of(secured_https)
    admin.connect(wrapper, user=USER, password=PASSWORD, https=True, ca=certificate[1] if with_ca else None, admin_root=admin_root)
    assert wrapper._load_flow(1) is False
    assert all(failure in line for line in attempts(lines, 1))


def test_unanswered_attempts_end_at_their_time_limit(unanswering, log):
    host, port = unanswering
    admin.connect(wrapper := flow.FlowAPIWrapper(host, port, "detect", "function"), token="t", timeout=0.3)
    started = time.time()
    loading = threading.Thread(target=wrapper._load_flow, args=(2,), daemon=True)
    loading.start()
    loading.join(6)
    assert not loading.is_alive() and len(log.messages) in (3, 4), log.messages
    assert attempts(log.messages, 2) == {f"HTTPConnectionPool(host='{host}', port={port}): Read timed out. (read timeout=0.3)"}
    failed = [when - started for when in log.times[:-1]]
    assert 0.3 <= failed[0] < 1 and all(1.3 <= later - earlier < 2 for earlier, later in zip(failed, failed[1:]))


@pytest.mark.parametrize("options, password, status, said", [
    (["--password-file", "<file>"], None, 0, "node          detect (function"),
    ([], PASSWORD, 0, "node          detect (function"),
    (["--ca", "/no/such/ca.pem"], PASSWORD, 2, "node_program.py: ca names no file: '/no/such/ca.pem'\n"),
])
def test_example_program_logs_in_when_told_to(secured, tmp_path, options, password, status, said):
    (tmp_path / "password").write_text(PASSWORD + "\n")
    command = [sys.executable, str(REPO_ROOT / "examples" / "node_program.py"), "--host", secured.host, "--port", str(secured.port),
               "--node-id", "detect", "--node-type", "function", "--wait", "1", "--user", USER]
    environment = {**os.environ, **({admin.PASSWORD_VARIABLE: password} if password else {})}
    done = subprocess.run(command + [str(tmp_path / "password") if o == "<file>" else o for o in options],
                          capture_output=True, text=True, env=environment, timeout=30)
    assert (done.returncode, (done.stdout or done.stderr).startswith(said)) == (status, True), done.stderr
