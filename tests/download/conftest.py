"""Doubles for the globals of the flow download, and a recording loopback HTTP server."""

import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import SimpleNamespace

import pytest

from zorv_sdk.nodered import flow

RUNAWAY = 5000  # clock reads after which a retry loop that never gives up is stopped


class FakeTime:
    """A wall clock moved only by sleeping and by the cost of each fake request."""

    def __init__(self):
        self.now, self.reads, self.sleeps, self.on_sleep = 1000.0, 0, [], None

    def time(self):
        self.reads += 1
        if self.reads > RUNAWAY:
            pytest.fail("the retry loop does not end")
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if self.on_sleep:
            self.on_sleep()
        self.now += seconds


class FakeRequests:
    """Plays `outcomes` in turn, the last one repeating: an exception is raised, a response
    (anything with `json`) returned, any other value answered as the decoded body."""

    def __init__(self, clock):
        self.clock, self.outcomes, self.cost, self.calls = clock, [], 0.01, []

    def get(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.clock.now += self.cost
        outcome = self.outcomes.pop(0) if len(self.outcomes) > 1 else self.outcomes[0]
        if isinstance(outcome, BaseException):
            raise outcome.with_traceback(None)
        return outcome if hasattr(outcome, "json") else SimpleNamespace(json=lambda: outcome)


@pytest.fixture
def fakes(monkeypatch):
    """The doubles, installed, and the two log lines the download writes."""
    clock, lines = FakeTime(), []
    doubles = dict(time=clock, requests=FakeRequests(clock), logger=SimpleNamespace(lines=lines, error=lines.append))
    for name, double in doubles.items():
        monkeypatch.setattr(flow, name, double)
    return SimpleNamespace(
        **doubles,
        failed="Failed to parse flow - {}".format,
        gave_up="Failed to download flow in {} sec, exiting...".format,
    )


@pytest.fixture
def wrapper():
    return flow.FlowAPIWrapper("nodered.test", 1880, "n1", "debug")


class RecordingHandler(BaseHTTPRequestHandler):
    def do_GET(self):
        self.server.seen.append((self.requestline, dict(self.headers)))
        self.send_response(self.server.status)
        self.end_headers()
        self.wfile.write(self.server.body.encode())  # HTTP/1.0: the body ends where the connection does


@pytest.fixture
def loopback():
    """Records each request line and headers, answers with its `status` and `body`."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), RecordingHandler)
    server.host, server.port = server.server_address
    server.seen, server.status, server.body = [], 200, '{"flows": []}'
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield server
    server.shutdown()
    server.server_close()
