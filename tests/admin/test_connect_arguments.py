"""connect(): what it makes of its arguments and the environment, without a server."""

import subprocess
import sys

import pytest
import requests

from zorv_sdk.nodered import admin, flow

SECRET = "s3cret-pw"
# In a case's arguments these name files the test writes.
PASSWORD_FILE, EMPTY_FILE, LATIN_FILE, MISSING = "<password file>", "<empty file>", "<latin-1 file>", "/no/such/file.pem"

BAD = [  # arguments, environment, error, its first word
    ({"token": ""}, {}, ValueError, "token"),
    ({"token": b"t"}, {}, TypeError, "token"),
    ({"user": 7, "password": SECRET}, {}, TypeError, "user"),
    ({"user": "admin", "password": 1234}, {}, TypeError, "password"),
    ({"user": "admin", "password": ""}, {}, ValueError, "password"),
    ({"user": "admin"}, {}, ValueError, "password:"),
    ({"password": SECRET}, {}, ValueError, "user:"),
    ({}, {admin.PASSWORD_VARIABLE: SECRET}, ValueError, "user:"),
    ({"user": "admin", "password": SECRET, "password_file": PASSWORD_FILE}, {}, ValueError, "password"),
    ({"user": "admin", "password_file": MISSING}, {}, ValueError, "password_file"),
    ({"user": "admin", "password_file": EMPTY_FILE}, {}, ValueError, "password_file"),
    ({"user": "admin", "password_file": LATIN_FILE}, {}, ValueError, "password_file"),
    ({"ca": MISSING}, {}, ValueError, "ca"),
    ({"ca": 5}, {}, TypeError, "ca"),
    ({"https": "yes"}, {}, TypeError, "https"),
    ({"admin_root": "admin"}, {}, ValueError, "admin_root"),
    ({"admin_root": None}, {}, TypeError, "admin_root"),
    ({"timeout": 0}, {}, ValueError, "timeout"),
    ({"timeout": True}, {}, TypeError, "timeout"),
    ({"timeout": "10"}, {}, TypeError, "timeout"),
    ({"url": "nodered.local:1880"}, {}, ValueError, "wrapper.url"),
    ({"url": "http://https://nodered.local:1880"}, {}, ValueError, "wrapper.url"),
    ({"url": None}, {}, TypeError, "wrapper.url"),
]


@pytest.fixture
def wrapper():
    return flow.FlowAPIWrapper("127.0.0.1", 1880, "detect", "function")


def with_files(arguments, tmp_path):
    (tmp_path / "password").write_text(SECRET + "\n")
    (tmp_path / "empty").write_text("\n")
    (tmp_path / "latin").write_bytes(f"{SECRET}\xe9\n".encode("latin-1"))
    files = {PASSWORD_FILE: tmp_path / "password", EMPTY_FILE: tmp_path / "empty", LATIN_FILE: tmp_path / "latin"}
    return {name: files.get(value, value) if isinstance(value, str) else value for name, value in arguments.items()}


@pytest.mark.parametrize("arguments, environment, error, word", BAD)
def test_bad_argument_is_named_and_changes_nothing(wrapper, tmp_path, monkeypatch, arguments, environment, error, word):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    arguments = with_files(arguments, tmp_path)
    wrapper.url = arguments.pop("url", wrapper.url)
    url = wrapper.url
    with pytest.raises(error) as raised:
        admin.connect(wrapper, **arguments)
    assert str(raised.value).startswith(word) and SECRET not in str(raised.value)
    assert (wrapper.url, flow.requests) == (url, requests)


@pytest.mark.parametrize("arguments, url", [
    ({}, "http://127.0.0.1:1880"),
    ({"https": True}, "https://127.0.0.1:1880"),
    ({"ca": "/etc/ssl/certs", "admin_root": "/admin/"}, "https://127.0.0.1:1880/admin"),
    ({"admin_root": "/red/admin"}, "http://127.0.0.1:1880/red/admin"),
])
def test_url_takes_the_scheme_and_admin_root(wrapper, arguments, url):
    session = admin.connect(wrapper, **arguments)
    assert (wrapper.url, session.url, flow.requests) == (url, url, session)
    assert admin.connect(wrapper, **arguments).url == url  # once more: the same


def test_arguments_fall_back_on_the_environment_and_stay_out_of_repr(wrapper, tmp_path, monkeypatch):
    monkeypatch.setenv(admin.TOKEN_VARIABLE, "env-token")
    monkeypatch.setenv(admin.USER_VARIABLE, "env-user")
    monkeypatch.setenv(admin.PASSWORD_VARIABLE, SECRET)
    session = admin.connect(wrapper, timeout=None)
    assert (session.user, session._password, session._token, session.timeout) == ("env-user", SECRET, "env-token", None)
    assert repr(session) == "<AdminSession http://127.0.0.1:1880, user 'env-user', a token>"
    session = admin.connect(wrapper, user="admin", password_file=with_files({"f": PASSWORD_FILE}, tmp_path)["f"])
    assert (session.user, session._password, session._token, session.timeout) == ("admin", SECRET, "env-token", 10.0)


def test_token_goes_to_its_node_red_only_and_every_request_has_the_limit_and_ca(wrapper, tmp_path, monkeypatch):
    sent, ca = [], str(tmp_path / "ca.pem")
    (tmp_path / "ca.pem").write_text("")
    monkeypatch.setattr(requests.adapters.HTTPAdapter, "send", lambda adapter, prepared, **options: sent.append(
        (prepared.url, prepared.headers.get("Authorization"), options["timeout"], options["verify"])) or ok())
    session = admin.connect(wrapper, token="t0k", timeout=3, ca=ca)
    session.get(f"{wrapper.url}/flows"), session.get("https://127.0.0.1:18800/flows"), session.get("http://other.test/", timeout=1)
    assert sent == [("https://127.0.0.1:1880/flows", "Bearer t0k", 3, ca), ("https://127.0.0.1:18800/flows", None, 3, ca),
                    ("http://other.test/", None, 1, ca)]


def ok():
    answer = requests.Response()
    answer.status_code = 200
    return answer


def test_the_module_downloads_as_before_unless_connected():
    program = "import requests; from zorv_sdk.nodered import admin, flow; assert flow.requests is requests"
    assert subprocess.run([sys.executable, "-c", program]).returncode == 0
