"""seek_video_feed: walk order, visited ids, Module lookups and overrides."""

import re
from collections import UserDict
from types import SimpleNamespace

import pytest
from search_flows import VIDEO_TYPES, make_wrapper, node, video
from zorv_sdk.nodered import flow

KINDS = ["VideoFeed", "VFVideoFile", "VFUsbCamera", "VFIpCamera"]
CASES = {
    "no predecessors": ([node("S")], "S", None, ["S"]),
    "direct source": ([video("V", [], ["S"]), node("S")], "S", ("V", 1), ["S"]),
    "chain": ([video("V", ["A"]), node("A", ["S"]), node("S")], "S", ("V", 0), ["S", "A"]),
    "leaf predecessor skipped": (
        [node("X", ["A"]), video("V", ["A"]), node("A", ["S"]), node("S")], "S", ("V", 0), ["S", "A"]),
    "depth first beats later direct source": (
        [node("A", ["S"]), video("B", ["S"]), video("V", ["A"]), node("S")], "S", ("V", 0), ["S", "A"]),
    "first inserted source wins": ([video("W", [], ["S"]), video("V", ["S"]), node("S")], "S", ("W", 1), ["S"]),
    "lowest port of one source": ([video("V", [], ["S"], ["S"]), node("S")], "S", ("V", 1), ["S"]),
    "start type never tested": ([video("V", ["S"]), node("S")], "V", None, ["V"]),
    "source upstream of a source": ([video("W", ["V"]), video("V", ["S"])], "V", ("W", 0), ["V"]),
    "cycle ends": ([node("S", ["A"]), node("A", ["S"])], "S", None, ["S", "A"]),
    "source wired to itself": ([video("V", [], ["V"])], "V", ("V", 1), ["V"]),
    "visited source found through a cycle": ([video("V", ["A"]), node("A", ["V"])], "V", ("V", 0), ["V", "A"]),
    "diamond entered once": ([node("X", ["C"]), node("C", ["A", "B"]), node("A", ["S"]), node("B", ["S"]),
                              node("S")], "S", None, ["S", "A", "C", "B"]),
    **{kind: ([node("V", ["S"], type=t), node("S")], "S", ("V", 0), ["S"]) for kind, t in zip(KINDS, VIDEO_TYPES)},
}


def search(w, start="S"):
    """The pair found from start, as (id, port) or None, checking it holds the table's own record."""
    found, port = w.seek_video_feed(w._nodes[start])
    assert found is None and port is None or found is w._nodes[found["id"]]
    return found and (found["id"], port)


@pytest.mark.parametrize("records, start, expected, visited", CASES.values(), ids=CASES)
def test_video_feed(records, start, expected, visited):
    w = make_wrapper(*records)
    assert search(w, start) == expected
    assert w._visited_node_ids == visited


@pytest.mark.parametrize("records, expected, visited", [
    ([video("V", ["A"]), node("A", ["S"]), node("S")], [("V", 0), None], ["S", "A", "S"]),
    ([video("V", ["S"]), node("S")], [("V", 0)] * 2, ["S", "S"]),
])
def test_repeated_calls_skip_nodes_entered_before(records, expected, visited):
    w = make_wrapper(*records)
    assert [search(w), search(w)] == expected
    assert w._visited_node_ids == visited


MISSING = {
    "start without id": ([node("A", ["S"])], {}, "id", []),
    "predecessor without type": ([{"id": "A", "wires": [["S"]]}], {"id": "S"}, "type", ["S"]),
    "entered predecessor without id": ([node("P", [None]), {"type": "f", "wires": [["S"]]}], {"id": "S"}, "id", ["S"]),
}


@pytest.mark.parametrize("records, start, key, visited", MISSING.values(), ids=MISSING)
def test_missing_members_raise_key_error(records, start, key, visited):
    w = make_wrapper()
    w._nodes = {str(i): r for i, r in enumerate(records)}
    asked = []
    w.seek_prev_nodes = lambda n: asked.append(n) or flow.FlowAPIWrapper.seek_prev_nodes(w, n)
    with pytest.raises(KeyError) as err:
        w.seek_video_feed(start)
    assert (err.value.args, asked[0], w._visited_node_ids) == ((key,), start, visited)


def test_module_looked_up_afresh_at_each_comparison(monkeypatch):
    class LoggedModule:
        def __getattr__(self, name):
            log.append(name)
            return SimpleNamespace(type=f"cam-{name}")

    log = []
    monkeypatch.setattr(flow, "Module", LoggedModule())
    w = make_wrapper(node("A", ["S"], type=VIDEO_TYPES[0]), node("P", ["A"]), node("V", ["S"], type="cam-VFUsbCamera"),
                     node("S"))
    assert search(w) == ("V", 0)
    assert log == KINDS * 2 + KINDS[:3]
    # With only the first member left, a match on it hides the others; a miss needs the second.
    monkeypatch.setattr(flow, "Module", SimpleNamespace(VideoFeed=SimpleNamespace(type="cam")))
    w = make_wrapper(node("V", ["S"], type="cam"), node("S"))
    assert search(w) == ("V", 0)
    w._nodes["V"]["type"] = VIDEO_TYPES[0]
    with pytest.raises(AttributeError):
        search(w)


def test_overrides_on_subclass_and_instance_take_part():
    class Recording(flow.FlowAPIWrapper):
        def seek_video_feed(self, cur_node):
            entered.append(cur_node["id"])
            return super().seek_video_feed(cur_node)

    entered, asked = [], []
    w = make_wrapper(video("V", ["A"]), node("A", ["S"]), node("S"), cls=Recording)
    w.seek_prev_nodes = lambda n: asked.append(n["id"]) or flow.FlowAPIWrapper.seek_prev_nodes(w, n)
    assert search(w) == ("V", 0)
    assert (entered, asked) == (["S", "A"], ["S", "A", "A"])
    # Any sequence of entries will do, and ports are handed back as they come.
    w.seek_prev_nodes = lambda n: ({"port": "out", "node": w._nodes["V"], "x": 1},) if n["id"] == "S" else ()
    assert search(w) == ("V", "out")


def search_with_recursion_answering(answer, tail_type="function"):
    """A search from S whose only entered predecessor A answers `answer`; B follows A."""
    w = make_wrapper(node("P", ["A"]), node("A", ["S"]), node("B", ["S"], type=tail_type), node("S"))
    w.seek_video_feed = lambda n: answer
    return flow.FlowAPIWrapper.seek_video_feed(w, w._nodes["S"]), w._nodes["B"]


@pytest.mark.parametrize("answer, tail_type, expected", [
    ((None, 7), "function", (None, 7)), ((None, 7), VIDEO_TYPES[0], "B"), ([None, None], VIDEO_TYPES[0], "B"),
    ((False, 1), VIDEO_TYPES[0], (False, 1)), ((0, 0), VIDEO_TYPES[0], (0, 0)), ("ab", "function", ("a", "b"))])
def test_recursive_result_unpacked_and_tested_against_none(answer, tail_type, expected):
    result, tail = search_with_recursion_answering(answer, tail_type)
    assert type(result) is tuple and result == ((tail, 0) if expected == "B" else expected)


@pytest.mark.parametrize("answer, text", [((1, 2, 3), "too many values to unpack (expected 2)"),
                                          ((1,), "need more than 1 value to unpack"),
                                          ((), "need more than 0 values to unpack")])
def test_recursive_result_of_wrong_length(answer, text):
    with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
        search_with_recursion_answering(answer)


@pytest.mark.parametrize("cls", [type("DictRecord", (dict,), {}), UserDict])
def test_non_dict_record_rejected_on_entry(cls):
    w = make_wrapper(node("P", ["R"]), node("S"))
    w._nodes["R"] = cls(id="R", type="function", wires=[["S"]])
    with pytest.raises(TypeError) as err:
        search(w)
    assert str(err.value) == f"Argument 'cur_node' has incorrect type (expected dict, got {cls.__name__})"
    assert w._visited_node_ids == ["S"]
