"""The three searches on random flows, against plain-Python models of the same walks."""

import pytest
from conftest import VIDEO_TYPES, make_wrapper, pairs
from hypothesis import given, settings
from hypothesis import strategies as st

FEW = settings(max_examples=150, deadline=None)


@st.composite
def flows(draw):
    """A table of unique ids whose ports name known ids, repeats, the node itself or an unknown "ghost"."""
    ids = draw(st.lists(st.sampled_from("ABCDEF"), min_size=1, unique=True))
    fields = st.fixed_dictionaries({"type": st.sampled_from(VIDEO_TYPES + ["function", "debug"])}, optional={
        "wires": st.lists(st.lists(st.sampled_from(ids + ["ghost"]), max_size=3), max_size=3)})
    return make_wrapper(*({"id": i, **draw(fields)} for i in ids)), draw(st.sampled_from(ids))


def model_prev(nodes, cur):
    return [(rec, port) for rec in nodes.values()
            for port, targets in enumerate(rec.get("wires", [])) if cur.get("id") in targets]


def model_video_feed(nodes, cur, visited):
    prevs = model_prev(nodes, cur)
    visited.append(cur["id"])
    for rec, port in prevs:
        if rec["type"] in VIDEO_TYPES:
            return rec, port
        if model_prev(nodes, rec) and rec["id"] not in visited:
            found = model_video_feed(nodes, rec, visited)
            if found[0] is not None:
                return found
    return None, None


@FEW
@given(flows())
def test_prev_nodes_list_each_wired_port_once_in_table_then_port_order(flow):
    w, _ = flow
    for target in [*w._nodes.values(), {"id": "ghost"}]:
        found = w.seek_prev_nodes(target)
        assert all(target["id"] in e["node"]["wires"][e["port"]] for e in found)
        assert pairs(w, found) == [(rec["id"], port) for rec, port in model_prev(w._nodes, target)]


@FEW
@given(flows())
def test_next_nodes_follow_the_listed_ids(flow):
    w, start = flow
    listed = [(t, port) for port, targets in enumerate(w._nodes[start].get("wires", [])) for t in targets]
    if "ghost" in dict(listed):
        with pytest.raises(KeyError, match="ghost"):
            w.seek_next_nodes(w._nodes[start])
    else:
        assert pairs(w, w.seek_next_nodes(w._nodes[start])) == listed


@FEW
@given(flows())
def test_video_feed_matches_model(flow):
    w, start = flow
    found, port = w.seek_video_feed(w._nodes[start])
    visited = []
    expected = model_video_feed(w._nodes, w._nodes[start], visited)
    # The source feeds the start node or a node entered on the way up from it.
    assert (found, port) == (None, None) or (found is w._nodes[found["id"]] and found["type"] in VIDEO_TYPES
                                             and any(t in w._visited_node_ids for t in found["wires"][port]))
    assert (found, port) == expected and found is expected[0]
    assert w._visited_node_ids == visited
