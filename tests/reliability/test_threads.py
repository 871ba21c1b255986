"""Threads parsing with wrappers of their own, and threads searching one wrapper whose table
another thread keeps replacing; threads take turns as often as the interpreter lets them."""

import copy
import sys
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import pytest

from zorv_sdk.nodered import flow


@pytest.fixture(autouse=True)
def switching_often():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


@pytest.mark.nodered
def test_threads_parsing_with_their_own_wrappers(nodered_flow, clock):
    nodes = [("detect", "function"), ("archive", "function"), ("store", "debug"), ("cam-usb", "zorv-vf-usb-camera")]
    wrappers = [flow.FlowAPIWrapper(nodered_flow.host, nodered_flow.port, *node) for node in nodes * 2]
    alone = [repr(w.parse_flow()) for w in wrappers]
    with ThreadPoolExecutor(len(wrappers)) as pool:
        together = list(pool.map(lambda w: [repr(w.parse_flow()) for _ in range(5)], wrappers))
    assert together == [[found] * 5 for found in alone] and len(clock.lines) == 4 * 6 * len(wrappers)


class SlowId(str):
    """An id compared in Python code: the threads can take turns in the middle of a search."""

    __eq__, __hash__ = lambda self, other: str.__eq__(self, other), str.__hash__


FLOW = [{"id": "V", "type": "zorv-video-feed", "wires": [[SlowId("A")]]}, {"id": "X", "type": "f", "wires": [["A"]]},
        {"id": "A", "type": "f", "wires": [[SlowId("S")], ["B", SlowId("S")]]}, {"id": "S", "type": "f"},
        {"id": "B", "type": "f", "wires": []}]
SEARCHES = {("seek_prev_nodes", "S"): [("A", 0), ("A", 1)], ("seek_next_nodes", "A"): [("S", 0), ("B", 1), ("S", 1)],
            ("seek_video_feed", "A"): [("V", 0)]}


def test_searches_on_a_shared_wrapper_while_its_table_is_replaced(monkeypatch):
    monkeypatch.setattr(flow, "requests", SimpleNamespace(get=lambda *a, **k: SimpleNamespace(
        json=lambda: {"flows": copy.deepcopy(FLOW)})))
    shared = flow.FlowAPIWrapper("h", 1, "S", "f")
    shared._load_flow()

    def search(name, start):
        found = getattr(shared, name)(shared._nodes[start])
        found = [(e["node"], e["port"]) for e in found] if isinstance(found, list) else [found]
        assert all(record in FLOW for record, _ in found)  # whole records, of one download or another
        return [(record["id"], port) for record, port in found]

    with ThreadPoolExecutor(4) as pool:
        loads = pool.submit(lambda: [shared._load_flow() for _ in range(300)])
        found = list(pool.map(search, *zip(*list(SEARCHES) * 300)))
    assert loads.result() == [True] * 300 and found == list(SEARCHES.values()) * 300
