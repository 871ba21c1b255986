"""Traps, a forked runner, a faulty proxy, a Node-RED behind a login.
Test modules import this as `reliability.conftest`: `conftest` is whichever one pytest read last."""

import json
import os
import pickle
import signal
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import SimpleNamespace

import pytest
import requests

import local_nodered
from secured_nodered import SecuredNodeRed
from zorv_sdk.constants import Module
from zorv_sdk.nodered import flow

VIDEO_TYPES = [m.type for m in (Module.VideoFeed, Module.VFVideoFile, Module.VFUsbCamera, Module.VFIpCamera)]


def outcome(call, records):
    """The type name of what a call raised, or its result with each record given by its position
    in `records`, a list of ids (which, unlike the records, leaves them free to go)."""
    def where(record):
        return records.index(id(record)) if id(record) in records else repr(record)
    try:
        found = call()
    except Exception as error:  # SystemError too: it must show as a difference
        return type(error).__name__
    if isinstance(found, dict):
        return [(repr(key), where(record)) for key, record in found.items()]
    return ("pair", found[0] and where(found[0]), found[1]) if isinstance(found, tuple) else [
        (where(e["node"]), e["port"]) for e in found]


class Trap:
    """Hashes like `like`; its comparisons answer `answer`, running `action` from the `fire`-th on."""

    def __init__(self, like, action, answer):
        self.like, self.action, self.answer, self.calls, self.fire = like, action, answer, 0, float("inf")

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        self.calls += 1
        if self.calls >= self.fire:
            self.action()
        return self.answer

    def __repr__(self):
        return f"Trap({self.like!r})"


def in_child(action, seconds=10):
    """`action()` in a forked child: a crash or a hang fails one example, not the whole run."""
    read, write = os.pipe()
    if (pid := os.fork()) == 0:
        try:
            signal.alarm(seconds)
            os.write(write, pickle.dumps(action()))
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        payload = pipe.read()
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    assert status == 0 and payload, f"the child interpreter died ({status}) or raised"
    return pickle.loads(payload)


@pytest.fixture
def clock(monkeypatch):
    """The real `requests` with a fake `time` moved by sleeping only, which calls `on_sleep(count)`,
    and the logged lines in `lines`."""
    fake = SimpleNamespace(now=1e6, sleeps=0, lines=[], on_sleep=lambda count: None)

    def sleep(seconds):
        fake.sleeps += 1
        fake.on_sleep(fake.sleeps)
        fake.now += seconds + 0.01  # and what the attempt after it will take
    monkeypatch.setattr(flow, "time", SimpleNamespace(time=lambda: fake.now, sleep=sleep))
    monkeypatch.setattr(flow, "logger", SimpleNamespace(error=fake.lines.append, info=fake.lines.append))
    monkeypatch.setattr(flow, "requests", requests)
    return fake


@pytest.fixture(scope="module")
def login_nodered():
    with SecuredNodeRed(json.loads((local_nodered.REPO_ROOT / "examples" / "flow.json").read_text())) as server:
        yield server


class FaultyProxy(BaseHTTPRequestHandler):
    """Passes GET /flows on to the Node-RED at `server.upstream` with the next fault of its `plan`
    (the last one again and again): "whole", "cut" (half the body, then the end of the
    connection) or "slow" (the answer after a second)."""

    def do_GET(self):
        server = self.server
        server.played.append(fault := server.plan[min(len(server.played), len(server.plan) - 1)])
        body = requests.get(server.upstream + self.path, headers={"Node-RED-API-Version": "v2"}, timeout=5).content
        time.sleep(1 if fault == "slow" else 0)
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[:len(body) // (2 if fault == "cut" else 1)])


@pytest.fixture
def faulty_proxy(nodered_flow):
    """plan -> a FaultyProxy server in front of the session's Node-RED."""
    proxies = []

    def start(plan):
        proxies.append(proxy := ThreadingHTTPServer(("127.0.0.1", 0), FaultyProxy))
        proxy.host, proxy.port = proxy.server_address
        proxy.upstream, proxy.plan, proxy.played = nodered_flow.url, plan, []
        threading.Thread(target=proxy.serve_forever, args=(0.05,), daemon=True).start()
        return proxy
    yield start
    for proxy in proxies:
        proxy.shutdown()
        proxy.server_close()
