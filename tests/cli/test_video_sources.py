"""The video sources of all nodes from one index, against one seek_video_feed per node."""

from hypothesis import given, settings
from hypothesis import strategies as st
from zorv_sdk.constants import Module, NodeModule
from zorv_sdk.nodered import flow
from zorv_sdk.nodered.sources import video_sources

IDS = [f"n{i}" for i in range(7)]
FEED_TYPES = [Module.VideoFeed.type, Module.VFIpCamera.type]
# Wires to ids of the flow, to itself and to one that is not in it; a port may name one twice.
RECORDS = st.builds(lambda kind, wires: {"type": kind, "wires": wires},
                    st.sampled_from(FEED_TYPES + ["function"] * 4),
                    st.lists(st.lists(st.sampled_from(IDS + ["ghost"]), max_size=3), max_size=3))


def one_by_one(wrapper, nodes):
    answers = []
    for node in nodes:
        wrapper._visited_node_ids = []
        answers.append((node, *wrapper.seek_video_feed(node)))
    return answers


def wrapper_of(records):
    wrapper = flow.FlowAPIWrapper()
    wrapper._nodes = {node_id: {"id": node_id, **record} for node_id, record in zip(IDS, records)}
    return wrapper


def same(found, expected):
    # The very records, not equal copies.
    return len(found) == len(expected) and all(
        a[0] is b[0] and a[1] is b[1] and a[2] == b[2] for a, b in zip(found, expected))


@settings(max_examples=600, deadline=None)
@given(st.lists(RECORDS, min_size=1, max_size=len(IDS)))
def test_answers_are_those_of_one_search_per_node(records):
    wrapper = wrapper_of(records)
    nodes = list(wrapper._nodes.values())
    assert same(video_sources(wrapper, nodes), one_by_one(wrapper, nodes))


def test_odd_table_is_asked_of_the_searches():
    # A wire that is no list of ids: `in` on it is not a set lookup, so the searches answer.
    wrapper = wrapper_of([{"type": "function", "wires": [["n1"]]},
                          {"type": "function", "wires": ["n2x"]},
                          {"type": FEED_TYPES[0], "wires": [["n1"]]}])
    nodes = list(wrapper._nodes.values())
    assert same(video_sources(wrapper, nodes), one_by_one(wrapper, nodes))
    assert video_sources(wrapper, nodes)[1][1] is wrapper._nodes["n2"]


def test_long_chain_without_recursion():
    # Each answer waits for the one upstream of it, 30,000 deep.
    n = 30_000
    table = {f"c{i}": {"id": f"c{i}", "type": "function", "wires": [[f"c{i + 1}"]]} for i in range(n)}
    table["c0"]["type"] = FEED_TYPES[1]
    wrapper = flow.FlowAPIWrapper()
    wrapper._nodes = table
    answers = video_sources(wrapper, [table["c1"], table[f"c{n - 1}"]])
    assert [(source["id"], port) for _, source, port in answers] == [("c0", 0), ("c0", 0)]


class EqualToAll(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


def test_type_that_answers_equality_itself(monkeypatch):
    # Compared with a record's type, a str subclass answers first: every record is a source.
    monkeypatch.setattr(Module, "VFUsbCamera", NodeModule(EqualToAll("camera")))
    wrapper = wrapper_of([{"type": "function", "wires": [["n1"]]}, {"type": "function", "wires": []}])
    nodes = list(wrapper._nodes.values())
    assert same(video_sources(wrapper, nodes), one_by_one(wrapper, nodes))
    assert video_sources(wrapper, nodes)[1][1] is wrapper._nodes["n0"]
