"""parse_flow with its download and searches replaced, for what a real server cannot provoke."""

import pytest

from zorv_sdk.nodered.flow import FlowAPIWrapper

SOURCE = {"id": "a", "type": "source", "wires": [["b"]]}
TARGET = {"id": "b", "type": "function", "wires": []}


def stub_wrapper(table=None, node_id="b", node_type="function"):
    """A wrapper whose download installs `table` and counts itself in `loads`."""
    wrapper = FlowAPIWrapper(node_id="x", node_type="y")
    wrapper.node_id, wrapper.node_type, wrapper.loads = node_id, node_type, 0

    def load_flow():
        wrapper.loads += 1
        wrapper._nodes = table or {"a": SOURCE, "b": TARGET}
        return True

    wrapper._load_flow = load_flow
    return wrapper


@pytest.mark.parametrize("outcome", [0, "", None, False])
def test_failed_download_returns_none_after_resetting_visited(log, outcome):
    wrapper = stub_wrapper()
    stale = wrapper._visited_node_ids = ["stale"]
    seen = []
    wrapper._load_flow = lambda: seen.append(wrapper._visited_node_ids) or outcome

    assert wrapper.parse_flow() is None
    assert seen == [[]] and seen[0] is wrapper._visited_node_ids and stale == ["stale"]
    assert log == []


@pytest.mark.parametrize("feed, error, message", [
    (lambda: ("v", 1, 2), ValueError, "too many values to unpack (expected 2)"),
    (lambda: (x for x in "v12"), ValueError, "too many values to unpack (expected 2)"),
    (lambda: ["v"], ValueError, "need more than 1 value to unpack"),
    (lambda: (x for x in "v"), ValueError, "need more than 1 value to unpack"),
    (lambda: (), ValueError, "need more than 0 values to unpack"),
    (lambda: 42, TypeError, "'int' object is not iterable"),
], ids=["3-tuple", "generator-of-3", "1-list", "generator-of-1", "empty-tuple", "int"])
def test_odd_video_feed_shape_raises_after_three_lines(log, feed, error, message):
    wrapper = stub_wrapper()
    wrapper.seek_video_feed = lambda node: feed()

    with pytest.raises(error) as raised:
        wrapper.parse_flow()

    assert str(raised.value) == message
    assert log == [
        ("info", f"Node info: {TARGET}"),
        ("info", f"Previous nodes - {[{'node': SOURCE, 'port': 0}]}"),
        ("info", "Next nodes - []"),
    ]


def test_generator_of_two_is_a_video_feed_pair(log):
    wrapper = stub_wrapper()
    wrapper.seek_video_feed = lambda node: (x for x in ("v", 7))
    assert wrapper.parse_flow()["vid_fed"] == {"flow": "v", "port": 7}
    assert log[3:] == [("info", "vid-fed node - v, 7")]


SHOWN_ID = type("Shown", (), {"__str__": lambda s: "str", "__format__": lambda s, format_spec: "fmt"})()


@pytest.mark.parametrize("node_id, node_type, shown", [
    ("b", None, "node(None) with id(b)"),
    ("b", 7, "node(7) with id(b)"),
    (SHOWN_ID, "other", "node(other) with id(fmt)"),
])
def test_mismatch_line_shows_format_form(log, node_id, node_type, shown):
    wrapper = stub_wrapper({node_id: TARGET}, node_id, node_type)
    assert wrapper.parse_flow() is None
    assert log == [("error", f"Could not to find {shown}, exiting...")]


def probe(name, calls):
    """An object whose == notes `name` in `calls` and answers with a truthy non-bool."""
    def answer(self, other):
        calls.append(name)
        return ["yes"]

    return type(name, (), {"__eq__": answer, "__hash__": None})()


def test_type_test_asks_record_value_once_by_truth(log):
    calls = []
    record = dict(TARGET, type=probe("record", calls))
    wrapper = stub_wrapper({"b": record}, "b", probe("configured", calls))

    assert wrapper.parse_flow()["cur_node"] is record
    assert calls == ["record"]


def test_each_call_downloads_and_builds_a_new_result(log):
    wrapper = stub_wrapper()
    first, first_visited = wrapper.parse_flow(), wrapper._visited_node_ids
    second = wrapper.parse_flow()

    assert wrapper.loads == 2 and len(log) == 8
    assert first == second and first is not second and first["vid_fed"] is not second["vid_fed"]
    assert wrapper._visited_node_ids is not first_visited
