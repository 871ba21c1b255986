"""Fixtures that run the tests against one real Node-RED server per session."""

import json
from typing import Iterator

import pytest

from local_nodered import REPO_ROOT, NodeRedServer

EXAMPLE_FLOW_PATH = REPO_ROOT / "examples" / "flow.json"


def load_example_flow() -> list:
    return json.loads(EXAMPLE_FLOW_PATH.read_text(encoding="utf-8"))


@pytest.fixture
def example_flow() -> list:
    """A fresh copy of examples/flow.json that a test may change at will."""
    return load_example_flow()


@pytest.fixture(scope="session")
def nodered() -> Iterator[NodeRedServer]:
    with NodeRedServer(load_example_flow()) as server:
        yield server


@pytest.fixture
def nodered_flow(nodered: NodeRedServer) -> Iterator[NodeRedServer]:
    """The session's server, serving the example flow again.

    A test before may have deployed another flow, or stopped the server and
    failed before starting it again.
    """
    if not nodered.running:
        nodered.start()
    nodered.deploy(load_example_flow())
    yield nodered
