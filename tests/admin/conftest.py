"""For the tests of zorv_sdk.nodered.admin: Node-RED behind a login over http, the same over
https with its API under /admin, a server that never answers, the FLOW logger's lines and a
clock that lets the download's retry loop run its course at once."""

import json
import logging
import socket
import subprocess
import threading
from types import SimpleNamespace

import pytest
import requests

from local_nodered import REPO_ROOT
from secured_nodered import SecuredNodeRed
from zorv_sdk.nodered import admin, flow


def example_flow():
    return json.loads((REPO_ROOT / "examples" / "flow.json").read_text(encoding="utf-8"))


@pytest.fixture(autouse=True)
def untouched(monkeypatch):
    """flow.requests is put back after the test, no variable connect() reads is set, and requests
    is pointed at the system's CA bundle, which a `ca` given to connect() must take the place of."""
    monkeypatch.setattr(flow, "requests", flow.requests)
    for name in (admin.TOKEN_VARIABLE, admin.USER_VARIABLE, admin.PASSWORD_VARIABLE, "CURL_CA_BUNDLE"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", requests.certs.where())
    yield
    # The session that connect() bound goes with its pooled connections, before flow.requests is
    # put back: left to the collector, each would warn of an unclosed socket.
    if isinstance(flow.requests, admin.AdminSession):
        flow.requests.close()


class Lines(logging.Handler):
    """The messages logged, and in `times` when each came (time.time())."""

    def __init__(self):
        super().__init__()
        self.messages, self.times = [], []

    def emit(self, record):
        self.messages.append(record.getMessage())
        self.times.append(record.created)


@pytest.fixture
def log():
    """The SDK's FLOW logger (the module's and admin's) while the test runs."""
    handler, logger = Lines(), logging.getLogger("zorv_sdk.FLOW")
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


@pytest.fixture
def lines(log):
    return log.messages


@pytest.fixture
def quick_clock(monkeypatch):
    """The download's clock, moved by its sleeps and 10 ms for each attempt."""
    clock = SimpleNamespace(now=0.0)
    clock.time, clock.sleep = lambda: clock.now, lambda seconds: setattr(clock, "now", clock.now + seconds + 0.01)
    monkeypatch.setattr(flow, "time", clock)


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    """(key, certificate) files for 127.0.0.1, the certificate its own CA."""
    key, cert = (tmp_path_factory.mktemp("tls") / name for name in ("key.pem", "cert.pem"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    return key, cert


@pytest.fixture(scope="module")
def secured():
    with SecuredNodeRed(example_flow()) as server:
        yield server


@pytest.fixture(scope="module")
def secured_https(certificate):
    with SecuredNodeRed(example_flow(), https=certificate, admin_root="/admin") as server:
        yield server


@pytest.fixture
def unanswering():
    """(host, port) of a loopback server that takes every connection and never answers."""
    listener, taken, done = socket.create_server(("127.0.0.1", 0)), [], threading.Event()
    listener.settimeout(0.05)

    def take():
        while not done.is_set():
            try:
                taken.append(listener.accept()[0])
            except socket.timeout:
                pass
    thread = threading.Thread(target=take, daemon=True)
    thread.start()
    yield listener.getsockname()
    done.set()
    thread.join()
    listener.close()
    for connection in taken:
        connection.close()
